// The irrigation step on a square basin decomposed over all processes, against the transfers
// that a step computed on process 0 alone would need.
//
// Usage: mpirun -np N irrigation_bench [side (1000)] [repetitions (20)]
// The basin has ten subbasins (column bands) and three irrigation types spread over the cells:
// dated amounts from surface water, dated amounts from groundwater and soil-moisture thresholds
// from surface water, with rivers that meet about half of the surface demand (so every step
// rescales). Process 0 prints, best of the repetitions:
//   - the whole step (`irrigationclass::RunStep`: the cells of each process, the exact sums per
//     subbasin onto process 0, the supply there and its broadcast, the water input, the
//     statistics); on one process it is the cell work of the whole grid;
//   - a plain pass over the own rows reading the nine grids and writing two (the memory floor
//     of the cell work);
//   - the reference: gathering the nine grids the cells read onto process 0 and scattering the
//     two grids the step changes (precipitation, amounts), the transfers of a step that process
//     0 computed alone for every cell.
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "grids/mpi_exchange.h"
#include "routing/irrigation_model.h"
#include "setup/mpi_regions.h"

namespace {

using velorn::GridMatrix;
using velorn::bench::BestTime;

constexpr int kZones = 10;

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::ostringstream screen;
  int pid = static_cast<int>(getpid());  // process 0's: one control file for all
  MPI_Bcast(&pid, 1, MPI_INT, 0, MPI_COMM_WORLD);
  const std::string base = "/tmp/velorn_irrigation_bench_" + std::to_string(pid);
  velorn::DiagnosticStream diag(base + "_" + std::to_string(rank) + ".xml", 0, screen);
  const std::string diag_name = diag.file_name();

  // Decomposition with equal speeds; process 0 holds every row, the others their own.
  const velorn::RegionGeometry geometry{side, side, -9999.0};
  GridMatrix zone_all;
  if (rank == 0) {
    zone_all = GridMatrix(diag, 1, side, side, side);
    for (int r = 1; r <= side; ++r) std::fill(zone_all[r] + 1, zone_all[r] + side + 1, 1.0);
  }
  velorn::MpiLayout layout = std::move(
      velorn::DecomposeRegions(diag, geometry, {zone_all.get(), nullptr, nullptr}, 1.0).layout);
  zone_all = GridMatrix();
  const velorn::HeldRows held = rank == 0 ? velorn::HeldRows{1, side} : layout.held_rows();

  velorn::GridRegistry registry;
  std::vector<GridMatrix> grids;
  auto add = [&](const std::string& name, auto value) {
    grids.emplace_back(diag, held.first, held.last, side, side);
    double** g = grids.back().get();
    for (int r = held.first; r <= held.last; ++r)
      for (int c = 1; c <= side; ++c) g[r][c] = value(r, c);
    registry.Register(diag, registry.FirstFreeIndex(), name, g, nullptr, 0, name, 0, held.first,
                      held.last, side, side);
    return g;
  };
  add("zones", [&](int, int c) { return 1.0 + (c - 1) * kZones / side; });
  velorn::RegisterMpiGrids(diag, registry, layout);
  double** precipitation = add("precipitation", [](int, int) { return 0.5; });
  add("irrigation_codes", [](int r, int c) { return 1.0 + (r + 2 * c) % 3; });
  add("Max_Pumping", [](int r, int) { return 1.0 + r % 3; });
  double** amounts = add("irrigation_amounts", [](int, int) { return 0.0; });
  add("SB_1_grid", [](int r, int c) { return 0.2 + 0.001 * ((r + c) % 100); });
  add("SBLOW_grid", [](int, int) { return 0.25; });
  add("SBHIGH_grid", [](int, int) { return 0.35; });
  add("ETR2ETP", [](int, int) { return 1.0; });
  add("root_depth1", [](int, int) { return 0.5; });

  std::vector<velorn::ZoneRecord> zones(kZones + 1);
  std::vector<int32_t> code_index(kZones + 1);
  zones[0][3] = 1.0;
  for (int z = 1; z <= kZones; ++z) {
    code_index[z] = z;
    zones[z] = velorn::ZoneRecord{{0, 0, 1.0 * z, 1.0 * side * side / kZones, 0}};
  }
  std::vector<velorn::ColumnRange> columns(side + 1, velorn::ColumnRange{1, side});
  velorn::SubModelSetup setup;
  setup.diag = &diag;
  setup.control_file_name = base + ".ctl";
  setup.registry = &registry;
  setup.zone_code_index = code_index.data();
  setup.zone_table = zones.data();
  setup.column_ranges = columns.data();
  setup.zone_count = setup.highest_zone_code = kZones;
  setup.ncols = setup.nrows = side;
  setup.first_local_row = layout.first_row;
  setup.last_local_row = layout.last_row;
  setup.cellsize = 1000;
  setup.nodata = -9999;
  setup.mpi = &layout;
  if (rank == 0)
    std::ofstream(setup.control_file_name) << "[irrigation]\n1\n60\nirr_gw.sta 0\nirr_sw.sta 0\n";
  MPI_Barrier(MPI_COMM_WORLD);

  velorn::IrrigationTable table;
  table.count = 3;
  table.records.resize(4);
  const int32_t methods[] = {0, velorn::kIrrigationByTable, velorn::kIrrigationByTable,
                             velorn::kIrrigationBySuction};
  const int32_t origins[] = {0, velorn::kIrrigationFromSurfaceWater,
                             velorn::kIrrigationFromGroundwater,
                             velorn::kIrrigationFromSurfaceWater};
  for (int k = 1; k <= 3; ++k) {
    table.records[k].method = methods[k];
    table.records[k].origin = origins[k];
  }
  table.records[1].AddEntry(5, 1, 30.0);
  table.records[2].AddEntry(5, 1, 120.0);

  int32_t error = 0;
  velorn::irrigationclass model(error, setup, &table);
  if (error != 0) throw velorn::ErrorCode{error};
  model.SetupTracers(error, 0, nullptr, nullptr, 0);
  std::vector<std::vector<double>> rivers(1, std::vector<double>(kZones + 1));
  std::vector<std::vector<double>> reservoirs(1, std::vector<double>(kZones + 1, 0.0));
  std::vector<int32_t> targets(kZones + 1, 0);
  for (int z = 1; z < kZones; ++z) targets[z] = z + 1;
  velorn::AbfrelTable abfrel{std::vector<double>(kZones + 1, 1.0),
                             std::vector<double>(kZones + 1, 1.0)};
  model.SetMaxIrrigationArrays(&rivers, &reservoirs);
  model.SetRoutingTargets(&targets);
  model.SetAbfrelTable(&abfrel);

  const double step = BestTime(repetitions, [&] {
    std::fill(rivers[0].begin() + 1, rivers[0].end(), 0.6);
    model.RunStep(0, 1, 5, 2001);
  });
  // The transfers of a step computed on process 0: nine grids in, two out.
  const double transfers = BestTime(repetitions, [&] {
    for (int k = 0; k < 9; ++k) velorn::MPIGatherGrid(diag, &layout, grids[1 + k].get());
    velorn::MPIScatterGrid(diag, &layout, precipitation);
    velorn::MPIScatterGrid(diag, &layout, amounts);
  });
  // The floor of the cell work: one pass over this process's rows reading the nine grids and
  // writing two, with the demand formula of the dated type.
  const double plain = BestTime(repetitions, [&] {
    for (int r = layout.first_row; r <= layout.last_row; ++r) {
      double* g[10];
      for (int k = 1; k <= 9; ++k) g[k] = grids[k].get()[r];
      for (int c = 1; c <= side; ++c) {
        double demand = g[2][c] == 2.0 ? std::min(5.0, g[3][c]) : 1.25 + 0.0 * g[5][c];
        demand += (g[6][c] + g[7][c] + g[8][c] + g[9][c]) * 1e-300;
        g[4][c] = demand;
        g[1][c] += demand;
      }
    }
  });
  if (rank == 0) {
    const double cells = static_cast<double>(side) * side;
    std::printf("grid %d x %d, %d process(es), best of %d\n", side, side, size, repetitions);
    std::printf("step                 %8.2f ms  %8.1f Mcell-steps/s  shortage %d\n", step * 1e3,
                cells / step / 1e6, model.LastSupply().shortage ? 1 : 0);
    std::printf("plain pass           %8.2f ms  %8.1f Mcell-steps/s\n", plain * 1e3,
                cells / plain / 1e6);
    std::printf("gather 9 + scatter 2 %8.2f ms  (%s)\n", transfers * 1e3,
                size > 1 ? "the transfers of a step on process 0" : "no data travel");
    std::remove(setup.control_file_name.c_str());
  }
  model.ReleaseMemory();
  std::remove(diag_name.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "irrigation_bench", Run);
}

// Inner steps of the surface-routing solver on a generated hillslope basin (1000 x 1000 cells of
// 10 m by default: planes falling 5 % towards a channel column in the east and 1 % to the south)
// for methods 4, 5 and 6, against a plain loop over the same memory: a D8 stencil that reads the
// water surface of the eight neighbours and writes the eight discharge levels of every cell, and
// for method 6 a plain red-black 5-point sweep of the head grid. Also the share of the
// collectives of an inner step (three halo exchanges and three record reductions).
//
//   OMP_NUM_THREADS=8 mpirun -np 4 build/bench/surface_routing_solver_bench [side (1000)]
//
// A plain MPI program; process 0 prints cell-inner-steps per second.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/mpi_operations.h"
#include "grids/mpi_layout.h"
#include "lateral/surface_routing_model.h"
#include "setup/mpi_regions.h"
#include "tables/landuse_record.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;
using bench::BestTime;

// Sub-steps of 10 minutes in inner steps of 60 s: 10 inner steps per sub-step.
constexpr int kInnerSteps = 10;

std::string Section(int method) {
  return "[SurfaceRoutingModel]\n1\n10\n" + std::to_string(method) +
         "\nqd.sta 0\nqi.sta 0\nqb.sta 0\nqg.sta 0\nvelocity.stk\n0\nfluxes.stk\n0\n0.001\n10\n"
         "0.001\n10\n60\n60\n0.01\n1.0\n0\nstorage.sta 0\n";
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::max(16, std::atoi(argv[1])) : 1000;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  bench::DecomposedSquareBasin basin("surface", side, 10.0, "zonegrid");
  basin.Add("[elevation_model]", 0);
  auto [directory, diag, registry, grids, layout, setup] =
      std::tie(basin.directory, basin.diag, basin.registry, basin.grids, basin.layout, basin.setup);
  for (const char* name :
       {"landuse1", "vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp", "directflow",
        "interflow", "river_depth", "river_width", "river_links"})
    basin.Add(name, std::string(name) == "landuse1" || std::string(name) == "soil_types" ? 1 : 0);
  double** z = grids["[elevation_model]"].get();
  for (int r = 1; r <= side; ++r) {
    for (int c = 1; c <= side; ++c)
      z[r][c] = 100 + 0.5 * (side - c) + 0.1 * (side - r) + 0.01 * std::sin(r * 0.7 + c * 1.3);
    grids["river_depth"][r][side] = grids["river_width"][r][side] = 1;
  }
  std::vector<LanduseRecord> landuse(2);
  landuse[0].SetCode(1);
  landuse[1].ParseEntry(diag,
                        "1 grass method VariableDayCount { RootDist = 1.0; TReduWet = 0.95; "
                        "HReduDry = 3.45; Albedo = 0.25 0.25; rsc = 80 80; LAI = 1 1; Z0 = 0.02 "
                        "0.02; VCF = 0.5 0.5; RootDepth = 0.2 0.2; AltDep = 0 0; JulDays = 1 366; "
                        "SR_K_ST = 10; }",
                        "VariableDayCount");
  setup.landuse_table = landuse.data();
  setup.end_date = ModelDate{2001, 12, 31, 24};

  const double own_cells = static_cast<double>(side) * (layout.last_row - layout.first_row + 1);
  std::vector<double> kelsq(2, 0.0), base(2, 0.0);
  std::vector<double*> base_lists{base.data()};
  std::vector<std::pair<int, double>> rates;
  double collectives = 0;
  for (int method : {4, 5, 6}) {
    std::ofstream(setup.control_file_name) << Section(method);
    surfaceroutingclass model(setup, 1);
    if (model.ConstructionError() != 0) throw ErrorCode{model.ConstructionError()};
    int32_t error = 0;
    model.SetupTracers(error, 0, nullptr, nullptr, 0);
    model.SetInitialised(1);
    model.SetBaseflow(base_lists.data());
    model.SetDirectRunoffRecessionConstants(kelsq.data());
    model.SetInterflowRecessionConstants(kelsq.data());
    // 2 mm of runoff on every cell each sub-step: the planes carry water during the timing.
    const auto sub_step = [&] {
      for (int r = layout.first_row; r <= layout.last_row; ++r)
        std::fill(grids["directflow"][r] + 1, grids["directflow"][r] + side + 1, 2.0);
      model.BeginStep(0, 1, 6, 2001);
      model.RunStep(0, 1, 6, 2001);
      model.FinishStep();
    };
    sub_step();
    const double t = BestTime(3, sub_step);
    rates.push_back({method, own_cells * kInnerSteps / t});
    if (method == 4) {
      const int storage = registry.FindIdentifier("SurfStorSiltingUp");
      std::vector<double> records(6, 1.0);
      collectives = BestTime(5, [&] {
        for (int k = 0; k < 3; ++k) {
          model.MPIExchangeGridHalo(storage, nullptr);
          ExactSumsToRoot(records);
        }
      });
    }
    model.ReleaseArrays(false);
  }

  // The limits: a D8 stencil over the same grids and a stack of nine levels per cell, and a
  // red-black 5-point sweep; the collectives of an inner step on the head grid.
  double** h = grids["SurfStorSiltingUp"].get();
  std::vector<double> levels(static_cast<std::size_t>(side + 2) * (side + 2) * 9, 0.0);
  const int dr[] = {0, -1, -1, 0, 1, 1, 1, 0, -1}, dc[] = {0, 0, 1, 1, 1, 0, -1, -1, -1};
  const auto stencil = [&] {
    for (int r = std::max(2, layout.first_row); r <= std::min(side - 1, layout.last_row); ++r)
      for (int c = 2; c < side; ++c) {
        double* q = &levels[(static_cast<std::size_t>(r) * (side + 2) + c) * 9];
        const double hc = z[r][c] + h[r][c];
        for (int k = 1; k <= 8; ++k)
          q[k] = std::max(0.0, hc - z[r + dr[k]][c + dc[k]] - h[r + dr[k]][c + dc[k]]);
      }
  };
  const auto sweep = [&] {
    for (int colour = 0; colour < 2; ++colour)
      for (int r = std::max(2, layout.first_row); r <= std::min(side - 1, layout.last_row); ++r)
        for (int c = 2 + (r + colour) % 2; c < side; c += 2)
          h[r][c] = 0.25 * (h[r - 1][c] + h[r + 1][c] + h[r][c - 1] + h[r][c + 1]) + 1e-9 * z[r][c];
  };
  const double stencil_rate = own_cells / BestTime(5, stencil);
  const double sweep_rate = own_cells / BestTime(5, sweep);
  if (rank == 0) {
    const int threads =
        std::getenv("OMP_NUM_THREADS") ? std::atoi(std::getenv("OMP_NUM_THREADS")) : 0;
    std::printf("side %d, %d processes, OMP_NUM_THREADS %d (cell-inner-steps/s per process)\n",
                side, size, threads);
    for (const auto& [method, rate] : rates)
      std::printf("method %d   %10.3g  (%.0f x the time of the %s)\n", method, rate,
                  (method == 6 ? sweep_rate : stencil_rate) / rate,
                  method == 6 ? "red-black sweep" : "D8 stencil");
    std::printf("D8 stencil %10.3g\nred-black  %10.3g\n", stencil_rate, sweep_rate);
    std::printf("collectives of an inner step: %.3f ms (%.0f %% of a method-4 inner step)\n",
                collectives * 1e3, 100 * collectives * rates[0].second / own_cells);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  fs::remove_all(directory);
  return 0;
}

}  // namespace
}  // namespace velorn

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "surface_routing_solver_bench", velorn::Run);
}

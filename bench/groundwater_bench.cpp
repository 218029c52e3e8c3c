// Head solution of the groundwater model on one layer of a square grid (1000 x 1000 cells by
// default): red-black over-relaxation sweeps per second against the memory-bandwidth bound of a
// sweep, the share of the halo exchanges and the reduction in a sweep, and rows per second of
// the row-implicit pass against a plain Thomas solve of the same rows.
//
//   OMP_NUM_THREADS=8 mpirun -np 4 build/bench/groundwater_bench [side (1000)] [sweeps (20)]
//
// A plain MPI program (every process runs the same number of collective sweeps).
#include <mpi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "grids/mpi_layout.h"
#include "lateral/groundwater_model.h"
#include "lateral/groundwater_physics.h"
#include "setup/mpi_regions.h"
#include "tables/soil_record.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;
using bench::BestTime;

// Doubles a sweep reads or writes per cell from memory: zone, owner, head (read and write),
// start head, layer top, storage, fixed head, fixed inflow, two face transmissivities.
constexpr double kBytesPerCell = 11 * 8;

// Copy rate of this machine in bytes per second (bytes read plus bytes written).
double CopyBandwidth() {
  const std::size_t bytes = std::size_t{256} << 20;
  std::vector<char> from(bytes, 1), to(bytes, 0);
  double best = 1e300;
  for (int rep = 0; rep < 5; ++rep) {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(to.data(), from.data(), bytes);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return 2.0 * static_cast<double>(bytes) / best + 0 * to[bytes / 2];
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::max(16, std::atoi(argv[1])) : 1000;
  const int sweeps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  bench::DecomposedSquareBasin basin("groundwater", side, 10.0, "zones");
  auto [directory, diag, registry, grids, layout, setup] =
      std::tie(basin.directory, basin.diag, basin.registry, basin.grids, basin.layout, basin.setup);
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, double>>{{"[elevation_model]", 100},
                                                   {"groundwater_recharge", 0},
                                                   {"groundwater_distance", 20},
                                                   {"soil_types", 1},
                                                   {"baseflow", 0},
                                                   {"aquifer_thickness_1", 10},
                                                   {"gw_k_x_1", 1e-4},
                                                   {"gw_k_y_1", 1e-4},
                                                   {"gw_storage_coeff_1", 1e-4},
                                                   {"gw_boundary_fix_h_1", -9999},
                                                   {"gw_boundary_fix_q_1", -9999}})
    basin.Add(name, value);
  for (int r = 1; r <= side; ++r) grids["gw_boundary_fix_h_1"][r][1] = 110;
  grids["gw_boundary_fix_q_1"][side / 2][side / 2] = -1e-4;
  std::vector<SoilRecord> soils(2);
  soils[0].code = 1;
  soils[1].TotalDepth = 10;
  setup.soil_table = soils.data();
  std::ofstream(setup.control_file_name)
      << "[groundwater_flow]\n1\n60\n1\n1\n1e-12\n1\n1.8\n0\n1\n0 0\ncp.txt\n0\n"
         "h.asc\n0\ntx.asc\n0\nty.asc\n0\nb.asc\n0\n";
  int32_t error = 0;
  gwflowclass model(error, setup);
  model.RunStep(1, 1, 1, 2001);  // transmissivities and start heads of a sub-step

  const double cells = static_cast<double>(side) * side;
  std::vector<double> change(1);
  const double sweep_time = BestTime(3,
                                     [&] {
                                       for (int k = 0; k < sweeps; ++k) {
                                         change[0] = model.IterateHeadsSOR(1);
                                         AllReduceMaximum(change);
                                       }
                                     }) /
                            sweeps;
  const int head = model.layers[1].head_index;
  const double collective_time = BestTime(3,
                                          [&] {
                                            for (int k = 0; k < sweeps; ++k) {
                                              model.MPIExchangeGridHalo(head, nullptr);
                                              model.MPIExchangeGridHalo(head, nullptr);
                                              AllReduceMaximum(change);
                                            }
                                          }) /
                                 sweeps;
  const double once_time = BestTime(3, [&] { model.IterateHeadsOnce(1); });
  // A plain Thomas solve of the same rows: the coefficients from the face transmissivities.
  double** tx = model.layers[1].tx.get();
  const double thomas_time = BestTime(3, [&] {
    std::vector<double> a(side), b(side), c(side), d(side);
    for (int r = layout.first_row; r <= layout.last_row; ++r) {
      for (int i = 0; i < side; ++i) {
        a[i] = i > 0 ? tx[r][i] / 10.0 : 0.0;
        c[i] = tx[r][i + 1] / 10.0;
        b[i] = -10.0 * 1e-4 / 3600 - a[i] - c[i];
        d[i] = -10.0 * 1e-4 * 100 / 3600;
      }
      SolveTridiagonal(a.data(), b.data(), c.data(), d.data(), side);
    }
  });
  const double bandwidth = CopyBandwidth();
  if (rank == 0) {
    const double bound = cells / size * kBytesPerCell / bandwidth;
    const int threads =
        std::getenv("OMP_NUM_THREADS") ? std::atoi(std::getenv("OMP_NUM_THREADS")) : 0;
    std::printf("side %d, %d processes, OMP_NUM_THREADS %d, copy bandwidth %.1f GB/s\n", side, size,
                threads, bandwidth * 1e-9);
    std::printf("SOR sweep        %9.3f ms  %8.1f sweeps/s  bound %.3f ms (x%.1f)\n",
                sweep_time * 1e3, 1 / sweep_time, bound * 1e3, sweep_time / bound);
    std::printf("collectives      %9.3f ms  %5.1f %% of a sweep\n", collective_time * 1e3,
                100 * collective_time / sweep_time);
    const double rows = static_cast<double>(side) / size;
    std::printf("row pass         %9.3f ms  %8.0f rows/s; plain Thomas %8.0f rows/s\n",
                once_time * 1e3, rows / once_time, rows / thomas_time);
  }
  model.ReleaseMemory();
  MPI_Barrier(MPI_COMM_WORLD);
  fs::remove_all(directory);
  return 0;
}

}  // namespace
}  // namespace velorn

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "groundwater_bench", velorn::Run);
}

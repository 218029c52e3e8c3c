// Throughput of the grid distribution: scatter from process 0, gather to process 0 and the halo
// exchange of one grid, on a square basin decomposed over all processes with equal speeds.
//
// Usage: mpirun -np N mpi_exchange_bench [side (4000)] [repetitions (5)]
// Process 0 prints one line per operation: the best time of the repetitions, the data that
// travelled between processes, and its rate in MB/s (1 MB = 1e6 bytes). With one process
// every operation is a no-op and only its time is printed.
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "grids/mpi_exchange.h"
#include "setup/mpi_regions.h"

namespace {

using velorn::GridMatrix;
using velorn::MpiLayout;
using velorn::bench::BestTime;

void Report(int rank, const char* name, double seconds, double bytes) {
  if (rank != 0) return;
  if (bytes <= 0) {
    std::printf("%-14s %10.2f ms   (no data travel with one process)\n", name, seconds * 1e3);
    return;
  }
  std::printf("%-14s %10.2f ms %10.1f MB moved %10.1f MB/s\n", name, seconds * 1e3, bytes / 1e6,
              bytes / 1e6 / seconds);
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 4000;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);

  std::ostringstream screen;
  // Removes the diagnostics file that the stream opened (its name has the rank inserted) once
  // the stream, declared after it, has closed the file.
  struct RemovedAtEnd {
    std::string name;
    ~RemovedAtEnd() {
      if (!name.empty()) std::remove(name.c_str());
    }
  } diag_file;
  velorn::DiagnosticStream diag("/tmp/velorn_bench_diag_" + std::to_string(getpid()) + ".xml", 0,
                                screen);
  diag_file.name = diag.file_name();

  const velorn::RegionGeometry geometry{side, side, -9999.0};
  GridMatrix zone;
  if (rank == 0) {
    zone = GridMatrix(diag, 1, side, side, side);
    for (int r = 1; r <= side; ++r) std::fill(zone[r] + 1, zone[r] + side + 1, 1.0);
  }
  const velorn::RegionGrids grids{zone.get(), nullptr, nullptr};
  MpiLayout layout = std::move(velorn::DecomposeRegions(diag, geometry, grids, 1.0).layout);
  zone = GridMatrix();

  const velorn::HeldRows held = rank == 0 ? velorn::HeldRows{1, side} : layout.held_rows();
  GridMatrix grid(diag, held.first, held.last, side, side);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= side; ++c) grid[r][c] = r + 1e-4 * c;

  const double cells = static_cast<double>(side) * side;
  const double moved = (cells - static_cast<double>(layout.cell_counts[0])) * sizeof(double);
  double halo_cells = 0;
  for (const auto& record : layout.receive_list) halo_cells += record.count;
  MPI_Allreduce(MPI_IN_PLACE, &halo_cells, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);

  if (rank == 0)
    std::printf("grid %d x %d (%.1f MB), %d process(es), best of %d\n", side, side,
                cells * sizeof(double) / 1e6, size, repetitions);
  Report(rank, "scatter",
         BestTime(repetitions, [&] { velorn::MPIScatterGrid(diag, &layout, grid.get()); }), moved);
  Report(rank, "gather",
         BestTime(repetitions, [&] { velorn::MPIGatherGrid(diag, &layout, grid.get()); }), moved);
  Report(rank, "halo exchange",
         BestTime(repetitions, [&] { velorn::MPIExchangeGridHalo(&layout, grid.get()); }),
         halo_cells * sizeof(double));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "mpi_exchange_bench", Run);
}

// The per-step reduction of the surface routing frame: the outlet records of every subbasin,
// tracer and runoff kind (2 (tracers + 1) subbasins records of three sums) reach process 0.
//
// Usage: mpirun -np N surface_routing_bench [subbasins (100)] [steps (2000)]
// Process 0 prints, for 0 and 3 tracers, the time per step of
//   - exact: the frame's batched reduction (ExactSumsToRoot: one gather, exact sums on 0) when
//     every process holds a share of every value, and when each value lies on one process,
//   - one reduce: one MPI_Reduce of the same doubles (the limit: same bytes, one message),
//   - separate: one MPI_Reduce of two records (six doubles) per subbasin, tracer and kind, as a
//     frame without batching makes them.
#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_common.h"
#include "core/mpi_operations.h"

namespace {

using velorn::bench::BestTime;

void Run(int subbasins, int steps, int tracers, int rank, int size) {
  const int records = 2 * (tracers + 1) * subbasins;
  std::vector<double> sums(static_cast<std::size_t>(records) * 3, 1.0 / 3);
  std::vector<double> reduced(sums.size());
  std::vector<double> pair(6, 0.25), pair_out(6);
  // Every process holds a share of every subbasin (the worst case: every value is summed).
  const double exact = BestTime(3, [&] {
    for (int s = 0; s < steps; ++s) {
      std::fill(sums.begin(), sums.end(), 1.0 / 3);
      velorn::ExactSumsToRoot(sums);
    }
  });
  // Every subbasin inside one process's strip (the common case: one term per value).
  const double strips = BestTime(3, [&] {
    for (int s = 0; s < steps; ++s) {
      for (std::size_t i = 0; i < sums.size(); ++i)
        sums[i] = static_cast<int>(i / 3 % static_cast<std::size_t>(size)) == rank ? 1.0 / 3 : 0.0;
      velorn::ExactSumsToRoot(sums);
    }
  });
  const double one = BestTime(3, [&] {
    for (int s = 0; s < steps; ++s)
      MPI_Reduce(sums.data(), reduced.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, 0,
                 MPI_COMM_WORLD);
  });
  const double separate = BestTime(3, [&] {
    for (int s = 0; s < steps; ++s)
      for (int r = 0; r < records; ++r)
        MPI_Reduce(pair.data(), pair_out.data(), 6, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
  });
  if (rank != 0) return;
  const double us = 1e6 / steps;
  std::printf(
      "tracers %d, %zu doubles: exact %7.1f us, one strip each %7.1f us, one reduce "
      "%7.1f us, separate (%d calls) %7.1f us per step\n",
      tracers, sums.size(), exact * us, strips * us, one * us, records, separate * us);
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  const int subbasins = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const int steps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (rank == 0) std::printf("%d processes\n", size);
  for (int tracers : {0, 3}) Run(subbasins, steps, tracers, rank, size);
  velorn::FreeMpiOperations();
  MPI_Finalize();
  return 0;
}

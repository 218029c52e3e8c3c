// Cost of the soil zone's runoff concentration per time step: the step start (shift of the
// flow-time zones) and the step end (records 0 and 1 of every buffer and the base-flow records
// summed exactly onto process 0 in one exchange, then the storages of every subbasin), for 1000
// subbasins of 20 zones and 0 or 3 tracers. The limit beside it: one plain MPI_SUM reduction of
// the same number of doubles, the least any reduction of these records can cost.
//
// Usage: mpirun -np N runoff_step_bench [subbasins (1000)] [zones (20)] [repetitions (200)]
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "unsatzone/runoff_concentration.h"

namespace {

int Run(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int zones = argc > 2 ? std::atoi(argv[2]) : 20;
  const int repetitions = argc > 3 ? std::atoi(argv[3]) : 200;
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  for (int tracers : {0, 3}) {
    velorn::RunoffConcentration runoff;
    runoff.Allocate(n, tracers);
    for (int s = 1; s <= n; ++s) {
      runoff.maxzeit[s] = zones;
      for (int t = 0; t <= tracers; ++t)
        for (auto* b : {&runoff.zoneFZT_QD, &runoff.zoneFZT_QI}) {
          (*b)[t][s].assign(static_cast<std::size_t>(zones) + 1, velorn::ZoneRecord{});
          for (int z = 1; z <= zones; ++z) (*b)[t][s][z] = {{1.0 + z, 0.1 * s, 1.0 * z, 0.05, 1}};
        }
    }
    std::vector<velorn::ZoneRecord> qb(static_cast<std::size_t>(n) + 1);
    velorn::RunoffConcentration::StepTables tables;
    tables.qb = &qb;
    const std::vector<double> k(static_cast<std::size_t>(n) + 1, 120.0);
    const std::vector<double> rel(static_cast<std::size_t>(n) + 1, 1.0);
    const double step = velorn::bench::BestTime(repetitions, [&] {
      runoff.BeginStep();
      runoff.FinishStep(tables, k, k, rel, nullptr, false, 60);
    });
    // The same doubles as the step reduces: 2 buffers x (T + 1) x n x 2 records x 3 fields,
    // and 3 fields of the n + 1 base-flow records.
    std::vector<double> plain(static_cast<std::size_t>(2 * (tracers + 1) * n * 6 + 3 * (n + 1)),
                              1.0);
    std::vector<double> sums(plain.size());
    const double limit = velorn::bench::BestTime(repetitions, [&] {
      MPI_Reduce(plain.data(), sums.data(), static_cast<int>(plain.size()), MPI_DOUBLE, MPI_SUM, 0,
                 MPI_COMM_WORLD);
    });
    if (rank == 0)
      std::printf(
          "tracers %d: step %8.3f ms   one plain reduction of %zu doubles %8.3f ms   "
          "ratio %.1f\n",
          tracers, step * 1e3, plain.size(), limit * 1e3, step / limit);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "runoff_step_bench", Run);
}

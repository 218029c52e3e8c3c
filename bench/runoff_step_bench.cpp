// Cost of the soil zone's runoff concentration per time step, for 1000 subbasins of 20 flow-time
// zones and 0 or 3 tracers, with one cell per zone and subbasin entering its runoff every step
// (its cells dealt out over the processes): the step start (shift of the zones), the entries
// (exact sums per record) and the step end (the step's entries and base flow summed exactly over
// the processes in one exchange and added to process 0's records, then the storages of every
// subbasin). Beside it the same step with plain sums: the entries added to each process's
// doubles, then record 1 of every buffer and the base flow summed by one MPI_SUM reduction,
// whose results depend on the process count.
//
// Usage: mpirun -np N runoff_step_bench [subbasins (1000)] [zones (20)] [repetitions (200)]
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_common.h"
#include "unsatzone/runoff_concentration.h"

namespace {

int Run(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int zones = argc > 2 ? std::atoi(argv[2]) : 20;
  const int repetitions = argc > 3 ? std::atoi(argv[3]) : 200;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  // This process's cells: cell (s, z) belongs to process (s + z) mod size.
  const auto mine = [&](int s, int z) { return (s + z) % size == rank; };
  for (int tracers : {0, 3}) {
    velorn::RunoffConcentration runoff;
    runoff.Allocate(n, tracers);
    for (int s = 1; s <= n; ++s) {
      runoff.maxzeit[s] = zones;
      for (int t = 0; t <= tracers; ++t)
        for (auto* b : {&runoff.zoneFZT_QD, &runoff.zoneFZT_QI})
          (*b)[t][s].assign(static_cast<std::size_t>(zones) + 1, velorn::ZoneRecord{});
    }
    std::vector<velorn::ZoneRecord> qb(static_cast<std::size_t>(n) + 1);
    velorn::RunoffConcentration::StepTables tables;
    tables.qb = &qb;
    const std::vector<double> k(static_cast<std::size_t>(n) + 1, 120.0);
    const std::vector<double> rel(static_cast<std::size_t>(n) + 1, 1.0);
    const double exact = velorn::bench::BestTime(repetitions, [&] {
      runoff.BeginStep();
      for (int s = 1; s <= n; ++s)
        for (int z = 1; z <= zones; ++z) {
          if (!mine(s, z)) continue;
          for (int t = 0; t <= tracers; ++t)
            runoff.AddCellRunoff(t, s, z, 0.1 * z + 0.01 * s, 0.02 * z, 1.0, 0.0, 1);
          runoff.AddCellBaseflow(s, 1.0, 0.3, 1.0);
        }
      runoff.FinishStep(tables, k, k, rel, nullptr, false, 60);
    });
    // Plain sums: records of 3 doubles per buffer, tracer, subbasin and zone.
    const auto lines = static_cast<std::size_t>(2 * (tracers + 1) * n);
    const auto per_line = static_cast<std::size_t>(zones + 1) * 3;
    std::vector<double> records(lines * per_line, 0.0), base(3 * (static_cast<std::size_t>(n) + 1));
    std::vector<double> outlet(3 * lines + base.size()), sums(outlet.size());
    const double plain = velorn::bench::BestTime(repetitions, [&] {
      for (std::size_t line = 0; line < lines; ++line) {
        double* r = &records[line * per_line];
        std::copy(r + 6, r + per_line, r + 3);
        std::fill(r + per_line - 3, r + per_line, 0.0);
      }
      std::fill(base.begin(), base.end(), 0.0);
      for (int s = 1; s <= n; ++s)
        for (int z = 1; z <= zones; ++z) {
          if (!mine(s, z)) continue;
          for (int b = 0; b < 2; ++b)
            for (int t = 0; t <= tracers; ++t) {
              double* r = &records[((b * (tracers + 1) + t) * n + s - 1) * per_line + 3 * z];
              r[0] += 1.0;
              r[1] += b == 0 ? 0.1 * z + 0.01 * s : 0.02 * z;
              r[2] += 1.0;
            }
          base[3 * s] += 1.0, base[3 * s + 1] += 0.3, base[3 * s + 2] += 1.0;
        }
      for (std::size_t line = 0; line < lines; ++line)
        std::copy(&records[line * per_line + 3], &records[line * per_line + 6], &outlet[3 * line]);
      std::copy(base.begin(), base.end(), outlet.begin() + static_cast<long>(3 * lines));
      MPI_Reduce(outlet.data(), sums.data(), static_cast<int>(outlet.size()), MPI_DOUBLE, MPI_SUM,
                 0, MPI_COMM_WORLD);
    });
    if (rank == 0)
      std::printf("tracers %d: exact sums %8.3f ms   plain sums %8.3f ms   ratio %.2f\n", tracers,
                  exact * 1e3, plain * 1e3, exact / plain);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "runoff_step_bench", Run);
}

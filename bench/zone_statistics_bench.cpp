// Zone statistics tables: the cost of writing the statistics of 1000 zones every step for
// 10,000 steps (mode 2, a row per step, 3 decimals), with the cells spread over all processes
// and the zone sums reduced onto process 0 every step.
//
//   mpirun -np 1 build/bench/zone_statistics_bench
//   mpirun -np 4 build/bench/zone_statistics_bench
//
// Three measurements, each one run of all steps (Google Benchmark with a fixed iteration count,
// so every process takes part in the same number of collective reductions):
//   table:        ResetZoneSums, AddValue for this process's cells, CollectStep with reduction,
//                 flushes of the 2 MiB buffer and the final ReleaseMemory;
//   reduce only:  the per-step reduction of the 1001 zone records alone;
//   format limit: a plain loop formatting the same numbers ("%.3f", tab-separated rows) into
//                 memory and writing them to a file once (process 0), the floor for the table.
// Only process 0 reports; rows per second count the table rows (one per step).
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/mpi_operations.h"
#include "core/zone_statistics.h"
#include "grids/mpi_exchange.h"

namespace {

using velorn::ZoneRecord;

constexpr int kZones = 1000;
constexpr int kCellsPerZone = 10;
constexpr int kSteps = 10000;

int Rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}
int Size() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

// Working directory of process 0 (files) and every process's diagnostics, removed at the end.
std::filesystem::path WorkDirectory() {
  static const std::filesystem::path dir = [] {
    auto path = std::filesystem::temp_directory_path() /
                ("velorn-zone-bench-" + std::to_string(::getpid()) + "-" + std::to_string(Rank()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

velorn::DiagnosticStream& Diag() {
  static std::ostringstream screen;
  static velorn::DiagnosticStream diag((WorkDirectory() / "diag.xml").string(), 0, screen);
  return diag;
}

std::vector<ZoneRecord> ZoneTable() {
  std::vector<ZoneRecord> table(kZones + 1);
  for (int z = 1; z <= kZones; ++z) {
    table[z][2] = 100 + z;
    table[z][3] = 1.0 / kZones;
  }
  return table;
}

// A value of cell `cell` of zone `zone` at step `step`, of the size of a runoff in mm.
double CellValue(int zone, int cell, int step) {
  return 1.5 + std::sin(0.001 * step + zone) + 0.1 * cell;
}

void BM_ZoneTable(benchmark::State& state) {
  const int rank = Rank();
  const int size = Size();
  for (auto _ : state) {
    auto records = ZoneTable();
    std::string name = (WorkDirectory() / "table.txt").string();
    int list[1] = {0};
    int error = 0;
    velorn::zonalstatistic table(error, &Diag(), nullptr, 1, 1, records.data(), kZones, 2001, 3,
                                 name, "", 0, list);
    table.WriteHeader("bench", "runoff", nullptr, 0);
    for (int step = 1; step <= kSteps; ++step) {
      table.ResetZoneSums();
      for (int z = 1; z <= kZones; ++z)
        for (int cell = rank; cell < kCellsPerZone; cell += size)
          table.AddValue(0, 0, z, CellValue(z, cell, step), 1.0);
      table.CollectStep(2000, 1, 1, step % 24, 1);
    }
    table.ReleaseMemory();
    MPI_Barrier(MPI_COMM_WORLD);
  }
  state.counters["rows/s"] = benchmark::Counter(kSteps, benchmark::Counter::kIsRate);
  state.counters["values/s"] =
      benchmark::Counter(double{kSteps} * (kZones + 1), benchmark::Counter::kIsRate);
}

void BM_ReduceOnly(benchmark::State& state) {
  for (auto _ : state) {
    auto records = ZoneTable();
    for (int step = 1; step <= kSteps; ++step) {
      records[1][0] = step;
      velorn::MPIReduceRecords(nullptr, records.data(), kZones, true);
    }
    benchmark::DoNotOptimize(records.data());
    MPI_Barrier(MPI_COMM_WORLD);
  }
  state.counters["rows/s"] = benchmark::Counter(kSteps, benchmark::Counter::kIsRate);
}

void BM_FormatLimit(benchmark::State& state) {
  const std::string name = (WorkDirectory() / "plain.txt").string();
  for (auto _ : state) {
    if (Rank() == 0) {
      std::string text;
      std::vector<char> cell(64);
      for (int step = 1; step <= kSteps; ++step) {
        int n =
            std::snprintf(cell.data(), cell.size(), "%2d\t%2d\t%2d\t%2d", 2000, 1, 1, step % 24);
        text.append(cell.data(), static_cast<std::size_t>(n));
        for (int z = 1; z <= kZones + 1; ++z) {
          n = std::snprintf(cell.data(), cell.size(), "\t%.*f", 3, CellValue(z, 0, step));
          text.append(cell.data(), static_cast<std::size_t>(n));
        }
        text += '\n';
      }
      std::FILE* file = std::fopen(name.c_str(), "w");
      std::fwrite(text.data(), 1, text.size(), file);
      std::fclose(file);
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }
  state.counters["rows/s"] = benchmark::Counter(kSteps, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ZoneTable)->Name("table")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReduceOnly)
    ->Name("reduce only")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatLimit)
    ->Name("format limit")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Swallows the reports of processes other than 0.
class SilentReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  benchmark::Initialize(&argc, argv);
  if (Rank() == 0) {
    std::printf("zone statistics: %d zones, %d cells per zone, %d steps, %d processes\n", kZones,
                kCellsPerZone, kSteps, Size());
    benchmark::RunSpecifiedBenchmarks();
  } else {
    SilentReporter silent;
    benchmark::RunSpecifiedBenchmarks(&silent);
  }
  benchmark::Shutdown();
  std::filesystem::remove_all(WorkDirectory());
  velorn::FreeMpiOperations();
  MPI_Finalize();
  return 0;
}

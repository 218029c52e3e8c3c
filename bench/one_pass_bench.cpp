// The one-pass limit of a time step: one read-and-write pass over K grids of doubles of the
// scaled example basin's size (1300 x 980 cells, factor 20), in the row layout of the model's
// grids (GridMatrix, row pointers, column 0 unused), through the row-loop helper on one thread.
// Every cell of every grid is read and written once (x = x * a + b): K grids in one cell loop
// (GridPass, as one cell loop of a sub-model touches its grids) and one grid after another
// (GridPassEach, as a step of many short loops). Beside them the limit of the pass itself:
// memcpy of the same bytes (each grid's rows copied into a second grid of the same shape).
//
//   build/bench/one_pass_bench [--benchmark_repetitions=5 --benchmark_report_aggregates_only]
//
// The argument is K: 1 (one grid, which stays in the cache) and the grid counts of the phases of
// the example's step. Counter grid_cells: grid-cells per second (K x cells per pass); its inverse
// is the one-pass cost per grid and cell, so a phase that touches K grids has the limit K times
// that per cell and step (bench/README.md, "Whole runs of the scaled example").
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "core/row_loop.h"

namespace {

using namespace velorn;

constexpr int kColumns = 1300;
constexpr int kRows = 980;
constexpr double kCells = static_cast<double>(kColumns) * kRows;
constexpr int kMaxGrids = 128;

// Holds the diagnostics file of the allocations; removed at the end.
std::filesystem::path WorkDirectory() {
  return bench::WorkDirectory("velorn-one-pass-bench");
}

// K grids filled with distinct values, and K targets for the copy.
struct Grids {
  explicit Grids(int count) : diag((WorkDirectory() / "diag.xml").string(), 0, screen) {
    for (int k = 0; k < count; ++k) {
      grids.emplace_back(diag, 1, kRows, kColumns, kRows);
      targets.emplace_back(diag, 1, kRows, kColumns, kRows);
      // Every page touched before the timing (the targets too: zeroed pages may be unmapped).
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kColumns; ++c) grids.back()[r][c] = 0.001 * (r + c + k);
        std::fill(targets.back()[r], targets.back()[r] + kColumns + 1, 1.0);
      }
    }
    for (const GridMatrix& g : grids) rows.push_back(g.get());
  }
  std::ostringstream screen;
  DiagnosticStream diag;
  std::vector<GridMatrix> grids, targets;
  std::vector<double**> rows;
};

void Counters(benchmark::State& state, int count) {
  state.counters["grid_cells"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * count * kCells, benchmark::Counter::kIsRate);
}

// One pass over K grids: every cell of every grid read and written once, one thread.
void GridPass(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  if (count > kMaxGrids) {
    state.SkipWithError("more grids than the row buffer holds");
    return;
  }
  Grids g(count);
  omp_set_num_threads(1);
  double* const* const* rows = g.rows.data();
  const double a = 0.999999, b = 1e-6;
  for (auto _ : state) {
    ForEachRow(1, kRows, [&](long r) {
      double* row[kMaxGrids];
      for (int k = 0; k < count; ++k) row[k] = rows[k][r];
      for (long c = 1; c <= kColumns; ++c)
        for (int k = 0; k < count; ++k) row[k][c] = row[k][c] * a + b;
    });
    benchmark::ClobberMemory();
  }
  Counters(state, count);
}

// The same pass one grid after another (K row loops of one grid each), as a step of several
// short cell loops makes it; K grids of 10 MB do not fit the cache.
void GridPassEach(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Grids g(count);
  omp_set_num_threads(1);
  const double a = 0.999999, b = 1e-6;
  for (auto _ : state) {
    for (double** grid : g.rows) {
      ForEachRow(1, kRows, [&](long r) {
        for (long c = 1; c <= kColumns; ++c) grid[r][c] = grid[r][c] * a + b;
      });
    }
    benchmark::ClobberMemory();
  }
  Counters(state, count);
}

// The same bytes through memcpy: each grid's rows into the rows of a second grid.
void GridCopy(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Grids g(count);
  const std::size_t row_bytes = sizeof(double) * (kColumns + 1);
  for (auto _ : state) {
    for (int k = 0; k < count; ++k) {
      double** from = g.grids[static_cast<std::size_t>(k)].get();
      double** to = g.targets[static_cast<std::size_t>(k)].get();
      for (int r = 1; r <= kRows; ++r) std::memcpy(to[r], from[r], row_bytes);
    }
    benchmark::ClobberMemory();
  }
  Counters(state, count);
}

// K = 1 (one grid, held in the cache) and the grid counts of the phases of the example's step.
void GridCounts(benchmark::internal::Benchmark* b) {
  b->ArgName("grids");
  for (int count : {1, 17, 21, 50, 68}) b->Arg(count);
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(GridPass)->Apply(GridCounts);
BENCHMARK(GridPassEach)->Apply(GridCounts);
BENCHMARK(GridCopy)->Apply(GridCounts);

}  // namespace

VELORN_BENCHMARK_MAIN(WorkDirectory())

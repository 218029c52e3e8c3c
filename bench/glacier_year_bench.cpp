// The per-cell part of the annual glacier update (UpdateGlacierCellYear, as every process runs it
// on the evaluation step) over a 1000 x 1000 basin with three firn levels on one thread, against
// the limit: a plain pass that reads and writes the same twelve grids and shifts the same firn
// stack, with no decisions of the update. A third of the cells are glacierized (fractions 0.2 to
// 1), a third bare with packs below the limit for new glacier cells and a third bare with deep
// packs that become new glacier cells; the state is reset before each pass, outside the timing.
//
//   build/bench/glacier_year_bench [--benchmark_filter=...]
//
// Counter cells: cells per second of one annual update.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "snow/glacier_record.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;
constexpr int kLevels = 3;
constexpr std::size_t kCells = static_cast<std::size_t>(kSide) * kSide;

struct Basin {
  Basin() : start(kCells), cells(kCells), firn(kCells * (kLevels + 1)) {
    for (std::size_t i = 0; i < kCells; ++i) {
      GlacierCellState& s = start[i];
      const int kind = static_cast<int>(i % 3);
      s.fraction = s.fraction_old = kind == 0 ? 0.2 + 0.8 * static_cast<double>(i % 5) / 4 : 0;
      s.code = s.code_old = kind == 0 ? 7 : -9999;
      s.cell = PackState{kind == 2 ? 1500.0 : 300.0, 10, kind == 2 ? 1490.0 : 290.0};
      s.glacier = kind == 0 ? PackState{200, 5, 195} : PackState{};
      s.balance = kind == 0 ? -400 : 0;
      s.firn_total = kind == 0 ? 150 : 0;
    }
  }
  // Cells and firn stack back to the start state.
  void Reset() {
    cells = start;
    for (std::size_t i = 0; i < kCells; ++i) {
      double* levels = &firn[i * (kLevels + 1)];
      const double layer = start[i].firn_total / kLevels;
      levels[0] = start[i].firn_total;
      std::fill(levels + 1, levels + kLevels + 1, layer);
      cells[i].firn = levels;
    }
  }
  std::vector<GlacierCellState> start, cells;
  std::vector<double> firn;
};

Basin& TheBasin() {
  static Basin basin;
  return basin;
}

void AnnualCellUpdate(benchmark::State& state) {
  Basin& b = TheBasin();
  for (auto _ : state) {
    state.PauseTiming();
    b.Reset();
    state.ResumeTiming();
    double moved = 0;
    for (GlacierCellState& s : b.cells)
      moved += UpdateGlacierCellYear(s, kLevels, 1000, 0.25, true);
    benchmark::DoNotOptimize(moved);
    benchmark::ClobberMemory();
  }
  state.counters["cells"] = benchmark::Counter(static_cast<double>(state.iterations()) * kCells,
                                               benchmark::Counter::kIsRate);
}

// The limit: every value in and out once and the firn layers moved down by one.
void PlainCellPass(benchmark::State& state) {
  Basin& b = TheBasin();
  for (auto _ : state) {
    state.PauseTiming();
    b.Reset();
    state.ResumeTiming();
    for (GlacierCellState& s : b.cells) {
      double* f = s.firn;
      for (int k = kLevels; k > 1; --k) f[k] = f[k - 1];
      f[1] = s.glacier.total;
      f[0] = f[1] + f[2] + f[3];
      s.fraction_old = s.fraction;
      s.code_old = s.code;
      s.old_balance = s.balance;
      s.balance = 0;
      s.firn_total = f[0];
      s.cell.total += s.glacier.liquid;
      s.glacier = PackState{};
    }
    benchmark::ClobberMemory();
  }
  state.counters["cells"] = benchmark::Counter(static_cast<double>(state.iterations()) * kCells,
                                               benchmark::Counter::kIsRate);
}

BENCHMARK(AnnualCellUpdate)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainCellPass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// One pass of the lateral snow redistribution (RedistributeSnow) over a 1000 x 1000 basin on
// one process, against the limit: a plain pass over the same cells in the same elevation order
// that reads the cell's slope, four weights, capacity and pack and writes its pack and three
// slide grids, with no arithmetic of the slides. The terrain is a tilted plane with ripples, so
// half the cells are steep enough to release snow; the weights go to the lower neighbours.
//
//   build/bench/snow_slide_bench [--benchmark_filter=...]
//
// Counter cells: cells per second of one step (the pass and the return of the mass).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "snow/snow_slide.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;
constexpr double kNodata = -9999;

struct Basin {
  // The diagnostics file goes to the temporary directory: a path such as /dev/null gets the rank
  // before its extension and would become a new file beside it.
  Basin()
      : diag((std::filesystem::temp_directory_path() / "velorn_snow_slide_bench.xml").string(), 0,
             screen) {
    for (const char* name :
         {"zone", "elevation", "order_row", "order_col", "slope", "f1", "f2", "f3", "f4",
          "capacity", "input", "mobile", "deposition", "S", "L", "solid"})
      grids.emplace(name, GridMatrix(diag, 1, kSide, kSide, kSide));
    for (int r = 1; r <= kSide; ++r) {
      for (int c = 0; c <= kSide; ++c) {
        const double z = 3000 - 2.0 * r - 1.0 * c + 20 * std::sin(0.1 * r) * std::cos(0.07 * c);
        At("zone", r, c) = c == 0 ? kNodata : 1 + (c > kSide / 2);
        At("elevation", r, c) = z;
        At("slope", r, c) = 20 + 20 * std::sin(0.05 * r + 0.03 * c);
        At("capacity", r, c) = std::max(0.0, 1 - At("slope", r, c) / 55);
        At("S", r, c) = 100;
        At("L", r, c) = 5;
        At("solid", r, c) = 95;
        At("f1", r, c) = 0;
        At("f2", r, c) = 0;
        At("f3", r, c) = 1;  // next column and next row lie lower
        At("f4", r, c) = 2;
      }
    }
    ranges.assign(kSide + 1, ColumnRange{1, kSide});
    FillElevationOrder(Grid("zone"), Grid("elevation"), kSide, kSide, kNodata, Grid("order_row"),
                       Grid("order_col"));
    slide.zone = Grid("zone");
    slide.order_row = Grid("order_row");
    slide.order_col = Grid("order_col");
    slide.slope = Grid("slope");
    slide.fraction = {nullptr, Grid("f1"), Grid("f2"), Grid("f3"), Grid("f4")};
    slide.max_deposition = Grid("capacity");
    slide.input_mass = Grid("input");
    slide.mobile_mass = Grid("mobile");
    slide.deposition = Grid("deposition");
    slide.pack = {Grid("S"), Grid("L"), Grid("solid")};
  }
  double** Grid(const char* name) { return grids.at(name).get(); }
  double& At(const char* name, int r, int c) { return grids.at(name)[r][c]; }

  std::ostringstream screen;
  DiagnosticStream diag;
  std::map<std::string, GridMatrix> grids;
  std::vector<ColumnRange> ranges;
  SlideGrids slide;
};

Basin& TheBasin() {
  static Basin basin;
  return basin;
}

void Redistribution(benchmark::State& state) {
  Basin& b = TheBasin();
  for (auto _ : state) {
    RedistributeSnow(b.slide, SlideSettings{30, 0.01, kNodata}, kSide, kSide, b.ranges.data());
    benchmark::ClobberMemory();
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSide * kSide, benchmark::Counter::kIsRate);
}

// The limit: the same walk in elevation order touching the same values per cell.
void PlainOrderedPass(benchmark::State& state) {
  Basin& b = TheBasin();
  const SlideGrids& g = b.slide;
  for (auto _ : state) {
    for (int r = 1; r <= kSide; ++r) {
      for (int c = 1; c <= kSide; ++c) {
        const int cr = static_cast<int>(g.order_row[r][c]);
        const int cc = static_cast<int>(g.order_col[r][c]);
        const double sum = g.slope[cr][cc] + g.fraction[1][cr][cc] + g.fraction[2][cr][cc] +
                           g.fraction[3][cr][cc] + g.fraction[4][cr][cc] +
                           g.max_deposition[cr][cc] + g.pack.liquid[cr][cc];
        g.pack.total[cr][cc] += 1e-300 * sum;
        g.pack.solid[cr][cc] = g.pack.total[cr][cc];
        g.input_mass[cr][cc] = sum;
        g.mobile_mass[cr][cc] = 0;
        g.deposition[cr][cc] = 0;
      }
    }
    benchmark::ClobberMemory();
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSide * kSide, benchmark::Counter::kIsRate);
}

BENCHMARK(Redistribution)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(PlainOrderedPass)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();

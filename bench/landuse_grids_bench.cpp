// The daily evaluation of the land-use parameter grids on a 1000 x 1000 grid on one process: the
// step that ends a day (`defaultini::UpdateLanduseParameterGrids` at hour 24), one layer, three
// entries of the day-count method with all eight parameters switched on and fixpoint days that
// move with altitude, over an elevation model of 300 to 2300 m in which every cell has its own
// altitude (as in a real one). The limit is a plain pass that writes the same nine grids of
// every cell from a per-class array, the least any per-class scheme must do.
//
//   build/bench/landuse_grids_bench [--benchmark_filter=...]
//
// Beside it the snow model's land albedo of one step: per cell as it was and through the curves
// (LandAlbedo), and its limit, a per-class array (LandAlbedoPlain).
//
// The counter cells is cells per second; the argument is the number of OpenMP threads.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/control_file_reader.h"
#include "core/matrix.h"
#include "core/model_date.h"
#include "core/row_loop.h"
#include "setup/defaultini.h"
#include "tables/landuse_curve_values.h"
#include "tables/landuse_parameter_grids.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;
constexpr int kClasses = 3;

std::filesystem::path WorkDirectory() {
  return bench::WorkDirectory("velorn-landuse-grids-bench");
}

std::string Entry(int code, const char* name, const char* alt_dep) {
  return std::to_string(code) + " " + name +
         " method VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 4;\n"
         "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 4;\n"
         "JulDays = 1 90 150 270 330 366; Albedo = 0.2 0.2 0.18 0.2 0.25 0.2;\n"
         "rsc = 80 80 60 70 80 80; rs_interception = 1 1 1 1 1 1;\n"
         "rs_evaporation = 100 100 100 100 100 100; LAI = 1 1 5 4 1 1;\n"
         "Z0 = 0.02 0.02 0.1 0.08 0.02 0.02; VCF = 0.5 0.5 0.9 0.9 0.5 0.5;\n"
         "RootDepth = 0.2 0.2 0.5 0.5 0.2 0.2; AltDep = " +
         alt_dep + "; }\n";
}

// The settings object with its table and grids; the land-use grids are created at the start.
struct Basin {
  Basin() : basin(WorkDirectory(), "", kSide) {
    const std::string table =
        "[landuse_table]\n3\n" + Entry(1, "meadow", "0 0.02 0.02 0.01 -0.01 0") +
        Entry(2, "forest", "0 0.015 0.01 0.01 -0.015 0") + Entry(3, "field", "0 0 0 0 0 0");
    settings = std::make_unique<defaultini>(error, &basin.diag, "run.ctl", nullptr, 200, 2,
                                            &registry_pointer);
    settings->control_file = std::make_unique<ControlFileReader>();
    settings->control_file->OpenText(table);
    settings->ReadLanduseTable(2);
    basin.Add("zone", 1, 0);
    // Every cell its own altitude: a slope of 300 to 2300 m with a fine ripple.
    basin.grids.emplace_back(basin.diag, 1, kSide, kSide, kSide);
    double** dem = basin.grids.back().get();
    for (int r = 1; r <= kSide; ++r)
      for (int c = 0; c <= kSide; ++c)
        dem[r][c] = 300.0 + 1000.0 * (r + c) / kSide + 0.37 * ((r * 31 + c * 17) % 97);
    basin.registry.Register(basin.diag, 2, "dem", dem, nullptr, 0, "dem", 0, 1, kSide, kSide,
                            kSide);
    basin.Add("albedo", 0, 0);
    basin.Add("temperature", 10, 5);
    basin.grids.emplace_back(basin.diag, 1, kSide, kSide, kSide);
    double** codes = basin.grids.back().get();
    for (int r = 1; r <= kSide; ++r)
      for (int c = 0; c <= kSide; ++c) codes[r][c] = 1 + (r / 50 + c / 70) % kClasses;
    basin.registry.Register(basin.diag, basin.registry.FirstFreeIndex(), "landuse", codes, nullptr,
                            0, "landuse", 0, 1, kSide, kSide, kSide);
    settings->ncols = kSide;
    settings->nrows = kSide;
    settings->nodata = -9999.0;
    settings->first_local_row = 1;
    settings->last_local_row = kSide;
    settings->start_date = ModelDate{2001, 1, 1, 24};
    settings->landuse_layers = {codes, codes};
    settings->generateMultiLayerParameterGrids(1);
  }

  bench::SquareBasin basin;
  GridRegistry* registry_pointer = &basin.registry;
  int32_t error = 0;
  std::unique_ptr<defaultini> settings;
};

Basin& SharedBasin() {
  static Basin basin;
  return basin;
}

// The step that ends a day, on successive days of the year (through the vegetation period).
void DailyUpdate(benchmark::State& state) {
  Basin& b = SharedBasin();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  int day = 0;
  for (auto _ : state) {
    const int month = 3 + (day / 28) % 8;
    const int dom = 1 + day % 28;
    b.settings->UpdateLanduseParameterGrids(24, dom, month, 2001, 1440);
    day += 3;
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}

// The limit: the nine grids of every cell written from a per-class array.
void PlainPass(benchmark::State& state) {
  Basin& b = SharedBasin();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  const LanduseParameterGrids& g = *b.settings->landuse_grids;
  const LanduseLayerGrids& lg = g.layers[1];
  double** codes = b.settings->landuse_layers[1];
  std::array<std::array<double, 10>, kClasses + 1> value{};
  double bump = 0;
  for (auto _ : state) {
    bump += 1e-3;
    for (auto& v : value) v.fill(bump);
    ForEachRow(1, kSide, [&](long r) {
      for (long c = 1; c <= kSide; ++c) {
        const std::array<double, 10>& v = value[static_cast<std::size_t>(codes[r][c])];
        g.albedo[r][c] = v[0];
        g.evaporation_resistance[r][c] = v[1];
        lg.root_depth[r][c] = v[2];
        lg.leaf_area_index[r][c] = v[3];
        lg.vegetation_coverage[r][c] = v[4];
        lg.canopy_resistance[r][c] = v[5];
        lg.interception_resistance[r][c] = v[6];
        lg.roughness_length[r][c] = v[7];
        if (lg.vegetation_start[r][c] <= 0) lg.vegetation_start[r][c] = v[8];
        if (lg.vegetation_stop[r][c] < 0) lg.vegetation_stop[r][c] = v[9];
      }
    });
    benchmark::ClobberMemory();
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}

// The snow model's land albedo of one step (every cell, at the step's date). Argument
// by_curve 0, as it was: each cell evaluates its entry's albedo on its own (`GetAlbedo`: the
// cell's shifted fixpoint days in a vector allocated per call). 1, as the snow step runs it now
// (LanduseCurveValues): each curve evaluated once at the step's date, its cells by look-up, one
// cache of shifted days per row for cells off the curves.
void LandAlbedo(benchmark::State& state) {
  Basin& b = SharedBasin();
  const bool by_curve = state.range(0) != 0;
  omp_set_num_threads(static_cast<int>(state.range(1)));
  double** codes = b.settings->landuse_layers[1];
  double** dem = b.basin.registry[2].grid;
  double** out = b.settings->landuse_grids->albedo;
  const LanduseRecord* table = b.settings->landuse_table;
  LanduseCurveValues albedo(LanduseSeries::kAlbedo, 1);
  int day = 0;
  for (auto _ : state) {
    const int month = 3 + (day / 28) % 8;
    const int dom = 1 + day % 28;
    albedo.Evaluate(b.basin.diag, table, b.settings->landuse_grids.get(),
                    ModelDate{2001, month, dom, 12});
    ForEachRow(1, kSide, [&](long r) {
      ShiftedDaysCache days;
      for (long c = 1; c <= kSide; ++c) {
        const int entry = static_cast<int>(codes[r][c]);
        out[r][c] =
            by_curve ? albedo.Value(b.basin.diag, table, r, c, entry, dem[r][c], days)
                     : table[entry].GetAlbedo(b.basin.diag, dom, month, 2001, 1, r, c, dem[r][c]);
      }
    });
    day += 3;
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}

// The limit of the land albedo: every cell's value read from a per-class array.
void LandAlbedoPlain(benchmark::State& state) {
  Basin& b = SharedBasin();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  double** codes = b.settings->landuse_layers[1];
  double** out = b.settings->landuse_grids->albedo;
  std::array<double, kClasses + 1> value{};
  double bump = 0;
  for (auto _ : state) {
    bump += 1e-3;
    value.fill(bump);
    ForEachRow(1, kSide, [&](long r) {
      for (long c = 1; c <= kSide; ++c) out[r][c] = value[static_cast<std::size_t>(codes[r][c])];
    });
    benchmark::ClobberMemory();
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(DailyUpdate)
    ->Iterations(4)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(PlainPass)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(LandAlbedo)
    ->ArgNames({"by_curve", "threads"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 4})
    ->Args({1, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(LandAlbedoPlain)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

VELORN_BENCHMARK_MAIN(WorkDirectory())

// The heat numerics of one soil column with a layered snow pack: 20 loam layers of 0.1 m under
// 5 snow layers, temperatures across the freezing range. Measured per column:
//   BM_HeatStep/<method>    one heat step (liquid fractions, conductivities, latent term, heat
//                           capacities, then the explicit (10) or implicit (11, 12) scheme);
//   BM_HeatSubStep/<method> one hourly sub-step: the pre-pass with its trial and n_h heat steps
//                           (counter n_h), on 1 and 8 threads (one column per thread);
//   BM_PlainConduction      the limit: one implicit conduction step over the same arrays with
//                           fixed properties (coefficients and Thomas solve only).
//
//   build/bench/soil_heat_bench [--benchmark_filter=...]
//
// Items per second are column-steps per second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <vector>

#include "core/diagnostic_stream.h"
#include "unsatzone/soil_heat_coupling.h"

namespace {

using velorn::SoilColumnWorkspace;
using velorn::SoilHeatWorkspace;
using velorn::SoilRecord;
using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;

constexpr int kSoil = 20;
constexpr int kSnow = 5;

SoilRecord Parse(const std::string& block) {
  const std::string diag_file =
      (std::filesystem::temp_directory_path() / "soil_heat_bench.xml").string();
  velorn::DiagnosticStream diag(diag_file, 0, std::cerr);
  SoilRecord s;
  s.ParseEntry(diag, block, "MultipleHorizons");
  for (int k = 1; k <= s.layers; ++k) {
    s.DryDensity[k] = 1500;
    s.DryHeatCapacity[k] = 800;
    s.DryThermalConduct[k] = 0.58;
    s.BuildFreezingTables(k, 1.22);
  }
  return s;
}

// One thread's column: loam under a 5-layer snow pack, freezing from the top.
struct Column {
  SoilRecord table[2];
  SoilRecord snow_table[2];
  velorn::SoilLayerConstants soil_constants, snow_constants;
  SoilColumnWorkspace ws;
  SoilHeatWorkspace hs;
  velorn::ColumnCell cell;
  velorn::HeatParameters p;
  std::vector<double> start;

  Column() {
    table[1] = Parse(
        "1 loam method MultipleHorizons { layers = 20; ksat = 2.89e-6; theta_sat = 0.43; "
        "theta_res = 0.078; alpha = 3.6; Par_n = 1.56; thickness = 0.1; }");
    snow_table[1] = Parse(
        "1 snow method MultipleHorizons { layers = 5; ksat = 1e-4; theta_sat = 0.9; "
        "theta_res = 0.02; alpha = 10; Par_n = 2; thickness = 0.05; }");
    table[0] = SoilRecord(1);
    snow_table[0] = SoilRecord(1);
    soil_constants = velorn::ComputeSoilLayerConstants(table, 1, kSoil, true, p.lamWater);
    snow_constants = velorn::ComputeSoilLayerConstants(snow_table, 1, kSnow, true, p.lamWater);
    ws.Resize(kSnow, kSoil);
    hs.Resize(kSnow, kSoil);
    velorn::LoadSoilLayers(ws, table[1], 100.0);
    velorn::LoadHeatLayers(hs, table[1], soil_constants, 1, 0);
    velorn::LoadHeatLayers(hs, snow_table[1], snow_constants, 1, -kSnow);
    start.assign(kSnow + kSoil + 1, 0.0);
    for (int i = 1 - kSnow; i <= kSoil; ++i) {
      ws[W::kTheta][i] = i <= 0 ? 0.3 : 0.35;
      if (i <= 0) {
        ws[W::kDz][i] = 0.05;
        ws[W::kThetaSat][i] = 0.9;
        ws[W::kThetaRes][i] = 0.02;
      }
      start[i + kSnow] = -6.0 + 0.4 * (i + kSnow);  // -5.6 in the top snow layer, 4 at the bottom
    }
    for (int i = -kSnow; i <= kSoil; ++i) ws[W::kQ][i] = -2e-7;
    cell.soil = &table[1];
    cell.snow = &snow_table[1];
    cell.i0 = -kSnow;
    cell.liquidFraction = true;
  }
  void Restore() {
    for (int i = 1 - kSnow; i <= kSoil; ++i) hs[H::kTemper][i] = start[i + kSnow];
  }
};

const velorn::HeatBoundary kBoundary{0, 4.0, 1.0};
const velorn::UpperBoundary kUpper{-8.0, 1.0};

void BM_HeatStep(benchmark::State& state) {
  thread_local Column c;
  c.p.method = static_cast<int>(state.range(0));
  const double dt = c.p.method <= 10 ? 60 : 600;
  for (auto _ : state) {
    c.Restore();
    velorn::RunHeatStep(c.ws, c.hs, c.cell, c.p, kUpper, kBoundary, dt);
    benchmark::DoNotOptimize(c.hs[H::kTemper][1]);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeatStep)->Arg(10)->Arg(11)->Arg(12);

// One hourly sub-step as the soil-water sub-step makes it: properties, trial, n_h, the steps.
void BM_HeatSubStep(benchmark::State& state) {
  thread_local Column c;
  c.p.method = static_cast<int>(state.range(0));
  const double dt = 3600;
  long steps = 0;
  for (auto _ : state) {
    c.Restore();
    velorn::UpdateThermalProperties(c.ws, c.hs, c.cell, c.p);
    const double trial =
        velorn::TrialTopChange(c.ws, c.hs, c.cell.i0, kBoundary.lower, kUpper, 3600);
    const int n =
        velorn::HeatStepCount(trial, kUpper.temperature, c.hs[H::kTemper][1 - kSnow], dt, 60, 1800);
    for (int s = 0; s < n; ++s)
      velorn::RunHeatStep(c.ws, c.hs, c.cell, c.p, kUpper, kBoundary, dt / n);
    steps += n;
    benchmark::DoNotOptimize(c.hs[H::kTemper][1]);
  }
  state.counters["n_h"] =
      benchmark::Counter(static_cast<double>(steps) / static_cast<double>(state.iterations()),
                         benchmark::Counter::kAvgThreads);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeatSubStep)->Arg(10)->Arg(11)->Arg(12)->ThreadRange(1, 8)->UseRealTime();

// The floor: one implicit conduction step over the same 25 layers with the properties fixed.
void BM_PlainConduction(benchmark::State& state) {
  thread_local Column c;
  const int first = 1 - kSnow;
  double* a = c.hs[H::kLower];
  double* b = c.hs[H::kMain];
  double* u = c.hs[H::kUpper];
  double* d = c.hs[H::kRhs];
  double* T = c.hs[H::kTemper];
  double* x = c.hs[H::kTemperNew];
  const double* dz = c.ws[W::kDz];
  std::vector<double> lambda(kSnow + kSoil + 2, 1.0), cap(kSnow + kSoil + 2, 2e6);
  const double* l = lambda.data() + kSnow;
  const double* C = cap.data() + kSnow;
  const double dt = 600;
  for (auto _ : state) {
    c.Restore();
    for (int i = first; i <= kSoil; ++i) {
      const double k = 2 * dt / (dz[i] * C[i]);
      const double up = i == first ? k * l[i] / dz[i] : k * l[i - 1] / (dz[i] + dz[i - 1]);
      const double down = i == kSoil ? k * l[i] / dz[i] : k * l[i] / (dz[i] + dz[i + 1]);
      a[i] = -up;
      u[i] = -down;
      b[i] = 1 + up + down;
      d[i] = T[i];
    }
    velorn::SolveTridiagonal(first, kSoil, a, b, u, d, x);
    benchmark::DoNotOptimize(x[1]);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainConduction);

}  // namespace

BENCHMARK_MAIN();

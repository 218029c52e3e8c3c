// One iteration of the soil-water column numerics (heads, fluxes with interflow and the flux
// limiter, content limiter, moisture update) on a 20-layer loam column held in L1 cache, on one
// core, against the soil-table look-ups that one iteration needs done alone (the floor).
//
//   build/bench/soil_column_bench [--benchmark_filter=...]
//
// Items per second are layer-iterations per second (20 per column iteration). Four iterations
// run per restored state (iteration 0 also looks up the start suctions), as a Picard step of
// a few iterations does.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <vector>

#include "core/diagnostic_stream.h"
#include "unsatzone/soil_column_fluxes.h"
#include "unsatzone/soil_column_state.h"

namespace {

using velorn::ColumnCell;
using velorn::SoilColumnWorkspace;
using W = SoilColumnWorkspace;

constexpr int kLayers = 20;

struct Column {
  velorn::SoilRecord soil;
  std::vector<double> fc;
  SoilColumnWorkspace ws;
  ColumnCell cell;
  std::vector<double> start;  // theta of layers 1..N
};

// A draining loam of Carsel and Parrish (1988), 20 layers of 0.1 m, wet at the top and drier
// below, with interflow; the table at the bottom of the profile.
Column& Loam() {
  static Column column = [] {
    Column c;
    const std::string diag_file =
        (std::filesystem::temp_directory_path() / "soil_column_bench.xml").string();
    velorn::DiagnosticStream diag(diag_file, 0, std::cerr);
    c.soil.ParseEntry(diag,
                      "1 loam method MultipleHorizons { layers = 20; ksat = 2.89e-6; "
                      "theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; "
                      "thickness = 0.1; }",
                      "MultipleHorizons");
    c.fc.assign(kLayers + 1, 0.0);
    for (int k = 1; k <= kLayers; ++k) c.fc[k] = c.soil.GetTheta(k, velorn::kFieldCapacitySuction);
    c.ws.Resize(0, kLayers);
    velorn::LoadSoilLayers(c.ws, c.soil, 100.0);
    c.start.assign(kLayers + 1, 0.0);
    for (int k = 1; k <= kLayers; ++k) c.start[k] = 0.38 - 0.01 * k;
    c.cell.soil = &c.soil;
    c.cell.fieldCapacity = c.fc.data();
    c.cell.gwLayer = kLayers;
    c.cell.zGw = c.ws[W::kZBound][kLayers];
    c.cell.drainageDensity = 0.01;
    c.cell.cellSize = 100;
    return c;
  }();
  return column;
}

// Profile 0: the draining profile; profile 1: uniform water content (gravity flow only). The
// workspace starts afresh, as the model's for every cell (no look-up hints, no stored bisection
// of the flux limiter from the cycle before).
void Restore(Column& c, int profile) {
  c.ws.Resize(0, kLayers);
  velorn::LoadSoilLayers(c.ws, c.soil, 100.0);
  for (int k = 1; k <= kLayers; ++k)
    for (auto a : {W::kTheta0, W::kTheta, W::kThetaMean})
      c.ws[a][k] = profile == 0 ? c.start[k] : 0.3;
}

void BM_ColumnIteration(benchmark::State& state) {
  Column& c = Loam();
  velorn::FluxTotals totals;
  int iteration = 0;
  for (auto _ : state) {
    if (iteration == 0) Restore(c, static_cast<int>(state.range(0)));
    velorn::ComputeHydraulicHeads(c.ws, c.cell, iteration);
    velorn::ComputeLayerFluxes(c.ws, c.cell, 1e-6, 600, nullptr, totals);
    velorn::LimitLayerContents(c.ws, c.cell, velorn::kContentLimiterSweeps, 600, totals);
    int mean_count = 0;
    benchmark::DoNotOptimize(
        velorn::UpdateLayerMoisture(c.ws, c.cell, iteration + 1, 600, mean_count));
    iteration = (iteration + 1) % 4;
  }
  state.SetItemsProcessed(state.iterations() * kLayers);
}

// The floor: per layer the look-ups of one iteration without the arithmetic around them: the
// suction of the head (and in one iteration of four the start suction), the relative
// conductivity of the interface (each layer's is looked up once and serves both of its
// boundaries) and the two suctions of the flux limiter's predicted heads.
void BM_ColumnLookupsOnly(benchmark::State& state) {
  Column& c = Loam();
  Restore(c, 0);
  const double* theta = c.ws[W::kThetaMean];
  int iteration = 0;
  for (auto _ : state) {
    double sum = 0;
    for (int k = 1; k < kLayers; ++k) {
      const double t = theta[k];
      sum += c.soil.GetSuction(k, t);
      if (iteration == 0) sum += c.soil.GetSuction(k, t + 1e-4);
      sum += c.soil.GetRelativeConductivity(k, t, 1.0);
      sum += c.soil.GetSuction(k, t - 2e-4) + c.soil.GetSuction(k + 1, theta[k + 1] + 2e-4);
    }
    benchmark::DoNotOptimize(sum);
    iteration = (iteration + 1) % 4;
  }
  state.SetItemsProcessed(state.iterations() * kLayers);
}

BENCHMARK(BM_ColumnIteration)->Arg(0)->Arg(1);
BENCHMARK(BM_ColumnLookupsOnly);

}  // namespace

BENCHMARK_MAIN();

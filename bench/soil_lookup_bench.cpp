// Look-ups of the soil tables on one core, as the soil column solver calls them per cell, layer
// and sub-step: GetTheta, GetSuction, GetRelativeConductivity and the freezing curve, each over
// a spread of arguments across the whole table. Two limits frame them: the closed-form van
// Genuchten-Mualem evaluation that the tables replace, and a plain array read.
//
//   build/bench/soil_lookup_bench [--benchmark_filter=...]
//
// Items per second are look-ups per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "tables/soil_record.h"

namespace {

using velorn::SoilRecord;

constexpr int kLayers = 10;
constexpr int kPoints = 4096;  // arguments per layer, cycled through

// Ten layers of the Carsel and Parrish (1988) loam; freezing tables with 1 degree C as 1 m.
const SoilRecord& Loam() {
  static const SoilRecord soil = [] {
    const std::string diag_file =
        (std::filesystem::temp_directory_path() / "soil_lookup_bench.xml").string();
    velorn::DiagnosticStream diag(diag_file, 0, std::cerr);
    SoilRecord record;
    record.ParseEntry(diag,
                      "1 loam method MultipleHorizons { layers = 10; ksat = 2.89e-6; "
                      "theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; "
                      "thickness = 0.1; }",
                      "MultipleHorizons");
    for (int l = 1; l <= kLayers; ++l) record.BuildFreezingTables(l, 1.0);
    return record;
  }();
  return soil;
}

// Arguments spread evenly over [low, high] (suctions: logarithmically).
std::vector<double> Spread(double low, double high, bool logarithmic) {
  std::vector<double> values(kPoints);
  for (int i = 0; i < kPoints; ++i) {
    const double f = (i * 0.618034) - std::floor(i * 0.618034);  // scattered order
    values[i] = logarithmic ? low * std::pow(high / low, f) : low + (high - low) * f;
  }
  return values;
}

template <class Lookup>
void RunLookups(benchmark::State& state, const std::vector<double>& args, Lookup lookup) {
  double sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < kPoints; ++i) sum += lookup(1 + i % kLayers, args[i]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_GetTheta(benchmark::State& state) {
  const SoilRecord& soil = Loam();
  RunLookups(state, Spread(1e-4, 200, true), [&](int l, double h) { return soil.GetTheta(l, h); });
}

void BM_GetSuction(benchmark::State& state) {
  const SoilRecord& soil = Loam();
  RunLookups(state, Spread(0.07, 0.44, false),
             [&](int l, double theta) { return soil.GetSuction(l, theta); });
}

void BM_GetRelativeConductivity(benchmark::State& state) {
  const SoilRecord& soil = Loam();
  RunLookups(state, Spread(0.07, 0.44, false),
             [&](int l, double theta) { return soil.GetRelativeConductivity(l, theta, 0.43); });
}

// One call fills all ten layers of a cell: items are layer look-ups.
void BM_LookupFreezingCurve(benchmark::State& state) {
  const SoilRecord& soil = Loam();
  const std::vector<double> temperature = Spread(-11, 0.5, false);
  const std::vector<double> theta = Spread(0.07, 0.43, false);
  std::vector<double> fraction(kPoints + kLayers + 1), slope(kPoints + kLayers + 1);
  for (auto _ : state) {
    for (int o = 0; o + kLayers < kPoints; o += kLayers)
      soil.LookupFreezingCurve(o, fraction.data(), slope.data(), temperature.data(), theta.data());
    benchmark::DoNotOptimize(fraction.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * (kPoints / kLayers) * kLayers);
}

// Limit 1: the closed form that GetTheta and GetRelativeConductivity replace.
void BM_ClosedFormVanGenuchten(benchmark::State& state) {
  const double m = 1.0 - 1.0 / 1.56;
  RunLookups(state, Spread(1e-4, 200, true), [&](int, double h) {
    const double se = std::pow(1.0 + std::pow(3.6 * h, 1.56), -m);
    const double inner = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / m), m);
    return 0.078 + 0.352 * se + std::sqrt(se) * inner * inner;
  });
}

// Limit 2: one array read per look-up.
void BM_PlainArrayRead(benchmark::State& state) {
  const std::vector<double> table = Spread(0, 1, false);
  const std::vector<double> args = Spread(0, kPoints - 1, false);
  RunLookups(state, args, [&](int, double x) { return table[static_cast<std::size_t>(x)]; });
}

BENCHMARK(BM_GetTheta);
BENCHMARK(BM_GetSuction);
BENCHMARK(BM_GetRelativeConductivity);
BENCHMARK(BM_LookupFreezingCurve);
BENCHMARK(BM_ClosedFormVanGenuchten);
BENCHMARK(BM_PlainArrayRead);

}  // namespace

BENCHMARK_MAIN();

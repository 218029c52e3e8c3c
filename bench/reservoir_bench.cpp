// The reservoir step of a daily model with inner steps of 60 s (1440 per step): a three-class
// rule table with two periods, against a plain loop of the same number of table segments
// evaluated without the rule's checks (its limit). Reports inner steps per second. One core.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <vector>

#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "routing/reservoir.h"

namespace {

constexpr double kStepMinutes = 1440;
constexpr int kInnerSteps = 1440;

velorn::DiagnosticStream& Diag() {
  static velorn::DiagnosticStream diag(
      (std::filesystem::temp_directory_path() / "reservoir_bench.xml").string(), 0, std::cerr);
  return diag;
}

void BM_ReservoirStep(benchmark::State& state) {
  std::vector<velorn::TracerDefinition> tracers(1);
  velorn::SP_class r;
  r.Initialise(velorn::ReservoirSetup{.diag = &Diag(), .tracers = tracers.data()});
  r.ReadParameters("SP 1 file = /dev/null V0 = 3e6 C0 = 0 0 0 0 0 0 0 0 0 UseRunningAvg = " +
                       std::to_string(state.range(0)),
                   2);
  velorn::ControlFileReader file;
  file.OpenText("[abstraction_rule_reservoir_1]\n3 90 270\n0 0 0\n1e6 1 2\n1e7 30 40\n\n");
  r.ReadReservoirRules(file);
  std::vector<velorn::AL_class> none(1);
  double* rows[1] = {nullptr};
  int64_t day = 0;
  for (auto _ : state) {
    const int32_t d = static_cast<int32_t>(day++ % 28) + 1;
    r.RunStep(20.0, kStepMinutes, 0, 0, rows, nullptr, none, 0, 2001, 6, d, 0);
    benchmark::DoNotOptimize(r.volume());
  }
  state.counters["inner_steps"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kInnerSteps, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReservoirStep)->Arg(0)->Arg(72);

// The limit: 1440 steps of v += I·Δ; r = T + G·(v − C); v −= r·Δ, with the segment known.
void BM_PlainSegmentLoop(benchmark::State& state) {
  double v = 3e6;
  for (auto _ : state) {
    double sum = 0;
    for (int n = 0; n < kInnerSteps; ++n) {
      v += 60 * 20.0;
      const double r = 1.0 + 3.2e-6 * (v - 1e6);
      v -= r * 60;
      sum += r;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["inner_steps"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kInnerSteps, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlainSegmentLoop);

}  // namespace

BENCHMARK_MAIN();

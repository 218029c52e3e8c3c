// One routing stretch step: 10 tributary channels of 50 sections each, 24 routing sub-steps,
// with 0 and 3 tracers, against memmove of the same history bytes (the step shifts every
// history row by one step and does a few flops per value; that shift is its limit). Reports
// channel-section-sub-steps per second. One core, no MPI.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "core/diagnostic_stream.h"
#include "tests/routing/stretch_harness.h"

namespace {

using velorn::ChannelParameters;
using velorn::ChannelRecord;

constexpr int32_t kChannels = 10;
constexpr int32_t kSections = 50;
constexpr int32_t kSubSteps = 24;
constexpr double kStepMinutes = 1440;  // daily steps of hourly sub-steps

velorn::DiagnosticStream& Diag() {
  static velorn::DiagnosticStream diag(
      (std::filesystem::temp_directory_path() / "routing_stretch_bench.xml").string(), 0,
      std::cerr);
  return diag;
}

// A channel whose travel times of the slowest and fastest rows differ by 49.5 days: 50
// sections.
ChannelParameters SlowChannel() {
  ChannelParameters p = velorn::test::DeepChannel(6, 1.0, 10, 1, 1000, 20);
  ChannelRecord unit;
  ChannelParameters copy = p;
  velorn::BuildChannelTable(copy, kStepMinutes, kSubSteps, 1.0, 0, unit);
  p.length = 49.5 * 24 / (unit.tt[1] - unit.tt[unit.rows + 1]);
  return p;
}

struct Network {
  explicit Network(int32_t tracers)
      : h(Diag(), std::vector<double>(kChannels + 2, 10.0), 1, kChannels, 0, 0, kSubSteps,
          kStepMinutes, tracers) {
    const ChannelParameters p = SlowChannel();
    for (int32_t i = 1; i <= kChannels; ++i) h.Channel(i, i + 1, p);
    for (int32_t tr = 0; tr <= tracers; ++tr)
      for (int32_t t = 1; t <= kChannels + 1; ++t) h.flows()[tr][t] = 0.5;
    h.Start();
    for (int32_t i = 1; i <= kChannels; ++i) {
      if (h.stretch->Channel(i).SectionCount() != kSections) std::abort();
      history_values += (h.stretch->Channel(i).history_length + kSubSteps) * (tracers + 1);
    }
  }
  velorn::test::StretchHarness h;
  int64_t history_values = 0;
};

void BM_RouteStep(benchmark::State& state) {
  Network net(static_cast<int32_t>(state.range(0)));
  int64_t step = 0;
  for (auto _ : state) {
    ++step;
    for (int32_t t = 1; t <= kChannels + 1; ++t)
      for (int32_t j = 1; j <= kSubSteps; ++j)
        net.h.subflows()[0][j][t] = 0.2 + 0.1 * std::sin(0.3 * static_cast<double>(step + t));
    net.h.stretch->RouteStep(2001, 1, 1, 0);
    benchmark::DoNotOptimize(net.h.flows()[0][1]);
  }
  state.counters["section_substeps"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChannels * kSections * kSubSteps,
      benchmark::Counter::kIsRate);
  state.counters["history_MB"] = static_cast<double>(net.history_values) * 8 / 1e6;
}
BENCHMARK(BM_RouteStep)->Arg(0)->Arg(3);

// The shift alone: every history row moved by one step with memmove.
void BM_HistoryMemmove(benchmark::State& state) {
  Network net(static_cast<int32_t>(state.range(0)));
  std::vector<double> rows(static_cast<std::size_t>(net.history_values) + kSubSteps, 1.0);
  for (auto _ : state) {
    std::memmove(rows.data(), rows.data() + kSubSteps,
                 static_cast<std::size_t>(net.history_values) * sizeof(double));
    benchmark::ClobberMemory();
  }
  state.counters["section_substeps"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChannels * kSections * kSubSteps,
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HistoryMemmove)->Arg(0)->Arg(3);

}  // namespace

BENCHMARK_MAIN();

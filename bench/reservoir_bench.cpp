// The reservoir step of a daily model with inner steps of 60 s (1440 per step): a three-class
// rule table with two periods, against a plain loop of the same number of table segments
// evaluated without the rule's checks (its limit). Reports inner steps per second. A lake of
// 100 x 100 cells with one inner step per step: its cell loops (fluxes, state from the ponding
// water, the level written back twice) against four plain passes over the same ponding cells.
// One core.
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

constexpr int kLakeSide = 100;

// Lake cells at 100 m + 1 mm per cell index (a sloping bottom), the top at 102 m.
struct LakeGridsForBench {
  LakeGridsForBench()
      : rows(kLakeSide + 1, nullptr),
        cells(static_cast<std::size_t>(kLakeSide + 1) * (kLakeSide + 1), 0.0),
        prec(cells.size(), 5.0) {
    for (int r = 1; r <= kLakeSide; ++r) {
      rows[r] = &cells[static_cast<std::size_t>(r) * (kLakeSide + 1)];
      prec_rows.push_back(&prec[static_cast<std::size_t>(r) * (kLakeSide + 1)]);
      for (int c = 1; c <= kLakeSide; ++c) {
        const double z = 100 + 0.0001 * (r * kLakeSide + c);
        lake.push_back(velorn::LakeCell{r, c, z, (102 - z) * 1000});
      }
    }
    prec_rows.insert(prec_rows.begin(), nullptr);
    grids.ponding = rows.data();
    grids.precipitation = prec_rows.data();
  }
  std::vector<double*> rows, prec_rows;
  std::vector<double> cells, prec;
  std::vector<velorn::LakeCell> lake;
  velorn::LakeGrids grids;
};

void BM_LakeStep(benchmark::State& state) {
  LakeGridsForBench g;
  std::vector<velorn::TracerDefinition> tracers(1);
  velorn::SP_class r;
  r.Initialise(velorn::ReservoirSetup{
      .diag = &Diag(),
      .tracers = tracers.data(),
      .output_directory = std::filesystem::temp_directory_path().string() + "/"});
  r.ReadParameters("SP 1 file = /dev/null V0 = 5e6 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 3600", 2);
  velorn::ControlFileReader file;
  file.OpenText("[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 2\n\n");
  r.ReadReservoirRules(file);
  r.BindLake(g.lake, 10.0, &g.grids, false);
  std::vector<velorn::AL_class> none(1);
  double* rows[1] = {nullptr};
  for (auto _ : state) {
    r.RunStep(1.0, 60, 0, 0, rows, nullptr, none, 0, 2001, 6, 1, 0);
    benchmark::DoNotOptimize(r.volume());
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * g.lake.size(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LakeStep);

// The limit: four passes over the lake's cells, each reading or writing the ponding grid.
void BM_PlainLakePasses(benchmark::State& state) {
  LakeGridsForBench g;
  for (auto _ : state) {
    double sum = 0;
    for (int pass = 0; pass < 4; ++pass)
      for (const velorn::LakeCell& c : g.lake) {
        double& p = g.grids.ponding[c.row][c.col];
        sum += p;
        p = pass % 2 == 0 ? 1000.0 * (101 - c.elevation) : p;
      }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["cells"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * g.lake.size(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlainLakePasses);

}  // namespace

BENCHMARK_MAIN();

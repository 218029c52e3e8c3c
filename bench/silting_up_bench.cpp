// The silting-up step on a 1000 x 1000 grid of tilled loam on one process, with the built-in
// formulas (method 1) and with user statements that restate them (method 3), on 1 and 8 OpenMP
// threads, beside a plain row loop doing the same pow/exp/log10 per cell on plain arrays. Also
// the statements alone, read as text by the expression parser and compiled once (what the model
// runs): evaluations per second.
//
//   build/bench/silting_up_bench [--benchmark_filter=...]
//
// Counters: cell_steps (cells x steps per second) and evaluations (statements per second).
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/row_loop.h"
#include "core/submodel_setup.h"
#include "lateral/expression_parser.h"
#include "lateral/expression_program.h"
#include "lateral/silting_up_formulas.h"
#include "lateral/silting_up_model.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;

// The statements of the example basin's variant: the built-in formulas written out.
const std::vector<std::string> kStatements{
    "W=(P>0.05)*((P<76.2)*(11.89+8.73*log10(P+(P<=0.05)))+(P>=76.2)*28.33)", "Y=B*K^C*(100*L)^D",
    "X=A", "Z=(O>0)*E*(100*L)^F*K^G*(O+(O<=0))^H", "V=((X-Y)*exp(-Z*Q)+Y)*R/60"};

std::filesystem::path WorkDirectory() {
  return bench::WorkDirectory("velorn-silting-up-bench");
}

std::string Section(int method) {
  std::string text = "[SiltingUpModel]\n1\n60\n" + std::to_string(method) +
                     "\nsdisp.sta 0\nqdsu.sta 0\nsd.asc\n0\nrp.asc\n0\nek.asc\n0\nts.asc\n0\n"
                     "qd.asc\n0\n1\n0.5\n0\n";
  if (method == 3) {
    text += "SiltingUpExpressions {";
    for (const std::string& s : kStatements) text += s + ";";
    text += "}\n";
  }
  return text;
}

// One model with its registry, tables and input grids; the rain varies per cell.
struct Basin : bench::SquareBasin {
  explicit Basin(int method) : SquareBasin(WorkDirectory(), Section(method), kSide) {
    landuse[0].SetCode(1);
    landuse[1].ParseEntry(diag,
                          "1 crop method VariableDayCount { RootDist = 1; TReduWet = 0.95; "
                          "HReduDry = 3.45; Albedo = 0.2 0.2; rsc = 80 80; LAI = 1 1; "
                          "Z0 = 0.02 0.02; VCF = 0.5 0.5; RootDepth = 0.2 0.2; AltDep = 0 0; "
                          "JulDays = 1 366; SR_ResidCovrg = 0.1 0.3; SoilTillage = 100 300; }",
                          "VariableDayCount");
    soil[0].code = 1;
    soil[1].code = 1;
    soil[1].sand = 0.4;
    soil[1].silt = 0.4;
    soil[1].clay = 0.2;
    const SiltingUpParameters p;
    const double par[] = {0, p.A, p.B, p.C, p.D, p.E, p.F, p.G, p.H};
    for (int k = 1; k <= 8; ++k) soil[1].SU_PAR[k] = par[k];
    setup.landuse_table = landuse.data();
    setup.soil_table = soil.data();
    Add("zonegrid", 1, 0);
    Add("[elevation_model]", 300, 200);
    Add("landuse1", 1, 0);
    Add("vegetation_coverage_degree1", 0.2, 0.1);
    Add("soil_types", 1, 0);
    Add("SurfStorSiltingUp", 0, 0);
    Add("precipitation", 10, 9.9);
    int error = 0;
    model = std::make_unique<siltingupclass>(error, setup);
    if (error != 0) std::fprintf(stderr, "silting-up set-up failed: %d\n", error);
    model->SelectWaterInput(0);
  }
  ~Basin() {
    if (model) model->ReleaseMemory();
  }

  std::vector<LanduseRecord> landuse = std::vector<LanduseRecord>(2);
  std::vector<SoilRecord> soil = std::vector<SoilRecord>(2);
  std::unique_ptr<siltingupclass> model;
};

// Arguments: method, threads.
void SiltingUpStep(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  Basin basin(method);
  omp_set_num_threads(static_cast<int>(state.range(1)));
  for (auto _ : state) basin.model->RunStep(12, 20, 5, 2001);
  state.counters["cell_steps"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(SiltingUpStep)
    ->ArgNames({"method", "threads"})
    ->Args({1, 1})
    ->Args({1, 8})
    ->Args({3, 1})
    ->Args({3, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The limit: the same transcendental calls per cell on plain arrays, in the same row loop.
void PlainLoop(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  std::vector<double> rain(static_cast<std::size_t>(kSide) * kSide);
  std::vector<double> energy(rain.size()), runoff(rain.size());
  for (std::size_t i = 0; i < rain.size(); ++i) rain[i] = 10 + 9.9 * ((i * 13) % 100 - 50) / 50.0;
  const SiltingUpParameters p;
  const double dg = GeometricMeanDiameter({0.4, 0.4, 0.2});
  for (auto _ : state) {
    ForEachRow(0, kSide - 1, [&](long r) {
      for (std::size_t i = r * kSide; i < static_cast<std::size_t>(r + 1) * kSide; ++i) {
        const double e = 11.89 + 8.73 * std::log10(rain[i]);
        const double final_rate = p.B * std::pow(dg, p.C) * std::pow(40.0, p.D);
        const double cv = p.E * std::pow(40.0, p.F) * std::pow(dg, p.G) * std::pow(40.0, p.H);
        energy[i] += rain[i] * e * 0.7;
        const double v = ((p.A - final_rate) * std::exp(-cv * energy[i]) + final_rate);
        runoff[i] = rain[i] - std::min(rain[i], v);
      }
    });
    benchmark::DoNotOptimize(runoff.data());
  }
  state.counters["cell_steps"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(PlainLoop)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The parser alone: the five statements of one cell, variables set as the model sets them.
void ParserStatements(benchmark::State& state) {
  ExpressionParser::VariableList variables;
  ExpressionParser parser(&variables);
  const SiltingUpParameters p;
  const double inputs[] = {p.A, p.B,  p.C, p.D, p.E, p.F, p.G,  p.H, 0,
                           0,   48.9, 0.4, 0.2, 0.4, 40,  12.5, 300, 60};
  const char* const names[] = {"A", "B", "C", "D", "E", "F", "G", "H", "I",
                               "J", "K", "L", "M", "N", "O", "P", "Q", "R"};
  for (auto _ : state) {
    for (int k = 0; k < 18; ++k) parser.SetVariable(names[k], inputs[k]);
    for (const std::string& statement : kStatements) parser.Evaluate(statement);
    parser.ClearVariables();
  }
  state.counters["evaluations"] = benchmark::Counter(
      static_cast<double>(kStatements.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(ParserStatements);

// The same statements compiled once, on a frame of slots emptied per cell as the model does.
void CompiledStatements(benchmark::State& state) {
  ExpressionProgram program;
  const SiltingUpParameters p;
  const double inputs[] = {p.A, p.B,  p.C, p.D, p.E, p.F, p.G,  p.H, 0,
                           0,   48.9, 0.4, 0.2, 0.4, 40,  12.5, 300, 60};
  const char* const names[] = {"A", "B", "C", "D", "E", "F", "G", "H", "I",
                               "J", "K", "L", "M", "N", "O", "P", "Q", "R"};
  int slots[18];
  for (int k = 0; k < 18; ++k) slots[k] = program.Slot(names[k]);
  for (const std::string& statement : kStatements) program.Add(statement);
  ExpressionProgram::Frame frame = program.NewFrame();
  for (auto _ : state) {
    frame.Clear();
    for (int k = 0; k < 18; ++k) frame.Set(slots[k], inputs[k]);
    for (std::size_t i = 0; i < program.Size(); ++i)
      benchmark::DoNotOptimize(program.Evaluate(i, frame));
  }
  state.counters["evaluations"] = benchmark::Counter(
      static_cast<double>(kStatements.size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(CompiledStatements);

}  // namespace

VELORN_BENCHMARK_MAIN(WorkDirectory())

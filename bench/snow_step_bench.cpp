// The cell loop of the snow step (schneemodellklasse::RunSnowStep) on a 1000 x 1000 grid on one
// process, hourly steps, for the degree-day method 1 and the energy-balance method 5, on 1 and 8
// OpenMP threads; beside it the memory floor: a plain loop through the same row-loop helper that
// reads and writes the same grid values per cell and does no arithmetic. For method 5 the mean
// number of energy-balance evaluations of the cold-branch search per cell is counted on the same
// cells (through the cell function itself, outside the timed loop).
//
//   build/bench/snow_step_bench [--benchmark_filter=...]
//
// Counter cell_steps: cells x steps per second; evaluations: mean evaluations per cold cell.
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>

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
#include "snow/snow_cell.h"
#include "snow/snow_model.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;

std::filesystem::path WorkDirectory() {
  return bench::WorkDirectory("velorn-snow-step-bench");
}

std::string Section(int method) {
  std::string text = "[snow_model]\n1\n60\n" + std::to_string(method) +
                     "\n1.0\n1.0\n0\n0.1\n0.5\n3\n0.5\n0.5\n0.001\n1.5\n3\n0.45\n0.9\n";
  for (const char* name : {"rain", "snow", "days", "age"})
    text += std::string(name) + ".asc\n0\n" + name + ".stat 0\n";
  text += "albedo.stat 0\n";
  for (const char* name : {"outflow", "melt"})
    text += std::string(name) + ".asc\n0\n" + name + ".stat 0\n";
  text += "solid.asc\n0\nliquid.asc\n0\ntotal.stat 0\ntotal.asc\n0\n0\n";
  if (method < 5) return text;
  for (const char* name : {"stemp", "surft", "input", "mobile", "deposit"})
    text += std::string(name) + ".asc\n0\n" + name + ".stat 0\n";
  return text + "55\n1\n30\n0.01\n1\n1\n1.0\n";
}

struct Basin : bench::SquareBasin {
  explicit Basin(int method) : SquareBasin(WorkDirectory(), Section(method), kSide) {
    Add("zonegrid", 1, 0);
    Add("[elevation_model]", 1500, 500);
    Add("MPIRegions", 0, 0);
    Add("zonegrid_soilmodel", 1, 0);
    Add("albedo", 0.2, 0);
    Add("landuse1", 1, 0);
    Add("precipitation", 0.5, 0.5);
    Add("temperature", -1, 4);  // from -5 to 3 °C: snowfall, melt and cold packs side by side
    Add("snow_evaporation", 0, 0);
    Add("wind_speed", 3, 2);
    Add("air_humidity", 0.7, 0.2);
    Add("cloudiness", 0.5, 0.4);
    Add("AspectCorrectedGlobalRadiation", 150, 150);
    int error = 0;
    model = std::make_unique<schneemodellklasse>(error, setup);
    if (error != 0) {
      std::fprintf(stderr, "snow set-up failed: %d\n", error);
      model.reset();
      return;
    }
    model->SetCanopySnowInputs(false);
    double** solid = model->OwnData("snowstorage_solid");
    for (int r = 1; r <= kSide; ++r)
      for (int c = 1; c <= kSide; ++c) solid[r][c] = 20 + (r * 7 + c * 13) % 100;
  }
  ~Basin() {
    if (model) model->ReleaseMemory();
  }
  double** Grid(const std::string& identifier) const {
    return registry[registry.FindIdentifier(identifier)].grid;
  }

  std::unique_ptr<schneemodellklasse> model;
};

// Arguments: method, threads.
void SnowStep(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  Basin basin(method);
  if (!basin.model) return;
  omp_set_num_threads(static_cast<int>(state.range(1)));
  for (auto _ : state) basin.model->RunSnowStep(12, 15, 1, 2001);
  state.counters["cell_steps"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
  if (method != 5) return;
  // Mean evaluations of the surface temperature search on the cold cells of this grid.
  SnowCellSettings s;
  s.method = 5;
  s.T0R = 1;
  s.transzone = 1;
  double** T = basin.Grid("temperature");
  double sum = 0, cold = 0;
  for (int r = 1; r <= kSide; ++r) {
    for (int c = 1; c <= kSide; ++c) {
      if (T[r][c] > 0) continue;
      SnowCellInput in;
      in.T = T[r][c];
      in.P = basin.Grid("precipitation")[r][c];
      in.humidity = basin.Grid("air_humidity")[r][c];
      in.wind = basin.Grid("wind_speed")[r][c];
      in.cloudiness = basin.Grid("cloudiness")[r][c];
      in.radiation = basin.Grid("AspectCorrectedGlobalRadiation")[r][c];
      SnowCellState st{50, 0, 50, -9999, -9999};
      ComputeSnowCell(s, in, 1.0, 0, st);
      sum += st.evaluations;
      cold += 1;
    }
  }
  state.counters["evaluations"] = cold > 0 ? sum / cold : 0;
}

// The memory floor: per cell the reads and writes of a degree-day cell, no arithmetic.
void PlainLoop(benchmark::State& state) {
  Basin basin(1);
  if (!basin.model) return;
  omp_set_num_threads(static_cast<int>(state.range(0)));
  schneemodellklasse& m = *basin.model;
  double** in[] = {basin.Grid("precipitation"), basin.Grid("temperature"), basin.Grid("zonegrid"),
                   basin.Grid("MPIRegions")};
  double** io[] = {m.OwnData("snowstorage_solid"), m.OwnData("snowstorage_liquid"),
                   m.OwnData("snow_storage_total"), m.OwnData("snow_age"), basin.Grid("albedo")};
  double** out[] = {m.OwnData("snowcover_outflow"), m.OwnData("melt_from_snowcover"),
                    m.OwnData("snow_fraction"), m.OwnData("rain_fraction"), m.OwnData("days_snow")};
  for (auto _ : state) {
    ForEachRow(1, kSide, [&](long r) {
      for (long c = 1; c <= kSide; ++c) {
        double x = 0;
        for (double** g : in) x += g[r][c];
        for (double** g : io) g[r][c] += x;
        for (double** g : out) g[r][c] = x;
      }
    });
    benchmark::ClobberMemory();
  }
  state.counters["cell_steps"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide * state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(SnowStep)
    ->ArgNames({"method", "threads"})
    ->Args({1, 1})
    ->Args({1, 8})
    ->Args({5, 1})
    ->Args({5, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK(PlainLoop)
    ->ArgNames({"threads"})
    ->Args({1})
    ->Args({8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace

VELORN_BENCHMARK_MAIN(WorkDirectory())

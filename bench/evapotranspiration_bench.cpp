// The potential step of the evapotranspiration model on a 1000 x 1000 grid on one process:
// Penman-Monteith with 1 and 2 vegetation layers, Hamon, Wendling and Haude, each on 1 and 8
// OpenMP threads. Hourly daytime steps (the Penman-Monteith day and night parts and the clear-sky
// sum over the solar table run, as in the model's typical sub-daily use), no statistics files and
// no grid output, so the figure is the cell arithmetic of the step.
//
//   build/bench/evapotranspiration_bench [--benchmark_filter=...]
//
// The counter cell_layer_steps is cell-layer-steps per second (cells x layers x steps / s).
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
#include "core/submodel_setup.h"
#include "evaporation/evapotranspiration.h"
#include "tables/landuse_multilayer.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;

// Created on first use.
std::filesystem::path WorkDirectory() {
  return bench::WorkDirectory("velorn-evapotranspiration-bench");
}

std::string Section(int method, int interval) {
  std::string text = "[evapotranspiration]\n1\n" + std::to_string(interval) + "\n" +
                     std::to_string(method) +
                     "\n1 1 1 1 1 1 1 1 1 1 1 1\n"
                     "0.2 0.2 0.21 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.2 0.2\n1.0\n";
  for (const char* name : {"etp", "etr", "evap", "evar", "snowevap", "eip"})
    text += std::string(name) + ".asc\n0\n" + name + ".stat 0\n";
  return text +
         "rgex.stat 0\n0.25 0.75 0 0\n0.072 -0.808 1.749 -0.239\n0.7 0.1\n3000\n"
         "4 4 4 4 4 4 4 4 4 4 4 4\n0.6 0.1\ncloud.stat 0\n";
}

// One model with its registry, zone table and input grids; cell values vary a little so that
// no branch is taken uniformly for the wrong reason.
struct Basin : bench::SquareBasin {
  Basin(int method, int layers, int interval)
      : SquareBasin(WorkDirectory(), Section(method, interval), kSide) {
    multilayer[0].code = 1;
    multilayer[1].LayerCount = layers;
    setup.latitude = 50;
    setup.longitude = 10;
    setup.reference_meridian = 15;
    setup.multilayer_landuse_table = layers > 1 ? multilayer.data() : nullptr;
    Add("zonegrid", 1, 0);
    Add("[elevation_model]", 300, 200);
    Add("MPIRegions", 0, 0);
    if (layers > 1) Add("landuse", 1, 0);
    for (int l = 1; l <= layers; ++l) {
      const std::string n = std::to_string(l);
      Add("landuse" + n, 1, 0);
      Add("leaf_area_index" + n, 3, 1);
      Add("root_depth" + n, 0.5, 0);
      Add("vegetation_coverage_degree" + n, 0.8, 0.1);
      Add("SurfaceCanopyResistance" + n, 70, 20);
      Add("SurfaceIntercepResistance" + n, 0, 0);
      Add("RoughnessLength" + n, 0.1, 0.05);
    }
    Add("temperature", 15, 5);
    Add("temperature_night", 10, 5);
    Add("temperature_14", 18, 5);
    Add("air_humidity", 0.7, 0.2);
    Add("air_humidity_14", 0.5, 0.2);
    Add("wind_speed", 3, 2);
    Add("global_radiation", 400, 200);
    Add("albedo", 0.2, 0.05);
    Add("SurfaceEvaporationResistance", 150, 50);
    int error = 0;
    model = std::make_unique<verdunstungsmodellklasse>(setup, "evapotranspiration", error);
    if (error != 0) std::fprintf(stderr, "evapotranspiration set-up failed: %d\n", error);
  }
  ~Basin() {
    if (model) model->ReleaseMemory();
  }

  std::vector<MultilayerLanduseRecord> multilayer = std::vector<MultilayerLanduseRecord>(2);
  std::unique_ptr<verdunstungsmodellklasse> model;
};

// Arguments: method, layers, threads.
void PotentialStep(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  const int layers = static_cast<int>(state.range(1));
  const int threads = static_cast<int>(state.range(2));
  // Penman-Monteith in hourly steps; the daily methods in daily steps.
  const int interval = method == 1 ? 60 : 1440;
  Basin basin(method, layers, interval);
  if (!basin.model) return;
  omp_set_num_threads(threads);
  const int hour = method == 1 ? 12 : 24;
  for (auto _ : state) basin.model->ComputePotentialEvapotranspiration(hour, 15, 6, 2001);
  state.counters["cell_layer_steps"] =
      benchmark::Counter(static_cast<double>(kSide) * kSide * layers * state.iterations(),
                         benchmark::Counter::kIsRate);
}

BENCHMARK(PotentialStep)
    ->ArgNames({"method", "layers", "threads"})
    ->Args({1, 1, 1})
    ->Args({1, 1, 2})
    ->Args({1, 1, 4})
    ->Args({1, 1, 8})
    ->Args({1, 2, 1})
    ->Args({1, 2, 8})
    ->Args({2, 1, 1})
    ->Args({2, 1, 8})
    ->Args({3, 1, 1})
    ->Args({3, 1, 8})
    ->Args({4, 1, 1})
    ->Args({4, 1, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace

VELORN_BENCHMARK_MAIN(WorkDirectory())

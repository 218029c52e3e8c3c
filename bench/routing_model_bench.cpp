// One time step of the discharge routing model on generated networks of 100 and 1000
// subbasins (binary trees: subbasin i drains into i / 2; every channel has 10 sections; daily
// steps of 24 routing sub-steps; 0 and 3 tracers), against the sum of its stretches' RouteStep
// alone: the difference is the model's own overhead (runoff in, inflows, sub-step tables,
// statistics); the runoff is constant (0.5 mm per step) in both. Also the construction with the
// initialisation passes. One core, no MPI.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/tracer_bookkeeping.h"
#include "routing/routing_model.h"

namespace {

namespace fs = std::filesystem;
constexpr int32_t kSubSteps = 24;
constexpr double kStepMinutes = 1440;

velorn::DiagnosticStream& Diag() {
  static velorn::DiagnosticStream diag(
      (fs::temp_directory_path() / "routing_model_bench.xml").string(), 0, std::cerr);
  return diag;
}

// Channel length whose slowest and fastest table rows differ by 9.5 days: 10 sections.
double TenSectionLength() {
  velorn::ChannelParameters p{6, 6, 10, 50, 100, 30, 20, 0.001, 1.0, 10, 1, 1000, 20};
  velorn::ChannelRecord r;
  velorn::BuildChannelTable(p, kStepMinutes, kSubSteps, 1.0, 0, r);
  return 9.5 * 24 / (r.tt[1] - r.tt[r.rows + 1]);
}

// A binary tree of `n` subbasins (codes = indices, 10 km² each) as a routing model.
class TreeNetwork {
 public:
  TreeNetwork(int32_t n, int32_t tracers) : n_(n), tracers_(static_cast<std::size_t>(tracers) + 1) {
    dir_ = fs::temp_directory_path() / ("routing_model_bench_" + std::to_string(n));
    fs::create_directories(dir_);
    codes_.resize(static_cast<std::size_t>(n) + 1);
    zones_.assign(static_cast<std::size_t>(n) + 1, velorn::ZoneRecord{});
    zones_[0][3] = 1.0;
    for (int32_t i = 1; i <= n; ++i) {
      codes_[i] = i;
      zones_[i][2] = i;
      zones_[i][3] = 10;
    }
    columns_.assign(3, velorn::ColumnRange{1, 2});
    WriteControlFile();
    setup_.diag = &Diag();
    setup_.control_file_name = (dir_ / "run.ctl.$$$").string();
    setup_.registry = &registry_;
    setup_.zone_code_index = codes_.data();
    setup_.zone_table = zones_.data();
    setup_.column_ranges = columns_.data();
    setup_.zone_count = n;
    setup_.highest_zone_code = n;
    setup_.ncols = 2;
    setup_.nrows = 2;
    setup_.first_local_row = 1;
    setup_.last_local_row = 2;
    setup_.nodata = -9999;
    setup_.end_date = velorn::ModelDate{2001, 1, 1, 0};
    setup_.output_directory = dir_.string() + "/";
    for (auto& t : tracers_) t.name = "trc";
    runoff_.assign(tracers_.size(), std::vector<double>(static_cast<std::size_t>(n) + 1, 0.5));
    for (auto& row : runoff_) rows_.push_back(row.data());
  }
  ~TreeNetwork() { fs::remove_all(dir_); }

  std::unique_ptr<velorn::abflussmodellklasse> Build() {
    int32_t error = 0;
    auto model = std::make_unique<velorn::abflussmodellklasse>(
        error, setup_, static_cast<int32_t>(tracers_.size()) - 1, tracers_.data(), 0);
    if (error != 0) std::abort();
    model->SetQg(rows_.data());
    model->InitialiseRouting();
    return model;
  }

 private:
  void WriteControlFile() {
    const std::string channel = "(kh=6, kv=6, Bh=10, Bv=50, Th=100, Mh=30, Mv=20, I=0.001, L=" +
                                std::to_string(TenSectionLength()) + ", A=10)";
    std::ofstream out(dir_ / "run.ctl.$$$");
    out << "[output_interval]\n24\n0\n1\n0\n[routing_model]\n1\n1440\n1 1000 20 24\nq.sta 0\n"
           "none.txt\n0\n0\n";
    // Upstream first: the outlets of the deepest subbasins come first.
    for (int32_t g = n_ / 2; g >= 1; --g) {
      out << "TG " << g << " (A=10, f=1)";
      for (int32_t c : {2 * g, 2 * g + 1})
        if (c <= n_) out << " OL " << c << " " << channel;
      out << "\n";
    }
    out << "end\n";
  }

  int32_t n_;
  fs::path dir_;
  std::vector<int32_t> codes_;
  std::vector<velorn::ZoneRecord> zones_;
  std::vector<velorn::ColumnRange> columns_;
  std::vector<velorn::TracerDefinition> tracers_;
  velorn::GridRegistry registry_;
  velorn::SubModelSetup setup_;
  std::vector<std::vector<double>> runoff_;
  std::vector<double*> rows_;
};

void BM_ModelStep(benchmark::State& state) {
  TreeNetwork net(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  auto model = net.Build();
  int64_t step = 0;
  for (auto _ : state) {
    ++step;
    model->RunStep(0, 1 + step % 28, 1 + (step / 28) % 12, 2001);
    benchmark::DoNotOptimize(model->Flows()[0][1]);
  }
  state.counters["stretches"] = model->StretchCount();
}

// The stretches alone, on the same constant runoff (the sub-step tables as the initialisation
// left them), so that both benchmarks route the same values.
void BM_StretchesOnly(benchmark::State& state) {
  TreeNetwork net(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  auto model = net.Build();
  for (auto _ : state) {
    for (int32_t s = 1; s <= model->StretchCount(); ++s) model->Stretch(s).RouteStep(2001, 1, 1, 0);
    benchmark::DoNotOptimize(model->Flows()[0][1]);
  }
}

// Construction (tables, table files) and the initialisation passes.
void BM_BuildAndInitialise(benchmark::State& state) {
  TreeNetwork net(static_cast<int32_t>(state.range(0)), 0);
  for (auto _ : state) {
    auto model = net.Build();
    benchmark::DoNotOptimize(model->Flows()[0][1]);
  }
}

BENCHMARK(BM_ModelStep)->Args({100, 0})->Args({100, 3})->Args({1000, 0})->Args({1000, 3});
BENCHMARK(BM_StretchesOnly)->Args({100, 0})->Args({100, 3})->Args({1000, 0})->Args({1000, 3});
BENCHMARK(BM_BuildAndInitialise)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Inverse-distance weighting of the meteorological interpolation: cell-steps per second of
// meteointerpol::InterpolateStep (method 1, weight 2, every station in reach) on a 1000 x 1000
// grid with 10, 100 and 1000 stations, on 1 and 8 threads, beside a plain OpenMP loop doing the
// same arithmetic on plain arrays (weight 1/s per station, sum of weights and weighted values,
// one division per cell). The interpolator also checks every cell's zone and owner, applies the
// post-processing and adds the cell to the zone statistics.
//
//   build/bench/interpolation_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/mpi_operations.h"
#include "core/string_helpers.h"
#include "core/submodel_setup.h"
#include "meteo/meteo_interpolator.h"

namespace {

using namespace velorn;

constexpr int kSide = 1000;
constexpr double kCell = 1000.0;

std::filesystem::path WorkDirectory() {
  static const std::filesystem::path dir = [] {
    auto path =
        std::filesystem::temp_directory_path() / ("velorn-idw-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

DiagnosticStream& Diag() {
  static std::ostringstream screen;
  static DiagnosticStream diag((WorkDirectory() / "diag.xml").string(), 0, screen);
  return diag;
}

// Deterministic pseudo-random numbers in [0, 1).
double Uniform(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state >> 11) / 9007199254740992.0;
}

struct Stations {
  std::vector<double> x, y, v;  // 1-based
};

Stations MakeStations(int n) {
  Stations s{{0}, {0}, {0}};
  uint64_t state = 42;
  for (int i = 1; i <= n; ++i) {
    s.x.push_back(Uniform(state) * kSide * kCell);
    s.y.push_back(Uniform(state) * kSide * kCell);
    s.v.push_back(-5 + 20 * Uniform(state));
  }
  return s;
}

// The model grids an interpolator looks up, over the whole grid, made once.
struct Model {
  Model() {
    for (auto* g : {&zone, &elevation, &area, &cx, &cy})
      g->operator=(GridMatrix(Diag(), 1, kSide, kSide, kSide));
    for (int r = 1; r <= kSide; ++r) {
      for (int c = 1; c <= kSide; ++c) {
        zone[r][c] = 1;
        elevation[r][c] = 100;
        area[r][c] = 1;
        cx[r][c] = (c - 1) * kCell;  // lower-left corners, as the set-up makes them
        cy[r][c] = (kSide - r) * kCell;
      }
    }
    const char* ids[] = {"zones", "elevation", "RelCellArea", "CoordX", "CoordY"};
    GridMatrix* grids[] = {&zone, &elevation, &area, &cx, &cy};
    for (int i = 0; i < 5; ++i)
      registry.Register(Diag(), i + 1, "", grids[i]->get(), nullptr, 0, ids[i], 0, 1, kSide, kSide,
                        kSide);
    bench::SquareOneZoneSetup(setup, kSide, kCell, zone_table, ranges);
    setup.diag = &Diag();
    setup.registry = &registry;
    setup.zone_code_index = zone_index.data();
  }
  GridMatrix zone, elevation, area, cx, cy;
  GridRegistry registry;
  std::vector<int32_t> zone_index{0, 1};
  std::vector<ZoneRecord> zone_table;
  std::vector<ColumnRange> ranges;
  SubModelSetup setup;
};

Model& TheModel() {
  static Model model;
  return model;
}

// An interpolator of `n` stations (built once per count).
std::map<int, std::unique_ptr<meteointerpol>>& Made() {
  static std::map<int, std::unique_ptr<meteointerpol>> made;
  return made;
}

meteointerpol& Interpolator(int n) {
  auto& slot = Made()[n];
  if (slot) return *slot;
  const Stations s = MakeStations(n);
  const std::string stations = (WorkDirectory() / ("st" + std::to_string(n))).string();
  std::ofstream out(stations);
  out << "stations\n";
  for (const auto* row : {&s.v, &s.x, &s.y}) {
    out << "a b c d";
    for (int i = 1; i <= n; ++i) out << " " << (row == &s.v ? 10.0 : (*row)[i]);
    out << "\n";
  }
  out << "names\n2000 1 1 24";
  for (int i = 1; i <= n; ++i) out << " " << s.v[i];
  out << "\n";
  out.close();
  Model& model = TheModel();
  model.setup.control_file_name = (WorkDirectory() / "run.ctl").string();
  std::ofstream ctl(model.setup.control_file_name);
  ctl << "[t" << n << "]\n1\n"
      << stations << "\nnone\nt.asc\n0\n1\nt.stat 0\n9999\n2\n0\n1e9\n0\n1\n"
      << "-1e10\n-1e10\n1e10\n1e10\n0\n";
  ctl.close();
  int status = 0;
  slot = std::make_unique<meteointerpol>(model.setup, FormatText("t%d", n),
                                         model.registry.FirstFreeIndex(), ModelDate{2000, 1, 1, 24},
                                         ModelDate{2000, 1, 1, 24}, status);
  return *slot;
}

void BM_Interpolator(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  meteointerpol& m = Interpolator(n);
  for (auto _ : state) m.InterpolateStep(24, 1, 1, 2000);
  state.counters["cell_steps_per_s"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PlainLoop(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  const Stations s = MakeStations(n);
  std::vector<double> out(static_cast<std::size_t>(kSide) * kSide);
  for (auto _ : state) {
#pragma omp parallel for schedule(static)
    for (int r = 0; r < kSide; ++r)
      for (int c = 0; c < kSide; ++c) {
        const double x = (c + 0.5) * kCell, y = (kSide - r - 0.5) * kCell;
        double sw = 0, swv = 0;
        for (int i = 1; i <= n; ++i) {
          const double dx = s.x[i] - x, dy = s.y[i] - y;
          double d2 = dx * dx + dy * dy;
          if (d2 == 0) d2 = 1;
          const double w = 1e18 >= d2 ? 1.0 / d2 : 0.0;
          sw += w;
          swv += w * s.v[i];
        }
        out[static_cast<std::size_t>(r) * kSide + c] = swv / sw;
      }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["cell_steps_per_s"] = benchmark::Counter(
      static_cast<double>(kSide) * kSide, benchmark::Counter::kIsIterationInvariantRate);
}

void Arguments(benchmark::internal::Benchmark* b) {
  for (int n : {10, 100, 1000})
    for (int t : {1, 8}) b->Args({n, t});
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
}

BENCHMARK(BM_Interpolator)->Apply(Arguments);
BENCHMARK(BM_PlainLoop)->Apply(Arguments);

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TheModel();  // made before the interpolators are released, so it outlives them
  for (auto& [n, m] : Made()) m->ReleaseMemory();
  Made().clear();
  std::filesystem::remove_all(WorkDirectory());
  velorn::FreeMpiOperations();
  MPI_Finalize();
  return 0;
}

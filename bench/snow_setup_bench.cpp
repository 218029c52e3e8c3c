// Construction of the snow model with a slide method (method 8) on a generated basin, and the
// elevation order that process 0 builds for it against a plain stable sort of the same keys.
//
// Usage: mpirun -np N snow_setup_bench [side (1000)] [repetitions (3)]
// Every process registers the input grids whole (zone grid, elevation in whole metres so that
// many cells share an elevation, soil zones, albedo, land use, slide fractions, slope) and takes
// its strip of rows; the control file is written to a temporary directory. Prints, on process
// 0: the best construction time (slowest process), then the best time of ElevationOrder on the
// basin's keys and of std::stable_sort of a copy of the keys (descending), the limit: the order
// adds only the index indirection.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "snow/snow_model.h"
#include "snow/snow_setup_formulas.h"

namespace {

using namespace velorn;

std::string SnowSection() {
  std::string text =
      "[snow_model]\n1\n60\n8\n1\n0.5\n0\n0.1\n0.5\n3\n0.5\n0.5\n0.001\n1.5\n3\n"
      "0.45\n0.9\n";
  for (const char* name : {"rain", "snow", "days", "age"})
    text += std::string(name) + ".asc\n0\n" + name + ".sta 0\n";
  text += "albedo.sta 0\n";
  for (const char* name : {"outflow", "melt"})
    text += std::string(name) + ".asc\n0\n" + name + ".sta 0\n";
  text +=
      "solid.asc\n0\nliquid.asc\n0\ntotal.sta 0\ntotal.asc\n0\n0\nstemp.asc\n0\nstemp.sta 0\n"
      "surft.asc\n0\nsurft.sta 0\n";
  for (const char* name : {"input", "mobile", "deposit"})
    text += std::string(name) + ".asc\n0\n" + name + ".sta 0\n";
  return text + "55\n1\n30\n0.01\n1\n1\n1.0\n";
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("velorn-snow-setup-bench-" + std::to_string(rank));
  std::filesystem::create_directories(directory);
  const std::string control = (directory / "run.ctl").string();
  std::ofstream(control) << SnowSection();

  DiagnosticStream diag;
  GridRegistry registry;
  SubModelSetup setup;
  std::vector<ZoneRecord> zones;
  std::vector<ColumnRange> columns;
  bench::SquareOneZoneSetup(setup, side, 100, zones, columns);
  std::vector<int32_t> code_index{0, 1};
  setup.zone_code_index = code_index.data();
  setup.diag = &diag;
  setup.control_file_name = control;
  setup.registry = &registry;
  setup.output_directory = directory.string() + "/";
  setup.first_local_row = 1 + static_cast<int32_t>(int64_t{side} * rank / size);
  setup.last_local_row = static_cast<int32_t>(int64_t{side} * (rank + 1) / size);

  std::vector<GridMatrix> grids;
  auto add = [&](const std::string& name, const std::function<double(int, int)>& value) {
    grids.emplace_back(diag, 1, side, side, side);
    for (int r = 1; r <= side; ++r)
      for (int c = 0; c <= side; ++c) grids.back()[r][c] = value(r, c);
    registry.Register(diag, registry.FirstFreeIndex(), name + ".asc", grids.back().get(), nullptr,
                      0, name, 0, 1, side, side, side);
  };
  auto zone = [](int r, int c) { return r + c < 20 ? -9999.0 : 1.0; };
  add("zonegrid", zone);
  add("[elevation_model]", [&](int r, int c) {
    return std::round(3000 - 1.5 * r - c + 40 * std::sin(0.05 * r) * std::cos(0.03 * c));
  });
  add("zonegrid_soilmodel", zone);
  add("albedo", [](int, int) { return 0.7; });
  add("landuse1", [](int, int) { return 1.0; });
  for (int i = 1; i <= 4; ++i)
    add("slidefraction" + std::to_string(i), [](int, int) { return 0.25; });
  add("slope_angle", [](int r, int c) { return std::fmod(0.37 * r + 0.11 * c, 70.0); });

  const double construction = bench::BestTime(repetitions, [&] {
    int32_t error = 0;
    schneemodellklasse model(error, setup);
    if (error != 0) throw ErrorCode{error};
    model.ReleaseMemory();
  });

  std::vector<double> keys;
  double** elevation = grids[1].get();
  for (int r = 1; r <= side; ++r)
    for (int c = 1; c <= side; ++c)
      if (zone(r, c) > 0) keys.push_back(elevation[r][c]);
  double order_time = 1e300, sort_time = 1e300;
  for (int rep = 0; rep < repetitions && rank == 0; ++rep) {
    double start = MPI_Wtime();
    const std::vector<std::size_t> order = ElevationOrder(keys);
    order_time = std::min(order_time, MPI_Wtime() - start);
    std::vector<double> copy = keys;
    start = MPI_Wtime();
    std::stable_sort(copy.begin(), copy.end(), std::greater<double>());
    sort_time = std::min(sort_time, MPI_Wtime() - start);
    if (copy.front() != keys[order.front()]) std::fprintf(stderr, "orders differ\n");
  }
  if (rank == 0) {
    std::printf("snow model construction, method 8, %d x %d, %d processes: %.1f ms\n", side, side,
                size, construction * 1e3);
    std::printf("elevation order of %zu cells: %.1f ms; std::stable_sort of the keys: %.1f ms\n",
                keys.size(), order_time * 1e3, sort_time * 1e3);
  }
  std::filesystem::remove_all(directory);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "snow_setup_bench", Run);
}

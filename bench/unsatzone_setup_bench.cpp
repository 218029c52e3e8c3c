// Time and peak memory of the construction of the unsaturated zone (unsatzonmodellklasse) on a
// generated basin, against two limits: the bytes of the grids and stacks the model registers
// (the least memory it can take) and the time of writing zeros to that much memory.
//
// Usage: mpirun -np N unsatzone_setup_bench [side (1000)] [layers (20)] [repetitions (3)]
// Every process builds the input grids in memory over its own row strip plus one halo row
// (process 0 holds the zone grid whole, as the zone ranking needs): eight subbasins in row
// bands, a surface sloping from 2000 m to 1000 m, one soil of `layers` layers of 0.1 m (Carsel
// and Parrish's loam), the land-use and evapotranspiration grids as one grid of ones. The
// control file (a cold start at ini_gw_level 2, no statistics, no single-point files) is
// written by process 0 to a fresh directory below $TMPDIR or /tmp, which is also the current
// directory, and removed at the end. A plain MPI program: construction is collective.
//
// Prints, on process 0: the construction time (best of the repetitions, slowest process) per
// cell, the growth of the peak resident memory over the first construction (largest process,
// from getrusage) per cell, the bytes per cell of the grids and stacks the model registers on
// that process, their ratio, and the time of writing zeros to the same bytes (memory touched
// before, and freshly allocated memory, whose page faults construction pays as well).
#include <mpi.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "tables/soil_record.h"
#include "unsatzone/unsatzone_model.h"

namespace {

using namespace velorn;
namespace fs = std::filesystem;

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int layers = argc > 2 ? std::atoi(argv[2]) : 20;
  const int repetitions = argc > 3 ? std::atoi(argv[3]) : 3;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);

  // A fresh directory shared by all processes (one machine).
  std::string directory;
  if (rank == 0) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/velorn-unsat-XXXXXX";
    directory = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    std::ofstream(directory + "/run.ctl") << bench::UnsatzoneControlFile();
  }
  int length = static_cast<int>(directory.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  directory.resize(static_cast<std::size_t>(length));
  MPI_Bcast(directory.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  if (directory.empty()) return 1;
  fs::current_path(directory);

  std::ostringstream screen;
  DiagnosticStream diag(directory + "/diag.xml", kLevelInfo, screen);
  const int first = rank * side / size + 1, last = (rank + 1) * side / size;
  const int held_first = std::max(1, first - 1), held_last = std::min(side, last + 1);

  // Inputs: the zone grid whole on process 0; every other grid over the held rows.
  const auto band = [&](int r) { return 1 + (r - 1) * 8 / side; };
  GridMatrix zones(diag, rank == 0 ? 1 : held_first, rank == 0 ? side : held_last, side, side);
  for (int r = zones.first_row(); r <= zones.last_row(); ++r)
    for (int c = 1; c <= side; ++c) zones[r][c] = band(r);
  GridMatrix dem(diag, held_first, held_last, side, side);
  GridMatrix owners(diag, held_first, held_last, side, side);
  GridMatrix ones(diag, held_first, held_last, side, side);
  GridMatrix slope(diag, held_first, held_last, side, side);
  for (int r = held_first; r <= held_last; ++r) {
    for (int c = 1; c <= side; ++c) {
      dem[r][c] = 2000.0 - 1000.0 * (r + c) / (2.0 * side);
      owners[r][c] = std::min(size - 1, ((r - 1) * size) / side);
      ones[r][c] = 1.0;
      slope[r][c] = 5.0;
    }
  }
  GridRegistry registry;
  const auto add = [&](const char* name, double** data, int from, int to) {
    registry.Register(diag, registry.FirstFreeIndex(), name, data, nullptr, 0, name, 0, from, to,
                      side, side);
  };
  add("zones", zones.get(), zones.first_row(), zones.last_row());
  add("dem", dem.get(), held_first, held_last);
  add("zonegrid_soilmodel", zones.get(), zones.first_row(), zones.last_row());
  add("MPIRegions", owners.get(), held_first, held_last);
  add("soil_types", ones.get(), held_first, held_last);
  add("slope_angle", slope.get(), held_first, held_last);
  for (const char* name :
       {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
        "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
        "pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
        "SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation"})
    add(name, ones.get(), held_first, held_last);

  std::vector<SoilRecord> soils(2);
  soils[0] = SoilRecord(1);
  soils[1].ParseEntry(diag,
                      "1 loam method MultipleHorizons { layers = " + std::to_string(layers) +
                          "; ksat = 2.89e-6; theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; "
                          "Par_n = 1.56; thickness = 0.1; }",
                      "MultipleHorizons");
  std::vector<ZoneRecord> zone_table;
  std::vector<ColumnRange> columns;
  std::vector<int32_t> code_index{0, 1};
  SubModelSetup setup;
  bench::SquareOneZoneSetup(setup, side, 100.0, zone_table, columns);
  setup.first_local_row = first;
  setup.last_local_row = last;
  setup.diag = &diag;
  setup.control_file_name = directory + "/run.ctl";
  setup.registry = &registry;
  setup.zone_code_index = code_index.data();
  setup.soil_table = soils.data();

  const double peak_before = PeakMegabytes();
  std::unique_ptr<unsatzonmodellklasse> model;
  const auto construct = [&] {
    if (model) model->ReleaseMemory();
    model.reset();
    int32_t error = 0;
    model = std::make_unique<unsatzonmodellklasse>(error, setup);
  };
  construct();
  double growth = PeakMegabytes() - peak_before;
  // The bytes of what the model registered on this process.
  double floor_bytes = 0;
  for (const GridMatrix& grid : model->grids)
    if (grid) floor_bytes += 8.0 * (grid.last_row() - grid.first_row() + 1) * (side + 1);
  for (const StackMatrix& stack : model->stacks)
    if (stack)
      floor_bytes +=
          8.0 * (stack.last_row() - stack.first_row() + 1) * (side + 1) * (stack.levels() + 1);
  const double seconds = bench::BestTime(repetitions, construct);
  model->ReleaseMemory();
  model.reset();

  // Writing zeros to as many bytes (the vector is touched once before).
  std::vector<char> memory(static_cast<std::size_t>(floor_bytes), 1);
  const double zero_seconds =
      bench::BestTime(repetitions, [&] { std::memset(memory.data(), 0, memory.size()); });
  // The same on fresh memory: page faults and the kernel's zeroing included, as in construction.
  volatile char sink = 0;
  const double fresh_seconds = bench::BestTime(repetitions, [&] {
    std::vector<char> fresh(memory.size());
    sink = fresh[fresh.size() / 2];
  });
  (void)sink;
  double local[2] = {growth, floor_bytes};
  double largest[2] = {0, 0};
  MPI_Reduce(local, largest, 2, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  if (rank == 0) {
    const double cells = static_cast<double>(side) * side / size;  // per process
    std::printf("unsaturated zone set-up: %d x %d cells, %d layers, %d processes\n", side, side,
                layers, size);
    std::printf("construction        %8.1f ms  %8.1f ns per cell\n", seconds * 1e3,
                seconds * 1e9 / cells);
    std::printf("registered bytes    %8.1f MB  %8.1f bytes per cell\n", largest[1] / 1e6,
                largest[1] / cells);
    std::printf("peak memory growth  %8.1f MB  %8.1f bytes per cell  (%.2f x registered)\n",
                largest[0], largest[0] * 1048576.0 / cells, largest[0] * 1048576.0 / largest[1]);
    std::printf("memset of the bytes %8.1f ms  %8.1f ns per cell  (construction %.1f x)\n",
                zero_seconds * 1e3, zero_seconds * 1e9 / cells, seconds / zero_seconds);
    std::printf("fresh zeroed bytes  %8.1f ms  %8.1f ns per cell  (construction %.1f x)\n",
                fresh_seconds * 1e3, fresh_seconds * 1e9 / cells, seconds / fresh_seconds);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0) fs::remove_all(directory);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "unsatzone_setup_bench", Run);
}

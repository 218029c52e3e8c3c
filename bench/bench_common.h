// Helpers shared by the benchmark programs of bench/: the best time of repeated runs of a
// collective operation, the square one-zone basin of the sub-model benchmarks (work directory,
// control file, registry, pattern grids), and the frame of a benchmark's main (MPI start and
// end, error report; for Google Benchmark programs VELORN_BENCHMARK_MAIN).
//
// Header only; every benchmark program includes it. The timing is collective: every process
// must run the same number of repetitions of the same operation.
#pragma once

#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/mpi_operations.h"
#include "core/submodel_setup.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"

namespace velorn::bench {

// Best wall time of `repetitions` runs of `op`, all processes in step: a run starts after a
// barrier and lasts until the slowest process has finished it.
template <class Op>
double BestTime(int repetitions, Op&& op) {
  double best = 1e300;
  for (int rep = 0; rep < repetitions; ++rep) {
    MPI_Barrier(MPI_COMM_WORLD);
    const double start = MPI_Wtime();
    op();
    MPI_Barrier(MPI_COMM_WORLD);
    double elapsed = MPI_Wtime() - start;
    MPI_Allreduce(MPI_IN_PLACE, &elapsed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    best = std::min(best, elapsed);
  }
  return best;
}

// Points `setup` at a square grid of `side` cells held whole by this process, with one zone
// covering it: the zone records and column ranges are the caller's storage (resized here).
inline void SquareOneZoneSetup(SubModelSetup& setup, int32_t side, double cellsize,
                               std::vector<ZoneRecord>& zones, std::vector<ColumnRange>& columns) {
  zones.assign(2, ZoneRecord{{0, 0, 1, 1, 0}});
  columns.assign(static_cast<std::size_t>(side) + 1, ColumnRange{1, side});
  setup.zone_table = zones.data();
  setup.column_ranges = columns.data();
  setup.zone_count = 1;
  setup.highest_zone_code = 1;
  setup.ncols = setup.nrows = side;
  setup.first_local_row = 1;
  setup.last_local_row = side;
  setup.cellsize = cellsize;
  setup.nodata = -9999;
}

// Appends a whole grid of `side` x `side` cells (column 0 included) to `grids` and registers it
// under `identifier`: mean + spread x a fixed pattern of -1..1 over the cells, so that no branch
// of a cell loop is taken uniformly for the wrong reason.
inline void AddPatternGrid(DiagnosticStream& diag, GridRegistry& registry,
                           std::vector<GridMatrix>& grids, int32_t side,
                           const std::string& identifier, double mean, double spread) {
  grids.emplace_back(diag, 1, side, side, side);
  double** g = grids.back().get();
  for (int32_t r = 1; r <= side; ++r)
    for (int32_t c = 0; c <= side; ++c)
      g[r][c] = mean + spread * ((r * 7 + c * 13) % 100 - 50) / 50.0;
  registry.Register(diag, registry.FirstFreeIndex(), identifier, g, nullptr, 0, identifier, 0, 1,
                    side, side, side);
}

// The directory `name` below the temporary directory, created on first use: a benchmark's
// control file and diagnostics go there.
inline std::filesystem::path WorkDirectory(const std::string& name) {
  const auto path = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(path);
  return path;
}

// The basin of a sub-model benchmark: `section` written as the control file "run.ctl" of
// `directory`, diagnostics into its "diag.xml" (screen output kept in memory), a square grid of
// `side` cells of 100 m held whole by this process, one zone of code 1, and `setup` pointed at
// all of it. The benchmark adds its input grids with Add, its own tables to `setup`, and makes
// its model.
struct SquareBasin {
  SquareBasin(const std::filesystem::path& directory, const std::string& section, int32_t side)
      : diag((directory / "diag.xml").string(), 0, screen), side(side) {
    const std::string control = (directory / "run.ctl").string();
    std::ofstream(control) << section;
    SquareOneZoneSetup(setup, side, 100, zones, columns);
    zones[1] = ZoneRecord{{1e6, 1e6, 1, 1, 1e6}};
    setup.diag = &diag;
    setup.control_file_name = control;
    setup.registry = &registry;
    setup.zone_code_index = zone_index.data();
  }
  SquareBasin(const SquareBasin&) = delete;
  SquareBasin& operator=(const SquareBasin&) = delete;

  // A pattern grid (see AddPatternGrid) registered under `identifier`.
  void Add(const std::string& identifier, double mean, double spread) {
    AddPatternGrid(diag, registry, grids, side, identifier, mean, spread);
  }

  std::ostringstream screen;
  DiagnosticStream diag;
  int32_t side;
  GridRegistry registry;
  std::vector<int32_t> zone_index{0, 1};
  std::vector<ZoneRecord> zones;
  std::vector<ColumnRange> columns;
  std::vector<GridMatrix> grids;
  SubModelSetup setup;
};

// The basin of a sub-model benchmark under MPI: a square grid of `side` cells of `cellsize` m,
// one zone of code 1, work directory "velorn-<name>-bench-<rank>" below the temporary directory
// (diagnostics into its "diag.xml", screen output kept in memory). The grid `zone_grid` (all 1)
// is registered and decomposed over all processes with equal speeds, and `setup` points at the
// registry, the layout, its own rows and the directory. The benchmark adds its grids with Add,
// its tables and control file to `setup`, and removes `directory` at the end.
struct DecomposedSquareBasin {
  DecomposedSquareBasin(const std::string& name, int32_t side, double cellsize,
                        const std::string& zone_grid)
      : directory(WorkDirectory("velorn-" + name + "-bench-" + std::to_string(Rank()))),
        diag((directory / "diag.xml").string(), 0, screen),
        side(side) {
    SquareOneZoneSetup(setup, side, cellsize, zones, columns);
    Add(zone_grid, 1);
    double** zone = grids[zone_grid].get();
    const RegionGrids region_grids = Rank() == 0 ? RegionGrids{zone, zone, nullptr} : RegionGrids{};
    layout = std::move(DecomposeRegions(diag, {side, side, -9999.0}, region_grids, 1.0).layout);
    RegisterMpiGrids(diag, registry, layout);
    setup.registry = &registry;
    setup.diag = &diag;
    setup.mpi = &layout;
    setup.first_local_row = layout.first_row;
    setup.last_local_row = layout.last_row;
    setup.zone_code_index = code_index.data();
    setup.control_file_name = (directory / "bench.ctl").string();
    setup.input_directory = setup.output_directory = directory.string() + "/";
  }
  DecomposedSquareBasin(const DecomposedSquareBasin&) = delete;
  DecomposedSquareBasin& operator=(const DecomposedSquareBasin&) = delete;

  // A whole grid of `value` (column 0 included) registered as `name` (file name `name`.asc).
  void Add(const std::string& name, double value) {
    grids[name] = GridMatrix(diag, 1, side, side, side);
    for (int32_t r = 1; r <= side; ++r) std::fill(grids[name][r], grids[name][r] + side + 1, value);
    registry.Register(diag, registry.FirstFreeIndex(), name + ".asc", grids[name].get(), nullptr, 0,
                      name, 0, 1, side, side, side);
  }

  static int Rank() {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
  }

  std::filesystem::path directory;
  std::ostringstream screen;
  DiagnosticStream diag;
  int32_t side;
  SubModelSetup setup;
  std::vector<ZoneRecord> zones;
  std::vector<ColumnRange> columns;
  GridRegistry registry;
  std::map<std::string, GridMatrix> grids;
  MpiLayout layout;
  std::vector<int32_t> code_index{0, 1};
};

// The [unsatzon_model] section of the soil-zone benchmarks: hourly steps, method 2, a cold start
// at ini_gw_level 2, eight subbasins (codes 1..8), no statistics, grids or single-point files.
inline std::string UnsatzoneControlFile() {
  std::string t = "[unsatzon_model]\n1\n60\n2\n0\n0\n0\n0\n1e-8\n2\n";
  for (int i = 0; i < 16; ++i) t += "s.sta 0\n";
  for (int i = 0; i < 24; ++i) t += "g.asc\n0\n";
  t += "0 0\n";
  for (int i = 0; i < 6; ++i) t += "p.txt\n";
  t += "1 8\n2 2\n8 8\n14 14\n0.4 0.4\n0.01 0.01\n0.1 0.1\n0\nstorage\n";
  return t;
}

// The main of a benchmark: `run` between MPI_Init and MPI_Finalize. A failure of the model
// (ErrorCode) is reported on standard error as "<name>: error code <code>" and aborts all
// processes with that code.
inline int BenchMain(int argc, char** argv, const char* name, int (*run)(int, char**)) {
  MPI_Init(&argc, &argv);
  int status = 0;
  try {
    status = run(argc, argv);
  } catch (const ErrorCode& error) {
    std::fprintf(stderr, "%s: error code %d\n", name, error.code);
    MPI_Abort(MPI_COMM_WORLD, error.code);
  }
  FreeMpiOperations();
  MPI_Finalize();
  return status;
}

}  // namespace velorn::bench

// The main of a Google Benchmark program (as the library's BENCHMARK_MAIN) under MPI: runs the
// benchmarks asked for, then removes the program's work directory `directory`.
#define VELORN_BENCHMARK_MAIN(directory)    \
  int main(int argc, char** argv) {         \
    MPI_Init(&argc, &argv);                 \
    ::benchmark::Initialize(&argc, argv);   \
    ::benchmark::RunSpecifiedBenchmarks();  \
    ::benchmark::Shutdown();                \
    std::filesystem::remove_all(directory); \
    ::velorn::FreeMpiOperations();          \
    MPI_Finalize();                         \
    return 0;                               \
  }

// Throughput of the grid and stack output: dated outputs of a registered grid with a daily sum
// and a daily mean companion (WriteGridOutput, gathered to process 0 and written there), and a
// 10-level binary stack written and read by all processes through MPI-IO.
//
// Usage: mpirun -np N output_bench [side (2000)] [outputs (100)] [repetitions (3)]
// The basin is a disc inside a side x side grid (a non-rectangular domain, so rows are cut into
// strips), decomposed over all processes with equal speeds. Files go to a fresh directory below
// $TMPDIR (or /tmp), in the single-precision binary form of model runs; grid outputs are
// removed after each step. Process 0 prints the best time and the rate in MB/s of the bytes
// that reached the files (1 MB = 1e6 bytes).
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/modelobject.h"
#include "grids/grid_output.h"
#include "setup/mpi_regions.h"

namespace {

using namespace velorn;
using velorn::bench::BestTime;
namespace fs = std::filesystem;

void Report(int rank, const char* name, double seconds, double bytes) {
  if (rank != 0) return;
  std::printf("%-30s %10.1f ms %10.1f MB %10.1f MB/s\n", name, seconds * 1e3, bytes / 1e6,
              bytes / 1e6 / seconds);
}

// A directory every process sees, made by process 0.
std::string SharedDirectory(int rank) {
  std::string name;
  if (rank == 0) {
    const char* tmp = std::getenv("TMPDIR");
    name = (fs::path(tmp != nullptr ? tmp : "/tmp") /
            ("velorn_output_bench_" + std::to_string(getpid())))
               .string();
    fs::create_directories(name);
  }
  int length = static_cast<int>(name.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  name.resize(static_cast<std::size_t>(length));
  MPI_Bcast(name.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  return name + "/";
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int outputs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  const int repetitions = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const int levels = 9;  // levels 0..9: ten values per cell
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const std::string directory = SharedDirectory(rank);

  std::ostringstream screen;
  DiagnosticStream diag(directory + "diag.xml", 0, screen);
  GridMatrix zone(diag, 1, side, side, side);
  const double centre = (side + 1) / 2.0;
  for (int r = 1; r <= side; ++r)
    for (int c = 1; c <= side; ++c)
      zone[r][c] = (r - centre) * (r - centre) + (c - centre) * (c - centre) <= centre * centre
                       ? 1.0
                       : -9999.0;
  const RegionGeometry geometry{side, side, -9999.0};
  const RegionGrids grids = rank == 0 ? RegionGrids{zone.get(), nullptr, nullptr} : RegionGrids{};
  MpiLayout layout = std::move(DecomposeRegions(diag, geometry, grids, 1.0).layout);

  GridRegistry registry;
  modelobject model(&diag, "bench.ctl", 0, false, false, false, directory, directory, &layout, 0,
                    nullptr);
  model.SetModuleName("output_bench");
  model.registry = &registry;
  model.ncols = side;
  model.nrows = side;
  model.cellsize = 100;
  model.nodata = -9999.0;
  model.first_local_row = layout.first_row;
  model.last_local_row = layout.last_row;
  model.RegisterGrid(1, "zone.asc", zone.get(), nullptr, 0, "zone", 0, 1, side);
  RegisterMpiGrids(diag, registry, layout);

  // The grid: all rows on process 0, the own rows with halo rows elsewhere.
  const HeldRows held = rank == 0 ? HeldRows{1, side} : layout.held_rows();
  GridMatrix grid(diag, held.first, held.last, side, side);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= side; ++c) grid[r][c] = zone[r][c] > 0 ? r + 1e-4 * c : -9999.0;
  const int sum = registry.FirstFreeIndex();  // dated grid every step and its daily sum
  model.RegisterGrid(sum, "prec.bin", grid.get(), nullptr, 0, "prec", 42, held.first, held.last);
  const int mean = registry.FirstFreeIndex();  // daily mean of the same grid
  model.RegisterGrid(mean, "precmean.bin", grid.get(), nullptr, 0, "precmean", 80, held.first,
                     held.last);
  model.SetEndDate(2100, 1, 1, 24);

  const double grid_bytes = 12.0 * 4 + static_cast<double>(side) * side * 4;
  ModelDate date{2019, 1, 1, 24};
  const double grid_time = BestTime(1, [&] {
    for (int step = 0; step < outputs; ++step) {
      model.step_date = date;
      model.WriteGridOutput(sum, 1, false);
      model.WriteGridOutput(mean, 1, false);
      if (rank == 0)
        for (const auto& file : fs::directory_iterator(directory))
          if (file.path().filename().string().rfind("prec", 0) == 0) fs::remove(file.path());
      date = AddDays(date, 1);
    }
  });
  Report(rank, "grid outputs (3 files a step)", grid_time, 3.0 * outputs * grid_bytes);

  StackMatrix stack(diag, layout.first_row, layout.last_row, side, levels, side);
  for (int r = layout.first_row; r <= layout.last_row; ++r)
    for (int c = 1; c <= side; ++c)
      for (int k = 0; k <= levels; ++k) stack[r][c][k] = r + 1e-4 * c + k;
  const double stack_values = static_cast<double>(side) * side * (levels + 1) + 12;
  for (const bool doubles : {true, false}) {
    const double write_time = BestTime(repetitions, [&] {
      model.WriteStack("theta.stk", stack.get(), levels, false, doubles, false);
    });
    Report(rank, doubles ? "stack write, double" : "stack write, single", write_time,
           stack_values * (doubles ? 8 : 4));
    const double read_time = BestTime(repetitions, [&] {
      double*** read = nullptr;
      model.ReadStack("theta.stk", read, false);
      Free3dMatrix(read);
    });
    Report(rank, doubles ? "stack read, double" : "stack read, single", read_time,
           stack_values * (doubles ? 8 : 4));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0) fs::remove_all(directory);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "output_bench", Run);
}

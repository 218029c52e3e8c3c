// Time and peak memory of the whole stepwise set-up (defaultini::RunSetupStep until it reports
// completion) of a generated basin, per step, against two limits: reading the same input grids
// alone, and the bytes of the grids the set-up leaves registered.
//
// Usage: mpirun -np N setup_bench [side (2000)] [transition distance in m (500)] [directory]
// Process 0 writes the basin into the directory given (or a fresh one below $TMPDIR or /tmp,
// removed at the end): a side x side grid of 100 m cells as ASCII grids, the zone grid (16
// subbasins, a corner triangle outside the basin), the elevation model, land-use, soil and
// regression-region codes, and a control file of model variant 2 (the application's) with
// land-use and soil tables, "albedo" created from a default and the region weights. The files
// are written row by row, so their generation does not raise the peak memory of process 0.
// A plain MPI program: the set-up is collective and runs once per process count.
//
// Prints, on process 0: each step that took at least 1 % of the total (time of the slowest
// process), the total, the peak resident memory (largest process and sum over processes, from
// getrusage), the grids the set-up holds afterwards (count and MB on the largest process), and
// the time to read the same five input grids whole with modelobject::ReadGrid on every
// process, without the set-up (the slowest process).
#include <mpi.h>
#include <omp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
#include "core/modelobject.h"
#include "setup/defaultini.h"

namespace {

using namespace velorn;
namespace fs = std::filesystem;

constexpr double kCellSize = 100;
constexpr double kNodata = -9999;

// What each set-up step does, for the report.
constexpr const char* kStepNames[] = {
    "compile control file, output settings",
    "standard grid list",
    "model time",
    "land-use tables",
    "soil table",
    "irrigation, radiation switch",
    "zone grid and DEM on process 0, decomposition",
    "zone ranking, distribute zone and DEM",
    "standard and variable grids",
    "relative cell area",
    "cell sizes, zones ranked with the areas",
    "coordinate grids",
    "highest elevation",
    "land-use codes and layers",
    "land-use parameter grids",
    "irrigation codes",
    "soil codes",
    "soil parameter grids (variant 1)",
    "slope and aspect",
    "ice and firn grid",
    "region weight grids",
    "(nothing)",
    "coupling settings",
    "closing call",
};

// The basin's cell values; nodata outside the basin.
bool InBasin(int side, int r, int c) {
  return r + c > side / 8;
}
double Zone(int side, int r, int c) {
  return 1 + 4 * ((r - 1) * 4 / side) + (c - 1) * 4 / side;
}
double Elevation(int side, int r, int c) {
  return 400.0 + 1500.0 * (side - r) / side + 80.0 * std::sin(c * 0.01) * std::cos(r * 0.013);
}
double Landuse(int, int r, int c) {
  return 10.0 * (1 + (r / 37 + c / 53) % 3);
}
double Soil(int, int r, int c) {
  return (r / 41 + c / 29) % 2 == 0 ? 11 : 12;
}
double Region(int side, int, int c) {
  return c <= side / 2 ? 1 : 2;
}

// Writes an ASCII grid row by row; values through std::to_chars (shortest exact form).
void WriteAscii(const std::string& path, int side, double (*value)(int, int, int)) {
  std::ofstream out(path, std::ios::binary);
  out << "ncols " << side << "\nnrows " << side << "\nxllcorner 600000\nyllcorner 200000\n"
      << "cellsize " << kCellSize << "\nnodata_value " << kNodata << "\n";
  std::string line;
  char number[32];
  for (int r = 1; r <= side; ++r) {
    line.clear();
    for (int c = 1; c <= side; ++c) {
      const double v = InBasin(side, r, c) ? value(side, r, c) : kNodata;
      const auto result = std::to_chars(number, number + sizeof number, v);
      line.append(number, result.ptr);
      line += c == side ? '\n' : ' ';
    }
    out << line;
  }
}

std::string LanduseEntry(int code, const char* name, const char* root_depth, const char* lai) {
  return std::to_string(code) + " " + name +
         " method VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 4;\n"
         "JulDays = 1 120 240 366; Albedo = 0.2 0.2 0.25 0.2; rsc = 80 70 60 80;\n"
         "LAI = 1 " +
         lai + " " + lai +
         " 1; Z0 = 0.1 0.1 0.2 0.1; VCF = 0.8 0.8 1 0.8;\nRootDepth = " + root_depth + " " +
         root_depth + " " + root_depth + " " + root_depth + "; AltDep = 0 0.01 -0.01 0; }\n";
}

std::string SoilEntry(int code, const char* name, const char* ksat) {
  return std::to_string(code) + " " + name +
         " method MultipleHorizons {\nlayers = 4 6; ksat = " + ksat + " " + ksat +
         "; theta_sat = 0.43 0.40; theta_res = 0.078 0.07;\nalpha = 3.6 3.0; Par_n = 1.56 1.5; "
         "thickness = 0.1 0.3;\n}\n";
}

std::string ControlFile(const std::string& dir, double transition) {
  return "$set $d = " + dir +
         "/\n[output_interval]\n24\n0\n0\n0\nWriteAsciiGrids = 0\nWriteDoubleGrids = 0\n"
         "WriteNetcdfGrids = 0\nInitialStateDirectory = $d\nDefaultOutputDirectory = $d//out/\n\n"
         "[output_list]\n0\n[coordinates]\n47.5\n8.5\n15.0\n0.0\n[meteo_data_count]\n1\n"
         "[meteo_names]\ntemperature\n[zone_grid]\n$d//zone.asc\n[elevation_model]\n$d//dem.asc\n"
         "[standard_grids]\n4\n$d//regions.asc regression_regions 0\n$d//landuse.asc landuse 0\n"
         "$d//soil.asc soil_types 0\n"
         "albedo albedo fillcode = 0 readcode = 0 defaultValue = 0.2\n"
         "[model_time]\n24\n1\n1\n2019\n24\n31\n12\n2019\n[landuse_table]\n3\n" +
         LanduseEntry(10, "grassland", "0.3", "3") + LanduseEntry(20, "cropland", "0.8", "4") +
         LanduseEntry(30, "forest", "1.5", "6") + "[soil_table]\n2\n" +
         SoilEntry(11, "loam", "2.89e-6") + SoilEntry(12, "sand", "8.25e-5") +
         "[irrigation]\n0\n[radiation_correction]\n0\n1440\n[variable_grids]\n0\n"
         "[region_transition_distance]\n" +
         std::to_string(transition) + "\n[substance_transport]\n0\n";
}

// A directory every process sees, made by process 0.
std::string SharedDirectory(int rank, const char* given) {
  std::string name;
  if (rank == 0) {
    if (given != nullptr) {
      name = given;
    } else {
      const char* tmp = std::getenv("TMPDIR");
      name = (fs::path(tmp != nullptr ? tmp : "/tmp") /
              ("velorn_setup_bench_" + std::to_string(getpid())))
                 .string();
    }
    fs::create_directories(fs::path(name) / "out");
  }
  int length = static_cast<int>(name.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  name.resize(static_cast<std::size_t>(length));
  MPI_Bcast(name.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  return name;
}

double PeakResidentMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
}

// Bytes of the grids and stacks registered on this process.
double RegisteredMb(const GridRegistry& registry, int ncols, int& count) {
  double bytes = 0;
  count = 0;
  for (int index = 1; index < kRefusedGridIndex; ++index) {
    const GridEntry& entry = registry[index];
    if (entry.grid == nullptr && entry.stack == nullptr) continue;
    const double cells = static_cast<double>(entry.last_row - entry.first_row + 1) * (ncols + 1);
    bytes += cells * 8.0 * (entry.stack != nullptr ? entry.level_count + 1 : 1);
    ++count;
  }
  return bytes / 1e6;
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::max(8, std::atoi(argv[1])) : 2000;
  const double transition = argc > 2 ? std::atof(argv[2]) : 500;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const std::string dir = SharedDirectory(rank, argc > 3 ? argv[3] : nullptr);
  const char* names[] = {"zone.asc", "dem.asc", "landuse.asc", "soil.asc", "regions.asc"};
  double (*values[])(int, int, int) = {Zone, Elevation, Landuse, Soil, Region};
  if (rank == 0) {
    for (int i = 0; i < 5; ++i) WriteAscii(dir + "/" + names[i], side, values[i]);
    std::ofstream(dir + "/run.ctl") << ControlFile(dir, transition);
    std::ofstream(dir + "/MpiSpeedFactor.dat") << "1.0\n";
    std::printf("set-up of a %d x %d basin on %d process(es), %d thread(s) each, files in %s\n",
                side, side, size, omp_get_max_threads(), dir.c_str());
  }
  MPI_Barrier(MPI_COMM_WORLD);
  fs::current_path(dir);

  std::ostringstream quiet;
  DiagnosticStream diag(dir + "/diag_" + std::to_string(rank) + ".xml", 2, quiet);
  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  int32_t error = 0;
  auto settings = std::make_unique<defaultini>(error, &diag, dir + "/run.ctl", nullptr, 200, 2,
                                               &registry_pointer);
  if (error != 0) throw ErrorCode{error};
  std::vector<double> step_seconds;
  uint8_t done = 0;
  const double start = MPI_Wtime();
  while (done == 0) {
    MPI_Barrier(MPI_COMM_WORLD);
    const double step_start = MPI_Wtime();
    settings->RunSetupStep(done);
    step_seconds.push_back(MPI_Wtime() - step_start);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const double total = MPI_Wtime() - start;
  MPI_Allreduce(MPI_IN_PLACE, step_seconds.data(), static_cast<int>(step_seconds.size()),
                MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  int grids = 0;
  double held_mb = RegisteredMb(registry, side, grids);
  double peak[2] = {PeakResidentMb(), PeakResidentMb()};
  MPI_Allreduce(MPI_IN_PLACE, &peak[0], 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  MPI_Allreduce(MPI_IN_PLACE, &peak[1], 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  MPI_Allreduce(MPI_IN_PLACE, &held_mb, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  settings->ReleaseMemory();
  settings.reset();

  // The limit: the five input grids read whole on every process, nothing else.
  modelobject reader(&diag, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr);
  reader.SetModuleName("setup_bench");
  reader.ncols = reader.nrows = side;
  reader.xll = 600000;
  reader.yll = 200000;
  reader.cellsize = kCellSize;
  reader.nodata = kNodata;
  reader.first_local_row = 1;
  reader.last_local_row = side;
  const double read_alone = velorn::bench::BestTime(1, [&] {
    for (const char* name : names) {
      double** grid = nullptr;
      reader.ReadGrid(dir + "/" + name, grid, 0, true, false, false, 0, false, false, 0.0);
      FreeMatrix(grid);
    }
  });

  if (rank == 0) {
    std::printf("%-48s %10s %7s\n", "step", "seconds", "share");
    for (std::size_t s = 0; s < step_seconds.size(); ++s)
      if (step_seconds[s] >= 0.01 * total)
        std::printf("%2zu %-45s %10.3f %6.1f%%\n", s,
                    s < std::size(kStepNames) ? kStepNames[s] : "?", step_seconds[s],
                    100.0 * step_seconds[s] / total);
    std::printf("%-48s %10.3f\n", "whole set-up", total);
    std::printf("%-48s %10.3f\n", "limit: the 5 input grids read alone", read_alone);
    std::printf("peak resident memory: %.1f MB (largest process), %.1f MB (all processes)\n",
                peak[0], peak[1]);
    std::printf("grids held after the set-up: %d, %.1f MB (largest process)\n", grids, held_mb);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0 && argc <= 3) fs::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "setup_bench", Run);
}

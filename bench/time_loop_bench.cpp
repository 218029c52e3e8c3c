// Overhead of the time loop: a generated square basin of 100 m cells (one zone, flat) with one
// meteorological variable from a single station and no other sub-model, run for a number of
// hourly steps through ModellApplication::run. Every step interpolates the station onto the
// grid (one station: every cell takes its value), and runs the per-step calls of the settings
// object, the regional superposition, the radiation correction and the special output, all
// switched off, and the collectives of the loop (control state, end of data).
//
// Reported: construction, the loop, the loop per step, and the limit per step: one pass that
// writes every own cell once (what the interpolation of one uniform station must do at least).
// Usage: mpirun -np N build/bench/time_loop_bench [side (1000)] [steps (10000)] [directory]
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/application.h"
#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "core/model_date.h"
#include "core/row_loop.h"

namespace {

namespace fs = std::filesystem;
using velorn::DiagnosticStream;

// A directory every process can see: the given one, or a new one under /tmp named by process 0.
std::string SharedDirectory(int rank, const char* given) {
  std::string dir = given != nullptr ? given : "";
  if (dir.empty() && rank == 0) {
    std::string pattern = (fs::temp_directory_path() / "velorn-loop-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw velorn::ErrorCode{1};
    dir = pattern;
  }
  int length = static_cast<int>(dir.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  dir.resize(static_cast<std::size_t>(length));
  MPI_Bcast(dir.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  fs::create_directories(dir + "/out");
  return dir;
}

void WriteAscii(const std::string& path, int side, double value) {
  std::ofstream out(path);
  out << "ncols " << side << "\nnrows " << side
      << "\nxllcorner 600000\nyllcorner 200000\ncellsize 100\nnodata_value -9999\n";
  std::string row;
  for (int c = 1; c <= side; ++c) row += std::to_string(value) + (c == side ? "\n" : " ");
  for (int r = 1; r <= side; ++r) out << row;
}

// One station in the middle of the basin, hourly records from 1.1.2019 1 h; returns the date of
// the last record.
velorn::ModelDate WriteStation(const std::string& path, int side, int steps) {
  std::ofstream out(path);
  const double middle = 600000 + 50.0 * side;
  out << "station\na b c d 500\na b c d " << middle << "\na b c d " << middle - 400000
      << "\nYY MM DD HH T\n";
  velorn::ModelDate date{2019, 1, 1, 1};
  for (int i = 0; i < steps; ++i) {
    if (i > 0) date = velorn::AddHours(date, 1, velorn::HourRange::kOneTo24);
    out << date.year << " " << date.month << " " << date.day << " " << date.hour << " "
        << i % 23 - 5 << "\n";
  }
  return date;
}

std::string ControlFile(const std::string& dir, const velorn::ModelDate& end) {
  std::ostringstream text;
  text << "$set $d = " << dir
       << "/\n[output_interval]\n10000\n0\n0\n60\nWriteAsciiGrids = 1\nWriteDoubleGrids = 0\n"
          "WriteNetcdfGrids = 0\nInitialStateDirectory = $d\nDefaultOutputDirectory = $d//out/\n\n"
          "[output_list]\n0\n[coordinates]\n47.5\n8.5\n15.0\n0.0\n[meteo_data_count]\n1\n"
          "[meteo_names]\ntemperature\n[temperature]\n1 method\n$d//station.txt\nnone\n"
          "temperature.asc\n0\n1.0\ntemperature.stat 0\n9999\n2\n0\n1e12\n0\n1\n-1e10\n-1e10\n"
          "1e10\n1e10\n0\n[zone_grid]\n$d//zone.asc\n[elevation_model]\n$d//dem.asc\n"
          "[standard_grids]\n0\n[model_time]\n1\n1\n1\n2019\n"
       << end.hour << "\n"
       << end.day << "\n"
       << end.month << "\n"
       << end.year
       << "\n[landuse_table]\n0\n[soil_table]\n0\n[irrigation]\n0\n[radiation_correction]\n0\n"
          "60\n[precipitation_correction]\n0\n0\n1\n0\n1\n0\n[variable_grids]\n0\n"
          "[substance_transport]\n0\n[region_transition_distance]\n250\n[special_output]\n0\n60\n";
  return text.str();
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::max(8, std::atoi(argv[1])) : 1000;
  const int steps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10000;
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const std::string dir = SharedDirectory(rank, argc > 3 ? argv[3] : nullptr);
  if (rank == 0) {
    WriteAscii(dir + "/zone.asc", side, 1);
    WriteAscii(dir + "/dem.asc", side, 500);
    const velorn::ModelDate end = WriteStation(dir + "/station.txt", side, steps);
    std::ofstream(dir + "/run.ctl") << ControlFile(dir, end);
    std::ofstream(dir + "/MpiSpeedFactor.dat") << "1.0\n";
    std::printf(
        "time loop of a %d x %d basin, %d hourly steps, %d process(es), %d thread(s) "
        "each\n",
        side, side, steps, size, omp_get_max_threads());
  }
  MPI_Barrier(MPI_COMM_WORLD);
  fs::current_path(dir);

  std::ostringstream quiet;
  DiagnosticStream diag(dir + "/diag_" + std::to_string(rank) + ".xml", 2, quiet);
  std::string control = dir + "/run.ctl";
  char* arguments[] = {argv[0], control.data(), nullptr};
  std::unique_ptr<velorn::ModellApplication> application;
  const double construction = velorn::bench::BestTime(
      1, [&] { application = std::make_unique<velorn::ModellApplication>(diag, 2, arguments, 1); });
  int state = 0;
  const double loop = velorn::bench::BestTime(1, [&] { state = application->run(); });
  const long first = application->setup.first_local_row;
  const long last = application->setup.last_local_row;
  application->ClearMemory();
  application.reset();

  // The limit: every own cell written once per step.
  velorn::GridMatrix grid(diag, first, last, side, side);
  double** cells = grid.get();
  const double pass = velorn::bench::BestTime(5, [&] {
    velorn::ForEachRow(first, last,
                       [&](long r) { std::fill(cells[r] + 1, cells[r] + side + 1, 1.5); });
  });

  if (rank == 0) {
    std::printf("%-40s %12s\n", "", "seconds");
    std::printf("%-40s %12.3f\n", "construction (set-up, interpolator)", construction);
    std::printf("%-40s %12.3f  (control state %d)\n", "time loop", loop, state);
    std::printf("%-40s %12.6f\n", "time loop per step", loop / steps);
    std::printf("%-40s %12.6f\n", "limit per step: one pass over the grid", pass);
    std::printf("%-40s %12.1f\n", "ratio", loop / steps / pass);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0 && argc <= 3) fs::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "time_loop_bench", Run);
}

// Speed of the grid files: writing and reading one grid of side x side cells as ASCII, binary
// double and binary single, through modelobject::WriteGrid and modelobject::ReadGrid on one
// process, the ASCII cell parser alone on a file already in memory, and the limits of the ASCII
// write: its number formatting against a plain snprintf("%g") loop and a memcpy of the text.
//
// Usage: grid_io_bench [side (4000)] [repetitions (3)] [directory (a temporary one)]
// Prints one line per operation: the best time of the repetitions, the file size and the rate
// in MB/s (1 MB = 1e6 bytes). File reads come from the page cache after the first write, so the
// figures show the cost of formatting and parsing, not of the disk.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "core/modelobject.h"
#include "grids/grid_formats.h"

namespace {

namespace fs = std::filesystem;
using velorn::GridMatrix;
using velorn::bench::BestTime;

void Report(const char* name, double seconds, double bytes) {
  std::printf("%-22s %9.1f ms %9.1f MB %9.1f MB/s\n", name, seconds * 1e3, bytes / 1e6,
              bytes / 1e6 / seconds);
}

// Elevations with three significant decimals, like a DEM in metres.
void FillGrid(GridMatrix& grid, int side) {
  for (int r = 1; r <= side; ++r)
    for (int c = 1; c <= side; ++c)
      grid[r][c] =
          (r * 7 + c * 13) % 4000 == 0 ? -9999.0 : 200.0 + (r * 31 + c * 17) % 2500 * 0.125;
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4000;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  fs::path dir = argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path() / "velorn-grid-io-bench";
  fs::create_directories(dir);

  std::ostringstream quiet;
  velorn::DiagnosticStream diag((dir / "bench_diag.xml").string(), 2, quiet);
  velorn::modelobject object(&diag, "bench.ctl", 0, true, false, false, "", "", nullptr, 0,
                             nullptr);
  object.SetModuleName("grid_io_bench");
  object.ncols = side;
  object.nrows = side;
  object.xll = 3500000;
  object.yll = 5200000;
  object.cellsize = 25;
  object.nodata = -9999.0;
  object.first_local_row = 1;
  object.last_local_row = side;

  GridMatrix grid(diag, 1, side, side, side);
  FillGrid(grid, side);
  std::printf("grid of %d x %d cells, best of %d, files in %s\n", side, side, repetitions,
              dir.c_str());

  struct Form {
    const char* name;
    const char* file;
    bool ascii;
    bool dbl;
  };
  const Form forms[] = {{"ascii", "bench.asc", true, false},
                        {"binary double", "bench.dbl", false, true},
                        {"binary single", "bench.flt", false, false}};
  for (const Form& form : forms) {
    const std::string path = (dir / form.file).string();
    const double write = BestTime(
        repetitions, [&] { object.WriteGrid(path, grid.get(), form.ascii, form.dbl, false); });
    const auto bytes = static_cast<double>(fs::file_size(path));
    const double read = BestTime(repetitions, [&] {
      double** back = nullptr;
      object.ReadGrid(path, back, 0, true, false, false, 0, false, false, 0.0);
      velorn::FreeMatrix(back);
    });
    Report((std::string("write ") + form.name).c_str(), write, bytes);
    Report((std::string("read ") + form.name).c_str(), read, bytes);
  }

  // The ASCII parser alone, on the file in memory.
  std::ifstream in(dir / "bench.asc", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const velorn::AsciiHeaderResult header = velorn::ParseAsciiHeader(text);
  const double parse = BestTime(repetitions, [&] {
    velorn::ParseAsciiCells(text, header.data_offset, side, side, grid.get());
  });
  Report("parse ascii (memory)", parse, static_cast<double>(text.size()));

  // Limits for the ASCII write: the same text formatted by a plain snprintf("%g") loop (what
  // the writer did before), by the writer's formatter alone, and a memcpy of the text.
  std::string lines;
  const auto format_all = [&](bool with_printf) {
    lines.clear();
    char number[32];
    for (int r = 1; r <= side; ++r) {
      for (int c = 1; c <= side; ++c) {
        if (c > 1) lines += '\t';
        if (with_printf) {
          lines.append(number, static_cast<std::size_t>(
                                   std::snprintf(number, sizeof number, "%g", grid[r][c])));
        } else {
          velorn::AppendGeneral(lines, grid[r][c]);
        }
      }
      lines += '\n';
    }
  };
  const double printf_loop = BestTime(repetitions, [&] { format_all(true); });
  Report("format snprintf %g", printf_loop, static_cast<double>(lines.size()));
  const double to_chars_loop = BestTime(repetitions, [&] { format_all(false); });
  Report("format to_chars", to_chars_loop, static_cast<double>(lines.size()));
  std::string copy(lines.size(), '\0');
  const double memcpy_time =
      BestTime(repetitions, [&] { std::memcpy(copy.data(), lines.data(), lines.size()); });
  Report("memcpy of the text", memcpy_time, static_cast<double>(lines.size()));

  for (const Form& form : forms) fs::remove(dir / form.file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "grid_io_bench", Run);
}

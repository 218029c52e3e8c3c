// Nodata mapping and hole filling of grids read from files (see hole_filling.h).
#include "grids/hole_filling.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "core/error_code.h"
#include "core/matrix.h"
#include "core/nodata.h"
#include "core/output_files.h"

namespace velorn {
namespace {

struct LogCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using LogPtr = std::unique_ptr<std::FILE, LogCloser>;

void LogReplacement(DiagnosticStream& diag, std::FILE* log, const std::string& name, int32_t row,
                    int32_t col, double old_value, double new_value) {
  diag << "DEBUG: "
       << "y: " << row << " x: " << col << "in " << name << ": " << old_value << " replaced by "
       << new_value << "[end-entry]";
  if (log != nullptr)
    std::fprintf(log, "y: %d x: %d  in %s %lf replaced by %lf!\n", row, col, name.c_str(),
                 old_value, new_value);
}

[[noreturn]] void FailTooBigHole(DiagnosticStream& diag, std::FILE* log, const std::string& name,
                                 int32_t row, int32_t col) {
  if (log != nullptr) {
    std::fprintf(log, "In %s is a too big hole at x/y = %d/%d\n!\n", name.c_str(), col, row);
    std::fflush(log);
  }
  ThrowFatal(diag, kHoleTooBigCode, "FATAL: In ", name, " is a too big hole at x/y = ", col, "/",
             row, "!");
}

}  // namespace

void ReplaceValue(double** grid, int64_t first_row, int64_t last_row, int64_t ncols, double from,
                  double to) {
  if (from == to) return;
  for (int64_t r = first_row; r <= last_row; ++r) {
    double* row = grid[r];
    if (row == nullptr) continue;
    for (int64_t c = 1; c <= ncols; ++c)
      if (row[c] == from) row[c] = to;
  }
}

bool FindNeighbourValue(double** grid, int32_t nrows, int32_t ncols, int32_t row, int32_t col,
                        double nodata, double& value) {
  for (int32_t k = 1; k <= kNeighbourSearchSteps; ++k) {
    for (int32_t m = 0; m <= 2 * k; ++m) {
      const int32_t r = row - k + m;
      if (r < 1 || r > nrows) continue;
      const int32_t first = std::max(col - m, 1);
      const int32_t last = std::min(col + m, ncols);
      for (int32_t c = first; c <= last; ++c) {
        if (IsNotNodata(grid[r][c], nodata)) {
          value = grid[r][c];
          return true;
        }
      }
    }
  }
  return false;
}

int64_t FillNodataHoles(DiagnosticStream& diag, std::FILE* log, const std::string& name,
                        double** grid, double** reference, int32_t nrows, int32_t ncols,
                        double nodata, const HoleFilling& how) {
  // The filled grid is built in a copy, so that the neighbour search only ever sees values of
  // the file, never values filled in earlier.
  GridMatrix copy(diag, 1, nrows, ncols, nrows);
  int64_t holes = 0;
  for (int32_t r = 1; r <= nrows; ++r) {
    for (int32_t c = 1; c <= ncols; ++c) {
      const double value = grid[r][c];
      const bool in_domain = IsNotNodata(reference[r][c], nodata);
      if (IsNotNodata(value, nodata)) {
        copy[r][c] = in_domain ? value : nodata;
        continue;
      }
      copy[r][c] = nodata;
      if (!in_domain) continue;
      ++holes;
      if (how.fill_mode == 1 && how.strict) {
        double found = 0;
        if (!FindNeighbourValue(grid, nrows, ncols, r, c, nodata, found))
          FailTooBigHole(diag, log, name, r, c);
        copy[r][c] = found;
        LogReplacement(diag, log, name, r, c, value, found);
      } else {
        copy[r][c] = how.fill_value;
      }
    }
  }
  if (holes > 0) {
    for (int32_t r = 1; r <= nrows; ++r) std::copy(copy[r] + 1, copy[r] + ncols + 1, grid[r] + 1);
  }
  return holes;
}

void FillGridHoles(DiagnosticStream& diag, int rank, bool verbose, const std::string& name,
                   double** grid, double** reference, int32_t nrows, int32_t ncols, double nodata,
                   const HoleFilling& how) {
  if (verbose)
    diag << "... " << name << " checking nodata values and replace"
         << "[end-entry]";
  char log_name[64];
  std::snprintf(log_name, sizeof log_name, "modell_%d.log", rank);
  errno = 0;
  LogPtr log(std::fopen(log_name, "a"));
  if (!log)
    ThrowFatal(diag, kLogFileCode, "FATAL: error opening log file ", log_name,
               SystemReason(ErrnoOrIo()));
  const int64_t holes =
      FillNodataHoles(diag, log.get(), name, grid, reference, nrows, ncols, nodata, how);
  if (holes > 0) {
    diag << "DEBUG: In " << name << ": " << static_cast<long>(holes) << " nodata values replaced!"
         << "[end-entry]";
    std::fprintf(log.get(), "in %s: %ld nodata values replaced!\n\n", name.c_str(),
                 static_cast<long>(holes));
  }
  // A failed line anywhere above marks the stream; the close reports it.
  const int error = CloseChecked(log.release());
  if (error != 0)
    ThrowFatal(diag, kWriteErrorCode, "FATAL: cannot write ", log_name, SystemReason(error));
}

}  // namespace velorn

#include "tests/support/test_helpers.h"

#include "core/error_code.h"
#include "core/modelobject.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {

int ThrownCode(const std::function<void()>& call, int none) {
  try {
    call();
  } catch (const ErrorCode& error) {
    return error.code;
  }
  return none;
}

std::string CapturedDiag::DiagFile() const {
  return ReadFile(diag.file_name());
}

bool CapturedDiag::ScreenHas(const std::string& text) const {
  return screen.str().find(text) != std::string::npos;
}

bool CapturedDiag::HasEntry(int level, const std::string& description) const {
  return DiagFile().find(DiagnosticsLine(level, description)) != std::string::npos;
}

GridMatrix MakeGrid(DiagnosticStream& diag, const std::vector<std::vector<double>>& rows) {
  const auto nrows = static_cast<int64_t>(rows.size());
  const auto ncols = static_cast<int64_t>(rows.front().size());
  GridMatrix grid(diag, 1, nrows, ncols, nrows);
  for (int64_t r = 1; r <= nrows; ++r)
    for (int64_t c = 1; c <= ncols; ++c) grid[r][c] = rows[r - 1][c - 1];
  return grid;
}

GridMatrix FilledGrid(DiagnosticStream& diag, int rows, int cols, double value) {
  GridMatrix grid(diag, 1, rows, cols, rows);
  for (int r = 1; r <= rows; ++r)
    for (int c = 0; c <= cols; ++c) grid[r][c] = value;
  return grid;
}

void SetGeometry(modelobject& object, int ncols, int nrows, double xll, double yll, double cellsize,
                 double nodata) {
  object.ncols = ncols;
  object.nrows = nrows;
  object.xll = xll;
  object.yll = yll;
  object.cellsize = cellsize;
  object.nodata = nodata;
}

bool SameRecords(const std::vector<MpiStripRecord>& a, const std::vector<MpiStripRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].row != b[i].row || a[i].first_col != b[i].first_col || a[i].count != b[i].count ||
        a[i].peer != b[i].peer)
      return false;
  return true;
}

}  // namespace velorn::test

// Helpers that the unit and MPI tests share: the code a call throws, a diagnostics stream with
// its screen output captured (as a member, a base or a fixture), grids built from literal rows
// or a fill value, the model grid of a model object and the comparison of strip lists.
//
// Linked into every test binary through velorn_test_support (not into the whole-model tests,
// which do not link the model library). Everything here runs on the calling process only.
// Includes the file and process helpers (test_files.h, test_mpi.h), so a test needs this one.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/matrix.h"
#include "grids/mpi_layout.h"
#include "tests/support/test_files.h"
#include "tests/support/test_mpi.h"

namespace velorn {
class modelobject;
}

namespace velorn::test {

// The code of the ErrorCode that `call` throws, or `none` when it returns without one.
int ThrownCode(const std::function<void()>& call, int none = -1);

// A diagnostics stream at the debug threshold writing "diag.xml" (with the rank inserted) into
// a fresh directory of this process, or into the directory given (such as TempDir::Shared()),
// with what it shows on the screen kept in `screen`.
struct CapturedDiag {
  CapturedDiag() = default;
  explicit CapturedDiag(TempDir directory) : dir(std::move(directory)) {}

  // The diagnostics file as written so far.
  std::string DiagFile() const;
  bool ScreenHas(const std::string& text) const;
  // True when the file holds an entry of this level with exactly this description.
  bool HasEntry(int level, const std::string& description) const;
  bool HasFatal(const std::string& description) const { return HasEntry(kLevelFatal, description); }

  TempDir dir;
  std::ostringstream screen;
  DiagnosticStream diag{dir / "diag.xml", kLevelDebug, screen};
};

// The same stream as protected members of a test fixture class.
class DiagTest : public ::testing::Test {
 protected:
  DiagTest() = default;
  explicit DiagTest(TempDir directory) : dir_(std::move(directory)) {}

  bool ScreenHas(const std::string& text) const {
    return screen_.str().find(text) != std::string::npos;
  }

  TempDir dir_;
  std::ostringstream screen_;
  DiagnosticStream diag_{dir_ / "diag.xml", kLevelDebug, screen_};
};

// A whole grid of rows.size() rows and rows.front().size() columns holding `rows`, top row
// first.
GridMatrix MakeGrid(DiagnosticStream& diag, const std::vector<std::vector<double>>& rows);

// A whole grid of `rows` x `cols` cells with every cell, column 0 included, set to `value`.
GridMatrix FilledGrid(DiagnosticStream& diag, int rows, int cols, double value);

// Sets the model grid of `object`: size, lower-left corner, cell size and nodata value.
void SetGeometry(modelobject& object, int ncols, int nrows, double xll, double yll, double cellsize,
                 double nodata);

// True when both strip lists hold the same records in the same order.
bool SameRecords(const std::vector<MpiStripRecord>& a, const std::vector<MpiStripRecord>& b);

}  // namespace velorn::test

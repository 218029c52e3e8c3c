// The zone statistics tables do not depend on the number of processes: a table whose cells are
// spread over all processes writes the same file, byte for byte, as one whose cells are all
// added on process 0, for every mode. Values are tenths (not exact in binary), and two cells of
// zone 1 with the same weight carry +1e17 and -1e17: a plain sum in the order of the processes
// would lose the small values between them differently on every process count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/zone_statistics.h"
#include "tests/support/test_helpers.h"
#include "tests/support/zone_table.h"

namespace velorn {
namespace {

constexpr int kRows = 9;
constexpr int kCols = 4;

// Zone index of a cell: 1..3 (zone 4 gets no cell).
int ZoneOf(int r, int c) {
  return 1 + (r * c) % 3;
}

// Cells (1, 3) and (9, 3) lie in zone 1 with weight 1: their values cancel exactly.
double Huge(int r, int c) {
  if (c != 3) return 0.0;
  return r == 1 ? 1e17 : r == kRows ? -1e17 : 0.0;
}

TEST(ZoneStatisticsAcrossProcesses, FilesAreIdenticalToThoseOfOneProcess) {
  test::CapturedDiag captured(test::TempDir::Shared());
  DiagnosticStream& diag = captured.diag;
  GridMatrix weights(diag, 1, kRows, kCols, kRows);
  const double pattern[4] = {1.0, 0.5, 2.0, -9999.0};
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) weights[r][c] = pattern[(r + c) % 4];

  struct Case {
    int code;
    std::vector<int> listed;
  };
  const std::vector<Case> cases = {{1002, {}},   {2002, {}},       {3003, {}}, {4003, {}},
                                   {5002, {20}}, {6001, {10, 40}}, {2001, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    std::string names[2] = {captured.dir / ("spread_" + std::to_string(c.code)),
                            captured.dir / ("single_" + std::to_string(c.code))};
    for (int single = 0; single <= 1; ++single) {
      auto records = test::MakeZoneTable({10, 20, 30, 40}, {0.25, 0.25, 0.5, 0.0});
      auto list = test::OutputList(c.listed);
      int error = -1;
      zonalstatistic table(error, &diag, weights.get(), kRows, kCols, records.data(), 4, c.code, 3,
                           names[single], "", static_cast<int32_t>(c.listed.size()), list.data());
      ASSERT_EQ(error, 0);
      table.WriteHeader("test", "spread", nullptr, 0);
      for (int t = 1; t <= 6; ++t) {
        table.ResetZoneSums();
        for (int r = 1; r <= kRows; ++r) {
          const bool mine = single ? test::Rank() == 0 : (r - 1) % test::Size() == test::Rank();
          if (!mine) continue;
          for (int col = 1; col <= kCols; ++col)
            table.AddValue(r, col, ZoneOf(r, col), 0.1 * (r + 2 * col + t) + Huge(r, col),
                           col == 2 ? 0.5 : 1.0);
        }
        table.CollectStep(2010, 6, t, 24, 1);
      }
      table.ReleaseMemory();
    }
    if (test::Rank() == 0) {
      const std::string spread = test::ReadFile(names[0]);
      EXPECT_EQ(spread, test::ReadFile(names[1]));
      EXPECT_GE(test::SplitLines(spread).size(), 3u + 2u);
    }
  }
}

}  // namespace
}  // namespace velorn

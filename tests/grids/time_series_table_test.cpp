// TimeSeriesTable: header counting, block sizes, reading across blocks, the cursor and the
// refusal of rows, buffers and cursors that would read outside the data.
#include "grids/time_series_table.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

// A table of `rows` hourly rows from 2001-01-01 00h with values r, 10 r, 100 r (r from 1).
std::string HourlyRows(int rows) {
  std::string text;
  for (int r = 1; r <= rows; ++r)
    text += "2001 1 " + std::to_string(1 + (r - 1) / 24) + " " + std::to_string((r - 1) % 24) +
            " " + std::to_string(r) + " " + std::to_string(10 * r) + " " + std::to_string(100 * r) +
            "\n";
  return text;
}

class TimeSeriesTableTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    const std::string path = dir_ / "table.txt";
    test::WriteFile(path, text);
    return path;
  }
  test::TempDir dir_;
};

TEST_F(TimeSeriesTableTest, CountsHeaderLinesColumnsAndRowsPerBlock) {
  struct Case {
    std::string header;
    int64_t buffer;
    int headers;
    int64_t block;
  };
  // 3 values: a row counts 8 * 3 + 16 = 40 bytes.
  const Case cases[] = {
      {"discharge table\n year month day hour q1 q2 q3\n", 1000, 2, 25},
      {"", 1000, 0, 25},
      {"  blank-led header\n", 79, 1, 1},
  };
  for (const Case& c : cases) {
    TimeSeriesTable table;
    EXPECT_EQ(table.Open(Write(c.header + HourlyRows(3)), 0, c.buffer), c.headers) << c.header;
    EXPECT_EQ(table.columns(), 3);
    EXPECT_EQ(table.block_size(), c.block);
    int32_t y, m, d, h;
    ASSERT_TRUE(table.GetDate(y, m, d, h));
    EXPECT_EQ(y * 1000000 + m * 10000 + d * 100 + h, 2001010100);
    EXPECT_EQ(table.GetValue(2), 100.0);
    // A second Open of an opened table has no effect.
    EXPECT_EQ(table.Open("elsewhere.txt", 0, 1000), 0);
    EXPECT_EQ(table.file_name(), dir_ / "table.txt");
  }
}

// 60 rows in blocks of 25 arrive as 25 + 25 + 10 without a gap; 50 rows fill exactly two
// blocks, and the step past the last row ends in kTablePastEnd, not on a row of an empty block.
TEST_F(TimeSeriesTableTest, ReadsEveryRowAcrossBlocksAndStopsPastTheLast) {
  for (int rows : {60, 50, 7}) {
    TimeSeriesTable table(Write("header\n" + HourlyRows(rows)), 0, 1000);
    int read = 0;
    int32_t y, m, d, h;
    while (table.state() <= kTableLastBlock && table.GetDate(y, m, d, h)) {
      ++read;
      ASSERT_EQ(table.GetValue(0), read) << rows;
      ASSERT_EQ(table.GetValue(1), 10.0 * read);
      ASSERT_EQ(d * 24 + h, 24 + (read - 1)) << "day and hour of row " << read;
      EXPECT_EQ(table.state(), read <= rows / 25 * 25 ? kTableMoreRows : kTableLastBlock)
          << "row " << read << " of " << rows;
      table.NextRow();
    }
    EXPECT_EQ(read, rows);
    EXPECT_EQ(table.state(), kTablePastEnd);
    EXPECT_EQ(table.error_line(), 0);
  }
}

TEST_F(TimeSeriesTableTest, CursorMovesStayWithinTheBlockAndGettersOnlyReadRows) {
  TimeSeriesTable table(Write(HourlyRows(4)), 0, 1000);
  ASSERT_EQ(table.rows_in_block(), 4);
  struct Move {
    bool seek;  // SeekRow(arg), else MoveRow(arg)
    int64_t arg;
    int64_t cursor;
    double value0;  // -9999: no row under the cursor
  };
  const Move moves[] = {
      {true, 2, 2, 3},        {false, 1, 3, 4},    {false, 1, 4, -9999},   // one past the last
      {false, 1, 4, -9999},   {true, 5, 4, -9999}, {true, -1, -1, -9999},  // before the first
      {false, -1, -1, -9999}, {false, 1, 0, 1},    {false, 4, 4, -9999},
  };
  for (const Move& move : moves) {
    move.seek ? table.SeekRow(move.arg) : table.MoveRow(move.arg);
    EXPECT_EQ(table.current_row(), move.cursor) << (move.seek ? "seek " : "move ") << move.arg;
    EXPECT_EQ(table.GetValue(0), move.value0) << "at " << move.cursor;
    int32_t y, m, d, h;
    EXPECT_EQ(table.GetDate(y, m, d, h), move.value0 != -9999);
    if (move.value0 == -9999) {
      EXPECT_EQ(y, -9999);
    }
  }
  table.SeekRow(0);
  EXPECT_EQ(table.GetValue(-1), -9999.0);
  EXPECT_EQ(table.GetValue(3), -9999.0);
}

TEST_F(TimeSeriesTableTest, BadFilesEndInAStateOrCodeNeverInShiftedRows) {
  struct Case {
    std::string text;
    int64_t buffer;
    int thrown;        // code thrown by Open, -1: none
    int32_t state;     // state after Open
    int64_t rows;      // rows in the first block
    int64_t bad_line;  // error_line()
  };
  const std::string header = "year month day hour q1 q2\n";
  const Case cases[] = {
      // A missing value on line 3 (the second data row) stops the block there.
      {header + "2001 1 1 0 1 2\n2001 1 1 1 5\n2001 1 1 2 7 8\n", 1000, -1, kTableReadError, 0, 3},
      // A value too many also means the rows are not what the first row said.
      {header + "2001 1 1 0 1 2\n\n2001 1 1 1 5 6 9\n", 1000, -1, kTableReadError, 0, 4},
      // Blank lines and a CRLF end are no faults; a last line under 10 bytes is not read.
      {header + "2001 1 1 0 1 2\r\n\n2001 1 1 1 3 4\n1 2 3 4\n", 1000, -1, kTableLastBlock, 2, 0},
      // 2 values: 32 bytes per row; a smaller buffer could never hold a row.
      {header + "2001 1 1 0 1 2\n", 31, kTableBufferTooSmallCode, kTableNotOpened, 0, 0},
      {header + "2001 1 1 0 1 2\n", 0, kTableBufferTooSmallCode, kTableNotOpened, 0, 0},
      {header + "2001 1 x 0 1 2\n", 1000, kTableFirstRowCode, kTableNotOpened, 0, 2},
      {header, 1000, -1, kTableReadError, 0, 2},
  };
  for (const Case& c : cases) {
    TimeSeriesTable table;
    const int code = test::ThrownCode([&] { table.Open(Write(c.text), 0, c.buffer); });
    EXPECT_EQ(code, c.thrown) << c.text;
    EXPECT_EQ(table.state(), c.state) << c.text;
    EXPECT_EQ(table.rows_in_block(), c.rows) << c.text;
    EXPECT_EQ(table.error_line(), c.bad_line) << c.text;
    if (c.state == kTableReadError || c.thrown != -1) {
      EXPECT_FALSE(table.error_text().empty());
    }
    int32_t y, m, d, h;
    if (c.rows == 0) {
      EXPECT_FALSE(table.GetDate(y, m, d, h));
    }
  }
  TimeSeriesTable missing;
  EXPECT_EQ(missing.Open(dir_ / "absent.txt", 0, 1000), kTableCannotOpen);
  EXPECT_EQ(missing.state(), kTableCannotOpen);
}

}  // namespace
}  // namespace velorn

// TimeSeriesTable: a text table of dated rows (observed discharges, given inflows and
// abstractions of the discharge routing) read in blocks that fit a buffer of a given size, so a
// long table is never held in memory whole.
//
// File format: any number of header lines at the top whose first character is not a digit
// (skipped and counted), then one data row per line: year, month, day, hour (integers) followed
// by n decimal values, n being the count of numbers on the first data row. Blank lines between
// rows are skipped. The data end where fewer than 10 bytes remain after the last row read.
//
//   TimeSeriesTable table("inflow.txt", 0, 64000);      // opens and reads the first block
//   if (table.state() == kTableCannotOpen) ...           // the caller writes its own messages
//   int32_t y, m, d, h;
//   while (table.state() <= kTableLastBlock && table.GetDate(y, m, d, h)) {
//     double q = table.GetValue(0);                      // first value after the hour
//     table.NextRow();                                   // loads the next block when needed
//   }
//
// A block holds buffer bytes / (8 n + 16) rows. The cursor is 0-based within the block; SeekRow
// and MoveRow accept -1 (before the first row) up to the rows in the block, but GetDate and
// GetValue answer only on a row that holds data (-9999 otherwise). Every data row must hold
// exactly four integers and n numbers: a row that does not stops the block with state
// kTableReadError and error_line() names its line, so no row is ever shifted into the next.
// Open throws ErrorCode 202 (data position unknown), 201 (first data row unreadable) and 203
// (a buffer smaller than one row), without a diagnostics entry: the caller reports them, with
// error_text() describing the failure. No MPI; the file is open only while a block is read.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velorn {

// States of a table.
inline constexpr int32_t kTableNotOpened = 0;
inline constexpr int32_t kTableMoreRows = 1;    // block read, more rows may follow
inline constexpr int32_t kTableLastBlock = 2;   // the end of the file was reached in the block
inline constexpr int32_t kTableCannotOpen = 3;  // the file cannot be opened
inline constexpr int32_t kTablePastEnd = 4;     // the cursor went past the last row
inline constexpr int32_t kTableReadError = 5;   // a header or data row cannot be read

// Codes thrown by Open.
inline constexpr int kTableFirstRowCode = 201;
inline constexpr int kTableDataPositionCode = 202;
inline constexpr int kTableBufferTooSmallCode = 203;

// Value returned for a value or date that does not exist.
inline constexpr double kTableMissingValue = -9999.0;

class TimeSeriesTable {
 public:
  TimeSeriesTable() = default;
  // Stores the arguments and opens the file (see Open).
  TimeSeriesTable(const std::string& file_name, int32_t flag, int64_t buffer_bytes);
  TimeSeriesTable(const TimeSeriesTable&) = delete;
  TimeSeriesTable& operator=(const TimeSeriesTable&) = delete;
  ~TimeSeriesTable() { Clear(); }

  // Opens the file, skips and counts the header lines, takes the column count from the first
  // data row and reads the first block. Returns the number of header lines, or kTableCannotOpen
  // / kTableReadError (also the state) on failure; 0 without effect when already opened.
  int Open(const std::string& file_name, int32_t flag, int64_t buffer_bytes);
  // Reads the next block from the data position (cursor 0).
  void ReadNextBlock();
  // Cursor to r when -1 <= r <= rows in block; otherwise nothing.
  void SeekRow(int64_t r);
  // Cursor moved by d when the result lies in -1..rows in block; otherwise nothing.
  void MoveRow(int64_t d);
  // ReadNextBlock when more rows may follow.
  void Refill();
  // Advances the cursor; past the block's last row the next block is read (more rows may
  // follow) or the state becomes kTablePastEnd with the cursor left on the last row.
  void NextRow();
  // Date of the row under the cursor; false (and -9999 in every field) when the cursor is not
  // on a row of the block.
  bool GetDate(int32_t& year, int32_t& month, int32_t& day, int32_t& hour) const;
  // Value i (0-based) of the row under the cursor; -9999 for i outside 0..columns - 1 or a
  // cursor not on a row.
  double GetValue(int64_t i) const;
  // Frees the rows and buffers (the stream is closed after every block anyway).
  void Clear();

  int32_t state() const { return state_; }
  int64_t columns() const { return columns_; }
  int64_t block_size() const { return block_size_; }
  int64_t rows_in_block() const { return rows_in_block_; }
  int64_t current_row() const { return current_row_; }
  int32_t flag() const { return flag_; }
  const std::string& file_name() const { return file_name_; }
  // Line (1-based) of the row that stopped the last block with kTableReadError; 0 otherwise.
  int64_t error_line() const { return error_line_; }
  // What went wrong in the last failure, for the caller's message.
  const std::string& error_text() const { return error_text_; }

 private:
  // Steps of Open.
  int SkipHeader(std::istream& in);
  void ReadFirstRow(std::istream& in);
  void AllocateBlock();
  // One data row of `line` into block row `row`; false when it does not hold exactly four
  // integers and `columns_` numbers.
  bool ParseRow(const std::string& line, int64_t row);
  bool CursorOnRow() const { return current_row_ >= 0 && current_row_ < rows_in_block_; }
  void Fail(int32_t state, int64_t line, const std::string& text);

  std::string file_name_;
  int32_t flag_ = 0;
  int64_t buffer_bytes_ = 0;
  int64_t current_row_ = 0;
  int64_t rows_in_block_ = 0;
  int64_t block_size_ = 0;
  int64_t columns_ = 0;
  int64_t file_end_ = 0;
  int64_t data_position_ = 0;
  int64_t data_line_ = 0;  // line number of the data position
  int32_t state_ = kTableNotOpened;
  int64_t error_line_ = 0;
  std::string error_text_;
  // Block rows: dates[r] = year, month, day, hour; values[r * columns + i].
  std::vector<std::array<int64_t, 4>> dates_;
  std::vector<double> values_;
};

}  // namespace velorn

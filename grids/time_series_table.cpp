// TimeSeriesTable: header skipping, the first data row, block reading and the cursor.
#include "grids/time_series_table.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string_view>

#include "core/control_file_reader.h"
#include "core/error_code.h"

namespace velorn {
namespace {

// Rows end where fewer bytes than this remain in the file.
constexpr int64_t kMinRowBytes = 10;
// Bytes of a row in the block-size estimate: 16 of date plus 8 per value.
constexpr int64_t kDateBytes = 16;
constexpr int64_t kValueBytes = 8;

bool IsBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

}  // namespace

TimeSeriesTable::TimeSeriesTable(const std::string& file_name, int32_t flag, int64_t buffer_bytes) {
  Open(file_name, flag, buffer_bytes);
}

void TimeSeriesTable::Fail(int32_t state, int64_t line, const std::string& text) {
  state_ = state;
  error_line_ = line;
  error_text_ = text;
}

int TimeSeriesTable::Open(const std::string& file_name, int32_t flag, int64_t buffer_bytes) {
  if (state_ != kTableNotOpened) return 0;
  file_name_ = file_name;
  flag_ = flag;
  buffer_bytes_ = buffer_bytes;
  errno = 0;
  std::ifstream in(file_name, std::ios::binary);
  if (!in) {
    Fail(kTableCannotOpen, 0, "the file cannot be opened" + SystemReason(ErrnoOrIo()));
    return kTableCannotOpen;
  }
  const int headers = SkipHeader(in);
  if (headers < 0) return kTableReadError;
  const std::streampos position = in.tellg();
  if (!in || position < 0) {
    error_text_ = "the position of the first data row is not available";
    throw ErrorCode{kTableDataPositionCode};
  }
  data_position_ = static_cast<int64_t>(position);
  data_line_ = headers + 1;
  ReadFirstRow(in);
  in.clear();
  in.seekg(0, std::ios::end);
  file_end_ = static_cast<int64_t>(in.tellg());
  in.close();
  AllocateBlock();
  state_ = kTableMoreRows;
  ReadNextBlock();
  return headers;
}

// Lines whose first character is not a digit are header lines; -1 (state kTableReadError)
// when the stream fails before the first data row.
int TimeSeriesTable::SkipHeader(std::istream& in) {
  int headers = 0;
  std::string line;
  while (!std::isdigit(in.peek())) {
    if (!std::getline(in, line)) {
      Fail(kTableReadError, headers + 1, "no data row follows the header lines");
      return -1;
    }
    ++headers;
  }
  return headers;
}

// The column count is the number of values that follow the date on the first data row.
void TimeSeriesTable::ReadFirstRow(std::istream& in) {
  std::string line;
  std::getline(in, line);
  std::size_t pos = 0;
  long date = 0;
  for (int i = 0; i < 4; ++i) {
    if (!ScanValue(line, pos, date)) {
      Fail(kTableNotOpened, data_line_, "the first data row does not begin with a date");
      throw ErrorCode{kTableFirstRowCode};
    }
  }
  double value = 0;
  columns_ = 0;
  while (ScanValue(line, pos, value)) ++columns_;
}

// A buffer that cannot hold one row would give blocks of no rows, which a reader moving row by
// row would request again and again; it is refused. Storage is bounded by the rows the rest of
// the file can hold (each takes at least two bytes per number), not only by the buffer.
void TimeSeriesTable::AllocateBlock() {
  const int64_t row_bytes = kValueBytes * columns_ + kDateBytes;
  block_size_ = buffer_bytes_ > 0 ? buffer_bytes_ / row_bytes : 0;
  if (block_size_ < 1) {
    error_text_ = "the buffer of " + std::to_string(buffer_bytes_) +
                  " bytes cannot hold one row of " + std::to_string(row_bytes) + " bytes";
    throw ErrorCode{kTableBufferTooSmallCode};
  }
  const int64_t file_rows = (file_end_ - data_position_) / (2 * (4 + columns_)) + 1;
  const int64_t capacity = std::min(block_size_, file_rows);
  dates_.assign(static_cast<std::size_t>(capacity), {0, 0, 0, 0});
  values_.assign(static_cast<std::size_t>(capacity * columns_), 0.0);
  rows_in_block_ = block_size_;
}

bool TimeSeriesTable::ParseRow(const std::string& line, int64_t row) {
  std::size_t pos = 0;
  auto& date = dates_[static_cast<std::size_t>(row)];
  for (int i = 0; i < 4; ++i) {
    long part = 0;
    if (!ScanValue(line, pos, part)) return false;
    date[static_cast<std::size_t>(i)] = part;
  }
  double* values = values_.data() + row * columns_;
  for (int64_t i = 0; i < columns_; ++i)
    if (!ScanValue(line, pos, values[i])) return false;
  return IsBlank(std::string_view(line).substr(pos));
}

void TimeSeriesTable::ReadNextBlock() {
  int64_t counter = 0;
  current_row_ = 0;
  errno = 0;
  std::ifstream in(file_name_, std::ios::binary);
  const int open_error = in ? 0 : ErrnoOrIo();
  if (in) in.seekg(data_position_);
  if (!in) {
    rows_in_block_ = 0;
    Fail(kTableReadError, data_line_,
         "the file cannot be opened again for the next block" + SystemReason(open_error));
    return;
  }
  const auto capacity = static_cast<int64_t>(dates_.size());
  int64_t line_number = data_line_;
  std::string line;
  bool at_end = false;
  while (true) {
    if (counter >= block_size_ || counter >= capacity) {
      state_ = kTableMoreRows;
      break;
    }
    if (file_end_ - static_cast<int64_t>(in.tellg()) < kMinRowBytes) {
      at_end = true;
      break;
    }
    if (!std::getline(in, line)) {
      at_end = true;
      break;
    }
    if (IsBlank(line)) {
      ++line_number;
      continue;
    }
    if (!ParseRow(line, counter)) {
      rows_in_block_ = 0;
      Fail(kTableReadError, line_number,
           "line " + std::to_string(line_number) + " does not hold a date and " +
               std::to_string(columns_) + " values");
      return;
    }
    ++line_number;
    ++counter;
  }
  if (at_end) state_ = kTableLastBlock;
  rows_in_block_ = counter;
  current_row_ = 0;
  in.clear();
  data_position_ = static_cast<int64_t>(in.tellg());
  data_line_ = line_number;
}

void TimeSeriesTable::SeekRow(int64_t r) {
  if (r >= -1 && r <= rows_in_block_) current_row_ = r;
}

void TimeSeriesTable::MoveRow(int64_t d) {
  const int64_t target = current_row_ + d;
  if (target >= -1 && target <= rows_in_block_) current_row_ = target;
}

void TimeSeriesTable::Refill() {
  if (state_ == kTableMoreRows) ReadNextBlock();
}

// A block that was full may still be the last one: the next block then comes back empty, and
// the table is past its last row rather than on a row that does not exist.
void TimeSeriesTable::NextRow() {
  if (current_row_ < rows_in_block_ - 1) {
    ++current_row_;
    return;
  }
  if (state_ == kTableMoreRows) {
    ReadNextBlock();
    if (state_ == kTableLastBlock && rows_in_block_ == 0) state_ = kTablePastEnd;
  } else if (state_ == kTableLastBlock) {
    state_ = kTablePastEnd;
  }
}

bool TimeSeriesTable::GetDate(int32_t& year, int32_t& month, int32_t& day, int32_t& hour) const {
  if (!CursorOnRow()) {
    year = month = day = hour = static_cast<int32_t>(kTableMissingValue);
    return false;
  }
  const auto& date = dates_[static_cast<std::size_t>(current_row_)];
  year = static_cast<int32_t>(date[0]);
  month = static_cast<int32_t>(date[1]);
  day = static_cast<int32_t>(date[2]);
  hour = static_cast<int32_t>(date[3]);
  return true;
}

double TimeSeriesTable::GetValue(int64_t i) const {
  if (i < 0 || i >= columns_ || !CursorOnRow()) return kTableMissingValue;
  return values_[static_cast<std::size_t>(current_row_ * columns_ + i)];
}

void TimeSeriesTable::Clear() {
  dates_.clear();
  dates_.shrink_to_fit();
  values_.clear();
  values_.shrink_to_fit();
}

}  // namespace velorn

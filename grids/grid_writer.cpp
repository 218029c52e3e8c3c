// modelobject::WriteGrid and modelobject::WriteGridMasked: one grid to one file, as a netCDF
// time slice, an ASCII grid or a binary grid of double or single precision.
//
// No MPI: the output of registered grids gathers a grid on process 0 by blocks of rows and hands
// the rows to modelobject::WriteGridRows, which WriteGrid and WriteGridMasked call with the rows
// of a grid. Rows that the caller does not hold (null row pointers) are written as the model's
// nodata value. Binary headers carry count, minimum, maximum, sum, mean and standard deviation of
// the written cells, weighted with the relative cell area "RelCellArea" when the object holds it.
// SIGINT is ignored while a file is open. A file that cannot be written completely is removed,
// so no truncated grid is left behind for a later run to read.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/modelobject.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "grids/grid_formats.h"
#include "grids/netcdf_grid_writer.h"
#include "grids/netcdf_names.h"

namespace velorn {
namespace {

using RowSource = std::function<double*(int32_t)>;

// Byte offsets of the six statistics values in a binary header.
constexpr long kDoubleStatisticsOffset = 6 * sizeof(double);
constexpr long kSingleStatisticsOffset = 6 * sizeof(float);

// An output file that is removed again unless it was written and closed without error. Only
// regular files are removed (never a device such as /dev/null).
class OutputFile {
 public:
  OutputFile(modelobject& owner, DiagnosticStream& diag, std::string name, const char* mode,
             const char* mode_text)
      : owner_(owner), diag_(diag), name_(std::move(name)) {
    errno = 0;
    file_ = OpenOutputFile(name_, mode);
    if (file_ == nullptr)
      ThrowFatal(diag_, kOutputCreateCode, "FATAL: error creating ", name_, " for writing in ",
                 mode_text, " mode", SystemReason(ErrnoOrIo()), ".");
    struct stat info {};
    regular_ = fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode);
  }
  ~OutputFile() { Discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, std::size_t size, std::size_t count) {
    errno = 0;
    if (std::fwrite(data, size, count, file_) != count) Fail(errno);
  }
  void Write(const std::string& text) { Write(text.data(), 1, text.size()); }
  void Seek(long offset) {
    errno = 0;
    if (std::fseek(file_, offset, SEEK_SET) != 0) Fail(errno);
  }
  void Close() {
    // What stdio still holds goes out first: a failure there is a failed write (a full disk).
    errno = 0;
    if (std::fflush(file_) != 0) Fail(errno);
    std::FILE* file = file_;
    file_ = nullptr;
    const int error = CloseChecked(file);
    if (error != 0) {
      Remove();
      ThrowFatal(diag_, kOutputCloseCode, "FATAL: error closing ", name_, SystemReason(error));
    }
  }

 private:
  // The model's write-error entry ends with the system's reason.
  [[noreturn]] void Fail(int error) {
    Discard();
    owner_.ReportWriteError(name_, kWriteErrorCode, SystemReason(error == 0 ? EIO : error));
    throw ErrorCode{kWriteErrorCode};  // in case an override returns
  }
  void Discard() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
    Remove();
  }
  void Remove() {
    if (regular_) std::remove(name_.c_str());
  }

  modelobject& owner_;
  DiagnosticStream& diag_;
  std::string name_;
  std::FILE* file_ = nullptr;
  bool regular_ = false;
};

// First and last column of a row in the model domain (clamped to 1..ncols); the whole row when
// the object has no column ranges. Empty when last < first.
ColumnRange RangeOf(const modelobject& owner, int32_t row) {
  if (owner.column_ranges == nullptr) return {1, owner.ncols};
  ColumnRange range = owner.column_ranges[row];
  if (range.last < 1) return {0, -1};
  range.first = std::max(range.first, 1);
  range.last = std::min(range.last, owner.ncols);
  return range;
}

double WeightOf(const modelobject& owner, int32_t row, int32_t col) {
  if (owner.relative_cell_area == nullptr || owner.relative_cell_area[row] == nullptr) return 1.0;
  return owner.relative_cell_area[row][col];
}

// Cells of a held row outside its column range become nodata (the whole row when the range is
// empty).
void MaskRow(const modelobject& owner, double* row, const ColumnRange& range) {
  for (int32_t c = 1; c <= owner.ncols; ++c)
    if (c < range.first || c > range.last) row[c] = owner.nodata;
}

GridGeometry GeometryOf(const modelobject& owner) {
  return {owner.ncols, owner.nrows, owner.xll, owner.yll, owner.cellsize, owner.nodata};
}

// Column-major copy (column outer, row inner, top row first) with nodata for rows not held.
template <class T>
std::vector<T> ColumnMajor(const modelobject& owner, const RowSource& grid) {
  const auto rows = static_cast<std::size_t>(owner.nrows);
  std::vector<T> values(rows * static_cast<std::size_t>(owner.ncols));
  for (int32_t i = 1; i <= owner.nrows; ++i) {
    const double* row = grid(i);
    for (int32_t j = 1; j <= owner.ncols; ++j)
      values[static_cast<std::size_t>(j - 1) * rows + static_cast<std::size_t>(i - 1)] =
          static_cast<T>(row != nullptr ? row[j] : owner.nodata);
  }
  return values;
}

// The grid of a registered "latitude" or "longitude" in column-major order, or nothing.
std::vector<double> CoordinateGrid(modelobject& owner, const char* identifier) {
  if (owner.registry == nullptr) return {};
  const int index = owner.registry->Find(identifier, 0);
  if (index == 0 || (*owner.registry)[index].grid == nullptr) return {};
  double** grid = (*owner.registry)[index].grid;
  return ColumnMajor<double>(owner, [grid](int32_t row) { return grid[row]; });
}

void WriteNetcdfSlice(modelobject& owner, DiagnosticStream& diag, const std::string& name,
                      const RowSource& grid, bool double_precision) {
  if (!owner.netcdf_writer) owner.netcdf_writer = std::make_shared<NetcdfGridWriter>(diag);
  NetcdfGridWriter& writer = *owner.netcdf_writer;
  writer.SetGeoReference(owner.xll, owner.yll, owner.cellsize);
  std::string file_name;
  std::string variable;
  MakeNetcdfFileName(file_name, name);
  StripNetcdfVariableName(variable, name);
  const std::vector<double> latitude = CoordinateGrid(owner, "latitude");
  const std::vector<double> longitude = CoordinateGrid(owner, "longitude");
  writer.SetLatitudeGrid(latitude.empty() ? nullptr : latitude.data());
  writer.SetLongitudeGrid(longitude.empty() ? nullptr : longitude.data());
  if (double_precision) {
    const std::vector<double> values = ColumnMajor<double>(owner, grid);
    writer.WriteGrid(true, values.data(), nullptr, file_name, variable, owner.nrows, owner.ncols,
                     owner.nodata);
  } else {
    const std::vector<float> values = ColumnMajor<float>(owner, grid);
    writer.WriteGrid(false, nullptr, values.data(), file_name, variable, owner.nrows, owner.ncols,
                     owner.nodata);
  }
}

// ASCII: WriteGrid writes values with "%g", WriteGridMasked masks held rows first and writes
// with "%lg" (the same text for a double); rows not held are the nodata value in the same
// format. The grids of a state (written while the state's files are recorded) take "%.17g",
// which reads back to the same double, so that a warm start continues the run it ends.
// AppendGeneral writes that text without printf, which would bound the write rate.
void WriteAscii(modelobject& owner, DiagnosticStream& diag, const std::string& name,
                const RowSource& grid, bool masked) {
  OutputFile file(owner, diag, name, "w", "text");
  file.Write(FormatAsciiHeader(GeometryOf(owner)));
  std::string nodata_row;
  for (int32_t c = 1; c <= owner.ncols; ++c) {
    if (c > 1) nodata_row += '\t';
    AppendGeneral(nodata_row, owner.nodata);
  }
  nodata_row += '\n';
  std::string line;
  const int digits = RecordingWrites() ? 17 : 6;
  for (int32_t r = 1; r <= owner.nrows; ++r) {
    double* row = grid(r);
    if (row == nullptr) {
      file.Write(nodata_row);
      continue;
    }
    if (masked) MaskRow(owner, row, RangeOf(owner, r));
    line.clear();
    for (int32_t c = 1; c <= owner.ncols; ++c) {
      if (c > 1) line += '\t';
      AppendGeneral(line, row[c], digits);
    }
    line += '\n';
    file.Write(line);
  }
  file.Close();
}

// Adds a held row to the statistics: the cells of its column range with their area weights,
// or, for a row without domain cells, every cell with weight 1 (WriteGrid; WriteGridMasked has
// set such a row to nodata, which does not count).
void AddRowToStatistics(modelobject& owner, int32_t r, const double* row,
                        const ColumnRange& range) {
  if (range.last >= range.first) {
    for (int32_t c = range.first; c <= range.last; ++c)
      owner.AddToStatistics(row[c], WeightOf(owner, r, c));
  } else {
    for (int32_t c = 1; c <= owner.ncols; ++c) owner.AddToStatistics(row[c], 1.0);
  }
}

template <class T>
void WriteBinaryRows(modelobject& owner, OutputFile& file, const RowSource& grid, bool masked) {
  const auto count = static_cast<std::size_t>(owner.ncols);
  std::vector<T> buffer(count);
  for (int32_t r = 1; r <= owner.nrows; ++r) {
    double* row = grid(r);
    if (row == nullptr) {
      std::fill(buffer.begin(), buffer.end(), static_cast<T>(owner.nodata));
    } else {
      const ColumnRange range = RangeOf(owner, r);
      if (masked) MaskRow(owner, row, range);
      AddRowToStatistics(owner, r, row, range);
      std::transform(row + 1, row + owner.ncols + 1, buffer.begin(),
                     [](double value) { return static_cast<T>(value); });
    }
    file.Write(buffer.data(), sizeof(T), count);
  }
}

template <class T>
void WriteBinaryValues(OutputFile& file, const double* values, int count) {
  std::vector<T> converted(values, values + count);
  file.Write(converted.data(), sizeof(T), converted.size());
}

void WriteBinary(modelobject& owner, DiagnosticStream& diag, const std::string& name,
                 const RowSource& grid, bool double_precision, bool masked) {
  OutputFile file(owner, diag, name, "wb", "binary");
  std::array<double, kBinaryHeaderValues>& header = owner.grid_header;
  header = {static_cast<double>(owner.ncols),
            static_cast<double>(owner.nrows),
            owner.xll,
            owner.yll,
            owner.cellsize,
            owner.nodata,
            0,
            0,
            0,
            0,
            0,
            0};
  if (double_precision)
    WriteBinaryValues<double>(file, header.data(), kBinaryHeaderValues);
  else
    WriteBinaryValues<float>(file, header.data(), kBinaryHeaderValues);
  owner.ResetStatistics(owner.nodata);
  if (double_precision)
    WriteBinaryRows<double>(owner, file, grid, masked);
  else
    WriteBinaryRows<float>(owner, file, grid, masked);
  owner.GetStatistics(header[6], header[7], header[8], header[9], header[10], header[11]);
  file.Seek(double_precision ? kDoubleStatisticsOffset : kSingleStatisticsOffset);
  if (double_precision)
    WriteBinaryValues<double>(file, header.data() + 6, 6);
  else
    WriteBinaryValues<float>(file, header.data() + 6, 6);
  file.Close();
}

// A grid that holds NaN or an infinite value is written as it is, but the first time with a
// WARNING naming it and the step: a run must not end "successfully" with such values unnoticed.
// Rows are checked as they are handed to the writer, before any masking.
class NonFiniteCheck {
 public:
  NonFiniteCheck(modelobject& owner, DiagnosticStream& diag, const std::string& name, double** grid)
      : owner_(owner),
        diag_(diag),
        name_(name),
        grid_(grid),
        done_(grid == nullptr || owner.grids_with_non_finite_values.count(grid) > 0) {}
  void Check(int32_t r, const double* row) {
    if (done_ || row == nullptr) return;
    for (int32_t c = 1; c <= owner_.ncols; ++c) {
      if (std::isfinite(row[c])) continue;
      owner_.grids_with_non_finite_values.insert(grid_);
      done_ = true;
      const ModelDate& d = owner_.step_date;
      diag_ << "WARNING: the grid " << name_ << " of " << owner_.module_name << " holds "
            << FormatText("%g", row[c]) << ", no finite number, at row " << r << ", column " << c
            << " in the step " << d.day << "." << d.month << "." << d.year << " " << d.hour
            << ". h (reported once per grid)[end-entry]";
      return;
    }
  }

 private:
  modelobject& owner_;
  DiagnosticStream& diag_;
  const std::string& name_;
  double** grid_;
  bool done_;
};

void WriteGridFile(modelobject& owner, DiagnosticStream& diag, const std::string& fileName,
                   const RowSource& rows, double** grid, bool asciiFlag, bool doubleFlag,
                   bool netcdfFlag, bool masked) {
  SigintIgnoredScope sigint_ignored;
  NonFiniteCheck check(owner, diag, fileName, grid);
  const RowSource checked = [&](int32_t r) {
    double* row = rows(r);
    check.Check(r, row);
    return row;
  };
  std::string name = fileName;
  owner.PrefixDirectory(owner.output_directory, name);
  if (netcdfFlag)
    WriteNetcdfSlice(owner, diag, name, checked, doubleFlag);
  else if (asciiFlag)
    WriteAscii(owner, diag, name, checked, masked);
  else
    WriteBinary(owner, diag, name, checked, doubleFlag, masked);
}

}  // namespace

void modelobject::WriteGrid(const std::string& fileName, double** grid, bool asciiFlag,
                            bool doubleFlag, bool netcdfFlag) {
  WriteGridRows(
      fileName, [grid](int32_t row) { return grid[row]; }, grid, asciiFlag, doubleFlag, netcdfFlag,
      false);
}

void modelobject::WriteGridMasked(const std::string& fileName, double** grid, bool asciiFlag,
                                  bool doubleFlag, bool netcdfFlag) {
  WriteGridRows(
      fileName, [grid](int32_t row) { return grid[row]; }, grid, asciiFlag, doubleFlag, netcdfFlag,
      true);
}

void modelobject::WriteGridRows(const std::string& fileName,
                                const std::function<double*(int32_t)>& rows, double** grid,
                                bool asciiFlag, bool doubleFlag, bool netcdfFlag, bool masked) {
  WriteGridFile(*this, Diag(), fileName, rows, grid, asciiFlag, doubleFlag, netcdfFlag, masked);
}

}  // namespace velorn

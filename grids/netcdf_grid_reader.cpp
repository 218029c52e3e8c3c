// NetcdfGridReader: one time slice of a netCDF variable as a grid (see the header).
#include "grids/netcdf_grid_reader.h"

#include <netcdf.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <netcdf>
#include <new>
#include <string>
#include <vector>

#include "core/error_code.h"

namespace velorn {

namespace {

using netCDF::NcDim;
using netCDF::NcFile;
using netCDF::NcVar;

constexpr int kInputNameErrorCode = 50;
constexpr int kTooManyFilesCode = 1100;
// The time index is read from at most this many characters after ">".
constexpr std::size_t kTimeIndexChars = 10;

// A read that cannot go on: the same entry as a failure inside the netCDF library.
[[noreturn]] void FailRead(DiagnosticStream& diag, const std::string& file_name,
                           const std::string& reason) {
  ThrowFatal(diag, kNetcdfErrorCode, "FATAL: exception occured when reading from netCDF file ",
             file_name, ". Internal message is: ", reason);
}

// Leading decimal number of `text` as atol reads it (blanks, sign, digits); 0 without digits.
std::int64_t ParseTimeIndex(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

// Columns and rows from the root dimensions, visited by ascending name: a name containing "x"
// gives the columns, else one containing "y" the rows; the last match wins.
void ReadGridSizes(DiagnosticStream& diag, const std::string& file_name, const NcFile& file,
                   int& rows, int& columns) {
  for (const auto& [name, dim] : file.getDims()) {
    const bool is_x = name.find('x') != std::string::npos;
    if (!is_x && name.find('y') == std::string::npos) continue;
    const std::size_t length = dim.getSize();
    if (length > static_cast<std::size_t>(INT_MAX))
      FailRead(diag, file_name, "dimension " + name + " is too long for a grid");
    (is_x ? columns : rows) = static_cast<int>(length);
  }
}

// How stored values turn into model values.
struct Unpacking {
  double scale = 1.0;
  double offset = 0.0;
  std::vector<double> missing;  // "missing_value", "_FillValue" or the default fill value
};

std::vector<double> NumericAttributeValues(const netCDF::NcVarAtt& att) {
  const auto type_class = att.getType().getTypeClass();
  if (type_class == NC_CHAR || type_class == NC_STRING || att.getAttLength() == 0) return {};
  std::vector<double> values(att.getAttLength());
  att.getValues(values.data());
  return values;
}

// Default fill value of the variable's type where the data conventions apply it (not to bytes).
bool DefaultFillValue(const NcVar& var, double& fill) {
  switch (var.getType().getId()) {
    case NC_FLOAT:
      fill = NC_FILL_FLOAT;
      return true;
    case NC_DOUBLE:
      fill = NC_FILL_DOUBLE;
      return true;
    case NC_SHORT:
      fill = NC_FILL_SHORT;
      return true;
    case NC_USHORT:
      fill = NC_FILL_USHORT;
      return true;
    case NC_INT:
      fill = NC_FILL_INT;
      return true;
    case NC_UINT:
      fill = NC_FILL_UINT;
      return true;
    default:
      return false;
  }
}

Unpacking ReadUnpacking(const NcVar& var) {
  Unpacking unpacking;
  bool has_fill_value = false;
  for (const auto& [name, att] : var.getAtts()) {
    if (name.find("scale_factor") != std::string::npos) {
      const auto values = NumericAttributeValues(att);
      if (!values.empty()) unpacking.scale = values.front();
    } else if (name.find("add_offset") != std::string::npos) {
      const auto values = NumericAttributeValues(att);
      if (!values.empty()) unpacking.offset = values.front();
    }
    if (name == "missing_value" || name == "_FillValue") {
      const auto values = NumericAttributeValues(att);
      unpacking.missing.insert(unpacking.missing.end(), values.begin(), values.end());
      has_fill_value = has_fill_value || name == "_FillValue";
    }
  }
  double fill = 0.0;
  if (!has_fill_value && DefaultFillValue(var, fill)) unpacking.missing.push_back(fill);
  return unpacking;
}

// Rows run south to north when the first value of "y" is not greater than the second, or when
// the file has no one-dimensional "y". The values are compared as they are: degrees of a
// geographic grid differ by less than one between rows.
bool RowsRunSouthToNorth(const NcFile& file) {
  const NcVar y = file.getVar("y");
  if (y.isNull() || y.getDimCount() != 1) return true;
  const std::size_t length = y.getDim(0).getSize();
  if (length < 2) return false;  // one row: nothing to reorder
  double first_two[2] = {0.0, 0.0};
  y.getVar({0}, {2}, first_two);
  return !(first_two[0] > first_two[1]);
}

// Stored values to model values: missing ones to nodata, the others unpacked. The comparison is
// made in the stored precision (T), where the missing values are exact.
template <class T>
void Unpack(const std::vector<T>& raw, const Unpacking& unpacking, double nodata,
            std::vector<double>& out) {
  std::vector<T> missing;
  bool nan_is_missing = false;
  for (double m : unpacking.missing) {
    if (std::isnan(m))
      nan_is_missing = true;
    else
      missing.push_back(static_cast<T>(m));
  }
  out.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const T value = raw[i];
    bool is_missing = nan_is_missing && std::isnan(value);
    for (std::size_t k = 0; k < missing.size() && !is_missing; ++k)
      is_missing = value == missing[k];
    out[i] = is_missing ? nodata : static_cast<double>(value) * unpacking.scale + unpacking.offset;
  }
}

// Which of the variable's two grid dimensions holds what. The columns axis is the one whose name
// contains "x", as for the sizes ("x" itself, "nx", "xc"), so a file whose axes are not named
// exactly "x" and "y" is neither transposed nor refused.
bool IsColumnsAxis(const NcDim& dim) {
  return dim.getName().find('x') != std::string::npos;
}

struct SliceLayout {
  bool x_second;  // stored (t, x, y)
  bool x_third;   // stored (t, y, x)
};

// The variable must be (t, a, b) with a, b matching the grid's sizes and hold the slice asked;
// `cells` is what will be read of the slice.
SliceLayout CheckVariableShape(DiagnosticStream& diag, const std::string& file_name,
                               const std::string& variable, const NcVar& var,
                               std::int64_t time_index, int rows, int columns,
                               std::uint64_t cells) {
  const int dims = var.getDimCount();
  if (dims != 3)
    FailRead(diag, file_name,
             "variable " + variable + " has " + std::to_string(dims) +
                 " dimensions, a grid variable has three (time and the two grid axes)");
  const NcDim second = var.getDim(1);
  const NcDim third = var.getDim(2);
  const bool x_second = IsColumnsAxis(second);
  const SliceLayout layout{x_second, !x_second && IsColumnsAxis(third)};
  const std::size_t want_second = layout.x_second ? columns : rows;
  const std::size_t want_third = layout.x_second ? rows : columns;
  if (rows <= 0 || columns <= 0 || second.getSize() != want_second || third.getSize() != want_third)
    FailRead(diag, file_name,
             "variable " + variable + " has " + std::to_string(second.getSize()) + " x " +
                 std::to_string(third.getSize()) + " cells, the grid of the file " +
                 std::to_string(rows) + " rows and " + std::to_string(columns) + " columns");
  // A compressed netCDF-4 file of a few kilobytes may declare a slice of any size; the slice is
  // bounded before anything of its size is allocated.
  if (cells > kMaxNetcdfSliceCells)
    FailRead(diag, file_name,
             "variable " + variable + " has a slice of " + std::to_string(rows) + " x " +
                 std::to_string(columns) + " cells, more than the " +
                 std::to_string(kMaxNetcdfSliceCells) + " cells a grid may have");
  const std::size_t slices = var.getDim(0).getSize();
  if (time_index < 0 || static_cast<std::uint64_t>(time_index) >= slices)
    FailRead(diag, file_name,
             "time index " + std::to_string(time_index) + " is outside the " +
                 std::to_string(slices) + " slices of variable " + variable);
  return layout;
}

// Reads the window of the slice (count (1, columns, rows) for (t, x, y), else (1, rows,
// columns)) and unpacks it; doubles are read as doubles, every other type as floats.
// `first_stored_row` and `first_column` are 0-based positions in the file's order.
void ReadUnpackedSlice(const NcVar& var, const SliceLayout& layout, std::size_t time_index,
                       std::size_t first_stored_row, std::size_t first_column, std::size_t rows,
                       std::size_t columns, const Unpacking& unpacking, double nodata,
                       std::vector<double>& out) {
  const std::vector<std::size_t> start =
      layout.x_second ? std::vector<std::size_t>{time_index, first_column, first_stored_row}
                      : std::vector<std::size_t>{time_index, first_stored_row, first_column};
  const std::vector<std::size_t> count = layout.x_second
                                             ? std::vector<std::size_t>{1, columns, rows}
                                             : std::vector<std::size_t>{1, rows, columns};
  if (var.getType().getId() == NC_DOUBLE) {
    std::vector<double> raw(rows * columns);
    var.getVar(start, count, raw.data());
    Unpack(raw, unpacking, nodata, out);
  } else {
    std::vector<float> raw(rows * columns);
    var.getVar(start, count, raw.data());
    Unpack(raw, unpacking, nodata, out);
  }
}

// Brings the values into the writer's order: columns outer, top row first.
void ReorderColumnsOuter(const SliceLayout& layout, bool south_to_north, std::size_t rows,
                         std::size_t columns, std::vector<double>& values) {
  if (layout.x_third) {
    std::vector<double> reordered(values.size());
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t target_row = south_to_north ? rows - 1 - r : r;
      for (std::size_t c = 0; c < columns; ++c)
        reordered[c * rows + target_row] = values[r * columns + c];
    }
    values.swap(reordered);
  } else if (layout.x_second && south_to_north) {
    for (std::size_t c = 0; c < columns; ++c) {
      auto column = values.begin() + static_cast<std::ptrdiff_t>(c * rows);
      std::reverse(column, column + static_cast<std::ptrdiff_t>(rows));
    }
  }
}

}  // namespace

NetcdfGridReader::NetcdfGridReader(DiagnosticStream& diag) : diag_(&diag) {}

NetcdfGridReader::~NetcdfGridReader() {
  current_file_ = nullptr;
  open_files_.clear();  // each NcFile closes its file
}

void NetcdfGridReader::ReadGrid(std::vector<double>& values, std::string& input_name, int& rows,
                                int& columns, double nodata, const SliceWindowChoice& window) {
  const Request request = SplitInputName(input_name);
  input_name = request.file;
  try {
    ReadSlice(request, values, rows, columns, nodata, window);
  } catch (const netCDF::exceptions::NcException& e) {
    FailRead(*diag_, request.file, e.what());
  } catch (const std::bad_alloc&) {
    FailRead(*diag_, request.file, "not enough memory for the slice of the file");
  }
}

NetcdfGridReader::Request NetcdfGridReader::SplitInputName(const std::string& input_name) {
  const std::size_t open = input_name.find('<');
  const std::size_t close = open == std::string::npos ? open : input_name.find('>', open + 1);
  if (open == std::string::npos || open == 0 || close == std::string::npos)
    ThrowFatal(*diag_, kInputNameErrorCode,
               "FATAL: Give netcdf input files as filename<varname>timestep.");
  return Request{input_name.substr(0, open), input_name.substr(open + 1, close - open - 1),
                 ParseTimeIndex(input_name.substr(close + 1, kTimeIndexChars))};
}

NcFile& NetcdfGridReader::OpenFile(const std::string& file_name) {
  auto found = open_files_.find(file_name);
  if (found == open_files_.end()) {
    if (open_files_.size() >= kMaxOpenNetcdfFiles)
      ThrowFatal(*diag_, kTooManyFilesCode,
                 "FATAL: more than 200 different netCDF files can not be hold open at the same "
                 "time. If you read time series of input grids from netCDF, please put all the "
                 "single nc files into one large file or into some groups of files");
    auto file = std::make_unique<NcFile>(file_name, NcFile::read);
    found = open_files_.emplace(file_name, std::move(file)).first;
  }
  current_file_ = found->second.get();
  return *current_file_;
}

void NetcdfGridReader::ReadSlice(const Request& request, std::vector<double>& values, int& rows,
                                 int& columns, double nodata, const SliceWindowChoice& window) {
  const NcFile& file = OpenFile(request.file);
  ReadGridSizes(*diag_, request.file, file, rows, columns);
  if (request.variable.empty())
    ThrowFatal(*diag_, kNetcdfErrorCode, "FATAL: No variable name given for reading from netCDF.");
  const NcVar var = file.getVar(request.variable);
  if (var.isNull())
    ThrowFatal(*diag_, kNetcdfErrorCode, "FATAL: cannot find variable ", request.variable,
               " in file ", request.file, " for reading from netCDF.");
  const Unpacking unpacking = ReadUnpacking(var);
  const bool south_to_north = RowsRunSouthToNorth(file);
  SliceWindow part{1, 1, rows, columns};
  if (window && rows > 0 && columns > 0) {
    part = window(rows, columns);
    if (part.rows < 1 || part.columns < 1 || part.first_row < 1 || part.first_column < 1 ||
        part.first_row - 1 + part.rows > rows || part.first_column - 1 + part.columns > columns)
      FailRead(*diag_, request.file,
               "the part of the slice needed lies outside its " + std::to_string(rows) + " x " +
                   std::to_string(columns) + " cells");
  }
  const SliceLayout layout = CheckVariableShape(
      *diag_, request.file, request.variable, var, request.time_index, rows, columns,
      static_cast<std::uint64_t>(part.rows) * static_cast<std::uint64_t>(part.columns));
  // Rows stored south to north hold the window's top row last.
  const int first_stored_row =
      south_to_north ? rows - (part.first_row - 1 + part.rows) : part.first_row - 1;
  std::vector<double> slice;
  ReadUnpackedSlice(var, layout, static_cast<std::size_t>(request.time_index),
                    static_cast<std::size_t>(first_stored_row),
                    static_cast<std::size_t>(part.first_column - 1),
                    static_cast<std::size_t>(part.rows), static_cast<std::size_t>(part.columns),
                    unpacking, nodata, slice);
  ReorderColumnsOuter(layout, south_to_north, static_cast<std::size_t>(part.rows),
                      static_cast<std::size_t>(part.columns), slice);
  values.swap(slice);
  rows = part.rows;
  columns = part.columns;
}

}  // namespace velorn

#include "tests/support/grid_files.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "grids/grid_formats.h"
#include "grids/netcdf_grid_reader.h"
#include "grids/netcdf_names.h"
#include "tests/support/test_files.h"

namespace velorn::test {
namespace {

constexpr std::string_view kStackLead = "stack";

GridFileType GridFormOf(const std::string& bytes) {
  const auto* lead = reinterpret_cast<const unsigned char*>(bytes.data());
  return DetectGridFileType(lead, std::min(bytes.size(), kGridLeadBytes));
}

[[noreturn]] void FailGrid(const std::string& name, const std::string& what) {
  throw std::runtime_error(name + ": " + what);
}

// The geometry of header values 1-6, checked as the model checks a grid header.
void TakeGridHeader(GridFile& grid, const GridHeader6& h, const std::string& name) {
  if (const std::string fault = CheckGridHeader(h); !fault.empty()) FailGrid(name, fault);
  grid.geometry = {static_cast<int32_t>(h[0]), static_cast<int32_t>(h[1]), h[2], h[3], h[4], h[5]};
}

// `count` values per row (the columns times the levels) from `offset` on, through the model's
// cell parser; every value must be there and nothing may follow them.
void ReadAsciiValues(GridFile& grid, std::string_view text, std::size_t offset, int64_t count,
                     const std::string& name) {
  // One slot in front: row r's pointer addresses its values from index 1 on.
  std::vector<double> cells(static_cast<std::size_t>(grid.geometry.nrows * count) + 1);
  std::vector<double*> rows(static_cast<std::size_t>(grid.geometry.nrows) + 1, nullptr);
  for (int64_t r = 1; r <= grid.geometry.nrows; ++r)
    rows[static_cast<std::size_t>(r)] = cells.data() + (r - 1) * count;
  const AsciiCellResult read =
      ParseAsciiCells(text, offset, grid.geometry.nrows, count, rows.data());
  if (!read.ok)
    FailGrid(name, read.trailing ? "more text after the last value"
                                 : "no value at row " + std::to_string(read.row) + ", value " +
                                       std::to_string(read.col) + " of the row");
  cells.erase(cells.begin());
  grid.values = std::move(cells);
}

// An ASCII stack: twelve pairs of a word and a number (the last the level count L), then the
// levels 0..L of every cell, row 1 first.
GridFile ParseAsciiStack(const std::string& bytes, const std::string& name) {
  GridFile grid;
  grid.stack = true;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  for (int i = 0; i < kBinaryHeaderValues; ++i) {
    while (p != end && blank(*p)) ++p;
    while (p != end && !blank(*p)) ++p;  // the word
    while (p != end && blank(*p)) ++p;
    double value = 0;
    const auto [next, error] = std::from_chars(p, end, value);
    if (error != std::errc())
      FailGrid(name, "no number in stack header pair " + std::to_string(i + 1));
    grid.header.push_back(value);
    p = next;
  }
  TakeGridHeader(grid,
                 {grid.header[0], grid.header[1], grid.header[2], grid.header[3], grid.header[4],
                  grid.header[5]},
                 name);
  const double levels = grid.header[11];
  if (!(levels >= 0 && levels < 1e6) || levels != static_cast<double>(static_cast<int>(levels)))
    FailGrid(name, "level count " + std::to_string(levels));
  grid.levels = static_cast<std::size_t>(levels) + 1;
  ReadAsciiValues(grid, bytes, static_cast<std::size_t>(p - bytes.data()),
                  grid.geometry.ncols * static_cast<int64_t>(grid.levels), name);
  return grid;
}

// A binary grid or stack: its header, then whole cells of values of `Element`; a file holding
// more than one value per cell is a stack of that many levels.
template <class Element>
GridFile ParseBinary(const std::string& bytes, const std::string& name) {
  GridFile grid;
  const auto* lead = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::array<double, kBinaryHeaderValues> header =
      DecodeBinaryHeader(lead, sizeof(Element) == sizeof(double));
  grid.header.assign(header.begin(), header.end());
  TakeGridHeader(grid, {header[0], header[1], header[2], header[3], header[4], header[5]}, name);
  const uint64_t count = BinaryValuesInFile(bytes.size(), sizeof(Element));
  const auto cells =
      static_cast<uint64_t>(grid.geometry.ncols) * static_cast<uint64_t>(grid.geometry.nrows);
  if (count == 0 || count % cells != 0 || bytes.size() % sizeof(Element) != 0)
    FailGrid(name, std::to_string(count) + " values for " + std::to_string(cells) + " cells");
  grid.levels = static_cast<std::size_t>(count / cells);
  grid.values.resize(static_cast<std::size_t>(count));
  const char* from = bytes.data() + kBinaryHeaderValues * sizeof(Element);
  for (double& value : grid.values) {
    Element element;
    std::memcpy(&element, from, sizeof(Element));
    value = static_cast<double>(element);
    from += sizeof(Element);
  }
  return grid;
}

}  // namespace

bool IsBinaryGridFile(const std::string& bytes) {
  if (bytes.starts_with(kStackLead)) return false;
  const GridFileType form = GridFormOf(bytes);
  return form == kGridBinaryDouble || form == kGridBinarySingle;
}

GridFile ParseGridFile(const std::string& bytes, const std::string& name) {
  if (bytes.starts_with(kStackLead)) return ParseAsciiStack(bytes, name);
  switch (GridFormOf(bytes)) {
    case kGridAscii: {
      const AsciiHeaderResult header = ParseAsciiHeader(bytes);
      if (header.failed_pair != 0)
        FailGrid(name, "header pair " + std::to_string(header.failed_pair) + ": " + header.reason);
      GridFile grid;
      TakeGridHeader(grid, header.values, name);
      ReadAsciiValues(grid, bytes, header.data_offset, grid.geometry.ncols, name);
      return grid;
    }
    case kGridBinaryDouble:
      return ParseBinary<double>(bytes, name);
    case kGridBinarySingle:
      return ParseBinary<float>(bytes, name);
    default:
      FailGrid(name, "neither an ASCII nor a binary grid or stack");
  }
}

GridFile ReadGridFile(const std::string& path) {
  return ParseGridFile(ReadFile(path), path);
}

std::vector<double> GridCells(const std::string& path) {
  return ReadGridFile(path).values;
}

bool IsNetcdfFile(const std::string& bytes) {
  return bytes.starts_with("\x89HDF") || bytes.starts_with("CDF");
}

GridFile ReadNetcdfGridFile(const std::string& path, bool stack, const GridGeometry& geometry) {
  // The reader's messages go to a file of their own beside the output folder.
  std::ostringstream screen;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  DiagnosticStream diag((folder.parent_path() / "netcdf_read.xml").string(), 4, screen);
  NetcdfGridReader reader(diag);
  std::string variable;
  StripNetcdfVariableName(variable, path.substr(0, path.size() - 3));
  const auto rows = static_cast<std::size_t>(geometry.nrows);
  const auto columns = static_cast<std::size_t>(geometry.ncols);
  std::vector<std::vector<double>> slices;
  for (int t = 0; t < 100000; ++t) {
    std::vector<double> values;
    std::string name = path + "<" + variable + ">" + std::to_string(t);
    int file_rows = 0, file_columns = 0;
    try {
      reader.ReadGrid(values, name, file_rows, file_columns, geometry.nodata);
    } catch (const ErrorCode&) {
      break;  // past the last slice
    }
    if (static_cast<std::size_t>(file_rows) != rows ||
        static_cast<std::size_t>(file_columns) != columns || values.size() != rows * columns)
      FailGrid(path, "slice " + std::to_string(t) + " of " + std::to_string(file_rows) + " x " +
                         std::to_string(file_columns) + " cells");
    slices.push_back(std::move(values));
  }
  if (slices.empty()) FailGrid(path, "no slice of the variable " + variable);
  GridFile grid;
  grid.geometry = geometry;
  if (!stack) slices.erase(slices.begin(), slices.end() - 1);
  grid.levels = slices.size();
  grid.values.resize(rows * columns * grid.levels);
  // The reader's order: column outer, row inner, the top row first.
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < columns; ++c)
      for (std::size_t k = 0; k < grid.levels; ++k)
        grid.values[(r * columns + c) * grid.levels + k] = slices[k][c * rows + r];
  return grid;
}

std::string BinaryGridBytes(const GridFile& grid) {
  const GridGeometry& g = grid.geometry;
  std::vector<double> values = {static_cast<double>(g.ncols),
                                static_cast<double>(g.nrows),
                                g.xll,
                                g.yll,
                                g.cellsize,
                                g.nodata,
                                0,
                                0,
                                0,
                                0,
                                0,
                                static_cast<double>(grid.levels > 1 ? grid.levels - 1 : 0)};
  values.insert(values.end(), grid.values.begin(), grid.values.end());
  std::string bytes(values.size() * sizeof(double), '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::string AsciiGridText(const GridFile& grid) {
  std::string text;
  if (grid.stack || grid.levels > 1) {
    // The header of the stack writer: a key and a number a line, the statistics 0.
    static constexpr const char* kKeys[kBinaryHeaderValues] = {
        "stack_ncols", "nrows", "xll", "yll", "cs",      "nodata",
        "cnt",         "min",   "max", "sum", "average", "numlevels"};
    std::vector<double> header(kBinaryHeaderValues, 0.0);
    const GridGeometry& g = grid.geometry;
    header[0] = static_cast<double>(g.ncols);
    header[1] = static_cast<double>(g.nrows);
    header[2] = g.xll;
    header[3] = g.yll;
    header[4] = g.cellsize;
    header[5] = g.nodata;
    header[11] = static_cast<double>(grid.levels - 1);
    for (int i = 0; i < kBinaryHeaderValues; ++i)
      text += std::string(kKeys[i]) + "\t" + FormatHeaderNumber(header[i]) + "\n";
    for (const double value : grid.values) {
      AppendGeneral(text, value);
      text += '\n';
    }
    return text;
  }
  text = FormatAsciiHeader(grid.geometry);
  for (std::size_t i = 0; i < grid.values.size(); ++i) {
    if (i % static_cast<std::size_t>(grid.geometry.ncols) != 0) text += '\t';
    AppendGeneral(text, grid.values[i]);
    if ((i + 1) % static_cast<std::size_t>(grid.geometry.ncols) == 0) text += '\n';
  }
  return text;
}

}  // namespace velorn::test

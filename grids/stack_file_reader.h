// The stack file format and StackFileReader, the reader of a stack file on process 0.
//
// A stack file holds levels 0..L of every cell of the model grid: twelve header values (columns,
// rows, corner, cell size, nodata, count, minimum, maximum, sum, mean, level count), then per
// row, per column, the levels of the cell. ASCII stacks start with the word "stack" and give
// each header value after a word; binary stacks are doubles or floats and carry -9999 as header
// value 6.
//
// modelobject::ReadStack and WriteStack (grids/stack_files.cpp) use the layout; ReadStack lets
// process 0 recognise, check and (for ASCII stacks, or when one process keeps the whole stack)
// read the file through StackFileReader. Every failure of the reader writes its FATAL entry and
// throws its code: 21 open, 22 format or read, 23 close, 24 geometry other than the model's.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace velorn {

class DiagnosticStream;

enum class StackForm : int { kAscii = 0, kSingle = 1, kDouble = 2 };
inline constexpr int kStackHeaderValues = 12;

// Geometry of a stack file: columns, rows, corner, cell size, nodata and the level count L
// (levels 0..L per cell).
struct StackGeometry {
  int64_t ncols = 0;
  int64_t nrows = 0;
  double xll = 0;
  double yll = 0;
  double cellsize = 0;
  double nodata = 0;
  int64_t levels = 0;
};

// The twelve header values; count, minimum, maximum, sum and mean are always 0.
inline std::array<double, kStackHeaderValues> StackHeader(const StackGeometry& g) {
  const auto cols = static_cast<double>(g.ncols), rows = static_cast<double>(g.nrows);
  const auto levels = static_cast<double>(g.levels);
  return {cols, rows, g.xll, g.yll, g.cellsize, g.nodata, 0, 0, 0, 0, 0, levels};
}

// Element (not byte) position of level 0 of a cell in a binary stack file.
inline int64_t StackValueOffset(const StackGeometry& g, int64_t row, int64_t col) {
  return kStackHeaderValues + ((row - 1) * g.ncols + (col - 1)) * (g.levels + 1);
}

// Elements of a whole binary stack file, header included.
inline int64_t StackFileValues(const StackGeometry& g) {
  return g.ncols * g.nrows * (g.levels + 1) + kStackHeaderValues;
}

// Process 0's view of a stack file: recognition of the form, the header, the geometry check and
// the row-by-row read. Every failure writes its FATAL entry and throws the code.
class StackFileReader {
 public:
  StackFileReader(DiagnosticStream& diag, const std::string& name) : diag_(diag), name_(name) {}
  ~StackFileReader();
  StackFileReader(const StackFileReader&) = delete;
  StackFileReader& operator=(const StackFileReader&) = delete;

  // Opens the file for binary reading; failure: "FATAL: error opening <name>", code 21.
  void Open();
  // Tells the form of the opened file from its first bytes: "stack" is ASCII, else header value
  // 6 of -9999 as a double or as a float. Leaves the file at the first value after the header.
  StackForm Recognise();
  // The geometry as the header gives it; the level count must be a whole number of at least 0.
  StackGeometry Geometry() const;
  // The file's geometry must be the model's exactly (stacks are never resampled; a
  // single-precision header is compared with the model's values rounded to float); a binary
  // file must hold every value its header announces, an ASCII file at least two bytes per value.
  void CheckGeometry(const StackGeometry& model, StackForm form, const std::string& module,
                     const std::string& reference);
  // Rows 1..nrows into a stack holding them all, in the order of the file.
  void ReadRows(StackForm form, const StackGeometry& g, double*** stack);
  // Closes the file; failure: "FATAL: error closing <what><name>", code 23.
  void Close(const char* what);

 private:
  // Twelve pairs of a word (not checked) and a number.
  void ReadAsciiHeader();
  template <class Element>
  void ReadBinaryRows(const StackGeometry& g, double*** stack, const char* type);
  uint64_t FileBytes() const;
  int NextChar();
  // The next run of characters between white space.
  bool NextToken(std::string& token);
  // The next token, which must be a number as a whole.
  bool NextNumber(double& value);

  DiagnosticStream& diag_;
  std::string name_;
  std::FILE* file_ = nullptr;
  std::array<double, kStackHeaderValues> header_{};
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  std::string token_;
};

}  // namespace velorn

// NetcdfGridWriter: writes grids and stacks as time slices of netCDF-4 files.
//
// Every model object owns one writer. The grid and stack writers call SetGeoReference (and
// SetLatitudeGrid / SetLongitudeGrid when those grids exist) and then WriteGrid once per grid, or
// once per level of a stack, on process 0. The first write of a file name in a run creates the
// file afresh (an older file of that name is replaced) with the dimensions "x", "y" and the
// unlimited "t", the coordinate variables "x", "y", "t" (and "lat", "lon" when given) and the
// data variable over (t, x, y); every later write of the same file and variable appends the next
// slice along "t". The writer remembers the names it wrote until a new output pass begins (a
// spin-up pass, core/output_files.h: its first write of a name creates the file afresh) and keeps
// no file open between writes.
//
// Value order of every array handed in: x outer, y inner, top row first; the value of column c
// (0-based, west to east) and row r (0-based, north to south) stands at index c * rows + r.
//
// Failures of the netCDF library write "FATAL: error creating <file> for writing in netCDF: "
// with the library's message and throw ErrorCode{26}. Not thread-safe (nor is the library).
#pragma once

#include <string>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

// Longest file name that the writer's bookkeeping is meant to hold; longer names are kept whole
// but reported with a warning.
inline constexpr std::size_t kNetcdfMaxFileNameLength = 2400;

class NetcdfGridWriter {
 public:
  explicit NetcdfGridWriter(DiagnosticStream& diag);
  ~NetcdfGridWriter() = default;
  NetcdfGridWriter(const NetcdfGridWriter&) = delete;
  NetcdfGridWriter& operator=(const NetcdfGridWriter&) = delete;

  // Lower-left corner and cell size used for the coordinate variables of the next new file.
  void SetGeoReference(double x_origin, double y_origin, double cell_size);
  // Columns x rows values of "lat" / "lon" (not owned; must live until the next WriteGrid).
  // A null pointer means: no such grid.
  void SetLatitudeGrid(const double* values);
  void SetLongitudeGrid(const double* values);

  // Bookkeeping of the files and (file, variable) pairs written in this run; exact comparison.
  bool HasFile(const std::string& file) const;
  bool HasVariable(const std::string& file, const std::string& variable) const;
  void AddFile(const std::string& file);
  void AddVariable(const std::string& file, const std::string& variable);

  // Writes one slice of `variable_name` in `file_name`: `double_values` when `double_precision`
  // is set (a double variable), else `float_values` (a float variable); the other array may be
  // null. `missing_value` becomes the variable's "missing_value" attribute (always double).
  void WriteGrid(bool double_precision, const double* double_values, const float* float_values,
                 const std::string& file_name, const std::string& variable_name, int rows,
                 int columns, double missing_value);

 private:
  struct Slice {
    bool double_precision;
    const double* double_values;
    const float* float_values;
    std::size_t rows;
    std::size_t columns;
    double missing_value;
  };

  void CheckSlice(const Slice& slice, const std::string& file_name);
  void CreateFile(const Slice& slice, const std::string& file_name,
                  const std::string& variable_name) const;
  void AddVariableToFile(const Slice& slice, const std::string& file_name,
                         const std::string& variable_name) const;
  void AppendSlice(const Slice& slice, const std::string& file_name,
                   const std::string& variable_name) const;

  double x_origin_ = 0.0;
  double y_origin_ = 0.0;
  double cell_size_ = 1.0;
  DiagnosticStream* diag_;
  bool has_latitude_ = false;
  bool has_longitude_ = false;
  const double* latitude_ = nullptr;
  const double* longitude_ = nullptr;
  std::vector<std::string> written_files_;
  unsigned written_pass_ = 0;  // the output pass of written_files_
  std::vector<std::string> written_variable_files_;
  std::vector<std::string> written_variable_names_;
};

}  // namespace velorn

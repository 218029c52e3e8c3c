// NetcdfGridWriter: netCDF-4 output of grids and stacks as time slices (see the header).
#include "grids/netcdf_grid_writer.h"

#include <algorithm>
#include <cerrno>
#include <netcdf>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/output_files.h"

namespace velorn {

namespace {

using netCDF::NcDim;
using netCDF::NcFile;
using netCDF::NcVar;

constexpr int kDeflateLevel = 9;

// Every variable but "t" is deflated (level 9, no shuffle filter).
NcVar AddCompressedVar(NcFile& file, const std::string& name, const netCDF::NcType& type,
                       const std::vector<NcDim>& dims) {
  NcVar var = file.addVar(name, type, dims);
  var.setCompression(false, true, kDeflateLevel);
  return var;
}

// "x": west edges of the columns; "y": south edges of the rows, top row first.
void WriteCoordinateVariables(NcFile& file, const NcDim& x, const NcDim& y, const NcDim& t,
                              double x_origin, double y_origin, double cell_size) {
  const std::size_t columns = x.getSize();
  const std::size_t rows = y.getSize();
  NcVar x_var = AddCompressedVar(file, "x", netCDF::ncDouble, {x});
  x_var.putAtt("units", "m East of reference point");
  NcVar y_var = AddCompressedVar(file, "y", netCDF::ncDouble, {y});
  y_var.putAtt("units", "m North of reference point");
  NcVar t_var = file.addVar("t", netCDF::ncDouble, t);

  std::vector<double> x_values(columns);
  for (std::size_t i = 0; i < columns; ++i) x_values[i] = x_origin + i * cell_size;
  x_var.putVar(x_values.data());
  std::vector<double> y_values(rows);
  const double top = y_origin + (rows - 1) * cell_size;
  for (std::size_t j = 0; j < rows; ++j) y_values[j] = top - j * cell_size;
  y_var.putVar(y_values.data());
  const double first_slice = 0.0;
  t_var.putVar({0}, {1}, &first_slice);
}

// "lat" or "lon" over (x, y), all columns x rows values.
void WriteCellCoordinates(NcFile& file, const std::string& name, const std::string& units,
                          const NcDim& x, const NcDim& y, const double* values) {
  NcVar var = AddCompressedVar(file, name, netCDF::ncDouble, {x, y});
  var.putAtt("units", units);
  var.putVar({0, 0}, {x.getSize(), y.getSize()}, values);
}

// Defines the data variable over (t, x, y) with its compression and "missing_value".
NcVar DefineDataVariable(NcFile& file, const std::string& name, bool double_precision,
                         double missing_value, const NcDim& t, const NcDim& x, const NcDim& y) {
  const netCDF::NcType type =
      double_precision ? netCDF::NcType(netCDF::ncDouble) : netCDF::NcType(netCDF::ncFloat);
  NcVar var = AddCompressedVar(file, name, type, {t, x, y});
  var.putAtt("missing_value", netCDF::ncDouble, missing_value);
  return var;
}

void PutSlice(const NcVar& var, std::size_t index, bool double_precision,
              const double* double_values, const float* float_values, std::size_t rows,
              std::size_t columns) {
  const std::vector<std::size_t> start{index, 0, 0};
  const std::vector<std::size_t> count{1, columns, rows};
  if (double_precision)
    var.putVar(start, count, double_values);
  else
    var.putVar(start, count, float_values);
}

// The dimension `name` of an existing file; a missing dimension or one of another length than
// the grid's would make the slice land beside its cells, so both are failures.
NcDim GridDimension(DiagnosticStream& diag, const NcFile& file, const std::string& file_name,
                    const std::string& name, std::size_t expected) {
  const NcDim dim = file.getDim(name);
  if (dim.isNull())
    ThrowFatal(diag, kNetcdfErrorCode, "FATAL: error creating ", file_name,
               " for writing in netCDF: ", "the file has no dimension ", name);
  if (expected != 0 && dim.getSize() != expected)
    ThrowFatal(diag, kNetcdfErrorCode, "FATAL: error creating ", file_name,
               " for writing in netCDF: ", "dimension ", name, " has length ", dim.getSize(),
               ", the grid has ", expected);
  return dim;
}

}  // namespace

NetcdfGridWriter::NetcdfGridWriter(DiagnosticStream& diag) : diag_(&diag) {}

void NetcdfGridWriter::SetGeoReference(double x_origin, double y_origin, double cell_size) {
  x_origin_ = x_origin;
  y_origin_ = y_origin;
  cell_size_ = cell_size;
}

void NetcdfGridWriter::SetLatitudeGrid(const double* values) {
  has_latitude_ = values != nullptr;
  latitude_ = values;
}

void NetcdfGridWriter::SetLongitudeGrid(const double* values) {
  has_longitude_ = values != nullptr;
  longitude_ = values;
}

bool NetcdfGridWriter::HasFile(const std::string& file) const {
  return std::find(written_files_.begin(), written_files_.end(), file) != written_files_.end();
}

bool NetcdfGridWriter::HasVariable(const std::string& file, const std::string& variable) const {
  for (std::size_t i = 0; i < written_variable_files_.size(); ++i)
    if (written_variable_files_[i] == file && written_variable_names_[i] == variable) return true;
  return false;
}

void NetcdfGridWriter::AddFile(const std::string& file) {
  if (file.size() > kNetcdfMaxFileNameLength)
    *diag_ << "WARNING: netCDF output file name longer than " << kNetcdfMaxFileNameLength
           << " characters: " << file << "[end-entry]";
  written_files_.push_back(file);
}

void NetcdfGridWriter::AddVariable(const std::string& file, const std::string& variable) {
  written_variable_files_.push_back(file);
  written_variable_names_.push_back(variable);
}

void NetcdfGridWriter::WriteGrid(bool double_precision, const double* double_values,
                                 const float* float_values, const std::string& file_name,
                                 const std::string& variable_name, int rows, int columns,
                                 double missing_value) {
  if (rows <= 0 || columns <= 0)
    ThrowFatal(*diag_, kNetcdfErrorCode, "FATAL: error creating ", file_name,
               " for writing in netCDF: ", "a grid of ", rows, " rows and ", columns,
               " columns has no cells");
  const Slice slice{double_precision,
                    double_values,
                    float_values,
                    static_cast<std::size_t>(rows),
                    static_cast<std::size_t>(columns),
                    missing_value};
  CheckSlice(slice, file_name);
  if (written_pass_ != OutputPass()) {
    written_pass_ = OutputPass();
    written_files_.clear();
    written_variable_files_.clear();
    written_variable_names_.clear();
  }
  errno = 0;
  try {
    if (!HasFile(file_name)) {
      AddFile(file_name);
      AddVariable(file_name, variable_name);
      CreateFile(slice, file_name, variable_name);
    } else if (!HasVariable(file_name, variable_name)) {
      AddVariable(file_name, variable_name);
      AddVariableToFile(slice, file_name, variable_name);
    } else {
      AppendSlice(slice, file_name, variable_name);
    }
  } catch (const netCDF::exceptions::NcException& e) {
    // The library's text of a full disk says little ("HDF error"); the system's reason is the
    // errno its failed write left behind.
    const int error = errno;
    if (IsFullDisk(error))
      ThrowFatal(*diag_, kWriteErrorCode, "FATAL: cannot write ", file_name, SystemReason(error),
                 " (", e.what(), ")");
    ThrowFatal(*diag_, kNetcdfErrorCode, "FATAL: error creating ", file_name,
               " for writing in netCDF: ", e.what(), SystemReason(error));
  }
}

void NetcdfGridWriter::CheckSlice(const Slice& slice, const std::string& file_name) {
  const bool has_values =
      slice.double_precision ? slice.double_values != nullptr : slice.float_values != nullptr;
  if (!has_values)
    ThrowFatal(*diag_, kNetcdfErrorCode, "FATAL: error creating ", file_name,
               " for writing in netCDF: ", "no ", slice.double_precision ? "double" : "float",
               " values given");
}

void NetcdfGridWriter::CreateFile(const Slice& slice, const std::string& file_name,
                                  const std::string& variable_name) const {
  KeepBeforeWriting(file_name, true);
  NcFile file(file_name, NcFile::replace, NcFile::nc4);
  const NcDim x = file.addDim("x", slice.columns);
  const NcDim y = file.addDim("y", slice.rows);
  const NcDim t = file.addDim("t");
  WriteCoordinateVariables(file, x, y, t, x_origin_, y_origin_, cell_size_);
  if (has_latitude_) WriteCellCoordinates(file, "lat", "degrees north", x, y, latitude_);
  if (has_longitude_) WriteCellCoordinates(file, "lon", "degrees east", x, y, longitude_);
  const NcVar var =
      DefineDataVariable(file, variable_name, slice.double_precision, slice.missing_value, t, x, y);
  PutSlice(var, 0, slice.double_precision, slice.double_values, slice.float_values, slice.rows,
           slice.columns);
  file.close();
}

void NetcdfGridWriter::AddVariableToFile(const Slice& slice, const std::string& file_name,
                                         const std::string& variable_name) const {
  KeepBeforeWriting(file_name, false);
  NcFile file(file_name, NcFile::write, NcFile::nc4);
  const NcDim t = GridDimension(*diag_, file, file_name, "t", 0);
  const NcDim x = GridDimension(*diag_, file, file_name, "x", slice.columns);
  const NcDim y = GridDimension(*diag_, file, file_name, "y", slice.rows);
  const NcVar var =
      DefineDataVariable(file, variable_name, slice.double_precision, slice.missing_value, t, x, y);
  PutSlice(var, 0, slice.double_precision, slice.double_values, slice.float_values, slice.rows,
           slice.columns);
  file.close();
}

void NetcdfGridWriter::AppendSlice(const Slice& slice, const std::string& file_name,
                                   const std::string& variable_name) const {
  KeepBeforeWriting(file_name, false);
  NcFile file(file_name, NcFile::write, NcFile::nc4);
  const NcDim t = GridDimension(*diag_, file, file_name, "t", 0);
  GridDimension(*diag_, file, file_name, "x", slice.columns);
  GridDimension(*diag_, file, file_name, "y", slice.rows);
  const NcVar var = file.getVar(variable_name);
  if (var.isNull())
    ThrowFatal(*diag_, kNetcdfErrorCode, "FATAL: error creating ", file_name,
               " for writing in netCDF: ", "the file has no variable ", variable_name);
  // The slice index is the length of the shared time axis (64-bit, like the library's).
  const std::size_t index = t.getSize();
  const double slice_number = static_cast<double>(index);
  file.getVar("t").putVar({index}, {1}, &slice_number);
  PutSlice(var, index, slice.double_precision, slice.double_values, slice.float_values, slice.rows,
           slice.columns);
  file.close();
}

}  // namespace velorn

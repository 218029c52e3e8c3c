// NetcdfGridReader: reads one time slice of a variable of a netCDF file as a grid.
//
// Every model object owns one reader; the grid reader calls ReadGrid on process 0 for input
// files it has recognised as netCDF, named "filename<varname>timestep". The slice comes back in
// the order of NetcdfGridWriter (x outer, y inner, top row first: column c, row r at index
// c * rows + r) whatever the layout of the file: (t, x, y) or (t, y, x), the columns axis being
// the one whose name contains "x" ("x", "nx"), rows stored north to south or south to north
// (decided on the values of the coordinate variable "y"). Packed values are unpacked with
// "scale_factor" and "add_offset"; values equal to the variable's "missing_value" or
// "_FillValue" (or, for float and double variables without "_FillValue", the library's default
// fill value) become the model's nodata value instead.
//
// Files stay open from their first read until the reader is destroyed, at most 200 of them.
// A caller that reads into the model grid names the window of the slice it needs, so that a file
// declaring a huge grid is refused, or read only where it covers the model, before anything of
// its size is allocated.
// Failures write their "FATAL: " entry and throw ErrorCode: 50 for a name without "<" and ">",
// 1100 for a 201st file, 26 for a missing variable, a slice above kMaxNetcdfSliceCells, memory
// that the slice needs and the system cannot give, or any error of the netCDF library. Not
// thread-safe (nor is the library).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/nodata.h"

namespace netCDF {
class NcFile;
}

namespace velorn {

// Most netCDF input files that one reader keeps open at the same time.
inline constexpr std::size_t kMaxOpenNetcdfFiles = 200;
// Most cells of one slice (about 17 GB as doubles): the declared sizes of a (compressed) file
// say nothing about its real size, so a slice is bounded by this stated limit before it is read.
inline constexpr std::uint64_t kMaxNetcdfSliceCells = (std::uint64_t{1} << 31) - 1;
// Nodata value that missing values become unless the caller names another.
inline constexpr double kNetcdfDefaultNodata = kNodata;

// The part of a slice to read: rows first_row.. (1 the top row) and columns first_column..,
// `rows` x `columns` cells.
struct SliceWindow {
  int first_row = 1;
  int first_column = 1;
  int rows = 0;
  int columns = 0;
};
// Called with the file's rows and columns before anything of the slice is read: returns the
// window the caller needs (within the file's grid), or ends the run with its own FATAL entry
// when the file cannot serve it. The whole slice is read without one.
using SliceWindowChoice = std::function<SliceWindow(int rows, int columns)>;

class NetcdfGridReader {
 public:
  explicit NetcdfGridReader(DiagnosticStream& diag);
  ~NetcdfGridReader();  // closes every open file
  NetcdfGridReader(const NetcdfGridReader&) = delete;
  NetcdfGridReader& operator=(const NetcdfGridReader&) = delete;

  // Reads slice `timestep` of `varname` from "filename<varname>timestep" in `input_name`;
  // `input_name` is cut to the file name. `values` receives columns x rows doubles; `rows` and
  // `columns` receive the sizes of the file's dimensions whose names contain "y" and "x" (they keep
  // their values when the file has none). Missing values become `nodata`. With `window`, only
  // the window it chooses is read, and `values`, `rows` and `columns` describe the window.
  void ReadGrid(std::vector<double>& values, std::string& input_name, int& rows, int& columns,
                double nodata = kNetcdfDefaultNodata, const SliceWindowChoice& window = {});

  std::size_t open_file_count() const { return open_files_.size(); }

 private:
  struct Request {
    std::string file;
    std::string variable;
    std::int64_t time_index;
  };

  Request SplitInputName(const std::string& input_name);
  netCDF::NcFile& OpenFile(const std::string& file_name);
  void ReadSlice(const Request& request, std::vector<double>& values, int& rows, int& columns,
                 double nodata, const SliceWindowChoice& window);

  netCDF::NcFile* current_file_ = nullptr;
  std::map<std::string, std::unique_ptr<netCDF::NcFile>> open_files_;
  DiagnosticStream* diag_;
};

}  // namespace velorn

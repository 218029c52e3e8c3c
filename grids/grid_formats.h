// Grid file formats: recognition of a grid file from its first bytes, the ASCII and binary
// layouts, and the open-with-retries of grid input files.
//
// Owns the one description of the on-disk grid forms that the grid reader (grid_reader.cpp,
// modelobject::ReadGrid) and the grid writers (grid_writer.cpp, modelobject::WriteGrid and
// WriteGridMasked) share:
//   - ASCII: six header lines (a key and a number each: ncols, nrows, xllcorner, yllcorner,
//     cellsize, nodata_value), then nrows rows of ncols numbers separated by white space, the
//     first row in the file being grid row 1;
//   - binary double / single: a header of twelve 8-byte doubles (4-byte floats), value 6 being
//     exactly -9999, then the rows of values in the same precision, row 1 first;
//   - GIF images ("GIF8") and netCDF files (classic "CDF", netCDF-4 "\x89HDF") are recognised
//     here and read by GifImageReader and NetcdfGridReader.
// The parsers are pure functions over memory or a text source (no MPI, no diagnostics), so they
// can be tested and timed on their own; the reader turns their results into FATAL entries.
//
// Limits: grids of at most 2^31 - 1 rows and columns; ASCII numbers are read with
// std::from_chars (plain decimal and exponent forms, a leading '+' allowed; not-a-number and
// infinite values are refused).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/string_helpers.h"  // AppendGeneral, the writers' number text

namespace velorn {

class DiagnosticStream;

// Form of a grid file, as broadcast by the reader (one long).
enum GridFileType : long {
  kGridUnknown = 0,
  kGridAscii = 1,
  kGridBinaryDouble = 2,
  kGridBinarySingle = 3,
  kGridGif = 4,
  kGridNetcdf = 5,
};

// Values of a binary header, value 6 of which marks the binary forms.
inline constexpr int kBinaryHeaderValues = 12;
inline constexpr double kBinaryNodataMarker = -9999.0;
// Bytes the recognition looks at: the header of a binary double grid.
inline constexpr std::size_t kGridLeadBytes = kBinaryHeaderValues * sizeof(double);
// Nodata value of an ASCII grid whose header has no nodata_value line.
inline constexpr double kAsciiDefaultNodata = -9999.0;

// Header values 1-6: ncols, nrows, x and y of the lower-left corner, cell size, nodata.
using GridHeader6 = std::array<double, 6>;

// The model grid a file is compared with.
struct GridGeometry {
  int32_t ncols = 0;
  int32_t nrows = 0;
  double xll = 0;
  double yll = 0;
  double cellsize = 0;
  double nodata = -9999.0;
};

// ---- Recognition -----------------------------------------------------------------------------

// Form of a file from its first `size` bytes (all of them when the file is shorter than
// kGridLeadBytes), tested in this order: netCDF ("CDF" at byte 0 or "HDF" at bytes 1-3), ASCII
// ("ncol" or "NCOL", after a UTF-8 byte-order mark too, as editors save text), binary double (at
// least 96 bytes, value 6 exactly -9999), binary single (at least 48 bytes, float value 6 exactly
// -9999), GIF ("GIF8"); otherwise kGridUnknown.
GridFileType DetectGridFileType(const unsigned char* lead, std::size_t size);

// The extensions that say a form: ".asc" ASCII, ".dbl" binary doubles, ".flt" binary singles,
// ".stk" a binary stack (either precision); any case. For a file `name` of the form `form`
// (a stack's as the grid form of its values), what a WARNING says when its name says another
// form ("holds ASCII values under a name of binary doubles"); empty when they agree or the
// name says no form. The file is read as what it holds: the name only misleads the reader.
std::string FormNameDisagreement(const std::string& name, GridFileType form);

// The twelve header values of a binary file (widened from floats for the single form); `lead`
// holds at least the header.
std::array<double, kBinaryHeaderValues> DecodeBinaryHeader(const unsigned char* lead,
                                                           bool double_precision);

// ---- ASCII -----------------------------------------------------------------------------------

struct AsciiHeaderResult {
  GridHeader6 values{};
  std::size_t data_offset = 0;  // first byte after the header
  int failed_pair = 0;          // 1-based number of the header pair that failed, 0: read
  std::string reason;           // what was wrong with it
};

// Reads the header pairs of an ASCII grid: up to six pairs of a key (case does not matter) and
// a number. The keys are ncols, nrows, xllcorner or xllcenter, yllcorner or yllcenter, cellsize
// and nodata_value; the header ends at the first word that is not a key's (the first value). A
// centre is turned into the corner with half a cell. Without a nodata_value line the nodata
// value is kAsciiDefaultNodata. An unknown key, a key without a number, a key given twice or a
// missing key (other than nodata_value) fails. A UTF-8 byte-order mark before the first key is
// skipped.
AsciiHeaderResult ParseAsciiHeader(std::string_view text);

struct AsciiCellResult {
  bool ok = true;
  int64_t row = 0;  // the cell that could not be read (1-based)
  int64_t col = 0;
  bool trailing = false;  // all cells read, but more text follows
};

// Reads rows 1..rows of cols values each, starting at `offset`, into target[r][1..cols]; a
// null target only checks the text. Fails at the first value that is missing or not a finite
// number, or when anything but white space follows the last value.
AsciiCellResult ParseAsciiCells(std::string_view text, std::size_t offset, int64_t rows,
                                int64_t cols, double** target);

// Supplies the text of a file piece by piece: copies up to `size` bytes to `to` and returns
// their count, 0 at the end of the text (or when it cannot be read).
using AsciiTextSource = std::function<std::size_t(char* to, std::size_t size)>;

// Bytes of the buffer through which ParseAsciiCellStream reads.
inline constexpr std::size_t kAsciiStreamBufferBytes = std::size_t{1} << 20;

// As ParseAsciiCells, on text that arrives in pieces: `start` (the text behind the header that
// is already in memory), then what `more` supplies, parsed through one buffer of `buffer_bytes`
// so that the file is never held whole (a word longer than the buffer fails at its cell). Every
// cell equal to `from` becomes `to` as it is read (the file's nodata value to the model's).
AsciiCellResult ParseAsciiCellStream(std::string_view start, const AsciiTextSource& more,
                                     int64_t rows, int64_t cols, double** target, double from,
                                     double to, std::size_t buffer_bytes = kAsciiStreamBufferBytes);

// Empty when ncols and nrows are whole numbers from 1 to 2^31 - 1, the corners finite and the
// cell size finite and above 0; otherwise what is wrong.
std::string CheckGridHeader(const GridHeader6& header);

// The regular case: the file has the model's columns and rows, the floors of the corners agree
// and the cell sizes are equal; such a grid is read cell by cell, any other is resampled onto
// the model grid. A single-precision header holds its corners and cell size as floats, so with
// `single_precision` the model's values are rounded to float before they are compared: a
// geographic cell size such as 0.000833333333 degrees is not a float, and an exact comparison
// would resample every grid the model itself wrote in single precision.
bool IsRegularGrid(const GridHeader6& header, const GridGeometry& model,
                   bool single_precision = false);

// The number of values a binary file of `file_bytes` bytes holds after its header, for values
// of `width` bytes (0 when the header does not fit). Compared with rows * cols, which cannot
// overflow for sizes up to 2^31 - 1 each, instead of computing the bytes the header asks for.
uint64_t BinaryValuesInFile(uint64_t file_bytes, uint64_t width);

// ---- Writing ---------------------------------------------------------------------------------

// A header number as "%lf" writes it when that text reads back as the same double; otherwise
// the shortest "%.15g".."%.17g" text that does (corners and cell sizes of geographic grids).
std::string FormatHeaderNumber(double value);

// The six header lines of an ASCII grid in the form
// "ncols\t%d\nnrows\t%d\nxllcorner\t%lf\nyllcorner\t%lf\ncellsize\t%lf\nnodata_value\t%lf\n",
// the four numbers written with FormatHeaderNumber.
std::string FormatAsciiHeader(const GridGeometry& geometry);

// ---- Input files -----------------------------------------------------------------------------

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The wait between two attempts to open a grid file (milliseconds); tests install one that
// does not wait. SetOpenRetrySleep returns the previous one; an empty function restores the
// real wait.
using OpenRetrySleep = std::function<void(int milliseconds)>;
OpenRetrySleep SetOpenRetrySleep(OpenRetrySleep sleep);

// Opens a grid file for binary reading. A failed attempt writes "FATAL: error opening <name>.
// Will try again in 200 ms... (retriesleft = n)" with n = 5..1 and waits; the sixth failure
// writes "FATAL: still error opening <name> - no retry." and throws 21. A directory is refused
// at once with code 21.
FilePtr OpenGridFileWithRetries(DiagnosticStream& diag, const std::string& name);

}  // namespace velorn

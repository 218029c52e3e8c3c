// modelobject::ReadGrid: reading one grid file onto the model grid and handing every MPI
// process its rows.
//
// Process 0 opens the file (with retries), recognises its form, reads and checks its header and
// shares the form, the header and the name with all processes, so that every process takes the
// same decisions. Regular binary grids read without filling are then read by every process
// straight into its own rows; everything else is read whole by process 0 (ASCII, binary, GIF,
// netCDF), the file's nodata cells set to the model's nodata, resampled when the geometry
// differs, holes filled on request, and scattered along the region strips. Errors found on one
// process are combined over all processes before any transfer, so that every process leaves with
// the same error code instead of waiting for a partner that has given up.
#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "core/number_reader.h"
#include "core/error_code.h"
#include "core/modelobject.h"
#include "core/nodata.h"
#include "core/signals.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "grids/gif_image_reader.h"
#include "grids/grid_formats.h"
#include "grids/grid_resampling.h"
#include "grids/hole_filling.h"
#include "grids/mpi_exchange.h"
#include "grids/mpi_layout.h"
#include "grids/netcdf_grid_reader.h"

namespace velorn {
namespace {

constexpr int kNameTooLongCode = 1;
// Longest name that process 0 broadcasts (the buffer holds one more byte).
constexpr std::size_t kBroadcastNameLength = 2400;
// Input geometry of GIF images whose own geometry is not set.
constexpr double kGifDefaultX = 255000.0;
constexpr double kGifDefaultY = -160000.0;
constexpr double kGifDefaultCellsize = 1000.0;
// Input origin and cell size that mark a netCDF slice of exactly the model's size.
constexpr double kNetcdfSameGridMarker = 9999.0;
// Bytes of an ASCII file first read for its header.
constexpr uint64_t kAsciiHeaderBytes = 64 * 1024;

struct ReadArguments {
  int fill_mode = 0;
  bool allocate = false;
  bool verbose = false;
  bool strict_fill = false;
  int keep_whole = 0;
  bool root_only = false;
  bool with_halo = false;
  double fill_value = 0;
};

// What process 0 shares with every process once it has looked at the file.
struct SharedHeader {
  int64_t status = 0;  // error code of process 0, 0 when the file can be read
  int64_t type = kGridUnknown;
  double header[6] = {};
  char name[kBroadcastNameLength + 1] = {};
};

class GridReadCall {
 public:
  GridReadCall(modelobject& owner, DiagnosticStream& diag, const std::string& file_name,
               const ReadArguments& args)
      : owner_(owner),
        diag_(diag),
        args_(args),
        name_(file_name),
        root_(args.root_only || owner.rank == 0) {
    model_.ncols = owner.ncols;
    model_.nrows = owner.nrows;
    model_.xll = owner.xll;
    model_.yll = owner.yll;
    model_.cellsize = owner.cellsize;
    model_.nodata = owner.nodata;
  }

  double** Run(double** given);

 private:
  // Steps, in the order of Run.
  void CheckModelGeometry();
  void ExamineFile();
  void ShareHeader();
  void ChooseRows();
  void PrepareTarget(double** given);
  void ReadCells();
  void CombineStatus(int status);
  // Runs a step of process 0's reading; memory that the file's sizes ask for and the system
  // cannot give ends in the reader's FATAL entry instead of an escaping std::bad_alloc.
  template <class Step>
  void WithoutBadAlloc(Step&& step);
  double** Distribute(double** given);
  double** KeepOnRoot(double** given);

  // Steps of ExamineFile (process 0).
  void ReadHeader();
  void CheckDataSize();
  // Steps of ReadCells.
  void ReadParallel();
  void ReadWholeOnRoot();
  void ReadRegularAscii();
  AsciiCellResult ParseCells(double** target, int64_t rows, int64_t cols, double file_nodata,
                             double nodata);
  void ReadBinaryRows(double** grid, int64_t rows, int64_t cols, bool irregular);
  void ReadIrregular();
  void RequireOverlap(int32_t cols, int32_t rows);
  void ReadGif();
  void ReadNetcdf();
  [[noreturn]] void FailNetcdfSize(int cols, int rows);
  SliceWindow ModelWindow(int file_rows, int file_cols, double west, double south, double cs);
  GridMatrix WholeMask();
  void WarnAboutCellsBeyondTheFile(int32_t cols, int32_t rows, double** mask);
  void RestoreModelNodata();
  void FillHoles();
  void CloseRootFile();

  [[noreturn]] void FailAsciiCell(const AsciiCellResult& cells);
  [[noreturn]] void FailBinaryRead(bool irregular, const std::string& detail = {});
  bool IsBinary() const { return type_ == kGridBinaryDouble || type_ == kGridBinarySingle; }

  modelobject& owner_;
  DiagnosticStream& diag_;
  ReadArguments args_;
  GridGeometry model_;
  int file_rows_ = 0;      // rows of the last netCDF slice's file grid
  std::string name_;       // the working name
  bool root_;              // this process reads the file (process 0, or the caller of rootOnly)
  int shared_status_ = 0;  // process 0's error code while examining the file

  // Set by ExamineFile on process 0, shared by ShareHeader.
  GridFileType type_ = kGridUnknown;
  GridHeader6 header_{};
  // Process 0 only.
  FilePtr file_;
  uint64_t file_size_ = 0;
  std::unique_ptr<char[]> text_buffer_;  // the first bytes of an ASCII file, its header
  std::string_view text_;
  std::size_t data_offset_ = 0;
  double exact_x_ = 0;  // lower-left corner before the header's corners are floored
  double exact_y_ = 0;

  bool regular_ = false;
  bool parallel_ = false;
  int32_t first_row_ = 1;  // rows this process reads or receives
  int32_t last_row_ = 0;
  GridMatrix target_;        // the allocated result (all but process 0 reading whole)
  double** rows_ = nullptr;  // where the rows go: target_ or the caller's grid
  GridMatrix whole_;         // process 0's whole grid when it reads the file alone
};

double** GridReadCall::Run(double** given) {
  const NumberSource source(name_);
  CheckModelGeometry();
  int status = 0;
  if (root_) status = CodeOf([&] { WithoutBadAlloc([&] { ExamineFile(); }); });
  if (args_.root_only) {
    if (status != 0) throw ErrorCode{status};
  } else {
    shared_status_ = status;
    ShareHeader();
  }
  ChooseRows();
  if (!args_.root_only) MPI_Barrier(MPI_COMM_WORLD);
  status = CodeOf([&] {
    WithoutBadAlloc([&] {
      PrepareTarget(given);
      ReadCells();
    });
  });
  CombineStatus(status);
  return Distribute(given);
}

template <class Step>
void GridReadCall::WithoutBadAlloc(Step&& step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    ThrowFatal(diag_, type_ == kGridNetcdf ? kNetcdfErrorCode : kGridFormatCode,
               "FATAL: error reading grid ", name_,
               ": not enough memory for the grid that the file describes");
  }
}

void GridReadCall::CheckModelGeometry() {
  if (model_.ncols > 0 && model_.nrows > 0 && model_.cellsize > 0) return;
  ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading grid ", name_,
             ": the model grid geometry is not set (", model_.ncols, " columns, ", model_.nrows,
             " rows, cell size ", model_.cellsize, ")");
}

// ---- Process 0: open, recognise, header -------------------------------------------------------

void GridReadCall::ExamineFile() {
  std::string netcdf_suffix;
  if (const std::size_t at = name_.find('<'); at != std::string::npos) {
    netcdf_suffix = name_.substr(at);
    name_.erase(at);
  }
  owner_.PrefixDirectory(owner_.input_directory, name_);
  file_ = OpenGridFileWithRetries(diag_, name_);
  // A state grid that its run did not finish writing, that changed since or that another run
  // left beside its state, is refused here.
  CheckGridFile(diag_, name_);
  struct stat info {};
  if (fstat(fileno(file_.get()), &info) == 0) file_size_ = static_cast<uint64_t>(info.st_size);

  std::vector<unsigned char> lead(kGridLeadBytes);
  lead.resize(std::fread(lead.data(), 1, lead.size(), file_.get()));
  type_ = DetectGridFileType(lead.data(), lead.size());
  if (type_ == kGridUnknown)
    ThrowFatal(diag_, kGridFormatCode,
               "FATAL: could not recognise file format (neither ascii, nor single, double, or "
               "GIF) for ",
               name_);
  if (const std::string said = FormNameDisagreement(name_, static_cast<GridFileType>(type_));
      !said.empty())
    diag_ << "WARNING: " << said << "[end-entry]";
  if (args_.verbose)
    diag_ << "reading " << name_ << " for " << owner_.module_name << "..."
          << "[end-entry]";

  if (type_ == kGridAscii || IsBinary()) {
    if (IsBinary()) {
      const auto binary = DecodeBinaryHeader(lead.data(), type_ == kGridBinaryDouble);
      std::copy(binary.begin(), binary.end(), owner_.grid_header.begin());
      std::copy(binary.begin(), binary.begin() + 6, header_.begin());
    } else {
      ReadHeader();
    }
    if (const std::string problem = CheckGridHeader(header_); !problem.empty())
      ThrowFatal(diag_, kGridFormatCode, "FATAL: invalid header in grid file ", name_, ": ",
                 problem);
  } else {
    header_ = {static_cast<double>(model_.ncols),
               static_cast<double>(model_.nrows),
               model_.xll,
               model_.yll,
               model_.cellsize,
               model_.nodata};
  }
  exact_x_ = header_[2];
  exact_y_ = header_[3];
  header_[2] = std::floor(header_[2]);
  header_[3] = std::floor(header_[3]);
  std::copy(header_.begin(), header_.end(), owner_.grid_header.begin());
  if (type_ == kGridAscii || IsBinary()) CheckDataSize();

  // The netCDF reader takes the whole "file<variable>slice" name, with the file named as it was
  // opened here (directory included).
  if (type_ == kGridNetcdf && !netcdf_suffix.empty()) name_ += netcdf_suffix;
  if (name_.size() > kBroadcastNameLength)
    ThrowFatal(diag_, kNameTooLongCode, "FATAL: grid file name longer than ",
               static_cast<unsigned long>(kBroadcastNameLength), " characters: ", name_);
}

// The header is read from the first bytes of the file (more while they may cut it: a header
// that fails or ends at their end); the cells follow from there in ParseCells.
void GridReadCall::ReadHeader() {
  AsciiHeaderResult header;
  for (uint64_t bytes = std::min<uint64_t>(file_size_, kAsciiHeaderBytes);; bytes *= 2) {
    bytes = std::min(bytes, file_size_);
    text_buffer_ = std::make_unique_for_overwrite<char[]>(bytes);
    std::rewind(file_.get());
    if (std::fread(text_buffer_.get(), 1, bytes, file_.get()) != bytes)
      ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ascii value #", 1, " from ", name_);
    text_ = std::string_view(text_buffer_.get(), bytes);
    header = ParseAsciiHeader(text_);
    if (bytes == file_size_ || (header.failed_pair == 0 && header.data_offset < bytes)) break;
  }
  if (header.failed_pair != 0)
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ascii value #", header.failed_pair,
               " from ", name_, " (", header.reason, ")");
  header_ = header.values;
  data_offset_ = header.data_offset;
}

// A header that asks for more cells than the file can hold fails here, before any matrix of
// that size is allocated: binary files must hold every value (and no more), and an ASCII value
// takes at least two bytes (a digit and a separator; the last one needs no separator). The counts
// are compared, not the byte sizes, which would overflow for the largest headers.
void GridReadCall::CheckDataSize() {
  const auto cols = static_cast<uint64_t>(header_[0]);
  const auto rows = static_cast<uint64_t>(header_[1]);
  if (type_ == kGridAscii) {
    const uint64_t data_bytes = file_size_ - data_offset_;
    if (rows * cols <= (data_bytes + 1) / 2) return;
    FailAsciiCell(
        ParseCells(nullptr, static_cast<int64_t>(rows), static_cast<int64_t>(cols), 0, 0));
  }
  // A binary file holds its header and its values, nothing more: bytes or values beyond them
  // (a file of another grid, a file cut from a larger one) mean that the header does not
  // describe the file.
  const uint64_t width = type_ == kGridBinaryDouble ? sizeof(double) : sizeof(float);
  const uint64_t values = BinaryValuesInFile(file_size_, width);
  const uint64_t header_bytes = kBinaryHeaderValues * width;
  const uint64_t extra_bytes = file_size_ < header_bytes ? 0 : (file_size_ - header_bytes) % width;
  if (values == rows * cols && extra_bytes == 0) return;
  FailBinaryRead(
      !IsRegularGrid(header_, model_, type_ == kGridBinarySingle),
      " (the file holds " + std::to_string(values) + " values" +
          (extra_bytes == 0 ? std::string() : " and " + std::to_string(extra_bytes) + " bytes") +
          " after its header, its header asks for " + std::to_string(rows) + " rows of " +
          std::to_string(cols) + ")");
}

void GridReadCall::FailAsciiCell(const AsciiCellResult& cells) {
  if (cells.trailing)
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ascii grid ", name_,
               " in ASCII-Format: more values than ", static_cast<long long>(cells.row),
               " rows of ", static_cast<long long>(cells.col), " columns");
  ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading ascii grid ", name_,
             " in ASCII-Format in row ", static_cast<long long>(cells.row), ", col ",
             static_cast<long long>(cells.col));
}

void GridReadCall::FailBinaryRead(bool irregular, const std::string& detail) {
  if (irregular)
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading (irregular) float  grid ", name_,
               detail);
  ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading double grid ", name_, detail);
}

// ---- Sharing and the row range ----------------------------------------------------------------

void GridReadCall::ShareHeader() {
  SharedHeader shared;
  if (owner_.rank == 0) {
    shared.status = shared_status_;
    shared.type = type_;
    std::copy(header_.begin(), header_.end(), shared.header);
    if (shared_status_ == 0) std::memcpy(shared.name, name_.data(), name_.size());
  }
  MPI_Bcast(&shared, sizeof shared, MPI_BYTE, 0, MPI_COMM_WORLD);
  MPI_Barrier(MPI_COMM_WORLD);
  if (shared.status != 0) throw ErrorCode{static_cast<int>(shared.status)};
  if (owner_.rank != 0) {
    type_ = static_cast<GridFileType>(shared.type);
    std::copy(shared.header, shared.header + 6, header_.begin());
    std::copy(header_.begin(), header_.end(), owner_.grid_header.begin());
    name_ = shared.name;
  }
}

void GridReadCall::ChooseRows() {
  regular_ = IsRegularGrid(header_, model_, type_ == kGridBinarySingle);
  parallel_ = IsBinary() && regular_ && args_.fill_mode == 0 && args_.keep_whole == 0;
  if (root_ && !parallel_) {
    first_row_ = 1;
    last_row_ = model_.nrows;
    return;
  }
  first_row_ = owner_.first_local_row;
  last_row_ = owner_.last_local_row;
  if (args_.with_halo) {
    const HeldRows held = HeldRowsOf(first_row_, last_row_, model_.nrows);
    first_row_ = held.first;
    last_row_ = held.last;
  }
}

// The matrix that receives this process's rows: allocated and preset with nodata, or the
// caller's, whose rows must exist. Process 0 reading the whole file reads into whole_ and
// decides in Distribute.
void GridReadCall::PrepareTarget(double** given) {
  const auto no_memory = [&] {
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading grid ", name_,
               " no memory allocated (pointer given to function is NULL)");
  };
  if (!args_.allocate && given == nullptr) no_memory();
  if (root_ && !parallel_) return;
  if (args_.allocate) {
    target_ = GridMatrix(diag_, first_row_, last_row_, model_.ncols, model_.nrows);
    for (int32_t r = first_row_; r <= last_row_; ++r)
      std::fill(target_[r], target_[r] + model_.ncols + 1, model_.nodata);
    rows_ = target_.get();
    return;
  }
  for (int32_t r = first_row_; r <= last_row_; ++r)
    if (given[r] == nullptr) no_memory();
  rows_ = given;
}

// ---- Reading the cells ------------------------------------------------------------------------

void GridReadCall::ReadCells() {
  if (parallel_) {
    if (root_) CloseRootFile();
    ReadParallel();
    ReplaceValue(rows_, first_row_, last_row_, model_.ncols, header_[5], model_.nodata);
    return;
  }
  if (!root_) return;
  // Every way of reading sets every cell of the whole grid.
  whole_ = GridMatrix(diag_, 1, model_.nrows, model_.ncols, model_.nrows);
  ReadWholeOnRoot();
  CloseRootFile();
  if (args_.fill_mode == 1 || args_.fill_mode == 2) FillHoles();
}

// Every process reads the rows of its range from the file at their offsets.
void GridReadCall::ReadParallel() {
  if (first_row_ > last_row_) return;
  const bool is_double = type_ == kGridBinaryDouble;
  const int64_t width = is_double ? sizeof(double) : sizeof(float);
  const int32_t cols = model_.ncols;
  MPI_File file;
  if (const int rc =
          MPI_File_open(MPI_COMM_SELF, name_.c_str(), MPI_MODE_RDONLY, MPI_INFO_NULL, &file);
      rc != MPI_SUCCESS) {
    std::string reason(MPI_MAX_ERROR_STRING, '\0');
    int length = 0;
    MPI_Error_string(rc, reason.data(), &length);
    reason.resize(static_cast<std::size_t>(std::max(length, 0)));
    ThrowFatal(diag_, 21, "FATAL: error opening ", name_, " for reading on process ", owner_.rank,
               ": ", reason);
  }
  std::vector<float> floats(is_double ? 0 : static_cast<std::size_t>(cols));
  bool failed = false;
  for (int32_t r = first_row_; r <= last_row_ && !failed; ++r) {
    const MPI_Offset offset = (kBinaryHeaderValues + static_cast<MPI_Offset>(r - 1) * cols) * width;
    void* buffer = is_double ? static_cast<void*>(rows_[r] + 1) : floats.data();
    MPI_Status status;
    int count = 0;
    failed = MPI_File_read_at(file, offset, buffer, cols, is_double ? MPI_DOUBLE : MPI_FLOAT,
                              &status) != MPI_SUCCESS ||
             MPI_Get_count(&status, is_double ? MPI_DOUBLE : MPI_FLOAT, &count) != MPI_SUCCESS ||
             count != cols;
    if (!failed && !is_double) std::copy(floats.begin(), floats.end(), rows_[r] + 1);
  }
  MPI_File_close(&file);
  if (failed) FailBinaryRead(false);
}

void GridReadCall::ReadWholeOnRoot() {
  switch (type_) {
    case kGridGif:
      ReadGif();
      return;
    case kGridNetcdf:
      ReadNetcdf();
      return;
    default:
      break;
  }
  if (!regular_) {
    ReadIrregular();
    return;
  }
  if (type_ == kGridAscii) {
    ReadRegularAscii();
    return;
  }
  ReadBinaryRows(whole_.get(), model_.nrows, model_.ncols, false);
  ReplaceValue(whole_.get(), 1, model_.nrows, model_.ncols, header_[5], model_.nodata);
}

// The resampling and the GIF mapping mark nodata with -9999 (kNodata), whatever the model's
// nodata value is; a model with another nodata value gets its own value in those cells.
void GridReadCall::RestoreModelNodata() {
  ReplaceValue(whole_.get(), 1, model_.nrows, model_.ncols, kNodata, model_.nodata);
}

void GridReadCall::ReadRegularAscii() {
  const AsciiCellResult cells =
      ParseCells(whole_.get(), model_.nrows, model_.ncols, header_[5], model_.nodata);
  if (!cells.ok) FailAsciiCell(cells);
}

// The cells of an ASCII file behind its header, read on from where the header's bytes ended,
// the file's nodata value set to `nodata` as they are read.
AsciiCellResult GridReadCall::ParseCells(double** target, int64_t rows, int64_t cols,
                                         double file_nodata, double nodata) {
  const std::string_view start = text_.substr(data_offset_);
  std::FILE* file = file_.get();
  const AsciiTextSource more = [file](char* to, std::size_t size) {
    return std::fread(to, 1, size, file);
  };
  const AsciiCellResult cells =
      ParseAsciiCellStream(start, more, rows, cols, target, file_nodata, nodata);
  text_buffer_.reset();
  text_ = {};
  return cells;
}

void GridReadCall::ReadBinaryRows(double** grid, int64_t rows, int64_t cols, bool irregular) {
  const bool is_double = type_ == kGridBinaryDouble;
  const long header_bytes = kBinaryHeaderValues * (is_double ? 8 : 4);
  if (std::fseek(file_.get(), header_bytes, SEEK_SET) != 0) FailBinaryRead(irregular);
  std::vector<float> floats(is_double ? 0 : static_cast<std::size_t>(cols));
  const auto count = static_cast<std::size_t>(cols);
  for (int64_t r = 1; r <= rows; ++r) {
    if (is_double) {
      if (std::fread(grid[r] + 1, sizeof(double), count, file_.get()) != count)
        FailBinaryRead(irregular);
    } else {
      if (std::fread(floats.data(), sizeof(float), count, file_.get()) != count)
        FailBinaryRead(irregular);
      std::copy(floats.begin(), floats.end(), grid[r] + 1);
    }
  }
}

// The resampling gives a cell beyond the file's edges the edge cell's value: a file that lies
// beside the model area (a header with a corner 1000 km off) would give every cell a value from
// somewhere else. Such a file is refused; one that covers part of the model area is resampled.
void GridReadCall::RequireOverlap(int32_t cols, int32_t rows) {
  const double west = exact_x_, east = exact_x_ + cols * header_[4];
  const double south = exact_y_, north = exact_y_ + rows * header_[4];
  const double model_east = model_.xll + model_.ncols * model_.cellsize;
  const double model_north = model_.yll + model_.nrows * model_.cellsize;
  if (!owner_.refuse_grid_beside_model) return;
  if (east > model_.xll && west < model_east && north > model_.yll && south < model_north) return;
  ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading grid ", name_, ": it covers x ",
             FormatText("%.10g", west), " to ", FormatText("%.10g", east), ", y ",
             FormatText("%.10g", south), " to ", FormatText("%.10g", north),
             ", none of the model grid at x ", FormatText("%.10g", model_.xll), " to ",
             FormatText("%.10g", model_east), ", y ", FormatText("%.10g", model_.yll), " to ",
             FormatText("%.10g", model_north), " (check xllcorner, yllcorner and cellsize)");
}

// A grid of another geometry: the file's grid whole, its nodata cells set to the resampler's
// nodata, then resampled onto the model grid from the exact lower-left corner of the file. The
// resampled values are not compared with the file's nodata value again: a blend of two values
// may equal it and is still a value.
void GridReadCall::ReadIrregular() {
  const auto rows = static_cast<int32_t>(header_[1]);
  const auto cols = static_cast<int32_t>(header_[0]);
  RequireOverlap(cols, rows);
  GridMatrix source(diag_, 1, rows, cols, rows);
  if (type_ == kGridAscii) {
    const AsciiCellResult cells = ParseCells(source.get(), rows, cols, header_[5], kNodata);
    if (!cells.ok) FailAsciiCell(cells);
  } else {
    ReadBinaryRows(source.get(), rows, cols, true);
    ReplaceValue(source.get(), 1, rows, cols, header_[5], kNodata);
  }
  GridMatrix mask = WholeMask();
  WarnAboutCellsBeyondTheFile(cols, rows, mask.get());
  GifImageReader::ResampleToGrid(diag_, source.get(), 1, cols, 1, rows, whole_.get(), 1,
                                 model_.ncols, 1, model_.nrows, mask.get(), exact_x_, exact_y_,
                                 header_[4], model_.xll, model_.yll, model_.cellsize);
  RestoreModelNodata();
}

// The cells of the basin (of the model grid without a mask) whose centres lie beyond the file's
// edges take the values of its edge cells: a file that covers a corner of the basin would
// stretch its few values over the rest. The resampling is kept; the WARNING says how much of
// the basin the file covers.
void GridReadCall::WarnAboutCellsBeyondTheFile(int32_t cols, int32_t rows, double** mask) {
  const double west = exact_x_, east = exact_x_ + cols * header_[4];
  const double south = exact_y_, north = exact_y_ + rows * header_[4];
  // Without a mask of its own the basin is that of the zone grid, when it is read already.
  bool basin = mask != nullptr;
  if (!basin && owner_.registry != nullptr) {
    const GridEntry& zone = (*owner_.registry)[1];
    if (zone.grid != nullptr && zone.first_row <= 1 && zone.last_row >= model_.nrows) {
      mask = zone.grid;
      basin = true;
    }
  }
  long cells = 0, beyond = 0;
  for (int32_t r = 1; r <= model_.nrows; ++r) {
    const double y = model_.yll + (model_.nrows - r + 0.5) * model_.cellsize;
    for (int32_t c = 1; c <= model_.ncols; ++c) {
      if (basin && (IsMissing(mask[r][c]) || mask[r][c] == model_.nodata)) continue;
      ++cells;
      const double x = model_.xll + (c - 0.5) * model_.cellsize;
      if (x < west || x > east || y < south || y > north) ++beyond;
    }
  }
  if (beyond == 0) return;
  diag_ << "WARNING: grid " << name_ << " covers x " << FormatText("%.10g", west) << " to "
        << FormatText("%.10g", east) << ", y " << FormatText("%.10g", south) << " to "
        << FormatText("%.10g", north) << ": " << beyond << " of the " << cells
        << (basin ? " cells of the basin" : " cells of the model grid")
        << " lie beyond it and take the values of its edge cells (check xllcorner, yllcorner, "
           "cellsize and the extent of the file)[end-entry]";
}

void GridReadCall::ReadGif() {
  GifImageReader gif(diag_, name_);
  int width = 0;
  int height = 0;
  gif.ReadSize(width, height);
  GridMatrix raster(diag_, 1, height, width, height);
  gif.Decode(raster);
  if (owner_.input_x == 0) owner_.input_x = kGifDefaultX;
  if (owner_.input_y == 0) owner_.input_y = kGifDefaultY;
  if (owner_.input_cellsize == 0) owner_.input_cellsize = kGifDefaultCellsize;
  GridMatrix mask = WholeMask();
  GifImageReader::ResampleToGrid(diag_, raster.get(), 1, width, 1, height, whole_.get(), 1,
                                 model_.ncols, 1, model_.nrows, mask.get(), owner_.input_x,
                                 owner_.input_y, owner_.input_cellsize, model_.xll, model_.yll,
                                 model_.cellsize);
  GifValueMapping mapping;
  mapping.a1 = owner_.gif_a1;
  mapping.b1 = owner_.gif_b1;
  mapping.a2 = owner_.gif_a2;
  mapping.b2 = owner_.gif_b2;
  mapping.limit = owner_.gif_limit;
  GifImageReader::ConvertPixelValues(whole_.get(), 1, model_.ncols, 1, model_.nrows, mapping);
  RestoreModelNodata();
}

void GridReadCall::ReadNetcdf() {
  if (!owner_.netcdf_reader) owner_.netcdf_reader = std::make_shared<NetcdfGridReader>(diag_);
  std::vector<double> values;
  std::string input = name_;
  int rows = 0;
  int cols = 0;
  const double cs = owner_.input_cellsize;
  const bool same_grid = owner_.input_x == kNetcdfSameGridMarker &&
                         owner_.input_y == kNetcdfSameGridMarker && cs == kNetcdfSameGridMarker;
  // A netCDF slice carries no geometry the reader takes: only the grid list of interpolation
  // method 9 gives one. Every other reader of a grid (standard and variable grids, state grids)
  // has none to place the slice with.
  if (!same_grid && !(cs > 0))
    ThrowFatal(diag_, kGridFormatCode, "FATAL: netCDF grid ", name_,
               " cannot be read here: netCDF files are read only as the grids of meteorological "
               "interpolation method 9, whose grid list gives their geometry (the x and y of the "
               "centre of the lower-left cell and the cell size in its header rows, or 9999 in "
               "all three for slices of the model grid's rows and columns); give this grid as an "
               "ASCII or binary grid");
  // Only the cells the model reads are read: a slice of the model grid must have its sizes, and
  // of a slice that is resampled the part over the model area (one cell more on every side).
  // So a small file that declares a huge grid is refused or read in part before anything of
  // its declared size is allocated.
  const double west = owner_.input_x - cs / 2;
  const double south = owner_.input_y - cs / 2;
  SliceWindow part;
  const auto choose = [&](int file_rows, int file_cols) {
    if (same_grid) {
      if (file_rows != model_.nrows || file_cols != model_.ncols)
        FailNetcdfSize(file_cols, file_rows);
      part = SliceWindow{1, 1, file_rows, file_cols};
    } else {
      part = ModelWindow(file_rows, file_cols, west, south, cs);
    }
    return part;
  };
  // Missing values become the model's nodata for a slice of the model grid, and the
  // resampler's nodata for a slice that is resampled.
  owner_.netcdf_reader->ReadGrid(values, input, rows, cols, same_grid ? model_.nodata : kNodata,
                                 choose);
  if (rows < 1 || cols < 1 ||
      values.size() != static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols))
    ThrowFatal(diag_, kGridFormatCode, "FATAL: error reading grid ", name_,
               ": the netCDF slice has ", rows, " rows and ", cols, " columns but ",
               static_cast<unsigned long>(values.size()), " values");
  const auto at = [&](int32_t i, int32_t j) {
    return values[static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(rows) +
                  static_cast<std::size_t>(i - 1)];
  };
  GridMatrix mask = WholeMask();
  if (same_grid) {
    if (rows != model_.nrows || cols != model_.ncols) FailNetcdfSize(cols, rows);
    for (int32_t i = 1; i <= model_.nrows; ++i)
      for (int32_t j = 1; j <= model_.ncols; ++j)
        whole_[i][j] = mask && IsNodata(mask[i][j], model_.nodata) ? model_.nodata : at(i, j);
    return;
  }
  GridMatrix slice(diag_, 1, rows, cols, rows);
  for (int32_t i = 1; i <= rows; ++i)
    for (int32_t j = 1; j <= cols; ++j) slice[i][j] = at(i, j);
  // The window's lower left corner: the file's, moved by the columns left out on the west and
  // the rows left out on the south.
  const double window_west = cs > 0 ? west + (part.first_column - 1) * cs : west;
  const double window_south =
      cs > 0 ? south + (file_rows_ - (part.first_row - 1 + part.rows)) * cs : south;
  GifImageReader::ResampleToGrid(diag_, slice.get(), 1, cols, 1, rows, whole_.get(), 1,
                                 model_.ncols, 1, model_.nrows, mask.get(), window_west,
                                 window_south, cs, model_.xll, model_.yll, model_.cellsize);
  RestoreModelNodata();
}

[[noreturn]] void GridReadCall::FailNetcdfSize(int cols, int rows) {
  ThrowFatal(diag_, kGridFormatCode,
             "FATAL: error assigning cell values from a netCDF file to Velorn grids from file ",
             name_, ". number of columns (", cols, ") and/or rows (", rows,
             ") in nc-file not matching those in Velorn (", model_.ncols, " and ", model_.nrows,
             " resp.).\n",
             " If the error occurs in interpolation method 9, please define xllcorner, "
             "yllcorner and cellsize in the x-, y- and z header rows of the input file for "
             "interpolation");
}

// The rows and columns of a file grid (lower left corner west/south, cell size cs, row 1 at the
// top) that cover the model area, with one cell more on every side for the resampling. Counted
// in double and clamped to the file before any cast; the whole file without a cell size.
SliceWindow GridReadCall::ModelWindow(int file_rows, int file_cols, double west, double south,
                                      double cs) {
  file_rows_ = file_rows;
  if (!(cs > 0)) return SliceWindow{1, 1, file_rows, file_cols};
  const double top = south + file_rows * cs;
  const double east_model = model_.xll + model_.ncols * model_.cellsize;
  const double north_model = model_.yll + model_.nrows * model_.cellsize;
  const auto clamp = [](double value, double low, double high) {
    return static_cast<int>(std::clamp(std::isnan(value) ? low : value, low, high));
  };
  const int first_col = clamp(std::floor((model_.xll - west) / cs), 1, file_cols);
  const int last_col = clamp(std::ceil((east_model - west) / cs) + 1, first_col, file_cols);
  const int first_row = clamp(std::floor((top - north_model) / cs), 1, file_rows);
  const int last_row = clamp(std::ceil((top - model_.yll) / cs) + 1, first_row, file_rows);
  return SliceWindow{first_row, first_col, last_row - first_row + 1, last_col - first_col + 1};
}

// The input mask grid over every row (rows the mask does not hold mask nothing), or an empty
// matrix when no mask is set.
GridMatrix GridReadCall::WholeMask() {
  if (owner_.input_grid == nullptr) return {};
  GridMatrix mask(diag_, 1, model_.nrows, model_.ncols, model_.nrows);
  for (int32_t r = 1; r <= model_.nrows; ++r)
    if (const double* row = owner_.input_grid[r]; row != nullptr)
      std::copy(row, row + model_.ncols + 1, mask[r]);
  return mask;
}

// Filling needs the reference grid (registry entry 1) over every row.
void GridReadCall::FillHoles() {
  double** reference = nullptr;
  if (owner_.registry != nullptr) {
    const GridEntry& entry = (*owner_.registry)[1];
    if (entry.grid != nullptr && entry.first_row <= 1 && entry.last_row >= model_.nrows)
      reference = entry.grid;
  }
  if (reference == nullptr)
    ThrowFatal(diag_, kGridMissingCode, "FATAL: cannot fill the nodata holes of ", name_,
               ": the reference grid (grid 1, the zone grid) is not read yet, or not held whole "
               "on this process");
  HoleFilling how;
  how.fill_mode = args_.fill_mode;
  how.strict = args_.strict_fill;
  how.fill_value = args_.fill_value;
  FillGridHoles(diag_, owner_.rank, args_.verbose, name_, whole_.get(), reference, model_.nrows,
                model_.ncols, model_.nodata, how);
}

void GridReadCall::CloseRootFile() {
  if (!file_) return;
  if (std::fclose(file_.release()) != 0)
    ThrowFatal(diag_, kGridCloseCode, "FATAL: error closing grid ", name_);
}

// ---- Errors and distribution --------------------------------------------------------------------

// Every process learns the worst error of all, so all leave together; process 0 names the
// grid when only another process failed.
void GridReadCall::CombineStatus(int status) {
  if (args_.root_only) {
    if (status != 0) throw ErrorCode{status};
    return;
  }
  int worst = 0;
  MPI_Allreduce(&status, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (worst == 0) return;
  if (status == 0 && owner_.rank == 0)
    diag_ << "FATAL: error reading grid " << name_ << " on another process"
          << "[end-entry]";
  throw ErrorCode{worst};
}

double** GridReadCall::Distribute(double** given) {
  double** result = rows_;
  if (!parallel_) {
    if (!args_.root_only) MPIScatterGrid(diag_, owner_.mpi, root_ ? whole_.get() : rows_);
    if (root_) result = KeepOnRoot(given);
  }
  if (args_.allocate && target_) result = target_.release();
  if (!args_.root_only && args_.with_halo) MPIExchangeGridHalo(owner_.mpi, result);
  return result;
}

// Process 0 after the scatter: with `allocate` it keeps the whole grid (keepWholeGrid 1) or a
// matrix of its own rows; otherwise the caller's matrix receives every row it holds.
double** GridReadCall::KeepOnRoot(double** given) {
  if (!args_.allocate) {
    for (int32_t r = 1; r <= model_.nrows; ++r)
      if (given[r] != nullptr) std::copy(whole_[r] + 1, whole_[r] + model_.ncols + 1, given[r] + 1);
    return given;
  }
  if (args_.keep_whole == 1) {
    target_ = std::move(whole_);
    return target_.get();
  }
  HeldRows rows{owner_.first_local_row, owner_.last_local_row};
  if (args_.with_halo) rows = HeldRowsOf(rows.first, rows.last, model_.nrows);
  if (rows.first == 1 && rows.last == model_.nrows) {  // its rows are all rows
    target_ = std::move(whole_);
    return target_.get();
  }
  target_ = GridMatrix(diag_, rows.first, rows.last, model_.ncols, model_.nrows);
  for (int32_t r = rows.first; r <= rows.last; ++r)
    std::copy(whole_[r], whole_[r] + model_.ncols + 1, target_[r]);
  return target_.get();
}

}  // namespace

void modelobject::ReadGrid(const std::string& fileName, double**& grid, int fillMode, bool allocate,
                           bool verbose, bool strictFill, int keepWholeGrid, bool rootOnly,
                           bool withHaloRows, double fillValue) {
  SigintIgnoredScope sigint_ignored;
  ReadArguments args;
  args.fill_mode = fillMode;
  args.allocate = allocate;
  args.verbose = verbose;
  args.strict_fill = strictFill;
  args.keep_whole = keepWholeGrid;
  args.root_only = rootOnly;
  args.with_halo = withHaloRows;
  args.fill_value = fillValue;
  GridReadCall call(*this, Diag(), fileName, args);
  grid = call.Run(grid);
}

}  // namespace velorn

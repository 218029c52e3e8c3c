// Stack files: modelobject::ReadStack, WriteStack and WriteStackOutput (the file layout and
// process 0's reader are in stack_file_reader.h).
//
// ASCII and netCDF stacks pass through process 0; binary stacks are read and written by all
// processes together through MPI-IO, each process moving the rows (reading) or the cells
// (writing) it owns. Every MPI-IO result is checked and agreed on by all processes, so a failed
// open, read or write ends in the same FATAL entry and code everywhere instead of in zeros.
#include <mpi.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/modelobject.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "grids/grid_formats.h"
#include "grids/grid_output.h"
#include "grids/mpi_exchange.h"
#include "grids/netcdf_grid_writer.h"
#include "grids/netcdf_names.h"
#include "grids/stack_file_reader.h"

namespace velorn {
namespace {

// Values per MPI-IO read or write at most (bounds the staging buffers).
constexpr int64_t kIoChunkValues = int64_t{1} << 22;

std::string MpiErrorText(int code) {
  std::string text(MPI_MAX_ERROR_STRING, '\0');
  int length = 0;
  MPI_Error_string(code, text.data(), &length);
  text.resize(static_cast<std::size_t>(std::max(length, 0)));
  return text;
}

// " (<MPI's text>)" of a failed MPI-IO call, then the system's reason that the library left in
// errno (`error`, 0: none). One file layer reports a full disk by its own error class, another
// (ROMIO) as a plain input/output error with the reason in errno only.
std::string MpiFailure(int rc, int error) {
  return " (" + MpiErrorText(rc) + ")" + (error != 0 ? SystemReason(error) : std::string());
}

// kWriteErrorCode for an MPI-IO error of a full disk or quota (the data did not reach the
// file), else `code`.
int FullDiskOr(int rc, int code) {
  int error_class = 0;
  MPI_Error_class(rc, &error_class);
  return error_class == MPI_ERR_NO_SPACE || error_class == MPI_ERR_QUOTA ? kWriteErrorCode : code;
}

// The first failure of this process in a collective phase, agreed on by all processes.
struct CollectiveStatus {
  int code = 0;
  std::string text;
  void Fail(int failure_code, std::string failure_text) {
    if (code != 0) return;
    code = failure_code;
    text = std::move(failure_text);
  }
  // Throws the highest code on every process when any failed: the failing process reports its
  // cause, the others name the process that failed.
  void Agree(DiagnosticStream& diag, const std::string& what, const std::string& name) const {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int mine[2] = {code, rank};
    int worst[2] = {0, 0};
    MPI_Allreduce(mine, worst, 1, MPI_2INT, MPI_MAXLOC, MPI_COMM_WORLD);
    if (worst[0] == 0) return;
    // The cause travels to every process, so that process 0 shows it whichever process failed.
    std::string cause = rank == worst[1] ? text : std::string();
    BroadcastText(cause, MPI_COMM_WORLD, worst[1]);
    if (code != 0) ThrowFatal(diag, worst[0], "FATAL: ", what, " ", name, ": ", text);
    ThrowFatal(diag, worst[0], "FATAL: ", what, " ", name, " failed on mpi-rank ", worst[1], ": ",
               cause);
  }
};

// An MPI-IO file handle closed on every path (closing is collective).
class MpiFile {
 public:
  MpiFile() = default;
  ~MpiFile() {
    if (handle_ != MPI_FILE_NULL) MPI_File_close(&handle_);
  }
  MpiFile(const MpiFile&) = delete;
  MpiFile& operator=(const MpiFile&) = delete;
  int Open(const std::string& name, int mode) {
    return MPI_File_open(MPI_COMM_WORLD, name.c_str(), mode, MPI_INFO_NULL, &handle_);
  }
  int Close() { return handle_ == MPI_FILE_NULL ? MPI_SUCCESS : MPI_File_close(&handle_); }
  MPI_File get() const { return handle_; }

 private:
  MPI_File handle_ = MPI_FILE_NULL;
};

// ---- The cells a process writes --------------------------------------------------------------

// Which process writes a cell of a stack and what. A process writes the cells it owns from its
// stack; process 0 writes the cells outside the domain (owner nodata) as nodata, and every cell
// when no decomposition is known. Rows that the stack does not hold are written as nodata.
struct CellSource {
  double*** stack;
  double** owner;  // null: no decomposition
  int rank;
  int size;

  bool InDomain(double owner_value) const { return owner_value >= 0 && owner_value < size; }
  const double* OwnerRow(int64_t row) const { return owner != nullptr ? owner[row] : nullptr; }
  bool Writes(int64_t row, int64_t col) const {
    const double* who = OwnerRow(row);
    if (who == nullptr) return rank == 0;
    return InDomain(who[col]) ? static_cast<int>(who[col]) == rank : rank == 0;
  }
  // Level values of the cell, or null when the cell is written as nodata.
  const double* Values(int64_t row, int64_t col) const {
    const double* who = OwnerRow(row);
    if (who != nullptr && !InDomain(who[col])) return nullptr;
    return stack[row] != nullptr ? stack[row][col] : nullptr;
  }
  // Process 0 scans every row (it holds the whole owner grid), the others their own rows.
  bool ScansRow(int64_t row, int64_t first_own, int64_t last_own) const {
    if (rank == 0) return true;
    return row >= first_own && row <= last_own && OwnerRow(row) != nullptr;
  }
};

// Collects values in file order and writes runs that are contiguous in the file with one
// positioned write each, converting to the element type of the file.
template <class Element>
class RunWriter {
 public:
  RunWriter(MPI_File file, MPI_Datatype type, CollectiveStatus& status)
      : file_(file), type_(type), status_(status) {
    buffer_.reserve(static_cast<std::size_t>(kIoChunkValues));
  }
  // Appends `count` values at element `offset` of the file; null `values` means nodata.
  void Append(int64_t offset, const double* values, int64_t count, double nodata) {
    if (status_.code != 0) return;
    if (offset != start_ + static_cast<int64_t>(buffer_.size())) Flush();
    if (buffer_.empty()) start_ = offset;
    for (int64_t i = 0; i < count; ++i)
      buffer_.push_back(static_cast<Element>(values != nullptr ? values[i] : nodata));
    if (static_cast<int64_t>(buffer_.size()) >= kIoChunkValues) Flush();
  }
  void Flush() {
    if (buffer_.empty() || status_.code != 0) {
      buffer_.clear();
      return;
    }
    const auto count = static_cast<int>(buffer_.size());
    MPI_Status io{};
    errno = 0;
    const int rc = MPI_File_write_at(file_, static_cast<MPI_Offset>(start_ * sizeof(Element)),
                                     buffer_.data(), count, type_, &io);
    // A write that stops short reports success with the values it wrote; the system's reason
    // is then left in errno by the library's last write.
    const int error = errno;
    int written = 0;
    if (rc == MPI_SUCCESS) MPI_Get_count(&io, type_, &written);
    if (rc != MPI_SUCCESS || written != count) {
      const int64_t stopped =
          (start_ + std::max(written, 0)) * static_cast<int64_t>(sizeof(Element));
      status_.Fail(kWriteErrorCode,
                   "write failed at byte " + std::to_string(stopped) +
                       (rc != MPI_SUCCESS ? MpiFailure(rc, error)
                        : error != 0      ? SystemReason(error)
                                     : FormatText(" (%d of %d values written)", written, count)));
    }
    start_ += count;
    buffer_.clear();
  }

 private:
  MPI_File file_;
  MPI_Datatype type_;
  CollectiveStatus& status_;
  std::vector<Element> buffer_;
  int64_t start_ = 0;
};

template <class Element>
void WriteBinaryCells(const CellSource& source, const StackGeometry& geometry, int64_t first_own,
                      int64_t last_own, MPI_File file, MPI_Datatype type,
                      CollectiveStatus& status) {
  RunWriter<Element> writer(file, type, status);
  const int64_t width = geometry.levels + 1;
  if (source.rank == 0) {
    const std::array<double, kStackHeaderValues> header = StackHeader(geometry);
    writer.Append(0, header.data(), kStackHeaderValues, geometry.nodata);
  }
  for (int64_t row = 1; row <= geometry.nrows; ++row) {
    if (!source.ScansRow(row, first_own, last_own)) continue;
    for (int64_t col = 1; col <= geometry.ncols; ++col) {
      if (!source.Writes(row, col)) continue;
      writer.Append(StackValueOffset(geometry, row, col), source.Values(row, col), width,
                    geometry.nodata);
    }
  }
  writer.Flush();
}

// ---- Reading on process 0 --------------------------------------------------------------------

// What process 0 learnt from the file, broadcast to all: failure code (0: none), form, levels,
// header values 1-6.
struct SharedStackHeader {
  int code = 0;
  StackForm form = StackForm::kAscii;
  StackGeometry geometry;
};

void BroadcastHeader(SharedStackHeader& shared) {
  StackGeometry& g = shared.geometry;
  std::array<double, 9> v = {static_cast<double>(shared.code),
                             static_cast<double>(static_cast<int>(shared.form)),
                             static_cast<double>(g.levels),
                             static_cast<double>(g.ncols),
                             static_cast<double>(g.nrows),
                             g.xll,
                             g.yll,
                             g.cellsize,
                             g.nodata};
  MPI_Bcast(v.data(), static_cast<int>(v.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  shared.code = static_cast<int>(v[0]);
  shared.form = static_cast<StackForm>(static_cast<int>(v[1]));
  g = StackGeometry{static_cast<int64_t>(v[3]), static_cast<int64_t>(v[4]), v[5], v[6], v[7], v[8],
                    static_cast<int64_t>(v[2])};
}

void BroadcastName(std::string& name) {
  int length = static_cast<int>(name.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  name.resize(static_cast<std::size_t>(length));
  MPI_Bcast(name.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
}

// Process 0's failure, passed on to every process after the broadcast.
[[noreturn]] void ThrowShared(DiagnosticStream& diag, int rank, int code, const std::string& name) {
  if (rank == 0) throw ErrorCode{code};
  ThrowFatal(diag, code, "FATAL: reading stack ", name, " failed on mpi-rank 0");
}

// ---- Reading through MPI-IO ------------------------------------------------------------------

template <class Element>
void ReadBinaryRows(const StackGeometry& geometry, StackMatrix& stack, MPI_File file,
                    MPI_Datatype type, CollectiveStatus& status) {
  const int64_t row_values = geometry.ncols * (geometry.levels + 1);
  const int64_t rows_per_chunk =
      std::max<int64_t>(1, kIoChunkValues / std::max<int64_t>(row_values, 1));
  std::vector<Element> buffer;
  for (int64_t first = stack.first_row(); first <= stack.last_row(); first += rows_per_chunk) {
    const int64_t last = std::min(stack.last_row(), first + rows_per_chunk - 1);
    const int64_t count = (last - first + 1) * row_values;
    buffer.resize(static_cast<std::size_t>(count));
    const int64_t offset = StackValueOffset(geometry, first, 1);
    MPI_Status io{};
    errno = 0;
    const int rc = MPI_File_read_at(file, static_cast<MPI_Offset>(offset * sizeof(Element)),
                                    buffer.data(), static_cast<int>(count), type, &io);
    const int error = errno;
    int read = 0;
    if (rc == MPI_SUCCESS) MPI_Get_count(&io, type, &read);
    if (rc != MPI_SUCCESS || read != count) {
      status.Fail(kGridFormatCode, std::string("error reading ") +
                                       (sizeof(Element) == 4 ? "float" : "double") +
                                       " stack at row " + std::to_string(first) +
                                       (rc != MPI_SUCCESS ? MpiFailure(rc, error) : ""));
      return;
    }
    const Element* value = buffer.data();
    for (int64_t row = first; row <= last; ++row)
      for (int64_t col = 1; col <= geometry.ncols; ++col)
        for (int64_t level = 0; level <= geometry.levels; ++level)
          stack[row][col][level] = static_cast<double>(*value++);
  }
}

// ---- ASCII and netCDF writers (process 0) ----------------------------------------------------

// value(row, col, level) gives what is written for every value of the file.
template <class Value>
void WriteAsciiStack(DiagnosticStream& diag, const std::string& name, const StackGeometry& g,
                     Value&& value) {
  errno = 0;
  std::FILE* file = OpenOutputFile(name, "w");
  if (file == nullptr)
    ThrowFatal(diag, kOutputCreateCode, "FATAL: error opening ", name, SystemReason(ErrnoOrIo()));
  const std::array<double, kStackHeaderValues> h = StackHeader(g);
  // "%lf", or more digits where "%lf" would not read back as the same number (the corners and
  // cell sizes of geographic grids), so that the geometry check accepts the file again.
  static constexpr const char* kKeys[kStackHeaderValues] = {
      "stack_ncols", "nrows", "xll", "yll", "cs",      "nodata",
      "cnt",         "min",   "max", "sum", "average", "numlevels"};
  std::string lines;
  for (int i = 0; i < kStackHeaderValues; ++i)
    lines += FormatText("%s\t%s\n", kKeys[i], FormatHeaderNumber(h[i]).c_str());
  int error = 0;
  // The first failure is kept: later calls may change errno.
  const auto write = [&] {
    errno = 0;
    if (std::fwrite(lines.data(), 1, lines.size(), file) != lines.size() && error == 0)
      error = ErrnoOrIo();
  };
  write();
  // One value a line in "%lg" form, a row of cells at a time; a state's in "%.17g", which reads
  // back to the same double (six digits keep the heads in metres above sea level to the
  // centimetre, and a warm start from them would not continue the run).
  const int digits = RecordingWrites() ? 17 : 6;
  for (int64_t row = 1; row <= g.nrows; ++row) {
    lines.clear();
    for (int64_t col = 1; col <= g.ncols; ++col)
      for (int64_t level = 0; level <= g.levels; ++level) {
        AppendGeneral(lines, value(row, col, level), digits);
        lines += '\n';
      }
    write();
  }
  // What stdio still holds goes out first: a failure there is a failed write (a full disk).
  errno = 0;
  if (std::fflush(file) != 0 && error == 0) error = ErrnoOrIo();
  const int close_error = CloseChecked(file);
  if (error != 0)
    ThrowFatal(diag, kWriteErrorCode, "FATAL: write error ", name, " ! (", kWriteErrorCode, ")",
               SystemReason(error));
  if (close_error != 0)
    ThrowFatal(diag, kOutputCloseCode, "FATAL: error closing ", name, SystemReason(close_error));
}

// Column-major copy (x outer, top row first) of a registered grid, nodata in rows not held.
std::vector<double> ColumnMajor(double** grid, const StackGeometry& g) {
  std::vector<double> values(static_cast<std::size_t>(g.ncols * g.nrows), g.nodata);
  for (int64_t row = 1; row <= g.nrows; ++row)
    if (grid[row] != nullptr)
      for (int64_t col = 1; col <= g.ncols; ++col)
        values[static_cast<std::size_t>((col - 1) * g.nrows + row - 1)] = grid[row][col];
  return values;
}

// Every level as the next time slice of the variable, levels 0..L in order.
template <class Value>
void WriteNetcdfStack(modelobject& object, NetcdfGridWriter& writer, const std::string& name,
                      const StackGeometry& g, bool double_precision, Value&& value) {
  writer.SetGeoReference(g.xll, g.yll, g.cellsize);
  std::string file;
  std::string variable;
  MakeNetcdfFileName(file, name);
  StripNetcdfVariableName(variable, name);
  std::vector<double> latitude;
  std::vector<double> longitude;
  if (object.registry != nullptr) {
    if (const int at = object.registry->FindIdentifier("latitude");
        at > 0 && (*object.registry)[at].grid)
      latitude = ColumnMajor((*object.registry)[at].grid, g);
    if (const int at = object.registry->FindIdentifier("longitude");
        at > 0 && (*object.registry)[at].grid)
      longitude = ColumnMajor((*object.registry)[at].grid, g);
  }
  writer.SetLatitudeGrid(latitude.empty() ? nullptr : latitude.data());
  writer.SetLongitudeGrid(longitude.empty() ? nullptr : longitude.data());
  const auto cells = static_cast<std::size_t>(g.ncols * g.nrows);
  std::vector<double> doubles(double_precision ? cells : 0);
  std::vector<float> floats(double_precision ? 0 : cells);
  for (int64_t level = 0; level <= g.levels; ++level) {
    for (int64_t row = 1; row <= g.nrows; ++row)
      for (int64_t col = 1; col <= g.ncols; ++col) {
        const auto at = static_cast<std::size_t>((col - 1) * g.nrows + row - 1);
        if (double_precision)
          doubles[at] = value(row, col, level);
        else
          floats[at] = static_cast<float>(value(row, col, level));
      }
    writer.WriteGrid(double_precision, doubles.data(), floats.data(), file, variable,
                     static_cast<int>(g.nrows), static_cast<int>(g.ncols), g.nodata);
  }
}

}  // namespace

// ---- modelobject::ReadStack ------------------------------------------------------------------

int modelobject::ReadStack(const std::string& fileName, double***& stack, bool wholeOnRoot) {
  SigintIgnoredScope sigint;
  std::string name = fileName;
  PrefixDirectory(input_directory, name);
  const StackGeometry model{ncols, nrows, xll, yll, cellsize, nodata, 0};

  // Process 0 recognises the form, checks the geometry and, for a row-by-row read, keeps the
  // file open; every failure reaches the other processes through the broadcast.
  SharedStackHeader shared;
  StackFileReader root_file(Diag(), name);
  if (rank == 0) {
    shared.code = CodeOf([&] {
      root_file.Open();
      Diag() << "reading " << name << " for " << module_name << "..."
             << "[end-entry]";
      const std::string reference =
          registry != nullptr && (*registry)[1].file_name ? *(*registry)[1].file_name : "";
      shared.form = root_file.Recognise();
      const GridFileType values = shared.form == StackForm::kAscii    ? kGridAscii
                                  : shared.form == StackForm::kSingle ? kGridBinarySingle
                                                                      : kGridBinaryDouble;
      if (const std::string said = FormNameDisagreement(name, values); !said.empty())
        Diag() << "WARNING: " << said << "[end-entry]";
      root_file.CheckGeometry(model, shared.form, module_name, reference);
      shared.geometry = root_file.Geometry();
      if (shared.form != StackForm::kAscii && !wholeOnRoot) root_file.Close("grid ");
    });
  }
  BroadcastHeader(shared);
  BroadcastName(name);
  if (shared.code != 0) ThrowShared(Diag(), rank, shared.code, name);
  const StackGeometry geometry = shared.geometry;

  const bool root_reads = shared.form == StackForm::kAscii || wholeOnRoot;
  int64_t first = std::max<int64_t>(first_local_row, 1);
  int64_t last = std::min<int64_t>(last_local_row, nrows);
  if (rank == 0 && root_reads) first = 1, last = nrows;
  MPI_Barrier(MPI_COMM_WORLD);

  if (!root_reads) {
    StackMatrix local(Diag(), first, last, ncols, geometry.levels, nrows);
    CollectiveStatus status;
    MpiFile file;
    if (const int rc = file.Open(name, MPI_MODE_RDONLY); rc != MPI_SUCCESS)
      status.Fail(kGridOpenCode, "error opening (" + MpiErrorText(rc) + ")");
    status.Agree(Diag(), "error opening stack", name);
    if (shared.form == StackForm::kDouble)
      ReadBinaryRows<double>(geometry, local, file.get(), MPI_DOUBLE, status);
    else
      ReadBinaryRows<float>(geometry, local, file.get(), MPI_FLOAT, status);
    if (const int rc = file.Close(); rc != MPI_SUCCESS)
      status.Fail(kGridCloseCode, "error closing (" + MpiErrorText(rc) + ")");
    status.Agree(Diag(), "error reading stack", name);
    stack = local.release();
    return static_cast<int>(geometry.levels);
  }

  // Process 0 reads every row, then each process receives its own.
  StackMatrix whole(Diag(), first, last, ncols, geometry.levels, nrows);
  int code = 0;
  if (rank == 0) {
    code = CodeOf([&] {
      root_file.ReadRows(shared.form, geometry, whole.get());
      root_file.Close("stack (2) ");
    });
  }
  MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (code != 0) ThrowShared(Diag(), rank, code, name);
  velorn::MPIScatterStack(Diag(), mpi, whole.get(), static_cast<int>(geometry.levels), name);
  double** owner = DecompositionOwnerGrid(*this);
  if (rank != 0 && owner != nullptr) {
    for (int64_t row = whole.first_row(); row <= whole.last_row(); ++row)
      for (int64_t col = 1; col <= ncols; ++col)
        if (owner[row] != nullptr && owner[row][col] != rank)
          for (int64_t level = 1; level <= geometry.levels; ++level)
            whole[row][col][level] = nodata;
  }
  const int64_t own_first = std::max<int64_t>(first_local_row, 1);
  const int64_t own_last = std::min<int64_t>(last_local_row, nrows);
  if (rank == 0 && !wholeOnRoot && (own_first != first || own_last != last)) {
    StackMatrix local(Diag(), own_first, own_last, ncols, geometry.levels, nrows);
    for (int64_t row = own_first; row <= own_last; ++row)
      std::copy(whole[row][0], whole[row][0] + (ncols + 1) * (geometry.levels + 1), local[row][0]);
    whole = std::move(local);
  }
  stack = whole.release();
  return static_cast<int>(geometry.levels);
}

// ---- modelobject::WriteStack -----------------------------------------------------------------

void modelobject::WriteStack(const std::string& fileName, double*** stack, int levels,
                             bool asciiFlag, bool doubleFlag, bool netcdfFlag) {
  SigintIgnoredScope sigint;
  std::string name = fileName;
  PrefixDirectory(output_directory, name);
  const StackGeometry geometry{ncols, nrows, xll, yll, cellsize, nodata, levels};
  const CellSource source{stack, DecompositionOwnerGrid(*this), rank, size};

  if (netcdfFlag || asciiFlag) {
    if (rank != 0) return;
    auto value = [&](int64_t row, int64_t col, int64_t level) {
      const double* values = source.Values(row, col);
      return values != nullptr ? values[level] : nodata;
    };
    if (netcdfFlag) {
      if (!netcdf_writer) netcdf_writer = std::make_shared<NetcdfGridWriter>(Diag());
      WriteNetcdfStack(*this, *netcdf_writer, name, geometry, doubleFlag, value);
    } else {
      WriteAsciiStack(Diag(), name, geometry, value);
    }
    return;
  }

  // Binary: every process writes the cells it owns, process 0 the header and the cells outside
  // the domain; the file is then cut to its exact size.
  CollectiveStatus status;
  MpiFile file;
  // Process 0 sets an earlier file aside (and records the new one) before any process opens it.
  if (rank == 0) KeepBeforeWriting(name, true);
  MPI_Barrier(MPI_COMM_WORLD);
  if (const int rc = file.Open(name, MPI_MODE_CREATE | MPI_MODE_WRONLY); rc != MPI_SUCCESS)
    status.Fail(kOutputCreateCode,
                "cannot create the file for writing in binary mode (" + MpiErrorText(rc) + ")");
  status.Agree(Diag(), "error creating stack", name);
  if (doubleFlag)
    WriteBinaryCells<double>(source, geometry, first_local_row, last_local_row, file.get(),
                             MPI_DOUBLE, status);
  else
    WriteBinaryCells<float>(source, geometry, first_local_row, last_local_row, file.get(),
                            MPI_FLOAT, status);
  status.Agree(Diag(), "error writing stack", name);
  const int64_t bytes = StackFileValues(geometry) * (doubleFlag ? 8 : 4);
  if (const int rc = MPI_File_set_size(file.get(), static_cast<MPI_Offset>(bytes));
      rc != MPI_SUCCESS)
    status.Fail(FullDiskOr(rc, kOutputCloseCode),
                "cannot set the file size (" + MpiErrorText(rc) + ")");
  if (const int rc = file.Close(); rc != MPI_SUCCESS)
    status.Fail(FullDiskOr(rc, kOutputCloseCode), "error closing (" + MpiErrorText(rc) + ")");
  status.Agree(Diag(), "error closing stack", name);
}

// ---- modelobject::WriteStackOutput -----------------------------------------------------------

void modelobject::WriteStackOutput(int index) {
  if (index < 1 || index > kRefusedGridIndex || registry == nullptr) return;
  GridEntry& entry = (*registry)[index];
  if (entry.units_digit == 0 && entry.tens_digit == 0) return;
  if (entry.stack == nullptr || !entry.file_name) return;
  const OutputCalendar calendar = OutputCalendarOf(step_date, end_key, GetTimeShiftHours());
  if (!StackDue(entry.units_digit, calendar)) return;

  std::string name = *entry.file_name;
  if (StackDated(entry.units_digit)) {
    const OutputNameParts parts = SplitOutputName(name, StackStemLimit(*registry, index));
    name = DatedOutputName(parts, step_date, NextSameDateCounter(entry, step_date));
  }
  const int levels = entry.level_count;
  StackMatrix gathered;
  if (size >= 2 && (write_ascii || write_netcdf))
    gathered =
        velorn::MPIGatherStackCopy(Diag(), mpi, entry.stack, levels, entry.identifier.value_or(""));
  double*** data = gathered ? gathered.get() : entry.stack;
  WriteStack(name, data, levels, write_ascii, write_double, write_netcdf);
  if (StackDated(entry.units_digit) && calendar.run_end)
    WriteStack(*entry.file_name, data, levels, write_ascii, write_double, write_netcdf);
}

}  // namespace velorn

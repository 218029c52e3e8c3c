// SpecialOutputClass and SpecialOutputFile: reading the section, the row buffers and their
// collective write.
#include "grids/special_output.h"

#include <mpi.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "core/brace_block_readers.h"
#include "core/error_code.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "version.h"

namespace velorn {
namespace {

bool IsBlankOrBoundary(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ';' || c == '{' || c == '}';
}

// True when `text` holds an item "entity {" (the word at a key boundary, then optional blanks
// and the opening brace), so a file name such as "entity_points.txt" is no item.
bool HasEntityItem(const std::string& text) {
  static const std::string word = "entity";
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    if (at > 0 && !IsBlankOrBoundary(text[at - 1])) continue;
    std::size_t pos = at + word.size();
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos < text.size() && text[pos] == '{') return true;
  }
  return false;
}

}  // namespace

int64_t SpecialOutputCapacity(int64_t values_per_row) {
  const int64_t capacity = kSpecialOutputBufferBytes / ((values_per_row + 1) * 8 + 32);
  return capacity < 1 ? 1 : capacity;
}

// ---- SpecialOutputFile ---------------------------------------------------------------------

SpecialOutputFile::SpecialOutputFile(SpecialOutputClass* owner, DiagnosticStream* diag,
                                     const std::string& block, GridRegistry* registry,
                                     const SpecialOutputGeometry& geometry, int32_t first_row,
                                     int32_t last_row, const std::string& output_directory,
                                     int32_t sub_step_count)
    : diag_(diag),
      registry_(registry),
      owner_(owner),
      first_row_(first_row),
      last_row_(last_row),
      sub_step_count_(sub_step_count) {
  // The header is a line of text: every word of it is kept, not only the first.
  std::string header_text;
  if (FindKeyValueText(block, "header", header_text)) {
    const std::size_t first = header_text.find_first_not_of(" \t\r\n");
    const std::size_t last = header_text.find_last_not_of(" \t\r\n");
    header_ = first == std::string::npos ? "" : header_text.substr(first, last - first + 1);
  }
  if (!ParseStringValue(*diag_, block, "filename", file_name_))
    ThrowFatal(*diag_, kControlFileErrorCode,
               "FATAL: Error in section [special_output]: a file block has no filename: \"", block,
               "\"");
  owner_->PrefixDirectory(output_directory, file_name_);
  // Two blocks of one file would interleave their rows (and the second would wipe the header
  // of the first).
  for (const auto& file : owner_->files())
    if (file->file_name() == file_name_)
      ThrowFatal(*diag_, kControlFileErrorCode,
                 "FATAL: Error in section [special_output]: two file blocks write the file ",
                 file_name_, "; give every block a file of its own");
  std::string rest = block;
  while (HasEntityItem(rest)) {
    const std::string text = ExtractBracedBlock(*diag_, rest);
    entities_.push_back(std::make_unique<SpecialOutputEntity>(this, diag_, text, registry_,
                                                              geometry, sub_step_count_));
    values_per_row_ += entities_.back()->point_count();
  }
  capacity_ = SpecialOutputCapacity(values_per_row_);
  dates_.assign(static_cast<std::size_t>(capacity_ + 1), {0, 0, 0, 0});
  values_.assign(static_cast<std::size_t>((capacity_ + 1) * (values_per_row_ + 1)), 0.0);
  if (owner_->rank == 0) CreateFile();
}

SpecialOutputFile::~SpecialOutputFile() {
  // The write is collective: it is skipped while an exception unwinds one process, which would
  // otherwise wait for partners that never arrive.
  if (std::uncaught_exceptions() > 0) return;
  try {
    Flush();
  } catch (...) {
    // The FATAL entry is written; a destructor cannot pass the failure on.
  }
}

void SpecialOutputFile::CreateFile() {
  errno = 0;
  std::FILE* file = OpenOutputFile(file_name_, "w");
  if (file == nullptr)
    ThrowFatal(*diag_, kSpecialOutputCreateCode,
               "FATAL: error opening file for special output of file\n", file_name_,
               SystemReason(ErrnoOrIo()), "\n-> check file name, disk space or user rights");
  std::string text = "YY\tMM\tDD\tHH";
  for (const auto& entity : entities_) text += entity->CellHeader();
  text += FormatText("\n%s\nYY\tMM\tDD\tHH", header_.c_str());
  for (const auto& entity : entities_) text += entity->CoordinateHeader();
  text += "\n";
  const int error = WriteAndClose(file, text);
  if (error != 0)
    ThrowFatal(*diag_, kWriteErrorCode, "FATAL: write error ", file_name_, " ! (header)",
               SystemReason(error));
}

void SpecialOutputFile::CollectRow(int64_t hour, int64_t day, int64_t month, int64_t year,
                                   bool sub_step_call, int sub_step) {
  if (row_closed_) {
    ++rows_used_;
    dates_[rows_used_] = {year, month, day, hour};
    row_closed_ = false;
  }
  double* values = RowValues(rows_used_);
  int value_index = 1;
  for (const auto& entity : entities_)
    value_index = entity->CollectValues(values, value_index, sub_step_call, sub_step);
  if (sub_step_call) return;
  if (rows_used_ >= capacity_) WriteBuffer();
  row_closed_ = true;
}

void SpecialOutputFile::Flush() {
  if (rows_used_ > 0) WriteBuffer();
}

// The reduction comes first, so that a file that cannot be opened on process 0 leaves no
// partner waiting in it. A point that no process owns stays -9999; the owner's value wins over
// the -9999 of the others, and a value below -9999 is written as -9999 with any number of
// processes.
void SpecialOutputFile::WriteBuffer() {
  SigintIgnoredScope sigint_ignored;
  const int count = static_cast<int>(rows_used_ * (values_per_row_ + 1));
  double* block = RowValues(1);
  const int root = 0;
  if (owner_->rank == root)
    MPI_Reduce(MPI_IN_PLACE, block, count, MPI_DOUBLE, MPI_MAX, root, MPI_COMM_WORLD);
  else
    MPI_Reduce(block, nullptr, count, MPI_DOUBLE, MPI_MAX, root, MPI_COMM_WORLD);
  const int64_t rows = rows_used_;
  rows_used_ = 0;
  if (owner_->rank != root) return;

  *diag_ << "write " << file_name_ << "[end-entry]";
  std::string text;
  for (int64_t row = 1; row <= rows; ++row) {
    const std::array<int64_t, 4>& date = dates_[row];
    text += FormatText("%ld\t%ld\t%ld\t%ld", static_cast<long>(date[0]), static_cast<long>(date[1]),
                       static_cast<long>(date[2]), static_cast<long>(date[3]));
    const double* values = RowValues(row);
    for (int32_t i = 1; i <= values_per_row_; ++i)
      text += FormatText("\t%g", values[i] < kNodata ? kNodata : values[i]);
    text += "\n";
  }
  errno = 0;
  std::FILE* file = OpenOutputFile(file_name_, "a+");
  if (file == nullptr)
    ThrowFatal(*diag_, kSpecialOutputAppendCode, "FATAL: \nerror opening file ", file_name_,
               SystemReason(ErrnoOrIo()));
  const int error = WriteAndClose(file, text);
  if (error != 0)
    ThrowFatal(*diag_, kWriteErrorCode, "FATAL: write error ", file_name_, " ! (rows)",
               SystemReason(error));
  *diag_ << "(" << static_cast<long long>((values_per_row_ * 8 + 32) * rows) << " of "
         << static_cast<long long>(kSpecialOutputBufferBytes) << " buffer-bytes)"
         << "[end-entry]";
}

// ---- SpecialOutputClass --------------------------------------------------------------------

SpecialOutputClass::SpecialOutputClass(const SubModelSetup& setup, int32_t& error,
                                       int32_t sub_step_count)
    : teilmodellklasse(setup, "special_output", sub_step_count) {
  error = 0;
  if (GetFlowControl() == 0) return;
  const std::string stamp = VELORN_BUILD_TIME;
  const std::size_t blank = stamp.find(' ');
  Diag() << "file "
         << "teilmod"
         << ", compiled at " << stamp.substr(0, blank) << ", "
         << (blank == std::string::npos ? std::string() : stamp.substr(blank + 1)) << "[end-entry]";
  if (owner_grid == nullptr && registry != nullptr) {
    if (const int index = registry->FindIdentifier("MPIRegions"); index > 0)
      owner_grid = (*registry)[index].grid;
    if (const int index = registry->FindIdentifier("MPIHelper"); index > 0)
      strip_table = (*registry)[index].grid;
  }
  ReadFiles();
  control_file->Close();
}

SpecialOutputClass::~SpecialOutputClass() = default;

void SpecialOutputClass::ReadFiles() {
  const std::string line = control_file->RestOfLine();
  if (!ParseIntValue(Diag(), line, "numfiles", file_count_) || file_count_ < 0)
    ThrowFatal(Diag(), kControlFileErrorCode,
               "FATAL: error in control file, [special_output]: \"numfiles = <count>;\" expected "
               "after the time interval, found \"",
               line, "\"");
  const SpecialOutputGeometry geometry{xll, yll, cellsize, ncols, nrows};
  for (int f = 1; f <= file_count_; ++f) {
    const std::string block = ReadFileBlock(f);
    KeyUse use;
    files_.push_back(std::make_unique<SpecialOutputFile>(this, &Diag(), block, registry, geometry,
                                                         first_local_row, last_local_row,
                                                         output_directory, sub_step_count));
    use.WarnAboutUnreadKeys(Diag(), block, FormatText("[special_output], file block %d", f));
  }
}

// The first line opens the block whatever it holds; each later line that holds "{" opens one
// more level and one that holds "}" closes one. The block ends with the line that brings the
// depth below 1 once the text holds a "}".
std::string SpecialOutputClass::ReadFileBlock(int file_number) {
  const auto not_closed = [&] {
    ThrowFatal(Diag(), kControlFileErrorCode,
               "FATAL: error in control file, [special_output]: ", "the block of file ",
               file_number, " of ", file_count_,
               " is missing or not closed by \"}\" before the end of the file");
  };
  if (control_file->AtEnd()) not_closed();
  std::string block = control_file->RestOfLine();
  int depth = 1;
  while (!(Contains(block, "}") && depth < 1)) {
    if (control_file->AtEnd()) not_closed();
    const std::string line = control_file->RestOfLine();
    if (Contains(line, "{")) ++depth;
    if (Contains(line, "}")) --depth;
    block += " " + line;
  }
  return block;
}

void SpecialOutputClass::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year,
                                 bool sub_step_call, int sub_step) {
  for (const auto& file : files_) file->CollectRow(hour, day, month, year, sub_step_call, sub_step);
}

void SpecialOutputClass::FlushBuffers() {
  for (const auto& file : files_) file->Flush();
}

void SpecialOutputClass::ReleaseMemory() {
  // Every file writes its rows before it goes; the first failure is passed on after the release.
  std::exception_ptr failure;
  for (const auto& file : files_) {
    try {
      file->Flush();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  files_.clear();
  teilmodellklasse::ReleaseMemory();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velorn

// DiagnosticStream: entry handling, escaping for the XML file and the file's life cycle.
#include "core/diagnostic_stream.h"

#include <fcntl.h>
#include <mpi.h>
#include <omp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/error_code.h"

namespace velorn {
namespace {

constexpr std::string_view kEndEntry = "[end-entry]";
constexpr const char* kFallbackName = "Velorn_Diag.xml";
constexpr int kOpenFailedCode = 320;

struct Prefix {
  std::string_view text;
  int level;
};

// Level prefixes in the order they are tested at the start of a piece.
constexpr std::array<Prefix, 6> kPrefixes = {{{"FATAL: ", kLevelFatal},
                                              {"ERROR: ", kLevelError},
                                              {"WARNING: ", kLevelWarning},
                                              {"INFO: ", kLevelInfo},
                                              {"DEBUG: ", kLevelDebug},
                                              {"SKIP: ", kLevelSkip}}};

// The prefix at position 0 of `piece`, or nullptr.
const Prefix* FindPrefix(std::string_view piece) {
  for (const Prefix& prefix : kPrefixes) {
    if (piece.substr(0, prefix.text.size()) == prefix.text) return &prefix;
  }
  return nullptr;
}

// Removes the first "[end-entry]" where it stands; tells whether there was one.
bool CutEndMarker(std::string& piece) {
  const std::size_t at = piece.find(kEndEntry);
  if (at == std::string::npos) return false;
  piece.erase(at, kEndEntry.size());
  return true;
}

// Length of the well-formed UTF-8 sequence of an XML character at `at`, or 0. Overlong forms,
// surrogates, code points above U+10FFFF and U+FFFE / U+FFFF are not taken.
std::size_t Utf8CharacterLength(std::string_view piece, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(piece[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > piece.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  if (lead == 0xEF && byte(1) == 0xBF && byte(2) >= 0xBE) return 0;  // U+FFFE, U+FFFF
  return length;
}

// Appends the non-ASCII character at `at` and returns the bytes it took: a UTF-8 character as
// it stands, any other byte as the Latin-1 character of that code (the file is UTF-8 and must
// stay readable when a name comes from a Latin-1 control file or table).
std::size_t AppendNonAscii(std::string_view piece, std::size_t at, std::string& escaped) {
  if (const std::size_t length = Utf8CharacterLength(piece, at)) {
    escaped.append(piece.substr(at, length));
    return length;
  }
  const auto code = static_cast<unsigned char>(piece[at]);
  escaped += static_cast<char>(0xC0 | (code >> 6));
  escaped += static_cast<char>(0x80 | (code & 0x3F));
  return 1;
}

// Makes a piece safe inside a double-quoted XML attribute on one line. A line feed or carriage
// return becomes ";", but nothing where the line already breaks
// (at the start of the entry, `before` being the attribute's quote, or after a blank): the
// one-line form reads "error opening output/x.stat", not "error opening ;output/x.stat". Other
// control characters become a blank (XML 1.0 forbids most of them), bytes that are not UTF-8
// their Latin-1 characters, and runs of three or more dashes shrink to two.
std::string EscapeForFile(std::string_view piece, char before) {
  std::string escaped;
  escaped.reserve(piece.size() + 16);
  for (std::size_t at = 0; at < piece.size();) {
    const char c = piece[at];
    if (c == '\n' || c == '\r') {
      ++at;
      const char last = escaped.empty() ? before : escaped.back();
      if (last != '"' && last != ' ' && last != '\0') escaped += ';';
      continue;
    }
    if (static_cast<unsigned char>(c) >= 0x80) {
      at += AppendNonAscii(piece, at, escaped);
      continue;
    }
    ++at;
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '\n':
      case '\r':
        escaped += ';';
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
        break;
    }
  }
  std::string shrunk;
  shrunk.reserve(escaped.size());
  int dashes = 0;
  for (const char c : escaped) {
    dashes = (c == '-') ? dashes + 1 : 0;
    if (dashes <= 2) shrunk += c;
  }
  return shrunk;
}

std::string LineStart(int level) {
  std::string start = "\t<line level=\"";
  start += static_cast<char>('0' + level);
  start += "\" description= \"";
  return start;
}

constexpr const char* kLineEnd = "\"/>";
constexpr const char* kClosingTag = "</Diag>\n";

// Pieces of an entry that a thread writes inside a parallel region, kept until the entry ends.
// `format` turns typed pieces into text with the thread's own field widths.
struct PendingEntry {
  unsigned long long stream_id = 0;
  std::vector<std::string> pieces;
  std::ostringstream format;
};

// One record per stream this thread has written to inside a parallel region.
thread_local std::vector<PendingEntry> t_pending;

PendingEntry& PendingOf(unsigned long long stream_id) {
  for (PendingEntry& entry : t_pending) {
    if (entry.stream_id == stream_id) return entry;
  }
  t_pending.emplace_back();
  t_pending.back().stream_id = stream_id;
  return t_pending.back();
}

std::atomic<unsigned long long> g_next_stream_id{1};

// Local time as 2019-09-01T14:05:09.
std::string LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

// The diagnostics file name of process `rank`: cut before the extension, add "_<rank>.xml".
std::string RankFileName(const std::string& requested, int rank) {
  std::string base = requested.empty() ? std::string(kDefaultDiagnosticsFile) : requested;
  // Only a "." of the last path component starts an extension: "./diag" gives ./diag_0.xml.
  const std::size_t slash = base.rfind('/');
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.erase(dot);
  return base + "_" + std::to_string(rank) + ".xml";
}

}  // namespace

DiagnosticStream::DiagnosticStream(const std::string& file_name, int threshold)
    : threshold_(threshold), id_(g_next_stream_id++) {
  Open(file_name, true);
}

DiagnosticStream::DiagnosticStream() : id_(g_next_stream_id++) {
  Open(std::string(), false);
}

DiagnosticStream::DiagnosticStream(const std::string& file_name, int threshold,
                                   std::ostream& screen)
    : screen_(&screen), errors_(&screen), threshold_(threshold), id_(g_next_stream_id++) {
  Open(file_name, true);
}

DiagnosticStream::~DiagnosticStream() {
  Finish();
  if (lock_fd_ >= 0) close(lock_fd_);
}

int DiagnosticStream::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_) return write_error_;
  finished_ = true;
  WritePendingOfThisThread();
  EmitErrorText();
  if (rank_ != 0 || !file_.is_open()) return write_error_;
  if (line_open_) WriteFileLine(line_ + kLineEnd);
  line_open_ = false;
  WriteFileLine(LineStart(kLevelInfo) + "Velorn finished at " + LocalTimeStamp() + kLineEnd);
  errno = 0;
  file_.close();
  if (file_.fail()) NoteWriteFailure(errno);
  return write_error_;
}

void DiagnosticStream::RequireWritten() {
  if (write_error_ == 0) return;
  // The file cannot take the entry; the screen shows it, and the top level ends the run.
  ThrowFatal(*this, kWriteErrorCode, "FATAL: the diagnostics file ", file_name_, " is incomplete",
             SystemReason(write_error_));
}

void DiagnosticStream::NoteWriteFailure(int error) {
  if (write_error_ != 0) return;
  write_error_ = error != 0 ? error : EIO;
  *screen_ << '\n'
           << RankTag() << "FATAL: cannot write the diagnostics file " << file_name_
           << SystemReason(write_error_)
           << "; the messages that follow are on this screen only, and the run ends with code "
           << kWriteErrorCode << '\n'
           << RankTag();
  screen_->flush();
}

std::string DiagnosticStream::RankTag() const {
  char tag[48];
  std::snprintf(tag, sizeof tag, "(mpi-rank %2d) ", rank_);
  return tag;
}

void DiagnosticStream::Open(const std::string& requested_name, bool with_fallback) {
  int initialized = 0;
  MPI_Initialized(&initialized);
  if (initialized) {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
  }
  const std::string name = RankFileName(requested_name, rank_);
  if (rank_ != 0) return;

  LockFile(name);
  file_.open(name, std::ios::out | std::ios::trunc);
  if (file_.is_open()) {
    file_name_ = name;
  } else if (with_fallback) {
    *screen_ << RankTag() << "\n ----- Warning -----\n error opening diagnostics output file "
             << name << '\n'
             << RankTag()
             << "\nusing default name Velorn_Diag.xml in actual working directory\n"
                " -------------------\n\n"
             << std::endl;
    file_.clear();
    LockFile(kFallbackName);
    file_.open(kFallbackName, std::ios::out | std::ios::trunc);
    if (file_.is_open()) file_name_ = kFallbackName;
  }
  if (!file_.is_open()) {
    const std::string failed = with_fallback ? std::string(kFallbackName) : name;
    *screen_ << RankTag() << "Error opening diagnostics output file " << failed << std::endl;
    throw ErrorCode{kOpenFailedCode};
  }
  WriteHeader();
}

void DiagnosticStream::LockFile(const std::string& name) {
  // Opened without truncation: the file is emptied only once the lock is ours.
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // the open of the stream itself fails and reports it
  // Only a regular file is locked: runs may share a device such as /dev/null.
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    if (lock_fd_ >= 0) close(lock_fd_);
    lock_fd_ = fd;
    return;
  }
  const int error = errno;
  close(fd);
  if (error != EWOULDBLOCK) return;  // a file system without locks: run unlocked
  *screen_ << RankTag() << "FATAL: the diagnostics file " << name
           << " is in use by another run in this working directory; this run ends without "
              "touching it or any other file of that run (give it a working directory of its "
              "own or another name with -diagfile:)"
           << std::endl;
  throw ErrorCode{kOutputCreateCode};
}

void DiagnosticStream::WriteHeader() {
  // Header, start line and closing tag go out in one flush, right after the open.
  std::string header =
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<Diag version=\"1.2\" xmlns=\"http://www.wldelft.nl/fews/PI\" \n"
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" \n"
      "xsi:schemaLocation=\"http://www.wldelft.nl/fews/PI "
      "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd\">\n";
  header += LineStart(kLevelInfo) + "Velorn start at " + LocalTimeStamp() + kLineEnd;
  tail_ = 0;
  WriteFileLine(header);
}

void DiagnosticStream::WriteFileLine(const std::string& line) {
  if (!file_.good()) return;
  // Every line is longer than the closing tag, so nothing of the old tag is left behind.
  errno = 0;
  file_.seekp(tail_);
  file_ << line << '\n';
  tail_ = file_.tellp();
  file_ << kClosingTag;
  file_.flush();
  if (!file_.good()) NoteWriteFailure(errno);
}

bool DiagnosticStream::WritesFile() const {
  return rank_ == 0 && file_.is_open() && file_.good() && !suppressed_;
}

void DiagnosticStream::OpenEntry(int level) {
  level_ = level;
  suppressed_ = level_ > threshold_;
  entry_closed_ = false;
  error_text_.clear();
  fatal_text_.clear();
  line_open_ = WritesFile();
  if (line_open_) line_ = LineStart(level_);
}

void DiagnosticStream::EndRunningEntry() {
  if (line_open_ && rank_ == 0) WriteFileLine(line_ + kLineEnd);
  line_open_ = false;
  EmitErrorText();
}

// A screen that no longer takes lines (standard output piped into a program that ended) is
// said once in the file, which goes on holding every entry.
void DiagnosticStream::NoteClosedScreen() {
  if (rank_ != 0 || screen_closed_noted_ || !screen_->fail() || !WritesFile() ||
      kLevelWarning > threshold_)
    return;
  screen_closed_noted_ = true;
  WriteFileLine(LineStart(kLevelWarning) +
                "the screen (standard output) takes no more lines: the run goes on, its "
                "messages are written to this file only" +
                kLineEnd);
}

void DiagnosticStream::EmitErrorText() {
  if (rank_ == 0 || error_text_.empty()) return;
  const std::string tag = RankTag();
  std::string text = tag;
  for (const char c : error_text_) {
    text += c;
    if (c == '\n') text += tag;
  }
  *errors_ << text << '\n';
  errors_->flush();
  error_text_.clear();
}

void DiagnosticStream::BeginEntry() {
  if (entry_closed_) {
    OpenEntry(kLevelDebug);
  } else {
    suppressed_ = level_ > threshold_;
  }
  file_form_.clear();
}

void DiagnosticStream::ProcessText(const std::string& text) {
  std::string piece = text;
  const Prefix* prefix = FindPrefix(piece);
  if (prefix != nullptr) {
    piece.erase(0, prefix->text.size());
    // A new level ends a running entry; its file line is closed before the next opens, so a
    // menu text in the middle of an entry cannot leave an unterminated element behind.
    EndRunningEntry();
    OpenEntry(prefix->level);
  } else if (entry_closed_) {
    OpenEntry(kLevelDebug);
  } else {
    suppressed_ = level_ > threshold_;
  }
  const bool ends = CutEndMarker(piece);
  file_form_ = EscapeForFile(piece, line_open_ && !line_.empty() ? line_.back() : '"');
  if (ends) file_form_ += kLineEnd;
}

void DiagnosticStream::WriteText(const std::string& piece) {
  std::string screen_form = piece;
  const bool ends = CutEndMarker(screen_form);
  if (const Prefix* prefix = FindPrefix(screen_form)) screen_form.erase(0, prefix->text.size());
  if (rank_ == 0 && !screen_form.empty()) *screen_ << screen_form;

  ProcessText(piece);
  if (line_open_ && WritesFile()) line_ += file_form_;
  if (rank_ != 0 && level_ <= kLevelError) error_text_ += screen_form;
  if (level_ == kLevelFatal) fatal_text_ += screen_form;

  if (ends) {
    if (rank_ == 0) {
      *screen_ << '\n';
      screen_->flush();
      *screen_ << RankTag();
    }
    // The file form already ends the element.
    if (line_open_ && WritesFile()) WriteFileLine(line_);
    line_open_ = false;
    NoteClosedScreen();
    entry_closed_ = true;
    suppressed_ = false;
    if (level_ == kLevelFatal) last_fatal_ = fatal_text_;
    EmitErrorText();
  }
}

template <class T>
void DiagnosticStream::WriteTyped(const T& value, const std::string& text,
                                  const std::string& file_text) {
  if (rank_ == 0) *screen_ << value;
  BeginEntry();
  if (line_open_ && WritesFile()) line_ += file_text;
  if (rank_ != 0 && level_ <= kLevelError) error_text_ += text;
  // The numbers of a FATAL entry belong to the text another process relays (AgreeOnFailure).
  if (level_ == kLevelFatal) fatal_text_ += text;
}

void DiagnosticStream::Defer(std::string piece) {
  PendingEntry& pending = PendingOf(id_);
  const bool ends = piece.find(kEndEntry) != std::string::npos;
  if (!piece.empty()) pending.pieces.push_back(std::move(piece));
  if (!ends) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& text : pending.pieces) WriteText(text);
  pending.pieces.clear();
}

void DiagnosticStream::WritePendingOfThisThread() {
  for (PendingEntry& pending : t_pending) {
    if (pending.stream_id != id_ || pending.pieces.empty()) continue;
    for (const std::string& text : pending.pieces) WriteText(text);
    pending.pieces.clear();
  }
}

DiagnosticStream& DiagnosticStream::operator<<(const char* text) {
  std::string piece = text != nullptr ? text : "";
  if (omp_in_parallel()) {
    Defer(std::move(piece));
    return *this;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  WritePendingOfThisThread();
  WriteText(piece);
  return *this;
}

DiagnosticStream& DiagnosticStream::operator<<(const std::string& text) {
  return *this << text.c_str();
}

template <class T>
DiagnosticStream& DiagnosticStream::InsertTyped(const T& value) {
  if (omp_in_parallel()) {
    PendingEntry& pending = PendingOf(id_);
    pending.format << value;
    std::string piece = pending.format.str();
    pending.format.str(std::string());
    Defer(std::move(piece));
    return *this;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  WritePendingOfThisThread();
  // One formatting stream for every typed piece, so that a width applies to the next number.
  format_ << value;
  const std::string text = format_.str();
  format_.str(std::string());
  WriteTyped(value, text, text);
  return *this;
}
DiagnosticStream& DiagnosticStream::operator<<(int value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(long value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(long long value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(unsigned int value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(unsigned long value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(unsigned long long value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(double value) {
  return InsertTyped(value);
}
DiagnosticStream& DiagnosticStream::operator<<(float value) {
  return InsertTyped(static_cast<double>(value));
}
DiagnosticStream& DiagnosticStream::operator<<(const void* pointer) {
  return InsertTyped(pointer);
}
DiagnosticStream& DiagnosticStream::operator<<(decltype(std::setw(0)) width) {
  return InsertTyped(width);
}

DiagnosticStream& DiagnosticStream::operator<<(char value) {
  // A character is a typed piece, but it must not break the one-line attribute of the file.
  if (omp_in_parallel()) {
    Defer(std::string(1, value));
    return *this;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  WritePendingOfThisThread();
  WriteTyped(value, std::string(1, value),
             EscapeForFile(std::string_view(&value, 1),
                           line_open_ && !line_.empty() ? line_.back() : '"'));
  return *this;
}

DiagnosticStream& DiagnosticStream::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
  if (omp_in_parallel()) {
    PendingEntry& pending = PendingOf(id_);
    manipulator(pending.format);
    std::string piece = pending.format.str();
    pending.format.str(std::string());
    Defer(std::move(piece));
    return *this;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  WritePendingOfThisThread();
  if (rank_ == 0) manipulator(*screen_);
  return *this;
}

void DiagnosticStream::FlushScreen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rank_ == 0) screen_->flush();
}

}  // namespace velorn

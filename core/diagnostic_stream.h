// DiagnosticStream: the one channel through which the model reports.
//
// An entry is a chain of pieces inserted with << (texts, strings, numbers, field widths) and
// closed by the text "[end-entry]". A prefix at the start of a text piece sets the level of the
// entry: "FATAL: " 0, "ERROR: " 1, "WARNING: " 2, "INFO: " 3, "DEBUG: " 4 (also the level of an
// entry that starts without a prefix) and "SKIP: " 5 (screen only). Only MPI process 0 writes:
// the screen shows every entry without its prefix; the XML file (PI diagnostics schema) keeps
// one `line` element per entry whose level is within the threshold.
//
// The file form of a piece is escaped for a double-quoted attribute: "&", "<", ">", quotes and
// apostrophes become entities, line feeds and carriage returns ";", other control characters a
// blank, bytes that do not form UTF-8 characters (a Latin-1 name from a control file) the
// Latin-1 characters of their codes, so the UTF-8 file stays readable, runs of dashes two dashes.
// "[end-entry]" may stand anywhere in a piece; it is cut where it stands and the entry ends after
// the piece. A prefix piece arriving while an entry is open (a console menu in the middle of a
// message) first closes the running entry's file line.
//
// `main` creates one stream per process before anything else; every model object keeps a
// pointer to it. The stream has no lock: callers inside OpenMP regions write whole entries from
// a critical section.
#pragma once

#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>

namespace velorn {

// Level of an entry, from the prefix of its first text piece.
enum DiagnosticLevel : int {
  kLevelFatal = 0,
  kLevelError = 1,
  kLevelWarning = 2,
  kLevelInfo = 3,
  kLevelDebug = 4,
  kLevelSkip = 5,
};

// Default name of the diagnostics file (the rank is inserted before the extension).
inline constexpr const char* kDefaultDiagnosticsFile = "Velorn_Diag.xml";

class DiagnosticStream {
 public:
  // The stream of `main`: file name from "-diagfile:" (empty for the default), threshold 0..4
  // from "-diaglevel:". Throws ErrorCode{320} when neither the file nor the fallback
  // "Velorn_Diag.xml" in the working directory can be opened. The rank goes before the
  // extension ("run.xml" gives run_0.xml); only a "." in the last path component starts one.
  DiagnosticStream(const std::string& file_name, int threshold);
  // Default name and threshold 4; a failed open throws ErrorCode{320} at once, without fallback.
  DiagnosticStream();
  // As the first, with the screen output going to `screen` instead of standard output.
  DiagnosticStream(const std::string& file_name, int threshold, std::ostream& screen);
  ~DiagnosticStream();

  DiagnosticStream(const DiagnosticStream&) = delete;
  DiagnosticStream& operator=(const DiagnosticStream&) = delete;

  DiagnosticStream& operator<<(const char* text);
  DiagnosticStream& operator<<(const std::string& text);
  DiagnosticStream& operator<<(int value);
  DiagnosticStream& operator<<(long value);
  DiagnosticStream& operator<<(long long value);
  DiagnosticStream& operator<<(unsigned int value);
  DiagnosticStream& operator<<(unsigned long value);
  DiagnosticStream& operator<<(unsigned long long value);
  DiagnosticStream& operator<<(double value);
  DiagnosticStream& operator<<(float value);
  DiagnosticStream& operator<<(char value);
  DiagnosticStream& operator<<(const void* pointer);
  DiagnosticStream& operator<<(decltype(std::setw(0)) width);
  DiagnosticStream& operator<<(std::ostream& (*manipulator)(std::ostream&));

  // Entry handling of a typed piece (numbers, widths).
  void BeginEntry();
  // Entry handling of a text piece; leaves the file form of the piece in file_form().
  void ProcessText(const char* text);

  // Flushes the screen output.
  void FlushScreen();

  int rank() const { return rank_; }
  int size() const { return size_; }
  int threshold() const { return threshold_; }
  int level() const { return level_; }
  bool entry_closed() const { return entry_closed_; }
  const std::string& file_form() const { return file_form_; }
  // Name of the XML file actually opened (empty on processes other than 0).
  const std::string& file_name() const { return file_name_; }

 private:
  // Builds the rank's file name, opens it on process 0 (with the fallback name when asked) and
  // writes the header and the start line.
  void Open(const std::string& requested_name, bool with_fallback);
  void WriteHeader();
  // True when the open entry goes to the file: process 0, file good, entry not suppressed.
  bool WritesFile() const;
  // Opens an entry at `level`, writing the line start when the entry goes to the file.
  void OpenEntry(int level);
  // Ends the file line of a running entry, if one was started.
  void CloseOpenLine();
  // "(mpi-rank  0) ": the tag that begins every screen line after the first.
  std::string RankTag() const;
  template <class T>
  DiagnosticStream& InsertTyped(const T& value);

  int rank_ = 0;
  int size_ = 1;
  std::ofstream file_;
  std::ostream* screen_ = &std::cout;
  bool entry_closed_ = true;
  bool suppressed_ = false;
  int level_ = 0;
  bool line_open_ = false;  // a <line element is open in the file
  std::string file_form_;
  std::string file_name_;
  int threshold_ = kLevelDebug;
};

}  // namespace velorn

// DiagnosticStream: the one channel through which the model reports.
//
// An entry is a chain of pieces inserted with << (texts, strings, numbers, field widths) and
// closed by the text "[end-entry]". A prefix at the start of a text piece sets the level of the
// entry: "FATAL: " 0, "ERROR: " 1, "WARNING: " 2, "INFO: " 3, "DEBUG: " 4 (also the level of an
// entry that starts without a prefix) and "SKIP: " 5 (screen only). MPI process 0 writes the
// screen (every entry without its prefix) and the XML file (PI diagnostics schema; one `line`
// element per entry whose level is within the threshold). Every other process writes only its
// FATAL and ERROR entries, to standard error, each line tagged "(mpi-rank  N) ", so that a
// failure of any one process reaches the user before the abort ends the job.
//
// The file is valid XML at every moment: an entry's line is built in memory and written whole,
// followed by the closing "</Diag>" tag, which the next line overwrites. An abort that kills
// process 0 in the middle of a run therefore leaves a readable file holding every finished entry.
//
// The file form of a piece is escaped for a double-quoted attribute: "&", "<", ">", quotes and
// apostrophes become entities, line feeds and carriage returns ";", other control characters a
// blank, bytes that do not form UTF-8 characters (a Latin-1 name from a control file) the
// Latin-1 characters of their codes, so the UTF-8 file stays readable, runs of dashes two dashes.
// "[end-entry]" may stand anywhere in a piece; it is cut where it stands and the entry ends after
// the piece. A prefix piece arriving while an entry is open (a console menu in the middle of a
// message) first closes the running entry's file line.
//
// Threads: inside an OpenMP parallel region (a ForEachRow body) each thread collects the pieces
// of its entry and hands the entry over whole when "[end-entry]" arrives, under the stream's
// lock, so entries of different threads never interleave. An entry a thread leaves unfinished in
// a region waits for that thread's next pieces; outside parallel regions pieces go out at once,
// so a console prompt shows without an end.
//
// `main` creates one stream per process before anything else; every model object keeps a
// pointer to it. Process 0 holds an exclusive lock (flock) on its file for as long as the stream
// lives: a second run started in the same working directory finds the file locked and ends with
// code 26 and a FATAL line on its screen before it truncates the file of the running one (or
// writes anything else).
//
// A write to the file that fails (a full disk) cannot be reported in the file itself: the stream
// says so once on the screen, keeps the system's errno (write_error()) and writes the rest to the
// screen only. The run ends on it with RequireWritten before it reports success, and `main`
// checks the closing lines with Finish, so a run whose diagnostics file is incomplete never
// ends with code 0.
#pragma once

#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
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
  // As the first, with the screen output going to `screen` instead of standard output (on
  // processes other than 0: the FATAL and ERROR lines instead of standard error).
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

  // Flushes the screen output.
  void FlushScreen();

  // The errno of the first failed write of the file (0 while every line reached it).
  int write_error() const { return write_error_; }
  // FATAL (code 18, on the screen) when a write of the file has failed.
  void RequireWritten();
  // Writes the closing line and closes the file (process 0); returns write_error(). The
  // destructor does both when Finish was not called.
  int Finish();

  int rank() const { return rank_; }
  // The text (as on the screen) of the last FATAL entry this process wrote, empty before one:
  // what a failure on this process hands to process 0 (core/mpi_operations.h AgreeOnFailure).
  const std::string& last_fatal() const { return last_fatal_; }
  int size() const { return size_; }
  int threshold() const { return threshold_; }
  // Name of the XML file actually opened (empty on processes other than 0).
  const std::string& file_name() const { return file_name_; }

 private:
  // Builds the rank's file name, opens it on process 0 (with the fallback name when asked) and
  // writes the header and the start line.
  void Open(const std::string& requested_name, bool with_fallback);
  // Locks `name` before it is truncated; throws 26 when another process holds the lock.
  void LockFile(const std::string& name);
  void WriteHeader();
  // Writes one whole line (without its line end) and the closing tag behind it, overwriting the
  // closing tag written before; flushes.
  void WriteFileLine(const std::string& line);
  // Notes a failed write of the file (once, on the screen) and stops writing it.
  void NoteWriteFailure(int error);
  // True when the open entry goes to the file: process 0, file good, entry not suppressed.
  bool WritesFile() const;
  // Opens an entry at `level`, starting its file line when the entry goes to the file.
  void OpenEntry(int level);
  // Ends a running entry that a new prefix interrupts: its file line and its error lines.
  void EndRunningEntry();
  // Writes the collected FATAL or ERROR text of a process other than 0 to its error output.
  void NoteClosedScreen();
  void EmitErrorText();
  // Entry handling of a typed piece (numbers, widths): opens a DEBUG entry when none is open.
  void BeginEntry();
  // Entry handling of a text piece; leaves the file form of the piece in file_form_.
  void ProcessText(const std::string& piece);
  // The unlocked writers of one piece; callers hold mutex_.
  void WriteText(const std::string& piece);
  // `text` is the piece as the screen shows it, `file_text` as the file keeps it.
  template <class T>
  void WriteTyped(const T& value, const std::string& text, const std::string& file_text);
  // A piece written inside a parallel region: kept with the thread's entry, which goes out whole
  // (under the lock) when the piece ends it.
  void Defer(std::string piece);
  // Writes out the pieces this thread left unfinished in a parallel region; caller holds mutex_.
  void WritePendingOfThisThread();
  template <class T>
  DiagnosticStream& InsertTyped(const T& value);
  // "(mpi-rank  0) ": the tag that begins every screen line after the first.
  std::string RankTag() const;

  int rank_ = 0;
  int size_ = 1;
  std::ofstream file_;
  int lock_fd_ = -1;       // descriptor that holds the lock on the file (process 0)
  int write_error_ = 0;    // errno of the first failed write of the file
  bool finished_ = false;  // the closing line is written and the file closed
  std::streampos tail_{};  // where the closing tag of the file begins
  std::ostream* screen_ = &std::cout;
  std::ostream* errors_ = &std::cerr;  // FATAL and ERROR lines of processes other than 0
  bool entry_closed_ = true;
  bool suppressed_ = false;
  int level_ = 0;
  bool line_open_ = false;  // line_ holds the start of a <line element
  std::string line_;
  std::string file_form_;
  std::string error_text_;
  bool screen_closed_noted_ = false;
  std::string fatal_text_;     // the screen text of the running FATAL entry
  std::string last_fatal_;     // that of the last FATAL entry this process wrote
  std::ostringstream format_;  // typed pieces as text (keeps a field width for the next one)
  std::string file_name_;
  int threshold_ = kLevelDebug;
  unsigned long long id_ = 0;  // tells the per-thread entries of different streams apart
  std::mutex mutex_;
};

}  // namespace velorn

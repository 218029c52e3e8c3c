// Output files that either are written completely or end the run with the system's reason.
//
// WriteAndClose writes a text to an open stdio file and closes it, and returns the errno of the
// first call that failed (0 when all went well): a full disk often shows only when stdio writes
// out its buffer at the close. The writers of statistics, point series, grids and stacks report
// that number with SystemReason (core/error_code.h) in their FATAL entry.
//
// CheckedFile is the one path of every writer that builds its file piece by piece (tables, lake
// and balance files, storage states): each write, the flush and the close are checked, and the
// first failure is a FATAL entry naming the file with the system's reason.
//
// OutputFolderLock keeps a second run out of the output folder of a running one (see below).
// Used by the writers of every floor, and by the settings object for the lock.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

// Name of the lock file in the output folder of a running model run.
inline constexpr const char* kOutputLockName = "velorn.lock";

// Writes `text` to `file`, closes it (always) and returns 0 or the errno of the failure (EIO
// when a failing call left errno unset).
int WriteAndClose(std::FILE* file, const std::string& text);

// Closes `file` (a null file counts as closed) and returns 0 or the errno of the failure; a
// write error noted earlier on the stream counts as a failure too.
int CloseChecked(std::FILE* file);

// A file written through the checked path:
//
//   CheckedFile out(diag, kWriteErrorCode, path, "w");  // FATAL "cannot open <path>: reason"
//   out.Printf("%d (number of subasins)\n", n);          // or out.Write(text)
//   out.Close();  // FATAL "cannot write <path>: reason" for the first failed write, flush or close
//
// The code given is the code of a failed open (each file has its own); a failed write, flush or
// close is a file that is not completely written, code 18 (kWriteErrorCode) for every file.
//
// Printf and Write never throw: a failure is kept (with its errno) and the rest is skipped, so a
// writer's loop stays as it is and Close reports it. An object destroyed without Close (an
// exception on the way) closes its file unchecked: the exception already says what failed.
class CheckedFile {
 public:
  CheckedFile(DiagnosticStream& diag, int code, std::string path, const char* mode);
  // Takes over `file`, which the caller opened (and whose failed open it reported).
  CheckedFile(DiagnosticStream& diag, int code, std::string path, std::FILE* file);
  ~CheckedFile();
  CheckedFile(const CheckedFile&) = delete;
  CheckedFile& operator=(const CheckedFile&) = delete;

  __attribute__((format(printf, 2, 3))) void Printf(const char* format, ...);
  void Write(const std::string& text);
  // Flushes and closes; throws kWriteErrorCode after the FATAL entry when anything failed.
  void Close();
  const std::string& path() const { return path_; }

 private:
  void Keep(int error);

  DiagnosticStream& diag_;
  int open_code_;
  std::string path_;
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

// Appends `text` to the file `path` (created when missing) through a CheckedFile: a failed open,
// write or close is the FATAL entry of `code` naming the file and the system's reason. The
// process logs ("modell_<rank>.log") are written this way.
// `open_failure` begins the FATAL entry of a failed open (followed by the name and the reason).
void AppendChecked(DiagnosticStream& diag, int code, const std::string& path,
                   const std::string& text, const char* open_failure = "FATAL: cannot open ");

// Writes `bytes` as the whole content of `path` (mode "w" or "wb") through a CheckedFile; a
// failed open is the FATAL entry of `code`, a failed write or close that of kWriteErrorCode.
void WriteWholeFile(DiagnosticStream& diag, int code, const std::string& path,
                    const std::string& bytes, const char* mode = "w");

// WriteWholeFile for a temporary file that is renamed over its target once whole: a failure
// (a full disk) removes the temporary before the FATAL entry's code goes on, so that no part of
// a file stays beside its target.
void WriteTemporaryFile(DiagnosticStream& diag, int code, const std::string& path,
                        const std::string& bytes);

// Files that a run's set-up replaces, kept until its first step is done. A run refused during
// its set-up (a control-file or input error, a missing station file) or in its first step must
// leave the outputs of an earlier run in its folders as they were, but the set-up already
// writes the headers of its tables and its set-up grids. So, while a keeper is active, each
// writer opens its file through OpenOutputFile (or calls KeepBeforeWriting when it does not use
// stdio): an existing file is first set aside as "<name>.velorn-kept" (renamed when the writer
// replaces it, copied when it appends). A failure that unwinds past the keeper puts every kept
// file back; the end of the first step (EndOfSetUp) removes them:
//
//   SetUpOutputKeeper keeper;     // around the construction and the run of one control file
//   ...                           // set-up: tables, grids and point files opened and written
//   EndOfSetUp();                 // after the first step (or when the run ends without one)
//
// Each process keeps the files it writes itself (in practice process 0 writes the set-up's
// files); the process logs and the diagnostics file, which report the refusal, are not kept.
// A file whose kept copy cannot be made (a folder without write permission) is written as
// before. A file that is a symbolic link stays one: its bytes are copied aside and written back
// through the link, so the file it points to gets back its rows.
//
// A termination signal during the set-up (core/signals.h: SIGTERM of mpirun ending a cancelled
// job, SIGHUP, a batch system's SIGXCPU or SIGUSR2, ...) puts the kept files back before the
// process ends (the termination hook), on the thread that sets them aside, whichever thread the
// signal reaches: each set-aside step is done whole or not begun when the hook runs. A run
// killed hard (SIGKILL) leaves the kept copies beside its new files; the next run that takes
// the folder's lock puts them back first, with a WARNING naming them (PutBackLeftCopies), so no
// copy outlives a run that finishes and every refused run finds the earlier files to keep.
class SetUpOutputKeeper {
 public:
  SetUpOutputKeeper();
  ~SetUpOutputKeeper();
  SetUpOutputKeeper(const SetUpOutputKeeper&) = delete;
  SetUpOutputKeeper& operator=(const SetUpOutputKeeper&) = delete;
};

// Ends the keeping of the active keeper (if any): the kept copies are removed.
void EndOfSetUp();

// Puts back every "<name>.velorn-kept" in `folder` (left by a run killed during its set-up) in
// place of <name>, and names them in a WARNING; called by the run that holds the folder's lock.
void PutBackLeftCopies(DiagnosticStream& diag, const std::string& folder);

// Sets `path` aside while a keeper is active and the file exists and was not set aside before:
// renamed when the writer will replace it (`replaces`), copied when it will add to it.
void KeepBeforeWriting(const std::string& path, bool replaces);

// The files this process writes anew (opened through OpenOutputFile or KeepBeforeWriting with
// a replacing mode; appending to a table is no new file) from StartRecordingWrites on, each
// once in the order first opened, handed out by StopRecordingWrites: the state files of a
// run's end (core/state_manifest.h).
void StartRecordingWrites();
std::vector<std::string> StopRecordingWrites();
// True between the two: the files written are a state that a warm start reads back, so a text
// writer gives every digit of a value ("%.17g"), not the six of an output a user reads.
bool RecordingWrites();

// The output pass of the run: 0 at the start, one more at each spin-up pass after the first.
// A pass writes its outputs afresh, as it runs the window afresh: a writer that adds to a file
// it wrote (the netCDF slices of a grid or stack) starts the file again in a new pass.
void BeginOutputPass();
unsigned OutputPass();

// std::fopen for a writer: KeepBeforeWriting first (a mode "w..." replaces, "a..." and "r+"
// add), then the open.
std::FILE* OpenOutputFile(const std::string& path, const char* mode);

// The lock of an output folder for the length of a run: the file "velorn.lock" in the folder,
// created exclusively (O_EXCL) and holding "<process id> <host name>". Two runs writing into one
// folder would interleave the rows of every table; the second is refused:
//
//   OutputFolderLock lock;
//   lock.Take(diag, "out/");   // FATAL (code 26) naming the holder when another run has it
//   ...                        // the run; the destructor (or Release) removes the file
//
// A lock left by a process that no longer runs on this host (a run killed hard) is taken over
// with a WARNING. Once the lock is held, the copies a killed run set aside are put back. A folder
// that does not exist is not locked (nothing can be written there), and a folder where the lock
// cannot be created for another reason gets a WARNING and no lock. Process 0 alone takes the lock;
// a FATAL ends the whole run through the top level.
class OutputFolderLock {
 public:
  OutputFolderLock() = default;
  ~OutputFolderLock() { Release(); }
  OutputFolderLock(const OutputFolderLock&) = delete;
  OutputFolderLock& operator=(const OutputFolderLock&) = delete;

  void Take(DiagnosticStream& diag, const std::string& folder);
  // Removes the lock file when this object holds it.
  void Release();
  bool held() const { return held_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool held_ = false;
};

}  // namespace velorn

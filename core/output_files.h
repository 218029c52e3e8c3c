// Output files that either are written completely or end the run with the system's reason.
//
// WriteAndClose writes a text to an open stdio file and closes it, and returns the errno of the
// first call that failed (0 when all went well): a full disk often shows only when stdio writes
// out its buffer at the close. The writers of statistics, point series, grids and stacks report
// that number with SystemReason (core/error_code.h) in their FATAL entry.
//
// OutputFolderLock keeps a second run out of the output folder of a running one (see below).
// Used by the writers in core/, grids/ and setup/, and by the settings object for the lock.
#pragma once

#include <cstdio>
#include <string>

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

// The lock of an output folder for the length of a run: the file "velorn.lock" in the folder,
// created exclusively (O_EXCL) and holding "<process id> <host name>". Two runs writing into one
// folder would interleave the rows of every table; the second is refused:
//
//   OutputFolderLock lock;
//   lock.Take(diag, "out/");   // FATAL (code 26) naming the holder when another run has it
//   ...                        // the run; the destructor (or Release) removes the file
//
// A lock left by a process that no longer runs on this host (a run killed hard) is taken over
// with a WARNING. A folder that does not exist is not locked (nothing can be written there), and
// a folder where the lock cannot be created for another reason gets a WARNING and no lock.
// Process 0 alone takes the lock; a FATAL ends the whole run through the top level.
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

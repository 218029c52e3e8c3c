// Output files that either are written completely or end the run with the system's reason.
//
// WriteAndClose writes a text to an open stdio file and closes it, and returns the errno of the
// first call that failed (0 when all went well): a full disk often shows only when stdio writes
// out its buffer at the close. The writers of statistics, point series, grids and stacks report
// that number with SystemReason (core/error_code.h) in their FATAL entry.
//
// OutputFolderLock keeps a second run out of the output folder of a running one (see below).
// Used by the writers in core/, grids/ and setup/, and by the application for the lock.
#pragma once

#include <cstdio>
#include <string>

namespace velorn {

// Writes `text` to `file`, closes it (always) and returns 0 or the errno of the failure (EIO
// when a failing call left errno unset).
int WriteAndClose(std::FILE* file, const std::string& text);

// Closes `file` (a null file counts as closed) and returns 0 or the errno of the failure; a
// write error noted earlier on the stream counts as a failure too.
int CloseChecked(std::FILE* file);

}  // namespace velorn

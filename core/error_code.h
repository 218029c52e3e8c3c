// The error type of the model and the one-line failure helper.
//
// Every failure writes a "FATAL: " entry to the DiagnosticStream and then throws ErrorCode with
// the code of the failure; `main` catches it, reports it and aborts all MPI processes with the
// code. Call sites use ThrowFatal so that the message and the code stand together on one line:
//
//   ThrowFatal(diag, 17, "FATAL: error in control file, ", text1, "; ", text2, "not found!");
//
// The pieces are inserted into the stream in order and the entry is closed with "[end-entry]".
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

#include "core/diagnostic_stream.h"

namespace velorn {

struct ErrorCode {
  int code;
};

// Codes shared by several parts of the model.
// A close of the control file (or another text file) failed.
inline constexpr int kCloseErrorCode = 11;
// The grid registry has no room (or an index outside 1..999 was given).
inline constexpr int kRegistryFullCode = 12;
// Every fault in the contents of a control file (a missing section or value, an undefined
// symbol, a value out of its limits).
inline constexpr int kControlFileErrorCode = 17;
// Writing or reading a data file failed.
inline constexpr int kWriteErrorCode = 18;
inline constexpr int kReadErrorCode = 19;
// A grid or stack file cannot be opened, is of no known form or unreadable, cannot be closed.
inline constexpr int kGridOpenCode = 21;
inline constexpr int kGridFormatCode = 22;
inline constexpr int kGridCloseCode = 23;
// An output file cannot be created or closed; netCDF read and write errors share the first.
inline constexpr int kOutputCreateCode = 26;
inline constexpr int kNetcdfErrorCode = kOutputCreateCode;
inline constexpr int kOutputCloseCode = 27;
// The control file (or the compiled control file) cannot be opened.
inline constexpr int kControlFileOpenCode = 28;
// A grid that a model needs is not registered.
inline constexpr int kGridMissingCode = 33;

// Code of a foreign exception (std::exception or anything else) that reaches `main`. No error
// of the model uses it, and as an exit status (taken modulo 256) it matches no other code.
inline constexpr int kForeignExceptionCode = 250;
// Code of a foreign exception caught while a set-up object is constructed (the constructors
// report through an error out-parameter and never throw).
inline constexpr int kForeignConstructionCode = 103;

// The system's reason for a failed call, from its errno, as ": No space left on device"; empty
// for 0. Capture errno right after the failing call: any later call may change it.
inline std::string SystemReason(int error_number) {
  return error_number == 0 ? std::string() : ": " + std::generic_category().message(error_number);
}

// errno after a failed call, or EIO when the call left it unset (set errno to 0 before the call).
inline int ErrnoOrIo() {
  return errno != 0 ? errno : EIO;
}

// True for the errno of a write that found no room: a full disk or an exhausted quota.
inline bool IsFullDisk(int error_number) {
  return error_number == ENOSPC || error_number == EDQUOT;
}

template <class... Pieces>
[[noreturn]] void ThrowFatal(DiagnosticStream& diag, int code, const Pieces&... pieces) {
  (diag << ... << pieces) << "[end-entry]";
  throw ErrorCode{code};
}

// Runs `step` and returns the code of the ErrorCode it throws, or 0 when it succeeds (other
// exceptions pass on). In a collective phase a process that failed still reaches the exchange
// that tells every process about its failure.
template <class Step>
int CodeOf(Step&& step) {
  try {
    step();
  } catch (const ErrorCode& error) {
    return error.code;
  }
  return 0;
}

// As CodeOf, for the constructors' error out-parameter: any other exception gives
// kForeignConstructionCode, so nothing leaves the constructor.
template <class Step>
int CaptureErrorCode(Step&& step) {
  try {
    return CodeOf(step);
  } catch (...) {
    return kForeignConstructionCode;
  }
}

}  // namespace velorn

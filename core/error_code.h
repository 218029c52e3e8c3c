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

#include "core/diagnostic_stream.h"

namespace velorn {

struct ErrorCode {
  int code;
};

// Code of every fault in the contents of a control file (a missing section or value, an
// undefined symbol, a value out of its limits).
inline constexpr int kControlFileErrorCode = 17;

// Code of a foreign exception (std::exception or anything else) that reaches `main`.
inline constexpr int kForeignExceptionCode = 199;

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

}  // namespace velorn

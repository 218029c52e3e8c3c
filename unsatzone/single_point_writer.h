// The buffered rows of one single-point file of the soil zone (the per-layer time series of the
// control cell) and their writer.
//
// Each row holds the four date integers (year, month, day, hour as stored) and the values of
// levels 0..N of the column; the buffer holds as many rows as fit in 2097152 bytes at
// SinglePointRowBytes(N) each. Filled by the sub-step on the process that owns the control cell
// and written (appended to the file that the set-up created with its header) when full, at
// buffer flushes and at the end of the run, on the main thread.
//
// Writing ignores SIGINT (the run's interrupt guard), so a Ctrl-C never leaves half a row. A file
// that cannot be opened ends the run with code 65.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

inline constexpr int kPointFileCode = 65;
inline constexpr int64_t kSinglePointBufferBytes = 2097152;

// Bytes of one buffered row of a column of N layers: N + 1 values and the date.
inline int64_t SinglePointRowBytes(int32_t layers) {
  return (static_cast<int64_t>(layers) + 1) * 8 + 32;
}

struct SinglePointBuffer {
  int32_t layers = 0;
  int64_t count = 0;                          // rows buffered
  std::vector<std::array<int64_t, 4>> dates;  // per row
  std::vector<double> values;                 // per row levels 0..N

  // An empty buffer of as many rows as fit (at least one).
  explicit SinglePointBuffer(int32_t layer_count = 0);
  int64_t capacity() const { return static_cast<int64_t>(dates.size()); }
  // Level k of row i (0-based rows).
  double* Row(int64_t i) { return values.data() + i * (layers + 1); }
  // Appends a row; the caller writes the buffer out first when it is full.
  void Append(const std::array<int64_t, 4>& date, const double* levels);
};

// Appends the buffered rows to `file_name`: the four dates, then levels `first_layer` to N
// (`last_layer` 0) or to `last_layer`, tab-separated; empties the buffer. Nothing at all for an
// empty buffer.
void WriteSinglePointBuffer(DiagnosticStream& diag, const std::string& file_name,
                            SinglePointBuffer& buffer, int32_t first_layer, int32_t last_layer);

}  // namespace velorn

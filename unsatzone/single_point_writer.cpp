// Single-point rows of the soil zone and their writer (see single_point_writer.h).
#include "unsatzone/single_point_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/error_code.h"
#include "core/output_files.h"
#include "core/signals.h"

namespace velorn {

SinglePointBuffer::SinglePointBuffer(int32_t layer_count) : layers(layer_count) {
  const int64_t rows = std::max<int64_t>(1, kSinglePointBufferBytes / SinglePointRowBytes(layers));
  dates.resize(static_cast<std::size_t>(rows));
  values.assign(static_cast<std::size_t>(rows * (layers + 1)), 0.0);
}

void SinglePointBuffer::Append(const std::array<int64_t, 4>& date, const double* levels) {
  if (count >= capacity()) return;
  dates[static_cast<std::size_t>(count)] = date;
  std::copy(levels, levels + layers + 1, Row(count));
  ++count;
}

void WriteSinglePointBuffer(DiagnosticStream& diag, const std::string& file_name,
                            SinglePointBuffer& buffer, int32_t first_layer, int32_t last_layer) {
  if (buffer.count == 0) return;
  SigintIgnoredScope guard;
  diag << "write " << file_name << "[end-entry]";
  errno = 0;
  std::FILE* out = OpenOutputFile(file_name, "a+");
  if (out == nullptr)
    ThrowFatal(diag, kPointFileCode, "FATAL: \nerror opening file ", file_name,
               SystemReason(ErrnoOrIo()));
  const int32_t last = last_layer == 0 ? buffer.layers : std::min(last_layer, buffer.layers);
  const int32_t first = std::max(first_layer, 0);
  CheckedFile file(diag, kPointFileCode, file_name, out);
  for (int64_t i = 0; i < buffer.count; ++i) {
    const auto& d = buffer.dates[static_cast<std::size_t>(i)];
    file.Printf("%ld\t%ld\t%ld\t%ld", static_cast<long>(d[0]), static_cast<long>(d[1]),
                static_cast<long>(d[2]), static_cast<long>(d[3]));
    const double* row = buffer.Row(i);
    for (int32_t k = first; k <= last; ++k) file.Printf("\t%g", row[k]);
    file.Write("\n");
  }
  file.Close();
  diag << "(" << SinglePointRowBytes(buffer.layers) * buffer.count << " of "
       << kSinglePointBufferBytes << " buffer-bytes)"
       << "[end-entry]";
  buffer.count = 0;
}

}  // namespace velorn

#include "core/output_files.h"

#include <cerrno>

namespace velorn {
namespace {

int ErrorOrIo() {
  return errno != 0 ? errno : EIO;
}

}  // namespace

int CloseChecked(std::FILE* file) {
  if (file == nullptr) return 0;
  errno = 0;
  const bool failed_before = std::ferror(file) != 0;
  const int earlier = errno;
  if (std::fclose(file) != 0) return ErrorOrIo();
  return failed_before ? (earlier != 0 ? earlier : EIO) : 0;
}

int WriteAndClose(std::FILE* file, const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
    const int error = ErrorOrIo();
    std::fclose(file);
    return error;
  }
  return CloseChecked(file);
}

}  // namespace velorn

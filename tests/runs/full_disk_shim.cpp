// A stand-in for a full disk, loaded into the velorn processes with LD_PRELOAD by the
// whole-model tests: fwrite to a file whose name ends in $VELORN_FULL_DISK_NAME fails with
// ENOSPC once the file holds something (so the header written at set-up goes through and the
// rows written later do not), as a disk that fills up during a run.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool OnFullDisk(std::FILE* stream) {
  const char* name = std::getenv("VELORN_FULL_DISK_NAME");
  if (name == nullptr || *name == '\0' || stream == nullptr) return false;
  const int fd = fileno(stream);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return false;
  char path[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
  if (length <= 0) return false;
  const std::size_t suffix = std::strlen(name);
  return static_cast<std::size_t>(length) >= suffix &&
         std::strcmp(path + length - static_cast<ssize_t>(suffix), name) == 0;
}

}  // namespace

extern "C" size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  using Fwrite = size_t (*)(const void*, size_t, size_t, FILE*);
  static const auto real = reinterpret_cast<Fwrite>(dlsym(RTLD_NEXT, "fwrite"));
  if (OnFullDisk(stream)) {
    errno = ENOSPC;
    return 0;
  }
  return real(data, size, count, stream);
}

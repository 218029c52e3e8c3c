// A stand-in for a full disk, loaded into the velorn processes with LD_PRELOAD by the
// whole-model tests. Writes to a file whose name ends in $VELORN_FULL_DISK_NAME (a name ending in
// '*': followed by anything) fail with ENOSPC once the file holds at least $VELORN_FULL_DISK_FROM
// bytes (default 1: the header written at set-up goes through and the rows written later do
// not, as a disk that fills up during a run; 0: every write fails). The calls of the checked
// writers (core/output_files.h) are covered: fwrite and vfprintf (also its fortified form), and
// fflush and fclose, which fail when stdio still holds unwritten bytes for such a file (those
// bytes are dropped, as a full disk would); and write and writev, through which the C++ streams
// write, and pwrite and pwritev, through which MPI-IO writes (the binary stacks). With
// $VELORN_FULL_DISK_KILL set, the first such write kills the process (SIGKILL) instead.
// A slow disk as well: an fopen of a file whose name ends in $VELORN_HOLD_NAME waits until the
// file $VELORN_HOLD_UNTIL exists (at most two minutes), which holds a run at that point of its
// set-up while a test starts another.
#include <dlfcn.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool OnFullDiskFd(int fd) {
  const char* name = std::getenv("VELORN_FULL_DISK_NAME");
  if (name == nullptr || *name == '\0') return false;
  const char* from_text = std::getenv("VELORN_FULL_DISK_FROM");
  const long from = from_text != nullptr && *from_text != '\0' ? std::atol(from_text) : 1;
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < from)
    return false;
  char path[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
  if (length <= 0) return false;
  // A name ending in '*' stands for any end of the file's name (a temporary "<name>.<pid>").
  const std::string_view file(path, static_cast<std::size_t>(length));
  std::string_view wanted(name);
  bool full = false;
  if (wanted.ends_with('*')) {
    wanted.remove_suffix(1);
    const std::size_t at = file.rfind(wanted);
    full = at != std::string_view::npos && file.find('/', at + wanted.size()) == file.npos;
  } else {
    full = file.ends_with(wanted);
  }
  // $VELORN_FULL_DISK_KILL: the process is killed there instead, as by a power cut.
  if (full && std::getenv("VELORN_FULL_DISK_KILL") != nullptr) raise(SIGKILL);
  return full;
}

bool OnFullDisk(std::FILE* stream) {
  return stream != nullptr && OnFullDiskFd(fileno(stream));
}

template <class Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Drops what stdio holds for a file on the full disk; true when there was something.
bool DropPending(std::FILE* stream) {
  if (!OnFullDisk(stream) || __fpending(stream) == 0) return false;
  __fpurge(stream);
  return true;
}

}  // namespace

extern "C" {

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  static const auto real = Real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
  if (OnFullDisk(stream)) {
    errno = ENOSPC;
    return 0;
  }
  return real(data, size, count, stream);
}

int vfprintf(FILE* stream, const char* format, va_list arguments) {
  static const auto real = Real<int (*)(FILE*, const char*, va_list)>("vfprintf");
  if (OnFullDisk(stream)) {
    errno = ENOSPC;
    return -1;
  }
  return real(stream, format, arguments);
}

int __vfprintf_chk(FILE* stream, int, const char* format, va_list arguments) {
  return vfprintf(stream, format, arguments);
}

int fflush(FILE* stream) {
  static const auto real = Real<int (*)(FILE*)>("fflush");
  if (DropPending(stream)) {
    errno = ENOSPC;
    return EOF;
  }
  return real(stream);
}

int fclose(FILE* stream) {
  static const auto real = Real<int (*)(FILE*)>("fclose");
  const bool dropped = DropPending(stream);
  const int closed = real(stream);
  if (!dropped) return closed;
  errno = ENOSPC;
  return EOF;
}

// The C++ streams (the diagnostics file) write through the system calls.
ssize_t write(int fd, const void* data, size_t size) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  if (OnFullDiskFd(fd)) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* pieces, int count) {
  static const auto real = Real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (OnFullDiskFd(fd)) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, pieces, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (OnFullDiskFd(fd)) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, data, size, offset);
}

ssize_t pwritev(int fd, const struct iovec* pieces, int count, off_t offset) {
  static const auto real = Real<ssize_t (*)(int, const struct iovec*, int, off_t)>("pwritev");
  if (OnFullDiskFd(fd)) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, pieces, count, offset);
}

FILE* fopen(const char* name, const char* mode) {
  static const auto real = Real<FILE* (*)(const char*, const char*)>("fopen");
  const char* held = std::getenv("VELORN_HOLD_NAME");
  const char* until = std::getenv("VELORN_HOLD_UNTIL");
  const std::size_t length = std::strlen(name), suffix = held != nullptr ? std::strlen(held) : 0;
  if (suffix > 0 && until != nullptr && length >= suffix &&
      std::strcmp(name + length - suffix, held) == 0) {
    struct stat info {};
    for (int wait = 0; wait < 12000 && stat(until, &info) != 0; ++wait) usleep(10000);
  }
  return real(name, mode);
}

}  // extern "C"

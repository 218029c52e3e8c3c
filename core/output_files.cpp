#include "core/output_files.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/error_code.h"
#include "core/signals.h"

namespace velorn {
namespace {

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown-host";
  return name;
}

// The holder written in a lock file; pid 0 when the file holds none (yet).
struct LockHolder {
  long pid = 0;
  std::string host;
};

LockHolder ReadHolder(const std::string& path) {
  LockHolder holder;
  std::ifstream in(path);
  if (!(in >> holder.pid >> holder.host)) holder = LockHolder{};
  return holder;
}

bool IsRunning(long pid) {
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The files set aside by the active keeper: (path, kept copy) in the order they were kept.
struct KeptFiles {
  std::mutex mutex;
  bool active = false;
  std::vector<std::pair<std::string, std::string>> files;
  bool recording = false;
  std::vector<std::string> written;  // recorded since StartRecordingWrites
};

KeptFiles& Kept() {
  static KeptFiles kept;
  return kept;
}

constexpr const char* kKeptSuffix = ".velorn-kept";

}  // namespace

SetUpOutputKeeper::SetUpOutputKeeper() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  kept.active = true;
  kept.files.clear();
}

SetUpOutputKeeper::~SetUpOutputKeeper() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  if (!kept.active) return;
  // Not ended: the run failed before its first step was done. The kept files go back in place
  // of what the run wrote (a file that cannot go back stays under its kept name).
  for (auto it = kept.files.rbegin(); it != kept.files.rend(); ++it)
    std::rename(it->second.c_str(), it->first.c_str());
  kept.files.clear();
  kept.active = false;
}

void EndOfSetUp() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  if (!kept.active) return;
  for (const auto& file : kept.files) std::remove(file.second.c_str());
  kept.files.clear();
  kept.active = false;
}

void StartRecordingWrites() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  kept.recording = true;
  kept.written.clear();
}

std::vector<std::string> StopRecordingWrites() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  kept.recording = false;
  return std::move(kept.written);
}

void KeepBeforeWriting(const std::string& path, bool replaces) {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  if (kept.recording && replaces &&
      std::find(kept.written.begin(), kept.written.end(), path) == kept.written.end())
    kept.written.push_back(path);
  if (!kept.active) return;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return;
  const std::string copy = path + kKeptSuffix;
  // Kept before (under this or another spelling of the name), or a copy left by a run killed
  // in its set-up, which holds the older file: nothing to keep again.
  if (std::filesystem::exists(copy, error) || error) return;
  if (replaces) {
    if (std::rename(path.c_str(), copy.c_str()) != 0) return;
  } else if (!std::filesystem::copy_file(path, copy, error)) {
    std::filesystem::remove(copy, error);
    return;
  }
  kept.files.emplace_back(path, copy);
}

std::FILE* OpenOutputFile(const std::string& path, const char* mode) {
  KeepBeforeWriting(path, mode[0] == 'w');
  return std::fopen(path.c_str(), mode);
}

void OutputFolderLock::Take(DiagnosticStream& diag, const std::string& folder) {
  Release();
  path_ = (std::filesystem::path(folder.empty() ? "." : folder) / kOutputLockName).string();
  const std::string host = HostName();
  const std::string holder_text = std::to_string(static_cast<long>(getpid())) + " " + host + "\n";
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
      const bool written = write(fd, holder_text.data(), holder_text.size()) ==
                           static_cast<ssize_t>(holder_text.size());
      close(fd);
      held_ = true;
      SetLockToRelease(path_);
      if (!written)
        ThrowFatal(diag, kOutputCreateCode, "FATAL: cannot write the lock file ", path_,
                   SystemReason(ErrnoOrIo()));
      return;
    }
    const int error = errno;
    if (error == ENOENT) return;  // no folder: nothing will be written there
    if (error != EEXIST) {
      diag << "WARNING: the output folder " << folder << " cannot be locked" << SystemReason(error)
           << "; another run writing into it at the same time is not kept out[end-entry]";
      return;
    }
    LockHolder holder = ReadHolder(path_);
    if (holder.pid == 0) {
      // Created an instant ago and not yet written: look again.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      holder = ReadHolder(path_);
    }
    if (holder.pid > 0 && holder.host == host && !IsRunning(holder.pid)) {
      diag << "WARNING: taking over the lock " << path_ << " of process " << holder.pid << " on "
           << host << ", which no longer runs[end-entry]";
      // Moved aside rather than removed, so that of two runs taking over at once one wins.
      const std::string aside = path_ + "." + std::to_string(static_cast<long>(getpid()));
      if (std::rename(path_.c_str(), aside.c_str()) == 0) std::remove(aside.c_str());
      continue;
    }
    ThrowFatal(diag, kOutputCreateCode, "FATAL: the output folder ", folder,
               " is in use by the run of process ", holder.pid, " on ",
               holder.host.empty() ? std::string("an unknown host") : holder.host, " (lock file ",
               path_,
               "); two runs must not write into one folder. Remove the lock file if "
               "that run has ended.");
  }
  ThrowFatal(diag, kOutputCreateCode, "FATAL: the lock file ", path_,
             " cannot be taken over from a process that no longer runs");
}

void OutputFolderLock::Release() {
  if (held_) ClearLockToRelease();
  if (held_) std::remove(path_.c_str());
  held_ = false;
}

int CloseChecked(std::FILE* file) {
  if (file == nullptr) return 0;
  errno = 0;
  const bool failed_before = std::ferror(file) != 0;
  const int earlier = errno;
  if (std::fclose(file) != 0) return ErrnoOrIo();
  return failed_before ? (earlier != 0 ? earlier : EIO) : 0;
}

CheckedFile::CheckedFile(DiagnosticStream& diag, int code, std::string path, const char* mode)
    : diag_(diag), open_code_(code), path_(std::move(path)) {
  errno = 0;
  file_ = OpenOutputFile(path_, mode);
  if (file_ == nullptr)
    ThrowFatal(diag_, open_code_, "FATAL: cannot open ", path_, SystemReason(ErrnoOrIo()));
}

CheckedFile::CheckedFile(DiagnosticStream& diag, int code, std::string path, std::FILE* file)
    : diag_(diag), open_code_(code), path_(std::move(path)), file_(file) {}

CheckedFile::~CheckedFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void CheckedFile::Keep(int error) {
  if (error_ == 0) error_ = error != 0 ? error : EIO;
}

void CheckedFile::Printf(const char* format, ...) {
  if (file_ == nullptr || error_ != 0) return;
  errno = 0;
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vfprintf(file_, format, arguments);
  va_end(arguments);
  if (written < 0) Keep(errno);
}

void CheckedFile::Write(const std::string& text) {
  if (file_ == nullptr || error_ != 0 || text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) Keep(errno);
}

void CheckedFile::Close() {
  if (file_ == nullptr) return;
  std::FILE* file = file_;
  file_ = nullptr;
  if (error_ == 0) {
    errno = 0;
    if (std::fflush(file) != 0) Keep(errno);
  }
  const int closed = CloseChecked(file);
  if (error_ == 0 && closed != 0) Keep(closed);
  if (error_ != 0)
    ThrowFatal(diag_, kWriteErrorCode, "FATAL: cannot write ", path_, SystemReason(error_));
}

void AppendChecked(DiagnosticStream& diag, int code, const std::string& path,
                   const std::string& text, const char* open_failure) {
  errno = 0;
  std::FILE* opened = std::fopen(path.c_str(), "a");
  if (opened == nullptr) ThrowFatal(diag, code, open_failure, path, SystemReason(ErrnoOrIo()));
  CheckedFile file(diag, code, path, opened);
  file.Write(text);
  file.Close();
}

void WriteWholeFile(DiagnosticStream& diag, int code, const std::string& path,
                    const std::string& bytes, const char* mode) {
  CheckedFile file(diag, code, path, mode);
  file.Write(bytes);
  file.Close();
}

int WriteAndClose(std::FILE* file, const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
    const int error = ErrnoOrIo();
    std::fclose(file);
    return error;
  }
  return CloseChecked(file);
}

}  // namespace velorn

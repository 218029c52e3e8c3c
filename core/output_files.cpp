#include "core/output_files.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
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

// A process that has ended but is not yet reaped by its parent (a zombie: a job's daemon
// collects its killed processes a moment after mpirun returns) runs no more.
bool IsZombie(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t name_end = line.rfind(')');
  return name_end != std::string::npos && line.compare(name_end, 3, ") Z") == 0;
}

bool IsRunning(long pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == EPERM;
  return !IsZombie(pid);
}

// A file set aside: put back by renaming the copy over the file, or (`through`, the file is a
// symbolic link) by writing the copy's bytes through the link, which must stay a link.
struct KeptFile {
  std::string path, copy;
  bool through = false;
};

// The files set aside by the active keeper, in the order they were kept.
struct KeptFiles {
  std::mutex mutex;
  bool active = false;
  std::vector<KeptFile> files;
  bool recording = false;
  std::vector<std::string> written;  // recorded since StartRecordingWrites
};

KeptFiles& Kept() {
  static KeptFiles kept;
  return kept;
}

constexpr const char* kKeptSuffix = ".velorn-kept";
// A copy being made; renamed to the kept name once whole, so that a kill never leaves a part
// of a file under the name that the next run puts back.
constexpr const char* kPartSuffix = ".velorn-kept.part";

// The same list for the termination-signal handler, which may touch no std::string: C strings
// that live until the list is cleared, published by the count (entries below it are whole).
struct SignalEntry {
  char* path = nullptr;
  char* copy = nullptr;
  bool through = false;
};
constexpr int kSignalEntries = 16384;
SignalEntry g_signal_entries[kSignalEntries];
std::atomic<int> g_signal_count{0};

char* CopyOf(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// Publishes `file` for the handler; false when the list is full (the file is then not kept).
bool PublishForSignal(const KeptFile& file) {
  const int at = g_signal_count.load();
  if (at >= kSignalEntries) return false;
  SignalEntry& entry = g_signal_entries[at];
  delete[] entry.path;
  delete[] entry.copy;
  entry = SignalEntry{CopyOf(file.path), CopyOf(file.copy), file.through};
  g_signal_count.store(at + 1);
  return true;
}

// Nothing for the handler to put back (the strings stay until they are overwritten).
void ClearForSignal() {
  g_signal_count.store(0);
}

// Writes the bytes of `copy` over the file `path` points to, then removes the copy; only
// async-signal-safe calls. False (the copy left in place) when it cannot.
bool WriteBackThrough(const char* path, const char* copy) {
  const int from = ::open(copy, O_RDONLY);
  if (from < 0) return false;
  const int to = ::open(path, O_WRONLY | O_TRUNC);
  bool whole = to >= 0;
  char buffer[8192];
  while (whole) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      whole = false;
      break;
    }
    for (ssize_t done = 0; done < got && whole;) {
      const ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) whole = false;
      if (put > 0) done += put;
    }
  }
  if (to >= 0 && ::close(to) != 0) whole = false;
  ::close(from);
  if (whole) ::unlink(copy);
  return whole;
}

// Puts one kept file back (async-signal-safe).
bool PutBack(const char* path, const char* copy, bool through) {
  if (through) return WriteBackThrough(path, copy);
  return ::rename(copy, path) == 0;
}

// The termination hook: every published file back, the last kept first.
void PutBackOnSignal() {
  const int saved = errno;
  for (int i = g_signal_count.load(); i > 0; --i) {
    const SignalEntry& entry = g_signal_entries[i - 1];
    PutBack(entry.path, entry.copy, entry.through);
  }
  g_signal_count.store(0);
  errno = saved;
}

bool IsSymlink(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
}

}  // namespace

SetUpOutputKeeper::SetUpOutputKeeper() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  const TerminationHeldScope held;
  kept.active = true;
  kept.files.clear();
  ClearForSignal();
  SetTerminationHook(PutBackOnSignal);
}

SetUpOutputKeeper::~SetUpOutputKeeper() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  if (!kept.active) return;
  const TerminationHeldScope held;
  // Not ended: the run failed before its first step was done. The kept files go back in place
  // of what the run wrote (a file that cannot go back stays under its kept name, which the next
  // run in the folder puts back).
  ClearForSignal();
  for (auto it = kept.files.rbegin(); it != kept.files.rend(); ++it)
    PutBack(it->path.c_str(), it->copy.c_str(), it->through);
  kept.files.clear();
  kept.active = false;
  SetTerminationHook(nullptr);
}

void EndOfSetUp() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  if (!kept.active) return;
  // Held until every copy is gone: a copy left by a signal would be put back by the next run
  // over the files of this one.
  const TerminationHeldScope held;
  ClearForSignal();
  for (const KeptFile& file : kept.files) std::remove(file.copy.c_str());
  kept.files.clear();
  kept.active = false;
  // Nothing left to put back: a signal from here on ends the run where it lands.
  SetTerminationHook(nullptr);
}

namespace {
std::atomic<unsigned> g_output_pass{0};
}  // namespace

void BeginOutputPass() {
  ++g_output_pass;
}

unsigned OutputPass() {
  return g_output_pass.load();
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

bool RecordingWrites() {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  return kept.recording;
}

void KeepBeforeWriting(const std::string& path, bool replaces) {
  KeptFiles& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.mutex);
  if (kept.recording && replaces &&
      std::find(kept.written.begin(), kept.written.end(), path) == kept.written.end())
    kept.written.push_back(path);
  if (!kept.active) return;
  // The set-aside and its record for the termination hook are one step for a termination signal:
  // a copy made but not yet recorded would outlive the run, a file renamed but not yet recorded
  // would be lost.
  const TerminationHeldScope held;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return;
  KeptFile file{path, path + kKeptSuffix, IsSymlink(path)};
  // Kept before (under this or another spelling of the name), or a copy that could not be put
  // back: nothing to keep again.
  if (std::filesystem::exists(file.copy, error) || error) return;
  if (replaces && !file.through) {
    // Published first: a signal between the two steps finds no copy and leaves the file.
    if (!PublishForSignal(file)) return;
    if (std::rename(path.c_str(), file.copy.c_str()) != 0) {
      g_signal_count.store(g_signal_count.load() - 1);
      return;
    }
  } else {
    // A file the writer adds to, or a link the writer writes through: its bytes are copied.
    const std::string part = path + kPartSuffix;
    if (!std::filesystem::copy_file(path, part, std::filesystem::copy_options::overwrite_existing,
                                    error) ||
        std::rename(part.c_str(), file.copy.c_str()) != 0) {
      std::filesystem::remove(part, error);
      return;
    }
    if (!PublishForSignal(file)) {
      std::filesystem::remove(file.copy, error);
      return;
    }
  }
  kept.files.push_back(std::move(file));
}

void PutBackLeftCopies(DiagnosticStream& diag, const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<fs::path> copies;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.ends_with(kPartSuffix)) fs::remove(it->path(), error);  // never a whole file
    if (name.ends_with(kKeptSuffix)) copies.push_back(it->path());
    error.clear();
  }
  if (copies.empty()) return;
  std::sort(copies.begin(), copies.end());
  std::string back, left;
  for (const fs::path& copy : copies) {
    std::string path = copy.string();
    path.resize(path.size() - std::string(kKeptSuffix).size());
    const bool through = IsSymlink(path);
    (PutBack(path.c_str(), copy.c_str(), through) ? back : left) += "\n  " + path;
  }
  if (!back.empty())
    diag << "WARNING: a run in " << folder
         << " ended during its set-up (killed) and left the files of the run before it set aside; "
            "they are put back in place of what that run wrote:"
         << back << "[end-entry]";
  if (!left.empty())
    diag << "WARNING: the files of an earlier run set aside in " << folder
         << " cannot be put back (their copies <name>" << kKeptSuffix
         << " stay, and this run keeps nothing of them):" << left << "[end-entry]";
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
      // The folder is this run's: what a killed run set aside goes back before this run's
      // set-up sets anything aside.
      PutBackLeftCopies(diag, folder);
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
    // An empty lock, other text, a folder or a dangling link in its place names no run: it is
    // respected (it may be a run's), and said to be what it is.
    if (holder.pid <= 0)
      ThrowFatal(diag, kOutputCreateCode, "FATAL: the output folder ", folder,
                 " holds a lock file ", path_,
                 " that names no run (no process and host); two runs must not write into one "
                 "folder. Remove the lock file if no run writes into the folder.");
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

void WriteTemporaryFile(DiagnosticStream& diag, int code, const std::string& path,
                        const std::string& bytes) {
  try {
    WriteWholeFile(diag, code, path, bytes);
  } catch (...) {
    std::remove(path.c_str());
    throw;
  }
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

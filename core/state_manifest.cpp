#include "core/state_manifest.h"

#include <mpi.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "core/error_code.h"
#include "core/output_files.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTitle = "velorn state manifest";

// A listed file: its size and hash as the run wrote it.
struct ListedFile {
  uint64_t hash = 0, size = 0;
};

// The manifest of the initial-state folder as the set-up found it (the same on every process).
struct Examined {
  bool present = false;
  bool complete = false;
  std::string folder, manifest, run;
  fs::file_time_type mark{};                // the manifest's own time: the incomplete mark
  std::map<std::string, ListedFile> files;  // by canonical path
  bool warned = false;
};

Examined& Current() {
  static Examined examined;
  return examined;
}

std::string Folder(const std::string& folder) {
  return folder.empty() ? std::string(".") : folder;
}

std::string Canonical(const fs::path& path) {
  std::error_code error;
  const fs::path canonical = fs::weakly_canonical(path, error);
  return (error ? path : canonical).lexically_normal().string();
}

// The name a manifest in `folder` keeps for `path`: relative to the folder when inside it.
std::string ListedName(const std::string& folder, const std::string& path) {
  const fs::path base = Canonical(Folder(folder));
  const fs::path file = Canonical(path);
  const fs::path relative = file.lexically_relative(base);
  if (!relative.empty() && *relative.begin() != "..") return relative.string();
  return file.string();
}

std::string RunStamp() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  char when[64] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  return "process " + std::to_string(static_cast<long>(getpid())) + " on " + host + ", " + when;
}

// The "file" lines of the manifest in `folder` (none when it has none).
std::vector<std::string> ListedLines(const std::string& folder) {
  std::vector<std::string> lines;
  std::ifstream in(fs::path(Folder(folder)) / kStateManifestName);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("file ", 0) == 0) lines.push_back(line);
  return lines;
}

// Writes the manifest whole under a temporary name, then renames it over the manifest: a reader
// sees the old manifest or the new one, never a part.
void WriteManifest(DiagnosticStream& diag, const std::string& folder, const std::string& text) {
  const std::string path = (fs::path(Folder(folder)) / kStateManifestName).string();
  const std::string temporary = path + "." + std::to_string(static_cast<long>(getpid()));
  WriteWholeFile(diag, kWriteErrorCode, temporary, text);
  // A run refused in its first step puts the earlier manifest back with the earlier state.
  KeepBeforeWriting(path, true);
  errno = 0;
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = ErrnoOrIo();
    std::remove(temporary.c_str());
    ThrowFatal(diag, kWriteErrorCode, "FATAL: cannot rename ", temporary, " to ", path,
               SystemReason(error));
  }
}

// Every process's text on process 0, in rank order (collective).
std::string GatherText(const std::string& mine) {
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  int length = static_cast<int>(mine.size());
  std::vector<int> lengths(static_cast<std::size_t>(size), 0);
  MPI_Gather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<int> offsets(static_cast<std::size_t>(size), 0);
  int total = 0;
  for (int p = 0; p < size; ++p) {
    offsets[static_cast<std::size_t>(p)] = total;
    total += lengths[static_cast<std::size_t>(p)];
  }
  std::string all(static_cast<std::size_t>(rank == 0 ? total : 0), '\0');
  MPI_Gatherv(mine.data(), length, MPI_CHAR, all.data(), lengths.data(), offsets.data(), MPI_CHAR,
              0, MPI_COMM_WORLD);
  return all;
}

// Process 0's text on every process (collective).
void BroadcastText(std::string& text) {
  unsigned long long length = text.size();
  MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
  text.resize(static_cast<std::size_t>(length));
  if (length > 0) MPI_Bcast(text.data(), static_cast<int>(length), MPI_CHAR, 0, MPI_COMM_WORLD);
}

}  // namespace

bool HashFile(const std::string& path, uint64_t& hash, uint64_t& size) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  hash = 14695981039346656037ULL;
  size = 0;
  std::vector<unsigned char> buffer(1 << 16);
  for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    for (std::size_t i = 0; i < got; ++i) {
      hash ^= buffer[i];
      hash *= 1099511628211ULL;
    }
    size += got;
  }
  const bool read = std::ferror(file) == 0;
  std::fclose(file);
  return read;
}

StateManifestWriter::StateManifestWriter(DiagnosticStream& diag, std::string folder)
    : diag_(diag), folder_(std::move(folder)) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    // The files of the state being replaced stay listed: while the mark stands, none of them,
    // and no file written after it, is taken for a whole state.
    std::string text =
        std::string(kTitle) + "\nstatus incomplete\nrun " + RunStamp() + " (writing its state)\n";
    for (const std::string& line : ListedLines(folder_)) text += line + "\n";
    WriteManifest(diag_, folder_, text);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  StartRecordingWrites();
  recording_ = true;
}

StateManifestWriter::~StateManifestWriter() {
  if (recording_) StopRecordingWrites();
}

void StateManifestWriter::Finish() {
  recording_ = false;
  std::string mine;
  for (const std::string& path : StopRecordingWrites()) {
    uint64_t hash = 0, size = 0;
    if (!HashFile(path, hash, size)) continue;
    char line[64];
    std::snprintf(line, sizeof line, "file %016" PRIx64 " %" PRIu64 " ", hash, size);
    mine += line + ListedName(folder_, path) + "\n";
  }
  const std::string all = GatherText(mine);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  int code = 0;
  if (rank == 0)
    code = CodeOf([&] {
      WriteManifest(diag_, folder_,
                    std::string(kTitle) + "\nstatus complete\nrun " + RunStamp() + "\n" + all);
    });
  MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (code != 0) throw ErrorCode{code};
}

void ExamineStateManifest(const std::string& folder) {
  Examined& examined = Current();
  examined = Examined{};
  examined.folder = Folder(folder);
  examined.manifest = (fs::path(examined.folder) / kStateManifestName).string();
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  std::string text;
  if (rank == 0) {
    std::ifstream in(examined.manifest, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    if (in) text = all.str();
  }
  BroadcastText(text);
  if (text.empty()) return;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  if (line != kTitle) {
    // No manifest of this system (an empty or foreign file): refused where a state is read.
    examined.present = true;
    examined.run = "unknown (" + examined.manifest + " is no state manifest)";
    return;
  }
  examined.present = true;
  std::error_code error;
  examined.mark = fs::last_write_time(examined.manifest, error);
  while (std::getline(lines, line)) {
    if (line == "status complete") examined.complete = true;
    if (line.rfind("run ", 0) == 0) examined.run = line.substr(4);
    if (line.rfind("file ", 0) != 0) continue;
    std::istringstream fields(line.substr(5));
    std::string hash, name;
    ListedFile file;
    if (!(fields >> hash >> file.size)) continue;
    std::getline(fields >> std::ws, name);
    file.hash = std::strtoull(hash.c_str(), nullptr, 16);
    const fs::path path =
        fs::path(name).is_absolute() ? fs::path(name) : fs::path(examined.folder) / name;
    examined.files[Canonical(path)] = file;
  }
}

void CheckStateFile(DiagnosticStream& diag, const std::string& path) {
  const Examined& examined = Current();
  if (!examined.present) return;
  const std::string canonical = Canonical(path);
  const auto listed = examined.files.find(canonical);
  if (!examined.complete) {
    // A file the run listed, or one of the state's folder written since the mark.
    std::error_code error;
    const auto written = fs::last_write_time(path, error);
    const fs::path relative = fs::path(canonical).lexically_relative(Canonical(examined.folder));
    const bool inside = !relative.empty() && *relative.begin() != "..";
    if (listed == examined.files.end() && (!inside || error || written < examined.mark)) return;
    ThrowFatal(diag, kStateManifestCode, "FATAL: the state in ", examined.folder,
               " is incomplete: its manifest ", examined.manifest, " says the run ", examined.run,
               " did not finish writing it, so ", path,
               " may belong to that run or to the one before; a warm start needs the state of "
               "one run that finished (or start cold)");
  }
  if (listed == examined.files.end()) return;
  uint64_t hash = 0, size = 0;
  if (HashFile(path, hash, size) && hash == listed->second.hash && size == listed->second.size)
    return;
  ThrowFatal(diag, kStateManifestCode, "FATAL: the state file ", path, " is not the file the run ",
             examined.run, " wrote (its manifest ", examined.manifest, " lists ",
             listed->second.size, " bytes of another content, the file holds ", size,
             "): it was changed, or belongs to another run");
}

void ReportUncheckedState(DiagnosticStream& diag, const std::string& path) {
  Examined& examined = Current();
  if (examined.present || examined.warned) return;
  examined.warned = true;
  diag << "WARNING: the state read from " << path << " has no manifest " << kStateManifestName
       << " in " << examined.folder
       << " (a state written before manifests, or copied without it): which run wrote each of "
          "its files is not checked"
       << "[end-entry]";
}

}  // namespace velorn

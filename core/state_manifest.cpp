#include "core/state_manifest.h"

#include <mpi.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "core/error_code.h"
#include "core/number_reader.h"
#include "core/output_files.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTitle = "velorn state manifest";
// A manifest lists a line of about a hundred bytes per state file: one larger than this is no
// manifest, and is not read into memory.
constexpr unsigned long long kLargestManifest = 16ULL << 20;
// The bounds of a manifest's numbers: the years any run covers, and model steps up to a leap year
// (minutes), so that the date arithmetic of the check never overflows.
constexpr long long kLastStateYear = 100000;
constexpr long long kLongestStepMinutes = 366LL * 1440;

// A listed file: its size and hash as the run wrote it.
struct ListedFile {
  uint64_t hash = 0, size = 0;
};

// The manifest of the initial-state folder as the set-up found it (the same on every process).
struct Examined {
  bool present = false;
  bool complete = false;
  std::string folder, manifest, run;
  std::string unreadable;                   // why the manifest cannot be read (empty: it can)
  std::map<std::string, ListedFile> files;  // by canonical path
  std::set<std::string> earlier;            // state files of earlier runs, by canonical path
  bool dated = false;                       // an older manifest has no date line
  ModelDate date{};                         // the step whose end the state is
  int64_t step_minutes = 0;
  bool warned = false;
  bool date_checked = false;
};

// The first date of this run, for the date check of a warm start.
struct StartDate {
  bool known = false;
  ModelDate date{};
};

StartDate& RunStart() {
  static StartDate start;
  return start;
}

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

// The line of the model date: "date <year> <month> <day> <hour> step <minutes>".
std::string DateLine(const ModelDate& date, int64_t step_minutes) {
  return "date " + std::to_string(date.year) + " " + std::to_string(date.month) + " " +
         std::to_string(date.day) + " " + std::to_string(date.hour) + " step " +
         std::to_string(step_minutes) + "\n";
}

// The name a "file" or "earlier" line gives (empty when the line is neither or cannot be read).
std::string NameOfLine(const std::string& line) {
  std::istringstream fields(line);
  std::string kind, hash, size, name;
  fields >> kind;
  if (kind == "file" && !(fields >> hash >> size)) return std::string();
  if (kind != "file" && kind != "earlier") return std::string();
  std::getline(fields >> std::ws, name);
  return name;
}

// The "file" and "earlier" lines of the manifest in `folder` (none when it has none), without
// a carriage return at their end.
std::vector<std::string> ListedLines(const std::string& folder) {
  std::vector<std::string> lines;
  std::ifstream in(fs::path(Folder(folder)) / kStateManifestName);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("file ", 0) == 0 || line.rfind("earlier ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// Closes the text of a manifest: the count of its file lines, so that a manifest cut short or
// with lines removed is told from a whole one.
std::string WithEnd(const std::string& text, std::size_t listed) {
  return text + "end " + std::to_string(listed) + "\n";
}

// Writes the manifest whole under a temporary name, then renames it over the manifest: a reader
// sees the old manifest or the new one, never a part.
void WriteManifest(DiagnosticStream& diag, const std::string& folder, const std::string& text) {
  const std::string path = (fs::path(Folder(folder)) / kStateManifestName).string();
  const std::string temporary = path + "." + std::to_string(static_cast<long>(getpid()));
  WriteTemporaryFile(diag, kWriteErrorCode, temporary, text);
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

StateManifestWriter::StateManifestWriter(DiagnosticStream& diag, std::string folder,
                                         const ModelDate& date, double step_minutes)
    : diag_(diag),
      folder_(std::move(folder)),
      date_line_(DateLine(date, static_cast<int64_t>(step_minutes))) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    // The files of the state being replaced stay listed: while the mark stands, none of them,
    // and no file written after it, is taken for a whole state.
    std::string text = std::string(kTitle) + "\n" + date_line_ + "status incomplete\nrun " +
                       RunStamp() + " (writing its state)\n";
    const std::vector<std::string> lines = ListedLines(folder_);
    for (const std::string& line : lines) text += line + "\n";
    WriteManifest(diag_, folder_, WithEnd(text, lines.size()));
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
      // The state files of earlier runs that this run did not write again stay named: a warm
      // start must not take them for part of this run's state.
      std::set<std::string> written;
      std::size_t listed = 0;
      for (std::size_t at = 0; at < all.size(); at = all.find('\n', at) + 1, ++listed)
        written.insert(NameOfLine(all.substr(at, all.find('\n', at) - at)));
      std::string earlier;
      std::set<std::string> named;
      for (const std::string& line : ListedLines(folder_)) {
        const std::string name = NameOfLine(line);
        const fs::path path =
            fs::path(name).is_absolute() ? fs::path(name) : fs::path(Folder(folder_)) / name;
        std::error_code error;
        if (name.empty() || written.contains(name) || !named.insert(name).second ||
            !fs::exists(path, error))
          continue;
        earlier += "earlier " + name + "\n";
        ++listed;
      }
      WriteManifest(diag_, folder_,
                    WithEnd(std::string(kTitle) + "\n" + date_line_ + "status complete\nrun " +
                                RunStamp() + "\n" + all + earlier,
                            listed));
    });
  MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (code != 0) throw ErrorCode{code};
}

namespace {

// The next word of `fields` as a whole number within [low, high] ("12O", "1,5", "3e" and glued
// units are none); false when there is no such word.
bool ReadWhole(std::istringstream& fields, long long low, long long high, long long& value) {
  std::string word;
  return static_cast<bool>(fields >> word) && ReadNumber(word, value) && value >= low &&
         value <= high;
}

// The date line's numbers: "<year> <month> <day> <hour> step <minutes>", a date of the calendar.
bool ReadDateLine(std::istringstream& fields, ModelDate& date, int64_t& step_minutes) {
  long long year = 0, month = 0, day = 0, hour = 0, minutes = 0;
  std::string step;
  if (!ReadWhole(fields, 0, kLastStateYear, year) || !ReadWhole(fields, 1, 12, month) ||
      !ReadWhole(fields, 1, 31, day) || !ReadWhole(fields, 0, 24, hour) || !(fields >> step) ||
      step != "step" || !ReadWhole(fields, 0, kLongestStepMinutes, minutes) ||
      day > DaysInMonth(year, month) || fields >> step)
    return false;
  date = ModelDate{year, month, day, hour};
  step_minutes = minutes;
  return true;
}

// Reads the lines of a manifest into `examined`; the reason when they do not form one.
std::string ReadManifest(const std::string& text, Examined& examined) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    // A manifest carried over to another system may have gained carriage returns.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (lines.empty() || lines.front() != kTitle)
    return std::string("its first line is not \"") + kTitle + "\"";
  bool status = false, ended = false;
  std::size_t listed = 0, counted = 0;
  for (std::size_t n = 1; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    const std::string number = "line " + std::to_string(n + 1);
    if (ended) return number + " follows its last line \"end\"";
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    if (line == "status complete" || line == "status incomplete") {
      status = true;
      examined.complete = line == "status complete";
    } else if (kind == "run") {
      // A manifest cut right after the word still names the line it stopped in.
      examined.run = line.size() > 4 ? line.substr(4) : std::string();
    } else if (kind == "date") {
      if (!ReadDateLine(fields, examined.date, examined.step_minutes))
        return number + " (the model date of the state) cannot be read";
      examined.dated = true;
    } else if (kind == "file") {
      std::string hash, name;
      ListedFile file;
      long long size = 0;
      if (!(fields >> hash) || hash.size() != 16 ||
          hash.find_first_not_of("0123456789abcdef") != std::string::npos ||
          !ReadWhole(fields, 0, std::numeric_limits<long long>::max(), size))
        return number + " (a listed file) cannot be read";
      file.size = static_cast<uint64_t>(size);
      std::getline(fields >> std::ws, name);
      if (name.empty()) return number + " (a listed file) names no file";
      file.hash = std::strtoull(hash.c_str(), nullptr, 16);
      examined.files[Canonical(fs::path(examined.folder) / name)] = file;
      ++listed;
    } else if (kind == "earlier") {
      std::string name;
      std::getline(fields >> std::ws, name);
      if (name.empty()) return number + " (a file of an earlier run) names no file";
      examined.earlier.insert(Canonical(fs::path(examined.folder) / name));
      ++listed;
    } else if (kind == "end") {
      long long count = 0;
      std::string rest;
      if (!ReadWhole(fields, 0, std::numeric_limits<long long>::max(), count) || fields >> rest)
        return number + " (its last line) cannot be read";
      counted = static_cast<std::size_t>(count);
      ended = true;
    } else if (!line.empty()) {
      return number + " is no line of a state manifest";
    }
  }
  if (!status) return "it has no status line";
  // A manifest of an older version has neither a date nor an end line; this one writes both.
  if (examined.dated && !ended) return "it is cut short (its last line \"end\" is missing)";
  if (ended && !examined.dated) return "its date line is missing";
  if (ended && counted != listed)
    return "it lists " + std::to_string(listed) + " files where its last line counts " +
           std::to_string(counted) + " (lines removed or added)";
  return std::string();
}

std::string DateText(const ModelDate& date) {
  return std::to_string(date.day) + "." + std::to_string(date.month) + "." +
         std::to_string(date.year) + " " + std::to_string(date.hour) + ". h";
}

// Once per run, for a state read from a whole manifest: a state of another date than the step
// before this run's first, or a manifest that does not say its date.
void CheckStateDate(DiagnosticStream& diag, Examined& examined) {
  const StartDate& start = RunStart();
  if (examined.date_checked || !start.known) return;
  examined.date_checked = true;
  if (!examined.dated) {
    diag << "WARNING: the state manifest " << examined.manifest
         << " was written by an older version and does not say the model date of its state: "
            "whether the state is that of the step before this run's start ("
         << DateText(start.date) << ") is not checked[end-entry]";
    return;
  }
  if (examined.step_minutes > 0 &&
      HoursBetween(examined.date, start.date) * 60 == examined.step_minutes)
    return;
  diag << "WARNING: the state in " << examined.folder << " is that of the step of "
       << DateText(examined.date) << " (steps of " << examined.step_minutes
       << " minutes; its manifest " << examined.manifest << "), but this run starts on "
       << DateText(start.date)
       << ", not with the step after it: the warm start continues a run of another date"
       << "[end-entry]";
}

bool Inside(const std::string& canonical, const std::string& folder) {
  const fs::path relative = fs::path(canonical).lexically_relative(Canonical(folder));
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

void SetRunStartDate(const ModelDate& start) {
  RunStart() = StartDate{true, start};
}

void ExamineStateManifest(const std::string& folder) {
  Examined& examined = Current();
  examined = Examined{};
  examined.folder = Folder(folder);
  examined.manifest = (fs::path(examined.folder) / kStateManifestName).string();
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  std::string text;
  unsigned long long oversized = 0;
  if (rank == 0) {
    std::error_code error;
    const std::uintmax_t bytes = fs::file_size(examined.manifest, error);
    if (!error && bytes > kLargestManifest) {
      oversized = bytes;
    } else {
      std::ifstream in(examined.manifest, std::ios::binary);
      std::ostringstream all;
      all << in.rdbuf();
      if (in) text = all.str();
    }
  }
  MPI_Bcast(&oversized, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
  if (oversized > 0) {
    examined.present = true;
    examined.unreadable = "it holds " + std::to_string(oversized) +
                          " bytes, more than a manifest of any state (" +
                          std::to_string(kLargestManifest) + ")";
    return;
  }
  BroadcastText(text);
  if (text.empty()) return;
  examined.present = true;
  const NumberSource source(examined.manifest);
  examined.unreadable = ReadManifest(text, examined);
}

namespace {

// The number of StateGridRead objects alive, by kind.
int& StateGridReads(StateGridKind kind) {
  static int open[2] = {0, 0};
  return open[kind == StateGridKind::kStartGrid ? 1 : 0];
}

}  // namespace

StateGridRead::StateGridRead(StateGridKind kind) : kind_(kind) {
  ++StateGridReads(kind_);
}

StateGridRead::~StateGridRead() {
  --StateGridReads(kind_);
}

// How a refused file of a state is read on purpose all the same.
constexpr const char* kOnPurpose =
    "A start from stored state reads the files of one run (have the run write the whole state, "
    "or remove the file; to read it on purpose, put it in another folder without the manifest, or "
    "remove the manifest to read the state unchecked)";

namespace {

// CheckStateFile; `start_grid`: a file no manifest names is a start grid of the user's, read with
// a WARNING instead of refused.
void CheckFile(DiagnosticStream& diag, const std::string& path, bool start_grid) {
  Examined& examined = Current();
  if (!examined.present) return;
  const std::string canonical = Canonical(path);
  const bool inside = Inside(canonical, examined.folder);
  if (!examined.unreadable.empty()) {
    // Which files of the folder are state, and whose, is unknown: none of them is read.
    if (!inside) return;
    ThrowFatal(diag, kStateManifestCode, "FATAL: the state manifest ", examined.manifest,
               " cannot be read: ", examined.unreadable, ". Which run wrote the files of ",
               examined.folder, " is unknown, so ", path,
               " is not read: a start from stored state reads the state of one run with the "
               "manifest that run wrote (put the manifest back, or remove it to read the state "
               "unchecked)");
  }
  const auto listed = examined.files.find(canonical);
  if (!examined.complete) {
    // A state file of the folder, or one the run listed.
    if (listed == examined.files.end() && !inside) return;
    ThrowFatal(diag, kStateManifestCode, "FATAL: the state in ", examined.folder,
               " is incomplete: its manifest ", examined.manifest, " says the run ", examined.run,
               " did not finish writing it, so ", path,
               " may belong to that run or to the one before; a start from stored state needs "
               "the state of one run that finished (or start cold)");
  }
  if (examined.earlier.contains(canonical))
    ThrowFatal(diag, kStateManifestCode, "FATAL: the state file ", path, " is not of the run ",
               examined.run, " whose state its manifest ", examined.manifest,
               " lists: an earlier run wrote it, and that run did not write it again. ",
               kOnPurpose);
  if (listed == examined.files.end()) {
    if (!inside) return;
    if (start_grid) {
      // A grid the user made: it is one grid, not part of a stored state, so it mixes no runs.
      diag << "WARNING: the grid " << path << " is not listed in the state manifest "
           << examined.manifest << ": it is read as a start grid of the user's, not as part of "
           << "the stored state of the run " << examined.run << "[end-entry]";
      return;
    }
    // A state file beside the listed ones that no manifest names: left by a run killed while
    // it wrote its state, by one whose manifest was lost or could not be read, or copied in.
    ThrowFatal(diag, kStateManifestCode, "FATAL: the state file ", path,
               " is not listed in the manifest ", examined.manifest, " of the state in ",
               examined.folder, ": the run ", examined.run,
               " did not write it, another run did (one killed while it wrote its state, or one "
               "whose manifest is gone). ",
               kOnPurpose);
  }
  uint64_t hash = 0, size = 0;
  if (HashFile(path, hash, size) && hash == listed->second.hash && size == listed->second.size) {
    CheckStateDate(diag, examined);
    return;
  }
  ThrowFatal(diag, kStateManifestCode, "FATAL: the state file ", path, " is not the file the run ",
             examined.run, " wrote (its manifest ", examined.manifest, " lists ",
             listed->second.size, " bytes of another content, the file holds ", size,
             "): it was changed, or belongs to another run. ", kOnPurpose);
}

}  // namespace

void CheckStateFile(DiagnosticStream& diag, const std::string& path) {
  CheckFile(diag, path, false);
}

void CheckGridFile(DiagnosticStream& diag, const std::string& path) {
  // An input is no part of the state: a run that reads none (a cold start) needs no manifest.
  if (StateGridReads(StateGridKind::kState) > 0)
    CheckFile(diag, path, false);
  else if (StateGridReads(StateGridKind::kStartGrid) > 0)
    CheckFile(diag, path, true);
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

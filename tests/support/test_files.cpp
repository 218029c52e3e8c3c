#include "tests/support/test_files.h"

#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tests/support/test_mpi.h"

namespace velorn::test {
namespace fs = std::filesystem;

namespace {
fs::path MakeUniqueDir() {
  std::string pattern = (fs::temp_directory_path() / "velorn-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return fs::path(buffer.data());
}

bool MpiRunning() {
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  return initialised && !finalised;
}
}  // namespace

TempDir::TempDir() : path_(MakeUniqueDir()) {}

TempDir::TempDir(SharedTag) : shared_(true), owner_(Rank() == 0) {
  path_ = BroadcastString(owner_ ? MakeUniqueDir().string() : std::string());
}

TempDir TempDir::Shared() {
  return TempDir(SharedTag{});
}

TempDir::TempDir(TempDir&& other) noexcept
    : path_(std::move(other.path_)), shared_(other.shared_), owner_(other.owner_) {
  other.owner_ = false;
  other.shared_ = false;
  other.path_.clear();
}

TempDir::~TempDir() {
  if (shared_ && MpiRunning()) MPI_Barrier(MPI_COMM_WORLD);
  if (owner_ && !path_.empty()) {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
}

ScopedCurrentDir::ScopedCurrentDir(const fs::path& dir) : previous_(fs::current_path()) {
  fs::current_path(dir);
}
ScopedCurrentDir::~ScopedCurrentDir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

void WriteFileWhole(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".part";
  WriteFile(temporary, content);
  std::filesystem::rename(temporary, path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Numbered(const std::string& stem, long number, const std::string& suffix) {
  std::string text = stem;
  text += std::to_string(number);
  text += suffix;
  return text;
}

std::string AsciiGrid(int ncols, int nrows, double xll, double yll, double cellsize, double nodata,
                      const std::function<double(int, int)>& value) {
  std::ostringstream text;
  text << "ncols " << ncols << "\nnrows " << nrows << "\nxllcorner " << xll << "\nyllcorner " << yll
       << "\ncellsize " << cellsize << "\nNODATA_value " << nodata << "\n";
  text.precision(17);
  for (int r = 1; r <= nrows; ++r) {
    for (int c = 1; c <= ncols; ++c) text << (c > 1 ? " " : "") << value(r, c);
    text << "\n";
  }
  return text.str();
}

std::optional<std::string> RefData(const std::string& relative) {
  const char* shared = std::getenv("VELORN_SHARED_DIR");
  if (shared == nullptr) return std::nullopt;
  fs::path file = fs::path(shared) / "refdata" / relative;
  if (!fs::exists(file)) return std::nullopt;
  return file.string();
}

std::filesystem::path ExampleDir() {
  const char* source = std::getenv("VELORN_SOURCE_DIR");
  return std::filesystem::path(source != nullptr ? source : ".") / "examples" / "front-range";
}

std::string CopyExample(const std::filesystem::path& target) {
  namespace fs = std::filesystem;
  const fs::path example = ExampleDir();
  fs::copy(example / "stations", target / "stations",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  for (const char* file :
       {"front-range.ctl", "dem.asc", "zones.asc", "landuse.asc", "soil.asc", "river_links.asc"})
    fs::copy_file(example / file, target / file, fs::copy_options::overwrite_existing);
  fs::create_directories(target / "output");
  return (target / "front-range.ctl").string();
}

std::map<std::string, std::string> OutputFiles(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    // Files of one process's share of a grid ("<name>_<process in three digits>") depend on
    // the decomposition as well.
    const std::size_t n = name.size();
    const bool share =
        n > 4 && name[n - 4] == '_' && std::all_of(name.end() - 3, name.end(), [](char ch) {
          return std::isdigit(static_cast<unsigned char>(ch)) != 0;
        });
    // The state's manifest names the run that wrote it (its process and time).
    if (name != "MPIRegions_0" && name != "velorn_state.txt" && !share)
      files[name] = ReadFile(entry.path().string());
  }
  return files;
}

}  // namespace velorn::test

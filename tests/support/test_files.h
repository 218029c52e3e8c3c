// File helpers for tests: temporary directories (per process or shared by all processes),
// whole-file reads and writes, the lines of a text, and the location of the reference data next
// to the repository.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velorn::test {

// A fresh directory removed with its contents at destruction. The shared form is collective:
// process 0 creates it and every process gets the same path (for files written by one process
// and read by others); it is removed after a barrier.
class TempDir {
 public:
  TempDir();
  static TempDir Shared();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&& other) noexcept;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  struct SharedTag {};
  explicit TempDir(SharedTag);
  std::filesystem::path path_;
  bool shared_ = false;
  bool owner_ = true;
};

// Runs a block with the current directory changed, restoring it afterwards.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::filesystem::path& dir);
  ~ScopedCurrentDir();

 private:
  std::filesystem::path previous_;
};

void WriteFile(const std::string& path, const std::string& content);
// Writes a file whole or not at all (a temporary beside it, renamed over it): a program polling
// for the file, as a coupled run polls for its synchronisation file, never reads it half written.
void WriteFileWhole(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// The lines of a text, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);
// stem + number + suffix ("f", 3, ".nc" gives "f3.nc"), built by appending: GCC 12 at -O3 warns
// falsely (-Wrestrict) about "text" + std::to_string(n).
std::string Numbered(const std::string& stem, long number, const std::string& suffix = "");

// The text of an ASCII grid file: the six header lines, then rows 1..nrows (top row first) of
// value(r, c) for columns 1..ncols, written with 17 significant digits.
std::string AsciiGrid(int ncols, int nrows, double xll, double yll, double cellsize, double nodata,
                      const std::function<double(int, int)>& value);

// Path of a file below ../shared/refdata, or nothing when the folder is absent (a user's clone).
std::optional<std::string> RefData(const std::string& relative);

// The folder of the shipped example basin in the source tree ($VELORN_SOURCE_DIR/examples/...).
std::filesystem::path ExampleDir();
// Every file of a run's output folder by name with its text, without "MPIRegions_0" and the
// files of one process's share ("<name>_000", "<name>_001", ...): they describe the
// decomposition itself, which differs between process counts; nor the state's manifest
// "velorn_state.txt", which names the run.
std::map<std::string, std::string> OutputFiles(const std::filesystem::path& folder);

// Copies the example basin's control file, grids and station tables into `target` (a fresh
// run directory with an empty "output" folder) and returns the control file's path there.
std::string CopyExample(const std::filesystem::path& target);

}  // namespace velorn::test

// Skips the current test, saying why, when the reference data are not available.
#define VELORN_REQUIRE_REFDATA(var, relative)                                 \
  auto var##_opt = ::velorn::test::RefData(relative);                         \
  if (!var##_opt)                                                             \
    GTEST_SKIP() << "reference data " << (relative)                           \
                 << " not found (../shared/refdata is absent in this clone)"; \
  const std::string var = *var##_opt

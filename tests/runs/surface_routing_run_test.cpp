// Whole runs of the example's surface-routing variant (front-range-surface-routing.ctl, ten wet
// days of March): the unsaturated zone's direct runoff is routed over the terrain to the stream
// cells (method 4, and once method 6) and its total runoff goes to discharge routing. The
// outputs are the same on 1 process with 1 and 4 threads and on 2 and 3 processes (method 6:
// five days on 1 and 3 processes).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

const char* const kControl = "front-range-surface-routing.ctl";
const std::string kMethod =
    "4          # method: single direction, steepest descent of the water surface";
const std::string kModelEnd =
    "0          # end: hour, day, month, year (the last daily step, 19 March 2019)\n19\n";

RunResult RunWithSurfaceRouting(const TempDir& dir, int processes, int threads, int method) {
  CopyExample(dir.path());
  for (const char* file : {kControl, "river_width.asc", "river_depth.asc"})
    fs::copy_file(ExampleDir() / file, dir.path() / file, fs::copy_options::overwrite_existing);
  std::string control = ReadFile((ExampleDir() / kControl).string());
  const auto replace = [&](const std::string& from, const std::string& to) {
    const std::size_t at = control.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) control.replace(at, from.size(), to);
  };
  // The head iteration runs the first five of the variant's ten days.
  if (method == 6) {
    replace(kMethod, "6");
    replace(kModelEnd, "0\n14\n");
  }
  WriteFile(dir / kControl, control);
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.environment = {"OMP_NUM_THREADS=" + std::to_string(threads)};
  // Soil water and surface routing: minutes under the sanitizers.
  options.timeout_seconds = 600;
  return RunVelorn(options, {kControl});
}

TEST(SurfaceRoutingRun, SameOutputsOnEveryProcessAndThreadCount) {
  for (int method : {4, 6}) {
    std::map<std::string, std::string> first;
    const int runs[][2] = {{1, 1}, {1, 4}, {2, 1}, {3, 1}};
    for (const auto& run : runs) {
      // The head iteration runs on 1 and 3 processes.
      if (method == 6 && (run[1] == 4 || run[0] == 2)) continue;
      SCOPED_TRACE("method " + std::to_string(method) + ", processes " + std::to_string(run[0]) +
                   ", threads " + std::to_string(run[1]));
      TempDir dir;
      const RunResult result = RunWithSurfaceRouting(dir, run[0], run[1], method);
      ASSERT_EQ(result.exit_status, 0) << result.Describe();
      // The storage files are written per process; every other output must agree.
      auto outputs = OutputFiles(dir.path() / "output");
      std::erase_if(outputs,
                    [](const auto& file) { return file.first.rfind("soilstorage_", 0) == 0; });
      std::string names;
      for (const auto& [name, text] : outputs) names += name + " ";
      ASSERT_EQ(outputs.count("qgsr.stat"), 1u) << names;
      ASSERT_EQ(outputs.count("surfstor.stat"), 1u);
      ASSERT_EQ(outputs.count("discharge.stat"), 1u);
      if (first.empty()) {
        first = outputs;
        continue;
      }
      ASSERT_EQ(outputs.size(), first.size());
      for (const auto& [name, text] : outputs) EXPECT_TRUE(text == first.at(name)) << name;
    }
  }
}

}  // namespace
}  // namespace velorn::test

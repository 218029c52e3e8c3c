// Whole runs of the example's groundwater variant (front-range-groundwater.ctl: two layers joined
// by leakage under the soil zone, layer 1 held at the stream beds), its first three days: the
// groundwater model starts under the soil zone, which provides its water table, recharge and
// base flow grids, and every output is the same on 1 and 3 processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

const char* const kControl = "front-range-groundwater.ctl";

TEST(GroundwaterRun, StartsUnderTheSoilZoneAndRunsAlikeOnOneAndThreeProcesses) {
  std::map<std::string, std::string> first;
  for (const int processes : {1, 3}) {
    SCOPED_TRACE("processes " + std::to_string(processes));
    TempDir dir;
    CopyExample(dir.path());
    fs::copy_file(ExampleDir() / "gw_boundary_fix_h_1.asc", dir.path() / "gw_boundary_fix_h_1.asc");
    std::string control = ReadFile((ExampleDir() / kControl).string());
    const std::string end = "(the last daily step, 31 March 2019)\n31\n3\n";
    ASSERT_NE(control.find(end), std::string::npos);
    control.replace(control.find(end), end.size(), "\n3\n1\n");
    WriteFile(dir / kControl, control);
    WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
    RunOptions options;
    options.processes = processes;
    options.directory = dir.path().string();
    options.timeout_seconds = 600;
    const RunResult result = RunVelorn(options, {kControl});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    auto outputs = OutputFiles(dir.path() / "output");
    std::erase_if(outputs, [](const auto& file) { return file.first.starts_with("soilstorage_"); });
    ASSERT_EQ(outputs.count("qg.stat"), 1u);
    if (first.empty()) {
      first = outputs;
      continue;
    }
    ASSERT_EQ(outputs.size(), first.size());
    for (const auto& [name, text] : outputs) EXPECT_TRUE(text == first.at(name)) << name;
  }
}

}  // namespace
}  // namespace velorn::test

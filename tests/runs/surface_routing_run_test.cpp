// Whole runs of the example basin with surface routing: the unsaturated zone's direct runoff is
// routed over the terrain to the river-link cells (method 4, and once method 6) and its total
// runoff goes to discharge routing. The outputs are the same on 1 process with 1 and 4 threads
// and on 2 and 3 processes (method 6: ten days on 1 and 3 processes).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

const char* const kControl = "front-range.ctl";
const std::string kYearEnd =
    "0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n";

// Strickler coefficients 1/n of overland flow from Engman's Manning roughness (1986): short
// grass prairie n = 0.15, dense grass n = 0.24, forest litter n = 0.40.
const std::map<std::string, std::string> kStrickler = {{"10 meadow", "6.7"},
                                                       {"20 montane_forest", "2.5"},
                                                       {"30 subalpine_forest", "2.5"},
                                                       {"40 grass_shrub", "4.2"}};

std::string Section(int method) {
  return "\n[SurfaceRoutingModel]\n1\n1440\n" + std::to_string(method) +
         "\nqdsr.stat 2001\nqisr.stat 2001\nqbsr.stat 2001\nqgsr.stat "
         "2001\nvelocity.stk\n0\nfluxes.stk\n0\n"
         "0.0001\n10\n0.001\n10\n600\n3600\n0.01\n1.0\n0\nsurfstor.stat 2001\n";
}

// River depth and width on the river-link cells, nodata elsewhere.
void WriteRiverGrids(const fs::path& dir) {
  const std::vector<std::string> lines = SplitLines(ReadFile((dir / "river_links.asc").string()));
  std::string depth, width;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i < 6) {
      depth += lines[i] + "\n";
      width += lines[i] + "\n";
      continue;
    }
    std::istringstream row(lines[i]);
    double link = 0;
    while (row >> link) {
      depth += link > 0 ? "0.5 " : "-9999 ";
      width += link > 0 ? "4 " : "-9999 ";
    }
    depth += "\n";
    width += "\n";
  }
  WriteFile(dir / "river_depth.asc", depth);
  WriteFile(dir / "river_width.asc", width);
}

RunResult RunWithSurfaceRouting(const TempDir& dir, int processes, int threads, int method) {
  CopyExample(dir.path());
  std::string control = ReadFile((ExampleDir() / kControl).string());
  control.replace(control.find(kYearEnd), kYearEnd.size(),
                  method == 6 ? "0\n10\n1\n" : "0\n31\n3\n");
  const auto replace = [&](const std::string& from, const std::string& to) {
    const std::size_t at = control.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    control.replace(at, from.size(), to);
  };
  // Discharge routing off: these runs compare the surface routing alone, as short as they can be.
  replace("[routing_model]\n1          # on", "[routing_model]\n0          # off");
  replace("[standard_grids]\n5\n",
          "[standard_grids]\n7\nriver_depth.asc river_depth 0\n"
          "river_width.asc river_width 0\n");
  replace("[variable_grids]\n0\n",
          "[variable_grids]\n1\nsurface_storage.asc SurfStorSiltingUp 0 0\n0\n0\n");
  for (const auto& [entry, k_st] : kStrickler)
    replace(entry + " method VariableDayCount {",
            entry + " method VariableDayCount { SR_K_ST = " + k_st + ";");
  control += Section(method);
  WriteRiverGrids(dir.path());
  WriteFile(dir / kControl, control);
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.environment = {"OMP_NUM_THREADS=" + std::to_string(threads)};
  // Soil water and surface routing for a quarter: minutes under the sanitizers.
  options.timeout_seconds = 600;
  return RunVelorn(options, {kControl});
}

TEST(SurfaceRoutingRun, SameOutputsOnEveryProcessAndThreadCount) {
  for (int method : {4, 6}) {
    std::map<std::string, std::string> first;
    const int runs[][2] = {{1, 1}, {1, 4}, {2, 1}, {3, 1}};
    for (const auto& run : runs) {
      // The head iteration runs ten days, on 1 and 3 processes.
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

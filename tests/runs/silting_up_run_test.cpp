// Whole runs of the example basin's silting-up variant (examples/front-range/
// front-range-silting.ctl): the same outputs on 1 process with 1 and 4 threads and on 2 and 3
// processes, the water balance of the tilled meadow cells through interception and silting-up
// day by day, and a malformed expression block ending in its FATAL entry and code.
#include <gtest/gtest.h>

#include <cmath>
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

const char* const kVariant = "front-range-silting.ctl";
// The runs end on 31 March, after the wet spells of February and March sealed the meadow.
const std::string kYearEnd =
    "0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n";

RunResult RunVariant(const TempDir& dir, int processes, int threads, const std::string& from = {},
                     const std::string& to = {}) {
  CopyExample(dir.path());
  std::string control = ReadFile((ExampleDir() / kVariant).string());
  control.replace(control.find(kYearEnd), kYearEnd.size(), "0\n31\n3\n");
  if (!from.empty()) control.replace(control.find(from), from.size(), to);
  WriteFile(dir / kVariant, control);
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.environment = {"OMP_NUM_THREADS=" + std::to_string(threads)};
  // Three months; with CTest's shards side by side on a loaded machine the run of four threads
  // took more than the default two minutes. The example runs' limit.
  options.timeout_seconds = 600;
  return RunVelorn(options, {kVariant});
}

// Column `title` of the point series: one value per day.
std::vector<double> Series(const std::string& points, const std::string& title) {
  const std::vector<std::string> lines = SplitLines(points);
  std::istringstream header(lines.at(2));
  std::string word;
  int column = 0;
  for (int k = 0; header >> word; ++k)
    if (word == title) column = k;
  EXPECT_GT(column, 3) << title;
  std::vector<double> values;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    std::istringstream row(lines[i]);
    double value = 0;
    for (int k = 0; k <= column && row >> value; ++k) {
    }
    values.push_back(value);
  }
  return values;
}

TEST(SiltingUpRun, SameOutputsOnEveryProcessAndThreadCountAndBalancedCells) {
  std::map<std::string, std::string> first;
  const int runs[][2] = {{1, 1}, {1, 4}, {2, 1}, {3, 1}};
  for (const auto& run : runs) {
    SCOPED_TRACE("processes " + std::to_string(run[0]) + ", threads " + std::to_string(run[1]));
    TempDir dir;
    const RunResult result = RunVariant(dir, run[0], run[1]);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    const auto outputs = OutputFiles(dir.path() / "output");
    ASSERT_TRUE(outputs.count("qdsu.stat") == 1 && outputs.count("sdisp.stat") == 1);
    if (first.empty()) {
      first = outputs;
      continue;
    }
    ASSERT_EQ(outputs.size(), first.size());
    for (const auto& [name, text] : outputs) EXPECT_TRUE(text == first.at(name)) << name;
  }
  // At both tilled cells, every day: the rain not held or evaporated by the leaves reaches the
  // ground, where it infiltrates (the water input, "TF" after the step) or runs off sealed soil.
  const std::string& points = first.at("points.txt");
  double runoff = 0;
  for (const char* cell : {"/6099/7771", "/7799/7371"}) {
    const std::vector<double> p = Series(points, std::string("P") + cell);
    const std::vector<double> ei = Series(points, std::string("EI") + cell);
    const std::vector<double> si = Series(points, std::string("SI") + cell);
    const std::vector<double> tf = Series(points, std::string("TF") + cell);
    const std::vector<double> qdsu = Series(points, std::string("QDSU") + cell);
    ASSERT_EQ(p.size(), 90u);
    for (std::size_t d = 0; d < p.size(); ++d) {
      const double held_before = d == 0 ? 0.0 : si[d - 1];
      EXPECT_NEAR(held_before + p[d] - ei[d] - si[d], tf[d] + qdsu[d], 2e-4 * (1 + p[d]))
          << cell << " day " << d + 1;
      EXPECT_GE(qdsu[d], 0.0);
      runoff += qdsu[d];
    }
  }
  EXPECT_GT(runoff, 1.0);  // wet spells sealed the soil
}

TEST(SiltingUpRun, MalformedExpressionBlockEndsInItsFatalEntry) {
  TempDir dir;
  const RunResult result = RunVariant(dir, 2, 1, "SiltingUpExpressions {", "SiltingUpExpressions");
  EXPECT_EQ(result.exit_status, 400 & 0xff) << result.Describe();
  // The diagnostics file writes the quotes as XML entities.
  EXPECT_NE(result.diag.find("error looking for opening bracket &quot;{&quot; after "
                             "&quot;SiltingUpExpressions&quot; in control file "
                             "&quot;front-range-silting.ctl.$$$&quot;"),
            std::string::npos)
      << result.diag;
  EXPECT_NE(result.diag.find(DiagnosticsLine(0, "Exception 400 caught at top level!")),
            std::string::npos);
  if (const auto schema = RefData("pi-diag-schema/pi_diag.xsd")) {
    EXPECT_EQ(ValidateDiagnostics((dir.path() / "Velorn_Diag_0.xml").string(), *schema), "");
  }
}

}  // namespace
}  // namespace velorn::test

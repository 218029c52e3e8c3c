// Whole runs of the example basin with a conservative solute tracer in its precipitation
// (concentration 10, a variable grid read by no model but the tracers), 1 January to 31 March:
// the tracer passes the snow pack, the leaves and the soil column and leaves with the
// subbasins' direct runoff, interflow and base flow. The runoff storages are made instantaneous,
// so everything the soil hands over leaves in the same step and the account of the tracer's
// mass is closed by the written outputs alone: precipitation x 10 = snow + leaves + soil
// (layers and surface) at the end + the sum over the days of the runoff times its
// concentration. Runs on 1 and 3 processes write the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

constexpr double kInputConcentration = 10.0;

const std::vector<std::pair<std::string, std::string>> kTracerEdits = {
    {"0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n",
     "0\n31\n3\n"},
    {"[variable_grids]\n0\n", "[variable_grids]\n1\ncin concflux_tracer_1_input 0 10\n0\n0\n"},
    {"[substance_transport]\n0          # no solute tracers\n",
     "[substance_transport]\n1\ncon non_radioactive non_evaporating min_conc = 0 max_conc = 1000 "
     "mg/l soilini = 0 gwini = 0 statcode = 2001 gridcode = 3 path = ./ statext = sta "
     "gridext = asc\n"},
    {"12 12      # kelsqd", "0.0001 0.0001 # kelsqd"},
    {"48 48      # kelsqi", "0.0001 0.0001 # kelsqi"}};

RunResult RunTracerExample(const TempDir& dir, int processes,
                           const std::vector<std::pair<std::string, std::string>>& further = {}) {
  const std::string control = CopyExample(dir.path());
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  std::string text = ReadFile(control);
  std::vector<std::pair<std::string, std::string>> edits = kTracerEdits;
  edits.insert(edits.end(), further.begin(), further.end());
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "the example holds no \"" << from << "\"";
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  WriteFile(control, text);
  RunOptions options;
  options.processes = processes;
  options.directory = dir.path().string();
  options.environment = {"OMP_NUM_THREADS=1"};
  options.timeout_seconds = 300;
  return RunVelorn(options, {"front-range.ctl"});
}

// The values of a grid or stack file after its header (pairs of a name and a number), nodata
// (a value of no basin cell, or a level not yet reached) as 0.
std::vector<double> Values(const fs::path& path, int& levels) {
  std::istringstream in(ReadFile(path.string()));
  std::string word;
  std::vector<double> values;
  levels = 1;
  while (in >> word) {
    if (std::isalpha(static_cast<unsigned char>(word[0])) != 0) {
      double value = 0;
      in >> value;
      if (word == "numlevels") levels = static_cast<int>(value) + 1;
      continue;
    }
    const double value = std::stod(word);
    values.push_back(value <= -9999 ? 0.0 : value);
  }
  return values;
}

double Sum(const fs::path& path) {
  int levels = 0;
  double sum = 0;
  for (double v : Values(path, levels)) sum += v;
  return sum;
}

// Rows of a zone statistics table: the subbasin values (columns 5..9) per day.
std::vector<std::vector<double>> Rows(const fs::path& path, std::vector<double>* shares) {
  const std::vector<std::string> lines = SplitLines(ReadFile(path.string()));
  std::vector<std::vector<double>> rows;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    std::string word;
    std::vector<double> row;
    for (int f = 0; fields >> word; ++f)
      if (f >= 4 && f < 9) row.push_back(std::stod(word));
    if (row.size() != 5) continue;
    if (i == 2) {
      if (shares != nullptr) *shares = row;
      continue;
    }
    rows.push_back(row);
  }
  return rows;
}

// The basin's precipitation of the run (mm) from the water-balance account.
double Precipitation(const fs::path& output) {
  for (const std::string& line : SplitLines(ReadFile((output / "water_balance.txt").string()))) {
    std::istringstream fields(line);
    std::string period, subbasin;
    double precipitation = 0;
    if (fields >> period >> subbasin >> precipitation && period == "run" && subbasin == "basin")
      return precipitation;
  }
  ADD_FAILURE() << "no basin row in the account";
  return 0;
}

TEST(TracerRun, ConservativeTracerKeepsItsMassFromRainToRunoff) {
  TempDir one, three;
  const RunResult first = RunTracerExample(one, 1);
  ASSERT_EQ(first.exit_status, 0) << first.Describe();
  const RunResult second = RunTracerExample(three, 3);
  ASSERT_EQ(second.exit_status, 0) << second.Describe();
  const fs::path out = one.path() / "output";
  const auto outputs = OutputFiles(out);
  const auto others = OutputFiles(three.path() / "output");
  for (const char* name : {"conunsat.sta", "conrouti.sta", "consnow_.sta", "coninter.sta",
                           "consnow_.asc", "coninter.asc", "conunsat.asc"}) {
    ASSERT_TRUE(outputs.contains(name)) << name;
    EXPECT_TRUE(others.contains(name) && outputs.at(name) == others.at(name))
        << name << " differs between 1 and 3 processes";
  }

  // The stores at the end, as basin means (mass = concentration x mm).
  const std::vector<double> zones = AsciiGridCells((one.path() / "zones.asc").string());
  double cells = 0;
  for (double z : zones) cells += z > -9999 ? 1 : 0;
  const double stored =
      (Sum(out / "consnow_.asc") + Sum(out / "coninter.asc") + Sum(out / "conunsat.asc")) / cells;
  // What left with the runoff: per day and subbasin the runoff (mm) times its concentration.
  std::vector<double> shares;
  const auto runoff = Rows(out / "qg.stat", &shares);
  const auto concentration = Rows(out / "conunsat.sta", nullptr);
  ASSERT_EQ(runoff.size(), 90u);
  ASSERT_EQ(concentration.size(), runoff.size()) << "a row per day of the soil's tracer table";
  double left = 0;
  for (std::size_t d = 0; d < runoff.size(); ++d)
    for (std::size_t s = 0; s < 5; ++s) left += shares[s] * runoff[d][s] * concentration[d][s];
  const double input = kInputConcentration * Precipitation(out);
  ASSERT_GT(input, 2000.0);
  EXPECT_GT(left, 0.0);
  // The tables hold six significant digits.
  EXPECT_NEAR(stored + left, input, 1e-6 * input) << "stored " << stored << ", left " << left;

  // The routed concentration of a headwater subbasin (1, 2, 3) is its own runoff's; the
  // subbasins below carry tracer too.
  const auto routed = Rows(out / "conrouti.sta", nullptr);
  ASSERT_EQ(routed.size(), concentration.size()) << "a row per day of the routing's table";
  for (std::size_t d = 0; d < routed.size(); ++d) {
    for (std::size_t s = 0; s < 3; ++s) {
      EXPECT_EQ(routed[d][s], concentration[d][s]) << d;
    }
    for (std::size_t s = 3; s < 5 && d > 0; ++s) {
      EXPECT_GT(routed[d][s], 0.0) << d << " " << s;
    }
  }
}

// Soil water at concentration 10 in every layer and tracer-free rain, a tracer that evaporates
// with the water: upwind transport mixes the layers with cleaner water only, so no layer and no
// runoff rises above 10 (a non-evaporating tracer would stay behind the evaporated water).
TEST(TracerRun, AnEvaporatingTracerNeverRisesAboveItsSource) {
  TempDir dir;
  const RunResult result =
      RunTracerExample(dir, 1,
                       {{"cin concflux_tracer_1_input 0 10", "cin concflux_tracer_1_input 0 0"},
                        {"non_evaporating", "evaporating"},
                        {"soilini = 0 gwini = 0", "soilini = 10 gwini = 10"},
                        {"0\n31\n3\n", "0\n20\n1\n"}});
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  const fs::path out = dir.path() / "output";
  int levels = 0;
  const std::vector<double> layers = Values(out / "conunsat.asc", levels);
  double highest = 0;
  for (std::size_t i = 0; i < layers.size(); ++i)
    if (i % static_cast<std::size_t>(levels) != 0) highest = std::max(highest, layers[i]);
  EXPECT_GT(highest, 9.0);
  EXPECT_LE(highest, kInputConcentration * (1 + 1e-12));
  for (const char* table : {"conunsat.sta", "conrouti.sta"})
    for (const auto& row : Rows(out / table, nullptr))
      for (double c : row) EXPECT_LE(c, kInputConcentration) << table;
}

}  // namespace
}  // namespace velorn::test

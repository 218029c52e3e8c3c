// The example basin, January to March, runoff storages made instantaneous, with two tracers:
// "con" in the rain (concentration 10, from a variable grid), whose mass closes from the written
// outputs alone (rain x 10 = snow + leaves + soil at the end + runoff x concentration per day)
// on 1 and 3 processes alike; and "eva", evaporating, at 10 in the soil water and absent from
// the rain, which upwind transport only dilutes: no layer and no runoff rises above 10 (a
// non-evaporating tracer would stay behind the evaporated water and rise).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/glacier_example.h"
#include "tests/support/grid_files.h"
#include "tests/support/run_outputs.h"
#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"
#include "tests/support/water_balance_table.h"

namespace velorn::test {
namespace {

// The example's `variant` (its control file in place of front-range.ctl), to 31 March or to
// 20 January (`short_run`).
RunResult RunTracerExample(const TempDir& dir, int processes, const std::string& variant = "",
                           bool short_run = false,
                           std::vector<std::pair<std::string, std::string>> edits = {}) {
  const std::string control = CopyExample(dir.path());
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  for (const char* file :
       {"gw_boundary_fix_h_1.asc", "river_width.asc", "river_depth.asc", "lake_codes.asc",
        "lake_ponding_max.asc", "lake_levels.txt", "snow_survey.asc", "snow_survey_list.txt"})
    std::filesystem::copy_file(ExampleDir() / file, dir.path() / file);
  std::string text = ReadFile(variant.empty() ? control : (ExampleDir() / variant).string());
  // The rain's concentrations join the variant's variable grids.
  edits.insert(edits.end(), {AddRainTracers(text)});
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  // The day and month of the last step: the two lines after the end's hour.
  const std::size_t day = text.find('\n', text.find("# end:")) + 1;
  const std::size_t year = text.find('\n', text.find('\n', day) + 1) + 1;
  const std::size_t start_month = text.find('\n', text.find('\n', text.find("# start:")) + 1) + 1;
  const std::string month = text.substr(start_month, text.find('\n', start_month) - start_month);
  text.replace(day, year - day, short_run ? "20\n" + month + "\n" : "31\n3\n");
  WriteFile(control, text);
  return RunExampleControl(dir.path().string(), processes);
}

double Sum(const std::string& path) {
  std::size_t levels = 0;
  const std::vector<double> cells = GridValues(path, levels);
  return std::accumulate(cells.begin(), cells.end(), 0.0);
}

// The sum of a grid's or stack's cells, each times 1 - g, or g (`glacier_part`), of its cell's
// glacier share g (none: 0).
double Weighed(const std::string& path, const std::vector<double>& glacier, bool glacier_part) {
  std::size_t levels = 0;
  const std::vector<double> cells = GridValues(path, levels);
  double sum = 0;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const double g = glacier.empty() ? 0.0 : std::clamp(glacier[i / levels], 0.0, 1.0);
    sum += cells[i] * (glacier_part ? g : 1.0 - g);
  }
  return sum;
}

// The solute of "con" the soil zone's runoff concentration (flow-time zones and linear storages)
// holds at the end beyond the start, over the basin (the last column of its booking).
double RunoffConcentrationSolute(const std::string& out) {
  double held = 0;
  for (const std::string& line : SplitLines(ReadFile(out + "runoff_concentration_solute.txt"))) {
    const double sign = line.starts_with("con_end\t")     ? 1.0
                        : line.starts_with("con_start\t") ? -1.0
                                                          : 0.0;
    if (sign != 0) held += sign * std::stod(line.substr(line.rfind('\t') + 1));
  }
  return held;
}

// The rain's tracer in the stores at the end (snow, leaves, soil) and in the runoff of the
// days, as basin means (and those of the grids `more`), over what came with the rain; the days'
// rows of runoff and of concentration to `runoff` and `concentration` (row 0: the area shares).
// `glacier`: the cells' glacier shares; their glacier parts hold the solute of their snow, firn
// and ice, the rest that of the snow cover, the leaves and the soil.
double AccountedShare(const std::string& out, std::vector<std::vector<double>>& runoff,
                      std::vector<std::vector<double>>& concentration,
                      const std::vector<std::string>& more = {},
                      const std::vector<double>& glacier = {}) {
  const auto zones = GridCells(out + "../zones.asc");
  const double cells = static_cast<double>(
      std::count_if(zones.begin(), zones.end(), [](double z) { return z > -9999; }));
  double found = 0;
  for (const char* store : {"consnow_.dbl", "coninter.dbl", "conunsat.dbl"})
    found += Weighed(out + store, glacier, false) / cells;
  for (const std::string& name : more) found += Sum(out + name) / cells;
  // The glacier parts' snow, firn and ice and the glacier storages at the end, per subbasin
  // (their tables); the glacier parts' grids hold as much.
  if (!glacier.empty()) {
    double parts = 0;
    for (const char* store : {"consnowg.dbl", "confirn_.dbl", "conice__.dbl"})
      parts += Weighed(out + store, glacier, true) / cells;
    for (const char* table : {"conglpar.sta", "conglsto.sta"}) {
      const auto rows = ZoneTableRows(out + table);
      for (std::size_t s = 0; s < 5 && rows.size() > 1; ++s) {
        found += rows[0][s] * rows.back()[s];
        if (table[5] == 'p') parts -= rows[0][s] * rows.back()[s];
      }
    }
    EXPECT_NEAR(parts, 0.0, 1e-5 * found);
  }
  found += RunoffConcentrationSolute(out);
  runoff = ZoneTableRows(out + "qg.stat");
  concentration = ZoneTableRows(out + "conunsat.sta");
  for (std::size_t d = 1; d < runoff.size() && d < concentration.size(); ++d)
    for (std::size_t s = 0; s < 5; ++s) found += runoff[0][s] * runoff[d][s] * concentration[d][s];
  return found / (10 * ReadAccount(ReadFile(out + "water_balance.txt")).back().precipitation);
}

TEST(TracerRun, KeepsItsMassFromRainToRunoffAndNeverRisesAboveItsSource) {
  TempDir one, three;
  const RunResult first = RunTracerExample(one, 1);
  ASSERT_EQ(first.exit_status, 0) << first.Describe();
  const RunResult second = RunTracerExample(three, 3);
  ASSERT_EQ(second.exit_status, 0) << second.Describe();
  const std::string out = (one.path() / "output/").string();
  for (const char* name : {"conunsat.sta", "conrouti.sta", "consnow_.dbl", "conunsat.dbl"})
    EXPECT_EQ(ReadFile(out + name), ReadFile((three.path() / "output" / name).string())) << name;

  std::vector<std::vector<double>> runoff, concentration;
  // The tables hold six significant digits.
  EXPECT_NEAR(AccountedShare(out, runoff, concentration), 1.0, 1e-6);
  const auto routed = ZoneTableRows(out + "conrouti.sta");
  ASSERT_EQ(runoff.size(), 91u);
  ASSERT_EQ(concentration.size(), runoff.size()) << "a row per day of the soil's tracer table";
  ASSERT_EQ(routed.size(), runoff.size()) << "a row per day of the routing's tracer table";
  // A headwater's routed concentration is its runoff's; those below it carry the tracer too.
  for (std::size_t d = 2; d < routed.size(); ++d) {
    EXPECT_EQ(std::vector(routed[d].begin(), routed[d].begin() + 3),
              std::vector(concentration[d].begin(), concentration[d].begin() + 3));
    EXPECT_GT(std::min(routed[d][3], routed[d][4]), 0.0) << d;
  }

  // The evaporating tracer, absent from the rain, only thins out.
  std::size_t levels = 0;
  const std::vector<double> layers = GridValues(out + "evaunsat.dbl", levels);
  double highest = 0;  // of the layers (level 0 is the surface)
  for (std::size_t i = 0; i < layers.size(); ++i)
    if (i % levels != 0) highest = std::max(highest, layers[i]);
  EXPECT_GT(highest, 9.0);
  EXPECT_LE(highest, 10.0 + 1e-9);
  for (const char* table : {"evaunsat.sta", "evarouti.sta"})
    for (const auto& row : ZoneTableRows(out + table))
      EXPECT_LE(*std::max_element(row.begin(), row.end()), 10.0) << table;
}

// With the groundwater model the soil columns give the aquifer's layer 1 the solute of the water
// they give it and take back its concentration with the water it returns; the streams draw the
// layers' solute as base flow; what reaches a fixed head has left the aquifer. The rain's
// tracer closes with the aquifer's layers (stored amounts per cell) and what left its boundary,
// on 1 and 3 processes alike; the evaporating tracer, at 10 in soil and aquifer and absent from
// the rain, stays within [0, 10] in every layer of both.
TEST(TracerRun, UnderTheGroundwaterModelNoConcentrationIsNegative) {
  TempDir one, three;
  const RunResult first = RunTracerExample(one, 1, "front-range-groundwater.ctl", true);
  ASSERT_EQ(first.exit_status, 0) << first.Describe();
  const RunResult second = RunTracerExample(three, 3, "front-range-groundwater.ctl", true);
  ASSERT_EQ(second.exit_status, 0) << second.Describe();
  const std::string out = (one.path() / "output/").string();
  const std::vector<std::string> aquifer = {"con1grou.dbl", "con2grou.dbl", "conoutgrou.dbl"};
  for (const char* name : {"conunsat.sta", "conunsat.dbl", "eva1grou.dbl", "con1grou.dbl",
                           "con2grou.dbl", "conoutgrou.dbl"})
    EXPECT_EQ(ReadFile(out + name), ReadFile((three.path() / "output" / name).string())) << name;
  std::vector<std::vector<double>> runoff, concentration;
  EXPECT_NEAR(AccountedShare(out, runoff, concentration, aquifer), 1.0, 1e-6);
  ASSERT_EQ(concentration.size(), 21u);
  for (const auto& row : concentration) EXPECT_GE(*std::min_element(row.begin(), row.end()), 0.0);
  EXPECT_GT(Sum(out + "conoutgrou.dbl"), 0.0) << "the streams' fixed heads pass solute on";
  EXPECT_GT(Sum(out + "con1grou.dbl"), 0.0) << "the soil hands its solute to the aquifer";
  for (const char* name :
       {"evaunsat.dbl", "eva1grou.dbl", "eva2grou.dbl", "con1grou.dbl", "con2grou.dbl"}) {
    std::size_t levels = 0;
    const std::vector<double> cells = GridValues(out + name, levels);
    EXPECT_GE(*std::min_element(cells.begin(), cells.end()), 0.0) << name;
    // The grids hold exact doubles: the mixing of water at 10 with water at 10 may round up.
    if (name[0] == 'e') {
      EXPECT_LE(*std::max_element(cells.begin(), cells.end()), 10.0 + 1e-9) << name;
    }
  }
}

// The lake variant without its level assimilation, 1 to 20 April, on 1 and 3 processes: the
// lake, the ponding on its cells, mixes the rain on it, the routed inflow and the soil's surface
// water by volume. The rain's tracer is in the stores, in the channels or has left through the
// lake, which ends the basin. The soil writes its grids before the routing's step, so the
// lake's cells there hold the lake before its last step: the lake's end is its balance file's
// last volume times concentration. Cells of 1 ha: m³ x concentration / 10 is mm x
// concentration on a cell.
TEST(TracerRun, KeepsItsMassThroughTheLake) {
  TempDir one, three;
  const std::vector<std::pair<std::string, std::string>> no_assimilation = {
      {"[data_assimilation]\n1", "[data_assimilation]\n0"}};
  const RunResult first = RunTracerExample(one, 1, "front-range-lake.ctl", true, no_assimilation);
  ASSERT_EQ(first.exit_status, 0) << first.Describe();
  const RunResult second =
      RunTracerExample(three, 3, "front-range-lake.ctl", true, no_assimilation);
  ASSERT_EQ(second.exit_status, 0) << second.Describe();
  const std::string out = (one.path() / "output/").string();
  for (const char* name : {"lake5.txt", "conrouti.sta", "conchann.sta", "conunsat.dbl"})
    EXPECT_EQ(ReadFile(out + name), ReadFile((three.path() / "output" / name).string())) << name;

  const auto zones = GridCells(out + "../zones.asc");
  const auto lakes = GridCells(out + "../lake_codes.asc");
  std::size_t levels = 0;
  const std::vector<double> soil = GridValues(out + "conunsat.dbl", levels);
  ASSERT_EQ(soil.size(), zones.size() * levels);
  double cells = 0, found = Sum(out + "consnow_.dbl") + Sum(out + "coninter.dbl");
  for (std::size_t i = 0; i < zones.size(); ++i) {
    cells += zones[i] > -9999 ? 1 : 0;
    for (std::size_t k = lakes[i] == 5 ? 1 : 0; k < levels; ++k) found += soil[i * levels + k];
  }
  // The lake's days: V[m3] is value 6 of a row, Qout[m3] value 10, the concentration of con 34.
  std::vector<std::vector<double>> lake;
  for (const std::string& line : SplitLines(ReadFile(out + "lake5.txt")))
    if (std::isdigit(static_cast<unsigned char>(line[0])) != 0) {
      std::istringstream fields(line);
      lake.emplace_back(std::istream_iterator<double>(fields), std::istream_iterator<double>());
    }
  ASSERT_EQ(lake.size(), 20u);
  for (const auto& day : lake) found += day[10] * day[34] / 10;
  found += lake.back()[6] * lake.back()[34] / 10;
  const std::vector<std::string> held = SplitLines(ReadFile(out + "conchann.sta"));
  const double channels = std::stod(held.back().substr(held.back().rfind('\t') + 1));
  const double rain = 10 * ReadAccount(ReadFile(out + "water_balance.txt")).back().precipitation;
  EXPECT_GT(channels / rain, 1e-6) << "the channels hold more than the account may miss";
  EXPECT_NEAR((found / cells + RunoffConcentrationSolute(out) + channels) / rain, 1.0, 1e-6);
  EXPECT_GT(lake.back()[34], 0.1) << "the lake's outflow carries the rain's tracer";
}

// Leaves above the snow cover (interception method 12): the rain's tracer passes the leaves,
// then the cover, then the soil, and keeps its mass as well.
TEST(TracerRun, KeepsItsMassWithTheLeavesAboveTheSnow) {
  TempDir dir;
  const RunResult result =
      RunTracerExample(dir, 1, "", true, {{"2          # method: evaporation", "12 # method"}});
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  std::vector<std::vector<double>> runoff, concentration;
  EXPECT_NEAR(AccountedShare((dir.path() / "output/").string(), runoff, concentration), 1.0, 1e-6);
  EXPECT_EQ(concentration.size(), 21u);
}

// A layered pack on the frozen soil, 1 to 20 January: the soil takes other water than the snow
// cover and the leaves release (the melt handed to the pack, the rain of the step), yet receives
// the solute they release, on 1 and 3 processes alike.
TEST(TracerRun, KeepsItsMassUnderLayeredSnow) {
  TempDir one, three;
  for (const TempDir* dir : {&one, &three}) {
    const RunResult result =
        RunTracerExample(*dir, dir == &one ? 1 : 3, "", true,
                         {{kSectionsEnd, kHeatTransfer + kLayeredSnow + kSectionsEnd}});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
  }
  const std::string out = (one.path() / "output/").string();
  for (const char* name : {"conunsat.sta", "consnow_.dbl", "conunsat.dbl"})
    EXPECT_EQ(ReadFile(out + name), ReadFile((three.path() / "output" / name).string())) << name;
  std::vector<std::vector<double>> runoff, concentration;
  EXPECT_NEAR(AccountedShare(out, runoff, concentration), 1.0, 1e-6);
}

// Dynamic glaciers (tests/support/glacier_example.h) from 1 to 20 January, their yearly
// evaluation after the run: the rain's tracer is held by the glacier-free parts (snow cover,
// leaves, soil, weighed 1 - g), the glacier parts (snow, firn and ice, weighed g) and the
// glacier storages (their table "conglsto.sta") or has left with the runoff, on 1 and 3
// processes alike; with the storages instantaneous, and with the example's, which held 5.5 % of
// the rain's tracer in no output. The storage file keeps the storages' concentrations. With the
// evaluation on 10 January the stores weighed by the new glacier shares and the solute the
// evaluation booked close the account (3.1 % of the rain's tracer had no term); so do leaves
// above the snow (interception method 12), the glacier parts taking the rain past them.
TEST(TracerRun, KeepsItsMassOnDynamicGlaciers) {
  struct Variant {
    std::string storages, evaluation, interception;
  };
  for (const auto& [storages, evaluation, interception] :
       std::vector<Variant>{{"0.2\n0.0001\n0.0001\n0.0001\n", "2 6", "2 "},
                            {"0.2\n10\n20\n5\n", "2 6", "2 "},
                            {"0.2\n10\n20\n5\n", "10 1", "2 "},
                            {"0.2\n10\n20\n5\n", "2 6", "12 "}}) {
    SCOPED_TRACE(storages + evaluation + interception);
    TempDir one, three;
    auto edits = GlacierEdits();
    edits.insert(edits.end(), {{"0.2\n10\n20\n5\n", storages},
                               {"\n2 1\n28.5", "\n" + evaluation + "\n28.5"},
                               {"2          # method: evaporation", interception + "# method"},
                               {"glacier_fraction.asc GlacierizedCells 0\n",
                                "glacier_fraction.asc GlacierizedCells 0 writecode = 3 "
                                "outname = glacier_fraction_end.asc\n"}});
    for (const TempDir* dir : {&one, &three}) {
      WriteGlacierGrids(dir->path());
      const RunResult result = RunTracerExample(*dir, dir == &one ? 1 : 3, "", true, edits);
      ASSERT_EQ(result.exit_status, 0) << result.Describe();
    }
    const std::string out = (one.path() / "output/").string();
    std::vector<std::string> same = {"conunsat.sta", "consnowg.dbl", "confirn_.dbl",
                                     "conice__.dbl", "conglsto.sta", "conglpar.sta"};
    if (evaluation != "2 6") same.push_back("glacier_evaluation_solute.txt");
    for (const std::string& name : same)
      EXPECT_EQ(ReadFile(out + name), ReadFile((three.path() / "output" / name).string())) << name;
    std::vector<std::vector<double>> runoff, concentration;
    // The glacier shares after the evaluation weigh the stores; what it moved out of them (the
    // solute of the soil and the leaves under grown glacier parts) is its booking.
    const auto glacier = GridCells(out + "glacier_fraction_end.asc");
    double evaluated = 0;
    if (evaluation != "2 6") {
      const auto booked = SplitLines(ReadFile(out + "glacier_evaluation_solute.txt"));
      ASSERT_EQ(booked.size(), 3u);
      ASSERT_TRUE(booked[2].starts_with("con\t"));
      evaluated = std::stod(booked[2].substr(booked[2].rfind('\t') + 1));
      EXPECT_LT(evaluated, 0.0);
    }
    const double rain = 10 * ReadAccount(ReadFile(out + "water_balance.txt")).back().precipitation;
    EXPECT_NEAR(AccountedShare(out, runoff, concentration, {}, glacier) - evaluated / rain, 1.0,
                1e-6);
    EXPECT_GT(Sum(out + "consnowg.dbl"), 0.0) << "the glacier parts hold the rain's tracer";
    // The state a warm start reads keeps the storages' concentrations (the release of the
    // tracers cleared them before the file was written).
    EXPECT_NE(ReadFile(out + "soilstorage_0").find("2 (number of tracers in the glacier storages)"),
              std::string::npos);
  }
}

// Snow held in the forest canopy (interception method 22, canopy grids unwritten): the canopy's
// load keeps the solute of the snow it takes, and the snow that falls past it or is unloaded
// reaches the snow cover with its solute.
TEST(TracerRun, KeepsItsMassThroughTheCanopySnow) {
  TempDir dir;
  const RunResult result =
      RunTracerExample(dir, 1, "", true,
                       {{"2          # method: evaporation", "22 # method"},
                        {"0          # the storages start empty (1: read from the grids above)\n",
                         "0\n" + kCanopyGrids + "0.5\n0.01\n1.0\n"}});
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  std::vector<std::vector<double>> runoff, concentration;
  EXPECT_NEAR(AccountedShare((dir.path() / "output/").string(), runoff, concentration), 1.0, 1e-6);
}

}  // namespace
}  // namespace velorn::test

// Whole runs of the example basin with dynamic glaciers (degree-day method 11) on its highest
// cells, one glacier per subbasin, over three days of January with the yearly glacier evaluation
// on the second: the glacier areas change (a low threshold makes the January pack start new
// glacier cells), and the outputs on 1 and on 3 processes are the same. The soil zone runs under
// the glacier-free parts, so the run writes the water-balance account with its glacier terms;
// it must equal tests/runs/expected/front-range/glacier-january/water_balance.txt, which
// WaterBalance.InModelAccountOfEveryVariantClosesToRoundOff holds closed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/glacier_example.h"
#include "tests/support/run_outputs.h"
#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"
#include "tests/support/water_balance_table.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

struct GlacierEdit {
  std::string from, to;
};

RunResult RunGlacierExample(const TempDir& dir, int processes,
                            std::vector<GlacierEdit> edits = {}) {
  CopyExample(dir.path());
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  WriteGlacierGrids(dir.path());
  std::vector<GlacierEdit> glacier_edits = {
      {"0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n",
       "0\n3\n1\n"},
      {"[routing_model]\n1          # on", "[routing_model]\n0          # off"}};
  for (const auto& [from, to] : GlacierEdits()) glacier_edits.push_back({from, to});
  edits.insert(edits.begin(), glacier_edits.begin(), glacier_edits.end());
  const std::string control = (dir.path() / "front-range.ctl").string();
  std::string text = ReadFile(control);
  for (const GlacierEdit& edit : edits) {
    const std::size_t at = text.find(edit.from);
    if (at == std::string::npos) ADD_FAILURE() << "the example holds no \"" << edit.from << "\"";
    if (at != std::string::npos) text.replace(at, edit.from.size(), edit.to);
  }
  WriteFile(control, text);
  return RunExampleControl(dir.path().string(), processes);
}

// The real evapotranspiration table shows the water that evaporated, as the account books it:
// on the evaluation's day too, whose last step evaporated under the glacier shares it began
// with (the new ones gave subbasin 2 +2.5 % that day). Its days sum to the account's run per
// subbasin, to the table's rounding.
void ExpectEtrTableHoldsTheEvaporation(const fs::path& output) {
  const std::vector<std::vector<double>> days = ZoneTableRows((output / "etr.stat").string());
  ASSERT_GE(days.size(), 4U);
  std::size_t subbasin = 0;
  for (const AccountRow& row : ReadAccount(ReadFile(output / "water_balance.txt"))) {
    if (row.period != "run" || row.subbasin == "basin") continue;
    ASSERT_LT(subbasin, 5U);
    double table = 0;
    for (std::size_t d = 1; d < days.size(); ++d) table += days[d][subbasin];
    EXPECT_NEAR(table, row.evaporation, 2e-6 * days.size()) << "subbasin " << row.subbasin;
    ++subbasin;
  }
  EXPECT_EQ(subbasin, 5U);
}

TEST(GlacierRun, OutputsOnOneAndThreeProcessesAgree) {
  TempDir one, three;
  const RunResult first = RunGlacierExample(one, 1);
  ASSERT_EQ(first.exit_status, 0) << first.Describe();
  ASSERT_NE(first.diag.find("glaciers changed"), std::string::npos) << "no evaluation step";
  const RunResult second = RunGlacierExample(three, 3);
  ASSERT_EQ(second.exit_status, 0) << second.Describe();
  const auto outputs = OutputFiles(one.path() / "output");
  const auto others = OutputFiles(three.path() / "output");
  ASSERT_TRUE(outputs.contains("gmb1.stat"));
  for (const auto& [name, text] : outputs) {
    if (name.starts_with("MPIRegions") || name.starts_with("soilstorage_")) continue;
    ASSERT_TRUE(others.contains(name)) << name;
    EXPECT_TRUE(text == others.at(name)) << name << " differs between 1 and 3 processes";
  }
  ASSERT_TRUE(outputs.contains("water_balance.txt"));
  const fs::path expected = ExampleDir().parent_path().parent_path() /
                            "tests/runs/expected/front-range/glacier-january/water_balance.txt";
  if (std::getenv("VELORN_UPDATE_EXPECTED") != nullptr) {
    fs::create_directories(expected.parent_path());
    WriteFile(expected.string(), outputs.at("water_balance.txt"));
  }
  EXPECT_EQ(outputs.at("water_balance.txt"), ReadFile(expected));
  ExpectEtrTableHoldsTheEvaporation(one.path() / "output");
}

// A layered snow pack on the soil columns of the glacier-free parts (with the heat transfer it
// needs) closes, weighed by 1 - g (its alignment books what the yearly evaluation moved between
// the parts, 2e-6 mm); so does method 13 over 1 to 12 January (it booked no snow evaporation of
// the glacier part but the energy balance's: 0.012 mm); so do response units of elevation and
// land use, whose members may have another glacier share than their master (the glacier storages
// took the melt of the masters alone, the evaluation's change of the members counted twice, and
// the members' fluxes and outflows weighed by their own shares were not booked: 2.1, 36 and
// 1.4 mm in subbasin 2); so do leaves above the snow (interception method 12), whose throughfall
// fed the glacier parts as well, which no leaves cover (1.2 mm over 40 days). Static glaciers
// (method 1, the same shares as grid "ice_firn"), 1 to 12 January, keep the snow model's pack on
// their part, which loses the snow evaporation of the whole cell (0.005 mm were booked nowhere);
// under layered snow, to 25 January, the layers are the glacier-free part's and that pack the
// glacier part's: it melts with them, its water leaving through its outflow (0.33 mm vanished),
// keeps no ice they refroze, and nothing aligns the two (no source term).
TEST(GlacierRun, LayeredSnowAndMethodThirteenClose) {
  const std::vector<GlacierEdit> static_glaciers = {{"[ice_firn]\n11\n", "[ice_firn]\n1\n"},
                                                    {"GlacierizedCells", "ice_firn"},
                                                    {"2019\n0\n3\n1\n", "2019\n0\n12\n1\n"}};
  std::vector<GlacierEdit> layered_static = static_glaciers;
  layered_static.back().to = "2019\n0\n25\n1\n";
  layered_static.push_back({kSectionsEnd, kHeatTransfer + kLayeredSnow + kSectionsEnd});
  const std::vector<std::vector<GlacierEdit>> rows = {
      {{kSectionsEnd, kHeatTransfer + kLayeredSnow + kSectionsEnd}},
      {{"[ice_firn]\n11\n", "[ice_firn]\n13\n"}, {"2019\n0\n3\n1\n", "2019\n0\n12\n1\n"}},
      {{"[SpinUp]\n0 ",
        "[SpinUp]\n2\n0\n1\n2\nelevation_model 100 linear\nlanduse1 1 linear\n# "}},
      {{"2          # method: evaporation", "12 # method"}},
      static_glaciers,
      layered_static};
  for (const std::vector<GlacierEdit>& edits : rows) {
    TempDir dir;
    ASSERT_EQ(RunGlacierExample(dir, 1, edits).exit_status, 0);
    for (const AccountRow& row : ReadAccount(ReadFile(dir / "output/water_balance.txt"))) {
      EXPECT_TRUE(Closes(row.residual, row.precipitation)) << edits[0].to << row.residual;
      if (&edits == &rows.back()) {
        EXPECT_TRUE(Closes(row.alignment, row.precipitation)) << row.alignment;
      }
    }
  }
}

}  // namespace
}  // namespace velorn::test

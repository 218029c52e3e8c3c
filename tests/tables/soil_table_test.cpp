// Soil table: block entries read field by field (horizon lists, defaults, scaling, ksat decrease
// with depth, grain sizes), old one-line entries, the section reader, and every refused entry.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/control_file_reader.h"
#include "tables/soil_record.h"
#include "tests/support/settings_test.h"
#include "tests/support/soil_test.h"

namespace velorn {
namespace {

using test::LoamKeys;
using test::ParsedLoam;
using test::SoilBlock;

// A text and the message and code it is refused with.
struct Refusal {
  std::string text;
  const char* message;
  int code;
};

class SoilEntryTest : public test::DiagTest {
 protected:
  void ExpectRefused(const Refusal& r, bool old_format) {
    SoilRecord record;
    EXPECT_EQ(test::ThrownCode([&] {
                if (old_format) record.ParseEntryOldFormat(diag_, r.text, 2);
                if (!old_format) record.ParseEntry(diag_, SoilBlock(r.text), "MultipleHorizons");
              }),
              r.code)
        << r.text;
    EXPECT_TRUE(ScreenHas(r.message)) << r.text;
  }
};

TEST_F(SoilEntryTest, BlockEntryFieldByField) {
  const SoilRecord soil = ParsedLoam(
      diag_, "theta_sat = 0.4 0.35; ksat_topmodel = 3e-5; GrainSizeDist = 0.5 0.3 0.2 0 0 0 5e-5;",
      "2 3", "0.1 0.2");
  ASSERT_EQ(soil.layers, 5);
  EXPECT_EQ(soil.code, 7);
  EXPECT_EQ(soil.name, "loam");
  EXPECT_EQ(soil.LayersPerHorizon, (std::vector<int>{5, 2, 3}));
  // The last theta_sat counts; ksat is its own value, not ksat_topmodel's; no k_recession, no
  // decrease with depth.
  EXPECT_EQ(soil.theta_sat, (std::vector<double>{0.4, 0.4, 0.4, 0.35, 0.35, 0.35}));
  EXPECT_EQ(soil.ksat, std::vector<double>(6, 2.89e-6));
  EXPECT_EQ(soil.ksat_topmodel, 3e-5);
  EXPECT_EQ(soil.thickness, (std::vector<double>{0.1, 0.1, 0.1, 0.2, 0.2, 0.2}));
  EXPECT_NEAR(soil.TotalDepth, 0.8, 1e-12);
  EXPECT_EQ(soil.stones4, 5e-5);
  // Defaults of the block form.
  EXPECT_NEAR(soil.Par_m[3], 1.0 - 1.0 / 1.56, 1e-15);
  EXPECT_EQ(soil.Par_tau[0], 0.5);
  EXPECT_EQ(soil.DryDensity[5], -1.0);
  EXPECT_EQ(soil.EvapMaxDepth, 0.1);
  EXPECT_EQ(soil.PMacroThresh, 1000.0 / 3.6e6);
  EXPECT_EQ(soil.LogKMinFrozenSoil, -20.0);
  EXPECT_NEAR(soil.mSB_minus_FCap, 0.1, 1e-15);
  EXPECT_EQ(soil.LiquidFractionTable[5].size(), 1001u);
}

TEST_F(SoilEntryTest, ScalarKeysAndScaling) {
  EXPECT_EQ(ParsedLoam(diag_, "ThicknessScaling = 1.0;").thickness[1], 0.5);
  EXPECT_FALSE(ScreenHas("will be scaled"));
  const SoilRecord soil = ParsedLoam(
      diag_, "ThicknessScaling = 2; KMinFrozenSoil = 0; SU_PAR03 = 4.5; MacroCapacity = 36;");
  EXPECT_TRUE(ScreenHas("Soil layers for soil type 7 will be scaled by a factor of 2"));
  EXPECT_EQ(soil.thickness[1], 1.0);
  EXPECT_EQ(soil.TotalDepth, 1.0);
  EXPECT_EQ(soil.EvapMaxDepth, 0.5);  // the thickness as read
  EXPECT_EQ(soil.LogKMinFrozenSoil, -27.631);
  EXPECT_EQ(soil.SU_PAR[3], 4.5);
  EXPECT_DOUBLE_EQ(soil.MacroCapacity, 1e-5);
  EXPECT_NEAR(ParsedLoam(diag_, "KMinFrozenSoil = 1e-8;").LogKMinFrozenSoil, std::log(1e-8), 1e-12);
}

TEST_F(SoilEntryTest, KsatFallsWithDepthInsideEachHorizon) {
  // Horizons of 2 layers of 0.2 m and 1 layer of 0.4 m: layer centres 0.1, 0.3, 0.6 m below the
  // surface and 0.1, 0.3, 0.2 m below their horizon's top. ksat_topmodel first must not matter.
  const std::pair<const char*, std::vector<double>> cases[] = {
      {"k_recession = 0.5 0.25;", {std::pow(0.5, 0.1), std::pow(0.5, 0.3), std::pow(0.25, 0.2)}},
      {"k_recession = 0.5 0.25; MaxInterflowDepth = 0.5;",
       {std::pow(0.5, 0.1), std::pow(0.5, 0.3), 1}},
      {"k_recession = 0.5 0.25; MaxInterflowDepth = 0.01;", {1, 1, 1}},
  };
  for (const auto& [keys, factors] : cases) {
    SoilRecord soil;
    soil.ParseEntry(diag_, SoilBlock("ksat_topmodel = 9e-5;\n" + LoamKeys("2 1", "0.2 0.4") + keys),
                    "MultipleHorizons");
    for (int i = 1; i <= 3; ++i)
      EXPECT_NEAR(soil.ksat[i], 2.89e-6 * factors[i - 1], 1e-20) << keys << i;
  }
}

TEST_F(SoilEntryTest, RefusedBlockEntries) {
  const std::string loam = LoamKeys();
  const std::string after_layers = loam.substr(loam.find(';') + 1);
  const Refusal cases[] = {
      {"layers = 1; ksat = 1; theta_sat = 0.4; theta_res = 0.1; alpha = 3; thickness = 1; "
       "Par_m = 0.3;",
       "soil type 7: the required key \"Par_n\" is not found\n", 29},  // Par_m is no stand-in
      {"layers = 1; ksat = 1; theta_sat = 0.4; theta_res = 0.1; alpah = 3; thickness = 1; "
       "Par_n = 1.5; Par_m = 0.3;",
       "soil type 7: the required key \"alpha\" is not found; \"alpah\" stands in its place", 29},
      {"layers = 1 1;" + after_layers + "theta_res = 0.43;",
       "soil type 7 (loam), layer 1: theta_sat (0.43) must be greater than theta_res (0.43)", 29},
      {"layers = 1 1;" + after_layers + "theta_res = -9999;",
       "soil type 7 (loam), layer 1: theta_res (-9999) must lie within 0 to 1", 29},
      {"layers = 1 1;" + after_layers + "Par_n = 1.5 1.0;",
       "layer 2: Par_n (1) must be greater than 1", 29},
      {loam + "Par_m = 0;", "Par_m (0) must be greater than 0", 29},
      {loam + "alpha = -2;", "alpha (-2) must be greater than 0", 29},
      {loam + "ThicknessScaling = -1;", "thickness (-0.5) must be greater than 0", 29},
      {"layers = 1 1;" + after_layers + "ksat = 1e-5 m/s;", "some values could not be read", 29},
      {loam + "EvapMaxDepth = deep;", "the value of EvapMaxDepth is no number", 29},
      {"layers = 2,3;" + after_layers, "some values could not be read", 29},
      {"layers = 900 200;" + after_layers, "more than 1000 layers", 29},
      {loam + "GrainSizeDist = 0 0.5 0.5 0 0 0 0;", "fraction of sand must be > 0", 29},
      {loam + "GrainSizeDist = 0.6 -0.1 0.5 0 0 0 0;", "all grain size fractions must be >= 0", 29},
      {loam + "GrainSizeDist = 0.5 0.3 0.3 0 0 0 0;", "sum of all fractions", 29},
      // Values no soil can hold.
      {loam + "ksat = 1e11;", "(loam), layer 1: ksat (1e+11) must lie within 0 to 10 m/s", 29},
      {loam + "ThicknessScaling = 1e308;", "thickness (5e+307) must lie within 0 to 20000 m", 29},
      {loam + "Par_tau = 1e308;", "Par_tau (1e+308) must lie within -100 to 100", 29},
      {loam + "k_recession = -0.5;", "k_recession (-0.5) must lie within 0 to 1 per m", 29},
      {loam + "DryDensity = 1e308;", "DryDensity (1e+308) must lie within 0 to 10000 kg/m3", 29},
      {loam + "maxratio = 0;", "soil type 7 (loam): maxratio (0) must lie within 1 to 1e+12", 29},
      {loam + "CapacityRedu = -1;", "CapacityRedu (-1) must lie within 0 to 1 per m", 29},
      {loam + "MacroCapacity = -36;", "MacroCapacity (-36) must lie within 0 to 20000 mm/h", 29},
      {loam + "PMacroThresh = 1e308;", "PMacroThresh (1e+308) must lie within 0 to 20000", 29},
      {loam + "MacroDepth = -1;", "MacroDepth (-1) must lie within 0 to 20000 m", 29},
      {loam + "EvapMaxDepth = 1e308;", "EvapMaxDepth (1e+308) must lie within 0 to 20000 m", 29},
      {loam + "MaxInterflowDepth = -2;", "MaxInterflowDepth (-2) must lie within 0 to 20000", 29},
      {loam + "FCap = 150;", "FCap (150) must lie within 0 to 100 %", 29},
      {loam + "ksat_topmodel = 1e30;", "ksat_topmodel (1e+30) must lie within 0 to 10 m/s", 29},
      {loam + "suction = -300;", "suction (-300) must lie within 0 to 1e+08 mm", 29},
      {loam + "KMinFrozenSoil = 1e308;", "KMinFrozenSoil (1e+308) must lie within -10 to 10", 29},
  };
  for (const Refusal& r : cases) ExpectRefused(r, false);
  SoilRecord record;
  EXPECT_EQ(test::ThrownCode(
                [&] { record.ParseEntry(diag_, "3 x method Other {}", "MultipleHorizons"); }),
            29);
  EXPECT_TRUE(ScreenHas("soil table definition method unknown 3 x method Other {}"));
}

TEST_F(SoilEntryTest, OldFormatEntries) {
  const std::string head = "4 silt 25 35 2e-5 300 ";
  SoilRecord storage;
  storage.ParseEntryOldFormat(diag_, head + "1 0.46 0.034 1.6 1.37 8 0.3", 1);
  EXPECT_EQ(storage.code, 4);
  EXPECT_EQ(storage.ksat_topmodel, 2e-5);
  EXPECT_NEAR(storage.mSB_minus_FCap, 0.1, 1e-15);
  EXPECT_EQ(storage.layers, 0);

  SoilRecord soil;
  soil.ParseEntryOldFormat(diag_, head + "1 0.46 0.034 1.6 1.37 8 0.3 1000 0.5", 2);
  ASSERT_EQ(soil.layers, 8);
  EXPECT_EQ(soil.thickness[1], 0.05);
  EXPECT_NEAR(soil.thickness[2], 0.25, 1e-15);
  EXPECT_EQ(soil.thickness[8], 0.3);
  EXPECT_NEAR(soil.GetTheta(3, 0.0), 0.46, 1e-15);
  // ksat: 0.5^0.025 at the top, 0.5^(d/2) in layer 2, 0.5^((i - 1.5) d) down to 2 m.
  const double exponents[] = {0.025, 0.15, 0.45, 0.75, 1.05, 1.35, 1.65, 1.95};
  for (int i = 1; i <= 8; ++i)
    EXPECT_NEAR(soil.ksat[i], 2e-5 * std::pow(0.5, exponents[i - 1]), 1e-18) << i;
  EXPECT_EQ(test::ThrownCode(
                [&] {
                  SoilRecord().ParseEntryOldFormat(
                      diag_, head + "1 0.46 0.034 1.6 1.37 8 0.1 1000 0.5", 2);
                },
                0),
            0);

  const Refusal cases[] = {
      {head + "1 0.46 0.034 1.6 1.37 8 0.09 1000 0.5", "thickness of single layers (here 0.09 m)",
       30},
      {head + "1 0.46 0.034 1.6 1.37 1 0.3 1000 0.5", "needs 2 to 1000 layers (here 1)", 30},
      {head + "2 0.46 0.034 1.6 1.37 8 0.3 1000 0.5", "only old method 1", 30},
      {head + "1 0.46 0.034 1.6 1.37 8 0.3 1000", "error reading k reduction for soil type 4", 30},
      {head + "1 0.3 0.3 1.6 1.37 8 0.3 1000 0.5", "theta_sat (0.3) must be greater", 30},
      {head + "1 0.46 0.034 1.6 1.37 x", "soil table code 4: some values could not be read", 30},
      {"4 silt 25 35 1e30 300 1", "soil type 4 (silt): ksat_topmodel (1e+30) must lie", 30},
      {"4 silt 25 -35 2e-5 300 1", "soil type 4 (silt): mSB (-35) must lie within 0 to 100", 30},
      {head + "1 0.46 0.034 1.6 1.37 8 0.3 1000 -0.5", "k reduction (-0.5) must lie within 0", 30},
      {head + "1 0.46 0.034 1.6 1.37 8 0.3 0 0.5", "maxratio (0) must lie within 1 to 1e+12", 30},
  };
  for (const Refusal& r : cases) ExpectRefused(r, true);
}

class SoilSectionTest : public test::SettingsTest {
 protected:
  int Read(const std::string& text) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
    return test::ThrownCode([&] { settings_.ReadSoilTable(2); }, 0);
  }
};

TEST_F(SoilSectionTest, ReadsBothFormsAndRefusesBadSections) {
  const std::string block = SoilBlock(LoamKeys("1 1", "0.3"), 11) + "\n";
  const std::string sand = "12 sand 25 35 1e-5 300 1 0.43 0.045 14.5 2.68 ";
  // Blank lines between entries are skipped.
  ASSERT_EQ(
      Read("[soil_table]\n2 soil types\n\n" + block + " \n\n" + sand + "2 0.3 1000 0.5\n[next]\n"),
      0);
  const SoilRecord* table = settings_.soil_table;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0].code, 2);
  EXPECT_EQ(table[1].code, 11);
  EXPECT_EQ(table[1].layers, 2);
  EXPECT_EQ(table[2].name, "sand");

  const Refusal cases[] = {
      {"[soil_table]\n2\n" + block + sand + "3 0.3 1000 0.5\n",
       "(here: soil type 12: 3 layers, but soil type 11: 2 layers)", 30},
      {"[soil_table]\n1\n11 loam method MultipleHorizons {\nlayers = 1;\n",
       "no closing \"}\" before the end of the control file", 29},
      {"[soil_table]\n3\n" + block, "soil table code 2: some values could not be read", 30},
      {"[soil_table]\n-1\n", "number of soil types", 17},
      {"[other]\n", "[soil_table]", 17},
  };
  for (const Refusal& r : cases) {
    EXPECT_EQ(Read(r.text), r.code) << r.text;
    EXPECT_TRUE(ScreenHas(r.message)) << r.text;
  }
}

}  // namespace
}  // namespace velorn

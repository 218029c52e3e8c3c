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

using test::ParsedLoam;
using test::SoilBlock;

class SoilEntryTest : public test::DiagTest {
 protected:
  // The code a block entry is refused with (0 when it is read).
  int BlockCode(const std::string& keys) {
    SoilRecord record;
    return test::ThrownCode([&] { record.ParseEntry(diag_, SoilBlock(keys), "MultipleHorizons"); },
                            0);
  }
  int OldCode(const std::string& line, int variant = 2) {
    SoilRecord record;
    return test::ThrownCode([&] { record.ParseEntryOldFormat(diag_, line, variant); }, 0);
  }
};

TEST_F(SoilEntryTest, HorizonListsFillTheLayersOfEachHorizon) {
  const SoilRecord soil =
      ParsedLoam(diag_, "theta_sat = 0.4 0.35; ksat_topmodel = 3e-5;", "2 3", "0.1 0.2");
  ASSERT_EQ(soil.layers, 5);
  EXPECT_EQ(soil.code, 7);
  EXPECT_EQ(soil.name, "loam");
  EXPECT_EQ(soil.HorizonCount, 2);
  EXPECT_EQ(soil.LayersPerHorizon, (std::vector<int>{5, 2, 3}));
  // The last theta_sat counts; ksat is not taken from ksat_topmodel; no k_recession: no decrease.
  EXPECT_EQ(soil.theta_sat, (std::vector<double>{0.4, 0.4, 0.4, 0.35, 0.35, 0.35}));
  EXPECT_EQ(soil.ksat, std::vector<double>(6, 2.89e-6));
  EXPECT_EQ(soil.thickness, (std::vector<double>{0.1, 0.1, 0.1, 0.2, 0.2, 0.2}));
  EXPECT_NEAR(soil.TotalDepth, 0.8, 1e-12);
  EXPECT_EQ(soil.ksat_topmodel, 3e-5);
  // Defaults of the block form.
  EXPECT_NEAR(soil.Par_m[3], 1.0 - 1.0 / 1.56, 1e-15);
  EXPECT_EQ(soil.Par_tau[0], 0.5);
  EXPECT_EQ(soil.DryDensity[5], -1.0);
  EXPECT_EQ(soil.EvapMaxDepth, 0.1);
  EXPECT_EQ(soil.MaxInterflowDepth, 2.0);
  EXPECT_EQ(soil.PMacroThresh, 1000.0 / 3.6e6);
  EXPECT_EQ(soil.MacroDepth, 1.0);
  EXPECT_EQ(soil.LogKMinFrozenSoil, -20.0);
  EXPECT_NEAR(soil.mSB_minus_FCap, 0.1, 1e-15);
  EXPECT_EQ(soil.maxratio, 1000.0);
  EXPECT_EQ(soil.suction, 300.0);
  EXPECT_EQ(soil.SU_PAR[10], 0.0);
  EXPECT_EQ(soil.clay, 0.3334);
  EXPECT_EQ(soil.ThetaForSuction.size(), 6u);
  EXPECT_EQ(soil.LiquidFractionTable[5].size(), 1001u);
}

TEST_F(SoilEntryTest, KsatIsReadUnderItsOwnKeyWhereverKsatTopmodelStands) {
  for (const char* order :
       {"ksat = 4e-6; ksat_topmodel = 9e-5;", "ksat_topmodel = 9e-5; ksat = 4e-6;"}) {
    SoilRecord soil;
    soil.ParseEntry(diag_,
                    SoilBlock(std::string("layers = 1; ") + order +
                              " theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; "
                              "thickness = 0.5;"),
                    "MultipleHorizons");
    EXPECT_EQ(soil.ksat[1], 4e-6) << order;
    EXPECT_EQ(soil.ksat_topmodel, 9e-5) << order;
  }
}

TEST_F(SoilEntryTest, KsatFallsWithDepthInsideEachHorizon) {
  // Horizons of 2 layers of 0.2 m and 1 layer of 0.4 m; layer centres 0.1, 0.3, 0.6 m below the
  // surface and 0.1, 0.3, 0.2 m below their horizon's top.
  struct Case {
    const char* keys;
    std::vector<double> factors;  // layers 1..3
  };
  const Case cases[] = {
      {"k_recession = 0.5 0.25;", {std::pow(0.5, 0.1), std::pow(0.5, 0.3), std::pow(0.25, 0.2)}},
      {"k_recession = 0.5 0.25; MaxInterflowDepth = 0.5;",
       {std::pow(0.5, 0.1), std::pow(0.5, 0.3), 1}},
      {"k_recession = 0.5 0.25; MaxInterflowDepth = 0.01;", {1, 1, 1}},
  };
  for (const Case& c : cases) {
    const SoilRecord soil = ParsedLoam(diag_, c.keys, "2 1", "0.2 0.4");
    for (int i = 1; i <= 3; ++i)
      EXPECT_NEAR(soil.ksat[i], 2.89e-6 * c.factors[i - 1], 1e-20) << c.keys << i;
  }
}

TEST_F(SoilEntryTest, ScalarKeys) {
  const SoilRecord plain = ParsedLoam(diag_, "ThicknessScaling = 1.0;");
  EXPECT_FALSE(ScreenHas("will be scaled"));
  const SoilRecord soil = ParsedLoam(
      diag_, "ThicknessScaling = 2; KMinFrozenSoil = 0; SU_PAR03 = 4.5; MacroCapacity = 36;", "1",
      "0.5");
  EXPECT_TRUE(ScreenHas("Soil layers for soil type 7 will be scaled by a factor of 2"));
  EXPECT_EQ(soil.thickness[1], 1.0);
  EXPECT_EQ(soil.TotalDepth, 1.0);
  EXPECT_EQ(soil.EvapMaxDepth, 0.5);  // the thickness as read
  EXPECT_EQ(soil.LogKMinFrozenSoil, -27.631);
  EXPECT_EQ(soil.SU_PAR[3], 4.5);
  EXPECT_EQ(soil.MacroCapacity, 1e-5);
  EXPECT_NEAR(ParsedLoam(diag_, "KMinFrozenSoil = 1e-8;").LogKMinFrozenSoil, std::log(1e-8), 1e-12);
  EXPECT_EQ(plain.thickness[1], 0.5);
}

TEST_F(SoilEntryTest, GrainSizeDistribution) {
  const SoilRecord soil = ParsedLoam(diag_, "GrainSizeDist = 0.5 0.3 0.2 0 0 0 0.00005;");
  EXPECT_EQ(soil.sand, 0.5);
  EXPECT_EQ(soil.stones4, 0.00005);
  struct Case {
    const char* keys;
    const char* message;
  };
  const Case refused[] = {
      {"GrainSizeDist = 0 0.5 0.5 0 0 0 0;", "fraction of sand must be > 0"},
      {"GrainSizeDist = 0.6 -0.1 0.5 0 0 0 0;", "all grain size fractions must be >= 0"},
      {"GrainSizeDist = 0.5 0.3 0.3 0 0 0 0;", "sum of all fractions"},
      {"GrainSizeDist = 0.5 0.3 0.2;", "some values could not be read"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(BlockCode(test::LoamKeys() + c.keys), 29) << c.keys;
    EXPECT_TRUE(ScreenHas(c.message)) << c.keys;
  }
}

TEST_F(SoilEntryTest, RefusedBlockEntries) {
  const std::string loam = test::LoamKeys();
  struct Case {
    std::string keys;
    const char* message;
  };
  const Case cases[] = {
      {"layers = 1; ksat = 1e-5; theta_sat = 0.4; theta_res = 0.1; alpha = 3; thickness = 0.5;",
       "some values could not be read"},  // no Par_n
      {"layers = 1; ksat = 1e-5; theta_sat = 0.3; theta_res = 0.3; alpha = 3; Par_n = 1.5; "
       "thickness = 0.5;",
       "layer 1: theta_sat (0.3) must be greater than theta_res (0.3)"},
      {"layers = 1 1; ksat = 1e-5; theta_sat = 0.4; theta_res = 0.1; alpha = 3; Par_n = 1.5 1.0; "
       "thickness = 0.5;",
       "layer 2: Par_n (1) must be greater than 1"},
      {loam + "Par_m = 0;", "Par_m (0) must be greater than 0"},
      {loam + "ThicknessScaling = -1;", "thickness (-0.5) must be greater than 0"},
      {"layers = 1 1; ksat = 1e-5 m/s; theta_sat = 0.4; theta_res = 0.1; alpha = 3; Par_n = 1.5; "
       "thickness = 0.5;",
       "some values could not be read"},  // a text where a number belongs
      {loam + "EvapMaxDepth = deep;", "the value of EvapMaxDepth is no number"},
      {"layers = 2,3;" + loam.substr(loam.find(';') + 1), "some values could not be read"},
      {"layers = 900 200;" + loam.substr(loam.find(';') + 1), "more than 1000 layers"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BlockCode(c.keys), 29) << c.keys;
    EXPECT_TRUE(ScreenHas(c.message)) << c.keys;
  }
  SoilRecord record;
  EXPECT_EQ(test::ThrownCode(
                [&] { record.ParseEntry(diag_, "3 x method Other {}", "MultipleHorizons"); }),
            29);
  EXPECT_TRUE(ScreenHas("soil table definition method unknown 3 x method Other {}"));
}

TEST_F(SoilEntryTest, OldFormatEntries) {
  SoilRecord storage;
  storage.ParseEntryOldFormat(diag_, "4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 8 0.3", 1);
  EXPECT_EQ(storage.code, 4);
  EXPECT_EQ(storage.ksat_topmodel, 2e-5);
  EXPECT_NEAR(storage.mSB_minus_FCap, 0.1, 1e-15);
  EXPECT_EQ(storage.layers, 0);
  EXPECT_TRUE(storage.ksat.empty());

  SoilRecord soil;
  soil.ParseEntryOldFormat(diag_, "4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 8 0.3 1000 0.5", 2);
  ASSERT_EQ(soil.layers, 8);
  EXPECT_EQ(soil.thickness[1], 0.05);
  EXPECT_NEAR(soil.thickness[2], 0.25, 1e-15);
  EXPECT_EQ(soil.thickness[8], 0.3);
  // ksat: 0.5^0.025 at the top, 0.5^(d/2) in layer 2, 0.5^((i - 1.5) d) down to 2 m.
  const double expected[] = {std::pow(0.5, 0.025), std::pow(0.5, 0.15), std::pow(0.5, 0.45),
                             std::pow(0.5, 0.75),  std::pow(0.5, 1.05), std::pow(0.5, 1.35),
                             std::pow(0.5, 1.65),  std::pow(0.5, 1.95)};
  for (int i = 1; i <= 8; ++i) EXPECT_NEAR(soil.ksat[i], 2e-5 * expected[i - 1], 1e-18) << i;
  EXPECT_NEAR(soil.GetTheta(3, 0.0), 0.46, 1e-15);

  struct Case {
    const char* line;
    const char* message;
  };
  const Case refused[] = {
      {"4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 8 0.09 1000 0.5",
       "thickness of single layers (here 0.09 m)"},
      {"4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 1 0.3 1000 0.5",
       "needs 2 to 1000 layers (here 1)"},
      {"4 silt 25 35 2e-5 300 2 0.46 0.034 1.6 1.37 8 0.3 1000 0.5", "only old method 1"},
      {"4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 8 0.3 1000",
       "error reading k reduction for soil type 4"},
      {"4 silt 25 35 2e-5 300 1 0.3 0.3 1.6 1.37 8 0.3 1000 0.5",
       "theta_sat (0.3) must be greater"},
      {"4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 x",
       "soil table code 4: some values could not be read"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(OldCode(c.line), 30) << c.line;
    EXPECT_TRUE(ScreenHas(c.message)) << c.line;
  }
  EXPECT_EQ(OldCode("4 silt 25 35 2e-5 300 1 0.46 0.034 1.6 1.37 8 0.1 1000 0.5"), 0);
}

class SoilSectionTest : public test::SettingsTest {
 protected:
  int Read(const std::string& text) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
    return test::ThrownCode([&] { settings_.ReadSoilTable(2); }, 0);
  }
};

TEST_F(SoilSectionTest, ReadsBothFormsIntoTheTable) {
  ASSERT_EQ(Read("[soil_table]\n2 soil types\n" + SoilBlock(test::LoamKeys("1 1", "0.3"), 11) +
                 "\n12 sand 25 35 1e-5 300 1 0.43 0.045 14.5 2.68 2 0.3 1000 0.5\n[next]\n"),
            0);
  const SoilRecord* table = settings_.soil_table;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0].code, 2);
  EXPECT_EQ(table[1].code, 11);
  EXPECT_EQ(table[1].layers, 2);
  EXPECT_EQ(table[2].code, 12);
  EXPECT_EQ(table[2].name, "sand");
}

TEST_F(SoilSectionTest, RefusedSections) {
  struct Case {
    std::string text;
    int code;
    const char* message;
  };
  const std::string sand = "12 sand 25 35 1e-5 300 1 0.43 0.045 14.5 2.68 3 0.3 1000 0.5\n";
  const Case cases[] = {
      {"[soil_table]\n2\n" + SoilBlock(test::LoamKeys("1 1", "0.3"), 11) + "\n" + sand, 30,
       "(here: soil type 12: 3 layers, but soil type 11: 2 layers)"},
      {"[soil_table]\n1\n11 loam method MultipleHorizons {\nlayers = 1;\n", 29,
       "no closing \"}\" before the end of the control file"},
      {"[soil_table]\n3\n" + sand, 30, "some values could not be read"},
      {"[soil_table]\n-1\n", 17, "number of soil types"},
      {"[other]\n", 17, "[soil_table]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(c.text), c.code) << c.text;
    EXPECT_TRUE(ScreenHas(c.message)) << c.text;
  }
}

}  // namespace
}  // namespace velorn

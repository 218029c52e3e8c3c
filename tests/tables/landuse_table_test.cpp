// Land-use table: a realistic table in both entry forms read field by field, the summary
// record, switch texts, dynamic fixpoints, whole-key lookup, and every failure with its code
// and message.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tables/landuse_record.h"
#include "tests/support/settings_test.h"

namespace velorn {
namespace {

class LanduseTableTest : public test::SettingsTest {
 protected:
  // Reads `text` as the compiled control file; returns the code thrown (0 on success).
  int Read(const std::string& text, int32_t variant = 2) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
    screen_.str("");
    return test::ThrownCode([&] { settings_.ReadLanduseTable(variant); }, 0);
  }
  // A table of one block entry of `method` with the given items.
  int ReadBlock(const std::string& method, const std::string& items) {
    return Read("[landuse_table]\n1\n30 crop method " + method + " {\n" + items + "\n}\n");
  }
  const LanduseRecord& Record(int i) const { return settings_.landuse_table[i]; }
  bool Shows(const std::string& text) const { return ScreenHas(text); }
};

// The seven required lists of a block entry with three fixpoints.
const std::string kRequired3 =
    "RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45;\n"
    "Albedo = 0.25 0.20 0.25; rsc = 80 60 80; LAI = 1 4 1; Z0 = 0.02 0.1 0.02;\n"
    "VCF = 0.5 0.9 0.5; RootDepth = 0.2 0.5 0.2; AltDep = 0 0.01 0;\n";
const std::string kPhenology =
    "F* = 250; DP1_t1_dorm = 30; DP1_T_Bf = 5.5; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n";

const std::string kFiveLanduses =
    "[landuse_table]\n5   number of land uses\n"
    // Fixed format: albedo, 12 monthly rsc, 4 days, LAI, Z0, VCF, RootDepth, RootDist, HReduDry.
    "10 grassland 0.20 80 80 75 70 60 55 50 55 60 70 80 85 100 150 250 300 "
    "1 3 4 1 0.02 0.06 0.08 0.02 0.5 0.8 0.9 0.5 0.2 0.3 0.4 0.2 1.5 3.45\n"
    "20 maize method VariableDayCount {\n"
    "  RootDist = 1.2; TReduWet = 0.9; HReduDry = 4.0; LimitReduWet = 0.2;\n"
    "  useInternalParameters = 0001; ETPHamonFactor = 1.3; IntercepCap = 0.4;\n"
    "  StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
    "  JDVegetationResetForBalance = 90; JDVegetationWriteForBalance = 300;\n"
    "  JulDays = 1 120, 210\t366;\n"
    "  Albedo = 0.2 0.18 0.22 0.2; rsc = 90 60 50 90; LAI = 0.5 1 5 0.5;\n"
    "  Z0 = 0.01 0.05 0.2 0.01; VCF = 0.1 0.3 0.95 0.1; RootDepth = 0.1 0.3 0.9 0.1;\n"
    "  AltDep = 0 0.025 -0.025 0; rs_interception = 30 30 40 30; rs_evaporation = 250 250 150 "
    "250;\n"
    "  SoilTillage = 100, 280; SR_cultivation = nonconserving; SR_CropDistX = 0.75;\n"
    "  SR_CropDistY = 0.2; SR_K_ST = 12; SR_C_WR = 1.1; SR_rough_coeff1 = 0.02 0.7 0.15;\n"
    "  SR_StemDiameter = 0.01 0.02 0.03 0.01; SR_ResidCovrg = 0.3 0.1 0.1 0.3;\n"
    "  n-factor = 0.5 0.8 0.9 0.5; nf_freezing = 0.6; nf_thawing = 0.9;\n"
    "}\n"
    "30 beech method DynamicPhenology_1 {\n" +
    kPhenology + "JulDays = 1 -1 60 366;\n" +
    "RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45; Albedo = 0.2 0.2 0.15 0.2;\n"
    "rsc = 100 100 60 100; LAI = 0.5 0.5 6 0.5; Z0 = 1 1 1.2 1; VCF = 0.9 0.9 1 0.9;\n"
    "RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n"
    "40 oak method DynamicPhenology_2 { " +
    kPhenology + "JulDays = 1 -1 60 366;\n" +
    "DP2_t0_dorm = 10; DP2_t1_dorm = 40; DP2_T_Bf = 4; DP2_T_Bc = 8; DP2_Par_a = 0.1;\n"
    "DP2_Par_b = 0.2; RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45;\n"
    "Albedo = 0.2 0.2 0.15 0.2; rsc = 100 100 60 100; LAI = 0.5 0.5 6 0.5; Z0 = 1 1 1 1;\n"
    "VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n"
    "50 spruce method DynamicPhenology_4 {\n" +
    kPhenology + "JulDays = 1 100 -1 30 366;\n" +
    "DP4_t0_dorm = 5; DP4_t1_dorm = 45; DP4_T0 = 2.5; DP4_T1 = 9; DP4_Par_a = 0.3;\n"
    "DP4_Par_b = -0.4; DP4_T_xylstop = 11; DP4_t_xs1 = 60; DP4_SPSLF = 2;\n"
    "RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45; Albedo = 0.1 0.1 0.1 0.1 0.1;\n"
    "rsc = 1 2 3 4 5; LAI = 1 2 3 4 5; Z0 = 1 1 1 1 1; VCF = 1 1 1 1 1; RootDepth = 1 1 1 1 1;\n"
    "AltDep = 0 0 0 0 0; }\n"
    "[soil_table]\n0\n";

TEST_F(LanduseTableTest, FiveLandusesInBothFormsReadFieldByField) {
  ASSERT_EQ(Read(kFiveLanduses), 0) << screen_.str();
  // Summary: count 5; the fixed record's reset day 1 comes first, the write day from record 2.
  EXPECT_EQ(Record(0).GetCode(), 5);
  EXPECT_EQ(Record(0).GetJDVegetationResetForBalance(), 1);
  EXPECT_EQ(Record(0).GetJDVegetationWriteForBalance(), 300);

  const LanduseRecord& grass = Record(1);
  EXPECT_EQ(grass.GetCode(), 10);
  EXPECT_EQ(grass.GetName(), "grassland");
  EXPECT_EQ(grass.GetMethod(), 1);
  EXPECT_EQ(grass.GetJulDays(), (std::vector<int>{-66, 100, 150, 250, 300}));
  EXPECT_DOUBLE_EQ(grass.GetAltDep(1), 0.025);
  EXPECT_DOUBLE_EQ(grass.GetAltDep(0), -0.025);
  EXPECT_DOUBLE_EQ(grass.GetRootDist(), 1.5);
  EXPECT_DOUBLE_EQ(grass.GetHReduDry(), 3.45);
  EXPECT_DOUBLE_EQ(grass.GetTReduWet(), 0.95);
  // Fields the fixed format does not give carry the block defaults, never garbage.
  EXPECT_DOUBLE_EQ(grass.GetETPHamonFactor(), 1.0);
  EXPECT_DOUBLE_EQ(grass.GetNfFreezing(), -9999.9);
  EXPECT_DOUBLE_EQ(grass.GetNfThawing(), -9999.9);
  EXPECT_EQ(grass.GetCultivationMethod(), 3);
  EXPECT_EQ(grass.GetStopVegetationPeriodForBalance(), 1000);
  EXPECT_DOUBLE_EQ(grass.GetIntercepCap(), -1.0);

  const LanduseRecord& maize = Record(2);
  EXPECT_EQ(maize.GetMethod(), 2);
  EXPECT_EQ(maize.GetFixpointCount(), 4);
  EXPECT_EQ(maize.GetJulDays(), (std::vector<int>{0, 1, 120, 210, 366}));
  EXPECT_EQ(maize.GetParameterSwitchBits(), 16);
  EXPECT_TRUE(maize.TestParameterSwitch(16));
  EXPECT_FALSE(maize.TestParameterSwitch(255 - 16));
  EXPECT_DOUBLE_EQ(maize.GetLimitReduWet(), 0.2);
  EXPECT_DOUBLE_EQ(maize.GetETPHamonFactor(), 1.3);
  EXPECT_DOUBLE_EQ(maize.GetIntercepCap(), 0.4);
  EXPECT_EQ(maize.GetStartVegetationPeriodForBalance(), 2);
  EXPECT_EQ(maize.GetStopVegetationPeriodForBalance(), 3);
  EXPECT_EQ(maize.GetJDVegetationResetForBalance(), 90);
  EXPECT_DOUBLE_EQ(maize.GetAltDep(3), -0.025);
  EXPECT_EQ(maize.GetPhenologyStartDay(), -1);
  EXPECT_EQ(maize.GetPhenologyFixpointIndex(), 0);
  int tillage_count = 0;
  const int* tillage = nullptr;
  maize.GetSoilTillage(tillage_count, tillage);
  ASSERT_EQ(tillage_count, 2);
  EXPECT_EQ(tillage[0], 280 - 366);
  EXPECT_EQ(tillage[2], 280);
  EXPECT_EQ(maize.GetCultivationMethod(), 2);
  EXPECT_DOUBLE_EQ(maize.GetCropDistX(), 0.75);
  EXPECT_DOUBLE_EQ(maize.GetCropDistY(), 0.2);
  EXPECT_DOUBLE_EQ(maize.GetK_ST(), 12);
  EXPECT_DOUBLE_EQ(maize.GetC_WR(), 1.1);
  double c1 = 0, c2 = 0, c3 = 0;
  maize.GetRoughCoeff1(c1, c2, c3);
  EXPECT_EQ((std::vector<double>{c1, c2, c3}), (std::vector<double>{0.02, 0.7, 0.15}));
  maize.GetRoughCoeff2(c1, c2, c3);
  EXPECT_EQ((std::vector<double>{c1, c2, c3}), (std::vector<double>{0.0198, 0.712, 0.142}));
  EXPECT_DOUBLE_EQ(maize.GetNfFreezing(), 0.6);
  EXPECT_DOUBLE_EQ(maize.GetNfThawing(), 0.9);

  const LanduseRecord& beech = Record(3);
  EXPECT_EQ(beech.GetMethod(), 3);
  EXPECT_DOUBLE_EQ(beech.GetFStar(), 250);
  EXPECT_EQ(beech.GetDP1_t1_dorm(), 30);
  EXPECT_DOUBLE_EQ(beech.GetDP1_T_Bf(), 5.5);
  EXPECT_EQ(beech.GetJDReset_TStart(), 300);
  EXPECT_EQ(beech.GetmaxStartJDforDP1(), 150);
  EXPECT_EQ(beech.GetPhenologyFixpointIndex(), 2);
  EXPECT_FALSE(beech.GetPhenologyFlag());

  const LanduseRecord& oak = Record(4);
  EXPECT_EQ(oak.GetDP2_t0_dorm(), 10);
  EXPECT_EQ(oak.GetDP2_t1_dorm(), 40);
  EXPECT_DOUBLE_EQ(oak.GetDP2_T_Bf(), 4);
  EXPECT_DOUBLE_EQ(oak.GetDP2_T_Bc(), 8);
  EXPECT_DOUBLE_EQ(oak.GetDP2_Par_a(), 0.1);
  EXPECT_DOUBLE_EQ(oak.GetDP2_Par_b(), 0.2);
  EXPECT_DOUBLE_EQ(oak.GetDP2_Offset_1(), -3.4);
  EXPECT_DOUBLE_EQ(oak.GetDP2_Offset_2(), 12.0);
  EXPECT_TRUE(Shows("parameter \"DP2_Offset_1\" not found for land use 40; Using default of -3.4"));
  EXPECT_TRUE(Shows("parameter \"DP2_Offset_2\" not found for land use 40; Using default of 12"));

  const LanduseRecord& spruce = Record(5);
  EXPECT_EQ(spruce.GetPhenologyFixpointIndex(), 3);
  EXPECT_EQ(spruce.GetDP4_t0_dorm(), 5);
  EXPECT_EQ(spruce.GetDP4_t1_dorm(), 45);
  EXPECT_DOUBLE_EQ(spruce.GetDP4_T0(), 2.5);
  EXPECT_DOUBLE_EQ(spruce.GetDP4_T1(), 9);
  EXPECT_DOUBLE_EQ(spruce.GetDP4_Par_a(), 0.3);
  EXPECT_DOUBLE_EQ(spruce.GetDP4_Par_b(), -0.4);
  EXPECT_DOUBLE_EQ(spruce.GetDP4_T_xylstop(), 11);
  EXPECT_EQ(spruce.GetDP4_t_xs1(), 60);
  EXPECT_EQ(spruce.GetDP4_SPSLF(), 2);
}

TEST_F(LanduseTableTest, MinimalBlockEntryTakesEveryDefault) {
  ASSERT_EQ(ReadBlock("VariableDayCount", kRequired3 + "JulDays = 1 180 366;"), 0) << screen_.str();
  const LanduseRecord& r = Record(1);
  EXPECT_EQ(r.GetJulDays(), (std::vector<int>{0, 1, 180, 366}));
  EXPECT_EQ(r.GetParameterSwitchBits(), 255);
  EXPECT_EQ(r.GetParameterSwitchText(), "11111111");
  EXPECT_DOUBLE_EQ(r.GetLimitReduWet(), 0.0);
  EXPECT_DOUBLE_EQ(r.GetETPHamonFactor(), 1.0);
  EXPECT_EQ(r.GetStartVegetationPeriodForBalance(), 0);
  EXPECT_EQ(r.GetStopVegetationPeriodForBalance(), 0);
  EXPECT_EQ(r.GetJDVegetationResetForBalance(), -1);
  EXPECT_EQ(r.GetJDVegetationWriteForBalance(), -1);
  EXPECT_DOUBLE_EQ(r.GetIntercepCap(), -1.0);
  EXPECT_DOUBLE_EQ(r.GetStressFactorDynPhen(), 0.0);
  int count = -1;
  const int* days = nullptr;
  r.GetSoilTillage(count, days);
  EXPECT_EQ(count, 0);
  ASSERT_NE(days, nullptr);
  EXPECT_EQ(days[0], -9999);
  EXPECT_EQ(r.GetCultivationMethod(), 3);
  EXPECT_DOUBLE_EQ(r.GetCropDistX(), 0.3);
  EXPECT_DOUBLE_EQ(r.GetK_ST(), 10.0);
  EXPECT_DOUBLE_EQ(r.GetC_WR(), 1.5);
  EXPECT_DOUBLE_EQ(r.GetNfFreezing(), -9999.9);
  // Accessors outside 0..n.
  EXPECT_EQ(r.GetJulDay(4), -1);
  EXPECT_DOUBLE_EQ(r.GetAltDep(-1), 0.0);
  EXPECT_DOUBLE_EQ(r.GetAltDep(0), 0.0);
  EXPECT_DOUBLE_EQ(r.GetAltDep(2), 0.01);
  EXPECT_DOUBLE_EQ(r.GetForcingThreshold(0), -1.0);
  // Summary of a table whose only record leaves both days at -1.
  EXPECT_EQ(Record(0).GetJDVegetationResetForBalance(), 1);
  EXPECT_EQ(Record(0).GetJDVegetationWriteForBalance(), 365);
}

TEST_F(LanduseTableTest, BlockValuesThatTheOldReadersGotWrong) {
  struct Case {
    std::string items;
    std::vector<int> days;
    int switch_bits;
    double root_dist;
  };
  const std::vector<Case> cases = {
      // Commas between days: every day is read, not only the first.
      {"JulDays = 1, 180, 366;", {0, 1, 180, 366}, 255, 1.0},
      {"JulDays = 1 180\n 366;", {0, 1, 180, 366}, 255, 1.0},
      // A key inside another key's name or a comment word is not that key.
      {"RootDistMax = 9; # RootDist 7\nJulDays = 1 180 366;", {0, 1, 180, 366}, 255, 1.0},
      {"useInternalParameters = 10000000; JulDays = 1 180 366;", {0, 1, 180, 366}, 128, 1.0},
      {"useInternalParameters = 00000001; JulDays = 1 180 366;", {0, 1, 180, 366}, 1, 1.0},
      {"useInternalParameters = x0101; JulDays = 1 180 366;", {0, 1, 180, 366}, 80, 1.0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(ReadBlock("VariableDayCount", c.items + "\n" + kRequired3), 0)
        << c.items << screen_.str();
    EXPECT_EQ(Record(1).GetJulDays(), c.days) << c.items;
    EXPECT_EQ(Record(1).GetParameterSwitchBits(), c.switch_bits) << c.items;
    EXPECT_DOUBLE_EQ(Record(1).GetRootDist(), c.root_dist) << c.items;
  }
}

TEST_F(LanduseTableTest, DynamicFixpointAndForcingThresholds) {
  struct Case {
    std::string method;
    std::string items;
    int fixpoint_index;
  };
  const std::string dp3 =
      "DP1_t1_dorm = 30; DP1_T_Bf = 5; JDReset_TStart = 1; maxStartJDforDP1 = 9;";
  const std::vector<Case> cases = {
      {"DynamicPhenology_1", kPhenology + "JulDays = 1 -1 60 366;", 2},
      // The last fixpoint is never the dynamic one.
      {"DynamicPhenology_1", kPhenology + "JulDays = 1 100 200 -1;", -1},
      // Method 5 needs no F* and keeps index 0; a VariableDayCount entry ignores DP keys.
      {"DynamicPhenology_3", dp3 + "ForcingThreshold = 0 5 9 0; JulDays = 1 -1 200 366;", 0},
      {"VariableDayCount", "F* = x; JulDays = 1 -1 200 366;", 0},
  };
  const std::string lists4 =
      "RootDist = 1; TReduWet = 1; HReduDry = 1; Albedo = 1 2 3 4; rsc = 1 2 3 4; LAI = 1 2 3 4;"
      "Z0 = 1 2 3 4; VCF = 1 2 3 4; RootDepth = 1 2 3 4; AltDep = 0 0 0 0;";
  for (const Case& c : cases) {
    ASSERT_EQ(ReadBlock(c.method, c.items + lists4), 0) << c.items << screen_.str();
    EXPECT_EQ(Record(1).GetPhenologyFixpointIndex(), c.fixpoint_index) << c.items;
    EXPECT_EQ(Record(1).GetPhenologyStartDay(), -1) << c.items;
  }
  // The last method-5 case: thresholds with the wrap value at index 0.
  ASSERT_EQ(ReadBlock("DynamicPhenology_3",
                      dp3 + "ForcingThreshold = 0 5 9 7; JulDays = 1 -1 200 366;" + lists4),
            0);
  EXPECT_DOUBLE_EQ(Record(1).GetForcingThreshold(0), 7);
  EXPECT_DOUBLE_EQ(Record(1).GetForcingThreshold(2), 5);
  EXPECT_DOUBLE_EQ(Record(1).GetForcingThreshold(5), -1.0);
}

TEST_F(LanduseTableTest, CountZeroAndSummaryRecord) {
  ASSERT_EQ(Read("[landuse_table]\n0\n"), 0);
  EXPECT_EQ(Record(0).GetCode(), 0);
  EXPECT_EQ(Record(0).GetJDVegetationResetForBalance(), 1);
  EXPECT_EQ(Record(0).GetJDVegetationWriteForBalance(), 365);

  std::vector<LanduseRecord> table(5);
  for (int i = 1; i <= 4; ++i) {
    table[i].SetJDVegetationResetForBalance(i < 3 ? -1 : 10 * i);
    table[i].SetJDVegetationWriteForBalance(i % 2 == 0 ? -1 : 0);
  }
  SummariseLanduseTable(table);
  EXPECT_EQ(table[0].GetCode(), 4);
  EXPECT_EQ(table[0].GetJDVegetationResetForBalance(), 30);
  EXPECT_EQ(table[0].GetJDVegetationWriteForBalance(), 365);
}

TEST_F(LanduseTableTest, FailuresReportTheEntryAndTheirCode) {
  const std::string fixed35 =
      "10 grass 0.2 1 2 3 4 5 6 7 8 9 10 11 12 100 150 250 300 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1";
  struct Case {
    std::string text;
    int code;
    std::string message;
  };
  const std::string h = "[landuse_table]\n";
  const std::string block = "30 crop method VariableDayCount {\n" + kRequired3;
  const std::vector<Case> cases = {
      {"[soil_table]\n0\n", 17, "[landuse_table]; "},
      {h + "many\n", 17, "number of entries of [landuse_table]"},
      {h + "-1\n", 17, "number of entries (0 or more)"},
      {h + "3\n" + fixed35 + "\n" + fixed35 + "\n", 17, "holds only 2 of its 3 entries"},
      {h + "2\n" + fixed35 + "\n[soil_table]\n0\n", 17, "holds only 1 of its 2 entries"},
      {h + "1\n" + block + "JulDays = 1 180 366;\n", 29, "has no closing \"}\""},
      {h + "2\n" + block + "JulDays = 1 180 366;\n" + block + "JulDays = 1 180 366; }\n", 29,
       "entry beginning in line 3 of the control file has no closing"},
      {h + "1\n10 grass\n", 29, "landuse table code 10: some values could not be read\n10 grass"},
      {h + "1\n10 grass DynamicPhenology_2 {\n", 29, "code 10: some values could not be read"},
      {h + "1\n" + fixed35.substr(0, 60) + "\n", 29, "ends after"},
      {h + "1\n" + fixed35 + " x 3.4\n", 29, "value 36 (\"x\")"},
      {h + "1\n10 grass 0.2 1 2 3 4 5 6 7 8 9 10 11 12 100 abc 250 300 1 1 1 1 1 1 1 1 1 1 1 1 1 1 "
           "1 1\n",
       29, "value 17 (\"abc\")"},
      {h + "1\n10 " + std::string(200, 'g') + " 0.2 " + fixed35.substr(12) + "\n", 29,
       "longer than 199"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(c.text), c.code) << c.text;
    EXPECT_TRUE(Shows(c.message)) << c.text << "\n--- screen:\n" << screen_.str();
  }
  // Variant 2 accepts a line that ends after the 35th value; RootDist and HReduDry keep 0.
  ASSERT_EQ(Read(h + "1\n" + fixed35 + "\n"), 0) << screen_.str();
  EXPECT_DOUBLE_EQ(Record(1).GetRootDist(), 0.0);
  EXPECT_DOUBLE_EQ(Record(1).GetHReduDry(), 0.0);
}

TEST_F(LanduseTableTest, BlockFailuresEndWithTheEntryMessage) {
  struct Case {
    std::string method;
    std::string items;
    std::string message;
  };
  const std::string days = "JulDays = 1 180 366;";
  const std::vector<Case> cases = {
      {"VariableDayCount", "RootDist = 1; TReduWet = 1; " + days,
       "parameter \"HReduDry\" not found"},
      {"VariableDayCount", kRequired3, "parameter \"JulDays\" not found"},
      {"VariableDayCount", kRequired3 + "JulDays = ;", "\"JulDays\" of land use 30 holds no day"},
      {"VariableDayCount", kRequired3 + "JulDays = 1 180 366 400;", "holds 3 values instead of 4"},
      {"VariableDayCount", kRequired3 + "JulDays = 1 x 366;", "value 2 (\"x\") is not a number"},
      {"VariableDayCount", "RootDist = one;" + kRequired3 + days, "RootDist"},
      {"VariableDayCount", kRequired3 + days + "useInternalParameters = yes;", "holds no switch"},
      {"VariableDayCount", kRequired3 + days + "SR_cultivation = maybe;",
       "no valid value for parameter \"SR_cultivation\" for land use 30"},
      {"VariableDayCount", kRequired3 + days + "n-factor = 1 2;", "holds 2 values instead of 3"},
      {"DynamicPhenology_1", kRequired3 + days, "parameter \"F*\" not found for land use 30"},
      {"DynamicPhenology_3", kRequired3 + "JulDays = 1 180 365;",
       "(Code: 30): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and "
       "not 365"},
      {"DynamicPhenology_3", kRequired3 + "JulDays = 2 180 366;",
       "the first sample day (JulDay) must be 1 and not 2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadBlock(c.method, c.items), 29) << c.items;
    EXPECT_TRUE(Shows(c.message)) << c.items << "\n--- screen:\n" << screen_.str();
    EXPECT_TRUE(Shows("landuse table code 30: some values could not be read\n{")) << c.items;
  }
  // The switch bits of "0001" and the cultivation words.
  for (const auto& [word, method] : std::vector<std::pair<std::string, int>>{
           {"nonconserving", 2}, {"conserving", 1}, {"other", 3}}) {
    ASSERT_EQ(ReadBlock("VariableDayCount", kRequired3 + days + "SR_cultivation = " + word + ";"),
              0);
    EXPECT_EQ(Record(1).GetCultivationMethod(), method) << word;
  }
  // An entry of one line.
  std::string one_line = kRequired3;
  std::replace(one_line.begin(), one_line.end(), '\n', ' ');
  ASSERT_EQ(Read("[landuse_table]\n1\n7 a method VariableDayCount {" + one_line + days + "}\n"), 0);
  EXPECT_EQ(Record(1).GetCode(), 7);
}

}  // namespace
}  // namespace velorn

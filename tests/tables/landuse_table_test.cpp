// Land-use table: a realistic table in both entry forms read field by field, the summary
// record, switch texts, dynamic fixpoints, whole-key lookup, and every failure with its code
// and message.
#include <gtest/gtest.h>

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
// The text with the first `from` replaced by `to`.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}
std::string AltDep(const std::string& values) {
  return Replace(kRequired3, "AltDep = 0 0.01 0", "AltDep = " + values);
}

const std::string kPhenology =
    "F* = 250; DP1_t1_dorm = 30; DP1_T_Bf = 5.5; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n";

const std::string kFiveLanduses =
    "[landuse_table]\n5   number of land uses\n"
    // Fixed format: albedo, 12 monthly rsc, 4 days, LAI, Z0, VCF, RootDepth, RootDist, HReduDry.
    "10 grassland 0.20 80 80 75 70 60 55 50 55 60 70 80 85 100 150 250 300 "
    "1 3 4 1 0.02 0.06 0.08 0.02 0.5 0.8 0.9 0.5 0.2 0.3 0.4 0.2 1.5 3.45\n"
    "\n"  // blank lines between entries are skipped
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
    "}\n  \t\n\n"
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

// The values as doubles, so that fields of every type compare in one list.
template <class... T>
std::vector<double> Values(T... values) {
  return {static_cast<double>(values)...};
}

TEST_F(LanduseTableTest, FiveLandusesInBothFormsReadFieldByField) {
  ASSERT_EQ(Read(kFiveLanduses), 0) << screen_.str();
  // Summary: count 5; the fixed record's reset day 1 comes first, the write day from record 2.
  const LanduseRecord& s = Record(0);
  EXPECT_EQ(
      Values(s.GetCode(), s.GetJDVegetationResetForBalance(), s.GetJDVegetationWriteForBalance()),
      Values(5, 1, 300))
      << "summary";

  const LanduseRecord& g = Record(1);
  EXPECT_EQ(g.GetName(), "grassland");
  EXPECT_EQ(g.GetJulDays(), (std::vector<int>{-66, 100, 150, 250, 300}));
  // Fields the fixed format does not give carry the block defaults, never garbage.
  EXPECT_EQ(Values(g.GetCode(), g.GetMethod(), g.GetAltDep(1), g.GetAltDep(0), g.GetRootDist(),
                   g.GetHReduDry(), g.GetTReduWet(), g.GetETPHamonFactor(), g.GetNfFreezing(),
                   g.GetNfThawing(), g.GetCultivationMethod(),
                   g.GetStopVegetationPeriodForBalance(), g.GetIntercepCap()),
            Values(10, 1, 0.025, -0.025, 1.5, 3.45, 0.95, 1.0, -9999.9, -9999.9, 3, 1000, -1.0))
      << "grassland";
  using S = LanduseSeries;
  const std::vector<double> months{85, 80, 80, 75, 70, 60, 55, 50, 55, 60, 70, 80, 85, 80};
  EXPECT_EQ(g.GetSeries(S::kRsc), months);
  EXPECT_EQ(g.GetSeries(S::kRsEvaporation), months);
  EXPECT_EQ(g.GetSeries(S::kRsInterception), std::vector<double>(14, 20.0));
  EXPECT_EQ(g.GetSeries(S::kAlbedo), std::vector<double>(5, 0.2));
  EXPECT_EQ(g.GetSeries(S::kLAI), Values(1, 1, 3, 4, 1));
  EXPECT_EQ(g.GetSeries(S::kZ0), Values(0.02, 0.02, 0.06, 0.08, 0.02));
  EXPECT_EQ(g.GetSeries(S::kVCF), Values(0.5, 0.5, 0.8, 0.9, 0.5));
  EXPECT_EQ(g.GetSeries(S::kRootDepth), Values(0.2, 0.2, 0.3, 0.4, 0.2));
  EXPECT_EQ(g.GetSeries(S::kNFactor), std::vector<double>(5, -9999.9));

  const LanduseRecord& m = Record(2);
  EXPECT_EQ(m.GetJulDays(), (std::vector<int>{0, 1, 120, 210, 366}));
  int tillage_count = 0;
  const int* tillage = nullptr;
  m.GetSoilTillage(tillage_count, tillage);
  double a1 = 0, a2 = 0, a3 = 0, b1 = 0, b2 = 0, b3 = 0;
  m.GetRoughCoeff1(a1, a2, a3);
  m.GetRoughCoeff2(b1, b2, b3);
  ASSERT_EQ(tillage_count, 2);
  EXPECT_EQ(
      Values(m.GetMethod(), m.GetFixpointCount(), m.GetParameterSwitchBits(), m.GetLimitReduWet(),
             m.GetETPHamonFactor(), m.GetIntercepCap(), m.GetStartVegetationPeriodForBalance(),
             m.GetStopVegetationPeriodForBalance(), m.GetJDVegetationResetForBalance(),
             m.GetAltDep(3), m.GetPhenologyStartDay(), m.GetPhenologyFixpointIndex(), tillage[0],
             tillage[2], m.GetCultivationMethod(), m.GetCropDistX(), m.GetCropDistY(), m.GetK_ST(),
             m.GetC_WR(), a1, a2, a3, b1, b2, b3, m.GetNfFreezing(), m.GetNfThawing()),
      Values(2, 4, 16, 0.2, 1.3, 0.4, 2, 3, 90, -0.025, -1, 0, 280 - 366, 280, 2, 0.75, 0.2, 12,
             1.1, 0.02, 0.7, 0.15, 0.0198, 0.712, 0.142, 0.6, 0.9))
      << "maize";
  EXPECT_EQ(m.GetSeries(S::kAlbedo), Values(0.2, 0.2, 0.18, 0.22, 0.2));
  EXPECT_EQ(m.GetSeries(S::kRsc), Values(90, 90, 60, 50, 90));
  EXPECT_EQ(m.GetSeries(S::kRsInterception), Values(30, 30, 30, 40, 30));
  EXPECT_EQ(m.GetSeries(S::kRsEvaporation), Values(250, 250, 250, 150, 250));
  EXPECT_EQ(m.GetSeries(S::kLAI), Values(0.5, 0.5, 1, 5, 0.5));
  EXPECT_EQ(m.GetSeries(S::kZ0), Values(0.01, 0.01, 0.05, 0.2, 0.01));
  EXPECT_EQ(m.GetSeries(S::kVCF), Values(0.1, 0.1, 0.3, 0.95, 0.1));
  EXPECT_EQ(m.GetSeries(S::kRootDepth), Values(0.1, 0.1, 0.3, 0.9, 0.1));
  EXPECT_EQ(m.GetSeries(S::kStemDiameter), Values(0.01, 0.01, 0.02, 0.03, 0.01));
  EXPECT_EQ(m.GetSeries(S::kResidueCoverage), Values(0.3, 0.3, 0.1, 0.1, 0.3));
  EXPECT_EQ(m.GetSeries(S::kNFactor), Values(0.5, 0.5, 0.8, 0.9, 0.5));

  const LanduseRecord& b = Record(3);
  EXPECT_EQ(Values(b.GetMethod(), b.GetFStar(), b.GetDP1_t1_dorm(), b.GetDP1_T_Bf(),
                   b.GetJDReset_TStart(), b.GetmaxStartJDforDP1(), b.GetPhenologyFixpointIndex(),
                   b.GetPhenologyFlag()),
            Values(3, 250, 30, 5.5, 300, 150, 2, 0))
      << "beech";

  const LanduseRecord& o = Record(4);
  EXPECT_EQ(Values(o.GetDP2_t0_dorm(), o.GetDP2_t1_dorm(), o.GetDP2_T_Bf(), o.GetDP2_T_Bc(),
                   o.GetDP2_Par_a(), o.GetDP2_Par_b(), o.GetDP2_Offset_1(), o.GetDP2_Offset_2()),
            Values(10, 40, 4, 8, 0.1, 0.2, -3.4, 12))
      << "oak";
  EXPECT_TRUE(Shows("parameter \"DP2_Offset_1\" not found for land use 40; Using default of -3.4"));
  EXPECT_TRUE(Shows("parameter \"DP2_Offset_2\" not found for land use 40; Using default of 12"));

  const LanduseRecord& p = Record(5);
  EXPECT_EQ(Values(p.GetPhenologyFixpointIndex(), p.GetDP4_t0_dorm(), p.GetDP4_t1_dorm(),
                   p.GetDP4_T0(), p.GetDP4_T1(), p.GetDP4_Par_a(), p.GetDP4_Par_b(),
                   p.GetDP4_T_xylstop(), p.GetDP4_t_xs1(), p.GetDP4_SPSLF()),
            Values(3, 5, 45, 2.5, 9, 0.3, -0.4, 11, 60, 2))
      << "spruce";
}

TEST_F(LanduseTableTest, MinimalBlockEntryTakesEveryDefault) {
  ASSERT_EQ(ReadBlock("VariableDayCount", kRequired3 + "JulDays = 1 180 366;"), 0) << screen_.str();
  const LanduseRecord& r = Record(1);
  EXPECT_EQ(r.GetJulDays(), (std::vector<int>{0, 1, 180, 366}));
  EXPECT_EQ(r.GetParameterSwitchText(), "11111111");
  int count = -1;
  const int* days = nullptr;
  r.GetSoilTillage(count, days);
  ASSERT_NE(days, nullptr);
  EXPECT_EQ(Values(r.GetParameterSwitchBits(), r.GetLimitReduWet(), r.GetETPHamonFactor(),
                   r.GetStartVegetationPeriodForBalance(), r.GetStopVegetationPeriodForBalance(),
                   r.GetJDVegetationResetForBalance(), r.GetJDVegetationWriteForBalance(),
                   r.GetIntercepCap(), r.GetStressFactorDynPhen(), count, days[0],
                   r.GetCultivationMethod(), r.GetCropDistX(), r.GetK_ST(), r.GetC_WR(),
                   r.GetNfFreezing()),
            Values(255, 0.0, 1.0, 0, 0, -1, -1, -1.0, 0.0, 0, -9999, 3, 0.3, 10.0, 1.5, -9999.9))
      << "minimal";
  // Accessors outside 0..n, and the summary of a table whose only record leaves both days at -1.
  EXPECT_EQ(Values(r.GetJulDay(4), r.GetAltDep(-1), r.GetAltDep(0), r.GetAltDep(2),
                   r.GetForcingThreshold(0), Record(0).GetJDVegetationResetForBalance(),
                   Record(0).GetJDVegetationWriteForBalance()),
            Values(-1, 0, 0, 0.01, -1, 1, 365));
}

// Day lists, whole keys, switch texts, cultivation words and the dynamic fixpoint.
TEST_F(LanduseTableTest, BlockValuesAsWritten) {
  struct Case {
    std::string method;
    std::string items;
    std::vector<double> expected;  // days 1..3, switch bits, RootDist, fixpoint, cultivation
  };
  const std::string d = "JulDays = 1 180 366;";
  const std::string dp3 =
      "DP1_t1_dorm = 3; DP1_T_Bf = 5; JDReset_TStart = 1; maxStartJDforDP1 = 9;";
  const std::string v = "VariableDayCount";
  const std::vector<Case> cases = {
      // Commas and line ends between days: every day is read, not only the first.
      {v, "JulDays = 1, 180, 366;", Values(1, 180, 366, 255, 1, 0, 3)},
      {v, "JulDays = 1 180\n 366;", Values(1, 180, 366, 255, 1, 0, 3)},
      // A key inside another key's name or a comment word is not that key.
      {v, "RootDistMax = 9; # RootDist 7\n" + d, Values(1, 180, 366, 255, 1, 0, 3)},
      {v, "useInternalParameters = 10000000;" + d, Values(1, 180, 366, 128, 1, 0, 3)},
      {v, "useInternalParameters = 00000001;" + d, Values(1, 180, 366, 1, 1, 0, 3)},
      {v, "useInternalParameters = x0101;" + d, Values(1, 180, 366, 80, 1, 0, 3)},
      {v, "SR_cultivation = nonconserving;" + d, Values(1, 180, 366, 255, 1, 0, 2)},
      {v, "SR_cultivation = conserving;" + d, Values(1, 180, 366, 255, 1, 0, 1)},
      {v, "SR_cultivation = other;" + d, Values(1, 180, 366, 255, 1, 0, 3)},
      // A VariableDayCount entry ignores DP keys; method 5 needs no F* and keeps index 0.
      {v, "F* = x; JulDays = 1 180 366;", Values(1, 180, 366, 255, 1, 0, 3)},
      {"DynamicPhenology_3", dp3 + "ForcingThreshold = 0 5 7; JulDays = 1 -1 366;",
       Values(1, -1, 366, 255, 1, 0, 3)},
      {"DynamicPhenology_1", kPhenology + "JulDays = 1 -1 366;", Values(1, -1, 366, 255, 1, 2, 3)},
      // Without a negative day of 1..n-1 no fixpoint is the dynamic one.
      {"DynamicPhenology_1", kPhenology + "JulDays = 1 100 366;",
       Values(1, 100, 366, 255, 1, -1, 3)},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(ReadBlock(c.method, c.items + "\n" + kRequired3), 0) << c.items << screen_.str();
    const LanduseRecord& r = Record(1);
    EXPECT_EQ(Values(r.GetJulDay(1), r.GetJulDay(2), r.GetJulDay(3), r.GetParameterSwitchBits(),
                     r.GetRootDist(), r.GetPhenologyFixpointIndex(), r.GetCultivationMethod()),
              c.expected)
        << c.items;
  }
  // Method 5 thresholds, with the wrap value at index 0.
  EXPECT_EQ(Values(Record(1).GetForcingThreshold(0), Record(1).GetForcingThreshold(2)),
            Values(-1, -1));
  ASSERT_EQ(ReadBlock("DynamicPhenology_3",
                      dp3 + "ForcingThreshold = 0 5 7; JulDays = 1 -1 366;" + kRequired3),
            0);
  EXPECT_EQ(Values(Record(1).GetForcingThreshold(0), Record(1).GetForcingThreshold(2),
                   Record(1).GetForcingThreshold(4)),
            Values(7, 5, -1));
}

TEST_F(LanduseTableTest, CountZeroAndSummaryRecord) {
  ASSERT_EQ(Read("[landuse_table]\n0\n"), 0);
  const LanduseRecord& s = Record(0);
  EXPECT_EQ(
      Values(s.GetCode(), s.GetJDVegetationResetForBalance(), s.GetJDVegetationWriteForBalance()),
      Values(0, 1, 365));
  // Write days of -1 and 0 only; the first positive reset day stands in record 3.
  std::vector<LanduseRecord> table(5);
  for (int i = 1; i <= 4; ++i) {
    table[i].SetJDVegetationResetForBalance(i < 3 ? -1 : 10 * i);
    table[i].SetJDVegetationWriteForBalance(i % 2 == 0 ? -1 : 0);
  }
  SummariseLanduseTable(table);
  const LanduseRecord& t = table[0];
  EXPECT_EQ(
      Values(t.GetCode(), t.GetJDVegetationResetForBalance(), t.GetJDVegetationWriteForBalance()),
      Values(4, 30, 365));
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
      // A misspelt method: a block entry all the same, named, not a one-line entry.
      {h + "1\n10 grass method VariableDayCont {\n", 29,
       "landuse table entry 1: method \"VariableDayCount\" not found; \"VariableDayCont\" stands "
       "in its place"},
      {h + "1\n10 grass method Static {\n", 29,
       "the method \"Static\" is none of VariableDayCount, DynamicPhenology_1 to"},
      {h + "1\n" + fixed35.substr(0, 60) + "\n", 29, "ends after"},
      {h + "1\n" + fixed35 + " x 3.4\n", 29, "value 36 (\"x\")"},
      {h + "1\n10 grass 0.2 1 2 3 4 5 6 7 8 9 10 11 12 100 abc 250 300 1 1 1 1 1 1 1 1 1 1 1 1 1 1 "
           "1 1\n",
       29, "value 17 (\"abc\")"},
      {h + "1\n10 " + std::string(200, 'g') + " 0.2 " + fixed35.substr(12) + "\n", 29,
       "longer than 199"},
      // Values no land use can have, in the fixed form too.
      {h + "1\n10 grass 1.2 " + fixed35.substr(13) + "\n", 29,
       "\"Albedo\" of land use 10 (1.2) lies outside 0 to 1"},
      {h + "1\n10 grass 0.2 1 2 -3 " + fixed35.substr(19) + "\n", 29,
       "\"rsc\" of land use 10: value 3 (-3) lies outside 0 to 1e+06 s/m"},
      {h + "1\n" + fixed35 + " -5 3.4\n", 29, "\"RootDist\" of land use 10 (-5) lies outside -1"},
      {h + "1\n" + fixed35.substr(0, 58) + "-5" + fixed35.substr(59) + "\n", 29,
       "\"LAI\" of land use 10: value 2 (-5) lies outside 0 to 100 m2/m2"},
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
      {"VariableDayCount", kRequired3 + "JulDays = 1 180 300 366;", "holds 3 values instead of 4"},
      {"VariableDayCount", kRequired3 + "JulDays = 1 x 366;", "value 2 (\"x\") is not a number"},
      {"VariableDayCount", "RootDist = one;" + kRequired3 + days, "RootDist"},
      {"VariableDayCount", kRequired3 + days + "useInternalParameters = yes;", "holds no switch"},
      {"VariableDayCount", kRequired3 + days + "SR_cultivation = maybe;",
       "no valid value for parameter \"SR_cultivation\" for land use 30"},
      {"VariableDayCount", kRequired3 + days + "n-factor = 1 2;", "holds 2 values instead of 3"},
      {"DynamicPhenology_1", kRequired3 + days, "parameter \"F*\" not found for land use 30"},
      // A misspelt key is named with the key it stands for; a known key near it is none.
      {"VariableDayCount", Replace(kRequired3, "Albedo =", "Albdo =") + days,
       "parameter \"Albedo\" not found for land use 30; \"Albdo\" stands in its place"},
      {"DynamicPhenology_2",
       kRequired3 + days + kPhenology + "DP2_t0_dorm = 10; DP2_t1_dorm = 40; DP2_T_Bc = 8;",
       "parameter \"DP2_T_Bf\" not found for land use 30\n"},
      {"DynamicPhenology_3", kRequired3 + "JulDays = 1 180 365;",
       "(Code: 30): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and "
       "not 365"},
      {"DynamicPhenology_3", kRequired3 + "JulDays = 2 180 366;",
       "the first sample day (JulDay) must be 1 and not 2"},
      // Days and day shifts that would overflow the day arithmetic of the season.
      {"VariableDayCount", kRequired3 + "JulDays = 1 -2147483648 366;",
       "\"JulDays\" of land use 30: the day -2147483648 lies outside -366 to 366"},
      // Fixpoint days are days of the year in their order; the dynamic fixpoint and the days
      // after the start that follow it stand outside (the last fixpoint is never dynamic).
      {"VariableDayCount", kRequired3 + "JulDays = 0 180 366;",
       "\"JulDays\" of land use 30: value 1 (0) lies outside 1 to 366"},
      {"VariableDayCount", kRequired3 + "JulDays = 1 -1 366;",
       "value 2 (-1) lies outside 1 to 366"},
      {"VariableDayCount", kRequired3 + "JulDays = 1 200 180;",
       "value 3 (day 180) comes before the day 200 of the fixpoint before it"},
      {"DynamicPhenology_1", kRequired3 + kPhenology + "JulDays = 1 100 -1;",
       "value 3 (-1) lies outside 1 to 366"},
      {"DynamicPhenology_1", kRequired3 + kPhenology + "JulDays = 1 200 -1 30 100;",
       "value 5 (day 100) comes before the day 200"},
      {"VariableDayCount", AltDep("0 1e30 0") + days,
       "\"AltDep\" of land use 30: value 2 (1e+30 days per m) lies outside -1 to 1"},
      {"VariableDayCount", AltDep("9223372036854775807 0 0") + days,
       "value 1 (9.22337e+18 days per m) lies outside -1 to 1"},
      {"DynamicPhenology_1",
       kRequired3 + days + Replace(kPhenology, "DP1_t1_dorm = 30", "DP1_t1_dorm = 2147483647"),
       "\"DP1_t1_dorm\" of land use 30: the day 2147483647 lies outside -366 to 366"},
      // Values no land use can have.
      {"VariableDayCount", Replace(kRequired3, "RootDist = 1.0", "RootDist = -2") + days,
       "\"RootDist\" of land use 30 (-2) lies outside -1 to 1000"},
      {"VariableDayCount", Replace(kRequired3, "TReduWet = 0.95", "TReduWet = 1.5") + days,
       "\"TReduWet\" of land use 30 (1.5) lies outside 0 to 1"},
      {"VariableDayCount", kRequired3 + days + "LimitReduWet = -0.1;",
       "\"LimitReduWet\" of land use 30 (-0.1) lies outside 0 to 1"},
      {"VariableDayCount", Replace(kRequired3, "HReduDry = 3.45", "HReduDry = -3") + days,
       "\"HReduDry\" of land use 30 (-3) lies outside 0 to 1e+06 m"},
      {"VariableDayCount", kRequired3 + days + "IntercepCap = 1e308;",
       "\"IntercepCap\" of land use 30 (1e+308) lies outside 0 to 100 mm"},
      {"VariableDayCount", kRequired3 + days + "StressFactorDynPhen = -1;",
       "\"StressFactorDynPhen\" of land use 30 (-1) lies outside 0 to 1000"},
      {"VariableDayCount", Replace(kRequired3, "Albedo = 0.25 0.20", "Albedo = 0.25 1.2") + days,
       "\"Albedo\" of land use 30: value 2 (1.2) lies outside 0 to 1"},
      {"VariableDayCount", Replace(kRequired3, "rsc = 80 60 80", "rsc = 80 60 -80") + days,
       "\"rsc\" of land use 30: value 3 (-80) lies outside 0 to 1e+06 s/m"},
      {"VariableDayCount", Replace(kRequired3, "VCF = 0.5 0.9", "VCF = 0.5 1.5") + days,
       "\"VCF\" of land use 30: value 2 (1.5) lies outside 0 to 1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadBlock(c.method, c.items), 29) << c.items;
    EXPECT_TRUE(Shows(c.message)) << c.items << "\n--- screen:\n" << screen_.str();
    EXPECT_TRUE(Shows("landuse table code 30: some values could not be read\n{")) << c.items;
  }
}

}  // namespace
}  // namespace velorn

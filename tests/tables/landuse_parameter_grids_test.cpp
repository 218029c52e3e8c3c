// Land-use parameter grids and dynamic phenology: creation at the start date, the daily update
// with hourly and daily steps, switch bits, vegetation period, the seven-day mean, leaf fall,
// the yearly reset at altitude, a year of De Bilt temperatures, and the failures.
#include "tables/landuse_parameter_grids.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/model_date.h"
#include "tables/dynamic_phenology.h"
#include "tables/landuse_curve_values.h"
#include "tests/support/landuse_grids_test.h"

namespace velorn {
namespace {

constexpr double kNd = -9999.0;

const std::string kCommon = "RootDist = 1; TReduWet = 0.9; HReduDry = 4; ";
const std::string kPlain =
    "Albedo = 0.2 0.2 0.3 0.2; rsc = 80 80 60 80; LAI = 1 1 5 1; Z0 = 0.02 0.02 0.1 0.02;\n"
    "VCF = 0.5 0.5 0.9 0.5; RootDepth = 0.2 0.2 0.5 0.2; AltDep = 0 0 0 0; }\n";
const std::string kFive =
    "Albedo = 1 1 1 1 1; rsc = 1 1 1 1 1; LAI = 1 2 3 4 5; Z0 = 1 1 1 1 1; VCF = 1 1 1 1 1;\n"
    "RootDepth = 1 1 1 1 1; ";
const std::string kSpruce =
    "F* = 1; DP1_t1_dorm = 1; DP1_T_Bf = 0; maxStartJDforDP1 = 150; JulDays = 1 100 -1 30 366;\n"
    "DP4_t0_dorm = 250; DP4_t1_dorm = 1; DP4_T0 = -50; DP4_T1 = 0; DP4_Par_a = 1;\n"
    "DP4_Par_b = 0; DP4_T_xylstop = 25; DP4_t_xs1 = 3; DP4_SPSLF = 2; ";

const std::string kTable =
    "[landuse_table]\n8\n"
    "10 meadow method VariableDayCount { " +
    kCommon +
    "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
    "JulDays = 1 60 240 366; " +
    kPlain + "20 beech method DynamicPhenology_1 { " + kCommon +
    "F* = 100; DP1_t1_dorm = 1; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n"
    "JulDays = 1 -1 30 366; Albedo = 1 1 1 1; rsc = 1 1 1 1; LAI = 0.5 0.5 6 0.5; Z0 = 1 1 1 1;\n"
    "VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n"
    "30 lawn method VariableDayCount { " +
    kCommon + "useInternalParameters = 11101111; JulDays = 1 60 240 366; " + kPlain +
    "40 spruce method DynamicPhenology_4 { " + kCommon + kSpruce + "JDReset_TStart = 300; " +
    kFive +
    "AltDep = 0 0 0 0 0; }\n"
    "50 fir method DynamicPhenology_4 { " +
    kCommon + kSpruce + "JDReset_TStart = 2; " + kFive +
    "AltDep = 0 0.01 0 0 0; }\n"
    "60 oak method DynamicPhenology_1 { " +
    kCommon +
    "F* = 150; DP1_t1_dorm = 32; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n"
    "JulDays = 1 -1 30 366; Albedo = 1 1 1 1; rsc = 1 1 1 1; LAI = 0.5 0.5 6 0.5; Z0 = 1 1 1 1;\n"
    "VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n"
    "70 crop method DynamicPhenology_3 { " +
    kCommon +
    "DP1_t1_dorm = 30; DP1_T_Bf = 0; JDReset_TStart = 1; maxStartJDforDP1 = 150;\n"
    "JulDays = 1 90 200 366; ForcingThreshold = -1 100 300 -1; Albedo = 1 1 1 1; rsc = 1 1 1 1;\n"
    "LAI = 1 1 1 1; Z0 = 1 1 1 1; VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n"
    "80 pasture method VariableDayCount { " +
    kCommon + "StartVegetationPeriodForBalance = 2; JulDays = 1 60 240 366; " + kPlain;

// The published forcing function of the sequential models (Chuine 2000, base temperature 0).
double ChuineForcing(double t) {
  return 28.4 / (1.0 + std::exp(-0.185 * (t - 18.4)));
}

class ParameterGridsTest : public test::LanduseGridsTest {
 protected:
  void SetUp() override {
    test::LanduseGridsTest::SetUp();
    ASSERT_EQ(ReadTable(kTable), 0) << screen_.str();
  }
  void Generate(int layers = 1) {
    settings_.generateMultiLayerParameterGrids(layers);
    settings_.RegisterLanduseStacks();
  }
  double At(const std::string& name, int r, int c) { return grid(name)[r][c]; }
  // `days` days from `first`, each in `steps` steps whose temperatures alternate around `mean`
  // by `swing`; `minutes` is the step length the caller passes.
  void RunDays(ModelDate first, int days, int steps, double minutes, double mean,
               double swing = 0) {
    ModelDate date = first;
    for (int day = 0; day < days; ++day) {
      RunSteps(date, 1, steps, steps, minutes, mean, swing);
      date = AddDays(date, 1);
    }
  }
  // Steps `from` to `to` of the day of `date` divided into `steps` steps; a step's hour is the
  // hour at its end.
  void RunSteps(ModelDate date, int from, int to, int steps, double minutes, double mean,
                double swing = 0) {
    for (int s = from; s <= to; ++s) {
      date.hour = s * 24 / steps;
      SetTemperature(mean + (s % 2 == 0 ? swing : -swing));
      Step(date, minutes);
    }
  }
};

TEST_F(ParameterGridsTest, CreationEvaluatesEveryLayerAtTheStartDate) {
  // 15 April 2003 is day 105: LAI 1 + 4 x 45/180 in a meadow cell.
  Build({{1, 1}, {kNd, 3}}, 400, {2003, 4, 15, 24}, {{1, kNd}, {kNd, 3}});
  Generate(2);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(At("leaf_area_index2", 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 2), 2.0);
  EXPECT_DOUBLE_EQ(At("root_depth1", 1, 2), 0.2 + 0.3 * 45.0 / 180.0);
  EXPECT_DOUBLE_EQ(At("albedo", 1, 2), 0.2 + 0.1 * 45.0 / 180.0);
  for (const char* name : {"root_depth2", "leaf_area_index2", "RoughnessLength2",
                           "SurfaceCanopyResistance2", "VegetationDuration2", "Pheno_start2"})
    EXPECT_EQ(At(name, 1, 2), kNd) << name;
  EXPECT_EQ(At("VegetationStart1", 1, 1), -1.0);
  EXPECT_EQ(At("VegetationStop1", 1, 1), -1.0);
  EXPECT_EQ(At("VegetationDuration1", 1, 1), 0.0);
  // A switch bit 16 that is clear leaves the LAI of the lawn cell alone, the other grids not.
  EXPECT_EQ(At("leaf_area_index1", 2, 2), 0.0);
  grid("leaf_area_index1")[2][2] = 7.0;
  RunDays({2003, 4, 16, 24}, 1, 1, 1440, 10);
  EXPECT_EQ(At("leaf_area_index1", 2, 2), 7.0);
  EXPECT_DOUBLE_EQ(At("vegetation_coverage_degree1", 2, 2), 0.5 + 0.4 * 46.0 / 180.0);
}

struct StepCase {
  int steps;
  double minutes;
  double swing;
};

class StepLengthTest : public ParameterGridsTest, public ::testing::WithParamInterface<StepCase> {};

// Hourly steps (whatever step length the caller passes) and daily steps give the same daily
// means, forcing sums, start days and parameters; the day of year follows 2003, not the leap
// year 2004 in which the run would end.
TEST_P(StepLengthTest, DailyParametersDoNotDependOnTheStep) {
  const StepCase& p = GetParam();
  Build({{1, 2}}, 400, {2003, 1, 1, 0});
  settings_.end_date = {2004, 12, 31, 24};
  settings_.month_lengths[1] = 29;
  Generate();
  RunDays({2003, 1, 1, 0}, 60, p.steps, p.minutes, 10.0, p.swing);
  int expected_start = -1;
  double sum = 0;
  for (int d = 1; d <= 60; ++d) {
    sum += ChuineForcing(10.0);
    if (expected_start < 0 && sum > 100) expected_start = d;
  }
  EXPECT_EQ(expected_start, 21);
  EXPECT_NEAR(At("SumOfForcingUnits1", 1, 2), 21 * ChuineForcing(10.0), 1e-9);
  EXPECT_EQ(At("Pheno_start1", 1, 2), expected_start);
  // Day 60 lies after the fixpoint 30 days past the start: 6 towards 0.5 at day 366.
  EXPECT_NEAR(At("leaf_area_index1", 1, 2), 6.0 - 5.5 * 9.0 / 315.0, 1e-12);
  EXPECT_NEAR(At("TemperatureMOVAVG7", 1, 2), 10.0, 1e-12);
  // The meadow's vegetation period opens on day 60 (1 March 2003) in the step that ends it; the
  // duration counts steps.
  EXPECT_EQ(At("VegetationStart1", 1, 1), 60.0);
  EXPECT_EQ(At("VegetationDuration1", 1, 1), 1.0);
  // The parameters change only in the step that ends a day: the first step of day 61 keeps
  // those of day 60 (unless it is the day's only step), the last sets those of day 61.
  RunSteps({2003, 3, 2, 0}, 1, 1, p.steps, p.minutes, 10.0, p.swing);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), p.steps == 1 ? 1.0 + 4.0 / 180.0 : 1.0);
  RunSteps({2003, 3, 2, 0}, 2, p.steps, p.steps, p.minutes, 10.0, p.swing);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), 1.0 + 4.0 / 180.0);
  EXPECT_DOUBLE_EQ(At("vegetation_coverage_degree1", 1, 1), 0.5 + 0.4 / 180.0);
  EXPECT_EQ(At("VegetationDuration1", 1, 1), 1.0 + p.steps);
}

// A start within a day (at noon, 3-hourly steps) has the parameters of the day before (day 60)
// as the straight run has them, with or without a stored date. A warm start evaluates the
// parameters at the date of the last evaluation the storage content file holds (day 60),
// leaving the albedo the snow model's state gave, until the step that ends the day; the run
// appends its own date. A date that is none is bad state.
TEST_F(ParameterGridsTest, AWarmStartWithinADayContinuesWithTheStoredParameters) {
  Build({{1}}, 400, {2003, 3, 2, 12});
  Generate();
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), 1.0);  // day 60, not 61
  const std::string file = dir_ / "soilstorage_0";
  std::ofstream(file) << "[unsatzon_model]\n\n[landuse_parameters]\n2003 3 1 24 (date)\n";
  grid("albedo")[1][1] = 0.8;
  settings_.ContinueLanduseParameters(file, true);
  RunSteps({2003, 3, 2, 0}, 5, 7, 8, 180, 10);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), 1.0);  // day 60, not 61
  EXPECT_EQ(At("albedo", 1, 1), 0.8);
  RunSteps({2003, 3, 2, 0}, 8, 8, 8, 180, 10);
  EXPECT_DOUBLE_EQ(At("albedo", 1, 1), 0.2 + 0.1 / 180.0);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), 1.0 + 4.0 / 180.0);
  settings_.AppendLanduseEvaluationDate(file);
  settings_.ContinueLanduseParameters(file, false);  // the first section: day 60
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 1), 1.0);
  std::ofstream(file) << "[landuse_parameters]\n2003 2 30 24\n";
  EXPECT_EQ(test::ThrownCode([&] { settings_.ContinueLanduseParameters(file, false); }, 0), 71);
  // Dynamic phenology's state of another table (values per cell: 3 + 7 + 5 + 6 fixpoint days)
  // or without a line for the process's cell is bad state too.
  for (const char* state : {"phenology 7 0 20\n1 1", "phenology 7 0 21\n"}) {
    std::ofstream(file) << "[landuse_parameters]\n2003 3 1 24\n" << state << "\n";
    EXPECT_EQ(test::ThrownCode([&] { settings_.ContinueLanduseParameters(file, false); }, 0), 71);
  }
}

TEST_F(ParameterGridsTest, VegetationDurationWithoutAStopFixpointCountsOnAfterTheStart) {
  // Meadow and pasture open on day 60; the meadow closes on day 240, the pasture has no stop.
  Build({{1, 8}}, 400, {2003, 2, 24, 24});
  Generate();
  RunDays({2003, 2, 24, 0}, 16, 1, 1440, 10);  // days 55 .. 70
  EXPECT_EQ(At("VegetationStart1", 1, 2), 60.0);
  EXPECT_EQ(At("VegetationDuration1", 1, 2), 11.0);
  RunDays({2003, 3, 12, 0}, 180, 1, 1440, 10);  // days 71 .. 250
  EXPECT_EQ(At("VegetationStop1", 1, 2), 0.0);
  EXPECT_EQ(At("VegetationDuration1", 1, 2), 191.0);
  EXPECT_EQ(At("VegetationStop1", 1, 1), 240.0);
  EXPECT_EQ(At("VegetationDuration1", 1, 1), 180.0);  // days 60 .. 239
}

INSTANTIATE_TEST_SUITE_P(Steps, StepLengthTest,
                         ::testing::Values(StepCase{1, 1440, 0}, StepCase{24, 60, 4},
                                           StepCase{24, 1440, 4}, StepCase{8, 180, 4}));

TEST_F(ParameterGridsTest, SevenDayMeanOverTheDaysSeenSoFar) {
  Build({{2}}, 400, {2003, 1, 1, 24});
  Generate();
  const std::vector<double> means = {4, 8, 0, 0, 0, 0, 0, 12, 20};
  const std::vector<double> expected = {4, 6, 4, 3, 2.4, 2, 12.0 / 7, 20.0 / 7, 32.0 / 7};
  ModelDate date{2003, 1, 1, 24};
  for (std::size_t i = 0; i < means.size(); ++i) {
    RunDays(date, 1, 1, 1440, means[i]);
    EXPECT_NEAR(At("TemperatureMOVAVG7", 1, 1), expected[i], 1e-12) << "day " << i + 1;
    date = AddDays(date, 1);
  }
}

// Two method-6 layers in one cell: each counts its cold days once a day, so leaf fall comes on
// the fifth cold day (day 3 is the first one the entry looks at), not the third.
TEST_F(ParameterGridsTest, LeafFallAfterFiveColdDaysWithTwoLayers) {
  Build({{4}}, 400, {2003, 1, 1, 24}, {{4}});
  Generate(2);
  RunDays({2003, 1, 1, 24}, 10, 1, 1440, 20);
  EXPECT_EQ(At("Pheno_start1", 1, 1), 1.0);
  EXPECT_EQ(At("StartDayOfLeaveFall", 1, 1), 7.0);
}

// At 1400 m fixpoint 2 of the fir lies 10 days later, before and after its reset on day 2.
TEST_F(ParameterGridsTest, CellFixpointDaysKeepTheirAltitudeShift) {
  Build({{5}}, 1400, {2003, 1, 1, 24});
  Generate();
  EXPECT_EQ(stack("MultipleStartTimes1")[1][1][2], 110.0);
  RunDays({2003, 1, 1, 24}, 3, 1, 1440, -20);
  EXPECT_EQ(stack("MultipleStartTimes1")[1][1][2], 110.0);
  EXPECT_EQ(stack("MultipleStartTimes1")[1][1][3], -1.0);
}

TEST(DynamicPhenologyRates, AgainstThePublishedForms) {
  struct Case {
    double value, expected;
  };
  const std::vector<Case> cases = {
      {ForcingRate(5.0, 5.0), 0.0},
      {ForcingRate(23.4, 5.0), 14.2},
      {ForcingRate(10.0, 0.0), ChuineForcing(10.0)},
      {ForcingRate(-3.0, 0.0), 0.0},
      {ChillingRate(2.3, -3.4, 8.0, 12.0), 0.5},
      {ChillingRate(10.0, -3.4, 8.0, 12.0), 0.5},
      {ChillingRate(13.0, -3.4, 8.0, 12.0), 0.0},
      {MoistureStress(77.0, 4.0), 0.5},
      {MoistureStress(3.0, 4.0), 0.0},
      {MoistureStress(200.0, 150.0), 0.0},
      {StressedIncrement(2.0, 0.5, 2.0), 4.0},
      {StressedIncrement(2.0, 0.5, 0.0), 2.0},
  };
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_NEAR(cases[i].value, cases[i].expected, 1e-12) << "case " << i;
}

// A forcing sum equal to the threshold starts nothing for method 3, but reaches the fixpoint
// for method 5; method 6 without chilling takes DP4_Par_a as its threshold.
TEST_F(ParameterGridsTest, ThresholdsAreStrictExceptForMethod5) {
  PhenologyWeather weather;
  PhenologyState beech;
  beech.forcing_sum = 100;  // F* 100; 0 degC adds nothing above the base of 0 degC
  StepPhenology(settings_.landuse_table[2], 10, weather, 400, beech);
  EXPECT_EQ(beech.start_day, -1);
  std::vector<double> days = {0, 1, -1, -1, 366};
  PhenologyState crop;
  crop.forcing_sum = 90;
  crop.fixpoint_days = days.data();
  weather.temperature = 10;  // 10 units above the base of 0 degC: 100, the threshold
  StepPhenology(settings_.landuse_table[7], 50, weather, 400, crop);
  EXPECT_EQ(days, (std::vector<double>{100, 1, 50, -1, 366}));
  PhenologyState spruce;
  weather.temperature = -100;
  StepPhenology(settings_.landuse_table[4], 10, weather, 400, spruce);
  EXPECT_EQ(spruce.threshold, 1.0);
}

struct FailureCase {
  double code;
  bool remove_albedo;
  bool remove_temperature;
  int expected;
  const char* message;
};

class FailureTest : public ParameterGridsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, EndsWithItsCodeAndMessage) {
  const FailureCase& c = GetParam();
  Build({{c.code}}, 400, {2003, 1, 1, 24});
  if (c.remove_albedo) registry_[registry_.FindIdentifier("albedo")].identifier = "other";
  if (c.remove_temperature) registry_[registry_.FindIdentifier("temperature")].identifier = "other";
  const int code = test::ThrownCode([&] {
    Generate();
    RunDays({2003, 1, 1, 24}, 1, 1, 1440, 10);
  });
  EXPECT_EQ(code, c.expected);
  EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FailureTest,
    ::testing::Values(FailureCase{1, true, false, kRegistryFullCode, "Albedo Grid not found"},
                      FailureCase{2, false, true, kGridMissingCode,
                                  "could not find grid with label \"temperature\""},
                      FailureCase{9, false, false, kUnknownLanduseCode,
                                  "land use 9 in grid landuse1"}));

// A year of De Bilt daily mean temperatures (KNMI station 260, 2010) drives the oak (method 3,
// base 5 degC, forcing from day 32, threshold 150) to its leaf-out day.
TEST_F(ParameterGridsTest, LeafOutFromDeBiltTemperatures) {
  VELORN_REQUIRE_REFDATA(path, "knmi-debilt-daily/etmgeg_260.txt");
  std::ifstream file(path);
  std::vector<double> tg;
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("  260,2010", 0) != 0) continue;
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    tg.push_back(std::stod(fields.at(11)) / 10.0);  // TG, 0.1 degC
  }
  ASSERT_EQ(tg.size(), 365u);
  int expected = -1;
  double sum = 0;
  for (int d = 32; d <= 365 && expected < 0; ++d) {
    const double t = tg[static_cast<std::size_t>(d - 1)];
    if (t > 5.0) sum += 28.4 / (1.0 + std::exp(-0.185 * (t - 5.0 - 18.4)));
    if (sum > 150) expected = d;
  }
  ASSERT_GT(expected, 60);
  ASSERT_LT(expected, 180);

  Build({{6}}, 400, {2010, 1, 1, 24});
  Generate();
  ModelDate date{2010, 1, 1, 24};
  for (int d = 1; d <= 200; ++d) {
    SetTemperature(tg[static_cast<std::size_t>(d - 1)]);
    Step(date, 1440);
    date = AddDays(date, 1);
  }
  EXPECT_EQ(At("Pheno_start1", 1, 1), expected);
  // Leaf-out 30 days after the start, LAI from 0.5 to 6.
  EXPECT_NEAR(At("leaf_area_index1", 1, 1),
              expected + 30 <= 200 ? 6.0 - 5.5 * (200 - expected - 30) / (366.0 - expected - 30)
                                   : 0.5 + 5.5 * (200 - expected) / 30.0,
              1e-12);
}

// Cells of one entry at many altitudes share a curve per set of shifted fixpoint days. Every grid
// value must be what the entry gives the cell on its own, also for a cell whose altitude changes
// after set-up, and for a cell whose shift leaves the year only when that cell is reached.
class LanduseCurveTest : public ParameterGridsTest {
 protected:
  void SetUp() override {
    test::LanduseGridsTest::SetUp();
    ASSERT_EQ(ReadTable("[landuse_table]\n1\n10 meadow method VariableDayCount { " + kCommon +
                        "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
                        "JulDays = 1 60 240 366; Albedo = 0.2 0.2 0.3 0.2; rsc = 80 80 60 80;\n"
                        "LAI = 1 1 5 1; Z0 = 0.02 0.02 0.1 0.02; VCF = 0.5 0.5 0.9 0.5;\n"
                        "RootDepth = 0.2 0.2 0.5 0.2; AltDep = 0 0.02 -0.02 0; }\n"),
              0)
        << screen_.str();
  }
  // Every cell's grids against the entry's own evaluation at the cell's altitude.
  void ExpectCellValues(const ModelDate& date) {
    const LanduseRecord& e = settings_.landuse_table[1];
    const int d = e.GetDayOfYear(int(date.day), int(date.month), int(date.year));
    for (int r = 1; r <= settings_.nrows; ++r) {
      for (int c = 1; c <= settings_.ncols; ++c) {
        const double alt = grid("dem")[r][c];
        EXPECT_EQ(grid("leaf_area_index1")[r][c], e.InterpolateLAI(diag_, d, 1, r, c, alt));
        EXPECT_EQ(grid("albedo")[r][c], e.InterpolateAlbedo(diag_, d, 1, r, c, alt));
        EXPECT_EQ(grid("root_depth1")[r][c], e.InterpolateRootDepth(diag_, d, 1, r, c, alt));
        EXPECT_EQ(grid("SurfaceCanopyResistance1")[r][c], e.InterpolateRsc(diag_, d, 1, r, c, alt));
      }
    }
  }
  // The albedo at a model's own step date (the snow model's land albedo) through the curves:
  // every cell bit for bit what GetAlbedo gives it, the cells of a curve and the others.
  void ExpectStepAlbedo(const ModelDate& date) {
    const LanduseRecord* table = settings_.landuse_table;
    LanduseCurveValues albedo(LanduseSeries::kAlbedo, 1);
    albedo.Evaluate(diag_, table, settings_.landuse_grids.get(), date);
    ShiftedDaysCache days;
    for (int r = 1; r <= settings_.nrows; ++r) {
      for (int c = 1; c <= settings_.ncols; ++c) {
        const double alt = grid("dem")[r][c];
        EXPECT_EQ(albedo.Value(diag_, table, r, c, 1, alt, days),
                  table[1].GetAlbedo(diag_, int(date.day), int(date.month), int(date.year), 1, r, c,
                                     alt));
      }
    }
  }
};

TEST_F(LanduseCurveTest, CellsOfACurveTakeTheirOwnValues) {
  Build({{1, 1, 1}, {1, 1, 1}}, 400, {2003, 4, 15, 24});
  const std::vector<double> altitudes = {400, 900, 905.5, 1400, 3000, 899.9};
  for (int i = 0; i < 6; ++i) grid("dem")[1 + i / 3][1 + i % 3] = altitudes[std::size_t(i)];
  Generate();
  // At 900 m the fixpoints lie on days 70 and 230: day 105 gives LAI 1 + 4 x 35/160.
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 2), 1.875);
  ExpectCellValues({2003, 4, 15, 24});
  ASSERT_NE(CurveOfCell(*settings_.landuse_grids, 1, 1, 1, 1, 400), nullptr);
  ExpectStepAlbedo({2003, 4, 20, 12});
  grid("dem")[1][2] = 1400;  // changed after set-up: the cell evaluates on its own
  RunDays({2003, 6, 1, 24}, 1, 1, 1440, 10);
  EXPECT_DOUBLE_EQ(At("leaf_area_index1", 1, 2), 1.0 + 4 * (152 - 80.0) / (220 - 80));
  ExpectCellValues({2003, 6, 1, 24});
  ExpectStepAlbedo({2003, 6, 2, 6});
}

// A shift that leaves the year still ends the run with its code when the cell is evaluated.
TEST_F(LanduseCurveTest, ShiftOutOfTheYearEndsTheRun) {
  Build({{1, 1}}, 400, {2003, 4, 15, 24});
  grid("dem")[1][2] = 20400;  // fixpoint 2 on day 60 + 400
  EXPECT_EQ(test::ThrownCode([&] { Generate(); }), kShiftedDayCode);
}

}  // namespace
}  // namespace velorn

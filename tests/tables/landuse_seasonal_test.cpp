// Seasonal land-use parameters: day of year, altitude shift, interval search with the wrap over
// the year end, start-day holds, per-cell fixpoint days, the monthly rule, the n-factor, the
// vegetation-period tests and the failures, each against values computed by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/landuse_record.h"
#include "tests/support/landuse_grids_test.h"

namespace velorn {
namespace {

const char* const kSeasonalTable =
    "[landuse_table]\n7\n"
    // 1: fixed format; monthly rsc Jan..Dec, days 1 120 210 366.
    "10 grassland 0.20 80 80 75 70 60 55 50 55 60 70 80 85 1 120 210 366 "
    "1 3 4 1 0.02 0.06 0.08 0.02 0.5 0.8 0.9 0.5 0.2 0.3 0.4 0.2 1.5 3.45\n"
    // 2: shifted fixpoints, vegetation period from fixpoint 2 to 3.
    "20 maize method VariableDayCount {\n"
    "  RootDist = 1; TReduWet = 0.9; HReduDry = 4; StartVegetationPeriodForBalance = 2;\n"
    "  StopVegetationPeriodForBalance = 3; JulDays = 1 120 210 366; Albedo = 0.2 0.2 0.2 0.2;\n"
    "  rsc = 90 60 50 90; LAI = 1 2 5 1; Z0 = 1 1 1 1; VCF = 1 1 1 1; RootDepth = 1 1 1 1;\n"
    "  AltDep = 0 0.025 -0.025 0; n-factor = 0.5 0.8 0.9 0.5; }\n"
    // 3: a year end without fixpoint: days 60 and 300.
    "30 winter method VariableDayCount {\n"
    "  RootDist = 1; TReduWet = 0.9; HReduDry = 4; JulDays = 60 300; Albedo = 0.1 0.3; rsc = 1 3; "
    "LAI "
    "= 1 3; Z0 = 1 3; VCF = 0.1 0.3;\n"
    "  RootDepth = 1 3; AltDep = 0 0; }\n"
    // 4: DynamicPhenology_1, dynamic fixpoint 2, fixpoint 3 30 days after the start.
    "40 beech method DynamicPhenology_1 {\n"
    "  F* = 250; DP1_t1_dorm = 30; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n"
    "  RootDist = 1; TReduWet = 0.9; HReduDry = 4;\n"
    "  JulDays = 1 -1 60 366; Albedo = 1 1 1 1; rsc = 100 100 60 100; LAI = 0.5 0.5 6 0.5;\n"
    "  Z0 = 1 1 1 1; VCF = 1 1 1 1; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n"
    // 5: DynamicPhenology_4, dynamic fixpoint 3.
    "50 spruce method DynamicPhenology_4 {\n"
    "  F* = 250; DP1_t1_dorm = 30; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;\n"
    "  RootDist = 1; TReduWet = 0.9; HReduDry = 4;\n"
    "  JulDays = 1 100 -1 30 366; DP4_t0_dorm = 5; DP4_t1_dorm = 45; DP4_T0 = 2.5; DP4_T1 = 9;\n"
    "  DP4_Par_a = 0.3; DP4_Par_b = -0.4; DP4_T_xylstop = 11; DP4_t_xs1 = 60; DP4_SPSLF = 2;\n"
    "  Albedo = 0.1 0.2 0.3 0.4 0.5; rsc = 1 2 3 4 5; LAI = 1 2 3 4 5; Z0 = 1 1 1 1 1; VCF = 1 1 1 "
    "1 1;\n"
    "  RootDepth = 1 1 1 1 1; AltDep = 0 0 0 0 0; }\n"
    // 6: DynamicPhenology_3 with forcing thresholds.
    "60 crop method DynamicPhenology_3 {\n"
    "  DP1_t1_dorm = 30; DP1_T_Bf = 5; JDReset_TStart = 1; maxStartJDforDP1 = 150;\n"
    "  RootDist = 1; TReduWet = 0.9; HReduDry = 4;\n"
    "  JulDays = 1 90 200 366; ForcingThreshold = -1 100 300 -1; Albedo = 1 1 1 1;\n"
    "  rsc = 1 1 1 1; LAI = 0.5 1 4 0.5; Z0 = 1 1 1 1; VCF = 1 1 1 1; RootDepth = 1 1 1 1;\n"
    "  AltDep = 0 0 0 0; }\n"
    // 7: fixed format whose spring and autumn days would cross above 2400 m.
    "70 alpine 0.20 80 80 75 70 60 55 50 55 60 70 80 85 100 150 250 300 "
    "1 3 4 0.5 0.02 0.06 0.08 0.02 0.5 0.8 0.9 0.5 0.2 0.3 0.4 0.2 1.5 3.45\n";

class SeasonalTest : public test::LanduseGridsTest {
 protected:
  void SetUp() override {
    test::LanduseGridsTest::SetUp();
    ASSERT_EQ(ReadTable(kSeasonalTable), 0) << screen_.str();
  }
  const LanduseRecord& Entry(int i) { return settings_.landuse_table[i]; }
  // Per-cell state of one cell (row 1, column 1, layer 1) that entries can be linked to.
  void LinkCell(int entry, double start_day, std::vector<double> days, double forcing_sum) {
    start_ = test::FilledGrid(diag_, 1, 1, start_day);
    sum_ = test::FilledGrid(diag_, 1, 1, forcing_sum);
    if (!days.empty())
      days_ = StackMatrix(diag_, 1, 1, 1, static_cast<int64_t>(days.size()) - 1, 1);
    for (std::size_t i = 0; i < days.size(); ++i) days_[1][1][i] = days[i];
    links_.start_day = {nullptr, start_.get()};
    links_.forcing_sum = {nullptr, sum_.get()};
    links_.fixpoint_days = {nullptr, days.empty() ? nullptr : days_.get()};
    settings_.landuse_table[entry].LinkPhenology(&links_);
  }
  double LAI(int entry, int d, double altitude = 400) {
    return Entry(entry).InterpolateLAI(diag_, d, 1, 1, 1, altitude);
  }

  GridMatrix start_, sum_;
  StackMatrix days_;
  PhenologyLinks links_;
};

TEST_F(SeasonalTest, DayOfYearUsesTheDatesOwnYear) {
  struct Case {
    int day, month, year, expected;
  };
  for (const Case& c : std::vector<Case>{{31, 12, 2000, 366},
                                         {31, 12, 2001, 365},
                                         {1, 3, 1900, 60},
                                         {1, 3, 2000, 61},
                                         {1, 1, 2003, 1},
                                         {5, 13, 2003, 339}}) {
    EXPECT_EQ(Entry(1).GetDayOfYear(c.day, c.month, c.year), c.expected)
        << c.day << "." << c.month << "." << c.year;
  }
  EXPECT_EQ(test::ThrownCode([&] { Entry(1).GetDayOfYear(32, 12, 2000); }), kDayOfYearCode);
}

TEST_F(SeasonalTest, AltitudeShiftsFixpointDays) {
  // (altitude - 400) x AltDep: +-25 days at 1400 m, none at 400 m; truncated towards zero.
  EXPECT_EQ(Entry(2).ShiftFixpoints(diag_, -1, 400), (std::vector<int>{0, 1, 120, 210, 366}));
  EXPECT_EQ(Entry(2).ShiftFixpoints(diag_, -1, 1400), (std::vector<int>{0, 1, 145, 185, 366}));
  EXPECT_EQ(Entry(2).ShiftFixpoints(diag_, -1, 439.9), (std::vector<int>{0, 1, 120, 210, 366}));
  EXPECT_EQ(test::ThrownCode([&] { Entry(2).ShiftFixpoints(diag_, -1, 10400); }), kShiftedDayCode);
  EXPECT_TRUE(ScreenHas("altitude correction resulted in a Julian day of 370 for fix point 2"));
}

TEST_F(SeasonalTest, HighAltitudeKeepsShiftedDaysInOrder) {
  // At 3400 m: 175 225 175 225; the crossing days 225 and 175 meet at 200, and the wrap abscissa
  // follows the shifted last day (225 - 366).
  EXPECT_EQ(Entry(7).ShiftFixpoints(diag_, -1, 3400), (std::vector<int>{-141, 175, 200, 200, 225}));
  EXPECT_EQ(Entry(7).ShiftedFixpointDay(3, 3400), 200);
  EXPECT_DOUBLE_EQ(LAI(7, 200, 3400), 3.0);
  EXPECT_DOUBLE_EQ(LAI(7, 212, 3400), 4.0 - 3.5 * 12.0 / 25.0);
  // After the last day: from (225 - 366, 0.5) to (175, 1) at 260 - 366, not extrapolated.
  EXPECT_DOUBLE_EQ(LAI(7, 260, 3400), 0.5 + 0.5 * 35.0 / 316.0);
  for (double altitude : {400.0, 2400.0, 2800.0, 3200.0, 3400.0, 4000.0}) {
    for (int d = 1; d <= 366; ++d) {
      const double lai = LAI(7, d, altitude);
      EXPECT_TRUE(lai >= 0.5 && lai <= 4.0) << "day " << d << " at " << altitude << " m: " << lai;
    }
  }
}

TEST_F(SeasonalTest, EvaluationAtDayOfYear) {
  struct Case {
    int entry, d;
    double altitude, expected;
  };
  const std::vector<Case> cases = {
      {2, 120, 400, 2.0},                       // on a fixpoint
      {2, 145, 1400, 2.0},                      // the same fixpoint 25 days later
      {2, 165, 400, 2.0 + 3.0 * 45.0 / 90.0},   // between fixpoints 2 and 3
      {2, 165, 1400, 2.0 + 3.0 * 20.0 / 40.0},  // the shifted interval 145..185
      {3, 330, 400, 3.0 - 2.0 * 30.0 / 126.0},  // after day 300: from 300 - 366 to day 60
      {3, 30, 400, 3.0 - 2.0 * 96.0 / 126.0},   // before day 60: the same wrap interval
      {4, 150, 400, 0.5},                       // start day unknown: hold fixpoint 1
      {5, 150, 400, 2.0},                       // start day unknown: hold fixpoint 2
  };
  for (const Case& c : cases)
    EXPECT_NEAR(LAI(c.entry, c.d, c.altitude), c.expected, 1e-12)
        << "entry " << c.entry << " day " << c.d;
  EXPECT_EQ(LanduseRecord::InterpolateLinear(5, 2, 5, 9, 5), 2.0);
}

TEST_F(SeasonalTest, StartDayHoldsUntilTheCellsStartDay) {
  LinkCell(4, 120, {}, 0);
  EXPECT_DOUBLE_EQ(LAI(4, 100, 400), 0.5);
  EXPECT_DOUBLE_EQ(LAI(4, 120, 400), 0.5);
  EXPECT_DOUBLE_EQ(LAI(4, 150, 400), 0.5 + 5.5 * 30.0 / 60.0);  // 120 .. 120 + 60
  // DynamicPhenology_4 holds every parameter but rsc.
  LinkCell(5, 120, {}, 0);
  EXPECT_DOUBLE_EQ(LAI(5, 110, 400), 2.0);
  EXPECT_DOUBLE_EQ(Entry(5).InterpolateRsc(diag_, 110, 1, 1, 1, 400), 2.5);
  // Without a known start day rsc has no day to run towards and keeps its value as well.
  LinkCell(5, -1, {}, 0);
  EXPECT_DOUBLE_EQ(Entry(5).InterpolateRsc(diag_, 150, 1, 1, 1, 400), 2.0);
}

TEST_F(SeasonalTest, PerCellFixpointDays) {
  // Method 6, fixpoint 3 not yet reached on day 150: the parameter keeps fixpoint 2's value
  // (interpolating towards day -1 would give 2 - 50/101).
  LinkCell(5, -1, {0, 1, 100, -1, 29, 366}, 0);
  EXPECT_DOUBLE_EQ(LAI(5, 150), 2.0);
  EXPECT_DOUBLE_EQ(LAI(5, 50), 1.0 + 49.0 / 99.0);
  // Reached on day 120 and 150 days later: interpolation over the cell's days.
  LinkCell(5, 120, {0, 1, 100, 120, 150, 366}, 0);
  EXPECT_DOUBLE_EQ(LAI(5, 130), 3.0 + 10.0 / 30.0);
  // Method 6 with fixpoint 1 not yet reached either: the wrap value.
  LinkCell(5, -1, {0, -1, -1, -1, 29, 366}, 0);
  EXPECT_DOUBLE_EQ(LAI(5, 60), 5.0);
  // Method 5 between thresholds interpolates in forcing units: 25 of 100 after fixpoint 1.
  LinkCell(6, -1, {0, 1, -1, -1, 366}, 25);
  EXPECT_DOUBLE_EQ(LAI(6, 80), 0.5 + 0.5 * 0.25);
}

TEST_F(SeasonalTest, MonthlyRuleOfTheFixedFormat) {
  // May 60, June 55: 15 May the May value, 1 June 17/31 and 14 June 30/31 of the way.
  struct Case {
    int day, month;
    double expected;
  };
  for (const Case& c : std::vector<Case>{{15, 5, 60.0},
                                         {1, 6, 60.0 - 5.0 * 17.0 / 31.0},
                                         {14, 6, 60.0 - 5.0 * 30.0 / 31.0},
                                         {1, 1, 85.0 - 5.0 * 17.0 / 31.0},
                                         {31, 12, 85.0 - 5.0 * 16.0 / 31.0}}) {
    EXPECT_NEAR(Entry(1).GetRsc(diag_, c.day, c.month, 2003, 1, 1, 1, 400), c.expected, 1e-12)
        << c.day << "." << c.month;
  }
  EXPECT_EQ(test::ThrownCode([&] { Entry(1).GetRsc(diag_, 1, 13, 2003, 1, 1, 1, 400); }),
            kMonthCode);
}

TEST_F(SeasonalTest, NFactorAndVegetationPeriod) {
  EXPECT_DOUBLE_EQ(Entry(2).InterpolateNFactor(diag_, 165), 0.85);
  EXPECT_DOUBLE_EQ(Entry(2).GetNFactor(diag_, 1, 1, 2003), 0.5);
  struct Case {
    int d;
    double start, stop;
  };
  for (const Case& c :
       std::vector<Case>{{119, -1, -1}, {120, 120, -1}, {150, -1, -1}, {210, -1, 210}}) {
    EXPECT_EQ(Entry(2).GetVegetationStartDay(diag_, c.d, 1, 1, 1, 400), c.start) << c.d;
    EXPECT_EQ(Entry(2).GetVegetationStopDay(diag_, c.d, 1, 1, 1, 400), c.stop) << c.d;
  }
  EXPECT_EQ(Entry(3).GetVegetationStartDay(diag_, 100, 1, 1, 1, 400), 0.0);
}

TEST_F(SeasonalTest, FailuresNameTheCell) {
  EXPECT_EQ(test::ThrownCode([&] { Entry(2).InterpolateRootDepth(diag_, 100, 1, 3, 4, 10400); }),
            kShiftedDayCode);
  EXPECT_TRUE(ScreenHas("Coordinates: i=3, j=4"));
  EXPECT_TRUE(ScreenHas("Landuse Code=20"));
  // The summary record has no fixpoints.
  EXPECT_EQ(test::ThrownCode([&] { LAI(0, 100); }), kFixpointIntervalCode);
}

}  // namespace
}  // namespace velorn

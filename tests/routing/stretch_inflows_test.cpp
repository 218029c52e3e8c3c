// Inflow files of a routing stretch, the re-infiltration it books and offers, and its release.
#include <gtest/gtest.h>

#include <string>

#include "routing/routing_formulas.h"
#include "tests/routing/stretch_harness.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::DeepChannel;

// Stretch of subbasin 1 with a tributary channel from subbasin 2 and an inflow channel of
// 2 km² for inflow code 1 (flow index 3); one tracer.
struct InflowTest : test::DiagTest {
  InflowTest() {
    h.Channel(1, 2, DeepChannel(1, 100, 1, 1, 1000, 2));
    h.Channel(2, 1, DeepChannel(1, 100, 2, 1, 1000, 2));
    test::WriteFile(dir_ / "inflow.txt",
                    "inflow of the weir\n"
                    "95 12 31 23 1.0 0.2 6\n"
                    "1996 1 1 0 5.0 0.3 7\n"
                    "1996 1 1 1 -9999 -9999 8\n"
                    "1996 1 1 2 4.0 0.1 9\n");
  }
  void Set(int32_t row, int32_t column, int32_t year, int32_t hour,
           const std::string& name = "inflow.txt") {
    h.stretch->SetInflow(1, 1, kInflowFile, dir_ / name, row, column, year, year < 1996 ? 12 : 1,
                         year < 1996 ? 31 : 1, hour, 0.0);
  }
  int32_t Read(int32_t hour) {
    return test::ThrownCode([&] { h.stretch->ReadInflows(h.flows(), 1996, 1, 1, hour); }, 0);
  }
  test::StretchHarness h{diag_, {0, 1.0, 1.0}, 1, 1, 0, 1, 1, 60, 1};
};

TEST_F(InflowTest, ReadsTheStepRowsFromTheGivenColumn) {
  Set(1, 5, 1996, 0);
  EXPECT_EQ(h.stretch->InflowValue(0, 1), 5.0);
  EXPECT_EQ(h.stretch->InflowValue(1, 1), 0.3);
  EXPECT_EQ(Read(0), 0);
  EXPECT_DOUBLE_EQ(h.flows()[0][3], DischargeToDepth(5.0, 2.0, 60));
  EXPECT_EQ(h.flows()[1][3], 0.3);
  EXPECT_EQ(Read(1), 0);  // missing values give 0
  EXPECT_EQ(h.flows()[0][3], 0.0);
  EXPECT_EQ(h.flows()[1][3], 0.0);
  EXPECT_EQ(Read(2), 0);
  EXPECT_EQ(Read(3), kInflowEndCode);
  EXPECT_TRUE(ScreenHas("reached end of file!"));

  // Column 6: the water in the second value column, the tracer in the third.
  Set(1, 6, 1996, 0);
  EXPECT_EQ(h.stretch->InflowValue(0, 1), 0.3);
  EXPECT_EQ(h.stretch->InflowValue(1, 1), 7.0);
  // A two-digit year is of the 1900s.
  Set(1, 5, 1995, 23);
  EXPECT_EQ(h.stretch->InflowValue(0, 1), 1.0);
}

TEST_F(InflowTest, RefusesWhatItCannotRead) {
  struct Case {
    int32_t row, column, year, hour;
    const char* name;
    int code;
    const char* message;
  };
  for (const Case& c : {
           Case{1, 7, 1996, 0, "inflow.txt", kInflowSearchCode,
                "there is not the required number of columns in"},
           Case{1, 4, 1996, 0, "inflow.txt", kInflowSearchCode, "starting from column 4"},
           Case{1, 5, 1990, 0, "inflow.txt", kInflowSearchCode,
                "starting date 1990.12.31, 0. h in"},
           Case{3, 5, 1996, 0, "inflow.txt", kInflowSearchCode, "(search started at row 3)"},
           Case{9, 5, 1996, 0, "inflow.txt", kInflowSearchCode, "for row 9\nactual reached row: "},
           Case{1, 5, 1996, 0, "none.txt", kInflowOpenCode, "error opening "},
       }) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(test::ThrownCode([&] { Set(c.row, c.column, c.year, c.hour, c.name); }), c.code);
    EXPECT_TRUE(ScreenHas(c.message));
  }
  Set(1, 5, 1996, 0);
  EXPECT_EQ(Read(5), kInflowDateCode);
  EXPECT_TRUE(ScreenHas("     read: 1996.1.1, 0. h,\nshould be: 1996.1.1, 5. h."));
}

// Tributary from subbasin 2 and a list channel of subbasin 3 with member 2: subbasin 2 feeds
// two items. Ten tracers, one more than a record holds.
struct ReinfiltrationTest : test::DiagTest {
  static constexpr int32_t tracers = 10;
  ReinfiltrationTest() : h(diag_, {0, 1, 1, 1}, 1, 1, 1, 0, 2, 60, tracers) {
    h.Channel(1, 2, DeepChannel(1, 100, 1.5, 1, 1000, 4));
    h.Channel(2, 3, DeepChannel(1, 100, 2.5, 1, 1000, 4), {2});
    for (int32_t tr = 0; tr <= tracers; ++tr)
      for (int32_t t = 1; t <= 3; ++t) h.flows()[tr][t] = 0.5 + tr + 0.1 * t;
    h.Start();
    h.stretch->SetReinfiltrationRecords(records, 7);
  }
  // Routes a step with 2 mm of runoff everywhere and returns what is left of subbasin 2's.
  double RunoffLeftAfterStep(int32_t month) {
    for (int32_t t = 1; t <= 3; ++t)
      for (int32_t j = 1; j <= 2; ++j) h.subflows()[0][j][t] = 2.0;
    h.stretch->RouteStep(1996, month, 1, 0);
    return h.subflows()[0][2][2];
  }
  test::StretchHarness h;
  ReinfiltrationRecord records[4];
};

TEST_F(ReinfiltrationTest, BooksOncePerSubbasinAndOnlyInRealSteps) {
  EXPECT_EQ(records[2].stretchNumber, 7);
  EXPECT_EQ(records[2].itemNumber, 2);
  EXPECT_EQ(records[2].channelArea, 2.5);
  records[2].reinfiltrated = 0.25;         // m³/s
  EXPECT_EQ(RunoffLeftAfterStep(0), 2.0);  // an initialisation pass books nothing
  EXPECT_NEAR(RunoffLeftAfterStep(1), 2.0 - DischargeToDepth(0.25, 2.5, 60), 1e-14);
  EXPECT_EQ(records[2].reinfiltrated, 0.25);
}

TEST_F(ReinfiltrationTest, OffersTheChannelWater) {
  h.Step({{1, 1.0}, {2, 3.0}, {3, 0.4}});
  records[2].reinfiltratedStep = 4;
  h.stretch->OfferReinfiltration();
  for (int32_t t : {2, 3}) {
    const ReinfiltrationRecord& r = records[t];
    EXPECT_NEAR(r.riverValues[0], 60 * r.offeredWater / r.channelArea * 0.06, 1e-8);
    for (int32_t tr = 1; tr <= 9; ++tr) EXPECT_EQ(r.riverValues[tr], h.flows()[tr][t]);
    EXPECT_EQ(r.reinfiltrated, 0.0);
    EXPECT_EQ(r.reinfiltratedStep, 0.0);
    const int32_t row = h.stretch->LookupWQRow(2, h.flows()[0][t]);
    EXPECT_EQ(r.channelLength, h.stretch->Channel(2).v[row]);
  }
}

TEST_F(ReinfiltrationTest, ReleaseWritesItsEntry) {
  h.stretch->ReleaseMemory();
  EXPECT_TRUE(
      ScreenHas(" free memory TG 1, OL 1 (Subb. 2), OL 2 (Subb. 3, 2), --> ZLs..., "
                "--> ALs..., --> SPs... Rest..."));
  EXPECT_EQ(h.tables.history()[0][2], nullptr);
}

}  // namespace
}  // namespace velorn

// Dump and repair of a soil column: the tests, the file name of the example, the repairs and
// the sequence of dump events with a limit of two files.
#include "unsatzone/soil_dump.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

// A column of one snow layer (index 0) and three soil layers, saturated at 0.4; the vectors
// hold the indices 0..3 (index -1, the boundary above the snow, is never read).
struct Column {
  std::vector<double> theta = {0.2, 0.3, 0.3, 0.3}, sat = {0.5, 0.4, 0.4, 0.4};
  std::vector<double> t = {-2, 1, 2, 3}, t0 = {-2, 1, 2, 3};
  double baseflow = 1;
  ColumnTemperatures heat{t.data(), t0.data(), -1, -2};
  DumpReasons Test() { return TestColumnStep(baseflow, theta.data(), sat.data(), 1, 3, &heat); }
};

TEST(SoilDump, TestsAndTheirFirstFailingLayer) {
  struct Case {
    const char* name;
    void (*edit)(Column&);
    int heat, theta, snow_gap;
    bool baseflow;
  } cases[] = {
      {"sound column", [](Column&) {}, kNoDumpLayer, kNoDumpLayer, kNoDumpLayer, false},
      {"empty snow layer", [](Column& c) { c.theta[0] = -9999; }, kNoDumpLayer, kNoDumpLayer,
       kNoDumpLayer, false},
      {"negative content", [](Column& c) { c.theta[1] = -0.5; }, kNoDumpLayer, 1, kNoDumpLayer,
       false},
      {"above saturation", [](Column& c) { c.theta[3] = 0.4011; }, kNoDumpLayer, 3, kNoDumpLayer,
       false},
      {"base flow", [](Column& c) { c.baseflow = -10.5; }, kNoDumpLayer, kNoDumpLayer, kNoDumpLayer,
       true},
      {"71 degrees", [](Column& c) { c.t[3] = c.t0[3] = 71; }, 3, kNoDumpLayer, kNoDumpLayer,
       false},
      {"beyond every reference", [](Column& c) { c.t[2] = 5; }, 2, kNoDumpLayer, kNoDumpLayer,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Column column;
    c.edit(column);
    const DumpReasons r = column.Test();
    EXPECT_EQ(r.heat, c.heat);
    EXPECT_EQ(r.theta, c.theta);
    EXPECT_EQ(r.snowGap, c.snow_gap);
    EXPECT_EQ(r.baseflow, c.baseflow);
  }
  // A snow gap needs two snow layers: a wet one above an empty one.
  std::vector<double> theta = {0.0, 0.2, -9999}, sat = {0.5, 0.5, 0.5};
  EXPECT_EQ(TestColumnStep(0, theta.data() + 2, sat.data() + 2, 2, 0, nullptr).snowGap, 0);
}

TEST(SoilDump, FileNameWithEveryReasonHeatFirst) {
  DumpReasons r;
  r.theta = 5;
  EXPECT_EQ(DumpFileName(3, r, 120, 48, 2, 2005, 6, 30, 7),
            "MPI_3_theta(5)_dump_row_120_col_48_substep_2_2005063007.dmp");
  r.heat = -1;
  r.baseflow = true;
  r.snowGap = 0;
  EXPECT_EQ(DumpFileName(0, r, 1, 2, 1, 2019, 12, 1, 0),
            "MPI_0_heat(-1)_theta(5)_dgw_thetasnow(0)_dump_row_1_col_2_substep_1_2019120100.dmp");
}

TEST(SoilDump, RepairsSoilLayersOnly) {
  Column c;
  c.baseflow = 12;
  c.theta[0] = -0.5;
  c.theta[1] = -0.1;
  c.theta[2] = 0.45;
  c.t[0] = c.t0[0] = -80;
  c.t[2] = 71;
  DumpReasons r = c.Test();
  ASSERT_TRUE(r.Any());
  RepairColumnStep(r, c.baseflow, c.theta.data(), c.sat.data(), 3, c.t.data(), &c.heat);
  EXPECT_EQ(c.baseflow, 10);
  EXPECT_EQ(c.theta, (std::vector<double>{-0.5, 0, 0.4, 0.3}));  // the snow layer is kept
  EXPECT_EQ(c.t, (std::vector<double>{-80, 1, 70, 3}));
  // A soil temperature beyond its references goes to the nearest one.
  Column d;
  d.t[2] = 5;
  r = d.Test();
  RepairColumnStep(r, d.baseflow, d.theta.data(), d.sat.data(), 3, d.t.data(), &d.heat);
  EXPECT_EQ(d.t[2], 3);
}

TEST(SoilDump, EventsWithALimitOfTwoAndClose) {
  std::atomic<int64_t> count{0};
  const DumpEvent expected[] = {{true, 1}, {true, 2}, {false, 0}, {false, 0}};
  for (const DumpEvent& e : expected) {
    const DumpEvent got = CountDumpEvent(count, 2);
    EXPECT_EQ(got.writeFiles, e.writeFiles);
    EXPECT_EQ(got.message, e.message);
  }
  std::atomic<int64_t> unlimited{5};
  EXPECT_TRUE(CountDumpEvent(unlimited, 0).writeFiles);
  EXPECT_EQ(CountDumpEvent(unlimited, 0).message, 0);
  std::ostringstream screen;
  test::TempDir dir;
  DiagnosticStream diag(dir / "diag.xml", kLevelDebug, screen);
  EXPECT_EQ(test::ThrownCode([&] { CloseAfterDump(diag); }, 0), kCloseAfterDumpCode);
}

}  // namespace
}  // namespace velorn

// Dump and repair of a soil column: the tests, the file name of the example, the repairs and
// the sequence of dump events with a limit of two files.
#include "unsatzone/soil_dump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "tests/support/test_helpers.h"
#include "unsatzone/column_snapshot.h"

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
      // The bottom layer follows the lower boundary, as the top layer follows the surface.
      {"bottom towards the lower boundary",
       [](Column& c) {
         c.t[3] = 3.5;
         c.heat.hasLower = true;
         c.heat.lower = 5;
       },
       kNoDumpLayer, kNoDumpLayer, kNoDumpLayer, false},
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

namespace velorn {
namespace {

// A snapshot of one snow layer, two soil layers and one vegetation layer with heat transfer and
// layered snow, each item (and each element of an array) set to a value of its own.
ColumnSnapshot HandSetSnapshot(bool heat, bool snow) {
  ColumnSnapshot s;
  s.M = snow ? 1 : 0;
  s.N = 2;
  s.L = 1;
  s.heat = heat;
  s.layeredSnow = snow;
  const auto column = [&](double item) {
    std::vector<double> a;
    for (int i = -s.M; i <= s.N; ++i) a.push_back(item * 100 + i);
    return a;
  };
  s.rootLayers = 1;
  s.scratchSuction = 2;
  s.inputRate = 3e-7;
  s.baseflow = 4;
  s.transpiration = {5.0, 5.1};
  for (int a = 0; a < 14; ++a) s.layers[static_cast<std::size_t>(a)] = column(a + 6);
  for (int a = 0; a < 7; ++a) s.heatLayers[static_cast<std::size_t>(a)] = column(a + 20);
  s.heatStepLength = 27;
  for (int a = 0; a < 4; ++a) s.snowLayers[static_cast<std::size_t>(a)] = {a + 28.0, a + 28.5};
  s.snowCell = {32, 33, 34, 35};
  s.soilCode = 36;
  s.landuse = {37};
  s.date = {7, 30, 6, 2005};
  s.innerSteps = 42;
  s.innerStepLength = 43;
  s.i0 = -44;
  s.heatSteps = 45;
  s.heatPerWaterStep = 46;
  s.surfaceInput = 47;
  s.surfaceTemperature = 48;
  return s;
}

template <class T>
double At(const std::string& bytes, std::size_t offset) {
  T value{};
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return static_cast<double>(value);
}

TEST(SoilDump, SnapshotItemsReadBackAtTheirOffsets) {
  const std::string bytes = SnapshotBytes(HandSetSnapshot(true, true));
  ASSERT_EQ(bytes.size(), 896u);  // 4 column values of 8 bytes per array
  // Item, its offset counted by hand, the value expected there.
  const struct {
    int item;
    std::size_t offset;
    bool int32;
    double value;
  } items[] = {
      {1, 0, true, 1},        {2, 4, false, 2},      {3, 12, false, 3e-7},   {4, 20, false, 4},
      {5, 36, false, 5.1},    {6, 44, false, 599},   {19, 484, false, 1902}, {20, 492, false, 1999},
      {26, 708, false, 2602}, {27, 716, false, 27},  {28, 724, false, 28},   {31, 780, false, 31.5},
      {32, 788, false, 32},   {35, 812, false, 35},  {36, 820, true, 36},    {37, 824, false, 37},
      {38, 832, true, 7},     {41, 844, true, 2005}, {42, 848, false, 42},   {43, 856, false, 43},
      {44, 864, true, -44},   {45, 868, false, 45},  {46, 876, true, 46},    {47, 880, false, 47},
      {48, 888, false, 48}};
  for (const auto& e : items) {
    SCOPED_TRACE(e.item);
    EXPECT_EQ(e.int32 ? At<int32_t>(bytes, e.offset) : At<double>(bytes, e.offset), e.value);
  }
  // Without heat or snow their items are left out; the sizes count every item.
  const struct {
    bool heat, snow;
    std::size_t size;
  } sizes[] = {{false, false, 428}, {true, false, 632}, {false, true, 636}, {true, true, 896}};
  for (const auto& e : sizes) {
    EXPECT_EQ(SnapshotBytes(HandSetSnapshot(e.heat, e.snow)).size(), e.size);
    EXPECT_EQ(SnapshotSize(e.snow ? 1 : 0, 2, 1, e.heat, e.snow), e.size);
  }
}

TEST(SoilDump, ReadableTwinSetsTheStepBesideTheSnapshot) {
  ColumnSnapshot dump = HandSetSnapshot(true, true), now = dump;
  now.snowLayers[0][1] = 9;
  now.heatLayers[1][1] = -0.25;
  const std::string text = DumpText(now, dump);
  const std::string snow = "     swes 9\t\ndump.swes 28.5\t\n     swel ";
  EXPECT_EQ(text.substr(text.find("\n") + 1, snow.size()), snow);
  EXPECT_NE(text.find("\n     temper_sl -0.25\t2101\t2102\t\ndump.temper_sl 2100\t2101\t2102\t\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n     theta_sl 1900\t1901\t1902\t\n"), std::string::npos);
  const std::string surface = "    Tsurf 48\t\ndump.Tsurf 48\t\n";
  EXPECT_EQ(text.substr(text.size() - surface.size()), surface);
  // Without heat transfer only the snow lines follow the title line.
  EXPECT_EQ(DumpText(now, HandSetSnapshot(false, true)).find("theta_sl"), std::string::npos);
}

}  // namespace
}  // namespace velorn

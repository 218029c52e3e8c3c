// meteointerpol on a grid of 3 x 4 cells of 1000 m: construction from its section, the step with
// its post-processing, record advance, end of data and rewind, method 9, and the failures.
#include "meteo/meteo_interpolator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/string_helpers.h"
#include "tests/support/meteo_fixture.h"

namespace velorn {
namespace {

using test::SectionSpec;
using ::testing::DoubleNear;
using ::testing::Pointwise;

constexpr ModelDate kStart{2000, 1, 1, 24};
constexpr ModelDate kEnd{2000, 1, 4, 24};

// Counts the kernel calls of the cell loop.
class CountingInterpolator : public meteointerpol {
 public:
  using meteointerpol::meteointerpol;
  double InverseDistanceWeight(int f, double* w, double x, double y) const override {
#pragma omp atomic
    ++calls;
    return meteointerpol::InverseDistanceWeight(f, w, x, y);
  }
  mutable long calls = 0;
};

class MeteoInterpolatorTest : public test::MeteoTest {
 protected:
  // Stations at the centres of cells (1,1) and (3,4).
  std::string Stations(const std::vector<std::string>& records, int extra = 0) {
    return WriteStations("stations.txt", {10, 20}, {500, 3500}, {2500, 500}, records, extra);
  }
  std::vector<std::string> FourDays() {
    return {"2000 1 1 24 10 20", "2000 1 2 24 5 5", "2000 1 3 24 -9999 -10000",
            "2000 1 4 24 -9999 30"};
  }
  double Cell(meteointerpol& m, int r, int c) { return m.result.get()[r][c]; }
  long CountOnScreen(const std::string& text) const {
    const std::string all = screen_.str();
    long count = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
      ++count;
    return count;
  }
  void Step(meteointerpol& m) {
    int64_t h, d, mo, y;
    m.GetDate(h, d, mo, y);
    m.InterpolateStep(h, d, mo, y);
  }
};

TEST_F(MeteoInterpolatorTest, StepsThroughTheRecordsToTheEndOfDataAndRewinds) {
  SectionSpec s;
  s.station_line = Stations(FourDays());
  s.scaling = 2.0;
  auto m = Make<CountingInterpolator>("temperature", Section("temperature", s), kStart, kEnd);
  // Day 1: at (1,1) station 1 weighs 1 (distance 0 counts as 1), station 2 1/13e6.
  Step(*m);
  EXPECT_NEAR(Cell(*m, 1, 1), 2 * (10 + 20 / 13e6) / (1 + 1 / 13e6), 1e-9);
  // (2,2) lies 2e6 m^2 from station 1 and 5e6 from station 2; (2,3) the other way round.
  EXPECT_NEAR(Cell(*m, 2, 2), 2 * (10 * 5 + 20 * 2) / 7.0, 1e-9);
  EXPECT_NEAR(Cell(*m, 2, 3), 2 * (10 * 2 + 20 * 5) / 7.0, 1e-9);
  EXPECT_EQ(m->calls, 12);
  // Day 2: equal values, no kernel call.
  m->AdvanceRecords();
  Step(*m);
  EXPECT_EQ(m->calls, 12);
  EXPECT_EQ(Cell(*m, 3, 2), 10.0);
  // Day 3: every station missing: day 2's values are held, never the missing marker.
  m->AdvanceRecords();
  Step(*m);
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) EXPECT_EQ(Cell(*m, r, c), 10.0);
  EXPECT_TRUE(ScreenHas("no station of temperature in " + s.station_line +
                        " has a value on 3.1.2000 24. h: the values of 2.1.2000 24. h are held"));
  // A step without values is reported once per run, however many follow.
  m->RewindInputs();
  for (int day = 1; day <= 3; ++day) m->AdvanceRecords();
  Step(*m);
  EXPECT_EQ(CountOnScreen("no station of temperature"), 1);
  // Day 4: -9999 is missing with nodata 9999, so only station 2 counts.
  m->AdvanceRecords();
  Step(*m);
  EXPECT_EQ(Cell(*m, 1, 1), 60.0);
  EXPECT_FALSE(m->IsEndOfData());
  m->AdvanceRecords();
  EXPECT_TRUE(m->IsEndOfData());
  m->RewindInputs();
  m->AdvanceRecords();
  EXPECT_FALSE(m->IsEndOfData());
  Step(*m);
  EXPECT_NEAR(Cell(*m, 1, 1), 2 * (10 + 20 / 13e6) / (1 + 1 / 13e6), 1e-9);
  // The point evaluation gives the cell's value at its centre.
  std::vector<double> buffer(3);
  EXPECT_NEAR(m->InterpolateAtPoint(500, 2500, 0, buffer.data()), Cell(*m, 1, 1), 1e-12);
  m->ReleaseMemory();
  EXPECT_EQ(registry_.Find("temperature", 0), 0);
}

// A first record without any value has nothing to hold: the replacement of the lower limit,
// or the run stops. A first record of equal values is uniform like any other.
TEST_F(MeteoInterpolatorTest, FirstRecordWithoutValuesTakesTheLimitReplacementOrStops) {
  struct Case {
    const char* what;
    std::string first;
    std::vector<double> limits;
    double day1;  // every cell; NAN: the run stops
    long kernel_calls;
  };
  const std::vector<Case> cases = {
      {"replaced by limit 2", "-9999 -10000", {0, 0.5, 1e10, 1e10}, 0.5, 0},
      {"no limit catches the marker", "-9999 12000", {-1e10, -1e10, 1e10, 1e10}, NAN, 0},
      {"uniform start record", "7 7", {-1e10, -1e10, 1e10, 1e10}, 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SectionSpec s;
    s.station_line = Stations({"2000 1 1 24 " + c.first, "2000 1 2 24 4 4"});
    s.limits = c.limits;
    auto m = Make<CountingInterpolator>("precipitation", Section("precipitation", s), kStart, kEnd);
    if (std::isnan(c.day1)) {
      EXPECT_EQ(test::ThrownCode([&] { Step(*m); }), kStationContentCode);
      EXPECT_TRUE(ScreenHas("no station of precipitation has a value on 1.1.2000 24. h"));
    } else {
      Step(*m);
      for (int r = 1; r <= 3; ++r)
        for (int col = 1; col <= 4; ++col) EXPECT_EQ(Cell(*m, r, col), c.day1);
      m->AdvanceRecords();
      Step(*m);
      EXPECT_EQ(Cell(*m, 2, 3), 4.0);
    }
    EXPECT_EQ(m->calls, c.kernel_calls);
    m->ReleaseMemory();
  }
  EXPECT_TRUE(
      ScreenHas("no station of precipitation has a value on 1.1.2000 24. h and "
                "no earlier record can be held: the cells take the replacement value 0.5"));
}

// Method 2: the regression file alone gives the field, at the cell centres, with its own dates;
// a record without intercept holds the last regression.
TEST_F(MeteoInterpolatorTest, RegressionFileAloneRunsThroughItsRecords) {
  // One range over every altitude; the plane 10 + 0.001 x carries the intercept.
  test::WriteFile(dir_ / "regr.txt",
                  "jr mo dd hh b1 a1 zl b2 a2 zu b3 a3 c0 cx cy\n"
                  "2000 1 1 24 5 0.01 0 5 0.01 1e6 5 0.01 10 0.001 0\n"
                  "2000 1 2 24 -10000 0 0 0 0 0 0 0 0 0 0\n"
                  "2000 1 3 24 5 0.01 0 5 0.01 1e6 5 0.01 20 0.001 0\n");
  SectionSpec s;
  s.method = 2;
  s.station_line = "unused.txt";
  s.parameter_line = dir_ / "regr.txt";
  auto m = Make("temperature", Section("temperature", s), kStart, ModelDate{2000, 1, 3, 24});
  const double plane[] = {10, 10, 20};
  for (double c0 : plane) {
    Step(*m);
    // Centre x = (c - 0.5) 1000, altitude 100 r.
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) EXPECT_NEAR(Cell(*m, r, c), c0 + (c - 0.5) + r, 1e-9);
    m->AdvanceRecords();
  }
  EXPECT_TRUE(m->IsEndOfData());
  EXPECT_TRUE(ScreenHas("has no intercept on 2.1.2000 24. h: the last regression is held"));
}

TEST_F(MeteoInterpolatorTest, PostProcessingScalesLimitsAndAppliesScenarios) {
  const std::string percent = "0 0 10 10 10 10 10 10 10 10 10 10 10 10";
  struct Case {
    const char* what;
    double raw;
    double scaling;
    std::vector<double> limits;
    int scenario_method;
    std::string row;
    double expected;
  };
  const std::vector<Case> cases = {
      {"negative precipitation becomes 0", -3, 1, {0, 0, 1e10, 1e10}, 0, "", 0},
      {"scaling before the limits", 15, 0.1, {-1e10, -1e10, 1.0, 1.0}, 0, "", 1.0},
      {"above limit 3 only", 0.5, 1, {-1e10, -1e10, 1.0, 1.0}, 0, "", 0.5},
      {"percent scenario after the limits", 2, 1, {-1e10, -1e10, 1.0, 1.0}, 3, percent, 1.1},
      {"additive scenario", 2, 1, {-1e10, -1e10, 1e10, 1e10}, 1, "0 0 3 3 3 3 3 3 3 3 3 3 3 3", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SectionSpec s;
    const std::string raw = std::to_string(c.raw);
    s.station_line = Stations({"2000 1 1 24 " + raw + " " + raw});
    s.scaling = c.scaling;
    s.limits = c.limits;
    if (c.scenario_method > 0) {
      s.scenario_use = 1;
      s.scenario_method = c.scenario_method;
      s.scenario_rows = {c.row};
    }
    auto m = Make("precipitation", Section("precipitation", s), kStart, kEnd);
    if (c.scenario_method == 3) {
      EXPECT_DOUBLE_EQ(m->scenario_rows[0][3], 1.1);
    }
    Step(*m);
    EXPECT_NEAR(Cell(*m, 2, 2), c.expected, 1e-12);
    m->ReleaseMemory();
    registry_.Unregister(registry_.Find("precipitation", 0));
  }
}

TEST_F(MeteoInterpolatorTest, ScenarioDayWeightsFollowTheCalendar) {
  std::array<double, 16> row{};
  row[3] = 10;   // January
  row[4] = 40;   // February
  row[14] = 70;  // December
  struct Case {
    int64_t day, month, year;
    double expected;
  };
  const Case cases[] = {
      {16, 1, 2001, (1.0 / 31) * 40 + (30.0 / 31) * 10},  // day 16: towards the next month
      {15, 1, 2001, (30.0 / 31) * 10 + (1.0 / 31) * 70},  // before: towards December
      {1, 2, 2001, (16.0 / 31) * 40 + (15.0 / 31) * 10},  // n = length of January
      {16, 2, 2000, (1.0 / 29) * 0 + (28.0 / 29) * 40},   // leap February, March is 0
      {16, 2, 2001, (1.0 / 28) * 0 + (27.0 / 28) * 40},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(ScenarioDayValue(row, c.day, c.month, c.year), c.expected, 1e-12)
        << c.day << "." << c.month << "." << c.year;
  }
}

TEST_F(MeteoInterpolatorTest, RegressionAndIdwAreBlendedOnlyWhenBothAreUsable) {
  struct Case {
    double regression;
    bool valid;
    double idw;
    double expected;
  };
  const Case cases[] = {
      {10, true, 20, 0.75 * 10 + 0.25 * 20},
      {10, true, -10000, 10},  // no station within the radius: the regression alone
      {10, false, 20, 20},
      {10, false, -10000, -10000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CombineRegressionAndIdw(c.regression, c.valid, c.idw, 0.25, 9999), c.expected);
}

// Below limit 1 becomes limit 2, above limit 3 limit 4; a result that is no number never passes.
TEST_F(MeteoInterpolatorTest, LimitsReplaceResultsBeyondThemAndNaN) {
  const std::array<double, 5> limits = {0, 0, 0.5, 100, 90};
  const double cases[][2] = {{-3, 0.5}, {50, 50}, {150, 90}, {NAN, 0.5}};
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(ApplyLimits(value, limits), expected) << value;
}

TEST_F(MeteoInterpolatorTest, SectionValuesAndRotatedGrids) {
  SectionSpec s;
  s.station_line = Stations({"2000 1 1 24 x y 1 2"}, 2) + " AdditionalColumns=2";
  s.max_distance = 50000;
  auto m = Make("air temperature", Section("air", s), kStart, kEnd);
  EXPECT_EQ(m->name, "air");
  EXPECT_GT(registry_.Find("air", 0), 0);
  EXPECT_EQ(m->station_files[0].additional_columns, 2);
  EXPECT_EQ(m->station_files[0].values[2], 2);
  EXPECT_EQ(m->max_distance, 2.5e9);
  EXPECT_EQ(registry_.Find("CoordXRot_air", 0), 0);
  m->ReleaseMemory();

  s.station_line = Stations({"2000 1 1 24 1 2"});
  s.weight = 2.0005;
  s.ratio = 0.5;
  s.slope = 30;
  auto r = Make("wind", Section("wind", s), kStart, kEnd);
  EXPECT_EQ(r->max_distance, 2.5e9);  // squared for the fast path
  const int rx = registry_.Find("CoordXRot_wind", 0);
  ASSERT_GT(rx, 0);
  EXPECT_GT(registry_.Find("CoordYRot_wind", 0), 0);
  double xr = 0, yr = 0;
  RotatePoint(1500, 1500, 0, 0, 30 * kDegreesToRadians, xr, yr);
  EXPECT_NEAR(registry_[rx].grid[2][2], xr, 1e-9);
  r->ReleaseMemory();
  EXPECT_EQ(registry_.Find("CoordXRot_wind", 0), 0);
}

TEST_F(MeteoInterpolatorTest, CellsOutsideTheZonesOrOfOtherProcessesHoldNodata) {
  SectionSpec s;
  s.station_line = Stations({"2000 1 1 24 1 2", "2000 1 2 24 3 3"});
  zone_[2][3] = -9999;
  SetOwners([](int r) { return r == 3 ? 1 : 0; });
  auto m = Make("temperature", Section("temperature", s), kStart, kEnd);
  for (int day = 1; day <= 2; ++day) {
    Step(*m);
    EXPECT_EQ(Cell(*m, 2, 3), -9999);
    EXPECT_EQ(Cell(*m, 3, 1), -9999);
    EXPECT_NE(Cell(*m, 2, 2), -9999);
    m->AdvanceRecords();
  }
  // No station within 100 m of cell (2,2): the missing marker and the warning.
  s.max_distance = 100;
  auto near = Make("wind", Section("wind", s), kStart, kEnd);
  near->SetNoStationWarning(1);
  Step(*near);
  EXPECT_EQ(Cell(*near, 2, 2), -10000);
  EXPECT_EQ(Cell(*near, 1, 1), 1);
  EXPECT_TRUE(ScreenHas(" at x=1500, y=1500 no station within the specified search radius!"));
}

// A grid of 40 x 30 cells, large enough for four threads to share the rows of a step.
class MeteoZoneStatistics : public test::MeteoTest {
 protected:
  MeteoZoneStatistics() : test::MeteoTest(40, 30) {}
  static void Step(meteointerpol& m) {
    int64_t h, d, mo, y;
    m.GetDate(h, d, mo, y);
    m.InterpolateStep(h, d, mo, y);
  }
};

// The zone sums are formed row by row by the threads and added in row order: the table's rows
// are the same with one thread as with four, and hold the area-weighted mean of the own cells.
TEST_F(MeteoZoneStatistics, DoNotDependOnTheThreadCount) {
  SectionSpec s;
  s.station_line =
      WriteStations("stations.txt", {10, 20, 30}, {500, 29500, 12000}, {500, 39500, 20000},
                    {"2000 1 1 24 1.234567 20.5 -3", "2000 1 2 24 3.3 -7.25 11"});
  s.statistics_code = 2001;
  setup_.output_directory = dir_.path().string() + "/";
  for (int r = 1; r <= 40; ++r)
    for (int c = 1; c <= 30; ++c) area_[r][c] = 0.5 + 0.0125 * c + 0.01 * r;
  zone_[7][3] = -9999;
  SetOwners([](int r) { return r > 35 ? 1 : 0; });  // rows 36 to 40 belong to another process
  const std::string sections = Section("t1", s) + Section("t4", s);
  auto one = Make("t1", sections, kStart, kEnd);
  auto four = Make("t4", sections, kStart, kEnd);
  const int threads = omp_get_max_threads();
  omp_sched_t kind;
  int chunk = 0;
  omp_get_schedule(&kind, &chunk);
  omp_set_schedule(omp_sched_dynamic, 1);
  std::vector<double> means;
  for (int day = 1; day <= 2; ++day) {
    omp_set_num_threads(1);
    Step(*one);
    omp_set_num_threads(4);
    Step(*four);
    double sum = 0, weights = 0;
    for (int r = 1; r <= 35; ++r)
      for (int c = 1; c <= 30; ++c) {
        if (zone_[r][c] == -9999) continue;
        sum += area_[r][c] * one->result.get()[r][c];
        weights += area_[r][c];
      }
    means.push_back(sum / weights);
    one->AdvanceRecords();
    four->AdvanceRecords();
  }
  omp_set_num_threads(threads);
  omp_set_schedule(kind, chunk);
  one->FlushBuffers();
  four->FlushBuffers();
  const std::vector<std::string> by_one = test::SplitLines(test::ReadFile(dir_ / "t1.stat"));
  const std::vector<std::string> by_four = test::SplitLines(test::ReadFile(dir_ / "t4.stat"));
  ASSERT_EQ(by_one.size(), 5u);
  ASSERT_EQ(by_four.size(), 5u);
  for (std::size_t step = 0; step < 2; ++step) {
    const std::string& line = by_one[3 + step];
    EXPECT_EQ(line, by_four[3 + step]);
    EXPECT_NEAR(std::stod(line.substr(line.rfind('\t') + 1)), means[step], 5.1e-4) << line;
  }
}

// The values of an ASCII grid file, row by row.
std::vector<double> AsciiValues(const std::string& path) {
  std::vector<double> values;
  for (const std::string& line : test::SplitLines(test::ReadFile(path))) {
    if (line.empty() || std::isalpha(static_cast<unsigned char>(line[0]))) continue;
    std::istringstream in(line);
    for (double v; in >> v;) values.push_back(v);
  }
  return values;
}

// A year of daily grids under the output directory: dated names, and the run's sum, minimum and
// maximum equal to those of the daily grids. The statistics header shows the distance of the
// weight's mode.
TEST_F(MeteoInterpolatorTest, WriteCodesWriteDatedGridsAndRunStatistics) {
  std::vector<std::string> records;
  for (int month = 1; month <= 12; ++month)
    for (int day = 1; day <= DaysInMonth(1990, month); ++day)
      records.push_back(FormatText("1990 %d %d 24 %d %d", month, day, day % 7, month));
  SectionSpec s;
  s.station_line = Stations(records);
  s.write_code = 315;  // dated at the end of every day, run sum, minimum and maximum
  s.weight = 1.7;
  s.statistics_code = 2001;
  const std::string out = dir_.path().string() + "/out/";
  std::filesystem::create_directories(out);
  setup_.output_directory = out;
  setup_.write_ascii = true;
  auto m = Make("temperature", Section("temperature", s), {1990, 1, 1, 24}, {1990, 12, 31, 24});
  EXPECT_EQ(registry_[m->result_index].file_name, "temperature.asc");
  std::vector<double> sum(12, 0.0), low(12, 1e300), high(12, -1e300);
  int days = 0;
  while (!m->IsEndOfData()) {
    int64_t h, d, mo, y;
    m->GetDate(h, d, mo, y);
    Step(*m);
    m->WriteResultGrid();
    const std::vector<double> day =
        AsciiValues(out + FormatText("temperature_%04d%02d%02d.024", static_cast<int>(y),
                                     static_cast<int>(mo), static_cast<int>(d)));
    ASSERT_EQ(day.size(), 12u);
    for (std::size_t i = 0; i < 12; ++i)
      sum[i] += day[i], low[i] = std::min(low[i], day[i]), high[i] = std::max(high[i], day[i]);
    m->AdvanceRecords();
    ++days;
  }
  EXPECT_EQ(days, 365);
  // Six significant digits in every file.
  EXPECT_THAT(AsciiValues(out + "temperature.sum"), Pointwise(DoubleNear(0.02), sum));
  EXPECT_EQ(AsciiValues(out + "temperature.min"), low);
  EXPECT_EQ(AsciiValues(out + "temperature.max"), high);
  m->FlushBuffers();
  EXPECT_NE(test::ReadFile(out + "temperature.stat").find("weighting =  1.7,  maxentf =  1000000"),
            std::string::npos);
}

TEST_F(MeteoInterpolatorTest, Method9ReadsListedGridsAndRepeatsTheLastOne) {
  auto grid = [&](const std::string& name, int value) {
    test::WriteFile(dir_ / name, test::AsciiGrid(4, 3, 0, 0, 1000, -9999,
                                                 [&](int r, int) { return value + r - 1; }));
    return dir_ / name;
  };
  const std::string g1 = grid("g1.asc", 1), g2 = grid("g2.asc", 7);
  SectionSpec s;
  s.method = 9;
  s.parameter_line = "8.9e-5 0.07 127 6e-6 0.098";
  s.station_line = WriteStations("list.txt", {1000}, {500}, {500},
                                 {"2000 1 1 24 " + g1, "2000 1 2 24 -9999", "2000 1 3 24 " + g2});
  auto m = Make("radiation", Section("radiation", s), kStart, kEnd);
  const double expected[] = {2, 2, 8};  // row 2 holds value + 1
  for (double e : expected) {
    Step(*m);
    EXPECT_EQ(Cell(*m, 2, 4), e);
    m->AdvanceRecords();
  }
  m->ReleaseMemory();

  s.station_line = WriteStations("first.txt", {1000}, {500}, {500}, {"2000 1 1 24 -9999"});
  auto first = Make("sunshine", Section("sunshine", s), kStart, kEnd);
  EXPECT_EQ(test::ThrownCode([&] { Step(*first); }), kNoGridNameCode);
}

TEST_F(MeteoInterpolatorTest, StationFilesWithDifferentDatesStopTheRun) {
  SectionSpec s;
  s.station_line = Stations({"2000 1 1 24 1 2", "2000 1 2 24 1 2"});
  auto m = Make("temperature", Section("temperature", s), kStart, kEnd);
  // A second file whose next record is a day later.
  const std::string other = WriteStations("other.txt", {10, 20}, {500, 3500}, {2500, 500},
                                          {"2000 1 1 24 1 2", "2000 1 3 24 1 2"});
  m->station_files[1] = m->station_files[0];
  m->station_files[1].path = other;
  m->station_file_count = 2;
  EXPECT_EQ(test::ThrownCode([&] { m->AdvanceRecords(); }), kStationFilesDifferCode);
  EXPECT_TRUE(ScreenHas("DD=3, HH=24"));
  EXPECT_TRUE(ScreenHas("DD=2, HH=24"));
}

TEST_F(MeteoInterpolatorTest, BadInputEndsWithItsCode) {
  struct Case {
    const char* what;
    std::function<void(SectionSpec&)> change;
    std::vector<std::string> records;
    int code;  // -1: taken
    const char* message = "";
  };
  const std::vector<std::string> good = {"2000 1 1 24 1 2", "2000 1 2 24 1 2"};
  const auto header = [this](std::vector<double> altitudes) {
    return [this, altitudes](SectionSpec& s) {
      s.station_line = WriteStations("header.txt", altitudes, {500, 3500}, {2500, 500}, {});
    };
  };
  // The station file of the records with line `number` of its header replaced by `text`.
  const auto header_line = [this](int number, std::string text) {
    return [this, number, text](SectionSpec& s) {
      std::string file = test::ReadFile(s.station_line);
      std::size_t at = 0;
      for (int i = 1; i < number; ++i) at = file.find('\n', at) + 1;
      file.replace(at, file.find('\n', at) - at, text);
      test::WriteFile(dir_ / "stations.txt", file);
    };
  };
  const std::vector<Case> cases = {
      {"method 13", [](SectionSpec& s) { s.method = 13, s.parameter_line = ""; }, good,
       kMethodCode},
      // With the lines of methods 1-8 after it (the regression file): refused for itself.
      {"method 0", [](SectionSpec& s) { s.method = 0; }, good, kMethodCode},
      {"slope 90.5", [](SectionSpec& s) { s.slope = 90.5, s.ratio = 0.5; }, good, kAnisotropyCode},
      {"ratio 0", [](SectionSpec& s) { s.ratio = 0; }, good, kAnisotropyCode},
      {"no such file", [](SectionSpec& s) { s.station_line = "/nonexistent/st.txt"; }, good,
       kStationOpenCode},
      {"start date missing", [](SectionSpec&) {}, {"2000 1 2 24 1 2"}, kStartDateCode},
      {"scenario row",
       [](SectionSpec& s) {
         s.scenario_use = 1, s.scenario_method = 2, s.scenario_rows = {"0 0 1 x"};
       },
       good, kScenarioRowCode},
      {"short record",
       [](SectionSpec&) {},
       {"2000 1 1 24 1 2", "2000 1 2 24 1"},
       kStationContentCode},
      // Without the hour column the first value would read as the hour of another date.
      {"no hour column",
       [](SectionSpec&) {},
       {"2000 1 1 1 2", "2000 1 2 1 2"},
       kStationContentCode},
      {"decimal comma",
       [](SectionSpec&) {},
       {"2000 1 1 24 1 2", "2000 1 2 24 1 3,5"},
       kStationContentCode,
       "stations.txt: station 2: \"3,5\" is not a finite number"},
      // The start record as well: the same message, not "record ... is incomplete".
      {"decimal comma in the start record",
       [](SectionSpec&) {},
       {"2000 1 1 24 3,5 2", "2000 1 2 24 1 2"},
       kStationContentCode,
       "stations.txt: station 1: \"3,5\" is not a finite number"},
      {"temperature of 150 degC",
       [](SectionSpec&) {},
       {"2000 1 1 24 150 2"},
       kStationContentCode,
       "station 1 of temperature holds 150, it must lie within -100 to 100"},
      {"scaled beyond the range", [](SectionSpec& s) { s.scaling = 100; }, good,
       kStationContentCode, "holds 2 (scaled: 200)"},
      {"altitude nan", header({NAN, 20}), good, kStationContentCode,
       "the altitude of station 1 on line 2 is \"nan\""},
      {"altitude missing", header({10}), good, kStationContentCode,
       "the altitude of station 2 on line 2 is missing"},
      {"altitude 1e5", header({10, 1e5}), good, kStationContentCode,
       "the altitude of station 2 on line 2 is 100000, it must lie within -11000 to 9000 m"},
      // A decimal comma in the header as in the records, not the number before the comma.
      {"altitude 2,416", header_line(2, "a b c d 2,416 20"), good, kStationContentCode,
       "stations.txt: station 1: altitude \"2,416\" is not a finite number"},
      {"x 7,999", header_line(3, "a b c d 500 7,999"), good, kStationContentCode,
       "station 2: x \"7,999\" is not a finite number"},
      {"idw fraction 1.5", [](SectionSpec& s) { s.fraction = 1.5; }, good, kControlFileErrorCode,
       "fraction of idw on weighted interpolation in temperature is 1.5, it must lie within 0 to "
       "1"},
      {"replacement outside",
       [](SectionSpec& s) {
         s.limits = {-60, -500, 1e10, 1e10};
       },
       good, kControlFileErrorCode, "replacement of the lower limit for temperature is -500"},
      {"scaling 1e308", [](SectionSpec& s) { s.scaling = 1e308; }, good, kControlFileErrorCode,
       "scaling factor for temperature is 1e+308"},
      {"no distance limit", [](SectionSpec& s) { s.max_distance = 1e300; }, good, -1},
      {"lapse rate 5 per m",
       [](SectionSpec& s) { s.method = 12, s.parameter_line = "5 lapse rate"; }, good,
       kControlFileErrorCode, "lapse rate (per m) for temperature is 5"},
      // Once read as -0 (and the upper rate as 0) without a word.
      {"lapse rate -0,0065",
       [](SectionSpec& s) { s.method = 12, s.parameter_line = "-0,0065 lapse rate"; }, good,
       kStationOpenCode, "method 12 for temperature: \"-0,0065\" is no number"},
      {"upper lapse rate -0,003",
       [](SectionSpec& s) { s.method = 12, s.parameter_line = "-0.0065 3000 -0,003"; }, good,
       kStationOpenCode, "\"-0,003\" is no number"},
      {"GIF exponent 5",
       [](SectionSpec& s) { s.method = 9, s.parameter_line = "8.9e-5 0.0767 127 6e-6 5"; }, good,
       kControlFileErrorCode, "GIF-Mapping exponent x2 for temperature is 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SectionSpec s;
    s.station_line = Stations(c.records);
    c.change(s);
    WriteControlFile(Section("temperature", s));
    const int code = test::ThrownCode([&] {
      int status = 0;
      meteointerpol m(setup_, "temperature", registry_.FirstFreeIndex(), kStart, kEnd, status);
      m.AdvanceRecords();
    });
    EXPECT_EQ(code, c.code);
    EXPECT_TRUE(ScreenHas(c.message)) << c.message;
    for (int i = registry_.FirstFreeIndex() - 1; i > 5; --i) registry_.Unregister(i);
  }
  EXPECT_TRUE(ScreenHas(
      "dosnt contain date 1.1.2000, hour 24(feof)!\nIts records begin on 2.1.2000, hour 24."));
  EXPECT_TRUE(ScreenHas("its first record \"2000 1 1 1 2\" holds 5 values, but a record needs 6"));
  // The application's date must be the record's.
  SectionSpec s;
  s.station_line = Stations(good);
  auto m = Make("temperature", Section("temperature", s), kStart, kEnd);
  EXPECT_EQ(test::ThrownCode([&] { m->InterpolateStep(24, 2, 1, 2000); }), kDateMismatchCode);
}

TEST_F(MeteoInterpolatorTest, RegressionFilesInTextOrBinaryForm) {
  SectionSpec s;
  s.station_line = Stations({"2000 1 1 24 1 2"});
  auto m = Make("temperature", Section("temperature", s), kStart, kEnd);
  m->regression_files.resize(2);
  const std::string text = dir_ / "regr.txt";
  test::WriteFile(text,
                  "jr mo dd hh b1 a1\n2000 1 1 24 1 2 3 4 5 6 7 8 9 10 11\n"
                  "100 1 2 24 11 12 13 14 15 16 17 18 19 20 21\n");
  const std::string binary = dir_ / "regr.bin";
  {
    std::ofstream out(binary, std::ios::binary);
    for (int64_t day = 1; day <= 2; ++day) {
      const int64_t date[4] = {100, 1, day, 24};
      double v[11];
      for (int i = 0; i < 11; ++i) v[i] = 10.0 * day + i;
      out.write(reinterpret_cast<const char*>(date), sizeof date);
      out.write(reinterpret_cast<const char*>(v), sizeof v);
    }
  }
  // year 100 becomes 2000; the text form starts at the written 2000.
  for (const std::string& path : {text, binary}) {
    m->regression_files[1] = RegressionFile{};
    m->regression_files[1].path = path;
    m->SeekRegressionStartDate(1);
    const RegressionFile& f = m->regression_files[1];
    EXPECT_EQ(f.text, path == text);
    EXPECT_EQ(f.intercept[2], path == text ? 4 : 13);
    m->NextRegressionRecord(1);
    EXPECT_EQ(f.date, (ModelDate{2000, 1, 2, 24}));
    EXPECT_EQ(f.trend_y, path == text ? 21 : 30);
  }
  // A text file whose title is not the expected one is no binary file either.
  test::WriteFile(text, "year mo dd hh\n2000 1 1 24 1 2 3 4 5 6 7 8 9 10 11\n");
  m->regression_files[1] = RegressionFile{};
  m->regression_files[1].path = text;
  EXPECT_EQ(test::ThrownCode([&] { m->SeekRegressionStartDate(1); }), kStationContentCode);
  EXPECT_TRUE(ScreenHas(text));
}

}  // namespace
}  // namespace velorn

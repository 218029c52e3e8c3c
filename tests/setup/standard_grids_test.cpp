// Standard-grid definitions and their period calendar, zone and region ranking of whole grids,
// the zone grid header and the code checks, on one process.
#include "setup/standard_grids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/grid_registry.h"
#include "setup/code_checks.h"
#include "setup/zone_ranking.h"
#include "tests/support/settings_test.h"

namespace velorn {
namespace {

constexpr double kNodataStandardGrids = -9999.0;

TEST(StandardGridLine, ReadsOldAndKeywordStylesWithWholeWordKeywords) {
  struct Case {
    const char* line;
    int fill;  // -1: no fill code
    int read, write, period, step;
    const char* letters;
    bool persistent;
    int persistence_steps;
    const char* statfile;
  };
  const Case cases[] = {
      {"lu.asc landuse 2", 2, 1, 0, -1, -1, "", true, 0, ""},
      {"lu.asc landuse fillcode = 2 readcode=0 writecode = 31", 2, 0, 31, -1, -1, "", true, 0, ""},
      // The keyword overrides the old-style value; "persistent" needs "periodicity".
      {"lu.asc landuse 1 fillcode = 3 persistent = 0 4", 3, 1, 0, -1, -1, "", true, 0, ""},
      {"lu.asc landuse 0 periodicity = 2 D 1 persistent = 0 3", 0, 1, 0, 2, 1, "D", false, 3, ""},
      // A keyword inside a value or file name is no keyword.
      {"lu.asc landuse 0 statfile = writecode_stats.txt statcode = 1", 0, 1, 0, -1, -1, "", true, 0,
       "writecode_stats.txt"},
      {"my_fillcode.asc soil readcode = 1", -1, 1, 0, -1, -1, "", true, 0, ""},
  };
  for (const Case& c : cases) {
    StandardGridLine line;
    ASSERT_EQ(ParseStandardGridLine(c.line, line).error, GridLineError::kNone) << c.line;
    EXPECT_EQ(line.fill_code.value_or(-1), c.fill) << c.line;
    EXPECT_EQ(line.read_code, c.read) << c.line;
    EXPECT_EQ(line.write_code, c.write) << c.line;
    EXPECT_EQ(line.period_count, c.period) << c.line;
    EXPECT_EQ(line.step_number, c.step) << c.line;
    EXPECT_EQ(line.period_letters.value_or(""), c.letters) << c.line;
    EXPECT_EQ(line.persistent, c.persistent) << c.line;
    EXPECT_EQ(line.persistence_steps, c.persistence_steps) << c.line;
    EXPECT_EQ(line.statistics_file.value_or(""), c.statfile) << c.line;
  }
  StandardGridLine bad;
  EXPECT_EQ(ParseStandardGridLine("only_a_name", bad).error, GridLineError::kNameOrIdentifier);
  const GridLineResult result = ParseStandardGridLine("a b 1 readcode = x", bad);
  EXPECT_EQ(result.error, GridLineError::kKeywordValue);
  EXPECT_EQ(result.bad_keyword, "readcode");
  // A decimal comma would read as the number before it.
  EXPECT_EQ(ParseStandardGridLine("a b 1 defaultValue=0,5", bad).bad_keyword, "defaultValue");
}

// A scripted run: each step's date, and whether the dated file is read at it.
struct Step {
  ModelDate date;
  bool due;
};

void ExpectCalendar(const char* letters, int n, int k, const std::vector<Step>& steps) {
  GridEntry entry;
  entry.period_letters = letters;
  entry.period_count = n;
  entry.step_number = k;
  entry.period_counter = 0;
  entry.step_counter = 0;
  entry.last_watched_value = kUnwatchedValue;
  for (const Step& step : steps)
    EXPECT_EQ(AdvancePeriod(entry, step.date), step.due)
        << letters << " N=" << n << " K=" << k << " at " << step.date.year << "-" << step.date.month
        << "-" << step.date.day << " " << step.date.hour << "h";
}

TEST(PeriodicGrids, DatedReadsFollowTheCountersOverHoursDaysAndMonthEnds) {
  // Hourly steps over two and a half days: 'D' (and 'H') read at the first step of every day.
  std::vector<Step> hourly_n1, hourly_n2;
  for (int h = 0; h < 60; ++h) {
    const ModelDate date{2000, 2, 28 + h / 24 > 29 ? 1 : 28 + h / 24, h % 24};
    hourly_n1.push_back({date, h % 24 == 0});
    hourly_n2.push_back({date, h == 24});  // the second day (period 2), then every second
  }
  ExpectCalendar("D", 1, 1, hourly_n1);
  ExpectCalendar("H", 1, 1, hourly_n1);
  ExpectCalendar("D", 2, 1, hourly_n2);
  // K = 7: the seventh step of the day (steps are counted, not hours).
  std::vector<Step> seventh;
  for (int h = 2; h < 24; h += 2) seventh.push_back({{2000, 1, 1, h}, h == 14});
  ExpectCalendar("D", 1, 7, seventh);
  // Daily steps: the hour never changes, so 'D' reads only at the first step; 'M' at the first
  // step and on the first day of each month (over the end of a leap February).
  const std::vector<ModelDate> days = {{2000, 1, 30, 0}, {2000, 1, 31, 0}, {2000, 2, 1, 0},
                                       {2000, 2, 29, 0}, {2000, 3, 1, 0},  {2000, 3, 2, 0}};
  std::vector<Step> daily_d, daily_m, daily_y;
  for (std::size_t i = 0; i < days.size(); ++i) {
    daily_d.push_back({days[i], i == 0});
    daily_m.push_back({days[i], i == 0 || days[i].day == 1});
    daily_y.push_back({days[i], i == 0});
  }
  ExpectCalendar("D", 1, 1, daily_d);
  ExpectCalendar("M", 1, 1, daily_m);
  ExpectCalendar("Y", 1, 1, daily_y);
  ExpectCalendar("x", 1, 1, {{{2000, 1, 1, 0}, false}, {{2000, 1, 2, 0}, false}});
  EXPECT_EQ(DatedGridFileName("in/lu", {2001, 3, 4, 5}), "in/lu_2001030405");
}

GridMatrix Whole(DiagnosticStream& diag, const std::vector<std::vector<double>>& rows) {
  return test::MakeGrid(diag, rows);
}

class RankingTest : public test::DiagTest {};

// Codes, counts, shares and column ranges of a basin with holes are checked on 1..3 processes
// (grid_setup_mpitest.cpp); here the weights: areas follow them, cell counts stay counts.
TEST_F(RankingTest, WeightedZoneAreasKeepTheCellCounts) {
  GridMatrix zone =
      Whole(diag_, {{kNodataStandardGrids, 7, 7, kNodataStandardGrids, kNodataStandardGrids},
                    {kNodataStandardGrids, kNodataStandardGrids, kNodataStandardGrids,
                     kNodataStandardGrids, kNodataStandardGrids},
                    {3, 7, 12, 12, 12},
                    {kNodataStandardGrids, 3, 3, kNodataStandardGrids, 3}});
  GridMatrix weight = test::FilledGrid(diag_, 4, 5, 0.5);
  const ZoneGridRanking w =
      RankZoneGrid(zone.get(), weight.get(), 5, 4, kNodataStandardGrids, 1000.0);
  ASSERT_EQ(w.zone_count, 3);
  const double expected[4][5] = {
      {0, 0, 0, 5, 0}, {2, 4, 3, 0.4, 2}, {1.5, 3, 7, 0.3, 1.5}, {1.5, 3, 12, 0.3, 1.5}};
  for (int i = 0; i <= 3; ++i)
    for (int f = 0; f < 5; ++f) EXPECT_DOUBLE_EQ(w.records[i][f], expected[i][f]) << i << "," << f;
}

TEST_F(RankingTest, ZoneAndRegionLimitsGiveTheirCodes) {
  struct Case {
    double value;
    int failure;
  };
  const Case cases[] = {{32767, 0}, {0, 0}, {32768, kInvalidZoneCode}, {-2.5, kInvalidZoneCode}};
  for (const Case& c : cases) {
    GridMatrix zone = Whole(diag_, {{1, c.value}});
    EXPECT_EQ(RankZoneGrid(zone.get(), nullptr, 2, 1, kNodataStandardGrids, 1).failure, c.failure)
        << c.value;
  }
  GridMatrix holes = Whole(diag_, {{kNodataStandardGrids, kNodataStandardGrids}});
  EXPECT_EQ(RankZoneGrid(holes.get(), nullptr, 2, 1, kNodataStandardGrids, 1).failure,
            kNoZoneCellCode);
  std::vector<double> many(16001);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<double>(i);
  GridMatrix crowded = Whole(diag_, {many});
  EXPECT_EQ(RankZoneGrid(crowded.get(), nullptr, 16001, 1, kNodataStandardGrids, 1).failure,
            kTooManyZonesCode);

  // Regions: centres are the mean row and column of the region's zone cells.
  GridMatrix zone = Whole(diag_, {{1, 1, kNodataStandardGrids}, {1, 1, 1}, {1, 1, 1}});
  GridMatrix region = Whole(diag_, {{5, 5, kNodataStandardGrids}, {2, 5, 2}, {2, 2, 2}});
  const RegionRanking r = RankRegionGrid(region.get(), zone.get(), 3, 3, kNodataStandardGrids);
  ASSERT_EQ(r.failure, 0);
  ASSERT_EQ(r.region_count, 2);
  EXPECT_EQ(r.code_index[2], 1);
  EXPECT_EQ(r.code_index[5], 2);
  EXPECT_DOUBLE_EQ(r.records[1].mean_row, 13.0 / 5);  // cells (2,1) (2,3) (3,1) (3,2) (3,3)
  EXPECT_DOUBLE_EQ(r.records[1].mean_col, 10.0 / 5);
  EXPECT_EQ(r.records[1].center_row, 2);
  EXPECT_DOUBLE_EQ(r.records[2].mean_col, 5.0 / 3);
  EXPECT_EQ(r.records[2].center_col, 1);
  EXPECT_DOUBLE_EQ(r.records[2].cell_count, 3);
  region[2][2] = kNodataStandardGrids;  // a zone cell without region
  EXPECT_EQ(RankRegionGrid(region.get(), zone.get(), 3, 3, kNodataStandardGrids).failure,
            kInvalidZoneCode);
  std::vector<double> thirty_one(31);
  for (std::size_t i = 0; i < thirty_one.size(); ++i) thirty_one[i] = static_cast<double>(i + 1);
  GridMatrix regions31 = Whole(diag_, {thirty_one});
  GridMatrix zone31 = test::FilledGrid(diag_, 1, 31, 1);
  EXPECT_EQ(RankRegionGrid(regions31.get(), zone31.get(), 31, 1, kNodataStandardGrids).failure,
            kTooManyZonesCode);
}

TEST_F(RankingTest, CodesBecomeTheIndexesOfTheirEntries) {
  const std::vector<int32_t> soil{0, 10, 20, 30};
  GridMatrix zone = Whole(diag_, {{1, 1, 1, 1, kNodataStandardGrids}});
  struct Case {
    std::vector<double> cells;
    bool positive_only;
    int bad_col;  // 0: every code known
    std::vector<double> replaced;
  };
  const Case cases[] = {
      {{20, 30, 10, 10, 20}, false, 0, {2, 3, 1, 1, 2}},  // outside the zones too
      // A fraction is checked and replaced by its integer part: 20.5 becomes 2, not 20.5.
      {{20.5, 30.9, 10, 10, kNodataStandardGrids}, false, 0, {2, 3, 1, 1, kNodataStandardGrids}},
      {{20, 15, 10, 10, kNodataStandardGrids}, false, 2, {}},
      {{10, 30, 10, 99, 99}, false, 4, {}},               // 99 outside the zones is not checked
      {{0, -3, 30, 20, 99}, true, 0, {0, -3, 3, 2, 99}},  // irrigation: 0 and below stay
  };
  for (const Case& c : cases) {
    GridMatrix grid = Whole(diag_, {c.cells});
    const UnknownCode unknown =
        FindUnknownCode(grid.get(), zone.get(), 5, 1, kNodataStandardGrids, soil, c.positive_only);
    EXPECT_EQ(unknown.found ? unknown.col : 0, c.bad_col);
    if (c.bad_col != 0) {
      EXPECT_EQ(unknown.value, c.cells[c.bad_col - 1]);
      continue;
    }
    ReplaceCodesByIndexes(grid.get(), 5, 1, soil, c.positive_only);
    for (int col = 1; col <= 5; ++col) EXPECT_EQ(grid[1][col], c.replaced[col - 1]) << col;
  }
  GridMatrix any = Whole(diag_, {{1, 1, 1, 1, 1}});
  EXPECT_TRUE(FindUnknownCode(any.get(), zone.get(), 5, 1, kNodataStandardGrids, {0}, false)
                  .found);  // empty table
  const auto pairs = DuplicateCodes({0, 5, 6, 5});
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0], std::make_pair(1, 3));
  EXPECT_EQ(IndexOfCode({0, 5, 6, 5}, 5), 3);
}

class GridSetupTest : public test::SettingsTest {
 protected:
  void Load(const std::string& text) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
  }
};

TEST_F(GridSetupTest, StandardGridSectionsFillTheRegistryEntries) {
  Load(
      "[zone_grid]\nzone.asc\n[elevation_model]\ndem.asc comment\n[standard_grids]\n3 grids\n"
      "lu.asc landuse 1 outname = lu_out writecode = 21\n"
      "lat.asc latitude fillcode = 0 readcode = 0 defaultValue = 47.5\n"
      "  soil.asc soil_types 2 periodicity = 1 M 1 statfile = soil.stat\n");
  settings_.ReadStandardGrids();
  EXPECT_EQ(*registry_[1].file_name, "zone.asc");
  EXPECT_EQ(*registry_[1].identifier, "[zone_grid]");
  EXPECT_EQ(*registry_[2].identifier, "[elevation_model]");
  EXPECT_EQ(settings_.registered_grid_count, 3);
  EXPECT_EQ(*registry_[3].first_file_name, "lu_out");
  EXPECT_EQ(registry_[3].write_code, 21);
  EXPECT_EQ(*registry_[4].first_file_name, "lat.asc");
  EXPECT_EQ(registry_[4].read_code, 0);
  EXPECT_EQ(registry_[4].default_value, 47.5);
  EXPECT_TRUE(registry_.latitude_present);
  EXPECT_EQ(registry_.latitude_index, 4);
  EXPECT_TRUE(ScreenHas("found latitude grid on position: 2"));
  EXPECT_EQ(registry_[5].fill_code, 2);
  EXPECT_EQ(registry_[5].period_count, 1);
  EXPECT_EQ(registry_[5].last_watched_value, kUnwatchedValue);
  EXPECT_EQ(*registry_[5].statistics_file_name, "soil.stat");
  EXPECT_TRUE(registry_[6].IsFree());
}

TEST_F(GridSetupTest, BadStandardGridLinesAreControlFileErrors) {
  struct Case {
    const char* lines;
    const char* message;
  };
  const Case cases[] = {
      {"2\nlu.asc landuse\nsoil.asc soil 1\n",
       "error reading the fillcode for standard grid 1 (found neither in old nor in new style"},
      {"1\nlu.asc\n", "error reading a grid name or identifier 1 in"},
      {"1\nlu.asc lu 1 persistent = 1 periodicity = 1 D x\n",
       "error reading the value of \"periodicity\" for standard grid 1"},
      {"-1\n", "number of grids of [standard_grids] is -1, it must be 0 or more"},
  };
  for (const Case& c : cases) {
    Load(std::string("[zone_grid]\nz\n[elevation_model]\nd\n[standard_grids]\n") + c.lines);
    EXPECT_EQ(test::ThrownCode([&] { settings_.ReadStandardGrids(); }), 17) << c.lines;
    EXPECT_TRUE(ScreenHas(c.message)) << c.message;
  }
  Load("[zone_grid]\nz\n[elevation_model]\nd\n[standard_grids]\n1\nlu.asc lu fillcode = 2\n");
  settings_.ReadStandardGrids();
  EXPECT_EQ(registry_[3].fill_code, 2);
}

TEST_F(GridSetupTest, ZoneGridHeaderInTheFormsOfTheGridReader) {
  const std::string ascii =
      "ncols 4\nnrows 3\nxllcorner 10\nyllcorner 20\ncellsize 5\nNODATA_value -1\n";
  std::string upper = "NCOLS 4\nNROWS 3\nXLLCENTER 12.5\nYLLCENTER 22.5\nCELLSIZE 5\n";
  std::vector<double> doubles = {4, 3, 10, 20, 5, -9999, 0, 0, 0, 0, 0, 0};
  std::string binary(reinterpret_cast<const char*>(doubles.data()), 96);
  std::vector<float> floats = {4, 3, 10, 20, 5, -9999, 0, 0, 0, 0, 0, 0};
  std::string single(reinterpret_cast<const char*>(floats.data()), 48);
  doubles[5] = -9998;
  std::string other_nodata(reinterpret_cast<const char*>(doubles.data()), 96);
  struct Case {
    std::string content;
    int code;
    double nodata;
  };
  // A nodata value above -9999 (the ASCII header's -1) marks the zone grid's outside cells only:
  // the run keeps -9999 for its grids.
  const Case cases[] = {{ascii, -1, -9999},  {upper, -1, -9999},    {binary, -1, -9999},
                        {single, -1, -9999}, {other_nodata, 22, 0}, {"ncols x\n", 22, 0},
                        {"(no file)", 21, 0}};
  for (const Case& c : cases) {
    test::WriteFile(dir_ / "zone.grd", c.content);
    registry_[1].file_name = dir_ / (c.code == 21 ? "absent.grd" : "zone.grd");
    int32_t cols = 0, rows = 0;
    double x = 0, y = 0, size = 0, nodata = 0;
    EXPECT_EQ(
        test::ThrownCode([&] { settings_.ReadZoneGridHeader(cols, rows, x, y, size, nodata); }),
        c.code);
    if (c.code != -1) continue;
    EXPECT_EQ(cols, 4);
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, 20);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(nodata, c.nodata);
  }
  EXPECT_TRUE(ScreenHas("could not recognise file format (ascii, float or double) for "));
}

}  // namespace
}  // namespace velorn

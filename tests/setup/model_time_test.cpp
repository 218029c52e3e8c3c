// Model time: normalisation of [model_time] with real leap years, its reader and messages, the
// radiation-correction switch, the grid maximum on one process and the standard-grid range.
#include <gtest/gtest.h>

#include <sstream>

#include "core/error_code.h"
#include "setup/defaultini.h"
#include "tests/support/test_files.h"

namespace velorn {
namespace {

ModelDate Date(int64_t year, int64_t month, int64_t day, int64_t hour) {
  return ModelDate{year, month, day, hour};
}

class ModelTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(error_, 0);
    screen_.str("");
  }

  // Reads `text` as the open compiled control file of the settings object.
  void Use(const std::string& text) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
  }

  template <class F>
  int ThrownCode(F&& call) {
    try {
      call();
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }

  bool ScreenHas(const std::string& text) const {
    return screen_.str().find(text) != std::string::npos;
  }

  test::TempDir dir_;
  std::ostringstream screen_;
  DiagnosticStream diag_{dir_ / "diag.xml", 4, screen_};
  GridRegistry registry_;
  GridRegistry* registry_pointer_ = &registry_;
  int32_t error_ = -1;
  defaultini settings_{error_, &diag_, "run.ctl", nullptr, 200, 2, &registry_pointer_};
};

TEST(NormaliseModelTime, TwoDigitAndThreeDigitYearsAreAfter1900) {
  ModelDate start = Date(99, 1, 1, 0);
  ModelDate end = Date(5, 12, 31, 23);
  NormaliseModelTime(start, end);
  EXPECT_EQ(start, Date(1999, 1, 1, 0));
  EXPECT_EQ(end, Date(1905, 12, 31, 23));
  start = Date(999, 1, 1, 0);
  end = Date(1000, 1, 1, 0);
  NormaliseModelTime(start, end);
  EXPECT_EQ(start.year, 2899);
  EXPECT_EQ(end.year, 1000);
}

TEST(NormaliseModelTime, MonthsAndDaysAreClampedHoursKept) {
  ModelDate start = Date(2001, 0, 0, 30);
  ModelDate end = Date(2001, 13, 32, -1);
  NormaliseModelTime(start, end);
  EXPECT_EQ(start, Date(2001, 1, 1, 30));
  EXPECT_EQ(end, Date(2001, 12, 31, -1));

  start = Date(2001, 4, 31, 0);
  end = Date(2001, 6, 31, 0);
  NormaliseModelTime(start, end);
  EXPECT_EQ(start.day, 30);
  EXPECT_EQ(end.day, 30);
}

TEST(NormaliseModelTime, EachDateUsesTheLeapRuleOfItsOwnYear) {
  // A leap start year with a common end year keeps 29 February.
  ModelDate start = Date(2004, 2, 29, 0);
  ModelDate end = Date(2005, 2, 29, 0);
  NormaliseModelTime(start, end);
  EXPECT_EQ(start.day, 29);
  EXPECT_EQ(end.day, 28);
  // A common start year with a leap end year does not get 29 February.
  start = Date(2003, 2, 30, 0);
  end = Date(2004, 2, 30, 0);
  NormaliseModelTime(start, end);
  EXPECT_EQ(start.day, 28);
  EXPECT_EQ(end.day, 29);
  // Century rule: 1900 and 2100 are common years, 2000 a leap year.
  for (const auto& [year, length] : {std::pair{1900, 28}, {2000, 29}, {2100, 28}, {2004, 29}}) {
    start = Date(year, 2, 31, 0);
    end = Date(year, 2, 31, 0);
    NormaliseModelTime(start, end);
    EXPECT_EQ(start.day, length) << year;
    EXPECT_EQ(end.day, length) << year;
  }
}

TEST_F(ModelTimeTest, ReadsEightValuesWithCommentsAndSetsFebruary) {
  Use("[model_time]\n0 start hour\n1\n1\n99 start year\n23\n31 end day\n12\n2000\n");
  settings_.ReadModelTime();
  EXPECT_EQ(settings_.start_date, Date(1999, 1, 1, 0));
  EXPECT_EQ(settings_.end_date, Date(2000, 12, 31, 23));
  EXPECT_EQ(settings_.month_lengths[1], 29);

  Use("[model_time]\n24\n29\n2\n2004\n24\n31\n12\n2005\n");
  settings_.ReadModelTime();
  EXPECT_EQ(settings_.start_date, Date(2004, 2, 29, 24));
  EXPECT_EQ(settings_.month_lengths[1], 28);
  EXPECT_EQ(settings_.month_lengths[0], 31);
}

TEST_F(ModelTimeTest, MissingSectionOrValueIsControlFileError) {
  Use("[other]\n1\n");
  EXPECT_EQ(ThrownCode([&] { settings_.ReadModelTime(); }), 17);
  EXPECT_TRUE(ScreenHas("error in control file, [model_time]; (EOF)not found!\n")) << screen_.str();

  Use("[model_time]\n0\n1\nJan\n1999\n");
  EXPECT_EQ(ThrownCode([&] { settings_.ReadModelTime(); }), 17);
  EXPECT_TRUE(ScreenHas("error in control file, starting month in ; defaultsnot found!\n"))
      << screen_.str();

  // The file ends before the eighth value.
  Use("[model_time]\n0\n1\n1\n1999\n0\n31\n12\n");
  EXPECT_EQ(ThrownCode([&] { settings_.ReadModelTime(); }), 17);
  EXPECT_TRUE(ScreenHas("end year in ; defaultsnot found!")) << screen_.str();
  const std::string xml = test::ReadFile(diag_.file_name());
  EXPECT_NE(xml.find("<line level=\"0\""), std::string::npos);
}

TEST_F(ModelTimeTest, RadiationCorrectionSwitch) {
  Use("[radiation_correction]\n1 switch\n");
  EXPECT_EQ(settings_.ReadRadiationCorrectionSwitch(), 1);
  EXPECT_EQ(settings_.radiation_correction_switch, 1);
  // An unreadable value is not an error: nothing is read and the switch keeps its value.
  Use("[radiation_correction]\noff\n");
  EXPECT_EQ(settings_.ReadRadiationCorrectionSwitch(), 0);
  EXPECT_EQ(settings_.radiation_correction_switch, 1);
  // The section itself is required.
  Use("[model_time]\n");
  EXPECT_EQ(ThrownCode([&] { settings_.ReadRadiationCorrectionSwitch(); }), 17);
  EXPECT_TRUE(ScreenHas("[radiation_correction]; (EOF)not found!")) << screen_.str();
}

TEST_F(ModelTimeTest, GridMaximumOnOneProcessLooksOnlyAtZoneCells) {
  settings_.ncols = 4;
  settings_.nrows = 3;
  settings_.nodata = -9999;
  settings_.first_local_row = 1;
  settings_.last_local_row = 3;
  GridMatrix grid(diag_, 1, 3, 4, 0);
  std::vector<ColumnRange> ranges(4);
  ranges[1] = {2, 3};
  ranges[2] = {0, -1};  // a row without zone cells
  ranges[3] = {1, 4};
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) grid[r][c] = -9999;
  grid[1][1] = 5000;  // outside the zone cells of its row
  grid[2][2] = 4000;  // in a row without zone cells
  grid[1][3] = 812.5;
  grid[3][4] = 640;
  settings_.column_ranges = ranges.data();
  settings_.RegisterGrid(1, "zone.asc", grid.get(), nullptr, 0, "elevation", 0, 1, 3);
  EXPECT_DOUBLE_EQ(settings_.GlobalGridMaximum(1), 812.5);

  grid[1][3] = -9999;
  grid[3][4] = -10000;  // below nodata does not count either
  EXPECT_DOUBLE_EQ(settings_.GlobalGridMaximum(1), -9999);
  settings_.UnregisterGrid(1);
}

TEST(StandardGridOutputRange, EndsBeforeTheFirstVariableGrid) {
  // Without variable grids every grid the settings object registered (entries 3..counter + 2)
  // is handed over together with the elevation model.
  EntryRange range = StandardGridOutputRange(5, 0);
  EXPECT_EQ(range.first, 2);
  EXPECT_EQ(range.last, 7);
  // With variable grids the range stops before the first of them, which the variable-grid
  // output hands over itself: no grid is written twice in one step.
  range = StandardGridOutputRange(7, 8);
  EXPECT_EQ(range.first, 2);
  EXPECT_EQ(range.last, 7);
  // No standard grids at all: the elevation model alone.
  range = StandardGridOutputRange(0, 0);
  EXPECT_EQ(range.last, 2);
  range = StandardGridOutputRange(0, 3);
  EXPECT_EQ(range.last, 2);
}

}  // namespace
}  // namespace velorn

// Model time: normalisation of [model_time] with real leap years, its reader and messages, the
// radiation-correction switch, the grid maximum on one process, the standard-grid range and the
// hand-over of the standard grids to the grid output at each step.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "core/error_code.h"
#include "setup/defaultini.h"
#include "tests/support/settings_test.h"
#include "tests/support/test_files.h"

namespace velorn {
namespace {

using test::ThrownCode;

ModelDate Date(int64_t year, int64_t month, int64_t day, int64_t hour) {
  return ModelDate{year, month, day, hour};
}

class ModelTimeTest : public test::SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    screen_.str("");
  }

  // Reads `text` as the open compiled control file of the settings object.
  void Use(const std::string& text) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
  }
};

TEST(NormaliseModelTime, YearsMonthsAndDaysOfBothDates) {
  struct Case {
    const char* name;
    ModelDate start, end, start_out, end_out;
  };
  const Case cases[] = {
      {"two- and one-digit years are after 1900", Date(99, 1, 1, 0), Date(5, 12, 31, 23),
       Date(1999, 1, 1, 0), Date(1905, 12, 31, 23)},
      {"three-digit years too, four-digit ones stay", Date(999, 1, 1, 0), Date(1000, 1, 1, 0),
       Date(2899, 1, 1, 0), Date(1000, 1, 1, 0)},
      {"months and days clamped, hours kept", Date(2001, 0, 0, 30), Date(2001, 13, 32, -1),
       Date(2001, 1, 1, 30), Date(2001, 12, 31, -1)},
      {"30-day months", Date(2001, 4, 31, 0), Date(2001, 6, 31, 0), Date(2001, 4, 30, 0),
       Date(2001, 6, 30, 0)},
      // Each date uses the leap rule of its own year.
      {"leap start, common end", Date(2004, 2, 29, 0), Date(2005, 2, 29, 0), Date(2004, 2, 29, 0),
       Date(2005, 2, 28, 0)},
      {"common start, leap end", Date(2003, 2, 30, 0), Date(2004, 2, 30, 0), Date(2003, 2, 28, 0),
       Date(2004, 2, 29, 0)},
      // Century rule: 1900 and 2100 are common years, 2000 a leap year.
      {"1900", Date(1900, 2, 31, 0), Date(1900, 2, 31, 0), Date(1900, 2, 28, 0),
       Date(1900, 2, 28, 0)},
      {"2000", Date(2000, 2, 31, 0), Date(2000, 2, 31, 0), Date(2000, 2, 29, 0),
       Date(2000, 2, 29, 0)},
      {"2100", Date(2100, 2, 31, 0), Date(2100, 2, 31, 0), Date(2100, 2, 28, 0),
       Date(2100, 2, 28, 0)},
  };
  for (const Case& c : cases) {
    ModelDate start = c.start, end = c.end;
    NormaliseModelTime(start, end);
    EXPECT_EQ(start, c.start_out) << c.name;
    EXPECT_EQ(end, c.end_out) << c.name;
  }
}

TEST_F(ModelTimeTest, ReadsEightValuesWithComments) {
  Use("[model_time]\n0 start hour\n1\n1\n99 start year\n23\n31 end day\n12\n2000\n");
  settings_.ReadModelTime();
  EXPECT_EQ(settings_.start_date, Date(1999, 1, 1, 0));
  EXPECT_EQ(settings_.end_date, Date(2000, 12, 31, 23));
  // A leap end year no longer imposes its February on the other years of the run.
  EXPECT_EQ(settings_.month_lengths[1], 28);

  Use("[model_time]\n24\n29\n2\n2004\n24\n31\n12\n2005\n");
  settings_.ReadModelTime();
  EXPECT_EQ(settings_.start_date, Date(2004, 2, 29, 24));
  EXPECT_EQ(settings_.month_lengths[1], 28);
  EXPECT_EQ(settings_.month_lengths[0], 31);

  // 30 February is no date: the run takes the last day of the month and says so.
  Use("[model_time]\n0\n30\n2\n2019\n0\n31\n12\n2019\n");
  settings_.ReadModelTime();
  EXPECT_EQ(settings_.start_date, Date(2019, 2, 28, 0));
  EXPECT_TRUE(
      ScreenHas("the start date of [model_time], 30.2.2019, is no date of the calendar: "
                "the run takes 28.2.2019"))
      << screen_.str();
}

TEST_F(ModelTimeTest, MissingSectionValueOrAnEndBeforeTheStartIsControlFileError) {
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

  // An end before the start would run the start's step alone.
  Use("[model_time]\n0\n2\n1\n2019\n0\n1\n1\n2019\n");
  EXPECT_EQ(ThrownCode([&] { settings_.ReadModelTime(); }), 17);
  EXPECT_TRUE(
      ScreenHas("the end of the model time in [model_time] (0 h, 1.1.2019) lies before "
                "its start (0 h, 2.1.2019)"))
      << screen_.str();
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

  // Without the zone ranking, or for an entry without a grid, there is no maximum: no nodata
  // that would pass for one.
  settings_.column_ranges = nullptr;
  EXPECT_EQ(ThrownCode([&] { settings_.GlobalGridMaximum(1); }), 33);
  EXPECT_TRUE(ScreenHas("zone ranking")) << screen_.str();
  settings_.column_ranges = ranges.data();
  EXPECT_EQ(ThrownCode([&] { settings_.GlobalGridMaximum(2); }), 33);
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

// Keeps the hand-overs to the grid output, with the step date each one sees, instead of
// writing grids.
class RecordingSettings : public defaultini {
 public:
  using defaultini::defaultini;
  struct Call {
    int index;
    int mpi_mode;
    bool grid_only;
    ModelDate date;
  };
  void WriteGridOutput(int index, int mpiMode, bool gridOnly) override {
    calls.push_back({index, mpiMode, gridOnly, step_date});
  }
  std::vector<int> Indexes() const {
    std::vector<int> indexes;
    for (const Call& call : calls) indexes.push_back(call.index);
    return indexes;
  }
  std::vector<Call> calls;
};

TEST_F(ModelTimeTest, StandardGridsAreHandedOverOncePerStepWithTheStepDate) {
  RecordingSettings settings{error_, &diag_, "run.ctl", nullptr, 200, 2, &registry_pointer_};
  ASSERT_EQ(error_, 0);
  // Elevation model in entry 2, three standard grids in 3..5, a variable grid in entry 6.
  GridMatrix grids[5];
  const char* names[] = {"dem.asc", "prec.asc", "temp.asc", "soil.asc", "var.asc"};
  for (int i = 0; i < 5; ++i) {
    grids[i] = GridMatrix(diag_, 1, 2, 2, 0);
    settings.RegisterGrid(2 + i, names[i], grids[i].get(), nullptr, 0, names[i], 2, 1, 2);
  }
  settings.registered_grid_count = 4;
  settings.first_variable_entry = 6;

  const ModelDate steps[] = {Date(2019, 2, 28, 12), Date(2019, 2, 28, 24), Date(2019, 3, 1, 12),
                             Date(2019, 3, 1, 24)};
  for (const ModelDate& step : steps) {
    settings.calls.clear();
    settings.WriteStandardGrids(step.hour, step.day, step.month, step.year);
    EXPECT_EQ(settings.step_date, step);
    ASSERT_EQ(settings.Indexes(), (std::vector<int>{2, 3, 4, 5})) << step.day << " " << step.hour;
    for (const RecordingSettings::Call& call : settings.calls) {
      EXPECT_EQ(call.mpi_mode, 1);
      EXPECT_FALSE(call.grid_only);
      EXPECT_EQ(call.date, step) << "the date is stored before the first hand-over";
    }
  }

  // Without variable grids every grid the object registered is handed over.
  settings.calls.clear();
  settings.first_variable_entry = 0;
  settings.WriteStandardGrids(24, 2, 3, 2019);
  EXPECT_EQ(settings.Indexes(), (std::vector<int>{2, 3, 4, 5, 6}));
  // No grids beyond entries 1 and 2: the elevation model alone.
  settings.calls.clear();
  settings.registered_grid_count = 0;
  settings.WriteStandardGrids(24, 3, 3, 2019);
  EXPECT_EQ(settings.Indexes(), (std::vector<int>{2}));
  // A counter reaching past the registry stops at its last entry.
  settings.calls.clear();
  settings.registered_grid_count = 2000;
  settings.WriteStandardGrids(24, 4, 3, 2019);
  ASSERT_FALSE(settings.calls.empty());
  EXPECT_EQ(settings.calls.back().index, kLastGridIndex);
  for (int index = 2; index <= 6; ++index) settings.UnregisterGrid(index);
}

}  // namespace
}  // namespace velorn

// Output of registered grids by write code: the calendar of output periods (real leap years,
// time shift, end of run), the file names of every digit, and scripted date sequences through
// WriteGridOutput with the written grids recorded instead of written, so that every name and
// companion value can be checked against hand-computed numbers.
#include "grids/grid_output.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/grid_registry.h"
#include "core/modelobject.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataGridOutput = -9999.0;

TEST(OutputCalendar, MonthEndsFollowTheCalendarOfEachYear) {
  const int64_t end = ModelTimeKey(2021, 1, 1, 24);
  EXPECT_TRUE(OutputCalendarOf({2019, 2, 28, 24}, end, 0).month_end);
  EXPECT_FALSE(OutputCalendarOf({2020, 2, 28, 24}, end, 0).month_end);
  EXPECT_TRUE(OutputCalendarOf({2020, 2, 29, 24}, end, 0).month_end);
  EXPECT_TRUE(OutputCalendarOf({1900, 2, 28, 24}, end, 0).month_end);  // no leap year
  EXPECT_TRUE(OutputCalendarOf({2000, 2, 29, 24}, end, 0).month_end);
  EXPECT_TRUE(OutputCalendarOf({2019, 4, 30, 24}, end, 0).month_end);
  EXPECT_FALSE(OutputCalendarOf({2019, 4, 30, 12}, end, 0).month_end);  // not the end of the day
  const OutputCalendar new_year = OutputCalendarOf({2019, 12, 31, 24}, end, 0);
  EXPECT_TRUE(new_year.day_end && new_year.month_end && new_year.year_end);
  EXPECT_FALSE(new_year.run_end);
}

TEST(OutputCalendar, DaysEndWithTheTimeShiftAndTheRunAtTheEndKey) {
  EXPECT_FALSE(OutputCalendarOf({2019, 3, 1, 23}, 0, 0).day_end);
  EXPECT_TRUE(OutputCalendarOf({2019, 3, 1, 24}, 0, 0).day_end);
  EXPECT_TRUE(OutputCalendarOf({2019, 3, 1, 23}, 0, 1.0).day_end);   // data hour = step start
  EXPECT_TRUE(OutputCalendarOf({2019, 3, 1, 23}, 0, 1.75).day_end);  // the shift is truncated
  const int64_t end = ModelTimeKey(2019, 3, 2, 12);
  EXPECT_FALSE(OutputCalendarOf({2019, 3, 2, 11}, end, 0).run_end);
  EXPECT_TRUE(OutputCalendarOf({2019, 3, 2, 12}, end, 0).run_end);
  EXPECT_TRUE(OutputCalendarOf({2019, 3, 3, 0}, end, 0).run_end);
  EXPECT_FALSE(OutputCalendarOf({2019, 3, 3, 0}, 0, 0).run_end);  // no end date set yet
}

TEST(OutputNames, KeepTheFormsUsersRelyOn) {
  const ModelDate march1{2019, 3, 1, 24};
  EXPECT_EQ(DatedOutputName(SplitOutputName("prec.asc"), march1, 0), "prec_20190301.024");
  EXPECT_EQ(DatedOutputName(SplitOutputName("prec.asc"), march1, 1), "prec_20190301.024_001");
  EXPECT_EQ(DatedOutputName(SplitOutputName("out/rain.x.asc"), {2019, 3, 1, 12}, 0),
            "out/rain_20190301.012");
  EXPECT_EQ(DatedOutputName(SplitOutputName("temp"), march1, 0), "temp_20190301.024");
  EXPECT_EQ(DatedOutputName(SplitOutputName("a/b.c/soil_moisture.stk", 4), march1, 0),
            "a/b.c/soil_20190301.024");
  const ModelDate new_year{2019, 12, 31, 24};
  EXPECT_EQ(PeriodOutputName("out/prec.asc", 1, new_year), "out/prec.sum");
  EXPECT_EQ(PeriodOutputName("out/prec.asc", 5, new_year), "out/prec.mit");
  EXPECT_EQ(PeriodOutputName("prec.asc", 2, new_year), "prec_1900.sum");
  EXPECT_EQ(PeriodOutputName("prec.asc", 6, new_year), "prec_1900.mit");
  EXPECT_EQ(PeriodOutputName("prec.asc", 3, new_year), "prec_201912.sum");
  EXPECT_EQ(PeriodOutputName("prec.asc", 7, {2019, 3, 31, 24}), "prec_201903.mit");
  EXPECT_EQ(PeriodOutputName("prec.asc", 4, {2019, 3, 1, 24}), "prec_1903.01s");
  EXPECT_EQ(PeriodOutputName("prec.asc", 8, {2019, 3, 1, 24}), "prec_1903.01m");
  EXPECT_EQ(PeriodOutputName("prec.asc", 9, new_year), "");
  EXPECT_EQ(MinimumOutputName("out/prec.asc"), "out/prec.min");
  EXPECT_EQ(MaximumOutputName("prec"), "prec.max");
  EXPECT_EQ(VegetationOutputName("prec.asc", 1, 2019), "prec_0019_vegper.sum");
  EXPECT_EQ(VegetationOutputName("prec.asc", 2, 2019), "prec_0019_vegper.mit");
  EXPECT_EQ(FilledOutputName("out/prec.asc"), "out/prec.asc.filled");
  EXPECT_EQ(VegetationGridSuffix("etr_Layer_12.asc"), "12");
  EXPECT_EQ(VegetationGridSuffix("out/etr.asc"), "1");
}

// A grid written by the output, as process 0 would hand it to the writers.
struct Written {
  std::string name;
  bool masked = false;
  std::vector<double> values;  // rows 1..3, columns 1..4
  double at(int r, int c) const { return values[(r - 1) * 4 + (c - 1)]; }
};

class RecordingModel : public modelobject {
 public:
  using modelobject::modelobject;
  void WriteGrid(const std::string& name, double** grid, bool, bool, bool) override {
    Record(name, grid, false);
  }
  void WriteGridMasked(const std::string& name, double** grid, bool, bool, bool) override {
    Record(name, grid, true);
  }
  std::vector<Written> written;

 private:
  void Record(const std::string& name, double** grid, bool masked) {
    Written w{name, masked, {}};
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) w.values.push_back(grid[r][c]);
    written.push_back(w);
  }
};

// A 3 x 4 model whose cell (1,1) lies outside the domain, one process, daily steps.
struct GridOutput : ::testing::Test, test::CapturedDiag {
  GridRegistry registry;
  RecordingModel model{&diag, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr};
  GridMatrix zone, grid;
  ColumnRange ranges[4] = {{0, -1}, {1, 4}, {1, 4}, {1, 4}};
  int index = 0;

  void SetUp() override {
    model.SetModuleName("test_model");
    model.registry = &registry;
    model.ncols = 4;
    model.nrows = 3;
    model.nodata = kNodataGridOutput;
    model.column_ranges = ranges;
    zone = GridMatrix(diag, 1, 3, 4, 3);
    grid = GridMatrix(diag, 1, 3, 4, 3);
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) zone[r][c] = (r == 1 && c == 1) ? kNodataGridOutput : 1;
    model.RegisterGrid(1, "zone.asc", zone.get(), nullptr, 0, "zone", 0, 1, 3);
  }
  int Register(const std::string& name, int code, double** data = nullptr) {
    const int i = registry.FirstFreeIndex();
    model.RegisterGrid(i, name, data != nullptr ? data : grid.get(), nullptr, 0, name, code, 1, 3);
    return i;
  }
  // One step: every cell of the grid takes `value`, then the output call.
  void Step(ModelDate date, double value, int entry, bool grid_only = false) {
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) grid[r][c] = value;
    model.step_date = date;
    model.WriteGridOutput(entry, 1, grid_only);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const Written& w : model.written) names.push_back(w.name);
    return names;
  }
  const Written& Last(const std::string& name) const {
    for (auto it = model.written.rbegin(); it != model.written.rend(); ++it)
      if (it->name == name) return *it;
    throw std::runtime_error("not written: " + name);
  }
};

TEST_F(GridOutput, Code1332WritesDatedGridsMonthSumsAndRunExtremes) {
  for (const char* id : {"VegetationStart1", "VegetationStop1", "VegetationDuration1"})
    Register(id, 0, zone.get());
  index = Register("prec.asc", 1332);
  model.SetEndDate(2019, 4, 1, 24);
  Step({2019, 3, 30, 24}, 2.0, index);
  Step({2019, 3, 30, 24}, 6.0, index);  // the same date again
  Step({2019, 3, 31, 24}, 1.0, index);
  Step({2019, 4, 1, 24}, 5.0, index);
  const std::vector<std::string> expected = {"prec_20190330.024", "prec_20190330.024_001",
                                             "prec_20190331.024", "prec_201903.sum",
                                             "prec_20190401.024", "prec.asc",
                                             "prec.min",          "prec.max"};
  EXPECT_EQ(Names(), expected);
  const Written& sum = Last("prec_201903.sum");
  EXPECT_TRUE(sum.masked);
  EXPECT_EQ(sum.at(2, 3), 9.0);                // 2 + 6 + 1
  EXPECT_EQ(sum.at(1, 1), kNodataGridOutput);  // outside the domain
  EXPECT_EQ(Last("prec.min").at(3, 4), 1.0);
  EXPECT_EQ(Last("prec.max").at(3, 4), 6.0);
  EXPECT_EQ(Last("prec.max").at(1, 1), kNodataGridOutput);
  EXPECT_EQ(Last("prec.asc").at(2, 2), 5.0);
}

TEST_F(GridOutput, MonthAndYearCompanionsOverTwoYearsUseTheRealFebruary) {
  model.month_lengths[1] = 29;  // what a leap end year used to impose on every year
  const int months = Register("q.asc", 30);
  const int years = Register("r.asc", 60);
  model.SetEndDate(2020, 3, 1, 24);
  for (ModelDate d{2019, 2, 25, 24}; ModelTimeKey(d) <= model.end_key; d = AddDays(d, 1)) {
    Step(d, static_cast<double>(d.month), months);
    model.WriteGridOutput(years, 1, false);
  }
  std::map<std::string, double> files;
  for (const Written& w : model.written) files[w.name] = w.at(2, 2);
  EXPECT_EQ(files.size(), 14u);  // 13 month sums (Feb 2019 .. Feb 2020) and one year mean
  EXPECT_EQ(files["q_201902.sum"], 4 * 2.0);  // 25..28 February 2019
  EXPECT_EQ(files["q_201904.sum"], 30 * 4.0);
  EXPECT_EQ(files["q_201912.sum"], 31 * 12.0);
  EXPECT_EQ(files["q_202002.sum"], 29 * 2.0);
  // The last, partial month and year of the run get no period grid (docs/control-file.md,
  // "Write codes"): the run ends on 1 March 2020.
  EXPECT_EQ(files.count("q_202003.sum"), 0u);
  EXPECT_EQ(files.count("r_2000.mit"), 0u);
  // 25 February to 31 December 2019: 310 days, sum of the month numbers over them 2303.
  EXPECT_DOUBLE_EQ(files["r_1900.mit"], 2303.0 / 310.0);
}

TEST_F(GridOutput, HourlyStepsGiveDailyMeansAtTheShiftedEndOfDay) {
  index = Register("t.asc", 84);  // units 4: output name at the end of each day; daily mean
  model.SetEndDate(2019, 3, 3, 24);
  for (int hour = 1; hour <= 24; ++hour) Step({2019, 3, 1, hour}, hour, index);
  model.time_shift = 1.0;  // the data hour marks the start of the step: days end at hour 23
  for (int hour = 0; hour <= 23; ++hour) Step({2019, 3, 2, hour}, hour, index);
  EXPECT_EQ(Names(), (std::vector<std::string>{"t.asc", "t_1903.01m", "t.asc", "t_1903.02m"}));
  EXPECT_EQ(Last("t_1903.01m").at(3, 1), 12.5);
  EXPECT_EQ(Last("t_1903.02m").at(3, 1), 11.5);
  EXPECT_EQ(Last("t.asc").at(3, 1), 23.0);
}

TEST_F(GridOutput, RunSumIsWrittenOnceAtTheEndAndAgainAfterASpinUpPass) {
  index = Register("s.asc", 10);  // units 0: only the run sum
  model.SetEndDate(2019, 3, 3, 24);
  for (int pass = 1; pass <= 2; ++pass) {
    for (int day = 1; day <= 3; ++day) Step({2019, 3, day, 24}, day * pass, index);
    Step({2019, 3, 3, 24}, 100.0, index);  // a second call in the last step
  }
  ASSERT_EQ(Names(), (std::vector<std::string>{"s.sum", "s.sum"}));
  EXPECT_EQ(model.written[0].at(2, 2), 6.0);
  EXPECT_EQ(model.written[1].at(2, 2), 12.0);  // 2 + 4 + 6: the late call is not carried over
}

TEST_F(GridOutput, NodataCellsOfTheGridDoNotEnterSumsAndExtremes) {
  index = Register("n.asc", 350);  // run mean, minimum and maximum
  model.SetEndDate(2019, 3, 3, 24);
  Step({2019, 3, 1, 24}, 4.0, index);
  Step({2019, 3, 2, 24}, 1.0, index);
  grid[2][2] = kNodataGridOutput;  // a hole in the last step
  model.step_date = {2019, 3, 3, 24};
  model.WriteGridOutput(index, 1, false);
  EXPECT_EQ(Names(), (std::vector<std::string>{"n.min", "n.max", "n.mit"}));
  EXPECT_EQ(Last("n.min").at(2, 2), 1.0);
  EXPECT_EQ(Last("n.max").at(2, 2), 4.0);
  EXPECT_EQ(Last("n.mit").at(2, 2), kNodataGridOutput);  // the mean over the run is unknown there
  EXPECT_EQ(Last("n.mit").at(2, 3), 2.0);                // (4 + 1 + 1) / 3
  EXPECT_EQ(Last("n.min").at(1, 1), kNodataGridOutput);  // outside the domain
}

TEST_F(GridOutput, GridOnlyKeepsAccumulatingWithoutWriting) {
  index = Register("g.asc", 10);
  model.SetEndDate(2019, 3, 2, 24);
  Step({2019, 3, 1, 24}, 1.0, index);
  Step({2019, 3, 2, 24}, 2.0, index, true);
  EXPECT_TRUE(model.written.empty());
  Step({2019, 3, 2, 24}, 3.0, index);
  EXPECT_EQ(Names(), std::vector<std::string>{"g.sum"});
  EXPECT_EQ(Last("g.sum").at(3, 3), 6.0);
}

TEST_F(GridOutput, UnitsDigitsWriteWhenAndUnderTheNamesTheySay) {
  const int at_end = Register("e.asc", 3);
  const int filled = Register("f.asc", 8);  // written at registration already
  const int daily = Register("d.asc", 5);
  const int monthly = Register("m.asc", 6);
  const int yearly = Register("y.asc", 7);
  const int never = Register("x.asc", 9);
  model.SetEndDate(2019, 3, 2, 12);  // the run ends in the middle of a day
  for (ModelDate d :
       {ModelDate{2019, 3, 1, 24}, ModelDate{2019, 3, 2, 12}, ModelDate{2019, 3, 2, 12}}) {
    model.step_date = d;
    for (int i : {at_end, filled, daily, monthly, yearly, never})
      model.WriteGridOutput(i, 1, false);
  }
  const std::vector<std::string> expected = {
      "f.asc.filled",                                                        // registration
      "f.asc.filled", "d_20190301.024",                                      // 1 March
      "e.asc",        "f.asc.filled",   "f.asc", "d.asc", "m.asc", "y.asc",  // end of the run
      "e.asc",        "f.asc.filled",   "f.asc", "d.asc", "m.asc", "y.asc"};
  EXPECT_EQ(Names(), expected);
}

TEST_F(GridOutput, VegetationPeriodMeanOverTheDaysOfThePeriod) {
  GridMatrix start(diag, 1, 3, 4, 3), stop(diag, 1, 3, 4, 3), days(diag, 1, 3, 4, 3);
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) {
      start[r][c] = c == 4 ? -1 : 0;  // column 4 lies before its period
      stop[r][c] = 0;
      days[r][c] = r == 3 ? 0 : 2;  // row 3 has no period
    }
  Register("VegetationStart2", 0, start.get());
  Register("VegetationStop2", 0, stop.get());
  Register("VegetationDuration2", 0, days.get());
  index = Register("etr_Layer_2.asc", 2000);
  model.SetEndDate(2020, 1, 1, 24);
  Step({2019, 5, 1, 24}, 3.0, index);
  registry[index].vegetation_period_end = 1;
  Step({2019, 5, 2, 24}, 5.0, index);
  ASSERT_EQ(Names(), std::vector<std::string>{"etr_Layer_2_0019_vegper.mit"});
  const Written& mean = Last("etr_Layer_2_0019_vegper.mit");
  EXPECT_EQ(mean.at(2, 2), 4.0);  // (3 + 5) / 2 days
  EXPECT_EQ(mean.at(2, 4), 0.0);
  EXPECT_EQ(mean.at(3, 2), kNodataGridOutput);
  registry[index].vegetation_period_restart = 1;
  Step({2019, 5, 3, 24}, 1.0, index);
  EXPECT_EQ(registry[index].vegetation_grid[2][2], 0.0);
  EXPECT_EQ(registry[index].vegetation_grid[1][1], kNodataGridOutput);
}

// Through the real writers: the names get the output directory, the files their values.
TEST_F(GridOutput, FilesReachTheOutputDirectory) {
  modelobject writer{&diag,   "run.ctl", 0,      true, false, false, "", dir.path().string() + "/",
                     nullptr, 0,         nullptr};
  writer.registry = &registry;
  writer.ncols = 4;
  writer.nrows = 3;
  writer.nodata = kNodataGridOutput;
  writer.cellsize = 10;
  writer.column_ranges = ranges;
  index = Register("prec.asc", 12);
  writer.SetEndDate(2019, 3, 1, 24);
  writer.step_date = {2019, 3, 1, 24};
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) grid[r][c] = r * 10 + c;
  writer.WriteGridOutput(index, 1, false);
  const std::string dated = test::ReadFile(dir / "prec_20190301.024");
  EXPECT_NE(dated.find("\n21\t22\t23\t24\n"), std::string::npos) << dated;
  EXPECT_EQ(test::ReadFile(dir / "prec.asc"), dated);
  const std::string sum = test::ReadFile(dir / "prec.sum");
  EXPECT_NE(sum.find("\n-9999\t12\t13\t14\n"), std::string::npos) << sum;
}

}  // namespace
}  // namespace velorn

// External coupling on one process: reading [ExternalCoupling], linking names to grids and
// statistics, the dated and renamed file names, the statistics text, and the Sum, Mean and
// SumTotal bookkeeping over intervals.
#include "setup/coupling.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/zone_statistics.h"
#include "setup/defaultini.h"
#include "tests/support/settings_test.h"

namespace velorn {
namespace {

using test::ThrownCode;

const std::string kHead = "[ExternalCoupling]\n1 mode\nsema.txt semaphore\n250 wait\n";
const std::string kTail =
    "60 external step\n1 number external grids (to read)\nin.asc GWTableExtern 0 1\n"
    "1 to write\nout.asc runoff Mean\n1 stats\nstat.txt total_runoff Sum\nto_ext.txt name\n"
    "Command=Go; content\n";

class CouplingTest : public test::SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    settings_.control_file_name = dir_ / "run.ctl.$$$";
    test::SetGeometry(settings_, 3, 2, 0, 0, 100, -9999);
    settings_.first_local_row = 1;
    settings_.last_local_row = 2;
    zone_ = test::MakeGrid(diag_, {{1, 1, -9999}, {1, 2, 2}});
    registry_.Register(diag_, 1, "zone.asc", zone_.get(), nullptr, 0, "zonegrid", 0, 1, 2, 3, 2);
  }
  int Read(const std::string& text) {
    test::WriteFile(settings_.control_file_name, text);
    return ThrownCode([&] { settings_.GetCouplingParameters(); });
  }

  GridMatrix zone_;
};

TEST_F(CouplingTest, ReadsTheSectionOrRefusesIt) {
  struct Case {
    const char* name;
    std::string text;
    int code;
    int mode;
    bool active;
  };
  const Case cases[] = {
      {"no section", "[other]\n1\n", -1, 0, false},
      {"mode 0 reads nothing more", "[ExternalCoupling]\n0 mode\nrubbish\n", -1, 0, false},
      {"mode 1", kHead + "D kind\n" + kTail, -1, 1, true},
      {"mode 2 reads all, stays off", "[ExternalCoupling]\n2 mode\nsema.txt\n250\nY\n" + kTail, -1,
       2, false},
      {"kind X", kHead + "X kind\n" + kTail, kCouplingEntryCode, 1, true},
      {"kind after a blank", kHead + " D kind\n" + kTail, kCouplingEntryCode, 1, true},
      {"unreadable mode", "[ExternalCoupling]\nx mode\n", kControlFileErrorCode, 0, false},
      {"read entry without rename code",
       kHead + "I\n60\n1 read\nin.asc GWTableExtern 0 x\n0\n0\na\nb\n", kCouplingEntryCode, 1,
       true},
      {"more read entries than words", kHead + "I\n60\n5 read\nin.asc GWTableExtern 0 1\n",
       kCouplingEntryCode, 1, true},
      {"write code of 50 characters",
       kHead + "I\n60\n0 read\n1 write\nout.asc runoff " + std::string(50, 'S') + "\n",
       kCouplingEntryCode, 1, true},
      {"statistic entry cut short", kHead + "I\n60\n0 read\n0 write\n1 stats\nstat.txt\n",
       kCouplingEntryCode, 1, true},
      {"content missing", kHead + "I\n60\n0\n0\n0\nto_ext.txt\n", kControlFileErrorCode, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Read(c.text), c.code);
    EXPECT_EQ(settings_.coupling.mode, c.mode);
    EXPECT_EQ(settings_.IsCouplingActive(), c.active);
  }
  settings_.control_file_name = dir_ / "absent.ctl";
  EXPECT_EQ(ThrownCode([&] { settings_.GetCouplingParameters(); }), kCouplingOpenCode);
  EXPECT_TRUE(ScreenHas("error opening " + (dir_ / "absent.ctl")));
}

TEST_F(CouplingTest, KeepsEveryValueOfTheSection) {
  ASSERT_EQ(Read(kHead + "M kind\n" + kTail), -1);
  EXPECT_EQ(settings_.GetSemaphoreFileName(), "sema.txt");
  EXPECT_EQ(settings_.GetWaitInterval(), 250);
  EXPECT_EQ(settings_.GetCouplingInterval(), 'M');
  EXPECT_EQ(settings_.GetExternalTimeStep(), 60);
  EXPECT_EQ(settings_.GetExternalSemaphoreFileName(), "to_ext.txt");
  EXPECT_EQ(settings_.GetExternalSemaphoreContent(), "Command=Go;");
  EXPECT_TRUE(settings_.HasExternalGroundwaterTable());
  const ExternalReadGrid& in = settings_.coupling.read_grids.at(0);
  EXPECT_EQ(in.external_name + in.internal_name, "in.ascGWTableExtern");
  EXPECT_EQ(in.rename_code, 1);
  const ExternalWriteGrid& out = settings_.coupling.write_grids.at(0);
  EXPECT_EQ(out.kind, CouplingWriteKind::kMean);
  // The accumulation grid starts at 0 on the zone cells and is nodata elsewhere.
  EXPECT_EQ(out.accumulation[1][1], 0.0);
  EXPECT_EQ(out.accumulation[1][3], -9999.0);
  EXPECT_EQ(settings_.coupling.statistics.at(0).kind, CouplingWriteKind::kSum);
}

TEST(CouplingNames, WriteCodesAndFileNames) {
  struct Case {
    const char* code;
    CouplingWriteKind kind;
    bool day, month, year;
  };
  const Case cases[] = {
      {"Sum", CouplingWriteKind::kSum, false, false, false},
      {"Mean", CouplingWriteKind::kMean, false, false, false},
      {"Means", CouplingWriteKind::kCurrent, false, false, false},
      {"SumTotal", CouplingWriteKind::kSumTotal, false, false, false},
      {"SumTotal_D", CouplingWriteKind::kSumTotal, true, false, false},
      {"SumTotal_DM", CouplingWriteKind::kSumTotal, true, true, false},
      {"SumTotal_DMY", CouplingWriteKind::kSumTotal, true, true, true},
      {"SumTotal_MY", CouplingWriteKind::kSumTotal, false, true, true},
      {"SumTotal_Y", CouplingWriteKind::kSumTotal, false, false, true},
      {"Current", CouplingWriteKind::kCurrent, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(CouplingWriteKindOf(c.code), c.kind);
    const SumTotalPeriods p = SumTotalPeriodsOf(c.code);
    EXPECT_EQ(std::make_tuple(p.day, p.month, p.year), std::make_tuple(c.day, c.month, c.year));
  }
  EXPECT_EQ(EndOfDayFileName("out/q.asc", 2001, 1, 31), "out/SumTotal_EndOf_Day_2001_01_31_q.asc");
  EXPECT_EQ(EndOfMonthFileName("q.asc", 2001, 2), "SumTotal_EndOf_Month_2001_02_q.asc");
  EXPECT_EQ(EndOfYearFileName("/a/b/q", 987), "/a/b/SumTotal_EndOf_Year_0987_q");
  EXPECT_EQ(RenamedExternalGridName("a.asc", 2001, 1, 31, 24, 4711), "a.asc_2001_01_31_24_4711");
}

// Records as the zone statistics tables enter them: two zones and the total column.
struct StatisticRecords {
  explicit StatisticRecords(std::vector<std::string> names) : names_(std::move(names)) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      records[i].columns = 3;
      records[i].current_values = current.data();
      records[i].second_values = second.data();
      records[i].area_shares = shares.data();
      records[i].zone_codes = codes.data();
      records[i].internal_name = names_[i].c_str();
    }
  }
  std::vector<std::string> names_;
  std::vector<ZoneStatisticsRecord> records = std::vector<ZoneStatisticsRecord>(200);
  std::vector<double> current{0, 2, 4, 3.5};
  std::vector<double> second{0, 0, 0, 0};
  std::vector<double> shares{0, 0.25, 0.75, 1};
  std::vector<int64_t> codes{0, 5, 7, 0};
};

TEST(CouplingStatistics, NamesLinkWholeByTheirStatisticPartOrAsAPiece) {
  StatisticRecords r({"snow_model_submodel:snow cover", "unsatzon_model_submodel:total runoff",
                      "unsatzon_model_submodel:total runoff_corrected",
                      "unsatzon_model_submodel:base flow [mm per Zone]"});
  struct Case {
    const char* name;
    int index;
    int containing;  // records containing the name when the link rests on that alone
  };
  const Case cases[] = {
      {"total_runoff_corrected", 2, 0},
      {"total_runoff", 1, 0},  // the statistic part goes before a longer name holding it
      {"unsatzon_model_submodel:total_runoff", 1, 0},
      {"snow_cover", 0, 0},
      {"base_flow", 3, 1},  // a piece of the name in the table's header
      {"submodel:base_flow", 3, 1},
      {"runoff", 1, 2},  // the first of two
      {"unsatzon_model", 1, 3},
      {"total runoff", -1, 0},  // blanks are read as '_' in the record, not in the request
  };
  for (const Case& c : cases) {
    int containing = -1;
    EXPECT_EQ(FindStatisticRecord(r.records.data(), 200, c.name, &containing), c.index) << c.name;
    EXPECT_EQ(containing, c.containing) << c.name;
  }
  EXPECT_EQ(FindStatisticRecord(r.records.data(), 1, "total_runoff"), -1);  // capacity ends it
  EXPECT_STREQ(r.records[1].internal_name, "unsatzon_model_submodel:total runoff");
}

TEST(CouplingStatistics, TextOfAMeanSumAndCurrentValue) {
  StatisticRecords r({std::string(151, 'n')});
  r.second = {0, 4, 8, 0};  // two accumulated steps of the same values
  const std::string name = std::string(150, 'n') + "...; 2 zones\n";
  const auto body = [&](const std::string& text) { return text.substr(27 + name.size()); };
  EXPECT_EQ(CouplingStatisticsText(r.records[0], CouplingWriteKind::kMean, 3, 2, 2001, 2, 3, 7),
            "date: 2001-02-03\nhour: 07h\n" + name + "5\t2\n7\t4\naverage\t3.5\n");
  EXPECT_EQ(r.second, (std::vector<double>{0, 0, 0, 0}));
  EXPECT_EQ(CouplingStatisticsText(r.records[0], CouplingWriteKind::kSumTotal, 1, 2, 2001, 2, 3, 7),
            "date: 2001-02-03\nhour: 07h\n" + name + "5\t2\n7\t4\naverage\t3.5\n");
  EXPECT_EQ(
      body(CouplingStatisticsText(r.records[0], CouplingWriteKind::kSumTotal, 1, 2, 2001, 2, 3, 8)),
      "5\t4\n7\t8\naverage\t7\n");  // never reset
  EXPECT_EQ(
      body(CouplingStatisticsText(r.records[0], CouplingWriteKind::kCurrent, 1, 2, 2001, 2, 3, 8)),
      "5\t2\n7\t4\naverage\t3.5\n");
}

TEST_F(CouplingTest, LinksNamesOrReportsTheMissingOne) {
  GridMatrix runoff = test::FilledGrid(diag_, 2, 3, 1.0);
  registry_.Register(diag_, 2, "r.asc", runoff.get(), nullptr, 0, "runoff", 0, 1, 2, 3, 2);
  registry_.Register(diag_, 3, "g.asc", runoff.get(), nullptr, 0, "GWTableExtern", 0, 1, 2, 3, 2);
  StatisticRecords stats({"unsatzon_model_submodel:total runoff"});
  struct Case {
    const char* name;
    std::string read, write, statistic;
    int code;
  };
  const Case cases[] = {
      {"all found", "GWTableExtern", "runoff", "total_runoff", -1},
      {"grid to read", "gwtableextern", "runoff", "total_runoff", kCouplingReadGridMissingCode},
      {"grid to write", "GWTableExtern", "Runoff", "total_runoff", kCouplingWriteGridMissingCode},
      {"statistic", "GWTableExtern", "runoff", "runoff_corrected", kCouplingStatisticMissingCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(kHead + "I\n60\n1\nin.asc " + c.read + " 0 1\n1\nout.asc " + c.write +
                   " Sum\n1\ns.txt " + c.statistic + " Mean\nx\ny\n"),
              -1);
    EXPECT_EQ(ThrownCode([&] { settings_.LinkExternalGrids(stats.records.data(), 200); }), c.code);
  }
  EXPECT_TRUE(
      ScreenHas("error looking for internal grid to write to out.asc with internal name "
                "\"Runoff\"\npossible reason: internal name of the grid is wrong (case "
                "sensitive!)"));
  EXPECT_EQ(settings_.coupling.statistics[0].linked, nullptr);
}

// Sum, Mean and SumTotal over two intervals of three and one steps, written as ASCII grids with
// the dated end-of-day and end-of-month totals of "SumTotal_DM".
TEST_F(CouplingTest, SumsMeansAndTotalsOverIntervals) {
  GridMatrix runoff = test::FilledGrid(diag_, 2, 3, 0.0);
  registry_.Register(diag_, 2, "r.asc", runoff.get(), nullptr, 0, "runoff", 0, 1, 2, 3, 2);
  const std::string d = dir_ / "";
  ASSERT_EQ(Read(kHead + "I\n60\n0\n3\n" + d + "sum.asc runoff Sum\n" + d +
                 "mean.asc runoff Mean\n" + d + "total.asc runoff SumTotal_DM\n0\nx\ny\n"),
            -1);
  settings_.LinkExternalGrids(nullptr, 0);
  settings_.write_ascii = true;
  const auto cell = [&](const std::string& name) {
    const std::vector<std::string> lines = test::SplitLines(test::ReadFile(d + name));
    return lines.at(6) + "|" + lines.at(7);  // the two rows of cells
  };
  for (double value : {1.0, 2.0, 3.0}) {
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 3; ++c) runoff[r][c] = value;
    if (value < 3) settings_.AccumulateExternalGrids();
  }
  settings_.WriteExternalGrids(24, 31, 1, 2001, true, true, true, false);
  EXPECT_EQ(cell("sum.asc"), "6\t6\t-9999|6\t6\t6");
  EXPECT_EQ(cell("mean.asc"), "2\t2\t-9999|2\t2\t2");
  EXPECT_EQ(cell("total.asc"), "6\t6\t-9999|6\t6\t6");
  EXPECT_EQ(cell("SumTotal_EndOf_Day_2001_01_31_total.asc"), "6\t6\t-9999|6\t6\t6");
  EXPECT_EQ(cell("SumTotal_EndOf_Month_2001_01_total.asc"), "6\t6\t-9999|6\t6\t6");
  EXPECT_FALSE(std::filesystem::exists(d + "SumTotal_EndOf_Year_2001_total.asc"));
  EXPECT_EQ(settings_.coupling.accumulated_steps, 0);
  // The next interval of one step: Sum and Mean start from 0, the total runs on.
  settings_.WriteExternalGrids(1, 1, 2, 2001, true, true, false, false);
  EXPECT_EQ(cell("sum.asc"), "3\t3\t-9999|3\t3\t3");
  EXPECT_EQ(cell("mean.asc"), "3\t3\t-9999|3\t3\t3");
  EXPECT_EQ(cell("total.asc"), "9\t9\t-9999|9\t9\t9");
  EXPECT_EQ(cell("SumTotal_EndOf_Day_2001_02_01_total.asc"), "9\t9\t-9999|9\t9\t9");
}

}  // namespace
}  // namespace velorn

// Tests of the zone statistics tables on one process: interval accumulation of the six modes
// against hand-computed means and sums, the header and registry record, the ascending output
// list, inactive and invalid codes, weights, the buffer capacity and the SIGINT state after
// writing.
#include "core/zone_statistics.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <signal.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "core/signals.h"
#include "tests/support/test_helpers.h"
#include "tests/support/zone_table.h"

namespace velorn {
namespace {

class ZoneStatisticsTest : public test::DiagTest {
 protected:
  // A table over `records` with the file "<dir>/table.txt" (relative name and the directory).
  std::unique_ptr<zonalstatistic> Table(int& error, std::vector<ZoneRecord>& records, int code,
                                        const std::vector<int>& listed = {}, int precision = 3,
                                        double** weights = nullptr) {
    name_ = "table.txt";
    list_ = test::OutputList(listed);
    return std::make_unique<zonalstatistic>(error, &diag_, weights, 2, 2, records.data(),
                                            static_cast<int32_t>(records.size()) - 1, code,
                                            precision, name_, dir_.path().string() + "/",
                                            static_cast<int32_t>(listed.size()), list_.data());
  }
  std::vector<std::string> Lines() { return test::SplitLines(test::ReadFile(name_)); }

  std::string name_;
  std::vector<int> list_;
};

// Zones 3, 7 and 9; at step t zone 3 gets one value t (weight 1), zone 7 the values 2t and 4t
// with weights 1 and 3 (step mean 3.5t over weight 4), zone 9 nothing.
TEST_F(ZoneStatisticsTest, IntervalRowsHoldWeightedMeansOrSumsOfStepMeans) {
  struct Case {
    int code;
    std::vector<int> listed;
    std::vector<std::string> rows;
  };
  // Steps 1+2: zone 3 sums 3 over weight 2; zone 7 sums 42 over weight 8 (4 in the last step);
  // the total sums 45 over 10 (5 in the last step). Steps 3+4: 7 / 2, 98 / 8, 105 / 10.
  // clang-format off
  const std::vector<Case> cases = {
      {2002, {}, {"2000\t 1\t 2\t12\t1.500\t5.250\t0.000\t4.500",
                  "2000\t 1\t 4\t12\t3.500\t12.250\t0.000\t10.500"}},
      {4002, {}, {"2000\t 1\t 2\t12\t3.000\t10.500\t0.000\t9.000",
                  "2000\t 1\t 4\t12\t7.000\t24.500\t0.000\t21.000"}},
      {1002, {}, {"2000\t 1\t 2\t12\t4.500", "2000\t 1\t 4\t12\t10.500"}},
      {3002, {}, {"2000\t 1\t 2\t12\t9.000", "2000\t 1\t 4\t12\t21.000"}},
      {5002, {7}, {"2000\t 1\t 2\t12\t5.250\t4.500", "2000\t 1\t 4\t12\t12.250\t10.500"}},
      {6002, {3, 9}, {"2000\t 1\t 2\t12\t3.000\t0.000\t9.000",
                      "2000\t 1\t 4\t12\t7.000\t0.000\t21.000"}},
      {2001, {}, {"2000\t 1\t 1\t12\t1.000\t3.500\t0.000\t3.000",
                  "2000\t 1\t 2\t12\t2.000\t7.000\t0.000\t6.000",
                  "2000\t 1\t 3\t12\t3.000\t10.500\t0.000\t9.000",
                  "2000\t 1\t 4\t12\t4.000\t14.000\t0.000\t12.000"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    auto records = test::MakeZoneTable({3, 7, 9}, {0.25, 0.75, 0.0});
    int error = -1;
    auto table = Table(error, records, c.code, c.listed);
    ASSERT_EQ(error, 0);
    table->WriteHeader("model", "variable", nullptr, 0);
    for (int t = 1; t <= 4; ++t) {
      table->ResetZoneSums();
      table->AddValue(1, 1, 1, t, 1.0);
      table->AddValue(1, 2, 2, 2.0 * t, 1.0);
      table->AddValue(2, 1, 2, 4.0 * t, 3.0);
      table->CollectStep(2000, 1, t, 12, 1);
    }
    table->ReleaseMemory();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3 + c.rows.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), c.rows);
  }
}

// Values added from the threads of a row loop give the table of one thread, byte for byte, also
// where rounded partial sums would differ (terms of 1e16 beside terms below 1).
TEST_F(ZoneStatisticsTest, TablesAreTheSameOnOneAndFourThreads) {
  const auto table_text = [&](int threads) {
    auto records = test::MakeZoneTable({3, 7, 9}, {0.25, 0.5, 0.25});
    int error = -1;
    auto table = Table(error, records, 2001, {}, 15);
    EXPECT_EQ(error, 0);
    table->WriteHeader("model", "variable", nullptr, 0);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    for (int t = 1; t <= 3; ++t) {
      table->ResetZoneSums();
      ForEachRow(0, 3999, [&](long k) {
        const double big = k % 97 == 0 ? (k % 2 == 0 ? 1e16 : -1e16) : 0.0;
        table->AddValue(1, 1, 1 + k % 3, big + 0.1 * static_cast<double>(k % 13) / t,
                        1.0 + static_cast<double>(k % 5) * 0.3);
      });
      table->CollectStep(2000, 1, t, 12, 1);
    }
    omp_set_num_threads(saved);
    table->ReleaseMemory();
    return test::ReadFile(name_);
  };
  const std::string one = table_text(1);
  EXPECT_EQ(test::SplitLines(one).size(), 6u);
  EXPECT_EQ(table_text(4), one);
}

TEST_F(ZoneStatisticsTest, HeaderNamesColumnsAndEntersTheFirstFreeRegistryRecord) {
  auto records = test::MakeZoneTable({1, 3, 5, 7}, {0.1, 0.2, 0.3, 0.4});
  std::vector<ZoneStatisticsRecord> registry(kZoneStatisticsCapacity + 1);
  double used_marker = 0;
  registry[0].current_values = &used_marker;
  int error = -1;
  auto table = Table(error, records, 5001, {3, 7});
  ASSERT_EQ(error, 0);
  EXPECT_EQ(table->WriteHeader("snow_model", "storage", registry.data(), kZoneStatisticsCapacity),
            1);
  EXPECT_EQ(name_, dir_.path().string() + "/table.txt");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"YY\tMM\tDD\tHH\t\"3\"\t\"7\"\ttot_average",
                                               "snow_model_submodel:storage",
                                               "--\t--\t--\t--\t0.2000000\t0.4000000\t1.0000"}));
  const ZoneStatisticsRecord& entry = registry[1];
  EXPECT_EQ(entry.columns, 3);
  EXPECT_STREQ(entry.internal_name, "snow_model_submodel:storage");
  EXPECT_EQ(entry.zone_codes[2], 7);
  // The record follows the table's rows.
  table->ResetZoneSums();
  table->AddValue(1, 1, 4, 8.0, 1.0);
  table->CollectStep(2001, 2, 3, 4, 0);
  EXPECT_DOUBLE_EQ(entry.current_values[2], 8.0);
}

// Listed codes must follow the ascending zone table; a code out of order or without a zone
// stops the construction with a FATAL entry naming it and the control-file code.
TEST_F(ZoneStatisticsTest, OutputListMustBeAscendingCodesOfZones) {
  struct Case {
    std::vector<int> listed;
    int error;
    std::string named;
  };
  const std::vector<Case> cases = {
      {{3, 7}, 0, ""},     {{1, 5, 7}, 0, ""}, {{7, 3}, 17, "(3)"},
      {{3, 3}, 17, "(3)"}, {{4}, 17, "(4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.listed));
    screen_.str("");
    auto records = test::MakeZoneTable({1, 3, 5, 7});
    int error = -1;
    auto table = Table(error, records, 5001, c.listed);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ScreenHas("there is a code in the output list which no zone exists for " + c.named),
              c.error != 0);
  }
  // The message is a FATAL entry of the diagnostics file.
  for (const std::string& line : test::SplitLines(test::ReadFile(diag_.file_name()))) {
    if (line.find("there is a code in the output list") != std::string::npos) {
      EXPECT_NE(line.find("level=\"0\""), std::string::npos) << line;
    }
  }
}

TEST_F(ZoneStatisticsTest, InactiveAndInvalidCodes) {
  struct Case {
    int code;
    int error;
  };
  // 1000 and below: inactive and silent; a mode above 6 or an interval of 0: refused.
  for (const Case& c : std::vector<Case>{{0, 0}, {1000, 0}, {-5, 0}, {7001, 17}, {2000, 17}}) {
    SCOPED_TRACE(c.code);
    auto records = test::MakeZoneTable({1, 2});
    int error = -1;
    auto table = Table(error, records, c.code);
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(table->active());
    EXPECT_EQ(table->WriteHeader("m", "s", nullptr, 0), -1);
    table->ResetZoneSums();
    table->AddValue(1, 1, 1, 5.0, 1.0);
    table->CollectStep(2000, 1, 1, 0, 1);
    table->ReleaseMemory();
    EXPECT_EQ(records[1][0], 0.0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "table.txt"));
  }
}

TEST_F(ZoneStatisticsTest, WeightGridScalesCellsAboveNodataAndZoneIndexIsChecked) {
  GridMatrix weights = test::MakeGrid(diag_, {{2.0, -9999.0}, {0.5, 1.0}});
  auto records = test::MakeZoneTable({1});
  int error = -1;
  auto table = Table(error, records, 2001, {}, 3, weights.get());
  ASSERT_EQ(error, 0);
  struct Case {
    int row, column;
    double sum, weight_sum;  // [1] and [4] after adding value 3 with weight 2
  };
  // Weight 2 scaled by the cell: 2 x 2 = 4; nodata, or a cell outside the grid, unscaled.
  for (const Case& c :
       std::vector<Case>{{1, 1, 12, 4}, {1, 2, 6, 2}, {2, 1, 3, 1}, {3, 1, 6, 2}, {0, 1, 6, 2}}) {
    table->ResetZoneSums();
    table->AddValue(c.row, c.column, 1, 3.0, 2.0);
    EXPECT_EQ(records[1][0], 2.0);
    EXPECT_EQ(records[1][1], c.sum) << c.row << "," << c.column;
    EXPECT_EQ(records[1][4], c.weight_sum) << c.row << "," << c.column;
  }
  EXPECT_EQ(test::ThrownCode([&] { table->AddValue(1, 1, 2, 1.0, 1.0); }), kZoneIndexCode);
  EXPECT_EQ(test::ThrownCode([&] { table->AddValue(1, 1, -1, 1.0, 1.0); }), kZoneIndexCode);
}

TEST(ZoneStatisticsFormat, FixedDecimalsBelowPrecision99ElseSixSignificantDigits) {
  std::string text;
  for (auto [precision, value] : {std::pair{3, 1.23456}, {0, 2.5}, {99, 1.23456789}, {99, 1.5e6}})
    AppendStatisticsValue(text, precision, value);
  EXPECT_EQ(text, "\t1.235\t2\t1.23457\t1.5e+06");
  EXPECT_EQ(StatisticsBufferRows(StatisticsColumns(2, 200, 0)), 1278);
  EXPECT_EQ(StatisticsBufferRows(StatisticsColumns(1, 200, 0)), 43690);
}

TEST_F(ZoneStatisticsTest, FullBufferIsWrittenAtCapacity) {
  std::vector<int> codes(200);
  for (int z = 0; z < 200; ++z) codes[z] = z + 1;
  auto records = test::MakeZoneTable(codes);
  int error = -1;
  auto table = Table(error, records, 2001);
  table->WriteHeader("m", "s", nullptr, 0);
  for (int step = 1; step <= 1278; ++step) {
    if (step == 1278) {
      EXPECT_EQ(Lines().size(), 3u);
    }
    table->ResetZoneSums();
    table->CollectStep(2000, 1, 1, step % 24, 0);
  }
  EXPECT_EQ(table->rows_buffered(), 0);
  EXPECT_EQ(Lines().size(), 3u + 1278u);
  EXPECT_TRUE(ScreenHas("(" + std::to_string((8 * 201 + 32) * 1278) + " of 2097152 buffer-bytes)"));
}

// Writing leaves SIGINT as it was: our handler while a run is current, else the previous action.
TEST_F(ZoneStatisticsTest, WritingRestoresTheInterruptHandling) {
  struct sigaction saved {};
  sigaction(SIGINT, nullptr, &saved);
  for (bool run_current : {false, true}) {
    signal(SIGINT, SIG_DFL);
    if (run_current) RegisterCurrentApplication();
    auto records = test::MakeZoneTable({1});
    int error = -1;
    auto table = Table(error, records, 2001);
    const auto expected = run_current ? &OnInterrupt : SIG_DFL;
    struct sigaction now {};
    table->WriteHeader("m", "s", nullptr, 0);  // on its own, before any flush
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, expected);
    table->ResetZoneSums();
    table->CollectStep(2000, 1, 1, 1, 0);
    table->FlushBuffers();
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, expected);
    ClearCurrentApplication();
  }
  sigaction(SIGINT, &saved, nullptr);
}

// A NaN in the rows is written as it is, with one WARNING for the table naming the first step;
// a full disk (/dev/full) ends the writing with the system's reason.
TEST_F(ZoneStatisticsTest, NonFiniteValuesWarnOnceAndAFullDiskStopsTheWriting) {
  auto records = test::MakeZoneTable({1});
  int error = -1;
  auto table = Table(error, records, 2001);
  table->WriteHeader("m", "s", nullptr, 0);
  for (int day = 1; day <= 2; ++day) {
    table->ResetZoneSums();
    table->AddValue(1, 1, 1, std::nan(""), 1.0);
    table->CollectStep(2000, 1, day, 24, 0);
  }
  table->FlushBuffers();
  const std::string screen = screen_.str();
  EXPECT_EQ(screen.find("no finite number"), screen.rfind("no finite number"));
  EXPECT_TRUE(ScreenHas("the zone statistics " + name_ +
                        " (m_submodel:s) hold nan, no finite number, in column 1 of the step "
                        "1.1.2000 24. h (reported once per table)"))
      << screen_.str();
  EXPECT_EQ(Lines().size(), 5u);

  if (!std::filesystem::exists("/dev/full")) return;
  std::string full = "/dev/full";
  auto on_full_disk = std::make_unique<zonalstatistic>(error, &diag_, nullptr, 2, 2, records.data(),
                                                       1, 2001, 3, full, "", 0, nullptr);
  // The rows stdio still holds are lost: a failed write, not a failed close.
  EXPECT_EQ(test::ThrownCode([&] { on_full_disk->WriteHeader("m", "s", nullptr, 0); }),
            kWriteErrorCode);
  EXPECT_TRUE(ScreenHas("cannot write to /dev/full: No space left on device")) << screen_.str();
  // A table that cannot be opened names the system's reason.
  std::string folder = std::filesystem::path(name_).parent_path().string();
  auto on_folder = std::make_unique<zonalstatistic>(error, &diag_, nullptr, 2, 2, records.data(), 1,
                                                    2001, 3, folder, "", 0, nullptr);
  EXPECT_EQ(test::ThrownCode([&] { on_folder->WriteHeader("m", "s", nullptr, 0); }),
            kZoneTableOpenCode);
  EXPECT_TRUE(ScreenHas(folder + ": Is a directory")) << screen_.str();
}

}  // namespace
}  // namespace velorn

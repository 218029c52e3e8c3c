// Irrigation tables: schedules in words (ends, interpolation, month and year roll-over, the
// guards), the readers of [irrigation] and [irrigation_table] and every message with code 29.
#include <gtest/gtest.h>

#include <tuple>

#include "setup/defaultini.h"
#include "tests/support/settings_test.h"

namespace velorn {
namespace {

using Entry = std::tuple<int64_t, int64_t, double>;  // month, day, amount

std::vector<Entry> Entries(const IrrigationRecord& record) {
  std::vector<Entry> entries;
  for (int32_t i = 1; i <= record.table_count; ++i)
    entries.emplace_back(record.months[i], record.days[i], record.amounts[i]);
  return entries;
}

std::vector<Entry> Parse(const std::string& text, ScheduleError expected = ScheduleError::kNone) {
  IrrigationRecord record;
  EXPECT_EQ(ParseIrrigationSchedules(text, record), expected) << text;
  return Entries(record);
}

TEST(IrrigationSchedule, ToFormEndsWithTheLastDateBeforeTheEnd) {
  EXPECT_EQ(Parse("starting from 4 1 with 10 mm to 4 20 with 30 mm every 10 days"),
            (std::vector<Entry>{{4, 1, 10}, {4, 11, 30}}));
  // 21 April + 10 days passes the end on 30 April by jumping into May: the schedule ends.
  EXPECT_EQ(Parse("starting from 4 1 with 10 mm to 4 30 with 40 mm every 10 days"),
            (std::vector<Entry>{{4, 1, 10}, {4, 11, 25}, {4, 21, 40}}));
  EXPECT_EQ(Parse("starting from 4 21 with 5 mm to 4 30 with 9 mm every 10 days"),
            (std::vector<Entry>{{4, 21, 9}}));
  EXPECT_EQ(Parse("starting from 4 28 with 10 mm to 5 10 with 20 mm every 15 days"),
            (std::vector<Entry>{{4, 28, 20}}));
  // A start in the end month after the end day has the start entry only.
  EXPECT_EQ(Parse("starting from 4 28 with 10 mm to 4 10 with 20 mm every 5 days"),
            (std::vector<Entry>{{4, 28, 20}}));
  // Intervals longer than the end month and ends that no step lands in.
  EXPECT_EQ(Parse("starting from 3 1 with 2 mm to 4 30 with 4 mm every 45 days"),
            (std::vector<Entry>{{3, 1, 2}, {4, 15, 4}}));
  // Across the end of the year.
  const std::vector<Entry> winter =
      Parse("starting from 12 1 with 1 mm to 1 31 with 7 mm every 10 days");
  const std::vector<Entry> expected{{12, 1, 1}, {12, 11, 2}, {12, 21, 3}, {12, 31, 4},
                                    {1, 10, 5}, {1, 20, 6},  {1, 30, 7}};
  ASSERT_EQ(winter.size(), expected.size());
  for (std::size_t i = 0; i < winter.size(); ++i) {
    EXPECT_EQ(std::get<0>(winter[i]), std::get<0>(expected[i])) << i;
    EXPECT_EQ(std::get<1>(winter[i]), std::get<1>(expected[i])) << i;
    EXPECT_NEAR(std::get<2>(winter[i]), std::get<2>(expected[i]), 1e-12) << i;
  }
}

TEST(IrrigationSchedule, TimesFormRepeatsTheAmount) {
  EXPECT_EQ(Parse("starting from 6 25 with 5 mm 3 times every 10 days"),
            (std::vector<Entry>{{6, 25, 5}, {7, 5, 5}, {7, 15, 5}}));
}

TEST(IrrigationSchedule, LongIntervalsGiveValidDatesAcrossMonthAndYearEnds) {
  EXPECT_EQ(Parse("starting from 12 15 with 1 mm 4 times every 30 days"),
            (std::vector<Entry>{{12, 15, 1}, {1, 14, 1}, {2, 13, 1}, {3, 15, 1}}));
  EXPECT_EQ(Parse("starting from 1 31 with 2 mm 4 times every 45 days"),
            (std::vector<Entry>{{1, 31, 2}, {3, 17, 2}, {5, 1, 2}, {6, 15, 2}}));
  // February of the calendar has 28 days in every year, so each date exists every year.
  EXPECT_EQ(Parse("starting from 2 20 with 1 mm 3 times every 9 days"),
            (std::vector<Entry>{{2, 20, 1}, {3, 1, 1}, {3, 10, 1}}));
  for (const auto& [month, day, amount] :
       Parse("starting from 11 30 with 3 mm 12 times every 31 days")) {
    EXPECT_GE(day, 1);
    EXPECT_LE(day, AnnualMonthLength(month)) << month;
    EXPECT_EQ(amount, 3);
  }
  // An interval of a year or more moves the dates by what is left of it after whole years,
  // however many digits it has (the largest one leaves 292 days).
  EXPECT_EQ(Parse("starting from 1 1 with 1 mm 3 times every 366 days"),
            (std::vector<Entry>{{1, 1, 1}, {1, 2, 1}, {1, 3, 1}}));
  EXPECT_EQ(Parse("starting from 1 1 with 1 mm 3 times every 9223372036854775807 days"),
            (std::vector<Entry>{{1, 1, 1}, {10, 20, 1}, {8, 8, 1}}));
}

TEST(IrrigationSchedule, DatesAreClampedAndSchedulesNumberedOn) {
  EXPECT_EQ(Parse("starting from 4 31 with 1 mm 1 times every 1 days"),
            (std::vector<Entry>{{4, 30, 1}}));
  EXPECT_EQ(Parse("starting from 14 40 with 1 mm 1 times every 1 days"),
            (std::vector<Entry>{{12, 31, 1}}));
  EXPECT_EQ(Parse("starting from 2 29 with 1 mm 1 times every 1 days"),
            (std::vector<Entry>{{2, 28, 1}}));
  EXPECT_EQ(Parse("starting from 5 1 with 2 mm 2 times every 7 days; "
                  "starting from 8 1 with 3 mm 2 times every 7 days"),
            (std::vector<Entry>{{5, 1, 2}, {5, 8, 2}, {8, 1, 3}, {8, 8, 3}}));
  EXPECT_EQ(Parse("starting from 5 1 with 0 mm to 5 21 with 20 mm every 10 days;"
                  "starting from 9 1 with 6 mm to 9 11 with 2 mm every 10 days"),
            (std::vector<Entry>{{5, 1, 0}, {5, 11, 10}, {5, 21, 20}, {9, 1, 6}, {9, 11, 2}}));
}

TEST(IrrigationSchedule, BadTextsAreRefusedWithoutReadingPastTheirEnd) {
  for (const char* text :
       {"", "every day", "starting from 4 1 with 10 mm", "starting from", "starting from 4",
        "starting from 4 1 to", "starting from 4 1 with",
        "starting from 4 1 with 10 mm to 4 20 with", "starting from 4 1 with 10 mm to 4 20",
        "starting from 4 1 with 10 mm to 4 20 with 30 mm", "starting from 4 1 with 10 mm 3 times",
        "starting from 4 1 with 10 mm 3 times every", "starting from x y with 1 mm 1 times"}) {
    Parse(text, ScheduleError::kRule);
  }
  // "to" before "with" does not count: the schedule behind "with" decides the form.
  EXPECT_EQ(Parse("starting from 4 1 to with 1 mm 2 times every 5 days"),
            (std::vector<Entry>{{4, 1, 1}, {4, 6, 1}}));
  Parse("starting from 4 1 times with 1 mm every 5 days", ScheduleError::kNoFormAfterWith);
  Parse("starting from 4 1 with 1 mm 0 times every 5 days", ScheduleError::kCountOrInterval);
  Parse("starting from 4 1 with 1 mm 367 times every 5 days", ScheduleError::kCountOrInterval);
  Parse("starting from 4 1 with 1 mm 3 times every 0 days", ScheduleError::kCountOrInterval);
  Parse("starting from 4 1 with 1 mm to 5 1 with 2 mm every -3 days",
        ScheduleError::kCountOrInterval);
}

TEST(IrrigationSchedule, MixedOrAmbiguousTextsAddNothing) {
  const std::pair<const char*, ScheduleError> cases[] = {
      {"starting from 6 25 with 5 mm 2 times every 10 days; "
       "starting from 4 1 with 10 mm to 4 20 with 30 mm every 10 days",
       ScheduleError::kMixed},
      {"starting from 4 1 with 10 mm to 4 20 with 30 mm every 10 days; "
       "starting from 6 25 with 5 mm 2 times every 10 days",
       ScheduleError::kMixed},
      {"starting from 6 25 with 5 mm 3 times every 10 days, then to the river",
       ScheduleError::kAmbiguous},
      {"starting from 6 25 with 5 mm 3 times every 10 days in summer", ScheduleError::kAmbiguous},
      {"starting from 4 1 with 10 mm to 4 20 with 30 mm 2 times every 10 days",
       ScheduleError::kAmbiguous},
      {"starting from 6 25 with 5 mm 2 times every 10 days; tomatoes", ScheduleError::kAmbiguous},
  };
  for (const auto& [text, error] : cases) EXPECT_TRUE(Parse(text, error).empty()) << text;
  EXPECT_EQ(Parse("starting from 6 25 with 5 mm 2 times every 10 days."),
            (std::vector<Entry>{{6, 25, 5}, {7, 5, 5}}));
}

class IrrigationTableTest : public test::SettingsTest {
 protected:
  int Read(const std::string& text, int32_t variant = 2) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(text);
    settings_.irrigation_table.reset();
    settings_.irrigation_flag = 0;
    screen_.str("");
    return test::ThrownCode([&] { settings_.ReadIrrigationSections(variant); }, 0);
  }

  // The screen text of a FATAL entry of entry `entry` and its code.
  void ExpectFatal(const std::string& text, const std::string& message) {
    EXPECT_EQ(Read(text), 29) << text;
    EXPECT_NE(screen_.str().find(message), std::string::npos) << screen_.str();
  }

  const IrrigationRecord& Record(int i) const { return settings_.irrigation_table->records.at(i); }
};

const std::string kSwitchOn = "[irrigation]\n1 switch\n";

TEST_F(IrrigationTableTest, ReadsAllFourMethods) {
  ASSERT_EQ(Read(kSwitchOn + "[irrigation_table]\n4 types\n"
                             "11 maize 1 2 15.0 4.5 2\n5 1 3.5\n6 15 4\n"
                             "12 rice 2 1 30 5 starting from 6 25 with 5 mm 3 times every 10 days\n"
                             "13 vines 3 2 12 3\n"
                             "14 grass 4 1 0.6\n"),
            0)
      << screen_.str();
  EXPECT_EQ(settings_.irrigation_flag, 1);
  ASSERT_NE(settings_.irrigation_table, nullptr);
  EXPECT_EQ(settings_.irrigation_table->count, 4);
  EXPECT_EQ(Record(0).code, 4);
  EXPECT_EQ(Record(0).table_count, 0);
  EXPECT_EQ(Record(1).code, 11);
  EXPECT_EQ(Record(1).name, "maize");
  EXPECT_EQ(Record(1).origin, 2);
  EXPECT_DOUBLE_EQ(Record(1).psi_dry, 15.0);
  EXPECT_DOUBLE_EQ(Record(1).psi_wet, 4.5);
  EXPECT_EQ(Entries(Record(1)), (std::vector<Entry>{{5, 1, 3.5}, {6, 15, 4}}));
  EXPECT_EQ(Record(2).method, 2);
  EXPECT_DOUBLE_EQ(Record(2).psi_dry, 30);
  EXPECT_EQ(Entries(Record(2)), (std::vector<Entry>{{6, 25, 5}, {7, 5, 5}, {7, 15, 5}}));
  EXPECT_EQ(Record(3).table_count, 0);
  EXPECT_DOUBLE_EQ(Record(3).psi_wet, 3);
  EXPECT_DOUBLE_EQ(Record(4).min_etr_etp, 0.6);
  EXPECT_DOUBLE_EQ(Record(4).psi_dry, 20.0);
  EXPECT_DOUBLE_EQ(Record(4).psi_wet, 3.45);
}

TEST_F(IrrigationTableTest, SwitchOffOrVariantBelowTwoReadsNoTable) {
  ASSERT_EQ(Read("[irrigation]\n0\n[irrigation_table]\nbroken\n"), 0);
  EXPECT_EQ(settings_.irrigation_table, nullptr);
  EXPECT_EQ(settings_.irrigation_flag, 0);
  ASSERT_EQ(Read("no sections at all\n", 1), 0);
  EXPECT_EQ(settings_.irrigation_table, nullptr);
  EXPECT_EQ(Read("[model_time]\n"), 17);
  EXPECT_NE(screen_.str().find("[irrigation]; (EOF)not found!"), std::string::npos);
  EXPECT_EQ(Read(kSwitchOn), 17);
  EXPECT_NE(screen_.str().find("[irrigation_table]; (EOF)not found!"), std::string::npos);
  EXPECT_EQ(Read("[irrigation]\non\n"), 17);
}

TEST_F(IrrigationTableTest, EveryEntryMessageHasCode29) {
  const std::string head = kSwitchOn + "[irrigation_table]\n2\n11 maize 3 1 10 5\n";
  ExpectFatal(head + "12 rice\n",
              "for irrigation code 2: code, name, method, or origin could not be read correctly\n");
  ExpectFatal(head + "12 rice 7 1 10 5\n", "for irrigation code 2: code, name, method");
  ExpectFatal(head + "12 " + std::string(50, 'n') + " 3 1 10 5\n", "is longer than 49");
  ExpectFatal(head + "12 rice 4 1 much\n",
              "for irrigation code 2: min(ETR/ETP) could not be read correctly\n");
  ExpectFatal(head + "12 rice 3 1 10\n",
              "for irrigation code 2: psi_dry or psi_wet could not be read correctly\n");
  ExpectFatal(head + "12 rice 1 1 10 5 some\n",
              "for irrigation code 2: tabcnt could not be read correctly\n");
  ExpectFatal(head + "12 rice 1 1 10 5 2\n5 1 3\n6 15\n",
              "for irrigation code 2 month[2] or day[2] or amount[2] could not be read\n");
}

TEST_F(IrrigationTableTest, ValuesCountsAndCodesAreCheckedWhereTheyAreRead) {
  const std::string head = kSwitchOn + "[irrigation_table]\n";
  const std::pair<std::string, std::string> cases[] = {
      {"1\n12 rice 1 1 10 5 1\n13 1 3\n", "month[1] 13 and day[1] 1 are no date"},
      {"1\n12 rice 1 1 10 5 1\n4 31 3\n", "month[1] 4 and day[1] 31 are no date"},
      {"1\n12 rice 1 1 10 5 1\n2 30 3\n", "month[1] 2 and day[1] 30 are no date"},
      {"1\n12 rice 1 1 10 5 1\n5 1 nan\n", "month[1] or day[1] or amount[1] could not be read"},
      {"1\n12 rice 1 1 10 5 3000000\n5 1 3\n", "tabcnt could not be read correctly"},
      {"2\n12 rice 3 1 10 5\n12 maize 3 1 10 5\n", "the code 12 is given to entry 1 already"},
      {"1\n12 rice 4 1 inf\n", "min(ETR/ETP) could not be read correctly"},
      {"1\n12 rice 2 1 10 5 starting from 6 25 with 5 mm 2 times every 10 days; starting from "
       "4 1 with 10 mm to 4 20 with 30 mm every 10 days\n",
       "the schedules \"starting from 6 25 with 5 mm 2 times every 10 days; starting from 4 1 "
       "with 10 mm to 4 20 with 30 mm every 10 days\" mix the forms"},
      {"1\n12 rice 2 1 10 5 starting from 6 25 with 5 mm 3 times every 10 days to 7 1\n",
       "are ambiguous"},
  };
  for (const auto& [body, message] : cases) ExpectFatal(head + body, message);
  // 29 February recurs in leap years and is a date of a table.
  ASSERT_EQ(Read(head + "1\n12 rice 1 1 10 5 1\n2 29 3\n"), 0) << screen_.str();
  EXPECT_EQ(Entries(Record(1)), (std::vector<Entry>{{2, 29, 3}}));
  // A count that the file cannot hold fails before 3,000,000 records are allocated.
  EXPECT_EQ(Read(head + "3000000\n12 rice 3 1 10 5\n"), 17);
  EXPECT_TRUE(ScreenHas("number of irrigation types in [irrigation_table] is 3000000"))
      << screen_.str();
}

TEST_F(IrrigationTableTest, ScheduleErrorsGiveTheHelpText) {
  const std::string head = kSwitchOn + "[irrigation_table]\n1\n12 rice 2 1 10 5 ";
  const std::string help =
      "irrigation description for irrigation type 1 is wrong there are 4 possible ways to define "
      "irrigation rules:\ntwo schedule variants:\n"
      "1.: \"starting from MM DD with XX mm to MM DD with YY mm every ZZ day\"\n"
      "2.: \"starting from MM DD with XX mm AA times every ZZ days\"\n"
      " where MM and DD are Month and day, XX is the first irrigation amount \n"
      " per irrigation event in mm/day, ZZ is the time step (e.g. every 4 days..),\n"
      " YY is the last irrigation amount in mm/day (it is linearly interpolated)\n"
      " and AA is a repeat counter (only in the secound format).\n"
      " The model recognises both formats by the different formats by analysing the\n"
      " key-words \"starting from\", \"to\" and \"times\"\n"
      " note: there may be defined multiple irrigation schemes in one row,\n"
      " but they have to be of the same type (1. or 2.) \n"
      " and they have to be seperated by a semicolon (;)\n"
      " 3.: irrigation control by demand (1): suction (psi) for start and end of irrigation must "
      "be provided\n"
      " 4.: irrigation control by demand (2): ratio between ETR and ETP for irrigation start "
      "must be provided\n";
  ExpectFatal(head + "every 3 days\n", help);
  ExpectFatal(head + "starting from 4 1 times with 2 mm every 3 days\n",
              "none of the keywords \"to\" or \"times\" could be found!\n");
  EXPECT_NE(screen_.str().find(help), std::string::npos);
  // A repeat count or interval below 1 would never end or repeat one date forever.
  ExpectFatal(head + "starting from 4 1 with 2 mm 0 times every 3 days\n",
              "for irrigation code 1: the interval must be 1 day or more");
  EXPECT_NE(screen_.str().find(help), std::string::npos);
  ExpectFatal(head + "starting from 4 1 with 2 mm to 4 30 with 3 mm every 0 days\n", help);
  const std::string xml = test::ReadFile(diag_.file_name());
  EXPECT_NE(xml.find("<line level=\"0\""), std::string::npos);
}

}  // namespace
}  // namespace velorn

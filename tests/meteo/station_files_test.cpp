// Station-file parsing: station counts, records, years, missing values, regression forms.
#include "meteo/station_files.h"

#include <gtest/gtest.h>

#include <cstring>

namespace velorn {
namespace {

TEST(StationFiles, CountsConsecutiveNumbersAfterTheSkippedColumns) {
  struct Case {
    const char* line;
    int extra;
    int stations;
  };
  const Case cases[] = {
      {"a b c d 500 900 1200 name 7", 0, 3},  // a word after three altitudes ends the count
      {"a b c d e f 500 900", 2, 2},          // additional columns are skipped
      {"a b c d 12abc 3", 0, 2},              // a number followed by letters converts
      {"a b c d", 0, 0},
      {"a b", 0, 0},
      {"a\tb  c d\t-5 1e3", 0, 2},
  };
  for (const Case& c : cases) EXPECT_EQ(CountStations(c.line, c.extra), c.stations) << c.line;
}

TEST(StationFiles, HeaderRowsShortOrNotNumericAreRefused) {
  StationHeader h;
  ASSERT_TRUE(ParseStationHeader("a b c d 500 900", "a b c d 1 2", "a b c d 3 4", 0, h));
  EXPECT_EQ(h.count, 2);
  EXPECT_DOUBLE_EQ(h.altitude[2], 900);
  EXPECT_DOUBLE_EQ(h.x[1], 1);
  EXPECT_DOUBLE_EQ(h.y[2], 4);
  EXPECT_FALSE(ParseStationHeader("a b c d 500 900", "a b c d 1", "a b c d 3 4", 0, h));
  EXPECT_FALSE(ParseStationHeader("a b c d 500 900", "a b c d 1 2", "a b c d 3 y", 0, h));
}

TEST(StationFiles, RecordsApplyTheMissingRuleAndReportShortLines) {
  struct Case {
    const char* line;
    RecordParse parse;
    double v1;
    double v2;
  };
  const Case cases[] = {
      {"1995 1 2 24 1.5 12000 rest", RecordParse::kOk, 1.5, -10000},
      {"95 1 2 24 -9999 9999", RecordParse::kOk, -9999, 9999},
      {"1995 1 2 24 1.5", RecordParse::kShort, 1.5, 0},
      {"x 1 2 24 1 2", RecordParse::kNoDate, 0, 0},
      // A date cut short, or one outside the calendar, is a broken record, not the end.
      {"2019 06 1", RecordParse::kBadDate, 0, 0},
      {"9223372036854775807 1 2 24 1 2", RecordParse::kBadDate, 0, 0},
      {"1995 13 2 24 1 2", RecordParse::kBadDate, 0, 0},
      {"1995 1 -2147483648 24 1 2", RecordParse::kBadDate, 0, 0},
      // A year that only begins like a number is a damaged date too.
      {"2019mm 1 2 24 1 2", RecordParse::kBadDate, 0, 0},
      {"2019,5 1 2 24 1 2", RecordParse::kBadDate, 0, 0},
      {"0 0 0 0", RecordParse::kShort, 0, 0},
      {"1995 1 2 24 nan 2", RecordParse::kBadValue, 0, 0},
      // A value is the whole word: a decimal comma or a unit is no value.
      {"1995 1 2 24 3,5 2", RecordParse::kBadValue, 0, 0},
      {"1995 1 2 24 1 2mm", RecordParse::kBadValue, 0, 0},
  };
  for (const Case& c : cases) {
    ModelDate date;
    double v[3] = {0, 0, 0};
    EXPECT_EQ(ParseStationRecord(c.line, 0, 2, 9999, date, v), c.parse) << c.line;
    if (c.parse == RecordParse::kOk) {
      EXPECT_EQ(v[1], c.v1);
      EXPECT_EQ(v[2], c.v2);
    }
  }
  ModelDate date;
  std::string word;
  double v[2] = {0, 0};
  EXPECT_EQ(ParseStationRecord("2001 3 4 24 inf", 0, 1, 9999, date, v, &word),
            RecordParse::kBadValue);
  EXPECT_EQ(word, "inf");
  std::string name;
  EXPECT_EQ(ParseRecordDate("2001 3 4 24 x y grid.asc", 2, date, &name), RecordParse::kOk);
  EXPECT_EQ(name, "grid.asc");
  EXPECT_EQ(date, (ModelDate{2001, 3, 4, 24}));
}

TEST(StationFiles, MissingValuesYearsAndBlocks) {
  // -9999 is missing with nodata 9999, like the marker -10000; -9998 is a reading.
  EXPECT_TRUE(IsMissingStationValue(-9999, 9999));
  EXPECT_TRUE(IsMissingStationValue(MissingMarker(9999), 9999));
  EXPECT_FALSE(IsMissingStationValue(-9998, 9999));
  EXPECT_EQ(StationYear(95), 1995);
  EXPECT_EQ(StationYear(0), 1900);
  EXPECT_EQ(StationYear(995), 995);
  EXPECT_EQ(RegressionYear(995), 2895);
  EXPECT_EQ(RegressionYear(95), 1995);
  EXPECT_EQ(StationBlockCapacity(1), 2097152 / 48);
  EXPECT_EQ(StationBlockCapacity(1000000), 1);
}

TEST(StationFiles, RegressionFormsAreRecognisedAndCheckedForDates) {
  EXPECT_TRUE(IsRegressionTitle("jr mo tg b1 a1"));
  EXPECT_TRUE(IsRegressionTitle("jrxmo"));
  EXPECT_FALSE(IsRegressionTitle("jr m"));
  EXPECT_FALSE(IsRegressionTitle("year month"));

  // A text file read as binary records: its first 32 bytes are no dates.
  char bytes[kBinaryRegressionRecordBytes];
  std::memset(bytes, 0, sizeof bytes);
  std::memcpy(bytes, "year month day hour b1 a1 zl b2 a2 zu b3 a3", 44);
  ModelDate date;
  std::array<double, 12> values{};
  DecodeRegressionRecord(bytes, date, values);
  EXPECT_FALSE(IsPlausibleRegressionDate(date));

  const int64_t fields[4] = {95, 6, 30, 24};
  std::memcpy(bytes, fields, sizeof fields);
  const double v[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  std::memcpy(bytes + 32, v, sizeof v);
  DecodeRegressionRecord(bytes, date, values);
  EXPECT_TRUE(IsPlausibleRegressionDate(date));
  EXPECT_EQ(date, (ModelDate{95, 6, 30, 24}));
  EXPECT_EQ(values[11], 11);
  EXPECT_TRUE(IsPlausibleRegressionDate(ModelDate{}));  // the end record

  EXPECT_EQ(ParseRegressionLine("2000 1 1 24 1 2 3 4 5 6 7 8 9 10 11", date, values),
            RecordParse::kOk);
  EXPECT_EQ(values[9], 9);
  EXPECT_EQ(ParseRegressionLine("2000 1 1 24 1 2 3", date, values), RecordParse::kShort);
}

}  // namespace
}  // namespace velorn

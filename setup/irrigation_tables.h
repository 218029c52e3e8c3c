// Irrigation types of [irrigation_table] and their schedules.
//
// The settings object reads the table in set-up step 5 (defaultini::ReadIrrigationSections,
// defined in irrigation_tables.cpp); the code check of the irrigation grid and the irrigation
// model index it with the irrigation code. Methods: 1 a table of dated amounts, 2 schedules in
// words, 3 demand by soil suction, 4 demand by the ratio of real to potential
// evapotranspiration. Dated entries hold month and day only and repeat every year.
//
// A schedule in words reads "starting from MM DD with XX mm to MM DD with YY mm every ZZ days"
// (amounts interpolated linearly from XX to YY) or "starting from MM DD with XX mm AA times
// every ZZ days"; one line may hold several, all of the same form, each read from its own part
// of the line (up to the next "starting from"). A line that mixes the forms, a schedule that
// holds both keywords, or words other than "days" behind an interval are refused (code 29)
// rather than read as some other schedule. Intervals below 1 day and repeat counts outside
// 1..366 are refused too; so are table rows whose month or day is no calendar date, and an
// irrigation code given to two entries.
//
// Dates advance on an annual calendar of 365 days (February 28 days), not on the calendar of
// any year of the run. The entries carry month and day only and recur every year, so a
// schedule is a yearly one: on a real calendar, stepping across February would shift every
// later date by a day in leap years only, and a date of 29 February would irrigate one year in
// four. Taking the February of one year of the run (such as its end year) would make the same
// control file give other dates for runs of other lengths. With 365 days every entry falls on
// a day that exists in every year, and the dates depend on the text alone; "to" schedules end
// with the last date that does not pass their end date, also across the end of the year.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velorn {

// Methods of an irrigation type.
inline constexpr int32_t kIrrigationByTable = 1;
inline constexpr int32_t kIrrigationBySchedule = 2;
inline constexpr int32_t kIrrigationBySuction = 3;
inline constexpr int32_t kIrrigationByEtRatio = 4;
// Code of every fault of the irrigation sections.
inline constexpr int kIrrigationErrorCode = 29;
// Longest name of an irrigation type.
inline constexpr std::size_t kMaxIrrigationNameLength = 49;
// Largest repeat count of a "times" schedule (one entry per day of a year).
inline constexpr int32_t kMaxScheduleRepeats = 366;

struct IrrigationRecord {
  int32_t code = 0;  // irrigation type code of the irrigation grid
  std::string name;
  int32_t method = 0;
  int32_t origin = 0;  // source of the water (used by the irrigation model)
  double psi_dry = 0;  // suction that starts irrigation
  double psi_wet = 0;  // suction that ends irrigation
  double min_etr_etp = 0;
  int32_t table_count = 0;
  // Entries 1..table_count (element 0 unused): month, day and amount in mm per day.
  std::vector<int64_t> months{0};
  std::vector<int64_t> days{0};
  std::vector<double> amounts{0.0};

  void AddEntry(int64_t month, int64_t day, double amount);
};

// Records 0..count; record 0 holds only the count (in its code) and no dated entries.
struct IrrigationTable {
  int32_t count = 0;
  std::vector<IrrigationRecord> records;
};

// Month lengths of the annual irrigation calendar (February 28 days); 0 outside 1..12.
int AnnualMonthLength(int64_t month);

// Month and day of an annual calendar date.
struct MonthDay {
  int64_t month = 1;
  int64_t day = 1;
};

// Month clamped to 1..12, then day to 1..length of that month.
MonthDay ClampMonthDay(int64_t month, int64_t day);
// Day of the annual calendar, 1..365, of a valid date.
int64_t AnnualDayOfYear(const MonthDay& date);
// The date `days` (>= 0) after a valid date, wrapping over the end of the year.
MonthDay AddAnnualDays(const MonthDay& date, int64_t days);

enum class ScheduleError {
  kNone,
  kRule,             // the text does not follow either form
  kNoFormAfterWith,  // neither "to" nor "times" behind "with"
  kCountOrInterval,  // a repeat count outside 1..366 or an interval below 1 day
  kMixed,            // schedules of both forms in one text
  kAmbiguous,        // "to" and "times" in one schedule, or other words behind its interval
};

// Appends the schedules of `text` (the rest of a method-2 line) to the entries of `record`.
// Returns kNone when at least one schedule was read and every schedule is complete; on any
// error nothing is appended.
ScheduleError ParseIrrigationSchedules(const std::string& text, IrrigationRecord& record);

}  // namespace velorn

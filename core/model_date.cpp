// Calendar arithmetic of ModelDate: days are counted from a fixed epoch, so adding any number of
// hours or days rolls over months and years in one step, with real leap years throughout.
#include "core/model_date.h"

#include <cmath>

namespace velorn {
namespace {

// Days from 1 March of year 0 (proleptic Gregorian) to the given date; valid for any year.
int64_t DayNumber(int64_t year, int64_t month, int64_t day) {
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;
  const int64_t m = month > 2 ? month - 3 : month + 9;
  const int64_t day_of_year = (153 * m + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era;
}

// Inverse of DayNumber.
ModelDate DateOfDayNumber(int64_t number) {
  const int64_t era = (number >= 0 ? number : number - 146096) / 146097;
  const int64_t day_of_era = number - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t m = (5 * day_of_year + 2) / 153;
  ModelDate date;
  date.day = day_of_year - (153 * m + 2) / 5 + 1;
  date.month = m < 10 ? m + 3 : m - 9;
  date.year = year_of_era + era * 400 + (date.month <= 2 ? 1 : 0);
  return date;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

int DaysInMonth(int64_t year, int64_t month) {
  static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && IsLeapYear(year)) return 29;
  return kLengths[month - 1];
}

ModelDate AddHours(const ModelDate& date, int64_t hours, HourRange range) {
  const int64_t total = DayNumber(date.year, date.month, date.day) * 24 + date.hour + hours;
  int64_t day_number = FloorDiv(total, 24);
  int64_t hour = total - day_number * 24;
  if (range == HourRange::kOneTo24 && hour == 0) {
    hour = 24;
    --day_number;
  }
  ModelDate result = DateOfDayNumber(day_number);
  result.hour = hour;
  return result;
}

int64_t HoursBetween(const ModelDate& from, const ModelDate& to) {
  return (DayNumber(to.year, to.month, to.day) - DayNumber(from.year, from.month, from.day)) * 24 +
         to.hour - from.hour;
}

bool ReportDue(int64_t interval, const ModelDate& start, const ModelDate& step,
               double shift_hours) {
  if (interval <= 1) return true;
  const int64_t days = start.year == 0 ? 0
                                       : DayNumber(step.year, step.month, step.day) -
                                             DayNumber(start.year, start.month, start.day);
  const int64_t hours = days * 24 + step.hour + static_cast<int64_t>(std::trunc(shift_hours));
  return hours % interval == 0;
}

ModelDate AddDays(const ModelDate& date, int64_t days) {
  ModelDate result = DateOfDayNumber(DayNumber(date.year, date.month, date.day) + days);
  result.hour = date.hour;
  return result;
}

}  // namespace velorn

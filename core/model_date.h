// ModelDate: the date of a model step, its ModelTimeKey and calendar arithmetic.
//
// Dates are year, month (1..12), day (1..length of the month) and hour. The model counts hours
// 0..24: daily data carry hour 24 (the end of the day), hourly data 0..23 or 1..24 depending on
// whether the data hour marks the start or the end of the step. ModelTimeKey turns a date into
// one int64 (year*93000 + month*7750 + day*250 + hour) whose order is the date order for hours
// 0..24 and days up to 31; the model compares keys, never dates field by field.
//
// Month lengths follow the Gregorian calendar for every year (leap years: divisible by 4 and not
// by 100, or by 400). Used for model time, output calendars and irrigation schedules.
#pragma once

#include <cstdint>

namespace velorn {

// Weights of ModelTimeKey for year, month, day and hour.
inline constexpr int64_t kKeyWeightYear = 93000;
inline constexpr int64_t kKeyWeightMonth = 7750;
inline constexpr int64_t kKeyWeightDay = 250;
inline constexpr int64_t kKeyWeightHour = 1;

struct ModelDate {
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  int64_t hour = 0;

  friend bool operator==(const ModelDate&, const ModelDate&) = default;
};

constexpr int64_t ModelTimeKey(int64_t year, int64_t month, int64_t day, int64_t hour) {
  return year * kKeyWeightYear + month * kKeyWeightMonth + day * kKeyWeightDay +
         hour * kKeyWeightHour;
}
constexpr int64_t ModelTimeKey(const ModelDate& date) {
  return ModelTimeKey(date.year, date.month, date.day, date.hour);
}

constexpr bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days of the month (1..12) in the given year; 0 for a month outside 1..12.
int DaysInMonth(int64_t year, int64_t month);

// How hours are written after calendar arithmetic: 0..23 (an hour that reaches the end of a day
// becomes hour 0 of the next day), or 1..24 (it stays hour 24 of its day, the form of daily
// data and of step ends).
enum class HourRange { kZeroTo23, kOneTo24 };

// The date `hours` later (earlier for a negative count), with day, month and year roll-over.
// The input hour may be 0..24; month and day must be valid.
ModelDate AddHours(const ModelDate& date, int64_t hours, HourRange range = HourRange::kZeroTo23);

// The date `days` later (earlier for a negative count); the hour stays as it is.
ModelDate AddDays(const ModelDate& date, int64_t days);

// Hours from `from` to `to` (negative when `to` lies before).
int64_t HoursBetween(const ModelDate& from, const ModelDate& to);

// Whether a step whose data hour is `step` writes its progress line under a report interval of
// `interval` hours: the hours from midnight of the run's first day (`start`; a start of year 0
// counts from the step's own midnight) to the data hour plus `shift_hours` (truncated) must be
// a multiple of the interval. An interval that divides 24 thus reports at the same hours of
// every day, a longer one every n-th day; 1 or less reports every step.
bool ReportDue(int64_t interval, const ModelDate& start, const ModelDate& step, double shift_hours);

}  // namespace velorn

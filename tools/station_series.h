// Daily station series of the example basin: the KNMI daily-values file ("etmgeg" format) read
// into plain records and written as the station tables of the meteorological interpolator.
//
// Called by tools/example_basin.cpp and by the tests in tests/tools/. Pure text functions.
//
// Units: the KNMI integers (0.1 degC, 0.1 m/s, 0.1 mm with -1 for less than 0.05 mm, J/cm2,
// percent) become degC, m/s, mm per day, the fraction of saturation, Wh/m2 per day and the
// fraction of the longest possible sunshine. A blank KNMI field becomes kMissingValue.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velorn::tools {

// The value a station table holds for a missing reading (missing under the usual nodata 9999).
inline constexpr double kMissingValue = -9999.0;

struct DailyWeather {
  int year = 0, month = 0, day = 0;
  double temperature = kMissingValue;    // TG, mean of the day, degC
  double precipitation = kMissingValue;  // RH, mm
  double wind_speed = kMissingValue;     // FG, mean of the day, m/s
  double humidity = kMissingValue;       // UG, relative humidity as a fraction
  double radiation = kMissingValue;      // Q, global radiation of the day, Wh/m2
  double sunshine = kMissingValue;       // SP, fraction of the longest possible sunshine
};

// The records of one year of a KNMI daily-values text. The column titles are taken from the
// comment line that starts with "# STN,"; throws std::runtime_error when that line or one of
// the columns is missing or a number does not convert.
std::vector<DailyWeather> ReadKnmiDaily(std::string_view text, int year);

// One station table: a first line of free text, the altitude, x and y of the one station after
// four label words each, a line of titles, then "year month day hour value" per day with the
// hour 0 (the day's values belong to the step that starts at midnight).
struct StationTable {
  std::string title;  // first line
  double altitude = 0, x = 0, y = 0;
  std::string format = "%.1f";  // printf format of the value
};
std::string FormatStationTable(const StationTable& table, const std::vector<DailyWeather>& days,
                               double DailyWeather::*field);

}  // namespace velorn::tools

// KNMI daily series to station tables (see station_series.h).
#include "tools/station_series.h"

#include <charconv>
#include <map>
#include <stdexcept>

#include "core/string_helpers.h"

namespace velorn::tools {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> SplitCommas(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(Trim(line.substr(start, comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return fields;
}

// A KNMI integer field; blank is missing.
double Field(std::string_view text, const std::string& column, int date) {
  if (text.empty()) return kMissingValue;
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size())
    throw std::runtime_error("column " + column + " of " + std::to_string(date) +
                             " is not a whole number: " + std::string(text));
  return static_cast<double>(value);
}

double Scaled(double value, double factor) {
  return value == kMissingValue ? kMissingValue : value * factor;
}

}  // namespace

std::vector<DailyWeather> ReadKnmiDaily(std::string_view text, int year) {
  std::map<std::string, std::size_t> column;
  std::vector<DailyWeather> days;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("# STN,")) {
      const auto titles = SplitCommas(line.substr(2));
      for (std::size_t i = 0; i < titles.size(); ++i) column[std::string(titles[i])] = i;
      continue;
    }
    // The description of the columns above the titles is free text.
    if (column.empty() || Trim(line).empty() || line.front() == '#') continue;
    const auto fields = SplitCommas(line);
    auto get = [&](const std::string& name, int date) {
      const auto it = column.find(name);
      if (it == column.end()) throw std::runtime_error("no column " + name);
      if (it->second >= fields.size())
        throw std::runtime_error("the record of " + std::to_string(date) + " has no column " +
                                 name);
      return Field(fields[it->second], name, date);
    };
    const int date = static_cast<int>(get("YYYYMMDD", 0));
    if (date / 10000 != year) continue;
    DailyWeather d;
    d.year = date / 10000;
    d.month = date / 100 % 100;
    d.day = date % 100;
    d.temperature = Scaled(get("TG", date), 0.1);
    const double rain = get("RH", date);
    d.precipitation = rain == -1 ? 0.0 : Scaled(rain, 0.1);  // -1: less than 0.05 mm
    d.wind_speed = Scaled(get("FG", date), 0.1);
    d.humidity = Scaled(get("UG", date), 0.01);
    d.radiation = Scaled(get("Q", date), 10000.0 / 3600.0);  // J/cm2 to Wh/m2
    d.sunshine = Scaled(get("SP", date), 0.01);
    days.push_back(d);
  }
  if (column.empty()) throw std::runtime_error("no line of column titles (\"# STN,\")");
  if (days.empty()) throw std::runtime_error("no record of the year " + std::to_string(year));
  return days;
}

std::string FormatStationTable(const StationTable& table, const std::vector<DailyWeather>& days,
                               double DailyWeather::*field) {
  std::string out = table.title + "\n";
  out += FormatText("station altitude in m %.1f\n", table.altitude);
  out += FormatText("station x in m %.1f\n", table.x);
  out += FormatText("station y in m %.1f\n", table.y);
  out += "YYYY MM DD HH DeBilt\n";
  const std::string value_format = table.format + "\n";
  for (const DailyWeather& d : days) {
    out += FormatText("%04d %02d %02d 00 ", d.year, d.month, d.day);
    const double value = d.*field;
    out += value == kMissingValue ? FormatText("%.0f\n", value)
                                  : FormatText(value_format.c_str(), value);
  }
  return out;
}

}  // namespace velorn::tools

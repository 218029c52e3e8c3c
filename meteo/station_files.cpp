#include "meteo/station_files.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace velorn {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Moves `pos` past blanks and returns the next token (empty at the end of the line).
std::string_view NextToken(std::string_view line, std::size_t& pos) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const std::size_t start = pos;
  while (pos < line.size() && !IsBlank(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

// The whole word is a finite number (core/number_reader.h).
bool ConvertWholeDouble(std::string_view token, double& value) {
  return ReadNumber(token, value);
}

// The whole word is a whole number.
bool ConvertLong(std::string_view token, int64_t& value) {
  long long read = 0;
  if (!ReadNumber(token, read)) return false;
  value = read;
  return true;
}

bool SkipTokens(std::string_view line, std::size_t& pos, int count) {
  for (int i = 0; i < count; ++i)
    if (NextToken(line, pos).empty()) return false;
  return true;
}

// A line whose first word is no number holds no record (kNoDate); one that begins with a number
// must hold a whole date of the calendar (or the all-zero end record), else it is kBadDate.
RecordParse ParseDateFields(std::string_view line, std::size_t& pos, ModelDate& date) {
  int64_t* fields[4] = {&date.year, &date.month, &date.day, &date.hour};
  // A first word that only begins like a number ("2019mm", "2019,5") is a damaged date, not the
  // end of the records.
  const std::string_view year = NextToken(line, pos);
  if (!ConvertLong(year, date.year))
    return BeginsLikeNumber(year) ? RecordParse::kBadDate : RecordParse::kNoDate;
  for (int i = 1; i < 4; ++i)
    if (!ConvertLong(NextToken(line, pos), *fields[i])) return RecordParse::kBadDate;
  return IsWrittenDate(date) ? RecordParse::kOk : RecordParse::kBadDate;
}

bool ParseHeaderRow(const std::string& line, int line_number, int skipped, StationHeader& header,
                    std::vector<double>& out) {
  out.assign(static_cast<std::size_t>(header.count) + 1, 0.0);
  std::size_t pos = 0;
  if (!SkipTokens(line, pos, skipped)) return false;
  // A word that is no number would otherwise put the station at 0 without a word, and one that
  // only starts with a number ("2,416") at the number before the comma.
  for (int i = 1; i <= header.count; ++i) {
    const std::string_view token = NextToken(line, pos);
    double& value = out[static_cast<std::size_t>(i)];
    if (ConvertWholeDouble(token, value)) continue;
    if (BeginsLikeNumber(token)) {
      header.bad_line = line_number;
      header.bad_station = i;
      header.bad_word.assign(token);
    }
    return false;
  }
  return true;
}

}  // namespace

int CountStations(const std::string& line2, int additional_columns) {
  std::size_t pos = 0;
  if (!SkipTokens(line2, pos, 4 + additional_columns)) return 0;
  int count = 0;
  while (BeginsLikeNumber(NextToken(line2, pos))) ++count;
  return count;
}

std::string StationHeaderWord(const std::string& line, int additional_columns, int station) {
  std::size_t pos = 0;
  if (!SkipTokens(line, pos, 4 + additional_columns + station - 1)) return "";
  return std::string(NextToken(line, pos));
}

bool ParseStationHeader(const std::string& line2, const std::string& line3,
                        const std::string& line4, int additional_columns, StationHeader& header) {
  const int skipped = 4 + additional_columns;
  header.count = CountStations(line2, additional_columns);
  header.bad_line = 0;
  header.bad_station = 0;
  header.bad_word.clear();
  return ParseHeaderRow(line2, 2, skipped, header, header.altitude) &&
         ParseHeaderRow(line3, 3, skipped, header, header.x) &&
         ParseHeaderRow(line4, 4, skipped, header, header.y);
}

bool IsWrittenDate(const ModelDate& d) {
  if (IsEndRecord(d)) return true;
  return d.year >= 0 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= 31 && d.hour >= 0 && d.hour <= 24;
}

RecordParse ParseStationRecord(std::string_view line, int additional_columns, int count,
                               double nodata_value, ModelDate& date, double* values,
                               std::string* bad_word, int* bad_station) {
  std::size_t pos = 0;
  const RecordParse dated = ParseDateFields(line, pos, date);
  if (dated != RecordParse::kOk) return dated;
  if (!SkipTokens(line, pos, additional_columns)) return RecordParse::kShort;
  for (int i = 1; i <= count; ++i) {
    double v = 0;
    const std::string_view token = NextToken(line, pos);
    if (token.empty()) return RecordParse::kShort;
    if (!ConvertWholeDouble(token, v)) {
      if (bad_word != nullptr) bad_word->assign(token);
      if (bad_station != nullptr) *bad_station = i;
      return RecordParse::kBadValue;
    }
    values[i] = ApplyStationNodata(v, nodata_value);
  }
  return RecordParse::kOk;
}

RecordParse ParseRecordDate(std::string_view line, int additional_columns, ModelDate& date,
                            std::string* name) {
  std::size_t pos = 0;
  const RecordParse dated = ParseDateFields(line, pos, date);
  if (dated != RecordParse::kOk) return dated;
  if (name == nullptr) return RecordParse::kOk;
  if (!SkipTokens(line, pos, additional_columns)) return RecordParse::kShort;
  const std::string_view token = NextToken(line, pos);
  if (token.empty()) return RecordParse::kShort;
  name->assign(token);
  return RecordParse::kOk;
}

StationValueRange StationValueRangeOf(std::string_view variable) {
  struct Entry {
    std::string_view prefix;
    StationValueRange range;
  };
  static constexpr Entry kRanges[] = {
      {"temperature", {-100, 100, "degC"}},
      {"precipitation", {0, 5000, "mm"}},
      {"wind_speed", {0, 150, "m/s"}},
      {"air_humidity", {0, 1.1, "(fraction)"}},
      {"global_radiation", {0, 1e5, "Wh/m2"}},
      {"net_radiation", {-1e5, 1e5, "Wh/m2"}},
      {"sunshine_duration", {0, 1, "(fraction)"}},
      {"vapor_pressure", {0, 200, "hPa"}},
      {"air_pressure", {0, 1200, "hPa"}},
  };
  for (const Entry& e : kRanges)
    if (variable.substr(0, e.prefix.size()) == e.prefix) return e.range;
  return {-1e9, 1e9, ""};
}

bool IsRegressionTitle(std::string_view first_line) {
  return first_line.size() >= 5 && first_line[0] == 'j' && first_line[1] == 'r' &&
         first_line[3] == 'm' && first_line[4] == 'o';
}

RecordParse ParseRegressionLine(std::string_view line, ModelDate& date,
                                std::array<double, 12>& values) {
  std::size_t pos = 0;
  const RecordParse dated = ParseDateFields(line, pos, date);
  if (dated != RecordParse::kOk) return dated;
  values[0] = 0;
  for (int i = 1; i <= kRegressionValues; ++i)
    if (!ConvertWholeDouble(NextToken(line, pos), values[static_cast<std::size_t>(i)]))
      return RecordParse::kShort;
  return RecordParse::kOk;
}

void DecodeRegressionRecord(const char* bytes, ModelDate& date, std::array<double, 12>& values) {
  int64_t fields[4];
  std::memcpy(fields, bytes, sizeof fields);
  date = ModelDate{fields[0], fields[1], fields[2], fields[3]};
  values[0] = 0;
  std::memcpy(&values[1], bytes + sizeof fields, kRegressionValues * sizeof(double));
}

bool IsPlausibleRegressionDate(const ModelDate& written) {
  return IsWrittenDate(written);
}

int64_t StationBlockCapacity(int count) {
  const int64_t capacity = kStationBlockBytes / (8 * (static_cast<int64_t>(count) + 1) + 32);
  return capacity < 1 ? 1 : capacity;
}

int64_t LineNumberAt(const std::string& path, int64_t position) {
  std::ifstream in(path, std::ios::binary);
  int64_t line = 1;
  char c = 0;
  for (int64_t i = 0; i < position && in.get(c); ++i)
    if (c == '\n') ++line;
  return line;
}

bool ReadLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace velorn

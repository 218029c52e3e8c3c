// Station files: the three input forms of the meteorological interpolators, parsed without MPI
// or diagnostics so that they can be tested on their own.
//
// - Station table: line 1 free text; lines 2, 3, 4 hold 4 + `AdditionalColumns` ignored tokens,
//   then one altitude, x and y per station; line 5 is ignored; from line 6 on each record is
//   "year month day hour [additional columns] value_1 .. value_n [rest ignored]".
// - Grid-name list (method 9): the same header, records "year month day hour [additional
//   columns] gridname" where "-9999" repeats the last grid named.
// - Regression file: text (a first line with 'j','r',?,'m','o' in characters 1..5, then lines of
//   a date and 11 values) or binary (120-byte records: four int64 date fields, 11 doubles).
//
// meteointerpol (meteo/meteo_interpolator.h) opens the files, keeps positions and blocks, and
// turns every failure reported here into its FATAL entry.
//
// Missing values: with the interpolator's nodata value N, a reading outside [-N, N] is stored as
// -N - 1, and every value at or below -N counts as missing (so that the model-wide marker -9999
// is missing with the usual N = 9999).
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "core/model_date.h"

namespace velorn {

// A station file line holds more than the date, the additional columns and the values do not
// convert, a header row is short, or a regression file holds dates that cannot be dates.
inline constexpr int kStationContentCode = 1051;

// Bytes of the record blocks of a station file, and records of a regression file block.
inline constexpr int64_t kStationBlockBytes = 2097152;
inline constexpr int64_t kRegressionBlockRecords = 16384;
// Values of a regression record (intercepts, gradients, bounding altitudes, trend plane).
inline constexpr int kRegressionValues = 11;
inline constexpr int64_t kBinaryRegressionRecordBytes = 4 * 8 + kRegressionValues * 8;

// The marker of a missing value for nodata value N.
constexpr double MissingMarker(double nodata_value) {
  return -nodata_value - 1.0;
}
// A reading outside [-N, N] becomes the missing marker.
constexpr double ApplyStationNodata(double value, double nodata_value) {
  return (value < -nodata_value || value > nodata_value) ? MissingMarker(nodata_value) : value;
}
// A stored value at or below -N is missing (the marker and -N itself).
constexpr bool IsMissingStationValue(double value, double nodata_value) {
  return value <= -nodata_value;
}

// Year fix-ups: station tables and grid-name lists add 1900 to years up to 99, regression files
// to years up to 999.
constexpr int64_t StationYear(int64_t year) {
  return year <= 99 ? year + 1900 : year;
}
constexpr int64_t RegressionYear(int64_t year) {
  return year <= 999 ? year + 1900 : year;
}
// A record whose year, month and day are all 0 ends the data.
constexpr bool IsEndRecord(const ModelDate& d) {
  return d.year == 0 && d.month == 0 && d.day == 0;
}

// Lines 2..4 of a station table.
struct StationHeader {
  int count = 0;
  // Indexes 1..count; element 0 unused.
  std::vector<double> altitude;
  std::vector<double> x;
  std::vector<double> y;
  // When a word of lines 2 to 4 starts with a number but is none as a whole ("2,416", "500m"):
  // its line (2 to 4), its station and the word; bad_line is 0 otherwise.
  int bad_line = 0;
  int bad_station = 0;
  std::string bad_word;
};

// Number of stations on line 2: consecutive tokens after the skipped columns that start with a
// finite number; the first other token or the end of the line ends the count.
int CountStations(const std::string& line2, int additional_columns);

// The word of station `station` (1-based) on a header line, after the skipped columns; empty
// when the line ends first.
std::string StationHeaderWord(const std::string& line, int additional_columns, int station);

// Parses lines 2..4 (given without line ends). A row with fewer than `count` tokens after the
// skipped columns gives false, and so does a token that is no number as a whole: a decimal
// comma ("2,416") or a unit glued to the number would otherwise read as the number before it
// (its line, station and word are kept in the header's bad_* fields).
bool ParseStationHeader(const std::string& line2, const std::string& line3,
                        const std::string& line4, int additional_columns, StationHeader& header);

// The values a station can report for a meteorological variable, in the units of its grid
// (after the section's scaling factor), by the variable's name: the temperatures ("temperature",
// "temperature_14", ...) -100 to 100 degC, precipitation 0 to 5000 mm per step, wind speed 0 to
// 150 m/s, relative humidity ("air_humidity", ...) 0 to 1.1, global radiation 0 to 1e5 Wh/m2 per
// step, net radiation -1e5 to 1e5 Wh/m2, relative sunshine 0 to 1, vapour pressure 0 to 200
// hPa, air pressure 0 to 1200 hPa; any other variable -1e9 to 1e9.
struct StationValueRange {
  double low;
  double high;
  const char* unit;
};
StationValueRange StationValueRangeOf(std::string_view variable);

// Result of parsing one record line.
enum class RecordParse {
  kOk,
  kNoDate,    // the first word is no number: no record (the end of the readable records)
  kBadDate,   // it begins with a number, but holds no whole date of the calendar
  kShort,     // the date converts but the additional columns or values are incomplete
  kBadValue,  // a value is there but is no finite number ("nan", "inf", a word, "3,5")
};

// True for the all-zero end record and for dates as written with year 0..9999, month 1..12,
// day 1..31 and hour 0..24: nothing larger reaches the date arithmetic.
bool IsWrittenDate(const ModelDate& written);

// Reads "year month day hour", skips `additional_columns` tokens and reads `count` values into
// values[1..count] with the nodata rule; a value must be the whole word ("3,5" or "2.1mm" is no
// value). The date is returned as written (no year fix-up). For
// kBadValue the offending word is stored in `bad_word` and its station (1..count) in
// `bad_station` when given.
RecordParse ParseStationRecord(std::string_view line, int additional_columns, int count,
                               double nodata_value, ModelDate& date, double* values,
                               std::string* bad_word = nullptr, int* bad_station = nullptr);
// Reads only the date (and skips the additional columns for `name` when given, storing the
// grid-name token there). Used by the start-date search and the grid-name list.
RecordParse ParseRecordDate(std::string_view line, int additional_columns, ModelDate& date,
                            std::string* name = nullptr);

// True when the first line of a file marks the text form of a regression file.
bool IsRegressionTitle(std::string_view first_line);
// Parses a text regression line: date and 11 values into values[1..11]. Year as written.
RecordParse ParseRegressionLine(std::string_view line, ModelDate& date,
                                std::array<double, 12>& values);
// Decodes a 120-byte binary record (host byte order). Year as written.
void DecodeRegressionRecord(const char* bytes, ModelDate& date, std::array<double, 12>& values);
// True when a date read from a regression file is a date (after the year fix-up) or the all-zero
// end record (IsWrittenDate).
bool IsPlausibleRegressionDate(const ModelDate& written);

// Records per block of a station file with `count` stations: 2097152 / (8 (count + 1) + 32),
// at least 1.
int64_t StationBlockCapacity(int count);

// 1-based number of the line that begins at byte `position` of the file (for messages).
int64_t LineNumberAt(const std::string& path, int64_t position);

// Reads the next line of `in` into `line` (without its line end); false at the end of the file.
bool ReadLine(std::istream& in, std::string& line);

}  // namespace velorn

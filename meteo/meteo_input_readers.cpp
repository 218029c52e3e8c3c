// The input readers of meteointerpol: station headers, start-date searches, record blocks and
// the advance from record to record of station tables, the grid-name list and regression files.
//
// Files are opened for one access and closed again; the byte positions of the next record and
// of the start record survive between accesses (the grid-name list alone stays open). Every
// failure names the file: 49 open, 50 close, 51 start date missing, 1051 unreadable content.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "core/number_reader.h"
#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "meteo/meteo_interpolator.h"

namespace velorn {
namespace {

// Closes the reading of a block of `read` records that ends at `position`: the block holds what
// was read, the cursor stands on its first record, and an empty block is the end of the data.
template <class BlockFile>
void FinishBlockOf(BlockFile& file, int64_t read, int64_t position, int& end_of_data) {
  if (read < file.capacity) file.capacity = read;
  file.index = 1;
  if (read == 0) end_of_data = 1;
  file.next_position = position;
}

// Byte position after the last read, or the file size when the read reached the end.
int64_t PositionAfter(std::ifstream& in, const std::string& path) {
  if (!in.eof()) return static_cast<int64_t>(in.tellg());
  std::ifstream again(path, std::ios::binary | std::ios::ate);
  return static_cast<int64_t>(again.tellg());
}

bool IsBlankLine(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

// The FATAL entry of a record line that is no record: a date cut short or outside the calendar,
// a value that is no finite number (named with its station when known), or too few values.
// Names the file and the line.
[[noreturn]] void FailRecordLine(DiagnosticStream& diag, const std::string& path, int64_t position,
                                 const std::string& line, RecordParse parsed,
                                 const std::string& bad_word, const std::string& expected,
                                 int bad_station = 0) {
  const int64_t number = LineNumberAt(path, position);
  if (parsed == RecordParse::kBadDate)
    ThrowFatal(diag, kStationContentCode, "FATAL: line ", number, " of ", path,
               " holds no date of the calendar (year month day hour): \"", line, "\"");
  if (parsed == RecordParse::kBadValue)
    ThrowFatal(diag, kStationContentCode, "FATAL: line ", number, " of ", path, ": ",
               bad_station > 0 ? FormatText("station %d: ", bad_station) : std::string(), "\"",
               bad_word, "\" is not a finite number");
  ThrowFatal(diag, kStationContentCode, "FATAL: line ", number, " of ", path, " holds fewer than ",
             expected, ": \"", line, "\"");
}

// Refuses a record whose reading of a station (scaled as the results are) lies outside what the
// variable can hold (StationValueRangeOf), unless the section's limits replace every result on
// that side (a lower limit at or above the lowest value, an upper one at or below the highest:
// negative precipitation with the limits 0 0 becomes 0); such a replaced reading is named in a
// WARNING, the first one of the variable only (`warned`). Missing values are not readings.
void CheckStationValues(DiagnosticStream& diag, const std::string& variable, double scaling,
                        const std::array<double, 5>& limits, double nodata_value,
                        const std::string& path, int64_t position, int count, const double* values,
                        bool& warned) {
  const StationValueRange range = StationValueRangeOf(variable);
  for (int i = 1; i <= count; ++i) {
    const double scaled = values[i] * scaling;
    if (IsMissingStationValue(values[i], nodata_value) ||
        (scaled >= range.low && scaled <= range.high))
      continue;
    const bool below = scaled < range.low;
    const std::string reading =
        FormatText("station %d of %s holds %g", i, variable.c_str(), values[i]) +
        (scaling == 1.0 ? std::string() : FormatText(" (scaled: %g)", scaled)) +
        FormatText(", it must lie within %g to %g %s", range.low, range.high, range.unit);
    if (below ? limits[1] < range.low : limits[3] > range.high)
      ThrowFatal(diag, kStationContentCode, "FATAL: line ", LineNumberAt(path, position), " of ",
                 path, ": ", reading);
    if (warned) continue;
    warned = true;
    diag << "WARNING: line " << LineNumberAt(path, position) << " of " << path << ": " << reading
         << "; the " << (below ? "lower" : "upper") << " limit of [" << variable
         << "] replaces it by " << FormatText("%g", below ? limits[2] : limits[4])
         << " (later readings of " << variable << " outside that range are not reported)"
         << "[end-entry]";
  }
}

ModelDate WithStationYear(ModelDate date) {
  date.year = StationYear(date.year);
  return date;
}

}  // namespace

// Called right after a failed open: errno holds the system's reason.
[[noreturn]] void meteointerpol::FailOpen(const std::string& path) const {
  ThrowFatal(Diag(), kStationOpenCode, "FATAL: \nerror opening file ", path,
             SystemReason(ErrnoOrIo()));
}

void meteointerpol::ReadStationHeader(StationFile& file) {
  // A folder opens as a stream that reads nothing: its "header" would be blamed instead.
  std::error_code error;
  if (std::filesystem::is_directory(file.path, error))
    ThrowFatal(Diag(), kStationOpenCode, "FATAL: \nerror opening ", file.path, " of ", name,
               " - it is a directory, not a station file");
  errno = 0;
  std::ifstream in(file.path, std::ios::binary);
  const NumberSource source(file.path);
  if (!in)
    ThrowFatal(Diag(), kStationOpenCode, "FATAL: \nerror opening ", file.path,
               SystemReason(ErrnoOrIo()));
  std::string line1, line2, line3, line4;
  StationHeader header;
  const bool parsed = ReadLine(in, line1) && ReadLine(in, line2) && ReadLine(in, line3) &&
                      ReadLine(in, line4) &&
                      ParseStationHeader(line2, line3, line4, file.additional_columns, header);
  if (!parsed && header.bad_line > 0) {
    const char* what[] = {"altitude", "x", "y"};
    ThrowFatal(Diag(), kStationContentCode, "FATAL: line ", header.bad_line, " of ", file.path,
               ": station ", header.bad_station, ": ", what[header.bad_line - 2], " \"",
               header.bad_word, "\" is not a finite number");
  }
  if (!parsed)
    ThrowFatal(Diag(), kStationContentCode, "FATAL: station file ", file.path, " of ", name,
               ": lines 2 to 4 must hold ", 4 + file.additional_columns,
               " leading columns and the altitude, x and y of every station");
  // Lines 3 and 4 give the stations that line 2 must give an altitude for: a word that is no
  // altitude there ("nan", "-", nothing) would otherwise drop the station and every one after it.
  const int located = std::max(CountStations(line3, file.additional_columns),
                               CountStations(line4, file.additional_columns));
  if (header.count == 0 || located > header.count) {
    const std::string word = StationHeaderWord(line2, file.additional_columns, header.count + 1);
    ThrowFatal(Diag(), kStationContentCode, "FATAL: station file ", file.path, " of ", name,
               ": the altitude of station ", header.count + 1, " on line 2 is ",
               word.empty() ? std::string("missing") : "\"" + word + "\"",
               ", it must be a number within ", kLowestElevation, " to ", kHighestElevation, " m");
  }
  for (int i = 1; i <= header.count; ++i) {
    const double altitude = header.altitude[static_cast<std::size_t>(i)];
    if (!IsEarthElevation(altitude))
      ThrowFatal(Diag(), kStationContentCode, "FATAL: station file ", file.path, " of ", name,
                 ": the altitude of station ", i, " on line 2 is ", FormatText("%g", altitude),
                 ", it must lie within ", kLowestElevation, " to ", kHighestElevation, " m");
    const double x = header.x[static_cast<std::size_t>(i)],
                 y = header.y[static_cast<std::size_t>(i)];
    if (std::fabs(x) > kMaxStationCoordinate || std::fabs(y) > kMaxStationCoordinate)
      ThrowFatal(Diag(), kStationContentCode, "FATAL: station file ", file.path, " of ", name,
                 ": station ", i, " lies at x ", FormatText("%g", x), ", y ", FormatText("%g", y),
                 ", farther than 1e9 m from the origin of the coordinates");
  }
  Diag() << "reading station description for " << name << " from " << file.path << " ... ("
         << header.count << ") Stationen [end-entry]";
  file.count = header.count;
  file.altitude = std::move(header.altitude);
  file.x = std::move(header.x);
  file.y = std::move(header.y);
  const std::size_t size = static_cast<std::size_t>(file.count) + 1;
  file.extra.assign(size, 0.0);
  file.values.assign(size, MissingMarker(nodata_value));
  file.x_rot = file.x;
  file.y_rot = file.y;
  file.distance_from_origin.assign(size, 0.0);
}

namespace {

// Number of blank- or tab-separated words of a record line.
int WordCount(const std::string& line) {
  int count = 0;
  bool in_word = false;
  for (const char c : line) {
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (!blank && !in_word) ++count;
    in_word = !blank;
  }
  return count;
}

}  // namespace

// A record holds year, month, day, hour, the additional columns and a value per station. A table
// without its hour column would otherwise read the first station's value as the hour and end in
// a start date that is not found.
void meteointerpol::RequireFullRecord(const StationFile& file, const std::string& line) const {
  const int needed = 4 + file.additional_columns + file.count;
  const int given = WordCount(line);
  if (given >= needed) return;
  ThrowFatal(Diag(), kStationContentCode, "FATAL: station file ", file.path, " of ", name,
             ": its first record \"", line, "\" holds ", given, " values, but a record needs ",
             needed, " (year, month, day, hour, ",
             file.additional_columns > 0 ? FormatText("%d more columns, ", file.additional_columns)
                                         : std::string(),
             "one value for each of the ", file.count,
             " stations of its header); is the hour column missing?");
}

void meteointerpol::SeekStationStartDate(StationFile& file) {
  std::string unused;
  SeekStationStartDateOnly(file, unused);
}

void meteointerpol::SeekStationStartDateOnly(StationFile& file, std::string& token) {
  Diag() << "looking for starting date " << start.day << "." << start.month << "." << start.year
         << " for " << name << " in " << file.path << "[end-entry]";
  errno = 0;
  std::ifstream in(file.path, std::ios::binary);
  const NumberSource source(file.path);
  if (!in) FailOpen(file.path);
  std::string line;
  for (int i = 0; i < 5; ++i) ReadLine(in, line);
  std::fill(file.values.begin(), file.values.end(), MissingMarker(nodata_value));
  const bool list = method == 9;
  bool found = false;
  ModelDate first{};  // of the file's records, for the message when the start is missing
  bool any = false;
  bool checked = false;  // the first record line holds every column
  while (!found) {
    const int64_t position = static_cast<int64_t>(in.tellg());
    if (!ReadLine(in, line)) break;
    if (!checked && WordCount(line) > 0) {
      checked = true;
      if (!list) RequireFullRecord(file, line);
    }
    ModelDate date;
    // A line without a date is passed over; a damaged date before the start is refused as it
    // would be after it, not skipped as if the record were not there.
    const RecordParse dated = ParseRecordDate(line, 0, date);
    if (dated == RecordParse::kNoDate) continue;
    if (dated != RecordParse::kOk)
      FailRecordLine(Diag(), file.path, position, line, dated, std::string(), "a date");
    date = WithStationYear(date);
    if (!any) first = date;
    any = true;
    if (date.day == 1 && (date.hour == 0 || date.hour >= 24)) Diag() << ".";
    if (!(date == start)) continue;
    found = true;
    file.date = date;
    file.last_read = date;
    file.has_last_read = true;
    file.start_position = position;
    file.next_position = PositionAfter(in, file.path);
    std::string bad_word;
    int bad_station = 0;
    const RecordParse parsed =
        list ? ParseRecordDate(line, file.additional_columns, date, &token)
             : ParseStationRecord(line, file.additional_columns, file.count, nodata_value, date,
                                  file.values.data(), &bad_word, &bad_station);
    // The start record fails as any other record does, naming the station and the value.
    if (parsed != RecordParse::kOk && !list)
      FailRecordLine(Diag(), file.path, position, line, parsed, bad_word,
                     std::to_string(file.count) + " station values", bad_station);
    if (parsed != RecordParse::kOk)
      ThrowFatal(Diag(), kStationContentCode, "FATAL: record of ", start.day, ".", start.month, ".",
                 start.year, " in ", file.path, " is incomplete");
    if (!list)
      CheckStationValues(Diag(), name, scaling_factor, limits, nodata_value, file.path, position,
                         file.count, file.values.data(), warned_beyond_range);
  }
  Diag() << "[end-entry]";
  if (!found)
    ThrowFatal(Diag(), kStartDateCode, "FATAL: \nfile ", file.path, " dosnt contain date ",
               start.day, ".", start.month, ".", start.year, ", hour ", start.hour, "(feof)!",
               any ? FormatText("\nIts records begin on %ld.%ld.%ld, hour %ld.", first.day,
                                first.month, first.year, first.hour)
                   : std::string("\nIt holds no dated record."));
  file.uniform = 0;
  if (list) return;
  // The start record is a record like any other: it may need holding and has its uniform flag.
  file.held_values.clear();
  HoldLastValidRecord(file);
  UpdateUniformFlag(static_cast<int>(&file - station_files.data()));
}

void meteointerpol::HoldLastValidRecord(StationFile& file) {
  for (int i = 1; i <= file.count; ++i)
    if (!IsMissingStationValue(file.values[static_cast<std::size_t>(i)], nodata_value)) {
      file.held_values = file.values;
      file.held_date = file.date;
      return;
    }
  // Without an earlier usable record the step decides (see ReplacementForMissingRecord).
  if (file.held_values.empty()) return;
  file.values = file.held_values;
  // One entry per variable and run, on the first such step: a long gap would otherwise write
  // one entry per step.
  if (warned_without_values) return;
  warned_without_values = true;
  const ModelDate& d = file.date;
  const ModelDate& h = file.held_date;
  Diag() << "WARNING: no station of " << name << " in " << file.path << " has a value on " << d.day
         << "." << d.month << "." << d.year << " " << d.hour << ". h: the values of " << h.day
         << "." << h.month << "." << h.year << " " << h.hour
         << ". h are held (later steps without any value are not reported)"
         << "[end-entry]";
}

void meteointerpol::HoldLastValidRegression(RegressionFile& file, const std::array<double, 12>& v) {
  // Method 2 has nothing but the regression: a record without intercept keeps the last lines.
  const bool usable = v[1] >= -nodata_value;
  if (!usable && method == 2 && file.has_valid) {
    Diag() << "WARNING: the regression of " << name << " in " << file.path
           << " has no intercept on " << file.date.day << "." << file.date.month << "."
           << file.date.year << " " << file.date.hour << ". h: the last regression is held"
           << "[end-entry]";
    return;
  }
  file.has_valid = usable;
  file.intercept = {0, v[1], v[4], v[7]};
  file.gradient = {0, v[2], v[5], v[8]};
  file.lower_bound = v[3];
  file.middle_bound = v[6];
  file.trend_constant = v[9];
  file.trend_x = v[10];
  file.trend_y = v[11];
}

void meteointerpol::ReadStationRecord(int k) {
  StationFile& file = station_files[static_cast<std::size_t>(k)];
  const std::size_t width = static_cast<std::size_t>(file.count) + 1;
  file.capacity = StationBlockCapacity(file.count);
  file.block_dates.resize(static_cast<std::size_t>(file.capacity));
  file.block_values.resize(static_cast<std::size_t>(file.capacity) * width);
  errno = 0;
  std::ifstream in(file.path, std::ios::binary);
  const NumberSource source(file.path);
  if (!in) FailOpen(file.path);
  in.seekg(file.next_position);
  int64_t read = 0;
  std::string line;
  int64_t position = file.next_position;
  while (read < file.capacity) {
    if (!ReadLine(in, line)) break;
    if (IsBlankLine(line)) {
      position = PositionAfter(in, file.path);
      continue;
    }
    ModelDate& date = file.block_dates[static_cast<std::size_t>(read)];
    double* values = file.block_values.data() + static_cast<std::size_t>(read) * width;
    std::string bad_word;
    int bad_station = 0;
    const RecordParse parsed =
        ParseStationRecord(line, file.additional_columns, file.count, nodata_value, date, values,
                           &bad_word, &bad_station);
    if (parsed == RecordParse::kNoDate) break;
    if (parsed != RecordParse::kOk)
      FailRecordLine(Diag(), file.path, position, line, parsed, bad_word,
                     std::to_string(file.count) + " station values", bad_station);
    RequireRecordOrder(file, date, position);
    CheckStationValues(Diag(), name, scaling_factor, limits, nodata_value, file.path, position,
                       file.count, values, warned_beyond_range);
    position = PositionAfter(in, file.path);
    ++read;
  }
  FinishBlockOf(file, read, position, end_of_data);
}

// Records follow one another in time (gaps are allowed): a record doubled or two swapped would
// otherwise show only as a disagreement with the other variables' files, blamed on them.
void meteointerpol::RequireRecordOrder(StationFile& file, const ModelDate& raw, int64_t position) {
  if (IsEndRecord(raw)) return;
  const ModelDate date = WithStationYear(raw);
  const ModelDate before = file.last_read;
  const bool in_order = !file.has_last_read || ModelTimeKey(date) > ModelTimeKey(before);
  file.last_read = date;
  file.has_last_read = true;
  if (in_order) return;
  ThrowFatal(Diag(), kDateMismatchCode, "FATAL: line ", LineNumberAt(file.path, position), " of ",
             file.path, " (", name, "): the record of ", date.day, ".", date.month, ".", date.year,
             " ", date.hour, ". h follows that of ", before.day, ".", before.month, ".",
             before.year, " ", before.hour,
             ". h; the records of a station file follow one another in time (a record doubled, "
             "or two swapped?)");
}

void meteointerpol::NextStationRecord(int k) {
  StationFile& file = station_files[static_cast<std::size_t>(k)];
  if (!rewound_ && ModelTimeKey(file.date) >= end_key) {
    end_of_data = 1;
    return;
  }
  if (file.index > file.capacity) {
    ReadStationRecord(k);
    if (end_of_data) return;
  }
  const std::size_t at = static_cast<std::size_t>(file.index - 1);
  const ModelDate date = file.block_dates[at];
  if (IsEndRecord(date)) {
    end_of_data = 1;
    return;
  }
  file.date = WithStationYear(date);
  const std::size_t width = static_cast<std::size_t>(file.count) + 1;
  std::memcpy(file.values.data(), file.block_values.data() + at * width, width * sizeof(double));
  HoldLastValidRecord(file);
  UpdateUniformFlag(k);
  ++file.index;
}

void meteointerpol::ReadNextRecordDate() {
  StationFile& list = station_files[0];
  if (!rewound_ && ModelTimeKey(current) >= end_key) {
    end_of_data = 1;
    if (grid_list.is_open()) grid_list.close();
    return;
  }
  if (end_of_data) return;
  if (!grid_list.is_open()) {
    errno = 0;
    grid_list.open(list.path, std::ios::binary);
    if (!grid_list) FailOpen(list.path);
    grid_list.seekg(list.next_position);
  }
  std::string line;
  int64_t position = list.next_position;
  while (ReadLine(grid_list, line)) {
    if (IsBlankLine(line)) {
      position = PositionAfter(grid_list, list.path);
      continue;
    }
    ModelDate date;
    const RecordParse parsed = ParseRecordDate(line, list.additional_columns, date, &grid_name);
    if (parsed == RecordParse::kShort || parsed == RecordParse::kBadDate)
      FailRecordLine(Diag(), list.path, position, line, parsed, "", "a date and a grid name");
    if (parsed == RecordParse::kNoDate || IsEndRecord(date)) break;
    list.date = WithStationYear(date);
    list.next_position = PositionAfter(grid_list, list.path);
    return;
  }
  // The list holds no further record: the data end here.
  end_of_data = 1;
  grid_list.close();
}

void meteointerpol::SeekRegressionStartDate(int r) {
  RegressionFile& file = regression_files[static_cast<std::size_t>(r)];
  errno = 0;
  std::ifstream in(file.path, std::ios::binary);
  const NumberSource source(file.path);
  if (!in) FailOpen(file.path);
  std::string first;
  ReadLine(in, first);
  file.text = IsRegressionTitle(first);
  if (!file.text) {
    // Without the title line the file must consist of whole binary records.
    std::ifstream sized(file.path, std::ios::binary | std::ios::ate);
    const int64_t size = static_cast<int64_t>(sized.tellg());
    if (size % kBinaryRegressionRecordBytes != 0)
      ThrowFatal(Diag(), kStationContentCode, "FATAL: regression file ", file.path,
                 " is neither a text file with a title line beginning \"jr mo\" nor a file of "
                 "binary records of ",
                 kBinaryRegressionRecordBytes, " bytes (size ", size, ")");
    in.clear();
    in.seekg(0);
  }
  Diag() << "looking for starting date " << start.day << "." << start.month << "." << start.year
         << " for " << name << " in " << file.path << "[end-entry]";
  file.date = ModelDate{};
  bool found = false;
  std::array<double, 12> values{};
  while (!found) {
    const int64_t position = static_cast<int64_t>(in.tellg());
    ModelDate date;
    if (file.text) {
      std::string line;
      if (!ReadLine(in, line)) break;
      if (ParseRegressionLine(line, date, values) != RecordParse::kOk) continue;
    } else {
      char bytes[kBinaryRegressionRecordBytes];
      if (!in.read(bytes, sizeof bytes)) break;
      DecodeRegressionRecord(bytes, date, values);
      // A file without the title line is binary; one whose "dates" are none is neither form.
      if (!IsPlausibleRegressionDate(date))
        ThrowFatal(Diag(), kStationContentCode, "FATAL: regression file ", file.path,
                   " is neither a text file with a title line beginning \"jr mo\" nor a file "
                   "of binary records (record at byte ",
                   position, " holds no date)");
    }
    date.year = RegressionYear(date.year);
    if (date.day == 1 && (date.hour == 0 || date.hour >= 24)) Diag() << ".";
    if (!(date == start)) continue;
    found = true;
    file.date = date;
    file.start_position = position;
    file.next_position = PositionAfter(in, file.path);
  }
  Diag() << "[end-entry]";
  if (!found)
    ThrowFatal(Diag(), kStartDateCode, "FATAL: \nEOF reached: ", file.path, ", date ", start.day,
               ".", start.month, ".", start.year, ", ", start.hour, ". h not found!");
  file.has_valid = false;
  HoldLastValidRegression(file, values);
  file.capacity = kRegressionBlockRecords;
  file.index = file.capacity + 1;
}

void meteointerpol::ReadRegressionRecord(int r) {
  RegressionFile& file = regression_files[static_cast<std::size_t>(r)];
  file.capacity = kRegressionBlockRecords;
  file.block_dates.resize(static_cast<std::size_t>(file.capacity));
  file.block_values.resize(static_cast<std::size_t>(file.capacity));
  errno = 0;
  std::ifstream in(file.path, std::ios::binary);
  const NumberSource source(file.path);
  if (!in) FailOpen(file.path);
  in.seekg(file.next_position);
  int64_t read = 0;
  int64_t position = file.next_position;
  while (read < file.capacity) {
    ModelDate& date = file.block_dates[static_cast<std::size_t>(read)];
    std::array<double, 12>& values = file.block_values[static_cast<std::size_t>(read)];
    if (file.text) {
      std::string line;
      if (!ReadLine(in, line)) break;
      if (IsBlankLine(line)) {
        position = PositionAfter(in, file.path);
        continue;
      }
      const RecordParse parsed = ParseRegressionLine(line, date, values);
      if (parsed == RecordParse::kNoDate) break;
      if (parsed != RecordParse::kOk)
        FailRecordLine(Diag(), file.path, position, line, parsed, "", "11 values");
    } else {
      char bytes[kBinaryRegressionRecordBytes];
      if (!in.read(bytes, sizeof bytes)) break;
      DecodeRegressionRecord(bytes, date, values);
      if (!IsPlausibleRegressionDate(date))
        ThrowFatal(Diag(), kStationContentCode, "FATAL: regression file ", file.path,
                   ": record at byte ", position, " holds no date");
    }
    position = PositionAfter(in, file.path);
    ++read;
  }
  FinishBlockOf(file, read, position, end_of_data);
}

void meteointerpol::NextRegressionRecord(int r) {
  RegressionFile& file = regression_files[static_cast<std::size_t>(r)];
  if (r == 1 && method != 3 && !rewound_ && ModelTimeKey(file.date) >= end_key) {
    end_of_data = 1;
    return;
  }
  if (file.index > file.capacity) {
    ReadRegressionRecord(r);
    if (end_of_data) return;
  }
  const std::size_t at = static_cast<std::size_t>(file.index - 1);
  ModelDate date = file.block_dates[at];
  if (IsEndRecord(date)) {
    end_of_data = 1;
    return;
  }
  date.year = RegressionYear(date.year);
  file.date = date;
  HoldLastValidRegression(file, file.block_values[at]);
  ++file.index;
}

}  // namespace velorn

// defaultini: the global output sections [output_interval], [output_list], [coordinates],
// [meteo_data_count], [meteo_names] and [soil_surface_groundwater_substeps].
#include <array>
#include <string>

#include "core/string_helpers.h"
#include "core/submodel.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// Makes `file` the object's control file for the length of one reader and gives the object
// back the file it had open before (the set-up may hold the compiled file open meanwhile).
class ScopedControlFile {
 public:
  ScopedControlFile(modelobject& object, std::unique_ptr<ControlFileReader> file)
      : object_(object), saved_(std::move(object.control_file)) {
    object_.control_file = std::move(file);
  }
  ~ScopedControlFile() { object_.control_file = std::move(saved_); }
  ScopedControlFile(const ScopedControlFile&) = delete;
  ScopedControlFile& operator=(const ScopedControlFile&) = delete;

 private:
  modelobject& object_;
  std::unique_ptr<ControlFileReader> saved_;
};

std::unique_ptr<ControlFileReader> OpenCompiledFile(DiagnosticStream& diag,
                                                    const std::string& name) {
  auto file = std::make_unique<ControlFileReader>();
  if (!file->Open(name, &diag))
    ThrowFatal(diag, kControlFileOpenCode, "FATAL: Error opening ", name);
  return file;
}

bool IsBlankLine(const std::string& line) {
  return line.find_first_not_of(" \t\r\v\f") == std::string::npos;
}

// The text of a keyword's value without the blanks around it.
std::string TrimmedValue(const std::string& text) {
  const char* blanks = " \t\r\v\f";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The keywords of the [output_interval] block, in the order in which a line is searched.
enum OutputKeyword { kAscii, kDouble, kNetcdf, kInitialState, kDefaultOutput, kKeywordCount };
constexpr std::array<const char*, kKeywordCount> kOutputKeywords = {
    "WriteAsciiGrids", "WriteDoubleGrids", "WriteNetcdfGrids", "InitialStateDirectory",
    "DefaultOutputDirectory"};

}  // namespace

void defaultini::FailOutOfRange(const std::string& what, const std::string& value,
                                const std::string& range) {
  ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, ", what, " is ", value,
             ", it must be ", range);
}

// A count that the rest of the file cannot hold (one value per item at least) is refused before
// anything of its size is allocated.
void defaultini::FailIfMoreThanLeft(const ControlFileReader& file, int count,
                                    const std::string& what) {
  if (count <= 0 || static_cast<std::size_t>(count) <= file.WordsLeft()) return;
  ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, ", what, " is ", count,
             ", but the rest of the file holds only ", static_cast<unsigned long>(file.WordsLeft()),
             " values");
}

void defaultini::ReadOutputSettings(const std::string& compiled_name) {
  ScopedControlFile scoped(*this, OpenCompiledFile(Diag(), compiled_name));
  output_list_count = 0;
  output_list_codes = nullptr;
  output_settings = OutputSettings{};
  ReadOutputInterval();
  ReadOutputList();
  ReadCoordinates();
  ReadMeteoNames();
  output_list_count = output_settings.output_list_count;
  output_list_codes = output_settings.output_list_codes.empty()
                          ? nullptr
                          : output_settings.output_list_codes.data();
}

void defaultini::ReadOutputInterval() {
  FindSection("[output_interval]", 1);
  ControlFileReader& file = *control_file;
  OutputSettings& out = output_settings;
  out.no_station_warning = 0;
  if (!file.Read(out.output_control)) ReportControlFileError("output control", "");
  // The report interval divides the hours of the steps: 0 or less has no meaning.
  if (out.output_control < 1)
    FailOutOfRange("output control (report interval in hours) in [output_interval]",
                   std::to_string(out.output_control), "1 or more");
  file.SkipRestOfLine();
  int warning = 0;
  if (file.Read(warning)) out.no_station_warning = warning == 0 ? 0 : 1;
  file.SkipRestOfLine();
  file.Read(out.third_output_value);
  file.SkipRestOfLine();
  // Without this value a keyword line would be taken for its line, so it is required.
  if (!file.Read(out.min_to_int_end)) {
    ReportControlFileError("min_to_int_end (fourth value of [output_interval])", "");
  }
  if (out.min_to_int_end < 0) {
    Diag() << "WARNING: min_to_int_end (fourth value of [output_interval]) is "
           << FormatText("%g", out.min_to_int_end)
           << " minutes; a shift before the hour of the data is taken as 0[end-entry]";
    out.min_to_int_end = 0;
  }
  // No sub-model step is longer than a year, so neither is the shift to the end of a step.
  if (out.min_to_int_end > kMaxTimeInterval)
    FailOutOfRange("min_to_int_end (fourth value of [output_interval])",
                   FormatText("%g", out.min_to_int_end), "at most 527040 minutes (366 days)");
  file.SkipRestOfLine();
  ReadOutputKeywordLines();
}

void defaultini::ReadOutputKeywordLines() {
  ControlFileReader& file = *control_file;
  OutputSettings& out = output_settings;
  // The block ends at an empty line, at the next section header or at the end of the file.
  while (!file.AtEnd()) {
    std::string line = file.RestOfLine();
    line.erase(0, line.find_first_not_of(" \t"));
    if (line[0] == '[') break;
    if (IsBlankLine(line)) {
      WarnAboutKeywordsAfterTheBlock();
      break;
    }
    int keyword = 0;
    while (keyword < kKeywordCount && !Contains(line, kOutputKeywords[keyword])) ++keyword;
    if (keyword == kKeywordCount) {
      WarnAboutUnknownKeyword(line);
      continue;
    }

    const std::string what =
        std::string("value of ") + kOutputKeywords[keyword] + " in [output_interval]";
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) ReportControlFileError(what, "");
    std::size_t pos = equals + 1;
    if (keyword <= kNetcdf) {
      std::string word;
      std::size_t end = pos;
      if (!ScanValue(line, end, word)) ReportControlFileError(what, "");
      if (word != "0" && word != "1") FailOutOfRange(what, "\"" + word + "\"", "0 (off) or 1 (on)");
      bool& target = keyword == kAscii    ? out.write_ascii
                     : keyword == kDouble ? out.write_double
                                          : out.write_netcdf;
      target = word == "1";
    } else {
      std::string directory;
      if (!ScanValue(line, pos, directory)) ReportControlFileError(what, "");
      // A value read up to its first blank would send "my out/" to "my/" without a word: a
      // folder name with a blank (or anything behind the name) is refused instead.
      const std::string value = TrimmedValue(line.substr(equals + 1));
      if (value != directory)
        FailOutOfRange(what, "\"" + value + "\"",
                       "one folder name without blanks (the value ends at its first blank, "
                       "which would name the folder \"" +
                           (directory.back() == '/' ? directory : directory + "/") + "\")");
      // A folder named without its closing "/" ("out") is that folder: every file name is put
      // behind the directory as it stands, which would otherwise give "outqg.stat".
      if (directory.back() != '/') directory += '/';
      (keyword == kInitialState ? out.initial_state_directory : out.default_output_directory) =
          directory;
    }
  }
}

// A line of the keyword block that assigns a key none of the keywords (a misspelt
// "DefaultOutputDirectroy" or "WriteDoubleGrid") would be skipped without a word.
void defaultini::WarnAboutUnknownKeyword(const std::string& line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  std::size_t pos = 0;
  std::string key;
  if (!ScanValue(line.substr(0, equals), pos, key)) return;
  Diag() << "WARNING: [output_interval]: no model reads the key \"" << key
         << "\"; check its spelling (the keys of the block are WriteAsciiGrids, "
            "WriteDoubleGrids, WriteNetcdfGrids, InitialStateDirectory and "
            "DefaultOutputDirectory)[end-entry]";
}

// A keyword below the blank line that ends the block is not read; say so, since the run would
// otherwise write its outputs elsewhere or in another format without a word.
void defaultini::WarnAboutKeywordsAfterTheBlock() {
  ControlFileReader& file = *control_file;
  while (!file.AtEnd()) {
    std::string line = file.RestOfLine();
    line.erase(0, line.find_first_not_of(" \t"));
    if (!line.empty() && line[0] == '[') return;
    for (const char* keyword : kOutputKeywords) {
      if (!Contains(line, keyword)) continue;
      Diag() << "WARNING: " << keyword
             << " in [output_interval] is ignored: it follows the blank line that ends the "
                "keyword block. Remove the blank line to use it.[end-entry]";
    }
  }
}

void defaultini::ReadOutputList() {
  FindSection("[output_list]", 1);
  ControlFileReader& file = *control_file;
  OutputSettings& out = output_settings;
  int count = 0;
  if (!file.Read(count)) ReportControlFileError("number of subbasins in output list", "");
  if (count < 0)
    FailOutOfRange("number of subbasins in [output_list]", std::to_string(count), "0 or more");
  FailIfMoreThanLeft(file, count, "number of subbasins in [output_list]");
  out.output_list_count = count;
  out.output_list_codes.clear();
  if (count <= 0) return;
  out.output_list_codes = AllocateArray<int32_t>(static_cast<std::size_t>(count) + 1, 1);
  for (int i = 1; i <= count; ++i) {
    if (!file.Read(out.output_list_codes[i])) ReportControlFileError("codes in output-list", "");
    file.SkipRestOfLine();
  }
  for (int i = 2; i <= count; ++i) {
    if (out.output_list_codes[i] > out.output_list_codes[i - 1]) continue;
    ThrowFatal(Diag(), kOutputListOrderCode,
               "FATAL: \nError in control file: order of subbasin codes in output_list!\n"
               "if output should be written for a specified set of subbasins,\n"
               "(specified by a statcode of 5 for averaging in time or 6 for summing in time)\n"
               "than the codes has to be arranged in ascendend order\n"
               ".look in [output_list]\n");
  }
}

void defaultini::ReadCoordinates() {
  FindSection("[coordinates]", 1);
  ControlFileReader& file = *control_file;
  OutputSettings& out = output_settings;
  // Each value, its name in messages and what it can be: a latitude, longitudes east or west
  // (also counted 0 to 360), a shift of the data time by at most a day.
  struct Coordinate {
    double* target;
    const char* text;
    const char* key;
    double lowest, highest;
    const char* unit;
  };
  const std::array<Coordinate, 4> values = {{
      {&out.latitude, "geographic latitude", "geographic latitude", -90, 90, "degrees"},
      {&out.longitude, "geographic longitude", "geographic longitude", -360, 360, "degrees"},
      {&out.reference_meridian, "reference meridian", "reference meridian", -360, 360, "degrees"},
      {&out.time_shift, "time shift of data time to lokal time", "time shift", -24, 24, "hours"},
  }};
  for (const Coordinate& value : values) {
    if (!file.Read(*value.target)) ReportControlFileError(value.text, "");
    file.SkipRestOfLine();
  }
  for (const Coordinate& value : values)
    if (*value.target < value.lowest || *value.target > value.highest)
      FailOutOfRange(std::string(value.key) + " in [coordinates]", FormatText("%g", *value.target),
                     FormatText("%g to %g %s", value.lowest, value.highest, value.unit));
}

void defaultini::ReadMeteoNames() {
  OutputSettings& out = output_settings;
  FindSection("[meteo_data_count]", 1);
  int count = 0;
  if (!control_file->Read(count) || count < 0) {
    ReportControlFileError("number of meteorological variables", "");
  }
  out.meteo_count = count;

  FindSection("[meteo_names]", 1);
  ControlFileReader& file = *control_file;
  FailIfMoreThanLeft(file, count, "number of meteorological variables in [meteo_data_count]");
  out.meteo_names = AllocateArray<std::string>(static_cast<std::size_t>(count) + 1, 1);
  for (int i = 1; i <= count; ++i) {
    std::string& name = out.meteo_names[i];
    // A word that opens a section means that the list is shorter than its count.
    if (!file.Read(name) || name[0] == '[') {
      ReportControlFileError(
          "name of meteorological variable " + std::to_string(i) + " in [meteo_names]", "");
    }
    if (name.size() > kMaxMeteoNameLength) {
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: error in control file, name of meteorological variable ", i,
                 " in [meteo_names] is longer than ",
                 static_cast<unsigned long>(kMaxMeteoNameLength), " characters: ", name);
    }
    file.SkipRestOfLine();
  }
}

int32_t defaultini::ReadSoilSurfaceGroundwaterSubsteps() {
  ScopedControlFile scoped(*this, OpenCompiledFile(Diag(), control_file_name));
  int count = 1;
  if (FindSection("[soil_surface_groundwater_substeps]", 0)) {
    if (!control_file->Read(count)) {
      ReportControlFileError("sub step counter from [soil_surface_groundwater_substeps] not found",
                             "");
    }
    // The sub-step length is the step divided by this count.
    if (count < 1 || count > kMaxSubstepCount) {
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: error in control file, sub step counter from "
                 "[soil_surface_groundwater_substeps] must be 1 to ",
                 kMaxSubstepCount, ", read: ", count);
    }
  }
  substep_count = count;
  return count;
}

}  // namespace velorn

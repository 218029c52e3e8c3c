// Standard grids: the definitions of [zone_grid], [elevation_model] and [standard_grids], their
// reading or creation over the process's rows, and their periodic re-reading from dated files.
#include "setup/standard_grids.h"

#include <mpi.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/control_file_reader.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

bool IsWordCharacter(char c) {
  return std::isspace(static_cast<unsigned char>(c)) == 0 && c != '=';
}

// Reads the values of one keyword behind its '='; false when a value cannot be read.
bool ReadKeyword(std::string_view text, std::string_view keyword, StandardGridLine& line) {
  std::size_t pos = KeywordValueOffset(text, keyword);
  if (pos == std::string_view::npos) return true;
  if (keyword == "fillcode") {
    int32_t value = 0;
    if (!ScanValue(text, pos, value, kItemSeparators)) return false;
    line.fill_code = value;
    return true;
  }
  if (keyword == "readcode") return ScanValue(text, pos, line.read_code, kItemSeparators);
  // A number fills its word ("0,5" is none); a ',' or ';' behind it separates.
  if (keyword == "defaultValue") return ScanValue(text, pos, line.default_value, kItemSeparators);
  if (keyword == "writecode") return ScanValue(text, pos, line.write_code, kItemSeparators);
  if (keyword == "statcode") return ScanValue(text, pos, line.statistics_code, kItemSeparators);
  std::string word;
  if (keyword == "outname" || keyword == "statfile") {
    if (!ScanValue(text, pos, word)) return false;
    (keyword == "outname" ? line.output_name : line.statistics_file) = word;
    return true;
  }
  if (keyword == "periodicity") {
    if (!ScanValue(text, pos, line.period_count) || !ScanValue(text, pos, word) ||
        !ScanValue(text, pos, line.step_number))
      return false;
    line.period_letters = word;
    return true;
  }
  // "persistent": 0 or 1, then the number of steps.
  int flag = 0;
  if (!ScanValue(text, pos, flag) || (flag != 0 && flag != 1) ||
      !ScanValue(text, pos, line.persistence_steps))
    return false;
  line.persistent = flag == 1;
  return true;
}

}  // namespace

std::size_t KeywordValueOffset(std::string_view text, std::string_view keyword) {
  for (std::size_t at = text.find(keyword); at != std::string_view::npos;
       at = text.find(keyword, at + 1)) {
    const std::size_t end = at + keyword.size();
    if (at > 0 && IsWordCharacter(text[at - 1])) continue;
    std::size_t pos = end;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos < text.size() && text[pos] == '=') return pos + 1;
  }
  return std::string_view::npos;
}

GridLineResult ParseStandardGridLine(std::string_view line, StandardGridLine& definition) {
  GridLineResult result;
  std::size_t pos = 0;
  if (!ScanValue(line, pos, definition.file_name) || !ScanValue(line, pos, definition.identifier)) {
    result.error = GridLineError::kNameOrIdentifier;
    return result;
  }
  // Old style: the fill code as third word (a keyword there is no number and reads nothing).
  int32_t third = 0;
  std::size_t after_third = pos;
  if (ScanValue(line, after_third, third)) {
    definition.fill_code = third;
    pos = after_third;
  }
  const std::string_view rest = line.substr(pos);
  static constexpr std::string_view kKeywords[] = {
      "fillcode", "readcode", "defaultValue", "writecode",  "outname",
      "statfile", "statcode", "periodicity",  "persistent",
  };
  for (std::string_view keyword : kKeywords) {
    // Without periodic reading a grid is persistent, whatever the line says.
    if (keyword == "persistent" && !definition.period_letters) continue;
    if (!ReadKeyword(rest, keyword, definition)) {
      result.error = GridLineError::kKeywordValue;
      result.bad_keyword = std::string(keyword);
      return result;
    }
  }
  return result;
}

std::optional<int64_t> WatchedDateValue(std::string_view letters, const ModelDate& date) {
  if (letters.find('H') != std::string_view::npos) return date.hour;
  if (letters.find('D') != std::string_view::npos) return date.hour;
  if (letters.find('M') != std::string_view::npos) return date.day;
  if (letters.find('Y') != std::string_view::npos) return date.month;
  return std::nullopt;
}

bool AdvancePeriod(GridEntry& entry, const ModelDate& date) {
  const std::optional<int64_t> watched = WatchedDateValue(entry.period_letters.value_or(""), date);
  if (watched) {
    const auto value = static_cast<int32_t>(*watched);
    if (value > entry.last_watched_value) {
      ++entry.step_counter;
    } else if (value < entry.last_watched_value) {
      entry.step_counter = 1;
      ++entry.period_counter;
    }
    entry.last_watched_value = value;
  }
  if (entry.period_counter != entry.period_count || entry.step_counter != entry.step_number)
    return false;
  entry.period_counter = 0;
  entry.step_counter = 0;
  return true;
}

std::string DatedGridFileName(const std::string& file_name, const ModelDate& date) {
  return FormatText("%s_%04ld%02ld%02ld%02ld", file_name.c_str(), static_cast<long>(date.year),
                    static_cast<long>(date.month), static_cast<long>(date.day),
                    static_cast<long>(date.hour));
}

// ---- defaultini ------------------------------------------------------------------------------

HeldRows defaultini::LocalRowRange() const {
  if (rank == 0 && !set_up_grids_trimmed) return HeldRows{1, nrows};
  return HeldRowsOf(first_local_row, last_local_row, nrows);
}

void defaultini::ReadStandardGrids() {
  GridRegistry& grids = *registry;
  const auto read_name = [&](const char* section, int index) {
    FindSection(section, 1);
    std::string name;
    ReadValue(*control_file, name, " Name for ");
    CheckGridNameLength(name, section);
    grids[index].file_name = name;
    grids[index].identifier = section;
    grids[index].first_file_name.reset();
  };
  read_name("[zone_grid]", 1);
  read_name("[elevation_model]", 2);

  FindSection("[standard_grids]", 1);
  int count = 0;
  ReadValue(*control_file, count, "counter/number of grids ");
  // A negative count would leave the grids that later steps look for unread, and the run would
  // end on the first of them as if it were missing.
  if (count < 0)
    FailOutOfRange("number of grids of [standard_grids]", std::to_string(count), "0 or more");
  standard_grid_count = std::max(count, 0);
  registered_grid_count = standard_grid_count;
  if (count < 1) return;
  if (count + 2 > kLastGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid in memory,(max. ", kRefusedGridIndex,
               ")!");
  for (int i = 1; i <= count; ++i) ReadStandardGridLine(i);
}

void defaultini::CheckGridNameLength(const std::string& text, const std::string& what) {
  if (text.size() > kMaxGridFileNameLength)
    ThrowFatal(Diag(), kRegistryTextCode, "FATAL: the name ", text, " of ", what,
               " is longer than ", static_cast<long>(kMaxGridFileNameLength), " characters");
}

void defaultini::ReadStandardGridLine(int i) {
  StandardGridLine line;
  std::string first_word;
  GridLineResult result{GridLineError::kNameOrIdentifier, {}};
  if (control_file->Read(first_word))
    result = ParseStandardGridLine(first_word + " " + control_file->RestOfLine(), line);
  if (result.error == GridLineError::kNameOrIdentifier)
    ReportControlFileError(FormatText("\nerror reading a grid name or identifier %d in\n", i),
                           module_name);
  if (result.error == GridLineError::kKeywordValue)
    ReportControlFileError(
        FormatText("\nerror reading the value of \"%s\" for standard grid %d in\n",
                   result.bad_keyword.c_str(), i),
        module_name);
  if (!line.fill_code)
    ReportControlFileError(
        FormatText("\nerror reading the fillcode for standard grid %d (found neither in old nor "
                   "in new style standard grid definition) in\n",
                   i),
        module_name);
  CheckGridNameLength(line.file_name, "standard grid " + std::to_string(i));
  if (line.identifier.size() > kMaxGridIdentifierLength)
    ThrowFatal(Diag(), kRegistryTextCode, "FATAL: the identifier ", line.identifier,
               " of standard grid ", i, " is longer than ",
               static_cast<long>(kMaxGridIdentifierLength), " characters");

  GridEntry& entry = (*registry)[i + 2];
  entry.file_name = line.file_name;
  entry.identifier = line.identifier;
  entry.fill_code = *line.fill_code;
  entry.read_code = line.read_code;
  entry.default_value = line.default_value;
  entry.write_code = line.write_code;
  entry.units_digit = line.write_code;
  entry.first_file_name = line.output_name.value_or(line.file_name);
  entry.statistics_file_name = line.statistics_file;
  entry.statistics_code = line.statistics_code;
  entry.period_count = line.period_count;
  entry.period_letters = line.period_letters;
  entry.step_number = line.step_number;
  entry.persistent = line.persistent;
  entry.persistence_steps = line.persistence_steps;
  entry.period_counter = 0;
  entry.step_counter = 0;
  entry.last_watched_value = kUnwatchedValue;
  entry.restore_pending = false;
  entry.restore_counter = 0;
  entry.dated_file_name.clear();

  if (line.identifier == "latitude") {
    Diag() << "found latitude grid on position: " << i << "[end-entry]";
    registry->latitude_present = true;
    registry->latitude_index = i + 2;
  } else if (line.identifier == "longitude") {
    Diag() << "found longitude grid on position: " << i << "[end-entry]";
    registry->longitude_present = true;
    registry->longitude_index = i + 2;
  }
}

// Grids of [standard_grids] over this process's rows: created from the default value in the
// zone cells (read code below 1) or read with the entry's fill code, registered with the
// entry's write code; a grid that is not persistent keeps a copy of these values.
void defaultini::DistributeStandardGrids() {
  MPI_Barrier(MPI_COMM_WORLD);
  const HeldRows held = LocalRowRange();
  double** zone = (*registry)[1].grid;
  for (int index = 3; index <= standard_grid_count + 2; ++index) {
    GridEntry& entry = (*registry)[index];
    if (entry.grid != nullptr || entry.HasIdentifier("river_links")) continue;
    const std::string identifier = entry.identifier.value_or("");
    if (entry.read_code < 1) {
      GridMatrix created(Diag(), held.first, held.last, ncols, nrows);
      const double value = entry.default_value;
      ForEachRow(held.first, held.last, [&](long r) {
        for (int32_t c = 1; c <= ncols; ++c)
          created[r][c] = IsNodata(zone[r][c], nodata) ? nodata : value;
      });
      RegisterGrid(index, identifier, created.release(), nullptr, 0, identifier, entry.write_code,
                   held.first, held.last);
      MPIExchangeGridHalo(index, nullptr);
    } else {
      double** grid = nullptr;
      const std::string file_name = entry.file_name.value_or("");
      ReadGrid(file_name, grid, entry.fill_code, true, true, false, 1, false, true,
               entry.default_value);
      RegisterGrid(index, file_name, grid, nullptr, 0, identifier, entry.write_code, held.first,
                   held.last);
    }
    if (!entry.persistent) entry.saved_copy = CopyHeldRows(entry.grid, held);
  }
}

GridMatrix defaultini::CopyHeldRows(double** grid, const HeldRows& held) {
  GridMatrix copy(Diag(), held.first, held.last, ncols, nrows);
  for (int32_t r = held.first; r <= held.last; ++r)
    std::memcpy(copy[r], grid[r], sizeof(double) * static_cast<std::size_t>(ncols + 1));
  return copy;
}

void defaultini::ReadPeriodicGrids(int64_t hour, int64_t day, int64_t month, int64_t year) {
  const ModelDate date{year, month, day, hour};
  const int last = std::min(2 + registered_grid_count, kLastGridIndex);
  for (int index = 3; index <= last; ++index) {
    GridEntry& entry = (*registry)[index];
    if (entry.period_count <= 0 || !entry.file_name) continue;
    if (AdvancePeriod(entry, date)) {
      entry.dated_file_name = DatedGridFileName(*entry.file_name, date);
      ReadGrid(entry.dated_file_name, entry.grid, entry.fill_code, false, true, true, 1, false,
               true, entry.default_value);
      // A re-read code grid holds raw codes again: they become table indexes as at set-up,
      // before anything (the land-use layers first) looks them up.
      RecheckCodeGrid(index);
      if (index == landuse_entry && multilayer_landuse_records.size() >= 2 &&
          landuse_layer_count > 0)
        FillLanduseLayerGrids();
      if (!entry.persistent) {
        entry.restore_counter = 0;
        entry.restore_pending = true;
      }
    } else if (entry.restore_pending && ++entry.restore_counter >= entry.persistence_steps) {
      const GridMatrix& saved = entry.saved_copy;
      if (saved) {
        for (int64_t r = saved.first_row(); r <= saved.last_row(); ++r)
          std::memcpy(entry.grid[r], saved[r],
                      sizeof(double) * static_cast<std::size_t>(ncols + 1));
      }
      MPIExchangeGridHalo(index, nullptr);
      entry.restore_pending = false;
    }
  }
}

}  // namespace velorn

// External coupling: reading [ExternalCoupling], linking names to grids and statistics, and the
// pure helpers of the file formats.
#include <algorithm>

#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/zone_statistics.h"
#include "setup/coupling.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The directory part of a name (up to and including its last '/') and the file part.
std::pair<std::string, std::string> SplitDirectory(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return {std::string(), name};
  return {name.substr(0, slash + 1), name.substr(slash + 1)};
}

const char* const kReasonText =
    "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block";

// Reads the words of one entry; false when a word is missing or is no number where one is due.
bool ReadWord(ControlFileReader& file, std::string& word) {
  return file.Read(word) && word.size() <= kMaxCouplingNameLength;
}

}  // namespace

// ---- Pure helpers ------------------------------------------------------------------------

CouplingWriteKind CouplingWriteKindOf(const std::string& write_code) {
  if (write_code == "Sum") return CouplingWriteKind::kSum;
  if (write_code == "Mean") return CouplingWriteKind::kMean;
  if (StartsWith(write_code, "SumTotal")) return CouplingWriteKind::kSumTotal;
  return CouplingWriteKind::kCurrent;
}

SumTotalPeriods SumTotalPeriodsOf(const std::string& code) {
  SumTotalPeriods periods;
  periods.day = StartsWith(code, "SumTotal_D");
  periods.month = code == "SumTotal_M" || code == "SumTotal_MY" || code == "SumTotal_DM" ||
                  code == "SumTotal_DMY";
  periods.year = code == "SumTotal_Y" || code == "SumTotal_MY" || code == "SumTotal_DMY";
  return periods;
}

std::string EndOfDayFileName(const std::string& external_name, int year, int month, int day) {
  const auto [directory, file] = SplitDirectory(external_name);
  return FormatText("%sSumTotal_EndOf_Day_%.04d_%.02d_%.02d_%s", directory.c_str(), year, month,
                    day, file.c_str());
}

std::string EndOfMonthFileName(const std::string& external_name, int year, int month) {
  const auto [directory, file] = SplitDirectory(external_name);
  return FormatText("%sSumTotal_EndOf_Month_%.04d_%.02d_%s", directory.c_str(), year, month,
                    file.c_str());
}

std::string EndOfYearFileName(const std::string& external_name, int year) {
  const auto [directory, file] = SplitDirectory(external_name);
  return FormatText("%sSumTotal_EndOf_Year_%.04d_%s", directory.c_str(), year, file.c_str());
}

std::string RenamedExternalGridName(const std::string& name, int64_t year, int64_t month,
                                    int64_t day, int64_t hour, std::clock_t ticks) {
  return FormatText("%s_%.4ld_%.2ld_%.2ld_%.2ld_%ld", name.c_str(), static_cast<long>(year),
                    static_cast<long>(month), static_cast<long>(day), static_cast<long>(hour),
                    static_cast<long>(ticks));
}

int FindStatisticRecord(const ZoneStatisticsRecord* records, int32_t capacity,
                        const std::string& name, int* containing) {
  if (containing != nullptr) *containing = 0;
  if (records == nullptr || name.empty()) return -1;
  int whole_match = -1, statistic_part_match = -1, first_containing = -1, count = 0;
  for (int i = 0; i < capacity && records[i].InUse(); ++i) {
    if (records[i].internal_name == nullptr) continue;
    std::string record_name = records[i].internal_name;
    std::replace(record_name.begin(), record_name.end(), ' ', '_');
    if (record_name.find(name) == std::string::npos) continue;
    ++count;
    if (first_containing < 0) first_containing = i;
    if (whole_match < 0 && record_name == name) whole_match = i;
    const std::size_t colon = record_name.find(':');
    if (statistic_part_match < 0 && colon != std::string::npos &&
        record_name.compare(colon + 1, std::string::npos, name) == 0)
      statistic_part_match = i;
  }
  if (whole_match >= 0) return whole_match;
  if (statistic_part_match >= 0) return statistic_part_match;
  if (containing != nullptr) *containing = count;
  return first_containing;
}

std::string CouplingStatisticsText(ZoneStatisticsRecord& record, CouplingWriteKind kind,
                                   int32_t accumulated_steps, int32_t zone_count, int32_t year,
                                   int32_t month, int32_t day, int32_t hour) {
  std::string name = record.internal_name != nullptr ? record.internal_name : "";
  if (name.size() > 150) name = name.substr(0, 150) + "...";
  std::string text = FormatText("date: %04d-%02d-%02d\nhour: %02dh\n", year, month, day, hour);
  text += name + FormatText("; %d zones\n", zone_count);
  const double steps = accumulated_steps > 0 ? accumulated_steps : 1;
  double total = 0;
  for (int64_t j = 1; j <= record.columns - 1; ++j) {
    const double current = record.current_values[j];
    double& zone_sum = record.second_values[j];
    double value = current;
    if (Accumulates(kind)) {
      zone_sum += current;
      value = kind == CouplingWriteKind::kMean ? zone_sum / steps : zone_sum;
      total += record.area_shares[j] * value;
    } else {
      total += record.area_shares[j] * current;
    }
    text += FormatText("%ld\t%g\n", static_cast<long>(record.zone_codes[j]), value);
    if (kind == CouplingWriteKind::kSum || kind == CouplingWriteKind::kMean) zone_sum = 0;
  }
  text += FormatText("average\t%g\n", total);
  return text;
}

// ---- defaultini: reading and linking ----------------------------------------------------------

void defaultini::GetCouplingParameters() {
  coupling = CouplingSettings{};
  auto file = std::make_unique<ControlFileReader>();
  if (!file->Open(control_file_name, &Diag()))
    ThrowFatal(Diag(), kCouplingOpenCode, "FATAL: error opening ", control_file_name);
  std::swap(control_file, file);
  // The object's own control file (if any) is given back however the reading ends.
  struct Restore {
    std::unique_ptr<ControlFileReader>& slot;
    std::unique_ptr<ControlFileReader>& saved;
    ~Restore() { std::swap(slot, saved); }
  } restore{control_file, file};

  if (!FindSection("[ExternalCoupling]", 0)) return;
  ReadValue(*control_file, coupling.mode, "Coupling mode ");
  if (coupling.mode == 0) return;
  ReadValue(*control_file, coupling.semaphore_file, "name of the semaphore file ");
  long wait = 0;
  ReadValue(*control_file, wait, "wait interval for scanning for external grids ");
  coupling_wait_interval = wait;
  if (control_file->AtEnd())
    ReportControlFileError("Coupling mode for external grids (I, H, D, M or Y) ", module_name);
  const std::string kind_line = control_file->RestOfLine();
  coupling_interval_kind = kind_line.empty() ? '\0' : kind_line[0];
  if (std::string("IHDMY").find(coupling_interval_kind) == std::string::npos ||
      coupling_interval_kind == '\0')
    ThrowFatal(Diag(), kCouplingEntryCode,
               "FATAL: -----------------error------------\nerror reading Coupling Mode (I, H, D, "
               "M or Y) for external gw table grid ",
               module_name, kReasonText);
  ReadValue(*control_file, coupling.external_time_step,
            "the external model's timestep in minutes ");

  int count = 0;
  ReadValue(*control_file, count, "number external grids (to read)");
  const auto bad_read_entry = [&] {
    ThrowFatal(Diag(), kCouplingEntryCode,
               "FATAL: -----------------error------------\nerror reading external (read) grid "
               "name/entity/fill code/rename code ",
               module_name, kReasonText);
  };
  if (count < 0 || static_cast<std::size_t>(count) * 4 > control_file->WordsLeft())
    bad_read_entry();
  for (int i = 0; i < count; ++i) {
    ExternalReadGrid entry;
    if (!ReadWord(*control_file, entry.external_name) ||
        !ReadWord(*control_file, entry.internal_name) || !control_file->Read(entry.fill_code) ||
        !control_file->Read(entry.rename_code))
      bad_read_entry();
    coupling.read_grids.push_back(std::move(entry));
  }
  if (count > 0) control_file->SkipRestOfLine();

  ReadValue(*control_file, count, "number external grids (to write)");
  const auto bad_write_entry = [&] {
    ThrowFatal(Diag(), kCouplingEntryCode,
               "FATAL: -----------------error------------\nerror reading external (write) grid "
               "name/entity/Writecode",
               module_name, kReasonText);
  };
  if (count < 0 || static_cast<std::size_t>(count) * 3 > control_file->WordsLeft())
    bad_write_entry();
  for (int i = 0; i < count; ++i) {
    ExternalWriteGrid entry;
    if (!ReadWord(*control_file, entry.external_name) ||
        !ReadWord(*control_file, entry.internal_name) || !control_file->Read(entry.write_code) ||
        entry.write_code.size() > kMaxCouplingWriteCodeLength)
      bad_write_entry();
    entry.kind = CouplingWriteKindOf(entry.write_code);
    if (Accumulates(entry.kind)) {
      entry.accumulation = GridMatrix(Diag(), 1, nrows, ncols, nrows);
      ResetAccumulationGrid(*this, entry.accumulation.get());
    }
    coupling.write_grids.push_back(std::move(entry));
  }
  if (count > 0) control_file->SkipRestOfLine();

  ReadValue(*control_file, count, "number external Stats (to write)");
  const auto bad_statistic_entry = [&] {
    ThrowFatal(Diag(), kCouplingEntryCode,
               "FATAL: -----------------error------------\nerror reading external (write) "
               "Statfile name/entity/writecode",
               module_name, kReasonText);
  };
  if (count < 0 || static_cast<std::size_t>(count) * 3 > control_file->WordsLeft())
    bad_statistic_entry();
  for (int i = 0; i < count; ++i) {
    ExternalStatistic entry;
    if (!ReadWord(*control_file, entry.external_name) ||
        !ReadWord(*control_file, entry.internal_name) || !control_file->Read(entry.write_code) ||
        entry.write_code.size() > kMaxCouplingWriteCodeLength)
      bad_statistic_entry();
    entry.kind = CouplingWriteKindOf(entry.write_code);
    coupling.statistics.push_back(std::move(entry));
  }
  if (count > 0) control_file->SkipRestOfLine();

  ReadValue(*control_file, coupling.external_semaphore_file,
            "semaphore file name for informing the external model ");
  ReadValue(*control_file, coupling.external_semaphore_content,
            "semaphore Content for informing the external model ");
}

void defaultini::LinkExternalGrids(ZoneStatisticsRecord* registry_records, int32_t capacity) {
  statistics_registry = registry_records;
  statistics_capacity = capacity;
  // A name links a registered grid; a stack entry without a grid matrix has nothing to link.
  const auto find = [&](const std::string& name, int& index, double**& grid) {
    index = FindGrid(name, 1);
    grid = index > 0 ? (*registry)[index].grid : nullptr;
    return grid != nullptr;
  };
  for (ExternalReadGrid& entry : coupling.read_grids)
    if (!find(entry.internal_name, entry.linked_index, entry.linked_grid))
      ThrowFatal(Diag(), kCouplingReadGridMissingCode,
                 "FATAL: -----------------error------------\nerror looking for internal grid to "
                 "read from ",
                 entry.external_name, ", with internal name \"", entry.internal_name,
                 "\"\npossible reason: internal name of the grid is wrong (case sensitive!)");
  for (ExternalWriteGrid& entry : coupling.write_grids)
    if (!find(entry.internal_name, entry.linked_index, entry.linked_grid))
      ThrowFatal(Diag(), kCouplingWriteGridMissingCode,
                 "FATAL: -----------------error------------\nerror looking for internal grid to "
                 "write to ",
                 entry.external_name, " with internal name \"", entry.internal_name,
                 "\"\npossible reason: internal name of the grid is wrong (case sensitive!)");
  if (rank != 0) return;
  for (ExternalStatistic& entry : coupling.statistics) {
    int containing = 0;
    const int index =
        FindStatisticRecord(registry_records, capacity, entry.internal_name, &containing);
    if (index >= 0 && containing > 1)
      Diag() << "WARNING: the zonal statistic name \"" << entry.internal_name
             << "\" of [ExternalCoupling] is part of " << containing
             << " table names; it is linked to \"" << registry_records[index].internal_name
             << "\"[end-entry]";
    if (index < 0)
      ThrowFatal(Diag(), kCouplingStatisticMissingCode,
                 "FATAL: -----------------error------------\nerror looking for zonal statistic "
                 "with internal name \"",
                 entry.internal_name,
                 "\"\npossible reason: name of the statistic entity is wrong (case sensitive!)");
    entry.linked = &registry_records[index];
  }
}

bool defaultini::HasExternalGroundwaterTable() {
  return std::any_of(
      coupling.read_grids.begin(), coupling.read_grids.end(),
      [](const ExternalReadGrid& g) { return g.internal_name == kExternalGroundwaterTable; });
}

}  // namespace velorn

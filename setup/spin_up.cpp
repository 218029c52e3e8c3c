// defaultini::CreateHydrologicResponseUnits: the [SpinUp] settings and, with spin-up on, the
// hydrologic response units and their two grids.
//
// Every process reads [SpinUp] and registers the grids in the same entries. Process 0, which
// holds every row of the set-up grids, numbers the units over the whole domain in scan order
// (setup/response_units.h): ids are then unique over the whole grid and the same for any number
// of processes, and a cell of a row shared by two processes belongs to one unit. The table goes
// to every process, the grids to the owners of their cells (with halo cells); each process
// writes its part under "<name>_%03d" and process 0 the whole grids under their plain names.
#include <mpi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/error_code.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"
#include "setup/derived_grids.h"
#include "setup/response_units.h"

namespace velorn {
namespace {

constexpr const char* kUnitsIdentifier = "HydrologicResponseUnits";
constexpr const char* kMastersIdentifier = "MasterHydrologicResponseUnits";

// Process 0's table on every process: per record id, row, column, key length, then the keys.
void BroadcastTable(std::vector<HruRecord>& table, int rank) {
  std::vector<int64_t> numbers;
  std::string keys;
  if (rank == 0) {
    for (const HruRecord& record : table) {
      numbers.insert(numbers.end(), {static_cast<int64_t>(record.id), record.row, record.column,
                                     static_cast<int64_t>(record.key.size())});
      keys += record.key;
    }
  }
  int64_t sizes[2] = {static_cast<int64_t>(numbers.size()), static_cast<int64_t>(keys.size())};
  MPI_Bcast(sizes, 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
  numbers.resize(static_cast<std::size_t>(sizes[0]));
  keys.resize(static_cast<std::size_t>(sizes[1]));
  MPI_Bcast(numbers.data(), static_cast<int>(sizes[0]), MPI_INT64_T, 0, MPI_COMM_WORLD);
  MPI_Bcast(keys.data(), static_cast<int>(sizes[1]), MPI_CHAR, 0, MPI_COMM_WORLD);
  if (rank == 0) return;
  table.assign(numbers.size() / 4, HruRecord{});
  std::size_t offset = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const int64_t* n = &numbers[4 * i];
    table[i].id = static_cast<uint64_t>(n[0]);
    table[i].row = static_cast<int32_t>(n[1]);
    table[i].column = static_cast<int32_t>(n[2]);
    table[i].key = keys.substr(offset, static_cast<std::size_t>(n[3]));
    offset += static_cast<std::size_t>(n[3]);
  }
}

}  // namespace

void defaultini::CreateHydrologicResponseUnits(int32_t& spin_up_switch, int32_t& pre_spin_up,
                                               int32_t& repeat_count,
                                               std::vector<HruRecord>& units) {
  Diag() << "DEBUG: Creating HRUs"
         << "[end-entry]";
  units = EmptyHruTable();
  spin_up_switch = pre_spin_up = repeat_count = 0;
  const std::vector<HruDefinition> definitions =
      ReadSpinUpSection(spin_up_switch, pre_spin_up, repeat_count);
  if (spin_up_switch == 0) return;

  int unit_index = 0;
  int master_index = registry->FirstFreeIndex();
  if (!definitions.empty()) {
    if (master_index >= kRefusedGridIndex)
      ThrowFatal(Diag(), kRegistryFullCode,
                 "FATAL: when trying to create HRU grid: no free grid found in memory (max "
                 "position ",
                 kRefusedGridIndex, ")");
    unit_index = master_index++;
  } else {
    unit_index = FindGrid(kUnitsIdentifier, 0);
    if (unit_index == 0)
      ThrowFatal(Diag(), kMissingHruGridCode, "FATAL: standard grid with identifier ",
                 kUnitsIdentifier,
                 " not found (Hydrologic Respond Units, HRU; used for SpinUp mode)");
    if (master_index >= kRefusedGridIndex)
      ThrowFatal(Diag(), kRegistryFullCode,
                 "FATAL: when trying to create HRUMaster grid: no free grid found in memory (max "
                 "position ",
                 kRefusedGridIndex, ")");
  }
  const HeldRows held = LocalRowRange();
  const auto create = [&](int index, const char* file_name, const char* identifier) {
    GridMatrix grid(Diag(), held.first, held.last, ncols, nrows);
    for (int32_t r = held.first; r <= held.last; ++r) std::fill_n(grid[r] + 1, ncols, nodata);
    RegisterGrid(index, file_name, grid.get(), nullptr, 0, identifier, 0, held.first, held.last);
    grid.release();
    ++registered_grid_count;
  };
  if (!definitions.empty()) create(unit_index, "All_HydrologicResponseUnits", kUnitsIdentifier);
  create(master_index,
         definitions.empty() ? "MasterHydrologicResponseUnits" : "Master_HydrologicResponseUnits",
         kMastersIdentifier);

  // Process 0 numbers the units of the whole domain; a class beyond the limit stops everyone.
  int status = 0;
  if (rank == 0) {
    const GridGeometry geometry{ncols, nrows, xll, yll, cellsize, nodata};
    double** zone = (*registry)[1].grid;
    const std::vector<ColumnRange> ranges = ZoneColumnRanges(geometry, zone, 1, nrows);
    const HruGrids grids{ncols,
                         nrows,
                         nodata,
                         zone,
                         ranges.data(),
                         (*registry)[unit_index].grid,
                         (*registry)[master_index].grid};
    HruClassFailure failure;
    if (definitions.empty())
      BuildUnitsFromGrid(grids, units);
    else
      failure = BuildUnitsFromDefinitions(grids, definitions, units);
    if (failure.row != 0) {
      status = kHruClassCode;
      Diag() << "FATAL: Creating HRUs resulted in a re-classify result of " << failure.hru_class
             << " for grid " << failure.identifier << " at row=" << failure.row
             << " and col=" << failure.column
             << ". Only 10'000 Classes are allowed for each grid. Choose a larger class width to "
                "reduce the number of HRUs."
             << "[end-entry]";
    }
  }
  MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (status != 0) throw ErrorCode{status};
  BroadcastTable(units, rank);

  for (int index : {unit_index, master_index}) {
    MPIScatterGrid(index, nullptr);
    MPIExchangeGridHalo(index, nullptr);
  }
  for (int index : {unit_index, master_index}) {
    const GridEntry& entry = (*registry)[index];
    const std::string name = entry.file_name.value_or("");
    WriteGrid(FormatText("%s_%03d", name.c_str(), rank), entry.grid, write_ascii, write_double,
              write_netcdf);
  }
  if (rank == 0)
    for (int index : {unit_index, master_index})
      WriteGrid((*registry)[index].file_name.value_or(""), (*registry)[index].grid, write_ascii,
                write_double, write_netcdf);
}

std::vector<HruDefinition> defaultini::ReadSpinUpSection(int32_t& spin_up_switch,
                                                         int32_t& pre_spin_up,
                                                         int32_t& repeat_count) {
  std::vector<HruDefinition> definitions;
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, &Diag()))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: Error opening ", control_file_name);
  if (FindSection("[SpinUp]", 0) == 0) {
    control_file.reset();
    return definitions;
  }
  int value = 0;
  ReadValue(*control_file, value, "SpinUp-switch not found");
  if (value == 0) {
    control_file.reset();
    return definitions;
  }
  int pre = 0, repeat = 0, count = 0;
  ReadValue(*control_file, pre, "doTemperaturePreSpinUp not found");
  ReadValue(*control_file, repeat, "repeatCnt not found");
  ReadValue(*control_file, count, "numGrids not found");
  // Three words per definition line must be left before anything of that count is kept.
  if (count < 0 || static_cast<std::size_t>(count) > control_file->WordsLeft() / 3)
    ReportControlFileError(FormatText("numGrids (%d) out of range", count), module_name);
  for (int i = 0; i < count; ++i) {
    HruDefinition definition;
    std::size_t pos = 0;
    std::string rest = control_file->RestOfLine();
    // The definition may start on a later line (blank lines are skipped as by formatted input).
    while (rest.find_first_not_of(" \t\r") == std::string::npos && !control_file->AtEnd())
      rest = control_file->RestOfLine();
    if (!ScanValue(rest, pos, definition.identifier) ||
        !ScanValue(rest, pos, definition.class_width) || !ScanValue(rest, pos, definition.spacing))
      ReportControlFileError(" error reading HRU defintions ", module_name);
    if (!(definition.class_width > 0))
      ReportControlFileError(
          FormatText(" class width of HRU definition %d must be above 0 ", i + 1), module_name);
    definitions.push_back(std::move(definition));
  }
  control_file.reset();
  for (HruDefinition& definition : definitions) {
    const int index = RequireOneOfThreeGrids(
        definition.identifier, "[" + definition.identifier + "]", definition.identifier);
    definition.grid = (*registry)[index].grid;
  }
  spin_up_switch = value;
  pre_spin_up = pre;
  repeat_count = repeat;
  return definitions;
}

}  // namespace velorn

// GridEntry and GridRegistry: the table of named grids through which models find each other's
// data.
//
// One registry per run and MPI process, created by the application and shared by pointer with
// every model object (modelobject::registry). It has 1001 entries: index 0 is never used,
// indexes 1..999 hold grids (entry 1, the first grid of the run, is the zone grid and the
// reference grid of the grid reader; entry 2 the elevation model; the standard grids follow),
// and index 1000 is refused with code 12. Entries are filled without gaps from index 1, and every
// search stops at the first entry that is not filled, so a model registers into FirstFreeIndex().
//
// How a sub-model uses it (through its modelobject base):
//
//   int i = registry->FirstFreeIndex();
//   RegisterGrid(i, "out/snow.asc", snow.get(), nullptr, 0, "snow_cover", 1, first_local_row,
//                last_local_row);                        // code 1: written at every output call
//   int t = RequireGrid("temperature");                   // FATAL 33 when nobody registered it
//   double** temperature = (*registry)[t].grid;
//   if (int g = FindGrid("GlacierizedCells", 0)) ...       // optional grid: 0 when absent
//   UnregisterGrid(i);                                    // names and companions are released;
//                                                         // the data stay with their owner
//
// The data grid or stack of an entry belongs to the model that registered it. The companions
// that the write code asks for (period sum or mean, minimum, maximum, vegetation-period grid)
// belong to the entry and are released by UnregisterGrid, by re-registration and with the
// registry. The write code is thousands*1000 + hundreds*100 + tens*10 + units: the units say
// when and under which name the grid is written, tens a period sum or mean companion, hundreds
// 1/2/3 minimum/maximum/both, thousands a vegetation-period sum or mean.
//
// An entry also carries the bookkeeping of the write-code output (call counter, extremes flag,
// dated-name counter, vegetation-period flags and grids) and the definition of a standard grid
// (fill and read codes, default value, statistics, periodic re-reading, persistence).
//
// Used from the main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/matrix.h"
#include "core/model_date.h"
#include "core/zone_types.h"

namespace velorn {

class DiagnosticStream;
class zonalstatistic;

// Entries 0..1000; 0 is never used.
inline constexpr int kGridRegistrySize = 1001;
// Highest index that is searched and may be registered.
inline constexpr int kLastGridIndex = 999;
// The index that is always refused ("no free grid").
inline constexpr int kRefusedGridIndex = 1000;
// Longest file name and identifier of an entry.
inline constexpr std::size_t kMaxGridFileNameLength = 2400;
inline constexpr std::size_t kMaxGridIdentifierLength = 100;
// Codes: registry full / invalid index, and a text too long for the registry.
inline constexpr int kRegistryTextCode = 1;

struct GridEntry {
  // --- Data and companions ---------------------------------------------------------------
  double** grid = nullptr;    // the data of a grid entry; owned by the registering model
  GridMatrix period_grid;     // sum or mean companion (tens digit not 0)
  GridMatrix minimum_grid;    // minimum companion (minimum flag)
  GridMatrix maximum_grid;    // maximum companion (maximum flag)
  double*** stack = nullptr;  // the data of a stack entry; owned by the registering model
  int32_t level_count = 1;    // levels of the stack

  // Set while the entry holds a definition or a registration; an entry without them is free.
  std::optional<std::string> file_name;
  std::optional<std::string> identifier;
  // Names of the companions: copies of the file name made with each companion.
  std::string period_file_name;
  std::string minimum_file_name;
  std::string maximum_file_name;

  // --- Write code --------------------------------------------------------------------------
  // The write code as given by a standard-grid definition or at the last registration.
  int32_t write_code = 0;
  int32_t units_digit = 0;      // code % 10: when and under which name the grid is written
  int32_t tens_digit = 0;       // code % 100 / 10: period sum or mean
  int32_t minimum_flag = 0;     // hundreds digit 1 or 3
  int32_t maximum_flag = 0;     // hundreds digit 2 or 3
  int32_t thousands_digit = 0;  // code % 10000 / 1000: vegetation-period sum or mean

  // --- Output state (kept by the write-code output) -----------------------------------------
  int32_t extremes_initialised = 0;  // minimum and maximum companions hold values
  // The whole-run sum or mean (tens digit 1 or 5) has been written at the end of the run; later
  // calls of the same last step write it no more, and a call before the end (a new pass over the
  // time range) clears it and restarts the sum.
  bool run_period_written = false;
  double call_counter = 1.0;         // output calls since the last period write
  GridMatrix vegetation_grid;        // vegetation-period companion (thousands digit not 0)
  std::string vegetation_file_name;  // copy of the file name made with it
  // The output name: the file name of the first registration; later registrations keep it.
  std::optional<std::string> first_file_name;
  int64_t same_date_counter = 0;  // dated names written again for the same date
  ModelDate last_output_date;     // date of the last dated name
  int64_t first_row = 0;          // row range of the registered data; companions use it
  int64_t last_row = 0;
  // 0: the grid of a stack entry is refreshed from level 1 of the stack at each output call.
  int32_t stack_flag = 0;
  // Set on vegetation-period days by the land-use parameter grids, cleared by the output:
  int32_t vegetation_period_end = 0;      // write the vegetation-period companion
  int32_t vegetation_period_restart = 0;  // restart the vegetation-period companion
  // VegetationStart, VegetationStop and VegetationDuration of the entry, looked up once.
  bool vegetation_grids_found = false;
  double** vegetation_start = nullptr;
  double** vegetation_stop = nullptr;
  double** vegetation_duration = nullptr;

  // --- Standard-grid definition ---------------------------------------------------------------
  int32_t fill_code = 0;
  int32_t read_code = 1;  // below 1: the grid is created with default_value, not read
  double default_value = 0;
  std::optional<std::string> statistics_file_name;  // zone statistics of the grid, if any
  int32_t statistics_code = 0;
  int32_t period_count = -1;                  // N of "periodicity"; -1: no periodic reading
  std::optional<std::string> period_letters;  // letters of "periodicity" (H, D, M, Y)
  int32_t step_number = 0;                    // K of "periodicity"
  std::string dated_file_name;                // last "%s_%04ld%02ld%02ld%02ld" name read
  bool persistent = true;
  int32_t persistence_steps = 0;
  int32_t period_counter = -1;
  int32_t step_counter = 0;
  int32_t last_watched_value = 0;
  bool restore_pending = false;
  int32_t restore_counter = 0;
  GridMatrix saved_copy;  // values at set-up of a grid that is not persistent
  // Zone statistics of the grid: the table is created and released by the settings object.
  zonalstatistic* statistics_table = nullptr;
  std::vector<ZoneRecord> statistics_zone_records;
  double** zone_grid = nullptr;
  const int32_t* zone_code_index = nullptr;

  bool IsFree() const { return !file_name && !identifier; }
  bool HasIdentifier(std::string_view name) const { return identifier && *identifier == name; }
};

class GridRegistry {
 public:
  GridRegistry();
  GridRegistry(const GridRegistry&) = delete;
  GridRegistry& operator=(const GridRegistry&) = delete;

  // Entry 0..1000; any other index is a programming error (std::out_of_range).
  GridEntry& operator[](int index) { return entries_.at(static_cast<std::size_t>(index)); }
  const GridEntry& operator[](int index) const {
    return entries_.at(static_cast<std::size_t>(index));
  }

  // First entry 1..999 without an identifier; 1000 (refused by Register) when all are used.
  int FirstFreeIndex() const;

  // Index 1..999 of the entry with this identifier (exact, case-sensitive), or 0. Entry 1 is
  // always compared; the scan ends at the first later entry without a file name and, with
  // flag 0, also at the first entry without grid data (a stack entry). Flag 1 finds stacks.
  int Find(std::string_view identifier, int flag) const;
  // Index 1..999 of the entry with this identifier, or 0; the scan ends at the first entry
  // without an identifier (the search of RequireGrid).
  int FindIdentifier(std::string_view identifier) const;

  // Fills entry `index` (see modelobject::RegisterGrid); companions are allocated for rows
  // first_row..last_row of a grid of nrows x ncols and are zero. Index 1000 gives "FATAL: no
  // free grid in memory,(max. 1000)!" and code 12, as does any index outside 1..999; a file name
  // over 2400 or an identifier over 100 characters is FATAL with code 1. Registering an index
  // again replaces its names and companions (the old companions are released).
  void Register(DiagnosticStream& diag, int index, const std::string& file_name, double** grid,
                double*** stack, int32_t level_count, const std::string& identifier,
                int32_t write_code, int64_t first_row, int64_t last_row, int32_t ncols,
                int32_t nrows);

  // Releases the names and companions of entry `index` and clears it (grid and stack pointers,
  // units digit, level count, call counter); the data stay with their owner. The tens,
  // hundreds and thousands digits are kept until the next registration. Indexes outside
  // 1..1000 are ignored; a second call does nothing more.
  void Unregister(int index);

  // Standard grids named "latitude" and "longitude" (0: none).
  bool latitude_present = false;
  int latitude_index = 0;
  bool longitude_present = false;
  int longitude_index = 0;

 private:
  std::vector<GridEntry> entries_;
};

// Splits a write code into the digit fields of `entry`.
void SetWriteCodeDigits(GridEntry& entry, int32_t write_code);

}  // namespace velorn

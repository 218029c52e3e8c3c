// Zone statistics of the standard grids: one table per grid whose definition names a
// statistics file, holding the per-zone mean of the grid's values over each output interval.
//
// The application creates the tables once after the set-up, then at the end of every step
// resets, accumulates and writes them (in that order), flushes them on request and at the end
// of the run, and releases them (the release of the settings object does so too). Each table
// sums the cells this process owns; writing reduces the sums onto process 0, so a table holds
// the same rows whatever the number of processes. Writing and flushing are collective: every
// process holds the same tables, because every process reads the same definitions.
#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/zone_statistics.h"
#include "grids/grid_output.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// Precision of the values of a standard-grid table.
constexpr int32_t kStandardGridStatisticsPrecision = 5;

}  // namespace

void defaultini::CreateStandardGridStatistics() {
  if (zone_table == nullptr || zone_code_index == nullptr || column_ranges == nullptr)
    ThrowFatal(Diag(), kGridMissingCode,
               "FATAL: statistics of the standard grids need the zone ranking, which is not "
               "built yet");
  const int weights = FindGrid("RelCellArea", 0);
  double** weight_grid = weights > 0 ? (*registry)[weights].grid : relative_cell_area;
  const int last = std::min(2 + registered_grid_count, kLastGridIndex);
  for (int index = 2; index <= last; ++index) {
    GridEntry& entry = (*registry)[index];
    if (!entry.statistics_file_name || entry.statistics_table != nullptr) continue;
    entry.zone_grid = (*registry)[1].grid;
    entry.zone_code_index = zone_code_index;
    // Fields [0], [1] and [4] are the step sums; code, area share and weight sum come from the
    // zone table.
    entry.statistics_zone_records =
        AllocateArray<ZoneRecord>(static_cast<std::size_t>(zone_count) + 1, 1);
    for (int32_t z = 0; z <= zone_count; ++z)
      for (std::size_t f = 2; f <= 4; ++f) entry.statistics_zone_records[z][f] = zone_table[z][f];
    std::string file_name = *entry.statistics_file_name;
    int error = 0;
    auto table = std::make_unique<zonalstatistic>(
        error, &Diag(), weight_grid, nrows, ncols, entry.statistics_zone_records.data(), zone_count,
        entry.statistics_code, kStandardGridStatisticsPrecision, file_name,
        output_settings.default_output_directory, output_list_count, output_list_codes);
    if (error != 0) throw ErrorCode{error};
    entry.statistics_table = table.get();
    standard_grid_statistics.push_back({index, std::move(table)});
    entry.statistics_table->WriteHeader(entry.identifier.value_or(""), "(default)",
                                        statistics_registry, statistics_capacity);
  }
}

void defaultini::ResetStandardGridStatistics() {
  for (const StandardGridStatistics& statistics : standard_grid_statistics)
    statistics.table->ResetZoneSums();
}

// Each table adds the cells this process owns (a row shared with another process, and process
// 0's copy of every row, hold cells that other processes add). The tables are independent, so
// the threads take one table each: a table's sums are written by one thread only.
void defaultini::AccumulateStandardGridStatistics() {
  if (standard_grid_statistics.empty()) return;
  double** owner = DecompositionOwnerGrid(*this);
  ForEachRow(0, static_cast<long>(standard_grid_statistics.size()) - 1, [&](long t) {
    const StandardGridStatistics& statistics =
        standard_grid_statistics[static_cast<std::size_t>(t)];
    const GridEntry& entry = (*registry)[statistics.entry];
    double** zone = entry.zone_grid;
    double** grid = entry.grid;
    if (zone == nullptr || grid == nullptr) return;
    for (int32_t r = first_local_row; r <= last_local_row; ++r)
      for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (IsNodata(zone[r][c], nodata)) continue;
        if (owner != nullptr && owner[r][c] != rank) continue;
        const auto code = static_cast<int32_t>(zone[r][c]);
        statistics.table->AddValue(r, c, entry.zone_code_index[code], grid[r][c], 1.0);
      }
  });
}

void defaultini::WriteStandardGridStatistics(int64_t hour, int64_t day, int64_t month,
                                             int64_t year) {
  for (const StandardGridStatistics& statistics : standard_grid_statistics)
    statistics.table->CollectStep(year, month, day, hour, 1);
}

void defaultini::FlushStandardGridStatistics() {
  for (const StandardGridStatistics& statistics : standard_grid_statistics)
    statistics.table->FlushBuffers();
}

// Every table is released even when one fails to write its last rows; the first failure is
// passed on afterwards.
void defaultini::ReleaseStandardGridStatistics() {
  std::exception_ptr failure;
  for (StandardGridStatistics& statistics : standard_grid_statistics) {
    try {
      statistics.table->ReleaseMemory();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (registry != nullptr) {
      GridEntry& entry = (*registry)[statistics.entry];
      entry.statistics_table = nullptr;
      entry.statistics_zone_records.clear();
      entry.zone_grid = nullptr;
      entry.zone_code_index = nullptr;
    }
  }
  standard_grid_statistics.clear();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velorn

// defaultini::TrimSetUpGrids and the check of code grids re-read in the run on the held rows.
#include "setup/held_rows_trim.h"

#include <algorithm>

#include "core/error_code.h"
#include "core/matrix_trim.h"
#include "core/mpi_operations.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

bool Registered(const std::vector<std::string>& registered, std::string_view identifier) {
  return std::find(registered.begin(), registered.end(), identifier) != registered.end();
}

}  // namespace

bool KeptWholeOnProcessZero(int index, std::string_view identifier,
                            const std::vector<std::string>& registered) {
  if (index == 1 || index == 2 || identifier == "MPIRegions" || identifier == "MPIHelper")
    return true;
  // The sub-models rank the soil zones on process 0, weighted by the relative cell areas.
  if (identifier == "zonegrid_soilmodel" || identifier == "RelCellArea") return true;
  // Glaciers: the glacier list, shares and annual areas walk these on process 0.
  const bool glaciers =
      Registered(registered, "ice_firn") || Registered(registered, "GlacierizedCells");
  if (glaciers && (identifier == "ice_firn" || identifier == "GlacierizedCells" ||
                   identifier == "GlacierCodes"))
    return true;
  // Snow slide: its order and capacities are built on process 0 over every row.
  bool slide = false;
  for (const char* name : {"slidefraction1", "slidefraction2", "slidefraction3", "slidefraction4"})
    slide = slide || Registered(registered, name);
  return slide && (identifier == "slope_angle" || identifier.starts_with("slidefraction"));
}

// Collective. Every grid of the registry that process 0 holds whole is cut to process 0's held
// rows, its companions and saved copy with it; afterwards LocalRowRange gives those rows on
// process 0 too and a re-read code grid is checked on every process's rows.
void defaultini::TrimSetUpGrids() {
  if (size < 2 || set_up_grids_trimmed) return;
  set_up_grids_trimmed = true;
  if (rank != 0) return;
  const HeldRows held = LocalRowRange();
  if (held.first == 1 && held.last == nrows) return;
  std::vector<std::string> registered;
  for (int index = 1; index <= kLastGridIndex && !(*registry)[index].IsFree(); ++index)
    registered.push_back((*registry)[index].identifier.value_or(""));
  for (int index = 1; index <= static_cast<int>(registered.size()); ++index) {
    GridEntry& entry = (*registry)[index];
    if (entry.grid == nullptr || entry.first_row > 1 || entry.last_row < nrows ||
        KeptWholeOnProcessZero(index, registered[static_cast<std::size_t>(index - 1)], registered))
      continue;
    TrimMatrixRows(Diag(), entry.grid, held.first, held.last);
    // Companions and the saved copy are owned matrices that report their rows: made anew.
    for (GridMatrix* companion : {&entry.period_grid, &entry.minimum_grid, &entry.maximum_grid,
                                  &entry.vegetation_grid, &entry.saved_copy})
      if (*companion) *companion = CopyHeldRows(companion->get(), held);
    entry.first_row = held.first;
    entry.last_row = held.last;
  }
}

// A code grid re-read in the run after the trim: every process checks and replaces its held
// rows. The first unknown code in row order over all processes is reported by process 0 (the
// strips do not lie in rank order, and a halo row is held by two processes).
void defaultini::CheckCodeGridOnHeldRows(const GridEntry& grid_entry, CodeTable table) {
  const std::vector<int32_t> codes = TableCodes(table);
  const bool positive_only = table == CodeTable::kIrrigation;
  const auto first = static_cast<int32_t>(grid_entry.first_row);
  const auto last = static_cast<int32_t>(grid_entry.last_row);
  if (rank == 0) Diag() << CodeCheckMessage(table) << "[end-entry]";
  const UnknownCode unknown = FindUnknownCode(grid_entry.grid, (*registry)[1].grid, ncols, first,
                                              last, nodata, codes, positive_only);
  // The cell's place in row order, negated for the maximum; "none" below every cell.
  const double none = -static_cast<double>(nrows + 1) * (ncols + 1);
  const double place =
      unknown.found ? -(static_cast<double>(unknown.row) * (ncols + 1) + unknown.col) : none;
  std::vector<double> first_place{place};
  AllReduceMaximum(first_place);
  if (first_place[0] > none) {
    // One of the processes that found that cell gives its value.
    std::vector<double> giver{place == first_place[0] ? -static_cast<double>(rank)
                                                      : -static_cast<double>(size)};
    AllReduceMaximum(giver);
    std::vector<double> value{rank == static_cast<int>(-giver[0]) ? unknown.value : 0.0};
    AllReduceSum(value);
    if (rank == 0) ReportUnknownCode(grid_entry, table, value[0]);
    throw ErrorCode{UnknownCodeError(table)};
  }
  if (rank == 0) ReportCodeReplacement(grid_entry, table, codes);
  ReplaceCodesByIndexes(grid_entry.grid, ncols, first, last, codes, positive_only);
}

}  // namespace velorn

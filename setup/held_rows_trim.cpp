// defaultini::TrimSetUpGrids: process 0's whole set-up grids cut to its held rows.
#include "setup/held_rows_trim.h"

#include "core/matrix_trim.h"
#include "setup/defaultini.h"

namespace velorn {

bool KeptWholeOnProcessZero(int index, std::string_view identifier, bool glaciers, bool slide) {
  if (index == 1 || index == 2 || identifier == "MPIRegions" || identifier == "MPIHelper")
    return true;
  // The sub-models rank the soil zones on process 0, weighted by the relative cell areas.
  if (identifier == "zonegrid_soilmodel" || identifier == "RelCellArea") return true;
  // Glaciers: the glacier list, shares and annual areas walk these on process 0.
  if (glaciers && (identifier == "ice_firn" || identifier == "GlacierizedCells" ||
                   identifier == "GlacierCodes"))
    return true;
  // Snow slide: its order and capacities are built on process 0 over every row.
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
  const GridRegistry& grids = *registry;
  const bool glaciers =
      grids.FindIdentifier("ice_firn") != 0 || grids.FindIdentifier("GlacierizedCells") != 0;
  bool slide = false;
  for (const char* name : {"slidefraction1", "slidefraction2", "slidefraction3", "slidefraction4"})
    slide = slide || grids.FindIdentifier(name) != 0;
  for (int index = 1; index <= kLastGridIndex && !(*registry)[index].IsFree(); ++index) {
    GridEntry& entry = (*registry)[index];
    if (entry.grid == nullptr || entry.first_row > 1 || entry.last_row < nrows ||
        KeptWholeOnProcessZero(index, entry.identifier.value_or(""), glaciers, slide))
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

}  // namespace velorn

// defaultini::DecomposeMpiRegions: the region decomposition as one step of the set-up.
#include <cmath>
#include <map>

#include "core/matrix.h"
#include "setup/defaultini.h"
#include "setup/derived_grids.h"
#include "setup/mpi_regions.h"

namespace velorn {

namespace {

// Frees a grid read whole on process 0 when the decomposition is done with it.
struct ReadGridOwner {
  double** grid = nullptr;
  ~ReadGridOwner() { FreeMatrix(grid); }
};

}  // namespace

void defaultini::DecomposeMpiRegions() {
  const RegionGeometry geometry{ncols, nrows, nodata};
  RegionGrids grids;
  ReadGridOwner soil_types;
  GridMatrix work;
  if (rank == 0) {
    grids.zone = (*registry)[1].grid;
    grids.elevation = (*registry)[2].grid;
    // [unsatzon_model] is read whenever it is there (a missing value is a control-file error
    // whether or not river links exist); river links only count when the grid "river_links" is
    // registered and the unsaturated zone re-infiltrates river water (a mode above 1, as the
    // soil zone reads it). The cells of a link share its river's offer: only when one process
    // visits them in one fixed order does the split not depend on the processes and threads,
    // and only then can no two processes each take the same offer.
    const UnsatzoneHead head = ReadUnsatzoneHead(Diag(), control_file_name, module_name);
    const int links = FindGrid("river_links", 1);
    if (links > 0 && head.reinfiltration > 1) grids.river_links = (*registry)[links].grid;
    // With the soil zone on, a cell's work follows its soil column and its slope: the soil grid
    // is read whole here (it is distributed with the other standard grids later), the slope
    // computed from the elevation model (as the set-up computes it where no slope grid is
    // given), and each cell weighed by the table entry of its code and its slope. A code
    // without an entry weighs as a cell without a soil column; the code check of the standard
    // grids reports it.
    const int soil = FindGrid("soil_types", 1);
    const int32_t soil_count = soil_table != nullptr ? soil_table[0].code : 0;
    if (head.on == 1 && soil > 0 && soil_count > 0) {
      GridEntry& entry = (*registry)[soil];
      ReadGrid(entry.file_name.value_or(""), soil_types.grid, entry.fill_code, true, false, false,
               1, true, false, entry.default_value);
      std::map<int32_t, const SoilRecord*> record_of_code;
      for (int32_t s = 1; s <= soil_count; ++s) record_of_code[soil_table[s].code] = &soil_table[s];
      GridMatrix slope;
      if (grids.elevation != nullptr && cellsize > 0) {
        slope = GridMatrix(Diag(), 1, nrows, ncols, nrows);
        ComputeSlopeAndAspect(GridGeometry{ncols, nrows, xll, yll, cellsize, nodata},
                              grids.elevation, slope.get(), nullptr);
      }
      work = GridMatrix(Diag(), 1, nrows, ncols, nrows);
      for (int32_t r = 1; r <= nrows; ++r)
        for (int32_t c = 1; c <= ncols; ++c) {
          const double code = soil_types.grid[r][c];
          const auto found = code > nodata && std::fabs(code) < 2e9
                                 ? record_of_code.find(static_cast<int32_t>(code))
                                 : record_of_code.end();
          work[r][c] = found != record_of_code.end()
                           ? CellWorkWeight(head.method, found->second, head.step_minutes * 60.0,
                                            slope ? slope[r][c] : nodata)
                           : kCellWorkOutsideSoil;
        }
      grids.work = work.get();
    }
  }
  const double process_time = ReadProcessTime(Diag(), rank);
  decomposition = DecomposeRegions(Diag(), geometry, grids, process_time);
  RegisterMpiGrids(Diag(), *registry, decomposition.layout);
  registered_grid_count += 3;

  first_local_row = decomposition.layout.first_row;
  last_local_row = decomposition.layout.last_row;
  mpi = &decomposition.layout;
}

}  // namespace velorn

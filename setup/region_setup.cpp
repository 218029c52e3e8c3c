// defaultini::DecomposeMpiRegions: the region decomposition as one step of the set-up.
#include "setup/defaultini.h"
#include "setup/mpi_regions.h"

namespace velorn {

void defaultini::DecomposeMpiRegions() {
  const RegionGeometry geometry{ncols, nrows, nodata};
  RegionGrids grids;
  if (rank == 0) {
    grids.zone = (*registry)[1].grid;
    grids.elevation = (*registry)[2].grid;
    // [unsatzon_model] is read whenever it is there (a missing value is a control-file error
    // whether or not river links exist); river links only count when the grid "river_links" is
    // registered and the unsaturated zone re-infiltrates river water (mode 2).
    const int mode = ReadReinfiltrationMode(Diag(), control_file_name, module_name);
    const int links = FindGrid("river_links", 1);
    if (links > 0 && mode == 2) grids.river_links = (*registry)[links].grid;
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

// defaultini::DecomposeMpiRegions: the region decomposition as one step of the set-up.
#include "core/error_code.h"
#include "core/mpi_operations.h"
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
  // A zone grid without a cell above its nodata value (every cell nodata, or a nodata value
  // above every code) leaves no cell to decompose: refused on process 0, then on all.
  int code = 0;
  if (rank == 0) {
    code = CodeOf([&] {
      for (int32_t r = 1; r <= nrows; ++r)
        for (int32_t c = 1; c <= ncols; ++c)
          if (grids.zone[r][c] > nodata) return;
      ThrowFatal(Diag(), kGridFormatCode, "FATAL: the zone grid ",
                 (*registry)[1].file_name.value_or(""), " holds no subbasin cell: every cell is ",
                 "at or below its nodata value ", nodata);
    });
  }
  code = BroadcastCodeFromRoot(code);
  if (code != 0) throw ErrorCode{code};
  const double process_time = ReadProcessTime(Diag(), rank);
  decomposition = DecomposeRegions(Diag(), geometry, grids, process_time);
  RegisterMpiGrids(Diag(), *registry, decomposition.layout);
  registered_grid_count += 3;

  first_local_row = decomposition.layout.first_row;
  last_local_row = decomposition.layout.last_row;
  mpi = &decomposition.layout;
}

}  // namespace velorn

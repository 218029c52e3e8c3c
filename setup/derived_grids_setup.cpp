// The derived grids as steps of the set-up: cell sizes, coordinates, soil parameter grids,
// slope and aspect, the ice and firn grid, region and weight grids.
//
// Every grid created here is registered at the first free entry with write code 0 over the
// rows that set-up grids hold (all rows on process 0, the own rows with one halo row on each
// side elsewhere), counted in the settings object's grid counter and, where the step says so,
// written once under its derived file name. Grids that need neighbours or whole rows
// (coordinates, slope and aspect, region weights) are computed by process 0, which holds every
// row of the set-up grids, and then handed to their owners with their halo cells; so they come
// out the same for any number of processes.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "grids/grid_output.h"
#include "setup/defaultini.h"
#include "setup/derived_grids.h"

namespace velorn {
namespace {

constexpr const char* kNoFreeGrid = "FATAL: no free grid found in memory (at position ";
constexpr const char* kNoFreeGridSpelt = "FATAL: no free grid found in memeory (at position ";
constexpr const char* kNoFreeGridLeft = "FATAL: no free grid left (at position ";

GridGeometry GeometryOf(const defaultini& s) {
  return GridGeometry{s.ncols, s.nrows, s.xll, s.yll, s.cellsize, s.nodata};
}

// Registers a new grid under `identifier` at the first free entry, preset with `value` in the
// zone cells and nodata elsewhere. The FATAL entry of a full registry is `message` followed by
// the refused position and `ending`.
int CreateGrid(defaultini& s, const std::string& identifier, const std::string& file_name,
               double value, const char* message, const char* ending = ")") {
  const int index = s.registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex)
    ThrowFatal(*s.diag, kRegistryFullCode, message, kRefusedGridIndex, ending);
  const HeldRows held = s.LocalRowRange();
  GridMatrix grid(*s.diag, held.first, held.last, s.ncols, s.nrows);
  double** zone = (*s.registry)[1].grid;
  for (int32_t r = held.first; r <= held.last; ++r)
    for (int32_t c = 1; c <= s.ncols; ++c)
      grid[r][c] = IsNodata(zone[r][c], s.nodata) ? s.nodata : value;
  s.RegisterGrid(index, file_name, grid.get(), nullptr, 0, identifier, 0, held.first, held.last);
  grid.release();
  ++s.registered_grid_count;
  return index;
}

// Writes the grid of `index` once under its output name (write code 1 for this one call).
void WriteOnce(defaultini& s, int index) {
  GridEntry& entry = (*s.registry)[index];
  entry.units_digit = 1;
  s.WriteGridOutput(index, 1, false);
  entry.units_digit = 0;
}

// Hands every process its cells of a grid that process 0 computed whole, with its halo cells.
void Distribute(defaultini& s, int index) {
  s.MPIScatterGrid(index, nullptr);
  s.MPIExchangeGridHalo(index, nullptr);
}

std::string FileNameOf(const defaultini& s, int index) {
  return (*s.registry)[index].file_name.value_or("");
}

}  // namespace

// ---- Cell sizes ---------------------------------------------------------------------------------

void defaultini::CheckCellSizes() {
  Diag() << "Checking cell sizes for variable Cells..."
         << "[end-entry]";
  int x = FindGrid("CellSizeX", 0);
  int y = FindGrid("CellSizeY", 0);
  int area = FindGrid("RelCellArea", 0);
  CellSizeSources& given = derived.cell_sizes_given;
  given = CellSizeSources{x > 0, y > 0, area > 0};
  const std::string zone_file = FileNameOf(*this, 1);
  if (x == 0)
    x = CreateGrid(*this, "CellSizeX", DerivedFileName(zone_file, ".$csx"), 0, kNoFreeGrid);
  if (y == 0)
    y = CreateGrid(*this, "CellSizeY", DerivedFileName(zone_file, ".$csy"), 0, kNoFreeGrid);
  // A created relative area starts at 1 in every zone cell, whichever sizes are given: with
  // only one of them given, the other is derived from it and this area.
  if (area == 0)
    area = CreateGrid(*this, "RelCellArea", DerivedFileName(zone_file, ".$rca"), 1.0, kNoFreeGrid);

  double** size_x = (*registry)[x].grid;
  double** size_y = (*registry)[y].grid;
  double** rca = (*registry)[area].grid;
  double** zone = (*registry)[1].grid;
  const HeldRows held = LocalRowRange();
  ForEachRow(held.first, held.last, [&](long r) {
    for (int32_t c = 1; c <= ncols; ++c) {
      if (IsNodata(zone[r][c], nodata)) {
        size_x[r][c] = size_y[r][c] = rca[r][c] = nodata;
        continue;
      }
      CellSizeValues cell{size_x[r][c], size_y[r][c], rca[r][c]};
      switch (DeriveCellSizes(given, cellsize, cell)) {
        case CellSizeFault::kNone:
          break;
        case CellSizeFault::kZeroX:
          ThrowFatal(Diag(), kCellSizeCode, "FATAL: cell size in x direction is zero at row ", r,
                     ", column ", c, ",\nread from file ", FileNameOf(*this, x), "\n");
        case CellSizeFault::kZeroY:
          ThrowFatal(Diag(), kCellSizeCode, "FATAL: cell size in y direction is zero at row ", r,
                     ", column ", c, ",\nread from file ", FileNameOf(*this, y), "\n");
        case CellSizeFault::kAreaMismatch:
          ThrowFatal(Diag(), kCellSizeCode, "FATAL: Cell size Y (", cell.y, ", from ",
                     FileNameOf(*this, y), ") times\ncell size X (", cell.x, ", from ",
                     FileNameOf(*this, x), ") \ndivided by the mean cell area is ",
                     cell.x * cell.y / (cellsize * cellsize), " and differs from \nthe relative ",
                     "grid cell size ", cell.area, " (from ", FileNameOf(*this, area),
                     ") by more than 0.001%\n");
      }
      size_x[r][c] = cell.x;
      size_y[r][c] = cell.y;
      rca[r][c] = cell.area;
    }
  });
  derived.cell_size_x = size_x;
  derived.cell_size_y = size_y;
  relative_cell_area = rca;
  if (!given.area_given) WriteOnce(*this, area);
  if (!given.x_given) WriteOnce(*this, x);
  if (!given.y_given) WriteOnce(*this, y);
}

// ---- Coordinates --------------------------------------------------------------------------------

void defaultini::CreateCoordinateGrids() {
  const std::string zone_file = FileNameOf(*this, 1);
  const int x = CreateGrid(*this, "CoordX", DerivedFileName(zone_file, ".$cx"), 0, kNoFreeGrid);
  const int y = CreateGrid(*this, "CoordY", DerivedFileName(zone_file, ".$cy"), 0, kNoFreeGrid);
  derived.coord_x = (*registry)[x].grid;
  derived.coord_y = (*registry)[y].grid;
  // Corners accumulate over every row of the domain, so process 0 computes them all.
  if (rank == 0)
    ComputeCoordinates(GeometryOf(*this), (*registry)[1].grid, derived.cell_size_x,
                       derived.cell_size_y, derived.coord_x, derived.coord_y);
  Distribute(*this, x);
  Distribute(*this, y);
  WriteOnce(*this, x);
  WriteOnce(*this, y);
}

// ---- Soil parameter grids -----------------------------------------------------------------------

void defaultini::make_nFK_kWert_and_Na() {
  const int soil = FindGrid("soil_types", 0);
  if (soil == 0) return;
  struct SoilGrid {
    const char* identifier;
    const char* suffix;
    const char* message;
  };
  static constexpr SoilGrid kGrids[] = {
      {"available_soil_moisture", ".$fk", kNoFreeGrid},
      {"hydraulic_conductivity", ".$k", kNoFreeGridSpelt},
      {"fillable_porosity", ".$na", kNoFreeGridSpelt},
  };
  double** soil_types = (*registry)[soil].grid;
  double** zone = (*registry)[1].grid;
  const int32_t soil_count = soil_table != nullptr ? soil_table[0].code : 0;
  const HeldRows held = LocalRowRange();
  const std::vector<ColumnRange> ranges =
      ZoneColumnRanges(GeometryOf(*this), zone, held.first, held.last);
  // The root depth of land-use layer 1 holds only this process's own rows and is evaluated on
  // its own cells: the available soil moisture is computed there, and a neighbour's cell of the
  // halo receives its owner's value by the halo exchange. Other cells keep the preset 0.
  double** owner = DecompositionOwnerGrid(*this);
  const auto computes_root_depth = [&](double** root_depth, long r, long c) {
    return r >= first_local_row && r <= last_local_row && root_depth[r] != nullptr &&
           (owner == nullptr || owner[r] == nullptr || owner[r][c] == rank);
  };
  for (int k = 0; k < 3; ++k) {
    if (FindGrid(kGrids[k].identifier, 0) > 0) continue;
    const int index = CreateGrid(*this, kGrids[k].identifier,
                                 DerivedFileName(FileNameOf(*this, soil), kGrids[k].suffix), 0,
                                 kGrids[k].message);
    double** grid = (*registry)[index].grid;
    double** root_depth = k == 0 ? (*registry)[RequireGrid("root_depth1")].grid : nullptr;
    ForEachRow(held.first, held.last, [&](long r) {
      for (int32_t c = 1; c <= ncols; ++c)
        if (c < ranges[r].first || c > ranges[r].last) grid[r][c] = 0;
      for (int32_t c = std::max(ranges[r].first, 1); c <= ranges[r].last; ++c) {
        if (IsNodata(zone[r][c], nodata)) {
          grid[r][c] = nodata;
          continue;
        }
        if (k == 0 && !computes_root_depth(root_depth, r, c)) continue;
        const auto s = static_cast<int32_t>(soil_types[r][c]);
        if (s < 1 || s > soil_count)
          ThrowFatal(Diag(), kSoilIndexCode, "FATAL: soil type ", soil_types[r][c], " at row ", r,
                     ", column ", c, " is no entry of the soil table (1..", soil_count, ")");
        const SoilRecord& entry = soil_table[s];
        grid[r][c] = k == 0   ? root_depth[r][c] * entry.FCap * 10.0
                     : k == 1 ? entry.ksat_topmodel
                              : 0.01 * entry.mSB;
      }
    });
    if (k == 0) MPIExchangeGridHalo(index, nullptr);
    WriteOnce(*this, index);
  }
}

// ---- Slope and aspect ---------------------------------------------------------------------------

void defaultini::make_Slope_and_Aspect() {
  const int elevation = FindGrid("[elevation_model]", 0);
  if (elevation == 0) return;
  Diag() << "calculating the lokal topography (aspect, slope ...).. "
         << "[end-entry]";
  int slope = FindGrid("slope_angle", 0);
  int aspect = FindGrid("slope_aspect", 0);
  const bool compute_slope = slope == 0;
  const bool compute_aspect = aspect == 0;
  const std::string source = FileNameOf(*this, elevation);
  if (compute_slope)
    slope = CreateGrid(*this, "slope_angle", DerivedFileName(source, ".$sl"), 0, kNoFreeGridSpelt);
  if (compute_aspect)
    aspect = CreateGrid(*this, "slope_aspect", DerivedFileName(source, ".$ex"), 0, kNoFreeGridLeft,
                        ")\n");
  derived.slope = (*registry)[slope].grid;
  derived.aspect = (*registry)[aspect].grid;
  if (!compute_slope && !compute_aspect) return;
  // The fill passes run in scan order over whole rows: process 0 computes every row.
  if (rank == 0)
    ComputeSlopeAndAspect(GeometryOf(*this), (*registry)[elevation].grid,
                          compute_slope ? derived.slope : nullptr,
                          compute_aspect ? derived.aspect : nullptr);
  for (const auto& [computed, index] : {std::pair{compute_slope, slope}, {compute_aspect, aspect}})
    if (computed) Distribute(*this, index);
  for (const auto& [computed, index] : {std::pair{compute_slope, slope}, {compute_aspect, aspect}})
    if (computed) WriteOnce(*this, index);
}

void defaultini::FillFromNeighbours(int32_t row, int32_t column, double** matrix) {
  FillFromNeighbourCells(matrix, row, column, nrows, ncols, nodata);
}

// ---- Ice and firn -------------------------------------------------------------------------------

void defaultini::check_ice_firn_grid() {
  int index = 1;
  for (; index <= kLastGridIndex && (*registry)[index].file_name; ++index) {
    if ((*registry)[index].HasIdentifier("ice_firn")) {
      derived.ice_firn = (*registry)[index].grid;
      return;
    }
  }
  Diag() << "INFO: ice-grid not found in memory (at position " << index << ")"
         << "[end-entry]";
}

// ---- Region weights -----------------------------------------------------------------------------

void defaultini::MakeRegionWeightGrids() {
  int regions = FindGrid("regression_regions", 0);
  if (regions == 0)
    regions = CreateGrid(*this, "regression_regions", DerivedFileName(FileNameOf(*this, 1), ".$r1"),
                         1.0, kNoFreeGrid);
  derived.regions = RegionWeightGrids{};
  derived.regions.regions1 = (*registry)[regions].grid;

  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, &Diag()))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  FindSection("[region_transition_distance]", 1);
  ReadValue(*control_file, derived.transition_distance,
            "transition distance (if or if not using a region grid) ");
  control_file.reset();

  RankRegions(regions);
  const std::string source = FileNameOf(*this, regions);
  std::vector<int> created;
  const auto create = [&](const char* identifier, const std::string& name,
                          double** RegionWeightGrids::*field) {
    created.push_back(CreateGrid(*this, identifier, name, 0, kNoFreeGrid));
    derived.regions.*field = (*registry)[created.back()].grid;
  };
  create("regression_weights1", DerivedFileName(source, ".$w1", ".$rw1"),
         &RegionWeightGrids::weights1);
  if (region_count >= 2) {
    create("regression_regions2", DerivedFileName(source, ".$r2"), &RegionWeightGrids::regions2);
    create("regression_weights2", DerivedFileName(source, ".$w2"), &RegionWeightGrids::weights2);
  }
  if (region_count >= 3) {
    create("regression_regions3", DerivedFileName(source, ".$r3"), &RegionWeightGrids::regions3);
    create("regression_weights3", DerivedFileName(source, ".$w3"), &RegionWeightGrids::weights3);
  }
  ComputeRegionWeights();
  for (int index : created) Distribute(*this, index);
  for (int index : created) WriteOnce(*this, index);
}

void defaultini::ComputeRegionWeights() {
  if (rank != 0) return;
  Diag() << "generating region weight grids"
         << "[end-entry]";
  ComputeRegionWeightGrids(GeometryOf(*this), (*registry)[1].grid, region_count,
                           derived.transition_distance, derived.regions);
  Diag() << std::string(static_cast<std::size_t>(std::max(nrows, 0)), '.') << "[end-entry]";
  Diag() << "region weight grids ready"
         << "[end-entry]";
}

}  // namespace velorn

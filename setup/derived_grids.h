// Derived grids of the set-up as pure functions of whole grids: cell sizes and relative cell
// areas, cell coordinates, slope and aspect of the elevation model, the neighbour fill, and
// the region and weight grids that let the meteorological interpolation blend regional
// regressions near region borders.
//
// The settings object (setup/derived_grids_setup.cpp) runs them on the rows it holds (cell
// sizes) or on process 0 over every row (coordinates, slope and aspect, region weights) and
// then hands each process its rows, so that no result depends on the number of processes.
// Tests call them directly. Grids are 1-based with rows 1..nrows and columns 1..ncols; the
// functions read and write only the rows they are given. Nothing here throws or talks to MPI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/zone_types.h"
#include "grids/grid_formats.h"

namespace velorn {

// Degrees per radian as the derived grids use it.
inline constexpr double kSlopeDegreesPerRadian = 57.29577951307855;
// Cell-size failures: a zero size, or a relative area that disagrees with the sizes.
inline constexpr int kCellSizeCode = 66;
// Largest relative difference of a given relative cell area from CellSizeX x CellSizeY / cs².
inline constexpr double kRelativeAreaTolerance = 1e-5;
// A soil-type grid value that is no index of the soil table (the code check's own code).
inline constexpr int kSoilIndexCode = 32;

// File name of a derived grid: `source` with its extension (from the last '.') replaced by
// `suffix` (".$csx"), or, for a name without '.', `suffix_without_dot` appended (defaults to
// `suffix`).
std::string DerivedFileName(const std::string& source, const std::string& suffix,
                            const std::string& suffix_without_dot = {});

// --- Cell sizes ---------------------------------------------------------------------------------

// Which of the three cell-size grids were given (read) rather than created.
struct CellSizeSources {
  bool x_given = false;
  bool y_given = false;
  bool area_given = false;
};

struct CellSizeValues {
  double x = 0;
  double y = 0;
  double area = 0;  // relative cell area
};

enum class CellSizeFault { kNone, kZeroX, kZeroY, kAreaMismatch };

// Completes the sizes of one zone cell from the given ones (cs = cell size of the geometry):
// a given x (not 0) with a given y checks a given area or derives a created one; a given x
// alone gives y = cs² area / x; a given y alone x = cs² area / y; none gives x = y = √(cs² area).
// A created area must hold 1 beforehand (the caller fills it). Returns the fault found, with
// the values left as they were.
CellSizeFault DeriveCellSizes(const CellSizeSources& sources, double cs, CellSizeValues& cell);

// --- Coordinates --------------------------------------------------------------------------------

// Lower-left corners of every cell into coord_x and coord_y (rows 1..nrows). Regular: xll +
// (j − 1) cs and yll + (nrows − i) cs. With cell widths and heights (size_x, size_y, both
// given, values at nodata or below count as cs) the corners are accumulated over the whole
// domain from its last row L (the last row holding a zone cell): in row L from the column after
// its first zone column, in every row above it from column 2, x along the row and y up the
// column (column 1 keeps the regular y). Cells without zone value become nodata.
void ComputeCoordinates(const GridGeometry& geometry, double** zone, double** size_x,
                        double** size_y, double** coord_x, double** coord_y);

// --- Slope and aspect ---------------------------------------------------------------------------

struct SlopeAspect {
  double slope = 0;   // degrees from the horizontal
  double aspect = 0;  // degrees clockwise from north, the direction the slope faces
};

// Slope and aspect from the four neighbours of a cell by central differences (cs apart);
// nodata in both when any neighbour is nodata. A flat cell has slope 0 and aspect 0.
SlopeAspect SlopeAndAspect(double north, double west, double east, double south, double cs,
                           double nodata);

// Sets cell (row, col) to the mean of those of its eight neighbours inside rows 1..nrows,
// columns 1..ncols that differ from nodata; unchanged when there is none. Every neighbour row
// must be held.
void FillFromNeighbourCells(double** grid, int32_t row, int32_t col, int32_t nrows, int32_t ncols,
                            double nodata);

// Slope and aspect of a whole elevation model (rows 1..nrows held): border rows and columns
// nodata, inner cells by SlopeAndAspect, then two passes in scan order that fill, in place,
// every cell with an elevation but without an aspect, first in the aspect grid, then in the
// slope grid. Either output may be null (not computed).
void ComputeSlopeAndAspect(const GridGeometry& geometry, double** elevation, double** slope,
                           double** aspect);

// --- Region weights -----------------------------------------------------------------------------

// Region and weight grids of process 0 (all rows held). `regions1` holds the region code of
// every zone cell; regions2/3 and weights2/3 exist (are not null) from 2 and 3 regions on.
struct RegionWeightGrids {
  double** regions1 = nullptr;
  double** weights1 = nullptr;
  double** regions2 = nullptr;
  double** weights2 = nullptr;
  double** regions3 = nullptr;
  double** weights3 = nullptr;
};

// Fills the region and weight grids: per zone cell its own region and the nearest one or two
// other regions within the transition distance (map units; 0 or less counts as 0.01), with
// weights that sum to 1 and give the own region 1 farther than that from any other region.
// Three or more regions are weighted as three: a cell blends at most its own region and the two
// nearest others. Cells without zone value become nodata in every grid.
void ComputeRegionWeightGrids(const GridGeometry& geometry, double** zone, int32_t region_count,
                              double transition_distance, const RegionWeightGrids& grids);

// Per row 0..nrows the first and last column holding a zone value ((0, -1) for none) over the
// rows first_row..last_row of `zone`; other rows get (0, -1).
std::vector<ColumnRange> ZoneColumnRanges(const GridGeometry& geometry, double** zone,
                                          int32_t first_row, int32_t last_row);

// Fields of the settings object that the derived grids set: which cell-size grids were given,
// the data of the derived grids it keeps, the transition distance and the ice and firn grid.
struct DerivedGridFields {
  CellSizeSources cell_sizes_given;
  double** cell_size_x = nullptr;
  double** cell_size_y = nullptr;
  double** coord_x = nullptr;
  double** coord_y = nullptr;
  double** slope = nullptr;
  double** aspect = nullptr;
  RegionWeightGrids regions;
  double transition_distance = 0;
  double** ice_firn = nullptr;
};

}  // namespace velorn

// Terrain analysis for the example basin generator: a geographic DEM brought onto a regular
// metric grid, depressions filled, D8 flow directions and accumulation, the basin of the largest
// outlet split into subbasins at its major confluences, and the land-use and soil classes
// assigned from elevation, slope and aspect.
//
// Called by tools/example_basin.cpp (the generator of examples/front-range/) and by the tests
// in tests/tools/. Pure functions over in-memory rasters: no MPI, no files.
//
// Limits: the projection is a local equirectangular one about the tile centre (scale error
// below 0.1 % over a tile of a few tens of kilometres, not meant for larger areas). Rasters are
// row-major with row 0 the northernmost row, as in an ESRI ASCII grid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velorn::tools {

struct Raster {
  int ncols = 0;
  int nrows = 0;
  double xll = 0;  // lower-left corner
  double yll = 0;
  double cellsize = 0;
  double nodata = -9999.0;
  std::vector<double> values;  // nrows * ncols, row 0 at the top

  Raster() = default;
  Raster(int cols, int rows, double fill) : ncols(cols), nrows(rows), values(Size(), fill) {}
  std::size_t Size() const { return static_cast<std::size_t>(ncols) * nrows; }
  double& at(int r, int c) { return values[static_cast<std::size_t>(r) * ncols + c]; }
  double at(int r, int c) const { return values[static_cast<std::size_t>(r) * ncols + c]; }
  bool IsNodata(int r, int c) const { return at(r, c) == nodata; }
};

// Mean radius of the Earth (IUGG), metres.
inline constexpr double kEarthRadius = 6371008.8;

// Local equirectangular projection: x east and y north in metres from the origin (lon0, lat0),
// with the east-west scale of the latitude `lat_scale`.
struct LocalProjection {
  double lon0 = 0;
  double lat0 = 0;
  double lat_scale = 0;
  void ToMetric(double lon, double lat, double& x, double& y) const;
  void ToGeographic(double x, double y, double& lon, double& lat) const;
};

// The projection of a geographic tile with its origin at the tile's lower-left corner and its
// scale latitude at the tile's centre; the tile becomes the rectangle [0, width] x [0, height].
LocalProjection TileProjection(const Raster& geographic);

// The metric grid of `cellsize` metres that fits inside the projected tile, centred in it, with
// every cell interpolated bilinearly from the centres of the geographic cells. Cells whose four
// neighbours include nodata become nodata.
Raster ResampleToMetric(const Raster& geographic, const LocalProjection& projection,
                        double cellsize);

// Elevations raised so that every cell drains to the grid border (priority flood): a cell is
// never lower than the lowest cell on its way out, and flat areas get a tiny rise `epsilon`
// per cell towards the outlet so that D8 directions are defined everywhere.
Raster FillDepressions(const Raster& dem, double epsilon);

// D8 flow directions: the index (r * ncols + c) of the steepest-descent neighbour, diagonal
// distances counting sqrt(2); -1 for a cell on the border that has no lower neighbour (it
// drains out of the grid) and for nodata cells.
std::vector<int64_t> FlowDirections(const Raster& filled);

// Number of cells draining through each cell, the cell itself included (0 for nodata).
std::vector<int64_t> FlowAccumulation(const std::vector<int64_t>& downstream);

// The largest whole catchment of the tile (the cell with the greatest accumulation none of
// whose upstream cells lies on the grid border, where the tile may cut the catchment off),
// split into subbasins: the main stem runs upstream from the outlet along the
// greatest accumulation; every tributary joining it with at least `tributary_share` of the
// basin's cells (at most `max_tributaries`, the largest first) is one subbasin and splits the
// main stem above the confluence into another. Zone codes 1..n are given upstream first (by the
// flow distance of the subbasin outlet from the basin outlet); cells outside the basin hold 0.
struct Subbasins {
  std::vector<int> zone;         // per cell, 0 outside the basin
  std::vector<int64_t> outlets;  // outlet cell of zone code k at index k - 1
  int64_t basin_outlet = -1;
  int64_t basin_cells = 0;
};
Subbasins DelineateSubbasins(const Raster& dem, const std::vector<int64_t>& downstream,
                             const std::vector<int64_t>& accumulation, double tributary_share,
                             int max_tributaries);

// Slope (degrees) and aspect (compass degrees, clockwise from north, towards which the cell
// faces) by Horn's third-order finite differences; border cells reuse their own value for a
// missing neighbour. Nodata where the DEM is nodata.
void SlopeAndAspect(const Raster& dem, Raster& slope, Raster& aspect);

// Land-use and soil class rules of the example (codes of its tables).
struct ClassRules {
  double subalpine_from = 2800;  // m: subalpine forest above, montane forest below
  double river_cells = 100;      // accumulation (cells) from which a cell holds a stream
  double meadow_max_slope = 8;   // degrees: stream cells flatter than this are meadows
  double dry_slope_min = 15;     // degrees: steeper south-facing montane slopes are grassland
  double steep_soil_slope = 20;  // degrees: shallow loamy sand above, sandy loam below
  double valley_soil_slope = 5;  // degrees: loam below
};
inline constexpr int kMeadow = 10, kMontaneForest = 20, kSubalpineForest = 30, kGrassShrub = 40;
inline constexpr int kLoam = 1, kSandyLoam = 2, kLoamySand = 3;

int LanduseClass(const ClassRules& rules, double elevation, double slope, double aspect,
                 int64_t accumulation);
int SoilClass(const ClassRules& rules, double slope, int64_t accumulation);

// The reach of discharge routing through a subbasin: the main stream from the zone's outlet
// upstream, always to the stream cell (accumulation >= `stream_cells`) of the same zone that
// drains most, as long as there is one. Each cell counts the flow distance to the cell below it
// (the cell size, times sqrt(2) diagonally); the fall runs from the top cell of the reach to the
// cell below the outlet (the outlet itself at the basin outlet).
struct Reach {
  int zone = 0;
  int downstream_zone = 0;  // the zone the outlet drains into; 0 at the basin outlet
  double area = 0;          // km2 drained at the outlet
  int cells = 0;
  double length = 0;  // m
  double fall = 0;    // m
};
std::vector<Reach> ChannelReaches(const Raster& dem, const std::vector<int64_t>& down,
                                  const std::vector<int64_t>& accumulation, const Subbasins& s,
                                  int64_t stream_cells);

}  // namespace velorn::tools

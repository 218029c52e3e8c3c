// Derived grids as pure functions: cell sizes, coordinates, slope and aspect, neighbour fill
// and region weights (see derived_grids.h).
#include "setup/derived_grids.h"

#include <algorithm>
#include <cmath>

#include "core/nodata.h"

namespace velorn {

std::string DerivedFileName(const std::string& source, const std::string& suffix,
                            const std::string& suffix_without_dot) {
  const std::size_t dot = source.rfind('.');
  if (dot == std::string::npos)
    return source + (suffix_without_dot.empty() ? suffix : suffix_without_dot);
  return source.substr(0, dot) + suffix;
}

// ---- Cell sizes ---------------------------------------------------------------------------------

CellSizeFault DeriveCellSizes(const CellSizeSources& sources, double cs, CellSizeValues& cell) {
  const double mean_area = cs * cs;
  if (sources.x_given) {
    if (cell.x == 0) return CellSizeFault::kZeroX;
    if (!sources.y_given) {
      cell.y = mean_area * cell.area / cell.x;
    } else if (sources.area_given) {
      if (std::fabs(cell.area - cell.x * cell.y / mean_area) > kRelativeAreaTolerance)
        return CellSizeFault::kAreaMismatch;
    } else {
      cell.area = cell.x * cell.y / mean_area;
    }
    return CellSizeFault::kNone;
  }
  if (!sources.y_given) {
    cell.x = cell.y = std::sqrt(mean_area * cell.area);
    return CellSizeFault::kNone;
  }
  if (cell.y == 0) return CellSizeFault::kZeroY;
  cell.x = mean_area * cell.area / cell.y;
  return CellSizeFault::kNone;
}

// ---- Coordinates --------------------------------------------------------------------------------

namespace {

bool RowHasZone(double** zone, const GridGeometry& g, int32_t row) {
  for (int32_t c = 1; c <= g.ncols; ++c)
    if (IsNotNodata(zone[row][c], g.nodata)) return true;
  return false;
}

int32_t FirstZoneColumn(double** zone, const GridGeometry& g, int32_t row) {
  for (int32_t c = 1; c <= g.ncols; ++c)
    if (IsNotNodata(zone[row][c], g.nodata)) return c;
  return 0;
}

// Width or height of a cell: the size grid's value, or cs where it holds nodata or below.
double SizeOf(double value, const GridGeometry& g) {
  return value <= g.nodata ? g.cellsize : value;
}

}  // namespace

void ComputeCoordinates(const GridGeometry& g, double** zone, double** size_x, double** size_y,
                        double** coord_x, double** coord_y) {
  for (int32_t r = 1; r <= g.nrows; ++r)
    for (int32_t c = 1; c <= g.ncols; ++c) {
      coord_x[r][c] = g.xll + (c - 1) * g.cellsize;
      coord_y[r][c] = g.yll + (g.nrows - r) * g.cellsize;
    }
  if (size_x != nullptr && size_y != nullptr) {
    int32_t last = g.nrows;
    while (last >= 1 && !RowHasZone(zone, g, last)) --last;
    if (last >= 1) {
      // The last domain row keeps its regular corners up to its first zone cell.
      const int32_t first = std::max(FirstZoneColumn(zone, g, last) + 1, 2);
      for (int32_t c = first; c <= g.ncols; ++c)
        coord_x[last][c] = coord_x[last][c - 1] + SizeOf(size_x[last][c - 1], g);
      for (int32_t r = last - 1; r >= 1; --r) {
        coord_x[r][1] = g.xll;
        for (int32_t c = 2; c <= g.ncols; ++c) {
          coord_x[r][c] = coord_x[r][c - 1] + SizeOf(size_x[r][c - 1], g);
          coord_y[r][c] = coord_y[r + 1][c] + SizeOf(size_y[r + 1][c], g);
        }
      }
    }
  }
  for (int32_t r = 1; r <= g.nrows; ++r)
    for (int32_t c = 1; c <= g.ncols; ++c)
      if (IsNodata(zone[r][c], g.nodata)) coord_x[r][c] = coord_y[r][c] = g.nodata;
}

// ---- Slope and aspect ---------------------------------------------------------------------------

SlopeAspect SlopeAndAspect(double north, double west, double east, double south, double cs,
                           double nodata) {
  if (IsNodata(north, nodata) || IsNodata(west, nodata) || IsNodata(east, nodata) ||
      IsNodata(south, nodata))
    return {nodata, nodata};
  const double dzdx = (east - west) / (2 * cs);
  const double dzdy = (north - south) / (2 * cs);
  SlopeAspect result;
  if (dzdx != 0 || dzdy != 0)
    result.slope = std::atan(std::sqrt(dzdx * dzdx + dzdy * dzdy)) * kSlopeDegreesPerRadian;
  if (dzdx == 0)
    result.aspect = dzdy > 0 ? 180.0 : 0.0;
  else
    result.aspect =
        180.0 - std::atan(dzdy / dzdx) * kSlopeDegreesPerRadian + 90.0 * (dzdx > 0 ? 1.0 : -1.0);
  return result;
}

void FillFromNeighbourCells(double** grid, int32_t row, int32_t col, int32_t nrows, int32_t ncols,
                            double nodata) {
  double sum = 0;
  int count = 0;
  for (int32_t r = std::max(row - 1, 1); r <= std::min(row + 1, nrows); ++r)
    for (int32_t c = std::max(col - 1, 1); c <= std::min(col + 1, ncols); ++c) {
      if (r == row && c == col) continue;
      if (IsNodata(grid[r][c], nodata)) continue;
      sum += grid[r][c];
      ++count;
    }
  if (count > 0) grid[row][col] = sum / count;
}

void ComputeSlopeAndAspect(const GridGeometry& g, double** z, double** slope, double** aspect) {
  for (int32_t r = 1; r <= g.nrows; ++r)
    for (int32_t c = 1; c <= g.ncols; ++c) {
      SlopeAspect cell{g.nodata, g.nodata};
      if (r > 1 && r < g.nrows && c > 1 && c < g.ncols)
        cell = SlopeAndAspect(z[r - 1][c], z[r][c - 1], z[r][c + 1], z[r + 1][c], g.cellsize,
                              g.nodata);
      if (slope != nullptr) slope[r][c] = cell.slope;
      if (aspect != nullptr) aspect[r][c] = cell.aspect;
    }
  // In place and in scan order: cells filled earlier count as neighbours of later ones.
  for (double** grid : {aspect, slope}) {
    if (grid == nullptr) continue;
    for (int32_t r = 1; r <= g.nrows; ++r)
      for (int32_t c = 1; c <= g.ncols; ++c)
        if (IsNotNodata(z[r][c], g.nodata) && IsNodata(grid[r][c], g.nodata))
          FillFromNeighbourCells(grid, r, c, g.nrows, g.ncols, g.nodata);
  }
}

// ---- Region weights -----------------------------------------------------------------------------

namespace {

struct NearestCell {
  int32_t row = 0;
  int32_t col = 0;
};

// The other regions met within the transition radius of one cell: codes (0: none), the
// smallest truncated distances and the cells where they were met.
struct RegionScan {
  double region2 = 0;
  double region3 = 0;
  double distance1 = 0;  // distance to the nearest cell of region 2 (weights1 at the end)
  double distance2 = 0;
  double distance3 = 0;
  NearestCell near2;
  NearestCell near3;
};

RegionScan ScanCircle(const GridGeometry& g, double** regions, int32_t i, int32_t j, double radius,
                      int32_t region_count) {
  RegionScan s;
  s.distance1 = s.distance2 = s.distance3 = radius;
  if (region_count < 2) return s;
  const double own = regions[i][j];
  // No scan reaches beyond the grid: the bound keeps the casts of a huge radius defined.
  const double within = std::min(radius, static_cast<double>(g.nrows) + g.ncols);
  const auto reach = static_cast<int32_t>(std::floor(within));
  for (int32_t k = std::max(1, i - reach); k <= std::min(g.nrows, i + reach); ++k) {
    const double dy = i - k;
    const auto half = static_cast<int32_t>(std::floor(std::sqrt(within * within - dy * dy)));
    for (int32_t c = std::max(1, j - half); c <= std::min(g.ncols, j + half); ++c) {
      const double q = regions[k][c];
      if (q == own || q <= g.nodata) continue;
      const double dx = j - c;
      const double d = std::floor(std::sqrt(dx * dx + dy * dy));
      if (s.region2 == 0) s.region2 = q;
      if (q == s.region2) {
        if (d <= s.distance1) {
          s.distance1 = s.distance2 = d;
          s.near2 = {k, c};
        }
        continue;
      }
      if (region_count < 3) continue;
      if (s.region3 == 0) s.region3 = q;
      if (q == s.region3) {
        if (d <= s.distance3) {
          s.distance3 = d;
          s.near3 = {k, c};
        }
      } else if (s.distance3 <= s.distance2 && d < s.distance2) {
        s.region2 = q;
        s.distance2 = d;
        s.near2 = {k, c};
      } else if (s.distance3 > s.distance2 && d < s.distance3) {
        s.region3 = q;
        s.distance3 = d;
        s.near3 = {k, c};
      }
    }
  }
  return s;
}

// Weight of the own region from the distance to the nearest other one: 0.5 at the border,
// 1 at the transition radius and beyond.
double OwnWeight(double distance, double radius) {
  const double w = distance / (2 * radius) + 0.5;
  if (w > 1) return 1;
  if (w < 0.5) return 0.5;
  return w;
}

double Distance(int32_t i, int32_t j, const NearestCell& cell) {
  const double dy = i - cell.row;
  const double dx = j - cell.col;
  return std::sqrt(dx * dx + dy * dy);
}

// Weights of the own region and of the two others met (blended by inverse distances).
void ThreeRegionWeights(const RegionScan& s, int32_t i, int32_t j, double radius, double& w1,
                        double& w2, double& w3) {
  w1 = OwnWeight(s.distance1, radius);
  if (s.region3 == 0) {
    w3 = 0;
    w2 = s.region2 == 0 ? 0 : 1 - w1;
    return;
  }
  const double a = Distance(i, j, s.near2);
  const double b = Distance(i, j, s.near3);
  double p = radius - std::min(a, b);
  double q = radius + a;
  double t = radius + b;
  for (double* v : {&p, &q, &t})
    if (*v <= 0) *v = 1;
  const double f = (0.9 - 0.5 * std::cos(std::min({p, q, t}) / radius * 1.5707963)) / (2 * radius);
  const double e1 = std::max(1 / p - f, 0.0);
  const double e2 = std::max(1 / q - f, 0.0);
  const double e3 = std::max(1 / t - f, 0.0);
  const double sum = e1 + e2 + e3;
  if (sum <= 0) {  // only for radii below half a cell, where no other region is ever met
    w2 = 1 - w1;
    w3 = 0;
    return;
  }
  w1 = e1 / sum;
  w2 = e2 / sum;
  if (w1 + w2 > 1) w2 = 1 - w1;
  w3 = 1 - w1 - w2;
}

}  // namespace

void ComputeRegionWeightGrids(const GridGeometry& g, double** zone, int32_t region_count,
                              double transition_distance, const RegionWeightGrids& grids) {
  const double distance = transition_distance <= 0 ? 0.01 : transition_distance;
  const double radius = distance / g.cellsize;
  const bool two = region_count >= 2;
  const bool three = region_count >= 3;
  double** all[] = {grids.regions1, grids.weights1, grids.regions2,
                    grids.weights2, grids.regions3, grids.weights3};
  for (int32_t r = 1; r <= g.nrows; ++r)
    for (int32_t c = 1; c <= g.ncols; ++c)
      if (IsNodata(zone[r][c], g.nodata))
        for (double** grid : all)
          if (grid != nullptr) grid[r][c] = g.nodata;

  for (int32_t i = 1; i <= g.nrows; ++i) {
    for (int32_t j = 1; j <= g.ncols; ++j) {
      if (IsNodata(zone[i][j], g.nodata)) continue;
      const RegionScan s = ScanCircle(g, grids.regions1, i, j, radius, region_count);
      if (!two) {
        grids.weights1[i][j] = 1.0;
        continue;
      }
      double w1 = 0, w2 = 0, w3 = 0;
      if (!three) {
        w1 = OwnWeight(s.distance1, radius);
        w2 = 1 - w1;
      } else {
        ThreeRegionWeights(s, i, j, radius, w1, w2, w3);
        grids.regions3[i][j] = s.region3;
        grids.weights3[i][j] = w3;
      }
      grids.weights1[i][j] = w1;
      grids.regions2[i][j] = s.region2;
      grids.weights2[i][j] = w2;
    }
  }
}

std::vector<ColumnRange> ZoneColumnRanges(const GridGeometry& g, double** zone, int32_t first_row,
                                          int32_t last_row) {
  std::vector<ColumnRange> ranges(static_cast<std::size_t>(g.nrows) + 1);
  for (int32_t r = std::max(first_row, 1); r <= std::min(last_row, g.nrows); ++r)
    for (int32_t c = 1; c <= g.ncols; ++c) {
      if (IsNodata(zone[r][c], g.nodata)) continue;
      if (ranges[r].first == 0) ranges[r].first = c;
      ranges[r].last = c;
    }
  return ranges;
}

}  // namespace velorn

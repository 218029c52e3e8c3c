// Bilinear resampling of a raster onto a grid of another geometry (see grid_resampling.h).
#include "grids/grid_resampling.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/error_code.h"
#include "core/nodata.h"

namespace velorn {
namespace {

// Distance, in source cells, below which a target centre counts as lying on a source centre.
// It absorbs the rounding of coordinate arithmetic, so that a grid resampled onto its own
// geometry takes exactly its own values; it is far below any meaningful interpolation weight.
constexpr double kOnCentreTolerance = 1e-6;

// The two source cells around a target centre along one axis, counted in steps from the
// starting cell of the axis, and the weight of the second cell.
struct AxisNeighbours {
  int near = 0;
  int far = 0;  // equal to `near` at and beyond the outer centres
  double far_weight = 0.0;
};

// `offset` is the target centre's distance from the centre of the starting source cell, in
// source cells along the axis; `count` is the number of source cells along it.
AxisNeighbours LocateOnAxis(double offset, int count) {
  const double nearest = std::round(offset);
  if (std::fabs(offset - nearest) < kOnCentreTolerance) offset = nearest;
  // Beyond the edges every point takes the edge cell; bounding the offset first keeps the
  // integer conversion defined for any coordinate.
  if (!(offset >= -1.0)) offset = -1.0;
  if (offset > count) offset = count;
  const int below = static_cast<int>(std::floor(offset));
  AxisNeighbours neighbours;
  neighbours.near = std::clamp(below, 0, count - 1);
  neighbours.far = std::clamp(below + 1, 0, count - 1);
  if (neighbours.far != neighbours.near) neighbours.far_weight = offset - below;
  return neighbours;
}

// Weighted mean of the four neighbours (lower row r1, upper row r2, left column k1, right
// column k2). A neighbour with weight 0 is not consulted; a weighted nodata neighbour makes the
// result nodata.
double BlendNeighbours(double** source, int r1, int r2, int k1, int k2, double fx, double fy) {
  const double weights[4] = {(1.0 - fx) * (1.0 - fy), fx * (1.0 - fy), (1.0 - fx) * fy, fx * fy};
  const double values[4] = {source[r1][k1], source[r1][k2], source[r2][k1], source[r2][k2]};
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) {
    if (weights[i] == 0.0) continue;
    if (IsMissing(values[i])) return kNodata;
    sum += weights[i] * values[i];
  }
  return sum;
}

void CheckGeometry(DiagnosticStream& diag, double** source, double** target, int source_cols,
                   int source_rows, double source_x0, double source_y0, double source_cellsize,
                   double target_x0, double target_y0, double target_cellsize) {
  const bool sizes_ok = std::isfinite(source_cellsize) && source_cellsize > 0.0 &&
                        std::isfinite(target_cellsize) && target_cellsize > 0.0;
  const bool corners_ok = std::isfinite(source_x0) && std::isfinite(source_y0) &&
                          std::isfinite(target_x0) && std::isfinite(target_y0);
  if (sizes_ok && corners_ok && source_cols > 0 && source_rows > 0 && source != nullptr &&
      target != nullptr)
    return;
  ThrowFatal(diag, 22, "FATAL: cannot resample a grid of ", source_rows, " rows and ", source_cols,
             " columns with lower-left corner ", source_x0, "/", source_y0, " and cell size ",
             source_cellsize, " onto cells of size ", target_cellsize, " with lower-left corner ",
             target_x0, "/", target_y0,
             source == nullptr || target == nullptr ? " (no grid given)" : "");
}

}  // namespace

void ResampleToGrid(DiagnosticStream& diag, double** source, int source_first_col,
                    int source_last_col, int source_first_row, int source_last_row, double** target,
                    int target_first_col, int target_last_col, int target_first_row,
                    int target_last_row, double** mask, double source_x0, double source_y0,
                    double source_cellsize, double target_x0, double target_y0,
                    double target_cellsize) {
  if (target_last_row < target_first_row || target_last_col < target_first_col) return;
  const int source_cols = source_last_col - source_first_col + 1;
  const int source_rows = source_last_row - source_first_row + 1;
  CheckGeometry(diag, source, target, source_cols, source_rows, source_x0, source_y0,
                source_cellsize, target_x0, target_y0, target_cellsize);

  // Columns counted from the left source column; the same pair serves every target row.
  std::vector<AxisNeighbours> columns(static_cast<size_t>(target_last_col - target_first_col) + 1);
  for (int c = target_first_col; c <= target_last_col; ++c) {
    const double x = target_x0 + target_cellsize * (c - target_first_col + 0.5);
    columns[static_cast<size_t>(c - target_first_col)] =
        LocateOnAxis((x - source_x0) / source_cellsize - 0.5, source_cols);
  }

  // Rows counted upwards from the bottom source row, walking the target from its bottom row.
  for (int r = target_last_row; r >= target_first_row; --r) {
    const double y = target_y0 + target_cellsize * (target_last_row - r + 0.5);
    const AxisNeighbours rows = LocateOnAxis((y - source_y0) / source_cellsize - 0.5, source_rows);
    const int lower_row = source_last_row - rows.near;
    const int upper_row = source_last_row - rows.far;
    for (int c = target_first_col; c <= target_last_col; ++c) {
      if (mask != nullptr && IsMissing(mask[r][c])) {
        target[r][c] = mask[r][c];
        continue;
      }
      const AxisNeighbours& cols = columns[static_cast<size_t>(c - target_first_col)];
      target[r][c] = BlendNeighbours(source, lower_row, upper_row, source_first_col + cols.near,
                                     source_first_col + cols.far, cols.far_weight, rows.far_weight);
    }
  }
}

}  // namespace velorn

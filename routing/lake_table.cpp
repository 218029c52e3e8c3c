// The level-volume table of a lake (see lake_table.h).
#include "routing/lake_table.h"

#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/value_ranges.h"

namespace velorn {
namespace {

// Linear interpolation of y at x between rows of the table (x descending in `xs`): the segment
// whose lower end is the first at or below x, at most the last; above the first row the first
// segment is extended.
double Interpolate(const std::vector<double>& xs, const std::vector<double>& ys, double x) {
  const std::size_t n = xs.size();
  if (n == 1) return ys[0];
  std::size_t k = 0;
  if (x < xs[1] && n > 2) {
    k = 1;
    while (k < n - 2 && xs[k + 1] > x) ++k;
  }
  const double span = xs[k] - xs[k + 1];
  if (span == 0.0) return ys[k];
  return ((xs[k] - x) * ys[k + 1] + (x - xs[k + 1]) * ys[k]) / span;
}

}  // namespace

LakeRowCounts LakeRows(double depth) {
  LakeRowCounts c;
  c.d1 = std::min(depth, 4.0);
  c.n1 = depth >= 4.0 ? 400 : std::max(1, static_cast<int32_t>(depth / 0.01));
  const double rest = depth - c.d1;
  if (rest >= 10.0) {
    c.d2 = 10.0;
    c.n2 = 500;
  } else {
    c.d2 = rest;
    c.n2 = static_cast<int32_t>(rest / 0.02);
  }
  c.n3 = static_cast<int32_t>(std::ceil((rest - c.d2) / 0.05));
  return c;
}

LakeVolumeTable BuildLakeVolumeTable(const std::vector<LakeCell>& cells, double cellsize,
                                     int32_t id, DiagnosticStream& diag) {
  if (cells.empty())
    ThrowFatal(diag, kLakeTopCode, "FATAL: lake ", id, " has no cell in the grid \"lake_codes\"");
  const double reference = cells.front().elevation + cells.front().max_ponding / 1000.0;
  double zmin = cells.front().elevation;
  double ztop = reference;
  for (const LakeCell& c : cells) {
    const double top = c.elevation + c.max_ponding / 1000.0;
    if (!(std::fabs(reference - top) <= kLakeTopTolerance))
      ThrowFatal(diag, kLakeTopCode, "FATAL: \n============== ERROR ====================\n",
                 "Error in initialization for lake ", id, ".",
                 "All Cells for a lake must have the same Altitude value for DEM + MAXPOND\n",
                 "Value at row ", c.row, ", col ", c.col, " is ", c.elevation, "\n",
                 "but first value of dhm for this lake was ", reference, "\n",
                 "\n\n=======================================\n");
    zmin = std::min(zmin, c.elevation);
    ztop = std::max(ztop, top);
  }
  const double depth = ztop - zmin;
  if (!(depth > 0.0))
    ThrowFatal(diag, kLakeTopCode, "FATAL: lake ", id,
               " has no volume: its cells' maximum ponding storage is 0 (top ", ztop,
               " m a.s.l. equals its lowest elevation)");
  // The table's row counts are integers: a depth beyond any relief on Earth (a maximum ponding
  // storage of 1e308 mm) would overflow them.
  if (depth > kLargestRelief)
    ThrowFatal(diag, kLakeTopCode, "FATAL: lake ", id, " is ", depth, " m deep (top ", ztop,
               " m a.s.l., lowest cell ", zmin,
               " m a.s.l.), more than any relief on Earth: check its cells' maximum ponding "
               "storage (mm) and elevations");
  const LakeRowCounts n = LakeRows(depth);
  LakeVolumeTable t;
  t.level.resize(static_cast<std::size_t>(n.rows()));
  t.volume.assign(t.level.size(), 0.0);
  for (int32_t i = 0; i < n.n1; ++i) t.level[i] = ztop - 0.01 * i;
  for (int32_t i = 0; i < n.n2; ++i) t.level[n.n1 + i] = ztop - n.d1 - 0.02 * i;
  for (int32_t i = 0; i < n.n3; ++i) t.level[n.n1 + n.n2 + i] = ztop - n.d1 - n.d2 - 0.05 * i;
  t.level.back() = zmin;
  const double area = cellsize * cellsize;
  for (std::size_t r = 0; r + 1 < t.level.size(); ++r)
    for (const LakeCell& c : cells)
      if (c.elevation < t.level[r]) t.volume[r] += area * (t.level[r] - c.elevation);
  return t;
}

double GetLevelForVolume(const LakeVolumeTable& table, double v) {
  return Interpolate(table.volume, table.level, v);
}

double GetVolumeForLevel(const LakeVolumeTable& table, double z) {
  return Interpolate(table.level, table.volume, z);
}

}  // namespace velorn

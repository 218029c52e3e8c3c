// Terrain analysis of the example basin generator (see basin_terrain.h).
#include "tools/basin_terrain.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <queue>
#include <set>
#include <stdexcept>
#include <tuple>

namespace velorn::tools {
namespace {

constexpr double kRadian = std::numbers::pi / 180.0;
// Neighbour offsets, clockwise from north.
constexpr int kDr[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kDc[8] = {0, 1, 1, 1, 0, -1, -1, -1};

bool Inside(const Raster& g, int r, int c) {
  return r >= 0 && r < g.nrows && c >= 0 && c < g.ncols;
}

bool OnEdge(const Raster& g, int r, int c) {
  if (r == 0 || c == 0 || r == g.nrows - 1 || c == g.ncols - 1) return true;
  for (int k = 0; k < 8; ++k)
    if (g.IsNodata(r + kDr[k], c + kDc[k])) return true;
  return false;
}

// Bilinear value at fractional position (row, col) of the cell centres; nodata when a corner
// is nodata.
double Bilinear(const Raster& g, double row, double col) {
  row = std::clamp(row, 0.0, g.nrows - 1.0);
  col = std::clamp(col, 0.0, g.ncols - 1.0);
  const int r0 = std::min(static_cast<int>(row), g.nrows - 2 < 0 ? 0 : g.nrows - 2);
  const int c0 = std::min(static_cast<int>(col), g.ncols - 2 < 0 ? 0 : g.ncols - 2);
  const int r1 = std::min(r0 + 1, g.nrows - 1), c1 = std::min(c0 + 1, g.ncols - 1);
  const double fr = row - r0, fc = col - c0;
  const double v00 = g.at(r0, c0), v01 = g.at(r0, c1), v10 = g.at(r1, c0), v11 = g.at(r1, c1);
  for (double v : {v00, v01, v10, v11})
    if (v == g.nodata) return g.nodata;
  return (1 - fr) * ((1 - fc) * v00 + fc * v01) + fr * ((1 - fc) * v10 + fc * v11);
}

}  // namespace

void LocalProjection::ToMetric(double lon, double lat, double& x, double& y) const {
  x = kEarthRadius * std::cos(lat_scale * kRadian) * (lon - lon0) * kRadian;
  y = kEarthRadius * (lat - lat0) * kRadian;
}

void LocalProjection::ToGeographic(double x, double y, double& lon, double& lat) const {
  lon = lon0 + x / (kEarthRadius * std::cos(lat_scale * kRadian)) / kRadian;
  lat = lat0 + y / kEarthRadius / kRadian;
}

LocalProjection TileProjection(const Raster& geographic) {
  LocalProjection p;
  p.lon0 = geographic.xll;
  p.lat0 = geographic.yll;
  p.lat_scale = geographic.yll + 0.5 * geographic.nrows * geographic.cellsize;
  return p;
}

Raster ResampleToMetric(const Raster& geo, const LocalProjection& projection, double cellsize) {
  double width = 0, height = 0;
  projection.ToMetric(geo.xll + geo.ncols * geo.cellsize, geo.yll + geo.nrows * geo.cellsize, width,
                      height);
  Raster out(static_cast<int>(std::floor(width / cellsize)),
             static_cast<int>(std::floor(height / cellsize)), 0.0);
  if (out.ncols < 3 || out.nrows < 3)
    throw std::runtime_error("the tile holds fewer than 3 x 3 cells of the metric grid");
  out.cellsize = cellsize;
  out.nodata = -9999.0;
  out.xll = std::floor((width - out.ncols * cellsize) / 2);
  out.yll = std::floor((height - out.nrows * cellsize) / 2);
  const double top = geo.yll + geo.nrows * geo.cellsize;
  for (int r = 0; r < out.nrows; ++r)
    for (int c = 0; c < out.ncols; ++c) {
      const double x = out.xll + (c + 0.5) * cellsize;
      const double y = out.yll + (out.nrows - r - 0.5) * cellsize;
      double lon = 0, lat = 0;
      projection.ToGeographic(x, y, lon, lat);
      const double v =
          Bilinear(geo, (top - lat) / geo.cellsize - 0.5, (lon - geo.xll) / geo.cellsize - 0.5);
      out.at(r, c) = v == geo.nodata ? out.nodata : v;
    }
  return out;
}

Raster FillDepressions(const Raster& dem, double epsilon) {
  Raster filled = dem;
  // (elevation, order of insertion, cell): the order breaks ties the same way on every machine.
  using Item = std::tuple<double, int64_t, int64_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> open;
  std::vector<char> done(dem.Size(), 0);
  int64_t order = 0;
  for (int r = 0; r < dem.nrows; ++r)
    for (int c = 0; c < dem.ncols; ++c)
      if (!dem.IsNodata(r, c) && OnEdge(dem, r, c)) {
        const int64_t i = static_cast<int64_t>(r) * dem.ncols + c;
        done[i] = 1;
        open.emplace(dem.at(r, c), order++, i);
      }
  while (!open.empty()) {
    const auto [z, unused, i] = open.top();
    open.pop();
    const int r = static_cast<int>(i / dem.ncols), c = static_cast<int>(i % dem.ncols);
    for (int k = 0; k < 8; ++k) {
      const int nr = r + kDr[k], nc = c + kDc[k];
      if (!Inside(dem, nr, nc) || dem.IsNodata(nr, nc)) continue;
      const int64_t n = static_cast<int64_t>(nr) * dem.ncols + nc;
      if (done[n]) continue;
      done[n] = 1;
      filled.values[n] = std::max(dem.values[n], z + epsilon);
      open.emplace(filled.values[n], order++, n);
    }
  }
  return filled;
}

std::vector<int64_t> FlowDirections(const Raster& filled) {
  std::vector<int64_t> down(filled.Size(), -1);
  for (int r = 0; r < filled.nrows; ++r)
    for (int c = 0; c < filled.ncols; ++c) {
      if (filled.IsNodata(r, c)) continue;
      double steepest = 0;
      for (int k = 0; k < 8; ++k) {
        const int nr = r + kDr[k], nc = c + kDc[k];
        if (!Inside(filled, nr, nc) || filled.IsNodata(nr, nc)) continue;
        const double drop =
            (filled.at(r, c) - filled.at(nr, nc)) / ((k % 2 == 1) ? std::numbers::sqrt2 : 1.0);
        if (drop > steepest) {
          steepest = drop;
          down[static_cast<std::size_t>(r) * filled.ncols + c] =
              static_cast<int64_t>(nr) * filled.ncols + nc;
        }
      }
    }
  return down;
}

std::vector<int64_t> FlowAccumulation(const std::vector<int64_t>& downstream) {
  const std::size_t n = downstream.size();
  std::vector<int64_t> inflows(n, 0), acc(n, 1);
  for (int64_t d : downstream)
    if (d >= 0) ++inflows[static_cast<std::size_t>(d)];
  std::vector<int64_t> ready;
  for (std::size_t i = 0; i < n; ++i)
    if (inflows[i] == 0) ready.push_back(static_cast<int64_t>(i));
  while (!ready.empty()) {
    const int64_t i = ready.back();
    ready.pop_back();
    const int64_t d = downstream[static_cast<std::size_t>(i)];
    if (d < 0) continue;
    acc[static_cast<std::size_t>(d)] += acc[static_cast<std::size_t>(i)];
    if (--inflows[static_cast<std::size_t>(d)] == 0) ready.push_back(d);
  }
  return acc;
}

Subbasins DelineateSubbasins(const Raster& dem, const std::vector<int64_t>& down,
                             const std::vector<int64_t>& acc_in, double tributary_share,
                             int max_tributaries) {
  const int64_t n = static_cast<int64_t>(dem.Size());
  std::vector<int64_t> acc = acc_in;
  for (int64_t i = 0; i < n; ++i)
    if (dem.values[i] == dem.nodata) acc[i] = 0;
  Subbasins s;
  s.zone.assign(dem.Size(), 0);
  // Cells below a border cell drain a catchment that the tile cuts off.
  std::vector<char> truncated(dem.Size(), 0);
  for (int64_t i = 0; i < n; ++i) {
    const int r = static_cast<int>(i / dem.ncols), c = static_cast<int>(i % dem.ncols);
    if (acc[i] == 0 || !OnEdge(dem, r, c)) continue;
    for (int64_t j = i; j >= 0 && !truncated[j]; j = down[j]) truncated[j] = 1;
  }
  for (int64_t i = 0; i < n; ++i)
    if (!truncated[i] && acc[i] > 0 && (s.basin_outlet < 0 || acc[i] > acc[s.basin_outlet]))
      s.basin_outlet = i;
  if (s.basin_outlet < 0) throw std::runtime_error("the DEM holds no whole catchment");
  s.basin_cells = acc[s.basin_outlet];

  std::vector<std::vector<int64_t>> inflows(dem.Size());
  for (int64_t i = 0; i < n; ++i)
    if (down[i] >= 0 && acc[i] > 0) inflows[down[i]].push_back(i);

  // Main stem upstream along the greatest accumulation; candidate tributaries on the way.
  struct Junction {
    int64_t tributary, above;
  };
  std::vector<Junction> junctions;
  for (int64_t m = s.basin_outlet;;) {
    int64_t above = -1;
    for (int64_t j : inflows[m])
      if (above < 0 || acc[j] > acc[above]) above = j;
    if (above < 0) break;
    for (int64_t j : inflows[m])
      if (j != above && acc[j] >= tributary_share * s.basin_cells) junctions.push_back({j, above});
    m = above;
  }
  std::stable_sort(junctions.begin(), junctions.end(), [&](const Junction& a, const Junction& b) {
    return acc[a.tributary] > acc[b.tributary];
  });
  if (static_cast<int>(junctions.size()) > max_tributaries) junctions.resize(max_tributaries);

  std::set<int64_t> outlet_set{s.basin_outlet};
  for (const Junction& j : junctions) outlet_set.insert({j.tributary, j.above});
  // Flow distance of every outlet from the basin outlet; upstream outlets get the low codes.
  std::vector<std::pair<double, int64_t>> ranked;
  for (int64_t o : outlet_set) {
    double distance = 0;
    for (int64_t i = o; i != s.basin_outlet; i = down[i]) {
      const int64_t d = down[i];
      const bool diagonal = (i / dem.ncols != d / dem.ncols) && (i % dem.ncols != d % dem.ncols);
      distance += diagonal ? std::numbers::sqrt2 : 1.0;
    }
    ranked.emplace_back(-distance, o);
  }
  std::sort(ranked.begin(), ranked.end());
  std::vector<int> code_of(dem.Size(), 0);
  for (std::size_t k = 0; k < ranked.size(); ++k) {
    code_of[ranked[k].second] = static_cast<int>(k) + 1;
    s.outlets.push_back(ranked[k].second);
  }

  // Downstream cells carry more cells than any cell above them, so visiting the cells by
  // falling accumulation meets every cell after the cell it drains to.
  std::vector<int64_t> order;
  for (int64_t i = 0; i < n; ++i)
    if (acc[i] > 0) order.push_back(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t a, int64_t b) { return acc[a] > acc[b]; });
  for (int64_t i : order) {
    if (code_of[i] > 0 && (i == s.basin_outlet || s.zone[down[i]] > 0))
      s.zone[i] = code_of[i];
    else if (down[i] >= 0)
      s.zone[i] = s.zone[down[i]];
  }
  return s;
}

void SlopeAndAspect(const Raster& dem, Raster& slope, Raster& aspect) {
  slope = dem;
  aspect = dem;
  for (int r = 0; r < dem.nrows; ++r)
    for (int c = 0; c < dem.ncols; ++c) {
      if (dem.IsNodata(r, c)) continue;
      auto z = [&](int dr, int dc) {
        const int nr = r + dr, nc = c + dc;
        return (Inside(dem, nr, nc) && !dem.IsNodata(nr, nc)) ? dem.at(nr, nc) : dem.at(r, c);
      };
      // Gradient towards east and towards south (rows grow southwards).
      const double east =
          ((z(-1, 1) + 2 * z(0, 1) + z(1, 1)) - (z(-1, -1) + 2 * z(0, -1) + z(1, -1))) /
          (8 * dem.cellsize);
      const double south =
          ((z(1, -1) + 2 * z(1, 0) + z(1, 1)) - (z(-1, -1) + 2 * z(-1, 0) + z(-1, 1))) /
          (8 * dem.cellsize);
      slope.at(r, c) = std::atan(std::hypot(east, south)) / kRadian;
      if (east == 0 && south == 0) {
        aspect.at(r, c) = -1;  // flat: faces nowhere
        continue;
      }
      // The cell faces downhill: against the gradient, north being minus south.
      double a = std::atan2(-east, south) / kRadian;
      if (a < 0) a += 360;
      aspect.at(r, c) = a;
    }
}

int LanduseClass(const ClassRules& rules, double elevation, double slope, double aspect,
                 int64_t accumulation) {
  if (accumulation >= rules.river_cells && slope < rules.meadow_max_slope) return kMeadow;
  if (elevation >= rules.subalpine_from) return kSubalpineForest;
  if (slope >= rules.dry_slope_min && aspect >= 135 && aspect <= 225) return kGrassShrub;
  return kMontaneForest;
}

int SoilClass(const ClassRules& rules, double slope, int64_t accumulation) {
  if (slope < rules.valley_soil_slope && accumulation >= rules.river_cells) return kLoam;
  if (slope >= rules.steep_soil_slope) return kLoamySand;
  return kSandyLoam;
}

std::vector<Reach> ChannelReaches(const Raster& dem, const std::vector<int64_t>& down,
                                  const std::vector<int64_t>& acc, const Subbasins& s,
                                  int64_t stream_cells) {
  const auto step = [&](int64_t from, int64_t to) {
    const bool diagonal = from / dem.ncols != to / dem.ncols && from % dem.ncols != to % dem.ncols;
    return dem.cellsize * (diagonal ? std::sqrt(2.0) : 1.0);
  };
  std::vector<Reach> reaches;
  for (std::size_t k = 0; k < s.outlets.size(); ++k) {
    Reach reach;
    reach.zone = static_cast<int>(k) + 1;
    const int64_t outlet = s.outlets[k];
    const int64_t below = down[outlet];
    reach.downstream_zone = below >= 0 ? s.zone[below] : 0;
    reach.area = static_cast<double>(acc[outlet]) * dem.cellsize * dem.cellsize / 1e6;
    int64_t cell = outlet;
    reach.length = below >= 0 ? step(outlet, below) : dem.cellsize;
    reach.cells = 1;
    for (;;) {
      const int r = static_cast<int>(cell / dem.ncols), c = static_cast<int>(cell % dem.ncols);
      int64_t up = -1;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
          const int rr = r + dr, cc = c + dc;
          if ((dr == 0 && dc == 0) || rr < 0 || cc < 0 || rr >= dem.nrows || cc >= dem.ncols)
            continue;
          const int64_t j = static_cast<int64_t>(rr) * dem.ncols + cc;
          if (down[j] == cell && s.zone[j] == reach.zone && acc[j] >= stream_cells &&
              (up < 0 || acc[j] > acc[up]))
            up = j;
        }
      if (up < 0) break;
      reach.length += step(up, cell);
      ++reach.cells;
      cell = up;
    }
    reach.fall = dem.values[cell] - dem.values[below >= 0 ? below : outlet];
    reaches.push_back(reach);
  }
  return reaches;
}

}  // namespace velorn::tools

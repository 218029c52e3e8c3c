// Altitude regression of station values (see station_regression.h).
#include "meteo/station_regression.h"

#include <cmath>

#include "meteo/station_files.h"

namespace velorn {

namespace {

// A stored station value above -N is a reading.
constexpr bool Usable(double value, double nodata_value) {
  return value > -nodata_value;
}

// Sums of one altitude range of the station regression.
struct RangeSums {
  int n = 0;
  double sh = 0, sv = 0, shh = 0, svh = 0;
  double min = 0, max = 0;

  void Add(double h, double v) {
    if (n == 0) {
      min = max = h;
    } else {
      if (h < min) min = h;
      if (h > max) max = h;
    }
    ++n;
    sh += h;
    sv += v;
    shh += h * h;
    svh += v * h;
  }
  // Replaces the range by its mean point. The highest altitude stays: the single-point rule
  // measures the distance of the two ranges from it.
  void Collapse() {
    const double h = sh / n, v = sv / n;
    n = 1;
    sh = min = h;
    sv = v;
    shh = h * h;
    svh = h * v;
  }
  void Clear() { *this = RangeSums{}; }
  double Spread() const { return shh - sh * sh / n; }
};

// A straight line in altitude.
struct Line {
  double b = 0, a = 0;
};

// Step 1-3: splits the usable stations at L and lets the stations next to L count in the
// other range as well. The counts tested by the overlap rule are those before the overlap.
void SplitAtLowerInversion(const RegressionStations& s, const RegressionSettings& settings,
                           double nodata_value, RangeSums& r1, RangeSums& r2) {
  const double L = settings.lower;
  double hmin2 = 1e9, hmax1 = -1e8;
  for (int i = 1; i <= s.count; ++i) {
    const double h = s.altitude[i];
    if (h > L && h < hmin2) hmin2 = h;
    if (h < L && h > hmax1) hmax1 = h;
    if (!Usable(s.value[i], nodata_value)) continue;
    (h <= L ? r1 : r2).Add(h, s.value[i]);
  }
  const int n1 = r1.n, n2 = r2.n;
  for (int i = 1; i <= s.count; ++i) {
    if (!Usable(s.value[i], nodata_value)) continue;
    const double h = s.altitude[i];
    if (h == hmax1 && (settings.overlap >= 1 || n2 == 1)) r2.Add(h, s.value[i]);
    if (h == hmin2 && (settings.overlap >= 1 || n1 == 1)) r1.Add(h, s.value[i]);
  }
}

// The line through the point (h, v) that meets `other` at altitude L. A point at L itself
// fixes no slope: the range then keeps the point's value as a constant.
Line LineMeetingAt(double L, const Line& other, double h, double v) {
  if (L == h) return {v, 0.0};
  Line line;
  line.a = (L * other.a + other.b - v) / (L - h);
  line.b = other.b + (other.a - line.a) * L;
  return line;
}

// Step 6: the lines of the two ranges (both present after the earlier steps).
void FitLines(RangeSums& r1, RangeSums& r2, double L, double missing, Line& l1, Line& l2) {
  // Points at one altitude fix no slope: they count as their mean point.
  for (RangeSums* r : {&r1, &r2})
    if (r->n > 1 && r->Spread() == 0) r->Collapse();
  auto fit = [missing](const RangeSums& r) {
    if (r.n <= 1) return Line{missing, missing};
    Line line;
    line.a = (r.svh - r.sh * r.sv / r.n) / r.Spread();
    line.b = (r.sv - r.sh * line.a) / r.n;
    return line;
  };
  l1 = fit(r1);
  l2 = fit(r2);
  if (r1.n == 0) {
    l1 = r2.n > 1 ? l2 : Line{r2.sv, 0.0};
    if (r2.n == 1) l2 = l1;
  } else if (r1.n == 1) {
    if (r2.n > 1) {
      l1 = LineMeetingAt(L, l2, r1.sh, r1.sv);
    } else {
      l1 = l2 = Line{r1.sv, 0.0};
    }
  } else if (r2.n == 1) {
    l2 = LineMeetingAt(L, l1, r2.sh, r2.sv);
  } else if (r2.n == 0) {
    l2 = l1;
  }
}

// Step 9: the least-squares plane of the residuals, or no plane (M) with three usable stations
// or fewer or with stations on one straight line.
void FitResidualPlane(const RegressionStations& s, double nodata_value,
                      RegressionZoneParameters& zone) {
  const double missing = MissingMarker(nodata_value);
  zone.c0 = zone.cx = zone.cy = missing;
  std::vector<std::array<double, 3>> points;  // x, y, residual
  for (int i = 1; i <= s.count; ++i) {
    if (!Usable(s.value[i], nodata_value)) continue;
    const double z = s.altitude[i];
    const int k = z < zone.ZL ? 1 : (z > zone.ZU ? 3 : 2);
    const double r = s.value[i] - (zone.B[k] + zone.A[k] * z) + zone.B[1];
    points.push_back({s.x[i], s.y[i], r});
  }
  if (points.size() <= 3) return;
  const double n = static_cast<double>(points.size());
  // Collinear points leave the plane undetermined; the test runs on centred coordinates so
  // that large map coordinates do not hide it in rounding.
  double mx = 0, my = 0;
  for (const auto& p : points) mx += p[0] / n, my += p[1] / n;
  double cxx = 0, cyy = 0, cxy = 0;
  for (const auto& p : points) {
    cxx += (p[0] - mx) * (p[0] - mx);
    cyy += (p[1] - my) * (p[1] - my);
    cxy += (p[0] - mx) * (p[1] - my);
  }
  if (cxx <= 0 || cyy <= 0 || cxx * cyy - cxy * cxy <= 1e-9 * cxx * cyy) return;
  double s1 = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sr = 0, sxr = 0, syr = 0;
  for (const auto& p : points) {
    s1 += 1;
    sx += p[0];
    sy += p[1];
    sxx += p[0] * p[0];
    syy += p[1] * p[1];
    sxy += p[0] * p[1];
    sr += p[2];
    sxr += p[0] * p[2];
    syr += p[1] * p[2];
  }
  const double a[4] = {0, s1, sx, sy};
  const double b[4] = {0, sx, sxx, sxy};
  const double c[4] = {0, sy, sxy, syy};
  const double r[4] = {0, sr, sxr, syr};
  const double d = Determinant3(a, b, c);
  zone.cx = Determinant3(a, r, c) / d;
  zone.cy = Determinant3(a, b, r) / d;
  zone.c0 = (sr - sx * zone.cx - sy * zone.cy) / s1;
}

}  // namespace

RegressionZoneParameters MissingRegressionZone(double missing) {
  RegressionZoneParameters zone;
  zone.ZL = zone.ZU = missing;
  zone.B.fill(missing);
  zone.A.fill(missing);
  zone.c0 = zone.cx = zone.cy = missing;
  return zone;
}

double EvaluateRegressionZone(const RegressionZoneParameters& zone, double x, double y, double z,
                              double nodata_value, double grid_nodata) {
  if (zone.B[1] < -nodata_value) return MissingMarker(nodata_value);
  const int k = z > zone.ZU ? 3 : (z < zone.ZL ? 1 : 2);
  if (zone.c0 >= -nodata_value && x != grid_nodata && y != grid_nodata) {
    // The plane carries the lower intercept B[1].
    const double plane = zone.c0 + zone.cx * x + zone.cy * y;
    if (k == 1) return plane + zone.A[1] * z;
    return plane - zone.B[1] + zone.B[k] + zone.A[k] * z;
  }
  return zone.B[k] + zone.A[k] * z;
}

double Determinant3(const double* a, const double* b, const double* c) {
  return a[1] * b[2] * c[3] + b[1] * c[2] * a[3] + c[1] * a[2] * b[3] - c[1] * b[2] * a[3] -
         a[1] * c[2] * b[3] - b[1] * c[3] * a[2];
}

RegressionZoneParameters ComputeRegressionZone(const RegressionStations& stations,
                                               const RegressionSettings& settings,
                                               double nodata_value) {
  const double missing = MissingMarker(nodata_value);
  const double L = settings.lower, U = settings.upper;
  RegressionZoneParameters zone;
  RangeSums r1, r2;
  SplitAtLowerInversion(stations, settings, nodata_value, r1, r2);
  // Clusters: a range narrower than the cluster range counts as its mean point.
  if (r1.n > 1 && settings.cluster_range > r1.max - r1.min) r1.Collapse();
  if (r2.n > 1 && settings.cluster_range > r2.max - r2.min) r2.Collapse();
  Line l1{missing, missing}, l2{missing, missing};
  if (r1.n == 0 && r2.n == 0) {
    zone = MissingRegressionZone(missing);
  } else {
    if (r1.n == 1 && r2.n == 1) {
      if (r2.max - r1.min >= settings.cluster_range) {
        // Both ranges take the line through the two points.
        RangeSums both = r1;
        both.Add(r2.sh, r2.sv);
        r1 = r2 = both;
      } else {
        r2.Clear();
      }
    }
    FitLines(r1, r2, L, missing, l1, l2);
    zone.B[1] = l1.b, zone.A[1] = l1.a, zone.B[2] = l2.b, zone.A[2] = l2.a;
    // Boundaries: the crossing of the two lines, if it lies near the inversions.
    zone.ZU = (zone.B[2] > -nodata_value && zone.A[2] - zone.A[1] != 0)
                  ? (zone.B[2] - zone.B[1]) / (zone.A[1] - zone.A[2])
                  : L;
    zone.ZL = 0;
    if (zone.ZU < L - settings.tolerance || zone.ZU > U + settings.tolerance) {
      zone.ZU = U;
      zone.ZL = L;
    }
  }
  // Ranges.
  auto& B = zone.B;
  auto& A = zone.A;
  if (zone.ZL > 0) {
    B[3] = B[2], A[3] = A[2];
    if (zone.ZU != zone.ZL) {
      A[2] = (A[3] * zone.ZU + B[3] - B[1] - zone.ZL * A[1]) / (zone.ZU - zone.ZL);
      B[2] = (A[1] - A[2]) * zone.ZL + B[1];
    } else {
      // L = U leaves no middle range: the middle line is the lower one.
      B[2] = B[1], A[2] = A[1];
    }
  } else {
    B[3] = B[2], A[3] = A[2];
    B[2] = B[1], A[2] = A[1];
    A[1] = 0;
  }
  if (settings.upper_lapse_rate > -9998 && B[1] >= -nodata_value) {
    B[3] = zone.ZU * A[3] + B[3] - settings.upper_lapse_rate * zone.ZU;
    A[3] = settings.upper_lapse_rate;
  }
  FitResidualPlane(stations, nodata_value, zone);
  return zone;
}

double EvaluateRegressionRegions(const std::vector<RegressionZoneParameters>& zones,
                                 const RegressionRegions& regions, int64_t row, int64_t column,
                                 double x, double y, double z, double nodata_value,
                                 double grid_nodata) {
  const double missing = MissingMarker(nodata_value);
  if (regions.count < 1) return 0.0;
  std::array<double, 4> code{}, weight{};
  const int used = regions.count < 3 ? regions.count : 3;
  if (regions.region[1][row][column] > 0) {
    for (int r = 1; r <= used; ++r) {
      if (regions.region[r] == nullptr || regions.weight[r] == nullptr) continue;
      code[r] = regions.region[r][row][column];
      weight[r] = regions.weight[r][row][column];
    }
  } else {
    // Nearest representative; a missing coordinate leaves its term out.
    double best = 1e20;
    int nearest = 1;
    for (int r = 1; r <= regions.count; ++r) {
      const RegionRepresentative& rep = regions.representatives[r];
      const double dx = x != grid_nodata ? rep.x - x : 0.0;
      const double dy = y != grid_nodata ? rep.y - y : 0.0;
      const double d = dx * dx + dy * dy;
      if (d < best) best = d, nearest = r;
    }
    code = regions.representatives[nearest].code;
    weight = regions.representatives[nearest].weight;
  }
  double sum = 0.0;
  for (int r = 1; r <= used; ++r) {
    if (!(weight[r] > 0)) continue;
    const auto c = static_cast<int64_t>(code[r]);
    const int32_t k = (c >= 0 && c <= regions.highest_code) ? regions.zone_of_code[c] : 0;
    if (k < 1 || static_cast<std::size_t>(k) >= zones.size()) return missing;
    const double v = EvaluateRegressionZone(zones[k], x, y, z, nodata_value, grid_nodata);
    if (v == missing) return missing;
    sum += weight[r] * v;
  }
  return sum;
}

double LapseRateFromNearestStation(const RegressionStations& s, const LapseRateSettings& settings,
                                   double nodata_value, double x, double y, double z) {
  double best = 1e20;
  int nearest = 0;
  for (int i = 1; i <= s.count; ++i) {
    if (!Usable(s.value[i], nodata_value)) continue;
    const double d = (s.x[i] - x) * (s.x[i] - x) + (s.y[i] - y) * (s.y[i] - y);
    if (d < best) best = d, nearest = i;
  }
  if (nearest == 0) return MissingMarker(nodata_value);
  const double v = s.value[nearest], h = s.altitude[nearest];
  if (settings.p_type && v == 0.0) return 0.0;
  const double g = settings.lapse_rate, gu = settings.upper_lapse_rate;
  const double hi = settings.inversion_height;
  if (hi <= -9998) return v + (z - h) * g;
  if (h > hi) return z > hi ? v + (z - h) * gu : v + (hi - h) * gu + (z - hi) * g;
  return z <= hi ? v + (z - h) * g : v + (hi - h) * g + (z - hi) * gu;
}

}  // namespace velorn

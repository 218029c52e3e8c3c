// Pure formulas of the precipitation correction: samples along altitude and the refit of the
// regression lines (see precipitation_correction.h).
#include <algorithm>
#include <cmath>

#include "meteo/precipitation_correction.h"

namespace velorn {

namespace {

// Most samples of one refit: a step far shorter than the range (an upper boundary just below
// the highest elevation) would otherwise ask for millions of point interpolations. Such a step
// is widened so that the samples still cover the whole range.
constexpr int kMaxSamples = 1001;

// Samples `from + k step` for k = 0, 1, ... up to `limit` (a rounding error beyond it counts).
std::vector<double> Samples(double from, double step, double limit) {
  std::vector<double> heights;
  if (!(step > 0)) {
    if (from <= limit) heights.push_back(from);
    return heights;
  }
  step = std::max(step, (limit - from) / (kMaxSamples - 1));
  const double slack = 1e-9 * step;
  for (int k = 0; k < kMaxSamples; ++k) {
    const double h = from + k * step;
    if (h > limit + slack) break;
    heights.push_back(h);
  }
  return heights;
}

}  // namespace

std::vector<double> LineSamples(double Z) {
  return Samples(0.0, Z / 10.0, Z);
}

std::vector<double> UpperLineSamples(double from, double top) {
  return Samples(from, (top - from) / 10.0, std::max(2.0 * from, top));
}

void RefitLine(double& B, double& A, const std::vector<double>& heights,
               const std::function<double(double)>& factor) {
  if (heights.empty()) return;
  const double n = static_cast<double>(heights.size());
  double sh = 0, shh = 0, sp = 0, shp = 0;
  for (double h : heights) {
    const double p = (A * h + B) * factor(h);
    sh += h, shh += h * h, sp += p, shp += h * p;
  }
  const double denominator = n * shh - sh * sh;
  if (denominator <= 1e-12 * n * shh) {
    const double f = factor(heights.front());
    A *= f, B *= f;
    return;
  }
  A = (n * shp - sh * sp) / denominator;
  B = (sp - sh * A) / n;
}

void CorrectRegressionLines(RegressionZoneParameters& zone, double max_altitude,
                            double nodata_value, const std::function<double(double)>& factor) {
  auto& B = zone.B;
  auto& A = zone.A;
  if (B[1] < -nodata_value) return;
  // The lowest line: line 1 below ZL with three ranges, else line 2 up to ZU. A flat line is
  // corrected like a sloped one.
  if (zone.ZL > 0) {
    RefitLine(B[1], A[1], LineSamples(zone.ZL), factor);
  } else if (zone.ZU >= 0) {
    RefitLine(B[2], A[2], LineSamples(zone.ZU), factor);
  }
  if (zone.ZU < max_altitude)
    RefitLine(B[3], A[3], UpperLineSamples(zone.ZU, max_altitude), factor);
  if (zone.ZL <= 0) {
    if (std::fabs(A[3] - A[2]) > 0.0001) zone.ZU = (B[2] - B[3]) / (A[3] - A[2]);
  } else if (zone.ZU != zone.ZL) {
    A[2] = (zone.ZU * A[3] + B[3] - (zone.ZL * A[1] + B[1])) / (zone.ZU - zone.ZL);
    B[2] = (A[1] - A[2]) * zone.ZL + B[1];
  } else {
    B[2] = B[1], A[2] = A[1];
  }
}

}  // namespace velorn

// The pure formulas of the surface routing model (see surface_routing_formulas.h).
#include "lateral/surface_routing_formulas.h"

#include <cmath>

namespace velorn {

double FitSubStepLimit(double limit, double substep_seconds) {
  const double t = substep_seconds;
  if (!(limit > 0) || limit > t) return t;
  const double k = std::trunc(t / limit);
  return k > 0 ? t / k : t;
}

double PlanCurvature(const double z[3][3], double cell_size, double nodata) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (z[r][c] == nodata) return nodata;
  const double l = cell_size;
  const double p = (z[1][2] - z[1][0]) / (2 * l);
  const double q = (z[0][1] - z[2][1]) / (2 * l);
  if (p == 0 && q == 0) return 0.0;
  const double d = ((z[1][0] + z[1][2]) / 2 - z[1][1]) / (l * l);
  const double e = ((z[0][1] + z[2][1]) / 2 - z[1][1]) / (l * l);
  const double f = (z[0][2] + z[2][0] - z[0][0] - z[2][2]) / (4 * l * l);
  return 2 * (e * p * p + d * q * q - f * p * q) / (p * p + q * q);
}

double OutletRecessionFactor(double d, double k) {
  return k > 0 ? std::exp(-d / k) : 0.0;
}

double LinearStorageStep(double inflow, double previous_outflow, double e) {
  return inflow * (1 - e) + e * previous_outflow;
}

double MixThreeConcentrations(double q1, double c1, double q2, double c2, double q3, double c3) {
  const double s = q1 + q2 + q3;
  return s > 0 ? (q1 * c1 + q2 * c2 + q3 * c3) / s : 0.0;
}

}  // namespace velorn

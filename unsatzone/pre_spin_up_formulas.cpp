// Formulas of the pre-spin-up of soil temperatures.
#include "unsatzone/pre_spin_up_formulas.h"

#include <algorithm>
#include <cmath>

namespace velorn {

double PreSpinUpConductivity(double theta_sat, double theta, double lambda_s, double lambda_x) {
  const double s = theta + 1.0 - theta_sat;  // solids plus water
  const double ws = (1.0 - theta_sat) / s;
  const double ww = theta / s;
  return (theta_sat - theta) * 0.0262 + s * std::pow(lambda_s, ws) * std::pow(lambda_x, ww);
}

double PreSpinUpProfile(const SoilRecord& soil, const PreSpinUpCell& cell, double* T) {
  const int N = soil.layers;
  // Layers down to 1 m (or the whole profile); the reference layer a third of the way down.
  double depth = 0;
  int L = 0;
  while (L < N && depth < kPermafrostReferenceDepth) depth += soil.thickness[++L];
  const int r = std::max(1, L / 3);
  auto lambda = [&](int k, double lambda_x) {
    return PreSpinUpConductivity(soil.theta_sat[k], cell.theta[k], soil.DryThermalConduct[k],
                                 lambda_x);
  };
  const double lambda_t = lambda(r, cell.lamWater);
  const double lambda_f = lambda(r, cell.lamIce);
  const double ttop = TopOfPermafrostTemperature(lambda_t, lambda_f, cell.nThawing, cell.nFreezing,
                                                 cell.thawing, cell.freezing, cell.years);
  if (ttop < 0) {
    T[L] = ttop;
    for (int k = L + 1; k <= N; ++k) {
      const double lx = T[k - 1] > 0 ? cell.lamWater : cell.lamIce;
      T[k] = T[k - 1] + soil.thickness[k] * cell.flux / lambda(k, lx);
    }
    // Above the reference depth: linear between the mean air temperature at level 0 and TTOP.
    const double* z = cell.geodetic;
    for (int k = L - 1; k >= 0; --k) {
      const double w = z[L] == z[0] ? 0.0 : (z[k] - z[0]) / (z[L] - z[0]);
      T[k] = cell.meanAir + w * (ttop - cell.meanAir);
    }
  } else {
    T[1] = cell.meanAir;
    for (int k = 2; k <= N; ++k)
      T[k] = T[k - 1] + soil.thickness[k] * cell.flux / lambda(k, cell.lamWater);
  }
  return ttop;
}

}  // namespace velorn

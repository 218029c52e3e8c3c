// Clear-sky radiation, the quadratic solver and the lower radiation limit of the sunshine
// polynomial (the inline formulas are in the header).
#include "evaporation/evaporation_physics.h"

namespace velorn {

double ClearSkyRadiation(const double* sines, int count, double length, double transmissivity,
                         double pressure) {
  // tau^(x / sin h) as exp(x ln(tau) / sin h): one exp per sub-interval instead of a pow.
  const double exponent_factor = pressure / kSeaLevelPressure * std::log(transmissivity);
  double sum = 0;
  for (int i = 1; i <= count; ++i) {
    const double sine = sines[i];
    if (sine <= 0) continue;  // the sun is down: no direct beam, and no division by zero
    sum += length * kSolarConstant * sine * std::exp(exponent_factor / sine);
  }
  return sum;
}

int SolveQuadraticRoots(double p, double q, double& x1, double& x2) {
  const double d = p * p / 4.0 - q;
  if (d > 0) {
    const double root = std::sqrt(d);
    x1 = -p / 2.0 - root;
    x2 = -p / 2.0 + root;
    return 2;
  }
  if (d == 0) {
    x1 = x2 = -p / 2.0;
    return 1;
  }
  x1 = x2 = 0;
  return 0;
}

int SunshineLowerLimit(const std::array<double, 4>& c, double& limit) {
  double x1 = 0, x2 = 0;
  int roots = 0;
  if (c[3] == 0 && c[2] == 0) {
    if (c[1] == 0) return 1;
    x1 = x2 = -c[0] / c[1];
    roots = 1;
  } else if (c[3] == 0) {
    roots = SolveQuadraticRoots(c[1] / c[2], c[0] / c[2], x1, x2);
  } else {
    // The extremum of the cubic: where its derivative 3 C3 x^2 + 2 C2 x + C1 is zero.
    roots = SolveQuadraticRoots(2.0 * c[2] / (3.0 * c[3]), c[1] / (3.0 * c[3]), x1, x2);
  }
  if (roots == 0) return 2;
  limit = (x2 >= 0 && x2 <= 1) ? x2 : x1;
  if (limit < 0 || limit > 1) return 2;
  return 0;
}

}  // namespace velorn

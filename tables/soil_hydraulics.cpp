// Soil hydraulic look-up tables: the van Genuchten-Mualem relations tabulated per layer at fixed
// suctions, the freezing curve tabulated per layer over temperature, and the look-ups of the
// soil column solver.
#include <algorithm>
#include <cmath>

#include "tables/soil_record.h"

namespace velorn {
namespace {

// Suctions of the hydraulic tables (entries 1..30), in units of 1 / alpha, ascending.
constexpr std::array<double, kSuctionPoints> kSuctionList = {
    0,    0.0005, 0.001, 0.002, 0.005, 0.007, 0.01, 0.02,  0.03,  0.05,
    0.07, 0.1,    0.15,  0.2,   0.3,   0.4,   0.6,  0.8,   1.2,   1.6,
    2.6,  3.45,   6.9,   20.0,  35.0,  50.0,  75.0, 100.0, 125.0, 150.0};

// The bracket searches halve the candidates 1 .. last - 1 with a conditional move instead of a
// branch: the arguments of the solver jump around the table, and a mispredicted branch per
// halving would cost more than the whole search.

// Bracket index j in 1 .. last - 1 of a descending table with table[j] > x >= table[j + 1];
// the caller guarantees table[1] > x >= table[last].
int DescendingBracket(const double* table, int last, double x) {
  int base = 1;
  for (int count = last - 1; count > 1;) {
    const int half = count / 2;
    base = table[base + half] > x ? base + half : base;
    count -= half;
  }
  return base;
}

// Bracket index j in 1 .. last - 1 of an ascending table with table[j] < x <= table[j + 1];
// the caller guarantees table[1] < x <= table[last].
int AscendingBracket(const double* table, int last, double x) {
  int base = 1;
  for (int count = last - 1; count > 1;) {
    const int half = count / 2;
    base = table[base + half] < x ? base + half : base;
    count -= half;
  }
  return base;
}

// Bracket index j in 1 .. last - 1 of a descending table with table[j] > x >= table[j + 1],
// walked from the guess's interval; the caller guarantees table[1] > x >= table[last]. The
// walk ends at the one interval that holds x, wherever it starts.
int GuessedBracket(const double* table, int last, const IntervalGuess& guess, double x) {
  if (guess.scale == 0) return DescendingBracket(table, last, x);
  const double at = (x - guess.low) * guess.scale;
  const int cell = at < kGuessCells ? (at > 0 ? static_cast<int>(at) : 0) : kGuessCells - 1;
  int j = guess.first[static_cast<std::size_t>(cell)];
  while (table[j] <= x) --j;
  while (x < table[j + 1]) ++j;
  return j;
}

// The constants of the temperature shift, kept as the doubles the shift tables were always
// built with, so that both branches meet at 1.3 T*.
constexpr double kShiftKnee = 1.2999999999999998;
constexpr double kShiftOffset = 1.15;
constexpr double kShiftRise = 0.1499999999999999;
constexpr double kShiftSpan = 0.2999999999999998;

}  // namespace

double FreezingTemperatureShift(double t, double t_star) {
  if (t >= t_star) return 0.0;
  if (t < kShiftKnee * t_star) return t - kShiftOffset * t_star;
  return t - ((t - t_star) * kShiftRise / (kShiftSpan * t_star) + 1.0) * t_star;
}

void SoilRecord::BuildHydraulicTables(int layer) {
  const int suction_last = SuctionTableLast;
  const int conductivity_last = ConductivityTableLast;
  std::vector<double>& s = SuctionTable[layer];
  std::vector<double>& t_suction = ThetaForSuction[layer];
  std::vector<double>& t_conduct = ThetaForConductivity[layer];
  std::vector<double>& k = RelativeConductivity[layer];
  s.assign(suction_last + 1, 0.0);
  t_suction.assign(suction_last + 1, 0.0);
  t_conduct.assign(conductivity_last + 1, 0.0);
  k.assign(conductivity_last + 1, 0.0);

  const double ts = theta_sat[layer];
  const double tr = theta_res[layer];
  const double a = alpha[layer];
  const double n = Par_n[layer];
  const double m = Par_m[layer];
  const double tau = Par_tau[layer];
  for (int i = 1; i <= suction_last && i <= kSuctionPoints; ++i) s[i] = kSuctionList[i - 1];
  t_suction[0] = ts;
  t_conduct[0] = ts;
  k[0] = 1.0;  // saturation; outside the look-ups
  // Every entry, the driest one included, tabulates the closed form: theta_res is only the limit
  // of infinite suction (a fine clay still holds a good part of its pores filled at 150 m).
  for (int i = 1; i <= suction_last; ++i) {
    const double se = std::pow(1.0 / (1.0 + std::pow(a * s[i], n)), m);
    const double theta = tr + (ts - tr) * se;
    t_suction[i] = theta;
    if (i <= conductivity_last) {
      t_conduct[i] = theta;
      const double inner = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / m), m);
      k[i] = std::pow(se, tau) * inner * inner;
    }
  }
  // Interval guesses: cell c covers contents from low + c / scale up; its guess is the interval
  // of the cell's upper end (the walk corrects a guess that rounding put one cell off).
  if (SuctionGuess.size() <= static_cast<std::size_t>(layer)) SuctionGuess.resize(layer + 1);
  IntervalGuess& guess = SuctionGuess[static_cast<std::size_t>(layer)];
  guess = IntervalGuess{};
  const double high = t_suction[1];
  const double low = t_suction[suction_last];
  // The conductivity table has the same contents (the same guesses serve it) unless a caller
  // set other lengths.
  if (suction_last >= 2 && suction_last < 256 && suction_last == conductivity_last && high > low &&
      t_suction == t_conduct) {
    guess.low = low;
    guess.scale = kGuessCells / (high - low);
    for (int c = 0; c < kGuessCells; ++c) {
      const double top = std::min(low + (c + 1) / guess.scale, high);
      int j = 1;
      while (j < suction_last - 1 && top <= t_suction[j + 1]) ++j;
      guess.first[static_cast<std::size_t>(c)] = static_cast<unsigned char>(j);
    }
  }
}

double SoilRecord::GetSuction(int layer, double theta) const {
  const double* t = ThetaForSuction[layer].data();
  const int last = SuctionTableLast;
  if (theta <= t[last]) return SuctionTable[layer][last];
  if (theta >= t[1]) return 0.0;
  return SuctionInInterval(
      layer, GuessedBracket(t, last, SuctionGuess[static_cast<std::size_t>(layer)], theta), theta);
}

// The intervals t[j] > theta >= t[j + 1] are disjoint, so an interval that holds theta is the
// one the bisection finds. At theta == t[last] inside the last interval f is 0 and the
// interpolation gives s[last] exactly, as the plain look-up does.
double SoilRecord::SearchSuction(int layer, double theta, int& hint) const {
  const double* t = ThetaForSuction[layer].data();
  const int last = SuctionTableLast;
  if (theta <= t[last]) return SuctionTable[layer][last];
  if (theta >= t[1]) return 0.0;
  hint = GuessedBracket(t, last, SuctionGuess[static_cast<std::size_t>(layer)], theta);
  return SuctionInInterval(layer, hint, theta);
}

double SoilRecord::GetTheta(int layer, double suction_value) const {
  const double* t = ThetaForSuction[layer].data();
  const double* s = SuctionTable[layer].data();
  const int last = SuctionTableLast;
  if (suction_value >= s[last]) return t[last];
  if (suction_value <= 0.0) return t[0];
  const int j = AscendingBracket(s, last, suction_value);
  // Steps narrower than 0.001 are not interpolated.
  if (s[j + 1] - s[j] < 0.001) return t[j];
  const double f = (suction_value - s[j]) / (s[j + 1] - s[j]);
  return f * t[j + 1] + (1.0 - f) * t[j];
}

double SoilRecord::GetRelativeConductivity(int layer, double a, double b) const {
  int hint = 0;
  return SearchConductivity(layer, std::min(a, b), hint);
}

// As with the suctions, the interval that holds x is the one the bisection finds.
double SoilRecord::SearchConductivity(int layer, double x, int& hint) const {
  const double* t = ThetaForConductivity[layer].data();
  const int last = ConductivityTableLast;
  if (x < t[last]) return RelativeConductivity[layer][last];
  if (x >= t[1]) return 1.0;
  hint = GuessedBracket(t, last, SuctionGuess[static_cast<std::size_t>(layer)], x);
  return ConductivityInInterval(layer, hint, x);
}

// --- Freezing curve ------------------------------------------------------------------------------

void SoilRecord::BuildFreezingTables(int layer, double scale) {
  const int steps = FreezingSteps;
  const double lower = FreezingLowerLimit;
  const double delta = lower / steps;
  const double a = alpha[layer];
  const double n = Par_n[layer];
  const double m = Par_m[layer];
  std::vector<double>& fraction = LiquidFractionTable[layer];
  std::vector<double>& slope = LiquidFractionSlopeTable[layer];
  std::vector<double>& shift = TemperatureShiftTable[layer];
  fraction.assign(steps + 1, 0.0);
  slope.assign(steps + 1, 0.0);
  shift.assign(steps + 1, 0.0);

  // Liquid fraction and its rate of fall towards colder temperatures; the steepest point.
  fraction[0] = 1.0;
  slope[0] = 0.0;
  double max_slope = -1.0;
  double t_star = 0.0;
  for (int k = 1; k <= steps; ++k) {
    const double t = k * delta;
    const double y = std::fabs(t * scale) * a;
    const double yn = std::pow(y, n);
    fraction[k] = std::pow(1.0 / (1.0 + yn), m);
    slope[k] = m * n * a * scale * std::pow(y, n - 1.0) * std::pow(1.0 + yn, -m - 1.0);
    if (slope[k] > max_slope) {
      max_slope = slope[k];
      t_star = t;
    }
  }

  // Shift per relative saturation k / N: the temperature on the cold side of the steepest point
  // at which the slope has fallen to that share of its maximum.
  for (int k = 0; k <= steps; ++k) {
    const double target = static_cast<double>(k) / steps * max_slope;
    double t = lower;
    if (slope[steps] < target) {
      int j = steps - 1;
      while (j >= 1 && slope[j] < target) --j;  // j = 0 when none is steep enough
      const double span = slope[j] - slope[j + 1];
      const double f = span != 0.0 ? (target - slope[j + 1]) / span : 0.0;
      t = delta * (f * j + (1.0 - f) * (j + 1));
    }
    shift[k] = FreezingTemperatureShift(t, t_star);
  }
}

double SoilRecord::ShiftAt(const std::vector<double>& shift, double r) const {
  const int steps = FreezingSteps;
  const double whole = std::trunc(r);
  if (whole < 0) return std::fabs(shift[0]);
  if (!(whole < steps)) return std::fabs(shift[steps]);
  const int k = static_cast<int>(whole);
  const double f = r - whole;
  return std::fabs(f * shift[k + 1] + (1.0 - f) * shift[k]);
}

void SoilRecord::FreezingPoint(int i, double t, double theta, double& fraction,
                               double& slope) const {
  const int steps = FreezingSteps;
  const double r = (theta - theta_res[i]) / (theta_sat[i] - theta_res[i]) * steps;
  const double shifted = t + ShiftAt(TemperatureShiftTable[i], r);
  if (shifted >= 0.0) {
    fraction = 1.0;
    slope = 0.0;
    return;
  }
  const double p = shifted * steps / FreezingLowerLimit;
  const double whole = std::trunc(p);
  const double f = p - whole;
  int upper = steps;
  if (whole < 0) {
    upper = 1;
  } else if (whole < steps) {
    upper = static_cast<int>(whole) + 1;
  }
  const std::vector<double>& table_f = LiquidFractionTable[i];
  const std::vector<double>& table_d = LiquidFractionSlopeTable[i];
  fraction = f * table_f[upper] + (1.0 - f) * table_f[upper - 1];
  slope = f * table_d[upper] + (1.0 - f) * table_d[upper - 1];
}

void SoilRecord::LookupFreezingCurve(int offset, double* fraction, double* slope,
                                     const double* temperature, const double* theta) const {
  if (temperature == nullptr) return;
  for (int i = 1; i <= layers; ++i) {
    const int at = offset + i;
    const double t = temperature[at];
    if (t > 0.0) {
      fraction[at] = 1.0;
      slope[at] = 0.0;
    } else if (t <= FreezingLowerLimit) {
      fraction[at] = 0.0;
      slope[at] = 0.0;
    } else {
      FreezingPoint(i, t, theta[at], fraction[at], slope[at]);
    }
  }
}

void SoilRecord::LookupLiquidFraction(double* out, const double* temperature,
                                      const double* theta) const {
  for (int i = 1; i <= layers; ++i) {
    const double t = temperature[i];
    double slope = 0.0;
    if (t > 0.0) {
      out[i] = 1.0;
    } else if (t <= FreezingLowerLimit) {
      out[i] = 0.0;
    } else {
      FreezingPoint(i, t, theta[i], out[i], slope);
    }
  }
}

void SoilRecord::LookupFreezingSlope(double* out, const double* temperature,
                                     const double* theta) const {
  for (int i = 1; i <= layers; ++i) {
    const double t = temperature[i];
    double fraction = 0.0;
    out[i] = 0.0;
    if (t >= FreezingLowerLimit && t <= 0.0) FreezingPoint(i, t, theta[i], fraction, out[i]);
  }
}

double SoilRecord::LookupTemperatureShift(int layer, double relative_saturation) const {
  return ShiftAt(TemperatureShiftTable[layer], relative_saturation * FreezingSteps);
}

// --- Heat and frozen conductivity ------------------------------------------------------------

void SoilRecord::ComputeHeatCapacity(int offset, const double* temperature, double* out,
                                     const double* liquid, const double* extra, const double* theta,
                                     double a, double cw, double c0, double c20) const {
  for (int i = 1; i <= layers; ++i) {
    const int at = offset + i;
    const double t = temperature[at];
    double ice = (t / -20.0) * c20 + (t / 20.0 + 1.0) * c0;
    if (t < -20.0) {
      ice = c20;
    } else if (t >= 0.0) {
      ice = c0;
    }
    const double f = liquid[at];
    out[at] =
        a * theta[at] * (f * cw + (1.0 - f) * ice) + DryDensity[i] * DryHeatCapacity[i] + extra[at];
  }
}

void SoilRecord::FrozenConductivity(double* out, const double* ice, const double* theta,
                                    const double* reference) const {
  for (int i = 1; i <= layers; ++i) {
    if (ice == nullptr) {
      out[i] = ksat[i];
      continue;
    }
    double k = GetRelativeConductivity(i, theta[i], 1.0) * ksat[i];
    if (!(k > 0.0)) k = 1e-23;
    double w = std::min(theta[i] / reference[i], 1.0);
    if (!(w > 0.0)) w = 0.001;
    const double g = (1.0 - ice[i]) * w;
    out[i] = std::exp(std::log(k) * (1.0 - g) + g * LogKMinFrozenSoil);
  }
}

}  // namespace velorn

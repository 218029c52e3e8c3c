// The pure formulas of the surface-routing solver (see surface_flow_formulas.h).
#include "lateral/surface_flow_formulas.h"

#include <algorithm>
#include <cmath>

namespace velorn {

InnerTimeStep FitInnerTimeStep(double t, double stable_limit, double minimum, double maximum) {
  InnerTimeStep step;
  step.dt = t / (std::trunc(t / stable_limit) + 1);
  if (step.dt < minimum)
    step.dt = minimum;
  else if (step.dt > maximum)
    step.dt = maximum;
  step.count = static_cast<int64_t>(std::trunc(t / step.dt)) + 1;
  return step;
}

double SurfaceAspect(double dzdx, double dzdy) {
  if (dzdx == 0) return dzdy > 0 ? 180.0 : 0.0;
  return 180.0 - std::atan(dzdy / dzdx) * kSurfaceDegrees + (dzdx / std::fabs(dzdx)) * 90.0;
}

ThreeWayShares SplitOutflow(double deviation) {
  constexpr double kRadians = 0.017453;
  const double b = (deviation < 0 ? 45.0 + deviation : 45.0 - deviation) * kRadians;
  const double e = deviation * kRadians;
  ThreeWayShares s;
  s.main = std::cos(e);
  const double sine = std::fabs(std::cos(e) * std::sin(b));
  const double cosine = std::fabs(std::cos(e) * std::cos(b));
  // b is the angle between the aspect and the side it leans towards, so that side takes cos b
  // and the far side sin b: the split then turns smoothly with the aspect across the border of
  // two main directions. Giving the near side sin b instead sends most of the side share away
  // from the aspect and makes the shares jump at every sector border.
  s.anticlockwise = deviation <= 0 ? cosine : sine;
  s.clockwise = deviation <= 0 ? sine : cosine;
  for (double* share : {&s.main, &s.anticlockwise, &s.clockwise})
    if (*share < 0.0001) *share = 0;
  const double sum = s.main + s.anticlockwise + s.clockwise;
  if (sum > 0) {
    s.main /= sum;
    s.anticlockwise /= sum;
    s.clockwise /= sum;
  }
  return s;
}

double CappedKinematicVelocity(double depth, double sqrt_slope, double length,
                               double minimum_sub_time_step) {
  return std::min(length / (20.0 * minimum_sub_time_step),
                  10.0 * std::pow(depth, 0.66667) * sqrt_slope);
}

double StemDragCoefficient(double re_d, double c_wr) {
  if (re_d < 800) return 3.07 * std::pow(re_d, -0.168);
  if (re_d < 8000) return 1.0;
  if (re_d < 10000) return 1.2;
  return c_wr;
}

namespace {
// The fixed point of the wake length a_NL, from 50 D.
double WakeLength(const RoughnessParameters& p, double cd, double v, double s) {
  const double d = p.stem_diameter;
  double a = 50.0 * d;
  if (!(p.anl_error < a) || p.anl_steps <= 0) return a;
  double previous = 0;
  for (int32_t pass = 0; pass < p.anl_steps; ++pass) {
    a = std::pow((a * 9.8159 * s) / (v * v * 0.5) + 1, -2.14) * cd * 128.9 * d;
    if (std::fabs(a - previous) <= p.anl_error) break;
    previous = a;
  }
  return a;
}

// 1 - y of the water-surface iteration; the iteration stops at its last finite value.
double WaterSurfaceFactor(double q, double froude, int32_t steps) {
  if (steps <= 0) return 0.4;
  double y = 0.6;
  for (int32_t pass = 0; pass < steps; ++pass) {
    const double next = (y - q) * 2 * froude / (y * y - 1);
    if (!std::isfinite(next)) break;
    const double change = std::fabs(y - next);
    y = next;
    if (change <= 0.0001) break;
  }
  return 1 - y;
}
}  // namespace

double StemDrag(const RoughnessParameters& p, double v, double r, double s) {
  const double d = p.stem_diameter;
  if (d < 0.001 || r < p.minimum_depth || !(v > 0) || !(r > 0)) return 0.0;
  const double cd = StemDragCoefficient(v * d * 1000000.0, p.c_wr);
  const double s_wake = cd * s / (v * v) > 0.04 ? v * v / cd / 25.0 : s;
  const double a_nl = WakeLength(p, cd, v, s_wake);
  const double ax = p.crop_distance_x, ay = p.crop_distance_y;
  const double p3 = std::pow(a_nl / ax, -0.48);
  const double p4 = std::pow((std::pow(a_nl, 0.59) * 0.24 * std::pow(cd * d, 0.41)) / ay, 1.1);
  double froude = v / std::sqrt(9.8159 * r);
  const double w = std::max(ay, 5 * d);
  const double q = w / (w - d);
  if (q * q * q * froude > 0.666) froude = 2 / (3 * q * q * q);
  double c2 = 799.9999999999999;
  if (froude >= 0.05)
    c2 = 2 / (froude * froude);
  else
    froude = 0.05;
  const double factor = WaterSurfaceFactor(q, froude, p.anl_steps);
  return (r * 4 * d / (w * ax)) * (cd * 1.31 * (p3 * 1.15 + p4 * 0.5) + c2 * factor);
}

double FlowResistance(const RoughnessParameters& p, double v, double r, double coverage, double s) {
  const double k0 = p.k_st;
  if (!(v > 0) || !(r > 0)) return k0;
  if (p.cultivation == 1) {
    const double re = v * 4000000.0 * r;
    const double* c = re < 20000 ? p.coeff1 : p.coeff2;
    const double k = 1 / (std::pow(100 * coverage, c[1]) * c[0] / std::pow(re, c[2]));
    return std::isfinite(k) && k > 0 ? k : k0;
  }
  if (p.cultivation != 2) return k0;
  const double drag = StemDrag(p, v, r, s);
  if (drag == 0) return k0;
  const double t = std::pow(r, 0.3333);
  const double quotient = 78.5272 / (t * (78.5272 / (k0 * k0 * t) + drag));
  return quotient > 0 ? std::sqrt(quotient) : 0.001;
}

double FaceConductance(double a, double b) {
  return a + b > 0 ? 2 * a * b / (a + b) : 0.0;
}

double EffectiveNeighbourHead(double hc, double zc, double hn, double zn, bool outside,
                              bool channel) {
  if (outside) return hc;
  if (channel) return zc;
  if (hc < zn) return hc + (hn - zn);
  return std::max(zc, hn);
}

std::vector<double> SubbasinExchange(const std::vector<double>& net_loss) {
  double lost = 0, gained = 0;
  for (std::size_t j = 1; j < net_loss.size(); ++j)
    (net_loss[j] > 0 ? lost : gained) += std::fabs(net_loss[j]);
  const double moved = std::min(lost, gained);
  std::vector<double> exchange(net_loss.size(), 0.0);
  if (!(moved > 0)) return exchange;
  for (std::size_t j = 1; j < net_loss.size(); ++j)
    exchange[j] = net_loss[j] * (moved / (net_loss[j] > 0 ? lost : gained));
  return exchange;
}

}  // namespace velorn

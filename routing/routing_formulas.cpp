// The pure formulas of discharge routing (see routing_formulas.h).
#include "routing/routing_formulas.h"

#include <algorithm>
#include <cmath>

namespace velorn {

double DischargeToDepth(double discharge, double area, double dt) {
  return discharge * 0.06 * dt / area;
}

double DepthToDischarge(double depth, double area, double dt) {
  return depth * area * 16.6666667 / dt;
}

double WeightedMean(double x, double y, double wx, double wy) {
  const double sum = std::fabs(wx) + std::fabs(wy);
  if (sum == 0.0) return 0.0;
  return (std::fabs(wx) * x + std::fabs(wy) * y) / sum;
}

double Multiply(double a, double b) {
  return a * b;
}

double ScaleToDifference(double a, double b, double c) {
  if (b - c == 0.0) return 0.0;
  return b * a / (b - c);
}

void SolveManning(ManningSection& section, int32_t max_iterations, double manning,
                  double root_slope, double tolerance) {
  double v_old = section.velocity;
  int32_t iterations = 0;
  while (true) {
    const double area = v_old > 0.0 ? section.discharge / v_old : 0.0;
    section.level = area / section.width;
    const double perimeter = 2.0 * section.level + section.width;
    if (perimeter <= 0.0) {
      section.radius = 0.0;
      section.velocity = 0.0;
    } else {
      section.radius = area / perimeter;
      section.velocity =
          section.radius > 0.0 ? std::pow(section.radius, 0.66667) * manning * root_slope : 0.0;
    }
    ++iterations;
    if (iterations >= max_iterations || std::fabs(v_old - section.velocity) <= tolerance) break;
    v_old = section.velocity;
  }
}

double RecessionFactor(double storage_constant_hours, double substep_hours) {
  const double k = storage_constant_hours > 0.0 ? storage_constant_hours : kMinStorageConstantHours;
  return std::exp(-substep_hours / k);
}

double StoredBehindOutflow(double outflow, double share, double km, double kf) {
  const double k = (1.0 - share) * km + share * kf;
  return outflow * k / (1.0 - k);
}

double StorageConstantHours(double factor, double substep_hours) {
  if (factor <= 0.0) return -9999.0;
  if (factor == 1.0) return 0.0;
  return -substep_hours / std::log(factor);
}

int32_t TableRow(double depth, double dt, double qmin, double log_step, int32_t last_row) {
  const double q = std::max(1e-7, 16666.668 / dt * depth);
  double row = 1.0;
  if (log_step > 0.0) row = std::max(1.0, std::ceil(std::log(q / qmin) / log_step));
  if (!(row <= static_cast<double>(last_row))) row = last_row;  // also catches NaN
  return std::max<int32_t>(1, static_cast<int32_t>(row));
}

double TravelDecayFactor(int32_t substeps, double dt, int32_t nsub, double half_life_days) {
  if (half_life_days <= 0.0) return 1.0;
  const double days = substeps * dt / nsub / 60.0 / 24.0;
  return std::exp(-days / (half_life_days * 1.442695041111));
}

}  // namespace velorn

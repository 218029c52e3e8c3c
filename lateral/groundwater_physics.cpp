// The cell formulas of the groundwater model; see lateral/groundwater_physics.h.
#include "lateral/groundwater_physics.h"

#include <algorithm>

namespace velorn {

double LeakageRate(double hu, double hd, double lower_top, double coefficient) {
  double d = 0;
  if (hu < hd) {
    d = hd - hu;
  } else if (lower_top > hd) {
    // The lower layer is not full: only the part of the upper head below its top drives water.
    d = lower_top - hu;
    if (d > 0) d = 0;
  } else {
    d = hd - hu;
  }
  return std::clamp(d, -1.0, 1.0) * coefficient;
}

double CellTransmissivity(double head, double top, double thickness, double reduced_thickness,
                          double conductivity, bool confined_by_strict_test) {
  const bool confined = confined_by_strict_test ? head > top + 0.01 : head >= top + 0.01;
  if (confined) return thickness * conductivity;
  return (head - top + reduced_thickness) * conductivity;
}

double FaceTransmissivity(FaceSide own, FaceSide neighbour) {
  double a = own.value;
  double n = neighbour.value;
  if (a <= 0 && n > 0 && neighbour.head > own.head && own.conductivity > 0 && own.glacier == 0) {
    a = n;
  } else if (n <= 0 && a > 0 && own.head > neighbour.head && neighbour.conductivity > 0 &&
             neighbour.glacier == 0) {
    n = a;
  }
  if (a < 0) a = 0;
  if (n < 0) n = 0;
  return a + n > 0 ? 2.0 * a * n / (a + n) : 0.0;
}

void SolveTridiagonal(const double* a, const double* b, double* c, double* d, int n) {
  if (n < 1) return;
  c[0] /= b[0];
  d[0] /= b[0];
  for (int i = 1; i < n; ++i) {
    const double m = b[i] - a[i] * c[i - 1];
    c[i] /= m;
    d[i] = (d[i] - a[i] * d[i - 1]) / m;
  }
  for (int i = n - 2; i >= 0; --i) d[i] -= c[i] * d[i + 1];
}

double BalanceResidual(double head, double head_start, double storage, double inflow_volume,
                       double area) {
  return ((head - head_start) * storage - inflow_volume / area) * 1000.0;
}

SoluteCell MoveSolute(SoluteCell cell, const double q[6], const double upwind_scale[6],
                      const double upwind_carried[6], double drawn, double* left) {
  // The products are formed as the receiving cells form them, so both sides book the same.
  const double carried = cell.water > 0 ? cell.scale * (cell.mass / cell.water) : 0.0;
  double gone_water = 0, gone_mass = 0, come_water = 0, come_mass = 0;
  for (int k = 0; k < 6; ++k) {
    if (q[k] < 0) {
      gone_water += -q[k] * cell.scale;
      gone_mass += -q[k] * carried;
    } else if (q[k] > 0) {
      come_water += q[k] * upwind_scale[k];
      come_mass += q[k] * upwind_carried[k];
    }
  }
  const double drawn_mass = drawn * carried;
  // A cell that gives all it holds (scale below 1) keeps only what flowed in: its faces and the
  // fixed outflow took its solute at their shares, and what it held less what left is
  // round-off, which would leave solute without water.
  if (cell.scale < 1 && cell.water > 0) {
    if (left != nullptr) *left = std::min(drawn_mass, cell.mass);
    return SoluteCell{come_water, come_mass, cell.scale};
  }
  // What left is at most what the cell held (scale); round-off never takes it below 0. The
  // fixed outflow takes its share of what the faces left and brought.
  SoluteCell out = cell;
  out.water = std::max(0.0, out.water + come_water - std::min(gone_water, cell.water));
  out.mass = std::max(0.0, out.mass + come_mass - std::min(gone_mass, cell.mass));
  const double taken = std::min(out.mass, drawn_mass);
  out.mass -= taken;
  if (drawn > 0) out.water = std::max(0.0, out.water - drawn * cell.scale);
  if (left != nullptr) *left = taken;
  return out;
}

}  // namespace velorn

// Addition to and removal from the layered snow pack of one cell (see snow/layered_snow.h).
#include "snow/layered_snow.h"

#include <algorithm>
#include <cmath>

namespace velorn {
namespace {

double Thickness(double value) {
  return value <= kEmptyLayer ? 0.0 : value;
}

void Remove(LayeredSnowCell& cell, int n, double r) {
  int top = static_cast<int>(cell.top);
  while (r > 0 && top <= n) {
    const int k = std::max(top, 1);
    if (cell.solid[k] <= r) {
      r -= cell.solid[k];
      cell.liquid[0] += cell.liquid[k];
      cell.solid[k] = cell.liquid[k] = 0;
      cell.thickness[k] = cell.density[k] = kEmptyLayer;
      if (cell.temperature != nullptr) cell.temperature[k] = kEmptyLayer;
      top = k + 1;
    } else {
      cell.solid[k] -= r;
      if (cell.density[k] > 0)
        cell.thickness[k] = (cell.solid[k] + cell.liquid[k]) / cell.density[k] / 1000.0;
      r = 0;
    }
  }
  cell.top = top;
}

void Add(LayeredSnowCell& cell, int n, const std::vector<SnowLayerLimits>& limits, double a,
         double T, double fresh_offset) {
  if (!(a > 0)) return;
  const double fresh_temperature = std::min(T + fresh_offset, 0.0);
  int top = std::min(n, static_cast<int>(cell.top));
  for (int k = std::max(top, 1); k >= 1 && a > 0; --k) {
    const double rho = limits[static_cast<std::size_t>(k)].fresh_density / 1000.0;
    const double old_thickness = Thickness(cell.thickness[k]);
    double take = a;
    if (k != 1) {
      const double room =
          rho * (limits[static_cast<std::size_t>(k)].maximum_thickness - old_thickness) * 1000.0;
      if (room <= 0) continue;
      take = std::min(a, room);
    }
    if (cell.temperature != nullptr) {
      const double old_mass = cell.solid[k] + cell.liquid[k];
      const double old_temperature = cell.temperature[k] <= kEmptyLayer ? 0 : cell.temperature[k];
      cell.temperature[k] =
          (old_mass * old_temperature + take * fresh_temperature) / (old_mass + take);
    }
    cell.solid[k] += take;
    cell.thickness[k] = old_thickness + take / (1000.0 * rho);
    cell.density[k] = cell.thickness[k] > 0
                          ? (cell.solid[k] + cell.liquid[k]) / (cell.thickness[k] * 1000.0)
                          : 0.0;
    a -= take;
    top = k;
  }
  cell.top = top;
}

}  // namespace

void UpdateLayeredSnowCell(LayeredSnowCell& cell, int n, const std::vector<SnowLayerLimits>& limits,
                           double w, double amount, double T, double fresh_offset) {
  if (amount < 0) {
    Remove(cell, n, w * std::fabs(amount));
  } else {
    Add(cell, n, limits, w * amount, T, fresh_offset);
  }
  cell.solid[0] = 0;
  for (int k = 1; k <= n; ++k) cell.solid[0] += cell.solid[k];
}

void SetLayeredSnowCell(LayeredSnowCell& cell, int n, const std::vector<SnowLayerLimits>& limits,
                        double ice, double liquid, double T, double fresh_offset) {
  double held = 0;
  for (int k = 1; k <= n; ++k) held += cell.solid[k];
  const double handed = cell.liquid[0];
  UpdateLayeredSnowCell(cell, n, limits, 1.0, ice - held, T, fresh_offset);
  cell.liquid[0] = handed;
  const double total = cell.solid[0];
  for (int k = 1; k <= n; ++k) {
    if (!(cell.solid[k] > 0)) continue;
    cell.liquid[k] = liquid * cell.solid[k] / total;
    if (cell.density[k] > 0)
      cell.thickness[k] = (cell.solid[k] + cell.liquid[k]) / cell.density[k] / 1000.0;
  }
}

double TakeLayeredShareCell(LayeredSnowCell& cell, int n, double amount) {
  double pack = 0;
  for (int k = 1; k <= n; ++k) pack += cell.solid[k] + cell.liquid[k];
  if (!(amount > 0) || !(pack > 0)) return 0.0;
  const double keep = amount < pack ? 1.0 - amount / pack : 0.0;
  cell.solid[0] = 0;
  for (int k = 1; k <= n; ++k) {
    cell.solid[k] *= keep;
    cell.liquid[k] *= keep;
    if (keep == 0) {
      cell.thickness[k] = cell.density[k] = kEmptyLayer;
      if (cell.temperature != nullptr) cell.temperature[k] = kEmptyLayer;
    } else if (cell.thickness[k] > 0) {
      cell.thickness[k] *= keep;
    }
    cell.solid[0] += cell.solid[k];
  }
  if (keep == 0) cell.top = n + 1;
  return std::min(amount, pack);
}

double TakeLayeredLiquidCell(LayeredSnowCell& cell, int n, double amount) {
  double taken = 0;
  for (int k = std::max(static_cast<int>(cell.top), 1); k <= n && taken < amount; ++k) {
    const double take = std::min(cell.liquid[k], amount - taken);
    if (!(take > 0)) continue;
    cell.liquid[k] -= take;
    taken += take;
    if (cell.density[k] > 0)
      cell.thickness[k] = (cell.solid[k] + cell.liquid[k]) / cell.density[k] / 1000.0;
  }
  return taken;
}

}  // namespace velorn

// The inner-step count of tables/soil_inner_steps.h.
#include "tables/soil_inner_steps.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace velorn {

int InnerStepCount(int method, const SoilRecord& soil, const double* theta, int i0, double level,
                   bool with_input, double substep_seconds, double min_step, const double* liquid,
                   const SoilRecord* snow, int M, const double* dz) {
  if (method != 3) return 1;
  double shortest = substep_seconds;
  const int first = snow != nullptr && dz != nullptr ? std::max(i0, -M) : std::max(i0, 0);
  for (int i = first + 1; i < level; ++i) {
    // A snow layer i <= 0 is layer M + i of the snow entry.
    const SoilRecord& entry = i >= 1 ? soil : *snow;
    const int layer = i >= 1 ? i : M + i;
    const std::vector<double>& ks = entry.GetKsat();
    if (layer >= static_cast<int>(ks.size())) break;
    const double k_sat = ks[static_cast<std::size_t>(layer)];
    if (k_sat <= 0) continue;
    const double thickness = i >= 1 ? soil.thickness[i] : dz[i];
    if (with_input) {
      shortest = std::min(shortest, thickness / k_sat);
    } else {
      double kr = entry.GetRelativeConductivity(layer, theta[i], 1.0);
      if (liquid != nullptr) kr *= std::max(0.5, liquid[i]);
      if (kr > 0) shortest = std::min(shortest, thickness / (kr * k_sat));
    }
  }
  const double step = std::max(min_step, shortest);
  if (!(step > 0)) return 1;
  // A count beyond int (a layer far thinner than its conductivity crosses in a second) stays
  // at the largest int instead of wrapping.
  const double count = std::ceil(substep_seconds / step);
  if (!(count < static_cast<double>(std::numeric_limits<int>::max())))
    return std::numeric_limits<int>::max();
  return std::max(1, static_cast<int>(count));
}

}  // namespace velorn

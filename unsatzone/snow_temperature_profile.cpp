// The first snow temperature profile (see snow_temperature_profile.h).
#include "unsatzone/snow_temperature_profile.h"

#include <algorithm>

namespace velorn {

int32_t UpperSnowIndex(const double* swe_solid, int32_t m) {
  int32_t upper = m + 1;
  while (upper > 1 && swe_solid[upper - 1] > 0) --upper;
  return upper;
}

int32_t InitialSnowTemperatures(const double* swe_solid, const double* height,
                                const double* thickness, int32_t m, double soil_top, double air,
                                double nodata, double* temperature) {
  const int32_t upper = UpperSnowIndex(swe_solid, m);
  std::fill(temperature + 1, temperature + m + 1, nodata);
  if (upper > m) return upper;
  const double surface = height[upper] + thickness[upper];
  const double depth = surface - height[m];
  for (int32_t k = upper; k <= m; ++k) {
    const double d = surface - (height[k] + 0.5 * thickness[k]);
    const double f = depth > 0 ? d / depth : 1.0;
    temperature[k] = std::min(0.0, f * soil_top + (1.0 - f) * air);
  }
  return upper;
}

}  // namespace velorn

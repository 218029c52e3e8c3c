// Rising and falling of an imposed groundwater table in one soil column (see
// external_groundwater_table.h).
#include "unsatzone/external_groundwater_table.h"

#include <algorithm>

namespace velorn {

namespace {

// Adds up to `volume` (m) of water to layer k without passing saturation; returns what it took.
double Fill(const SoilColumnView& col, int32_t k, double volume) {
  const double room = std::max(0.0, (col.theta_sat[k] - col.theta[k]) * col.thickness[k]);
  const double stored = std::clamp(volume, 0.0, room);
  col.theta[k] += stored / col.thickness[k];
  return stored;
}

}  // namespace

ExternalTableResult ApplyExternalTable(const SoilColumnView& col, double distance, int32_t level,
                                       double external) {
  const double* h = col.heads;
  const int32_t n = col.layers;
  // The column holds no table below its bottom: a table given or held there stands at H[N].
  const double c = std::max(distance + h[0], h[n]);
  const double e = std::max(external, h[n]);
  // Level 0 (a start that found no saturated layer: its table lies below the column): the
  // layer that holds the table, from the bottom up.
  int32_t l = std::clamp(level, 1, n);
  if (level <= 0)
    for (l = n; l > 1 && c >= h[l - 1];) --l;
  ExternalTableResult result;
  double v = 0;
  if (c <= e) {
    if (l < 2 || e <= h[l - 1]) {
      v = Fill(col, l, (col.theta_sat[l] - col.theta[l]) * (e - c));
      result.level = l;
    } else {
      int32_t j = 1;
      for (int32_t k = l - 1; k >= 1; --k)
        if (h[k] < e && e <= h[k - 1]) {
          j = k;
          break;
        }
      // Layers L .. j + 1 are saturated whole: the water booked is what each one took.
      for (int32_t k = l; k > j; --k)
        v += Fill(col, k, (col.theta_sat[k] - col.theta[k]) * col.thickness[k]);
      v += Fill(col, j, (col.theta_sat[j] - col.theta[j]) * (e - h[j]));
      result.level = j;
    }
    result.balance_mm = v * 1000.0;
  } else {
    int32_t k = l;
    while (h[k] > e) ++k;  // stops at N at the latest: e is not below H[N]
    const int32_t m = k;
    auto drainable = [&](int32_t i) { return col.theta_sat[i] - col.theta_fc[i]; };
    if (m == l) {
      v = drainable(l) * (c - e);
      col.theta[l] -= v / col.thickness[l];
    } else {
      v = drainable(l) * (c - h[l]);
      col.theta[l] -= v / col.thickness[l];
      for (int32_t i = l + 1; i < m; ++i) {
        v += drainable(i) * col.thickness[i];
        col.theta[i] -= drainable(i);
      }
      const double dv = drainable(m) * (h[m - 1] - e);
      col.theta[m] -= dv / col.thickness[m];
      v += dv;
    }
    result.balance_mm = -v * 1000.0;
    result.level = m;
  }
  result.table = e;
  return result;
}

}  // namespace velorn

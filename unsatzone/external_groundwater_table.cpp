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
    // The water a layer gives as the table leaves `depth` of it (m): its drainable pores over
    // that depth, at most what it holds above its residual content. A column whose table lies
    // above its saturated water (one set by a grid rule, or one no step has computed, such as a
    // cell wholly under a glacier) gives only the water it holds: its contents never fall below
    // the residual (they went negative, and a warm start refused the state).
    auto drain = [&](int32_t i, double depth, bool whole = false) {
      const double drainable = col.theta_sat[i] - col.theta_fc[i];
      const double wanted = drainable * depth;
      const double floor = col.theta_res != nullptr ? col.theta_res[i] : 0.0;
      const double held = (col.theta[i] - floor) * col.thickness[i];
      if (wanted <= held) {
        col.theta[i] -= whole ? drainable : wanted / col.thickness[i];
        return wanted;
      }
      if (held <= 0) return 0.0;
      col.theta[i] = floor;
      return held;
    };
    if (m == l) {
      v = drain(l, c - e);
    } else {
      v = drain(l, c - h[l]);
      for (int32_t i = l + 1; i < m; ++i) v += drain(i, col.thickness[i], true);
      v += drain(m, h[m - 1] - e);
    }
    result.balance_mm = -v * 1000.0;
    result.level = m;
  }
  result.table = e;
  return result;
}

}  // namespace velorn

// Dynamic phenology: forcing and chilling rates and the daily step of methods 3 to 6.
#include "tables/dynamic_phenology.h"

#include <cmath>

namespace velorn {
namespace {

// Consecutive cold days that trigger leaf fall (method 6).
constexpr double kColdDaysForLeafFall = 5;
// Upper end of the moisture-stress scale of the root-zone water content.
constexpr double kStressScaleTop = 150.0;

// The cell's fixpoint days back to the entry's days (shifted by altitude); with `by_threshold`
// (method 5) a fixpoint reached by forcing units becomes not yet reached (-1).
void ResetFixpointDays(const LanduseRecord& entry, double altitude, bool by_threshold, double* p) {
  if (p == nullptr) return;
  for (int i = 1; i <= entry.GetFixpointCount(); ++i) {
    const bool reached_by_threshold =
        by_threshold && !(entry.GetForcingThreshold(i) < 0 || entry.GetJulDay(i) < 2);
    p[i] = reached_by_threshold ? -1.0 : entry.ShiftedFixpointDay(i, altitude);
  }
}

// First fixpoint the cell has not yet passed (or n).
int NextFixpoint(const double* p, int n, int d) {
  int j = 1;
  while (j < n && d > p[j] && p[j] > 0) ++j;
  return j;
}

void StepMethod3(const LanduseRecord& e, int d, const PhenologyWeather& w, double altitude,
                 PhenologyState& s) {
  if (s.start_day < 0 && d >= e.GetDP1_t1_dorm()) {
    s.forcing_sum += StressedIncrement(ForcingRate(w.temperature, e.GetDP1_T_Bf()), w.stress,
                                       e.GetStressFactorDynPhen());
    if (s.forcing_sum > e.GetFStar()) s.start_day = d;
  }
  if (d == e.GetJDReset_TStart()) {
    s.forcing_sum = 0;
    s.start_day = -1;
    s.leaf_fall_day = 0;
    ResetFixpointDays(e, altitude, false, s.fixpoint_days);
  }
}

void StepMethod4(const LanduseRecord& e, int d, const PhenologyWeather& w, PhenologyState& s) {
  const int t0 = e.GetDP2_t0_dorm();
  const int t1 = e.GetDP2_t1_dorm();
  if (s.start_day < 0 && d >= t1) {
    s.forcing_sum += StressedIncrement(ForcingRate(w.temperature, e.GetDP2_T_Bf()), w.stress,
                                       e.GetStressFactorDynPhen());
    if (s.forcing_sum > s.threshold) s.start_day = d;
  }
  if (!(t1 <= d && d < t0))
    s.chilling_sum +=
        ChillingRate(w.temperature, e.GetDP2_Offset_1(), e.GetDP2_T_Bc(), e.GetDP2_Offset_2());
  if (d == e.GetJDReset_TStart()) {
    s.forcing_sum = 0;
    s.start_day = -1;
  }
  if (d == t0 - 1) s.chilling_sum = 0;
  if (d == t1 - 1) s.threshold = e.GetDP2_Par_a() * std::exp(e.GetDP2_Par_b() * s.chilling_sum);
}

void StepMethod5(const LanduseRecord& e, int d, const PhenologyWeather& w, double altitude,
                 PhenologyState& s) {
  double* p = s.fixpoint_days;
  const int n = e.GetFixpointCount();
  if (p != nullptr && n >= 1) {
    const int j = NextFixpoint(p, n, d);
    const int latest = e.ShiftedFixpointDay(j, altitude);
    if (d >= latest && e.GetForcingThreshold(j) > 0) {
      p[j] = latest;
      p[0] = e.GetForcingThreshold(j);
    }
    const double r = w.temperature > e.GetDP1_T_Bf() ? w.temperature - e.GetDP1_T_Bf() : 0.0;
    s.forcing_sum += StressedIncrement(r, w.stress, e.GetStressFactorDynPhen());
    if (p[j] < 0) {
      const double threshold = e.GetForcingThreshold(j);
      if (s.forcing_sum >= threshold) {
        p[j] = d;
        p[0] = threshold;
      }
    }
  }
  if (d == 1) {
    s.forcing_sum = 0;
    if (p != nullptr) p[0] = 0;
    ResetFixpointDays(e, altitude, true, p);
  }
}

void LeafFall(const LanduseRecord& e, int d, const PhenologyWeather& w, PhenologyState& s) {
  if (d < e.GetDP4_t_xs1() || s.leaf_fall_day > 0 || s.start_day <= 0) return;
  bool fall = false;
  if (w.movavg7 < e.GetDP4_T_xylstop()) {
    s.cold_days += 1;
    fall = s.cold_days >= kColdDaysForLeafFall;
  } else {
    s.cold_days = 0;
  }
  const int k = e.GetDP4_SPSLF();
  const int n = e.GetFixpointCount();
  const int limit = k >= 0 && k <= n ? e.GetJulDay(k) : -1;
  if (!fall && d < limit) return;
  double* p = s.fixpoint_days;
  if (p != nullptr && k >= 1 && k <= n) {
    // The interval that ends at fixpoint k keeps its length and begins today.
    p[k] = d + p[k] - p[k - 1];
    p[k - 1] = d;
    for (int i = 1; i <= k - 1; ++i) {
      if (p[i] > d || p[i] < 0 || p[i - 1] > p[i]) p[i] = d - 1;
    }
  }
  s.leaf_fall_day = d;
}

void StepMethod6(const LanduseRecord& e, int d, const PhenologyWeather& w, double altitude,
                 PhenologyState& s) {
  const int t0 = e.GetDP4_t0_dorm();
  const int t1 = e.GetDP4_t1_dorm();
  const int n = e.GetFixpointCount();
  double* p = s.fixpoint_days;
  if (s.start_day < 0 && d >= t1) {
    const double r = w.temperature >= e.GetDP4_T1() ? w.temperature - e.GetDP4_T1() : 0.0;
    s.forcing_sum += StressedIncrement(r, w.stress, e.GetStressFactorDynPhen());
    if (s.forcing_sum > s.threshold) {
      s.start_day = d;
      if (p != nullptr && n >= 1) {
        const int j = NextFixpoint(p, n, d);
        p[j] = d;
        // The fixpoint after the start keeps its distance in days from the start.
        if (j < n) p[j + 1] = e.GetJulDay(j + 1) + d;
      }
    }
  }
  if ((d >= t0 || s.start_day < 0) && w.temperature <= e.GetDP4_T0()) s.chilling_sum += 1;
  if (d == e.GetJDReset_TStart()) {
    s.forcing_sum = 0;
    s.start_day = -1;
    s.leaf_fall_day = 0;
    ResetFixpointDays(e, altitude, false, p);
  }
  if (d == t0 - 1) s.chilling_sum = 0;
  if (d >= t1 - 1 && s.start_day < 0) {
    s.threshold = s.chilling_sum > 0
                      ? e.GetDP4_Par_a() + e.GetDP4_Par_b() * std::log(s.chilling_sum)
                      : e.GetDP4_Par_a();
  }
  LeafFall(e, d, w, s);
}

}  // namespace

double ForcingRate(double t, double tb) {
  if (t <= tb) return 0.0;
  return 28.4 / (1.0 + std::exp(-0.185 * (t - tb - 18.4)));
}

double ChillingRate(double t, double offset1, double tc, double offset2) {
  if (offset1 < t && t <= tc && t < offset2) return (t - offset1) / (tc - offset1);
  if (tc < t && t < offset2) return (t - offset2) / (tc - offset2);
  return 0.0;
}

double MoistureStress(double theta, double hredudry) {
  // At or above the top of the scale there is no range to scale over (and no division by 0).
  if (theta < hredudry || hredudry >= kStressScaleTop) return 0.0;
  return (theta - hredudry) / (kStressScaleTop - hredudry);
}

double StressedIncrement(double r, double stress, double factor) {
  return factor > 0 ? r * (1.0 + stress * factor) : r;
}

void StepPhenology(const LanduseRecord& entry, int d, const PhenologyWeather& weather,
                   double altitude, PhenologyState& state) {
  switch (entry.GetMethod()) {
    case 3:
      StepMethod3(entry, d, weather, altitude, state);
      break;
    case 4:
      StepMethod4(entry, d, weather, state);
      break;
    case 5:
      StepMethod5(entry, d, weather, altitude, state);
      break;
    case 6:
      StepMethod6(entry, d, weather, altitude, state);
      break;
    default:
      break;
  }
}

}  // namespace velorn

// Heat coupling of the soil column: properties, boundaries, heat steps, thaw depth.
#include "unsatzone/soil_heat_coupling.h"

#include <algorithm>
#include <cmath>

namespace velorn {

using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;

namespace {
constexpr double kMelting = 273.16;       // K
constexpr double kBoundaryOffset = 13.0;  // K, the snow boundary's distance to the air
constexpr double kFusionPerMm = 337500;   // J per kg (mm) of water
constexpr double kIcePerMm = 2100;        // J/(kg K)
constexpr double kWaterPerMm = 4187;      // J/(kg K)
}  // namespace

double ChooseNFactor(double at_date, double freezing, double thawing, double t_air,
                     double default_freezing, double default_thawing) {
  if (!(at_date < -9999)) return at_date;
  const bool cold = t_air < 0;
  const double own = cold ? freezing : thawing;
  if (!(own < -9999)) return own;
  return cold ? default_freezing : default_thawing;
}

UpperBoundary SnowUpperBoundary(const SnowSurface& s, double t_air, double nf_freezing,
                                double nf_thawing) {
  UpperBoundary b;
  if (s.energyBalance == 0 && s.surfaceKelvin < kMelting) {
    b.temperature = std::max(s.surfaceKelvin - kMelting, t_air - kBoundaryOffset);
    b.nFactor = nf_freezing;
  } else if (s.energyBalance <= 0) {
    b.temperature = s.temperature;
    b.nFactor = 1.0;
  } else {
    double t = s.temperature;
    if (s.secondLayer) {
      t = (s.temperature * s.heatCapacity + s.temperature2 * s.heatCapacity2) /
          (s.heatCapacity + s.heatCapacity2);
    }
    // At most the energy that the top layer's state allows in the sub-step.
    const double water = s.thickness * 1000 * s.waterContent;
    const double liquid = water * s.liquidFraction;
    const double limit = (liquid * kFusionPerMm -
                          t * (liquid * kIcePerMm + water * (1 - s.liquidFraction) * kWaterPerMm)) /
                         s.dtSeconds;
    const double balance = std::min(s.energyBalance, limit);
    b.temperature = t + balance * s.thickness / (2 * s.conductivity);
    b.temperature = std::max(0.0, std::min(b.temperature, t_air + kBoundaryOffset));
    b.nFactor = nf_thawing;
  }
  return b;
}

void UpdateThermalProperties(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, const ColumnCell& cell,
                             const HeatParameters& p) {
  double* liquid = ws[W::kLiquid];
  double* slope = hs[H::kDLiquid];
  const double* T = hs[H::kTemper];
  const double* theta = ws[W::kTheta];
  cell.soil->LookupFreezingCurve(0, liquid, slope, T, theta);
  if (cell.snow != nullptr && ws.M > 0)
    cell.snow->LookupFreezingCurve(-ws.M, liquid, slope, T, theta);
  ComputeThermalConductivity(ws, hs, cell.i0, p);
  ComputeLatentHeatTerm(ws, hs, cell.i0, p);
  const double* extra = hs[H::kDEOverdT];
  double* cap = hs[H::kHeatCap];
  cell.soil->ComputeHeatCapacity(0, T, cap, liquid, extra, theta, p.rhoWater, p.cWater, p.cIce0,
                                 p.cIce20);
  if (cell.snow != nullptr && ws.M > 0) {
    cell.snow->ComputeHeatCapacity(-ws.M, T, cap, liquid, extra, theta, p.rhoWater, p.cWater,
                                   p.cIce0, p.cIce20);
  }
}

double TrialTopChange(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0, double t_low,
                      const UpperBoundary& upper, long dt_seconds) {
  double* next = hs[H::kTemperNew];
  const double* T = hs[H::kTemper];
  for (int i = i0 + 1; i <= ws.N; ++i) next[i] = T[i];
  ComputeHeatFluxes(ws, hs, i0, t_low, upper.temperature, upper.nFactor, -9999);
  ComputeTemperatureChange(ws, hs, i0, dt_seconds);
  ApplyTemperatureChange(hs, i0, true, t_low, upper.temperature * upper.nFactor, -9999);
  return next[i0 + 1] - T[i0 + 1];
}

int HeatStepCount(double trial_change, double t_air, double t_top, double dt, double shortest,
                  double longest) {
  // Both limits are positive (checked with [heat_transfer]), so the count is bounded by
  // dt / min(shortest, longest) + 1.
  const double cap = std::ceil(dt / std::min(shortest, longest)) + 1;
  int n = 1;
  while (n < cap) {
    const double step = dt / n;
    const bool fine =
        std::fabs(trial_change) <= std::fabs((t_air - t_top) * 0.25 * n) || step <= shortest;
    if (fine && step <= longest) break;
    ++n;
  }
  return n;
}

void RunHeatStep(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, const ColumnCell& cell,
                 const HeatParameters& p, const UpperBoundary& upper, const HeatBoundary& boundary,
                 double dt) {
  UpdateThermalProperties(ws, hs, cell, p);
  const int i0 = cell.i0;
  double* T = hs[H::kTemper];
  double* next = hs[H::kTemperNew];
  if (p.method <= 10) {
    for (int i = i0 + 1; i <= ws.N; ++i) next[i] = T[i];
    ComputeHeatFluxes(ws, hs, i0, boundary.lower, upper.temperature, upper.nFactor, -9999);
    ComputeTemperatureChange(ws, hs, i0, std::lround(dt));
    ApplyTemperatureChange(hs, i0, true, boundary.lower, upper.temperature * upper.nFactor, -9999);
  } else {
    HeatBoundary b = boundary;
    b.surface = upper.nFactor * upper.temperature;
    SolveHeatEquation(ws, hs, i0, p.method, dt, b);
  }
  for (int i = i0 + 1; i <= ws.N; ++i) T[i] = next[i];
}

std::vector<double> ThawThresholds(const SoilRecord& soil, double se) {
  std::vector<double> threshold(static_cast<std::size_t>(soil.layers) + 1, 0.0);
  for (int k = 1; k <= soil.layers; ++k) {
    const std::vector<double>& table = soil.LiquidFractionTable[k];
    const int n = static_cast<int>(table.size()) - 1;
    int first = n;
    for (int j = 1; j <= n; ++j) {
      if (table[j] <= se) {
        first = j;
        break;
      }
    }
    threshold[k] = soil.FreezingLowerLimit * first / std::max(n, 1);
  }
  return threshold;
}

double ThawDepth(const SoilColumnWorkspace& ws, const double* temperature, const double* threshold,
                 double t_lower) {
  const int N = ws.N;
  const double* z = ws[W::kZBound];
  const double surface = z[0];
  auto centre = [&](int i) { return surface - (z[i - 1] + z[i]) / 2; };
  double depth = 0;
  for (int i = 1; i < N; ++i) {
    const double th = threshold[i];
    if (temperature[i] > th && !(temperature[i + 1] > th)) {
      const double share = (temperature[i] - th) / (temperature[i] - temperature[i + 1]);
      depth = centre(i) + share * (centre(i + 1) - centre(i));
    }
  }
  if (temperature[N] > threshold[N] && !(threshold[N] < t_lower)) depth = surface - z[N];
  return depth;
}

double FrozenThicknessBelowTable(const SoilColumnWorkspace& ws, const double* temperature,
                                 const double* threshold, double thaw_depth, double z_gw) {
  const double* z = ws[W::kZBound];
  double frozen = 0;
  for (int i = 1; i <= ws.N; ++i) {
    const bool below_thaw = z[0] - z[i - 1] >= thaw_depth;
    if (below_thaw && !(temperature[i] > threshold[i]) && z[i - 1] <= z_gw) frozen += ws[W::kDz][i];
  }
  return frozen;
}

}  // namespace velorn

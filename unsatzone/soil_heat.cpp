// Heat numerics of one soil column: conductivity, latent heat, explicit and implicit schemes.
#include "unsatzone/soil_heat.h"

#include <algorithm>
#include <cmath>

namespace velorn {

using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;

void LoadHeatLayers(SoilHeatWorkspace& hs, const SoilRecord& entry,
                    const SoilLayerConstants& constants, int type, int offset) {
  const int n = std::min(entry.layers, constants.layers);
  for (int k = 1; k <= n; ++k) {
    const std::size_t at = constants.At(type, k);
    hs[H::kLambdaSolid][offset + k] = entry.DryThermalConduct[k];
    hs[H::kPowerSolid][offset + k] = constants.solids_power[at];
    hs[H::kPowerWater][offset + k] = constants.water_power[at];
  }
}

void ComputeThermalConductivity(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0,
                                const HeatParameters& p) {
  double* lambda = hs[H::kLambda];
  for (int i = -ws.M; i <= i0; ++i) lambda[i] = kNoLayer;
  const double* theta = ws[W::kTheta];
  const double* porosity = ws[W::kThetaSat];
  const double* liquid = ws[W::kLiquid];
  const double* solid = hs[H::kLambdaSolid];
  for (int i = i0 + 1; i <= ws.N; ++i) {
    const double phi = porosity[i];
    const double th = theta[i];
    const double f = liquid[i];
    const double s = std::min(1.0, (1.0 - phi) + th);
    if (s < 1e-5) {
      lambda[i] = solid[i];
    } else if (phi - th < 0.01) {
      // Practically saturated: geometric mean of solids, water and ice.
      lambda[i] = f < 0.99 ? hs[H::kPowerSolid][i] * std::pow(p.lamWater, th * f) *
                                 std::pow(p.lamIce, (1.0 - f) * th)
                           : hs[H::kPowerSolid][i] * hs[H::kPowerWater][i];
    } else {
      // Air in parallel with the geometric mean of the solid and water phases.
      double mix = std::pow(solid[i], (1.0 - phi) / s) * std::pow(p.lamWater, th * f / s);
      if (f < 0.99) mix *= std::pow(p.lamIce, (1.0 - f) * th / s);
      lambda[i] = kAirConductivity * (phi - th) + s * mix;
    }
  }
}

void ComputeLatentHeatTerm(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0,
                           const HeatParameters& p) {
  const double* slope = hs[H::kDLiquid];
  double* term = hs[H::kDEOverdT];
  for (int i = i0 + 1; i <= ws.N; ++i) {
    const double d = ws[W::kTheta][i] - ws[W::kThetaRes][i];
    term[i] = d > 0 ? slope[i] * d * p.latentHeat * p.rhoWater : 0.0;
  }
}

void ComputeHeatFluxes(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0, double t_low,
                       double t_air, double n_factor, double t_surf) {
  const int N = ws.N;
  const int t = i0 + 1;
  const double* dz = ws[W::kDz];
  const double* lambda = hs[H::kLambda];
  const double* T = hs[H::kTemper];
  double* flux = hs[H::kHeatFlux];
  const double ts = t_surf > -9999 ? t_surf : t_air * n_factor;
  flux[i0] = -2.0 * lambda[t] / dz[t] * (ts - T[t]);
  for (int i = t; i < N; ++i)
    flux[i] = lambda[i] / (-(dz[i] + dz[i + 1]) / 2.0) * (T[i] - T[i + 1]);
  flux[N] = -2.0 * lambda[N] / dz[N] * (T[N] - t_low);
}

void ComputeTemperatureChange(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0,
                              long dt_seconds) {
  const double* dz = ws[W::kDz];
  const double* cap = hs[H::kHeatCap];
  const double* flux = hs[H::kHeatFlux];
  double* change = hs[H::kTemperChange];
  const auto dt = static_cast<double>(dt_seconds);
  for (int i = i0 + 1; i <= ws.N; ++i) change[i] = dt / (dz[i] * cap[i]) * (flux[i] - flux[i - 1]);
}

void ApplyTemperatureChange(SoilHeatWorkspace& hs, int i0, bool bounded, double t_low,
                            double t_upper, double t_surf) {
  const int N = hs.N;
  double* T = hs[H::kTemperNew];
  const double* T0 = hs[H::kTemper];
  const double* change = hs[H::kTemperChange];
  const double* flux = hs[H::kHeatFlux];
  const double top = t_surf > -9999 ? t_surf : t_upper;
  for (int i = N; i > i0; --i) {
    T[i] += change[i];
    if (!bounded) continue;
    const double below = i == N ? t_low : T0[i + 1];
    const double above = i == i0 + 1 ? top : T0[i - 1];
    const double gt = flux[i - 1];
    const double gb = flux[i];
    if (gt >= 0 && gb >= 0) {
      T[i] = std::min(T[i], below);  // heat moving upward through the layer
    } else if (gt < 0 && gb < 0) {
      T[i] = std::min(T[i], above);  // heat moving downward
    } else if (gt >= 0) {
      T[i] = std::max(T[i], std::min(above, below));  // heat leaving at both ends
    } else {
      T[i] = std::min(T[i], std::max(above, below));  // heat entering at both ends
    }
  }
}

void SolveTridiagonal(int first, int last, const double* a, double* b, const double* c, double* d,
                      double* x) {
  for (int i = first + 1; i <= last; ++i) {
    const double m = a[i] / b[i - 1];
    b[i] -= m * c[i - 1];
    d[i] -= m * d[i - 1];
  }
  x[last] = d[last] / b[last];
  for (int i = last - 1; i >= first; --i) x[i] = (d[i] - c[i] * x[i + 1]) / b[i];
}

// The system of one implicit step. Conduction couples each layer to its neighbours (and the top
// and bottom layers to the boundary temperatures). With water-borne heat, water flowing into a
// layer brings the temperature of where it comes from (upwind): a neighbour's coefficient, the
// boundary coupling or the outside water temperature gains beta(|q|) and the diagonal the same,
// so inflowing water pulls the layer towards its own temperature and the system stays
// diagonally dominant. Water leaving a layer leaves at the layer's temperature and changes it
// not.
void SolveHeatEquation(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0, int method,
                       double dt, const HeatBoundary& boundary) {
  const int N = ws.N;
  const int t = i0 + 1;
  const double* dz = ws[W::kDz];
  const double* q = ws[W::kQ];
  const double* lambda = hs[H::kLambda];
  const double* cap = hs[H::kHeatCap];
  const double* T0 = hs[H::kTemper];
  const double* exchange = hs[H::kWaterExchange];
  double* a = hs[H::kLower];
  double* b = hs[H::kMain];
  double* c = hs[H::kUpper];
  double* d = hs[H::kRhs];
  double* x = hs[H::kTemperNew];
  const bool advection = method >= 12;
  for (int i = -ws.M; i <= N; ++i) x[i] = 0.0;

  for (int i = t; i <= N; ++i) {
    const double k = 2.0 * dt / (dz[i] * cap[i]);
    const double beta = kWaterHeatCapacity * dt / (dz[i] * cap[i]);
    // Coupling to the layer or boundary above and below (conduction), and the inflows.
    double up = i == t ? k * lambda[t] / dz[t] : k * lambda[i - 1] / (dz[i] + dz[i - 1]);
    double down = i == N ? k * lambda[N] / dz[N] : k * lambda[i] / (dz[i] + dz[i + 1]);
    double outside = 0.0;
    if (advection) {
      if (q[i - 1] < 0) up += beta * -q[i - 1];  // water from above
      if (q[i] > 0) down += beta * q[i];         // water from below
      outside = beta * std::max(0.0, exchange[i]);
    }
    a[i] = i == t ? 0.0 : -up;
    c[i] = i == N ? 0.0 : -down;
    b[i] = 1.0 + up + down + outside;
    d[i] = T0[i] + outside * boundary.water;
    if (i == t) d[i] += up * boundary.surface;
    if (i == N) d[i] += down * boundary.lower;
  }
  SolveTridiagonal(t, N, a, b, c, d, x);
}

}  // namespace velorn

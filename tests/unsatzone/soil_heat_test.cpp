// The heat numerics against independent numbers: the conductivity mixing rule by hand,
// conduction in a homogeneous column against Carslaw and Jaeger (linear steady profile, erfc
// response to a step at the surface, damped and lagged daily wave), conservation of heat by the
// implicit scheme, explicit against implicit, the Thomas algorithm against a dense solve, and
// conduction with a steady water flux against Bredehoeft and Papadopulos (1965).
#include "unsatzone/soil_heat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace velorn {
namespace {

using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;

// A homogeneous column of n layers of dz m with constant conductivity and heat capacity.
class HeatColumn : public ::testing::Test {
 protected:
  void Make(int n, double dz, double lambda, double cap, double t0) {
    ws_.Resize(0, n);
    hs_.Resize(0, n);
    for (int i = 1; i <= n; ++i) {
      ws_[W::kDz][i] = dz;
      hs_[H::kLambda][i] = lambda;
      hs_[H::kHeatCap][i] = cap;
      hs_[H::kTemper][i] = t0;
    }
  }
  // `steps` implicit steps of dt with the given boundary.
  void Implicit(int steps, double dt, const HeatBoundary& b, int method = 11) {
    for (int s = 0; s < steps; ++s) {
      SolveHeatEquation(ws_, hs_, 0, method, dt, b);
      for (int i = 1; i <= ws_.N; ++i) hs_[H::kTemper][i] = hs_[H::kTemperNew][i];
    }
  }
  // `steps` explicit, bounded steps of dt (s) with surface t_surf and bottom t_low.
  void Explicit(int steps, long dt, double t_surf, double t_low) {
    for (int s = 0; s < steps; ++s) {
      for (int i = 1; i <= ws_.N; ++i) hs_[H::kTemperNew][i] = hs_[H::kTemper][i];
      ComputeHeatFluxes(ws_, hs_, 0, t_low, -9999, 1, t_surf);
      ComputeTemperatureChange(ws_, hs_, 0, dt);
      ApplyTemperatureChange(hs_, 0, true, t_low, t_surf, t_surf);
      for (int i = 1; i <= ws_.N; ++i) hs_[H::kTemper][i] = hs_[H::kTemperNew][i];
    }
  }
  double Depth(int i) const { return (i - 0.5) * ws_[W::kDz][1]; }
  W ws_;
  H hs_;
};

// lambda_s 0.58, porosity 0.45, lambda_w 0.5562: a saturated unfrozen layer has
// 0.58^0.55 x 0.5562^0.45 = 0.56917; partly frozen it mixes in ice by its share; entries above
// the top layer read -9999; a layer without solids or water takes the solids' value; a layer
// counts as saturated while less than 0.01 of its volume holds air.
TEST(SoilHeat, ThermalConductivityMixingByHand) {
  W ws;
  H hs;
  ws.Resize(2, 6);
  hs.Resize(2, 6);
  HeatParameters p;
  const double phi[] = {0.45, 0.45, 0.45, 1.0, 0.45, 0.45};
  const double theta[] = {0.45, 0.45, 0.20, 0.0, 0.40, 0.445};
  const double liquid[] = {1.0, 0.5, 1.0, 1.0, 1.0, 1.0};
  for (int i = 1; i <= 6; ++i) {
    ws[W::kThetaSat][i] = phi[i - 1];
    ws[W::kTheta][i] = theta[i - 1];
    ws[W::kLiquid][i] = liquid[i - 1];
    hs[H::kLambdaSolid][i] = 0.58;
    hs[H::kPowerSolid][i] = std::pow(0.58, 1 - phi[i - 1]);
    hs[H::kPowerWater][i] = std::pow(p.lamWater, phi[i - 1]);
  }
  ComputeThermalConductivity(ws, hs, 0, p);
  const double* l = hs[H::kLambda];
  EXPECT_EQ(l[-2], kNoLayer);
  EXPECT_EQ(l[0], kNoLayer);
  EXPECT_NEAR(l[1], 0.56917, 5e-6);
  EXPECT_NEAR(l[2], std::pow(0.58, 0.55) * std::pow(0.5562, 0.225) * std::pow(2.33, 0.225), 1e-12);
  // Unsaturated: air 0.25 in parallel with s = 0.75 of solids (0.55) and water (0.20).
  EXPECT_NEAR(l[3],
              0.0262 * 0.25 + 0.75 * std::pow(0.58, 0.55 / 0.75) * std::pow(0.5562, 0.2 / 0.75),
              1e-12);
  EXPECT_EQ(l[4], 0.58);
  // 0.05 of air is no longer saturated; 0.005 still is.
  EXPECT_NEAR(l[5],
              0.0262 * 0.05 + 0.95 * std::pow(0.58, 0.55 / 0.95) * std::pow(0.5562, 0.4 / 0.95),
              1e-12);
  EXPECT_NEAR(l[6], 0.56917, 5e-6);
}

TEST(SoilHeat, LatentHeatTermVanishesAtResidualWater) {
  W ws;
  H hs;
  ws.Resize(0, 2);
  hs.Resize(0, 2);
  ws[W::kTheta][1] = 0.30;
  ws[W::kThetaRes][1] = 0.10;
  ws[W::kTheta][2] = 0.05;
  ws[W::kThetaRes][2] = 0.05;
  hs[H::kDLiquid][1] = hs[H::kDLiquid][2] = 0.2;  // 1/K
  ComputeLatentHeatTerm(ws, hs, 0, HeatParameters{});
  EXPECT_NEAR(hs[H::kDEOverdT][1], 0.2 * 0.2 * 334000 * 1000, 1e-6);
  EXPECT_EQ(hs[H::kDEOverdT][2], 0.0);
}

// Fixed temperatures at both ends give the linear profile between them (the boundaries lie
// half a layer outside the outer centres).
TEST_F(HeatColumn, SteadyProfileIsLinear) {
  Make(20, 0.05, 1.2, 2e6, 0);
  Implicit(400, 86400, {5.0, -3.0, 0});
  for (int i = 1; i <= 20; ++i) EXPECT_NEAR(hs_[H::kTemper][i], 5.0 - 8.0 * Depth(i) / 1.0, 1e-9);
}

// A step of the surface from 0 to 10 °C: T = 10 erfc(z / (2 sqrt(kappa t))). With 1-cm layers
// and 60-s implicit steps the error after one day stays below 0.02 K (0.2 % of the step).
TEST_F(HeatColumn, StepAtSurfaceFollowsErfc) {
  const double lambda = 1.0, cap = 2e6, kappa = lambda / cap;
  Make(200, 0.01, lambda, cap, 0);
  Implicit(1440, 60, {10.0, 0.0, 0});
  const double t = 86400;
  for (int i = 1; i <= 60; ++i) {
    const double z = Depth(i);
    EXPECT_NEAR(hs_[H::kTemper][i], 10.0 * std::erfc(z / (2 * std::sqrt(kappa * t))), 0.02) << z;
  }
}

// A daily sine of amplitude 10 K at the surface: below, after the start-up has died away, the
// amplitude is 10 exp(-z/d) and the wave lags by z/d radians, d = sqrt(2 kappa / omega).
TEST_F(HeatColumn, DailyWaveIsDampedAndLagged) {
  const double lambda = 1.0, cap = 2e6, kappa = lambda / cap;
  const double omega = 2 * std::numbers::pi / 86400;
  const double d = std::sqrt(2 * kappa / omega);
  Make(100, 0.01, lambda, cap, 0);
  const double dt = 60;
  const int per_day = 1440;
  std::vector<double> series;
  for (int s = 0; s < 10 * per_day; ++s) {
    const double time = (s + 1) * dt;
    Implicit(1, dt, {10.0 * std::sin(omega * time), 0.0, 0});
    if (s >= 9 * per_day) series.push_back(hs_[H::kTemper][11]);  // centre at 0.105 m
  }
  const double z = Depth(11);
  const auto max = std::max_element(series.begin(), series.end());
  const auto min = std::min_element(series.begin(), series.end());
  EXPECT_NEAR((*max - *min) / 2, 10 * std::exp(-z / d), 0.05);
  // The maximum of the surface is at a quarter day; below it comes z / (omega d) seconds later.
  const double peak = (static_cast<double>(max - series.begin()) + 1) * dt;
  EXPECT_NEAR(peak - 86400 / 4.0, z / (omega * d), 300);
}

// Explicit (bounded, within its stability limit) and implicit agree for small steps; a column
// without any boundary difference stays uniform in both.
TEST_F(HeatColumn, ExplicitAgreesWithImplicitAndUniformStaysUniform) {
  Make(30, 0.02, 0.8, 2.5e6, 2.0);
  Explicit(360, 10, 8.0, 2.0);
  std::vector<double> expl(hs_[H::kTemper] + 1, hs_[H::kTemper] + 31);
  Make(30, 0.02, 0.8, 2.5e6, 2.0);
  Implicit(360, 10, {8.0, 2.0, 0});
  for (int i = 1; i <= 30; ++i) EXPECT_NEAR(expl[i - 1], hs_[H::kTemper][i], 5e-3) << i;
  EXPECT_GT(hs_[H::kTemper][1], 3.0);

  Make(10, 0.1, 1.0, 2e6, -4.0);
  Implicit(5, 3600, {-4.0, -4.0, 0});
  Explicit(5, 100, -4.0, -4.0);
  for (int i = 1; i <= 10; ++i) EXPECT_NEAR(hs_[H::kTemper][i], -4.0, 1e-12);
}

// Uneven layers, conductivities and heat capacities: the heat gained by the column in an
// implicit step equals the heat that entered through its two boundaries, to round-off.
TEST_F(HeatColumn, ImplicitStepConservesHeat) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0, 1);
  const int n = 15;
  Make(n, 0.1, 1, 1, 0);
  for (int i = 1; i <= n; ++i) {
    ws_[W::kDz][i] = 0.02 + 0.2 * u(rng);
    hs_[H::kLambda][i] = 0.2 + 2 * u(rng);
    hs_[H::kHeatCap][i] = 1e6 + 2e6 * u(rng);
    hs_[H::kTemper][i] = -5 + 10 * u(rng);
  }
  const HeatBoundary b{12.0, -2.0, 0};
  const double dt = 7200;
  std::vector<double> before(hs_[H::kTemper], hs_[H::kTemper] + n + 1);
  SolveHeatEquation(ws_, hs_, 0, 11, dt, b);
  const double* T = hs_[H::kTemperNew];
  const double* dz = ws_[W::kDz];
  const double* l = hs_[H::kLambda];
  double gained = 0;
  for (int i = 1; i <= n; ++i) gained += hs_[H::kHeatCap][i] * dz[i] * (T[i] - before[i]);
  const double in_top = 2 * l[1] / dz[1] * (b.surface - T[1]);
  const double in_bottom = 2 * l[n] / dz[n] * (b.lower - T[n]);
  EXPECT_NEAR(gained, (in_top + in_bottom) * dt, 1e-9 * std::fabs(gained));
}

TEST(SoilHeat, ThomasMatchesDenseElimination) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1, 1);
  const int n = 20;
  std::vector<double> a(n + 2), b(n + 2), c(n + 2), d(n + 2), x(n + 2);
  std::vector<std::vector<double>> dense(n + 1, std::vector<double>(n + 2, 0.0));
  for (int i = 1; i <= n; ++i) {
    a[i] = i > 1 ? u(rng) : 0;
    c[i] = i < n ? u(rng) : 0;
    b[i] = 2.5 + u(rng);
    d[i] = 10 * u(rng);
    if (i > 1) dense[i][i - 1] = a[i];
    if (i < n) dense[i][i + 1] = c[i];
    dense[i][i] = b[i];
    dense[i][n + 1] = d[i];
  }
  // Gauss-Jordan with partial pivoting on the dense matrix.
  for (int k = 1; k <= n; ++k) {
    int p = k;
    for (int i = k + 1; i <= n; ++i)
      if (std::fabs(dense[i][k]) > std::fabs(dense[p][k])) p = i;
    std::swap(dense[k], dense[p]);
    for (int i = 1; i <= n; ++i) {
      if (i == k) continue;
      const double m = dense[i][k] / dense[k][k];
      for (int j = k; j <= n + 1; ++j) dense[i][j] -= m * dense[k][j];
    }
  }
  SolveTridiagonal(1, n, a.data(), b.data(), c.data(), d.data(), x.data());
  for (int i = 1; i <= n; ++i) EXPECT_NEAR(x[i], dense[i][n + 1] / dense[i][i], 1e-12);
}

// Steady downward water flux v through a column held at T0 above and TL below:
// T(z) = T0 + (TL - T0) (exp(Pe z / L) - 1) / (exp(Pe) - 1), Pe = cw v L / lambda
// (Bredehoeft and Papadopulos 1965). Pe = 2 over 1 m in 1-cm layers (upwind error ~ Pe dz / L).
TEST_F(HeatColumn, SteadyAdvectionMatchesBredehoeftPapadopulos) {
  const double lambda = 1.0, L = 1.0, pe = 2.0;
  const double v = pe * lambda / (kWaterHeatCapacity * L);
  Make(100, 0.01, lambda, 2e6, 0);
  for (int i = 0; i <= 100; ++i) ws_[W::kQ][i] = -v;
  Implicit(300, 1e5, {10.0, 0.0, 0}, 12);
  double worst = 0;
  for (int i = 1; i <= 100; ++i) {
    const double z = Depth(i);
    const double exact = 10.0 + (0.0 - 10.0) * (std::exp(pe * z / L) - 1) / (std::exp(pe) - 1);
    worst = std::max(worst, std::fabs(hs_[H::kTemper][i] - exact));
  }
  EXPECT_LT(worst, 0.08);  // of a 10 K difference
  // Without water-borne heat (method 11) the same column is linear, far from the curve.
  Implicit(300, 1e5, {10.0, 0.0, 0}, 11);
  EXPECT_NEAR(hs_[H::kTemper][50], 10.0 - 10.0 * Depth(50), 1e-6);
}

// Warm water entering at the surface or from outside warms the layers it reaches; however
// strong the flow, no temperature leaves the range of the boundary, inflow and start values.
TEST_F(HeatColumn, InflowingWaterPullsLayersTowardsItsTemperature) {
  Make(10, 0.05, 1.0, 2e6, 0);
  Implicit(1, 3600, {10.0, 0.0, 0}, 11);
  const double conduction_only = hs_[H::kTemper][1];
  Make(10, 0.05, 1.0, 2e6, 0);
  ws_[W::kQ][0] = -1e-5;  // 36 mm/h infiltrating at the surface temperature
  Implicit(1, 3600, {10.0, 0.0, 0}, 12);
  EXPECT_GT(hs_[H::kTemper][1], conduction_only + 0.1);

  Make(10, 0.05, 1.0, 2e6, 0);
  for (int i = 0; i <= 10; ++i) ws_[W::kQ][i] = -1e-3;
  hs_[H::kWaterExchange][4] = 1e-3;
  Implicit(24, 3600, {10.0, -1.0, 20.0}, 12);
  EXPECT_GT(hs_[H::kTemper][4], 10.0);
  for (int i = 1; i <= 10; ++i) {
    EXPECT_LE(hs_[H::kTemper][i], 20.0);
    EXPECT_GE(hs_[H::kTemper][i], -1.0);
  }
}

// One explicit step far beyond the stability limit: unbounded, the top layer overshoots the
// surface temperature; bounded, it stops at it.
TEST_F(HeatColumn, BoundedExplicitStepDoesNotOvershoot) {
  Make(5, 0.01, 2.0, 1e6, 0);
  for (int i = 1; i <= 5; ++i) hs_[H::kTemperNew][i] = 0;
  ComputeHeatFluxes(ws_, hs_, 0, 0, 5.0, 2.0, -9999);  // surface 5 x n-factor 2
  ComputeTemperatureChange(ws_, hs_, 0, 600);
  ApplyTemperatureChange(hs_, 0, false, 0, 10, -9999);
  EXPECT_GT(hs_[H::kTemperNew][1], 10.0);
  for (int i = 1; i <= 5; ++i) hs_[H::kTemperNew][i] = 0;
  ApplyTemperatureChange(hs_, 0, true, 0, 10, -9999);
  EXPECT_EQ(hs_[H::kTemperNew][1], 10.0);
}

}  // namespace
}  // namespace velorn

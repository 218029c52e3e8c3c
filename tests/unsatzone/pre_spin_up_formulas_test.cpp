// Pre-spin-up of soil temperatures: TTOP by hand (Smith and Riseborough 2002), the
// geothermal rise per layer dz G / lambda (Fourier) with the saturated conductivity
// 0.58^0.55 x 0.5562^0.45 = 0.56917, a pre-spin-up without a completed day, permafrost, and a
// profile thinner than 1 m.
#include "unsatzone/pre_spin_up_formulas.h"

#include <gtest/gtest.h>

#include <vector>

namespace velorn {
namespace {

// A soil of n layers of dz m, porosity 0.45, solids 0.58 W/(m K).
SoilRecord Soil(int n, double dz) {
  SoilRecord s;
  s.layers = n;
  s.thickness.assign(n + 1, dz);
  s.theta_sat.assign(n + 1, 0.45);
  s.DryThermalConduct.assign(n + 1, 0.58);
  return s;
}

TEST(PreSpinUp, SaturatedConductivityIsTheGeometricMean) {
  EXPECT_NEAR(PreSpinUpConductivity(0.45, 0.45, 0.58, 0.5562), 0.56917, 5e-6);
  // A dry layer: air in the pores in parallel with the solids.
  EXPECT_NEAR(PreSpinUpConductivity(0.45, 0.0, 0.58, 2.33), 0.45 * 0.0262 + 0.55 * 0.58, 1e-12);
}

// TDD 1000, FDD 2500 K d over one year, nt 1, nf 0.8, lambda_t 0.56917, lambda_f 0.58^0.55 x
// 2.33^0.45 = 1.08442: TTOP = (569.17 - 2168.83) / (1.08442 x 365) = -4.0415 °C.
TEST(PreSpinUp, TopOfPermafrostByHand) {
  EXPECT_NEAR(TopOfPermafrostTemperature(0.56917, 1.08442, 1.0, 0.8, 1000, 2500, 1.0), -4.0415,
              1e-4);
  std::vector<double> theta(6, 0.45), z = {100, 99.7, 99.4, 99.1, 98.8, 98.5}, T(6, 99);
  const SoilRecord soil = Soil(5, 0.3);
  PreSpinUpCell cell;
  cell.theta = theta.data();
  cell.geodetic = z.data();
  cell.meanAir = -6;
  cell.thawing = 1000;
  cell.freezing = 2500;
  cell.nThawing = 1.0;
  cell.nFreezing = 0.8;
  EXPECT_NEAR(PreSpinUpProfile(soil, cell, T.data()), -4.0415, 1e-3);
  // L = 4 (1.2 m); below it the rise through frozen soil, above it the line to the air at 0 m.
  EXPECT_NEAR(T[4], -4.0415, 1e-3);
  EXPECT_NEAR(T[5] - T[4], 0.3 * 0.06 / 1.08442, 1e-5);
  EXPECT_EQ(T[0], -6);
  EXPECT_NEAR(T[2], -6 + 0.5 * (T[4] + 6), 1e-12);
}

// Without a completed day both sums are 0: TTOP 0 is no permafrost; the profile starts at the
// mean air temperature and rises by 0.3 x 0.06 / 0.56917 per saturated layer; level 0 keeps its
// value. Two layers of 0.2 m: the whole profile is summed and the reference layer is 1.
TEST(PreSpinUp, WithoutPermafrostTheProfileStartsAtTheMeanAir) {
  std::vector<double> theta(6, 0.45), z(6, 0), T(6, 99);
  PreSpinUpCell cell;
  cell.theta = theta.data();
  cell.geodetic = z.data();
  cell.meanAir = 2.5;
  EXPECT_EQ(PreSpinUpProfile(Soil(5, 0.3), cell, T.data()), 0.0);
  EXPECT_EQ(T[0], 99);
  EXPECT_EQ(T[1], 2.5);
  for (int k = 2; k <= 5; ++k) EXPECT_NEAR(T[k] - T[k - 1], 0.3 * 0.06 / 0.56917, 1e-6);

  cell.freezing = 100;  // frozen reference layer 1 of a 0.4-m profile
  std::vector<double> thin(3, 99);
  const double ttop = PreSpinUpProfile(Soil(2, 0.2), cell, thin.data());
  EXPECT_LT(ttop, 0);
  EXPECT_EQ(thin[2], ttop);
  EXPECT_EQ(thin[0], 2.5);
}

}  // namespace
}  // namespace velorn

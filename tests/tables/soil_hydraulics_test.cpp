// Soil look-ups against the van Genuchten-Mualem closed form of a published loam, their ends and
// interpolation, the freezing curve and its temperature shift, and the heat capacity.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tables/soil_record.h"
#include "tests/support/soil_test.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

// Carsel and Parrish (1988) loam, alpha in 1/m.
constexpr double kThetaSat = 0.43;
constexpr double kThetaRes = 0.078;
constexpr double kAlpha = 3.6;
constexpr double kN = 1.56;
const double kM = 1.0 - 1.0 / kN;

double Saturation(double h) {
  return std::pow(1.0 + std::pow(kAlpha * h, kN), -kM);
}
double Theta(double h) {
  return kThetaRes + (kThetaSat - kThetaRes) * Saturation(h);
}
double Kr(double h) {
  const double se = Saturation(h);
  const double inner = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / kM), kM);
  return std::sqrt(se) * inner * inner;
}

class SoilLookupTest : public test::DiagTest {
 protected:
  SoilRecord soil_ = test::ParsedLoam(diag_);
};

TEST_F(SoilLookupTest, TablePointsFollowTheClosedForm) {
  // Published-form values at 1.2 m and 3.45 m (field capacity) first, then further points.
  EXPECT_NEAR(soil_.GetTheta(1, 1.2), 0.22781, 5e-6);
  EXPECT_NEAR(soil_.GetTheta(1, 3.45), 0.16327, 5e-6);
  EXPECT_NEAR(soil_.GetRelativeConductivity(1, Theta(1.2), 1.0), 7.661e-4, 5e-7);
  for (double h : {0.01, 0.1, 0.4, 1.2, 3.45, 20.0, 125.0}) {
    EXPECT_NEAR(soil_.GetTheta(1, h), Theta(h), 1e-12) << h;
    EXPECT_NEAR(soil_.GetSuction(1, Theta(h)), h, 1e-9 * h) << h;
    EXPECT_NEAR(soil_.GetRelativeConductivity(1, Theta(h), kThetaSat), Kr(h), 1e-12) << h;
  }
  // Layer 0 carries the tables of layer 1.
  EXPECT_DOUBLE_EQ(soil_.GetTheta(0, 0.2), soil_.GetTheta(1, 0.2));
}

TEST_F(SoilLookupTest, EndsAndInterpolation) {
  struct Case {
    const char* what;
    double value;
    double expected;
  };
  const double t2 = Theta(0.002);
  const double t5 = Theta(0.005);
  const Case theta_cases[] = {
      {"no suction", 0.0, kThetaSat},
      {"pressure above the surface", -1.0, kThetaSat},
      {"steps narrower than 0.001", 0.0003, kThetaSat},
      {"driest point", 150.0, kThetaRes},
      {"beyond the driest point", 1e4, kThetaRes},
      {"between 0.002 and 0.005", 0.0025, t2 + (t5 - t2) / 6.0},
      {"between 100 and 125", 110.0, Theta(100.0) + 0.4 * (Theta(125.0) - Theta(100.0))},
  };
  for (const Case& c : theta_cases)
    EXPECT_NEAR(soil_.GetTheta(1, c.value), c.expected, 1e-12) << c.what;

  const double mid = 0.5 * (Theta(1.2) + Theta(1.6));
  const Case suction_cases[] = {
      {"saturated", kThetaSat, 0.0},
      {"wetter than saturation", 0.5, 0.0},
      {"residual", kThetaRes, 150.0},
      {"drier than residual", 0.01, 150.0},
      {"half-way between 1.2 and 1.6", mid, 1.4},
  };
  for (const Case& c : suction_cases)
    EXPECT_NEAR(soil_.GetSuction(1, c.value), c.expected, 1e-12) << c.what;
  // A water content equal to a table entry gives that entry's suction exactly.
  for (int j = 2; j <= soil_.SuctionTableLast; ++j)
    EXPECT_EQ(soil_.GetSuction(1, soil_.ThetaForSuction[1][j]), soil_.SuctionTable[1][j]) << j;

  const Case kr_cases[] = {
      {"saturated", kThetaSat, 1.0},
      {"above saturation", 0.6, 1.0},
      {"below residual", 0.05, 0.0},
      {"residual", kThetaRes, 0.0},
  };
  for (const Case& c : kr_cases)
    EXPECT_NEAR(soil_.GetRelativeConductivity(1, c.value, 1.0), c.expected, 1e-15) << c.what;
  // The smaller of the two water contents counts, in either order.
  EXPECT_EQ(soil_.GetRelativeConductivity(1, 0.3, 0.2), soil_.GetRelativeConductivity(1, 0.2, 0.2));
  EXPECT_EQ(soil_.GetRelativeConductivity(1, 0.2, 0.3), soil_.GetRelativeConductivity(1, 0.2, 0.2));
}

TEST(FreezingTemperatureShift, ContinuousAtTheSteepestPointAndTheKnee) {
  const double t_star = -0.15;
  const double eps = 1e-9;
  for (double at : {t_star, 1.3 * t_star}) {
    EXPECT_NEAR(FreezingTemperatureShift(at - eps, t_star),
                FreezingTemperatureShift(at + eps, t_star), 1e-8)
        << at;
  }
  EXPECT_EQ(FreezingTemperatureShift(-0.1, t_star), 0.0);
  EXPECT_NEAR(FreezingTemperatureShift(1.3 * t_star, t_star), 0.15 * t_star, 1e-12);
  EXPECT_NEAR(FreezingTemperatureShift(-2.0, t_star), -2.0 - 1.15 * t_star, 1e-12);
}

TEST_F(SoilLookupTest, FreezingCurveFollowsTheClosedFormInSaturatedSoil) {
  const double scale = 1.0;  // 1 degree C as 1 m of suction
  soil_.BuildFreezingTables(1, scale);
  // The slope is steepest at y = m^(1/n) (from d ln D / dy = 0), so T* = -m^(1/n) / (alpha c);
  // dry soil is shifted by 10 + 1.15 T*, saturated soil not at all.
  const double t_star = -std::pow(kM, 1.0 / kN) / (kAlpha * scale);
  EXPECT_NEAR(soil_.LookupTemperatureShift(1, 0.0), 10.0 + 1.15 * t_star, 1.15 * 0.01);
  EXPECT_NEAR(soil_.LookupTemperatureShift(1, 1.0), 0.0, 1e-12);

  const auto slope = [&](double t) {
    const double y = std::fabs(t) * kAlpha * scale;
    return kM * kN * kAlpha * scale * std::pow(y, kN - 1) * std::pow(1 + std::pow(y, kN), -kM - 1);
  };
  struct Case {
    double temperature;
    double theta;
    double fraction;
    double slope;
  };
  const Case cases[] = {
      {0.5, kThetaSat, 1.0, 0.0},
      {0.5, kThetaRes, 1.0, 0.0},
      {-10.0, kThetaSat, 0.0, 0.0},
      {-12.0, 0.2, 0.0, 0.0},
      {-2.0, kThetaSat, Saturation(2.0), slope(-2.0)},
      {-2.005, kThetaSat, 0.5 * (Saturation(2.0) + Saturation(2.01)),
       0.5 * (slope(-2.0) + slope(-2.01))},
      {-2.0, kThetaRes, 1.0, 0.0},  // dry soil: shifted above 0 degrees C
  };
  // Two cells of one layer each side by side: the offset picks the second.
  std::vector<double> temperature(3), theta(3), fraction(3, -1), slopes(3, -1);
  for (const Case& c : cases) {
    temperature[2] = c.temperature;
    theta[2] = c.theta;
    soil_.LookupFreezingCurve(1, fraction.data(), slopes.data(), temperature.data(), theta.data());
    EXPECT_NEAR(fraction[2], c.fraction, 1e-9) << c.temperature << " " << c.theta;
    EXPECT_NEAR(slopes[2], c.slope, 1e-9) << c.temperature << " " << c.theta;
    EXPECT_EQ(fraction[1], -1.0);
  }
  // Without temperatures nothing is written.
  soil_.LookupFreezingCurve(0, fraction.data(), slopes.data(), nullptr, theta.data());
  EXPECT_EQ(fraction[1], -1.0);
}

TEST(SoilHeatCapacity, IceHeatCapacityRunsLinearlyFromZeroToMinusTwenty) {
  test::CapturedDiag captured;
  const SoilRecord soil =
      test::ParsedLoam(captured.diag, "DryHeatCapacity = 800; DryDensity = 1500;");
  const double a = 1000, cw = 4187, c0 = 2100, c20 = 1940;
  const double theta = 0.3, liquid = 0.4, extra = 5.0;
  const double dry = 1500.0 * 800.0;
  struct Case {
    double temperature;
    double ice;
  };
  for (const Case& c : {Case{-10.0, 2020.0}, Case{-25.0, 1940.0}, Case{-20.0, 1940.0},
                        Case{0.0, 2100.0}, Case{3.0, 2100.0}, Case{-5.0, 2060.0}}) {
    std::vector<double> t = {0, 0, c.temperature}, out(3, 0), f = {0, 0, liquid},
                        add = {0, 0, extra}, th = {0, 0, theta};
    soil.ComputeHeatCapacity(1, t.data(), out.data(), f.data(), add.data(), th.data(), a, cw, c0,
                             c20);
    EXPECT_NEAR(out[2], a * theta * (liquid * cw + (1 - liquid) * c.ice) + dry + extra, 1e-6)
        << c.temperature;
  }
}

}  // namespace
}  // namespace velorn

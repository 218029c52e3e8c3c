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
constexpr double kThetaSat = 0.43, kThetaRes = 0.078, kAlpha = 3.6, kN = 1.56;
const double kM = 1.0 - 1.0 / kN;

double Saturation(double h) {
  return std::pow(1.0 + std::pow(kAlpha * h, kN), -kM);
}
double Theta(double h) {
  return kThetaRes + (kThetaSat - kThetaRes) * Saturation(h);
}
double Kr(double h) {
  const double inner = 1.0 - std::pow(1.0 - std::pow(Saturation(h), 1.0 / kM), kM);
  return std::sqrt(Saturation(h)) * inner * inner;
}

class SoilLookupTest : public test::DiagTest {
 protected:
  SoilRecord soil_ = test::ParsedLoam(diag_, "DryHeatCapacity = 800; DryDensity = 1500;");
};

TEST_F(SoilLookupTest, HydraulicLookups) {
  // Published-form values at 1.2 m and 3.45 m (field capacity), then the closed form at further
  // table points, both ways.
  EXPECT_NEAR(soil_.GetTheta(1, 1.2), 0.22781, 5e-6);
  EXPECT_NEAR(soil_.GetTheta(1, 3.45), 0.16327, 5e-6);
  EXPECT_NEAR(soil_.GetRelativeConductivity(1, Theta(1.2), 1.0), 7.661e-4, 5e-7);
  for (double h : {0.01, 0.1, 0.4, 1.2, 3.45, 20.0, 125.0, 150.0}) {
    EXPECT_NEAR(soil_.GetTheta(1, h), Theta(h), 1e-12) << h;
    EXPECT_NEAR(soil_.GetSuction(1, Theta(h)), h, 1e-9 * h) << h;
    EXPECT_NEAR(soil_.GetRelativeConductivity(1, Theta(h), kThetaSat), Kr(h), 1e-12) << h;
  }
  // A water content equal to a table entry gives that entry's suction exactly.
  for (int j = 2; j <= soil_.SuctionTableLast; ++j)
    EXPECT_EQ(soil_.GetSuction(1, soil_.ThetaForSuction[1][j]), soil_.SuctionTable[1][j]) << j;
  // The hinted look-ups (suction, relative conductivity) equal the plain ones bit for bit,
  // whatever interval the hint holds: from every table entry and midpoint, past both ends, and
  // at every start hint.
  const std::vector<double>& t = soil_.ThetaForSuction[1];
  for (int j = 0; j <= soil_.SuctionTableLast; ++j) {
    for (double theta : {t[j], j > 0 ? 0.5 * (t[j - 1] + t[j]) : 0.5, 0.0, kThetaSat + 0.01}) {
      for (int start = -1; start <= soil_.SuctionTableLast + 1; ++start) {
        int hint = start;
        EXPECT_EQ(soil_.GetSuction(1, theta, hint), soil_.GetSuction(1, theta))
            << j << " " << start;
        hint = start;
        EXPECT_EQ(soil_.GetRelativeConductivity(1, theta, 1.0, hint),
                  soil_.GetRelativeConductivity(1, theta, 1.0))
            << j << " " << start;
      }
    }
  }
  // The searches that start from the interval guesses find what the bisection of the table
  // (a copy without guesses) finds, bit for bit: dense contents, every entry and its neighbours.
  SoilRecord bisected = soil_;
  for (IntervalGuess& guess : bisected.SuctionGuess) guess.scale = 0;
  std::vector<double> contents;
  for (int k = 0; k <= 20000; ++k) contents.push_back(kThetaRes - 0.01 + k * 0.4 / 20000);
  for (double entry : t)
    for (double d : {-1.0, 0.0, 1.0}) contents.push_back(std::nextafter(entry, entry + d));
  for (double theta : contents) {
    EXPECT_EQ(soil_.GetSuction(1, theta), bisected.GetSuction(1, theta)) << theta;
    EXPECT_EQ(soil_.GetRelativeConductivity(1, theta, 1.0),
              bisected.GetRelativeConductivity(1, theta, 1.0))
        << theta;
  }

  enum Kind { kTheta, kSuction, kConductivity };
  struct Case {
    Kind kind;
    double value;
    double expected;
  };
  const double t2 = Theta(0.002), t5 = Theta(0.005);
  const Case cases[] = {
      {kTheta, 0.0, kThetaSat},
      {kTheta, -1.0, kThetaSat},
      {kTheta, 0.0003, kThetaSat},    // steps narrower than 0.001 are not interpolated
      {kTheta, 150.0, Theta(150.0)},  // the closed form; theta_res is only the limit
      {kTheta, 1e4, Theta(150.0)},
      {kTheta, 0.0025, t2 + (t5 - t2) / 6.0},
      {kTheta, 110.0, Theta(100.0) + 0.4 * (Theta(125.0) - Theta(100.0))},
      {kSuction, kThetaSat, 0.0},
      {kSuction, 0.5, 0.0},
      {kSuction, kThetaRes, 150.0},
      {kSuction, 0.01, 150.0},
      {kSuction, 0.5 * (Theta(1.2) + Theta(1.6)), 1.4},
      {kConductivity, kThetaSat, 1.0},
      {kConductivity, 0.6, 1.0},
      {kConductivity, kThetaRes, Kr(150.0)},
      {kConductivity, 0.05, Kr(150.0)},
  };
  for (const Case& c : cases) {
    const double got = c.kind == kTheta     ? soil_.GetTheta(1, c.value)
                       : c.kind == kSuction ? soil_.GetSuction(1, c.value)
                                            : soil_.GetRelativeConductivity(1, c.value, 1.0);
    EXPECT_NEAR(got, c.expected, 1e-12) << c.kind << " " << c.value;
  }
  // The smaller water content counts, in either order; layer 0 has the tables of layer 1.
  EXPECT_EQ(soil_.GetRelativeConductivity(1, 0.3, 0.2), soil_.GetRelativeConductivity(1, 0.2, 0.2));
  EXPECT_EQ(soil_.GetRelativeConductivity(1, 0.2, 0.3), soil_.GetRelativeConductivity(1, 0.2, 0.2));
  EXPECT_EQ(soil_.GetTheta(0, 0.2), soil_.GetTheta(1, 0.2));
}

TEST(FreezingTemperatureShift, ContinuousAtTheSteepestPointAndTheKnee) {
  const double t_star = -0.15;
  for (double at : {t_star, 1.3 * t_star})
    EXPECT_NEAR(FreezingTemperatureShift(at - 1e-9, t_star),
                FreezingTemperatureShift(at + 1e-9, t_star), 1e-8);
  EXPECT_EQ(FreezingTemperatureShift(-0.1, t_star), 0.0);
  EXPECT_NEAR(FreezingTemperatureShift(1.3 * t_star, t_star), 0.15 * t_star, 1e-12);
  EXPECT_NEAR(FreezingTemperatureShift(-2.0, t_star), -2.0 - 1.15 * t_star, 1e-12);
}

TEST_F(SoilLookupTest, FreezingCurve) {
  soil_.BuildFreezingTables(1, 1.0);  // 1 degree C as 1 m of suction
  // The slope is steepest at y = m^(1/n) (d ln D / dy = 0), so T* = -m^(1/n) / alpha; dry soil
  // is shifted by 10 + 1.15 T*, saturated soil not at all.
  const double t_star = -std::pow(kM, 1.0 / kN) / kAlpha;
  EXPECT_NEAR(soil_.LookupTemperatureShift(1, 0.0), 10.0 + 1.15 * t_star, 1.15 * 0.01);
  EXPECT_NEAR(soil_.LookupTemperatureShift(1, 1.0), 0.0, 1e-12);

  const auto slope = [](double t) {
    const double y = -t * kAlpha;
    return kM * kN * kAlpha * std::pow(y, kN - 1) * std::pow(1 + std::pow(y, kN), -kM - 1);
  };
  struct Case {
    double temperature, theta, fraction, slope;
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
  // The layer of the second cell (offset 1) of two one-layer cells.
  std::vector<double> temperature(3), theta(3), fraction(3, -1), slopes(3, -1);
  for (const Case& c : cases) {
    temperature[2] = c.temperature;
    theta[2] = c.theta;
    soil_.LookupFreezingCurve(1, fraction.data(), slopes.data(), temperature.data(), theta.data());
    EXPECT_NEAR(fraction[2], c.fraction, 1e-9) << c.temperature << " " << c.theta;
    EXPECT_NEAR(slopes[2], c.slope, 1e-9) << c.temperature << " " << c.theta;
  }
  soil_.LookupFreezingCurve(0, fraction.data(), slopes.data(), nullptr, theta.data());
  EXPECT_EQ(fraction[1], -1.0);  // neither the other cell nor a call without temperatures
}

TEST_F(SoilLookupTest, IceHeatCapacityRunsLinearlyFromZeroToMinusTwenty) {
  const double a = 1000, cw = 4187, c0 = 2100, c20 = 1940, theta = 0.3, f = 0.4, extra = 5.0;
  const double ice_at[][2] = {{-10, 2020}, {-25, 1940}, {-20, 1940},
                              {0, 2100},   {3, 2100},   {-5, 2060}};
  for (const auto& [t, ice] : ice_at) {
    std::vector<double> temp{0, 0, t}, out(3), liquid{0, 0, f}, add{0, 0, extra}, th{0, 0, theta};
    soil_.ComputeHeatCapacity(1, temp.data(), out.data(), liquid.data(), add.data(), th.data(), a,
                              cw, c0, c20);
    EXPECT_NEAR(out[2], a * theta * (f * cw + (1 - f) * ice) + 1500.0 * 800.0 + extra, 1e-6) << t;
  }
}

}  // namespace
}  // namespace velorn

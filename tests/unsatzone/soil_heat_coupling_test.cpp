// The heat coupling of the soil column: n-factor fallbacks, the boundary under a snow pack, the
// number of heat steps, thaw depth and frozen thickness by hand, and freezing of a wet sand
// against Stefan's solution, with the longer zero curtain of a wet soil than of a dry one.
#include "unsatzone/soil_heat_coupling.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/soil_column_work.h"

namespace velorn {
namespace {

using H = SoilHeatWorkspace;

TEST(HeatCoupling, NFactorFallsBackToSeasonAndDefaults) {
  struct Case {
    double at_date, freezing, thawing, air, expected;
  } cases[] = {
      {0.8, 0.3, 0.9, -5, 0.8},             // value at the date
      {-10000, 0.3, 0.9, -5, 0.3},          // freezing value in frost
      {-10000, 0.3, 0.9, 5, 0.9},           // thawing value otherwise
      {-10000, -10000, -10000, -0.1, 0.6},  // [heat_transfer] NFactorFreezing
      {-10000, -10000, -10000, 0.0, 1.1},   // NFactorThawing at 0 °C
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseNFactor(c.at_date, c.freezing, c.thawing, c.air, 0.6, 1.1), c.expected);
}

TEST(HeatCoupling, SnowBoundaryStaysNearTheAir) {
  SnowSurface s;
  s.dtSeconds = 3600;
  s.thickness = 0.1;
  s.waterContent = 0.3;
  s.liquidFraction = 0.1;
  s.temperature = -1;
  s.conductivity = 0.2;
  // Frozen surface far below the air: at least air - 13.
  s.surfaceKelvin = 243.16;
  UpperBoundary b = SnowUpperBoundary(s, -5, 0.7, 1.2);
  EXPECT_DOUBLE_EQ(b.temperature, -18);
  EXPECT_EQ(b.nFactor, 0.7);
  s.surfaceKelvin = 263.16;
  EXPECT_NEAR(SnowUpperBoundary(s, -5, 0.7, 1.2).temperature, -10, 1e-9);
  // Negative balance: the top layer's temperature, n-factor 1.
  s.energyBalance = -20;
  b = SnowUpperBoundary(s, -5, 0.7, 1.2);
  EXPECT_EQ(b.temperature, -1);
  EXPECT_EQ(b.nFactor, 1);
  // Melting: within [0, air + 13]; a small balance below the limit acts in full.
  s.energyBalance = 5;
  b = SnowUpperBoundary(s, 2, 0.7, 1.2);
  EXPECT_NEAR(b.temperature, std::max(0.0, -1 + 5 * 0.1 / 0.4), 1e-12);
  EXPECT_EQ(b.nFactor, 1.2);
  s.energyBalance = 1e4;
  EXPECT_LE(SnowUpperBoundary(s, 2, 0.7, 1.2).temperature, 15);
  EXPECT_GE(SnowUpperBoundary(s, -20, 0.7, 1.2).temperature, 0);
  // The limit: 30 mm water, 3 mm liquid at -1 °C in an hour.
  const double limit = (3 * 337500 + (3 * 2100 + 27 * 4187)) / 3600.0;
  EXPECT_NEAR(SnowUpperBoundary(s, 100, 0.7, 1.2).temperature, -1 + limit * 0.1 / 0.4, 1e-9);
}

TEST(HeatCoupling, HeatStepCountByHand) {
  // A change of 10 K against 1 K between air and top needs n >= 40 unless 60-s steps stop it.
  EXPECT_EQ(HeatStepCount(10, 1, 0, 3600, 60, 1800), 40);
  EXPECT_EQ(HeatStepCount(10, 1, 0, 3600, 300, 1800), 12);
  // A shortest step beyond the sub-step keeps one step unless the longest forces more.
  EXPECT_EQ(HeatStepCount(10, 1, 0, 3600, 7200, 7200), 1);
  EXPECT_EQ(HeatStepCount(10, 1, 0, 3600, 7200, 1000), 4);
  // No difference between air and top and a non-zero trial: the shortest step ends the search.
  EXPECT_EQ(HeatStepCount(0.5, 3, 3, 86400, 60, 1800), 1440);
}

class FrozenSoil : public test::SoilColumnWork {
 protected:
  // A sand of Carsel and Parrish in `n` layers of dz with its thermal values and freezing tables.
  void LoadSand(int n, double dz, double theta) {
    Load(test::VanGenuchtenKeys(0.43, 0.045, 14.5, 2.68, 8.25e-5, n, dz), theta);
    for (int k = 1; k <= n; ++k) {
      soil_.DryDensity[k] = 1500;
      soil_.DryHeatCapacity[k] = 800;
      soil_.DryThermalConduct[k] = 0.58;
      soil_.BuildFreezingTables(k, 1.22);
    }
    hs_.Resize(0, n);
    const SoilRecord table[2] = {SoilRecord(1), soil_};
    LoadHeatLayers(hs_, soil_, ComputeSoilLayerConstants(table, 1, n, true, p_.lamWater), 1, 0);
    cell_.liquidFraction = true;
  }
  H hs_;
  HeatParameters p_;
};

TEST_F(FrozenSoil, ThawDepthAndFrozenThicknessByHand) {
  LoadSand(4, 0.1, 0.3);
  const double threshold[] = {0, -0.1, -0.1, -0.1, -0.1};
  const double warm_top[] = {0, 5, 3, -1, -2};
  // Layer centres at 0.15 and 0.25 m: 0.15 + 3.1 / 4 x 0.1.
  EXPECT_NEAR(ThawDepth(ws_, warm_top, threshold, 0.0), 0.2275, 1e-12);
  const double warm_bottom[] = {0, -1, -1, 2, 3};
  EXPECT_NEAR(ThawDepth(ws_, warm_bottom, threshold, -5.0), 0.4, 1e-12);
  EXPECT_EQ(ThawDepth(ws_, warm_bottom, threshold, 5.0), 0.0);
  // Frozen layers 3 and 4 start at 0.2 and 0.3 m: below the thaw depth of 0.2275 m only
  // layer 4; with the table at 0.25 m only layer 4 lies wholly below it.
  EXPECT_NEAR(FrozenThicknessBelowTable(ws_, warm_top, threshold, 0.2275, kSurface - 0.15), 0.1,
              1e-12);
  EXPECT_NEAR(FrozenThicknessBelowTable(ws_, warm_top, threshold, 0.0, kSurface - 0.25), 0.1,
              1e-12);
  EXPECT_NEAR(FrozenThicknessBelowTable(ws_, warm_top, threshold, 0.0, kSurface), 0.2, 1e-12);

  // The threshold is the first point of the table at or below the fraction.
  const std::vector<double> t = ThawThresholds(soil_, 0.5);
  const std::vector<double>& table = soil_.LiquidFractionTable[1];
  const int n = static_cast<int>(table.size()) - 1;
  const int k = static_cast<int>(std::lround(t[1] / soil_.FreezingLowerLimit * n));
  EXPECT_LE(table[k], 0.5);
  EXPECT_GT(table[k - 1], 0.5);
}

// Freezing front in a saturated sand at 0.01 °C under a surface at -10 °C: within 20 % of
// Stefan's X = sqrt(2 lambda_f |Ts| t / (L rho_w (theta - theta_res))) (the water that freezes
// in this model), advancing as sqrt(t).
TEST_F(FrozenSoil, FreezingFrontFollowsStefan) {
  const int n = 100;
  LoadSand(n, 0.01, 0.43);
  for (int i = 1; i <= n; ++i) hs_[H::kTemper][i] = 0.01;
  const double lambda_f = std::pow(0.58, 0.57) * std::pow(p_.lamIce, 0.43);
  auto front = [&] {
    for (int i = 1; i < n; ++i) {
      const double f1 = A(W::kLiquid)[i], f2 = A(W::kLiquid)[i + 1];
      if (f1 <= 0.5 && f2 > 0.5) return (i - 0.5 + (0.5 - f1) / (f2 - f1)) * 0.01;
    }
    return 0.0;
  };
  const UpperBoundary upper{-10, 1};
  double x[2] = {0, 0};
  const double days[2] = {1.25, 5};
  int step = 0;
  for (int d = 0; d < 2; ++d) {
    for (; step < days[d] * 1440; ++step) RunHeatStep(ws_, hs_, cell_, p_, upper, {0, 0.01, 0}, 60);
    UpdateThermalProperties(ws_, hs_, cell_, p_);
    x[d] = front();
    const double stefan =
        std::sqrt(2 * lambda_f * 10 * days[d] * 86400 / (p_.latentHeat * 1000 * (0.43 - 0.045)));
    EXPECT_NEAR(x[d], stefan, 0.2 * stefan) << days[d];
  }
  EXPECT_NEAR(x[1] / x[0], 2.0, 0.2);
}

// The same sand wet and dry under -5 °C: a layer 5 cm down stays near 0 °C longer in the wet
// column, whose water must give up its latent heat first.
TEST_F(FrozenSoil, WetSoilKeepsItsZeroCurtainLonger) {
  auto hours_to_freeze = [&](double theta) {
    LoadSand(40, 0.01, theta);
    for (int i = 1; i <= 40; ++i) hs_[H::kTemper][i] = 2.0;
    int steps = 0;
    while (hs_[H::kTemper][5] > -1.0 && steps < 30 * 1440) {
      RunHeatStep(ws_, hs_, cell_, p_, {-5, 1}, {0, 2.0, 0}, 60);
      ++steps;
    }
    return steps / 60.0;
  };
  const double dry = hours_to_freeze(0.06);
  const double wet = hours_to_freeze(0.43);
  EXPECT_GT(wet, 3 * dry);
  EXPECT_LT(wet, 30 * 24);
}

}  // namespace
}  // namespace velorn

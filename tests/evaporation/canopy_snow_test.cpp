// Canopy snow: rain-snow split, vapour pressure against published tables, Hedstrom-Pomeroy
// interception by hand, mass balance of the canopy, albedo and age, melt threshold, closure,
// and the energy-balance root search.
#include "evaporation/canopy_snow.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velorn {
namespace {

using namespace canopy;

TEST(CanopySnow, SplitsRainAndSnowLinearlyAroundTheThreshold) {
  struct Case {
    double t, t0, w, p, snow;
  };
  const Case cases[] = {
      {-2.0, 0.0, 1.0, 10.0, 10.0}, {2.0, 0.0, 1.0, 10.0, 0.0},  {0.0, 0.0, 1.0, 10.0, 5.0},
      {0.5, 0.0, 1.0, 4.0, 1.0},    {0.0, 0.0, 0.0, 10.0, 10.0}, {1.0, 0.0, 1.0, 3.0, 0.0},
  };
  for (const Case& c : cases) {
    double snow = -1, rain = -1;
    SplitRainSnow(snow, rain, c.t, c.t0, c.w, c.p);
    EXPECT_DOUBLE_EQ(snow, c.snow) << "T " << c.t << " w " << c.w;
    EXPECT_DOUBLE_EQ(snow + rain, c.p);
  }
}

TEST(CanopySnow, SaturationVapourPressureMatchesPublishedTables) {
  // Goff-Gratch values (WMO-No. 8): 23.39 hPa over water at 20 C, 6.11 at 0 C, 2.599 hPa over
  // ice at -10 C.
  EXPECT_NEAR(CanopySaturationVaporPressure(293.15), 23.39, 0.1);
  EXPECT_NEAR(CanopySaturationVaporPressure(273.15), 6.11, 0.01);
  EXPECT_NEAR(CanopySaturationVaporPressure(263.15), 2.599, 0.005);
  // Clear sky, dry air: LWin = sigma T^4 (0.61 + 0.05 sqrt(e)); at 273.15 K, 50 % and no cloud
  // 315.6 * (0.61 + 0.05 * 1.748) = 220.1 W/m2.
  EXPECT_NEAR(IncomingLongwave(273.15, 50.0, 0.0, 0.0), 220.1, 0.2);
  // A wet step uses the larger cloud factor: (1 + 0.24) against (1 + 0.2) at full cloud.
  EXPECT_NEAR(IncomingLongwave(273.15, 50.0, 1.0, 1.0) / IncomingLongwave(273.15, 50.0, 1.0, 0.0),
              1.24 / 1.2, 1e-12);
}

// A cold, saturated, dark canopy: no sublimation (no vapour deficit, no radiation) and no melt.
CanopySnowState ColdCanopy(double leaf_area, double load, double snowfall) {
  CanopySnowState s;
  s[kAirTemperature] = 263.16;
  s[kMeanTemperature] = 263.16;
  s[kHumidity] = 100.0;
  s[kLeafAreaIndex] = leaf_area;
  s[kLoadBefore] = load;
  s[kSnowfall] = snowfall;
  s[kPrecipitation] = snowfall;
  return s;
}

TEST(CanopySnow, InterceptsSnowfallAsHedstromAndPomeroy) {
  // I1 = I0 + 0.7 (Imax - I0)(1 - exp(-S / Imax)), Imax = 4.4 L: L 2, I0 1, S 5 gives
  // 1 + 0.7 * 7.8 * (1 - exp(-5 / 8.8)) = 3.36661187.
  CanopySnowState s = ColdCanopy(2.0, 1.0, 5.0);
  CanopySnowStep(s);
  EXPECT_NEAR(s[kLoad], 3.36661187, 1e-8);
  EXPECT_DOUBLE_EQ(s[kSublimation], 0.0);
  EXPECT_NEAR(s[kSnowfall], 5.0 - (3.36661187 - 1.0), 1e-8);
  EXPECT_DOUBLE_EQ(s[kRainfall], 0.0);
  // Fresh snow: albedo 0.1 + 0.7, age restarted and aged by one step.
  EXPECT_DOUBLE_EQ(s[kAlbedo], 0.8);
  EXPECT_DOUBLE_EQ(s[kAge], 3600.0 / 86400.0);
}

TEST(CanopySnow, KeepsTheCanopyMassBalance) {
  // P = liquid + solid below the canopy + change of load + sublimation, for cold, dry, warm,
  // sunny and unloading cases.
  struct Case {
    double t, rh, sw, wind, leaf_area, load, snow, rain;
  };
  const Case cases[] = {
      {263.16, 100, 0, 1, 2, 1, 5, 0},  {263.16, 60, 400, 3, 4, 10, 2, 0},
      {278.16, 80, 600, 2, 3, 8, 0, 4}, {275.16, 90, 200, 0, 1.5, 3, 1, 1},
      {270.16, 30, 800, 8, 6, 0, 0, 0}, {290.16, 50, 900, 2, 2, 0.5, 0, 2},
  };
  for (const Case& c : cases) {
    CanopySnowState s;
    s[kAirTemperature] = c.t;
    s[kMeanTemperature] = c.t - 2;
    s[kHumidity] = c.rh;
    s[kShortwave] = c.sw;
    s[kWind] = c.wind;
    s[kLeafAreaIndex] = c.leaf_area;
    s[kLoadBefore] = c.load;
    s[kSnowfall] = c.snow;
    s[kRainfall] = c.rain;
    s[kPrecipitation] = c.snow + c.rain;
    CanopySnowStep(s);
    const double balance = s[kRainfall] + s[kSnowfall] + (s[kLoad] - c.load) + s[kSublimation];
    EXPECT_NEAR(balance, c.snow + c.rain, 1e-12) << "T " << c.t;
    EXPECT_GE(s[kLoad], 0.0);
    EXPECT_TRUE(std::isfinite(s[kLoad]));
  }
}

TEST(CanopySnow, AgesAlbedoAndUnloadsOnlyAboveMelting) {
  // Snowfall of exactly 0.0001389 mm/s does not refresh the albedo; the record keeps 0.2 with
  // age 0 (no decay before the first aged step) and ends aged by one step.
  CanopySnowState s = ColdCanopy(2.0, 2.0, 1.389);
  s[kTimeStep] = 10000.0;
  CanopySnowStep(s);
  EXPECT_DOUBLE_EQ(s[kAlbedo], 0.2);
  EXPECT_DOUBLE_EQ(s[kAge], 10000.0 / 86400.0);
  EXPECT_DOUBLE_EQ(s[kLiquidUnload] + s[kSolidUnload], 0.0);
  // Aged snow decays at the cold rate: (0.6 - 0.1) exp(-0.1 / 24) + 0.1.
  CanopySnowState aged = ColdCanopy(2.0, 2.0, 0.0);
  aged[kAlbedo] = 0.6;
  aged[kAge] = 1.0;
  CanopySnowStep(aged);
  EXPECT_NEAR(aged[kAlbedo], 0.5 * std::exp(-0.1 / 24.0) + 0.1, 1e-12);
  // Warm: the sub-canopy air is above melting and the whole small load unloads, one third as
  // water; a load that ends at 0 resets age and albedo.
  CanopySnowState warm = ColdCanopy(2.0, 0.5, 0.0);
  warm[kAirTemperature] = 283.16;
  warm[kMeanTemperature] = 283.16;
  warm[kAge] = 2.0;
  CanopySnowStep(warm);
  EXPECT_DOUBLE_EQ(warm[kLoad], 0.0);
  EXPECT_NEAR(warm[kLiquidUnload], 0.5 / 3.3, 1e-12);
  EXPECT_NEAR(warm[kSolidUnload], 0.5 * 2.3 / 3.3, 1e-12);
  EXPECT_DOUBLE_EQ(warm[kAge], 0.0);
  EXPECT_DOUBLE_EQ(warm[kAlbedo], 0.1);
  EXPECT_DOUBLE_EQ(warm[kHumidity], 100.0);
}

TEST(CanopySnow, SparseCanopyLeavesTheAirAndLongwaveOpen) {
  // Below L = exp(-0.55 / 0.29) = 0.15 the closure is 0: the air keeps its temperature and the
  // longwave below is the sky's.
  CanopySnowState s = ColdCanopy(0.1, 0.0, 0.0);
  s[kHumidity] = 70.0;
  s[kMeanTemperature] = 250.0;
  CanopySnowStep(s);
  EXPECT_DOUBLE_EQ(s[kAirTemperature], 263.16);
  EXPECT_DOUBLE_EQ(s[kHumidity], 70.0);
  EXPECT_DOUBLE_EQ(s[kLongwave], IncomingLongwave(263.16, 70.0, 0.0, 0.0));
  // Without any leaf area no snow is held and nothing is undefined.
  CanopySnowState bare = ColdCanopy(0.0, 0.0, 3.0);
  CanopySnowStep(bare);
  EXPECT_DOUBLE_EQ(bare[kLoad], 0.0);
  EXPECT_DOUBLE_EQ(bare[kSnowfall], 3.0);
}

CanopySnowState BalanceState(double radiation) {
  CanopySnowState s;
  s[kAirTemperature] = 268.0;
  s[kAboveTemperature] = 268.0;
  s[kAboveHumidity] = 80.0;
  s[kAboveWind] = 2.0;
  s[kBalanceRadiation] = radiation;
  s[kPreviousCanopyTemperature] = 268.0;
  s[kSnowSurfaceTemperature] = 270.0;
  return s;
}

TEST(CanopySnow, EnergyBalanceFindsTheRootOrReports666) {
  CanopySnowState s = BalanceState(300.0);
  CanopyTemperature(s);
  const double canopy_temperature = s[kCanopyTemperature];
  EXPECT_GT(canopy_temperature, 240.0);
  EXPECT_LT(canopy_temperature, 350.0);
  EXPECT_LT(std::fabs(s[kResidual]), 1.0);
  EXPECT_DOUBLE_EQ(s[kTemperatureDifference], canopy_temperature - 268.0);
  CanopySnowState check = BalanceState(300.0);
  check[kCanopyTemperature] = canopy_temperature;
  EXPECT_DOUBLE_EQ(CanopyEnergyBalanceResidual(check), s[kResidual]);
  // The residual falls with the canopy temperature: a sunlit canopy is warmer than the air.
  EXPECT_GT(canopy_temperature, 268.0);

  // An absorbed shortwave no emission can balance within 240..350 K: no root.
  CanopySnowState none = BalanceState(1e7);
  CanopyTemperature(none);
  EXPECT_DOUBLE_EQ(none[kResidual], kNoCanopyRoot);
  EXPECT_DOUBLE_EQ(none[kCanopyTemperature], 268.0);

  // Calm air counts as 0.01 m/s in the sensible heat.
  CanopySnowState calm = BalanceState(300.0);
  CanopySnowState light = BalanceState(300.0);
  calm[kAboveWind] = 0.0;
  light[kAboveWind] = 0.01;
  calm[kCanopyTemperature] = light[kCanopyTemperature] = 280.0;
  EXPECT_DOUBLE_EQ(CanopyEnergyBalanceResidual(calm), CanopyEnergyBalanceResidual(light));
}

}  // namespace
}  // namespace velorn

// Snow physics of one cell: the formulas against published numbers, the index methods and the
// energy balance against hand computations, the cold-branch surface temperature search, and the
// mended faults of the cell computation (vapour pressure over ice, the sublimation weight,
// deposition on night and day calls).
#include "snow/snow_cell.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "snow/snow_formulas.h"
#include "tests/support/test_files.h"

namespace velorn {
namespace {

constexpr double kNodataSnowCell = -9999;

SnowCellSettings Settings(int method, double minutes = 60) {
  SnowCellSettings s;
  s.method = method;
  s.T0R = 0.5;
  s.transzone = 1.0;
  s.T0 = 0;
  s.C0 = 3;
  s.C1 = 0.5;
  s.C2 = 0.5;
  s.CRFR = 0.5;
  s.RMF = 2;
  s.minutes = minutes;
  s.steps_per_day = 1440 / minutes;
  return s;
}

TEST(SnowFormulas, PublishedNumbers) {
  // Murphy & Koop (2005): saturation over ice at -10 °C is 2.599 hPa.
  EXPECT_NEAR(VapourPressureIce(-10), 2.5946, 5e-4);
  EXPECT_NEAR(MagnusOverIce(-10), 2.599, 0.005 * 2.599);
  // Over water at 10 °C: 12.28 hPa (tables); Magnus gives 12.29.
  EXPECT_NEAR(MagnusOverWater(10), 12.294, 1e-3);
  // ICAO standard atmosphere at 1000 m: 898.76 hPa.
  EXPECT_NEAR(AirPressure(1000), 898.76, 0.01);
  EXPECT_NEAR(DewPoint(6.112, 1013.25), 0.0, 1e-9);
  // Psychrometric tables: air at 10 °C and 50 % has a wet-bulb temperature near 5.3 °C.
  EXPECT_NEAR(WetBulbTemperature(10, 0.5 * MagnusOverWater(10), 0), 5.3, 0.1);
  // A black body at 0 °C radiates 315.7 W/m² (0.61 + 0.05 sqrt(60.84) = 1, no clouds).
  EXPECT_NEAR(IncomingLongWave(1, 273.16, 60.84, 0.08, 0), 315.68, 0.01);
  // Seasonal factor: its mean on 21 March (day 80), near its top on 21 June (day 172).
  const std::array<int32_t, 12> months{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  EXPECT_EQ(DayOfYear(21, 3, months), 80);
  EXPECT_EQ(DayOfYear(1, 2, months), DayOfYear(31, 1, months) + 1);
  EXPECT_DOUBLE_EQ(SeasonalFactor(2.25, 0.75, 80), 2.25);
  EXPECT_NEAR(SeasonalFactor(2.25, 0.75, 172), 2.25 + 0.99992 * 0.75, 1e-5);
  EXPECT_LT(std::fabs(SeasonalFactor(2.25, 0.75, 79) - 2.25), 0.02);
}

TEST(SnowFormulas, ShareCloudsAlbedoThawAndStorage) {
  // transzone 0 is a plain threshold, without a division by 0.
  EXPECT_EQ(SnowShare(0.5, 0.5, 0), 1.0);
  EXPECT_EQ(SnowShare(0.5001, 0.5, 0), 0.0);
  EXPECT_DOUBLE_EQ(SnowShare(0.5, 0.5, 1), 0.5);
  EXPECT_EQ(CloudCoefficient(0.1, 0), 0.24);
  EXPECT_EQ(CloudCoefficient(0, 0.2), 0.08);
  EXPECT_EQ(CloudCoefficient(0, 0.4), 0.17);
  EXPECT_EQ(CloudCoefficient(0, 0.6), 0.2);
  EXPECT_EQ(SnowAlbedo(2.5, 2.5, 3, -1, 0.45, 0.9, 0.2), 0.2);
  EXPECT_DOUBLE_EQ(SnowAlbedo(10, 2.5, 0, -1, 0.45, 0.9, 0.2), 0.9);
  EXPECT_NEAR(SnowAlbedo(10, 2.5, 10, -1, 0.45, 0.9, 0.2), 0.45 + 0.45 * 0.30119, 1e-5);
  EXPECT_NEAR(SnowAlbedo(10, 2.5, 10, 1, 0.45, 0.9, 0.2), 0.45 + 0.45 * 0.60653, 1e-5);
  EXPECT_NEAR(ThawDepth(0.05, 16), 0.2, 1e-12);
  EXPECT_EQ(ThawDepth(0.05, 0), 0.0);
  // A storage with k = 1 keeps e^-1 of its content; constant input converges to input / share;
  // a share of 0 empties it.
  EXPECT_NEAR(LinearStorageStep(1, 1, 0, 0.5), 0.36788, 1e-5);
  double q = 0;
  for (int i = 0; i < 400; ++i) q = LinearStorageStep(q, 10, 3, 0.3);
  EXPECT_NEAR(q, 10, 1e-9);
  EXPECT_EQ(LinearStorageStep(5, 10, 3, 0), 0.0);
  // The solute leaving with the outflow: the outflow's share of outflow plus pack, at most the
  // outflow at the highest concentration; a pack melted away gives exactly what it held
  // (3.7 * 0.3 / 0.3 rounds above 3.7)
  EXPECT_DOUBLE_EQ(PackSoluteOutflow(6, 1, 2, 10), 2.0);
  EXPECT_DOUBLE_EQ(PackSoluteOutflow(6, 1, 2, 1), 1.0);
  EXPECT_EQ(PackSoluteOutflow(3.7, 0.3, 0, 20), 3.7);
  EXPECT_EQ(PackSoluteOutflow(0.1, 0.1, 0, 20), 0.1);
  // ... above the highest concentration too: nothing stays in a pack without water.
  EXPECT_EQ(PackSoluteOutflow(6, 1, 0, 4), 6.0);
}

// Method 1, C0 = 3 mm/(°C d), 5 °C above T0, hourly: 3 * 5 / 24 = 0.625 mm.
TEST(SnowCell, DegreeDayAndIndexMethods) {
  SnowCellState st;
  st.solid = 100;
  SnowCellInput in;
  in.T = 5;
  EXPECT_DOUBLE_EQ(ComputeSnowCell(Settings(1), in, 1.0, 0, st), 0.625);
  // A daily step split into night (0.4, 2 °C) and day (0.6, 5 °C): 3*2*0.4 + 3*5*0.6 mm.
  SnowCellState daily;
  daily.solid = 100;
  double melt = 0;
  in.T = 2;
  melt += ComputeSnowCell(Settings(1, 1440), in, 0.4, 0, daily);
  in.T = 5;
  melt += ComputeSnowCell(Settings(1, 1440), in, 0.6, 0, daily);
  EXPECT_DOUBLE_EQ(melt, 2.4 + 9.0);
  // Below T0 the index methods leave the pack alone; method 3 refreezes at most the liquid.
  in.T = -4;
  SnowCellState cold{10, 0.01, 10.01};
  EXPECT_EQ(ComputeSnowCell(Settings(1), in, 1.0, 0, cold), 0.0);
  EXPECT_DOUBLE_EQ(cold.solid, 10);
  EXPECT_EQ(ComputeSnowCell(Settings(3), in, 1.0, 0, cold), 0.0);
  EXPECT_DOUBLE_EQ(cold.liquid, 0.0);  // 0.5 * 2 * 4 / 24 = 0.083 > 0.01: all refreezes
  EXPECT_DOUBLE_EQ(cold.solid, 10.01);
  // Method 3 switches from the radiation index (2 * 2 / 24 at 2 °C) to rain on snow above
  // 2.4 / spd = 0.1 mm.
  in.T = 2;
  in.P = 0.05;
  SnowCellState wet{50, 0, 50};
  EXPECT_NEAR(ComputeSnowCell(Settings(3), in, 1.0, 0, wet), 2 * 2 / 24.0, 1e-12);
  in.P = 0.1001;
  EXPECT_GT(std::fabs(ComputeSnowCell(Settings(3), in, 1.0, 0, wet) - 2 * 2 / 24.0), 0.01);
}

TEST(SnowCell, PhaseLakesAndDepositionOnNightAndDay) {
  SnowCellInput in;
  in.T = 0.5;
  in.P = 4;
  SnowCellState st;
  ComputeSnowCell(Settings(1), in, 1.0, 0, st);
  EXPECT_DOUBLE_EQ(st.snowfall, 2);
  EXPECT_DOUBLE_EQ(st.rain, 2);
  in.lake = true;
  ComputeSnowCell(Settings(1), in, 1.0, 0, st);
  EXPECT_EQ(st.snowfall, 0.0);
  EXPECT_DOUBLE_EQ(st.rain, 4);
  // Method 10 with D = 0.5, snowing: a night and a day call deposit 0.5 * P once in total, and
  // the pack grows by exactly the raised precipitation.
  in.lake = false;
  in.T = -5;
  in.deposition = 0.5;
  SnowCellState pack;
  double deposited = 0;
  for (double w : {0.3, 0.7}) {
    ComputeSnowCell(Settings(10, 1440), in, w, 0, pack);
    deposited += pack.deposited;
  }
  EXPECT_DOUBLE_EQ(deposited, 2.0);
  EXPECT_DOUBLE_EQ(pack.solid, 4 + deposited);
}

// Energy balance, warm: 5 °C, saturated air, calm, 100 Wh/m² in the hour on albedo 0.5, clear
// sky, no precipitation, surface at 0 °C. By hand: e = 8.7290 hPa, H = 0.18 * 32.82 * (e -
// 6.1071) = 15.4888, LWin = sigma * 278.16^4 * (0.61 + 0.05 sqrt(e)) = 257.2011, LWout = 315.6832,
// sensible 0.18 * 18.85 * 5 = 16.965, so Q = 50 + 257.2011 - 315.6832 + 16.965 + 15.4888 + 1 =
// 24.9717 W/m², and the melt is the step's energy over the heat of fusion: Q * 3600 / 337500.
TEST(SnowCell, EnergyBalanceWarmStepByHand) {
  SnowCellInput in;
  in.T = 5;
  in.humidity = 1;
  in.radiation = 100;
  in.albedo = 0.5;
  SnowCellState st{40, 0, 40, kNodataSnowCell, kNodataSnowCell};
  const double melt = ComputeSnowCell(Settings(5), in, 1.0, 0, st);
  EXPECT_NEAR(st.balance, 24.9717, 1e-3);
  EXPECT_NEAR(melt, 24.9717 * 3600 / 337500, 1e-5);
  EXPECT_DOUBLE_EQ(st.snow_temperature, kSnowZeroKelvin);
  EXPECT_DOUBLE_EQ(st.surface_temperature, kSnowZeroKelvin);
  EXPECT_EQ(st.sublimation, 0.0);  // condensation onto a melting pack is not booked
  // The day call of a split step warms the pack by the weighted energy: its melt is weighted
  // once, w times the melt of a whole call.
  SnowCellState day{40, 0, 40, kNodataSnowCell, kNodataSnowCell};
  EXPECT_NEAR(ComputeSnowCell(Settings(5), in, 0.6, 0, day), 0.6 * melt, 1e-9);
  // An empty pack: no melt, nodata temperatures.
  SnowCellState empty{0, 0, 0, 270, 270};
  EXPECT_EQ(ComputeSnowCell(Settings(5), in, 1.0, 0, empty), 0.0);
  EXPECT_EQ(empty.snow_temperature, kNodataSnowCell);
}

// Warm but dry air (1 °C, 30 %) in sunshine: the wet-bulb temperature is about -3.1 °C, so the
// step's energy (Q about 59 W/m²) sublimates snow: m = w * ds * (H - Q) / Ls, weighted once by w (a
// daily step's day call).
TEST(SnowCell, DryWarmAirSublimatesWeightedOnce) {
  SnowCellInput in;
  in.T = 1;
  in.humidity = 0.3;
  in.radiation = 6000;
  in.albedo = 0.2;
  in.wind = 2;
  for (double w : {1.0, 0.6}) {
    SnowCellState st{30, 0, 30, kNodataSnowCell, kSnowZeroKelvin};
    const double melt = ComputeSnowCell(Settings(5, 1440), in, w, 0, st);
    const double e = 0.3 * MagnusOverWater(1);
    const double H = WindFunction(2) * 32.82 * (e - 6.1071);
    const double Tk = 274.16;
    const double Q = (1 - 0.2) * 6000 * 60 / 1440.0 + IncomingLongWave(1, Tk, e, 0.08, 0) -
                     315.6832 + WindFunction(2) * 18.85 * 1 + H + 1;
    EXPECT_EQ(melt, 0.0);
    EXPECT_NEAR(st.sublimation, -w * 86400 * (H - Q) / kSublimationHeat, 1e-6) << w;
    EXPECT_NEAR(st.solid, 30 - st.sublimation, 1e-9);
  }
  // A pack used up by sublimation ends at 0.
  SnowCellState thin{0.001, 0, 0.001, kNodataSnowCell, kNodataSnowCell};
  ComputeSnowCell(Settings(5, 1440), in, 1.0, 0, thin);
  EXPECT_EQ(thin.solid, 0.0);
  EXPECT_DOUBLE_EQ(thin.sublimation, 0.001);
}

// Cold branch: random weather; the search ends within 0.25 W/m² unless it runs out of its 151
// evaluations, the surface stays within 13 K of the air and at most 0 °C, and the pack never goes
// below 0 nor freezes more than its liquid water.
TEST(SnowCell, ColdSearchStaysInItsBounds) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0, 1);
  int stopped_at_limit = 0;
  const int cases = 2000;
  for (int i = 0; i < cases; ++i) {
    SnowCellInput in;
    in.T = -25 + 25 * unit(random);
    in.humidity = 0.2 + 0.8 * unit(random);
    in.wind = 8 * unit(random);
    in.radiation = 600 * unit(random);
    in.cloudiness = unit(random);
    in.albedo = 0.5 + 0.4 * unit(random);
    in.P = unit(random) < 0.3 ? 2 * unit(random) : 0;
    const double liquid = unit(random) < 0.2 ? unit(random) : 0;
    SnowCellState st{50 * unit(random) + 0.1, liquid, 0, kNodataSnowCell, kNodataSnowCell};
    const double before = st.solid + st.liquid;
    ComputeSnowCell(Settings(5), in, 1.0, 0, st);
    const double Tk = in.T + kSnowZeroKelvin;
    EXPECT_GE(st.surface_temperature, Tk - 13 - 1e-9);
    EXPECT_LE(st.surface_temperature, kSnowZeroKelvin);
    EXPECT_GE(st.solid, 0.0);
    EXPECT_GE(st.liquid, 0.0);
    EXPECT_LE(st.liquid, liquid + (1 - st.share) * in.P + 1e-12);
    EXPECT_NEAR(st.solid + st.liquid, before + in.P - st.sublimation, 1e-9);
    stopped_at_limit += st.evaluations >= 151;
  }
  std::cout << "cold-branch searches that reached the 151st evaluation: " << stopped_at_limit
            << " of " << cases << "\n";
  EXPECT_LT(stopped_at_limit, cases / 10);
  // The search on its own: |Q| <= 0.25 where it stops early.
  ColdBalanceTerms t;
  t.air_kelvin = 263.16;
  t.vapour = 0.8 * MagnusOverIce(-10);
  t.long_wave_in = IncomingLongWave(1, t.air_kelvin, t.vapour, 0.08, 0.1);
  t.wind_function = WindFunction(3);
  t.short_wave = 40;
  t.heat_rain_snow = 1;
  double Q = 0, H = 0;
  int evaluations = 0;
  const double Ts = SearchSurfaceTemperature(t, t.air_kelvin - 2, Q, H, evaluations);
  ASSERT_LT(evaluations, 151);
  double latent = 0;
  EXPECT_LE(std::fabs(ColdBalance(t, Ts, latent)), 0.25);
  EXPECT_DOUBLE_EQ(latent, H);
  // With a given surface temperature grid the balance is evaluated once.
  SnowCellInput in;
  in.T = -8;
  in.humidity = 0.7;
  in.has_surface_grid = true;
  in.surface_given = -12;
  SnowCellState st{20, 0, 20, kNodataSnowCell, kNodataSnowCell};
  ComputeSnowCell(Settings(5), in, 1.0, 0, st);
  EXPECT_EQ(st.evaluations, 1);
  EXPECT_DOUBLE_EQ(st.surface_temperature, kSnowZeroKelvin - 12);
}

// A real snowy climate: the daily Daymet forcing of CAMELS basin 01022500 (Narraguagus River,
// Maine), 2000-2003, mean of tmax and tmin, degree-day method. Every winter's pack builds from
// November or December, is gone by the end of May, and the water balance closes over the four
// years (precipitation = outflow + the pack left at the end).
TEST(SnowCell, MaineWintersBuildAndMeltTheirPack) {
  VELORN_REQUIRE_REFDATA(
      path, "camels-us-4basins/basin_mean_forcing/daymet/01022500_lump_cida_forcing_leap.txt");
  std::ifstream file(path);
  std::string line;
  for (int i = 0; i < 4; ++i) std::getline(file, line);
  SnowCellSettings s = Settings(1, 1440);
  s.T0R = 1;
  SnowCellState st;
  double precipitation = 0, outflow = 0;
  std::map<int, double> winter_peak;  // by the year the winter ends in
  std::map<int, int> first_month;     // month of the first pack above 10 mm
  std::map<int, double> end_of_may;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    int year = 0, month = 0, day = 0, hour = 0;
    double daylight = 0, P = 0, radiation = 0, swe = 0, tmax = 0, tmin = 0;
    fields >> year >> month >> day >> hour >> daylight >> P >> radiation >> swe >> tmax >> tmin;
    if (year > 2003) break;
    SnowCellInput in;
    in.T = (tmax + tmin) / 2;
    in.P = P;
    const double melt = std::min(st.solid, ComputeSnowCell(s, in, 1.0, 0, st));
    st.solid -= melt;
    st.liquid += melt;
    if (st.liquid > 0.1 * st.solid) {
      outflow += st.liquid - 0.1 * st.solid;
      st.liquid = 0.1 * st.solid;
    }
    precipitation += P;
    const int winter = month >= 9 ? year + 1 : year;
    winter_peak[winter] = std::max(winter_peak[winter], st.solid + st.liquid);
    if (st.solid > 10 && first_month.count(winter) == 0) first_month[winter] = month;
    if (month == 5 && day == 31) end_of_may[year] = st.solid + st.liquid;
  }
  for (int winter = 2001; winter <= 2003; ++winter) {
    SCOPED_TRACE(winter);
    EXPECT_GT(winter_peak[winter], 100.0);
    EXPECT_TRUE(first_month[winter] == 11 || first_month[winter] == 12) << first_month[winter];
  }
  for (int year = 2000; year <= 2003; ++year) EXPECT_EQ(end_of_may[year], 0.0) << year;
  EXPECT_NEAR(precipitation, outflow + st.solid + st.liquid, 1e-9 * precipitation);
}

}  // namespace
}  // namespace velorn

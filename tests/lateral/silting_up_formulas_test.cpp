// Silting-up cell formulas against independent numbers: the metric Wischmeier-Smith rain
// energy, geometric mean diameters of the grain-size classes, the limits of the capacity curve,
// the tillage age and the water split (with a soil without sand).
#include "lateral/silting_up_formulas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velorn {
namespace {

TEST(SiltingUpFormulas, RainEnergyFollowsTheMetricWischmeierSmithCurve) {
  // e = 11.89 + 8.73 log10 I (MJ/ha/mm scaled by 100): 20.62 at 10 mm/h, 28.33 from 76.2 mm/h.
  EXPECT_NEAR(RainEnergy(10.0), 20.62, 1e-12);
  EXPECT_NEAR(RainEnergy(1.0), 11.89, 1e-12);
  EXPECT_EQ(RainEnergy(76.2), 28.33);
  EXPECT_EQ(RainEnergy(500.0), 28.33);
  EXPECT_NEAR(RainEnergy(76.19), 11.89 + 8.73 * std::log10(76.19), 1e-12);
  EXPECT_EQ(RainEnergy(0.05), 0.0);  // counts as dry
  EXPECT_GT(RainEnergy(0.0501), 0.0);
  EXPECT_EQ(RainEnergy(0.0), 0.0);
}

TEST(SiltingUpFormulas, MeanDiameterOfPureClassesIsTheGeometricMeanOfTheirLimits) {
  // Class limits in micrometres: clay 0.04-2, silt 2-63, sand 63-2000.
  struct Case {
    GrainSizes grains;
    double expected;
  };
  const Case cases[] = {
      {{1, 0, 0}, std::sqrt(63.0 * 2000.0)},  // 354.97
      {{0, 1, 0}, std::sqrt(2.0 * 63.0)},     // 11.22
      {{0, 0, 1}, std::sqrt(0.04 * 2.0)},     // 0.283
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(GeometricMeanDiameter(c.grains) / c.expected, 1.0, 1e-4) << c.expected;
  }
}

TEST(SiltingUpFormulas, CapacityRunsFromTheInitialToTheFinalRate) {
  const SiltingUpParameters p;
  const double dg = GeometricMeanDiameter({0.4, 0.4, 0.2});
  const double final_rate = FinalInfiltrationRate(p, dg, 0.4);
  const double disposition = SiltingDisposition(p, dg, 0.4, 10.0);
  EXPECT_EQ(SiltingDisposition(p, dg, 0.4, 0.0), 0.0);
  // Fresh surface: I_0 T / 60; sealed after unlimited energy: I_inf T / 60 (T = 30 min).
  EXPECT_DOUBLE_EQ(InfiltrationCapacity(65.0, final_rate, disposition, 0.0, 30.0), 32.5);
  EXPECT_DOUBLE_EQ(InfiltrationCapacity(65.0, final_rate, disposition, 1e9, 30.0),
                   final_rate * 0.5);
  const double half_way = std::log(2.0) / disposition;
  EXPECT_DOUBLE_EQ(InfiltrationCapacity(65.0, final_rate, disposition, half_way, 60.0),
                   (65.0 + final_rate) / 2.0);
}

TEST(SiltingUpFormulas, KineticEnergyAddsUpWithinARainEvent) {
  // 10 mm/h over an hour on half-covered soil: 10 * 20.62 * 0.5.
  const double step = StepKineticEnergy(10.0, RainEnergy(10.0), 0.5, 60.0);
  EXPECT_NEAR(step, 103.1, 1e-9);
  EXPECT_EQ(UpdateKineticEnergy(50.0, step, 3.0, 0.0, 0.5), 50.0 + step);  // event goes on
  EXPECT_EQ(UpdateKineticEnergy(50.0, step, 3.0, 0.5, 0.5), step);         // pause ended it
  EXPECT_EQ(UpdateKineticEnergy(50.0, step, 0.0, 0.0, 0.5), 0.0);          // not tilled
}

TEST(SiltingUpFormulas, TillageAgeCountsFromTheLastTillageDay) {
  const int days[] = {300 - 366, 100, 300};  // tilled on days 100 and 300
  struct Case {
    int day;
    double age;
  };
  const Case cases[] = {{50, 50 + 66}, {100, 0.3}, {150, 50}, {300, 0.3}, {366, 66}};
  for (const Case& c : cases) EXPECT_EQ(TillageAge(c.day, 2, days), c.age) << c.day;
  const int none[] = {-9999};
  EXPECT_EQ(TillageAge(150, 0, none), 0.0);
  EXPECT_FALSE(HasTillage(0, none));
  EXPECT_FALSE(HasTillage(0, nullptr));
  EXPECT_TRUE(HasTillage(2, days));
}

TEST(SiltingUpFormulas, WaterSplitKeepsEveryMillimetreAndNeverYieldsNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double input, storage, capacity;
    bool tilled;
    double infiltration, runoff;
  };
  const Case cases[] = {
      {8.0, 2.0, 6.0, true, 6.0, 4.0},    // beyond the capacity: runoff
      {3.0, 1.0, 6.0, true, 4.0, 0.0},    // within the capacity
      {8.0, 2.0, 6.0, false, 10.0, 0.0},  // untilled soil does not seal
      {8.0, 2.0, -1.0, true, 0.0, 10.0},  // a negative capacity counts as 0
      {8.0, 2.0, nan, true, 10.0, 0.0},   // soil without sand: no sealing
      {8.0, 2.0, inf, true, 10.0, 0.0},
  };
  for (const Case& c : cases) {
    const SurfaceWater out = SplitSurfaceWater(c.input, c.storage, c.capacity, c.tilled);
    EXPECT_EQ(out.water_input, c.infiltration) << c.capacity;
    EXPECT_EQ(out.runoff, c.runoff) << c.capacity;
    EXPECT_EQ(out.storage, 0.0);
  }
  // A soil without sand gives an infinite final rate and an undefined capacity.
  const SiltingUpParameters p;
  const double dg = GeometricMeanDiameter({0, 0.5, 0.5});
  const double final_rate = FinalInfiltrationRate(p, dg, 0.0);
  EXPECT_TRUE(std::isinf(final_rate));
  EXPECT_TRUE(std::isnan(InfiltrationCapacity(65.0, final_rate, 0.0, 10.0, 60.0)));
}

}  // namespace
}  // namespace velorn

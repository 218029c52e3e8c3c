// The pure formulas of discharge routing against closed forms and hand numbers.
#include "routing/routing_formulas.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velorn {
namespace {

// Rectangular channel b = 10 m, n = 0.03, S = 0.001 at y = 2 m: A = 20 m², R = 20/14 m,
// v = R^(2/3) / n · √S = 1.33705 m/s, Q = 26.7409 m³/s (Manning-Strickler closed form).
TEST(ManningTest, FixedPointMatchesClosedFormAndItsHandIteration) {
  ManningSection s;
  s.discharge = 26.7409;
  s.width = 10;
  s.velocity = 1.0;
  SolveManning(s, 50, 1 / 0.03, std::sqrt(0.001), 0.005);
  EXPECT_NEAR(s.velocity, 1.33705, 0.005 * 1.33705);
  EXPECT_NEAR(s.level, 2.0, 0.005 * 2.0);
  // Iterated by hand from v = 1: 1.52625, 1.25392, 1.37816, 1.31782, 1.34628, 1.33267, 1.33914,
  // 1.33605 (|1.33914 − 1.33605| <= 0.005 stops it); h is that of the last iteration.
  EXPECT_NEAR(s.velocity, 1.336053, 1e-6);
  EXPECT_NEAR(s.level, 26.7409 / 1.339137 / 10, 1e-5);

  ManningSection still = s;
  still.velocity = 0.0;  // a start velocity of 0 gives 0 at once
  SolveManning(still, 50, 30, 0.03, 0.005);
  EXPECT_EQ(still.velocity, 0.0);
}

TEST(RoutingFormulasTest, RecessionFactorPerSubStep) {
  EXPECT_DOUBLE_EQ(DischargeToDepth(1.0, 1.0, 60), 3.6);  // 1 m³/s on 1 km² for an hour
  EXPECT_DOUBLE_EQ(RecessionFactor(5, 1), std::exp(-0.2));
  EXPECT_DOUBLE_EQ(RecessionFactor(120, 24), std::exp(-0.2));  // 5 days over daily sub-steps
  EXPECT_DOUBLE_EQ(RecessionFactor(0, 1), std::exp(-100.0));   // k <= 0 counts as 0.01 h
  EXPECT_DOUBLE_EQ(RecessionFactor(-3, 0.5), std::exp(-50.0));
  EXPECT_NEAR(StorageConstantHours(RecessionFactor(5, 24), 24), 5, 1e-12);
  EXPECT_EQ(StorageConstantHours(1.0, 1), 0.0);
  EXPECT_EQ(StorageConstantHours(0.0, 1), -9999.0);
}

TEST(RoutingFormulasTest, TableRowEdges) {
  const double lambda = std::log(1000.0) / 3;     // qmin 1, qmax 1000, n 3: rows 1..4
  EXPECT_EQ(TableRow(0.0, 60, 1, lambda, 4), 1);  // 0 -> 1e-7 l/s/km², below qmin
  EXPECT_EQ(TableRow(5.0, 60, 1, 0.0, 4), 1);     // qmin = qmax: always row 1
  EXPECT_EQ(TableRow(1e6, 60, 1, lambda, 4), 4);  // above qmax: the last row
  // Row r holds (q[r], q[r+1]] with q = 1, 10, 100, 1000: 0.036 mm is 10.0000008 l/s/km², just
  // above q[2]; 0.0359 mm is 9.97 l/s/km².
  EXPECT_EQ(TableRow(0.036, 60, 1, lambda, 4), 2);
  EXPECT_EQ(TableRow(0.0359, 60, 1, lambda, 4), 1);
  EXPECT_EQ(TableRow(std::nan(""), 60, 1, lambda, 4), 1);
}

TEST(RoutingFormulasTest, TravelDecay) {
  // 12 sub-steps of 10 minutes = 1/12 day; half-life 1 day: 2^(−1/12) (1.442695041111 = 1/ln 2).
  EXPECT_NEAR(TravelDecayFactor(12, 60, 6, 1.0), std::pow(2.0, -1.0 / 12), 1e-9);
  EXPECT_EQ(TravelDecayFactor(12, 60, 6, 0.0), 1.0);
  EXPECT_EQ(TravelDecayFactor(12, 60, 6, -9999.0), 1.0);
}

}  // namespace
}  // namespace velorn

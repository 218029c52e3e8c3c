// The solver's pure formulas against hand-computed numbers: the agreed inner time step, aspects
// and the three-way split, the capped kinematic velocity, the flow resistance of sheet flow and
// crop stems (with the flow-free and division-by-zero paths), the face conductance and the
// effective neighbour head.
#include "lateral/surface_flow_formulas.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velorn {
namespace {

TEST(SurfaceFlowFormulas, InnerTimeStepIsAWholeFractionWithinTheLimits) {
  // T = 600 s, minimum 10, maximum 300, stable limit 100: 7 inner steps of 600 / 7 s.
  const InnerTimeStep step = FitInnerTimeStep(600, 100, 10, 300);
  EXPECT_EQ(step.dt, 600.0 / 7);
  int steps = 0;
  for (double elapsed = 0; 600 - 0.5 * 10 > elapsed; elapsed += step.dt) ++steps;
  EXPECT_EQ(steps, 7);
  EXPECT_EQ(FitInnerTimeStep(600, 1e36, 10, 300).dt, 300);  // no moving water
  EXPECT_EQ(FitInnerTimeStep(600, 3, 10, 300).dt, 10);      // below the minimum
  const InnerTimeStep longest = FitInnerTimeStep(600, 400, 10, 300);
  EXPECT_EQ(longest.dt, 300);
  EXPECT_EQ(longest.count, 3);
}

TEST(SurfaceFlowFormulas, AspectsAndTheSplitOfTheOutflow) {
  EXPECT_EQ(SurfaceAspect(0.1, 0), 270);              // east higher: the water flows west
  EXPECT_EQ(SurfaceAspect(-0.1, 0), 90);              // west higher
  EXPECT_EQ(SurfaceAspect(0, 0.1), 180);              // north higher
  EXPECT_EQ(SurfaceAspect(0, -0.1), 0);               // south higher
  EXPECT_NEAR(SurfaceAspect(-0.1, 0.1), 135, 1e-11);  // north-west higher: towards south-east
  // On a main direction: cos 0 = 1 and both sides cos 45 (the degree factor 0.017453 is
  // slightly short of pi / 180), divided by their sum.
  const ThreeWayShares straight = SplitOutflow(0);
  EXPECT_NEAR(straight.main, 1 / (1 + 2 * std::sqrt(0.5)), 1e-5);
  EXPECT_NEAR(straight.anticlockwise, straight.clockwise, 1e-5);
  // Aspect 340 on main direction N (e = -20): the aspect lies 25 degrees from NW (anticlockwise
  // side) and 65 from NE, so NW takes cos 20 cos 25 and NE cos 20 sin 25.
  const double rad = 0.017453, m = std::cos(20 * rad);
  const double near = m * std::cos(25 * rad), far = m * std::sin(25 * rad);
  const ThreeWayShares s = SplitOutflow(-20);
  EXPECT_NEAR(s.main, m / (m + near + far), 1e-12);
  EXPECT_NEAR(s.anticlockwise, near / (m + near + far), 1e-12);
  EXPECT_NEAR(s.clockwise, far / (m + near + far), 1e-12);
  const ThreeWayShares t = SplitOutflow(20);  // the sides swap for a positive deviation
  EXPECT_NEAR(t.anticlockwise, s.clockwise, 1e-12);
  EXPECT_NEAR(t.clockwise, s.anticlockwise, 1e-12);
  // The resultant of the three shares (main along 0, the sides at -45 and +45 degrees) leans to
  // the aspect's side: about -10 degrees for e = -20 (the far-side split gave +10).
  const double east = (s.clockwise - s.anticlockwise) * std::sqrt(0.5);
  const double north = s.main + (s.clockwise + s.anticlockwise) * std::sqrt(0.5);
  EXPECT_LT(std::atan2(east, north), 0);
  // Across the border of two sectors (aspect 337.5 between N and NW) N and NW keep the two
  // largest shares: N's share goes from main (cos 22.5) to the near side (cos^2 22.5).
  const ThreeWayShares before = SplitOutflow(-22.4999), after = SplitOutflow(22.5);
  EXPECT_NEAR(after.clockwise / before.main, std::cos(22.5 * rad), 1e-5);
  EXPECT_NEAR(after.main / before.anticlockwise, 1 / std::cos(22.5 * rad), 1e-5);
}

TEST(SurfaceFlowFormulas, KinematicVelocityIsCapped) {
  // 10 h^(2/3) sqrt(S) with h = 0.027 m, S = 0.01: 10 * 0.09 * 0.1 (h^0.66667 ~ 0.0900).
  EXPECT_NEAR(CappedKinematicVelocity(0.027, 0.1, 10, 1), 10 * std::pow(0.027, 0.66667) * 0.1,
              1e-15);
  EXPECT_EQ(CappedKinematicVelocity(1.0, 1.0, 10, 1), 10.0 / 20);  // L / (20 minimum)
}

RoughnessParameters Crops(double d, int32_t steps) {
  RoughnessParameters p;
  p.cultivation = 2;
  p.k_st = 25;
  p.stem_diameter = d;
  p.crop_distance_x = 0.2;
  p.crop_distance_y = 0.15;
  p.c_wr = 0.9;
  p.anl_error = 0.0001;
  p.anl_steps = steps;
  p.minimum_depth = 0.005;
  return p;
}

TEST(SurfaceFlowFormulas, FlowResistanceOfSheetFlowAndCrops) {
  RoughnessParameters sheet;
  sheet.cultivation = 1;
  sheet.k_st = 20;
  const double set1[3] = {2.0, 0.5, 0.3}, set2[3] = {4.0, 0.25, 0.1};
  for (int i = 0; i < 3; ++i) sheet.coeff1[i] = set1[i], sheet.coeff2[i] = set2[i];
  // Re = v 4e6 r: 0.05 * 4e6 * 0.1 = 20000 takes the second set.
  EXPECT_NEAR(FlowResistance(sheet, 0.05, 0.1, 0.3, 0.1),
              1 / (std::pow(30.0, 0.25) * 4.0 / std::pow(20000.0, 0.1)), 1e-9);
  EXPECT_NEAR(FlowResistance(sheet, 0.05, 0.05, 0.3, 0.1),
              1 / (std::pow(30.0, 0.5) * 2.0 / std::pow(10000.0, 0.3)), 1e-9);
  // Without flow (Re = 0) or without cover (1 / 0) the land use's K_ST holds.
  EXPECT_EQ(FlowResistance(sheet, 0, 0.01, 0.3, 0.1), 20);
  EXPECT_EQ(FlowResistance(sheet, 0.1, 0.01, 0.0, 0.1), 20);
  // Drag coefficients at the table's boundaries.
  EXPECT_NEAR(StemDragCoefficient(799.9, 0.9), 3.07 * std::pow(799.9, -0.168), 1e-12);
  EXPECT_EQ(StemDragCoefficient(800, 0.9), 1.0);
  EXPECT_EQ(StemDragCoefficient(8000, 0.9), 1.2);
  EXPECT_EQ(StemDragCoefficient(10000, 0.9), 0.9);
  // No drag: thin stems, shallow water, standing water.
  EXPECT_EQ(FlowResistance(Crops(0.0009, 10), 0.1, 0.02, 0.5, 0.1), 25);
  EXPECT_EQ(FlowResistance(Crops(0.005, 10), 0.1, 0.004, 0.5, 0.1), 25);
  EXPECT_EQ(FlowResistance(Crops(0.005, 10), 0.0, 0.02, 0.5, 0.1), 25);
  EXPECT_EQ(StemDrag(Crops(0.005, 10), 0.0, 0.02, 0.1), 0.0);
}

TEST(SurfaceFlowFormulas, CropDragWithoutIterationsHasItsClosedForm) {
  // Step limit 0: a_NL = 50 D and a water-surface factor of 0.4.
  const double d = 0.005, v = 0.1, r = 0.02, s = 0.05;
  const RoughnessParameters p = Crops(d, 0);
  const double cd = StemDragCoefficient(v * d * 1e6, p.c_wr);  // Re_D 500
  const double a_nl = 50 * d;
  const double p3 = std::pow(a_nl / 0.2, -0.48);
  const double p4 = std::pow(std::pow(a_nl, 0.59) * 0.24 * std::pow(cd * d, 0.41) / 0.15, 1.1);
  const double w = 0.15, q = w / (w - d);
  double fr = v / std::sqrt(9.8159 * r);
  ASSERT_LT(q * q * q * fr, 0.666);
  const double drag =
      (r * 4 * d / (w * 0.2)) * (cd * 1.31 * (p3 * 1.15 + p4 * 0.5) + 2 / (fr * fr) * 0.4);
  EXPECT_NEAR(StemDrag(p, v, r, s), drag, 1e-12 * drag);
  const double t = std::pow(r, 0.3333);
  EXPECT_NEAR(FlowResistance(p, v, r, 0.5, s),
              std::sqrt(78.5272 / (t * (78.5272 / (25.0 * 25 * t) + drag))), 1e-12);
  // With iterations the drag stays finite and lowers k_st below K_ST.
  const double k = FlowResistance(Crops(d, 20), v, r, 0.5, s);
  EXPECT_TRUE(std::isfinite(k));
  EXPECT_LT(k, 25);
  // Slow flow on a steep slope: C_D s / v^2 is huge; the clamped slope keeps a_NL finite.
  EXPECT_TRUE(std::isfinite(FlowResistance(Crops(d, 20), 1e-6, r, 0.5, 0.5)));
}

TEST(SurfaceFlowFormulas, FaceConductanceAndEffectiveHeads) {
  EXPECT_EQ(FaceConductance(2, 6), 2 * 2 * 6 / 8.0);
  EXPECT_EQ(FaceConductance(0, 0), 0);
  EXPECT_EQ(EffectiveNeighbourHead(101, 100, 105, 104, true, false), 101);       // beyond the grid
  EXPECT_EQ(EffectiveNeighbourHead(101, 100, 105, 104, false, true), 100);       // channel: own z
  EXPECT_EQ(EffectiveNeighbourHead(101, 100, 104.5, 104, false, false), 101.5);  // below it
  EXPECT_EQ(EffectiveNeighbourHead(101, 100, 99.5, 99, false, false), 100);      // dry below
  EXPECT_EQ(EffectiveNeighbourHead(101, 100, 100.5, 99, false, false), 100.5);
}

// What subbasins pass each other: the gains come from the losses in proportion to them, and
// neither side passes more than the other has; the exchange sums to 0 (no water made or lost).
TEST(SurfaceFlowFormulas, SubbasinExchangeMovesNoMoreThanEitherSide) {
  const auto sum = [](const std::vector<double>& v) { return v[1] + v[2] + v[3]; };
  const std::vector<double> gains_covered = SubbasinExchange({0, 3, 1, -2});
  EXPECT_DOUBLE_EQ(gains_covered[1], 1.5);
  EXPECT_DOUBLE_EQ(gains_covered[2], 0.5);
  EXPECT_DOUBLE_EQ(gains_covered[3], -2);
  const std::vector<double> gains_beyond = SubbasinExchange({0, 1, -3, -1});
  EXPECT_DOUBLE_EQ(gains_beyond[1], 1);
  EXPECT_DOUBLE_EQ(gains_beyond[2], -0.75);
  EXPECT_DOUBLE_EQ(gains_beyond[3], -0.25);
  for (const auto& exchange : {gains_covered, gains_beyond}) EXPECT_NEAR(sum(exchange), 0, 1e-15);
  EXPECT_EQ(SubbasinExchange({0, 2, 0, 1}), std::vector<double>(4, 0.0));  // nobody gained
}

}  // namespace
}  // namespace velorn

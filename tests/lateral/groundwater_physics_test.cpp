// The cell formulas of the groundwater model against hand-computed numbers and a dense solve.
#include "lateral/groundwater_physics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace velorn {
namespace {

TEST(GroundwaterLeakage, FollowsTheHeadDifferenceClampedToOneMetre) {
  // Upward: lower head higher. Downward into a full lower layer. Clamped at 1 m.
  EXPECT_NEAR(LeakageRate(10.0, 10.5, 5.0, 1e-6), 0.5e-6, 1e-18);
  EXPECT_NEAR(LeakageRate(10.0, 9.6, 5.0, 1e-6), -0.4e-6, 1e-18);
  EXPECT_NEAR(LeakageRate(10.0, 3.0, 2.0, 1e-6), -1e-6, 1e-18);
  // Lower layer not full (head 4 below its top 5): the upper head's height above that top
  // drives the water down, and nothing leaks while the upper head is below it.
  EXPECT_NEAR(LeakageRate(5.4, 4.0, 5.0, 1e-6), -0.4e-6, 1e-18);
  EXPECT_NEAR(LeakageRate(10.0, 4.0, 5.0, 1e-6), -1e-6, 1e-18);
  EXPECT_EQ(LeakageRate(4.5, 4.0, 5.0, 1e-6), 0.0);
}

TEST(GroundwaterFaces, HarmonicMeanAndTheDryCellRule) {
  const FaceSide wet{2e-3, 10.0, 1e-4, 0};
  EXPECT_DOUBLE_EQ(FaceTransmissivity(wet, FaceSide{1e-3, 9.0, 1e-4, 0}), 2 * 2e-3 * 1e-3 / 3e-3);
  // A dry cell below a higher wet neighbour takes the neighbour's value: the face carries it.
  EXPECT_DOUBLE_EQ(FaceTransmissivity(FaceSide{-0.5, 8.0, 1e-4, 0}, wet), 2e-3);
  EXPECT_DOUBLE_EQ(FaceTransmissivity(wet, FaceSide{-0.5, 8.0, 1e-4, 0}), 2e-3);
  // No inflow from a lower wet cell, none into a glacier cell or a cell without conductivity.
  EXPECT_DOUBLE_EQ(FaceTransmissivity(FaceSide{-0.5, 12.0, 1e-4, 0}, wet), 0.0);
  EXPECT_DOUBLE_EQ(FaceTransmissivity(wet, FaceSide{-0.5, 8.0, 1e-4, 0.3}), 0.0);
  EXPECT_DOUBLE_EQ(FaceTransmissivity(wet, FaceSide{-0.5, 8.0, 0.0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(FaceTransmissivity(FaceSide{0, 1, 0, 0}, FaceSide{0, 1, 0, 0}), 0.0);
  // Confined above top + 0.01, else the saturated part (minus frozen ground) counts.
  EXPECT_DOUBLE_EQ(CellTransmissivity(50.02, 50, 10, 10, 1e-4, true), 1e-3);
  EXPECT_DOUBLE_EQ(CellTransmissivity(48, 50, 10, 6, 1e-4, true), 4e-4);
  EXPECT_DOUBLE_EQ(CellTransmissivity(50.01, 50, 10, 10, 1e-4, true), 10.01 * 1e-4);
  EXPECT_DOUBLE_EQ(CellTransmissivity(50.01, 50, 10, 10, 1e-4, false), 1e-3);
}

TEST(GroundwaterCellUpdate, ImplicitHeadBalancesTheCellAndKeepsAnIsolatedDryCell) {
  // Two neighbours at 11 and 9 m with C = 1e-3, A = 100, S = 1e-4, dt 3600, h0 = 10.5: the
  // implicit balance A S (h - h0)/dt = C (11 - h) + C (9 - h) + A Q.
  CellUpdate cell{100, 3600, 1, 1e-4, 2e-6, 10.5, 10.5, {1e-3, 1e-3, 0, 0}, {11, 9, 0, 0}};
  const double k = 100 * 1e-4 / 3600;
  const double expected = (k * 10.5 + 1e-3 * 20 + 100 * 2e-6) / (k + 2e-3);
  EXPECT_NEAR(ImplicitCellHead(cell), expected, 1e-12);
  // Explicit (alpha 0): h = h0 + dt/(A S) (sum C (H - h0) + A Q).
  cell.alpha = 0;
  EXPECT_NEAR(ImplicitCellHead(cell), 10.5 + (1e-3 * 0.5 - 1e-3 * 1.5 + 2e-4) / k, 1e-9);
  // No storage and no conductance: nothing to solve, the head stays (no NaN).
  CellUpdate isolated{100, 3600, 1, 0, 2e-6, 7.0, 6.0, {0, 0, 0, 0}, {7, 7, 7, 7}};
  EXPECT_EQ(ImplicitCellHead(isolated), 7.0);
  isolated.alpha = 0;
  isolated.conductance[0] = 1e-3;
  EXPECT_EQ(ImplicitCellHead(isolated), 7.0);
}

TEST(GroundwaterThomas, EqualsADenseSolveOfTheSameSystem) {
  const int n = 7;
  std::vector<double> a(n), b(n), c(n), d(n);
  for (int i = 0; i < n; ++i) {
    a[i] = i > 0 ? 0.3 + 0.1 * i : 0;
    c[i] = i < n - 1 ? 0.2 + 0.05 * i : 0;
    b[i] = -(1.5 + a[i] + c[i] + 0.01 * i);
    d[i] = std::sin(1.0 + i);
  }
  // Gaussian elimination of the same matrix held dense (diagonally dominant: no pivoting).
  std::vector<std::vector<double>> m(n, std::vector<double>(n + 1, 0.0));
  for (int i = 0; i < n; ++i) {
    if (i > 0) m[i][i - 1] = a[i];
    m[i][i] = b[i];
    if (i < n - 1) m[i][i + 1] = c[i];
    m[i][n] = d[i];
  }
  for (int k = 0; k < n; ++k)
    for (int i = k + 1; i < n; ++i)
      for (int j = n; j >= k; --j) m[i][j] -= m[i][k] / m[k][k] * m[k][j];
  std::vector<double> x(n);
  for (int i = n - 1; i >= 0; --i) {
    x[i] = m[i][n];
    for (int j = i + 1; j < n; ++j) x[i] -= m[i][j] * x[j];
    x[i] /= m[i][i];
  }
  SolveTridiagonal(a.data(), b.data(), c.data(), d.data(), n);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(d[i], x[i], 1e-12) << i;
}

}  // namespace
}  // namespace velorn

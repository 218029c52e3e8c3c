// The head solution of the groundwater model against analytical solutions (linear strip, Thiem,
// Theis), the identities of its solvers and the balance of what it moves. The aquifer under test
// is layer 2 of a two-layer model without leakage: layer 1 follows the water table every
// sub-step. Heads stay above the layer top, so the layer is confined with T = 10 m x k.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "lateral/groundwater_physics.h"
#include "tests/lateral/groundwater_fixture.h"

namespace velorn {
namespace {

using test::GroundwaterTest;
constexpr double kPi = std::numbers::pi;

// A strip of 3 x 11 cells of 10 m between fixed heads 130 m (column 1) and 120 m (column 11).
class Strip : public GroundwaterTest {
 protected:
  Strip() : GroundwaterTest(3, 11, 10.0) {
    AddInputs(2, 20.0, 1e-4, 1e-5);
    for (int r = 1; r <= 3; ++r) {
      G("gw_boundary_fix_h_2")[r][1] = 130;
      G("gw_boundary_fix_h_2")[r][11] = 120;
    }
  }
};

// The account of what the aquifer moves, in mm over a 100 m² cell: while the strip fills from
// its start heads, the water stored in layer 2 is what the fixed heads gave (but for the
// imbalance of the sweeps), and the flow between cells cancels over the strip. Once steady, every
// row carries T dh/dx x width = 1e-3 x 0.1 x 10 = 1e-3 m³/s: in a sub-step of 3600 s, 3.6 m³ = 36
// mm enter at column 1 from its fixed head and leave at column 11.
TEST_F(Strip, SteadyHeadsAreLinearAndCarryTDeltaHOverL) {
  ASSERT_EQ(Make(Section(1, 2)), 0) << screen_.str();
  const auto sum = [&](const char* identifier) {
    double total = 0;
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 11; ++c) total += Grid(identifier)[r][c];
    return total;
  };
  Run(19);
  // About 2000 mm passed through the strip; the sweeps stop at 1e-10 m.
  const double supplied = sum("groundwater_boundary");
  const double iteration = sum("groundwater_iteration");
  EXPECT_GT(supplied, 1.0);
  EXPECT_NEAR(sum("groundwater_storage"), supplied + iteration, 1e-12);
  EXPECT_NEAR(sum("groundwater_lateral"), 0.0, 1e-9);
  EXPECT_LT(std::fabs(iteration), 1e-5);
  model_->BeginStep(1, 1, 6, 2001);  // a new step: its own account
  Run(1);
  for (int r = 1; r <= 3; ++r) {
    EXPECT_NEAR(Grid("groundwater_boundary")[r][1], 36.0, 1e-6);
    EXPECT_NEAR(Grid("groundwater_boundary")[r][11], -36.0, 1e-6);
    EXPECT_NEAR(Grid("groundwater_lateral")[r][1], -36.0, 1e-6);
    EXPECT_NEAR(Grid("groundwater_lateral")[r][6], 0.0, 1e-6);
  }
  const double t = 10 * 1e-4;
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 11; ++c) EXPECT_NEAR(Head(2, r, c), 130 - (c - 1), 1e-6) << r << "," << c;
  // Flux per metre of width through every face: q = T dh / L = 1e-3 x 10 / 100.
  for (int c = 1; c < 11; ++c)
    EXPECT_NEAR(Grid("gw_flow_x_2")[2][c] * 10.0, t * 10.0 / 100.0, 1e-9) << c;
  // Converged confined cells without fixed inflow close their balance.
  for (int c = 2; c < 11; ++c) EXPECT_NEAR(Grid("gw_balance2")[2][c], 0.0, 1e-5) << c;
}

// A basin whose first row of cells lies below an empty row, which no process computes (the
// decomposition starts at row 2): the row above carries no flow, and the strip keeps its line
// instead of draining into the nodata heads of the empty row.
TEST_F(Strip, EmptyRowAboveTheOwnRowsCarriesNoFlow) {
  for (int c = 1; c <= 11; ++c) G("zones")[1][c] = N;
  setup_.first_local_row = 2;
  ASSERT_EQ(Make(Section(1, 2, 1.5, 1, "0 0", "0 no ponds", 300, 1e-4)), 0) << screen_.str();
  Run(1);
  for (int r = 2; r <= 3; ++r)
    for (int c = 1; c <= 11; ++c) EXPECT_NEAR(Head(2, r, c), 130 - (c - 1), 0.05) << r << "," << c;
  EXPECT_EQ(Grid("gw_transmissivity_y_2")[1][5], 0.0);
}

TEST_F(Strip, RowImplicitPassSolvesTheRowExactlyWhenNothingMovesAcrossRows) {
  // Method 2 solves x implicitly: with equal start heads in every row the rows do not exchange,
  // so one pass per sub-step with little storage lands on the straight line.
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 11; ++c) G("gw_storage_coeff_2")[r][c] = 1e-9;
  ASSERT_EQ(Make(Section(2, 2)), 0) << screen_.str();
  Run(2);
  for (int c = 1; c <= 11; ++c) EXPECT_NEAR(Head(2, 2, c), 130 - (c - 1), 1e-4) << c;
}

// A row of 6 cells of 10 m, layer 1 only (97.5 to 100 m in columns 1-5), the table 0.5 m above
// the bottom (S = 0.01: 0.5 m3 per cell), conducting 0.1 m/s towards column 6, whose surface
// lies 20 m lower: a fixed head there, or a free cell. Within the hour the row-implicit pass
// drains the whole chain of columns 1-5 to the bottom; each drained cell passes what it holds
// on to its lower neighbour, so all 2.5 m3 reach column 6 (the inner cells of a chain gave
// nothing and kept nothing: their water vanished).
class DrainedRow : public GroundwaterTest {
 protected:
  DrainedRow() : GroundwaterTest(1, 6, 10.0) {}
};

TEST_F(DrainedRow, ChainOfDrainedCellsPassesItsWaterToTheSink) {
  struct Case {
    const char* what;
    double fixed;  // fixed head of column 6 (nodata: a free cell, its table at 78 m)
  };
  const double s = 0.01, area = 100;
  for (const Case& t : {Case{"fixed head", 78}, Case{"low free cell", N}}) {
    Reset();
    AddInputs(1, -2.0, 0.1, s);
    G("[elevation_model]")[1][6] -= 20;
    G("gw_boundary_fix_h_1")[1][6] = t.fixed;
    ASSERT_EQ(Make(Section(2, 1)), 0) << screen_.str();
    Run(1);
    double lost = 0, iteration = 0;
    for (int c = 1; c <= 6; ++c) {
      if (c < 6) {
        EXPECT_NEAR(Head(1, 1, c), 97.5, 1e-12) << t.what << " " << c;
        lost += (98 - Head(1, 1, c)) * s * area;
      }
      iteration += Grid("groundwater_iteration")[1][c];
      // A fixed head's balance is what its boundary gave.
      if (c < 6 || !(t.fixed > N)) {
        EXPECT_NEAR(Grid("gw_balance1")[1][c], 0, 1e-9) << t.what << " " << c;
      }
    }
    EXPECT_NEAR(lost, 2.5, 1e-9) << t.what;
    // What column 6 took, m3: its boundary's water, or its own rise.
    const double taken = t.fixed > N ? -Grid("groundwater_boundary")[1][6] * area / 1000
                                     : (Head(1, 1, 6) - 78) * s * area;
    EXPECT_NEAR(taken, 2.5, 1e-9) << t.what;
    EXPECT_NEAR(iteration, 0, 1e-9) << t.what;
  }
}

TEST_F(Strip, RedBlackSweepWithUnitFactorIsGaussSeidelOfTheImplicitScheme) {
  ASSERT_EQ(Make(Section(1, 2, 1.0, 1.0, "0 0", "0", 1)), 0) << screen_.str();
  Run(1);
  // After one sweep the cells updated last (odd row + column) satisfy their implicit equation
  // exactly with the final values of their neighbours.
  double** h = Grid("gw_head_2");
  double** h0 = Grid("gw_head_old_2");
  double** tx = Grid("gw_transmissivity_x_2");
  double** ty = Grid("gw_transmissivity_y_2");
  int checked = 0;
  for (int r = 1; r <= 3; ++r) {
    for (int c = 2; c <= 10; ++c) {
      if ((r + c) % 2 == 0) continue;
      CellUpdate cell{
          100,
          3600,
          1,
          1e-5,
          0,
          h[r][c],
          h0[r][c],
          {r > 1 ? ty[r - 1][c] : 0, ty[r][c], tx[r][c - 1], tx[r][c]},
          {r > 1 ? h[r - 1][c] : h[r][c], r < 3 ? h[r + 1][c] : h[r][c], h[r][c - 1], h[r][c + 1]}};
      EXPECT_NEAR(ImplicitCellHead(cell), h[r][c], 1e-9) << r << "," << c;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 14);
}

// A square confined aquifer of 121 x 121 cells of 5 m with one well of 0.01 m3/s in the middle
// and a fixed head of 120 m on its outer ring, 300 m from the well.
class Well : public GroundwaterTest {
 protected:
  static constexpr int kSize = 121;
  static constexpr int kMid = 61;
  static constexpr double kQ = 0.01;
  static constexpr double kT = 1e-3;
  Well(int size = kSize) : GroundwaterTest(size, size, 5.0) {}
  void SetUpWell(int size, double storage, bool ring) {
    AddInputs(2, 20.0, kT / 10.0, storage);
    const int mid = (size + 1) / 2;
    G("gw_boundary_fix_q_2")[mid][mid] = -kQ / 25.0;
    if (!ring) return;
    for (int i = 1; i <= size; ++i)
      for (double** fix = G("gw_boundary_fix_h_2"); double* row : {fix[1], fix[size]})
        row[i] = 120, fix[i][1] = 120, fix[i][size] = 120;
  }
};

TEST_F(Well, SteadyDrawdownFollowsThiemAndTheWellCellPeaceman) {
  SetUpWell(kSize, 1e-9, true);
  ASSERT_EQ(Make(Section(1, 2, 1.95, 1.0, "0 0", "0", 50000, 1e-10)), 0) << screen_.str();
  Run(1);
  const double h10 = Head(2, kMid, kMid + 2);
  const double h100 = Head(2, kMid, kMid + 20);
  // h(100 m) - h(10 m) = Q / (2 pi T) ln(10) = 3.664678 m.
  EXPECT_NEAR((h100 - h10) / 3.664678, 1.0, 0.02);
  // The well cell stands for the radius 0.198 dx: h(100 m) - h(well) = Q/(2 pi T) ln(100/0.99).
  const double peaceman = kQ / (2 * kPi * kT) * std::log(100.0 / 0.99);
  EXPECT_NEAR((h100 - Head(2, kMid, kMid)) / peaceman, 1.0, 0.02);
}

class TheisWell : public GroundwaterTest {
 protected:
  // Cells of 10/3 m: the cell 3 away from the well lies 10 m from it; the closed edge lies 300 m
  // away, where the cone of one hour adds some 1.5 % by reflection.
  static constexpr int kSize = 181;
  TheisWell() : GroundwaterTest(kSize, kSize, 10.0 / 3.0) {}
};

TEST_F(TheisWell, TransientDrawdownFollowsTheis) {
  AddInputs(2, 20.0, 1e-4, 1e-4);
  const int mid = (kSize + 1) / 2;
  G("gw_boundary_fix_q_2")[mid][mid] = -0.01 / (100.0 / 9.0);
  ASSERT_EQ(Make(Section(1, 2, 1.95, 1.0, "0 0", "0", 5000, 1e-6), 10), 0) << screen_.str();
  Run(10);
  // s = Q / (4 pi T) W(u), u = r2 S / (4 T t) = 6.94444e-4 at 10 m after 3600 s: 5.328410 m.
  const double s10 = 120.0 - Head(2, mid, mid + 3);
  EXPECT_NEAR(s10 / 5.328410, 1.0, 0.03);
  const double s10_y = 120.0 - Head(2, mid + 3, mid);
  EXPECT_NEAR(s10_y, s10, 1e-9);  // the cone is round in both directions
}

}  // namespace
}  // namespace velorn

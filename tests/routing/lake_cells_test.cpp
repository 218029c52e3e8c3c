// A lake on its grid cells, by hand: the fluxes and the state taken from the ponding water, the
// level written back to the cells, and a lake reservoir's water balance per step, closed to
// round-off, with its table file and the refusal of a lake across two subbasins.
#include "routing/lake_cells.h"

#include <gtest/gtest.h>

#include <tuple>

#include "core/matrix.h"
#include "routing/reservoir.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int kRows = 3;
constexpr int kCols = 4;
constexpr double kNodata = -9999;
constexpr double kCell = 10.0;  // 100 m² per cell

// Lake 7 in subbasin 5: (1,2) at 100 m, (1,3) at 100.5 m, (2,2) and (2,3) at 101 m, all with
// the top at 102 m; (3,3) carries code 7 outside the zone grid; lake 8 lies in subbasin 6.
class LakeCellsTest : public test::DiagTest {
 protected:
  LakeCellsTest() {
    for (GridMatrix* g : {&codes_, &zones_, &elevation_, &max_pond_, &ponding_, &etr_, &prec_})
      *g = GridMatrix(diag_, 1, kRows, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        codes_[r][c] = kNodata;
        zones_[r][c] = 5;
        elevation_[r][c] = max_pond_[r][c] = ponding_[r][c] = etr_[r][c] = prec_[r][c] = 0;
      }
    auto lake = [&](int r, int c, double z) {
      codes_[r][c] = 7;
      elevation_[r][c] = z;
      max_pond_[r][c] = (102 - z) * 1000;
    };
    for (auto [r, c, z] :
         {std::tuple{1, 2, 100.0}, {1, 3, 100.5}, {2, 2, 101.0}, {2, 3, 101.0}, {3, 3, 90.0}})
      lake(r, c, z);
    zones_[3][3] = kNodata;
    codes_[3][1] = 8;
    zones_[3][1] = 6;
    statics_ = {codes_.get(), zones_.get(), elevation_.get(), max_pond_.get(),
                kRows,        kCols,        kNodata};
    grids_.ponding = ponding_.get();
    grids_.transpiration = etr_.get();
    grids_.precipitation = prec_.get();
  }
  double PondedVolume() const {
    double v = 0;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        if (codes_[r][c] == 7 && zones_[r][c] != kNodata)
          v += kCell * kCell * ponding_[r][c] / 1000;
    return v;
  }

  GridMatrix codes_, zones_, elevation_, max_pond_, ponding_, etr_, prec_;
  LakeStaticGrids statics_;
  LakeGrids grids_;
};

// Ponding 1500, 1000 and 500 mm on three cells, none on (2,3); transpiration 2 mm, precipitation
// 10 mm.
TEST_F(LakeCellsTest, FluxesAndStateFromPonding) {
  const std::vector<LakeCell> cells = CollectLakeCells(statics_, 7, 5, diag_);
  ponding_[1][2] = 1500;
  ponding_[1][3] = 1000;
  ponding_[2][2] = 500;
  for (int r = 1; r <= 2; ++r)
    for (int c = 2; c <= 3; ++c) {
      etr_[r][c] = 2;
      prec_[r][c] = 10;
    }
  const LakeFluxes f = LakeCellFluxes(cells, grids_, kCell);
  EXPECT_NEAR(f.transpiration, 3 * 100 * 0.002, 1e-12);
  EXPECT_NEAR(f.precipitation, 3 * 100 * 0.010, 1e-12);
  std::vector<double> state;
  EXPECT_EQ(LakeStateFromPonding(cells, grids_, kCell, 0, state), 3);
  EXPECT_NEAR(state[0], 150 + 100 + 50, 1e-12);
  // A level of 100.8 m wets the two deep cells; below the lake every cell dries.
  double written = -1;
  EXPECT_EQ(ApplyLevelToCells(cells, grids_, 100.8, {0}, 0, kCell, written), 2);
  EXPECT_NEAR(ponding_[1][2], 800, 1e-9);
  EXPECT_NEAR(ponding_[1][3], 300, 1e-9);
  EXPECT_EQ(ponding_[2][2], 0.0);
  EXPECT_NEAR(written, 80 + 30, 1e-9);
  EXPECT_EQ(ApplyLevelToCells(cells, grids_, 99.0, {0}, 0, kCell, written), 0);
  EXPECT_EQ(PondedVolume(), 0.0);
  EXPECT_EQ(written, 0.0);
}

// A lake reservoir over several steps: the other models put precipitation on and take
// transpiration off the wet cells, and the soil below takes 2 mm from each wet cell (its
// infiltration feeds its evapotranspiration and base flow) besides the 3 mm of transpiration;
// the step takes the ponding water, adds the inflow, releases by its rule and writes the level
// back. QGW is the soil's take; V_end = V_start + Qin + PREC + QGW − ETR − Qout per step, Err 0,
// the cells hold V, A is the wet area and the mm columns are over A.
TEST_F(LakeCellsTest, LakeWaterBalancePerStep) {
  SP_class lake;
  lake.Initialise(ReservoirSetup{.diag = &diag_, .output_directory = dir_.path().string() + "/"});
  lake.ReadParameters("SP 7 file = lake7.txt V0 = 150 C0 = 0 0 0 0 0 0 0 0 0", 2);
  ControlFileReader rules;
  rules.OpenText("[abstraction_rule_reservoir_7]\n2\n0 0\n1000 0.02\n\n");
  lake.ReadReservoirRules(rules);
  lake.BindLake(CollectLakeCells(statics_, 7, 5, diag_), kCell, &grids_, false);
  EXPECT_NEAR(lake.level(), 101.0, 1e-12);
  EXPECT_NEAR(ponding_[1][2], 1000, 1e-9);
  EXPECT_NEAR(ponding_[1][3], 500, 1e-9);
  EXPECT_EQ(ponding_[2][2], 0.0);
  EXPECT_TRUE(test::ReadFile(dir_ / "W_V_Table_07.dat")
                  .starts_with("waterlevel-volume-table lake 7\nLevel[m a.s.l.]\tVolume[m^3]\n"
                               "102\t550\n"));
  EXPECT_EQ(test::ThrownCode([&] { CollectLakeCells(statics_, 8, 5, diag_); }), kLakeSubbasinCode);
  std::vector<AL_class> none(1);
  for (int n = 0; n < 6; ++n) {
    const double before = lake.volume();
    int wet = 0;
    for (int r = 1; r <= 2; ++r)
      for (int c = 2; c <= 3; ++c) {
        const bool ponded = ponding_[r][c] > 0;
        wet += ponded ? 1 : 0;
        prec_[r][c] = ponded ? 40.0 : 0.0;
        etr_[r][c] = ponded ? 3.0 : 0.0;
        ponding_[r][c] += ponded ? prec_[r][c] - etr_[r][c] - 2.0 : 0.0;
      }
    lake.RunStep(0.02, 60, 0, 0, nullptr, nullptr, none, 0, 2001, 5, 1, n);
    const ReservoirBalance& b = lake.balance();
    EXPECT_NEAR(b.m3[kQin], 72, 1e-12);
    EXPECT_NEAR(b.m3[kPREC], wet * 4, 1e-12) << n;
    EXPECT_NEAR(b.m3[kETR], wet * 0.3, 1e-12) << n;
    EXPECT_NEAR(b.m3[kQGW], -wet * 0.2, 1e-9) << n;
    EXPECT_NEAR(lake.volume(), before + 72 + b.m3[kPREC] + b.m3[kQGW] - b.m3[kETR] - b.m3[kQout],
                1e-9)
        << n;
    EXPECT_NEAR(b.m3[kErr], 0.0, 1e-9) << n;
    EXPECT_NEAR(PondedVolume(), lake.volume(), 1e-9) << n;
    EXPECT_NEAR(b.mm[kPREC], b.m3[kPREC] / b.area * 1000, 1e-9) << n;
    EXPECT_GE(b.area, 100.0 * wet) << n;
    EXPECT_GT(b.m3[kQout], 0.0);
  }
  EXPECT_GT(ponding_[2][2], 0.0);  // the level rose above 101 m
}

// Err at the round-off of its terms is 0; a loss of a litre on a lake of 50 000 m³ is not.
TEST(LakeBalanceErrorTest, RoundOffIsZeroALossIsNot) {
  const double scale = 2 * 5e4 + 2e4 * 2429;  // volumes, and 2 ha at 2429 m a.s.l.
  for (auto [change, dv, err] : {std::tuple{1000.0 + 8.6e-9, 1000.0, 0.0},
                                 {-814.204, -814.204 + 5e-9, 0.0},
                                 {1000.0 - 1e-3, 1000.0, -1e-3},
                                 {20.0, 40.0, -20.0}})
    EXPECT_NEAR(LakeBalanceError(change, dv, scale), err, 1e-12) << change;
}

}  // namespace
}  // namespace velorn

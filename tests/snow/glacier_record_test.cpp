// The dynamic glacier pieces without MPI: volume-area scaling against the published relation,
// start values, the volume of a year's mass balance, bands that grow and shrink their cells
// (the change they report equals the fractions they moved), the spread over the bands (lowest
// band most), the firn shift and the excess transfer that keeps the cell mean.
#include "snow/glacier_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "core/matrix.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

// V = c·A^γ (Bahr et al. 1997, γ = 1.375; Chen & Ohmura 1990, c = 28.5 with V in 10⁶ m³ and A
// in km², γ = 1.357): A = 1 km² holds 28.5; 2 km² hold 28.5·2^1.375 = 73.92 (2^0.375 = 1.29684
// by hand); and back. The smallest glacier, 0.0543 km², holds 28.5·0.0543^1.36 = 0.54222.
TEST(GlacierScaling, PublishedRelationAndMinimum) {
  for (double gamma : {1.357, 1.375}) {
    EXPECT_DOUBLE_EQ(GlacierVolume(1.0, 28.5, gamma), 28.5);
    const GlacierSize one = AreaOfVolume(28.5, 28.5, gamma);
    EXPECT_NEAR(one.area, 1.0, 1e-12);
    EXPECT_EQ(one.volume, 28.5);
  }
  EXPECT_NEAR(GlacierVolume(2.0, 28.5, 1.375), 73.92, 0.005);
  EXPECT_NEAR(AreaOfVolume(73.92, 28.5, 1.375).area, 2.0, 1e-4);
  const double minimum = MinimumGlacierVolume(28.5, 1.36);
  EXPECT_NEAR(minimum, 0.54222, 5e-5);
  for (double volume : {minimum, 0.3, 0.0, -2.0}) {
    const GlacierSize small = AreaOfVolume(volume, 28.5, 1.36);
    EXPECT_EQ(small.area, kMinimumGlacierArea);
    EXPECT_EQ(small.volume, minimum);
  }
  EXPECT_GT(AreaOfVolume(minimum * 1.001, 28.5, 1.36).area, kMinimumGlacierArea);
}

// A glacier of 0.005 km² starts with 0.01 km² and c·0.01^γ (= 0.054306), which is below the
// minimum volume: its old size is the minimum. A glacier of 1 km² keeps its size as old size.
TEST(GlacierScaling, StartValues) {
  const GlacierStart tiny = StartGlacier(0.005, 28.5, 1.36);
  EXPECT_EQ(tiny.size.area, 0.01);
  EXPECT_NEAR(tiny.size.volume, 0.054306, 1e-6);
  EXPECT_EQ(tiny.old.area, kMinimumGlacierArea);
  EXPECT_EQ(tiny.old.volume, MinimumGlacierVolume(28.5, 1.36));
  const GlacierStart one = StartGlacier(1.0, 28.5, 1.36);
  EXPECT_EQ(one.size.volume, 28.5);
  EXPECT_NEAR(one.old.area, 1.0, 1e-12);
}

// 850 mm water equivalent are 1 m of ice; on half of a 100 m cell 5000 m³ = 0.005·10⁶ m³. An
// area gain of 0.02 km² is 2 cells of 100 m.
TEST(GlacierScaling, VolumeOfAMassBalanceAndCellsToAdd) {
  EXPECT_NEAR(CellVolumeChange(100, 0.5, 900, 50), 0.005, 1e-15);
  EXPECT_NEAR(CellVolumeChange(100, 1.0, -850, 0), -0.01, 1e-15);
  EXPECT_NEAR(CellsToAdd(0.05, 0.03, 100), 2.0, 1e-12);
  EXPECT_NEAR(CellsToAdd(0.0543, 0.0643, 50), -4.0, 1e-9);
}

class BandTest : public test::DiagTest {
 protected:
  BandTest() : fraction_(diag_, 1, 1, 8, 1), code_(diag_, 1, 1, 8, 1) {}
  ElevationBand Band(const std::vector<double>& fractions) {
    ElevationBand band(0, 100);
    for (std::size_t i = 0; i < fractions.size(); ++i) {
      const auto col = static_cast<int32_t>(i + 1);
      fraction_[1][col] = fractions[i];
      code_[1][col] = 5;
      band.AddCell(1, col);
    }
    return band;
  }
  GridMatrix fraction_, code_;
};

// Growth by 0.3 per cell: (0.5, 0.9, 0.2) -> (0.8, 1, 0.5) leaves 0.2 for the two cells that
// took a full share -> (0.9, 1, 0.6). Shrinking by 0.3 per cell: (0.1, 0.5): the first cell
// leaves the glacier, giving up 0.1 only; the second takes the rest down to 0.
TEST_F(BandTest, ChangeCellsByHand) {
  ElevationBand grow = Band({0.5, 0.9, 0.2});
  EXPECT_EQ(grow.CountChangeable(1.0, fraction_.get()), 3.0);
  bool complete = true;
  EXPECT_NEAR(grow.ChangeCells(0.3, fraction_.get(), code_.get(), complete), 0.0, 1e-12);
  EXPECT_TRUE(complete);
  EXPECT_NEAR(fraction_[1][1], 0.9, 1e-12);
  EXPECT_EQ(fraction_[1][2], 1.0);
  EXPECT_NEAR(fraction_[1][3], 0.6, 1e-12);

  ElevationBand shrink = Band({0.1, 0.5});
  EXPECT_NEAR(shrink.ChangeCells(-0.3, fraction_.get(), code_.get(), complete), 0.0, 1e-12);
  EXPECT_EQ(fraction_[1][1], 0.0);
  EXPECT_EQ(code_[1][1], kLostGlacierCode);
  EXPECT_NEAR(fraction_[1][2], 0.0, 1e-12);
  EXPECT_EQ(code_[1][2], 5);
  // Full cells are not changeable for growth, empty ones not for shrinking; no change, none.
  ElevationBand full = Band({1.0, 0.0, 0.4});
  EXPECT_EQ(full.CountChangeable(2.0, fraction_.get()), 2.0);
  EXPECT_EQ(full.flags, (std::vector<int32_t>{1, 0, 0}));
  EXPECT_EQ(full.CountChangeable(0.0, fraction_.get()), 0.0);
}

// Whatever the band and the share, the fractions moved equal the target less what is returned,
// and every fraction stays within 0 and 1.
TEST_F(BandTest, MovedFractionsEqualWhatIsReportedPlaced) {
  std::mt19937 random(141);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<double> start(1 + trial % 8);
    for (double& g : start) g = unit(random) < 0.2 ? 1.0 : unit(random);
    ElevationBand band = Band(start);
    const double per_cell = 2.4 * unit(random) - 1.2;
    band.CountChangeable(per_cell, fraction_.get());
    const auto unflagged = static_cast<double>(std::count(band.flags.begin(), band.flags.end(), 0));
    bool complete = true;
    const double rest = band.ChangeCells(per_cell, fraction_.get(), code_.get(), complete);
    double moved = 0;
    for (std::size_t i = 0; i < start.size(); ++i) {
      const double g = fraction_[1][static_cast<int32_t>(i + 1)];
      EXPECT_GE(g, 0.0);
      EXPECT_LE(g, 1.0);
      moved += g - start[i];
    }
    EXPECT_NEAR(moved, per_cell * unflagged - rest, 1e-9) << "trial " << trial;
  }
}

// Two bands of two half-glacierized cells, 0.6 cells to add: weights 2·2 for band 0 and 1·2
// for band 1 give 0.1 per weight unit; band 0 is changed twice (+0.2 per cell), band 1 once.
// Shrinking by more than the glacier holds empties every cell, codes -9999, and returns the
// excess; a change of 0 changes nothing.
TEST_F(BandTest, SpreadOverBandsLowestFirstAndShrinkToNothing) {
  GlacierRecord glacier(5, 2, 0, 1, 28.5, 1.36, 1.0, 0.02, 100);
  const double elevations[4] = {2000, 2040, 2100, 2200};
  glacier.ResetCount();
  for (int32_t col = 1; col <= 4; ++col) {
    fraction_[1][col] = 0.5;
    code_[1][col] = 5;
    glacier.AddCell(true, 0.5, elevations[col - 1]);
  }
  EXPECT_NEAR(glacier.area, 0.02, 1e-15);
  glacier.BuildBands();
  ASSERT_EQ(glacier.bands.size(), 2u);
  EXPECT_EQ(glacier.bands[1].lowerElevation, 2100);
  for (int32_t col = 1; col <= 4; ++col) glacier.AddCellToBand(1, col, elevations[col - 1]);
  EXPECT_EQ(glacier.bands[0].cellCount, 2);
  EXPECT_EQ(glacier.bands[1].cellCount, 2);  // 2200 = the top: the highest band

  glacier.cellsToAdd = 0.6;
  double changeable = 0;
  bool complete = true;
  EXPECT_NEAR(glacier.SpreadOverBands(fraction_.get(), code_.get(), changeable, complete), 0,
              1e-12);
  EXPECT_EQ(changeable, 4.0);
  const double grown[4] = {0.7, 0.7, 0.6, 0.6};
  for (int32_t col = 1; col <= 4; ++col) EXPECT_NEAR(fraction_[1][col], grown[col - 1], 1e-12);

  glacier.cellsToAdd = 0;
  EXPECT_EQ(glacier.SpreadOverBands(fraction_.get(), code_.get(), changeable, complete), 0.0);
  EXPECT_EQ(changeable, 0.0);
  for (int32_t col = 1; col <= 4; ++col) EXPECT_NEAR(fraction_[1][col], grown[col - 1], 1e-12);

  glacier.cellsToAdd = -4.0;  // the glacier holds 2.6 cells
  const double rest = glacier.SpreadOverBands(fraction_.get(), code_.get(), changeable, complete);
  for (int32_t col = 1; col <= 4; ++col) {
    EXPECT_EQ(fraction_[1][col], 0.0);
    EXPECT_EQ(code_[1][col], kLostGlacierCode);
  }
  EXPECT_NEAR(rest, -1.4, 1e-9);
}

// One row of four 1 km² cells in subbasin 1 (the last one outside the basin), whole grids.
class GlacierYearTest : public test::DiagTest {
 protected:
  GlacierYearTest() {
    for (GridMatrix* grid :
         {&fraction_, &code_, &fraction_old_, &code_old_, &balance_, &old_balance_, &subbasin_}) {
      *grid = GridMatrix(diag_, 1, 1, 4, 1);
      for (int32_t c = 0; c <= 4; ++c) (*grid)[1][c] = 0;
    }
    for (int32_t c = 1; c <= 3; ++c) subbasin_[1][c] = 1;
    subbasin_[1][4] = -9999;
    grids_ = {fraction_.get(), code_.get(),    fraction_old_.get(),
              code_old_.get(), balance_.get(), old_balance_.get(),
              subbasin_.get(), -9999,          1,
              columns_};
  }
  void Cells(const std::vector<double>& fraction, const std::vector<double>& code,
             const std::vector<double>& balance) {
    for (int32_t c = 1; c <= 4; ++c) {
      fraction_[1][c] = fraction[c - 1];
      code_[1][c] = code[c - 1];
      balance_[1][c] = balance[c - 1];
    }
  }
  GridMatrix fraction_, code_, fraction_old_, code_old_, balance_, old_balance_, subbasin_;
  ColumnRange columns_[2] = {{}, {1, 4}};
  GlacierYearGrids grids_;
};

// Glacier 3 of 1 km² (V = 28.5): -850 mm on a whole cell and -1700 mm on half a cell are 1 m and
// 2 m of ice, -1 and -1 (10⁶ m³); a cell of glacier 4 (not listed) and one outside the basin do
// not count. V = 26.5 gives A = (26.5/28.5)^(1/1.36) = 0.947906 km², 0.052094 cells fewer. A
// glacier first counted this year (volume 0, 0.5 km²) starts from its area and stays.
TEST_F(GlacierYearTest, VolumeChangeIsTheYearsMassBalance) {
  Cells({1, 0.5, 1, 1}, {3, 3, 4, 3}, {-850, -1700, -8500, -8500});
  std::vector<GlacierRecord> glaciers{GlacierRecord(3, 1, 0, 1, 28.5, 1.36, 28.5, 1.0, 1000),
                                      GlacierRecord(9, 1, 0, 1, 28.5, 1.36, 0, 0.5, 1000)};
  const std::map<int32_t, std::size_t> index{{3, 0}, {9, 1}};
  AddYearVolumeChange(glaciers, index, grids_);
  EXPECT_NEAR(glaciers[0].volume, 26.5, 1e-12);
  for (GlacierRecord& glacier : glaciers) glacier.ScaleToVolume();
  EXPECT_NEAR(glaciers[0].area, 0.947906, 1e-6);
  EXPECT_NEAR(glaciers[0].cellsToAdd, -0.052094, 1e-6);
  EXPECT_NEAR(glaciers[1].volume, 28.5 * std::pow(0.5, 1.36), 1e-12);
  EXPECT_NEAR(glaciers[1].area, 0.5, 1e-12);
  EXPECT_NEAR(glaciers[1].cellsToAdd, 0, 1e-9);
}

// Glacier 3 held (1, 0.6, 0.4) with 100, 200, 300 mm; now (1, 0.8), the third cell left it. The
// lost 0·100 - 0.2·200 + 0.4·300 = 80 mm-fractions spread over 1.8: each cell gains 44.44 mm,
// and Σ g·M over the new cells, 100 + 0.8·200 + 80 = 340, equals Σ g_old·M. Choosing glacier 5
// leaves glacier 3's cells as they are.
TEST_F(GlacierYearTest, LostAreaMassBalanceKeepsTheGlacierMass) {
  Cells({1, 0.8, 0, 0}, {3, 3, kLostGlacierCode, 0}, {100, 200, 300, 0});
  for (int32_t c = 1; c <= 3; ++c) code_old_[1][c] = 3;
  for (int32_t c = 1; c <= 3; ++c) fraction_old_[1][c] = std::vector<double>{1, 0.6, 0.4}[c - 1];
  std::vector<GlacierRecord> glaciers{GlacierRecord(3, 1, 0, 1, 28.5, 1.36, 28.5, 1.0, 1000),
                                      GlacierRecord(5, 1, 0, 1, 28.5, 1.36, 28.5, 1.0, 1000)};
  const std::map<int32_t, std::size_t> index{{3, 0}, {5, 1}};
  DistributeLostAreaMassBalance(glaciers, index, 5, grids_);
  EXPECT_EQ(balance_[1][1], 100.0);
  DistributeLostAreaMassBalance(glaciers, index, -1, grids_);
  EXPECT_NEAR(glaciers[0].massBalanceShare, 80 / 1.8, 1e-12);
  EXPECT_NEAR(balance_[1][1] + 0.8 * balance_[1][2], 340, 1e-9);
  EXPECT_EQ(balance_[1][3], 300.0);  // left the glacier: untouched
  EXPECT_EQ(glaciers[1].massBalanceShare, 0.0);
}

// Three layers (10, 20, 30 mm, youngest first) and 5 mm of this year's snow: 30 mm leave as ice,
// the stack becomes (5, 10, 20) with total 35. One layer: the firn is only this year's snow.
TEST(GlacierYear, FirnShiftAndExcessTransfer) {
  double stack[4] = {60, 10, 20, 30};
  EXPECT_EQ(ShiftFirnLayers(stack, 3, 5), 35.0);
  EXPECT_EQ(stack[0], 35.0);
  EXPECT_EQ(stack[1], 5.0);
  EXPECT_EQ(stack[2], 10.0);
  EXPECT_EQ(stack[3], 20.0);
  double one[2] = {7, 7};
  EXPECT_EQ(ShiftFirnLayers(one, 1, 5), 5.0);
  EXPECT_EQ(one[0], 5.0);

  // (1 - g)(S - E) + g(G + E(1 - g)/g) = (1 - g)S + gG: 0.6·1500 + 0.4·200 = 980 both ways.
  PackState free_part{1500, 100, 1400}, glacier_part{200, 20, 180};
  TransferExcessSnow(free_part, glacier_part, 0.4, 500);
  EXPECT_NEAR(0.6 * free_part.total + 0.4 * glacier_part.total, 980, 1e-12);
  EXPECT_NEAR(free_part.total, 1000, 1e-12);
  EXPECT_NEAR(free_part.liquid / free_part.total, 100.0 / 1500, 1e-15);
  EXPECT_NEAR(glacier_part.total, 950, 1e-12);
  EXPECT_NEAR(glacier_part.liquid + glacier_part.solid, glacier_part.total, 1e-12);
}

// A pack of 1500 mm above the 1000 mm limit makes a new glacier cell of 0.25: its glacier part
// takes the pack plus 3·500 from the rest, all of it (3000) becomes firn, and the cell mean keeps
// 0.75·1000 + 0.25·3000 = 1500. A glacier cell (g = 0.5, 1200 mm, 100 mm on its glacier part)
// moves 200 mm on, and its firn takes 300 as the youngest layer: mean 0.5·1000 + 0.5·firn gain.
TEST(GlacierYear, CellUpdateKeepsTheCellMean) {
  double firn[3] = {-9999, -9999, -9999};
  GlacierCellState fresh;
  fresh.code = -9999;
  fresh.cell = {1500, 150, 1350};
  fresh.firn = firn;
  EXPECT_EQ(UpdateGlacierCellYear(fresh, 2, 1000, 0.25, true), 500.0);
  EXPECT_EQ(fresh.code, -1);
  EXPECT_EQ(fresh.fraction, 0.25);
  EXPECT_NEAR(0.75 * fresh.cell.total + 0.25 * fresh.firn_total, 1500, 1e-9);
  EXPECT_NEAR(firn[1], 3000, 1e-9);
  EXPECT_EQ(firn[2], 0.0);
  EXPECT_EQ(fresh.balance, fresh.firn_total);

  double layers[3] = {50, 50, 0};
  GlacierCellState glacier;
  glacier.fraction = 0.5;
  glacier.code = 4;
  glacier.cell = {1200, 0, 1200};
  glacier.glacier = {100, 0, 100};
  glacier.firn = layers;
  EXPECT_EQ(UpdateGlacierCellYear(glacier, 2, 1000, 0.25, true), 200.0);
  EXPECT_EQ(glacier.code_old, 4.0);
  EXPECT_NEAR(layers[1], 300, 1e-12);
  EXPECT_NEAR(glacier.firn_total, 350, 1e-12);
  EXPECT_NEAR(0.5 * glacier.cell.total + 0.5 * layers[1], 0.5 * 1200 + 0.5 * 100, 1e-9);

  // A cell a glacier lost in an earlier year keeps no old code of it: regained now, it is no lost
  // area.
  GlacierCellState lost;
  lost.code = 0;
  lost.code_old = 4;
  lost.cell = {10, 0, 10};
  lost.firn = layers;
  EXPECT_EQ(UpdateGlacierCellYear(lost, 2, 1000, 0.25, true), 0.0);
  EXPECT_EQ(lost.code_old, 0.0);

  // The same deep pack on a lake's cell starts no glacier: it stays the cell's.
  GlacierCellState lake;
  lake.code = -9999;
  lake.cell = {1500, 150, 1350};
  lake.firn = firn;
  EXPECT_EQ(UpdateGlacierCellYear(lake, 2, 1000, 0.25, true, false), 0.0);
  EXPECT_EQ(lake.fraction, 0.0);
  EXPECT_EQ(lake.cell.total, 1500.0);
}

// Firn melt of 25 mm on layers (10, nodata, 30): 10 from the youngest, nothing from the empty one,
// 15 from the oldest, total 15. 100 mm on a stack of 15 leave 85 mm for the ice, every layer 0.
TEST(GlacierYear, FirnMeltLayerByLayer) {
  double stack[4] = {40, 10, -9999, 30};
  EXPECT_EQ(TakeFirnMelt(stack, 3, 25, -9999), 0.0);
  EXPECT_EQ(stack[1], 0.0);
  EXPECT_EQ(stack[3], 15.0);
  EXPECT_EQ(stack[0], 15.0);
  EXPECT_EQ(TakeFirnMelt(stack, 3, 100, -9999), 85.0);
  EXPECT_EQ(stack[3], 0.0);
  EXPECT_EQ(stack[0], 0.0);
}

// The evaluation step: hour, step length and time shift of the weather pass 24.001 hours on the
// evaluation day.
TEST(GlacierYear, EvaluationDate) {
  EXPECT_TRUE(IsGlacierEvaluationStep(23, 30, 9, 1, 1, 30, 9));
  EXPECT_FALSE(IsGlacierEvaluationStep(23, 30, 9, 1, 0, 30, 9));
  EXPECT_FALSE(IsGlacierEvaluationStep(22, 30, 9, 1, 1, 30, 9));
  EXPECT_TRUE(IsGlacierEvaluationStep(0, 30, 9, 24, 0.5, 30, 9));
  EXPECT_FALSE(IsGlacierEvaluationStep(23, 29, 9, 1, 1, 30, 9));
  EXPECT_FALSE(IsGlacierEvaluationStep(23, 30, 10, 1, 1, 30, 9));
  // Hours that mark the step's end (shift 0) run 1..24: the step of hour 24 is the day's last,
  // that of hour 23 is not; daily data carry hour 24.
  EXPECT_TRUE(IsGlacierEvaluationStep(24, 30, 9, 1, 0, 30, 9));
  EXPECT_TRUE(IsGlacierEvaluationStep(24, 30, 9, 24, 0, 30, 9));
  EXPECT_FALSE(IsGlacierEvaluationStep(21, 30, 9, 3, 0, 30, 9));
}

}  // namespace
}  // namespace velorn

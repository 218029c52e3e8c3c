// Tests of the bilinear resampling: identity on the own geometry, hand-computed bilinear values
// of a coarse grid on a finer one, nodata and mask handling, edges and bad geometry.
#include "grids/grid_resampling.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/error_code.h"
#include "core/matrix.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

class ResamplingTest : public test::DiagTest {
 protected:
  GridMatrix Grid(int rows, int cols, double fill) {
    return test::FilledGrid(diag_, rows, cols, fill);
  }

  // The 2 x 2 source of cell size 2 with its lower-left corner at 0/0 (top row 10 20, bottom
  // row 30 40), stored in rows 5..6, columns 3..4 of a larger matrix.
  GridMatrix Coarse() {
    GridMatrix source = Grid(8, 6, -1.0e6);
    source[5][3] = 10.0;
    source[5][4] = 20.0;
    source[6][3] = 30.0;
    source[6][4] = 40.0;
    return source;
  }

  // The coarse source onto the 4 x 4 grid of cell size 1 at 0/0.
  GridMatrix CoarseOnFine(const GridMatrix& source, double** mask = nullptr) {
    GridMatrix target = Grid(4, 4, 0.0);
    ResampleToGrid(diag_, source.get(), 3, 4, 5, 6, target.get(), 1, 4, 1, 4, mask, 0.0, 0.0, 2.0,
                   0.0, 0.0, 1.0);
    return target;
  }
};

TEST_F(ResamplingTest, OwnGeometryLeavesGridUnchanged) {
  // Metric corners with a 25 m cell, and corners and a cell size that binary cannot hold exactly.
  const double geometries[2][3] = {{3500000.0, 5200000.0, 25.0}, {0.3, -0.7, 0.1}};
  for (const auto& geometry : geometries) {
    GridMatrix source = Grid(7, 9, 0.0);
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 9; ++c)
        source[r][c] = (r * 7 + c * 3) % 11 == 0 ? -9999.0 : r * 10.0 + c;
    GridMatrix target = Grid(7, 9, 0.0);
    ResampleToGrid(diag_, source.get(), 1, 9, 1, 7, target.get(), 1, 9, 1, 7, nullptr, geometry[0],
                   geometry[1], geometry[2], geometry[0], geometry[1], geometry[2]);
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 9; ++c) ASSERT_EQ(target[r][c], source[r][c]) << r << "/" << c;
  }
}

TEST_F(ResamplingTest, CoarseOntoFinerGivesBilinearValues) {
  // Centres of the fine grid at 0.5 .. 3.5; the coarse centres at 1 and 3. Within them
  // v = 30 + 10 fx - 20 fy with fx = (x - 1) / 2 and fy = (y - 1) / 2; outside, the edge values.
  const double expected[4][4] = {{10.0, 12.5, 17.5, 20.0},
                                 {15.0, 17.5, 22.5, 25.0},
                                 {25.0, 27.5, 32.5, 35.0},
                                 {30.0, 32.5, 37.5, 40.0}};
  const GridMatrix source = Coarse();
  const GridMatrix target = CoarseOnFine(source);
  for (int r = 1; r <= 4; ++r)
    for (int c = 1; c <= 4; ++c) EXPECT_DOUBLE_EQ(target[r][c], expected[r - 1][c - 1]);

  // A cell centred between the four source centres gets their mean; a cell far beyond the
  // source's upper-right corner gets the corner value.
  GridMatrix single = Grid(1, 2, 0.0);
  ResampleToGrid(diag_, source.get(), 3, 4, 5, 6, single.get(), 1, 1, 1, 1, nullptr, 0.0, 0.0, 2.0,
                 1.0, 1.0, 2.0);
  EXPECT_DOUBLE_EQ(single[1][1], 25.0);
  ResampleToGrid(diag_, source.get(), 3, 4, 5, 6, single.get(), 2, 2, 1, 1, nullptr, 0.0, 0.0, 2.0,
                 900.0, 900.0, 2.0);
  EXPECT_EQ(single[1][2], 20.0);
}

TEST_F(ResamplingTest, WeightedNodataNeighbourGivesNodata) {
  GridMatrix source = Coarse();
  source[5][4] = -9999.0;  // the upper-right source cell
  const GridMatrix target = CoarseOnFine(source);
  // Cells that weigh the upper-right cell are nodata; the bottom row (fy = 0) and the left
  // column (fx = 0) do not weigh it and keep their values.
  const double expected[4][4] = {{10.0, -9999.0, -9999.0, -9999.0},
                                 {15.0, -9999.0, -9999.0, -9999.0},
                                 {25.0, -9999.0, -9999.0, -9999.0},
                                 {30.0, 32.5, 37.5, 40.0}};
  for (int r = 1; r <= 4; ++r)
    for (int c = 1; c <= 4; ++c) EXPECT_DOUBLE_EQ(target[r][c], expected[r - 1][c - 1]);
}

TEST_F(ResamplingTest, MaskNodataOverridesTheSource) {
  GridMatrix mask = Grid(4, 4, 1.0);
  mask[2][3] = -10000.0;
  mask[3][2] = -9998.5;  // above -9999: not masked
  const GridMatrix target = CoarseOnFine(Coarse(), mask.get());
  EXPECT_EQ(target[2][3], -10000.0);
  EXPECT_DOUBLE_EQ(target[3][2], 27.5);
  EXPECT_DOUBLE_EQ(target[2][2], 17.5);
}

TEST_F(ResamplingTest, EmptyTargetIsLeftAloneAndBadGeometryIsFatal) {
  const GridMatrix source = Coarse();
  GridMatrix target = Grid(4, 4, 7.0);
  ResampleToGrid(diag_, source.get(), 3, 4, 5, 6, target.get(), 1, 4, 3, 2, nullptr, 0.0, 0.0, 2.0,
                 0.0, 0.0, 1.0);
  EXPECT_EQ(target[3][1], 7.0);
  for (double cellsize : {0.0, -2.0}) {
    try {
      ResampleToGrid(diag_, source.get(), 3, 4, 5, 6, target.get(), 1, 4, 1, 4, nullptr, 0.0, 0.0,
                     cellsize, 0.0, 0.0, 1.0);
      ADD_FAILURE() << "cell size " << cellsize << " accepted";
    } catch (const ErrorCode& error) {
      EXPECT_EQ(error.code, 22);
    }
  }
  EXPECT_THAT(screen_.str(),
              ::testing::HasSubstr("cannot resample a grid of 2 rows and 2 columns"));
  EXPECT_EQ(target[1][1], 7.0);
}

}  // namespace
}  // namespace velorn

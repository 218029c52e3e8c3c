// Derived grids against values worked out independently here: cell sizes of a geographic grid
// (widths shrinking with the cosine of the latitude), corners accumulated from them, slope and
// aspect of planes tilted by known angles towards known directions, the neighbour fill, and
// region weights for two, three and four regions.
#include "setup/derived_grids.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double N = -9999.0;
constexpr double kRad = std::numbers::pi / 180.0;

using test::FilledGrid;
using test::MakeGrid;

TEST(DerivedFileName, ExtensionReplacedOrSuffixAppended) {
  struct Case {
    const char* source;
    const char* suffix;
    const char* without_dot;
    const char* expected;
  } cases[] = {
      {"zone.asc", ".$csx", "", "zone.$csx"},
      {"/run/a.b.dem", ".$sl", "", "/run/a.b.$sl"},
      {"regions", ".$w1", ".$rw1", "regions.$rw1"},
      {"regions.bin", ".$w1", ".$rw1", "regions.$w1"},
      {"dem", ".$ex", "", "dem.$ex"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DerivedFileName(c.source, c.suffix, c.without_dot), c.expected) << c.source;
}

TEST(DeriveCellSizes, EveryCombinationOfGivenGrids) {
  const double cs = 100;
  struct Case {
    CellSizeSources given;
    CellSizeValues in;
    CellSizeFault fault;
    CellSizeValues out;
  } cases[] = {
      // Nothing given: the created area (1) gives the regular size.
      {{false, false, false}, {0, 0, 1}, CellSizeFault::kNone, {100, 100, 1}},
      {{false, false, true}, {0, 0, 0.25}, CellSizeFault::kNone, {50, 50, 0.25}},
      // Only x: y = cs² area / x.
      {{true, false, false}, {50, 0, 1}, CellSizeFault::kNone, {50, 200, 1}},
      {{true, false, true}, {50, 0, 0.5}, CellSizeFault::kNone, {50, 100, 0.5}},
      // Only y: x = cs² area / y.
      {{false, true, false}, {0, 400, 1}, CellSizeFault::kNone, {25, 400, 1}},
      // Both: a created area follows them, a given one must agree within 1e-5.
      {{true, true, false}, {50, 300, 1}, CellSizeFault::kNone, {50, 300, 1.5}},
      {{true, true, true}, {50, 200, 1.000009}, CellSizeFault::kNone, {50, 200, 1.000009}},
      {{true, true, true}, {50, 200, 1.00002}, CellSizeFault::kAreaMismatch, {50, 200, 1.00002}},
      // Zero sizes.
      {{true, false, false}, {0, 0, 1}, CellSizeFault::kZeroX, {0, 0, 1}},
      {{false, true, true}, {0, 0, 1}, CellSizeFault::kZeroY, {0, 0, 1}},
  };
  for (const Case& c : cases) {
    CellSizeValues cell = c.in;
    EXPECT_EQ(DeriveCellSizes(c.given, cs, cell), c.fault);
    EXPECT_NEAR(cell.x, c.out.x, 1e-12);
    EXPECT_NEAR(cell.y, c.out.y, 1e-12);
    EXPECT_NEAR(cell.area, c.out.area, 1e-12);
  }
}

// A geographic grid of 0.01° cells from 46.00° N: widths shrink with cos(latitude), heights are
// constant. The relative area follows from the sizes; the corners accumulate the widths along
// each row (every row but the last starts at xll) and the heights of the rows below.
TEST(ComputeCoordinates, GeographicGridAccumulatesWidthsAndHeights) {
  test::CapturedDiag d;
  const GridGeometry g{5, 4, 1000, 2000, 100, N};
  const auto width = [&](int r) { return 100 * std::cos((46.0 + 0.01 * (g.nrows - r)) * kRad); };
  const double height = 111.0;
  GridMatrix zone =
      MakeGrid(d.diag, {{1, 1, 1, 1, 1}, {1, N, 1, 1, 1}, {1, 1, 1, 1, 1}, {N, 1, 1, 1, 1}});
  GridMatrix sx = FilledGrid(d.diag, 4, 5, 0), sy = FilledGrid(d.diag, 4, 5, 0);
  for (int r = 1; r <= 4; ++r)
    for (int c = 1; c <= 5; ++c) {
      CellSizeValues cell{width(r), height, 0};
      ASSERT_EQ(DeriveCellSizes({true, true, false}, g.cellsize, cell), CellSizeFault::kNone);
      EXPECT_NEAR(cell.area, width(r) * height / 1e4, 1e-12);
      sx[r][c] = cell.x;
      sy[r][c] = cell.y;
    }
  GridMatrix cx = FilledGrid(d.diag, 4, 5, 0), cy = FilledGrid(d.diag, 4, 5, 0);
  ComputeCoordinates(g, zone.get(), sx.get(), sy.get(), cx.get(), cy.get());
  struct Case {
    int r, c;
    double x, y;
  } cases[] = {
      // Last row: regular up to its first zone column (2), accumulated after it.
      {4, 2, 1100, 2000},
      {4, 5, 1100 + 3 * width(4), 2000},
      // Rows above: x from xll by the row's widths, y from the last row by the heights.
      {3, 2, 1000 + width(3), 2000 + height},
      {1, 5, 1000 + 4 * width(1), 2000 + 3 * height},
      // Column 1 keeps its regular y.
      {1, 1, 1000, 2300},
      // Cells without zone value.
      {2, 2, N, N},
      {4, 1, N, N},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(cx[c.r][c.c], c.x, 1e-9) << c.r << "," << c.c;
    EXPECT_NEAR(cy[c.r][c.c], c.y, 1e-9) << c.r << "," << c.c;
  }
}

TEST(ComputeCoordinates, RegularWithoutSizeGrids) {
  test::CapturedDiag d;
  const GridGeometry g{3, 2, 500, 700, 50, N};
  GridMatrix zone = FilledGrid(d.diag, 2, 3, 1);
  GridMatrix cx = FilledGrid(d.diag, 2, 3, 0), cy = FilledGrid(d.diag, 2, 3, 0);
  ComputeCoordinates(g, zone.get(), nullptr, nullptr, cx.get(), cy.get());
  EXPECT_EQ(cx[1][3], 600);
  EXPECT_EQ(cy[1][3], 750);
  EXPECT_EQ(cx[2][1], 500);
  EXPECT_EQ(cy[2][1], 700);
}

// Planes z = -tan(slope) (x sin(aspect) + y cos(aspect)) fall towards `aspect`; central
// differences are exact on them, and the border cells take their neighbours' values.
TEST(ComputeSlopeAndAspect, TiltedPlanesGiveTheirAngleAndDirection) {
  const double cs = 25;
  struct Case {
    double slope, aspect;
  } cases[] = {{10, 0}, {30, 45}, {45, 90}, {5, 135}, {20, 180}, {30, 225}, {60, 270}, {1, 315}};
  for (const Case& c : cases) {
    test::CapturedDiag d;
    const GridGeometry g{6, 5, 0, 0, cs, N};
    GridMatrix z = FilledGrid(d.diag, 5, 6, 0);
    for (int r = 1; r <= 5; ++r)
      for (int col = 1; col <= 6; ++col) {
        const double x = (col - 1) * cs, y = (5 - r) * cs;
        z[r][col] = -std::tan(c.slope * kRad) *
                    (x * std::sin(c.aspect * kRad) + y * std::cos(c.aspect * kRad));
      }
    GridMatrix slope = FilledGrid(d.diag, 5, 6, 0), aspect = FilledGrid(d.diag, 5, 6, 0);
    ComputeSlopeAndAspect(g, z.get(), slope.get(), aspect.get());
    for (int r = 1; r <= 5; ++r)
      for (int col = 1; col <= 6; ++col) {
        EXPECT_NEAR(slope[r][col], c.slope, 1e-9) << c.aspect << " at " << r << "," << col;
        EXPECT_NEAR(aspect[r][col], c.aspect, 1e-9) << c.aspect << " at " << r << "," << col;
      }
  }
}

TEST(ComputeSlopeAndAspect, FlatGroundAndHolesInTheElevation) {
  test::CapturedDiag d;
  const GridGeometry g{5, 5, 0, 0, 10, N};
  GridMatrix z = FilledGrid(d.diag, 5, 5, 300);
  z[3][3] = N;
  GridMatrix slope = FilledGrid(d.diag, 5, 5, 0), aspect = FilledGrid(d.diag, 5, 5, 0);
  ComputeSlopeAndAspect(g, z.get(), slope.get(), nullptr);
  // The hole's four neighbours lose their differences and are filled from their valid
  // neighbours (all flat: 0), as is the border; the hole itself has valid neighbours.
  for (auto [r, c] : {std::pair{2, 3}, {3, 2}, {1, 1}, {5, 5}, {3, 3}}) EXPECT_EQ(slope[r][c], 0);
  EXPECT_EQ(aspect[2][2], 0);  // not computed: untouched
}

TEST(FillFromNeighbourCells, MeanOfValidNeighboursInsideTheGrid) {
  test::CapturedDiag d;
  GridMatrix grid = MakeGrid(d.diag, {{1, 2, 3}, {4, N, 6}, {N, 8, N}});
  struct Case {
    int r, c;
    double expected;
  } cases[] = {
      {2, 2, (1 + 2 + 3 + 4 + 6 + 8) / 6.0},  // the centre, two nodata neighbours skipped
      {1, 1, (2 + 4) / 2.0},                  // a corner: three neighbours, one nodata
      {3, 1, (4 + 8) / 2.0},
  };
  for (const Case& c : cases) {
    GridMatrix copy = MakeGrid(d.diag, {{1, 2, 3}, {4, N, 6}, {N, 8, N}});
    FillFromNeighbourCells(copy.get(), c.r, c.c, 3, 3, N);
    EXPECT_DOUBLE_EQ(copy[c.r][c.c], c.expected);
  }
  GridMatrix lonely = MakeGrid(d.diag, {{N, N}, {N, 5}});
  FillFromNeighbourCells(lonely.get(), 2, 2, 2, 2, N);
  EXPECT_EQ(lonely[2][2], 5);
}

struct RegionFixture {
  test::CapturedDiag d;
  GridMatrix zone, r1, w1, r2, w2, r3, w3;
  RegionWeightGrids grids;
  RegionFixture(const std::vector<std::vector<double>>& regions, int count) {
    zone = MakeGrid(d.diag, regions);
    r1 = MakeGrid(d.diag, regions);
    const int rows = static_cast<int>(regions.size()), cols = static_cast<int>(regions[0].size());
    w1 = FilledGrid(d.diag, rows, cols, 0);
    grids.regions1 = r1.get();
    grids.weights1 = w1.get();
    if (count >= 2) {
      r2 = FilledGrid(d.diag, rows, cols, 0), w2 = FilledGrid(d.diag, rows, cols, 0);
      grids.regions2 = r2.get(), grids.weights2 = w2.get();
    }
    if (count >= 3) {
      r3 = FilledGrid(d.diag, rows, cols, 0), w3 = FilledGrid(d.diag, rows, cols, 0);
      grids.regions3 = r3.get(), grids.weights3 = w3.get();
    }
  }
};

// One row, regions 1 (columns 1-6) and 2 (7-12), cs 100: transition distance 400 is R = 4.
TEST(ComputeRegionWeightGrids, TwoRegionsBlendLinearlyOverTheTransitionRadius) {
  RegionFixture f({{1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2}}, 2);
  const GridGeometry g{12, 1, 0, 0, 100, N};
  ComputeRegionWeightGrids(g, f.zone.get(), 2, 400, f.grids);
  struct Case {
    int c;
    double w1, region2;
  } cases[] = {{6, 0.625, 2}, {5, 0.75, 2}, {3, 1.0, 2}, {2, 1.0, 0}, {7, 0.625, 1}};
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(f.w1[1][c.c], c.w1) << c.c;
    EXPECT_DOUBLE_EQ(f.w2[1][c.c], 1 - c.w1) << c.c;
    EXPECT_EQ(f.r2[1][c.c], c.region2) << c.c;
  }
  // A distance of 0 is used as 0.01: the own region weighs 1 even at the border.
  ComputeRegionWeightGrids(g, f.zone.get(), 2, 0, f.grids);
  EXPECT_EQ(f.w1[1][6], 1.0);
  EXPECT_EQ(f.w2[1][6], 0.0);
}

TEST(ComputeRegionWeightGrids, OneRegionWeighsOneAndNodataOutside) {
  RegionFixture f({{5, 5, N}, {5, 5, 5}}, 1);
  ComputeRegionWeightGrids({3, 2, 0, 0, 100, N}, f.zone.get(), 1, 300, f.grids);
  EXPECT_EQ(f.w1[2][3], 1.0);
  EXPECT_EQ(f.w1[1][3], N);
  EXPECT_EQ(f.r1[1][3], N);
}

// Cell 4 of regions 1 (1-4), 2 (5), 3 (6-9), R = 4: nearest cells of region 2 at 1 and of
// region 3 at 2 cells; the weights follow the inverse distances reduced by the damping term.
TEST(ComputeRegionWeightGrids, ThreeRegionsBlendByInverseDistances) {
  RegionFixture f({{1, 1, 1, 1, 2, 3, 3, 3, 3}}, 3);
  ComputeRegionWeightGrids({9, 1, 0, 0, 100, N}, f.zone.get(), 3, 400, f.grids);
  const double R = 4, p = R - 1, q = R + 1, s = R + 2;
  const double damping = (0.9 - 0.5 * std::cos(p / R * 1.5707963)) / (2 * R);
  const double e1 = 1 / p - damping, e2 = 1 / q - damping, e3 = 1 / s - damping;
  EXPECT_NEAR(f.w1[1][4], e1 / (e1 + e2 + e3), 1e-12);
  EXPECT_NEAR(f.w2[1][4], e2 / (e1 + e2 + e3), 1e-12);
  EXPECT_NEAR(f.w3[1][4], e3 / (e1 + e2 + e3), 1e-12);
  EXPECT_EQ(f.r2[1][4], 2);
  EXPECT_EQ(f.r3[1][4], 3);
  // Cell 1 meets region 2 only (at 4 cells): its own weight is 1.
  EXPECT_EQ(f.w1[1][1], 1.0);
  EXPECT_EQ(f.w3[1][1], 0.0);
}

// Four regions in the quadrants: every cell's weights stay within 0..1 and sum to 1.
TEST(ComputeRegionWeightGrids, FourRegionsAreWeightedAsThree) {
  std::vector<std::vector<double>> regions(8, std::vector<double>(8));
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) regions[r][c] = 1 + (r >= 4) * 2 + (c >= 4);
  RegionFixture f(regions, 4);
  ComputeRegionWeightGrids({8, 8, 0, 0, 100, N}, f.zone.get(), 4, 300, f.grids);
  for (int r = 1; r <= 8; ++r)
    for (int c = 1; c <= 8; ++c) {
      const double w[] = {f.w1[r][c], f.w2[r][c], f.w3[r][c]};
      for (double v : w) {
        EXPECT_GE(v, 0.0) << r << "," << c;
        EXPECT_LE(v, 1.0) << r << "," << c;
      }
      EXPECT_NEAR(w[0] + w[1] + w[2], 1.0, 1e-12) << r << "," << c;
    }
}

TEST(ZoneColumnRanges, FirstAndLastZoneColumnPerRow) {
  test::CapturedDiag d;
  GridMatrix zone = MakeGrid(d.diag, {{N, 1, 1, N}, {N, N, N, N}, {2, N, N, 2}});
  const auto ranges = ZoneColumnRanges({4, 3, 0, 0, 1, N}, zone.get(), 1, 3);
  EXPECT_EQ(ranges[1].first, 2);
  EXPECT_EQ(ranges[1].last, 3);
  EXPECT_EQ(ranges[2].first, 0);
  EXPECT_EQ(ranges[2].last, -1);
  EXPECT_EQ(ranges[3].last, 4);
}

}  // namespace
}  // namespace velorn

// Terrain analysis of the example generator against hand-worked values: projection distances,
// slope and aspect of tilted planes, a filled pit, the flow network and subbasins of a small
// hand-drawn basin, and the land-use and soil rules.
#include "tools/basin_terrain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>

namespace velorn::tools {
namespace {

constexpr double kRad = std::numbers::pi / 180;

TEST(LocalProjection, KeepsDistancesOfTheMeanEarthSphere) {
  // 0.01 degree of latitude is 6371008.8 m * 0.01 * pi / 180 = 1111.95 m; of longitude at
  // 60 degrees half of that.
  const LocalProjection p{10.0, 59.0, 60.0};
  double x = 0, y = 0;
  p.ToMetric(10.01, 59.01, x, y);
  EXPECT_NEAR(y, 1111.95, 0.01);
  EXPECT_NEAR(x, 555.97, 0.01);
  double lon = 0, lat = 0;
  p.ToGeographic(x, y, lon, lat);
  EXPECT_NEAR(lon, 10.01, 1e-12);
  EXPECT_NEAR(lat, 59.01, 1e-12);
}

TEST(SlopeAndAspect, TiltedPlanesGiveTheirDipAndDipDirection) {
  struct Case {
    double aspect, slope;
  } cases[] = {{45, 10}, {135, 20}, {180, 30}, {270, 5}, {0, 40}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "aspect " << k.aspect << ", slope " << k.slope);
    Raster dem(5, 4, 0.0);
    dem.cellsize = 100;
    for (int r = 0; r < dem.nrows; ++r)
      for (int c = 0; c < dem.ncols; ++c) {
        const double x = c * 100.0, y = (dem.nrows - r) * 100.0;
        // Falling towards the aspect direction.
        dem.at(r, c) = 3000 - std::tan(k.slope * kRad) *
                                  (x * std::sin(k.aspect * kRad) + y * std::cos(k.aspect * kRad));
      }
    Raster slope, aspect;
    SlopeAndAspect(dem, slope, aspect);
    EXPECT_NEAR(slope.at(1, 2), k.slope, 1e-9);
    EXPECT_NEAR(aspect.at(2, 1), k.aspect, 1e-9);
  }
  Raster flat(3, 3, 500.0);
  flat.cellsize = 10;
  Raster slope, aspect;
  SlopeAndAspect(flat, slope, aspect);
  EXPECT_EQ(slope.at(1, 1), 0);
  EXPECT_EQ(aspect.at(1, 1), -1);
}

TEST(FlowNetwork, APitIsFilledToItsSpillAndDrainsThroughIt) {
  // A bowl with its lowest rim cell at the bottom edge (elevation 5).
  Raster dem(4, 4, 0.0);
  const double z[4][4] = {{9, 9, 9, 9}, {9, 2, 3, 9}, {9, 4, 6, 9}, {9, 5, 9, 9}};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) dem.at(r, c) = z[r][c];
  const Raster filled = FillDepressions(dem, 0.001);
  EXPECT_NEAR(filled.at(2, 1), 5.001, 1e-12);  // the cell above the spill
  EXPECT_NEAR(filled.at(1, 1), 5.002, 1e-12);  // the pit
  EXPECT_EQ(filled.at(2, 2), 6);               // above the spill level: unchanged
  const auto down = FlowDirections(filled);
  EXPECT_EQ(down[1 * 4 + 1], 2 * 4 + 1);
  EXPECT_EQ(down[2 * 4 + 1], 3 * 4 + 1);
  EXPECT_EQ(down[3 * 4 + 1], -1);  // leaves the grid
  const auto acc = FlowAccumulation(down);
  EXPECT_EQ(acc[3 * 4 + 1], 16);  // the rim drains inwards: the whole bowl leaves at the spill
}

// A 9 x 9 grid whose border cells drain straight out. Inside, column 4 is a stream flowing
// south to the outlet (7, 4); the cells east of it flow west into it, the western block flows
// along row 3 into it at (3, 4), the cells above and below row 3 flowing towards that row.
std::vector<int64_t> HandDrawnBasin() {
  std::vector<int64_t> down(81, -1);
  auto at = [](int r, int c) { return static_cast<int64_t>(r) * 9 + c; };
  for (int r = 1; r <= 7; ++r) {
    down[at(r, 4)] = at(r + 1, 4);
    for (int c = 5; c <= 7; ++c) down[at(r, c)] = at(r, c - 1);
    for (int c = 1; c <= 3; ++c)
      down[at(r, c)] = r < 3 ? at(r + 1, c) : r > 3 ? at(r - 1, c) : at(r, c + 1);
  }
  return down;
}

TEST(Subbasins, SplitAtTheMajorConfluenceUpstreamFirst) {
  Raster dem(9, 9, 100.0);
  const auto down = HandDrawnBasin();
  const auto acc = FlowAccumulation(down);
  ASSERT_EQ(acc[7 * 9 + 4], 49);
  ASSERT_EQ(acc[3 * 9 + 3], 21);
  ASSERT_EQ(acc[2 * 9 + 4], 8);
  struct Case {
    double share;
    int tributaries;
    std::map<int, int> cells_of_zone;
  } cases[] = {
      // The main stem turns west at (3, 4) into the larger western block; the stream from the
      // north (8 cells) is the one tributary above 10 %. Both new outlets lie 5 cells up;
      // the northern one comes first in scan order.
      {0.1, 2, {{0, 32}, {1, 8}, {2, 21}, {3, 20}}},
      {0.1, 0, {{0, 32}, {1, 49}}},
      {0.2, 2, {{0, 32}, {1, 49}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "share " << k.share << ", tributaries " << k.tributaries);
    const Subbasins s = DelineateSubbasins(dem, down, acc, k.share, k.tributaries);
    EXPECT_EQ(s.basin_outlet, 7 * 9 + 4);
    EXPECT_EQ(s.basin_cells, 49);
    std::map<int, int> cells;
    for (int zone : s.zone) ++cells[zone];
    EXPECT_EQ(cells, k.cells_of_zone);
    EXPECT_EQ(s.outlets.back(), s.basin_outlet);
  }
}

TEST(Subbasins, ReachesFollowTheMainStreamToTheZoneBelow) {
  const auto down = HandDrawnBasin();
  const auto acc = FlowAccumulation(down);
  // Every cell 2 m above the cell below it: the fall of a reach is twice its steps.
  Raster dem(9, 9, 100.0);
  dem.cellsize = 100;
  for (std::size_t i = 0; i < dem.Size(); ++i)
    for (int64_t j = down[i]; j >= 0; j = down[j]) dem.values[i] += 2;
  const Subbasins s = DelineateSubbasins(dem, down, acc, 0.1, 2);
  const std::vector<Reach> reaches = ChannelReaches(dem, down, acc, s, 3);
  struct Expected {
    int downstream_zone;
    double area;
    int cells;
    double length, fall;
  } expected[] = {
      // The northern stream (2, 4) <- (1, 4) <- (1, 5): (1, 4) drains 4 cells, (2, 5) only 3;
      // three steps to (3, 4) on the main stem.
      {3, 0.08, 3, 300, 6},
      // The western block: (3, 3) <- (3, 2) <- (3, 1) <- (4, 1) <- (5, 1), where (4, 1) drains
      // 4 cells and (2, 1) 2; (6, 1) drains 2, below the stream threshold of 3.
      {3, 0.21, 5, 500, 10},
      // The main stem from the basin outlet (7, 4) up to (3, 4), where the other zones join,
      // and on to (3, 5): six cells down to (8, 4) below the outlet, outside the basin.
      {0, 0.49, 6, 600, 12},
  };
  ASSERT_EQ(reaches.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k + 1);
    EXPECT_EQ(reaches[k].zone, k + 1);
    EXPECT_EQ(reaches[k].downstream_zone, expected[k].downstream_zone);
    EXPECT_NEAR(reaches[k].area, expected[k].area, 1e-12);
    EXPECT_EQ(reaches[k].cells, expected[k].cells);
    EXPECT_DOUBLE_EQ(reaches[k].length, expected[k].length);
    EXPECT_DOUBLE_EQ(reaches[k].fall, expected[k].fall);
  }
}

TEST(ClassRules, StreamsElevationSlopeAndAspectChooseTheClasses) {
  const ClassRules rules;
  struct Case {
    double elevation, slope, aspect;
    int64_t accumulation;
    int landuse, soil;
  } cases[] = {
      {2500, 3, 90, 500, kMeadow, kLoam},                 // flat valley floor with a stream
      {2500, 6, 90, 500, kMeadow, kSandyLoam},            // stream, but not flat enough for loam
      {2500, 3, 90, 10, kMontaneForest, kSandyLoam},      // flat ridge without a stream
      {2500, 18, 180, 10, kGrassShrub, kSandyLoam},       // steep south-facing montane slope
      {2500, 18, 90, 10, kMontaneForest, kSandyLoam},     // steep east-facing slope
      {2900, 18, 180, 10, kSubalpineForest, kSandyLoam},  // above 2800 m forest on every side
      {2900, 25, 0, 10, kSubalpineForest, kLoamySand},    // steep: shallow coarse soil
      {2900, 9, 0, 500, kSubalpineForest, kSandyLoam},    // stream on a steep reach
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.elevation << " m, " << k.slope << " deg, aspect "
                                    << k.aspect << ", " << k.accumulation << " cells");
    EXPECT_EQ(LanduseClass(rules, k.elevation, k.slope, k.aspect, k.accumulation), k.landuse);
    EXPECT_EQ(SoilClass(rules, k.slope, k.accumulation), k.soil);
  }
}

}  // namespace
}  // namespace velorn::tools

// The first snow temperature profile by hand: three layers of 0.1 m, snow in the lower two.
#include "unsatzone/snow_temperature_profile.h"

#include <gtest/gtest.h>

#include "core/nodata.h"

namespace velorn {
namespace {

TEST(SnowTemperatureProfile, DepthWeightRisesFromTheSnowSurfaceToTheSoil) {
  const double height[] = {0, 0.2, 0.1, 0.0};  // lower boundaries, levels 1..3 (3 on the soil)
  const double thickness[] = {0, 0.1, 0.1, 0.1};
  const double solid[] = {0, 0, 5, 7};
  double t[4] = {};
  // Pack 0.2 m deep: layer 2's middle 0.05 m below the surface (f 0.25), layer 3's 0.15 (0.75).
  EXPECT_EQ(InitialSnowTemperatures(solid, height, thickness, 3, 2.0, -8.0, kNodata, t), 2);
  EXPECT_EQ(t[1], kNodata);
  EXPECT_NEAR(t[2], 0.25 * 2.0 + 0.75 * -8.0, 1e-12);
  EXPECT_NEAR(t[3], 0.75 * 2.0 + 0.25 * -8.0, 1e-12);
  // Warm air and soil: snow is never warmer than 0 degC.
  InitialSnowTemperatures(solid, height, thickness, 3, 2.0, 4.0, kNodata, t);
  EXPECT_EQ(t[2], 0.0);
  EXPECT_EQ(t[3], 0.0);
}

TEST(SnowTemperatureProfile, SnowAboveAGapOrNoSnowOnTheSoilGivesNodata) {
  const double height[] = {0, 0.2, 0.1, 0.0};
  const double thickness[] = {0, 0.1, 0.1, 0.1};
  double t[4] = {};
  const double bare[] = {0, 3, 0, 0};  // only the top layer holds snow: not on the soil
  EXPECT_EQ(InitialSnowTemperatures(bare, height, thickness, 3, 2.0, -8.0, kNodata, t), 4);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(t[k], kNodata);
  const double gap[] = {0, 3, 0, 1};  // the run from the soil stops at the empty layer 2
  EXPECT_EQ(InitialSnowTemperatures(gap, height, thickness, 3, 2.0, -8.0, kNodata, t), 3);
  EXPECT_EQ(t[2], kNodata);
  EXPECT_NEAR(t[3], 0.5 * 2.0 + 0.5 * -8.0, 1e-12);  // a single layer: f = 0.5
  // The index alone, as a warm start takes it from the pack it reads.
  const double full[] = {0, 1, 2, 3};
  const double none[] = {0, 0, 0, 0};
  EXPECT_EQ(UpperSnowIndex(full, 3), 1);
  EXPECT_EQ(UpperSnowIndex(gap, 3), 3);
  EXPECT_EQ(UpperSnowIndex(bare, 3), 4);
  EXPECT_EQ(UpperSnowIndex(none, 3), 4);
}

}  // namespace
}  // namespace velorn

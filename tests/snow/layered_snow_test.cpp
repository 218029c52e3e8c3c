// The layered snow pack of one cell: new snow on a fresh (all -9999) stack gets positive
// thicknesses and densities, fills the layers from the bottom up to their room, and removal
// beyond the pack empties every layer, hands their liquid water to level 0 and leaves the top
// index below the last layer.
#include "snow/layered_snow.h"

#include <gtest/gtest.h>

namespace velorn {
namespace {

constexpr double E = kEmptyLayer;

struct Stacks {
  // Three layers of fresh density 100 kg/m³ and 0.1 m at most: room for 10 mm each.
  double solid[4] = {0, 0, 0, 0}, liquid[4] = {0, 0, 0, 0}, thickness[4] = {E, E, E, E},
         density[4] = {E, E, E, E}, temperature[4] = {E, E, E, E};
  std::vector<SnowLayerLimits> limits = std::vector<SnowLayerLimits>(4, SnowLayerLimits{100, 0.1});
  LayeredSnowCell Cell() {
    return LayeredSnowCell{solid, liquid, thickness, density, temperature, 4};
  }
};

TEST(LayeredSnow, NewSnowOnAFreshStackAndRemovalBeyondThePack) {
  Stacks s;
  LayeredSnowCell cell = s.Cell();
  UpdateLayeredSnowCell(cell, 3, s.limits, 1.0, 0.0, -5, 0);
  EXPECT_EQ(cell.top, 4);  // nothing added, nothing changed
  UpdateLayeredSnowCell(cell, 3, s.limits, 0.5, 50, -5, 1);
  EXPECT_EQ(cell.top, 1);
  EXPECT_NEAR(s.solid[3], 10, 1e-12);
  EXPECT_NEAR(s.solid[2], 10, 1e-12);
  EXPECT_NEAR(s.solid[1], 5, 1e-12);
  EXPECT_NEAR(s.solid[0], 25, 1e-12);
  for (int k = 1; k <= 3; ++k) {
    EXPECT_NEAR(s.density[k], 0.1, 1e-12) << k;  // relative to water, never negative
    EXPECT_DOUBLE_EQ(s.temperature[k], -4) << k;
  }
  EXPECT_NEAR(s.thickness[3], 0.1, 1e-12);
  EXPECT_NEAR(s.thickness[1], 0.05, 1e-12);
  // Part of the top layer sublimates: its thickness follows at its density.
  UpdateLayeredSnowCell(cell, 3, s.limits, 1.0, -3, -5, 0);
  EXPECT_NEAR(s.solid[1], 2, 1e-12);
  EXPECT_NEAR(s.thickness[1], 0.02, 1e-12);
  // More than the pack: every layer empties, their water goes to level 0.
  s.liquid[2] = 1.5;
  s.liquid[3] = 0.5;
  UpdateLayeredSnowCell(cell, 3, s.limits, 1.0, -100, -5, 0);
  EXPECT_EQ(cell.top, 4);
  EXPECT_DOUBLE_EQ(s.liquid[0], 2.0);
  EXPECT_EQ(s.solid[0], 0.0);
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(s.thickness[k], E);
    EXPECT_EQ(s.density[k], E);
  }
  // New snow on emptied layers again starts from thickness 0, not -9999.
  UpdateLayeredSnowCell(cell, 3, s.limits, 1.0, 4, -5, 0);
  EXPECT_NEAR(s.thickness[3], 0.04, 1e-12);
  EXPECT_NEAR(s.density[3], 0.1, 1e-12);
}

// The glacier evaluation takes the water of the glacier-free pack from the layers, the top layer
// first, no more than they hold; their ice stays and their thickness follows at their density.
TEST(LayeredSnow, LiquidTakenFromTheTopDown) {
  Stacks s;
  LayeredSnowCell cell = s.Cell();
  UpdateLayeredSnowCell(cell, 3, s.limits, 1.0, 15, -5, 0);  // layer 3 full (10 mm), layer 2 5 mm
  ASSERT_EQ(cell.top, 2);
  s.liquid[2] = 1.0;
  s.liquid[3] = 2.0;
  EXPECT_DOUBLE_EQ(TakeLayeredLiquidCell(cell, 3, 1.5), 1.5);
  EXPECT_DOUBLE_EQ(s.liquid[2], 0.0);
  EXPECT_DOUBLE_EQ(s.liquid[3], 1.5);
  EXPECT_NEAR(s.thickness[3], 11.5 / s.density[3] / 1000.0, 1e-15);
  EXPECT_DOUBLE_EQ(s.solid[0], 15.0);
  EXPECT_DOUBLE_EQ(TakeLayeredLiquidCell(cell, 3, 4.0), 1.5);  // all that is left
  EXPECT_EQ(s.liquid[3], 0.0);
  EXPECT_EQ(s.liquid[0], 0.0);  // nothing handed on to the soil
  EXPECT_EQ(TakeLayeredLiquidCell(cell, 3, 1.0), 0.0);
}

}  // namespace
}  // namespace velorn

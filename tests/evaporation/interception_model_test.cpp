// Interception model: section failures, the water balance of every cell with glacier shares,
// two layers with a bare upper layer, the canopy snow coupling and the energy balance without
// snow on the ground.
#include <gtest/gtest.h>

#include <cmath>

#include "evaporation/canopy_snow.h"
#include "tests/support/interception_test.h"

namespace velorn {
namespace {

using test::InterceptionTest;
constexpr double N = -9999;

TEST_F(InterceptionTest, RefusesBadSectionsWithTheirCodes) {
  struct Case {
    int method;
    std::string canopy;
    bool snow_albedo;
    int code;
    const char* message;  // as the screen shows it, without "FATAL: "
  };
  const Case cases[] = {
      {13, "", true, kInterceptionMethodCode,
       "method 13 is not supported in interception model (use one of 1, 2, 11, 12, 21, "
       "22, 31, 32)"},
      {21, "1.0\n0.1\n0.0\n", true, 17, nullptr},
      {22, "1.0\n0.1\n-2\n", true, 17, nullptr},
      {31, "1.0\n0.1\n1.0\n", false, kCanopyBalanceSnowGridCode,
       "Albedo not available in advanced snow interception model with canopy energy "
       "balance (should be available when an extended snow model is used)"},
  };
  AddRainInputs(1, Fill(1), Fill(2), Fill(0.5));
  AddMeteoInputs(-5);
  for (const Case& c : cases) {
    if (!c.snow_albedo) Add("snow_storage_total", Fill(0));
    if (model_) model_->ReleaseMemory();
    EXPECT_EQ(Make(Section(c.method, c.canopy)), c.code) << c.method;
    if (c.message != nullptr) {
      EXPECT_TRUE(ScreenHas(c.message)) << c.method;
    }
  }
  EXPECT_TRUE(ScreenHas("LAI scaling factor for the snow canopy model must be above 0"));
}

TEST_F(InterceptionTest, OneLayerBalancesEveryCellAndPassesPrecipitationOnGlaciers) {
  // Glacier shares: none, whole, nearly whole (computed, then zeroed), half.
  Add("GlacierizedCells", {{0, 0, 1, 0.999995}, {0.5, 0, 0, 0}});
  AddRainInputs(1, {{N, 1, 1, 1}, {2, 2, 1, 1}}, Fill(2.0), {{1, 1, 1, 1}, {0.5, 1, 0, 0.25}});
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  EXPECT_EQ(model_->GetMethod(), 12);
  double** p = Grid("precipitation");
  for (int step = 0; step < 3; ++step) {
    std::vector<double> before;
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) before.push_back(Grid("interception_storage0")[r][c]);
    model_->RunStep(step, 1, 6, 2001);
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 4; ++c) {
        const double s = Grid("interception_storage0")[r][c];
        const double e = Grid("interception_evaporation0")[r][c];
        const double t = Grid("throughfall0")[r][c];
        if (r == 1 && c == 1) {
          EXPECT_EQ(e, N);
          EXPECT_EQ(t, N);
          continue;
        }
        if (r == 1 && c >= 3) {  // wholly glacierized: the precipitation reaches the snow
          EXPECT_EQ(t, p[r][c]);
          EXPECT_EQ(s + e, 0.0);
          continue;
        }
        const double ds = s - before[static_cast<std::size_t>((r - 1) * 4 + c - 1)];
        EXPECT_NEAR(p[r][c], ds + e + t, 1e-12) << r << "," << c;
        EXPECT_EQ(Grid("throughfall1")[r][c], t);
        EXPECT_EQ(Grid("pot_transpiration0")[r][c], Grid("pot_transpiration1")[r][c]);
      }
    }
  }
  // Capacities: land use 1 has none of its own, 2 LAI * 0.2 = 0.4; land use 2 has 0.5 per
  // unit of leaf area, 2 * 0.5 = 1.0. Cell (1,2): cover 1, P 2, rule 2 evaporates 0.2 per step.
  EXPECT_NEAR(Grid("interception_storage0")[1][2], 0.4 - 0.2, 1e-12);
  // The transpiration grid (not renewed here) gives up 0.2, then the remaining 0.1.
  EXPECT_DOUBLE_EQ(Grid("pot_transpiration1")[1][2], 0.0);
  EXPECT_NEAR(Grid("interception_storage0")[2][2], 1.0 - 0.2, 1e-12);
}

TEST_F(InterceptionTest, TwoLayersPassWaterThroughABareUpperLayer) {
  std::vector<MultilayerLanduseRecord> table(2);
  table[0].code = 1;
  table[1].LayerCount = 2;
  setup_.multilayer_landuse_table = table.data();
  AddRainInputs(2, Fill(1), Fill(2.0), Fill(0.5));
  // No tree layer in row 2: its land use is nodata.
  for (int c = 1; c <= 4; ++c) grids_["landuse1"][2][c] = N;
  ASSERT_EQ(Make(Section(11)), 0) << screen_.str();
  model_->RunStep(0, 1, 6, 2001);
  double** p = Grid("precipitation");
  for (int r = 1; r <= 2; ++r) {
    for (int c = 2; c <= 4; ++c) {
      const double e = Grid("interception_evaporation0")[r][c];
      const double s = Grid("interception_storage0")[r][c];
      const double t = Grid("throughfall0")[r][c];
      EXPECT_NEAR(p[r][c], s + e + t, 1e-12) << r << "," << c;
      EXPECT_NEAR(e,
                  Grid("interception_evaporation1")[r][c] + Grid("interception_evaporation2")[r][c],
                  1e-12);
      EXPECT_NEAR(Grid("pot_transpiration0")[r][c], 0.3 - e, 1e-12);  // rule 1
    }
  }
  // Row 2: the lower layer receives the whole precipitation: 8 mm, half covered, capacity 0.4.
  EXPECT_EQ(Grid("throughfall1")[2][3], 8.0);
  EXPECT_NEAR(Grid("throughfall2")[2][3], 4.0 + 3.6, 1e-12);
}

TEST_F(InterceptionTest, CanopySnowFeedsTheRainInterception) {
  // LAI 1 in row 1 equals the minimum (no canopy model); LAI 3 in row 2 runs it at -5 C.
  AddRainInputs(1, Fill(2), {{1, 1, 1, 1}, {3, 3, 3, 3}}, Fill(1.0));
  AddMeteoInputs(-5.0);
  ASSERT_EQ(Make(Section(21)), 0) << screen_.str();
  model_->threshold_temperature = 0.0;
  model_->transition_half_width = 1.0;
  model_->RunStep(0, 1, 1, 2001);
  model_->RunStep(0, 1, 1, 2001);  // the same date: no second temperature grid
  EXPECT_EQ(model_->temperature_stack->count(), 1);
  double** p = Grid("precipitation");
  for (int c = 2; c <= 4; ++c) {
    EXPECT_EQ(Grid("Snow_canopy_unload_liquid")[1][c], p[1][c]);
    EXPECT_EQ(Grid("Snow_canopy_albedo")[1][c], 0.2);
    EXPECT_EQ(Grid("Snow_canopy_temperature")[1][c], -5.0);
  }
  for (int c = 1; c <= 4; ++c) {
    // All snow at -5 C: part of it stays in the canopy, nothing liquid reaches the storage.
    EXPECT_GT(Grid("Snow_canopy_load")[2][c], 0.0);
    EXPECT_EQ(Grid("Snow_canopy_unload_liquid")[2][c], 0.0);
    EXPECT_EQ(Grid("throughfall0")[2][c], 0.0);
  }
  model_->RunStep(1, 1, 1, 2001);
  EXPECT_EQ(model_->temperature_stack->count(), 2);
}

TEST_F(InterceptionTest, EnergyBalanceWaitsForSnowOnTheGround) {
  AddRainInputs(1, Fill(2), Fill(3.0), Fill(1.0));
  AddMeteoInputs(-5.0);
  AddSnowInputs(0.0);
  for (int c = 1; c <= 4; ++c) grids_["snow_storage_total"][2][c] = 20.0;
  ASSERT_EQ(Make(Section(31)), 0) << screen_.str();
  model_->RunStep(0, 1, 1, 2001);
  for (int c = 2; c <= 4; ++c) {
    const double sub_canopy = Grid("Snow_canopy_temperature")[1][c] + 273.16;
    EXPECT_NEAR(Grid("CEB_canopy_temperature")[1][c], sub_canopy, 1e-12);
    EXPECT_NEAR(Grid("CEB_canopy_temperature_old")[1][c], sub_canopy, 1e-12);
    EXPECT_EQ(Grid("CEB_canopy_energy_balance")[1][c], 0.0);
  }
  for (int c = 1; c <= 4; ++c) {
    EXPECT_LT(std::fabs(Grid("CEB_canopy_energy_balance")[2][c]), 1.0);
    EXPECT_NEAR(Grid("CEB_dummy")[2][c], Grid("CEB_canopy_temperature")[2][c] - 268.16, 1e-9);
  }
}

}  // namespace
}  // namespace velorn

// Set-up of the layered snow model in the unsaturated zone: the sections read, the refusals
// (without heat transfer 1041, old-style entries and unequal layer counts 30), the fresh stacks
// above the soil surface and what the snow model and the restructuring get from the snow type.
#include <gtest/gtest.h>

#include "core/error_code.h"
#include "tests/support/soil_column_fixture.h"
#include "unsatzone/soil_column_state.h"

namespace velorn {
namespace {

using S = LayeredSnowState;

// [LayeredSnowModel] switched on (the two unused densities 350 and 500 kg/m³, holding capacity
// 0.08) and
// [LayeredSnowProperties] with the given entries.
std::string SnowSections(const std::string& entries, int count, int on = 1) {
  std::string t = "[LayeredSnowModel]\n" + std::to_string(on) + "\n";
  if (on > 0) {
    t += "1 method\n350 dLayeredSnowMaxDensity\n500\n-1.5 offset\n0.01\n0.08\n0.5\n0.4\n";
    for (const char* name : {"swes", "swel", "tsnow", "thsnow", "hhsnow", "hgsnow", "qusnow",
                             "thick", "dens", "upper"})
      t += std::string(name) + ".stk\n0\n";
  }
  return t + "[LayeredSnowProperties]\n" + std::to_string(count) + " snow types\n" + entries;
}

std::string SnowType(int code, int layers, const std::string& extra = "") {
  return test::SoilBlock(test::VanGenuchtenKeys(0.9, 0.02, 10, 2, 1e-4, layers, 0.05) + extra, code,
                         "snow") +
         "\n";
}

class LayeredSnowSetUp : public test::SoilColumnTest {
 protected:
  // The snow model's pack, which a layered pack needs beside it.
  LayeredSnowSetUp() {
    Add("temperature", Fill(0.0));
    Add("snowstorage_solid", Fill(0.0));
  }
  double*** StackOf(const char* identifier) {
    const int index = registry_.FindIdentifier(identifier);
    return index > 0 ? registry_[index].stack : nullptr;
  }
  test::UnsatSection section_;
};

// The first step with heat transfer gives the snow of a pack created empty its temperatures,
// after the soil's: two layers of 0.05 m on the soil under air at -10 degC lie at depths
// 0.025 and 0.075 of 0.1 m, so f = 0.25 and 0.75 between the air and the soil's top layer.
TEST_F(LayeredSnowSetUp, FirstStepSetsTheSnowTemperaturesByDepth) {
  section_.after = test::HeatSection() + SnowSections(SnowType(1, 3, " DryDensity = 120;"), 1);
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  for (long r = 1; r <= 2; ++r)
    for (long c = 1; c <= 4; ++c) grids_["temperature"].get()[r][c] = -10.0;
  for (int k = 2; k <= 3; ++k) {
    StackOf("SnowWaterEquivalentSolid")[1][2][k] = 5.0;
    StackOf("SnowLayerThickness")[1][2][k] = 0.05;
  }
  model_->BeginStep(0, 15, 1, 2020);
  const double soil_top = StackOf("Soil_Temperature_Stack")[1][2][1];
  double*** t = StackOf("Temperature_Stack_Snow");
  EXPECT_EQ(t[1][2][1], N);
  EXPECT_NEAR(t[1][2][2], std::min(0.0, 0.25 * soil_top - 0.75 * 10), 1e-9);
  EXPECT_NEAR(t[1][2][3], std::min(0.0, 0.75 * soil_top - 0.25 * 10), 1e-9);
  EXPECT_EQ(registry_[registry_.FindIdentifier("upperIndexSnow")].grid[1][2], 2.0);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(t[1][3][k], N) << k;  // no snow
  EXPECT_EQ(registry_[registry_.FindIdentifier("upperIndexSnow")].grid[1][3], 4.0);
  EXPECT_FALSE(model_->layered_snow.temperaturePending);
}

TEST_F(LayeredSnowSetUp, FreshStacksSitOnTheSoilSurface) {
  section_.after = test::HeatSection() + SnowSections(SnowType(1, 3, " DryDensity = 120;"), 1);
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  const unsatzonmodellklasse& m = *model_;
  EXPECT_TRUE(model_->IsLayeredSnowActive());
  EXPECT_EQ(m.layered_snow.M, 3);
  EXPECT_EQ(model_->GetLayeredSnowProperties()[0].layers, 3);
  EXPECT_DOUBLE_EQ(model_->GetFreshSnowTemperatureOffset(), -1.5);
  EXPECT_DOUBLE_EQ(m.layered_snow.holdingCapacity, 0.08);
  double*** soil = StackOf("geodetic_heads");
  double*** geodetic = StackOf("geodetic_height_Snow");
  double*** theta = StackOf("theta_Snow");
  ASSERT_NE(geodetic, nullptr);
  for (long r = 1; r <= 2; ++r) {
    for (long c = 1; c <= 4; ++c) {
      EXPECT_DOUBLE_EQ(geodetic[r][c][3], soil[r][c][0]);
      EXPECT_NEAR(geodetic[r][c][0], soil[r][c][0] + 0.15, 1e-12);
      EXPECT_DOUBLE_EQ(theta[r][c][2], 0.02);
      for (const char* nodata_stack :
           {"SnowLayerThickness", "SnowDensity", "Temperature_Stack_Snow"})
        EXPECT_EQ(StackOf(nodata_stack)[r][c][1], N) << nodata_stack;
      EXPECT_EQ(StackOf("SnowWaterEquivalentSolid")[r][c][2], 0.0);
      EXPECT_EQ(registry_[registry_.FindIdentifier("upperIndexSnow")].grid[r][c], 3.0);
    }
  }
  EXPECT_TRUE(m.layered_snow.temperaturePending);
  EXPECT_EQ(registry_[registry_.FindIdentifier("q_down_Snow")].level_count, 3);
  // The snow model fills layers at the fresh-snow density up to the standard thickness.
  const std::vector<SnowLayerLimits> limits = model_->LayeredSnowLimits();
  ASSERT_EQ(limits.size(), 4u);
  EXPECT_DOUBLE_EQ(limits[2].fresh_density, 120);
  EXPECT_DOUBLE_EQ(limits[2].maximum_thickness, 0.05);
  // The restructuring compacts to the snow type's density, not to dLayeredSnowMaxDensity.
  const SnowLayerParameters p = RestructureParameters(m.layered_snow, 1.22, 2090, 4187);
  EXPECT_DOUBLE_EQ(p.maxDensity[3], 120);
  EXPECT_DOUBLE_EQ(p.b[1], 2);
  EXPECT_DOUBLE_EQ(p.c[1], 0.5);
  // Releasing the model leaves no entry behind.
  Release();
  EXPECT_EQ(registry_.FindIdentifier("SnowDensity"), 0);
  EXPECT_EQ(registry_.FindIdentifier("upperIndexSnow"), 0);
}

// A pack fed by the snow model (ice and water, thickness and density still unknown) loaded on
// the column, settled and stored: the layers get their thickness at the fresh-snow density, the
// water of the pack plus the snow outflow equals what the snow model gave.
TEST_F(LayeredSnowSetUp, PackOnTheColumnKeepsItsWater) {
  section_.after = test::HeatSection() + SnowSections(SnowType(1, 3, " DryDensity = 120;"), 1);
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  unsatzonmodellklasse& m = *model_;
  const long r = 2, c = 3;
  const double solid[] = {0, 0, 6, 9}, liquid[] = {0, 0, 2, 0.5};
  for (int j = 1; j <= 3; ++j) {
    StackOf("SnowWaterEquivalentSolid")[r][c][j] = solid[j];
    StackOf("SnowWaterEquivalentLiquid")[r][c][j] = liquid[j];
  }
  SoilColumnWorkspace ws;
  SoilHeatWorkspace hs;
  SnowLayerBuffers b;
  const SoilRecord& soil = SoilOf(r, c);
  ws.Resize(3, soil.layers);
  hs.Resize(3, soil.layers);
  LoadSoilLayers(ws, soil, StackOf("geodetic_heads")[r][c][0]);
  hs[SoilHeatWorkspace::kTemper][1] = 1.5;
  int i0 = m.LoadSnowLayers(ws, hs, b, r, c);
  EXPECT_EQ(i0, -2);
  EXPECT_NEAR(ws[SoilColumnWorkspace::kDz][0], 9.5 / 120, 1e-12);
  EXPECT_EQ(hs[SoilHeatWorkspace::kTemper][0], 0.0);  // min(0, soil layer 1)
  EXPECT_EQ(registry_[registry_.FindIdentifier("upperIndexSnow")].grid[r][c], 2.0);
  const SnowLayerParameters p = RestructureParameters(m.layered_snow, 1.22, 2090, 4187);
  const double outflow = m.SettleSnowPack(ws, hs, b, p, r, c, i0);
  m.StoreSnowLayers(ws, hs, b, r, c);
  double stored = 0;
  for (int j = 1; j <= 3; ++j)
    stored += StackOf("SnowWaterEquivalentSolid")[r][c][j] +
              StackOf("SnowWaterEquivalentLiquid")[r][c][j];
  EXPECT_NEAR(stored + outflow, 17.5, 1e-9);
  EXPECT_LE(StackOf("SnowWaterEquivalentLiquid")[r][c][3], 0.08 * 9 + 1e-9);
  EXPECT_EQ(registry_[registry_.FindIdentifier("upperIndexSnow")].grid[r][c], i0 + 4.0);
}

// The soil-water sub-step with snow packs on the columns: per cell and sub-step the water of
// pack and soil changes by the water handed to the pack (level 0 of the liquid stack) minus
// direct runoff (with the pack's outflow), interflow, base flow and evapotranspiration; the
// pack's layers stay within their pores. Interception after snow took `canopy` of the snow
// model's outflow (outflow less throughfall): the soil gets the handed water less that take, so
// no water is both evaporated from the canopy and infiltrated. Level 0 of the solid stack holds
// the pack's sum, which the snow model compares with its own pack. The air at -5 degC keeps the
// packs through the sub-steps (at 0 degC they melt away before the first iteration); the wet
// layers of a pack drain sideways, and that water leaves with the interflow.
TEST_F(LayeredSnowSetUp, WaterOfPackAndSoilClosesEverySubStep) {
  using U = unsatzonmodellklasse;
  Add("throughfall0", Fill(0.0));
  const double canopy[2][4] = {{0, 1, 2, 0.5}, {3, 0, 4, 0}};
  Add("snowcover_outflow", Fill(0.0));
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) grids_["snowcover_outflow"][r][c] = canopy[r - 1][c - 1];
  for (int method : {2, 3}) {
    SCOPED_TRACE(testing::Message() << "method " << method);
    section_.method = method;
    section_.after = test::HeatSection() + SnowSections(SnowType(1, 3, " DryDensity = 120;"), 1);
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    model_->LinkWaterInputGrid(false);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) grids_["temperature"][r][c] = -5.0;  // the packs stay
    model_->BeginStep(0, 15, 1, 2020);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) grids_["landuse1"][r][c] = -9999;  // bare soil
    double*** solid = StackOf("SnowWaterEquivalentSolid");
    double*** liquid = StackOf("SnowWaterEquivalentLiquid");
    // No pack, one layer, and full packs, one of them wet beyond its holding capacity.
    const double packs[2][4][4] = {{{0, 0, 0, 0}, {0, 0, 0, 12}, {0, 0, 6, 9}, {0, 4, 8, 10}},
                                   {{0, 0, 5, 0}, {0, 0, 3, 20}, {0, 7, 7, 7}, {0, 0, 0, 40}}};
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c)
        for (int j = 1; j <= 3; ++j) {
          solid[r][c][j] = packs[r - 1][c - 1][j];
          liquid[r][c][j] = r == 2 && c == 3 ? 3.0 : 0.1 * packs[r - 1][c - 1][j];
        }
    const double handed[2][4] = {{0, 5, 30, 2}, {12, 0, 60, 1}};
    auto water = [&](int r, int c) {
      const SoilRecord& soil = SoilOf(r, c);
      double w = 1000.0 * ColumnSoilWater(soil, soil.layers, model_->Stack(U::kTheta)[r][c]);
      for (int j = 1; j <= 3; ++j) w += solid[r][c][j] + liquid[r][c][j];
      return w;
    };
    auto et = [&](int r, int c) {
      return grids_["real_transpiration1"][r][c] + grids_["real_evaporation"][r][c];
    };
    for (int step = 0; step < 3; ++step) {
      double before[3][5], et_before[3][5];
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          liquid[r][c][0] = handed[r - 1][c - 1];
          grids_["throughfall0"][r][c] = 0;  // the canopy's throughfall of each step
          before[r][c] = water(r, c);
          et_before[r][c] = et(r, c);
        }
      model_->ComputeSoilColumns(model_->first_local_row);
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          const double out = model_->Grid(U::kDirectflow)[r][c] +
                             model_->Grid(U::kInterflow)[r][c] + model_->Grid(U::kBaseflow)[r][c] +
                             et(r, c) - et_before[r][c];
          const double input = handed[r - 1][c - 1] - canopy[r - 1][c - 1];
          EXPECT_NEAR(water(r, c) - before[r][c], input - out, 1e-8)
              << "cell " << r << "," << c << " sub-step " << step;
          EXPECT_NEAR(solid[r][c][0], solid[r][c][1] + solid[r][c][2] + solid[r][c][3], 1e-12);
          for (int j = 1; j <= 3; ++j) EXPECT_LE(StackOf("theta_Snow")[r][c][j], 0.9 + 1e-9) << j;
        }
    }
  }
}

TEST_F(LayeredSnowSetUp, SwitchAndEntriesAreChecked) {
  // Without a section, or switched off even without heat transfer: no layered snow.
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_FALSE(model_->IsLayeredSnowActive());
  section_.after = SnowSections("", 0, 0);
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_FALSE(model_->IsLayeredSnowActive());
  // On without heat transfer.
  section_.after = SnowSections(SnowType(1, 3), 1);
  EXPECT_EQ(Make(section_.Text()), kLayeredSnowWithoutHeatCode);
  EXPECT_TRUE(ScreenHas("[heat_transfer] must be used as well"));
  // The cause is a FATAL entry of the Part's text, kept at any -diaglevel.
  EXPECT_TRUE(ScreenHas("ERROR:\n-----------------\n Error in model configuration"));
  EXPECT_NE(test::ReadFile(dir_ / "diag_0.xml").find("level=\"0\" description= \"ERROR:"),
            std::string::npos);
  EXPECT_EQ(registry_.FindIdentifier("theta"), 0);
  // A holding capacity below 0 would make the liquid store of the layers negative.
  std::string negative = test::HeatSection() + SnowSections(SnowType(1, 3), 1);
  negative.replace(negative.find("\n0.08\n"), 6, "\n-0.08\n");
  section_.after = negative;
  EXPECT_EQ(Make(section_.Text()), kControlFileErrorCode);
  EXPECT_TRUE(ScreenHas("dWaterHoldingCapacity in ")) << screen_.str();
  // The densities are read by no operation: 0, their default, is taken.
  std::string unused = test::HeatSection() + SnowSections(SnowType(1, 3), 1);
  unused.replace(unused.find("350 dLayeredSnowMaxDensity\n500\n"), 31, "0\n0\n");
  section_.after = unused;
  EXPECT_EQ(Make(section_.Text()), 0) << screen_.str();
  // Unequal layer counts, named by both codes.
  section_.after = test::HeatSection() + SnowSections(SnowType(1, 3) + SnowType(2, 4), 2);
  EXPECT_EQ(Make(section_.Text()), kSnowTypeEntryCode);
  EXPECT_TRUE(ScreenHas("(here: snow type 2: 4 layers, but snow type 1: 3 layers)"));
  // An old one-line entry.
  section_.after = test::HeatSection() + SnowSections("1 0.4 0.1 3 1.5 1e-5 0.5\n", 1);
  EXPECT_EQ(Make(section_.Text()), kSnowTypeEntryCode);
  EXPECT_TRUE(ScreenHas("must use the MultipleHorizons syntax"));
  // An entry opened by "{" alone is read as MultipleHorizons; without DryDensity it takes
  // dTModRhoDrySoil.
  section_.after =
      test::HeatSection() +
      SnowSections("{\n" + test::VanGenuchtenKeys(0.9, 0.02, 10, 2, 1e-4, 2, 0.05) + "\n}\n", 1);
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(model_->layered_snow.M, 2);
  EXPECT_EQ(model_->GetLayeredSnowProperties()[1].DryDensity[2], 1500);
}

}  // namespace
}  // namespace velorn

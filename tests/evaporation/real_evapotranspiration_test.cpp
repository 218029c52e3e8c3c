// Snow evaporation (with the snow storage balance), the end of the real-evapotranspiration step
// with glacier weighting, and the bucket.
#include <gtest/gtest.h>

#include "evaporation/evapotranspiration.h"
#include "tables/landuse_multilayer.h"
#include "tests/support/evaporation_fixture.h"

namespace velorn {
namespace {

class RealStep : public test::EvaporationTest {
 protected:
  RealStep() {
    setup_.output_directory = dir_ / "";
    AddLayer(1, test::LayerValues());
    AddPenmanMonteithInputs(10, 0.7, 2, 2000);
  }
  // Potentials of the cell as the potential step would leave them.
  void SetPotentials(verdunstungsmodellklasse& model, double transpiration, double evaporation) {
    model.pot_transpiration[1][1][1] = transpiration;
    model.potential_evaporation[1][1] = evaporation;
    model.pot_transpiration[0][1][1] = transpiration + evaporation;
  }
  GridMatrix snow_ = test::FilledGrid(diag_, 1, 1, 0);
};

TEST_F(RealStep, SnowEvaporationComesOutOfThePotentialsAndTheSnowStorage) {
  struct Case {
    int snow_method;
    double snow, transpiration, evaporation;
    double booked, transpiration_after, evaporation_after;
  } const cases[] = {
      {1, 5, 3, 4, 5, 0, 2},   // transpiration first, then soil evaporation
      {1, 2, 3, 4, 2, 1, 4},   // the snow runs out in the top layer
      {1, 10, 3, 4, 7, 0, 0},  // more snow than demand
      {1, 0, 3, 4, 0, 3, 4},   // no snow
      {6, 5, 3, 4, 0, 0, 0},   // the snow model sublimates itself: potentials off under snow
      {6, 0, 3, 4, 0, 3, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.snow_method << " " << c.snow);
    auto model = Make();
    model->SetSolidSnowStorage(snow_.get());
    model->SetSnowMethod(c.snow_method);
    snow_[1][1] = c.snow;
    SetPotentials(*model, c.transpiration, c.evaporation);
    model->ComputeSnowEvaporation(24, 1, 2, 2001);
    EXPECT_DOUBLE_EQ(model->snow_evaporation[1][1], c.booked);
    EXPECT_DOUBLE_EQ(model->pot_transpiration[1][1][1], c.transpiration_after);
    EXPECT_DOUBLE_EQ(model->potential_evaporation[1][1], c.evaporation_after);
    EXPECT_DOUBLE_EQ(model->pot_transpiration[0][1][1],
                     c.transpiration_after + c.evaporation_after);
    // Water balance of the snow cover: what is booked as evaporation has left the storage.
    EXPECT_DOUBLE_EQ(snow_[1][1] + model->snow_evaporation[1][1], c.snow);
    model->ReleaseMemory();
  }
}

TEST_F(RealStep, GlacierCellsEvaporateFromTheGlacierSnow) {
  AddGrid("GlacierizedCells", 1);
  double** glacier_evaporation = AddGrid("SnowEvaporation_onGlacier", 0);
  AddGrid("TotalSnowStorage_onGlacier", 6);
  double** glacier_snow = AddGrid("SolidSnowStorage_onGlacier", 6);
  test::EvapSection section;
  section.statistics_code = 2001;  // every zone, every step
  auto model = Make(section);
  model->SetSolidSnowStorage(snow_.get());
  snow_[1][1] = 5;
  SetPotentials(*model, 3, 4);
  model->ComputeSnowEvaporation(24, 1, 2, 2001);
  // The non-glacier part (share 0) books nothing; the glacier part serves its copies.
  EXPECT_DOUBLE_EQ(model->snow_evaporation[1][1], 0);
  EXPECT_DOUBLE_EQ(snow_[1][1], 5);
  EXPECT_DOUBLE_EQ(glacier_evaporation[1][1], 6);
  EXPECT_DOUBLE_EQ(glacier_snow[1][1], 0);
  EXPECT_DOUBLE_EQ(model->pot_transpiration[1][1][1], 3);

  // A fully glacierized cell contributes only its glacier snow evaporation to the total.
  model->BeginRealEvapotranspirationStep(24, 1, 2, 2001);
  model->real_transpiration[1][1][1] = 2;
  model->real_transpiration[0][1][1] = 0;
  model->FinishStep(24, 1, 2, 2001);
  EXPECT_DOUBLE_EQ(model->real_et_stats[0].table->current_values()[1], 6);
  EXPECT_DOUBLE_EQ(model->real_et_stats[1].table->current_values()[1], 0);
}

// The total holds the leaves' interception evaporation but not the sublimation of the canopy's
// snow, which has its own grid and table.
TEST_F(RealStep, FinishStepSumsTheRealValuesOfAllLayers) {
  double** interception = AddGrid("interception_evaporation0", 0.5);
  double** sublimation = AddGrid("Snow_canopy_sublim", 0.3);
  auto model = Make();
  model->BeginRealEvapotranspirationStep(24, 1, 7, 2001);
  model->real_transpiration[1][1][1] = 2;
  model->real_evaporation[1][1] = 0.7;
  model->snow_evaporation[1][1] = 0.1;
  model->FinishStep(24, 1, 7, 2001);
  EXPECT_DOUBLE_EQ(model->real_transpiration[0][1][1], 0.5 + 0.1 + 0.7 + 2);
  EXPECT_EQ(model->interception_evaporation, interception);
  EXPECT_EQ(model->canopy_sublimation, sublimation);
  EXPECT_DOUBLE_EQ(model->CanopySublimation(1, 1), 0.3);
}

TEST_F(RealStep, BucketReducesTranspirationInDrySoilAndTakesSoilEvaporationOnce) {
  std::vector<MultilayerLanduseRecord> table(2);
  table[0].code = 1;
  table[1].LayerCount = 2;
  setup_.multilayer_landuse_table = table.data();
  AddLayer(2, test::LayerValues());
  AddGrid("landuse", 1);
  double** storage = AddGrid("soil_storage", 0);
  double** capacity = AddGrid("available_soil_moisture", 100);
  struct Case {
    double relative_storage, transpiration, evaporation;
    double layer_transpiration, real_evaporation, storage_after;
  } const cases[] = {
      // 0.3 of 0.6: half of the potential; 2 layers * 1 mm + 1 mm evaporation from 100 mm.
      {0.3, 2, 1, 1, 1, 0.3 - 3.0 / 100},
      {0, 2, 1, 0, 0, 0},  // an empty store gives nothing
      // Moist soil: both layers at their potential, soil evaporation once: 3 mm, not 4.
      {0.9, 1, 1, 1, 1, 0.9 - 3.0 / 100},
      // 0.5 mm left: each layer takes 0.5/0.6 * 0.005 * ... ; evaporation gets what remains.
      {0.005, 2, 1, 2 * 0.005 / 0.6, 0.5 - 2 * 2 * 0.005 / 0.6, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative_storage);
    auto model = Make();
    ASSERT_EQ(model->FetchSoilGrids(), 1);
    storage[1][1] = c.relative_storage;
    for (int i = 1; i <= 2; ++i) model->pot_transpiration[i][1][1] = c.transpiration;
    model->potential_evaporation[1][1] = c.evaporation;
    model->real_transpiration[1][1][1] = model->real_transpiration[2][1][1] = 0;
    model->real_evaporation[1][1] = model->snow_evaporation[1][1] = 0;
    model->ComputeRealEvapotranspiration(24, 1, 7, 2001);
    EXPECT_NEAR(model->real_transpiration[1][1][1], c.layer_transpiration, 1e-12);
    EXPECT_NEAR(model->real_evaporation[1][1], c.real_evaporation, 1e-12);
    EXPECT_NEAR(storage[1][1], c.storage_after, 1e-12);
    // Mass balance of the store: what left it is what was booked.
    EXPECT_NEAR((c.relative_storage - storage[1][1]) * capacity[1][1],
                model->real_transpiration[0][1][1], 1e-9);
    model->ReleaseMemory();
  }
}

}  // namespace
}  // namespace velorn

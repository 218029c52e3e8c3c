// Rain interception of one cell: capacities, cover, storage equal to the potential, both
// evaporation rules, bare layers passing water on, and the water balance of one and two layers.
#include "evaporation/interception_water.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace velorn {
namespace {

TEST(InterceptionWater, CapacityFromTheLandUseOrTheWaterLayerThickness) {
  EXPECT_DOUBLE_EQ(InterceptionCapacity(-1.0, 3.0, 0.2), 0.6);  // no land-use capacity
  EXPECT_DOUBLE_EQ(InterceptionCapacity(0.0, 3.0, 0.2), 0.0);
  EXPECT_DOUBLE_EQ(InterceptionCapacity(0.5, 2.0, 0.2), 1.0);
}

InterceptionLayer Layer(double cover, double capacity, double storage, double transpiration,
                        double interception) {
  InterceptionLayer layer;
  layer.cover = cover;
  layer.capacity = capacity;
  layer.storage = storage;
  layer.potential_transpiration = transpiration;
  layer.potential_interception = interception;
  return layer;
}

TEST(InterceptionWater, OneLayerByHand) {
  struct Case {
    const char* what;
    int rule;
    double input, cover, capacity, storage, transpiration, interception;
    double storage_after, evaporation, throughfall, transpiration_after;
  };
  const Case cases[] = {
      {"cover 1 stores all", 1, 2.0, 1.0, 5.0, 0.0, 0.5, 0.0, 1.5, 0.5, 0.0, 0.0},
      {"cover 0 passes all", 1, 2.0, 0.0, 5.0, 0.0, 0.5, 0.0, 0.0, 0.0, 2.0, 0.5},
      {"half cover, overflow", 1, 4.0, 0.5, 1.0, 0.5, 0.2, 0.0, 0.8, 0.2, 3.5, 0.0},
      {"capacity 0", 2, 3.0, 0.6, 0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 3.0, 1.0},
      {"rule 1: storage equal to potential", 1, 0.0, 1.0, 5.0, 0.7, 0.7, 9.0, 0.0, 0.7, 0.0, 0.0},
      {"rule 2: storage equal to potential", 2, 0.0, 1.0, 5.0, 0.7, 0.3, 0.7, 0.0, 0.7, 0.0, 0.0},
      {"rule 2: transpiration above", 2, 1.0, 1.0, 5.0, 0.0, 2.0, 0.4, 0.6, 0.4, 0.0, 1.6},
  };
  for (const Case& c : cases) {
    InterceptionLayer layer =
        Layer(c.cover, c.capacity, c.storage, c.transpiration, c.interception);
    const InterceptionTotals totals = InterceptLayers(c.input, c.rule, &layer, 1);
    EXPECT_NEAR(layer.storage, c.storage_after, 1e-12) << c.what;
    EXPECT_NEAR(layer.evaporation, c.evaporation, 1e-12) << c.what;
    EXPECT_NEAR(layer.throughfall, c.throughfall, 1e-12) << c.what;
    EXPECT_NEAR(layer.potential_transpiration, c.transpiration_after, 1e-12) << c.what;
    EXPECT_NEAR(totals.transpiration_reduction, c.transpiration - c.transpiration_after, 1e-12);
    EXPECT_EQ(totals.throughfall, layer.throughfall) << c.what;
  }
}

TEST(InterceptionWater, BareLayersPassTheirInputOn) {
  // No upper layer (land use nodata): the lower layer gets the whole precipitation; a bare
  // bottom layer leaves the ground the throughfall of the layer above.
  InterceptionLayer top[] = {Layer(0, 0, 0, 0, 0), Layer(0.5, 1.0, 0, 0, 0)};
  top[0].vegetated = false;
  InterceptionTotals totals = InterceptLayers(4.0, 1, top, 2);
  EXPECT_DOUBLE_EQ(top[1].input, 4.0);
  EXPECT_DOUBLE_EQ(totals.throughfall, 3.0);
  EXPECT_DOUBLE_EQ(totals.storage, 1.0);
  InterceptionLayer bottom[] = {Layer(0.5, 1.0, 0, 0, 0), Layer(0, 0, 0, 0, 0)};
  bottom[1].vegetated = false;
  totals = InterceptLayers(4.0, 1, bottom, 2);
  EXPECT_DOUBLE_EQ(totals.throughfall, bottom[0].throughfall);
  EXPECT_DOUBLE_EQ(totals.throughfall, 3.0);
  EXPECT_DOUBLE_EQ(bottom[1].evaporation + bottom[1].storage, 0.0);
}

TEST(InterceptionWater, WaterBalanceClosesForOneAndTwoLayers) {
  // precipitation = change of storage + evaporation + throughfall, per cell and step, also when
  // a layer that still holds water has lost its land use.
  const double inputs[] = {0.0, 0.3, 2.5, 17.0};
  const double covers[] = {0.0, 0.35, 1.0};
  const double storages[] = {0.0, 0.4, 1.2};
  for (int rule : {1, 2, -1, -2}) {
    for (int count : {1, 2}) {
      for (double input : inputs) {
        for (double cover : covers) {
          for (double stored : storages) {
            std::vector<InterceptionLayer> layers = {Layer(cover, 1.2, stored, 0.3, 0.45),
                                                     Layer(1 - cover, 0.8, stored / 2, 0.1, 0.2)};
            layers[0].vegetated = rule > 0;  // a negative rule: the top layer turned bare
            double before = 0;
            for (int i = 0; i < count; ++i) before += layers[i].storage;
            const InterceptionTotals t =
                InterceptLayers(input, std::abs(rule), layers.data(), count);
            EXPECT_NEAR(input, t.storage - before + t.evaporation + t.throughfall, 1e-12)
                << "rule " << rule << " layers " << count << " P " << input << " v " << cover;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace velorn

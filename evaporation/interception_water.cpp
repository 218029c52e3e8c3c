// Rain interception of one cell.
#include "evaporation/interception_water.h"

#include <algorithm>

namespace velorn {
namespace {

// Covered share into the storage, the rest and the overflow to the throughfall.
void FillLayer(InterceptionLayer& layer, double input) {
  layer.input = input;
  layer.throughfall = (1.0 - layer.cover) * input;
  layer.storage += layer.cover * input;
  layer.overflow = 0.0;
  if (layer.storage > layer.capacity) {
    layer.overflow = layer.storage - layer.capacity;
    layer.throughfall += layer.overflow;
    layer.storage = layer.capacity;
  }
}

void EvaporateLayer(InterceptionLayer& layer, int32_t rule) {
  if (rule == 1) {
    // Evaporation in place of transpiration: both come from the same energy.
    layer.evaporation = std::min(layer.potential_transpiration, layer.storage);
    layer.transpiration_reduction = layer.evaporation;
  } else {
    layer.evaporation = std::min(layer.potential_interception, layer.storage);
    layer.transpiration_reduction = std::min(layer.potential_transpiration, layer.evaporation);
  }
  layer.storage -= layer.evaporation;
  layer.potential_transpiration -= layer.transpiration_reduction;
}

}  // namespace

double InterceptionCapacity(double capacity_per_leaf_area, double leaf_area_index,
                            double maximum_thickness) {
  if (capacity_per_leaf_area >= 0.0) return capacity_per_leaf_area * leaf_area_index;
  return leaf_area_index * maximum_thickness;
}

InterceptionTotals InterceptLayers(double input, int32_t rule, InterceptionLayer* layers,
                                   int32_t count) {
  InterceptionTotals totals;
  double water = input;
  for (int32_t i = 0; i < count; ++i) {
    InterceptionLayer& layer = layers[i];
    if (!layer.vegetated) {
      // A layer whose land use became nodata lets the water it still holds fall through.
      layer.input = water;
      water += layer.storage;
      layer.throughfall = water;
      layer.overflow = 0.0;
      layer.storage = 0.0;
      layer.evaporation = 0.0;
      layer.transpiration_reduction = 0.0;
      continue;
    }
    FillLayer(layer, water);
    EvaporateLayer(layer, rule);
    totals.evaporation += layer.evaporation;
    totals.storage += layer.storage;
    totals.transpiration_reduction += layer.transpiration_reduction;
    water = layer.throughfall;
  }
  totals.throughfall = water;
  return totals;
}

}  // namespace velorn

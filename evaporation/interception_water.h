// Rain interception of one cell: the storage of every vegetation layer, the throughfall to the
// layer below and the evaporation from the storage.
//
// Pure functions of the cell's values, called per cell by the interception model
// (evaporation/interception_model.cpp) and tested on their own. Layers are ordered from the top;
// the water input of a layer is the throughfall of the layer above (the precipitation for the
// top layer). Per layer: the covered share of the input fills the storage, the rest and the
// overflow beyond the capacity fall through; then the storage evaporates by one of two rules:
//   rule 1: up to the layer's potential transpiration, which the evaporation consumes;
//   rule 2: up to the layer's potential interception evaporation; the potential transpiration
//           is reduced by the same amount (not below 0).
// A layer without vegetation (land use nodata) holds and evaporates nothing and passes its
// input on, with the water it held before its land use became nodata, so water reaches the
// layers below and the ground. Per cell the water
// balance closes: input = change of storage + evaporation + throughfall of the lowest layer.
#pragma once

#include <cstdint>

namespace velorn {

// Storage capacity (mm) of a layer: the land use's capacity per unit of leaf area times the
// leaf area index, or, when the land use gives none (below 0), the leaf area index times the
// maximum water layer thickness.
double InterceptionCapacity(double capacity_per_leaf_area, double leaf_area_index,
                            double maximum_thickness);

// One vegetation layer of a cell: inputs, the storage carried between steps and the results.
struct InterceptionLayer {
  bool vegetated = true;               // false: land use nodata
  double cover = 0;                    // vegetation cover fraction 0..1
  double capacity = 0;                 // mm
  double potential_transpiration = 0;  // mm per step; reduced by the evaporation
  double potential_interception = 0;   // mm per step (rule 2)
  double storage = 0;                  // mm; carried from step to step
  // Results of the step.
  double input = 0;        // water reaching the layer
  double throughfall = 0;  // water leaving the layer downward, overflow included
  double overflow = 0;     // storage beyond the capacity that fell through
  double evaporation = 0;
  double transpiration_reduction = 0;  // what the evaporation took from the transpiration
};

// Cell totals of a step.
struct InterceptionTotals {
  double evaporation = 0;
  double storage = 0;
  double throughfall = 0;              // water reaching the ground
  double transpiration_reduction = 0;  // sum over the layers
};

// Fills, overflows and evaporates layers[0..count-1] (top first) with the water input `input`
// under evaporation `rule` (1 or 2).
InterceptionTotals InterceptLayers(double input, int32_t rule, InterceptionLayer* layers,
                                   int32_t count);

}  // namespace velorn

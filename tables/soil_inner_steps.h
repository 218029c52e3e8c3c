// The number of inner water steps of a soil column in a sub-step, a pure function of the soil
// record: the soil-water sub-step calls it per cell, and the region decomposition uses it to
// weigh each cell by its expected work before any soil state exists.
#pragma once

#include "tables/soil_record.h"

namespace velorn {

// Number of inner water steps of a cell in a sub-step of `substep_seconds`. Method 2: 1. Method
// 3: the sub-step divided by the shortest travel time thickness / K of the layers from i0 + 1
// above the groundwater level (`level`, a layer index, may be fractional), rounded up, K being
// the unsaturated conductivity k_r(theta) k_sat without input and k_sat with input; the travel
// time is bounded below by `min_step` (s). With `liquid` (the heat model's liquid fractions,
// column indices) k_r is multiplied by max(0.5, liquid fraction). Layers i0 + 1..0 of a layered
// snow pack (i0 < 0) take k_sat and k_r from `snow` (its layer M + i) and their thickness from
// `dz` (column indices).
int InnerStepCount(int method, const SoilRecord& soil, const double* theta, int i0, double level,
                   bool with_input, double substep_seconds, double min_step,
                   const double* liquid = nullptr, const SoilRecord* snow = nullptr, int M = 0,
                   const double* dz = nullptr);

}  // namespace velorn

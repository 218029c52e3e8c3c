// The small rules of the soil-water sub-step, as pure functions (the number of inner water steps
// of a cell is in tables/soil_inner_steps.h): the share of the water input that runs off a
// snow-covered cell, the base flow of a cell without groundwater model, the water at the surface
// that serves the transpiration demands first, the groundwater layer of a column and the storage
// coefficient of the groundwater layer.
//
// Called per cell by the sub-step body (unsatzone/soil_water_cell.cpp); no registry, no MPI, no
// allocation. Units as stated per function: amounts in mm, rates in m/s, lengths in m.
#pragma once

#include <vector>

#include "tables/soil_inner_steps.h"
#include "tables/soil_record.h"
#include "unsatzone/soil_column_workspace.h"

namespace velorn {

// Solid snow (mm) above which a share of the water input of a cell runs off at once.
inline constexpr double kSnowRunoffThreshold = 10.0;
// Smallest storage coefficient of the groundwater layer handed to the groundwater model.
inline constexpr double kMinimumStorageCoefficient = 0.01;
// Iteration from which the tolerance of the moisture iteration is relaxed, and by how much.
inline constexpr int kRelaxedIteration = 21;
inline constexpr double kRelaxedToleranceFactor = 5.0;
// Iterations above which process 0 logs the cell.
inline constexpr int kLoggedIterations = 100;

// Snow runoff share of the water input `input` (mm): `fraction` of it when the solid snow is
// above 10 mm and the input positive, else 0.
inline double SnowRunoffShare(double solid_snow, double input, double fraction) {
  return solid_snow > kSnowRunoffThreshold && input > 0 ? input * fraction : 0.0;
}

// Water `water` (mm) serves the demands in order: each demand takes what it can, the demand
// and `water` fall by it and `achieved` grows by it; entries with `valid` false are skipped.
// Returns what is left of `water`.
double ServeDemands(double water, std::vector<double>& demand, std::vector<double>& achieved,
                    const std::vector<char>& valid);

// Groundwater layer of a column: N, or, when layer N holds more than 0.9995 of its saturated
// content, the top of the unbroken block of such layers that reaches layer N.
int GroundwaterLayer(const double* theta, const double* theta_sat, int layers);

// Layer 1..N that holds a groundwater table at elevation `head` (m), `z` the lower boundaries of
// the layers (z[0] the surface): the first layer whose lower boundary lies below it (a table on
// a boundary belongs to the layer below it); 1 above the surface, N below the column.
inline int TableLayer(const double* z, int layers, double head) {
  int k = 1;
  while (k < layers && !(z[k] < head)) ++k;
  return k;
}

// Exchange of one inner step with the groundwater below the column, `rate` m/s (positive out
// of the column), applied to `theta` from the groundwater layer `layer`. Water entering fills
// the layers towards saturation from the layer upwards (what finds no room leaves at the surface
// and is returned in `surface`, m/s); water leaving drains the layers above field capacity from
// the layer downwards, then those above the layer upwards, and what they cannot give from the
// water above the residual contents `theta_res`, from the bottom up. `source` (1..N) receives
// each layer's gain (m/s, negative for a loss); `layer` moves with the layers filled or drained.
// Returns the rate that really moved (m/s, positive out of the column), which the cell books as
// its base flow.
double ExchangeWithGroundwater(double rate, double dt, const double* dz, const double* theta_sat,
                               const double* field_capacity, const double* theta_res, int layers,
                               double* theta, double* source, int& layer, double& surface);

// Storage coefficient of the groundwater layer: the drainable pore space (theta_sat - theta_fc)
// when the table fell in the step, else the fillable one (theta_sat - theta); at least 0.01.
inline double StorageCoefficient(bool fell, double theta_sat, double field_capacity, double theta) {
  const double s = fell ? theta_sat - field_capacity : theta_sat - theta;
  return s < kMinimumStorageCoefficient ? kMinimumStorageCoefficient : s;
}

// Height of the groundwater table (m, same datum as `z`, the lower boundaries 0..N) in layer
// `layer` holding `theta_gw`: the layer's top when it is saturated (or layer 1 is), the layer's
// bottom at or below field capacity, linear between.
double GroundwaterHead(const double* z, const double* theta_sat, const double* field_capacity,
                       int layer, double theta_gw, double theta_1);

}  // namespace velorn

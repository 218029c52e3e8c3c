// How the soil-water sub-step drives the heat numerics of one cell (unsatzone/soil_heat.h): the
// thermal properties of the column from its water and temperatures, the n-factor and the upper
// boundary temperature (from the air or, under a layered snow pack, from the snow model's
// energy balance), the trial pass that fixes the number of heat steps, one heat step, and the
// frozen-soil results at the end of a cell (thaw depth, frozen soil below the groundwater
// table).
//
// Called per cell by the soil-water sub-step: UpdateThermalProperties and HeatStepCount once
// before the inner steps (with the upper boundary of UpperBoundaryTemperature), RunHeatStep r
// times per inner water step, ThawDepth and FrozenThicknessBelowTable at the end of the cell.
// Pure functions of the cell's workspaces and the soil entries; no registry, no MPI.
#pragma once

#include <vector>

#include "unsatzone/soil_heat.h"

namespace velorn {

// Snow-surface values that decide the upper boundary under a layered snow pack.
struct SnowSurface {
  double energyBalance = 0;  // W/m², the snow model's energy balance of the cell
  double surfaceKelvin = 0;  // K, snow surface temperature
  double dtSeconds = 0;      // length of the sub-step
  // Top snow layer, and the layer below it when the pack has two or more.
  double thickness = 0, waterContent = 0, liquidFraction = 0, temperature = 0, conductivity = 0,
         heatCapacity = 0;
  bool secondLayer = false;
  double temperature2 = 0, heatCapacity2 = 0;
};

// Upper boundary temperature and the n-factor it is multiplied with.
struct UpperBoundary {
  double temperature = 0;
  double nFactor = 1;
};

// The n-factor of the cell's land use: its value at the date, else its freezing (air < 0) or
// thawing value, else the [heat_transfer] default of that season; values below -9999 are none.
double ChooseNFactor(double at_date, double freezing, double thawing, double t_air,
                     double default_freezing, double default_thawing);

// Upper boundary under a snow pack: a frozen surface (balance 0, below 273.16 K) gives its
// temperature, at least t_air - 13, with nf_freezing; a balance of 0 or less otherwise the top
// layer's temperature with n-factor 1; a positive balance (limited by the energy that melts the
// top layer's liquid share) the temperature it drives through the top half-layer, within
// [0, t_air + 13], with nf_thawing.
UpperBoundary SnowUpperBoundary(const SnowSurface& s, double t_air, double nf_freezing,
                                double nf_thawing);

// Liquid fractions and slopes (soil and, with cell.snow, the snow layers), conductivities, the
// latent-heat term and the heat capacities from kTemper and the water contents.
void UpdateThermalProperties(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, const ColumnCell& cell,
                             const HeatParameters& p);

// Top-layer temperature change of one bounded explicit pass over dt (the trial of the pre-pass).
double TrialTopChange(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0, double t_low,
                      const UpperBoundary& upper, long dt_seconds);

// Heat steps of a sub-step of dt seconds: the smallest n >= 1 with (|trial| <= |(t_air - t_top)
// 0.25 n| or dt / n <= shortest) and dt / n <= longest (shortest, longest > 0).
int HeatStepCount(double trial_change, double t_air, double t_top, double dt, double shortest,
                  double longest);

// One heat step of dt seconds (explicit for methods up to 10, implicit from 11) from kTemper;
// the new temperatures of layers i0 + 1 .. N end in kTemper.
void RunHeatStep(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, const ColumnCell& cell,
                 const HeatParameters& p, const UpperBoundary& upper, const HeatBoundary& boundary,
                 double dt);

// Temperature below which a soil layer counts as frozen: FreezingLowerLimit k / n for the first
// point k of its liquid-fraction table whose fraction is at most `se` (n when none), per layer
// 1..n of the entry.
std::vector<double> ThawThresholds(const SoilRecord& soil, double se);

// Depth (m below the soil surface) of the deepest place where a warmer-than-threshold layer
// lies above a colder one, interpolated linearly between the layer centres; the depth of the
// bottom when the bottom layer is warmer than its threshold and that threshold is not below
// t_lower; 0 when neither.
double ThawDepth(const SoilColumnWorkspace& ws, const double* temperature, const double* threshold,
                 double t_lower);

// Thickness (m) of the soil layers below `thaw_depth` that are not warmer than their threshold
// and lie wholly at or below the groundwater table z_gw.
double FrozenThicknessBelowTable(const SoilColumnWorkspace& ws, const double* temperature,
                                 const double* threshold, double thaw_depth, double z_gw);

// Heat of one cell through one sub-step: the number of heat steps n_h, the heat steps per
// inner water step r, and the boundaries (the same for every heat step of the sub-step).
struct CellHeat {
  int steps = 1;
  int perWaterStep = 1;
  UpperBoundary upper;
  HeatBoundary boundary;
  double airTemperature = 0;
  int i0 = 0;  // top index of the column (a layered snow pack above the soil: < 0)
};

// Couples n_h heat steps with n_w water steps: with n_h > 2 n_w, n_h rises to the next multiple
// of n_w above it and r = n_h / n_w; with n_h <= n_w, n_h = n_w and r = 1; otherwise the water
// takes n_h steps as well (n_w = n_h, r = 1).
inline void CoupleHeatAndWaterSteps(int& heat_steps, int& water_steps, int& per_water_step) {
  if (heat_steps > 2 * water_steps) {
    heat_steps = (heat_steps / water_steps + 1) * water_steps;
    per_water_step = heat_steps / water_steps;
  } else if (heat_steps <= water_steps) {
    heat_steps = water_steps;
    per_water_step = 1;
  } else {
    water_steps = heat_steps;
    per_water_step = 1;
  }
}

}  // namespace velorn

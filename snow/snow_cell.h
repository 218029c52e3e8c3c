// The snow balance of one cell for one call: phase split, accumulation (with deposition and
// canopy unload), and melt or refreezing by the configured method (1..14), with the energy
// balance of the pack for the methods 5, 6, 7 and 11. A pure function: the caller (the cell
// loop of snow/snow_step.cpp, and the tests) hands in the model's settings, the cell's inputs and
// its state, and gets the melt of the call; applying the melt to the storages, the water holding
// and the outflow are the cell loop's work.
//
// Limits and choices:
// - Sublimation leaves the pack at 0, never below; refreezing never freezes more liquid water
//   than there is.
// - The saturation vapour pressure over ice is the Magnus form with 272.44 (its standard
//   constant), in the warm branch and in the latent flux of the surface temperature search.
// - In the warm branch with a wet-bulb temperature at or below 0 °C the energy of the step goes
//   to sublimation, weighted once by the call's weight.
// - Deposition: the precipitation of the step `P` is never changed here; the call reports the
//   deposited snow (`deposited`, weighted) and the cell loop raises the precipitation grid once
//   per step by the sum of its calls, so that a night and a day call do not compound it.
// - Snow evaporation taken by the evapotranspiration model is already out of the solid storage
//   before the call; the pack loses only the sublimation computed here (energy-balance methods).
// - The layered snow pack of the soil model takes over the snow temperature and the melt of the
//   energy-balance methods when `heat_transfer` and `layered` are both on (g = 0).
#pragma once

#include <cstdint>

namespace velorn {

// Settings of the model fixed during a step.
struct SnowCellSettings {
  int32_t method = 1;
  double transzone = 0, T0R = 0, T0 = 0, CRFR = 0, C0 = 0, C1 = 0, C2 = 0;
  double LWINcorr = 1, LWOUTcorr = 1, EnBalScaling = 1;
  double RMF = 0;              // seasonal melt factor of the day
  double minutes = 60;         // step length
  double steps_per_day = 24;   // 1440 / minutes
  bool heat_transfer = false;  // the soil model's heat transfer
  bool layered = false;        // the soil model's layered snow pack
  double nodata = -9999;
};

// The cell's inputs of the step.
struct SnowCellInput {
  double T = 0;           // air temperature (°C) of the call
  double P = 0;           // precipitation of the step (mm), before deposition
  double unload = 0;      // snow unloaded from the canopy (mm)
  double wind = 0;        // m/s
  double humidity = 0;    // relative, 0..1
  double radiation = 0;   // global radiation of the step (Wh/m²)
  double cloudiness = 0;  // 0..1
  double albedo = 0.8;
  double elevation = 0;       // m
  double vapour = 0;          // vapour pressure grid (hPa), method 4
  double deposition = 0;      // deposition index D
  double correction = -9999;  // radiation correction r; below -1: none
  bool has_surface_grid = false;
  double surface_given = 0;  // its value (below 100: °C)
  double long_wave = 0;      // incoming long-wave radiation under the canopy; <= 0: none
  bool lake = false;         // lake cell with ponding: all rain
};

// The cell's state, carried from call to call and step to step.
struct SnowCellState {
  double solid = 0, liquid = 0, total = 0;
  double snow_temperature = 0;     // K (nodata: unknown)
  double surface_temperature = 0;  // K (nodata: unknown)
  double evaporation = 0;          // sublimation of the call (mm, positive a loss)
  double balance = 0;              // energy balance (W/m²)
  // Written per call: snowfall (with deposition and unload) and rain, unweighted, the snow
  // share, and the weighted deposited snow of the call.
  double snowfall = 0, rain = 0, share = 0, deposited = 0;
  // What the pack lost to the air in this call, weighted (mm; negative: frost gained).
  double sublimation = 0;
  int evaluations = 0;  // energy balance evaluations of the cold-branch search
  // What the call hands to the layered snow pack, weighted once: snowfall plus refrozen water,
  // and the sublimated snow.
  double layered_added = 0, layered_removed = 0;
};

// One call with weight w (1, or the night or day share of a long step) for the snow of the cell
// (g = 0) or of its glacierized part (g = 1, which takes snowfall and rain from the state that
// the g = 0 call left). Returns the melt of the call times w (mm).
double ComputeSnowCell(const SnowCellSettings& s, const SnowCellInput& in, double w, int g,
                       SnowCellState& state);

// The energy balance Q(Ts) of the cold branch at surface temperature Ts (K) with the latent
// flux at that temperature; `latent` receives it.
struct ColdBalanceTerms {
  double short_wave = 0;  // (1 - albedo) R 60 / minutes
  double long_wave_in = 0;
  double air_kelvin = 0;
  double vapour = 0;
  double wind_function = 0;
  double heat_rain_snow = 0;  // heat of rain and snow plus 1 W/m²
  double LWOUTcorr = 1;
};
double ColdBalance(const ColdBalanceTerms& t, double surface_kelvin, double& latent);

// The surface temperature search of the cold branch from `start` (K): at most 151 evaluations,
// stopping when |Q| <= 0.25 W/m². Returns Ts; `balance`, `latent` and `evaluations` receive Q,
// the latent flux of the last evaluation and the number of evaluations.
double SearchSurfaceTemperature(const ColdBalanceTerms& t, double start, double& balance,
                                double& latent, int& evaluations);

}  // namespace velorn

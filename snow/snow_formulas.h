// The formulas of the snow time step, each a pure function of its inputs (no registry, no MPI,
// no grids), used by the cell computation (snow/snow_cell.cpp), the cell loop and the end of
// step (snow/snow_step.cpp, snow/snow_finish.cpp) and by the tests:
// - the seasonal factors and the day of the year they use;
// - saturation vapour pressures over ice and water, air pressure, dew point and wet-bulb
//   temperature;
// - the split of precipitation into snow and rain;
// - the index melt rates (degree-day, wind, radiation, rain on snow) and the pieces of the
//   energy balance of the pack (cloud coefficient, incoming long-wave radiation, latent flux);
// - the snow albedo, the permafrost thaw depth and one step of a glacier linear storage.
//
// Units: temperatures in °C unless the name says kelvin, vapour pressures in hPa, amounts in mm
// of water, energy fluxes in W/m², steps per day `spd` (1440 / step minutes).
#pragma once

#include <array>
#include <cstdint>

namespace velorn {

// Physical constants of the snow pack.
inline constexpr double kSnowZeroKelvin = 273.16;
inline constexpr double kStefanBoltzmann = 5.67e-08;
inline constexpr double kSnowHeatCapacity = 2100.0;    // J/(kg K)
inline constexpr double kWaterHeatCapacity = 4180.0;   // J/(kg K)
inline constexpr double kSublimationHeat = 2835500.0;  // J/kg
inline constexpr double kFusionHeat = 337500.0;        // J/kg

// Day of the year: the day of the month plus the lengths of the months before (`lengths` holds
// January..December). A month outside 1..12 counts as January.
int DayOfYear(int day, int month, const std::array<int32_t, 12>& lengths);
// mean + amplitude * sin((doy - 80) * 0.017214206): the mean on 21 March, the top in late June.
double SeasonalFactor(double mean, double amplitude, int day_of_year);

// Saturation vapour pressure 6.1078 * exp(21.874 T / (T + 265.5)) (hPa), the over-ice form of
// the Tetens type that the model reports.
double VapourPressureIce(double celsius);
// Magnus over ice, 6.1071 * exp(22.4429 T / (T + 272.44)), and over water,
// 6.1078 * exp(17.08085 T / (T + 234.175)) (hPa).
double MagnusOverIce(double celsius);
double MagnusOverWater(double celsius);
// Standard atmosphere: 1013.25 * (1 - 0.0065 z / 288.15)^5.255 hPa at elevation z (m).
double AirPressure(double elevation);
// Dew point (°C) of vapour pressure e (hPa) at air pressure p (hPa), through the specific
// humidity and the inverted Magnus form over ice (6.112 hPa, 22.46, 272.62).
double DewPoint(double vapour_pressure, double air_pressure);
// Wet-bulb temperature (°C) of air at T with vapour pressure e at elevation z: start from
// (dew point + 2 T) / 3 and move by halving steps at most 15 times until the step is at most
// 0.025 K.
double WetBulbTemperature(double celsius, double vapour_pressure, double elevation);

// Snow share of precipitation: 1 at or below T0R - transzone, 0 above T0R + transzone, linear
// between; a transition width of 0 makes a plain threshold at T0R.
double SnowShare(double celsius, double T0R, double transzone);

// Index melt rates per step (mm), 0 at or below T0.
double DegreeDayMelt(double C0, double celsius, double T0, double spd);
double WindIndexMelt(double C1, double C2, double wind, double celsius, double T0, double spd);
// Rain on snow with the air temperature itself (not T - T0), vapour pressure e and rain P.
double RainOnSnowMelt(double C1, double C2, double wind, double celsius, double vapour_pressure,
                      double precipitation, double spd);
// Radiation temperature index: (T - T0) * (r + 1) / 2 * RMF / spd; `correction` r below -1
// (nodata) counts as no correction (factor 1).
double RadiationIndexMelt(double celsius, double T0, double correction, double RMF, double spd);

// Cloud coefficient of the long-wave formula: 0.24 with precipitation, else 0.08, 0.17 or 0.2
// by cloudiness (fraction 0..1).
double CloudCoefficient(double precipitation, double cloudiness);
// LWINcorr * sigma * Tk^4 * (0.61 + 0.05 sqrt(e)) * (1 + k c^2) (W/m²).
double IncomingLongWave(double LWINcorr, double air_kelvin, double vapour_pressure, double k,
                        double cloudiness);
// Wind function 0.18 + 0.098 u and the latent flux fu * 32.82 * (e - e_surface) (W/m²).
double WindFunction(double wind);
double LatentFlux(double wind_function, double vapour_pressure, double surface_vapour_pressure);

// Albedo of a pack of `storage` mm above `threshold` mm: min + exp(k age) (max - min) with k
// -0.12 at or below 0 °C and -0.05 above; at or below the threshold the land's albedo.
double SnowAlbedo(double storage, double threshold, double age_days, double celsius,
                  double albedo_min, double albedo_max, double land_albedo);

// Permafrost thaw depth alpha * sqrt(snow-free days) (m); 0 for no days.
double ThawDepth(double alpha, double snow_free_days);

// One step of a linear storage with recession constant k (steps) fed by `inflow` per glacier
// share `share`: Q exp(-1/k) + (1 - exp(-1/k)) inflow / share; a share of 0 or less empties it.
double LinearStorageStep(double content, double k, double inflow, double share);

// A pack's solute tracer: `stored` is a mass (mm x concentration) for a tracer that stays with
// the water, a concentration for an evaporating one. After `input` mm at concentration
// `incoming` joined `pack` mm: the mass plus the input's, or the volume-weighted mixture.
double PackSoluteAfterInput(double stored, bool evaporating, double pack, double input,
                            double incoming);
// The mass that `outflow` mm carry out of a pack that keeps `pack` mm and holds the mass
// `stored`: its share outflow / (outflow + pack), at most `outflow` x `max_conc` while the pack
// keeps water; a pack that gives its last water gives all it holds (no solute stays behind in a
// pack of no water, where no later outflow would ever carry it).
double PackSoluteOutflow(double stored, double outflow, double pack, double max_conc);

}  // namespace velorn

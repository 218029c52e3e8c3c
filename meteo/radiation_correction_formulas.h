// The formulas of the terrain correction of radiation and temperature: the daylight share of a
// sub-interval, clear-sky radiation, the radiation on an inclined cell, the corrected
// temperature and the terrain shading scan.
//
// Pure functions of their inputs (no registry, no MPI, thread-safe); the radiation correction
// sub-model (meteo/radiation_correction.h) calls them per sub-interval and per cell. Times are
// hours of local clock time, angles radians unless a name says degrees.
//
// Limits: the shading scan reads a whole elevation grid (every row 1..nrows held) and marches
// straight rays over the cell centres; it sees terrain inside the grid only.
#pragma once

#include <cstdint>

#include "core/solar_geometry.h"

namespace velorn {

// Solar constant (W/m²), the clear-sky transmissivity and the air-mass exponent of the
// clear-sky radiation, and the lowest sun elevation (radians) that gives radiation.
inline constexpr double kSolarConstant = 1367.0;
inline constexpr double kClearSkyTransmissivity = 0.86;
inline constexpr double kAirMassExponent = 0.9;
inline constexpr double kLowestSunElevation = 0.017;
// The radiation on a cell is capped at this multiple of the horizontal value.
inline constexpr double kSlopeRadiationCap = 5.0;
// Below this sunshine duration the sky counts as overcast: no direct radiation on the slope.
inline constexpr double kOvercastSunshine = 0.1;
// Correction factors above this limit enter the temperature logarithmically; at or below it the
// temperature drops by ln(5) = 1.6094 times scaling times weight.
inline constexpr double kLogFactorLimit = 0.2;
inline constexpr double kLowFactorTemperatureDrop = 1.6094;

// Daylight within one sub-interval.
struct SubIntervalDaylight {
  double day_fraction = 0;  // share of the sub-interval in daylight, 0..1
  bool night = true;        // night share above 0.95
  double sun_time = 0;      // hour 0..24 of the middle of the (longest) sunlit part
};

// The daylight of the sub-interval of `length` hours centred at hour `centre` for a day with
// `sunrise` and `sunset` (clock hours, any value: both are taken modulo 24). The sub-interval
// bounds may lie outside 0..24 (time shifts): daylight is the overlap of the sub-interval with
// the daylight periods of the days around it, so a sub-interval that ends exactly at sunset is
// all daylight and a shifted one is judged by the same clock. Polar day is all daylight, polar
// night all night.
SubIntervalDaylight SubIntervalDaylightShare(double sunrise, double sunset, SunState state,
                                             double centre, double length);

// Clear-sky radiation (Wh/m²) on a horizontal-to-beam surface during `length` hours of which
// `day_fraction` are sunlit, with the sun at `sun_elevation` (radians): 1367 d Δ 0.86^(0.9/cos z)
// above an elevation of 0.017 rad, else 0.
double ClearSkyRadiation(double day_fraction, double length, double sun_elevation);

// The share of the beam that a cell receives, relative to a surface normal to the beam:
// 0 in shadow or when the sun is behind the slope (cos i <= 0), cos z under an overcast sky,
// cos i otherwise, capped at 5 cos z.
double SlopeBeamShare(double cos_incidence, double cos_zenith, bool shaded, bool overcast);

// The corrected temperature of a cell with correction factor `factor`: t + ln(F) s w above a
// factor of 0.2, t - 1.6094 s w at or below it when the step had any radiation on a horizontal
// surface, t itself when it had none.
double CorrectedTemperature(double temperature, double factor, bool had_radiation, double scaling,
                            double weight);

// Terrain shading of a whole grid (rows 1..nrows, columns 1..ncols) for the sun at `azimuth`
// (radians clockwise from north) and `sun_elevation` (radians): rays start on the sunward edges
// and march away from the sun; a cell lower than the ray gets `shadow` 1, any other cell 0 and
// lifts the ray to its height. Cells whose elevation is `nodata` are passed over (the ray keeps
// falling over them) and keep their shadow value; cells no ray reaches keep theirs.
void ShadingScan(const double* const* elevation, int32_t nrows, int32_t ncols, double nodata,
                 double cellsize, double azimuth, double sun_elevation, double** shadow);
// The same scan writing only the shadow of rows first_row..last_row (the only rows `shadow`
// needs to hold), with the same values as the whole scan there: rays are marched from the
// sunward edges through the rows before them and stop once past them. `elevation` holds every
// row. The rays of one group run on the OpenMP threads.
void ShadingScanRows(const double* const* elevation, int32_t nrows, int32_t ncols, double nodata,
                     double cellsize, double azimuth, double sun_elevation, int32_t first_row,
                     int32_t last_row, double** shadow);

}  // namespace velorn

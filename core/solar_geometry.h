// Solar geometry of the sub-models: declination, equation of time, sun elevation and position,
// the cosine of the angle between two directions, sunrise and sunset, and the share of a time
// step that lies in daylight.
//
// Pure functions of their inputs (no MPI, no registry, thread-safe). The sub-model base
// (core/submodel.h) calls them with its coordinates, month lengths and step date; the radiation
// correction, evapotranspiration and snow models call the base's members or these directly.
//
// Conventions: angles in degrees where a name or comment says so, radians elsewhere, converted
// with kSolarPi = 3.141592653 (the model's own value, not a library constant, so results match
// those of earlier runs). Times of day are hours 0..24 of local clock time at the reference
// meridian. Day numbers come from the month lengths of the model year (February from the end
// year). A month outside 1..12 (runs without meteorological input carry -9999) never indexes a
// table: declination and equation of time are then 0.
//
// !!! SolarElevation returns the ELEVATION of the sun while it is above the horizon, but its
// !!! DEPTH BELOW the horizon AS A POSITIVE ANGLE at night. The result is never negative: a
// !!! caller that needs to know whether the sun is up must ask SolarPosition (negative elevation
// !!! below the horizon) or compare the hour with SunriseSunset, not test SolarElevation > 0.
//
//   const double delta = SolarDeclination(1, 1, month_lengths);   // -22.98 degrees
//   SunTimes sun = SunriseSunset(15, 6, 47.0, 8.5, 15.0, month_lengths);
//   double azimuth = 0, elevation = 0;
//   SolarPosition(15, 6, 47.0, 8.5, 12.0, 15.0, month_lengths, azimuth, elevation);
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace velorn {

// Lengths of January..December of the model year.
using MonthLengths = std::array<int32_t, 12>;

// The model's value of pi and of degrees per radian (the first two solar constants).
inline constexpr double kSolarPi = 3.141592653;
inline constexpr double kDegreesPerRadian = 57.29577952383886;
// Azimuth of the sun due south, and a full turn, in radians.
inline constexpr double kAzimuthSouth = 3.14159265359;
inline constexpr double kFullTurn = 6.28318530718;
// Equation of time in minutes at the first day of each month: [0] December of the year before,
// [1]..[12] January..December, [13] January of the next year.
inline constexpr std::array<double, 14> kEquationOfTimeMinutes = {
    11.3, -3.2, -13.6, -12.6, -4.2, 2.8, 2.5, -3.5, -6.3, -0.3, 10.0, 16.4, 11.3, -3.2};
// A step whose night fraction exceeds this counts as night.
inline constexpr double kNightFractionLimit = 0.95;

// Declination of the sun in degrees: -23.4 cos((n + 10) / 58.09155423) with n the day of year.
double SolarDeclination(int day, int month, const MonthLengths& month_lengths);

// Equation of time in hours, linear between the table values of the first of this month and of
// the next.
double EquationOfTime(int day, int month, const MonthLengths& month_lengths);

// Elevation of the sun in degrees at clock hour `hour` (see the warning above: at night, its
// depth below the horizon as a positive angle).
double SolarElevation(int day, int month, double latitude, double longitude, double hour,
                      double reference_meridian, const MonthLengths& month_lengths);

// Azimuth (from north, clockwise, radians) and elevation (radians, negative below the horizon)
// of the sun at clock hour `hour`. With the sun at the zenith the azimuth is kAzimuthSouth.
void SolarPosition(int day, int month, double latitude, double longitude, double hour,
                   double reference_meridian, const MonthLengths& month_lengths, double& azimuth,
                   double& elevation);

// Cosine of the angle between the directions (azimuth a1, zenith angle z1) and (a2, z2), all in
// radians: cos z1 cos z2 + sin z1 sin z2 cos(a2 - a1). A surface's normal and the sun give the
// cosine of the incidence angle.
double CosIncidenceAngle(double a1, double z1, double a2, double z2);
// The same cosine from the cosine and sine of z1 and z2, kept where one direction is fixed (a
// slope) or shared by many (the sun): the same value to the last bit.
inline double CosIncidenceFromTerms(double a1, double cos_z1, double sin_z1, double a2,
                                    double cos_z2, double sin_z2) {
  return cos_z1 * cos_z2 + sin_z1 * sin_z2 * std::cos(a2 - a1);
}

// Whether the sun rises and sets on a day, or stays up or down all day.
enum class SunState { kRisesAndSets, kPolarDay, kPolarNight };

// Sunrise and sunset in clock hours. Polar day and polar night both give sunrise 24 and sunset
// 0 without the clock shift (as stored by earlier runs); `state` tells them apart.
struct SunTimes {
  double sunrise = 0;
  double sunset = 0;
  SunState state = SunState::kRisesAndSets;
};
SunTimes SunriseSunset(int day, int month, double latitude, double longitude,
                       double reference_meridian, const MonthLengths& month_lengths);

// Dark and light parts of one time step.
struct DaylightShare {
  double dark_before_sunrise = 0;  // hours of the step before sunrise
  double dark_after_sunset = 0;    // hours of the step after sunset
  double night_fraction = 0;       // 0..1
  double daylight_fraction = 1;    // 0..1
  int32_t night_flag = 0;          // 1: the step counts as night
};

// The daylight share of the step that ends at clock hour `step_end` and lasts `step_hours`
// (24 for steps longer than a day), for a sunrise and sunset in 0..24 and the step's
// `interval_hours` (time interval / 60). Polar day is all daylight, polar night all night.
DaylightShare DaylightFraction(double sunrise, double sunset, SunState state, double step_end,
                               double step_hours, double interval_hours);

}  // namespace velorn

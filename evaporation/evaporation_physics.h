// The formulas of evapotranspiration, each a pure function of its inputs: saturation vapour
// pressure and its slope, the psychrometer constant, air pressure by altitude, latent heat, the
// aerodynamic and canopy resistances, the Penman-Monteith combination kernel, the Hamon,
// Wendling and Haude methods, clear-sky radiation, cloudiness and the sunshine polynomials.
//
// Called per cell and layer by the evapotranspiration model (evaporation/evapotranspiration.h)
// and by its tests, which check them against published tables and worked examples. No registry,
// no MPI, no allocation: safe in the OpenMP row loop.
//
// Units: temperatures in degC, vapour pressures and air pressure in hPa, energies as
// evaporation equivalents in mm per part of the step (energy / latent heat), resistances in s/m,
// wind in m/s, radiation in Wh/m2 per step. Constants are those of the model's physical
// constant table (kPhysicalConstants, in its order).
#pragma once

#include <array>
#include <cmath>

namespace velorn {

// The physical constant table of the evapotranspiration model, in the order the model keeps it.
inline constexpr std::array<double, 24> kPhysicalConstants = {
    1013,      // air pressure at sea level, hPa
    7991,      // barometric scale height at 0 degC, m
    29.33,     // increase of the scale height per K, m/K
    273.15,    // 0 degC in K
    0.48,      // long-wave emission: constant term
    0.065,     // long-wave emission: factor of sqrt(vapour pressure in hPa)
    694.67,    // latent heat at 0 degC, Wh/m2 per mm
    0.6589,    // decrease of the latent heat per K, Wh/m2 per mm and K
    0.9,       // share of daytime net radiation available for evaporation
    237.3,     // Magnus constant, degC
    25029,     // slope of the saturation curve: factor, hPa degC
    17.26,     // Magnus exponent factor
    2500.8,    // latent heat at 0 degC, J/g
    1.6158,    // psychrometer factor: specific heat / 0.622
    2.372,     // decrease of the latent heat per K, J/g K
    25,        // aerodynamic resistance numerator for roughness lengths above 2, s/m
    1,         // one
    0.54,      // wind factor of the aerodynamic resistance, s/m
    20,        // reference height of the aerodynamic resistance, m
    4.72,      // factor of the aerodynamic resistance
    0.0004,    // night-time stomatal conductance per unit leaf area, m/s
    0.6,       // base of the leaf-area reduction of canopy conductance
    0.216876,  // 0.622 * 100 / gas constant of dry air (vapour-deficit term)
    60};       // seconds per minute

inline constexpr double kStefanBoltzmann = 5.67e-08;  // W/m2 K4
inline constexpr double kSolarConstant = 1367.0;      // W/m2
inline constexpr double kSeaLevelPressure = 1013.0;   // hPa

// 6.1078 exp(17.269 T / (T + 237.3)), hPa.
inline double SaturationVaporPressure(double t) {
  return 6.1078 * std::exp(17.269 * t / (t + 237.3));
}

// Slope of the saturation vapour pressure curve, hPa/K.
inline double SaturationSlope(double t) {
  const double d = t + 237.3;
  return 25029.0 * std::exp(17.26 * t / d) / (d * d);
}

// Psychrometer constant at air pressure p (hPa), hPa/K.
inline double PsychrometricConstant(double p, double t) {
  return 1.6158 * p / (2500.8 - 2.372 * t);
}

// Air pressure at altitude z (m) and temperature t, hPa.
inline double AirPressure(double z, double t) {
  return kSeaLevelPressure * std::exp(-z / (7991.0 + 29.33 * t));
}

// Latent heat of vaporisation as Wh/m2 per mm of water.
inline double LatentHeat(double t) {
  return 694.67 - 0.6589 * t;
}

// Aerodynamic resistance of the top layer for roughness length z0 (m) and wind u (m/s).
inline double AerodynamicResistance(double z0, double u) {
  if (z0 <= 2.0) {
    const double l = std::log(20.0 / z0);
    return 4.72 * l * l / (1.0 + 0.54 * u);
  }
  return 25.0 / (1.0 + 0.54 * u);
}

// Canopy resistance from leaf area index, coverage and the land use's surface resistance: by day
// (or on open water) rsc / (1 - 0.6^(LAI vc)), at night the stomatal resistance
// 1 / (0.0004 LAI vc); a bare or uncovered cell 2500 when rsc > 0, else 0.
inline double CanopyResistance(double lai, double vc, double rsc, bool day) {
  if (lai > 0 && vc > 0) {
    if (rsc <= 0) return 0.0;
    return day ? rsc / (1.0 - std::pow(0.6, lai * vc)) : 1.0 / (0.0004 * lai * vc);
  }
  return rsc > 0 ? 2500.0 : 0.0;
}

// Vapour-deficit term of the combination equation in mm for a part of fraction f of a step of
// `minutes`: f minutes 60 * 0.216876 max(0, es - e) / (T + 273.15) / ra.
inline double VapourDeficitTerm(double f, double minutes, double es, double e, double t,
                                double ra) {
  const double deficit = es > e ? es - e : 0.0;
  return f * minutes * 60.0 * 0.216876 * deficit / (t + 273.15) / ra;
}

// The Penman-Monteith combination kernel (S A + V) / (S + 1 + rs / ra), with S = slope /
// psychrometer constant, A the available energy and V the vapour term, both in mm.
inline double CombinationEvaporation(double s, double energy, double vapour, double rs, double ra) {
  return (s * energy + vapour) / (s + 1.0 + rs / ra);
}

// Long-wave loss of a part of fraction f in Wh/m2: emission at T reduced by the vapour
// pressure e and by cloudiness through relative sunshine s (diffuse fraction cs0); the factor
// `longwave_factor` is the Stefan-Boltzmann constant times the step length in hours.
inline double LongwaveLoss(double f, double longwave_factor, double t, double e, double s,
                           double cs0) {
  const double tk = t + 273.15;
  const double tk2 = tk * tk;
  return f * longwave_factor * tk2 * tk2 * (0.48 - 0.065 * std::sqrt(e)) * (cs0 + (1.0 - cs0) * s);
}

// Hamon: 0.1651 f (2 daylight fraction) 216.7 es(T) / (T + 273.3) per day, scaled to the step.
inline double HamonEvaporation(double t, double correction, double daylight_fraction,
                               double minutes) {
  return 0.1651 * correction * 2.0 * daylight_fraction * 216.7 * SaturationVaporPressure(t) /
         (t + 273.3) * minutes / 1440.0;
}

// Wendling: (RGc 0.36 (1.1 - albedo) + 93 fk) (T + 22) / (150 (T + 123)) per day, scaled.
inline double WendlingEvaporation(double corrected_radiation, double albedo, double fk, double t,
                                  double minutes) {
  return (corrected_radiation * 0.36 * (1.1 - albedo) + 93.0 * fk) * (t + 22.0) /
         (150.0 * (t + 123.0)) * minutes / 1440.0;
}

// Saturation vapour pressure of the Haude method (Magnus over water, over ice below 0 degC).
inline double HaudeSaturation(double t) {
  return t >= 0 ? 6.11 * std::exp(17.62 * t / (243.12 + t))
                : 6.11 * std::exp(22.46 * t / (272.46 + t));
}

// Haude: min(7, es(T14) fh deficit) per day, scaled to the step; `deficit` is 1 - relative
// humidity at 14 h.
inline double HaudeEvaporation(double t14, double fh, double deficit, double minutes) {
  const double daily = HaudeSaturation(t14) * fh * deficit;
  return (daily < 7.0 ? daily : 7.0) * minutes / 1440.0;
}

// Cloudiness from relative global radiation r: min(1, 0.997 + 0.4473 r - 1.4059 r^2) for
// r <= 1, else 0.
inline double Cloudiness(double r) {
  if (r > 1.0) return 0.0;
  const double c = 0.997 + 0.4473 * r - 1.4059 * r * r;
  return c < 1.0 ? c : 1.0;
}

// c[0] + c[1] x + c[2] x^2 + c[3] x^3.
inline double Cubic(const std::array<double, 4>& c, double x) {
  return c[0] + x * (c[1] + x * (c[2] + x * c[3]));
}

// Atmospheric transmissivity of a day: mean + amplitude cos(2 pi (day + 30.5 (month - 1) + 10)
// / 365).
inline double DailyTransmissivity(double mean, double amplitude, int day, int month) {
  return mean +
         amplitude * std::cos(2.0 * 3.141592653589793 * (day + 30.5 * (month - 1) + 10.0) / 365.0);
}

// Clear-sky global radiation of a step in Wh/m2: the sum over sub-intervals 1..count of
// length * 1367 sin h_i * tau^((p / 1013) / sin h_i); sub-intervals with the sun at or below the
// horizon add nothing.
double ClearSkyRadiation(const double* sines, int count, double length, double transmissivity,
                         double pressure);

// Real roots of x*x + p*x + q: 2 (x1 < x2), 1 (x1 = x2 = -p/2) or 0 (both 0).
int SolveQuadraticRoots(double p, double q, double& x1, double& x2);

// Lower limit of relative global radiation below which the sunshine duration from
// C[0] + C[1] r + C[2] r^2 + C[3] r^3 is 0: the root of the linear or quadratic form or the
// extremum of the cubic in 0..1. Result: 0 found, 1 no linear term at all, 2 no root in 0..1.
int SunshineLowerLimit(const std::array<double, 4>& c, double& limit);

}  // namespace velorn

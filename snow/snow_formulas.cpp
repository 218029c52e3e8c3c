// The pure formulas of the snow time step (see snow/snow_formulas.h).
#include "snow/snow_formulas.h"

#include <algorithm>
#include <cmath>

#include "core/tracer_bookkeeping.h"

namespace velorn {

int DayOfYear(int day, int month, const std::array<int32_t, 12>& lengths) {
  int doy = day;
  for (int m = 1; m < month && m <= 12; ++m) doy += lengths[static_cast<std::size_t>(m - 1)];
  return doy;
}

double SeasonalFactor(double mean, double amplitude, int day_of_year) {
  return mean + amplitude * std::sin((day_of_year - 80) * 0.017214206);
}

double VapourPressureIce(double celsius) {
  return 6.1078 * std::exp(21.874 * celsius / (celsius + 265.5));
}

double MagnusOverIce(double celsius) {
  return 6.1071 * std::exp(22.4429 * celsius / (celsius + 272.44));
}

double MagnusOverWater(double celsius) {
  return 6.1078 * std::exp(17.08085 * celsius / (celsius + 234.175));
}

double AirPressure(double elevation) {
  return 1013.25 * std::pow(1.0 - 0.0065 * elevation / 288.15, 5.255);
}

double DewPoint(double vapour_pressure, double air_pressure) {
  const double e = vapour_pressure;
  const double p = air_pressure;
  const double q = 0.622 * e / (p - e);
  const double x = std::log(q * p / ((q + 0.622) * 6.112));
  return 272.62 * x / (22.46 - x);
}

double WetBulbTemperature(double celsius, double vapour_pressure, double elevation) {
  const double T = celsius;
  const double p = AirPressure(elevation);
  double Tw = (DewPoint(vapour_pressure, p) + 2.0 * T) / 3.0;
  double s = (T + Tw) / 2.0;
  for (int i = 0; i < 15; ++i) {
    const double ew = 6.1115 * std::exp(22.46 * Tw / (Tw + 272.62)) -
                      (T - Tw) * 0.00066 * p * (1.0 + 0.00115 * Tw);
    s = vapour_pressure < ew ? -s : std::fabs(s) / 2.0;
    Tw += s;
    if (std::fabs(s) <= 0.025) break;
  }
  return Tw;
}

double SnowShare(double celsius, double T0R, double transzone) {
  if (celsius <= T0R - transzone) return 1.0;
  if (celsius > T0R + transzone) return 0.0;
  return (T0R + transzone - celsius) / (2.0 * transzone);
}

double DegreeDayMelt(double C0, double celsius, double T0, double spd) {
  return celsius > T0 ? C0 * (celsius - T0) / spd : 0.0;
}

double WindIndexMelt(double C1, double C2, double wind, double celsius, double T0, double spd) {
  return celsius > T0 ? (C1 + C2 * wind) * (celsius - T0) / spd : 0.0;
}

double RainOnSnowMelt(double C1, double C2, double wind, double celsius, double vapour_pressure,
                      double precipitation, double spd) {
  const double v = C1 + C2 * wind;
  return (v * celsius + 0.6 * celsius) / spd + v * (vapour_pressure - 6.11) / (0.662 * spd) +
         0.006 * precipitation * celsius;
}

double RadiationIndexMelt(double celsius, double T0, double correction, double RMF, double spd) {
  const double factor = correction >= -1.0 ? (correction + 1.0) / 2.0 : 1.0;
  return (celsius - T0) * factor * RMF / spd;
}

double CloudCoefficient(double precipitation, double cloudiness) {
  if (precipitation != 0.0) return 0.24;
  if (cloudiness <= 0.2) return 0.08;
  if (cloudiness < 0.6) return 0.17;
  return 0.2;
}

double IncomingLongWave(double LWINcorr, double air_kelvin, double vapour_pressure, double k,
                        double cloudiness) {
  return LWINcorr * kStefanBoltzmann * std::pow(air_kelvin, 4) *
         (0.61 + 0.05 * std::sqrt(std::max(0.0, vapour_pressure))) *
         (1.0 + k * cloudiness * cloudiness);
}

double WindFunction(double wind) {
  return 0.18 + 0.098 * wind;
}

double LatentFlux(double wind_function, double vapour_pressure, double surface_vapour_pressure) {
  return wind_function * 32.82 * (vapour_pressure - surface_vapour_pressure);
}

double SnowAlbedo(double storage, double threshold, double age_days, double celsius,
                  double albedo_min, double albedo_max, double land_albedo) {
  if (storage <= threshold) return land_albedo;
  const double k = celsius <= 0.0 ? -0.12 : -0.05;
  return albedo_min + std::exp(k * age_days) * (albedo_max - albedo_min);
}

double ThawDepth(double alpha, double snow_free_days) {
  return snow_free_days > 0.0 ? alpha * std::sqrt(snow_free_days) : 0.0;
}

double LinearStorageStep(double content, double k, double inflow, double share) {
  if (!(share > 0.0)) return 0.0;
  const double keep = std::exp(-1.0 / k);
  return content * keep + (1.0 - keep) * inflow / share;
}

double PackSoluteAfterInput(double stored, bool evaporating, double pack, double input,
                            double incoming) {
  return evaporating ? MixConcentration(stored, incoming, pack, input) : stored + input * incoming;
}

double PackSoluteOutflow(double stored, double outflow, double pack, double max_conc) {
  if (outflow > 0 && !(pack > 0)) return std::max(stored, 0.0);
  const double volume = outflow + pack;
  const double share = volume > 0 ? stored * outflow / volume : 0.0;
  // An emptied pack gives all it holds: stored * outflow / outflow may round one unit above the
  // store, which would leave it below zero.
  return std::min({outflow * max_conc, share, std::max(stored, 0.0)});
}

}  // namespace velorn

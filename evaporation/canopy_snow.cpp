// Canopy snow step and canopy energy balance of one cell.
#include "evaporation/canopy_snow.h"

#include <algorithm>
#include <cmath>

namespace velorn {
namespace {

using namespace canopy;

constexpr double kCanopyStefanBoltzmann = 5.67e-8;
constexpr double kMeltingPoint = 273.16;
constexpr double kSecondsPerDay = 86400.0;
// Snowfall rate (mm/s) above which the canopy snow albedo is refreshed.
constexpr double kFreshSnowRate = 0.0001389;
// Maximum canopy snow load per unit of leaf area index (mm).
constexpr double kLoadPerLeafArea = 4.4;
// Share of the melt-unloaded snow that leaves as water.
constexpr double kLiquidShare = 0.30303030303030304;
constexpr double kSolidShare = 0.6969696969696969;
// Bracket and bounds of the canopy temperature bisection.
constexpr double kLowestCanopyTemperature = 240.0;
constexpr double kHighestCanopyTemperature = 350.0;
constexpr int kMaximumEvaluations = 300;

double Closure(double leaf_area, double offset) {
  return std::clamp(0.29 * std::log(leaf_area) + offset, 0.0, 1.0);
}

double Fourth(double x) {
  const double square = x * x;
  return square * square;
}

// Sublimation (mm, negative: deposition) of the load I1 in the sub-canopy air.
double Sublimation(const CanopySnowState& s, double load, double maximum_load, double sherwood,
                   double above_shortwave) {
  const double t = s[kAirTemperature];
  const double vapour_density =
      0.622 * 611.15 * std::exp(22.452 * (t - kMeltingPoint) / (t - 0.61)) / (287.0 * t);
  const double diffusivity = 2.06e-5 * std::pow(t / 273.0, 1.75);
  const double omega = (51067.355 / (8.313 * t) - 1.0) / (0.024 * t * sherwood);
  const double exposure = 0.01 * std::pow(load / maximum_load, -0.4);
  const double absorbed = (1.0 - s[kAlbedo]) * 7.853975e-7 * above_shortwave * omega;
  const double rate = ((s[kHumidity] / 100.0 - 1.0) * 0.00314159 - absorbed) /
                      (2.8355e6 * omega + 1.0 / (diffusivity * vapour_density * sherwood)) /
                      4.801396716666667e-7;
  return std::min(load, -load * exposure * rate * s[kTimeStep]);
}

void UpdateAlbedoAndAge(CanopySnowState& s) {
  const double dt = s[kTimeStep];
  if (s[kSnowfall] / dt > kFreshSnowRate) {
    s[kAlbedo] = s[kMinimumAlbedo] + s[kAlbedoIncrement];
    s[kAge] = 0.0;
  } else if (s[kAlbedo] > s[kMinimumAlbedo] && s[kAge] > 0.0) {
    const double rate = s[kAirTemperature] >= kMeltingPoint ? s[kWarmDecayRate] : s[kColdDecayRate];
    s[kAlbedo] = (s[kAlbedo] - s[kMinimumAlbedo]) * std::exp(-rate * dt / kSecondsPerDay) +
                 s[kMinimumAlbedo];
  }
  s[kAge] += dt / kSecondsPerDay;
}

}  // namespace

CanopySnowState::CanopySnowState() {
  field[kAirTemperature] = 273.16;
  field[kAirDensity] = 1.257;
  field[kAirPressure] = 101300.0;
  field[kHeatCapacity] = 1005.0;
  field[kMeanTemperature] = 273.16;
  field[kHumidity] = 90.0;
  field[kLongwave] = 316.0;
  field[kTimeStep] = 3600.0;
  field[kMinimumAlbedo] = 0.1;
  field[kAlbedoIncrement] = 0.7;
  field[kWarmDecayRate] = 0.3;
  field[kColdDecayRate] = 0.1;
  field[kLeafAreaIndex] = 4.0;
  field[21] = 1.0;
  field[kCanopyHeight] = 10.0;
  field[kTemperatureMeltFactor] = 0.025;
  field[kRadiationMeltFactor] = 0.005;
  field[kAlbedo] = 0.2;
  field[kCanopyAlbedo] = 0.1;
  field[kGroundAlbedo] = 0.75;
  field[kSnowSurfaceTemperature] = 273.16;
  field[kCanopyTemperature] = 273.16;
  field[kPreviousCanopyTemperature] = 273.15;
  field[kAboveTemperature] = 272.16;
  field[kRoughnessLength] = 2.0;
  field[kResidual] = -2000.0;
}

double CanopySaturationVaporPressure(double temperature) {
  const double t = temperature - 273.15;
  if (temperature >= 273.15) return 6.112 * std::exp(17.62 * t / (243.12 + t));
  return 6.112 * std::exp(22.46 * t / (272.62 + t));
}

double IncomingLongwave(double temperature, double humidity, double cloudiness,
                        double precipitation) {
  const double vapour_pressure = CanopySaturationVaporPressure(temperature) * humidity / 100.0;
  double k = 0.24;
  if (precipitation == 0.0) k = cloudiness <= 0.2 ? 0.08 : (cloudiness < 0.6 ? 0.17 : 0.2);
  return kCanopyStefanBoltzmann * Fourth(temperature) * (0.61 + 0.05 * std::sqrt(vapour_pressure)) *
         (1.0 + k * cloudiness * cloudiness);
}

void SplitRainSnow(double& snowfall, double& rainfall, double temperature, double threshold,
                   double half_width, double precipitation) {
  double fraction = 0.0;
  if (temperature <= threshold - half_width) {
    fraction = 1.0;
  } else if (temperature <= threshold + half_width) {
    fraction = (threshold + half_width - temperature) / (2.0 * half_width);
  }
  snowfall = fraction * precipitation;
  rainfall = (1.0 - fraction) * precipitation;
}

int CanopySnowStep(CanopySnowState& s) {
  const double t = s[kAirTemperature];
  const double humidity = s[kHumidity];
  const double above_shortwave = s[kShortwave];
  const double wind = s[kWind];
  const double leaf_area = s[kLeafAreaIndex];
  const double snowfall = s[kSnowfall];
  const double rainfall = s[kRainfall];

  UpdateAlbedoAndAge(s);
  s[kShortwave] = std::exp(-0.41 * leaf_area) * above_shortwave;
  const double closure = Closure(leaf_area, 0.55);
  s[kLongwave] =
      (1.0 - closure) * IncomingLongwave(t, humidity, s[kCloudiness], s[kPrecipitation]) +
      closure * kCanopyStefanBoltzmann * Fourth(t);

  s[kAboveWind] = wind;
  s[kWind] = wind * std::exp(-0.9 * leaf_area * (1.0 - 0.6));
  const double reynolds = std::clamp(s[kWind] * 0.001 / 1.3e-5, 0.7, 10.0);
  const double sherwood = 1.79 + 0.606 * std::sqrt(reynolds);

  s[kAboveHumidity] = humidity;
  s[kAboveTemperature] = t;
  s[kHumidity] = std::min(100.0, humidity * (1.0 + 0.1 * closure));
  s[kAirTemperature] = t - closure * (0.2 * (t - s[kMeanTemperature]) + s[kTemperatureOffset]);

  // Interception of snowfall. Without leaf area the canopy holds no new snow (the form would
  // divide by a zero maximum load).
  const double maximum_load = kLoadPerLeafArea * leaf_area;
  const double load_before = s[kLoadBefore];
  double load = load_before;
  if (maximum_load > 0.0)
    load += 0.7 * (maximum_load - load_before) * (1.0 - std::exp(-snowfall / maximum_load));
  const double intercepted = load - load_before;

  double sublimation = 0.0;
  if (load > 0.0) {
    sublimation = Sublimation(s, load, maximum_load, sherwood, above_shortwave);
    load -= sublimation;
    if (load < 0.0) {
      load = 0.0;
      sublimation = load_before + intercepted;
    }
  }
  s[kSublimation] = sublimation;

  double liquid = 0.0;
  double solid = 0.0;
  if (s[kAirTemperature] > kMeltingPoint) {
    // The radiation grid carries the net radiation when that is given, negative at night: a
    // negative melt would take snow back from the rain and the snow below into the load, so the
    // canopy unloads between nothing and all it holds.
    const double melt = (s[kTemperatureMeltFactor] / 3600.0 * (s[kAirTemperature] - kMeltingPoint) +
                         s[kRadiationMeltFactor] / 3600.0 * (1.0 - s[kAlbedo]) * s[kShortwave]) *
                        std::trunc(s[kTimeStep]);
    const double unload = std::clamp(3.3 * melt, 0.0, load);
    if (unload > 0.0) s[kHumidity] = 100.0;
    load -= unload;
    liquid = kLiquidShare * unload;
    solid = kSolidShare * unload;
  }

  s[kLiquidUnload] = liquid;
  s[kSolidUnload] = solid;
  s[kLoad] = load;
  s[kRainfall] = rainfall + liquid;
  s[kSnowfall] = solid + snowfall - intercepted;
  if (load == 0.0) {
    s[kAge] = 0.0;
    s[kAlbedo] = s[kMinimumAlbedo];
  }
  return 1;
}

double CanopyEnergyBalanceResidual(CanopySnowState& s) {
  const double canopy_temperature = s[kCanopyTemperature];
  const double air_temperature = s[kAboveTemperature];
  const double leaf_area = s[kLeafAreaIndex];
  const double height = s[kCanopyHeight];
  const double longwave_in =
      IncomingLongwave(air_temperature, s[kAboveHumidity], s[kCloudiness], s[kPrecipitation]);
  s[kLongwave] = longwave_in;
  const double tau = 1.0 - std::exp(-0.41 * leaf_area);
  const double canopy_albedo = s[kCanopyAlbedo];
  const double ground_albedo = s[kGroundAlbedo];
  const double shortwave =
      tau * (1.0 - canopy_albedo) * s[kBalanceRadiation] *
      (1.0 + ground_albedo * (1.0 - tau) / (1.0 - ground_albedo * canopy_albedo * tau));
  const double ground_temperature =
      s[kSnowSurfaceTemperature] > -9999.0 ? s[kSnowSurfaceTemperature] : s[kAirTemperature] - 0.5;
  const double longwave = tau * (kCanopyStefanBoltzmann * Fourth(ground_temperature) + longwave_in -
                                 1.134e-7 * Fourth(canopy_temperature));
  const double wind = s[kAboveWind] == 0.0 ? 0.01 : s[kAboveWind];
  const double log_term = std::log((15.0 - 0.67 * height) / (0.123 * height));
  const double sensible = s[kAirDensity] * s[kHeatCapacity] * 0.16 * wind / (log_term * log_term) *
                          (canopy_temperature - air_temperature);
  const double storage = (leaf_area * 0.001 * 900.0 * 2800.0 + height * 0.0015 * 900.0 * 2800.0) *
                         (canopy_temperature - s[kPreviousCanopyTemperature]) / s[kTimeStep];
  return shortwave + longwave - sensible - storage;
}

int CanopyTemperature(CanopySnowState& s) {
  auto residual_at = [&s](double temperature) {
    s[kCanopyTemperature] = temperature;
    return CanopyEnergyBalanceResidual(s);
  };
  const double low_residual = residual_at(kLowestCanopyTemperature);
  const double high_residual = residual_at(kHighestCanopyTemperature);
  double temperature = s[kAirTemperature];
  double result = kNoCanopyRoot;
  if (low_residual * high_residual >= 0.0) {
    residual_at(temperature);
  } else {
    double low = kLowestCanopyTemperature;
    double high = kHighestCanopyTemperature;
    for (int evaluations = 1; evaluations <= kMaximumEvaluations; ++evaluations) {
      temperature = 0.5 * (low + high);
      result = residual_at(temperature);
      if (std::fabs(result) < 1.0) break;
      if (result * low_residual < 0.0) {
        high = temperature;
      } else {
        low = temperature;
      }
      if (high - low <= 1e-8) break;
    }
  }
  s[kCanopyTemperature] = temperature;
  s[kResidual] = result;
  s[kTemperatureDifference] = temperature - s[kAboveTemperature];
  const double closure = Closure(s[kLeafAreaIndex], 0.35);
  s[kLongwave] = (1.0 - closure) * s[kLongwave] + closure * 5.5566e-8 * Fourth(temperature);
  return 1;
}

}  // namespace velorn

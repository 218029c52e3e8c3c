// Snow held in a forest canopy and the canopy energy balance, for one cell and one time step.
//
// The interception model fills one CanopySnowState per cell and step from its grids, splits the
// water input into rain and snow with SplitRainSnow, runs CanopySnowStep and, with the energy
// balance switched on and snow lying on the ground, CanopyTemperature; then it copies the
// results out of the record into its grids. The functions keep no state: whatever lasts from
// step to step (load, albedo, age, previous canopy temperature) lives in the caller's grids.
//
// The step follows the established canopy snow forms: interception of snowfall after Hedstrom
// and Pomeroy (1998), I1 = I0 + 0.7 (Imax - I0) (1 - exp(-S / Imax)) with Imax = 4.4 L;
// sublimation of intercepted snow as the loss of ice spheres of 500 um radius (Pomeroy et al.
// 1998) scaled by an exposure coefficient; unloading of melting snow with one third liquid; and
// radiation, wind and air below the canopy from the leaf area index. The canopy temperature is
// the root of the canopy energy balance (absorbed shortwave, net longwave, sensible heat, heat
// stored in needles and stems), found by bisection between 240 K and 350 K.
//
// All functions work on one record without allocation; the bisection is bounded to 300
// evaluations. Temperatures in kelvin unless said otherwise; amounts in mm per step.
#pragma once

#include <array>
#include <cstddef>

namespace velorn {

// Field indexes of CanopySnowState (58 doubles).
namespace canopy {
inline constexpr std::size_t kAirTemperature = 0;     // K; the sub-canopy value after the step
inline constexpr std::size_t kAirDensity = 1;         // kg/m3
inline constexpr std::size_t kAirPressure = 2;        // Pa, carried
inline constexpr std::size_t kHeatCapacity = 3;       // specific heat of air, J/(kg K)
inline constexpr std::size_t kMeanTemperature = 4;    // one-day mean air temperature, K
inline constexpr std::size_t kTemperatureOffset = 5;  // K
inline constexpr std::size_t kHumidity = 6;       // percent; the sub-canopy value after the step
inline constexpr std::size_t kPrecipitation = 7;  // mm
inline constexpr std::size_t kSnowfall = 8;       // mm; solid water below the canopy after
inline constexpr std::size_t kRainfall = 9;       // mm; liquid water below the canopy after
inline constexpr std::size_t kShortwave = 10;     // W/m2 above; below the canopy after
inline constexpr std::size_t kWind = 11;          // m/s above; below the canopy after
inline constexpr std::size_t kLongwave = 12;      // longwave below the canopy, W/m2
inline constexpr std::size_t kCloudiness = 13;    // 0..1
inline constexpr std::size_t kTimeStep = 14;      // s
inline constexpr std::size_t kElevation = 15;     // m, carried
inline constexpr std::size_t kMinimumAlbedo = 16;
inline constexpr std::size_t kAlbedoIncrement = 17;
inline constexpr std::size_t kWarmDecayRate = 18;          // per day, at or above 273.16 K
inline constexpr std::size_t kColdDecayRate = 19;          // per day, below 273.16 K
inline constexpr std::size_t kLeafAreaIndex = 20;          // effective leaf area index
inline constexpr std::size_t kCanopyHeight = 22;           // m
inline constexpr std::size_t kTemperatureMeltFactor = 23;  // mm per K and hour
inline constexpr std::size_t kRadiationMeltFactor = 24;    // mm per W/m2 and hour
inline constexpr std::size_t kAlbedo = 25;                 // canopy snow albedo
inline constexpr std::size_t kLoad = 26;                   // load after the step, mm
inline constexpr std::size_t kLoadBefore = 27;             // load before the step, mm
inline constexpr std::size_t kLiquidUnload = 28;           // mm
inline constexpr std::size_t kSolidUnload = 29;            // mm
inline constexpr std::size_t kSublimation = 30;            // mm; negative: deposition
inline constexpr std::size_t kAge = 31;                    // days
inline constexpr std::size_t kCanopyAlbedo = 32;  // albedo of the canopy for the energy balance
inline constexpr std::size_t kGroundAlbedo = 36;
inline constexpr std::size_t kSnowSurfaceTemperature = 37;  // K; -9999 or below: unknown
inline constexpr std::size_t kCanopyTemperature = 38;       // trial value and result, K
inline constexpr std::size_t kPreviousCanopyTemperature = 39;
inline constexpr std::size_t kBalanceRadiation = 41;  // global radiation, W/m2
inline constexpr std::size_t kAboveTemperature = 43;  // kept by the step, K
inline constexpr std::size_t kAboveHumidity = 44;     // kept by the step, percent
inline constexpr std::size_t kAboveWind = 45;         // kept by the step, m/s
inline constexpr std::size_t kCanopyResistance = 46;  // carried
inline constexpr std::size_t kInterceptionResistance = 47;
inline constexpr std::size_t kRoughnessLength = 48;
inline constexpr std::size_t kLayerStorage = 49;
inline constexpr std::size_t kStorageCapacity = 50;
inline constexpr std::size_t kResidual = 56;               // W/m2 at the solution; 666: no root
inline constexpr std::size_t kTemperatureDifference = 57;  // canopy minus air temperature, K
inline constexpr std::size_t kFieldCount = 58;
}  // namespace canopy

// Residual reported when the energy balance has no root between 240 K and 350 K.
inline constexpr double kNoCanopyRoot = 666.0;

// One cell's canopy snow record, created with the defaults of every field.
struct CanopySnowState {
  CanopySnowState();
  double& operator[](std::size_t i) { return field[i]; }
  double operator[](std::size_t i) const { return field[i]; }
  std::array<double, canopy::kFieldCount> field{};
};

// Saturation vapour pressure (hPa) over water at or above 273.15 K, over ice below (Magnus
// forms with the WMO coefficients).
double CanopySaturationVaporPressure(double temperature);
// Incoming longwave radiation (W/m2) of air at `temperature` (K) with relative humidity in
// percent, cloudiness 0..1 and the step's precipitation (any: the cloud factor of a wet step).
double IncomingLongwave(double temperature, double humidity, double cloudiness,
                        double precipitation);

// Snowfall and rainfall of `precipitation` at `temperature` (degrees Celsius): all snow at or
// below threshold - half_width, all rain above threshold + half_width, linear between.
void SplitRainSnow(double& snowfall, double& rainfall, double temperature, double threshold,
                   double half_width, double precipitation);
// One step of the canopy snow; returns 1.
int CanopySnowStep(CanopySnowState& state);
// Energy-balance residual (W/m2) at the trial canopy temperature of field 38; stores the
// incoming longwave radiation in field 12.
double CanopyEnergyBalanceResidual(CanopySnowState& state);
// Solves the canopy temperature (fields 38, 56, 57) and sets the longwave radiation below the
// canopy (field 12); returns 1.
int CanopyTemperature(CanopySnowState& state);

}  // namespace velorn

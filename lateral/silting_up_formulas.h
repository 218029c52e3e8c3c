// The cell formulas of the silting-up model (lateral/silting_up_model.h): rain energy, the
// geometric mean grain diameter, the age of the last soil tillage, the infiltration capacity of
// the crusting surface and the split of the water on the surface into infiltration and direct
// runoff of sealed soil.
//
// All are pure functions of their arguments (no registry, no MPI, no state), called per cell by
// the model's step and by its tests. Units: rain intensity in mm/h, time step T in minutes,
// water in mm per step, grain-size fractions 0..1, days for the tillage age.
//
// The capacity decays from I_0 (fresh surface) towards I_inf (sealed surface) with the rain
// energy delivered since the last rain pause (a Horton-type curve):
//   V = ((I_0 - I_inf) exp(-C_v EKIN) + I_inf) T / 60,
//   I_inf = B Dg^C (100 sand)^D,   I_0 = A,   C_v = E (100 sand)^F Dg^G TSBB^H.
// A soil without sand gives I_inf = inf (D < 0) and an undefined capacity; SplitSurfaceWater
// then leaves the cell without sealing runoff, so no NaN ever reaches the water input.
#pragma once

namespace velorn {

// The eight parameters A..H of the built-in formulas.
struct SiltingUpParameters {
  double A = 65.0;
  double B = 12.2;
  double C = 0.52;
  double D = -0.64;
  double E = 0.013;
  double F = -1.03;
  double G = 0.7;
  double H = -0.19;
};

// Grain-size fractions of a soil (sum 1).
struct GrainSizes {
  double sand = 0, silt = 0, clay = 0;
  double stones1 = 0, stones2 = 0, stones3 = 0, stones4 = 0;
};

// Rain intensity (mm/h) at or below which a step counts as dry.
inline constexpr double kDryIntensity = 0.05;
// Intensity (mm/h) above which the rain energy stays at its maximum of 28.33.
inline constexpr double kMaximumEnergyIntensity = 76.2;
// Tillage age given to a cell tilled on the current day (or a later one of its list).
inline constexpr double kFreshTillageAge = 0.3;
// Tillage days at or below this mark a land use without tillage.
inline constexpr int kNoTillageMark = -9997;

// Specific rain energy per mm of rain (metric Wischmeier-Smith): 11.89 + 8.73 log10 I for
// 0.05 < I < 76.2, 28.33 from 76.2, 0 when dry.
double RainEnergy(double intensity);

// Geometric mean diameter Dg (micrometres) of the grain-size distribution: 10 to the weighted
// mean of the log10 class means of clay, silt, sand and the four stone classes.
double GeometricMeanDiameter(const GrainSizes& grains);

// Days since the last tillage at day of year `day`, from the tillage days days[1..count] with
// days[0] = days[count] - 366 (the last tillage of the year before). 0 for a land use without
// tillage (days null or days[0] at or below kNoTillageMark); an age of 0 or below becomes 0.3.
double TillageAge(int day, int count, const int* days);
// Whether the tillage list describes a land use that is tilled at all.
bool HasTillage(int count, const int* days);

// I_inf = B Dg^C (100 sand)^D (mm/h).
double FinalInfiltrationRate(const SiltingUpParameters& p, double dg, double sand);
// C_v = E (100 sand)^F Dg^G TSBB^H, 0 when TSBB is 0 or below.
double SiltingDisposition(const SiltingUpParameters& p, double dg, double sand, double tsbb);
// V = ((I_0 - I_inf) exp(-C_v EKIN) + I_inf) T / 60 (mm per step).
double InfiltrationCapacity(double initial_rate, double final_rate, double disposition,
                            double kinetic_energy, double minutes);

// Rain energy of the step reaching bare soil: I e (1 - cover) T / 60.
double StepKineticEnergy(double intensity, double energy, double cover, double minutes);
// EKIN after the step: with TSBB above 0 the step's energy is added while the rain pause is
// shorter than the subbasin's minimum (the rain event goes on), else it starts a new event;
// without tillage it is 0.
double UpdateKineticEnergy(double previous, double step_energy, double tsbb, double rain_pause,
                           double minimum_rain_pause);

// The water of one cell after the silting-up step.
struct SurfaceWater {
  double water_input = 0;  // infiltrates (mm)
  double runoff = 0;       // QDSU, direct runoff of sealed soil (mm)
  double storage = 0;      // left on the surface (mm): always 0, its water moved on
};
// Splits the water input plus the surface storage into infiltration and QDSU. Only tilled soil
// seals: without tillage, or with a capacity that is not a number (a soil without sand), all
// water infiltrates. A negative capacity counts as 0. water_input + storage goes in whole.
SurfaceWater SplitSurfaceWater(double water_input, double storage, double capacity, bool tilled);

}  // namespace velorn

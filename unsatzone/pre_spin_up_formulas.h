// Formulas of the pre-spin-up of soil temperatures: degree days from daily means, the
// conductivity of a layer for the depth profile, the temperature at the top of permafrost
// (TTOP, Smith and Riseborough 2002) and the initial temperature profile of one cell that rises
// with depth by the geothermal heat flux (Fourier's law per layer).
//
// Called per cell by the unsaturated zone's pre-spin-up operations (accumulation per step, the
// profile at the end of the loop) and by the tests. Pure functions; no registry, no MPI.
#pragma once

#include "tables/soil_record.h"

namespace velorn {

// Geothermal heat flux without a lower-boundary flux grid, W/m².
inline constexpr double kDefaultGeothermalFlux = 0.06;
// Depth (m) over which the reference layer of TTOP is sought.
inline constexpr double kPermafrostReferenceDepth = 1.0;

// Adds a completed day's mean air temperature to the thawing (>= 0) or freezing degree days
// (both stay positive).
inline void AddDegreeDay(double daily_mean, double& thawing, double& freezing) {
  if (daily_mean >= 0) {
    thawing += daily_mean;
  } else {
    freezing -= daily_mean;
  }
}

// Conductivity of a layer of porosity theta_sat, water content theta and solids' conductivity
// lambda_s whose water has the conductivity lambda_x (water or ice): air in parallel with the
// geometric mean of solids and water.
double PreSpinUpConductivity(double theta_sat, double theta, double lambda_s, double lambda_x);

// TTOP = (lambda_t nt TDD - lambda_f nf FDD) / (lambda_f years 365).
inline double TopOfPermafrostTemperature(double lambda_t, double lambda_f, double nt, double nf,
                                         double thawing, double freezing, double years) {
  return (lambda_t * nt * thawing - lambda_f * nf * freezing) / (lambda_f * years * 365.0);
}

// The inputs of one cell's profile.
struct PreSpinUpCell {
  const double* theta = nullptr;     // water content of layers 1..N
  const double* geodetic = nullptr;  // geodetic heights of levels 0..N
  double meanAir = 0;                // mean air temperature of the pre-spin-up, °C
  double thawing = 0, freezing = 0;  // degree days
  double years = 1;
  double nFreezing = 1, nThawing = 1;
  double flux = kDefaultGeothermalFlux;  // W/m², upward
  double lamWater = 0.5562, lamIce = 2.33;
};

// Fills T[0..N] (T[0] only in permafrost) from the soil's layers and the cell's values;
// returns TTOP.
double PreSpinUpProfile(const SoilRecord& soil, const PreSpinUpCell& cell, double* T);

}  // namespace velorn

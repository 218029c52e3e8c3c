// Dynamic phenology: the daily step that moves the start of the vegetation period per cell.
//
// Land-use entries of methods 3 to 6 (DynamicPhenology_1 to _4) find each cell's start of the
// vegetation period from the temperature of the past days: forcing units accumulate after a
// dormancy (methods 3 and 4 with the sigmoid forcing rate of the sequential models, 5 and 6
// with degree days), methods 4 and 6 also count chilling during the dormancy and derive the
// cell's forcing threshold from it, method 5 reaches several fixpoints each by its own forcing
// threshold, and method 6 ends the period with leaf fall after five cold days.
//
// The formulas are pure functions; StepPhenology carries one cell and land-use layer forward by
// one day. defaultini::UpdateDynamicPhenology (setup/landuse_parameter_grids.cpp) calls it at
// the end of every day for every land-use cell and layer, with the state read from and written
// back to the phenology grids. The cold-day count is kept per layer, so several method-6 layers
// of one cell each count a cold day once.
#pragma once

#include "tables/landuse_record.h"

namespace velorn {

// Forcing units of a day at mean temperature t with base temperature tb (methods 3 and 4):
// 28.4 / (1 + exp(-0.185 (t - tb - 18.4))) above tb, else 0.
double ForcingRate(double t, double tb);
// Chilling units of a day (method 4): rising from offset1 to the optimum tc, falling to
// offset2, 0 outside.
double ChillingRate(double t, double offset1, double tc, double offset2);
// Moisture-stress factor s from the mean water content of the root zone and the entry's
// HReduDry: (theta - h) / (150 - h) at or above h, else 0.
double MoistureStress(double theta, double hredudry);
// A forcing increment under stress: r (1 + s factor) when the factor is above 0.
double StressedIncrement(double r, double stress, double factor);

// The weather of one cell and day.
struct PhenologyWeather {
  double temperature = 0;  // daily mean
  double movavg7 = 0;      // mean of the last seven daily means
  double stress = 0;       // MoistureStress, 0 without a root-zone water grid
};

// The state of one cell and land-use layer (values of the phenology grids).
struct PhenologyState {
  double forcing_sum = 0;    // "SumOfForcingUnits"
  double start_day = -1;     // "Pheno_start": -1 while not found
  double chilling_sum = 0;   // "SumOfChillingUnits"
  double threshold = 0;      // "FStar_ForcingThreshold"
  double leaf_fall_day = 0;  // "StartDayOfLeaveFall"
  double cold_days = 0;      // consecutive days with the seven-day mean below DP4_T_xylstop
  // The cell's fixpoint days p[0..n] ("MultipleStartTimes"); null when not held.
  double* fixpoint_days = nullptr;
};

// One day d (day of year) of an entry of method 3 to 6; other methods change nothing.
// `altitude` shifts the fixpoint days that a yearly reset restores.
void StepPhenology(const LanduseRecord& entry, int d, const PhenologyWeather& weather,
                   double altitude, PhenologyState& state);

}  // namespace velorn

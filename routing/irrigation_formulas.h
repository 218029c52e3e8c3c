// The formulas of the irrigation model, each a pure function of its inputs: the amount a cell
// asks for by its irrigation type (dated amounts, soil-moisture thresholds, the ratio of real to
// potential evapotranspiration), the limit of groundwater withdrawal, and the share of the
// surface-water demand of each subbasin that reservoirs and rivers can meet, with the debit of
// the river water along the routing targets.
//
// Callers: the irrigation model (one step on the gathered grids) and its tests. No registry, no
// MPI, no allocation beyond the result vectors.
// Units: amounts are mm per step over the cell or the subbasin; dt is the step in minutes
// (1440 make a day); the routing's offered river water is m³/s.
// Settled here: a subbasin's uncovered demand (its mean surface-water demand less the reservoir
// share) is taken once, from the river water of its own subbasin, and that volume is debited at
// its own subbasin and at every subbasin downstream along the routing targets; subbasins are
// served upstream first. Only surface-water cells are rescaled, by the share of their
// subbasin's demand that reservoirs and rivers meet, so that their sum equals the supply; a
// subbasin without surface-water cells has a demand of 0.
#pragma once

#include <cstdint>
#include <vector>

#include "setup/irrigation_tables.h"
#include "unsatzone/reinfiltration_record.h"

namespace velorn {

// Origins of irrigation water.
inline constexpr int32_t kIrrigationFromGroundwater = 1;
inline constexpr int32_t kIrrigationFromSurfaceWater = 2;

// What a cell knows in a step.
struct IrrigationCell {
  double soil_moisture = 0;  // "SB_1_grid"
  double low = 0;            // "SBLOW_grid"
  double high = 0;           // "SBHIGH_grid"
  double et_ratio = 0;       // "ETR2ETP"
  double root_depth = 0;     // m, "root_depth1"
  double kept = 0;           // the cell's amount of the previous step ("irrigation_amounts")
};

// Amount (mm per step) a cell of type `record` asks for on month/day:
//  1, 2: the first dated entry of the day, amount · dt / 1440, else 0;
//  3: soil moisture below LOW and no running amount: (HIGH − SB) · root depth · 1000 · dt / 1440
//     (a running amount stays); at or above LOW: sub-daily steps keep the running amount while
//     SB < HIGH, otherwise 0;
//  4: as 3 with "ratio of the type > ETR/ETP" as the start condition;
//  5 and above: the running amount.
double IrrigationDemand(const IrrigationRecord& record, const IrrigationCell& cell, int64_t month,
                        int64_t day, double dt);
// Groundwater withdrawal: at most the cell's "Max_Pumping".
double LimitToPumping(double amount, double max_pumping);

// Per subbasin index 1..n (element 0 unused).
struct SurfaceSupplyInput {
  std::vector<double> demand;      // mean surface-water demand (mm over the subbasin)
  std::vector<double> reservoirs;  // water the reservoirs can supply (mm)
  std::vector<double> rivers;      // water the rivers can spare (mm)
  std::vector<double> area;        // km²
  std::vector<int32_t> target;     // subbasin index drained into (0 none)
  double dt = 60;                  // minutes
};
struct SurfaceSupply {
  std::vector<double> reservoir_share;  // R: taken from the reservoirs (mm)
  std::vector<double> river_share;      // taken from the rivers (mm)
  std::vector<double> factor;           // (R + river share) / demand, 1 without demand
  std::vector<double> rivers_left;      // river water still available (mm)
  bool shortage = false;                // some demand not met in full
};
// Serves each subbasin's demand from its reservoirs, then from its own river water, upstream
// first, and debits the river volume at the subbasin and downstream. `records` (may be null;
// 1..n) get their offered discharge lowered by the same volume in m³/s, their water depth
// recomputed, and both set to 0 when the offer falls below 0.
SurfaceSupply ServeSurfaceDemand(const SurfaceSupplyInput& in, ReinfiltrationRecord* records);

// The surface-water demand the routing model keeps per subbasin 1..n: the mean demand of the
// irrigation model's table (value sum / count, 0 without count) less what the reservoirs supply,
// never below 0.
std::vector<double> UncoveredDemand(const std::vector<double>& sums,
                                    const std::vector<double>& counts,
                                    const std::vector<double>& reservoirs);
// Demand carried down the river network: for every tributary subbasin i of `list` (in order,
// entries above 0), c = its demand when it is a stretch outlet, else what its negative flow
// lacks (−flow · abfrel area / area, 0 for flows ≥ 0); c · area(i) / area(k) is added at every k
// along the targets downstream of i. A subbasin of area 0 contributes 0 and receives nothing.
std::vector<double> AccumulateDemand(const std::vector<int32_t>& list,
                                     const std::vector<int32_t>& target,
                                     const std::vector<char>& is_outlet,
                                     const std::vector<double>& demand, const double* flows,
                                     const std::vector<double>& abfrel_area,
                                     const std::vector<double>& area);

}  // namespace velorn

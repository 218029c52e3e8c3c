// Water that enters or leaves one soil column once per sub-step, and summaries of the column:
// infiltration with infiltration excess (Green-Ampt with the Mein-Larson time to ponding),
// macropore infiltration, root weights and the uptake stress factor of the root extraction, the
// water content averaged over a depth interval and the drainable pore volume.
//
// Called by the per-cell body of the soil-water sub-step (and the drainable pore volume by the
// model's pass over all cells). Pure functions of a soil entry and the cell's arrays: no
// allocation, no registry, no MPI. Arrays hold layers 1..N (index 0 unused) unless stated.
//
// Units: water amounts in mm; rates as the caller hands them in, consistently with
// `stepLength` (the sub-step in ms): a rate times stepLength is an amount in mm, as for the
// macropore threshold and capacity of the soil table (mm/h divided by 3.6e6).
#pragma once

#include "tables/soil_record.h"
#include "unsatzone/soil_column_workspace.h"

namespace velorn {

// Result of ComputeInfiltration.
struct InfiltrationResult {
  double infiltrated = 0;   // mm in the sub-step
  double excess = 0;        // infiltration excess, mm
  double wettingDepth = 0;  // depth of the wetting zone, m
};

// Splits the water input of a sub-step (`input`, mm) into infiltration and excess. `gwDepth`:
// depth of the groundwater table below the surface (m); `clayLayer`: the layer that reaches the
// clay depth (0: none); `theta`: water contents 1..N; `stepFactor`: the sub-step in ms (turns
// the saturated conductivity of layer 1, m/s, into mm per sub-step). `saturation`: the cell's
// saturation flag (1 while the surface is saturated), read and written.
InfiltrationResult ComputeInfiltration(const SoilRecord& soil, int layers, const double* theta,
                                       double gwDepth, int clayLayer, double input,
                                       double stepFactor, double& saturation);

// Takes water into the macropores of the layers above the soil's MacroDepth, deepest layer
// first, never above saturation. `input` (a rate) is lowered by what the macropores took;
// `inflow` (1..N) receives each layer's rate; returns the amount taken, mm.
double ComputeMacroporeInfiltration(const SoilRecord& soil, int layers, const double* thetaSat,
                                    const double* dz, double* theta, double* inflow, double& input,
                                    double stepLength);

// Average over the depth interval [top, bottom] (m below the surface): with mode 1 the sum of
// value x thickness inside it (a water depth for water contents; 0 for an empty interval), else
// the mean of value / theta_sat (the mean relative saturation; 1 for an empty interval). Bottom
// 9999 or below the column: to the column's bottom; bottom <= 0 or top < -0.0001: `nodata`.
double AverageOverDepth(const SoilRecord& soil, int layers, const double* values, int mode,
                        double top, double bottom, double nodata);

// Mean water content (m3/m3) of the root zone: the thickness-weighted mean of `theta` over the
// part of the column from the surface down to `roots` m (the whole column when the roots reach
// below it); layer 1's content when `roots` is not above 0. Never above the largest theta_sat
// of the layers it spans.
double RootZoneTheta(const SoilRecord& soil, int layers, const double* theta, double roots);

// The suction (m) of layer 1 at the mean relative saturation of the root zone (water contents
// `theta` 1..layers, the zone down to `root_depth` m; layer 1 alone for a depth of 0 or less):
// the root zone's dryness in the unit of the land use's HReduDry ("MeanThetaInRootZone").
double RootZoneSuction(const SoilRecord& soil, int layers, const double* theta, double root_depth,
                       double nodata);

// Root weights of layers 1..N (0 below the root zone), summing to 1: the part t_k of each layer
// inside the root depth Rd (made at least layer 1's thickness) with its centre depth z_k gives
// (t_k / Rd)(1 - z_k / Rd)(1 + a z_k / Rd). Returns the number of rooted layers.
int RootWeights(const double* dz, int layers, double rootDepth, double shape, double* weights);

// Water content below which the uptake of layer k is reduced: the content at the stress suction,
// or (2 c + theta_sat) / 3 when the reference content c of the layer is at least that. The
// reference content is the layer's water content at field capacity (3.45 m suction).
double StressThreshold(const SoilRecord& soil, int layer, double stressSuction,
                       double fieldCapacity);

// Uptake factor at water content theta: 0 at or below theta_res, rising linearly to 1 at the
// threshold, 1 up to wetFraction x theta_sat, then falling linearly to `wetFactor` at saturation.
double UptakeFactor(double theta, double thetaRes, double threshold, double thetaSat,
                    double wetFraction, double wetFactor);

// What the saturated zone gained in a sub-step when its table moved from layer `oldLayer` at
// elevation `zOld` to layer `newLayer` at `zNew` (m).
struct TableMove {
  bool coupled = false;  // the groundwater model computes the saturated zone
  int oldLayer = 0, newLayer = 0;
  double zOld = 0, zNew = 0;
  double dt = 0;        // s
  double factor = 0;    // sub-step in ms: a rate in m/s times it is mm
  double baseflow = 0;  // the cell's base flow rate, m/s
  bool riverOn = false;
  double riverIn = 0, riverOut = 0;  // the cell's river totals, m/s
};
// Recharge in mm: with the groundwater model coupled the flux into its layer; otherwise the
// water that filled or left the pores the table crossed, plus the base flow, the exchange with
// the groundwater (`gwExchange`, element 0 the cell total, rates) and the river terms. Reads
// theta0, theta, thetaSat, zBound, dz and q of the workspace.
double ComputeGroundwaterRecharge(const SoilColumnWorkspace& ws, const SoilRecord& soil,
                                  const TableMove& move, const double* gwExchange);

// Settings of the root extraction and soil evaporation of one cell in one sub-step.
struct RootUptakeSettings {
  double rootDepth = 0;          // m
  double shape = 0;              // root shape parameter a
  double stressSuction = 0;      // m: the uptake falls below the content at this suction
  double wetFraction = 1;        // share of theta_sat above which the uptake falls ...
  double wetFactor = 1;          // ... to this factor at saturation
  int layerLimit = 0;            // deepest layer that takes over uptake a drier layer cannot give
  double potentialRate = 0;      // potential transpiration, mm per ms
  double stepLength = 0;         // ms
  double evaporationDemand = 0;  // soil evaporation demand, mm
  double evaporationDepth = 0;   // m
  // Per layer 1..N the StressThreshold of the soil at stressSuction, kept by the caller for a
  // cell's vegetation layer (they stay the same) and filled here where NaN; null: computed here.
  double* thresholds = nullptr;
  // Per layer 1..N the RootWeights of rootDepth and shape, kept by the caller for a cell's
  // vegetation layer (they stay the same in every inner step) and filled here while element 0 is
  // NaN (then set to 0); null: computed here.
  double* rootWeights = nullptr;
};
// Distributes transpiration over the rooted layers (root weights reduced by the stress factors,
// the unmet part passed to the next layer down to the layer limit) into `uptake` (mm per layer,
// also added to `uptakeTotal`) and takes soil evaporation from the top layers down to the
// evaporation depth (at least layer 1): the demand is the unmet uptake plus the evaporation
// demand, each layer gives demand x (1 - ((theta_sat - theta) / theta_sat)^2), at most the water
// it holds above theta_res after its uptake. `evaporation[0]` receives the total. Returns the
// transpiration that no layer could give, mm.
double DistributeEvapotranspiration(const SoilRecord& soil, const double* fieldCapacity, int layers,
                                    const double* dz, const double* thetaSat,
                                    const double* thetaRes, const double* theta,
                                    const RootUptakeSettings& settings, double* weights,
                                    double* uptake, double* uptakeTotal, double* evaporation);

// Water (mm) that the layers gwLayer..N-1 can give up between saturation and field capacity.
double DrainablePoreVolume(const SoilRecord& soil, const double* fieldCapacity, int gwLayer,
                           int layers);

}  // namespace velorn

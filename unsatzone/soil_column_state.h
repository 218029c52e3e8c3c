// The initial state of one soil column and the per-layer constants of the soil table: pure
// functions of a SoilRecord and a few numbers (no registry, no MPI), called per cell by the
// set-up of the unsaturated zone (unsatzone/unsatzone_grids.cpp) and unit-tested on their own.
//
// A column has N layers k = 1..N from the top; every array here holds N + 1 values with index 0
// the soil surface, as the stacks "geodetic_heads", "theta" and "hydraulic_heads" do for one
// cell. Elevations and heads are in m above the datum of the elevation grid, suctions in m.
//
// Cold start: the water table lies at the bottom of layer g (the last unsaturated layer); the
// layers 1..g stand in hydrostatic equilibrium with it, so every unsaturated layer has the head
// of the reference (the centre of layer g + 1, or the profile bottom when g reaches N), and the
// layers below g are saturated. The groundwater scan then derives "groundwater_level",
// "Theta_in_GWLEVEL" and "groundwater_distance" from the water contents.
//
// SoilLayerConstants holds what the column solver reads in every iteration and would otherwise
// recompute or cache lazily from its threads: per soil type and layer the water content at field
// capacity (3.45 m suction) and the two powers of the thermal conductivity. It is filled once at
// set-up and only read afterwards, so any number of threads may share it.
#pragma once

#include <cstdint>
#include <vector>

#include "tables/soil_record.h"

namespace velorn {

// Suction of the water content at field capacity, m.
inline constexpr double kFieldCapacitySuction = 3.45;
// A layer counts as saturated above this share of its theta_sat.
inline constexpr double kSaturatedShare = 0.9995;
// A drain this close to the surface (m) or closer lies in no layer.
inline constexpr double kDrainageDepthTolerance = 0.01;

// Levels 0..N: level 0 the surface elevation, level k the elevation of the lower boundary of
// layer k (level k - 1 minus the thickness of layer k).
void GeodeticHeads(const SoilRecord& soil, int layers, double surface, double* geodetic);

// Index g of the last unsaturated layer of a cold start from `ini_gw_level` (> 0):
// floor((N - 1) / ini_gw_level) + 1.4999, truncated, at most N.
int ColdStartLastUnsaturatedLayer(int layers, double ini_gw_level);
// Index g from a groundwater distance (m, negative below the surface): the layers whose lower
// boundary lies less deep below the surface than -distance, at most N.
int LastUnsaturatedLayerAtDistance(const double* geodetic, int layers, double distance);

// Water contents 0..N of a column in hydrostatic equilibrium above layer g: level 0 theta_sat of
// layer 1; layers 1..g GetTheta at the height of their centre above the reference (the centre
// of layer g + 1, the profile bottom when g is N); layers g + 1..N theta_sat.
void HydrostaticTheta(const SoilRecord& soil, int layers, const double* geodetic, int g,
                      double* theta);

// Hydraulic heads 0..N: level 0 the surface, layer k its centre minus its suction at theta[k].
void HydraulicHeads(const SoilRecord& soil, int layers, const double* geodetic, const double* theta,
                    double* heads);

// Result of the groundwater scan of one column.
struct GroundwaterScan {
  int level = 0;                  // index of the upper layer of the saturated block (0: none)
  double theta_at_level = 0;      // water content of the layer above that block
  double distance = 0;            // bottom of the layer above the block minus the surface, m
  bool distance_changed = false;  // false: the caller's distance stays
};
// Scans layers N - 1 up to 1 for the saturated block that rises from the profile bottom (see
// the set-up header); `theta` and `geodetic` hold levels 0..N. Starts from theta_at_level =
// theta[1] and the distance of the profile bottom (level N minus level 0).
GroundwaterScan ScanGroundwater(const SoilRecord& soil, int layers, const double* geodetic,
                                const double* theta);

// Index of the first layer whose lower boundary lies at least drainage_depth - 0.01 m below the
// surface; 0 for a depth of 0.01 m or less, N when the drain lies below the profile.
int DrainageLayer(const double* geodetic, int layers, double drainage_depth);

// Soil water of layers 1..N in m (sum of theta times thickness).
double ColumnSoilWater(const SoilRecord& soil, int layers, const double* theta);

// First soil temperatures of a column (degrees C) from its geodetic heads H[0..N]: level 0 takes
// the lower-boundary temperature, layer k the mix f Tlb + (1 - f) Tair with f the depth of the
// layer's centre over the column depth (0 at the surface, 1 at the bottom).
void InitialSoilTemperatures(const double* heads, int layers, double lower, double air,
                             double* temperature);

// Lower boundary temperature of the heat transfer (degrees C) at a surface elevation.
inline double LowerBoundaryTemperature(double base, double lapse_rate, double elevation) {
  return base + lapse_rate * elevation;
}

// Water flux between two layers (m/s, positive upward) with conductivity k, heads h1 (upper)
// and h2 (lower) and thicknesses dz1 and dz2: (h1 - h2) k / (-(dz1 + dz2) / 2).
inline double LayerFlux(double k, double h1, double h2, double dz1, double dz2) {
  return (h1 - h2) * k / (-(dz1 + dz2) / 2.0);
}

// Per soil type 0..count and layer 0..N, contiguous by soil type ([type * (N + 1) + layer]).
struct SoilLayerConstants {
  int layers = 0;
  std::vector<double> field_capacity;  // theta at 3.45 m suction
  std::vector<double> solids_power;    // DryThermalConduct^(1 - theta_sat) (heat on only)
  std::vector<double> water_power;     // water conductivity^theta_sat (heat on only)

  std::size_t At(int type, int layer) const {
    return static_cast<std::size_t>(type) * static_cast<std::size_t>(layers + 1) +
           static_cast<std::size_t>(layer);
  }
};
// Fills the constants of soil records 1..count (record 0 holds none) for N layers; the powers
// only with `heat` (the dry conductivities are complete only then).
SoilLayerConstants ComputeSoilLayerConstants(const SoilRecord* table, int count, int layers,
                                             bool heat, double water_conductivity);

}  // namespace velorn

// Heat numerics of one soil column: thermal conductivity, the latent-heat term of freezing, the
// explicit scheme (conductive fluxes, temperature change, bounded application) and the implicit
// scheme (a tridiagonal system with conduction and, for methods from 12, the heat carried by
// moving water, solved by the Thomas algorithm).
//
// Called by the per-cell body of the soil-water sub-step (heat pre-pass and heat steps, see
// unsatzone/soil_heat_coupling.h) and by the benchmarks. Every function works on one cell's
// SoilHeatWorkspace beside its SoilColumnWorkspace (water contents, thicknesses, liquid
// fractions and water fluxes come from there); none allocates, none touches the registry or MPI.
//
// Indexing as in the water numerics: layers i0 + 1 .. N, snow layers at 1-M..0; boundary arrays
// (heat fluxes) are indexed by the layer above the boundary, heatFlux[i0] the upper boundary.
// Units: °C, W/(m K), J/(m³ K), W/m², water fluxes m/s positive upward, m.
//
// Usage, one heat step of the implicit scheme:
//   ComputeThermalConductivity(ws, hs, i0, parameters);
//   ComputeLatentHeatTerm(ws, hs, i0, parameters);         // then the heat capacities
//   SolveHeatEquation(ws, hs, i0, parameters.method, dt, boundary);
#pragma once

#include <cstddef>
#include <vector>

#include "unsatzone/soil_column_state.h"
#include "unsatzone/soil_column_workspace.h"

namespace velorn {

// Volumetric heat capacity of water, J/(m³ K), and thermal conductivity of air, W/(m K).
inline constexpr double kWaterHeatCapacity = 4.187e6;
inline constexpr double kAirConductivity = 0.0262;
// Value of the entries above the uppermost existing layer.
inline constexpr double kNoLayer = -9999.0;

// The heat arrays of one column, indexed -M..N like SoilColumnWorkspace (one per thread).
struct SoilHeatWorkspace : ColumnArrays {
  enum Array {
    kTemper,         // temperature at the start of the heat step
    kTemperNew,      // temperature being computed
    kLambda,         // thermal conductivity
    kHeatCap,        // volumetric heat capacity
    kDLiquid,        // slope of the liquid fraction by temperature
    kDEOverdT,       // latent-heat term (apparent heat capacity of freezing)
    kHeatFlux,       // conductive flux through the lower boundary, positive upward
    kTemperChange,   // explicit temperature change
    kLower,          // sub-diagonal of the implicit system
    kMain,           // diagonal
    kUpper,          // super-diagonal
    kRhs,            // right-hand side
    kWaterExchange,  // water entering the layer from outside the column (m/s)
    kLambdaSolid,    // conductivity of the solids
    kPowerSolid,     // lambda_s^(1 - porosity)
    kPowerWater,     // lambda_water^porosity
    kArrayCount
  };
  void Resize(int snow_layers, int soil_layers) {
    static_assert(kArrayCount <= kMaxArrays);
    ResizeArrays(snow_layers, soil_layers, kArrayCount);
  }
  void Clear() { ClearArrays(); }
  double* operator[](Array a) { return ArrayAt(a); }
  const double* operator[](Array a) const { return ArrayAt(a); }
};

// The [heat_transfer] values the numerics read.
struct HeatParameters {
  int method = 11;           // up to 10 explicit, 11 implicit, from 12 with water-borne heat
  double lamWater = 0.5562;  // W/(m K)
  double lamIce = 2.33;
  double latentHeat = 334000;  // J/kg
  double rhoWater = 1000;      // kg/m³
  double cWater = 4187;        // J/(kg K)
  double cIce0 = 2090;         // ice at 0 °C
  double cIce20 = 1940;        // ice at -20 °C
};

// Copies the solids' conductivity of entry layers 1..n and their conductivity powers (computed
// once at set-up, entry `type` of `constants`) into column indices offset + 1 .. offset + n
// (offset 0 for the soil, -M for the snow).
void LoadHeatLayers(SoilHeatWorkspace& hs, const SoilRecord& entry,
                    const SoilLayerConstants& constants, int type, int offset);

// Conductivity of layers i0 + 1 .. N from porosity (theta_sat), water content and liquid
// fraction (kLiquid of ws); entries 1-M..i0 become kNoLayer.
void ComputeThermalConductivity(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0,
                                const HeatParameters& p);
// kDEOverdT = kDLiquid x (theta - theta_res) x latent heat x rho_water, 0 where theta <= theta_res.
void ComputeLatentHeatTerm(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0,
                           const HeatParameters& p);

// Explicit scheme. The upper boundary temperature is t_surf when above -9999, else
// t_air x n_factor; t_low is the lower boundary temperature.
void ComputeHeatFluxes(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0, double t_low,
                       double t_air, double n_factor, double t_surf);
void ComputeTemperatureChange(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0,
                              long dt_seconds);
// kTemperNew += kTemperChange from N up to i0 + 1; with `bounded` no layer passes the neighbour
// temperature that the directions of its two fluxes allow (t_upper: upper boundary when t_surf
// is -9999).
void ApplyTemperatureChange(SoilHeatWorkspace& hs, int i0, bool bounded, double t_low,
                            double t_upper, double t_surf);

// Boundary values of the implicit scheme.
struct HeatBoundary {
  double surface = 0;  // n-factor x upper boundary temperature
  double lower = 0;    // lower boundary temperature
  double water = 0;    // temperature of the water entering from outside the column
};
// Lower boundary temperature: the grid's temperature, or with a heat-flux boundary (G W/m²,
// positive into the column) the temperature that drives G through the bottom half-layer.
inline double LowerBoundaryValue(bool flux_boundary, double grid_temperature, double flux,
                                 double t_bottom, double dz_bottom, double lambda_bottom) {
  return flux_boundary ? t_bottom + flux * dz_bottom / (2.0 * lambda_bottom) : grid_temperature;
}

// One implicit heat step of dt seconds into kTemperNew (methods 11: conduction; from 12 with
// upwind heat transport by the water fluxes q of ws and by kWaterExchange).
void SolveHeatEquation(const SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, int i0, int method,
                       double dt, const HeatBoundary& boundary);

// Thomas algorithm for rows first..last (a[first] and c[last] are not read); overwrites b and d.
void SolveTridiagonal(int first, int last, const double* a, double* b, const double* c, double* d,
                      double* x);

}  // namespace velorn

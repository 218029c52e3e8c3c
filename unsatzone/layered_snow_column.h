// Restructuring of the layered snow pack that sits on a soil column: after the water and heat
// of a sub-step, every snow layer's water is split into ice and liquid, liquid beyond the
// holding capacity and the pore space leaves, layers with (almost) no ice are removed, layers
// are compacted to their maximum density and layers that became too thin merge with the layer
// above. Returns the liquid water that left the pack (mm), the caller's snow outflow.
//
// Called twice per inner water step of the soil-water sub-step with the layered snow model on
// (before and after the iteration), and by the tests. Pure function of one cell's snow arrays
// and the snow type's layer values; no registry, no MPI.
//
// Layout: snow layer j = 1..M counts from the top; `swes`, `swel`, `density` are numbered
// 1..M, the column arrays (thickness, water content, saturated content, liquid fraction,
// temperature) are indexed by column index j - M as in the soil column workspace. An absent
// layer holds kAbsentSnow in thickness, density, water content and temperature and 0 in `swes`
// and `swel`. Water is conserved: the sum of swes + swel over the layers plus the returned
// water equals the water (water content x 1000 x thickness) handed in.
#pragma once

#include <vector>

namespace velorn {

inline constexpr double kAbsentSnow = -9999.0;
// Ice (mm) at or below which a layer is removed.
inline constexpr double kMinimumLayerIce = 0.05;

// The snow type's values per layer 1..M and the model's constants.
struct SnowLayerParameters {
  std::vector<double> standardThickness;  // m
  std::vector<double> maxDensity;         // kg/m³
  std::vector<double> a, b, c;            // freezing curve: alpha, Par_n, Par_m
  double holdingCapacity = 0.1;           // liquid water per ice ([LayeredSnowModel])
  double factor = 1.22;                   // suction per °C of the freezing curve
  double cIce = 2090;                     // J/(kg K)
  double cWater = 4187;
};

// The cell's snow arrays (see the layout above).
struct SnowColumnArrays {
  double* swes = nullptr;       // 1..M
  double* swel = nullptr;       // 1..M
  double* density = nullptr;    // 1..M, relative to water
  double* thickness = nullptr;  // column index
  double* theta = nullptr;      // column index, total water per volume
  const double* thetaSat = nullptr;
  double* liquid = nullptr;  // liquid fraction
  double* temperature = nullptr;
};

// Temperature (°C) at which the freezing curve of a layer leaves the liquid fraction f.
double FreezingCurveTemperature(double f, double a, double b, double c, double factor);

double RestructureSnowLayers(const SnowColumnArrays& s, int M, const SnowLayerParameters& p);

}  // namespace velorn

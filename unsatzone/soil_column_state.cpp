// Initial state of one soil column and the per-layer constants of the soil table.
#include "unsatzone/soil_column_state.h"

#include <algorithm>
#include <cmath>

namespace velorn {

void GeodeticHeads(const SoilRecord& soil, int layers, double surface, double* geodetic) {
  geodetic[0] = surface;
  for (int k = 1; k <= layers; ++k) geodetic[k] = geodetic[k - 1] - soil.thickness[k];
}

int ColdStartLastUnsaturatedLayer(int layers, double ini_gw_level) {
  const double g = std::floor((layers - 1) / ini_gw_level) + 1.4999;
  if (!(g < layers)) return layers;  // also a huge quotient, which no int holds
  return std::max(0, static_cast<int>(std::trunc(g)));
}

int LastUnsaturatedLayerAtDistance(const double* geodetic, int layers, double distance) {
  int g = 0;
  for (int k = 1; k <= layers; ++k)
    if (geodetic[0] - geodetic[k] < -distance) ++g;
  return g;
}

void HydrostaticTheta(const SoilRecord& soil, int layers, const double* geodetic, int g,
                      double* theta) {
  theta[0] = soil.theta_sat[1];
  // The water table: the centre of the first saturated layer, or the profile bottom.
  const double reference = g < layers ? 0.5 * (geodetic[g] + geodetic[g + 1]) : geodetic[layers];
  for (int k = 1; k <= layers; ++k) {
    if (k <= g) {
      const double centre = 0.5 * (geodetic[k - 1] + geodetic[k]);
      theta[k] = soil.GetTheta(k, centre - reference);
    } else {
      theta[k] = soil.theta_sat[k];
    }
  }
}

void HydraulicHeads(const SoilRecord& soil, int layers, const double* geodetic, const double* theta,
                    double* heads) {
  heads[0] = geodetic[0];
  for (int k = 1; k <= layers; ++k)
    heads[k] = 0.5 * (geodetic[k - 1] + geodetic[k]) - soil.GetSuction(k, theta[k]);
}

GroundwaterScan ScanGroundwater(const SoilRecord& soil, int layers, const double* geodetic,
                                const double* theta) {
  enum class State { kSearching, kInBlock, kEnded };
  GroundwaterScan scan;
  scan.theta_at_level = theta[1];
  scan.distance = geodetic[layers] - geodetic[0];
  State state = State::kSearching;
  for (int k = layers - 1; k >= 1; --k) {
    const bool saturated = theta[k] > kSaturatedShare * soil.theta_sat[k];
    if (saturated && state != State::kEnded) {
      scan.level = k;
      scan.theta_at_level = theta[k - 1];
      scan.distance = geodetic[k - 1] - geodetic[0];
      scan.distance_changed = true;
      state = State::kInBlock;
    } else if (!saturated && state == State::kInBlock) {
      state = State::kEnded;
    } else if (soil.theta_sat[k] != theta[layers]) {
      state = State::kEnded;
    }
  }
  return scan;
}

int DrainageLayer(const double* geodetic, int layers, double drainage_depth) {
  if (drainage_depth <= kDrainageDepthTolerance) return 0;
  for (int k = 1; k <= layers; ++k)
    if (geodetic[0] - geodetic[k] >= drainage_depth - kDrainageDepthTolerance) return k;
  return layers;
}

double ColumnSoilWater(const SoilRecord& soil, int layers, const double* theta) {
  double water = 0;
  for (int k = 1; k <= layers; ++k) water += theta[k] * soil.thickness[k];
  return water;
}

SoilLayerConstants ComputeSoilLayerConstants(const SoilRecord* table, int count, int layers,
                                             bool heat, double water_conductivity) {
  SoilLayerConstants constants;
  constants.layers = layers;
  const std::size_t size = static_cast<std::size_t>(count + 1) * (layers + 1);
  constants.field_capacity.assign(size, 0.0);
  constants.solids_power.assign(size, 0.0);
  constants.water_power.assign(size, 0.0);
  for (int s = 1; s <= count; ++s) {
    const SoilRecord& soil = table[s];
    for (int k = 1; k <= std::min(layers, soil.layers); ++k) {
      const std::size_t at = constants.At(s, k);
      constants.field_capacity[at] = soil.GetTheta(k, kFieldCapacitySuction);
      if (!heat) continue;
      const double porosity = soil.theta_sat[k];
      constants.solids_power[at] = std::pow(soil.DryThermalConduct[k], 1.0 - porosity);
      constants.water_power[at] = std::pow(water_conductivity, porosity);
    }
  }
  return constants;
}

void InitialSoilTemperatures(const double* heads, int layers, double lower, double air,
                             double* temperature) {
  temperature[0] = lower;
  const double depth = heads[0] - heads[layers];
  for (int k = 1; k <= layers; ++k) {
    const double f = depth > 0 ? (heads[0] - (heads[k - 1] + heads[k]) * 0.5) / depth : 1.0;
    temperature[k] = f * lower + (1.0 - f) * air;
  }
}

}  // namespace velorn

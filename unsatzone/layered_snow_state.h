// LayeredSnowState: what the unsaturated zone keeps of its layered snow model — the values of
// [LayeredSnowModel], the snow types of [LayeredSnowProperties] (records 0..count like the soil
// table, record 0 holding the count and, after the grids exist, M), the nine snow stacks and the
// grid "upperIndexSnow" it registers, and the snow model's grids it links.
//
// Filled by unsatzone/layered_snow_setup.cpp when the model is constructed; read by the
// soil-water sub-step (snow layers 1-M..0 of each column) and handed to the snow model
// (LayeredSnowLimits). Layout of the stacks: levels 0..M per cell, level M on the soil surface
// and level 1 the top snow layer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "tables/soil_record.h"
#include "unsatzone/layered_snow_column.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/soil_column_workspace.h"

namespace velorn {

// "ERROR" entry and code of layered snow without heat transfer; snow-type entries in the old
// syntax or with unequal layer counts.
inline constexpr int kLayeredSnowWithoutHeatCode = 1041;
// Layered snow without the snow model, which feeds its layers (the application refuses it).
inline constexpr int kLayeredSnowWithoutSnowModelCode = 1044;
inline constexpr int kSnowTypeEntryCode = 30;

struct LayeredSnowState {
  // The stacks in the order of their outputs in [LayeredSnowModel]; the tenth output is the
  // grid "upperIndexSnow".
  enum Stack {
    kSolid,        // SnowWaterEquivalentSolid, mm
    kLiquid,       // SnowWaterEquivalentLiquid, mm
    kTemperature,  // Temperature_Stack_Snow, °C (heat transfer on)
    kTheta,        // theta_Snow
    kHeads,        // hydraulic_heads_Snow, m
    kGeodetic,     // geodetic_height_Snow, m
    kFlux,         // q_down_Snow, m/s
    kThickness,    // SnowLayerThickness, m
    kDensity,      // SnowDensity, relative to water
    kStackCount
  };
  static constexpr int kOutputCount = kStackCount + 1;
  struct Output {
    std::string name;
    int32_t code = 0;
  };

  int32_t method = 0;                        // stored, read by no operation
  std::array<double, 2> maxDensity{};        // dLayeredSnowMaxDensity, kg/m³ (kept, not used)
  double drainageDensity = 0;                // dDrainageDensitiySnow
  double holdingCapacity = 0.1;              // dWaterHoldingCapacity, liquid per ice
  double seSnow = 0;                         // dSEeffectiveness
  double seSoil = 0;                         // dSEeffectivenessSoil
  std::array<Output, kOutputCount> outputs;  // names and write codes
  std::vector<SoilRecord> types;             // 0..count
  int32_t M = 0;                             // snow layers
  bool temperaturePending = false;           // Temperature_Stack_Snow still to be set
  std::array<StackMatrix, kStackCount> stacks;
  std::array<int, kStackCount> stack_index{};
  GridMatrix upper_index;  // "upperIndexSnow"
  int upper_index_entry = 0;
  SoilLayerConstants constants;     // conductivity powers of the snow types
  SnowLayerParameters restructure;  // set before each sub-step's row loop
  // The snow model's grids (null when absent).
  double** surftemp = nullptr;
  double** surftemp_onGlacier = nullptr;
  double** energyBalance = nullptr;
  double** energyBalance_onGlacier = nullptr;
  double** rain_fraction = nullptr;
  double** snowstorage_solid = nullptr;
  double** snowstorage_liquid = nullptr;
  double** snow_storage_total = nullptr;
  double** melt_from_snowcover = nullptr;
  double** snowcover_outflow = nullptr;
};

// One thread's snow values numbered by layer 1..M (the column arrays hold the rest).
struct SnowLayerBuffers {
  std::vector<double> swes, swel, density;
  void Prepare(int M) {
    const auto n = static_cast<std::size_t>(M) + 1;
    swes.assign(n, 0.0);
    swel.assign(n, 0.0);
    density.assign(n, kAbsentSnow);
  }
};

// Column index of the boundary above the uppermost snow layer of the unbroken run of layers
// (with thickness) above the soil: 0 without snow.
int SnowTopIndex(const SoilColumnWorkspace& ws);

// The restructuring values of snow type 1: standard thickness = its layer "thickness", maximum
// density = its layer "DryDensity", freezing curve = alpha, Par_n, Par_m of the layer.
SnowLayerParameters RestructureParameters(const LayeredSnowState& s, double factor, double c_ice,
                                          double c_water);

}  // namespace velorn

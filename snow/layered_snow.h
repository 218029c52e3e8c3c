// The snow model's hand-over to the layered snow pack that the unsaturated zone keeps per cell:
// adding snow water equivalent (snowfall, refrozen water) to the layers and removing it
// (sublimation, melt), as a pure function over one cell's stacks. The snow time step calls it
// once the unsaturated zone's layered snow model is switched on (the stacks are the soil model's
// grids "SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid", "SnowLayerThickness",
// "SnowDensity", "Temperature_Stack_Snow" and "upperIndexSnow").
//
// Layout: levels 0..n, level 1 the top layer; level 0 of the solid stack holds the sum of the
// layers, level 0 of the liquid stack collects the water handed to the soil in the step. An
// empty layer has thickness, density and temperature -9999. Densities are relative to water
// (0..1): a layer of s mm water equivalent and thickness h m has density s / (1000 h).
//
// Limits: an empty layer's thickness of -9999 counts as 0 wherever it is used, so new snow on
// an empty layer gets a positive thickness and density.
#pragma once

#include <vector>

namespace velorn {

inline constexpr double kEmptyLayer = -9999.0;

// Fresh-snow density (kg/m³) and maximum thickness (m) of each layer, index 1..n (0 unused).
struct SnowLayerLimits {
  double fresh_density = 100;
  double maximum_thickness = 0.1;
};

// One cell's stacks (levels 0..n); `temperature` is null without heat transfer.
struct LayeredSnowCell {
  double* solid = nullptr;
  double* liquid = nullptr;
  double* thickness = nullptr;
  double* density = nullptr;
  double* temperature = nullptr;
  double top = 0;  // index of the top non-empty layer; n + 1 when the pack is empty
};

// Adds (amount >= 0) or removes (amount < 0) w * |amount| mm water equivalent. New snow has the
// temperature min(T + offset, 0) °C and fills the layers from min(n, top) upwards, each up to
// its maximum thickness at fresh-snow density, the top layer taking the rest; removal empties
// layers from the top, their liquid water going to level 0 of the liquid stack.
void UpdateLayeredSnowCell(LayeredSnowCell& cell, int n, const std::vector<SnowLayerLimits>& limits,
                           double w, double amount, double T, double fresh_offset);

// Sets the pack to `ice` mm of ice and `liquid` mm of liquid water (a snow survey): the ice is
// added or removed as above, the liquid water of the layers a removal empties is dropped rather
// than handed to the soil, and the liquid water is shared out over the layers that hold ice in
// proportion to their ice (a layer's thickness follows at its density). Without ice the pack
// holds no liquid water.
void SetLayeredSnowCell(LayeredSnowCell& cell, int n, const std::vector<SnowLayerLimits>& limits,
                        double ice, double liquid, double T, double fresh_offset);

// Takes up to `amount` mm from the pack, the same share of every layer's ice and liquid water
// (a layer's thickness shrinks by that share, its density and temperature stay), so that no
// layer empties before the whole pack does; returns what it took.
double TakeLayeredShareCell(LayeredSnowCell& cell, int n, double amount);

// Takes up to `amount` mm of liquid water from the layers, the top layer first (a layer's
// thickness follows at its density); returns what it took. The layers keep their ice.
double TakeLayeredLiquidCell(LayeredSnowCell& cell, int n, double amount);

}  // namespace velorn

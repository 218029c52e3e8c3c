// Lake cells of the soil zone: cells of the grid "lake_codes" start as ponded, saturated soil
// columns with the groundwater table at the surface.
//
// unsatzonmodellklasse::SetupLake (unsatzone/lake_cells.cpp) reads the switch and the
// initialisation method of [lake_model] once, at the end of the soil zone's construction, and
// prepares every lake cell of the own rows: method 1 changes only the cells' soil state, method
// 2 also flattens them (slope 0, no drainage, no irrigation) and lowers the elevation model by
// the deepest pond (mm / 1000). A warm start keeps the stored state of a lake cell whose pond is
// not deeper than the method's threshold. The lake itself (its water level and outflow) belongs
// to discharge routing; the soil zone only sees the lake cells through these grids.
//
// The two rules below are pure functions, so they can be tested without a model.
#pragma once

#include <cstdint>
#include <vector>

namespace velorn {

// Code of a missing pond parameter or a bad initialisation method of [lake_model].
inline constexpr int kLakeSetupCode = 215;

// Whether the state of a lake cell is reset: always in a cold start (storage mode 0); with a
// positive storage mode only when its pond holds more than 1.0 mm (method 1) or 0.3 mm
// (method 2); never with a negative storage mode.
bool ResetLakeCell(int32_t method, int32_t storage_mode, double ponding_mm);

// Relative distance from saturation within which a stored layer counts as saturated.
inline constexpr double kSaturatedRoundOff = 1e-12;

// Saturates layers 1..layers-1 of a column (theta_sat per layer 0..layers); the deepest layer
// keeps its water content. A `stored` column (a warm start's) keeps every layer that already
// holds its saturated content to round-off, so that the run continues bit for bit.
void SaturateLakeColumn(const std::vector<double>& theta_sat, int layers, double* theta,
                        bool stored = false);

}  // namespace velorn

// Lake cells of the soil zone: cells of the grid "lake_codes" start as ponded, saturated soil
// columns with the groundwater table at the surface.
//
// unsatzonmodellklasse::SetupLake (unsatzone/lake_cells.cpp) reads the switch and the
// initialisation method of [lake_model] once, at the end of the soil zone's construction, and
// prepares every lake cell of the own rows: method 1 changes only the cells' soil state, method
// 2 also flattens them (slope 0, no drainage), clears their irrigation amount and lowers the
// elevation model by the deepest pond (mm / 1000). A warm start that reads the soil columns back
// (storage modes 1 and 3) keeps every lake cell's stored state (its water and its running
// irrigation amount) and flattens every lake cell as the start that began the run did, so that
// it continues that run; a start from the groundwater distance (mode 2) rebuilds the columns,
// resets those whose pond is deeper than the method's threshold and flattens every one. The lake
// itself (its water level and outflow) belongs to discharge routing; the soil zone only sees the
// lake cells through these grids.
//
// The two rules below are pure functions, so they can be tested without a model.
#pragma once

#include <cstdint>
#include <vector>

namespace velorn {

// Code of a missing pond parameter or a bad initialisation method of [lake_model].
inline constexpr int kLakeSetupCode = 215;

// What the set-up does to one lake cell: `saturate` its column (groundwater table at the
// surface), `flatten` it (method 2: slope 0, no drainage), `clear_irrigation` (method 2: the
// irrigation amount to 0).
struct LakeCellSetup {
  bool saturate = false;
  bool flatten = false;
  bool clear_irrigation = false;
};

// The set-up of a lake cell. A cold start (storage mode 0) saturates every lake cell. Storage
// modes 1 and 3 read the columns' water state and the irrigation amounts back and keep them.
// Another positive mode (2, the columns rebuilt from the groundwater distance) saturates a cell
// whose pond holds more than 1.0 mm (method 1) or 0.3 mm (method 2). Method 2 clears the
// irrigation amount of the saturated cells and flattens every lake cell on every start, so that
// a warm start flattens the cells the start that began the run flattened, whichever start that
// was (flattening only the ponded ones would give a dried lake cell its slope and drainage back
// in the middle of the run, or a warm start after a start from the table depth cells that run
// never flattened). A negative storage mode changes no cell.
LakeCellSetup LakeCellRule(int32_t method, int32_t storage_mode, double ponding_mm);

// Saturates layers 1..layers-1 of a column (theta_sat per layer 0..layers); the deepest layer
// keeps its water content.
void SaturateLakeColumn(const std::vector<double>& theta_sat, int layers, double* theta);

}  // namespace velorn

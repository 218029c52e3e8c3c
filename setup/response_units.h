// Hydrologic response units (HRUs) for spin-up: cells that fall into the same classes of a list
// of grids, or that share one value of a given HRU grid, form one unit; the first cell of a
// unit in scan order is its master cell.
//
// defaultini::CreateHydrologicResponseUnits (setup/spin_up.cpp) reads [SpinUp] and builds the
// units on process 0 over the whole domain with the functions below, so that unit ids are
// numbered once for the whole grid, in scan order, whatever the number of processes; the table
// is then broadcast and the two grids scattered. The application hands the table to every
// sub-model. Element 0 of a table is a placeholder, so that an id is its record's index.
//
// Grids are 1-based, rows 1..nrows held; nothing here throws or talks to MPI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/zone_types.h"  // HruRecord

namespace velorn {

// Codes: the given HRU grid is missing; a class of a definition grid above kMaxHruClass.
inline constexpr int kMissingHruGridCode = 1030;
inline constexpr int kHruClassCode = 1031;
inline constexpr double kMaxHruClass = 9999;

// One grid of the unit definitions: a class of `class_width` per value, of the square root of
// its magnitude when the spacing word contains "sqrt".
struct HruDefinition {
  std::string identifier;
  double class_width = 1;
  std::string spacing;
  double** grid = nullptr;
};

// Class of a value under a definition, floor(v / class width) with v = √|value| for "sqrt".
double HruClass(double value, const HruDefinition& definition);

// Key part of a class: four digits and an apostrophe ("0012'").
std::string HruKeyPart(double hru_class);

// Where a class broke the limit (row 0: no failure).
struct HruClassFailure {
  int32_t row = 0;
  int32_t column = 0;
  double hru_class = 0;
  std::string identifier;
};

// What the unit builders fill: `table` (with its placeholder), and per cell the unit id in
// `units` and the id at master cells in `masters` (nodata elsewhere).
struct HruGrids {
  int32_t ncols = 0;
  int32_t nrows = 0;
  double nodata = -9999;
  double** zone = nullptr;
  const ColumnRange* ranges = nullptr;
  double** units = nullptr;
  double** masters = nullptr;
};

// Units from the class keys of `definitions` over the zone cells of every row's column range.
// A cell whose first definition grid holds nodata gets no unit (nodata); a later grid holding
// nodata ends the cell's key there. Stops at the first class above the limit and returns it.
HruClassFailure BuildUnitsFromDefinitions(const HruGrids& grids,
                                          const std::vector<HruDefinition>& definitions,
                                          std::vector<HruRecord>& table);

// Units from the values of a given grid (`units` holds them and receives the ids) over every
// row's column range: one unit per printed value ("%0.lf"), nodata cells included.
void BuildUnitsFromGrid(const HruGrids& grids, std::vector<HruRecord>& table);

// A table holding only the placeholder record.
std::vector<HruRecord> EmptyHruTable();

}  // namespace velorn

// Zone table record and per-row column range, shared by the set-up, the zone statistics and
// every sub-model.
//
// The zone (subbasin) table holds records 0..n of five doubles, addressed by index as the zone
// statistics and the MPI reduction of zone records do ([0]..[4]: area sum or step count, cell
// count or weighted sum, zone code, area share, second area sum or weight sum); the set-up
// builds it from the zone grid. ColumnRange holds, per grid row, the first and last column with
// a zone value; a row without one has (0, -1), so `for (c = first; c <= last; ++c)` is empty.
// Both are plain standard-layout types, so arrays of them can be handed to MPI as contiguous
// doubles or int32 pairs.
//
// HruRecord is one hydrologic response unit of the table the set-up builds and every sub-model
// reads (the units of setup/response_units.h).
//
// ModelGridGeometry is the model grid's header and this process's rows: the model-object base and
// the settings object's hand-out (ModelSettings) both derive from it, so the fields are declared
// once and copied as one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velorn {

struct ZoneRecord {
  double field[5] = {0, 0, 0, 0, 0};
  double& operator[](std::size_t i) { return field[i]; }
  const double& operator[](std::size_t i) const { return field[i]; }
};
static_assert(sizeof(ZoneRecord) == 5 * sizeof(double), "ZoneRecord must be five packed doubles");

struct ColumnRange {
  int32_t first = 0;
  int32_t last = -1;
};
static_assert(sizeof(ColumnRange) == 2 * sizeof(int32_t), "ColumnRange must be two packed int32");

// One region of the regression region grid: the truncated and the exact mean row and column of
// its cells, and its cell count (int32 at offsets 0 and 4, doubles at 8, 16 and 24).
struct RegionRecord {
  int32_t center_row = 0;
  int32_t center_col = 0;
  double mean_row = 0;
  double mean_col = 0;
  double cell_count = 0;
};
static_assert(sizeof(RegionRecord) == 32,
              "RegionRecord must be packed as two int32 and three doubles");

// Grid geometry and this process's rows (1-based, inclusive).
struct ModelGridGeometry {
  int32_t ncols = 0;
  int32_t nrows = 0;
  int32_t first_local_row = 0;
  int32_t last_local_row = 0;
  double xll = 0;
  double yll = 0;
  double cellsize = 0;
  double nodata = 0;
};

// A hydrologic response unit of the table that the set-up builds (setup/response_units.h) and
// every sub-model reads; element 0 of a table is a placeholder, so an id is its record's index.
struct HruRecord {
  uint64_t id = 0;  // 1, 2, ... in the order in which units are found; the index in the table
  std::string key;  // class key of the unit
  int32_t row = 0;  // master cell
  int32_t column = 0;
  uint8_t flag = 0;
};

}  // namespace velorn

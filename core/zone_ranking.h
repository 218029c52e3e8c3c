// Ranking of a zone grid into a zone table: the records of the zones sorted by code, the
// code-to-position index, the zone count and the highest code.
//
// RankZoneCells is the pure ranking of a whole grid (no MPI, no registry), used by
// teilmodellklasse::RankSoilModelZones (core/submodel.h) on process 0 for the soil model's zone
// grid "zonegrid_soilmodel"; the member then hands the result to every process. The snow and
// unsaturated-zone models call the member from their constructors.
//
// A cell that does not hold the nodata value belongs to zone floor(value + 0.5); codes run from
// 0 to 32767. Records 1..count hold (weight sum, cell count, code, area share, weight sum) with
// the weight of a cell its "RelCellArea" value, or 1 without that grid; the share is the zone's
// weight sum over the sum of all zones. Record 0 holds (0, 0, 1, total area in km², 0), the
// area being cellsize * cellsize * (sum of all weights) / 1e6. The index maps each code
// 0..highest to its record (0 for codes without cells).
//
// Failures (a "FATAL: " entry naming the grid file, then the code): a code outside 0..32767
// (3), more than 16000 distinct codes while ranking or more than 10000 zones in the result (4),
// no cell with data (7).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/zone_types.h"

namespace velorn {

inline constexpr int32_t kMaxZoneCode = 32767;
inline constexpr int32_t kMaxRankedZones = 16000;
inline constexpr int32_t kMaxSoilModelZones = 10000;
inline constexpr int kZoneCodeRangeCode = 3;
inline constexpr int kTooManyZonesCode = 4;
inline constexpr int kNoDataCellCode = 7;

// The zone table of a soil model's zone grid (the settings object's own is ZoneGridRanking).
struct ZoneCellRanking {
  std::vector<ZoneRecord> table;    // records 0..count
  std::vector<int32_t> code_index;  // codes 0..highest
  int32_t count = 0;
  int32_t highest = 0;
};

// Ranks the cells of rows 1..nrows of `grid` (every row held), columns of each row's column
// range; `weights` is the "RelCellArea" grid or null. `file_name` and `module_name` name the
// grid and its user in the messages.
ZoneCellRanking RankZoneCells(DiagnosticStream& diag, const double* const* grid,
                              const double* const* weights, const ColumnRange* column_ranges,
                              int32_t nrows, double nodata, double cellsize,
                              const std::string& file_name, const std::string& module_name);

}  // namespace velorn

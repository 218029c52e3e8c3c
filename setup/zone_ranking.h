// Zone and region ranking: the zone table, the code-to-index array and the column ranges built
// from the zone grid, and the region table of a region grid, as pure functions of whole grids.
//
// The settings object runs them on process 0 (defaultini::RankZones and RankRegions,
// zone_ranking.cpp) and broadcasts the result; tests call them directly. Zone codes are the
// integer parts of the zone values, 0..32767, at most 16000 zones; region codes 1..32767, at
// most 30 regions. A grid that breaks a limit gives the failure's code and the offending value
// instead of a table; nothing is thrown here. ReadGridFileHeader reads the geometry of a grid
// file's header the way the grid reader does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/zone_ranking.h"
#include "core/zone_types.h"
#include "grids/grid_formats.h"

namespace velorn {

inline constexpr int32_t kMaxZoneCount = 16000;
inline constexpr int32_t kMaxRegionCount = 30;
// Codes of the ranking failures (kTooManyZonesCode and kMaxZoneCode come with the soil model's
// ranking in core/zone_ranking.h).
inline constexpr int kInvalidZoneCode = 3;
inline constexpr int kNoZoneCellCode = 7;

struct ZoneGridRanking {
  int failure = 0;          // 0, kInvalidZoneCode, kTooManyZonesCode or kNoZoneCellCode
  double failed_value = 0;  // the zone value that broke a limit
  int32_t zone_count = 0;
  int32_t largest_code = 0;
  std::vector<ZoneRecord> records;  // 0..zone_count, 1..n by ascending code
  std::vector<int32_t> code_index;  // 0..largest_code: record index, 0 for absent codes
  std::vector<ColumnRange> ranges;  // 0..nrows
};

// Ranks the zones of a whole zone grid (rows 1..nrows, columns 1..ncols; cells equal to nodata
// are outside). `weight`, when given, holds the area weight of every zone cell; without it
// each cell weighs 1. Record 0 holds in field 3 the total area in km² (sum of the weights x
// cellsize² / 10^6).
ZoneGridRanking RankZoneGrid(double** zone, double** weight, int32_t ncols, int32_t nrows,
                             double nodata, double cellsize);

struct RegionRanking {
  int failure = 0;  // 0, kInvalidZoneCode or kTooManyZonesCode
  double failed_value = 0;
  int32_t region_count = 0;
  int32_t largest_code = 0;
  std::vector<RegionRecord> records;  // 0..region_count, 1..m by ascending code
  std::vector<int32_t> code_index;    // 0..largest_code
};

// Ranks the regions of `region` over the cells whose zone value is not nodata and gives each
// region the mean row and column of its cells.
RegionRanking RankRegionGrid(double** region, double** zone, int32_t ncols, int32_t nrows,
                             double nodata);

// Zone code of a value (its integer part), or -1 when the value is not finite or its integer
// part lies outside 0..32767.
int32_t ZoneCodeOf(double value);

// The six geometry values from the header of a grid file in the reader's forms (ASCII, binary
// single or double); `code` is 0, or the reader's code with the FATAL text in `problem` (21
// the file cannot be opened, 22 unknown form or bad header, 23 close failure).
struct GridFileHeader {
  GridHeader6 header{};
  int code = 0;
  std::string problem;
};
GridFileHeader ReadGridFileHeader(const std::string& name);

}  // namespace velorn

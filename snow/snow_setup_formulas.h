// The formulas of the snow model's set-up, each a pure function of its inputs (no registry, no
// MPI), so that the constructor (snow/snow_model.cpp, snow/glacier_setup.cpp) and the tests use
// the same arithmetic:
// - the deposition capacity of a cell for sliding snow, from its slope;
// - the elevation order in which the slide pass walks the cells (highest first, stable);
// - the glacierized and non-glacierized share that one cell adds to its subbasin;
// - the start content of a firn level;
// - the seasonal mean and amplitude of a coefficient given by its bounds;
// - the file name of the snow-on-ice melt table of the static glacier methods.
//
// Limits: the functions check nothing that their callers check already (bounds of the section);
// each says what it does with values outside the usual range.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velorn {

// Capacity of a cell to take sliding snow: (1 - slope / maximum slope) * factor for a slope
// below the maximum slope (never below 0), else 0. A slope that is the nodata value, and a
// maximum slope of 0 or less, give 0: such a cell takes no deposition.
double DepositionCapacity(double slope_degrees, double maximum_slope_degrees, double factor,
                          double nodata);

// Positions 0..n-1 of `elevations` ordered from the highest to the lowest elevation; equal
// elevations keep their order in the input (a stable sort).
std::vector<std::size_t> ElevationOrder(const std::vector<double>& elevations);

// What one cell with glacier value g adds to its subbasin's glacier shares: g above 1 counts as
// a whole glacier cell, g below 0 as none, g in (0, 1] as that fraction; `has_glacier` is set
// for every g above 0.
struct CellGlacierShare {
  double glacierized = 0;
  double non_glacierized = 0;
  bool has_glacier = false;
};
CellGlacierShare GlacierShareOfCell(double glacier_value);

// Start content of each firn level (mm water equivalent) of a glacierized cell:
// max(0, (elevation - firn base) * increase per level unit).
double FirnStartLevel(double elevation, double firn_base, double increase);

// Mean and amplitude of a coefficient that varies over the year between `minimum` and
// `maximum`: amplitude = (maximum - minimum) / 2, mean = minimum + amplitude.
struct SeasonalRange {
  double mean = 0;
  double amplitude = 0;
};
SeasonalRange SeasonalRangeOf(double minimum, double maximum);

// The name of the snow-on-ice melt table made from the total glacier melt table's name: the part
// before the last "." followed by "_qsgl_" and the part from that "." on ("qglac.txt" gives
// "qglac_qsgl_.txt"). Empty when the name holds no ".".
std::optional<std::string> SnowOnIceTableName(const std::string& total_table_name);
// The table of the glacier storages' water, named as the snow-on-ice table with "_stor_" (a name
// without "." gets it at its end: "qglac" gives "qglac_stor_").
std::string GlacierStorageTableName(const std::string& total_table_name);

}  // namespace velorn

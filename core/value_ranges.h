// Ranges that values read from files must lie in before they enter the physics or an integer
// cast, each named once.
//
// A double converted to an integer type outside that type's range is undefined behaviour (a
// glacier code of 1e308 becomes -2147483648, a row count of 1e308 asks for a vector the size of
// the address space). Readers test a value with FitsInteger before the cast:
//
//   if (!FitsInteger<int32_t>(value))
//     ThrowFatal(Diag(), 80, "FATAL: glacier code at row ", r, ": ", value);
//   const auto code = static_cast<int32_t>(value);
//
// Elevations are bounded by the Earth's surface, from the deepest ocean trench to the highest
// summit (rounded outward), so that a DEM cell of -1e6 m or a level of 1e308 m is refused where
// it is read instead of turning into NaN further on; CheckGridCells refuses a grid whose basin
// cells leave a range, naming the cell (the set-up of the models that read the grid calls it).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/zone_types.h"

namespace velorn {

// Surface elevations on Earth (m a.s.l.).
inline constexpr double kLowestElevation = -11000.0;
inline constexpr double kHighestElevation = 9000.0;
// The widest river channel on Earth, in flood (m).
inline constexpr double kWidestRiver = 100000.0;
// The largest discharge of a river (m3/s; the Amazon in flood carries about 4e5), also the bound
// of a discharge given as mm per step of a subbasin.
inline constexpr double kLargestDischarge = 1e6;
// The largest water equivalent of a snow pack (mm): 100 m of water, where the snowiest places on
// Earth receive a few metres a year.
inline constexpr double kLargestSnowWaterEquivalent = 1e5;
// The largest water equivalent of glacier ice (mm): the thickest ice on Earth, about 4.8 km in
// Antarctica, holds about 4.4e6 mm.
inline constexpr double kLargestIceWaterEquivalent = 5e6;
// The oldest a snow pack or a canopy's snow load can be (days since its last snowfall): a run
// of ten thousand years.
inline constexpr double kLongestSnowAge = 366.0 * 10000;
// The longest recession constant of a glacier melt storage, in model steps.
inline constexpr double kLongestGlacierRecession = 1e6;
// The largest vertical extent of anything on the Earth's surface (m): a depth, a head range.
inline constexpr double kLargestRelief = kHighestElevation - kLowestElevation;
// Hydraulic conductivity (m/s): from 0 (a sealed layer) to beyond the open conduits of karst
// (about 1 m/s), the fastest medium any basin holds.
inline constexpr double kHighestConductivity = 10.0;
// The longest time water may take from a cell to its subbasin's outlet (s): a leap year.
inline constexpr double kLongestFlowTime = 366.0 * 86400.0;
// The fastest flow of water over or in the ground (m/s).
inline constexpr double kFastestFlow = 100.0;
// A head of soil water (m): far beyond the suction of oven-dry soil (pF 7, 1e5 m).
inline constexpr double kLargestSoilHead = 1e6;
// A rate of water entering or leaving a surface (mm/h): ten times the most intense rain recorded.
inline constexpr double kHighestWaterRate = 20000.0;
// The largest volume of water a lake or reservoir can hold (m3): the Caspian Sea holds about
// 7.8e13.
inline constexpr double kLargestWaterVolume = 1e14;

// True when `value` is finite and converts to `Int` by truncation toward zero without overflow
// (NaN and the infinities never fit).
template <class Int>
constexpr bool FitsInteger(double value) {
  // 2^digits, the first value above the type's range, is exact in a double; truncation keeps
  // the values between one below the lowest and that bound (NaN compares false).
  double upper = 1.0;
  for (int bit = 0; bit < std::numeric_limits<Int>::digits; ++bit) upper *= 2.0;
  const double lower = std::numeric_limits<Int>::is_signed ? -upper - 1.0 : -1.0;
  return value > lower && value < upper;
}

// Refuses a control-file value outside [low, high] (NaN included) with code
// kControlFileErrorCode: "FATAL: error in control file, <description><module> is <value>, it
// must lie within <low> to <high>" (modelobject::RequireRange for readers without a model).
inline void RequireControlRange(DiagnosticStream& diag, double value, double low, double high,
                                const std::string& description, const std::string& module) {
  if (value >= low && value <= high) return;
  ThrowFatal(diag, kControlFileErrorCode, "FATAL: error in control file, ", description, module,
             " is ", FormatText("%g", value), ", it must lie within ", FormatText("%g", low),
             " to ", FormatText("%g", high));
}

// True when `value` is a finite elevation on the Earth's surface.
constexpr bool IsEarthElevation(double value) {
  return value >= kLowestElevation && value <= kHighestElevation;
}

// The first cell, row by row, of rows first..last (columns of each row's range) whose `zone`
// value is not `nodata` and whose `grid` value fails `inside` (a predicate on the value); found
// is false when there is none. Runs over the rows with the row-loop helper.
struct CellOutside {
  bool found = false;
  long row = 0, col = 0;
  double value = 0;
  int level = 0;  // of a stack
};
// As FirstCellOutside with a predicate of the cell too: inside(row, column, value), for a range
// that depends on the cell (its soil column, its elevation).
template <class Inside>
CellOutside FirstCellOutsideAt(double** grid, double** zone, const ColumnRange* ranges, long first,
                               long last, double nodata, Inside&& inside) {
  if (last < first) return {};
  std::vector<long> bad(static_cast<std::size_t>(last - first + 1), 0);
  ForEachRow(first, last, [&](long r) {
    for (long c = ranges[r].first; c <= ranges[r].last; ++c) {
      if (zone[r][c] == nodata || inside(r, c, grid[r][c])) continue;
      bad[static_cast<std::size_t>(r - first)] = c;
      return;
    }
  });
  for (long r = first; r <= last; ++r) {
    const long c = bad[static_cast<std::size_t>(r - first)];
    if (c != 0) return {true, r, c, grid[r][c]};
  }
  return {};
}

// FirstCellOutside itself: the predicate on the value alone.
template <class Inside>
CellOutside FirstCellOutside(double** grid, double** zone, const ColumnRange* ranges, long first,
                             long last, double nodata, Inside&& inside) {
  return FirstCellOutsideAt(grid, zone, ranges, first, last, nodata,
                            [&](long, long, double value) { return inside(value); });
}

// The same over levels 0..levels of a stack (levels of one cell contiguous): the first cell, row
// by row, with a level that fails `inside` (a predicate of row, column and value), and that level.
template <class Inside>
CellOutside FirstStackCellOutside(double*** stack, int levels, double** zone,
                                  const ColumnRange* ranges, long first, long last, double nodata,
                                  Inside&& inside) {
  if (last < first) return {};
  std::vector<long> bad(static_cast<std::size_t>(last - first + 1), 0);
  ForEachRow(first, last, [&](long r) {
    for (long c = ranges[r].first; c <= ranges[r].last; ++c) {
      if (zone[r][c] == nodata) continue;
      for (int k = 0; k <= levels; ++k) {
        if (inside(r, c, stack[r][c][k])) continue;
        bad[static_cast<std::size_t>(r - first)] = c;
        return;
      }
    }
  });
  for (long r = first; r <= last; ++r) {
    const long c = bad[static_cast<std::size_t>(r - first)];
    if (c == 0) continue;
    for (int k = 0; k <= levels; ++k)
      if (!inside(r, c, stack[r][c][k])) return {true, r, c, stack[r][c][k], k};
  }
  return {};
}

// Whether a basin cell of a grid or stack read from a file may hold nodata. The state a model
// writes over every basin cell never holds it in a cell the process computes: nodata there is a
// damaged file, and the physics would take -9999 as a water content or a head (Refused, with
// the region grid "MPIRegions" and the process's rank: a cell of a shared row that another
// process computes may be read as nodata). Where a grid's nodata means "none" in the basin (an
// aquifer's fixed inflow, the temperature of a snow pack where none lies), it passes (Allowed).
class BasinNodata {
 public:
  static BasinNodata Allowed() { return BasinNodata(false, nullptr, 0); }
  static BasinNodata Refused(double** owner, int rank) { return BasinNodata(true, owner, rank); }
  // True when the cell may hold nodata.
  bool Passes(long row, long col) const {
    return !refused_ || (owner_ != nullptr && owner_[row] != nullptr && owner_[row][col] != rank_);
  }

 private:
  BasinNodata(bool refused, double** owner, int rank)
      : refused_(refused), owner_(owner), rank_(rank) {}
  bool refused_;
  double** owner_;
  double rank_;
};

// Ends the run on a refused cell of a grid or stack: `where` names it ("grid g: the cell", "stack
// s: level 2 of the cell"); nodata is named as such, any other value with the range it left.
[[noreturn]] inline void ThrowCellRefused(DiagnosticStream& diag, const std::string& where,
                                          const CellOutside& cell, double nodata, double lowest,
                                          double highest, const char* unit) {
  if (cell.value == nodata)
    ThrowFatal(diag, kGridFormatCode, "FATAL: ", where, " at row ", cell.row, ", column ", cell.col,
               " holds ", cell.value, ", the nodata value, where the model writes a value");
  ThrowFatal(diag, kGridFormatCode, "FATAL: ", where, " at row ", cell.row, ", column ", cell.col,
             " holds ", cell.value, ", outside ", lowest, " to ", highest, " ", unit);
}

// Refuses a grid whose basin cells (as FirstCellOutside) hold a value outside [lowest, highest]
// (nodata among them unless `basin_nodata` allows it; 0 passes with `zero_unset`, for grids whose
// 0 means "no value yet"): the FATAL entry names the grid, the cell, the value and the range, and
// the code is kGridFormatCode.
inline void CheckGridCells(DiagnosticStream& diag, const std::string& name, double** grid,
                           double** zone, const ColumnRange* ranges, long first, long last,
                           double nodata, double lowest, double highest, const char* unit,
                           const BasinNodata& basin_nodata, bool zero_unset = false) {
  const CellOutside cell = FirstCellOutsideAt(
      grid, zone, ranges, first, last, nodata, [&](long r, long c, double value) {
        if (value == nodata) return basin_nodata.Passes(r, c);
        return (zero_unset && value == 0) || (value >= lowest && value <= highest);
      });
  if (cell.found)
    ThrowCellRefused(diag, "grid " + name + ": the cell", cell, nodata, lowest, highest, unit);
}

// Refuses a stack whose basin cells hold a level outside [lowest, highest] (nodata among them
// unless `basin_nodata` allows it), naming the stack, the cell, the level and the value (code
// kGridFormatCode).
inline void CheckStackCells(DiagnosticStream& diag, const std::string& name, double*** stack,
                            int levels, double** zone, const ColumnRange* ranges, long first,
                            long last, double nodata, double lowest, double highest,
                            const char* unit, const BasinNodata& basin_nodata) {
  const CellOutside cell = FirstStackCellOutside(stack, levels, zone, ranges, first, last, nodata,
                                                 [&](long r, long c, double value) {
                                                   if (value == nodata)
                                                     return basin_nodata.Passes(r, c);
                                                   return value >= lowest && value <= highest;
                                                 });
  if (cell.found)
    ThrowCellRefused(diag,
                     "stack " + name + ": level " + std::to_string(cell.level) + " of the cell",
                     cell, nodata, lowest, highest, unit);
}

// The channel geometry of the river cells ("river_width", "river_depth", m) over the basin cells:
// a width up to kWidestRiver, a depth up to kLargestRelief (0 or nodata: no channel; a negative
// width or depth is none a channel can have).
inline void CheckChannelGrids(DiagnosticStream& diag, double** width, double** depth, double** zone,
                              const ColumnRange* ranges, long first, long last, double nodata) {
  CheckGridCells(diag, "river_width", width, zone, ranges, first, last, nodata, 0, kWidestRiver,
                 "m", BasinNodata::Allowed());
  CheckGridCells(diag, "river_depth", depth, zone, ranges, first, last, nodata, 0, kLargestRelief,
                 "m", BasinNodata::Allowed());
}

}  // namespace velorn

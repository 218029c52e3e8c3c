// The pieces of the dynamic glacier model that need no MPI and no snow model: volume-area
// scaling, the elevation bands through which a glacier grows and shrinks, the record of one
// glacier, the yearly firn shift, the excess transfer of a deep pack into the glacier, the
// per-step mass balance of a glacier cell, the firn melt through the stack, the evaluation date,
// and over whole grids the volume change of the year and the spread of the lost area's mass
// balance.
//
// A glacier of area A (km²) holds the volume V = c·A^γ (Bahr et al. 1997; c = `VAscaling`,
// 28.5 with V in 10⁶ m³, γ = `VAexponent`); it never counts as smaller than 0.0543 km². Once a
// year the mass balance changes the volume, the scaling gives the new area, and the difference
// in cells is spread over the glacier's elevation bands, the lowest band most.
//
// Bands refer to their cells by row and column, never by pointers into grids: the annual update
// gathers and scatters the grids, which may replace their rows. The operations that change cells
// take the fraction and code grids (whole, on process 0) as arguments.
//
// Used by the snow model's glacier part (snow/glacier_setup.cpp and the annual update); each
// formula is a pure function, unit-tested in tests/snow/glacier_record_test.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "core/zone_types.h"

namespace velorn {

// Minimum area of a glacier (km²) and the ratio of the density of ice to that of water by which
// a water-equivalent mass balance becomes an ice volume.
inline constexpr double kMinimumGlacierArea = 0.0543;
inline constexpr double kIceDensityRatio = 0.85;
// Amount of cells below which a glacier's change counts as placed; passes and sweeps allowed.
inline constexpr double kGlacierCellTolerance = 1e-5;
inline constexpr int kGlacierPasses = 31;
inline constexpr int kBandSweeps = 5;
// Code of a cell that left its glacier.
inline constexpr double kLostGlacierCode = -9999;

// ---- Volume-area scaling ----------------------------------------------------------------------

struct GlacierSize {
  double area = 0;    // km²
  double volume = 0;  // in the unit of the scaling factor
};

// c·A^γ.
double GlacierVolume(double area, double scaling, double exponent);
// The smallest volume a glacier keeps: c·0.0543^γ.
double MinimumGlacierVolume(double scaling, double exponent);
// The area of a volume: at or below the minimum volume the glacier keeps the minimum volume and
// the minimum area, else A = (max(V, 0)/c)^(1/γ).
GlacierSize AreaOfVolume(double volume, double scaling, double exponent);
// Start values of a glacier counted with `area` (km²): the area is raised to 0.01 km² when at
// most that, the volume is c·area^γ, and the old size is the area of that volume.
struct GlacierStart {
  GlacierSize size;
  GlacierSize old;
};
GlacierStart StartGlacier(double area, double scaling, double exponent);
// Ice volume gained by one cell (10⁶ m³): cellSize²·g·ΔM/1000/1e6 with ΔM the mass balance of
// the year (mm water equivalent) divided by the density ratio.
double CellVolumeChange(double cell_size, double fraction, double mass_balance,
                        double old_mass_balance);
// Cells the glacier must gain (negative: lose) to go from `old_area` to `area` (km²).
double CellsToAdd(double area, double old_area, double cell_size);

// ---- Elevation bands --------------------------------------------------------------------------

class ElevationBand {
 public:
  ElevationBand(double lower, double upper) : lowerElevation(lower), upperElevation(upper) {}
  bool Contains(double elevation) const {
    return lowerElevation <= elevation && elevation < upperElevation;
  }
  void AddCell(int32_t row, int32_t col);
  void Clear();
  // Cells that can change in the direction of `cells_to_add` (fraction below 1 to grow, above 0
  // to shrink); the others are flagged until the band is filled again. 0 for no change.
  double CountChangeable(double cells_to_add, double** fraction);
  // Adds `fraction_per_cell` to each unflagged cell of a glacier code (0 or above), in up to five
  // sweeps over the cells that took a full share; a cell falling below 0 leaves the glacier
  // (fraction 0, code -9999) and counts only the fraction it gave up. Returns the amount not
  // placed; `complete` is false when five sweeps were not enough.
  double ChangeCells(double fraction_per_cell, double** fraction, double** code, bool& complete);

  double lowerElevation, upperElevation;
  double bandHeight = 0;
  int64_t cellCount = 0;
  std::vector<int32_t> rows, cols;
  std::vector<int32_t> flags;  // 1: not changeable in the current direction
};

// ---- One glacier ------------------------------------------------------------------------------

struct GlacierRecord {
  GlacierRecord() = default;
  // A record made with values: the old size takes the given size; nothing counted, no bands.
  GlacierRecord(int32_t code, int32_t bands, int32_t extra_weight, int32_t subbasin, double scaling,
                double exponent, double volume, double area, double cell_size);

  // Count, area and elevation range back to nothing counted.
  void ResetCount();
  // Counts a cell of glacier fraction g: the first sets both range ends, later ones widen the
  // range when `widen` is set.
  void AddCell(bool widen, double fraction, double elevation);
  // `numElevBands` equal bands over the elevation range, lowest first, without cells.
  void BuildBands();
  // Puts the cell into the first band containing its elevation; above the range into the
  // highest band, at or below it into band 0. No band: nothing.
  void AddCellToBand(int32_t row, int32_t col, double elevation);
  // One pass of spreading `cellsToAdd` over the bands (band k of nb changed nb - k times, band 0
  // another extraWeightFactorBand0·nb times). Returns the amount not placed; `changeable` gets
  // the changeable cells (below 1 nothing was changed). `complete` turns false when a band ran
  // out of sweeps.
  double SpreadOverBands(double** fraction, double** code, double& changeable, bool& complete);
  // The size of the year: a volume of exactly 0 (a glacier first counted this year) starts from
  // its counted area (0.0543 km² when none) as both old and new size; then the area of the
  // volume by scaling and `cellsToAdd`, the cells that take the glacier from its old area there.
  void ScaleToVolume();

  int32_t code = 0;
  double cellSize = 100.0;
  int64_t cellCount = 0;
  double area = 0, volume = 0, oldArea = 0, oldVolume = 0;
  double VAscaling = 28.5, VAexponent = 1.36;
  double minElevation = 10000, maxElevation = -10000;
  int32_t numElevBands = 1;
  double cellsToAdd = 0, cellsChanged = 0;
  int64_t cellsInBands = 0;
  int32_t extraWeightFactorBand0 = 0;
  int32_t subbasin = 0;
  double lostAreaMassBalance = 0, oldFractionSum = 0, newFractionSum = 0, massBalanceShare = 0;
  std::vector<ElevationBand> bands;
};

// ---- Yearly changes of a glacier's cells ----------------------------------------------------

// The grids of the annual update, whole on process 0 (1-based rows, columns of `columns`).
struct GlacierYearGrids {
  double** fraction = nullptr;      // GlacierizedCells
  double** code = nullptr;          // GlacierCodes
  double** fraction_old = nullptr;  // GlacierizedCellsOld
  double** code_old = nullptr;      // GlacierCodesOld
  double** balance = nullptr;       // GlacierMassBalance (mm)
  double** old_balance = nullptr;   // OldGlacierMassBalance (mm)
  double** subbasin = nullptr;      // zone grid of the soil model
  double nodata = -9999;
  int32_t nrows = 0;
  const ColumnRange* columns = nullptr;  // 1..nrows
};
// Adds the ice volume change of the year, Σ cellSize²·g·(M - Mold)/0.85 over the cells of each
// glacier (code 0 or above, in `index`, g 0 or above), to the volumes of the list.
void AddYearVolumeChange(std::vector<GlacierRecord>& glaciers,
                         const std::map<int32_t, std::size_t>& index,
                         const GlacierYearGrids& grids);
// The mass balance of the area a glacier (`code`, -1: all) lost or gained this year, Σ (g_old -
// g)·M over its old cells (all of g_old·M where the cell left it), is spread evenly over the
// mass balance of its cells of now, so Σ g·M of each glacier keeps its value for the old area.
void DistributeLostAreaMassBalance(std::vector<GlacierRecord>& glaciers,
                                   const std::map<int32_t, std::size_t>& index, int32_t code,
                                   const GlacierYearGrids& grids);

// ---- Yearly changes of a cell -----------------------------------------------------------------

// The firn stack of one cell (levels 0..levels, 0 = total) takes this year's snow as its youngest
// layer 1; the layers move one down and the oldest leaves (it becomes ice). Returns the new
// total (also in level 0).
double ShiftFirnLayers(double* stack, int32_t levels, double snow);
// Moves the excess E of a deep pack on the glacier-free part of a cell of fraction g (0 < g) onto
// its glacierized part: the glacier-free storages lose E with its liquid and solid shares, the
// glacier storages gain (1 - g)/g times the same, so the cell mean is unchanged.
struct PackState {
  double total = 0, liquid = 0, solid = 0;
};
void TransferExcessSnow(PackState& free_part, PackState& glacier_part, double fraction,
                        double excess);
// The yearly change of one cell on the evaluation step. A glacier-free cell (g <= 0) whose pack S
// passes `max_pack` becomes a new glacier cell (code -1 unless it kept a code 0 or above, g =
// `rel_size`): its glacier part takes the pack, the excess S - `max_pack` of the rest moves onto
// it, and all of it becomes the youngest firn layer (the older layers 0), which also starts the
// mass balances. A glacier cell moves its excess onto its glacier part (g < 1; g = 1 drops the
// glacier-free pack) and shifts its firn layers with the glacier part's pack as the youngest.
// The glacier part's pack then starts again at 0. Without glacier storages the cell's own pack
// is the snow of the year. Every cell's old code takes its code first. A cell that may start no
// glacier (`may_start` false: a lake's, whose water the lake holds over the whole cell) keeps its
// pack however deep. Returns the excess moved (for the layered snow).
struct GlacierCellState {
  double fraction = 0, fraction_old = 0, code = 0, code_old = 0;
  PackState cell, glacier;
  double balance = 0, old_balance = 0, firn_total = 0;
  double* firn = nullptr;  // levels 0..levels
};
double UpdateGlacierCellYear(GlacierCellState& s, int32_t levels, double max_pack, double rel_size,
                             bool glacier_storages, bool may_start = true);
// Per-step mass balance (mm) of a glacier cell: snowfall + rain - snow melt on the glacier -
// firn melt - ice melt + deposition + mobile mass - input mass - snow evaporation on it.
struct GlacierStepFluxes {
  double snowfall = 0, rain = 0, snow_melt = 0, firn_melt = 0, ice_melt = 0;
  double deposition = 0, mobile_mass = 0, input_mass = 0, evaporation = 0;
};
double GlacierMassBalanceStep(const GlacierStepFluxes& f);
// Takes the firn melt of a step (mm) from the firn stack (levels 0..levels, 0 = total) layer by
// layer from the youngest, level 1: a layer used up becomes 0 (a nodata layer holds nothing).
// Level 0 takes the sum of the layers. Returns the melt left after the last layer (ice melt).
double TakeFirnMelt(double* stack, int32_t levels, double melt, double nodata);
// The step that ends on the evaluation day: month and day match and hour + step length + time
// shift of the meteorological data (hours) pass 24.001.
bool IsGlacierEvaluationStep(int64_t hour, int64_t day, int64_t month, double step_hours,
                             double shift_hours, int32_t eval_day, int32_t eval_month);

}  // namespace velorn

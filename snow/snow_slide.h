// Lateral snow redistribution: one pass of sliding snow over whole grids, from the highest cell
// to the lowest, and the return of the moved snow to the storages.
//
// Each cell on a slope of at least `min_slide_slope` degrees releases the fraction
// `slide_mass_fraction` of its pack; what it releases and what reached it from above is passed
// on to its up to four neighbours of the same zone (previous row, previous column, next column,
// next row) in the shares of the four slide-fraction grids, normalised to 1. A neighbour keeps
// as deposition what its capacity allows and takes the rest as its mobile mass, which moves on
// when the neighbour's turn comes (and stays, when the neighbour came earlier in the order). At
// the end, deposition plus mobile mass go back into the storages; a pack keeps its liquid share,
// an empty pack receives solid snow. The cell-mean snow (1 - g) S + g G of every zone is the
// same before and after, up to round-off.
//
// The snow carries its tracers: what a pack releases takes the same fraction of its solute, the
// moving snow passes on the solute of what moves in the same shares, a neighbour's deposition
// beyond its capacity moves on at the mixed concentration of that deposition, and the return adds
// the solute of the cell's deposited and mobile snow to the packs with the water. So the
// cell-mean solute of every zone stays as well.
//
// Called by schneemodellklasse::FinishStep (snow/snow_finish.cpp) on process 0, between the
// gather and the scatter of the storages; it is a pure function of the grids handed in (rows
// 1..nrows held, no MPI, no threads), so tests can drive it on small hand-made grids.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/zone_types.h"

namespace velorn {

// A pack: total, liquid and solid depth (mm water equivalent); null grids where absent.
struct SnowPackGrids {
  double** total = nullptr;
  double** liquid = nullptr;
  double** solid = nullptr;
};

// The solute of one tracer in the packs: for an evaporating tracer the concentration of the
// pack's water, for any other the mass per area of the pack's part of the cell.
struct SlideTracerGrids {
  double** pack = nullptr;          // the glacier-free pack's
  double** glacier_pack = nullptr;  // the glacier pack's; null: none
  bool evaporating = false;
};

struct SlideGrids {
  double** zone = nullptr;       // zone code, nodata outside the model area
  double** order_row = nullptr;  // the k-th cell of the pass at the k-th zone position
  double** order_col = nullptr;
  double** slope = nullptr;            // degrees
  std::array<double**, 5> fraction{};  // 1..4: to row - 1, column - 1, column + 1, row + 1
  double** max_deposition = nullptr;   // mm
  double** input_mass = nullptr;       // out: released by the cell itself (mm)
  double** mobile_mass = nullptr;      // out: moving snow that ended in the cell (mm)
  double** deposition = nullptr;       // out: deposited by slides (mm)
  SnowPackGrids pack;                  // over the glacier-free part of a cell
  double** glacier = nullptr;          // glacierized fraction; null: none
  SnowPackGrids glacier_pack;          // over the glacierized part; total null: none
  std::vector<SlideTracerGrids> tracers;
};

struct SlideSettings {
  double min_slide_slope = 30.0;      // degrees
  double slide_mass_fraction = 0.01;  // of the pack per step
  double nodata = -9999.0;
};

// The order of the pass, on whole grids: the k-th position (row-major) of the zone grid's cells
// holds, in `order_row` and `order_col`, the row and column of the k-th cell from the highest
// elevation to the lowest; equal elevations keep row-major order. Every other position (column 0
// included) holds nodata.
void FillElevationOrder(double** zone, double** elevation, int32_t nrows, int32_t ncols,
                        double nodata, double** order_row, double** order_col);

// One step of redistribution over rows 1..nrows (columns of `ranges[r]`, limited to 1..ncols).
void RedistributeSnow(const SlideGrids& grids, const SlideSettings& settings, int32_t nrows,
                      int32_t ncols, const ColumnRange* ranges);

// Adds `amount` (mm) to a pack keeping its liquid share; an empty pack (total 0 or less) takes
// it as solid snow. `amount` may be negative down to minus the total (a release).
void ChangePackKeepingLiquidShare(double& total, double& liquid, double& solid, double amount);

}  // namespace velorn

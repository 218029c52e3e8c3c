// The annual update of the dynamic glaciers on the evaluation step, at the end of the snow step
// (collective):
// 1. every process, own cells: this year's snow on the glaciers becomes the youngest firn layer
//    (the oldest leaves and becomes ice; the solute of tracers moves with the water), a pack above
//    `maxSnowPackToCreateGlacier` on a cell without glacier starts a glacier cell (not on a lake's
//    cell: the lake holds its water over the whole cell, which no glacier shares), and the snow
//    above that threshold on a partly glacierized cell moves onto its glacier part; under
//    layered snow the layers, the glacier-free part's snow, give what that part's pack gave
//    (its ice and its water alike), and a cell wholly glacier drops them with that pack, so
//    that the next step's alignment of the layers to the pack moves nothing;
// 2. the glacier grids and the firn stack are gathered on process 0, which changes the glacier
//    areas (snow/glacier_areas.cpp; a glacier grows into no lake's cell) and spreads the mass
//    balance of lost area over the rest of each glacier, and scattered back;
// 3. the subbasin glacier shares are counted again and broadcast, and the reference mass balance
//    of every glacier cell takes its mass balance.
#include <algorithm>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "snow/layered_snow.h"
#include "snow/snow_model.h"

namespace velorn {

void schneemodellklasse::UpdateGlacierCellsOfYear() {
  const StepGrids& g = step_;
  double** fraction_old = OwnData("GlacierizedCellsOld");
  double** code_old = OwnData("GlacierCodesOld");
  double** old_balance = OwnData("OldGlacierMassBalance");
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(zone_grid[r][c], nodata)) continue;
      if (owner_grid != nullptr && owner_grid[r][c] != static_cast<double>(rank)) continue;
      GlacierCellState s;
      s.fraction = glacier_cells[r][c];
      s.fraction_old = fraction_old[r][c];
      s.code = glacier_codes[r][c];
      s.code_old = code_old[r][c];
      s.cell = PackState{g.total[r][c], g.liquid[r][c], g.solid[r][c]};
      s.glacier = PackState{g.glacier_total[r][c], g.glacier_liquid[r][c], g.glacier_solid[r][c]};
      s.balance = g.mass_balance[r][c];
      s.old_balance = old_balance[r][c];
      s.firn_total = g.firn[r][c];
      s.firn = firn_WE_stack[r][c];
      const GlacierCellState before = s;
      const double oldest = firn_levels >= 1 ? s.firn[firn_levels] : 0.0;
      const double moved = UpdateGlacierCellYear(s, firn_levels, maxSnowPackToCreateGlacier,
                                                 relSizeNewGlacier, true, !LakeCell(r, c));
      if (!glacier_tracers_.empty())
        GlacierTracerYear(r, c, before, s, moved, IsNodata(oldest, nodata) ? 0.0 : oldest);
      glacier_cells[r][c] = s.fraction;
      fraction_old[r][c] = s.fraction_old;
      glacier_codes[r][c] = s.code;
      code_old[r][c] = s.code_old;
      g.total[r][c] = s.cell.total;
      g.liquid[r][c] = s.cell.liquid;
      g.solid[r][c] = s.cell.solid;
      g.glacier_total[r][c] = s.glacier.total;
      g.glacier_liquid[r][c] = s.glacier.liquid;
      g.glacier_solid[r][c] = s.glacier.solid;
      g.mass_balance[r][c] = s.balance;
      old_balance[r][c] = s.old_balance;
      g.firn[r][c] = s.firn_total;
      if (moved > 0 || before.fraction >= 1)
        LayeredSnowOfYear(r, c, before.cell, s.cell, std::min(temperature[r][c], 0.0),
                          before.fraction >= 1);
    }
  });
}

void schneemodellklasse::LayeredSnowOfYear(long r, long c, const PackState& before,
                                           const PackState& after, double T, bool whole) {
  if (!layeredSnowActive || layer_solid == nullptr) return;
  if (whole) {
    // More than the layers hold empties every one of them.
    UpdateLayeredSnow(r, c, 0, 1.0, -(LayeredPack(r, c) + 1.0), T);
    return;
  }
  LayeredSnowCell cell = LayeredCell(r, c);
  // The water first, so that no layer the ice leaves empty hands its water on to the soil.
  TakeLayeredLiquidCell(cell, snow_layers, before.liquid - after.liquid);
  const double ice = before.solid - after.solid;
  if (ice > 0) UpdateLayeredSnow(r, c, 0, 1.0, -ice, T);
}

void schneemodellklasse::UpdateGlaciersOfYear() {
  UpdateGlacierCellsOfYear();
  const int fraction_index = FindGrid("GlacierizedCells", 0);
  const int code_index = FindGrid("GlacierCodes", 0);
  const OwnGrid* stack = FindOwnGrid("firn_WE_stack");
  std::vector<const OwnGrid*> gathered;
  for (const char* identifier : {"GlacierizedCellsOld", "GlacierCodesOld", "GlacierMassBalance",
                                 "OldGlacierMassBalance", "firn_WE_stack"})
    gathered.push_back(FindOwnGrid(identifier));
  for (const OwnGrid* grid : gathered) MPIGatherGrid(grid->index, grid->grid);
  MPIGatherStack(stack->index, firn_WE_stack);
  MPIGatherGrid(fraction_index, glacier_cells);
  MPIGatherGrid(code_index, glacier_codes);
  const int lakes_index = lake_flag != 0 && lake_codes != nullptr ? FindGrid("lake_codes", 0) : 0;
  if (lakes_index > 0) whole_lake_codes_ = MPIGatherGridCopy(lakes_index, lake_codes);
  if (rank == 0) {
    UpdateGlacierAreas();
    DistributeLostAreaMassBalance(glacier_list, glacier_index, -1, YearGrids());
  }
  MPIScatterGrid(fraction_index, glacier_cells);
  MPIScatterGrid(code_index, glacier_codes);
  // The rows next to each strip as well: the groundwater's faces look at a neighbour's share
  // across the strips.
  MPIExchangeGridHalo(fraction_index, glacier_cells);
  MPIExchangeGridHalo(code_index, glacier_codes);
  // The firn total goes back with the stack: growth gives new glacier cells firn.
  for (std::size_t i = 2; i < gathered.size(); ++i)
    MPIScatterGrid(gathered[i]->index, gathered[i]->grid);
  MPIScatterStack(stack->index, firn_WE_stack);
  Diag() << "DEBUG: glaciers changed, updating glaicerlist now..."
         << "[end-entry]";
  RecountGlacierShares();
  double** old_balance = OwnData("OldGlacierMassBalance");
  double** balance = step_.mass_balance;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(zone_grid[r][c], nodata)) continue;
      if (owner_grid != nullptr && owner_grid[r][c] != static_cast<double>(rank)) continue;
      if (IsNotNodata(soil_zone_grid[r][c], nodata) && glacier_cells[r][c] > 0) {
        old_balance[r][c] = balance[r][c];
      } else {
        old_balance[r][c] = balance[r][c] = 0;
        if (glacier_cells[r][c] > 0) continue;
        // A cell without glacier keeps no solute on a glacier part.
        for (GlacierTracer& stores : glacier_tracers_)
          for (OwnedGrid* grid : {&stores.pack, &stores.firn, &stores.ice})
            if (*grid) (*grid).get()[r][c] = 0;
        if (young_ice_ != nullptr) young_ice_[r][c] = 0;
      }
    }
  });
}

}  // namespace velorn

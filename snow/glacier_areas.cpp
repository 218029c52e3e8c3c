// The yearly change of the glacier areas on process 0 ("Glacierbalance"), between the gather and
// the scatter of the glacier grids: the recount of every glacier's cells (new glacier cells get a
// code from a neighbouring glacier of their subbasin or a new one), the bands, the volume change
// of the year's mass balance, the new area by volume-area scaling, and the growth or shrinking of
// the glacierized fractions band by band, the lowest band most, in at most 31 passes. A glacier
// whose bands cannot take the change grows into neighbouring cells (GrowGlacier) or is recounted.
//
// The grids are whole on process 0 here; the bands keep rows and columns.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "core/nodata.h"
#include "snow/snow_model.h"

namespace velorn {
namespace {

// The four neighbours in the order previous row, next column, next row, previous column, then
// the four corners: previous row and next column, next row and next column, next row and
// previous column, previous row and previous column.
constexpr int kRowStep[8] = {-1, 0, 1, 0, -1, 1, 1, -1};
constexpr int kColStep[8] = {0, 1, 0, -1, 1, 1, -1, -1};
// Firn below which a cell next to a glacier counts as firn-free ground (mm).
constexpr double kGrowthFirnLimit = 0.0001;

}  // namespace

GlacierYearGrids schneemodellklasse::YearGrids() const {
  GlacierYearGrids grids;
  grids.fraction = glacier_cells;
  grids.code = glacier_codes;
  grids.fraction_old = OwnData("GlacierizedCellsOld");
  grids.code_old = OwnData("GlacierCodesOld");
  grids.balance = OwnData("GlacierMassBalance");
  grids.old_balance = OwnData("OldGlacierMassBalance");
  grids.subbasin = soil_zone_grid;
  grids.nodata = nodata;
  grids.nrows = static_cast<int32_t>(nrows);
  grids.columns = column_ranges;
  return grids;
}

void schneemodellklasse::CountGlacierCells(int32_t code, bool full_range) {
  double** firn = OwnData("firn_WE_stack");
  double** code_old = OwnData("GlacierCodesOld");
  const double cell_area = cellsize * cellsize / 1e6;
  auto inside = [&](long r, long c) { return r >= 1 && r <= nrows && c >= 1 && c <= ncols; };
  // A new cell of the glacier (or of a record made for it) changes its area and, once the glacier
  // has a volume, its volume by scaling.
  auto count_new = [&](GlacierRecord& glacier, long r, long c) {
    const double a = cell_area * glacier_cells[r][c];
    if (glacier.volume > 0) {
      const double old_volume = glacier.oldVolume;
      glacier.oldVolume =
          GlacierVolume(std::max(glacier.oldArea + a, 0.0), glacier.VAscaling, glacier.VAexponent);
      glacier.volume += glacier.oldVolume - old_volume;
      glacier.oldArea += a;
    }
    glacier.AddCell(full_range || firn[r][c] == 0, glacier_cells[r][c], elevation[r][c]);
  };
  for (long r = 1; r <= nrows; ++r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      const double subbasin = soil_zone_grid[r][c];
      if (IsNodata(subbasin, nodata) || !(glacier_codes[r][c] >= -1)) continue;
      const auto cell_code = static_cast<int32_t>(glacier_codes[r][c]);
      auto found = glacier_index.find(cell_code);
      if (found == glacier_index.end()) {
        // Code 0 marks no glacier; -1 a new glacier cell, other unknown codes new glaciers.
        if (cell_code == 0) continue;
        int32_t given = cell_code;
        if (cell_code == -1) {
          given = glacier_index.empty() ? 1 : glacier_index.rbegin()->first + 1;
          for (int k = 0; k < 8; ++k) {
            const long nr = r + kRowStep[k], nc = c + kColStep[k];
            if (inside(nr, nc) && glacier_codes[nr][nc] > 0 && soil_zone_grid[nr][nc] == subbasin) {
              given = static_cast<int32_t>(glacier_codes[nr][nc]);
              break;
            }
          }
          glacier_codes[r][c] = given;
        }
        code_old[r][c] = given;
        glacier_cells[r][c] = relSizeNewGlacier;
        auto [at, added] = glacier_index.emplace(given, glacier_list.size());
        if (added) {
          glacier_list.emplace_back(given, numElevBands, extraWeightFactorBand0,
                                    static_cast<int32_t>(subbasin), VAscaling, VAexponent, 0.0, 0.0,
                                    cellsize);
        }
        count_new(glacier_list[at->second], r, c);
        continue;
      }
      if (code != -1 && cell_code != code) continue;
      GlacierRecord& glacier = glacier_list[found->second];
      if (IsNodata(glacier_cells[r][c], nodata)) {
        code_old[r][c] = cell_code;
        glacier_cells[r][c] = relSizeNewGlacier;
        count_new(glacier, r, c);
      } else {
        glacier.AddCell(full_range, glacier_cells[r][c], elevation[r][c]);
      }
    }
  }
}

void schneemodellklasse::GrowGlacier(int32_t code) {
  const auto found = glacier_index.find(code);
  if (found == glacier_index.end()) return;
  GlacierRecord& glacier = glacier_list[found->second];
  for (ElevationBand& band : glacier.bands) band.Clear();
  glacier.cellsInBands = 0;
  double** firn = OwnData("firn_WE_stack");
  // The first of the four neighbours in the same subbasin that is fully this glacier's.
  auto glacier_neighbour = [&](long r, long c, long& nr, long& nc) {
    for (int k = 0; k < 4; ++k) {
      nr = r + kRowStep[k];
      nc = c + kColStep[k];
      if (nr >= 1 && nr <= nrows && nc >= 1 && nc <= ncols &&
          soil_zone_grid[nr][nc] == soil_zone_grid[r][c] && glacier_cells[nr][nc] == 1 &&
          glacier_codes[nr][nc] == code)
        return true;
    }
    return false;
  };
  // Scans 1 and 3 take firn-free ground without a glacier code, 2 and 4 any cell (with the
  // neighbour's firn spread over the layers); 3 and 4 also cells of fraction below 0 (nodata).
  for (int scan = 1; scan <= 4 && glacier.cellsInBands == 0; ++scan) {
    const bool bare = scan == 1 || scan == 3;
    for (long r = 1; r <= nrows; ++r) {
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        const double g = glacier_cells[r][c];
        if (scan <= 2 ? g != 0 : g > 0) continue;
        if (bare && !(glacier_codes[r][c] < 0)) continue;
        long nr = 0, nc = 0;
        if (IsNodata(soil_zone_grid[r][c], nodata) || WholeLakeCell(r, c) ||
            !glacier_neighbour(r, c, nr, nc))
          continue;
        const double total = firn[nr][nc];
        if (bare && !(total < kGrowthFirnLimit)) continue;
        glacier_codes[r][c] = code;
        glacier_cells[r][c] = 0;
        const double layer = bare ? 0.0 : total / firn_levels;
        firn[r][c] = firn_WE_stack[r][c][0] = bare ? 0.0 : total;
        for (int32_t k = 1; k <= firn_levels; ++k) firn_WE_stack[r][c][k] = layer;
        glacier.AddCellToBand(static_cast<int32_t>(r), static_cast<int32_t>(c), elevation[r][c]);
      }
    }
  }
}

void schneemodellklasse::UpdateGlacierAreas() {
  if (glacier_cells == nullptr || glacierMethod < 11) return;
  for (GlacierRecord& glacier : glacier_list) {
    glacier.ResetCount();
    glacier.volume = glacier.oldVolume;
  }
  CountGlacierCells(-1, false);
  // By index: a recount may add records.
  for (std::size_t i = 0; i < glacier_list.size(); ++i) {
    if (glacier_list[i].minElevation == 10000) {
      glacier_list[i].ResetCount();
      CountGlacierCells(glacier_list[i].code, true);
    }
    glacier_list[i].BuildBands();
  }
  AssignBandCells(-1);
  AddYearVolumeChange(glacier_list, glacier_index, YearGrids());
  Diag() << "DEBUG: Glacierbalance\n"
         << "[end-entry]";
  // Records made by a recount inside the loop are handled in the next year.
  const std::size_t count = glacier_list.size();
  for (std::size_t i = 0; i < count; ++i) ChangeGlacierArea(i);
  // A cell that had no glacier has no firn layers (nodata): one that a glacier's growth or its
  // bands took starts with empty layers.
  double** firn = OwnData("firn_WE_stack");
  for (long r = 1; r <= nrows; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      double* layers = firn_WE_stack[r][c];
      if (!(glacier_cells[r][c] > 0) || !IsNodata(layers[0], nodata)) continue;
      std::fill(layers, layers + firn_levels + 1, 0.0);
      firn[r][c] = 0;
    }
}

void schneemodellklasse::ChangeGlacierArea(std::size_t i) {
  GlacierRecord* glacier = &glacier_list[i];
  glacier->ScaleToVolume();
  Diag() << "DEBUG: Glacier:\t" << i << "\nOld Volume:\t" << glacier->oldVolume << "\nNew Volume:\t"
         << glacier->volume << "\nOld Area:\t" << glacier->oldArea << "\nNew Area:\t"
         << glacier->area << "\n"
         << "[end-entry]";
  bool converged = false;
  for (int pass = 0; pass < kGlacierPasses; ++pass) {
    if (std::fabs(glacier->cellsToAdd) <= kGlacierCellTolerance) {
      converged = true;
      break;
    }
    double changeable = 0;
    bool complete = true;
    const double left =
        glacier->SpreadOverBands(glacier_cells, glacier_codes, changeable, complete);
    if (!complete) {
      std::cerr << "error: could not remove or add the required number of cells for the glacier"
                << std::endl;
    }
    if (changeable >= 1) {
      glacier->cellsToAdd = left;
      if (std::fabs(left) <= kGlacierCellTolerance) {
        converged = true;
        break;
      }
    }
    // The bands could not take the change: grow into neighbouring cells, or recount the cells
    // left after shrinking, and fill the bands again.
    const int32_t code = glacier->code;
    const double cells_to_add = glacier->cellsToAdd;
    const double area = glacier->area;
    glacier->ResetCount();
    if (cells_to_add > 0) {
      Diag() << "DEBUG: growing the glacier..."
             << "[end-entry]";
      GrowGlacier(code);
    } else {
      Diag() << "DEBUG: shrinking the glacier..."
             << "[end-entry]";
    }
    CountGlacierCells(code, false);
    glacier = &glacier_list[i];  // the recount may add records
    if (glacier->minElevation == 10000) CountGlacierCells(code, true);
    glacier = &glacier_list[i];
    glacier->BuildBands();
    AssignBandCells(code);
    glacier->area = area;
  }
  if (!converged && std::fabs(glacier->cellsToAdd) > kGlacierCellTolerance) {
    Diag() << "WARNING: \n----------- WARNING: ----------\nThere were too many iterations when "
              "trying to remove or add glacier areas for glacier"
           << i << "\n-----------------------------\n"
           << "[end-entry]";
  }
  Diag() << "DEBUG: ---------------------------------\n\n"
         << "[end-entry]";
  glacier->oldArea = glacier->area;
  glacier->oldVolume = glacier->volume;
}

}  // namespace velorn

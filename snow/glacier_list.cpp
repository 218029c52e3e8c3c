// The glacier list of the dynamic glacier methods, built on process 0 at construction: one
// record per glacier code in order of first appearance in a row-major scan, each glacier within
// one subbasin (else code 84), with the start sizes of volume-area scaling and its elevation
// bands filled with the cells that can grow or shrink (margin cells and partly glacierized
// cells without firn).
//
// The grids read here are held whole on process 0 (the snow rows of the dynamic methods); the
// bands keep rows and columns, never pointers into the grids.
#include <cmath>
#include <vector>

#include "core/error_code.h"
#include "core/nodata.h"
#include "snow/snow_model.h"

namespace velorn {
namespace {

// Rows and columns of the four neighbours: previous row, previous column, next column, next row.
constexpr int kRookRowStep[4] = {-1, 0, 0, 1};
constexpr int kRookColStep[4] = {0, -1, 1, 0};

}  // namespace

void schneemodellklasse::BuildGlacierList() {
  glacier_list.clear();
  glacier_index.clear();
  OnRootForAll([&] {
    double** firn = OwnData("firn_WE_stack");
    for (int32_t r = 1; r <= nrows; ++r) {
      for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        const double subbasin_value = soil_zone_grid[r][c];
        const double code_value = glacier_codes[r][c];
        if (IsNodata(subbasin_value, nodata) || !(code_value > 0)) continue;
        const auto code = static_cast<int32_t>(code_value);
        const auto subbasin = static_cast<int32_t>(subbasin_value);
        auto [at, added] = glacier_index.emplace(code, glacier_list.size());
        if (added) {
          glacier_list.emplace_back(code, numElevBands, extraWeightFactorBand0, subbasin, VAscaling,
                                    VAexponent, 0.0, 0.0, cellsize);
        }
        GlacierRecord& glacier = glacier_list[at->second];
        if (subbasin_value != glacier.subbasin) {
          ThrowFatal(Diag(), kGlacierSubbasinCode,
                     "FATAL: \n\n=======================================\n!!!! ERROR !!!! \n\n"
                     "glacier ",
                     code,
                     " is located in more than one subbasin:\nFirst cell was found in subbasin ",
                     glacier.subbasin, ",\nwhereas the cell in row ", r, " and col ", c,
                     " belongs to subbasin ", subbasin_value,
                     ".\nPlease make sure that each single glacier belongs to one specific "
                     "subbasin only.");
        }
        glacier.AddCell(firn[r][c] == 0, glacier_cells[r][c], elevation[r][c]);
      }
    }
    for (GlacierRecord& glacier : glacier_list) {
      const GlacierStart start = StartGlacier(glacier.area, VAscaling, VAexponent);
      glacier.area = start.size.area;
      glacier.volume = start.size.volume;
      glacier.oldVolume = start.old.volume;
      glacier.oldArea = start.old.area;
      glacier.BuildBands();
    }
    AssignBandCells(-1);
  });
}

void schneemodellklasse::AssignBandCells(int32_t code) {
  auto chosen = [&](int32_t glacier_code) { return code == -1 || glacier_code == code; };
  for (GlacierRecord& glacier : glacier_list) {
    if (!chosen(glacier.code)) continue;
    for (ElevationBand& band : glacier.bands) band.Clear();
    glacier.cellsInBands = 0;
  }
  double** firn = OwnData("firn_WE_stack");
  auto margin = [&](int32_t r, int32_t c) {
    for (int k = 0; k < 4; ++k) {
      const int32_t nr = r + kRookRowStep[k], nc = c + kRookColStep[k];
      if (nr >= 1 && nr <= nrows && nc >= 1 && nc <= ncols &&
          glacier_codes[nr][nc] != glacier_codes[r][c])
        return true;
    }
    return false;
  };
  // `first`: margin or partial cells without firn, and cells of fraction 0 (given to the glacier
  // by growth: left out, a growing glacier could never fill them); otherwise, for glaciers left
  // without a cell, their margin cells and cells with 0 <= g < 1 regardless of firn.
  std::vector<bool> empty;
  auto scan = [&](bool first) {
    for (int32_t r = 1; r <= nrows; ++r) {
      for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        const double g = glacier_cells[r][c];
        if (IsNodata(soil_zone_grid[r][c], nodata) || !(glacier_codes[r][c] > 0)) continue;
        const auto found = glacier_index.find(static_cast<int32_t>(glacier_codes[r][c]));
        if (found == glacier_index.end()) continue;
        GlacierRecord& glacier = glacier_list[found->second];
        if (!chosen(glacier.code) || (!first && !empty[found->second])) continue;
        const bool takes = first ? g == 0 || (g > 0 && firn[r][c] <= 0 && (margin(r, c) || g < 1))
                                 : margin(r, c) || (g >= 0 && g < 1);
        if (takes) glacier.AddCellToBand(r, c, elevation[r][c]);
      }
    }
  };
  scan(true);
  for (const GlacierRecord& glacier : glacier_list) empty.push_back(glacier.cellsInBands == 0);
  scan(false);
}

}  // namespace velorn

// Volume-area scaling, elevation bands, the glacier record and the yearly cell changes of the
// dynamic glacier model (see snow/glacier_record.h).
#include "snow/glacier_record.h"

#include <algorithm>
#include <cmath>

#include "core/nodata.h"

namespace velorn {

// ---- Volume-area scaling ----------------------------------------------------------------------

double GlacierVolume(double area, double scaling, double exponent) {
  return scaling * std::pow(area, exponent);
}

double MinimumGlacierVolume(double scaling, double exponent) {
  return GlacierVolume(kMinimumGlacierArea, scaling, exponent);
}

GlacierSize AreaOfVolume(double volume, double scaling, double exponent) {
  const double minimum = MinimumGlacierVolume(scaling, exponent);
  if (minimum >= volume) return {kMinimumGlacierArea, minimum};
  return {std::pow(std::max(volume, 0.0) / scaling, 1.0 / exponent), volume};
}

GlacierStart StartGlacier(double area, double scaling, double exponent) {
  GlacierStart start;
  start.size.area = area <= 0.01 ? 0.01 : area;
  start.size.volume = GlacierVolume(start.size.area, scaling, exponent);
  start.old = AreaOfVolume(start.size.volume, scaling, exponent);
  return start;
}

double CellVolumeChange(double cell_size, double fraction, double mass_balance,
                        double old_mass_balance) {
  const double ice = (mass_balance - old_mass_balance) / kIceDensityRatio;
  return cell_size * (fraction * ice / 1000.0 * cell_size) / 1e6;
}

double CellsToAdd(double area, double old_area, double cell_size) {
  return (area - old_area) * 1e6 / (cell_size * cell_size);
}

// ---- Elevation bands --------------------------------------------------------------------------

void ElevationBand::AddCell(int32_t row, int32_t col) {
  rows.push_back(row);
  cols.push_back(col);
  flags.push_back(0);
  ++cellCount;
}

void ElevationBand::Clear() {
  rows.clear();
  cols.clear();
  flags.clear();
  cellCount = 0;
}

double ElevationBand::CountChangeable(double cells_to_add, double** fraction) {
  if (cells_to_add == 0 || rows.empty()) return 0;
  double count = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double g = fraction[rows[i]][cols[i]];
    const bool changeable = cells_to_add > 0 ? g < 1 : g > 0;
    if (changeable)
      ++count;
    else
      flags[i] = 1;
  }
  return count;
}

double ElevationBand::ChangeCells(double fraction_per_cell, double** fraction, double** code,
                                  bool& complete) {
  const auto unflagged = static_cast<double>(std::count(flags.begin(), flags.end(), 0));
  double target = fraction_per_cell * unflagged;
  double takers = unflagged;
  double rest = target;
  for (int sweep = 1; sweep <= kBandSweeps; ++sweep) {
    const double share = takers > 0 ? target / takers : 0.0;
    rest = target;
    takers = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      double& g = fraction[rows[i]][cols[i]];
      double& c = code[rows[i]][cols[i]];
      if (flags[i] != 0 || c < 0) continue;
      const double v = g + share;
      if (v < 0) {
        rest -= -g;  // the cell gives up what it had, not its planned share
        g = 0;
        c = kLostGlacierCode;
      } else if (v > 1) {
        rest -= 1 - g;
        g = 1;
      } else {
        g = v;
        rest -= share;
        ++takers;
      }
    }
    if (std::fabs(rest) <= kGlacierCellTolerance ||
        std::fabs(target - rest) <= kGlacierCellTolerance)
      return rest;
    target = rest;
  }
  complete = false;
  return rest;
}

// ---- One glacier ------------------------------------------------------------------------------

GlacierRecord::GlacierRecord(int32_t code_, int32_t bands_, int32_t extra_weight, int32_t subbasin_,
                             double scaling, double exponent, double volume_, double area_,
                             double cell_size)
    : code(code_),
      cellSize(cell_size),
      area(area_),
      volume(volume_),
      oldArea(area_),
      oldVolume(volume_),
      VAscaling(scaling),
      VAexponent(exponent),
      numElevBands(bands_),
      extraWeightFactorBand0(extra_weight),
      subbasin(subbasin_) {}

void GlacierRecord::ResetCount() {
  cellCount = 0;
  area = 0;
  minElevation = 10000;
  maxElevation = -10000;
}

void GlacierRecord::AddCell(bool widen, double fraction, double elevation) {
  if (cellCount == 0) {
    minElevation = maxElevation = elevation;
  } else if (widen) {
    minElevation = std::min(minElevation, elevation);
    maxElevation = std::max(maxElevation, elevation);
  }
  ++cellCount;
  area += cellSize * cellSize * fraction / 1e6;
}

void GlacierRecord::BuildBands() {
  bands.clear();
  const double height = (maxElevation - minElevation) / numElevBands;
  for (int32_t b = 0; b < numElevBands; ++b) {
    bands.emplace_back(minElevation + b * height, minElevation + (b + 1) * height);
    bands.back().bandHeight = height;
  }
}

void GlacierRecord::AddCellToBand(int32_t row, int32_t col, double elevation) {
  const std::size_t last = bands.size();
  for (std::size_t b = 0; b < last; ++b) {
    if (bands[b].Contains(elevation) || (b + 1 == last && elevation >= maxElevation) ||
        (b == 0 && elevation <= minElevation)) {
      bands[b].AddCell(row, col);
      ++cellsInBands;
      return;
    }
  }
}

double GlacierRecord::SpreadOverBands(double** fraction, double** code_grid, double& changeable,
                                      bool& complete) {
  const auto nb = static_cast<double>(bands.size());
  changeable = 0;
  double weights = 0;
  for (std::size_t k = 0; k < bands.size(); ++k) {
    const double count = bands[k].CountChangeable(cellsToAdd, fraction);
    changeable += count;
    weights += (nb - static_cast<double>(k)) * count;
    if (k == 0) weights += extraWeightFactorBand0 * count * nb;
  }
  if (changeable < 1) return cellsToAdd;
  const double per_weight = cellsToAdd / weights;
  double left = 0;
  for (int32_t b = 0; b < numElevBands && b < static_cast<int32_t>(bands.size()); ++b) {
    cellsChanged = 0;
    for (int32_t j = 0; j <= b; ++j) {
      const int32_t calls = j == 0 ? 1 + extraWeightFactorBand0 : 1;
      for (int32_t n = 0; n < calls; ++n)
        cellsChanged += bands[static_cast<std::size_t>(j)].ChangeCells(per_weight, fraction,
                                                                       code_grid, complete);
    }
    left += cellsChanged;
  }
  return left;
}

void GlacierRecord::ScaleToVolume() {
  if (volume == 0) {
    volume = oldVolume =
        GlacierVolume(area > 0 ? area : kMinimumGlacierArea, VAscaling, VAexponent);
    oldArea = area;
  }
  const GlacierSize size = AreaOfVolume(volume, VAscaling, VAexponent);
  area = size.area;
  volume = size.volume;
  cellsToAdd = CellsToAdd(area, oldArea, cellSize);
  cellsChanged = 0;
}

// ---- Yearly changes of a glacier's cells ----------------------------------------------------

namespace {

// Calls `visit(row, col)` for every cell with subbasin data, row-major.
template <class Visit>
void ForEachBasinCell(const GlacierYearGrids& grids, Visit visit) {
  for (int32_t r = 1; r <= grids.nrows; ++r) {
    for (int32_t c = grids.columns[r].first; c <= grids.columns[r].last; ++c) {
      if (!IsNodata(grids.subbasin[r][c], grids.nodata)) visit(r, c);
    }
  }
}

// The position in the list of a glacier code 0 or above, or nullptr.
const std::size_t* FindGlacier(const std::map<int32_t, std::size_t>& index, double code) {
  if (!(code >= 0)) return nullptr;
  const auto found = index.find(static_cast<int32_t>(code));
  return found == index.end() ? nullptr : &found->second;
}

}  // namespace

void AddYearVolumeChange(std::vector<GlacierRecord>& glaciers,
                         const std::map<int32_t, std::size_t>& index,
                         const GlacierYearGrids& grids) {
  ForEachBasinCell(grids, [&](int32_t r, int32_t c) {
    const std::size_t* at = FindGlacier(index, grids.code[r][c]);
    if (at == nullptr || !(grids.fraction[r][c] >= 0)) return;
    GlacierRecord& glacier = glaciers[*at];
    glacier.volume += CellVolumeChange(glacier.cellSize, grids.fraction[r][c], grids.balance[r][c],
                                       grids.old_balance[r][c]);
  });
}

void DistributeLostAreaMassBalance(std::vector<GlacierRecord>& glaciers,
                                   const std::map<int32_t, std::size_t>& index, int32_t code,
                                   const GlacierYearGrids& grids) {
  auto chosen = [&](const std::size_t* at) {
    return at != nullptr && (code == -1 || glaciers[*at].code == code);
  };
  for (GlacierRecord& glacier : glaciers) {
    if (code != -1 && glacier.code != code) continue;
    glacier.lostAreaMassBalance = glacier.oldFractionSum = glacier.newFractionSum = 0;
  }
  ForEachBasinCell(grids, [&](int32_t r, int32_t c) {
    const std::size_t* old_at = FindGlacier(index, grids.code_old[r][c]);
    if (chosen(old_at)) {
      GlacierRecord& glacier = glaciers[*old_at];
      const double kept = grids.code[r][c] == grids.code_old[r][c] ? grids.fraction[r][c] : 0.0;
      glacier.lostAreaMassBalance += (grids.fraction_old[r][c] - kept) * grids.balance[r][c];
      glacier.oldFractionSum += grids.fraction_old[r][c];
    }
    const std::size_t* at = FindGlacier(index, grids.code[r][c]);
    if (chosen(at)) glaciers[*at].newFractionSum += grids.fraction[r][c];
  });
  for (GlacierRecord& glacier : glaciers) {
    if (code != -1 && glacier.code != code) continue;
    glacier.massBalanceShare =
        glacier.newFractionSum > 0 ? glacier.lostAreaMassBalance / glacier.newFractionSum : 0.0;
  }
  ForEachBasinCell(grids, [&](int32_t r, int32_t c) {
    const std::size_t* at = FindGlacier(index, grids.code[r][c]);
    if (chosen(at)) grids.balance[r][c] += glaciers[*at].massBalanceShare;
  });
}

// ---- Yearly changes of a cell -----------------------------------------------------------------

double ShiftFirnLayers(double* stack, int32_t levels, double snow) {
  double total = 0;
  for (int32_t k = levels - 1; k >= 1; --k) {
    stack[k + 1] = stack[k];
    total += stack[k + 1];
  }
  stack[1] = snow;
  total += snow;
  stack[0] = total;
  return total;
}

void TransferExcessSnow(PackState& free_part, PackState& glacier_part, double fraction,
                        double excess) {
  const double liquid = excess * free_part.liquid / free_part.total;
  const double solid = excess * free_part.solid / free_part.total;
  const double spread = (1 - fraction) / fraction;
  glacier_part.total += spread * excess;
  glacier_part.solid += spread * solid;
  glacier_part.liquid += spread * liquid;
  free_part.total -= excess;
  free_part.solid -= solid;
  free_part.liquid -= liquid;
}

double UpdateGlacierCellYear(GlacierCellState& s, int32_t levels, double max_pack, double rel_size,
                             bool glacier_storages, bool may_start) {
  const double excess = s.cell.total > max_pack ? s.cell.total - max_pack : 0.0;
  double moved = 0;
  auto move_excess = [&] {
    if (excess <= 0) return;
    TransferExcessSnow(s.cell, s.glacier, s.fraction, excess);
    s.balance += excess;
    moved = excess;
  };
  PackState& year_snow = glacier_storages ? s.glacier : s.cell;
  // The codes before this evaluation, on every cell: the lost area of a glacier is what its
  // cells held before it. A code kept from an earlier year would count a cell that the glacier
  // lost then and gains again now as lost.
  s.code_old = s.code;
  if (s.fraction <= 0) {
    if (excess <= 0 || !may_start) return 0;
    if (s.code < 0) s.code = -1;
    s.fraction = s.fraction_old = rel_size;
    if (glacier_storages) {
      s.glacier = s.cell;
      move_excess();
    }
    for (int32_t k = 2; k <= levels; ++k) s.firn[k] = 0;
    s.firn[1] = year_snow.total;
    s.firn_total = s.firn[0] = s.firn[1];
    year_snow = PackState{};
    s.balance = s.old_balance = s.firn_total;
    return moved;
  }
  if (s.fraction < 1 && glacier_storages) {
    move_excess();
  } else if (s.fraction >= 1) {
    s.cell = PackState{};
  }
  s.firn_total = ShiftFirnLayers(s.firn, levels, year_snow.total);
  year_snow = PackState{};
  return moved;
}

double GlacierMassBalanceStep(const GlacierStepFluxes& f) {
  return f.snowfall + f.rain - f.snow_melt - f.firn_melt - f.ice_melt + f.deposition +
         f.mobile_mass - f.input_mass - f.evaporation;
}

double TakeFirnMelt(double* stack, int32_t levels, double melt, double nodata) {
  double total = 0;
  for (int32_t k = 1; k <= levels; ++k) {
    if (melt > 0) {
      const double layer = IsNodata(stack[k], nodata) ? 0.0 : stack[k];
      const double taken = std::min(layer, melt);
      stack[k] = layer - taken;
      melt -= taken;
    }
    if (!IsNodata(stack[k], nodata)) total += stack[k];
  }
  stack[0] = total;
  return melt;
}

bool IsGlacierEvaluationStep(int64_t hour, int64_t day, int64_t month, double step_hours,
                             double shift_hours, int32_t eval_day, int32_t eval_month) {
  return month == eval_month && day == eval_day &&
         static_cast<double>(hour) + step_hours + shift_hours > 24.001;
}

}  // namespace velorn

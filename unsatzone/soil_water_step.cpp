// The driver of the soil-water sub-step: the row loop over the own cells with one work space per
// thread, the choice of the cells computed, the glaciated cells, and the rules of
// unsatzone/soil_water_step.h. The cell body is unsatzone/soil_water_cell.cpp.
#include "unsatzone/soil_water_step.h"

#include <algorithm>
#include <cmath>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "unsatzone/soil_halo.h"
#include "unsatzone/soil_water_cell.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

double ServeDemands(double water, std::vector<double>& demand, std::vector<double>& achieved,
                    const std::vector<char>& valid) {
  for (std::size_t j = 1; j < demand.size() && water > 0; ++j) {
    if (!valid[j]) continue;
    const double taken = std::min(demand[j], water);
    achieved[j] += taken;
    demand[j] -= taken;
    water -= taken;
  }
  return water;
}

int GroundwaterLayer(const double* theta, const double* theta_sat, int layers) {
  int layer = layers;
  while (layer >= 1 && theta[layer] > kSaturatedShare * theta_sat[layer]) --layer;
  if (layer == layers) return layers;
  return std::max(1, layer + 1);
}

double ExchangeWithGroundwater(double rate, double dt, const double* dz, const double* theta_sat,
                               const double* field_capacity, const double* theta_res, int layers,
                               double* theta, double* source, int& layer, double& surface) {
  surface = 0;
  for (int k = 1; k <= layers; ++k) source[k] = 0;
  if (rate < 0) {
    double in = -rate;
    for (int k = std::min(layer, layers); k >= 1 && in > 0; --k) {
      const double room = std::max(0.0, (theta_sat[k] - theta[k]) * dz[k] / dt);
      if (in <= room) {
        source[k] = in;
        theta[k] += in * dt / dz[k];
        in = 0;
      } else {
        source[k] = room;
        theta[k] = std::max(theta[k], theta_sat[k]);
        in -= room;
        layer = std::max(1, k - 1);
      }
    }
    surface = in;  // no room left in the column: it leaves at the surface
    return rate;
  }
  double out = rate;
  const int first = std::max(layer, 1);
  for (int k = first; k <= layers && out > 0; ++k) {
    const double spare = std::max(0.0, (theta[k] - field_capacity[k]) * dz[k] / dt);
    if (spare <= 0) {
      layer = std::min(layers, k + 1);
      continue;
    }
    if (out <= spare) {
      theta[k] -= out * dt / dz[k];
      source[k] = -out;
      out = 0;
    } else {
      theta[k] = field_capacity[k];
      source[k] = -spare;
      out -= spare;
      layer = std::min(layers, k + 1);
    }
  }
  // The groundwater model drains the whole saturated zone it sees: water above field capacity
  // that the inner steps moved above the groundwater layer is still the column's to give.
  for (int k = std::min(first, layers + 1) - 1; k >= 1 && out > 0; --k) {
    const double spare = std::max(0.0, (theta[k] - field_capacity[k]) * dz[k] / dt);
    const double taken = std::min(out, spare);
    theta[k] -= taken * dt / dz[k];
    source[k] = -taken;
    out -= taken;
  }
  // The aquifer's head fell by more than the drainable water of the layers holds (it drains with
  // the storage coefficient of the table's layer, which may exceed that of the layers below):
  // the water its faces carried away still leaves the column, from what the layers hold above
  // their residual content, from the bottom up.
  for (int k = layers; k >= 1 && out > 0; --k) {
    const double spare = std::max(0.0, (theta[k] - theta_res[k]) * dz[k] / dt);
    const double taken = std::min(out, spare);
    theta[k] -= taken * dt / dz[k];
    source[k] -= taken;
    out -= taken;
  }
  return rate - out;
}

double GroundwaterHead(const double* z, const double* theta_sat, const double* field_capacity,
                       int layer, double theta_gw, double theta_1) {
  const int L = layer;
  if ((L == 1 && theta_1 > kSaturatedShare * theta_sat[1]) || theta_sat[L] - theta_gw <= 1e-4)
    return z[L - 1];
  if (theta_gw > field_capacity[L])
    return std::min(z[L - 1], z[L] + (theta_gw - field_capacity[L]) * (z[L - 1] - z[L]) /
                                         (theta_sat[L] - field_capacity[L]));
  return z[L];
}

// --- Driver ------------------------------------------------------------------------------------

void unsatzonmodellklasse::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  step_date = ModelDate{year, month, day, hour};
  ++current_substep;
  // With an interaction parameter above 1 the cells of the river links this process computes
  // come in as the row above the first own row, and go back after the loop.
  ExchangeHaloRows();
  ComputeSoilColumns(river_halo ? river_halo->FirstLoopRow() : first_local_row);
  ExchangeHaloRowsBack();
  // Hydrologic response units, the zone sums and the single-point rows of the sub-step.
  if (response_unit_switch != 0) CopyResponseUnitStates();
  AddZoneSums();
  AppendSinglePointRows();
}

void unsatzonmodellklasse::ComputeSoilColumns(long first_row) {
  double** owner = owner_grid;
  const int32_t* index = soil_zone_index.data();
  if (layeredSnowSwitch > 0 && layered_snow.M > 0)
    layered_snow.restructure =
        RestructureParameters(layered_snow, dTModFactor, dTModCIce0, dTModCWater);
  // The row of the river-link cells (all computed here, whatever their region), and the own
  // cells of links, which the process of their link computes.
  const long link_row = river_halo ? river_halo->MappedRow() : -1;
  double** link_cells = river_halo && river_halo->LinksExchanged() ? river_link_cells : nullptr;
  ForEachRow(first_row, last_local_row, [&](long r) {
    // The work space of this thread, sized for the row (grown only when a soil needs more).
    static thread_local SoilWaterScratch scratch;
    scratch.Prepare(layerCount, landuse_layers);
    // Computes (or zeroes) one cell; false when the cell is not computed here.
    const auto step_cell = [&](long c) {
      if (r != link_row && link_cells != nullptr && link_cells[r][c] > 0) return false;
      if (index[static_cast<std::size_t>(soil_zone_grid[r][c])] < 1) return false;
      // Without the exchange a cell with a river link is computed in place.
      if (UnitMember(r, c)) return false;
      const double g = GlacierShare(r, c);
      if (g >= 1.0) {
        ZeroGlacierCell(r, c);
        return false;
      }
      ComputeColumn(scratch, r, c, g);  // appends the control point's records itself
      return true;
    };
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(soil_zone_grid[r][c], nodata)) continue;
      if (r != link_row && owner != nullptr && static_cast<int32_t>(owner[r][c]) != rank) continue;
      if (!step_cell(c) && r == controlRow && c == controlCol && single_point_owner)
        AppendControlCellRow(r, c, nullptr);
    }
  });
}

void unsatzonmodellklasse::ZeroGlacierCell(long r, long c) {
  // A cell a glacier has just covered would otherwise keep the results of its last computed
  // step (and the cells of its response unit take them), where a warm start from the state of
  // that step begins at 0, as does a cell a glacier covers from the start. That holds for the
  // thaw depth and the frozen soil below the groundwater table too, which the zone tables and
  // the groundwater model read.
  for (OwnGrid grid : {kDrainageFlow, kInfiltrationExcess, kTotalInfiltration, kDirectflow,
                       kInterflow, kPercolation, kCapillaryUprise, kMacroporeInfiltration,
                       kGroundwaterRecharge, kBaseflow, kGroundwaterIrrigation, kSoilMoistureRoot,
                       kSoilMoistureProfile, kRootGrid, kRiverInfiltration, kRiverExfiltration,
                       kBaseflowUnpaid, kThawDepth, kFrozenSoilInGroundwater}) {
    if (double** g = Grid(grid)) g[r][c] = 0;
  }
  if (method == 3)
    if (double** g = Grid(kNumberOfSubsteps)) g[r][c] = 0;
  if (links.max_ponding_storage != nullptr)
    if (double** g = Grid(kPondingStorage)) g[r][c] = 0;
  for (int j = 1; j <= landuse_layers; ++j)
    if (links.real_transpiration[j] != nullptr) links.real_transpiration[j][r][c] = 0;
  if (double*** q_down = stacks[kQDown].get())
    std::fill(q_down[r][c], q_down[r][c] + layerCount + 1, 0.0);
}

}  // namespace velorn

// The step of a dynamic glacier cell (glacier methods 11..13) and its mass balance.
//
// A cell of glacierized fraction g keeps two packs: the cell's storages stand for its glacier-free
// part, the on-glacier storages for its glacier part. Both take the step's snow and rain and melt
// by the same formula (11: degree-day, 12: with radiation; 13: the snow model's own method,
// ComputeSnowCell, for each part). The glacier-free part drains to "snowcover_outflow", the
// glacier part to "SnowMelt_onGlacier". Once the glacier part's snow is gone, the rest of the
// warmth melts firn, taken from the firn stack layer by layer from the youngest; what the stack
// cannot give is ice melt. The mass balance of the glacier part (mm) sums the step's snow and
// rain less its snow, firn and ice melt (with the slide terms and the snow evaporation on it).
#include <algorithm>
#include <cmath>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "snow/snow_formulas.h"
#include "snow/snow_model.h"

namespace velorn {
namespace {

// Applies `melt` to a pack and its water holding; returns the melt applied and adds the water
// released beyond CWH times the solid to `outflow` (and to `melt_only` when snow melted). A
// negative melt refreezes at most the pack's liquid water.
double MeltPack(double& solid, double& liquid, double melt, double cwh, double& outflow,
                double* melt_only) {
  const double m = std::min(solid, std::max(melt, -liquid));
  liquid += m;
  solid -= m;
  if (liquid > cwh * solid) {
    const double excess = liquid - cwh * solid;
    outflow = excess;
    if (m > 0 && melt_only != nullptr) *melt_only = excess;
    liquid = cwh * solid;
  }
  return m;
}

}  // namespace

void schneemodellklasse::DynamicGlacierCell(long r, long c) {
  StepGrids& g = step_;
  const double T = temperature[r][c];
  // The glacier-free part takes the throughfall and the snow the canopy unloads (with
  // interception before snow), the glacier part what falls on it.
  const double P = water_input[r][c];
  const double unload = canopy_unload != nullptr ? canopy_unload[r][c] : 0.0;
  const double Pg = glacier_input != nullptr ? glacier_input[r][c] : P;
  double& solid = g.solid[r][c];
  double& liquid = g.liquid[r][c];
  double& glacier_solid = g.glacier_solid[r][c];
  double& glacier_liquid = g.glacier_liquid[r][c];
  const double R = glacier_radiation != nullptr ? glacier_radiation[r][c] : 0.0;
  const double warm = T > T0 ? T - T0 : 0.0;
  const double glacier_pack = glacier_solid + glacier_liquid;
  // The glacier-free pack keeps and releases its tracers as any pack does.
  TracerInput(r, c, P + unload, solid + liquid);
  double cell_melt = 0, glacier_melt = 0;
  if (glacierMethod == 13) {
    const bool energy = IsEnergyBalanceSnowMethod(method);
    SnowCellInput in = CellInput(r, c);
    SnowCellState free_part, glacier_part;
    free_part.solid = solid;
    free_part.liquid = liquid;
    glacier_part.solid = glacier_solid;
    glacier_part.liquid = glacier_liquid;
    if (energy) {
      free_part.snow_temperature = g.snowtemp[r][c];
      free_part.surface_temperature = g.surftemp[r][c];
      glacier_part.snow_temperature = g.glacier_snowtemp[r][c];
      glacier_part.surface_temperature = g.glacier_surftemp[r][c];
    }
    double deposited = 0, sublimation = 0, glacier_sublimation = 0, rain = 0;
    // Each call of the glacier-free part is followed by the glacier part's, which takes the
    // snowfall and rain of that call.
    auto call = [&](double air, double w) {
      in.T = air;
      cell_melt += ComputeSnowCell(cell_settings_, in, w, 0, free_part);
      rain += w * free_part.rain;
      if (free_part.layered_added > 0)
        UpdateLayeredSnow(r, c, 0, 1.0, free_part.layered_added, air);
      if (free_part.layered_removed > 0)
        UpdateLayeredSnow(r, c, 0, 1.0, -free_part.layered_removed, air);
      deposited += free_part.deposited;
      sublimation += free_part.sublimation;
      // The share of snow and the deposition of the glacier-free part, on the glacier part's
      // input.
      glacier_part.snowfall = free_part.snowfall - in.unload + free_part.share * (Pg - P);
      glacier_part.rain = (1.0 - free_part.share) * Pg;
      SnowCellInput glacier_in = in;
      glacier_in.P = Pg;
      glacier_in.unload = 0;
      glacier_melt += ComputeSnowCell(cell_settings_, glacier_in, w, 1, glacier_part);
      glacier_sublimation += glacier_part.sublimation;
    };
    CallsOfStep(r, c, call);
    if (deposited != 0) precipitation[r][c] += deposited;
    if (deposited_) deposited_[r][c] = deposited;
    g.snowfall[r][c] = free_part.snowfall;
    g.rain[r][c] = rain;  // the rain of both calls (see StepCell)
    solid = free_part.solid;
    liquid = free_part.liquid;
    glacier_solid = glacier_part.solid;
    glacier_liquid = glacier_part.liquid;
    if (energy) {
      g.snowtemp[r][c] = free_part.snow_temperature;
      g.surftemp[r][c] = free_part.surface_temperature;
      g.glacier_snowtemp[r][c] = glacier_part.snow_temperature;
      g.glacier_surftemp[r][c] = glacier_part.surface_temperature;
      if (g.balance != nullptr) g.balance[r][c] = free_part.balance;
      if (g.glacier_balance != nullptr) g.glacier_balance[r][c] = glacier_part.balance;
      if (snow_evaporation != nullptr && sublimation != 0) snow_evaporation[r][c] = sublimation;
    }
    // The energy balance sublimates on its own; under the other methods the evaporation model
    // has taken the glacier part's evaporation from its pack already and booked it.
    if (energy && g.glacier_evaporation != nullptr)
      g.glacier_evaporation[r][c] = glacier_sublimation;
  } else {
    const double f = SnowShare(T, T0R, transzone);
    g.snowfall[r][c] = f * P + unload;
    g.rain[r][c] = (1.0 - f) * P;
    solid += f * P + unload;
    liquid += (1.0 - f) * P;
    glacier_solid += f * Pg;
    glacier_liquid += (1.0 - f) * Pg;
    if (f * P + unload > 0) UpdateLayeredSnow(r, c, 0, 1.0, f * P + unload, T);
    const double rate = glacierMethod == 12 ? (MF / steps_per_day + snowRadiationFactor * R) * warm
                                            : warm * DDFsnow / steps_per_day;
    if (warm > 0 && g.total[r][c] > 0) cell_melt = rate;
    if (warm > 0 && g.glacier_total[r][c] > 0) glacier_melt = rate;
    // No energy balance of the glacier-free pack in this step: a cell that the yearly
    // evaluation made a glacier cell must not keep the balance of its last step without glacier,
    // which the layered pack's heat would take as this step's (and which no state keeps).
    if (g.balance != nullptr) g.balance[r][c] = 0;
  }
  // The glacier-free pack refreezes as off glacier: under layered snow with heat transfer the
  // layers' heat does it, so a negative melt form refreezes nothing there.
  if (layeredSnowActive && heatTransferActive) cell_melt = std::max(cell_melt, 0.0);
  const double m = MeltPack(solid, liquid, cell_melt, CWH, g.outflow[r][c], &g.melt[r][c]);
  if (layeredSnowActive && m > 0) HandOverLayeredMelt(r, c, m, T);
  TracerOutflow(r, c, g.outflow[r][c], solid + liquid);
  const double ms =
      MeltPack(glacier_solid, glacier_liquid, glacier_melt, CWH, g.glacier_melt[r][c], nullptr);
  if (warm > 0 && glacier_solid <= 0) MeltFirnAndIce(r, c, warm, R, ms);
  if (tracer_count > 0) GlacierTracerStep(r, c, Pg, glacier_pack);
}

// Once the glacier part's snow is gone, the warmth left after its snow melt `ms` melts firn
// from the firn stack, and ice where the stack gives out.
void schneemodellklasse::MeltFirnAndIce(long r, long c, double warm, double R, double ms) {
  StepGrids& g = step_;
  // Firn and ice melt of methods 12 and 13 use radiation, 11 degree-days.
  const bool radiative = glacierMethod != 11;
  const double d = DebrisFactor(r, c);
  if (g.firn[r][c] > 0) {
    const double rate = radiative ? (MF / steps_per_day + snowRadiationFactor * R) * warm
                                  : warm * DDFfirn / steps_per_day;
    const double firn = std::max(0.0, rate - ms);
    const double left = TakeFirnMelt(firn_WE_stack[r][c], firn_levels, firn, nodata);
    g.firn[r][c] = firn_WE_stack[r][c][0];
    g.firn_melt[r][c] += firn - left;
    g.ice_melt[r][c] += left;
  } else {
    const double rate = radiative ? d * (MF / steps_per_day + iceRadiationFactor * R) * warm
                                  : d * DDFice * warm / steps_per_day;
    g.ice_melt[r][c] = std::max(0.0, rate - ms);
  }
}

void schneemodellklasse::AddGlacierMassBalances() {
  const StepGrids& g = step_;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!TakesCell(r, c) || !(glacier_cells[r][c] > 0)) continue;
      const double code = soil_zone_grid[r][c];
      if (!IsAboveNodata(code, nodata)) continue;
      const long subbasin_code = std::lround(code);
      if (subbasin_code < 0 || subbasin_code > soil_zone_highest) continue;
      GlacierStepFluxes f;
      f.snowfall = g.snowfall[r][c];
      f.rain = g.rain[r][c];
      f.snow_melt = g.glacier_melt[r][c];
      f.firn_melt = g.firn_melt[r][c];
      f.ice_melt = g.ice_melt[r][c];
      if (g.deposition != nullptr) {
        f.deposition = g.deposition[r][c];
        f.mobile_mass = g.mobile_mass[r][c];
        f.input_mass = g.input_mass[r][c];
      }
      if (g.glacier_evaporation != nullptr) f.evaporation = g.glacier_evaporation[r][c];
      g.mass_balance[r][c] += GlacierMassBalanceStep(f);
    }
  });
}

void schneemodellklasse::AddGlacierBalance(long r, long c, int32_t subbasin, double share) {
  const StepGrids& g = step_;
  zonalstatistic* firn_table = glacier_tables_[5].table.get();
  zonalstatistic* balance_table = glacier_tables_[6].table.get();
  zonalstatistic* glacier_part_table = glacier_tables_[7].table.get();
  if (share > 0) {
    firn_table->AddValue(r, c, subbasin, g.firn[r][c], share);
    balance_table->AddValue(r, c, subbasin, g.mass_balance[r][c], share);
    glacier_part_table->AddValue(r, c, subbasin, g.mass_balance[r][c], share);
  }
  const double rest = share > 0 ? 1.0 - share : 1.0;
  firn_table->AddValue(r, c, subbasin, 0.0, rest);
  balance_table->AddValue(r, c, subbasin, 0.0, rest);
}

}  // namespace velorn

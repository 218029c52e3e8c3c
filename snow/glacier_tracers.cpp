// Solute tracers on the glaciers: the stores of the glacier part of a dynamic glacier cell (its
// snow pack, its firn, the ice its firn became), their yearly moves, and the solute of the
// glacier melt through the three linear storages of each subbasin into the soil model's runoff.
//
// Every flow carries the solute of the store it leaves, at that store's concentration, and the
// store it enters mixes it by volume: the glacier part's pack takes the water input's solute as
// the glacier-free pack does and its outflow (the snow melt on the glacier) leaves at most at
// `max_conc`; the firn melt takes the firn's mean concentration; on the evaluation step the
// pack becomes firn with its solute and the oldest firn layer's share of the firn's solute goes
// into the ice. The ice melts from the top: the ice the firn became in this run melts first and
// carries its solute, older ice carries none. A radioactive tracer decays in every store. The
// solute of a glacier part is held per mm of the glacier part's area, as its water is, so the
// yearly change of the glacier areas moves solute as it moves water.
//
// On static glacier cells the glacier part's share of the cell pack's outflow leaves through
// the glacier storages with the outflow's concentration; their ice and firn melt carry none.
#include <algorithm>
#include <cmath>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "core/value_ranges.h"
#include "snow/snow_formulas.h"
#include "snow/snow_model.h"

namespace velorn {
namespace {

// Solute a store of `volume` mm gives with `outflow` mm: its mean concentration times the
// outflow; a mass store loses it (an evaporating tracer's store keeps its concentration).
double TakeGlacierSolute(double& stored, bool evaporating, double volume, double outflow) {
  if (!(outflow > 0)) return 0.0;
  if (evaporating) return stored * outflow;
  if (!(volume > 0)) return 0.0;
  const double taken = stored * std::min(outflow / volume, 1.0);
  stored -= taken;
  return taken;
}

// Solute `solute` (a mass) of `volume` mm joins a store of `before` mm.
void AddGlacierSolute(double& stored, bool evaporating, double before, double volume,
                      double solute) {
  if (!evaporating) {
    stored += solute;
  } else if (volume > 0) {
    stored = velorn::MixConcentration(stored, solute / volume, before, volume);
  }
}

}  // namespace

void schneemodellklasse::SetupGlacierTracers() {
  glacier_tracers_.clear();
  if (glacier_cells == nullptr) return;
  glacier_runoff_concentration_.assign(static_cast<std::size_t>(tracer_count + 1) *
                                           static_cast<std::size_t>(soil_zone_count + 1) * 3,
                                       0.0);
  glacier_storage_solute_.assign(
      static_cast<std::size_t>(tracer_count + 1) * static_cast<std::size_t>(soil_zone_count + 1),
      0.0);
  // A table per tracer, named by the tracer's file name with `code` and labelled `label`.
  const auto make_tables = [&](std::vector<Table>& tables, const char* code, const char* label) {
    tables.resize(static_cast<std::size_t>(tracer_count));
    for (int32_t t = 1; t <= tracer_count; ++t) {
      const TracerDefinition& definition = tracer_definitions[t];
      OutputSetting table;
      table.statistics_name =
          TracerFileName(definition.path, definition.name, code, definition.statext);
      table.statistics_code = definition.statcode;
      MakeTable(tables[static_cast<std::size_t>(t) - 1], table, kSignificantDigitsPrecision,
                FormatText("solute_in_the_glacier_%s_of_tracer_%d_(%s)_[mm_x_conc]", label, t,
                           definition.name.c_str()),
                soil_zone_table.data(), soil_zone_count);
    }
  };
  make_tables(glacier_storage_tables_, "glsto", "storages");
  if (!IsDynamicGlacierMethod(glacierMethod)) return;
  make_tables(glacier_part_tables_, "glpar", "parts_snow_firn_ice");
  glacier_tracers_.resize(static_cast<std::size_t>(tracer_count) + 1);
  // The ice the firn became is state, written with the pack's storage grids and read back
  // where they are, so that a warm start lets its solute leave as the straight run does. A
  // state without it (written before it was kept) counts all ice as older ice.
  GridPlan young{"glacier_young_ice"};
  young.file_name = FixedGridName("youngice");
  young.older_file_name = "youngice.asc";
  young.read_low = 0;
  young.read_high = kLargestIceWaterEquivalent;
  young.read_unit = "mm";
  young_ice_ = MakeStateGrid(young, "the ice the firn became: its melt carries no solute");
  struct Store {
    OwnedGrid GlacierTracer::*grid;
    int GlacierTracer::*index;
    const char* file;
    const char* identifier;
  };
  const Store stores[] = {
      {&GlacierTracer::pack, &GlacierTracer::pack_index, "snowg", "snow_onGlacier"},
      {&GlacierTracer::firn, &GlacierTracer::firn_index, "firn_", "firn"},
      {&GlacierTracer::ice, &GlacierTracer::ice_index, "ice__", "ice"}};
  for (int32_t t = 1; t <= tracer_count; ++t) {
    GlacierTracer& tracer = glacier_tracers_[static_cast<std::size_t>(t)];
    const TracerDefinition& definition = tracer_definitions[t];
    for (const Store& store : stores) {
      const std::string file =
          TracerFileName(definition.path, definition.name, store.file, definition.gridext);
      OwnedGrid& grid = tracer.*store.grid;
      if (grid_read_parameter == 1) {
        double** read = nullptr;
        const std::string older = definition.older_gridext.empty()
                                      ? std::string()
                                      : TracerFileName(definition.path, definition.name, store.file,
                                                       definition.older_gridext);
        const StateGridRead start(StateGridKind::kStartGrid);
        ReadGrid(StateFileToRead(file, older), read, 0, true, false, false, 0, false, false, 0.0);
        grid.reset(read);
      } else {
        grid.reset(AllocateMatrix(*diag, 1, nrows, 1, ncols, nrows));
        double** data = grid.get();
        ForEachRow(first_local_row, last_local_row, [&](long r) {
          for (long c = 1; c <= ncols; ++c)
            data[r][c] = IsNodata(zone_grid[r][c], nodata) ? nodata : 0.0;
        });
      }
      const int index = registry->FirstFreeIndex();
      RegisterGrid(index, file, grid.get(), nullptr, 0,
                   FormatText("concstor_tracer_%d_%s", t, store.identifier), definition.gridcode, 1,
                   nrows);
      tracer.*store.index = index;
    }
    for (GridMatrix& leaving : tracer.leaving)
      leaving = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  }
}

double schneemodellklasse::GlacierStorageSolute(int32_t t, int32_t subbasin) const {
  const std::size_t at =
      static_cast<std::size_t>(t) * static_cast<std::size_t>(soil_zone_count + 1) +
      static_cast<std::size_t>(subbasin);
  return at < glacier_storage_solute_.size() ? glacier_storage_solute_[at] : 0.0;
}

void schneemodellklasse::ReleaseGlacierTracers() {
  glacier_storage_solute_.clear();
  for (std::vector<Table>* group : {&glacier_storage_tables_, &glacier_part_tables_}) {
    for (Table& table : *group)
      if (table.table) table.table->ReleaseMemory();
    group->clear();
  }
  for (std::size_t t = glacier_tracers_.size(); t-- > 1;) {
    GlacierTracer& tracer = glacier_tracers_[t];
    for (int* index : {&tracer.ice_index, &tracer.firn_index, &tracer.pack_index}) {
      if (*index > 0) UnregisterGrid(*index);
      *index = 0;
    }
  }
  glacier_tracers_.clear();
  young_ice_ = nullptr;
  // The concentrations of the glacier storages' water stay for the storage file, which the
  // release of the model appends after the tracers are gone.
}

void schneemodellklasse::GlacierTracerStep(long r, long c, double P, double pack_before) {
  const StepGrids& g = step_;
  const double pack = g.glacier_solid[r][c] + g.glacier_liquid[r][c];
  const double outflow = g.glacier_melt[r][c];
  const double firn_melt = g.firn_melt[r][c];
  const double firn_before = g.firn[r][c] + firn_melt;
  double& young = young_ice_[r][c];
  const double young_before = young;
  const double young_melt = std::min(g.ice_melt[r][c], young);
  young -= young_melt;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    const TracerDefinition& tracer = tracer_definitions[t];
    const bool evaporating = tracer.evaporating == 1;
    GlacierTracer& stores = glacier_tracers_[static_cast<std::size_t>(t)];
    double& on_pack = stores.pack.get()[r][c];
    double& firn = stores.firn.get()[r][c];
    double& ice = stores.ice.get()[r][c];
    if (tracer.radioactive == 1) {
      const double decay = tracer_blocks[t].decay_factor;
      on_pack *= decay;
      firn *= decay;
      ice *= decay;
    }
    if (P > 0) {
      const double incoming =
          LinkData(glacier_tracer_input_index_[static_cast<std::size_t>(t)])[r][c];
      on_pack = PackSoluteAfterInput(on_pack, evaporating, pack_before, P, incoming);
    }
    // The pack's outflow as the glacier-free pack's.
    double snow = on_pack * outflow;
    if (!evaporating) {
      snow = PackSoluteOutflow(on_pack, outflow, pack, tracer.max_conc);
      on_pack -= snow;
    }
    stores.leaving[0][r][c] = snow;
    stores.leaving[1][r][c] = TakeGlacierSolute(firn, evaporating, firn_before, firn_melt);
    stores.leaving[2][r][c] = TakeGlacierSolute(ice, evaporating, young_before, young_melt);
  }
}

void schneemodellklasse::ClearGlacierTracerOutflow(long r, long c) {
  for (std::size_t t = 1; t < glacier_tracers_.size(); ++t)
    for (GridMatrix& leaving : glacier_tracers_[t].leaving) leaving[r][c] = 0;
}

void schneemodellklasse::GlacierTracerYear(long r, long c, const GlacierCellState& before,
                                           const GlacierCellState& after, double moved,
                                           double oldest) {
  const bool created = before.fraction <= 0;
  if (created && !(after.fraction > 0)) return;
  const double f = after.fraction;
  const double spread = f < 1 ? (1 - f) / f : 0.0;
  const double cell = before.cell.total;
  // The glacier part's snow of the year, which becomes the youngest firn layer.
  const double year_snow = (created ? cell : before.glacier.total) + spread * moved;
  const double firn_before = created ? 0.0 : before.firn_total;
  // A new glacier cell's old firn layers are dropped, not turned into ice.
  if (created) oldest = 0;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    const bool evaporating = tracer_definitions[t].evaporating == 1;
    GlacierTracer& stores = glacier_tracers_[static_cast<std::size_t>(t)];
    double& free_pack = tracer_blocks[t].concentration.get()[r][c];
    double& on_pack = stores.pack.get()[r][c];
    double& firn = stores.firn.get()[r][c];
    double& ice = stores.ice.get()[r][c];
    // A new glacier part starts with the cell's pack; older firn of the cell is gone.
    if (created) {
      on_pack = free_pack;
      firn = 0;
    }
    const double pack_before = created ? cell : before.glacier.total;
    if (f < 1) {
      const double excess = TakeGlacierSolute(free_pack, evaporating, cell, moved);
      AddGlacierSolute(on_pack, evaporating, pack_before, spread * moved, spread * excess);
    } else if (!evaporating) {
      free_pack = 0;  // the glacier-free part is gone with its pack
    }
    const double to_ice = TakeGlacierSolute(firn, evaporating, firn_before, oldest);
    AddGlacierSolute(ice, evaporating, young_ice_[r][c], oldest, to_ice);
    const double solute = evaporating ? on_pack * year_snow : on_pack;
    AddGlacierSolute(firn, evaporating, firn_before - oldest, year_snow, solute);
    on_pack = 0;
  }
  young_ice_[r][c] += oldest;
}

double schneemodellklasse::GlacierPartOutflowSolute(int32_t t, long r, long c) const {
  if (t < 1 || t > tracer_count || glacier_cells == nullptr) return 0.0;
  if (!IsDynamicGlacierMethod(glacierMethod))
    return step_.outflow != nullptr ? tracer_blocks[t].flux.get()[r][c] * StaticGlacierOutflow(r, c)
                                    : 0.0;
  if (static_cast<std::size_t>(t) >= glacier_tracers_.size()) return 0.0;
  double solute = 0;
  for (const GridMatrix& leaving : glacier_tracers_[static_cast<std::size_t>(t)].leaving)
    if (leaving) solute += leaving[r][c];
  return solute;
}

void schneemodellklasse::AddGlacierTracerSums(long r, long c, const double* melts, double weight,
                                              bool on_firn, ExactSum* sums) const {
  const double firn_share = on_firn ? 1.0 : 0.0;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    double snow = 0, firn = 0, ice = 0;
    if (!glacier_tracers_.empty()) {
      const GlacierTracer& stores = glacier_tracers_[static_cast<std::size_t>(t)];
      snow = stores.leaving[0][r][c];
      firn = stores.leaving[1][r][c];
      ice = stores.leaving[2][r][c];
    } else {
      snow = tracer_blocks[t].flux.get()[r][c] * melts[2];  // the cell pack's outflow
    }
    ExactSum* s = sums + kGlacierWaterSums + 3 * (t - 1);
    s[0].Add(ice * weight);
    s[1].Add((firn_share * snow + firn) * weight);
    s[2].Add((1.0 - firn_share) * snow * weight);
  }
}

void schneemodellklasse::RouteGlacierTracers(int32_t i, const ExactSum* sums, const double* inflow,
                                             double fg, double scale, double weight) {
  const double content[3] = {Qice_els[i], Qfirn_els[i], Qsnow_els[i]};
  const double k[3] = {kice_els, kfirn_els, ksnow_els};
  const std::size_t subbasins = static_cast<std::size_t>(soil_zone_count) + 1;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    double* concentration =
        &glacier_runoff_concentration_[(static_cast<std::size_t>(t) * subbasins + i) * 3];
    double water = 0, solute = 0, held = 0;
    for (int s = 0; s < 3; ++s) {
      const double out = LinearStorageStep(content[s], k[s], inflow[s], fg);
      const double keep = std::exp(-1.0 / k[s]);
      const double water_sum = sums[s].Value();  // the inflow's sum, of which `inflow` is a mean
      const double in =
          water_sum > 0 ? sums[kGlacierWaterSums + 3 * (t - 1) + s].Value() / water_sum : 0.0;
      concentration[s] =
          out > 0 && fg > 0
              ? ((1.0 - keep) * inflow[s] / fg * in + keep * content[s] * concentration[s]) / out
              : 0.0;
      water += out;
      solute += out * concentration[s];
      // A storage whose outflow is q holds e / (1 - e) q, mixed at its outflow's concentration.
      held += keep / (1.0 - keep) * out * concentration[s];
    }
    if (Qg != nullptr) Qg[t][i] = water > 0 ? solute / water : 0.0;
    glacier_storage_solute_[static_cast<std::size_t>(t) * subbasins + static_cast<std::size_t>(i)] =
        held;
    if (weight > 0 && static_cast<std::size_t>(t) <= glacier_storage_tables_.size())
      glacier_storage_tables_[static_cast<std::size_t>(t) - 1].table->AddValue(
          0, 0, i, held * fg * scale, weight);
  }
}

}  // namespace velorn

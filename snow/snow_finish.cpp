// The snow model's end of a time step, after the soil sub-steps: the zone statistics of every
// own cell, the glacier melt of each subbasin through the three linear storages (process 0)
// into the soil model's runoff `Qg`, and the grid output. Also the flush of the tables.
//
// The glacier storages take the step's subbasin means of ice, firn and snow-on-ice melt. They
// are summed here exactly (ExactSum, summed over the processes onto process 0), so the storages
// do not depend on the number of processes nor on the interval of the melt tables, whose records
// hold interval sums.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/error_code.h"
#include "core/exact_sum.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "core/tracer_bookkeeping.h"
#include "grids/mpi_layout.h"
#include "snow/snow_formulas.h"
#include "snow/snow_model.h"
#include "snow/snow_slide.h"

namespace velorn {

// Per subbasin: the area-weighted sums of ice, firn and snow-on-ice melt times the glacier share,
// the sum of area weights and the number of cells, then per tracer the solute of the three melts.
std::size_t schneemodellklasse::GlacierSumStride() const {
  return static_cast<std::size_t>(kGlacierWaterSums + 3 * tracer_count);
}

void schneemodellklasse::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  for (Table* table : AllTables())
    if (table->table) table->table->FlushBuffers();
}

void schneemodellklasse::AddCellStatistics(long r, long c) {
  const StepGrids& g = step_;
  const int32_t zone = zone_code_index[static_cast<int32_t>(zone_grid[r][c])];
  const double* values[] = {g.outflow[r], g.melt[r],     nullptr,   g.days[r],
                            g.age[r],     g.snowfall[r], g.rain[r], albedo[r]};
  // The snow on the ground: with layered snow the pack of the layers (the total storage grid
  // holds it as well), else this model's own.
  const double pack = GroundPack(r, c);
  for (std::size_t t = 0; t < 8; ++t)
    snow_tables_[t].table->AddValue(r, c, zone, values[t] != nullptr ? values[t][c] : pack, 1.0);
  if (IsEnergyBalanceSnowMethod(method)) {
    if (g.snowtemp[r][c] > nodata + 1)
      snow_tables_[8].table->AddValue(r, c, zone, g.snowtemp[r][c], 1);
    if (g.surftemp[r][c] > nodata + 1)
      snow_tables_[9].table->AddValue(r, c, zone, g.surftemp[r][c], 1);
  }
  if (IsSlideSnowMethod(method)) {
    const std::size_t first = IsEnergyBalanceSnowMethod(method) ? 10 : 8;
    const double* slides[] = {g.input_mass[r], g.mobile_mass[r], g.deposition[r]};
    for (std::size_t t = 0; t < 3; ++t)
      snow_tables_[first + t].table->AddValue(r, c, zone, slides[t][c], 1.0);
  }
  if (thaw_depth_table_.table) thaw_depth_table_.table->AddValue(r, c, zone, thaw_depth[r][c], 1);
  const double value = glacier_cells != nullptr ? glacier_cells[r][c] : 0.0;
  const double share = IsAboveNodata(value, nodata) ? std::clamp(value, 0.0, 1.0) : 0.0;
  for (int32_t t = 1; t <= tracer_count && share == 0; ++t)
    if (zonalstatistic* table = tracer_blocks[t].statistics.get())
      table->AddValue(r, c, zone, tracer_blocks[t].concentration.get()[r][c], 1.0);
  AddGlacierCellStatistics(r, c);
}

void schneemodellklasse::AddGlacierCellStatistics(long r, long c) {
  if (glacier_cells == nullptr) return;
  const StepGrids& g = step_;
  const int32_t zone = zone_code_index[static_cast<int32_t>(zone_grid[r][c])];
  const double pack = g.solid[r][c] + g.liquid[r][c];
  const double value = glacier_cells[r][c];
  const double share = IsAboveNodata(value, nodata) ? std::clamp(value, 0.0, 1.0) : 0.0;
  // The glacier-free part's snow: with layered snow the pack of the layers.
  const double free_pack = layeredSnowActive && layer_solid != nullptr ? LayeredPack(r, c) : pack;
  glacier_tables_[4].table->AddValue(r, c, zone, free_pack, 1.0 - share);
  glacier_tables_[4].table->AddValue(r, c, zone, 0.0, share);
  const double code = soil_zone_grid[r][c];
  if (!IsAboveNodata(code, nodata)) return;
  const long subbasin_code = std::lround(code);
  if (subbasin_code < 0 || subbasin_code > soil_zone_highest) return;
  const int32_t subbasin = soil_zone_index[static_cast<std::size_t>(subbasin_code)];
  // On a dynamic glacier the glacier part's snow melt counts with the firn melt where firn lies.
  // Static glaciers keep no pack of their own: the glacier part's share of the cell pack's
  // outflow (melt and rain) leaves through the glacier storages, as the soil zone takes only the
  // glacier-free part's (it would otherwise be lost).
  double snow_melt = g.glacier_melt != nullptr && share > 0 ? g.glacier_melt[r][c] : 0.0;
  if (share > 0 && !IsDynamicGlacierMethod(glacierMethod)) snow_melt = StaticGlacierOutflow(r, c);
  const double on_firn = g.firn != nullptr && g.firn[r][c] > 0 ? 1.0 : 0.0;
  const double melts[3] = {on_firn * snow_melt + g.firn_melt[r][c], g.ice_melt[r][c],
                           (1.0 - on_firn) * snow_melt};
  for (int t = 0; t < 3; ++t) {
    if (share > 0) glacier_tables_[t].table->AddValue(r, c, subbasin, melts[t], share);
    glacier_tables_[t].table->AddValue(r, c, subbasin, 0.0, share > 0 ? 1.0 - share : 1.0);
  }
  if (IsDynamicGlacierMethod(glacierMethod)) AddGlacierBalance(r, c, subbasin, share);
  for (std::size_t t = 1; t <= glacier_part_tables_.size() && t < glacier_tracers_.size(); ++t) {
    const GlacierTracer& stores = glacier_tracers_[t];
    zonalstatistic* table = glacier_part_tables_[t - 1].table.get();
    if (share > 0)
      table->AddValue(r, c, subbasin,
                      stores.pack.get()[r][c] + stores.firn.get()[r][c] + stores.ice.get()[r][c],
                      share);
    table->AddValue(r, c, subbasin, 0.0, share > 0 ? 1.0 - share : 1.0);
  }
  const double area = relative_cell_area != nullptr && relative_cell_area[r][c] > -9999.0
                          ? relative_cell_area[r][c]
                          : 1.0;
  ExactSum* sums = &glacier_step_sums_[static_cast<std::size_t>(subbasin) * GlacierSumStride()];
  sums[0].Add(melts[1] * share * area);
  sums[1].Add(melts[0] * share * area);
  sums[2].Add(melts[2] * share * area);
  sums[3].Add(area);
  sums[4].Add(1.0);
  if (share > 0 && tracer_count > 0)
    AddGlacierTracerSums(r, c, melts, share * area, on_firn > 0, sums);
}

// Process 0: the three linear storages of every glacierized subbasin and the soil runoff.
void schneemodellklasse::RouteGlacierMelt() {
  ReduceExactSumsToRoot(glacier_step_sums_);
  zonalstatistic* total = glacier_tables_[3].table.get();
  zonalstatistic* water = glacier_storage_water_table_.table.get();
  if (rank == 0) {
    for (int32_t i = 1; i <= soil_zone_count; ++i) {
      const ExactSum* sums = &glacier_step_sums_[static_cast<std::size_t>(i) * GlacierSumStride()];
      const double weights = sums[3].Value();
      const double cells = sums[4].Value();
      const GlacierShareRecord& record = glacier_shares[static_cast<std::size_t>(i)];
      double runoff = 0, held = 0;
      if (record.hasGlacier) {
        const double sum = record.glacierized + record.nonGlacierized;
        const double fg = sum > 0 ? record.glacierized / sum : 0.0;
        const double mean = weights > 0 ? 1.0 / weights : 0.0;
        const double inflow[3] = {sums[0].Value() * mean, sums[1].Value() * mean,
                                  sums[2].Value() * mean};
        if (tracer_count > 0)
          RouteGlacierTracers(i, sums, inflow, fg, weights > 0 ? cells / weights : 0, weights);
        Qice_els[i] = LinearStorageStep(Qice_els[i], kice_els, inflow[0], fg);
        Qfirn_els[i] = LinearStorageStep(Qfirn_els[i], kfirn_els, inflow[1], fg);
        Qsnow_els[i] = LinearStorageStep(Qsnow_els[i], ksnow_els, inflow[2], fg);
        const double scale = fg * (weights > 0 ? cells / weights : 0);
        runoff = (Qice_els[i] + Qfirn_els[i] + Qsnow_els[i]) * scale;
        // A storage whose outflow is q holds e / (1 - e) q.
        for (const auto& [q, k] :
             {std::pair{Qice_els[i], kice_els}, std::pair{Qfirn_els[i], kfirn_els},
              std::pair{Qsnow_els[i], ksnow_els}}) {
          const double keep = std::exp(-1.0 / k);
          held += keep < 1 ? keep / (1.0 - keep) * q * scale : 0.0;
        }
      }
      // A subbasin without glacier gives none: a glacier that the evaluation at the end of this
      // step starts in it joins the soil's runoff to this 0, not to the last step's runoff.
      if (Qg != nullptr) Qg[0][i] = runoff;
      if (weights > 0) total->AddValue(0, 0, i, runoff, weights);
      if (weights > 0) water->AddValue(0, 0, i, held, weights);
      if (!record.hasGlacier && weights > 0)
        for (Table& table : glacier_storage_tables_) table.table->AddValue(0, 0, i, 0.0, weights);
    }
  }
  const ModelDate& d = step_date;
  total->CollectStep(d.year, d.month, d.day, d.hour, 1);
  water->CollectStep(d.year, d.month, d.day, d.hour, 1);
  for (std::vector<Table>* group : {&glacier_storage_tables_, &glacier_part_tables_})
    for (Table& table : *group) table.table->CollectStep(d.year, d.month, d.day, d.hour, 1);
}

void schneemodellklasse::CopyResponseUnits() {
  if (response_unit_switch == 0 || response_unit_table == nullptr || response_units == nullptr ||
      master_response_units == nullptr)
    return;
  const StepGrids& g = step_;
  std::vector<double**> grids = {g.total,    g.solid, g.liquid, g.days,    g.age,
                                 g.snowfall, g.rain,  albedo,   g.outflow, g.melt};
  if (IsEnergyBalanceSnowMethod(method)) {
    grids.insert(grids.end(), {g.snowtemp, g.surftemp});
    // The energy balance books its sublimation (or the vapour it deposits) in the snow
    // evaporation grid after evapotranspiration shared its values: a member takes the master's
    // with the pack it changed.
    if (snow_evaporation != nullptr) grids.push_back(snow_evaporation);
  }
  if (IsSlideSnowMethod(method))
    grids.insert(grids.end(), {g.input_mass, g.mobile_mass, g.deposition});
  if (glacier_cells != nullptr) grids.insert(grids.end(), {g.firn_melt, g.ice_melt});
  if (own_outflow_) grids.push_back(own_outflow_.get());
  // Dynamic glaciers: the glacier part's storages and fluxes, the firn total, the mass balance
  // and every level of the firn stack, so the annual update finds the master's glacier state in
  // each cell of its unit.
  double*** firn_stack = nullptr;
  if (IsDynamicGlacierMethod(glacierMethod)) {
    for (double** grid :
         {g.glacier_solid, g.glacier_liquid, g.glacier_total, g.glacier_melt, g.glacier_evaporation,
          g.glacier_snowtemp, g.glacier_surftemp, g.glacier_balance, g.firn, g.mass_balance})
      if (grid != nullptr) grids.push_back(grid);
    firn_stack = firn_WE_stack;
  }
  // Tracers: the pack's solute and its outflow's concentration, on dynamic glaciers also the
  // glacier part's snow, firn and ice solute, what their melt carried and the young ice.
  for (int32_t t = 1; t <= tracer_count; ++t) {
    grids.insert(grids.end(), {tracer_blocks[t].concentration.get(), tracer_blocks[t].flux.get()});
    if (static_cast<std::size_t>(t) >= glacier_tracers_.size()) continue;
    GlacierTracer& glacier = glacier_tracers_[static_cast<std::size_t>(t)];
    grids.insert(grids.end(), {glacier.pack.get(), glacier.firn.get(), glacier.ice.get()});
    for (GridMatrix& leaving : glacier.leaving)
      if (leaving) grids.push_back(leaving.get());
  }
  if (young_ice_ != nullptr) grids.push_back(young_ice_);
  const std::size_t levels = firn_stack != nullptr ? static_cast<std::size_t>(firn_levels) + 1 : 0;
  const UnitResults masters = ShareUnitResults(
      *response_unit_table, grids.size() + levels, first_local_row, last_local_row, column_ranges,
      [&](long r, long c) { return TakesCell(r, c); },
      [&](long r, long c, double* out) {
        for (double** grid : grids) *out++ = grid[r][c];
        if (firn_stack != nullptr) std::copy(firn_stack[r][c], firn_stack[r][c] + levels, out);
      });
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(zone_grid[r][c], nodata) || IsNotNodata(master_response_units[r][c], nodata))
        continue;
      if (owner_grid != nullptr && owner_grid[r][c] != static_cast<double>(rank)) continue;
      const double* values = masters.Require(*diag, module_name, response_units[r][c], r, c);
      for (double** grid : grids) grid[r][c] = *values++;
      if (firn_stack == nullptr) continue;
      std::copy(values, values + levels, firn_stack[r][c]);
      // A member with a glacier share whose master has none (no firn layers, nodata) keeps a
      // glacier without firn.
      if (glacier_cells[r][c] > 0 && IsNodata(firn_stack[r][c][0], nodata)) {
        std::fill(firn_stack[r][c], firn_stack[r][c] + levels, 0.0);
        g.firn[r][c] = 0;
      }
    }
  });
}

// Process 0 takes the storages of every process with the solute of their tracers, moves the
// sliding snow over the whole grid and hands every process its rows back, with the three slide
// grids of the step.
void schneemodellklasse::RedistributeLateralSnow() {
  std::vector<const OwnGrid*> storages;
  const char* moved[] = {"snow_storage_total",          "snowstorage_liquid",
                         "snowstorage_solid",           "TotalSnowStorage_onGlacier",
                         "LiquidSnowStorage_onGlacier", "SolidSnowStorage_onGlacier"};
  for (std::size_t i = 0; i < std::size(moved); ++i) {
    if (i >= 3 && !IsDynamicGlacierMethod(glacierMethod)) break;
    if (const OwnGrid* grid = FindOwnGrid(moved[i])) storages.push_back(grid);
  }
  std::vector<SlideTracerGrids> tracers;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    SlideTracerGrids tracer;
    tracer.pack = tracer_blocks[t].concentration.get();
    tracer.evaporating = tracer_definitions[t].evaporating == 1;
    if (IsDynamicGlacierMethod(glacierMethod) &&
        static_cast<std::size_t>(t) < glacier_tracers_.size())
      tracer.glacier_pack = glacier_tracers_[static_cast<std::size_t>(t)].pack.get();
    tracers.push_back(tracer);
  }
  for (const OwnGrid* grid : storages) MPIGatherGrid(grid->index, grid->grid);
  // A tracer grid read from a state file holds only this process's rows: process 0 moves the
  // solute on whole copies and takes its own cells back afterwards.
  std::vector<std::pair<double**, GridMatrix>> whole;
  for (SlideTracerGrids& tracer : tracers) {
    for (double*** grid : {&tracer.pack, &tracer.glacier_pack}) {
      if (*grid == nullptr) continue;
      whole.emplace_back(*grid, MPIGatherGridCopy(0, *grid));
      if (whole.back().second) *grid = whole.back().second.get();
    }
  }
  if (rank == 0) {
    SlideGrids grids;
    grids.zone = zone_grid;
    grids.order_row = OwnData("elev_order_row");
    grids.order_col = OwnData("elev_order_col");
    grids.slope = slope_angle;
    grids.fraction = slidefraction;
    grids.max_deposition = OwnData("max_deposition");
    grids.input_mass = step_.input_mass;
    grids.mobile_mass = step_.mobile_mass;
    grids.deposition = step_.deposition;
    grids.pack = {step_.total, step_.liquid, step_.solid};
    if (IsDynamicGlacierMethod(glacierMethod)) {
      grids.glacier = glacier_cells;
      grids.glacier_pack = {OwnData("TotalSnowStorage_onGlacier"),
                            OwnData("LiquidSnowStorage_onGlacier"),
                            OwnData("SolidSnowStorage_onGlacier")};
    }
    grids.tracers = tracers;
    RedistributeSnow(grids, SlideSettings{minSlideSlope, slideMassFrac, nodata},
                     static_cast<int32_t>(nrows), static_cast<int32_t>(ncols), column_ranges);
  }
  for (const OwnGrid* grid : storages) MPIScatterGrid(grid->index, grid->grid);
  for (auto& [grid, copy] : whole) {
    MPIScatterGrid(0, copy ? copy.get() : grid);
    if (!copy) continue;
    double** moved_cells = copy.get();
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c)
        if (mpi->regions[r][c] == 0.0) grid[r][c] = moved_cells[r][c];
    });
  }
  for (const char* identifier : {"input_mass", "mobile_mass", "deposition"})
    if (const OwnGrid* grid = FindOwnGrid(identifier)) MPIScatterGrid(grid->index, grid->grid);
}

double schneemodellklasse::LayeredIce(long r, long c) const {
  double ice = 0;
  for (int j = 1; j <= snow_layers; ++j) ice += layer_solid[r][c][j];
  return ice;
}

double schneemodellklasse::LayeredLiquid(long r, long c) const {
  double water = 0;
  for (int j = 1; j <= snow_layers; ++j) water += layer_liquid[r][c][j];
  return water;
}

// Under layered snow the pack on the soil columns is the snow on the ground (the water balance
// counts it): the soil step melts and refreezes its layers by their heat, besides the snow
// model's own melt, which the snow step handed over. The snow model's solid storage takes what the
// soil step changed of the layers' ice, so that the alignment below moves only what the
// redistribution and the response units moved and never adds back ice the soil step melted.
void schneemodellklasse::TakeLayeredSnowMelt() {
  if (!layeredSnowActive || layer_solid == nullptr || !layer_ice_of_step_) return;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      double& before = layer_ice_of_step_[r][c];
      if (!IsAboveNodata(before, nodata)) continue;
      const double old = step_.solid[r][c];
      const double solid = std::max(0.0, old + LayeredIce(r, c) - before);
      before = nodata;
      // A static glacier's part of the cell keeps this pack, the layers being the glacier-free
      // part's snow: it melts with them, the water leaving with its outflow (its glacier part
      // through the glacier storages), and keeps no ice the layers refroze of their own water.
      const bool glacier_part = StaticGlacierShare(r, c) > 0;
      if (glacier_part && solid > old) continue;
      if (glacier_part) step_.outflow[r][c] += old - solid;
      if (glacier_part && own_outflow_) own_outflow_[r][c] += old - solid;
      step_.solid[r][c] = solid;
      if (step_.total != nullptr) step_.total[r][c] += solid - old;
    }
  });
}

double schneemodellklasse::StaticGlacierShare(long r, long c) const {
  if (glacier_cells == nullptr || IsDynamicGlacierMethod(glacierMethod) ||
      !IsAboveNodata(glacier_cells[r][c], nodata))
    return 0.0;
  return std::clamp(glacier_cells[r][c], 0.0, 1.0);
}

double schneemodellklasse::GroundPack(long r, long c) const {
  const double own = step_.solid[r][c] + step_.liquid[r][c];
  if (!layeredSnowActive || layer_solid == nullptr) return own;
  const double share = StaticGlacierShare(r, c);
  return (1.0 - share) * LayeredPack(r, c) + share * own;
}

double schneemodellklasse::LayeredPack(long r, long c) const {
  double water = 0;
  for (int j = 1; j <= snow_layers; ++j) water += layer_solid[r][c][j] + layer_liquid[r][c][j];
  return water;
}

void schneemodellklasse::HandOverLayeredMelt(long r, long c, double melt, double T) {
  const double before = LayeredIce(r, c);
  UpdateLayeredSnow(r, c, 0, 1.0, -melt, T);
  layer_liquid[r][c][0] += std::max(0.0, before - layer_solid[r][c][0]);
}

// Under layered snow the layers are the snow that slides. This model's pack keeps liquid water the
// layers have already handed to the soil (its melt), and its solid storage may differ from their
// ice by what the alignment leaves: sliding that pack, the layers of a subbasin would gain or
// lose what its liquid water and those differences moved. So before the redistribution the
// storages take the ice and the liquid water of the layers, after it the layers change by what
// it changed of each cell's pack (a cell that lost snow gives the same share of every layer, one
// that gained takes fresh snow), and the storages take the layers' again. A static glacier's
// part keeps its own pack.
void schneemodellklasse::SlideLayeredSnow(bool after) {
  if (!layeredSnowActive || layer_solid == nullptr || !slide_pack_) return;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(zone_grid[r][c], nodata) || StaticGlacierShare(r, c) > 0) continue;
      if (owner_grid != nullptr && owner_grid[r][c] != static_cast<double>(rank)) continue;
      if (after) {
        const double change = step_.solid[r][c] + step_.liquid[r][c] - slide_pack_[r][c];
        if (change < 0) {
          LayeredSnowCell cell = LayeredCell(r, c);
          TakeLayeredShareCell(cell, snow_layers, -change);
          upper_snow_index[r][c] = cell.top;
        } else if (change > 0) {
          UpdateLayeredSnow(r, c, 0, 1.0, change, AlignmentTemperature(r, c));
        }
      }
      step_.solid[r][c] = LayeredIce(r, c);
      step_.liquid[r][c] = LayeredPack(r, c) - step_.solid[r][c];
      slide_pack_[r][c] = step_.solid[r][c] + step_.liquid[r][c];
      if (step_.total != nullptr) step_.total[r][c] = slide_pack_[r][c];
    }
  });
}

double schneemodellklasse::AlignmentTemperature(long r, long c) const {
  return AlignmentTemperature(r, c, temperature);
}

double schneemodellklasse::AlignmentTemperature(long r, long c, double** air) const {
  const int n = snow_layers;
  const int top = static_cast<int>(upper_snow_index[r][c]);
  if (heatTransferActive && layer_temperature != nullptr && top <= n)
    return layer_temperature[r][c][(top + n) / 2];
  return std::min(air[r][c], 0.0);
}

// A snow survey sets this model's storages; under layered snow the layers are the snow on the
// ground that melts into the soil and that the water balance counts, so they take the surveyed
// ice and liquid water at once. Left to the alignment at the end of the step, the survey's snow
// would reach the layers only after the step had melted it from this model's storages (a melt the
// empty layers cannot hand to the soil) and evaporated it from layers that did not hold it.
// The survey comes before this model's step: the temperature it reads (corrected for radiation,
// or the canopy's) is still the step before's then, or none at the first step of a warm start,
// so the snow that enters empty layers takes the air temperature interpolated for this step.
// A survey of one storage alone (a rule on the solid or the liquid storage, without the split)
// leaves the layers their own of the other: this model's pack may hold liquid water the layers
// have already handed to the soil.
void schneemodellklasse::TakeSurveyedSnow(double** surveyed, bool solid_set, bool liquid_set) {
  if (!layeredSnowActive || layer_solid == nullptr || GetFlowControl() == 0) return;
  if (!solid_set && !liquid_set) return;
  double** const solid = OwnData("snowstorage_solid");
  double** const liquid = OwnData("snowstorage_liquid");
  double** interpolated = OptionalGrid("temperature");
  double** const air = interpolated != nullptr ? interpolated : temperature;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(zone_grid[r][c], nodata) || surveyed[r][c] == nodata) continue;
      if (owner_grid != nullptr && owner_grid[r][c] != static_cast<double>(rank)) continue;
      const double ice = solid_set ? solid[r][c] : LayeredIce(r, c);
      const double water = liquid_set ? liquid[r][c] : LayeredLiquid(r, c);
      LayeredSnowCell cell = LayeredCell(r, c);
      SetLayeredSnowCell(cell, snow_layers, snow_layer_limits, ice, water,
                         AlignmentTemperature(r, c, air), dTOffsetFreshSnow);
      upper_snow_index[r][c] = cell.top;
    }
  });
}

void schneemodellklasse::AlignLayeredSnow() {
  if (!layeredSnowActive || layer_solid == nullptr) return;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsNodata(zone_grid[r][c], nodata)) continue;
      if (owner_grid != nullptr && owner_grid[r][c] != static_cast<double>(rank)) continue;
      if (layer_alignment != nullptr) layer_alignment[r][c] = 0;
      const double difference = step_.solid[r][c] - layer_solid[r][c][0];
      // Nothing moves the pack of a static glacier's part but its own rules, which keep it apart
      // from the layers.
      const bool apart =
          StaticGlacierShare(r, c) > 0 && response_unit_switch == 0 && !IsSlideSnowMethod(method);
      if (!apart && std::fabs(difference) > 0.0005) {
        const double before = LayeredPack(r, c);
        UpdateLayeredSnow(r, c, 0, 1.0, difference, AlignmentTemperature(r, c));
        if (layer_alignment != nullptr) layer_alignment[r][c] = LayeredPack(r, c) - before;
      }
      // The total storage is the snow on the ground: the layers' ice and liquid water (and a
      // static glacier's part's pack).
      if (step_.total != nullptr) step_.total[r][c] = GroundPack(r, c);
    }
  });
}

void schneemodellklasse::FinishStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  step_date = ModelDate{year, month, day, hour};
  ResolveStepGrids();
  TakeLayeredSnowMelt();
  // The redistribution runs without response units only, so it never meets the copy.
  if (response_unit_switch == 0 && IsSlideSnowMethod(method)) {
    SlideLayeredSnow(false);
    RedistributeLateralSnow();
    SlideLayeredSnow(true);
  }
  if (glacier_cells != nullptr && IsDynamicGlacierMethod(glacierMethod)) AddGlacierMassBalances();
  CopyResponseUnits();
  AlignLayeredSnow();
  if (glacier_cells != nullptr) {
    for (ExactSum& sum : glacier_step_sums_) sum.Reset();
    glacier_step_sums_.resize(static_cast<std::size_t>(soil_zone_count + 1) * GlacierSumStride());
  }
  // Tables hold no lock: one thread adds, in row order. Every own cell counts, the members of a
  // response unit with the results they took from their master; the glacier storages take the
  // melt of every cell of a subbasin, as the subbasin's runoff and its water account count them.
  for (int32_t r = first_local_row; r <= last_local_row; ++r)
    for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (OwnsCell(r, c)) AddCellStatistics(r, c);
  const ModelDate& d = step_date;
  for (std::size_t t = 0; t < snow_tables_.size(); ++t)
    snow_tables_[t].table->CollectStep(d.year, d.month, d.day, d.hour, 1);
  if (glacier_cells != nullptr) {
    for (std::size_t t = 0; t < glacier_tables_.size(); ++t)
      if (t != 3) glacier_tables_[t].table->CollectStep(d.year, d.month, d.day, d.hour, 1);
    RouteGlacierMelt();
    // The evaluation comes once a year, on the step that ends the evaluation day: by the pace
    // the model steps at (a snow interval longer than that step would end the day on two steps).
    const double step_hours = step_pace_hours > 0 ? step_pace_hours : time_interval / 60.0;
    if (IsDynamicGlacierMethod(glacierMethod) &&
        IsGlacierEvaluationStep(hour, day, month, step_hours, time_shift, GMBEvalDay,
                                GMBEvalMonth)) {
      if (glacier_evaluation_hook) glacier_evaluation_hook(false);
      UpdateGlaciersOfYear();
      if (glacier_evaluation_hook) glacier_evaluation_hook(true);
    }
  }
  if (thaw_depth_table_.table)
    thaw_depth_table_.table->CollectStep(d.year, d.month, d.day, d.hour, 1);
  std::vector<const char*> outputs = {
      "snow_storage_total", "snowstorage_solid", "snowstorage_liquid",
      "days_snow",          "snow_age",          "snow_fraction",
      "rain_fraction",      "snowcover_outflow", "melt_from_snowcover",
      "snow_albedo_state"};
  if (thaw_depth != nullptr)
    outputs.insert(outputs.end(), {"SnowFreeDaysGrid", "SnowCoverDaysGrid", "PermafrostRootDepth"});
  if (method == 5 || method == 11) outputs.insert(outputs.end(), {"snowtemp", "surftemp"});
  if (IsSlideSnowMethod(method))
    outputs.insert(outputs.end(), {"input_mass", "mobile_mass", "deposition"});
  if (method == 6 || method == 7) outputs.insert(outputs.end(), {"snowtemp", "surftemp"});
  if (glacier_cells != nullptr) {
    outputs.push_back("melt_from_firn");
    outputs.push_back("melt_from_ice");
  }
  if (IsDynamicGlacierMethod(glacierMethod)) {
    if (const OwnGrid* stack = FindOwnGrid("firn_WE_stack"); stack != nullptr && !stack->linked)
      WriteStackOutput(stack->index);
    outputs.insert(outputs.end(), {"GlacierMassBalance", "OldGlacierMassBalance",
                                   "SolidSnowStorage_onGlacier", "LiquidSnowStorage_onGlacier",
                                   "TotalSnowStorage_onGlacier", "SnowMelt_onGlacier"});
    if (IsEnergyBalanceSnowMethod(method))
      outputs.insert(outputs.end(), {"surftemp_onGlacier", "snowtemp_onGlacier"});
    outputs.push_back("SnowEvaporation_onGlacier");
    if (young_ice_ != nullptr) outputs.push_back("glacier_young_ice");
  }
  for (const char* identifier : outputs)
    if (const int index = registry->FindIdentifier(identifier)) WriteGridOutput(index, 1, false);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    if (block.statistics) block.statistics->CollectStep(d.year, d.month, d.day, d.hour, 1);
    if (block.concentration_index > 0) WriteGridOutput(block.concentration_index, 1, false);
    if (glacier_tracers_.empty()) continue;
    const GlacierTracer& stores = glacier_tracers_[static_cast<std::size_t>(t)];
    for (int index : {stores.pack_index, stores.firn_index, stores.ice_index})
      if (index > 0) WriteGridOutput(index, 1, false);
  }
}

}  // namespace velorn

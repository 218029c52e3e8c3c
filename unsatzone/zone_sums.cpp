// The end of the soil zone's sub-step (see unsatzone_model.h, "End of a sub-step"): the copies
// of the response units' masters, the serial zone sums into the flow-time buffers and the zone
// statistics tables, and the control point's single-point rows.
//
// The zone sums run on one thread over the own cells in row and then column order, so the
// buffers and tables add in the same order on every run. A cell with glacier share g enters
// with weight 1 - g and its values, and with weight g and the value 0: the glacier's part of the
// cell yields no soil runoff (the snow model books the glacier's).
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "core/tracer_bookkeeping.h"
#include "tables/soil_record.h"
#include "unsatzone/soil_column_sources.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void unsatzonmodellklasse::UseGlacierShareGrid(const char* identifier) {
  if (GetFlowControl() == 0 || identifier == nullptr) return;
  if (double** grid = Optional(identifier)) links.glacier_share = grid;
}

double unsatzonmodellklasse::GlacierShare(long row, long column) const {
  double** share = links.glacier_share;
  if (share == nullptr || !(share[row][column] > 0)) return 0.0;
  return share[row][column] > 1 ? 1.0 : share[row][column];
}

// --- Response units ------------------------------------------------------------------------------

void unsatzonmodellklasse::CopyResponseUnitStates() {
  if (GetFlowControl() == 0 || response_unit_switch == 0 || response_unit_table == nullptr) return;
  double** units = links.response_units;
  double** masters = links.master_response_units;
  if (units == nullptr || masters == nullptr) return;
  // Every state and output of a cell: own grids (not the cell's fixed properties or inputs),
  // the water input and the foreign grids the cell writes, stacks and tracer stacks.
  std::vector<double**> copied_grids;
  for (int g = 0; g < kOwnGridCount; ++g) {
    if (g == kTangensBeta || g == kGwTableExtern || g == kLowerBoundaryTemperature) continue;
    if (grids[g]) copied_grids.push_back(grids[g].get());
  }
  for (double** g : {water_input, links.real_evaporation, links.direct_runoff_silting,
                     links.permafrost_thaw_depth})
    if (g != nullptr) copied_grids.push_back(g);
  for (double** g : links.real_transpiration)
    if (g != nullptr) copied_grids.push_back(g);
  const std::size_t levels = static_cast<std::size_t>(layerCount) + 1;
  // Each stack with its values per cell.
  std::vector<std::pair<double***, std::size_t>> copied_stacks;
  for (const StackMatrix& s : stacks)
    if (s) copied_stacks.emplace_back(s.get(), levels);
  // The snow layers on the column: a member takes its master's layers with the master's snow
  // (left to the snow model's alignment, its layers kept their own liquid water and the pack
  // the member shows differed from its master's).
  for (const StackMatrix& s : layered_snow.stacks)
    if (s) copied_stacks.emplace_back(s.get(), static_cast<std::size_t>(s.levels()) + 1);
  if (layered_snow.upper_index) copied_grids.push_back(layered_snow.upper_index.get());
  for (std::size_t t = 1; t < soil_tracers.size(); ++t) {
    if (soil_tracers[t].stack) copied_stacks.emplace_back(soil_tracers[t].stack.get(), levels);
    // The runoff's concentrations, and what the base flow took out of the column and handed the
    // aquifer: a member's runoff carries the master's solute.
    for (const GridMatrix* g :
         {&soil_tracers[t].layer_one, &soil_tracers[t].direct, &soil_tracers[t].inter,
          &soil_tracers[t].base_flow, &soil_tracers[t].to_groundwater})
      if (*g) copied_grids.push_back(g->get());
  }
  CopyFromMasters(copied_grids, copied_stacks);
  // A member of another soil holds other water at its master's water contents: the profile's
  // water it reports (the grid and table of the soil profile) is its own column's, as the water
  // account counts it, not the master's.
  // (Computed as the cell step computes it: a member of its master's soil reports the master's.)
  double** profile = Grid(kSoilMoistureProfile);
  if (profile == nullptr || !stacks[kTheta]) return;
  double*** theta = stacks[kTheta].get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || masters[r][c] > nodata || !(profile[r][c] > nodata)) continue;
      const SoilRecord& soil = CellSoil(r, c);
      profile[r][c] =
          AverageOverDepth(soil, CellLayers(soil), theta[r][c], 1, 0.0, 9999.0, nodata) * 1000;
    }
  });
}

void unsatzonmodellklasse::CopyFromMasters(
    const std::vector<double**>& copied_grids,
    const std::vector<std::pair<double***, std::size_t>>& copied_stacks) {
  double** units = links.response_units;
  double** masters = links.master_response_units;
  std::size_t width = copied_grids.size();
  for (const auto& [stack, count] : copied_stacks) width += count;
  const auto is_master = [&](long r, long c) { return OwnCell(r, c) && masters[r][c] > nodata; };
  // The master of a unit may lie on another process: share every master's values first.
  const UnitResults shared =
      ShareUnitResults(*response_unit_table, width, first_local_row, last_local_row, column_ranges,
                       is_master, [&](long r, long c, double* out) {
                         for (double** g : copied_grids) *out++ = g[r][c];
                         for (const auto& [s, count] : copied_stacks)
                           out = std::copy(s[r][c], s[r][c] + count, out);
                       });
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || masters[r][c] > nodata) continue;
      const double* v = shared.Require(Diag(), module_name, std::trunc(units[r][c]), r, c);
      for (double** g : copied_grids) g[r][c] = *v++;
      for (const auto& [s, count] : copied_stacks) {
        std::copy(v, v + count, s[r][c]);
        v += count;
      }
    }
  });
}

// The irrigation grids a member took from its master in the run that wrote the state: the
// thresholds of the master's rule (set up per cell) and the running amounts, which the
// irrigation model writes in its step, before the soil zone's copy gives the members their
// masters' amounts for the next step. Without this, a warm start's first step saw the members'
// own amounts and thresholds where the straight run saw their masters', and served other water.
void unsatzonmodellklasse::CopyIrrigationStateFromMasters() {
  if (GetFlowControl() == 0 || response_unit_switch == 0 || response_unit_table == nullptr ||
      !irrigation_configured)
    return;
  if (links.response_units == nullptr || links.master_response_units == nullptr) return;
  std::vector<double**> copied_grids;
  for (OwnGrid g : {kIrrigationAmounts, kSoilMoistureLow, kSoilMoistureHigh})
    if (grids[g]) copied_grids.push_back(grids[g].get());
  CopyFromMasters(copied_grids, {});
}

// --- Zone sums -----------------------------------------------------------------------------------

void unsatzonmodellklasse::AddZoneSums() {
  if (GetFlowControl() == 0 || runoff.subbasins() == 0) return;
  const double k = substepCount;
  double** area = Optional("RelCellArea");
  double** flow = links.flow_times;
  double** qd = Grid(kDirectflow);
  double** qi = Grid(kInterflow);
  double** base = Grid(kBaseflow);
  double** pumped = Grid(kGroundwaterIrrigation);
  double** river_in = Grid(kRiverInfiltration);
  double** river_out = Grid(kRiverExfiltration);
  double** old_share = links.glacierized_cells_old;
  double** share_now = links.glacierized_cells;
  const auto table = [&](StatisticsPair pair) { return statistics[pair].table.get(); };
  // One value per table; null tables and grids are skipped.
  struct Entry {
    zonalstatistic* table;
    double** grid;
    double factor;
  };
  std::vector<Entry> entries = {
      {table(kStatSB1), Grid(kSoilMoistureRoot), 1.0},
      {table(kStatSB2), Grid(kSoilMoistureProfile), 1.0},
      {table(kStatROOT), Grid(kRootGrid), 1.0},
      {table(kStatINFEX), Grid(kInfiltrationExcess), k},
      {table(kStatGWN), Grid(kGroundwaterRecharge), k},
      {table(kStatMACRO), Grid(kMacroporeInfiltration), k},
      {method == 3 ? table(kStatSUBSTEPS) : nullptr, Grid(kNumberOfSubsteps), 1.0},
      {table(kStatINFILT), Grid(kTotalInfiltration), k},
      {table(kStatGWSTAND), Grid(kGroundwaterDistance), 1.0},
      {groundwaterModelActive != 0 ? table(kStatGWIN) : nullptr, river_in, k},
      {groundwaterModelActive != 0 ? table(kStatGWEX) : nullptr, river_out, k},
      {links.max_ponding_storage != nullptr ? table(kStatPOND) : nullptr, Grid(kPondingStorage),
       1.0},
      {links.drainage_depth != nullptr ? table(kStatQDRAIN) : nullptr, Grid(kDrainageFlow), k},
      {heatTransferSwitch > 0 ? table(kStatTemper) : nullptr, Grid(kThawDepth), 1.0},
  };
  std::erase_if(entries, [](const Entry& e) { return e.table == nullptr || e.grid == nullptr; });
  zonalstatistic* qb_table = table(kStatQB);
  // The base flow reaches the runoff through these sums whether its table is written or not: a
  // silent table adds nothing, and its share goes to the step's own sums (weighted as a table
  // weighs, by the relative cell area).
  const bool qb_written = qb_table != nullptr && qb_table->active();
  // The runoff takes the step's base flow from its exact sums, whatever the split of the cells.
  const auto add_base_flow = [&](long r, long c, int32_t s, double value, double weight) {
    const double cell = relative_cell_area != nullptr && relative_cell_area[r] != nullptr &&
                                relative_cell_area[r][c] > kNodata
                            ? relative_cell_area[r][c]
                            : 1.0;
    runoff.AddCellBaseflow(s, weight, value * cell * weight, weight * cell);
    if (qb_written) {
      qb_table->AddValue(r, c, s, value, weight);
      return;
    }
    ZoneRecord& record = base_flow_records[static_cast<std::size_t>(s)];
    record[0] += weight;
    record[1] += value * cell * weight;
    record[4] += weight * cell;
  };
  zonalstatistic* immobilised =
      old_share != nullptr && share_now != nullptr ? immobilised_statistics.table.get() : nullptr;
  double** profile = Grid(kSoilMoistureProfile);

  for (long r = first_local_row; r <= last_local_row; ++r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const auto code = static_cast<std::size_t>(soil_zone_grid[r][c]);
      const int32_t s = code < soil_zone_index.size() ? soil_zone_index[code] : 0;
      if (s < 1 || s > runoff.subbasins()) continue;
      const double g = GlacierShare(r, c);
      const double w = 1.0 - g;
      int32_t z = 1;
      if (flow != nullptr && surfaceRoutingActive == 0) {
        const auto last = static_cast<int32_t>(runoff.maxzeit[s]);
        // Clamped before the cast: a flow time of 1e308 or NaN fits no integer.
        const double time = flow[r][c];
        z = time >= 1 && time <= last ? static_cast<int32_t>(time)
            : time > last             ? std::max(last, 1)
                                      : 1;
      }
      const double a = area != nullptr && area[r][c] > nodata ? area[r][c] : 1.0;
      const double direct = g < 1 ? qd[r][c] : 0.0;
      const double inter = g < 1 ? qi[r][c] : 0.0;
      runoff.AddCellRunoff(0, s, z, direct, inter, a, g, substepCount);
      for (std::size_t t = 1; t < soil_tracers.size(); ++t) {
        const SoilTracer& tracer = soil_tracers[t];
        const double cd = tracer.direct ? tracer.direct.get()[r][c] : 0.0;
        const double ci = tracer.inter ? tracer.inter.get()[r][c] : 0.0;
        runoff.AddCellRunoff(static_cast<int32_t>(t), s, z, cd * direct, ci * inter, a, g,
                             substepCount);
      }
      if (g < 1) {
        for (const Entry& e : entries) e.table->AddValue(r, c, s, e.grid[r][c] * e.factor, w);
        if (immobilised != nullptr) {
          const double before = old_share[r][c], now = share_now[r][c];
          const double change =
              before >= 0 && now >= 0 && before != now ? (before - now) * profile[r][c] : 0.0;
          immobilised->AddValue(r, c, s, change, w);
        }
        {
          // Irrigation pumped from the groundwater leaves the base flow (without the
          // groundwater model, whose own exchange with the rivers is the base flow).
          double q = base[r][c];
          if (groundwaterModelActive != 0 && river_out != nullptr)
            q = river_out[r][c];
          else if (pumped != nullptr)
            q -= pumped[r][c];
          add_base_flow(r, c, s, q * k, w);
          // The tracers leave with the water the base-flow table books (with the groundwater
          // model the exfiltration into the rivers); a cell without outflow adds none.
          AddTracerBaseflow(r, c, s, q * w);
        }
      }
      if (g > 0) {
        for (const Entry& e : entries) e.table->AddValue(r, c, s, 0.0, g);
        if (immobilised != nullptr) immobilised->AddValue(r, c, s, 0.0, g);
        add_base_flow(r, c, s, 0.0, g);
      }
    }
  }
}

// --- Single-point rows ---------------------------------------------------------------------------

double unsatzonmodellklasse::TracerConcentration(int32_t t, long row, long column, int32_t layer,
                                                 double dry_theta, double dry_value) const {
  const double value = soil_tracers[static_cast<std::size_t>(t)].stack.get()[row][column][layer];
  if (tracer_definitions[t].evaporating != 0) return value;
  const double theta = stacks[kTheta].get()[row][column][layer];
  if (!(theta > dry_theta)) return dry_value;
  return value / (theta * 1000.0 * CellSoil(row, column).thickness[layer]);
}

SinglePointBuffer& unsatzonmodellklasse::PointBuffer(SinglePoint file) {
  if (point_buffers.empty()) {
    point_buffers.reserve(kSinglePointCount);
    for (int f = 0; f < kSinglePointCount; ++f)
      point_buffers.emplace_back(f == kOtherdata ? OtherDataValueCount() - 1 : layerCount);
  }
  return point_buffers[file];
}

void unsatzonmodellklasse::WritePointBuffer(SinglePoint file) {
  if (point_buffers.empty()) return;
  // The etr file starts with the evaporation of level 0, the other-data row at its first value.
  const int32_t first = file == kEtrDetail || file == kOtherdata ? 0 : 1;
  WriteSinglePointBuffer(Diag(), single_point_files[file], point_buffers[file], first, 0);
}

void unsatzonmodellklasse::AppendSinglePointRows() {
  if (GetFlowControl() == 0 || !single_point_owner) return;
  const long r = controlRow, c = controlCol;
  const std::array<int64_t, 4> date{step_date.year, step_date.month, step_date.day, step_date.hour};
  const auto append = [&](SinglePoint file, const double* levels) {
    SinglePointBuffer& buffer = PointBuffer(file);
    if (buffer.count >= buffer.capacity()) WritePointBuffer(file);
    buffer.Append(date, levels);
    if (buffer.count >= buffer.capacity()) WritePointBuffer(file);
  };
  append(kQBottom, stacks[kQDown].get()[r][c]);
  append(kThetaFile, stacks[kTheta].get()[r][c]);
  append(kHhyd, stacks[kHydraulicHeads].get()[r][c]);
  if (heatTransferSwitch > 0 && heatMethod >= 1 && stacks[kSoilTemperature])
    append(kTemperatureFile, stacks[kSoilTemperature].get()[r][c]);
  // The buffers that the cell body fills are written here when full.
  for (SinglePoint file : {kOtherdata, kEtrDetail, kInterflowFile}) {
    const SinglePointBuffer& buffer = PointBuffer(file);
    if (buffer.count >= buffer.capacity()) WritePointBuffer(file);
  }
  std::vector<double> levels(static_cast<std::size_t>(layerCount) + 1, 0.0);
  for (std::size_t t = 1; t < soil_tracers.size(); ++t) {
    SoilTracer& tracer = soil_tracers[t];
    if (!tracer.point || !tracer.stack) continue;
    for (int32_t l = 1; l <= layerCount; ++l)
      levels[l] = TracerConcentration(static_cast<int32_t>(t), r, c, l, 1e-5, 1e9);
    if (tracer.point->count >= tracer.point->capacity())
      WriteSinglePointBuffer(Diag(), tracer.point_file, *tracer.point, 1, 0);
    tracer.point->Append(date, levels.data());
    if (tracer.point->count >= tracer.point->capacity())
      WriteSinglePointBuffer(Diag(), tracer.point_file, *tracer.point, 1, 0);
  }
}

void unsatzonmodellklasse::AppendControlCellRecords(const double* other,
                                                    const double* root_extraction,
                                                    const double* interflow) {
  if (GetFlowControl() == 0 || !single_point_owner) return;
  const std::array<int64_t, 4> date{step_date.year, step_date.month, step_date.day, step_date.hour};
  // A full buffer keeps its rows until the main thread writes it (AppendSinglePointRows).
  PointBuffer(kOtherdata).Append(date, other);
  PointBuffer(kEtrDetail).Append(date, root_extraction);
  PointBuffer(kInterflowFile).Append(date, interflow);
}

void unsatzonmodellklasse::AppendControlCellRow(long r, long c, const ControlCellStep* last) {
  if (response_unit_switch != 0) return;
  const auto value = [&](double** grid) { return grid != nullptr ? grid[r][c] : nodata; };
  const auto layer_value = [&](const std::vector<double**>& grids, int j) {
    return static_cast<std::size_t>(j) < grids.size() ? value(grids[j]) : nodata;
  };
  std::vector<double> other;
  other.reserve(static_cast<std::size_t>(OtherDataValueCount()));
  other.insert(other.end(),
               {value(Grid(kDirectflow)), value(Grid(kInterflow)), value(Grid(kBaseflow)),
                last != nullptr ? last->infiltration : 0.0, value(Grid(kRiverInfiltration)),
                value(Grid(kRiverExfiltration)), value(Grid(kGroundwaterRecharge)),
                value(Grid(kCapillaryUprise)), value(Grid(kPercolation)),
                value(Grid(kMacroporeInfiltration)), value(Grid(kDrainageFlow)),
                links.max_ponding_storage != nullptr ? value(Grid(kPondingStorage)) : nodata,
                value(Grid(kInfiltrationExcess)), value(Grid(kGroundwaterDistance)),
                value(Grid(kGroundwaterLevel)), value(Grid(kRootGrid)), value(links.albedo),
                value(links.evaporation_resistance)});
  for (int j = 1; j <= landuse_layers; ++j)
    other.insert(
        other.end(),
        {layer_value(links.leaf_area, j), layer_value(links.vegetation_cover, j),
         layer_value(links.canopy_resistance, j), layer_value(links.intercept_resistance, j),
         layer_value(links.root_depth, j), layer_value(links.roughness, j)});
  const auto levels = static_cast<std::size_t>(layerCount) + 1;
  std::vector<double> extracted(levels, 0.0), interflow(levels, 0.0);
  if (last != nullptr) {
    const int n = std::min(last->layers, layerCount);
    for (int k = 0; k <= n; ++k) extracted[static_cast<std::size_t>(k)] = last->extracted[k];
    for (int k = 1; k <= n; ++k)
      interflow[static_cast<std::size_t>(k)] = last->interflow[k] * last->factor;
  }
  AppendControlCellRecords(other.data(), extracted.data(), interflow.data());
}

}  // namespace velorn

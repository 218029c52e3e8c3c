// The second-stage set-up of the soil zone (SetupTracers): flow-time zones, solute tracers, the
// river coupling with the groundwater model, the runoff arrays with the initial base flow and
// total runoff; the tracer part of the step's end; and the release of the tracer data.
//
// Per tracer the soil zone keeps a concentration stack (levels 0..N; concentrations of an
// evaporating tracer, masses = concentration x water in mm otherwise), its concentration grid
// at the top, the concentration grids of the cells' direct runoff and interflow
// ("_CONC_QD_t_", "_CONC_QI_t_", which the solver writes and surface routing reads), a zone
// statistics table of the subbasins' runoff concentration and, on the process that owns the
// control point, a point file of the control cell's concentration per layer.
//
// Concentrations leave the subbasins flow-weighted: the base flow of a subbasin carries the
// mean concentration of its cells' groundwater layers weighted with their base flow, and Qg
// the mix of its three components. The per-subbasin sums are added exactly over the processes,
// so they do not depend on how the grid is split.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "core/value_ranges.h"
#include "tables/soil_record.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

constexpr int kSetupFailureCode = 103;
constexpr int kTracerPointFileCode = 65;
constexpr const char* kGroundwaterModule = "groundwater_flow";

}  // namespace

int32_t unsatzonmodellklasse::StoredGroundwaterLayer(long row, long column) const {
  const double level = grids[kGroundwaterLevel].get()[row][column];
  const auto layer = static_cast<int32_t>(level);
  return std::clamp(layer, 1, std::max(layerCount, 1));
}

void unsatzonmodellklasse::SetupTracers(int32_t& error, int32_t count,
                                        TracerDefinition* definitions, ZoneStatisticsRecord*,
                                        int32_t) {
  error = 0;
  if (GetFlowControl() == 0) return;
  try {
    tracerCount = tracer_count = std::max(count, 0);
    tracer_definitions = definitions;
    runoff.Allocate(soil_zone_count, tracer_count);
    ComputeFlowTimes();
    soil_tracers.clear();
    soil_tracers.resize(static_cast<std::size_t>(tracer_count) + 1);
    if (tracer_count > 0)
      tracer_blocks = std::shared_ptr<TracerBlock[]>(new TracerBlock[tracer_count + 1]);
    for (int32_t t = 1; t <= tracer_count; ++t) SetupTracer(t);
    if (groundwaterModelActive != 0) {
      SetupRiverCoupling();
      // What the columns could not give of the aquifer's release in a sub-step: the groundwater
      // model adds it to its next release, so the columns owe it until they hold the water.
      MakeGrid(kBaseflowUnpaid, "baseflow_unpaid", "baseflow_unpaid", 0, 0.0);
    }
    SetInitialTracerConcentrations();
    SetInitialRunoff();
    if (storageMode == 1) ReadStorageState();
    for (int32_t t = 1; t <= tracer_count; ++t) SetPumpedConcentration(t);
  } catch (const ErrorCode& e) {
    error = e.code;
  } catch (...) {
    error = kSetupFailureCode;
  }
}

void unsatzonmodellklasse::SetupTracer(int32_t t) {
  const TracerDefinition& d = tracer_definitions[t];
  SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
  TracerBlock& block = tracer_blocks[t];
  if (d.radioactive == 1) tracer.decay = DecayFactor(time_interval / substepCount, d.half_time);
  block.decay_factor = tracer.decay;
  // Zone table and statistics table of the subbasins' runoff concentration.
  block.balance_table = soil_zones;
  for (ZoneRecord& r : block.balance_table) r[0] = r[1] = r[4] = 0.0;
  const std::string title =
      FormatText("tracer concentration for tracer %d (%s) ", t, d.name.c_str());
  block.statistics_file_name = TracerFileName(d.path, d.name, module_name, d.statext);
  int code = 0;
  std::string file_name = block.statistics_file_name;
  block.statistics = std::make_unique<zonalstatistic>(
      code, diag, relative_cell_area, nrows, ncols, block.balance_table.data(), soil_zone_count,
      d.statcode, 99, file_name, output_directory, output_list_count, output_list_codes);
  if (code != 0) throw ErrorCode{code};
  block.statistics->WriteHeader(module_name, title, zone_statistics, zone_statistics_capacity);
  tracer.baseflow.assign(2 * (static_cast<std::size_t>(soil_zone_count) + 1), ExactSum{});
  // Concentration of the water input (none: the input carries no tracer, as in the other models).
  // (the last model above the soil first).
  const int input =
      snowAfterInterception
          ? FindTracerInput(t, {"snow_model", "interception_model", "irrigation", "input"})
          : FindTracerInput(t, {"interception_model", "snow_model", "irrigation", "input"});
  tracer.input = input > 0 ? Data(input) : nullptr;

  if (single_point_owner) {
    tracer.point = std::make_unique<SinglePointBuffer>(layerCount);
    tracer.point_file = TracerFileName(d.path, d.name, "point", d.statext);
    std::string header =
        FormatText("YY\tMM\tDD\tHH\t%s[%d][%d]", title.c_str(), controlRow, controlCol);
    for (int32_t k = 1; k <= layerCount; ++k) header += FormatText("[%d]\t", k);
    header += "\n";
    errno = 0;
    std::FILE* out = OpenOutputFile(tracer.point_file, "w");
    if (out == nullptr)
      ThrowFatal(Diag(), kTracerPointFileCode, "FATAL: error opening tracer concentration file ",
                 tracer.point_file, SystemReason(ErrnoOrIo()));
    CheckedFile checked(Diag(), kTracerPointFileCode, tracer.point_file, out);
    checked.Write(header);
    checked.Close();
  }

  // The concentration stack with its top grid, fresh or from the storage file of the run.
  if (registry->FirstFreeIndex() >= kRefusedGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode,
               "FATAL: no free grid left. please contact the author to set the number of grids "
               "to a larger value ",
               kRefusedGridIndex);
  const std::string identifier = FormatText("concstor_tracer_%d_%s", t, module_name.c_str());
  block.grid_file_name = TracerFileName(d.path, d.name, module_name, d.gridext);
  tracer.stack = NewStack();
  tracer.layer_one = NewGrid();
  double*** stack = tracer.stack.get();
  if (storageMode == 1) {
    double*** read = nullptr;
    const std::string older = d.older_gridext.empty()
                                  ? std::string()
                                  : TracerFileName(d.path, d.name, module_name, d.older_gridext);
    const int levels = ReadStack(StateFileToRead(block.grid_file_name, older), read, false);
    if (levels != layerCount) {
      velorn::Free3dMatrix(read);
      ThrowFatal(Diag(), kStackLevelCode, "FATAL: wrong number of levels in stack ",
                 block.grid_file_name, " (there are ", levels, " levels, it must be ", layerCount);
    }
    for (long r = first_local_row; r <= last_local_row; ++r)
      if (read[r] != nullptr)
        for (long c = 1; c <= ncols; ++c)
          std::copy(read[r][c], read[r][c] + layerCount + 1, stack[r][c]);
    velorn::Free3dMatrix(read);
  } else {
    double*** theta = Stack(kTheta);
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c)) {
          std::fill(stack[r][c], stack[r][c] + layerCount + 1, nodata);
          continue;
        }
        const SoilRecord& soil = CellSoil(r, c);
        const int32_t g = StoredGroundwaterLayer(r, c);
        stack[r][c][0] = 0.0;
        for (int32_t l = 1; l <= layerCount; ++l) {
          const double initial = l < g ? d.soilini : d.gwini;
          stack[r][c][l] =
              d.evaporating != 0 ? initial : initial * 1000.0 * theta[r][c][l] * soil.thickness[l];
        }
      }
    });
  }
  tracer.stack_index = registry->FirstFreeIndex();
  RegisterGrid(tracer.stack_index, block.grid_file_name, tracer.layer_one.get(), stack, layerCount,
               identifier, d.gridcode, grid_first_row, grid_last_row);
  tracer.pumped = NewGrid();
  Fill(tracer.pumped.get(), nodata);
  tracer.pumped_index = NextFreeIndex();
  const std::string pumped = FormatText("concpump_tracer_%d_%s", t, module_name.c_str());
  RegisterGrid(tracer.pumped_index, pumped, tracer.pumped.get(), nullptr, 0, pumped, 0,
               grid_first_row, grid_last_row);
  tracer.silting = Optional(FormatText("concflux_tracer_%d_SiltingUpModel", t));
  tracer.silted = Optional(FormatText("concstor_tracer_%d_SiltingUpModel", t));
  tracer.base_flow = NewGrid();
  Fill(tracer.base_flow.get(), nodata);
  // Concentrations of the cells' direct runoff and interflow.
  for (auto [grid, index, name] :
       {std::tuple{&tracer.direct, &tracer.direct_index, FormatText("_CONC_QD_%i_", t)},
        std::tuple{&tracer.inter, &tracer.inter_index, FormatText("_CONC_QI_%i_", t)}}) {
    *grid = NewGrid();
    Fill(grid->get(), 0.0);
    *index = NextFreeIndex();
    RegisterGrid(*index, name, grid->get(), nullptr, 0, name, 0, grid_first_row, grid_last_row);
  }
}

void unsatzonmodellklasse::SetupRiverCoupling() {
  if (surfaceWaterInteraction != 0) {
    river_depth = Required("river_depth");
    river_width = Required("river_width");
    river_links = Required("river_links");
    kolmation = Required("kolmation");
    CheckChannelGrids(Diag(), river_width, river_depth, zone_grid, column_ranges, first_local_row,
                      last_local_row, nodata);
  }
  MakeTable(statistics[kStatGWIN], statistics_pairs[kStatGWIN],
            "re-infiltration from rivers [mm per Zone]", 7, soil_zones);
  MakeTable(statistics[kStatGWEX], statistics_pairs[kStatGWEX],
            "base flow (exfiltration into rivers, only with gw-module active) [mm per Zone]", 7,
            soil_zones);
  MakeGrid(kRiverInfiltration, grid_pairs[kPairGWIN].name, "river_infiltration",
           grid_pairs[kPairGWIN].code, 0.0);
  MakeGrid(kRiverExfiltration, grid_pairs[kPairGWEX].name, "river_exfiltration",
           grid_pairs[kPairGWEX].code, 0.0);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
    tracer.groundwater = Required(FormatText("concflux_tracer_%d_%s", t, kGroundwaterModule));
    const std::string name = FormatText("solute_to_groundwater_%d", t);
    tracer.to_groundwater = NewGrid();
    Fill(tracer.to_groundwater.get(), nodata);
    tracer.to_groundwater_index = NextFreeIndex();
    RegisterGrid(tracer.to_groundwater_index, name, tracer.to_groundwater.get(), nullptr, 0, name,
                 0, grid_first_row, grid_last_row);
  }
  aquifer_thickness = Required("aquifer_thickness_1");
  reinfiltration_records.assign(static_cast<std::size_t>(soil_zone_count) + 1,
                                ReinfiltrationRecord{});
  gw_storage_coefficient_1 = Required("gw_storage_coeff_1");
}

void unsatzonmodellklasse::SetInitialTracerConcentrations() {
  for (int32_t t = 1; t <= tracer_count; ++t) {
    SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
    const double max_conc = tracer_definitions[t].max_conc;
    double** top = tracer.layer_one.get();
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!ZoneCell(r, c)) {
          top[r][c] = nodata;
          continue;
        }
        if (!OwnCell(r, c)) continue;
        double value = TracerConcentration(t, r, c, StoredGroundwaterLayer(r, c), 0.0, 0.0);
        if (max_conc > 0) value = std::min(value, max_conc);
        top[r][c] = value;
      }
    });
  }
}

void unsatzonmodellklasse::SetPumpedConcentration(int32_t t) {
  SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
  double** pumped = tracer.pumped.get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      const double aquifer = tracer.groundwater != nullptr ? tracer.groundwater[r][c] : nodata;
      // Under a coupled table the pumped water is the coupled program's, which carries none of
      // the run's tracers.
      pumped[r][c] = groundwaterModelActive != 0 ? (IsAboveNodata(aquifer, nodata) ? aquifer : 0.0)
                     : !OwnBaseflow(r, c)
                         ? 0.0
                         : TracerConcentration(t, r, c, StoredGroundwaterLayer(r, c), 0.0, 0.0);
    }
  });
}

void unsatzonmodellklasse::SetInitialRunoff() {
  double** base = Grid(kBaseflow);
  double** distance = Grid(kGroundwaterDistance);
  double** weights = Optional("RelCellArea");
  const auto count = static_cast<std::size_t>(soil_zone_count) + 1;
  const auto tracers = static_cast<std::size_t>(runoff.tracers()) + 1;
  // Per tracer: sums of q w (water) or q w c, then of w (water) or q w.
  std::vector<std::vector<ExactSum>> weighted(tracers, std::vector<ExactSum>(count));
  std::vector<std::vector<ExactSum>> weight_sums = weighted;
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int32_t s = soil_zone_index[static_cast<std::size_t>(soil_zone_grid[r][c])];
      if (groundwaterModelActive == 0)
        base[r][c] = InitialBaseflow(maxBaseflow[s], distance[r][c], baseflowInverseRecession[s]);
      const double w = weights != nullptr ? weights[r][c] : 1.0;
      const double q = base[r][c];
      weighted[0][s].Add(q * w);
      weight_sums[0][s].Add(w);
      for (std::size_t t = 1; t < tracers && t < soil_tracers.size(); ++t) {
        if (!soil_tracers[t].layer_one) continue;
        weighted[t][s].Add(w * q * soil_tracers[t].layer_one.get()[r][c]);
        weight_sums[t][s].Add(w * q);
      }
    }
  for (std::size_t t = 0; t < tracers; ++t)
    runoff.Qg[t] = InitialTotalRunoff(weighted[t], weight_sums[t]);
}

void unsatzonmodellklasse::AddTracerBaseflow(long row, long column, int32_t subbasin,
                                             double q_weight) {
  if (soil_tracers.size() < 2 || !(q_weight > 0)) return;
  double** area = relative_cell_area;
  const double a = area != nullptr && area[row][column] > nodata ? area[row][column] : 1.0;
  const int32_t g = StoredGroundwaterLayer(row, column);
  for (int32_t t = 1; t < static_cast<int32_t>(soil_tracers.size()); ++t) {
    SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
    if (!tracer.stack) continue;
    ExactSum* sums = &tracer.baseflow[2 * static_cast<std::size_t>(subbasin)];
    // The solute the base flow took out of the column; without base flow leaving the column,
    // the groundwater layer's concentration.
    const double taken = tracer.base_flow.get()[row][column];
    const double c =
        IsAboveNodata(taken, nodata) ? taken : TracerConcentration(t, row, column, g, 0.0, 0.0);
    sums[0].Add(a * q_weight * c);
    sums[1].Add(a * q_weight);
  }
}

void unsatzonmodellklasse::FinishTracerStep() {
  if (tracer_count < 1) return;
  double*** theta = Stack(kTheta);
  const auto n = static_cast<std::size_t>(soil_zone_count);
  std::vector<ExactSum> packed;
  packed.reserve(static_cast<std::size_t>(tracer_count) * n * 2);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
    const bool evaporating = tracer_definitions[t].evaporating != 0;
    double*** stack = tracer.stack.get();
    double** top = tracer.layer_one.get();
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c)) continue;
        if (evaporating) {
          top[r][c] = stack[r][c][1];
          continue;
        }
        const double t1 = theta[r][c][1];
        top[r][c] =
            t1 > 0.0001 ? stack[r][c][1] / (t1 * 1000.0 * CellSoil(r, c).thickness[1]) : 99999.0;
      }
    });
    WriteStackOutput(tracer.stack_index);
    SetPumpedConcentration(t);
    for (std::size_t s = 1; s <= n; ++s)
      for (std::size_t f = 0; f < 2; ++f) {
        packed.push_back(tracer.baseflow[2 * s + f]);
        tracer.baseflow[2 * s + f].Reset();
      }
  }
  // The base-flow sums of all processes, exactly, on process 0: the sums of the cells, not of
  // rounded partial sums per process, so the concentration does not depend on the split.
  ReduceExactSumsToRoot(packed);
  std::vector<double> totals(packed.size());
  for (std::size_t i = 0; i < packed.size(); ++i) totals[i] = packed[i].Value();
  const double* next = totals.data();
  for (int32_t t = 1; t <= tracer_count; ++t) {
    std::vector<ZoneRecord>& table = tracer_blocks[t].balance_table;
    for (std::size_t s = 1; s <= n; ++s, next += 2) {
      if (rank != 0) continue;
      const double q_b = runoff.QBb[0][s], q_i = runoff.QIi[0][s], q_d = runoff.QDd[0][s];
      runoff.QBb[t][s] = next[1] > 0 ? next[0] / next[1] : 0.0;
      const double total = q_b + q_i + q_d;
      const double soil = q_b * runoff.QBb[t][s] + q_i * runoff.QIi[t][s] + q_d * runoff.QDd[t][s];
      // The glacier runoff the snow model put into Qg (with its concentration in Qg[t]) before
      // the soil's joined it: the runoff carries the solute of both.
      const double glacier = runoff.Qg[0][s] - ((q_d + q_i) + q_b);
      if (glacier > 0) {
        runoff.Qg[t][s] = (soil + glacier * runoff.Qg[t][s]) / runoff.Qg[0][s];
      } else {
        runoff.Qg[t][s] = total > 0 ? soil / total : 0.0;
      }
      table[s][0] = 1.0;
      table[s][1] = runoff.Qg[t][s];
      table[s][4] = 1.0;
    }
    if (tracer_blocks[t].statistics)
      tracer_blocks[t].statistics->CollectWrittenStep(step_date.year, step_date.month,
                                                      step_date.day, step_date.hour);
  }
}

void unsatzonmodellklasse::ReleaseTracers() {
  if (GetFlowControl() == 0) return;
  for (int32_t t = tracer_count; t >= 1; --t) {
    SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
    if (tracer.point) WriteSinglePointBuffer(Diag(), tracer.point_file, *tracer.point, 1, 0);
    tracer.point.reset();
    for (int* index : {&tracer.to_groundwater_index, &tracer.stack_index, &tracer.direct_index,
                       &tracer.inter_index, &tracer.pumped_index}) {
      if (*index > 0) UnregisterGrid(*index);
      *index = 0;
    }
    tracer.stack = StackMatrix();
    tracer.layer_one = GridMatrix();
    tracer.direct = GridMatrix();
    tracer.inter = GridMatrix();
    tracer.base_flow = GridMatrix();
    tracer.to_groundwater = GridMatrix();
    tracer.pumped = GridMatrix();
    tracer.groundwater = nullptr;  // the groundwater model's grid
  }
  soil_tracers.clear();
  // The blocks: statistics tables (their last rows written), names, zone tables.
  teilmodellklasse::ReleaseTracers();
  for (RunoffConcentration::Array* a :
       {&runoff.Qg, &runoff.QD, &runoff.QDd, &runoff.QI, &runoff.QIi, &runoff.QBb})
    a->clear();
}

}  // namespace velorn

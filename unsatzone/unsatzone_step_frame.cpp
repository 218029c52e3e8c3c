// The frame of the soil zone's time step around its sub-steps: the runoff set-up of the second
// stage, the step start and end, the imposed groundwater table, the storage section and the
// runoff accessors of unsatzonmodellklasse (unsatzone/unsatzone_model.h). The arithmetic lives
// in pure functions: runoff_concentration.h, external_groundwater_table.h,
// storage_content_file.h.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/error_code.h"
#include "core/exact_reduction.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "tables/soil_record.h"
#include "unsatzone/external_groundwater_table.h"
#include "unsatzone/storage_content_file.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

// Code of a runoff array asked for before the set-up made it.
constexpr int kRunoffArrayCode = 57;

}  // namespace

void unsatzonmodellklasse::ComputeFlowTimes() {
  double** flow = links.flow_times;
  double** weights = Optional("RelCellArea");
  std::vector<FlowTimeCell> cells;
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const auto code = static_cast<std::size_t>(soil_zone_grid[r][c]);
      FlowTimeCell cell;
      cell.subbasin = code < soil_zone_index.size() ? soil_zone_index[code] : 0;
      if (cell.subbasin < 1) continue;
      cell.seconds = flow != nullptr ? flow[r][c] : 0.0;
      cell.weight = weights != nullptr ? weights[r][c] : 1.0;
      cell.row = static_cast<int32_t>(r);
      cell.column = static_cast<int32_t>(c);
      cells.push_back(cell);
    }
  const std::vector<int32_t> zones =
      runoff.SetupZones(Diag(), cells, flow != nullptr, "flow_times", time_interval, substepCount,
                        subbasinCodes, FormatText("modell_%d.log", rank), nodata);
  // The grid holds zone numbers from now on.
  if (flow != nullptr)
    for (std::size_t i = 0; i < cells.size(); ++i) flow[cells[i].row][cells[i].column] = zones[i];
}

void unsatzonmodellklasse::SetupRunoff(int32_t tracers) {
  if (GetFlowControl() == 0) return;
  tracerCount = tracers;
  runoff.Allocate(soil_zone_count, tracers);
  ComputeFlowTimes();
  if (groundwaterModelActive != 0)
    reinfiltration_records.assign(static_cast<std::size_t>(soil_zone_count) + 1,
                                  ReinfiltrationRecord{});
  SetInitialRunoff();
  if (storageMode == 1) ReadStorageState();
}

void unsatzonmodellklasse::LinkWaterInputGrid(bool snow_after_interception) {
  if (GetFlowControl() == 0) return;
  snowAfterInterception = snow_after_interception;
  if (water_input != nullptr) return;
  const std::string snow = "snowcover_outflow", throughfall = "throughfall0";
  water_input = snow_after_interception
                    ? Data(RequireOneOfThreeGrids(snow, throughfall, "precipitation"))
                    : Data(RequireOneOfThreeGrids(throughfall, snow, "precipitation"));
}

void unsatzonmodellklasse::BeginStep(int32_t hour, int32_t day, int32_t month, int32_t year) {
  if (GetFlowControl() == 0) return;
  step_date = ModelDate{year, month, day, hour};
  current_substep = 0;
  if (ReportDue(report_interval, start_date, step_date, time_shift))
    Diag() << FormatText("%20s %d.%d.%d %d. h (time of meteo data)", module_name.c_str(), day,
                         month, year, hour)
           << optionTag << "[end-entry]";
  if (heatTransferSwitch > 0 && temperatureStackPending != 0) {
    InitialiseSoilTemperatures();
    temperatureStackPending = 0;
  }
  if (heatTransferSwitch > 0 && layeredSnowSwitch > 0 && layered_snow.temperaturePending)
    InitialiseSnowTemperatures();
  runoff.BeginStep();
  if (evapotranspirationModelActive == 0) ZeroRealEvapotranspiration();
  for (Statistics& s : statistics)
    if (s.table) s.table->ResetZoneSums();
  if (immobilised_statistics.table) immobilised_statistics.table->ResetZoneSums();
  // The runoff-concentration tables of the tracers count their steps here too.
  for (int32_t t = 1; t <= tracer_count && tracer_blocks; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->ResetZoneSums();
  base_flow_records = soil_zones;
  for (ZoneRecord& record : base_flow_records) record[0] = record[1] = record[4] = 0.0;
  if (!reinfiltration_records.empty())
    BroadcastBytes(reinfiltration_records.data(),
                   static_cast<int>(reinfiltration_records.size() * sizeof(ReinfiltrationRecord)));
  // Process 0 holds last step's sum, which routing has booked: this step's takes start at 0.
  for (ReinfiltrationRecord& record : reinfiltration_records)
    record.reinfiltrated = record.reinfiltratedStep = 0;
  reinfiltration_exact.assign(reinfiltration_records.size(), ExactSum{});
}

// The grids hold the step's real evaporation and transpiration (the sub-steps add into them):
// where no evapotranspiration model starts them, they would sum over the whole run.
void unsatzonmodellklasse::ZeroRealEvapotranspiration() {
  std::vector<double**> real = links.real_transpiration;
  real.push_back(links.real_evaporation);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (OwnCell(r, c))
        for (double** g : real)
          if (g != nullptr) g[r][c] = 0;
  });
}

void unsatzonmodellklasse::InitialiseSoilTemperatures() {
  double*** temperature = Stack(kSoilTemperature);
  double*** heads = Stack(kGeodeticHeads);
  double** lower = links.lower_boundary_temperature;
  double** air = links.air_temperature;
  if (temperature == nullptr || lower == nullptr || air == nullptr) return;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (OwnCell(r, c))
        InitialSoilTemperatures(heads[r][c], layerCount, lower[r][c], air[r][c], temperature[r][c]);
      else
        std::fill(temperature[r][c] + 1, temperature[r][c] + layerCount + 1, nodata);
    }
  });
}

void unsatzonmodellklasse::FinishStep(const uint8_t* glacier) {
  if (GetFlowControl() == 0) return;
  if (!reinfiltration_records.empty()) {
    // The step's takes of all processes from the exact twins of the cells' bookings (not from
    // each process's rounded running sum, which depends on the order and split of the cells).
    reinfiltration_exact.resize(reinfiltration_records.size());
    for (ReinfiltrationRecord& r : reinfiltration_records) {
      r.reinfiltrated = r.reinfiltratedStep;
      r.reinfiltratedStep = 0;
    }
    ReduceExactSumsToRoot(reinfiltration_exact);
    if (rank == 0)
      for (std::size_t i = 0; i < reinfiltration_records.size(); ++i)
        reinfiltration_records[i].reinfiltrated = reinfiltration_exact[i].Value();
  }
  std::vector<double> rel(static_cast<std::size_t>(soil_zone_count) + 1, 0.0);
  for (int32_t s = 1; s <= soil_zone_count; ++s) rel[s] = soil_zones[s][3];
  RunoffConcentration::StepTables tables;
  const zonalstatistic* qb = statistics[kStatQB].table.get();
  tables.qb = qb != nullptr && qb->active() ? &statistics[kStatQB].records : &base_flow_records;
  tables.qd = statistics[kStatQD].table ? &statistics[kStatQD].records : nullptr;
  tables.qi = statistics[kStatQI].table ? &statistics[kStatQI].records : nullptr;
  tables.qg = statistics[kStatQg].table ? &statistics[kStatQg].records : nullptr;
  runoff.FinishStep(tables, kelsqd, kelsqi, rel, glacier, surfaceRoutingActive != 0, time_interval);
  CollectStepTables();
  WriteStepGrids();
  FinishTracerStep();
}

void unsatzonmodellklasse::ApplyExternalGroundwaterTable() {
  if (GetFlowControl() == 0) return;
  ++externalTableExchanges;
  double** given = Grid(kGwTableExtern);
  double** balance = Grid(kBalance);
  double** base = Grid(kBaseflow);
  double** distance = Grid(kGroundwaterDistance);
  double** level = Grid(kGroundwaterLevel);
  double*** theta = Stack(kTheta);
  double*** heads = Stack(kGeodeticHeads);
  const int32_t n = layerCount;
  if (groundwaterModelActive != 0 && !externalTableRelease) externalTableRelease = NewGrid();
  double** release = externalTableRelease.get();
  const double substep_seconds = time_interval * 60.0 / std::max<int32_t>(substepCount, 1);
  // Per own row: cells whose given table lies above the ground surface, the highest excess (m)
  // and the first such column.
  const long rows = last_local_row - first_local_row + 1;
  std::vector<double> above(static_cast<std::size_t>(std::max(rows, 0L)), 0.0);
  std::vector<double> excess(above.size(), 0.0);
  std::vector<long> first_column(above.size(), 0);
  // The stacks of the evaporating tracers, which hold concentrations (the others hold masses).
  std::vector<double***> concentrations;
  // The concentrations of the water pumped for irrigation: under the table, without the
  // groundwater model, the coupled program's water, which carries none of the tracers.
  std::vector<double**> pumped;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
    if (tracer_definitions[t].evaporating != 0) concentrations.push_back(tracer.stack.get());
    if (groundwaterModelActive == 0 && tracer.pumped) pumped.push_back(tracer.pumped.get());
  }
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    std::vector<double> fc(static_cast<std::size_t>(n) + 1, 0.0);
    std::vector<double> before(fc.size(), 0.0);
    const auto row = static_cast<std::size_t>(r - first_local_row);
    for (long c = 1; c <= ncols; ++c) {
      if (!ZoneCell(r, c)) {
        balance[r][c] = base[r][c] = distance[r][c] = nodata;
        continue;
      }
      // Another process's cell in an own row: that process builds its column and applies it.
      if (!OwnCell(r, c)) continue;
      if (release != nullptr) release[r][c] = 0;
      if (!(given[r][c] > nodata)) {
        balance[r][c] = 0;
        continue;
      }
      // A response unit's member holds its master's column (its surface among it), which the
      // member's own table is not measured against: the master reports its own.
      if (const double height = given[r][c] - heads[r][c][0]; height > 0 && !UnitMember(r, c)) {
        if (above[row] == 0) first_column[row] = c;
        above[row] += 1;
        excess[row] = std::max(excess[row], height);
      }
      const SoilRecord& soil = CellSoil(r, c);
      for (int32_t k = 1; k <= n; ++k) fc[k] = soil.GetTheta(k, kFieldCapacitySuction);
      SoilColumnView column{theta[r][c],           heads[r][c], soil.theta_sat.data(), fc.data(),
                            soil.thickness.data(), n,           soil.theta_res.data()};
      std::copy_n(theta[r][c], n + 1, before.begin());
      const ExternalTableResult result = ApplyExternalTable(
          column, distance[r][c], static_cast<int32_t>(level[r][c]), given[r][c]);
      // The coupled program's water carries none of this model's tracers: a rising table dilutes
      // an evaporating tracer's concentration (its mass stays), a falling one drains the water
      // at the layer's concentration. (The other tracers' stacks hold masses, which stay.)
      for (double*** conc : concentrations)
        for (int32_t k = 1; k <= n; ++k)
          if (theta[r][c][k] > before[k]) conc[r][c][k] *= before[k] / theta[r][c][k];
      for (double** grid : pumped) grid[r][c] = 0.0;
      balance[r][c] = result.balance_mm;
      level[r][c] = result.level;
      given[r][c] = result.table;
      if (release != nullptr && base[r][c] > nodata)
        release[r][c] = base[r][c] * substep_seconds * 1000.0;
      base[r][c] = 0;
      distance[r][c] = result.table - heads[r][c][0];
    }
  });
  WarnAboutTablesAboveSurface(above, excess, first_column);
}

// A given table above the ground surface fills the column to saturation and no more: the
// water above the surface enters no account. The warm start refuses such a table in its own
// state; a coupled partner may hand it at a cell of seepage, so every exchange names it (the
// number of cells over all processes, the highest excess and the first cell in row order)
// instead of ending the run of both models.
void unsatzonmodellklasse::WarnAboutTablesAboveSurface(const std::vector<double>& above,
                                                       const std::vector<double>& excess,
                                                       const std::vector<long>& first_column) {
  // [0]: cells, [1]: the highest excess; [2]: minus the first cell's index in row order.
  std::vector<double> counts = {0};
  std::vector<double> highest = {0, -1e300};
  for (std::size_t i = 0; i < above.size(); ++i) {
    if (above[i] == 0) continue;
    counts[0] += above[i];
    highest[0] = std::max(highest[0], excess[i]);
    const double index = static_cast<double>(first_local_row + static_cast<long>(i)) *
                             static_cast<double>(ncols + 1) +
                         static_cast<double>(first_column[i]);
    highest[1] = std::max(highest[1], -index);
  }
  AllReduceSum(counts);
  AllReduceMaximum(highest);
  if (counts[0] == 0) return;
  const auto index = static_cast<long>(-highest[1]);
  Diag() << "WARNING: the groundwater table given in GWTableExtern lies above the ground surface "
            "in "
         << static_cast<long>(counts[0]) << " cell(s), by up to " << FormatText("%g", highest[0])
         << " m (the first at row " << index / (ncols + 1) << ", column " << index % (ncols + 1)
         << "): their soil columns are saturated up to the surface, water above it is not taken"
         << "[end-entry]";
}

StorageParameters unsatzonmodellklasse::StorageParametersOfRun() const {
  return {&subbasinCodes,
          &kelsqd,
          &kelsqi,
          &drainageDensity,
          &baseflowInverseRecession,
          &maxBaseflow,
          &snowRunoffFraction,
          std::max<int32_t>(substepCount, 1)};
}

void unsatzonmodellklasse::WriteStorageState(bool append) {
  std::string path = storageFileName;
  PrefixDirectory(output_directory, path);
  WriteStorageSection(Diag(), path, append, runoff, StorageParametersOfRun());
}

void unsatzonmodellklasse::ReadStorageState() {
  std::string path = storageFileName;
  PrefixDirectory(input_directory, path);
  // The name ends in "_<rank>". Each process reads its own file: a failure on one (its file
  // missing, as after a run of fewer processes) ends every process, named by process 0.
  AgreeOnFailure(Diag(), [&] {
    RefuseStorageFilesOfMoreProcesses(Diag(), path.substr(0, path.rfind('_')), size);
    ReadStorageSection(Diag(), path, runoff, StorageParametersOfRun());
  });
}

double** unsatzonmodellklasse::RunoffRows(RunoffConcentration::Array& array, const char* name) {
  if (GetFlowControl() == 0) return nullptr;
  if (array.empty())
    ThrowFatal(Diag(), kRunoffArrayCode, "FATAL: ", name,
               " not initialized (may be, tracer module not linked? -> programmers error!)");
  if (array[0].empty())
    ThrowFatal(Diag(), kRunoffArrayCode, "FATAL: ", name,
               "[0] not initialized (may be, tracer module not linked? -> programmers error!)");
  const std::size_t slot = &array == &runoff.Qg   ? 0
                           : &array == &runoff.QD ? 1
                           : &array == &runoff.QI ? 2
                                                  : 3;
  std::vector<double*>& rows = runoff_rows_[slot];
  rows.clear();
  for (std::vector<double>& per_tracer : array) rows.push_back(per_tracer.data());
  return rows.data();
}

double** unsatzonmodellklasse::GetTotalRunoff() {
  return RunoffRows(runoff.Qg, "Qg");
}
double** unsatzonmodellklasse::GetDirectRunoff() {
  return RunoffRows(runoff.QD, "QD");
}
double** unsatzonmodellklasse::GetInterflow() {
  return RunoffRows(runoff.QI, "QI");
}
double** unsatzonmodellklasse::GetBaseflow() {
  return RunoffRows(runoff.QBb, "QBb");
}

}  // namespace velorn

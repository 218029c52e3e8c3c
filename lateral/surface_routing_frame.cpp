// The step frame of the surface routing model: tracer set-up, flow-travel-time zones, begin and
// end of a step (outlet flows, linear storages, total runoff, statistics), hand-overs, release.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "core/error_code.h"
#include "core/exact_reduction.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "core/value_ranges.h"
#include "lateral/surface_routing_formulas.h"
#include "lateral/surface_routing_model.h"

namespace velorn {

namespace {
using ZoneLines = std::vector<std::vector<std::vector<ZoneRecord>>>;

// The record fields that entries add to: count, sum, weight.
constexpr int kEntryField[ZoneEntrySums::kTerms] = {0, 1, 4};

int32_t ZoneCountOf(double maxzeit) {
  return static_cast<int32_t>(std::trunc(maxzeit));
}
}  // namespace

void surfaceroutingclass::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                                       ZoneStatisticsRecord* statistics_registry,
                                       int32_t capacity) {
  error = 0;
  if (GetFlowControl() == 0) return;
  teilmodellklasse::SetupTracers(error, count, definitions, statistics_registry, capacity);
  if (error != 0) throw ErrorCode{error};
  ComputeFlowTimeZones();
  const int32_t n = tracer_count;
  if (n >= 1) {
    tracer_qd_grids.assign(static_cast<std::size_t>(n) + 1, nullptr);
    tracer_qi_grids.assign(static_cast<std::size_t>(n) + 1, nullptr);
    tracer_surface_grids.assign(static_cast<std::size_t>(n) + 1, nullptr);
    tracer_surface_index.assign(static_cast<std::size_t>(n) + 1, -1);
    int index = NextFreeIndex();
    surface_from_silting = 1;
    for (int32_t i = 1; i <= n; ++i) {
      tracer_qd_grids[i] = (*registry)[RequireGrid(FormatText("_CONC_QD_%i_", i))].grid;
      tracer_qi_grids[i] = (*registry)[RequireGrid(FormatText("_CONC_QI_%i_", i))].grid;
      const std::string name = FormatText("concstor_tracer_%d_%s", i, "SiltingUpModel");
      if (const int found = FindGrid(name, 0)) {
        tracer_surface_grids[i] = (*registry)[found].grid;
        continue;
      }
      surface_from_silting = 0;
      if (index >= kRefusedGridIndex)
        ThrowFatal(Diag(), kRegistryFullCode,
                   "FATAL: no free grid anymore, allowed number of grids is ", kRefusedGridIndex,
                   "!");
      tracer_surface_own.emplace_back(Diag(), held_first_row, held_last_row, ncols, nrows);
      double** grid = tracer_surface_own.back().get();
      RegisterGrid(index, tracer_blocks[i].grid_file_name, grid, nullptr, 0, name,
                   definitions[i].gridcode, held_first_row, held_last_row);
      FillGrid(grid, 0.0, nodata);
      tracer_surface_grids[i] = grid;
      tracer_surface_index[i] = index++;
      MPIExchangeGridHalo(tracer_surface_index[i], grid);
    }
  }
  const std::size_t lists = static_cast<std::size_t>(n) + 1;
  const std::size_t zones = static_cast<std::size_t>(zone_count) + 1;
  for (auto* own : {&own_Qg, &own_QD, &own_QDd, &own_QI, &own_QIi})
    own->assign(lists, std::vector<double>(zones, 0.0));
  const auto point = [&](std::vector<std::vector<double>>& own, std::vector<double*>& list) {
    list.assign(lists, nullptr);
    for (std::size_t k = 0; k < lists; ++k) list[k] = own[k].data();
  };
  point(own_Qg, Qg);
  point(own_QD, QD);
  point(own_QDd, QDd);
  point(own_QI, QI);
  point(own_QIi, QIi);
}

void surfaceroutingclass::ComputeFlowTimeZones() {
  if (GetFlowControl() == 0) return;
  Diag() << "looking for longest flow travel time[end-entry]";
  const int32_t zones = zone_count;
  maxzeit.assign(static_cast<std::size_t>(zones) + 1, flow_times == nullptr ? 1.0 : 0.0);
  maxzeit[0] = 0;
  // Cells without a usable flow time (nodata or negative) belong to no zone.
  const auto usable = [&](double t) {
    return IsNotNodata(t, nodata) && t >= 0 && std::isfinite(t);
  };
  // Every whole step is a record per subbasin and line: a flow time beyond a year is no
  // basin's and would ask for billions of them.
  const double longest = kLongestFlowTime / (60.0 * time_interval);  // steps
  std::vector<double> unusable{0.0};
  if (flow_times != nullptr) {
    for (long r = first_local_row; r <= last_local_row; ++r)
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (!OwnCell(r, c)) continue;
        const double t = flow_times[r][c];
        if (!usable(t)) {
          unusable[0] += 1;
          continue;
        }
        if (t > longest) {
          ThrowFatal(Diag(), kGridFormatCode, "FATAL: grid ", flow_times_file, ": the cell at row ",
                     r, ", column ", c, " holds ", t, " steps, a flow time beyond a year (",
                     longest, " steps of ", time_interval, " minutes)");
        }
        double& m = maxzeit[ZoneIndexOf(r, c)];
        m = std::max(m, t);
      }
  }
  AllReduceMaximum(maxzeit);
  Diag() << "done and reduced to rank 0[end-entry]";
  const int32_t tracers = std::max(tracer_count, 0);
  for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI}) {
    lines->assign(static_cast<std::size_t>(tracers) + 1, {});
    for (auto& per_tracer : *lines) {
      per_tracer.assign(static_cast<std::size_t>(zones) + 1, {});
      for (int32_t z = 1; z <= zones; ++z)
        per_tracer[z].assign(static_cast<std::size_t>(std::max(ZoneCountOf(maxzeit[z]), 0)) + 1,
                             ZoneRecord{});
    }
  }
  if (flow_times == nullptr) {
    for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI})
      for (auto& per_tracer : *lines)
        for (int32_t z = 1; z <= zones; ++z) {
          per_tracer[z][1][2] = 1;
          per_tracer[z][1][3] = 1.0;
        }
    if (rank == 0) {
      const std::string name = FormatText("modell_%d.log", 0);
      AppendChecked(Diag(), kWriteErrorCode, name,
                    "flow time distribution will not be calculated (no flow time grid provided)\n");
    }
    NumberZoneRecords();
    return;
  }
  // The weight of every zone, summed exactly over the cells of all processes (zone j of
  // subbasin z at weights[first[z] + j]), so the shares are the same on any split of the cells.
  std::vector<std::size_t> first(static_cast<std::size_t>(zones) + 2, 0);
  for (int32_t z = 1; z <= zones; ++z)
    first[z + 1] = first[z] + zoneFZT_QD[0][static_cast<std::size_t>(z)].size();
  // Exact sums only for the zones that cells reach.
  ZoneEntrySums weights;
  weights.Resize(first[static_cast<std::size_t>(zones) + 1]);
  for (long r = first_local_row; r <= last_local_row; ++r) {
    Diag() << ".";
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || !usable(flow_times[r][c])) continue;
      const double w = relative_cell_area != nullptr ? relative_cell_area[r][c] : 1.0;
      weights.Add(
          first[ZoneIndexOf(r, c)] + static_cast<std::size_t>(ZoneCountOf(flow_times[r][c])), w, 0,
          0);
    }
  }
  Diag() << "[end-entry]";
  ExactSumsToRoot(unusable);
  if (rank == 0 && unusable[0] > 0)
    Diag() << "WARNING: " << unusable[0] << " cells of " << flow_times_file
           << " hold no flow travel time (nodata or negative); they belong to no flow time zone"
           << "[end-entry]";
  std::vector<double> totals(weights.keys(), 0.0);
  for (const ZoneEntrySums::Total& total : weights.Finish(nullptr, MPI_COMM_WORLD))
    totals[total.key] = total.value[0];
  if (!totals.empty())
    BroadcastBytes(totals.data(), static_cast<int>(totals.size() * sizeof(double)));
  for (int32_t z = 1; z <= zones; ++z) {
    auto& records = zoneFZT_QD[0][static_cast<std::size_t>(z)];
    for (std::size_t j = 0; j < records.size(); ++j)
      records[j][0] = records[j][4] = totals[first[static_cast<std::size_t>(z)] + j];
  }
  WriteFlowTimeLog();
  NumberZoneRecords();
}

void surfaceroutingclass::NumberZoneRecords() {
  const std::size_t tracers = zoneFZT_QD.size();
  const std::size_t zones = tracers > 0 ? zoneFZT_QD[0].size() : 0;
  zone_key_offset.assign(2 * tracers * zones, 0);
  std::size_t key = 0, line = 0;
  for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI})
    for (std::size_t k = 0; k < tracers; ++k)
      for (std::size_t z = 0; z < zones; ++z, ++line) {
        zone_key_offset[line] = key;
        key += (*lines)[k][z].size();
      }
  zone_entries.Resize(key);
  zone_first_step = true;
}

void surfaceroutingclass::WriteFlowTimeLog() {
  const std::string name = FormatText("modell_%d.log", 0);
  std::optional<CheckedFile> log;
  if (rank == 0) {
    log.emplace(Diag(), kWriteErrorCode, name, "a");
    log->Write("Flow time distribution:\n");
  }
  for (int32_t z = 1; z <= zone_count; ++z) {
    const int32_t m = ZoneCountOf(maxzeit[z]);
    const int32_t code = static_cast<int32_t>(zone_table[z][2]);
    if (log) log->Printf("TG\t%4d\t(%3d\tZonen):", code, m);
    double cells = 0;
    for (int32_t j = 1; j <= m; ++j) cells += zoneFZT_QD[0][z][j][0];
    if (m < 1 || cells == 0) {
      log.reset();
      ThrowFatal(Diag(), kSurfaceFlowTimeCellsCode, "FATAL: all cells in ", flow_times_file,
                 ", subbasin ", code, " are NODATA!");
    }
    for (int32_t j = 1; j <= m; ++j) {
      const double share = zoneFZT_QD[0][z][j][0] / cells;
      for (std::size_t k = 0; k < zoneFZT_QD.size(); ++k)
        for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI}) {
          ZoneRecord& record = (*lines)[k][z][j];
          record[2] = j;
          record[3] = k == 0 ? share : 0.0;
        }
      if (log) log->Printf("\t%5.3f", share);
    }
    if (!(zoneFZT_QD[0][z][1][3] > 0)) {
      log.reset();
      ThrowFatal(Diag(), kSurfaceFirstZoneCode,
                 "FATAL: in flow-travel-time grid: the first time zone of subbasin ", code,
                 " has no cells!");
    }
    // Once the shares are known the records carry only what the solver enters, so the outlet
    // value of a step is the weighted mean of the runoff that reaches it.
    for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI})
      for (ZoneRecord& record : (*lines)[0][z]) record[0] = record[4] = 0;
    if (log) log->Write("\n");
  }
  if (log) log->Close();
}

void surfaceroutingclass::AddToFlowTimeZone(ZoneLines& records, int k, int z, int j, double value,
                                            double weight) {
  auto& line = records[static_cast<std::size_t>(k)][static_cast<std::size_t>(z)];
  if (j < 0 || static_cast<std::size_t>(j) >= line.size())
    ThrowFatal(Diag(), kZoneIndexCode, "FATAL: flow time zone ", j, " outside 0..", line.size() - 1,
               " of subbasin ", z);
  if (zone_key_offset.empty()) NumberZoneRecords();
  EnterZone(&records == &zoneFZT_QD ? 0 : 1, static_cast<std::size_t>(k),
            static_cast<std::size_t>(z), static_cast<std::size_t>(j), weight, value, weight);
}

void surfaceroutingclass::BeginStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  teilmodellklasse::RunStep(hour, day, month, year);
  if (GetFlowControl() == 0) return;
  for (auto& table : statistics)
    if (table) table->ResetZoneSums();
  for (int32_t i = 1; i <= tracer_count; ++i)
    if (tracer_blocks[i].statistics) tracer_blocks[i].statistics->ResetZoneSums();
  for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI})
    for (auto& per_tracer : *lines)
      for (std::size_t z = 1; z < per_tracer.size(); ++z) {
        auto& line = per_tracer[z];
        const std::size_t m = line.size() - 1;
        if (m < 1) continue;
        for (std::size_t j = 2; j <= m; ++j)
          for (int f : {0, 1, 4}) line[j - 1][f] = line[j][f];
        for (int f : {0, 1, 4}) line[m][f] = 0;
      }
}

void surfaceroutingclass::AddZoneEntries() {
  if (zone_key_offset.empty()) NumberZoneRecords();
  if (zone_first_step) {
    // Records that other processes read from their state files join process 0's, subbasin by
    // subbasin (a small exchange beside the records).
    zone_first_step = false;
    std::vector<double> read{zone_records_read ? 1.0 : 0.0};
    AllReduceMaximum(read);
    for (std::size_t z = 1; read[0] > 0 && z < zoneFZT_QD[0].size(); ++z) {
      std::vector<double> values;
      for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI})
        for (auto& per_tracer : *lines)
          for (const ZoneRecord& record : per_tracer[z])
            for (int f : kEntryField) values.push_back(record[f]);
      ExactSumsToRoot(values);
      const double* next = values.data();
      for (ZoneLines* lines : {&zoneFZT_QD, &zoneFZT_QI})
        for (auto& per_tracer : *lines)
          for (ZoneRecord& record : per_tracer[z])
            for (int f : kEntryField) record[f] = rank == 0 ? *next++ : 0.0;
    }
  }
  // The step's entries of all processes, summed exactly once; process 0 adds each record's total
  // to the record (its line is the last whose first key is not beyond the key: empty lines share
  // their first key with the next).
  const std::vector<ZoneEntrySums::Total>& totals = zone_entries.Finish(nullptr, MPI_COMM_WORLD);
  const std::size_t tracers = zoneFZT_QD.size(), zones = zoneFZT_QD[0].size();
  for (const ZoneEntrySums::Total& total : totals) {
    const auto line = static_cast<std::size_t>(
        std::upper_bound(zone_key_offset.begin(), zone_key_offset.end(), total.key) -
        zone_key_offset.begin() - 1);
    ZoneLines& lines = line < tracers * zones ? zoneFZT_QD : zoneFZT_QI;
    ZoneRecord& record =
        lines[line % (tracers * zones) / zones][line % zones][total.key - zone_key_offset[line]];
    for (int f = 0; f < ZoneEntrySums::kTerms; ++f) record[kEntryField[f]] += total.value[f];
  }
}

void surfaceroutingclass::FinishOutlet(ZoneLines& records, std::vector<double*>& inflow,
                                       std::vector<double*>& storage, const double* constants,
                                       SurfaceStatistic statistic, int z) {
  const ZoneRecord& water = records[0][z][1];
  // A subbasin whose outlet zone received no weight delivers nothing (not 0 / 0).
  inflow[0][z] = water[4] > 0 ? water[1] / water[4] : 0.0;
  for (std::size_t k = 1; k < inflow.size(); ++k) {
    const ZoneRecord& record = records[k][z][1];
    inflow[k][z] = record[4] > 0 ? record[1] / record[4] : 0.0;
  }
  const double e = OutletRecessionFactor(time_interval, constants != nullptr ? constants[z] : 0.0);
  const double q = LinearStorageStep(inflow[0][z], storage[0][z], e);
  for (std::size_t k = 1; k < inflow.size(); ++k)
    storage[k][z] =
        q > 0 ? ((1 - e) * inflow[0][z] * inflow[k][z] + e * storage[0][z] * storage[k][z]) / q
              : 0.0;
  storage[0][z] = q;
  if (statistics[statistic])
    statistics[statistic]->AddValue(0, 0, z, q, statistics_records[statistic][z][3]);
}

void surfaceroutingclass::FinishStep() {
  if (GetFlowControl() == 0) return;
  AddZoneEntries();
  if (rank == 0) {
    for (int32_t z = 1; z <= zone_count; ++z) {
      FinishOutlet(zoneFZT_QD, QD, QDd, kelsqd, kStatQD, z);
      FinishOutlet(zoneFZT_QI, QI, QIi, kelsqi, kStatQI, z);
      const double baseflow = QBb != nullptr ? QBb[0][z] : 0.0;
      Qg[0][z] = QDd[0][z] + QIi[0][z] + baseflow;
      statistics[kStatQB]->AddValue(0, 0, z, baseflow, statistics_records[kStatQB][z][3]);
      statistics[kStatQG]->AddValue(0, 0, z, Qg[0][z], statistics_records[kStatQG][z][3]);
    }
  }
  const ModelDate& d = step_date;
  for (SurfaceStatistic s : {kStatQD, kStatQI, kStatQG, kStatQB, kStatStorage})
    statistics[s]->CollectStep(d.year, d.month, d.day, d.hour, 1);
  for (int32_t i = 1; i <= tracer_count; ++i) {
    for (int32_t z = 1; z <= zone_count; ++z) {
      const double qb = QBb != nullptr ? QBb[0][z] : 0.0;
      const double cb = QBb != nullptr && QBb[i] != nullptr ? QBb[i][z] : 0.0;
      Qg[i][z] = MixThreeConcentrations(qb, cb, QIi[0][z], QIi[i][z], QDd[0][z], QDd[i][z]);
      if (rank == 0 && tracer_blocks[i].statistics)
        tracer_blocks[i].statistics->AddValue(0, 0, z, Qg[i][z], 1.0);
    }
    if (tracer_blocks[i].statistics)
      tracer_blocks[i].statistics->CollectStep(d.year, d.month, d.day, d.hour, 1);
    const int index = tracer_surface_index[i];
    if (index >= 1 && index < kRefusedGridIndex) WriteGridOutput(index, 1, false);
  }
  for (SurfaceGrid g : {kSurfVelocity, kSurfFluxes}) {
    WriteGridOutput(grid_index[g], 1, false);
    WriteStackOutput(grid_index[g]);
  }
}

double** surfaceroutingclass::GetQg() {
  if (GetFlowControl() == 0) return nullptr;
  if (Qg.empty())
    ThrowFatal(Diag(), kSurfaceQgMissingCode,
               "FATAL: Qg (surface routing) not initialized (may be, tracer module not linked? -> "
               "programmers error!)");
  if (Qg[0] == nullptr)
    ThrowFatal(Diag(), kSurfaceQgMissingCode,
               "FATAL: Qg[0] (surface routing) not initialized (may be, tracer module not linked? "
               "-> programmers error!)");
  return Qg.data();
}

int32_t surfaceroutingclass::SetBaseflow(double** baseflow) {
  if (GetFlowControl() != 0) QBb = baseflow;
  return GetFlowControl();
}

int32_t surfaceroutingclass::SetInterflow(double** interflow_values) {
  if (GetFlowControl() != 0 && interflow_values != nullptr)
    for (std::size_t k = 0; k < QI.size(); ++k) QI[k] = interflow_values[k];
  return GetFlowControl();
}

int32_t surfaceroutingclass::SetDirectRunoff(double** direct_runoff) {
  if (GetFlowControl() != 0 && direct_runoff != nullptr)
    for (std::size_t k = 0; k < QD.size(); ++k) QD[k] = direct_runoff[k];
  return GetFlowControl();
}

int32_t surfaceroutingclass::SetDirectRunoffRecessionConstants(double* constants) {
  if (GetFlowControl() != 0) kelsqd = constants;
  return GetFlowControl();
}

int32_t surfaceroutingclass::SetInterflowRecessionConstants(double* constants) {
  if (GetFlowControl() != 0) kelsqi = constants;
  return GetFlowControl();
}

void surfaceroutingclass::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  for (auto& table : statistics)
    if (table) table->FlushBuffers();
  for (int32_t i = 1; i <= tracer_count; ++i)
    if (tracer_blocks[i].statistics) tracer_blocks[i].statistics->FlushBuffers();
}

void surfaceroutingclass::ReleaseTracers() {
  if (GetFlowControl() == 0) return;
  tracer_qd_grids.clear();
  tracer_qi_grids.clear();
  for (std::size_t i = 1; i < tracer_surface_index.size(); ++i)
    if (tracer_surface_index[i] >= 1) UnregisterGrid(tracer_surface_index[i]);
  tracer_surface_grids.clear();
  tracer_surface_index.clear();
  tracer_surface_own.clear();
  tracer_start_concentration.clear();
  for (auto* list : {&Qg, &QD, &QDd, &QI, &QIi}) list->clear();
  for (auto* own : {&own_Qg, &own_QD, &own_QDd, &own_QI, &own_QIi}) own->clear();
  teilmodellklasse::ReleaseTracers();
}

void surfaceroutingclass::ReleaseArrays(bool append) {
  if (GetFlowControl() != 0 && !released) {
    released = true;
    if (initialised != 0) WriteStorageState(append);
    ReleaseTracers();
    for (auto& table : statistics)
      if (table) table->ReleaseMemory();
    for (auto& table : statistics) table.reset();
    for (auto& table : statistics_records) table.clear();
    for (auto& table : balance_records) table.clear();
    substep_values.clear();
    head_exchange.clear();
    maxzeit.clear();
    zoneFZT_QD.clear();
    zoneFZT_QI.clear();
    zone_key_offset.clear();
    zone_entries.Resize(0);
    for (int index : grid_index)
      if (index > 0) UnregisterGrid(index);
    grid_index.fill(0);
    grid_data.fill(nullptr);
    stack_data.fill(nullptr);
    own_grids.clear();
    own_stacks.clear();
    landuse_layers.clear();
    coverage_layers.clear();
  }
  modelobject::ReleaseMemory();
}

}  // namespace velorn

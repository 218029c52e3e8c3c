// The end of the soil zone's run (see unsatzone_model.h, "End of run"): FlushBuffers writes
// what the single-point files and statistics tables buffer (Ctrl-C choice 3 and the end of a
// run); FinishRun writes the storage section, logs the soil water at the end of the model time,
// releases the tracer data and frees the tables, grids and stacks.
//
// The end-of-run lines go to the per-process log "modell_<rank>.log": the control cell's column
// water on its process, the three mean soil water contents on process 0. A log that cannot be
// opened or written is an ERROR entry naming it and the system's reason; the shut-down goes on.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/error_code.h"
#include "core/exact_sum.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "tables/soil_record.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

// The tables in the order in which their files are flushed.
std::vector<zonalstatistic*> unsatzonmodellklasse::TablesInFlushOrder() {
  std::vector<zonalstatistic*> tables;
  const auto add = [&](zonalstatistic* table) {
    if (table != nullptr) tables.push_back(table);
  };
  const auto table = [&](StatisticsPair pair) { return statistics[pair].table.get(); };
  for (StatisticsPair pair :
       {kStatQD, kStatQI, kStatQB, kStatGWIN, kStatGWEX, kStatQg, kStatSB1, kStatSB2})
    add(table(pair));
  add(immobilised_statistics.table.get());
  for (StatisticsPair pair : {kStatROOT, kStatGWSTAND, kStatGWN, kStatINFILT, kStatMACRO,
                              kStatSUBSTEPS, kStatINFEX, kStatPOND, kStatQDRAIN, kStatTemper})
    add(table(pair));
  for (int32_t t = 1; t <= tracer_count && tracer_blocks; ++t)
    add(tracer_blocks[t].statistics.get());
  return tables;
}

void unsatzonmodellklasse::WriteAllPointBuffers() {
  if (!single_point_owner) return;
  for (int file = 0; file < kSinglePointCount; ++file)
    if (file != kTemperatureFile || heatTransferSwitch > 0)
      WritePointBuffer(static_cast<SinglePoint>(file));
  for (std::size_t t = 1; t < soil_tracers.size(); ++t)
    if (soil_tracers[t].point)
      WriteSinglePointBuffer(Diag(), soil_tracers[t].point_file, *soil_tracers[t].point, 1, 0);
}

void unsatzonmodellklasse::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  WriteAllPointBuffers();
  for (zonalstatistic* table : TablesInFlushOrder()) table->FlushBuffers();
}

void unsatzonmodellklasse::FinishRun(bool append) {
  if (GetFlowControl() == 0) {
    teilmodellklasse::ReleaseMemory();
    return;
  }
  // The storage section holds the state of the last step: before the tracer data go.
  if (initialised != 0 && !runoff.Qg.empty()) WriteStorageState(append);
  glacier_shares.clear();
  // A log or point file that cannot be written ends the run, after the release.
  const int log_failure = CodeOf([&] {
    if (initialised != 0) WriteEndOfRunLog();
  });
  ReleaseTracers();
  const int point_failure = CodeOf([&] { WriteAllPointBuffers(); });
  point_buffers.clear();
  ReleaseMemory();
  if (log_failure != 0) throw ErrorCode{log_failure};
  if (point_failure != 0) throw ErrorCode{point_failure};
}

void unsatzonmodellklasse::WriteEndOfRunLog() {
  double*** theta = Stack(kTheta);
  const std::string name = FormatText("modell_%d.log", rank);
  if (single_point_owner) {
    const SoilRecord& soil = CellSoil(controlRow, controlCol);
    const double mm =
        ColumnSoilWater(soil, CellLayers(soil), theta[controlRow][controlCol]) * 1000.0;
    AppendChecked(Diag(), kWriteErrorCode, name,
                  FormatText("(mpi_rank %d) soil water content (control point r=%d c=%d) at "
                             "model-end: %lf mm\n",
                             rank, controlRow, controlCol, mm));
  }
  // W1, A1: the cells' soil water outside glaciers; W2, A2: the glaciers' pore volume.
  std::vector<ExactSum> sums(4);
  double** ice = links.ice_firn;
  double** weights = Optional("RelCellArea");
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || !(soil_zone_grid[r][c] > 0)) continue;
      const SoilRecord& soil = CellSoil(r, c);
      const double g = ice != nullptr ? std::clamp(ice[r][c], 0.0, 1.0) : 0.0;
      double water = 0, pores = 0;
      for (int32_t l = 1; l <= layerCount; ++l) {
        water += theta[r][c][l] * soil.thickness[l];
        pores += soil.theta_sat[l] * soil.thickness[l];
      }
      sums[0].Add(water * (1.0 - g));
      sums[2].Add(pores * g);
      const double w = weights != nullptr ? weights[r][c] : 1.0;
      sums[1].Add(weights != nullptr ? (1.0 - g) * w + g : 1.0);
      sums[3].Add(weights != nullptr ? g * w + (1.0 - g) : 1.0);
    }
  ReduceExactSumsToRoot(sums);
  if (rank != 0) return;
  const auto mean = [&](int i) {
    const double area = sums[i + 1].Value();
    return area != 0 ? sums[i].Value() / area : 0.0;
  };
  AppendChecked(
      Diag(), kWriteErrorCode, name,
      FormatText("mean soil water content for all cells at model-end: %lf m^3/m^2\n",
                 mean(0) + mean(2)) +
          FormatText("mean soil water content for unglacierized or only partly unglacierized "
                     "cells at model-end: %lf m^3/m^2\n",
                     mean(0)) +
          FormatText("mean soil water content for partly or completely glacierized cells at "
                     "model-end: %lf m^3/m^2\n",
                     mean(2)));
}

}  // namespace velorn

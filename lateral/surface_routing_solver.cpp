// The sub-step of the surface routing model (RunStep): the new direct runoff is added to the
// surface storage, the inner steps move the water (methods 1-5 explicitly, method 6 by the head
// iteration) with a time step agreed over all processes, the zone records link the water that
// left the hillslopes to the channel cells, and a closing pass enters what reached the channels
// into the flow-time zones. The first inner step of a call agrees the time step; its flow and
// storage passes then use the agreed step (method 6 solves its heads a second time for it), so
// the water moves over the time by which the clock advances, whatever the minimum step.
//
// Every process makes the same collectives in the same order (three halo rounds, the record sums
// and, on the first inner step, the agreed time step), also without own cells. The zone records
// are summed exactly, so they do not depend on the process count.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/error_code.h"
#include "core/exact_reduction.h"
#include "core/exact_sum.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/row_sums.h"
#include "core/tracer_bookkeeping.h"
#include "lateral/surface_flow_formulas.h"
#include "lateral/surface_routing_model.h"

namespace velorn {

namespace {
// Record arrays A (start of the inner step), B (after the flow step), C (channel discharge).
enum Record { kRecordA, kRecordB, kRecordC };
}  // namespace

bool surfaceroutingclass::ChannelCell(int64_t row, int64_t column) const {
  return river_width[row][column] > 0 && river_depth[row][column] > 0;
}

double surfaceroutingclass::CellArea(int64_t row, int64_t column) const {
  if (cell_size_x != nullptr) return cell_size_x[row][column] * cell_size_y[row][column];
  return cellsize * cellsize;
}

void surfaceroutingclass::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  const std::array<int64_t, 4> date{year, month, day, hour};
  if (date == call_date) {
    ++call_count;
  } else {
    call_date = date;
    call_count = 1;
  }
  StartTransfer();
  const double t = time_interval / sub_step_count * 60.0;
  inner_dt = minimum_sub_time_step;
  previous_dt = minimum_sub_time_step;
  inner_index = 0;
  recompute_mark = 0;
  inner_steps = 0;
  double elapsed = 0;
  while (t - 0.5 * minimum_sub_time_step > elapsed) {
    RunInnerStep(t, inner_steps == 0);
    elapsed += inner_dt;
    previous_dt = inner_dt;
    ++inner_steps;
  }
  ClosingPass();
}

void surfaceroutingclass::StartTransfer() {
  double** head = grid_data[kSurfHead];
  double** head_old = grid_data[kSurfHeadOld];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      // Water still on the surface stays there: the new runoff is added to it.
      silting_storage[r][c] += directflow[r][c];
      head[r][c] = silting_storage[r][c] / 1000.0;
      if (method == 6) {
        head[r][c] += elevation[r][c];
        head_old[r][c] = head[r][c];
      }
      for (int32_t i = 1; i <= tracer_count; ++i) {
        // The storage concentration becomes that of the mix of stored water and new runoff.
        double** stored = tracer_blocks[i].concentration.get();
        const double old_storage = silting_storage[r][c] - directflow[r][c];
        stored[r][c] =
            silting_storage[r][c] > 0
                ? (stored[r][c] * old_storage + tracer_qd_grids[i][r][c] * directflow[r][c]) /
                      silting_storage[r][c]
                : 0.0;
        tracer_qd_grids[i][r][c] = 0;
        tracer_surface_grids[i][r][c] = 0;
      }
      directflow[r][c] = 0;
      // The velocity searches of methods 1-4 start from their restart value in every call: a
      // call then depends only on the water on the surface, which a warm start reads, and not
      // on velocities of an earlier call that no state holds.
      if (method <= 4)
        for (int k = 1; k <= 8; ++k) stack_data[kSurfVelocity][r][c][k] = 0;
    }
  });
  ExchangeHeadsAndFluxes();
}

void surfaceroutingclass::ExchangeHeadsAndFluxes() {
  MPIExchangeGridHalo(grid_index[kSurfHead], grid_data[kSurfHead]);
  MPIExchangeGridHalo(grid_index[kSurfHeadOld], grid_data[kSurfHeadOld]);
  MPIExchangeStackHalo(grid_index[kSurfFluxes], 0, stack_data[kSurfFluxes]);
  for (int32_t i = 1; i <= tracer_count; ++i)
    MPIExchangeGridHalo(tracer_blocks[i].concentration_index, tracer_blocks[i].concentration.get());
}

void surfaceroutingclass::RunInnerStep(double t, bool first) {
  SumRecords(kRecordA);
  if (method <= 5) {
    // The outflow limit needs the step of the balance; on the first inner step that step is
    // agreed first, so the inner steps of a call add up to the sub-step.
    ExplicitFlowPass(first ? 0.0 : previous_dt);
    if (first) {
      AgreeTimeStep(t);
      previous_dt = inner_dt;
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
          if (OwnCell(r, c)) LimitOutflow(r, c, previous_dt);
      });
    }
    ExchangeHeadsAndFluxes();
  } else {
    RunHeadIteration(previous_dt);
    ExchangeHeadsAndFluxes();
    FinishHeadIteration();
    if (first) {
      // The velocities of a trial with the minimum step give the agreed step; the heads then
      // start again from the start of the inner step and are solved over the agreed step, so the
      // water moves over the time by which the clock advances.
      AgreeTimeStep(t);
      if (inner_dt != previous_dt) {
        RestartHeads();
        previous_dt = inner_dt;
        RunHeadIteration(previous_dt);
        ExchangeHeadsAndFluxes();
        FinishHeadIteration();
      }
      previous_dt = inner_dt;
    }
  }
  if (inner_index == recompute_mark)
    recompute_mark =
        static_cast<int64_t>(std::trunc(inner_index + inner_count / (t / maximum_sub_time_step)));
  SumRecords(kRecordB);
  SumRecords(kRecordC);
  ReduceRecords();
  ++inner_index;
  if (method <= 5)
    ExplicitStoragePass(previous_dt);
  else
    HeadStoragePass(previous_dt);
  ExchangeHeadsAndFluxes();
}

void surfaceroutingclass::RestartHeads() {
  double** head = grid_data[kSurfHead];
  double** head_old = grid_data[kSurfHeadOld];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (OwnCell(r, c)) head[r][c] = head_old[r][c];
  });
  ExchangeHeadsAndFluxes();
}

void surfaceroutingclass::AgreeTimeStep(double t) {
  // Allreduce MIN as the maximum of the negated limits.
  std::vector<double> limit{-ComputeStableTimeStep(0)};
  AllReduceMaximum(limit);
  const InnerTimeStep step =
      FitInnerTimeStep(t, -limit[0], minimum_sub_time_step, maximum_sub_time_step);
  inner_dt = step.dt;
  inner_count = step.count;
}

void surfaceroutingclass::SumRecords(int which) {
  // The sums of a record are kept exact per process; ReduceRecords adds them over processes.
  std::vector<ZoneRecord>& records = balance_records[which];
  const std::size_t count = 2 * records.size();
  if (record_sums.size() != 3 * count) record_sums.assign(3 * count, {});
  double** head = grid_data[kSurfHead];
  double** fluxes = grid_data[kSurfFluxes];
  const std::vector<ExactSum> sums =
      ExactSumsOverRows(first_local_row, last_local_row, count, [&](long r, ExactSum* own) {
        for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
          if (!OwnCell(r, c)) continue;
          const std::size_t j = static_cast<std::size_t>(ZoneIndexOf(r, c));
          double value = 0;
          if (which == kRecordA) {
            value = head[r][c] - elevation[r][c];
          } else if (which == kRecordB) {
            value = std::max(head[r][c] - elevation[r][c], 0.0);
          } else {
            if (!ChannelCell(r, c)) continue;
            value = 1000.0 * fluxes[r][c] * previous_dt / CellArea(r, c);
          }
          own[2 * j].Add(1.0);
          own[2 * j + 1].Add(value);
        }
      });
  std::copy(
      sums.begin(), sums.end(),
      record_sums.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(which) * count));
}

void surfaceroutingclass::ReduceRecords() {
  ReduceExactSumsToRoot(record_sums);
  std::vector<double> totals(record_sums.size());
  for (std::size_t k = 0; k < totals.size(); ++k) totals[k] = record_sums[k].Value();
  BroadcastBytes(totals.data(), static_cast<int>(totals.size() * sizeof(double)));
  const std::size_t n = balance_records[0].size();
  for (int which = 0; which < 3; ++which)
    for (std::size_t j = 1; j < n; ++j) {
      balance_records[which][j][0] = totals[(which * n + j) * 2];
      balance_records[which][j][1] = totals[(which * n + j) * 2 + 1];
    }
  // The channels of a subbasin receive the water its surface lost, less what it gave over its
  // borders to subbasins that gained: that water stays on their surface, not in two places.
  std::vector<double> net_loss(n, 0.0);
  for (std::size_t j = 1; j < n; ++j)
    net_loss[j] = 1000.0 * (balance_records[kRecordA][j][1] - balance_records[kRecordB][j][1]);
  head_exchange = SubbasinExchange(net_loss);
  for (std::size_t j = 1; j < n; ++j)
    substep_values[j] = std::max(0.0, net_loss[j] - head_exchange[j]);
}

void surfaceroutingclass::ClosingPass() {
  const double substeps = sub_step_count;
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int s = ZoneIndexOf(r, c);
      const bool channel = ChannelCell(r, c);
      const double w = relative_cell_area != nullptr ? relative_cell_area[r][c] : 1.0;
      const double storage = silting_storage[r][c];
      std::vector<double> stored(static_cast<std::size_t>(std::max(tracer_count, 0)) + 1, 0.0);
      for (int32_t i = 1; i <= tracer_count; ++i) {
        double** concentration = tracer_blocks[i].concentration.get();
        // The water left on the surface keeps its concentration for the next call.
        stored[i] = concentration[r][c];
        tracer_surface_grids[i][r][c] = stored[i];
        if (channel)
          tracer_qd_grids[i][r][c] =
              directflow[r][c] > 0 ? tracer_qd_grids[i][r][c] / directflow[r][c] : 0.0;
      }
      if (statistics[kStatStorage]) statistics[kStatStorage]->AddValue(r, c, s, storage, 1.0);
      int j = 1;
      if (flow_times != nullptr) {
        const double time = flow_times[r][c];
        // Cells without a flow time belong to no flow-time zone (reported at set-up).
        if (!(IsNotNodata(time, nodata) && time >= 0 && std::isfinite(time))) continue;
        j = static_cast<int>(std::trunc(time));
      }
      const auto enter = [&](std::vector<std::vector<std::vector<ZoneRecord>>>& lines,
                             std::size_t k, double value, double count, double weight) {
        auto& line = lines[k][static_cast<std::size_t>(s)];
        if (static_cast<std::size_t>(j) >= line.size()) return;
        EnterZone(&lines == &zoneFZT_QD ? 0 : 1, k, static_cast<std::size_t>(s),
                  static_cast<std::size_t>(j), count, value * w, weight * w);
      };
      // Each call enters one weight per cell, so a step's record holds the mean over its
      // sub-steps: the runoff of one sub-step enters times their number, and the step's record
      // holds their sum (direct runoff and interflow alike).
      enter(zoneFZT_QD, 0, channel ? substeps * directflow[r][c] : 0.0, 1, 1);
      enter(zoneFZT_QI, 0, substeps * interflow[r][c], 1, 1);
      for (int32_t i = 1; i <= tracer_count; ++i) {
        // The solute that reached the zone over the water that carried it: a flow-weighted mean
        // concentration at the outlet.
        enter(zoneFZT_QD, i, channel ? tracer_qd_grids[i][r][c] * directflow[r][c] : 0.0,
              directflow[r][c], directflow[r][c]);
        enter(zoneFZT_QI, i, tracer_qi_grids[i][r][c] * interflow[r][c], interflow[r][c],
              interflow[r][c]);
        ZoneRecord& balance = tracer_blocks[i].balance_table[static_cast<std::size_t>(s)];
        balance[1] += stored[i] * storage * w;
        balance[0] += storage;
        balance[4] += storage * w;
      }
    }
}

}  // namespace velorn

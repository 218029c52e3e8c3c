// The step of the irrigation model (see irrigation_model.h): cell amounts on the owning
// process, the surface-water sums per subbasin added exactly on process 0 and served from the
// routing model's arrays there, the supply factors sent back, then the water input, the tracer
// mixing and the statistics.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/exact_reduction.h"
#include "core/exact_sum.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/tracer_bookkeeping.h"
#include "routing/irrigation_model.h"

namespace velorn {
namespace {

// Weight of a cell in the zone tables: its relative area where that grid has a value.
double CellWeight(double** relative_area, int64_t r, int64_t c) {
  if (relative_area == nullptr || relative_area[r] == nullptr) return 1.0;
  const double w = relative_area[r][c];
  return w > kNodata ? w : 1.0;
}

}  // namespace

bool irrigationclass::OwnCell(int64_t row, int64_t column) const {
  if (zone_grid == nullptr || !IsAboveNodata(zone_grid[row][column], nodata)) return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

int32_t irrigationclass::ZoneOf(int64_t row, int64_t column) const {
  const auto code = static_cast<int32_t>(zone_grid[row][column]);
  return code >= 0 && code <= highest_zone_code ? zone_code_index[code] : 0;
}

// The type of an irrigation code, or null for a code outside the table or without a method.
const IrrigationRecord* irrigationclass::RecordOf(double code) const {
  if (table_ == nullptr || !(code >= 1.0) || code > table_->count) return nullptr;
  const IrrigationRecord& record = table_->records[static_cast<std::size_t>(code)];
  return record.method >= 1 ? &record : nullptr;
}

void irrigationclass::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  groundwater_statistics_->ResetZoneSums();
  surface_statistics_->ResetZoneSums();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->ResetZoneSums();
  ComputeDemand(month, day);
  ServeSurfaceWater();
  ApplyToWaterInput();
  AddStatistics();
  FinishStep();
}

void irrigationclass::ComputeDemand(int64_t month, int64_t day) {
  double** codes = Data(codes_);
  double** amount = Data(amounts_);
  double** sb = Data(soil_moisture_);
  double** low = Data(low_);
  double** high = Data(high_);
  double** ratio = Data(et_ratio_);
  double** roots = Data(root_depth_);
  double** pumping = Data(pumping_);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (zone_grid != nullptr && !IsAboveNodata(zone_grid[r][c], nodata)) {
        amount[r][c] = nodata;
        continue;
      }
      if (!OwnCell(r, c)) continue;
      const IrrigationRecord* record = RecordOf(codes[r][c]);
      if (record == nullptr) {
        amount[r][c] = 0.0;
        continue;
      }
      const IrrigationCell cell{sb[r][c],    low[r][c],   high[r][c],
                                ratio[r][c], roots[r][c], amount[r][c]};
      double demand = IrrigationDemand(*record, cell, month, day, time_interval);
      if (record->origin == kIrrigationFromGroundwater)
        demand = LimitToPumping(demand, pumping[r][c]);
      amount[r][c] = demand;
    }
  });
}

// The surface-water demand per subbasin (mean over its cells, as the surface-water table forms
// it) is summed exactly onto process 0, which serves it from the reservoirs and rivers and
// sends every process the share of the demand met per subbasin, and the concentrations of the
// water served (see ServedConcentration).
void irrigationclass::ServeSurfaceWater() {
  double** codes = Data(codes_);
  const auto n1 = static_cast<std::size_t>(zone_count) + 1;
  std::vector<ExactSum> sums(2 * n1);
  double** amount = Data(amounts_);
  for (int64_t r = first_local_row; r <= last_local_row; ++r) {
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const IrrigationRecord* record = RecordOf(codes[r][c]);
      if (record != nullptr && record->origin != kIrrigationFromGroundwater &&
          record->origin != kIrrigationFromSurfaceWater)
        continue;
      const int32_t z = ZoneOf(r, c);
      const double w = CellWeight(relative_cell_area, r, c);
      if (record != nullptr && record->origin == kIrrigationFromSurfaceWater)
        sums[z].Add(amount[r][c] * w);
      sums[n1 + z].Add(w);
    }
  }
  ReduceExactSumsToRoot(sums);

  // Packed for the broadcast: factors 0..n, the shortage flag, river concentrations [t][0..n].
  std::vector<double> packed(n1 + 1 + static_cast<std::size_t>(tracer_count) * n1, 0.0);
  std::fill(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(n1), 1.0);
  if (rank == 0) {
    SurfaceSupplyInput in;
    in.demand.assign(n1, 0.0);
    in.area.assign(n1, 0.0);
    in.target.assign(n1, 0);
    in.dt = time_interval;
    for (std::size_t z = 1; z < n1; ++z) {
      const double weights = sums[n1 + z].Value();
      in.demand[z] = weights > 0.0 ? sums[z].Value() / weights : 0.0;
      in.area[z] = demand_records_[0][3] * demand_records_[z][3];
      if (targets_ != nullptr && z < targets_->size()) in.target[z] = (*targets_)[z];
    }
    in.reservoirs =
        maxirrig_reservoirs_ != nullptr ? (*maxirrig_reservoirs_)[0] : std::vector<double>(n1, 0.0);
    in.rivers = maxirrig_ != nullptr ? (*maxirrig_)[0] : std::vector<double>(n1, 0.0);
    in.reservoirs.resize(n1, 0.0);
    in.rivers.resize(n1, 0.0);
    const SurfaceSupply supply = ServeSurfaceDemand(in, records_);
    for (std::size_t z = 1; z < n1; ++z) {
      packed[z] = supply.factor[z];
      // What the routing model reads this step: the served demand and its weights.
      demand_records_[z][1] =
          supply.shortage ? sums[z].Value() * supply.factor[z] : sums[z].Value();
      demand_records_[z][4] = sums[n1 + z].Value();
      demand_records_[z][0] = demand_records_[z][4];
      if (maxirrig_reservoirs_ != nullptr)
        (*maxirrig_reservoirs_)[0][z] = supply.reservoir_share[z];
      if (maxirrig_ != nullptr) (*maxirrig_)[0][z] = supply.rivers_left[z];
    }
    packed[n1] = supply.shortage ? 1.0 : 0.0;
    for (int32_t t = 1; t <= tracer_count; ++t)
      for (std::size_t z = 1; z < n1; ++z)
        packed[n1 + 1 + (t - 1) * n1 + z] = ServedConcentration(t, z, supply);
  }
  BroadcastBytes(packed.data(), static_cast<int>(packed.size() * sizeof(double)));
  supply_.factor.assign(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(n1));
  supply_.shortage = packed[n1] != 0.0;
  for (int32_t t = 1; t <= tracer_count; ++t)
    std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(n1 + 1 + (t - 1) * n1), n1,
                river_concentration_[t].begin());
}

// The routing takes the water irrigation served in its own step, after the cells received it:
// the solute of that water reaches the cells with the water served in a later step. The cells
// receive what the rivers and reservoirs gave and no cell has received yet (the routing's record
// of z), at most at the higher concentration of the two offers they are served from; what stays
// on its way decays over the step as the tracer does wherever it sits. Without the routing's
// record, the offers' concentration.
double irrigationclass::ServedConcentration(int32_t t, std::size_t z, const SurfaceSupply& supply) {
  const auto offer = [&](const std::vector<std::vector<double>>* offers) {
    return offers != nullptr && static_cast<std::size_t>(t) < offers->size() &&
                   z < (*offers)[t].size()
               ? (*offers)[t][z]
               : 0.0;
  };
  const double river_c = offer(maxirrig_), reservoir_c = offer(maxirrig_reservoirs_);
  const double r = supply.reservoir_share[z], river = supply.river_share[z];
  const double served = r + river;
  const bool recorded = solute_ != nullptr && static_cast<std::size_t>(t) < solute_->size() &&
                        z < (*solute_)[t].size();
  if (!recorded) return served > 0.0 ? (r * reservoir_c + river * river_c) / served : river_c;
  double& pending = (*solute_)[t][z];
  double c = river_c;
  if (served > 0.0) {
    const double highest = std::max(r > 0.0 ? reservoir_c : 0.0, river > 0.0 ? river_c : 0.0);
    c = std::clamp(pending / served, 0.0, std::max(0.0, highest));
  }
  const double left = pending - (served > 0.0 ? served * c : 0.0);
  pending = left * tracer_blocks[t].decay_factor;
  if (decayed_.size() <= static_cast<std::size_t>(t))
    decayed_.resize(static_cast<std::size_t>(t) + 1);
  if (decayed_[t].size() <= z) decayed_[t].resize(z + 1, 0.0);
  decayed_[t][z] += left - pending;
  return c;
}

// Surface-water cells take their subbasin's share of the demand met; every cell's amount joins
// its precipitation, and with tracers the input concentration is mixed with that of the water
// the cell receives (the pumped groundwater's for groundwater, as the store it leaves gives it
// up, the served concentration for surface water).
void irrigationclass::ApplyToWaterInput() {
  double** codes = Data(codes_);
  double** amount = Data(amounts_);
  double** precipitation = Data(precipitation_);
  // Per tracer: output, input and soil concentration grids (null: none).
  const auto n = static_cast<std::size_t>(tracer_count) + 1;
  std::vector<double**> out_grids(n), in_grids(n), soil_grids(n);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    out_grids[t] = tracer_blocks[t].flux.get();
    in_grids[t] = Data(tracer_input_[t]);
    soil_grids[t] = soil_tracer_.empty() ? nullptr : Data(soil_tracer_[t]);
  }
  if (!step_amount_)
    step_amount_ = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  if (step_solute_.size() != n) {
    step_solute_.resize(n);
    for (int32_t t = 1; t <= tracer_count; ++t)
      step_solute_[t] = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  }
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int32_t z = ZoneOf(r, c);
      const IrrigationRecord* record = RecordOf(codes[r][c]);
      const int32_t origin = record != nullptr ? record->origin : 0;
      if (supply_.shortage && origin == kIrrigationFromSurfaceWater)
        amount[r][c] *= supply_.factor[z];
      const double p = precipitation[r][c];
      const double i = amount[r][c];
      for (int32_t t = 1; t <= tracer_count; ++t) {
        double** out = out_grids[t];
        const double c_in = in_grids[t] != nullptr ? in_grids[t][r][c] : 0.0;
        step_solute_[t][r][c] = 0.0;
        if (i > 0.0) {
          double c_water = out[r][c];
          if (origin == kIrrigationFromGroundwater)
            c_water = soil_grids[t] != nullptr ? soil_grids[t][r][c] : 0.0;
          else if (origin == kIrrigationFromSurfaceWater)
            c_water = river_concentration_[t][z];
          if (origin == kIrrigationFromGroundwater || origin == kIrrigationFromSurfaceWater) {
            out[r][c] = velorn::MixConcentration(c_in, c_water, p, i);
            step_solute_[t][r][c] = i * c_water;
          }
        } else {
          out[r][c] = p > 0.0 ? c_in : 0.0;
        }
      }
      step_amount_[r][c] = 0.0;
      if (i > 0.0 && IsAboveNodata(p, nodata)) {
        precipitation[r][c] = p + i;
        step_amount_[r][c] = i;
      }
    }
  });
}

double irrigationclass::StepAmount(long r, long c, int32_t& origin) const {
  origin = 0;
  if (flow_control == 0 || !OwnCell(r, c)) return 0.0;
  const IrrigationRecord* record = RecordOf(Data(codes_)[r][c]);
  if (record == nullptr) return 0.0;
  origin = record->origin;
  return step_amount_ ? step_amount_[r][c] : 0.0;
}

// One thread adds, in row order (the tables hold no lock).
void irrigationclass::AddStatistics() {
  double** codes = Data(codes_);
  double** amount = Data(amounts_);
  double** precipitation = Data(precipitation_);
  for (int64_t r = first_local_row; r <= last_local_row; ++r) {
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int32_t z = ZoneOf(r, c);
      const IrrigationRecord* record = RecordOf(codes[r][c]);
      const int32_t origin = record != nullptr ? record->origin : 0;
      const double i = amount[r][c];
      if (record == nullptr || origin == kIrrigationFromGroundwater ||
          origin == kIrrigationFromSurfaceWater) {
        groundwater_statistics_->AddValue(r, c, z, origin == kIrrigationFromGroundwater ? i : 0.0,
                                          1.0);
        surface_statistics_->AddValue(r, c, z, origin == kIrrigationFromSurfaceWater ? i : 0.0,
                                      1.0);
      }
      for (int32_t t = 1; t <= tracer_count; ++t) {
        zonalstatistic* table = tracer_blocks[t].statistics.get();
        if (table != nullptr && IsAboveNodata(precipitation[r][c], nodata))
          table->AddValue(r, c, z, tracer_blocks[t].flux.get()[r][c], precipitation[r][c]);
      }
    }
  }
}

void irrigationclass::FinishStep() {
  const ModelDate& d = step_date;
  WriteGridOutput(amounts_, 1, false);
  groundwater_statistics_->CollectStep(d.year, d.month, d.day, d.hour, 1);
  surface_statistics_->CollectStep(d.year, d.month, d.day, d.hour, 1);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    if (block.statistics) block.statistics->CollectStep(d.year, d.month, d.day, d.hour, 1);
    if (block.flux_index > 0) WriteGridOutput(block.flux_index, 1, false);
  }
}

}  // namespace velorn

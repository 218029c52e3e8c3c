// Water exchange between the soil column and the river of a cell.
#include "unsatzone/soil_column_river.h"

#include <algorithm>

#include "unsatzone/soil_column_fluxes.h"

namespace velorn {

namespace {

using W = SoilColumnWorkspace;

// Layer in which the cumulative thickness reaches `depth` (0 for a depth at or above the
// surface, N below the column).
int LayerAtDepth(const SoilColumnWorkspace& ws, double depth) {
  if (depth <= 0) return 0;
  const double* dz = ws[W::kDz];
  double sum = 0;
  for (int k = 1; k <= ws.N; ++k) {
    sum += dz[k];
    if (sum >= depth) return k;
  }
  return ws.N;
}

// Share of the time step that an inner step of `dt` seconds is.
double StepShare(const RiverCell& river, double dt) {
  return river.stepSeconds > 0 ? dt / river.stepSeconds : 1.0;
}

// Replaces the cell's booked take by `take` in the record's exact twin (inside the critical
// section of the caller, before river.cellTake changes).
void ReplaceExactTake(RiverCell& river, double take) {
  if (river.exactTake == nullptr) return;
  river.exactTake->Add(-river.cellTake);
  river.exactTake->Add(take);
}

}  // namespace

double RiverWaterDepth(const ReinfiltrationRecord& record, double width) {
  const double velocity = record.channelLength;  // m/s, written by discharge routing
  if (velocity <= 0 || width <= 0) return 0.0;
  return record.offeredWater / velocity / width;
}

double RiverWaterStillOffered(const ReinfiltrationRecord& record, int substep, int substeps) {
  const double share = substeps > 0 ? static_cast<double>(substep) / substeps : 1.0;
  return record.offeredWater * share - record.reinfiltrated;
}

int RiverRecordIndex(int code, const std::vector<int32_t>& zone_index, int32_t zone_count) {
  if (code < 1 || static_cast<std::size_t>(code) >= zone_index.size()) return 0;
  const int32_t index = zone_index[static_cast<std::size_t>(code)];
  return index >= 1 && index <= zone_count ? index : 0;
}

void BookRiverTake(RiverCell& river, double rate, double cellSize, double dt) {
  if (river.record == nullptr) return;
  const double take = std::max(0.0, rate) * cellSize * cellSize * StepShare(river, dt);
#pragma omp critical
  {
    ReplaceExactTake(river, take);
    river.record->reinfiltrated += take - river.cellTake;
    river.cellTake = take;
  }
}

void ComputeRiverReinfiltration(SoilColumnWorkspace& ws, const ColumnCell& cell, RiverCell& river,
                                double dt, FluxTotals& totals) {
  const int n = ws.N;
  double* in = ws[W::kRiverIn];
  double* out = ws[W::kRiverOut];
  const double* t0 = ws[W::kTheta0];
  const double* tm = ws[W::kThetaMean];
  const double* sat = ws[W::kThetaSat];
  const double* dz = ws[W::kDz];
  const double* z = ws[W::kZBound];
  for (int k = 1; k <= n; ++k) in[k] = out[k] = 0;
  if (cell.interaction < 1 || river.lake || river.depth <= 0 || river.width <= 0) return;
  const int bed = std::max(1, LayerAtDepth(ws, river.depth));
  const double zb = z[0] - river.depth;
  const double zg = cell.zGw;
  const int g = std::clamp(cell.gwLayer, 1, n);
  const double cell_area = cell.cellSize * cell.cellSize;

  if (zg <= zb) {  // losing river
    totals.riverOut = 0;
    if (river.linkCode <= 0 || cell.interaction == 1 || river.record == nullptr) return;
    const double w = RiverWaterDepth(*river.record, river.width);
    const double ha = cell.gwLayer >= bed ? ws[W::kHead][bed] : zg;
    double p = river.kolmation > 0
                   ? std::max(0.0, river.width * river.kolmation * (zb + w - ha) * cell.cellSize)
                   : 0.0;
    // The layers that take water: bed layer down to the table, then upward to the layer that
    // holds the water surface (excluded). A layer's room is what it can hold in the step.
    const int top = LayerAtDepth(ws, river.depth - w);
    auto room = [&](int k) { return std::max(0.0, (sat[k] - 0.5 * (t0[k] + tm[k])) * dz[k] / dt); };
    double capacity = 0;
    if (cell.gwLayer >= bed)
      for (int k = bed; k <= std::min(cell.gwLayer, n); ++k) capacity += room(k);
    for (int k = bed - 1; k > top; --k) capacity += room(k);
    p = std::min(p, capacity * cell_area);
    // The offer is read and the take booked in one critical section: no other cell can take
    // the same remainder.
    const double share = StepShare(river, dt);
#pragma omp critical
    {
      ReinfiltrationRecord& record = *river.record;
      record.reinfiltrated -= river.cellTake;
      const double offered =
          std::max(0.0, RiverWaterStillOffered(record, river.substep, river.substeps));
      p = std::min(p, offered / share);
      ReplaceExactTake(river, p * share);
      river.cellTake = p * share;
      record.reinfiltrated += river.cellTake;
    }
    totals.riverIn = p / cell_area;
    double rest = totals.riverIn;
    auto put = [&](int k) {
      const double take = std::min(rest, room(k));
      in[k] = take;
      rest -= take;
    };
    if (cell.gwLayer >= bed)
      for (int k = bed; k <= std::min(cell.gwLayer, n) && rest > 0; ++k) put(k);
    for (int k = bed - 1; k > top && rest > 0; --k) put(k);
    totals.riverIn -= rest;
    for (int t = 0; t < river.tracers && river.tracerConc != nullptr; ++t)
      river.tracerConc[t] = river.record->riverValues[t + 1];
    return;
  }

  // Gaining river: the drainable water of the groundwater layer flows out between table and
  // bed.
  totals.riverIn = 0;
  const double e =
      river.kolmation > 0 ? river.width * river.kolmation * (zg - zb) / cell.cellSize : 0.0;
  totals.riverOut = e;
  const double rho = 0.5 * (t0[g] + tm[g]) - cell.fieldCapacity[g];
  auto drainable = [&](double thickness) { return std::max(0.0, rho * thickness / dt); };
  double rest = e;
  if (g >= bed) {
    out[bed] = std::min(rest, drainable(zg - zb));
    rest -= out[bed];
  } else {
    out[g] = std::min(rest, drainable(zg - z[g]));
    rest -= out[g];
    for (int k = g + 1; k < bed; ++k) {
      out[k] = std::min(rest, drainable(dz[k]));
      rest -= out[k];
    }
    out[bed] = std::min(rest, drainable(z[bed - 1] - zb));
    rest -= out[bed];
  }
  totals.riverOut -= rest;
}

}  // namespace velorn

// Irrigation amounts per cell and the surface-water supply per subbasin (see
// irrigation_formulas.h).
#include "routing/irrigation_formulas.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace velorn {
namespace {

constexpr double kMinutesPerDay = 1440.0;

// Start condition met: a new amount fills the layer up to HIGH over the root depth.
double ThresholdAmount(bool start, const IrrigationCell& c, double dt) {
  if (start) {
    if (c.kept == 0.0)
      return (c.high - c.soil_moisture) * c.root_depth * 1000.0 * dt / kMinutesPerDay;
    return c.kept;  // running (or not-a-number) amounts stay
  }
  if (dt < kMinutesPerDay && c.soil_moisture < c.high) return c.kept;
  return 0.0;
}

}  // namespace

double IrrigationDemand(const IrrigationRecord& record, const IrrigationCell& cell, int64_t month,
                        int64_t day, double dt) {
  switch (record.method) {
    case kIrrigationByTable:
    case kIrrigationBySchedule:
      for (int32_t i = 1; i <= record.table_count; ++i)
        if (record.months[i] == month && record.days[i] == day)
          return record.amounts[i] * dt / kMinutesPerDay;
      return 0.0;
    case kIrrigationBySuction:
      return ThresholdAmount(cell.soil_moisture < cell.low, cell, dt);
    case kIrrigationByEtRatio:
      return ThresholdAmount(record.min_etr_etp > cell.et_ratio, cell, dt);
    default:
      return cell.kept;
  }
}

double LimitToPumping(double amount, double max_pumping) {
  return std::min(amount, max_pumping);
}

SurfaceSupply ServeSurfaceDemand(const SurfaceSupplyInput& in, ReinfiltrationRecord* records) {
  const std::size_t n1 = in.demand.size();
  SurfaceSupply out;
  out.reservoir_share.assign(n1, 0.0);
  out.river_share.assign(n1, 0.0);
  out.factor.assign(n1, 1.0);
  out.rivers_left = in.rivers;
  // Upstream first: more steps to the basin outlet first, then by index. A cycle in the targets
  // is cut after n steps.
  std::vector<int32_t> depth(n1, 0);
  for (std::size_t z = 1; z < n1; ++z)
    for (int32_t s = in.target[z]; s > 0 && depth[z] < static_cast<int32_t>(n1); s = in.target[s])
      ++depth[z];
  std::vector<std::size_t> order(n1 > 0 ? n1 - 1 : 0);
  std::iota(order.begin(), order.end(), 1);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return depth[a] > depth[b]; });
  for (const std::size_t z : order) {
    const double demand = std::max(0.0, in.demand[z]);
    const double r = in.reservoirs[z] > 0.0 ? std::min(demand, in.reservoirs[z]) : 0.0;
    const double river = std::clamp(out.rivers_left[z], 0.0, demand - r);
    out.reservoir_share[z] = r;
    out.river_share[z] = river;
    if (demand > 1e-8) out.factor[z] = (r + river) / demand;
    if (out.factor[z] < 1.0) out.shortage = true;
    if (river <= 0.0) continue;
    const double volume = river * in.area[z];  // mm · km²
    int32_t steps = 0;
    for (int32_t s = static_cast<int32_t>(z); s > 0 && steps <= static_cast<int32_t>(n1);
         s = in.target[s], ++steps) {
      if (in.area[s] > 0.0)
        out.rivers_left[s] = std::max(0.0, out.rivers_left[s] - volume / in.area[s]);
      if (records == nullptr || records[s].stretchNumber == 0) continue;
      ReinfiltrationRecord& rec = records[s];
      rec.offeredWater -= volume / (in.dt * 0.06);
      rec.riverValues[0] =
          rec.channelArea > 0.0 ? in.dt * (rec.offeredWater / rec.channelArea) * 0.06 : 0.0;
      if (rec.riverValues[0] < 0.0 || rec.offeredWater < 0.0) {
        rec.riverValues[0] = 0.0;
        rec.offeredWater = 0.0;
      }
    }
  }
  return out;
}

std::vector<double> UncoveredDemand(const std::vector<double>& sums,
                                    const std::vector<double>& counts,
                                    const std::vector<double>& reservoirs) {
  std::vector<double> demand(sums.size(), 0.0);
  for (std::size_t k = 1; k < sums.size(); ++k) {
    const double mean = counts[k] > 0.0 ? sums[k] / counts[k] : 0.0;
    demand[k] = std::max(0.0, mean - reservoirs[k]);
  }
  return demand;
}

std::vector<double> AccumulateDemand(const std::vector<int32_t>& list,
                                     const std::vector<int32_t>& target,
                                     const std::vector<char>& is_outlet,
                                     const std::vector<double>& demand, const double* flows,
                                     const std::vector<double>& abfrel_area,
                                     const std::vector<double>& area) {
  const std::size_t n1 = demand.size();
  std::vector<double> carried(n1, 0.0);
  for (std::size_t p = 1; p < n1 && p < list.size(); ++p) {
    const int32_t i = list[p];
    if (i <= 0 || static_cast<std::size_t>(i) >= n1 || !(area[i] > 0.0)) continue;
    const double c = is_outlet[i] ? std::max(0.0, demand[i])
                                  : std::max(0.0, -flows[i] * abfrel_area[i] / area[i]);
    int32_t steps = 0;
    for (int32_t k = target[i]; k > 0 && steps < static_cast<int32_t>(n1); k = target[k], ++steps)
      if (area[k] > 0.0) carried[k] += c * area[i] / area[k];
  }
  return carried;
}

}  // namespace velorn

// Methods 1-5 of the surface routing model: per own cell and inner step the flow direction of the
// terrain or water surface, the split of the outflow over the eight directions, the velocity and
// discharge per direction, then the storage balance from the cell's outflow and its neighbours'
// discharges towards it. Directions 1..8 are N, NE, E, SE, S, SW, W, NW (rows grow southwards);
// the opposite of k is k + 4 (cyclic).
//
// The first pass writes only the cell's own levels and reads its neighbours' heads; the second
// reads the neighbours' discharges (and their tracer concentrations as they stood before the
// pass) after a halo round. Both are independent of the order of the cells, so threads and
// processes do not change the result. Before the balance each cell's outflow is limited to the
// water it holds for the time step the balance uses, so no storage goes below zero and no water
// is created.
#include <algorithm>
#include <cmath>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/tracer_bookkeeping.h"
#include "lateral/surface_flow_formulas.h"
#include "lateral/surface_routing_model.h"
#include "tables/landuse_record.h"

namespace velorn {

namespace {
constexpr int kRowStep[9] = {0, -1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kColumnStep[9] = {0, 0, 1, 1, 1, 0, -1, -1, -1};
constexpr int Opposite(int k) {
  return (k + 3) % 8 + 1;
}
constexpr bool Diagonal(int k) {
  return k % 2 == 0;
}
}  // namespace

bool surfaceroutingclass::Inside(int64_t row, int64_t column) const {
  return row >= 1 && row <= nrows && column >= 1 && column <= ncols && zone_grid[row] != nullptr &&
         zone_grid[row][column] > 0;
}

bool surfaceroutingclass::InsideForBalance(int64_t row, int64_t column) const {
  return row >= 1 && row <= nrows && column >= 1 && column <= ncols && zone_grid[row] != nullptr &&
         IsNotNodata(zone_grid[row][column], nodata);
}

int32_t surfaceroutingclass::LanduseCodeOf(int64_t row, int64_t column) const {
  for (std::size_t layer = landuse_layers.size() - 1; layer >= 1; --layer) {
    const double code = landuse_layers[layer][row][column];
    if (code != -9999) return static_cast<int32_t>(code);
  }
  return 0;
}

void surfaceroutingclass::ComputeFlowDirection(int64_t row, int64_t column, double& slope,
                                               double& aspect, int& type) {
  slope = aspect = 0;
  type = 0;
  if (ChannelCell(row, column)) {
    type = 1;
    return;
  }
  double** head = grid_data[kSurfHead];
  // Methods 1 and 2 take their directions from the terrain alone.
  const auto surface = [&](int64_t r, int64_t c) {
    return elevation[r][c] + (method >= 3 ? head[r][c] : 0.0);
  };
  const double hc = surface(row, column);
  double g[9];
  bool all_inside = row > 1 && row < nrows && column > 1 && column < ncols;
  for (int k = 1; k <= 8; ++k) {
    const int64_t r = row + kRowStep[k], c = column + kColumnStep[k];
    if (!Inside(r, c)) {
      g[k] = -9999;
      all_inside = false;
      continue;
    }
    g[k] = (hc - surface(r, c)) / (Diagonal(k) ? 1.414 * cellsize : cellsize);
  }
  int k_max = 1;
  for (int k = 2; k <= 8; ++k)
    if (g[k] > g[k_max]) k_max = k;
  slope = g[k_max];
  aspect = (k_max - 1) * 45.0;
  int ties = 0;
  for (int k = 2; k <= 8; ++k) ties += g[k] == slope ? 1 : 0;
  type = all_inside ? 2 : 3;
  if (ties < 2) return;
  const auto side = [&](int k) {
    const int64_t r = row + kRowStep[k], c = column + kColumnStep[k];
    if (Inside(r, c)) return surface(r, c);
    const int64_t ro = row - kRowStep[k], co = column - kColumnStep[k];
    // A missing side is mirrored from the opposite neighbour's terrain.
    return Inside(ro, co) ? 2 * hc - elevation[ro][co] : hc;
  };
  const double dzdx = (side(3) - side(7)) / (2 * cellsize);
  const double dzdy = (side(1) - side(5)) / (2 * cellsize);
  if (type == 3) {
    if (dzdx == 0 && dzdy == 0) {
      slope = aspect = 0;
      return;
    }
    slope = std::atan(std::sqrt(dzdx * dzdx + dzdy * dzdy)) * kSurfaceDegrees;
  }
  aspect = SurfaceAspect(dzdx, dzdy);
}

void surfaceroutingclass::ComputeFlowWeights(int64_t row, int64_t column, int& type, int64_t index,
                                             double slope, double aspect) {
  if (type == 1) return;
  double* w = stack_data[kSurfWeights][row][column];
  double* velocity = stack_data[kSurfVelocity][row][column];
  double** head = grid_data[kSurfHead];
  double previous[9];
  for (int k = 1; k <= 8; ++k) {
    previous[k] = w[k];
    w[k] = 0;
  }
  const auto surface = [&](int64_t r, int64_t c) {
    return elevation[r][c] + (method >= 3 ? head[r][c] : 0.0);
  };
  const double hc = surface(row, column);
  const auto drop = [&](int k) {
    const int64_t r = row + kRowStep[k], c = column + kColumnStep[k];
    return hc - surface(r, c);
  };
  const auto normalise = [&] {
    double sum = 0;
    for (int k = 1; k <= 8; ++k) sum += w[k];
    if (sum > 0)
      for (int k = 1; k <= 8; ++k) w[k] /= sum;
    return sum;
  };
  if (slope != 0 && type == 2) {
    const double a = aspect >= 337.5 ? aspect - 360 : aspect;
    const int d0 = static_cast<int>(std::floor((a + 22.5) / 45));
    const int d = d0 + 1;
    w[d] = 1;
    velocity[0] = grid_data[kSurfVelocity][row][column] = d;
    if (method == 1 || method == 3) {
      const ThreeWayShares shares = SplitOutflow(a - 45 * d0);
      w[d] = shares.main;
      if (grid_data[kSurfPlanCurvature][row][column] <= 0) {
        w[(d + 6) % 8 + 1] = shares.anticlockwise;
        w[d % 8 + 1] = shares.clockwise;
      }
    }
    for (int k = 1; k <= 8; ++k)
      if (w[k] != 0 && drop(k) < 0) w[k] = 0;
    if (normalise() == 0) type = 3;
  }
  if (slope == 0 || type == 3) {
    for (int k = 1; k <= 8; ++k) {
      w[k] = 0;
      if (!InsideForBalance(row + kRowStep[k], column + kColumnStep[k])) continue;
      const double fall = drop(k);
      if (fall > 1e-05) w[k] = Diagonal(k) ? fall / 1.4142135 : fall;
    }
    int main = 0;
    for (int k = 1; k <= 8; ++k)
      if (w[k] > 0 && (main == 0 || w[k] > w[main])) main = k;
    if (method == 2 || method == 4 || method == 5) {
      for (int k = 1; k <= 8; ++k) w[k] = k == main ? 1.0 : 0.0;
    } else {
      normalise();
    }
    velocity[0] = grid_data[kSurfVelocity][row][column] = main;
  }
  velocity[9] = silting_storage[row][column] / 1000 + elevation[row][column];
  w[0] = 0;
  if (index > 0)
    for (int k = 1; k <= 8; ++k) w[0] += std::fabs(w[k] - previous[k]) <= 0.01 ? 1 : 0;
}

double surfaceroutingclass::ComputeRoughness(double v, double r, double coverage, double s,
                                             int64_t row, int64_t column, int32_t landuse,
                                             int32_t cultivation) {
  const LanduseRecord& record = landuse_table[landuse];
  RoughnessParameters p;
  p.cultivation = cultivation;
  p.k_st = record.GetK_ST();
  if (cultivation == 1) {
    record.GetRoughCoeff1(p.coeff1[0], p.coeff1[1], p.coeff1[2]);
    record.GetRoughCoeff2(p.coeff2[0], p.coeff2[1], p.coeff2[2]);
  } else if (cultivation == 2) {
    const ModelDate& d = step_date;
    p.stem_diameter =
        record.GetStemDiameter(Diag(), static_cast<int>(d.day), static_cast<int>(d.month),
                               static_cast<int>(d.year), 1, row, column, elevation[row][column]);
    p.crop_distance_x = record.GetCropDistX();
    p.crop_distance_y = record.GetCropDistY();
    p.c_wr = record.GetC_WR();
    p.anl_error = anl_error;
    p.anl_steps = anl_steps;
    p.minimum_depth = minimum_flow_depth;
  }
  return FlowResistance(p, v, r, coverage, s);
}

void surfaceroutingclass::ComputeVelocities(int64_t row, int64_t column, int64_t index,
                                            int64_t mark, int type) {
  double* w = stack_data[kSurfWeights][row][column];
  double* velocity = stack_data[kSurfVelocity][row][column];
  double* q = stack_data[kSurfFluxes][row][column];
  double& q_grid = grid_data[kSurfFluxes][row][column];
  const int main = static_cast<int>(velocity[0]);
  const double main_discharge = main >= 1 && main <= 8 ? q[main] : 0.0;
  if (w[0] >= 8 && index != 0 && index != mark && method != 5) {
    q[0] = q_grid = main_discharge;
    return;
  }
  const int32_t code = LanduseCodeOf(row, column);
  const int32_t cultivation = code > 0 ? landuse_table[code].GetCultivationMethod() : 3;
  double coverage = 0.5;
  if (cultivation == 1 || cultivation == 2) {
    const ModelDate& d = step_date;
    coverage = landuse_table[code].GetResidueCoverage(
        Diag(), static_cast<int>(d.day), static_cast<int>(d.month), static_cast<int>(d.year), 1,
        row, column, elevation[row][column]);
  }
  const double k0 = code > 0 ? landuse_table[code].GetK_ST() : 0.0;
  double** head = grid_data[kSurfHead];
  const double h = head[row][column];
  const double zc = elevation[row][column];
  const double hc = zc + h;
  const double cs = cellsize, area = cs * cs;
  const auto surface = [&](int64_t r, int64_t c) {
    return Inside(r, c) ? elevation[r][c] + head[r][c] : elevation[r][c];
  };
  q[0] = q_grid = 0;
  double last_q2 = 0, sum = 0;
  for (int k = 1; k <= 8; ++k) {
    if (w[k] <= 0 || h <= 0) {
      velocity[k] = q[k] = 0;
      continue;
    }
    if (velocity[k] <= 0) velocity[k] = 0.1;
    const double length = Diagonal(k) ? 1.4142135 * cs : cs;
    const int64_t rk = row + kRowStep[k], ck = column + kColumnStep[k];
    const double hk = surface(rk, ck);
    const double dh = hc - hk;
    double slope = dh / length;
    if (type == 2 && hk >= zc)
      slope = (surface(row - kRowStep[k], column - kColumnStep[k]) - hk) / (2 * length);
    const double sqrt_slope = slope > 0 ? std::sqrt(slope) : 0.0;
    const double q1 = area * w[k] * h / maximum_sub_time_step;
    const double q2 = w[k] * 2 * area * dh / maximum_sub_time_step;
    const double limit = std::min(q2, q1);
    last_q2 = q2;
    double v = 0, r = 0, c = 1;
    if (method == 5) {
      v = CappedKinematicVelocity(h, sqrt_slope, length, minimum_sub_time_step);
      q[k] = h * v * length;
      velocity[k] = v;
      sum += q[k];
      continue;
    }
    if (limit > 0 && sqrt_slope > 0) {
      // Velocity search: the depth of the limited discharge at the mean of the last two trials.
      double k_st = k0;
      const auto search = [&](double start, double factor) {
        double v_prev = start, v_new = start;
        int32_t passes = 0;
        do {
          const double v_mid = (v_new + v_prev) / 2;
          r = factor * limit / v_mid / length;
          k_st = ComputeRoughness(v_mid, r, coverage, sqrt_slope, row, column, code, cultivation);
          v_prev = v_new;
          v_new = k_st * std::pow(r, 0.66667) * sqrt_slope;
          ++passes;
        } while (std::fabs(v_prev - v_new) > velocity_error && passes < velocity_steps);
        return v_new;
      };
      v = search(velocity[k], 1.0);
      const double f = k0 > 0 ? std::pow(k_st / k0, 1.5) : 0.0;
      if (grid_data[kSurfCriticalShear][row][column] <= f * r * 9815.0 * sqrt_slope * sqrt_slope &&
          concentration_factor > 1) {
        c = concentration_factor;
        v = search(v, c);
      }
      if (h < r / c) {
        r = c * h;
        int32_t passes = 0;
        double change = 0;
        do {
          const double next =
              ComputeRoughness(v, r, coverage, sqrt_slope, row, column, code, cultivation) *
              std::pow(r, 0.66667) * sqrt_slope;
          change = std::fabs(next - v);
          v = next;
          ++passes;
        } while (change > velocity_error && passes < velocity_steps);
      }
    }
    if (!(r >= 0.0001)) v = r = 0;
    velocity[k] = v;
    q[k] = v * length * r / c;
    sum += q[k];
    ReportFpe(static_cast<int32_t>(row), static_cast<int32_t>(column), 99, k, w[k], velocity[k],
              q[k], 0, 0);
  }
  if (method != 5 && sum > 0) {
    const double ratio = std::min(last_q2, area * h / maximum_sub_time_step) / sum;
    if (ratio < 1)
      for (int k = 1; k <= 8; ++k)
        if (q[k] > 0) q[k] *= ratio;
  }
  q[0] = q_grid = main >= 1 && main <= 8 ? q[main] : 0.0;
}

void surfaceroutingclass::LimitOutflow(int64_t row, int64_t column, double dt) {
  // The balance takes dt x the outflow; more than the cell holds would leave it below zero
  // after its neighbours had booked the whole inflow.
  double* q = stack_data[kSurfFluxes][row][column];
  double out = 0;
  for (int k = 1; k <= 8; ++k) out += std::max(q[k], 0.0);
  const double held = std::max(silting_storage[row][column], 0.0) / 1000.0 * CellArea(row, column);
  if (out * dt <= held) return;
  const double ratio = out > 0 ? held / (out * dt) : 0.0;
  for (int k = 1; k <= 8; ++k)
    if (q[k] > 0) q[k] *= ratio;
  const int main = static_cast<int>(stack_data[kSurfVelocity][row][column][0]);
  q[0] = grid_data[kSurfFluxes][row][column] = main >= 1 && main <= 8 ? q[main] : 0.0;
}

void surfaceroutingclass::ExplicitFlowPass(double dt) {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      double slope = 0, aspect = 0;
      int type = 0;
      ComputeFlowDirection(r, c, slope, aspect, type);
      ComputeFlowWeights(r, c, type, inner_index, slope, aspect);
      ComputeVelocities(r, c, inner_index, recompute_mark, type);
      if (dt > 0) LimitOutflow(r, c, dt);
    }
  });
}

void surfaceroutingclass::UpdateStorage(double dt, int64_t row, int64_t column) {
  double*** fluxes = stack_data[kSurfFluxes];
  double& q_in = grid_data[kSurfInflow][row][column];
  double& q_out = grid_data[kSurfOutflow][row][column];
  q_in = q_out = 0;
  const double area = CellArea(row, column);
  double& storage = silting_storage[row][column];
  for (int32_t i = 1; i <= tracer_count; ++i) tracer_blocks[i].flux.get()[row][column] = 0;
  for (int k = 1; k <= 8; ++k) {
    const int64_t r = row + kRowStep[k], c = column + kColumnStep[k];
    if (!InsideForBalance(r, c)) continue;
    const double inflow = fluxes[r][c][Opposite(k)];
    q_in += inflow;
    for (int32_t i = 1; i <= tracer_count; ++i)
      tracer_blocks[i].flux.get()[row][column] += inflow * tracer_start_concentration[i][r][c];
  }
  for (int k = 1; k <= 8; ++k) q_out += std::max(fluxes[row][column][k], 0.0);
  q_in *= dt * 1000 / area;
  q_out *= dt * 1000 / area;
  // The water that stays keeps its concentration and mixes with the inflow. Both weights are
  // not negative, so no concentration leaves the range of its sources; a cell that empties
  // keeps its concentration rather than the ratio of two round-off remainders.
  const double remaining = std::max(storage - q_out, 0.0);
  const double next = remaining + q_in;
  for (int32_t i = 1; i <= tracer_count; ++i) {
    double& c = tracer_blocks[i].concentration.get()[row][column];
    double& inflow = tracer_blocks[i].flux.get()[row][column];
    inflow *= dt * 1000;
    if (q_in > 0) c = (c * remaining + inflow / area) / next;
  }
  storage += q_in - q_out;
  if (storage < 0) {
    q_out += storage;
    storage = 0;
  }
}

void surfaceroutingclass::ExplicitStoragePass(double dt) {
  double** head = grid_data[kSurfHead];
  if (tracer_start_concentration.size() != static_cast<std::size_t>(tracer_count) + 1) {
    tracer_start_concentration.clear();
    for (int32_t i = 0; i <= tracer_count; ++i)
      tracer_start_concentration.emplace_back(Diag(), 1, nrows, ncols, nrows);
  }
  const int64_t first = std::max<int64_t>(first_local_row - 1, 1);
  const int64_t last = std::min<int64_t>(last_local_row + 1, nrows);
  for (int32_t i = 1; i <= tracer_count; ++i)
    for (int64_t r = first; r <= last; ++r)
      if (tracer_blocks[i].concentration.get()[r] != nullptr)
        std::copy(tracer_blocks[i].concentration.get()[r],
                  tracer_blocks[i].concentration.get()[r] + ncols + 1,
                  tracer_start_concentration[i][r]);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      UpdateStorage(dt, r, c);
      double& storage = silting_storage[r][c];
      if (!ChannelCell(r, c)) {
        directflow[r][c] = 0;
        for (int32_t i = 1; i <= tracer_count; ++i) tracer_qd_grids[i][r][c] = 0;
        head[r][c] = storage / 1000;
        continue;
      }
      directflow[r][c] += storage;
      for (int32_t i = 1; i <= tracer_count; ++i) {
        double& c_stored = tracer_blocks[i].concentration.get()[r][c];
        tracer_qd_grids[i][r][c] += c_stored * storage;
        c_stored = 0;
      }
      storage = 0;
      head[r][c] = 0;
    }
  });
}

double surfaceroutingclass::ComputeStableTimeStep(int /*unused*/) {
  const long rows = std::max<long>(last_local_row - first_local_row + 1, 0);
  std::vector<double> row_limit(static_cast<std::size_t>(rows), 1e36);
  double*** velocity = stack_data[kSurfVelocity];
  double*** weights = stack_data[kSurfWeights];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    double limit = 1e36;
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      for (int k = 1; k <= 8; ++k) {
        const double v = std::fabs(velocity[r][c][k]);
        const bool counted =
            method == 6 ? v != 0 : weights[r][c][k] > 0.0001 && velocity[r][c][k] > 1e-05;
        if (counted) limit = std::min(limit, cellsize / v);
      }
    }
    row_limit[static_cast<std::size_t>(r - first_local_row)] = limit;
  });
  double limit = 1e36;
  for (double value : row_limit) limit = std::min(limit, value);
  return limit;
}

}  // namespace velorn

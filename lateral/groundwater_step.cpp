// gwflowclass sub-step: leakage, the shift of the start heads, transmissivities, the head
// solution per layer (red-black SOR or the row-implicit pass), oscillations, flux densities,
// baseflow, balance and the control point record. Cell formulas: lateral/groundwater_physics.h.
#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "lateral/groundwater_model.h"
#include "lateral/groundwater_physics.h"

namespace velorn {
namespace {

constexpr double kEdgeMark = -8888;

}  // namespace

void gwflowclass::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  step_date = ModelDate{year, month, day, hour};
  // The soil zone registers its grid after this model: look it up when it is there.
  const int pumped_index = registry->FindIdentifier("irrigation_from_groundwater");
  pumped = pumped_index > 0 ? (*registry)[pumped_index].grid : nullptr;
  const int unpaid_index = registry->FindIdentifier("baseflow_unpaid");
  unpaid = unpaid_index > 0 ? (*registry)[unpaid_index].grid : nullptr;
  for (GwTracer& tracer : gw_tracers)
    for (GwTracerLayer& layer : tracer.layers)
      if (layer.statistics) layer.statistics->ResetZoneSums();
  ComputeLeakage();
  ShiftStartHeads();
  BeginTracerSubStep();
  for (int index : {thaw_index, frozen_index, use_ponding ? ponding_index : 0, distance_index})
    if (index > 0) MPIExchangeGridHalo(index, nullptr);
  ComputeTransmissivities();
  for (int l = 1; l <= layer_count; ++l) SolveLayer(l);
  for (int l = 1; l <= layer_count; ++l) MPIExchangeGridHalo(layers[l].head_index, nullptr);
  ComputeFlows();
  for (int l = 1; l <= layer_count; ++l) MPIExchangeGridHalo(layers[l].head_index, nullptr);
  ComputeBaseflow();
  for (int l = 1; l <= layer_count; ++l) ComputeBalance(l);
  AccountSubStep();
  // The face volumes of the transport need the heads of invalid cells as they stand.
  TransportTracers();
  for (int l = 1; l <= layer_count; ++l) MarkInvalidHeads(l);
  RecordControlPoint();
}

void gwflowclass::ComputeLeakage() {
  for (int l = 1; l < layer_count; ++l) {
    GwLayer& up = layers[l];
    GwLayer& down = layers[l + 1];
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c)) continue;
        if (!ValidReference(r, c) || GlacierShare(r, c) >= 1) {
          up.leakage[r][c] = 0;
          continue;
        }
        up.leakage[r][c] =
            LeakageRate(up.head[r][c], down.head[r][c], down.upper_limit[r][c], up.kolmation[r][c]);
      }
    });
  }
}

void gwflowclass::ShiftStartHeads() {
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c) || !ValidReference(r, c) || GlacierShare(r, c) >= 1) continue;
        layer.head_old_old[r][c] = layer.head_old[r][c];
        if (l == 1) {
          // Water pumped for irrigation leaves layer 1 at the start of the sub-step: the
          // balance of the solution excludes it, the base flow adds it (layer 1 follows the soil
          // column's table, so the column gives the pumped water). The head falls by what the
          // layer holds at most; the column gives the whole amount, the rest from the water
          // above the table. A fixed head keeps its head: its boundary gives the water.
          const double h = StartHead(r, c);
          const bool fixed = layer.fixed_head[r][c] != nodata;
          const double drop = fixed ? 0.0 : PumpedDrop(r, c, h);
          layer.head[r][c] = h - drop;
          pumped_water[r][c] =
              fixed || pumped == nullptr || !(pumped[r][c] > 0) ? 0.0 : pumped[r][c];
        }
        // A fixed head holds from the start of the sub-step, so no sweep changes a start head.
        if (layer.fixed_head[r][c] != nodata)
          layer.head[r][c] = layer.head_old_old[r][c] = layer.fixed_head[r][c];
        layer.previous[r][c] = layer.head[r][c];
        layer.head_old[r][c] = layer.head[r][c];
      }
    });
    ExchangeLayerHeads(layer);
  }
}

double gwflowclass::PumpedDrop(long r, long c, double head) const {
  if (pumped == nullptr || !(pumped[r][c] > 0)) return 0.0;
  const GwLayer& top = layers[1];
  const double b = top.thickness[r][c];
  const double limit = top.upper_limit[r][c];
  const double saturated = head >= limit ? b : std::max(0.0, head - limit + b);
  return PumpedHeadDrop(pumped[r][c] / 1000.0, top.storage[r][c], saturated);
}

void gwflowclass::ExchangeLayerHeads(GwLayer& layer) {
  MPIExchangeGridHalo(layer.head_index, nullptr);
  MPIExchangeGridHalo(layer.head_old_index, nullptr);
  MPIExchangeGridHalo(layer.head_old_old_index, nullptr);
}

void gwflowclass::ComputeTransmissivities() {
  if (GetFlowControl() == 0) return;
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    // Thickness left for the unconfined case: frozen ground takes away from layer 1.
    const auto reduced = [&](long r, long c) {
      const double b = layer.thickness[r][c];
      if (l != 1) return b;
      if (frozen_soil != nullptr && frozen_soil[r][c] > nodata)
        return std::max(0.0, b - frozen_soil[r][c] * frozen_depth_scaling);
      if (thaw_depth != nullptr && thaw_depth[r][c] > nodata) return std::min(-thaw_depth[r][c], b);
      return b;
    };
    const auto valid_neighbour = [&](long r, long c, long rn, long cn) {
      if (!ValidReference(rn, cn)) return false;
      return flow_control != 3 || zone_grid[rn][cn] == zone_grid[r][c];
    };
    // The held rows beside the own rows carry no flow unless their process sends its faces: a
    // row that no process computes (the empty rows above a basin) would otherwise keep the
    // nodata fill, and the sweep would read -9999 m²/s as the face to the row above.
    for (long r = HeldFirst(); r <= HeldLast(); ++r)
      if (r < first_local_row || r > last_local_row) {
        std::fill(layer.tx[r], layer.tx[r] + ncols + 1, 0.0);
        std::fill(layer.ty[r], layer.ty[r] + ncols + 1, 0.0);
      }
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c) || !ValidReference(r, c) || GlacierShare(r, c) >= 1) {
          layer.tx[r][c] = layer.ty[r][c] = 0;
          continue;
        }
        const double g = GlacierShare(r, c);
        const double h = layer.head[r][c];
        const double top = layer.upper_limit[r][c];
        const double s =
            CellTransmissivity(h, top, layer.thickness[r][c], reduced(r, c), 1.0, true);
        const double ax = g > 0 ? 0 : s * layer.kx[r][c];
        const double ay = g > 0 ? 0 : s * layer.ky[r][c];
        const auto face = [&](long rn, long cn, double own_value, double** k) {
          if (rn > nrows || cn > ncols || !valid_neighbour(r, c, rn, cn)) return 0.0;
          const double gn = GlacierShare(rn, cn);
          const double n = gn > 0 ? 0.0
                                  : CellTransmissivity(
                                        layer.head[rn][cn], layer.upper_limit[rn][cn],
                                        layer.thickness[rn][cn], reduced(rn, cn), k[rn][cn], false);
          return FaceTransmissivity(FaceSide{own_value, h, k[r][c], g},
                                    FaceSide{n, layer.head[rn][cn], k[rn][cn], gn});
        };
        layer.tx[r][c] = face(r, c + 1, ax, layer.kx);
        layer.ty[r][c] = face(r + 1, c, ay, layer.ky);
      }
    });
  }
}

void gwflowclass::SolveLayer(int l) {
  GwLayer& layer = layers[l];
  for (int index : {layer.flow_x_index, layer.flow_y_index, layer.tx_index, layer.ty_index})
    MPIExchangeGridHalo(index, nullptr);
  iteration = 0;
  factor_sum = 0;
  factor_count = 0;
  // The start heads do not change during the sweeps: one exchange of the head grids suffices.
  ExchangeLayerHeads(layer);
  // Every face of layer 1 starts the sub-step open; the sweeps narrow those of draining cells.
  if (l == 1)
    for (int64_t r = HeldFirst(); r <= HeldLast(); ++r)
      std::fill(outflow_share[r], outflow_share[r] + ncols + 1, 1.0);
  std::vector<double> change(1, 0.0);
  while (true) {
    ++iteration;
    if (method == 1) {
      change[0] = IterateHeadsSOR(l);
    } else if (method == 2) {
      change[0] = IterateHeadsOnce(l);
    } else {
      change[0] = 0;
    }
    AllReduceMaximum(change);
    last_change = change[0];
    if (iteration >= maxiter || method != 1 || last_change <= maxerror_allowed) break;
  }
  // Sweeps that end at maxiter leave heads that do not satisfy the flow equations to the error
  // allowed: the water account books what they leave unbalanced as "groundwater_iteration".
  if (method == 1 && last_change > maxerror_allowed && !unconverged_warned) {
    unconverged_warned = true;
    Diag() << "WARNING: the heads of groundwater layer " << l << " did not converge in " << maxiter
           << " sweeps on " << step_date.year << "-" << step_date.month << "-" << step_date.day
           << " " << step_date.hour << "h (largest change " << last_change << " m, allowed "
           << maxerror_allowed
           << " m): the water balance books the imbalance as groundwater_iteration; later "
              "steps that end so are not reported again"
           << "[end-entry]";
  }
  MPIExchangeGridHalo(layer.head_index, nullptr);
  const double n =
      CountOscillations(layer.head.get(), layer.head_old.get(), layer.head_old_old.get());
  std::vector<int64_t> counts{static_cast<int64_t>(n)};
  std::vector<double> sums{oscillation_sum};
  std::vector<double> maxima{oscillation_max};
  ReduceSumsToRoot(counts);
  AllReduceSum(sums);
  AllReduceMaximum(maxima);
  oscillation_sum = sums[0];
  oscillation_max = maxima[0];
  const bool reporting_hour =
      report_interval <= 1 ||
      (step_date.hour + static_cast<int64_t>(time_shift)) % report_interval == 0;
  if (method == 1 && reporting_hour) {
    const double omega =
        adaptive ? (factor_count > 0 ? factor_sum / factor_count : 1.0) : sor_parameter;
    const double count = static_cast<double>(counts[0]);
    Diag() << "GWlevel " << l << ", MPI-rank " << rank << ", Steps " << iteration << " err "
           << last_change << ", SOR " << omega << ", osc. at " << count
           << " points (av: " << (count > 0 ? oscillation_sum / count : 0.0) << ", max "
           << oscillation_max << ")"
           << "[end-entry]";
  }
}

// One red-black sweep: the cells of one colour depend only on cells of the other colour, so
// each half-sweep gives the same result in any order, on any number of threads and processes.
double gwflowclass::IterateHeadsSOR(int l) {
  const std::size_t rows = static_cast<std::size_t>(nrows) + 2;
  std::vector<double> row_max(rows, 0.0), row_sum(rows, 0.0), row_count(rows, 0.0);
  for (int colour = 0; colour < 2; ++colour) {
    SweepColour(l, colour, row_max, row_sum, row_count);
    MPIExchangeGridHalo(layers[l].head_index, nullptr);
    if (l == 1) MPIExchangeGridHalo(outflow_share_index, nullptr);
  }
  double largest = 0;
  factor_sum = 0;
  factor_count = 0;
  for (long r = first_local_row; r <= last_local_row; ++r) {
    largest = std::max(largest, row_max[r]);
    factor_sum += row_sum[r];
    factor_count += row_count[r];
  }
  return largest;
}

void gwflowclass::SweepColour(int l, int colour, std::vector<double>& row_max,
                              std::vector<double>& row_sum, std::vector<double>& row_count) {
  GwLayer& layer = layers[l];
  const double dt = SubStepSeconds();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    // Row pointers of the cell's row and of the rows above and below (null beyond the grid).
    const double* owner = owner_grid != nullptr ? owner_grid[r] : nullptr;
    const double* zone = zone_grid[r];
    const double* ice = glacier != nullptr ? glacier[r] : nullptr;
    double* h_row = layer.head[r];
    double* h0_row = layer.head_old[r];
    double* h00_row = layer.head_old_old[r];
    double* hp_row = layer.previous[r];
    const double* h_up = r > 1 ? layer.head[r - 1] : nullptr;
    const double* h_down = r < nrows ? layer.head[r + 1] : nullptr;
    const double* h0_up = r > 1 ? layer.head_old[r - 1] : nullptr;
    const double* h0_down = r < nrows ? layer.head_old[r + 1] : nullptr;
    const double* ty_up = r > 1 ? layer.ty[r - 1] : nullptr;
    const double* ty_row = layer.ty[r];
    const double* tx_row = layer.tx[r];
    const double* top = layer.upper_limit[r];
    const double* storage = layer.storage[r];
    const double* storage_top = layers[1].storage[r];
    const double* fixed = layer.fixed_head[r];
    const double* inflow = layer.fixed_inflow[r];
    const double* leak_below = l < layer_count ? layer.leakage[r] : nullptr;
    const double* leak_above = l > 1 ? layers[l - 1].leakage[r] : nullptr;
    const double* size_x = cell_size_x != nullptr ? cell_size_x[r] : nullptr;
    const double* size_y = cell_size_y != nullptr ? cell_size_y[r] : nullptr;
    const double* thickness = layer.thickness[r];
    // Layer 1's outflow shares of this row and the rows above and below (null otherwise).
    double* share_row = l == 1 ? outflow_share[r] : nullptr;
    const double* share_up = l == 1 && r > 1 ? outflow_share[r - 1] : nullptr;
    const double* share_down = l == 1 && r < nrows ? outflow_share[r + 1] : nullptr;
    double largest = 0, factors = 0, count = 0;
    for (long c = 1 + ((r + 1 + colour) % 2); c <= ncols; c += 2) {
      if ((owner != nullptr && owner[c] != rank) || !(zone[c] > nodata)) continue;
      if (ice != nullptr && ice[c] >= 1) continue;
      double& h = h_row[c];
      if (fixed[c] != nodata) {
        h = h0_row[c] = h00_row[c] = fixed[c];
        continue;
      }
      const double h0 = h0_row[c];
      const double dx = size_x != nullptr ? size_x[c] : cellsize;
      const double dy = size_y != nullptr ? size_y[c] : cellsize;
      CellUpdate cell;
      cell.area = dx * dy;
      cell.dt = dt;
      cell.alpha = alpha;
      cell.head = h;
      cell.head_start = h0;
      const bool confined = h0 >= top[c];
      cell.storage = confined ? storage[c] : storage_top[c];
      cell.source = (inflow[c] > nodata ? inflow[c] : 0.0) +
                    (leak_below != nullptr ? leak_below[c] : 0.0) -
                    (leak_above != nullptr ? leak_above[c] : 0.0);
      const double open[4] = {h_up != nullptr ? dx / dy * ty_up[c] : 0.0, dx / dy * ty_row[c],
                              c > 1 ? dy / dx * tx_row[c - 1] : 0.0, dy / dx * tx_row[c]};
      // Time-weighted neighbour heads; beyond the grid edge the cell's own head.
      const auto weighted = [&](double start, double now) {
        return (1.0 - alpha) * start + alpha * now;
      };
      cell.neighbour[0] = h_up != nullptr ? weighted(h0_up[c], h_up[c]) : h;
      cell.neighbour[1] = h_down != nullptr ? weighted(h0_down[c], h_down[c]) : h;
      cell.neighbour[2] = c > 1 ? weighted(h0_row[c - 1], h_row[c - 1]) : h;
      cell.neighbour[3] = c < ncols ? weighted(h0_row[c + 1], h_row[c + 1]) : h;
      // Layer 1: the neighbours' heads and shares, and the face shares as the heads stand now.
      double now[4] = {h, h, h, h}, share_n[4] = {1, 1, 1, 1};
      if (share_row != nullptr) {
        if (h_up != nullptr) now[0] = h_up[c], share_n[0] = share_up[c];
        if (h_down != nullptr) now[1] = h_down[c], share_n[1] = share_down[c];
        if (c > 1) now[2] = h_row[c - 1], share_n[2] = share_row[c - 1];
        if (c < ncols) now[3] = h_row[c + 1], share_n[3] = share_row[c + 1];
      }
      const auto set_conductances = [&](double own_head) {
        for (int k = 0; k < 4; ++k)
          cell.conductance[k] = share_row == nullptr
                                    ? open[k]
                                    : open[k] * (now[k] < own_head ? share_row[c] : share_n[k]);
      };
      set_conductances(h);
      double target = ImplicitCellHead(cell);
      // Layer 1 holds no water below its bottom: a cell whose head would fall below it gives
      // through its outflowing faces only what it holds, and its head stops at the bottom.
      bool drained = false;
      if (share_row != nullptr && thickness[c] > 0 && target < top[c] - thickness[c] &&
          cell.storage > 0) {
        const double bottom = top[c] - thickness[c];
        const double at_bottom = alpha * bottom + (1.0 - alpha) * h0;
        double needed = cell.area * (cell.storage * (bottom - h0) / dt - cell.source);
        double out = 0;
        for (int k = 0; k < 4; ++k) {
          const double flow = cell.neighbour[k] - at_bottom;
          if (now[k] < bottom)
            out += open[k] * flow;
          else
            needed -= open[k] * share_n[k] * flow;
        }
        if (out < 0) {
          share_row[c] = std::clamp(needed / out, 0.0, share_row[c]);
          set_conductances(bottom);
          target = ImplicitCellHead(cell);
          // A source that drains more than the layer holds takes the head below the bottom: the
          // faces then run as the heads stand there (neighbours between head and bottom give).
          if (target < bottom) {
            set_conductances(target);
            target = ImplicitCellHead(cell);
          }
          drained = true;
        }
      }
      double e = std::fabs(target - h);
      if (confined) e /= 5.0;
      largest = std::max(largest, e);
      const bool narrowed = share_row != nullptr && std::min({share_row[c], share_n[0], share_n[1],
                                                              share_n[2], share_n[3]}) < 1;
      if (drained || narrowed) {
        // No over-relaxation past the bottom, nor beside a draining cell: its narrowed faces
        // would make the relaxed heads swing across it.
        hp_row[c] = h;
        h = target;
      } else if (adaptive) {
        const double omega = AdaptiveRelaxation(target, h, hp_row[c]);
        hp_row[c] = h;
        h += omega * (target - h);
        factors += omega;
        count += 1;
      } else {
        h = sor_parameter == 1 ? target : h + sor_parameter * (target - h);
      }
    }
    row_max[r] = std::max(row_max[r], largest);
    row_sum[r] += factors;
    row_count[r] += count;
  });
}

// One row-implicit pass: along each row the runs of free cells are solved together (x
// implicit), the exchange with the rows above and below is taken from the start heads. The
// owner of each cell writes what the pass needs of it into a table of its rows; rows whose
// cells belong to several processes are completed over all processes (each value comes from
// one process, so the sum is exact), and every process holding such a row solves it whole and
// keeps its own cells: the heads do not depend on how the rows are split.
double gwflowclass::IterateHeadsOnce(int l) {
  GwLayer& layer = layers[l];
  const double dt = SubStepSeconds();
  std::vector<double> row_max(static_cast<std::size_t>(nrows) + 2, 0.0);
  if (l == 1) LimitRowExchange();
  const auto width = static_cast<std::size_t>(ncols) + 2;
  const auto own_rows =
      static_cast<std::size_t>(std::max<int64_t>(0, last_local_row - first_local_row + 1));
  std::vector<double> table(own_rows * width * kRunFields, 0.0);
  const auto cells_of = [&](long r) {
    return table.data() + static_cast<std::size_t>(r - first_local_row) * width * kRunFields;
  };
  // Step 1: fixed heads, isolated cells that only take their fixed inflow and leakage, and the
  // equation of every free cell.
  std::vector<double> split(static_cast<std::size_t>(nrows) + 1, 0.0);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    double* cells = cells_of(r);
    const auto isolated = [&](long c) {
      return layer.tx[r][c] <= 0 && layer.ty[r][c] <= 0 && (c == 1 || layer.tx[r][c - 1] <= 0) &&
             (r == 1 || layer.ty[r - 1][c] <= 0);
    };
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c)) {
        if (ValidReference(r, c)) split[r] = 1;
        continue;
      }
      if (!ValidReference(r, c) || GlacierShare(r, c) >= 1) continue;
      double* cell = cells + static_cast<std::size_t>(c) * kRunFields;
      double& h = layer.head[r][c];
      if (layer.fixed_head[r][c] != nodata) {
        row_max[r] = std::max(row_max[r], std::fabs(layer.fixed_head[r][c] - h));
        h = layer.fixed_head[r][c];
      } else if (isolated(c)) {
        // No face along or across the rows: the fixed inflow and the leakage alone.
        const double s = layer.storage[r][c];
        const double q = (layer.fixed_inflow[r][c] != nodata ? layer.fixed_inflow[r][c] : 0.0) +
                         (l < layer_count ? layer.leakage[r][c] : 0.0) -
                         (l > 1 ? layers[l - 1].leakage[r][c] : 0.0);
        if (q != 0 && s > 0) {
          const double rise = q * dt / s;
          row_max[r] = std::max(row_max[r], std::fabs(rise));
          h += rise;
        }
      } else {
        CellEquation(l, r, c, cell);
      }
      cell[kRunHead] = h;
    }
  });
  ShareSplitRows(split, table, width);
  if (pass_east.size() < static_cast<std::size_t>(layer_count) + 1) {
    pass_east.clear();
    for (int k = 0; k <= layer_count; ++k)
      pass_east.emplace_back(*diag, first_local_row, last_local_row, ncols, nrows);
  }
  double** east = pass_east[static_cast<std::size_t>(l)].get();
  // Step 2: the runs of consecutive free cells of every row.
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    const double* cells = cells_of(r);
    std::fill(east[r], east[r] + ncols + 1, 0.0);
    const auto n = width;
    std::vector<double> a(n), b(n), cc(n), d(n);
    RunRow row;
    long c = 1;
    while (c <= ncols) {
      if (cells[static_cast<std::size_t>(c) * kRunFields + kRunFlag] == 0) {
        ++c;
        continue;
      }
      const long first = c;
      while (c <= ncols && cells[static_cast<std::size_t>(c) * kRunFields + kRunFlag] != 0) ++c;
      const auto m = static_cast<std::size_t>(c - first);
      row.pinned.assign(m, 0);
      row.sunk.assign(m, 0.0);
      row.left_head.assign(m, 0.0);
      row.right_head.assign(m, 0.0);
      // The known heads beyond the run's ends (their faces are 0 where there are none).
      const double before = cells[static_cast<std::size_t>(first - 1) * kRunFields + kRunHead];
      const double after = cells[static_cast<std::size_t>(c) * kRunFields + kRunHead];
      bool solved = false;
      for (std::size_t pass = 0; pass <= m && !solved; ++pass) {
        if (!AssembleRun(cells, first, m, row, a, b, cc, d)) break;
        SolveTridiagonal(a.data(), b.data(), cc.data(), d.data(), static_cast<int>(m));
        solved = true;
        for (std::size_t i = 0; l == 1 && i < m; ++i) {
          const double* cell =
              cells + static_cast<std::size_t>(first + static_cast<long>(i)) * kRunFields;
          if (!row.pinned[i] && cell[kRunPinnable] != 0 && d[i] < cell[kRunBottom]) {
            row.pinned[i] = 1;
            row.sunk[i] = d[i];
            row.left_head[i] = i > 0 ? d[i - 1] : before;
            row.right_head[i] = i + 1 < m ? d[i + 1] : after;
            solved = false;
          }
        }
      }
      if (!solved) continue;
      for (std::size_t i = 0; i < m; ++i) {
        const long column = first + static_cast<long>(i);
        if (!Owns(r, column)) continue;
        row_max[r] = std::max(row_max[r], std::fabs(d[i] - layer.head[r][column]));
        layer.head[r][column] = d[i];
      }
      RunFaceVolumes(cells, first, m, row, d, r, east[r]);
    }
  });
  double largest = 0;
  for (long r = first_local_row; r <= last_local_row; ++r) largest = std::max(largest, row_max[r]);
  return largest;
}

// Rows with cells of other processes (flag per row, agreed over all processes) get the values
// of every process's cells in `table` (collective; nothing to do on one process).
void gwflowclass::ShareSplitRows(std::vector<double>& split, std::vector<double>& table,
                                 std::size_t width) {
  if (size <= 1) return;
  AllReduceMaximum(split);
  std::vector<double> shared;
  for (long r = 1; r <= nrows; ++r) {
    if (split[r] == 0) continue;
    const std::size_t at = shared.size();
    shared.resize(at + width * kRunFields, 0.0);
    if (r >= first_local_row && r <= last_local_row)
      std::copy_n(
          table.begin() + static_cast<std::ptrdiff_t>((r - first_local_row) * width * kRunFields),
          width * kRunFields, shared.begin() + static_cast<std::ptrdiff_t>(at));
  }
  if (shared.empty()) return;
  AllReduceSum(shared);
  std::size_t at = 0;
  for (long r = 1; r <= nrows; ++r) {
    if (split[r] == 0) continue;
    if (r >= first_local_row && r <= last_local_row)
      std::copy_n(
          shared.begin() + static_cast<std::ptrdiff_t>(at), width * kRunFields,
          table.begin() + static_cast<std::ptrdiff_t>((r - first_local_row) * width * kRunFields));
    at += width * kRunFields;
  }
}

// Whether the cell (rn, cn) beside (r, c) exchanges water with it in the row-implicit pass.
bool gwflowclass::RowNeighbourUsable(long r, long c, long rn, long cn) const {
  if (rn < 1 || rn > nrows || cn < 1 || cn > ncols) return false;
  if (!ValidReference(rn, cn) || GlacierShare(rn, cn) >= 1) return false;
  return flow_control != 3 || zone_grid[rn][cn] == zone_grid[r][c];
}

// Layer 1 in the row-implicit pass: the exchange with the rows above and below comes from the
// start heads. A cell whose start head would give those rows more than it holds above the
// layer's bottom in the sub-step gives them only that: its outflowing faces across the rows
// take the share "outflow share" (1 elsewhere), which both rows of a face read (halo exchange).
void gwflowclass::LimitRowExchange() {
  GwLayer& layer = layers[1];
  const double dt = SubStepSeconds();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      outflow_share[r][c] = 1.0;
      if (!Owns(r, c) || !ValidReference(r, c) || GlacierShare(r, c) >= 1) continue;
      if (layer.fixed_head[r][c] != nodata || !(layer.thickness[r][c] > 0)) continue;
      const double h0 = layer.head[r][c];
      const double dy = Dy(r, c);
      double out = 0;  // m/s
      if (RowNeighbourUsable(r, c, r - 1, c) && layer.head_old[r - 1][c] < h0)
        out += layer.ty[r - 1][c] / dy * (h0 - layer.head_old[r - 1][c]) / Dy(r - 1, c);
      if (RowNeighbourUsable(r, c, r + 1, c) && layer.head_old[r + 1][c] < h0)
        out += layer.ty[r][c] / dy * (h0 - layer.head_old[r + 1][c]) / Dy(r + 1, c);
      const double bottom = layer.upper_limit[r][c] - layer.thickness[r][c];
      // What the cell holds above the bottom with its fixed inflow; the leakage to layer 2
      // takes at most that, the rows above and below at most what is left.
      double held = layer.storage[r][c] * std::max(0.0, h0 - bottom) / dt +
                    (layer.fixed_inflow[r][c] != nodata ? layer.fixed_inflow[r][c] : 0.0);
      held = std::max(0.0, held);
      if (layer_count > 1) {
        layer.leakage[r][c] = std::max(layer.leakage[r][c], -held);
        held += layer.leakage[r][c];
      }
      if (out > held) outflow_share[r][c] = held / out;
    }
  });
  MPIExchangeGridHalo(outflow_share_index, nullptr);
}

// The equation of the free cell (r, c) in the row-implicit pass, x implicit (the couplings to
// the row neighbours a and c), the exchange with the rows above and below from the start heads
// (in layer 1 each at the share of the cell it leaves), the fixed inflow and the leakage to and
// from the neighbouring layers as sources; with what the cell holds above layer 1's bottom and
// gets from the other sides, which it gives its row neighbours when drained to the bottom.
void gwflowclass::CellEquation(int l, long r, long c, double* cell) const {
  const GwLayer& layer = layers[l];
  const double dt = SubStepSeconds();
  const auto usable = [&](long rn, long cn) { return RowNeighbourUsable(r, c, rn, cn); };
  const double dx = Dx(r, c);
  const double dy = Dy(r, c);
  const double s = layer.storage[r][c];
  const double a = usable(r, c - 1) ? layer.tx[r][c - 1] / Dx(r, c - 1) : 0.0;
  const double cc = usable(r, c + 1) ? layer.tx[r][c] / Dx(r, c + 1) : 0.0;
  const double h0 = layer.head[r][c];
  double nn = usable(r - 1, c)
                  ? layer.ty[r - 1][c] / dy * (h0 - layer.head_old[r - 1][c]) / Dy(r - 1, c)
                  : 0.0;
  double ns =
      usable(r + 1, c) ? layer.ty[r][c] / dy * (layer.head_old[r + 1][c] - h0) / Dy(r + 1, c) : 0.0;
  if (l == 1 && nn != 0) nn *= nn > 0 ? outflow_share[r][c] : outflow_share[r - 1][c];
  if (l == 1 && ns != 0) ns *= ns < 0 ? outflow_share[r][c] : outflow_share[r + 1][c];
  const double q = (layer.fixed_inflow[r][c] != nodata ? layer.fixed_inflow[r][c] : 0.0) +
                   (l < layer_count ? layer.leakage[r][c] : 0.0) -
                   (l > 1 ? layers[l - 1].leakage[r][c] : 0.0);
  const double bottom = layer.upper_limit[r][c] - layer.thickness[r][c];
  cell[kRunFlag] = 1;
  cell[kRunA] = a;
  cell[kRunB] = -dx * s / dt - a - cc;
  cell[kRunC] = cc;
  cell[kRunD] = dx * (-s * h0 / dt - ns + nn - q);
  // Below 0 where the sources take more than the cell holds above the bottom (a fixed outflow).
  cell[kRunHeld] = dx * (s * (h0 - bottom) / dt + ns - nn + q);
  cell[kRunBottom] = bottom;
  cell[kRunPinnable] = l == 1 && layer.thickness[r][c] > 0 && s > 0 ? 1 : 0;
}

// The water the solved run (heads `h`) moved through the faces along the row, as its cells'
// equations took it: between free cells by their heads, from a pinned cell what it passed, with
// the known heads beyond the run's ends; east[c] gets what entered cell c through its east face
// over the sub-step, m³.
void gwflowclass::RunFaceVolumes(const double* cells, long first, std::size_t m, const RunRow& row,
                                 const std::vector<double>& h, long r, double* east) const {
  const double dt = SubStepSeconds();
  const auto cell = [&](long c) { return cells + static_cast<std::size_t>(c) * kRunFields; };
  const long last = first + static_cast<long>(m) - 1;
  for (std::size_t i = 0; i + 1 < m; ++i) {
    const long c = first + static_cast<long>(i);
    const double v = !row.pinned[i] && !row.pinned[i + 1]
                         ? cell(c)[kRunC] * (h[i + 1] - h[i])
                         : (row.pinned[i + 1] ? row.to_left[i + 1] : 0.0) -
                               (row.pinned[i] ? row.to_right[i] : 0.0);
    east[c] = v * Dy(r, c) * dt;
  }
  if (row.pinned[0])
    east[first - 1] = row.to_left[0] * Dy(r, first) * dt;
  else if (cell(first)[kRunA] != 0)
    east[first - 1] = -cell(first)[kRunA] * (cell(first - 1)[kRunHead] - h[0]) * Dy(r, first) * dt;
  if (row.pinned[m - 1])
    east[last] = -row.to_right[m - 1] * Dy(r, last) * dt;
  else if (cell(last)[kRunC] != 0)
    east[last] = cell(last)[kRunC] * (cell(last + 1)[kRunHead] - h[m - 1]) * Dy(r, last) * dt;
}

// The system of one run (columns first .. first + m - 1) from the cells' equations. A pinned
// cell (layer 1 drained to its bottom) keeps the bottom head and passes on what it holds: to
// each row neighbour that lay below it in the solution that drained it, in proportion to the
// flows towards them there. A pinned neighbour passes it on in turn, so the water of a chain of
// drained cells reaches the free cells (or known heads) beside the chain; between two pinned
// cells it runs towards the one that fell further, so it never runs in a circle. A free
// neighbour takes it as a known inflow, a known head beyond the run's end (fixed head) as water
// leaving the run. A pinned cell that has nowhere to pass its water keeps it, above the bottom.
// One whose sources take more than it holds above the bottom (a fixed outflow, a start below the
// bottom) passes nothing and falls below the bottom by what it lacks, as a sweep of method 1 lets
// such a source take the head: every source acts in full, and the cell's change is its sources.
// Neighbours outside the run (fixed head, isolated) are known heads. False when a cell has
// neither storage nor a face along the row (the run keeps its heads).
bool gwflowclass::AssembleRun(const double* cells, long first, std::size_t m, RunRow& row,
                              std::vector<double>& a, std::vector<double>& b,
                              std::vector<double>& cc, std::vector<double>& d) {
  const auto cell = [&](long c) { return cells + static_cast<std::size_t>(c) * kRunFields; };
  const auto at = [&](std::size_t i) { return cell(first + static_cast<long>(i)); };
  for (std::size_t i = 0; i < m; ++i) {
    const double* e = at(i);
    a[i] = e[kRunA];
    b[i] = e[kRunB];
    cc[i] = e[kRunC];
    d[i] = e[kRunD];
    if (b[i] == 0) return false;
  }
  row.to_left.assign(m, 0.0);
  row.to_right.assign(m, 0.0);
  row.passed.assign(m, 0.0);
  row.order.clear();
  for (std::size_t i = 0; i < m; ++i)
    if (row.pinned[i]) {
      row.order.push_back(i);
      row.passed[i] = at(i)[kRunHeld];
    }
  // Deepest fall last: a pinned cell passes water only to pinned cells that fell further.
  std::sort(row.order.begin(), row.order.end(), [&](std::size_t x, std::size_t y) {
    return row.sunk[x] != row.sunk[y] ? row.sunk[x] > row.sunk[y] : x < y;
  });
  for (const std::size_t i : row.order) {
    const double* e = at(i);
    const bool pinned_left = i > 0 && row.pinned[i - 1];
    const bool pinned_right = i + 1 < m && row.pinned[i + 1];
    // a and c are 0 at a run end without a known head beyond it.
    const double wl =
        e[kRunA] * std::max(0.0, row.sunk[i] - (pinned_left ? row.sunk[i - 1] : row.left_head[i]));
    const double wr = e[kRunC] * std::max(0.0, row.sunk[i] - (pinned_right ? row.sunk[i + 1]
                                                                           : row.right_head[i]));
    const double water = row.passed[i];
    if (!(water > 0) || !(wl + wr > 0)) continue;  // kept (or lacking)
    row.to_left[i] = wr > 0 ? water * wl / (wl + wr) : water;
    row.to_right[i] = water - row.to_left[i];
    row.passed[i] = 0;
    if (pinned_left) row.passed[i - 1] += row.to_left[i];
    if (pinned_right) row.passed[i + 1] += row.to_right[i];
  }
  for (std::size_t i = 0; i < m; ++i) {
    if (!row.pinned[i]) continue;
    const double* e = at(i);
    if (i > 0 && !row.pinned[i - 1]) {
      b[i - 1] += cc[i - 1];
      cc[i - 1] = 0;
      d[i - 1] -= row.to_left[i];
    }
    if (i + 1 < m && !row.pinned[i + 1]) {
      b[i + 1] += a[i + 1];
      a[i + 1] = 0;
      d[i + 1] -= row.to_right[i];
    }
    // What the cell keeps raises it above the bottom, what it lacks lowers it below:
    // dx S / dt = -(b + a + c).
    const double storage = -(e[kRunB] + e[kRunA] + e[kRunC]);
    a[i] = cc[i] = 0;
    b[i] = 1;
    d[i] = e[kRunBottom] + row.passed[i] / storage;
  }
  if (a[0] != 0) {
    d[0] -= a[0] * cell(first - 1)[kRunHead];
    a[0] = 0;
  }
  const long last = first + static_cast<long>(m) - 1;
  if (cc[m - 1] != 0) {
    d[m - 1] -= cc[m - 1] * cell(last + 1)[kRunHead];
    cc[m - 1] = 0;
  }
  return true;
}

double gwflowclass::CountOscillations(double** h, double** h0, double** h00) {
  const double eps = maxerror_allowed;
  std::vector<double> count(static_cast<std::size_t>(nrows) + 2, 0.0);
  std::vector<double> sum(count.size(), 0.0), largest(count.size(), 0.0);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c) || !ValidReference(r, c)) continue;
      const double d1 = h0[r][c] - h00[r][c];
      const double d2 = h[r][c] - h0[r][c];
      if ((d1 > eps && d2 < -eps) || (d1 < -eps && d2 > eps)) {
        count[r] += 1;
        sum[r] += std::fabs(d2);
        largest[r] = std::max(largest[r], std::fabs(d2));
      }
    }
  });
  double n = 0;
  oscillation_sum = 0;
  oscillation_max = 0;
  for (long r = first_local_row; r <= last_local_row; ++r) {
    n += count[r];
    oscillation_sum += sum[r];
    oscillation_max = std::max(oscillation_max, largest[r]);
  }
  return n;
}

void gwflowclass::ComputeFlows() {
  if (GetFlowControl() == 0) return;
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c)) continue;
        if (!ValidReference(r, c)) {
          layer.flow_x[r][c] = layer.flow_y[r][c] = nodata;
          continue;
        }
        if (GlacierShare(r, c) >= 1) {
          layer.flow_x[r][c] = layer.flow_y[r][c] = 0;
          continue;
        }
        const auto flux = [&](long rn, long cn, double** k, double size) {
          if (rn > nrows || cn > ncols) return 0.0;
          if (!ValidReference(rn, cn)) return nodata;
          if (GlacierShare(rn, cn) >= 1) return 0.0;
          return (layer.head[r][c] - layer.head[rn][cn]) * k[r][c] / size;
        };
        layer.flow_x[r][c] = flux(r, c + 1, layer.kx, Dx(r, c));
        layer.flow_y[r][c] = flux(r + 1, c, layer.ky, Dy(r, c));
      }
    });
  }
}

void gwflowclass::ComputeBaseflow() {
  GwLayer& top = layers[1];
  const double dt = SubStepSeconds();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c) || !ValidReference(r, c)) continue;
      baseflow[r][c] = GlacierShare(r, c) < 1
                           ? ((top.head_old[r][c] - top.head[r][c]) * top.storage[r][c] +
                              (pumped_water[r][c] + Unpaid(r, c)) / 1000.0) /
                                 dt
                           : 0.0;
    }
  });
}

void gwflowclass::FaceVolumes(int l, long r, long c, double q[6]) const {
  const GwLayer& layer = layers[l];
  const double dt = SubStepSeconds();
  const double h = layer.head[r][c];
  const double dx = Dx(r, c);
  const double dy = Dy(r, c);
  const auto face = [&](long rn, long cn, double** flux, long rf, long cf, double t, double along,
                        double across) {
    if (rn < 1 || rn > nrows || cn < 1 || cn > ncols) return 0.0;
    if (!ValidReference(rn, cn) || IsNodata(flux[rf][cf], nodata)) return 0.0;
    const double hn = layer.head[rn][cn];
    const double share = FaceShare(l, r, c, h, hn, l == 1 ? outflow_share[rn][cn] : 1.0);
    return (hn - h) / along * t * share * across * dt;
  };
  q[0] = r > 1 ? face(r - 1, c, layer.flow_y.get(), r - 1, c, layer.ty[r - 1][c], dy, dx) : 0.0;
  q[1] = face(r, c + 1, layer.flow_x.get(), r, c, layer.tx[r][c], dx, dy);
  q[2] = face(r + 1, c, layer.flow_y.get(), r, c, layer.ty[r][c], dy, dx);
  q[3] = c > 1 ? face(r, c - 1, layer.flow_x.get(), r, c - 1, layer.tx[r][c - 1], dx, dy) : 0.0;
  if (method == 2 && static_cast<std::size_t>(l) < pass_east.size()) {
    // The row-implicit pass: along the row what its equations moved; across the rows the
    // source of each row's equations, from the start heads (in layer 1 at the share of the cell
    // the water leaves), which both cells of a face book alike.
    const auto across = [&](long rn, double t) {
      if (!RowNeighbourUsable(r, c, rn, c)) return 0.0;
      double inflow = t / dy * (layer.head_old[rn][c] - layer.head_old[r][c]) / Dy(rn, c);
      if (l == 1 && inflow != 0) inflow *= inflow < 0 ? outflow_share[r][c] : outflow_share[rn][c];
      return inflow * dx * dy * dt;
    };
    double** east = pass_east[static_cast<std::size_t>(l)].get();
    q[0] = r > 1 ? across(r - 1, layer.ty[r - 1][c]) : 0.0;
    q[1] = east[r][c];
    q[2] = r < nrows ? across(r + 1, layer.ty[r][c]) : 0.0;
    q[3] = c > 1 ? -east[r][c - 1] : 0.0;
  }
  q[4] = l > 1 ? -layers[l - 1].leakage[r][c] * dx * dy * dt : 0.0;
  q[5] = l < layer_count ? layer.leakage[r][c] * dx * dy * dt : 0.0;
}

// Water stored in the layer at the start of the sub-step: S A times the saturated thickness.
double gwflowclass::StoredVolume(int l, long r, long c) const {
  const GwLayer& layer = layers[l];
  const double b = layer.thickness[r][c];
  const double h0 = layer.head_old[r][c];
  const double top = layer.upper_limit[r][c];
  const double s0 = h0 >= top ? b : std::max(0.0, h0 - top + b);
  return layer.storage[r][c] * Dx(r, c) * Dy(r, c) * s0;
}

void gwflowclass::ComputeBalance(int l) {
  GwLayer& layer = layers[l];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c) || IsNodata(zone_grid[r][c], nodata)) continue;
      if (GlacierShare(r, c) >= 1 || zone_grid[r][c] < nodata) {
        layer.balance[r][c] = 0;
        continue;
      }
      double q[6];
      FaceVolumes(l, r, c, q);
      const double inflow = q[0] + q[1] + q[2] + q[3] + q[4] + q[5];
      layer.balance[r][c] = BalanceResidual(layer.head[r][c], layer.head_old[r][c],
                                            layer.storage[r][c], inflow, Dx(r, c) * Dy(r, c));
    }
  });
}

void gwflowclass::MarkInvalidHeads(int l) {
  GwLayer& layer = layers[l];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c)
      if (Owns(r, c) && !(zone_grid[r][c] > nodata)) layer.head[r][c] = nodata;
  });
}

void gwflowclass::RecordControlPoint() {
  if (control_row < 1 || !owns_control_cell) return;
  const long r = control_row;
  const long c = control_column;
  GwControlRecord& record = control_buffer[static_cast<std::size_t>(control_count)];
  ++control_count;
  record.date = {static_cast<long>(step_date.year), static_cast<long>(step_date.month),
                 static_cast<long>(step_date.day), static_cast<long>(step_date.hour)};
  for (int l = 1; l <= layer_count; ++l) {
    double** h = layers[l].head.get();
    double* v = &record.values[static_cast<std::size_t>(6 * (l - 1) + 1)];
    v[0] = h[r][c];
    v[1] = r == 1 ? kEdgeMark : h[r - 1][c];
    v[2] = c == ncols ? kEdgeMark : h[r][c + 1];
    v[3] = r == nrows ? kEdgeMark : h[r + 1][c];
    v[4] = c == 1 ? kEdgeMark : h[r][c - 1];
    v[5] = baseflow[r][c];
  }
  if (control_count >= control_capacity)
    WriteControlPointFluxes(control_point_file, control_count, control_buffer);
}

}  // namespace velorn

// Method 6 of the surface routing model: the water surface H = h + z solved implicitly over the
// four straight neighbours by repeated sweeps, channel cells held at their terrain height as
// sinks, then the discharges and velocities of the four directions and the hand-over of the water
// that left the hillslopes to the channel cells.
//
// The sweep visits the cells in red-black order with a halo round between the colours: a cell
// reads only neighbours of the other colour, so the heads depend neither on the threads nor on
// the processes. A head that is not finite stops the run (code 199) with a FATAL entry naming the
// cell, after a dump file of its neighbourhood when dumps are on.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "core/error_code.h"
#include "core/exact_reduction.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/row_sums.h"
#include "core/string_helpers.h"
#include "lateral/surface_flow_formulas.h"
#include "lateral/surface_routing_model.h"

namespace velorn {

namespace {
constexpr int kHeadFailureCode = 199;
constexpr int kDumpDoubles = 59;

struct Stencil {
  int64_t r[5], c[5];  // the cell, N, E, S, W
};
Stencil StencilOf(int64_t row, int64_t column) {
  return {{row, row - 1, row, row + 1, row}, {column, column, column + 1, column, column - 1}};
}
}  // namespace

void surfaceroutingclass::BeginHeadIteration() {
  double** head = grid_data[kSurfHead];
  double** manning = grid_data[kSurfManning];
  double** east_face = grid_data[kSurfRoughnessX];
  double** south_face = grid_data[kSurfRoughnessY];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      east_face[r][c] = south_face[r][c] = 0;
      if (!OwnCell(r, c)) continue;
      const auto valid = [&](int64_t rn, int64_t cn) {
        if (!InsideForBalance(rn, cn)) return false;
        return GetFlowControl() != 3 || zone_grid[rn][cn] == zone_grid[r][c];
      };
      const auto side = [&](int64_t rn, int64_t cn) {
        return ChannelCell(rn, cn) ? manning[rn][cn]
                                   : (head[rn][cn] - elevation[rn][cn]) * manning[rn][cn];
      };
      const bool east = valid(r, c + 1), south = valid(r + 1, c);
      double a = side(r, c);
      double b = east ? side(r, c + 1) : 0.0;
      double s = south ? side(r + 1, c) : 0.0;
      const double h = head[r][c];
      // A dry side takes the wet side's value when the water flows towards it.
      if (a <= 0) a = east && b > 0 && head[r][c + 1] > h && manning[r][c] > 0 ? b : 0.0;
      if (b <= 0) b = east && a > 0 && h > head[r][c + 1] && manning[r][c + 1] > 0 ? a : 0.0;
      if (s <= 0) s = south && a > 0 && h > head[r + 1][c] && manning[r + 1][c] > 0 ? a : 0.0;
      east_face[r][c] = FaceConductance(a, b);
      south_face[r][c] = FaceConductance(a, s);
    }
  });
}

double surfaceroutingclass::SweepCell(int64_t row, int64_t column, int64_t k, double dt) {
  double** head = grid_data[kSurfHead];
  double** old = grid_data[kSurfHeadOld];
  double** east_face = grid_data[kSurfRoughnessX];
  double** south_face = grid_data[kSurfRoughnessY];
  const bool has_n = row > 1, has_s = row<nrows, has_w = column> 1, has_e = column < ncols;
  const double face_n = has_n ? south_face[row - 1][column] : 0.0;
  const double face_w = has_w ? east_face[row][column - 1] : 0.0;
  const double face_e = has_e ? east_face[row][column] : 0.0;
  const double face_s = has_s ? south_face[row][column] : 0.0;
  if (!(face_n > 0 || face_w > 0 || face_e > 0 || face_s > 0)) return 0.0;
  const double hc = head[row][column], zc = elevation[row][column];
  const double dx = cell_size_x != nullptr ? cell_size_x[row][column] : cellsize;
  const double dy = cell_size_y != nullptr ? cell_size_y[row][column] : cellsize;
  const auto effective = [&](bool has, int64_t r, int64_t c) {
    return has ? EffectiveNeighbourHead(hc, zc, head[r][c], elevation[r][c], false,
                                        ChannelCell(r, c))
               : hc;
  };
  const double hn = effective(has_n, row - 1, column), he = effective(has_e, row, column + 1);
  const double hs = effective(has_s, row + 1, column), hw = effective(has_w, row, column - 1);
  const double kn = row == 1 ? south_face[row][column] : dx / dy * face_n;
  const double ke = dy / dx * east_face[row][column];
  const double ks = dx / dy * south_face[row][column];
  const double kw = column == 1 ? east_face[row][column] : dy / dx * face_w;
  const double sum_k = kn + ke + ks + kw;
  const double sum = kn * hn + ke * he + ks * hs + kw * hw;
  const double d = dx * dy / dt + sum_k;
  const double next = d == 0 ? zc : (dx * dy * old[row][column] / dt + sum) / d;
  head[row][column] = next;
  if (std::isfinite(next)) return std::fabs(next - hc);
  const int64_t count = std::atomic_ref<int64_t>(dump_count).fetch_add(1);
  if (dump_mode && (maximum_dump_files == 0 || count < maximum_dump_files)) {
    std::printf(
        "NaN or Inf found for HEAD[%ld][%ld] (value: %g) in rank %d\nwriting dump file...\n",
        static_cast<long>(row), static_cast<long>(column), next, rank);
    std::fflush(stdout);
    std::vector<double> v;
    v.reserve(kDumpDoubles);
    const Stencil st = StencilOf(row, column);
    const auto stencil = [&](double** grid, bool head_before) {
      for (int i = 0; i < 5; ++i) {
        const bool in = st.r[i] >= 1 && st.r[i] <= nrows && st.c[i] >= 1 && st.c[i] <= ncols &&
                        grid[st.r[i]] != nullptr;
        v.push_back(!in ? -9999.0 : head_before && i == 0 ? hc : grid[st.r[i]][st.c[i]]);
      }
    };
    v.push_back(dt);
    for (int i = 0; i < 4; ++i)
      v.push_back(st.r[i] >= 1 && st.r[i] <= nrows && st.c[i] >= 1 && st.c[i] <= ncols
                      ? elevation[st.r[i]][st.c[i]]
                      : -9999.0);
    stencil(elevation, false);
    stencil(south_face, false);
    stencil(east_face, false);  // reserved block: the east-face conductances
    stencil(river_depth, false);
    stencil(river_width, false);
    stencil(head, true);
    v.push_back(next);
    for (double x : {0.0, hn, he, hs, hw}) v.push_back(x);
    for (double x : {0.0, kn, ke, ks, kw}) v.push_back(x);
    for (double x : {0.0, kn * hn, ke * he, ks * hs, kw * hw}) v.push_back(x);
    for (double x : {dx, dy, hc, sum_k, sum, d, old[row][column], static_cast<double>(k)})
      v.push_back(x);
    WriteHeadDump(row, column, k, v.data());
  }
  return 0.0;
}

void surfaceroutingclass::WriteHeadDump(int64_t row, int64_t column, int64_t k,
                                        const double* values) const {
  const std::string name =
      output_directory +
      FormatText("surfrout_dump_row_%ld_col_%ld_iteration_%ld_%ld%02ld%02ld%02ld.dmp",
                 static_cast<long>(row), static_cast<long>(column), static_cast<long>(k),
                 static_cast<long>(call_date[0]), static_cast<long>(call_date[1]),
                 static_cast<long>(call_date[2]), static_cast<long>(call_date[3]));
  WriteWholeFile(Diag(), kWriteErrorCode, name,
                 std::string(reinterpret_cast<const char*>(values), kDumpDoubles * sizeof(double)),
                 "wb");
}

double surfaceroutingclass::IterateHead(int64_t k, double dt) {
  double** head = grid_data[kSurfHead];
  double** old = grid_data[kSurfHeadOld];
  const long rows = std::max<long>(last_local_row - first_local_row + 1, 0);
  std::vector<double> change(static_cast<std::size_t>(rows), 0.0);
  std::vector<int64_t> failed(static_cast<std::size_t>(rows), 0);
  for (int colour = 0; colour < 2; ++colour) {
    if (colour == 1) MPIExchangeGridHalo(grid_index[kSurfHead], head);
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      const std::size_t i = static_cast<std::size_t>(r - first_local_row);
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (!OwnCell(r, c)) continue;
        if (ChannelCell(r, c)) {
          head[r][c] = old[r][c] = elevation[r][c];
          continue;
        }
        if ((r + c) % 2 != colour) continue;
        change[i] = std::max(change[i], SweepCell(r, c, k, dt));
        if (!std::isfinite(head[r][c]) && failed[i] == 0) failed[i] = c;
      }
    });
  }
  double largest = 0;
  for (std::size_t i = 0; i < change.size(); ++i) {
    largest = std::max(largest, change[i]);
    if (failed[i] != 0 && !head_failure.found) {
      const int64_t r = first_local_row + static_cast<int64_t>(i);
      head_failure = {true, r, failed[i], head[r][failed[i]]};
    }
  }
  return largest;
}

void surfaceroutingclass::StopOnHeadFailure() {
  if (!head_failure.found) throw ErrorCode{kHeadFailureCode};
  if (dump_mode && close_after_dump)
    ThrowFatal(Diag(), kHeadFailureCode,
               "FATAL: \n\n -------- command line option -closeAfterDump active! "
               "---------------------------------------------\n\n",
               " a dumpfile has been written and Velorn aborts now.\n",
               "-------------------------------------------------------------\n\n");
  ThrowFatal(Diag(), kHeadFailureCode, "FATAL: surface routing: the water surface of cell (row ",
             head_failure.row, ", column ", head_failure.column, ") is not finite (",
             head_failure.value, ") in iteration step of the head; the run stops");
}

void surfaceroutingclass::RunHeadIteration(double dt) {
  BeginHeadIteration();
  MPIExchangeGridHalo(grid_index[kSurfRoughnessX], grid_data[kSurfRoughnessX]);
  MPIExchangeGridHalo(grid_index[kSurfRoughnessY], grid_data[kSurfRoughnessY]);
  int64_t k = 0;
  std::vector<double> agreed{0, 0};
  do {
    ++k;
    MPIExchangeGridHalo(grid_index[kSurfHead], grid_data[kSurfHead]);
    MPIExchangeGridHalo(grid_index[kSurfHeadOld], grid_data[kSurfHeadOld]);
    agreed = {IterateHead(k, dt), head_failure.found ? 1.0 : 0.0};
    AllReduceMaximum(agreed);
    if (agreed[1] > 0) StopOnHeadFailure();
  } while (k < velocity_steps && agreed[0] > velocity_error);
}

void surfaceroutingclass::FinishHeadIteration() {
  double** head = grid_data[kSurfHead];
  double** east_face = grid_data[kSurfRoughnessX];
  double** south_face = grid_data[kSurfRoughnessY];
  double*** q = stack_data[kSurfFluxes];
  double*** v = stack_data[kSurfVelocity];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || ChannelCell(r, c)) continue;
      for (int l = 0; l <= 8; ++l) q[r][c][l] = v[r][c][l] = 0;
      grid_data[kSurfFluxes][r][c] = grid_data[kSurfVelocity][r][c] = 0;
      const bool has[5] = {true, r > 1, c < ncols, r<nrows, c> 1};
      const double face[5] = {0, has[1] ? south_face[r - 1][c] : 0.0,
                              has[2] ? east_face[r][c] : 0.0, has[3] ? south_face[r][c] : 0.0,
                              has[4] ? east_face[r][c - 1] : 0.0};
      if (!(face[1] > 0 || face[2] > 0 || face[3] > 0 || face[4] > 0)) continue;
      const double hc = head[r][c], zc = elevation[r][c], dc = hc - zc;
      const double dx = cell_size_x != nullptr ? cell_size_x[r][c] : cellsize;
      const double dy = cell_size_y != nullptr ? cell_size_y[r][c] : cellsize;
      const Stencil st = StencilOf(r, c);
      const double k[5] = {0, r == 1 ? south_face[r][c] : dx / dy * face[1],
                           dy / dx * east_face[r][c], dx / dy * south_face[r][c],
                           c == 1 ? east_face[r][c] : dy / dx * face[4]};
      double he[5] = {hc, hc, hc, hc, hc}, dn[5] = {dc, dc, dc, dc, dc};
      for (int i = 1; i <= 4; ++i) {
        if (!has[i]) continue;
        const int64_t rn = st.r[i], cn = st.c[i];
        const bool channel = ChannelCell(rn, cn);
        he[i] = EffectiveNeighbourHead(hc, zc, head[rn][cn], elevation[rn][cn], false, channel);
        dn[i] = channel || head[rn][cn] < zc ? 0.0 : head[rn][cn] - elevation[rn][cn];
      }
      // Levels 1, 3, 5, 7 (N, E, S, W), positive towards south and east.
      const double flow[5] = {0, k[1] * dx * (he[1] - hc) / dy, k[2] * dy * (hc - he[2]) / dx,
                              k[3] * dx * (hc - he[3]) / dy, k[4] * dy * (he[4] - hc) / dx};
      for (int i = 1; i <= 4; ++i) {
        const int level = 2 * i - 1;
        q[r][c][level] = flow[i];
        const double width = i % 2 == 1 ? dx : dy;
        const double depth = (dc + dn[i]) / 2;
        v[r][c][level] = k[i] == 0 || !has[i] || depth == 0 ? 0.0 : flow[i] / (width * depth);
      }
      const auto magnitude = [&](const double* l) {
        const double a = (std::fabs(l[1]) + std::fabs(l[5])) / 2;
        const double b = (std::fabs(l[3]) + std::fabs(l[7])) / 2;
        const double m = std::sqrt(a * a + b * b);
        return m > 0 ? m : 0.0;
      };
      q[r][c][0] = grid_data[kSurfFluxes][r][c] = magnitude(q[r][c]);
      v[r][c][0] = grid_data[kSurfVelocity][r][c] = magnitude(v[r][c]);
    }
  });
  MPIExchangeStackHalo(grid_index[kSurfFluxes], 0, q);
  MPIExchangeStackHalo(grid_index[kSurfVelocity], 0, v);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || !ChannelCell(r, c)) continue;
      const Stencil st = StencilOf(r, c);
      const int from[5] = {0, 5, 7, 1, 3};
      for (double*** stack : {q, v}) {
        double* own = stack[r][c];
        for (int l = 0; l <= 8; ++l) own[l] = 0;
        for (int i = 1; i <= 4; ++i) {
          const int64_t rn = st.r[i], cn = st.c[i];
          if (!InsideForBalance(rn, cn)) continue;
          if (GetFlowControl() == 3 && zone_grid[rn][cn] != zone_grid[r][c]) continue;
          const double value = stack[rn][cn][from[i]];
          own[2 * i - 1] = IsNodata(value, nodata) ? 0.0 : value;
        }
        const double a = std::fabs(own[1]) + std::fabs(own[5]);
        const double b = std::fabs(own[3]) + std::fabs(own[7]);
        own[0] = std::sqrt(a * a + b * b);
      }
      grid_data[kSurfFluxes][r][c] = q[r][c][0];
      grid_data[kSurfVelocity][r][c] = v[r][c][0];
    }
  });
}

void surfaceroutingclass::MixHeadPools() {
  // The sums are exact, so the pools do not depend on the order of the cells nor on the
  // processes. Per subbasin: the water its cells lost, the solute in it, the water its cells
  // gained.
  const std::size_t width = static_cast<std::size_t>(tracer_count) + 1;
  const std::size_t zones = balance_records[0].size();
  double** head = grid_data[kSurfHead];
  std::vector<ExactSum> sums = ExactSumsOverRows(
      first_local_row, last_local_row, zones * (width + 1), [&](long r, ExactSum* own) {
        for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
          if (!OwnCell(r, c)) continue;
          const double loss =
              silting_storage[r][c] - std::max((head[r][c] - elevation[r][c]) * 1000, 0.0);
          ExactSum* pool = &own[static_cast<std::size_t>(ZoneIndexOf(r, c)) * (width + 1)];
          if (!(loss > 0)) {
            if (loss < 0) pool[width].Add(-loss);
            continue;
          }
          pool[0].Add(loss);
          for (int32_t i = 1; i <= tracer_count; ++i)
            pool[i].Add(tracer_blocks[i].concentration.get()[r][c] * loss);
        }
      });
  ReduceExactSumsToRoot(sums);
  std::vector<double> totals(sums.size());
  for (std::size_t k = 0; k < sums.size(); ++k) totals[k] = sums[k].Value();
  BroadcastBytes(totals.data(), static_cast<int>(totals.size() * sizeof(double)));
  // The water a subbasin gave over its borders leaves at its own concentration; the subbasins
  // that received water mix all that was given into what their own cells lost.
  std::vector<double> given(width, 0.0);  // [0]: the water received
  for (std::size_t j = 1; j < zones; ++j) {
    const double* pool = &totals[j * (width + 1)];
    if (head_exchange[j] < 0) given[0] -= head_exchange[j];
    if (head_exchange[j] > 0 && pool[0] > 0)
      for (std::size_t i = 1; i < width; ++i) given[i] += pool[i] / pool[0] * head_exchange[j];
  }
  head_pools.assign(zones * width, 0.0);
  for (std::size_t j = 0; j < zones; ++j) {
    const double* pool = &totals[j * (width + 1)];
    double* mixed = &head_pools[j * width];
    const double exchange = head_exchange[j];
    if (exchange < 0) {
      // All that its cells gained: what its cells lost and its share of what was given.
      const double share = -exchange / given[0];
      mixed[0] = pool[width];
      for (std::size_t i = 1; i < width; ++i)
        mixed[i] = pool[width] > 0 ? (pool[i] + given[i] * share) / pool[width] : 0.0;
    } else {
      // What its cells lost, less what it gave.
      mixed[0] = pool[0] - std::max(exchange, 0.0);
      for (std::size_t i = 1; i < width; ++i) mixed[i] = pool[0] > 0 ? pool[i] / pool[0] : 0.0;
      // Where its cells gained more than that (water no subbasin lost, so none was given: what
      // the sweeps left unbalanced), the solute of what it kept spreads over all they gained.
      if (pool[width] > mixed[0]) {
        const double kept = std::max(mixed[0], 0.0) / pool[width];
        for (std::size_t i = 1; i < width; ++i) mixed[i] *= kept;
      }
    }
  }
}

// The heads move the water of a subbasin as a whole: its channel cells receive the storage it
// lost, less what crossed its borders to subbasins that gained, in shares of their inflows (equal
// shares without inflow). The solute moves with it through one pool per subbasin: the water that
// cells lost (the channel cells all of theirs) mixes there; what crossed the borders carries the
// giving pool's concentration into the receiving ones. The channel cells receive the water at the
// pool's concentration and a cell that gained water mixes it at that concentration into what it
// held. So the solute follows the water, and no concentration leaves the range of its sources.
void surfaceroutingclass::HeadStoragePass(double dt) {
  double** head = grid_data[kSurfHead];
  double** old = grid_data[kSurfHeadOld];
  const std::vector<ZoneRecord>& channel_records = balance_records[2];
  if (tracer_count > 0) MixHeadPools();
  const std::size_t width = static_cast<std::size_t>(tracer_count) + 1;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int j = ZoneIndexOf(r, c);
      const bool channel = ChannelCell(r, c);
      double added = 0;
      if (channel) {
        // Without inflow to its channels (the water the subbasin lost was on its channel cells)
        // each channel cell receives an equal share.
        const double discharge = channel_records[j][1], cells = channel_records[j][0];
        if (discharge > 0)
          added = substep_values[j] / discharge *
                  (std::fabs(stack_data[kSurfFluxes][r][c][0]) * 1000 * dt / CellArea(r, c));
        else if (cells > 0)
          added = substep_values[j] / cells;
        directflow[r][c] += added;
      } else {
        directflow[r][c] = 0;
      }
      const double z = elevation[r][c];
      if (head[r][c] < z) head[r][c] = z;
      const double before = silting_storage[r][c];
      silting_storage[r][c] = std::max((head[r][c] - z) * 1000, 0.0);
      old[r][c] = head[r][c];
      if (tracer_count <= 0) continue;
      const double* pool = &head_pools[static_cast<std::size_t>(j) * width];
      const double gain = silting_storage[r][c] - before;
      for (int32_t i = 1; i <= tracer_count; ++i) {
        double& stored = tracer_blocks[i].concentration.get()[r][c];
        if (channel) {
          tracer_qd_grids[i][r][c] += pool[i] * added;
          stored = 0;
        } else {
          tracer_qd_grids[i][r][c] = 0;
          if (gain > 0) stored = (stored * before + pool[i] * gain) / silting_storage[r][c];
        }
      }
    }
  });
}

}  // namespace velorn

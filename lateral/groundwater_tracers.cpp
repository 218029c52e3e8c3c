// Solute tracers of the groundwater model (see groundwater_model.h): per tracer and layer a
// concentration grid "concstor_tracer_<t>_layer_<l>_<module>" with its zone statistics, and per
// tracer the grid "concflux_tracer_<t>_<module>" holding layer 1's new concentration (what the
// baseflow carries). Each sub-step: decay, then upwind transport of every layer from the
// concentrations at its start; the masses of the step are kept per layer for the balance.
//
// The start concentration is the tracer's groundwater concentration (gwini) for every tracer:
// the transport treats the grid as a concentration, so it starts as one.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "lateral/groundwater_model.h"
#include "lateral/groundwater_physics.h"

namespace velorn {

namespace {

// Row sums added in row order, so that the total does not depend on the threads.
double SumRows(const std::vector<double>& rows) {
  return std::accumulate(rows.begin(), rows.end(), 0.0);
}

}  // namespace

void gwflowclass::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                               ZoneStatisticsRecord* statistics_registry, int32_t capacity) {
  error = CaptureErrorCode([&] {
    tracer_count = std::max(count, 0);
    if (GetFlowControl() == 0 || tracer_count < 1) return;
    if (definitions == nullptr) {
      ThrowFatal(Diag(), kForeignConstructionCode, "FATAL: tracer set-up of ", module_name,
                 " without tracer definitions");
    }
    tracer_definitions = definitions;
    zone_statistics = statistics_registry;
    zone_statistics_capacity = capacity;
    // Zone code -> record of the zone table; codes outside the table go to record 0.
    int32_t highest = 0;
    for (int32_t z = 1; zone_table != nullptr && z <= zone_count; ++z)
      highest = std::max(highest, static_cast<int32_t>(zone_table[z][2]));
    tracer_zone_index.assign(static_cast<std::size_t>(highest) + 1, 0);
    for (int32_t z = 1; zone_table != nullptr && z <= zone_count; ++z)
      if (zone_table[z][2] >= 0) tracer_zone_index[static_cast<int32_t>(zone_table[z][2])] = z;
    gw_tracers.resize(static_cast<std::size_t>(tracer_count) + 1);
    for (int t = 1; t <= tracer_count; ++t) {
      GwTracer& tracer = gw_tracers[t];
      if (definitions[t].radioactive != 0)
        tracer.decay_factor = DecayFactor(time_interval / sub_step_count, definitions[t].half_time);
      tracer.layers.resize(static_cast<std::size_t>(layer_count) + 1);
      for (int l = 1; l <= layer_count; ++l) SetupTracerLayer(t, l);
      tracer.flux = NewOwnGrid();
      tracer.flux_index =
          RegisterNext(tracer.layers[1].grid_file_name, tracer.flux.get(),
                       FormatText("concflux_tracer_%d_%s", t, module_name.c_str()), 0, false);
    }
  });
}

void gwflowclass::SetupTracerLayer(int t, int l) {
  const TracerDefinition& d = tracer_definitions[t];
  GwTracerLayer& layer = gw_tracers[t].layers[l];
  layer.statistics_file_name = FormatText("%s%.3s%.4s%.1d.%s", d.path.c_str(), d.name.c_str(),
                                          module_name.c_str(), l, d.statext.c_str());
  layer.statistics = MakeZoneTable(
      layer.balance_table, layer.statistics_file_name, d.statcode, 99,
      FormatText("tracer concentration for tracer %d in layer %d (%s) ", t, l, d.name.c_str()));

  layer.grid_file_name = FormatText("%s%.3s%.1d%.4s.%s", d.path.c_str(), d.name.c_str(), l,
                                    module_name.c_str(), d.gridext.c_str());
  layer.concentration = NewHeldGrid();
  if (grid_read_parameter == 1) {
    double** grid = layer.concentration.get();
    ReadGrid(layer.grid_file_name, grid, 0, false, true, false, 0, false, true, 0.0);
  } else {
    double** grid = layer.concentration.get();
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c)
        if (Owns(r, c)) grid[r][c] = ValidReference(r, c) ? d.gwini : nodata;
    });
  }
  layer.concentration_index = RegisterNext(
      layer.grid_file_name, layer.concentration.get(),
      FormatText("concstor_tracer_%d_layer_%d_%s", t, l, module_name.c_str()), d.gridcode, true);
  MPIExchangeGridHalo(layer.concentration_index, nullptr);
  layer.next = NewOwnGrid();
}

// Entries are cleared from the last registered one down, so the registry keeps no holes.
void gwflowclass::ReleaseTracers() {
  for (int t = static_cast<int>(gw_tracers.size()) - 1; t >= 1; --t) {
    GwTracer& tracer = gw_tracers[t];
    if (tracer.flux_index > 0) UnregisterGrid(tracer.flux_index);
    for (int l = static_cast<int>(tracer.layers.size()) - 1; l >= 1; --l) {
      GwTracerLayer& layer = tracer.layers[l];
      if (layer.concentration_index > 0) UnregisterGrid(layer.concentration_index);
      if (layer.statistics) layer.statistics->ReleaseMemory();
    }
  }
  gw_tracers.clear();
  tracer_count = 0;
}

// At the start of the sub-step, after the start heads: every active cell loses the decayed part.
void gwflowclass::DecayTracers() {
  for (int t = 1; t < static_cast<int>(gw_tracers.size()); ++t) {
    GwTracer& tracer = gw_tracers[t];
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = tracer.layers[l];
      layer.decayed = 0;
      if (tracer.decay_factor == 1.0) continue;
      double** conc = layer.concentration.get();
      std::vector<double> rows(static_cast<std::size_t>(last_local_row - first_local_row + 1), 0);
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        double& lost = rows[static_cast<std::size_t>(r - first_local_row)];
        for (long c = 1; c <= ncols; ++c) {
          if (!Owns(r, c) || !ValidReference(r, c) || GlacierShare(r, c) >= 1) continue;
          const double kept = conc[r][c] * tracer.decay_factor;
          lost += StoredVolume(l, r, c) * (conc[r][c] - kept);
          conc[r][c] = kept;
        }
      });
      layer.decayed = SumRows(rows);
    }
  }
}

void gwflowclass::TransportTracers() {
  if (gw_tracers.size() < 2) return;
  for (int t = 1; t <= tracer_count; ++t)
    for (int l = 1; l <= layer_count; ++l)
      MPIExchangeGridHalo(gw_tracers[t].layers[l].concentration_index, nullptr);
  for (int t = 1; t <= tracer_count; ++t)
    for (int l = 1; l <= layer_count; ++l) TransportLayer(t, l);
  // Every layer moved from the start concentrations; now they all take the new ones.
  for (int t = 1; t <= tracer_count; ++t) {
    GwTracer& tracer = gw_tracers[t];
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = tracer.layers[l];
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c) {
          if (!Owns(r, c)) continue;
          layer.concentration[r][c] = layer.next[r][c];
          if (l == 1) tracer.flux[r][c] = layer.next[r][c];
        }
      });
    }
  }
}

void gwflowclass::TransportLayer(int t, int l) {
  GwTracerLayer& layer = gw_tracers[t].layers[l];
  double** conc = layer.concentration.get();
  double** above = l > 1 ? gw_tracers[t].layers[l - 1].concentration.get() : nullptr;
  double** below = l < layer_count ? gw_tracers[t].layers[l + 1].concentration.get() : nullptr;
  const std::size_t row_count = static_cast<std::size_t>(last_local_row - first_local_row + 1);
  std::vector<double> start(row_count, 0), end(row_count, 0);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    const std::size_t i = static_cast<std::size_t>(r - first_local_row);
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c)) continue;
      if (!ValidReference(r, c)) {
        layer.next[r][c] = nodata;
        continue;
      }
      const double own = conc[r][c];
      if (GlacierShare(r, c) >= 1) {
        layer.next[r][c] = own;
        continue;
      }
      double q[6];
      FaceVolumes(l, r, c, q);
      // A face without water carries nothing, so the own value stands in for missing neighbours.
      const double upwind[6] = {
          r > 1 ? conc[r - 1][c] : own,         c < ncols ? conc[r][c + 1] : own,
          r < nrows ? conc[r + 1][c] : own,     c > 1 ? conc[r][c - 1] : own,
          above != nullptr ? above[r][c] : own, below != nullptr ? below[r][c] : own};
      const double volume = StoredVolume(l, r, c);
      const double next = TransportedConcentration(volume, own, q, upwind);
      layer.next[r][c] = next;
      start[i] += volume * own;
      end[i] += (volume + q[0] + q[1] + q[2] + q[3] + q[4] + q[5]) * next;
      const double code = zone_grid[r][c];
      const int32_t zone = code >= 0 && code < static_cast<double>(tracer_zone_index.size())
                               ? tracer_zone_index[static_cast<std::size_t>(code)]
                               : 0;
      layer.statistics->AddValue(r, c, zone, next, 1.0);
    }
  });
  layer.mass_start = SumRows(start);
  layer.mass_end = SumRows(end);
}

void gwflowclass::FinishTracerStep() {
  for (int t = 1; t < static_cast<int>(gw_tracers.size()); ++t) {
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = gw_tracers[t].layers[l];
      WriteGridOutput(layer.concentration_index, 1, false);
      layer.statistics->CollectStep(step_date.year, step_date.month, step_date.day, step_date.hour,
                                    1);
    }
  }
}

}  // namespace velorn

// Solute tracers of the groundwater model (see groundwater_model.h): per tracer and layer the
// grid "concstor_tracer_<t>_layer_<l>_<module>" with its zone statistics, per tracer the grid
// "concflux_tracer_<t>_<module>" (the concentration of the water layer 1 gives back to the soil
// columns) and the grid "concleft_tracer_<t>_<module>" (the solute that left through the
// boundary). A layer grid holds what the soil zone's stacks hold: the stored amount
// (concentration x water in mm over the cell) of a non-evaporating tracer, the concentration
// of an evaporating one. The start value is the tracer's groundwater concentration (gwini) in
// the water the layer stores (storage coefficient x saturated thickness).
//
// The grids are the state: the solute mass of every layer and cell is taken from its grid,
// every sub-step changes it by the soil's exchange, decay and the upwind transport, stores it
// back into the grid and continues with what the grid holds (for an evaporating tracer with the
// water that carries it, the grid "gw_solute_water_<layer>"). So a warm start that reads the
// grids back (grid read parameter 1) continues bit for bit from state written as doubles; the
// sums of the sub-step are kept per layer for the balance.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
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
    SetupSoluteWater();
    gw_tracers.resize(static_cast<std::size_t>(tracer_count) + 1);
    for (int t = 1; t <= tracer_count; ++t) {
      GwTracer& tracer = gw_tracers[t];
      const TracerDefinition& d = definitions[t];
      if (d.radioactive != 0)
        tracer.decay_factor = DecayFactor(time_interval / sub_step_count, d.half_time);
      tracer.layers.resize(static_cast<std::size_t>(layer_count) + 1);
      for (int l = 1; l <= layer_count; ++l) SetupTracerLayer(t, l);
      tracer.flux = NewOwnGrid();
      tracer.flux_index =
          RegisterNext(tracer.layers[1].grid_file_name, tracer.flux.get(),
                       FormatText("concflux_tracer_%d_%s", t, module_name.c_str()), 0, false);
      tracer.left_name = FormatText("%s%.3sout%.4s.%s", d.path.c_str(), d.name.c_str(),
                                    module_name.c_str(), d.gridext.c_str());
      tracer.left = NewOwnGrid();
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c)
          if (Owns(r, c) && ValidReference(r, c)) tracer.left[r][c] = 0.0;
      });
      if (grid_read_parameter == 1) ReadTracerState(t);
      tracer.left_index = RegisterNext(tracer.left_name, tracer.left.get(),
                                       FormatText("concleft_tracer_%d_%s", t, module_name.c_str()),
                                       d.gridcode, false);
    }
    // The soil columns' first sub-step takes back water at the start concentrations.
    TakeSoluteFromGrids();
    SetReturnConcentrations();
    tracer_mass_running = false;
  });
}

// The water that carries the solute starts as the water each layer stores; a warm start reads
// it back where the state has it (a state without it starts from the stored water, with a
// WARNING: the tracers then continue close to the run that wrote it, not bit for bit).
void gwflowclass::SetupSoluteWater() {
  bool read = grid_read_parameter == 1;
  for (int l = 1; read && l <= layer_count; ++l) {
    std::string name = layers[l].solute_water_name;
    PrefixDirectory(input_directory, name);
    if (ExistsOnRoot(name)) continue;
    Diag() << "WARNING: no grid " << name << " of the water that carries the tracers in "
           << module_name << ": every layer's tracers start in the water its heads store"
           << "[end-entry]";
    read = false;
  }
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    layer.solute_water = NewOwnGrid();
    layer.outflow_scale = NewHeldGrid();
    double** water = layer.solute_water.get();
    if (read) {
      const StateGridRead state;
      ReadGrid(layer.solute_water_name, water, 0, false, true, false, 0, false, false, 0.0);
      CheckTracerState(layer.solute_water_name, water, true);
    }
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        layer.outflow_scale[r][c] = 0.0;
        if (!Owns(r, c) || !ValidReference(r, c)) {
          water[r][c] = nodata;
        } else if (!read) {
          water[r][c] = StoredVolume(l, r, c);
        }
      }
    });
    layer.solute_water_index =
        RegisterNext(layer.solute_water_name, water, FormatText("gw_solute_water_%d", l),
                     layer.heads_code, false);
  }
}

// A read state grid holds a number at every basin cell of the own rows (a volume: at least 0);
// nodata or no number there ends the run, naming the grid and the cell.
void gwflowclass::CheckTracerState(const std::string& name, double** grid, bool volume) {
  std::string path = name;
  PrefixDirectory(input_directory, path);
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c) || !ValidReference(r, c)) continue;
      const double v = grid[r][c];
      if (std::isfinite(v) && !IsNodata(v, nodata) && (!volume || v >= 0)) continue;
      ThrowFatal(Diag(), kGridFormatCode, "FATAL: in modul ", module_name, ": the grid ", path,
                 " holds ", v, " at row ", r, ", column ", c, ", a cell of the basin",
                 volume ? " (a volume of water, m3, at least 0)" : "");
    }
}

// A warm start's solute that left through the boundary since the start of the run it
// continues.
void gwflowclass::ReadTracerState(int t) {
  GwTracer& tracer = gw_tracers[t];
  double** left = tracer.left.get();
  const TracerDefinition& d = tracer_definitions[t];
  const std::string older = d.older_gridext.empty()
                                ? std::string()
                                : FormatText("%s%.3sout%.4s.%s", d.path.c_str(), d.name.c_str(),
                                             module_name.c_str(), d.older_gridext.c_str());
  const std::string file = StateFileToRead(tracer.left_name, older);
  const StateGridRead state;
  ReadGrid(file, left, 0, false, true, false, 0, false, false, 0.0);
  CheckTracerState(file, left, false);
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
  double** grid = layer.concentration.get();
  if (grid_read_parameter == 1) {
    const std::string older = d.older_gridext.empty()
                                  ? std::string()
                                  : FormatText("%s%.3s%.1d%.4s.%s", d.path.c_str(), d.name.c_str(),
                                               l, module_name.c_str(), d.older_gridext.c_str());
    const std::string file = StateFileToRead(layer.grid_file_name, older);
    const StateGridRead start(StateGridKind::kStartGrid);
    ReadGrid(file, grid, 0, false, true, false, 0, false, true, 0.0);
    CheckTracerState(file, grid, true);
  } else {
    const double** water = const_cast<const double**>(layers[l].solute_water.get());
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c)) continue;
        if (!ValidReference(r, c)) {
          grid[r][c] = nodata;
          continue;
        }
        grid[r][c] =
            d.evaporating != 0 ? d.gwini : d.gwini * water[r][c] * 1000.0 / (Dx(r, c) * Dy(r, c));
      }
    });
  }
  layer.concentration_index = RegisterNext(
      layer.grid_file_name, layer.concentration.get(),
      FormatText("concstor_tracer_%d_layer_%d_%s", t, l, module_name.c_str()), d.gridcode, true);
  MPIExchangeGridHalo(layer.concentration_index, nullptr);
  layer.mass = NewOwnGrid();
  layer.carried = NewHeldGrid();
}

double gwflowclass::MassOf(int t, int l, long r, long c, double stored) const {
  if (!(stored > nodata)) return 0.0;
  if (tracer_definitions[t].evaporating != 0) return stored * layers[l].solute_water[r][c];
  return stored * Dx(r, c) * Dy(r, c) / 1000.0;
}

double gwflowclass::StoredOf(int t, int l, long r, long c, double mass) const {
  if (tracer_definitions[t].evaporating == 0) return mass * 1000.0 / (Dx(r, c) * Dy(r, c));
  const double water = layers[l].solute_water[r][c];
  return water > 0 ? mass / water : 0.0;
}

// The solute of every layer and own cell from its registered grid.
void gwflowclass::TakeSoluteFromGrids() {
  for (int t = 1; t <= tracer_count; ++t)
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = gw_tracers[t].layers[l];
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c)
          if (Owns(r, c) && ValidReference(r, c))
            layer.mass[r][c] = MassOf(t, l, r, c, layer.concentration[r][c]);
      });
    }
}

// Entries are cleared from the last registered one down, so the registry keeps no holes.
void gwflowclass::ReleaseTracers() {
  for (int t = static_cast<int>(gw_tracers.size()) - 1; t >= 1; --t) {
    GwTracer& tracer = gw_tracers[t];
    if (tracer.left_index > 0) UnregisterGrid(tracer.left_index);
    if (tracer.flux_index > 0) UnregisterGrid(tracer.flux_index);
    for (int l = static_cast<int>(tracer.layers.size()) - 1; l >= 1; --l) {
      GwTracerLayer& layer = tracer.layers[l];
      if (layer.concentration_index > 0) UnregisterGrid(layer.concentration_index);
      if (layer.statistics) layer.statistics->ReleaseMemory();
    }
  }
  for (int l = static_cast<int>(layers.size()) - 1; l >= 1; --l)
    if (layers[l].solute_water_index > 0) {
      UnregisterGrid(layers[l].solute_water_index);
      layers[l].solute_water_index = 0;
    }
  gw_tracers.clear();
  tracer_count = 0;
}

// At the start of the sub-step, before the base flow of this sub-step replaces the soil's: the
// solute from the grids, decay, then the soil columns' exchange of their sub-step (handed over
// as it stands at the sub-step's end: it decayed in the columns, and in the aquifer over the
// rest of the sub-step, before it came).
void gwflowclass::BeginTracerSubStep() {
  if (gw_tracers.size() < 2) return;
  // The grids as set up (or set since) give the first sub-step's solute; later the solute
  // itself runs on, so that a cell left without water keeps what it holds.
  if (!tracer_mass_running) TakeSoluteFromGrids();
  tracer_mass_running = true;
  TakePumpedSolute();
  DecayTracers();
  // The soil zone registers its exchange grids after this model: look them up when there.
  std::vector<double**> soil(static_cast<std::size_t>(tracer_count) + 1, nullptr);
  for (int t = 1; t <= tracer_count; ++t) {
    const int index = registry->FindIdentifier(FormatText("solute_to_groundwater_%d", t));
    soil[static_cast<std::size_t>(t)] = index > 0 ? (*registry)[index].grid : nullptr;
  }
  // The water the columns gave (base flow in mm of their sub-step, < 0 when they took water).
  // Both exchanges are signed amounts, which may lie below -9999 in a sub-step: only the nodata
  // value itself marks a cell without one.
  double** handed = soil[1];
  GwLayer& top = layers[1];
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!TransportCell(r, c) || handed == nullptr || IsNodata(handed[r][c], nodata)) continue;
      if (top.fixed_head[r][c] != nodata || IsNodata(baseflow[r][c], nodata)) continue;
      top.solute_water[r][c] =
          std::max(0.0, top.solute_water[r][c] + baseflow[r][c] * Dx(r, c) * Dy(r, c) / 1000.0);
    }
  });
  for (int t = 1; t <= tracer_count; ++t) {
    GwTracerLayer& layer = gw_tracers[t].layers[1];
    double** given = soil[static_cast<std::size_t>(t)];
    std::vector<double> rows(static_cast<std::size_t>(last_local_row - first_local_row + 1), 0);
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!TransportCell(r, c) || given == nullptr || IsNodata(given[r][c], nodata)) continue;
        const double mass = given[r][c] * Dx(r, c) * Dy(r, c) / 1000.0;
        // A fixed-head cell hands what the column gave on past the boundary.
        if (layers[1].fixed_head[r][c] != nodata) {
          gw_tracers[t].left[r][c] += given[r][c];
          continue;
        }
        // A column that took back all the water the cell held took all its solute: what the
        // difference leaves is round-off, which would stay without water.
        const bool emptied = top.solute_water[r][c] == 0 && baseflow[r][c] < 0;
        layer.mass[r][c] = emptied ? 0.0 : std::max(0.0, layer.mass[r][c] + mass);
        rows[static_cast<std::size_t>(r - first_local_row)] += mass;
      }
    });
    layer.exchanged = SumRows(rows);
  }
}

// The water pumped for irrigation (mm of the sub-step) leaves layer 1 with the solute the
// irrigation gave the cells: the soil zone's "concpump_tracer_<t>_unsatzon_model", set for the
// whole step. Where layer 1 holds a fixed head, its boundary gives the water and the solute.
void gwflowclass::TakePumpedSolute() {
  if (pumped == nullptr) return;
  GwLayer& top = layers[1];
  std::vector<double**> given(static_cast<std::size_t>(tracer_count) + 1, nullptr);
  for (int t = 1; t <= tracer_count; ++t) {
    const int index = registry->FindIdentifier(FormatText("concpump_tracer_%d_unsatzon_model", t));
    given[static_cast<std::size_t>(t)] = index > 0 ? (*registry)[index].grid : nullptr;
  }
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!TransportCell(r, c) || !(pumped[r][c] > 0)) continue;
      const double water = pumped[r][c] * Dx(r, c) * Dy(r, c) / 1000.0;  // m³
      const bool fixed = top.fixed_head[r][c] != nodata;
      for (int t = 1; t <= tracer_count; ++t) {
        double** concentration = given[static_cast<std::size_t>(t)];
        const double c_pumped =
            concentration != nullptr && IsAboveNodata(concentration[r][c], nodata)
                ? concentration[r][c]
                : 0.0;
        if (fixed) {
          gw_tracers[t].left[r][c] -= pumped[r][c] * c_pumped;
          continue;
        }
        double& mass = gw_tracers[t].layers[1].mass[r][c];
        mass = std::max(0.0, mass - water * c_pumped);
      }
      if (!fixed) top.solute_water[r][c] = std::max(0.0, top.solute_water[r][c] - water);
    }
  });
}

// Every cell of the aquifer loses the decayed part of its solute.
void gwflowclass::DecayTracers() {
  for (int t = 1; t < static_cast<int>(gw_tracers.size()); ++t) {
    GwTracer& tracer = gw_tracers[t];
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = tracer.layers[l];
      std::vector<double> start(static_cast<std::size_t>(last_local_row - first_local_row + 1), 0);
      std::vector<double> lost(start.size(), 0);
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        const std::size_t i = static_cast<std::size_t>(r - first_local_row);
        for (long c = 1; c <= ncols; ++c) {
          if (!TransportCell(r, c)) continue;
          start[i] += layer.mass[r][c];
          const double kept = layer.mass[r][c] * tracer.decay_factor;
          lost[i] += layer.mass[r][c] - kept;
          layer.mass[r][c] = kept;
        }
      });
      layer.mass_start = SumRows(start);
      layer.decayed = SumRows(lost);
    }
  }
}

// Share of the outflows each cell of layer l feeds: its faces, its leakage and a negative fixed
// inflow take water; a fixed-head cell feeds all of them (the boundary supplies the water).
void gwflowclass::ScaleOutflows(int l) {
  GwLayer& layer = layers[l];
  const double dt = SubStepSeconds();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!TransportCell(r, c)) {
        layer.outflow_scale[r][c] = 0.0;
        continue;
      }
      if (layer.fixed_head[r][c] != nodata) {
        layer.outflow_scale[r][c] = 1.0;
        continue;
      }
      double q[6];
      FaceVolumes(l, r, c, q);
      double outflow = 0;
      for (const double v : q) outflow += std::max(0.0, -v);
      const double fixed = layer.fixed_inflow[r][c];
      if (fixed > nodata && fixed < 0) outflow -= fixed * dt * Dx(r, c) * Dy(r, c);
      layer.outflow_scale[r][c] = OutflowScale(layer.solute_water[r][c], outflow);
    }
  });
  MPIExchangeGridHalo(0, layer.outflow_scale.get());
}

void gwflowclass::TransportTracers() {
  if (gw_tracers.size() < 2) return;
  for (int l = 1; l <= layer_count; ++l) ScaleOutflows(l);
  // What a unit of each cell's outflow carries, for its neighbours.
  for (int t = 1; t <= tracer_count; ++t)
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = gw_tracers[t].layers[l];
      const GwLayer& water = layers[l];
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c) {
          const double v = water.solute_water[r][c];
          layer.carried[r][c] = TransportCell(r, c) && v > 0
                                    ? water.outflow_scale[r][c] * (layer.mass[r][c] / v)
                                    : 0.0;
        }
      });
      MPIExchangeGridHalo(0, layer.carried.get());
    }
  // Every layer moves from the scales and carried concentrations of the start; a layer's water
  // follows its last tracer's move.
  for (int l = 1; l <= layer_count; ++l)
    for (int t = 1; t <= tracer_count; ++t) TransportLayer(t, l);
  StoreTracers();
}

void gwflowclass::TransportLayer(int t, int l) {
  GwTracer& tracer = gw_tracers[t];
  GwTracerLayer& layer = tracer.layers[l];
  GwLayer& water = layers[l];
  const double dt = SubStepSeconds();
  const std::size_t row_count = static_cast<std::size_t>(last_local_row - first_local_row + 1);
  std::vector<double> end(row_count, 0), left(row_count, 0);
  // Only the last tracer writes the water back, so every tracer moves from the same water.
  const bool last = t == tracer_count;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    const std::size_t i = static_cast<std::size_t>(r - first_local_row);
    for (long c = 1; c <= ncols; ++c) {
      if (!TransportCell(r, c)) continue;
      double q[6];
      FaceVolumes(l, r, c, q);
      // Upwind scale and carried concentration per face (beyond the grid no water moves).
      double scale[6] = {0, 0, 0, 0, 0, 0}, carried[6] = {0, 0, 0, 0, 0, 0};
      const auto take = [&](int k, const GwLayer& from, const GwTracerLayer& of, long rn, long cn) {
        scale[k] = from.outflow_scale[rn][cn];
        carried[k] = of.carried[rn][cn];
      };
      if (r > 1) take(0, water, layer, r - 1, c);
      if (c < ncols) take(1, water, layer, r, c + 1);
      if (r < nrows) take(2, water, layer, r + 1, c);
      if (c > 1) take(3, water, layer, r, c - 1);
      if (l > 1) take(4, layers[l - 1], tracer.layers[l - 1], r, c);
      if (l < layer_count) take(5, layers[l + 1], tracer.layers[l + 1], r, c);
      double& mass = layer.mass[r][c];
      const double own_scale = water.outflow_scale[r][c];
      if (water.fixed_head[r][c] != nodata) {
        // The boundary: in minus out has left the aquifer; the cell keeps its concentration.
        double net = 0;
        for (int k = 0; k < 6; ++k)
          net += q[k] > 0 ? q[k] * carried[k] : q[k] * layer.carried[r][c];
        left[i] += net;
        tracer.left[r][c] += net * 1000.0 / (Dx(r, c) * Dy(r, c));
        end[i] += mass;
        continue;
      }
      // A fixed inflow brings water from outside, without solute; a fixed outflow takes its
      // share of the cell's water and solute as its faces do (ScaleOutflows counts it), which
      // leaves through the boundary.
      const double fixed = water.fixed_inflow[r][c];
      const double volume = fixed > nodata && fixed != 0 ? fixed * dt * Dx(r, c) * Dy(r, c) : 0.0;
      double taken = 0;
      SoluteCell after = MoveSolute(SoluteCell{water.solute_water[r][c], mass, own_scale}, q, scale,
                                    carried, std::max(0.0, -volume), &taken);
      if (volume > 0) after.water += volume;
      left[i] += taken;
      tracer.left[r][c] += taken * 1000.0 / (Dx(r, c) * Dy(r, c));
      mass = after.mass;
      end[i] += after.mass;
      if (last) water.solute_water[r][c] = after.water;
      const double code = zone_grid[r][c];
      const int32_t zone = code >= 0 && code < static_cast<double>(tracer_zone_index.size())
                               ? tracer_zone_index[static_cast<std::size_t>(code)]
                               : 0;
      layer.statistics->AddValue(r, c, zone, after.water > 0 ? after.mass / after.water : 0.0, 1.0);
    }
  });
  layer.mass_end = SumRows(end);
  layer.left = SumRows(left);
}

// The grids from the solute: the layers' stored amounts or concentrations; the solute then
// continues as the grids hold it, so that a warm start from them continues the same. An
// evaporating tracer's solute in a cell without water is round-off and goes.
void gwflowclass::StoreTracers() {
  for (int t = 1; t <= tracer_count; ++t) {
    GwTracer& tracer = gw_tracers[t];
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = tracer.layers[l];
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c) {
          if (!Owns(r, c)) continue;
          if (!ValidReference(r, c)) {
            layer.concentration[r][c] = nodata;
            continue;
          }
          layer.concentration[r][c] = StoredOf(t, l, r, c, layer.mass[r][c]);
          layer.mass[r][c] = MassOf(t, l, r, c, layer.concentration[r][c]);
        }
      });
    }
  }
  SetReturnConcentrations();
}

// The concentration of the water layer 1 hands back to the soil in the next sub-step: at most
// the solute it holds over the water it hands back.
void gwflowclass::SetReturnConcentrations() {
  const double dt = SubStepSeconds();
  for (int t = 1; t <= tracer_count; ++t) {
    GwTracer& tracer = gw_tracers[t];
    const GwTracerLayer& layer = tracer.layers[1];
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c)) continue;
        if (!ValidReference(r, c)) {
          tracer.flux[r][c] = nodata;
          continue;
        }
        const double back = baseflow != nullptr && baseflow[r][c] < 0
                                ? -baseflow[r][c] * dt * Dx(r, c) * Dy(r, c)
                                : 0.0;
        const double held = std::max(layers[1].solute_water[r][c], back);
        tracer.flux[r][c] = held > 0 ? layer.mass[r][c] / held : 0.0;
      }
    });
  }
}

void gwflowclass::FinishTracerStep() {
  for (int t = 1; t < static_cast<int>(gw_tracers.size()); ++t) {
    for (int l = 1; l <= layer_count; ++l) {
      GwTracerLayer& layer = gw_tracers[t].layers[l];
      WriteGridOutput(layer.concentration_index, 1, false);
      layer.statistics->CollectStep(step_date.year, step_date.month, step_date.day, step_date.hour,
                                    1);
    }
    WriteGridOutput(gw_tracers[t].left_index, 1, false);
  }
  if (gw_tracers.size() < 2) return;
  for (int l = 1; l <= layer_count; ++l) WriteGridOutput(layers[l].solute_water_index, 1, false);
}

}  // namespace velorn

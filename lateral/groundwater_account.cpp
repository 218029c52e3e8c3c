// gwflowclass in the water-balance account: per own cell and sub-step, the water each layer
// gained, split into what came through its faces, what leaked between the layers, what a fixed
// head or a fixed inflow gave, and what the head solution stored beyond its face flows.
//
// Layer 1 is the soil column's saturated zone: its change is the base flow, which the soil
// column gives (or takes) in the next sub-step, so the account counts it in the soil's water.
// What a column could not give of it rides on the next base flow beside layer 1's change; it
// stays in the store (which holds the base flow not yet given) and enters no term of the step.
// The deeper layers are a store of their own ("groundwater_storage", running from 0 at the
// start of a run; a warm start reads it back from the state, as the account weighs it with the
// cell's glacier-free share, whose change a glacier evaluation books). Leakage between the layers
// of a cell cancels; the face flows cancel between cells; a fixed-head cell keeps its head, so
// every face and leakage flow into it is water its boundary takes (and the opposite). Water pumped
// for irrigation leaves layer 1 before the solution; the base flow carries it, so the soil column
// gives it, and the account books it as leaving the aquifer (the irrigation brings it back with the
// precipitation); where layer 1 holds a fixed head, that boundary gives the pumped water. Losing
// streams give water to the soil columns, which the soil zone computes per sub-step; it is summed
// here, where every sub-step passes. Changes are counted with the storage coefficient the head
// solution used, so that storage change = faces + leakage + inflow + the solution's own imbalance
// holds per cell to round-off.
#include <algorithm>
#include <cmath>

#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "lateral/groundwater_model.h"

namespace velorn {

void gwflowclass::MakeAccountGrids() {
  const struct {
    GridMatrix* grid;
    const char* identifier;
  } grids[] = {{&account_storage, "groundwater_storage"},
               {&account_boundary, "groundwater_boundary"},
               {&account_lateral, "groundwater_lateral"},
               {&account_iteration, "groundwater_iteration"},
               {&account_river, "groundwater_river_infiltration"},
               {&account_pumping, "groundwater_pumping"}};
  // The own rows start at 0 (the allocation zeroes them).
  for (const auto& g : grids) {
    *g.grid = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
    if (g.grid != &account_storage)
      RegisterNext(g.identifier, g.grid->get(), g.identifier, 0, false);
  }
  // The store continues over a warm start: a state without it starts it at 0, with a WARNING
  // (a later glacier evaluation then books another change of it than the run it continues).
  if (grid_read_parameter == 1) {
    std::string path = account_storage_name;
    PrefixDirectory(input_directory, path);
    if (ExistsOnRoot(path)) {
      double** stored = account_storage.get();
      const StateGridRead state;
      ReadGrid(account_storage_name, stored, 0, false, true, false, 0, false, false, 0.0);
      CheckTracerState(account_storage_name, stored, false);
    } else {
      Diag() << "WARNING: no grid " << path << " of the water the layers below layer 1 gained in "
             << module_name << ": the water balance counts it from 0 at this start"
             << "[end-entry]";
    }
  }
  account_storage_index = RegisterNext(account_storage_name, account_storage.get(),
                                       "groundwater_storage", layers[1].heads_code, false);
  pumped_water = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
}

void gwflowclass::ResetAccountStep() {
  for (GridMatrix* grid :
       {&account_boundary, &account_lateral, &account_iteration, &account_river, &account_pumping})
    for (int64_t r = first_local_row; r <= last_local_row; ++r)
      std::fill((*grid)[r], (*grid)[r] + ncols + 1, 0.0);
}

void gwflowclass::AccountSubStep() {
  const double dt = SubStepSeconds();
  // The soil zone's losing streams (mm of its sub-step), registered after this model.
  const int river_index = registry->FindIdentifier("river_infiltration");
  double** river = river_index > 0 ? (*registry)[river_index].grid : nullptr;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c) || !ValidReference(r, c) || GlacierShare(r, c) >= 1) continue;
      const double to_mm = 1000.0 / (Dx(r, c) * Dy(r, c));
      double lateral = 0, boundary = 0, iteration = 0, deeper = 0;
      for (int l = 1; l <= layer_count; ++l) {
        const GwLayer& layer = layers[l];
        double q[6];
        FaceVolumes(l, r, c, q);
        const double faces = (q[0] + q[1] + q[2] + q[3]) * to_mm;
        const double leaked = (q[4] + q[5]) * to_mm;
        lateral += faces;
        if (layer.fixed_head[r][c] != nodata) {
          boundary -= faces + leaked;
          continue;
        }
        const double inflow =
            layer.fixed_inflow[r][c] > nodata ? layer.fixed_inflow[r][c] * dt * 1000.0 : 0.0;
        boundary += inflow;
        // The storage coefficient of the sweep: an unconfined cell of method 1 takes layer 1's.
        const bool unconfined = method == 1 && layer.head_old[r][c] < layer.upper_limit[r][c];
        const double s = unconfined ? layers[1].storage[r][c] : layer.storage[r][c];
        // Layer 1's base flow carries the water pumped from it, which the faces do not, and
        // what the column still owes of its release before (the store keeps that debt).
        const double gained =
            l == 1 ? -baseflow[r][c] * dt * 1000.0 + pumped_water[r][c] + Unpaid(r, c)
                   : (layer.head[r][c] - layer.head_old[r][c]) * s * 1000.0;
        iteration += gained - faces - leaked - inflow;
        if (l > 1) deeper += gained;
      }
      // Water pumped where layer 1 holds a fixed head comes from that boundary.
      const double from_boundary =
          layers[1].fixed_head[r][c] != nodata && pumped != nullptr && pumped[r][c] > 0
              ? pumped[r][c]
              : 0.0;
      boundary += from_boundary;
      account_storage[r][c] += deeper;
      account_boundary[r][c] += boundary;
      account_lateral[r][c] += lateral;
      account_iteration[r][c] += iteration;
      account_pumping[r][c] -= pumped_water[r][c] + from_boundary;
      if (river != nullptr && river[r][c] > nodata) account_river[r][c] += river[r][c];
    }
  });
}

}  // namespace velorn

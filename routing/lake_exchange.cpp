// The lake exchange between the processes that own the lake cells and the lakes on process 0
// (see routing_model.h): the step grids of the lake cells gathered into process 0's whole
// copies, the ponding scattered back, and the tracer concentrations. The lake water's concentration
// of tracer t lives on each cell in the top level of the unsaturated zone's stack
// "concstor_tracer_<t>_unsatzon_model"; before the routing step the lake cells' values are gathered
// into a whole grid per tracer, which process 0's lakes read and write; after it the lakes' values
// go back to the owning processes. Without the stacks (no tracers in the soil) the lakes keep their
// own concentrations.
#include <span>

#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/string_helpers.h"
#include "grids/mpi_exchange.h"
#include "routing/routing_model.h"

namespace velorn {

void abflussmodellklasse::SetupLakeTracers() {
  lake_tracer_stacks_.clear();
  lake_tracers_.clear();
  std::vector<int> stacks(static_cast<std::size_t>(tracer_count) + 1, 0);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    // By identifier over every named entry: the plain look-up stops at an entry without a grid.
    stacks[t] = registry->FindIdentifier(FormatText("concstor_tracer_%d_%s", t, "unsatzon_model"));
    if (stacks[t] <= 0 || (*registry)[stacks[t]].stack == nullptr) return;
  }
  if (tracer_count < 1) return;
  lake_tracer_stacks_ = std::move(stacks);
  dry_surface_solute_.assign(static_cast<std::size_t>(tracer_count) + 1, {});
  lake_tracers_.resize(static_cast<std::size_t>(tracer_count) + 1);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    lake_tracers_[t].reset(AllocateMatrix(Diag(), 1, nrows, 1, ncols, nrows));
    for (int32_t r = 1; r <= nrows; ++r)
      for (int32_t c = 1; c <= ncols; ++c) lake_tracers_[t].get()[r][c] = 0.0;
  }
}

double** abflussmodellklasse::LakeMask() const {
  return lake_mask_ ? lake_mask_.get() : (*registry)[lake_codes_index_].grid;
}

void abflussmodellklasse::GatherLakeGrid(const LakeStepGrid& grid) {
  if (lake_cells_.empty()) return;
  velorn::MPIGatherZoneValues(Diag(), mpi, (*registry)[grid.index].grid, LakeMask(), lake_cells_,
                              grid.whole ? grid.whole.get() : nullptr);
}

void abflussmodellklasse::ScatterLakePonding() {
  if (lake_step_grids_.empty()) return;
  const LakeStepGrid& grid = lake_step_grids_[0];
  double** registered = (*registry)[grid.index].grid;
  velorn::MPIScatterZoneValues(Diag(), mpi, grid.whole ? grid.whole.get() : registered, LakeMask(),
                               lake_cells_);
  if (!grid.whole) return;
  for (const auto& [r, c] : own_lake_cells_) registered[r][c] = grid.whole.get()[r][c];
}

void abflussmodellklasse::ExchangeLakeTracers(bool gather) {
  if (lake_tracer_stacks_.empty() || lake_cells_.empty()) return;
  // The soil keeps the solute of a tracer that does not evaporate at the surface as a mass
  // (concentration x ponding in mm); the lakes work with concentrations. The ponding stands as
  // the soil left it when gathering and as the lakes wrote it when scattering.
  double** pond = lake_step_grids_.empty() ? nullptr : (*registry)[lake_step_grids_[0].index].grid;
  const auto water = [&](int32_t r, int32_t c) {
    return pond != nullptr && pond[r][c] > 0.0 ? pond[r][c] : 0.0;
  };
  for (int32_t t = 1; t <= tracer_count; ++t) {
    double*** stack = (*registry)[lake_tracer_stacks_[t]].stack;
    double** top = lake_tracers_[t].get();
    const bool mass = tracer_definitions != nullptr && tracer_definitions[t].evaporating == 0;
    // A dry cell's solute (left where its water went) is none of the lake's: it stays on the
    // cell, beside what the lake writes there (until the next gathering, whichever scatter).
    std::vector<double>& dry = dry_surface_solute_[t];
    dry.resize(own_lake_cells_.size(), 0.0);
    if (gather) {
      for (std::size_t i = 0; i < own_lake_cells_.size(); ++i) {
        const auto [r, c] = own_lake_cells_[i];
        const double p = water(r, c);
        dry[i] = mass && !(p > 0.0) ? stack[r][c][0] : 0.0;
        top[r][c] = !mass ? stack[r][c][0] : p > 0.0 ? stack[r][c][0] / p : 0.0;
      }
      velorn::MPIGatherZoneValues(Diag(), mpi, top, LakeMask(), lake_cells_, nullptr);
    } else {
      velorn::MPIScatterZoneValues(Diag(), mpi, top, LakeMask(), lake_cells_);
      for (std::size_t i = 0; i < own_lake_cells_.size(); ++i) {
        const auto [r, c] = own_lake_cells_[i];
        stack[r][c][0] = mass ? top[r][c] * water(r, c) + dry[i] : top[r][c];
      }
    }
  }
}

}  // namespace velorn

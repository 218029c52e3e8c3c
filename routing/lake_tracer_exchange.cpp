// Tracer concentrations of the lake cells between the processes that own the cells and the
// lakes on process 0 (see routing_model.h). The lake water's concentration of tracer t lives on
// each cell in the top level of the unsaturated zone's stack "concstor_tracer_<t>_unsatzon_model";
// before the routing step the lake cells' values are gathered into a whole grid per tracer, which
// process 0's lakes read and write; after it the lakes' values go back to the owning processes.
// Without the stacks (no tracers in the soil) the lakes keep their own concentrations.
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
    stacks[t] = registry->Find(FormatText("concstor_tracer_%d_%s", t, "unsatzon_model"), 0);
    if (stacks[t] <= 0 || (*registry)[stacks[t]].stack == nullptr) return;
  }
  if (tracer_count < 1) return;
  lake_tracer_stacks_ = std::move(stacks);
  lake_tracers_.resize(static_cast<std::size_t>(tracer_count) + 1);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    lake_tracers_[t].reset(AllocateMatrix(Diag(), 1, nrows, 1, ncols, nrows));
    for (int32_t r = 1; r <= nrows; ++r)
      for (int32_t c = 1; c <= ncols; ++c) lake_tracers_[t].get()[r][c] = 0.0;
  }
}

void abflussmodellklasse::ExchangeLakeTracers(bool gather) {
  if (lake_tracer_stacks_.empty() || lake_cells_.empty()) return;
  double** lakes = (*registry)[lake_codes_index_].grid;
  const int owners = registry->Find("MPIRegions", 0);
  double** regions = owners > 0 ? (*registry)[owners].grid : nullptr;
  const std::span<const int64_t> counts(lake_cells_);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    double*** stack = (*registry)[lake_tracer_stacks_[t]].stack;
    double** top = lake_tracers_[t].get();
    // The lake cells this process owns, the cells whose stack it holds.
    auto own_cells = [&](auto&& copy) {
      for (int64_t r = first_local_row; r <= last_local_row; ++r)
        for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
          if (zone_grid[r][c] > nodata && lakes[r][c] > nodata &&
              (regions == nullptr || static_cast<int32_t>(regions[r][c]) == rank))
            copy(stack[r][c][0], top[r][c]);
    };
    if (gather) {
      own_cells([](double from, double& to) { to = from; });
      velorn::MPIGatherZoneValues(Diag(), mpi, top, lakes, counts, nullptr);
    } else {
      velorn::MPIScatterZoneValues(Diag(), mpi, top, lakes, counts);
      own_cells([](double& to, double from) { to = from; });
    }
  }
}

}  // namespace velorn

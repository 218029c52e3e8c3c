// Tracer bookkeeping of the sub-model base: set-up and release of the per-tracer grids, balance
// tables and statistics, and the mass and concentration formulas.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <utility>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/submodel.h"
#include "core/tracer_bookkeeping.h"

namespace velorn {

double TracerMass(double concentration, double volume) {
  return concentration * volume;
}

double MixConcentration(double c1, double c2, double q1, double q2) {
  const double volume = q1 + q2;
  return volume == 0 ? 0.0 : (q1 * c1 + q2 * c2) / volume;
}

double EnrichConcentration(double concentration, double volume, double loss) {
  return volume == loss ? 0.0 : volume * concentration / (volume - loss);
}

double DecayFactor(double interval_minutes, double half_time_days) {
  return std::exp(-(interval_minutes / 60.0 / 24.0) / (kInverseLn2 * half_time_days));
}

std::string TracerFileName(const std::string& path, const std::string& tracer_name,
                           const std::string& module_name, const std::string& extension) {
  return FormatText("%s%.3s%.5s.%.3s", path.c_str(), tracer_name.c_str(), module_name.c_str(),
                    extension.c_str());
}

namespace {

// Sets up the block of tracer `tracer` of one sub-model, in the order of the steps below.
class TracerSetup {
 public:
  TracerSetup(teilmodellklasse& model, int32_t tracer, const TracerDefinition& definition,
              ZoneStatisticsRecord* statistics_registry, int32_t capacity)
      : model_(model),
        diag_(*model.diag),
        tracer_(tracer),
        definition_(definition),
        block_(model.tracer_blocks[tracer]),
        statistics_registry_(statistics_registry),
        capacity_(capacity) {}

  void Run() {
    if (definition_.radioactive != 0) {
      block_.decay_factor = DecayFactor(model_.time_interval, definition_.half_time);
    }
    BuildBalanceTable();
    CreateStatistics();
    RegisterConcentrationGrid();
    RegisterFluxGrid();
  }

 private:
  // Per zone: 0, 0, the zone code and area share of the zone table, 0.
  void BuildBalanceTable() {
    try {
      block_.balance_table.assign(static_cast<std::size_t>(model_.zone_count) + 1, ZoneRecord{});
    } catch (const std::bad_alloc&) {
      ThrowFatal(diag_, 1, "FATAL: no memory for the balance table of tracer ", tracer_, " in ",
                 model_.module_name);
    }
    if (model_.zone_table == nullptr) return;
    for (int32_t z = 0; z <= model_.zone_count; ++z) {
      block_.balance_table[z][2] = model_.zone_table[z][2];
      block_.balance_table[z][3] = model_.zone_table[z][3];
    }
  }

  void CreateStatistics() {
    block_.statistics_file_name =
        TracerFileName(definition_.path, definition_.name, model_.module_name, definition_.statext);
    int error = 0;
    block_.statistics = std::make_unique<zonalstatistic>(
        error, &diag_, model_.relative_cell_area, model_.nrows, model_.ncols,
        block_.balance_table.data(), model_.zone_count, definition_.statcode,
        kSignificantDigitsPrecision, block_.statistics_file_name, model_.output_directory,
        model_.output_list_count, model_.output_list_codes);
    if (error != 0) throw ErrorCode{error};
    block_.statistics->WriteHeader(
        model_.module_name,
        FormatText("tracer concentration for tracer %d (%s) ", tracer_, definition_.name.c_str()),
        statistics_registry_, capacity_);
  }

  // The first entry without an identifier; a full registry is FATAL (12).
  int FreeEntry() {
    const int index = model_.registry->FirstFreeIndex();
    if (index >= kRefusedGridIndex) {
      ThrowFatal(diag_, kRegistryFullCode,
                 "FATAL: no free grid left. Please contact the author to set the number of "
                 "available grids to a larger value ",
                 kRefusedGridIndex);
    }
    return index;
  }

  // Read from the grid file (with the halo rows, which models that route water between cells
  // exchange), or 0 on zone cells and nodata where the zone grid has none.
  void RegisterConcentrationGrid() {
    const int index = FreeEntry();
    block_.grid_file_name =
        TracerFileName(definition_.path, definition_.name, model_.module_name, definition_.gridext);
    if (model_.grid_read_parameter == 1) {
      double** grid = nullptr;
      const std::string older = definition_.older_gridext.empty()
                                    ? std::string()
                                    : TracerFileName(definition_.path, definition_.name,
                                                     model_.module_name, definition_.older_gridext);
      const StateGridRead start(StateGridKind::kStartGrid);
      model_.ReadGrid(model_.StateFileToRead(block_.grid_file_name, older), grid, 0, true, false,
                      false, 0, false, true, 0.0);
      block_.concentration.reset(grid);
    } else {
      block_.concentration.reset(
          AllocateMatrix(diag_, 1, model_.nrows, 1, model_.ncols, model_.nrows));
      double** grid = block_.concentration.get();
      double** zones = model_.zone_grid;
      const double nodata = model_.nodata;
      const int32_t ncols = model_.ncols;
      ForEachRow(model_.first_local_row, model_.last_local_row, [&](long r) {
        const double* zone_row = zones != nullptr ? zones[r] : nullptr;
        for (int32_t c = 1; c <= ncols; ++c) {
          grid[r][c] = zone_row != nullptr && IsNodata(zone_row[c], nodata) ? nodata : 0.0;
        }
      });
    }
    model_.RegisterGrid(index, block_.grid_file_name, block_.concentration.get(), nullptr, 0,
                        FormatText("concstor_tracer_%d_%s", tracer_, model_.module_name.c_str()),
                        definition_.gridcode, 1, model_.nrows);
    block_.concentration_index = index;
  }

  // Registered, never written, in the next free entry (not blindly the one after the
  // concentration grid, which may be taken).
  void RegisterFluxGrid() {
    block_.flux.reset(AllocateMatrix(diag_, 1, model_.nrows, 1, model_.ncols, model_.nrows));
    const int index = FreeEntry();
    model_.RegisterGrid(index, block_.grid_file_name, block_.flux.get(), nullptr, 0,
                        FormatText("concflux_tracer_%d_%s", tracer_, model_.module_name.c_str()), 0,
                        1, model_.nrows);
    block_.flux_index = index;
  }

  teilmodellklasse& model_;
  DiagnosticStream& diag_;
  int32_t tracer_;
  const TracerDefinition& definition_;
  TracerBlock& block_;
  ZoneStatisticsRecord* statistics_registry_;
  int32_t capacity_;
};

}  // namespace

void teilmodellklasse::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) {
  error = CaptureErrorCode([&] {
    tracer_count = std::max(count, 0);
    if (tracer_count < 1) return;
    if (registry == nullptr || definitions == nullptr) {
      ThrowFatal(Diag(), kForeignConstructionCode, "FATAL: tracer set-up of ", module_name,
                 " without grid registry or tracer definitions");
    }
    tracer_definitions = definitions;
    tracer_blocks = std::make_unique<TracerBlock[]>(static_cast<std::size_t>(tracer_count) + 1);
    for (int32_t i = 1; i <= tracer_count; ++i) {
      TracerSetup(*this, i, definitions[i], statistics_registry, capacity).Run();
    }
  });
}

void teilmodellklasse::SetupTracersThen(int32_t& error, int32_t count,
                                        TracerDefinition* definitions,
                                        ZoneStatisticsRecord* statistics_registry, int32_t capacity,
                                        const std::function<void()>& own) {
  error = 0;
  if (GetFlowControl() == 0) return;
  teilmodellklasse::SetupTracers(error, count, definitions, statistics_registry, capacity);
  if (error != 0) return;
  error = CaptureErrorCode(own);
}

double teilmodellklasse::TracerMass(double concentration, double volume) {
  return velorn::TracerMass(concentration, volume);
}

double teilmodellklasse::MixConcentration(double c1, double c2, double q1, double q2) {
  return velorn::MixConcentration(c1, c2, q1, q2);
}

double teilmodellklasse::EnrichConcentration(double concentration, double volume, double loss) {
  return velorn::EnrichConcentration(concentration, volume, loss);
}

// Entries are released from the last registered one down, so that a registry whose last
// entries are tracer grids keeps no holes (every search stops at the first free entry). An
// entry is cleared only while it still holds this block's grid.
void teilmodellklasse::ReleaseTracers() {
  if (!tracer_blocks) {
    tracer_count = 0;
    return;
  }
  for (int32_t i = tracer_count; i >= 1; --i) {
    TracerBlock& block = tracer_blocks[i];
    for (auto [index, grid] : {std::pair{block.flux_index, &block.flux},
                               std::pair{block.concentration_index, &block.concentration}}) {
      if (index > 0 && registry != nullptr && (*registry)[index].grid == grid->get()) {
        UnregisterGrid(index);
      }
      grid->reset();
    }
    block.flux_index = block.concentration_index = 0;
    if (block.statistics) block.statistics->ReleaseMemory();
    block.statistics.reset();
    block.statistics_file_name.clear();
    block.grid_file_name.clear();
    block.balance_table = {};
  }
  tracer_blocks.reset();
  tracer_count = 0;
}

}  // namespace velorn

// The snow model's hand-over operations, its tracer set-up and release, and the release of
// everything the constructor made (never what it only linked).
#include <algorithm>

#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "snow/snow_model.h"

namespace velorn {

int32_t schneemodellklasse::GetMethod() {
  return GetFlowControl() > 0 ? method : 0;
}

void schneemodellklasse::SetDumpOptions(int32_t dump_mode, int32_t close_after_dump,
                                        int32_t repair_after_dump, uint64_t max_dump_files) {
  dumpMode = dump_mode != 0;
  closeAfterDump = close_after_dump != 0;
  repairAfterDump = repair_after_dump != 0;
  maxDumpFiles = max_dump_files;
}

void schneemodellklasse::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                                      ZoneStatisticsRecord* statistics_registry, int32_t capacity) {
  SetupTracersThen(error, count, definitions, statistics_registry, capacity, [&] {
    tracer_input_index_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
    glacier_tracer_input_index_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
    // Irrigation water reaches the snow cover before the plain input of a tracer; under the
    // leaves the cover takes their throughfall and its concentration (the interception model
    // is set up first then).
    for (int32_t t = 1; t <= tracer_count; ++t) {
      const std::string leaves = FormatText("concflux_tracer_%1d_%s", t, "interception_model");
      const int throughfall = interceptionBeforeSnow ? registry->FindIdentifier(leaves) : 0;
      // The glacier part of a dynamic glacier takes the precipitation past the leaves.
      const bool past_leaves = throughfall > 0 && glacier_input != water_input;
      const int input =
          throughfall > 0 && !past_leaves
              ? throughfall
              : RequireOneOfThreeGrids(FormatText("concflux_tracer_%1d_%s", t, "irrigation"),
                                       FormatText("concflux_tracer_%1d_%s", t, "input"),
                                       "!!_no_entry_!!");
      tracer_input_index_[t] = throughfall > 0 ? throughfall : input;
      glacier_tracer_input_index_[t] = input;
    }
    SetupGlacierTracers();
  });
}

void schneemodellklasse::ReleaseTracers() {
  if (GetFlowControl() == 0) return;
  ReleaseGlacierTracers();
  teilmodellklasse::ReleaseTracers();
  tracer_input_index_.clear();
}

std::vector<schneemodellklasse::Table*> schneemodellklasse::AllTables() {
  std::vector<Table*> tables;
  for (std::vector<Table>* group :
       {&snow_tables_, &glacier_tables_, &glacier_storage_tables_, &glacier_part_tables_})
    for (Table& table : *group) tables.push_back(&table);
  tables.push_back(&thaw_depth_table_);
  tables.push_back(&glacier_storage_water_table_);
  return tables;
}

// The storage section of the glacier storages is appended first while the initialised mark is
// set; construction that failed leaves the mark cleared.
void schneemodellklasse::ReleaseMemory() {
  if (GetFlowControl() != 0) {
    if (initialised != 0) WriteStorageState(true);
    for (Table* table : AllTables()) {
      if (table->table) table->table->ReleaseMemory();
      table->table.reset();
      table->records.clear();
    }
    snow_tables_.clear();
    glacier_tables_.clear();
    // Registered last, released first, so that the registry keeps no holes; linked grids
    // belong to the models that registered them.
    for (auto grid = own_grids.rbegin(); grid != own_grids.rend(); ++grid)
      if (!grid->linked && grid->index > 0) UnregisterGrid(grid->index);
    own_grids.clear();
    firn_stack_data_ = StackMatrix();
    firn_WE_stack = nullptr;
    for (std::vector<double>* array :
         {&Qice_els, &Qfirn_els, &Qsnow_els, &ice_melt_input, &firn_melt_input, &snow_melt_input})
      array->clear();
    glacier_shares.clear();
    glacier_runoff_concentration_.clear();
    soil_zone_table.clear();
    soil_zone_index.clear();
  }
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn

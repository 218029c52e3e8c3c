// Unsaturated zone: the order of construction, the accessors, the option tag, the helpers that
// make grids, stacks and tables, and the release.
#include "unsatzone/unsatzone_model.h"

#include <algorithm>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "grids/mpi_layout.h"
#include "setup/irrigation_tables.h"
#include "tables/landuse_multilayer.h"
#include "tables/soil_record.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/soil_halo.h"
#include "version.h"

namespace velorn {

unsatzonmodellklasse::unsatzonmodellklasse(int32_t& error, const SubModelSetup& setup,
                                           const IrrigationTable* irrigation)
    : teilmodellklasse(setup, "unsatzon_model"), irrigation_table(irrigation) {
  error = 0;
  substepCount = sub_step_count;
  if (GetFlowControl() == 0) return;
  irrigation_configured = irrigation != nullptr && irrigation->count > 0;
  try {
    Construct();
  } catch (...) {
    // The object never exists: no registry entry may point at its grids.
    UnregisterAll();
    throw;
  }
}

void unsatzonmodellklasse::UnregisterAll() {
  for (int index : grid_index)
    if (index > 0) UnregisterGrid(index);
  for (int index : stack_index)
    if (index > 0) UnregisterGrid(index);
  grid_index.fill(0);
  stack_index.fill(0);
  UnregisterLayeredSnow();
  ReleasePreSpinUpGrids();
}

void unsatzonmodellklasse::Construct() {
  const std::string stamp = VELORN_BUILD_TIME;
  const std::size_t blank = stamp.find(' ');
  Diag() << "file unsatzon, compiled at " << stamp.substr(0, blank) << ", "
         << (blank == std::string::npos ? std::string() : stamp.substr(blank + 1)) << "[end-entry]";
  LinkRegionGrids();
  const HeldRows held = HeldRowsOf(first_local_row, last_local_row, nrows);
  grid_first_row = held.first;
  grid_last_row = held.last;
  if (multilayer_landuse_table != nullptr && multilayer_landuse_table[0].code > 0)
    landuse_layers = std::max(1, multilayer_landuse_table[1].LayerCount);
  RankSoilModelZones(soil_zone_grid, soil_zones, soil_zone_index, soil_zone_count,
                     soil_zone_highest);
  ReadModelSection();
  control_file->Close();
  ReopenControlFile();
  ReadHeatTransferSection();
  control_file->Close();
  ReopenControlFile();
  if (ReadLayeredSnowModel() > 0) {
    control_file->Close();
    ReopenControlFile();
    ReadLayeredSnowProperties();
  }
  control_file->Close();
  ReopenControlFile();
  ReadTuningSection();
  control_file->Close();
  if (heatTransferSwitch <= 0 && Optional("PermafrostThawDepth") != nullptr &&
      Optional("SnowFreeDaysGrid") != nullptr && Optional("ThawCoeffPermaFrost") != nullptr) {
    links.permafrost_thaw_depth = Required("PermafrostThawDepth");
    ReopenControlFile();
    ReadPermafrost();
    control_file->Close();
  }
  LinkForeignGrids();
  CreateStatisticsTables();
  DetermineLayerCount();
  CreateGridsAndStacks();
  SetInitialState();
  if (heatTransferSwitch > 0) CreateHeatGrids();
  if (layeredSnowSwitch > 0) CreateLayeredSnowGrids();
  if (irrigation_configured) CreateIrrigationGrids();
  CreateSinglePointFiles();
  ComposeOptionTag();
  if (heatTransferSwitch > 0) CompleteSoilTable();
  soil_constants = ComputeSoilLayerConstants(soil_table, soil_table[0].code, layerCount,
                                             heatTransferSwitch > 0, dTModLamWat);
  if (heatTransferSwitch > 0) PrepareHeatTables();
  SetupLake("[lake_model]");
  FormGlacierShares();
  WriteStartUpLog();
  if (response_unit_switch != 0) {
    if (links.response_units == nullptr) links.response_units = Required("HydrologicResponseUnits");
    if (links.master_response_units == nullptr)
      links.master_response_units = Required("MasterHydrologicResponseUnits");
    if (storageMode == 1 || storageMode == 3) CopyIrrigationStateFromMasters();
  }
}

void unsatzonmodellklasse::LinkRegionGrids() {
  if (owner_grid != nullptr) return;
  owner_grid = Optional("MPIRegions");
  strip_table = Optional("MPIHelper");
}

void unsatzonmodellklasse::ReopenControlFile() {
  if (!control_file->Open(control_file_name, diag))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
}

void unsatzonmodellklasse::ComposeOptionTag() {
  const bool irrigation = irrigation_configured;
  optionTag = std::string(links.flow_times != nullptr ? "+ft," : "") + (irrigation ? "+ir," : "") +
              (surfaceWaterInteraction == 1  ? "+srf1"
               : surfaceWaterInteraction > 1 ? "+srf2,"
                                             : "") +
              (drainageParameter == 1 ? "+dr," : "") + (clayParameter == 1 ? "+cl," : "") +
              (pondParameter == 1 ? "+po," : "");
}

void unsatzonmodellklasse::SetSubStepCount(int32_t count) {
  sub_step_count = count;
  substepCount = count;
}

const std::string* unsatzonmodellklasse::GetStorageFileName() {
  return GetFlowControl() != 0 ? &storageFileName : nullptr;
}

double* unsatzonmodellklasse::GetInterflowRecessionConstants() {
  return GetFlowControl() != 0 ? kelsqi.data() : nullptr;
}

double* unsatzonmodellklasse::GetDirectRunoffRecessionConstants() {
  return GetFlowControl() != 0 ? kelsqd.data() : nullptr;
}

void unsatzonmodellklasse::SetDumpMode(bool dump, bool close_after_dump, bool repair_after_dump,
                                       int64_t max_dump_files) {
  dumpMode = dump ? 1 : 0;
  closeAfterDump = close_after_dump ? 1 : 0;
  repairAfterDump = repair_after_dump ? 1 : 0;
  maxDumpFiles = max_dump_files;
}

void unsatzonmodellklasse::ReleaseMemory() {
  for (Statistics& table : statistics)
    if (table.table) table.table->ReleaseMemory();
  if (immobilised_statistics.table) immobilised_statistics.table->ReleaseMemory();
  if (river_halo) river_halo->RestoreRow();
  river_halo.reset();
  UnregisterAll();
  teilmodellklasse::ReleaseMemory();
}

// --- Helpers -------------------------------------------------------------------------------------

double** unsatzonmodellklasse::Data(int index) const {
  return index > 0 ? (*registry)[index].grid : nullptr;
}

double** unsatzonmodellklasse::Optional(const std::string& identifier) {
  // Every entry with this identifier, also one registered after a stack.
  return Data(registry->FindIdentifier(identifier));
}

double** unsatzonmodellklasse::Required(const std::string& identifier) {
  return Data(RequireGrid(identifier));
}

bool unsatzonmodellklasse::ZoneCell(long row, long column) const {
  return soil_zone_grid != nullptr && soil_zone_grid[row] != nullptr &&
         IsNotNodata(soil_zone_grid[row][column], nodata);
}

bool unsatzonmodellklasse::OwnCell(long row, long column) const {
  if (!ZoneCell(row, column)) return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

bool unsatzonmodellklasse::UnitMember(long row, long column) const {
  return response_unit_switch > 0 && links.master_response_units != nullptr &&
         IsNodata(links.master_response_units[row][column], nodata);
}

GridMatrix unsatzonmodellklasse::NewGrid() const {
  return GridMatrix(Diag(), grid_first_row, grid_last_row, ncols, nrows);
}

StackMatrix unsatzonmodellklasse::NewStack() const {
  return StackMatrix(Diag(), grid_first_row, grid_last_row, ncols, layerCount, nrows);
}

void unsatzonmodellklasse::Fill(double** grid, double inside) const {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      grid[r][c] = OwnCell(r, c) ? inside : nodata;
  });
}

int unsatzonmodellklasse::NextFreeIndex() {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex) {
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no more free grids in memeory, (max. ",
               kRefusedGridIndex, ")!");
  }
  return index;
}

void unsatzonmodellklasse::MakeGrid(OwnGrid grid, const std::string& file_name,
                                    const std::string& identifier, int32_t code, double inside) {
  grids[grid] = NewGrid();
  Fill(grids[grid].get(), inside);
  grid_index[grid] = NextFreeIndex();
  RegisterGrid(grid_index[grid], file_name, grids[grid].get(), nullptr, 0, identifier, code,
               grid_first_row, grid_last_row);
}

void unsatzonmodellklasse::MakeStack(OwnStack stack, const std::string& file_name,
                                     const std::string& identifier, int32_t code) {
  stacks[stack] = NewStack();
  stack_index[stack] = NextFreeIndex();
  RegisterGrid(stack_index[stack], file_name, nullptr, stacks[stack].get(), layerCount, identifier,
               code, grid_first_row, grid_last_row);
}

void unsatzonmodellklasse::MakeTable(Statistics& table, const OutputPair& pair,
                                     const std::string& title, int32_t precision,
                                     const std::vector<ZoneRecord>& zones) {
  table.records = zones;
  int error = 0;
  std::string file_name = pair.name;
  table.table = std::make_unique<zonalstatistic>(
      error, diag, relative_cell_area, nrows, ncols, table.records.data(), soil_zone_count,
      pair.code, precision, file_name, output_directory, output_list_count, output_list_codes);
  if (error != 0) throw ErrorCode{error};
  table.table->WriteHeader(module_name, title, zone_statistics, zone_statistics_capacity);
}

const SoilRecord& unsatzonmodellklasse::CellSoil(long row, long column) const {
  const double value = links.soil_types[row][column];
  const int type = static_cast<int>(value);
  if (type < 1 || type > soil_table[0].code) {
    ThrowFatal(Diag(), kCellSoilTypeCode, "FATAL: in modul ", module_name, ":\nthe soil type ",
               value, " of cell (row ", row, ", column ", column,
               ") is not in the soil table (1 to ", soil_table[0].code, ")");
  }
  return soil_table[type];
}

double unsatzonmodellklasse::ColumnWater(long row, long column) const {
  const SoilRecord& soil = CellSoil(row, column);
  return 1000.0 *
         ColumnSoilWater(soil, std::min(layerCount, soil.layers), stacks[kTheta][row][column]);
}

}  // namespace velorn

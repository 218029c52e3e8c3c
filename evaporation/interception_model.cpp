// Interception model: construction from the section, grids and tables; tracer set-up, flush
// and release. The step is in evaporation/interception_step.cpp.
#include "evaporation/interception_model.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>
#include <utility>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "core/value_ranges.h"
#include "evaporation/evapotranspiration.h"
#include "setup/tracer_definitions.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"
#include "version.h"

namespace velorn {
namespace {

// Decimals of the statistics tables.
constexpr int32_t kTablePrecision = 4;

struct CanopyGridName {
  const char* identifier;
  const char* header;  // statistics header; null: no table
};
constexpr std::array<CanopyGridName, interzeptionsmodellklasse::kCanopyGridCount> kCanopyNames{{
    {"Snow_canopy_load", "SCN_LOAD_in_mm"},
    {"Snow_canopy_age", "SCN_AGE_Number_of_time_steps_per_day"},
    {"Snow_canopy_albedo", "SCN_ALBEDO_Dimensionless"},
    {"Snow_canopy_sublim", "SCN_SUBLIMATION_mm_per_time_step"},
    {"Snow_canopy_unload_solid", "SCN_SNOW_Throughfall_mm_per_time_step"},
    {"Snow_canopy_unload_liquid", "SCN_Output_rain_mm_per_time_step"},
    {"Snow_canopy_temperature", "SCN_sub-canopy_temperature"},
    {"Snow_canopy_rh", "SCN_sub-canopy_relative_humidity"},
    {"Snow_canopy_rad", "SCN_sub-canopy_shortwave_radiation"},
    {"Snow_canopy_wind", "SCN_sub-canopy_windspeed"},
    {"Snow_canopy_IR_radiation", nullptr},
}};
constexpr std::array<CanopyGridName, interzeptionsmodellklasse::kBalanceGridCount> kBalanceNames{{
    {"CEB_canopy_energy_balance", "Canopy_Energy_balance"},
    {"CEB_canopy_temperature", "CEB_Canopy_Temperature"},
    {"CEB_canopy_temperature_old", "CEB_Canopy_Temperature_Old"},
    {"CEB_dummy", "CEB_DUMMY"},
}};

bool ValidMethod(int32_t method) {
  switch (method) {
    case 1:
    case 2:
    case 11:
    case 12:
    case 21:
    case 22:
    case 31:
    case 32:
      return true;
    default:
      return false;
  }
}

}  // namespace

interzeptionsmodellklasse::interzeptionsmodellklasse(int32_t& error, const SubModelSetup& setup)
    : teilmodellklasse(setup, "interception_model") {
  error = 0;
  if (GetFlowControl() == 0) return;
  try {
    std::string stamp = VELORN_BUILD_TIME;
    Diag() << "file interzep, compiled at " << stamp << "[end-entry]";
    if (multilayer_landuse_table != nullptr && multilayer_landuse_table[0].code > 0)
      layer_count = std::max(1, multilayer_landuse_table[1].LayerCount);
    ReadSettings();
    LookUpGrids();
    CreateLayerGrids();
    if (canopy_snow) CreateCanopyGrids();
    // Without a glacier model the first registered of the two grids of glacier shares (the
    // application hands over the glacier model's grid when it runs).
    if (const int glacier = FindGrid("GlacierizedCells", 0)) {
      glacier_index_ = glacier;
    } else {
      glacier_index_ = FindGrid("ice_firn", 0);
    }
    if (response_unit_switch != 0) {
      response_unit_index_ = RequireGrid("HydrologicResponseUnits");
      master_unit_index_ = RequireGrid("MasterHydrologicResponseUnits");
    }
  } catch (const ErrorCode& failure) {
    error = failure.code;
  } catch (const std::exception& failure) {
    Diag() << "FATAL: " << module_name << ": " << failure.what() << "[end-entry]";
    error = kForeignConstructionCode;
  }
}

void interzeptionsmodellklasse::ReadOutput(OutputSetting& output, const std::string& label,
                                           const std::string& what) {
  ControlFileReader& file = *control_file;
  ReadValue(file, output.grid_name, "name " + label + " grid for ");
  ReadValue(file, output.write_code, "write code " + label + " grid for ");
  ReadTwoValues(file, output.statistics_name, output.statistics_code,
                "name " + (what.empty() ? label : what) + " statistics file for ");
}

void interzeptionsmodellklasse::ReadSettings() {
  ControlFileReader& file = *control_file;
  ReadValue(file, method, " method for ");
  if (!ValidMethod(method)) {
    ThrowFatal(Diag(), kInterceptionMethodCode, "FATAL: method ", method,
               " is not supported in interception model (use one of 1, 2, 11, 12, 21, 22, 31, "
               "32)");
  }
  canopy_snow = method > 20;
  energy_balance = method > 30;
  ReadOutput(throughfall_output, "outflow", "");
  ReadOutput(evaporation_output, "potential interception evaporation", "potential interception");
  ReadOutput(storage_output, "interception storage", "");
  ReadValue(file, maximum_water_thickness,
            "parameter interception storage maximum water layer thickness for ");
  RequireRange(maximum_water_thickness, 0, 100, "maximum water layer thickness (mm) for ");
  ReadValue(file, grid_read_parameter, "readgrid parameter for ");
  if (canopy_snow) {
    ReadOutput(canopy_outputs[kCanopyTemperatureGrid], "sub-canopy temperature",
               "sub-canopy stemperature");
    ReadOutput(canopy_outputs[kCanopyHumidity], "sub-canopy relative humidity", "");
    ReadOutput(canopy_outputs[kCanopyRadiation], "sub-canopy shortwave radiation", "");
    ReadOutput(canopy_outputs[kCanopyWind], "sub-canopy windspeed", "");
    // Each item under its own name, so that a message names the item where reading stopped.
    ReadOutput(canopy_outputs[kCanopyLoad], "snow canopy load", "");
    ReadOutput(canopy_outputs[kCanopyAge], "snow canopy age", "");
    ReadOutput(canopy_outputs[kCanopyAlbedo], "snow canopy albedo", "");
    ReadOutput(canopy_outputs[kCanopySublimation], "snow canopy sublimation", "");
    ReadOutput(canopy_outputs[kCanopySolidOutput], "snow canopy unload (snow)", "");
    ReadOutput(canopy_outputs[kCanopyLiquidOutput], "snow canopy liquid water output", "");
    canopy_outputs[kCanopyLongwave] = OutputSetting{"SCN_IR", 0, "", 0};
    ReadValue(file, minimum_leaf_area,
              "minimum LAI value above which the snow canopy model will be started for");
    ReadValue(file, minimum_roughness,
              "minimum z0 value above which the snow canopy model will be started for");
    RequireRange(minimum_leaf_area, 0, 20, "minimum LAI of the snow canopy model for ");
    RequireRange(minimum_roughness, 0, 10, "minimum z0 (m) of the snow canopy model for ");
    ReadValue(file, leaf_area_scaling, "LAI scaling factor for the snow canopy model for");
    // A factor of 0 would leave the canopy without room for snow and its loads undefined.
    if (!(leaf_area_scaling > 0.0)) {
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", module_name,
                 ": the LAI scaling factor for the snow canopy model must be above 0, read ",
                 leaf_area_scaling);
    }
  }
  if (energy_balance) {
    for (OutputSetting& output : balance_outputs) {
      ReadOutput(output, "canopy energy balance", "canopy energy balance output");
    }
  }
  control_file->Close();
}

void interzeptionsmodellklasse::LookUpGrids() {
  if (owner_grid == nullptr) {
    if (const int regions = FindGrid("MPIRegions", 0)) owner_grid = Data(regions);
  }
  layer_inputs_.assign(static_cast<std::size_t>(layer_count) + 1, LayerInputs{});
  for (int32_t i = 1; i <= layer_count; ++i) {
    LayerInputs& in = layer_inputs_[i];
    in.landuse = RequireGrid(FormatText("landuse%d", i));
    in.leaf_area = RequireGrid(FormatText("leaf_area_index%d", i));
    in.cover = RequireGrid(FormatText("vegetation_coverage_degree%d", i));
    in.roughness = RequireGrid(FormatText("RoughnessLength%d", i));
    in.canopy_resistance = RequireGrid(FormatText("SurfaceCanopyResistance%d", i));
    in.interception_resistance = RequireGrid(FormatText("SurfaceIntercepResistance%d", i));
  }
  for (int32_t i = 0; i <= layer_count; ++i) {
    transpiration_index_.push_back(RequireGrid(FormatText("pot_transpiration%d", i)));
    interception_potential_index_.push_back(
        RequireGrid(FormatText("potential_InterceptionEvap%d", i)));
    RequireGrid(FormatText("real_transpiration%d", i));
  }
  if (method < 10) {
    water_input_index_ =
        RequireOneOfThreeGrids("snowcover_outflow", "precipitation", "ungueltiger_Name");
  } else {
    water_input_index_ = RequireGrid("precipitation");
  }
  if (energy_balance) {
    snow_albedo_index_ = FindGrid("albedo", 0);
    if (snow_albedo_index_ == 0) {
      ThrowFatal(Diag(), kCanopyBalanceSnowGridCode,
                 "FATAL: Albedo not available in advanced snow interception model with canopy "
                 "energy balance (should be available when an extended snow model is used)");
    }
    snow_storage_index_ = FindGrid("snow_storage_total", 0);
    if (snow_storage_index_ == 0) {
      ThrowFatal(Diag(), kCanopyBalanceSnowGridCode,
                 "FATAL: total snow storage not available in advanced snow interception model "
                 "with canopy energy balance (use any snow model to have this grid been created "
                 "for you)");
    }
    surface_temperature_index_ = FindGrid("surftemp", 0);
    if (surface_temperature_index_ == 0) {
      ThrowFatal(Diag(), kCanopyBalanceSnowGridCode,
                 "FATAL: snow surface temperatur not available in advanced snow interception "
                 "model with canopy energy balance (in snow model, an energy balance approach "
                 "should be used)");
    }
  }
  elevation_index_ = RequireGrid("[elevation_model]");
}

double** interzeptionsmodellklasse::Data(int index) const {
  return index > 0 ? (*registry)[index].grid : nullptr;
}

GridMatrix interzeptionsmodellklasse::NewGrid(double inside) const {
  GridMatrix grid(*diag, first_local_row, last_local_row, ncols, nrows);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int32_t c = 1; c <= ncols; ++c)
      grid[r][c] = zone_grid != nullptr && IsNodata(zone_grid[r][c], nodata) ? nodata : inside;
  });
  return grid;
}

int interzeptionsmodellklasse::RegisterNext(const std::string& file_name, double** grid,
                                            const std::string& identifier, int32_t write_code) {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex) ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid left");
  RegisterGrid(index, file_name, grid, nullptr, 0, identifier, write_code, first_local_row,
               last_local_row);
  return index;
}

void interzeptionsmodellklasse::ReadState(const std::string& name, GridMatrix& grid, double low,
                                          double high, const char* unit) {
  double** data = grid.get();
  const StateGridRead state;
  ReadGrid(name, data, 0, false, true, false, 0, false, false, 0.0);
  // What the model writes there; a failure on one process ends every process.
  AgreeOnFailure(Diag(), [&] {
    CheckGridCells(Diag(), name, data, zone_grid, column_ranges, first_local_row, last_local_row,
                   nodata, low, high, unit, BasinNodata::Refused(owner_grid, rank));
  });
}

void interzeptionsmodellklasse::MakeTable(Table& table, const OutputSetting& output,
                                          const std::string& header) {
  table.table = MakeZoneTable(table.records, output.statistics_name, output.statistics_code,
                              kTablePrecision, header);
}

void interzeptionsmodellklasse::CreateLayerGrids() {
  const std::size_t layers = static_cast<std::size_t>(layer_count) + 1;
  layer_tables_.resize(layers);
  for (int32_t i = 0; i <= layer_count; ++i) {
    auto name = [i](const OutputSetting& output) {
      return i == 0 ? output.grid_name : LayerFileName(output.grid_name, i);
    };
    storage.push_back(NewGrid(0.0));
    // The water (or snow) the leaves hold: none to the largest snow pack.
    if (grid_read_parameter == 1)
      ReadState(name(storage_output), storage.back(), 0, kLargestSnowWaterEquivalent, "mm");
    storage_index_.push_back(RegisterNext(name(storage_output), storage.back().get(),
                                          FormatText("interception_storage%d", i),
                                          storage_output.write_code));
    evaporation.push_back(NewGrid(0.0));
    evaporation_index_.push_back(RegisterNext(name(evaporation_output), evaporation.back().get(),
                                              FormatText("interception_evaporation%d", i),
                                              evaporation_output.write_code));
    throughfall.push_back(NewGrid(0.0));
    throughfall_index_.push_back(RegisterNext(name(throughfall_output), throughfall.back().get(),
                                              FormatText("throughfall%d", i),
                                              throughfall_output.write_code));
    auto table_setting = [i](OutputSetting output) {
      if (i > 0) output.statistics_name = LayerFileName(output.statistics_name, i);
      return output;
    };
    MakeTable(layer_tables_[i][0], table_setting(evaporation_output),
              FormatText("%s%d_", "interception_evaporation_in_mm_layer_", i));
    MakeTable(layer_tables_[i][1], table_setting(storage_output),
              FormatText("%s%d_", "interception_storage_in_mm_layer_", i));
    MakeTable(layer_tables_[i][2], table_setting(throughfall_output),
              FormatText("%s%d_", "throughfall_in_mm_layer_", i));
  }
}

void interzeptionsmodellklasse::CreateCanopyGrids() {
  temperature_index_ = RequireOneOfThreeGrids("corr_temperature", "temperature", "temperature_14");
  radiation_index_ = RequireGrid("AspectCorrectedGlobalRadiation");
  wind_index_ = RequireGrid("wind_speed");
  humidity_index_ = RequireGrid("air_humidity");
  cloudiness_index_ = RequireGrid("cloudiness");
  temperature_stack = std::make_unique<GridStack>(GridStackCapacity(time_interval), first_local_row,
                                                  last_local_row, nrows, ncols);
  for (int g = 0; g < kCanopyGridCount; ++g) {
    const OutputSetting& output = canopy_outputs[g];
    canopy_grids[g] = NewGrid(g == kCanopyAlbedo ? 0.2 : 0.0);
    if (grid_read_parameter == 1 && g == kCanopyLoad)
      ReadState(output.grid_name, canopy_grids[g], 0, kLargestSnowWaterEquivalent, "mm");
    if (grid_read_parameter == 1 && g == kCanopyAlbedo)
      ReadState(output.grid_name, canopy_grids[g], 0, 1, "(an albedo)");
    if (grid_read_parameter == 1 && g == kCanopyAge)
      ReadState(output.grid_name, canopy_grids[g], 0, kLongestSnowAge, "days");
    canopy_index_[g] = RegisterNext(output.grid_name, canopy_grids[g].get(),
                                    kCanopyNames[g].identifier, output.write_code);
    if (kCanopyNames[g].header != nullptr)
      MakeTable(canopy_tables_[g], output, kCanopyNames[g].header);
  }
  if (temperature_stack->maximum_count() > 1) LinkTemperatureHistory();
  if (!energy_balance) return;
  for (int g = 0; g < kBalanceGridCount; ++g) {
    const OutputSetting& output = balance_outputs[g];
    balance_grids[g] = NewGrid(0.0);
    // A canopy's temperature (K) up to 100 degC (0: none computed yet).
    if (grid_read_parameter == 1 && g == kBalanceTemperatureOld)
      ReadState(output.grid_name, balance_grids[g], 0, 373.16, "K");
    balance_index_[g] = RegisterNext(output.grid_name, balance_grids[g].get(),
                                     kBalanceNames[g].identifier, output.write_code);
    MakeTable(balance_tables_[g], output, kBalanceNames[g].header);
  }
}

// The canopy's one-day mean temperature is state with steps shorter than a day: a warm start
// continues the run exactly only with the temperatures of the last day. They are written with
// the canopy load (its write code, the fixed name "canopytemperatures.stk") and read back where
// it is; a state without them starts the mean from the first step's temperature, as before.
void interzeptionsmodellklasse::LinkTemperatureHistory() {
  const int32_t levels = temperature_stack->maximum_count();
  temperature_history = StackMatrix(*diag, first_local_row, last_local_row, ncols, levels, nrows);
  // The count as the stack's grid: an entry without a grid ends the registry's search of grids.
  temperature_count = NewGrid(0.0);
  temperature_history_index = registry->FirstFreeIndex();
  if (temperature_history_index >= kRefusedGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid left");
  RegisterGrid(temperature_history_index, kTemperatureHistoryName, temperature_count.get(),
               temperature_history.get(), levels, "canopy_temperature_history",
               canopy_outputs[kCanopyLoad].write_code % 10, first_local_row, last_local_row);
  if (grid_read_parameter != 1) return;
  std::string stored = kTemperatureHistoryName;
  PrefixDirectory(input_directory, stored);
  if (!ExistsOnRoot(stored)) {
    Diag() << "WARNING: no stack " << stored
           << " of the air temperatures of the last day: the canopy's mean temperature starts"
           << " from the first step's"
           << "[end-entry]";
    return;
  }
  double*** read = nullptr;
  const int stored_levels = ReadStack(kTemperatureHistoryName, read, false);
  StackMatrix owned(*diag, first_local_row, last_local_row, ncols, stored_levels, nrows);
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (read[r] != nullptr) std::copy(read[r][c], read[r][c] + stored_levels + 1, owned[r][c]);
  velorn::Free3dMatrix(read);
  // Air temperatures (°C) and the count on level 0.
  // Every cell holds the count on level 0, the same in each (a process without basin cells
  // pushes none); a failure on any process ends every process.
  double count = 0;
  AgreeOnFailure(Diag(), [&] {
    CheckStackCells(Diag(), stored, owned.get(), stored_levels, zone_grid, column_ranges,
                    first_local_row, last_local_row, nodata, -100.0, 100.0, "degrees Celsius",
                    BasinNodata::Allowed());
    bool found = false;
    for (long r = first_local_row; r <= last_local_row; ++r)
      for (long c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c)) continue;
        const double held = owned[r][c][0];
        if (found && held != count)
          ThrowFatal(Diag(), kGridFormatCode, "FATAL: stack ", stored, " holds a count of ", count,
                     " and one of ", held, ": every cell keeps the temperatures of the same steps");
        count = held;
        found = true;
      }
    if (stored_levels != levels || !(count >= 0 && count <= levels) || count != std::trunc(count))
      ThrowFatal(Diag(), kGridFormatCode, "FATAL: stack ", stored, " holds ", stored_levels,
                 " levels and a count of ", count, ": the steps of ", time_interval,
                 " minutes keep the temperatures of ", levels, " steps");
  });
  for (int32_t k = 1; k <= static_cast<int32_t>(count); ++k) {
    GridMatrix grid(*diag, first_local_row, last_local_row, ncols, nrows);
    for (long r = first_local_row; r <= last_local_row; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (OwnCell(r, c)) grid[r][c] = owned[r][c][k];
    temperature_stack->Push(std::move(grid));
  }
}

void interzeptionsmodellklasse::WriteTemperatureHistory() {
  if (!temperature_history) return;
  const int32_t levels = temperature_stack->maximum_count(), held = temperature_stack->count();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      double* cell = temperature_history[r][c];
      cell[0] = temperature_count[r][c] = held;
      for (int32_t k = 1; k <= levels; ++k)
        cell[k] = k <= held ? temperature_stack->Held(k - 1)[r][c] : nodata;
    }
  });
  WriteStackOutput(temperature_history_index);
}

int32_t interzeptionsmodellklasse::GetMethod() {
  return GetFlowControl() > 0 ? method : 0;
}

void interzeptionsmodellklasse::SetupTracers(int32_t& error, int32_t count,
                                             TracerDefinition* definitions,
                                             ZoneStatisticsRecord* statistics_registry,
                                             int32_t capacity) {
  SetupTracersThen(error, count, definitions, statistics_registry, capacity, [&] {
    tracer_input_index_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
    for (int32_t t = 1; t <= tracer_count; ++t) {
      // The concentration of the water input comes from the snow model (when the leaves take
      // its outflow), the irrigation or an input grid, whichever the run has; without any of
      // them the water carries no tracer.
      tracer_input_index_[t] = method < 10
                                   ? FindTracerInput(t, {"snow_model", "irrigation", "input"})
                                   : FindTracerInput(t, {"irrigation", "input"});
    }
    SetupLeafTracers();
  });
}

// With several layers or canopy snow every layer and the canopy snow hold their own solute, each
// a grid of its own beside the cells' sum (its file name with "_Layer_<i>" or "_Canopy", the
// sum's grid code), read back with the storages. A state without them puts the read sum on the
// top layer.
void interzeptionsmodellklasse::SetupLeafTracers() {
  leaf_tracers_.clear();
  leaf_tracers_.resize(static_cast<std::size_t>(tracer_count) + 1);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    LeafTracer& leaves = leaf_tracers_[static_cast<std::size_t>(t)];
    const TracerBlock& block = tracer_blocks[t];
    double** sum = block.concentration.get();
    leaves.layers.assign(static_cast<std::size_t>(layer_count) + 1, nullptr);
    if (layer_count == 1 && !canopy_snow) {
      leaves.layers[1] = sum;
      continue;
    }
    std::vector<std::string> files;
    for (int32_t i = 1; i <= layer_count; ++i) {
      leaves.owned.push_back(NewGrid(0.0));
      leaves.layers[static_cast<std::size_t>(i)] = leaves.owned.back().get();
      files.push_back(LayerFileName(block.grid_file_name, i));
    }
    if (canopy_snow) {
      leaves.canopy = NewGrid(0.0);
      const std::size_t dot = block.grid_file_name.rfind('.');
      files.push_back(
          std::string(block.grid_file_name)
              .insert(dot == std::string::npos ? block.grid_file_name.size() : dot, "_Canopy"));
    }
    const bool read = grid_read_parameter == 1 && StoredLeafTracers(files);
    for (std::size_t i = 0; i < files.size(); ++i) {
      GridMatrix& grid = i < leaves.owned.size() ? leaves.owned[i] : leaves.canopy;
      // The solute on the leaves: any number (a tracer's unit is its own).
      if (read)
        ReadState(files[i], grid, -std::numeric_limits<double>::max(),
                  std::numeric_limits<double>::max(), "");
      leaves.indexes.push_back(RegisterNext(files[i], grid.get(),
                                            FormatText("concstor_tracer_%d_leaves_%zu", t, i + 1),
                                            tracer_definitions[t].gridcode));
    }
    if (read) continue;
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c)
        if (IsNotNodata(sum[r][c], nodata)) leaves.layers[1][r][c] = sum[r][c];
    });
  }
}

// Whether a warm start finds every layer's (and the canopy's) solute grid, the same answer on
// every process (collective); a state written without them starts the layers from the sum, with
// a WARNING.
bool interzeptionsmodellklasse::StoredLeafTracers(const std::vector<std::string>& files) {
  for (std::string name : files) {
    PrefixDirectory(input_directory, name);
    if (!ExistsOnRoot(name)) {
      Diag() << "WARNING: no grid " << name
             << " of a leaf layer's tracer: the solute of the leaves' grid starts on the top "
                "layer"
             << "[end-entry]";
      return false;
    }
  }
  return true;
}

void interzeptionsmodellklasse::ReleaseTracers() {
  for (auto t = leaf_tracers_.rbegin(); t != leaf_tracers_.rend(); ++t)
    for (auto index = t->indexes.rbegin(); index != t->indexes.rend(); ++index)
      UnregisterGrid(*index);
  leaf_tracers_.clear();
  teilmodellklasse::ReleaseTracers();
}

void interzeptionsmodellklasse::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  for (Table* table : AllTables()) table->table->FlushBuffers();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->FlushBuffers();
}

void interzeptionsmodellklasse::ReleaseMemory() {
  if (GetFlowControl() != 0) {
    temperature_stack.reset();
    for (Table* table : AllTables()) {
      table->table->ReleaseMemory();
      table->table.reset();
    }
    // Registered last, released first, so that the registry keeps no holes.
    std::vector<int> registered;
    for (const std::vector<int>* indexes :
         {&storage_index_, &evaporation_index_, &throughfall_index_})
      registered.insert(registered.end(), indexes->begin(), indexes->end());
    for (int index : canopy_index_) registered.push_back(index);
    registered.push_back(temperature_history_index);
    for (int index : balance_index_) registered.push_back(index);
    std::sort(registered.begin(), registered.end());
    for (auto it = registered.rbegin(); it != registered.rend(); ++it)
      if (*it > 0) UnregisterGrid(*it);
    storage.clear();
    evaporation.clear();
    throughfall.clear();
    for (GridMatrix& grid : canopy_grids) grid = GridMatrix();
    for (GridMatrix& grid : balance_grids) grid = GridMatrix();
    storage_index_.clear();
    evaporation_index_.clear();
    throughfall_index_.clear();
    canopy_index_.fill(0);
    balance_index_.fill(0);
    temperature_history = StackMatrix();
    temperature_count = GridMatrix();
    temperature_history_index = 0;
  }
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn

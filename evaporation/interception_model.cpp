// Interception model: construction from the section, grids and tables; the step over the cells
// with rain interception, canopy snow and tracers; statistics, output and release.
#include "evaporation/interception_model.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "evaporation/canopy_snow.h"
#include "evaporation/evapotranspiration.h"
#include "evaporation/interception_water.h"
#include "setup/code_checks.h"
#include "setup/tracer_definitions.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"
#include "version.h"

namespace velorn {
namespace {

// Glacier shares from which a cell counts as wholly glacierized.
constexpr double kWholeGlacier = 0.99999;
constexpr double kCelsiusToKelvin = 273.16;
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

// Per row: the layers of the cell being computed, with the storage before the step's input.
struct interzeptionsmodellklasse::CellWork {
  std::vector<InterceptionLayer> layers;
  double storage_before = 0;  // layer 1, for the tracers
  double glacier = 0;
};

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
    if (const int glacier = FindGrid("GlacierizedCells", 0)) {
      glacier_index_ = glacier;
    } else {
      glacier_index_ = FindGrid("ice_firn", 0);
    }
    if (response_unit_switch != 0) {
      RequireGrid("HydrologicResponseUnits");
      RequireGrid("MasterHydrologicResponseUnits");
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
  ReadValue(file, grid_read_parameter, "readgrid parameter for ");
  if (canopy_snow) {
    ReadOutput(canopy_outputs[kCanopyTemperatureGrid], "sub-canopy temperature",
               "sub-canopy stemperature");
    ReadOutput(canopy_outputs[kCanopyHumidity], "sub-canopy relative humidity", "");
    ReadOutput(canopy_outputs[kCanopyRadiation], "sub-canopy shortwave radiation", "");
    ReadOutput(canopy_outputs[kCanopyWind], "sub-canopy windspeed", "");
    for (CanopyGrid grid : {kCanopyLoad, kCanopyAge, kCanopyAlbedo, kCanopySublimation})
      ReadOutput(canopy_outputs[grid], "snow canopy load", "");
    ReadOutput(canopy_outputs[kCanopySolidOutput], "snow canopy unload (snow)", "");
    ReadOutput(canopy_outputs[kCanopyLiquidOutput], "snow canopy liquid water output", "");
    canopy_outputs[kCanopyLongwave] = OutputSetting{"SCN_IR", 0, "", 0};
    ReadValue(file, minimum_leaf_area,
              "minimum LAI value above which the snow canopy model will be started for");
    ReadValue(file, minimum_roughness,
              "minimum z0 value above which the snow canopy model will be started for");
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
  for (int32_t r = first_local_row; r <= last_local_row; ++r)
    for (int32_t c = 1; c <= ncols; ++c)
      grid[r][c] = zone_grid != nullptr && IsNodata(zone_grid[r][c], nodata) ? nodata : inside;
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

void interzeptionsmodellklasse::ReadState(const std::string& name, GridMatrix& grid) {
  double** data = grid.get();
  ReadGrid(name, data, 0, false, true, false, 0, false, false, 0.0);
}

void interzeptionsmodellklasse::MakeTable(Table& table, const OutputSetting& output,
                                          const std::string& header) {
  table.records.assign(static_cast<std::size_t>(zone_count) + 1, ZoneRecord{});
  for (int32_t z = 0; z <= zone_count && zone_table != nullptr; ++z)
    for (int f = 2; f < 5; ++f) table.records[z][f] = zone_table[z][f];
  int error = 0;
  std::string file_name = output.statistics_name;
  table.table = std::make_unique<zonalstatistic>(
      error, diag, relative_cell_area, nrows, ncols, table.records.data(), zone_count,
      output.statistics_code, kTablePrecision, file_name, output_directory, output_list_count,
      output_list_codes);
  if (error != 0) throw ErrorCode{error};
  table.table->WriteHeader(module_name, header, zone_statistics, zone_statistics_capacity);
}

void interzeptionsmodellklasse::CreateLayerGrids() {
  const std::size_t layers = static_cast<std::size_t>(layer_count) + 1;
  layer_tables_.resize(layers);
  for (int32_t i = 0; i <= layer_count; ++i) {
    auto name = [i](const OutputSetting& output) {
      return i == 0 ? output.grid_name : LayerFileName(output.grid_name, i);
    };
    storage.push_back(NewGrid(0.0));
    if (grid_read_parameter == 1) ReadState(name(storage_output), storage.back());
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
    if (grid_read_parameter == 1 && (g == kCanopyLoad || g == kCanopyAlbedo || g == kCanopyAge))
      ReadState(output.grid_name, canopy_grids[g]);
    canopy_index_[g] = RegisterNext(output.grid_name, canopy_grids[g].get(),
                                    kCanopyNames[g].identifier, output.write_code);
    if (kCanopyNames[g].header != nullptr)
      MakeTable(canopy_tables_[g], output, kCanopyNames[g].header);
  }
  if (!energy_balance) return;
  for (int g = 0; g < kBalanceGridCount; ++g) {
    const OutputSetting& output = balance_outputs[g];
    balance_grids[g] = NewGrid(0.0);
    if (grid_read_parameter == 1 && g == kBalanceTemperatureOld)
      ReadState(output.grid_name, balance_grids[g]);
    balance_index_[g] = RegisterNext(output.grid_name, balance_grids[g].get(),
                                     kBalanceNames[g].identifier, output.write_code);
    MakeTable(balance_tables_[g], output, kBalanceNames[g].header);
  }
}

int32_t interzeptionsmodellklasse::GetMethod() {
  return GetFlowControl() > 0 ? method : 0;
}

void interzeptionsmodellklasse::SetupTracers(int32_t& error, int32_t count,
                                             TracerDefinition* definitions,
                                             ZoneStatisticsRecord* statistics_registry,
                                             int32_t capacity) {
  error = 0;
  if (GetFlowControl() == 0) return;
  teilmodellklasse::SetupTracers(error, count, definitions, statistics_registry, capacity);
  if (error != 0) return;
  error = CaptureErrorCode([&] {
    tracer_input_index_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
    for (int32_t t = 1; t <= tracer_count; ++t) {
      tracer_input_index_[t] =
          RequireOneOfThreeGrids(FormatText("concflux_tracer_%1d_%s", t, "snow_model"),
                                 FormatText("concflux_tracer_%1d_%s", t, "irrigation"),
                                 FormatText("concflux_tracer_%1d_%s", t, "input"));
    }
  });
}

bool interzeptionsmodellklasse::Computed(long row, long column) const {
  if (zone_grid == nullptr || IsNodata(zone_grid[row][column], nodata)) return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

double interzeptionsmodellklasse::GlacierShare(long row, long column) const {
  double** glacier = Data(glacier_index_);
  if (glacier == nullptr) return 0.0;
  return std::clamp(glacier[row][column], 0.0, 1.0);
}

std::vector<interzeptionsmodellklasse::Table*> interzeptionsmodellklasse::AllTables() {
  std::vector<Table*> tables;
  for (auto& layer : layer_tables_)
    for (Table& table : layer) tables.push_back(&table);
  for (Table& table : canopy_tables_)
    if (table.table) tables.push_back(&table);
  for (Table& table : balance_tables_)
    if (table.table) tables.push_back(&table);
  return tables;
}

void interzeptionsmodellklasse::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  for (Table* table : AllTables()) table->table->ResetZoneSums();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->ResetZoneSums();
  if (canopy_snow) PushTemperature();
  ComputeRows();
  AddStatistics();
  FinishStep();
}

void interzeptionsmodellklasse::PushTemperature() {
  const std::array<int64_t, 4> date{step_date.hour, step_date.day, step_date.month, step_date.year};
  if (date == last_push_date) return;
  double** temperature = Data(temperature_index_);
  GridMatrix copy(*diag, first_local_row, last_local_row, ncols, nrows);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c)
      if (owner_grid == nullptr || owner_grid[r][c] == static_cast<double>(rank))
        copy[r][c] = temperature[r][c];
  });
  temperature_stack->Push(std::move(copy));
}

void interzeptionsmodellklasse::ComputeRows() {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    CellWork work;
    work.layers.resize(static_cast<std::size_t>(layer_count));
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (Computed(r, c)) {
        ComputeCell(work, r, c);
        continue;
      }
      for (int32_t i = 0; i <= layer_count; ++i) {
        evaporation[i][r][c] = nodata;
        throughfall[i][r][c] = nodata;
      }
    }
  });
}

void interzeptionsmodellklasse::ComputeCell(CellWork& work, long row, long column) {
  const double input = Data(water_input_index_)[row][column];
  work.glacier = GlacierShare(row, column);
  if (work.glacier >= 1.0) {
    if (canopy_snow) SkipCanopy(row, column, input);
    ZeroGlacierCell(row, column, input);
    return;
  }
  double rain = input;
  if (canopy_snow) {
    double leaf_area = 0.0;
    double roughness = 0.0;
    for (int32_t i = 1; i <= layer_count; ++i) {
      leaf_area += Data(layer_inputs_[i].leaf_area)[row][column];
      roughness = std::max(roughness, Data(layer_inputs_[i].roughness)[row][column]);
    }
    if (leaf_area > minimum_leaf_area && roughness > minimum_roughness) {
      rain = RunCanopy(row, column, input);
    } else {
      SkipCanopy(row, column, input);
    }
  }

  const int32_t rule = method % 10;
  const int32_t landuse_count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
  for (int32_t i = 1; i <= layer_count; ++i) {
    InterceptionLayer& layer = work.layers[static_cast<std::size_t>(i - 1)];
    const LayerInputs& in = layer_inputs_[i];
    const double code = Data(in.landuse)[row][column];
    layer = InterceptionLayer{};
    layer.vegetated = IsAboveNodata(code, nodata);
    layer.storage = storage[i][row][column];
    layer.potential_transpiration = Data(transpiration_index_[i])[row][column];
    layer.potential_interception = Data(interception_potential_index_[i])[row][column];
    if (!layer.vegetated) continue;
    const int32_t index = static_cast<int32_t>(code);
    double capacity_per_leaf_area = -1.0;
    if (landuse_table != nullptr) {
      if (index < 1 || index > landuse_count) {
        ThrowFatal(*diag, kUnknownLanduseCode, "FATAL: land use ", code, " in grid ",
                   FormatText("landuse%d", i), " (row ", row, ", column ", column,
                   ")\nis not present in the land use table in the control file");
      }
      capacity_per_leaf_area = landuse_table[index].GetIntercepCap();
    }
    layer.cover = Data(in.cover)[row][column];
    layer.capacity = InterceptionCapacity(capacity_per_leaf_area, Data(in.leaf_area)[row][column],
                                          maximum_water_thickness);
  }
  work.storage_before = work.layers[0].storage;
  const InterceptionTotals totals = InterceptLayers(rain, rule, work.layers.data(), layer_count);

  for (int32_t i = 1; i <= layer_count; ++i) {
    const InterceptionLayer& layer = work.layers[static_cast<std::size_t>(i - 1)];
    storage[i][row][column] = layer.storage;
    evaporation[i][row][column] = layer.evaporation;
    throughfall[i][row][column] = layer.throughfall;
    Data(transpiration_index_[i])[row][column] = layer.potential_transpiration;
  }
  double& total_transpiration = Data(transpiration_index_[0])[row][column];
  if (layer_count == 1) {
    total_transpiration = work.layers[0].potential_transpiration;
    if (tracer_count > 0) CarryTracers(row, column, work);
  } else {
    total_transpiration -= totals.transpiration_reduction;
  }
  storage[0][row][column] = totals.storage;
  evaporation[0][row][column] = totals.evaporation;
  throughfall[0][row][column] = totals.throughfall;
  if (work.glacier >= kWholeGlacier) ZeroGlacierCell(row, column, input);
}

// A wholly glacierized cell holds and evaporates nothing: the water input reaches the ground
// (and, with interception before snow, the snow model) in full.
void interzeptionsmodellklasse::ZeroGlacierCell(long row, long column, double input) {
  for (int32_t i = 0; i <= layer_count; ++i) {
    storage[i][row][column] = 0.0;
    evaporation[i][row][column] = 0.0;
    throughfall[i][row][column] = input;
  }
}

double interzeptionsmodellklasse::RunCanopy(long row, long column, double input) {
  using namespace canopy;
  CanopySnowState s;
  const double air_temperature = Data(temperature_index_)[row][column];
  s[kAirTemperature] = air_temperature + kCelsiusToKelvin;
  s[kMeanTemperature] = temperature_stack->GetMean(row, column) + kCelsiusToKelvin;
  s[kTemperatureOffset] = std::clamp((s[kMeanTemperature] - kCelsiusToKelvin) / 3.0, -2.0, 2.0);
  s[kHumidity] = Data(humidity_index_)[row][column] * 100.0;
  s[kPrecipitation] = input;
  s[kShortwave] = Data(radiation_index_)[row][column];
  s[kWind] = Data(wind_index_)[row][column];
  s[kCloudiness] = Data(cloudiness_index_)[row][column];
  s[kTimeStep] = 60.0 * time_interval;
  s[kElevation] = Data(elevation_index_)[row][column];
  double leaf_area = 0.0;
  for (int32_t i = 1; i <= layer_count; ++i) {
    const LayerInputs& in = layer_inputs_[i];
    leaf_area += Data(in.leaf_area)[row][column];
    const double canopy_resistance = Data(in.canopy_resistance)[row][column];
    const double interception_resistance = Data(in.interception_resistance)[row][column];
    const double roughness = Data(in.roughness)[row][column];
    s[kCanopyResistance] =
        i == 1 ? canopy_resistance : std::min(s[kCanopyResistance], canopy_resistance);
    s[kInterceptionResistance] =
        i == 1 ? interception_resistance
               : std::min(s[kInterceptionResistance], interception_resistance);
    s[kRoughnessLength] = i == 1 ? roughness : std::max(s[kRoughnessLength], roughness);
  }
  s[kLeafAreaIndex] = leaf_area * leaf_area_scaling;
  const double previous_albedo = canopy_grids[kCanopyAlbedo][row][column];
  s[kAlbedo] = previous_albedo;
  s[kLoadBefore] = canopy_grids[kCanopyLoad][row][column];
  s[kAge] = canopy_grids[kCanopyAge][row][column];
  SplitRainSnow(s[kSnowfall], s[kRainfall], air_temperature, threshold_temperature,
                transition_half_width, input);
  CanopySnowStep(s);

  if (energy_balance) {
    s[kSnowSurfaceTemperature] = Data(surface_temperature_index_)[row][column];
    s[kGroundAlbedo] = Data(snow_albedo_index_)[row][column];
    s[kBalanceRadiation] = Data(radiation_index_)[row][column];
    s[kCanopyAlbedo] = previous_albedo;
    s[kCanopyTemperature] = s[kAirTemperature] + 0.5;
    const double old = balance_grids[kBalanceTemperatureOld][row][column];
    s[kPreviousCanopyTemperature] = old == 0.0 ? s[kAirTemperature] + 0.5 : old;
    if (Data(snow_storage_index_)[row][column] > 0.0) {
      CanopyTemperature(s);
      balance_grids[kBalanceResidual][row][column] = s[kResidual];
      balance_grids[kBalanceTemperature][row][column] = s[kCanopyTemperature];
      balance_grids[kBalanceTemperatureOld][row][column] = s[kCanopyTemperature];
      balance_grids[kBalanceDifference][row][column] = s[kTemperatureDifference];
    } else {
      balance_grids[kBalanceResidual][row][column] = 0.0;
      balance_grids[kBalanceTemperature][row][column] = s[kAirTemperature];
      balance_grids[kBalanceTemperatureOld][row][column] = s[kAirTemperature];
      balance_grids[kBalanceDifference][row][column] = 0.0;
    }
  }

  canopy_grids[kCanopyLiquidOutput][row][column] = s[kRainfall];
  canopy_grids[kCanopySolidOutput][row][column] = s[kSnowfall];
  canopy_grids[kCanopyTemperatureGrid][row][column] = s[kAirTemperature] - kCelsiusToKelvin;
  canopy_grids[kCanopyHumidity][row][column] = s[kHumidity] / 100.0;
  canopy_grids[kCanopyRadiation][row][column] = s[kShortwave];
  canopy_grids[kCanopyWind][row][column] = s[kWind];
  canopy_grids[kCanopyLongwave][row][column] = s[kLongwave];
  canopy_grids[kCanopyAlbedo][row][column] = s[kAlbedo];
  canopy_grids[kCanopyLoad][row][column] = s[kLoad];
  canopy_grids[kCanopyAge][row][column] = s[kAge];
  canopy_grids[kCanopySublimation][row][column] = s[kSublimation];
  return s[kRainfall];
}

void interzeptionsmodellklasse::SkipCanopy(long row, long column, double input) {
  const double air_temperature = Data(temperature_index_)[row][column];
  canopy_grids[kCanopyLiquidOutput][row][column] = input;
  canopy_grids[kCanopySolidOutput][row][column] = 0.0;
  canopy_grids[kCanopyTemperatureGrid][row][column] = air_temperature;
  canopy_grids[kCanopyHumidity][row][column] = Data(humidity_index_)[row][column];
  canopy_grids[kCanopyRadiation][row][column] = Data(radiation_index_)[row][column];
  canopy_grids[kCanopyWind][row][column] = Data(wind_index_)[row][column];
  canopy_grids[kCanopyLongwave][row][column] = 0.0;
  canopy_grids[kCanopyAlbedo][row][column] = 0.2;
  canopy_grids[kCanopyLoad][row][column] = 0.0;
  canopy_grids[kCanopyAge][row][column] = 0.0;
  canopy_grids[kCanopySublimation][row][column] = 0.0;
  if (!energy_balance) return;
  balance_grids[kBalanceResidual][row][column] = 0.0;
  balance_grids[kBalanceTemperature][row][column] = air_temperature + 273.15;
  balance_grids[kBalanceTemperatureOld][row][column] = air_temperature + 273.15;
  balance_grids[kBalanceDifference][row][column] = 0.0;
}

// Tracer masses of the one-layer storage: the input concentration enters with the water, the
// covered part is stored, and an overflow carries its proportional share of the stored mass on.
void interzeptionsmodellklasse::CarryTracers(long row, long column, const CellWork& work) {
  const InterceptionLayer& layer = work.layers[0];
  const double stored_input = layer.cover * layer.input;
  const double direct = (1.0 - layer.cover) * layer.input;
  const double filled = work.storage_before + stored_input;  // before the overflow
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    double& mass = block.concentration.get()[row][column];
    double& flux = block.flux.get()[row][column];
    const double concentration = Data(tracer_input_index_[t])[row][column];
    if (tracer_definitions[t].radioactive != 0) mass *= block.decay_factor;
    flux = concentration * direct;
    mass += concentration * stored_input;
    if (layer.overflow > 0.0 && filled > 0.0) {
      const double moved = mass * layer.overflow / filled;
      mass -= moved;
      flux += moved;
    }
    flux = layer.throughfall > 0.0 ? flux / layer.throughfall : 0.0;
  }
}

// The statistics of every own cell, weighted by its share without glacier; the glacier share
// adds nothing held or evaporated and the whole water input as the water reaching the ground.
// Tables hold no lock: one thread adds, in row order.
void interzeptionsmodellklasse::AddStatistics() {
  double** input = Data(water_input_index_);
  for (int32_t r = first_local_row; r <= last_local_row; ++r) {
    for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!Computed(r, c)) continue;
      const int32_t zone = zone_code_index[static_cast<int32_t>(zone_grid[r][c])];
      const double glacier = GlacierShare(r, c);
      const double weight = 1.0 - glacier;
      for (int32_t i = 0; i <= layer_count; ++i) {
        std::array<Table, 3>& tables = layer_tables_[i];
        if (weight > 0.0) {
          tables[0].table->AddValue(r, c, zone, evaporation[i][r][c], weight);
          tables[1].table->AddValue(r, c, zone, storage[i][r][c], weight);
          tables[2].table->AddValue(r, c, zone, throughfall[i][r][c], weight);
        }
        if (glacier > 0.0) {
          tables[0].table->AddValue(r, c, zone, 0.0, glacier);
          tables[1].table->AddValue(r, c, zone, 0.0, glacier);
          tables[2].table->AddValue(r, c, zone, i == 0 ? input[r][c] : 0.0, glacier);
        }
      }
      if (weight > 0.0) {
        for (int g = 0; g < kCanopyGridCount; ++g)
          if (canopy_tables_[g].table)
            canopy_tables_[g].table->AddValue(r, c, zone, canopy_grids[g][r][c], weight);
        for (int g = 0; g < kBalanceGridCount; ++g)
          if (balance_tables_[g].table)
            balance_tables_[g].table->AddValue(r, c, zone, balance_grids[g][r][c], weight);
      }
      if (layer_count != 1) continue;
      for (int32_t t = 1; t <= tracer_count; ++t) {
        zonalstatistic* table = tracer_blocks[t].statistics.get();
        if (table == nullptr) continue;
        if (weight > 0.0)
          table->AddValue(r, c, zone, tracer_blocks[t].concentration.get()[r][c], weight);
        if (glacier > 0.0) table->AddValue(r, c, zone, 0.0, glacier);
      }
    }
  }
}

void interzeptionsmodellklasse::FinishStep() {
  const ModelDate& d = step_date;
  for (int32_t i = 0; i <= layer_count; ++i) {
    for (Table& table : layer_tables_[i])
      table.table->CollectStep(d.year, d.month, d.day, d.hour, 1);
    WriteGridOutput(evaporation_index_[i], 1, false);
    WriteGridOutput(storage_index_[i], 1, false);
    WriteGridOutput(throughfall_index_[i], 1, false);
  }
  if (canopy_snow) {
    for (int g = 0; g < kCanopyGridCount; ++g) {
      WriteGridOutput(canopy_index_[g], 1, false);
      if (canopy_tables_[g].table)
        canopy_tables_[g].table->CollectStep(d.year, d.month, d.day, d.hour, 1);
    }
  }
  if (energy_balance) {
    for (int g = 0; g < kBalanceGridCount; ++g) {
      WriteGridOutput(balance_index_[g], 1, false);
      balance_tables_[g].table->CollectStep(d.year, d.month, d.day, d.hour, 1);
    }
  }
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    if (block.statistics) block.statistics->CollectStep(d.year, d.month, d.day, d.hour, 1);
    if (block.concentration_index > 0) WriteGridOutput(block.concentration_index, 1, false);
  }
  if (canopy_snow) last_push_date = {d.hour, d.day, d.month, d.year};
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
  }
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn

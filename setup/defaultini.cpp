// defaultini: construction, compilation of the control file, hand-out of the settings and
// release.
#include "setup/defaultini.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "grids/mpi_exchange.h"
#include "setup/control_file_compiler.h"
#include "version.h"

namespace velorn {

namespace {

// Date and time of this build as the banner shows them ("YYYY-MM-DD", "HH:MM:SS").
std::pair<std::string, std::string> BuildDateAndTime() {
  const std::string stamp = VELORN_BUILD_TIME;
  const std::size_t blank = stamp.find(' ');
  if (blank == std::string::npos) return {stamp, std::string()};
  return {stamp.substr(0, blank), stamp.substr(blank + 1)};
}

// Name of the stack written at the end of the run: "<file name>_End".
std::string EndStackName(const std::string& file_name) {
  const int length = std::snprintf(nullptr, 0, "%s_End", file_name.c_str());
  std::string name(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  std::snprintf(name.data(), name.size(), "%s_End", file_name.c_str());
  name.resize(name.size() - 1);
  return name;
}

}  // namespace

defaultini::defaultini(int32_t& error_code, DiagnosticStream* diag_stream,
                       const std::string& control_file_name_arg,
                       ZoneStatisticsRecord* statistics_registry_arg,
                       int32_t statistics_capacity_arg, int32_t model_variant_arg,
                       GridRegistry** registry_pointer)
    : modelobject(diag_stream, control_file_name_arg, 0, false, false, false, "", "", nullptr, 0,
                  nullptr),
      statistics_registry(statistics_registry_arg),
      statistics_capacity(statistics_capacity_arg),
      model_variant(model_variant_arg) {
  error_code = 0;
  error_code = CaptureErrorCode([&] { Construct(registry_pointer); });
}

defaultini::~defaultini() = default;

void defaultini::Construct(GridRegistry** registry_pointer) {
  const auto [date, time] = BuildDateAndTime();
  Diag() << "file "
         << "defltuzr"
         << ", compiled at " << date << ", " << time << "[end-entry]";
  SetModuleName("defaults");
  registry = registry_pointer != nullptr ? *registry_pointer : nullptr;
  compiled_control_file_name.clear();
  setup_step = 0;
  landuse_layers.assign(1, nullptr);
}

void defaultini::CompileControlFileSymbols(const std::string& name, std::string& compiled_name) {
  compiled_name = CompileOnRankZero(Diag(), name);
  // From here on every reader of the object works on the compiled file.
  compiled_control_file_name = compiled_name;
  control_file_name = compiled_name;
}

int32_t defaultini::GetModelSettings(ModelSettings& settings) {
  const OutputSettings& out = output_settings;
  settings.compiled_control_file_name = compiled_control_file_name;
  compiled_control_file_name.clear();
  compiled_control_file_name.shrink_to_fit();

  settings.output_control = out.output_control;
  settings.no_station_warning = out.no_station_warning;
  settings.third_output_value = out.third_output_value;
  settings.min_to_int_end = out.min_to_int_end;
  settings.meteo_count = out.meteo_count;
  settings.latitude = out.latitude;
  settings.longitude = out.longitude;
  settings.reference_meridian = out.reference_meridian;
  settings.time_shift = out.time_shift;
  settings.meteo_names = out.meteo_names;
  settings.output_list_count = out.output_list_count;
  settings.output_list_codes =
      out.output_list_codes.empty() ? nullptr : output_settings.output_list_codes.data();

  settings.registered_grid_count = registered_grid_count;
  settings.zone_code_index = zone_code_index;
  settings.zone_table = zone_table;
  settings.column_ranges = column_ranges;
  settings.zone_count = zone_count;
  settings.highest_zone_code = highest_zone_code;
  settings.region_table = region_table;
  settings.region_count = region_count;
  settings.highest_region_code = highest_region_code;
  settings.region_code_index =
      region_codes_to_index.empty() ? nullptr : region_codes_to_index.data();

  static_cast<ModelGridGeometry&>(settings) = static_cast<const ModelGridGeometry&>(*this);
  settings.start_date = start_date;
  settings.end_date = end_date;

  settings.landuse_table = landuse_table;
  settings.soil_table = soil_table;
  settings.irrigation_table = model_variant == 2 ? irrigation_table.get() : nullptr;
  settings.multilayer_landuse_table = multilayer_landuse_table;

  settings.write_ascii = out.write_ascii;
  settings.write_double = out.write_double;
  settings.write_netcdf = out.write_netcdf;
  settings.initial_state_directory = out.initial_state_directory;
  settings.default_output_directory = out.default_output_directory;
  settings.mpi_layout = &decomposition.layout;
  return 0;
}

void defaultini::ReleaseTables() {
  irrigation_table.reset();
  irrigation_flag = 0;
  std::vector<double**>().swap(landuse_layers);
  landuse_layer_count = 0;
  landuse_grids.reset();
  multilayer_landuse_table = nullptr;
  std::vector<MultilayerLanduseRecord>().swap(multilayer_landuse_records);
  landuse_table = nullptr;
  std::vector<LanduseRecord>().swap(landuse_records);
  soil_table = nullptr;
  std::vector<SoilRecord>().swap(soil_records);
}

// The stack kept to the end of the run, written with every level it holds (0..level count):
// more levels would read past each cell's values and give a file that does not read back. As
// in the write-code output, ASCII and netCDF stacks are gathered to process 0 first so that the
// file holds every process's cells. The stack's data are released here, so the release of the
// registered grids does not meet them again.
void defaultini::WriteKeptStack() {
  const int index = kept_stack_entry;
  kept_stack_entry = 0;
  if (index <= 0 || index > kLastGridIndex || registry == nullptr) return;
  GridEntry& entry = (*registry)[index];
  if (entry.stack == nullptr || !entry.file_name) return;
  const int levels = entry.level_count;
  {
    StackMatrix gathered;
    if (size >= 2 && (write_ascii || write_netcdf))
      gathered = ::velorn::MPIGatherStackCopy(Diag(), mpi, entry.stack, levels,
                                              entry.identifier.value_or(""));
    double*** data = gathered ? gathered.get() : entry.stack;
    WriteStack(EndStackName(*entry.file_name), data, levels, write_ascii, write_double,
               write_netcdf);
  }
  ::velorn::Free3dMatrix(entry.stack);
  entry.stack = nullptr;
}

void defaultini::ReleaseRegisteredGrids() {
  if (registry == nullptr) return;
  const int last = std::min<int>(2 + std::max<int32_t>(registered_grid_count, 0), kLastGridIndex);
  for (int index = 1; index <= last; ++index) {
    GridEntry& entry = (*registry)[index];
    if (entry.IsFree() && entry.grid == nullptr && entry.stack == nullptr) continue;
    // The decomposition grids belong to the MPI layout, which frees them itself.
    const bool layout_owned =
        entry.grid != nullptr && (entry.grid == decomposition.layout.regions.get() ||
                                  entry.grid == decomposition.layout.helper.get() ||
                                  entry.grid == decomposition.layout.halo.get());
    if (!layout_owned) {
      ::velorn::FreeMatrix(entry.grid);
      ::velorn::Free3dMatrix(entry.stack);
    }
    entry.saved_copy = GridMatrix();
    UnregisterGrid(index);
    entry.statistics_file_name.reset();
    entry.period_letters.reset();
    entry.dated_file_name.clear();
  }
  registered_grid_count = 0;
  first_variable_entry = 0;
  standard_grid_count = 0;
  std::vector<int32_t>().swap(variable_read_codes);
  soil_storage_grid = nullptr;
  std::vector<CodeGridCheck>().swap(code_grid_checks);
  landuse_entry = 0;
}

void defaultini::ReleaseZoneArrays() {
  zone_table = nullptr;
  zone_code_index = nullptr;
  column_ranges = nullptr;
  zone_count = 0;
  highest_zone_code = 0;
  zone_records.clear();
  zone_codes_to_index.clear();
  column_range_table.clear();
  region_table = nullptr;
  region_count = 0;
  highest_region_code = 0;
  region_codes_to_index.clear();
  std::vector<RegionRecord>().swap(region_records);
  output_list_count = 0;
  output_list_codes = nullptr;
  output_settings = OutputSettings{};
}

void defaultini::ReleaseMemory() {
  coupling = CouplingSettings{};
  decomposition.river_links = RiverLinkSet{};
  ReleaseTables();
  // A failed write of the statistics tables or of the kept stack (its FATAL entry is written)
  // still lets the release free everything; the first failure is passed on afterwards.
  std::exception_ptr write_failure;
  for (auto step : {&defaultini::ReleaseStandardGridStatistics, &defaultini::WriteKeptStack}) {
    try {
      (this->*step)();
    } catch (...) {
      if (!write_failure) write_failure = std::current_exception();
    }
  }
  ReleaseRegisteredGrids();
  ReleaseZoneArrays();
  // The decomposition grids go with the layout, once no registry entry refers to them.
  decomposition = RegionDecomposition{};
  mpi = nullptr;
  owner_grid = strip_table = nullptr;
  zone_data = elevation_data = relative_cell_area = nullptr;
  derived = DerivedGridFields{};
  output_directory.clear();
  input_directory.clear();
  modelobject::ReleaseMemory();
  if (write_failure) std::rethrow_exception(write_failure);
}

}  // namespace velorn

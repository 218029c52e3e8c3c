// ModelSettings: the global settings of one run as the settings object hands them out.
//
// `defaultini::GetModelSettings` fills one ModelSettings once, after the set-up is complete;
// the application keeps it and passes its values to the interpolators and sub-models. Texts and
// the meteorological names are copies; every pointer is shared: the tables, zone arrays and the
// MPI layout stay owned by the settings object and live until its release.
//
// Dates use ModelDate (year, month, day, hour); a directory that the control file does not give
// is empty; `output_list_codes` is null when the output list is empty. Arrays follow the
// model's 1-based convention (element 0 unused) unless said otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/model_date.h"
#include "core/zone_types.h"

namespace velorn {

struct IrrigationTable;
struct LanduseRecord;
struct MultilayerLanduseRecord;
struct SoilRecord;
struct RegionRecord;
struct MpiLayout;

// What [output_interval], [output_list], [coordinates], [meteo_data_count] and [meteo_names]
// hold after defaultini::ReadOutputSettings.
struct OutputSettings {
  int32_t output_control = 0;      // report interval in hours
  int32_t no_station_warning = 0;  // 0 or 1
  int32_t third_output_value = 0;  // read and handed out; nothing uses it
  double min_to_int_end = 0;       // minutes from the data hour to the end of the step, >= 0
  bool write_ascii = false;
  bool write_double = false;
  bool write_netcdf = false;
  std::string initial_state_directory;  // empty: not given
  std::string default_output_directory;
  int32_t output_list_count = 0;
  std::vector<int32_t> output_list_codes;  // 1..count (strictly rising); empty for count <= 0
  double latitude = 0;
  double longitude = 0;
  double reference_meridian = 0;
  double time_shift = 0;  // of data time to local time, hours
  int32_t meteo_count = 0;
  std::vector<std::string> meteo_names;  // 1..meteo_count; element 0 empty
};

// The grid geometry and this process's rows are the fields of the ModelGridGeometry base.
struct ModelSettings : ModelGridGeometry {
  std::string compiled_control_file_name;
  // [output_interval]
  int32_t output_control = 0;
  int32_t no_station_warning = 0;
  int32_t third_output_value = 0;
  double min_to_int_end = 0;
  // [meteo_data_count], [coordinates], [meteo_names]
  int32_t meteo_count = 0;
  double latitude = 0;
  double longitude = 0;
  double reference_meridian = 0;
  double time_shift = 0;
  std::vector<std::string> meteo_names;
  // [output_list]
  int32_t output_list_count = 0;
  int32_t* output_list_codes = nullptr;
  // Grids the settings object registered beyond the zone grid and the elevation model.
  int32_t registered_grid_count = 0;
  // Zone ranking.
  int32_t* zone_code_index = nullptr;
  ZoneRecord* zone_table = nullptr;
  ColumnRange* column_ranges = nullptr;
  int32_t zone_count = 0;
  int32_t highest_zone_code = 0;
  // Region ranking.
  RegionRecord* region_table = nullptr;
  int32_t region_count = 0;
  int32_t highest_region_code = 0;
  int32_t* region_code_index = nullptr;
  // [model_time]
  ModelDate start_date;
  ModelDate end_date;
  // Tables (the irrigation table only for model variant 2).
  LanduseRecord* landuse_table = nullptr;
  SoilRecord* soil_table = nullptr;
  const IrrigationTable* irrigation_table = nullptr;
  MultilayerLanduseRecord* multilayer_landuse_table = nullptr;
  // Grid output formats and directories of [output_interval].
  bool write_ascii = false;
  bool write_double = false;
  bool write_netcdf = false;
  std::string initial_state_directory;
  std::string default_output_directory;
  // Region decomposition of this process: cell counts, send and receive lists, strip table.
  MpiLayout* mpi_layout = nullptr;
};

}  // namespace velorn

// SubModelSetup: the shared values that the application hands to every sub-model constructor.
//
// Every sub-model (radiation correction, evapotranspiration, interception, snow, silting-up,
// unsaturated zone, surface routing, irrigation, groundwater, discharge routing, regional
// superposition, data assimilation, special output) takes one SubModelSetup plus its own few
// extra arguments and passes the struct on to the sub-model base (core/submodel.h), which
// copies the values into its modelobject fields. The application fills one struct once from the
// settings object (setup/model_settings.h) and the two registries, and passes the same struct
// to all sub-models of the run.
//
// Pointers are shared, not owned: the registry, the zone arrays, the MPI layout and the tables
// belong to the application or the settings object and outlive the sub-models. Arrays follow the
// model's 1-based convention (element 0 unused) unless said otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/model_date.h"
#include "core/zone_types.h"

namespace velorn {

class DiagnosticStream;
class GridRegistry;
struct MpiLayout;
struct HruRecord;
struct ZoneStatisticsRecord;
struct LanduseRecord;
struct SoilRecord;
struct MultilayerLanduseRecord;

// The grid geometry and this process's rows are the base's fields (ncols, nrows, first_local_row,
// last_local_row, xll, yll, cellsize, nodata).
struct SubModelSetup : ModelGridGeometry {
  DiagnosticStream* diag = nullptr;
  std::string control_file_name;  // the compiled control file, read by every sub-model

  // [output_interval]: hours between the DEBUG lines of RunStep (1 or less: every step), and the
  // minutes from the hour of the meteorological data to the end of the time step.
  int32_t report_interval = 1;
  double min_to_int_end = 0;
  // [output_list]: zone codes 1..count for the zone statistics (null when the list is empty);
  // the base writes the count into element 0.
  int32_t output_list_count = 0;
  int32_t* output_list_codes = nullptr;

  // Grid registry of the run and the zone statistics records with their capacity.
  GridRegistry* registry = nullptr;
  ZoneStatisticsRecord* zone_statistics = nullptr;
  int32_t zone_statistics_capacity = 0;

  // Zone ranking of the main zone grid: code-to-index array (the base leaves a sub-model
  // without it switched off), records 0..zone_count, column ranges of rows 1..nrows.
  int32_t* zone_code_index = nullptr;
  ZoneRecord* zone_table = nullptr;
  ColumnRange* column_ranges = nullptr;
  int32_t zone_count = 0;
  int32_t highest_zone_code = 0;

  // First date of the run (progress lines count their report interval from it) and its last
  // date (the discharge routing model gets the start date here instead).
  ModelDate start_date;
  ModelDate end_date;

  // [coordinates]: degrees of the basin's centre and of the meridian of its clock time, and the
  // shift of the data time to local time in hours.
  double latitude = 0;
  double longitude = 0;
  double reference_meridian = 0;
  double coordinates_time_shift = 0;

  // Grid output formats and directories (empty: no prefix).
  bool write_ascii = false;
  bool write_double = false;
  bool write_netcdf = false;
  std::string input_directory;
  std::string output_directory;

  // This process's decomposition and halo lists (null before the regions are set up).
  MpiLayout* mpi = nullptr;
  // Hydrologic response units: switch and table.
  int32_t response_unit_switch = 0;
  std::vector<HruRecord>* response_unit_table = nullptr;

  // Land-use and soil tables of the settings object.
  LanduseRecord* landuse_table = nullptr;
  SoilRecord* soil_table = nullptr;
  MultilayerLanduseRecord* multilayer_landuse_table = nullptr;
};

}  // namespace velorn

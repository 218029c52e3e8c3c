// teilmodellklasse: the base of every sub-model (radiation correction, evapotranspiration,
// interception, snow, silting-up, unsaturated zone, surface routing, irrigation, groundwater,
// discharge routing, regional superposition, data assimilation, special output).
//
// What the base does for a sub-model, in its constructor:
// - stores the shared values of SubModelSetup (core/submodel_setup.h) in the modelobject fields
//   (geometry, own rows, zone table and column ranges, registry, end date, output list, output
//   formats, directories, MPI layout) and keeps the data of registry entry 1 (the zone grid) in
//   `zone_grid` and of "RelCellArea", when registered, in `relative_cell_area`;
// - writes "DEBUG: initializing module <section>", opens the compiled control file (code 28),
//   finds the section "[<section>]" and reads its first two lines: "flow control parameter for "
//   (0 switches the sub-model off) and "time interval for " (minutes, > 0, at most 366 days and
//   not shorter than min_to_int_end, else code 63), and sets `steps_per_day`;
// - leaves `control_file` positioned after those two values when the sub-model is on; closes it
//   when it is off. An absent section switches the sub-model off silently, or ends the run with
//   code 17 when the sub-model passes `section_required`.
// During the run, RunStep(hour, day, month, year) stores the step date (`step_date`) and writes
// the step's DEBUG line; ReportFpe reports a floating-point error once; DaylightFraction fills
// the daylight fields for the step; the solar members use the base's coordinates.
//
// What a sub-model must do: pass the setup and its section name on; return at once when
// GetFlowControl() is 0; read the rest of its section from `control_file` with ReadValue /
// ReadTwoValues (core/modelobject.h, code 17 on a bad value) and close it; find its input grids
// with RequireGrid / FindGrid and register its own with RegisterGrid; run every cell loop
// through ForEachRow (core/row_loop.h) over first_local_row..last_local_row and the column range
// of each row; end a failure with ThrowFatal (core/error_code.h); report per-zone values through
// a zone statistics table on `zone_table`, weighted by `relative_cell_area` where it exists;
// free its grids in ReleaseMemory, which ends by calling the base version.
//
//   class schneemodellklasse : public teilmodellklasse {
//    public:
//     explicit schneemodellklasse(const SubModelSetup& setup)
//         : teilmodellklasse(setup, "snow_model") {
//       if (GetFlowControl() == 0) return;                     // switched off
//       ReadValue(*control_file, method, "method of snow model in ");
//       control_file->Close();
//       snow = GridMatrix(...);                                // own rows
//       RegisterGrid(registry->FirstFreeIndex(), "snow.asc", snow.get(), nullptr, 0, "snow", 1,
//                    first_local_row, last_local_row);
//       temperature = (*registry)[RequireGrid("temperature")].grid;  // FATAL 33 when absent
//     }
//     void Step(int64_t hour, int64_t day, int64_t month, int64_t year) {
//       RunStep(hour, day, month, year);
//       ForEachRow(first_local_row, last_local_row, [&](long r) {
//         for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) ...;
//       });
//     }
//   };
//
// Limits: the base reads nothing of the section beyond its first two values; the tracer
// operations (set-up, masses, mixing, release) are defined with the tracer code on the fields
// declared here. Construction and RunStep run on every process alike; no MPI call is made.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/modelobject.h"
#include "core/solar_geometry.h"
#include "core/submodel_setup.h"

namespace velorn {

struct TracerDefinition;
struct TracerBlock;
class zonalstatistic;

// The time interval of a section is not positive, longer than a year, or shorter than
// min_to_int_end.
inline constexpr int kTimeIntervalCode = 63;
// Longest time interval of a sub-model in minutes: 366 days.
inline constexpr double kMaxTimeInterval = 366.0 * 1440.0;
// Floating-point error states of a sub-model.
inline constexpr int32_t kFpeNone = 0;
inline constexpr int32_t kFpeSignalled = 1;
inline constexpr int32_t kFpeReported = 2;

class teilmodellklasse : public modelobject {
 public:
  // `section_name` is the sub-model's section without brackets (also its module name);
  // `sub_step_count` is usually 1. With `section_required` an absent section is FATAL (17),
  // without it the sub-model stays off. Codes: 28 (control file cannot be opened), 63 (time
  // interval), 17 (section or value unreadable), 1 (control-file name too long).
  teilmodellklasse(const SubModelSetup& setup, const std::string& section_name,
                   int32_t sub_step_count = 1, bool section_required = false);

  // 0: the sub-model is off; greater than 0: on.
  virtual int32_t GetFlowControl() { return flow_control; }
  // The time interval in minutes, truncated (59.9 gives 59).
  virtual int32_t GetTimeInterval() { return static_cast<int32_t>(time_interval); }
  virtual int32_t GetSubStepCount() { return sub_step_count; }
  virtual void SetSubStepCount(int32_t count) { sub_step_count = count; }
  // State 1 (signalled): writes "INFO: fpe in i1: ..." with the failing cell's indexes and
  // values and moves to 2; any other state becomes 0. One report per signal.
  virtual void ReportFpe(int32_t i1, int32_t i2, int32_t i3, int32_t i4, double a1, double a2,
                         double a3, double a4, double a5);
  // The per-step time hook: with the sub-model on, stores the date in step_date and writes
  // "<module, width 20> d.m.y h. h (time of meteo data)" as a DEBUG entry when (hour +
  // whole hours of min_to_int_end) is a multiple of the report interval (every step for an
  // interval of 1 or less).
  virtual void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year);

  // Solar geometry at the base's reference meridian and month lengths (core/solar_geometry.h;
  // mind its warning on SolarElevation, which is never negative).
  double SolarDeclination(int day, int month) const;
  double EquationOfTime(int day, int month) const;
  double SolarElevation(int day, int month, double lat, double lon, double hour) const;
  void SolarPosition(int day, int month, double lat, double lon, double hour, double& azimuth,
                     double& elevation) const;
  double CosIncidenceAngle(double a1, double z1, double a2, double z2) const;
  void SunriseSunset(int day, int month, double lat, double lon, double& sunrise,
                     double& sunset) const;
  // Hydrologic response units run without lakes: a lake switch its section turned on becomes 0,
  // with a WARNING naming this sub-model.
  void SwitchLakesOffForResponseUnits(int32_t& lake_switch);

  // Fills the daylight fields for the step stored by the last RunStep at the base's latitude
  // and longitude. A step date without a valid month (runs without meteorological input) leaves
  // them unchanged.
  void DaylightFraction();

  // Tracer bookkeeping (core/submodel_tracers.cpp, core/tracer_bookkeeping.h): per tracer the
  // concentration and flux grids, balance table, statistics table and this sub-model's decay
  // factor. SetupTracers never throws: `error` receives 0 or the failure's code (103 for a
  // failure without one). ReleaseTracers frees them, last registered first.
  virtual void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                            ZoneStatisticsRecord* statistics_registry, int32_t capacity);
  virtual double TracerMass(double concentration, double volume);
  virtual double MixConcentration(double c1, double c2, double q1, double q2);
  virtual double EnrichConcentration(double concentration, double volume, double loss);
  virtual void ReleaseTracers();
  // The frame of a sub-model's own SetupTracers: nothing while the sub-model is off; else the
  // base's set-up and, when that succeeded, `own` (the sub-model's own tracer inputs), whose
  // failure `error` receives as the base's does.
  void SetupTracersThen(int32_t& error, int32_t count, TracerDefinition* definitions,
                        ZoneStatisticsRecord* statistics_registry, int32_t capacity,
                        const std::function<void()>& own);

  // Registry index of the concentration of tracer `tracer` in this sub-model's water input: the
  // first registered grid "concflux_tracer_<tracer>_<source>" of `sources`, in their order.
  // None: 0 and an INFO entry, the water input then carries none of the tracer.
  int FindTracerInput(int32_t tracer, const std::vector<std::string>& sources);

  // A zone statistics table of this sub-model: `records` (0..zone count) receive the zone code,
  // area share and cell sum of each zone (the sums zeroed); the table sums into them with the
  // sub-model's cell weights and [output_list], in the output directory, and writes its header
  // under `header`. A failure throws its code after the table's FATAL entry.
  std::unique_ptr<zonalstatistic> MakeZoneTable(std::vector<ZoneRecord>& records,
                                                std::string file_name, int32_t code,
                                                int32_t precision, const std::string& header);

  // Zone table of the soil model's zone grid "zonegrid_soilmodel" (registered by the set-up),
  // built on process 0 and broadcast: records 0..count sorted by zone code, the code-to-index
  // array 0..highest code, and the grid's data. Collective. Codes 33 (grid missing), 3 (code
  // outside 0..32767), 4 (too many zones), 7 (no data cell). See core/zone_ranking.h.
  void RankSoilModelZones(double**& zone_grid_data, std::vector<ZoneRecord>& table,
                          std::vector<int32_t>& code_index, int32_t& count, int32_t& highest);

  // --- Fields ----------------------------------------------------------------------------------
  // Tracers: count, the run's definitions (1-based, owned by the application) and this
  // sub-model's blocks (1-based), made and released by the tracer operations.
  int32_t tracer_count = 0;
  TracerDefinition* tracer_definitions = nullptr;
  std::shared_ptr<TracerBlock[]> tracer_blocks;

  int32_t flow_control = 0;         // "flow control parameter for ": 0 off
  int32_t grid_read_parameter = 0;  // 1: initial grids are read from files
  int32_t fpe_state = kFpeNone;     // 0 none, 1 signalled, 2 reported
  double time_interval = 0;         // minutes
  double steps_per_day = 0;         // 1440 / time_interval
  int32_t sub_step_count = 1;

  // Daylight of the current step (DaylightFraction).
  double daylight_fraction = 0;
  double night_fraction = 0;
  double dark_before_sunrise = 0;  // hours
  double dark_after_sunset = 0;    // hours
  int32_t night_flag = 0;          // 1: the step counts as night
  double sunrise_hour = 0;
  double sunset_hour = 0;

  // [coordinates], degrees, and the shift of the data time to local time, hours.
  double latitude = 0;
  double longitude = 0;
  double reference_meridian = 0;
  double coordinates_time_shift = 0;
  // [0] pi, [1] degrees per radian, [2..15] the equation of time table (minutes).
  std::array<double, 16> solar_constants{};

  double** zone_grid = nullptr;  // data of registry entry 1
  // Shared tables of the application (see SubModelSetup).
  ZoneStatisticsRecord* zone_statistics = nullptr;
  int32_t zone_statistics_capacity = 0;
  LanduseRecord* landuse_table = nullptr;
  SoilRecord* soil_table = nullptr;
  MultilayerLanduseRecord* multilayer_landuse_table = nullptr;

 private:
  void StoreSharedValues(const SubModelSetup& setup);
  // Opens the control file and reads the two opening values; false when the section is absent.
  bool ReadSectionHead(bool section_required);
  void CheckTimeInterval();
};

}  // namespace velorn

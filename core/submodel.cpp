// Sub-model base: storing the shared values, reading the two opening values of the section,
// the step hook, the floating-point error report and the solar members.
#include "core/submodel.h"

#include <cmath>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/string_helpers.h"
#include "core/zone_statistics.h"

namespace velorn {

teilmodellklasse::teilmodellklasse(const SubModelSetup& setup, const std::string& section_name,
                                   int32_t sub_step_count_arg, bool section_required)
    : modelobject(setup.diag, setup.control_file_name, 0, setup.write_ascii, setup.write_double,
                  setup.write_netcdf, setup.input_directory, setup.output_directory, setup.mpi,
                  setup.response_unit_switch, setup.response_unit_table),
      sub_step_count(sub_step_count_arg) {
  if (setup.zone_code_index == nullptr) return;  // nothing to work on: the sub-model stays off
  StoreSharedValues(setup);
  SetModuleName(section_name);
  Diag() << "DEBUG: initializing module " << module_name << "[end-entry]";
  if (!ReadSectionHead(section_required)) return;
  CheckTimeInterval();
  steps_per_day = 1440.0 / time_interval;
  if (flow_control == 0) control_file->Close();
}

void teilmodellklasse::StoreSharedValues(const SubModelSetup& setup) {
  StoreSharedSetup(setup);
  if (output_list_codes != nullptr) output_list_codes[0] = output_list_count;
  end_date = setup.end_date;
  end_key = ModelTimeKey(end_date);
  if (registry != nullptr) {
    zone_grid = (*registry)[1].grid;
    const int weights = registry->Find("RelCellArea", 0);
    relative_cell_area = weights > 0 ? (*registry)[weights].grid : nullptr;
  }
  zone_statistics = setup.zone_statistics;
  zone_statistics_capacity = setup.zone_statistics_capacity;
  landuse_table = setup.landuse_table;
  soil_table = setup.soil_table;
  multilayer_landuse_table = setup.multilayer_landuse_table;
  latitude = setup.latitude;
  longitude = setup.longitude;
  reference_meridian = setup.reference_meridian;
  coordinates_time_shift = setup.coordinates_time_shift;
  solar_constants[0] = kSolarPi;
  solar_constants[1] = kDegreesPerRadian;
  for (std::size_t i = 0; i < kEquationOfTimeMinutes.size(); ++i)
    solar_constants[i + 2] = kEquationOfTimeMinutes[i];
}

bool teilmodellklasse::ReadSectionHead(bool section_required) {
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, diag)) {
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  }
  line_buffer2 = "[" + module_name + "]";
  // An optional section that is absent switches the sub-model off without a FATAL entry, but
  // not without a word: a misspelt header would otherwise leave the model off unnoticed.
  if (!FindSection(line_buffer2, section_required ? 1 : 0)) {
    Diag() << "WARNING: the control file has no section " << line_buffer2 << ": " << module_name
           << " is switched off.[end-entry]";
    control_file->Close();
    return false;
  }
  ReadValue(*control_file, flow_control, "flow control parameter for ");
  // 0 switches the model off, a value above 0 on: a negative one would leave it half on (on for
  // the model itself, off for the callers that ask for a value above 0).
  if (flow_control < 0) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, ", line_buffer2,
               ": the flow control parameter ", flow_control, " must be 0 (off) or above");
  }
  ReadValue(*control_file, time_interval, "time interval for ");
  return true;
}

void teilmodellklasse::CheckTimeInterval() {
  if (!(time_interval > 0)) {
    ThrowFatal(Diag(), kTimeIntervalCode, "FATAL: the time step ", time_interval,
               " minutes as given in the section for the module ", module_name,
               " must be greater than 0");
  }
  // No sub-model step spans more than a year: a longer one would never come round in a model
  // time range, and its day loops and integer minutes would run away.
  if (time_interval > kMaxTimeInterval) {
    ThrowFatal(Diag(), kTimeIntervalCode, "FATAL: the time step ", time_interval,
               " minutes as given in the section for the module ", module_name,
               " is longer than a year (", kMaxTimeInterval, " minutes)");
  }
  if (min_to_int_end / 60.0 > time_interval / 60.0 + 0.00001) {
    ThrowFatal(
        Diag(), kTimeIntervalCode, "FATAL: \n-------- error --------\n\nthe time step ",
        time_interval, " minutes as given in the section for the module ", module_name,
        " \nis shorter than the parameter min_to_int_end with ", min_to_int_end,
        " minutes\nfrom the [output_interval]-section which gives the shift from \nthe hour entry "
        "of meteo-data to the time step end\nthis parameter (the fourth value of the section "
        "[output_interval])\nshould be set to 0 if the hour markes the end of the time step\ne.g. "
        "like in \"1984 01 01 24\" for daily time steps -> parameter set to 0\nand it should set "
        "to the variable $time, if the hour marks the time step start\ne.g. like in \"1984 01 01 "
        "00\" for daily time steps -> parameter set to 1440 or $time\n\n-------- error --------");
  }
}

void teilmodellklasse::ReportFpe(int32_t i1, int32_t i2, int32_t i3, int32_t i4, double a1,
                                 double a2, double a3, double a4, double a5) {
  if (fpe_state != kFpeSignalled) {
    fpe_state = kFpeNone;
    return;
  }
  Diag() << "INFO: fpe in i1: " << i1 << ", i2: " << i2 << ", i3: " << i3 << ", i4: " << i4
         << "\na1: " << a1 << " a2: " << a2 << " a3: " << a3 << " a4: " << a4 << " a5: " << a5
         << "[end-entry]";
  fpe_state = kFpeReported;
}

void teilmodellklasse::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flow_control == 0) return;
  step_date = ModelDate{year, month, day, hour};
  // An interval of 1 or less (0 until set) means every step; no modulo by zero.
  if (!ReportDue(report_interval, start_date, step_date, time_shift)) return;
  std::string name = module_name;
  if (name.size() < 20) name.insert(0, 20 - name.size(), ' ');
  Diag() << "DEBUG: " << name << " " << static_cast<long long>(day) << "."
         << static_cast<long long>(month) << "." << static_cast<long long>(year) << " "
         << static_cast<long long>(hour) << ". h "
         << "(time of meteo data)"
         << "[end-entry]";
}

double teilmodellklasse::SolarDeclination(int day, int month) const {
  return velorn::SolarDeclination(day, month, month_lengths);
}

double teilmodellklasse::EquationOfTime(int day, int month) const {
  return velorn::EquationOfTime(day, month, month_lengths);
}

double teilmodellklasse::SolarElevation(int day, int month, double lat, double lon,
                                        double hour) const {
  return velorn::SolarElevation(day, month, lat, lon, hour, reference_meridian, month_lengths);
}

void teilmodellklasse::SolarPosition(int day, int month, double lat, double lon, double hour,
                                     double& azimuth, double& elevation) const {
  velorn::SolarPosition(day, month, lat, lon, hour, reference_meridian, month_lengths, azimuth,
                        elevation);
}

double teilmodellklasse::CosIncidenceAngle(double a1, double z1, double a2, double z2) const {
  return velorn::CosIncidenceAngle(a1, z1, a2, z2);
}

void teilmodellklasse::SunriseSunset(int day, int month, double lat, double lon, double& sunrise,
                                     double& sunset) const {
  const SunTimes times =
      velorn::SunriseSunset(day, month, lat, lon, reference_meridian, month_lengths);
  sunrise = times.sunrise;
  sunset = times.sunset;
}

void teilmodellklasse::DaylightFraction() {
  const int day = static_cast<int>(step_date.day);
  const int month = static_cast<int>(step_date.month);
  if (month < 1 || month > 12) return;
  const SunTimes times =
      velorn::SunriseSunset(day, month, latitude, longitude, reference_meridian, month_lengths);
  sunrise_hour = std::fmod(times.sunrise + 24.0, 24.0);
  sunset_hour = std::fmod(times.sunset + 24.0, 24.0);
  const double step_end = static_cast<double>(step_date.hour) + time_shift;
  const double interval_hours = time_interval / 60.0;
  const double step_hours = time_interval > 1440.0 ? 24.0 : interval_hours;
  const DaylightShare share = velorn::DaylightFraction(sunrise_hour, sunset_hour, times.state,
                                                       step_end, step_hours, interval_hours);
  dark_before_sunrise = share.dark_before_sunrise;
  dark_after_sunset = share.dark_after_sunset;
  night_fraction = share.night_fraction;
  daylight_fraction = share.daylight_fraction;
  night_flag = share.night_flag;
}

std::unique_ptr<zonalstatistic> teilmodellklasse::MakeZoneTable(std::vector<ZoneRecord>& records,
                                                                std::string file_name, int32_t code,
                                                                int32_t precision,
                                                                const std::string& header) {
  records.assign(static_cast<std::size_t>(zone_count) + 1, ZoneRecord{});
  for (int32_t z = 0; z <= zone_count && zone_table != nullptr; ++z)
    for (int f = 2; f < 5; ++f) records[z][f] = zone_table[z][f];
  int error = 0;
  auto table = std::make_unique<zonalstatistic>(
      error, diag, relative_cell_area, nrows, ncols, records.data(), zone_count, code, precision,
      file_name, output_directory, output_list_count, output_list_codes);
  if (error != 0) throw ErrorCode{error};
  table->WriteHeader(module_name, header, zone_statistics, zone_statistics_capacity);
  return table;
}

int teilmodellklasse::FindTracerInput(int32_t tracer, const std::vector<std::string>& sources) {
  std::string names;
  for (const std::string& source : sources) {
    // By identifier over every named entry: the flux grids of the sub-models set up before this
    // one may stand behind an entry without a grid (a stack), where the plain look-up stops.
    const std::string name = FormatText("concflux_tracer_%1d_%s", tracer, source.c_str());
    if (const int index = registry != nullptr ? registry->FindIdentifier(name) : 0) return index;
    names += (names.empty() ? "_" : ", _") + source;
  }
  Diag() << "INFO: " << module_name << ": no grid concflux_tracer_" << tracer << names
         << ": the water input carries none of tracer " << tracer << "[end-entry]";
  return 0;
}

void teilmodellklasse::SwitchLakesOffForResponseUnits(int32_t& lake_switch) {
  if (response_unit_switch == 0 || lake_switch == 0) return;
  lake_switch = 0;
  Diag() << "WARNING: " << module_name
         << ": hydrologic response units are on, so lake modelling is switched off here although"
            " [lake_model] switches it on"
         << "[end-entry]";
}

}  // namespace velorn

// Correction of precipitation for the catch deficit of the gauges (see precipitation_correction.h).
#include "meteo/precipitation_correction.h"

#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "meteo/meteo_interpolator.h"

namespace velorn {

namespace {

constexpr const char* kModuleName = "precipitation_correction";

}  // namespace

precicorrclass::precicorrclass(const SubModelSetup& setup, int32_t& error,
                               const std::vector<meteointerpol*>& interpolators_arg,
                               const std::vector<std::string>& names, int32_t zone_count_arg)
    : modelobject(setup.diag, setup.control_file_name, 0, setup.write_ascii, setup.write_double,
                  setup.write_netcdf, setup.input_directory, setup.output_directory, setup.mpi,
                  setup.response_unit_switch, setup.response_unit_table),
      interpolators(interpolators_arg) {
  error = CaptureErrorCode([&] {
    SetModuleName(kModuleName);
    static_cast<ModelGridGeometry&>(*this) = setup;
    registry = setup.registry;
    column_ranges = setup.column_ranges;
    zone_count = std::max(1, zone_count_arg);
    ReadSection();
    if (do_it == 0) return;
    SelectMode(names);
  });
}

void precicorrclass::ReadSection() {
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, diag))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  FindSection("[precipitation_correction]", 1);
  ReadValue(*control_file, do_it, "do_it fuer ");
  ReadValue(*control_file, coefficients.GT, "Grenztemperatur fuer ");
  ReadValue(*control_file, coefficients.KR, "Konstante Regen fuer ");
  ReadValue(*control_file, coefficients.AR, "Anstieg Regen fuer ");
  ReadValue(*control_file, coefficients.KS, "Konstante Schnee fuer ");
  ReadValue(*control_file, coefficients.AS, "Anstieg Schnee fuer ");
  // Catch factors of gauges lie near 1 and grow by hundredths per m/s of wind; far larger
  // values are misplaced lines and would multiply the precipitation out of any range.
  RequireRange(coefficients.GT, -50, 50, "Grenztemperatur fuer ");
  RequireRange(coefficients.KR, 0, 10, "Konstante Regen fuer ");
  RequireRange(coefficients.AR, -1, 1, "Anstieg Regen fuer ");
  RequireRange(coefficients.KS, 0, 10, "Konstante Schnee fuer ");
  RequireRange(coefficients.AS, -1, 1, "Anstieg Schnee fuer ");
  control_file->Close();
}

int precicorrclass::FindName(const std::vector<std::string>& names,
                             const std::string& wanted) const {
  for (std::size_t i = 1; i < names.size() && i < interpolators.size(); ++i)
    if (interpolators[i] != nullptr && names[i].substr(0, names[i].find(' ')) == wanted)
      return static_cast<int>(i);
  return -1;
}

void precicorrclass::SelectMode(const std::vector<std::string>& names) {
  precipitation = FindName(names, "precipitation");
  temperature = FindName(names, "temperature");
  wind = FindName(names, "wind_speed");
  if (precipitation < 0) {
    RequireGrid("precipitation");  // nothing to correct: FATAL 33
    grid_mode = true;
  } else if (interpolators[precipitation]->method == 9) {
    grid_mode = true;  // grids read from files have no stations to correct
  }
  // A helper variable without an interpolator comes from a grid, or is absent.
  const auto helper = [&](int k, const char* grid, bool& absent) {
    if (k < 0) {
      if (FindGrid(grid, 0) > 0)
        grid_mode = true;
      else
        absent = true;
    } else if (interpolators[k]->method == 9) {
      grid_mode = true;
    }
  };
  helper(temperature, "temperature", no_temperature);
  helper(wind, "wind_speed", no_wind);
  if (grid_mode) return;
  const meteointerpol& p = *interpolators[precipitation];
  precipitation_method = p.method;
  station_count = (p.method == 2 || p.method == 10) ? 1 : p.station_files[0].count;
  station_temperature = AllocateArray<double>(static_cast<std::size_t>(station_count) + 1, 1);
  station_wind = AllocateArray<double>(static_cast<std::size_t>(station_count) + 1, 2);
}

// Point interpolation needs a buffer of the largest station count plus one.
std::size_t precicorrclass::PointBufferLength() const {
  std::size_t longest = 1;
  for (int k : {temperature, wind})
    if (k >= 0)
      for (const StationFile& file : interpolators[k]->station_files)
        longest = std::max(longest, static_cast<std::size_t>(file.count) + 1);
  return longest;
}

double precicorrclass::TemperatureAt(double x, double y, double z,
                                     std::vector<double>& buffer) const {
  if (temperature < 0) return coefficients.GT + 1;
  meteointerpol& t = *interpolators[temperature];
  const double v = t.InterpolateAtPoint(x, y, z, buffer.data());
  return v <= -t.nodata_value ? coefficients.GT + 1 : v;
}

double precicorrclass::WindAt(double x, double y, double z, std::vector<double>& buffer) const {
  if (wind < 0) return 0.0;
  meteointerpol& w = *interpolators[wind];
  const double v = w.InterpolateAtPoint(x, y, z, buffer.data());
  return v <= -w.nodata_value ? 0.0 : v;
}

void precicorrclass::CorrectStationValues() {
  if (do_it == 0 || grid_mode) return;
  meteointerpol& p = *interpolators[precipitation];
  std::vector<double> buffer = AllocateArray<double>(PointBufferLength(), 3);
  if (precipitation_method != 2 && precipitation_method != 10) {
    StationFile& stations = p.station_files[0];
    for (int i = 1; i <= station_count; ++i) {
      station_temperature[i] =
          TemperatureAt(stations.x[i], stations.y[i], stations.altitude[i], buffer);
      station_wind[i] = WindAt(stations.x[i], stations.y[i], stations.altitude[i], buffer);
      double& v = stations.values[i];
      if (v > -p.nodata_value)
        v *= CorrectionFactor(coefficients, station_temperature[i], station_wind[i]);
    }
    // Different factors make a uniform record uneven.
    p.UpdateUniformFlag(0);
  }
  if (precipitation_method == 2 || precipitation_method == 3 || precipitation_method == 10 ||
      precipitation_method == 11)
    CorrectRegression();
}

void precicorrclass::CorrectRegression() {
  meteointerpol& p = *interpolators[precipitation];
  RegressionZoneParameters zone = p.GetRegressionParameters(1);
  if (zone.B[1] < -p.nodata_value) return;
  std::vector<double> buffer = AllocateArray<double>(PointBufferLength(), 4);
  // Only the altitude counts: the point has no coordinates.
  auto factor = [&](double h) {
    const double t = TemperatureAt(nodata, nodata, h, buffer);
    const double w = WindAt(nodata, nodata, h, buffer);
    return CorrectionFactor(coefficients, t, w);
  };
  CorrectRegressionLines(zone, MaxCorrectionAltitude, p.nodata_value, factor);
  p.SetRegressionParameters(1, zone.B, zone.A, zone.ZU);
}

void precicorrclass::CorrectGrid() {
  if (do_it == 0) return;
  double** p = (*registry)[RequireGrid("precipitation")].grid;
  const int t_index = FindGrid("temperature", 0), w_index = FindGrid("wind_speed", 0);
  const int owner_index = FindGrid("MPIRegions", 0);
  double** t = t_index > 0 ? (*registry)[t_index].grid : nullptr;
  double** w = w_index > 0 ? (*registry)[w_index].grid : nullptr;
  double** owner = owner_index > 0 ? (*registry)[owner_index].grid : nullptr;
  // Values at or below the threshold are missing and stay as they are.
  const double threshold =
      precipitation >= 0 ? -interpolators[precipitation]->nodata_value : nodata;
  if (!raw_) raw_ = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  const bool renewed = GridRenewed((*registry)[RequireGrid("precipitation")]);
  ForEachRow(first_local_row, last_local_row,
             [&](long row) { CorrectGridRow(row, p, t, w, owner, threshold, renewed); });
  first_grid_step_ = false;
}

// An interpolator (or the regional superposition) writes its grid in every step; a grid read
// from files is new when it was read again under a new dated name, or restored to its first
// values, since the last correction.
bool precicorrclass::GridRenewed(const GridEntry& entry) {
  const bool restored = restore_was_pending_ && !entry.restore_pending;
  const bool read = entry.dated_file_name != last_read_name_;
  last_read_name_ = entry.dated_file_name;
  restore_was_pending_ = entry.restore_pending;
  return first_grid_step_ || precipitation >= 0 || grid_made_every_step_ || restored || read;
}

void precicorrclass::CorrectGridRow(int64_t r, double** p, double** t, double** w, double** owner,
                                    double threshold, bool renewed) {
  const int64_t first = column_ranges != nullptr ? column_ranges[r].first : 1;
  const int64_t last = column_ranges != nullptr ? column_ranges[r].last : ncols;
  for (int64_t c = first; c <= last; ++c) {
    if (owner != nullptr && owner[r][c] != rank) continue;
    // A grid that was not renewed holds last step's corrected values: correct the uncorrected
    // ones again.
    const double raw = renewed ? p[r][c] : raw_[r][c];
    double value = raw;
    if (raw > threshold) {
      const double temp = (t == nullptr || IsMissing(t[r][c])) ? coefficients.GT + 1 : t[r][c];
      const double wind_speed = (w == nullptr || IsMissing(w[r][c])) ? 0.0 : w[r][c];
      value = raw * CorrectionFactor(coefficients, temp, wind_speed);
    }
    p[r][c] = value;
    raw_[r][c] = raw;
  }
}

void precicorrclass::ReleaseMemory() {
  station_temperature.clear();
  station_wind.clear();
  raw_ = GridMatrix();
  modelobject::ReleaseMemory();
}

}  // namespace velorn

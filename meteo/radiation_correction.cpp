// Radiation and temperature correction: set-up of the section and the grids, the step with its
// sub-intervals, shading scan and factors.
#include "meteo/radiation_correction.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "grids/mpi_exchange.h"
#include "meteo/radiation_correction_formulas.h"
#include "version.h"

namespace velorn {
namespace {

// Steps longer than this (minutes) keep their own night temperature.
constexpr double kNightTemperatureInterval = 720.0;
// Sunshine weight of the temperature correction without a sunshine grid.
constexpr double kDefaultSunshineWeight = 0.5;
constexpr double kRadiansPerDegreeOfModel = kSolarPi / 180.0;

}  // namespace

expokorrklasse::expokorrklasse(int32_t& error, const SubModelSetup& setup)
    : teilmodellklasse(setup, "radiation_correction") {
  error = 0;
  try {
    if (registry == nullptr) return;
    if (const int regions = FindGrid("MPIRegions", 0)) owner_grid = Data(regions);
    if (const int helper = FindGrid("MPIHelper", 0)) strip_table = Data(helper);
    if (GetFlowControl() != 0) {
      ReadSettings();
      if (control_file) control_file->Close();
      elevation_index = RequireGrid("[elevation_model]");
      aspect_index = RequireGrid("slope_aspect");
      slope_index = RequireGrid("slope_angle");
      if (response_unit_switch != 0) {
        RequireGrid("HydrologicResponseUnits");
        master_unit_index = RequireGrid("MasterHydrologicResponseUnits");
      }
      sunshine_index = FindGrid("sunshine_duration", 0);
    }
    temperature_index = FindGrid("temperature", 0);
    if (temperature_index == 0) temperature_index = FindGrid("temperature_14", 0);
    if (GetFlowControl() != 0) RegisterOwnGrids();
    SetUpNightTemperature();
  } catch (const ErrorCode& failure) {
    error = failure.code;
  } catch (const std::exception& failure) {
    Diag() << "FATAL: " << module_name << ": " << failure.what() << "[end-entry]";
    error = kConstructionFailureCode;
  }
}

void expokorrklasse::ReadSettings() {
  std::string stamp = VELORN_BUILD_TIME;
  if (const std::size_t blank = stamp.find(' '); blank != std::string::npos)
    stamp.replace(blank, 1, ", ");
  Diag() << "file expokorr, compiled at " << stamp << "[end-entry]";
  ControlFileReader& file = *control_file;
  ReadValue(file, method, "methode of correction for ");
  ReadValue(file, tkorr_file_name, "name of the TKORR-Grid for");
  ReadValue(file, corr_temperature_write_code, "Writegrid EXKORR for ");
  ReadValue(file, temperature_scaling, "scaling factor for Tkorr for ");
  ReadValue(file, exkorr_file_name, "name of the EXKORR-Grids for");
  ReadValue(file, radiation_correction_write_code, "Writegrid EXKORR for ");
  ReadValue(file, shape_file_name, "name of the SHAPE-Grid for");
  ReadValue(file, shadow_write_code, "Writegrid SHAPE for ");
  ReadValue(file, step_divisor, "number if timesteps for ");
  ReadValue(file, splittings, "number of splittings for ");
  // Without a sub-interval there is nothing to integrate; the factors would silently be 0.
  if (splittings < 1) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", module_name,
               ": the number of splittings must be 1 or more, read ", splittings);
  }
  // At most one sub-interval per minute of a day; the scaling is kelvin per unit of the log of
  // the correction factor, a few kelvin in practice.
  RequireRange(splittings, 1, 1440, "number of splittings for ");
  RequireRange(temperature_scaling, -100, 100, "scaling factor for Tkorr for ");
  if (method < 1 || method > 4) method = 2;
  step_counter = step_divisor;
  shading_ = (method == 1 || method == 2) && response_unit_switch == 0;
  scan_first_row = first_local_row;
  scan_last_row = last_local_row;
}

GridMatrix expokorrklasse::OwnGrid(int32_t first, int32_t last) const {
  GridMatrix grid(*diag, first, last, ncols, nrows);
  double** elevation = Data(elevation_index);
  for (int32_t r = first; r <= last; ++r)
    for (int32_t c = 1; c <= ncols; ++c)
      grid[r][c] = elevation != nullptr && IsNodata(elevation[r][c], nodata) ? nodata : 0.0;
  return grid;
}

int expokorrklasse::RegisterNext(const std::string& file_name, GridMatrix& grid,
                                 const std::string& identifier, int32_t write_code) {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex) {
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid left", " (", kRefusedGridIndex, ")");
  }
  RegisterGrid(index, file_name, grid.get(), nullptr, 0, identifier, write_code, grid.first_row(),
               grid.last_row());
  return index;
}

void expokorrklasse::RegisterOwnGrids() {
  // Every process scans from a copy of process 0's whole elevation model (the set-up keeps it
  // whole there).
  if (shading_ && rank == 0) {
    const GridEntry& elevation = (*registry)[elevation_index];
    if (elevation.grid == nullptr || elevation.first_row > 1 || elevation.last_row < nrows) {
      ThrowFatal(Diag(), kGridMissingCode, "FATAL: ", module_name,
                 ": the shading scan needs every row of [elevation_model] on process 0");
    }
  }
  radiation_correction = OwnGrid(first_local_row, last_local_row);
  radiation_correction_index =
      RegisterNext(exkorr_file_name, radiation_correction, "radiation_correction",
                   radiation_correction_write_code);
  shadow = OwnGrid(scan_first_row, scan_last_row);
  shadow_index = RegisterNext(shape_file_name, shadow, "Shadow", shadow_write_code);
  ieff_max = OwnGrid(first_local_row, last_local_row);
  ieff_max_index = RegisterNext("Ieff_max", ieff_max, "Ieff_max", 0);
  if ((method == 2 || method == 4) && temperature_index != 0) {
    corr_temperature = OwnGrid(first_local_row, last_local_row);
    corr_temperature_index = RegisterNext(tkorr_file_name, corr_temperature, "corr_temperature",
                                          corr_temperature_write_code);
  }
}

void expokorrklasse::SetUpNightTemperature() {
  if (time_interval <= kNightTemperatureInterval) {
    temperature_night_index = temperature_index;
    return;
  }
  if (temperature_index == 0 || registry == nullptr) return;
  if (elevation_index == 0) elevation_index = RequireGrid("[elevation_model]");
  own_temperature_night = OwnGrid(first_local_row, last_local_row);
  temperature_night_index =
      RegisterNext("$$temperature_night$$", own_temperature_night, "temperature_night", 0);
}

double** expokorrklasse::Data(int index) const {
  return index > 0 ? (*registry)[index].grid : nullptr;
}

void expokorrklasse::FetchCellGrids() {
  elevation_data_ = Data(elevation_index);
  master_unit_data_ = Data(master_unit_index);
}

bool expokorrklasse::OwnValidCell(int64_t row, int64_t column) const {
  if (IsNodata(elevation_data_[row][column], nodata)) return false;
  if (owner_grid != nullptr && owner_grid[row][column] != static_cast<double>(rank)) return false;
  return master_unit_data_ == nullptr || IsNotNodata(master_unit_data_[row][column], nodata);
}

double** expokorrklasse::GetCorrectionGrid() {
  return flow_control == 1 ? radiation_correction.get() : nullptr;
}

void expokorrklasse::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (elevation_index == 0) return;  // neither active nor keeping a night temperature
  FetchCellGrids();
  if (own_temperature_night) {
    double** temperature = Data(temperature_index);
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
        if (OwnValidCell(r, c)) own_temperature_night[r][c] = temperature[r][c];
    });
  }
  if (GetFlowControl() == 0) return;
  if (step_counter < step_divisor) {
    ++step_counter;
    // The factors stay; the corrected temperature follows the current temperature.
    CorrectTemperature();
    return;
  }
  step_counter = 1;
  teilmodellklasse::RunStep(hour, day, month, year);
  ComputeCorrection(hour);
}

void expokorrklasse::ComputeCorrection(int64_t hour) {
  const double interval_hours = time_interval / 60.0;
  const double length = interval_hours / splittings;
  flat_sum = 0;
  const SunTimes sun =
      velorn::SunriseSunset(static_cast<int>(step_date.day), static_cast<int>(step_date.month),
                            latitude, longitude, reference_meridian, month_lengths);
  sunrise = sun.sunrise;
  sunset = sun.sunset;
  sun_state_ = sun.state;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnValidCell(r, c)) continue;
      radiation_correction[r][c] = 0;
      ieff_max[r][c] = 0;
    }
  });
  // The step ends at the data hour plus the time to the step end and the clock shift; the
  // sub-intervals fill the step before it.
  const double end = static_cast<double>(hour) + time_shift + coordinates_time_shift;
  double centre = end - interval_hours * (1.0 - 0.5 / splittings);
  for (int32_t k = 0; k < splittings; ++k, centre += length)
    AddSubInterval(centre, length, k + 1 == splittings);
  FinishFactors();
  CorrectTemperature();
  WriteGridOutput(radiation_correction_index, 1, false);
  if (corr_temperature_index != 0) WriteGridOutput(corr_temperature_index, 1, false);
}

void expokorrklasse::ResetShadow() {
  // Nothing to clear while no scan has written since the last clearing.
  if (!shadow_written_) return;
  shadow_written_ = false;
  double** elevation = elevation_data_;
  ForEachRow(scan_first_row, scan_last_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c)
      if (IsNotNodata(elevation[r][c], nodata)) shadow[r][c] = 0;
  });
}

const double* const* expokorrklasse::WholeElevation() {
  if (mpi == nullptr || !mpi->distributed()) return elevation_data_;
  if (!elevation_shared_) {
    // The elevation model does not change during a run: one copy, sent at the first scan
    // (collective: every process scans in the same sub-interval).
    elevation_shared_ = true;
    if (rank != 0) elevation_copy_ = GridMatrix(*diag, 1, nrows, ncols, nrows);
    MPIBroadcastGridRows(mpi, rank == 0 ? elevation_data_ : elevation_copy_.get(), 1, nrows);
  }
  return rank == 0 ? elevation_data_ : elevation_copy_.get();
}

void expokorrklasse::PrepareSlopeTerms() {
  if (slope_terms_ready_) return;
  slope_terms_ready_ = true;
  cos_slope_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  sin_slope_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  aspect_radians_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  double** aspect = Data(aspect_index);
  double** slope = Data(slope_index);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const double slope_radians = slope[r][c] * kRadiansPerDegreeOfModel;
      cos_slope_[r][c] = std::cos(slope_radians);
      sin_slope_[r][c] = std::sin(slope_radians);
      aspect_radians_[r][c] = aspect[r][c] * kRadiansPerDegreeOfModel;
    }
  });
}

void expokorrklasse::AddSubInterval(double centre, double length, bool last) {
  const SubIntervalDaylight light =
      SubIntervalDaylightShare(sunrise, sunset, sun_state_, centre, length);
  double azimuth = 0;
  double elevation_angle = 0;
  double cos_zenith = 1;
  double radiation = 0;
  if (!light.night) {
    SolarPosition(static_cast<int>(step_date.day), static_cast<int>(step_date.month), latitude,
                  longitude, light.sun_time, azimuth, elevation_angle);
    cos_zenith = std::cos(kSolarPi / 2.0 - elevation_angle);
    radiation = ClearSkyRadiation(light.day_fraction, length, elevation_angle);
    flat_sum += radiation * cos_zenith;
  }
  ResetShadow();
  if (!light.night && shading_) {
    // Each process marches the rays through its own rows: no shadow travels between processes.
    ShadingScanRows(WholeElevation(), nrows, ncols, nodata, cellsize, azimuth, elevation_angle,
                    scan_first_row, scan_last_row, shadow.get());
    shadow_written_ = true;
  }
  if (radiation > 0) {
    const double zenith = std::acos(std::clamp(cos_zenith, -1.0, 1.0));
    const double cos_sun_zenith = std::cos(zenith);
    const double sin_sun_zenith = std::sin(zenith);
    PrepareSlopeTerms();
    double** sunshine = Data(sunshine_index);
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (!OwnValidCell(r, c)) continue;
        const double cos_i =
            CosIncidenceFromTerms(aspect_radians_[r][c], cos_slope_[r][c], sin_slope_[r][c],
                                  azimuth, cos_sun_zenith, sin_sun_zenith);
        const bool overcast = sunshine != nullptr && sunshine[r][c] < kOvercastSunshine;
        radiation_correction[r][c] +=
            SlopeBeamShare(cos_i, cos_zenith, shadow[r][c] >= 0.5, overcast) * radiation;
      }
    });
  }
  WriteGridOutput(shadow_index, 1, !last);
}

void expokorrklasse::FinishFactors() {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnValidCell(r, c)) continue;
      ieff_max[r][c] = radiation_correction[r][c];
      radiation_correction[r][c] = flat_sum > 0 ? radiation_correction[r][c] / flat_sum : 0.0;
    }
  });
}

void expokorrklasse::CorrectTemperature() {
  if (!corr_temperature) return;
  double** temperature = Data(temperature_index);
  double** sunshine = Data(sunshine_index);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnValidCell(r, c)) {
        corr_temperature[r][c] = nodata;
        continue;
      }
      const double weight = sunshine != nullptr ? sunshine[r][c] : kDefaultSunshineWeight;
      corr_temperature[r][c] = CorrectedTemperature(temperature[r][c], radiation_correction[r][c],
                                                    flat_sum > 0, temperature_scaling, weight);
    }
  });
}

void expokorrklasse::ReleaseMemory() {
  const auto release = [&](int& index, GridMatrix& grid) {
    if (index != 0 && grid) UnregisterGrid(index);
    index = 0;
    grid = GridMatrix();
  };
  if (own_temperature_night) {
    release(temperature_night_index, own_temperature_night);
  } else {
    temperature_night_index = 0;
  }
  release(corr_temperature_index, corr_temperature);
  release(radiation_correction_index, radiation_correction);
  release(shadow_index, shadow);
  release(ieff_max_index, ieff_max);
  elevation_copy_ = GridMatrix();
  elevation_shared_ = false;
  cos_slope_ = GridMatrix();
  sin_slope_ = GridMatrix();
  aspect_radians_ = GridMatrix();
  slope_terms_ready_ = false;
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn

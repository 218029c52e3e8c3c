// The time step of meteointerpol: date check, scenarios, the cell loop with its method dispatch
// and post-processing, zone statistics, and the advance, rewind and release of the inputs.
#include <omp.h>

#include <algorithm>
#include <mutex>

#include "core/error_code.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "core/zone_statistics.h"
#include "meteo/meteo_interpolator.h"
#include "setup/response_units.h"

namespace velorn {
namespace {

std::mutex warning_mutex;

constexpr const char* kRule =
    "-----------------------------------------------------------------------------\n";

// Column of a month's scenario value (January in column 3).
std::size_t MonthColumn(int64_t month) {
  return static_cast<std::size_t>(month + 2);
}

}  // namespace

double ScenarioDayValue(const std::array<double, 16>& row, int64_t day, int64_t month,
                        int64_t year) {
  if (day < 16) {
    const int64_t previous = month == 1 ? 12 : month - 1;
    const double n = DaysInMonth(month == 1 ? year - 1 : year, previous);
    return ((n - 16.0 + day) / n) * row[MonthColumn(month)] +
           ((16.0 - day) / n) * row[MonthColumn(previous)];
  }
  const int64_t next = month == 12 ? 1 : month + 1;
  const double n = DaysInMonth(year, month);
  return ((day - 15.0) / n) * row[MonthColumn(next)] +
         ((n - day + 15.0) / n) * row[MonthColumn(month)];
}

double CombineRegressionAndIdw(double regression, bool regression_valid, double idw,
                               double fraction, double nodata_value) {
  const bool idw_valid = !IsMissingStationValue(idw, nodata_value);
  if (regression_valid && idw_valid) return (1.0 - fraction) * regression + fraction * idw;
  if (regression_valid) return regression;
  return idw_valid ? idw : MissingMarker(nodata_value);
}

double ApplyLimits(double value, const std::array<double, 5>& limits) {
  // A value that is no number never passes: it takes the replacement of the lower limit.
  if (!(value >= limits[1])) return limits[2];
  if (value > limits[3]) return limits[4];
  return value;
}

void meteointerpol::GetDate(int64_t& hour, int64_t& day, int64_t& month, int64_t& year) const {
  hour = current.hour, day = current.day, month = current.month, year = current.year;
}

// The first variable's records date the steps; the variable whose file holds the later date
// lacks the record of the earlier one (or the other holds a record too many).
void meteointerpol::CheckStepDate(int64_t hour, int64_t day, int64_t month, int64_t year) {
  const ModelDate step{year, month, day, hour};
  if (step == current) return;
  const std::string first = date_source.empty() ? "the first variable" : date_source;
  const std::string own = name + " (" + DatingFileName() + ")";
  const auto text = [](const ModelDate& d) {
    return FormatText("%ld.%ld.%ld %ld. h", static_cast<long>(d.day), static_cast<long>(d.month),
                      static_cast<long>(d.year), static_cast<long>(d.hour));
  };
  const bool first_later = ModelTimeKey(step) > ModelTimeKey(current);
  ThrowFatal(Diag(), kDateMismatchCode,
             "FATAL: the dates of the meteorological files disagree: ", first, " is at ",
             text(step), ", ", own, " at ", text(current), ": ", first_later ? first : own,
             " has no record of ", text(first_later ? current : step),
             " (a record missing there, or one too many in the other file)");
}

void meteointerpol::WriteStepMessage(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (omp_in_parallel()) return;
  if (!ReportDue(report_interval, start, ModelDate{year, month, day, hour}, time_step_hours))
    return;
  Diag() << "INFO: " << FormatText("%20s", name.c_str()) << " " << day << "." << month << "."
         << year << " " << hour << ". h " << (scenario_use == 1 ? "using scenarios!" : "")
         << "[end-entry]";
}

void meteointerpol::UpdateScenarios(int64_t day, int64_t month) {
  if (scenario_method == 5 || scenario_method == 6) {
    if (month != scenario_month) ReadScenarioGrid(static_cast<int>(month));
    return;
  }
  for (std::array<double, 16>& row : scenario_rows)
    row[15] = ScenarioDayValue(row, day, month, current.year);
}

void meteointerpol::ReadListedGrid() {
  DisableInterruptHandler();
  if (grid_name != "-9999") {
    last_grid_name = grid_name;
  } else if (last_grid_name.empty()) {
    EnableInterruptHandler();
    ThrowFatal(Diag(), kNoGridNameCode,
               "FATAL: interpolation method 9 (read from grid) no valid grid name was found "
               "(-9999 as input) and no last valid grid name present (i.e., simulation starts, "
               "when input list file contains -9999 only)");
  }
  std::string file_name = last_grid_name;
  PrefixDirectory(input_directory, file_name);
  double** grid = result.get();
  const int code =
      CodeOf([&] { ReadGrid(file_name, grid, 0, false, false, false, 1, false, false, 0.0); });
  EnableInterruptHandler();
  if (code != 0) throw ErrorCode{code};
}

void meteointerpol::InterpolateStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  CheckStepDate(hour, day, month, year);
  // The date of the result grid: dated names and the periods of the write code follow it.
  step_date = ModelDate{year, month, day, hour};
  if (!owner_looked_up) {
    const int index = FindGrid("MPIRegions", 0);
    owner = index > 0 ? (*registry)[index].grid : nullptr;
    owner_looked_up = true;
  }
  WriteStepMessage(hour, day, month, year);
  if (scenario_use == 1) UpdateScenarios(day, month);
  if (method == 7 || method == 8) ComputeSplines();
  if (method == 9) ReadListedGrid();
  statistics_table->ResetZoneSums();
  InterpolateCells();
  if (UsesResponseUnits()) {
    const UnitResults masters = MasterResults();
    CopyMasterResults(masters);
    CollectStatistics(&masters);
  } else {
    CollectStatistics(nullptr);
  }
  statistics_table->CollectStep(year, month, day, hour, 1);
}

// A cell of some zone that this process owns.
bool meteointerpol::IsOwnZoneCell(int64_t r, int64_t c) const {
  return zone_grid[r][c] != nodata && (owner == nullptr || owner[r][c] == rank);
}

bool meteointerpol::IsComputedCell(int64_t r, int64_t c) const {
  return IsOwnZoneCell(r, c) && (master_units == nullptr || master_units[r][c] != nodata);
}

// The raw value of a cell. `computed` false: the cell keeps its previous content.
// `post` false: the value is final (a record without any usable station gives M).
double meteointerpol::CellValue(int64_t r, int64_t c, double* w, bool& computed) const {
  computed = true;
  const StationFile& first = station_files[0];
  if (method == 2 || method == 10) {
    if (method == 2 && GetRegressionParameters(1).B[1] < -nodata_value) {
      computed = false;
      return 0.0;
    }
    return EvaluateRegression(r, c, cell_x[r][c], cell_y[r][c], elevation[r][c]);
  }
  if (method == 9) return result.get()[r][c];
  // Equal station values give the field at once, unless altitude or a regression file counts.
  if (first.uniform != 0 && method != 12 && method != 3 && method != 11)
    return CellValueOfUniform();
  const double x = coord_x[r][c];
  const double y = coord_y[r][c];
  auto idw = [&](const char* lead, bool warn) {
    const double v = anisotropy_ratio < 1.0 ? InverseDistanceWeightAnisotropic(0, w, x, y)
                                            : InverseDistanceWeight(0, w, x, y);
    if (warn && no_station_warning != 0 && v < -nodata_value) {
      // One whole entry at a time, whichever thread reports.
      std::lock_guard<std::mutex> lock(warning_mutex);
      Diag() << lead << x << ", y=" << y << " "
             << "no station within the specified search radius!"
             << "[end-entry]";
    }
    return v;
  };
  switch (method) {
    case 1:
      return idw("WARNING:  at x=", true);
    case 3:
    case 11: {
      const double regression =
          EvaluateRegression(r, c, cell_x[r][c], cell_y[r][c], elevation[r][c]);
      const bool valid = regression >= -nodata_value;
      return CombineRegressionAndIdw(regression, valid, idw("WARNING: at x=", true), idw_fraction,
                                     nodata_value);
    }
    case 4:
      return NearestStation(0, w, cell_x[r][c], cell_y[r][c]);
    case 5:
      return BilinearAtPoint(0, x, y, r, c);
    case 6:
      return BilinearAtPoint(0, x, y, r, c) + BilinearAtPoint(1, x, y, r, c) * elevation[r][c];
    case 12: {
      const bool fixed = upper_lapse_rate > -9998.0;
      return ThiessenElevationGradient(cell_x[r][c], cell_y[r][c], elevation[r][c], lapse_rate,
                                       fixed ? inversion_height : -9999,
                                       fixed ? upper_lapse_rate : -9999);
    }
    case 7:
    case 8: {
      // Cells without a spline value take the anisotropic IDW value.
      const double first = spline_grids[0][r][c];
      const double second = method == 8 ? spline_grids[1][r][c] : 0.0;
      if (first <= kSplineMissingMarker + 0.01 || second <= kSplineMissingMarker + 0.01)
        return idw("", false);
      return first + second * elevation[r][c];
    }
    default:
      return idw("", false);
  }
}

double meteointerpol::PostProcess(int64_t r, int64_t c, double value) const {
  value = ApplyLimits(value * scaling_factor, limits);
  if (scenario_use == 1) {
    const double s = ScenarioValueAt(r, c, coord_x[r][c], coord_y[r][c]);
    value = (scenario_method == 1 || scenario_method == 6) ? value + s : value * s;
  }
  if (scaling_grid != nullptr) value *= scaling_grid[r][c];
  return value;
}

// Later records without values hold the last usable one when they are read; only a first
// record can be left without any.
bool meteointerpol::RecordWithoutValues() const {
  if (method == 9) return false;
  const bool no_regression = (method == 2 || method == 3) && regression_files.size() > 1 &&
                             GetRegressionParameters(1).B[1] < -nodata_value;
  if (method == 2) return no_regression;
  const auto empty = [&](const StationFile& file) {
    for (int i = 1; i <= file.count; ++i)
      if (!IsMissingStationValue(file.values[static_cast<std::size_t>(i)], nodata_value))
        return false;
    return true;
  };
  if (method == 3) return no_regression && empty(station_files[0]);
  for (int k = 0; k < station_file_count; ++k)
    if (empty(station_files[static_cast<std::size_t>(k)])) return true;
  return false;
}

// No model may take the missing marker for a value: without any earlier record to hold, the
// cells take the replacement of the lower limit when that limit catches the marker, and the run
// stops otherwise.
double meteointerpol::ReplacementForMissingRecord() {
  const double marker = MissingMarker(nodata_value);
  const double replaced = ApplyLimits(marker * scaling_factor, limits);
  if (replaced == marker * scaling_factor)
    ThrowFatal(Diag(), kStationContentCode, "FATAL: no station of ", name, " has a value on ",
               current.day, ".", current.month, ".", current.year, " ", current.hour,
               ". h and no earlier record can be held: give the first record values, or a lower "
               "limit above ",
               marker * scaling_factor, " with its replacement value in [", name, "]");
  if (warned_without_values) return marker;
  warned_without_values = true;
  Diag() << "WARNING: no station of " << name << " has a value on " << current.day << "."
         << current.month << "." << current.year << " " << current.hour
         << ". h and no earlier record can be held: the cells take the replacement value "
         << limits[2] << " of the lower limit (later steps without any value are not reported)"
         << "[end-entry]";
  return marker;
}

void meteointerpol::InterpolateCells() {
  double** grid = result.get();
  const std::size_t width = static_cast<std::size_t>(station_files[0].count) + 1;
  // A record without any usable value post-processes the missing marker, which the limits
  // replace (see ReplacementForMissingRecord).
  const bool without_values = RecordWithoutValues();
  const double missing = without_values ? ReplacementForMissingRecord() : 0.0;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    std::vector<double> w(width, 0.0);
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsComputedCell(r, c)) {
        grid[r][c] = nodata;
        continue;
      }
      if (without_values) {
        grid[r][c] = PostProcess(r, c, missing);
        continue;
      }
      bool computed = true;
      const double value = CellValue(r, c, w.data(), computed);
      if (computed) grid[r][c] = PostProcess(r, c, value);
    }
  });
}

double meteointerpol::CellValueOfUniform() const {
  const StationFile& first = station_files[0];
  for (int i = 1; i <= first.count; ++i)
    if (!IsMissingStationValue(first.values[static_cast<std::size_t>(i)], nodata_value))
      return first.values[static_cast<std::size_t>(i)];
  return MissingMarker(nodata_value);
}

UnitResults meteointerpol::MasterResults() const {
  double** grid = result.get();
  return ShareUnitResults(
      *response_unit_table, 1, first_local_row, last_local_row, column_ranges,
      [&](long r, long c) { return IsComputedCell(r, c); },
      [&](long r, long c, double* out) { out[0] = grid[r][c]; });
}

bool meteointerpol::UsesResponseUnits() const {
  return master_units != nullptr && response_units != nullptr && response_unit_table != nullptr;
}

// An own cell that is not a master, of a unit whose master some process computed.
const double* meteointerpol::MasterResultOf(int64_t r, int64_t c,
                                            const UnitResults& masters) const {
  if (!IsOwnZoneCell(r, c) || master_units[r][c] != nodata) return nullptr;
  return masters.Of(response_units[r][c]);
}

// The other cells of a unit take their master's result. A cell of no unit, or of one whose
// master has no result, keeps nodata.
void meteointerpol::CopyMasterResults(const UnitResults& masters) {
  double** grid = result.get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (const double* value = MasterResultOf(r, c, masters)) grid[r][c] = value[0];
  });
}

// Every own cell with a result adds it to its zone: a computed cell, or (with units) a cell that
// took its master's result. The table sums exactly, so the result does not depend on the order
// of the cells nor on the number of processes or threads. Nothing to do for an inactive table.
void meteointerpol::CollectStatistics(const UnitResults* masters) {
  if (!statistics_table || !statistics_table->active()) return;
  double** grid = result.get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsOwnZoneCell(r, c)) continue;
      if (masters != nullptr && master_units[r][c] == nodata &&
          MasterResultOf(r, c, *masters) == nullptr)
        continue;
      const int64_t code = static_cast<int64_t>(zone_grid[r][c]);
      if (code < 0 || code > highest_zone_code) continue;
      statistics_table->AddValue(r, c, zone_code_index[code], grid[r][c], 1.0);
    }
  });
}

double meteointerpol::ScenarioValueAt(int64_t row, int64_t column, double x, double y) const {
  if (scenario_method == 5 || scenario_method == 6) return scenario_data[row][column];
  if (scenario_rows.empty()) return 0.0;
  double best = 1e15;
  double value = 0.0;
  for (const std::array<double, 16>& r : scenario_rows) {
    const double s = (r[1] - x) * (r[1] - x) + (r[2] - y) * (r[2] - y);
    if (s <= best) best = s, value = r[15];
  }
  return value;
}

void meteointerpol::CheckAdvancedDates() {
  const ModelDate& first = station_files[0].date;
  bool differ = false;
  for (int k = 1; k < station_file_count; ++k)
    differ = differ || !(station_files[static_cast<std::size_t>(k)].date == first);
  if (!differ) return;
  Diag() << "FATAL: error reading date from stationfiles:"
         << "[end-entry]";
  for (int k = 0; k < station_file_count; ++k) {
    const StationFile& f = station_files[static_cast<std::size_t>(k)];
    Diag() << "file " << f.path << ": YYYY=" << f.date.year << ", MM=" << f.date.month
           << ", DD=" << f.date.day << ", HH=" << f.date.hour << "[end-entry]";
  }
  ThrowFatal(Diag(), kStationFilesDifferCode, "");
}

void meteointerpol::AdvanceRecords() {
  AdvanceEachRecord();
  rewound_ = false;
}

void meteointerpol::AdvanceEachRecord() {
  if (method != 2 && method != 9) {
    for (int k = 0; k < station_file_count && !end_of_data; ++k) NextStationRecord(k);
    if (end_of_data) return;
    CheckAdvancedDates();
    current = station_files[0].date;
  }
  if (method == 2 || method == 3) {
    for (std::size_t r = 1; r < regression_files.size() && !end_of_data; ++r) {
      NextRegressionRecord(static_cast<int>(r));
      if (end_of_data) return;
      const ModelDate& reference = method == 3 ? current : regression_files[1].date;
      const std::string& reference_file =
          method == 3 ? station_files[0].path : regression_files[1].path;
      const RegressionFile& file = regression_files[r];
      if (!(file.date == reference))
        ThrowFatal(Diag(), kDateMismatchCode, "FATAL: ", kRule, "error in date column of ", name,
                   " for IDW*Regress \n\nDate from station/regress file ", reference_file, ":\n",
                   reference.day, ".", reference.month, ".", reference.year, " ", reference.hour,
                   " h\n\nbut date from regres file ", file.path, ":\n", file.date.day, ".",
                   file.date.month, ".", file.date.year, " ", file.date.hour, " h\n\n", kRule);
    }
    if (method == 2) current = regression_files[1].date;
  }
  if (method == 9) {
    ReadNextRecordDate();
    current = station_files[0].date;
  }
}

void meteointerpol::RewindInputs() {
  end_of_data = 0;
  rewound_ = true;
  for (int k = 0; k < station_file_count; ++k) {
    StationFile& file = station_files[static_cast<std::size_t>(k)];
    file.held_values.clear();  // every pass holds records as the first did
    file.next_position = file.start_position;
    file.index = file.capacity + 1;
    file.date = start;
    file.has_last_read = false;
  }
  if (grid_list.is_open()) grid_list.close();
  for (std::size_t r = 1; r < regression_files.size(); ++r) {
    regression_files[r].has_valid = false;
    regression_files[r].next_position = regression_files[r].start_position;
    regression_files[r].index = regression_files[r].capacity + 1;
    regression_files[r].date = start;
  }
  current = start;
}

void meteointerpol::SetEndDateToCurrent() {
  end_date = current;
  end_key = ModelTimeKey(end_date);
}

void meteointerpol::FlushBuffers() {
  if (statistics_table) statistics_table->FlushBuffers();
}

void meteointerpol::WriteResultGrid() {
  WriteGridOutput(result_index, 1, false);
}

void meteointerpol::ReleaseMemory() {
  if (released_) return;
  Diag() << "DEBUG: deleting interpolator for " << name << "[end-entry]";
  ReleaseGrids();
  if (statistics_table) statistics_table->ReleaseMemory();
  statistics_table.reset();
  modelobject::ReleaseMemory();
}

void meteointerpol::ReleaseGrids() {
  released_ = true;
  if (grid_list.is_open()) grid_list.close();
  if (registry != nullptr) {
    for (int index : own_indexes) UnregisterGrid(index);
  }
  own_indexes.clear();
  velorn::FreeMatrix(scenario_data);
  scenario_data = nullptr;
}

meteointerpol::~meteointerpol() {
  if (!released_) ReleaseGrids();
}

}  // namespace velorn

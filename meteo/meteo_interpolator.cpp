// Construction of meteointerpol: the variable's section and the set-up of inputs, method data,
// result grid and statistics table.
#include "meteo/meteo_interpolator.h"

#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "core/zone_statistics.h"

namespace velorn {
namespace {

constexpr const char* kMethodLabel =
    "1 [idw], 2 [regress], [3] [idw+regr], 4 [thiessen] 5 [bilinear] 6 [BIGRES] 7 [bicubic "
    "spline] 8 [SPLINERES] 9 [ReadGrid] 10 [EDR from station data] 11 [IDW + EDR from station "
    "data] 12 [Thiessen combines with elevation gradient] for ";

// The next line with more than blanks (the last line read when the file ends first).
std::string NextNonBlankLine(ControlFileReader& file) {
  std::string line;
  while (!file.AtEnd() && line.find_first_not_of(" \t\r") == std::string::npos)
    line = file.RestOfLine();
  return line;
}

// Words of a line that convert as the leading numbers of a "%lf%lf..." format.
int ScanNumbers(const std::string& line, std::vector<double>& values, std::string* word) {
  std::size_t pos = 0;
  double v = 0;
  int count = 0;
  while (ScanValue(line, pos, v)) {
    values.push_back(v);
    ++count;
  }
  if (word != nullptr) ScanValue(line, pos, *word);
  return count;
}

}  // namespace

bool UsesStationFiles(int method) {
  return method == 1 || (method >= 3 && method <= 8) || (method >= 10 && method <= 12);
}

meteointerpol::meteointerpol(const SubModelSetup& setup, const std::string& variable_name,
                             int result_index_arg, const ModelDate& start_arg,
                             const ModelDate& end_arg, int& status)
    : modelobject(setup.diag, setup.control_file_name, 0, setup.write_ascii, setup.write_double,
                  setup.write_netcdf, setup.input_directory, setup.output_directory, setup.mpi,
                  setup.response_unit_switch, setup.response_unit_table),
      result_index(result_index_arg),
      shared_(setup) {
  status = 0;
  name = variable_name.substr(0, variable_name.find(' '));
  SetModuleName(name);
  Diag() << "DEBUG: initializing interpolator for " << name << "[end-entry]";
  StoreSharedValues(setup, start_arg, end_arg);
  const int area = FindGrid("RelCellArea", 0);
  if (area == 0)
    ThrowFatal(Diag(), kNoCellAreaCode,
               "FATAL: \n-----------------------------------------------------------\nVelorn-Marn "
               "no longer works without a RelCellArea-Grid.\nIf this message appears, then "
               "something is wrong with the code,\nso please contact the author.\n"
               "-----------------------------------------------------------\n\n");
  relative_cell_area = (*registry)[area].grid;
  BuildCellCentres();
  ReadInterpolationSection();
  RegisterResultGrid();
  if (scenario_use == 1 && (scenario_method == 5 || scenario_method == 6)) {
    scenario_index = result_index + 1;
    ReadScenarioGrid(start.month);
  }
  const int64_t unset = -static_cast<int64_t>(nodata_integer) - 1;
  for (StationFile& file : station_files) file.date = ModelDate{unset, unset, unset, unset};
  current = ModelDate{unset, unset, unset, unset};
  end_of_data = 0;
  if (method == 2 || method == 3) {
    regression_files.resize(2);
    regression_files[1].path = regression_file_name;
    PrefixDirectory(input_directory, regression_files[1].path);
  }
  CreateStatisticsTable(setup);
  SetUpStationInputs();
  const int scaling = FindGrid(FormatText("%s_%s", "ScalingGrid", name.c_str()), 0);
  if (scaling > 0) scaling_grid = (*registry)[scaling].grid;
}

void meteointerpol::StoreSharedValues(const SubModelSetup& setup, const ModelDate& start_arg,
                                      const ModelDate& end_arg) {
  StoreSharedSetup(setup);
  zone_grid = (*registry)[1].grid;
  elevation = (*registry)[2].grid;
  start = start_date = start_arg;
  end_date = end_arg;
  end_key = ModelTimeKey(end_date);
  if (response_unit_switch != 0) {
    const int master = FindGrid("MasterHydrologicResponseUnits", 0);
    if (master > 0) master_units = (*registry)[master].grid;
    const int units = FindGrid("HydrologicResponseUnits", 0);
    if (units > 0) response_units = (*registry)[units].grid;
  }
}

// "CoordX" and "CoordY" hold the lower-left corners of the cells; the fields are evaluated at
// the centres, half a cell (of its own width and height where the cell sizes vary) further.
void meteointerpol::BuildCellCentres() {
  double** corner_x = (*registry)[RequireGrid("CoordX")].grid;
  double** corner_y = (*registry)[RequireGrid("CoordY")].grid;
  const int size_x_index = FindGrid("CellSizeX", 0), size_y_index = FindGrid("CellSizeY", 0);
  double** size_x = size_x_index > 0 ? (*registry)[size_x_index].grid : nullptr;
  double** size_y = size_y_index > 0 ? (*registry)[size_y_index].grid : nullptr;
  const auto half = [&](double** sizes, int64_t r, int64_t c) {
    return 0.5 * ((sizes == nullptr || sizes[r][c] <= nodata) ? cellsize : sizes[r][c]);
  };
  centre_x = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  centre_y = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  double** x = centre_x.get();
  double** y = centre_y.get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int64_t c = 1; c <= ncols; ++c) {
      const bool outside = corner_x[r][c] == nodata || corner_y[r][c] == nodata;
      x[r][c] = outside ? nodata : corner_x[r][c] + half(size_x, r, c);
      y[r][c] = outside ? nodata : corner_y[r][c] + half(size_y, r, c);
    }
  });
  cell_x = coord_x = x;
  cell_y = coord_y = y;
}

void meteointerpol::ReadInterpolationSection() {
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, &Diag()))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  FindSection("[" + name + "]", 1);
  ControlFileReader& file = *control_file;
  ReadValue(file, method, kMethodLabel + name);
  // Checked before the lines that follow, whose meaning depends on the method: an unknown method
  // would read them out of place and blame another value.
  if (method < 1 || method > 12)
    ThrowFatal(Diag(), kMethodCode,
               "FATAL: error! interpolation method has to range from 1..12 (here: ", method, ")\n");
  station_file_count = (method == 6 || method == 8) ? 2 : 1;
  for (int k = 0; k < station_file_count; ++k) ReadStationFileLine(k);
  ReadMethodParameters();
  ReadValue(file, result_file_name, "name of the result grid in " + name);
  ReadValue(file, result_write_code, "grid write code for result grid in " + name);
  ReadValue(file, scaling_factor, "scaling factor for " + name);
  RequireRange(scaling_factor, -kMaxScalingFactor, kMaxScalingFactor, "scaling factor for ");
  ReadTwoValues(file, statistics_file_name, statistics_code,
                "name of the statistic result file in " + name);
  ReadValue(file, nodata_value, "nodata value in ");
  // The missing marker -N - 1 and the integer nodata value must fit an int32 grid value.
  RequireRange(nodata_value, -kMaxStationNodata, kMaxStationNodata, "nodata value in ");
  nodata_integer = static_cast<int32_t>(nodata_value);
  ReadValue(file, idw_weight, "idw-weight in " + name);
  RequireRange(idw_weight, 0, kMaxIdwWeight, "idw-weight in ");
  ReadValue(file, idw_fraction, "fraction of idw on weighted interpolation (method 3)");
  RequireRange(idw_fraction, 0, 1, "fraction of idw on weighted interpolation in ");
  ReadValue(file, max_distance, "maximum distance in " + name);
  // A negative radius holds no station (every cell without a value). A radius beyond the
  // Earth's size (1e300, say) sets no limit; its square in the fast comparison may be infinite,
  // which still compares right.
  RequireRange(max_distance, 0, 1e308, "maximum distance in ");
  given_distance = max_distance;
  ReadValue(file, anisotropy_slope, "slope of the main axis of the anisotropy ellipse in " + name);
  ReadValue(file, anisotropy_ratio, "anisotropy b/a in " + name);
  ReadValue(file, limits[1], "lower limit of results in " + name);
  ReadValue(file, limits[2], "upper limit of results in " + name);
  ReadValue(file, limits[3], "lower replacement for limit-exceeding results in " + name);
  ReadValue(file, limits[4], "upper replacement for limit-exceeding results in " + name);
  CheckLimits();
  ReadValue(file, scenario_use, "SzenUse in " + name);
  if (scenario_use == 1) ReadScenarioSection();
  // The fast IDW path compares squared distances: square the radius whenever it runs, not
  // only for a weight of exactly 2.0.
  max_distance = IdwComparisonDistance(idw_weight, max_distance);
  // The statistics header shows the distance in the mode the weight selects.
  idw_mode = IdwMode(idw_weight);
  control_file->Close();
}

// A limit that a result can reach (one within what the variable can hold, StationValueRangeOf)
// gives its replacement to cells: that replacement must be a value of the variable, so that a
// lower replacement of -50 cannot make precipitation negative. A limit beyond the variable's
// range only catches the missing marker and may keep any replacement.
void meteointerpol::CheckLimits() {
  const StationValueRange range = StationValueRangeOf(name);
  const auto reachable = [&](double limit) { return limit >= range.low && limit <= range.high; };
  if (reachable(limits[1]))
    RequireRange(limits[2], range.low, range.high, "replacement of the lower limit for ");
  if (reachable(limits[3]))
    RequireRange(limits[4], range.low, range.high, "replacement of the upper limit for ");
}

void meteointerpol::ReadStationFileLine(int k) {
  StationFile& file = station_files[static_cast<std::size_t>(k)];
  const std::string line = NextNonBlankLine(*control_file);
  std::size_t pos = 0;
  if (!ScanValue(line, pos, file.path))
    ThrowFatal(Diag(), kStationOpenCode, "FATAL: error reading station data file name nr. ", k,
               " for interpolation of ", name);
  file.line = line;
  const std::string key = "AdditionalColumns=";
  const std::size_t at = line.find(key);
  if (at != std::string::npos) {
    std::size_t value_pos = at + key.size();
    if (!ScanValue(line, value_pos, file.additional_columns) || file.additional_columns < 0)
      ThrowFatal(Diag(), kStationOpenCode, "FATAL: error reading AdditionalColumns of ", file.path,
                 " for interpolation of ", name);
  }
  PrefixDirectory(input_directory, file.path);
}

void meteointerpol::ReadMethodParameters() {
  ControlFileReader& file = *control_file;
  if (method >= 1 && method <= 8) {
    ReadValue(file, regression_file_name, "name of the regression file in " + name);
    return;
  }
  if (method < 9 || method > 12) return;
  const std::string line = NextNonBlankLine(file);
  std::vector<double> v;
  std::string word;
  const int count = ScanNumbers(line, v, &word);
  // The numbers end at the first word that is none; one that begins like a number ("-0,0065")
  // is a value written wrongly, not the comment after the values.
  if (!NumberProblem(word).empty())
    ThrowFatal(Diag(), kStationOpenCode,
               "FATAL: error in control file, parameters of "
               "interpolation method ",
               method, " for ", name, ": \"", word, "\" ", NumberProblem(word));
  if (method == 9) {
    if (count < 5)
      ThrowFatal(Diag(), kStationOpenCode,
                 "FATAL: error reading the required 5 GIF-Mapping parameters f1 "
                 "(default=8.916787e-5), x1 (0.0767528404), threshold (127), f2 "
                 "(default=6.00e-006), x2 (0.098) for interpolation of ",
                 name);
    // The threshold is compared with pixel values 0..255: clamped to -1..256 before the cast,
    // which keeps every comparison and no value can overflow it.
    RequireRange(v[0], 0, kMaxScalingFactor, "GIF-Mapping factor f1 for ");
    RequireRange(v[1], -1, 1, "GIF-Mapping exponent x1 for ");
    RequireRange(v[3], 0, kMaxScalingFactor, "GIF-Mapping factor f2 for ");
    RequireRange(v[4], -1, 1, "GIF-Mapping exponent x2 for ");
    gif_a1 = v[0], gif_b1 = v[1];
    gif_limit = static_cast<int32_t>(std::clamp(v[2], -1.0, 256.0));
    gif_a2 = v[3], gif_b2 = v[4];
  } else if (method == 10 || method == 11) {
    if (count < 5)
      ThrowFatal(Diag(), kStationOpenCode,
                 "FATAL: error reading the required 5 or 6 regression parameters <lower "
                 "inversion> <upper inversion> <tolerance> <overlap> <clusterrange> [<lapse rate "
                 "above upper inversion>] for interpolation of ",
                 name);
    RequireRange(v[0], kLowestElevation, kHighestElevation, "lower inversion (m) for ");
    RequireRange(v[1], kLowestElevation, kHighestElevation, "upper inversion (m) for ");
    RequireRange(v[2], 0, kLargestRelief, "inversion tolerance (m) for ");
    RequireRange(v[4], 0, kLargestRelief, "cluster range (m) for ");
    if (count >= 6 && v[5] > -9998)
      RequireRange(v[5], -1, 1, "lapse rate above upper inversion for ");
    for (int i = 0; i < 5; ++i) regression_parameters[static_cast<std::size_t>(i)] = v[i];
    // The overlap is a switch (1 or more: on); clamped so that its integer cast is defined.
    regression_parameters[3] = std::clamp(std::trunc(v[3]), -1.0, 1.0);
    regression_parameters[5] = count >= 6 ? v[5] : -9999;
  } else {
    if (count == 0 || count == 2)
      ThrowFatal(Diag(), kStationOpenCode,
                 "FATAL: error reading the required parameter \"lapse rate\" and/or optional "
                 "parameters inversion_hight and fix upper lapse rate for interpolation of ",
                 name);
    RequireRange(v[0], -1, 1, "lapse rate (per m) for ");
    lapse_rate = v[0];
    if (count >= 3) {
      RequireRange(v[1], kLowestElevation, kHighestElevation, "inversion height (m) for ");
      // An upper lapse rate of -9998 or less is none.
      if (v[2] > -9998) RequireRange(v[2], -1, 1, "upper lapse rate (per m) for ");
      inversion_height = v[1], upper_lapse_rate = v[2];
    }
    p_type = Contains(word, "P-type");
  }
}

void meteointerpol::ReadScenarioSection() {
  ControlFileReader& file = *control_file;
  ReadValue(file, scenario_method, "SzenMeth in " + name);
  if (scenario_method == 5 || scenario_method == 6) {
    for (int m = 1; m <= 12; ++m)
      if (!file.Read(scenario_grid_names[static_cast<std::size_t>(m)]))
        ThrowFatal(Diag(), kControlFileErrorCode,
                   "FATAL: error in control file: scenario grid for month ", m, " in ", name,
                   " not found!\nThere have to be exactly 12 filenames after the sceario "
                   "application mode\nreferring to each of the 12 months if using scenario "
                   "method 5.\nHowever, if methods 0..4 are used, NO FILENAMES are allowed "
                   "there\n (for backwards compatibility reasons)");
      else
        file.SkipRestOfLine();
  }
  int32_t rows = 0;
  ReadValue(file, rows, "SzenNum in " + name);
  // Every row takes 14 words: a count beyond what the file holds is refused before allocating.
  if (rows < 0 || static_cast<std::size_t>(rows) > file.WordsLeft() / 14 + 1)
    ReportControlFileError("SzenNum in " + name, module_name);
  scenario_rows.assign(static_cast<std::size_t>(rows), std::array<double, 16>{});
  for (int32_t r = 0; r < rows; ++r) {
    std::array<double, 16>& row = scenario_rows[static_cast<std::size_t>(r)];
    for (int c = 1; c <= 14; ++c)
      if (!file.Read(row[static_cast<std::size_t>(c)]))
        ThrowFatal(Diag(), kScenarioRowCode, "FATAL: error! scenario-data row ", r + 1, ", column ",
                   c, " in ", name, ": read error!");
    file.SkipRestOfLine();
    if (scenario_method == 3)
      for (int c = 3; c <= 14; ++c)
        row[static_cast<std::size_t>(c)] = 1.0 + row[static_cast<std::size_t>(c)] / 100.0;
  }
}

void meteointerpol::RegisterResultGrid() {
  const bool whole = rank == 0 && method == 9;
  const int64_t first = whole ? 1 : first_local_row;
  const int64_t last = whole ? nrows : last_local_row;
  result = GridMatrix(Diag(), first, last, ncols, nrows);
  for (int64_t r = first; r <= last; ++r)
    for (int64_t c = 0; c <= ncols; ++c) result.get()[r][c] = nodata;
  // The grid writer puts the output directory in front of the name.
  RegisterGrid(result_index, result_file_name, result.get(), nullptr, 0, name, result_write_code,
               first_local_row, last_local_row);
  own_indexes.push_back(result_index);
}

void meteointerpol::ReadScenarioGrid(int month) {
  if (month > 12) month = (month - 1) % 12 + 1;
  scenario_month = month;
  if (scenario_data != nullptr) {
    UnregisterGrid(scenario_index);
    velorn::FreeMatrix(scenario_data);
    scenario_data = nullptr;
  }
  std::string file_name = scenario_grid_names[static_cast<std::size_t>(month)];
  PrefixDirectory(input_directory, file_name);
  ReadGrid(file_name, scenario_data, 0, true, false, false, 0, false, false, 0.0);
  RegisterGrid(scenario_index, file_name, scenario_data, nullptr, 0,
               FormatText("scenariogrid_%s", name.c_str()), 0, first_local_row, last_local_row);
  if (std::find(own_indexes.begin(), own_indexes.end(), scenario_index) == own_indexes.end())
    own_indexes.push_back(scenario_index);
}

std::string meteointerpol::StatisticsHeader() const {
  const char* v = name.c_str();
  const char* s1 = station_files[0].path.c_str();
  const char* s2 = station_files[1].path.c_str();
  const int a1 = station_files[0].additional_columns;
  const int a2 = station_files[1].additional_columns;
  const std::string zones_name = (*registry)[1].file_name.value_or("");
  const char* z = zones_name.c_str();
  const char* ctl = control_file_name.c_str();
  const double shown = given_distance;
  switch (method) {
    case 1:
      return FormatText(
          "%s interpolated with idw from %s, zones from %s, weighting = %4.1f,  "
          "maxentf = %8.0f, control file %s, additional columns: %d",
          v, s1, z, idw_weight, shown, ctl, a1);
    case 2: {
      std::string text = FormatText("%s interpolated with regression from ", v);
      for (std::size_t r = 1; r < regression_files.size(); ++r)
        text += FormatText("%s %s,", regression_files[r].path.c_str(), "");
      return text + FormatText("%s zones from %s, control file: %s", "", z, ctl);
    }
    case 3:
      return FormatText(
          "%s interpolated with idw+regression from %s, zones from %s,weighting = "
          "%4.1f, fraction distance: = %4.1f max distance = %8.0f, control file "
          "%s, additional columns: %d",
          v, s1, z, idw_weight, idw_fraction, shown, ctl, a1);
    case 4:
      return FormatText(
          "%s interpolated with Thiessen from %s, zones from %s, control file %s, "
          "additional columns: %d",
          v, s1, z, ctl, a1);
    case 5:
      return FormatText(
          "%s interpolated with bilinear interpolation from %s, zones from %s, "
          "control file %s, additional columns: %d",
          v, s1, z, ctl, a1);
    case 6:
      return FormatText(
          "%s interpolated with bilinear interpolation of gradients (%s, add. col.: "
          "%d) and residuals (%s, add. col.: %d), linearly combined, zones from %s, "
          "control file %s",
          v, s1, a1, s2, a2, z, ctl);
    case 7:
      return FormatText(
          "%s interpolated with bicubic spline interpolation (%s, add. col.: %d), "
          "zones from %s, control file %s",
          v, s1, a1, z, ctl);
    case 8:
      return FormatText(
          "%s interpolated with bicubic spline interpolation of gradients (%s, add. "
          "col.: %d) and residuals (%s, add. col.: %d), linearly combined, zones "
          "from %s, control file %s",
          v, s1, a1, s2, a2, z, ctl);
    case 9:
      return FormatText(
          "%s read in from grids containing already interpolated data (%s, add. "
          "col.: %d) zones from %s, control file %s",
          v, s1, a1, z, ctl);
    case 10:
      return FormatText(
          "%s interpolated with elevation dependent regression for values taken "
          "from %s, control file %s",
          v, s1, ctl);
    case 11:
      return FormatText(
          "%s interpolated with elevation dependent regression + idw, all values "
          "taken from %s, control file %s",
          v, s1, ctl);
    default:
      return FormatText(
          "%s interpolated with Thiessen plus elevation lapserate, all values taken "
          "from %s, control file %s",
          v, s1, ctl);
  }
}

void meteointerpol::CreateStatisticsTable(const SubModelSetup& setup) {
  zone_records.assign(zone_table, zone_table + zone_count + 1);
  int error = 0;
  std::string file_name = statistics_file_name;
  statistics_table = std::make_unique<zonalstatistic>(
      error, &Diag(), relative_cell_area, nrows, ncols, zone_records.data(), zone_count,
      statistics_code, 3, file_name, output_directory, output_list_count, output_list_codes);
  if (error != 0) throw ErrorCode{error};
  statistics_table->WriteHeader(StatisticsHeader(), name, setup.zone_statistics,
                                setup.zone_statistics_capacity);
}

void meteointerpol::SetUpStationInputs() {
  if (UsesStationFiles(method)) {
    for (int k = 0; k < station_file_count; ++k) ReadStationHeader(station_files[k]);
    if (station_file_count == 2) CheckStationFilesAgree();
    for (int k = 0; k < station_file_count; ++k) {
      StationFile& file = station_files[k];
      SeekStationStartDate(file);
      file.capacity = StationBlockCapacity(file.count);
      file.index = file.capacity + 1;
    }
    DetectMeshOrientation();
    anisotropy_slope *= kDegreesToRadians;
    BuildRotatedCoordinateGrids();
    SetupAnisotropy();
    spacing = AverageStationSpacing(0);
    if (method == 5 || method == 6) ChooseLookupStations(station_file_count);
    if (method == 7 || method == 8) StationsToMesh(0);
    current = station_files[0].date;
  } else {
    idw_mode = IdwMode(idw_weight);
  }
  if (method == 2 || method == 3) SeekRegressionStartDate(1);
  // Regression files alone: their records carry the date.
  if (method == 2) current = regression_files[1].date;
  if (method == 9) {
    StationFile& list = station_files[0];
    ReadStationHeader(list);
    SeekStationStartDateOnly(list, grid_name);
    if (list.count >= 1) SetInputGridGeometry(zone_grid, list.x[1], list.y[1], list.altitude[1]);
    current = list.date;
  }
}

void meteointerpol::CheckStationFilesAgree() {
  const StationFile& a = station_files[0];
  const StationFile& b = station_files[1];
  const char* head = "FATAL: \n------- Error 73 in Interpolation input data ---------\n";
  const char* tail =
      "these data has to be identical in both files for interpolation method 6\n------- Program "
      "terminated due to input data error ---------\n\n";
  if (a.count != b.count)
    ThrowFatal(Diag(), kStationFilesDifferCode, head, "meteorological station files ", b.path,
               " \nand ", a.path, " contain a different number of stations \n(", b.count, " and ",
               a.count, ", resp.)\n", tail);
  for (int i = 1; i <= a.count; ++i)
    if (a.altitude[i] != b.altitude[i] || a.x[i] != b.x[i] || a.y[i] != b.y[i])
      ThrowFatal(Diag(), kStationFilesDifferCode, head, "Altitude and/or coordinates of station ",
                 i, " are different in\nmeteorological station files ", b.path,
                 "\nH: ", b.altitude[i], ",\tX: ", b.x[i], "\tY: ", b.y[i], "\nand\n", a.path,
                 "\nH: ", a.altitude[i], ",\tX: ", a.x[i], "\tY: ", a.y[i],
                 "\nThese data has to be identical in both files for interpolation method 6\n"
                 "------- Program terminated due to input data error ---------\n\n");
}

}  // namespace velorn

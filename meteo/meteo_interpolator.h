// meteointerpol: one interpolator per meteorological variable, turning station series into the
// variable's grid in every time step.
//
// The application constructs one object per variable of [meteo_names] before the sub-models.
// The constructor reads the variable's section "[<name up to its first blank>]", reads the
// station headers, positions every input at the start date, sets up the method data and
// registers the result grid at the index the application reserved, under the (cut) variable
// name. Per step the application calls InterpolateStep with its date, later WriteResultGrid,
// and at the end of the step AdvanceRecords; IsEndOfData ends the run. RewindInputs returns to
// the start date for a spin-up repetition, SetEndDateToCurrent ends the run after this step.
//
//   int status = 0;
//   meteointerpol temperature(setup, "temperature", registry.FirstFreeIndex(), start, end,
//                             status);
//   temperature.SetNoStationWarning(1);
//   temperature.SetTimeStepHours(24);
//   while (!temperature.IsEndOfData()) {
//     temperature.InterpolateStep(hour, day, month, year);
//     temperature.WriteResultGrid();
//     temperature.AdvanceRecords();
//   }
//
// Methods: 1 IDW (plain or anisotropic), 4 nearest station and 9 grids read from a list are
// complete here; the regression (2, 3, 10, 11, 12), bilinear (5, 6) and spline (7, 8) kernels
// are separate operations of this class (EvaluateRegression, ThiessenElevationGradient,
// BilinearAtPoint, StationsToMesh, ChooseLookupStations, ComputeSplines,
// ComputeStationRegression) in meteo/meteo_interpolator_methods.cpp. The regression files of
// methods 2 and 3 are read here; one regression file serves every cell (no regression regions).
//
// Cells are evaluated at their centres ("CoordX"/"CoordY" hold the lower-left corners).
// InterpolateAtPoint evaluates one point from the station data alone, which every process holds,
// so it gives the same value on every process.
//
// Response units (modelobject's switch on): only master cells are computed; after the cell loop
// the other cells of a unit take the master's result, from whichever process computed it.
//
// Input files: meteo/station_files.h (formats, missing values), meteo/meteo_input_readers.cpp
// (headers, start dates, blocks, record advance). Kernels: meteo/distance_methods.h.
//
// Processes and threads: every process reads the station files itself and computes the cells
// of its own rows (and "MPIRegions" equal to its rank) in one ForEachRow loop; the zone
// statistics and the grid reading of method 9 are collective. The zone statistics are summed
// per row by the threads and added in row order (the same sums for any number of threads), and
// not at all when the statistics file is switched off.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/modelobject.h"
#include "core/response_unit_results.h"
#include "core/submodel_setup.h"
#include "core/zone_statistics.h"
#include "meteo/distance_methods.h"
#include "meteo/mesh_methods.h"
#include "meteo/splines.h"
#include "meteo/station_files.h"
#include "meteo/station_regression.h"

namespace velorn {

// Codes of the interpolation (besides the control-file and grid codes of core/).
inline constexpr int kStationOpenCode = 49;
inline constexpr int kStationCloseCode = 50;
inline constexpr int kStartDateCode = 51;
inline constexpr int kDateMismatchCode = 52;
inline constexpr int kMethodCode = 53;
inline constexpr int kAnisotropyCode = 54;
inline constexpr int kScenarioRowCode = 48;
inline constexpr int kStationFilesDifferCode = 73;
inline constexpr int kNoCellAreaCode = 74;
inline constexpr int kNoGridNameCode = 1050;

// Limits of the section values that reach integer arithmetic: the nodata value (its marker
// -N - 1 must fit an int32), the inverse-distance weight (1000 x weight is an int mode), and
// station coordinates (metres from the origin; the spline mesh and cell indexes derive from
// them).
inline constexpr double kMaxStationNodata = 2147483646.0;
inline constexpr double kMaxIdwWeight = 100.0;
inline constexpr double kMaxStationCoordinate = 1e9;
// The largest factor on results or mapped pixel values (a unit conversion, a scaling).
inline constexpr double kMaxScalingFactor = 1e6;

// One station table (or the grid-name list of method 9) with its read state.
struct StationFile {
  std::string path;
  std::string line;  // the whole control-file line
  int additional_columns = 0;
  int count = 0;
  // Indexes 1..count.
  std::vector<double> altitude, x, y, extra, values;
  std::vector<double> x_rot, y_rot, distance_from_origin;
  ModelDate date;
  int64_t next_position = 0;
  int64_t start_position = 0;
  // Block of records: dates and count + 1 values each.
  std::vector<ModelDate> block_dates;
  std::vector<double> block_values;
  int64_t capacity = 1;
  int64_t index = 2;
  int uniform = 0;
  // The last record with at least one usable value, held for records without any.
  std::vector<double> held_values;
  ModelDate held_date;
  // The date of the record read last, for the order check of the records; none after a rewind.
  ModelDate last_read;
  bool has_last_read = false;
};

// One regression file of methods 2 and 3.
struct RegressionFile {
  std::string path;
  bool text = false;
  int64_t next_position = 0;
  int64_t start_position = 0;
  std::vector<ModelDate> block_dates;
  std::vector<std::array<double, 12>> block_values;
  int64_t capacity = kRegressionBlockRecords;
  int64_t index = kRegressionBlockRecords + 1;
  ModelDate date;
  // Current values: intercepts and gradients 1..3, bounding altitudes, trend plane.
  std::array<double, 4> intercept{};
  std::array<double, 4> gradient{};
  double lower_bound = 0;
  double middle_bound = 0;
  double trend_constant = 0;
  double trend_x = 0;
  double trend_y = 0;
  bool has_valid = false;  // the current values come from a record with a usable intercept
};

class meteointerpol : public modelobject {
 public:
  // Reads the section of `variable_name`, opens the inputs and registers the result grid at
  // `result_index` (and, with scenario grids, at the next index). `status` is set to 0; every
  // failure throws its code after the FATAL entry.
  meteointerpol(const SubModelSetup& setup, const std::string& variable_name, int result_index,
                const ModelDate& start, const ModelDate& end, int& status);
  ~meteointerpol() override;

  // --- Called by the application --------------------------------------------------------------
  virtual void ReleaseMemory() override;
  virtual void SetNoStationWarning(int on) { no_station_warning = on; }
  virtual void SetTimeStepHours(double hours) { time_step_hours = hours; }
  // Names the variable whose records date the steps (the first of [meteo_names]) in the
  // messages of a date that differs from it.
  void SetDateSource(const std::string& source) { date_source = source; }
  virtual void GetDate(int64_t& hour, int64_t& day, int64_t& month, int64_t& year) const;
  virtual void InterpolateStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void AdvanceRecords();
  virtual int IsEndOfData() const { return end_of_data; }
  // The file whose records date the steps: the first regression file of method 2, else the
  // (first) station file or the grid list.
  std::string DatingFileName() const {
    return method == 2 && regression_files.size() > 1 ? regression_files[1].path
                                                      : station_files[0].path;
  }
  virtual void SetEndDateToCurrent();
  virtual void FlushBuffers();
  virtual void RewindInputs();

  // --- Input files (meteo/meteo_input_readers.cpp) -------------------------------------------
  virtual void ReadStationRecord(int k);
  virtual void ReadRegressionRecord(int r);
  virtual void NextStationRecord(int k);
  // The record advance of AdvanceRecords, per input kind.
  void AdvanceEachRecord();
  void RequireRecordOrder(StationFile& file, const ModelDate& raw, int64_t position);
  virtual void ReadNextRecordDate();
  virtual void NextRegressionRecord(int r);
  virtual void ReadInterpolationSection();
  virtual void ReadStationHeader(StationFile& file);
  virtual void SeekStationStartDate(StationFile& file);
  virtual void SeekStationStartDateOnly(StationFile& file, std::string& token);
  // Ends with kStationContentCode when a record line holds fewer values than the date, the
  // additional columns and the stations of the header.
  void RequireFullRecord(const StationFile& file, const std::string& line) const;
  virtual void SeekRegressionStartDate(int r);

  // --- Method set-up and kernels -------------------------------------------------------------
  virtual StationSpacing AverageStationSpacing(int f);
  virtual void StationsToMesh(int f);
  virtual void ChooseLookupStations(int file_count);
  virtual void DetectMeshOrientation();
  virtual void BuildRotatedCoordinateGrids();
  virtual void SetupAnisotropy();
  virtual int FindStationInBox(double x, double y, double dxmin, double dxmax, double dymin,
                               double dymax) const;
  virtual int AnyStationUnassigned(const int* flags, int count) const;
  virtual double ScenarioValueAt(int64_t row, int64_t column, double x, double y) const;
  virtual double InverseDistanceWeight(int f, double* w, double x, double y) const;
  virtual double InverseDistanceWeightAnisotropic(int f, double* w, double x, double y) const;
  virtual double NearestStation(int f, double* d, double x, double y) const;
  virtual double ThiessenElevationGradient(double x, double y, double z, double lapse_rate,
                                           double inversion_height, double upper_rate) const;
  virtual double EvaluateRegression(int64_t row, int64_t column, double x, double y,
                                    double z) const;
  virtual double BilinearAtPoint(int f, double x, double y, int64_t row, int64_t column) const;
  virtual void ComputeSplines();
  virtual void ComputeStationRegression(int unused, int variable_count);
  virtual void WriteResultGrid();
  // The variable at one point (x, y, altitude z); `buffer` holds at least count + 1 doubles.
  virtual double InterpolateAtPoint(double x, double y, double z, double* buffer);

  // --- Regression, mesh and spline data (meteo/meteo_interpolator_methods.cpp) -----------------
  // Zone `zone` of the regression files (methods 2, 3) or of the station regression (10, 11);
  // M everywhere for the other methods. Set stores B, A and ZU (ZL stays).
  virtual RegressionZoneParameters GetRegressionParameters(int zone) const;
  virtual void SetRegressionParameters(int zone, const std::array<double, 4>& B,
                                       const std::array<double, 4>& A, double ZU);
  // Recomputes the uniform flag of station file f from its current values.
  virtual void UpdateUniformFlag(int f);
  RegressionZoneParameters station_regression;          // zone 1 of methods 10 and 11
  std::vector<MeshCorners> lookup_corners;              // methods 5, 6: per local cell
  GridMatrix mesh_x, mesh_y, mesh_values, mesh_second;  // methods 7, 8: nodes
  std::vector<int> mesh_stations;                       // station of node (r, c), row-major
  std::array<GridMatrix, 2> spline_grids;               // spline values per station file
  std::unique_ptr<TSplines> splines;

  // --- Section values --------------------------------------------------------------------------
  std::string name;  // the variable name up to its first blank
  int method = 0;
  std::array<StationFile, 2> station_files;
  int station_file_count = 0;
  std::vector<RegressionFile> regression_files;  // index 0 unused
  std::string regression_file_name;
  std::array<double, 6> regression_parameters{};  // methods 10, 11
  double lapse_rate = 0, inversion_height = -9999, upper_lapse_rate = -9999;
  bool p_type = false;
  std::string result_file_name;
  int32_t result_write_code = 0;
  double scaling_factor = 1.0;
  std::string statistics_file_name;
  int32_t statistics_code = 0;
  double nodata_value = 9999;
  int32_t nodata_integer = 9999;
  double idw_weight = 2.0;
  double idw_fraction = 0.0;
  double max_distance = 0.0;      // compared with squared distances in IDW mode 2000
  double given_distance = 0.0;    // as the section gives it
  double anisotropy_slope = 0.0;  // radians after construction
  double anisotropy_ratio = 1.0;
  int idw_mode = 2000;
  std::array<double, 5> limits{};  // 1..4
  int32_t scenario_use = 0;
  int32_t scenario_method = 0;
  std::array<std::string, 13> scenario_grid_names;    // months 1..12
  std::vector<std::array<double, 16>> scenario_rows;  // columns 1..15
  // --- State -----------------------------------------------------------------------------------
  ModelDate current;
  ModelDate start;
  // Set by RewindInputs until the next AdvanceRecords: the pass's first record is still to be
  // read, also where it is its last one (a window of one record).
  bool rewound_ = false;
  int end_of_data = 0;
  int no_station_warning = 0;
  bool warned_without_values = false;  // a step without any station value was reported
  bool warned_beyond_range = false;    // a reading the limits replace was reported
  // The variable whose records date the steps ("temperature (./t.txt)"), for the messages.
  std::string date_source;
  double time_step_hours = 0;
  int scenario_month = 0;
  int result_index = 0;
  int scenario_index = 0;
  GridMatrix result;
  double** scenario_data = nullptr;  // grid read from a file (SzenMeth 5, 6)
  GridMatrix rotated_x, rotated_y;
  int rotated_x_index = 0, rotated_y_index = 0;
  double** zone_grid = nullptr;
  double** elevation = nullptr;
  double** coord_x = nullptr;  // coordinates of the distance methods (rotated when ratio < 1)
  double** coord_y = nullptr;
  // Cell centres: "CoordX" / "CoordY" (lower-left corners) plus half a cell.
  double** cell_x = nullptr;
  double** cell_y = nullptr;
  GridMatrix centre_x, centre_y;
  double** scaling_grid = nullptr;
  // Response-unit mode: "MasterHydrologicResponseUnits" (unit id at master cells, nodata
  // elsewhere) and "HydrologicResponseUnits" (unit id of every cell).
  double** master_units = nullptr;
  double** response_units = nullptr;
  double** owner = nullptr;
  bool owner_looked_up = false;
  std::unique_ptr<zonalstatistic> statistics_table;
  std::vector<ZoneRecord> zone_records;
  StationSpacing spacing;
  // Method 9: the grid-name list stays open between steps.
  std::ifstream grid_list;
  std::string grid_name, last_grid_name;

 private:
  void BuildCellCentres();
  // Missing records (meteo/meteo_input_readers.cpp): a record without any usable value takes
  // the values of the last one that had some, with a WARNING.
  void HoldLastValidRecord(StationFile& file);
  void HoldLastValidRegression(RegressionFile& file, const std::array<double, 12>& values);
  bool RecordWithoutValues() const;
  double ReplacementForMissingRecord();
  double BilinearAtPointAlone(int f, double x, double y) const;
  double BilinearWithCorners(int f, const MeshCorners& corners, double x, double y) const;
  void StoreSharedValues(const SubModelSetup& setup, const ModelDate& start_arg,
                         const ModelDate& end_arg);
  void CheckStationFilesAgree();
  void SetUpStationInputs();
  void RegisterResultGrid();
  void CreateStatisticsTable(const SubModelSetup& setup);
  std::string StatisticsHeader() const;
  void ReadScenarioSection();
  void ReadMethodParameters();
  void CheckLimits();
  void ReadStationFileLine(int k);
  void ReadScenarioGrid(int month);
  // Step parts (meteo/meteo_interpolator_step.cpp).
  void CheckStepDate(int64_t hour, int64_t day, int64_t month, int64_t year);
  void WriteStepMessage(int64_t hour, int64_t day, int64_t month, int64_t year);
  void UpdateScenarios(int64_t day, int64_t month);
  void ReadListedGrid();
  void InterpolateCells();
  double CellValue(int64_t r, int64_t c, double* w, bool& computed) const;
  double PostProcess(int64_t r, int64_t c, double value) const;
  bool IsOwnZoneCell(int64_t r, int64_t c) const;
  bool IsComputedCell(int64_t r, int64_t c) const;
  bool UsesResponseUnits() const;
  // The result of every unit's master, from whichever process computed it. Collective.
  UnitResults MasterResults() const;
  const double* MasterResultOf(int64_t r, int64_t c, const UnitResults& masters) const;
  void CopyMasterResults(const UnitResults& masters);
  void CollectStatistics(const UnitResults* masters);
  double CellValueOfUniform() const;
  void ReleaseGrids();
  bool released_ = false;
  std::vector<int> own_indexes;  // registry entries this object filled
  [[noreturn]] void FailOpen(const std::string& path) const;
  void CheckAdvancedDates();
  SubModelSetup shared_;  // kept for the statistics table
  StationPoints Points(int f, bool rotated) const;
  IdwSettings Idw() const;
};

// Methods that read station files (all but 2, regression files alone, and 9, listed grids).
bool UsesStationFiles(int method);

// Day value of a scenario row between its mid-month values (columns 3..14, January first):
// before day 16 towards the previous month, from day 16 towards the next.
// Month lengths are those of the calendar (leap years included).
double ScenarioDayValue(const std::array<double, 16>& row, int64_t day, int64_t month,
                        int64_t year);

// Methods 3 and 11: (1 - f) R + f D when both are usable, otherwise the usable one, otherwise M.
double CombineRegressionAndIdw(double regression, bool regression_valid, double idw,
                               double fraction, double nodata_value);

// Limits after scaling: below limit 1 becomes limit 2, otherwise above limit 3 becomes limit 4.
double ApplyLimits(double value, const std::array<double, 5>& limits);

}  // namespace velorn

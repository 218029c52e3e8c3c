// defaultini: the global settings object of one model run ("defaults").
//
// The application creates one per control file, right after the grid and zone-statistics
// registries and before any sub-model. It compiles the control file, reads the global sections
// (model time, output settings, coordinates, meteorological variables, irrigation types) step by
// step during the set-up, and afterwards hands the settings to the application once
// (GetModelSettings) and answers its questions during the time loop. ReleaseMemory frees what it
// built and ends with the model-object release.
//
// Its operations live in several files: construction, hand-out and release here
// (defaultini.cpp); [model_time], [radiation_correction] and the global grid maximum in
// model_time_settings.cpp (with the standard-grid output of each step); the output sections in
// output_settings.cpp; the irrigation sections in irrigation_tables.cpp. Collective operations
// (every process calls them at the same point): CompileControlFileSymbols, GlobalGridMaximum,
// WriteStandardGrids and ReleaseMemory when a stack is kept. The readers work on the calling
// process only.
//
// Limits: the readers of the set-up steps expect the compiled control file open in
// `control_file` (ReadModelTime, ReadRadiationCorrectionSwitch, ReadIrrigationSections); the
// output readers open the compiled file themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/modelobject.h"
#include "core/output_files.h"
#include "core/zone_statistics.h"
#include "grids/mpi_layout.h"
#include "setup/code_checks.h"
#include "setup/coupling.h"
#include "setup/derived_grids.h"
#include "setup/irrigation_tables.h"
#include "setup/model_settings.h"
#include "setup/mpi_regions.h"
#include "setup/response_units.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"

namespace velorn {

struct ZoneStatisticsRecord;
struct LanduseParameterGrids;

// Code of output-list codes that do not rise strictly.
inline constexpr int kOutputListOrderCode = 97;
// Longest name of a meteorological variable.
inline constexpr std::size_t kMaxMeteoNameLength = 200;
// Most sub-steps of [soil_surface_groundwater_substeps]: one a second of a daily step.
inline constexpr int32_t kMaxSubstepCount = 86400;

// Normalises a model time range read from [model_time]: years of 999 or less get 1900 added;
// months are clamped to 1..12; the end day to the length of the end month in the end year and
// the start day to the length of the start month in the start year (real leap years each);
// hours stay as they are.
void NormaliseModelTime(ModelDate& start, ModelDate& end);

// Entries that WriteStandardGrids hands to the grid output each step: from 2 (the elevation
// model) up to the last grid the settings object registered before the variable grids, that is
// the entry before the first variable grid when there are variable grids (which
// WriteVariableGrids hands over itself), else entry grid_counter + 2.
struct EntryRange {
  int first = 0;
  int last = -1;
};
EntryRange StandardGridOutputRange(int32_t grid_counter, int32_t first_variable_entry);

class defaultini : public modelobject {
 public:
  // Never throws after the model-object base is built: a failure sets `error_code` to the
  // thrown code (103 for a foreign exception) and construction stops there.
  defaultini(int32_t& error_code, DiagnosticStream* diag_stream,
             const std::string& control_file_name_arg,
             ZoneStatisticsRecord* statistics_registry_arg, int32_t statistics_capacity_arg,
             int32_t model_variant_arg, GridRegistry** registry_pointer);
  ~defaultini() override;

  // Frees everything the object built, then the model-object release. A stack kept to the end
  // of the run (kept_stack_entry) is first written as "<file name>_End": collective then. A
  // failure of that write is thrown after the rest of the release is done.
  void ReleaseMemory() override;

  // --- Control file and output settings (defaultini.cpp, output_settings.cpp) ----------------
  // Collective: process 0 compiles `name`, all processes wait at a barrier; every process gets
  // the compiled name in `compiled_name`, which also becomes the object's control-file name.
  virtual void CompileControlFileSymbols(const std::string& name, std::string& compiled_name);
  // Reads [output_interval], [output_list], [coordinates], [meteo_data_count] and
  // [meteo_names] from the compiled file into `output_settings` (it opens and closes the file);
  // also points the object's output list at the codes read.
  virtual void ReadOutputSettings(const std::string& compiled_name);
  // [soil_surface_groundwater_substeps] from the file named by control_file_name (the compiled
  // file once it is compiled); 1 when the section is absent. A count below 1 is FATAL (17).
  virtual int32_t ReadSoilSurfaceGroundwaterSubsteps();

  // --- Irrigation (irrigation_tables.cpp) -----------------------------------------------------
  // Reads [irrigation] and, when switched on, [irrigation_table]; nothing for a variant below 2.
  virtual void ReadIrrigationSections(int32_t variant);
  virtual void ReadIrrigationTable();
  // "FATAL: irrigation description for irrigation type <entry> is wrong " with the help text;
  // code 29.
  [[noreturn]] virtual void ReportIrrigationRuleError(int32_t entry);

  // --- Soil table (setup/table_sections.cpp) ---------------------------------------------------
  // Reads [soil_table] into soil_records (record 0 holds the count) and points soil_table at it.
  virtual void ReadSoilTable(int32_t variant);

  // --- Model time and small accessors (model_time_settings.cpp) ----------------------------
  // First value of [radiation_correction] into the switch; returns the count of values read.
  virtual int ReadRadiationCorrectionSwitch();
  // The eight values of [model_time], normalised into start_date and end_date; February of the
  // month-length table follows the end year.
  virtual void ReadModelTime();
  // Collective: the greatest value of registry entry `entry` over the zone cells of every
  // process's own rows; the nodata value when no cell exceeds it. Code 33 on every process when
  // the entry is not registered or the zone ranking (column ranges) is not built on some process.
  virtual double GlobalGridMaximum(int entry);
  virtual double GetMaximumElevation() { return maximum_elevation; }
  // End of every time step: stores the step date, then hands the elevation model and every
  // grid the settings object registered before the variable grids to the grid output
  // (WriteGridOutput(entry, 1, false), entries of StandardGridOutputRange). Collective when
  // grids are gathered to process 0, so every process calls it at the same point.
  virtual void WriteStandardGrids(int64_t hour, int64_t day, int64_t month, int64_t year);

  // --- Land-use tables (setup/table_sections.cpp) -------------------------------------------
  // [multilayer_landuse] (optional: no table without it) and [landuse_table] (required) from
  // `control_file`, each into an owned array of count + 1 records; the variant decides whether
  // fixed-format land-use lines carry RootDist and HReduDry (2). Codes: 17 section, count or
  // end of section; 29 a land-use entry; 110, 111, 112 a multilayer entry.
  virtual void ReadMultilayerLanduseTable(int32_t variant);
  virtual void ReadLanduseTable(int32_t variant);

  // --- Land-use parameter grids (setup/landuse_parameter_grids.cpp) -------------------------
  // Creates (or reuses) the parameter and phenology grids of `layer_count` layers and evaluates
  // them at the start date; nothing without land-use layer grids. Codes 12, 31, 150-154.
  virtual void generateMultiLayerParameterGrids(int32_t layer_count);
  // Every time step (date of the meteorological data, step length in minutes); the parameters
  // change in the step that ends the day. Codes 33 ("temperature" missing), 31, 150-154.
  virtual void UpdateLanduseParameterGrids(int64_t hour, int64_t day, int64_t month, int64_t year,
                                           double time_step_minutes);
  // One day of dynamic phenology for every land-use cell and layer.
  virtual void UpdateDynamicPhenology(int day_of_year, int32_t layer_count);
  // Registers the stacks of per-cell fixpoint days ("MultipleStartTimes<l>") that the creation
  // made, once every sub-model has registered its grids: a search for a grid that ends at the
  // first stack would otherwise miss every grid registered after them. Code 12 when the
  // registry is full.
  void RegisterLanduseStacks();
  // The warm-start state of the parameters: the date of their last evaluation, appended to the
  // storage content file `file_name` (output directory; code 18 when it cannot be written) as
  // the section "[landuse_parameters]", and read back from it (the initial-state folder) to
  // evaluate the parameters at that date, "albedo" left as it is when `keep_albedo` (the snow
  // model's state holds it). With dynamic phenology its state (sums, start days, the seven-day
  // history, cold days, the day's mean so far) goes with the date and is read back. A file
  // without the section keeps the start date's parameters, a section without the phenology's
  // state begins it anew (WARNING each); a date or a state that cannot be read, or one of
  // another table or basin, ends the run (code 71). Nothing without land-use grids.
  virtual void AppendLanduseEvaluationDate(const std::string& file_name);
  virtual void ContinueLanduseParameters(const std::string& file_name, bool keep_albedo);
  std::shared_ptr<LanduseParameterGrids> landuse_grids;

  // --- MPI regions (region_setup.cpp) ---------------------------------------------------------
  // Collective: divides the domain (zone grid, entry 1) among the processes, with the river
  // links of "river_links" kept whole when [unsatzon_model] asks for them; registers
  // "MPIRegions", "MPIHelper" and "MPIHalo"; sets this process's rows and points `mpi` at the
  // layout in `decomposition`. Process 0 holds every row of entries 1 and 2 when it is called.
  virtual void DecomposeMpiRegions();

  // --- Stepwise set-up, derived grids, spin-up (setup_steps.cpp, derived_grids_setup.cpp,
  // spin_up.cpp). Collective: every process calls them at the same point. ----------------------
  // Performs the next step of the set-up (0..22) and returns 0; after step 22 the closing call
  // closes the control file and sets `done` (and setup_complete) to 1. Failures are thrown.
  virtual int32_t RunSetupStep(uint8_t& done);
  virtual void CheckCellSizes();
  virtual void CreateCoordinateGrids();
  virtual void make_nFK_kWert_and_Na();
  virtual void make_Slope_and_Aspect();
  virtual void FillFromNeighbours(int32_t row, int32_t column, double** matrix);
  virtual void check_ice_firn_grid();
  virtual void MakeRegionWeightGrids();
  // Process 0 only: fills the region and weight grids of `derived.regions`.
  virtual void ComputeRegionWeights();
  // [SpinUp]: the three settings (0 without the section) and, with spin-up on, the table of
  // hydrologic response units (element 0 a placeholder) with its two grids.
  virtual void CreateHydrologicResponseUnits(int32_t& spin_up_switch, int32_t& pre_spin_up,
                                             int32_t& repeat_count, std::vector<HruRecord>& units);

  // --- Standard and variable grids (standard_grids.cpp, variable_grids.cpp) -------------------
  // [zone_grid] into entry 1, [elevation_model] into entry 2, the lines of [standard_grids]
  // into entries 3..count + 2 (from the open compiled control file). Code 17 for a missing
  // section, a bad line or a missing fill code; 1 for a name too long for the registry.
  virtual void ReadStandardGrids();
  // Collective: reads or creates every standard grid without data (not "river_links") over
  // LocalRowRange and registers it; saved copies of grids that are not persistent.
  virtual void DistributeStandardGrids();
  // Collective, every time step: dated re-reads of periodic standard grids, code grids checked
  // again, land-use layers rebuilt, and the set-up values restored after the persistence steps.
  virtual void ReadPeriodicGrids(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Collective: [variable_grids] from the compiled file; returns their count.
  virtual int32_t ReadVariableGrids();
  virtual void WriteVariableGrids(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Rows a set-up grid holds here: all on process 0 until TrimSetUpGrids, the own rows and one
  // halo row on each side elsewhere (and on process 0 after it).
  HeldRows LocalRowRange() const;
  // Collective, once after the set-up and before the sub-models allocate their grids: process 0
  // keeps of its whole set-up grids only its held rows (setup/held_rows_trim.h).
  void TrimSetUpGrids();
  // Set on every process of a run on two or more processes by TrimSetUpGrids.
  bool set_up_grids_trimmed = false;

  // --- Statistics of the standard grids (standard_grid_statistics.cpp) -----------------------
  // Once after the set-up, on every process: a zone statistics table (precision 5, weighted by
  // "RelCellArea" when registered, listing the [output_list] codes) for every entry
  // 2..2 + registered_grid_count with a statistics file, headed by the grid's identifier and
  // "(default)". A failing table constructor's code is thrown; 33 without the zone ranking.
  virtual void CreateStandardGridStatistics();
  // End of every step, in this order: zero the step sums; add the value of every zone cell this
  // process owns to its zone; collective: reduce onto process 0, which buffers a row at the end
  // of each table's interval.
  virtual void ResetStandardGridStatistics();
  virtual void AccumulateStandardGridStatistics();
  virtual void WriteStandardGridStatistics(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Appends the buffered rows to the files (process 0).
  virtual void FlushStandardGridStatistics();
  // Flushes and frees every table and clears the entries' statistics fields; the first write
  // failure is thrown after all are released.
  virtual void ReleaseStandardGridStatistics();

  // --- Zone grid header, ranking, code checks (zone_ranking.cpp, code_checks.cpp) -------------
  // Process 0: the six geometry values from the header of entry 1's file (21, 22, 23).
  virtual void ReadZoneGridHeader(int32_t& ncols_out, int32_t& nrows_out, double& xll_out,
                                  double& yll_out, double& cellsize_out, double& nodata_out);
  // Collective: zone table, code-to-index array and column ranges from entry 1 (3, 4, 7).
  virtual void RankZones(GridRegistry& grids, double** weight, int32_t ncols_arg, int32_t nrows_arg,
                         double nodata_arg);
  // Collective: region table of the region grid in `entry` (3, 4).
  virtual void RankRegions(int entry);
  // Collective checks of the code grid in `entry` (0: nothing) against the object's tables
  // (landuse_records, multilayer_landuse_records, soil_records, irrigation_table): codes
  // become entry indexes. With a multilayer land-use table the land-use grid is checked
  // against its entries (311) and their layer codes against the land-use codes (312), which
  // become land-use indexes on every process.
  virtual void CheckLanduseCodes(int entry);
  virtual void check_SOIL_Codes(int entry);
  virtual void CheckIrrigationCodes(int entry);
  virtual void check_irrig_Codes(int entry);
  // Collective: the grids "landuse1".."landuseN" of the multilayer land-use entries.
  virtual void CreateLanduseLayerGrids();
  // --- External coupling (setup/coupling_settings.cpp, setup/coupling_exchange.cpp) ----------
  // See setup/coupling.h. GetCouplingParameters reads [ExternalCoupling] on every process (codes
  // 14, 17, 10) and allocates the accumulation grids; LinkExternalGrids finds the grids (1003,
  // 1004) and, on process 0, the statistics (1005). ExchangeExternalGrids is collective (every
  // process reads its rows; 1001, 1002 on process 0); AccumulateExternalGrids and
  // WriteExternalGrids are collective with several processes (grids gathered to process 0).
  virtual bool IsCouplingActive() { return coupling.mode == 1; }
  virtual void GetCouplingParameters();
  virtual void ExchangeExternalGrids(int64_t year, int64_t month, int64_t day, int64_t hour);
  virtual std::string GetSemaphoreFileName() { return coupling.semaphore_file; }
  virtual std::string GetExternalSemaphoreFileName() { return coupling.external_semaphore_file; }
  virtual std::string GetExternalSemaphoreContent() { return coupling.external_semaphore_content; }
  virtual int64_t GetWaitInterval() { return coupling_wait_interval; }
  virtual char GetCouplingInterval() { return coupling_interval_kind; }
  virtual void LinkExternalGrids(ZoneStatisticsRecord* registry_records, int32_t capacity);
  virtual void AccumulateExternalGrids();
  virtual void WriteExternalGrids(int32_t hour, int32_t day, int32_t month, int32_t year,
                                  bool hour_ended, bool day_ended, bool month_ended,
                                  bool year_ended);
  virtual bool HasExternalGroundwaterTable();
  virtual int32_t GetExternalTimeStep() { return coupling.external_time_step; }

  // --- Hand-out -------------------------------------------------------------------------------
  // Copies the settings into `settings` (see setup/model_settings.h); releases the object's
  // copy of the compiled name. Returns 0.
  virtual int32_t GetModelSettings(ModelSettings& settings);

  // --- Fields ----------------------------------------------------------------------------------
  ZoneStatisticsRecord* statistics_registry = nullptr;
  int32_t statistics_capacity = 0;
  // 1: soil parameter grids; 2 or more: irrigation tables (handed out for 2 only).
  int32_t model_variant = 0;
  std::string compiled_control_file_name;  // set in set-up step 0, released by the hand-out
  int32_t setup_step = 0;
  int32_t setup_complete = 0;
  // Land-use layer grids; entry 0 the grid "landuse".
  std::vector<double**> landuse_layers;
  int32_t landuse_layer_count = 0;
  int64_t coupling_wait_interval = 100;  // milliseconds between scans for the semaphore file
  char coupling_interval_kind = 'I';
  CouplingSettings coupling;  // [ExternalCoupling]
  int32_t substep_count = 1;  // [soil_surface_groundwater_substeps]
  OutputSettings output_settings;
  int32_t radiation_correction_switch = 0;
  double maximum_elevation = 0;
  // Grids registered beyond entries 1 and 2, and the entry of the first variable grid (0: none).
  // The grid counter starts at the count of [standard_grids]; every grid that a later set-up
  // step or CreateHydrologicResponseUnits registers is appended to the standard grids and raises
  // it by one, so that 2 + the counter is the last entry of the settings object: the standard
  // grid output, the periodic reads, the statistics and the release all end there.
  int32_t registered_grid_count = 0;
  int32_t first_variable_entry = 0;
  // Registry entry of the stack that the land-use parameter set-up keeps to the end of the run
  // (0: none); the release writes it as "<file name>_End" with its levels 0..level count.
  int32_t kept_stack_entry = 0;
  // Irrigation: the switch of [irrigation], the flag of the set-up and the table.
  int32_t irrigation_switch = 0;
  int32_t irrigation_flag = 0;
  std::unique_ptr<IrrigationTable> irrigation_table;
  // Tables of the land-use and soil sections (owned by their readers' storage).
  std::vector<LanduseRecord> landuse_records;
  std::vector<MultilayerLanduseRecord> multilayer_landuse_records;
  LanduseRecord* landuse_table = nullptr;
  SoilRecord* soil_table = nullptr;
  std::vector<SoilRecord> soil_records;  // storage of soil_table
  MultilayerLanduseRecord* multilayer_landuse_table = nullptr;
  // Zone ranking storage: the model-object fields zone_table, zone_code_index and
  // column_ranges point into these vectors once the zones are ranked.
  std::vector<ZoneRecord> zone_records;
  std::vector<int32_t> zone_codes_to_index;
  std::vector<ColumnRange> column_range_table;
  // Standard and variable grids: the count of [standard_grids] (the grids that set-up step 8
  // reads or creates; the grid counter above counts the appended grids too), read codes of the
  // variable grids (1..count) and the variable grid "soil_storage".
  int32_t standard_grid_count = 0;
  std::vector<int32_t> variable_read_codes;
  double** soil_storage_grid = nullptr;
  // Code grids checked so far (checked again after a periodic re-read) and the land-use
  // grid's entry.
  struct CodeGridCheck {
    int entry = 0;
    CodeTable table = CodeTable::kLanduse;
  };
  std::vector<CodeGridCheck> code_grid_checks;
  int landuse_entry = 0;
  // The statistics tables of the standard grids, with their registry entries.
  struct StandardGridStatistics {
    int entry = 0;
    std::unique_ptr<zonalstatistic> table;
  };
  std::vector<StandardGridStatistics> standard_grid_statistics;
  // Region ranking.
  std::vector<RegionRecord> region_records;
  RegionRecord* region_table = nullptr;
  int32_t region_count = 0;
  int32_t highest_region_code = 0;
  std::vector<int32_t> region_codes_to_index;
  // MPI region decomposition of this process (layout and river links).
  RegionDecomposition decomposition;
  // Set-up shortcuts to the zone grid and the elevation model, and the derived grids.
  double** zone_data = nullptr;
  double** elevation_data = nullptr;
  DerivedGridFields derived;

 private:
  // Steps of the constructor after the base: banner, module name, registry, buffers.
  void Construct(GridRegistry** registry_pointer);
  // Steps of the release.
  void ReleaseTables();
  void WriteKeptStack();
  void ReleaseRegisteredGrids();
  void ReleaseZoneArrays();
  // Steps of the set-up and of the spin-up reader.
  void RunStep(int32_t step);
  void ReadZoneAndElevation();
  void DistributeZoneAndElevation();
  void CheckZoneAndElevation();
  void SetUpLanduseLayers();
  std::vector<HruDefinition> ReadSpinUpSection(int32_t& spin_up_switch, int32_t& pre_spin_up,
                                               int32_t& repeat_count);
  // Steps of the grid set-up.
  void ReadStandardGridLine(int i);
  void CheckGridNameLength(const std::string& text, const std::string& what);
  GridMatrix CopyHeldRows(double** grid, const HeldRows& held);
  [[noreturn]] void ReportRankingFailure(int failure, const std::string& name, bool regions);
  // Codes of the entries 1..count of `table` (element 0 unused).
  std::vector<int32_t> TableCodes(CodeTable table) const;
  void CheckCodeGrid(int entry, CodeTable table);
  void CheckAndReplaceOnRoot(const GridEntry& grid_entry, CodeTable table,
                             const std::vector<int32_t>& codes);
  void CheckCodeGridOnHeldRows(const GridEntry& grid_entry, CodeTable table);
  [[noreturn]] void ReportUnknownCode(const GridEntry& grid_entry, CodeTable table, double value);
  void WarnAboutFractionalCodes(const GridEntry& grid_entry, CodeTable table, bool positive_only);
  void ReportCodeReplacement(const GridEntry& grid_entry, CodeTable table,
                             const std::vector<int32_t>& codes);
  void ReplaceLayerCodes(const std::vector<int32_t>& landuse_codes);
  void BroadcastLayerCodes();
  void RecheckCodeGrid(int entry);
  void FillLanduseLayerGrids();
  // Readers of ReadOutputSettings, in their order.
  void ReadOutputInterval();
  void ReadOutputKeywordLines();
  void CreateOutputDirectory(const std::string& directory);
  void WarnAboutKeywordsAfterTheBlock();
  void WarnAboutUnknownKeyword(const std::string& line);
  void ReadOutputList();
  void ReadCoordinates();
  void ReadMeteoNames();
  // Code 17: `what` is `value`, outside `range`.
  [[noreturn]] void FailOutOfRange(const std::string& what, const std::string& value,
                                   const std::string& range);
  // Code 17 when `count` is above the values left in `file`.
  void FailIfMoreThanLeft(const ControlFileReader& file, int count, const std::string& what);
  // One irrigation entry (1-based) of [irrigation_table].
  IrrigationRecord ReadIrrigationEntry(int32_t entry);
  void ReadIrrigationDateTable(IrrigationRecord& record, int32_t entry);

  // The output folder of [output_interval], locked by process 0 from set-up step 0 (before
  // anything is written into it) as long as this object lives.
  OutputFolderLock output_lock;
  // The compiled control file of the run, which every reader of this process reads, held from
  // set-up step 0 as long as this object lives.
  HeldControlText compiled_text;
};

}  // namespace velorn

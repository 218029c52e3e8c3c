// schneemodellklasse: the snow sub-model, section "[snow_model]", with its glacier section
// "[ice_firn]" and its permafrost section "[permafrost]".
//
// What this object holds after construction (snow/snow_model.cpp, snow/glacier_setup.cpp):
// - the [snow_model] settings of the melt method (1..14; 5, 6, 7 and 11 run an energy balance
//   with snow temperatures, 6..9, 12 and 14 let snow slide down steep slopes, 7, 9, 10, 11, 13
//   and 14 weight snowfall by "deposition_index", 5..14 read the extended settings);
// - its own grids, each registered under its identifier: the storages "snowstorage_solid",
//   "snowstorage_liquid", "snow_storage_total", "days_snow", "snow_age" over the snow rows
//   (gridRowFirst..gridRowLast: all rows on process 0 when wholeGridOnRoot is set, else the
//   process's own rows), the step outputs "snow_fraction", "rain_fraction", "snowcover_outflow",
//   "melt_from_snowcover" over the own rows, and by method the temperature grids "snowtemp",
//   "surftemp", "EnergyBalance" and the slide grids "input_mass", "mobile_mass", "deposition"
//   with, on process 0 only, "max_deposition" and the elevation order "elev_order_row" /
//   "elev_order_col" (the k-th cell of the slide pass, highest first). A grid that another
//   model registered first under the same identifier is linked instead (`linked` set): the
//   snow model then neither registers nor frees it;
// - links to the grids of other models (albedo, snow evaporation, land use, elevation, ...);
// - the zone statistics tables of the snow model (8 to 13 by method);
// - with a glacier grid ("ice_firn" or "GlacierizedCells"): the [ice_firn] settings, the
//   per-subbasin linear storages of ice, firn and snow melt on glaciers (soil-model zones
//   1..Z), the subbasin glacier shares (identical on every process), the glacier melt grids and
//   tables, and for the dynamic methods 11..13 the firn stack and the glacier state grids;
// - with "ThawCoeffPermaFrost" and "PermafrostThawDepth": the [permafrost] settings, the
//   snow-free and snow-cover day counts and the thaw-depth table.
//
// The time step (snow/snow_step.cpp, the cell physics in snow/snow_cell.h, the end of the step
// in snow/snow_finish.cpp): per own cell, rain and snow from the water input and temperature,
// the storages and their total, the four step outputs, "days_snow", "snow_age" and the albedo;
// on static glacier cells the snow, ice and firn melt; permafrost thaw; at the end of the step
// every table, the subbasin glacier melt through Qice_els / Qfirn_els / Qsnow_els into the soil
// runoff `Qg` of the subbasins whose share record has hasGlacier set (with tracers, their
// concentration into Qg[t]; snow/glacier_tracers.cpp), and the grid output. Grids
// over the snow rows are whole on process 0 exactly when wholeGridOnRoot is set; "days_snow",
// "snow_age", "snowtemp" and "surftemp" read from files hold the own rows only.
// Settled for the whole model: the evapotranspiration model takes the snow evaporation it books
// out of "snowstorage_solid" before the snow step; the snow step does not take it again (only the
// layered pack follows it). "SnowDensity" of the layered pack is a density relative to water
// (0..1) wherever it is used.
//
// Construction reports every failure through the error-code out-parameter (103 for an
// exception without a code); the application throws it on. The dynamic glacier methods change
// the glacier areas once a year on the evaluation step (snow/glacier_year.cpp). The slide methods
// redistribute the snow of steep cells
// at the end of each step (snow/snow_slide.h) on process 0. Construction is collective (zone
// ranking, grid reading, glacier shares): every process constructs the model with the same control
// file. ReleaseMemory frees what the object made, never what it only linked.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/exact_sum.h"
#include "core/matrix.h"
#include "core/submodel.h"
#include "core/tracer_bookkeeping.h"
#include "core/zone_statistics.h"
#include "evaporation/evapotranspiration.h"
#include "snow/glacier_record.h"
#include "snow/layered_snow.h"
#include "snow/snow_cell.h"
#include "tables/landuse_curve_values.h"

namespace velorn {

// Values of the extended [snow_model] settings outside their bounds, and an unreadable entry 42.
inline constexpr int kSnowExtendedLineCode = 404;
inline constexpr int kMaxDepositionSlopeCode = 405;
inline constexpr int kMaxDepositionFactorCode = 406;
inline constexpr int kMinSlideSlopeCode = 407;
inline constexpr int kSlideSettingCode = 408;
// A fault of [ice_firn], [permafrost] or the glacier grids.
inline constexpr int kGlacierSetupCode = 80;
// A glacier whose cells lie in more than one subbasin.
inline constexpr int kGlacierSubbasinCode = 84;
// A total glacier melt table name without "." (the snow-on-ice table is named after it).
inline constexpr int kSnowOnIceTableNameCode = 103;
// Snow and surface temperature of cells that a temperature grid file leaves empty (K).
inline constexpr double kMeltingPointKelvin = 273.16;

// Per subbasin: whether a cell of it carries glacier, and the sums of the glacierized and
// non-glacierized fractions of its cells. Laid out as the MPI type of FlagAndTwoDoublesType
// (core/mpi_operations.h): one byte at 0, doubles at 8 and 16.
struct GlacierShareRecord {
  bool hasGlacier = false;
  double glacierized = 0;
  double nonGlacierized = 0;
};

// Method families.
bool IsEnergyBalanceSnowMethod(int32_t method);       // 5, 6, 7, 11
bool IsSlideSnowMethod(int32_t method);               // 6, 7, 8, 9, 12, 14
bool UsesDepositionIndex(int32_t method);             // 7, 9, 10, 11, 13, 14
bool IsDynamicGlacierMethod(int32_t glacier_method);  // 11, 12, 13

class schneemodellklasse : public teilmodellklasse {
 public:
  using OutputSetting = EvapOutputSetting;
  using Table = EvapStatistics;

  // One grid of the snow model: made here (`data` owns it, `index` its registry entry) or
  // linked from another model (`linked`, nothing owned, no entry of its own).
  struct OwnGrid {
    std::string identifier;
    GridMatrix data;
    double** grid = nullptr;
    int index = 0;
    bool linked = false;
  };

  // `error` receives 0 or the code of a failure after its FATAL entry; 103 for an exception
  // without a code. `section_name` is "snow_model" in a run. Collective.
  schneemodellklasse(int32_t& error, const SubModelSetup& setup,
                     const std::string& section_name = "snow_model");
  ~schneemodellklasse() override;

  // --- Hand-over operations ------------------------------------------------------------------
  // `method` when the model is on, else 0.
  virtual int32_t GetMethod();
  virtual void SetHeatTransferActive(bool active) { heatTransferActive = active; }
  virtual bool IsHeatTransferActive() { return heatTransferActive; }
  virtual bool IsLayeredSnowActive() { return layeredSnowActive; }
  virtual void SetDumpOptions(int32_t dump_mode, int32_t close_after_dump,
                              int32_t repair_after_dump, uint64_t max_dump_files);
  // With the model on: the base tracer set-up, then per tracer its input flux grid, the first
  // registered of the irrigation flux and the input flux ("concflux_tracer_<i>_irrigation",
  // "concflux_tracer_<i>_input"; neither: code 33). Never throws: `error` gets the code.
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  // Frees the tables, the own grids (not the linked ones) and the glacier arrays, then the
  // base. With the initialised mark set, the storage section is written first (with the
  // storage state, which the time step brings).
  void ReleaseMemory() override;

  // --- Time step (snow/snow_step.cpp, snow/snow_finish.cpp) ----------------------------------
  // Links the water input (with interception before snow the first of "throughfall0" and
  // "precipitation"), the canopy grids, wind, humidity, radiation and temperature, once.
  virtual void SetCanopySnowInputs(bool interception_before_snow);
  // A model below takes the pack's outflow as its water input and leaves it less what it takes
  // (the silting-up model): a static glacier's part then routes the outflow this model computed.
  void KeepOutflowForGlaciers() { outflow_taken_below_ = true; }
  // The grid of the pack's outflow that a static glacier's part of a cell routes: the kept one
  // under KeepOutflowForGlaciers, else the shared "snowcover_outflow".
  double** StaticGlacierOutflowGrid() const {
    return own_outflow_ ? own_outflow_.get() : OwnData("snowcover_outflow");
  }
  // The lake switch of `section_name` ("[lake_model]"); INFO and off without "lake_codes".
  virtual void ReadLakeSection(const std::string& section_name);
  virtual double** GetSolidSnowStorage();
  // The identifier of the grid of glacier shares the glacier part runs on ("ice_firn" for static
  // glaciers, "GlacierizedCells" for dynamic ones), null without the glacier part: the other
  // models weigh a cell's glacier part by it too.
  const char* GlacierShareIdentifier() const;
  virtual bool SetRadiationCorrectionGrid(double** correction);
  // The land-use curves of the settings object, whose cells take the land albedo of their
  // curve (null: every cell evaluates its own).
  void SetLanduseCurves(const LanduseParameterGrids* grids) { landuse_curves_ = grids; }
  // Keeps the soil model's runoff array (per tracer 0.., subbasin 1..), marks the model
  // initialised; returns whether the model is on.
  virtual bool SetQg(double** runoff);
  virtual void FlushBuffers();
  // The unsaturated zone's layered snow pack: with `on` the stacks "SnowWaterEquivalentSolid",
  // "SnowWaterEquivalentLiquid", "SnowLayerThickness", "SnowDensity", with heat transfer
  // "Temperature_Stack_Snow", and the grid "upperIndexSnow" are looked up (code 33 when absent).
  virtual void SetLayeredSnowModel(bool on, const std::vector<SnowLayerLimits>& limits,
                                   double fresh_snow_offset);
  // After a snow survey set the solid storage (`solid`), the liquid one (`liquid`) or both of the
  // own cells where `surveyed` is not nodata: with layered snow their layers take the same ice,
  // liquid water or both, and keep their own of the storage the survey left.
  void TakeSurveyedSnow(double** surveyed, bool solid, bool liquid);
  // Adds (amount > 0) or removes w * |amount| mm in the cell's layers; nothing for g = 1.
  virtual void UpdateLayeredSnow(long row, long column, int g, double w, double amount, double T);
  // The cell loop of one step: storages, outflow, albedo, age, glacier melt, permafrost.
  virtual void RunSnowStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  // After the soil sub-steps: statistics, glacier linear storages into `Qg`, grid output.
  virtual void FinishStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  // After the annual glacier update: the subbasin glacier shares counted again and broadcast
  // (collective). A subbasin keeps its glacier flag and gains it when a glacier appears in it,
  // so the melt of a glacier that grows into a glacier-free subbasin reaches its runoff `Qg`.
  void RecountGlacierShares();

  // --- Storage state (snow/snow_storage.cpp) -------------------------------------------------
  // The [snow_model] section of the per-process storage file: the glacier linear storages.
  // No name: neither read nor written. Modes 0, 2 and 4: the name is kept (the section is
  // written at the end), nothing is read. A missing file or section: two WARNING entries, cold
  // start.
  virtual void ReadStorageState(const std::string& file_name, int32_t storage_mode);
  // Writes the section ("a" appends, else a new file); a file that cannot be written ends the
  // run (FATAL 18 naming it).
  virtual void WriteStorageState(bool append);
  // FATAL with code 71: the model and the file disagree on `label`.
  [[noreturn]] virtual void CompareStorageValue(const std::string& label, double control_value,
                                                double file_value);
  // Reads one number from the open storage file and compares it with the model's `value`: a
  // relative difference above 1e-5 (with a file value of 0: any difference) goes to
  // CompareStorageValue. Returns the number of values read (0 or 1).
  virtual int32_t ReadStorageValue(std::FILE* file, double value, const std::string& label);
  // A warm start that read the permafrost's day counts continues the thaw the last step left:
  // the thaw depth they give, and the root depth of the land-use parameters (set before) limited
  // to it as that step limited it. Call after the land-use parameters are continued.
  void ContinuePermafrostThaw();

  // The own grid with this identifier (linked or made), or null.
  const OwnGrid* FindOwnGrid(const std::string& identifier) const;
  double** OwnData(const std::string& identifier) const;
  // Registry index of the tracer's input flux grid (1..tracer_count).
  int TracerInputIndex(int32_t tracer) const { return tracer_input_index_.at(tracer); }

  // --- [snow_model] --------------------------------------------------------------------------
  int32_t method = 0;
  double transzone = 0, T0R = 0, T0 = 0, CWH = 0, CRFR = 0;
  double C0 = 0, C1 = 0, C2 = 0, z0 = 0;
  double RMFMIN = 0, RMFMAX = 0, ALBsnow_min = 0, ALBsnow_max = 0;
  int32_t readStorageGrids = 0;
  bool albedo_state_read = false;  // the albedo grid holds the state "snowalbedo.*" read back
  double maxDepositionSlope = 55.0;
  double maxDepositionFactor = 1.0;
  double minSlideSlope = 30.0;
  double slideMassFrac = 0.01;
  double LWINcorr = 1.0, LWOUTcorr = 1.0, EnBalScaling = 1.0;
  // Derived: seasonal melt factor (mean and amplitude) and the season's phase.
  double RMFamplitude = 0, RMFmean = 0;
  double seasonalOmega = 0.017214206;  // per day
  double seasonalPhase = -80;          // days
  // Grid outputs by identifier; statistics tables by title.
  OutputSetting rain_output, snow_output, days_output, age_output, outflow_output, melt_output,
      solid_output, liquid_output, total_output, snowtemp_output, surftemp_output,
      input_mass_output, mobile_mass_output, deposition_output;
  OutputSetting albedo_statistics;

  // --- Rows and hand-over flags ------------------------------------------------------------
  int32_t gridRowFirst = 0, gridRowLast = 0;
  bool wholeGridOnRoot = false;
  bool interceptionBeforeSnow = false;
  bool heatTransferActive = false;
  bool layeredSnowActive = false;
  bool dumpMode = false, closeAfterDump = false, repairAfterDump = false;
  uint64_t maxDumpFiles = 0;

  // --- Links to other models' grids (null when absent) --------------------------------------
  double** elevation = nullptr;
  double** albedo = nullptr;
  double** snow_evaporation = nullptr;
  // Without the evapotranspiration model, which otherwise starts the snow evaporation grid at 0
  // every step, the energy-balance methods start it themselves (RunSnowStep); where no grid of
  // that name is there, they book their sublimation in a grid of their own.
  int32_t evapotranspirationModelActive = 1;
  GridMatrix own_snow_evaporation_;
  int32_t landuse_layers = 1;
  std::vector<double**> landuse;            // 1..landuse_layers
  std::array<double**, 5> slidefraction{};  // 1..4
  double** slope_angle = nullptr;
  double** deposition_index = nullptr;
  double** cloudiness = nullptr;
  double** surfacetemperature = nullptr;
  double** vapor_pressure = nullptr;
  double** temperature_night = nullptr;
  double** response_units = nullptr;
  double** master_response_units = nullptr;

  // --- Soil-model zones (the subbasins of the glacier storages) -----------------------------
  double** soil_zone_grid = nullptr;
  std::vector<ZoneRecord> soil_zone_table;  // 0..soil_zone_count
  std::vector<int32_t> soil_zone_index;     // code -> index
  int32_t soil_zone_count = 0;
  int32_t soil_zone_highest = 0;

  // --- [ice_firn] (glacier part ran: glacier_cells set) -------------------------------------
  int32_t glacierMethod = 0;
  double DDFice = 0, DDFfirn = 0, DDFsnow = 0, MF = 0;
  double Aice_min = 0, Aice_max = 0, Asnow_min = 0, Asnow_max = 0;
  double Aice_mean = 0, Aice_amplitude = 0, Asnow_mean = 0, Asnow_amplitude = 0;
  double kice_els = 0, kfirn_els = 0, ksnow_els = 0;
  // Per subbasin 0..Z (index 0 unused): linear storage contents and the step's inflows.
  std::vector<double> Qice_els, Qfirn_els, Qsnow_els;
  std::vector<double> ice_melt_input, firn_melt_input, snow_melt_input;
  int32_t readGlacierGrids = 0;
  int32_t firn_levels = 0;
  double firn_base = 0, deltafirnper100m = 0;
  int32_t GMBEvalDay = 0, GMBEvalMonth = 0;
  // Hours from the step before to this one (0 on the first step of a run or pass): the pace the
  // model steps the snow model at, that of the station data, which may differ from its interval.
  double step_pace_hours = 0;
  double VAscaling = 0, VAexponent = 0;
  int32_t numElevBands = 0, extraWeightFactorBand0 = 0;
  double debrisScaling = 1.0;
  double maxSnowPackToCreateGlacier = 1000;
  double relSizeNewGlacier = 0.25;
  double glacier_balance_factor = 0.85;
  OutputSetting firn_melt_output, ice_melt_output;
  OutputSetting total_melt_statistics, snow_on_ice_statistics, glacier_snow_statistics;
  OutputSetting firn_stack_output, mass_balance_output, old_mass_balance_output;
  OutputSetting mass_balance_statistics2;
  // The seven on-glacier grids: solid, liquid, total, melt, surftemp, snowtemp, evaporation.
  std::array<OutputSetting, 7> on_glacier_outputs;
  double** glacier_cells = nullptr;  // "ice_firn" (1, 2) or "GlacierizedCells" (11..13)
  double** glacier_codes = nullptr;  // "GlacierCodes" (11..13)
  double** debris = nullptr;         // "debris_on_glaciers"
  // Factor of a cell's ice melt: its debris value (1 without the grid or without a value there)
  // times debrisScaling, which scales the ice melt of every glacier cell.
  double DebrisFactor(long r, long c) const {
    return (debris != nullptr && debris[r][c] > nodata + 1 ? debris[r][c] : 1.0) * debrisScaling;
  }
  double** glacier_radiation = nullptr;            // methods 2, 12, 13
  std::vector<GlacierShareRecord> glacier_shares;  // 0..Z
  // Process 0: the solute the three glacier storages of subbasin `subbasin` (1..Z) hold for
  // tracer `t` (1..tracer_count), in the units of their content Q (as Qice_els): times the
  // glacierized share of the subbasin and its cells per weight it is mm x concentration over
  // the subbasin. 0 without glacier storages.
  double GlacierStorageSolute(int32_t t, int32_t subbasin) const;
  // The solute (mass per mm of the glacier part) that the step's snow, firn and ice melt of
  // tracer `t` carried off the glacier part of own cell (r, c) (static glaciers: the pack's
  // outflow at its concentration); 0 without glaciers.
  double GlacierPartOutflowSolute(int32_t t, long r, long c) const;
  // The snow that deposition added to the precipitation of own cell (r, c) in the step (mm; 0
  // where the cell's snow was not computed or the method deposits none): water that brought no
  // solute, as the pack took the rain's solute with the precipitation before it.
  double DepositedSnow(long r, long c) const { return deposited_ ? deposited_[r][c] : 0.0; }
  // Firn stack of the dynamic methods (levels 0..firn_levels, 0 = total per cell); its grid
  // (the totals) is the own grid "firn_WE_stack".
  double*** firn_WE_stack = nullptr;
  // Called before (false) and after (true) the yearly evaluation of the dynamic glaciers, on
  // every process (the water-balance account books what it moves); empty: none.
  std::function<void(bool after)> glacier_evaluation_hook;
  // Process 0, dynamic methods: the glaciers in order of first appearance (row-major) and the
  // position of each glacier code in that list (snow/glacier_list.cpp).
  std::vector<GlacierRecord> glacier_list;
  std::map<int32_t, std::size_t> glacier_index;

  // --- [permafrost] (permafrost part ran: permafrostMethod 1) -------------------------------
  int32_t permafrostMethod = 0;
  double Min_Snow_Age_Refreeze = 0, Max_SWE_SnowFree = 0, reducedKsat = 0;
  OutputSetting thaw_depth_statistics;
  double** thaw_coefficient = nullptr;
  double** thaw_depth = nullptr;
  double** root_depth = nullptr;
  bool permafrost_days_read_ = false;  // both day counts were read from a state
  // Land-use layer 1's root depth as the thaw left it in the last step (state grid).
  double** lowered_root_depth = nullptr;
  bool lowered_root_depth_read_ = false;  // read from a state with the day counts

  // Own grids in creation order.
  std::vector<OwnGrid> own_grids;

  // --- Inputs of the step (linked by SetCanopySnowInputs) -----------------------------------
  double** water_input = nullptr;
  // The input of the glacier part of a dynamic glacier cell, which no leaves cover: the
  // precipitation when the interception model runs before the snow model, else `water_input`.
  double** glacier_input = nullptr;
  // The grid "precipitation", which the snow that deposition methods deposit raises (the water
  // account's input; under the leaves `water_input` is their throughfall).
  double** precipitation = nullptr;
  double** temperature = nullptr;
  double** canopy_unload = nullptr;
  double** canopy_long_wave = nullptr;
  double** wind = nullptr;
  double** humidity = nullptr;
  double** radiation = nullptr;
  double** radiation_correction = nullptr;
  double** lake_codes = nullptr;
  double** ponding = nullptr;
  int32_t lake_flag = 0;
  // The lake codes whole on process 0 while the glacier areas change (a copy; one process: none).
  GridMatrix whole_lake_codes_;
  // A cell of a lake (own rows; the whole grid on process 0 while the glacier areas change):
  // no glacier starts or grows there.
  bool LakeCell(long r, long c) const {
    return lake_flag != 0 && lake_codes != nullptr && lake_codes[r][c] > 0;
  }
  bool WholeLakeCell(long r, long c) const {
    if (whole_lake_codes_) return whole_lake_codes_.get()[r][c] > 0;
    return LakeCell(r, c);
  }
  double** Qg = nullptr;  // the soil model's runoff [tracer][subbasin]
  // Layered snow stacks of the unsaturated zone (SetLayeredSnowModel).
  double*** layer_solid = nullptr;
  double*** layer_liquid = nullptr;
  // "layered_snow_alignment": the water the end of the step added to (or took from) the layered
  // pack of each own cell to align it with the snow storage, mm; read by the water balance.
  double** layer_alignment = nullptr;
  double*** layer_thickness = nullptr;
  double*** layer_density = nullptr;
  double*** layer_temperature = nullptr;
  double** upper_snow_index = nullptr;
  int32_t snow_layers = 0;
  std::vector<SnowLayerLimits> snow_layer_limits;
  double dTOffsetFreshSnow = 0;
  // Seasonal factors of the step.
  double RMF = 0, snowRadiationFactor = 0, iceRadiationFactor = 0;
  // Storage file of the glacier storages (empty: none).
  std::string storage_file_name;

 private:
  // Steps of the constructor (snow/snow_model.cpp).
  void LinkBaseGrids();
  void ReadSection();
  // Reads the grid name, write code and statistics lines of an output (null: not this line).
  void ReadOutput(OutputSetting& output, const char* name_description, const char* code_description,
                  const char* statistics_description);
  void ReadExtendedSection();
  void CreateSnowTables();
  void LinkMethodGrids();
  void CreateSnowGrids();
  void LinkAlbedoState();
  void BuildSlideOrder();
  void CheckThresholds();
  void CheckSectionRanges();
  // Steps of the glacier and permafrost parts (snow/glacier_setup.cpp).
  void SetUpGlacier();
  void ReadGlacierSection();
  void ReadDynamicGlacierSection();
  void CheckDynamicGlacierGrids();
  void CreateGlacierTables();
  void ComputeGlacierShares();
  void CreateGlacierGrids();
  void CreateFirnStack();
  // The glacier list of the dynamic methods on process 0 (code 84 for a glacier in two
  // subbasins), with start sizes and filled bands (snow/glacier_list.cpp).
  void BuildGlacierList();
  // Fills the bands of the glacier `code`, or of every glacier for -1.
  void AssignBandCells(int32_t code);
  // The yearly glacier areas on process 0 (snow/glacier_areas.cpp): the recount of the cells of
  // glacier `code` (-1: all; every counted cell widens the elevation range with `full_range`),
  // giving new glacier cells their codes; growth into the cells next to a glacier; the whole
  // change of the year, and the change of glacier i of the list.
  void CountGlacierCells(int32_t code, bool full_range);
  void GrowGlacier(int32_t code);
  void UpdateGlacierAreas();
  void ChangeGlacierArea(std::size_t i);
  GlacierYearGrids YearGrids() const;
  void SetUpPermafrost();

  // What a grid starts with (0 inside the zone grid or the soil zones and nodata outside,
  // nodata, or 0 everywhere) and over which rows (the snow rows, the own rows, all rows).
  enum class Start { kZeroInside, kZeroInSoilZones, kNodata, kZero };
  enum class Rows { kSnow, kOwn, kAll };
  struct GridPlan {
    explicit GridPlan(std::string id, const OutputSetting* setting = nullptr)
        : identifier(std::move(id)), output(setting) {}
    std::string identifier;
    const OutputSetting* output = nullptr;  // file name and write code; null: the two below
    std::string file_name;
    std::string older_file_name;  // a state grid's name in earlier versions, read without it
    std::string read_name;        // the file read (set by MakeStateGrid); empty: file_name
    int32_t write_code = 0;
    Rows rows = Rows::kSnow;
    Start start = Start::kZeroInside;
    bool read = false;             // read from the file name instead
    bool read_local_rows = false;  // read, it holds the own rows only
    bool read_zero_unset = false;  // 0 and nodata stand for "no value yet" (taken as read)
    // The range of a value read (what the model writes into that grid), refused outside.
    double read_low = -std::numeric_limits<double>::max();
    double read_high = std::numeric_limits<double>::max();
    const char* read_unit = "";
  };
  // Links the registered grid of that identifier, or makes, fills (or reads) and registers it.
  double** MakeGrid(const GridPlan& plan);
  // A state grid of fixed file name `plan.file_name`, written with the solid snow storage grid's
  // write code and read back where the storage grids are, when its file (or the one of
  // `plan.older_file_name`) is there; a state without it gives a WARNING "no grid <file> of
  // `what`" and the grid starts as made.
  double** MakeStateGrid(GridPlan& plan, const char* what);
  // The range a snow pack's water (mm) read into `plan` must lie in; a snow or surface
  // temperature's (K).
  static void SetSnowPackRange(GridPlan& plan);
  static void SetSnowTemperatureRange(GridPlan& plan);
  int NextFreeIndex();
  void MakeTable(Table& table, const OutputSetting& output, int32_t precision,
                 const std::string& title, const ZoneRecord* zones, int32_t zones_count);
  double** LinkData(int index) const;
  double** OptionalGrid(const std::string& identifier);
  double** RequiredGrid(const std::string& identifier);
  // The control file opened again at `section` (fatal when missing).
  void OpenSection(const std::string& section);
  // Runs a step on process 0 and makes every process leave with its code (collective).
  void OnRootForAll(const std::function<void()>& step);
  // FATAL (33) unless process 0 holds every row of registry entry `index`.
  void RequireWholeOnRoot(int index, const char* purpose);
  std::vector<Table*> AllTables();
  // Steps of the time step.
  // A cell of this process (zone data, own MPI region); the model computes it (TakesCell) unless
  // it is a response unit's member, which takes its master's state.
  bool OwnsCell(long row, long column) const;
  bool TakesCell(long row, long column) const;
  void StepCell(long row, long column, ShiftedDaysCache& days);
  void GlacierCell(long row, long column, double share);
  SnowCellInput CellInput(long row, long column) const;
  // The calls of ComputeSnowCell in a step: `call`(temperature, weight) once with weight 1, or
  // for steps longer than 720 minutes at the night temperature and then at the day's.
  template <class Call>
  void CallsOfStep(long r, long c, Call call) {
    if (time_interval > 720.0) {
      call(temperature_night != nullptr ? temperature_night[r][c] : temperature[r][c],
           night_fraction);
      call(temperature[r][c], daylight_fraction);
    } else {
      call(temperature[r][c], 1.0);
    }
  }
  // A cell of a dynamic glacier (snow/glacier_step.cpp): snow on both parts of the cell, then
  // firn melt through the firn stack and ice melt once the glacier part's snow is gone.
  void DynamicGlacierCell(long row, long column);
  void MeltFirnAndIce(long row, long column, double warm, double radiation, double snow_melt);
  // The step's mass balance of every computed dynamic glacier cell, after the slide
  // redistribution and before response-unit cells copy their master.
  void AddGlacierMassBalances();
  // The glacier statistics of a dynamic glacier cell (firn, mass balance).
  void AddGlacierBalance(long row, long column, int32_t subbasin, double share);
  // The annual glacier update of the evaluation step (snow/glacier_year.cpp), collective.
  void UpdateGlaciersOfYear();
  void UpdateGlacierCellsOfYear();
  void AfterCell(long row, long column, double land_albedo);
  void AddCellStatistics(long row, long column);
  // The glacier part of AddCellStatistics: its tables, the glacier storages' sums.
  void AddGlacierCellStatistics(long row, long column);
  void TracerInput(long row, long column, double input, double pack);
  void TracerOutflow(long row, long column, double outflow, double pack);
  // Cells of a response unit take the results of its master cell (collective).
  void CopyResponseUnits();
  // The lateral snow redistribution of the step on process 0, between gather and scatter.
  void RedistributeLateralSnow();
  // The layered snow stacks of a cell (its top from "upperIndexSnow").
  LayeredSnowCell LayeredCell(long row, long column) const;
  // The ice and the liquid water of the layers of a cell (sums of levels 1..n).
  double LayeredIce(long row, long column) const;
  double LayeredLiquid(long row, long column) const;
  // The water of the layers of a cell, ice and liquid (sum of levels 1..n).
  double LayeredPack(long row, long column) const;
  // The share of a static glacier in the cell (0 without one, and with dynamic glaciers).
  double StaticGlacierShare(long row, long column) const;
  // The snow on the ground of a cell: this model's pack, or with layered snow the layers' (a
  // static glacier's part keeps this model's pack).
  double GroundPack(long row, long column) const;
  // The solid storage of every own cell takes what the soil step changed of the ice of its layers
  // (before the redistribution): it melts and refreezes them besides the melt handed over.
  void TakeLayeredSnowMelt();
  // Layered snow with the slide methods, before (`after` false) and after the redistribution:
  // the storages of every own cell take its layers' ice and liquid water, after it once the
  // layers changed by what the redistribution changed of the cell's pack.
  void SlideLayeredSnow(bool after);
  // Brings the layers of every own cell to its solid storage (after the redistribution).
  void AlignLayeredSnow();
  // The temperature of the snow the alignment adds to a cell's layers: the air's (`air`, the
  // snow model's own by default), at most 0 °C, or with heat transfer the middle layer's of the
  // pack.
  double AlignmentTemperature(long row, long column) const;
  double AlignmentTemperature(long row, long column, double** air) const;
  // The yearly glacier evaluation's change of the layers of a cell: they give the ice and the
  // water the glacier-free pack lost from `before` to `after`; `whole` (a cell wholly glacier,
  // whose glacier-free pack is dropped) empties them.
  void LayeredSnowOfYear(long row, long column, const PackState& before, const PackState& after,
                         double T, bool whole);
  // Removes `melt` from the layers of a cell and hands level 0 of the liquid stack the ice that
  // left them (the layers may hold less than the storage melted).
  void HandOverLayeredMelt(long row, long column, double melt, double T);
  // Dump files of cells whose layers are out of order (snow/snow_dump.cpp).
  void CheckLayeredDump(long row, long column);
  void WriteLayeredDump(long row, long column, int swes, int swel);
  std::mutex dump_mutex_;
  uint64_t dump_count_ = 0;  // anomalous cells of this process, written or not
  void RouteGlacierMelt();
  // The land-use albedo of a cell at the step's date: its curve's value of the step when it
  // has one, else its own evaluation through the row's cache of shifted fixpoint days (both bit
  // for bit the record's GetAlbedo, without an allocation per cell).
  double LandAlbedo(long row, long column, ShiftedDaysCache& days) const;
  const LanduseParameterGrids* landuse_curves_ = nullptr;
  LanduseCurveValues land_albedo_{LanduseSeries::kAlbedo, 1};

  // The own grids of the step, resolved once before the cell loop.
  struct StepGrids {
    double **solid = nullptr, **liquid = nullptr, **total = nullptr, **days = nullptr,
           **age = nullptr, **snowfall = nullptr, **rain = nullptr, **outflow = nullptr,
           **melt = nullptr, **snowtemp = nullptr, **surftemp = nullptr, **balance = nullptr,
           **firn_melt = nullptr, **ice_melt = nullptr, **glacier_old = nullptr,
           **snow_free_days = nullptr, **snow_cover_days = nullptr, **input_mass = nullptr,
           **mobile_mass = nullptr, **deposition = nullptr;
    // Dynamic glaciers: the storages, melt, evaporation and temperatures of the glacier part, the
    // firn total and the mass balance.
    double **glacier_solid = nullptr, **glacier_liquid = nullptr, **glacier_total = nullptr,
           **glacier_melt = nullptr, **glacier_evaporation = nullptr, **glacier_snowtemp = nullptr,
           **glacier_surftemp = nullptr, **glacier_balance = nullptr, **firn = nullptr,
           **mass_balance = nullptr;
  };
  void ResolveStepGrids();
  StepGrids step_;
  std::vector<ExactSum> glacier_step_sums_;  // per subbasin, see snow/snow_finish.cpp
  // Water sums per subbasin in glacier_step_sums_: ice, firn and snow melt, area, cells.
  static constexpr int kGlacierWaterSums = 5;
  std::size_t GlacierSumStride() const;
  SnowCellSettings cell_settings_;

  // Tables of [snow_model] in creation order, of [ice_firn] and of [permafrost].
  std::vector<Table> snow_tables_;
  std::vector<Table> glacier_tables_;
  Table thaw_depth_table_;
  // The water the three glacier storages of each subbasin hold at the end of a step, mm over
  // the subbasin (named after the total glacier melt table, see GlacierStorageTableName).
  Table glacier_storage_water_table_;
  // Layered snow: the ice of each own cell's layers after its snow step (nodata: not stepped).
  GridMatrix layer_ice_of_step_;
  // Layered snow with the slide methods: each own cell's pack before the redistribution.
  GridMatrix slide_pack_;
  // Static glaciers under KeepOutflowForGlaciers: the pack's outflow as this model computed it.
  // The glacier part's share of it leaves through the glacier storages at the end of the step;
  // the shared outflow grid then holds what the model below left of it.
  GridMatrix own_outflow_;
  bool outflow_taken_below_ = false;  // see KeepOutflowForGlaciers
  // The pack's outflow a static glacier's part of the cell routes (mm).
  double StaticGlacierOutflow(long r, long c) const {
    return own_outflow_ ? own_outflow_[r][c] : step_.outflow[r][c];
  }
  std::vector<int> tracer_input_index_;  // 1..tracer_count
  // The concentrations of `glacier_input`'s tracers, 1..tracer_count.
  std::vector<int> glacier_tracer_input_index_;
  StackMatrix firn_stack_data_;  // the firn stack when made here

  // --- Solute on the glaciers (snow/glacier_tracers.cpp) --------------------------------------
  // Per tracer, on the glacier part of a dynamic glacier cell (per mm of its area): the solute
  // of its snow pack, of its firn and of the ice the firn became; a mass for a tracer that stays
  // with the water, a concentration for an evaporating one. `leaving`: the solute (mass) the
  // step's snow melt, firn melt and ice melt carry off the glacier part.
  struct GlacierTracer {
    OwnedGrid pack, firn, ice;
    int pack_index = 0, firn_index = 0, ice_index = 0;
    std::array<GridMatrix, 3> leaving;
  };
  void SetupGlacierTracers();
  void ReleaseGlacierTracers();
  // The glacier part of a dynamic glacier cell after its step: input `P` on the pack of
  // `pack_before` mm, the pack's outflow, the firn melt and the ice melt.
  void GlacierTracerStep(long row, long column, double P, double pack_before);
  // A cell without a glacier part this step: its glacier part gives no solute (a cell whose
  // glacier the evaluation took kept the melt of its last glacier step).
  void ClearGlacierTracerOutflow(long row, long column);
  // The yearly move of a cell's solute with its water (see UpdateGlacierCellYear): the excess
  // of the glacier-free pack onto the glacier part, the glacier pack into the firn, the oldest
  // firn layer (`oldest` mm of `firn_before`) into the ice.
  void GlacierTracerYear(long row, long column, const GlacierCellState& before,
                         const GlacierCellState& after, double moved, double oldest);
  // The solute of a glacier cell's melt into the storage sums of its subbasin, and through the
  // three linear storages into the concentration of the glacier runoff (process 0).
  // `sums`: the subbasin's sums (kGlacierWaterSums of the water, then the ice, firn and snow
  // solute of each tracer); `melts`: the cell's firn, ice and snow storage inflow (mm of the
  // glacier part); `weight`: share * area.
  void AddGlacierTracerSums(long row, long column, const double* melts, double weight, bool on_firn,
                            ExactSum* sums) const;
  // Before the storages take the step's inflow `inflow` (ice, firn, snow; mm over the
  // subbasin's area share `fg`): the outflow concentrations and the runoff's into Qg[t]; the
  // solute the storages hold then (their outflow times `scale` gives mm over the subbasin) into
  // the subbasin's row of each tracer's storage table, with `weight`.
  void RouteGlacierTracers(int32_t subbasin, const ExactSum* sums, const double* inflow, double fg,
                           double scale, double weight);
  // The storage file's concentrations of the glacier storages (after their water's lines).
  void ReadGlacierRunoffConcentrations(std::FILE* file, const std::string& name);
  // The rest of a storage line of the storage file after its value `rounded` (six decimals):
  // `exact` receives the value written with every digit (`rounded` when the line has none);
  // true when that value rounds to `rounded` and so stands for it.
  static bool ExactStorageValue(std::FILE* file, double rounded, double& exact);
  // Process 0, dynamic glaciers read from their grids: the sizes of the glacier list (area and
  // volume, now and at the last evaluation) the storage file keeps in its [snow_model] section,
  // so that the next evaluation starts from the sizes the run that wrote them had, not from
  // sizes scaled again from the glacierized fractions.
  void ReadGlacierListState(const std::string& name);
  std::string GlacierListStateText() const;
  std::vector<GlacierTracer> glacier_tracers_;  // 1..tracer_count (dynamic methods)
  GridMatrix deposited_;  // the step's deposited snow per own cell (methods that deposit)
  // mm of ice the firn became ("youngice.asc", state), which melts first with its solute.
  double** young_ice_ = nullptr;
  // Concentration of the outflow of the ice, firn and snow storage per tracer and subbasin:
  // [(t * (subbasins + 1) + i) * 3 + k].
  std::vector<double> glacier_runoff_concentration_;
  // Per tracer 1..tracer_count at [t - 1]: the solute the three glacier storages of each
  // subbasin hold at the end of a step, mm times concentration over the subbasin.
  std::vector<Table> glacier_storage_tables_;
  // Dynamic methods, per tracer at [t - 1]: the solute of the glacier parts' snow, firn and ice,
  // mm x concentration over the subbasin (each cell's part weighed by its glacier share).
  std::vector<Table> glacier_part_tables_;
  // GlacierStorageSolute per tracer and subbasin: [t * (subbasins + 1) + i] (process 0).
  std::vector<double> glacier_storage_solute_;
};

}  // namespace velorn

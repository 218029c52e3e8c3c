// unsatzonmodellklasse: the unsaturated soil zone, section "[unsatzon_model]".
//
// This header owns the model object, its settings and its set-up: the constructor reads
// [unsatzon_model] (with its subbasin block, unsatzone/subbasin_block.h), [heat_transfer], the
// optional [unsatzon_tuning] and, without heat transfer but with the snow model's permafrost
// grids, the reduced conductivity of [permafrost]; it links the grids of the other models,
// creates the zone statistics tables, registers its grids and stacks and fills every soil column
// with its initial state (cold start or storage files), creates the single-point files of the
// control point, forms the glacier shares per subbasin and writes the start-up soil water to
// the per-process log. The time step, the coupling and the storage file come with later work.
//
// Called by the application after the silting-up model (construction on every process with the
// same control file), then SetDumpMode, SetSurfaceRoutingActive and the accessors. Constructor
// failures write their "FATAL: " entry and throw ErrorCode (`error` is set to 0 at the start).
//
// Sections and their files (unsatzone/*.cpp):
//   unsatzone_model.cpp    constructor order, accessors, option tag, release
//   unsatzone_section.cpp  [unsatzon_model], [unsatzon_tuning], [permafrost]
//   heat_transfer.cpp      [heat_transfer] and the grids, stacks and soil-table completion of heat
//   layered_snow_setup.cpp [LayeredSnowModel], [LayeredSnowProperties] and the snow stacks
//   unsatzone_grids.cpp    links, statistics tables, grids and stacks, initial soil state
//   unsatzone_startup.cpp  irrigation grids, single-point files, glacier shares, start-up log
//
// Data layout for the column solver. Every grid and stack of this model covers the process's
// own rows plus one halo row above and below (inside the grid): rows grid_first_row ..
// grid_last_row, registered with exactly those rows. Stacks hold levels 0..N per cell (N =
// `layerCount`, level 0 the soil surface, k = 1..N the layers from the top), and the cells of
// a row lie contiguously with all their levels (core/matrix.h), so a cell's column is one
// contiguous run of N + 1 doubles: stacks[kTheta][r][c][0..N]. Foreign grids are resolved here
// once into data pointers (`links`); no cell loop needs the registry. Per soil type and layer
// `soil_constants` (unsatzone/soil_column_state.h) holds theta at field capacity and the two
// powers of the thermal conductivity, computed once here.
//
// Irrigation (configured when an irrigation table with entries is handed in): "SBLOW_grid" and
// "SBHIGH_grid" start, per cell with an irrigation code, as the water content of layer 2 (layer
// 1 in a one-layer profile) at the rule's suctions psi_dry and psi_wet; a rule of another method
// than the suction method takes the land use's HReduDry for psi_dry. The root zone's water content
// ("SB_1_grid") starts as the thickness-weighted water content down to the root depth
// ("root_depth1", m; the water content of layer 1 for depths below 1e-8 m or of 9999 m and more)
// and "MeanThetaInRootZone" as the suction of layer 1 at the root zone's mean relative saturation
// (m, as every step leaves it, for dynamic phenology); "Max_Pumping" starts at 0. The irrigation
// model must read these grids with the same meaning.
//
// Limits: constructed once per run; the storage file, the step operations and layered snow are
// not part of this object yet. A control point outside the grid and every unreadable value end
// the construction; a construction that fails unregisters every grid it had registered.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
#include "core/zone_statistics.h"
#include "snow/snow_model.h"
#include "unsatzone/layered_snow_state.h"
#include "unsatzone/reinfiltration_record.h"
#include "unsatzone/runoff_concentration.h"
#include "unsatzone/single_point_writer.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/soil_heat_coupling.h"

namespace velorn {

class CellValueList;
class RiverLinkHalo;
struct IrrigationTable;
struct RiverLinkSet;
struct StorageParameters;
struct SoilRecord;
struct SoilWaterScratch;
struct InnerStep;

// Codes of the unsaturated zone's own failures.
inline constexpr int kControlPointRowCode = 8;
inline constexpr int kControlPointColumnCode = 9;
inline constexpr int kStackLevelCode = 13;
inline constexpr int kSinglePointFileCode = 62;
inline constexpr int kSoilMethodCode = 91;
// A cell whose soil type is not a record of the soil table.
inline constexpr int kCellSoilTypeCode = 30;
// Tracers with river-link cells exchanged between processes.
inline constexpr int kRiverLinkTracerCode = 1150;

class unsatzonmodellklasse : public teilmodellklasse {
 public:
  // Output name and write code of a grid or stack, name and code of a statistics table.
  struct OutputPair {
    std::string name;
    int32_t code = 0;
  };
  // The 24 grid and stack pairs of the section, in the order in which they are read.
  enum GridPair {
    kPairSB05,
    kPairSB1,
    kPairWURZ,
    kPairTheta,
    kPairHH,
    kPairHGeo,
    kPairQUnten,
    kPairGWSTAND,
    kPairGWTheta,
    kPairGWN,
    kPairGWLEVEL,
    kPairQDRAIN,
    kPairSatt,
    kPairINFEX,
    kPairQD,
    kPairQI,
    kPairDELTAGW,
    kPairGWIN,
    kPairGWEX,
    kPairPOND,
    kPairUprise,
    kPairPercol,
    kPairMacro,
    kPairIRRIG,
    kGridPairCount
  };
  // The statistics pairs: the 16 of the section in their order, then the sub-step count of
  // method 3 and the thaw depth of [heat_transfer].
  enum StatisticsPair {
    kStatQDRAIN,
    kStatGWSTAND,
    kStatGWN,
    kStatSB1,
    kStatSB2,
    kStatROOT,
    kStatINFEX,
    kStatPOND,
    kStatQD,
    kStatQI,
    kStatQB,
    kStatQg,
    kStatGWIN,
    kStatGWEX,
    kStatMACRO,
    kStatINFILT,
    kStatSUBSTEPS,
    kStatTemper,
    kStatisticsPairCount
  };
  // The model's grids (each over the rows grid_first_row..grid_last_row; null when not made).
  enum OwnGrid {
    kGroundwaterDistance,
    kPondingStorage,
    kBaseflow,
    kGroundwaterLevel,
    kThetaInGwLevel,
    kQDownExt,
    kSoilMoistureRoot,
    kMeanThetaInRootZone,
    kIrrigationAmounts,
    kMaxPumping,
    kSoilMoistureLow,
    kSoilMoistureHigh,
    kEtrToEtp,
    kGwTableExtern,
    kBalance,
    kTangensBeta,
    kSoilMoistureProfile,
    kMacroporeInfiltration,
    kNumberOfSubsteps,
    kRootGrid,
    kGroundwaterRecharge,
    kCapillaryUprise,
    kPercolation,
    kDirectflow,
    kInterflow,
    kInfiltrationExcess,
    kTotalInfiltration,
    kInfiltrationSaturation,
    kDrainageFlow,
    kDrainageLevel,
    kFrozenSoilInGroundwater,
    kThawDepth,
    kLowerBoundaryTemperature,
    kRiverInfiltration,  // groundwater model on (made by SetupTracers)
    kRiverExfiltration,
    kGroundwaterIrrigation,  // irrigation on: the sub-step's groundwater irrigation, mm
    kBaseflowUnpaid,         // groundwater model on: its release the column could not give, mm
    kOwnGridCount
  };
  // The model's stacks, levels 0..N.
  enum OwnStack {
    kGeodeticHeads,
    kTheta,
    kHydraulicHeads,
    kQDown,
    kSoilTemperature,
    kSoilSE,
    kOwnStackCount
  };
  // A zone statistics table with its own copy of the soil model's zone records.
  struct Statistics {
    std::vector<ZoneRecord> records;
    std::unique_ptr<zonalstatistic> table;
  };
  // Grids of the other models, resolved once (null: absent or not needed).
  struct Links {
    std::vector<double**> landuse, root_depth, vegetation_cover, leaf_area, canopy_resistance,
        intercept_resistance, roughness;                          // land-use layers 1..L
    std::vector<double**> pot_transpiration, real_transpiration;  // 0..L
    double** evaporation_resistance = nullptr;
    double** albedo = nullptr;
    double** potential_evaporation = nullptr;
    double** real_evaporation = nullptr;
    double** slope_angle = nullptr;
    double** soil_types = nullptr;
    double** elevation = nullptr;
    double** gw_storage_coefficient = nullptr;
    double** gw_k_x = nullptr;
    double** gw_k_y = nullptr;
    double** max_ponding_storage = nullptr;
    double** drainage_depth = nullptr;
    double** drainage_distance = nullptr;
    double** clay_depth = nullptr;
    double** snow_solid = nullptr;
    double** flow_times = nullptr;
    double** irrigation_codes = nullptr;
    double** direct_runoff_silting = nullptr;
    double** surface_storage_silting = nullptr;
    double** colmation_frozen = nullptr;
    double** colmation_unfrozen = nullptr;
    double** colmation = nullptr;
    double** ice_firn = nullptr;
    double** glacierized_cells = nullptr;
    double** glacier_share = nullptr;  // the one of the two the cells are weighed by
    double** glacierized_cells_old = nullptr;
    double** glacier_mass_balance = nullptr;
    double** permafrost_thaw_depth = nullptr;
    double** air_temperature = nullptr;
    double** lower_boundary_temperature = nullptr;  // linked or made here
    double** lower_boundary_flux = nullptr;
    double** response_units = nullptr;
    double** master_response_units = nullptr;
  };

  // `irrigation`: the settings object's irrigation table (null or without entries: irrigation
  // is not configured).
  unsatzonmodellklasse(int32_t& error, const SubModelSetup& setup,
                       const IrrigationTable* irrigation = nullptr);
  ~unsatzonmodellklasse() override;

  void SetSubStepCount(int32_t count) override;
  // Null when the model is off.
  virtual const std::string* GetStorageFileName();
  virtual double* GetInterflowRecessionConstants();
  virtual double* GetDirectRunoffRecessionConstants();
  virtual int32_t GetStorageMode() { return storageMode; }
  virtual void SetSurfaceRoutingActive(bool active) { surfaceRoutingActive = active ? 1 : 0; }
  virtual void SetDumpMode(bool dump, bool close_after_dump, bool repair_after_dump,
                           int64_t max_dump_files);
  virtual bool IsHeatTransferActive() { return heatTransferSwitch > 0; }
  virtual bool IsLayeredSnowActive() { return layeredSnowSwitch > 0; }
  virtual SoilRecord* GetLayeredSnowProperties() { return layeredSnowProperties; }
  virtual double GetFreshSnowTemperatureOffset() { return dTOffsetFreshSnow; }
  // What the snow model needs to fill the layers (fresh-snow density "DryDensity" and standard
  // thickness "thickness" of snow type 1 per layer 1..M); empty without layered snow.
  std::vector<SnowLayerLimits> LayeredSnowLimits() const;
  // Pre-spin-up of soil temperatures (unsatzone/pre_spin_up.cpp): one step of the application's
  // pre-spin-up loop (returns hour + the step length in whole hours; 24 ends a day; without heat
  // transfer or air temperature FATAL 1040), and the profiles at the end of the loop, which free
  // the four accumulation grids.
  int64_t AccumulatePreSpinUpTemperatures(int64_t hour);
  void SetPreSpinUpSoilTemperatures();
  // Heat of one cell in the soil-water sub-step (unsatzone/soil_heat_cell.cpp): before the
  // inner steps (temperatures, properties, boundaries, n_h into h.steps; the theta of ws are
  // taken from kTheta0), h.perWaterStep heat steps of dt seconds per inner step (`inflow`: the
  // macropore inflow per layer, m/s, or null), and at the end of the cell the frozen-soil grids
  // and the write-back of temperatures and liquid fractions.
  void PrepareCellHeat(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, long r, long c,
                       double substep_seconds, CellHeat& h);
  void RunCellHeatSteps(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, long r, long c,
                        const CellHeat& h, double dt, const double* inflow);
  void FinishCellHeat(const SoilColumnWorkspace& ws, const SoilHeatWorkspace& hs, long r, long c);
  HeatParameters HeatParametersOfRun() const;
  // The layered snow pack of one cell as layers 1-M..0 of its column
  // (unsatzone/layered_snow_cell.cpp): loaded from the snow stacks after the soil layers (the
  // temperature of a new layer comes from the layer below; returns i0), settled before and after
  // each water iteration (returns the snow outflow, mm; i0 recomputed), stored at the end.
  int LoadSnowLayers(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, SnowLayerBuffers& b, long r,
                     long c);
  double SettleSnowPack(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, SnowLayerBuffers& b,
                        const SnowLayerParameters& p, long r, long c, int& i0);
  void StoreSnowLayers(const SoilColumnWorkspace& ws, const SoilHeatWorkspace& hs,
                       const SnowLayerBuffers& b, long r, long c);
  // (h1 - h2) k / (-(dz1 + dz2) / 2): the flux between two layers, positive upward.
  virtual double ComputeLayerFlux(double k, double h1, double h2, double dz1, double dz2) {
    return LayerFlux(k, h1, h2, dz1, dz2);
  }
  // "Max_Pumping": per own cell the water (mm) between saturation and field capacity of the
  // layers from the groundwater layer to N - 1 (nodata elsewhere); only with irrigation
  // (unsatzone/drainable_pore_volume.cpp).
  virtual void ComputeDrainablePoreVolume();
  void ReleaseMemory() override;

  // --- Step frame (unsatzone/unsatzone_step_frame.cpp) -----------------------------------------
  // Runoff arrays for `tracers` tracers, flow-time zones, records (groundwater model on), the
  // initial base flow and total runoff; in storage mode 1 the stored runoff state. Collective.
  virtual void SetupRunoff(int32_t tracers);
  virtual void ComputeFlowTimes();
  // Links the soil's water input: the first registered of "snowcover_outflow", "throughfall0",
  // "precipitation" when the snow model runs after interception, else of "throughfall0",
  // "snowcover_outflow", "precipitation" (none: code 33). Once per run.
  virtual void LinkWaterInputGrid(bool snow_after_interception);
  // Opens a step: date, announcement, zone shift, table reset, records from process 0.
  virtual void BeginStep(int32_t hour, int32_t day, int32_t month, int32_t year);
  // Closes a step: re-infiltration sums, runoff concentration, tables of process 0. `glacier`:
  // the snow model's flag per subbasin (null: no glacier runoff in Qg). Collective.
  virtual void FinishStep(const uint8_t* glacier = nullptr);
  // Imposes "GWTableExtern" on every column of the local rows.
  virtual void ApplyExternalGroundwaterTable();
  // The WARNING of an exchange whose table lies above the ground surface (collective).
  void WarnAboutTablesAboveSurface(const std::vector<double>& above,
                                   const std::vector<double>& excess,
                                   const std::vector<long>& first_column);
  // The storage section; false (after an ERROR entry) when the file cannot be written.
  virtual void WriteStorageState(bool append);
  virtual void ReadStorageState();
  // Per tracer 0..T the arrays of n + 1 values; null when the model is off; code 57 before set-up.
  virtual double** GetTotalRunoff();
  virtual double** GetDirectRunoff();
  virtual double** GetInterflow();
  virtual double** GetBaseflow();
  virtual ReinfiltrationRecord* GetReinfiltrationRecords() {
    return reinfiltration_records.empty() ? nullptr : reinfiltration_records.data();
  }

  // --- Soil-water sub-step (unsatzone/soil_water_step.cpp, unsatzone/soil_water_cell.cpp) ----
  // One sub-step of every own soil column: inputs, ponding, macropores, root extraction and
  // soil evaporation, exchange with the groundwater, the moisture iteration, runoff, and the
  // cell grids of the sub-step. Called once per sub-step after BeginStep; collective through
  // the zone sums. Heat transfer and layered snow have their call points in the cell body (they
  // are refused at construction in this build).
  virtual void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Row loop of the cell bodies over rows first_row..last own row (one work space per thread).
  virtual void ComputeSoilColumns(long first_row);
  // Results of a fully glaciated cell (grids, layer-bottom flows): 0; the cell is not computed.
  void ZeroGlacierCell(long row, long column);
  // The cell body: loads, steps and writes back the column of one cell (glacier share `g` < 1).
  void ComputeColumn(SoilWaterScratch& scratch, long row, long column, double g);
  // Water one sub-step pumps from the groundwater for the cell's irrigation, mm: its share of
  // the irrigation model's amount of the step ("irrigation_amounts", given to the surface with
  // the precipitation) when the cell's rule takes groundwater, else 0. Without the groundwater
  // model the column gives it with its base flow and the zone sums take it off the base flow
  // that reaches the rivers, so the water is moved, not made.
  double GroundwaterIrrigation(long row, long column) const;
  // Whether the column's saturated zone is the cell's groundwater: without the groundwater
  // model and without a table imposed from outside it gives the cell's base flow and the water
  // pumped for its irrigation.
  bool OwnBaseflow(long row, long column) const;
  // Marks that "GWTableExtern" gives the table (the column's own base flow stops).
  bool externalTableApplied = false;
  // Exchanges of the external table so far: each puts the water of "Balance" into the columns
  // (the water-balance account books the grid when the count moves).
  int64_t externalTableExchanges = 0;
  // With the groundwater model: per own cell the release of layer 1 (mm) that the last exchange
  // cancelled when it set "baseflow" to 0. The aquifer's faces had moved that water, and the
  // column keeps it under the given table: water the exchange put in beside "Balance".
  GridMatrix externalTableRelease;
  int32_t current_substep = 0;    // 1..substepCount within the step (BeginStep resets it)
  int64_t iterationLogLines = 0;  // lines of "modell_0.log" written by the iteration
  // Inner water steps and iterations of this process since the start (for benchmarks).
  std::atomic<int64_t> innerStepCount{0}, iterationCount{0};
  // "-dumpmode" (unsatzone/soil_dump.h): the snapshot of a column at the start of an inner step;
  // after its iteration the tests, the dump files, the repair and the close after a failed test.
  // Called by the thread of the cell; the count of dump events is shared.
  void TakeColumnSnapshot(SoilWaterScratch& scratch, long row, long column, const InnerStep& step);
  void CheckInnerStep(SoilWaterScratch& scratch, long row, long column, const InnerStep& step);
  std::atomic<int64_t> dumpEvents{0};
  // --- End of a sub-step (unsatzone/zone_sums.cpp) ---------------------------------------------
  // The last steps of RunStep after its cell loop, in this order (the date is step_date):
  //   if (response_unit_switch != 0) CopyResponseUnitStates();   // collective
  //   AddZoneSums();                                             // main thread
  //   AppendSinglePointRows();                                   // main thread
  // Response units: every own member cell takes the state and outputs of its unit's master
  // (wherever the master lies: shared over the processes first). Collective, row loop inside.
  virtual void CopyResponseUnitStates();
  // Every own member cell takes its master's values of these grids and stacks (a stack with its
  // values per cell). Collective, row loop inside.
  void CopyFromMasters(const std::vector<double**>& copied_grids,
                       const std::vector<std::pair<double***, std::size_t>>& copied_stacks);
  // A warm start with response units: the members take their masters' irrigation thresholds and
  // running amounts, as the copy of the step before gave them (collective).
  void CopyIrrigationStateFromMasters();
  // Adds every own cell's sub-step results into the flow-time buffers ("directflow",
  // "interflow" and, per tracer, the concentrations "_CONC_QD_t_"/"_CONC_QI_t_" times the
  // water) and into the zone statistics tables, with weights 1 - g and g (g the cell's glacier
  // share). Serial, rows then columns; call on the main thread after the parallel regions.
  virtual void AddZoneSums();
  // The control point's rows of q_down, theta, hydraulic heads, temperatures and tracers (on the
  // process that owns it); a full buffer is written at once.
  virtual void AppendSinglePointRows();
  // The cell body's records of the control cell: `other` holds OtherDataValueCount() values in
  // the order of the other-data header, `root_extraction` and `interflow` levels 0..N. Called by
  // the thread that computes the control cell (one cell: no lock needed); a full buffer is
  // written by the next AppendSinglePointRows.
  virtual void AppendControlCellRecords(const double* other, const double* root_extraction,
                                        const double* interflow);
  // What the last inner step of a computed control cell leaves for its records: the
  // infiltration (mm), the water taken per level 0..layers (mm: [0] soil evaporation, [k] root
  // uptake) and the interflow extraction rates of layers 1..layers (m/s, times `factor` mm).
  struct ControlCellStep {
    double infiltration = 0;
    int layers = 0;
    const double* extracted = nullptr;
    const double* interflow = nullptr;
    double factor = 0;
  };
  // The control cell's records at the end of its cell in the sub-step: the other-data row from
  // the cell's grids, the root-extraction and interflow rows from `last` (null: the cell was
  // not computed, rows of 0). Nothing with response units on.
  void AppendControlCellRow(long row, long column, const ControlCellStep* last);
  int32_t OtherDataValueCount() const { return 18 + 6 * landuse_layers; }
  // Glacier share of a cell clamped to [0, 1], 0 without glacier grids: the glacier model's grid
  // (UseGlacierShareGrid), without one "GlacierizedCells", else "ice_firn".
  double GlacierShare(long row, long column) const;
  // Weighs a cell's glacier part by the grid of glacier shares with this identifier (the glacier
  // model's), when registered.
  void UseGlacierShareGrid(const char* identifier);

  // --- River-link cells across processes (unsatzone/soil_halo.cpp) ----------------------------
  // With an interaction parameter above 1 the cells of every river link are computed by the
  // process the decomposition gave the link (unsatzone/soil_halo.h). Made once, collectively,
  // after every sub-model exists; returns the doubles per cell (0 and nothing made with an
  // interaction parameter below 2). Tracers with link cells to receive: FATAL, code 1150.
  virtual int64_t prepareMPIReinfiltration(const RiverLinkSet& river_link_set);
  // Before and after the sub-step's cell loop (collective; nothing without the exchange). The
  // backward exchange also adds the sub-step's re-infiltration to the step's mean.
  virtual void ExchangeHaloRows();
  virtual void ExchangeHaloRowsBack();
  void averageReinfiltrationOverSubsteps();
  // The arrays whose cell values travel: every grid and stack the cell body uses.
  CellValueList ExchangedArrays();
  std::unique_ptr<RiverLinkHalo> river_halo;
  double** river_link_cells = nullptr;  // "river_links" as the decomposition read it

  // --- Lake cells (unsatzone/lake_cells.cpp) --------------------------------------------------
  // Called by the constructor once its grids and state exist: reads the switch and the method
  // of `header` ("[lake_model]") and prepares the lake cells (unsatzone/lake_cells.h). Without
  // "lake_codes" an INFO entry; with response units the switch is 0; no pond parameter or a
  // method other than 1 and 2: code 215. Collective with method 2 (the elevation is gathered).
  virtual void SetupLake(const std::string& header);
  void PrepareLakeCells();
  int32_t lakeSwitch = 0;
  int32_t lakeInitMethod = 0;
  double** lake_codes = nullptr;

  // --- Tracers (unsatzone/unsatzone_tracers.cpp) ------------------------------------------------
  // Second-stage set-up: flow-time zones, tracer blocks, stacks and grids, the river coupling
  // with the groundwater model, the runoff arrays, the initial base flow and Qg, the stored state
  // in storage mode 1. Never throws: `error` gets 0 or the failure's code (103 without one).
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  // Frees the tracer data (remaining control-point rows written first) and the runoff arrays.
  void ReleaseTracers() override;

  // --- End of run (unsatzone/unsatzone_finish.cpp) ----------------------------------------------
  // Writes the buffered single-point rows and statistics tables; nothing when the model is off.
  virtual void FlushBuffers();
  // Storage section (`append`: the routing model wrote the file first), end-of-run log lines,
  // tracer release, remaining rows, release of tables, grids and stacks. Once, at the end.
  virtual void FinishRun(bool append);

  // The data of an own grid or stack (null when not made).
  double** Grid(OwnGrid grid) const { return grids[grid].get(); }
  double*** Stack(OwnStack stack) const { return stacks[stack].get(); }
  // True for a cell of the local rows that this process computes: a zone value and, with
  // regions, this process as owner.
  bool OwnCell(long row, long column) const;
  // A response unit's member: it takes its master's column instead of computing its own.
  bool UnitMember(long row, long column) const;
  // Water held in the soil column of an own cell, mm: theta times thickness of its layers.
  double ColumnWater(long row, long column) const;

  // --- Settings of [unsatzon_model] ------------------------------------------------------------
  int32_t method = 0;
  int32_t surfaceWaterInteraction = 0;
  int32_t pondParameter = 0;
  int32_t drainageParameter = 0;
  int32_t clayParameter = 0;
  double kSatClay = 0;
  double iniGwLevel = 0;
  double max_error = 1e-5;
  double max_iterations = 100.0;
  double reducedKsatPermafrost = 1e-9;
  double dParameterMinStep = 0;
  int32_t storageMode = 0;
  std::string storageFileName;
  int32_t controlRow = 0;
  int32_t controlCol = 0;
  std::array<OutputPair, kStatisticsPairCount> statistics_pairs{};
  std::array<OutputPair, kGridPairCount> grid_pairs{};
  OutputPair substeps_grid_pair;                                 // method 3
  OutputPair temper_stack_pair, thaw_depth_pair, se_stack_pair;  // [heat_transfer]
  // Single-point files (output directory in front): Qbottom, Theta, hhyd, Otherdata,
  // etr-detail, interflow, and the temperature file of [heat_transfer].
  enum SinglePoint {
    kQBottom,
    kThetaFile,
    kHhyd,
    kOtherdata,
    kEtrDetail,
    kInterflowFile,
    kTemperatureFile,
    kSinglePointCount
  };
  std::array<std::string, kSinglePointCount> single_point_files{};
  int64_t single_point_buffer_rows = 0;  // rows of one single-point buffer
  bool single_point_owner = false;       // this process writes the single-point files
  // Per zone index 1..n of the soil model's zone table.
  std::vector<double> subbasinCodes, kelsqd, kelsqi, drainageDensity, baseflowInverseRecession,
      maxBaseflow, snowRunoffFraction;
  int32_t layerCount = 0;
  int32_t landuse_layers = 1;
  std::string optionTag;
  uint8_t dumpMode = 0, closeAfterDump = 0, repairAfterDump = 0;
  int64_t maxDumpFiles = 0;
  uint8_t surfaceRoutingActive = 0;
  int32_t groundwaterModelActive = 0;
  // Without the evapotranspiration model, which otherwise starts them at 0 every step, the soil
  // zone starts the real evaporation and transpiration grids it adds into (BeginStep).
  int32_t evapotranspirationModelActive = 1;
  int32_t substepCount = 1;
  uint8_t temperatureStackPending = 0;
  bool irrigation_configured = false;
  const IrrigationTable* irrigation_table = nullptr;

  // --- Settings of [heat_transfer] -------------------------------------------------------------
  int32_t heatTransferSwitch = 0;
  int32_t heatMethod = 0;
  double dTModLowBoundBase = 12.0;
  double dTModLapseRate = -0.007;
  double dTModCDrySoil = 800;
  double dTModRhoDrySoil = 1500;
  double dTModLamDrySoil = 0.58;
  double dTModKmin = 1e-10;
  double dTModLamWat = 0.5562;
  double dTModLamIce = 2.33;
  double dTModCWater = 4187;
  double dTModCIce20 = 1940;
  double dTModCIce0 = 2090;
  double dTModLatHeat = 334000;
  double dTModRhoWater = 1000;
  double dTModFactor = 1.22;
  double dTModSEForStat = 0.5;
  double dTModShortestStep = 60;
  double dTModLongestStep = 1800;
  double dTModNFactorFreezing = 1.0;
  double dTModNFactorThawing = 1.0;
  int32_t lowerBoundaryType = 0;  // 1: the heat-flux grid gives the lower boundary
  std::vector<ZoneRecord> thaw_depth_records;

  // --- Layered snow (unsatzone/layered_snow_setup.cpp) ----------------------------------------
  int32_t layeredSnowSwitch = 0;
  SoilRecord* layeredSnowProperties = nullptr;
  double dTOffsetFreshSnow = 0;
  LayeredSnowState layered_snow;
  // Pre-spin-up: FreezingDegreeDays, thawingDegreeDays, DailyTemperature, AnnualTemperature.
  std::array<GridMatrix, 4> pre_spin_up_grids;
  std::array<int, 4> pre_spin_up_index{};
  int32_t preSpinUpStepCount = 0;
  int32_t preSpinUpDayStepCount = 0;
  std::vector<std::vector<double>> thaw_thresholds;  // per soil type, layers 1..N (heat on)

  // --- Zones, grids and state ------------------------------------------------------------------
  // The soil model's zone table ("zonegrid_soilmodel"): grid data, records 0..n, code index.
  double** soil_zone_grid = nullptr;
  std::vector<ZoneRecord> soil_zones;
  std::vector<int32_t> soil_zone_index;
  int32_t soil_zone_count = 0;
  int32_t soil_zone_highest = 0;
  int32_t grid_first_row = 0;  // own rows plus one halo row on each side
  int32_t grid_last_row = -1;
  Links links;
  std::array<GridMatrix, kOwnGridCount> grids;
  std::array<int, kOwnGridCount> grid_index{};  // registry entries (0: not registered)
  std::array<StackMatrix, kOwnStackCount> stacks;
  std::array<int, kOwnStackCount> stack_index{};
  std::array<Statistics, kStatisticsPairCount> statistics;
  Statistics immobilised_statistics;  // SB_2_ "_immo" table with "GlacierMassBalance"
  // The step's base flow per soil zone while its table is silent (statistics code without a
  // mode): the runoff takes the base flow from these sums then, not from the table's.
  std::vector<ZoneRecord> base_flow_records;
  SoilLayerConstants soil_constants;
  std::vector<GlacierShareRecord> glacier_shares;  // 0..n, with "ice_firn"

  // --- Step frame state --------------------------------------------------------------------------
  int32_t tracerCount = 0;
  RunoffConcentration runoff;
  double** water_input = nullptr;  // linked by LinkWaterInputGrid
  // Silting-up's change of the water input (mm per step), linked by the application when
  // silting-up runs.
  double** silted_input_change = nullptr;
  bool snowAfterInterception = false;
  std::vector<ReinfiltrationRecord> reinfiltration_records;  // 0..n, groundwater model on
  // Exact twins of the records' `reinfiltrated` over this process's cells and the step's
  // sub-steps (each booking and each replaced booking added term by term), so that the step's
  // total over the processes is the same double on any split of the cells.
  std::vector<ExactSum> reinfiltration_exact;
  // Single-point buffers of the control point, indexed like single_point_files: made on the
  // process that owns the control point by the first row appended (empty elsewhere).
  std::vector<SinglePointBuffer> point_buffers;
  // The soil zone's state of tracer t = 1..T (index 0 unused), beside tracer_blocks[t] (zone
  // table and statistics table). The stack holds per level the concentration of an evaporating
  // tracer, else its mass (concentration x water in mm). "_CONC_QD_t_"/"_CONC_QI_t_" hold the
  // concentrations of the cells' direct runoff and interflow of the sub-step, which the solver
  // writes and AddZoneSums weighs with the water.
  struct SoilTracer {
    StackMatrix stack;         // "concstor_tracer_t_unsatzon_model", levels 0..N
    GridMatrix layer_one;      // concentration at the top (registered with the stack)
    GridMatrix direct, inter;  // "_CONC_QD_t_", "_CONC_QI_t_"
    GridMatrix base_flow;      // of the cell's base flow in the sub-step (nodata: none left)
    int stack_index = 0, direct_index = 0, inter_index = 0;
    double** input = nullptr;    // concentration of the water input
    double** silting = nullptr;  // "concflux_tracer_t_SiltingUpModel" or null
    // The silting-up model's solute of the water it leaves in the water input (the input and
    // the water that stood on the surface, less its runoff): mm x concentration, of an
    // evaporating tracer its concentration ("concstor_tracer_t_SiltingUpModel" or null).
    double** silted = nullptr;
    // With the groundwater model: the concentration of the water its layer 1 gives back
    // ("concflux_tracer_t_groundwater_flow"), and the sub-step's solute each column handed it,
    // mm x concentration, less what that water brought ("solute_to_groundwater_t", registered).
    double** groundwater = nullptr;
    GridMatrix to_groundwater;
    int to_groundwater_index = 0;
    // The concentration of the water the cell's irrigation pumps from groundwater
    // ("concpump_tracer_t_unsatzon_model", registered): that of the saturated zone, with the
    // groundwater model that of the water its layer 1 gives back. Set at the end of each step:
    // the irrigation of the next step gives the cells this concentration, and the store the water
    // leaves gives up the same solute with it.
    GridMatrix pumped;
    int pumped_index = 0;
    double decay = 1.0;                        // per sub-step; 1 for a stable tracer
    std::unique_ptr<SinglePointBuffer> point;  // control-point rows (owner process)
    // Per subbasin s = 1..n the step's base flow of the own cells, summed exactly (the same
    // doubles on any split of the cells): [2 s] the solute, sum of a q c, [2 s + 1] sum of a q.
    std::vector<ExactSum> baseflow;
    std::string point_file;
  };
  std::vector<SoilTracer> soil_tracers;
  // The river grids of the groundwater coupling (null without it).
  double** river_depth = nullptr;
  double** river_width = nullptr;
  double** river_links = nullptr;
  double** kolmation = nullptr;
  double** aquifer_thickness = nullptr;
  double** gw_storage_coefficient_1 = nullptr;

 private:
  // Steps of the constructor.
  void Construct();
  void LinkRegionGrids();
  void ReadModelSection();
  void ReadGridPairs();
  void ReadSinglePointNames();
  void ValidateControlPoint();
  void ReadStorageItems();
  void ReopenControlFile();
  void ReadHeatTransferSection();
  void CheckHeatTransferValues();
  void ReadTuningSection();
  void ReadPermafrost();
  void LinkForeignGrids();
  void CreateStatisticsTables();
  void DetermineLayerCount();
  void CreateGridsAndStacks();
  void SetInitialState();
  void ReadStoredState();
  void CheckStoredState(bool whole);
  void CheckOwnStoredState(bool whole);  // this process's rows
  // The first level of a cell's stored layer boundaries off its column as this run builds it
  // (0 the surface; -1: none), with the boundary expected there.
  int StoredColumnOff(long r, long c, double& expected) const;
  void RebuildLayerBoundaries();
  void SetColdStartState();
  void ScanGroundwaterGrids();
  void SetDrainageLevel();
  void CreateHeatGrids();
  void CompleteSoilTable();
  int32_t ReadLayeredSnowModel();
  void ReadLayeredSnowProperties();
  void CreateLayeredSnowGrids();
  void InitialiseSnowStacks(bool warm_start);
  // The first snow temperatures of a pack created empty, at the first step with heat transfer.
  void InitialiseSnowTemperatures();
  void ReadSnowStackFile(int stack);
  void UnregisterLayeredSnow();
  void ReleasePreSpinUpGrids();
  void PrepareHeatTables();
  ColumnCell HeatCell(long r, long c, int i0) const;
  double BottomTemperature(const SoilHeatWorkspace& hs, const SoilColumnWorkspace& ws, long r,
                           long c) const;
  void CreateIrrigationGrids();
  // Reads an own grid back from the file `name` where that is there (WARNING otherwise), its
  // basin cells within low..high.
  void ReadStoredGridIfThere(OwnGrid grid, const std::string& name, double low, double high,
                             const char* unit);
  // The file of the ratio of real to potential transpiration, written with the IRRIG grid's
  // write code: that grid's name with "_etr_to_etp" before its extension.
  std::string EtrToEtpFileName() const;
  void CreateSinglePointFiles();
  void ComposeOptionTag();
  void FormGlacierShares();
  void WriteStartUpLog();

  // Helpers.
  void UnregisterAll();
  double** Data(int index) const;
  double** Optional(const std::string& identifier);
  double** Required(const std::string& identifier);
  GridMatrix NewGrid() const;
  StackMatrix NewStack() const;
  // Sets the column range of every local row: `inside` in own cells, nodata elsewhere.
  void Fill(double** grid, double inside) const;
  int NextFreeIndex();
  void MakeGrid(OwnGrid grid, const std::string& file_name, const std::string& identifier,
                int32_t code, double inside);
  void MakeStack(OwnStack stack, const std::string& file_name, const std::string& identifier,
                 int32_t code);
  void MakeTable(Statistics& table, const OutputPair& pair, const std::string& title,
                 int32_t precision, const std::vector<ZoneRecord>& zones);
  // Reads a stack file into `stack` (local rows); a level count other than N is code 13.
  void ReadStackFile(OwnStack stack, const std::string& name);
  // A grid of the stored state (`state`, checked under its folder's manifest) or one a cold
  // start begins with (storage mode 2's groundwater distance and pond: the user's, or one a run
  // wrote, read as any input).
  void ReadGridFile(OwnGrid grid, const std::string& name, bool state = true);
  const SoilRecord& CellSoil(long row, long column) const;
  // The layers of a cell's column: the stacks hold the most layers of any soil of the basin, a
  // soil with fewer uses only its own.
  int CellLayers(const SoilRecord& soil) const { return std::min(layerCount, soil.layers); }
  bool ZoneCell(long row, long column) const;
  void WriteSinglePointHeader(SinglePoint file, const std::string& header,
                              const std::string& message);
  double** RunoffRows(RunoffConcentration::Array& array, const char* name);
  // The per-subbasin parameters that the storage section records.
  StorageParameters StorageParametersOfRun() const;
  // First soil temperature profiles of a cold start (heat transfer on).
  void InitialiseSoilTemperatures();
  void ZeroRealEvapotranspiration();
  std::array<std::vector<double*>, 4> runoff_rows_;  // Qg, QD, QI, QBb per tracer
  // Concentration of tracer t in `layer` of a cell: the stack value of an evaporating tracer,
  // else mass / (theta 1000 thickness), `dry_value` where theta <= `dry_theta`.
  double TracerConcentration(int32_t t, long row, long column, int32_t layer, double dry_theta,
                             double dry_value) const;
  // The single-point buffer of `file`, made on first use; and its write.
  SinglePointBuffer& PointBuffer(SinglePoint file);
  void WritePointBuffer(SinglePoint file);
  // Adds a cell's base flow `q_weight` (q times 1 - g) with the concentration of its
  // groundwater layer into every tracer's base-flow sums.
  void AddTracerBaseflow(long row, long column, int32_t subbasin, double q_weight);
  // FinishStep's tracer part: layer-1 concentration grids, stack output, base-flow and total
  // runoff concentrations, tracer tables. Collective.
  void FinishTracerStep();
  // FinishStep's outputs (unsatzone/unsatzone_step_output.cpp): every zone statistics table
  // collects the step (QD, QI, QB and Qg with the rows FinishStep wrote on process 0), then the
  // grids and stacks are written as their write codes say. Collective.
  void CollectStepTables();
  void WriteStepGrids();
  // Steps of FlushBuffers and FinishRun (unsatzone/unsatzone_finish.cpp).
  std::vector<zonalstatistic*> TablesInFlushOrder();
  void WriteAllPointBuffers();
  void WriteEndOfRunLog();
  // Steps of SetupTracers.
  void SetupTracer(int32_t t);
  void SetupRiverCoupling();
  void SetInitialTracerConcentrations();
  // The pumped water's concentration of tracer t in every own cell (see SoilTracer::pumped).
  void SetPumpedConcentration(int32_t t);
  // Initial base flow of every own cell (without groundwater model) and Qg per subbasin and
  // tracer: the weighted means over all processes, 0 where the weights sum to 0.
  void SetInitialRunoff();
  // Groundwater layer of a cell ("groundwater_level"), within 1..N.
  int32_t StoredGroundwaterLayer(long row, long column) const;
};

}  // namespace velorn

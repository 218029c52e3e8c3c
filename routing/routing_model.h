// abflussmodellklasse: the discharge routing model. It routes the runoff per subbasin that the
// soil model hands in (SetQg) through the river network of [routing_model], stretch by stretch
// (routingclass, routing/routing_stretch.h), and writes the discharge per subbasin.
//
// Construction (routing/routing_model.cpp) reads the section header (table discharges qmin,
// qmax and intervals, time splitting, statistics file and code, observed-discharge file,
// observation columns, R-square start offset) and the routing descriptions, one per subbasin
// outlet that receives water, listed upstream first: each becomes a stretch with its tributary,
// list and inflow channels (routing/routing_descriptions.h). It builds the routing-target table
// (for irrigation), the "abfrel" table, the observed-discharge window (lags -10..+10) and the
// discharge statistics ("routed discharge", unit from the third value of [output_interval]).
// Abstractions (AL, routing/abstraction.h) are parsed per description after the inflows, their
// rule sections read from the same control file; internal ones are linked to their inflows by
// InitialiseRouting (codes 300-303). Reservoirs (SP, routing/reservoir.h) follow the
// abstractions; their rule sections are read with the abstractions' and they share one map of
// reservoir ids (hydraulic connections) and one bypass set.
//
// The application calls, in this order: SetQg (runoff per tracer and subbasin; none is FATAL
// 43), SetupLakes (every process), InitialiseRouting, SetReinfiltrationRecords, ReadStorageState
// (the unsaturated zone's storage file name and mode), SetInitialised(1), ApplyRestoredLakeLevels
// (every process); per step RunStep as
// the last model of the step; FlushBuffers; ReleaseMemory (writes the storage file "[routing_
// model]" section first, then the goodness-of-fit tables) and deletion.
//
// Routing runs on process 0 only: the constructor switches the model off on every other process
// and keeps the control file's switch there as the was-active value. The only collective calls
// are those of the lake exchange, made by every process under the same condition (lake switch
// on and was-active value at least 1); without a "lake_codes" grid lakes stay off.
//
// Units: flows are mm per time step over the area they belong to; the discharge output is mm
// (unit 0) or m³/s (unit 1: mm · km² · 16.6666667 / dt, divided by the area divisor f at the
// outlet of a stretch).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/route_statistics.h"
#include "core/submodel.h"
#include "core/tracer_bookkeeping.h"
#include "grids/time_series_table.h"
#include "routing/flow_tables.h"
#include "routing/routing_descriptions.h"
#include "routing/routing_stretch.h"
#include "unsatzone/reinfiltration_record.h"

namespace velorn {

// Codes of the routing model.
inline constexpr int kRoutingEndOfFileCode = 38;
inline constexpr int kRoutingLineTooLongCode = 40;
inline constexpr int kRoutingSubbasinCode = 41;
inline constexpr int kRoutingInflowCode = 42;
inline constexpr int kRoutingNoRunoffCode = 43;
inline constexpr int kRoutingStorageOpenCode = 64;
inline constexpr int kRoutingStorageContentCode = 71;
inline constexpr int kRoutingObservedReadCode = 203;
inline constexpr int kRoutingAbstractionTwiceCode = 300;
inline constexpr int kRoutingAbstractionSameCode = 301;
inline constexpr int kRoutingInternalInflowCode = 302;
inline constexpr int kRoutingAbstractionUnlinkedCode = 303;
// Longest line of a routing description.
inline constexpr std::size_t kMaxDescriptionLine = 2400;
// Rows of the observed window: lags -10..+10, row 10 is the current step.
inline constexpr int kObservedRows = 21;
inline constexpr int kObservedCurrentRow = 10;
// The end counter counts the rows of the window, from its top, that hold no record of the
// observed file; at this value row 10 holds none either and the comparison stops.
inline constexpr int32_t kObservedEnded = kObservedRows - kObservedCurrentRow;
// Default name of the storage file when the soil model gives none.
inline constexpr const char* kDefaultStorageFile = "storage.ftz";

// The routing-target table handed to irrigation.
struct RoutingTargets {
  std::vector<int32_t> list;     // 1..2·nsb: tributary subbasin indices in order, 0 ends
  std::vector<int32_t> target;   // 0..nsb: index of the outlet subbasin it flows into (0 none)
  std::vector<int32_t> stretch;  // 0..nsb: stretch whose outlet is the subbasin (0 none)
};

class abflussmodellklasse : public teilmodellklasse {
 public:
  // `setup.end_date` carries the start date of the run. `readgrids` is the unsaturated zone's
  // storage mode (the initial readgrids value). Never throws: `error` receives 0 or the code.
  abflussmodellklasse(int32_t& error, const SubModelSetup& setup, int32_t tracer_count,
                      TracerDefinition* tracers, int32_t readgrids);
  ~abflussmodellklasse() override;

  // --- Set-up and life cycle (routing/routing_model_step.cpp) ---------------------------------
  // Keeps the runoff Qg[tr][sb] (not owned); null is FATAL 43. Nothing when off.
  void SetQg(double** runoff);
  void SetReinfiltrationRecords(ReinfiltrationRecord* records);
  // Reads the lake switch when "lake_codes" is registered (INFO and off otherwise).
  void ReadLakeSection(const std::string& header);
  // Counts the lake cells per process and hands out their ponding storage (collective).
  void SetupLakes();
  // After a warm start, writes the level of each lake's restored volume to its cells and
  // scatters it (collective; every process).
  void ApplyRestoredLakeLevels();
  // Gathers the static lake grids whole onto process 0 (collective) and binds the reservoirs
  // of every stretch to their lake cells there.
  void BindLakes();
  // Channel states, the check of internal inflows and the initialisation passes.
  void InitialiseRouting();
  // Links each internal abstraction to the internal inflow of its number (codes 300-303).
  void LinkInternalAbstractions();
  // Number of initialisation passes: ceil(Σ over the stretches of the largest truncated travel
  // time in hours · 60 / dt), at least 1.
  int32_t InitialisationPasses() const;
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  void FlushBuffers();
  // A new pass over the time range (spin-up): the observed discharges and the stretches' inflow
  // and abstraction files return to the start date, as the meteorological inputs do.
  void RewindInputs();
  void ReleaseMemory() override;

  // --- Storage file (routing/routing_storage.cpp) ----------------------------------------------
  // Reads the section "routing_model" of `name` (input directory) unless the mode is 0, 2 or 4;
  // no name: nothing is read. Codes 64 (cannot open) and 71 (section or content).
  void ReadStorageState(const std::string* name, int32_t mode);
  // Writes "[routing_model]" and every stretch's block to the held name or "storage.ftz" in the
  // output directory, replacing the file; failures are WARNINGs.
  void WriteStorageState();

  // --- Tables for irrigation and others -------------------------------------------------------
  // The irrigation model's surface-water demand per subbasin (records 0..nsb: value 1 the sum,
  // value 3 the area, value 4 the count; not owned; null: no irrigation). Each step then keeps
  // the uncovered demand per subbasin and carries it down the network into GetMaxIrrigation's
  // water array (routing/irrigation_formulas.h). Nothing when off.
  void SetIrrigationDemand(const ZoneRecord* table);
  const std::vector<double>& IrrigationDemand() const { return demand_; }
  // Per subbasin, the irrigation water (mm) its river could not give yet.
  const std::vector<double>& IrrigationOwed() const { return irrigation_owed_; }
  const RoutingTargets* GetRoutingTargets() const { return IsOn() ? &targets_ : nullptr; }
  const AbfrelTable* GetAbfrelTable() const { return IsOn() ? &abfrel_ : nullptr; }
  std::vector<std::vector<double>>* GetMaxIrrigation() { return IsOn() ? &maxirrig_ : nullptr; }
  std::vector<std::vector<double>>* GetMaxIrrigationFromReservoirs() {
    return IsOn() ? &maxirrig_reservoirs_ : nullptr;
  }
  // [tr][sb], tracers 1..ntr: the solute (mm x concentration over the subbasin) the rivers and
  // reservoirs gave up for irrigation, less what irrigation gave the cells. Irrigation serves a
  // step from the offers of the step before, while the routing takes the water of its own step:
  // irrigation adds what is left here to the solute of its next amounts.
  std::vector<std::vector<double>>* GetIrrigationSolute() {
    return IsOn() ? &irrigation_solute_ : nullptr;
  }
  int32_t SetDischargeUnit(int32_t unit);

  // --- Read access (tests, water balance) ---------------------------------------------------
  bool IsOn() const { return flow_control != 0; }
  int32_t WasActive() const { return was_active_; }
  int32_t StretchCount() const { return static_cast<int32_t>(stretches_.size()) - 1; }
  routingclass& Stretch(int32_t n) { return *stretches_[n]; }
  const DescriptionCounts& Totals() const { return totals_; }
  int32_t DescriptionCount() const { return ndesc_; }
  int32_t Unit() const { return unit_; }
  int32_t ObservationColumn(int32_t sb) const { return observation_columns_[sb]; }
  int32_t ObservedSubstitution() const { return observed_flag_; }
  int32_t ObservedEndCounter() const { return end_counter_; }
  const GoodnessOfFitTable& LinearFit() const { return fit_linear_; }
  const GoodnessOfFitTable& LogarithmicFit() const { return fit_logarithmic_; }
  double** Flows() { return tables_ ? tables_->flows() : nullptr; }
  // The discharge of subbasin sb in the output unit, as the statistics receive it.
  double OutputDischarge(int32_t sb) const;
  // Water held in the channels of all stretches, in mm · km².
  double ChannelStorage() const;
  // Solute of tracer `tr` held in the channels of stretch n, in mm x concentration over the
  // basin: the stretch's StoredSolute times its share of the basin area.
  double ChannelSolute(int32_t n, int32_t tr) const;
  int32_t LakeSwitch() const { return lake_switch_; }
  // Scatters the ponding the lakes on process 0 wrote to the processes that own the cells (and
  // into process 0's own rows); collective, a no-op while lakes are off.
  void ScatterLakePonding();
  // As ScatterLakePonding, and the lakes' concentrations with it: the cells' surface solute
  // becomes the lake's concentration times their ponding (a level set by data assimilation adds
  // or removes water at the lake's concentration). Collective, a no-op while lakes are off.
  void ScatterLakeState() { ExchangeLakes(false); }
  // "lake_exchange": StartLakeExchange clears it at the start of a step; around each change of
  // the lake cells' ponding by the lake step BookLakeExchange(false) takes off the ponding
  // before and BookLakeExchange(true) adds it after (a level set by data assimilation is the
  // account's "assimilation"). No-ops while lakes are off; every process books its own lake cells.
  void StartLakeExchange();
  void BookLakeExchange(bool after);
  // The solute of tracer t (1..ntr, not evaporating) the lake step put on (+) or took from (-)
  // the surface of each own lake cell in the step, mm x concentration, as "lake_exchange" books
  // the water; null while lakes or the tracers' surface solute are off.
  double** LakeExchangeSolute(int32_t t) const {
    return static_cast<std::size_t>(t) < lake_exchange_solute_.size()
               ? lake_exchange_solute_[static_cast<std::size_t>(t)].get()
               : nullptr;
  }
  // Lake cells per process (null while lakes are off) and the reservoirs of every stretch.
  const int64_t* LakeCellCounts() const {
    return lake_cells_.empty() ? nullptr : lake_cells_.data();
  }
  void CollectReservoirs(std::vector<SP_class*>& list) {
    for (int32_t n = 1; n <= StretchCount(); ++n) stretches_[n]->CollectReservoirs(list);
  }
  int32_t ReadGridsValue() const { return readgrids_; }
  const std::string& StorageFileName() const { return written_storage_name_; }

 private:
  // Construction steps (routing/routing_model.cpp).
  void Construct(int32_t readgrids);
  void ReadHeader();
  void ReadObservationColumns();
  void CountDescriptions();
  void ParseDescriptions();
  void ParseDescription(const std::string& text, int32_t number);
  void ParseChannelValues(const std::string& text, std::size_t& pos, int32_t item, int32_t outlet,
                          ChannelParameters& params);
  // "routing description <n> (TG <code>)" of the description of outlet subbasin `outlet`.
  std::string DescriptionName(int32_t outlet) const;
  // Refuses the value after the next '=' from `pos` when it begins like a number but is none.
  void RefuseNumberWord(const std::string& text, std::size_t pos, int32_t outlet,
                        const std::string& where, int value);
  // A WARNING when the name written before the value at `pos` is not `expected`, the value of
  // that place ("Mv=10, Mh=20" reads 10 as Mh).
  void WarnAboutValueName(const std::string& text, std::size_t pos, int32_t outlet,
                          const std::string& where, int value, const char* expected,
                          const char* order);
  void AddChannel(routingclass& stretch, const std::string& text, std::size_t& pos, int32_t item,
                  int32_t code, const std::vector<int32_t>& members, int32_t divisor_flag,
                  int32_t outlet);
  void ParseInflow(routingclass& stretch, const std::string& text, std::size_t& pos, int32_t item,
                   int32_t outlet);
  int32_t ZoneCode(int32_t index) const { return static_cast<int32_t>(zone_table[index][2]); }
  int32_t SourceIndex(int32_t code, int32_t item, int32_t outlet) const;
  void EnterTarget(int32_t index, int32_t outlet);
  void CheckUpstreamOrder();
  void FinishStretches();
  void CreateStatistics();
  void OpenObservedFile();
  void OpenObservedTable();
  void FillObservedWindow();
  void RewindObserved();
  void CopyObservedRow(int32_t row);
  // Reads the next line of the control file into `line`; false at the end.
  bool NextLine(std::string& line);
  // The stretch outlet factor of unit 1 for subbasin sb (divided by f at a stretch outlet).
  double DischargeFactor(int32_t sb) const;
  // Steps of RunStep (routing/routing_model_step.cpp).
  void ExchangeLakes(bool gather);
  // The lake exchange (routing/lake_exchange.cpp). Tracer concentrations of the lake cells: finds
  // the unsaturated zone's concentration stacks, and gathers their top level on the lake cells into
  // whole grids for process 0's lakes, or scatters the lakes' concentrations back (collective).
  void SetupLakeTracers();
  void ExchangeLakeTracers(bool gather);
  // A step grid of the lakes: its registry index and, on process 0 of several, its whole copy.
  struct LakeStepGrid {
    int index = 0;
    GridMatrix whole;
  };
  // The mask of the lake exchange: process 0's whole copy of "lake_codes" on several processes.
  double** LakeMask() const;
  // Gathers the lake cells of a step grid into process 0's copy.
  void GatherLakeGrid(const LakeStepGrid& grid);
  void CompareWithObserved();
  void ShiftObservedWindow(int64_t hour, int64_t day, int64_t month, int64_t year);
  void CollectStatistics(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Per tracer the table of the solute held in the channels ("<name>chann.<statext>"): per
  // subbasin that ends a stretch, the stretch's channel solute in mm x concentration over the
  // subbasin's area, weighted by that area, so that the total column is the basin's.
  void CreateChannelSoluteTables(ZoneStatisticsRecord* statistics_registry, int32_t capacity);
  void CollectChannelSolute(int64_t hour, int64_t day, int64_t month, int64_t year);
  // The solute that leaves the basin: per step what the stretches that end it pass on, at the
  // end of the run "routing_solute.txt" (process 0) with what the abstractions took out.
  void BookOutletSolute();
  void WriteRoutingSolute();
  void FillSubflows();
  void RefreshObserved();

  int32_t was_active_ = 0;
  ModelDate start_date_;
  int32_t nsb_ = 0;

  double qmin_ = 0, qmax_ = 0, nint_ = 0;
  int32_t nsplit_ = 1;
  std::string statistics_name_;
  int32_t statistics_code_ = 0;
  std::string observed_name_;
  std::vector<int32_t> observation_columns_;  // 0..nsb
  int32_t rsquare_offset_ = 0;
  int32_t step_counter_ = 0;

  DescriptionCounts totals_;
  int32_t ndesc_ = 0;
  std::vector<std::unique_ptr<routingclass>> stretches_;  // 1..ndesc
  std::vector<int32_t> outlet_of_stretch_;                // 1..ndesc: outlet subbasin index
  RoutingTargets targets_;
  AbfrelTable abfrel_;
  std::vector<std::vector<double>> maxirrig_;             // [tr][sb]
  std::vector<std::vector<double>> maxirrig_reservoirs_;  // [tr][sb]
  std::vector<std::vector<double>> irrigation_solute_;    // [tr][sb], see GetIrrigationSolute
  const ZoneRecord* irrigation_demand_ = nullptr;
  std::vector<double> demand_;           // uncovered surface-water demand per subbasin (mm)
  std::vector<char> irrigation_drawn_;   // subbasins drawn from in this step
  std::vector<double> irrigation_owed_;  // irrigation water the rivers still owe (mm)
  IrrigationLinks irrigation_links_;
  void PrepareIrrigationDemand();
  void AccumulateIrrigationDemand();
  // The irrigation block of the storage section: per subbasin what the river owes and the river
  // and reservoir offers irrigation takes in the next step (routing/routing_storage.cpp).
  void WriteIrrigationState(CheckedFile& file) const;
  void ReadIrrigationState(StorageFileReader& in);
  std::unique_ptr<RoutingFlowTables> tables_;
  double** runoff_ = nullptr;
  ReinfiltrationRecord* records_ = nullptr;
  std::map<int32_t, bool> bypass_;
  ReservoirMap reservoir_links_;

  // Observed discharges.
  std::unique_ptr<TimeSeriesTable> observed_table_;
  int64_t observed_columns_ = 0;
  std::vector<std::vector<double>> observed_window_;  // [row 0..20][column 1..]
  std::vector<double> observed_current_;              // the row of the step, as the file holds it
  // What the stretches read, per subbasin 1..nsb: the observed value of the subbasin's gauge in
  // the stretches' unit (mm per step over A / f; the file is in the unit of the routed
  // discharge), nodata where none; and the subbasin's own index where it has a gauge, else 0.
  std::vector<double> observed_depth_;
  std::vector<int32_t> observed_index_;
  int32_t end_counter_ = 0;
  ModelDate observed_date_;
  int32_t observed_flag_ = 0;
  GoodnessOfFitTable fit_linear_, fit_logarithmic_;

  std::vector<ZoneRecord> own_zones_;  // zone records of the discharge table
  struct ChannelSoluteTable {
    std::vector<ZoneRecord> records;  // 0..zone count
    std::unique_ptr<zonalstatistic> table;
  };
  std::vector<ChannelSoluteTable> channel_solute_;  // 1..ntr
  // [tr][sb]: the solute the stretch of outlet sb passed out of the basin over the run, mm x
  // concentration over the basin ([0]: its water, mm over the basin).
  std::vector<std::vector<double>> outlet_solute_;
  // [sb]: the water the subbasins' runoff gave the rivers over the run, and the water the
  // channels of the stretch of outlet sb held at the start of the run, mm over the basin.
  std::vector<double> runoff_water_, channels_start_;
  // [tr][sb]: what the rivers and reservoirs gave irrigation over the run (mm x concentration
  // over the subbasin).
  std::vector<std::vector<double>> irrigation_given_;
  std::unique_ptr<routstatistic> statistics_;
  int32_t statistics_index_ = 0;
  int32_t unit_ = 0;

  // Lakes.
  int32_t lake_switch_ = 0;
  bool restored_from_storage_ = false;  // process 0 read the storage file's reservoir states
  int32_t readgrids_ = 0;
  int lake_codes_index_ = 0;
  int ponding_index_ = 0;
  std::vector<int64_t> lake_cells_;
  int lakes_grid_index_ = 0;
  OwnedGrid lakes_grid_;
  // Process 0: the step grids the lakes of the stretches work on.
  LakeGrids lake_grids_;
  // Per tracer 1..ntr the registry index of the concentration stack (none: the lakes keep their
  // own concentrations) and the grid of its top level on the lake cells (every process).
  GridMatrix lake_mask_;
  std::vector<LakeStepGrid> lake_step_grids_;                // ponding first
  std::vector<std::pair<int32_t, int32_t>> own_lake_cells_;  // row, column
  std::vector<int> lake_tracer_stacks_;
  std::vector<OwnedGrid> lake_tracers_;
  // Per tracer 1..ntr and own lake cell: the surface solute of a tracer kept as a mass on a cell
  // without ponding when the lakes took their water, handed back to the cell after their step.
  std::vector<std::vector<double>> dry_surface_solute_;
  // "lake_exchange" (every process, own lake cells): the ponding the lake step of the last step
  // put on (+) or took from (-) each cell, mm; the water-balance account books it.
  int lake_exchange_index_ = 0;
  OwnedGrid lake_exchange_;
  std::vector<OwnedGrid> lake_exchange_solute_;  // [t], see LakeExchangeSolute

  std::optional<std::string> storage_name_;
  std::string written_storage_name_;

  ControlFileReader* reader_ = nullptr;  // the control file while the constructor reads
};

}  // namespace velorn

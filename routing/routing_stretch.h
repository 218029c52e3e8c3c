// routingclass: one routing stretch, the channel network that ends at the outlet of one
// subbasin (its TG code), with its channel items:
//   items 1..ntrib                 tributary channels (the outflow of an upstream subbasin),
//   items ntrib+1..ntrib+nlist     channels fed by the combined runoff of a list of subbasins,
//   items ..+1..ntrib+nlist+nZL    inflow channels (ZL) fed from outside the stretch.
// Each channel is translated by the delays of its water-level/discharge table
// (routing/channel_table.h), section by section, and passes two parallel linear storages (mean
// channel and flood plain); the routed channels and the own subbasin's runoff are added at the
// outlet. Flows are rates in mm per time step over the area they belong to.
//
// The routing model (the driver) owns the stretches and the shared tables and must:
//   1. construct the stretch from a StretchSetup (check `error`), then per item in description
//      order call BuildWQTable (divisor flag 1 for tributary and list channels, 0 for inflow
//      channels) and, for inflow items, SetInflow;
//   2. once every stretch is built, in stretch order: GetMaxHistoryLength, CheckArea (upstream
//      stretches first: it writes the own subbasin's "abfrel" entries that downstream stretches
//      read), WriteWQTable;
//   3. fill flows[0..ntr][*] with the step values, then SetFlowArrays (which allocates the
//      history rows) and InitialiseChannelStates; SetReinfiltrationRecords when the unsaturated
//      zone hands records; SetBypassSet when reservoirs bypass subbasins;
//   4. per time step: ReadInflows on every stretch, fill subflows[tr][1..nsub][*] (also at the
//      inflow indices: a constant inflow's step value), then per stretch in order RouteStep and,
//      with records, OfferReinfiltration; initialisation passes call RouteStep(0, 0, 0, 0);
//   5. ReleaseMemory at the end.
//   Abstractions (AL items, routing/abstraction.h): SetAblaufModus per item while the
//   description is parsed, ReadAbstractionRules once, SetTarget on internal ones (through
//   Abstraction(k)) at the routing initialisation; FlushBuffers on a flush and at the end.
// RouteStep allocates nothing; every array is sized at set-up. After the outlet sum the
// abstractions take their amounts from the outlet discharge in item order; internal ones leave
// their water (m³/s) at the flow index nsb + their number, where the receiving stretch's
// internal inflow converts it to mm. With irrigation tables the stretch takes the surface-water
// demand of irrigation from its sources before the routing and from its outlet after it, and
// records the river water each subbasin offers. The reservoirs are not built here.
//
// Settled here: the storage constants k (hours) become recession factors exp(−Δt/k) with Δt the
// routing sub-step in hours, and the linear storages chain from sub-step to sub-step (the first
// sub-step of a step continues from the last of the previous one), so a constant k means the
// same in hourly and daily models. The history block of a section spans the largest delay of
// the table plus the sub-steps (the delay of the smallest discharge unless the table's velocity
// falls with rising discharge somewhere above bank-full).
// Limits: the content of the two parallel linear storages is known only through the last
// outflow and the flood-plain share, so a change of that share re-splits stored water (exact
// when both storages have the same constant or the channel stays below bank-full).
// Single-threaded, no MPI: the routing model runs the stretches on process 0.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/modelobject.h"
#include "core/output_files.h"
#include "core/tracer_bookkeeping.h"
#include "grids/time_series_table.h"
#include "routing/abstraction.h"
#include "routing/channel_table.h"
#include "routing/flow_tables.h"
#include "routing/reservoir.h"
#include "unsatzone/reinfiltration_record.h"

namespace velorn {

// Token reader of the storage file: values across line ends, comments skipped to the line end,
// the line number for the messages.
struct StorageFileReader {
  std::FILE* file = nullptr;
  std::string name;
  int64_t line = 1;
  std::string last;  // the last word Read took (named by a failure)
  bool Read(double& value);
  bool Read(int32_t& value);
  // Skips the rest of the current line.
  void SkipLine();
  // The next line whole (without its end); false at the end of the file.
  bool ReadLine(std::string& text);
};

// What the routing model hands each stretch at construction.
struct StretchSetup {
  DiagnosticStream* diag = nullptr;
  int32_t nsb = 0;     // subbasins of the model
  double dt = 60;      // time step (minutes)
  double area = 0;     // km², first value of the TG description
  double divisor = 1;  // area divisor f, second value of the TG description
  int32_t ntrib = 0;
  int32_t nlist = 0;
  int32_t nfurther = 0;  // only enlarges the weight array
  int32_t nZL = 0;
  int32_t nAL = 0;  // abstractions
  int32_t nSP = 0;  // reservoirs
  int32_t tg_code = 0;
  AbfrelTable* abfrel = nullptr;
  const int32_t* code_to_index = nullptr;  // zone code -> subbasin index, codes 0..max_code
  int32_t max_code = 0;
  int32_t ntr = 0;
  const TracerDefinition* tracers = nullptr;  // 1..ntr
  int32_t flow_control = 1;                   // 2 substitutes observed discharges
  double nodata = -9999.0;
  std::string output_directory = {};  // of the table files; empty: working directory
};

// Inflow modes of an inflow item.
inline constexpr int32_t kInflowConstant = 1;
inline constexpr int32_t kInflowInternal = 3;
inline constexpr int32_t kInflowFile = 4;
// Exit codes of the inflow files.
inline constexpr int kInflowDateCode = 36;
inline constexpr int kInflowOpenCode = 37;
inline constexpr int kInflowSearchCode = 38;
inline constexpr int kInflowEndCode = 39;
// The first column of inflow values: columns count from 1 with the four date columns.
inline constexpr int32_t kFirstInflowValueColumn = 5;

// What the routing model hands every stretch for the irrigation draws (see SetIrrigationTables).
struct IrrigationLinks {
  const ZoneRecord* records = nullptr;
  const std::vector<double>* demand = nullptr;
  std::vector<std::vector<double>>* maxirrig = nullptr;
  std::vector<char>* drawn = nullptr;
  // [sb]: irrigation water (mm over the subbasin) the river could not give in its step, taken
  // from it first in the following steps.
  std::vector<double>* owed = nullptr;
  // [tr][sb]: after the routing, what the last reservoir of a stretch can spare (mm over A / f);
  // after the irrigation step, what irrigation took from it in the next step.
  std::vector<std::vector<double>>* from_reservoirs = nullptr;
  // [tr][sb]: the solute each draw gives up is added (mm x concentration over the subbasin).
  std::vector<std::vector<double>>* solute = nullptr;
};

class routingclass : public modelobject {
 public:
  // Sizes every per-item array from the counts. Never throws: a failure sets `error`.
  routingclass(int32_t& error, const StretchSetup& setup);

  // --- Channel table (set-up) ---------------------------------------------------------------
  // Item `item` with its source code (inflow items: the inflow code), the subbasin list of a
  // list channel (codes), the time splitting, the observed-substitution flag and the channel
  // parameters. A code outside the zone table, or a table with a row that cannot be routed
  // (velocity 0 or less), is FATAL (code 17).
  void BuildWQTable(int32_t item, int32_t code, const std::vector<int32_t>& members, int32_t nsub,
                    int32_t observed_flag, int32_t divisor_flag, const ChannelParameters& params);
  // Row of item's table for a flow in mm per step.
  int32_t LookupWQRow(int32_t item, double depth) const;
  // Weights of the items, the stretch's "abfrel" entries and its area from the zone table;
  // INFO when the area differs from the description's. A stretch of area 0 is FATAL (17).
  void CheckArea();
  // One table file per item ("wq_table.%.3d" / "wq_tabZL.%.3d"); a file that cannot be created
  // or written ends the run (FATAL 18 naming it).
  void WriteWQTable();

  // --- Flows and state ------------------------------------------------------------------------
  // Stores the shared tables; `observed` (may be null) holds the current observed discharge per
  // observation column 1.. in this stretch's unit (mm per step over the gauge's A / f; the
  // routing model converts a file in m³/s), `observation_columns` per subbasin the column
  // (0 = none). Converts the inflow items' values and allocates and fills the history rows of
  // every item.
  void SetFlowArrays(double** flows, double*** subflows, double*** history, const double* observed,
                     const int32_t* observation_columns);
  void InitialiseChannelStates();
  // One time step (month < 1: an initialisation pass without re-infiltration).
  void RouteStep(int32_t year, int32_t month, int32_t day, int32_t hour);

  // --- Inflows and re-infiltration ------------------------------------------------------------
  // Inflow item k (1..nZL): code, mode, and for mode 4 the file, its start row and column
  // (columns counted from 1 with the four date columns) and the start date; else the value.
  void SetInflow(int32_t k, int32_t code, int32_t mode, const std::string& file_name,
                 int32_t start_row, int32_t start_column, int32_t year, int32_t month, int32_t day,
                 int32_t hour, double value);
  // The rows of the step date of every file inflow into flows at nsb + code.
  void ReadInflows(double** flows, int32_t year, int32_t month, int32_t day, int32_t hour);
  // A new pass over the time range (spin-up): the inflow and abstraction files return to the
  // run's first step.
  void RewindInputs(int32_t year, int32_t month, int32_t day, int32_t hour);
  void SetReinfiltrationRecords(ReinfiltrationRecord* records, int32_t stretch_number);
  void OfferReinfiltration();
  // Flow indices (with flag true) whose channels are not routed.
  void SetBypassSet(const std::map<int32_t, bool>* bypass) { bypass_ = bypass; }

  // --- Abstractions (routing/stretch_abstractions.cpp) ----------------------------------------
  // AL item at description position `item` (items count tributaries, lists, inflows, then
  // abstractions); `pos` stands just behind "AL" in `text`. The date is the model start date.
  void SetAblaufModus(int32_t item, std::string_view text, std::size_t pos, int32_t nsub,
                      int32_t year, int32_t month, int32_t day, int32_t hour);
  void ReadAbstractionRules(ControlFileReader& file);
  // Writes every abstraction's buffered output rows.
  void FlushBuffers();
  int32_t AbstractionCount() const { return nAL_; }
  AL_class& Abstraction(int32_t k) { return abstractions_[k]; }
  int32_t AbstractionNumber(int32_t k) const { return abstraction_numbers_[k]; }

  // --- Reservoirs (routing/stretch_reservoirs.cpp) ---------------------------------------------
  // SP item at description position `item` (items count tributaries, lists, inflows,
  // abstractions, then reservoirs); `pos` stands at "SP" in `text`. Reads the item and creates
  // the balance file.
  void SetSpeicherParams(int32_t item, std::string_view text, std::size_t pos, int32_t nsub);
  // Every reservoir's rule section; enters the reservoirs in the shared map and the last one in
  // the bypass set.
  void ReadReservoirRules(ControlFileReader& file, ReservoirMap* links,
                          std::map<int32_t, bool>* bypass);
  // The outflow of every reservoir before the first step (rules of an initialisation pass), at
  // most its volume in one step.
  void InitialiseReservoirOutflows();
  // Writes the level of each lake's present volume to its cells (process 0).
  void ApplyLakeLevels();
  // Binds every reservoir to its lake cells in `statics` (process 0's whole grids) with the step
  // grids `grids`; `from_ponding`: the lakes start from the ponding water (routing/reservoir.h).
  void BindLakes(const LakeStaticGrids& statics, const LakeGrids* grids, double cellsize,
                 bool from_ponding);
  // Appends the address of every reservoir.
  void CollectReservoirs(std::vector<SP_class*>& list);
  int32_t ReservoirCount() const { return nSP_; }
  SP_class& Reservoir(int32_t k) { return reservoirs_[k]; }
  // --- Irrigation draws (routing/stretch_irrigation.cpp) --------------------------------------
  // The routing model's irrigation tables: the demand records (value 3: a subbasin's area
  // share), the uncovered demand per subbasin (mm per step), the water the rivers can spare
  // [tr][sb] and the per-step marks of subbasins already drawn from. Null: no draws.
  void SetIrrigationTables(const IrrigationLinks* links) { irrigation_ = links; }

  // --- Storage state (routing/routing_storage.cpp) ------------------------------------------
  // Appends the stretch's block of the storage file: per channel item the histories, section
  // outflows and flood-plain shares (and the re-infiltration values when records are set),
  // per inflow item the same with the inflow's own channel, and the reservoirs' states; with
  // tracers each section's line of the linear storages' concentrations (the count first). Values
  // are written with 17 significant digits, so a warm start continues bit for bit; files with
  // fewer digits still read.
  void WriteStorageState(CheckedFile& file) const;
  // Reads the block back; a code, index or count that differs from this stretch (also the
  // tracer count of the storages' concentrations), or a value that cannot be read, is FATAL
  // (71). Returns the number of sections read without concentration lines (a file written
  // before they were kept: their storages' water starts free of the tracers).
  int32_t ReadStorageState(StorageFileReader& file);

  // --- Small helpers --------------------------------------------------------------------------
  double MaxOverSubSteps(const double* values) const;
  int32_t GetMaxHistoryLength(int32_t n) const;
  double GetIrrigationAbstraction() const { return abstraction_sum_; }
  // Frees the histories, tables and arrays and writes the release entry.
  void ReleaseMemory() override;

  // --- Water balance --------------------------------------------------------------------------
  // Water held by the stretch (histories not yet routed, section storages, linear storages), in
  // mm over the stretch's effective area A / f, the unit of its step result.
  double StoredWater() const;
  // Solute of tracer `tr` held the same way: water times concentration, in mm over A / f
  // (tracer 0: the water).
  double StoredSolute(int32_t tr) const;
  // Solute of tracer `tr` the abstractions that do not hand their water to an inflow took out of
  // the rivers over the run, in mm x concentration over A / f.
  double AbstractedSolute(int32_t tr) const {
    return static_cast<std::size_t>(tr) < abstracted_solute_.size() ? abstracted_solute_[tr] : 0.0;
  }
  // Water (tr 0) and solute of tracer `tr` the observed discharges put into the rivers (above 0)
  // or took out of them (below 0) in the place of the simulated ones over the run, in mm (x
  // concentration) over A / f; the solute at the concentration of the water they replaced.
  // What the observation at the outlet's gauge put in the place of the routed discharge in the
  // last step (mm per step over A / f of the outlet, 0 without one): the discharge table and
  // the goodness of fit keep the routed discharge, the stretches below take the observation.
  double GaugeSubstitution() const { return gauge_substitution_; }
  double ObservedChange(int32_t tr) const {
    return static_cast<std::size_t>(tr) < observed_change_.size() ? observed_change_[tr] : 0.0;
  }
  // Water (tr 0) and solute of tracer `tr` the inflows from outside the basin (constant ones and
  // those of a file, not the internal ones) brought into the stretch's channels over the run, in
  // mm (x concentration) over A / f.
  double InflowSupply(int32_t tr) const {
    return static_cast<std::size_t>(tr) < inflow_supply_.size() ? inflow_supply_[tr] : 0.0;
  }
  // Whether the stretch has an inflow from outside the basin.
  bool HasOutsideInflow() const;
  // Factor that turns a flow of item `item` into mm over A / f.
  double OutletFactor(int32_t item) const;

  // --- Read access ----------------------------------------------------------------------------
  int32_t ItemCount() const { return ntrib_ + nlist_ + nZL_; }
  // Tributary and list channels (the items before the inflow items).
  int32_t ChannelCount() const { return ntrib_ + nlist_; }
  int32_t OutletCode() const { return tg_code_; }
  int32_t InflowMode(int32_t item) const { return inflows_[item - ntrib_ - nlist_].mode; }
  const ChannelRecord& Channel(int32_t item) const { return items_[item].record; }
  const ChannelParameters& Parameters(int32_t item) const { return items_[item].params; }
  double Weight(int32_t k) const { return weight_[k]; }
  double Area() const { return area_; }
  double Divisor() const { return divisor_; }
  int32_t TributaryCount() const { return ntrib_; }
  double SectionDecayFactor(int32_t tracer) const { return decay_[tracer]; }
  int32_t FlowIndex(int32_t item) const;
  double InflowValue(int32_t tracer, int32_t k) const { return inflows_[k].values[tracer]; }

 private:
  struct ChannelItem {
    int32_t code = 0;
    std::vector<int32_t> members;  // codes of a list channel
    ChannelParameters params;
    ChannelRecord record;
    bool built = false;
  };
  struct InflowSource {
    int32_t code = 0;
    int32_t mode = 0;
    std::vector<double> values;  // [tr], water in m³/s
    std::unique_ptr<TimeSeriesTable> table;
    std::string file_name;
    int32_t first_value = 0;  // 0-based value index of the water column
    int32_t start_row = 0;    // the file's row where the search for the start date begins
  };

  // Sizes `array` to `count` entries; a failure is the constructor's FATAL `number` (code 1).
  template <class T>
  void Allocate(std::vector<T>& array, int64_t count, int number);
  bool IsList(int32_t item) const { return item > ntrib_ && item <= ntrib_ + nlist_; }
  bool IsInflow(int32_t item) const { return item > ntrib_ + nlist_; }
  int32_t IndexOf(int32_t code) const;
  // Observed substitution for subbasin index t: true and the value in `value` when it applies.
  bool Observed(int32_t t, double& value) const;
  // Books what an observed value put in place of a simulated one in sub-step j changed: `change`
  // in mm per step over A / f, the solute at the concentrations `concentration(tr)`.
  template <class Concentration>
  void BookObserved(double change, Concentration concentration) {
    if (!real_step_ || change == 0.0) return;
    observed_change_[0] += change / nsub_;
    for (int32_t tr = 1; tr <= ntr_; ++tr)
      observed_change_[tr] += change / nsub_ * concentration(tr);
  }
  double ListWeightSum(int32_t item) const;
  double& Outlet(int32_t tr, int32_t j) { return outlet_[tr * (nsub_ + 1) + j]; }
  double& Work(int32_t tr, int32_t j) { return work_[tr * (nsub_ + 1) + j]; }
  double* WorkRow(int32_t tr) { return &work_[tr * (nsub_ + 1)]; }

  // Steps of RouteStep.
  void StartOutlet();
  void BookReinfiltration(int32_t item);
  void CombineList(int32_t item);
  void ConvertInternalInflow(int32_t item);
  void RouteChannel(int32_t item);
  void RouteSection(ChannelItem& item, int32_t number, int32_t s);
  void AddToOutlet(int32_t item);
  void FinishStep();
  void TakeAbstractions(int32_t year, int32_t month, int32_t day, int32_t hour);
  // Steps of TakeAbstractions: abstraction k's amount (mm over A / f) taken from the outlet
  // without reservoirs; after the last reservoir's step, the amounts it served, at the
  // concentrations it gave them at; the output row, the solute that left the basin and the
  // receiving inflow's concentrations of abstraction k, from carry_[1..ntr].
  void TakeFromOutlet(int32_t k, double amount, bool real_step, int32_t year, int32_t month,
                      int32_t day, int32_t hour);
  void BookReservoirAbstractions(bool real_step, int32_t year, int32_t month, int32_t day,
                                 int32_t hour);
  // The amounts cut to the volume `served` (m³) the last reservoir gave of the `wanted` volume
  // handed to it, in item order.
  void CutAbstractionsToServed(double wanted, double served);
  void BookAbstraction(int32_t k, double amount, bool real_step, int32_t year, int32_t month,
                       int32_t day, int32_t hour);
  // The reservoirs in item order, a chain on the outlet values.
  void RunReservoirs(int32_t year, int32_t month, int32_t day, int32_t hour);
  void DrawIrrigationAtSources();
  void DrawIrrigationAtOutlet();
  // Irrigation served by the last reservoir (routing/stretch_irrigation.cpp): the volume (m³)
  // irrigation took from it in this real step (0 without irrigation), and, after its step, what
  // it can spare for the next one.
  double ReservoirIrrigationVolume(bool real_step) const;
  void OfferReservoirToIrrigation(bool real_step);
  // The solute the last reservoir gave with the irrigation water of the step, into the
  // irrigation links' solute (mm x concentration over the outlet subbasin).
  void BookReservoirIrrigationSolute(bool real_step);
  // What the last reservoir could not give of the `wanted` volume (m³) irrigation had served from
  // its offer (a lake's cells took from its water between the offer and the step): owed by the
  // outlet subbasin's river, like a river that ran short.
  void OweReservoirShortfall(double wanted, bool real_step);
  // The outlet's step concentrations: those of the water its sub-steps hold (after a draw).
  void MixOutletConcentrations();

  // Steps of SetInflow and ReadInflows.
  void OpenInflowTable(int32_t k, int32_t start_row, int32_t year, int32_t month, int32_t day,
                       int32_t hour);
  void CheckInflowColumns(int32_t k, int32_t start_column);
  void AllocateHistoryRow(int32_t sb, int32_t length, bool routed);
  void FillOffer(int32_t item, int32_t t);

  int32_t nsb_;
  double dt_;
  double area_;
  double divisor_;
  int32_t ntrib_, nlist_, nfurther_, nZL_, nAL_, nSP_;
  int32_t tg_code_;
  AbfrelTable* abfrel_;
  const int32_t* code_to_index_;
  int32_t max_code_;
  int32_t ntr_;
  const TracerDefinition* tracers_;
  double nodata_;
  int32_t nsub_ = 1;
  int32_t observed_flag_ = 0;
  std::string output_directory_;

  std::vector<ChannelItem> items_;      // 1..items
  std::vector<InflowSource> inflows_;   // 1..nZL
  std::vector<double> weight_;          // 0..ntrib+nlist+nfurther
  std::vector<double> outlet_;          // [tr][j], j = 0..nsub
  std::vector<double> work_;            // [tr][j]
  std::vector<double> decay_;           // per tracer, of the section being routed
  std::vector<double*> rows_;           // per tracer, the history row of the channel routed
  std::vector<double> reinfiltration_;  // mm per step per subbasin index, this step
  std::vector<char> booked_;            // re-infiltration subtracted this step
  double abstraction_sum_ = 0;
  std::vector<AL_class> abstractions_;        // 1..nAL
  std::vector<int32_t> abstraction_numbers_;  // 1..nAL
  std::vector<double> abstraction_amounts_;   // 1..nAL, mm over A / f of the step
  std::vector<double> carry_;                 // [tr] of an abstraction's output row
  std::vector<double> abstracted_solute_;     // [tr], see AbstractedSolute
  std::vector<double> observed_change_;       // [tr], see ObservedChange
  double gauge_substitution_ = 0.0;           // see GaugeSubstitution
  std::vector<double> inflow_supply_;         // [tr], see InflowSupply
  bool real_step_ = false;                    // the step books (no initialisation pass)
  std::vector<SP_class> reservoirs_;          // 1..nSP

  double** flows_ = nullptr;
  double*** subflows_ = nullptr;
  double*** history_ = nullptr;
  const double* observed_ = nullptr;
  const int32_t* observation_columns_ = nullptr;
  std::vector<std::vector<double>> history_rows_;  // owned rows handed out through history_
  std::vector<std::pair<int32_t, int32_t>> history_slots_;  // (tr, flow index) of each row
  ReinfiltrationRecord* records_ = nullptr;
  int32_t stretch_number_ = 0;
  const std::map<int32_t, bool>* bypass_ = nullptr;
  const IrrigationLinks* irrigation_ = nullptr;
};

}  // namespace velorn

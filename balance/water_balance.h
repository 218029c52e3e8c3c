// WaterBalance: forms the water-balance account of a run (balance/water_balance_account.h) from
// the models' own grids and arrays, at the end of every step, and writes its table
// "water_balance.txt" and one INFO entry with the basin's balance at the end of the run.
//
// The account covers the subbasins of the soil zone ("zonegrid_soilmodel"); it is on when the
// soil zone is. Per own cell it takes, weighted by "RelCellArea" where it is given:
//   precipitation  the grid "precipitation" (after its correction);
//   alignment      with layered snow, the water the end of the snow step added to the layered
//                  pack to align it with the snow model's pack ("layered_snow_alignment");
//   response units with response units on, the change of the stores of the cells that take their
//                  unit's master's state, less the master's change (the copy puts the master's
//                  theta on columns of other soils, and replaces their own start content), less
//                  what their own fluxes brought and their parts gave the runoff beyond the
//                  master's (a member of another glacier share weighs its parts otherwise);
//   lake exchange  with lakes on, the ponding the lakes put on (+) or took from (-) their cells
//                  ("lake_exchange" of the routing model: the routed inflow and the outflow of
//                  the lake step);
//   assimilation   with data assimilation on, what its rules set into the stores counted below
//                  (a snow survey, a lake level on the ponding of the lake cells, any counted
//                  grid a rule replaces): the cell's stores after its step minus before;
//   groundwater    with the groundwater model, what its fixed heads and fixed inflows gave
//                  ("groundwater_boundary"), the net flow into the cell over every layer
//                  ("groundwater_lateral", 0 over the basin) and the head solution's imbalance
//                  ("groundwater_iteration"), the water losing streams gave the soil columns
//                  ("groundwater_river_infiltration"), less the water pumped from layer 1 for
//                  irrigation ("groundwater_pumping"; without the groundwater model what the
//                  soil column's saturated zone gave, "irrigation_from_groundwater"), which
//                  returns with the precipitation; its
//                  layers below layer 1 as a store
//                  ("groundwater_storage"), less the base flow of layer 1 that the soil column
//                  gives in the next sub-step (layer 1 is the column's saturated zone);
//   glaciers       with the glacier part of the snow model, a cell of glacier share g counts its
//                  glacier-free part (the snow model's cell pack and its evaporation, the canopy,
//                  the soil column, ponding, the evaporation of canopy and soil, transpiration,
//                  the aquifer and its terms: it has no faces to its neighbours and trades with
//                  the soil column alone) with 1 - g and its glacier part (the pack on
//                  the glacier, its evaporation, the firn stack of dynamic glaciers) with g;
//                  static glaciers keep the cell's pack for the whole cell, with the snow
//                  evaporation it loses (under layered snow the layers count with 1 - g and the
//                  cell's pack with g). The melt of ice (and
//                  of the firn of static glaciers) is an input, the content of the three linear
//                  storages of the glacier melt of each subbasin a store of runoff
//                  concentration, and what the yearly evaluation of dynamic glaciers moves (the
//                  oldest firn that turns into ice, the year's snow turned into firn, the areas
//                  that change between the parts) an input of its own, the stores after it less
//                  those before;
//   evaporation    interception, snow and soil evaporation of the evapotranspiration model, and
//                  transpiration as the rest of its real evapotranspiration of the cell;
//   stores         interception storage (every layer's) and canopy snow, the snow pack's
//                  "snowstorage_solid" and "snowstorage_liquid" (with layered snow on the soil
//                  columns, that pack, which takes the melt and the rain, instead), the soil
//                  column's theta times thickness, and ponding.
// With tracers, or irrigation, it books per step what irrigation, the lakes and data
// assimilation moved across the border of the stores (balance/step_solute.cpp), written at the
// end as "irrigation_solute.txt", "lake_exchange_solute.txt" and "assimilation_solute.txt".
// Per subbasin, on process 0, it takes the runoff Qg and the water of runoff concentration: the
// flow-time zones not yet at the outlet and the two linear storages, whose content for the
// discrete storage q_t = (1 - e) I_t + e q_(t-1) is e / (1 - e) q_t, so that the content
// changes by I - q exactly.
// The cell values are added with exact sums and reduced exactly onto process 0, so the account
// is the same for every number of processes and threads (the flow-time zones' per-process
// sums aside, which round alike in the written table). Not yet counted: surface
// routing, the groundwater model, irrigation and the river network. Cost: about 0.2 % of a
// step of the example year (0.85 ms of 510 ms on one process with two threads).
//
// The application makes it after the models, calls BeforeStep at the start and AfterStep at the
// end of every step (collective), BeforeAssimilation and AfterAssimilation around the data
// assimilation's step when that runs (each process on its own cells, no MPI), and Finish once at
// the end of the run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "balance/water_balance_account.h"
#include "core/exact_sum.h"
#include "core/matrix.h"
#include "core/response_unit_results.h"

namespace velorn {

class DiagnosticStream;
class unsatzonmodellklasse;
class verdunstungsmodellklasse;
class interzeptionsmodellklasse;
class schneemodellklasse;
class irrigationclass;
class abflussmodellklasse;
class siltingupclass;

// Content of a linear storage of factor e whose outflow of the last step was q.
inline double LinearStorageContent(double q, double e) {
  return e > 0 && e < 1 ? e / (1.0 - e) * q : 0.0;
}

class WaterBalance {
 public:
  struct Models {
    unsatzonmodellklasse* soil = nullptr;
    verdunstungsmodellklasse* evapotranspiration = nullptr;
    interzeptionsmodellklasse* interception = nullptr;
    schneemodellklasse* snow = nullptr;  // for its glacier part (may be null)
    // For the bookings of irrigation and the lakes (may be null; see step_solute.cpp).
    irrigationclass* irrigation = nullptr;
    abflussmodellklasse* routing = nullptr;
    // For the water it takes from the surface that surface routing left (may be null).
    siltingupclass* silting = nullptr;
  };

  WaterBalance(DiagnosticStream& diag, Models models);
  // Takes its hook off the snow model.
  ~WaterBalance();
  WaterBalance(const WaterBalance&) = delete;
  WaterBalance& operator=(const WaterBalance&) = delete;

  // On when the soil zone runs.
  bool Active() const { return active_; }
  // The stores before the first step of the run (only the first call counts). Collective.
  void BeforeStep();
  // Around the data assimilation's step: what it changes in the stores of each own cell, booked
  // as the step's input "assimilation". Two passes over the own cells; no MPI.
  void BeforeAssimilation();
  void AfterAssimilation();
  // Books the step of calendar year `year`. Collective.
  void AfterStep(int64_t year);
  // Process 0 writes "water_balance.txt" into `output_directory` and the INFO entry, and the
  // bookings of solute: "irrigation_solute.txt" with irrigation on, "lake_exchange_solute.txt"
  // with lakes and tracers, "assimilation_solute.txt" with data assimilation and tracers (see
  // step_solute.cpp), "runoff_concentration_solute.txt" with tracers (runoff_solute.cpp).
  void Finish(const std::string& output_directory);

  const WaterBalanceAccount& Account() const { return account_; }
  // Called by the snow model before (`after` false) and after the yearly evaluation of its
  // dynamic glaciers: the change of the stores is booked with the step. Collective.
  void AroundGlacierEvaluation(bool after);

 private:
  // Per index 0..n (0 the basin): the stores and, with `fluxes`, the step's fluxes; complete on
  // process 0. Collective.
  std::vector<WaterBalanceValues> Gather(bool fluxes);
  // Adds the own cells into the exact sums of thread slot 0..threads - 1. Collective (the
  // stores of the response units' masters are shared first).
  void AddCells(bool fluxes);
  // The grids of the fluxes of a step (null where absent; `external` only while an external
  // table exchanged since the last booking, which it records).
  struct FluxGrids {
    verdunstungsmodellklasse* et = nullptr;
    double** alignment = nullptr;
    double** lake_exchange = nullptr;
    double** external = nullptr;
    double** external_release = nullptr;  // the groundwater model's release it cancelled, mm
    double** ice_melt = nullptr;
    double** firn_melt = nullptr;
    double** glacier_evaporation = nullptr;
    double** glacier_outflow[3] = {nullptr, nullptr, nullptr};  // to the glacier storages
    double** pumped = nullptr;          // irrigation pumped from the column's saturated zone
    double** surface_return = nullptr;  // silting-up's take of the water left on the surface
    bool static_glacier = false;        // the glacier part keeps the snow model's cell pack
    // Without the evapotranspiration model: the grids the interception model and the soil zone
    // fill with what they evaporate (the soil zone's total holds its evaporation and the
    // transpiration of every layer).
    double** interception_evaporation = nullptr;
    double** canopy_sublimation = nullptr;
    double** soil_evaporation = nullptr;
    double** soil_total = nullptr;
    double** snow_evaporation = nullptr;  // the snow's energy balance
  };
  FluxGrids ResolveFluxGrids(bool fluxes);
  // The step's fluxes of cell (r, c) into `cell` (indexed as the cell terms of AddCells).
  void CellFluxes(const FluxGrids& grids, long r, long c, double* cell) const;
  // The glacier share the step's fluxes took (before a glacier evaluation at its end).
  double StepShare(long r, long c) const;
  // What the glacier part of cell (r, c) gave the glacier storages, per mm of the part.
  static double GlacierOutflow(const FluxGrids& grids, long r, long c);
  // The values of the response units' masters (see kMasterValues), shared with every process;
  // `parts`: with glaciers. Collective.
  UnitResults ShareMasters(const FluxGrids& grids, bool fluxes, bool parts);
  // The stores of every own cell, summed: set into `assimilated_` with a minus (before the data
  // assimilation) or added to it (after).
  void MarkAssimilation(bool after);
  // The stores of cell (r, c) but runoff concentration, indexed by WaterBalanceStore.
  void CellStores(long r, long c, double* stores) const;
  // The snow model when its glacier part runs, else null.
  const schneemodellklasse* Glaciers() const;
  // The runoff and the runoff-concentration store of every subbasin into `values` (process 0).
  // `weights`: the weight sums of indexes 0..n.
  // `counts`: the cell counts of indexes 0..n.
  void AddSubbasins(std::vector<WaterBalanceValues>& values, const std::vector<double>& weights,
                    const std::vector<double>& counts, bool fluxes);
  // Process 0: the water in the linear storages of the glacier melt of subbasin `s` (1..n) of
  // weight `weight` and `count` cells, in mm over the subbasin.
  double GlacierStorages(int32_t s, double weight, double count) const;
  // Process 0: what turns the content Q of a glacier storage of subbasin `s` (1..n) into mm over
  // the subbasin: its glacierized share times its `count` cells per `weight`.
  double SubbasinGlacierShare(int32_t s, double weight, double count) const;
  // The solute of a tracer the account books (not an evaporating one: its stores hold
  // concentrations).
  bool SoluteBooked(int32_t t) const;
  // Per tracer t and index i at [(t - 1) * (n + 1) + i]: the solute in the stores, mm x
  // concentration over the area (see glacier_evaluation_solute.cpp); complete on process 0.
  // Collective.
  std::vector<double> GatherSolute();
  // The stores a tracer's solute is summed over (see glacier_evaluation_solute.cpp).
  struct SoluteStores {
    double** free[2] = {nullptr, nullptr};              // the snow model's pack, the leaves
    double** glacier[3] = {nullptr, nullptr, nullptr};  // the glacier part's snow, firn, ice
    double*** column = nullptr;                         // the soil column
    // The groundwater model's layers: a glacierized cell's aquifer trades with the soil column
    // alone and counts with its glacier-free part, as its water does.
    std::vector<double**> aquifer;
  };
  SoluteStores ResolveSoluteStores(int32_t t) const;
  // The subbasin index (1..n) of cell (r, c), 0 when it is not an own cell of a subbasin.
  int32_t OwnSubbasin(long r, long c) const;
  // The solute of own cell (r, c) of glacier share g: its glacier-free part weighed 1 - g, its
  // glacier part g, per mm of the cell.
  double CellSolute(const SoluteStores& stores, long r, long c, double g) const;
  // The cells' relative areas ("RelCellArea", by identifier; null: every cell weighs 1).
  double** CellAreas() const;
  // The per-thread sums of a solute booking merged, then summed over the processes on process 0.
  static std::vector<ExactSum> MergedOnRoot(const std::vector<std::vector<ExactSum>>& sums);
  // Process 0: "glacier_evaluation_solute.txt" after an evaluation with tracers and
  // "response_unit_solute.txt" with response units and tracers.
  void WriteEvaluationSolute(const std::string& output_directory) const;
  // Appends per tracer t and subbasin s, at [(t - 1) * n + s - 1], the sum of this process's
  // records of the flow-time zones still on their way (see runoff_solute.cpp).
  void AddRunoffSoluteRecords(std::vector<ExactSum>& sums) const;
  // Process 0, per tracer t and index i at [(t - 1) * (n + 1) + i]: the solute of the runoff
  // concentration's flow-time zones and linear storages, mm x concentration over the area;
  // `weights` the indexes' weight sums, `pipelines` the records appended above, summed over the
  // processes. Written at the end as "runoff_concentration_solute.txt", before the first step
  // and after the last.
  std::vector<double> RunoffSolute(const std::vector<double>& weights,
                                   const std::vector<ExactSum>& pipelines) const;
  void WriteRunoffSolute(const std::string& output_directory) const;
  // A booking of solute per tracer t (not evaporating) and index i at [(t - 1) * (n + 1) + i]:
  // a row per tracer and vector of `rows`, named by the tracer and the row's suffix, a column
  // per subbasin and the basin.
  using SoluteRows = std::vector<std::pair<std::string, const std::vector<double>*>>;
  void WriteSoluteBooking(const std::string& path, const std::string& comment,
                          const SoluteRows& rows) const;
  // Response units with tracers: the solute the copies of the masters' state gave (+) or took
  // (-) from the other cells of each unit beyond what their own fluxes account for (see
  // response_unit_solute.cpp). `fluxes` false: only the cells' solute is taken as the start.
  // Collective.
  bool BooksUnitSolute() const;
  void BookUnitSolute(bool fluxes);
  // The bookings of a step that move water or solute across the border of the stores (see
  // step_solute.cpp): irrigation, the lakes' solute, data assimilation's solute. Collective.
  bool IrrigationOn() const;
  bool LakeSoluteOn() const;
  std::size_t StepBookings() const;
  void BookStepSolute();
  void MarkAssimilationSolute(bool after);
  void WriteStepSolute(const std::string& output_directory) const;
  // Process 0, per index 0..n: the routing's irrigation record at the end, the water the rivers
  // owe (t = 0) or the solute of tracer t they gave beyond what the cells received, mm over the
  // subbasin (mm x concentration); with `decayed`, what of tracer t decayed on its way.
  std::vector<double> RoutingIrrigation(int32_t t, bool decayed = false) const;
  // Around a glacier evaluation: its change of each cell's solute is the evaluation's booking,
  // not the copy's. Each process on its own cells.
  void MarkUnitSoluteEvaluation(bool after);
  // The glacier share the solute of cell (r, c) is weighed by: on dynamic glaciers its share now,
  // else 0; with `step`, the share its glacier part gave the glacier storages in the step with.
  double PartShare(long r, long c, bool step) const;

  DiagnosticStream& diag_;
  Models models_;
  bool active_ = false;
  int32_t subbasins_ = 0;
  WaterBalanceAccount account_;
  // Grids found in the registry (null when absent).
  double** precipitation_ = nullptr;
  double** snow_solid_ = nullptr;
  double** snow_liquid_ = nullptr;
  // Per own cell: minus its stores before data assimilation, then plus those after (null while
  // data assimilation is off).
  GridMatrix assimilated_;
  // The groundwater model's account grids (see the file header) and the soil's base flow.
  double** groundwater_storage_ = nullptr;
  // Boundary, lateral, iteration, river infiltration, pumping.
  double** groundwater_fluxes_[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  double** baseflow_ = nullptr;
  // Exact sums [thread][index 0..n][cell term]; the cell terms are the weight, the fluxes but
  // runoff, then the stores but runoff concentration.
  std::vector<std::vector<std::vector<ExactSum>>> sums_;
  // Per index 0..n (process 0): the stores of response-unit members beyond their masters' after
  // the last step, in mm over the area.
  std::vector<double> unit_excess_;
  // The soil model's count of external-table exchanges already booked.
  int64_t external_exchanges_ = 0;
  // Per index 0..n (process 0): the stores before the glacier evaluation of the step, and the
  // change it made, booked by the next AfterStep.
  std::vector<WaterBalanceValues> before_evaluation_;
  std::vector<double> evaluation_;
  // Per index 0..n (process 0): the members' excess of `unit_excess_` just before the evaluation.
  std::vector<double> unit_excess_before_evaluation_;
  // As GatherSolute: the solute before the evaluation of the step, and what the evaluations
  // of the run changed (process 0; empty before the first with tracers).
  std::vector<double> solute_before_evaluation_;
  std::vector<double> evaluation_solute_;
  // As RunoffSolute: before the first step and after the last Gather (process 0).
  std::vector<double> runoff_solute_start_, runoff_solute_;
  // Response units, per booked tracer at [t - 1]: each own cell's solute at the last booking,
  // and just before the glacier evaluation of the step; per tracer and index 0..n at
  // [(t - 1) * (n + 1) + i] (process 0): the copies' solute over the run, mm x concentration.
  std::vector<GridMatrix> unit_solute_last_, unit_solute_evaluation_;
  std::vector<double> unit_solute_;
  // Per booked tracer at [t - 1], own cells: minus the solute of the stores before the data
  // assimilation, then plus after (empty while it is off). Per index and booking (process 0;
  // see step_solute.cpp): the run's totals, and the weight sums of the indexes.
  std::vector<GridMatrix> assimilated_solute_;
  std::vector<double> step_solute_, step_weights_;
  // The glacier shares of the own cells before the evaluation (empty without one in the step):
  // the step's fluxes count with them. Indexed by ShareIndex.
  std::vector<double> step_shares_;
  // Response units on glaciers, per own cell: the sum of its stores after the last step, and
  // before the glacier evaluation of this step (see AddCells).
  enum class TotalsMode { kUpdate, kStash, kKeep };
  TotalsMode totals_mode_ = TotalsMode::kUpdate;
  GridMatrix cell_totals_, evaluation_totals_;
  bool have_evaluation_totals_ = false;
  std::size_t ShareIndex(long r, long c) const;
};

}  // namespace velorn

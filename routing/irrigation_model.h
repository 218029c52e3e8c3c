// irrigationclass: the irrigation model, section "[irrigation]".
//
// Every step it adds irrigation water to the cells: each cell's code ("irrigation_codes")
// selects a type of the irrigation table (setup/irrigation_tables.h) whose method decides the
// amount (dated amounts, soil-moisture thresholds, the ratio of real to potential
// evapotranspiration; routing/irrigation_formulas.h) and whose origin decides where the water
// comes from: groundwater (at most "Max_Pumping" per cell) or surface water (per subbasin at
// most what the reservoirs and rivers of the routing model can spare). The amounts go into
// "irrigation_amounts" (which also keeps the running amount of the threshold methods) and are
// added to "precipitation", so that interception, snow and soil see them as water input. Two
// zone tables record the amounts from groundwater and from surface water per subbasin; the
// surface-water table is the demand the routing model takes from the rivers in its step. With
// tracers the water carries the concentration of where it comes from: the pumped groundwater's
// (which its store gives up with it), or what the rivers and reservoirs gave for the water of
// the steps before and no cell received yet, at most at the concentration of the river or
// reservoir water offered (the routing takes a step's water after the cells received it).
//
// Section, after the flow control and time interval of the sub-model base: the groundwater
// and the surface-water statistics ("name code" each). See docs/control-file.md, [irrigation].
//
// The application constructs it after the unsaturated zone (whose grids it reads) and before
// the routing model, then calls SetupTracers, SetReinfiltrationRecords, SetQg,
// LinkSoilTracerGrids and, once routing is set up, SetMaxIrrigationArrays, SetRoutingTargets
// and SetAbfrelTable (process 0 holds the routing model: null there is FATAL 60); per step
// RunStep after the potential evapotranspiration and before interception and snow;
// FlushBuffers; ReleaseTracers and ReleaseMemory.
//
// The step is collective. Settled here: the amounts of the cells are computed by the process
// that owns them (so every process reads only its own rows of the soil-moisture, threshold,
// ratio, root-depth, code and pumping grids), the per-subbasin surface-water sums are added
// exactly onto process 0, which serves them from the routing arrays, and the supply factors
// go back to every process: the amounts are the same on any number of processes. Only
// surface-water cells are rescaled when the supply falls short, by their subbasin's factor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/submodel.h"
#include "core/zone_statistics.h"
#include "routing/flow_tables.h"
#include "routing/irrigation_formulas.h"
#include "setup/irrigation_tables.h"
#include "unsatzone/reinfiltration_record.h"

namespace velorn {

// The routing model's arrays are missing.
inline constexpr int kIrrigationRoutingCode = 60;

// The step's per-subbasin surface-water sums and what process 0 makes of them.
struct IrrigationSupplyResult {
  std::vector<double> factor;  // per subbasin 1..n: share of the surface demand served
  bool shortage = false;
};

class irrigationclass : public teilmodellklasse {
 public:
  // `table` is the settings object's irrigation table (records indexed by code). `error`
  // receives 0 or the code of a failure (103 for an exception without one).
  irrigationclass(int32_t& error, const SubModelSetup& setup, const IrrigationTable* table);

  void ReleaseMemory() override;
  // The base tracer set-up, then each tracer's input concentration "concflux_tracer_<t>_input"
  // (none: the water carries no tracer). Never throws.
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  // One step (collective).
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;

  // --- Hand-overs (nothing when off) --------------------------------------------------------
  void SetQg(double** runoff);
  // The surface-water table (records 0..n: [1] sum, [3] area share, [4] count); null when off.
  ZoneRecord* GetSurfaceWaterDemand();
  void SetReinfiltrationRecords(ReinfiltrationRecord* records);
  // The routing model's [tr][sb] arrays; on process 0 a null one is FATAL 60. `solute`: the
  // solute the rivers and reservoirs gave beyond what the cells received (may be null: none).
  void SetMaxIrrigationArrays(std::vector<std::vector<double>>* maxirrig,
                              std::vector<std::vector<double>>* from_reservoirs,
                              std::vector<std::vector<double>>* solute = nullptr);
  // Index of the subbasin each subbasin drains into (0..n, 0 none); null on process 0: 60.
  void SetRoutingTargets(const std::vector<int32_t>* targets);
  void SetAbfrelTable(const AbfrelTable* table);
  // The concentration of the groundwater pumped for irrigation,
  // "concpump_tracer_<t>_unsatzon_model" of the soil zone, of every tracer (FATAL 33).
  void LinkSoilTracerGrids();
  void FlushBuffers();

  // --- Read access ----------------------------------------------------------------------------
  const ZoneRecord* GroundwaterTable() const { return groundwater_records_.data(); }
  const ZoneRecord* SurfaceWaterTable() const { return surface_records_.data(); }
  const IrrigationSupplyResult& LastSupply() const { return supply_; }
  // Process 0, [t][sb]: what decayed over the run of the solute the rivers and reservoirs gave
  // while it was on its way to the cells (mm x concentration over the subbasin; may be short).
  const std::vector<std::vector<double>>& DecayedOnTheWay() const { return decayed_; }
  // Whether some type of the irrigation table takes its water from the rivers and reservoirs.
  bool ServesSurfaceWater() const;
  // The last step's irrigation of own cell (r, c): its amount (mm) and the origin of its type
  // (0: no type), and the solute of tracer t (1..ntr) the amount brought (mm x concentration).
  double StepAmount(long r, long c, int32_t& origin) const;
  double StepSolute(int32_t t, long r, long c) const {
    return static_cast<std::size_t>(t) < step_solute_.size() && step_solute_[t]
               ? step_solute_[t][r][c]
               : 0.0;
  }

 private:
  struct Output {
    std::string name;
    int32_t code = 0;
  };
  // Steps of RunStep (routing/irrigation_step.cpp).
  bool OwnCell(int64_t row, int64_t column) const;
  int32_t ZoneOf(int64_t row, int64_t column) const;
  const IrrigationRecord* RecordOf(double code) const;
  void ComputeDemand(int64_t month, int64_t day);
  void ServeSurfaceWater();
  // Process 0: the concentration of tracer t in the surface water served to subbasin z, and the
  // routing's solute record of z lowered by what the cells receive with it and what decayed.
  double ServedConcentration(int32_t t, std::size_t z, const SurfaceSupply& supply);
  void ApplyToWaterInput();
  void AddStatistics();
  void FinishStep();
  double** Data(int index) const;

  const IrrigationTable* table_ = nullptr;
  Output groundwater_output_, surface_output_;
  std::vector<ZoneRecord> groundwater_records_, surface_records_;
  std::unique_ptr<zonalstatistic> groundwater_statistics_, surface_statistics_;

  // Registry indices of the grids (0 when absent).
  int precipitation_ = 0, codes_ = 0, pumping_ = 0, amounts_ = 0, soil_moisture_ = 0, low_ = 0,
      high_ = 0, et_ratio_ = 0, root_depth_ = 0;
  std::vector<int> tracer_input_;  // [t] registry index of the input concentration
  std::vector<int> soil_tracer_;   // [t] registry index of the pumped water's concentration

  double** runoff_ = nullptr;
  ReinfiltrationRecord* records_ = nullptr;
  std::vector<std::vector<double>>* maxirrig_ = nullptr;
  std::vector<std::vector<double>>* maxirrig_reservoirs_ = nullptr;
  std::vector<std::vector<double>>* solute_ = nullptr;
  const std::vector<int32_t>* targets_ = nullptr;
  const AbfrelTable* abfrel_ = nullptr;

  // The demand the routing model reads (records 0..n: [1] surface-water sum, [3] area share,
  // [4] weight sum of the step, complete on process 0) and the step's supply.
  std::vector<ZoneRecord> demand_records_;
  IrrigationSupplyResult supply_;
  // [t][sb] broadcast from process 0: the concentration of each subbasin's surface water.
  std::vector<std::vector<double>> river_concentration_;
  std::vector<std::vector<double>> decayed_;  // [t][sb], process 0: see DecayedOnTheWay
  std::vector<GridMatrix> step_solute_;       // [t], own cells: see StepSolute
  // Own cells: the amount the step added to the precipitation (mm). The running amount
  // ("irrigation_amounts", a grid of the soil zone) is not it: response units copy it from the
  // master to the other cells of a unit at the end of the step.
  GridMatrix step_amount_;
};

}  // namespace velorn

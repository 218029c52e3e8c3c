// WaterBalanceAccount: the water balance of a run per subbasin of the soil zone and for the
// basin, per calendar year and for the whole run, in mm over the area: what came in
// (precipitation, the water the layered snow pack gains when the end of the snow step aligns it
// with the snow model's pack, the water the other cells of a response unit gain when they
// take their master's state: their change minus the master's, the water the routing's lake
// step puts on or takes from the ponding of the lake cells, the water surface routing left on
// the surface that the silting-up model hands back to the soil (the soil's direct runoff counts
// as gone), what data assimilation sets into the stores, the groundwater model's fixed heads and
// inflows, net flow between cells and the imbalance of its head solution, the water losing streams
// give the soil columns, less the water pumped from the aquifer for irrigation, which returns with
// the precipitation, the water an external water table imposed by a coupled program fills into or
// drains from the soil columns, the melt of glacier ice, and what the yearly evaluation of dynamic
// glaciers moves into or out of the stores), what left (each evaporation term, the canopy snow's
// sublimation among them, the runoff Qg), how much every store changed, and what is left over
// (the residual, which is round-off when the models keep their water).
//
// A diagnostic of our own, apart from every model: balance/water_balance.h forms the step's
// values from the models' grids and arrays with exact sums and hands them in here on process
// 0; this class only books them and writes the table "water_balance.txt". No MPI, no registry.
//
//   WaterBalanceAccount account({101, 102});          // subbasin codes; index 0 is the basin
//   account.Start(stores_at_start);                    // per index 0..n
//   per step: account.AddStep(year, step);             // fluxes of the step, stores at its end
//   at the end: WriteFile(path, account.Table());
//
// A period opens with the first step of each calendar year (a spin-up repetition or a warm
// start that comes back to a year opens a new period of that year); the run period covers
// every step from Start. Storage changes are the stores at the end of the period's last step
// minus those before its first step.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velorn {

// Fluxes of a step, mm over the area.
enum WaterBalanceFlux {
  kBalancePrecipitation,            // corrected precipitation into the snow/interception chain
  kBalanceSnowAlignment,            // water the layered pack gained aligning with the snow pack
  kBalanceResponseUnits,            // water the copies of response-unit masters gave the members
  kBalanceLakeExchange,             // ponding the routing's lake step put on (+) the lake cells
  kBalanceSurfaceReturn,            // water surface routing left that silting-up gave the soil
  kBalanceAssimilation,             // what data assimilation set into the stores (+ when it added)
  kBalanceGroundwaterBoundary,      // water the aquifer's fixed heads and fixed inflows gave
  kBalanceGroundwaterLateral,       // net groundwater flow into the cells (0 over the basin)
  kBalanceGroundwaterIteration,     // what the head solution stored beyond its face flows
  kBalanceRiverInfiltration,        // water losing streams gave the soil columns
  kBalanceGroundwaterPumping,       // water pumped from the aquifer for irrigation (< 0)
  kBalanceExternalTable,            // water an imposed external water table put into the columns
  kBalanceIceMelt,                  // melt of glacier ice (and of the firn of static glaciers)
  kBalanceGlacierEvaluation,        // what the yearly glacier evaluation moved into the stores
  kBalanceInterceptionEvaporation,  // from the leaves' water
  kBalanceCanopySublimation,        // sublimation of the snow held in the canopy
  kBalanceSnowEvaporation,          // evaporation and sublimation of the snow pack
  kBalanceSoilEvaporation,
  kBalanceTranspiration,  // layers 1..L
  kBalanceRunoff,         // Qg, the runoff that discharge routing receives
  kBalanceFluxCount
};
// Stores at the end of a step, mm over the area.
enum WaterBalanceStore {
  kBalanceCanopy,         // interception storage and canopy snow
  kBalanceSnow,           // solid and liquid water of the pack
  kBalanceSoil,           // sum of theta times thickness of every column
  kBalancePonding,        // water ponding on the surface
  kBalanceGroundwater,    // the aquifer below layer 1, less the base flow the soil still gives
  kBalanceFirn,           // the firn stack of dynamic glaciers
  kBalanceConcentration,  // the flow-time zones and the linear storages of runoff concentration
  kBalanceStoreCount
};

struct WaterBalanceValues {
  std::array<double, kBalanceFluxCount> flux{};
  std::array<double, kBalanceStoreCount> store{};
};

class WaterBalanceAccount {
 public:
  struct Period {
    int64_t year = 0;                       // 0 for the whole run
    std::vector<WaterBalanceValues> sums;   // fluxes summed over the period, per index 0..n
    std::vector<WaterBalanceValues> start;  // stores before its first step
    std::vector<WaterBalanceValues> end;    // stores after its last step
  };

  // `codes`: the subbasin codes of indexes 1..n.
  explicit WaterBalanceAccount(std::vector<int32_t> codes);

  // The stores before the first step, per index 0..n (fluxes ignored).
  void Start(const std::vector<WaterBalanceValues>& stores);
  bool Started() const { return started_; }
  // One step of calendar year `year`: its fluxes and the stores at its end, per index 0..n.
  void AddStep(int64_t year, const std::vector<WaterBalanceValues>& step);

  // Input (every flux before the evaporation terms) - evaporation - runoff - storage change of
  // index `i` over `period`.
  static double Residual(const Period& period, std::size_t i);
  static double StorageChange(const Period& period, std::size_t i, WaterBalanceStore store);

  const std::vector<Period>& Years() const { return years_; }
  const Period& Run() const { return run_; }
  int64_t Steps() const { return steps_; }

  // The table: a header line, then per year and for the run a row per subbasin and the basin.
  std::string Table() const;

 private:
  std::vector<int32_t> codes_;
  std::vector<WaterBalanceValues> last_;  // stores after the last step
  std::vector<Period> years_;
  Period run_;
  int64_t steps_ = 0;
  bool started_ = false;
};

}  // namespace velorn

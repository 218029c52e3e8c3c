// The water-balance account's sums from the models (see water_balance.h).
#include "balance/water_balance.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <utility>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "evaporation/evapotranspiration.h"
#include "evaporation/interception_model.h"
#include "lateral/silting_up_model.h"
#include "snow/snow_model.h"
#include "unsatzone/runoff_concentration.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

// The exact cell sums of one index: the weight, the fluxes before runoff, the stores before
// runoff concentration, and the water of the flow-time zones (a per-process value).
constexpr int kWeightTerm = 0;
constexpr int FluxTerm(int flux) {
  return 1 + flux;
}
constexpr int StoreTerm(int store) {
  return 1 + kBalanceRunoff + store;
}
constexpr int kPipelineTerm = StoreTerm(kBalanceConcentration);
// The stores of the cells of response units that are not their unit's master, less those of
// their masters.
constexpr int kUnitTerm = kPipelineTerm + 1;
// The count of cells (1 / weight per cell): the glacier melt storages give their runoff per
// cell count.
constexpr int kCountTerm = kUnitTerm + 1;
constexpr int kCellTermCount = kCountTerm + 1;

double** RegistryGrid(const GridRegistry* registry, const char* identifier) {
  if (registry == nullptr) return nullptr;
  const int i = registry->Find(identifier, 0);
  return i > 0 ? (*registry)[i].grid : nullptr;
}

// The values shared of a response unit's master: its stores (indexed by WaterBalanceStore, but
// runoff concentration), the net of its fluxes, with glaciers the outflow of its glacier-free
// part (per mm of the part), its glacier part's outflow (per mm of the part) and its share.
constexpr int kMasterNetFlux = kBalanceConcentration;
constexpr int kMasterFreeOutflow = kMasterNetFlux + 1;
constexpr int kMasterGlacierOutflow = kMasterFreeOutflow + 1;
constexpr int kMasterShare = kMasterGlacierOutflow + 1;
constexpr int kMasterAlignment = kMasterShare + 1;
constexpr int kMasterValues = kMasterAlignment + 1;

// The sum of a cell's stores (indexed by WaterBalanceStore, but runoff concentration).
double StoreTotal(const double* stores) {
  double total = 0;
  for (int k = 0; k < kBalanceConcentration; ++k) total += stores[k];
  return total;
}

// The net of a cell's fluxes (indexed by FluxTerm): its inputs less its evaporation.
double NetCellFlux(const double* cell) {
  double net = 0;
  for (int f = 0; f < kBalanceInterceptionEvaporation; ++f) net += cell[FluxTerm(f)];
  for (int f = kBalanceInterceptionEvaporation; f < kBalanceRunoff; ++f) net -= cell[FluxTerm(f)];
  return net;
}

}  // namespace

double WaterBalance::GlacierOutflow(const FluxGrids& grids, long r, long c) {
  double outflow = 0;
  for (double** grid : grids.glacier_outflow)
    if (grid != nullptr) outflow += grid[r][c];
  return outflow;
}

WaterBalance::WaterBalance(DiagnosticStream& diag, Models models)
    : diag_(diag), models_(models), account_({}) {
  unsatzonmodellklasse* soil = models_.soil;
  active_ = soil != nullptr && soil->GetFlowControl() != 0;
  if (!active_) return;
  subbasins_ = soil->runoff.subbasins();
  std::vector<int32_t> codes;
  for (int32_t s = 1; s <= subbasins_; ++s)
    codes.push_back(static_cast<int32_t>(soil->subbasinCodes[static_cast<std::size_t>(s)]));
  account_ = WaterBalanceAccount(codes);
  precipitation_ = RegistryGrid(soil->registry, "precipitation");
  snow_solid_ = RegistryGrid(soil->registry, "snowstorage_solid");
  snow_liquid_ = RegistryGrid(soil->registry, "snowstorage_liquid");
  if (const GridRegistry* registry = soil->registry) {
    const auto find = [&](const char* identifier) -> double** {
      const int i = registry->FindIdentifier(identifier);
      return i > 0 ? (*registry)[i].grid : nullptr;
    };
    groundwater_storage_ = find("groundwater_storage");
    groundwater_fluxes_[0] = find("groundwater_boundary");
    groundwater_fluxes_[1] = find("groundwater_lateral");
    groundwater_fluxes_[2] = find("groundwater_iteration");
    groundwater_fluxes_[3] = find("groundwater_river_infiltration");
    groundwater_fluxes_[4] = find("groundwater_pumping");
    if (groundwater_storage_ != nullptr) baseflow_ = soil->Grid(unsatzonmodellklasse::kBaseflow);
  }
  const auto threads = static_cast<std::size_t>(omp_get_max_threads());
  if (models_.snow != nullptr && Glaciers() != nullptr &&
      IsDynamicGlacierMethod(models_.snow->glacierMethod))
    models_.snow->glacier_evaluation_hook = [this](bool after) { AroundGlacierEvaluation(after); };
  sums_.assign(threads, std::vector<std::vector<ExactSum>>(static_cast<std::size_t>(subbasins_ + 1),
                                                           std::vector<ExactSum>(kCellTermCount)));
}

WaterBalance::~WaterBalance() {
  if (models_.snow != nullptr && models_.snow->glacier_evaluation_hook && active_)
    models_.snow->glacier_evaluation_hook = nullptr;
}

void WaterBalance::BeforeStep() {
  if (!active_ || account_.Started()) return;
  account_.Start(Gather(false));
  runoff_solute_start_ = runoff_solute_;
  BookUnitSolute(false);
}

std::size_t WaterBalance::ShareIndex(long r, long c) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  return static_cast<std::size_t>((r - soil.first_local_row) * (soil.ncols + 1) + c);
}

const schneemodellklasse* WaterBalance::Glaciers() const {
  schneemodellklasse* snow = models_.snow;
  return snow != nullptr && snow->GetFlowControl() != 0 && snow->glacier_cells != nullptr ? snow
                                                                                          : nullptr;
}

void WaterBalance::AroundGlacierEvaluation(bool after) {
  if (!active_ || !account_.Started()) return;
  MarkUnitSoluteEvaluation(after);
  // Only the stores count here: the external table's bookkeeping stays with the step. The
  // evaluation changes the members of response units as every cell, which the evaluation's term
  // books: the step's response-unit term takes the members' excess up to the evaluation only.
  const std::vector<double> unit_excess = unit_excess_;
  const int64_t exchanges = external_exchanges_;
  totals_mode_ = after ? TotalsMode::kKeep : TotalsMode::kStash;
  std::vector<WaterBalanceValues> stores = Gather(false);
  totals_mode_ = TotalsMode::kUpdate;
  have_evaluation_totals_ = have_evaluation_totals_ || !after;
  const std::vector<double> unit_excess_now = unit_excess_;
  unit_excess_ = unit_excess;
  external_exchanges_ = exchanges;
  const bool solute = models_.soil->tracer_count > 0;
  if (!after) {
    if (solute) solute_before_evaluation_ = GatherSolute();
    unit_excess_before_evaluation_ = unit_excess_now;
    const unsatzonmodellklasse& soil = *models_.soil;
    step_shares_.assign(ShareIndex(soil.last_local_row + 1, 0), 0.0);
    for (long r = soil.first_local_row; r <= soil.last_local_row; ++r)
      for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c)
        step_shares_[ShareIndex(r, c)] = soil.GlacierShare(r, c);
    before_evaluation_ = std::move(stores);
    return;
  }
  const std::vector<double> solute_after = solute ? GatherSolute() : std::vector<double>();
  if (models_.soil->rank != 0) return;
  evaluation_solute_.resize(solute_after.size(), 0.0);
  for (std::size_t k = 0; k < solute_after.size() && k < solute_before_evaluation_.size(); ++k)
    evaluation_solute_[k] += solute_after[k] - solute_before_evaluation_[k];
  evaluation_.resize(stores.size(), 0.0);
  for (std::size_t i = 0; i < stores.size() && i < before_evaluation_.size(); ++i)
    for (int k = 0; k < kBalanceStoreCount; ++k)
      evaluation_[i] += stores[i].store[k] - before_evaluation_[i].store[k];
  for (std::size_t i = 0; i < unit_excess_.size() && i < unit_excess_now.size() &&
                          i < unit_excess_before_evaluation_.size();
       ++i)
    unit_excess_[i] += unit_excess_now[i] - unit_excess_before_evaluation_[i];
}

void WaterBalance::AfterStep(int64_t year) {
  if (!active_) return;
  std::vector<WaterBalanceValues> step = Gather(true);
  have_evaluation_totals_ = false;
  for (std::size_t i = 0; i < evaluation_.size() && i < step.size(); ++i)
    step[i].flux[kBalanceGlacierEvaluation] = evaluation_[i];
  evaluation_.clear();
  BookUnitSolute(true);
  BookStepSolute();
  step_shares_.clear();
  if (models_.soil->rank == 0) account_.AddStep(year, step);
}

void WaterBalance::BeforeAssimilation() {
  if (!active_) return;
  const unsatzonmodellklasse& soil = *models_.soil;
  if (!assimilated_)
    assimilated_ =
        GridMatrix(diag_, soil.first_local_row, soil.last_local_row, soil.ncols, soil.nrows);
  MarkAssimilation(false);
  MarkAssimilationSolute(false);
}

void WaterBalance::AfterAssimilation() {
  if (assimilated_) MarkAssimilation(true);
  if (!assimilated_solute_.empty()) MarkAssimilationSolute(true);
}

void WaterBalance::MarkAssimilation(bool after) {
  const unsatzonmodellklasse& soil = *models_.soil;
  ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
    for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
      if (!soil.OwnCell(r, c)) continue;
      double stores[kBalanceConcentration];
      CellStores(r, c, stores);
      double sum = 0;
      for (double store : stores) sum += store;
      assimilated_[r][c] = after ? assimilated_[r][c] + sum : -sum;
    }
  });
}

void WaterBalance::CellStores(long r, long c, double* stores) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  interzeptionsmodellklasse* interception = models_.interception;
  if (interception != nullptr && interception->GetFlowControl() == 0) interception = nullptr;
  double** canopy_snow =
      interception != nullptr && interception->canopy_snow
          ? interception->canopy_grids[interzeptionsmodellklasse::kCanopyLoad].get()
          : nullptr;
  // Solid and liquid water of the layered snow pack on the soil columns (null when off).
  double*** layered[2] = {nullptr, nullptr};
  if (soil.layeredSnowSwitch > 0 && soil.layered_snow.M > 0) {
    layered[0] = soil.layered_snow.stacks[LayeredSnowState::kSolid].get();
    layered[1] = soil.layered_snow.stacks[LayeredSnowState::kLiquid].get();
  }
  double** pond = soil.Grid(unsatzonmodellklasse::kPondingStorage);
  // The glacier-free part of the cell counts with 1 - g; dynamic glaciers keep a pack and the
  // firn stack of the glacier part, which count with g.
  const double g = soil.GlacierShare(r, c);
  const schneemodellklasse* glaciers = Glaciers();
  double** glacier_pack[2] = {nullptr, nullptr};
  if (glaciers != nullptr && IsDynamicGlacierMethod(glaciers->glacierMethod)) {
    glacier_pack[0] = glaciers->OwnData("SolidSnowStorage_onGlacier");
    glacier_pack[1] = glaciers->OwnData("LiquidSnowStorage_onGlacier");
  }
  for (int k = 0; k < kBalanceConcentration; ++k) stores[k] = 0;
  // The leaves' water of every layer and the canopy's snow (the cell total of the interception
  // storage holds both, but a stored state read at the start may not).
  if (interception != nullptr)
    for (int32_t i = 1; i <= interception->layer_count; ++i)
      stores[kBalanceCanopy] += interception->storage[i][r][c];
  if (canopy_snow != nullptr) stores[kBalanceCanopy] += canopy_snow[r][c];
  if (layered[0] != nullptr) {
    // The pack on the soil column takes the melt and the rain: it is the snow on the ground of
    // the glacier-free part.
    for (int j = 1; j <= soil.layered_snow.M; ++j)
      stores[kBalanceSnow] += layered[0][r][c][j] + layered[1][r][c][j];
  } else {
    if (snow_solid_ != nullptr) stores[kBalanceSnow] += snow_solid_[r][c];
    if (snow_liquid_ != nullptr) stores[kBalanceSnow] += snow_liquid_[r][c];
  }
  if (glacier_pack[0] != nullptr && glacier_pack[1] != nullptr) {
    stores[kBalanceSnow] =
        (1.0 - g) * stores[kBalanceSnow] + g * (glacier_pack[0][r][c] + glacier_pack[1][r][c]);
    if (glaciers->firn_WE_stack != nullptr)
      stores[kBalanceFirn] = g * glaciers->firn_WE_stack[r][c][0];
  } else if (glaciers != nullptr && layered[0] != nullptr && g > 0) {
    // A static glacier's part keeps the snow model's cell pack; the layered pack on the soil
    // column is the glacier-free part's.
    double cell_pack = 0;
    if (snow_solid_ != nullptr) cell_pack += snow_solid_[r][c];
    if (snow_liquid_ != nullptr) cell_pack += snow_liquid_[r][c];
    stores[kBalanceSnow] = (1.0 - g) * stores[kBalanceSnow] + g * cell_pack;
  }
  stores[kBalanceCanopy] *= 1.0 - g;
  stores[kBalanceSoil] = (1.0 - g) * soil.ColumnWater(r, c);
  if (pond != nullptr) stores[kBalancePonding] = (1.0 - g) * pond[r][c];
  if (groundwater_storage_ != nullptr) {
    // Between steps the base-flow grid holds layer 1's release (m/s), which the soil column
    // gives in the next sub-step: water the aquifer already moved on. The aquifer of a
    // glacierized cell has no faces to its neighbours and trades only with the soil column
    // (layer 1 is its saturated zone), so it counts with the column's 1 - g.
    const double substep_seconds = soil.time_interval * 60.0 / soil.substepCount;
    stores[kBalanceGroundwater] = groundwater_storage_[r][c];
    if (baseflow_ != nullptr && baseflow_[r][c] > soil.nodata)
      stores[kBalanceGroundwater] -= baseflow_[r][c] * substep_seconds * 1000.0;
    stores[kBalanceGroundwater] *= 1.0 - g;
  }
}

WaterBalance::FluxGrids WaterBalance::ResolveFluxGrids(bool fluxes) {
  unsatzonmodellklasse& soil = *models_.soil;
  const GridRegistry* registry = soil.registry;
  FluxGrids grids;
  grids.et = models_.evapotranspiration;
  if (grids.et != nullptr && grids.et->GetFlowControl() == 0) grids.et = nullptr;
  if (grids.et == nullptr) {
    grids.interception_evaporation = RegistryGrid(registry, "interception_evaporation0");
    grids.canopy_sublimation = RegistryGrid(registry, "Snow_canopy_sublim");
    if (schneemodellklasse* snow = models_.snow; snow != nullptr && snow->GetFlowControl() != 0)
      grids.snow_evaporation = snow->snow_evaporation;
    if (soil.GetFlowControl() != 0 && !soil.links.real_transpiration.empty()) {
      grids.soil_evaporation = soil.links.real_evaporation;
      grids.soil_total = soil.links.real_transpiration[0];
    }
  }
  // The snow model makes it when the layered pack is on, after this account (a grid without a
  // file name, found by its identifier).
  const auto identified = [&](const char* identifier) -> double** {
    const int i = registry != nullptr ? registry->FindIdentifier(identifier) : 0;
    return i > 0 ? (*registry)[i].grid : nullptr;
  };
  if (soil.layeredSnowSwitch > 0 && soil.layered_snow.M > 0)
    grids.alignment = identified("layered_snow_alignment");
  // The routing model makes it when lakes are on: the ponding its lakes moved on each cell.
  grids.lake_exchange = identified("lake_exchange");
  // An external table exchanged since the last booking: the water it put into the columns.
  if (fluxes && soil.externalTableExchanges != external_exchanges_) {
    grids.external = soil.Grid(unsatzonmodellklasse::kBalance);
    if (groundwater_storage_ != nullptr) grids.external_release = soil.externalTableRelease.get();
  }
  external_exchanges_ = soil.externalTableExchanges;
  grids.pumped = soil.Grid(unsatzonmodellklasse::kGroundwaterIrrigation);
  if (siltingupclass* silting = models_.silting;
      fluxes && silting != nullptr && silting->GetFlowControl() != 0)
    grids.surface_return = silting->surface_return.get();
  // Glaciers: the melt of ice (and of the firn of static glaciers, which is no store) and the
  // evaporation of the pack on the glacier part; what the glacier part gives the glacier
  // storages (its snow melt, or the cell pack's outflow on static glaciers, and the melt of
  // firn and ice).
  if (const schneemodellklasse* glaciers = Glaciers()) {
    const bool dynamic = IsDynamicGlacierMethod(glaciers->glacierMethod);
    grids.ice_melt = glaciers->OwnData("melt_from_ice");
    if (!dynamic) grids.firn_melt = glaciers->OwnData("melt_from_firn");
    grids.glacier_evaporation = glaciers->OwnData("SnowEvaporation_onGlacier");
    grids.static_glacier = !dynamic;
    grids.glacier_outflow[0] = dynamic ? glaciers->OwnData("SnowMelt_onGlacier")
                                       : glaciers->StaticGlacierOutflowGrid();
    grids.glacier_outflow[1] = glaciers->OwnData("melt_from_firn");
    grids.glacier_outflow[2] = glaciers->OwnData("melt_from_ice");
  }
  return grids;
}

double WaterBalance::StepShare(long r, long c) const {
  return step_shares_.empty() ? models_.soil->GlacierShare(r, c) : step_shares_[ShareIndex(r, c)];
}

void WaterBalance::CellFluxes(const FluxGrids& grids, long r, long c, double* cell) const {
  const double nodata = models_.soil->nodata;
  // The step's fluxes took the glacier shares before a glacier evaluation at its end.
  const double g = StepShare(r, c);
  if (precipitation_ != nullptr) cell[FluxTerm(kBalancePrecipitation)] = precipitation_[r][c];
  if (grids.alignment != nullptr && grids.alignment[r][c] > nodata)
    cell[FluxTerm(kBalanceSnowAlignment)] = (1.0 - g) * grids.alignment[r][c];
  if (grids.lake_exchange != nullptr)
    cell[FluxTerm(kBalanceLakeExchange)] = grids.lake_exchange[r][c];
  if (grids.surface_return != nullptr)
    cell[FluxTerm(kBalanceSurfaceReturn)] = grids.surface_return[r][c];
  if (assimilated_) cell[FluxTerm(kBalanceAssimilation)] = assimilated_[r][c];
  // The aquifer of a glacierized cell counts with its soil column's 1 - g (see CellStores).
  for (int k = 0; k < 5; ++k)
    if (groundwater_fluxes_[k] != nullptr)
      cell[FluxTerm(kBalanceGroundwaterBoundary + k)] = (1.0 - g) * groundwater_fluxes_[k][r][c];
  if (grids.external != nullptr && grids.external[r][c] > nodata)
    cell[FluxTerm(kBalanceExternalTable)] = (1.0 - g) * grids.external[r][c];
  // The groundwater model's release that the exchange cancelled stays in the column: the account
  // counted it as gone from the aquifer's store (see CellStores).
  if (grids.external_release != nullptr)
    cell[FluxTerm(kBalanceExternalTable)] += (1.0 - g) * grids.external_release[r][c];
  // Without the groundwater model the column's saturated zone gives the pumped water (every
  // sub-step the same share of the step's amount).
  if (groundwater_fluxes_[4] == nullptr && grids.pumped != nullptr && grids.pumped[r][c] > 0)
    cell[FluxTerm(kBalanceGroundwaterPumping)] =
        -(1.0 - g) * grids.pumped[r][c] * models_.soil->substepCount;
  if (g > 0) {
    if (grids.ice_melt != nullptr) cell[FluxTerm(kBalanceIceMelt)] = g * grids.ice_melt[r][c];
    if (grids.firn_melt != nullptr) cell[FluxTerm(kBalanceIceMelt)] += g * grids.firn_melt[r][c];
    if (grids.glacier_evaporation != nullptr)
      cell[FluxTerm(kBalanceSnowEvaporation)] += g * grids.glacier_evaporation[r][c];
  }
  if (const verdunstungsmodellklasse* et = grids.et) {
    // The leaves' evaporation; the sublimation of the canopy's snow is no part of the total
    // real evapotranspiration and a term of its own.
    const double interception_evaporation = et->InterceptionEvaporation(r, c);
    const double snow = et->snow_evaporation[r][c];
    const double soil_evaporation = et->real_evaporation[r][c];
    cell[FluxTerm(kBalanceInterceptionEvaporation)] = (1.0 - g) * interception_evaporation;
    cell[FluxTerm(kBalanceCanopySublimation)] = (1.0 - g) * et->CanopySublimation(r, c);
    // The snow model's cell pack, which loses it, is the glacier-free part's; a static
    // glacier's part keeps the same pack and loses it as well.
    cell[FluxTerm(kBalanceSnowEvaporation)] += (grids.static_glacier ? 1.0 : 1.0 - g) * snow;
    cell[FluxTerm(kBalanceSoilEvaporation)] = (1.0 - g) * soil_evaporation;
    // The rest of the real evapotranspiration the model books for the cell.
    cell[FluxTerm(kBalanceTranspiration)] =
        (1.0 - g) *
        (et->real_transpiration[0][r][c] - interception_evaporation - snow - soil_evaporation);
    return;
  }
  // The same terms from the grids the interception model, the snow's energy balance and the
  // soil zone fill.
  const auto value = [&](double** grid) { return grid != nullptr ? grid[r][c] : 0.0; };
  cell[FluxTerm(kBalanceSnowEvaporation)] +=
      (grids.static_glacier ? 1.0 : 1.0 - g) * value(grids.snow_evaporation);
  const double soil_evaporation = value(grids.soil_evaporation);
  cell[FluxTerm(kBalanceInterceptionEvaporation)] =
      (1.0 - g) * value(grids.interception_evaporation);
  cell[FluxTerm(kBalanceCanopySublimation)] = (1.0 - g) * value(grids.canopy_sublimation);
  cell[FluxTerm(kBalanceSoilEvaporation)] = (1.0 - g) * soil_evaporation;
  cell[FluxTerm(kBalanceTranspiration)] = (1.0 - g) * (value(grids.soil_total) - soil_evaporation);
}

UnitResults WaterBalance::ShareMasters(const FluxGrids& grids, bool fluxes, bool parts) {
  const unsatzonmodellklasse& soil = *models_.soil;
  double** masters = soil.links.master_response_units;
  return ShareUnitResults(
      *soil.response_unit_table, kMasterValues, soil.first_local_row, soil.last_local_row,
      soil.column_ranges,
      [&](long r, long c) { return soil.OwnCell(r, c) && masters[r][c] > soil.nodata; },
      [&](long r, long c, double* out) {
        CellStores(r, c, out);
        double cell[kCellTermCount] = {};
        if (fluxes) CellFluxes(grids, r, c, cell);
        out[kMasterNetFlux] = NetCellFlux(cell);
        out[kMasterFreeOutflow] = out[kMasterGlacierOutflow] = 0;
        out[kMasterShare] = StepShare(r, c);
        // The water its layered pack was aligned by (the members book it as theirs).
        out[kMasterAlignment] = grids.alignment != nullptr && grids.alignment[r][c] > soil.nodata
                                    ? grids.alignment[r][c]
                                    : 0.0;
        if (!parts || !fluxes) return;
        // What the fluxes less the change of the step leave the cell, besides the glacier part's
        // outflow, per mm of the glacier-free part.
        const double g = out[kMasterShare];
        const double melt = GlacierOutflow(grids, r, c);
        const double end = have_evaluation_totals_ ? evaluation_totals_[r][c] : StoreTotal(out);
        const double left = out[kMasterNetFlux] - (end - cell_totals_[r][c]);
        out[kMasterFreeOutflow] = g < 1 ? (left - g * melt) / (1.0 - g) : 0.0;
        out[kMasterGlacierOutflow] = melt;
      });
}

void WaterBalance::AddCells(bool fluxes) {
  unsatzonmodellklasse& soil = *models_.soil;
  double** area = RegistryGrid(soil.registry, "RelCellArea");
  const double nodata = soil.nodata;
  // Response units: the stores of every unit's master, shared with every process.
  double** units = soil.response_unit_switch != 0 && soil.response_unit_table != nullptr
                       ? soil.links.response_units
                       : nullptr;
  double** masters = soil.links.master_response_units;
  if (masters == nullptr) units = nullptr;
  const FluxGrids grids = ResolveFluxGrids(fluxes);
  // With glaciers a member of a response unit may have another glacier share than its master:
  // the cells' store totals after each step give the masters' outflows of their parts.
  const bool parts = units != nullptr && Glaciers() != nullptr;
  if (parts && !cell_totals_) {
    cell_totals_ =
        GridMatrix(diag_, soil.first_local_row, soil.last_local_row, soil.ncols, soil.nrows);
    evaluation_totals_ =
        GridMatrix(diag_, soil.first_local_row, soil.last_local_row, soil.ncols, soil.nrows);
  }
  UnitResults unit_stores;
  if (units != nullptr) unit_stores = ShareMasters(grids, fluxes, parts);
  ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
    auto& sums = sums_[static_cast<std::size_t>(omp_get_thread_num())];
    for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
      if (!soil.OwnCell(r, c)) continue;
      const auto code = static_cast<std::size_t>(soil.soil_zone_grid[r][c]);
      const int32_t s = code < soil.soil_zone_index.size() ? soil.soil_zone_index[code] : 0;
      if (s < 1 || s > subbasins_) continue;
      const double a = area != nullptr && area[r][c] > nodata ? area[r][c] : 1.0;
      double cell[kCellTermCount] = {};
      cell[kWeightTerm] = 1.0;  // times the weight a, as every term
      cell[kCountTerm] = a != 0 ? 1.0 / a : 0.0;
      if (fluxes) CellFluxes(grids, r, c, cell);
      CellStores(r, c, &cell[StoreTerm(0)]);
      if (units != nullptr && !(masters[r][c] > nodata)) {
        // A member of a response unit takes its master's state: what its stores gain beyond
        // the master's is water the copy gives it (other soils hold other water at one theta),
        // less what its own fluxes brought beyond the master's (another glacier share weighs
        // the same melt and evaporation otherwise) and what its parts gave the runoff beyond
        // the master's (other shares of the same outflows).
        if (const double* master = unit_stores.Of(std::trunc(units[r][c]))) {
          for (int k = 0; k < kBalanceConcentration; ++k)
            cell[kUnitTerm] += cell[StoreTerm(k)] - master[k];
          // The alignment of its layered pack to the snow copied from the master is part of
          // that copy: the member books its master's alignment, as it books its fluxes.
          if (fluxes)
            cell[FluxTerm(kBalanceSnowAlignment)] =
                (1.0 - StepShare(r, c)) * master[kMasterAlignment];
          if (fluxes)
            cell[FluxTerm(kBalanceResponseUnits)] = master[kMasterNetFlux] - NetCellFlux(cell);
          if (fluxes && parts)
            cell[FluxTerm(kBalanceResponseUnits)] +=
                (master[kMasterShare] - StepShare(r, c)) *
                (master[kMasterFreeOutflow] - master[kMasterGlacierOutflow]);
        }
      }
      if (parts) {
        const double total = StoreTotal(&cell[StoreTerm(0)]);
        if (totals_mode_ == TotalsMode::kStash) evaluation_totals_[r][c] = total;
        if (totals_mode_ == TotalsMode::kUpdate) cell_totals_[r][c] = total;
      }
      for (int32_t i : {0, s}) {
        for (int k = 0; k < kPipelineTerm; ++k)
          sums[static_cast<std::size_t>(i)][k].Add(a * cell[k]);
        sums[static_cast<std::size_t>(i)][kUnitTerm].Add(a * cell[kUnitTerm]);
        sums[static_cast<std::size_t>(i)][kCountTerm].Add(a * cell[kCountTerm]);
      }
    }
  });
}

std::vector<WaterBalanceValues> WaterBalance::Gather(bool fluxes) {
  unsatzonmodellklasse& soil = *models_.soil;
  for (auto& per_thread : sums_)
    for (auto& per_index : per_thread)
      for (ExactSum& sum : per_index) sum.Reset();
  AddCells(fluxes);
  // The water of the flow-time zones that has not reached the outlet (zones 2 and up), which
  // every process holds for its own cells.
  const RunoffConcentration& runoff = soil.runoff;
  for (int32_t s = 1; s <= subbasins_; ++s)
    for (const RunoffConcentration::Buffer* b : {&runoff.zoneFZT_QD, &runoff.zoneFZT_QI}) {
      const auto& zones = (*b)[0][static_cast<std::size_t>(s)];
      for (std::size_t z = 2; z < zones.size(); ++z)
        for (std::size_t i : {std::size_t{0}, static_cast<std::size_t>(s)})
          sums_[0][i][kPipelineTerm].Add(zones[z][1]);
    }
  std::vector<ExactSum> all;
  all.reserve(static_cast<std::size_t>(subbasins_ + 1) * kCellTermCount);
  for (std::size_t i = 0; i <= static_cast<std::size_t>(subbasins_); ++i)
    for (int k = 0; k < kCellTermCount; ++k) {
      ExactSum total = sums_[0][i][k];
      for (std::size_t t = 1; t < sums_.size(); ++t) total.Merge(sums_[t][i][k]);
      all.push_back(total);
    }
  // The tracers' records of the same zones, after the cells' terms.
  const std::size_t pipelines = all.size();
  if (soil.tracer_count > 0) AddRunoffSoluteRecords(all);
  ReduceExactSumsToRoot(all);
  std::vector<WaterBalanceValues> values(static_cast<std::size_t>(subbasins_ + 1));
  if (soil.rank != 0) return values;
  unit_excess_.resize(values.size(), 0.0);
  std::vector<double> weights(values.size(), 0.0), counts(values.size(), 0.0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const ExactSum* sum = &all[i * kCellTermCount];
    const double weight = sum[kWeightTerm].Value();
    weights[i] = weight;
    counts[i] = sum[kCountTerm].Value();
    if (weight <= 0) continue;
    for (int f = 0; f < kBalanceRunoff; ++f) values[i].flux[f] = sum[FluxTerm(f)].Value() / weight;
    for (int s = 0; s < kBalanceConcentration; ++s)
      values[i].store[s] = sum[StoreTerm(s)].Value() / weight;
    // The flow-time records hold mm x weight x sub-steps.
    values[i].store[kBalanceConcentration] =
        sum[kPipelineTerm].Value() / (weight * soil.substepCount);
    // The members' stores beyond their masters' now, less before the step.
    const double unit_excess = sum[kUnitTerm].Value() / weight;
    if (fluxes) values[i].flux[kBalanceResponseUnits] += unit_excess - unit_excess_[i];
    unit_excess_[i] = unit_excess;
  }
  AddSubbasins(values, weights, counts, fluxes);
  if (soil.tracer_count > 0)
    runoff_solute_ =
        RunoffSolute(weights, std::vector<ExactSum>(all.begin() + pipelines, all.end()));
  return values;
}

void WaterBalance::AddSubbasins(std::vector<WaterBalanceValues>& values,
                                const std::vector<double>& weights,
                                const std::vector<double>& counts, bool fluxes) {
  const unsatzonmodellklasse& soil = *models_.soil;
  const RunoffConcentration& runoff = soil.runoff;
  // The basin takes each subbasin's runoff and storages with the subbasin's weight.
  ExactSum runoff_sum, store_sum;
  for (int32_t s = 1; s <= subbasins_; ++s) {
    const auto i = static_cast<std::size_t>(s);
    const bool surface = soil.surfaceRoutingActive != 0;
    const double e_direct = StorageFactor(soil.time_interval, soil.kelsqd[i], surface);
    const double e_inter = StorageFactor(soil.time_interval, soil.kelsqi[i], surface);
    const double stored = LinearStorageContent(runoff.QDd[0][i], e_direct) +
                          LinearStorageContent(runoff.QIi[0][i], e_inter);
    // The glacier melt's three linear storages, whose runoff is in Qg.
    const double stores = stored + GlacierStorages(s, weights[i], counts[i]);
    values[i].store[kBalanceConcentration] += stores;
    store_sum.Add(stores * weights[i]);
    if (fluxes) {
      values[i].flux[kBalanceRunoff] = runoff.Qg[0][i];
      runoff_sum.Add(runoff.Qg[0][i] * weights[i]);
    }
  }
  if (weights[0] <= 0) return;
  values[0].store[kBalanceConcentration] += store_sum.Value() / weights[0];
  values[0].flux[kBalanceRunoff] = runoff_sum.Value() / weights[0];
}

double WaterBalance::GlacierStorages(int32_t s, double weight, double count) const {
  const schneemodellklasse* snow = Glaciers();
  const auto i = static_cast<std::size_t>(s);
  if (snow == nullptr || i >= snow->glacier_shares.size() || !snow->glacier_shares[i].hasGlacier ||
      i >= snow->Qice_els.size() || !(weight > 0))
    return 0.0;
  // The runoff of a storage is its content Q times the glacierized share fg of the subbasin and
  // its cells per weight (snow/snow_finish.cpp): the storage holds e / (1 - e) of that.
  const double share = SubbasinGlacierShare(s, weight, count);
  double content = 0;
  for (const auto& [q, k] : {std::pair{snow->Qice_els[i], snow->kice_els},
                             std::pair{snow->Qfirn_els[i], snow->kfirn_els},
                             std::pair{snow->Qsnow_els[i], snow->ksnow_els}})
    content += LinearStorageContent(q * share, std::exp(-1.0 / k));
  return content;
}

double WaterBalance::SubbasinGlacierShare(int32_t s, double weight, double count) const {
  const schneemodellklasse* snow = Glaciers();
  const auto i = static_cast<std::size_t>(s);
  if (snow == nullptr || i >= snow->glacier_shares.size() || !snow->glacier_shares[i].hasGlacier ||
      !(weight > 0))
    return 0.0;
  const GlacierShareRecord& record = snow->glacier_shares[i];
  const double sum = record.glacierized + record.nonGlacierized;
  return (sum > 0 ? record.glacierized / sum : 0.0) * count / weight;
}

void WaterBalance::Finish(const std::string& output_directory) {
  if (!active_ || models_.soil->rank != 0 || !account_.Started()) return;
  const std::string path = output_directory + "water_balance.txt";
  CheckedFile table(diag_, kWriteErrorCode, path, "w");
  table.Write(account_.Table());
  table.Close();
  WriteEvaluationSolute(output_directory);
  WriteStepSolute(output_directory);
  WriteRunoffSolute(output_directory);
  const WaterBalanceAccount::Period& run = account_.Run();
  double evaporation = 0, change = 0;
  for (int f = kBalanceInterceptionEvaporation; f < kBalanceRunoff; ++f)
    evaporation += run.sums[0].flux[f];
  for (int s = 0; s < kBalanceStoreCount; ++s)
    change += WaterBalanceAccount::StorageChange(run, 0, static_cast<WaterBalanceStore>(s));
  char text[512];
  std::snprintf(text, sizeof text,
                "INFO: water balance of the basin over the run (%lld steps, mm): precipitation "
                "%.3f, evaporation %.3f, runoff %.3f, storage change %.3f, residual %.3g "
                "(table %s)",
                static_cast<long long>(account_.Steps()), run.sums[0].flux[kBalancePrecipitation],
                evaporation, run.sums[0].flux[kBalanceRunoff], change,
                WaterBalanceAccount::Residual(run, 0), path.c_str());
  diag_ << text << "[end-entry]";
}

}  // namespace velorn

// The cell body of the soil-water sub-step: one column of one cell through one sub-step.
//
// Load the column from the stacks; count the inner water steps; per inner step: demands and
// inputs, the snow runoff share, the surface water (ponding, silting-up runoff serving the
// transpiration first), macropores, root extraction and soil evaporation taken from the
// contents at once, the exchange with the groundwater below (base flow), the moisture
// iteration (heads, fluxes, content limiter, update), the groundwater table, recharge,
// infiltration and its excess, ponding, the tracers (carried by the step's fluxes, the
// interflow, the streams' draw and the base flow the exchange took; water the groundwater
// model gives back brings its layer 1's concentration, other water rising from below none; the
// surface's solute, level 0 of a tracer stack, mixes with the step's input and leaves with the
// water entering the soil and the direct runoff; under a layered pack an evaporating tracer
// goes into the pack and comes out of it with the pack's water, at the snow's concentration),
// the root-zone aggregates and the sums of the sub-step; at the end the storage coefficient, the
// base flow in mm, the sub-step's groundwater irrigation and the write-back into the stacks.
//
// Water of a column: the contents of layers 1..N (theta x thickness) and the ponding storage.
// What enters: the water input of the step (and the silting-up runoff); what leaves: direct
// runoff, interflow, tile drainage, base flow, transpiration and soil evaporation. Every step
// of the body moves water between these terms only, so the column's balance closes per inner
// step up to the moisture iteration's clamp of a content into [0, 1] (never reached by a
// column in its physical range).
#include "unsatzone/soil_water_cell.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "setup/irrigation_tables.h"
#include "tables/landuse_record.h"
#include "unsatzone/soil_column_fluxes.h"
#include "unsatzone/soil_column_river.h"
#include "unsatzone/soil_column_sources.h"
#include "unsatzone/soil_dump.h"
#include "unsatzone/soil_water_step.h"
#include "unsatzone/solute_lanes.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

using W = SoilColumnWorkspace;

// Code of a land-use code without an entry of the land-use table.
constexpr int kLanduseCodeCode = 31;
// Origin of an irrigation rule that pumps groundwater.
constexpr int32_t kIrrigationFromGroundwater = 1;
// Code of an iteration log that cannot be opened.
constexpr int kIterationLogCode = 5;
// Code of a river link without a routing record.
constexpr int kRiverLinkCode = 199;
// One lock for the iteration log: threads append whole lines, one at a time.
std::mutex iteration_log_mutex;

// Sums of one cell over the inner steps of a sub-step, mm.
struct CellSums {
  double direct = 0, inter = 0, drainage = 0, recharge = 0, percolation = 0, uprise = 0;
  double macropore = 0, excess = 0, infiltration = 0, evaporation = 0, baseflow = 0;
  double total_et = 0, riverIn = 0, riverOut = 0;
};

// Takes `amount` mm out of layer k (down to `lowest`), returns what it could take.
double TakeWater(double* theta, const double* dz, int k, double amount, double lowest) {
  if (amount <= 0) return 0.0;
  const double held = std::max(0.0, (theta[k] - lowest) * dz[k] * 1000.0);
  const double taken = std::min(amount, held);
  theta[k] -= taken / (dz[k] * 1000.0);
  return taken;
}

// The water at the surface of a cell in one inner step, mm: what arrived (the water input and
// the silting-up runoff) and where it went: into the soil through its top and the macropores
// (per layer, m/s, times `factor`), off as direct runoff, and what stays in the pond.
struct SurfaceWater {
  double input = 0, silting = 0;
  double aquifer = 0;  // water from the groundwater model that found no room in the column
  double infiltration = 0, macropore = 0, direct = 0, pond = 0;
  double served = 0;  // what the roots' demands took from the water at the surface
  // Under a layered pack: what the pack took at its top beyond what it passed on into the soil
  // (`held`), what it passed on beyond what it took (`drained`: its own water), and its water
  // that rose out of its top onto the surface (`risen`).
  double held = 0, drained = 0, risen = 0;
  bool underPack = false;
  const double* macroporeInflow = nullptr;
  const double* macroporeKept = nullptr;  // share of it in the layers after the uptake
  double factor = 0;
};

// Solute held at the surface of a cell (the pond's, and what a dry surface keeps until water
// comes), one tracer: the step's arrivals mix with it; the mix leaves with the surface's water
// that entered the soil or a layered pack and, for an evaporating tracer, that the roots took
// (`gone`); solute rising out of the column onto the surface (`top`) joins what stays; direct
// runoff and the pond share the rest by their water. Returns the solute of the direct runoff.
double MixSurfaceSolute(double& store, double arrived, double top, double mix, double gone,
                        const SurfaceWater& w) {
  store += arrived - mix * gone + top;
  const double stays = w.direct + w.pond;
  if (!(stays > 0)) return 0.0;
  const double concentration = store / stays;
  store = concentration * w.pond;
  return concentration * w.direct;
}

// Moves every tracer of a cell with the water of inner step `step` of `steps` (`w`), each
// decaying by its factor of an inner step (scratch.laneDecay); the layers' and the surface's
// masses stay in `scratch`. The aquifer decays what it holds over the whole sub-step: its water
// brings the concentration it has come to by this inner step, and what the base flow and that
// water moved is handed over as it will stand at the end of the sub-step, so that solute moving
// between the column and the aquifer decays once over the sub-step, as the rest does. Not
// inlined: the cell body's code for a column without tracers stays as it was.
__attribute__((noinline)) void MoveCellTracers(SoilWaterScratch& scratch, SoluteWater& water,
                                               const SoluteLanes& lanes, int T, int gw_layer,
                                               const SurfaceWater w, int step, int steps) {
  water.groundwater_layer = gw_layer;
  const double* input_conc = scratch.tracerInputConc.data();
  const double* input_weight = scratch.tracerInputWeight.data();
  const double* silting_conc = scratch.tracerSiltingConc.data();
  const double* aquifer_conc = scratch.tracerAquiferConc.data();
  const double* evaporating_lane = scratch.laneEvaporating.data();
  const double* decay = scratch.laneDecay.data();
  double* surface_solute = scratch.tracerSurface.data();
  double* arrived_solute = scratch.tracerArrived.data();
  double* gone_water = scratch.tracerGone.data();
  double* mix_lane = scratch.laneMix.data();
  double* input_lane = scratch.laneInput.data();
  double* aquifer_lane = scratch.laneAquifer.data();
  for (int t = 1; t <= T; ++t) {
    const int lane = t - 1;
    // The surface water of the step mixes with the solute the surface holds; the water that
    // enters the soil carries the mix (the silting-up runoff, without a concentration of its
    // own, the input's).
    const double c_in = input_conc[t];
    // (1 to any power is 1: a tracer that does not decay needs no power.)
    const double c_aquifer =
        decay[lane] == 1.0 ? aquifer_conc[t] : aquifer_conc[t] * std::pow(decay[lane], step - 1);
    const bool evaporating = evaporating_lane[lane] != 0;
    // A layered pack is the snow cover, whose water holds the source's concentration (the snow
    // model's pack). An evaporating tracer stays with its water across the pack: the surface's
    // water that the pack kept takes its share of the mix into the snow, and the pack's own
    // water (what it passed on into the soil beyond what it took, what rose out of its top)
    // brings the source's concentration. (The pack's share put into the top layer without its
    // water raised that layer above every source; left at the surface, it raised the last of
    // the pond.) Any other tracer's solute of the source enters the surface whole and leaves it
    // with the water that enters the soil.
    const bool pack = evaporating && w.underPack;
    const double drained = pack ? w.drained : 0.0;
    const double arrived = input_weight[t] * c_in * w.input + silting_conc[t] * w.silting +
                           c_aquifer * w.aquifer + (pack ? c_in * w.risen : 0.0);
    const double evaporated = evaporating ? w.served : 0.0;
    // The surface's water that entered the soil, the pack and the roots (`gone`), and all that
    // left the surface.
    const double entered = w.infiltration - drained;
    const double held = pack ? w.held : 0.0;
    const double gone = entered + w.macropore + evaporated + held;
    const double leaving = entered + w.macropore + w.direct + w.pond + evaporated + held;
    const double mix = leaving > 0 ? (surface_solute[t] + arrived) / leaving : 0.0;
    arrived_solute[t] = arrived;
    gone_water[t] = gone;
    // The macropores' water brings the mix into the layers (an evaporating tracer's share of it
    // that the uptake took left with it), the infiltration the mix with the pack's own water.
    mix_lane[lane] = mix;
    input_lane[lane] = drained > 0 ? (mix * entered + c_in * drained) / w.infiltration : mix;
    aquifer_lane[lane] = c_aquifer;
  }
  MoveSoluteLanes(water, scratch.soluteWork.data(), lanes);
  const SoluteOutflows* outflows = scratch.laneOut.data();
  double* inter = scratch.tracerInter.data();
  double* base = scratch.tracerBase.data();
  double* river = scratch.tracerRiver.data();
  double* returned = scratch.tracerReturned.data();
  double* handed = scratch.tracerHanded.data();
  double* direct = scratch.tracerDirect.data();
  for (int t = 1; t <= T; ++t) {
    const int lane = t - 1;
    const SoluteOutflows& out = outflows[lane];
    inter[t] += out.extracted;
    base[t] += out.uptake;
    river[t] += out.river;
    const double remaining = decay[lane] == 1.0 ? 1.0 : std::pow(decay[lane], steps - step + 1);
    returned[t] += (out.returned + aquifer_lane[lane] * w.aquifer) * remaining;
    handed[t] += out.uptake * remaining;
    // Under the pack, an evaporating tracer's solute rising out of the soil goes on into the
    // pack with its water.
    const bool pack = evaporating_lane[lane] != 0 && w.underPack;
    double& store = surface_solute[t];
    direct[t] += MixSurfaceSolute(store, arrived_solute[t], pack ? 0.0 : out.top, mix_lane[lane],
                                  gone_water[t], w);
    store *= decay[lane];
  }
}

}  // namespace

double unsatzonmodellklasse::GroundwaterIrrigation(long r, long c) const {
  double** amount = Grid(kIrrigationAmounts);
  if (amount == nullptr || links.irrigation_codes == nullptr || irrigation_table == nullptr)
    return 0.0;
  const double code = links.irrigation_codes[r][c];
  if (!(code >= 1 && code < irrigation_table->count + 1.0)) return 0.0;  // nodata and no rule
  const IrrigationRecord& rule = irrigation_table->records[static_cast<std::size_t>(code)];
  if (rule.origin != kIrrigationFromGroundwater || !(amount[r][c] > 0)) return 0.0;
  return amount[r][c] / substepCount;
}

bool unsatzonmodellklasse::OwnBaseflow(long r, long c) const {
  double** imposed = Grid(kGwTableExtern);
  return groundwaterModelActive == 0 &&
         !(externalTableApplied && imposed != nullptr && imposed[r][c] > nodata);
}

void unsatzonmodellklasse::ComputeColumn(SoilWaterScratch& scratch, long r, long c, double g) {
  (void)g;  // the zone sums weigh the cell's results with 1 - g
  const SoilRecord& soil = CellSoil(r, c);
  const int type = static_cast<int>(links.soil_types[r][c]);
  const int N = std::min(layerCount, soil.layers);
  const int32_t s = soil_zone_index[static_cast<std::size_t>(soil_zone_grid[r][c])];
  const int L = landuse_layers;
  SoilColumnWorkspace& ws = scratch.ws;
  // A layered snow pack lies at the column indices 1-M..0 above the soil (heat transfer on).
  const int M = layeredSnowSwitch > 0 ? layered_snow.M : 0;
  ws.Resize(M, N);

  // Column from the stacks; theta0 holds the contents of the column between the steps.
  double* t0 = ws[W::kTheta0];
  double* theta = ws[W::kTheta];
  double* mean = ws[W::kThetaMean];
  double* z = ws[W::kZBound];
  double* dz = ws[W::kDz];
  double* sat = ws[W::kThetaSat];
  double* res = ws[W::kThetaRes];
  double* head = ws[W::kHead];
  double* q = ws[W::kQ];
  const double* ext = ws[W::kExtraction];
  const double* stack_theta = stacks[kTheta][r][c];
  const double* stack_z = stacks[kGeodeticHeads][r][c];
  const double* stack_head = stacks[kHydraulicHeads][r][c];
  const double* stack_q = stacks[kQDown][r][c];
  for (int k = 0; k <= N; ++k) {
    t0[k] = stack_theta[k];
    z[k] = stack_z[k];
    head[k] = stack_head[k];
    q[k] = stack_q[k];
    if (k >= 1) {
      dz[k] = soil.thickness[k];
      sat[k] = soil.theta_sat[k];
      res[k] = soil.theta_res[k];
    }
  }
  const double* fc = &soil_constants.field_capacity[soil_constants.At(type, 0)];
  if (heatTransferSwitch > 0) {
    // Temperatures and liquid fractions from their stacks (a new snow layer takes the
    // temperature of the layer below; the liquid fractions limit the inner step count).
    scratch.hs.Resize(M, N);
    for (int k = 1; k <= N; ++k) {
      scratch.hs[SoilHeatWorkspace::kTemper][k] = stacks[kSoilTemperature][r][c][k];
      ws[W::kLiquid][k] = stacks[kSoilSE][r][c][k];
    }
  }
  int i0 = M > 0 ? LoadSnowLayers(ws, scratch.hs, scratch.snow, r, c) : 0;
  double snow_outflow = 0;  // mm of the sub-step

  // The cell as the column operations see it.
  ColumnCell cell;
  cell.soil = &soil;
  cell.fieldCapacity = fc;
  cell.cellSize = cellsize;
  cell.kSatClay = kSatClay;
  if (M > 0) {
    cell.i0 = i0;
    cell.snow = &layered_snow.types[1];
    cell.seSnow = layered_snow.seSnow;
    cell.snowDrainageDensity = layered_snow.drainageDensity;
  }
  const double tangens = std::tan(grids[kTangensBeta][r][c]);
  cell.drainageDensity = drainageDensity[s] * std::min(1.0, std::fabs(tangens));
  if (links.drainage_depth != nullptr && Grid(kDrainageLevel) != nullptr) {
    cell.drainageLayer = static_cast<int>(Grid(kDrainageLevel)[r][c]);
    cell.drainDistance = links.drainage_distance[r][c];
  }
  if (links.clay_depth != nullptr && links.clay_depth[r][c] > 0) {
    double depth = 0;
    cell.clayLayer = N;
    for (int k = 1; k <= N; ++k) {
      depth += dz[k];
      if (depth >= links.clay_depth[r][c]) {
        cell.clayLayer = k;
        break;
      }
    }
  }
  if (links.permafrost_thaw_depth != nullptr && links.permafrost_thaw_depth[r][c] >= 0) {
    cell.thawDepth = links.permafrost_thaw_depth[r][c];
    cell.reducedKsat = reducedKsatPermafrost;
  }

  // A stream in the cell: the column gives the water standing above the stream bed off to it
  // (a gaining stream); a losing stream of a river link (interaction above 1) gives the column
  // water from the routing record of the link's subbasin, which all cells of the link share.
  RiverCell river;
  cell.riverOn = surfaceWaterInteraction >= 1 && river_depth != nullptr && river_width != nullptr &&
                 river_depth[r][c] > 0 && river_width[r][c] > 0;
  if (cell.riverOn) {
    cell.interaction = surfaceWaterInteraction;
    river.depth = river_depth[r][c];
    river.width = river_width[r][c];
    river.kolmation = kolmation != nullptr && kolmation[r][c] > 0 ? kolmation[r][c] : 0.0;
    // A lake cell ponded by 1 mm or more exchanges through its lake; a lake switch other than 0
    // and 1 stops the exchange of every cell.
    double** ponding = Grid(kPondingStorage);
    const double* ponded = ponding != nullptr ? &ponding[r][c] : nullptr;
    river.lake = lakeSwitch != 0 && (lakeSwitch != 1 || (lake_codes != nullptr &&
                                                         IsNotNodata(lake_codes[r][c], nodata) &&
                                                         ponded != nullptr && *ponded >= 1.0));
    river.substeps = substepCount;
    river.substep = std::clamp(current_substep, 1, std::max(1, substepCount));
    river.stepSeconds = time_interval * 60.0;
    const double link = river_links != nullptr ? river_links[r][c] : nodata;
    if (groundwaterModelActive != 0 && surfaceWaterInteraction > 1 && IsNotNodata(link, nodata) &&
        link > 0) {
      river.linkCode = static_cast<int>(link);
      const int index = RiverRecordIndex(river.linkCode, soil_zone_index,
                                         static_cast<int32_t>(reinfiltration_records.size()) - 1);
      if (index < 1)
        ThrowFatal(Diag(), kRiverLinkCode,
                   "FATAL: \n\n -------- error! ---------------------------------------------\n\n"
                   "There is a river link \"",
                   river.linkCode,
                   "\" from the river link grid\nwhich is not valid for the current routing "
                   "structure -> there is no routing \ndescription for a river with code ",
                   river.linkCode, "\n",
                   "Please check your River link grid if there are cells defined as routing link ",
                   river.linkCode, " and replace those values by nodata (-9999).\n",
                   "-------------------------------------------------------------\n\n");
      river.record = &reinfiltration_records[static_cast<std::size_t>(index)];
      if (static_cast<std::size_t>(index) < reinfiltration_exact.size())
        river.exactTake = &reinfiltration_exact[static_cast<std::size_t>(index)];
    }
  }

  // Grids of the sub-step.
  double& level = grids[kGroundwaterLevel][r][c];
  double& theta_gw = grids[kThetaInGwLevel][r][c];
  double& distance = grids[kGroundwaterDistance][r][c];
  double& base = grids[kBaseflow][r][c];
  double* pond = links.max_ponding_storage != nullptr && Grid(kPondingStorage) != nullptr
                     ? &grids[kPondingStorage][r][c]
                     : nullptr;
  const double max_pond = pond != nullptr ? links.max_ponding_storage[r][c] : 0.0;
  const bool ponding = pond != nullptr && max_pond > 0;
  double input_grid = water_input != nullptr ? water_input[r][c] : 0.0;
  double substep_input = input_grid / substepCount;  // mm
  // The water the source of the input (the canopy's throughfall or the snow model's outflow)
  // gave the cell in the step, with its solute.
  const double source_water = input_grid;
  if (M > 0) {
    // The water the snow model handed to the pack (level 0, taken whole by this sub-step, as
    // the pack's settling empties it) and the rain of the step.
    const double rain =
        layered_snow.rain_fraction != nullptr ? layered_snow.rain_fraction[r][c] : 0.0;
    const double handed = layered_snow.stacks[LayeredSnowState::kLiquid][r][c][0];
    // Interception after snow takes its water from the snow model's outflow, while the soil
    // takes the rain before the canopy: the canopy's take (outflow less throughfall: its
    // evaporation and storage gain) is given back in the first sub-step, so that no water is
    // both evaporated from the canopy and infiltrated.
    // Silting-up changed the input grid (it took in the water on the surface and gave the sealing
    // runoff): where that grid is the snow model's outflow the change is given here as well.
    double canopy = 0;
    double** const outflow = layered_snow.snowcover_outflow;
    if (current_substep <= 1 && water_input != nullptr && outflow != nullptr) {
      if (water_input == outflow)
        canopy = silted_input_change != nullptr ? -silted_input_change[r][c] : 0.0;
      else if (!snowAfterInterception)
        canopy = outflow[r][c] - water_input[r][c];
    }
    input_grid = handed + rain - canopy;
    substep_input = std::max(0.0, handed + rain / substepCount - canopy);
    // The canopy may take more than reaches the ground: the outflow of the snow model's own pack
    // (which the layered pack kept). That rest comes out of the soil layers from the top, as far
    // as they hold water, so that no water is created.
    double rest = canopy - handed - rain / substepCount;
    for (int k = 1; k <= N && rest > 0; ++k) rest -= TakeWater(t0, dz, k, rest, 0.0);
    if (water_input != nullptr) water_input[r][c] = input_grid;
  }

  // Number of inner steps and their length.
  const double substep_seconds = time_interval * 60.0 / substepCount;
  int nw = InnerStepCount(method, soil, t0, i0, level, input_grid != 0.0, substep_seconds,
                          dParameterMinStep, heatTransferSwitch > 0 ? ws[W::kLiquid] : nullptr,
                          cell.snow, M, dz);
  // With heat transfer the heat steps of the sub-step and the water steps are coupled.
  CellHeat& heat = scratch.heat;
  if (heatTransferSwitch > 0) {
    heat.i0 = i0;
    PrepareCellHeat(ws, scratch.hs, r, c, substep_seconds, heat);
    CoupleHeatAndWaterSteps(heat.steps, nw, heat.perWaterStep);
    cell.liquidFraction = true;
    cell.seSoil = layered_snow.seSoil;
  }
  const double dt = substep_seconds / nw;
  const double f = time_interval * 60000.0 / substepCount / nw;  // m/s -> mm per inner step
  // The table imposed from outside holds the cell's water table: no base flow of its own.
  const bool imposed = externalTableApplied && grids[kGwTableExtern][r][c] > nodata;
  const bool own_baseflow = OwnBaseflow(r, c);
  // Without the groundwater model the column's saturated zone is the groundwater: the water
  // pumped for the cell's irrigation leaves it with the base flow (m/s), and the zone sums take
  // it off the base flow that reaches the rivers.
  const double pumped_rate = own_baseflow ? GroundwaterIrrigation(r, c) / (nw * f) : 0.0;
  // With the groundwater model, its release of layer 1 (m/s) from the sub-step before: its faces
  // moved that water, so the column gives it under an imposed table too (the table holds only
  // the column's own base flow, which the groundwater model replaces).
  const double base_given = imposed && groundwaterModelActive == 0 ? 0.0 : base;
  // The groundwater table at the start of the sub-step (for the storage coefficient).
  const double head_start = z[0] + distance;
  double head_gw = head_start;
  // Base flow the groundwater model took that the column has not yet given (m/s of an inner step).
  double unpaid = 0;

  CellSums sums;
  double root_depth = 0;
  for (int j = 1; j <= L; ++j) {
    scratch.valid[j] = IsNotNodata(links.landuse[j][r][c], nodata) && links.landuse[j][r][c] >= 1;
    if (scratch.valid[j]) root_depth = std::max(root_depth, links.root_depth[j][r][c]);
  }
  // Tracers: each layer's mass over the sub-step (the stack holds the concentration of an
  // evaporating tracer, the mass otherwise).
  const int T = static_cast<int>(soil_tracers.size()) - 1;
  const int stride = SoluteLaneStride(T);
  // The water and the tracers' lanes of the transport (the same arrays in every inner step).
  SoluteWater& solute_water = scratch.soluteWater;
  SoluteLanes& lanes = scratch.soluteLanes;
  const auto at = [stride](int t, int k) { return static_cast<std::size_t>(k * stride + t - 1); };
  if (T > 0) {
    // The arrays are sized once (the tracers' count is the run's); what a cell starts from is
    // set below, tracer by tracer. An idle lane holds nothing (0, decay 1) throughout.
    const auto mass_size = static_cast<std::size_t>((N + 1) * stride);
    if (scratch.tracerMass.size() < mass_size) scratch.tracerMass.resize(mass_size, 0.0);
    const auto count = static_cast<std::size_t>(T + 1);
    const auto lane_count = static_cast<std::size_t>(stride);
    if (scratch.tracerInter.size() != count) {
      for (std::vector<double>* v :
           {&scratch.tracerInter, &scratch.tracerDirect, &scratch.tracerBase, &scratch.tracerRiver,
            &scratch.tracerReturned, &scratch.tracerHanded, &scratch.tracerSurface,
            &scratch.tracerInputConc, &scratch.tracerSiltingConc, &scratch.tracerAquiferConc,
            &scratch.tracerArrived, &scratch.tracerGone, &scratch.tracerInputWeight})
        v->assign(count, 0.0);
      for (std::vector<double>* v :
           {&scratch.laneEvaporating, &scratch.laneMix, &scratch.laneInput, &scratch.laneAquifer})
        v->assign(lane_count, 0.0);
      scratch.laneDecay.assign(lane_count, 1.0);
      scratch.laneOut.assign(lane_count, SoluteOutflows{});
    }
    if (stride > T)
      for (int k = 1; k <= N; ++k) scratch.tracerMass[at(T + 1, k)] = 0.0;
    solute_water.theta0 = scratch.thetaBefore.data();
    solute_water.theta = ws[W::kTheta];
    solute_water.dz = dz;
    solute_water.q = ws[W::kQ];
    solute_water.extraction = ws[W::kExtraction];
    // With the groundwater model the streams draw the layers' water and solute, and the water
    // the aquifer gives back brings the aquifer's concentration; the exchange with the
    // groundwater takes the uptake's water and brings the aquifer's.
    solute_water.river_out = ws[W::kRiverOut];
    solute_water.uptake = solute_water.aquifer_in = nullptr;
    solute_water.first = 1;
    solute_water.last = N;
    solute_water.dt = dt;
    lanes.count = T;
    lanes.mass = scratch.tracerMass.data();
    lanes.mix = scratch.laneMix.data();
    lanes.keeps = scratch.laneEvaporating.data();
    lanes.input_concentration = scratch.laneInput.data();
    lanes.aquifer_concentration = scratch.laneAquifer.data();
    lanes.decay_factor = scratch.laneDecay.data();
    lanes.inflow = scratch.inflow.data();
    lanes.kept = scratch.inflowKept.data();
    lanes.factor = f;
    lanes.exchange = scratch.source.data();
    lanes.out = scratch.laneOut.data();
    for (int t = 1; t <= T; ++t) {
      const SoilTracer& tracer = soil_tracers[static_cast<std::size_t>(t)];
      const auto lane = static_cast<std::size_t>(t - 1);
      // (1 to any power is 1: a tracer that does not decay needs no power.)
      scratch.laneDecay[lane] = tracer.decay == 1.0 ? 1.0 : std::pow(tracer.decay, 1.0 / nw);
      const double* stack = tracer.stack.get()[r][c];
      const bool evaporating = tracer_definitions[t].evaporating != 0;
      scratch.laneEvaporating[lane] = evaporating ? 1.0 : 0.0;
      const auto ti = static_cast<std::size_t>(t);
      scratch.tracerInter[ti] = scratch.tracerDirect[ti] = scratch.tracerBase[ti] = 0.0;
      scratch.tracerRiver[ti] = scratch.tracerReturned[ti] = scratch.tracerHanded[ti] = 0.0;
      scratch.tracerInputWeight[ti] = 1.0;
      const double input = tracer.input != nullptr ? tracer.input[r][c] : 0.0;
      double& c_in = scratch.tracerInputConc[static_cast<std::size_t>(t)];
      c_in = IsAboveNodata(input, nodata) ? input : 0.0;
      // The silting-up model hands on the water of its input and the water that stood on the
      // surface, each with its own solute: the input comes at that mix's concentration.
      const double silted = tracer.silted != nullptr ? tracer.silted[r][c] : nodata;
      if (IsAboveNodata(silted, nodata) && source_water > 0)
        c_in = evaporating ? silted : silted / source_water;
      // Its silting-up runoff (without a concentration of its own: the input's) and the water
      // the groundwater model gives.
      const double silting = tracer.silting != nullptr ? tracer.silting[r][c] : nodata;
      scratch.tracerSiltingConc[static_cast<std::size_t>(t)] =
          IsAboveNodata(silting, nodata) ? silting : c_in;
      const double aquifer = tracer.groundwater != nullptr ? tracer.groundwater[r][c] : 0.0;
      scratch.tracerAquiferConc[static_cast<std::size_t>(t)] =
          IsAboveNodata(aquifer, nodata) ? aquifer : 0.0;
      for (int k = 1; k <= N; ++k)
        scratch.tracerMass[at(t, k)] = evaporating ? stack[k] * t0[k] * dz[k] * 1000.0 : stack[k];
      // Level 0 holds the surface's solute (the pond's concentration for an evaporating tracer).
      const double surface = IsAboveNodata(stack[0], nodata) ? stack[0] : 0.0;
      scratch.tracerSurface[static_cast<std::size_t>(t)] =
          evaporating ? surface * (pond != nullptr ? *pond : 0.0) : surface;
      // Under a layered pack the soil takes other water than its source gave (the melt handed
      // to the pack, the rain of the step): the solute the source brought enters the surface
      // whole in the first sub-step and leaves it with the water that enters the soil, so that
      // the soil receives exactly what the snow cover or the canopy released.
      if (M > 0 && !evaporating) {
        scratch.tracerInputWeight[static_cast<std::size_t>(t)] = 0.0;
        if (current_substep <= 1 && source_water > 0)
          scratch.tracerSurface[static_cast<std::size_t>(t)] += c_in * source_water;
      }
    }
  }
  scratch.thresholds.assign(static_cast<std::size_t>((L + 2) * (N + 1)), std::nan(""));
  scratch.rootWeights.assign(static_cast<std::size_t>((L + 2) * (N + 1)), std::nan(""));
  std::vector<double>& achieved_sum = scratch.achievedSum;
  std::fill(achieved_sum.begin(), achieved_sum.end(), 0.0);
  int64_t iterations = 0;

  InnerStep inner;  // "-dumpmode": the inner step as its snapshot and tests see it
  inner.innerSteps = nw;
  inner.innerStepLength = dt;
  inner.heat = heatTransferSwitch > 0 ? &heat : nullptr;
  inner.substepSeconds = substep_seconds;
  for (int step = 1; step <= nw; ++step) {
    if (dumpMode != 0) {
      inner.step = step;
      inner.i0 = i0;
      TakeColumnSnapshot(scratch, r, c, inner);
    }
    // Demands and inputs of the inner step (mm).
    for (int j = 1; j <= L; ++j) {
      scratch.demand[j] =
          scratch.valid[j] ? links.pot_transpiration[j][r][c] / substepCount / nw : 0.0;
      scratch.achieved[j] = 0;
    }
    const double evaporation_demand = links.potential_evaporation[r][c] / substepCount / nw;
    double P = substep_input / nw;
    // The silting-up runoff is the step's, like the input: each sub-step offers its share.
    double D = links.direct_runoff_silting != nullptr
                   ? links.direct_runoff_silting[r][c] / substepCount / nw
                   : 0.0;
    SurfaceWater surface;
    surface.input = P;
    surface.silting = D;
    for (int k = 0; k <= N; ++k) {
      scratch.inflow[k] = 0;
      scratch.inflowKept[k] = 1;
      scratch.uptakeTotal[k] = 0;
      scratch.evaporation[k] = 0;
      scratch.extracted[k] = 0;
      scratch.source[k] = 0;
    }
    // Snow runoff share and the surface water.
    double S = links.snow_solid != nullptr && layeredSnowSwitch == 0
                   ? SnowRunoffShare(links.snow_solid[r][c], P, snowRunoffFraction[s])
                   : 0.0;
    P -= S;
    if (!ponding) {
      const double rest = ServeDemands(D, scratch.demand, scratch.achieved, scratch.valid);
      surface.served = D - rest;
      P += rest;
    } else {
      const double water =
          ServeDemands(*pond + S + D, scratch.demand, scratch.achieved, scratch.valid);
      surface.served = *pond + S + D - water;
      P += water;
      S = 0;
      *pond = 0;  // the water of the pond is offered to the soil with the input
    }
    double rP = P / f;
    const double rS = S / f;
    if (dumpMode != 0) scratch.dumpSnapshot.inputRate = rP;

    // Macropores take their share of the input into the layers at once.
    // Macropores take nothing under a snow pack.
    const double m =
        i0 < 0 ? 0.0
               : ComputeMacroporeInfiltration(soil, N, sat, dz, t0, scratch.inflow.data(), rP, f);

    // Root extraction per vegetation layer and soil evaporation, taken from the contents.
    const int gw_layer_start = std::max(1, std::min(N, static_cast<int>(level)));
    double soil_evaporation = 0;
    bool evaporation_done = false;
    for (int j = 1; j <= L + 1; ++j) {
      const bool evaporation_only = j == L + 1;
      if (evaporation_only && evaporation_done) break;
      if (!evaporation_only && (!scratch.valid[j] || (scratch.demand[j] <= 0 && evaporation_done)))
        continue;
      RootUptakeSettings settings;
      settings.layerLimit = gw_layer_start;
      settings.stepLength = 1.0;
      settings.evaporationDepth = soil.EvapMaxDepth;
      settings.evaporationDemand = evaporation_done ? 0.0 : evaporation_demand;
      if (!evaporation_only) {
        const int code = static_cast<int>(links.landuse[j][r][c]);
        if (landuse_table == nullptr || code > landuse_table[0].GetCode())
          ThrowFatal(Diag(), kLanduseCodeCode, "FATAL: in modul ", module_name,
                     ": the land-use code ", code, " of cell (row ", r, ", column ", c,
                     ") is not in the land-use table");
        const LanduseRecord& use = landuse_table[code];
        settings.rootDepth = links.root_depth[j][r][c];
        settings.shape = use.GetRootDist();
        settings.stressSuction = use.GetHReduDry();
        settings.wetFraction = use.GetLimitReduWet();
        settings.wetFactor = use.GetTReduWet();
        settings.potentialRate = std::max(0.0, scratch.demand[j]);
      } else {
        settings.rootDepth = dz[1];
      }
      settings.thresholds = &scratch.thresholds[static_cast<std::size_t>(j * (N + 1))];
      settings.rootWeights = &scratch.rootWeights[static_cast<std::size_t>(j * (N + 1))];
      evaporation_done = true;
      DistributeEvapotranspiration(soil, fc, N, dz, sat, res, t0, settings, scratch.weights.data(),
                                   scratch.uptake.data(), scratch.uptakeTotal.data(),
                                   scratch.evaporation.data());
      double taken = 0;
      for (int k = 1; k <= N; ++k) {
        const double lowest = k == 1 ? 0.0 : res[k];
        const double held = t0[k];
        const double uptake = TakeWater(t0, dz, k, scratch.uptake[k], lowest);
        const double evaporated = TakeWater(t0, dz, k, scratch.evaporation[k], lowest);
        taken += uptake;
        soil_evaporation += evaporated;
        scratch.extracted[k] += uptake;
        scratch.extracted[0] += evaporated;
        // An evaporating tracer leaves with the water at the layer's concentration; any other
        // stays in the layer (its concentration rises as the water goes). The water the
        // macropores brought in the step is in the layer already, its solute joins the layer
        // with the tracers' move: it keeps the same share, so that the water taken carries the
        // layer's whole mix and leaves it no richer than what came.
        if (held > 0 && t0[k] < held) {
          scratch.inflowKept[k] *= t0[k] / held;
          for (int t = 1; t <= T; ++t)
            if (tracer_definitions[t].evaporating != 0)
              scratch.tracerMass[at(t, k)] *= t0[k] / held;
        }
      }
      if (!evaporation_only) scratch.achieved[j] += taken;
    }
    double et_total = soil_evaporation;
    for (int j = 1; j <= L; ++j) et_total += scratch.achieved[j];

    // Exchange with the groundwater below the column (the base flow of the inner step).
    for (int k = 1; k <= N; ++k) scratch.thetaBefore[k] = t0[k];
    int gw_layer = velorn::GroundwaterLayer(t0, sat, N);
    level = gw_layer;
    theta_gw = t0[gw_layer];
    double b = own_baseflow ? maxBaseflow[s] * std::exp(distance * baseflowInverseRecession[s]) /
                                      (substepCount * f * nw) +
                                  pumped_rate
                            : base_given;
    // The groundwater model's release that an earlier inner step could not give comes first;
    // its faces carried that water away, so the column gives it down to the residual contents.
    // The column's own base flow takes only the water above field capacity.
    if (!own_baseflow) b += unpaid;
    double surface_out = 0;
    const double moved = ExchangeWithGroundwater(b, dt, dz, sat, fc, own_baseflow ? fc : res, N, t0,
                                                 scratch.source.data(), gw_layer, surface_out);
    if (!own_baseflow) unpaid = b - moved;
    b = moved;
    level = gw_layer;
    scratch.source[0] = surface_out;
    // Heat steps of the inner step; the water-borne heat moves with the fluxes of the last
    // iteration (at the first step those of the sub-step before).
    if (heatTransferSwitch > 0) {
      heat.i0 = i0;
      RunCellHeatSteps(ws, scratch.hs, r, c, heat, substep_seconds / heat.steps,
                       scratch.inflow.data());
      if (dumpMode != 0) {
        const double* t = scratch.hs[SoilHeatWorkspace::kTemper];
        scratch.heatResult.assign(t - M, t + N + 1);
      }
    }
    for (int k = 0; k <= N; ++k) q[k] = 0;  // no flux below the layers the iteration computes
    // The snow pack settles before the iteration.
    if (M > 0) {
      snow_outflow +=
          SettleSnowPack(ws, scratch.hs, scratch.snow, layered_snow.restructure, r, c, i0);
      cell.i0 = i0;
    }

    // The moisture iteration; the input enters the column at `top`.
    const int top = i0;
    cell.gwLayer = gw_layer;
    cell.zGw = head_gw;
    for (int k = i0; k <= N; ++k) theta[k] = mean[k] = t0[k];
    double tolerance = max_error;
    int n = 0;
    int mean_count = 0;
    double e = 0;
    FluxTotals totals;
    river.cellTake = 0;  // the take of this inner step replaces no earlier one
    do {
      ComputeHydraulicHeads(ws, cell, n);
      ++n;
      ComputeLayerFluxes(ws, cell, rP, dt, cell.riverOn ? &river : nullptr, totals);
      LimitLayerContents(ws, cell, kContentLimiterSweeps, dt, totals);
      if (n == kRelaxedIteration) tolerance = kRelaxedToleranceFactor * max_error;
      e = UpdateLayerMoisture(ws, cell, n, dt, mean_count);
    } while (e > tolerance && n < static_cast<int>(max_iterations));
    iterations += n;
    // The river water the column took in the step, as the content limiter left it.
    if (river.record != nullptr) BookRiverTake(river, totals.riverIn, cellsize, dt);
    if (M > 0) {
      snow_outflow +=
          SettleSnowPack(ws, scratch.hs, scratch.snow, layered_snow.restructure, r, c, i0);
      cell.i0 = i0;
    }
    if (dumpMode != 0) {
      inner.i0 = i0;
      CheckInnerStep(scratch, r, c, inner);
    }

    // Iteration log of process 0: one lock, whole lines.
    if (n > kLoggedIterations && rank == 0) {
      std::lock_guard<std::mutex> lock(iteration_log_mutex);
      const std::string name = FormatText("modell_%d.log", 0);
      AppendChecked(Diag(), kIterationLogCode, name,
                    FormatText("%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n",
                               static_cast<int>(step_date.day), static_cast<int>(step_date.month),
                               static_cast<int>(step_date.hour), static_cast<int>(r),
                               static_cast<int>(c), n, e),
                    "FATAL: error opening log-file ");
      ++iterationLogLines;
    }

    // The groundwater table after the iteration; the layer keeps the water the iteration gave
    // it (its content is the Theta_in_GWLEVEL of the grid).
    theta_gw = theta[gw_layer];
    const double head_before = head_gw;
    head_gw = GroundwaterHead(z, sat, fc, gw_layer, theta_gw, theta[1]);
    distance = head_gw - z[0];

    // Recharge of the saturated zone (percolation when positive, capillary rise otherwise).
    TableMove move;
    move.coupled = groundwaterModelActive != 0;
    // The table left the layer that held it at the step's start (the exchange and the
    // iteration may have moved it by more than a layer).
    move.oldLayer = TableLayer(z, N, head_before);
    move.newLayer = gw_layer;
    move.zOld = head_before;
    move.zNew = head_gw;
    move.dt = dt;
    move.factor = f;
    move.baseflow = b;
    move.riverOn = cell.riverOn;
    move.riverIn = totals.riverIn;
    move.riverOut = totals.riverOut;
    const double x = ComputeGroundwaterRecharge(ws, soil, move, scratch.source.data());

    // Infiltration and its excess: what the top of the column did not take runs off.
    // Under a snow pack the input enters the top of the pack and the soil takes what leaves it.
    const double q0 = q[0];
    const double infiltration = q0 < 0 ? -q0 * f : 0.0;
    double excess = std::max(0.0, (rP + q[top] + rS) * f);
    double direct = excess + surface_out * f;  // mm
    if (ponding) {
      // What the soil did not take stays in the pond up to its maximum.
      *pond = excess + surface_out * f;
      excess = 0;
      direct = 0;
      if (*pond > max_pond) {
        direct = *pond - max_pond;
        *pond = max_pond;
      }
    }

    // Interflow and tile drainage leave through the extraction of the layers; the layers of a
    // snow pack (from the top the iteration saw) give interflow too.
    double extracted = 0;
    for (int k = top + 1; k <= N; ++k) extracted += ext[k];
    const double drainage = std::min(std::max(0.0, totals.drainage), extracted);

    // Tracers move with the step's water: in with the infiltration at the input's
    // concentration, out with interflow and the base flow the exchange took from the layers.
    if (T > 0) {
      surface.aquifer = surface_out * f;
      surface.infiltration = infiltration;
      surface.macropore = m;
      surface.direct = direct;
      surface.pond = ponding ? *pond : 0.0;
      if (top < 0) {
        const double taken = -q[top] * f;  // into the pack at its top
        surface.underPack = true;
        surface.held = std::max(0.0, taken - infiltration);
        surface.drained = std::max(0.0, infiltration - std::max(0.0, taken));
        surface.risen = std::max(0.0, -taken);
      }
      surface.macroporeInflow = scratch.inflow.data();
      surface.macroporeKept = scratch.inflowKept.data();
      surface.factor = f;
      MoveCellTracers(scratch, solute_water, lanes, T, gw_layer, surface, step, nw);
    }

    // Contents for the next inner step.
    for (int k = 1; k <= N; ++k) t0[k] = theta[k];

    sums.direct += direct;
    // The drains discharge into the channels with the interflow; the drainage grid and table
    // show their share of it.
    sums.inter += extracted * f;
    sums.drainage += drainage * f;
    sums.macropore += m;
    sums.recharge += x;
    if (x >= 0)
      sums.percolation += x;
    else
      sums.uprise += x;
    sums.excess += excess;
    sums.infiltration += infiltration;
    sums.evaporation += soil_evaporation;
    sums.baseflow += b * f;
    sums.riverIn += totals.riverIn * f;
    sums.riverOut += totals.riverOut * f;
    sums.total_et += et_total;
    for (int j = 1; j <= L; ++j) achieved_sum[j] += scratch.achieved[j];
  }

  innerStepCount.fetch_add(nw, std::memory_order_relaxed);
  iterationCount.fetch_add(iterations, std::memory_order_relaxed);

  // Root zone and profile. The root zone's water content is the mean over the soil the roots
  // reach: roots that a thawed layer confines inside layer 1, or that reach below the column,
  // see the water content of the soil they are in.
  grids[kSoilMoistureRoot][r][c] = RootZoneTheta(soil, N, t0, root_depth);
  grids[kMeanThetaInRootZone][r][c] = RootZoneSuction(soil, N, t0, root_depth, nodata);
  grids[kSoilMoistureProfile][r][c] = AverageOverDepth(soil, N, t0, 1, 0.0, 9999.0, nodata) * 1000;
  grids[kRootGrid][r][c] = root_depth * 1000.0;

  // Sums of the sub-step into the cell's grids.
  grids[kDirectflow][r][c] = sums.direct;
  grids[kInterflow][r][c] = sums.inter;
  if (double** d = Grid(kDrainageFlow)) d[r][c] = sums.drainage;
  grids[kMacroporeInfiltration][r][c] = sums.macropore;
  grids[kGroundwaterRecharge][r][c] = sums.recharge;
  grids[kPercolation][r][c] = sums.percolation;
  grids[kCapillaryUprise][r][c] = sums.uprise;
  grids[kInfiltrationExcess][r][c] = sums.excess;
  grids[kTotalInfiltration][r][c] = sums.infiltration;
  if (method == 3)
    if (double** g3 = Grid(kNumberOfSubsteps)) g3[r][c] = nw;
  links.real_evaporation[r][c] += sums.evaporation;
  for (int j = 1; j <= L; ++j) links.real_transpiration[j][r][c] += achieved_sum[j];
  links.real_transpiration[0][r][c] += sums.total_et;
  base = sums.baseflow;
  // The aquifer's faces carried away the release the column could not give in the sub-step
  // (it held no more above its residual contents): the groundwater model's next release asks
  // for it again.
  if (double** g = Grid(kBaseflowUnpaid)) g[r][c] = unpaid * f;
  if (double** g = Grid(kRiverInfiltration)) g[r][c] = sums.riverIn;
  if (double** g = Grid(kRiverExfiltration)) g[r][c] = sums.riverOut;
  // Under a coupled table (without the groundwater model) the coupled program's groundwater
  // gives the pumped water: the column's saturated zone gives none of it.
  if (double** g = Grid(kGroundwaterIrrigation))
    g[r][c] = own_baseflow || groundwaterModelActive != 0 ? GroundwaterIrrigation(r, c) : 0.0;

  // Storage coefficient of the groundwater layer for the groundwater model.
  if (links.gw_storage_coefficient != nullptr) {
    const int k = std::max(1, std::min(N, static_cast<int>(level)));
    links.gw_storage_coefficient[r][c] =
        StorageCoefficient(head_gw < head_start, sat[k], fc[k], t0[k]);
  }
  // Ratio of real to potential transpiration for the irrigation rules.
  if (irrigation_configured && Grid(kEtrToEtp) != nullptr) {
    double real = 0, potential = 0;
    for (int j = 1; j <= L; ++j) {
      real += links.real_transpiration[j][r][c];
      potential += links.pot_transpiration[j][r][c];
    }
    const bool wet = Grid(kSoilMoistureHigh)[r][c] <= grids[kSoilMoistureRoot][r][c];
    grids[kEtrToEtp][r][c] = wet || potential <= 0 ? 1.0 : real / potential;
  }

  // Frozen-soil grids, temperatures and liquid fractions of the cell.
  if (heatTransferSwitch > 0) FinishCellHeat(ws, scratch.hs, r, c);

  // The pack back into the snow stacks; what it released beyond its pores runs off directly,
  // and the cell's water input reports the water that left the pack and its liquid water.
  if (M > 0) {
    StoreSnowLayers(ws, scratch.hs, scratch.snow, r, c);
    grids[kDirectflow][r][c] += snow_outflow;
    grids[kInfiltrationExcess][r][c] += snow_outflow;
    double liquid = 0;
    for (int j = 1; j <= M; ++j) liquid += scratch.snow.swel[static_cast<std::size_t>(j)];
    if (water_input != nullptr) water_input[r][c] = snow_outflow + liquid;
  }

  // Tracers back into their stacks; the concentrations of direct runoff and interflow.
  if (T > 0) {
    // The water pumped for irrigation left with the base flow, at its concentration; the cells
    // received it at the pumped water's concentration of the step's start: the saturated zone
    // gives up that solute, no more and no less.
    const double pumped = own_baseflow ? GroundwaterIrrigation(r, c) : 0.0;
    const int g = std::clamp(static_cast<int>(level), 1, N);
    for (int t = 1; t <= T && pumped > 0 && sums.baseflow > 0; ++t) {
      if (tracer_definitions[t].evaporating != 0) continue;
      const auto t_index = static_cast<std::size_t>(t);
      const double carried = scratch.tracerBase[t_index] / sums.baseflow;
      const double given = soil_tracers[t_index].pumped.get()[r][c];
      double& mass = scratch.tracerMass[at(t, g)];
      mass =
          std::max(0.0, mass + pumped * (carried - (IsAboveNodata(given, nodata) ? given : 0.0)));
    }
    for (int t = 1; t <= T; ++t) {
      auto& tracer = soil_tracers[static_cast<std::size_t>(t)];
      double* stack = tracer.stack.get()[r][c];
      const bool evaporating = tracer_definitions[t].evaporating != 0;
      for (int k = 1; k <= N; ++k) {
        const double mass = scratch.tracerMass[at(t, k)];
        const double water = t0[k] * dz[k] * 1000.0;
        stack[k] = !evaporating ? mass : water > 0 ? mass / water : 0.0;
      }
      const double surface = scratch.tracerSurface[static_cast<std::size_t>(t)];
      const double pond_water = pond != nullptr ? *pond : 0.0;
      stack[0] = !evaporating ? surface : pond_water > 0 ? surface / pond_water : 0.0;
      const auto t_index = static_cast<std::size_t>(t);
      // The direct runoff holds what the layered pack released beyond its pores: the snow's
      // water, at the source's concentration for an evaporating tracer (any other tracer's
      // solute of the snow entered the surface with the source's water).
      const double direct = sums.direct + snow_outflow;
      double solute = scratch.tracerDirect[t_index];
      if (evaporating && snow_outflow > 0)
        solute += scratch.tracerInputConc[t_index] * snow_outflow;
      tracer.direct.get()[r][c] = direct > 0 ? solute / direct : 0.0;
      // The interflow holds the tile drainage.
      tracer.inter.get()[r][c] = sums.inter > 0 ? scratch.tracerInter[t_index] / sums.inter : 0.0;
      // The base flow carries the solute the exchange took out of the layers; with the
      // groundwater model that solute (less what its water brought back) goes to the aquifer,
      // and the base flow of the runoff is the streams' draw with its solute.
      if (tracer.to_groundwater) {
        tracer.to_groundwater.get()[r][c] =
            scratch.tracerHanded[t_index] - scratch.tracerReturned[t_index];
        tracer.base_flow.get()[r][c] =
            sums.riverOut > 0 ? scratch.tracerRiver[t_index] / sums.riverOut : nodata;
      } else {
        tracer.base_flow.get()[r][c] =
            sums.baseflow > 0 ? scratch.tracerBase[t_index] / sums.baseflow : nodata;
      }
    }
  }

  // Write-back.
  double* out_theta = stacks[kTheta][r][c];
  double* out_head = stacks[kHydraulicHeads][r][c];
  double* out_q = stacks[kQDown][r][c];
  for (int k = 1; k <= N; ++k) {
    out_theta[k] = t0[k];
    out_head[k] = head[k];
    out_q[k] = q[k];
  }
  out_q[0] = q[0];

  // The control point's records of the last inner step (mm per inner step).
  if (r == controlRow && c == controlCol && single_point_owner) {
    ControlCellStep last;
    last.infiltration = -q[0] * f;
    last.layers = N;
    last.extracted = scratch.extracted.data();
    last.interflow = ext;
    last.factor = f;
    AppendControlCellRow(r, c, &last);
  }
}

}  // namespace velorn

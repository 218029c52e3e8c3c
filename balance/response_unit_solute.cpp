// The solute the copies of response units move (see water_balance.h). A cell of a unit that is
// not its master takes the master's state at the end of the step: its stores hold what the
// master's do, per mm of each part, while its own rain brought its own input and its parts give
// the runoff with its own glacier share. What it holds beyond what its own books allow is solute
// the copy gave it, as the water account's response-unit term books the water:
//
//   booked = (change of the member's solute) - (change of the master's solute)
//            + (master's input - member's input)
//            + (g_master - g_member) * (free-part outflow - glacier-part outflow of the master)
//
// per mm of the cell, with the solute of the stores that GatherSolute sums (on dynamic glaciers
// the glacier-free part weighed 1 - g, the glacier part g; static glaciers keep the solute of
// the whole cell in the cell's stores, their glacier part giving its share of the pack's
// outflow to the glacier storages), the input the rain's concentration times the
// precipitation (less the snow deposition added to it, which brings no solute, and less the
// irrigation water, which brings the solute irrigation booked for the cell), the glacier
// part's outflow what its melt carried off and the free part's the rest of what left the
// master. A glacier evaluation's change of the cells is the evaluation's booking and is kept
// out. The sums are exact and reduced onto process 0, so the booking is the
// same on any number of processes.
#include <omp.h>

#include <cmath>

#include "balance/water_balance.h"
#include "core/exact_sum.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "routing/irrigation_model.h"
#include "snow/snow_model.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

// Per tracer, the values a master shares: its change of solute, its input, its glacier share and
// its glacier part's outflow.
constexpr std::size_t kSoluteChange = 0, kSoluteInput = 1, kSoluteShare = 2,
                      kSoluteGlacierOutflow = 3, kSoluteValues = 4;

}  // namespace

double WaterBalance::PartShare(long r, long c, bool step) const {
  const schneemodellklasse* glaciers = Glaciers();
  if (glaciers == nullptr) return 0.0;
  if (!IsDynamicGlacierMethod(glaciers->glacierMethod))
    return step ? models_.soil->GlacierShare(r, c) : 0.0;
  return step ? StepShare(r, c) : models_.soil->GlacierShare(r, c);
}

bool WaterBalance::BooksUnitSolute() const {
  const unsatzonmodellklasse& soil = *models_.soil;
  if (soil.response_unit_switch == 0 || soil.response_unit_table == nullptr ||
      soil.links.response_units == nullptr || soil.links.master_response_units == nullptr)
    return false;
  for (int32_t t = 1; t <= soil.tracer_count; ++t)
    if (SoluteBooked(t)) return true;
  return false;
}

void WaterBalance::MarkUnitSoluteEvaluation(bool after) {
  if (unit_solute_last_.empty()) return;
  const unsatzonmodellklasse& soil = *models_.soil;
  const auto tracers = static_cast<std::size_t>(soil.tracer_count);
  if (unit_solute_evaluation_.empty())
    for (std::size_t t = 0; t < tracers; ++t)
      unit_solute_evaluation_.emplace_back(diag_, soil.first_local_row, soil.last_local_row,
                                           soil.ncols, soil.nrows);
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    const SoluteStores stores = ResolveSoluteStores(t);
    const GridMatrix& last = unit_solute_last_[static_cast<std::size_t>(t - 1)];
    const GridMatrix& before = unit_solute_evaluation_[static_cast<std::size_t>(t - 1)];
    ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
      for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
        if (!soil.OwnCell(r, c)) continue;
        const double solute = CellSolute(stores, r, c, PartShare(r, c, false));
        // The evaluation's change counts as if it had been there at the last booking.
        if (after)
          last[r][c] += solute - before[r][c];
        else
          before[r][c] = solute;
      }
    });
  }
}

void WaterBalance::BookUnitSolute(bool fluxes) {
  if (!BooksUnitSolute()) return;
  const unsatzonmodellklasse& soil = *models_.soil;
  const GridRegistry* registry = soil.registry;
  const auto tracers = static_cast<std::size_t>(soil.tracer_count);
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  const bool start = unit_solute_last_.empty();
  if (start)
    for (std::size_t t = 0; t < tracers; ++t)
      unit_solute_last_.emplace_back(diag_, soil.first_local_row, soil.last_local_row, soil.ncols,
                                     soil.nrows);
  double** area = CellAreas();
  std::vector<SoluteStores> stores(tracers + 1);
  std::vector<double**> inputs(tracers + 1, nullptr);
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    stores[static_cast<std::size_t>(t)] = ResolveSoluteStores(t);
    if (const int i = registry != nullptr
                          ? registry->FindIdentifier(FormatText("concflux_tracer_%d_input", t))
                          : 0)
      inputs[static_cast<std::size_t>(t)] = (*registry)[i].grid;
  }
  const schneemodellklasse* glaciers = Glaciers();
  const bool irrigation = IrrigationOn();
  // The solute the input brought cell (r, c) in the step: the rain's at the rain's
  // concentration (the snow that deposition added to the precipitation of a cell whose snow was
  // computed (a master) brought none), and irrigation's, which joined the precipitation at the
  // concentration of the water served: the solute the cell received from the rivers and
  // reservoirs, or from an aquifer outside the cell's stores. Water the column's own saturated
  // zone gave for it brings none (the column gave up what the surface received).
  const auto input = [&](int32_t t, long r, long c) {
    double** concentration = inputs[static_cast<std::size_t>(t)];
    if (precipitation_ == nullptr || !(precipitation_[r][c] > soil.nodata)) return 0.0;
    int32_t origin = 0;
    const double irrigated = irrigation ? models_.irrigation->StepAmount(r, c, origin) : 0.0;
    double solute = 0.0;
    if (irrigated > 0.0 && (origin == kIrrigationFromSurfaceWater ||
                            (origin == kIrrigationFromGroundwater && !soil.OwnBaseflow(r, c))))
      solute = models_.irrigation->StepSolute(t, r, c);
    if (concentration == nullptr || !(concentration[r][c] > soil.nodata)) return solute;
    const double deposited = models_.snow != nullptr ? models_.snow->DepositedSnow(r, c) : 0.0;
    return solute + concentration[r][c] * (precipitation_[r][c] - irrigated - deposited);
  };
  if (!start && fluxes) {
    double** units = soil.links.response_units;
    double** masters = soil.links.master_response_units;
    const UnitResults shared = ShareUnitResults(
        *soil.response_unit_table, tracers * kSoluteValues, soil.first_local_row,
        soil.last_local_row, soil.column_ranges,
        [&](long r, long c) { return soil.OwnCell(r, c) && masters[r][c] > soil.nodata; },
        [&](long r, long c, double* out) {
          for (int32_t t = 1; t <= soil.tracer_count; ++t, out += kSoluteValues) {
            out[kSoluteChange] = out[kSoluteInput] = out[kSoluteShare] = 0;
            out[kSoluteGlacierOutflow] = 0;
            if (!SoluteBooked(t)) continue;
            const double g = PartShare(r, c, true);
            out[kSoluteChange] =
                CellSolute(stores[static_cast<std::size_t>(t)], r, c, PartShare(r, c, false)) -
                unit_solute_last_[static_cast<std::size_t>(t - 1)][r][c];
            out[kSoluteInput] = input(t, r, c);
            out[kSoluteShare] = g;
            if (glaciers != nullptr)
              out[kSoluteGlacierOutflow] = glaciers->GlacierPartOutflowSolute(t, r, c);
          }
        });
    // Per thread: [t - 1][index][0 the weight, 1 the booking].
    std::vector<std::vector<ExactSum>> sums(static_cast<std::size_t>(omp_get_max_threads()),
                                            std::vector<ExactSum>(tracers * indexes * 2));
    ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
      std::vector<ExactSum>& own = sums[static_cast<std::size_t>(omp_get_thread_num())];
      for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
        const int32_t s = OwnSubbasin(r, c);
        if (s == 0) continue;
        const double a = area != nullptr && area[r][c] > soil.nodata ? area[r][c] : 1.0;
        const double* master =
            masters[r][c] > soil.nodata ? nullptr : shared.Of(std::trunc(units[r][c]));
        for (int32_t t = 1; t <= soil.tracer_count; ++t) {
          if (!SoluteBooked(t)) continue;
          double booked = 0;
          if (master != nullptr) {
            const double* m = master + static_cast<std::size_t>(t - 1) * kSoluteValues;
            const double change =
                CellSolute(stores[static_cast<std::size_t>(t)], r, c, PartShare(r, c, false)) -
                unit_solute_last_[static_cast<std::size_t>(t - 1)][r][c];
            const double g = PartShare(r, c, true), gm = m[kSoluteShare];
            const double glacier_outflow = m[kSoluteGlacierOutflow];
            const double left = m[kSoluteInput] - m[kSoluteChange];
            const double free_outflow = gm < 1 ? (left - gm * glacier_outflow) / (1.0 - gm) : 0.0;
            booked = change - m[kSoluteChange] + m[kSoluteInput] - input(t, r, c) +
                     (gm - g) * (free_outflow - glacier_outflow);
          }
          const std::size_t base = static_cast<std::size_t>(t - 1) * indexes * 2;
          for (const auto i : {std::size_t{0}, static_cast<std::size_t>(s)}) {
            own[base + 2 * i].Add(a);
            own[base + 2 * i + 1].Add(a * booked);
          }
        }
      }
    });
    const std::vector<ExactSum> all = MergedOnRoot(sums);
    if (soil.rank == 0) {
      unit_solute_.resize(tracers * indexes, 0.0);
      for (std::size_t k = 0; k < tracers * indexes; ++k)
        if (all[2 * k].Value() > 0) unit_solute_[k] += all[2 * k + 1].Value() / all[2 * k].Value();
    }
  }
  // Every own cell's solute now, the start of the next step's changes.
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    const GridMatrix& last = unit_solute_last_[static_cast<std::size_t>(t - 1)];
    const SoluteStores& own = stores[static_cast<std::size_t>(t)];
    ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
      for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c)
        if (soil.OwnCell(r, c)) last[r][c] = CellSolute(own, r, c, PartShare(r, c, false));
    });
  }
}

}  // namespace velorn

// The solute the yearly evaluation of dynamic glaciers moves in or out of the stores (see
// water_balance.h): the stores of a non-evaporating tracer are summed over every own cell as the
// water's are, the glacier-free parts (snow cover, leaves, soil, the aquifer) weighed 1 - g and the
// glacier parts (snow, firn, ice) g, with the solute of the glacier storages of each subbasin;
// their change across the evaluation is its booking, written at the end of the run.
#include <omp.h>

#include <cmath>
#include <cstdio>

#include "balance/water_balance.h"
#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "snow/snow_model.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

double** TracerGrid(const GridRegistry* registry, int32_t t, const std::string& store) {
  const int i =
      registry != nullptr
          ? registry->FindIdentifier(FormatText("concstor_tracer_%d_%s", t, store.c_str()))
          : 0;
  return i > 0 ? (*registry)[i].grid : nullptr;
}

}  // namespace

bool WaterBalance::SoluteBooked(int32_t t) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  return t >= 1 && t <= soil.tracer_count && soil.tracer_definitions != nullptr &&
         soil.tracer_definitions[t].evaporating != 1;
}

WaterBalance::SoluteStores WaterBalance::ResolveSoluteStores(int32_t t) const {
  const GridRegistry* registry = models_.soil->registry;
  SoluteStores stores;
  if (models_.snow != nullptr) stores.free[0] = TracerGrid(registry, t, models_.snow->module_name);
  stores.free[1] = TracerGrid(registry, t, "interception_model");
  stores.glacier[0] = TracerGrid(registry, t, "snow_onGlacier");
  stores.glacier[1] = TracerGrid(registry, t, "firn");
  stores.glacier[2] = TracerGrid(registry, t, "ice");
  if (const int i = registry != nullptr ? registry->FindIdentifier(FormatText(
                                              "concstor_tracer_%d_%s", t, "unsatzon_model"))
                                        : 0)
    stores.column = (*registry)[i].stack;
  for (int32_t l = 1; registry != nullptr; ++l) {
    const int i = registry->FindIdentifier(
        FormatText("concstor_tracer_%d_layer_%d_%s", t, l, "groundwater_flow"));
    if (i <= 0) break;
    stores.aquifer.push_back((*registry)[i].grid);
  }
  return stores;
}

double** WaterBalance::CellAreas() const {
  const GridRegistry* registry = models_.soil->registry;
  const int i = registry != nullptr ? registry->FindIdentifier("RelCellArea") : 0;
  return i > 0 ? (*registry)[i].grid : nullptr;
}

std::vector<ExactSum> WaterBalance::MergedOnRoot(const std::vector<std::vector<ExactSum>>& sums) {
  std::vector<ExactSum> all = sums[0];
  for (std::size_t thread = 1; thread < sums.size(); ++thread)
    for (std::size_t k = 0; k < all.size(); ++k) all[k].Merge(sums[thread][k]);
  ReduceExactSumsToRoot(all);
  return all;
}

double WaterBalance::CellSolute(const SoluteStores& stores, long r, long c, double g) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  double free = 0, glacier = 0;
  for (double** grid : stores.free)
    if (grid != nullptr && grid[r][c] > soil.nodata) free += grid[r][c];
  for (int32_t k = 0; stores.column != nullptr && k <= soil.layerCount; ++k)
    if (stores.column[r][c][k] > soil.nodata) free += stores.column[r][c][k];
  for (double** grid : stores.aquifer)
    if (grid[r][c] > soil.nodata) free += grid[r][c];
  for (double** grid : stores.glacier)
    if (grid != nullptr && grid[r][c] > soil.nodata) glacier += grid[r][c];
  return (1.0 - g) * free + g * glacier;
}

int32_t WaterBalance::OwnSubbasin(long r, long c) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  if (!soil.OwnCell(r, c)) return 0;
  const auto code = static_cast<std::size_t>(soil.soil_zone_grid[r][c]);
  const int32_t s = code < soil.soil_zone_index.size() ? soil.soil_zone_index[code] : 0;
  return s >= 1 && s <= subbasins_ ? s : 0;
}

std::vector<double> WaterBalance::GatherSolute() {
  const unsatzonmodellklasse& soil = *models_.soil;
  const schneemodellklasse& snow = *models_.snow;
  const auto tracers = static_cast<std::size_t>(soil.tracer_count);
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  // Per thread: [t - 1][index][0 the weight, 1 the cells, 2 the solute].
  std::vector<std::vector<ExactSum>> sums(static_cast<std::size_t>(omp_get_max_threads()),
                                          std::vector<ExactSum>(tracers * indexes * 3));
  double** area = CellAreas();
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    const SoluteStores stores = ResolveSoluteStores(t);
    const auto base = static_cast<std::size_t>(t - 1) * indexes * 3;
    ForEachRow(soil.first_local_row, soil.last_local_row, [&](long r) {
      std::vector<ExactSum>& own = sums[static_cast<std::size_t>(omp_get_thread_num())];
      for (long c = soil.column_ranges[r].first; c <= soil.column_ranges[r].last; ++c) {
        const int32_t s = OwnSubbasin(r, c);
        if (s == 0) continue;
        const double a = area != nullptr && area[r][c] > soil.nodata ? area[r][c] : 1.0;
        const double solute = CellSolute(stores, r, c, soil.GlacierShare(r, c));
        for (const auto i : {std::size_t{0}, static_cast<std::size_t>(s)}) {
          own[base + 3 * i].Add(a);
          own[base + 3 * i + 1].Add(1.0);
          own[base + 3 * i + 2].Add(a * solute);
        }
      }
    });
  }
  const std::vector<ExactSum> all = MergedOnRoot(sums);
  std::vector<double> solute(tracers * indexes, 0.0);
  if (soil.rank != 0) return solute;
  for (std::size_t t = 1; t <= tracers; ++t) {
    const std::size_t base = (t - 1) * indexes;
    ExactSum basin;
    for (std::size_t i = 0; i < indexes; ++i) {
      const double weight = all[3 * (base + i)].Value();
      if (!(weight > 0)) continue;
      solute[base + i] = all[3 * (base + i) + 2].Value() / weight;
      if (i == 0) continue;
      // The glacier storages' solute, as GlacierStorages counts their water.
      const double count = all[3 * (base + i) + 1].Value();
      const double held =
          snow.GlacierStorageSolute(static_cast<int32_t>(t), static_cast<int32_t>(i)) *
          SubbasinGlacierShare(static_cast<int32_t>(i), weight, count);
      solute[base + i] += held;
      basin.Add(held * weight);
    }
    const double weight = all[3 * base].Value();
    if (weight > 0) solute[base] += basin.Value() / weight;
  }
  return solute;
}

void WaterBalance::WriteEvaluationSolute(const std::string& output_directory) const {
  if (models_.soil->rank != 0) return;
  if (!evaluation_solute_.empty())
    WriteSoluteBooking(output_directory + "glacier_evaluation_solute.txt",
                       "solute the yearly glacier evaluations moved into (+) or out of (-) the "
                       "stores over the run",
                       {{"", &evaluation_solute_}});
  if (!unit_solute_.empty())
    WriteSoluteBooking(output_directory + "response_unit_solute.txt",
                       "solute the copies of the response units' masters gave (+) or took (-) "
                       "from the other cells of the units over the run",
                       {{"", &unit_solute_}});
}

void WaterBalance::WriteSoluteBooking(const std::string& path, const std::string& comment,
                                      const SoluteRows& rows) const {
  const unsatzonmodellklasse& soil = *models_.soil;
  std::string text = "# " + comment + ", mm x concentration over the area\ntracer";
  for (int32_t s = 1; s <= subbasins_; ++s)
    text += FormatText("\t%d", static_cast<int>(soil.subbasinCodes[static_cast<std::size_t>(s)]));
  text += "\tbasin\n";
  const auto indexes = static_cast<std::size_t>(subbasins_ + 1);
  for (int32_t t = 1; t <= soil.tracer_count; ++t) {
    if (!SoluteBooked(t)) continue;
    const std::size_t base = static_cast<std::size_t>(t - 1) * indexes;
    for (const auto& [suffix, booked] : rows) {
      text += soil.tracer_definitions[t].name + suffix;
      for (std::size_t i = 1; i <= indexes; ++i) {
        const std::size_t k = base + i % indexes;
        text += FormatText("\t%.9f", k < booked->size() ? (*booked)[k] : 0.0);
      }
      text += "\n";
    }
  }
  CheckedFile file(diag_, kWriteErrorCode, path, "w");
  file.Write(text);
  file.Close();
}

}  // namespace velorn

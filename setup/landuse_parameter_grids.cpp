// defaultini: creation and daily update of the land-use parameter grids, and the daily step of
// dynamic phenology over the grids (the grids of tables/landuse_parameter_grids.h).
//
// Creation scans the table (dynamic phenology in use, per-cell fixpoint days held, the largest
// fixpoint count), finds "albedo", registers or reuses the grids layer by layer (the stacks of
// per-cell fixpoint days are registered once the sub-models have registered theirs, so that
// they end no grid search), fills the phenology state and evaluates every grid once at the
// start date. The update adds each step's temperature to the daily mean and, at the end of a
// day, completes the mean, shifts the seven-day history, runs dynamic phenology, evaluates the
// parameters with the entry's switch bits and the limits, keeps the vegetation period, and
// flags the vegetation-period statistics of every registered grid on the table's reset and
// write days. The date of the last evaluation, with dynamic phenology's state, goes into the
// storage content file, and a warm start evaluates at it with that state. Cells
// of entries with a fixed calendar are grouped at creation into curves (layer, entry,
// altitude-shifted days), evaluated once a day and copied to their cells; the other cells
// evaluate on their own.
#include "tables/landuse_parameter_grids.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/model_date.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"
#include "setup/landuse_grid_work.h"
#include "tables/dynamic_phenology.h"

namespace velorn {
namespace landuse_work {

// --- Creation -----------------------------------------------------------------------------

void LanduseGridWork::ScanTable() {
  const int count = s_.landuse_table[0].GetCode();
  for (int i = 1; i <= count; ++i) {
    const LanduseRecord& e = s_.landuse_table[i];
    g_.dynamic_phenology = g_.dynamic_phenology || IsDynamic(e.GetMethod());
    g_.cell_fixpoint_days = g_.cell_fixpoint_days || e.GetMethod() == 5 || e.GetMethod() == 6;
    g_.max_fixpoints = std::max(g_.max_fixpoints, e.GetFixpointCount());
  }
}

void LanduseGridWork::RegisterNew(const std::string& name, double** grid, double*** stack,
                                  int levels) {
  const int index = s_.registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex) {
    ::velorn::FreeMatrix(grid);
    ::velorn::Free3dMatrix(stack);
    ThrowFatal(diag_, kRegistryFullCode, "FATAL: no free grid found in memory (at position ",
               kRefusedGridIndex, ")\n");
  }
  s_.RegisterGrid(index, name, grid, stack, levels, name, 0, s_.first_local_row, s_.last_local_row);
  ++s_.registered_grid_count;
}

// The registered grid `name`, or a new one for this process's rows; with `fill` every cell of a
// new grid starts at `preset`.
double** LanduseGridWork::Grid(const std::string& name, double preset, bool fill) {
  const int index = s_.registry->FindIdentifier(name);
  if (index > 0 && (*s_.registry)[index].grid != nullptr) return (*s_.registry)[index].grid;
  GridMatrix grid(diag_, s_.first_local_row, s_.last_local_row, s_.ncols, s_.nrows);
  if (fill) {
    ForEachRow(s_.first_local_row, s_.last_local_row,
               [&](long r) { std::fill(grid[r], grid[r] + s_.ncols + 1, preset); });
  }
  double** data = grid.release();
  RegisterNew(name, data, nullptr, 0);
  return data;
}

// The stack of per-cell fixpoint days of one layer: m + 1 values per cell, index 0 at 0, the
// rest nodata until the phenology state is filled.
double*** LanduseGridWork::FixpointStack(const std::string& name) {
  const int index = s_.registry->FindIdentifier(name);
  if (index > 0 && (*s_.registry)[index].stack != nullptr) {
    const GridEntry& entry = (*s_.registry)[index];
    if (entry.level_count < g_.max_fixpoints)
      ThrowFatal(diag_, kGridFormatCode, "FATAL: the stack \"", name, "\" holds ",
                 entry.level_count + 1, " values per cell, the land-use table needs ",
                 g_.max_fixpoints + 1);
    return entry.stack;
  }
  StackMatrix stack(diag_, s_.first_local_row, s_.last_local_row, s_.ncols, g_.max_fixpoints,
                    s_.nrows);
  ForEachRow(s_.first_local_row, s_.last_local_row, [&](long r) {
    for (long c = 1; c <= s_.ncols; ++c)
      std::fill(stack[r][c] + 1, stack[r][c] + g_.max_fixpoints + 1, s_.nodata);
  });
  // Registered after the sub-models' grids (RegisterLanduseStacks).
  double*** data = stack.get();
  g_.unregistered_stacks.emplace_back(name, std::move(stack));
  return data;
}

void LanduseGridWork::RegisterUnregisteredStacks() {
  for (auto& [name, stack] : g_.unregistered_stacks)
    RegisterNew(name, nullptr, stack.release(), g_.max_fixpoints);
  g_.unregistered_stacks.clear();
}

void LanduseGridWork::CreateGrids() {
  const int albedo = s_.registry->FindIdentifier("albedo");
  if (albedo == 0 || (*s_.registry)[albedo].grid == nullptr)
    ThrowFatal(diag_, kRegistryFullCode,
               "FATAL: Albedo Grid not found for use within Landuse-Table.\n This grid must be "
               "read in as standard or variable grid (there, it can be created automatically)");
  g_.albedo = (*s_.registry)[albedo].grid;
  g_.evaporation_resistance = Grid("SurfaceEvaporationResistance", 0, false);
  g_.layers.resize(static_cast<std::size_t>(g_.layer_count) + 1);
  for (int l = 1; l <= g_.layer_count; ++l) {
    LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
    lg.root_depth = Grid(LayerName("root_depth", l), 0, false);
    lg.vegetation_coverage = Grid(LayerName("vegetation_coverage_degree", l), 0, false);
    lg.leaf_area_index = Grid(LayerName("leaf_area_index", l), 0, false);
    lg.canopy_resistance = Grid(LayerName("SurfaceCanopyResistance", l), 0, false);
    lg.interception_resistance = Grid(LayerName("SurfaceIntercepResistance", l), 0, false);
    lg.roughness_length = Grid(LayerName("RoughnessLength", l), 0, false);
    lg.vegetation_start = Grid(LayerName("VegetationStart", l), 0, false);
    lg.vegetation_stop = Grid(LayerName("VegetationStop", l), 0, false);
    lg.vegetation_duration = Grid(LayerName("VegetationDuration", l), 0, false);
  }
  if (!g_.dynamic_phenology) return;
  g_.temperature_avg = Grid("TemperatureAVG", 0, false);
  g_.leaf_fall_day = Grid("StartDayOfLeaveFall", 0, false);
  g_.movavg7 = Grid("TemperatureMOVAVG7", 0, false);
  g_.movavg7_index = s_.registry->FindIdentifier("TemperatureMOVAVG7");
  g_.history = StackMatrix(diag_, s_.first_local_row, s_.last_local_row, s_.ncols, kHistoryDays - 1,
                           s_.nrows);
  // New phenology grids start at nodata: the start-date evaluation turns these negative values
  // into the entry's initial state (a start day "not found", empty sums).
  for (int l = 1; l <= g_.layer_count; ++l) {
    LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
    lg.forcing_sum = Grid(LayerName("SumOfForcingUnits", l), s_.nodata, true);
    lg.pheno_start = Grid(LayerName("Pheno_start", l), s_.nodata, true);
    lg.chilling_sum = Grid(LayerName("SumOfChillingUnits", l), s_.nodata, true);
    lg.forcing_threshold = Grid(LayerName("FStar_ForcingThreshold", l), s_.nodata, true);
    lg.cold_days = GridMatrix(diag_, s_.first_local_row, s_.last_local_row, s_.ncols, s_.nrows);
  }
  if (!g_.cell_fixpoint_days) return;
  for (int l = 1; l <= g_.layer_count; ++l)
    g_.layers[static_cast<std::size_t>(l)].fixpoint_days =
        FixpointStack(LayerName("MultipleStartTimes", l));
}

void LanduseGridWork::InitialisePhenology() {
  if (!g_.dynamic_phenology) return;
  // Every cell of the own rows: zero where there is land use, nodata elsewhere.
  double** landuse = s_.landuse_layers[0];
  ForEachRow(s_.first_local_row, s_.last_local_row, [&](long r) {
    for (long c = 1; c <= s_.ncols; ++c) {
      const bool land =
          landuse != nullptr && landuse[r] != nullptr && !IsNodata(landuse[r][c], s_.nodata);
      const double value = land ? 0.0 : s_.nodata;
      g_.temperature_avg[r][c] = value;
      g_.leaf_fall_day[r][c] = value;
      g_.movavg7[r][c] = value;
      std::fill(g_.history[r][c], g_.history[r][c] + kHistoryDays, value);
    }
  });
  if (!g_.cell_fixpoint_days) return;
  const int start_day = DayOfYear(s_.start_date);
  ForEachLanduseCell([&](long r, long c) {
    for (int l = 1; l <= g_.layer_count; ++l) {
      double* p = g_.layers[static_cast<std::size_t>(l)].fixpoint_days[r][c];
      const LanduseRecord* e = EntryAt(l, r, c);
      if (e == nullptr) continue;
      p[0] = 0;
      for (int i = 1; i <= e->GetFixpointCount(); ++i) {
        const int day = e->ShiftedFixpointDay(i, Altitude(r, c));
        const bool by_threshold = e->GetMethod() == 5 && e->GetForcingThreshold(i) >= 0;
        p[i] = by_threshold && day > start_day ? -1.0 : day;
      }
    }
  });
}

void LanduseGridWork::LinkEntries() {
  PhenologyLinks& links = g_.links;
  links = PhenologyLinks{};
  if (g_.dynamic_phenology) {
    links.start_day.assign(static_cast<std::size_t>(g_.layer_count) + 1, nullptr);
    links.forcing_sum.assign(static_cast<std::size_t>(g_.layer_count) + 1, nullptr);
    links.fixpoint_days.assign(static_cast<std::size_t>(g_.layer_count) + 1, nullptr);
    for (int l = 1; l <= g_.layer_count; ++l) {
      const LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
      links.start_day[static_cast<std::size_t>(l)] = lg.pheno_start;
      links.forcing_sum[static_cast<std::size_t>(l)] = lg.forcing_sum;
      links.fixpoint_days[static_cast<std::size_t>(l)] = lg.fixpoint_days;
    }
  }
  const int count = s_.landuse_table[0].GetCode();
  for (int i = 1; i <= count; ++i) {
    LanduseRecord& e = s_.landuse_table[i];
    e.LinkPhenology(IsDynamic(e.GetMethod()) && g_.dynamic_phenology ? &links : nullptr);
  }
}

const LanduseRecord* LanduseGridWork::EntryAt(int l, long r, long c) const {
  double** codes = s_.landuse_layers[static_cast<std::size_t>(l)];
  if (codes == nullptr || codes[r] == nullptr) return nullptr;
  const double value = codes[r][c];
  if (IsNodata(value, s_.nodata) || IsMissing(value)) return nullptr;
  const int index = static_cast<int>(value);
  const int count = s_.landuse_table[0].GetCode();
  if (index < 1 || index > count)
    ThrowFatal(diag_, kUnknownLanduseCode, "FATAL: land use ", value, " in grid ",
               LayerName("landuse", l), " (row ", r, ", column ", c,
               ")\nis not present in the land use table in the control file");
  return &s_.landuse_table[index];
}

void LanduseGridWork::SetLayerNodata(int l, long r, long c, bool creation) {
  LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
  const double nd = s_.nodata;
  if (l == 1) {
    g_.albedo[r][c] = nd;
    g_.evaporation_resistance[r][c] = nd;
  }
  for (double** grid :
       {lg.root_depth, lg.vegetation_coverage, lg.leaf_area_index, lg.canopy_resistance,
        lg.interception_resistance, lg.roughness_length, lg.vegetation_start, lg.vegetation_stop})
    grid[r][c] = nd;
  if (!creation) return;
  lg.vegetation_duration[r][c] = nd;
  if (!g_.dynamic_phenology) return;
  for (double** grid : {lg.forcing_sum, lg.pheno_start, lg.chilling_sum, lg.forcing_threshold})
    grid[r][c] = nd;
}

// Negative values of the phenology grids (new grids start at nodata, a reused grid may carry
// them) become the entry's initial state.
void LanduseGridWork::CorrectPhenology(const LanduseRecord& e, LanduseLayerGrids& lg, long r,
                                       long c) {
  if (lg.forcing_sum[r][c] < 0) lg.forcing_sum[r][c] = 0;
  if (lg.chilling_sum[r][c] < 0) lg.chilling_sum[r][c] = 0;
  if (!HasDynamicStart(e.GetMethod())) return;
  if (lg.pheno_start[r][c] < 0) lg.pheno_start[r][c] = e.GetPhenologyStartDay();
  if (lg.forcing_threshold[r][c] < 0) lg.forcing_threshold[r][c] = e.GetFStar();
}

// --- Update ---------------------------------------------------------------------------------

void LanduseGridWork::FindInputs() {
  if (g_.inputs_found) return;
  const int temperature = s_.registry->FindIdentifier("temperature");
  if (temperature == 0 || (*s_.registry)[temperature].grid == nullptr)
    ThrowFatal(diag_, kGridMissingCode, "FATAL: could not find grid with label \"", "temperature",
               "\". \nThis grid must be present (either by interpolating ",
               "or by reading or as standard grid) for using dynamic phenology");
  g_.temperature = (*s_.registry)[temperature].grid;
  const int theta = s_.registry->FindIdentifier("MeanThetaInRootZone");
  g_.root_zone_theta = theta > 0 ? (*s_.registry)[theta].grid : nullptr;
  g_.inputs_found = true;
}

// Adds the step's temperature weighted by its length; CompleteDailyMean divides by the day's
// minutes, so the mean holds whatever step length the caller passes.
void LanduseGridWork::AccumulateTemperature(double minutes) {
  ForEachLanduseCell(
      [&](long r, long c) { g_.temperature_avg[r][c] += minutes * g_.temperature[r][c]; });
  g_.accumulated_minutes += minutes;
}

void LanduseGridWork::CompleteDailyMean() {
  const double minutes = g_.accumulated_minutes;
  g_.day_counter = std::min(g_.day_counter + 1, kHistoryDays);
  const double days = g_.day_counter;
  ForEachLanduseCell([&](long r, long c) {
    double& mean = g_.temperature_avg[r][c];
    if (minutes > 0) mean /= minutes;
    double* history = g_.history[r][c];
    std::copy_backward(history, history + kHistoryDays - 1, history + kHistoryDays);
    history[0] = mean;
    double sum = 0;
    for (int k = 0; k < kHistoryDays; ++k) sum += history[k];
    g_.movavg7[r][c] = sum / days;
  });
}

void LanduseGridWork::ResetDailyMean() {
  ForEachLanduseCell([&](long r, long c) { g_.temperature_avg[r][c] = 0; });
  g_.accumulated_minutes = 0;
}

void LanduseGridWork::FlagVegetationStatistics(int d) {
  const LanduseRecord& header = s_.landuse_table[0];
  const bool reset = d == header.GetJDVegetationResetForBalance();
  const bool write = d == header.GetJDVegetationWriteForBalance();
  if (!reset && !write) return;
  for (int index = 1; index <= kLastGridIndex; ++index) {
    GridEntry& entry = (*s_.registry)[index];
    if (entry.IsFree()) continue;
    if (reset) entry.vegetation_period_restart = 1;
    if (write) entry.vegetation_period_end = 1;
  }
}

void LanduseGridWork::CountVegetationDuration() {
  ForEachLanduseCell([&](long r, long c) {
    for (int l = 1; l <= g_.layer_count; ++l) {
      LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
      if (EntryAt(l, r, c) == nullptr) {
        lg.vegetation_duration[r][c] = s_.nodata;
      } else if (lg.vegetation_start[r][c] >= 0 && lg.vegetation_stop[r][c] <= 0) {
        lg.vegetation_duration[r][c] += 1;
      }
    }
  });
}

void LanduseGridWork::StepPhenologyCells(int d) {
  ForEachLanduseCell([&](long r, long c) {
    for (int l = 1; l <= g_.layer_count; ++l) {
      const LanduseRecord* e = EntryAt(l, r, c);
      if (e == nullptr || !IsDynamic(e->GetMethod())) continue;
      LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
      PhenologyWeather weather;
      weather.temperature = g_.temperature_avg[r][c];
      weather.movavg7 = g_.movavg7[r][c];
      if (g_.root_zone_theta != nullptr && g_.root_zone_theta[r] != nullptr)
        weather.stress = MoistureStress(g_.root_zone_theta[r][c], e->GetHReduDry());
      PhenologyState state;
      state.forcing_sum = lg.forcing_sum[r][c];
      state.start_day = lg.pheno_start[r][c];
      state.chilling_sum = lg.chilling_sum[r][c];
      state.threshold = lg.forcing_threshold[r][c];
      state.leaf_fall_day = g_.leaf_fall_day[r][c];
      state.cold_days = lg.cold_days[r][c];
      state.fixpoint_days = lg.fixpoint_days != nullptr ? lg.fixpoint_days[r][c] : nullptr;
      StepPhenology(*e, d, weather, Altitude(r, c), state);
      lg.forcing_sum[r][c] = state.forcing_sum;
      lg.pheno_start[r][c] = state.start_day;
      lg.chilling_sum[r][c] = state.chilling_sum;
      lg.forcing_threshold[r][c] = state.threshold;
      g_.leaf_fall_day[r][c] = state.leaf_fall_day;
      lg.cold_days[r][c] = state.cold_days;
    }
  });
}

// --- The phenology state of a warm start ----------------------------------------------------

std::size_t LanduseGridWork::PhenologyValuesPerCell() const {
  const std::size_t fixpoints =
      g_.cell_fixpoint_days ? static_cast<std::size_t>(g_.max_fixpoints) + 1 : 0;
  return 3 + kHistoryDays + static_cast<std::size_t>(g_.layer_count) * (5 + fixpoints);
}

std::string LanduseGridWork::PhenologyStateLines() {
  // Each row's lines are formed in the row loop and written in row order.
  std::vector<std::string> rows(
      static_cast<std::size_t>(s_.last_local_row - s_.first_local_row + 1));
  ForEachRow(s_.first_local_row, s_.last_local_row, [&](long r) {
    std::string& text = rows[static_cast<std::size_t>(r - s_.first_local_row)];
    ForEachLanduseCellOfRow(r, [&](long c) {
      text += std::to_string(r) + " " + std::to_string(c);
      ForEachPhenologyValue(r, c, [&](double& value) { text += FormatText(" %.17g", value); });
      text += "\n";
    });
  });
  std::string lines;
  for (const std::string& row : rows) lines += row;
  return lines;
}

bool LanduseGridWork::RestorePhenologyState(
    const std::vector<std::pair<long, std::vector<double>>>& cells,
    std::pair<long, long>& missing) {
  std::atomic<long> first_missing{-1};
  ForEachRow(s_.first_local_row, s_.last_local_row, [&](long r) {
    ForEachLanduseCellOfRow(r, [&](long c) {
      const long key = CellKey(r, c);
      const auto at = std::lower_bound(cells.begin(), cells.end(), key,
                                       [](const auto& cell, long k) { return cell.first < k; });
      if (at == cells.end() || at->first != key) {
        // The first such cell in row order, whichever thread finds it.
        long seen = first_missing.load();
        while ((seen < 0 || key < seen) && !first_missing.compare_exchange_weak(seen, key)) {
        }
        return;
      }
      const double* v = at->second.data();
      ForEachPhenologyValue(r, c, [&](double& value) { value = *v++; });
    });
  });
  const long key = first_missing.load();
  if (key < 0) return true;
  missing = {key / (s_.ncols + 1), key % (s_.ncols + 1)};
  return false;
}

}  // namespace landuse_work

using landuse_work::LanduseGridWork;

// --- defaultini ---------------------------------------------------------------------------

void defaultini::generateMultiLayerParameterGrids(int32_t layer_count) {
  if (layer_count < 1 || landuse_table == nullptr || registry == nullptr ||
      landuse_layers.size() <= static_cast<std::size_t>(layer_count) ||
      landuse_layers[0] == nullptr)
    return;
  auto grids = std::make_shared<LanduseParameterGrids>();
  grids->layer_count = layer_count;
  LanduseGridWork work(*this, *grids);
  work.ScanTable();
  work.CreateGrids();
  landuse_grids = grids;
  work.InitialisePhenology();
  work.LinkEntries();
  work.BuildCurves();
  const ModelDate first = FirstParameterDate(start_date, GetTimeShiftHours());
  work.EvaluateAll(first, true);
  grids->evaluated = first;
}

void defaultini::UpdateLanduseParameterGrids(int64_t hour, int64_t day, int64_t month, int64_t year,
                                             double time_step_minutes) {
  if (!landuse_grids) return;
  LanduseParameterGrids& grids = *landuse_grids;
  LanduseGridWork work(*this, grids);
  if (grids.dynamic_phenology) {
    work.FindInputs();
    work.AccumulateTemperature(time_step_minutes);
  }
  // The day's parameters are set in the step that ends it, before the evapotranspiration of
  // that step; the steps before keep those of the day before.
  if (hour + static_cast<int64_t>(GetTimeShiftHours()) == 24) {
    const std::string message =
        FormatText("INFO: %20s %ld.%ld.%ld %ld. h", "actual parameters", static_cast<long>(day),
                   static_cast<long>(month), static_cast<long>(year), static_cast<long>(hour));
    Diag() << message << "[end-entry]";
    if (grids.dynamic_phenology) {
      work.CompleteDailyMean();
      if (grids.movavg7_index > 0) WriteGridOutput(grids.movavg7_index, 1, false);
    }
    const ModelDate date{year, month, day, hour};
    const int d = work.DayOfYear(date);
    if (grids.dynamic_phenology) UpdateDynamicPhenology(d, grids.layer_count);
    work.EvaluateAll(date, false);
    grids.evaluated = date;
    if (grids.dynamic_phenology) work.ResetDailyMean();
    work.FlagVegetationStatistics(d);
  }
  work.CountVegetationDuration();
}

namespace {

constexpr const char* kLanduseSection = "[landuse_parameters]";
constexpr const char* kPhenologyKey = "phenology";
constexpr int kHistoryDaysStored = landuse_work::kHistoryDays;
constexpr int kStateContentCode = 71;  // a storage content file this run cannot continue from

}  // namespace

void defaultini::AppendLanduseEvaluationDate(const std::string& file_name) {
  if (!landuse_grids) return;
  std::string path = file_name;
  PrefixDirectory(output_directory, path);
  const ModelDate& date = landuse_grids->evaluated;
  CheckedFile file(Diag(), kWriteErrorCode, path, "a");
  file.Printf("%s\n%ld %ld %ld %ld (year, month, day and hour of the last evaluation)\n",
              kLanduseSection, static_cast<long>(date.year), static_cast<long>(date.month),
              static_cast<long>(date.day), static_cast<long>(date.hour));
  // Dynamic phenology's state, which no grid of the state holds whole (the seven-day history,
  // the cold days, the day's mean so far), goes with the date: a warm start continues it.
  if (landuse_grids->dynamic_phenology) {
    LanduseGridWork work(*this, *landuse_grids);
    file.Printf(
        "%s %d %.17g %zu (days in the seven-day history, minutes in the day's mean so "
        "far, values per cell; then row, column and values of each land-use cell)\n",
        kPhenologyKey, landuse_grids->day_counter, landuse_grids->accumulated_minutes,
        work.PhenologyValuesPerCell());
    file.Write(work.PhenologyStateLines());
  }
  file.Printf("\n");
  file.Close();
}

void defaultini::ContinueLanduseParameters(const std::string& file_name, bool keep_albedo) {
  if (!landuse_grids) return;
  // The file is one of the stored state: it is read from the initial-state folder, like every
  // state file (under its manifest), never from the working folder.
  std::string path = file_name;
  PrefixDirectory(output_settings.initial_state_directory, path);
  std::ifstream in(path);
  std::string line;
  bool found = false;
  while (!found && std::getline(in, line)) found = line.find(kLanduseSection) != std::string::npos;
  std::string stored;  // the line of the date, as read
  while (found && stored.find_first_not_of(" \t\r") == std::string::npos &&
         std::getline(in, stored)) {
  }
  long year = 0, month = 0, day = 0, hour = -1;
  std::size_t at = 0;
  const bool read = found && ScanValue(stored, at, year) && ScanValue(stored, at, month) &&
                    ScanValue(stored, at, day) && ScanValue(stored, at, hour);
  const bool valid = read && year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
                     day <= DaysInMonth(year, month) && hour >= 0 && hour <= 24;
  // Dynamic phenology's state after the date (up to the blank line that ends the section):
  // its line of counts, then a line per land-use cell of the process.
  LanduseParameterGrids& grids = *landuse_grids;
  LanduseGridWork work(*this, grids);
  bool has_state = false;
  std::string problem;  // what makes the stored state unreadable, "" when nothing
  int state_days = 0;
  double state_minutes = 0;
  std::vector<std::pair<long, std::vector<double>>> cells;
  for (std::string line;
       valid && grids.dynamic_phenology && problem.empty() && std::getline(in, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '[') break;
    std::size_t pos = 0;
    if (!has_state) {
      has_state = line.starts_with(kPhenologyKey);
      if (!has_state) continue;
      pos = std::string(kPhenologyKey).size();
      long per_cell = 0;
      if (!ScanValue(line, pos, state_days) || !ScanValue(line, pos, state_minutes) ||
          !ScanValue(line, pos, per_cell) || state_days < 0 || state_days > kHistoryDaysStored ||
          !(state_minutes >= 0 && state_minutes <= 1440))
        problem = "a line of counts \"" + line + "\" that cannot be read";
      else if (per_cell != static_cast<long>(work.PhenologyValuesPerCell()))
        problem = FormatText(
            "%ld values per cell of dynamic phenology, this run's land-use "
            "table has %zu",
            per_cell, work.PhenologyValuesPerCell());
      continue;
    }
    long r = 0, c = 0;
    std::vector<double> values(work.PhenologyValuesPerCell());
    bool read = ScanValue(line, pos, r) && ScanValue(line, pos, c) && r >= first_local_row &&
                r <= last_local_row && c >= 1 && c <= ncols;
    for (double& value : values) read = read && ScanValue(line, pos, value) && std::isfinite(value);
    if (!read) {
      problem = "a line \"" + line.substr(0, 80) + "\" that is no state of a cell of its rows";
      break;
    }
    cells.emplace_back(work.CellKey(r, c), std::move(values));
  }
  std::sort(cells.begin(), cells.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  // Each process reads its own file: all of them hold the section or none does, and all hold
  // the same date (collective: the largest of each number and of its negative); with dynamic
  // phenology all or none hold its state.
  constexpr double kNone = -1e300;
  std::vector<double> seen = {found ? 1.0 : 0.0};
  for (const double sign : {1.0, -1.0})
    for (const long number : {year, month, day, hour})
      seen.push_back(valid ? sign * static_cast<double>(number) : kNone);
  seen.push_back(has_state ? 1.0 : 0.0);
  seen.push_back(has_state ? -1.0 : 0.0);
  AllReduceMaximum(seen);
  if (seen[0] == 0) {
    Diag() << "WARNING: no section " << kLanduseSection << " in the storage content file " << path
           << ": the land-use parameters are those a run begins with until the first day ends"
           << "[end-entry]";
    return;
  }
  AgreeOnFailure(Diag(), [&] {
    if (found) CheckStateFile(Diag(), path);
    if (!found)
      ThrowFatal(Diag(), kStateContentCode, "FATAL: the storage content file ", path,
                 " holds no section ", kLanduseSection,
                 ", which those of the other processes hold: the land-use parameters of a warm "
                 "start cannot be those of two dates");
    if (!valid)
      ThrowFatal(Diag(), kStateContentCode, "FATAL: the section ", kLanduseSection,
                 " of the storage content file ", path,
                 " holds no date (year, month, day and hour) of the last evaluation: \"", stored,
                 "\"");
    for (int i = 1; i <= 4; ++i)
      if (seen[i] != -seen[i + 4])
        ThrowFatal(Diag(), kStateContentCode, "FATAL: the section ", kLanduseSection,
                   " of the storage content file ", path, " holds the date \"", stored,
                   "\", those of other processes another: the state is not of one run");
    if (!grids.dynamic_phenology || seen[9] == 0) return;
    if (!has_state)
      ThrowFatal(Diag(), kStateContentCode, "FATAL: the section ", kLanduseSection,
                 " of the storage content file ", path,
                 " holds no state of dynamic phenology, which those of the other processes hold");
    if (!problem.empty())
      ThrowFatal(Diag(), kStateContentCode, "FATAL: the section ", kLanduseSection,
                 " of the storage content file ", path, " holds ", problem);
    std::pair<long, long> missing;
    if (!work.RestorePhenologyState(cells, missing))
      ThrowFatal(Diag(), kStateContentCode, "FATAL: the section ", kLanduseSection,
                 " of the storage content file ", path,
                 " holds no state of dynamic phenology for the land-use cell of row ",
                 missing.first, ", column ", missing.second, ": the state is not of this basin");
    grids.day_counter = state_days;
    grids.accumulated_minutes = state_minutes;
  });
  if (grids.dynamic_phenology && seen[9] == 0)
    Diag() << "WARNING: no state of dynamic phenology in the section " << kLanduseSection
           << " of the storage content file " << path
           << ": its sums, start days and seven-day history begin anew"
           << "[end-entry]";
  const ModelDate date{year, month, day, hour};
  // The snow model's state holds the albedo the last step left: the evaluation keeps it.
  std::vector<double> albedo;
  const auto row_at = [&](long r) {
    return static_cast<std::size_t>((r - first_local_row) * ncols);
  };
  if (keep_albedo) {
    albedo.resize(row_at(last_local_row + 1));
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      std::copy_n(grids.albedo[r] + 1, ncols, albedo.begin() + row_at(r));
    });
  }
  work.EvaluateAll(date, true);
  grids.evaluated = date;
  if (keep_albedo)
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      std::copy_n(albedo.begin() + row_at(r), ncols, grids.albedo[r] + 1);
    });
}

void defaultini::RegisterLanduseStacks() {
  if (!landuse_grids) return;
  LanduseGridWork(*this, *landuse_grids).RegisterUnregisteredStacks();
}

void defaultini::UpdateDynamicPhenology(int day_of_year, int32_t /*layer_count*/) {
  if (!landuse_grids || !landuse_grids->dynamic_phenology) return;
  LanduseGridWork work(*this, *landuse_grids);
  work.StepPhenologyCells(day_of_year);
}

}  // namespace velorn
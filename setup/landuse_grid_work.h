// LanduseGridWork: the steps of creation and daily update of the land-use parameter grids, with
// access to the settings object's fields; shared by setup/landuse_parameter_grids.cpp (creation,
// update, dynamic phenology) and setup/landuse_curves.cpp (the per-cell and per-curve
// evaluation of the parameters). Internal to these two files; everyone else calls defaultini.
//
// Threads: the cell loops run in ForEachRow; a step writes only its own cells' values.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "setup/defaultini.h"
#include "tables/landuse_parameter_grids.h"

namespace velorn::landuse_work {
// Days of the temperature history behind "TemperatureMOVAVG7".
inline constexpr int kHistoryDays = 7;
// Lower limits of the evaluated parameters.
inline constexpr double kMinimumRootDepth = 0.01;
inline constexpr double kMinimumRoughnessLength = 0.01;

// Switch bits of the parameters (useInternalParameters).
inline constexpr int kBitAlbedo = 1;
inline constexpr int kBitEvaporationResistance = 2;
inline constexpr int kBitCanopyResistance = 4;
inline constexpr int kBitInterceptionResistance = 8;
inline constexpr int kBitLeafAreaIndex = 16;
inline constexpr int kBitVegetationCoverage = 32;
inline constexpr int kBitRootDepth = 64;
inline constexpr int kBitRoughnessLength = 128;

inline std::string LayerName(const char* base, int layer) {
  return std::string(base) + std::to_string(layer);
}

inline bool IsDynamic(int method) {
  return method >= 3 && method <= 6;
}
inline bool HasDynamicStart(int method) {
  return method == 3 || method == 4 || method == 6;
}

// The steps of creation and update, with access to the settings object's fields.
class LanduseGridWork {
 public:
  LanduseGridWork(defaultini& settings, LanduseParameterGrids& grids)
      : s_(settings), g_(grids), diag_(*settings.diag) {
    if (s_.registry != nullptr) elevation_ = (*s_.registry)[2].grid;
  }

  // --- Creation ---------------------------------------------------------------------------
  void ScanTable();
  void CreateGrids();
  void InitialisePhenology();
  void LinkEntries();
  void BuildCurves();
  void RegisterUnregisteredStacks();
  void EvaluateAll(const ModelDate& date, bool creation);

  // --- Update -----------------------------------------------------------------------------
  void FindInputs();
  void AccumulateTemperature(double minutes);
  void CompleteDailyMean();
  void ResetDailyMean();
  void FlagVegetationStatistics(int d);
  void CountVegetationDuration();
  void StepPhenologyCells(int d);

  // --- The phenology state of a warm start ------------------------------------------------
  // Values of one cell's state: the day's mean so far, the leaf-fall day, the seven-day mean
  // and its history, then per layer the sums, the start day, the threshold, the cold days and
  // (when held) the fixpoint days.
  std::size_t PhenologyValuesPerCell() const;
  // One line per own land-use cell: row, column and its values, in row order.
  std::string PhenologyStateLines();
  // The values of every own land-use cell from `cells` (keyed by CellKey); false names the
  // first cell without values in `missing` (row, column).
  bool RestorePhenologyState(const std::vector<std::pair<long, std::vector<double>>>& cells,
                             std::pair<long, long>& missing);
  long CellKey(long r, long c) const { return r * (s_.ncols + 1) + c; }
  // Calls `f` on each value of the cell's state, in the order above: the one list the state's
  // writer and reader share.
  template <typename F>
  void ForEachPhenologyValue(long r, long c, F&& f) {
    f(g_.temperature_avg[r][c]);
    f(g_.leaf_fall_day[r][c]);
    f(g_.movavg7[r][c]);
    for (int k = 0; k < kHistoryDays; ++k) f(g_.history[r][c][k]);
    for (int l = 1; l <= g_.layer_count; ++l) {
      LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
      for (double** grid : {lg.forcing_sum, lg.pheno_start, lg.chilling_sum, lg.forcing_threshold})
        f(grid[r][c]);
      f(lg.cold_days[r][c]);
      if (g_.cell_fixpoint_days)
        for (int i = 0; i <= g_.max_fixpoints; ++i) f(lg.fixpoint_days[r][c][i]);
    }
  }

  int DayOfYear(const ModelDate& date) const {
    return s_.landuse_table[0].GetDayOfYear(
        static_cast<int>(date.day), static_cast<int>(date.month), static_cast<int>(date.year));
  }

 private:
  double** Grid(const std::string& name, double preset, bool fill);
  double*** FixpointStack(const std::string& name);
  void RegisterNew(const std::string& name, double** grid, double*** stack, int levels);
  // Runs `cell`(r, c) for every land-use cell of this process's rows, in the row loop.
  template <class Cell>
  void ForEachLanduseCell(Cell&& cell);
  // The same with `cell`(cache, r, c) and one cache of shifted fixpoint days per row, so that
  // the parameters of a cell, and cells of one entry at one altitude, shift the days once.
  template <class Cell>
  void ForEachLanduseCellCached(Cell&& cell);
  // Runs `cell`(c) for every land-use cell of row r.
  template <class Cell>
  void ForEachLanduseCellOfRow(long r, Cell&& cell);
  // The entry of layer l's code at (r, c), or null for a cell without code in that layer.
  const LanduseRecord* EntryAt(int l, long r, long c) const;
  void SetLayerNodata(int l, long r, long c, bool creation);
  void CorrectPhenology(const LanduseRecord& e, LanduseLayerGrids& lg, long r, long c);
  void EvaluateCell(const LanduseRecord& e, int l, long r, long c, const ModelDate& date, int d,
                    bool creation, ShiftedDaysCache& cache);
  // The switched parameters of entry e for one cell (or curve) of layer l, in the order of the
  // grids, so that the first failure is the same wherever they are evaluated.
  void ComputeValues(const LanduseRecord& e, int l, long r, long c, const ModelDate& date, int d,
                     double alt, ShiftedDaysCache& cache, LanduseDayValues& v);
  // Writes the values into the grids with the vegetation period and the limits; `start` and
  // `stop` give the vegetation-period days when the cell needs them.
  template <class Start, class Stop>
  void StoreValues(const LanduseRecord& e, int l, long r, long c, const LanduseDayValues& v, int d,
                   bool creation, Start&& start, Stop&& stop);
  // Every curve evaluated on the day.
  void EvaluateCurves(const ModelDate& date, int d);
  // The curve of layer l's cell (r, c) of entry `entry`, or null when the cell has none or its
  // entry or altitude changed since the curves were built.
  const LanduseCurve* CurveOf(int l, long r, long c, int entry) const;
  double Altitude(long r, long c) const { return elevation_ ? elevation_[r][c] : 0.0; }

  defaultini& s_;
  LanduseParameterGrids& g_;
  DiagnosticStream& diag_;
  double** elevation_ = nullptr;
};

template <class Cell>
void LanduseGridWork::ForEachLanduseCell(Cell&& cell) {
  ForEachLanduseCellCached([&](ShiftedDaysCache&, long r, long c) { cell(r, c); });
}

template <class Cell>
void LanduseGridWork::ForEachLanduseCellCached(Cell&& cell) {
  ForEachRow(s_.first_local_row, s_.last_local_row, [&](long r) {
    ShiftedDaysCache cache;
    ForEachLanduseCellOfRow(r, [&](long c) { cell(cache, r, c); });
  });
}

template <class Cell>
void LanduseGridWork::ForEachLanduseCellOfRow(long r, Cell&& cell) {
  double** landuse = s_.landuse_layers[0];
  if (landuse == nullptr || landuse[r] == nullptr) return;
  long first = 1;
  long last = s_.ncols;
  if (s_.column_ranges != nullptr) {
    first = std::max<long>(1, s_.column_ranges[r].first);
    last = std::min<long>(s_.ncols, s_.column_ranges[r].last);
  }
  for (long c = first; c <= last; ++c) {
    if (IsNodata(landuse[r][c], s_.nodata)) continue;
    if (s_.owner_grid != nullptr && s_.owner_grid[r] != nullptr && s_.owner_grid[r][c] != s_.rank)
      continue;
    cell(c);
  }
}

}  // namespace velorn::landuse_work

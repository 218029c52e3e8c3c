// LanduseParameterGrids: the land-use parameter grids of every land-use layer and the state of
// dynamic phenology, kept by the settings object.
//
// defaultini::generateMultiLayerParameterGrids (set-up) registers, or reuses by name, per layer
// the grids "root_depth", "vegetation_coverage_degree", "leaf_area_index",
// "SurfaceCanopyResistance", "SurfaceIntercepResistance", "RoughnessLength", "VegetationStart",
// "VegetationStop" and "VegetationDuration" followed by the layer number, and for layer 1 alone
// "albedo" (which must exist) and "SurfaceEvaporationResistance". When an entry of the land-use
// table uses dynamic phenology it adds "TemperatureAVG", "StartDayOfLeaveFall",
// "TemperatureMOVAVG7" and per layer "SumOfForcingUnits", "Pheno_start", "SumOfChillingUnits",
// "FStar_ForcingThreshold" and (methods 5 and 6) the stack "MultipleStartTimes". The grids are
// owned by the registry's release; this object keeps the data references and what no grid
// holds: the seven-day temperature history, the cold-day counts per layer, the minutes of the
// daily mean so far and the links the land-use entries evaluate through.
//
// defaultini::UpdateLanduseParameterGrids (every time step) accumulates the daily mean
// temperature and, in the step that ends a day, runs dynamic phenology and evaluates every
// parameter grid for that day (setup/landuse_parameter_grids.cpp): with steps shorter than a
// day the steps before it keep the parameters of the day before. The daily mean is the mean
// over the day's steps weighted by their length, so it does not depend on the step the caller
// passes. A run starts with the parameters the straight run has in its first step (see
// FirstParameterDate): a start within a day those of the day before, which its last step set.
// The date of the last evaluation is state as well: a warm start that reads state reads it from
// the storage content file and evaluates the parameters at it, so that a run continued within a
// day keeps the parameters the run that wrote the state had there, also after a state written
// with other steps.
//
// Limits: one process's own rows; cells with a land-use code in the grid "landuse" and, once
// the regions are divided, owned by this process in "MPIRegions".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/matrix.h"
#include "core/model_date.h"
#include "tables/landuse_record.h"

namespace velorn {

// The date whose parameters a run starting at data hour `start` has in its first step. The
// parameters change in the step that ends a day (data hour + `shift_hours` = 24): a first step
// that ends its day evaluates the day itself (daily steps, every step), an earlier one keeps the
// day before's, set by that day's last step (data hour 24 - `shift_hours`) in a run that went
// through it. So a run begun within a day, warm started or not, has the parameters of the
// straight run. A first step that ends at midnight or later (a data hour + shift of 0, 24 or
// more) keeps the start itself.
inline ModelDate FirstParameterDate(const ModelDate& start, double shift_hours) {
  const auto shift = static_cast<int64_t>(shift_hours);
  if (start.hour + shift <= 0 || start.hour + shift >= 24) return start;
  ModelDate day_before = AddDays(start, -1);
  day_before.hour = 24 - shift;
  return day_before;
}

struct LanduseLayerGrids {
  double** root_depth = nullptr;
  double** vegetation_coverage = nullptr;
  double** leaf_area_index = nullptr;
  double** canopy_resistance = nullptr;
  double** interception_resistance = nullptr;
  double** roughness_length = nullptr;
  double** vegetation_start = nullptr;
  double** vegetation_stop = nullptr;
  double** vegetation_duration = nullptr;
  // Dynamic phenology (null without it).
  double** forcing_sum = nullptr;
  double** pheno_start = nullptr;
  double** chilling_sum = nullptr;
  double** forcing_threshold = nullptr;
  double*** fixpoint_days = nullptr;  // methods 5 and 6 only
  GridMatrix cold_days;               // consecutive cold days (leaf fall of method 6)
};

// The parameters of one day that an entry gives a cell, before the grid limits.
struct LanduseDayValues {
  double albedo = 0;
  double evaporation_resistance = 0;
  double root_depth = 0;
  double leaf_area_index = 0;
  double vegetation_coverage = 0;
  double canopy_resistance = 0;
  double interception_resistance = 0;
  double roughness_length = 0;
  double vegetation_start = 0;  // what GetVegetationStartDay gives on the day
  double vegetation_stop = 0;   // what GetVegetationStopDay gives on the day
};

// One land-use curve: an entry of a fixed calendar (methods 0 to 2) in one layer with one set of
// altitude-shifted fixpoint days. Its cells share every evaluated value, so the daily update
// evaluates each curve once and fills the cells by look-up. The first cell that has it (row by
// row) stands for all of them in the evaluation and in its error messages.
struct LanduseCurve {
  int entry = 0;  // index into the land-use table
  int layer = 0;
  long row = 0;
  long col = 0;
  double altitude = 0;
  ShiftedDaysCache days;  // keyed to (record, no start day, altitude)
  LanduseDayValues values;
};

struct LanduseParameterGrids {
  int layer_count = 0;
  double** albedo = nullptr;
  double** evaporation_resistance = nullptr;
  std::vector<LanduseLayerGrids> layers;  // 1..layer_count; 0 unused

  bool dynamic_phenology = false;   // some entry has method 3 to 6
  bool cell_fixpoint_days = false;  // some entry has method 5 or 6
  int max_fixpoints = 0;            // largest fixpoint count of the table
  double** temperature_avg = nullptr;
  double** leaf_fall_day = nullptr;
  double** movavg7 = nullptr;
  int movavg7_index = 0;
  StackMatrix history;  // last seven daily means, level 0 the latest
  // The stacks of per-cell fixpoint days this object made, until RegisterLanduseStacks hands
  // them to the registry (name and stack).
  std::vector<std::pair<std::string, StackMatrix>> unregistered_stacks;
  int day_counter = 0;  // days in the history, up to 7
  double accumulated_minutes = 0;
  ModelDate evaluated;  // the date the parameters were last evaluated for

  bool inputs_found = false;
  double** temperature = nullptr;
  double** root_zone_theta = nullptr;  // "MeanThetaInRootZone", null when absent
  PhenologyLinks links;

  // The curves, and per layer the curve of each own cell ((r - first row) * ncols + c - 1; -1:
  // the cell evaluates on its own) with the altitude it was built for: a cell whose entry or
  // altitude changed since evaluates on its own.
  std::vector<LanduseCurve> curves;
  std::vector<std::vector<int32_t>> cell_curve;
  std::vector<double> curve_altitude;
  long curve_first_row = 0;  // the rows and columns the curves were built for
  long curve_last_row = -1;
  long curve_ncols = 0;
};

// The curve of layer l's own cell (r, c) while the cell still has entry `entry` (an index into the
// land-use table) at `altitude`, the altitude the curves were built for; null when the cell
// evaluates on its own. Read by the daily update and by models that evaluate a parameter of the
// curves at their own step's date (the snow model's land albedo).
inline const LanduseCurve* CurveOfCell(const LanduseParameterGrids& g, int l, long r, long c,
                                       int entry, double altitude) {
  if (r < g.curve_first_row || r > g.curve_last_row || c < 1 || c > g.curve_ncols || l < 0 ||
      static_cast<std::size_t>(l) >= g.cell_curve.size())
    return nullptr;
  const auto at = static_cast<std::size_t>((r - g.curve_first_row) * g.curve_ncols + c - 1);
  const int32_t k = g.cell_curve[static_cast<std::size_t>(l)][at];
  if (k < 0 || g.curve_altitude[at] != altitude) return nullptr;
  const LanduseCurve& curve = g.curves[static_cast<std::size_t>(k)];
  return curve.entry == entry ? &curve : nullptr;
}

}  // namespace velorn

// The evaluation of the land-use parameters of a day: per cell for entries of dynamic
// phenology, per curve for the others. A curve is the cells of one layer, entry and set of
// altitude-shifted fixpoint days: built once at creation, evaluated once a day, its values copied
// to its cells (bit for bit what each cell would compute on its own).
#include <map>
#include <tuple>
#include <vector>

#include "setup/landuse_grid_work.h"

namespace velorn::landuse_work {

void LanduseGridWork::ComputeValues(const LanduseRecord& e, int l, long r, long c,
                                    const ModelDate& date, int d, double alt,
                                    ShiftedDaysCache& cache, LanduseDayValues& v) {
  const int day = static_cast<int>(date.day);
  const int month = static_cast<int>(date.month);
  const int year = static_cast<int>(date.year);
  if (l == 1 && e.TestParameterSwitch(kBitAlbedo))
    v.albedo =
        e.EvaluateAtDate(diag_, LanduseSeries::kAlbedo, day, month, year, l, r, c, alt, &cache);
  if (l == 1 && e.TestParameterSwitch(kBitEvaporationResistance))
    v.evaporation_resistance = e.EvaluateAtDate(diag_, LanduseSeries::kRsEvaporation, day, month,
                                                year, l, r, c, alt, &cache);
  if (e.TestParameterSwitch(kBitRootDepth))
    v.root_depth = e.InterpolateRootDepth(diag_, d, l, r, c, alt, &cache);
  if (e.TestParameterSwitch(kBitLeafAreaIndex))
    v.leaf_area_index = e.EvaluateAtDay(diag_, LanduseSeries::kLAI, d, l, r, c, alt, &cache);
  if (e.TestParameterSwitch(kBitVegetationCoverage))
    v.vegetation_coverage = e.EvaluateAtDay(diag_, LanduseSeries::kVCF, d, l, r, c, alt, &cache);
  if (e.TestParameterSwitch(kBitCanopyResistance))
    v.canopy_resistance =
        e.EvaluateAtDate(diag_, LanduseSeries::kRsc, day, month, year, l, r, c, alt, &cache);
  if (e.TestParameterSwitch(kBitInterceptionResistance))
    v.interception_resistance = e.EvaluateAtDate(diag_, LanduseSeries::kRsInterception, day, month,
                                                 year, l, r, c, alt, &cache);
  if (e.TestParameterSwitch(kBitRoughnessLength))
    v.roughness_length = e.EvaluateAtDay(diag_, LanduseSeries::kZ0, d, l, r, c, alt, &cache);
}

template <class Start, class Stop>
void LanduseGridWork::StoreValues(const LanduseRecord& e, int l, long r, long c,
                                  const LanduseDayValues& v, int d, bool creation,
                                  Start&& start_day, Stop&& stop_day) {
  LanduseLayerGrids& lg = g_.layers[static_cast<std::size_t>(l)];
  if (l == 1 && e.TestParameterSwitch(kBitAlbedo)) g_.albedo[r][c] = v.albedo;
  if (l == 1 && e.TestParameterSwitch(kBitEvaporationResistance))
    g_.evaporation_resistance[r][c] = v.evaporation_resistance;
  if (e.TestParameterSwitch(kBitRootDepth)) lg.root_depth[r][c] = v.root_depth;
  if (e.TestParameterSwitch(kBitLeafAreaIndex)) lg.leaf_area_index[r][c] = v.leaf_area_index;
  if (e.TestParameterSwitch(kBitVegetationCoverage))
    lg.vegetation_coverage[r][c] = v.vegetation_coverage;
  if (e.TestParameterSwitch(kBitCanopyResistance)) lg.canopy_resistance[r][c] = v.canopy_resistance;
  if (e.TestParameterSwitch(kBitInterceptionResistance))
    lg.interception_resistance[r][c] = v.interception_resistance;
  if (e.TestParameterSwitch(kBitRoughnessLength)) lg.roughness_length[r][c] = v.roughness_length;

  double& start = lg.vegetation_start[r][c];
  double& stop = lg.vegetation_stop[r][c];
  double& duration = lg.vegetation_duration[r][c];
  if (creation) {
    if (start <= 0) start = start_day();
    stop = -1;
    duration = 0;
  } else {
    if (d == e.GetJDVegetationResetForBalance()) {
      start = -1;
      stop = -1;
      duration = 0;
    }
    if (start <= 0) start = start_day();
    if (stop < 0) stop = stop_day();
  }
  lg.root_depth[r][c] = std::max(lg.root_depth[r][c], kMinimumRootDepth);
  lg.vegetation_coverage[r][c] = std::clamp(lg.vegetation_coverage[r][c], 0.0, 1.0);
  lg.leaf_area_index[r][c] = std::max(lg.leaf_area_index[r][c], 0.0);
  lg.interception_resistance[r][c] = std::max(lg.interception_resistance[r][c], 0.0);
  if (lg.roughness_length[r][c] <= 0) lg.roughness_length[r][c] = kMinimumRoughnessLength;
}

void LanduseGridWork::EvaluateCell(const LanduseRecord& e, int l, long r, long c,
                                   const ModelDate& date, int d, bool creation,
                                   ShiftedDaysCache& cache) {
  const double alt = Altitude(r, c);
  LanduseDayValues v;
  ComputeValues(e, l, r, c, date, d, alt, cache, v);
  StoreValues(
      e, l, r, c, v, d, creation,
      [&] { return e.GetVegetationStartDay(diag_, d, l, r, c, alt, &cache); },
      [&] { return e.GetVegetationStopDay(diag_, d, l, r, c, alt, &cache); });
}

// Cells of an entry of a fixed calendar whose shifted days stay in the year are grouped by
// (layer, entry, shifted days): row by row first, then merged in row order, so that the curves
// and the cells standing for them do not depend on the threads. A cell whose days leave the
// year keeps evaluating on its own and ends the run there, as it always did.
void LanduseGridWork::BuildCurves() {
  const long first = s_.first_local_row;
  const long rows = std::max(0L, static_cast<long>(s_.last_local_row) - first + 1);
  const long ncols = s_.ncols;
  const auto cells = static_cast<std::size_t>(rows * ncols);
  g_.curves.clear();
  g_.cell_curve.assign(static_cast<std::size_t>(g_.layer_count) + 1, {});
  for (int l = 1; l <= g_.layer_count; ++l)
    g_.cell_curve[static_cast<std::size_t>(l)].assign(cells, -1);
  g_.curve_altitude.assign(cells, 0.0);
  g_.curve_first_row = first;
  g_.curve_last_row = first + rows - 1;
  g_.curve_ncols = ncols;
  if (rows == 0) return;
  using Key = std::tuple<int, int, std::vector<int>>;  // layer, entry, days
  std::vector<std::vector<LanduseCurve>> found(static_cast<std::size_t>(rows));
  ForEachRow(first, first + rows - 1, [&](long r) {
    std::map<Key, int32_t> local;
    std::vector<LanduseCurve>& row_curves = found[static_cast<std::size_t>(r - first)];
    ShiftedDaysCache scratch;
    ForEachLanduseCellOfRow(r, [&](long c) {
      const auto at = static_cast<std::size_t>((r - first) * ncols + c - 1);
      const double alt = Altitude(r, c);
      g_.curve_altitude[at] = alt;
      for (int l = 1; l <= g_.layer_count; ++l) {
        const LanduseRecord* e = EntryAt(l, r, c);
        if (e == nullptr || IsDynamic(e->GetMethod()) || !e->ShiftFixpointsInto(-1, alt, scratch))
          continue;
        const int entry = static_cast<int>(e - &s_.landuse_table[0]);
        auto [it, added] =
            local.try_emplace(Key{l, entry, scratch.days}, static_cast<int32_t>(row_curves.size()));
        if (added) {
          LanduseCurve& curve = row_curves.emplace_back();
          curve.entry = entry;
          curve.layer = l;
          curve.row = r;
          curve.col = c;
          curve.altitude = alt;
          curve.days = scratch;
        }
        g_.cell_curve[static_cast<std::size_t>(l)][at] = it->second;
      }
    });
  });
  std::map<Key, int32_t> merged;
  std::vector<std::vector<int32_t>> renumber(static_cast<std::size_t>(rows));
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (LanduseCurve& curve : found[i]) {
      auto [it, added] = merged.try_emplace(Key{curve.layer, curve.entry, curve.days.days},
                                            static_cast<int32_t>(g_.curves.size()));
      if (added) g_.curves.push_back(std::move(curve));
      renumber[i].push_back(it->second);
    }
  }
  ForEachRow(first, first + rows - 1, [&](long r) {
    const std::vector<int32_t>& to = renumber[static_cast<std::size_t>(r - first)];
    for (int l = 1; l <= g_.layer_count; ++l) {
      int32_t* row = g_.cell_curve[static_cast<std::size_t>(l)].data() + (r - first) * ncols;
      for (long c = 0; c < ncols; ++c)
        if (row[c] >= 0) row[c] = to[static_cast<std::size_t>(row[c])];
    }
  });
}

// One pass on the calling thread: a table has few curves (entries x layers x distinct shifts),
// each a few interpolations, less than waking the threads would cost; the first failing curve
// is always the same.
void LanduseGridWork::EvaluateCurves(const ModelDate& date, int d) {
  for (LanduseCurve& k : g_.curves) {
    const LanduseRecord& e = s_.landuse_table[k.entry];
    ComputeValues(e, k.layer, k.row, k.col, date, d, k.altitude, k.days, k.values);
    k.values.vegetation_start =
        e.GetVegetationStartDay(diag_, d, k.layer, k.row, k.col, k.altitude, &k.days);
    k.values.vegetation_stop =
        e.GetVegetationStopDay(diag_, d, k.layer, k.row, k.col, k.altitude, &k.days);
  }
}

const LanduseCurve* LanduseGridWork::CurveOf(int l, long r, long c, int entry) const {
  return CurveOfCell(g_, l, r, c, entry, Altitude(r, c));
}

void LanduseGridWork::EvaluateAll(const ModelDate& date, bool creation) {
  const int d = DayOfYear(date);
  EvaluateCurves(date, d);
  ForEachLanduseCellCached([&](ShiftedDaysCache& cache, long r, long c) {
    for (int l = 1; l <= g_.layer_count; ++l) {
      const LanduseRecord* e = EntryAt(l, r, c);
      if (e == nullptr) {
        SetLayerNodata(l, r, c, creation);
        continue;
      }
      if (creation && g_.dynamic_phenology && IsDynamic(e->GetMethod()))
        CorrectPhenology(*e, g_.layers[static_cast<std::size_t>(l)], r, c);
      const int entry = static_cast<int>(e - &s_.landuse_table[0]);
      if (const LanduseCurve* curve = CurveOf(l, r, c, entry)) {
        const LanduseDayValues& v = curve->values;
        StoreValues(
            *e, l, r, c, v, d, creation, [&] { return v.vegetation_start; },
            [&] { return v.vegetation_stop; });
      } else {
        EvaluateCell(*e, l, r, c, date, d, creation, cache);
      }
    }
  });
}

}  // namespace velorn::landuse_work

// LanduseRecord: the seasonal parameters of a land-use entry at a date or day of year.
//
// One generic evaluator serves every parameter: it takes the parameter's series (n + 1 values,
// the wrap value at index 0) and the parameter's hold rule, and
//   - for entries of methods 5 and 6 whose cells carry their own fixpoint days, interpolates
//     between the cell's days (or, for method 5, in forcing units towards the next threshold);
//   - otherwise shifts the fixpoint days by altitude (400 m holds them unshifted), puts the
//     cell's start day at the dynamic start fixpoint (methods 3, 4, 6), finds the enclosing
//     interval (wrapping over the year end) and interpolates linearly.
// High up, spring fixpoints move later and autumn fixpoints earlier until they would cross: the
// shifted days are kept in order by letting crossing fixpoints meet at the mean of their shifted
// days (the season shrinks to nothing instead of turning inside out), and the wrap abscissa is
// the shifted last fixpoint minus 366, so every value stays within the range of the fixpoints.
// A fixpoint that a cell has not yet reached (a day of -1) is never used as an abscissa: the
// parameter keeps the value of the fixpoint before it, as the start-day hold does.
// The resistances of the fixed format (methods 0 and 1) follow the monthly rule instead: each
// monthly value holds on the 15th of its month.
//
// Called from OpenMP row loops: every evaluation keeps its shifted days to itself (or to the
// caller's per-thread cache), and a failure writes its diagnostics entry inside one critical
// section.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "core/model_date.h"
#include "core/string_helpers.h"
#include "tables/landuse_record.h"

namespace velorn {
namespace {

// How a parameter is evaluated: the monthly rule for methods 0 and 1, and its start-day hold.
struct SeriesRule {
  bool monthly;
  StartDayHold hold;
};

SeriesRule RuleOf(LanduseSeries series) {
  switch (series) {
    case LanduseSeries::kRsc:
      return {true, StartDayHold::kMethods3And4};
    case LanduseSeries::kRsInterception:
    case LanduseSeries::kRsEvaporation:
      return {true, StartDayHold::kMethods3To6};
    case LanduseSeries::kNFactor:
      return {false, StartDayHold::kNone};
    default:
      return {false, StartDayHold::kMethods3To6};
  }
}

bool HoldApplies(StartDayHold hold, int method) {
  switch (hold) {
    case StartDayHold::kMethods3And4:
      return method == 3 || method == 4;
    case StartDayHold::kMethods3To6:
      return method == 3 || method == 4 || method == 6;
    case StartDayHold::kNone:
      break;
  }
  return false;
}

bool HasDynamicStart(int method) {
  return method == 3 || method == 4 || method == 6;
}

// Days of a month (1..12) in `year`; December for a month above 12.
int MonthLength(int month, int year) {
  return DaysInMonth(year, month > 12 ? 12 : month);
}

std::size_t At(int i) {
  return static_cast<std::size_t>(i);
}

}  // namespace

double LanduseRecord::InterpolateLinear(double x0, double y0, double x1, double y1, double x) {
  if (x1 - x0 == 0.0) return y0;
  return y1 * (x - x0) / (x1 - x0) + y0 * (x1 - x) / (x1 - x0);
}

int LanduseRecord::GetDayOfYear(int day, int month, int year) const {
  int d = day;
  for (int m = 1; m < month && m <= 11; ++m) d += MonthLength(m, year);
  if (d < 0 || d > 366) throw ErrorCode{kDayOfYearCode};
  return d;
}

namespace {

// Pools neighbouring days that are out of order into their (truncated) mean until the days
// marked in `c.is_day` never decrease; unmarked entries are left alone and skipped. The blocks
// live in the cache's scratch vectors.
void KeepDaysInOrder(ShiftedDaysCache& c) {
  std::vector<int>& s = c.days;
  c.block_sum.clear();
  c.block_count.clear();
  c.members.clear();
  auto mean = [&](std::size_t b) {
    return static_cast<double>(c.block_sum[b]) / static_cast<double>(c.block_count[b]);
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!c.is_day[i]) continue;
    c.members.push_back(i);
    c.block_sum.push_back(s[i]);
    c.block_count.push_back(1);
    while (c.block_sum.size() > 1 && mean(c.block_sum.size() - 2) > mean(c.block_sum.size() - 1)) {
      const long sum = c.block_sum.back();
      const long count = c.block_count.back();
      c.block_sum.pop_back();
      c.block_count.pop_back();
      c.block_sum.back() += sum;
      c.block_count.back() += count;
    }
  }
  std::size_t m = 0;
  for (std::size_t b = 0; b < c.block_sum.size(); ++b) {
    const int day = static_cast<int>(std::floor(mean(b)));
    for (long j = 0; j < c.block_count[b]; ++j) s[c.members[m++]] = day;
  }
}

// Fixpoint day `day` moved by the altitude shift (whole days, truncated), in double so that no
// altitude or AltDep can overflow the day arithmetic.
double ShiftedDay(int day, double altitude, double alt_dep) {
  return day + std::trunc((altitude - kFixpointReferenceAltitude) * alt_dep);
}

// The shifted day as an int: days far outside the year act as "never"; the bound keeps the
// cast defined.
int ClampedShiftedDay(int day, double altitude, double alt_dep) {
  constexpr double kFarDay = 1e6;
  return static_cast<int>(std::clamp(ShiftedDay(day, altitude, alt_dep), -kFarDay, kFarDay));
}

}  // namespace

void LanduseRecord::AltitudeShiftedDaysInto(double altitude, ShiftedDaysCache& cache) const {
  std::vector<int>& s = cache.days;
  s.assign(At(n > 0 ? n : 0) + 1, 0);
  cache.is_day.assign(s.size(), false);
  const int k = phenology_fixpoint_index;
  const bool dynamic = HasDynamicStart(method) && k >= 1 && k < n;
  for (int i = 1; i <= n; ++i) {
    const int day = GetJulDay(i);
    // A negative day marks the dynamic start fixpoint; the one after it counts days from the
    // start: neither is a day of the year to keep in order.
    if (day < 0 || (dynamic && (i == k || i == k + 1))) {
      s[At(i)] = day;
      continue;
    }
    s[At(i)] = ClampedShiftedDay(day, altitude, GetAltDep(i));
    cache.is_day[At(i)] = true;
  }
  KeepDaysInOrder(cache);
  s[0] = n >= 1 && cache.is_day[At(n)] ? s[At(n)] - 366 : GetJulDay(n) - 366;
}

std::vector<int> LanduseRecord::AltitudeShiftedDays(double altitude) const {
  ShiftedDaysCache scratch;
  AltitudeShiftedDaysInto(altitude, scratch);
  return std::move(scratch.days);
}

int LanduseRecord::ShiftedFixpointDay(int i, double altitude) const {
  if (GetJulDay(i) < 0) return GetJulDay(i);
  return AltitudeShiftedDays(altitude)[At(i)];
}

std::vector<int> LanduseRecord::ShiftFixpoints(DiagnosticStream& diag, int start_day,
                                               double altitude) const {
  ShiftedDaysCache scratch;
  ShiftFixpoints(diag, start_day, altitude, scratch);
  return std::move(scratch.days);
}

const std::vector<int>& LanduseRecord::ShiftFixpoints(DiagnosticStream& diag, int start_day,
                                                      double altitude,
                                                      ShiftedDaysCache& cache) const {
  if (cache.record == this && cache.start_day == start_day && cache.altitude == altitude)
    return cache.days;
  if (ShiftFixpointsInto(start_day, altitude, cache)) return cache.days;
  // The same checks in the same order, now with their messages.
  for (int i = 1; i <= n; ++i) {
    if (GetJulDay(i) < 0) continue;
    const double day = ShiftedDay(GetJulDay(i), altitude, GetAltDep(i));
    if (!(day >= -1 && day <= 366)) FailShiftedDay(diag, day, i);
  }
  const std::vector<int>& s = cache.days;
  for (int i = 1; i <= n; ++i)
    if (s[At(i)] < -1 || s[At(i)] > 366) FailShiftedDay(diag, s[At(i)], i);
  return s;
}

bool LanduseRecord::ShiftFixpointsInto(int start_day, double altitude,
                                       ShiftedDaysCache& cache) const {
  cache.record = nullptr;
  // A shift that leaves the year is an error of the table or the altitude, whatever the order.
  for (int i = 1; i <= n; ++i) {
    if (GetJulDay(i) < 0) continue;
    const double day = ShiftedDay(GetJulDay(i), altitude, GetAltDep(i));
    if (!(day >= -1 && day <= 366)) return false;
  }
  AltitudeShiftedDaysInto(altitude, cache);
  std::vector<int>& s = cache.days;
  // The dynamic start fixpoint lies in 1..n-1; an entry without one has index -1 and no day to
  // replace (writing s[-1] would corrupt the evaluation).
  const int k = phenology_fixpoint_index;
  if (HasDynamicStart(method) && k >= 1 && k < n) {
    s[At(k)] = start_day;
    s[At(k + 1)] = start_day + GetJulDay(k + 1);
  }
  for (int i = 1; i <= n; ++i)
    if (s[At(i)] < -1 || s[At(i)] > 366) return false;
  cache.record = this;
  cache.start_day = start_day;
  cache.altitude = altitude;
  return true;
}

const std::vector<int>& LanduseRecord::CellShiftedDays(DiagnosticStream& diag, int layer, long row,
                                                       long col, double altitude,
                                                       ShiftedDaysCache* cache,
                                                       std::vector<int>& local) const {
  const int start_day = StartDayOf(layer, row, col);
  if (cache != nullptr) return ShiftFixpoints(diag, start_day, altitude, *cache);
  local = ShiftFixpoints(diag, start_day, altitude);
  return local;
}

void LanduseRecord::FailShiftedDay(DiagnosticStream& diag, double day, int i) const {
  ThrowFatal(diag, kShiftedDayCode,
             "FATAL: \n---ERROR--\naltitude correction resulted in a Julian day of ",
             FormatText("%.0f", day), " for fix point ", i, " (JD should be between 1 and 366)");
}

namespace {

// First index 2..n whose day is at or after d (or is negative: not yet known), 1 when d lies at
// or before the first day, n + 1 after the last.
int SearchInterval(const std::vector<int>& s, int n, int d) {
  if (n <= 0 || d <= s[1] || s[1] < 0) return 1;
  for (int i = 2; i <= n; ++i) {
    if (s[At(i)] >= d || s[At(i)] < 0) return i;
  }
  return n + 1;
}

}  // namespace

int LanduseRecord::FindFixpointInterval(DiagnosticStream& diag, int d, int start_day,
                                        double altitude) const {
  const std::vector<int> s = ShiftFixpoints(diag, start_day, altitude);
  const int i = SearchInterval(s, n, d);
  if (i > n + 1 || n < 1)
    ThrowFatal(diag, kFixpointIntervalCode, "FATAL: Julian-day-fixpoint at ", i,
               " is outside of the allowed range of ", 1, " to ", n + 1);
  return i;
}

int LanduseRecord::StartDayOf(int layer, long row, long col) const {
  if (!HasDynamicStart(method) || phenology_links == nullptr) return -1;
  const std::vector<double**>& grids = phenology_links->start_day;
  if (layer < 1 || At(layer) >= grids.size() || grids[At(layer)] == nullptr) return -1;
  const double* cells = grids[At(layer)][row];
  return cells == nullptr ? -1 : static_cast<int>(cells[col]);
}

const double* LanduseRecord::CellFixpointDays(int layer, long row, long col) const {
  if ((method != 5 && method != 6) || phenology_links == nullptr) return nullptr;
  const std::vector<double***>& stacks = phenology_links->fixpoint_days;
  if (layer < 1 || At(layer) >= stacks.size() || stacks[At(layer)] == nullptr) return nullptr;
  double** cells = stacks[At(layer)][row];
  return cells == nullptr ? nullptr : cells[col];
}

// Upper index u of the cell's interval holding d: the first fixpoint after d, stopping at n
// and at a fixpoint the cell has not yet reached (day 0 or below).
int LanduseRecord::CellUpperFixpoint(const double* p, int d) const {
  if (d < p[1] || n <= 1 || p[1] <= 0) return 1;
  int u = 2;
  while (u < n && d >= p[u] && p[u] > 0) ++u;
  return u;
}

double LanduseRecord::EvaluateCellDays(const std::vector<double>& v, const double* p, int d,
                                       int layer, long row, long col) const {
  const int u = CellUpperFixpoint(p, d);
  const double threshold = GetForcingThreshold(u);
  if (method == 5 && threshold > 0) {
    const std::vector<double**>& sums = phenology_links->forcing_sum;
    double sum = 0;
    if (At(layer) < sums.size() && sums[At(layer)] != nullptr && sums[At(layer)][row] != nullptr)
      sum = sums[At(layer)][row][col];
    return InterpolateLinear(p[0], v[At(u - 1)], threshold, v[At(u)], sum);
  }
  // A fixpoint not yet reached has no day to interpolate towards: keep the value before it.
  if (p[u] <= 0) return v[At(u - 1)];
  return InterpolateLinear(p[u - 1], v[At(u - 1)], p[u], v[At(u)], d);
}

double LanduseRecord::EvaluateAtDay(DiagnosticStream& diag, LanduseSeries series, int d, int layer,
                                    long row, long col, double altitude,
                                    ShiftedDaysCache* cache) const {
  const std::vector<double>& v = GetSeries(series);
  if (n < 1 || v.size() < At(n) + 1)
    ThrowFatal(diag, kFixpointIntervalCode, "FATAL: Julian-day-fixpoint at ", 1,
               " is outside of the allowed range of ", 1, " to ", n + 1);
  if (const double* p = CellFixpointDays(layer, row, col))
    return EvaluateCellDays(v, p, d, layer, row, col);
  std::vector<int> local;
  const std::vector<int>& s = CellShiftedDays(diag, layer, row, col, altitude, cache, local);
  const int i = SearchInterval(s, n, d);
  if (i > n + 1)
    ThrowFatal(diag, kFixpointIntervalCode, "FATAL: Julian-day-fixpoint at ", i,
               " is outside of the allowed range of ", 1, " to ", n + 1);
  const bool wrap = i > n;
  const int lower = wrap ? 0 : i - 1;
  const int upper = wrap ? 1 : i;
  const double x = wrap ? d - 366 : d;
  if (HoldApplies(RuleOf(series).hold, method) && upper == phenology_fixpoint_index)
    return v[At(upper - 1)];
  // The start day of the cell is not yet known: no abscissa to interpolate towards.
  if (s[At(upper)] < 0) return v[At(lower)];
  return InterpolateLinear(s[At(lower)], v[At(lower)], s[At(upper)], v[At(upper)], x);
}

double LanduseRecord::MonthlyRule(const std::vector<double>& v, int day, int month,
                                  int year) const {
  if (month < 1 || month > 12 || v.size() < 14) throw ErrorCode{kMonthCode};
  if (day >= 15) {
    const int length = MonthLength(month, year);
    return InterpolateLinear(15, v[At(month)], 15 + length, v[At(month + 1)], day);
  }
  const int previous = month == 1 ? 31 : MonthLength(month - 1, year);
  return InterpolateLinear(15, v[At(month - 1)], 15 + previous, v[At(month)], day + previous);
}

double LanduseRecord::EvaluateAtDate(DiagnosticStream& diag, LanduseSeries series, int day,
                                     int month, int year, int layer, long row, long col,
                                     double altitude, ShiftedDaysCache* cache) const {
  if (RuleOf(series).monthly && (method == 0 || method == 1))
    return MonthlyRule(GetSeries(series), day, month, year);
  const int d = GetDayOfYear(day, month, year);
  if (series == LanduseSeries::kRootDepth)
    return InterpolateRootDepth(diag, d, layer, row, col, altitude, cache);
  return EvaluateAtDay(diag, series, d, layer, row, col, altitude, cache);
}

// --- Named parameters -----------------------------------------------------------------------

#define VELORN_SEASONAL_ACCESSORS(GetName, InterpolateName, series)                              \
  double LanduseRecord::GetName(DiagnosticStream& diag, int day, int month, int year, int layer, \
                                long row, long col, double altitude) const {                     \
    return EvaluateAtDate(diag, series, day, month, year, layer, row, col, altitude);            \
  }                                                                                              \
  double LanduseRecord::InterpolateName(DiagnosticStream& diag, int d, int layer, long row,      \
                                        long col, double altitude) const {                       \
    return EvaluateAtDay(diag, series, d, layer, row, col, altitude);                            \
  }

VELORN_SEASONAL_ACCESSORS(GetRsc, InterpolateRsc, LanduseSeries::kRsc)
VELORN_SEASONAL_ACCESSORS(GetRsInterception, InterpolateRsInterception,
                          LanduseSeries::kRsInterception)
VELORN_SEASONAL_ACCESSORS(GetRsEvaporation, InterpolateRsEvaporation, LanduseSeries::kRsEvaporation)
VELORN_SEASONAL_ACCESSORS(GetZ0, InterpolateZ0, LanduseSeries::kZ0)
VELORN_SEASONAL_ACCESSORS(GetLAI, InterpolateLAI, LanduseSeries::kLAI)
VELORN_SEASONAL_ACCESSORS(GetVCF, InterpolateVCF, LanduseSeries::kVCF)
VELORN_SEASONAL_ACCESSORS(GetAlbedo, InterpolateAlbedo, LanduseSeries::kAlbedo)
VELORN_SEASONAL_ACCESSORS(GetStemDiameter, InterpolateStemDiameter, LanduseSeries::kStemDiameter)
VELORN_SEASONAL_ACCESSORS(GetResidueCoverage, InterpolateResidueCoverage,
                          LanduseSeries::kResidueCoverage)
#undef VELORN_SEASONAL_ACCESSORS

double LanduseRecord::GetRootDepth(DiagnosticStream& diag, int day, int month, int year, int layer,
                                   long row, long col, double altitude) const {
  return EvaluateAtDate(diag, LanduseSeries::kRootDepth, day, month, year, layer, row, col,
                        altitude);
}

double LanduseRecord::InterpolateRootDepth(DiagnosticStream& diag, int d, int layer, long row,
                                           long col, double altitude,
                                           ShiftedDaysCache* cache) const {
  try {
    return EvaluateAtDay(diag, LanduseSeries::kRootDepth, d, layer, row, col, altitude, cache);
  } catch (const ErrorCode& error) {
    ThrowFatal(diag, error.code, "FATAL: Coordinates: i=", row, ", j=", col, "\nLayer=", layer,
               "\nAltitude=", altitude, "m\nJulday=", d, "\nLanduse Code=", code,
               "\nTStart=", phenology_start_day);
  }
}

double LanduseRecord::GetNFactor(DiagnosticStream& diag, int day, int month, int year) const {
  return InterpolateNFactor(diag, GetDayOfYear(day, month, year));
}

double LanduseRecord::InterpolateNFactor(DiagnosticStream& diag, int d) const {
  const std::vector<double>& v = n_factor;
  const int i = n >= 1 ? SearchInterval(JulDays, n, d) : 1;
  if (i > n + 1 || n < 1 || v.size() < At(n) + 1)
    ThrowFatal(diag, kFixpointIntervalCode, "FATAL: Julian-day-fixpoint for n-factor at ", i,
               " is outside of the allowed range of ", 1, " to ", n + 1);
  if (i > n) return InterpolateLinear(JulDays[0], v[0], JulDays[1], v[1], d - 366);
  return InterpolateLinear(JulDays[At(i - 1)], v[At(i - 1)], JulDays[At(i)], v[At(i)], d);
}

// --- Vegetation period ------------------------------------------------------------------------

double LanduseRecord::GetVegetationStartDay(DiagnosticStream& diag, int d, int layer, long row,
                                            long col, double altitude,
                                            ShiftedDaysCache* cache) const {
  const int start = StartVegetationPeriodForBalance;
  const int stop = StopVegetationPeriodForBalance;
  if (start == 0) return 0.0;
  if (const double* p = CellFixpointDays(layer, row, col)) {
    const int k = CellUpperFixpoint(p, d) - 1;
    if (k >= start && d >= p[k] && (k < stop || start > stop)) return d;
    return -1.0;
  }
  std::vector<int> local;
  const std::vector<int>& s = CellShiftedDays(diag, layer, row, col, altitude, cache, local);
  int i = SearchInterval(s, n, d);
  int day = d;
  if (i > n) {
    day = d - 366;
    i = 1;
  }
  if (i >= start && s[At(i)] >= 1 && day >= s[At(i)] && (i < stop || start > stop)) return day;
  return -1.0;
}

double LanduseRecord::GetVegetationStopDay(DiagnosticStream& diag, int d, int layer, long row,
                                           long col, double altitude,
                                           ShiftedDaysCache* cache) const {
  const int stop = StopVegetationPeriodForBalance;
  if (stop == 0) return 0.0;
  if (const double* p = CellFixpointDays(layer, row, col)) {
    const int k = CellUpperFixpoint(p, d) - 1;
    return k == stop && d == p[stop] ? d : -1.0;
  }
  std::vector<int> local;
  const std::vector<int>& s = CellShiftedDays(diag, layer, row, col, altitude, cache, local);
  int i = SearchInterval(s, n, d);
  int day = d;
  if (i > n) {
    day = d - 366;
    i = 1;
  }
  return i == stop && s[At(stop)] == day ? day : -1.0;
}

double LanduseRecord::GetVegetationStartDayAt(DiagnosticStream& diag, int day, int month, int year,
                                              int layer, long row, long col,
                                              double altitude) const {
  return GetVegetationStartDay(diag, GetDayOfYear(day, month, year), layer, row, col, altitude);
}

}  // namespace velorn

// Building and writing the water-level/discharge table of a channel (see channel_table.h).
#include "routing/channel_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/value_ranges.h"
#include "routing/routing_formulas.h"

namespace velorn {
namespace {

constexpr int32_t kManningIterations = 50;
constexpr double kManningTolerance = 0.005;
constexpr int32_t kBankfullIterations = 50;
constexpr double kBankfullTolerance = 0.01;

double Positive(double value, double fallback) {
  return value > 0.0 ? value : fallback;
}

void ApplyDefaults(ChannelParameters& p) {
  p.width_mean = Positive(p.width_mean, kChannelDefaults[2]);
  p.width_flood = Positive(p.width_flood, kChannelDefaults[3]);
  p.bankfull_depth = Positive(p.bankfull_depth, kChannelDefaults[4]);
  p.manning_mean = Positive(p.manning_mean, kChannelDefaults[5]);
  p.manning_flood = Positive(p.manning_flood, kChannelDefaults[6]);
  p.root_slope = p.slope > 0.0 ? std::sqrt(p.slope) : kDefaultRootSlope;
  p.length = Positive(p.length, kChannelDefaults[8]);
  p.area = Positive(p.area, kChannelDefaults[9]);
  p.log_step = std::log(p.qmax / p.qmin) / p.intervals;
}

// Discharge, levels and velocities of mean channel and flood plain for one row.
struct RowSplit {
  ManningSection mean;
  ManningSection flood;
};

// Above bank-full the level of the mean channel and the flood-plain depth plus the bank-full
// depth are brought together by moving discharge between the two parts; neither part ever
// carries less than nothing (a negative part would give a velocity of 0 and an endless travel
// time).
void SplitAboveBankfull(const ChannelParameters& p, RowSplit& s) {
  s.flood.velocity = s.mean.velocity;
  for (int32_t it = 1; it <= kBankfullIterations; ++it) {
    const double h_new = (s.mean.level + s.flood.level + p.bankfull_depth) * 0.5;
    s.flood.level = h_new - p.bankfull_depth;
    const double delta = std::fabs(s.mean.level - h_new);
    double moved =
        std::min(delta * p.width_mean * s.mean.velocity, delta * p.width_flood * s.flood.velocity);
    if (s.mean.level > h_new) {
      moved = std::min(moved, s.mean.discharge);
      s.mean.discharge -= moved;
      s.flood.discharge += moved;
    } else {
      moved = std::min(moved, s.flood.discharge);
      s.mean.discharge += moved;
      s.flood.discharge -= moved;
    }
    s.mean.level = h_new;
    SolveManning(s.mean, kManningIterations, p.manning_mean, p.root_slope, kManningTolerance);
    SolveManning(s.flood, kManningIterations, p.manning_flood, p.root_slope, kManningTolerance);
    if (std::fabs(s.mean.level - s.flood.level - p.bankfull_depth) <= kBankfullTolerance) break;
  }
}

void FillRows(const ChannelParameters& p, double dt, double divisor, ChannelRecord& r) {
  double carried_velocity = 1.0;
  const int32_t n = r.rows;
  for (int32_t row = n + 1; row >= 1; --row) {
    const double q = std::exp(std::log(p.qmax) - (n + 1 - row) * p.log_step);
    r.q[row] = q;
    r.qmm[row] = 0.0036 * q * dt / 60.0;
    const double discharge = q / 1000.0 * p.area / divisor;
    r.Q[row] = discharge;

    RowSplit s;
    s.mean.discharge = discharge;
    s.mean.width = p.width_mean;
    s.mean.velocity = carried_velocity;
    s.flood.width = p.width_flood;
    SolveManning(s.mean, kManningIterations, p.manning_mean, p.root_slope, kManningTolerance);
    if (s.mean.level > p.bankfull_depth) SplitAboveBankfull(p, s);
    carried_velocity = s.mean.velocity;

    const double total = s.mean.discharge + s.flood.discharge;
    const double flood_part = total > 0.0 ? s.flood.discharge / total : 0.0;
    r.vm[row] = s.mean.velocity;
    r.vf[row] = s.flood.velocity;
    r.v[row] = (1.0 - flood_part) * s.mean.velocity + flood_part * s.flood.velocity;
    r.Rm[row] = s.mean.radius;
    r.Rf[row] = s.flood.radius;
    r.hm[row] = s.mean.level;
    r.hf[row] = s.flood.level;
    r.share[row] = flood_part;
    r.tt[row] = p.length / r.v[row] / 3600.0;
  }
}

// m = 1, 2, ... until the section travel times of the smallest and the largest discharge differ
// by at most one time step. Rows that cannot be routed leave one section (the stretch refuses
// the channel).
double CountSections(const ChannelRecord& r, double dt) {
  if (r.rows < 0 || FirstUnsoundRow(r) != 0) return 1.0;
  const double slow = r.tt[1];
  const double fast = r.tt[r.rows + 1];
  // The loop would pass every m below the spread in steps first: start just below it.
  double m = std::max(1.0, std::floor((slow - fast) * 60.0 / dt) - 1.0);
  while (slow / m > fast / m + dt / 60.0) m += 1.0;
  return m;
}

}  // namespace

void BuildChannelTable(ChannelParameters& p, double dt, int32_t nsub, double divisor,
                       int32_t tracers, ChannelRecord& r) {
  ApplyDefaults(p);
  const double substep_hours = dt / nsub / 60.0;
  p.factor_mean = RecessionFactor(p.k_mean, substep_hours);
  p.factor_flood = RecessionFactor(p.k_flood, substep_hours);

  // Row counts beyond any memory (1e30 intervals) are refused before the cast.
  if (!FitsInteger<int32_t>(p.intervals) || p.intervals > 1e8)
    throw std::length_error("channel table rows");
  r.rows = static_cast<int32_t>(p.intervals);
  const std::size_t entries = static_cast<std::size_t>(std::max(r.rows + 2, 2));
  for (auto* column :
       {&r.q, &r.qmm, &r.Q, &r.v, &r.vm, &r.vf, &r.tt, &r.Rm, &r.Rf, &r.hm, &r.hf, &r.share})
    column->assign(entries, 0.0);
  r.delay.assign(entries, 0);
  if (r.rows >= 0) FillRows(p, dt, divisor, r);

  r.sections = CountSections(r, dt);
  r.max_delay = 0;
  if (r.rows >= 0 && FirstUnsoundRow(r) == 0) {
    for (int32_t row = 1; row <= r.rows + 1; ++row) {
      // A delay no integer count of sub-steps holds (a channel 1e15 m long) is refused as the
      // tables too large for the memory are.
      const double delay = r.tt[row] / r.sections / dt * 60.0 * nsub;
      if (!FitsInteger<int32_t>(delay)) throw std::length_error("channel delay");
      r.delay[row] = static_cast<int32_t>(delay);
      r.max_delay = std::max(r.max_delay, r.delay[row]);
    }
  }
  const double history = (static_cast<double>(nsub) + r.max_delay) * r.sections;
  if (!FitsInteger<int32_t>(history)) throw std::length_error("channel history");
  r.history_length = static_cast<int32_t>(history);

  const std::size_t section_entries = static_cast<std::size_t>(r.SectionCount() + 2);
  r.last.assign(section_entries, 0);
  r.storage.assign(static_cast<std::size_t>(tracers + 1),
                   std::vector<double>(section_entries, 0.0));
  r.mixed = r.storage;
  r.previous_share.assign(section_entries, 0.0);
  r.outflow_stride = nsub + 2;
  r.outflow.assign(section_entries * static_cast<std::size_t>(r.outflow_stride), 0.0);
}

int32_t FirstUnsoundRow(const ChannelRecord& r) {
  for (int32_t row = 1; row <= r.rows + 1; ++row)
    if (!(r.v[row] > 0.0) || !std::isfinite(r.tt[row])) return row;
  return 0;
}

namespace {

void AppendLine(std::string& text, const char* format, double value) {
  char line[160];
  std::snprintf(line, sizeof line, format, value);
  text += line;
}

void AppendLine(std::string& text, const char* format, int32_t value) {
  char line[160];
  std::snprintf(line, sizeof line, format, value);
  text += line;
}

}  // namespace

std::string FormatChannelTable(const std::string& title, const ChannelParameters& p,
                               const ChannelRecord& r, int32_t nsub, double substep_hours) {
  std::string text = title;
  text += "input parameters from the control file:\n";
  text += std::string(42, '-') + "\n";
  AppendLine(text, "storage constant mean channel [h] : %7.2f\n",
             StorageConstantHours(p.factor_mean, substep_hours));
  AppendLine(text, "storage constant flood plain [h]  : %7.2f\n",
             StorageConstantHours(p.factor_flood, substep_hours));
  AppendLine(text, "width of the mean channel [m]     : %7.2f\n", p.width_mean);
  AppendLine(text, "width of flood plains  [m]        : %7.2f\n", p.width_flood);
  AppendLine(text, "depth of mean channel  [m]        : %7.2f\n", p.bankfull_depth);
  AppendLine(text, "Manning-coef. mean chan[m^(1/3)/s]: %7.2f\n", p.manning_mean);
  AppendLine(text, "Manning-ceof. flood pl.[m^(1/3)/s]: %7.2f\n", p.manning_flood);
  AppendLine(text, "slope angle            [1/1]      : %7.4f\n", p.root_slope * p.root_slope);
  AppendLine(text, "channel length         [m]        : %7.1f\n", p.length);
  AppendLine(text, "catchment area         [km^2]     : %7.2f\n", p.area);
  AppendLine(text, "min. " VELORN_SPECIFIC_ABBREVIATION " discharge   [l/s/km^2] : %7.1f\n",
             p.qmin);
  AppendLine(text, "max. " VELORN_SPECIFIC_ABBREVIATION " discharge   [l/s/km^2] : %7.1f\n",
             p.qmax);
  AppendLine(text, "intervals for w-q-table[-]        : %7.0f\n", p.intervals + 1.0);
  AppendLine(text, "sub-intervals (time)   [-]        : %7d  \n", nsub);
  AppendLine(text, "number of sub-channels            : %7.0f\n", r.sections);
  AppendLine(text, "total number of storage elements  : %7d  \n", r.history_length + nsub);
  text += std::string(79, '-') + "\n";
  text += "  #    q      q       Q     dm    df     v      vm     vf     t   delta   Qm/Q \n";
  text += "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   [1/1]\n";
  text += std::string(79, '-') + "\n";
  for (int32_t row = 1; row <= r.rows + 1; ++row) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%3d  %5.3f %6.1f %7.2f  %5.2f %5.2f %5.2f  %5.2f  %5.2f  %5.2f  %3d   %5.3f\n",
                  row, r.qmm[row], r.q[row], r.Q[row], r.hm[row], r.hf[row], r.v[row], r.vm[row],
                  r.vf[row], r.tt[row], r.delay[row], r.share[row]);
    text += line;
  }
  return text;
}

}  // namespace velorn

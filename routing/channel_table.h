// The water-level/discharge table of one channel item of a routing stretch, and the channel's
// routing state that the table sizes.
//
// Built once at set-up by routingclass::BuildWQTable from the channel's geometry: for a
// logarithmic series of specific discharges from qmax down to qmin it holds the discharge, the
// levels, velocities and hydraulic radii of mean channel and flood plain (Manning-Strickler in
// rectangular sections, with the discharge above bank-full split between them), the travel time
// through the channel, the delay of one channel section in routing sub-steps and the flood-plain
// share. The table also fixes the number of sections (so that the spread of the section travel
// times between the smallest and the largest discharge is at most one time step) and the length
// of the channel's history rows.
//
// Everything here is pure (no registry, no diagnostics): the stretch reports what goes wrong.
// Rows are indexed 1..N+1 (N = truncated number of intervals), sections 1..m; index 0 and the
// extra last entry exist and are unused, as in the stretch's other arrays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "routing/routing_formulas.h"

namespace velorn {

// The defaults that replace a channel value of 0 or below, in the order of the description's
// ten values (kh, kv, Bh, Bv, Th, Mh, Mv, I, L, A): storage constants 0.01 h, widths and the
// bank-full depth 0.1 m, Manning coefficients 1, a slope whose root is 0.0316, a length of 1 m
// and an area of 1e-6 km².
inline constexpr double kDefaultRootSlope = 0.0316;
inline constexpr double kChannelDefaults[10] = {kMinStorageConstantHours,
                                                kMinStorageConstantHours,
                                                0.1,
                                                0.1,
                                                0.1,
                                                1.0,
                                                1.0,
                                                kDefaultRootSlope* kDefaultRootSlope,
                                                1.0,
                                                1e-6};

// Geometry and table settings of one channel item (values as given; BuildChannelTable applies
// the defaults of values <= 0 to its copy).
struct ChannelParameters {
  double k_mean = 0;          // storage constant of the mean channel (h)
  double k_flood = 0;         // storage constant of the flood plain (h)
  double width_mean = 0;      // m
  double width_flood = 0;     // m
  double bankfull_depth = 0;  // m
  double manning_mean = 0;    // m^(1/3)/s
  double manning_flood = 0;   // m^(1/3)/s
  double slope = 0;           // 1/1 (BuildChannelTable stores its square root in root_slope)
  double length = 0;          // m
  double area = 0;            // km² of the item
  double qmin = 0;            // l/s/km²
  double qmax = 0;            // l/s/km²
  double intervals = 0;       // n of the table (a double)
  // Derived by BuildChannelTable:
  double root_slope = 0;
  double log_step = 0;      // λ = ln(qmax / qmin) / n
  double factor_mean = 0;   // recession factor of the mean channel per sub-step
  double factor_flood = 0;  // recession factor of the flood plain per sub-step
};

// The table and the routing state of one channel.
struct ChannelRecord {
  int32_t rows = 0;  // N; the table holds rows 1..N+1
  std::vector<double> q, qmm, Q, v, vm, vf, tt, Rm, Rf, hm, hf, share;
  std::vector<int32_t> delay;
  double sections = 1;         // m
  int32_t max_delay = 0;       // largest delay of the table
  int32_t history_length = 0;  // positions of the history rows besides the nsub of the input
  // Per section 1..m: last filled history position, the section storage (storage[0][s],
  // water in sub-step values; storage[tr][s], tr >= 1, its solute: water x concentration), the
  // tracers' concentration in the linear storages (mixed[tr][s], tr >= 1), previous flood-plain
  // share, and the section outflows of the sub-steps (outflow[s * (nsub + 2) + j],
  // j = 0..nsub + 1; column 0 holds the last outflow of the previous step while a step runs).
  std::vector<int32_t> last;
  std::vector<std::vector<double>> storage, mixed;
  std::vector<double> previous_share;
  std::vector<double> outflow;
  int32_t outflow_stride = 0;

  int32_t SectionCount() const { return static_cast<int32_t>(sections); }
  // Positions of the history block of one section: the largest delay plus the sub-steps.
  int32_t Span(int32_t nsub) const { return max_delay + nsub; }
  double& Outflow(int32_t s, int32_t j) { return outflow[s * outflow_stride + j]; }
  double Outflow(int32_t s, int32_t j) const { return outflow[s * outflow_stride + j]; }
};

// Defaults of values <= 0, the recession factors (storage constants per sub-step of
// dt / nsub minutes), λ, the table rows (largest discharge first, the mean-channel velocity
// carried from row to row), the sections, delays and history length; the section state arrays
// sized for `tracers` tracers, all 0. `divisor` divides the discharges (1 for no divisor).
void BuildChannelTable(ChannelParameters& p, double dt, int32_t nsub, double divisor,
                       int32_t tracers, ChannelRecord& record);

// The longest travel time through one channel that a run accepts (h): a leap year.
inline constexpr double kLongestChannelHours = 8784.0;

// First row 1..N+1 whose mean velocity is not > 0 or whose travel time is not finite; 0 when
// every row is sound. A channel with such a row cannot be routed.
int32_t FirstUnsoundRow(const ChannelRecord& record);

// The text of a table file: the title line, the parameters with their units, the column header
// and one line per row. `substep_hours` turns the recession factors back into hours.
std::string FormatChannelTable(const std::string& title, const ChannelParameters& p,
                               const ChannelRecord& record, int32_t nsub, double substep_hours);

}  // namespace velorn

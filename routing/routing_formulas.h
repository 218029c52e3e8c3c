// The formulas of discharge routing, each a pure function of its inputs: unit conversions
// between discharge and water depth, mixing of concentrations, the Manning-Strickler fixed point
// of a rectangular channel, the recession factor of a linear storage, the table row of a flow,
// the travel-time decay of a tracer.
//
// Callers: the routing stretch (routing/routing_stretch.h) and its channel table
// (routing/channel_table.h); the routing model, reservoirs and abstractions use the same
// conversions. No registry, no MPI, no allocation.
//
// Units: flows of the routing are water depths in mm per time step over the area they belong
// to; discharges are m³/s; areas km²; the time step dt is in minutes; storage constants in
// hours.
#pragma once

#include <cstdint>

namespace velorn {

// m³/s to mm per time step over `area` km²: Q · 0.06 · dt / area.
double DischargeToDepth(double discharge, double area, double dt);
// mm per time step over `area` km² to m³/s: x · area · 16.6666667 / dt. (Not the exact inverse
// of DischargeToDepth: the product of the two factors is 1.000000002.)
double DepthToDischarge(double depth, double area, double dt);

// (|wx|·x + |wy|·y) / (|wx| + |wy|), 0 when both weights are 0.
double WeightedMean(double x, double y, double wx, double wy);
// a · b.
double Multiply(double a, double b);
// b · a / (b − c), 0 when b = c.
double ScaleToDifference(double a, double b, double c);

// Flow through a rectangular section of width B by a fixed-point iteration on the velocity:
// A = Q / v_old (0 when v_old <= 0), h = A / B, P = 2h + B, R = A / P, v = R^0.66667 · M · √I
// (0 when P <= 0 or R <= 0), until |v_old − v| <= tolerance or `max_iterations` iterations.
// `velocity` is the start value on entry (0 gives 0 at once) and the result on return; `level`
// and `radius` receive h and R of the last iteration.
struct ManningSection {
  double discharge = 0;  // m³/s
  double width = 0;      // m
  double level = 0;      // m
  double radius = 0;     // m
  double velocity = 0;   // m/s
};
void SolveManning(ManningSection& section, int32_t max_iterations, double manning,
                  double root_slope, double tolerance);

// Storage constants in hours that are 0 or less are taken as this.
inline constexpr double kMinStorageConstantHours = 0.01;

// The abbreviation of "specific" (discharge per area, l/s/km²) that the channel-table files and
// the routing messages print.
// clang-format off
#define VELORN_SPECIFIC_ABBREVIATION "sp" "ec."
// clang-format on

// Recession factor exp(−Δt/k) of a linear storage with constant k (hours) over a routing
// sub-step of Δt hours; k <= 0 counts as 0.01 h.
double RecessionFactor(double storage_constant_hours, double substep_hours);
// The storage constant (hours) that gives `factor` over a sub-step of Δt hours: −Δt / ln(factor);
// 0 for a factor of 1 and −9999 for a factor <= 0 (the table file's convention).
double StorageConstantHours(double factor, double substep_hours);

// The water a channel's linear storages hold behind an outflow of `outflow` (mm per sub-step)
// when a flood-plain share `share` of the flow passes the flood plain: mean channel (recession
// factor km) and flood plain (kf) act on the flow as one storage of factor k = (1 − share)·km +
// share·kf, whose outflow O_t = (1 − k)·x_t + k·O_t−1 keeps k / (1 − k)·O_t of water.
double StoredBehindOutflow(double outflow, double share, double km, double kf);

// Row (1..last_row) of a water-level/discharge table for a flow x in mm per time step:
// q = max(1e-7, 16666.668 / dt · x) l/s/km², row = max(1, ⌈ln(q / qmin) / λ⌉) when λ > 0, else
// 1; at most last_row = truncation of 1 + n. Never below 1.
int32_t TableRow(double depth, double dt, double qmin, double log_step, int32_t last_row);

// Decay factor of a tracer of half-life T days over `substeps` routing sub-steps of dt / nsub
// minutes: exp(−(time in days) / (T · 1.442695041111)); 1 (no decay) when T <= 0.
double TravelDecayFactor(int32_t substeps, double dt, int32_t nsub, double half_life_days);

}  // namespace velorn

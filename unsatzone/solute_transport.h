// Solute transport through one soil column in one sub-step: the tracers of
// [substance_transport] move with the water fluxes that the soil-water solution of the sub-step
// produced, then mix through the saturated layers (and the aquifer below them) and decay.
//
// Called by the sub-step body once per cell after the water solution, from the OpenMP threads
// (one cell per call, no shared state). It works on plain arrays of one column indexed by layer
// 1..N (boundary fluxes q[0..N], q[k] through the lower boundary of layer k, m/s, positive
// upward), so the per-thread column work space hands its arrays in directly.
//
// Scheme: explicit and upwind. Every water flux carries the concentration of the layer it
// leaves. Where more water passes through a layer in the sub-step than it holds, the sub-step
// is split into equal parts (the layers' water running linearly from its start to its end
// value) so that no layer exports more in a part than it holds at the part's start: the water
// leaves with its solute, and no layer rises above the concentrations that reach it. Beyond
// kMaxSoluteParts parts (a layer all but emptied while water passes through it), and where the
// water does not follow the fluxes, the fluxes leaving a layer are scaled together to what it
// holds; a layer holding 0.001 mm of water or less exports nothing. Each transfer is booked once,
// out of one layer and into the other (or out of the column), so solute mass is conserved per
// layer and for the column. Masses are concentration x water in mm.
//
// Limits: a layer without water after the sub-step (theta 0) keeps concentration 0.
#pragma once

#include <cstdint>

namespace velorn {

// Water of one column in one sub-step (arrays indexed by layer; q by boundary 0..N).
struct SoluteWater {
  const double* theta0 = nullptr;      // water content at the sub-step start
  const double* theta = nullptr;       // water content at its end
  const double* dz = nullptr;          // thickness, m
  const double* q = nullptr;           // boundary fluxes 0..N, m/s, positive upward
  const double* extraction = nullptr;  // interflow and drainage out of the layer, m/s
  const double* uptake = nullptr;      // further extraction (root uptake), m/s; may be null
  const double* river_out = nullptr;   // exfiltration into the river, m/s; may be null
  const double* river_in = nullptr;    // infiltration from the river, m/s; may be null
  const double* aquifer_in =
      nullptr;                    // water the groundwater model gave the layer, m/s; may be null
  int32_t first = 1, last = 0;    // active layers
  int32_t groundwater_layer = 0;  // first saturated layer (0: none)
  double dt = 0;                  // sub-step, s
  double aquifer_water = 0;       // water of the aquifer below the column, mm (0: none)
  // What the water does to every tracer alike, from SoluteTransportParts once per sub-step: the
  // parts of the split (0: each call counts them) and the water leaving each layer, m/s (null:
  // each call adds it up).
  int32_t parts = 0;
  const double* leaving = nullptr;
  // From PrepareSoluteWater, per layer (null: each call computes them): the water at the
  // sub-step's start and end, mm, and the share of its export that the first part lets leave.
  const double* start_water = nullptr;
  const double* end_water = nullptr;
  const double* first_ratio = nullptr;
  // Room for 3 (last + 2) doubles that a call may overwrite (null: each call allocates it).
  double* work = nullptr;
};

// One tracer's settings for the sub-step.
struct SoluteTracer {
  double input_concentration = 0;    // of the infiltrating water
  double river_concentration = 0;    // of the river water
  double aquifer_concentration = 0;  // of the water the groundwater model gives
  double decay_factor = 1;           // per sub-step (1: no decay)
  // Largest concentration that moving water carries (0: no limit); for tracers of kind 0.
  double carried_limit = 0;
};

// Solute that left the column during the sub-step (mass).
// `bottom` is net: water rising into the column from below counts negative.
// `returned` is the solute the water from the groundwater model brought in.
struct SoluteOutflows {
  double extracted = 0, uptake = 0, river = 0, bottom = 0, top = 0, returned = 0;
};

// Most parts a sub-step's transport is split into.
inline constexpr int32_t kMaxSoluteParts = 100;
// Water of a layer, mm, at or below which it exports nothing.
inline constexpr double kSoluteDryLayerMm = 0.001;

// Number of parts the sub-step's transport needs so that no layer exports more water in a part
// than it holds at the part's start (1 to kMaxSoluteParts). A layer that gives no more than it
// holds at the start and at the end of the sub-step needs no split and costs no division.
// `leaving` (may be null) receives the water leaving each layer, m/s.
int32_t SoluteTransportParts(const SoluteWater& water, double* leaving = nullptr);

// Fills what the water of the sub-step does to every tracer alike, for the calls of all
// tracers: `parts`, `leaving`, `start_water`, `end_water` and `first_ratio` of `water`, in
// `room` of 4 (last + 2) doubles.
void PrepareSoluteWater(SoluteWater& water, double* room);

// Decay factor per sub-step of a tracer with `half_life_days`, for a step of
// `interval_minutes` in `substeps` sub-steps.
double DecayFactorPerSubstep(double half_life_days, double interval_minutes, int32_t substeps);

// Moves one tracer: `concentration` (layers 1..N) is updated; `previous` (may be null) receives
// the values of the sub-step start; `aquifer_concentration` (when the aquifer takes part) is mixed
// with the saturated layers. Returns what left the column.
SoluteOutflows ComputeSoluteTransport(const SoluteWater& water, const SoluteTracer& tracer,
                                      double* concentration, double* previous,
                                      double* aquifer_concentration);

}  // namespace velorn

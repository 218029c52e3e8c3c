// Every tracer of a cell's column moved through one inner step in one call: the soil-water cell
// body's transport of its tracers (unsatzone/soil_water_cell.cpp).
//
// The tracers' masses lie side by side per layer (`mass[k * stride + t]`, tracer t = 0..T-1 of
// layer k, stride SoluteLaneStride(T)), so that what the water does (the layers' water, the
// share of each transfer, the split of the step) is found once for all tracers, and each
// tracer's own arithmetic runs on pairs of tracers at once: every operation acts on each lane
// alone with the same IEEE arithmetic as on one double, in the order ComputeSoluteTransport
// takes it for one tracer. A tracer's numbers are therefore those of the transport of it
// alone, to the bit: its masses pass through its concentrations at the step's start (the
// masses over the layers' water) and at its end (times the layers' water), as the cell body
// handed them to that transport and took them back.
//
// Before the transport the solute of the macropores' water joins the layers: per layer
// `mix[t] * inflow[k] * factor`, times `kept[k]` for a tracer whose `keeps[t]` is 1.
//
// Limits: the column of a model cell (every extraction array of the water given, no river
// inflow, no aquifer below it, no limit of the carried concentration). A step that needs more
// than one part, or other water, moves each tracer alone through ComputeSoluteTransport.
#pragma once

#include <cstdint>

#include "unsatzone/solute_transport.h"

namespace velorn {

// Lanes of T tracers: T rounded up to pairs (an idle lane with nothing in it pads an odd count).
inline int32_t SoluteLaneStride(int32_t tracers) {
  return tracers + (tracers & 1);
}

// The tracers of one column in one inner step. Per-lane arrays hold SoluteLaneStride(count)
// entries (an idle lane: 0, decay 1, keeps 0).
struct SoluteLanes {
  int32_t count = 0;  // tracers T
  // [k * stride + t], layers first..last: the masses at the step's start, on return at its end
  double* mass = nullptr;
  const double* mix = nullptr;                    // concentration of the macropores' water
  const double* keeps = nullptr;                  // 1: its macropore solute follows `kept`
  const double* input_concentration = nullptr;    // of the infiltrating water
  const double* aquifer_concentration = nullptr;  // of the water the groundwater model gives
  const double* decay_factor = nullptr;           // over the inner step
  const double* inflow = nullptr;                 // per layer: macropore inflow, m/s
  const double* kept = nullptr;  // per layer: the share of it left after uptake (given)
  double factor = 0;             // m/s -> mm over the inner step
  // Per layer (may be null): the water the exchange with the groundwater brought into the layer
  // (> 0) or took out of it (< 0), m/s; where given and the water has no uptake and no
  // aquifer_in, they are the largest of 0 and -exchange and of 0 and exchange.
  const double* exchange = nullptr;
  SoluteOutflows* out = nullptr;  // [t]: what left the column
};

// Moves the tracers of `lanes` with `water` in `room` of 10 (last + 2) doubles.
void MoveSoluteLanes(const SoluteWater& water, double* room, const SoluteLanes& lanes);

}  // namespace velorn

// The tracers of a cell's column moved together (see solute_lanes.h).
#include "unsatzone/solute_lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velorn {

namespace {

// Two tracers side by side (GCC's vector extension: SSE2 on x86-64). Addition, subtraction,
// multiplication and division act on each lane alone, correctly rounded as on one double; no
// operation here contracts or reorders them.
using Pair = double __attribute__((vector_size(16)));
using PairMask = long long __attribute__((vector_size(16)));

inline Pair LoadPair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StorePair(double* p, Pair v) {
  std::memcpy(p, &v, sizeof v);
}
inline Pair SplatPair(double x) {
  return Pair{x, x};
}

bool IsCellColumn(const SoluteWater& w) {
  return w.extraction != nullptr && w.uptake != nullptr && w.river_out != nullptr &&
         w.aquifer_in != nullptr && w.river_in == nullptr;
}

// Each tracer alone through ComputeSoluteTransport, its concentrations in `conc` (N + 2).
void MoveOneByOne(const SoluteWater& w, double* conc, const SoluteLanes& lanes) {
  const int32_t stride = SoluteLaneStride(lanes.count);
  for (int32_t t = 0; t < lanes.count; ++t) {
    for (int32_t k = w.first; k <= w.last; ++k) {
      double& mass = lanes.mass[k * stride + t];
      mass += lanes.mix[t] * lanes.inflow[k] * lanes.factor *
              (lanes.keeps[t] != 0 ? lanes.kept[k] : 1.0);
      const double water = w.start_water[k];
      conc[k] = water > 0 ? mass / water : 0.0;
    }
    SoluteTracer settings;
    settings.input_concentration = lanes.input_concentration[t];
    settings.aquifer_concentration = lanes.aquifer_concentration[t];
    settings.decay_factor = lanes.decay_factor[t];
    lanes.out[t] = ComputeSoluteTransport(w, settings, conc, nullptr, nullptr);
    for (int32_t k = w.first; k <= w.last; ++k)
      lanes.mass[k * stride + t] = conc[k] * w.theta[k] * w.dz[k] * 1000.0;
  }
}

// Two tracers (lanes `t` and `t + 1`) through a step that needs one part, in one pass over the
// layers that also finds what the water does (the layers' water, what leaves them, their
// shares: PrepareSoluteWater's numbers): the masses pass through their start concentrations,
// every transfer carries the concentration of the layer it leaves scaled by that layer's
// share, the saturated layers mix, the tracers decay, and the masses return through their end
// concentrations. Returns false, the masses untouched, where a layer needs more than one part.
// `room`: 3 (last + 2) doubles.
bool MovePair(const SoluteWater& w, const SoluteLanes& lanes, int32_t t, double* room) {
  const int32_t first = w.first, last = w.last;
  const auto size = static_cast<std::size_t>(last + 2);
  const int32_t stride = SoluteLaneStride(lanes.count);
  double* moved = room;                 // [2 k + lane]: the pair's masses after the transfers
  double* end_water = room + 2 * size;  // the layers' water at the step's end, mm
  double* mass = lanes.mass + t;
  const double* theta0 = w.theta0;
  const double* theta = w.theta;
  const double* dz = w.dz;
  const double* q = w.q;
  const double* extraction = w.extraction;
  const double* uptake = w.uptake;
  const double* river_out = w.river_out;
  const double* aquifer_in = w.aquifer_in;
  const double* inflow = lanes.inflow;
  const double* kept = lanes.kept;
  const Pair mix = LoadPair(lanes.mix + t);
  const Pair factor = SplatPair(lanes.factor);
  // The lanes whose macropore solute follows `kept` take its share, the others 1 (exact).
  const PairMask keeps =
      PairMask{lanes.keeps[t] != 0 ? -1LL : 0LL, lanes.keeps[t + 1] != 0 ? -1LL : 0LL};
  const PairMask ones = ~keeps & reinterpret_cast<PairMask>(SplatPair(1.0));
  const Pair input = LoadPair(lanes.input_concentration + t);
  const Pair aquifer = LoadPair(lanes.aquifer_concentration + t);
  const Pair zero = SplatPair(0.0);
  const double mm = w.dt * 1000.0;  // m/s over the step (its one part) in mm
  Pair top = zero, extracted = zero, taken = zero, river = zero, returned = zero, bottom = zero;
  // Layer k - 1: its share, its start concentration and its mass, still open to the transfer
  // through the boundary between the two.
  double share_above = 0;
  Pair conc_above = zero, mass_above = zero;
  for (int32_t k = first; k <= last; ++k) {
    // The layer's water and what leaves it; a layer that gives more than it holds at the start
    // or at the end needs a split unless it is all but dry.
    const double start = theta0[k] * dz[k] * 1000.0, end = theta[k] * dz[k] * 1000.0;
    end_water[k] = end;
    const double leaving =
        (std::max(0.0, -q[k]) + std::max(0.0, q[k - 1]) + std::max(0.0, extraction[k]) +
         std::max(0.0, uptake[k]) + std::max(0.0, river_out[k])) *
        mm;
    if (!(leaving <= start && leaving <= end)) {
      double needed = 0;
      if (end >= start) {
        if (start > kSoluteDryLayerMm) needed = leaving / start;
      } else if (end > kSoluteDryLayerMm) {
        needed = (leaving - (start - end)) / end;
      }
      if (std::ceil(needed) > 1) return false;
    }
    const double share = start <= kSoluteDryLayerMm ? 0.0 : leaving > start ? start / leaving : 1.0;
    const Pair kept_share =
        reinterpret_cast<Pair>((keeps & reinterpret_cast<PairMask>(SplatPair(kept[k]))) | ones);
    const Pair arrived =
        LoadPair(mass + k * stride) + mix * SplatPair(inflow[k]) * factor * kept_share;
    const Pair conc = start > 0 ? arrived / SplatPair(start) : zero;
    Pair m = SplatPair(start) * conc;
    const double up = q[k - 1] * mm;
    if (up < 0) {
      if (k == first) {
        m += SplatPair(-up) * input;
      } else {
        const Pair s = SplatPair(std::max(0.0, -up) * share_above) * conc_above;
        m += s;
        mass_above -= s;
      }
    } else if (up > 0) {
      const Pair s = SplatPair(std::max(0.0, up) * share) * conc;
      m -= s;
      if (k > first)
        mass_above += s;
      else
        top += s;
    }
    if (k > first) StorePair(moved + 2 * (k - 1), mass_above);
    const Pair e = SplatPair(std::max(0.0, extraction[k] * mm) * share) * conc;
    const Pair u = SplatPair(std::max(0.0, uptake[k] * mm) * share) * conc;
    const Pair r = SplatPair(std::max(0.0, river_out[k] * mm) * share) * conc;
    m -= e + u + r;
    extracted += e;
    taken += u;
    river += r;
    if (aquifer_in[k] > 0) {
      const Pair s = SplatPair(aquifer_in[k] * mm) * aquifer;
      m += s;
      returned += s;
    }
    share_above = share;
    conc_above = conc;
    mass_above = m;
  }
  // Lower boundary: leaving downward, or rising from below at the lowest layer's concentration.
  const double below = q[last] * mm;
  if (below < 0) {
    const Pair s = SplatPair(std::max(0.0, -below) * share_above) * conc_above;
    mass_above -= s;
    bottom += s;
  } else if (below > 0) {
    const Pair s = SplatPair(below) * conc_above;
    mass_above += s;
    bottom -= s;
  }
  StorePair(moved + 2 * last, mass_above);
  // Saturated layers: one mixed concentration, solute kept.
  const int32_t g = w.groundwater_layer;
  if (g >= first && g <= last) {
    Pair solute = zero;
    double water = 0;
    for (int32_t k = g; k <= last; ++k) {
      solute += LoadPair(moved + 2 * k);
      water += end_water[k];
    }
    if (water > 0) {
      const Pair mixed = solute / SplatPair(water);
      for (int32_t k = g; k <= last; ++k)
        StorePair(moved + 2 * k,
                  mixed * SplatPair(theta[k]) * SplatPair(dz[k]) * SplatPair(1000.0));
    }
  }
  // Decay; back to masses through the end concentrations.
  const Pair decay = LoadPair(lanes.decay_factor + t);
  for (int32_t k = first; k <= last; ++k) {
    const double water = end_water[k];
    const Pair c = water > 0 ? LoadPair(moved + 2 * k) / SplatPair(water) * decay : zero;
    StorePair(mass + k * stride, c * SplatPair(theta[k]) * SplatPair(dz[k]) * SplatPair(1000.0));
  }
  for (int32_t lane = 0; lane < 2 && t + lane < lanes.count; ++lane) {
    SoluteOutflows& out = lanes.out[t + lane];
    out.top = top[lane];
    out.extracted = extracted[lane];
    out.uptake = taken[lane];
    out.river = river[lane];
    out.returned = returned[lane];
    out.bottom = bottom[lane];
  }
  return true;
}

}  // namespace

void MoveSoluteLanes(SoluteWater& w, double* room, const SoluteLanes& lanes) {
  if (lanes.count < 1 || w.last < w.first) return;
  // A step of one part moves pair after pair (the first finds whether one part will do).
  if (IsCellColumn(w) && MovePair(w, lanes, 0, room)) {
    for (int32_t t = 2; t < lanes.count; t += 2) MovePair(w, lanes, t, room);
    return;
  }
  const auto size = static_cast<std::size_t>(w.last + 2);
  w.work = room + 4 * size;
  PrepareSoluteWater(w, room);
  MoveOneByOne(w, room + 7 * size, lanes);
}

}  // namespace velorn

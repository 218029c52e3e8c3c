// The tracers of a cell's column moved together (see solute_lanes.h).
#include "unsatzone/solute_lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velorn {

namespace {

// Two tracers side by side (GCC's vector extension: SSE2 on x86-64). Addition, subtraction,
// multiplication and division act on each lane alone, correctly rounded as on one double, in the
// order written (the build's x86-64 has no fused multiply-add to contract them into, for the
// lanes as for the transport of one tracer).
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

// The largest of 0 and x, std::max(0.0, x) to the bit (0 for a NaN or -0): SSE2's maxsd of x
// and 0 gives x where x > 0 and its second operand, 0, otherwise.
inline double Positive(double x) {
#if defined(__SSE2__)
  return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(x), _mm_setzero_pd()));
#else
  return std::max(0.0, x);
#endif
}

// The water of a model cell's column: every extraction array given (the uptake and the
// aquifer's inflow, or the exchange they come from), no river inflow.
bool IsCellColumn(const SoluteWater& w, bool exchange) {
  return w.extraction != nullptr && w.river_out != nullptr && w.river_in == nullptr &&
         (exchange || (w.uptake != nullptr && w.aquifer_in != nullptr));
}

// The uptake and the aquifer's inflow of layer k: from the exchange's signed rate `s` (where
// given, kExchange) they are the largest of 0 and -s and of 0 and s, as the caller's arrays
// would hold them (and the largest of 0 and such a value is the value).
template <bool kExchange>
inline double UptakeOf(const SoluteWater& w, const double* exchange, int32_t k) {
  if constexpr (kExchange) {
    return Positive(-exchange[k]);
  } else {
    return Positive(w.uptake[k]);
  }
}
template <bool kExchange>
inline double AquiferInOf(const SoluteWater& w, const double* exchange, int32_t k) {
  if constexpr (kExchange) {
    return exchange[k];  // used only where > 0
  } else {
    return w.aquifer_in[k];
  }
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
template <bool kExchange>
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
  const double* river_out = w.river_out;
  const double* exchange = lanes.exchange;
  const double* inflow = lanes.inflow;
  const double* kept = lanes.kept;
  const Pair mix = LoadPair(lanes.mix + t);
  const Pair factor = SplatPair(lanes.factor);
  // The lanes whose macropore solute follows `kept` take its share, the others 1 (exact).
  const PairMask keeps = LoadPair(lanes.keeps + t) != SplatPair(0.0);
  const PairMask ones = ~keeps & reinterpret_cast<PairMask>(SplatPair(1.0));
  const Pair input = LoadPair(lanes.input_concentration + t);
  const Pair aquifer = LoadPair(lanes.aquifer_concentration + t);
  const Pair zero = SplatPair(0.0);
  const double mm = w.dt * 1000.0;  // m/s over the step (its one part) in mm
  if (!(mm > 0 && mm < std::numeric_limits<double>::infinity())) return false;
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
    // Water leaving through the extraction arrays, m/s (as mm: these times mm, which is what
    // the transport of one tracer finds as the largest of 0 and the rate in mm, mm being > 0).
    const double out_e = Positive(extraction[k]), out_u = UptakeOf<kExchange>(w, exchange, k),
                 out_r = Positive(river_out[k]);
    const double leaving = (Positive(-q[k]) + Positive(q[k - 1]) + out_e + out_u + out_r) * mm;
    // Its share of the export: 0 when all but dry, what it holds over what leaves when more
    // leaves, else 1.
    double share = 1.0;
    if (!(leaving <= start && leaving <= end)) {
      double needed = 0;
      if (end >= start) {
        if (start > kSoluteDryLayerMm) needed = leaving / start;
      } else if (end > kSoluteDryLayerMm) {
        needed = (leaving - (start - end)) / end;
      }
      if (std::ceil(needed) > 1) return false;
      if (leaving > start) share = start / leaving;
    }
    if (start <= kSoluteDryLayerMm) share = 0.0;
    // The macropores' solute (a kept share of 1 leaves it as it is).
    Pair arriving = mix * SplatPair(inflow[k]) * factor;
    if (kept[k] != 1.0)
      arriving *=
          reinterpret_cast<Pair>((keeps & reinterpret_cast<PairMask>(SplatPair(kept[k]))) | ones);
    const Pair conc =
        start > 0 ? (LoadPair(mass + k * stride) + arriving) / SplatPair(start) : zero;
    Pair m = SplatPair(start) * conc;
    // Upper boundary (the largest of 0 and a volume of known sign is the volume).
    const double up = q[k - 1] * mm;
    if (up < 0) {
      if (k == first) {
        m += SplatPair(-up) * input;
      } else {
        const Pair s = SplatPair(-up * share_above) * conc_above;
        m += s;
        mass_above -= s;
      }
    } else if (up > 0) {
      const Pair s = SplatPair(up * share) * conc;
      m -= s;
      if (k > first)
        mass_above += s;
      else
        top += s;
    }
    if (k > first) StorePair(moved + 2 * (k - 1), mass_above);
    if (out_e + out_u + out_r == 0) {
      // Each of the three carries 0 times the concentration, and so does their sum.
      const Pair none = zero * conc;
      m -= none;
      extracted += none;
      taken += none;
      river += none;
    } else {
      const Pair e = SplatPair(out_e * mm * share) * conc;
      const Pair u = SplatPair(out_u * mm * share) * conc;
      const Pair r = SplatPair(out_r * mm * share) * conc;
      m -= e + u + r;
      extracted += e;
      taken += u;
      river += r;
    }
    if (const double in = AquiferInOf<kExchange>(w, exchange, k); in > 0) {
      const Pair s = SplatPair(in * mm) * aquifer;
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
    const Pair s = SplatPair(-below * share_above) * conc_above;
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

namespace {

// Each tracer alone (a step of several parts, or other water than a cell's), the uptake and the
// aquifer's inflow from the exchange where it is given (not inlined: the common step of one
// part keeps a short call).
__attribute__((noinline)) void MoveAlone(const SoluteWater& water, double* room,
                                         const SoluteLanes& lanes, bool exchange) {
  const auto size = static_cast<std::size_t>(water.last + 2);
  SoluteWater w = water;
  if (exchange) {
    double* uptake = room + 8 * size;
    double* aquifer_in = room + 9 * size;
    for (int32_t k = w.first; k <= w.last; ++k) {
      uptake[k] = std::max(0.0, -lanes.exchange[k]);
      aquifer_in[k] = std::max(0.0, lanes.exchange[k]);
    }
    w.uptake = uptake;
    w.aquifer_in = aquifer_in;
  }
  w.work = room + 4 * size;
  PrepareSoluteWater(w, room);
  MoveOneByOne(w, room + 7 * size, lanes);
}

}  // namespace

void MoveSoluteLanes(const SoluteWater& water, double* room, const SoluteLanes& lanes) {
  if (lanes.count < 1 || water.last < water.first) return;
  const bool exchange =
      lanes.exchange != nullptr && water.uptake == nullptr && water.aquifer_in == nullptr;
  // A step of one part moves pair after pair (the first finds whether one part will do).
  if (IsCellColumn(water, exchange) &&
      (exchange ? MovePair<true>(water, lanes, 0, room) : MovePair<false>(water, lanes, 0, room))) {
    for (int32_t t = 2; t < lanes.count; t += 2)
      exchange ? MovePair<true>(water, lanes, t, room) : MovePair<false>(water, lanes, t, room);
    return;
  }
  MoveAlone(water, room, lanes, exchange);
}

}  // namespace velorn

// Upwind solute transport of one soil column (see solute_transport.h).
#include "unsatzone/solute_transport.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace velorn {

double DecayFactorPerSubstep(double half_life_days, double interval_minutes, int32_t substeps) {
  if (!(half_life_days > 0) || substeps < 1) return 1.0;
  return std::exp(-(interval_minutes / substeps / 60.0 / 24.0) / (1.442695041111 * half_life_days));
}

namespace {

// The column of a model cell hands in every extraction array and no river inflow: its build of
// the transport (`kCell`) reads those arrays without testing for a missing one, with the same
// numbers as the general build.
inline bool IsCellWater(const SoluteWater& w) {
  return w.extraction != nullptr && w.uptake != nullptr && w.river_out != nullptr &&
         w.aquifer_in != nullptr && w.river_in == nullptr;
}

// Value k of an optional array (0 without it).
template <bool kCell>
inline double At(const double* a, int32_t k) {
  if constexpr (kCell) {
    return a[k];
  } else {
    return a == nullptr ? 0.0 : a[k];
  }
}

// Infiltration from the river into layer k (none in a cell's column).
template <bool kCell>
inline double RiverIn(const SoluteWater& w, int32_t k) {
  if constexpr (kCell) {
    return 0.0;
  } else {
    return At<false>(w.river_in, k);
  }
}

// Everything that leaves layer k, m/s.
template <bool kCell>
inline double Leaving(const SoluteWater& w, int32_t k) {
  return std::max(0.0, -w.q[k]) + std::max(0.0, w.q[k - 1]) +
         std::max(0.0, At<kCell>(w.extraction, k)) + std::max(0.0, At<kCell>(w.uptake, k)) +
         std::max(0.0, At<kCell>(w.river_out, k));
}

// The layers' solute `mass` and what left the column after the transfers of one part of the
// sub-step (`mm`: m/s over the part in mm). Each transfer carries the concentration `start` of
// the layer it leaves, scaled by the layer's `ratio`. The arrays, the tracer's settings and the
// outflows are read into locals first: the stores into `mass` could otherwise alias them, and
// each would be read again after every store.
template <bool kCell>
void MoveOnePart(const SoluteWater& w, const SoluteTracer& tracer, double mm, const double* start,
                 const double* ratio, double* mass, const double* aquifer_c, SoluteOutflows& out) {
  const int32_t first = w.first, last = w.last;
  const double* q = w.q;
  const double* extraction = w.extraction;
  const double* uptake = w.uptake;
  const double* river_out = w.river_out;
  const double* aquifer_in = w.aquifer_in;
  const double limit = tracer.carried_limit;
  const double input_concentration = tracer.input_concentration;
  const double river_concentration = tracer.river_concentration;
  const double aquifer_concentration = tracer.aquifer_concentration;
  double top = out.top, extracted = out.extracted, taken = out.uptake, river = out.river;
  double returned = out.returned;
  // The concentration that water leaving layer k carries (limited), and the solute carried by
  // `volume` mm of it (upwind, scaled by the layer's ratio `share`).
  const auto concentration = [&](int32_t k) {
    return limit > 0 ? std::min(start[k], limit) : start[k];
  };
  const auto carried = [](double volume, double share, double conc) {
    return std::max(0.0, volume) * share * conc;
  };
  double conc_above = 0, ratio_above = 0;  // of layer k - 1
  for (int32_t k = first; k <= last; ++k) {
    const double conc = concentration(k);
    const double share = ratio[k];
    // Upper boundary of layer k: water entering from above, or rising out of k.
    const double up = q[k - 1] * mm;
    if (up < 0) {
      const double s =
          k == first ? -up * input_concentration : carried(-up, ratio_above, conc_above);
      mass[k] += s;
      if (k > first) mass[k - 1] -= s;
    } else if (up > 0) {
      const double s = carried(up, share, conc);
      mass[k] -= s;
      if (k > first)
        mass[k - 1] += s;
      else
        top += s;
    }
    conc_above = conc;
    ratio_above = share;
    const double e = carried(At<kCell>(extraction, k) * mm, share, conc);
    const double u = carried(At<kCell>(uptake, k) * mm, share, conc);
    const double r = carried(At<kCell>(river_out, k) * mm, share, conc);
    mass[k] -= e + u + r;
    extracted += e;
    taken += u;
    river += r;
    if (RiverIn<kCell>(w, k) > 0) mass[k] += RiverIn<kCell>(w, k) * mm * river_concentration;
    if (At<kCell>(aquifer_in, k) > 0) {
      const double s = At<kCell>(aquifer_in, k) * mm * aquifer_concentration;
      mass[k] += s;
      returned += s;
    }
  }
  out.top = top;
  out.extracted = extracted;
  out.uptake = taken;
  out.river = river;
  out.returned = returned;
  // Lower boundary of the active range: leaving downward, or rising from the layer below.
  const double bottom = q[last] * mm;
  if (bottom < 0) {
    const double s = carried(-bottom, ratio[last], concentration(last));
    mass[last] -= s;
    out.bottom += s;
  } else if (bottom > 0) {
    // Water rising into the range brings the aquifer's concentration (or the lowest layer's).
    const double s = bottom * (aquifer_c != nullptr ? *aquifer_c : start[last]);
    mass[last] += s;
    out.bottom -= s;
  }
}

// SoluteTransportParts; with `kFill` it also writes the water leaving each layer into `rates` and
// the layers' water at the start and at the end of the sub-step, mm, into `start_water` and
// `end_water` (one pass for what PrepareSoluteWater needs).
template <bool kCell, bool kFill>
int32_t CountParts(const SoluteWater& w, double* rates, double* start_water, double* end_water) {
  const double mm = w.dt * 1000.0;
  const double* theta0 = w.theta0;
  const double* theta = w.theta;
  const double* dz = w.dz;
  double parts = 1;
  for (int32_t k = w.first; k <= w.last; ++k) {
    const double start = theta0[k] * dz[k] * 1000.0, end = theta[k] * dz[k] * 1000.0;
    const double rate = Leaving<kCell>(w, k);
    if constexpr (kFill) {
      start_water[k] = start;
      end_water[k] = end;
      rates[k] = rate;
    } else if (rates != nullptr) {
      rates[k] = rate;
    }
    const double leaving = rate * mm;
    if (leaving <= start && leaving <= end) continue;
    // The water of part p of n is start + (end - start) p / n. A filling layer holds least at
    // the first part's start, a draining one at the last part's, end + (start - end) / n; each
    // must cover the part's export, leaving / n.
    double needed = 0;
    if (end >= start) {
      if (start > kSoluteDryLayerMm) needed = leaving / start;
    } else if (end > kSoluteDryLayerMm) {
      needed = (leaving - (start - end)) / end;
    }
    parts = std::max(parts, std::ceil(needed));
  }
  return static_cast<int32_t>(std::min(parts, static_cast<double>(kMaxSoluteParts)));
}

template <bool kCell>
SoluteOutflows Transport(const SoluteWater& w, const SoluteTracer& tracer, double* c,
                         double* previous, double* aquifer_c) {
  SoluteOutflows out;
  const int32_t first = w.first, last = w.last;
  if (last < first) return out;
  if (previous != nullptr)
    for (int32_t k = first; k <= last; ++k) previous[k] = c[k];
  const auto size = static_cast<std::size_t>(last + 2);
  std::vector<double> own;
  double* mass = w.work;
  if (mass == nullptr) {
    own.resize(3 * size);
    mass = own.data();
  }
  double* ratio = mass + size;
  double* start = ratio + size;
  const double* start_water = w.start_water;
  const double* end_water = w.end_water;
  if (start_water != nullptr) {
    for (int32_t k = first; k <= last; ++k) mass[k] = start_water[k] * c[k];
  } else {
    for (int32_t k = first; k <= last; ++k) mass[k] = w.theta0[k] * w.dz[k] * 1000.0 * c[k];
  }
  const int32_t parts =
      w.parts > 0 ? w.parts : CountParts<kCell, false>(w, nullptr, nullptr, nullptr);
  const double mm = w.dt * 1000.0 / parts;  // m/s over one part in mm
  for (int32_t part = 0; part < parts; ++part) {
    // The first part's shares follow from the water alone: the same for every tracer.
    if (part == 0 && w.first_ratio != nullptr) {
      MoveOnePart<kCell>(w, tracer, mm, c, w.first_ratio, mass, aquifer_c, out);
      continue;
    }
    for (int32_t k = first; k <= last; ++k) {
      // The water the layer holds at the start of the part, and its concentration (the first
      // part's: the concentrations as they came).
      const double w0 = w.theta0[k] * w.dz[k] * 1000.0;
      double water = w0;
      if (part > 0) {
        water += (w.theta[k] * w.dz[k] * 1000.0 - w0) * part / parts;
        start[k] = water > 0 ? std::max(0.0, mass[k]) / water : 0.0;
      }
      const double leaving = (w.leaving != nullptr ? w.leaving[k] : Leaving<kCell>(w, k)) * mm;
      if (water <= kSoluteDryLayerMm)
        ratio[k] = 0.0;
      else
        ratio[k] = leaving > water ? water / leaving : 1.0;
    }
    MoveOnePart<kCell>(w, tracer, mm, part > 0 ? start : c, ratio, mass, aquifer_c, out);
  }
  // Saturated layers and the aquifer: one mixed concentration, solute kept.
  const int32_t g = w.groundwater_layer;
  if (g >= first && g <= last) {
    double solute = 0, water = 0;
    for (int32_t k = g; k <= last; ++k) {
      solute += mass[k];
      water += end_water != nullptr ? end_water[k] : w.theta[k] * w.dz[k] * 1000.0;
    }
    if (aquifer_c != nullptr && w.aquifer_water > 0) {
      solute += w.aquifer_water * *aquifer_c;
      water += w.aquifer_water;
    }
    if (water > 0) {
      const double mix = solute / water;
      for (int32_t k = g; k <= last; ++k) mass[k] = mix * w.theta[k] * w.dz[k] * 1000.0;
      if (aquifer_c != nullptr && w.aquifer_water > 0) *aquifer_c = mix;
    }
  }
  const double decay = tracer.decay_factor;
  if (end_water != nullptr) {
    for (int32_t k = first; k <= last; ++k) {
      const double water = end_water[k];
      c[k] = water > 0 ? mass[k] / water * decay : 0.0;
    }
  } else {
    for (int32_t k = first; k <= last; ++k) {
      const double water = w.theta[k] * w.dz[k] * 1000.0;
      c[k] = water > 0 ? mass[k] / water * decay : 0.0;
    }
  }
  return out;
}

}  // namespace

int32_t SoluteTransportParts(const SoluteWater& w, double* rates) {
  return IsCellWater(w) ? CountParts<true, false>(w, rates, nullptr, nullptr)
                        : CountParts<false, false>(w, rates, nullptr, nullptr);
}

void PrepareSoluteWater(SoluteWater& w, double* room) {
  const auto size = static_cast<std::size_t>(w.last + 2);
  double* leaving = room;
  double* start = room + size;
  double* end = start + size;
  double* ratio = end + size;
  w.parts = IsCellWater(w) ? CountParts<true, true>(w, leaving, start, end)
                           : CountParts<false, true>(w, leaving, start, end);
  w.leaving = leaving;
  w.start_water = start;
  w.end_water = end;
  const double mm = w.dt * 1000.0 / w.parts;
  for (int32_t k = w.first; k <= w.last; ++k) {
    const double water = start[k];
    const double out = leaving[k] * mm;
    ratio[k] = water <= kSoluteDryLayerMm ? 0.0 : out > water ? water / out : 1.0;
  }
  w.first_ratio = ratio;
}

SoluteOutflows ComputeSoluteTransport(const SoluteWater& w, const SoluteTracer& tracer, double* c,
                                      double* previous, double* aquifer_c) {
  return IsCellWater(w) ? Transport<true>(w, tracer, c, previous, aquifer_c)
                        : Transport<false>(w, tracer, c, previous, aquifer_c);
}

}  // namespace velorn

// Heads, fluxes, limiters and the moisture update of one soil column.
#include "unsatzone/soil_column_fluxes.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "unsatzone/soil_column_river.h"
#include "unsatzone/soil_column_state.h"

namespace velorn {

namespace {

using W = SoilColumnWorkspace;

// The operations come in two builds: one for any column and one for a plain column (`kPlain`),
// soil layers alone from layer 1 down, without a snow pack's layers or the heat model's liquid
// fractions (every ice factor 1), where the tests for those fall away.
inline bool IsPlainColumn(const SoilColumnWorkspace& ws, const ColumnCell& cell) {
  return ws.M == 0 && cell.i0 == 0 && cell.snow == nullptr && !cell.liquidFraction;
}

// The entry and its layer index that describe layer i of the column.
struct LayerEntry {
  const SoilRecord* record;
  int layer;
};
template <bool kPlain = false>
inline LayerEntry EntryOf(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i) {
  if (kPlain || i >= 1) return {cell.soil, i};
  return {cell.snow, ws.M + i};
}
// IceFactor, 1 in a plain column.
template <bool kPlain>
inline double Ice(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i) {
  if constexpr (kPlain) {
    return 1.0;
  } else {
    return IceFactor(ws, cell, i);
  }
}
template <bool kPlain>
inline double Suction(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double theta,
                      int& hint) {
  const LayerEntry e = EntryOf<kPlain>(ws, cell, i);
  return e.record->GetSuction(e.layer, theta, hint);
}
inline double Centre(const double* z, int i) {
  return 0.5 * (z[i - 1] + z[i]);
}

// What the fluxes of one ComputeLayerFluxes call read and write of the column, found once.
struct FluxColumn {
  SoilColumnWorkspace& ws;
  const ColumnCell& cell;
  const double* ks;  // saturated conductivities
  double dt;
  const double* t0 = ws[W::kTheta0];
  const double* tm = ws[W::kThetaMean];
  const double* dz = ws[W::kDz];
  const double* z = ws[W::kZBound];
  const double* head = ws[W::kHead];
  double* ext = ws[W::kExtraction];
  int* hints = ws[W::kConductivityHint];
};

// Relative conductivity of layer i at min(theta, cap).
template <bool kPlain>
inline double Relative(const FluxColumn& c, int i, double theta, double cap) {
  const LayerEntry e = EntryOf<kPlain>(c.ws, c.cell, i);
  return e.record->GetRelativeConductivity(e.layer, theta, cap, c.hints[i]);
}

// Interface conductivity between layers i and i + 1 (step 4 of the fluxes: ratio-limited
// harmonic mean near and below the table, the larger of the two above it). `lower` carries the
// relative conductivity of layer i + 1 to the next interface, where it is layer i's (`lowerOf`
// names the layer it belongs to; -1 - M: none), saving one look-up per layer.
template <bool kPlain>
inline double InterfaceConductivity(const FluxColumn& c, int i, double fu, double fl, double& lower,
                                    int& lowerOf) {
  const ColumnCell& cell = c.cell;
  const double* t0 = c.t0;
  const double* tm = c.tm;
  const double* dz = c.dz;
  const double* ks = c.ks;
  if (cell.clayLayer > 0 && (i == cell.clayLayer || i + 1 == cell.clayLayer)) {
    const int k = cell.clayLayer;
    return cell.kSatClay * Relative<kPlain>(c, i, 0.5 * (t0[k] + tm[k]), fu);
  }
  if (i > cell.gwLayer) return ks[i];
  double ru = lowerOf == i ? lower : Relative<kPlain>(c, i, 0.5 * (t0[i] + tm[i]), fu);
  double rl = Relative<kPlain>(c, i + 1, 0.5 * (t0[i + 1] + tm[i + 1]), fl);
  lower = rl;
  lowerOf = i + 1;
  double s = kPlain || i >= 1 ? cell.soil->maxratio : cell.snow->maxratio;
  if (!kPlain && i == 0) s = std::max(s, cell.soil->maxratio);
  if (ru > s * rl) {
    rl = ru / s;
  } else if (s * ru < rl) {
    ru = rl / s;
  }
  if (ru == 0) ru = rl;
  if (rl == 0) rl = ru;
  const double ku = ru * ks[i];
  const double kl = rl * ks[i + 1];
  if (i >= cell.gwLayer - 1) {
    if (ku == 0 && kl == 0) return 0.0;
    return ku * kl * (dz[i] + dz[i + 1]) / (kl * dz[i] + ku * dz[i + 1]);
  }
  return std::max(ku, kl);
}

// Interflow and tile drainage out of layer i; returns the tile drainage.
template <bool kPlain>
inline double Extraction(const FluxColumn& c, int i, double fu) {
  const ColumnCell& cell = c.cell;
  double* ext = c.ext;
  const double* tm = c.tm;
  const double* dz = c.dz;
  const double* ks = c.ks;
  const double dt = c.dt;
  ext[i] = 0;
  if (i >= cell.gwLayer || c.z[i] - c.head[i] >= kInterflowSuctionLimit) return 0.0;
  // A layer that conducts no better than the one below and has no drains gives nothing: the
  // most common way out, taken before the water above field capacity is found.
  const bool drains = i == cell.drainageLayer && cell.drainDistance > 0;
  if (ks[i] <= ks[i + 1] && !drains) return 0.0;
  const double fc = kPlain || i >= 1 ? cell.fieldCapacity[i]
                                     : cell.snow->GetTheta(c.ws.M + i, kFieldCapacitySuction);
  const double qmax = std::max(0.0, (tm[i] - fc) * dz[i] / dt);
  if (qmax <= 0) return 0.0;
  const double r = Relative<kPlain>(c, i, tm[i], fu);
  if (ks[i] > ks[i + 1])
    ext[i] =
        r * ks[i] * dz[i] * (kPlain || i >= 1 ? cell.drainageDensity : cell.snowDrainageDensity);
  double drain = 0;
  if (drains) {
    const double l = cell.drainDistance;
    drain = std::min(qmax, (2.0 * r * ks[i] * dz[i] / l) * cell.cellSize / l);
    ext[i] += drain;
  }
  ext[i] = std::min(ext[i], qmax);
  return drain;
}

// The limiter's inputs at the boundary below layer i besides the flux and the extraction of layer
// i: fixed for the call, read once.
struct Boundary {
  int i;
  double dt, dzu, dzl, fu, fl, qAbove, qBelow, eBelow, t0u, t0l, zu, zl;
  bool falls, rises;
  LayerEntry upper, lower;
};

// The limiter's running values: the flux and the extraction of layer i, the predicted contents
// with their suctions and the table intervals of the look-ups.
struct Prediction {
  double q, e;
  double upperTheta, upperSuction, lowerTheta, lowerSuction;
  int upperHint, lowerHint;
};

// Predicted contents of both layers at the prediction's flux and extraction, their suctions (a
// content that has not changed keeps its suction; a look-up starts from the interval of the last
// one), and whether the predicted heads reverse the gradient by more than 1 mm. `hu` and `hl`
// receive the predicted heads.
inline __attribute__((always_inline)) bool PredictReversed(const Boundary& b, Prediction& p,
                                                           double& hu, double& hl) {
  const double tu = (p.q - p.e - b.qAbove) * b.dt / b.dzu + b.t0u;
  const double tl = (b.qBelow - b.eBelow - p.q) * b.dt / b.dzl + b.t0l;
  if (tu != p.upperTheta) {
    p.upperTheta = tu;
    p.upperSuction = b.upper.record->GetSuction(b.upper.layer, b.fu * tu, p.upperHint);
  }
  if (tl != p.lowerTheta) {
    p.lowerTheta = tl;
    p.lowerSuction = b.lower.record->GetSuction(b.lower.layer, b.fl * tl, p.lowerHint);
  }
  hu = b.zu - p.upperSuction;
  hl = b.zl - p.lowerSuction;
  return (b.falls && hl > hu + 0.001) || (b.rises && hu > hl + 0.001);
}

// The bit patterns of everything a bisection reads at a boundary, the flux first: from these
// inputs alone follows its result (the carried suction and the hints only save look-ups).
inline std::array<std::uint64_t, W::LimiterMemo::kKeySize> LimiterKey(const Boundary& b, double q,
                                                                      double e) {
  return {std::bit_cast<std::uint64_t>(q),
          std::bit_cast<std::uint64_t>(e),
          std::bit_cast<std::uint64_t>(b.qAbove),
          std::bit_cast<std::uint64_t>(b.qBelow),
          std::bit_cast<std::uint64_t>(b.eBelow),
          std::bit_cast<std::uint64_t>(b.t0u),
          std::bit_cast<std::uint64_t>(b.t0l),
          std::bit_cast<std::uint64_t>(b.dt),
          std::bit_cast<std::uint64_t>(b.dzu),
          std::bit_cast<std::uint64_t>(b.dzl),
          std::bit_cast<std::uint64_t>(b.zu),
          std::bit_cast<std::uint64_t>(b.zl),
          std::bit_cast<std::uint64_t>(b.fu),
          std::bit_cast<std::uint64_t>(b.fl),
          static_cast<std::uint64_t>(b.falls) | static_cast<std::uint64_t>(b.rises) << 1,
          reinterpret_cast<std::uintptr_t>(b.upper.record),
          static_cast<std::uint64_t>(static_cast<std::int64_t>(b.upper.layer)),
          reinterpret_cast<std::uintptr_t>(b.lower.record),
          static_cast<std::uint64_t>(static_cast<std::int64_t>(b.lower.layer))};
}

// Whether the memo holds the bisection from flux q and extraction e. Nine in ten bisections that
// miss differ in the flux, the first word: it alone decides those, before the key is made; the
// rest is compared without branches.
inline bool Remembers(const W::LimiterMemo& memo, const Boundary& b, double q, double e) {
  if (!memo.valid || memo.key[0] != std::bit_cast<std::uint64_t>(q)) return false;
  const std::array<std::uint64_t, W::LimiterMemo::kKeySize> key = LimiterKey(b, q, e);
  std::uint64_t differ = 0;
  for (int k = 1; k < W::LimiterMemo::kKeySize; ++k) differ |= memo.key[k] ^ key[k];
  return differ == 0;
}

// The bisection of a boundary whose predicted heads reverse the gradient (the rare way through
// the limiter, kept out of the common one). A bisection from the same inputs as the last one at
// this boundary gives what that one gave: the iterations of a step often bisect a boundary again
// from the very same inputs (a fifth of the bisections of the example year, a third in January).
__attribute__((noinline)) void Bisect(SoilColumnWorkspace& ws, const Boundary& b, Prediction& p) {
  W::LimiterMemo& memo = ws.Memo(b.i);
  if (Remembers(memo, b, p.q, p.e)) {
    p.q = memo.q;
    p.e = memo.e;
    p.lowerTheta = memo.theta;
    p.lowerSuction = memo.suction;
    return;
  }
  const double q0 = p.q;
  const double e0 = p.e;
  auto remember = [&] {
    memo.valid = true;
    memo.key = LimiterKey(b, q0, e0);
    memo.q = p.q;
    memo.e = p.e;
    memo.theta = p.lowerTheta;
    memo.suction = p.lowerSuction;
  };
  // Bisection on the flux (and the layer's extraction) until the gradient just holds. Most
  // bisections find the gradient reversed down to the smallest flux and end at q0 / 2^rounds
  // after all rounds: that end point is tried first, and when the gradient is reversed there
  // too it is the result. (Scaling by a power of two is exact, as ldexp would be.)
  constexpr double kEndScale = 1.0 / static_cast<double>(1LL << kFluxBisectionRounds);
  double hu = 0, hl = 0;
  p.q = q0 * kEndScale;
  p.e = e0 * kEndScale;
  if (PredictReversed(b, p, hu, hl)) return remember();
  p.q = q0;
  p.e = e0;
  double factor = 0.5;
  double direction = -1.0;
  bool reducing = true;
  for (int round = 0; round < kFluxBisectionRounds; ++round) {
    p.q += factor * direction * q0;
    p.e += factor * direction * e0;
    if (PredictReversed(b, p, hu, hl)) {
      if (!reducing) {
        reducing = true;
        direction = -direction;
      }
    } else if (std::fabs(hl - hu) <= 0.001) {
      return remember();
    } else if (reducing) {
      reducing = false;
      direction = -direction;
    }
    factor *= 0.5;
  }
  remember();
}

// What the limiter pass of one ComputeLayerFluxes call reads and writes of the column.
struct LimiterColumn {
  SoilColumnWorkspace& ws;
  const ColumnCell& cell;
  double dt;
  const double* z = ws[W::kZBound];
  const double* head = ws[W::kHead];
  const double* q = ws[W::kQ];
  double* ext = ws[W::kExtraction];
  const double* t0 = ws[W::kTheta0];
  const double* sat = ws[W::kThetaSat];
  int* hints = ws[W::kPredictHint];
};

// The flux limiter at the boundary below layer i (see LimitInterfaceFlux). Its common way, a
// prediction whose heads keep the gradient, runs on plain values; the boundary and its
// prediction are put together only for a bisection.
template <bool kPlain = false>
inline __attribute__((always_inline)) double LimitBoundary(const LimiterColumn& c, int i, double q,
                                                           PredictedSuction& carried) {
  const SoilColumnWorkspace& ws = c.ws;
  const ColumnCell& cell = c.cell;
  const double* z = c.z;
  const double dt = c.dt;
  const double dzu = z[i - 1] - z[i];
  const double dzl = z[i] - z[i + 1];
  const double fu = Ice<kPlain>(ws, cell, i);
  const double fl = Ice<kPlain>(ws, cell, i + 1);
  const double q_above = c.q[i - 1];
  const double q_below = c.q[i + 1];
  const double e_below = c.ext[i + 1];
  const double t0u = c.t0[i];
  const double t0l = c.t0[i + 1];
  const LayerEntry upper = EntryOf<kPlain>(ws, cell, i);
  const LayerEntry lower = EntryOf<kPlain>(ws, cell, i + 1);
  const double e = c.ext[i];
  // A flux that would fill the upper layer beyond saturation is cut to the room it has.
  const double sat = c.sat[i];
  if (q > 0 && (q - e - q_above) * dt / dzu + t0u > sat) {
    const double room = std::fabs(dzu * (sat - t0u) / dt);
    q = room < q ? room : 0.0;
  }
  // The first prediction. The predicted content of layer i often is the one that the boundary
  // above predicted for it (the same sum of the same fluxes): its suction is then carried over,
  // not looked up. Each look-up starts from the interval of the layer's last one.
  int upper_hint = c.hints[i];
  int lower_hint = c.hints[i + 1];
  const double tu = (q - e - q_above) * dt / dzu + t0u;
  const double tl = (q_below - e_below - q) * dt / dzl + t0l;
  const double su = carried.layer == i && tu == carried.theta
                        ? carried.suction
                        : upper.record->GetSuction(upper.layer, fu * tu, upper_hint);
  const double sl = lower.record->GetSuction(lower.layer, fl * tl, lower_hint);
  const double zu = 0.5 * (z[i] + z[i - 1]);
  const double zl = 0.5 * (z[i] + z[i + 1]);
  const double hu = zu - su;
  const double hl = zl - sl;
  const bool falls = c.head[i] > c.head[i + 1];
  const bool rises = c.head[i + 1] > c.head[i];
  if (!((falls && hl > hu + 0.001) || (rises && hu > hl + 0.001))) {
    // The lower layer's predicted content and suction go on to the next boundary down.
    carried = {i + 1, tl, sl};
    c.ext[i] = e;
    c.hints[i] = upper_hint;
    c.hints[i + 1] = lower_hint;
    return q;
  }
  // The gradient reverses: the bisection. Within it the contents move little: each side starts
  // its table search from the interval of its last look-up, and a content that has not changed
  // keeps its suction (late rounds move the flux by less than the contents resolve).
  Boundary b;
  b.i = i;
  b.dt = dt;
  b.dzu = dzu;
  b.dzl = dzl;
  b.fu = fu;
  b.fl = fl;
  b.qAbove = q_above;
  b.qBelow = q_below;
  b.eBelow = e_below;
  b.t0u = t0u;
  b.t0l = t0l;
  b.zu = zu;
  b.zl = zl;
  b.falls = falls;
  b.rises = rises;
  b.upper = upper;
  b.lower = lower;
  Prediction p;
  p.q = q;
  p.e = e;
  p.upperTheta = tu;
  p.upperSuction = su;
  p.lowerTheta = tl;
  p.lowerSuction = sl;
  p.upperHint = upper_hint;
  p.lowerHint = lower_hint;
  Bisect(c.ws, b, p);
  carried = {i + 1, p.lowerTheta, p.lowerSuction};
  c.ext[i] = p.e;
  c.hints[i] = p.upperHint;
  c.hints[i + 1] = p.lowerHint;
  return p.q;
}

}  // namespace

int ScanRiverLayers(const SoilColumnWorkspace& ws, int start) {
  const double* in = ws[W::kRiverIn];
  const double* out = ws[W::kRiverOut];
  int last = start;
  while (last < ws.N && (in[last + 1] > 0 || out[last + 1] > 0)) ++last;
  return last;
}

namespace {

// kStart: the first head computation of the step (iteration 0), which takes the start suctions.
template <bool kPlain, bool kStart>
void ComputeHeads(SoilColumnWorkspace& ws, const ColumnCell& cell) {
  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kHeads);
  const double* t0 = ws[W::kTheta0];
  const double* tm = ws[W::kThetaMean];
  const double* z = ws[W::kZBound];
  double* s0 = ws[W::kSuction0];
  double* scratch = ws[W::kScratch];
  double* head = ws[W::kHead];
  int* hint = ws[W::kMeanHint];
  const int g = cell.gwLayer;
  const int first = kPlain ? 1 : cell.i0 + 1;
  for (int i = first; i <= lowest; ++i) {
    const double f = Ice<kPlain>(ws, cell, i);
    if (kStart) s0[i] = Suction<kPlain>(ws, cell, i, f * t0[i], hint[i]);
    const double zc = Centre(z, i);
    // Below the groundwater table the head is hydrostatic: the layer's suction is not needed.
    if (i == g && z[i] <= cell.zGw && cell.zGw <= z[i - 1]) {
      head[i] = cell.zGw;
      continue;
    }
    if (i > g && g >= first && head[g] > zc) {
      head[i] = head[g];
      continue;
    }
    // The first iteration's mean is the start content: the same suction.
    const double sm =
        kStart && tm[i] == t0[i] ? s0[i] : Suction<kPlain>(ws, cell, i, f * tm[i], hint[i]);
    const double psi = 0.5 * (sm + s0[i]);
    scratch[i] = psi;
    head[i] = zc - psi;
  }
}

template <bool kPlain>
void ComputeFluxes(SoilColumnWorkspace& ws, const ColumnCell& cell, double infiltration, double dt,
                   RiverCell* river, FluxTotals& totals) {
  const int n = ws.N;
  const double* dz = ws[W::kDz];
  const double* head = ws[W::kHead];
  double* q = ws[W::kQ];
  // Saturated conductivities: the soil entry's own (layers 0..N) unless snow layers or a thaw
  // depth change them; then a copy in the workspace.
  const double* ks = cell.soil->GetKsat().data();
  if (cell.snow != nullptr || cell.thawDepth >= 0) {
    double* copy = ws[W::kKs];
    for (int k = 0; k <= n; ++k) copy[k] = ks[k];
    if (cell.snow != nullptr) {
      const std::vector<double>& snow_ks = cell.snow->GetKsat();
      for (int k = 1 - ws.M; k <= 0; ++k) copy[k] = snow_ks[static_cast<std::size_t>(k + ws.M)];
    }
    // Below the permafrost thaw depth the soil conducts only the reduced conductivity.
    if (cell.thawDepth >= 0) {
      double depth = 0;
      for (int k = 1; k <= n; ++k) {
        depth += dz[k];
        if (depth <= cell.thawDepth) continue;
        copy[k] = cell.reducedKsat;
        if (k == 1 && std::fabs(infiltration) > cell.reducedKsat)
          infiltration = infiltration > 0 ? cell.reducedKsat : -cell.reducedKsat;
      }
    }
    ks = copy;
  }
  q[cell.i0] = -infiltration;
  totals = FluxTotals{};
  if (river != nullptr && cell.riverOn) ComputeRiverReinfiltration(ws, cell, *river, dt, totals);

  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kFluxes);
  const FluxColumn column{ws, cell, ks, dt};
  double lower = 0;
  int lower_of = -1 - ws.M;
  const int first = kPlain ? 1 : cell.i0 + 1;
  double fl = Ice<kPlain>(ws, cell, first);
  for (int i = first; i <= lowest; ++i) {
    const double fu = fl;
    fl = Ice<kPlain>(ws, cell, i + 1);  // the soil's effectiveness from layer 1 on
    const double k = InterfaceConductivity<kPlain>(column, i, fu, fl, lower, lower_of);
    q[i] = LayerFlux(k, head[i], head[i + 1], dz[i], dz[i + 1]);
    if (!kPlain && i == 0 && q[i] > 0) q[i] = 0;  // no water rises from the soil into the snow
    totals.drainage += Extraction<kPlain>(column, i, fu);
  }
  // The layers below the active range lie under the groundwater table, which gives no interflow
  // or tile drainage. Their extraction of an earlier inner step, when the table stood lower,
  // must not stay: the moisture update would take it from some of them, and the cell's
  // interflow counts it from all of them.
  for (int i = lowest + 1; i <= n; ++i) column.ext[i] = 0;
  PredictedSuction carried;
  const LimiterColumn limiter{ws, cell, dt};
  const double* ext = limiter.ext;
  for (int i = first; i <= lowest; ++i) {
    if (!kPlain && i == 0) continue;
    // Without flux and extraction the limiter keeps both (its end point is the same zero
    // flux): the boundary is left as it is, and the next one down looks its suction up.
    if (q[i] == 0 && ext[i] == 0) {
      carried = PredictedSuction{};
      continue;
    }
    q[i] = LimitBoundary<kPlain>(limiter, i, q[i], carried);
  }
}

}  // namespace

void ComputeHydraulicHeads(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration) {
  const bool start = iteration == 0;
  if (IsPlainColumn(ws, cell)) {
    if (start)
      ComputeHeads<true, true>(ws, cell);
    else
      ComputeHeads<true, false>(ws, cell);
  } else if (start) {
    ComputeHeads<false, true>(ws, cell);
  } else {
    ComputeHeads<false, false>(ws, cell);
  }
}

void ComputeLayerFluxes(SoilColumnWorkspace& ws, const ColumnCell& cell, double infiltration,
                        double dt, RiverCell* river, FluxTotals& totals) {
  if (IsPlainColumn(ws, cell))
    ComputeFluxes<true>(ws, cell, infiltration, dt, river, totals);
  else
    ComputeFluxes<false>(ws, cell, infiltration, dt, river, totals);
}

double LimitInterfaceFlux(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double q,
                          double dt) {
  PredictedSuction unused;
  return LimitInterfaceFlux(ws, cell, i, q, dt, unused);
}

double LimitInterfaceFlux(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double q,
                          double dt, PredictedSuction& carried) {
  return LimitBoundary(LimiterColumn{ws, cell, dt}, i, q, carried);
}

namespace {

// Lowers `amount` (> 0) from `store` first; returns what the store could not take.
inline double TakeFrom(double& store, double amount) {
  if (store >= amount) {
    store -= amount;
    return 0.0;
  }
  const double rest = amount - store;
  store = 0;
  return rest;
}

// Over-saturated layer: the excess rate e leaves through the boundaries or the river inflow.
void CorrectWet(double& u, double& d, double e, double& in, bool river, FluxTotals& t) {
  // A negative bottom flux that river inflow can take (the whole of it).
  auto river_takes_d = [&] {
    if (d < 0 && river && in > 0) {
      in += d;
      t.riverIn += d;
      d = 0;
    }
  };
  if (u <= 0 && d <= 0) {
    u += e;
    if (u > 0 && river && in > 0) {
      const double cut = std::min(u, in);
      in -= cut;
      t.riverIn -= cut;
      u -= cut;
    }
  } else if (u <= 0) {
    u += e;
    if (u > 0) {
      d -= u;
      u = 0;
      river_takes_d();
    }
  } else if (d >= 0) {
    d -= e;
    river_takes_d();
  } else if (river && in > 0) {
    const double cut = std::min(e, in);
    in -= cut;
    t.riverIn -= cut;
  }
}

// Positive bottom flux left after a dryness correction: taken from the extraction, then from
// the river outflow; otherwise it ends (or, with `keep`, stays).
void SettleRisingBottom(double& d, double& ext, double& b, bool river, bool keep, FluxTotals& t) {
  if (d <= 0) return;
  if (ext > 0) {
    d = TakeFrom(ext, d);
  } else if (river && b > 0) {
    const double taken = std::min(b, d);
    d = TakeFrom(b, d);
    t.riverOut -= taken;
  } else if (!keep) {
    d = 0;
  }
}

// Too dry layer: the missing rate delta is held back from the outflows.
void CorrectDry(double& u, double& d, double delta, double& ext, double& b, bool river,
                FluxTotals& t) {
  if (u <= 0 && d <= 0) {
    d += delta;
    SettleRisingBottom(d, ext, b, river, false, t);
  } else if (u > 0 && d <= 0) {
    u -= delta;
    if (u < 0) {
      d -= u;
      u = 0;
    }
    SettleRisingBottom(d, ext, b, river, true, t);
  } else if (u <= 0) {
    if (ext > 0) {
      ext = std::max(0.0, ext - delta);
    } else if (river && b > 0) {
      const double cut = std::min(delta, b);
      b -= cut;
      t.riverOut -= cut;
    }
  } else {
    u -= delta;
    if (u < 0) {
      if (ext > 0) {
        ext += u;
        if (ext < 0) {
          u = ext;
          ext = 0;
        } else {
          u = 0;
        }
      } else if (river && b > 0) {
        if (b + u <= 0) {
          u += b;
          t.riverOut -= b;
          b = 0;
        } else {
          b += u;
          t.riverOut += u;
          u = 0;
        }
      }
    }
  }
  if (ext < 0) ext = 0;
}

}  // namespace

int LimitLayerContents(SoilColumnWorkspace& ws, const ColumnCell& cell, int sweeps, double dt,
                       FluxTotals& totals) {
  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kContents);
  const double* t0 = ws[W::kTheta0];
  const double* sat = ws[W::kThetaSat];
  const double* res = ws[W::kThetaRes];
  const double* dz = ws[W::kDz];
  double* q = ws[W::kQ];
  double* ext = ws[W::kExtraction];
  double* in = ws[W::kRiverIn];
  double* out = ws[W::kRiverOut];
  double* trial = ws[W::kThetaTrial];
  const bool wet_river = cell.riverOn && cell.interaction >= 2;
  const bool dry_river = cell.riverOn && cell.interaction >= 1;
  // A correction of layer i changes only the terms of layers i - 1, i and i + 1; layer i - 1
  // comes next in the same sweep. A layer whose terms did not change since its last trial passed
  // gives the same trial again and passes again, so a sweep after the first tries only the
  // layers from the lowest one below a correction of the sweep before (`from`) up to the highest
  // corrected one (`to`), and above those each layer whose lower neighbour it just corrected:
  // the same corrections in the same order as full sweeps, and the same trials. After a sweep
  // without correction every trial of the range is the content its terms give.
  int from = lowest;
  int to = cell.i0 + 1;
  int sweep = 0;
  bool corrected = true;
  for (; corrected && sweep < sweeps; ++sweep) {
    corrected = false;
    const int upper = to;
    int next_from = cell.i0;
    int next_to = lowest + 1;
    for (int i = from; i >= cell.i0 + 1; --i) {
      trial[i] = (q[i] - q[i - 1] - ext[i] - out[i] + in[i]) * dt / dz[i] + t0[i];
      // A layer that starts the step above its saturated content (a snow layer whose ice alone
      // fills more than its pores) keeps what it holds, but takes no more: the fluxes cannot
      // move that excess, and pushed onto a saturated neighbour it only came back, sweep after
      // sweep, until the last sweep left it in the soil layer below, above saturation.
      const double full = std::max(sat[i], t0[i]);
      if (trial[i] > full) {
        corrected = true;
        next_from = std::max(next_from, i + 1);
        next_to = i;
        CorrectWet(q[i - 1], q[i], (trial[i] - full) * dz[i] / dt, in[i], wet_river, totals);
      } else if (trial[i] < res[i]) {
        corrected = true;
        next_from = std::max(next_from, i + 1);
        next_to = i;
        const double minimum = res[i] + (t0[i] - res[i]) * (1.0 - IceFactor(ws, cell, i));
        double delta = -q[i];
        if (t0[i] > minimum) {
          delta = (minimum - trial[i]) * dz[i] / dt;
        } else if (t0[i] - trial[i] > 0) {
          delta = (t0[i] - trial[i]) * dz[i] / dt;
        }
        CorrectDry(q[i - 1], q[i], delta, ext[i], out[i], dry_river, totals);
      } else if (i <= upper) {
        break;  // passed, and nothing above changed
      }
    }
    from = std::min(next_from, lowest);
    to = next_to;
  }
  ws.trialsHeldTo = corrected ? W::kNoTrials : lowest;
  return sweep;
}

namespace {

// The moisture update with the limiter's trials taken (kHeld) or computed, and with the clamped
// layers counted (kCounting) or not.
template <bool kHeld, bool kCounting>
double UpdateContents(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration, double dt,
                      int lowest, int& meanCount, int& clamps) {
  const double* t0 = ws[W::kTheta0];
  const double* dz = ws[W::kDz];
  const double* q = ws[W::kQ];
  const double* ext = ws[W::kExtraction];
  const double* in = ws[W::kRiverIn];
  const double* out = ws[W::kRiverOut];
  double* theta = ws[W::kTheta];
  double* mean = ws[W::kThetaMean];
  // The content limiter's last trials, when they hold, are these contents computed already.
  const double* trial = ws[W::kThetaTrial];
  double change = 0;
  // The new content of layer i (clamped to [0, 1]); returns the previous one.
  auto update = [&](int i) {
    const double prev = theta[i];
    const double raw =
        kHeld ? trial[i] : (q[i] - q[i - 1] - ext[i] - out[i] + in[i]) * dt / dz[i] + t0[i];
    theta[i] = std::clamp(raw, 0.0, 1.0);
    if (kCounting) clamps += theta[i] != raw;
    change = std::max(change, std::fabs(prev - theta[i]));
    return prev;
  };
  if (iteration < 4) {
    for (int i = cell.i0 + 1; i <= lowest; ++i) {
      const double prev = update(i);
      mean[i] = 0.5 * (prev + theta[i]);
    }
  } else if (cell.i0 + 1 <= lowest) {
    // From the fourth iteration on, the running mean of the iterates.
    meanCount = iteration - 3;
    const double n = meanCount;
    const double n1 = meanCount + 1;
    for (int i = cell.i0 + 1; i <= lowest; ++i) {
      update(i);
      mean[i] = (n * mean[i] + theta[i]) / n1;
    }
  }
  return change;
}

}  // namespace

double UpdateLayerMoisture(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration,
                           double dt, int& meanCount, int* clamped) {
  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kMoisture);
  const bool held = lowest <= ws.trialsHeldTo;
  ws.trialsHeldTo = W::kNoTrials;
  int clamps = 0;
  double change = 0;
  if (clamped == nullptr) {
    change = held
                 ? UpdateContents<true, false>(ws, cell, iteration, dt, lowest, meanCount, clamps)
                 : UpdateContents<false, false>(ws, cell, iteration, dt, lowest, meanCount, clamps);
  } else {
    change = held ? UpdateContents<true, true>(ws, cell, iteration, dt, lowest, meanCount, clamps)
                  : UpdateContents<false, true>(ws, cell, iteration, dt, lowest, meanCount, clamps);
    *clamped += clamps;
  }
  return change;
}

}  // namespace velorn

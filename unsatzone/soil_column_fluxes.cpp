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

// The entry and its layer index that describe layer i of the column.
struct LayerEntry {
  const SoilRecord* record;
  int layer;
};
inline LayerEntry EntryOf(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i) {
  if (i >= 1) return {cell.soil, i};
  return {cell.snow, ws.M + i};
}
inline double Suction(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double theta) {
  const LayerEntry e = EntryOf(ws, cell, i);
  return e.record->GetSuction(e.layer, theta);
}
inline double Suction(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double theta,
                      int& hint) {
  const LayerEntry e = EntryOf(ws, cell, i);
  return e.record->GetSuction(e.layer, theta, hint);
}
inline double Relative(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double theta,
                       double cap) {
  const LayerEntry e = EntryOf(ws, cell, i);
  return e.record->GetRelativeConductivity(e.layer, theta, cap);
}
inline double Centre(const double* z, int i) {
  return 0.5 * (z[i - 1] + z[i]);
}

// Last layer reached from `start` while the next layer exchanges water with the river.
int ScanRiverLayers(const SoilColumnWorkspace& ws, int start) {
  const double* in = ws[W::kRiverIn];
  const double* out = ws[W::kRiverOut];
  int last = start;
  while (last < ws.N && (in[last + 1] > 0 || out[last + 1] > 0)) ++last;
  return last;
}

// Interface conductivity between layers i and i + 1 (step 4 of the fluxes: ratio-limited
// harmonic mean near and below the table, the larger of the two above it). `lower` carries the
// relative conductivity of layer i + 1 to the next interface, where it is layer i's (`lowerOf`
// names the layer it belongs to; -1 - M: none), saving one look-up per layer.
double InterfaceConductivity(const SoilColumnWorkspace& ws, const ColumnCell& cell, int i,
                             double fu, double fl, double& lower, int& lowerOf) {
  const double* t0 = ws[W::kTheta0];
  const double* tm = ws[W::kThetaMean];
  const double* ks = ws[W::kKs];
  const double* dz = ws[W::kDz];
  if (cell.clayLayer > 0 && (i == cell.clayLayer || i + 1 == cell.clayLayer)) {
    const int c = cell.clayLayer;
    return cell.kSatClay * Relative(ws, cell, i, 0.5 * (t0[c] + tm[c]), fu);
  }
  if (i > cell.gwLayer) return ks[i];
  double ru = lowerOf == i ? lower : Relative(ws, cell, i, 0.5 * (t0[i] + tm[i]), fu);
  double rl = Relative(ws, cell, i + 1, 0.5 * (t0[i + 1] + tm[i + 1]), fl);
  lower = rl;
  lowerOf = i + 1;
  double s = i >= 1 ? cell.soil->maxratio : cell.snow->maxratio;
  if (i == 0) s = std::max(s, cell.soil->maxratio);
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
double Extraction(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double fu, double dt) {
  double* ext = ws[W::kExtraction];
  const double* tm = ws[W::kThetaMean];
  const double* ks = ws[W::kKs];
  const double* dz = ws[W::kDz];
  const double* z = ws[W::kZBound];
  const double* head = ws[W::kHead];
  ext[i] = 0;
  if (i >= cell.gwLayer || z[i] - head[i] >= kInterflowSuctionLimit) return 0.0;
  const double fc =
      i >= 1 ? cell.fieldCapacity[i] : cell.snow->GetTheta(ws.M + i, kFieldCapacitySuction);
  const double qmax = std::max(0.0, (tm[i] - fc) * dz[i] / dt);
  const bool drains = i == cell.drainageLayer && cell.drainDistance > 0;
  if (qmax <= 0 || (ks[i] <= ks[i + 1] && !drains)) return 0.0;
  const double r = Relative(ws, cell, i, tm[i], fu);
  if (ks[i] > ks[i + 1])
    ext[i] = r * ks[i] * dz[i] * (i >= 1 ? cell.drainageDensity : cell.snowDrainageDensity);
  double drain = 0;
  if (drains) {
    const double l = cell.drainDistance;
    drain = std::min(qmax, (2.0 * r * ks[i] * dz[i] / l) * cell.cellSize / l);
    ext[i] += drain;
  }
  ext[i] = std::min(ext[i], qmax);
  return drain;
}

}  // namespace

int ActiveRangeLowest(const SoilColumnWorkspace& ws, const ColumnCell& cell,
                      ColumnOperation operation) {
  const int n = ws.N;
  switch (operation) {
    case ColumnOperation::kMoisture:
      return std::min(ScanRiverLayers(ws, std::max(cell.gwLayer, cell.lowerBound)) + 2, n);
    case ColumnOperation::kHeads:
      return std::min(ScanRiverLayers(ws, std::max(cell.gwLayer, cell.lowerBound)) + 2, n - 1);
    case ColumnOperation::kFluxes:
      return std::min(ScanRiverLayers(ws, std::max(cell.gwLayer + 1, cell.lowerBound)), n - 1);
    case ColumnOperation::kContents:
      return std::min(ScanRiverLayers(ws, std::max(cell.gwLayer + 3, cell.lowerBound)) + 2, n);
  }
  return n;
}

void ComputeHydraulicHeads(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration) {
  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kHeads);
  const double* t0 = ws[W::kTheta0];
  const double* tm = ws[W::kThetaMean];
  const double* z = ws[W::kZBound];
  double* s0 = ws[W::kSuction0];
  double* scratch = ws[W::kScratch];
  double* head = ws[W::kHead];
  int* hint = ws[W::kMeanHint];
  const int g = cell.gwLayer;
  for (int i = cell.i0 + 1; i <= lowest; ++i) {
    const double f = IceFactor(ws, cell, i);
    if (iteration == 0) s0[i] = Suction(ws, cell, i, f * t0[i], hint[i]);
    const double psi = 0.5 * (Suction(ws, cell, i, f * tm[i], hint[i]) + s0[i]);
    scratch[i] = psi;
    const double zc = Centre(z, i);
    head[i] = zc - psi;
    // Below the groundwater table the head is hydrostatic.
    if (i == g && z[i] <= cell.zGw && cell.zGw <= z[i - 1]) {
      head[i] = cell.zGw;
    } else if (i > g && g >= cell.i0 + 1 && head[g] > zc) {
      head[i] = head[g];
    }
  }
}

void ComputeLayerFluxes(SoilColumnWorkspace& ws, const ColumnCell& cell, double infiltration,
                        double dt, RiverCell* river, FluxTotals& totals) {
  const int n = ws.N;
  double* ks = ws[W::kKs];
  const double* dz = ws[W::kDz];
  const double* head = ws[W::kHead];
  double* q = ws[W::kQ];
  const std::vector<double>& soil_ks = cell.soil->GetKsat();
  for (int k = 0; k <= n; ++k) ks[k] = soil_ks[static_cast<std::size_t>(k)];
  if (cell.snow != nullptr) {
    const std::vector<double>& snow_ks = cell.snow->GetKsat();
    for (int k = 1 - ws.M; k <= 0; ++k) ks[k] = snow_ks[static_cast<std::size_t>(k + ws.M)];
  }
  // Below the permafrost thaw depth the soil conducts only the reduced conductivity.
  if (cell.thawDepth >= 0) {
    double depth = 0;
    for (int k = 1; k <= n; ++k) {
      depth += dz[k];
      if (depth <= cell.thawDepth) continue;
      ks[k] = cell.reducedKsat;
      if (k == 1 && std::fabs(infiltration) > cell.reducedKsat)
        infiltration = infiltration > 0 ? cell.reducedKsat : -cell.reducedKsat;
    }
  }
  q[cell.i0] = -infiltration;
  totals = FluxTotals{};
  if (river != nullptr && cell.riverOn) ComputeRiverReinfiltration(ws, cell, *river, dt, totals);

  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kFluxes);
  double lower = 0;
  int lower_of = -1 - ws.M;
  for (int i = cell.i0 + 1; i <= lowest; ++i) {
    const double fu = IceFactor(ws, cell, i);
    const double fl = IceFactor(ws, cell, i + 1);  // the soil's effectiveness from layer 1 on
    const double k = InterfaceConductivity(ws, cell, i, fu, fl, lower, lower_of);
    q[i] = LayerFlux(k, head[i], head[i + 1], dz[i], dz[i + 1]);
    if (i == 0 && q[i] > 0) q[i] = 0;  // no water rises from the soil into the snow
    totals.drainage += Extraction(ws, cell, i, fu, dt);
  }
  PredictedSuction carried;
  const double* ext = ws[W::kExtraction];
  for (int i = cell.i0 + 1; i <= lowest; ++i) {
    if (i == 0) continue;
    // Without flux and extraction the limiter keeps both (its end point is the same zero
    // flux): the boundary is left as it is, and the next one down looks its suction up.
    if (q[i] == 0 && ext[i] == 0) {
      carried = PredictedSuction{};
      continue;
    }
    q[i] = LimitInterfaceFlux(ws, cell, i, q[i], dt, carried);
  }
}

double LimitInterfaceFlux(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double q,
                          double dt) {
  PredictedSuction unused;
  return LimitInterfaceFlux(ws, cell, i, q, dt, unused);
}

double LimitInterfaceFlux(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double q,
                          double dt, PredictedSuction& carried) {
  const double* z = ws[W::kZBound];
  const double* head = ws[W::kHead];
  double* ext = ws[W::kExtraction];
  int* hints = ws[W::kPredictHint];
  // What the predictions and heads read besides the flux and the extraction of layer i: fixed
  // for the call, read once.
  const double dzu = z[i - 1] - z[i];
  const double dzl = z[i] - z[i + 1];
  const double fu = IceFactor(ws, cell, i);
  const double fl = IceFactor(ws, cell, i + 1);
  const double q_above = ws[W::kQ][i - 1];
  const double q_below = ws[W::kQ][i + 1];
  const double e_below = ext[i + 1];
  const double t0u = ws[W::kTheta0][i];
  const double t0l = ws[W::kTheta0][i + 1];
  const double zu = 0.5 * (z[i] + z[i - 1]);
  const double zl = 0.5 * (z[i] + z[i + 1]);
  const bool falls = head[i] > head[i + 1];
  const bool rises = head[i + 1] > head[i];
  double e = ext[i];
  double tu = 0, tl = 0, hu = 0, hl = 0;
  auto predict = [&] {
    tu = (q - e - q_above) * dt / dzu + t0u;
    tl = (q_below - e_below - q) * dt / dzl + t0l;
  };
  // The predicted content of layer i often is the one that the boundary above predicted for
  // it (the same sum of the same fluxes): its suction is then carried over, not looked up.
  // Within the bisection the contents move little: each side starts its table search from the
  // interval of its last look-up (at first from the layer's last one, kept in the workspace),
  // and a content that has not changed keeps its suction (late rounds move the flux by less
  // than the contents resolve).
  double upper_theta = carried.layer == i ? carried.theta : std::nan("");
  double upper_suction = carried.suction;
  double lower_theta = std::nan("");
  double lower_suction = 0;
  int upper_hint = hints[i];
  int lower_hint = hints[i + 1];
  // Inlined at its three calls: as a call it reloads every captured value each round.
  auto heads = [&]() __attribute__((always_inline)) {
    if (tu != upper_theta) {
      upper_theta = tu;
      upper_suction = Suction(ws, cell, i, fu * tu, upper_hint);
    }
    if (tl != lower_theta) {
      lower_theta = tl;
      lower_suction = Suction(ws, cell, i + 1, fl * tl, lower_hint);
    }
    hu = zu - upper_suction;
    hl = zl - lower_suction;
  };
  auto reversed = [&] { return (falls && hl > hu + 0.001) || (rises && hu > hl + 0.001); };
  predict();
  const double sat = ws[W::kThetaSat][i];
  if (q > 0 && tu > sat) {
    const double room = std::fabs(dzu * (sat - t0u) / dt);
    q = room < q ? room : 0.0;
    predict();
  }
  heads();
  // The lower layer's last predicted content and suction go on to the next boundary down.
  auto finish = [&] {
    carried = {i + 1, lower_theta, lower_suction};
    ext[i] = e;
    hints[i] = upper_hint;
    hints[i + 1] = lower_hint;
    return q;
  };
  if (!reversed()) return finish();
  // From here on the result depends on these inputs alone (the carried suction and the hints
  // only save look-ups): a bisection from the same bits as the last one at this boundary
  // gives what that one gave.
  const LayerEntry upper = EntryOf(ws, cell, i);
  const LayerEntry lower = EntryOf(ws, cell, i + 1);
  const std::array<std::uint64_t, W::LimiterMemo::kKeySize> key = {
      std::bit_cast<std::uint64_t>(q),
      std::bit_cast<std::uint64_t>(e),
      std::bit_cast<std::uint64_t>(q_above),
      std::bit_cast<std::uint64_t>(q_below),
      std::bit_cast<std::uint64_t>(e_below),
      std::bit_cast<std::uint64_t>(t0u),
      std::bit_cast<std::uint64_t>(t0l),
      std::bit_cast<std::uint64_t>(dt),
      std::bit_cast<std::uint64_t>(dzu),
      std::bit_cast<std::uint64_t>(dzl),
      std::bit_cast<std::uint64_t>(zu),
      std::bit_cast<std::uint64_t>(zl),
      std::bit_cast<std::uint64_t>(fu),
      std::bit_cast<std::uint64_t>(fl),
      static_cast<std::uint64_t>(falls) | static_cast<std::uint64_t>(rises) << 1,
      reinterpret_cast<std::uintptr_t>(upper.record),
      static_cast<std::uint64_t>(static_cast<std::int64_t>(upper.layer)),
      reinterpret_cast<std::uintptr_t>(lower.record),
      static_cast<std::uint64_t>(static_cast<std::int64_t>(lower.layer)),
      0};
  W::LimiterMemo& memo = ws.Memo(i);
  if (memo.valid && memo.key == key) {
    q = memo.q;
    e = memo.e;
    lower_theta = memo.theta;
    lower_suction = memo.suction;
    return finish();
  }
  auto remember = [&] {
    memo.valid = true;
    memo.key = key;
    memo.q = q;
    memo.e = e;
    memo.theta = lower_theta;
    memo.suction = lower_suction;
    return finish();
  };
  // Bisection on the flux (and the layer's extraction) until the gradient just holds. Most
  // bisections find the gradient reversed down to the smallest flux and end at q0 / 2^rounds
  // after all rounds: that end point is tried first, and when the gradient is reversed there
  // too it is the result. (Scaling by a power of two is exact, as ldexp would be.)
  constexpr double kEndScale = 1.0 / static_cast<double>(1LL << kFluxBisectionRounds);
  const double q0 = q;
  const double e0 = e;
  q = q0 * kEndScale;
  e = e0 * kEndScale;
  predict();
  heads();
  if (reversed()) return remember();
  q = q0;
  e = e0;
  double factor = 0.5;
  double direction = -1.0;
  bool reducing = true;
  for (int round = 0; round < kFluxBisectionRounds; ++round) {
    q += factor * direction * q0;
    e += factor * direction * e0;
    predict();
    heads();
    if (reversed()) {
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
  return remember();
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
  int sweep = 0;
  for (bool corrected = true; corrected && sweep < sweeps; ++sweep) {
    corrected = false;
    for (int i = lowest; i >= cell.i0 + 1; --i) {
      trial[i] = (q[i] - q[i - 1] - ext[i] - out[i] + in[i]) * dt / dz[i] + t0[i];
      if (trial[i] > sat[i]) {
        corrected = true;
        CorrectWet(q[i - 1], q[i], (trial[i] - sat[i]) * dz[i] / dt, in[i], wet_river, totals);
      } else if (trial[i] < res[i]) {
        corrected = true;
        const double minimum = res[i] + (t0[i] - res[i]) * (1.0 - IceFactor(ws, cell, i));
        double delta = -q[i];
        if (t0[i] > minimum) {
          delta = (minimum - trial[i]) * dz[i] / dt;
        } else if (t0[i] - trial[i] > 0) {
          delta = (t0[i] - trial[i]) * dz[i] / dt;
        }
        CorrectDry(q[i - 1], q[i], delta, ext[i], out[i], dry_river, totals);
      }
    }
  }
  return sweep;
}

double UpdateLayerMoisture(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration,
                           double dt, int& meanCount, int* clamped) {
  const int lowest = ActiveRangeLowest(ws, cell, ColumnOperation::kMoisture);
  const double* t0 = ws[W::kTheta0];
  const double* dz = ws[W::kDz];
  const double* q = ws[W::kQ];
  const double* ext = ws[W::kExtraction];
  const double* in = ws[W::kRiverIn];
  const double* out = ws[W::kRiverOut];
  double* theta = ws[W::kTheta];
  double* mean = ws[W::kThetaMean];
  double change = 0;
  for (int i = cell.i0 + 1; i <= lowest; ++i) {
    const double prev = theta[i];
    if (iteration < 4) mean[i] = prev;
    const double raw = (q[i] - q[i - 1] - ext[i] - out[i] + in[i]) * dt / dz[i] + t0[i];
    theta[i] = std::clamp(raw, 0.0, 1.0);
    if (clamped != nullptr && theta[i] != raw) ++*clamped;
    change = std::max(change, std::fabs(prev - theta[i]));
    if (iteration >= 4) {
      meanCount = iteration - 3;
      mean[i] = (meanCount * mean[i] + theta[i]) / (meanCount + 1);
    } else {
      mean[i] = 0.5 * (prev + theta[i]);
    }
  }
  return change;
}

}  // namespace velorn

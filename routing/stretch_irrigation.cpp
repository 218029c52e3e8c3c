// The irrigation draws of a routing stretch (see routing_stretch.h): before the routing, every
// source subbasin of the stretch's channels gives up its uncovered surface-water demand;
// after it, the stretch's outlet subbasin does. Each records the river water it offered in the
// routing model's table, which irrigation reads in the next step. A subbasin is drawn from once
// per step, by the first stretch that reaches it: a tributary that is itself a stretch outlet
// was drawn at that outlet.
// The irrigation model served the demand from the river water of the previous step: a river
// gives at most the water it carries in the step; what it could not give it owes, and gives
// first in the following steps, and its offer to irrigation is lowered by what it owes. Each
// draw books the solute the water it gives carries (at the river's concentration of the step),
// which irrigation hands on to the cells with its next amounts.
#include <algorithm>
#include <limits>

#include "routing/routing_stretch.h"

namespace velorn {
namespace {

// Takes `wanted` (≥ 0, in the flows' unit) from the sub-step flows flows[1..n] of a step and
// returns what was taken (their mean change). Where every sub-step carries it, each is lowered
// by `wanted`; where the river runs short, every sub-step is lowered by the same share, and at
// most their mean is taken. `gave(j, dq)` hears what sub-step j gave.
double TakeFromStep(double wanted, int32_t n, const auto& flow_of, const auto& gave) {
  if (!(wanted > 0.0) || n < 1) return 0.0;
  double mean = 0.0, least = std::numeric_limits<double>::infinity();
  for (int32_t j = 1; j <= n; ++j) {
    mean += flow_of(j);
    least = std::min(least, flow_of(j));
  }
  mean /= n;
  if (!(mean > 0.0)) return 0.0;
  if (least >= wanted) {
    for (int32_t j = 1; j <= n; ++j) {
      flow_of(j) -= wanted;
      gave(j, wanted);
    }
    return wanted;
  }
  const double taken = std::min(wanted, mean);
  const double keep = wanted >= mean ? 0.0 : 1.0 - taken / mean;
  for (int32_t j = 1; j <= n; ++j) {
    const double before = flow_of(j);
    flow_of(j) = before * keep;
    gave(j, before - flow_of(j));
  }
  return taken;
}

}  // namespace

void routingclass::DrawIrrigationAtSources() {
  const IrrigationLinks& links = *irrigation_;
  std::vector<std::vector<double>>& offered = *links.maxirrig;
  std::vector<char>& drawn = *links.drawn;
  auto draw = [&](int32_t code) {
    const int32_t t = IndexOf(code);
    if (t < 1 || t > nsb_ || drawn[t]) return;
    drawn[t] = 1;
    for (int32_t tr = 0; tr <= ntr_; ++tr) offered[tr][t] = subflows_[tr][1][t];
    double& owed = (*links.owed)[t];
    const double wanted = std::max(0.0, (*links.demand)[t]) + owed;
    std::vector<std::vector<double>>& solute = *links.solute;
    owed = wanted - TakeFromStep(
                        wanted, nsub_, [&](int32_t j) -> double& { return subflows_[0][j][t]; },
                        [&](int32_t j, double dq) {
                          for (int32_t tr = 1; tr <= ntr_; ++tr)
                            solute[tr][t] += dq * subflows_[tr][j][t] / nsub_;
                        });
    offered[0][t] = std::max(0.0, offered[0][t] - owed);
  };
  for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
    for (int32_t member : items_[i].members) draw(member);
    draw(items_[i].code);
  }
}

// The outlet's flows are mm over A / f; the demand and the offered water are mm over the
// subbasin. The outlet's concentrations become those of the water left in its sub-steps.
void routingclass::DrawIrrigationAtOutlet() {
  const IrrigationLinks& links = *irrigation_;
  const int32_t own = IndexOf(tg_code_);
  std::vector<char>& drawn = *links.drawn;
  if (own < 1 || own > nsb_ || drawn[own]) return;
  drawn[own] = 1;
  const double share = links.records[own][3];
  const double area = abfrel_->area[own];
  std::vector<std::vector<double>>& offered = *links.maxirrig;
  const double to_subbasin = share > 0.0 ? area / share / divisor_ : 0.0;
  offered[0][own] = to_subbasin * flows_[0][own];
  for (int32_t tr = 1; tr <= ntr_; ++tr) offered[tr][own] = flows_[tr][own];
  double& owed = (*links.owed)[own];
  const double wanted = std::max(0.0, (*links.demand)[own]) + owed;
  if (!(to_subbasin > 0.0)) return;  // no area: nothing to give or owe
  std::vector<std::vector<double>>& solute = *links.solute;
  const double taken = TakeFromStep(
      wanted / to_subbasin, nsub_, [&](int32_t j) -> double& { return subflows_[0][j][own]; },
      [&](int32_t j, double dq) {
        for (int32_t tr = 1; tr <= ntr_; ++tr)
          solute[tr][own] += dq * subflows_[tr][j][own] / nsub_ * to_subbasin;
      });
  flows_[0][own] = std::max(0.0, flows_[0][own] - taken);
  if (taken > 0.0) MixOutletConcentrations();
  owed = wanted - taken * to_subbasin;
  offered[0][own] = std::max(0.0, offered[0][own] - owed);
}

// The reservoir's offer and the irrigation model's share are mm over the area of the stretch's
// outlet subbasin as the demand table holds it (total area · area share, km²), the unit of the
// demand they meet; 1 mm over 1 km² is 1000 m³. The share never exceeds the offer, the volume
// the last reservoir held after the previous step.
double routingclass::ReservoirIrrigationVolume(bool real_step) const {
  if (!real_step || irrigation_ == nullptr || irrigation_->from_reservoirs == nullptr) return 0.0;
  const int32_t own = IndexOf(tg_code_);
  const double area = irrigation_->records[0][3] * irrigation_->records[own][3];
  const double taken = (*irrigation_->from_reservoirs)[0][own];
  return std::max(0.0, taken) * std::max(0.0, area) * 1000.0;
}

void routingclass::MixOutletConcentrations() {
  const int32_t own = IndexOf(tg_code_);
  double water = 0.0;
  for (int32_t j = 1; j <= nsub_; ++j) water += subflows_[0][j][own];
  for (int32_t tr = 1; tr <= ntr_ && water > 0.0; ++tr) {
    double carried = 0.0;
    for (int32_t j = 1; j <= nsub_; ++j) carried += subflows_[0][j][own] * subflows_[tr][j][own];
    flows_[tr][own] = carried / water;
  }
}

void routingclass::BookReservoirIrrigationSolute(bool real_step) {
  if (!real_step || irrigation_ == nullptr || irrigation_->solute == nullptr) return;
  const int32_t own = IndexOf(tg_code_);
  const double area = irrigation_->records[0][3] * irrigation_->records[own][3];
  if (!(area > 0.0)) return;
  for (int32_t tr = 1; tr <= ntr_; ++tr)
    (*irrigation_->solute)[tr][own] += reservoirs_[nSP_].IrrigationSolute(tr) / (area * 1000.0);
}

void routingclass::OweReservoirShortfall(double wanted, bool real_step) {
  if (!real_step || irrigation_ == nullptr || irrigation_->owed == nullptr) return;
  const int32_t own = IndexOf(tg_code_);
  const double area = irrigation_->records[0][3] * irrigation_->records[own][3];
  const double shortfall = wanted - reservoirs_[nSP_].balance().m3[kIrrig];
  if (shortfall > 0.0 && area > 0.0) (*irrigation_->owed)[own] += shortfall / (area * 1000.0);
}

// The whole volume of the last reservoir, with its concentrations, is offered to irrigation.
void routingclass::OfferReservoirToIrrigation(bool real_step) {
  if (!real_step || irrigation_ == nullptr || irrigation_->from_reservoirs == nullptr) return;
  const int32_t own = IndexOf(tg_code_);
  const double area = irrigation_->records[0][3] * irrigation_->records[own][3];
  std::vector<std::vector<double>>& offered = *irrigation_->from_reservoirs;
  const SP_class& r = reservoirs_[nSP_];
  offered[0][own] = area > 0.0 ? r.volume() / (area * 1000.0) : 0.0;
  for (int32_t tr = 1; tr <= ntr_ && static_cast<std::size_t>(tr) < offered.size(); ++tr)
    offered[tr][own] = r.concentration(tr);
}

}  // namespace velorn

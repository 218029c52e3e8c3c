// The irrigation draws of a routing stretch (see routing_stretch.h): before the routing, every
// source subbasin of the stretch's channels gives up its uncovered surface-water demand;
// after it, the stretch's outlet subbasin does. Each records the river water it offered in the
// routing model's table, which irrigation reads in the next step. A subbasin is drawn from once
// per step, by the first stretch that reaches it: a tributary that is itself a stretch outlet
// was drawn at that outlet.
#include <algorithm>

#include "routing/routing_stretch.h"

namespace velorn {

void routingclass::DrawIrrigationAtSources() {
  const IrrigationLinks& links = *irrigation_;
  std::vector<std::vector<double>>& offered = *links.maxirrig;
  std::vector<char>& drawn = *links.drawn;
  auto draw = [&](int32_t code) {
    const int32_t t = IndexOf(code);
    if (t < 1 || t > nsb_ || drawn[t]) return;
    drawn[t] = 1;
    for (int32_t tr = 0; tr <= ntr_; ++tr) offered[tr][t] = subflows_[tr][1][t];
    const double demand = (*links.demand)[t];
    for (int32_t j = 1; j <= nsub_; ++j) subflows_[0][j][t] -= demand;
  };
  for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
    for (int32_t member : items_[i].members) draw(member);
    draw(items_[i].code);
  }
}

// The outlet's flows are mm over A / f; the demand and the offered water are mm over the
// subbasin. The outlet never falls below 0.
void routingclass::DrawIrrigationAtOutlet() {
  const IrrigationLinks& links = *irrigation_;
  const int32_t own = IndexOf(tg_code_);
  std::vector<char>& drawn = *links.drawn;
  if (own < 1 || own > nsb_ || drawn[own]) return;
  drawn[own] = 1;
  const double share = links.records[own][3];
  const double area = abfrel_->area[own];
  std::vector<std::vector<double>>& offered = *links.maxirrig;
  offered[0][own] = share > 0.0 ? area / share * flows_[0][own] / divisor_ : 0.0;
  for (int32_t tr = 1; tr <= ntr_; ++tr) offered[tr][own] = flows_[tr][own];
  const double d = area > 0.0 ? share / area * (*links.demand)[own] * divisor_ : 0.0;
  for (int32_t j = 1; j <= nsub_; ++j)
    subflows_[0][j][own] = std::max(0.0, subflows_[0][j][own] - d);
  flows_[0][own] = std::max(0.0, flows_[0][own] - d);
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

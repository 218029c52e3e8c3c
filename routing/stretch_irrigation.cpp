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

}  // namespace velorn

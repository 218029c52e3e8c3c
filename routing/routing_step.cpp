// The time step of a routing stretch: re-infiltration, list channels, internal inflows, the
// translation and linear storages of every channel section, the addition at the outlet and the
// step result (see routing_stretch.h).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "routing/routing_formulas.h"
#include "routing/routing_stretch.h"

namespace velorn {

void routingclass::RouteStep(int32_t year, int32_t month, int32_t day, int32_t hour) {
  const bool real_step = month >= 1;
  real_step_ = real_step;
  const bool irrigation = real_step && irrigation_ != nullptr;
  if (irrigation) DrawIrrigationAtSources();
  StartOutlet();
  if (real_step && records_ != nullptr) {
    for (int32_t i = 1; i <= ntrib_ + nlist_; ++i) {
      for (int32_t member : items_[i].members) booked_[IndexOf(member)] = 0;
      booked_[IndexOf(items_[i].code)] = 0;
    }
  }
  for (int32_t i = 1; i <= ItemCount(); ++i) {
    if (real_step && records_ != nullptr && !IsInflow(i)) BookReinfiltration(i);
    if (IsList(i)) CombineList(i);
    if (IsInflow(i)) ConvertInternalInflow(i);
    RouteChannel(i);
    AddToOutlet(i);
  }
  FinishStep();
  if (irrigation) DrawIrrigationAtOutlet();
  TakeAbstractions(year, month, day, hour);
  RunReservoirs(year, month, day, hour);
}

void routingclass::StartOutlet() {
  const int32_t own = IndexOf(tg_code_);
  for (int32_t j = 1; j <= nsub_; ++j) {
    Outlet(0, j) = weight_[0] * subflows_[0][j][own];
    for (int32_t tr = 1; tr <= ntr_; ++tr) Outlet(tr, j) = subflows_[tr][j][own];
  }
}

// The water that re-infiltrated from the channel (m³/s, booked by the soil) is taken from the
// runoff of each subbasin once per step, even when the subbasin feeds two items; the record
// keeps its value.
void routingclass::BookReinfiltration(int32_t item) {
  auto book = [&](int32_t code) {
    const int32_t t = IndexOf(code);
    if (booked_[t]) return;
    booked_[t] = 1;
    const ReinfiltrationRecord& record = records_[t];
    reinfiltration_[t] = record.channelArea > 0.0
                             ? DischargeToDepth(record.reinfiltrated, record.channelArea, dt_)
                             : 0.0;
    for (int32_t j = 1; j <= nsub_; ++j) subflows_[0][j][t] -= reinfiltration_[t];
  };
  for (int32_t member : items_[item].members) book(member);
  book(items_[item].code);
}

// The list members and the item's own subbasin, weighted by their areas; a dry channel keeps
// tracer values of 0.
void routingclass::CombineList(int32_t item) {
  const int32_t idx = FlowIndex(item);
  for (int32_t j = 1; j <= nsub_; ++j) {
    double weights = 0.0;
    double water = 0.0;
    for (int32_t tr = 1; tr <= ntr_; ++tr) Work(tr, j) = 0.0;
    std::vector<std::pair<int32_t, double>> observed;  // member and its observed value
    auto add = [&](int32_t code) {
      const int32_t t = IndexOf(code);
      const double w = abfrel_->area[t] / abfrel_->divisor[t];
      double q = subflows_[0][j][t];
      if (Observed(t, q)) observed.emplace_back(t, q);
      weights += w;
      water += w * q;
      for (int32_t tr = 1; tr <= ntr_; ++tr) Work(tr, j) += w * q * subflows_[tr][j][t];
    };
    for (int32_t member : items_[item].members) add(member);
    add(items_[item].code);
    // A member's observed value changes the list's mean by its weighted difference.
    for (const auto& [t, q] : observed)
      if (weights > 0.0)
        BookObserved((q - subflows_[0][j][t]) * abfrel_->area[t] / abfrel_->divisor[t] / weights *
                         OutletFactor(item),
                     [&](int32_t tr) { return subflows_[tr][j][t]; });
    subflows_[0][j][idx] = weights > 0.0 ? water / weights : 0.0;
    for (int32_t tr = 1; tr <= ntr_; ++tr)
      subflows_[tr][j][idx] = water != 0.0 ? Work(tr, j) / water : 0.0;
  }
}

void routingclass::ConvertInternalInflow(int32_t item) {
  const int32_t k = item - ntrib_ - nlist_;
  if (inflows_[k].mode != kInflowInternal) return;
  const int32_t idx = FlowIndex(item);
  for (int32_t j = 1; j <= nsub_; ++j)
    subflows_[0][j][idx] = DischargeToDepth(subflows_[0][j][idx], items_[item].params.area, dt_);
  for (int32_t tr = 0; tr <= ntr_; ++tr) flows_[tr][idx] = subflows_[tr][1][idx];
}

void routingclass::RouteChannel(int32_t item) {
  ChannelItem& it = items_[item];
  const int32_t idx = FlowIndex(item);
  for (int32_t tr = 0; tr <= ntr_; ++tr)
    for (int32_t j = 1; j <= nsub_; ++j) Work(tr, j) = subflows_[tr][j][idx];
  // What an inflow from outside the basin brings enters the books as it enters the channel
  // (before an observation takes its place, which books its own change).
  if (real_step_ && IsInflow(item) && inflows_[item - ntrib_ - nlist_].mode != kInflowInternal) {
    const double factor = OutletFactor(item) / nsub_;
    for (int32_t j = 1; j <= nsub_; ++j) {
      inflow_supply_[0] += Work(0, j) * factor;
      for (int32_t tr = 1; tr <= ntr_; ++tr)
        inflow_supply_[tr] += Work(0, j) * factor * Work(tr, j);
    }
  }
  double observed = 0.0;
  if ((IsInflow(item) || it.members.empty()) && Observed(idx, observed))
    for (int32_t j = 1; j <= nsub_; ++j) {
      BookObserved((observed - Work(0, j)) * OutletFactor(item),
                   [&](int32_t tr) { return Work(tr, j); });
      Work(0, j) = observed;
    }

  if (bypass_ != nullptr) {
    const auto found = bypass_->find(idx);
    if (found != bypass_->end() && found->second) {
      for (int32_t tr = 0; tr <= ntr_; ++tr)
        for (int32_t j = 1; j <= nsub_; ++j) history_[tr][idx][j] = subflows_[tr][j][idx];
      return;
    }
  }
  for (int32_t tr = 0; tr <= ntr_; ++tr) rows_[tr] = history_[tr][idx];
  for (int32_t s = it.record.SectionCount(); s >= 1; --s) RouteSection(it, item, s);
}

// One section: translation by the delay of the section's inflow, then the two parallel linear
// storages of mean channel and flood plain. The tracers move with the translation (and decay
// over its travel time), then mix by volume with the water the storages hold.
void routingclass::RouteSection(ChannelItem& it, int32_t item, int32_t s) {
  ChannelRecord& r = it.record;
  const ChannelParameters& p = it.params;
  const int32_t span = r.Span(nsub_);
  const int32_t b = (s - 1) * span;
  double* const* rows = rows_.data();
  auto h = [rows](int32_t tr) { return rows[tr]; };
  double* water = rows[0];

  const int32_t d = r.delay[LookupWQRow(item, MaxOverSubSteps(WorkRow(0)))];
  for (int32_t tr = 1; tr <= ntr_; ++tr)
    decay_[tr] = TravelDecayFactor(d, dt_, nsub_, tracers_[tr].half_time);
  const int32_t start = b + 1 + nsub_ + d;
  const int32_t last = r.last[s];
  // The section storage keeps the water and, per tracer, the solute (water x concentration).
  auto store = [&](double amount, int32_t tr_source_k, bool from_history) {
    for (int32_t tr = 1; tr <= ntr_; ++tr)
      r.storage[tr][s] += amount * (from_history ? h(tr)[tr_source_k] : Work(tr, tr_source_k));
    r.storage[0][s] += amount;
  };

  // Gap: the delay grew; the positions up to the new start receive the smaller of the last
  // scheduled value and the first new inflow, taken out of the section storage with its
  // concentration, its solute with it. The storage gives at most what it holds (a channel
  // lowered by withdrawals may hold less): the positions share that, and neither the storage's
  // water nor its solute falls below 0.
  if (last + 1 < start) {
    const bool from_history = water[last] < Work(0, 1);
    const double wanted =
        (start - last - 1) * std::max(0.0, from_history ? water[last] : Work(0, 1));
    const double held = std::max(0.0, r.storage[0][s]);
    const bool all = wanted >= held;
    const double taken = all ? held : wanted;
    const double v = taken / (start - last - 1);
    for (int32_t tr = 1; tr <= ntr_; ++tr) {
      const double c = held > 0.0 ? std::max(0.0, r.storage[tr][s]) / held
                                  : (from_history ? h(tr)[last] : Work(tr, 1));
      for (int32_t k = last + 1; k < start; ++k) h(tr)[k] = c;
      r.storage[tr][s] = all ? 0.0 : r.storage[tr][s] - taken * c;
    }
    r.storage[0][s] = all ? 0.0 : r.storage[0][s] - taken;
    for (int32_t k = last + 1; k < start; ++k) h(0)[k] = v;
  }
  // Placement; where the new inflow overlaps scheduled water (the delay shrank), the smaller of
  // the two goes into the section storage and the position holds the larger.
  for (int32_t k = start; k < start + nsub_; ++k) {
    const int32_t j = k - start + 1;
    if (k <= last) {
      if (water[k] <= Work(0, j)) {
        store(water[k], k, true);
        for (int32_t tr = 0; tr <= ntr_; ++tr) h(tr)[k] = Work(tr, j);
      } else {
        store(Work(0, j), j, false);
      }
    } else {
      for (int32_t tr = 0; tr <= ntr_; ++tr) h(tr)[k] = Work(tr, j);
    }
  }

  // Shift by one step; tracers decay over the section's travel time.
  std::memmove(water + b + 1, water + b + 1 + nsub_, sizeof(double) * span);
  for (int32_t tr = 1; tr <= ntr_; ++tr) {
    double* row = h(tr);
    const double factor = decay_[tr];
    std::memmove(row + b + 1, row + b + 1 + nsub_, sizeof(double) * span);
    if (factor != 1.0)
      for (int32_t k = b + 1; k <= b + span; ++k) row[k] *= factor;
  }
  r.last[s] = start - 1;

  double largest = water[b + 1];
  for (int32_t j = 2; j <= nsub_; ++j) largest = std::max(largest, water[b + j]);
  const double fl = r.share[LookupWQRow(item, largest)];
  const double km = p.factor_mean;
  const double kf = p.factor_flood;
  // out = (1 − fl)·x·(1 − km) + (1 − g)·O·km + fl·x·(1 − kf) + g·O·kf, with O the previous
  // outflow: one storage of factor k = (1 − fl)·km + fl·kf, out = (1 − k)·(x + S), where
  // S = k / (1 − k)·O is the water it holds. The storages chain from sub-step to sub-step: O of
  // sub-step 1 is the last outflow of the previous step, whose share g set what they hold; when
  // the share changes, that water leaves by the new factor (carried as (1 − k)·S rather than
  // g's factor times O, which would create or destroy water), later sub-steps carry k·O.
  const double inflow_part = (1.0 - fl) * (1.0 - km) + fl * (1.0 - kf);
  const double carry = (1.0 - fl) * km + fl * kf;
  const double g = r.previous_share[s];
  const double first_carry = g == fl ? carry : inflow_part * StoredBehindOutflow(1.0, g, km, kf);
  double previous = r.Outflow(s, nsub_);
  double share = g;
  for (int32_t j = 1; j <= nsub_; ++j) {
    const double out = inflow_part * water[b + j] + (j == 1 ? first_carry : carry) * previous;
    // The tracers: the water held mixes with the inflow by volume and leaves at the mix, so the
    // solute carried out plus the solute held is the solute that came in.
    const double held = std::max(0.0, StoredBehindOutflow(previous, share, km, kf));
    const double inflow = std::max(0.0, water[b + j]);
    for (int32_t tr = 1; tr <= ntr_; ++tr) {
      double& c = r.mixed[tr][s];
      const double arriving = h(tr)[b + j];
      if (held + inflow > 0.0) c = (held * c + inflow * arriving) / (held + inflow);
      Work(tr, j) = c;
    }
    r.Outflow(s, j) = out;
    Work(0, j) = out;
    previous = out;
    share = fl;
  }
  r.Outflow(s, 0) = r.Outflow(s, nsub_);
  r.previous_share[s] = fl;
}

void routingclass::AddToOutlet(int32_t item) {
  const double factor = OutletFactor(item);
  for (int32_t j = 1; j <= nsub_; ++j) {
    const double a = Work(0, j) * factor;
    for (int32_t tr = 1; tr <= ntr_; ++tr)
      Outlet(tr, j) = WeightedMean(Outlet(tr, j), Work(tr, j), Outlet(0, j), a);
    Outlet(0, j) += a;
  }
}

// The sub-step values at the outlet and their step mean; the tracers of a dry outlet stay 0.
// An observed discharge at the outlet's gauge takes the simulated water's place (its tracers
// keep their concentrations), so the stretches below take it; the difference is kept, so that
// the discharge table shows what was routed to the gauge.
void routingclass::FinishStep() {
  const int32_t own = IndexOf(tg_code_);
  double observed = 0.0;
  gauge_substitution_ = 0.0;
  if (Observed(own, observed))
    for (int32_t j = 1; j <= nsub_; ++j) {
      BookObserved(observed - Outlet(0, j), [&](int32_t tr) { return Outlet(tr, j); });
      gauge_substitution_ += (observed - Outlet(0, j)) / nsub_;
      Outlet(0, j) = observed;
    }
  for (int32_t tr = 0; tr <= ntr_; ++tr) Outlet(tr, 0) = 0.0;
  for (int32_t j = 1; j <= nsub_; ++j) {
    for (int32_t tr = 0; tr <= ntr_; ++tr) subflows_[tr][j][own] = Outlet(tr, j);
    Outlet(0, 0) += Outlet(0, j);
  }
  if (Outlet(0, 0) > 0.0)
    for (int32_t j = 1; j <= nsub_; ++j)
      for (int32_t tr = 1; tr <= ntr_; ++tr)
        Outlet(tr, 0) += Outlet(0, j) / Outlet(0, 0) * Outlet(tr, j);
  flows_[0][own] = Outlet(0, 0) / nsub_;
  for (int32_t tr = 1; tr <= ntr_; ++tr) flows_[tr][own] = Outlet(tr, 0);
}

}  // namespace velorn

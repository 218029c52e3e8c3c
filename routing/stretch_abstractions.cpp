// Abstractions of a routing stretch: the AL items, the rule sections, the step's amounts taken
// from the outlet and the hand-over of internal abstractions (see routing_stretch.h).
#include <algorithm>

#include "core/error_code.h"
#include "routing/routing_formulas.h"
#include "routing/routing_stretch.h"

namespace velorn {

void routingclass::SetAblaufModus(int32_t item, std::string_view text, std::size_t pos,
                                  int32_t nsub, int32_t year, int32_t month, int32_t day,
                                  int32_t hour) {
  const int32_t k = item - ntrib_ - nlist_ - nZL_;
  if (k < 1 || k > nAL_)
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: abstraction item ", item,
               " of the stretch of subbasin ", tg_code_, " is not one of its ", nAL_,
               " abstraction(s)");
  const std::size_t at = text.find("AL", pos);
  if (at != std::string_view::npos) pos = at + 2;
  int32_t number = 0;
  if (!ScanValue(text, pos, number))
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: abstraction item ", item,
               " of the stretch of subbasin ", tg_code_, " has no number behind \"AL\"");
  abstraction_numbers_[k] = number;
  nsub_ = nsub;
  if (ItemCount() == 0 && outlet_.empty()) {
    outlet_.assign(static_cast<std::size_t>((ntr_ + 1) * (nsub_ + 1)), 0.0);
    work_.assign(outlet_.size(), 0.0);
  }
  abstractions_[k].SetupAbstraction(number, text, pos, year, month, day, hour);
}

void routingclass::ReadAbstractionRules(ControlFileReader& file) {
  for (int32_t k = 1; k <= nAL_; ++k) abstractions_[k].ReadAbstractionRules(file);
}

void routingclass::FlushBuffers() {
  for (int32_t k = 1; k <= nAL_; ++k) abstractions_[k].FlushBuffers(1);
  for (int32_t k = 1; k <= nSP_; ++k) reservoirs_[k].FlushBuffers(1);
}

// Every abstraction takes its amount from the outlet discharge Q of the step (mm over A / f) in
// item order, S summing what the earlier ones took. The amount leaves the outlet's step value
// and every sub-step value (the same share of each where a sub-step carries less), so it carries
// the mean of the sub-steps' concentrations, weighed by what each gave, which its output row and
// the receiving inflow of an internal abstraction take; the outlet keeps the concentrations of
// the water left. With reservoirs the last one serves the amounts in its step and they carry
// the concentrations it gave them at (BookReservoirAbstractions). An internal abstraction puts
// its water, in m³/s, at the flow index of its receiving inflow for every sub-step; what the
// others take leaves the basin (AbstractedSolute).
void routingclass::TakeAbstractions(int32_t year, int32_t month, int32_t day, int32_t hour) {
  abstraction_sum_ = 0.0;
  if (nAL_ == 0) return;
  const bool real_step = month >= 1;
  const int32_t own = IndexOf(tg_code_);
  const double effective = area_ / divisor_;
  // With reservoirs the abstractions draw on the last reservoir's volume; the reservoirs then
  // set the outlet.
  // The irrigation the last reservoir serves this step is not offered to them.
  const double q =
      nSP_ > 0
          ? DischargeToDepth(
                (reservoirs_[nSP_].volume() - ReservoirIrrigationVolume(real_step)) / dt_ / 60.0,
                effective, dt_)
          : flows_[0][own];
  for (int32_t k = 1; k <= nAL_; ++k) {
    AL_class& al = abstractions_[k];
    if (al.mode() == kAbstractionReservoirRule) continue;
    const double amount =
        al.ComputeAbstraction(flows_, abstraction_sum_, q, year, month, day, hour);
    abstraction_amounts_[k] = amount;
    if (nSP_ == 0) TakeFromOutlet(k, amount, real_step, year, month, day, hour);
    if (al.mode() != kAbstractionIntern && al.mode() != kAbstractionInternRule) continue;
    const int32_t t = nsb_ + al.number();
    const double water = DepthToDischarge(amount, effective, dt_);
    for (int32_t j = 1; j <= nsub_; ++j) subflows_[0][j][t] = water;
    flows_[0][t] = water;
  }
}

// A sub-step that carries less than the amount would turn negative: then every sub-step gives
// the same share of its water (their mean is the step's value, which bounds the amount), and the
// water taken carries the sub-steps' concentrations weighed by it.
void routingclass::TakeFromOutlet(int32_t k, double amount, bool real_step, int32_t year,
                                  int32_t month, int32_t day, int32_t hour) {
  const int32_t own = IndexOf(tg_code_);
  double lowest = subflows_[0][1][own], total = 0.0;
  for (int32_t j = 1; j <= nsub_; ++j) {
    lowest = std::min(lowest, subflows_[0][j][own]);
    total += subflows_[0][j][own];
  }
  const double share = amount > lowest && total > 0 ? amount * nsub_ / total : 0.0;
  for (int32_t tr = 1; tr <= ntr_; ++tr) {
    double mean = 0.0, weighed = 0.0;
    for (int32_t j = 1; j <= nsub_; ++j) {
      mean += subflows_[tr][j][own] / nsub_;
      weighed += subflows_[tr][j][own] * subflows_[0][j][own];
    }
    carry_[tr] = share > 0 ? weighed / total : mean;
  }
  BookAbstraction(k, amount, real_step, year, month, day, hour);
  flows_[0][own] -= amount;
  for (int32_t j = 1; j <= nsub_; ++j)
    subflows_[0][j][own] -= share > 0 ? subflows_[0][j][own] * share : amount;
  if (amount != 0.0) MixOutletConcentrations();
}

void routingclass::BookReservoirAbstractions(bool real_step, int32_t year, int32_t month,
                                             int32_t day, int32_t hour) {
  for (int32_t k = 1; k <= nAL_; ++k) {
    if (abstractions_[k].mode() == kAbstractionReservoirRule) continue;
    for (int32_t tr = 1; tr <= ntr_; ++tr)
      carry_[tr] = reservoirs_[nSP_].WithdrawalConcentration(tr);
    BookAbstraction(k, abstraction_amounts_[k], real_step, year, month, day, hour);
  }
}

// The last reservoir gives at most what it holds when it serves the amounts: a lake takes in
// its cells' ponding first, which can leave less than the volume the amounts were sized from.
// What it could not give is cut in item order (each takes from what the earlier ones left), so
// every abstraction books, and an internal one hands on, the water it took.
void routingclass::CutAbstractionsToServed(double wanted, double served) {
  if (!(served < wanted)) return;
  const double s = dt_ * 60.0;
  const double effective = area_ / divisor_;
  double left = DischargeToDepth(std::max(served, 0.0) / s, effective, dt_);
  abstraction_sum_ = 0.0;
  for (int32_t k = 1; k <= nAL_; ++k) {
    AL_class& al = abstractions_[k];
    if (al.mode() == kAbstractionReservoirRule) continue;
    double& amount = abstraction_amounts_[k];
    amount = std::clamp(amount, 0.0, left);
    left -= amount;
    abstraction_sum_ += amount;
    if (al.mode() != kAbstractionIntern && al.mode() != kAbstractionInternRule) continue;
    const int32_t t = nsb_ + al.number();
    const double water = DepthToDischarge(amount, effective, dt_);
    for (int32_t j = 1; j <= nsub_; ++j) subflows_[0][j][t] = water;
    flows_[0][t] = water;
  }
}

void routingclass::BookAbstraction(int32_t k, double amount, bool real_step, int32_t year,
                                   int32_t month, int32_t day, int32_t hour) {
  AL_class& al = abstractions_[k];
  carry_[0] = DepthToDischarge(amount, area_ / divisor_, dt_);
  if (real_step) al.AppendOutputRow(year, month, day, hour, carry_.data());
  if (real_step && !IsInternalAbstraction(al.mode())) {
    abstracted_solute_[0] += amount;
    for (int32_t tr = 1; tr <= ntr_; ++tr) abstracted_solute_[tr] += amount * carry_[tr];
  }
  if (al.mode() != kAbstractionIntern && al.mode() != kAbstractionInternRule) return;
  const int32_t t = nsb_ + al.number();
  for (int32_t j = 1; j <= nsub_; ++j)
    for (int32_t tr = 1; tr <= ntr_; ++tr) subflows_[tr][j][t] = carry_[tr];
}

}  // namespace velorn

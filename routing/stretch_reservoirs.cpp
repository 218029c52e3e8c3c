// Reservoirs of a routing stretch: the SP items, their rule sections and links, the outflows
// before the first step, and the reservoir chain of the step (see routing_stretch.h).
#include "core/error_code.h"
#include "routing/routing_formulas.h"
#include "routing/routing_stretch.h"

namespace velorn {

void routingclass::SetSpeicherParams(int32_t item, std::string_view text, std::size_t pos,
                                     int32_t nsub) {
  const int32_t k = item - ntrib_ - nlist_ - nZL_ - nAL_;
  if (k < 1 || k > nSP_)
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: reservoir item ", item,
               " of the stretch of subbasin ", tg_code_, " is not one of its ", nSP_,
               " reservoir(s)");
  nsub_ = nsub;
  if (ItemCount() == 0 && outlet_.empty()) {
    outlet_.assign(static_cast<std::size_t>((ntr_ + 1) * (nsub_ + 1)), 0.0);
    work_.assign(outlet_.size(), 0.0);
  }
  reservoirs_[k].ReadParameters(text, pos + 2);
  reservoirs_[k].WriteOutputHeader();
}

void routingclass::ReadReservoirRules(ControlFileReader& file, ReservoirMap* links,
                                      std::map<int32_t, bool>* bypass) {
  for (int32_t k = 1; k <= nSP_; ++k) {
    reservoirs_[k].ReadReservoirRules(file);
    reservoirs_[k].SetReservoirLinks(links);
  }
  if (nSP_ > 0) reservoirs_[nSP_].SetBypassSet(bypass);
}

void routingclass::InitialiseReservoirOutflows() {
  for (int32_t k = 1; k <= nSP_; ++k) {
    SP_class& r = reservoirs_[k];
    r.CheckConnectionTarget();
    double q = r.EvaluateRules(0.0, dt_, history_ != nullptr ? history_[0] : nullptr, abstractions_,
                               nAL_, 0, 0, 0, 0);
    if (dt_ * q * 60.0 > r.volume()) q = r.volume() / 60.0 / dt_;
    r.set_outflow(q);
  }
}

void routingclass::ApplyLakeLevels() {
  for (int32_t k = 1; k <= nSP_; ++k)
    if (reservoirs_[k].IsLake()) reservoirs_[k].ApplyLakeLevel(reservoirs_[k].state()[0]);
}

void routingclass::BindLakes(const LakeStaticGrids& statics, const LakeGrids* grids,
                             double cellsize, bool from_ponding) {
  for (int32_t k = 1; k <= nSP_; ++k) {
    SP_class& r = reservoirs_[k];
    r.BindLake(CollectLakeCells(statics, r.id(), tg_code_, *diag), cellsize, grids, from_ponding);
  }
}

void routingclass::CollectReservoirs(std::vector<SP_class*>& list) {
  for (int32_t k = 1; k <= nSP_; ++k) list.push_back(&reservoirs_[k]);
}

// Each reservoir takes the outlet discharge the previous one left as its inflow and sets the
// outlet to its outflow; the last one also serves the step's abstractions (their sum S, as a
// volume) and the irrigation drawn from it. Reservoir-fed abstractions hand their water to their
// receiving inflow.
void routingclass::RunReservoirs(int32_t year, int32_t month, int32_t day, int32_t hour) {
  if (nSP_ == 0) return;
  const bool real_step = month >= 1;
  const int32_t own = IndexOf(tg_code_);
  const double effective = area_ / divisor_;
  for (int32_t k = 1; k <= nSP_; ++k) {
    SP_class& r = reservoirs_[k];
    const double inflow = DepthToDischarge(flows_[0][own], effective, dt_);
    const double irrigation = k == nSP_ ? ReservoirIrrigationVolume(real_step) : 0.0;
    const double withdrawn = real_step && k == nSP_
                                 ? dt_ * 60.0 * DepthToDischarge(abstraction_sum_, effective, dt_)
                                 : 0.0;
    r.RunStep(inflow, dt_, irrigation, withdrawn, flows_,
              history_ != nullptr ? history_[0] : nullptr, abstractions_, nAL_, year, month, day,
              hour);
    for (int32_t a = 1; a <= nAL_; ++a) {
      AL_class& al = abstractions_[a];
      if (al.mode() != kAbstractionReservoirRule || !al.linked()) continue;
      const int32_t t = nsb_ + al.number();
      for (int32_t j = 1; j <= nsub_; ++j) {
        subflows_[0][j][t] = al.values()[0];
        for (int32_t tr = 1; tr <= ntr_; ++tr) subflows_[tr][j][t] = r.concentration(tr);
      }
      flows_[0][t] = al.values()[0];
    }
    flows_[0][own] = DischargeToDepth(r.RiverOutflow(), effective, dt_);
    for (int32_t tr = 1; tr <= ntr_; ++tr) flows_[tr][own] = r.concentration(tr);
    for (int32_t j = 1; j <= nsub_; ++j)
      for (int32_t tr = 0; tr <= ntr_; ++tr) subflows_[tr][j][own] = flows_[tr][own];
    if (k == nSP_) {
      CutAbstractionsToServed(withdrawn, r.AbstractionServed());
      BookReservoirAbstractions(real_step, year, month, day, hour);
      BookReservoirIrrigationSolute(real_step);
      OweReservoirShortfall(irrigation, real_step);
      OfferReservoirToIrrigation(real_step);
    }
    if (real_step) r.AppendOutputRow(year, month, day, hour);
  }
}

}  // namespace velorn

// Set-up of a routing stretch: construction, channel tables, area check, table files, flow
// arrays and channel states, the water balance of the stretch (see routing_stretch.h).
#include "routing/routing_stretch.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "core/error_code.h"
#include "core/output_files.h"
#include "routing/routing_formulas.h"

namespace velorn {

template <class T>
void routingclass::Allocate(std::vector<T>& array, int64_t count, int number) {
  try {
    if (count < 0) throw std::length_error("negative count");
    array.resize(static_cast<std::size_t>(count));
  } catch (const std::exception&) {
    ThrowFatal(*diag, 1, "FATAL: routing: memory allocation error ", number, " ");
  }
}

routingclass::routingclass(int32_t& error, const StretchSetup& setup)
    : nsb_(setup.nsb),
      dt_(setup.dt),
      area_(setup.area),
      divisor_(setup.divisor),
      ntrib_(setup.ntrib),
      nlist_(setup.nlist),
      nfurther_(setup.nfurther),
      nZL_(setup.nZL),
      nAL_(setup.nAL),
      nSP_(setup.nSP),
      tg_code_(setup.tg_code),
      abfrel_(setup.abfrel),
      code_to_index_(setup.code_to_index),
      max_code_(setup.max_code),
      ntr_(setup.ntr),
      tracers_(setup.tracers),
      nodata_(setup.nodata),
      output_directory_(setup.output_directory) {
  error = 0;
  diag = setup.diag;
  error = CaptureErrorCode([&] {
    SetModuleName("routingmodel");
    observed_flag_ = setup.flow_control == 2 ? 1 : 0;
    Allocate(items_, ItemCount() + 1, 0);
    Allocate(inflows_, nZL_ + 1, 1);
    for (auto& inflow : inflows_) Allocate(inflow.values, ntr_ + 1, 1);
    Allocate(weight_, ntrib_ + nlist_ + nfurther_ + 1, 3);
    Allocate(decay_, ntr_ + 1, 4);
    std::fill(decay_.begin(), decay_.end(), 1.0);
    Allocate(rows_, ntr_ + 1, 4);
    Allocate(reinfiltration_, nsb_ + 1, 5);
    Allocate(booked_, nsb_ + 1, 6);
    Allocate(abstractions_, nAL_ + 1, 7);
    Allocate(abstraction_numbers_, nAL_ + 1, 7);
    Allocate(abstraction_amounts_, nAL_ + 1, 7);
    Allocate(carry_, ntr_ + 1, 8);
    Allocate(abstracted_solute_, ntr_ + 1, 8);
    Allocate(observed_change_, ntr_ + 1, 8);
    Allocate(inflow_supply_, ntr_ + 1, 8);
    for (int32_t k = 1; k <= nAL_; ++k)
      abstractions_[k].Initialise(AbstractionSetup{.diag = diag,
                                                   .tracers = tracers_,
                                                   .ntr = ntr_,
                                                   .subbasin_code = tg_code_,
                                                   .output_directory = output_directory_,
                                                   .area = area_,
                                                   .divisor = divisor_,
                                                   .dt = dt_});
    Allocate(reservoirs_, nSP_ + 1, 9);
    for (int32_t k = 1; k <= nSP_; ++k)
      reservoirs_[k].Initialise(ReservoirSetup{.diag = diag,
                                               .tracers = tracers_,
                                               .ntr = ntr_,
                                               .subbasin_code = tg_code_,
                                               .subbasin_index = IndexOf(tg_code_),
                                               .output_directory = output_directory_});
  });
}

int32_t routingclass::IndexOf(int32_t code) const {
  if (code < 0 || code > max_code_ || code_to_index_ == nullptr || code_to_index_[code] < 1 ||
      code_to_index_[code] > nsb_)
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: subbasin code ", code,
               " of the stretch of subbasin ", tg_code_, " is not in the zone table");
  return code_to_index_[code];
}

int32_t routingclass::FlowIndex(int32_t item) const {
  if (IsInflow(item)) return nsb_ + items_[item].code;
  return IndexOf(items_[item].code);
}

void routingclass::BuildWQTable(int32_t item, int32_t code, const std::vector<int32_t>& members,
                                int32_t nsub, int32_t observed_flag, int32_t divisor_flag,
                                const ChannelParameters& params) {
  ChannelItem& it = items_[item];
  it.code = code;
  if (IsList(item)) it.members = members;
  if (!IsInflow(item)) {
    IndexOf(code);
    for (int32_t member : it.members) IndexOf(member);
  }
  nsub_ = nsub;
  observed_flag_ = observed_flag;
  it.params = params;
  // A table or history too large for the memory (absurd intervals or travel times) is refused.
  try {
    BuildChannelTable(it.params, dt_, nsub_, divisor_flag != 0 ? divisor_ : 1.0, ntr_, it.record);
  } catch (const std::exception&) {
    ThrowFatal(*diag, 1, "FATAL: memory allocation error 1019 ");
  }
  if (const int32_t row = FirstUnsoundRow(it.record); row != 0)
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: channel ", item,
               " of the stretch of subbasin ", tg_code_, " (source ", code,
               ") has no flow velocity above 0 in row ", row,
               " of its water-level/discharge table; check its widths, Manning coefficients, "
               "slope and area");
  // Water that needs more than a year through one channel is no river on Earth: the
  // initialisation would route the first discharges for as many steps.
  const double slowest = it.record.tt[static_cast<std::size_t>(it.record.rows + 1)];
  if (slowest > kLongestChannelHours)
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: channel ", item,
               " of the stretch of subbasin ", tg_code_, " (source ", code, ") takes ", slowest,
               " h at its smallest discharge, more than a year (", kLongestChannelHours,
               " h); check its length, slope, widths and Manning coefficients");
  it.built = true;
  outlet_.assign(static_cast<std::size_t>((ntr_ + 1) * (nsub_ + 1)), 0.0);
  work_.assign(outlet_.size(), 0.0);
}

int32_t routingclass::LookupWQRow(int32_t item, double depth) const {
  const ChannelParameters& p = items_[item].params;
  return TableRow(depth, dt_, p.qmin, p.log_step, static_cast<int32_t>(1.0 + p.intervals));
}

double routingclass::ListWeightSum(int32_t item) const {
  double sum = 0.0;
  auto add = [&](int32_t code) {
    const int32_t t = IndexOf(code);
    sum += abfrel_->area[t] / abfrel_->divisor[t];
  };
  for (int32_t member : items_[item].members) add(member);
  add(items_[item].code);
  return sum;
}

void routingclass::CheckArea() {
  const int32_t own = IndexOf(tg_code_);
  std::vector<double>& zone_area = abfrel_->area;
  double sum = 0.0;
  for (int32_t k = 0; k <= ntrib_; ++k) {
    const int32_t t = IndexOf(k == 0 ? tg_code_ : items_[k].code);
    weight_[k] = (k >= 1 && t == own) ? 0.0 : zone_area[t];
    sum += weight_[k];
  }
  for (int32_t k = ntrib_ + 1; k <= ntrib_ + nlist_; ++k) {
    weight_[k] = zone_area[IndexOf(items_[k].code)];
    for (int32_t member : items_[k].members) weight_[k] += zone_area[IndexOf(member)];
    sum += weight_[k];
  }
  // Without zone cells (or with a zone-table factor of 0) every later conversion of the
  // stretch would divide by 0.
  if (!(sum > 0.0) || !(zone_area[0] > 0.0))
    ThrowFatal(*diag, kControlFileErrorCode, "FATAL: routing: the stretch of subbasin ", tg_code_,
               " has an area of 0 in the zone grid (no cells of its subbasins, or a "
               "zone-table area factor of 0)");
  for (int32_t k = 0; k <= ntrib_ + nlist_; ++k) weight_[k] = weight_[k] / sum * divisor_;
  zone_area[own] = sum;
  abfrel_->divisor[own] = divisor_;
  const double zone_km2 = zone_area[0] * sum;
  if (zone_km2 - 0.001 > area_ || area_ > zone_km2 + 0.001)
    *diag << "INFO: Basin " << tg_code_ << ": area in contr.file: " << area_ << " <-> zone-grid "
          << zone_km2 << " (adjusted to the latter)"
          << "[end-entry]";
  area_ = zone_km2;
  for (int32_t k = 1; k <= nAL_; ++k) abstractions_[k].SetArea(area_);
}

void routingclass::WriteWQTable() {
  const double substep_hours = dt_ / nsub_ / 60.0;
  for (int32_t i = 1; i <= ItemCount(); ++i) {
    const ChannelItem& it = items_[i];
    char name[64];
    char title[512];
    if (IsInflow(i)) {
      std::snprintf(name, sizeof name, "wq_tabZL.%.3d", it.code);
      std::snprintf(title, sizeof title,
                    "waterlevel-discharge-table for the channel of inflow %d to the outlet of "
                    "subbasin %d\n",
                    it.code, tg_code_);
    } else {
      std::snprintf(name, sizeof name, "wq_table.%.3d", IndexOf(it.code));
      if (IsList(i) && !it.members.empty()) {
        std::string text =
            "waterlevel-discharge-table for the channel of subbasins " + std::to_string(it.code);
        for (std::size_t m = 0; m + 1 < it.members.size(); ++m)
          text += ", " + std::to_string(it.members[m]);
        text += " and " + std::to_string(it.members.back()) + " to the outlet of subbasin " +
                std::to_string(tg_code_) + "\n";
        std::snprintf(title, sizeof title, "%s", text.c_str());
      } else {
        std::snprintf(title, sizeof title,
                      "waterlevel-discharge-table for the channel of subbasin %d to the outlet "
                      "of subbasin %d\n",
                      it.code, tg_code_);
      }
    }
    std::string path = name;
    PrefixDirectory(output_directory_, path);
    std::FILE* file = OpenOutputFile(path, "wb");
    if (file == nullptr)
      ThrowFatal(*diag, kWriteErrorCode, "FATAL: error opening file ", path,
                 " (check user rights or disk space)", SystemReason(errno));
    CheckedFile table(*diag, kWriteErrorCode, path, file);
    table.Write(FormatChannelTable(title, it.params, it.record, nsub_, substep_hours));
    table.Close();
  }
}

bool routingclass::Observed(int32_t t, double& value) const {
  if (observed_flag_ != 1 || t > nsb_ || observation_columns_ == nullptr ||
      observation_columns_[t] == 0 || observed_ == nullptr)
    return false;
  const double observed = observed_[observation_columns_[t]];
  if (!(observed > nodata_)) return false;  // a missing observation leaves the value alone
  value = observed;
  return true;
}

// The row of a channel's own flow index is always (re)made with the channel's length; a list
// member's row only when no channel routes that index, so a shorter member row never replaces
// the row a channel routes.
void routingclass::AllocateHistoryRow(int32_t sb, int32_t length, bool routed) {
  if (!routed && history_[0][sb] != nullptr) return;
  double observed = 0.0;
  const bool substitute = Observed(sb, observed);
  for (int32_t tr = 0; tr <= ntr_; ++tr) {
    std::vector<double> row;
    try {
      row.assign(static_cast<std::size_t>(length + 1), 0.0);
    } catch (const std::exception&) {
      ThrowFatal(*diag, 1, "FATAL: error allocating memory for flow-arrays");
    }
    // Observed discharges replace the water only; the tracer rows keep concentrations.
    const double value = (tr == 0 && substitute) ? observed : flows_[tr][sb];
    std::fill(row.begin() + 1, row.end(), value);
    history_[tr][sb] = row.data();
    history_rows_.push_back(std::move(row));
    history_slots_.push_back({tr, sb});
  }
}

void routingclass::SetFlowArrays(double** flows, double*** subflows, double*** history,
                                 const double* observed, const int32_t* observation_columns) {
  flows_ = flows;
  subflows_ = subflows;
  history_ = history;
  observed_ = observed;
  observation_columns_ = observation_columns;
  for (int32_t k = 1; k <= nZL_; ++k) {
    const int32_t item = ntrib_ + nlist_ + k;
    flows_[0][FlowIndex(item)] =
        DischargeToDepth(inflows_[k].values[0], items_[item].params.area, dt_);
  }
  for (int32_t i = 1; i <= ItemCount(); ++i) {
    const int32_t length = items_[i].record.history_length + nsub_;
    if (!IsInflow(i))
      for (int32_t member : items_[i].members) AllocateHistoryRow(IndexOf(member), length, false);
    AllocateHistoryRow(FlowIndex(i), length, true);
  }
}

void routingclass::InitialiseChannelStates() {
  for (int32_t i = 1; i <= ItemCount(); ++i) {
    ChannelRecord& r = items_[i].record;
    const double flow = flows_[0][FlowIndex(i)];
    const int32_t row = LookupWQRow(i, flow);
    const int32_t span = r.Span(nsub_);
    for (int32_t s = 1; s <= r.SectionCount(); ++s) {
      for (int32_t j = 0; j <= nsub_; ++j) r.Outflow(s, j) = flow;
      r.previous_share[s] = 0.0;
      r.last[s] = nsub_ + span * (s - 1) + r.delay[row];
    }
  }
}

double routingclass::MaxOverSubSteps(const double* values) const {
  double largest = values[1];
  for (int32_t j = 2; j <= nsub_; ++j) largest = std::max(largest, values[j]);
  return largest;
}

int32_t routingclass::GetMaxHistoryLength(int32_t n) const {
  for (int32_t i = 1; i <= ItemCount(); ++i) n = std::max(n, items_[i].record.history_length);
  return n;
}

bool routingclass::HasOutsideInflow() const {
  for (int32_t k = 1; k <= nZL_; ++k)
    if (inflows_[k].mode != kInflowInternal) return true;
  return false;
}

double routingclass::OutletFactor(int32_t item) const {
  if (IsInflow(item)) return items_[item].params.area / area_ * divisor_;
  if (IsList(item)) return divisor_ / abfrel_->area[IndexOf(tg_code_)] * ListWeightSum(item);
  return weight_[item] / abfrel_->divisor[FlowIndex(item)];
}

double routingclass::StoredWater() const {
  return StoredSolute(0);
}

// Tracer 0 is the water itself: each amount counts at concentration 1.
double routingclass::StoredSolute(int32_t tr) const {
  double total = 0.0;
  for (int32_t i = 1; i <= ItemCount(); ++i) {
    const ChannelRecord& r = items_[i].record;
    const ChannelParameters& p = items_[i].params;
    const double* h = history_[0][FlowIndex(i)];
    const double* c = tr > 0 ? history_[tr][FlowIndex(i)] : nullptr;
    double amount = 0.0;
    for (int32_t s = 1; s <= r.SectionCount(); ++s) {
      const int32_t b = (s - 1) * r.Span(nsub_);
      for (int32_t k = b + nsub_ + 1; k <= r.last[s]; ++k) amount += c ? h[k] * c[k] : h[k];
      amount += r.storage[tr][s];
      amount += StoredBehindOutflow(r.Outflow(s, nsub_), r.previous_share[s], p.factor_mean,
                                    p.factor_flood) *
                (tr > 0 ? r.mixed[tr][s] : 1.0);
    }
    total += OutletFactor(i) * amount / nsub_;
  }
  return total;
}

}  // namespace velorn

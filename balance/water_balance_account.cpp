// The bookkeeping and the table of the water-balance account (see water_balance_account.h).
#include "balance/water_balance_account.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace velorn {

namespace {

// A value with `decimals` decimals, after a tab; one that rounds to zero is written without a
// sign, so that round-off of either sign writes the same text.
std::string Cell(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string s = text;
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);
  return "\t" + s;
}

}  // namespace

WaterBalanceAccount::WaterBalanceAccount(std::vector<int32_t> codes) : codes_(std::move(codes)) {
  codes_.insert(codes_.begin(), 0);
}

void WaterBalanceAccount::Start(const std::vector<WaterBalanceValues>& stores) {
  last_ = stores;
  last_.resize(codes_.size());
  for (WaterBalanceValues& v : last_) v.flux = {};
  run_ = Period{0, std::vector<WaterBalanceValues>(codes_.size()), last_, last_};
  years_.clear();
  steps_ = 0;
  started_ = true;
}

void WaterBalanceAccount::AddStep(int64_t year, const std::vector<WaterBalanceValues>& step) {
  if (!started_) Start(step);
  if (years_.empty() || years_.back().year != year)
    years_.push_back(Period{year, std::vector<WaterBalanceValues>(codes_.size()), last_, last_});
  for (Period* p : {&years_.back(), &run_}) {
    for (std::size_t i = 0; i < codes_.size() && i < step.size(); ++i) {
      for (int f = 0; f < kBalanceFluxCount; ++f) p->sums[i].flux[f] += step[i].flux[f];
      p->end[i].store = step[i].store;
    }
  }
  for (std::size_t i = 0; i < codes_.size() && i < step.size(); ++i) last_[i].store = step[i].store;
  ++steps_;
}

double WaterBalanceAccount::StorageChange(const Period& period, std::size_t i,
                                          WaterBalanceStore store) {
  return period.end[i].store[store] - period.start[i].store[store];
}

double WaterBalanceAccount::Residual(const Period& period, std::size_t i) {
  const auto& f = period.sums[i].flux;
  double out = 0;
  for (int k = kBalanceInterceptionEvaporation; k < kBalanceFluxCount; ++k) out += f[k];
  double change = 0;
  for (int s = 0; s < kBalanceStoreCount; ++s)
    change += StorageChange(period, i, static_cast<WaterBalanceStore>(s));
  double in = 0;
  for (int k = 0; k < kBalanceInterceptionEvaporation; ++k) in += f[k];
  return in - out - change;
}

std::string WaterBalanceAccount::Table() const {
  std::string text =
      "# water balance, mm over the area: input - evaporation - runoff - storage change = "
      "residual\nperiod\tsubbasin\tprecipitation\tsnow_alignment\tresponse_units\tlake_"
      "exchange\tsurface_return\tassimilation\tgroundwater_boundary\tgroundwater_"
      "lateral\tgroundwater_"
      "iteration\triver_infiltration\tgroundwater_pumping\texternal_table\tice_melt\tglacier_"
      "evaluation\tE_interception\tE_canopy_sublimation\tE_snow\tE_soil\ttranspiration\trunoff\tdS_"
      "canopy\tdS_snow\t"
      "dS_soil\tdS_ponding\tdS_groundwater\tdS_firn\tdS_concentration\tresidual\n";
  std::vector<const Period*> periods;
  for (const Period& p : years_) periods.push_back(&p);
  periods.push_back(&run_);
  for (const Period* p : periods) {
    for (std::size_t k = 1; k <= codes_.size(); ++k) {
      const std::size_t i = k % codes_.size();  // the subbasins, then the basin
      text += p == &run_ ? std::string("run") : std::to_string(p->year);
      text += '\t';
      text += i == 0 ? std::string("basin") : std::to_string(codes_[i]);
      for (double v : p->sums[i].flux) text += Cell(v, 6);
      for (int s = 0; s < kBalanceStoreCount; ++s)
        text += Cell(StorageChange(*p, i, static_cast<WaterBalanceStore>(s)), 6);
      text += Cell(Residual(*p, i), 9) + "\n";
    }
  }
  return text;
}

}  // namespace velorn

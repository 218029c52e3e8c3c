// Operating rules of a reservoir: the rule section, the outflow of a step over its inner steps
// (table or hydraulic connection), the running mean and the reservoir-fed abstractions, and
// the shared reservoir map (see reservoir.h).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "core/error_code.h"
#include "core/value_ranges.h"
#include "routing/reservoir.h"
#include "routing/routing_formulas.h"

namespace velorn {
namespace {

// The value after the first '=' behind `key` in `block`, up to ';' or the line end.
bool ConnectionValue(const std::string& block, const char* key, double& value) {
  const std::size_t at = block.find(key);
  if (at == std::string::npos) return false;
  const std::size_t equals = block.find('=', at);
  if (equals == std::string::npos) return false;
  const std::size_t end = block.find_first_of(";\n", equals + 1);
  const std::string text =
      block.substr(equals + 1, end == std::string::npos ? end : end - equals - 1);
  std::size_t pos = 0;
  return ScanValue(text, pos, value);
}

}  // namespace

void SP_class::ReadReservoirRules(ControlFileReader& file) {
  const std::string header = std::string("[") + kReservoirRulePrefix + std::to_string(id_) + "]";
  if (!file.FindHeader(header))
    ThrowFatal(*diag_, 34, "FATAL: section ", header, " not found in control file");
  const std::string head = file.RestOfLine();
  std::size_t pos = 0;
  double classes = 0;
  connected_ = false;
  rules_ = AbstractionRules{};
  if (ScanValue(head, pos, classes) && classes >= 1) {
    // A table: the abstraction rules' reader, which reads the section again from its header.
    rules_ = ReadRuleSection(file, header, *diag_);
    return;
  }
  ReadConnection(file);
}

// "HydraulicConnection { TargetReservoir = ..; ChannelWidth = ..; ... }", over one line or more.
void SP_class::ReadConnection(ControlFileReader& file) {
  std::string block = file.AtEnd() ? std::string() : file.RestOfLine();
  if (block.find("HydraulicConnection") == std::string::npos) return;  // neither table nor link
  while (block.find('}') == std::string::npos) {
    if (file.AtEnd())
      ThrowFatal(*diag_, kReservoirConnectionCode,
                 "FATAL: reading HydraulicConnection parameters for SP ", id_,
                 ": the block ends without \"}\"");
    block += '\n';
    block += file.RestOfLine();
  }
  double target = 0;
  const bool read = ConnectionValue(block, "TargetReservoir", target) &&
                    ConnectionValue(block, "ChannelWidth", connection_.width) &&
                    ConnectionValue(block, "ChannelBottom", connection_.bottom) &&
                    ConnectionValue(block, "ChannelLength", connection_.length) &&
                    ConnectionValue(block, "RoughnessCoeff", connection_.strickler);
  if (!read || !(connection_.length > 0.0) || !(connection_.width > 0.0))
    ThrowFatal(*diag_, kReservoirConnectionCode,
               "FATAL: reading HydraulicConnection parameters for SP ", id_,
               ": some values could not be read\n",
               "(TargetReservoir, ChannelWidth > 0, ChannelBottom, ChannelLength > 0 and "
               "RoughnessCoeff, each as key = value)");
  // The channel bottom is a level on Earth, the roughness a Strickler coefficient above 0 (the
  // flow divides by none), the target a reservoir id (an integer).
  const auto refuse = [&](const char* key, double value, const char* range) {
    ThrowFatal(*diag_, kReservoirConnectionCode, "FATAL: HydraulicConnection of SP ", id_, ": ",
               key, " is ", value, ", it must lie within ", range);
  };
  if (!IsEarthElevation(connection_.bottom))
    refuse("ChannelBottom", connection_.bottom, "-11000 to 9000 m a.s.l.");
  if (!(connection_.strickler > 0 && connection_.strickler <= 1000))
    refuse("RoughnessCoeff", connection_.strickler, "above 0 to 1000 m^(1/3)/s");
  if (!(connection_.width <= kWidestRiver))
    refuse("ChannelWidth", connection_.width, "0 to 100000 m");
  if (!FitsInteger<int32_t>(target) || target != std::trunc(target))
    refuse("TargetReservoir", target, "the ids of the SP items (whole numbers)");
  connection_.target = static_cast<int32_t>(target);
  connected_ = true;
}

void SP_class::SetReservoirLinks(ReservoirMap* map) {
  links_ = map;
  map->emplace(id_, ReservoirLinkRecord{this});
}

void SP_class::SetBypassSet(std::map<int32_t, bool>* bypass) const {
  bypass->emplace(subbasin_index_, connected_);
}

void SP_class::CheckConnectionTarget() const {
  if (!connected_) return;
  if (links_ == nullptr || links_->find(connection_.target) == links_->end())
    ThrowFatal(*diag_, kReservoirConnectionCode, "FATAL: the HydraulicConnection of SP ", id_,
               " names TargetReservoir ", connection_.target, ", which no SP item defines");
}

void SP_class::ReceiveConnected(double m3, const std::vector<double>& source) {
  // Water that arrives mixes its concentrations in; water that leaves takes the reservoir's own.
  if (m3 > 0.0)
    for (int32_t i = 1; i <= ntr_; ++i)
      state_[i] = WeightedMean(state_[i], source[i], std::max(state_[0], 0.0), m3);
  state_[0] += m3;
  received_ += m3;
  ApplyLakeLevel(state_[0]);
}

double SP_class::PassToTarget(double q, double s) {
  CheckConnectionTarget();
  SP_class& target = *links_->at(connection_.target).reservoir;
  if (s * q < -target.volume()) q = -std::max(target.volume(), 0.0) / s;
  // Water drawn from the target arrives here with the target's concentrations.
  if (q < 0.0)
    for (int32_t i = 1; i <= ntr_; ++i)
      state_[i] =
          WeightedMean(state_[i], target.concentration(i), std::max(state_[0], 0.0), -s * q);
  target.ReceiveConnected(s * q, state_);
  return q;
}

bool SP_class::RuleActive(int32_t k, int32_t year, int32_t month, int32_t day, int32_t hour) const {
  if (month < 1) return false;
  const long days = rules_.weekdays[k];
  if (days == -1) return true;
  const char weekday = static_cast<char>('0' + Weekday(year, month, day, hour - 1));
  return std::to_string(days).find(weekday) != std::string::npos && rules_.start_hour[k] <= hour &&
         hour <= rules_.stop_hour[k];
}

double SP_class::EvaluateRules(double qin, double dt, double** history,
                               std::vector<AL_class>& abstractions, int32_t nAL, int32_t year,
                               int32_t month, int32_t day, int32_t hour) {
  withdrawn_.assign(static_cast<std::size_t>(nAL) + 1, 0.0);
  const double v = state_[0];
  const double q =
      connected_
          ? EvaluateConnection(v, qin, dt, history, abstractions, nAL, year, month, day, hour)
          : EvaluateTable(v, qin, dt, history, abstractions, nAL, year, month, day, hour);
  for (int32_t k = 1; k <= nAL; ++k)
    if (abstractions[k].mode() == kAbstractionReservoirRule)
      abstractions[k].values()[0] = withdrawn_[k] / (dt * 60.0);
  return q;
}

void SP_class::WithdrawInner(double& v, double** history, std::vector<AL_class>& abstractions,
                             int32_t nAL, int32_t year, int32_t month, int32_t day, int32_t hour) {
  for (int32_t k = 1; k <= nAL; ++k) {
    if (abstractions[k].mode() != kAbstractionReservoirRule) continue;
    double w = abstractions[k].ScheduledRuleAmount(history, year, month, day, hour, v) * dtmin_;
    v -= w;
    if (v < 0.0) {
      w += v;
      v = 0.0;
    }
    withdrawn_[k] += w;
  }
}

double SP_class::EvaluateTable(double v, double qin, double dt, double** history,
                               std::vector<AL_class>& abstractions, int32_t nAL, int32_t year,
                               int32_t month, int32_t day, int32_t hour) {
  const AbstractionRules& r = rules_;
  const int32_t m = std::max(1, static_cast<int32_t>(use_running_avg_ * 60.0 / dt));
  const int32_t nsteps = static_cast<int32_t>(dt * 60.0 / dtmin_);
  running_.push_back(v);
  while (static_cast<int32_t>(running_.size()) > m) running_.pop_front();
  const double mean =
      std::accumulate(running_.begin(), running_.end(), 0.0) / static_cast<double>(running_.size());
  if (r.n < 1 || nsteps < 1) return 0.0;
  const PeriodWeight p = RulePeriod(r, RuleDayOfYear(month, day));
  const int32_t k = p.k;
  const bool active = RuleActive(k, year, month, day, hour);
  // Period k's value blended with period k − 1.
  auto blend = [&](auto value) {
    return k > 1 ? p.w * value(k) + (1.0 - p.w) * value(k - 1) : value(1);
  };
  const int32_t n = r.n;
  double sum = 0.0;
  for (int32_t step = 0; step < nsteps; ++step) {
    v += dtmin_ * qin;
    const double x = use_running_avg_ > 1 ? mean : v;
    double out = 0.0;
    if (!r.flow_indexed && v > r.first[n]) {
      // Overflow, whatever the rule's activity: the reservoir passes its inflow.
      out = qin;
    } else if (active && !r.flow_indexed) {
      for (int32_t j = n - 1; j >= 1; --j) {
        if (!(r.first[j] < x)) continue;
        out = blend([&](int32_t kk) { return (x - r.first[j]) * r.slope[kk][j] + r.col[kk][j]; });
        break;
      }
    } else if (active) {
      for (int32_t j = n - 1; j >= 1; --j) {
        const double t = blend([&](int32_t kk) { return r.col[kk][j]; });
        if (!(x > t)) continue;
        out = r.first[j] + blend([&](int32_t kk) { return r.slope[kk][j]; }) * (x - t);
        break;
      }
    }
    if (r.cap[k] > 0.0) out = std::min(out, r.cap[k]);
    v -= out * dtmin_;
    if (v < 0.0) out += v / dtmin_;
    sum += std::max(out, 0.0) / nsteps;
    WithdrawInner(v, history, abstractions, nAL, year, month, day, hour);
  }
  return sum;
}

double SP_class::EvaluateConnection(double v, double qin, double dt, double** history,
                                    std::vector<AL_class>& abstractions, int32_t nAL, int32_t year,
                                    int32_t month, int32_t day, int32_t hour) {
  const int32_t nsteps = static_cast<int32_t>(dt * 60.0 / dtmin_);
  if (nsteps < 1) return 0.0;
  CheckConnectionTarget();
  const HydraulicConnection& c = connection_;
  const double ht = links_->at(c.target).reservoir->level();
  const double area = balance_.area;
  const double start = level_;
  double h = level_;
  double sum = 0.0;
  for (int32_t step = 0; step < nsteps; ++step) {
    if (area > 0.0) h += dtmin_ * qin / area;
    double qc = ConnectionFlow(c, h, ht);
    if (area > 0.0) h -= qc * dtmin_ / area;
    if (h < c.bottom && c.bottom < start) {
      qc -= (c.bottom - h) * area / dtmin_;
      h = c.bottom;
    }
    v += dtmin_ * qin - qc * dtmin_;
    if (v < 0.0) {
      // The reservoir gives at most what it holds; the next inner step starts empty.
      qc += v / dtmin_;
      v = 0.0;
    }
    sum += qc / nsteps;
    WithdrawInner(v, history, abstractions, nAL, year, month, day, hour);
  }
  return sum;
}

}  // namespace velorn

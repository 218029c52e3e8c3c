// Abstractions of a routing stretch: the AL item, the amount of a step, the output buffer and
// the rule lookups (see abstraction.h).
#include "routing/abstraction.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/error_code.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "routing/routing_formulas.h"

namespace velorn {
namespace {

constexpr int64_t kInputBufferBytes = 1000000;
// Values of the input column at or below this are missing and count as 0.
constexpr double kMissingValueLimit = -9998.0;

int32_t FullYear(int32_t year) {
  return year <= 999 ? year + 1900 : year;
}

}  // namespace

int32_t AbstractionMode(std::string_view word) {
  if (word == "intern") return kAbstractionIntern;
  if (word == "extern") return kAbstractionExtern;
  if (word == "from_file") return kAbstractionFromFile;
  if (word == "intern_with_rule") return kAbstractionInternRule;
  if (word == "extern_with_rule") return kAbstractionExternRule;
  if (word == "intern_with_rule_from_reservoir") return kAbstractionReservoirRule;
  return 0;
}

int64_t AbstractionBufferRows(int32_t ntr) {
  return std::max<int64_t>(1, kAbstractionBufferBytes / ((ntr + 1) * 8 + 32));
}

double FixedRuleAmount(double q, double taken, double qmin, double fraction, double qmax) {
  const double avail = q - taken;
  double x = avail >= qmin ? fraction * (q - qmin) : 0.0;
  if (avail - x < qmin) x = avail - qmin;
  return std::min(qmax, std::max(0.0, x));
}

std::string PrefixDirectory(const std::string& directory, const std::string& name) {
  if (directory.empty() || name.empty() || name[0] == '/' || name[0] == '~') return name;
  return directory + name;
}

AL_class::~AL_class() = default;

void AL_class::Initialise(const AbstractionSetup& setup) {
  diag_ = setup.diag;
  tracers_ = setup.tracers;
  ntr_ = setup.ntr;
  subbasin_code_ = setup.subbasin_code;
  output_directory_ = setup.output_directory;
  area_ = setup.area;
  divisor_ = setup.divisor;
  dt_ = setup.dt;
  values_.assign(static_cast<std::size_t>(ntr_) + 1, 0.0);
}

void AL_class::SetupAbstraction(int32_t number, std::string_view text, std::size_t pos,
                                int32_t year, int32_t month, int32_t day, int32_t hour) {
  number_ = number;
  // Items may stand in parentheses: a ')' ends the token it is in.
  auto token = [&](std::string& word) {
    if (!ScanValue(text, pos, word)) return false;
    if (const std::size_t cut = word.find(')'); cut != std::string::npos) word.resize(cut);
    return true;
  };
  auto after_equals = [&](std::string& word) {
    const std::size_t equals = text.find('=', pos);
    if (equals == std::string_view::npos) return false;
    pos = equals + 1;
    return token(word);
  };
  std::string word;
  after_equals(word);
  mode_ = AbstractionMode(word);
  if (mode_ == 0)
    ThrowFatal(*diag_, kAbstractionModeCode, "FATAL: the modus \"", word,
               "\" is not supported for abstraction ", number);
  auto fixed_rule = [&] {
    std::string unit;
    if (!ScanValue(text, pos, qmin_, kItemSeparators) ||
        !ScanValue(text, pos, fraction_, kItemSeparators) ||
        !ScanValue(text, pos, qmax_, kItemSeparators) || !token(unit)) {
      if (const std::string word = NumberLikeWordAt(text, pos, kItemSeparators); !word.empty())
        ThrowFatal(*diag_, kControlFileErrorCode, "FATAL: abstraction ", number, ": \"", word,
                   "\" ", NumberProblem(word));
      ThrowFatal(*diag_, kControlFileErrorCode, "FATAL: abstraction ", number,
                 ": minimum discharge, fraction, maximum abstraction and unit expected");
    }
    // A discharge (m3/s, or mm per step) up to the largest river's and a share of the water
    // above Qmin: outside them the amount taken has no meaning, or overflows in its conversion.
    auto require = [&](double value, double high, const char* what) {
      if (value >= 0 && value <= high) return;
      ThrowFatal(*diag_, kControlFileErrorCode, "FATAL: abstraction ", number, ": the ", what,
                 " is ", FormatText("%g", value), ", it must lie within 0 to ",
                 FormatText("%g", high));
    };
    require(qmin_, kLargestDischarge, "minimum discharge");
    require(fraction_, 1.0, "fraction");
    require(qmax_, kLargestDischarge, "maximum abstraction");
    if (unit.find("m^3/s") != std::string::npos || unit.find("m3/s") != std::string::npos ||
        unit.find("m3s") != std::string::npos) {
      discharge_units_ = true;
      qmin_ = DischargeToDepth(qmin_, EffectiveArea(), dt_);
      qmax_ = DischargeToDepth(qmax_, EffectiveArea(), dt_);
    }
  };
  auto need = [&](bool ok, const char* what) {
    if (!ok)
      ThrowFatal(*diag_, kControlFileErrorCode, "FATAL: abstraction ", number, ": ", what,
                 " expected");
  };
  switch (mode_) {
    case kAbstractionIntern:
      fixed_rule();
      break;
    case kAbstractionExtern:
      need(token(output_name_), "output file name");
      fixed_rule();
      break;
    case kAbstractionFromFile: {
      const std::size_t key = text.find("input_file", pos);
      need(key != std::string_view::npos, "\"input_file\"");
      pos = key + 10;
      std::string column;
      need(after_equals(input_name_), "input file name");
      need(after_equals(column) && ReadNumber(column, input_column_), "input column");
      need(after_equals(output_name_), "output file name");
      break;
    }
    case kAbstractionExternRule:
      need(token(output_name_), "output file name");
      break;
    default:
      break;
  }
  if (mode_ == kAbstractionFromFile) OpenInputTable(year, month, day, hour);
  if (WritesFile()) CreateOutputFile();
}

void AL_class::RewindInput(int32_t year, int32_t month, int32_t day, int32_t hour) {
  if (mode_ == kAbstractionFromFile) OpenInputTable(year, month, day, hour);
}

void AL_class::OpenInputTable(int32_t year, int32_t month, int32_t day, int32_t hour) {
  input_ = std::make_unique<TimeSeriesTable>();
  TimeSeriesTable& table = *input_;
  const int failed = CodeOf([&] { table.Open(input_name_, 0, kInputBufferBytes); });
  if (failed != 0 || table.state() == kTableCannotOpen || table.state() == kTableReadError)
    ThrowFatal(*diag_, kAbstractionOpenCode, "FATAL: error opening ", input_name_,
               " for abstraction ", number_);
  int32_t y = 0, m = 0, d = 0, h = 0;
  while (true) {
    if (table.state() == kTablePastEnd || !table.GetDate(y, m, d, h))
      ThrowFatal(*diag_, kAbstractionStartCode, "FATAL: starting date ", day, ".", month, ".", year,
                 ", ", hour, ". h in ", input_name_, " not found.");
    if (FullYear(y) == year && m == month && d == day && h == hour) break;
    table.NextRow();
  }
  if (input_column_ < 0 || input_column_ >= table.columns())
    ThrowFatal(*diag_, kAbstractionStartCode, "FATAL: abstraction ", number_, ": ", input_name_,
               " has no value column ", input_column_, " (", table.columns(),
               " value columns, counted from 0)");
}

void AL_class::CreateOutputFile() {
  output_name_ = PrefixDirectory(output_directory_, output_name_);
  errno = 0;
  std::FILE* file = OpenOutputFile(output_name_, "w");
  if (file == nullptr)
    ThrowFatal(*diag_, kAbstractionOpenCode, "FATAL: error opening ", output_name_,
               " for abstraction ", number_, SystemReason(ErrnoOrIo()));
  std::string head = "YY\tMM\tDD\tHH\tm^3/s";
  for (int32_t t = 1; t <= ntr_; ++t) head += "\t" + tracers_[t].name;
  head += "\n";
  CheckedFile out(*diag_, kWriteErrorCode, output_name_, file);
  out.Printf("%sabstraction_%d\n%s", head.c_str(), number_, head.c_str());
  out.Close();
  capacity_ = AbstractionBufferRows(ntr_);
  buffer_.assign(static_cast<std::size_t>(capacity_) * (ntr_ + 5), 0.0);
  filled_ = 0;
}

void AL_class::SetArea(double area) {
  if (discharge_units_ && area > 0.0 && area_ > 0.0) {
    qmin_ *= area_ / area;
    qmax_ *= area_ / area;
  }
  area_ = area;
}

void AL_class::SetTarget(int32_t target_index, int32_t flow_index, double target_area,
                         double target_divisor, double flow_area) {
  target_index_ = target_index;
  target_flow_index_ = flow_index;
  target_area_ = target_area;
  target_divisor_ = target_divisor;
  target_flow_area_ = flow_area;
}

void AL_class::ReadAbstractionRules(ControlFileReader& file) {
  if (mode_ != kAbstractionInternRule && mode_ != kAbstractionExternRule &&
      mode_ != kAbstractionReservoirRule)
    return;
  // "[abstraction_rule_abstraction_N]" with the abstraction's number N.
  const std::string header =
      std::string("[") + kAbstractionRulePrefix + std::to_string(number_) + "]";
  rules_ = ReadRuleSection(file, header, *diag_);
}

double AL_class::ComputeAbstraction(double** flows, double& taken, double q, int32_t year,
                                    int32_t month, int32_t day, int32_t hour) {
  double amount = 0.0;
  switch (mode_) {
    case kAbstractionIntern:
    case kAbstractionExtern:
      amount = FixedRuleAmount(q, taken, qmin_, fraction_, qmax_);
      break;
    case kAbstractionFromFile: {
      double value = input_->GetValue(input_column_);
      if (value <= kMissingValueLimit) value = 0.0;
      amount = std::max(0.0, std::min(q - taken, DischargeToDepth(value, EffectiveArea(), dt_)));
      if (month >= 1) input_->NextRow();
      break;
    }
    case kAbstractionInternRule:
    case kAbstractionExternRule:
    case kAbstractionReservoirRule:
      amount = std::min(q - taken, RuleAmount(flows, year, month, day, hour,
                                              DepthToDischarge(q, EffectiveArea(), dt_)));
      break;
    default:
      break;
  }
  taken += amount;
  return amount;
}

double AL_class::Capped(double r, int32_t k, double q) const {
  return RuleCapped(rules_, k, r, q);
}

double AL_class::RuleAmount(double** flows, int32_t /*year*/, int32_t month, int32_t day,
                            int32_t /*hour*/, double x) const {
  const PeriodWeight p = RulePeriod(rules_, RuleDayOfYear(month, day));
  double r = RuleTableValue(rules_, p, x);
  if (target_index_ > 0 && target_flow_index_ > 0 && flows != nullptr)
    r = Capped(r, p.k, DepthToDischarge(flows[0][target_flow_index_], target_flow_area_, dt_));
  return DischargeToDepth(r, EffectiveArea(), dt_);
}

double AL_class::ScheduledRuleAmount(double** flows, int32_t year, int32_t month, int32_t day,
                                     int32_t hour, double x) const {
  if (month < 1) return 0.0;
  const PeriodWeight p = RulePeriod(rules_, RuleDayOfYear(month, day));
  if (!RuleActive(rules_, p.k, Weekday(year, month, day, hour - 1), hour)) return 0.0;
  double r = RuleTableValue(rules_, p, x);
  if (target_index_ > 0 && target_flow_index_ > 0 && flows != nullptr &&
      flows[target_flow_index_] != nullptr)
    r = Capped(r, p.k, DepthToDischarge(flows[target_flow_index_][1], target_flow_area_, dt_));
  return r;
}

void AL_class::AppendOutputRow(int32_t year, int32_t month, int32_t day, int32_t hour,
                               const double* values) {
  if (!WritesFile()) return;
  if (filled_ >= capacity_) FlushBuffers(1);
  double* row = &buffer_[static_cast<std::size_t>(filled_) * (ntr_ + 5)];
  row[0] = year;
  row[1] = month;
  row[2] = day;
  row[3] = hour;
  for (int32_t t = 0; t <= ntr_; ++t) row[4 + t] = values[t];
  ++filled_;
}

void AL_class::FlushBuffers(int32_t force) {
  if (!WritesFile() || force < 1 || filled_ == 0) return;
  SigintIgnoredScope quiet;
  *diag_ << "flushing to disk: " << output_name_ << " (" << kAbstractionBufferBytes
         << " buffersize)"
         << "[end-entry]";
  errno = 0;
  std::FILE* file = OpenOutputFile(output_name_, "a+");
  if (file == nullptr)
    ThrowFatal(*diag_, kAbstractionAppendCode, "FATAL: error opening ", output_name_,
               " for abstraction ", number_, SystemReason(ErrnoOrIo()));
  CheckedFile out(*diag_, kWriteErrorCode, output_name_, file);
  for (int64_t i = 0; i < filled_; ++i) {
    const double* row = &buffer_[static_cast<std::size_t>(i) * (ntr_ + 5)];
    out.Printf("%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
    for (int32_t t = 0; t <= ntr_; ++t) out.Printf("\t%lg", row[4 + t]);
    out.Write("\n");
  }
  filled_ = 0;
  out.Close();
}

}  // namespace velorn

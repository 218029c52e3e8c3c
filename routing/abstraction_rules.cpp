// Reading and evaluating abstraction rule sections (see abstraction_rules.h).
#include "routing/abstraction_rules.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "core/error_code.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

constexpr int32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Numbers of period days, table points or values beyond this are refused before allocating.
constexpr int32_t kMaxRuleCount = 100000;

struct SectionContext {
  DiagnosticStream& diag;
  const std::string& header;
  [[noreturn]] void Fail(std::size_t line, const std::string& what) const {
    ThrowFatal(diag, kControlFileErrorCode, "FATAL: abstraction rule section ", header, ", line ",
               line, " of the control file: ", what);
  }
};

// The blank-separated numbers of a line; reading stops at the first word that is no number, and
// a word there that begins like one ("0,5", "2m") is refused by name.
std::vector<double> Numbers(const SectionContext& c, std::size_t line_no, std::string_view text) {
  std::vector<double> values;
  std::size_t pos = 0;
  double v = 0;
  while (ScanValue(text, pos, v)) values.push_back(v);
  if (const std::string word = NumberLikeWordAt(text, pos); !word.empty())
    c.Fail(line_no, "\"" + word + "\" " + NumberProblem(word));
  return values;
}

// Values of a key line behind its first '='; one per period.
template <class T>
std::vector<T> KeyValues(const SectionContext& c, std::string_view line, std::size_t line_no,
                         int32_t periods, const char* key) {
  const std::size_t equals = line.find('=');
  const std::vector<double> numbers = equals == std::string_view::npos
                                          ? std::vector<double>{}
                                          : Numbers(c, line_no, line.substr(equals + 1));
  if (static_cast<int32_t>(numbers.size()) < periods)
    c.Fail(line_no, std::string(key) + ": " + std::to_string(numbers.size()) + " value(s) for " +
                        std::to_string(periods) + " period(s)");
  std::vector<T> values(static_cast<std::size_t>(periods) + 1);
  for (int32_t k = 1; k <= periods; ++k) values[k] = static_cast<T>(numbers[k - 1]);
  return values;
}

void ComputeSlopes(AbstractionRules& r) {
  for (int32_t k = 1; k <= r.periods; ++k) {
    r.slope[k].assign(static_cast<std::size_t>(r.n) + 1, 0.0);
    for (int32_t j = 1; j < r.n; ++j) {
      const double dc = r.first[j + 1] - r.first[j];
      const double dt = r.col[k][j + 1] - r.col[k][j];
      const double num = r.flow_indexed ? dc : dt;
      const double den = r.flow_indexed ? dt : dc;
      r.slope[k][j] = den != 0.0 ? num / den : 0.0;
    }
  }
}

}  // namespace

int32_t RuleDayOfYear(int32_t month, int32_t day) {
  int32_t d = day;
  for (int32_t m = 1; m < month && m <= 12; ++m) d += kMonthDays[m - 1];
  return d;
}

PeriodWeight RulePeriod(const AbstractionRules& rules, int32_t day_of_year) {
  PeriodWeight p;
  const int32_t K = rules.periods;
  if (K <= 1 || day_of_year <= rules.day[1]) return p;
  p.k = K;
  for (int32_t k = 2; k <= K; ++k) {
    if (day_of_year <= rules.day[k]) {
      p.k = k;
      break;
    }
  }
  p.w = static_cast<double>(day_of_year - rules.day[p.k - 1]) /
        static_cast<double>(rules.day[p.k] - rules.day[p.k - 1]);
  return p;
}

int32_t Weekday(int32_t year, int32_t month, int32_t day, int32_t hour) {
  // Days since 1970-01-01 (a Thursday) of the civil date, then the hour offset in whole days.
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  days += (hour >= 0 ? hour / 24 : (hour - 23) / 24);
  const int64_t from_monday = ((days + 3) % 7 + 7) % 7;  // 1970-01-01 is weekday 4
  return static_cast<int32_t>(from_monday) + 1;
}

double RuleTableValue(const AbstractionRules& r, PeriodWeight p, double x) {
  const int32_t k = p.k;
  const double w = p.w;
  if (!r.flow_indexed) {
    if (r.n < 1) return 0.0;
    if (x > r.first[r.n]) return r.col[k][r.n];
    for (int32_t j = r.n - 1; j >= 1; --j) {
      if (x <= r.first[j]) continue;
      double v = r.col[k][j] + r.slope[k][j] * (x - r.first[j]);
      if (k > 1) v = w * v + (1.0 - w) * (r.col[k - 1][j] + r.slope[k - 1][j] * (x - r.first[j]));
      return v;
    }
    return 0.0;
  }
  for (int32_t j = r.n - 1; j >= 1; --j) {
    const double t = k > 1 ? w * r.col[k][j] + (1.0 - w) * r.col[k - 1][j] : r.col[1][j];
    if (x <= t) continue;
    const double g = k > 1 ? w * r.slope[k][j] + (1.0 - w) * r.slope[k - 1][j] : r.slope[1][j];
    return r.first[j] + g * (x - t);
  }
  return 0.0;
}

bool RuleActive(const AbstractionRules& r, int32_t k, int32_t weekday, int32_t hour) {
  if (r.weekdays_given &&
      std::to_string(r.weekdays[k]).find(static_cast<char>('0' + weekday)) == std::string::npos)
    return false;
  if (r.start_given && hour < r.start_hour[k]) return false;
  if (r.stop_given && hour > r.stop_hour[k]) return false;
  return true;
}

double RuleCapped(const AbstractionRules& r, int32_t k, double value, double q) {
  if (!r.cap_given || value + q <= r.cap[k]) return value;
  return std::max(0.0, r.cap[k] - q);
}

AbstractionRules ReadRuleSection(ControlFileReader& file, const std::string& header,
                                 DiagnosticStream& diag) {
  const SectionContext c{diag, header};
  if (!file.FindHeader(header))
    ThrowFatal(diag, 34, "FATAL: section ", header, " not found in control file");
  AbstractionRules r;
  std::size_t line_no = file.line_number();
  const std::vector<double> head = Numbers(c, line_no, file.RestOfLine());
  if (head.empty() || head[0] < 1 || head[0] > kMaxRuleCount)
    c.Fail(line_no, "the number of table points (1.." + std::to_string(kMaxRuleCount) +
                        ") is missing or out of range");
  if (head.size() > static_cast<std::size_t>(kMaxRuleCount))
    c.Fail(line_no, "too many period days");
  r.n = static_cast<int32_t>(head[0]);
  r.periods = head.size() > 1 ? static_cast<int32_t>(head.size()) - 1 : 1;
  r.day.assign(static_cast<std::size_t>(r.periods) + 1, 0);
  if (r.periods == 1) {
    r.day[1] = 1;
  } else {
    for (int32_t k = 1; k <= r.periods; ++k) {
      // A day of the year; anything else would not even fit the integer it is kept in.
      if (!(head[k] >= 1 && head[k] <= 366))
        c.Fail(line_no, "the period day " + FormatText("%g", head[k]) + " lies outside 1 to 366");
      r.day[k] = static_cast<int32_t>(head[k]);
    }
    for (int32_t k = 2; k <= r.periods; ++k)
      if (r.day[k] <= r.day[k - 1])
        c.Fail(line_no, "the period days must increase (" + std::to_string(r.day[k - 1]) +
                            " is followed by " + std::to_string(r.day[k]) + ")");
  }
  if (static_cast<std::size_t>(r.n) > file.WordsLeft())
    c.Fail(line_no, std::to_string(r.n) + " table rows announced, fewer follow");
  r.first.assign(static_cast<std::size_t>(r.n) + 1, 0.0);
  r.col.assign(static_cast<std::size_t>(r.periods) + 1,
               std::vector<double>(static_cast<std::size_t>(r.n) + 1, 0.0));
  r.slope.resize(static_cast<std::size_t>(r.periods) + 1);
  for (int32_t j = 1; j <= r.n; ++j) {
    line_no = file.line_number();
    const std::vector<double> row = Numbers(c, line_no, file.RestOfLine());
    if (static_cast<int32_t>(row.size()) < r.periods + 1)
      c.Fail(line_no, "table row " + std::to_string(j) + " holds " + std::to_string(row.size()) +
                          " value(s), the first column and " + std::to_string(r.periods) +
                          " period value(s) expected");
    r.first[j] = row[0];
    for (int32_t k = 1; k <= r.periods; ++k) r.col[k][j] = row[k];
  }
  const std::size_t K1 = static_cast<std::size_t>(r.periods) + 1;
  r.cap.assign(K1, -1.0);
  r.weekdays.assign(K1, -1);
  r.start_hour.assign(K1, -1);
  r.stop_hour.assign(K1, -1);
  while (!file.AtEnd()) {
    line_no = file.line_number();
    const std::string line = file.RestOfLine();
    if (line.find('[') != std::string::npos || line.find_first_not_of(" \t\r") == std::string::npos)
      break;
    if (line.find("TargetCap") != std::string::npos) {
      r.cap = KeyValues<double>(c, line, line_no, r.periods, "TargetCap");
      r.cap_given = true;
    } else if (line.find("WeekDays") != std::string::npos) {
      r.weekdays = KeyValues<long>(c, line, line_no, r.periods, "WeekDays");
      r.weekdays_given = true;
    } else if (line.find("start_hour") != std::string::npos) {
      r.start_hour = KeyValues<int32_t>(c, line, line_no, r.periods, "start_hour");
      r.start_given = true;
    } else if (line.find("stop_hour") != std::string::npos) {
      r.stop_hour = KeyValues<int32_t>(c, line, line_no, r.periods, "stop_hour");
      r.stop_given = true;
    } else if (line.find("TableIndex") != std::string::npos) {
      const std::size_t equals = line.find('=');
      r.flow_indexed =
          equals != std::string::npos && line.find("Flow", equals) != std::string::npos;
    }
  }
  ComputeSlopes(r);
  return r;
}

}  // namespace velorn

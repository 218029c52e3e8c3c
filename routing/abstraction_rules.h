// Abstraction rules: for each of one or more periods of the year a piecewise-linear relation
// between a discharge (or the value a reservoir supplies) and the abstraction in m³/s,
// interpolated between periods by the day of the year, optionally restricted to weekdays and
// hours and capped by the capacity of the receiving stretch. The section (compiled control
// file), after its header "[abstraction_rule_abstraction_N]":
//   n D1 D2 ... DK          table points, then the period days (none or one: one period)
//   C[j] T1[j] ... TK[j]    n rows: the first column, then one column per period
//   key = v1 ... vK         TargetCap (m³/s), WeekDays (digits 1-7, 1 = Monday), start_hour,
//                           stop_hour; "TableIndex = Flow" makes the table flow-indexed
// The keyword lines end at a line holding "[", an empty line or the end of the file.
//
// Callers: AL_class (routing/abstraction.h) reads and evaluates the rules; reservoirs use the
// same reader and lookups for their own rule sections. Pure functions, no MPI, no registry.
// Settled here: a key that the section omits means no restriction (no cap, every weekday, every
// hour); period days that do not increase and lines with fewer values than periods are FATAL
// (code 17) naming the section and the line. The weekday comes from calendar arithmetic, not
// from the process's time zone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"

namespace velorn {

struct AbstractionRules {
  int32_t n = 0;                           // table points
  int32_t periods = 1;                     // K
  std::vector<int32_t> day;                // D[1..K]
  std::vector<double> first;               // C[1..n]
  std::vector<std::vector<double>> col;    // T[1..K][1..n]
  std::vector<std::vector<double>> slope;  // G[1..K][1..n], G[k][n] = 0
  std::vector<double> cap;                 // TargetCap[1..K]
  std::vector<long> weekdays;              // WeekDays[1..K]
  std::vector<int32_t> start_hour, stop_hour;
  bool cap_given = false, weekdays_given = false, start_given = false, stop_given = false;
  bool flow_indexed = false;
};

// Period k (1..K) and weight w of day of year d: period 1 with w = 1 up to D[1]; then the first
// k with d ≤ D[k] (or K), w = (d − D[k−1]) / (D[k] − D[k−1]).
struct PeriodWeight {
  int32_t k = 1;
  double w = 1.0;
};
PeriodWeight RulePeriod(const AbstractionRules& rules, int32_t day_of_year);
// Day of the year with February always 28 days: month lengths before `month` + day.
int32_t RuleDayOfYear(int32_t month, int32_t day);
// Weekday (1 = Monday … 7 = Sunday) of the instant year-month-day, `hour` hours after midnight
// (hour may be −1 or 24: the day before or after), by the proleptic Gregorian calendar.
int32_t Weekday(int32_t year, int32_t month, int32_t day, int32_t hour);
// The table value at x in period k with weight w (m³/s).
double RuleTableValue(const AbstractionRules& rules, PeriodWeight p, double x);
// Whether the period's weekdays and hours admit the step (omitted keys admit every value).
bool RuleActive(const AbstractionRules& rules, int32_t k, int32_t weekday, int32_t hour);
// The capacity limit: r + q > cap gives max(0, cap − q); no cap given: r.
double RuleCapped(const AbstractionRules& rules, int32_t k, double r, double q);

// Reads the section `header` from `file` (FATAL 34 when it is missing) and computes the slopes.
AbstractionRules ReadRuleSection(ControlFileReader& file, const std::string& header,
                                 DiagnosticStream& diag);

}  // namespace velorn

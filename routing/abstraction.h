// AL_class: one abstraction (item "AL" of a routing description) that takes water out of the
// discharge of a routing stretch in every step. The water leaves the model (modes "extern",
// "from_file", "extern_with_rule": each writes an output file of its own) or is handed to the
// internal inflow ("ZL") with the abstraction's number of another stretch (modes "intern",
// "intern_with_rule", "intern_with_rule_from_reservoir"). The amount comes from a fixed rule
// (minimum flow, fraction, maximum), a column of an input time-series file, or a rule section
// "[abstraction_rule_abstraction_N]" of the control file (routing/abstraction_rules.h).
//
// Callers: the routing stretch (routing/routing_stretch.h) owns its abstractions and calls
//   Initialise, SetupAbstraction (while the description is parsed), ReadAbstractionRules,
//   SetTarget (internal abstractions, at the routing initialisation), per step
//   ComputeAbstraction and AppendOutputRow, FlushBuffers at a flush and at the end. Reservoirs
//   call ScheduledRuleAmount for mode "intern_with_rule_from_reservoir".
// Units: inside the routing, amounts are mm per step over A = area / area divisor (km²); the
// files and the rules give m³/s. Single-threaded, no MPI (process 0 runs the routing).
// Settled here: values of the input column at or below -9998 are missing (0), and an amount
// from the file is never negative; omitted rule keys mean no restriction (see abstraction_rules.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "core/tracer_bookkeeping.h"
#include "grids/time_series_table.h"
#include "routing/abstraction_rules.h"

namespace velorn {

// Modes of an abstraction.
inline constexpr int32_t kAbstractionIntern = 3;
inline constexpr int32_t kAbstractionExtern = 4;
inline constexpr int32_t kAbstractionFromFile = 5;
inline constexpr int32_t kAbstractionInternRule = 6;
inline constexpr int32_t kAbstractionExternRule = 7;
inline constexpr int32_t kAbstractionReservoirRule = 8;
// Exit codes of abstractions.
inline constexpr int kAbstractionSectionCode = 34;
inline constexpr int kAbstractionOpenCode = 37;
inline constexpr int kAbstractionStartCode = 38;
inline constexpr int kAbstractionModeCode = 44;
inline constexpr int kAbstractionAppendCode = 65;
// Name of an abstraction's rule section without its number and brackets.
inline constexpr const char* kAbstractionRulePrefix = "abstraction_rule_abstraction_";
// Bytes of output rows held before they are written.
inline constexpr int64_t kAbstractionBufferBytes = 2097152;

// Mode code of a keyword; 0 for an unknown word (compared exactly).
int32_t AbstractionMode(std::string_view word);
// Internal modes hand their water to an inflow of another stretch.
inline bool IsInternalAbstraction(int32_t mode) {
  return mode == kAbstractionIntern || mode == kAbstractionInternRule ||
         mode == kAbstractionReservoirRule;
}
// Rows of the output buffer: 2097152 / ((ntr + 1) · 8 + 32), at least 1.
int64_t AbstractionBufferRows(int32_t ntr);
// The fixed rule on the discharge Q, with S taken earlier in the step (all mm per step):
// x = fraction · (Q − Qmin) when Q − S ≥ Qmin, else 0; lowered so that Q − S − x ≥ Qmin;
// amount = min(Qmax, max(0, x)).
double FixedRuleAmount(double q, double taken, double qmin, double fraction, double qmax);
// The name with the directory in front, unless the name begins with '/' or '~' or the
// directory is empty.
std::string PrefixDirectory(const std::string& directory, const std::string& name);

struct AbstractionSetup {
  DiagnosticStream* diag = nullptr;
  const TracerDefinition* tracers = nullptr;  // 1..ntr
  int32_t ntr = 0;
  int32_t subbasin_code = 0;
  std::string output_directory = {};
  double area = 0;     // km²
  double divisor = 1;  // area divisor
  double dt = 60;      // minutes
};

class AL_class {
 public:
  AL_class() = default;
  AL_class(const AL_class&) = delete;
  AL_class& operator=(const AL_class&) = delete;
  AL_class(AL_class&&) = default;
  AL_class& operator=(AL_class&&) = default;
  ~AL_class();

  void Initialise(const AbstractionSetup& setup);
  // Reads the rest of an AL item from `pos` in `text` (just behind "AL <number>"): the mode
  // after the next '=' and its values; opens the input table at the start date and creates the
  // output file. Unknown mode: FATAL 44; files: 37; start date not in the table: 38.
  void SetupAbstraction(int32_t number, std::string_view text, std::size_t pos, int32_t year,
                        int32_t month, int32_t day, int32_t hour);
  // The stretch's area (km²) after its check against the zone table; a fixed rule given in m³/s
  // keeps its discharges.
  void SetArea(double area);
  // The rule section of the rule modes (nothing for the others); missing: FATAL 34.
  void ReadAbstractionRules(ControlFileReader& file);
  // Link of an internal abstraction to the stretch that receives its water.
  void SetTarget(int32_t target_index, int32_t flow_index, double target_area,
                 double target_divisor, double flow_area);

  // This step's amount (mm per step) out of the discharge Q (mm per step); S holds what the
  // stretch's earlier abstractions took and grows by the amount. `flows` is the routing flow
  // table (flows[0][index] in mm per step). A month of 0 marks an initialisation pass (no
  // input row is consumed).
  double ComputeAbstraction(double** flows, double& taken, double q, int32_t year, int32_t month,
                            int32_t day, int32_t hour);
  // Rule amount in mm per step for a discharge x (m³/s).
  double RuleAmount(double** flows, int32_t year, int32_t month, int32_t day, int32_t hour,
                    double x) const;
  // Rule amount in m³/s for the value x the reservoir evaluates (its volume): 0 outside the
  // rule's weekdays and hours and in initialisation passes (month < 1). `flows` holds the
  // reservoir's per-subbasin arrays (may be null, or hold null arrays: no capacity limit).
  double ScheduledRuleAmount(double** flows, int32_t year, int32_t month, int32_t day, int32_t hour,
                             double x) const;
  // One output row: values[0] the abstraction in m³/s, values[1..ntr] the tracers (modes 4, 5
  // and 7 only). A full buffer is written first.
  void AppendOutputRow(int32_t year, int32_t month, int32_t day, int32_t hour,
                       const double* values);
  // Writes the buffered rows (force ≥ 1); a file that cannot be opened is FATAL 65.
  void FlushBuffers(int32_t force);

  int32_t mode() const { return mode_; }
  int32_t number() const { return number_; }
  bool linked() const { return target_index_ >= 0; }
  double qmin() const { return qmin_; }
  double qmax() const { return qmax_; }
  double fraction() const { return fraction_; }
  int64_t buffer_rows() const { return capacity_; }
  int64_t rows_filled() const { return filled_; }
  const std::string& output_file() const { return output_name_; }
  const AbstractionRules& rules() const { return rules_; }
  // Per-tracer values (index 0: the abstraction in m³/s), set by a reservoir for mode 8.
  std::vector<double>& values() { return values_; }
  // A new pass over the time range (spin-up): the input file returns to the run's first step.
  void RewindInput(int32_t year, int32_t month, int32_t day, int32_t hour);

 private:
  double EffectiveArea() const { return area_ / divisor_; }
  void OpenInputTable(int32_t year, int32_t month, int32_t day, int32_t hour);
  void CreateOutputFile();
  bool WritesFile() const {
    return mode_ == kAbstractionExtern || mode_ == kAbstractionFromFile ||
           mode_ == kAbstractionExternRule;
  }
  // Capacity limit of the receiving stretch for the flow q (m³/s) already arriving there.
  double Capped(double r, int32_t k, double q) const;

  DiagnosticStream* diag_ = nullptr;
  const TracerDefinition* tracers_ = nullptr;
  int32_t ntr_ = 0;
  int32_t subbasin_code_ = 0;
  std::string output_directory_;
  double area_ = 0, divisor_ = 1, dt_ = 60;

  int32_t mode_ = 0;
  int32_t number_ = 0;
  double fraction_ = 0, qmin_ = 0, qmax_ = 0;
  bool discharge_units_ = false;  // Qmin and Qmax were given in m³/s
  std::string output_name_;
  std::string input_name_;
  std::unique_ptr<TimeSeriesTable> input_;
  int32_t input_column_ = 0;    // 0-based value column
  std::vector<double> buffer_;  // capacity · (ntr + 5)
  int64_t capacity_ = 0, filled_ = 0;
  std::vector<double> values_;

  AbstractionRules rules_;
  int32_t target_index_ = -1;
  int32_t target_flow_index_ = 0;
  double target_area_ = -1.0, target_divisor_ = 1.0, target_flow_area_ = 0;
};

}  // namespace velorn

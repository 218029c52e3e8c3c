// SP_class: one reservoir of a routing stretch (item "SP <id>" of a routing description). It
// keeps a water volume (m³) and per tracer a concentration; each step it receives the stretch's
// outlet discharge as inflow, loses the irrigation and abstraction withdrawals, releases the
// outflow its operating rules decide (routing/reservoir_rules.cpp) and books a balance of 29
// values (lake area A and, for Qin, Qout, Irrig, QGW, ETR, PREC, dV, Abstr, Err, the volume of
// the step in m³, in mm over A and in m³/s) that it writes to its own balance file.
//
// Callers: the routing stretch (routing/routing_stretch.h) owns its reservoirs (1..nSP) and
// calls Initialise, ReadParameters (while the description is parsed), WriteOutputHeader,
// ReadReservoirRules, SetReservoirLinks, SetBypassSet, then per step RunStep and (real steps)
// AppendOutputRow, FlushBuffers at a flush and at the end. The routing model collects the
// reservoirs for the reservoir map of hydraulic connections.
//
// The rule section "[abstraction_rule_reservoir_<id>]" holds either an outflow table over
// volume classes per period of the year (the reader of routing/abstraction_rules.h) or a
// HydraulicConnection block: a rectangular channel to another reservoir through which water
// flows by the Manning-Strickler formula, in either direction, according to the two levels.
//
// Settled here: the optional keys dTmin and UseRunningAvg are read only inside their own SP item
// (up to the next item keyword); reservoir-fed abstractions take at most the volume left; the
// water a hydraulic connection moves (the outflow of a connected reservoir, negative when it
// draws from its target) goes into the target reservoir's volume (a lake target's cells get the
// new level as ponding), is booked in the target's Qin at its next step, and does not also leave
// down the river: two connected reservoirs keep their summed volume. A reservoir that is not a lake
// has no level table: its level is 0 and its balance columns A, QGW, ETR, PREC, dV, Err and all mm
// stay 0.
//
// A lake is a reservoir bound (BindLake) to the cells whose "lake_codes" value is its id
// (routing/lake_cells.h): its level-volume table comes from their elevation and maximum ponding
// and is written to "W_V_Table_<id>.dat" in the output directory; each step its volume and
// concentrations are taken from the ponding water of the cells (which the soil, evaporation and
// snow models changed by transpiration, precipitation and the exchange with the soil below,
// booked as ETR, PREC and QGW: QGW is what the ponding gained since the lake last wrote it,
// beyond PREC − ETR), and the level after the step is written back to the cells as ponding depth.
// Single-threaded, no MPI: the routing runs on process 0.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/tracer_bookkeeping.h"
#include "routing/abstraction.h"
#include "routing/abstraction_rules.h"
#include "routing/lake_cells.h"
#include "routing/lake_table.h"

namespace velorn {

// Exit codes of reservoirs.
inline constexpr int kReservoirItemCode = 35;
inline constexpr int kReservoirConnectionCode = 29;
inline constexpr int kReservoirOpenCode = 37;
inline constexpr int kReservoirAppendCode = 65;
// Name of a reservoir's rule section without its id and brackets.
inline constexpr const char* kReservoirRulePrefix = "abstraction_rule_reservoir_";
// Bytes of balance rows held before they are written.
inline constexpr int64_t kReservoirBufferBytes = 2097152;
// Concentrations an SP item gives after "C0 =".
inline constexpr int32_t kReservoirInitialValues = 9;

// The quantities of the balance, in the order of the balance file.
enum ReservoirQuantity { kQin, kQout, kIrrig, kQGW, kETR, kPREC, kDV, kAbstr, kErr, kQuantities };
struct ReservoirBalance {
  double area = 0;  // A, m²
  double m3[kQuantities] = {};
  double mm[kQuantities] = {};
  double m3s[kQuantities] = {};
};

// The channel of a hydraulic connection.
struct HydraulicConnection {
  int32_t target = 0;    // id of the other reservoir
  double width = 0;      // B, m
  double bottom = 0;     // zb, m a.s.l.
  double length = 0;     // L, m
  double strickler = 0;  // kst, m^(1/3)/s
};

// What another reservoir sees of a reservoir through the reservoir map.
class SP_class;
struct ReservoirLinkRecord {
  SP_class* reservoir = nullptr;
};
using ReservoirMap = std::map<int32_t, ReservoirLinkRecord>;

// Flow (m³/s) through the rectangular channel between a reservoir at level h and its target at
// level ht (both m a.s.l.): depth y and slope S from the levels above the bottom zb, then
// Q = kst · a · R^(2/3) · √|S| with a = B·y, R = a / (B + 2y); positive out of the reservoir,
// negative into it, 0 when both levels are at or below the bottom.
double ConnectionFlow(const HydraulicConnection& c, double h, double ht);

// Per-step decay factor of a radioactive tracer of half-life T days over dt minutes:
// exp(−dt / 1440 / (T · 1.442695041111)); 1 when T <= 0.
double ReservoirDecayFactor(double half_life_days, double dt);

// Err (m³) of a lake's step: the change of the volume less dV, written as 0 when it is within the
// round-off of its terms: 16·ε·(|V| + |previous V| + Σ|terms| + lake area · |level|). The cells
// hold the volume as a level, so each cell's ponding is exact only to the last bit of the level
// (area · |level| · ε, 1e-8 m³ for 2 ha at 2400 m), and the sums of the step lose a few bits
// more; on other process counts those last bits differ, a real loss of water does not vanish.
double LakeBalanceError(double change, double dv, double roundoff_scale);

struct ReservoirSetup {
  DiagnosticStream* diag = nullptr;
  const TracerDefinition* tracers = nullptr;  // 1..ntr
  int32_t ntr = 0;
  int32_t subbasin_code = 0;
  int32_t subbasin_index = 0;  // internal index of the stretch's subbasin (flow index)
  std::string output_directory = {};
};

class SP_class {
 public:
  SP_class() = default;
  SP_class(const SP_class&) = delete;
  SP_class& operator=(const SP_class&) = delete;
  SP_class(SP_class&&) = default;
  SP_class& operator=(SP_class&&) = default;

  void Initialise(const ReservoirSetup& setup);
  // Reads the SP item in `text` from `pos` (just behind "SP"): the id, "file =" (the balance
  // file, the output directory in front), "V0 =", "C0 =" with nine concentrations, optionally
  // "dTmin =" (s, default 60) and "UseRunningAvg =" (h, default 0), the optional keys only up to
  // the next item. A missing key or a value that cannot be read is FATAL 35.
  void ReadParameters(std::string_view text, std::size_t pos);
  // Creates the balance file with its header (FATAL 37 when it cannot).
  void WriteOutputHeader();
  // The section "[abstraction_rule_reservoir_<id>]" (missing: FATAL 34; a connection block
  // without "}" or a key: FATAL 29).
  void ReadReservoirRules(ControlFileReader& file);
  // Enters this reservoir in the shared map unless its id is there; keeps the map.
  void SetReservoirLinks(ReservoirMap* map);
  // Enters the stretch's subbasin index with the connection flag unless present.
  void SetBypassSet(std::map<int32_t, bool>* bypass) const;
  // The target of a connection must be in the map: FATAL 29 naming it otherwise.
  void CheckConnectionTarget() const;
  // Water (m³, negative when taken) a connected reservoir moved through its channel into this
  // one: added to the volume at once (a lake writes its new level to its cells), booked in Qin
  // at the next step. Arriving water mixes in the concentrations `source` (1..ntr) by volume.
  void ReceiveConnected(double m3, const std::vector<double>& source);
  // Water received through connections and not yet booked in Qin (m³; storage file).
  double received() const { return received_; }
  void set_received(double m3) { received_ = m3; }
  // Outflow (m³/s) the reservoir passes down the river: a connected reservoir's outflow went
  // through its channel to the target instead.
  double RiverOutflow() const { return connected_ ? 0.0 : outflow_; }

  // One step: `inflow` (m³/s), `dt` (min), the irrigation and abstraction volumes (m³) the
  // stretch computed, `flows` the stretch's flow table (flows[tr][index] concentrations),
  // `history` the table handed to the abstraction rules, the stretch's abstractions 1..nAL.
  // A year of 0 or less is an initialisation pass (no decay, mixing or inflow volume).
  void RunStep(double inflow, double dt, double irrigation, double abstraction, double** flows,
               double** history, std::vector<AL_class>& abstractions, int32_t nAL, int32_t year,
               int32_t month, int32_t day, int32_t hour);
  // Outflow (m³/s) of the step, the mean over the inner steps of dTmin seconds; sets the
  // current rate of every reservoir-fed abstraction. `v` is the volume to start from.
  double EvaluateRules(double qin, double dt, double** history, std::vector<AL_class>& abstractions,
                       int32_t nAL, int32_t year, int32_t month, int32_t day, int32_t hour);

  // Balance rows (real steps) and their output.
  void AppendOutputRow(int32_t year, int32_t month, int32_t day, int32_t hour);
  void FlushBuffers(int32_t force);

  // Binds the reservoir to its lake cells (process 0's whole grids in `grids`, which must outlive
  // the reservoir): builds the level-volume table (FATAL 213 for a lake without a sound table),
  // writes it ("W_V_Table_%02d.dat" in the output directory, FATAL 225), takes the state from the
  // ponding water when `from_ponding` is set, and writes the level of the volume to the cells.
  void BindLake(std::vector<LakeCell> cells, double cellsize, const LakeGrids* grids,
                bool from_ponding);
  bool IsLake() const { return lake_grids_ != nullptr; }
  const std::vector<LakeCell>& lake_cells() const { return lake_cells_; }
  const LakeVolumeTable& lake_table() const { return lake_table_; }

  // Level (m a.s.l.) of a volume and volume of a level by the lake's level-volume table
  // (routing/lake_table.h). A reservoir without a table has no level: 0, and a level keeps the
  // current volume.
  double GetLevelForVolume(double v) const {
    return lake_table_.rows() > 0 ? velorn::GetLevelForVolume(lake_table_, v) : 0.0;
  }
  double GetVolumeForLevel(double z) const {
    return lake_table_.rows() > 0 ? velorn::GetVolumeForLevel(lake_table_, z) : state_[0];
  }
  // The level of volume V becomes the lake's level; a lake writes it to its cells as ponding
  // depth with the current concentrations. Returns the number of wet cells (0 without a lake).
  int32_t ApplyLakeLevel(double v);
  // Volume and concentrations of the ponding water on the lake cells into `target` (ntr + 1
  // values); the number of cells with water (0 and `target` unchanged without a lake).
  int32_t LakeStateFromPonding(std::vector<double>& target) const;
  // The current state from the ponding water of the lake cells (nothing without a lake).
  void InitialiseFromPonding();
  void SetLakeTable(LakeVolumeTable table) { lake_table_ = std::move(table); }
  void set_level(double z) { level_ = z; }

  // --- State (storage file, tests) ------------------------------------------------------------
  int32_t id() const { return id_; }
  double volume() const { return state_[0]; }
  void set_volume(double v) { state_[0] = v; }
  double concentration(int32_t tr) const { return state_[tr]; }
  std::vector<double>& state() { return state_; }
  const std::vector<double>& state() const { return state_; }
  double outflow() const { return outflow_; }
  // The solute (m³ x concentration) of tracer `tr` in the irrigation water of the last step.
  double IrrigationSolute(int32_t tr) const {
    return static_cast<std::size_t>(tr) < irrigation_solute_.size() ? irrigation_solute_[tr] : 0.0;
  }
  // The concentration of tracer `tr` at which the last step's irrigation and abstractions left:
  // a lake's water has just taken in its cells' ponding, whose concentrations can differ from the
  // lake's before the step.
  double WithdrawalConcentration(int32_t tr) const {
    return static_cast<std::size_t>(tr) < withdrawal_.size() ? withdrawal_[tr] : state_[tr];
  }
  // The volume (m³) of the abstractions handed to the last step that the reservoir gave: all of
  // it, or what it held (less irrigation) when it held less. A lake takes in its cells' ponding
  // first, which can leave less than the volume the stretch sized the amounts from.
  double AbstractionServed() const { return served_; }
  void set_outflow(double q) { outflow_ = q; }
  double level() const { return level_; }
  double dTmin() const { return dtmin_; }
  int32_t UseRunningAvg() const { return use_running_avg_; }
  void SetUseRunningAvg(int32_t hours) { use_running_avg_ = hours; }
  std::deque<double>& history() { return running_; }
  const std::deque<double>& history() const { return running_; }
  const ReservoirBalance& balance() const { return balance_; }
  const AbstractionRules& rules() const { return rules_; }
  bool connected() const { return connected_; }
  const HydraulicConnection& connection() const { return connection_; }
  const std::string& file_name() const { return file_name_; }
  int64_t buffer_rows() const { return capacity_; }
  int64_t rows_filled() const { return filled_; }

 private:
  double EvaluateTable(double v, double qin, double dt, double** history,
                       std::vector<AL_class>& abstractions, int32_t nAL, int32_t year,
                       int32_t month, int32_t day, int32_t hour);
  double EvaluateConnection(double v, double qin, double dt, double** history,
                            std::vector<AL_class>& abstractions, int32_t nAL, int32_t year,
                            int32_t month, int32_t day, int32_t hour);
  // Inner-step withdrawal of the reservoir-fed abstractions from v (never below 0).
  void WithdrawInner(double& v, double** history, std::vector<AL_class>& abstractions, int32_t nAL,
                     int32_t year, int32_t month, int32_t day, int32_t hour);
  void TakeLakeFromPonding();
  bool RuleActive(int32_t k, int32_t year, int32_t month, int32_t day, int32_t hour) const;
  void ReadConnection(ControlFileReader& file);
  // Hands the step's connection volume s·q to the target, which gives at most what it holds;
  // returns the outflow that was moved.
  double PassToTarget(double q, double s);

  DiagnosticStream* diag_ = nullptr;
  const TracerDefinition* tracers_ = nullptr;
  int32_t ntr_ = 0;
  int32_t subbasin_code_ = 0;
  int32_t subbasin_index_ = 0;
  std::string output_directory_;

  int32_t id_ = 0;
  std::string file_name_;
  std::vector<double> state_, previous_;  // [0] volume m³, [1..ntr] concentrations
  double outflow_ = 0;
  double level_ = 0;
  double dtmin_ = 60.0;
  int32_t use_running_avg_ = 0;
  std::deque<double> running_;
  ReservoirBalance balance_;
  std::vector<double> withdrawn_;          // per abstraction, m³ of the step
  std::vector<double> irrigation_solute_;  // [tr]: m³ x concentration irrigation took
  std::vector<double> withdrawal_;         // see WithdrawalConcentration
  double served_ = 0;                      // see AbstractionServed

  AbstractionRules rules_;
  bool connected_ = false;
  HydraulicConnection connection_;
  ReservoirMap* links_ = nullptr;
  double received_ = 0;  // m³ moved in through connections since the last step
  LakeVolumeTable lake_table_;
  std::vector<LakeCell> lake_cells_;
  double cellsize_ = 0;
  const LakeGrids* lake_grids_ = nullptr;
  std::vector<double> ponding_state_;
  double written_ = 0;  // m³ of ponding the lake last wrote to its cells

  std::vector<double> buffer_;  // capacity · (ntr + 35)
  int64_t capacity_ = 0, filled_ = 0;
};

}  // namespace velorn

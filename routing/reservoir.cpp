// A reservoir: its SP item, its step with the balance, and its balance file (see reservoir.h).
#include "routing/reservoir.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "core/error_code.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "routing/routing_descriptions.h"
#include "routing/routing_formulas.h"

namespace velorn {
namespace {

// The header line of the balance file (34 columns, no line end).
constexpr const char* kBalanceHeader =
    "YY\tMM\tDD\tHH\tW[m]\tA[m2]\tV[m3]\tQin[m3]\tQin[mm]\tQin[m3s]\tQout[m3]\tQout[mm]\tQout["
    "m3s]\tIrrig[m3]\tIrrig[mm]\tIrrig[m3s]\tQGW[m3]\tQGW[mm]\tQGW[m3s]\tETR[m3]\tETR[mm]\tETR["
    "m3s]\tPREC[m3]\tPREC[mm]\tPREC[m3s]\tdV[m3]\tdV[mm]\tdV[m3s]\tAbstr[m3]\tAbstr[mm]\tAbstr["
    "m3s]\tErr[m3]\tErr[mm]\tErr[m3s]";
// Values of a balance row after the date: W, A, V, 27 balance values, the concentrations.
constexpr int32_t kRowValuesBeforeTracers = 30;

// What an SP item's values can be: a volume up to the largest lake's; a tracer's concentration
// from a delta value of -1000 per mil to beyond any brine (mg/l); inner steps of a second up to a
// year (one longer than the model step leaves the step unsimulated, as the rules say); a running
// mean over up to ten years. Outside them the volume or the mass of the reservoir overflows, or
// the count of inner steps leaves the integers.
constexpr double kLowestConcentration = -1000.0;
constexpr double kHighestConcentration = 1e6;
constexpr double kShortestInnerStep = 1.0;
constexpr double kLongestInnerStep = 366.0 * 86400.0;
constexpr int32_t kLongestRunningMean = 10 * 366 * 24;

// End of the SP item that starts at `pos`: the next item keyword of any kind.
std::size_t ItemEnd(std::string_view text, std::size_t pos) {
  std::size_t end = text.size();
  for (std::string_view keyword : {kOutletKeyword, kTributaryKeyword, kListKeyword, kInflowKeyword,
                                   kAbstractionKeyword, kReservoirKeyword})
    end = std::min(end, FindItemKeyword(text, keyword, pos));
  return end;
}

}  // namespace

double ConnectionFlow(const HydraulicConnection& c, double h, double ht) {
  const double zb = c.bottom;
  double y = 0.0;
  double slope = 0.0;
  if (h > zb && ht <= zb) {
    y = h - zb;
    slope = y / c.length;
  } else if (h > zb && ht > zb) {
    slope = (h - ht) / c.length;
    y = slope > 0.0 ? h - zb : ht - zb;
  } else if (h <= zb && ht > zb) {
    slope = (zb - ht) / c.length;
    y = ht - zb;
  } else {
    return 0.0;
  }
  if (!(y > 0.0) || slope == 0.0) return 0.0;
  const double a = c.width * y;
  const double radius = a / (c.width + 2.0 * y);
  const double q = c.strickler * a * std::pow(radius, 2.0 / 3.0) * std::sqrt(std::fabs(slope));
  return slope > 0.0 ? q : -q;
}

double ReservoirDecayFactor(double half_life_days, double dt) {
  if (!(half_life_days > 0.0)) return 1.0;
  return std::exp(-dt / 1440.0 / (half_life_days * 1.442695041111));
}

double LakeBalanceError(double change, double dv, double roundoff_scale) {
  const double err = change - dv;
  return std::fabs(err) <= 16.0 * std::numeric_limits<double>::epsilon() * roundoff_scale ? 0.0
                                                                                          : err;
}

void SP_class::Initialise(const ReservoirSetup& setup) {
  diag_ = setup.diag;
  tracers_ = setup.tracers;
  ntr_ = setup.ntr;
  subbasin_code_ = setup.subbasin_code;
  subbasin_index_ = setup.subbasin_index;
  output_directory_ = setup.output_directory;
  state_.assign(static_cast<std::size_t>(ntr_) + 1, 0.0);
  previous_ = state_;
}

void SP_class::ReadParameters(std::string_view text, std::size_t pos) {
  int32_t id = 0;
  if (!ReadItemCode(text, pos, id)) id = 0;
  id_ = id;
  const std::string_view item = text.substr(0, ItemEnd(text, pos));
  // Position just behind the '=' that follows `key` in the item; npos when either is missing.
  auto after_key = [&](std::string_view key) {
    const std::size_t at = item.find(key, pos);
    if (at == std::string_view::npos) return std::string_view::npos;
    const std::size_t equals = item.find('=', at + key.size());
    return equals == std::string_view::npos ? equals : equals + 1;
  };
  auto require = [&](double value, double low, double high, const char* key, const char* unit) {
    if (value >= low && value <= high) return;
    ThrowFatal(*diag_, kReservoirItemCode, "FATAL: for reservoir ", id_, ": \"", key, " =\" is ",
               FormatText("%g", value), ", it must lie within ", FormatText("%g", low), " to ",
               FormatText("%g", high), unit);
  };
  auto missing = [&](const char* key) {
    ThrowFatal(*diag_, kReservoirItemCode, "FATAL: for reservoir ", id_, ": no \"", key,
               " =\" found!");
  };
  // A value that begins like a number but is none ("10000m", "0,5") is named.
  auto refuse_word = [&](std::size_t from, const char* key) {
    if (const std::string word = NumberLikeWordAt(item, from, kItemSeparators); !word.empty())
      ThrowFatal(*diag_, kReservoirItemCode, "FATAL: for reservoir ", id_, ": \"", key, " =\" \"",
                 word, "\" ", NumberProblem(word));
  };
  std::size_t at = after_key("file");
  std::string name;
  if (at == std::string_view::npos || !ScanValue(item, at, name)) missing("file");
  // Written in the routing line's own form ("file = pond.txt, V0 = ..." or "... pond.txt)"), a
  // separator ends the name: a comma or parenthesis never becomes part of a file name.
  if (const std::size_t cut = name.find_first_of(",;()"); cut != std::string::npos) {
    *diag_ << "WARNING: for reservoir " << id_ << ": the file name \"" << name << "\" ends at its '"
           << name[cut] << "': the balance is written to \"" << name.substr(0, cut)
           << "\"[end-entry]";
    name.resize(cut);
    if (name.empty()) missing("file");
  }
  file_name_ = PrefixDirectory(output_directory_, name);
  at = after_key("V0");
  double v0 = 0.0;
  if (at == std::string_view::npos) missing("V0");
  if (!ScanValue(item, at, v0, kItemSeparators)) {
    refuse_word(at, "V0");
    missing("V0");
  }
  require(v0, 0.0, kLargestWaterVolume, "V0", " m3");
  at = after_key("C0");
  if (at == std::string_view::npos) missing("C0");
  std::vector<double> c0(kReservoirInitialValues + 1, 0.0);
  for (int32_t i = 1; i <= kReservoirInitialValues; ++i) {
    // Concentrations may be separated by blanks or by commas ("C0 = 0, 0, ...").
    while (at < item.size() && (item[at] == ' ' || item[at] == '\t' || item[at] == ',')) ++at;
    if (!ScanValue(item, at, c0[i], kItemSeparators)) {
      refuse_word(at, "C0");
      ThrowFatal(*diag_, kReservoirItemCode, "FATAL: for reservoir ", id_, ": \"C0 =\" needs ",
                 kReservoirInitialValues, " concentrations, value ", i, " cannot be read");
    }
  }
  for (int32_t i = 1; i <= kReservoirInitialValues; ++i)
    require(c0[i], kLowestConcentration, kHighestConcentration, "C0", "");
  state_[0] = v0;
  for (int32_t i = 1; i <= ntr_ && i <= kReservoirInitialValues; ++i) state_[i] = c0[i];
  dtmin_ = 60.0;
  at = after_key("dTmin");
  const bool dtmin_read =
      at == std::string_view::npos || ScanValue(item, at, dtmin_, kItemSeparators);
  if (!dtmin_read) refuse_word(at, "dTmin");
  if (!dtmin_read)
    ThrowFatal(*diag_, kReservoirItemCode, "FATAL: for reservoir ", id_,
               ": \"dTmin =\" needs a number of seconds above 0");
  require(dtmin_, kShortestInnerStep, kLongestInnerStep, "dTmin", " s");
  use_running_avg_ = 0;
  at = after_key("UseRunningAvg");
  if (at != std::string_view::npos && !ScanValue(item, at, use_running_avg_, kItemSeparators)) {
    refuse_word(at, "UseRunningAvg");
    ThrowFatal(*diag_, kReservoirItemCode, "FATAL: for reservoir ", id_,
               ": \"UseRunningAvg =\" needs a whole number of hours");
  }
  require(use_running_avg_, 0, kLongestRunningMean, "UseRunningAvg", " h");
  capacity_ = std::max<int64_t>(1, kReservoirBufferBytes / ((ntr_ + 35) * 8));
  filled_ = 0;
  buffer_.assign(static_cast<std::size_t>(capacity_ * (ntr_ + 35)), 0.0);
}

void SP_class::WriteOutputHeader() {
  errno = 0;
  std::FILE* f = OpenOutputFile(file_name_, "w");
  if (f == nullptr)
    ThrowFatal(*diag_, kReservoirOpenCode, "FATAL: error opening ", file_name_, " for reservoir ",
               id_, SystemReason(ErrnoOrIo()));
  CheckedFile out(*diag_, kWriteErrorCode, file_name_, f);
  auto header = [&]() {
    out.Write(kBalanceHeader);
    for (int32_t i = 1; i <= ntr_; ++i) out.Printf("\t%s", tracers_[i].name.c_str());
  };
  header();
  out.Printf("\nreservoir_%d\n", id_);
  header();
  out.Write("\n");
  out.Close();
}

void SP_class::RunStep(double inflow, double dt, double irrigation, double abstraction,
                       double** flows, double** history, std::vector<AL_class>& abstractions,
                       int32_t nAL, int32_t year, int32_t month, int32_t day, int32_t hour) {
  const double s = 60.0 * dt;
  previous_ = state_;
  balance_ = ReservoirBalance{};
  // Water received through connections since the last step counts as inflow of this step.
  previous_[0] -= received_;
  balance_.m3[kQin] = s * inflow + received_;
  received_ = 0.0;
  if (IsLake()) TakeLakeFromPonding();
  double& v = state_[0];
  // Irrigation, then the abstractions, take at most the volume there is; the balance books what
  // they took, so it stays closed.
  irrigation = std::clamp(irrigation, 0.0, std::max(v, 0.0));
  abstraction = std::clamp(abstraction, 0.0, std::max(v - irrigation, 0.0));
  balance_.m3[kIrrig] = irrigation;
  balance_.m3[kAbstr] = abstraction;
  served_ = abstraction;
  irrigation_solute_.assign(static_cast<std::size_t>(ntr_) + 1, 0.0);
  for (int32_t i = 1; i <= ntr_; ++i) irrigation_solute_[i] = irrigation * state_[i];
  withdrawal_ = state_;
  v = std::max(0.0, v - irrigation - abstraction);

  double inflow_volume = 0.0;
  if (year > 0) {
    for (int32_t i = 1; i <= ntr_; ++i) {
      // A lake's solute is the ponding of its cells, which the soil zone decayed over the step.
      if (tracers_[i].radioactive && !IsLake())
        state_[i] *= ReservoirDecayFactor(tracers_[i].half_time, dt);
      state_[i] = WeightedMean(state_[i], flows[i][subbasin_index_], v, s * inflow);
    }
    inflow_volume = s * inflow;
  }
  double q = EvaluateRules(inflow, dt, history, abstractions, nAL, year, month, day, hour);
  double abstracted = abstraction;
  if (year > 0) {
    for (int32_t k = 1; k <= nAL; ++k) {
      AL_class& al = abstractions[k];
      if (al.mode() != kAbstractionReservoirRule) continue;
      // The withdrawal takes at most what is left: the volume never turns negative.
      const double w = std::min(dt * al.values()[0] * 60.0, std::max(v, 0.0));
      al.values()[0] = w / s;
      v -= w;
      abstracted += w;
    }
    v += inflow_volume;
  }
  if (v < q * dt * 60.0) q = v / 60.0 / dt;
  if (year > 0) {
    if (connected_) q = PassToTarget(q, s);
    v -= s * q;
    ApplyLakeLevel(v);
  }
  outflow_ = q;

  balance_.m3[kQout] = s * q;
  balance_.m3[kAbstr] = abstracted;
  if (IsLake()) {
    double* m3 = balance_.m3;
    m3[kDV] = m3[kQGW] + m3[kQin] + m3[kPREC] - m3[kETR] - m3[kIrrig] - m3[kAbstr] - m3[kQout];
    double scale =
        std::fabs(v) + std::fabs(previous_[0]) +
        cellsize_ * cellsize_ * static_cast<double>(lake_cells_.size()) * std::fabs(level_);
    for (int32_t n = 0; n < kDV; ++n) scale += std::fabs(m3[n]);
    scale += std::fabs(m3[kAbstr]);
    m3[kErr] = LakeBalanceError(v - previous_[0], m3[kDV], scale);
  }
  for (int32_t n = 0; n < kQuantities; ++n) {
    balance_.m3s[n] = balance_.m3[n] / s;
    balance_.mm[n] = balance_.area > 0.0 ? balance_.m3[n] / balance_.area * 1000.0 : 0.0;
  }
  balance_.m3s[kQout] = q;
}

// --- Lakes --------------------------------------------------------------------------------------

void SP_class::BindLake(std::vector<LakeCell> cells, double cellsize, const LakeGrids* grids,
                        bool from_ponding) {
  lake_table_ = BuildLakeVolumeTable(cells, cellsize, id_, *diag_);
  char name[32];
  std::snprintf(name, sizeof name, "W_V_Table_%02d.dat", id_);
  WriteLakeVolumeTable(lake_table_, id_, PrefixDirectory(output_directory_, name), *diag_);
  lake_cells_ = std::move(cells);
  cellsize_ = cellsize;
  lake_grids_ = grids;
  if (from_ponding) InitialiseFromPonding();
  ApplyLakeLevel(state_[0]);
}

int32_t SP_class::ApplyLakeLevel(double v) {
  level_ = GetLevelForVolume(v);
  if (!IsLake()) return 0;
  return ApplyLevelToCells(lake_cells_, *lake_grids_, level_, state_, ntr_, cellsize_, written_);
}

int32_t SP_class::LakeStateFromPonding(std::vector<double>& target) const {
  if (!IsLake()) return 0;
  return velorn::LakeStateFromPonding(lake_cells_, *lake_grids_, cellsize_, ntr_, target);
}

void SP_class::InitialiseFromPonding() {
  if (!IsLake()) return;
  std::vector<double> taken;
  LakeStateFromPonding(taken);
  state_[0] = taken[0];
  if (!lake_grids_->tracers.empty()) state_ = taken;
}

// The lake's part of a step before the rules: the fluxes the other models put on the lake
// cells, then the volume and concentrations of the ponding water become the current state.
// The soil below takes water from the ponding (infiltration, which also feeds its
// evapotranspiration and its base flow) and gives some back (exfiltration); water above the
// maximum ponding runs off as direct runoff. No grid holds that exchange, so it is measured: what
// the ponding gained since the lake last wrote its cells, beyond the precipitation and less the
// evapotranspiration booked on them, is the exchange with the soil and the groundwater below,
// booked as QGW.
void SP_class::TakeLakeFromPonding() {
  const LakeFluxes f = LakeCellFluxes(lake_cells_, *lake_grids_, cellsize_);
  balance_.m3[kETR] = f.transpiration;
  balance_.m3[kPREC] = f.precipitation;
  LakeStateFromPonding(ponding_state_);
  balance_.m3[kQGW] = ponding_state_[0] - written_ - f.precipitation + f.transpiration;
  // Without concentration grids on the lake cells the lake keeps its own concentrations.
  if (lake_grids_->tracers.empty())
    for (int32_t i = 1; i <= ntr_; ++i) ponding_state_[i] = state_[i];
  balance_.area = cellsize_ * cellsize_ * ApplyLakeLevel(ponding_state_[0]);
  state_ = ponding_state_;
}

void SP_class::AppendOutputRow(int32_t year, int32_t month, int32_t day, int32_t hour) {
  if (filled_ >= capacity_) FlushBuffers(1);
  double* row = &buffer_[static_cast<std::size_t>(filled_) * (ntr_ + 35)];
  row[0] = year;
  row[1] = month;
  row[2] = day;
  row[3] = hour;
  row[4] = GetLevelForVolume(state_[0]);
  row[5] = balance_.area;
  row[6] = state_[0];
  for (int32_t n = 0; n < kQuantities; ++n) {
    row[7 + 3 * n] = balance_.m3[n];
    row[8 + 3 * n] = balance_.mm[n];
    row[9 + 3 * n] = balance_.m3s[n];
  }
  for (int32_t i = 1; i <= ntr_; ++i) row[3 + kRowValuesBeforeTracers + i] = state_[i];
  ++filled_;
}

void SP_class::FlushBuffers(int32_t force) {
  if (force < 1 || filled_ == 0) return;
  SigintIgnoredScope quiet;
  *diag_ << "flushing to disk: " << file_name_ << " (" << kReservoirBufferBytes << " buffersize)"
         << "[end-entry]";
  errno = 0;
  std::FILE* f = OpenOutputFile(file_name_, "a+");
  if (f == nullptr)
    ThrowFatal(*diag_, kReservoirAppendCode, "FATAL: error opening reservoir file ", file_name_,
               SystemReason(ErrnoOrIo()));
  CheckedFile out(*diag_, kWriteErrorCode, file_name_, f);
  const int32_t values = kRowValuesBeforeTracers + ntr_;
  for (int64_t r = 0; r < filled_; ++r) {
    const double* row = &buffer_[static_cast<std::size_t>(r) * (ntr_ + 35)];
    out.Printf("%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
    for (int32_t n = 0; n < values; ++n) out.Printf("\t%lg", row[4 + n]);
    out.Write("\n");
  }
  // The rows are taken whether or not they reached the disk: a failure ends the run.
  filled_ = 0;
  out.Close();
}

}  // namespace velorn

// Construction of the discharge routing model: the header of [routing_model], the two passes
// over the routing descriptions, the shared tables, the statistics and the observed discharges
// (see routing_model.h).
#include "routing/routing_model.h"

#include <algorithm>
#include <cmath>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "routing/routing_formulas.h"
#include "version.h"

namespace velorn {
namespace {

constexpr int kChannelValues = 10;
constexpr std::size_t kMaxModeLength = 19;
constexpr std::size_t kMaxInflowFileLength = 299;
constexpr int64_t kObservedBufferBytes = 1000000;
// The largest catchment of a river (km2), more than a continent's.
constexpr double kLargestCatchment = 1e8;
// The area divisor f scales the stretch's area (A / f): by at most a million either way, beyond
// which its flows become infinities or vanish.
constexpr double kSmallestAreaDivisor = 1e-6;
constexpr double kLargestAreaDivisor = 1e6;
// The largest specific discharge of the channel tables (l/s/km2): ten times the largest flash
// flood of the smallest catchments (about 1e5).
constexpr double kLargestSpecificDischarge = 1e6;
// The most table intervals and routing sub-steps per step: far beyond what a table or a step
// needs, so that neither allocates or loops without bound.
constexpr int kMostTableIntervals = 100000;
constexpr int kMostSubSteps = 100000;

int64_t ObservedFullYear(int64_t year) {
  return year < 1000 ? year + 1900 : year;
}

}  // namespace

abflussmodellklasse::abflussmodellklasse(int32_t& error, const SubModelSetup& setup,
                                         int32_t tracer_count_arg, TracerDefinition* tracers,
                                         int32_t readgrids)
    : teilmodellklasse(setup, "routing_model") {
  error = 0;
  start_date_ = setup.end_date;
  tracer_count = tracer_count_arg;
  tracer_definitions = tracers;
  error = CaptureErrorCode([&] { Construct(readgrids); });
  if (control_file != nullptr) control_file->Close();
}

abflussmodellklasse::~abflussmodellklasse() = default;

void abflussmodellklasse::Construct(int32_t readgrids) {
  if (rank != 0) {
    was_active_ = flow_control;
    flow_control = 0;
    if (control_file != nullptr) control_file->Close();
    return;
  }
  was_active_ = 1;
  if (flow_control == 0) return;
  const std::string stamp = VELORN_BUILD_TIME;
  Diag() << "file abfluss, compiled at " << stamp << "[end-entry]";
  observed_flag_ = flow_control == 2 ? 1 : 0;
  readgrids_ = readgrids;
  nsb_ = zone_count;
  reader_ = control_file.get();

  abfrel_.area.assign(static_cast<std::size_t>(nsb_) + 1, 0.0);
  abfrel_.divisor.assign(static_cast<std::size_t>(nsb_) + 1, 1.0);
  for (int32_t i = 0; i <= nsb_; ++i) abfrel_.area[i] = zone_table[i][3];
  targets_.list.assign(static_cast<std::size_t>(2 * nsb_) + 1, 0);
  targets_.target.assign(static_cast<std::size_t>(nsb_) + 1, 0);
  targets_.stretch.assign(static_cast<std::size_t>(nsb_) + 1, 0);
  observation_columns_.assign(static_cast<std::size_t>(nsb_) + 1, 0);

  ReadHeader();
  const ControlFileReader::Position descriptions = reader_->Tell();
  CountDescriptions();
  const DescriptionCounts& t = totals_;
  Diag() << "number inbetween areas (routings)    : " << ndesc_ << "[end-entry]";
  Diag() << "number tributaries  total      (OL)  : " << t.tributaries + t.members + t.lists
         << "[end-entry]";
  Diag() << " - flowing into another at the end   : " << t.tributaries << "[end-entry]";
  Diag() << " - flowing into another at the start : " << t.members + t.lists << "[end-entry]";
  Diag() << "so the total of routingchannels is   : " << t.tributaries + t.lists << "[end-entry]";
  Diag() << "number of inflows              (ZL)  : " << t.inflows << "[end-entry]";
  Diag() << "number of abstractions         (AL)  : " << t.abstractions << "[end-entry]";
  Diag() << "number reservoirs              (SP)  : " << t.reservoirs << "[end-entry]";

  int32_t tracer_error = 0;
  SetupTracers(tracer_error, tracer_count, tracer_definitions, zone_statistics,
               zone_statistics_capacity);
  if (tracer_error != 0) throw ErrorCode{tracer_error};
  const int32_t ntr = tracer_count;
  maxirrig_.assign(static_cast<std::size_t>(ntr) + 1,
                   std::vector<double>(static_cast<std::size_t>(nsb_) + 1, 0.0));
  maxirrig_reservoirs_ = maxirrig_;
  irrigation_solute_ = maxirrig_;

  ReadLakeSection("[lake_model]");
  lakes_grid_index_ = registry->FirstFreeIndex();
  if (lakes_grid_index_ > kLastGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no more free grids in memory, (max. ",
               kRefusedGridIndex, ")!");
  lakes_grid_.reset(AllocateMatrix(Diag(), 1, nrows, 1, ncols, nrows));
  RegisterGrid(lakes_grid_index_, "PrecOnLakes", lakes_grid_.get(), nullptr, 0, "PrecOnLakes", 0, 1,
               nrows);
  reader_->Seek(descriptions);
  fit_linear_.assign(kGoodnessOfFitLags,
                     std::vector<GoodnessOfFitSums>(static_cast<std::size_t>(nsb_) + 1));
  fit_logarithmic_ = fit_linear_;

  // Flow indices: subbasins 1..nsb, then the inflows at nsb + code.
  tables_ = std::make_unique<RoutingFlowTables>(ntr, nsplit_, nsb_ + totals_.inflows + 2);
  ParseDescriptions();
  CheckUpstreamOrder();
  FinishStretches();
  CreateStatistics();
  OpenObservedTable();
  reader_ = nullptr;
}

void abflussmodellklasse::ReadHeader() {
  ControlFileReader& file = *reader_;
  if (!file.Read(qmin_) || !file.Read(qmax_) || !file.Read(nint_) || !file.Read(nsplit_))
    ThrowFatal(Diag(), kControlFileErrorCode,
               "FATAL: values for min/max specific discharge and/or discharge and time interval "
               "splitting   \nnot found in control file");
  file.SkipRestOfLine();
  // The tables take ln(qmax / qmin) / nint and the sub-steps divide the step: refuse what would
  // divide by 0 or take the logarithm of 0, a discharge no river carries and counts that no
  // table or step needs. qmin = qmax stays valid (a one-discharge table).
  if (!(qmin_ > 0) || qmax_ < qmin_ || !(qmax_ <= kLargestSpecificDischarge) || nint_ < 1 ||
      nint_ > kMostTableIntervals || nsplit_ < 1 || nsplit_ > kMostSubSteps)
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: routing model: qmin ", qmin_, ", qmax ",
               qmax_, ", intervals ", nint_, " and time splitting ", nsplit_,
               " are invalid (0 < qmin <= qmax <= ", FormatText("%g", kLargestSpecificDischarge),
               ", intervals and time splitting 1 to ", kMostTableIntervals, " are required)");
  ReadTwoValues(file, statistics_name_, statistics_code_, "name of the Qstatfiles for ");
  ReadValue(file, observed_name_, "name of " VELORN_SPECIFIC_ABBREVIATION "discharge files for ");
  int descriptors = 0;
  ReadValue(file, descriptors, "number column descriptors for");
  if (descriptors < 0 || static_cast<std::size_t>(descriptors) > file.WordsLeft() / 2)
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: routing model: ", descriptors,
               " column descriptors cannot be read from the control file");
  for (int32_t n = 0; n < descriptors; ++n) {
    int code = 0;
    int column = 0;
    if (!file.Read(code))
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: error reading a subbasin index for column indexing in routing model");
    // The column is stored at the subbasin's index: a code outside the zone table has none.
    if (code < 0 || code > highest_zone_code || zone_code_index[code] < 1 ||
        zone_code_index[code] > nsb_)
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: column indexing in routing model: there "
                 "is no subbasin with code ",
                 code);
    if (!file.Read(column) || column < 0)
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: error reading a column number for column indexing in routing model");
    observation_columns_[zone_code_index[code]] = column;
  }
  if (descriptors > 0) file.SkipRestOfLine();
  ReadValue(file, rsquare_offset_, "Zeitoffset fuer Beginn der R-square-Berechnung fuer ");
}

bool abflussmodellklasse::NextLine(std::string& line) {
  if (reader_->AtEnd()) return false;
  line = reader_->RestOfLine();
  if (line.size() >= kMaxDescriptionLine)
    ThrowFatal(Diag(), kRoutingLineTooLongCode, "FATAL: string is too long (max. ",
               kMaxDescriptionLine, " chars):\n", line);
  return true;
}

void abflussmodellklasse::CountDescriptions() {
  std::string line;
  auto fail = [&] {
    ThrowFatal(Diag(), kRoutingEndOfFileCode,
               "FATAL: error reading a routing description from control file! (eof reached).");
  };
  if (!NextLine(line)) fail();
  while (HasAnyItemKeyword(line)) {
    if (const std::string_view keyword = KeywordWithoutNumber(line); !keyword.empty())
      ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: the routing description \"", line,
                 "\" holds the item ", std::string(keyword), " without its number");
    const bool outlet = FindItemKeyword(line, kOutletKeyword, 0) != std::string::npos;
    // A description begins with its outlet: items before the first one belong to none.
    if (!outlet && ndesc_ == 0)
      ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: the routing description \"", line,
                 "\" holds items but no outlet item ", std::string(kOutletKeyword),
                 ", and no description stands before it");
    if (outlet) ++ndesc_;
    totals_ += CountItems(line);
    if (!NextLine(line)) fail();
  }
}

void abflussmodellklasse::ParseDescriptions() {
  stretches_.resize(static_cast<std::size_t>(ndesc_) + 1);
  outlet_of_stretch_.assign(static_cast<std::size_t>(ndesc_) + 1, 0);
  std::string line;
  if (!NextLine(line))
    ThrowFatal(Diag(), kRoutingEndOfFileCode,
               "FATAL: rerror reading routing description \n2nd run, (1st run: o.k.)");
  int32_t number = 0;
  while (FindItemKeyword(line, kOutletKeyword, 0) != std::string::npos) {
    ++number;
    Diag() << "reading routing description " << number << "[end-entry]";
    std::string text = line;
    while (true) {
      if (!NextLine(line))
        ThrowFatal(Diag(), kRoutingEndOfFileCode,
                   "FATAL: unexpected end of control file reached reading routing descriptions");
      if (FindItemKeyword(line, kOutletKeyword, 0) != std::string::npos || !HasAnyItemKeyword(line))
        break;
      // A blank between the lines, so that an item at the start of a line stays a whole word.
      text += ' ';
      text += line;
    }
    ParseDescription(text, number);
  }
}

// Index of a tributary or list code; a code without a subbasin, or the outlet's own, is FATAL.
int32_t abflussmodellklasse::SourceIndex(int32_t code, int32_t item, int32_t outlet) const {
  if (code < 0 || code > highest_zone_code || zone_code_index[code] < 1 ||
      zone_code_index[code] > nsb_)
    ThrowFatal(*diag, kRoutingSubbasinCode, "FATAL: there cant be a tributary with code ", code,
               " for no subbasin (according to zones)\n");
  if (zone_code_index[code] == outlet)
    ThrowFatal(*diag, kRoutingSubbasinCode, "FATAL: subbasin ", ZoneCode(outlet),
               ": code of tributary ", item, " (", code,
               ") is equal to subbasin code!\nIt is not allowed to rout the outflow of a subbasin "
               "back into \nthe same subbasin. Use a reservoir instead.\n");
  return zone_code_index[code];
}

// A subbasin drains into one outlet: entered twice, its water would be routed twice.
void abflussmodellklasse::EnterTarget(int32_t index, int32_t outlet) {
  if (targets_.target[index] != 0)
    ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: subbasin ", ZoneCode(index),
               " is a tributary of subbasin ", ZoneCode(targets_.target[index]),
               " and of subbasin ", ZoneCode(outlet),
               " in the routing descriptions; each subbasin drains into one outlet");
  auto free = std::find(targets_.list.begin() + 1, targets_.list.end(), 0);
  if (free != targets_.list.end()) *free = index;
  targets_.target[index] = outlet;
}

std::string abflussmodellklasse::DescriptionName(int32_t outlet) const {
  return FormatText("routing description %d (TG %d)", targets_.stretch[outlet], ZoneCode(outlet));
}

void abflussmodellklasse::WarnAboutValueName(const std::string& text, std::size_t pos,
                                             int32_t outlet, const std::string& where, int value,
                                             const char* expected, const char* order) {
  const std::string_view name = NameBeforeEquals(text, pos);
  if (NameFitsPlace(name, expected)) return;
  Diag() << "WARNING: " << DescriptionName(outlet) << ", " << where << ": value " << value
         << " is named \"" << std::string(name) << "\", but values are taken by their place ("
         << order << "): it is read as " << expected << "[end-entry]";
}

// A value after a '=' that begins like a number but is none ("0,5", "2m") is named, not taken
// for a missing value.
void abflussmodellklasse::RefuseNumberWord(const std::string& text, std::size_t pos, int32_t outlet,
                                           const std::string& where, int value) {
  const std::size_t equals = text.find('=', pos);
  if (equals == std::string::npos) return;
  const std::string word = NumberLikeWordAt(text, equals + 1, kItemSeparators);
  if (word.empty()) return;
  ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", DescriptionName(outlet), ", ", where,
             ": value ", value, " \"", word, "\" ", NumberProblem(word));
}

void abflussmodellklasse::ParseChannelValues(const std::string& text, std::size_t& pos,
                                             int32_t item, int32_t outlet, ChannelParameters& p) {
  double* values[kChannelValues] = {
      &p.k_mean,       &p.k_flood,       &p.width_mean, &p.width_flood, &p.bankfull_depth,
      &p.manning_mean, &p.manning_flood, &p.slope,      &p.length,      &p.area};
  static const char* const kKeys[kChannelValues] = {"kh", "kv", "Bh", "Bv", "Th",
                                                    "Mh", "Mv", "I",  "L",  "A"};
  const std::string where = FormatText("item %d", item);
  for (int v = 0; v < kChannelValues; ++v) {
    WarnAboutValueName(text, pos, outlet, where, v + 1, kKeys[v], "kh kv Bh Bv Th Mh Mv I L A");
    if (!ReadValueAfterEquals(text, pos, *values[v])) {
      RefuseNumberWord(text, pos, outlet, where, v + 1);
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", DescriptionName(outlet), ": value ",
                 v + 1, " of the ten channel values of item ", item,
                 " not found (each after a '=')");
    }
  }
  // What a river channel can be: storage constants up to a century, widths up to the widest
  // river, a bank-full depth up to any relief, Strickler coefficients up to smoother than
  // glass, a slope up to ten times 45 degrees, a catchment up to a continent's. A value of 0 or
  // below takes its default (the table builds with it), named in a WARNING; what no default
  // covers (no number, an infinity, a value above any river) is refused. A channel too long to
  // cross within a year is refused by its table.
  struct Range {
    const char* key;
    double value, high;
  };
  constexpr double kLongestStorage = 1e6, kSmoothest = 1000, kSteepest = 10;
  const Range ranges[kChannelValues] = {
      {kKeys[0], p.k_mean, kLongestStorage},
      {kKeys[1], p.k_flood, kLongestStorage},
      {kKeys[2], p.width_mean, kWidestRiver},
      {kKeys[3], p.width_flood, kWidestRiver},
      {kKeys[4], p.bankfull_depth, kLargestRelief},
      {kKeys[5], p.manning_mean, kSmoothest},
      {kKeys[6], p.manning_flood, kSmoothest},
      {kKeys[7], p.slope, kSteepest},
      {kKeys[8], p.length, 1e300},
      {kKeys[9], p.area, kLargestCatchment},
  };
  for (int v = 0; v < kChannelValues; ++v) {
    const Range& r = ranges[v];
    if (!std::isfinite(r.value) || r.value > r.high)
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", DescriptionName(outlet),
                 ": channel value ", r.key, " of item ", item, " is ", FormatText("%g", r.value),
                 ", it must be a number of at most ", FormatText("%g", r.high),
                 " (0 or below takes its default)");
    if (r.value <= 0)
      Diag() << "WARNING: " << DescriptionName(outlet) << ": channel value " << r.key << " of item "
             << item << " is " << FormatText("%g", r.value) << ", the channel takes its default "
             << FormatText("%g", v == 7 ? kDefaultRootSlope : kChannelDefaults[v])
             << (v == 7 ? " for the root of the slope" : "") << "[end-entry]";
  }
  p.qmin = qmin_;
  p.qmax = qmax_;
  p.intervals = nint_;
}

void abflussmodellklasse::AddChannel(routingclass& stretch, const std::string& text,
                                     std::size_t& pos, int32_t item, int32_t code,
                                     const std::vector<int32_t>& members, int32_t divisor_flag,
                                     int32_t outlet) {
  ChannelParameters params;
  ParseChannelValues(text, pos, item, outlet, params);
  stretch.BuildWQTable(item, code, members, nsplit_, observed_flag_, divisor_flag, params);
}

void abflussmodellklasse::ParseInflow(routingclass& stretch, const std::string& text,
                                      std::size_t& pos, int32_t item, int32_t outlet) {
  int32_t code = 0;
  ReadItemCode(text, pos, code);
  // Inflow codes run 1..number of inflows: 0 or less would write into a subbasin's flows.
  if (code < 1 || code > totals_.inflows)
    ThrowFatal(Diag(), kRoutingInflowCode, "FATAL: there is/are only ", totals_.inflows,
               " inflow(s) for the entire basin,\n but the codes ranges from 1 to at least ", code,
               "! in ", module_name);
  std::string mode_word;
  if (!ReadWordAfterEquals(text, pos, mode_word) || mode_word.size() > kMaxModeLength)
    ThrowFatal(Diag(), kRoutingInflowCode, "FATAL: the modus \"", mode_word,
               "\" is not supported for inflow ", code);
  int32_t mode = 0;
  double value = 0;
  std::string file_name;
  int start_row = 0;
  int start_column = 0;
  if (mode_word == "constant") {
    mode = kInflowConstant;
    if (!ScanValue(text, pos, value, kItemSeparators)) {
      if (const std::string word = NumberLikeWordAt(text, pos, kItemSeparators); !word.empty())
        ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: constant inflow ", code, ": \"", word,
                   "\" ", NumberProblem(word));
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: constant inflow ", code, " has no value");
    }
    // An inflow adds water (m³/s): up to ten times the largest river's discharge.
    if (!(value >= 0 && value <= 2e6))
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: constant inflow ", code, " is ",
                 FormatText("%g", value), ", it must lie within 0 to 2e+06 m3/s");
  } else if (mode_word == "extern") {
    mode = kInflowFile;
    if (!ScanValue(text, pos, file_name) || file_name.size() > kMaxInflowFileLength ||
        !ScanValue(text, pos, start_row, kItemSeparators) ||
        !ScanValue(text, pos, start_column, kItemSeparators))
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: inflow ", code,
                 ": file name (at most 299 characters), start row and start column expected");
  } else if (mode_word == "intern") {
    mode = kInflowInternal;
  } else {
    ThrowFatal(Diag(), kRoutingInflowCode, "FATAL: the modus \"", mode_word,
               "\" is not supported for inflow ", code);
  }
  const int32_t k = item - stretch.ChannelCount();  // the inflow items follow the channels
  stretch.SetInflow(k, code, mode, file_name, start_row, start_column,
                    static_cast<int32_t>(start_date_.year), static_cast<int32_t>(start_date_.month),
                    static_cast<int32_t>(start_date_.day), static_cast<int32_t>(start_date_.hour),
                    value);
  AddChannel(stretch, text, pos, item, code, {}, 0, outlet);
}

void abflussmodellklasse::ParseDescription(const std::string& text, int32_t number) {
  const DescriptionCounts counts = CountItems(text);
  std::size_t pos = FindItemKeyword(text, kOutletKeyword, 0);
  int32_t tg = 0;
  ReadItemCode(text, pos, tg);
  if (tg < 0 || tg > highest_zone_code || zone_code_index[tg] < 1 || zone_code_index[tg] > nsb_)
    ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: there is no subbasin with code ", tg);
  const int32_t outlet = zone_code_index[tg];
  // Named before the values are read, so that a WARNING names this description.
  targets_.stretch[outlet] = number;
  double area = 0;
  double divisor = 0;
  WarnAboutValueName(text, pos, outlet, "TG", 1, "A", "A f");
  const bool area_read = ReadValueAfterEquals(text, pos, area);
  if (area_read)
    WarnAboutValueName(text, pos, outlet, "TG", 2, "f", "A f");
  else
    RefuseNumberWord(text, pos, outlet, "TG", 1);
  const bool divisor_read = area_read && ReadValueAfterEquals(text, pos, divisor);
  if (area_read && !divisor_read) RefuseNumberWord(text, pos, outlet, "TG", 2);
  if (!divisor_read)
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: routing description of subbasin ", tg,
               ": area and area divisor (each after a '=') not found");
  // The area is replaced by the zone grid's, but one no basin has is a slip of the description;
  // the divisor scales every flow of the stretch.
  if (!(area >= 0 && area <= kLargestCatchment))
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", DescriptionName(outlet),
               ": the area A is ", FormatText("%g", area), ", it must lie within 0 to ",
               FormatText("%g", kLargestCatchment), " km2");
  if (!(divisor >= kSmallestAreaDivisor && divisor <= kLargestAreaDivisor))
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ", DescriptionName(outlet),
               ": the area divisor f is ", FormatText("%g", divisor), ", it must lie within ",
               FormatText("%g", kSmallestAreaDivisor), " to ",
               FormatText("%g", kLargestAreaDivisor));
  int32_t error = 0;
  auto stretch =
      std::make_unique<routingclass>(error, StretchSetup{.diag = diag,
                                                         .nsb = nsb_,
                                                         .dt = time_interval,
                                                         .area = area,
                                                         .divisor = divisor,
                                                         .ntrib = counts.tributaries,
                                                         .nlist = counts.lists,
                                                         .nfurther = counts.members,
                                                         .nZL = counts.inflows,
                                                         .nAL = counts.abstractions,
                                                         .nSP = counts.reservoirs,
                                                         .tg_code = tg,
                                                         .abfrel = &abfrel_,
                                                         .code_to_index = zone_code_index,
                                                         .max_code = highest_zone_code,
                                                         .ntr = tracer_count,
                                                         .tracers = tracer_definitions,
                                                         .flow_control = flow_control,
                                                         .nodata = nodata,
                                                         .output_directory = output_directory});
  if (error != 0) throw ErrorCode{error};
  routingclass& s = *stretch;
  stretches_[number] = std::move(stretch);
  outlet_of_stretch_[number] = outlet;
  int32_t item = 0;

  for (std::size_t at = FindItemKeyword(text, kTributaryKeyword, pos); at != std::string::npos;
       at = FindItemKeyword(text, kTributaryKeyword, at)) {
    ++item;
    int32_t code = 0;
    ReadItemCode(text, at, code);
    const int32_t index = SourceIndex(code, item, outlet);
    AddChannel(s, text, at, item, code, {}, 1, outlet);
    EnterTarget(index, outlet);
  }
  for (std::size_t at = FindItemKeyword(text, kListKeyword, 0); at != std::string::npos;
       at = FindItemKeyword(text, kListKeyword, at)) {
    ++item;
    int32_t code = 0;
    ReadItemCode(text, at, code);
    const int32_t index = SourceIndex(code, item, outlet);
    const std::vector<int32_t> members = ReadListMembers(text, at);
    if (members.size() > kMaxListMembers)
      ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: the list channel of subbasin ", code,
                 " in the routing description of subbasin ", tg, " has ", members.size(),
                 " members (at most ", kMaxListMembers, ")");
    EnterTarget(index, outlet);
    for (int32_t member : members) EnterTarget(SourceIndex(member, item, outlet), outlet);
    AddChannel(s, text, at, item, code, members, 1, outlet);
  }
  for (std::size_t at = FindItemKeyword(text, kInflowKeyword, 0); at != std::string::npos;
       at = FindItemKeyword(text, kInflowKeyword, at)) {
    ++item;
    ParseInflow(s, text, at, item, outlet);
  }
  for (std::size_t at = FindItemKeyword(text, kAbstractionKeyword, 0); at != std::string::npos;
       at = FindItemKeyword(text, kAbstractionKeyword, at + 2)) {
    ++item;
    s.SetAblaufModus(item, text, at, nsplit_, static_cast<int32_t>(start_date_.year),
                     static_cast<int32_t>(start_date_.month), static_cast<int32_t>(start_date_.day),
                     static_cast<int32_t>(start_date_.hour));
  }
  for (std::size_t at = FindItemKeyword(text, kReservoirKeyword, 0); at != std::string::npos;
       at = FindItemKeyword(text, kReservoirKeyword, at + 2)) {
    ++item;
    s.SetSpeicherParams(item, text, at, nsplit_);
  }
}

// A stretch reads its tributaries' routed water at their flow indices, which stands there only
// after their own stretches have run: every stretch must come after those of its tributaries.
void abflussmodellklasse::CheckUpstreamOrder() {
  for (int32_t i = 1; i <= nsb_; ++i) {
    const int32_t into = targets_.target[i];
    const int32_t own = targets_.stretch[i];
    if (into == 0 || own == 0) continue;
    const int32_t downstream = targets_.stretch[into];
    if (own > downstream)
      ThrowFatal(Diag(), kRoutingSubbasinCode, "FATAL: the routing description of subbasin ",
                 ZoneCode(into), " stands before the description of its tributary subbasin ",
                 ZoneCode(i), ": list the routing descriptions upstream first");
  }
}

void abflussmodellklasse::FinishStretches() {
  for (int32_t n = 1; n <= ndesc_; ++n) {
    // Read after every description: the search for a rule section moves the file's cursor.
    stretches_[n]->ReadReservoirRules(*reader_, &reservoir_links_, &bypass_);
    stretches_[n]->ReadAbstractionRules(*reader_);
    stretches_[n]->SetBypassSet(&bypass_);
    stretches_[n]->CheckArea();
    stretches_[n]->WriteWQTable();
  }
}

double abflussmodellklasse::DischargeFactor(int32_t sb) const {
  double factor = abfrel_.area[0] * abfrel_.area[sb] * 16.6666667 / time_interval;
  if (targets_.stretch[sb] > 0) factor /= abfrel_.divisor[sb];
  return factor;
}

void abflussmodellklasse::CreateStatistics() {
  own_zones_.assign(zone_table, zone_table + nsb_ + 1);
  int error = 0;
  statistics_ = std::make_unique<routstatistic>(
      error, diag, nullptr, 1, 1, own_zones_.data(), abfrel_.area.data(), nsb_, statistics_code_, 5,
      statistics_name_, output_directory, output_list_count, output_list_codes);
  ControlFileReader& file = *reader_;
  if (!file.FindHeader("[output_interval]")) ReportControlFileError("[output_interval]", "(EOF)");
  file.SkipRestOfLine();
  file.SkipRestOfLine();
  if (!file.Read(unit_)) ReportControlFileError("unit of the routed discharge ", module_name);
  file.SkipRestOfLine();
  if (error != 0) throw ErrorCode{error};
  const char* title = unit_ == 0   ? "routed discharge [mm per subbasin] "
                      : unit_ == 1 ? "routed discharge [ m3 per sec ] "
                                   : "routed discharge (unknown measure)";
  statistics_index_ =
      statistics_->WriteHeader(module_name, title, zone_statistics, zone_statistics_capacity);
}

// A discharge beyond what any river carries (kLargestDischarge; 1e308 gave NaN in the goodness
// of fit and, under flow control 2, infinite discharges) is refused; values of 0 or below are
// missing.
void abflussmodellklasse::CopyObservedRow(int32_t row) {
  for (int64_t c = 0; c < observed_columns_; ++c) {
    const double value = observed_table_->GetValue(c);
    if (value > kLargestDischarge) {
      int32_t y = 0, m = 0, d = 0, h = 0;
      observed_table_->GetDate(y, m, d, h);
      ThrowFatal(Diag(), kRoutingObservedReadCode, "FATAL: error analysing or reading ",
                 observed_name_, ": column ", c + 1, " of the record of ", d, ".", m, ".",
                 ObservedFullYear(y), " ", h, "h holds ", FormatText("%g", value),
                 ", an observed discharge must lie within 0 to ",
                 FormatText("%g", kLargestDischarge), " (0 or less: missing)");
    }
    observed_window_[row][c + 1] = value;
  }
}

// Opens the observed-discharge file anew: a file that cannot be read ends the run; one that
// cannot be opened leaves the table in that state for the caller.
void abflussmodellklasse::OpenObservedFile() {
  observed_table_ = std::make_unique<TimeSeriesTable>();
  TimeSeriesTable& table = *observed_table_;
  const int failed = CodeOf([&] { table.Open(observed_name_, 0, kObservedBufferBytes); });
  if (failed != 0 || table.state() == kTableReadError)
    ThrowFatal(Diag(), kRoutingObservedReadCode, "FATAL: error analysing or reading ",
               observed_name_, " at row ", table.error_line(),
               " or before \n(e.g. due to wrong formatting or wrong number of columns or start "
               "date not found)");
}

void abflussmodellklasse::OpenObservedTable() {
  // "none" names no file: a run told to compare nothing says so without an error about a file.
  if (observed_name_ == "none") {
    Diag() << "INFO: no observed-discharge file (none)"
           << "\nRouting will be done without comparison to observed discharge data!"
           << "[end-entry]";
    end_counter_ = kObservedEnded;
    observed_flag_ = 0;
    return;
  }
  OpenObservedFile();
  TimeSeriesTable& table = *observed_table_;
  // A file named but not found (a typo, a missing folder) is worth more than an INFO: the
  // comparison the control file asks for is not made.
  if (table.state() == kTableCannotOpen) {
    Diag() << "WARNING: error opening " << observed_name_
           << "\nRouting will be done without comparison to observed discharge data!"
           << "[end-entry]";
    end_counter_ = kObservedEnded;
    observed_flag_ = 0;
    observed_table_.reset();
    return;
  }
  Diag() << "INFO: looking for starting date in " << observed_name_ << "[end-entry]";
  observed_columns_ = table.columns();
  // A column beyond the file compares nothing: say so, or the subbasin's scores stay -9999
  // without a reason.
  for (std::size_t index = 1; index < observation_columns_.size(); ++index) {
    int32_t& column = observation_columns_[index];
    if (column <= observed_columns_) continue;
    Diag() << "WARNING: [routing_model]: subbasin " << ZoneCode(static_cast<int32_t>(index))
           << " is compared with column " << column << " of " << observed_name_ << ", which holds "
           << observed_columns_
           << " columns of values: the subbasin is not compared with an observation"
           << "[end-entry]";
    column = 0;
  }
  observed_window_.assign(kObservedRows,
                          std::vector<double>(static_cast<std::size_t>(observed_columns_) + 1));
  FillObservedWindow();
}

// Every spin-up pass substitutes and compares the observations of its own dates: the table is
// read again from the start date, as a run that starts on that date reads it (the last pass
// then continues as a warm start of it does).
void abflussmodellklasse::RewindObserved() {
  if (!observed_table_) return;
  OpenObservedFile();
  if (observed_table_->state() == kTableCannotOpen)
    ThrowFatal(Diag(), kRoutingObservedReadCode, "FATAL: error opening ", observed_name_,
               " again to read it from the start date for the next spin-up pass");
  Diag() << "INFO: looking for starting date in " << observed_name_ << "[end-entry]";
  end_counter_ = 0;
  FillObservedWindow();
}

// Searches the table for the start date and fills rows 10..20 of the window from there, rows
// 0..9 with row 10.
void abflussmodellklasse::FillObservedWindow() {
  TimeSeriesTable& table = *observed_table_;
  int32_t y = 0, m = 0, d = 0, h = 0;
  int32_t previous_day = 0;
  while (table.GetDate(y, m, d, h) && table.state() != kTablePastEnd &&
         !(ObservedFullYear(y) == start_date_.year && m == start_date_.month &&
           d == start_date_.day && h == start_date_.hour)) {
    if (d < previous_day) Diag() << ".";
    previous_day = d;
    table.NextRow();
  }
  Diag() << "[end-entry]";
  // Rows without a record (the file ends within the window, or the start date was not found)
  // hold nodata and count towards the end.
  for (int32_t row = kObservedCurrentRow; row < kObservedRows; ++row) {
    if (table.state() == kTablePastEnd) {
      std::fill(observed_window_[row].begin(), observed_window_[row].end(), nodata);
      ++end_counter_;
      continue;
    }
    if (table.GetDate(y, m, d, h)) observed_date_ = ModelDate{ObservedFullYear(y), m, d, h};
    CopyObservedRow(row);
    table.NextRow();
    if (table.state() == kTablePastEnd)
      Diag() << "INFO: end of discharge file reached!"
             << "[end-entry]";
  }
  for (int32_t row = 0; row < kObservedCurrentRow; ++row)
    observed_window_[row] = observed_window_[kObservedCurrentRow];
}

}  // namespace velorn

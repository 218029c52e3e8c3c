// Parsers of one land-use entry: the fixed one-line format (method 1) and the block format of
// key = value; items (methods 2 to 6, with the keys of dynamic phenology).
//
// A block is read in a fixed order: code and name, the scalar keys, the day list `JulDays`
// (which sets the fixpoint count n), the keys of dynamic phenology, the per-fixpoint lists and
// the soil-surface and frost keys. Keys are found as whole keys (core/brace_block_readers.h).
// Lists and day lists are split at blanks, tabs, line ends, "," and ";" and must hold exactly
// their count of numbers: a short list would leave fixpoints without a value, so it is
// reported. Every failure writes what went wrong, then the entry's closing message, code 29.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/brace_block_readers.h"
#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "tables/landuse_record.h"

namespace velorn {
namespace {

// Separators of list items and day lists.
constexpr const char* kListDelimiters = " \t\r\n,;";
// Separators of the words of a fixed-format line.
constexpr const char* kWordDelimiters = " \t\r\n";

// Fixed-format line: values before the optional RootDist and HReduDry (variant 2).
constexpr std::size_t kOldFormatValues = 35;
constexpr int kOldFormatFixpoints = 4;
constexpr int kMonthlyEntries = 14;

// Defaults of the optional items of a block entry.
constexpr double kDefaultRsInterception = 20.0;
constexpr double kDefaultRsEvaporation = 200.0;
constexpr double kDefaultStemDiameter = 0.01;
constexpr double kDefaultResidueCoverage = 0.01;
constexpr double kNoNFactor = -9999.9;
constexpr int kNoTillageDay = -9999;
constexpr double kDefaultCropDistance = 0.3;
constexpr double kDefaultK_ST = 10.0;
constexpr double kDefaultC_WR = 1.5;
const std::vector<double> kDefaultRoughCoefficients{0.0, 0.0198, 0.712, 0.142};
constexpr double kDefaultOffset1 = -3.4;
constexpr double kDefaultOffset2 = 12.0;

// Method number of a block entry's method name; 0 for an unknown name.
int MethodNumber(const std::string& method_name) {
  static const char* const kNames[] = {"VariableDayCount", "DynamicPhenology_1",
                                       "DynamicPhenology_2", "DynamicPhenology_3",
                                       "DynamicPhenology_4"};
  for (int i = 0; i < 5; ++i) {
    if (method_name == kNames[i]) return i + 2;
  }
  return 0;
}

std::vector<std::string> Fields(const std::string& text, const char* delimiters) {
  std::vector<std::string> fields;
  Tokenize(text, delimiters, fields);
  return fields;
}

// A number that is the whole field ("12mm" or, for a whole number, "2.5" is none).
template <class T>
bool ReadNumber(const std::string& field, T& value) {
  std::size_t pos = 0;
  return ScanValue(field, pos, value) && pos == field.size();
}

// The numbers of a list value, exactly `count` of them, into values[1..count].
template <class T>
void ReadList(DiagnosticStream& diag, int code, const std::string& key,
              const std::string& value_text, std::vector<T>& values, int count) {
  const std::vector<std::string> fields = Fields(value_text, kListDelimiters);
  if (static_cast<int>(fields.size()) != count) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"", key, "\" of land use ", code,
               " holds ", static_cast<int>(fields.size()), " values instead of ", count, ": \"",
               value_text, "\"");
  }
  values.resize(static_cast<std::size_t>(count) + 1);
  for (int i = 1; i <= count; ++i) {
    const std::string& field = fields[static_cast<std::size_t>(i) - 1];
    if (!ReadNumber(field, values[static_cast<std::size_t>(i)])) {
      ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"", key, "\" of land use ", code,
                 ": value ", i, " (\"", field, "\") is not a number");
    }
  }
}

// Every key a block entry may hold: a key present that the reader knows is no misspelling of a
// missing one ("DP2_T_Bc" is not "DP2_T_Bf" misspelt).
const std::vector<std::string>& LanduseBlockKeys() {
  static const std::vector<std::string> keys = Fields(
      "RootDist TReduWet useInternalParameters LimitReduWet ETPHamonFactor HReduDry "
      "StartVegetationPeriodForBalance StopVegetationPeriodForBalance "
      "JDVegetationResetForBalance JDVegetationWriteForBalance IntercepCap StressFactorDynPhen "
      "JulDays SoilTillage F* DP1_t1_dorm DP1_T_Bf JDReset_TStart maxStartJDforDP1 DP2_t0_dorm "
      "DP2_t1_dorm DP2_T_Bf DP2_T_Bc DP2_Par_a DP2_Par_b DP2_Offset_1 DP2_Offset_2 DP4_t0_dorm "
      "DP4_t1_dorm DP4_T0 DP4_T1 DP4_Par_a DP4_Par_b DP4_T_xylstop DP4_t_xs1 DP4_SPSLF "
      "ForcingThreshold Albedo rsc LAI Z0 VCF RootDepth AltDep rs_interception rs_evaporation "
      "SR_cultivation SR_CropDistX SR_CropDistY SR_K_ST SR_C_WR SR_rough_coeff1 "
      "SR_rough_coeff2 SR_StemDiameter SR_ResidCovrg n-factor nf_freezing nf_thawing",
      " ");
  return keys;
}

// The missing key named, with the misspelt key of `items` that stands in its place.
[[noreturn]] void ReportMissingKey(DiagnosticStream& diag, int code, const std::string& items,
                                   const std::string& key) {
  ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"", key, "\" not found for land use ",
             code, StandInNote(items, key, LanduseBlockKeys()));
}

bool ReadScalar(DiagnosticStream& diag, const std::string& items, const std::string& key,
                int& value) {
  return ParseIntValue(diag, items, key, value);
}

bool ReadScalar(DiagnosticStream& diag, const std::string& items, const std::string& key,
                double& value) {
  return ParseDoubleValue(diag, items, key, value);
}

template <class T>
void RequireScalar(DiagnosticStream& diag, int code, const std::string& items,
                   const std::string& key, T& value) {
  if (!ReadScalar(diag, items, key, value)) ReportMissingKey(diag, code, items, key);
}

template <class T>
void OptionalScalar(DiagnosticStream& diag, const std::string& items, const std::string& key,
                    T& value, T fallback) {
  value = fallback;
  ReadScalar(diag, items, key, value);
}

// Days of the year in the table lie within -366..366 (a negative fixpoint day is found at run
// time); nothing larger may reach the day arithmetic of the season.
constexpr int kMaxTableDay = 366;
// A canopy resistance (s/m): far beyond a closed canopy's (some thousand s/m).
constexpr double kHighestResistance = 1e6;

void CheckDay(DiagnosticStream& diag, int code, const std::string& key, int day) {
  if (day < -kMaxTableDay || day > kMaxTableDay)
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"", key, "\" of land use ", code,
               ": the day ", day, " lies outside -366 to 366");
}

// Refuses a value of the entry outside [low, high] (NaN included); `index` 0 for a single value,
// else the position in its list.
void CheckRange(DiagnosticStream& diag, int code, const char* key, int index, double value,
                double low, double high, const char* unit) {
  if (value >= low && value <= high) return;
  const std::string position = index > 0 ? FormatText(": value %d", index) : std::string();
  ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"", key, "\" of land use ", code,
             position, " (", value, ") lies outside ", low, " to ", high, " ", unit);
}

// The vegetation at fixpoints 1..n: a leaf area index, roughness length (m; 0 takes 0.01 in
// the grids) and root depth (m) from 0 to beyond any plant's, a cover from 0 to 1.
void CheckVegetation(DiagnosticStream& diag, int code, int n, const std::vector<double>& lai,
                     const std::vector<double>& z0, const std::vector<double>& vcf,
                     const std::vector<double>& roots) {
  constexpr double kLargestLeafArea = 100;
  constexpr double kLargestRoughness = 100;
  constexpr double kDeepestRoots = 100;
  for (int i = 1; i <= n; ++i) {
    const auto at = static_cast<std::size_t>(i);
    CheckRange(diag, code, "LAI", i, lai[at], 0, kLargestLeafArea, "m2/m2");
    CheckRange(diag, code, "Z0", i, z0[at], 0, kLargestRoughness, "m");
    CheckRange(diag, code, "VCF", i, vcf[at], 0, 1, "");
    CheckRange(diag, code, "RootDepth", i, roots[at], 0, kDeepestRoots, "m");
  }
}

void RequireDay(DiagnosticStream& diag, int code, const std::string& items, const std::string& key,
                int& day) {
  RequireScalar(diag, code, items, key, day);
  CheckDay(diag, code, key, day);
}

// Days per metre of altitude: even 1 day per metre moves a fixpoint through the whole year
// within 366 m, so larger shifts are no parameter of this kind.
constexpr double kMaxAltDep = 1.0;

// The items of a block: the text after its "{" up to its closing "}".
std::string BlockItems(const std::string& block) {
  const std::size_t close = block.find('}');
  return block.substr(1, close == std::string::npos ? std::string::npos : close - 1);
}

// Day list with index 0 = day count - 366.
std::vector<int> DayList(DiagnosticStream& diag, int code, const std::string& key,
                         const std::string& value_text) {
  std::vector<int> days;
  const int count = static_cast<int>(Fields(value_text, kListDelimiters).size());
  ReadList(diag, code, key, value_text, days, count);
  for (int i = 1; i <= count; ++i) CheckDay(diag, code, key, days[static_cast<std::size_t>(i)]);
  days[0] = days[static_cast<std::size_t>(count)] - 366;
  return days;
}

}  // namespace

// --- Fixed-format entries ------------------------------------------------------------------------

void LanduseRecord::ParseEntryOldFormat(DiagnosticStream& diag, const std::string& line,
                                        int variant) {
  method = 1;
  n = kOldFormatFixpoints;
  const std::vector<std::string> words = Fields(line, kWordDelimiters);
  try {
    double albedo = 0;
    // Code, name and albedo in turn, so that the message names the code when it was read.
    if (words.empty() || !ReadNumber(words[0], code) || words.size() < 3 ||
        !ReadNumber(words[2], albedo))
      throw ErrorCode{kLanduseEntryErrorCode};
    name = words[1];
    Albedo.assign(kOldFormatFixpoints + 1, albedo);
    CheckName(diag);
    ReadOldFormatValues(diag, words, variant);
  } catch (const ErrorCode&) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: landuse table code ", code,
               ": some values could not be read\n", line);
  }
}

void LanduseRecord::ReadOldFormatValues(DiagnosticStream& diag,
                                        const std::vector<std::string>& words, int variant) {
  if (words.size() < kOldFormatValues) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: the fixed-format line of land use ", code,
               " ends after ", static_cast<int>(words.size()), " of ",
               static_cast<int>(kOldFormatValues), " values");
  }
  std::size_t next = 3;
  auto read = [&](auto& value) {
    if (!ReadNumber(words[next], value)) {
      ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: value ", static_cast<int>(next) + 1, " (\"",
                 words[next], "\") of the fixed-format line of land use ", code,
                 " is not a number");
    }
    ++next;
  };
  rsc.assign(kMonthlyEntries, 0.0);
  for (int month = 1; month <= 12; ++month) read(rsc[static_cast<std::size_t>(month)]);
  rsc[0] = rsc[12];
  rsc[13] = rsc[1];
  rs_evaporation = rsc;
  // The format gives no interception resistance; every record carries the block default.
  rs_interception.assign(kMonthlyEntries, kDefaultRsInterception);
  JulDays.assign(kOldFormatFixpoints + 1, 0);
  LAI.assign(kOldFormatFixpoints + 1, 0.0);
  Z0 = LAI;
  VCF = LAI;
  RootDepth = LAI;
  for (int i = 1; i <= kOldFormatFixpoints; ++i) read(JulDays[static_cast<std::size_t>(i)]);
  for (std::vector<double>* values : {&LAI, &Z0, &VCF, &RootDepth}) {
    for (int i = 1; i <= kOldFormatFixpoints; ++i) read((*values)[static_cast<std::size_t>(i)]);
    (*values)[0] = (*values)[kOldFormatFixpoints];
  }
  JulDays[0] = JulDays[kOldFormatFixpoints] - 366;
  if (variant == 2) {
    if (next < words.size()) read(RootDist);
    if (next < words.size()) read(HReduDry);
  }
  CheckRange(diag, code, "Albedo", 0, Albedo[1], 0, 1, "");
  for (int month = 1; month <= 12; ++month)
    CheckRange(diag, code, "rsc", month, rsc[static_cast<std::size_t>(month)], 0,
               kHighestResistance, "s/m");
  CheckVegetation(diag, code, kOldFormatFixpoints, LAI, Z0, VCF, RootDepth);
  CheckRange(diag, code, "RootDist", 0, RootDist, -1, 1000, "");
  CheckRange(diag, code, "HReduDry", 0, HReduDry, 0, kLargestSoilHead, "m");
  AltDep = {-0.025, 0.025, 0.025, -0.025, -0.025};
  TReduWet = 0.95;
  LimitReduWet = 0;
  SetSoilSurfaceDefaults();
}

void LanduseRecord::CheckName(DiagnosticStream& diag) {
  if (name.size() > kMaxLanduseNameLength) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: the name of land use ", code,
               " is longer than ", static_cast<int>(kMaxLanduseNameLength), " characters: ", name);
  }
}

void LanduseRecord::SetSoilSurfaceDefaults() {
  const std::size_t size = static_cast<std::size_t>(n) + 1;
  SoilTillageCount = 0;
  SoilTillage.assign(1, kNoTillageDay);
  SR_cultivation = 3;
  SR_CropDistX = kDefaultCropDistance;
  SR_CropDistY = kDefaultCropDistance;
  SR_K_ST = kDefaultK_ST;
  SR_C_WR = kDefaultC_WR;
  SR_rough_coeff1 = kDefaultRoughCoefficients;
  SR_rough_coeff2 = kDefaultRoughCoefficients;
  SR_StemDiameter.assign(size, kDefaultStemDiameter);
  SR_ResidCovrg.assign(size, kDefaultResidueCoverage);
  n_factor.assign(size, kNoNFactor);
  nf_freezing = kNoFrostFactor;
  nf_thawing = kNoFrostFactor;
}

// --- Block entries -------------------------------------------------------------------------------

void LanduseRecord::ParseEntry(DiagnosticStream& diag, const std::string& text,
                               const std::string& method_name) {
  const int number = MethodNumber(method_name);
  if (number == 0)
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: landuse table method unknown ", text);
  method = number;
  phenology_flag = false;
  phenology_start_day = -1;
  const std::size_t open = text.find('{');
  const std::string block = open == std::string::npos ? std::string() : text.substr(open);
  try {
    ReadHeadWords(diag, text.substr(0, open));
    if (block.empty()) throw ErrorCode{kLanduseEntryErrorCode};
    const std::string items = BlockItems(block);
    ReadScalarKeys(diag, items);
    ParseJulDays(diag, items);
    ReadPhenologyKeys(diag, items);
    ReadSeasonalLists(diag, items);
    ReadSoilSurfaceKeys(diag, items);
  } catch (const ErrorCode&) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: landuse table code ", code,
               ": some values could not be read\n", block.empty() ? text : block);
  }
}

void LanduseRecord::ReadHeadWords(DiagnosticStream& diag, const std::string& head) {
  const std::vector<std::string> words = Fields(head, kWordDelimiters);
  if (words.size() < 2 || !ReadNumber(words[0], code)) {
    ThrowFatal(diag, kLanduseEntryErrorCode,
               "FATAL: a land-use entry does not begin with its code and name: ", head);
  }
  name = words[1];
  CheckName(diag);
}

void LanduseRecord::ReadScalarKeys(DiagnosticStream& diag, const std::string& items) {
  RequireScalar(diag, code, items, "RootDist", RootDist);
  RequireScalar(diag, code, items, "TReduWet", TReduWet);
  std::string switches;
  if (FindKeyValueText(items, "useInternalParameters", switches)) {
    const std::size_t first = switches.find_first_of("01");
    if (first == std::string::npos) {
      ThrowFatal(diag, kLanduseEntryErrorCode,
                 "FATAL: parameter \"useInternalParameters\" of land use ", code,
                 " holds no switch 0 or 1: \"", switches, "\"");
    }
    parameter_switch_text = switches.substr(first);
    parameter_switch_text.erase(parameter_switch_text.find_last_not_of(" \t\r\n") + 1);
    parameter_switch_bits = 0;
    const std::size_t positions = std::min<std::size_t>(8, parameter_switch_text.size());
    for (std::size_t i = 0; i < positions; ++i) {
      if (parameter_switch_text[i] == '1') parameter_switch_bits += 128 >> i;
    }
  }
  OptionalScalar(diag, items, "LimitReduWet", LimitReduWet, 0.0);
  OptionalScalar(diag, items, "ETPHamonFactor", ETPHamonFactor, 1.0);
  RequireScalar(diag, code, items, "HReduDry", HReduDry);
  OptionalScalar(diag, items, "StartVegetationPeriodForBalance", StartVegetationPeriodForBalance,
                 0);
  OptionalScalar(diag, items, "StopVegetationPeriodForBalance", StopVegetationPeriodForBalance, 0);
  OptionalScalar(diag, items, "JDVegetationResetForBalance", JDVegetationResetForBalance, -1);
  OptionalScalar(diag, items, "JDVegetationWriteForBalance", JDVegetationWriteForBalance, -1);
  OptionalScalar(diag, items, "IntercepCap", IntercepCap, -1.0);
  OptionalScalar(diag, items, "StressFactorDynPhen", StressFactorDynPhen, 0.0);
  // The root weights turn negative for a shape below -1; factors and shares lie within 0..1;
  // an IntercepCap below 0 counts as not given.
  CheckRange(diag, code, "RootDist", 0, RootDist, -1, 1000, "");
  CheckRange(diag, code, "TReduWet", 0, TReduWet, 0, 1, "");
  CheckRange(diag, code, "LimitReduWet", 0, LimitReduWet, 0, 1, "");
  CheckRange(diag, code, "HReduDry", 0, HReduDry, 0, kLargestSoilHead, "m");
  if (IntercepCap >= 0) CheckRange(diag, code, "IntercepCap", 0, IntercepCap, 0, 100, "mm");
  CheckRange(diag, code, "StressFactorDynPhen", 0, StressFactorDynPhen, 0, 1000, "");
}

void LanduseRecord::ParseJulDays(DiagnosticStream& diag, const std::string& text) {
  std::string value_text;
  if (!FindKeyValueText(text, "JulDays", value_text)) ReportMissingKey(diag, code, text, "JulDays");
  if (Fields(value_text, kListDelimiters).empty()) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"JulDays\" of land use ", code,
               " holds no day");
  }
  JulDays = DayList(diag, code, "JulDays", value_text);
  n = static_cast<int>(JulDays.size()) - 1;
  CheckFixpointDays(diag);
  if (method != 5) return;
  if (JulDays[1] != 1) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: Error in Landuse Table (Code: ", code,
               "): for Method DynamicPhenology_3 the first sample day (JulDay) must be 1 and not ",
               JulDays[1]);
  }
  if (JulDays[static_cast<std::size_t>(n)] != 366) {
    ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: Error in Landuse Table (Code: ", code,
               "): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and not ",
               JulDays[static_cast<std::size_t>(n)]);
  }
}

// The fixpoint days are days of the year, 1..366, each at or after the one before. With a dynamic
// start (DynamicPhenology_1, _2, _4) the first negative day of 1..n-1 marks the fixpoint the
// start of the vegetation period sets and the day after it counts days after that start: both
// stand outside the order. DynamicPhenology_3 may mark a fixpoint that no forcing sum reaches
// with a negative day, which stands outside the order as well.
void LanduseRecord::CheckFixpointDays(DiagnosticStream& diag) const {
  const bool dynamic_start = method == 3 || method == 4 || method == 6;
  int dynamic = 0;
  for (int i = 1; i < n && dynamic_start && dynamic == 0; ++i)
    if (JulDays[static_cast<std::size_t>(i)] < 0) dynamic = i;
  int previous = 0;
  for (int i = 1; i <= n; ++i) {
    const int day = JulDays[static_cast<std::size_t>(i)];
    if (dynamic > 0 && (i == dynamic || i == dynamic + 1)) continue;
    if (method == 5 && day < 0) continue;
    CheckRange(diag, code, "JulDays", i, day, 1, kMaxTableDay, "");
    if (day < previous)
      ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"JulDays\" of land use ", code,
                 ": value ", i, " (day ", day, ") comes before the day ", previous,
                 " of the fixpoint before it; the fixpoint days ascend");
    previous = day;
  }
}

void LanduseRecord::ParseSoilTillage(DiagnosticStream& diag, const std::string& text) {
  std::string value_text;
  if (!FindKeyValueText(text, "SoilTillage", value_text) ||
      Fields(value_text, kListDelimiters).empty()) {
    SoilTillageCount = 0;
    SoilTillage.assign(1, kNoTillageDay);
    return;
  }
  SoilTillage = DayList(diag, code, "SoilTillage", value_text);
  SoilTillageCount = static_cast<int>(SoilTillage.size()) - 1;
}

void LanduseRecord::ReadPhenologyKeys(DiagnosticStream& diag, const std::string& items) {
  if (method < 3 || method > 6) return;
  const bool forcing_star = method != 5;
  if (forcing_star) {
    phenology_start_day = -1;
    phenology_fixpoint_index = -1;
    RequireScalar(diag, code, items, "F*", FStar);
  }
  RequireDay(diag, code, items, "DP1_t1_dorm", DP1_t1_dorm);
  RequireScalar(diag, code, items, "DP1_T_Bf", DP1_T_Bf);
  RequireDay(diag, code, items, "JDReset_TStart", JDReset_TStart);
  RequireDay(diag, code, items, "maxStartJDforDP1", maxStartJDforDP1);
  if (forcing_star) {
    // The dynamic fixpoint: the first of 1..n-1 with a negative day (fixpoint n is not one).
    for (int i = 1; i < n; ++i) {
      if (JulDays[static_cast<std::size_t>(i)] < 0) {
        phenology_fixpoint_index = i;
        break;
      }
    }
  }
  if (method == 4) {
    RequireDay(diag, code, items, "DP2_t0_dorm", DP2_t0_dorm);
    RequireDay(diag, code, items, "DP2_t1_dorm", DP2_t1_dorm);
    RequireScalar(diag, code, items, "DP2_T_Bf", DP2_T_Bf);
    RequireScalar(diag, code, items, "DP2_T_Bc", DP2_T_Bc);
    RequireScalar(diag, code, items, "DP2_Par_a", DP2_Par_a);
    RequireScalar(diag, code, items, "DP2_Par_b", DP2_Par_b);
    const std::pair<const char*, double*> offsets[] = {{"DP2_Offset_1", &DP2_Offset_1},
                                                       {"DP2_Offset_2", &DP2_Offset_2}};
    const double defaults[] = {kDefaultOffset1, kDefaultOffset2};
    for (int k = 0; k < 2; ++k) {
      if (ReadScalar(diag, items, offsets[k].first, *offsets[k].second)) continue;
      *offsets[k].second = defaults[k];
      diag << "INFO: parameter \"" << offsets[k].first << "\" not found for land use " << code
           << "; Using default of " << defaults[k] << "[end-entry]";
    }
  }
  if (method == 6) {
    RequireDay(diag, code, items, "DP4_t0_dorm", DP4_t0_dorm);
    RequireDay(diag, code, items, "DP4_t1_dorm", DP4_t1_dorm);
    RequireScalar(diag, code, items, "DP4_T0", DP4_T0);
    RequireScalar(diag, code, items, "DP4_T1", DP4_T1);
    RequireScalar(diag, code, items, "DP4_Par_a", DP4_Par_a);
    RequireScalar(diag, code, items, "DP4_Par_b", DP4_Par_b);
    RequireScalar(diag, code, items, "DP4_T_xylstop", DP4_T_xylstop);
    RequireDay(diag, code, items, "DP4_t_xs1", DP4_t_xs1);
    RequireScalar(diag, code, items, "DP4_SPSLF", DP4_SPSLF);
  }
}

void LanduseRecord::ReadKeyValues(DiagnosticStream& diag, const std::string& text,
                                  const std::string& key, std::vector<double>& values,
                                  int count) const {
  std::string value_text;
  if (!FindKeyValueText(text, key, value_text)) ReportMissingKey(diag, code, text, key);
  ReadList(diag, code, key, value_text, values, count);
  values[0] = values[static_cast<std::size_t>(count)];
}

void LanduseRecord::ReadSeasonalLists(DiagnosticStream& diag, const std::string& items) {
  const std::size_t size = static_cast<std::size_t>(n) + 1;
  rs_interception.assign(size, kDefaultRsInterception);
  rs_evaporation.assign(size, kDefaultRsEvaporation);
  if (method == 5) ReadKeyValues(diag, items, "ForcingThreshold", ForcingThreshold, n);
  for (auto [key, values] : {std::pair{"Albedo", &Albedo},
                             {"rsc", &rsc},
                             {"LAI", &LAI},
                             {"Z0", &Z0},
                             {"VCF", &VCF},
                             {"RootDepth", &RootDepth},
                             {"AltDep", &AltDep}}) {
    ReadKeyValues(diag, items, key, *values, n);
  }
  for (int i = 1; i <= n; ++i) {
    const auto at = static_cast<std::size_t>(i);
    CheckRange(diag, code, "Albedo", i, Albedo[at], 0, 1, "");
    CheckRange(diag, code, "rsc", i, rsc[at], 0, kHighestResistance, "s/m");
    const double shift = AltDep[static_cast<std::size_t>(i)];
    if (std::fabs(shift) > kMaxAltDep)
      ThrowFatal(diag, kLanduseEntryErrorCode, "FATAL: parameter \"AltDep\" of land use ", code,
                 ": value ", i, " (", shift, " days per m) lies outside -1 to 1");
  }
  CheckVegetation(diag, code, n, LAI, Z0, VCF, RootDepth);
  for (auto [key, values] :
       {std::pair{"rs_interception", &rs_interception}, {"rs_evaporation", &rs_evaporation}}) {
    std::string value_text;
    if (FindKeyValueText(items, key, value_text)) ReadKeyValues(diag, items, key, *values, n);
  }
}

void LanduseRecord::ReadSoilSurfaceKeys(DiagnosticStream& diag, const std::string& items) {
  SetSoilSurfaceDefaults();
  ParseSoilTillage(diag, items);
  std::string cultivation;
  if (FindKeyValueText(items, "SR_cultivation", cultivation)) {
    if (Contains(cultivation, "other")) {
      SR_cultivation = 3;
    } else if (Contains(cultivation, "nonconserving")) {
      SR_cultivation = 2;
    } else if (Contains(cultivation, "conserving")) {
      SR_cultivation = 1;
    } else {
      ThrowFatal(diag, kLanduseEntryErrorCode,
                 "FATAL: no valid value for parameter \"SR_cultivation\" for land use ", code);
    }
  }
  ReadScalar(diag, items, "SR_CropDistX", SR_CropDistX);
  ReadScalar(diag, items, "SR_CropDistY", SR_CropDistY);
  ReadScalar(diag, items, "SR_K_ST", SR_K_ST);
  ReadScalar(diag, items, "SR_C_WR", SR_C_WR);
  std::string value_text;
  for (auto [key, values] :
       {std::pair{"SR_rough_coeff1", &SR_rough_coeff1}, {"SR_rough_coeff2", &SR_rough_coeff2}}) {
    if (FindKeyValueText(items, key, value_text)) ReadKeyValues(diag, items, key, *values, 3);
  }
  for (auto [key, values] : {std::pair{"SR_StemDiameter", &SR_StemDiameter},
                             {"SR_ResidCovrg", &SR_ResidCovrg},
                             {"n-factor", &n_factor}}) {
    if (FindKeyValueText(items, key, value_text)) ReadKeyValues(diag, items, key, *values, n);
  }
  ReadScalar(diag, items, "nf_freezing", nf_freezing);
  ReadScalar(diag, items, "nf_thawing", nf_thawing);
}

}  // namespace velorn

// The soil table: [soil_table] read by the settings object, and the two entry parsers of
// SoilRecord (block entries of horizons divided into layers, old one-line entries).
#include <cctype>
#include <cmath>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "core/brace_block_readers.h"
#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "tables/soil_record.h"

namespace velorn {
namespace {

// Thrown by the steps of a parser when its entry cannot be read; the parser then writes the
// entry's closing FATAL entry and throws its code.
struct EntryFailure {};

[[noreturn]] void Fail() {
  throw EntryFailure{};
}

// Thickness of the top layer of an old-format entry (m).
constexpr double kOldTopLayer = 0.05;
// ln of the conductivity of frozen soil given as 0 or less (ln 1e-12).
constexpr double kLogKMinFrozenFloor = -27.631;

// Reads one value at `pos`, skipping white space (line ends included) first. A number must end
// where its word ends ("3mm", "40,16" or, for a whole number, "2.5" is no value).
template <class T>
bool ReadNext(const std::string& text, std::size_t& pos, T& value) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  std::size_t end = pos;
  if (pos >= text.size() || !ScanValue(text, end, value)) return false;
  if (!std::is_same_v<T, std::string> && end < text.size() &&
      !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != ';')
    return false;
  pos = end;
  return true;
}

// Every key a block entry may hold: a key present that the reader knows is no misspelling of a
// missing one ("Par_m" is not "Par_n" misspelt).
const std::vector<std::string>& SoilBlockKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> all;
    Tokenize(
        "layers ksat theta_sat theta_res alpha Par_n thickness EvapMaxDepth ThicknessScaling "
        "GrainSizeDist Par_tau k_recession PMacroThresh MacroCapacity CapacityRedu MacroDepth "
        "DryHeatCapacity DryDensity DryThermalConduct KMinFrozenSoil maxratio FCap mSB "
        "ksat_topmodel suction Par_m MaxInterflowDepth",
        " ", all);
    for (int k = 0; k <= 10; ++k) all.push_back(FormatText("SU_PAR%.02d", k));
    return all;
  }();
  return keys;
}

// Suction at the wetting front (mm): up to oven-dry soil (pF 7).
constexpr double kHighestSuction = 1e8;
// Ratio of the relative conductivities of neighbouring layers, and a heat property of the dry
// soil (J/(kg K), kg/m³, W/(m K)): metal is the most any of these reaches.
constexpr double kHighestConductivityRatio = 1e12;
constexpr double kHighestDryHeatCapacity = 10000.0;
constexpr double kHighestDryDensity = 10000.0;
constexpr double kHighestDryThermalConduct = 1000.0;

// Refuses `value` of soil `code` outside [low, high] (layer 0: a value of the whole soil).
void RequireWithin(DiagnosticStream& diag, int code, const std::string& name, int layer,
                   const char* key, double value, double low, double high, const char* unit) {
  if (value >= low && value <= high) return;
  diag << "FATAL: soil type " << code << " (" << name << ")";
  if (layer > 0) diag << ", layer " << layer;
  diag << ": " << key << " (" << value << ") must lie within " << low << " to " << high << " "
       << unit << "[end-entry]";
  Fail();
}

bool OnlyBlanksFrom(const std::string& text, std::size_t pos) {
  for (; pos < text.size(); ++pos)
    if (!std::isspace(static_cast<unsigned char>(text[pos]))) return false;
  return true;
}

// The value text of the last whole-key entry of `key` in `text`. Candidates are tried from the
// last one back; each is handed to the shared key finder with the character before it, so the
// finder's whole-key rule decides.
bool FindLastKeyValueText(const std::string& text, const std::string& key,
                          std::string& value_text) {
  if (key.empty()) return false;
  for (std::size_t at = text.rfind(key); at != std::string::npos;
       at = at == 0 ? std::string::npos : text.rfind(key, at - 1)) {
    const std::size_t from = at == 0 ? 0 : at - 1;
    if (FindKeyValueText(text.substr(from), key, value_text)) return true;
  }
  return false;
}

}  // namespace

// --- Block entries ---------------------------------------------------------------------------

int SoilRecord::ReadHorizonValues(const std::string& block, const std::string& key,
                                  std::vector<double>* target, int horizon_count) {
  std::string text;
  if (!FindLastKeyValueText(block, key, text)) return -1;
  std::size_t pos = 0;
  if (horizon_count < 1) {
    // The layer counts of the horizons.
    std::vector<std::string> pieces;
    const int count = Tokenize(text, " \t\r\n;,", pieces);
    if (count < 1) return -1;
    LayersPerHorizon.assign(static_cast<std::size_t>(count) + 1, 0);
    long total = 0;
    for (int h = 1; h <= count; ++h) {
      int layers_of_horizon = 0;
      if (!ReadNext(text, pos, layers_of_horizon) || layers_of_horizon < 0) return -1;
      LayersPerHorizon[h] = layers_of_horizon;
      total += layers_of_horizon;
      if (total > kMaxSoilLayers) return kMaxSoilLayers + 1;
    }
    HorizonCount = count;
    LayersPerHorizon[0] = static_cast<int>(total);
    return static_cast<int>(total);
  }
  // One value per horizon; the last value given also fills the horizons after it.
  std::vector<double>& values = *target;
  int layer = 0;
  double value = 0;
  for (int h = 1; h <= horizon_count; ++h) {
    if (h == 1 || !OnlyBlanksFrom(text, pos)) {
      if (!ReadNext(text, pos, value)) return -1;
    }
    for (int k = 0; k < LayersPerHorizon[h]; ++k) values[++layer] = value;
  }
  if (layer >= 1) values[0] = values[1];
  return layer;
}

bool SoilRecord::ReadScalarValue(DiagnosticStream& diag, const std::string& block,
                                 const std::string& key, double& target) {
  return ParseDoubleValue(diag, block, key, target);
}

bool SoilRecord::ReadGrainSizeDist(DiagnosticStream& diag, const std::string& block) {
  std::string text;
  if (!FindKeyValueText(block, "GrainSizeDist", text)) {
    sand = 0.3333;
    silt = 0.3333;
    clay = 0.3334;
    stones1 = stones2 = stones3 = stones4 = 0;
    return true;
  }
  double* fractions[] = {&sand, &silt, &clay, &stones1, &stones2, &stones3, &stones4};
  std::size_t pos = 0;
  double sum = 0;
  for (double* fraction : fractions) {
    if (!ReadNext(text, pos, *fraction)) return false;
    sum += *fraction;
  }
  const char* problem = nullptr;
  if (!(sand > 0)) {
    problem = "FATAL: Grainsize distribution: fraction of sand must be > 0 \nsoil type: ";
  } else if (silt < 0 || clay < 0 || stones1 < 0 || stones2 < 0 || stones3 < 0 || stones4 < 0) {
    problem =
        "FATAL: Grainsize distribution: all grain size fractions must be >= 0 (sand must be "
        ">0)\nsoil type: ";
  } else if (!(std::fabs(sum - 1.0) <= 0.0001)) {
    problem =
        "FATAL: Grainsize distribution: sum of all fractions (sand, silt, clay, stones1..4) must "
        "be 1.0\n soil type: ";
  }
  if (problem == nullptr) return true;
  diag << problem << code << "\n" << block << "[end-entry]";
  return false;
}

void SoilRecord::AllocateLayerArrays() {
  const std::size_t size = static_cast<std::size_t>(layers) + 1;
  for (std::vector<double>* array :
       {&thickness, &ksat, &theta_sat, &theta_res, &Par_m, &Par_n, &alpha})
    array->assign(size, 0.0);
  Par_tau.assign(size, 0.5);
  k_recession.assign(size, 1.0);
  for (std::vector<double>* array : {&DryHeatCapacity, &DryDensity, &DryThermalConduct})
    array->assign(size, -1.0);
}

void SoilRecord::ParseEntry(DiagnosticStream& diag, const std::string& block,
                            const std::string& method_name) {
  if (!Contains(block, method_name)) {
    ThrowFatal(diag, kSoilBlockErrorCode, "FATAL: soil table definition method unknown ", block);
  }
  std::string shown = block;
  try {
    std::size_t pos = 0;
    if (!ReadNext(block, pos, code) || !ReadNext(block, pos, name)) Fail();
    if (name.size() > kMaxSoilNameLength) {
      diag << "FATAL: soil type " << code << ": the name is longer than "
           << static_cast<unsigned long>(kMaxSoilNameLength) << " characters[end-entry]";
      Fail();
    }
    const std::size_t brace = block.find('{');
    if (brace == std::string::npos) Fail();
    shown = block.substr(brace);
    HorizonCount = -1;
    ReadBlockParameters(diag, shown);
    ReadBlockOptions(diag, shown);
    if (!ValidateLayers(diag)) Fail();
    CheckLayerRanges(diag);
    ConductivityTableLast = SuctionTableLast = kSuctionPoints;
    BuildAllTables();
    ReduceKsatWithDepth();
    return;
  } catch (const EntryFailure&) {
  } catch (const ErrorCode&) {
    // A value the brace-block reader could not read; its own FATAL entry is written.
  } catch (const std::bad_alloc&) {
  }
  ThrowFatal(diag, kSoilBlockErrorCode, "FATAL: Soil table code ", code,
             ": some values could not be read\n", shown);
}

// Steps 3 to 7 of a block entry: layering, the required lists, thicknesses, grain sizes.
void SoilRecord::ReadBlockParameters(DiagnosticStream& diag, const std::string& block) {
  // A required key that is absent is named, with the misspelt key that stands in its place.
  const auto require = [&](const char* key) {
    std::string present;
    if (FindKeyValueText(block, key, present)) return;
    diag << "FATAL: soil type " << code << ": the required key \"" << key << "\" is not found"
         << StandInNote(block, key, SoilBlockKeys()) << "[end-entry]";
    Fail();
  };
  require("layers");
  const int total = ReadHorizonValues(block, "layers", nullptr, HorizonCount);
  if (total < 1) Fail();
  if (total > kMaxSoilLayers) {
    diag << "FATAL: soil type " << code << ": more than " << kMaxSoilLayers << " layers[end-entry]";
    Fail();
  }
  layers = total;
  AllocateLayerArrays();
  const std::pair<const char*, std::vector<double>*> required[] = {
      {"ksat", &ksat},   {"theta_sat", &theta_sat}, {"theta_res", &theta_res},
      {"alpha", &alpha}, {"Par_n", &Par_n},         {"thickness", &thickness}};
  for (const auto& [key, array] : required) {
    require(key);
    if (ReadHorizonValues(block, key, array, HorizonCount) < 0) Fail();
  }

  EvapMaxDepth = thickness[1];
  ReadScalarValue(diag, block, "EvapMaxDepth", EvapMaxDepth);
  ThicknessScaling = 1.0;
  if (ReadScalarValue(diag, block, "ThicknessScaling", ThicknessScaling) &&
      ThicknessScaling != 1.0) {
    diag << "INFO: Soil layers for soil type " << code << " will be scaled by a factor of "
         << ThicknessScaling << "[end-entry]";
  }
  TotalDepth = 0;
  for (int i = 0; i <= layers; ++i) {
    thickness[i] *= ThicknessScaling;
    if (i >= 1) TotalDepth += thickness[i];
  }
  if (!ReadGrainSizeDist(diag, block)) Fail();
}

// Steps 8 to 16 of a block entry: the optional keys with their defaults.
void SoilRecord::ReadBlockOptions(DiagnosticStream& diag, const std::string& block) {
  std::string present;
  // An optional list: absent keeps the defaults; present but unreadable fails the entry.
  const auto optional_list = [&](const char* key, std::vector<double>& array) {
    if (!FindKeyValueText(block, key, present)) return false;
    if (ReadHorizonValues(block, key, &array, HorizonCount) < 0) Fail();
    return true;
  };
  const auto scalar = [&](const char* key, double& target, double fallback) {
    target = fallback;
    ReadScalarValue(diag, block, key, target);
  };
  const auto within = [&](const char* key, double value, double low, double high,
                          const char* unit) {
    RequireWithin(diag, code, name, 0, key, value, low, high, unit);
  };
  for (int k = 0; k <= 10; ++k) scalar(FormatText("SU_PAR%.02d", k).c_str(), SU_PAR[k], 0.0);
  optional_list("Par_tau", Par_tau);
  optional_list("k_recession", k_recession);
  scalar("PMacroThresh", PMacroThresh, 1000.0);
  scalar("MacroCapacity", MacroCapacity, 0.0);
  scalar("CapacityRedu", CapacityRedu, 1.0);
  scalar("MacroDepth", MacroDepth, 1.0);
  optional_list("DryHeatCapacity", DryHeatCapacity);
  optional_list("DryDensity", DryDensity);
  optional_list("DryThermalConduct", DryThermalConduct);
  if (ReadScalarValue(diag, block, "KMinFrozenSoil", KMinFrozenSoil)) {
    // 0 or below: the floor of frozen soil's conductivity.
    within("KMinFrozenSoil", KMinFrozenSoil, -kHighestConductivity, kHighestConductivity, "m/s");
    LogKMinFrozenSoil = KMinFrozenSoil > 0 ? std::log(KMinFrozenSoil) : kLogKMinFrozenFloor;
  }
  within("PMacroThresh", PMacroThresh, 0, kHighestWaterRate, "mm/h");
  within("MacroCapacity", MacroCapacity, 0, kHighestWaterRate, "mm/h");
  within("CapacityRedu", CapacityRedu, 0, 1, "per m");
  within("MacroDepth", MacroDepth, 0, kLargestRelief, "m");
  within("EvapMaxDepth", EvapMaxDepth, 0, kLargestRelief, "m");
  PMacroThresh /= 3.6e6;
  MacroCapacity /= 3.6e6;
  scalar("maxratio", maxratio, 1000.0);
  scalar("FCap", FCap, 25.0);
  scalar("mSB", mSB, 35.0);
  scalar("ksat_topmodel", ksat_topmodel, 1e-5);
  scalar("suction", suction, 300.0);
  CheckStorageValues(diag);
  mSB_minus_FCap = (mSB - FCap) * 0.01;
  if (!optional_list("Par_m", Par_m)) {
    for (int i = 0; i <= layers; ++i) Par_m[i] = Par_n[i] == 0.0 ? 0.0 : 1.0 - 1.0 / Par_n[i];
  }
  scalar("MaxInterflowDepth", MaxInterflowDepth, 2.0);
  within("MaxInterflowDepth", MaxInterflowDepth, 0, kLargestRelief, "m");
}

// The values both entry forms share: field capacity and pore volume (percent of the volume),
// conductivity and wetting-front suction.
void SoilRecord::CheckStorageValues(DiagnosticStream& diag) const {
  const auto within = [&](const char* key, double value, double low, double high,
                          const char* unit) {
    RequireWithin(diag, code, name, 0, key, value, low, high, unit);
  };
  within("FCap", FCap, 0, 100, "%");
  within("mSB", mSB, 0, 100, "%");
  within("ksat_topmodel", ksat_topmodel, 0, kHighestConductivity, "m/s");
  within("suction", suction, 0, kHighestSuction, "mm");
}

// The layer values beyond the ones the hydraulic tables need: conductivity, thickness, the
// Mualem tortuosity, the decrease of ksat with depth and the heat properties of the dry soil
// (below 0: not given, the heat model's defaults hold); then the conductivity ratio between
// neighbouring layers.
void SoilRecord::CheckLayerRanges(DiagnosticStream& diag) const {
  for (int i = 1; i <= layers; ++i) {
    const auto within = [&](const char* key, double value, double low, double high,
                            const char* unit) {
      RequireWithin(diag, code, name, i, key, value, low, high, unit);
    };
    within("ksat", ksat[i], 0, kHighestConductivity, "m/s");
    within("thickness", thickness[i], 0, kLargestRelief, "m");
    within("Par_tau", Par_tau[i], -100, 100, "");
    within("k_recession", k_recession[i], 0, 1, "per m");
    const auto heat = [&](const char* key, double value, double high, const char* unit) {
      if (value < 0) return;
      within(key, value, 0, high, unit);
    };
    heat("DryHeatCapacity", DryHeatCapacity[i], kHighestDryHeatCapacity, "J/(kg K)");
    heat("DryDensity", DryDensity[i], kHighestDryDensity, "kg/m3");
    heat("DryThermalConduct", DryThermalConduct[i], kHighestDryThermalConduct, "W/(m K)");
  }
  RequireWithin(diag, code, name, 0, "maxratio", maxratio, 1, kHighestConductivityRatio, "");
}

// Water contents lie within 0..1; the look-up tables divide by theta_sat - theta_res and by m, and
// need alpha > 0 and n > 1 for a saturation within 0..1; a layer without thickness has no depth.
// Each layer is checked before any table is built.
bool SoilRecord::ValidateLayers(DiagnosticStream& diag) const {
  for (int i = 1; i <= layers; ++i) {
    const auto report = [&](const char* what, double value, const char* limit) {
      diag << "FATAL: soil type " << code << " (" << name << "), layer " << i << ": " << what
           << " (" << value << ") must be greater than " << limit << "[end-entry]";
      return false;
    };
    // Water contents are shares of the volume: a theta_res of -9999 would create water.
    for (const auto& [what, value] :
         {std::pair{"theta_res", theta_res[i]}, std::pair{"theta_sat", theta_sat[i]}}) {
      if (value >= 0 && value <= 1) continue;
      diag << "FATAL: soil type " << code << " (" << name << "), layer " << i << ": " << what
           << " (" << value << ") must lie within 0 to 1[end-entry]";
      return false;
    }
    if (!(theta_sat[i] > theta_res[i]))
      return report("theta_sat", theta_sat[i], FormatText("theta_res (%g)", theta_res[i]).c_str());
    if (!(alpha[i] > 0)) return report("alpha", alpha[i], "0");
    if (!(Par_n[i] > 1)) return report("Par_n", Par_n[i], "1");
    if (!(Par_m[i] > 0)) return report("Par_m", Par_m[i], "0");
    if (!(thickness[i] > 0)) return report("thickness", thickness[i], "0");
  }
  return true;
}

void SoilRecord::BuildAllTables() {
  const std::size_t size = static_cast<std::size_t>(layers) + 1;
  for (LayerTables* tables :
       {&ThetaForConductivity, &RelativeConductivity, &ThetaForSuction, &SuctionTable})
    tables->assign(size, {});
  // Every layer has its search guesses (none until its tables are built: it bisects).
  SuctionGuess.assign(size, IntervalGuess{});
  for (int l = 0; l <= layers; ++l) BuildHydraulicTables(l);
  const std::vector<double> freezing(static_cast<std::size_t>(FreezingSteps) + 1, 0.0);
  for (LayerTables* tables :
       {&LiquidFractionTable, &LiquidFractionSlopeTable, &TemperatureShiftTable})
    tables->assign(size, freezing);
}

// Inside each horizon ksat falls by the horizon's factor per metre below the horizon's top,
// down to the first layer whose centre lies deeper than MaxInterflowDepth.
void SoilRecord::ReduceKsatWithDepth() {
  double centre = 0;  // depth of the layer centre below the surface
  int i = 0;
  for (int h = 1; h <= HorizonCount; ++h) {
    double in_horizon = 0;  // depth of the layer centre below the horizon's top
    for (int k = 0; k < LayersPerHorizon[h]; ++k) {
      ++i;
      const double half = 0.5 * thickness[i];
      const double half_above = i > 1 ? 0.5 * thickness[i - 1] : 0.0;
      centre += half_above + half;
      in_horizon = k == 0 ? half : in_horizon + half_above + half;
      if (centre > MaxInterflowDepth) return;
      ksat[i] *= std::pow(k_recession[i], in_horizon);
    }
  }
}

// --- Old one-line entries --------------------------------------------------------------------

void SoilRecord::ParseEntryOldFormat(DiagnosticStream& diag, const std::string& line,
                                     int model_variant) {
  try {
    std::size_t pos = 0;
    if (!ReadNext(line, pos, code) || !ReadNext(line, pos, name)) Fail();
    if (name.size() > kMaxSoilNameLength) {
      diag << "FATAL: soil type " << code << ": the name is longer than "
           << static_cast<unsigned long>(kMaxSoilNameLength) << " characters[end-entry]";
      Fail();
    }
    if (!ReadNext(line, pos, FCap) || !ReadNext(line, pos, mSB) ||
        !ReadNext(line, pos, ksat_topmodel) || !ReadNext(line, pos, suction))
      Fail();
    CheckStorageValues(diag);
    mSB_minus_FCap = (mSB - FCap) * 0.01;
    if (model_variant != 2) return;
    if (!ReadNext(line, pos, method)) Fail();
    if (method != 1) {
      diag << "FATAL: error reading soil parameters for soil type " << code
           << ": only old method 1 (van-Genuchten Parameter) is supported in Velorn newer than "
              "6.4.\n"
           << "Use the new soil type table format instead."
           << "[end-entry]";
      Fail();
    }
    if (!ReadOldFormatLayers(diag, pos, line)) Fail();
    return;
  } catch (const EntryFailure&) {
  } catch (const std::bad_alloc&) {
  }
  ThrowFatal(diag, kSoilOldFormatErrorCode, "FATAL: soil table code ", code,
             ": some values could not be read\n", line);
}

// Variant 2 of an old-format entry: van Genuchten parameters of all layers, equal layers of
// thickness d below a top layer of 0.05 m, ksat falling with depth down to 2 m.
bool SoilRecord::ReadOldFormatLayers(DiagnosticStream& diag, std::size_t& pos,
                                     const std::string& line) {
  double ts = 0, tr = 0, a = 0, n = 0;
  if (!ReadNext(line, pos, ts) || !ReadNext(line, pos, tr) || !ReadNext(line, pos, a) ||
      !ReadNext(line, pos, n) || !ReadNext(line, pos, layers))
    return false;
  // Layers 1 and 2 always exist in this form: the top layer and the one below it.
  if (layers < 2 || layers > kMaxSoilLayers) {
    diag << "FATAL: soil type " << code << ": an old-format entry needs 2 to " << kMaxSoilLayers
         << " layers (here " << layers << ")[end-entry]";
    return false;
  }
  AllocateLayerArrays();
  for (int i = 0; i <= layers; ++i) {
    theta_sat[i] = ts;
    theta_res[i] = tr;
    alpha[i] = a;
    Par_n[i] = n;
    Par_m[i] = 1.0 - 1.0 / n;
  }
  double d = 0;
  const auto read = [&](double& value, const char* message) {
    if (ReadNext(line, pos, value)) return true;
    diag << message << code << "[end-entry]";
    return false;
  };
  if (!read(d, "FATAL: error reading layer thickness for soiltype ") ||
      !read(maxratio, "FATAL: error reading maxratio for soil type ") ||
      !read(KReduction, "FATAL: error reading k reduction for soil type "))
    return false;
  thickness[0] = d;
  if (d < 2 * kOldTopLayer) {
    diag << "FATAL: \nerror soil type " << code << ":\nthickness of single layers (here " << d
         << " m)\nhas to be at minimum twice as thick as the\nthickness of the top layer (here "
         << kOldTopLayer << " m)"
         << "[end-entry]";
    return false;
  }
  thickness[1] = kOldTopLayer;
  thickness[2] = d - kOldTopLayer;
  for (int i = 3; i <= layers; ++i) thickness[i] = d;
  TotalDepth = 0;
  for (int i = 1; i <= layers; ++i) TotalDepth += thickness[i];
  if (!ValidateLayers(diag)) return false;
  ConductivityTableLast = SuctionTableLast = kSuctionPoints;
  BuildAllTables();

  RequireWithin(diag, code, name, 0, "k reduction", KReduction, 0, 1, "per m");
  ksat[1] = ksat_topmodel * std::pow(KReduction, 0.025);
  ksat[2] = ksat_topmodel * std::pow(KReduction, (thickness[2] - kOldTopLayer) * 0.5 + 0.05);
  for (int i = 3; i <= layers; ++i) {
    const double z = (i - 1.5) * d;
    ksat[i] = z <= 2.0 ? ksat_topmodel * std::pow(KReduction, z) : ksat[i - 1];
  }
  ksat[0] = ksat[1];
  CheckLayerRanges(diag);
  return true;
}

}  // namespace velorn

// SoilRecord: one soil type of the soil table, with its layering, its van Genuchten-Mualem,
// macropore, heat and storage-approach parameters, and the per-layer look-up tables that the
// unsaturated-zone solver reads in every cell, layer and sub-step.
//
// The settings object reads [soil_table] (defaultini::ReadSoilTable, setup/table_sections.cpp)
// into count + 1 records; record 0 holds the count in `code` and carries no soil. Every
// per-layer array has n + 1 elements (n = `layers`), layers 1..n from the top; element 0 of an
// array filled from a horizon list is a copy of layer 1. Two entry forms exist:
//
//   1 loam method MultipleHorizons {
//     layers = 2 3; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078;
//     alpha = 3.6; Par_n = 1.56; thickness = 0.1 0.3; }
//   2 sand 25 35 1e-5 300 1 0.43 0.045 14.5 2.68 5 0.3 1000 0.5   (old one-line form)
//
// A block value is found by its whole key ("ksat" never matches inside "ksat_topmodel"): per-
// horizon lists take the key's last occurrence, scalars its first. Parsing validates what the
// tables divide by (theta_sat > theta_res, alpha > 0, Par_n > 1, Par_m > 0, thickness > 0),
// so every look-up is defined for every record that has layers.
//
// Look-ups (tables/soil_hydraulics.cpp) interpolate in the 31-entry hydraulic tables by
// bisection and in the 1001-entry freezing tables by direct indexing; they allocate nothing,
// never evaluate the closed forms and only read the record, so once set-up has built the tables
// any number of threads may call them on the same record:
//
//   const SoilRecord& soil = soil_table[static_cast<int>(soil_grid[r][c])];
//   double h = soil.GetSuction(layer, theta);                    // in units of 1 / alpha
//   double kr = soil.GetRelativeConductivity(layer, theta, theta_upper);
//
// Limits: at most kMaxSoilLayers layers per soil; names of at most kMaxSoilNameLength
// characters. The caller arrays of the offset operations hold the layers of one cell at
// o + 1 .. o + n.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace velorn {

class DiagnosticStream;

// Codes of a block entry and of an old one-line entry (and of unequal layer counts) that fail.
inline constexpr int kSoilBlockErrorCode = 29;
inline constexpr int kSoilOldFormatErrorCode = 30;
// Most layers one soil may have; each layer carries 24 kB of freezing tables.
inline constexpr int kMaxSoilLayers = 1000;
// Longest soil name (the record's name buffer holds 200 characters with its end).
inline constexpr std::size_t kMaxSoilNameLength = 199;
// Number of fixed suction points of the hydraulic tables.
inline constexpr int kSuctionPoints = 30;

// Temperature shift of the freezing curve at temperature t (degrees C) for a layer whose liquid
// fraction falls fastest at t_star (< 0): 0 down to t_star, then t - ((t - t_star) 0.15 /
// (0.3 t_star) + 1) t_star down to 1.3 t_star and t - 1.15 t_star below; continuous at both.
double FreezingTemperatureShift(double t, double t_star);

// A first guess of the interval of a descending table of contents that holds a content: the
// range between the table's second and last entries split into kGuessCells equal cells, each
// with the interval of its upper end. A search walks from the guess to the interval (one or two
// steps where the table's intervals are narrower than a cell) instead of bisecting the table.
inline constexpr int kGuessCells = 128;
struct IntervalGuess {
  double low = 0;    // the table's last content
  double scale = 0;  // cells per unit of content; 0: no guesses (bisect)
  std::array<unsigned char, kGuessCells> first{};
};

struct SoilRecord {
  // One table of doubles per layer 0..n.
  using LayerTables = std::vector<std::vector<double>>;

  SoilRecord() = default;
  explicit SoilRecord(int code_arg) : code(code_arg) {}

  // --- Parsing (tables/soil_table.cpp) --------------------------------------------------------
  // One block entry ("code name method <method_name> { key = value; ... }"). A method other
  // than "MultipleHorizons" is FATAL 29 at once; every other failure ends with "FATAL: Soil
  // table code <code>: some values could not be read" and the block, code 29.
  void ParseEntry(DiagnosticStream& diag, const std::string& block, const std::string& method_name);
  // One old one-line entry; layers and tables only in model variant 2. Failures end with
  // "FATAL: soil table code <code>: some values could not be read" and the line, code 30.
  void ParseEntryOldFormat(DiagnosticStream& diag, const std::string& line, int model_variant);
  // The per-horizon list of `key` (its last occurrence) spread over the layers of each horizon
  // into `target` (elements 1..n, element 0 a copy of element 1). With `horizon_count` below 1
  // it reads the horizon layer counts instead (`target` unused) and returns their sum. Returns
  // -1 when the key is absent or a value cannot be read.
  int ReadHorizonValues(const std::string& block, const std::string& key,
                        std::vector<double>* target, int horizon_count);
  // The number of the first whole-key occurrence of `key`; false (target unchanged) when
  // absent. A value that is no number is FATAL (ErrorCode 17, which ParseEntry turns into 29).
  bool ReadScalarValue(DiagnosticStream& diag, const std::string& block, const std::string& key,
                       double& target);
  // Reads and checks "GrainSizeDist" (defaults without it); false after its FATAL entry.
  bool ReadGrainSizeDist(DiagnosticStream& diag, const std::string& block);

  // --- Look-up tables (tables/soil_hydraulics.cpp) --------------------------------------------
  // Fills the four hydraulic tables of `layer` from its parameters.
  void BuildHydraulicTables(int layer);
  // Fills the three freezing tables of `layer`; `scale` turns a temperature in degrees C into a
  // suction in units of 1 / alpha.
  void BuildFreezingTables(int layer, double scale);
  // Suction at water content `theta`: 0 at or above saturation, the driest point (150) at or
  // below theta_res.
  double GetSuction(int layer, double theta) const;
  // The same suction, bit for bit, for a caller that looks up nearby contents of one layer
  // again and again (the flux limiter's bisection): `hint` holds the table interval of the last
  // look-up (0 at first) and is tried before the bisection of the table.
  double GetSuction(int layer, double theta, int& hint) const {
    const double* t = ThetaForSuction[layer].data();
    const int j = hint;
    if (j >= 1 && j < SuctionTableLast && t[j] > theta && theta >= t[j + 1])
      return SuctionInInterval(layer, j, theta);
    // A saturated content (a layer under the water table) needs no search.
    if (theta >= t[1] && theta > t[SuctionTableLast]) return 0.0;
    return SearchSuction(layer, theta, hint);
  }
  // Water content at `suction`: theta_sat at or below 0, theta_res at or beyond 150.
  double GetTheta(int layer, double suction) const;
  // Relative conductivity (0..1) at min(a, b).
  double GetRelativeConductivity(int layer, double a, double b) const;
  // The same relative conductivity, bit for bit, starting from the table interval `hint` of the
  // layer's last look-up (0 at first), as the suction look-up with a hint does.
  double GetRelativeConductivity(int layer, double a, double b, int& hint) const {
    const double x = std::min(a, b);
    const double* t = ThetaForConductivity[layer].data();
    const int j = hint;
    if (j >= 1 && j < ConductivityTableLast && t[j] > x && x >= t[j + 1])
      return ConductivityInInterval(layer, j, x);
    if (x >= t[1]) return 1.0;
    return SearchConductivity(layer, x, hint);
  }
  const std::vector<double>& GetKsat() const { return ksat; }
  // For layers i = 1..n: liquid fraction and its slope by temperature at temperature[o + i]
  // and water content theta[o + i] into fraction[o + i] and slope[o + i]. Nothing without a
  // temperature array.
  void LookupFreezingCurve(int offset, double* fraction, double* slope, const double* temperature,
                           const double* theta) const;
  // For layers i = 1..n: volumetric heat capacity a theta (f cw + (1 - f) ci) + dry density x
  // dry heat capacity + extra, f the liquid fraction, ci the ice heat capacity interpolated
  // between c0 (0 degrees C) and c20 (-20 degrees C).
  void ComputeHeatCapacity(int offset, const double* temperature, double* out, const double* liquid,
                           const double* extra, const double* theta, double a, double cw, double c0,
                           double c20) const;
  // Layers 1..n, arrays without offset: the liquid fraction or the slope of the freezing curve
  // alone (the slope is 0 outside FreezingLowerLimit .. 0 degrees C).
  void LookupLiquidFraction(double* out, const double* temperature, const double* theta) const;
  void LookupFreezingSlope(double* out, const double* temperature, const double* theta) const;
  // Magnitude of the temperature shift of `layer` at relative saturation r (0..1).
  double LookupTemperatureShift(int layer, double relative_saturation) const;
  // Layers 1..n: conductivity of partly frozen soil; `ksat` without an ice indicator array.
  void FrozenConductivity(double* out, const double* ice, const double* theta,
                          const double* reference) const;

  // --- Fields ---------------------------------------------------------------------------------
  std::string name;
  int code = 0;
  int method = 0;  // old-format method number
  // Storage approach.
  double FCap = 0;
  double mSB = 0;
  double mSB_minus_FCap = 0;  // (mSB - FCap) * 0.01
  double ksat_topmodel = 0;
  double suction = 0;
  int ConductivityTableLast = 0;
  int SuctionTableLast = 0;
  int layers = 0;
  int HorizonCount = 0;
  std::vector<int> LayersPerHorizon;  // [HorizonCount + 1]; element 0 = layers
  LayerTables ThetaForConductivity;
  LayerTables RelativeConductivity;
  LayerTables ThetaForSuction;
  LayerTables SuctionTable;
  // Per layer 0..n: where the searches of the hydraulic tables start (see IntervalGuess).
  std::vector<IntervalGuess> SuctionGuess;
  // Per layer 0..n.
  std::vector<double> ksat;       // saturated hydraulic conductivity
  std::vector<double> thickness;  // m
  std::vector<double> theta_sat;
  std::vector<double> theta_res;
  std::vector<double> Par_n;
  std::vector<double> Par_m;
  std::vector<double> alpha;
  std::vector<double> Par_tau;
  std::vector<double> k_recession;  // factor per metre of the ksat decrease inside a horizon
  double KReduction = 0;            // old format: factor per metre of the ksat decrease
  double maxratio = 0;
  double EvapMaxDepth = 0.1;       // m
  double MaxInterflowDepth = 2.0;  // m; ksat is not reduced below it
  double ThicknessScaling = 1.0;
  double TotalDepth = 0;      // m, sum of the layer thicknesses
  double PMacroThresh = 1.0;  // divided by 3.6e6 after reading
  double MacroCapacity = 0;   // divided by 3.6e6 after reading
  double MacroDepth = 0;      // m
  double CapacityRedu = 1.0;
  double sand = 0.3333;
  double silt = 0.3333;
  double clay = 0.3334;
  double stones1 = 0;
  double stones2 = 0;
  double stones3 = 0;
  double stones4 = 0;
  std::array<double, 11> SU_PAR{};  // values of "SU_PAR00" .. "SU_PAR10"
  std::vector<double> DryHeatCapacity;
  std::vector<double> DryDensity;
  std::vector<double> DryThermalConduct;
  double KMinFrozenSoil = -1.0;
  double LogKMinFrozenSoil = -20.0;
  // Powers of the thermal conductivity (solids and water terms) that the soil heat solver
  // computes once and keeps here; 0 or less until then.
  double ThermalConductSolidsPower = -1.0;
  double ThermalConductWaterPower = -1.0;
  double FreezingLowerLimit = -10.0;  // degrees C
  int FreezingSteps = 1000;
  LayerTables LiquidFractionTable;
  LayerTables LiquidFractionSlopeTable;
  LayerTables TemperatureShiftTable;

 private:
  // Steps of the parsers.
  void AllocateLayerArrays();
  void ReadBlockParameters(DiagnosticStream& diag, const std::string& block);
  void ReadBlockOptions(DiagnosticStream& diag, const std::string& block);
  bool ValidateLayers(DiagnosticStream& diag) const;
  // Range checks of the values read; a value outside its range writes the FATAL entry and
  // fails the entry.
  void CheckStorageValues(DiagnosticStream& diag) const;
  void CheckLayerRanges(DiagnosticStream& diag) const;
  void BuildAllTables();
  void ReduceKsatWithDepth();
  bool ReadOldFormatLayers(DiagnosticStream& diag, std::size_t& pos, const std::string& line);
  // Shift magnitude of table `shift` at relative saturation r times the step count.
  double ShiftAt(const std::vector<double>& shift, double r) const;
  // Suction at theta inside interval j of the table of `layer` (t[j] > theta >= t[j + 1]).
  double SuctionInInterval(int layer, int j, double theta) const {
    const double* t = ThetaForSuction[layer].data();
    const double* s = SuctionTable[layer].data();
    const double f = (theta - t[j + 1]) / (t[j] - t[j + 1]);
    return f * s[j] + (1.0 - f) * s[j + 1];
  }
  // GetSuction with the search of the table; `hint` receives the interval found.
  double SearchSuction(int layer, double theta, int& hint) const;
  // Relative conductivity at x inside interval j of the table of `layer` (t[j] > x >= t[j + 1]).
  double ConductivityInInterval(int layer, int j, double x) const {
    const double* t = ThetaForConductivity[layer].data();
    const double* k = RelativeConductivity[layer].data();
    const double f = (x - t[j + 1]) / (t[j] - t[j + 1]);
    return f * k[j] + (1.0 - f) * k[j + 1];
  }
  // The relative conductivity at x with the search of the table; `hint` receives the interval.
  double SearchConductivity(int layer, double x, int& hint) const;
  // Liquid fraction and slope of layer i at temperature t (FreezingLowerLimit < t <= 0).
  void FreezingPoint(int i, double t, double theta, double& fraction, double& slope) const;
};

}  // namespace velorn

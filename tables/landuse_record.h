// LanduseRecord: one entry of the control-file section [landuse_table].
//
// A record holds a land use's code and name, the method that describes its seasonal parameters,
// the Julian-day fixpoints with one value per fixpoint for each seasonal parameter, the
// constants of evapotranspiration, interception and the soil-water balance, the parameters of
// dynamic phenology, the soil-surface parameters of silting-up and surface routing, and the
// frost factors of the soil. The settings object owns the table, an array of count + 1 records
// (defaultini::ReadLanduseTable in setup/table_sections.cpp): record 0 is the summary (its code
// is the count), records 1..count the entries in the order of the section. After set-up the
// land-use grid holds record indexes, so a model reads `table[grid value]` directly.
//
// Per-fixpoint arrays hold n + 1 values: indexes 1..n belong to the fixpoints, index 0 is the
// wrap-around value (the value of fixpoint n; for the day array the day of fixpoint n - 366), so
// one generic evaluator can walk any of them over the year end. An empty array means "not
// read". Fixed-format records (method 1) have n = 4 and hold the three surface resistances as
// 14 monthly values instead (0 December, 1..12 January..December, 13 January).
//
// Parsers (tables/landuse_entries.cpp): ParseEntryOldFormat reads a one-line entry,
// ParseEntry a brace block of key = value; items. Both throw ErrorCode 29 after their FATAL
// entries; nothing of a partly filled record may be used afterwards.
//
// Seasonal evaluation (tables/landuse_seasonal.cpp): every Get<Parameter> (at a date) and
// Interpolate<Parameter> (at a day of year) runs one generic evaluator over the parameter's
// series, with the altitude shift of the fixpoint days, the per-cell start days of dynamic
// phenology (PhenologyLinks, set by the land-use parameter grids) and the parameter's hold rule.
//
// Threads: after set-up a record is only read (many threads at once), except for the
// phenology start day and flag that dynamic phenology writes. Evaluations keep their working
// values to themselves and write nothing here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velorn {

class DiagnosticStream;

// Code of every failure while one land-use entry is parsed.
inline constexpr int kLanduseEntryErrorCode = 29;
// Longest land-use name.
inline constexpr std::size_t kMaxLanduseNameLength = 199;
// Value of the frost n-factors when an entry gives none.
inline constexpr double kNoFrostFactor = -9999.9;

// Error codes of the seasonal evaluation: a day of year outside 0..366, a fixpoint interval
// outside 1..n + 1 (or a record without fixpoints), an altitude-shifted day outside -1..366, a
// month outside 1..12 in the monthly rule.
inline constexpr int kDayOfYearCode = 150;
inline constexpr int kFixpointIntervalCode = 151;
inline constexpr int kShiftedDayCode = 152;
inline constexpr int kMonthCode = 154;
// Altitude in metres at which the fixpoint days hold unshifted.
inline constexpr double kFixpointReferenceAltitude = 400.0;

// The per-layer, per-cell state of dynamic phenology that the evaluation of entries of methods
// 3 to 6 reads, indexed [layer][row][column] (layers from 1; index 0 unused). Owned by the
// land-use parameter grids of the settings object; an empty vector means the state does not
// exist. fixpoint_days[l][r][c] holds the cell's own fixpoint days (index 0: the forcing sum
// at which the current interval began; -1: not yet reached).
struct PhenologyLinks {
  std::vector<double**> start_day;       // "Pheno_start": -1 while no start day is known
  std::vector<double***> fixpoint_days;  // "MultipleStartTimes"
  std::vector<double**> forcing_sum;     // "SumOfForcingUnits"
};

// Which dynamic-phenology methods keep a parameter at the value of the fixpoint before the
// dynamic start fixpoint until the cell's start day.
enum class StartDayHold { kNone, kMethods3And4, kMethods3To6 };

// The seasonal parameters of a record, each held as a series over the fixpoints.
enum class LanduseSeries {
  kRsc,
  kRsInterception,
  kRsEvaporation,
  kAlbedo,
  kLAI,
  kZ0,
  kVCF,
  kRootDepth,
  kStemDiameter,
  kResidueCoverage,
  kNFactor,
};

struct LanduseRecord;

// The shifted fixpoint days of one (entry, start day, altitude), kept for the evaluations that
// follow: the grid update evaluates up to ten parameters of a cell from the same days, and
// neighbouring cells of one entry often share an altitude. The vectors are scratch space that
// keeps its capacity, so evaluating through one cache allocates only while it grows. One cache
// per thread (not shared); it holds no pointer into the table beyond the key.
struct ShiftedDaysCache {
  const LanduseRecord* record = nullptr;  // the key: entry, start day and altitude
  int start_day = 0;
  double altitude = 0;
  std::vector<int> days;
  // Scratch of the ordering of the days.
  std::vector<bool> is_day;
  std::vector<long> block_sum;
  std::vector<long> block_count;
  std::vector<std::size_t> members;
};

struct LanduseRecord {
 public:
  LanduseRecord();
  explicit LanduseRecord(int code_arg);

  // --- Parsers --------------------------------------------------------------------------------
  // One fixed-format line: code, name, albedo, 12 monthly resistances, 4 days, 4 values each of
  // LAI, Z0, VCF and root depth, and with variant 2 optionally RootDist and HReduDry.
  void ParseEntryOldFormat(DiagnosticStream& diag, const std::string& line, int variant);
  // One block entry ("<code> <name> method <method name> { key = value; ... }").
  void ParseEntry(DiagnosticStream& diag, const std::string& text, const std::string& method_name);
  // Fills values[1..n] from the key's list and sets values[0] = values[n]. An absent key, a
  // list of another length than n or an item that is no number writes its FATAL entry and
  // throws 29 (the entry's closing message is ParseEntry's).
  void ReadKeyValues(DiagnosticStream& diag, const std::string& text, const std::string& key,
                     std::vector<double>& values, int count) const;
  // The two day lists: `JulDays` (sets n) and `SoilTillage`.
  void ParseJulDays(DiagnosticStream& diag, const std::string& text);
  void CheckFixpointDays(DiagnosticStream& diag) const;
  void ParseSoilTillage(DiagnosticStream& diag, const std::string& text);

  // --- Identity -------------------------------------------------------------------------------
  const std::string& GetName() const { return name; }
  int GetCode() const { return code; }
  void SetCode(int code_arg) { code = code_arg; }
  int GetMethod() const { return method; }
  int GetFixpointCount() const { return n; }

  // --- Soil-water balance, evapotranspiration, interception -----------------------------------
  double GetRootDist() const { return RootDist; }
  double GetHReduDry() const { return HReduDry; }
  double GetTReduWet() const { return TReduWet; }
  double GetLimitReduWet() const { return LimitReduWet; }
  double GetETPHamonFactor() const { return ETPHamonFactor; }
  double GetIntercepCap() const { return IntercepCap; }
  double GetStressFactorDynPhen() const { return StressFactorDynPhen; }
  double GetNfFreezing() const { return nf_freezing; }
  double GetNfThawing() const { return nf_thawing; }

  // --- Fixpoints ------------------------------------------------------------------------------
  const std::vector<int>& GetJulDays() const { return JulDays; }
  // JulDays[i]; -1 when i lies outside 0..n.
  int GetJulDay(int i) const;
  const std::vector<double>& GetAltDeps() const { return AltDep; }
  // AltDep[i]; 0.0 when i lies outside 0..n.
  double GetAltDep(int i) const;
  const std::vector<double>& GetForcingThresholds() const { return ForcingThreshold; }
  // The values of a seasonal parameter at indexes 0..n (0..13 for the resistances of method 1),
  // as an evaluation over the fixpoints takes them; empty when not read.
  const std::vector<double>& GetSeries(LanduseSeries series) const;
  // ForcingThreshold[i]; -1.0 when i lies outside 0..n or the method is not 5.
  double GetForcingThreshold(int i) const;

  // --- Vegetation period and switches of internal parameters ----------------------------------
  int GetStartVegetationPeriodForBalance() const { return StartVegetationPeriodForBalance; }
  int GetStopVegetationPeriodForBalance() const { return StopVegetationPeriodForBalance; }
  int GetJDVegetationResetForBalance() const { return JDVegetationResetForBalance; }
  void SetJDVegetationResetForBalance(int day) { JDVegetationResetForBalance = day; }
  int GetJDVegetationWriteForBalance() const { return JDVegetationWriteForBalance; }
  void SetJDVegetationWriteForBalance(int day) { JDVegetationWriteForBalance = day; }
  // Bits 128 down to 1 stand for Z0, RootDepth, VCF, LAI, rs_interception, rsc,
  // rs_evaporation and Albedo.
  int GetParameterSwitchBits() const { return parameter_switch_bits; }
  bool TestParameterSwitch(int mask) const { return (parameter_switch_bits & mask) != 0; }
  const std::string& GetParameterSwitchText() const { return parameter_switch_text; }

  // --- Dynamic phenology ----------------------------------------------------------------------
  int GetPhenologyStartDay() const { return phenology_start_day; }
  void SetPhenologyStartDay(int day) { phenology_start_day = day; }
  bool GetPhenologyFlag() const { return phenology_flag; }
  void SetPhenologyFlag(bool flag) { phenology_flag = flag; }
  int GetPhenologyFixpointIndex() const { return phenology_fixpoint_index; }
  double GetFStar() const { return FStar; }
  int GetJDReset_TStart() const { return JDReset_TStart; }
  int GetDP1_t1_dorm() const { return DP1_t1_dorm; }
  double GetDP1_T_Bf() const { return DP1_T_Bf; }
  int GetmaxStartJDforDP1() const { return maxStartJDforDP1; }
  int GetDP2_t0_dorm() const { return DP2_t0_dorm; }
  int GetDP2_t1_dorm() const { return DP2_t1_dorm; }
  double GetDP2_T_Bc() const { return DP2_T_Bc; }
  double GetDP2_T_Bf() const { return DP2_T_Bf; }
  double GetDP2_Par_a() const { return DP2_Par_a; }
  double GetDP2_Par_b() const { return DP2_Par_b; }
  double GetDP2_Offset_1() const { return DP2_Offset_1; }
  double GetDP2_Offset_2() const { return DP2_Offset_2; }
  int GetDP4_t0_dorm() const { return DP4_t0_dorm; }
  int GetDP4_t1_dorm() const { return DP4_t1_dorm; }
  double GetDP4_T0() const { return DP4_T0; }
  double GetDP4_T1() const { return DP4_T1; }
  double GetDP4_Par_a() const { return DP4_Par_a; }
  double GetDP4_Par_b() const { return DP4_Par_b; }
  double GetDP4_T_xylstop() const { return DP4_T_xylstop; }
  int GetDP4_t_xs1() const { return DP4_t_xs1; }
  int GetDP4_SPSLF() const { return DP4_SPSLF; }

  // --- Soil surface (silting-up, surface routing) ---------------------------------------------
  // Number of tillage days and the day array (index 0 = last day - 366; null when not read).
  void GetSoilTillage(int& count, const int*& days) const;
  // 1 conserving, 2 non-conserving, 3 other or not given (0 before an entry is read).
  int GetCultivationMethod() const { return SR_cultivation; }
  double GetCropDistX() const { return SR_CropDistX; }
  double GetCropDistY() const { return SR_CropDistY; }
  double GetK_ST() const { return SR_K_ST; }
  double GetC_WR() const { return SR_C_WR; }
  // The three coefficients at indexes 1..3 (zeros when not read).
  void GetRoughCoeff1(double& c1, double& c2, double& c3) const;
  void GetRoughCoeff2(double& c1, double& c2, double& c3) const;

  // --- Seasonal parameters (tables/landuse_seasonal.cpp) --------------------------------------
  // Day of year of a date (February of the date's own year); outside 0..366: ErrorCode 150.
  int GetDayOfYear(int day, int month, int year) const;
  // The fixpoint days s[0..n] shifted by altitude, with the dynamic start fixpoint set to
  // `start_day` (methods 3, 4, 6); a day outside -1..366 is FATAL (152).
  std::vector<int> ShiftFixpoints(DiagnosticStream& diag, int start_day, double altitude) const;
  // The same days through `cache`: computed only when the cache holds another key.
  const std::vector<int>& ShiftFixpoints(DiagnosticStream& diag, int start_day, double altitude,
                                         ShiftedDaysCache& cache) const;
  // The same days into `cache` without a message: false (and the cache keyed to nothing) where
  // ShiftFixpoints would end in its FATAL entry.
  bool ShiftFixpointsInto(int start_day, double altitude, ShiftedDaysCache& cache) const;
  // Index 1..n + 1 of the shifted fixpoint that ends the interval holding day `d`.
  int FindFixpointInterval(DiagnosticStream& diag, int d, int start_day, double altitude) const;
  static double InterpolateLinear(double x0, double y0, double x1, double y1, double x);
  // The day of fixpoint i of a cell at `altitude` (the altitude shift alone); a negative day,
  // which marks the dynamic start fixpoint, stays as it is.
  int ShiftedFixpointDay(int i, double altitude) const;
  // The fixpoint days shifted by altitude and kept in order (crossing days meet at their mean);
  // index 0 is the shifted last day minus 366. The dynamic start fixpoint and the one after it
  // keep their table values.
  std::vector<int> AltitudeShiftedDays(double altitude) const;
  [[noreturn]] void FailShiftedDay(DiagnosticStream& diag, double day, int i) const;

  // The generic evaluation of `series` at day of year d for one cell and land-use layer, and at
  // a date (monthly rule for the resistances of the fixed format). A cache (optional) keeps the
  // shifted days for the next evaluation of the same entry, start day and altitude.
  double EvaluateAtDay(DiagnosticStream& diag, LanduseSeries series, int d, int layer, long row,
                       long col, double altitude, ShiftedDaysCache* cache = nullptr) const;
  double EvaluateAtDate(DiagnosticStream& diag, LanduseSeries series, int day, int month, int year,
                        int layer, long row, long col, double altitude,
                        ShiftedDaysCache* cache = nullptr) const;

  double GetRsc(DiagnosticStream& diag, int day, int month, int year, int layer, long row, long col,
                double altitude) const;
  double GetRsInterception(DiagnosticStream& diag, int day, int month, int year, int layer,
                           long row, long col, double altitude) const;
  double GetRsEvaporation(DiagnosticStream& diag, int day, int month, int year, int layer, long row,
                          long col, double altitude) const;
  double GetZ0(DiagnosticStream& diag, int day, int month, int year, int layer, long row, long col,
               double altitude) const;
  double GetLAI(DiagnosticStream& diag, int day, int month, int year, int layer, long row, long col,
                double altitude) const;
  double GetVCF(DiagnosticStream& diag, int day, int month, int year, int layer, long row, long col,
                double altitude) const;
  double GetRootDepth(DiagnosticStream& diag, int day, int month, int year, int layer, long row,
                      long col, double altitude) const;
  double GetAlbedo(DiagnosticStream& diag, int day, int month, int year, int layer, long row,
                   long col, double altitude) const;
  double GetStemDiameter(DiagnosticStream& diag, int day, int month, int year, int layer, long row,
                         long col, double altitude) const;
  double GetResidueCoverage(DiagnosticStream& diag, int day, int month, int year, int layer,
                            long row, long col, double altitude) const;
  double InterpolateRsc(DiagnosticStream& diag, int d, int layer, long row, long col,
                        double altitude) const;
  double InterpolateRsInterception(DiagnosticStream& diag, int d, int layer, long row, long col,
                                   double altitude) const;
  double InterpolateRsEvaporation(DiagnosticStream& diag, int d, int layer, long row, long col,
                                  double altitude) const;
  double InterpolateZ0(DiagnosticStream& diag, int d, int layer, long row, long col,
                       double altitude) const;
  double InterpolateLAI(DiagnosticStream& diag, int d, int layer, long row, long col,
                        double altitude) const;
  double InterpolateVCF(DiagnosticStream& diag, int d, int layer, long row, long col,
                        double altitude) const;
  // A failure adds the cell's coordinates, layer, altitude, day and code to the diagnostics.
  double InterpolateRootDepth(DiagnosticStream& diag, int d, int layer, long row, long col,
                              double altitude, ShiftedDaysCache* cache = nullptr) const;
  double InterpolateAlbedo(DiagnosticStream& diag, int d, int layer, long row, long col,
                           double altitude) const;
  double InterpolateStemDiameter(DiagnosticStream& diag, int d, int layer, long row, long col,
                                 double altitude) const;
  double InterpolateResidueCoverage(DiagnosticStream& diag, int d, int layer, long row, long col,
                                    double altitude) const;
  // The n-factor over the unshifted fixpoint days.
  double GetNFactor(DiagnosticStream& diag, int day, int month, int year) const;
  double InterpolateNFactor(DiagnosticStream& diag, int d) const;

  // Vegetation-period tests: the day (or day - 366 across the year end) when day d lies in the
  // vegetation period (start) or is its last fixpoint's day (stop); -1.0 otherwise; 0.0 when
  // the entry has no start (stop) fixpoint.
  double GetVegetationStartDay(DiagnosticStream& diag, int d, int layer, long row, long col,
                               double altitude, ShiftedDaysCache* cache = nullptr) const;
  double GetVegetationStopDay(DiagnosticStream& diag, int d, int layer, long row, long col,
                              double altitude, ShiftedDaysCache* cache = nullptr) const;
  double GetVegetationStartDayAt(DiagnosticStream& diag, int day, int month, int year, int layer,
                                 long row, long col, double altitude) const;

  // Points the entry at the per-cell phenology state (null: none).
  void LinkPhenology(const PhenologyLinks* links) { phenology_links = links; }

 private:
  // Steps of ParseEntry (tables/landuse_entries.cpp).
  void ReadHeadWords(DiagnosticStream& diag, const std::string& head);
  void CheckName(DiagnosticStream& diag);
  void ReadScalarKeys(DiagnosticStream& diag, const std::string& block);
  void ReadPhenologyKeys(DiagnosticStream& diag, const std::string& block);
  void ReadSeasonalLists(DiagnosticStream& diag, const std::string& block);
  void ReadSoilSurfaceKeys(DiagnosticStream& diag, const std::string& block);
  void ReadOldFormatValues(DiagnosticStream& diag, const std::vector<std::string>& words,
                           int variant);
  // The defaults that a block entry gives the optional soil-surface and frost fields.
  void SetSoilSurfaceDefaults();
  // Steps of the seasonal evaluation.
  int StartDayOf(int layer, long row, long col) const;
  const double* CellFixpointDays(int layer, long row, long col) const;
  double EvaluateCellDays(const std::vector<double>& v, const double* p, int d, int layer, long row,
                          long col) const;
  int CellUpperFixpoint(const double* p, int d) const;
  double MonthlyRule(const std::vector<double>& v, int day, int month, int year) const;
  // The days of AltitudeShiftedDays into the cache's vectors.
  void AltitudeShiftedDaysInto(double altitude, ShiftedDaysCache& cache) const;
  // The shifted days of a cell, through the cache when there is one, else into `local`.
  const std::vector<int>& CellShiftedDays(DiagnosticStream& diag, int layer, long row, long col,
                                          double altitude, ShiftedDaysCache* cache,
                                          std::vector<int>& local) const;

  std::string name;
  int code = 0;
  int method = 0;
  int n = 0;
  int StartVegetationPeriodForBalance = 0;
  int StopVegetationPeriodForBalance = 1000;
  int JDVegetationResetForBalance = 1;
  int JDVegetationWriteForBalance = 0;
  int parameter_switch_bits = 255;
  std::string parameter_switch_text = "11111111";
  int phenology_start_day = 0;
  int phenology_fixpoint_index = 0;
  std::vector<int> JulDays;
  std::vector<double> rsc;
  std::vector<double> rs_interception;
  std::vector<double> rs_evaporation;
  std::vector<double> Albedo;
  std::vector<double> LAI;
  std::vector<double> Z0;
  std::vector<double> VCF;
  std::vector<double> RootDepth;
  std::vector<double> AltDep;
  std::vector<double> ForcingThreshold;
  double RootDist = 0;
  double HReduDry = 0;
  double TReduWet = 0;
  double LimitReduWet = 0;
  // Read by the Hamon evapotranspiration and the frozen-soil code for every record, so every
  // record carries the values a block entry without these keys gets.
  double ETPHamonFactor = 1.0;
  double FStar = 0;
  int JDReset_TStart = 0;
  int DP1_t1_dorm = 0;
  double DP1_T_Bf = 0;
  int DP2_t0_dorm = 0;
  int DP2_t1_dorm = 0;
  double DP2_T_Bc = 0;
  double DP2_T_Bf = 0;
  double DP2_Par_a = 0;
  double DP2_Par_b = 0;
  double DP2_Offset_1 = 0;
  double DP2_Offset_2 = 0;
  int DP4_t0_dorm = 0;
  int DP4_t1_dorm = 0;
  double DP4_T0 = 0;
  double DP4_T1 = 0;
  double DP4_Par_a = 0;
  double DP4_Par_b = 0;
  double DP4_T_xylstop = 0;
  int DP4_t_xs1 = 0;
  int DP4_SPSLF = 0;
  int maxStartJDforDP1 = 0;
  bool phenology_flag = false;
  double StressFactorDynPhen = 0;
  double IntercepCap = -1.0;
  std::vector<int> SoilTillage;
  int SoilTillageCount = 0;
  int SR_cultivation = 0;
  std::vector<double> SR_StemDiameter;
  std::vector<double> SR_ResidCovrg;
  double SR_CropDistX = 0;
  double SR_CropDistY = 0;
  double SR_K_ST = 0;
  double SR_C_WR = 0;
  std::vector<double> SR_rough_coeff1;
  std::vector<double> SR_rough_coeff2;
  std::vector<double> n_factor;
  double nf_freezing = kNoFrostFactor;
  double nf_thawing = kNoFrostFactor;
  const PhenologyLinks* phenology_links = nullptr;
};

// Fills summary record 0 of a table of count + 1 records: its code is the count; its
// JDVegetationWriteForBalance the first value of at least 1 among records 1..count (else 365),
// its JDVegetationResetForBalance the first value above 0 (else 1).
void SummariseLanduseTable(std::vector<LanduseRecord>& table);

}  // namespace velorn

// verdunstungsmodellklasse: the evapotranspiration sub-model (module "etpetr", section
// [evapotranspiration], lake settings from [lake_model]).
//
// Owns the grids of potential and real transpiration, potential interception evaporation (per
// vegetation layer 0..n, 0 the cell total), potential, real and snow evaporation, corrected
// global radiation, cloudiness and the sunshine bookkeeping "SSDTemp", with one zone statistics
// table per output and layer. Reads meteorological, land-use parameter, glacier, lake and soil
// grids from the registry.
//
// The application constructs it after the radiation correction, hands over the sub-step count,
// the snow model's solid snow storage, the radiation-correction matrix and the snow method,
// calls ReadLakeSection, and per step (in this order among the other models):
//   ComputePotentialEvapotranspiration   potential values by Penman-Monteith (1, per layer with
//                                        day and night parts), Hamon (2), Wendling (3), Haude (4)
//   ComputeSnowEvaporation               snow evaporation out of the potentials; the booked
//                                        amount is taken out of the snow model's solid storage
//                                        (and the glacier snow storage) here, so the snow model
//                                        must not subtract "snow_evaporation" again
//   BeginRealEvapotranspirationStep      after the first phases of soil and surface routing
//   RunSubStep (empty)                   every sub-step; the soil model writes the real values
//   FinishStep                           sums, glacier weighting, statistics and output
// ComputeRealEvapotranspiration is a simple bucket that may stand in for the soil model.
//
// Source files: evapotranspiration_setup.cpp (section, checks, grids, tables, lake section,
// accessors), potential_evapotranspiration.cpp (the potential step), real_evapotranspiration.cpp
// (snow evaporation, real step, bucket). The formulas are in evaporation_physics.h.
//
// With hydrologic response units only the master cells are computed; after the potential step
// and after the snow evaporation the other cells of a unit take their master's values, from
// whichever process computed it (core/response_unit_results.h, one reduction each).
//
// Limits: methods 2-4 only for one vegetation layer; at most 24 daylight sub-intervals per step.
// The per-cell loops run through ForEachRow over this process's rows; statistics and output run
// on the calling thread afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
#include "core/zone_statistics.h"

namespace velorn {

// Codes of the failures of this model.
inline constexpr int kEvapMonthlyValuesCode = 45;  // fewer than 12 monthly values
inline constexpr int kEvapLayersCode = 44;         // methods 2-4 with several layers
inline constexpr int kEvapInputMissingCode = 46;   // no radiation/sunshine or humidity
inline constexpr int kEvapSectionValueCode = 10;   // a value of the section out of its limits
inline constexpr int kLakeInitMethodCode = 211;    // lake initialization method not 1 or 2
inline constexpr int kLakePondMissingCode = 28;    // a lake grid without a ponding grid
inline constexpr int kConstructorOtherFailure = 103;

// Bits of the availability mask of the input grids.
enum EvapInputBits : int32_t {
  kHasAirPressure = 1,
  kHasLanduse0 = 2,
  kHasRadiation = 4,
  kHasSunshine = 8,
  kHasWind = 16,
  kHasHumidity = 32,
  kHasVapourPressure = 64,
  kHasTemperature14 = 128,
};

// One output: grid file name and write code, statistics file name and code.
struct EvapOutputSetting {
  std::string grid_name;
  int32_t write_code = 0;
  std::string statistics_name;
  int32_t statistics_code = 0;
};

// A zone statistics table with its own copy of the zone records (tables sum into them).
struct EvapStatistics {
  std::vector<ZoneRecord> records;
  std::unique_ptr<zonalstatistic> table;
};

class verdunstungsmodellklasse : public teilmodellklasse {
 public:
  // `section_name` is "evapotranspiration" in a run. `error` receives 0, the code of a failure
  // after its FATAL entry, or 103 for any other exception. A failure of the sub-model base
  // (opening the control file, the first two values) passes as ErrorCode.
  verdunstungsmodellklasse(const SubModelSetup& setup, const std::string& section_name,
                           int32_t& error);
  ~verdunstungsmodellklasse() override;

  void ReleaseMemory() override;
  void SetSubStepCount(int32_t count) override { sub_step_count = count; }
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  virtual void FlushBuffers();
  // Real roots of x*x + p*x + q (see SolveQuadraticRoots).
  virtual int SolveQuadratic(double p, double q, double& x1, double& x2);
  virtual double SaturationVaporPressure(double t);
  // One part (0 night, 1 day) of fraction f of layer `layer` at a cell; returns the
  // transpiration and sets the soil and interception evaporation of the part. ra and the
  // remaining night and day energies carry over between the layers of a cell.
  virtual double ComputeCellEvaporation(double t, double f, int layer, int row, int col, int part,
                                        double& soil_evaporation, double& interception_evaporation,
                                        double& ra, double& night_energy, double& day_energy,
                                        double s, double net_shortwave, double lai_above);
  // Finds "soil_storage" and "available_soil_moisture"; 0 when the model is off.
  virtual int FetchSoilGrids();
  // Store the hand-overs when the model is on; return the active flag.
  virtual int SetSolidSnowStorage(double** snow_storage);
  virtual int SetRadiationCorrection(double** correction);
  virtual void ComputePotentialEvapotranspiration(int64_t hour, int64_t day, int64_t month,
                                                  int64_t year);
  virtual void ComputeSnowEvaporation(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void ComputeRealEvapotranspiration(int64_t hour, int64_t day, int64_t month,
                                             int64_t year);
  virtual void BeginRealEvapotranspirationStep(int64_t hour, int64_t day, int64_t month,
                                               int64_t year);
  virtual void RunSubStep(int64_t, int64_t, int64_t, int64_t) {}
  virtual void FinishStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void ReadLakeSection(const std::string& section);
  virtual void SetSnowMethod(int32_t method) { snow_method = method; }

  // --- Settings --------------------------------------------------------------------------------
  int32_t method = 0;  // 1 Penman-Monteith, 2 Hamon, 3 Wendling, 4 Haude
  // Monthly values, [0] December, [1..12] January..December, [13] January.
  std::array<double, 14> PEC{};
  std::array<double, 14> fh{};
  std::array<double, 14> temperature_amplitude{};
  double fk = 0;
  // Outputs: potential transpiration, real transpiration, potential evaporation, real
  // evaporation, snow evaporation, potential interception evaporation.
  EvapOutputSetting etp_output, etr_output, evap_potential_output, evap_real_output,
      snow_evap_output, eip_output;
  std::string radiation_statistics_name;
  int32_t radiation_statistics_code = 0;
  std::string cloudiness_statistics_name = "cloudiness";
  int32_t cloudiness_statistics_code = 0;
  std::array<double, 4> CS{};  // relative radiation from relative sunshine
  std::array<double, 4> C{};   // relative sunshine from relative radiation
  double radiation_lower_limit = 0;
  double transmissivity_mean = 0;
  double transmissivity_amplitude = 0;
  double amplitude_scale_height = 0;
  double amplitude_fraction_day = 0;
  double amplitude_fraction_night = 0;
  double annual_variability = 0;
  double HamonCorrectionOpenWater = 1.0;
  std::array<double, 24> physical_constants{};
  double longwave_factor = 0;  // Stefan-Boltzmann constant * step hours

  // Lake (open water).
  int32_t lake_flow_control = 0;
  int32_t lake_init_method = 0;
  double Albedo_OpenWater = 0;
  double z0_OpenWater = 0;

  // Hand-overs.
  double** solid_snow_storage = nullptr;
  double** radiation_correction = nullptr;
  int32_t snow_method = 0;

  // --- Layers, inputs and outputs --------------------------------------------------------------
  int32_t layer_count = 1;
  int32_t availability = 0;  // EvapInputBits
  bool net_radiation_mode = false;
  // Per layer 0..n.
  std::vector<double**> landuse, leaf_area_index, root_depth, vegetation_coverage,
      canopy_resistance, interception_resistance, roughness_length;
  double** temperature = nullptr;
  double** temperature_night = nullptr;
  double** elevation = nullptr;
  double** wind_speed = nullptr;
  double** evaporation_resistance = nullptr;
  double** albedo = nullptr;
  double** radiation = nullptr;  // net or global radiation
  double** sunshine = nullptr;
  double** vapour_pressure = nullptr;
  double** humidity = nullptr;
  double** air_pressure = nullptr;
  double** glacier_fraction = nullptr;
  double** soil_storage = nullptr;
  double** soil_capacity = nullptr;
  double** response_units = nullptr;
  double** master_response_units = nullptr;
  double** lake_codes = nullptr;
  double** ponding = nullptr;
  // The leaves' interception evaporation ("interception_evaporation0"), part of the total real
  // evapotranspiration, and the sublimation of the canopy's snow ("Snow_canopy_sublim", with
  // canopy snow only), which has its own grid and table and stays out of that total.
  double** interception_evaporation = nullptr;
  double** canopy_sublimation = nullptr;
  double InterceptionEvaporation(long r, long c) const {
    return interception_evaporation != nullptr ? interception_evaporation[r][c] : 0.0;
  }
  double CanopySublimation(long r, long c) const {
    return canopy_sublimation != nullptr ? canopy_sublimation[r][c] : 0.0;
  }
  double** glacier_snow_evaporation = nullptr;
  double** glacier_snow_storage = nullptr;
  bool glacier_grids_looked_up = false;
  // The glacier shares at the start of the real step: a dynamic glacier's evaluation at the end
  // of a day changes the shares before FinishStep, while the step's water evaporated under the
  // old ones, so the tables weigh the step with these.
  GridMatrix step_glacier_share;

  // Own grids, per layer 0..n, and the single ones; their registry indexes.
  std::vector<GridMatrix> pot_transpiration, real_transpiration, pot_interception;
  GridMatrix potential_evaporation, real_evaporation, snow_evaporation, corrected_radiation,
      cloudiness, ssd_temp;
  std::vector<int> registered;
  std::vector<int> pot_transpiration_index, real_transpiration_index, pot_interception_index;
  int potential_evaporation_index = 0, real_evaporation_index = 0, snow_evaporation_index = 0;

  // Statistics, per layer 0..n and single.
  std::vector<EvapStatistics> pot_transpiration_stats, pot_interception_stats, real_et_stats;
  EvapStatistics potential_evaporation_stats, real_evaporation_stats, snow_evaporation_stats,
      radiation_stats, cloudiness_stats;

  // --- Per step --------------------------------------------------------------------------------
  int day_of_year = 0;
  int sub_interval_count = 0;
  double sub_interval_length = 0;
  std::array<double, 25> solar_sine{};
  double transmissivity = 0;
  double amplitude_of_day = 0;
  double annual_term = 0;
  double hamon_factor_of_day = 1;
  int32_t daytime_steps = 0;
  bool day_begun = false;
  bool skip_radiation = false;

 protected:
  // The cell is computed on this process (zone, owner and, with units, master tests).
  bool IsComputedCell(long r, long c) const;
  // The cell belongs to this process (zone and owner tests only).
  bool IsOwnCell(long r, long c) const;
  int ZoneIndex(long r, long c) const;
  // "INFO: " title day.month.year hour. h (time of meteo data), when the report interval says.
  void Announce(const char* title, bool outside_parallel_only);
  void StoreDate(int64_t hour, int64_t day, int64_t month, int64_t year);
  bool IsLakeCell(long r, long c) const;
  double GlacierShare(long r, long c) const;
  // The share the cell had when the real step began (the current one outside a step).
  double StepGlacierShare(long r, long c) const;
  // With response units: every own cell that is not a master takes the values of `grids` at its
  // unit's master, from whichever process computed it (one reduction for all grids); a unit
  // outside the table or without a computed master ends the run with code 1162. Collective.
  void CopyFromMasters(const std::vector<double**>& grids);
  void CollectAndReset(EvapStatistics& stats);
  // Ends the step of several tables with one reduction for all of them.
  void CollectAll(const std::vector<EvapStatistics*>& all);

 private:
  void ReadSection();
  void ReadOutputSetting(EvapOutputSetting& output, const char* name_label, const char* code_label,
                         const char* statistics_label);
  void ReadMonthlyLine(std::array<double, 14>& values, const char* parameter, const char* method);
  void ReadMonthlyAmplitudes();
  void ReadClosingLines();
  void CheckSectionRanges();
  void CheckSettings();
  void FindInputGrids();
  void ProbeInputGrids();
  void CreateOutputGrids();
  void CreateStatistics();
  GridMatrix NewGrid();
  int Register(double** grid, const std::string& file_name, const std::string& identifier,
               int32_t write_code);
  void NewStatistics(EvapStatistics& stats, const std::string& file_name, int32_t code,
                     const std::string& title);
  // Per-cell work of the potential step.
  void PotentialRow(long r);
  void PenmanMonteithCell(long r, long c, double s, double relative_radiation,
                          double net_shortwave);
  void SingleLayerCell(long r, long c, double corrected, double cell_albedo);
  void PrepareSolarTable();
  void PotentialStatisticsAndOutput();
  void SnowEvaporationCell(long r, long c);
  void BucketCell(long r, long c);
  void ResetRealStatistics();
};

// The output name of layer `layer`: "_Layer_<layer>" before the last "." of `name` (at its end
// when it has none).
std::string LayerFileName(const std::string& name, int layer);

}  // namespace velorn

// expokorrklasse: the correction of radiation and temperature for the exposure of each cell.
//
// At every N-th call of its step the sub-model integrates the clear-sky radiation on each
// cell's inclined surface (slope and aspect) over S sub-intervals of the step, with no direct
// radiation where the terrain shades the cell, and divides it by the radiation on a horizontal
// surface: the grid "radiation_correction" of factors that the evapotranspiration and snow
// models use. Methods 2 and 4 also correct the temperature with the logarithm of the factor
// ("corr_temperature", recomputed from the current temperature at every call so that a model
// that changes it in place between two computed steps cannot make it drift). The grid
// "temperature_night" exists in every run: the temperature grid itself for steps of at most
// 12 hours, else a copy taken at every step.
//
// The application constructs it with the section "[radiation_correction]" after the
// precipitation correction and calls RunStep once per time step after the data assimilation.
//
// Methods 1 and 2 shade the terrain: every process marches the shadow rays through its own rows
// of the grid "Shadow" in every sunlit sub-interval, from a copy of the whole elevation model
// that process 0 (which holds it whole after the set-up) broadcasts once, at the first scan
// (collective: every process calls RunStep). The grid is cleared only after a scan wrote it.
// Methods 3 and 4 do not shade. The sine and cosine of each cell's slope are computed once, at
// the first sunlit sub-interval; those of the sun's zenith once per sub-interval.
// Borrowed grids are fetched from their registry entries at every step.
#pragma once

#include <cstdint>
#include <string>

#include "core/matrix.h"
#include "core/submodel.h"

namespace velorn {

// Constructor failures that are no ErrorCode.
inline constexpr int kConstructionFailureCode = 103;

class expokorrklasse : public teilmodellklasse {
 public:
  // `error` receives 0, the code of a failure of the sub-model's own set-up, or 103 for any
  // other exception (failures of the base constructor are thrown as ErrorCode).
  expokorrklasse(int32_t& error, const SubModelSetup& setup);

  // Frees and unregisters the grids it created, then runs the base release.
  void ReleaseMemory() override;
  // One time step (hour of the data, day, month, year).
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // The factors "radiation_correction" when the sub-model is on (flow control 1), else null.
  virtual double** GetCorrectionGrid();

  // --- Settings of the section ------------------------------------------------------------------
  int32_t method = 2;
  std::string tkorr_file_name;
  int32_t corr_temperature_write_code = 0;
  double temperature_scaling = 1.0;
  std::string exkorr_file_name;
  int32_t radiation_correction_write_code = 0;
  std::string shape_file_name;
  int32_t shadow_write_code = 0;
  int32_t step_divisor = 1;  // the correction is computed at every N-th call
  int32_t step_counter = 1;  // starts at N so that the first call computes
  int32_t splittings = 1;    // sub-intervals per step

  // --- Grids and registry indexes (0: none) -----------------------------------------------------
  GridMatrix radiation_correction;
  GridMatrix shadow;  // own rows: scan_first_row..scan_last_row
  GridMatrix ieff_max;
  GridMatrix corr_temperature;
  GridMatrix own_temperature_night;  // only for steps longer than 12 hours
  int radiation_correction_index = 0;
  int shadow_index = 0;
  int ieff_max_index = 0;
  int corr_temperature_index = 0;
  int temperature_night_index = 0;
  int elevation_index = 0;
  int aspect_index = 0;
  int slope_index = 0;
  int sunshine_index = 0;
  int temperature_index = 0;
  int master_unit_index = 0;
  int32_t scan_first_row = 1;
  int32_t scan_last_row = 0;

  // --- State of the last computed step -----------------------------------------------------------
  double flat_sum = 0;  // radiation on a horizontal surface
  double sunrise = 0;
  double sunset = 0;

 private:
  void ReadSettings();
  void RegisterOwnGrids();
  void SetUpNightTemperature();
  // A grid of the own rows (or of `first`..`last`), nodata where the elevation is nodata.
  GridMatrix OwnGrid(int32_t first, int32_t last) const;
  int RegisterNext(const std::string& file_name, GridMatrix& grid, const std::string& identifier,
                   int32_t write_code);
  void ComputeCorrection(int64_t hour);
  // The radiation of one sub-interval centred at `centre` added to every own valid cell.
  void AddSubInterval(double centre, double length, bool last);
  void ResetShadow();
  // The whole elevation model: process 0's own, a copy received once on the others.
  const double* const* WholeElevation();
  // Sine and cosine of the slope and the aspect in radians of the own cells, once.
  void PrepareSlopeTerms();
  void FinishFactors();
  void CorrectTemperature();
  // Refreshes the borrowed grids that decide which cells are computed.
  void FetchCellGrids();
  bool OwnValidCell(int64_t row, int64_t column) const;
  double** Data(int index) const;

  bool shading_ = false;
  bool shadow_written_ = false;  // a scan wrote the shadow since it was last cleared
  bool slope_terms_ready_ = false;
  bool elevation_shared_ = false;
  GridMatrix elevation_copy_;
  GridMatrix cos_slope_;
  GridMatrix sin_slope_;
  GridMatrix aspect_radians_;
  SunState sun_state_ = SunState::kRisesAndSets;
  double** elevation_data_ = nullptr;
  double** master_unit_data_ = nullptr;
};

}  // namespace velorn

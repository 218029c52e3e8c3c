// precicorrclass: correction of measured precipitation for the catch deficit of the gauges.
//
// The catch deficit grows with wind speed and differs between rain and snow: the correction
// multiplies precipitation by F = AR W + KR when the air temperature T is above the threshold
// GT (rain), else F = AS W + KS (snow); without temperature F is the rain factor, without wind
// W = 0. The section [precipitation_correction] holds do_it, GT, KR, AR, KS and AS.
//
// Two modes:
// - station mode (precipitation, temperature and wind speed all interpolated from stations):
//   CorrectStationValues corrects the precipitation stations of the current record before the
//   interpolation, with temperature and wind interpolated to each station, and for the
//   regression methods (2, 3, 10, 11) refits the regression lines of zone 1 from corrected
//   samples along altitude;
// - grid mode (any of the three taken from a grid): CorrectGrid corrects the registered grid
//   "precipitation" cell by cell after the interpolation. Whether the grid is new is decided
//   per step, never from its values: an interpolated grid is new in every step, a grid read
//   from files when it was read again (or restored) since the last correction. A grid that is
//   not new is corrected from its uncorrected values again, so the correction never compounds.
//
// The application constructs the object after the interpolators and the regional
// superposition, calls SetParameter with the highest elevation of the basin, CorrectStationValues
// before and CorrectGrid after the interpolation as the mode asks, and ReleaseMemory at the end.
// The constructor never throws: it returns 0, the code of a failure (28 open, 11 close, 17 a
// value that cannot be read, 33 no precipitation) or 103 through its error argument.
//
// CorrectGrid runs over this process's rows ("MPIRegions" equal to the rank) with ForEachRow.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/modelobject.h"
#include "core/submodel_setup.h"
#include "meteo/station_regression.h"

namespace velorn {

class meteointerpol;

// The coefficients of the section.
struct CatchCorrection {
  double GT = 0;          // threshold temperature: above it precipitation is rain
  double KR = 1, AR = 0;  // rain: constant and slope per unit wind speed
  double KS = 1, AS = 0;  // snow
};

// The correction factor at temperature T and wind speed W (T == GT counts as snow).
constexpr double CorrectionFactor(const CatchCorrection& k, double T, double W) {
  return T > k.GT ? k.AR * W + k.KR : k.AS * W + k.KS;
}

// Altitudes 0, Z/10, ..., Z (eleven samples; Z <= 0 gives the one sample 0, Z < 0 none).
std::vector<double> LineSamples(double Z);
// Altitudes from `from` in steps of (top - from) / 10 while at or below max(2 from, top); at
// most 1001 of them: a shorter step is widened so that they still reach that altitude.
std::vector<double> UpperLineSamples(double from, double top);

// The least-squares line through (h, (A h + B) F(h)) over the samples. Samples at one altitude
// fix no slope: both coefficients are then multiplied by the factor there.
void RefitLine(double& B, double& A, const std::vector<double>& heights,
               const std::function<double(double)>& factor);

// Corrects the lines of `zone` (ZL, ZU, B, A) with the factor along altitude: the lowest line
// (line 1 with three ranges, else line 2) from 0 to its boundary, the upper line from ZU to
// `max_altitude`, then the boundaries. Zones without lines (B[1] < -N) stay unchanged.
void CorrectRegressionLines(RegressionZoneParameters& zone, double max_altitude,
                            double nodata_value, const std::function<double(double)>& factor);

class precicorrclass : public modelobject {
 public:
  // `interpolators` and `names` are the interpolated variables (element 0 unused, 1..count).
  precicorrclass(const SubModelSetup& setup, int32_t& error,
                 const std::vector<meteointerpol*>& interpolators,
                 const std::vector<std::string>& names, int32_t zone_count_arg);

  void ReleaseMemory() override;
  virtual void CorrectStationValues();
  virtual void CorrectGrid();
  virtual void SetParameter(double max_altitude) { MaxCorrectionAltitude = max_altitude; }
  // Grid mode: the grid "precipitation" is made anew in every step (by the regional
  // superposition) as an interpolator's is, not only when it is read again.
  void SetGridMadeEveryStep(bool made) { grid_made_every_step_ = made; }

  // --- Section values ---------------------------------------------------------------------------
  int32_t do_it = 1;
  CatchCorrection coefficients;
  double MaxCorrectionAltitude = 0;

  // --- Variables
  // ----------------------------------------------------------------------------------
  std::vector<meteointerpol*> interpolators;            // 1..count, not owned
  int precipitation = -1, temperature = -1, wind = -1;  // indexes into interpolators
  bool no_temperature = false, no_wind = false, grid_mode = false;
  int precipitation_method = 0;
  int station_count = 0;
  // Temperature and wind at the precipitation stations (1..station_count).
  std::vector<double> station_temperature, station_wind;

 private:
  void ReadSection();
  void SelectMode(const std::vector<std::string>& names);
  int FindName(const std::vector<std::string>& names, const std::string& wanted) const;
  // Temperature and wind of the interpolators at a point, with the replacements for missing
  // values (GT + 1 and 0).
  std::size_t PointBufferLength() const;
  double TemperatureAt(double x, double y, double z, std::vector<double>& buffer) const;
  double WindAt(double x, double y, double z, std::vector<double>& buffer) const;
  void CorrectRegression();
  void CorrectGridRow(int64_t row, double** p, double** t, double** w, double** owner,
                      double threshold, bool renewed);
  bool GridRenewed(const GridEntry& entry);

  // Grid mode: the uncorrected values, and what tells a re-read standard grid.
  GridMatrix raw_;
  bool first_grid_step_ = true;
  bool grid_made_every_step_ = false;
  std::string last_read_name_;
  bool restore_was_pending_ = false;
};

}  // namespace velorn

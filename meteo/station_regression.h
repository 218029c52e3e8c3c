// Altitude regression of meteorological station values: the regression zone model, its
// evaluation at a cell, its computation from the station values of one record, and the
// nearest-station kernel with a lapse rate.
//
// A regression zone describes a variable as three straight lines in altitude, joined at two
// boundary altitudes ZL and ZU (lower range z < ZL, middle ZL <= z <= ZU, upper z > ZU), plus
// an optional plane of residuals c0 + cx x + cy y. The parameters come from regression files
// (interpolation methods 2 and 3) or from ComputeRegressionZone over the station values of the
// current record (methods 10 and 11); the precipitation correction rewrites the lines of zone 1.
//
// Pure functions over 1-based station arrays (element 0 unused): no registry, MPI or
// diagnostics. meteointerpol (meteo/meteo_interpolator.h) calls the evaluation per cell from
// its OpenMP cell loop and the computation once per step before the loop.
//
// Missing values: with the interpolator's nodata value N a station value at or below -N is
// missing, and M = -N - 1 marks a missing result and missing parameters.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace velorn {

// Parameters of one regression zone. B[1..3] and A[1..3] are the intercepts and slopes per
// metre of the lower, middle and upper range (index 0 takes no part in the evaluation);
// c0 below -N means that the zone has no residual plane.
struct RegressionZoneParameters {
  double ZL = 0;
  double ZU = 0;
  std::array<double, 4> B{};
  std::array<double, 4> A{};
  double c0 = 0;
  double cx = 0;
  double cy = 0;
};

// A zone whose every value is the missing marker M.
RegressionZoneParameters MissingRegressionZone(double missing);

// The value of zone `zone` at altitude z and cell coordinates (x, y): M when B[1] < -N; the
// residual plane is added when c0 >= -N and neither coordinate equals `grid_nodata`.
double EvaluateRegressionZone(const RegressionZoneParameters& zone, double x, double y, double z,
                              double nodata_value, double grid_nodata);

// Settings of methods 10 and 11 (one line of the interpolation section): the lower and upper
// inversion altitudes L and U, the tolerance of the crossing, the overlap switch, the cluster
// range and the lapse rate above the upper inversion (-9999: none).
struct RegressionSettings {
  double lower = 0;
  double upper = 0;
  double tolerance = 0;
  int overlap = 0;
  double cluster_range = 0;
  double upper_lapse_rate = -9999;
};

// Station values of one record: values, altitudes and coordinates of stations 1..count.
struct RegressionStations {
  int count = 0;
  const double* value = nullptr;
  const double* altitude = nullptr;
  const double* x = nullptr;
  const double* y = nullptr;
};

// The regression zone of the station values: two least-squares lines split at the lower
// inversion L, joined at their crossing when it lies within [L - tol, U + tol] (below altitude 0
// the value stays constant) or by a middle line between L and U otherwise, and with four
// usable stations or more the least-squares plane of the residuals. No usable station gives a
// zone of missing lines; one usable station (or points too close to fit) gives constant lines.
RegressionZoneParameters ComputeRegressionZone(const RegressionStations& stations,
                                               const RegressionSettings& settings,
                                               double nodata_value);

// The determinant of the 3 x 3 matrix with the columns a, b and c (elements 1..3).
double Determinant3(const double* a, const double* b, const double* c);

// Regression regions: up to three region codes and weights per cell, and per region a
// representative cell whose codes and weights stand in for cells that lie in no region.
struct RegionRepresentative {
  int32_t row = 0;
  int32_t column = 0;
  double y = 0;
  double x = 0;
  // Region codes and weights of grids 1..3 at the representative cell (element 0 unused).
  std::array<double, 4> code{};
  std::array<double, 4> weight{};
};

struct RegressionRegions {
  // Region grids "regression_regions", "regression_regions2", "regression_regions3" and weight
  // grids "regression_weights1..3" (elements 1..3; rows of this process).
  std::array<double**, 4> region{};
  std::array<double**, 4> weight{};
  // Zone index of each region code 0..highest_code (0: no zone).
  const int32_t* zone_of_code = nullptr;
  int32_t highest_code = 0;
  // Representatives of regions 1..count (element 0 unused); count is R.
  std::vector<RegionRepresentative> representatives;
  int count = 0;
};

// The regression value of a cell blended over its regions: sum over r = 1..min(R, 3) of
// w_r times the value of the zone of the cell's code in region grid r (zones[1..]). A cell in no
// region (code <= 0) takes the codes and weights of the nearest representative (earlier wins a
// tie; a coordinate equal to `grid_nodata` leaves its term out of the distance). R < 1 gives 0;
// a zone giving M, or a code with no zone, gives M.
double EvaluateRegressionRegions(const std::vector<RegressionZoneParameters>& zones,
                                 const RegressionRegions& regions, int64_t row, int64_t column,
                                 double x, double y, double z, double nodata_value,
                                 double grid_nodata);

// Settings of method 12: lapse rate g, inversion altitude hi and lapse rate above it gu (both
// -9999 when not used), and the P-type flag (a dry nearest station keeps the cell dry).
struct LapseRateSettings {
  double lapse_rate = 0;
  double inversion_height = -9999;
  double upper_lapse_rate = -9999;
  bool p_type = false;
};

// Method 12: the value of the nearest usable station (earlier station wins a tie) moved from
// the station's altitude to z along the lapse rate(s); M without a usable station.
double LapseRateFromNearestStation(const RegressionStations& stations,
                                   const LapseRateSettings& settings, double nodata_value, double x,
                                   double y, double z);

}  // namespace velorn

// Daylight share of a sub-interval, clear-sky and slope radiation, corrected temperature and the
// terrain shading scan.
#include "meteo/radiation_correction_formulas.h"

#include <algorithm>
#include <cmath>

#include "core/row_loop.h"

namespace velorn {
namespace {

constexpr double kHoursPerDay = 24.0;

double WrapHour(double hour) {
  return hour - kHoursPerDay * std::floor(hour / kHoursPerDay);
}

// Direction of the rays and the order of their start cells for one quadrant of the azimuth.
struct RayPlan {
  int32_t row_step = 1;
  int32_t column_step = 1;
};

RayPlan PlanRays(double azimuth) {
  // The quadrant boundaries belong to the quadrant that follows them.
  if (azimuth < 1.570796326795) return {+1, -1};
  if (azimuth < 3.14159265359) return {-1, -1};
  if (azimuth < 4.7123889803850005) return {-1, +1};
  return {+1, +1};
}

// Marches one ray from (row, column) away from the sun to the edge of the grid, writing the
// shadow of the rows first_row..last_row only: the ray stops once it has passed them, and the
// rows before them only carry its height.
class Ray {
 public:
  Ray(const double* const* elevation, int32_t nrows, int32_t ncols, double nodata, double cellsize,
      double azimuth, double sun_elevation, RayPlan plan, int32_t first_row, int32_t last_row,
      double** shadow)
      : elevation_(elevation),
        shadow_(shadow),
        nrows_(nrows),
        ncols_(ncols),
        first_row_(first_row),
        last_row_(last_row),
        nodata_(nodata),
        plan_(plan) {
    const double sin_a = std::fabs(std::sin(azimuth));
    const double cos_a = std::fabs(std::cos(azimuth));
    const double tan_e = std::tan(sun_elevation);
    rows_major_ = cos_a > 0.707106781;
    if (rows_major_) {
      increment_ = static_cast<int64_t>(nrows * (sin_a / cos_a));
      span_ = nrows;
      drop_ = cellsize / cos_a * tan_e;
    } else {
      increment_ = static_cast<int64_t>(ncols * (cos_a / sin_a));
      span_ = ncols;
      drop_ = cellsize / sin_a * tan_e;
    }
  }

  bool rows_major() const { return rows_major_; }

  // False when a ray starting in `row` never enters the written rows.
  bool Reaches(int32_t row) const {
    return plan_.row_step > 0 ? row <= last_row_ : row >= first_row_;
  }

  void March(int32_t row, int32_t column) const {
    double height = elevation_[row][column];
    int64_t accumulator = -(span_ / 2);
    for (;;) {
      // The major axis advances every step; the minor one when the accumulator reaches 0.
      accumulator += increment_;
      const bool minor_step = accumulator >= 0;
      if (minor_step) accumulator -= span_;
      if (rows_major_) {
        row += plan_.row_step;
        if (minor_step) column += plan_.column_step;
      } else {
        column += plan_.column_step;
        if (minor_step) row += plan_.row_step;
      }
      if (row < 1 || row > nrows_ || column < 1 || column > ncols_) return;
      if (!Reaches(row)) return;
      height -= drop_;
      const double cell = elevation_[row][column];
      if (cell == nodata_) continue;
      const bool shaded = height > cell;
      if (row >= first_row_ && row <= last_row_) shadow_[row][column] = shaded ? 1.0 : 0.0;
      if (!shaded) height = cell;
    }
  }

 private:
  const double* const* elevation_;
  double** shadow_;
  int32_t nrows_;
  int32_t ncols_;
  int32_t first_row_;
  int32_t last_row_;
  double nodata_;
  RayPlan plan_;
  bool rows_major_ = true;
  int64_t increment_ = 0;
  int64_t span_ = 1;
  double drop_ = 0;
};

}  // namespace

SubIntervalDaylight SubIntervalDaylightShare(double sunrise, double sunset, SunState state,
                                             double centre, double length) {
  SubIntervalDaylight result;
  if (length <= 0 || state == SunState::kPolarNight) return result;
  if (state == SunState::kPolarDay) {
    result.day_fraction = 1.0;
    result.night = false;
    result.sun_time = WrapHour(centre);
    return result;
  }
  const double rise = WrapHour(sunrise);
  double day_length = WrapHour(sunset) - rise;
  if (day_length < 0) day_length += kHoursPerDay;
  const double lo = centre - length / 2;
  const double hi = centre + length / 2;
  // Daylight periods [rise + 24k, rise + 24k + day_length] of every day that can touch
  // [lo, hi]; their overlaps with it are the sunlit parts.
  double sunlit = 0;
  double longest = -1;
  const int64_t first_day = static_cast<int64_t>(std::floor((lo - rise) / kHoursPerDay)) - 1;
  const int64_t last_day = static_cast<int64_t>(std::floor((hi - rise) / kHoursPerDay)) + 1;
  for (int64_t k = first_day; k <= last_day; ++k) {
    const double start = std::max(lo, rise + kHoursPerDay * static_cast<double>(k));
    const double end = std::min(hi, rise + kHoursPerDay * static_cast<double>(k) + day_length);
    if (end <= start) continue;
    sunlit += end - start;
    if (end - start > longest) {
      longest = end - start;
      result.sun_time = WrapHour((start + end) / 2);
    }
  }
  result.day_fraction = std::clamp(sunlit / length, 0.0, 1.0);
  result.night = 1.0 - result.day_fraction > kNightFractionLimit;
  return result;
}

double ClearSkyRadiation(double day_fraction, double length, double sun_elevation) {
  if (sun_elevation <= kLowestSunElevation) return 0.0;
  const double cos_zenith = std::cos(kSolarPi / 2.0 - sun_elevation);
  return kSolarConstant * day_fraction * length *
         std::pow(kClearSkyTransmissivity, kAirMassExponent / cos_zenith);
}

double SlopeBeamShare(double cos_incidence, double cos_zenith, bool shaded, bool overcast) {
  if (shaded || cos_incidence <= 0) return 0.0;
  const double share = overcast ? cos_zenith : cos_incidence;
  return std::min(share, kSlopeRadiationCap * cos_zenith);
}

double CorrectedTemperature(double temperature, double factor, bool had_radiation, double scaling,
                            double weight) {
  if (factor > kLogFactorLimit) return temperature + std::log(factor) * scaling * weight;
  if (had_radiation) return temperature - kLowFactorTemperatureDrop * scaling * weight;
  return temperature;
}

void ShadingScan(const double* const* elevation, int32_t nrows, int32_t ncols, double nodata,
                 double cellsize, double azimuth, double sun_elevation, double** shadow) {
  ShadingScanRows(elevation, nrows, ncols, nodata, cellsize, azimuth, sun_elevation, 1, nrows,
                  shadow);
}

void ShadingScanRows(const double* const* elevation, int32_t nrows, int32_t ncols, double nodata,
                     double cellsize, double azimuth, double sun_elevation, int32_t first_row,
                     int32_t last_row, double** shadow) {
  if (nrows < 1 || ncols < 1) return;
  first_row = std::max(first_row, 1);
  last_row = std::min(last_row, nrows);
  if (last_row < first_row) return;
  const RayPlan plan = PlanRays(azimuth);
  const Ray ray(elevation, nrows, ncols, nodata, cellsize, azimuth, sun_elevation, plan, first_row,
                last_row, shadow);
  // The rays in the order of the quadrant: first one from the sunward edge column of every row
  // but the edge row (start rows from the last row down to 1 when the rays run down), then one
  // from every cell of the sunward edge row. Later rays overwrite earlier ones. Rays of one
  // start edge that run along the major axis from it are translations of each other and never
  // meet, so that group runs on the threads; the other group keeps its order.
  const bool rows_down = plan.row_step == +1;
  const bool columns_up = plan.column_step == -1;
  const int32_t edge_row = plan.row_step == +1 ? 1 : nrows;
  const int32_t edge_column = plan.column_step == -1 ? ncols : 1;
  const auto edge_column_ray = [&](long k) {
    const auto row = static_cast<int32_t>(rows_down ? nrows - k : 1 + k);
    if (row != edge_row && ray.Reaches(row)) ray.March(row, edge_column);
  };
  const auto edge_row_ray = [&](long j) {
    ray.March(edge_row, static_cast<int32_t>(columns_up ? 1 + j : ncols - j));
  };
  if (ray.rows_major()) {
    for (long k = 0; k < nrows; ++k) edge_column_ray(k);
    ForEachRow(0, ncols - 1, edge_row_ray);
  } else {
    ForEachRow(0, nrows - 1, edge_column_ray);
    for (long j = 0; j < ncols; ++j) edge_row_ray(j);
  }
}

}  // namespace velorn

// The snow model's set-up formulas; see snow/snow_setup_formulas.h.
#include "snow/snow_setup_formulas.h"

#include <algorithm>
#include <numeric>

#include "core/nodata.h"

namespace velorn {

double DepositionCapacity(double slope_degrees, double maximum_slope_degrees, double factor,
                          double nodata) {
  // A nodata slope would read as a steep negative slope and give a huge capacity.
  if (IsNodata(slope_degrees, nodata) || !(maximum_slope_degrees > 0.0)) return 0.0;
  if (!(slope_degrees < maximum_slope_degrees)) return 0.0;
  return std::max(0.0, (1.0 - slope_degrees / maximum_slope_degrees) * factor);
}

std::vector<std::size_t> ElevationOrder(const std::vector<double>& elevations) {
  std::vector<std::size_t> order(elevations.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return elevations[a] > elevations[b]; });
  return order;
}

CellGlacierShare GlacierShareOfCell(double glacier_value) {
  if (glacier_value > 1.0) return {1.0, 0.0, true};
  if (glacier_value > 0.0) return {glacier_value, 1.0 - glacier_value, true};
  return {0.0, 1.0, false};
}

double FirnStartLevel(double elevation, double firn_base, double increase) {
  return std::max(0.0, (elevation - firn_base) * increase);
}

SeasonalRange SeasonalRangeOf(double minimum, double maximum) {
  const double amplitude = (maximum - minimum) * 0.5;
  return {minimum + amplitude, amplitude};
}

std::optional<std::string> SnowOnIceTableName(const std::string& total_table_name) {
  const std::size_t dot = total_table_name.rfind('.');
  if (dot == std::string::npos) return std::nullopt;
  return total_table_name.substr(0, dot) + "_qsgl_" + total_table_name.substr(dot);
}

std::string GlacierStorageTableName(const std::string& total_table_name) {
  const std::size_t dot = total_table_name.rfind('.');
  if (dot == std::string::npos) return total_table_name + "_stor_";
  return total_table_name.substr(0, dot) + "_stor_" + total_table_name.substr(dot);
}

}  // namespace velorn

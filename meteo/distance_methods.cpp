#include "meteo/distance_methods.h"

#include <array>
#include <cmath>

#include "meteo/station_files.h"

namespace velorn {
namespace {

enum class IdwPath { kSquare, kLinear, kPower };

// Weight of a station at squared distance s, 0 beyond the maximum distance.
template <IdwPath kPath>
inline double IdwWeight(double max_distance, double power, double s) {
  if (s == 0.0) s = 1.0;  // a station on the point weighs as one at unit distance
  if constexpr (kPath == IdwPath::kSquare) {
    return max_distance >= s ? 1.0 / s : 0.0;
  } else {
    const double d = std::sqrt(s);
    if (max_distance < d) return 0.0;
    if constexpr (kPath == IdwPath::kLinear) return 1.0 / d;
    return std::pow(d, -power);
  }
}

template <bool kAnisotropic, IdwPath kPath>
double IdwSum(const StationPoints& stations, const IdwSettings& settings, double* w, double x,
              double y) {
  // Locals, so that the stores into w cannot make the compiler reload them per station.
  const int count = stations.count;
  const double* sx = stations.x;
  const double* sy = stations.y;
  const double* sv = stations.value;
  const double nodata_value = settings.nodata_value;
  const double max_distance = settings.max_distance;
  const double power = settings.power;
  const double ratio = settings.ratio;
  double weight_sum = 0.0;
  double value_sum = 0.0;
  for (int i = 1; i <= count; ++i) {
    const double v = sv[i];
    if (IsMissingStationValue(v, nodata_value)) {
      w[i] = 0.0;
      continue;
    }
    const double dx = kAnisotropic ? ratio * (sx[i] - x) : sx[i] - x;
    const double dy = sy[i] - y;
    const double weight = IdwWeight<kPath>(max_distance, power, dx * dx + dy * dy);
    w[i] = weight;
    weight_sum += weight;
    value_sum += weight * v;
  }
  return weight_sum == 0.0 ? MissingMarker(nodata_value) : value_sum / weight_sum;
}

// The mode is chosen once per call, so the station loop carries no branch on it.
template <bool kAnisotropic>
double Idw(const StationPoints& stations, const IdwSettings& settings, double* w, double x,
           double y) {
  if (settings.mode == 2000)
    return IdwSum<kAnisotropic, IdwPath::kSquare>(stations, settings, w, x, y);
  if (settings.mode == 1000)
    return IdwSum<kAnisotropic, IdwPath::kLinear>(stations, settings, w, x, y);
  return IdwSum<kAnisotropic, IdwPath::kPower>(stations, settings, w, x, y);
}

}  // namespace

int IdwMode(double power) {
  return static_cast<int>(std::floor(1000.0 * power));
}

double IdwComparisonDistance(double power, double max_distance) {
  return IdwMode(power) == 2000 ? max_distance * max_distance : max_distance;
}

double InverseDistanceWeight(const StationPoints& stations, const IdwSettings& settings, double* w,
                             double x, double y) {
  return Idw<false>(stations, settings, w, x, y);
}

double InverseDistanceWeightAnisotropic(const StationPoints& stations, const IdwSettings& settings,
                                        double* w, double x, double y) {
  return Idw<true>(stations, settings, w, x, y);
}

double NearestStation(const StationPoints& stations, double nodata_value, double* d, double x,
                      double y) {
  double best = 1e20;
  int nearest = 0;
  for (int i = 1; i <= stations.count; ++i) {
    if (IsMissingStationValue(stations.value[i], nodata_value)) continue;
    const double dx = stations.x[i] - x;
    const double dy = stations.y[i] - y;
    d[i] = dx * dx + dy * dy;
    if (best >= d[i]) {
      best = d[i];
      nearest = i;
    }
  }
  return nearest == 0 ? MissingMarker(nodata_value) : stations.value[nearest];
}

int FindStationInBox(const StationPoints& stations, double x, double y, double dxmin, double dxmax,
                     double dymin, double dymax) {
  for (int i = 1; i <= stations.count; ++i)
    if (x + dxmin < stations.x[i] && stations.x[i] < x + dxmax && y + dymin < stations.y[i] &&
        stations.y[i] < y + dymax)
      return i;
  return 0;
}

int AnyStationUnassigned(const int* flags, int count) {
  for (int i = 1; i <= count; ++i)
    if (flags[i] != 0) return 1;
  return 0;
}

void RotatePoint(double x, double y, double x0, double y0, double theta, double& xr, double& yr) {
  const double dx = x - x0;
  const double dy = y - y0;
  const double r = std::sqrt(dx * dx + dy * dy);
  double phi = 0.0;
  if (dx == 0.0)
    phi = dy > 0.0 ? kHalfPi : -kHalfPi;
  else
    phi = std::atan2(dy, dx);
  xr = x0 + r * std::cos(phi - theta);
  yr = y0 + r * std::sin(phi - theta);
}

StationSpacing AverageStationSpacing(int count, const double* x, const double* y) {
  double east_sum = 0, north_sum = 0;
  int east_count = 0, north_count = 0;
  for (int i = 1; i <= count; ++i) {
    double east = -9999, north = -9999;
    for (int j = 1; j <= count; ++j) {
      if (j == i) continue;
      const double dx = x[j] - x[i];
      const double dy = y[j] - y[i];
      const double d = std::sqrt(dx * dx + dy * dy);
      if (std::fabs(dy) > std::fabs(dx) && dy > 0) {
        if (north > d || north < -1000) north = d;
      } else if (std::fabs(dy) <= std::fabs(dx) && dx > 0) {
        if (east > d || east < -1000) east = d;
      }
    }
    if (east > -1000) east_sum += east, ++east_count;
    if (north > -1000) north_sum += north, ++north_count;
  }
  StationSpacing spacing;
  if (east_count > 0) spacing.horizontal = east_sum / east_count;
  if (north_count > 0) spacing.vertical = north_sum / north_count;
  return spacing;
}

namespace {

// Nearest neighbour of every station as the mesh detection defines it (index -9999: none).
std::vector<int> MeshNeighbours(int count, const double* x, const double* y) {
  std::vector<int> neighbour(static_cast<std::size_t>(count) + 1, -9999);
  for (int i = 1; i <= count; ++i) {
    int& n = neighbour[static_cast<std::size_t>(i)];
    double best = -9999.0;
    int last_closer = 0;
    double last_closer_s = 0;
    for (int j = 1; j <= count; ++j) {
      if (j == i) continue;
      const double dx = x[j] - x[i], dy = y[j] - y[i];
      const double s = dx * dx + dy * dy;
      const bool points_back = neighbour[static_cast<std::size_t>(j)] == i;
      if (n == -9999) {
        if (!points_back) n = j, best = s;
        continue;
      }
      if (s < best) {
        last_closer = j, last_closer_s = s;
        if (!points_back) n = j, best = s;
      }
    }
    if (last_closer != 0 && 1.01 * last_closer_s < best) n = last_closer;
  }
  return neighbour;
}

}  // namespace

MeshOrientation DetectMeshOrientation(int count, const double* x, const double* y) {
  const std::vector<int> neighbour = MeshNeighbours(count, x, y);
  std::vector<double> delta(static_cast<std::size_t>(count) + 1, 0.0);
  std::vector<int> station_class(static_cast<std::size_t>(count) + 1, -1);
  std::array<int, 37> histogram{};
  for (int i = 1; i <= count; ++i) {
    const int n = neighbour[static_cast<std::size_t>(i)];
    if (n < 1) continue;
    double alpha = std::atan2(y[n] - y[i], x[n] - x[i]);
    if (alpha > kHalfPi) alpha -= kPiMesh;
    if (alpha < -kHalfPi) alpha += kPiMesh;
    const double d = alpha * 180.0 / kPiMesh;
    const int c = static_cast<int>(std::trunc(std::fmod(d + 365.0, 360.0) / 10.0)) % 18;
    delta[static_cast<std::size_t>(i)] = d;
    station_class[static_cast<std::size_t>(i)] = c;
    ++histogram[static_cast<std::size_t>(c)];
  }
  int modal = 0;
  for (int c = 1; c <= 35; ++c)
    if (histogram[static_cast<std::size_t>(c)] > histogram[static_cast<std::size_t>(modal)])
      modal = c;
  double sum = 0;
  int used = 0;
  for (int i = 1; i <= count; ++i) {
    if (station_class[static_cast<std::size_t>(i)] != modal) continue;
    double a = std::fmod(delta[static_cast<std::size_t>(i)] + 360.0, 180.0);
    if (modal == 0 && a > 5) a -= 180.0;
    if (a >= 10.0 * modal - 5 && a <= 10.0 * modal + 5) sum += a, ++used;
  }
  MeshOrientation orientation;
  if (used == 0) return orientation;
  double mean = sum / used;
  if (mean > 45) mean -= 90;
  if (std::fabs(mean) > 0.001) orientation = MeshOrientation{mean, 0.995};
  return orientation;
}

}  // namespace velorn

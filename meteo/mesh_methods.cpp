// Look-up stations, bilinear kernel and station mesh (see mesh_methods.h).
#include "meteo/mesh_methods.h"

#include <deque>

namespace velorn {

namespace {

// One mesh step from station s in a direction; 0 from no station.
struct Steps {
  const double* x;
  const double* y;
  double H, V;
  const BoxSearch& find;

  int East(int s) const {
    constexpr double f = kMeshBoxTolerance;
    return s == 0 ? 0 : find(x[s], y[s], H * (1 - f), H * (1 + f), -V * f, V * f);
  }
  int West(int s) const {
    constexpr double f = kMeshBoxTolerance;
    return s == 0 ? 0 : find(x[s], y[s], -H * (1 + f), -H * (1 - f), -V * f, V * f);
  }
  int North(int s) const {
    constexpr double f = kMeshBoxTolerance;
    return s == 0 ? 0 : find(x[s], y[s], -H * f, H * f, V * (1 - f), V * (1 + f));
  }
  int South(int s) const {
    constexpr double f = kMeshBoxTolerance;
    return s == 0 ? 0 : find(x[s], y[s], -H * f, H * f, -V * (1 + f), -V * (1 - f));
  }
};

}  // namespace

MeshCorners ChooseCorners(int count, const double* x, const double* y, double H, double V,
                          double cell_x, double cell_y, const BoxSearch& find_in_box) {
  MeshCorners k;
  double best = 1e30;
  int nearest = 0;
  double dx = 0, dy = 0;
  for (int i = 1; i <= count; ++i) {
    const double ex = x[i] - cell_x, ey = y[i] - cell_y;
    const double d = ex * ex + ey * ey;
    if (d < best) best = d, nearest = i, dx = ex, dy = ey;
  }
  if (nearest == 0) return k;
  const Steps step{x, y, H, V, find_in_box};
  if (dx > 0 && dy > 0) {
    k.A = nearest;
    k.B = step.West(k.A);
    k.C = step.South(k.B);
    k.D = step.South(k.A);
  } else if (dx > 0) {
    k.D = nearest;
    k.C = step.West(k.D);
    k.B = step.North(k.C);
    k.A = step.North(k.D);
  } else if (dy <= 0) {
    k.C = nearest;
    k.B = step.North(k.C);
    k.A = step.East(k.B);
    k.D = step.East(k.C);
  } else {
    k.B = nearest;
    k.C = step.South(k.B);
    k.D = step.East(k.C);
    k.A = step.East(k.B);
  }
  return k;
}

double BilinearValue(const MeshCorners& corners, const double* x, const double* y,
                     const double* value, double nodata_value, double px, double py,
                     const std::function<double()>& fallback) {
  auto usable = [&](int s) { return s != 0 && value[s] > -nodata_value ? s : 0; };
  const int a = usable(corners.A), b = usable(corners.B), c = usable(corners.C),
            d = usable(corners.D);
  if (a == b && b == c && c == d) return a != 0 ? value[a] : fallback();
  if (a == 0 || b == 0 || c == 0 || d == 0) return fallback();
  const double dx = x[a] - x[b], dy = y[c] - y[b];
  if (dx == 0 || dy == 0) return fallback();
  const double s = (px - x[b]) / dx, t = (py - y[b]) / dy;
  return (1 - s) * (1 - t) * value[b] + s * (1 - t) * value[a] + t * (1 - s) * value[c] +
         s * t * value[d];
}

std::vector<std::vector<int>> ArrangeMesh(int count, const double* x, const double* y, double H,
                                          double V, const BoxSearch& find_in_box) {
  std::vector<int> free(static_cast<std::size_t>(count) + 1, 1);
  free[0] = 0;
  const Steps step{x, y, H, V, find_in_box};
  std::vector<std::vector<int>> columns;
  for (;;) {
    // The westernmost free station starts a column.
    double west = 1e40;
    int start = 0;
    for (int i = 1; i <= count; ++i)
      if (free[i] != 0 && x[i] < west) west = x[i], start = i;
    if (start == 0) break;
    std::deque<int> column;
    for (int s = start; s != 0 && free[s] != 0; s = step.South(s)) {
      column.push_back(s);
      free[s] = 0;
    }
    for (int s = step.North(start); s != 0 && free[s] != 0; s = step.North(s)) {
      column.push_front(s);
      free[s] = 0;
    }
    columns.emplace_back(column.begin(), column.end());
  }
  for (const auto& column : columns)
    if (column.size() != columns.front().size()) return {};
  return columns;
}

}  // namespace velorn

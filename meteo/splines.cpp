// Bicubic spline interpolation over a station mesh (see splines.h).
#include "meteo/splines.h"

#include <cmath>
#include <iostream>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"

namespace velorn {

namespace {

constexpr bool Present(double value) {
  return value > kSplineMissingMarker + 0.01;
}

}  // namespace

void SplineSecondDerivatives(const double* x, const double* y, int lo, int hi, double* y2,
                             double yp1, double ypn) {
  if (hi < lo) return;
  std::vector<double> u(static_cast<std::size_t>(hi - lo + 1), 0.0);
  auto U = [&](int i) -> double& { return u[static_cast<std::size_t>(i - lo)]; };
  if (yp1 > 0.99e30 || hi == lo) {
    y2[lo] = U(lo) = 0.0;
  } else {
    y2[lo] = -0.5;
    U(lo) = (3.0 / (x[lo + 1] - x[lo])) * ((y[lo + 1] - y[lo]) / (x[lo + 1] - x[lo]) - yp1);
  }
  for (int i = lo + 1; i <= hi - 1; ++i) {
    const double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
    const double p = sig * y2[i - 1] + 2.0;
    y2[i] = (sig - 1.0) / p;
    U(i) = (6.0 * ((y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1])) /
                (x[i + 1] - x[i - 1]) -
            sig * U(i - 1)) /
           p;
  }
  double qn = 0.0, un = 0.0;
  if (ypn <= 0.99e30 && hi > lo) {
    qn = 0.5;
    un = (3.0 / (x[hi] - x[hi - 1])) * (ypn - (y[hi] - y[hi - 1]) / (x[hi] - x[hi - 1]));
  }
  y2[hi] = hi > lo ? (un - qn * U(hi - 1)) / (qn * y2[hi - 1] + 1.0) : 0.0;
  for (int k = hi - 1; k >= lo; --k) y2[k] = y2[k] * y2[k + 1] + U(k);
}

TSplines::TSplines(DiagnosticStream* diag_stream, const SplineSetup& setup)
    : memory_handling(diag_stream), setup_(setup) {
  SetModuleName("TSplines");
  const int nr = setup.nr, nc = setup.nc;
  cs = setup.cellsize;  // refinement 1
  // Extent: west of the first mesh column, east of the last, south of the last mesh row,
  // north of the first.
  xmin = setup.mesh_x[1][1], xmax = setup.mesh_x[1][nc];
  ymin = setup.mesh_y[nr][1], ymax = setup.mesh_y[1][1];
  for (int r = 1; r <= nr; ++r) {
    xmin = std::min(xmin, setup.mesh_x[r][1]);
    xmax = std::max(xmax, setup.mesh_x[r][nc]);
  }
  for (int c = 1; c <= nc; ++c) {
    ymin = std::min(ymin, setup.mesh_y[nr][c]);
    ymax = std::max(ymax, setup.mesh_y[1][c]);
  }
  // Nodes of the spline grid, counted in double: stations far apart on a fine grid would
  // overflow an int (and the columns of nodes are allocated whole).
  const double rows = std::trunc((ymax - ymin) / cs + 0.49999) + 1;
  const double columns = std::trunc((xmax - xmin) / cs + 0.49999) + 1;
  if (!(rows >= 1 && rows <= kMaxSplineNodes && columns >= 1 && columns <= kMaxSplineNodes))
    ThrowFatal(*diag, kSplineAbscissaCode, "FATAL: the stations of the spline interpolation span ",
               FormatText("%g", rows), " x ", FormatText("%g", columns), " cells of ", cs,
               " m, more than ", kMaxSplineNodes,
               " in a direction: are the station coordinates "
               "those of the grid?");
  nsr = static_cast<int>(rows);
  nsc = static_cast<int>(columns);
  ComputeWindow();
  if (!WindowEmpty()) {
    const auto cells =
        static_cast<std::size_t>(r2 - r1 + 1) * static_cast<std::size_t>(c2 - c1 + 1);
    result_ = AllocateArray<double>(cells, 1);
    needed_ = AllocateArray<uint8_t>(cells, 2);
  }
  MarkNeededCells();
  column_values_ = GridMatrix(*diag, 1, nsr, nc, nsr);
  column_x_ = GridMatrix(*diag, 1, nsr, nc, nsr);
  const auto longest = static_cast<std::size_t>(std::max(nr, nc) + 2);
  work_x_ = AllocateArray<double>(longest, 3);
  work_y_ = AllocateArray<double>(longest, 4);
  work_y2_ = AllocateArray<double>(longest, 5);
}

bool TSplines::SplineCell(int64_t row, int64_t column, int& i, int& j) const {
  const double x = setup_.cell_x[row][column], y = setup_.cell_y[row][column];
  const double limit = setup_.nodata + 0.01;
  if (!(x > limit && y > limit)) return false;
  if (setup_.mask != nullptr && !(setup_.mask[row][column] > limit)) return false;
  // Nearest node in both directions (the same rounding for rows and columns).
  i = nsr - static_cast<int>(std::floor((y - ymin) / cs + 0.4999));
  j = static_cast<int>(std::floor((x - xmin) / cs + 0.4999)) + 1;
  return true;
}

void TSplines::ComputeWindow() {
  r1 = nsr + 1, r2 = 0, c1 = nsc + 1, c2 = 0;
  for (int64_t r = setup_.first_row; r <= setup_.last_row; ++r)
    for (int64_t c = 1; c <= setup_.ncols; ++c) {
      int i = 0, j = 0;
      if (!SplineCell(r, c, i, j) || i < 1 || i > nsr || j < 1 || j > nsc) continue;
      r1 = std::min(r1, i), r2 = std::max(r2, i);
      c1 = std::min(c1, j), c2 = std::max(c2, j);
    }
  if (WindowEmpty()) return;
  r1 = std::max(1, r1 - 1), r2 = std::min(nsr, r2 + 1);
  c1 = std::max(1, c1 - 1), c2 = std::min(nsc, c2 + 1);
}

void TSplines::MarkNeededCells() {
  if (WindowEmpty()) return;
  const int width = c2 - c1 + 1;
  for (int64_t r = setup_.first_row; r <= setup_.last_row; ++r)
    for (int64_t c = 1; c <= setup_.ncols; ++c) {
      int i = 0, j = 0;
      if (!SplineCell(r, c, i, j) || i < r1 || i > r2 || j < c1 || j > c2) continue;
      needed_[static_cast<std::size_t>((i - r1) * width + (j - c1))] = 1;
    }
}

void TSplines::MapToModelGrid(double** output) {
  const int width = c2 - c1 + 1;
  ForEachRow(setup_.first_row, setup_.last_row, [&](long r) {
    for (int64_t c = 1; c <= setup_.ncols; ++c) {
      int i = 0, j = 0;
      const bool inside =
          SplineCell(r, c, i, j) && !WindowEmpty() && i >= r1 && i <= r2 && j >= c1 && j <= c2;
      output[r][c] =
          inside ? result_[static_cast<std::size_t>((i - r1) * width + (j - c1))] : setup_.nodata;
    }
  });
}

void TSplines::SecondDerivatives(const double* x, const double* y, int lo, int hi, double* y2,
                                 double yp1, double ypn) {
  SplineSecondDerivatives(x, y, lo, hi, y2, yp1, ypn);
}

double TSplines::EvaluateSpline(const double* x, const double* y, const double* y2, int n,
                                double at, double fallback, int& klo) {
  if (n < 2 || at < x[1] || at > x[n]) return fallback;
  if (klo < 1 || klo > n - 1) klo = 1;
  while (klo > 1 && x[klo] > at) --klo;
  while (klo < n - 1 && x[klo + 1] <= at) ++klo;
  const int khi = klo + 1;
  if (!Present(y[klo]) || !Present(y[khi]) || !Present(y2[klo]) || !Present(y2[khi]))
    return fallback;
  const double h = x[khi] - x[klo];
  if (h == 0.0) {
    std::cout << "The two input coordinates " << x[klo] << " (index " << klo << ") \n"
              << "and " << x[khi] << " (index " << khi
              << ") for the 1-D-Splineevaluation are the same!";
    ThrowFatal(*diag, kSplineAbscissaCode, "FATAL: The two input coordinates ", x[klo], " (index ",
               klo, ") and ", x[khi], " (index ", khi,
               ") for the 1-D-Splineevaluation are the same!");
  }
  const double a = (x[khi] - at) / h, b = (at - x[klo]) / h;
  return a * y[klo] + b * y[khi] +
         ((a * a * a - a) * y2[klo] + (b * b * b - b) * y2[khi]) * h * h / 6.0;
}

void TSplines::RunSecondDerivatives(const double* x, const double* y, int n, double* y2) {
  int k = 1;
  while (k <= n) {
    if (!Present(y[k])) {
      y2[k++] = kSplineMissingMarker;
      continue;
    }
    int end = k;
    while (end + 1 <= n && Present(y[end + 1])) ++end;
    if (end == k) {
      y2[k] = kSplineMissingMarker;  // one value makes no spline
    } else {
      SecondDerivatives(x, y, k, end, y2, kNaturalSplineEnd, kNaturalSplineEnd);
    }
    k = end + 1;
  }
}

void TSplines::ColumnSecondDerivatives(double** values, double** y2) {
  const int nr = setup_.nr;
  for (int c = 1; c <= setup_.nc; ++c) {
    // The profile runs from the southernmost node (row nr) northwards.
    for (int k = 1; k <= nr; ++k) {
      work_x_[k] = setup_.mesh_y[nr - k + 1][c];
      work_y_[k] = values[nr - k + 1][c];
    }
    RunSecondDerivatives(work_x_.data(), work_y_.data(), nr, work_y2_.data());
    for (int k = 1; k <= nr; ++k) y2[nr - k + 1][c] = work_y2_[k];
  }
}

void TSplines::ColumnPass(double** values, double** y2) {
  const int nr = setup_.nr;
  std::vector<double> xs(static_cast<std::size_t>(nr + 1));
  for (int c = 1; c <= setup_.nc; ++c) {
    const double reference = setup_.mesh_y[nr][c];
    for (int k = 1; k <= nr; ++k) {
      const int r = nr - k + 1;
      const double node_y = setup_.mesh_y[r][c];
      work_x_[k] = node_y != kSplineMissingMarker ? node_y : reference + (k - 1) * setup_.V;
      work_y_[k] = values[r][c];
      work_y2_[k] = y2[r][c];
      xs[k] = setup_.mesh_x[r][c];
    }
    int klo = 1, kx = 1;
    for (int i = 1; i <= nsr; ++i) {
      const double yi = NodeY(i);
      // The column's x at yi: linear between the bracketing nodes, the end node's beyond.
      double x = yi <= work_x_[1] ? xs[1] : xs[nr];
      if (nr > 1 && yi > work_x_[1] && yi < work_x_[nr]) {
        while (kx > 1 && work_x_[kx] > yi) --kx;
        while (kx < nr - 1 && work_x_[kx + 1] <= yi) ++kx;
        const double t = (yi - work_x_[kx]) / (work_x_[kx + 1] - work_x_[kx]);
        x = xs[kx] + t * (xs[kx + 1] - xs[kx]);
      }
      column_x_[i][c] = x;
      column_values_[i][c] = EvaluateSpline(work_x_.data(), work_y_.data(), work_y2_.data(), nr, yi,
                                            setup_.nodata, klo);
    }
  }
}

void TSplines::RowPass() {
  const int nc = setup_.nc, width = c2 - c1 + 1;
  for (int i = r1; i <= r2; ++i) {
    for (int c = 1; c <= nc; ++c) {
      work_x_[c] = column_x_[i][c];
      work_y_[c] = column_values_[i][c];
    }
    RunSecondDerivatives(work_x_.data(), work_y_.data(), nc, work_y2_.data());
    int klo = 1;
    for (int j = c1; j <= c2; ++j) {
      const auto cell = static_cast<std::size_t>((i - r1) * width + (j - c1));
      if (needed_[cell] == 0) continue;
      result_[cell] = EvaluateSpline(work_x_.data(), work_y_.data(), work_y2_.data(), nc, NodeX(j),
                                     setup_.nodata, klo);
    }
  }
}

void TSplines::Interpolate(double** values, double** y2, double** output) {
  ColumnPass(values, y2);
  if (!WindowEmpty()) RowPass();
  MapToModelGrid(output);
}

}  // namespace velorn

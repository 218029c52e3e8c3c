// Bicubic mesh splines: the natural cubic spline against values computed here, linear fields
// reproduced exactly on the model cells, missing stations and equal abscissae.
#include "meteo/splines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/error_code.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

// A model grid of 6 x 8 cells of 1000 m (lower-left corner at 0, 0) and a mesh of 3 x 4
// stations on the cell centres (x = 500, 2500, 4500, 6500; y = 4500, 2500, 500 from north).
class SplineTest : public test::DiagTest {
 protected:
  static constexpr int kRows = 6, kCols = 8, kNr = 3, kNc = 4;

  SplineTest() {
    mesh_x_ = GridMatrix(diag_, 1, kNr, kNc, kNr);
    mesh_y_ = GridMatrix(diag_, 1, kNr, kNc, kNr);
    values_ = GridMatrix(diag_, 1, kNr, kNc, kNr);
    y2_ = GridMatrix(diag_, 1, kNr, kNc, kNr);
    for (int r = 1; r <= kNr; ++r)
      for (int c = 1; c <= kNc; ++c) {
        mesh_x_[r][c] = 500 + 2000.0 * (c - 1);
        mesh_y_[r][c] = 4500 - 2000.0 * (r - 1);
      }
    cell_x_ = GridMatrix(diag_, 1, kRows, kCols, kRows);
    cell_y_ = GridMatrix(diag_, 1, kRows, kCols, kRows);
    output_ = GridMatrix(diag_, 1, kRows, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        cell_x_[r][c] = (c - 0.5) * 1000.0;
        cell_y_[r][c] = (kRows - r + 0.5) * 1000.0;
      }
  }

  TSplines Make(int64_t first_row = 1, int64_t last_row = kRows) {
    SplineSetup s;
    s.mesh_x = mesh_x_.get(), s.mesh_y = mesh_y_.get(), s.nr = kNr, s.nc = kNc;
    s.cell_x = cell_x_.get(), s.cell_y = cell_y_.get();
    s.first_row = first_row, s.last_row = last_row, s.ncols = kCols;
    s.nodata = -9999, s.H = 2000, s.V = 2000, s.cellsize = 1000;
    return TSplines(&diag_, s);
  }

  void Run(TSplines& splines) {
    splines.ColumnSecondDerivatives(values_.get(), y2_.get());
    splines.Interpolate(values_.get(), y2_.get(), output_.get());
  }

  GridMatrix mesh_x_, mesh_y_, values_, y2_, cell_x_, cell_y_, output_;
};

// Natural cubic spline values computed here: the second derivatives solve the full system
// h_{i-1} M_{i-1} + 2 (h_{i-1} + h_i) M_i + h_i M_{i+1} = 6 (d_i - d_{i-1}), M_1 = M_n = 0, by
// Gaussian elimination.
double NaturalSpline(const std::vector<double>& x, const std::vector<double>& y, double at) {
  const std::size_t n = x.size();
  if (n < 2 || n > 1000) return 0.0;  // the cases hold 2..1000 points
  std::vector<std::vector<double>> a(n, std::vector<double>(n + 1, 0.0));
  a[0][0] = a[n - 1][n - 1] = 1.0;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i];
    a[i][i - 1] = h0, a[i][i] = 2 * (h0 + h1), a[i][i + 1] = h1;
    a[i][n] = 6 * ((y[i + 1] - y[i]) / h1 - (y[i] - y[i - 1]) / h0);
  }
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t i = 0; i < n; ++i) {
      if (i == k) continue;
      const double f = a[i][k] / a[k][k];
      for (std::size_t j = k; j <= n; ++j) a[i][j] -= f * a[k][j];
    }
  std::size_t k = 0;
  while (k + 2 < n && x[k + 1] < at) ++k;
  const double h = x[k + 1] - x[k], m0 = a[k][n] / a[k][k], m1 = a[k + 1][n] / a[k + 1][k + 1];
  const double t0 = x[k + 1] - at, t1 = at - x[k];
  return (m0 * t0 * t0 * t0 + m1 * t1 * t1 * t1) / (6 * h) + (y[k] / h - m0 * h / 6) * t0 +
         (y[k + 1] / h - m1 * h / 6) * t1;
}

TEST_F(SplineTest, OneDimensionalSplineMatchesAnIndependentSolution) {
  TSplines splines = Make();
  struct Case {
    std::vector<double> x, y;
  };
  const Case cases[] = {{{0, 1, 2}, {0, 1, 0}},
                        {{0, 0.7, 1.5, 3.1, 4.0}, {1.0, 2.4, -0.3, 0.8, 2.2}},
                        {{-100, 250, 400, 1200}, {12, 9.5, 9.9, 3}}};
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.x.size());
    std::vector<double> x{0}, y{0}, y2(c.x.size() + 1);
    x.insert(x.end(), c.x.begin(), c.x.end());
    y.insert(y.end(), c.y.begin(), c.y.end());
    splines.SecondDerivatives(x.data(), y.data(), 1, n, y2.data(), kNaturalSplineEnd,
                              kNaturalSplineEnd);
    int klo = 1;
    for (int k = 0; k <= 20; ++k) {
      const double at = c.x.front() + (c.x.back() - c.x.front()) * k / 20.0;
      EXPECT_NEAR(splines.EvaluateSpline(x.data(), y.data(), y2.data(), n, at, -9999, klo),
                  NaturalSpline(c.x, c.y, at), 1e-10)
          << at;
    }
    EXPECT_EQ(splines.EvaluateSpline(x.data(), y.data(), y2.data(), n, c.x.back() + 1, -9999, klo),
              -9999);
  }
  // The first case by hand: M_2 = -3, so s(0.5) = 0.5 + 0.375 * 3 / 6.
  std::vector<double> x{0, 0, 1, 2}, y{0, 0, 1, 0}, y2(4);
  splines.SecondDerivatives(x.data(), y.data(), 1, 3, y2.data(), kNaturalSplineEnd,
                            kNaturalSplineEnd);
  int klo = 1;
  EXPECT_DOUBLE_EQ(splines.EvaluateSpline(x.data(), y.data(), y2.data(), 3, 0.5, -9999, klo),
                   0.6875);
}

// A field linear in x and y comes back exact on every cell inside the mesh, also when the cell
// coordinates lie a rounding error beside the nodes; cells outside the mesh get nodata.
TEST_F(SplineTest, LinearFieldIsReproducedExactly) {
  auto field = [](double x, double y) { return 2 + 0.001 * x - 0.002 * y; };
  for (int r = 1; r <= kNr; ++r)
    for (int c = 1; c <= kNc; ++c) values_[r][c] = field(mesh_x_[r][c], mesh_y_[r][c]);
  for (double shift : {0.0, -1e-7, 1e-7, 300.0}) {
    SCOPED_TRACE(shift);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        cell_x_[r][c] = (c - 0.5) * 1000.0 + shift;
        cell_y_[r][c] = (kRows - r + 0.5) * 1000.0 - shift;
      }
    // Rows 2..6 and columns 1..7 lie inside the mesh; a split of the rows over two processes
    // gives the same cells.
    for (auto [first, last] : {std::pair<int, int>{1, kRows}, {1, 3}, {4, kRows}}) {
      TSplines splines = Make(first, last);
      Run(splines);
      for (int r = first; r <= last; ++r)
        for (int c = 1; c <= kCols; ++c) {
          const bool inside = r >= 2 && c <= 7;
          // A cell takes the value of its nearest node.
          const double expected =
              inside ? field((c - 0.5) * 1000.0, (kRows - r + 0.5) * 1000.0) : -9999;
          EXPECT_NEAR(output_[r][c], expected, 1e-9) << r << " " << c;
        }
    }
  }
}

// A missing station splits its column profile: a run of one value gives no spline, and the
// row profiles are split where a column has no value.
TEST_F(SplineTest, MissingStationsLeaveGapsAndEqualAbscissaeFail) {
  for (int r = 1; r <= kNr; ++r)
    for (int c = 1; c <= kNc; ++c) values_[r][c] = 10.0;
  values_[2][2] = -10000;  // column 2 keeps two single values, no spline
  TSplines splines = Make();
  Run(splines);
  EXPECT_EQ(y2_[1][2], kSplineMissingMarker);
  EXPECT_EQ(y2_[3][2], kSplineMissingMarker);
  EXPECT_EQ(output_[6][1], -9999);  // column 1 alone makes no spline
  EXPECT_EQ(output_[6][2], -9999);  // between columns 1 and 2: column 2 has no value
  EXPECT_EQ(output_[6][4], -9999);
  EXPECT_NEAR(output_[6][5], 10.0, 1e-12);  // columns 3 and 4 keep their spline
  EXPECT_NEAR(output_[2][7], 10.0, 1e-12);

  std::vector<double> x{0, 0, 1, 1}, y{0, 1, 2, 3}, y2(4, 0.0);
  int klo = 1;
  EXPECT_EQ(test::ThrownCode(
                [&] { splines.EvaluateSpline(x.data(), y.data(), y2.data(), 3, 1.0, -9999, klo); }),
            kSplineAbscissaCode);

  // Stations 1e10 m apart on a grid of 1000 m would need ten million nodes in a row.
  mesh_x_[1][kNc] = 1e10;
  EXPECT_EQ(test::ThrownCode([&] { Make(); }), kSplineAbscissaCode);
}

}  // namespace
}  // namespace velorn

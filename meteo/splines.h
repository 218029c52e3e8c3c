// TSplines: bicubic spline interpolation of station values arranged as a regular mesh
// (interpolation methods 7 and 8).
//
// The stations form nr rows and nc columns of mesh nodes (row 1 the northernmost node of each
// column, column 1 the westernmost column; StationsToMesh in meteo/mesh_methods.h builds the
// mesh). Interpolate passes natural cubic splines first along every mesh column, sampled at the
// rows of a fine spline grid, then along every spline-grid row over the mesh columns, and maps
// the spline-grid nodes onto the model cells.
//
// The spline grid has the model cell size; its nodes lie at xmin + (j - 1) cs and
// ymin + (nsr - i) cs (xmin, ymin: the south-west corner of the mesh extent). A model cell takes
// the value of its nearest spline node in both directions, so a field that is linear in x and y
// comes back exact on cells that lie on the nodes, and no cell is shifted by half a cell or
// more. Only the window of spline rows and columns that hold cells of this process (widened by
// one node) is computed in the row pass. All coordinates are those of the mesh (rotated ones
// when the interpolator rotates its stations).
//
// meteointerpol owns one object per interpolator of method 7 or 8 and calls Interpolate once
// per step, serially, before its cell loop. Values at or below the marker -9999 + 0.01 are
// missing; cells without a spline value get the grid's nodata value. Equal abscissae in a
// profile end the run with code 82.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.h"
#include "core/memory_handling.h"

namespace velorn {

inline constexpr int kSplineAbscissaCode = 82;
// Most nodes of the spline grid in either direction (stations farther apart are refused with
// kSplineAbscissaCode).
inline constexpr int kMaxSplineNodes = 1000000;
// Station values of the splines at or below this (+ 0.01) are missing.
inline constexpr double kSplineMissingMarker = -9999.0;
// An end slope above this marks a natural end of a spline (second derivative 0).
inline constexpr double kNaturalSplineEnd = 1e30;

// The mesh and the model grid a TSplines object works on (nothing owned).
struct SplineSetup {
  // Node x and y of mesh rows 1..nr and columns 1..nc.
  double** mesh_x = nullptr;
  double** mesh_y = nullptr;
  int nr = 0;
  int nc = 0;
  // Cell coordinates (mesh coordinates) and zone grid (mask, may be null) of this process's
  // rows first_row..last_row, columns 1..ncols.
  double** cell_x = nullptr;
  double** cell_y = nullptr;
  double** mask = nullptr;
  int64_t first_row = 1;
  int64_t last_row = 0;
  int64_t ncols = 0;
  double nodata = -9999;
  // Mean node spacings (horizontal, vertical) and the model cell size.
  double H = 0;
  double V = 0;
  double cellsize = 0;
};

// Second derivatives y2[lo..hi] of the cubic spline through (x[i], y[i]), i = lo..hi, with end
// slopes yp1 and ypn (above 9.9e29: natural end).
void SplineSecondDerivatives(const double* x, const double* y, int lo, int hi, double* y2,
                             double yp1, double ypn);

class TSplines : public memory_handling {
 public:
  TSplines(DiagnosticStream* diag, const SplineSetup& setup);

  // y2[lo..hi] of the profile (x, y) by the tridiagonal recursion of the natural spline.
  virtual void SecondDerivatives(const double* x, const double* y, int lo, int hi, double* y2,
                                 double yp1, double ypn);
  // The spline of the profile x, y, y2 (elements 1..n) at position `at`; `klo` keeps the lower
  // bracket between calls. Outside the profile, or with a missing ordinate or second derivative
  // at either bracket end, the result is `fallback`. Equal abscissae: code 82.
  virtual double EvaluateSpline(const double* x, const double* y, const double* y2, int n,
                                double at, double fallback, int& klo);
  // Second derivatives of the mesh values along each mesh column (rows 1..nr, node y as
  // abscissa): every run of present values gets its own natural spline, missing values and
  // single present values get the missing marker.
  virtual void ColumnSecondDerivatives(double** values, double** y2);
  // Fills `output` (this process's rows) from the mesh values and their column derivatives.
  virtual void Interpolate(double** values, double** y2, double** output);

  // --- Spline grid ------------------------------------------------------------------------------
  // Spline row and column of a model cell (nearest node); false when the cell does not count.
  bool SplineCell(int64_t row, int64_t column, int& i, int& j) const;
  double NodeX(int j) const { return xmin + (j - 1) * cs; }
  double NodeY(int i) const { return ymin + (nsr - i) * cs; }
  bool WindowEmpty() const { return r2 < r1; }

  double xmin = 0, xmax = 0, ymin = 0, ymax = 0, cs = 0;
  int nsr = 0, nsc = 0;
  int r1 = 1, r2 = 0, c1 = 1, c2 = 0;  // window of spline rows and columns

 protected:
  virtual void ComputeWindow();
  virtual void MarkNeededCells();
  virtual void MapToModelGrid(double** output);

 private:
  void ColumnPass(double** values, double** y2);
  void RowPass();
  // Second derivatives of a profile whose missing values split it into runs.
  void RunSecondDerivatives(const double* x, const double* y, int n, double* y2);

  SplineSetup setup_;
  GridMatrix column_values_;  // spline rows 1..nsr, mesh columns 1..nc
  GridMatrix column_x_;
  std::vector<double> result_;   // window cells, row-major
  std::vector<uint8_t> needed_;  // same shape
  std::vector<double> work_x_, work_y_, work_y2_;
};

}  // namespace velorn

// The regression (methods 2, 3, 10, 11, 12), bilinear (5, 6) and spline (7, 8) methods of
// meteointerpol: the interpolator's data handed to the kernels of station_regression.h,
// mesh_methods.h and splines.h.
//
// The regression of methods 2 and 3 comes from the first regression file, that of methods 10
// and 11 from ComputeStationRegression (zone 1, once per step). Methods 5 and 6 keep the corner
// stations of every own cell, methods 7 and 8 the station mesh and a TSplines object; the
// spline grids are recomputed once per step by ComputeSplines before the cell loop.
#include <cstring>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "meteo/meteo_interpolator.h"

namespace velorn {

namespace {

RegressionStations StationsOf(const StationFile& file) {
  return {file.count, file.values.data(), file.altitude.data(), file.x.data(), file.y.data()};
}

}  // namespace

RegressionZoneParameters meteointerpol::GetRegressionParameters(int zone) const {
  if ((method == 10 || method == 11) && zone == 1) return station_regression;
  if ((method == 2 || method == 3) && zone >= 1 &&
      static_cast<std::size_t>(zone) < regression_files.size()) {
    const RegressionFile& file = regression_files[static_cast<std::size_t>(zone)];
    RegressionZoneParameters z;
    z.ZL = file.lower_bound;
    z.ZU = file.middle_bound;
    z.B = file.intercept;
    z.A = file.gradient;
    z.c0 = file.trend_constant;
    z.cx = file.trend_x;
    z.cy = file.trend_y;
    return z;
  }
  return MissingRegressionZone(MissingMarker(nodata_value));
}

void meteointerpol::SetRegressionParameters(int zone, const std::array<double, 4>& B,
                                            const std::array<double, 4>& A, double ZU) {
  if ((method == 10 || method == 11) && zone == 1) {
    station_regression.B = B, station_regression.A = A, station_regression.ZU = ZU;
  } else if ((method == 2 || method == 3) && zone >= 1 &&
             static_cast<std::size_t>(zone) < regression_files.size()) {
    RegressionFile& file = regression_files[static_cast<std::size_t>(zone)];
    file.intercept = B, file.gradient = A, file.middle_bound = ZU;
  }
}

void meteointerpol::UpdateUniformFlag(int f) {
  StationFile& file = station_files[static_cast<std::size_t>(f)];
  // Uniform: every usable value is the same (also when none is usable).
  file.uniform = 1;
  double first = 0;
  bool have = false;
  for (int i = 1; i <= file.count; ++i) {
    const double v = file.values[static_cast<std::size_t>(i)];
    if (IsMissingStationValue(v, nodata_value)) continue;
    if (!have) {
      first = v, have = true;
    } else if (v != first) {
      file.uniform = 0;
      return;
    }
  }
}

void meteointerpol::ComputeStationRegression(int, int) {
  if (method != 10 && method != 11) return;
  const RegressionSettings settings{
      regression_parameters[0], regression_parameters[1],
      regression_parameters[2], static_cast<int>(regression_parameters[3]),
      regression_parameters[4], regression_parameters[5]};
  station_regression = ComputeRegressionZone(StationsOf(station_files[0]), settings, nodata_value);
}

double meteointerpol::EvaluateRegression(int64_t, int64_t, double x, double y, double z) const {
  if (method == 10 || method == 11)
    return EvaluateRegressionZone(station_regression, x, y, z, nodata_value, nodata);
  return EvaluateRegressionZone(GetRegressionParameters(1), x, y, z, nodata_value, nodata);
}

double meteointerpol::ThiessenElevationGradient(double x, double y, double z, double g, double hi,
                                                double gu) const {
  return LapseRateFromNearestStation(StationsOf(station_files[0]), {g, hi, gu, p_type},
                                     nodata_value, x, y, z);
}

void meteointerpol::ChooseLookupStations(int) {
  if (owner == nullptr) {
    const int index = FindGrid("MPIRegions", 0);
    owner = index > 0 ? (*registry)[index].grid : nullptr;
  }
  Diag() << "choosing look-up-stations..."
         << "[end-entry]";
  const StationFile& file = station_files[0];
  const auto width = static_cast<std::size_t>(ncols) + 1;
  lookup_corners.assign(static_cast<std::size_t>(last_local_row - first_local_row + 1) * width,
                        MeshCorners{});
  const BoxSearch box = [this](double x, double y, double x0, double x1, double y0, double y1) {
    return FindStationInBox(x, y, x0, x1, y0, y1);
  };
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int64_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsOwnZoneCell(r, c)) continue;
      lookup_corners[static_cast<std::size_t>(r - first_local_row) * width +
                     static_cast<std::size_t>(c)] =
          ChooseCorners(file.count, file.x_rot.data(), file.y_rot.data(), spacing.horizontal,
                        spacing.vertical, coord_x[r][c], coord_y[r][c], box);
    }
  });
}

double meteointerpol::BilinearAtPoint(int f, double x, double y, int64_t row,
                                      int64_t column) const {
  const std::size_t width = static_cast<std::size_t>(ncols) + 1;
  MeshCorners corners;
  if (row >= first_local_row && row <= last_local_row && !lookup_corners.empty())
    corners = lookup_corners[static_cast<std::size_t>(row - first_local_row) * width +
                             static_cast<std::size_t>(column)];
  return BilinearWithCorners(f, corners, x, y);
}

// The look-up stations of a point chosen from the stations alone, as for a cell at that point.
double meteointerpol::BilinearAtPointAlone(int f, double x, double y) const {
  const StationFile& first = station_files[0];
  const BoxSearch box = [this](double bx, double by, double x0, double x1, double y0, double y1) {
    return FindStationInBox(bx, by, x0, x1, y0, y1);
  };
  const MeshCorners corners = ChooseCorners(first.count, first.x_rot.data(), first.y_rot.data(),
                                            spacing.horizontal, spacing.vertical, x, y, box);
  return BilinearWithCorners(f, corners, x, y);
}

double meteointerpol::BilinearWithCorners(int f, const MeshCorners& corners, double x,
                                          double y) const {
  // The corner tables of the first file serve every file.
  const StationFile& first = station_files[0];
  const StationFile& file = station_files[static_cast<std::size_t>(f)];
  return BilinearValue(corners, first.x_rot.data(), first.y_rot.data(), file.values.data(),
                       nodata_value, x, y, [&] {
                         thread_local std::vector<double> weights;
                         weights.resize(static_cast<std::size_t>(file.count) + 1);
                         return InverseDistanceWeightAnisotropic(f, weights.data(), x, y);
                       });
}

void meteointerpol::StationsToMesh(int f) {
  const StationFile& file = station_files[static_cast<std::size_t>(f)];
  const BoxSearch box = [this](double x, double y, double x0, double x1, double y0, double y1) {
    return FindStationInBox(x, y, x0, x1, y0, y1);
  };
  const std::vector<std::vector<int>> columns = ArrangeMesh(
      file.count, file.x_rot.data(), file.y_rot.data(), spacing.horizontal, spacing.vertical, box);
  if (columns.empty())
    ThrowFatal(Diag(), kStationMeshCode,
               "FATAL: Error converting the station coordinates into a grid:\nThe actual version "
               "of Velorn-Marn accepts only station meshs\nwith an equal number of more or less "
               "equally spaced stations\nin each column, whereas the total number of both, rows "
               "\nand columns, are each virtually unlimited\n");
  const int nr = static_cast<int>(columns.front().size());
  const int nc = static_cast<int>(columns.size());
  mesh_x = GridMatrix(Diag(), 1, nr, nc, nr);
  mesh_y = GridMatrix(Diag(), 1, nr, nc, nr);
  mesh_values = GridMatrix(Diag(), 1, nr, nc, nr);
  mesh_second = GridMatrix(Diag(), 1, nr, nc, nr);
  mesh_stations.assign(static_cast<std::size_t>((nr + 1) * (nc + 1)), 0);
  for (int c = 1; c <= nc; ++c)
    for (int r = 1; r <= nr; ++r) {
      const int s = columns[static_cast<std::size_t>(c - 1)][static_cast<std::size_t>(r - 1)];
      mesh_stations[static_cast<std::size_t>(r * (nc + 1) + c)] = s;
      mesh_x[r][c] = file.x_rot[static_cast<std::size_t>(s)];
      mesh_y[r][c] = file.y_rot[static_cast<std::size_t>(s)];
    }
  for (int k = 0; k < station_file_count && k < 2; ++k)
    spline_grids[static_cast<std::size_t>(k)] =
        GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  SplineSetup setup;
  setup.mesh_x = mesh_x.get(), setup.mesh_y = mesh_y.get(), setup.nr = nr, setup.nc = nc;
  setup.cell_x = coord_x, setup.cell_y = coord_y, setup.mask = zone_grid;
  setup.first_row = first_local_row, setup.last_row = last_local_row, setup.ncols = ncols;
  setup.nodata = nodata, setup.H = spacing.horizontal, setup.V = spacing.vertical;
  setup.cellsize = cellsize;
  splines = std::make_unique<TSplines>(diag, setup);
}

void meteointerpol::ComputeSplines() {
  if (!splines) return;
  const int nr = static_cast<int>(mesh_x.last_row()), nc = static_cast<int>(mesh_x.ncols());
  const int files = method == 8 ? 2 : 1;
  for (int k = 0; k < files && k < station_file_count; ++k) {
    const StationFile& file = station_files[static_cast<std::size_t>(k)];
    for (int r = 1; r <= nr; ++r)
      for (int c = 1; c <= nc; ++c) {
        const int s = mesh_stations[static_cast<std::size_t>(r * (nc + 1) + c)];
        const double v = file.values[static_cast<std::size_t>(s)];
        mesh_values[r][c] = IsMissingStationValue(v, nodata_value) ? kSplineMissingMarker : v;
      }
    splines->ColumnSecondDerivatives(mesh_values.get(), mesh_second.get());
    splines->Interpolate(mesh_values.get(), mesh_second.get(),
                         spline_grids[static_cast<std::size_t>(k)].get());
  }
}

}  // namespace velorn

// The distance methods of meteointerpol: the set-up of the anisotropy (mesh orientation, rotated
// station coordinates and cell coordinate grids, station spacing), the kernels on the current
// record, and the evaluation of the variable at a single point.
#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "meteo/meteo_interpolator.h"

namespace velorn {
StationPoints meteointerpol::Points(int f, bool rotated) const {
  const StationFile& file = station_files[static_cast<std::size_t>(f)];
  return StationPoints{file.count, rotated ? file.x_rot.data() : file.x.data(),
                       rotated ? file.y_rot.data() : file.y.data(), file.values.data()};
}

IdwSettings meteointerpol::Idw() const {
  return IdwSettings{idw_mode, idw_weight, max_distance, nodata_value, anisotropy_ratio};
}

double meteointerpol::InverseDistanceWeight(int f, double* w, double x, double y) const {
  return velorn::InverseDistanceWeight(Points(f, false), Idw(), w, x, y);
}

double meteointerpol::InverseDistanceWeightAnisotropic(int f, double* w, double x, double y) const {
  return velorn::InverseDistanceWeightAnisotropic(Points(f, true), Idw(), w, x, y);
}

double meteointerpol::NearestStation(int f, double* d, double x, double y) const {
  return velorn::NearestStation(Points(f, false), nodata_value, d, x, y);
}

int meteointerpol::FindStationInBox(double x, double y, double dxmin, double dxmax, double dymin,
                                    double dymax) const {
  return velorn::FindStationInBox(Points(0, true), x, y, dxmin, dxmax, dymin, dymax);
}

int meteointerpol::AnyStationUnassigned(const int* flags, int count) const {
  return velorn::AnyStationUnassigned(flags, count);
}

void meteointerpol::DetectMeshOrientation() {
  if (method < 5 || method > 8) return;
  const StationFile& file = station_files[0];
  const MeshOrientation mesh =
      velorn::DetectMeshOrientation(file.count, file.x.data(), file.y.data());
  anisotropy_slope = mesh.theta_degrees;
  anisotropy_ratio = mesh.ratio;
}

void meteointerpol::SetupAnisotropy() {
  idw_mode = IdwMode(idw_weight);
  if (!UsesStationFiles(method)) return;
  if (anisotropy_slope < -kHalfPi || anisotropy_slope > kHalfPi)
    ThrowFatal(Diag(), kAnisotropyCode,
               "FATAL: anisotropy slope has to range from -90 to +90 degree \n");
  if (anisotropy_ratio <= 0 || anisotropy_ratio > 1)
    ThrowFatal(Diag(), kAnisotropyCode,
               "FATAL: ratio of anisotropy has to range from +1 to >0 liegen");
  for (int f = 0; f < station_file_count; ++f) {
    StationFile& file = station_files[static_cast<std::size_t>(f)];
    for (int i = 1; i <= file.count; ++i) {
      const std::size_t s = static_cast<std::size_t>(i);
      const double dx = file.x[s] - xll, dy = file.y[s] - yll;
      file.distance_from_origin[s] = std::sqrt(dx * dx + dy * dy);
      if (anisotropy_ratio < 1.0)
        RotatePoint(file.x[s], file.y[s], xll, yll, anisotropy_slope, file.x_rot[s], file.y_rot[s]);
      else
        file.x_rot[s] = file.x[s], file.y_rot[s] = file.y[s];
    }
  }
}

void meteointerpol::BuildRotatedCoordinateGrids() {
  if (!(anisotropy_ratio < 1.0) || !UsesStationFiles(method)) return;
  auto next_free = [&] {
    const int index = registry->FirstFreeIndex();
    if (index < 1 || index > kLastGridIndex)
      ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no more free grids in memeory, (max. ",
                 kRefusedGridIndex, ")!");
    return index;
  };
  rotated_x = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  rotated_y = GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
  double** gx = rotated_x.get();
  double** gy = rotated_y.get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int64_t c = 1; c <= ncols; ++c) {
      if (cell_x[r][c] == nodata) {
        gx[r][c] = gy[r][c] = nodata;
        continue;
      }
      RotatePoint(cell_x[r][c], cell_y[r][c], xll, yll, anisotropy_slope, gx[r][c], gy[r][c]);
    }
  });
  rotated_x_index = next_free();
  RegisterGrid(rotated_x_index, "", gx, nullptr, 0, FormatText("CoordXRot_%s", name.c_str()), 0,
               first_local_row, last_local_row);
  own_indexes.push_back(rotated_x_index);
  rotated_y_index = next_free();
  RegisterGrid(rotated_y_index, "", gy, nullptr, 0, FormatText("CoordYRot_%s", name.c_str()), 0,
               first_local_row, last_local_row);
  own_indexes.push_back(rotated_y_index);
  coord_x = gx;
  coord_y = gy;
}

StationSpacing meteointerpol::AverageStationSpacing(int f) {
  Diag() << "calculating average horizontal and vertical distance to the next station..."
         << "[end-entry]";
  const StationFile& file = station_files[static_cast<std::size_t>(f)];
  const StationSpacing result_spacing =
      velorn::AverageStationSpacing(file.count, file.x_rot.data(), file.y_rot.data());
  Diag() << "avg. horizontal distance: " << result_spacing.horizontal << " m"
         << "[end-entry]";
  Diag() << "avg. vertical   distance: " << result_spacing.vertical << " m"
         << "[end-entry]";
  return result_spacing;
}

double meteointerpol::InterpolateAtPoint(double x, double y, double z, double* buffer) {
  if (scenario_use == 1 && scenario_method != 5 && scenario_method != 6)
    for (std::array<double, 16>& row : scenario_rows)
      row[15] = ScenarioDayValue(row, current.day, current.month, current.year);
  double xr = x, yr = y;
  if (anisotropy_ratio < 1.0 && x != nodata && y != nodata)
    RotatePoint(x, y, xll, yll, anisotropy_slope, xr, yr);
  const int64_t row =
      std::clamp<int64_t>(nrows - static_cast<int64_t>(std::trunc((y - yll) / cellsize)), 1, nrows);
  const int64_t column =
      std::clamp<int64_t>(static_cast<int64_t>(std::trunc((x - xll) / cellsize)) + 1, 1, ncols);
  auto idw = [&] {
    return anisotropy_ratio < 1.0 ? InverseDistanceWeightAnisotropic(0, buffer, xr, yr)
                                  : InverseDistanceWeight(0, buffer, x, y);
  };
  double value = MissingMarker(nodata_value);
  switch (method) {
    case 1:
      value = idw();
      break;
    case 2:
    case 10:
      value = EvaluateRegression(row, column, x, y, z);
      break;
    case 3:
    case 11: {
      const double regression = EvaluateRegression(row, column, x, y, z);
      value = CombineRegressionAndIdw(regression, regression >= -nodata_value, idw(), idw_fraction,
                                      nodata_value);
      break;
    }
    case 4:
      value = NearestStation(0, buffer, x, y);
      break;
    case 5:
      value = BilinearAtPointAlone(0, xr, yr);
      break;
    case 6:
      value = BilinearAtPointAlone(1, xr, yr) * z + BilinearAtPointAlone(0, xr, yr);
      break;
    case 7:
    case 8:
      value = NearestStation(0, buffer, x, y);
      break;
    case 9:
      // A grid read from a file has no value of its own at a point: it is corrected as a grid.
      break;
    default: {
      const bool fixed = upper_lapse_rate > -9998.0;
      value = ThiessenElevationGradient(x, y, z, lapse_rate, fixed ? inversion_height : -9999,
                                        fixed ? upper_lapse_rate : -9999);
    }
  }
  if (value < -nodata_value) return value;
  value = ApplyLimits(value * scaling_factor, limits);
  // Scenario grids hold this process's rows only: the rows of scenario values serve a point.
  if (scenario_use == 1 && scenario_method != 5 && scenario_method != 6) {
    const double s = ScenarioValueAt(row, column, x, y);
    value = (scenario_method == 1 || scenario_method == 6) ? value + s : value * s;
  }
  return value;
}

}  // namespace velorn

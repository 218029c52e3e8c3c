// Distance and neighbourhood kernels of the meteorological interpolation: inverse-distance
// weighting (plain and anisotropic), the nearest station, box searches, the rotation that
// carries the anisotropy, the mean station spacing and the orientation of a station mesh.
//
// Pure functions over 1-based station arrays (element 0 unused), with no registry, MPI or
// diagnostics: meteointerpol (meteo/meteo_interpolator.h) calls the kernels once per cell from
// its OpenMP cell loop and the set-up functions once at construction. The kernels allocate
// nothing; the caller hands in a weight or distance buffer of count + 1 doubles per thread.
//
// Missing values: with nodata value N a station value at or below -N is unusable, and a kernel
// without a result returns M = -N - 1 (meteo/station_files.h).
#pragma once

#include <vector>

namespace velorn {

inline constexpr double kHalfPi = 1.570796326795;
inline constexpr double kPiMesh = 3.14159265359;
inline constexpr double kDegreesToRadians = 0.017453292519944444;

// The stations of one file in the coordinates a kernel compares with (plain or rotated).
struct StationPoints {
  int count = 0;
  const double* x = nullptr;
  const double* y = nullptr;
  const double* value = nullptr;
};

// IDW settings: mode = floor(1000 p) picks the fast paths (2000: weight 1/s with max_distance
// compared with squared distances; 1000: weight 1/d), any other the power d^-p. `ratio` scales
// the x offsets of the anisotropic form.
struct IdwSettings {
  int mode = 2000;
  double power = 2.0;
  double max_distance = 0;
  double nodata_value = 9999;
  double ratio = 1.0;
};

// floor(1000 p), the IDW mode of a weight.
int IdwMode(double power);
// The comparison distance of an IDW weight: squared whenever the mode is 2000.
double IdwComparisonDistance(double power, double max_distance);

// IDW at (x, y); w[1..count] receive the weights. No usable station within reach gives M.
double InverseDistanceWeight(const StationPoints& stations, const IdwSettings& settings, double* w,
                             double x, double y);
// The same with the x offsets multiplied by settings.ratio (rotated coordinates).
double InverseDistanceWeightAnisotropic(const StationPoints& stations, const IdwSettings& settings,
                                        double* w, double x, double y);
// The value of the nearest usable station (later station wins a tie), or M; d[i] receives the
// squared distances of the usable stations.
double NearestStation(const StationPoints& stations, double nodata_value, double* d, double x,
                      double y);

// Index of the first station with x + dxmin < X_i < x + dxmax and y + dymin < Y_i < y + dymax,
// or 0.
int FindStationInBox(const StationPoints& stations, double x, double y, double dxmin, double dxmax,
                     double dymin, double dymax);
// 1 when any of flags[1..count] is not 0.
int AnyStationUnassigned(const int* flags, int count);

// Rotates (x, y) about the origin (x0, y0) by -theta (radians).
void RotatePoint(double x, double y, double x0, double y0, double theta, double& xr, double& yr);

// Mean distances to the nearest station to the east (horizontal) and to the north (vertical);
// -9999 when no station has such a neighbour.
struct StationSpacing {
  double horizontal = -9999;
  double vertical = -9999;
};
StationSpacing AverageStationSpacing(int count, const double* x, const double* y);

// Orientation of a station mesh from the directions to each station's nearest neighbour:
// theta in degrees and ratio 0.995 when the mesh is turned, else 0 and 1.
struct MeshOrientation {
  double theta_degrees = 0;
  double ratio = 1;
};
MeshOrientation DetectMeshOrientation(int count, const double* x, const double* y);

}  // namespace velorn

// Mesh methods of the meteorological interpolation: stations that form a (possibly rotated)
// regular mesh. Methods 5 and 6 interpolate bilinearly between the four stations around a cell,
// methods 7 and 8 pass splines through the mesh (meteo/splines.h).
//
// - ChooseCorners: the four look-up stations of a cell, north-east (A), north-west (B),
//   south-west (C) and south-east (D): the nearest station takes the corner its side gives, the
//   others are searched one mesh step away in boxes of tolerance f = 0.25 around the expected
//   position;
// - BilinearValue: the bilinear value between the four corners, or the caller's fall-back
//   (anisotropic IDW) when a corner is missing or the corners span no area;
// - ArrangeMesh: the stations as columns of nodes, each column walked north and south from its
//   westernmost free station; every column must have the same number of stations.
//
// Pure functions over 1-based station arrays (coordinates rotated when the interpolator rotates
// its stations); the box search is handed in (meteointerpol passes its FindStationInBox), so
// they need no registry, MPI or diagnostics. meteointerpol builds the corner tables and the mesh
// at construction and calls BilinearValue per cell.
#pragma once

#include <functional>
#include <vector>

namespace velorn {

// Tolerance of the box searches, as a share of the mean station spacing.
inline constexpr double kMeshBoxTolerance = 0.25;
// Code of a station set that forms no regular mesh.
inline constexpr int kStationMeshCode = 70;

// Index of the first station inside the box (x + dxmin, x + dxmax) x (y + dymin, y + dymax)
// around (x, y), or 0.
using BoxSearch =
    std::function<int(double x, double y, double dxmin, double dxmax, double dymin, double dymax)>;

// Station indexes of the four corners of a cell (0: none).
struct MeshCorners {
  int A = 0;  // north-east
  int B = 0;  // north-west
  int C = 0;  // south-west
  int D = 0;  // south-east
};

// Stations 1..count at (x[i], y[i]); H and V are the mean horizontal and vertical spacings.
MeshCorners ChooseCorners(int count, const double* x, const double* y, double H, double V,
                          double cell_x, double cell_y, const BoxSearch& find_in_box);

// The bilinear value at (px, py) between the corners' values (value[i], 1-based); a corner
// whose value is at or below -N counts as none. Missing corners, or corners that span no area,
// give fallback(). All four corners one station give its value.
double BilinearValue(const MeshCorners& corners, const double* x, const double* y,
                     const double* value, double nodata_value, double px, double py,
                     const std::function<double()>& fallback);

// Columns of station indexes, west to east, each from north to south. Empty when the columns
// differ in length (no regular mesh).
std::vector<std::vector<int>> ArrangeMesh(int count, const double* x, const double* y, double H,
                                          double V, const BoxSearch& find_in_box);

}  // namespace velorn

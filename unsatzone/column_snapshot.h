// ColumnSnapshot: the inputs of one inner water step of one soil column, kept while "-dumpmode"
// is on, and the two dump files made of it when a test of the step fails: the binary ".dmp" file
// (the snapshot's items one after another, raw native bytes, no header) and, with heat transfer
// or layered snow, the readable ".dmp_asc" twin that sets the snapshot's snow and heat values
// beside the values after the step.
//
// The cell body of the soil-water sub-step captures a snapshot at the start of every inner step
// (CaptureColumnArrays plus the cell's values, unsatzone/soil_dump.cpp) and, when a test fails,
// captures the column after the step the same way for the twin. SnapshotBytes and DumpText are
// pure, so tests read the bytes back without a model. The files are written by the thread of the
// cell; a file that cannot be opened is skipped (the dump is a diagnostic aid, the run goes on).
//
// Layout of the binary file (int32 4 bytes, double 8 bytes; arrays over the column indices -M..N,
// index -M first; M = 0 without layered snow; L vegetation layers):
//   1 int32 root layers of the previous inner step   2 double time-centred suction (scratch)
//   3 double water input rate (m/s)                   4 double base flow of the cell
//   5 L+1 doubles potential transpiration of vegetation layers 0..L
//   6-19 14 arrays: riverIn, riverOut, suction0, theta0, thetaMean, head, zBound, q, extraction,
//        thetaSat, dz, thetaTrial, thetaRes, theta
//   heat only: 20-26 7 arrays: liquid fraction, temperature, conductivity, dEOverdT, heat
//        capacity, conductive heat flux, temperature at the start of the heat step; 27 double
//        heat step length (s)
//   snow only: 28-31 4 arrays of M+1 doubles (snow layers 0..M): snow water equivalent, liquid
//        water, density, thickness; 32-35 doubles upperIndexSnow, snowstorage_solid,
//        snowstorage_liquid, snow_storage_total of the cell
//   36 int32 soil code   37 L doubles land-use codes of vegetation layers 1..L
//   38-41 int32 hour, day, month, year   42 double inner steps n_w   43 double inner step (s)
//   44 int32 top index i0
//   heat only: 45 double heat steps n_h, 46 int32 heat steps per water step, 47 double the
//        cell's air temperature (the surface temperature input), 48 double surface temperature
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "unsatzone/layered_snow_state.h"
#include "unsatzone/soil_column_workspace.h"
#include "unsatzone/soil_heat.h"

namespace velorn {

struct ColumnSnapshot {
  int M = 0, N = 0, L = 0;
  bool heat = false, layeredSnow = false;
  int32_t rootLayers = 0;                         // 1
  double scratchSuction = 0;                      // 2
  double inputRate = 0;                           // 3
  double baseflow = 0;                            // 4
  std::vector<double> transpiration;              // 5: 0..L
  std::array<std::vector<double>, 14> layers;     // 6-19, each -M..N stored from index 0
  std::array<std::vector<double>, 7> heatLayers;  // 20-26
  double heatStepLength = 0;                      // 27
  std::array<std::vector<double>, 4> snowLayers;  // 28-31, snow layers 0..M
  std::array<double, 4> snowCell{};               // 32-35
  int32_t soilCode = 0;                           // 36
  std::vector<double> landuse;                    // 37: vegetation layers 1..L
  std::array<int32_t, 4> date{};                  // 38-41: hour, day, month, year
  double innerSteps = 0;                          // 42
  double innerStepLength = 0;                     // 43
  int32_t i0 = 0;                                 // 44
  double heatSteps = 0;                           // 45
  int32_t heatPerWaterStep = 0;                   // 46
  double surfaceInput = 0;                        // 47
  double surfaceTemperature = 0;                  // 48

  // Column index i (-M..N) of an array of items 6-26.
  static std::size_t At(int M, int i) { return static_cast<std::size_t>(i + M); }
};

// Copies the column arrays of items 6-19 (and with `hs` items 20-26, with `snow` items 28-31)
// from the workspaces; sets M, N and the switches. Allocates only when the column grows.
// `heat_start` holds the temperatures at the start of the heat step (-M..N), or null.
void CaptureColumnArrays(const SoilColumnWorkspace& ws, const SoilHeatWorkspace* hs,
                         const double* heat_start, const SnowLayerBuffers* snow, ColumnSnapshot& s);

// Bytes of the binary file: items 1-19, 20-27 with heat, 28-35 with layered snow, 36-44, 45-48
// with heat, each in native byte order.
std::string SnapshotBytes(const ColumnSnapshot& s);
// Its length for a column of M snow layers, N soil layers and L vegetation layers.
std::size_t SnapshotSize(int M, int N, int L, bool heat, bool layered_snow);

// Text of the ".dmp_asc" twin: the snow and heat values after the step (`now`) beside the
// snapshot's (`dump`), each value in the stream's default format followed by a tab.
std::string DumpText(const ColumnSnapshot& now, const ColumnSnapshot& dump);

// Writes `name` (binary) and, with heat or layered snow, its ".dmp_asc" twin into the working
// directory, replacing earlier files; a file that cannot be opened is skipped.
void WriteDumpFiles(DiagnosticStream& diag, const std::string& name, const ColumnSnapshot& now,
                    const ColumnSnapshot& dump);

}  // namespace velorn

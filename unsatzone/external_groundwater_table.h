// A groundwater table given from outside (grid "GWTableExtern", filled by the external
// coupling at the start of a step) imposed on one soil column: the layers between the old and
// the new table are saturated (table rising) or drained to field capacity (table falling), and
// the water moved is booked in mm ("Balance", negative when drained).
//
// Called by the soil zone's ApplyExternalGroundwaterTable once per cell of the local rows; a
// pure function of one column, unit-tested on hand columns. Heads H[0..N] are the geodetic
// heights of the layer boundaries (H[0] the surface, H[k] the bottom of layer k, decreasing
// downward); per-layer arrays are indexed 1..N.
//
// Limits: a layer never holds more than its saturated content: a table rising above the surface
// or by more than a layer fills the layer to saturation and books only the water stored. A
// table below the profile bottom is moved to the bottom H[N].
#pragma once

#include <cstdint>

namespace velorn {

struct SoilColumnView {
  double* theta = nullptr;            // water content 1..N
  const double* heads = nullptr;      // H[0..N], m
  const double* theta_sat = nullptr;  // 1..N
  const double* theta_fc = nullptr;   // 1..N, content at field capacity
  const double* thickness = nullptr;  // 1..N, m
  int32_t layers = 0;
  const double* theta_res = nullptr;  // 1..N, residual content (none: 0)
};

struct ExternalTableResult {
  double balance_mm = 0;  // water moved into the column (negative: drained)
  int32_t level = 0;      // layer holding the new table
  double table = 0;       // the imposed table (H[N] when it lay below the profile)
};

// Imposes table `external` on a column whose table lies `distance` m from the surface (negative
// below) in layer `level` (limited to 1..N; 0: no saturated layer, the table's layer is found
// from the bottom up, a table below the column taken at its bottom).
ExternalTableResult ApplyExternalTable(const SoilColumnView& column, double distance, int32_t level,
                                       double external);

}  // namespace velorn

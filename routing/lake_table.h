// The level-volume table of a lake: built from the lake's cells (their elevation and maximum
// ponding storage), with rows every 1 cm over the top 4 m, every 2 cm over the next 10 m and
// every 5 cm below, down to the lowest cell; and the conversions between level and volume by
// linear interpolation in it (the end segments extrapolated).
//
// Callers: reservoirs that are lakes (routing/reservoir.h) and data assimilation of lake
// levels. Pure functions; the caller gathers the lake's cells over all processes first
// (routing/lake_cells.h), so the table is the same on any number of processes.
// Settled here: the top starts from the lake's first cell (a lake below 0 m a.s.l. gets a sound
// table), and a lake without cells or without a volume range (flat, zero maximum ponding) is
// refused by name instead of giving an undefined table or NaN levels; so is a lake deeper than
// any relief on Earth or with a cell whose top is no number.
#pragma once

#include <cstdint>
#include <vector>

#include "core/diagnostic_stream.h"

namespace velorn {

inline constexpr int kLakeTopCode = 213;
// Cells of one lake may differ in elevation + maximum ponding by at most this (m).
inline constexpr double kLakeTopTolerance = 0.01;

struct LakeCell {
  int32_t row = 0, col = 0;
  double elevation = 0;    // m a.s.l.
  double max_ponding = 0;  // mm
};

struct LakeVolumeTable {
  std::vector<double> level;   // m a.s.l., descending; the last row is the lowest cell
  std::vector<double> volume;  // m³, descending; the last row is 0
  int32_t rows() const { return static_cast<int32_t>(level.size()); }
};

// Row counts of a lake of depth D (m): N1 = 400 when D >= 4, else trunc(D / 0.01) and at least
// 1; with R = D − min(D, 4): N2 = 500 when R >= 10, else trunc(R / 0.02); N3 = ceil((R − D2) /
// 0.05); rows = N1 + N2 + N3 + 1.
struct LakeRowCounts {
  int32_t n1 = 0, n2 = 0, n3 = 0;
  double d1 = 0, d2 = 0;
  int32_t rows() const { return n1 + n2 + n3 + 1; }
};
LakeRowCounts LakeRows(double depth);

// The table of lake `id` over its cells of size `cellsize` m. Tops that differ by more than
// kLakeTopTolerance, no cell, or no depth are FATAL 213 naming the lake.
LakeVolumeTable BuildLakeVolumeTable(const std::vector<LakeCell>& cells, double cellsize,
                                     int32_t id, DiagnosticStream& diag);
// Level (m a.s.l.) of volume v, and volume (m³) of level z.
double GetLevelForVolume(const LakeVolumeTable& table, double v);
double GetVolumeForLevel(const LakeVolumeTable& table, double z);

}  // namespace velorn

// The grid cells of a lake: which cells belong to a lake (its code in "lake_codes"), and what
// passes between the lake and the ponding water stored on them: the fluxes of a step that the
// evaporation and snow models put on the lake cells (transpiration, precipitation), the lake's
// volume and concentrations taken from the ponding water, and the lake level written back to the
// cells as ponding depth.
//
// Callers: the reservoirs that are lakes (routing/reservoir.h), bound by the routing stretch
// (routing/stretch_reservoirs.cpp) with the grids the routing model holds on process 0. Pure
// functions over grids handed in (no registry, no MPI): the routing model gathers the static
// grids ("lake_codes", "max_ponding_storage", "zonegrid_soilmodel", the elevation) whole onto
// process 0 first and exchanges the lake cells of the changing grids every step, so a lake is
// the same on any number of processes.
// Limits: the cells are kept as a list in row order (the order of the bounding-box loops), so a
// step costs the lake's cells, not its bounding box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "routing/lake_table.h"

namespace velorn {

inline constexpr int kLakeSubbasinCode = 224;
inline constexpr int kLakeTableFileCode = 225;
// A lake cell outside the rows process 0 holds of a grid the lake exchange gathers (the code of
// that exchange's count mismatch).
inline constexpr int kLakeRowsCode = 121;

// The static grids a lake is found in (whole grids, rows 1..nrows, columns 1..ncols).
struct LakeStaticGrids {
  double** lake_codes = nullptr;
  double** zones = nullptr;        // "zonegrid_soilmodel": subbasin codes
  double** elevation = nullptr;    // m a.s.l.
  double** max_ponding = nullptr;  // mm
  int32_t nrows = 0, ncols = 0;
  double nodata = -9999.0;
};

// The grids of a step on the lake cells (null where absent; ponding and precipitation always).
struct LakeGrids {
  double** ponding = nullptr;        // mm, read and written
  double** transpiration = nullptr;  // "real_transpiration0", mm of the step
  double** precipitation = nullptr;  // "PrecOnLakes", mm of the step
  // Per tracer 1..ntr the concentration of the water on the cells: the top level of the
  // unsaturated zone's concentration stack, which the routing model gathers into whole grids
  // and hands back after the step; empty or null entries carry no concentration.
  std::vector<double**> tracers;
};

// The fluxes of one step over the lake cells with ponding water, in m³.
struct LakeFluxes {
  double transpiration = 0;
  double precipitation = 0;
};

// The cells whose "lake_codes" value is `id` and whose zone is not nodata, in row order. A cell
// in another subbasin than `subbasin_code` is FATAL 224; tops that differ are FATAL 213 when the
// table is built (routing/lake_table.h).
std::vector<LakeCell> CollectLakeCells(const LakeStaticGrids& grids, int32_t id,
                                       int32_t subbasin_code, DiagnosticStream& diag);

// Transpiration and precipitation of a step over the cells with ponding water (a = cell size²):
// ETR += a·transpiration/1000, PREC += a·precipitation/1000. The exchange with the soil below
// (infiltration from the ponding water, exfiltration into it, and through the soil the
// groundwater and its base flow) is not a grid: the lake measures it (routing/reservoir.h).
LakeFluxes LakeCellFluxes(const std::vector<LakeCell>& cells, const LakeGrids& grids,
                          double cellsize);

// Volume (m³) and concentrations of the ponding water on the cells into `state` (index 0 the
// volume, 1..ntr the volume-weighted concentrations, 0 without water); returns the number of
// cells with ponding water.
int32_t LakeStateFromPonding(const std::vector<LakeCell>& cells, const LakeGrids& grids,
                             double cellsize, int32_t ntr, std::vector<double>& state);

// Level z (m a.s.l.) written to the cells: ponding (z − elevation)·1000 mm and the lake's
// concentrations on the cells below z, 0 on the others; returns the number of wet cells and
// sets `volume` to the water written (m³, summed as LakeStateFromPonding sums it).
int32_t ApplyLevelToCells(const std::vector<LakeCell>& cells, const LakeGrids& grids, double z,
                          const std::vector<double>& state, int32_t ntr, double cellsize,
                          double& volume);

// Writes the level-volume table of lake `id` to `name` (FATAL 225 when it cannot be opened).
void WriteLakeVolumeTable(const LakeVolumeTable& table, int32_t id, const std::string& name,
                          DiagnosticStream& diag);

}  // namespace velorn

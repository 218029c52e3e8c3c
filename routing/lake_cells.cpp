// The grid cells of a lake (see lake_cells.h).
#include "routing/lake_cells.h"

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "core/error_code.h"
#include "core/output_files.h"

namespace velorn {
namespace {

double Tracer(const LakeGrids& grids, int32_t i, const LakeCell& c) {
  if (static_cast<std::size_t>(i) >= grids.tracers.size() || grids.tracers[i] == nullptr)
    return 0.0;
  return grids.tracers[i][c.row][c.col];
}

}  // namespace

std::vector<LakeCell> CollectLakeCells(const LakeStaticGrids& grids, int32_t id,
                                       int32_t subbasin_code, DiagnosticStream& diag) {
  std::vector<LakeCell> cells;
  for (int32_t r = 1; r <= grids.nrows; ++r)
    for (int32_t c = 1; c <= grids.ncols; ++c) {
      if (grids.zones[r][c] == grids.nodata || grids.lake_codes[r][c] != id) continue;
      if (static_cast<int32_t>(grids.zones[r][c]) != subbasin_code)
        ThrowFatal(diag, kLakeSubbasinCode, "FATAL:  error in routing description or LAKE grid:\n",
                   " Lake ", id, " must be located completely within subbasin ", subbasin_code,
                   ".");
      cells.push_back(LakeCell{r, c, grids.elevation[r][c], grids.max_ponding[r][c]});
    }
  return cells;
}

LakeFluxes LakeCellFluxes(const std::vector<LakeCell>& cells, const LakeGrids& grids,
                          double cellsize) {
  LakeFluxes f;
  const double a = cellsize * cellsize;
  for (const LakeCell& c : cells) {
    if (!(grids.ponding[c.row][c.col] > 0.0)) continue;
    if (grids.transpiration != nullptr)
      f.transpiration += a * grids.transpiration[c.row][c.col] / 1000.0;
    f.precipitation += a * grids.precipitation[c.row][c.col] / 1000.0;
  }
  return f;
}

int32_t LakeStateFromPonding(const std::vector<LakeCell>& cells, const LakeGrids& grids,
                             double cellsize, int32_t ntr, std::vector<double>& state) {
  state.assign(static_cast<std::size_t>(ntr) + 1, 0.0);
  int32_t count = 0;
  for (const LakeCell& c : cells) {
    const double p = grids.ponding[c.row][c.col];
    if (!(p > 0.0)) continue;
    const double v = cellsize * (p / 1000.0 * cellsize);
    state[0] += v;
    for (int32_t i = 1; i <= ntr; ++i) state[i] += v * Tracer(grids, i, c);
    ++count;
  }
  for (int32_t i = 1; i <= ntr; ++i) state[i] = state[0] > 0.0 ? state[i] / state[0] : 0.0;
  return count;
}

int32_t ApplyLevelToCells(const std::vector<LakeCell>& cells, const LakeGrids& grids, double z,
                          const std::vector<double>& state, int32_t ntr, double cellsize,
                          double& volume) {
  int32_t count = 0;
  volume = 0.0;
  for (const LakeCell& c : cells) {
    const bool wet = z > c.elevation;
    const double p = wet ? (z - c.elevation) * 1000.0 : 0.0;
    grids.ponding[c.row][c.col] = p;
    // As LakeStateFromPonding sums it, so that an unchanged pond reads back as this volume.
    if (wet) volume += cellsize * (p / 1000.0 * cellsize);
    for (int32_t i = 1; i <= ntr; ++i)
      if (static_cast<std::size_t>(i) < grids.tracers.size() && grids.tracers[i] != nullptr)
        grids.tracers[i][c.row][c.col] = wet ? state[i] : 0.0;
    if (wet) ++count;
  }
  return count;
}

void WriteLakeVolumeTable(const LakeVolumeTable& table, int32_t id, const std::string& name,
                          DiagnosticStream& diag) {
  errno = 0;
  std::FILE* file = OpenOutputFile(name, "w");
  if (file == nullptr)
    ThrowFatal(diag, kLakeTableFileCode, "FATAL: error opening ", name,
               " for writing the waterlevel-volume-relation to disk", SystemReason(ErrnoOrIo()),
               ".");
  CheckedFile checked(diag, kLakeTableFileCode, name, file);
  std::ostringstream out;
  out << "waterlevel-volume-table lake " << id << "\n"
      << "Level[m a.s.l.]\tVolume[m^3]\n";
  for (int32_t r = 0; r < table.rows(); ++r)
    out << table.level[r] << "\t" << table.volume[r] << "\n";
  checked.Write(out.str());
  checked.Close();
}

}  // namespace velorn

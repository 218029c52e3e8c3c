// Nodata handling of grids read from files: the mapping of a file's own nodata value onto the
// model's, and the filling of nodata holes inside the model domain.
//
// The grid reader (grid_reader.cpp) calls ReplaceValue on every grid right after its cells are
// read, before anything else looks at them, so a file that marks missing cells with -1 or
// -99999 never lets those values pass as data or be blended into neighbours by resampling.
// With a fill mode it then calls FillGridHoles on process 0, on the whole grid: a hole is a
// nodata cell where the reference grid (the zone grid, registry entry 1) has a value. Holes get
// the first valid value of a widening neighbour search, or a fixed fill value.
//
// Limits: whole grids only (rows 1..nrows present in the grid and in the reference); no MPI,
// no threads. A hole without a valid cell within 10 steps fails with code 25.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velorn {

class DiagnosticStream;

// Code of a hole that the neighbour search cannot fill.
inline constexpr int kHoleTooBigCode = 25;
// Code of a process log that cannot be opened.
inline constexpr int kLogFileCode = 5;
// Widest neighbour search, in steps.
inline constexpr int kNeighbourSearchSteps = 10;

struct HoleFilling {
  int fill_mode = 0;      // 1 fill from neighbours, 2 fill with fill_value
  bool strict = false;    // fill mode 1: search neighbours (else fill_value) and fail on big holes
  double fill_value = 0;  // value of fill mode 2 and of non-strict fill mode 1
};

// Sets every cell of rows first_row..last_row (columns 1..ncols) equal to `from` to `to`; null
// rows are skipped.
void ReplaceValue(double** grid, int64_t first_row, int64_t last_row, int64_t ncols, double from,
                  double to);

// The neighbour search of one hole at (row, col): for k = 1..10 the rows row-k..row+k are
// visited top to bottom, in row row-k+m (m = 0..2k) the columns col-m..col+m left to right,
// cells outside the grid skipped; the first cell other than `nodata` gives `value`. False when
// none is found within 10 steps.
bool FindNeighbourValue(double** grid, int32_t nrows, int32_t ncols, int32_t row, int32_t col,
                        double nodata, double& value);

// Fills the holes of a whole grid whose nodata cells already hold `nodata`. Cells outside the
// reference domain become nodata when at least one hole was filled; a grid without holes is
// left as it was. Returns the number of holes. Each neighbour replacement writes a DEBUG entry
// and a line to `log`; a hole too big writes the FATAL entry and its log line and throws 25.
int64_t FillNodataHoles(DiagnosticStream& diag, std::FILE* log, const std::string& name,
                        double** grid, double** reference, int32_t nrows, int32_t ncols,
                        double nodata, const HoleFilling& how);

// FillNodataHoles with the process log "modell_<rank>.log" opened for appending (FATAL and
// code 5 when it cannot be), the verbose "checking" entry and the closing count entry.
void FillGridHoles(DiagnosticStream& diag, int rank, bool verbose, const std::string& name,
                   double** grid, double** reference, int32_t nrows, int32_t ncols, double nodata,
                   const HoleFilling& how);

}  // namespace velorn

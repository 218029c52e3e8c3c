// GridStack: the most recent grids of one quantity, up to a fixed count, and their mean per cell.
//
// The interception model keeps one for the air temperature: it pushes a copy of the temperature
// grid once per time step and reads the mean over the last day, which the canopy snow model
// needs as its one-day mean temperature. The stack owns the grids it holds (oldest first); a
// push beyond the maximum count frees the oldest. Every held grid has the stack's geometry
// (this process's rows, all columns).
//
//   GridStack stack(GridStackCapacity(60.0), first_local_row, last_local_row, nrows, ncols);
//   GridMatrix copy(diag, first_local_row, last_local_row, ncols, nrows);   // zero-filled
//   ... copy the own cells ...
//   stack.Push(std::move(copy));
//   double mean = stack.GetMean(r, c);      // over the grids pushed so far (at most 24)
//
// Limits: no MPI and no registry; the mean sums the held grids in push order, so it is the same
// on any number of processes. Cells a caller does not copy stay 0 (grids are zero on
// allocation).
#pragma once

#include <cstdint>
#include <deque>

#include "core/matrix.h"
#include "core/modelobject.h"

namespace velorn {

// Grids held for one day of steps of `interval_minutes`: 1440 / interval truncated (24 for
// hourly steps, 1 for daily steps), and at least 1, so that steps longer than a day keep the
// current grid instead of none.
int32_t GridStackCapacity(double interval_minutes);

class GridStack : public modelobject {
 public:
  // An empty stack for grids of rows first_row..last_row (of total_rows rows) and columns
  // 1..last_column. A maximum count below 1 holds one grid. The held grids free themselves.
  GridStack(int32_t maximum_count, int32_t first_row, int32_t last_row, int32_t total_rows,
            int32_t last_column);

  // Takes the grid as the newest; frees the oldest when more than the maximum count are held.
  // A grid of another geometry is a programming error (std::invalid_argument). Returns 1.
  int Push(GridMatrix grid);
  // Mean of the held grids at (row, column); 0 for an empty stack.
  double GetMean(int64_t row, int64_t column) const;

  int32_t count() const { return static_cast<int32_t>(grids_.size()); }
  // The held grid `k`, 0 the oldest (k below count()).
  const GridMatrix& Held(int32_t k) const { return grids_[static_cast<std::size_t>(k)]; }
  int32_t maximum_count() const { return maximum_count_; }

 private:
  std::deque<GridMatrix> grids_;  // oldest first
  int32_t first_row_ = 0;
  int32_t last_row_ = 0;
  int32_t last_column_ = 0;
  int32_t maximum_count_ = 1;
};

}  // namespace velorn

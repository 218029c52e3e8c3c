// GridStack: a bounded queue of owned grids and their cell means.
#include "evaporation/grid_stack.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace velorn {

int32_t GridStackCapacity(double interval_minutes) {
  if (!(interval_minutes > 0)) return 1;
  const double count = std::trunc(1440.0 / interval_minutes);
  return count < 1.0 ? 1 : static_cast<int32_t>(count);
}

GridStack::GridStack(int32_t maximum_count, int32_t first_row, int32_t last_row,
                     int32_t /*total_rows*/, int32_t last_column)
    : first_row_(first_row),
      last_row_(last_row),
      last_column_(last_column),
      maximum_count_(std::max<int32_t>(1, maximum_count)) {}

int GridStack::Push(GridMatrix grid) {
  if (!grid || grid.first_row() != first_row_ || grid.last_row() != last_row_ ||
      grid.ncols() != last_column_) {
    throw std::invalid_argument("GridStack::Push: grid of another geometry");
  }
  grids_.push_back(std::move(grid));
  if (count() > maximum_count_) grids_.pop_front();
  return 1;
}

double GridStack::GetMean(int64_t row, int64_t column) const {
  if (grids_.empty()) return 0.0;
  double sum = 0.0;
  for (const GridMatrix& grid : grids_) sum += grid[row][column];
  return sum / count();
}

}  // namespace velorn

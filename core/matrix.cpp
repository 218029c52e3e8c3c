// Grid and stack storage: block layout, allocation table and the owning wrappers.
//
// Every allocation made here is entered in one process-wide table keyed by the row-pointer
// array, holding the row range, the column count and the data blocks actually allocated. The
// free operations take the layout from that table, so a caller who passes other numbers than
// at allocation is refused instead of freeing foreign memory. Data come from calloc, so even
// very large grids are zero without touching every page.
#include "core/matrix.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/matrix_trim.h"

namespace velorn {
namespace {

// Bytes the allocator is assumed to add to every block.
constexpr int64_t kAllocatorOverhead = 24;

struct GridLayout {
  int64_t first_row = 0;
  int64_t last_row = -1;
  int64_t last_col = 0;
  std::vector<double*> blocks;
};

struct StackLayout {
  int64_t first_row = 0;
  int64_t last_row = -1;
};

// The allocation table. Grids and stacks are kept apart so that a stack handed to FreeMatrix
// (or the reverse) is recognised as foreign.
class AllocationTable {
 public:
  void AddGrid(double** grid, GridLayout layout) {
    std::lock_guard<std::mutex> lock(mutex_);
    grids_[grid] = std::move(layout);
  }
  bool TakeGrid(double** grid, GridLayout* layout) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = grids_.find(grid);
    if (it == grids_.end()) return false;
    *layout = std::move(it->second);
    grids_.erase(it);
    return true;
  }
  bool FindGrid(double** grid, GridLayout* layout) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = grids_.find(grid);
    if (it == grids_.end()) return false;
    *layout = it->second;
    return true;
  }
  void AddStack(double*** stack, StackLayout layout) {
    std::lock_guard<std::mutex> lock(mutex_);
    stacks_[stack] = layout;
  }
  bool TakeStack(double*** stack, StackLayout* layout) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = stacks_.find(stack);
    if (it == stacks_.end()) return false;
    *layout = it->second;
    stacks_.erase(it);
    return true;
  }
  int64_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int64_t>(grids_.size() + stacks_.size());
  }
  bool FindStack(double*** stack, StackLayout* layout) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = stacks_.find(stack);
    if (it == stacks_.end()) return false;
    *layout = it->second;
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<double**, GridLayout> grids_;
  std::unordered_map<double***, StackLayout> stacks_;
};

AllocationTable& Table() {
  static AllocationTable table;
  return table;
}

// Entries of the row-pointer array: total rows + 1, or last row + 1 when total rows <= 0.
int64_t RowPointerCount(int64_t last_row, int64_t total_rows) {
  const int64_t count = total_rows > 0 ? total_rows + 1 : last_row + 1;
  return count > 0 ? count : 1;
}

// A non-empty row range must lie within the row-pointer array.
bool RowRangeFits(int64_t first_row, int64_t last_row, int64_t pointer_count) {
  if (last_row < first_row) return true;
  return first_row >= 0 && last_row < pointer_count;
}

void FreeGridLayout(double** grid, const GridLayout& layout) {
  for (double* block : layout.blocks) std::free(block);
  std::free(grid);
}

void FreeStackRows(double*** stack, const StackLayout& layout) {
  for (int64_t r = layout.first_row; r <= layout.last_row; ++r) {
    if (stack[r] == nullptr) continue;
    std::free(stack[r][0]);
    std::free(stack[r]);
  }
  std::free(stack);
}

}  // namespace

int64_t LiveMatrixCount() {
  return Table().Count();
}

double CountHalvings(double x) {
  if (std::isinf(x)) return HUGE_VAL;
  double count = 0;
  while (x > 1) {
    x /= 2;
    count += 1;
  }
  return count;
}

std::vector<int64_t> MatrixBlockRows(int64_t first_row, int64_t last_row, int64_t last_col) {
  std::vector<int64_t> blocks;
  if (last_row < first_row) return blocks;
  const int64_t row_bytes = 8 * (last_col + 1);
  const int64_t rows = last_row - first_row + 1;
  // One row more than the range holds is the starting estimate; a remainder of at most a
  // tenth of it is taken in one piece.
  const int64_t estimate = (rows + 1) * row_bytes;
  const auto threshold = static_cast<int64_t>(static_cast<double>(estimate) * 0.1);
  int64_t r = first_row;
  int64_t remaining = estimate;
  while (remaining > 0 && r <= last_row) {
    const auto k = static_cast<int>(
        std::ceil(CountHalvings(static_cast<double>(remaining + kAllocatorOverhead))));
    const double power = std::ldexp(1.0, k);
    const double half = std::ldexp(1.0, k - 1);
    if ((remaining <= threshold && power < static_cast<double>(kMaxMatrixBlockBytes)) ||
        static_cast<double>(row_bytes + kAllocatorOverhead) > half) {
      blocks.push_back(last_row - r + 1);
      return blocks;
    }
    const double usable =
        std::min(half - kAllocatorOverhead, static_cast<double>(kMaxMatrixBlockBytes));
    const auto n = static_cast<int64_t>(usable / static_cast<double>(row_bytes));
    const int64_t take = std::min(n, last_row - r + 1);
    blocks.push_back(take);
    r += take;
    remaining = (last_row + 1 - r) * row_bytes;
  }
  return blocks;
}

double** AllocateMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row,
                        int64_t /*first_col*/, int64_t last_col, int64_t total_rows) {
  if (last_col < 0) ThrowFatal(diag, 1, "FATAL: invalid last column ", last_col, " in matrix()");
  if (last_col > kMaxMatrixBlockBytes / 8 ||
      8 * (last_col + 1) + kAllocatorOverhead > kMaxMatrixBlockBytes) {
    ThrowFatal(diag, 1, "FATAL: too long matrix rows");
  }
  const int64_t pointer_count = RowPointerCount(last_row, total_rows);
  if (!RowRangeFits(first_row, last_row, pointer_count)) {
    ThrowFatal(diag, 1, "FATAL: invalid row range ", first_row, "..", last_row, " of ",
               pointer_count - 1, " rows in matrix()");
  }
  auto** grid = static_cast<double**>(std::calloc(pointer_count, sizeof(double*)));
  if (grid == nullptr) ThrowFatal(diag, 1, "FATAL: memory allocation error 1 in matrix()");

  GridLayout layout{first_row, last_row, last_col, {}};
  const int64_t row_doubles = last_col + 1;
  int64_t r = first_row;
  for (int64_t rows : MatrixBlockRows(first_row, last_row, last_col)) {
    auto* block = static_cast<double*>(std::calloc(rows * row_doubles, sizeof(double)));
    if (block == nullptr) {
      // Release what this call took before reporting, so a caught failure leaks nothing.
      FreeGridLayout(grid, layout);
      ThrowFatal(diag, 1, "FATAL: memory allocation error 2 in matrix()");
    }
    layout.blocks.push_back(block);
    for (int64_t i = 0; i < rows; ++i) grid[r + i] = block + i * row_doubles;
    r += rows;
  }
  Table().AddGrid(grid, std::move(layout));
  return grid;
}

void FreeMatrix(DiagnosticStream& diag, double** grid, int64_t first_row, int64_t last_row,
                int64_t /*first_col*/, int64_t last_col, int64_t /*total_rows*/) {
  if (grid == nullptr) return;
  GridLayout layout;
  if (!Table().FindGrid(grid, &layout)) {
    ThrowFatal(diag, 1, "FATAL: FreeMatrix() called with a grid not made by matrix()");
  }
  if (layout.first_row != first_row || layout.last_row != last_row || layout.last_col != last_col) {
    ThrowFatal(diag, 1, "FATAL: FreeMatrix() called with rows ", first_row, "..", last_row,
               " and last column ", last_col, " for a grid of rows ", layout.first_row, "..",
               layout.last_row, " and last column ", layout.last_col);
  }
  FreeMatrix(grid);
}

void FreeMatrix(double** grid) noexcept {
  if (grid == nullptr) return;
  GridLayout layout;
  if (Table().TakeGrid(grid, &layout)) FreeGridLayout(grid, layout);
}

void TrimMatrixRows(DiagnosticStream& diag, double** grid, int64_t first_row, int64_t last_row) {
  GridLayout layout;
  if (grid == nullptr || !Table().FindGrid(grid, &layout))
    ThrowFatal(diag, 1, "FATAL: TrimMatrixRows() called with a grid not made by matrix()");
  if (last_row >= first_row && (first_row < layout.first_row || last_row > layout.last_row))
    ThrowFatal(diag, 1, "FATAL: TrimMatrixRows() called with rows ", first_row, "..", last_row,
               " for a grid of rows ", layout.first_row, "..", layout.last_row);
  GridLayout kept{first_row, last_row, layout.last_col, {}};
  const int64_t row_doubles = layout.last_col + 1;
  std::vector<double*> rows;
  for (int64_t rows_in_block : MatrixBlockRows(first_row, last_row, layout.last_col)) {
    auto* block = static_cast<double*>(std::malloc(rows_in_block * row_doubles * sizeof(double)));
    if (block == nullptr) {
      for (double* taken : kept.blocks) std::free(taken);
      ThrowFatal(diag, 1, "FATAL: memory allocation error 2 in matrix()");
    }
    kept.blocks.push_back(block);
    for (int64_t i = 0; i < rows_in_block; ++i) rows.push_back(block + i * row_doubles);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto row = first_row + static_cast<int64_t>(i);
    std::copy(grid[row], grid[row] + row_doubles, rows[i]);
  }
  for (double* block : layout.blocks) std::free(block);
  for (int64_t row = layout.first_row; row <= layout.last_row; ++row) grid[row] = nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) grid[first_row + static_cast<int64_t>(i)] = rows[i];
  Table().AddGrid(grid, std::move(kept));
}

double*** Allocate3dMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row,
                           int64_t first_col, int64_t last_col, int64_t levels,
                           int64_t total_rows) {
  const int64_t pointer_count = RowPointerCount(last_row, total_rows);
  if (!RowRangeFits(first_row, last_row, pointer_count) || last_col < 0 || levels < 0) {
    ThrowFatal(diag, 1, "FATAL: invalid stack layout (rows ", first_row, "..", last_row,
               ", last column ", last_col, ", levels ", levels, ") in 3_d_matrix()");
  }
  int64_t cell_bytes = 0;
  if (__builtin_mul_overflow(last_col + 1, levels + 1, &cell_bytes) ||
      __builtin_mul_overflow(cell_bytes, int64_t{8}, &cell_bytes)) {
    ThrowFatal(diag, 1, "FATAL: memory allocation error (3) in 3_d_matrix()");
  }
  auto*** stack = static_cast<double***>(std::calloc(pointer_count, sizeof(double**)));
  if (stack == nullptr) ThrowFatal(diag, 1, "FATAL: memory allocation error (1) in 3_d_matrix()");
  const StackLayout layout{first_row, last_row};
  const int64_t cell_doubles = levels + 1;
  for (int64_t r = first_row; r <= last_row; ++r) {
    auto** cells = static_cast<double**>(std::calloc(last_col + 1, sizeof(double*)));
    if (cells == nullptr) {
      FreeStackRows(stack, layout);
      ThrowFatal(diag, 1, "FATAL: memory allocation error (2) in 3_d_matrix()");
    }
    stack[r] = cells;
    auto* block = static_cast<double*>(std::calloc((last_col + 1) * cell_doubles, sizeof(double)));
    if (block == nullptr) {
      FreeStackRows(stack, layout);
      ThrowFatal(diag, 1, "FATAL: memory allocation error (3) in 3_d_matrix()");
    }
    cells[0] = block;
    for (int64_t c = std::max<int64_t>(first_col, 1); c <= last_col; ++c) {
      cells[c] = block + c * cell_doubles;
    }
  }
  Table().AddStack(stack, layout);
  return stack;
}

void Free3dMatrix(DiagnosticStream& diag, double*** stack, int64_t first_row, int64_t last_row) {
  if (stack == nullptr) return;
  StackLayout layout;
  if (!Table().FindStack(stack, &layout)) {
    ThrowFatal(diag, 1, "FATAL: Free3dMatrix() called with a stack not made by 3_d_matrix()");
  }
  if (layout.first_row != first_row || layout.last_row != last_row) {
    ThrowFatal(diag, 1, "FATAL: Free3dMatrix() called with rows ", first_row, "..", last_row,
               " for a stack of rows ", layout.first_row, "..", layout.last_row);
  }
  Free3dMatrix(stack);
}

void Free3dMatrix(double*** stack) noexcept {
  if (stack == nullptr) return;
  StackLayout layout;
  if (Table().TakeStack(stack, &layout)) FreeStackRows(stack, layout);
}

GridMatrix::GridMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row, int64_t ncols,
                       int64_t total_rows)
    : rows_(AllocateMatrix(diag, first_row, last_row, 1, ncols, total_rows)),
      first_row_(first_row),
      last_row_(last_row),
      ncols_(ncols) {}

StackMatrix::StackMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row, int64_t ncols,
                         int64_t levels, int64_t total_rows)
    : cells_(Allocate3dMatrix(diag, first_row, last_row, 1, ncols, levels, total_rows)),
      first_row_(first_row),
      last_row_(last_row),
      ncols_(ncols),
      levels_(levels) {}

}  // namespace velorn

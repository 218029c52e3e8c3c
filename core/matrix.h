// Grid and stack storage: the two shapes of numeric data of every model.
//
// A grid is a matrix of doubles with global, 1-based rows and columns, allocated for a range of
// rows: the row-pointer array has (total rows + 1) entries (last row + 1 when total rows <= 0),
// null outside first..last row, and each held row has (last column + 1) doubles, element 0
// unused. Rows lie contiguously in blocks of at most 2147480000 bytes (power-of-two sizes), so
// whole strips can be handed to MPI and file routines. A stack has the same row pointers; each
// held row has (last column + 1) cell pointers, element 0 pointing at the row's data block of
// (last column + 1) x (levels + 1) doubles and element c at the levels 0..levels of cell c, so
// the cells of a row with all their levels are contiguous. All data are zero on allocation.
//
// The layout of every allocation is recorded, so freeing checks that the caller's arguments
// match what was allocated instead of freeing memory by a recomputed layout.
//
// GridMatrix and StackMatrix own their storage (move-only) and hand out the raw `double**` /
// `double***` that the model code indexes as g[row][col] and s[row][col][level]. No other code
// allocates grids with new[]/delete[].
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace velorn {

class DiagnosticStream;

// Largest data block of a grid in bytes; a row (with 24 bytes of allocator overhead) must fit.
inline constexpr int64_t kMaxMatrixBlockBytes = 2147480000;

// Rows per data block of a grid holding rows first_row..last_row with last_col + 1 doubles per
// row, first block first (rows 1..100 with last column 100 give 81, 10 and 9). Empty for an
// empty row range. The row must fit a block: (last_col + 1) * 8 + 24 <= kMaxMatrixBlockBytes.
std::vector<int64_t> MatrixBlockRows(int64_t first_row, int64_t last_row, int64_t last_col);

// Allocates a grid; failures write their FATAL entry and throw ErrorCode{1}. The first-column
// argument has no effect (columns always start at 0). A row range outside 0..pointer count - 1
// or a negative last column is refused the same way.
double** AllocateMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row,
                        int64_t first_col, int64_t last_col, int64_t total_rows);
// Frees a grid made by AllocateMatrix; null is ignored. Arguments that differ from the
// allocation are a FATAL error (code 1) and nothing is freed.
void FreeMatrix(DiagnosticStream& diag, double** grid, int64_t first_row, int64_t last_row,
                int64_t first_col, int64_t last_col, int64_t total_rows);
// Frees a grid made by AllocateMatrix with the layout recorded at allocation; null is ignored.
void FreeMatrix(double** grid) noexcept;

// Allocates a stack; failures write their FATAL entry and throw ErrorCode{1}.
double*** Allocate3dMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row,
                           int64_t first_col, int64_t last_col, int64_t levels, int64_t total_rows);
// Frees a stack made by Allocate3dMatrix; null is ignored. A row range that differs from the
// allocation is a FATAL error (code 1) and nothing is freed.
void Free3dMatrix(DiagnosticStream& diag, double*** stack, int64_t first_row, int64_t last_row);
// Frees a stack made by Allocate3dMatrix with the layout recorded at allocation; null is ignored.
void Free3dMatrix(double*** stack) noexcept;

// Grids and stacks allocated and not yet freed in this process (leak checks of owners).
int64_t LiveMatrixCount();

// Number of halvings that bring x to 1 or below (0 for x <= 1).
double CountHalvings(double x);

// Owning grid of doubles; see the layout above.
class GridMatrix {
 public:
  GridMatrix() = default;
  // Rows first_row..last_row of a grid of total_rows rows (0: the rows up to last_row),
  // columns 1..ncols.
  GridMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row, int64_t ncols,
             int64_t total_rows);
  ~GridMatrix() { FreeMatrix(rows_); }
  GridMatrix(GridMatrix&& other) noexcept { swap(other); }
  GridMatrix& operator=(GridMatrix&& other) noexcept {
    GridMatrix moved(std::move(other));
    swap(moved);
    return *this;
  }
  GridMatrix(const GridMatrix&) = delete;
  GridMatrix& operator=(const GridMatrix&) = delete;

  double** get() const { return rows_; }
  double* operator[](int64_t row) const { return rows_[row]; }
  explicit operator bool() const { return rows_ != nullptr; }
  int64_t first_row() const { return first_row_; }
  int64_t last_row() const { return last_row_; }
  int64_t ncols() const { return ncols_; }
  // Releases ownership of the row pointers (to be freed later with FreeMatrix).
  double** release() {
    double** rows = rows_;
    rows_ = nullptr;
    return rows;
  }

 private:
  void swap(GridMatrix& other) noexcept {
    std::swap(rows_, other.rows_);
    std::swap(first_row_, other.first_row_);
    std::swap(last_row_, other.last_row_);
    std::swap(ncols_, other.ncols_);
  }
  double** rows_ = nullptr;
  int64_t first_row_ = 0;
  int64_t last_row_ = -1;
  int64_t ncols_ = 0;
};

// Owning stack of doubles (levels 0..levels per cell); see the layout above.
class StackMatrix {
 public:
  StackMatrix() = default;
  StackMatrix(DiagnosticStream& diag, int64_t first_row, int64_t last_row, int64_t ncols,
              int64_t levels, int64_t total_rows);
  ~StackMatrix() { Free3dMatrix(cells_); }
  StackMatrix(StackMatrix&& other) noexcept { swap(other); }
  StackMatrix& operator=(StackMatrix&& other) noexcept {
    StackMatrix moved(std::move(other));
    swap(moved);
    return *this;
  }
  StackMatrix(const StackMatrix&) = delete;
  StackMatrix& operator=(const StackMatrix&) = delete;

  double*** get() const { return cells_; }
  double** operator[](int64_t row) const { return cells_[row]; }
  explicit operator bool() const { return cells_ != nullptr; }
  int64_t first_row() const { return first_row_; }
  int64_t last_row() const { return last_row_; }
  int64_t ncols() const { return ncols_; }
  int64_t levels() const { return levels_; }
  double*** release() {
    double*** cells = cells_;
    cells_ = nullptr;
    return cells;
  }

 private:
  void swap(StackMatrix& other) noexcept {
    std::swap(cells_, other.cells_);
    std::swap(first_row_, other.first_row_);
    std::swap(last_row_, other.last_row_);
    std::swap(ncols_, other.ncols_);
    std::swap(levels_, other.levels_);
  }
  double*** cells_ = nullptr;
  int64_t first_row_ = 0;
  int64_t last_row_ = -1;
  int64_t ncols_ = 0;
  int64_t levels_ = 0;
};

}  // namespace velorn

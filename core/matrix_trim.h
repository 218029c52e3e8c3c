// TrimMatrixRows: a grid made by AllocateMatrix (core/matrix.h) cut to fewer rows in place.
//
// The settings object calls it once after the set-up, when process 0 gives up the rows of its
// whole set-up grids that other processes own (setup/held_rows_trim.h). Kept apart from
// core/matrix.h so that the grid layout every file includes stays as it is.
#pragma once

#include <cstdint>

namespace velorn {

class DiagnosticStream;

// Keeps only rows first_row..last_row of a grid made by AllocateMatrix: they move into new
// blocks, the old blocks are freed and the other row pointers become null. The row-pointer array
// (the grid's `double**`) stays the same, so every pointer to the grid stays valid; a GridMatrix
// that owns the grid still frees it rightly, but reports its old row range. A grid not made by
// AllocateMatrix, or rows it does not hold, are a FATAL error (code 1), nothing changed.
void TrimMatrixRows(DiagnosticStream& diag, double** grid, int64_t first_row, int64_t last_row);

}  // namespace velorn

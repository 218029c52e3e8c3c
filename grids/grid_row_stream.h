// GridRowStream: the rows of a grid as process 0 writes it, one row at a time, so that no
// process holds a second whole copy of the grid for its output.
//
// The output of registered grids (grids/grid_output.cpp) hands a grid to the writers of
// grids/grid_writer.cpp (modelobject::WriteGridRows) through a stream of one of three forms:
// - gathered (two or more processes): each process other than 0 sends all its strips when it
//   makes the stream; process 0 receives the rows by blocks of `block_rows` rows into one
//   reused buffer as the writer asks for them, its own cells copied from the grid and nodata
//   outside every region (the rows MPIGatherGridCopy would make);
// - own cells (one process with a decomposition, a grid with values outside the region): each
//   row copied into one row buffer with nodata outside the process's cells;
// - as it is: the grid's own rows.
// Row(r) must be called for r = 1, 2, ... in order, on process 0 only; Finish() receives the
// rows the writer did not ask for. In the gathered form making the stream is collective: every
// process makes it in the same order, and process 0 calls Finish before the next one.
#pragma once

#include <cstdint>
#include <vector>

#include "grids/mpi_layout.h"

namespace velorn {

class DiagnosticStream;

// Bytes of the block buffer of a gathered stream when no block size is given.
inline constexpr int64_t kGatherBlockBytes = int64_t{4} << 20;

class GridRowStream {
 public:
  enum class Form { kAsItIs, kOwnCells, kGathered };
  // `owner`: the owner grid (own cells form); `layout`: the decomposition (gathered form).
  // block_rows <= 0 takes as many rows as fit kGatherBlockBytes (at least one).
  GridRowStream(DiagnosticStream& diag, Form form, const MpiLayout* layout, double** grid,
                double** owner, int rank, int32_t nrows, int32_t ncols, double nodata,
                int32_t block_rows = 0);
  GridRowStream(const GridRowStream&) = delete;
  GridRowStream& operator=(const GridRowStream&) = delete;

  // Row r (columns 0..ncols, column 0 unused) as process 0 writes it; the writer may change
  // its cells. Null only in the as-it-is form for a row the grid does not hold.
  double* Row(int32_t row);
  // Process 0 of a gathered stream: receives the rows not yet asked for.
  void Finish();

 private:
  void NextBlock();

  DiagnosticStream& diag_;
  Form form_;
  const MpiLayout* layout_;
  double** grid_;
  double** owner_;
  int rank_;
  int32_t nrows_;
  int32_t ncols_;
  double nodata_;
  int32_t block_rows_;
  int32_t block_first_ = 1;
  int32_t block_last_ = 0;
  std::vector<double> buffer_;
};

}  // namespace velorn

// GridRowStream: rows of a grid for the writers, gathered by blocks or copied row by row.
#include "grids/grid_row_stream.h"

#include <algorithm>

#include "core/error_code.h"
#include "grids/mpi_exchange.h"

namespace velorn {

GridRowStream::GridRowStream(DiagnosticStream& diag, Form form, const MpiLayout* layout,
                             double** grid, double** owner, int rank, int32_t nrows, int32_t ncols,
                             double nodata, int32_t block_rows)
    : diag_(diag),
      form_(form),
      layout_(layout),
      grid_(grid),
      owner_(owner),
      rank_(rank),
      nrows_(nrows),
      ncols_(ncols),
      nodata_(nodata) {
  const int64_t row_length = static_cast<int64_t>(ncols) + 1;
  block_rows_ = block_rows > 0
                    ? block_rows
                    : static_cast<int32_t>(std::clamp<int64_t>(
                          kGatherBlockBytes / (row_length * static_cast<int64_t>(sizeof(double))),
                          1, std::max(nrows, 1)));
  if (form_ == Form::kOwnCells) buffer_.resize(static_cast<std::size_t>(row_length));
  if (form_ != Form::kGathered) return;
  if (rank_ != 0) {
    MPIGatherGrid(diag_, layout_, grid_);  // sends all own strips to process 0
    return;
  }
  buffer_.resize(static_cast<std::size_t>(std::min(block_rows_, nrows_) * row_length));
}

void GridRowStream::NextBlock() {
  block_first_ = block_last_ + 1;
  block_last_ = std::min(nrows_, block_last_ + block_rows_);
  MPIGatherGridBlock(diag_, *layout_, grid_, block_first_, block_last_, buffer_.data());
}

double* GridRowStream::Row(int32_t row) {
  switch (form_) {
    case Form::kAsItIs:
      return grid_[row];
    case Form::kOwnCells: {
      const double* values = grid_[row];
      const double* own = owner_[row];
      for (int32_t col = 1; col <= ncols_; ++col)
        buffer_[static_cast<std::size_t>(col)] =
            values != nullptr && own != nullptr && own[col] == rank_ ? values[col] : nodata_;
      return buffer_.data();
    }
    case Form::kGathered:
      if (row < block_first_)
        ThrowFatal(diag_, 1, "FATAL: gathered grid rows asked for out of order (row ", row, ")");
      while (row > block_last_) NextBlock();
      return buffer_.data() + static_cast<int64_t>(row - block_first_) * (ncols_ + 1);
  }
  return nullptr;
}

void GridRowStream::Finish() {
  if (form_ != Form::kGathered || rank_ != 0) return;
  while (block_last_ < nrows_) NextBlock();
}

}  // namespace velorn

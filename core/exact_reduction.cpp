// Exact element-wise sums of doubles over the processes (see exact_reduction.h).
#include "core/exact_reduction.h"

#include <algorithm>

#include "core/exact_sum.h"
#include "core/mpi_operations.h"

namespace velorn {

namespace {

// Packs every value as an exact sum over one digit range common to all processes, adds the
// packed sums over the processes (to process 0, or to all) and unpacks the rounded totals.
void ReduceExactly(std::vector<double>& values, bool to_all, MPI_Comm comm) {
  int size = 1;
  MPI_Comm_size(comm, &size);
  if (size == 1 || values.empty()) return;
  int lo = ExactSum::kDigits;
  int hi = -1;
  ExactSum sum;
  for (double v : values) {
    sum.Reset();
    sum.Add(v);
    sum.Normalize();
    lo = std::min(lo, sum.lowest_digit());
    hi = std::max(hi, sum.highest_digit());
  }
  std::vector<double> range{-static_cast<double>(lo), static_cast<double>(hi)};
  AllReduceMaximum(range, comm);
  lo = -static_cast<int>(range[0]);
  hi = static_cast<int>(range[1]);
  const std::size_t width =
      static_cast<std::size_t>(std::max(hi - lo + 1, 0) + ExactSum::kSpecials);
  std::vector<int64_t> packed;
  packed.reserve(values.size() * width);
  for (double v : values) {
    sum.Reset();
    sum.Add(v);
    sum.Normalize();
    sum.Pack(lo, hi, packed);
  }
  if (to_all) {
    MPI_Allreduce(MPI_IN_PLACE, packed.data(), static_cast<int>(packed.size()), MPI_INT64_T,
                  MPI_SUM, comm);
  } else {
    ReduceSumsToRoot(packed, comm);
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    if (rank != 0) return;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    sum.Unpack(lo, hi, packed.data() + i * width);
    values[i] = sum.Value();
  }
}

}  // namespace

void ReduceExactlyToRoot(std::vector<double>& values, MPI_Comm comm) {
  ReduceExactly(values, false, comm);
}

void AllReduceExactly(std::vector<double>& values, MPI_Comm comm) {
  ReduceExactly(values, true, comm);
}

void BroadcastBytes(void* data, int bytes, MPI_Comm comm) {
  int size = 1;
  MPI_Comm_size(comm, &size);
  if (size > 1 && bytes > 0) MPI_Bcast(data, bytes, MPI_BYTE, 0, comm);
}

}  // namespace velorn

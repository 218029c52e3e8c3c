// Element-wise sums of arrays of doubles over the MPI processes that are exact: each value is
// packed as an ExactSum (core/exact_sum.h), the packed integers are added, and each total is
// rounded once, so the sums do not depend on the number of processes nor on the order in which
// MPI combines them. Also a plain broadcast of bytes from process 0.
//
// Callers: the soil zone's runoff concentration (the flow-time records of all subbasins and
// tracers in one exchange per step) and its re-infiltration records. Each call is collective
// and makes two exchanges (the common digit range, then the sums), whatever the array length.
// No call inside an OpenMP region.
#pragma once

#include <mpi.h>

#include <vector>

namespace velorn {

// Process 0 receives the exact sums; the other processes keep their values.
void ReduceExactlyToRoot(std::vector<double>& values, MPI_Comm comm = MPI_COMM_WORLD);
// Every process receives the exact sums.
void AllReduceExactly(std::vector<double>& values, MPI_Comm comm = MPI_COMM_WORLD);
// `bytes` bytes at `data` from process 0 to every process (nothing with one process).
void BroadcastBytes(void* data, int bytes, MPI_Comm comm = MPI_COMM_WORLD);

}  // namespace velorn

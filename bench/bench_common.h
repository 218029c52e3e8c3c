// Helpers shared by the benchmark programs of bench/: the best time of repeated runs of a
// collective operation, and the frame of a benchmark's main (MPI start and end, error report).
//
// Header only; every benchmark program includes it. The timing is collective: every process
// must run the same number of repetitions of the same operation.
#pragma once

#include <mpi.h>

#include <algorithm>
#include <cstdio>

#include "core/error_code.h"
#include "core/mpi_operations.h"

namespace velorn::bench {

// Best wall time of `repetitions` runs of `op`, all processes in step: a run starts after a
// barrier and lasts until the slowest process has finished it.
template <class Op>
double BestTime(int repetitions, Op&& op) {
  double best = 1e300;
  for (int rep = 0; rep < repetitions; ++rep) {
    MPI_Barrier(MPI_COMM_WORLD);
    const double start = MPI_Wtime();
    op();
    MPI_Barrier(MPI_COMM_WORLD);
    double elapsed = MPI_Wtime() - start;
    MPI_Allreduce(MPI_IN_PLACE, &elapsed, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    best = std::min(best, elapsed);
  }
  return best;
}

// The main of a benchmark: `run` between MPI_Init and MPI_Finalize. A failure of the model
// (ErrorCode) is reported on standard error as "<name>: error code <code>" and aborts all
// processes with that code.
inline int BenchMain(int argc, char** argv, const char* name, int (*run)(int, char**)) {
  MPI_Init(&argc, &argv);
  int status = 0;
  try {
    status = run(argc, argv);
  } catch (const ErrorCode& error) {
    std::fprintf(stderr, "%s: error code %d\n", name, error.code);
    MPI_Abort(MPI_COMM_WORLD, error.code);
  }
  FreeMpiOperations();
  MPI_Finalize();
  return status;
}

}  // namespace velorn::bench

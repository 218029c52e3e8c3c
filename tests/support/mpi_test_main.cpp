// Shared main of the test binaries: starts MPI, lets only process 0 print, and fails the run
// when any process failed a test, so a fault seen on one process alone is not lost.
#include <gtest/gtest.h>
#include <mpi.h>

#include "core/program_entry.h"

int main(int argc, char** argv) {
  velorn::ChooseMpiFileLayer();  // as the model's own main does
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  ::testing::InitGoogleTest(&argc, argv);
  if (rank != 0) {
    // Failures of other processes are still printed, but without the progress chatter.
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
  }
  int local_failed = RUN_ALL_TESTS() != 0 ? 1 : 0;
  if (rank != 0 && local_failed) {
    auto* unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
      const auto* suite = unit->GetTestSuite(i);
      for (int j = 0; j < suite->total_test_count(); ++j) {
        const auto* info = suite->GetTestInfo(j);
        if (info->result()->Failed())
          std::fprintf(stderr, "[process %d] FAILED %s.%s\n", rank, suite->name(), info->name());
      }
    }
  }
  int any_failed = 0;
  MPI_Allreduce(&local_failed, &any_failed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Finalize();
  return any_failed;
}

// Tests of the zone record reduction: the raw user operation and the reduction over all
// processes, which must give the same records with one process as with several.
#include <gtest/gtest.h>
#include <mpi.h>

#include <vector>

#include "core/mpi_operations.h"
#include "tests/support/test_mpi.h"

namespace velorn {
namespace {

TEST(AddZoneRecordSums, SumsFieldsZeroAndFourZeroesOneKeepsTwoAndThree) {
  std::vector<double> in = {1, 2, 3, 4, 5, 10, 20, 30, 40, 50};
  std::vector<double> inout = {100, 200, 300, 400, 500, 1000, 2000, 3000, 4000, 5000};
  int count = 2;
  MPI_Datatype type = ZoneRecordType();
  AddZoneRecordSums(in.data(), inout.data(), &count, &type);
  EXPECT_EQ(inout, (std::vector<double>{101, 0, 300, 400, 505, 1010, 0, 3000, 4000, 5050}));
}

TEST(AllReduceZoneRecordSums, EveryProcessGetsTheSumsWhateverTheProcessCount) {
  const int rank = test::Rank();
  const int size = test::Size();
  // Three zones; process p contributes p + 1 counts and 0.5 * (p + 1) weights to each.
  std::vector<double> records;
  for (int zone = 0; zone < 3; ++zone) {
    const double share = 0.25 * zone;
    records.insert(records.end(), {rank + 1.0, 99.0, 10.0 + zone, share, 0.5 * (rank + 1)});
  }
  AllReduceZoneRecordSums(records.data(), 3);

  const double count_sum = size * (size + 1) / 2.0;
  for (int zone = 0; zone < 3; ++zone) {
    const double* record = &records[zone * kZoneRecordFields];
    EXPECT_DOUBLE_EQ(record[0], count_sum);
    EXPECT_DOUBLE_EQ(record[1], 0.0);  // also with one process, where MPI skips the operation
    EXPECT_DOUBLE_EQ(record[2], 10.0 + zone);
    EXPECT_DOUBLE_EQ(record[3], 0.25 * zone);
    EXPECT_DOUBLE_EQ(record[4], 0.5 * count_sum);
  }
}

TEST(ExactSumsToRoot, ProcessZeroGetsTheExactSumOfEveryProcesssTerm) {
  const int rank = test::Rank();
  const int size = test::Size();
  // 1e16 on process 0, -1e16 on the last of several, 0.75 on the others: a double sum in any
  // order loses the 0.75 terms next to 1e16; the exact sum keeps them.
  double term = rank == 0 ? 1e16 : 0.75;
  if (size > 1 && rank == size - 1) term = -1e16;
  std::vector<double> values{term, 1.0 * rank};
  ExactSumsToRoot(values);
  if (rank != 0) {
    EXPECT_EQ(values[1], 1.0 * rank);  // the others keep theirs
    return;
  }
  EXPECT_EQ(values[0], size == 1 ? 1e16 : 0.75 * (size - 2));
  EXPECT_EQ(values[1], size * (size - 1) / 2.0);
}

TEST(AllReduceZoneRecordSums, TypesAreCreatedOnceAndCanBeFreedAndMadeAgain) {
  const MPI_Datatype type = ZoneRecordType();
  EXPECT_EQ(ZoneRecordType(), type);
  EXPECT_EQ(AddZoneRecordSumsOp(), AddZoneRecordSumsOp());
  FreeMpiOperations();
  std::vector<double> records = {1, 1, 7, 1, 1};
  AllReduceZoneRecordSums(records.data(), 1);
  const int size = test::Size();
  EXPECT_DOUBLE_EQ(records[0], size);
  EXPECT_DOUBLE_EQ(records[2], 7.0);
  FreeMpiOperations();
}

}  // namespace
}  // namespace velorn

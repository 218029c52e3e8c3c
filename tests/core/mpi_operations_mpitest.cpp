// Tests of the zone record reduction: the raw user operation and the reduction over all
// processes, which must give the same records with one process as with several.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/zone_entry_sums.h"
#include "tests/support/test_helpers.h"
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

TEST(ZoneEntrySums, StepTotalsOnProcessZeroAreThoseOfOneProcess) {
  // Forty cells dealt out over the processes enter five records over three steps: terms of all
  // magnitudes and signs (which outgrow a record's five digits), a NaN in record 3 at step 2,
  // record 4 entered first at step 1 by the last cell only; an extra sum travels along.
  const int rank = test::Rank();
  const int size = test::Size();
  const auto term = [](int cell, int step, int f) {
    const double magnitude[] = {1e-300, 1e-20, 0.1, 1.0 / 3, 7.0, 1e16, 1e300};
    const double x = magnitude[(cell * 3 + step + f) % 7] * (cell % 5 == 0 ? -1 : 1) * (1 + cell);
    return cell == 7 && step == 2 && f == 1 ? std::numeric_limits<double>::quiet_NaN() : x;
  };
  const auto key = [](int cell, int step) { return cell == 39 && step > 0 ? 4 : cell % 4; };
  ZoneEntrySums sums;
  sums.Resize(6);
  for (int step = 0; step < 3; ++step) {
    std::vector<ExactSum> expected(6 * ZoneEntrySums::kTerms), extra(1);
    for (int cell = 0; cell < 40; ++cell) {
      for (int f = 0; f < ZoneEntrySums::kTerms; ++f)
        expected[key(cell, step) * ZoneEntrySums::kTerms + f].Add(term(cell, step, f));
      if (cell % size != rank) continue;
      sums.Add(key(cell, step), term(cell, step, 0), term(cell, step, 1), term(cell, step, 2));
      extra[0].Add(term(cell, step, 1));
    }
    const std::vector<ZoneEntrySums::Total>& totals = sums.Finish(&extra, MPI_COMM_WORLD);
    if (rank != 0) {
      EXPECT_TRUE(totals.empty());
      continue;
    }
    EXPECT_EQ(totals.size(), step == 0 ? 4u : 5u) << step;
    for (const ZoneEntrySums::Total& total : totals)
      for (int f = 0; f < ZoneEntrySums::kTerms; ++f) {
        const double want = expected[total.key * ZoneEntrySums::kTerms + f].Value();
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(total.value[f])) << step << " " << total.key;
        else
          EXPECT_EQ(total.value[f], want) << step << " " << total.key << " " << f;
      }
    ExactSum all;
    for (int cell = 0; cell < 40; ++cell) all.Add(term(cell, step, 1));
    EXPECT_EQ(std::isnan(extra[0].Value()), step == 2);
    if (step != 2) {
      EXPECT_EQ(extra[0].Value(), all.Value()) << step;
    }
  }
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

// A refusal on the last process reaches process 0 as that process wrote it, numbers and all,
// and every process ends with its code.
TEST(AgreeOnFailure, ProcessZeroShowsTheFailingProcesssMessageWithItsNumbers) {
  const int rank = test::Rank();
  const int size = test::Size();
  test::CapturedDiag captured;
  const int code = test::ThrownCode([&] {
    AgreeOnFailure(captured.diag, [&] {
      if (rank != size - 1) return;
      ThrowFatal(captured.diag, 22, "FATAL: stack theta.stk: level ", 3, " of the cell at row ",
                 12L, ", column ", 7, " holds ", 1.5, ", outside ", 0, " to ", 1.0);
    });
  });
  EXPECT_EQ(code, 22);
  const std::string text =
      "stack theta.stk: level 3 of the cell at row 12, column 7 holds 1.5, outside 0 to 1";
  if (rank == size - 1) {
    EXPECT_EQ(captured.diag.last_fatal(), text);
  }
  if (rank == 0 && size > 1) {
    EXPECT_TRUE(captured.HasFatal(text + " (on mpi-rank " + std::to_string(size - 1) + ")"))
        << captured.DiagFile();
    EXPECT_TRUE(captured.ScreenHas(text + " (on mpi-rank ")) << captured.screen.str();
  }
}

}  // namespace
}  // namespace velorn

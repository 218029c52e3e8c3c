// Grid and stack storage: block layout, row pointers, zero fill, recorded layouts and failures.
#include "core/matrix.h"

#include <gtest/gtest.h>

#include "core/matrix_trim.h"
#include "core/memory_handling.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::ThrownCode;

TEST(MatrixBlockRows, SplitsIntoPowerOfTwoBlocks) {
  EXPECT_EQ(MatrixBlockRows(1, 100, 100), (std::vector<int64_t>{81, 10, 9}));
  EXPECT_EQ(MatrixBlockRows(1, 5000, 5000), (std::vector<int64_t>{3354, 838, 419, 389}));
  // Small grids are split the same way; an empty range has no block.
  EXPECT_EQ(MatrixBlockRows(1, 10, 10), (std::vector<int64_t>{5, 2, 2, 1}));
  EXPECT_EQ(MatrixBlockRows(1, 1, 1), (std::vector<int64_t>{1}));
  EXPECT_TRUE(MatrixBlockRows(5, 4, 10).empty());
  // Every row range is covered exactly.
  for (int64_t rows : {2, 3, 17, 99, 1000, 12345}) {
    int64_t sum = 0;
    for (int64_t n : MatrixBlockRows(7, 6 + rows, 333)) sum += n;
    EXPECT_EQ(sum, rows);
  }
}

TEST(MatrixBlockRows, NoBlockExceedsTheLimit) {
  // A row of 1e6 doubles: each block must stay below 2147480000 bytes.
  const int64_t last_col = 999999;
  const auto blocks = MatrixBlockRows(1, 2000, last_col);
  int64_t sum = 0;
  for (int64_t n : blocks) {
    EXPECT_LE(n * (last_col + 1) * 8, kMaxMatrixBlockBytes);
    sum += n;
  }
  EXPECT_EQ(sum, 2000);
  EXPECT_GT(blocks.size(), 1u);
}

TEST(Matrix, GridOf100RowsLiesInThreeContiguousBlocks) {
  test::CapturedDiag d;
  double** g = AllocateMatrix(d.diag, 1, 100, 1, 100, 0);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g[0], nullptr);
  int breaks = 0;
  for (int r = 1; r < 100; ++r) {
    if (g[r + 1] != g[r] + 101) ++breaks;
  }
  EXPECT_EQ(breaks, 2);
  // Blocks start at rows 1, 82 and 92.
  EXPECT_NE(g[82], g[81] + 101);
  EXPECT_NE(g[92], g[91] + 101);
  FreeMatrix(d.diag, g, 1, 100, 1, 100, 0);
}

TEST(Matrix, PartialRangeKeepsGlobalRowsAndZeroes) {
  test::CapturedDiag d;
  double** g = AllocateMatrix(d.diag, 201, 400, 1, 50, 1000);
  for (int r = 0; r <= 1000; ++r) {
    if (r < 201 || r > 400) {
      EXPECT_EQ(g[r], nullptr) << r;
      continue;
    }
    ASSERT_NE(g[r], nullptr) << r;
    for (int c = 0; c <= 50; ++c) EXPECT_EQ(g[r][c], 0.0);
    g[r][50] = r;  // every cell is writable
  }
  FreeMatrix(d.diag, g, 201, 400, 1, 50, 1000);

  GridMatrix full(d.diag, 1, 10, 10, 0);
  for (int r = 1; r <= 10; ++r) EXPECT_EQ(full[r][0], 0.0);
  EXPECT_EQ(full[0], nullptr);
}

TEST(Matrix, RowLengthLimit) {
  test::CapturedDiag d;
  // (last column + 1) * 8 = 2147480000 - 24 is the longest accepted row; the data come from
  // calloc, so the 2 GB block is not touched.
  const int64_t longest = (kMaxMatrixBlockBytes - 24) / 8 - 1;
  double** g = AllocateMatrix(d.diag, 1, 1, 1, longest, 0);
  EXPECT_NE(g[1], nullptr);
  FreeMatrix(g);
  EXPECT_EQ(ThrownCode([&] { AllocateMatrix(d.diag, 1, 1, 1, longest + 1, 0); }), 1);
  EXPECT_TRUE(d.HasFatal("too long matrix rows"));
}

TEST(Matrix, InvalidRowRangesAreRefused) {
  test::CapturedDiag d;
  EXPECT_EQ(ThrownCode([&] { AllocateMatrix(d.diag, 1, 20, 1, 5, 10); }), 1);
  EXPECT_EQ(ThrownCode([&] { AllocateMatrix(d.diag, -1, 5, 1, 5, 0); }), 1);
  EXPECT_EQ(ThrownCode([&] { Allocate3dMatrix(d.diag, 1, 5, 1, 5, -1, 0); }), 1);
}

TEST(Matrix, FreeWithOtherArgumentsIsRefused) {
  test::CapturedDiag d;
  double** g = AllocateMatrix(d.diag, 1, 100, 1, 100, 0);
  EXPECT_EQ(ThrownCode([&] { FreeMatrix(d.diag, g, 1, 99, 1, 100, 0); }), 1);
  EXPECT_EQ(ThrownCode([&] { FreeMatrix(d.diag, g, 1, 100, 1, 120, 0); }), 1);
  // The grid is still intact and can be freed with its own layout.
  g[100][100] = 1.0;
  FreeMatrix(d.diag, g, 1, 100, 1, 100, 0);
  // Freed once: a second free is foreign memory, refused instead of freed again.
  EXPECT_EQ(ThrownCode([&] { FreeMatrix(d.diag, g, 1, 100, 1, 100, 0); }), 1);
  double local = 0;
  double* rows[2] = {&local, &local};
  EXPECT_EQ(ThrownCode([&] { FreeMatrix(d.diag, rows, 1, 1, 1, 1, 0); }), 1);
  FreeMatrix(d.diag, nullptr, 1, 1, 1, 1, 0);  // null is ignored
}

// A trimmed grid keeps its row-pointer array and the values of the kept rows; the other rows are
// null, rows it does not hold are refused, and it is freed by its new layout.
TEST(Matrix, TrimKeepsTheRowsAndThePointer) {
  test::CapturedDiag d;
  double** g = AllocateMatrix(d.diag, 1, 100, 1, 10, 100);
  for (int r = 1; r <= 100; ++r) g[r][10] = r;
  TrimMatrixRows(d.diag, g, 40, 60);
  for (int r = 1; r <= 100; ++r) {
    ASSERT_EQ(g[r] != nullptr, r >= 40 && r <= 60) << r;
    if (g[r] != nullptr) {
      EXPECT_EQ(g[r][10], r);
    }
  }
  EXPECT_EQ(ThrownCode([&] { TrimMatrixRows(d.diag, g, 39, 50); }), 1);
  EXPECT_EQ(ThrownCode([&] { FreeMatrix(d.diag, g, 1, 100, 1, 10, 100); }), 1);
  FreeMatrix(d.diag, g, 40, 60, 1, 10, 100);
}

TEST(Matrix, StackKeepsLevelsOfARowContiguous) {
  test::CapturedDiag d;
  double*** s = Allocate3dMatrix(d.diag, 3, 5, 1, 4, 2, 10);
  EXPECT_EQ(s[2], nullptr);
  EXPECT_EQ(s[6], nullptr);
  for (int r = 3; r <= 5; ++r) {
    ASSERT_NE(s[r], nullptr);
    EXPECT_EQ(s[r][0], s[r][1] - 3);  // element 0 is the row's block
    for (int c = 1; c <= 4; ++c) {
      EXPECT_EQ(s[r][c], s[r][0] + c * 3);
      for (int l = 0; l <= 2; ++l) EXPECT_EQ(s[r][c][l], 0.0);
    }
  }
  EXPECT_EQ(ThrownCode([&] { Free3dMatrix(d.diag, s, 3, 6); }), 1);
  Free3dMatrix(d.diag, s, 3, 5);

  StackMatrix owned(d.diag, 1, 2, 3, 4, 0);
  owned[2][3][4] = 7.0;
  EXPECT_EQ(owned[2][0][3 * 5 + 4], 7.0);
}

TEST(Matrix, CountHalvings) {
  EXPECT_EQ(CountHalvings(0.5), 0);
  EXPECT_EQ(CountHalvings(1), 0);
  EXPECT_EQ(CountHalvings(1.0000001), 1);
  EXPECT_EQ(CountHalvings(2), 1);
  EXPECT_EQ(CountHalvings(3), 2);
  EXPECT_EQ(CountHalvings(1024), 10);
  EXPECT_EQ(CountHalvings(1025), 11);
}

TEST(Matrix, OwnersMoveWithoutDoubleFree) {
  test::CapturedDiag d;
  GridMatrix a(d.diag, 1, 3, 3, 0);
  a[2][2] = 5;
  GridMatrix b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(b[2][2], 5);
  a = std::move(b);
  EXPECT_EQ(a[2][2], 5);
}

// The allocation operations of the model-object base report through the object's stream and
// module name.
TEST(MemoryHandling, BuffersAreZeroAndFailuresNameTheModule) {
  test::CapturedDiag d;
  memory_handling memory(&d.diag);
  memory.SetModuleName("snow_model");
  auto empty = memory.AllocateBuffer(0, 5);
  EXPECT_NE(empty.get(), nullptr);
  auto buffer = memory.AllocateBuffer(64, 5);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], 0);
  EXPECT_EQ(ThrownCode([&] { memory.AllocateBuffer(-1, 7); }), 81);
  EXPECT_TRUE(d.HasFatal("memory allocation error in snow_model (7)"));
  auto doubles = memory.AllocateArray<double>(10, 3);
  EXPECT_EQ(doubles.size(), 10u);
  EXPECT_EQ(doubles[9], 0.0);
  EXPECT_EQ(ThrownCode([&] { memory.SetModuleName(std::string(101, 'm')); }), 1);
  EXPECT_EQ(memory.module_name, "snow_model");
}

TEST(MemoryHandling, GridOperationsCheckTheLayout) {
  test::CapturedDiag d;
  memory_handling memory(&d.diag);
  double** g = memory.matrix(2, 4, 1, 6, 5);
  EXPECT_EQ(g[1], nullptr);
  EXPECT_EQ(g[5], nullptr);
  EXPECT_EQ(ThrownCode([&] { memory.FreeMatrix(g, 1, 4, 1, 6, 5); }), 1);
  memory.FreeMatrix(g, 2, 4, 1, 6, 5);
  double*** s = memory.Allocate3dMatrix(1, 2, 1, 2, 3, 0);
  EXPECT_EQ(s[1][2] - s[1][0], 8);
  memory.Free3dMatrix(s, 1, 2);
  memory.FreeMatrix(nullptr, 1, 1, 1, 1, 0);
  memory.Free3dMatrix(nullptr, 1, 1);
}

}  // namespace
}  // namespace velorn

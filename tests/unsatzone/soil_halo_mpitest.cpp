// River-link cells of the soil zone on 1, 2 and 3 processes: six rows dealt out in strips, two
// links whose cells lie in every strip, a grid and a stack of two levels. The computing process
// must see every cell of its links in row 0 in link order, and whatever it writes there must
// land in the cells' own rows and nowhere else.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "tests/support/test_helpers.h"
#include "tests/support/test_mpi.h"
#include "unsatzone/soil_halo.h"

namespace velorn {
namespace {

constexpr int kRows = 6, kCols = 4, kLevels = 2;

int OwnerOfRow(int row) {
  return std::min(test::Size() - 1, (row - 1) * test::Size() / kRows);
}

double Value(long r, long c, int level = -1) {
  return 100.0 * r + c + 0.1 * (level + 1);
}

class SoilHaloTest : public test::DiagTest {
 protected:
  SoilHaloTest() : test::DiagTest(test::TempDir::Shared()) {
    for (int r = 1; r <= kRows; ++r)
      if (OwnerOfRow(r) == test::Rank()) last_ = r;
    for (int r = kRows; r >= 1; --r)
      if (OwnerOfRow(r) == test::Rank()) first_ = r;
    grid_ = GridMatrix(diag_, first_ - 1, last_, kCols, kRows);
    stack_ = StackMatrix(diag_, first_ - 1, last_, kCols, kLevels, kRows);
    for (long r = first_ - 1; r <= last_; ++r)
      for (long c = 0; c <= kCols; ++c) {
        grid_[r][c] = Value(r, c);
        for (int k = 0; k <= kLevels; ++k) stack_[r][c][k] = Value(r, c, k);
      }
    ranges_.assign(kRows + 1, ColumnRange{1, kCols});
    // Link 7 runs down the rows of every process and is computed by the last process; link 9
    // (one cell in the last row) by process 0.
    AddLink(7, test::Size() - 1, {{1, 2}, {3, 1}, {4, 4}, {6, 3}, {2, 2}});
    AddLink(9, 0, {{6, 1}});
    SortLinkCellsByProcess(links_, test::Rank(), test::Size());
  }

  void AddLink(int code, int computing, const std::vector<std::pair<int, int>>& cells) {
    auto link = std::make_unique<RiverLink>(code, computing);
    for (auto [r, c] : cells) link->AddCell({r, c, code, OwnerOfRow(r), computing, 0.0, 0});
    link->AssignTo(computing);
    links_.links.push_back(std::move(link));
  }

  std::unique_ptr<RiverLinkHalo> MakeHalo() {
    CellValueList list;
    list.AddGrid(grid_.get());
    list.AddStack(stack_.get(), kLevels);
    list.AddGrid(grid_.get());  // listed once
    return std::make_unique<RiverLinkHalo>(diag_, std::move(list), links_, test::Rank(), first_,
                                           ranges_.data());
  }

  int first_ = 1, last_ = 0;
  GridMatrix grid_;
  StackMatrix stack_;
  std::vector<ColumnRange> ranges_;
  RiverLinkSet links_;
};

TEST_F(SoilHaloTest, PackAndUnpackAreInverseAndCountEveryValueOnce) {
  CellValueList list;
  list.AddGrid(grid_.get());
  list.AddGrid(nullptr);
  list.AddStack(stack_.get(), kLevels);
  list.AddStack(stack_.get(), kLevels);
  EXPECT_EQ(list.ValueCount(), 1 + (kLevels + 1));
  std::vector<double> buffer(2 * static_cast<std::size_t>(list.ValueCount()));
  EXPECT_EQ(list.Pack(last_, 2, buffer.data(), 0), list.ValueCount());
  EXPECT_EQ(list.Pack(last_, 3, buffer.data(), list.ValueCount()), 2 * list.ValueCount());
  EXPECT_EQ(buffer[1 + kLevels], Value(last_, 2, kLevels));
  // Swapped into each other's cell and back.
  list.Unpack(last_, 3, buffer.data(), 0);
  list.Unpack(last_, 2, buffer.data(), list.ValueCount());
  EXPECT_EQ(grid_[last_][3], Value(last_, 2));
  EXPECT_EQ(stack_[last_][2][1], Value(last_, 3, 1));
}

TEST_F(SoilHaloTest, ComputingProcessSeesItsLinkCellsAndResultsGoHome) {
  auto halo = MakeHalo();
  double* const row_above = grid_[first_ - 1];
  // The trial round trip of the set-up leaves every cell as it was.
  halo->ExchangeForward();
  halo->MarkBuffers(-987654321.0, 123456789.0);
  halo->ExchangeBack();
  for (long r = first_ - 1; r <= last_; ++r)
    for (long c = 0; c <= kCols; ++c) ASSERT_EQ(grid_[r][c], Value(r, c)) << r << "," << c;

  halo->ExchangeForward();
  // Cells in link order: link 7 then link 9, where this process computes them.
  std::vector<std::pair<int, int>> expected;
  for (const auto& link : links_.links)
    if (link->computing() == test::Rank())
      for (const RiverLinkCell& cell : link->GetCells()) expected.emplace_back(cell.row, cell.col);
  const long row = first_ - 1;
  if (expected.empty()) {
    EXPECT_EQ(halo->MappedRow(), -1);
    EXPECT_EQ(halo->FirstLoopRow(), first_);
  } else {
    EXPECT_EQ(halo->FirstLoopRow(), row);
    EXPECT_EQ(ranges_[row].first, 0);
    EXPECT_EQ(ranges_[row].last, static_cast<int32_t>(expected.size()) - 1);
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const auto [r, c] = expected[k];
      EXPECT_EQ(grid_[row][k], Value(r, c));
      EXPECT_EQ(stack_[row][k][kLevels], Value(r, c, kLevels));
      // The loop's result.
      grid_[row][k] = -Value(r, c);
      stack_[row][k][0] = -1.0;
    }
  }
  halo->ExchangeBack();
  EXPECT_EQ(grid_[first_ - 1], row_above);
  EXPECT_EQ(ranges_[row].first, 1);
  for (long r = first_; r <= last_; ++r)
    for (long c = 0; c <= kCols; ++c) {
      bool link_cell = false;
      for (const auto& link : links_.links)
        for (const RiverLinkCell& cell : link->GetCells())
          link_cell = link_cell || (cell.row == r && cell.col == c);
      EXPECT_EQ(grid_[r][c], link_cell ? -Value(r, c) : Value(r, c)) << r << "," << c;
      EXPECT_EQ(stack_[r][c][0], link_cell ? -1.0 : Value(r, c, 0));
      EXPECT_EQ(stack_[r][c][1], Value(r, c, 1));
    }
}

}  // namespace
}  // namespace velorn

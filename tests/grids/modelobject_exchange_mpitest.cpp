// The MPI exchange as a model object calls it: by registry entry, with the entry's data, level
// count and name standing in for what the caller leaves out.
#include <gtest/gtest.h>

#include "core/modelobject.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int32_t kRowsModelobjectExchange = 9;
constexpr int32_t kColsModelobjectExchange = 6;
constexpr int kLevelsModelobjectExchange = 2;
constexpr double kNodataModelobjectExchange = -9999;

using test::Rank;

double ExchangeValue(int r, int c, int level = 0) {
  return 100.0 * r + c + 0.25 * level;
}

// A basin with a hole, decomposed over all processes, and a model object on its layout with a
// grid (entry 1) and a stack (entry 2) registered over the rows each process holds.
struct ObjectExchange : ::testing::Test, test::CapturedDiag {
  GridRegistry registry;
  MpiLayout layout;
  std::unique_ptr<modelobject> object;
  GridMatrix grid;
  StackMatrix stack;
  HeldRows held;

  void SetUp() override {
    GridMatrix zone(diag, 1, kRowsModelobjectExchange, kColsModelobjectExchange,
                    kRowsModelobjectExchange);
    for (int r = 1; r <= kRowsModelobjectExchange; ++r)
      for (int c = 1; c <= kColsModelobjectExchange; ++c)
        zone[r][c] = (r == 4 && c == 3) ? kNodataModelobjectExchange : 1;
    const RegionGrids grids =
        Rank() == 0 ? RegionGrids{zone.get(), zone.get(), nullptr} : RegionGrids{};
    layout = std::move(
        DecomposeRegions(
            diag, {kColsModelobjectExchange, kRowsModelobjectExchange, kNodataModelobjectExchange},
            grids, 1.0)
            .layout);
    held = Rank() == 0 ? HeldRows{1, kRowsModelobjectExchange} : layout.held_rows();

    object = std::make_unique<modelobject>(&diag, "", 0, true, false, false, "", "", &layout, 0,
                                           nullptr);
    object->registry = &registry;
    object->ncols = kColsModelobjectExchange;
    object->nrows = kRowsModelobjectExchange;
    object->nodata = kNodataModelobjectExchange;
    grid =
        GridMatrix(diag, held.first, held.last, kColsModelobjectExchange, kRowsModelobjectExchange);
    stack = StackMatrix(diag, held.first, held.last, kColsModelobjectExchange,
                        kLevelsModelobjectExchange, kRowsModelobjectExchange);
    object->RegisterGrid(1, "g.asc", grid.get(), nullptr, 0, "g", 0, held.first, held.last);
    object->RegisterGrid(2, "s.stk", nullptr, stack.get(), kLevelsModelobjectExchange, "s", 0,
                         held.first, held.last);
  }
  void TearDown() override { object->ReleaseMemory(); }

  bool Own(int r, int c) const { return layout.regions[r][c] == Rank(); }
};

TEST_F(ObjectExchange, ScatterAndGatherTheRegisteredGridByItsEntry) {
  if (Rank() == 0)
    for (int r = 1; r <= kRowsModelobjectExchange; ++r)
      for (int c = 1; c <= kColsModelobjectExchange; ++c) grid[r][c] = ExchangeValue(r, c);
  object->MPIScatterGrid(1, nullptr);
  for (int r = layout.first_row; r <= layout.last_row; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      if (Own(r, c)) {
        ASSERT_EQ(grid[r][c], ExchangeValue(r, c)) << r << "," << c;
      }

  // Every process changes its own cells; with several processes the gathered copy on process 0
  // shows all of them.
  for (int r = layout.first_row; r <= layout.last_row; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      if (Own(r, c)) grid[r][c] = -ExchangeValue(r, c);
  const GridMatrix whole = object->MPIGatherGridCopy(1, nullptr);
  if (layout.size == 1) {
    EXPECT_FALSE(whole);  // nothing to gather: the grid itself is whole
  } else if (Rank() == 0) {
    for (int r = 1; r <= kRowsModelobjectExchange; ++r)
      for (int c = 1; c <= kColsModelobjectExchange; ++c)
        ASSERT_EQ(whole[r][c],
                  (r == 4 && c == 3) ? kNodataModelobjectExchange : -ExchangeValue(r, c))
            << r << "," << c;
  } else {
    EXPECT_FALSE(whole);
  }
}

TEST_F(ObjectExchange, StacksTakeTheirLevelCountFromTheEntry) {
  if (Rank() == 0)
    for (int r = 1; r <= kRowsModelobjectExchange; ++r)
      for (int c = 1; c <= kColsModelobjectExchange; ++c)
        for (int l = 0; l <= kLevelsModelobjectExchange; ++l)
          stack[r][c][l] = ExchangeValue(r, c, l);
  object->MPIScatterStack(2, nullptr);
  for (int r = layout.first_row; r <= layout.last_row; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      if (Own(r, c)) {
        for (int l = 0; l <= kLevelsModelobjectExchange; ++l)
          ASSERT_EQ(stack[r][c][l], ExchangeValue(r, c, l));
      }

  object->MPIExchangeStackHalo(2, 0, nullptr);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      if (layout.halo[r][c] >= 0) {
        for (int l = 0; l <= kLevelsModelobjectExchange; ++l)
          ASSERT_EQ(stack[r][c][l], ExchangeValue(r, c, l));
      }
}

TEST_F(ObjectExchange, HaloByEntryAndNothingForANegativeIndex) {
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      grid[r][c] = Own(r, c) ? ExchangeValue(r, c) : -1.0;
  object->MPIExchangeGridHalo(-1, nullptr);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      if (!Own(r, c)) {
        ASSERT_EQ(grid[r][c], -1.0);
      }

  object->MPIPostHaloReceives(1, nullptr);
  object->MPIPostHaloSends(1, nullptr);
  object->MPIWaitHalo(1);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kColsModelobjectExchange; ++c)
      if (layout.halo[r][c] >= 0) {
        ASSERT_EQ(grid[r][c], ExchangeValue(r, c)) << r << "," << c;
      }
}

TEST_F(ObjectExchange, StackWithoutEntryOrLevelCountIsCode1010) {
  if (test::Size() < 2) GTEST_SKIP() << "with one process the scatter returns before any check";
  const int code = test::ThrownCode([&] { object->MPIScatterStack(0, stack.get(), 0); }, 0);
  EXPECT_EQ(code, 1010);
}

}  // namespace
}  // namespace velorn

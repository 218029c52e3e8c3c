// Grid distribution over 1 to 4 processes on a basin with holes, a row of alternating holes and
// river links: scatter and gather reproduce the whole grid, halo exchanges deliver the true
// values of every halo cell and leave own cells alone, stacks likewise, zone records sum to the
// same totals whatever the number of processes, and the packed zone values reach their cells.
// With one process every operation must leave the data as they were.
#include <gtest/gtest.h>
#include <mpi.h>

#include <vector>

#include "core/diagnostic_stream.h"
#include "core/zone_types.h"
#include "grids/mpi_exchange.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataMpiExchange = -9999.0;
constexpr int kRowsMpiExchange = 17;
constexpr int kCols = 21;

using test::Rank;
using test::Size;
using test::ThrownCode;

double W(int r, int c) {
  return r * 1000.0 + c + 0.25;
}

struct Exchange : ::testing::Test, test::CapturedDiag {
  RegionGeometry geometry{kCols, kRowsMpiExchange, kNodataMpiExchange};
  GridMatrix zone, elevation, links;
  MpiLayout layout;

  void SetUp() override {
    zone = GridMatrix(diag, 1, kRowsMpiExchange, kCols, kRowsMpiExchange);
    elevation = GridMatrix(diag, 1, kRowsMpiExchange, kCols, kRowsMpiExchange);
    links = GridMatrix(diag, 1, kRowsMpiExchange, kCols, kRowsMpiExchange);
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) {
        bool hole = (r * 3 + c * 5) % 11 == 0 || (c < 4 && r > 13);
        if (r == 7) hole = c % 2 == 0;  // a row of single cells between holes
        zone[r][c] = hole ? kNodataMpiExchange : 1 + (c > 10) + (r > 12);
        elevation[r][c] = 300.0 - 2 * r - 0.1 * c;
        links[r][c] = c == 9 ? 9 : (r == 11 ? 30 : 0);
      }
    const RegionGrids grids =
        Rank() == 0 ? RegionGrids{zone.get(), elevation.get(), links.get()} : RegionGrids{};
    layout = std::move(DecomposeRegions(diag, geometry, grids, 1.0).layout);
  }

  bool Domain(int r, int c) const { return zone[r][c] > kNodataMpiExchange; }
  HeldRows Held() const { return Rank() == 0 ? HeldRows{1, kRowsMpiExchange} : layout.held_rows(); }
  bool Own(int r, int c) const { return layout.regions[r][c] == Rank(); }
  bool OwnRow(int r) const { return r >= layout.first_row && r <= layout.last_row; }

  GridMatrix HeldGrid(double fill) {
    const HeldRows held = Held();
    GridMatrix grid(diag, held.first, held.last, kCols, kRowsMpiExchange);
    for (int r = held.first; r <= held.last; ++r)
      for (int c = 0; c <= kCols; ++c) grid[r][c] = fill;
    return grid;
  }
  StackMatrix HeldStack(int levels, double fill) {
    const HeldRows held = Held();
    StackMatrix stack(diag, held.first, held.last, kCols, levels, kRowsMpiExchange);
    for (int r = held.first; r <= held.last; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int l = 0; l <= levels; ++l) stack[r][c][l] = fill;
    return stack;
  }
};

TEST_F(Exchange, ScatterThenGatherReproducesTheWholeGrid) {
  if (Rank() == 0) {
    // Row 7 alternates cells and holes: more strips than a row of kCols + 1 doubles would hold.
    EXPECT_GT(layout.strip_pairs, (kCols - 2) / 2);
  }
  GridMatrix grid = HeldGrid(-1.0);
  const HeldRows held = Held();
  if (Rank() == 0)
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) grid[r][c] = W(r, c);
  MPIScatterGrid(diag, &layout, grid.get());
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c) {
      const double expected = Rank() == 0 || (OwnRow(r) && Own(r, c)) ? W(r, c) : -1.0;
      ASSERT_EQ(grid[r][c], expected) << r << "," << c;
    }

  // Owners change their cells; process 0 gathers them over stale values.
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c) {
      if (Own(r, c))
        grid[r][c] = 2 * W(r, c);
      else if (Rank() == 0 && Size() > 1)
        grid[r][c] = 0.0;
    }
  MPIGatherGrid(diag, &layout, grid.get());
  if (Rank() == 0)
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c)
        if (Domain(r, c)) {
          ASSERT_EQ(grid[r][c], 2 * W(r, c)) << r << "," << c;
        }
}

TEST_F(Exchange, GatherCopyIsTheWholeGridOnProcessZeroOnly) {
  GridMatrix grid = HeldGrid(-5.0);
  const HeldRows held = Held();
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      if (Own(r, c)) grid[r][c] = W(r, c);
  GridMatrix copy = MPIGatherGridCopy(diag, &layout, grid.get());
  if (Size() == 1 || Rank() != 0) {
    EXPECT_FALSE(copy);
    return;
  }
  ASSERT_TRUE(copy);
  for (int r = 1; r <= kRowsMpiExchange; ++r)
    for (int c = 1; c <= kCols; ++c)
      ASSERT_EQ(copy[r][c], Domain(r, c) ? W(r, c) : kNodataMpiExchange);
}

// Fill of the cells that are not own: different on every process, so a value that travelled
// from another process is told from one that stayed.
double NotOwnFill() {
  return -1.0 - Rank();
}

// Own cells hold their true value, everything else NotOwnFill(); after the exchange every halo cell
// and every domain cell of a received strip holds its true value, no own cell has changed and no
// other cell was written.
void CheckHalo(const Exchange& t, const GridMatrix& grid) {
  const HeldRows held = t.Held();
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c) {
      if (t.Own(r, c) || t.layout.halo[r][c] >= 0) {
        ASSERT_EQ(grid[r][c], W(r, c)) << "rank " << Rank() << " " << r << "," << c;
      } else {
        // Neither own nor halo (a hole, or a cell of another process out of reach): untouched.
        ASSERT_EQ(grid[r][c], NotOwnFill()) << "rank " << Rank() << " " << r << "," << c;
      }
    }
  for (const MpiStripRecord& rec : t.layout.receive_list)
    for (int c = rec.first_col; c < rec.first_col + rec.count; ++c)
      if (t.layout.regions[rec.row][c] == rec.peer) {
        EXPECT_EQ(grid[rec.row][c], W(rec.row, c));
      }
}

GridMatrix OwnValues(Exchange& t) {
  GridMatrix grid = t.HeldGrid(NotOwnFill());
  const HeldRows held = t.Held();
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      if (t.Own(r, c)) grid[r][c] = W(r, c);
  return grid;
}

TEST_F(Exchange, HaloExchangeDeliversEveryHaloCellInOneCallAndSplit) {
  GridMatrix grid = OwnValues(*this);
  MPIExchangeGridHalo(&layout, grid.get());
  CheckHalo(*this, grid);

  GridMatrix split = OwnValues(*this);
  MPIPostHaloReceives(&layout, split.get());
  MPIPostHaloSends(&layout, split.get());
  EXPECT_EQ(layout.pending_requests,
            static_cast<int>(layout.receive_list.size() + layout.send_list.size()));
  MPIWaitHalo(&layout);
  EXPECT_EQ(layout.pending_requests, 0);
  CheckHalo(*this, split);

  if (Size() == 1) {
    // No halo at all: nothing but the own cells holds a value.
    const GridMatrix untouched = OwnValues(*this);
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) ASSERT_EQ(grid[r][c], untouched[r][c]);
  }
}

TEST_F(Exchange, StacksMoveAllLevelsOfTheirCells) {
  constexpr int kLevels = 3;
  auto value = [](int r, int c, int l) { return W(r, c) * 10 + l; };
  StackMatrix stack = HeldStack(kLevels, -1.0);
  const HeldRows held = Held();
  if (Rank() == 0)
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int l = 0; l <= kLevels; ++l) stack[r][c][l] = value(r, c, l);
  MPIScatterStack(diag, &layout, stack.get(), kLevels, "theta");
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      for (int l = 0; l <= kLevels; ++l) {
        const double expected = Rank() == 0 || (OwnRow(r) && Own(r, c)) ? value(r, c, l) : -1.0;
        ASSERT_EQ(stack[r][c][l], expected) << r << "," << c << "," << l;
      }

  MPIExchangeStackHalo(&layout, stack.get(), kLevels);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      if (layout.halo[r][c] >= 0) {
        for (int l = 0; l <= kLevels; ++l) ASSERT_EQ(stack[r][c][l], value(r, c, l));
      }

  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      for (int l = 0; l <= kLevels; ++l) {
        if (Own(r, c))
          stack[r][c][l] = -value(r, c, l);
        else if (Rank() == 0 && Size() > 1)
          stack[r][c][l] = 0.0;
      }
  StackMatrix copy = MPIGatherStackCopy(diag, &layout, stack.get(), kLevels, "theta");
  MPIGatherStack(diag, &layout, stack.get(), kLevels, "theta");
  if (Rank() != 0) return;
  EXPECT_EQ(static_cast<bool>(copy), Size() > 1);
  for (int r = 1; r <= kRowsMpiExchange; ++r)
    for (int c = 1; c <= kCols; ++c)
      for (int l = 0; l <= kLevels; ++l) {
        if (Domain(r, c)) {
          ASSERT_EQ(stack[r][c][l], -value(r, c, l));
        }
        if (copy) {
          ASSERT_EQ(copy[r][c][l], Domain(r, c) ? -value(r, c, l) : kNodataMpiExchange);
        }
      }
}

TEST_F(Exchange, StackScatterWithoutEntryOrLevelCountIsCode1010) {
  StackMatrix stack = HeldStack(2, 0.0);
  const int code = ThrownCode([&] { MPIScatterStack(diag, &layout, stack.get(), 0, ""); });
  EXPECT_EQ(code, Size() > 1 ? 1010 : -1);
}

// Per-zone sums of own cells: counts, sums of values, weights; zone code and rank in fields 2
// and 3. The totals on process 0 must be those of the whole grid.
TEST_F(Exchange, ZoneRecordReductionGivesTheWholeGridTotals) {
  std::vector<ZoneRecord> records(4);
  std::vector<ZoneRecord> totals(4);
  for (int z = 0; z < 4; ++z) {
    records[z][2] = z;
    records[z][3] = Rank();
  }
  for (int r = 1; r <= kRowsMpiExchange; ++r)
    for (int c = 1; c <= kCols; ++c) {
      if (!Domain(r, c)) continue;
      const int z = static_cast<int>(zone[r][c]);
      totals[z][0] += 1;
      totals[z][1] += W(r, c);
      totals[z][4] += 0.5;
      if (OwnRow(r) && Own(r, c)) {
        records[z][0] += 1;
        records[z][1] += W(r, c);
        records[z][4] += 0.5;
      }
    }
  std::vector<ZoneRecord> kept = records;
  const std::vector<ZoneRecord> own = records;
  MPIReduceRecords(&layout, records.data(), 3, false);
  MPIReduceRecords(&layout, kept.data(), 3, true);
  if (Rank() != 0) return;
  for (int z = 0; z < 4; ++z) {
    EXPECT_EQ(records[z][0], totals[z][0]);
    EXPECT_DOUBLE_EQ(records[z][1], totals[z][1]);
    EXPECT_EQ(records[z][4], own[z][4]);  // restored without keep
    EXPECT_EQ(kept[z][4], totals[z][4]);
    EXPECT_EQ(records[z][2], z);
    EXPECT_EQ(records[z][3], 0);
  }
}

TEST_F(Exchange, RecordBroadcastCarriesFieldsZeroOneAndFourOnly) {
  std::vector<ZoneRecord> records(300);  // more doubles than three per record would hold
  for (int i = 0; i < 300; ++i) {
    ZoneRecord& rec = records[i];
    if (Rank() == 0) {
      rec.field[0] = i;
      rec.field[1] = 2 * i;
      rec.field[2] = 100 + i;
      rec.field[3] = 7;
      rec.field[4] = 4 * i;
    } else {
      rec.field[0] = rec.field[1] = rec.field[4] = -1;
      rec.field[2] = 55;
      rec.field[3] = 66;
    }
  }
  MPIBroadcastRecords(&layout, records.data(), 299);
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(records[i][0], i);
    EXPECT_EQ(records[i][1], 2 * i);
    EXPECT_EQ(records[i][4], 4 * i);
    EXPECT_EQ(records[i][2], Rank() == 0 ? 100 + i : 55);
    EXPECT_EQ(records[i][3], Rank() == 0 ? 7 : 66);
  }
}

TEST(AddZoneRecords, SumsFieldsZeroOneAndFour) {
  std::vector<double> in = {1, 2, 3, 4, 5, 10, 20, 30, 40, 50};
  std::vector<double> inout = {100, 200, 300, 400, 500, 1000, 2000, 3000, 4000, 5000};
  int count = 2;
  MPI_Datatype type = ZoneRecordType();
  AddZoneRecords(in.data(), inout.data(), &count, &type);
  EXPECT_EQ(inout, (std::vector<double>{101, 202, 300, 400, 505, 1010, 2020, 3000, 4000, 5050}));
}

struct ZoneValues : Exchange {
  GridMatrix mask;
  std::vector<int64_t> counts;
  void SetUp() override {
    Exchange::SetUp();
    mask = HeldGrid(kNodataMpiExchange);
    counts.assign(static_cast<std::size_t>(Size()), 0);
    const RegionPlan plan = PlanRegions(diag, geometry, {zone.get(), elevation.get(), links.get()},
                                        std::vector<double>(static_cast<std::size_t>(Size()), 1.0));
    const HeldRows held = Held();
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) {
        const bool masked = Domain(r, c) && (r + c) % 3 == 0;
        if (masked) ++counts[static_cast<std::size_t>(plan.owner[r][c])];
        if (r >= held.first && r <= held.last) mask[r][c] = masked ? 5.0 : kNodataMpiExchange;
      }
  }
  bool Masked(int r, int c) const { return mask[r][c] > kNodataMpiExchange; }
};

TEST_F(ZoneValues, GatherIntoTheValueGridOrATarget) {
  GridMatrix values = HeldGrid(-3.0);
  const HeldRows held = Held();
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      if (Rank() != 0 && Own(r, c) && Masked(r, c)) values[r][c] = W(r, c) + 0.5;
  GridMatrix target = HeldGrid(-7.0);
  MPIGatherZoneValues(diag, &layout, values.get(), mask.get(), counts, target.get());
  if (Rank() == 0) {
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) {
        const double owner = layout.regions[r][c];
        double expected = -7.0;
        if (Size() > 1 && Masked(r, c)) expected = owner > 0 ? W(r, c) + 0.5 : -3.0;
        ASSERT_EQ(target[r][c], expected) << r << "," << c;
        ASSERT_EQ(values[r][c], -3.0);  // untouched when a target is given
      }
  }
  MPIGatherZoneValues(diag, &layout, values.get(), mask.get(), counts, nullptr);
  if (Rank() == 0)
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) {
        const bool other = Masked(r, c) && layout.regions[r][c] > 0;
        ASSERT_EQ(values[r][c], other ? W(r, c) + 0.5 : -3.0) << r << "," << c;
      }
}

TEST_F(ZoneValues, ScatterReachesTheOwnMaskedCellsOnly) {
  GridMatrix values = HeldGrid(-1.0);
  const HeldRows held = Held();
  if (Rank() == 0)
    for (int r = 1; r <= kRowsMpiExchange; ++r)
      for (int c = 1; c <= kCols; ++c) values[r][c] = W(r, c) + 7;
  MPIScatterZoneValues(diag, &layout, values.get(), mask.get(), counts);
  if (Rank() == 0) return;
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kCols; ++c)
      ASSERT_EQ(values[r][c], Own(r, c) && Masked(r, c) ? W(r, c) + 7 : -1.0) << r << "," << c;
}

TEST_F(ZoneValues, CountsThatDoNotMatchTheMaskAreCode121) {
  for (std::size_t r = 1; r < counts.size(); ++r) ++counts[r];
  GridMatrix values = HeldGrid(0.0);
  const int code =
      ThrownCode([&] { MPIScatterZoneValues(diag, &layout, values.get(), mask.get(), counts); });
  EXPECT_EQ(code, Size() > 1 ? 121 : -1);
}

// 600 strips received and 500 sent by process 0 (mirrored on process 1) in one split exchange:
// more requests than a fixed store of 1000 would hold.
TEST(LargeHalo, SplitAndOneCallExchangesOfOverAThousandStrips) {
  if (Size() < 2) GTEST_SKIP() << "needs two processes";
  test::CapturedDiag d;
  constexpr int kStripRows = 600;
  MpiLayout layout;
  layout.rank = Rank();
  layout.size = Size();
  layout.ncols = 2;
  layout.nrows = kStripRows;
  std::vector<MpiStripRecord> from_one, to_one;
  for (int r = 1; r <= kStripRows; ++r) from_one.push_back({r, 1, 1, 1});
  for (int r = 1; r <= 500; ++r) to_one.push_back({r, 2, 1, 1});
  if (Rank() == 0) {
    layout.receive_list = from_one;
    layout.send_list = to_one;
  } else if (Rank() == 1) {
    for (auto rec : to_one) layout.receive_list.push_back({rec.row, rec.first_col, 1, 0});
    for (auto rec : from_one) layout.send_list.push_back({rec.row, rec.first_col, 1, 0});
  }
  layout.ReserveRequests();
  for (int round = 0; round < 2; ++round) {
    GridMatrix grid(d.diag, 1, kStripRows, 2, kStripRows);
    for (int r = 1; r <= kStripRows; ++r) {
      grid[r][1] = Rank() == 1 ? r : -1.0;
      grid[r][2] = Rank() == 0 ? r + 0.5 : -1.0;
    }
    if (round == 0) {
      MPIPostHaloReceives(&layout, grid.get());
      MPIPostHaloSends(&layout, grid.get());
      MPIWaitHalo(&layout);
    } else {
      MPIExchangeGridHalo(&layout, grid.get());
    }
    for (int r = 1; r <= kStripRows; ++r) {
      if (Rank() == 0) {
        ASSERT_EQ(grid[r][1], r);
      }
      if (Rank() == 1) {
        ASSERT_EQ(grid[r][2], r <= 500 ? r + 0.5 : -1.0);
      }
    }
  }
}

// Hand-made strip tables for one grid row of 20 columns (process 0's form 2, 5, 0, 10: cells
// 1..5 to process 2, 6..15 stay on process 0), and the narrow table of a 10-column row.
struct HandTable : ::testing::Test, test::CapturedDiag {
  MpiLayout layout;
  void Make(int ncols, int strip_pairs) {
    layout.rank = Rank();
    layout.size = Size();
    layout.ncols = ncols;
    layout.nrows = 1;
    layout.strip_pairs = strip_pairs;
    layout.regions = GridMatrix(diag, 1, 1, ncols, 1);
    layout.helper = GridMatrix(diag, 1, 1, 2 * strip_pairs + 2, 1);
  }
};

TEST_F(HandTable, ProcessZeroRowListEndsAtTheFirstEmptyPair) {
  if (Size() < 3) GTEST_SKIP() << "needs process 2";
  Make(20, 9);
  const double table[7] = {0, 2, 5, 0, 10, 0, 0};
  if (Rank() == 0) std::copy(table, table + 7, layout.helper[1]);
  if (Rank() == 2) {
    layout.helper[1][1] = 1;  // own form: first column 1, five cells
    layout.helper[1][2] = 5;
  }
  layout.first_row = 1;
  layout.last_row = Rank() == 2 ? 1 : 0;
  GridMatrix grid(diag, 1, 1, 20, 1);
  for (int c = 1; c <= 20; ++c) grid[1][c] = Rank() == 0 ? c : -1;
  MPIScatterGrid(diag, &layout, grid.get());
  if (Rank() == 2) {
    for (int c = 1; c <= 20; ++c) EXPECT_EQ(grid[1][c], c <= 5 ? c : -1.0);
  }
}

TEST_F(HandTable, FourStripsFitATenColumnRowAndAFifthIsCode120) {
  if (Size() < 2) GTEST_SKIP() << "the strips are walked with more than one process only";
  Make(10, 4);  // elements 0..10 of a 10-column row
  layout.first_row = 1;
  layout.last_row = 0;  // only process 0 walks the row; its strips are its own
  const double four[11] = {0, 0, 1, kNodataMpiExchange, 1, 0, 1, kNodataMpiExchange, 1, 0, 0};
  const double five[11] = {0, 0, 1, kNodataMpiExchange, 1, 0, 1, kNodataMpiExchange, 1, 0, 1};
  GridMatrix grid(diag, 1, 1, 10, 1);
  if (Rank() == 0) std::copy(four, four + 11, layout.helper[1]);
  EXPECT_EQ(ThrownCode([&] { MPIScatterGrid(diag, &layout, grid.get()); }), -1);
  if (Rank() == 0) std::copy(five, five + 11, layout.helper[1]);
  EXPECT_EQ(ThrownCode([&] { MPIScatterGrid(diag, &layout, grid.get()); }), Rank() == 0 ? 120 : -1);
  StackMatrix stack(diag, 1, 1, 10, 1, 1);
  EXPECT_EQ(ThrownCode([&] { MPIGatherStack(diag, &layout, stack.get(), 1, "s"); }),
            Rank() == 0 ? 120 : -1);
  if (Rank() == 0) {
    EXPECT_NE(screen.str().find("to much strips to be stored in a grid row in row 1"),
              std::string::npos);
    EXPECT_NE(screen.str().find("to much strips to be stored in a grid row (in row 1)"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace velorn

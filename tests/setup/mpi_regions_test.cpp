// Region decomposition computed on one process for any number of processes: weights, quotas,
// the assignment of cells (worked out by hand for small basins), river links, strip tables,
// halo grids and halo lists, and the readers of the speed file and the re-infiltration mode.
#include "setup/mpi_regions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <set>
#include <utility>

#include "core/grid_registry.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataMpiRegions = -9999.0;

using test::MakeGrid;
using test::SameRecords;
using test::ThrownCode;

std::vector<std::vector<double>> OwnerRows(const RegionPlan& plan, const RegionGeometry& g) {
  std::vector<std::vector<double>> rows;
  for (int32_t r = 1; r <= g.nrows; ++r)
    rows.emplace_back(plan.owner[r] + 1, plan.owner[r] + g.ncols + 1);
  return rows;
}

std::vector<double> TableRow(const MpiLayout& layout, int32_t row, int length) {
  return std::vector<double>(layout.helper[row], layout.helper[row] + length);
}

TEST(SpeedWeights, InverseTimesNormalisedAndNonPositiveTimesCountAsOne) {
  const std::vector<double> w = SpeedWeights({1.0, 2.0, 0.0, -3.0});
  // Raw weights 1, 0.5, 1, 1 before normalising.
  EXPECT_DOUBLE_EQ(w[0], 1.0 / 3.5);
  EXPECT_DOUBLE_EQ(w[1], 0.5 / 3.5);
  EXPECT_DOUBLE_EQ(w[2], 1.0 / 3.5);
  EXPECT_DOUBLE_EQ(w[3], 1.0 / 3.5);
  EXPECT_EQ(SpeedWeights({7.0}), std::vector<double>{1.0});
}

TEST(PlanRegions, OneProcessOwnsTheWholeDomainAndEveryLink) {
  test::CapturedDiag d;
  GridMatrix zone = MakeGrid(d.diag, {{1, 1, kNodataMpiRegions}, {1, 1, 1}});
  GridMatrix links = MakeGrid(d.diag, {{3, 0, kNodataMpiRegions}, {3, 0, 4}});
  GridMatrix elevation = MakeGrid(d.diag, {{5, 5, 5}, {4, 4, 4}});
  const RegionGeometry g{3, 2, kNodataMpiRegions};
  const RegionPlan plan = PlanRegions(d.diag, g, {zone.get(), elevation.get(), links.get()}, {9});
  EXPECT_EQ(OwnerRows(plan, g),
            (std::vector<std::vector<double>>{{0, 0, kNodataMpiRegions}, {0, 0, 0}}));
  EXPECT_EQ(plan.first_rows, std::vector<int32_t>{1});
  EXPECT_EQ(plan.last_rows, std::vector<int32_t>{2});
  EXPECT_EQ(plan.cell_counts, (std::vector<int64_t>{5, 0}));
  ASSERT_EQ(plan.links.size(), 2u);
  for (const auto& link : plan.links) EXPECT_EQ(link->computing(), 0);
  const MpiLayout layout = LayoutFromPlan(d.diag, g, plan, 0);
  EXPECT_TRUE(layout.receive_list.empty());
}

// 3 x 4 basin with a hole at (2,2) and outside the domain at (3,4); times 1, 1, 2 give weights
// 0.4, 0.4, 0.2 and quotas 4, 4, 2 of the 10 cells; rank 2 is filled first.
struct HoleBasin : ::testing::Test {
  test::CapturedDiag d;
  RegionGeometry g{4, 3, kNodataMpiRegions};
  GridMatrix zone =
      MakeGrid(d.diag, {{1, 1, 1, 1}, {1, kNodataMpiRegions, 1, 1}, {1, 1, 1, kNodataMpiRegions}});
  RegionPlan plan = PlanRegions(d.diag, g, {zone.get(), nullptr, nullptr}, {1, 1, 2});
};

TEST_F(HoleBasin, OwnersRowsAndCountsAsWorkedOutByHand) {
  EXPECT_EQ(plan.quotas, (std::vector<int64_t>{4, 4, 2}));
  EXPECT_EQ(OwnerRows(plan, g),
            (std::vector<std::vector<double>>{
                {2, 2, 1, 1}, {1, kNodataMpiRegions, 1, 0}, {0, 0, 0, kNodataMpiRegions}}));
  EXPECT_EQ(plan.first_rows, (std::vector<int32_t>{2, 1, 1}));
  EXPECT_EQ(plan.last_rows, (std::vector<int32_t>{3, 2, 1}));
  EXPECT_EQ(plan.cell_counts, (std::vector<int64_t>{4, 4, 2, 0}));
}

TEST_F(HoleBasin, StripTablesInBothForms) {
  const MpiLayout p0 = LayoutFromPlan(d.diag, g, plan, 0);
  // Process 0: cells before the first domain cell, then (owner, run) pairs; nodata runs too.
  EXPECT_EQ(TableRow(p0, 1, 7), (std::vector<double>{0, 2, 2, 1, 2, 0, 0}));
  EXPECT_EQ(TableRow(p0, 2, 11),
            (std::vector<double>{0, 1, 1, kNodataMpiRegions, 1, 1, 1, 0, 1, 0, 0}));
  EXPECT_EQ(TableRow(p0, 3, 7), (std::vector<double>{0, 0, 3, kNodataMpiRegions, 1, 0, 0}));
  const MpiLayout p1 = LayoutFromPlan(d.diag, g, plan, 1);
  EXPECT_EQ(TableRow(p1, 1, 5), (std::vector<double>{0, 3, 2, 0, 0}));
  EXPECT_EQ(TableRow(p1, 2, 7), (std::vector<double>{0, 1, 1, 3, 1, 0, 0}));
  const MpiLayout p2 = LayoutFromPlan(d.diag, g, plan, 2);
  EXPECT_EQ(TableRow(p2, 1, 5), (std::vector<double>{0, 1, 2, 0, 0}));
}

TEST_F(HoleBasin, HaloGridsAndListsAsWorkedOutByHand) {
  std::vector<MpiLayout> layouts;
  for (int rank = 0; rank < 3; ++rank) layouts.push_back(LayoutFromPlan(d.diag, g, plan, rank));
  EXPECT_EQ(layouts[0].halo[1][3], 1);
  EXPECT_EQ(layouts[0].halo[1][4], 1);
  EXPECT_EQ(layouts[0].halo[2][1], 1);
  EXPECT_EQ(layouts[0].halo[2][3], 1);
  EXPECT_EQ(layouts[0].halo[2][2], kNodataMpiRegions);
  EXPECT_EQ(layouts[0].halo[3][1], kNodataMpiRegions);  // own cell
  EXPECT_EQ(layouts[1].halo[1][1], 2);
  EXPECT_EQ(layouts[1].halo[2][4], 0);
  EXPECT_EQ(layouts[1].halo[3][3], 0);
  // Process 0 reads (1,3..4), (2,1) and (2,3) from process 1: the strips stop at the hole at
  // (2,2), so an exchange never writes into the cells between two strips.
  EXPECT_TRUE(SameRecords(layouts[0].receive_list, {{1, 3, 2, 1}, {2, 1, 1, 1}, {2, 3, 1, 1}}));
  EXPECT_TRUE(SameRecords(layouts[1].receive_list, {{1, 1, 2, 2}, {2, 4, 1, 0}, {3, 1, 3, 0}}));
  EXPECT_TRUE(SameRecords(layouts[2].receive_list, {{1, 3, 1, 1}, {2, 1, 1, 1}, {2, 3, 1, 1}}));
  std::vector<std::vector<MpiStripRecord>> receives;
  for (const auto& layout : layouts) receives.push_back(layout.receive_list);
  EXPECT_TRUE(SameRecords(SendListFromPeers(receives, 0), {{2, 4, 1, 1}, {3, 1, 3, 1}}));
  EXPECT_TRUE(SameRecords(
      SendListFromPeers(receives, 1),
      {{1, 3, 2, 0}, {2, 1, 1, 0}, {2, 3, 1, 0}, {1, 3, 1, 2}, {2, 1, 1, 2}, {2, 3, 1, 2}}));
  EXPECT_TRUE(SameRecords(SendListFromPeers(receives, 2), {{1, 1, 2, 1}}));
}

// River links in a 3 x 4 basin: link 7 down column 2, link 5 in column 4 (rising downstream),
// 0 and nodata elsewhere. Both off-river forms are regular cells and spend quota.
TEST(PlanRegions, RiverLinksKeptWholeAndOffRiverCellsSpendQuota) {
  test::CapturedDiag d;
  const RegionGeometry g{4, 3, kNodataMpiRegions};
  GridMatrix zone = MakeGrid(d.diag, {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}});
  GridMatrix links = MakeGrid(
      d.diag, {{0, 7, kNodataMpiRegions, 5}, {0, 7, 0, 5}, {kNodataMpiRegions, 7.9, 0, 0}});
  GridMatrix elevation = MakeGrid(d.diag, {{9, 30, 9, 5}, {9, 20, 9, 8}, {9, 10, 9, 9}});
  const RegionPlan plan =
      PlanRegions(d.diag, g, {zone.get(), elevation.get(), links.get()}, {1, 1});
  EXPECT_EQ(plan.regular_cells, 7);
  EXPECT_EQ(plan.river_cells, 5);
  // Process 0 takes link 7 (quota 6 - 3) and link 5 (3 - 2 = 1 is still a cell); the last
  // process gets 12 - 1 - 5 = 6 regular cells.
  EXPECT_EQ(plan.quotas, (std::vector<int64_t>{1, 6}));
  EXPECT_EQ(OwnerRows(plan, g),
            (std::vector<std::vector<double>>{{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 0}}));
  EXPECT_EQ(plan.first_rows, (std::vector<int32_t>{3, 1}));
  EXPECT_EQ(plan.last_rows, (std::vector<int32_t>{3, 3}));
  ASSERT_EQ(plan.links.size(), 2u);
  const RiverLink& seven = *plan.links[0];
  EXPECT_EQ(seven.code(), 7);
  EXPECT_EQ(seven.computing(), 0);
  ASSERT_EQ(seven.cell_count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(seven.GetCells()[i].row, i + 1);  // highest first
    EXPECT_EQ(seven.GetCells()[i].position, i);
    EXPECT_EQ(seven.GetCells()[i].owner, 1);
    EXPECT_EQ(seven.GetCells()[i].computing, 0);
  }
  const RiverLink& five = *plan.links[1];
  EXPECT_EQ(five.code(), 5);
  EXPECT_EQ(five.GetCells()[0].row, 2);  // elevation 8 above 5
  EXPECT_EQ(five.GetLastCell().row, 1);
}

// A quota raised to 1 and a link left over: the quotas exceed the regular cells, process 0
// receives cells in rows 2..4 and its row range must cover all of them.
TEST(PlanRegions, LastRowFollowsTheLastCellWhenQuotasDoNotAddUp) {
  test::CapturedDiag d;
  const RegionGeometry g{3, 4, kNodataMpiRegions};
  GridMatrix zone = MakeGrid(d.diag, {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  GridMatrix links = MakeGrid(d.diag, {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}});
  GridMatrix elevation = MakeGrid(d.diag, {{0, 0, 0}, {3, 2, 1}, {3, 2, 1}, {3, 2, 1}});
  const RegionPlan plan =
      PlanRegions(d.diag, g, {zone.get(), elevation.get(), links.get()}, {1, 1});
  EXPECT_EQ(plan.quotas, (std::vector<int64_t>{3, 3}));
  EXPECT_EQ(plan.links[2]->code(), 3);
  EXPECT_EQ(plan.links[2]->computing(), 0);  // left after the last turn
  EXPECT_EQ(plan.first_rows, (std::vector<int32_t>{2, 1}));
  EXPECT_EQ(plan.last_rows, (std::vector<int32_t>{4, 1}));
}

// A very slow process gets a quota of 0: it receives no cell instead of the rest of the domain.
TEST(PlanRegions, ProcessWithoutQuotaGetsNoCells) {
  test::CapturedDiag d;
  const RegionGeometry g{5, 2, kNodataMpiRegions};
  GridMatrix zone = MakeGrid(d.diag, {{1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}});
  const RegionPlan plan = PlanRegions(d.diag, g, {zone.get(), nullptr, nullptr}, {1, 1, 1000});
  EXPECT_EQ(plan.quotas, (std::vector<int64_t>{5, 5, 0}));
  EXPECT_EQ(plan.cell_counts, (std::vector<int64_t>{5, 5, 0, 0}));
  EXPECT_EQ(plan.first_rows, (std::vector<int32_t>{2, 1, 1}));
  EXPECT_EQ(plan.last_rows, (std::vector<int32_t>{2, 1, 0}));  // empty range 1..0
  const MpiLayout empty = LayoutFromPlan(d.diag, g, plan, 2);
  EXPECT_TRUE(empty.receive_list.empty());
}

// A row of single cells between holes holds as many strips as cells; the table has room.
// Work weights: equal weights keep the plain strips; heavier cells shorten the strip that holds
// them. Two processes of equal speed on HoleBasin's 10 cells (quotas 5 and 5).
TEST(PlanRegions, CellWorkWeighsTheStrips) {
  test::CapturedDiag d;
  const RegionGeometry g{4, 3, kNodataMpiRegions};
  GridMatrix zone =
      MakeGrid(d.diag, {{1, 1, 1, 1}, {1, kNodataMpiRegions, 1, 1}, {1, 1, 1, kNodataMpiRegions}});
  struct Row {
    std::vector<std::vector<double>> work;  // empty: no work grid
    int32_t last_row_of_1;
    std::vector<int64_t> cell_counts;
  };
  const Row rows[] = {
      {{}, 2, {5, 5, 0}},
      {{{30, 30, 30, 30}, {30, 30, 30, 30}, {30, 30, 30, 30}}, 2, {5, 5, 0}},
      // Row 1 three times as heavy: the mean is 1.8, process 1 spends 9 on three cells.
      {{{3, 3, 3, 3}, {1, 1, 1, 1}, {1, 1, 1, 1}}, 1, {7, 3, 0}},
  };
  for (const Row& row : rows) {
    GridMatrix work = row.work.empty() ? GridMatrix() : MakeGrid(d.diag, row.work);
    const RegionPlan plan =
        PlanRegions(d.diag, g, {zone.get(), nullptr, nullptr, work.get()}, {1, 1});
    EXPECT_EQ(plan.quotas, (std::vector<int64_t>{5, 5}));
    EXPECT_EQ(plan.first_rows[1], 1);
    EXPECT_EQ(plan.last_rows[1], row.last_row_of_1);
    EXPECT_EQ(plan.cell_counts, row.cell_counts);
  }
}

// The weight of a cell by hand: 17 + each layer's inner steps a day; two 0.1 m layers at 1e-5 m/s
// pass water in 1e4 s, so a daily step takes 9 inner steps in each and an hourly one 1 (24 a
// day). A faster second layer adds only its own steps: the first keeps its 9. On level ground the
// steps weigh 1 + 0.0175 x the fastest layer's steps a day (9: 1.1575; hourly 24: 1.42), at most
// 1.6 (87 steps), half of that extra at a slope tangent of 0.05 (2.862 degrees), from 0.1 (5.711
// degrees) on none; an angle outside 0..90 degrees (nodata) counts as steep.
TEST(CellWorkWeight, SeventeenPlusEachLayersInnerStepsPerDay) {
  SoilRecord soil(7);
  soil.layers = 2;
  soil.ksat = {0, 1e-5, 1e-5};
  soil.thickness = {0, 0.1, 0.1};
  SoilRecord fast = soil;
  fast.ksat = {0, 1e-5, 1e-4};  // the second layer passes water in 1e3 s
  const double half_flat = std::atan(0.05) * 180.0 / std::numbers::pi;
  struct Row {
    int method;
    const SoilRecord* soil;
    double step_seconds;
    double slope;
    double weight;
  } const rows[] = {
      {3, nullptr, 86400, 0, 1},
      {2, &soil, 86400, 30, 17 + 2 * 1},
      {2, &soil, 3600, 30, 17 + 2 * 24},
      {3, &soil, 86400, 30, 17 + 2 * 9},
      {3, &soil, 3600, 30, 17 + 2 * 24},
      {3, &fast, 86400, 30, 17 + 9 + 87},
      {2, &fast, 86400, 30, 17 + 2 * 1},
      {3, &soil, 0, 0, 17 + 2},
      {3, &soil, 86400, 0, 17 + 1.1575 * 2 * 9},
      {3, &soil, 3600, 0, 17 + 1.42 * 2 * 24},
      {3, &fast, 86400, 0, 17 + 1.6 * (9 + 87)},
      {3, &fast, 86400, half_flat, 17 + 1.3 * (9 + 87)},
      {3, &soil, 86400, 5.72, 17 + 2 * 9},
      {3, &soil, 86400, -9999, 17 + 2 * 9},
      {3, &soil, 86400, 90.5, 17 + 2 * 9},
  };
  for (const Row& row : rows)
    EXPECT_NEAR(CellWorkWeight(row.method, row.soil, row.step_seconds, row.slope), row.weight,
                1e-9 * row.weight)
        << "method " << row.method << ", step " << row.step_seconds << ", slope " << row.slope;
}

TEST(BuildLocalTables, RowOfAlternatingRunsFitsTheStripTable) {
  test::CapturedDiag d;
  const RegionGeometry g{6, 2, kNodataMpiRegions};
  GridMatrix zone = MakeGrid(
      d.diag,
      {{1, kNodataMpiRegions, 1, kNodataMpiRegions, 1, kNodataMpiRegions}, {1, 1, 1, 1, 1, 1}});
  const RegionPlan plan = PlanRegions(d.diag, g, {zone.get(), nullptr, nullptr}, {1, 1});
  const MpiLayout p0 = LayoutFromPlan(d.diag, g, plan, 0);
  EXPECT_EQ(p0.strip_pairs, 6);  // a 6-column row would hold only 2
  EXPECT_EQ(TableRow(p0, 1, 15),
            (std::vector<double>{0, 1, 1, kNodataMpiRegions, 1, 1, 1, kNodataMpiRegions, 1, 1, 1,
                                 kNodataMpiRegions, 1, 0, 0}));
  const MpiLayout p1 = LayoutFromPlan(d.diag, g, plan, 1);
  EXPECT_EQ(TableRow(p1, 1, 9), (std::vector<double>{0, 1, 1, 3, 1, 5, 1, 0, 0}));
}

// An irregular basin with river links, decomposed for 4 processes: every domain cell has one
// owner inside that owner's rows, halo relations are mutual, and every halo cell is received.
TEST(PlanRegions, FourProcessesOnAnIrregularBasinWithLinks) {
  test::CapturedDiag d;
  const RegionGeometry g{17, 13, kNodataMpiRegions};
  GridMatrix zone(d.diag, 1, g.nrows, g.ncols, g.nrows);
  GridMatrix links(d.diag, 1, g.nrows, g.ncols, g.nrows);
  GridMatrix elevation(d.diag, 1, g.nrows, g.ncols, g.nrows);
  for (int r = 1; r <= g.nrows; ++r)
    for (int c = 1; c <= g.ncols; ++c) {
      const bool hole = (r * 7 + c * 3) % 11 == 0 || (c > 13 && r < 4);
      zone[r][c] = hole ? kNodataMpiRegions : 1 + (c > 8);
      links[r][c] = (c == 5 || c == 12) ? c : (r == 6 ? 20 : 0);
      elevation[r][c] = 100.0 - r - 0.1 * c;
    }
  const RegionPlan plan =
      PlanRegions(d.diag, g, {zone.get(), elevation.get(), links.get()}, {1, 2, 1, 4});
  std::vector<MpiLayout> layouts;
  for (int rank = 0; rank < 4; ++rank) layouts.push_back(LayoutFromPlan(d.diag, g, plan, rank));

  int64_t domain = 0;
  for (int r = 1; r <= g.nrows; ++r)
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone[r][c] <= kNodataMpiRegions) {
        EXPECT_EQ(plan.owner[r][c], kNodataMpiRegions);
        continue;
      }
      ++domain;
      const int owner = static_cast<int>(plan.owner[r][c]);
      ASSERT_TRUE(owner >= 0 && owner < 4);
      EXPECT_GE(r, plan.first_rows[owner]);
      EXPECT_LE(r, plan.last_rows[owner]);
    }
  int64_t owned = 0;
  for (int p = 0; p < 4; ++p) owned += plan.cell_counts[p];
  EXPECT_EQ(owned, domain);
  for (const auto& link : plan.links)
    for (const RiverLinkCell& cell : link->GetCells()) EXPECT_EQ(cell.computing, link->computing());

  std::set<std::pair<int, int>> receives_from;
  for (int p = 0; p < 4; ++p)
    for (const MpiStripRecord& rec : layouts[p].receive_list) {
      receives_from.insert({p, rec.peer});
      EXPECT_GE(rec.row, plan.first_rows[rec.peer]);  // the peer holds the row as its own
      EXPECT_LE(rec.row, plan.last_rows[rec.peer]);
    }
  for (const auto& [p, q] : receives_from) EXPECT_TRUE(receives_from.count({q, p})) << p << q;
  // Every neighbour of an own cell owned by another process lies in a received strip.
  for (int p = 0; p < 4; ++p) {
    std::set<std::pair<int, int>> covered;
    for (const MpiStripRecord& rec : layouts[p].receive_list)
      for (int c = rec.first_col; c < rec.first_col + rec.count; ++c) covered.insert({rec.row, c});
    for (int r = 1; r <= g.nrows; ++r)
      for (int c = 1; c <= g.ncols; ++c) {
        if (plan.owner[r][c] != p) continue;
        for (int nr = std::max(1, r - 1); nr <= std::min<int>(g.nrows, r + 1); ++nr)
          for (int nc = std::max(1, c - 1); nc <= std::min<int>(g.ncols, c + 1); ++nc) {
            const double o = plan.owner[nr][nc];
            if (o != p && o != kNodataMpiRegions) {
              EXPECT_TRUE(covered.count({nr, nc})) << p << ":" << nr << "," << nc;
            }
          }
      }
  }
}

TEST(ReadProcessTime, SpeedFileGivesTheTimeOtherwiseTheTimerRuns) {
  test::CapturedDiag d;
  test::TempDir work;
  test::ScopedCurrentDir cd(work.path());
  int calls = 0;
  const ProcessTimer timer = [&calls] {
    ++calls;
    return 3.5;
  };
  EXPECT_DOUBLE_EQ(ReadProcessTime(d.diag, 0, timer), 3.5);  // no file
  EXPECT_NE(d.screen.str().find("MPI wtime: 3.5for instance: 0"), std::string::npos);
  test::WriteFile(work / "MpiSpeedFactor.dat", "0.25 seconds\n7\n");
  EXPECT_DOUBLE_EQ(ReadProcessTime(d.diag, 0, timer), 0.25);
  test::WriteFile(work / "MpiSpeedFactor.dat", "fast\n");  // unreadable: timed
  EXPECT_DOUBLE_EQ(ReadProcessTime(d.diag, 0, timer), 3.5);
  EXPECT_EQ(calls, 2);
}

TEST(ReadReinfiltrationMode, FourthValueOfTheSection) {
  test::CapturedDiag d;
  const std::string file = d.dir / "run.ini.$$$";
  test::WriteFile(file, "[other]\n9\n[unsatzon_model]\n1 first\n0  second\n3 third\n2 # mode\n");
  EXPECT_EQ(ReadReinfiltrationMode(d.diag, file, "defaultini"), 2);
  const UnsatzoneHead head = ReadUnsatzoneHead(d.diag, file, "defaultini");
  EXPECT_EQ(head.on, 1);
  EXPECT_EQ(head.step_minutes, 0.0);
  EXPECT_EQ(head.method, 3);
  test::WriteFile(file, "[other]\n9\n");
  EXPECT_EQ(ReadReinfiltrationMode(d.diag, file, "defaultini"), 0);
  test::WriteFile(file, "[unsatzon_model]\n1\n0\nnone\n");
  EXPECT_EQ(ThrownCode([&] { ReadReinfiltrationMode(d.diag, file, "defaultini"); }), 17);
  EXPECT_EQ(ThrownCode([&] { ReadReinfiltrationMode(d.diag, d.dir / "absent", "x"); }), 28);
}

TEST(RiverLinkCell, BroadcastFormPutsPositionBeforeElevation) {
  RiverLinkCell cell{11, 12, 13, 14, 15, 1234.5, 16};
  const RiverLinkCellBytes bytes = PackRiverLinkCell(cell);
  int32_t position = 0;
  double elevation = 0;
  std::memcpy(&position, bytes.data() + 20, 4);
  std::memcpy(&elevation, bytes.data() + 24, 8);
  EXPECT_EQ(position, 16);
  EXPECT_EQ(elevation, 1234.5);
  const RiverLinkCell back = UnpackRiverLinkCell(bytes.data());
  EXPECT_EQ(back.row, 11);
  EXPECT_EQ(back.col, 12);
  EXPECT_EQ(back.link_code, 13);
  EXPECT_EQ(back.owner, 14);
  EXPECT_EQ(back.computing, 15);
  EXPECT_EQ(back.position, 16);
  EXPECT_EQ(back.elevation, 1234.5);
}

TEST(RegisterMpiGrids, ThreeEntriesAfterTheUsedOnesAndFullRegistryIsCode12) {
  test::CapturedDiag d;
  const RegionGeometry g{4, 3, kNodataMpiRegions};
  GridMatrix zone =
      MakeGrid(d.diag, {{1, 1, 1, 1}, {1, kNodataMpiRegions, 1, 1}, {1, 1, 1, kNodataMpiRegions}});
  const RegionPlan plan = PlanRegions(d.diag, g, {zone.get(), nullptr, nullptr}, {1, 1, 2});
  const MpiLayout p1 = LayoutFromPlan(d.diag, g, plan, 1);
  GridRegistry registry;
  registry.Register(d.diag, 1, "zone.asc", zone.get(), nullptr, 0, "zone", 0, 1, 3, 4, 3);
  EXPECT_EQ(RegisterMpiGrids(d.diag, registry, p1), 2);
  EXPECT_EQ(registry.Find("MPIRegions", 0), 2);
  EXPECT_EQ(registry.Find("MPIHelper", 0), 3);
  EXPECT_EQ(registry.Find("MPIHalo", 0), 4);
  EXPECT_EQ(registry[3].grid, p1.helper.get());
  EXPECT_EQ(registry[4].write_code, 0);
  EXPECT_EQ(registry[2].first_row, 1);  // own rows 1..2 with the halo row below
  EXPECT_EQ(registry[2].last_row, 3);

  // Two entries left: the third grid would need index 1000, which the registry refuses.
  GridRegistry almost_full;
  for (int i = 1; i <= 997; ++i)
    almost_full.Register(d.diag, i, "f", zone.get(), nullptr, 0, test::Numbered("g", i), 0, 1, 3, 4,
                         3);
  EXPECT_EQ(ThrownCode([&] { RegisterMpiGrids(d.diag, almost_full, p1); }), 12);
  EXPECT_TRUE(d.HasFatal("no free grid in memory,(max. 1000)!"));
  EXPECT_FALSE(d.ScreenHas("when trying to create MPI-Regions"));
  // No entry left at all.
  GridRegistry full;
  for (int i = 1; i <= 999; ++i)
    full.Register(d.diag, i, "f", zone.get(), nullptr, 0, test::Numbered("g", i), 0, 1, 3, 4, 3);
  EXPECT_EQ(ThrownCode([&] { RegisterMpiGrids(d.diag, full, p1); }), 12);
  EXPECT_TRUE(d.HasFatal(
      "when trying to create MPI-Regions: no free grid found in memory (at position 1000)"));
}

}  // namespace
}  // namespace velorn

// The region decomposition over real MPI processes (1, 2, 3 and 4): each process reads its own
// "MpiSpeedFactor.dat" from its working directory; the result must equal what the pure plan
// gives for the same number of processes, the halo lists must pair up between processes, and
// the river links must reach every process unchanged.
#include <gtest/gtest.h>
#include <mpi.h>

#include <sstream>
#include <vector>

#include "core/diagnostic_stream.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataMpiRegions = -9999.0;

using test::Rank;
using test::SameRecords;
using test::Size;

struct Basin {
  RegionGeometry geometry;
  GridMatrix zone, elevation, links;
  RegionGrids grids() const { return {zone.get(), elevation.get(), links ? links.get() : nullptr}; }
};

// 3 x 4 with a hole at (2,2) and (3,4) outside the domain.
Basin HoleBasin(DiagnosticStream& diag) {
  Basin b{{4, 3, kNodataMpiRegions}, {}, {}, {}};
  b.zone = test::MakeGrid(
      diag, {{1, 1, 1, 1}, {1, kNodataMpiRegions, 1, 1}, {1, 1, 1, kNodataMpiRegions}});
  return b;
}

// 19 x 23 with holes and a notch, river links down two columns and along one row, so links
// cross the borders of every process's rows.
Basin RiverBasin(DiagnosticStream& diag) {
  Basin b{{23, 19, kNodataMpiRegions}, {}, {}, {}};
  b.zone = GridMatrix(diag, 1, 19, 23, 19);
  b.elevation = GridMatrix(diag, 1, 19, 23, 19);
  b.links = GridMatrix(diag, 1, 19, 23, 19);
  for (int r = 1; r <= 19; ++r)
    for (int c = 1; c <= 23; ++c) {
      const bool hole = (r * 5 + c * 3) % 13 == 0 || (c > 18 && r < 5);
      b.zone[r][c] = hole ? kNodataMpiRegions : 1 + (c > 11);
      b.elevation[r][c] = 500.0 - 3 * r - 0.5 * c;
      b.links[r][c] =
          (c == 6 || c == 15) ? c : (r == 9 ? 40 : (r % 4 == 0 ? kNodataMpiRegions : 0));
    }
  return b;
}

struct Decomposed {
  RegionDecomposition result;
  std::vector<double> times;
};

// Every process writes its speed file (time = times[rank]) in its own working directory and
// decomposes; the timer must never run.
Decomposed Decompose(DiagnosticStream& diag, const Basin& basin, std::vector<double> times) {
  test::TempDir work;
  test::ScopedCurrentDir cd(work.path());
  std::ostringstream text;
  text << times[static_cast<std::size_t>(Rank())] << "\n";
  test::WriteFile(work / kSpeedFactorFile, text.str());
  const double own = ReadProcessTime(diag, Rank(), [] {
    ADD_FAILURE() << "the timer ran although a speed file exists";
    return 1.0;
  });
  const RegionGrids grids = Rank() == 0 ? basin.grids() : RegionGrids{};
  return {DecomposeRegions(diag, basin.geometry, grids, own), std::move(times)};
}

// The layout from the collective decomposition equals the one computed from the plan alone.
void ExpectLayoutMatchesPlan(DiagnosticStream& diag, const Basin& basin, const Decomposed& d) {
  const RegionPlan plan = PlanRegions(diag, basin.geometry, basin.grids(), d.times);
  std::vector<std::vector<MpiStripRecord>> receives;
  for (int p = 0; p < Size(); ++p)
    receives.push_back(LayoutFromPlan(diag, basin.geometry, plan, p).receive_list);
  const MpiLayout expected = LayoutFromPlan(diag, basin.geometry, plan, Rank());
  const MpiLayout& got = d.result.layout;
  EXPECT_EQ(got.first_row, expected.first_row);
  EXPECT_EQ(got.last_row, expected.last_row);
  EXPECT_EQ(got.first_rows, plan.first_rows);
  EXPECT_EQ(got.last_rows, plan.last_rows);
  EXPECT_EQ(got.cell_counts, plan.cell_counts);
  const HeldRows held = Rank() == 0 ? HeldRows{1, basin.geometry.nrows} : got.held_rows();
  for (int32_t r = held.first; r <= held.last; ++r)
    for (int32_t c = 1; c <= basin.geometry.ncols; ++c) {
      ASSERT_EQ(got.regions[r][c], expected.regions[r][c]) << r << "," << c;
      ASSERT_EQ(got.halo[r][c], expected.halo[r][c]) << r << "," << c;
    }
  EXPECT_EQ(got.strip_pairs, expected.strip_pairs);
  for (int32_t r = got.first_row; r <= got.last_row; ++r)
    for (int32_t i = 0; i <= 2 * got.strip_pairs + 2; ++i)
      ASSERT_EQ(got.helper[r][i], expected.helper[r][i]) << r << "," << i;
  EXPECT_TRUE(SameRecords(got.receive_list, expected.receive_list));
  EXPECT_TRUE(SameRecords(got.send_list, SendListFromPeers(receives, Rank())));
}

// Process p's records for peer q, as all processes see them.
std::vector<std::vector<MpiStripRecord>> AllGatherLists(const std::vector<MpiStripRecord>& own) {
  const int size = Size();
  int count = static_cast<int>(own.size()) * 4;
  std::vector<int> counts(static_cast<std::size_t>(size));
  MPI_Allgather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::vector<int> displs(static_cast<std::size_t>(size), 0);
  for (int p = 1; p < size; ++p) displs[p] = displs[p - 1] + counts[p - 1];
  std::vector<MpiStripRecord> all(static_cast<std::size_t>((displs.back() + counts.back()) / 4));
  MPI_Allgatherv(own.data(), count, MPI_INT32_T, all.data(), counts.data(), displs.data(),
                 MPI_INT32_T, MPI_COMM_WORLD);
  std::vector<std::vector<MpiStripRecord>> lists(static_cast<std::size_t>(size));
  for (int p = 0; p < size; ++p)
    lists[p].assign(all.begin() + displs[p] / 4, all.begin() + (displs[p] + counts[p]) / 4);
  return lists;
}

struct Fixture : ::testing::Test, test::CapturedDiag {};

TEST_F(Fixture, HoleBasinMatchesThePlanAndTheHandResultAtThreeProcesses) {
  const Basin basin = HoleBasin(diag);
  std::vector<double> times = {1, 1, 2, 2};
  times.resize(static_cast<std::size_t>(Size()), 1.0);
  const Decomposed d = Decompose(diag, basin, times);
  ExpectLayoutMatchesPlan(diag, basin, d);
  const MpiLayout& layout = d.result.layout;
  if (Size() == 1) {
    EXPECT_EQ(layout.first_row, 1);
    EXPECT_EQ(layout.last_row, 3);
    EXPECT_TRUE(layout.receive_list.empty());
    EXPECT_TRUE(layout.send_list.empty());
  }
  if (Size() == 3) {
    const int32_t first[3] = {2, 1, 1};
    const int32_t last[3] = {3, 2, 1};
    EXPECT_EQ(layout.first_row, first[Rank()]);
    EXPECT_EQ(layout.last_row, last[Rank()]);
    EXPECT_EQ(layout.cell_counts, (std::vector<int64_t>{4, 4, 2, 0}));
    if (Rank() == 0) {
      EXPECT_TRUE(SameRecords(layout.send_list, {{2, 4, 1, 1}, {3, 1, 3, 1}}));
    }
    if (Rank() == 2) {
      EXPECT_TRUE(SameRecords(layout.send_list, {{1, 1, 2, 1}}));
    }
  }
}

TEST_F(Fixture, RiverBasinListsPairUpAndLinksReachEveryProcess) {
  const Basin basin = RiverBasin(diag);
  std::vector<double> times;
  for (int p = 0; p < Size(); ++p) times.push_back(1.0 + 0.5 * p);
  const Decomposed d = Decompose(diag, basin, times);
  ExpectLayoutMatchesPlan(diag, basin, d);

  // What p receives from q is exactly what q sends to p, in the same order.
  const auto receives = AllGatherLists(d.result.layout.receive_list);
  const auto sends = AllGatherLists(d.result.layout.send_list);
  for (int p = 0; p < Size(); ++p)
    for (int q = 0; q < Size(); ++q) {
      std::vector<MpiStripRecord> from_q, to_p;
      for (auto rec : receives[p])
        if (rec.peer == q) from_q.push_back({rec.row, rec.first_col, rec.count, 0});
      for (auto rec : sends[q])
        if (rec.peer == p) to_p.push_back({rec.row, rec.first_col, rec.count, 0});
      EXPECT_TRUE(SameRecords(from_q, to_p)) << p << " from " << q;
    }

  const RegionPlan plan = PlanRegions(diag, basin.geometry, basin.grids(), times);
  const auto& links = d.result.river_links.links;
  ASSERT_EQ(links.size(), plan.links.size());
  std::size_t own_cells = 0, computed_cells = 0;
  for (std::size_t l = 0; l < links.size(); ++l) {
    EXPECT_EQ(links[l]->code(), plan.links[l]->code());
    EXPECT_EQ(links[l]->computing(), plan.links[l]->computing());
    ASSERT_EQ(links[l]->cell_count(), plan.links[l]->cell_count());
    for (int i = 0; i < links[l]->cell_count(); ++i) {
      const RiverLinkCell& a = links[l]->GetCells()[i];
      const RiverLinkCell& b = plan.links[l]->GetCells()[i];
      EXPECT_EQ(a.row, b.row);
      EXPECT_EQ(a.col, b.col);
      EXPECT_EQ(a.owner, b.owner);
      EXPECT_EQ(a.position, i);
      EXPECT_EQ(a.elevation, b.elevation);
      own_cells += a.owner == Rank();
      computed_cells += a.computing == Rank();
    }
  }
  // The basin is meant to have links whose cells lie in other processes' regions.
  bool crossing = false;
  for (const auto& link : links)
    for (const RiverLinkCell& cell : link->GetCells()) crossing |= cell.owner != cell.computing;
  EXPECT_EQ(crossing, Size() > 1);
  if (Size() > 1) {
    EXPECT_FALSE(d.result.layout.receive_list.empty());
  }
  std::size_t listed_own = 0, listed_computed = 0;
  for (const auto& list : d.result.river_links.own_cells_by_computing) listed_own += list.size();
  for (const auto& list : d.result.river_links.computed_cells_by_owner)
    listed_computed += list.size();
  EXPECT_EQ(listed_own, own_cells);
  EXPECT_EQ(listed_computed, computed_cells);
}

}  // namespace
}  // namespace velorn

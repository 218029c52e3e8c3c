// External coupling with a partner program (a thread of process 0) on 1 to 4 processes: the
// partner writes two grids and the semaphore file; the model reads them into its grids (one of
// them held over the own rows only), deletes or keeps the files, accumulates three steps and
// writes the sum, the mean, the grid as it is and a statistics text; the partner reads them after
// the model's semaphore file. Every wait is bounded, so a partner that never answers fails the test
// instead of hanging it.
#include <gtest/gtest.h>
#include <mpi.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "core/zone_statistics.h"
#include "setup/defaultini.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::Rank;
namespace fs = std::filesystem;
constexpr double kNodataCoupling = -9999.0;

// True once `path` exists, false after `limit` without it.
bool WaitForFile(const std::string& path, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Written through a temporary file and a rename, so the reader never sees half a file.
void WriteWhole(const std::string& path, const std::string& text) {
  test::WriteFile(path + ".tmp", text);
  fs::rename(path + ".tmp", path);
}

// A grid file of the partner's 4 x 3 geometry.
std::string CouplingAsciiGrid(double (*value)(int, int)) {
  return test::AsciiGrid(4, 3, 3000, 1000, 100, kNodataCoupling, value);
}

// The cell rows of an ASCII grid, joined by '|'.
std::string Cells(const std::string& text) {
  const std::vector<std::string> lines = test::SplitLines(text);
  return lines.size() < 9 ? text : lines[6] + "|" + lines[7] + "|" + lines[8];
}

class CouplingPartnerTest : public test::DiagTest {
 protected:
  CouplingPartnerTest() : DiagTest(test::TempDir::Shared()) {
    zone_ = test::MakeGrid(diag_, {{1, 1, 1, 1}, {1, 1, 1, 1}, {kNodataCoupling, 1, 1, 1}});
    registry_.Register(diag_, 1, "zone.asc", zone_.get(), nullptr, 0, "zonegrid", 0, 1, 3, 4, 3);
    RegionGrids grids;
    grids.zone = zone_.get();
    layout_ = DecomposeRegions(diag_, RegionGeometry{4, 3, kNodataCoupling}, grids, 1.0).layout;
    RegisterMpiGrids(diag_, registry_, layout_);
    test::SetGeometry(settings_, 4, 3, 3000, 1000, 100, kNodataCoupling);
    settings_.mpi = &layout_;
    settings_.first_local_row = layout_.first_row;
    settings_.last_local_row = layout_.last_row;
    settings_.write_ascii = true;
    settings_.zone_count = 2;
    settings_.control_file_name = dir_ / "run.ctl.$$$";
  }

  GridMatrix zone_;
  GridRegistry registry_;
  GridRegistry* registry_pointer_ = &registry_;
  MpiLayout layout_;
  int32_t error_ = -1;
  defaultini settings_{error_, &diag_, "run.ctl", nullptr, 200, 2, &registry_pointer_};
};

TEST_F(CouplingPartnerTest, PartnerSeesSumsAndMeansOfTheGridsItSent) {
  ASSERT_EQ(error_, 0);
  const std::string d = dir_ / "";
  if (Rank() == 0)
    test::WriteFile(settings_.control_file_name,
                    "[ExternalCoupling]\n1\n" + d + "sema.txt\n5\nI\n60\n2\n" + d +
                        "in.asc runoff 0 0\n" + d + "gw.asc GWTableExtern 0 2\n3\n" + d +
                        "sum.asc runoff Sum\n" + d + "mean.asc runoff Mean\n" + d +
                        "current.asc runoff Current\n1\n" + d + "stat.txt total_runoff Mean\n" + d +
                        "to_partner.txt\nCommand=Continue;\n");
  MPI_Barrier(MPI_COMM_WORLD);
  settings_.GetCouplingParameters();
  ASSERT_TRUE(settings_.IsCouplingActive());

  // The model's grids: runoff over the held rows, the groundwater table over the own rows only.
  const HeldRows held = layout_.held_rows();
  GridMatrix runoff(diag_, held.first, held.last, 4, 3);
  GridMatrix table(diag_, layout_.first_row, layout_.last_row, 4, 3);
  registry_.Register(diag_, registry_.FirstFreeIndex(), "r.asc", runoff.get(), nullptr, 0, "runoff",
                     0, held.first, held.last, 4, 3);
  registry_.Register(diag_, registry_.FirstFreeIndex(), "gw.asc", table.get(), nullptr, 0,
                     "GWTableExtern", 0, layout_.first_row, layout_.last_row, 4, 3);
  std::vector<double> current{0, 2, 4, 3.5}, second(4, 0.0), shares{0, 0.25, 0.75, 1};
  std::vector<int64_t> codes{0, 5, 7, 0};
  std::vector<ZoneStatisticsRecord> records(200);
  const std::string name = "unsatzon_model_submodel:total runoff";
  records[0] = ZoneStatisticsRecord{
      0, 0, 0, 0, 3, current.data(), second.data(), shares.data(), name.c_str(), codes.data()};
  settings_.LinkExternalGrids(records.data(), 200);

  std::string partner_sum, partner_mean, partner_current, partner_statistic;
  std::thread partner;
  if (Rank() == 0)
    partner = std::thread([&] {
      test::WriteFile(d + "in.asc", CouplingAsciiGrid([](int, int) { return 1.0; }));
      test::WriteFile(d + "gw.asc", CouplingAsciiGrid([](int r, int c) { return r * 10.0 + c; }));
      WriteWhole(d + "sema.txt", "Command=Continue;");
      if (!WaitForFile(d + "to_partner.txt", std::chrono::seconds(20))) return;
      partner_sum = Cells(test::ReadFile(d + "sum.asc"));
      partner_mean = Cells(test::ReadFile(d + "mean.asc"));
      partner_current = Cells(test::ReadFile(d + "current.asc"));
      partner_statistic = test::ReadFile(d + "stat.txt");
    });

  // The time loop's side: process 0 waits for the semaphore file, then all exchange.
  int found = Rank() == 0 ? WaitForFile(d + "sema.txt", std::chrono::seconds(20)) : 0;
  MPI_Bcast(&found, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (!found) {
    if (partner.joinable()) partner.join();
    FAIL() << "the partner wrote no semaphore file";
  }
  settings_.ExchangeExternalGrids(2001, 1, 31, 24);
  for (int r = layout_.first_row; r <= layout_.last_row; ++r)
    for (int c = 1; c <= 4; ++c)
      if (layout_.regions[r][c] == Rank()) {
        EXPECT_EQ(runoff[r][c], 1.0);
        EXPECT_EQ(table[r][c], r * 10.0 + c);
      }
  if (Rank() == 0) {
    EXPECT_FALSE(fs::exists(d + "in.asc"));  // rename code 0 deletes
    EXPECT_TRUE(fs::exists(d + "gw.asc"));   // rename code 2 keeps
    EXPECT_FALSE(fs::exists(d + "sema.txt"));
  }
  for (double value : {1.0, 2.0, 3.0}) {
    for (int r = held.first; r <= held.last; ++r)
      for (int c = 1; c <= 4; ++c) runoff[r][c] = value;
    if (value < 3)
      settings_.AccumulateExternalGrids();
    else
      settings_.WriteExternalGrids(24, 31, 1, 2001, true, true, false, false);
  }
  if (Rank() == 0) {
    WriteWhole(d + "to_partner.txt", settings_.GetExternalSemaphoreContent());
    partner.join();
    EXPECT_EQ(partner_sum, "6\t6\t6\t6|6\t6\t6\t6|-9999\t6\t6\t6");
    EXPECT_EQ(partner_mean, "2\t2\t2\t2|2\t2\t2\t2|-9999\t2\t2\t2");
    // Written as it is: outside the basin nodata on every process count, as the sums.
    EXPECT_EQ(partner_current, "3\t3\t3\t3|3\t3\t3\t3|-9999\t3\t3\t3");
    EXPECT_EQ(partner_statistic,
              "date: 2001-01-31\nhour: 24h\nunsatzon_model_submodel:total runoff; 2 zones\n"
              "5\t2\n7\t4\naverage\t3.5\n");
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

}  // namespace
}  // namespace velorn

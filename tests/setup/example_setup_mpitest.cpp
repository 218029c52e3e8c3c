// The shipped example basin through the whole stepwise set-up on every process count: its
// control file, grids and tables are accepted, the five subbasins are ranked, and the greatest
// elevation and the zone areas agree with the grid files read here on their own.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "core/matrix.h"
#include "setup/defaultini.h"
#include "setup/model_settings.h"
#include "tests/support/grid_files.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

TEST(ExampleSetup, AcceptsTheExampleBasinOnAnyProcessCount) {
  test::CapturedDiag d(test::TempDir::Shared());
  std::string control;
  if (test::Rank() == 0) control = test::CopyExample(d.dir.path());
  control = (d.dir.path() / "front-range.ctl").string();
  MPI_Barrier(MPI_COMM_WORLD);
  test::ScopedCurrentDir cd(d.dir.path());

  const int64_t live_before = LiveMatrixCount();
  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  int32_t error = -1;
  auto settings =
      std::make_unique<defaultini>(error, &d.diag, control, nullptr, 200, 2, &registry_pointer);
  ASSERT_EQ(error, 0);
  uint8_t done = 0;
  for (int calls = 0; done == 0 && calls < 30; ++calls)
    ASSERT_EQ(test::ThrownCode([&] { settings->RunSetupStep(done); }, 0), 0) << d.screen.str();
  ASSERT_EQ(settings->setup_complete, 1);

  const auto zones = test::GridCells(test::ExampleDir() / "zones.asc");
  const auto dem = test::GridCells(test::ExampleDir() / "dem.asc");
  ASSERT_EQ(zones.size(), dem.size());
  double highest = -1e9;
  std::map<int, int> cells_of_zone;
  for (std::size_t i = 0; i < zones.size(); ++i)
    if (zones[i] != -9999) {
      highest = std::max(highest, dem[i]);
      ++cells_of_zone[static_cast<int>(zones[i])];
    }
  EXPECT_DOUBLE_EQ(settings->GetMaximumElevation(), highest);

  ModelSettings s;
  settings->GetModelSettings(s);
  ASSERT_EQ(s.zone_count, 5);
  ASSERT_EQ(cells_of_zone.size(), 5u);
  int total = 0;
  for (const auto& [code, cells] : cells_of_zone) total += cells;
  for (int z = 1; z <= s.zone_count; ++z) {
    const int code = static_cast<int>(s.zone_table[z][2]);
    EXPECT_EQ(code, z);
    EXPECT_NEAR(s.zone_table[z][3], static_cast<double>(cells_of_zone[code]) / total, 1e-12);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  settings->ReleaseMemory();
  EXPECT_EQ(LiveMatrixCount(), live_before);
}

}  // namespace
}  // namespace velorn

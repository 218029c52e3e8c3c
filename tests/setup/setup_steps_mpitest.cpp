// The whole stepwise set-up of a small basin on every process count: the steps run to the
// closing call with their progress messages, the owner grid is written, and the derived grids
// hold values worked out here independently of the number of processes (regular corners and
// sizes, the angle and direction of the tilted elevation plane, the linear blend of two
// regions); afterwards the release frees every grid the set-up allocated.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <sstream>

#include "setup/defaultini.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int kCols = 12;
constexpr int kRows = 10;
constexpr double kCs = 100, kXll = 1000, kYll = 2000, N = -9999;
constexpr double kSlope = 20, kAspect = 135;  // degrees; the plane falls towards south-east

bool InZone(int r, int c) {
  return !(r == 1 && c <= 2) && !(r == kRows && c == kCols);
}

double Elevation(int r, int c) {
  const double x = (c - 1) * kCs, y = (kRows - r) * kCs, rad = std::numbers::pi / 180;
  return 2000 -
         std::tan(kSlope * rad) * (x * std::sin(kAspect * rad) + y * std::cos(kAspect * rad));
}

std::string AsciiGrid(double (*value)(int, int)) {
  std::ostringstream out;
  out.precision(17);
  out << "ncols " << kCols << "\nnrows " << kRows << "\nxllcorner " << kXll << "\nyllcorner "
      << kYll << "\ncellsize " << kCs << "\nnodata_value " << N << "\n";
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) out << value(r, c) << (c == kCols ? "\n" : " ");
  return out.str();
}

// The values of an ASCII grid file, rows 1..nrows, columns 1..ncols (header skipped).
std::vector<std::vector<double>> ReadAscii(const std::string& path) {
  std::istringstream in(test::ReadFile(path));
  std::string key;
  double header[6] = {};
  for (double& h : header) in >> key >> h;
  std::vector<std::vector<double>> rows(kRows + 1, std::vector<double>(kCols + 1, N));
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) in >> rows[r][c];
  return rows;
}

std::string ControlFile(const std::string& dir) {
  return "$set $d = " + dir +
         "/\n[output_interval]\n1\n0\n0\n0\nWriteAsciiGrids = 1\nWriteDoubleGrids = 0\n"
         "WriteNetcdfGrids = 0\nInitialStateDirectory = $d\nDefaultOutputDirectory = $d//out/\n\n"
         "[output_list]\n0\n[coordinates]\n47.5\n8.5\n15.0\n0.0\n[meteo_data_count]\n1\n"
         "[meteo_names]\ntemperature\n[zone_grid]\n$d//zone.asc\n[elevation_model]\n$d//dem.asc\n"
         "[standard_grids]\n1\n$d//regions.asc regression_regions 0\n"
         "[model_time]\n24\n1\n1\n2019\n24\n31\n12\n2019\n[landuse_table]\n0\n[soil_table]\n0\n"
         "[irrigation]\n0\n[radiation_correction]\n0\n1440\n[variable_grids]\n0\n"
         "[region_transition_distance]\n250\n[substance_transport]\n0\n"
         "[SpinUp]\n1\n0\n2\n1\nelevation_model 100 linear\n";
}

class SetupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::Rank() == 0) {
      std::filesystem::create_directory(d_.dir.path() / "out");
      test::WriteFile(d_.dir / "run.ctl", ControlFile(d_.dir.path().string()));
      test::WriteFile(d_.dir / "MpiSpeedFactor.dat", "1.0\n");
      test::WriteFile(d_.dir / "zone.asc",
                      AsciiGrid([](int r, int c) { return InZone(r, c) ? 1.0 + (r > 5) : N; }));
      test::WriteFile(d_.dir / "dem.asc", AsciiGrid(Elevation));
      test::WriteFile(d_.dir / "regions.asc",
                      AsciiGrid([](int, int c) { return c <= 6 ? 1.0 : 2.0; }));
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }

  test::CapturedDiag d_{test::TempDir::Shared()};
};

TEST_F(SetupRun, StepsCompleteWithDerivedGridsIndependentOfTheProcessCount) {
  test::ScopedCurrentDir cd(d_.dir.path());
  const int64_t live_before = LiveMatrixCount();
  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  int32_t error = -1;
  auto settings = std::make_unique<defaultini>(error, &d_.diag, d_.dir / "run.ctl", nullptr, 200, 2,
                                               &registry_pointer);
  ASSERT_EQ(error, 0);
  uint8_t done = 0;
  int calls = 0;
  while (done == 0 && calls < 30) {
    ASSERT_EQ(settings->RunSetupStep(done), 0);
    ++calls;
  }
  EXPECT_EQ(calls, 24);  // steps 0..22 and the closing call
  EXPECT_EQ(settings->setup_complete, 1);
  double highest = N;
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c)
      if (InZone(r, c)) highest = std::max(highest, Elevation(r, c));
  EXPECT_NEAR(settings->GetMaximumElevation(), highest, 1e-9);
  EXPECT_EQ(settings->region_count, 2);
  MPI_Barrier(MPI_COMM_WORLD);

  if (test::Rank() == 0) {
    for (const char* message :
         {"check_SOIL_Codes...", "make_Slope_and_Aspect...", "check_ice_firn_grid...",
          "MakeRegionWeightGrids...", "GetCouplingParameters..."})
      EXPECT_TRUE(d_.ScreenHas(message)) << message;
    EXPECT_FALSE(d_.ScreenHas("make_nFK_kWert_and_Na..."));  // variant 2
    const auto owner = ReadAscii(d_.dir / "out/MPIRegions_0");
    const std::string dir = d_.dir.path().string() + "/";
    const auto rca = ReadAscii(dir + "zone.$rca"), csx = ReadAscii(dir + "zone.$csx");
    const auto cx = ReadAscii(dir + "zone.$cx"), cy = ReadAscii(dir + "zone.$cy");
    const auto slope = ReadAscii(dir + "dem.$sl"), aspect = ReadAscii(dir + "dem.$ex");
    const auto w1 = ReadAscii(dir + "regions.$w1"), w2 = ReadAscii(dir + "regions.$w2");
    const auto r2 = ReadAscii(dir + "regions.$r2");
    // Transition radius 2.5 cells across the border between columns 6 and 7.
    const double own_weight[kCols + 1] = {0, 1, 1, 1, 1, 0.9, 0.7, 0.7, 0.9, 1, 1, 1, 1};
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        SCOPED_TRACE(testing::Message() << "row " << r << ", column " << c);
        if (!InZone(r, c)) {
          for (const auto* g : {&owner, &rca, &cx, &slope, &w1}) EXPECT_EQ((*g)[r][c], N);
          continue;
        }
        EXPECT_GE(owner[r][c], 0);
        EXPECT_LT(owner[r][c], test::Size());
        EXPECT_EQ(rca[r][c], 1);
        EXPECT_EQ(csx[r][c], kCs);
        EXPECT_EQ(cx[r][c], kXll + (c - 1) * kCs);
        EXPECT_EQ(cy[r][c], kYll + (kRows - r) * kCs);
        EXPECT_NEAR(slope[r][c], kSlope, 1e-4);
        EXPECT_NEAR(aspect[r][c], kAspect, 1e-4);
        EXPECT_NEAR(w1[r][c], own_weight[c], 1e-9);
        EXPECT_NEAR(w2[r][c], 1 - own_weight[c], 1e-9);
        EXPECT_EQ(r2[r][c], own_weight[c] < 1 ? (c <= 6 ? 2 : 1) : 0);
      }
  }
  MPI_Barrier(MPI_COMM_WORLD);

  // Response units of the elevation in classes of 100 m, numbered in scan order over the
  // whole basin, the same on every process.
  int32_t spin_up = 0, pre_spin_up = -1, repeat = 0;
  std::vector<HruRecord> units;
  settings->CreateHydrologicResponseUnits(spin_up, pre_spin_up, repeat, units);
  EXPECT_EQ(spin_up, 1);
  EXPECT_EQ(pre_spin_up, 0);
  EXPECT_EQ(repeat, 2);
  std::vector<std::string> keys{""};
  std::vector<std::vector<double>> expected_ids(kRows + 1, std::vector<double>(kCols + 1, N));
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      if (!InZone(r, c)) continue;
      char key[32];
      std::snprintf(key, sizeof key, "%04d'", static_cast<int>(std::floor(Elevation(r, c) / 100)));
      auto it = std::find(keys.begin(), keys.end(), key);
      if (it == keys.end()) it = keys.insert(keys.end(), key);
      expected_ids[r][c] = static_cast<double>(it - keys.begin());
    }
  ASSERT_EQ(units.size(), keys.size());
  for (std::size_t i = 1; i < units.size(); ++i) {
    EXPECT_EQ(units[i].id, i);
    EXPECT_EQ(units[i].key, keys[i]);
    EXPECT_EQ(expected_ids[units[i].row][units[i].column], static_cast<double>(i));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (test::Rank() == 0) {
    EXPECT_EQ(ReadAscii(d_.dir / "out/All_HydrologicResponseUnits"), expected_ids);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  settings->ReleaseMemory();
  EXPECT_EQ(LiveMatrixCount(), live_before);
}

}  // namespace
}  // namespace velorn

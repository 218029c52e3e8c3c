// The grid set-up on 1, 2 and 3 processes: zone ranking and column ranges of a basin with
// holes, code grids replaced and distributed, standard and variable grids over each process's
// rows, and dated re-reads that bring back raw codes and return to the set-up values.
#include <gtest/gtest.h>
#include <mpi.h>

#include <memory>
#include <string>

#include "setup/defaultini.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int32_t kRows = 6;
constexpr int32_t kCols = 5;
constexpr double N = -9999;
using test::Rank;

// Zones 7 (rows 1-2), 3 (rows 3-4) and 12 (rows 5-6); row 2 is all hole, row 4 has zone cells
// in columns 2..4 only.
const double kZone[kRows][kCols] = {{7, 7, 7, N, N}, {N, N, N, N, N},      {3, 3, 3, 3, 3},
                                    {N, 3, 3, 3, N}, {12, 12, 12, 12, 12}, {N, 12, N, 12, N}};

std::string AsciiGrid(const std::string& body) {
  return "ncols 5\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n" + body;
}

std::string ZoneFile() {
  std::string body;
  for (const auto& row : kZone) {
    for (double v : row) body += std::to_string(static_cast<int>(v)) + " ";
    body += "\n";
  }
  return AsciiGrid(body);
}

std::string Uniform(double value) {
  std::string body;
  for (int r = 0; r < kRows; ++r) {
    for (int c = 0; c < kCols; ++c) body += std::to_string(value) + " ";
    body += "\n";
  }
  return AsciiGrid(body);
}

// A settings object after the standard grids are read, the zone grid is on process 0 and the
// regions are decomposed, in a directory shared by all processes.
class GridSetup {
 public:
  explicit GridSetup(const std::string& standard_grids) : d_(test::TempDir::Shared()) {
    if (Rank() == 0) {
      test::WriteFile(d_.dir / "run.ctl",
                      "[zone_grid]\nzone.asc\n[elevation_model]\nzone.asc\n[standard_grids]\n" +
                          standard_grids + "[variable_grids]\n1\nnone.asc storage 0 5.0\n0\n0\n");
      test::WriteFile(d_.dir / kSpeedFactorFile, "1.0\n");
      test::WriteFile(d_.dir / "zone.asc", ZoneFile());
      test::WriteFile(d_.dir / "soil.asc", Uniform(20));
      test::WriteFile(d_.dir / "soil.asc_2000010100", Uniform(30));
      test::WriteFile(d_.dir / "soil.asc_2000010200", Uniform(10));
    }
    MPI_Barrier(MPI_COMM_WORLD);
    cd_ = std::make_unique<test::ScopedCurrentDir>(d_.dir.path());
    registry_pointer_ = &registry_;
    int32_t error = -1;
    settings_ = std::make_unique<defaultini>(error, &d_.diag, d_.dir / "run.ctl", nullptr, 200, 2,
                                             &registry_pointer_);
    EXPECT_EQ(error, 0);
    defaultini& s = *settings_;
    s.control_file_name = d_.dir / "run.ctl";
    s.control_file = std::make_unique<ControlFileReader>();
    s.control_file->Open(s.control_file_name);
    s.ReadStandardGrids();
    if (Rank() == 0) s.ReadZoneGridHeader(s.ncols, s.nrows, s.xll, s.yll, s.cellsize, s.nodata);
    MPI_Bcast(&s.ncols, 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Bcast(&s.nrows, 1, MPI_INT, 0, MPI_COMM_WORLD);
    double geometry[4] = {s.xll, s.yll, s.cellsize, s.nodata};
    MPI_Bcast(geometry, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    s.xll = geometry[0];
    s.yll = geometry[1];
    s.cellsize = geometry[2];
    s.nodata = geometry[3];
    // Process 0 holds every row of the zone grid (and, as elevation, a copy of it).
    if (Rank() == 0) {
      for (int e = 1; e <= 2; ++e) {
        double** grid = nullptr;
        s.ReadGrid("zone.asc", grid, 0, true, false, false, 1, true, false, 0);
        s.RegisterGrid(e, "zone.asc", grid, nullptr, 0, *registry_[e].identifier, 0, 1, kRows);
      }
    }
    s.DecomposeMpiRegions();
    s.owner_grid = s.decomposition.layout.regions.get();
    if (Rank() != 0) {
      const HeldRows held = s.LocalRowRange();
      for (int e = 1; e <= 2; ++e) {
        GridMatrix grid(d_.diag, held.first, held.last, kCols, kRows);
        for (int32_t r = held.first; r <= held.last; ++r)
          for (int32_t c = 0; c <= kCols; ++c) grid[r][c] = N;
        s.RegisterGrid(e, "zone", grid.release(), nullptr, 0, "zone", 0, held.first, held.last);
      }
    }
    for (int e = 1; e <= 2; ++e) {
      s.MPIScatterGrid(e, nullptr);
      s.MPIExchangeGridHalo(e, nullptr);
    }
  }
  ~GridSetup() { settings_->ReleaseMemory(); }

  defaultini& settings() { return *settings_; }
  GridRegistry& registry() { return registry_; }
  test::CapturedDiag& diag() { return d_; }

 private:
  test::CapturedDiag d_;
  std::unique_ptr<test::ScopedCurrentDir> cd_;
  GridRegistry registry_;
  GridRegistry* registry_pointer_ = nullptr;
  std::unique_ptr<defaultini> settings_;
};

TEST(GridSetupMpi, ZoneTableAndColumnRangesOfABasinWithHoles) {
  GridSetup setup("0\n");
  defaultini& s = setup.settings();
  s.RankZones(setup.registry(), nullptr, kCols, kRows, N);
  ASSERT_EQ(s.zone_count, 3);
  EXPECT_EQ(s.highest_zone_code, 12);
  // Worked by hand: zone 3 has 8 cells, zone 7 three, zone 12 seven; 18 cells of 1 km².
  const double expected[4][5] = {
      {0, 0, 0, 18, 0}, {8, 8, 3, 8.0 / 18, 8}, {3, 3, 7, 3.0 / 18, 3}, {7, 7, 12, 7.0 / 18, 7}};
  for (int i = 0; i <= 3; ++i)
    for (int f = 0; f < 5; ++f) EXPECT_DOUBLE_EQ(s.zone_table[i][f], expected[i][f]) << i << f;
  for (int code = 0; code <= 12; ++code)
    EXPECT_EQ(s.zone_code_index[code], code == 3 ? 1 : code == 7 ? 2 : code == 12 ? 3 : 0);
  const ColumnRange ranges[kRows + 1] = {{0, -1}, {1, 3}, {0, -1}, {1, 5}, {2, 4}, {1, 5}, {2, 4}};
  for (int32_t r = 0; r <= kRows; ++r) {
    const bool kept = Rank() == 0 || (r >= s.first_local_row && r <= s.last_local_row);
    const ColumnRange want = kept ? ranges[r] : ColumnRange{};
    EXPECT_EQ(s.column_ranges[r].first, want.first) << "row " << r;
    EXPECT_EQ(s.column_ranges[r].last, want.last) << "row " << r;
  }
}

// Soil codes 10, 20, 30 at entries 1..3: the grid holds indexes on every process after the
// check, also after a dated re-read brought raw codes back; the non-persistent grid returns to
// its set-up values two steps after each read. The created grid and the variable grid hold
// their default in every zone cell of the held rows, halo rows included.
TEST(GridSetupMpi, CodeGridsStandardAndVariableGridsOverTheProcessRows) {
  GridSetup setup(
      "2\nsoil.asc soil_types 0 periodicity = 1 D 1 persistent = 0 2\n"
      "x created fillcode = 0 readcode = 0 defaultValue = 2.5\n");
  defaultini& s = setup.settings();
  s.RankZones(setup.registry(), nullptr, kCols, kRows, N);
  s.DistributeStandardGrids();
  EXPECT_EQ(s.ReadVariableGrids(), 1);
  const std::vector<int32_t> soil{0, 10, 20, 30};
  s.check_SOIL_Codes(3, soil);

  const HeldRows held = s.LocalRowRange();
  double** zone = setup.registry()[1].grid;
  int checked = 0;
  const auto expect_all = [&](int entry, double value, const std::string& when) {
    double** grid = setup.registry()[entry].grid;
    for (int32_t r = held.first; r <= held.last; ++r)
      for (int32_t c = 1; c <= kCols; ++c) {
        // Cells of the held rows that this process neither owns nor gets as halo stay nodata.
        if (zone[r][c] == N) continue;
        ++checked;
        ASSERT_EQ(grid[r][c], value) << when << " entry " << entry << " cell " << r << "," << c;
      }
  };
  expect_all(3, 2, "set-up");
  expect_all(4, 2.5, "created");
  expect_all(s.first_variable_entry, 5.0, "variable");
  EXPECT_EQ(*setup.registry()[s.first_variable_entry].identifier, "storage");
  EXPECT_GT(checked, 0);

  // Day 1 00h reads 30 (index 3); 01h and 02h count the persistence steps, so 02h restores the
  // set-up index 2; day 2 00h reads 10 (index 1).
  const struct {
    int64_t day, hour;
    double value;
  } steps[] = {{1, 0, 3}, {1, 1, 3}, {1, 2, 2}, {1, 3, 2}, {2, 0, 1}};
  for (const auto& step : steps) {
    s.ReadPeriodicGrids(step.hour, step.day, 1, 2000);
    expect_all(3, step.value, "day " + std::to_string(step.day) + " " + std::to_string(step.hour));
  }
}

// The unknown code stops the check with the exact block; process 0 alone decides, and every
// process leaves with the code.
TEST(GridSetupMpi, UnknownSoilCodeEndsEveryProcessWithTheBlock) {
  GridSetup setup("1\nsoil.asc soil_types 0\n");
  defaultini& s = setup.settings();
  s.DistributeStandardGrids();
  const std::vector<int32_t> soil{0, 10, 30};
  EXPECT_EQ(test::ThrownCode([&] { s.check_SOIL_Codes(3, soil); }), 32);
  if (Rank() == 0) {
    // The file keeps line ends as ';' and dash runs as "--"; the screen shows the whole rule.
    EXPECT_TRUE(setup.diag().HasFatal(
        ";--;soil type 20 in grid soil.asc (soil_types);is not present in the control file ;--;;"))
        << setup.diag().DiagFile();
    EXPECT_TRUE(setup.diag().ScreenHas(std::string(71, '-') + "\n"));
  }
}

}  // namespace
}  // namespace velorn

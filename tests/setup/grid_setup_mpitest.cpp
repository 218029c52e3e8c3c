// The grid set-up on 1, 2 and 3 processes: zone ranking and column ranges of a basin with
// holes, code grids replaced and distributed, standard and variable grids over each process's
// rows, and dated re-reads that bring back raw codes and return to the set-up values.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <memory>
#include <string>

#include "core/zone_statistics.h"
#include "setup/defaultini.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int32_t kRows = 6;
constexpr int32_t kColsGridSetup = 5;
constexpr double N = -9999;
using test::Rank;

// Zones 7 (rows 1-2), 3 (rows 3-4) and 12 (rows 5-6); row 2 is all hole, row 4 has zone cells
// in columns 2..4 only.
const double kZone[kRows][kColsGridSetup] = {{7, 7, 7, N, N},      {N, N, N, N, N},
                                             {3, 3, 3, 3, 3},      {N, 3, 3, 3, N},
                                             {12, 12, 12, 12, 12}, {N, 12, N, 12, N}};

// A 6 x 5 grid file whose cell (r, c) holds value(r, c).
std::string GridFile(const std::function<double(int, int)>& value) {
  return test::AsciiGrid(kColsGridSetup, kRows, 0, 0, 1000, N, value);
}

std::string Uniform(double value) {
  return GridFile([value](int, int) { return value; });
}

// A table of the settings object: record 0 holds the count, records 1.. the codes.
template <class Record>
std::vector<Record> Table(const std::vector<int>& codes) {
  std::vector<Record> table{Record(static_cast<int>(codes.size()))};
  for (int code : codes) table.emplace_back(code);
  return table;
}

// Rows a set-up grid holds: all on process 0, the own rows and one halo row on each side
// elsewhere.
HeldRows ExpectedHeldRows(const defaultini& s) {
  if (Rank() == 0) return {1, kRows};
  return {std::max(1, s.first_local_row - 1), std::min(kRows, s.last_local_row + 1)};
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
      test::WriteFile(d_.dir / "zone.asc",
                      GridFile([](int r, int c) { return static_cast<int>(kZone[r - 1][c - 1]); }));
      test::WriteFile(d_.dir / "values.asc", GridFile([](int r, int c) { return 10 * r + c; }));
      // Multilayer land-use codes: 5 in rows 1-3, 6 below.
      test::WriteFile(d_.dir / "lu.asc", GridFile([](int r, int) { return r <= 3 ? 5 : 6; }));
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
        GridMatrix grid(d_.diag, held.first, held.last, kColsGridSetup, kRows);
        for (int32_t r = held.first; r <= held.last; ++r)
          for (int32_t c = 0; c <= kColsGridSetup; ++c) grid[r][c] = N;
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
  s.RankZones(setup.registry(), nullptr, kColsGridSetup, kRows, N);
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
  s.RankZones(setup.registry(), nullptr, kColsGridSetup, kRows, N);
  s.DistributeStandardGrids();
  EXPECT_EQ(s.ReadVariableGrids(), 1);
  s.soil_records = Table<SoilRecord>({10, 20, 30});
  s.check_SOIL_Codes(3);

  const HeldRows held = ExpectedHeldRows(s);
  for (int entry : {3, 4, s.first_variable_entry}) {
    EXPECT_EQ(setup.registry()[entry].first_row, held.first) << entry;
    EXPECT_EQ(setup.registry()[entry].last_row, held.last) << entry;
  }
  double** zone = setup.registry()[1].grid;
  int checked = 0;
  const auto expect_all = [&](int entry, double value, const std::string& when) {
    double** grid = setup.registry()[entry].grid;
    for (int32_t r = held.first; r <= held.last; ++r)
      for (int32_t c = 1; c <= kColsGridSetup; ++c) {
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

// After the trim, process 0 holds of a set-up grid only its own rows with one halo row on each
// side, as every other process does (the zone grid stays whole there). Dated re-reads still
// bring back codes checked on each process's rows: 30 becomes index 3, and codes not in the
// table end every process with the block that process 0 writes for the first of them.
TEST(GridSetupMpi, TrimmedSetUpGridsHoldTheStripOnProcessZero) {
  GridSetup setup("1\nsoil.asc soil_types 0 periodicity = 1 D 1 persistent = 0 2\n");
  defaultini& s = setup.settings();
  s.RankZones(setup.registry(), nullptr, kColsGridSetup, kRows, N);
  s.DistributeStandardGrids();
  s.soil_records = Table<SoilRecord>({10, 20, 30});
  s.check_SOIL_Codes(3);
  s.TrimSetUpGrids();
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const HeldRows strip = HeldRowsOf(s.first_local_row, s.last_local_row, kRows);
  for (int entry : {1, 3}) {
    const GridEntry& grid = setup.registry()[entry];
    const bool whole = Rank() == 0 && (entry == 1 || size == 1);
    const HeldRows held = whole ? HeldRows{1, kRows} : strip;
    EXPECT_EQ(grid.first_row, held.first) << entry;
    EXPECT_EQ(grid.last_row, held.last) << entry;
    for (int32_t r = 1; r <= kRows; ++r)
      EXPECT_EQ(grid.grid[r] != nullptr, r >= held.first && r <= held.last) << entry << " " << r;
  }
  // On 3 and 4 processes process 0 holds fewer rows than the grid has.
  if (Rank() == 0 && size >= 3) {
    EXPECT_LT(strip.last - strip.first + 1, kRows);
  }
  double** zone = setup.registry()[1].grid;
  double** soil = setup.registry()[3].grid;
  s.ReadPeriodicGrids(0, 1, 1, 2000);
  for (int32_t r = strip.first; r <= strip.last; ++r)
    for (int32_t c = 1; c <= kColsGridSetup; ++c)
      if (zone[r][c] != N) {
        EXPECT_EQ(soil[r][c], 3) << r << "," << c;
      }
  for (int64_t hour : {1, 2, 3}) s.ReadPeriodicGrids(hour, 1, 1, 2000);
  // Unknown codes 41..46 by row: the first in row order is reported, whichever process holds it.
  if (Rank() == 0)
    test::WriteFile("soil.asc_2000010200", GridFile([](int r, int) { return 40 + r; }));
  MPI_Barrier(MPI_COMM_WORLD);
  EXPECT_EQ(test::ThrownCode([&] { s.ReadPeriodicGrids(0, 2, 1, 2000); }), 32);
  if (Rank() == 0) {
    EXPECT_TRUE(setup.diag().HasFatal(
        "--;soil type 41 in grid soil.asc (soil_types);is not present in the control file --;;"))
        << setup.diag().DiagFile();
  }
}

// The unknown code stops the check with the exact block; process 0 alone decides, and every
// process leaves with the code. A grid of half the cell size, its codes resampled into blends
// that no table holds, ends the same way and names the two cell sizes in a second line.
TEST(GridSetupMpi, UnknownSoilCodeEndsEveryProcessWithTheBlock) {
  // The grid's own cell size and the code beside the codes 10 of the table: 20 is none, 30.5
  // is taken as 30 (with a WARNING) and does not end the run.
  for (const auto& [cell_size, other] : {std::pair{1000, 20.0}, {500, 30.0}, {1000, 30.5}}) {
    GridSetup setup("1\nsoil.asc soil_types 0\n");
    if (Rank() == 0 && (cell_size != 1000 || other != 20.0))
      test::WriteFile("soil.asc",
                      test::AsciiGrid(kColsGridSetup, kRows, 0, 0, cell_size, N,
                                      [other](int, int c) { return c % 2 ? 10 : other; }));
    MPI_Barrier(MPI_COMM_WORLD);
    defaultini& s = setup.settings();
    s.DistributeStandardGrids();
    s.soil_records = Table<SoilRecord>({10, 30});
    EXPECT_EQ(test::ThrownCode([&] { s.check_SOIL_Codes(3); }, 0), other == 30.5 ? 0 : 32);
    if (Rank() != 0) continue;
    if (other == 30.5) {
      EXPECT_TRUE(setup.diag().ScreenHas(
          "soil type 30.5 in grid soil.asc (soil_types) at row 1, column 2 is no whole number: its "
          "integer part 30 is taken as the code ("))
          << setup.diag().DiagFile();
      continue;
    }
    if (cell_size != 1000) {
      EXPECT_TRUE(
          setup.diag().ScreenHas("is not present in the control file \n" + std::string(71, '-') +
                                 "\n\nthe cell size of grid soil.asc (soil_types) is 500, that "
                                 "of the zone grid zone.asc is 1000"))
          << setup.diag().DiagFile();
      continue;
    }
    // The file keeps line ends as ';' and dash runs as "--"; the screen shows the whole rule.
    EXPECT_TRUE(setup.diag().HasFatal(
        "--;soil type 20 in grid soil.asc (soil_types);is not present in the control file --;;"))
        << setup.diag().DiagFile();
    EXPECT_TRUE(setup.diag().ScreenHas(std::string(71, '-') + "\n"));
  }
}

// Multilayer entries 5 (layers 20, 10) and 6 (layers 10, none) over land-use codes 10 and 20:
// the grid gets the multilayer indexes, the layer codes the land-use indexes on every process,
// and "landuse1", "landuse2" hold each own zone cell's layer indexes. A grid code without
// multilayer entry, a layer code without land-use entry and a first layer of nodata end the
// check with their codes.
TEST(GridSetupMpi, MultilayerLandUseCodesAndLayerGrids) {
  struct Case {
    std::vector<int> layers_of_5;
    std::vector<int> multilayer_codes;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {{20, 10},
       {5, 6},
       0,
       "Code replacement in MultiLayer-Landuse 1: changed Layer-Code #1 from "
       "20 to 2"},
      {{20, 10},
       {5, 7},
       311,
       "land use 6 in grid lu.asc (landuse)\nis not present in the "
       "multilayer-landuse-table in the control file \n"},
      {{20, 30},
       {5, 6},
       312,
       "Error: not all layer codes from landuse 5 from MultiLayer_Landuse-"
       "Table\nare present in the landuse-table in the control file: Here, "
       "code 30 is missing.\n"},
      {{-9999, 10},
       {5, 6},
       312,
       "must be a valid entry (not 9999 or larger):\nHere, line 1 "
       "contains -9999 as first layer code.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    GridSetup setup("1\nlu.asc landuse 0\n");
    defaultini& s = setup.settings();
    s.RankZones(setup.registry(), nullptr, kColsGridSetup, kRows, N);
    s.DistributeStandardGrids();
    s.landuse_records = Table<LanduseRecord>({10, 20});
    s.multilayer_landuse_records = Table<MultilayerLanduseRecord>(c.multilayer_codes);
    const std::vector<int> layers[] = {{2, c.layers_of_5[0], c.layers_of_5[1]}, {2, 10, -9999}};
    for (std::size_t j = 1; j <= 2; ++j) {
      s.multilayer_landuse_records[j].LayerCount = 2;
      s.multilayer_landuse_records[j].LayerCodes = layers[j - 1];
      s.multilayer_landuse_records[j].LayerCodesCopy = layers[j - 1];
    }
    EXPECT_EQ(test::ThrownCode([&] { s.CheckLanduseCodes(3); }, 0), c.code);
    if (Rank() == 0) {
      EXPECT_TRUE(setup.diag().ScreenHas(c.message));
    }
    if (c.code != 0) continue;
    EXPECT_EQ(s.multilayer_landuse_records[1].LayerCodes, std::vector<int>({2, 2, 1}));
    EXPECT_EQ(s.multilayer_landuse_records[2].LayerCodes, std::vector<int>({2, 1, -9999}));
    s.CreateLanduseLayerGrids();
    const int first_layer = s.FindGrid("landuse1", 0);
    ASSERT_GT(first_layer, 3);
    EXPECT_EQ(s.FindGrid("landuse2", 0), first_layer + 1);
    double** zone = setup.registry()[1].grid;
    double** owner = s.decomposition.layout.regions.get();
    const HeldRows held = ExpectedHeldRows(s);
    for (int32_t r = held.first; r <= held.last; ++r)
      for (int32_t col = 1; col <= kColsGridSetup; ++col) {
        double* at[3] = {&setup.registry()[3].grid[r][col],
                         &setup.registry()[first_layer].grid[r][col],
                         &setup.registry()[first_layer + 1].grid[r][col]};
        if (zone[r][col] == N) {
          EXPECT_EQ(*at[1], N) << r << "," << col;
          EXPECT_EQ(*at[2], N) << r << "," << col;
          continue;
        }
        if (owner[r][col] != Rank()) continue;  // another process's cell
        const double want[3] = {r <= 3 ? 1.0 : 2.0, r <= 3 ? 2.0 : 1.0, r <= 3 ? 1.0 : N};
        for (int g = 0; g < 3; ++g) EXPECT_EQ(*at[g], want[g]) << g << ": " << r << "," << col;
      }
  }
}

// The standard grid "values" (10 r + c) with a table of every zone: worked by hand, zone 3
// holds 31..35 and 42..44 (mean 294 / 8), zone 7 11..13 (mean 12), zone 12 51..55, 62 and 64
// (mean 391 / 7), all 18 cells 721 / 18. The second step doubles every value, so a sum left
// over from the first step would show. The file is the same on 1, 2 and 3 processes.
TEST(GridSetupMpi, StandardGridStatisticsRowsOfEveryZone) {
  GridSetup setup(
      "2\nvalues.asc values 0 statfile = values.stat statcode = 2001\n"
      "zone.asc plain 0\n");
  defaultini& s = setup.settings();
  s.RankZones(setup.registry(), nullptr, kColsGridSetup, kRows, N);
  s.DistributeStandardGrids();
  s.CreateStandardGridStatistics();
  ASSERT_EQ(s.standard_grid_statistics.size(), 1u);
  ASSERT_NE(setup.registry()[3].statistics_table, nullptr);
  EXPECT_EQ(setup.registry()[4].statistics_table, nullptr);
  const HeldRows held = ExpectedHeldRows(s);
  for (int hour = 0; hour <= 1; ++hour) {
    if (hour == 1)
      for (int32_t r = held.first; r <= held.last; ++r)
        for (int32_t c = 1; c <= kColsGridSetup; ++c) setup.registry()[3].grid[r][c] *= 2;
    s.ResetStandardGridStatistics();
    s.AccumulateStandardGridStatistics();
    s.WriteStandardGridStatistics(hour, 1, 1, 2000);
  }
  s.ReleaseStandardGridStatistics();
  EXPECT_EQ(setup.registry()[3].statistics_table, nullptr);
  if (Rank() != 0) return;
  EXPECT_EQ(test::ReadFile(setup.diag().dir / "values.stat"),
            "YY\tMM\tDD\tHH\t\"3\"\t\"7\"\t\"12\"\ttot_average\n"
            "values_submodel:(default)\n"
            "--\t--\t--\t--\t0.4444444\t0.1666667\t0.3888889\t1.0000\n"
            "2000\t 1\t 1\t 0\t36.75000\t12.00000\t55.85714\t40.05556\n"
            "2000\t 1\t 1\t 1\t73.50000\t24.00000\t111.71429\t80.11111\n");
}

}  // namespace
}  // namespace velorn

// The settings object's output duties on 1 to 4 processes over a basin with holes: the
// standard grids reach their files once per step (dated names without a same-date counter,
// day sums of one hand-over per step, the variable grid left to its own output), and the stack
// kept to the end of the run is written as "<name>_End" at the release, binary and ASCII alike,
// with every level it holds and every process's cells, so that it reads back.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/error_code.h"
#include "setup/defaultini.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"
#include "tests/support/test_mpi.h"

namespace velorn {
namespace {

using test::Rank;
using test::ThrownCode;

constexpr double kNodataStandardOutput = -9999.0;
constexpr int kRowsStandardOutput = 11;
constexpr int kCols = 8;
constexpr int kLevels = 2;  // levels 0..2: three values per cell

bool Hole(int r, int c) {
  return (r * 3 + c * 5) % 7 == 0 || (r > 8 && c < 3);
}

// Grid values of step k, exact in "%g".
double Prec(int r, int c, int k) {
  return r * 10 + c + k * 0.25;
}
double Soil(int r, int c, int k) {
  return r + c * 0.5 + k;
}
// Stack values, exact in single precision and in "%lg".
double V(int r, int c, int k) {
  return r * 100.0 + c + k * 0.25;
}

// The cell values of an ASCII grid file, row by row (the six header lines skipped).
std::vector<double> AsciiCells(const std::string& path) {
  std::istringstream text(test::ReadFile(path));
  std::string line;
  for (int i = 0; i < 6; ++i) std::getline(text, line);
  std::vector<double> values;
  std::string word;
  while (text >> word) values.push_back(std::strtod(word.c_str(), nullptr));
  return values;
}

class StandardOutput : public ::testing::Test {
 protected:
  // A settings object after the set-up: zone and elevation in entries 1 and 2 (all rows on
  // process 0, the held rows elsewhere), the regions decomposed and their grids registered.
  void SetUp() override {
    int32_t error = -1;
    settings = std::make_unique<defaultini>(error, &diag, dir / "run.ctl", nullptr, 200, 2,
                                            &registry_pointer);
    ASSERT_EQ(error, 0);
    settings->ncols = kCols;
    settings->nrows = kRowsStandardOutput;
    settings->xll = 3500000;
    settings->yll = 5400000;
    settings->cellsize = 50;
    settings->nodata = kNodataStandardOutput;
    settings->output_directory = dir.path().string() + "/";

    GridMatrix zone;
    GridMatrix elevation;
    auto fill = [&](int first, int last) {
      zone = GridMatrix(diag, first, last, kCols, kRowsStandardOutput);
      elevation = GridMatrix(diag, first, last, kCols, kRowsStandardOutput);
      for (int r = first; r <= last; ++r)
        for (int c = 1; c <= kCols; ++c) {
          zone[r][c] = Hole(r, c) ? kNodataStandardOutput : 1 + (r > 5);
          elevation[r][c] = Hole(r, c) ? kNodataStandardOutput : 400.0 - r;
        }
    };
    if (Rank() == 0) fill(1, kRowsStandardOutput);
    const RegionGrids grids =
        Rank() == 0 ? RegionGrids{zone.get(), elevation.get(), nullptr} : RegionGrids{};
    settings->decomposition = DecomposeRegions(
        diag, RegionGeometry{kCols, kRowsStandardOutput, kNodataStandardOutput}, grids, 1.0);
    const MpiLayout& layout = settings->decomposition.layout;
    settings->mpi = &settings->decomposition.layout;
    settings->first_local_row = layout.first_row;
    settings->last_local_row = layout.last_row;
    held = Rank() == 0 ? HeldRows{1, kRowsStandardOutput} : layout.held_rows();
    if (Rank() != 0) fill(held.first, held.last);
    settings->RegisterGrid(1, "zone.asc", zone.release(), nullptr, 0, "zone", 0, held.first,
                           held.last);
    settings->RegisterGrid(2, "dem.asc", elevation.release(), nullptr, 0, "elevation", 3,
                           held.first, held.last);
  }

  // A grid of the held rows, registered at the next free entry; the registry's release frees it.
  int AddGrid(const std::string& name, int32_t write_code) {
    const int index = registry.FirstFreeIndex();
    double** grid = GridMatrix(diag, held.first, held.last, kCols, kRowsStandardOutput).release();
    settings->RegisterGrid(index, name, grid, nullptr, 0, name, write_code, held.first, held.last);
    return index;
  }
  void Fill(int index, double (*value)(int, int, int), int step) {
    double** grid = registry[index].grid;
    for (int r = held.first; r <= held.last; ++r)
      for (int c = 1; c <= kCols; ++c)
        grid[r][c] = Hole(r, c) ? kNodataStandardOutput : value(r, c, step);
  }
  // Registers the decomposition grids at the next free entries.
  void AddRegionGrids() { RegisterMpiGrids(diag, registry, settings->decomposition.layout); }

  bool Own(int r, int c) const {
    const MpiLayout& layout = settings->decomposition.layout;
    return r >= layout.first_row && r <= layout.last_row && layout.regions[r][c] == Rank();
  }
  // The stack of this process's rows: V in its own cells, junk elsewhere (never to be written).
  double*** OwnStack() {
    const MpiLayout& layout = settings->decomposition.layout;
    StackMatrix stack(diag, layout.first_row, layout.last_row, kCols, kLevels, kRowsStandardOutput);
    for (int r = layout.first_row; r <= layout.last_row; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int k = 0; k <= kLevels; ++k) stack[r][c][k] = Own(r, c) ? V(r, c, k) : 5.5;
    return stack.release();
  }
  // Registers a stack as the land-use set-up does and marks it for keeping.
  int KeepStack() {
    const MpiLayout& layout = settings->decomposition.layout;
    const int index = registry.FirstFreeIndex();
    settings->RegisterGrid(index, "soil_moisture.stk", nullptr, OwnStack(), kLevels,
                           "soil_moisture", 0, layout.first_row, layout.last_row);
    settings->registered_grid_count = index - 2;
    settings->kept_stack_entry = index;
    return index;
  }
  // Reads a stack file back through a model object of the same decomposition; every own cell
  // must hold V.
  void ExpectStackReadsBack(const std::string& name) {
    const MpiLayout& layout = settings->decomposition.layout;
    GridRegistry reader_registry;
    modelobject reader(&diag, "run.ctl", 0, false, false, false, dir.path().string() + "/", "",
                       settings->mpi, 0, nullptr);
    reader.SetModuleName("reader");
    reader.registry = &reader_registry;
    reader.ncols = kCols;
    reader.nrows = kRowsStandardOutput;
    reader.xll = settings->xll;
    reader.yll = settings->yll;
    reader.cellsize = settings->cellsize;
    reader.nodata = kNodataStandardOutput;
    reader.first_local_row = layout.first_row;
    reader.last_local_row = layout.last_row;
    RegisterMpiGrids(diag, reader_registry, layout);
    double*** stack = nullptr;
    const int levels = reader.ReadStack(name, stack, false);
    EXPECT_EQ(levels, kLevels) << name;
    for (int r = layout.first_row; r <= layout.last_row && levels == kLevels; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int k = 0; k <= kLevels && Own(r, c); ++k)
          ASSERT_EQ(stack[r][c][k], V(r, c, k)) << name << " " << r << "," << c << "," << k;
    Free3dMatrix(stack);
  }
  std::set<std::string> OutputFiles() const {
    std::set<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = file.path().filename().string();
      if (name.rfind("diag", 0) != 0 && name != "run.ctl") names.insert(name);
    }
    return names;
  }

  test::TempDir dir = test::TempDir::Shared();
  std::ostringstream screen;
  DiagnosticStream diag{dir / "diag.xml", 4, screen};
  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  std::unique_ptr<defaultini> settings;
  HeldRows held;
};

TEST_F(StandardOutput, StandardGridsReachTheirFilesOncePerStep) {
  settings->write_ascii = true;
  const int prec = AddGrid("prec.asc", 2);   // dated at every step
  const int temp = AddGrid("temp.asc", 4);   // at the end of each day
  const int soil = AddGrid("soil.asc", 42);  // dated, and a sum of each day
  AddRegionGrids();
  const int variable = AddGrid("var.asc", 2);  // written by the variable-grid output only
  settings->registered_grid_count = variable - 2;
  settings->first_variable_entry = variable;
  settings->SetEndDate(2019, 3, 2, 24);

  const ModelDate steps[] = {
      {2019, 3, 1, 12}, {2019, 3, 1, 24}, {2019, 3, 2, 12}, {2019, 3, 2, 24}};
  int k = 0;
  for (const ModelDate& step : steps) {
    ++k;
    for (int index : {prec, temp, variable}) Fill(index, Prec, k);
    Fill(soil, Soil, k);
    settings->WriteStandardGrids(step.hour, step.day, step.month, step.year);
    EXPECT_EQ(settings->step_date, step);
  }
  settings->ReleaseMemory();  // nothing kept: no "_End" stack
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() != 0) return;

  const std::set<std::string> expected = {
      "dem.asc",           "prec.asc",          "prec_20190301.012", "prec_20190301.024",
      "prec_20190302.012", "prec_20190302.024", "temp.asc",          "soil.asc",
      "soil_20190301.012", "soil_20190301.024", "soil_20190302.012", "soil_20190302.024",
      "soil_1903.01s",     "soil_1903.02s"};
  EXPECT_EQ(OutputFiles(), expected);

  // Every process's cells, nodata outside the basin; a day sum holds the two steps of its day.
  auto expect_cells = [&](const std::string& name, auto value) {
    const std::vector<double> cells = AsciiCells(dir / name);
    ASSERT_EQ(cells.size(), static_cast<std::size_t>(kRowsStandardOutput * kCols)) << name;
    for (int r = 1; r <= kRowsStandardOutput; ++r)
      for (int c = 1; c <= kCols; ++c)
        ASSERT_DOUBLE_EQ(cells[(r - 1) * kCols + c - 1],
                         Hole(r, c) ? kNodataStandardOutput : value(r, c))
            << name << " " << r << "," << c;
  };
  expect_cells("prec_20190301.024", [](int r, int c) { return Prec(r, c, 2); });
  expect_cells("temp.asc", [](int r, int c) { return Prec(r, c, 4); });
  expect_cells("soil_1903.01s", [](int r, int c) { return Soil(r, c, 1) + Soil(r, c, 2); });
  expect_cells("soil_1903.02s", [](int r, int c) { return Soil(r, c, 3) + Soil(r, c, 4); });
  expect_cells("dem.asc", [](int r, int) { return 400.0 - r; });
}

TEST_F(StandardOutput, KeptBinaryStackIsWrittenWithItsLevelsAtRelease) {
  settings->write_double = true;
  AddRegionGrids();
  const int index = KeepStack();
  settings->ReleaseMemory();
  EXPECT_EQ(settings->kept_stack_entry, 0);
  EXPECT_TRUE(registry[index].IsFree());
  EXPECT_EQ(registry[index].stack, nullptr);
  ExpectStackReadsBack("soil_moisture.stk_End");
  if (Rank() != 0) return;
  const std::string bytes = test::ReadFile(dir / "soil_moisture.stk_End");
  ASSERT_EQ(bytes.size(), (kCols * kRowsStandardOutput * (kLevels + 1) + 12) * sizeof(double));
  double header[12];
  std::memcpy(header, bytes.data(), sizeof header);
  EXPECT_EQ(header[11], kLevels);
  EXPECT_EQ(header[5], kNodataStandardOutput);
}

TEST_F(StandardOutput, KeptAsciiStackHoldsEveryProcessCells) {
  settings->write_ascii = true;
  AddRegionGrids();
  KeepStack();
  settings->ReleaseMemory();
  ExpectStackReadsBack("soil_moisture.stk_End");
  if (Rank() != 0) return;
  std::istringstream text(test::ReadFile(dir / "soil_moisture.stk_End"));
  std::string line;
  for (int i = 0; i < 12; ++i) std::getline(text, line);
  EXPECT_EQ(line, "numlevels\t2.000000");
  // Cells of the other processes too: the stack was gathered before process 0 wrote it.
  for (int r = 1; r <= kRowsStandardOutput; ++r)
    for (int c = 1; c <= kCols; ++c)
      for (int k = 0; k <= kLevels; ++k) {
        ASSERT_TRUE(std::getline(text, line));
        ASSERT_DOUBLE_EQ(std::strtod(line.c_str(), nullptr),
                         Hole(r, c) ? kNodataStandardOutput : V(r, c, k))
            << r << "," << c << "," << k;
      }
  EXPECT_FALSE(std::getline(text, line));
}

TEST_F(StandardOutput, AFailedEndStackStillReleasesEverythingAndPassesTheCodeOn) {
  settings->write_double = true;
  settings->output_directory = dir.path().string() + "/no/such/dir/";
  AddRegionGrids();
  const int index = KeepStack();
  EXPECT_EQ(ThrownCode([&] { settings->ReleaseMemory(); }), 26);
  for (int entry = 1; entry <= index; ++entry) EXPECT_TRUE(registry[entry].IsFree()) << entry;
  EXPECT_EQ(registry[index].stack, nullptr);
  EXPECT_EQ(settings->module_name, "") << "the model-object release ran";
}

}  // namespace
}  // namespace velorn

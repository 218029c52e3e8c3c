// The grid writers: ASCII, double and single grids gathered on process 0, written and read back
// over 1 to 4 processes give every owner exactly its values; rows not held are the model's
// nodata; the masked writer cuts the grid to the domain; binary headers carry area-weighted
// statistics at their fixed offsets; netCDF takes precedence; a failed write leaves no file
// behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "core/grid_registry.h"
#include "core/modelobject.h"
#include "core/output_files.h"
#include "grids/mpi_exchange.h"
#include "grids/netcdf_grid_reader.h"
#include "setup/mpi_regions.h"
#include "tests/support/grid_files.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;
constexpr double kNodataGridWriter = -9999.0;

using test::Rank;
using test::ThrownCode;

template <class T>
std::vector<T> ReadValues(const std::string& path) {
  const std::string bytes = test::ReadFile(path);
  std::vector<T> values(bytes.size() / sizeof(T));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
  return values;
}

class WriterTest : public test::DiagTest {
 protected:
  WriterTest() {
    object_.SetModuleName("writer test");
    Geometry(4, 3, 3500, 7000, 100, kNodataGridWriter);
  }
  void Geometry(int ncols, int nrows, double xll, double yll, double cellsize, double nodata) {
    test::SetGeometry(object_, ncols, nrows, xll, yll, cellsize, nodata);
    object_.first_local_row = 1;
    object_.last_local_row = nrows;
  }
  // Rows first..last of the model grid, cell (r, c) = value(r, c).
  GridMatrix Grid(int first, int last, const std::function<double(int, int)>& value) {
    GridMatrix grid(diag_, first, last, object_.ncols, object_.nrows);
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= object_.ncols; ++c) grid[r][c] = value(r, c);
    return grid;
  }

  modelobject object_{&diag_, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr};
};

TEST_F(WriterTest, AsciiRowsNotHeldAreTheModelsNodata) {
  Geometry(3, 4, 3500, 7000, 100, -1);
  GridMatrix grid = Grid(1, 2, [](int r, int c) { return r * 10 + c + 0.5; });
  object_.WriteGrid(dir_ / "part.asc", grid.get(), true, false, false);
  EXPECT_EQ(test::ReadFile(dir_ / "part.asc"),
            "ncols\t3\nnrows\t4\nxllcorner\t3500.000000\nyllcorner\t7000.000000\n"
            "cellsize\t100.000000\nnodata_value\t-1.000000\n"
            "11.5\t12.5\t13.5\n21.5\t22.5\t23.5\n-1\t-1\t-1\n-1\t-1\t-1\n");
}

TEST_F(WriterTest, MaskedWriterCutsHeldRowsToTheirColumnRange) {
  Geometry(4, 3, 0, 0, 1, kNodataGridWriter);
  std::vector<ColumnRange> ranges = {{0, -1}, {2, 3}, {0, -1}, {1, 4}};
  object_.column_ranges = ranges.data();
  GridMatrix grid = Grid(1, 2, [](int r, int c) { return r + c / 10.0; });
  object_.WriteGridMasked(dir_ / "masked.asc", grid.get(), true, false, false);
  const std::string text = test::ReadFile(dir_ / "masked.asc");
  EXPECT_THAT(text, HasSubstr("nodata_value\t-9999.000000\n"
                              "-9999\t1.2\t1.3\t-9999\n-9999\t-9999\t-9999\t-9999\n"
                              "-9999\t-9999\t-9999\t-9999\n"));
  EXPECT_EQ(grid[1][1], kNodataGridWriter);  // the caller's grid is masked too
  EXPECT_EQ(grid[2][2], kNodataGridWriter);
  EXPECT_EQ(grid[1][2], 1.2);
}

// Statistics: cells of each row's column range with their relative cell area, a row without
// domain cells with weight 1 (WriteGrid), nodata not counted.
TEST_F(WriterTest, BinaryHeadersCarryWeightedStatistics) {
  Geometry(3, 2, 3500, 7000, 100, kNodataGridWriter);
  std::vector<ColumnRange> ranges = {{0, -1}, {1, 2}, {0, -1}};
  object_.column_ranges = ranges.data();
  GridMatrix area = Grid(1, 2, [](int, int c) { return c == 2 ? 0.5 : 1.0; });
  object_.relative_cell_area = area.get();
  const double cells[2][3] = {{2, 4, 100}, {6, kNodataGridWriter, 8}};
  GridMatrix grid = Grid(1, 2, [&](int r, int c) { return cells[r - 1][c - 1]; });
  // Counted: (2, w 1), (4, w 0.5) of row 1; 6 and 8 (w 1) of row 2, which has no range.
  const double w = 3.5, sum = 2 + 2 + 6 + 8, squares = 4 + 8 + 36 + 64;
  const double expected[12] = {
      3, 2, 3500, 7000, 100,     kNodataGridWriter,
      w, 2, 8,    sum,  sum / w, std::sqrt((squares - sum * sum / w) / (w - 1))};
  object_.WriteGrid(dir_ / "g.dbl", grid.get(), false, true, false);
  const std::vector<double> dbl = ReadValues<double>(dir_ / "g.dbl");
  ASSERT_EQ(dbl.size(), 12u + 6u);
  for (int i = 0; i < 12; ++i) EXPECT_DOUBLE_EQ(dbl[i], expected[i]) << i;
  EXPECT_EQ(dbl[12 + 2], 100);  // a cell outside the range is written, only not counted
  for (int i = 0; i < 12; ++i) EXPECT_DOUBLE_EQ(object_.grid_header[i], expected[i]) << i;

  object_.WriteGrid(dir_ / "g.flt", grid.get(), false, false, false);
  const std::vector<float> flt = ReadValues<float>(dir_ / "g.flt");
  ASSERT_EQ(flt.size(), 12u + 6u);
  for (int i = 0; i < 12; ++i) EXPECT_FLOAT_EQ(flt[i], static_cast<float>(expected[i])) << i;

  // All nodata: count 0, mean and standard deviation -9999.
  GridMatrix empty = Grid(1, 2, [](int, int) { return kNodataGridWriter; });
  object_.WriteGridMasked(dir_ / "e.dbl", empty.get(), false, true, false);
  const std::vector<double> none = ReadValues<double>(dir_ / "e.dbl");
  EXPECT_EQ(none[6], 0);
  EXPECT_EQ(none[10], kNodataGridWriter);
  EXPECT_EQ(none[11], kNodataGridWriter);
}

TEST_F(WriterTest, NetcdfTakesPrecedenceOverAscii) {
  GridMatrix grid = Grid(1, 3, [](int r, int c) { return r * 10.0 + c; });
  object_.WriteGrid(dir_ / "q_out.asc", grid.get(), true, true, true);
  EXPECT_FALSE(fs::exists(dir_ / "q_out.asc"));
  ASSERT_TRUE(fs::exists(dir_ / "q_out.asc.nc"));
  NetcdfGridReader reader(diag_);
  std::vector<double> values;
  std::string input = (dir_ / "q_out.asc.nc") + "<q>0";
  int rows = 0, cols = 0;
  reader.ReadGrid(values, input, rows, cols);
  ASSERT_EQ(rows, 3);
  ASSERT_EQ(cols, 4);
  EXPECT_EQ(values[1 * 3 + 2], 32.0);  // column 2, row 3
}

// A grid with a NaN is written, with one WARNING for the grid however often it is written.
TEST_F(WriterTest, NonFiniteValuesWarnOncePerGrid) {
  GridMatrix grid = Grid(1, 3, [](int r, int c) { return r == 2 && c == 3 ? std::nan("") : 1.0; });
  object_.step_date = ModelDate{2019, 6, 1, 24};
  for (const char* name : {"nan1.asc", "nan2.asc"})
    object_.WriteGrid(dir_ / name, grid.get(), true, false, false);
  EXPECT_THAT(test::ReadFile(dir_ / "nan2.asc"), HasSubstr("1\tnan\t1"));
  if (Rank() != 0) return;  // only process 0 shows warnings
  const std::string text =
      "holds nan, no finite number, at row 2, column 3 in the step 1.6.2019 24";
  EXPECT_THAT(screen_.str(),
              HasSubstr("the grid " + (dir_ / "nan1.asc") + " of writer test " + text));
  EXPECT_EQ(screen_.str().find(text), screen_.str().rfind(text));
}

TEST_F(WriterTest, FailuresLeaveNoFileBehind) {
  GridMatrix grid = Grid(1, 3, [](int, int) { return 1.0; });
  EXPECT_EQ(ThrownCode([&] { object_.WriteGrid(dir_ / "no/dir/g.asc", grid.get(), true, 0, 0); }),
            26);
  EXPECT_EQ(ThrownCode([&] { object_.WriteGrid(dir_ / "no/dir/g.flt", grid.get(), 0, 0, 0); }), 26);

  // A file size limit makes the writes fail part-way.
  Geometry(200, 200, 0, 0, 1, kNodataGridWriter);
  GridMatrix big = Grid(1, 200, [](int r, int c) { return r * 1000.0 + c + 0.125; });
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = previous;
  limited.rlim_cur = 20000;
  setrlimit(RLIMIT_FSIZE, &limited);
  const int ascii = ThrownCode([&] { object_.WriteGrid(dir_ / "big.asc", big.get(), true, 0, 0); });
  const int binary =
      ThrownCode([&] { object_.WriteGrid(dir_ / "big.dbl", big.get(), 0, true, 0); });
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(ascii, 18);
  EXPECT_EQ(binary, 18);
  if (Rank() == 0) {  // only process 0 writes diagnostics
    EXPECT_THAT(screen_.str(), HasSubstr("error creating " + (dir_ / "no/dir/g.asc") +
                                         " for writing in text mode: No such file or directory."));
    EXPECT_THAT(screen_.str(),
                HasSubstr(" for writing in binary mode: No such file or directory."));
    EXPECT_THAT(screen_.str(), HasSubstr("write error " + (dir_ / "big.asc") + " ! (18)"));
    EXPECT_THAT(screen_.str(),
                HasSubstr("write error " + (dir_ / "big.dbl") + " ! (18): File too large"));
  }
  EXPECT_FALSE(fs::exists(dir_ / "big.asc"));
  EXPECT_FALSE(fs::exists(dir_ / "big.dbl"));
}

// ---- Write on process 0, read on all
// -------------------------------------------------------------

class RoundTripTest : public WriterTest {
 protected:
  void Decompose(int ncols, int nrows) {
    Geometry(ncols, nrows, 1000, 2000, 25, kNodataGridWriter);
    RegionGrids grids;
    GridMatrix zone;
    if (Rank() == 0) {
      zone = Grid(1, nrows,
                  [](int r, int c) { return (r * 3 + c) % 8 == 0 ? kNodataGridWriter : 1.0; });
      grids.zone = zone.get();
    }
    layout_ =
        DecomposeRegions(diag_, RegionGeometry{ncols, nrows, kNodataGridWriter}, grids, 1.0).layout;
    object_.mpi = &layout_;
    object_.first_local_row = layout_.first_row;
    object_.last_local_row = layout_.last_row;
  }
  test::TempDir shared_ = test::TempDir::Shared();
  MpiLayout layout_;
};

TEST_F(RoundTripTest, GatheredGridsWrittenAndReadBackExactlyOnEveryProcess) {
  Decompose(11, 9);
  struct Form {
    const char* name;
    bool ascii, dbl;
    std::function<double(int, int)> value;
    bool state = false;  // written as a run's state (every digit)
  };
  const Form forms[] = {
      {"rt.asc", true, false, [](int r, int c) { return r * 100 + c + 0.125; }},
      {"rt.dbl", false, true, [](int r, int c) { return r / 3.0 + c * 1e-7; }},
      {"rt.flt", false, false,
       [](int r, int c) { return static_cast<double>(static_cast<float>(r / 3.0 - c)); }},
      // Heads in metres above sea level: six digits would keep them to the centimetre.
      {"rt_state.asc", true, false, [](int r, int c) { return 2844.0 + r / 3.0 + c * 1e-7; }, true},
  };
  for (const Form& form : forms) {
    // Each process holds its own cells; process 0 gathers and writes.
    const HeldRows held = Rank() == 0 ? HeldRows{1, 9} : layout_.held_rows();
    GridMatrix local = Grid(held.first, held.last, [&](int r, int c) {
      return layout_.regions[r][c] == Rank() ? form.value(r, c) : kNodataGridWriter;
    });
    GridMatrix whole = MPIGatherGridCopy(diag_, &layout_, local.get());
    const std::string path = shared_ / form.name;
    if (Rank() == 0) {
      double** grid = whole ? whole.get() : local.get();
      if (form.state) StartRecordingWrites();
      object_.WriteGrid(path, grid, form.ascii, form.dbl, false);
      if (form.state) StopRecordingWrites();
      // The tests' reader of run outputs sees every value written, and its ASCII text of them
      // is the model's own ASCII grid of the same values.
      const test::GridFile file = test::ReadGridFile(path);
      ASSERT_EQ(file.values.size(), 99u) << form.name;
      for (int r = 1; r <= 9; ++r)
        for (int c = 1; c <= 11; ++c)
          ASSERT_EQ(file.values[static_cast<std::size_t>((r - 1) * 11 + c - 1)], grid[r][c])
              << form.name;
      object_.WriteGrid(path + ".txt", grid, true, false, false);
      EXPECT_EQ(test::AsciiGridText(file), test::ReadFile(path + ".txt")) << form.name;
    }
    MPI_Barrier(MPI_COMM_WORLD);
    double** read = nullptr;
    object_.ReadGrid(path, read, 0, true, false, false, 0, false, false, 0.0);
    for (int r = layout_.first_row; r <= layout_.last_row; ++r)
      for (int c = 1; c <= 11; ++c)
        if (layout_.regions[r][c] == Rank()) {
          ASSERT_EQ(read[r][c], form.value(r, c)) << form.name;
        }
    FreeMatrix(read);
  }
}

// The write-code output gathers and writes a grid by blocks of rows into one reused buffer (on
// one process: row by row, with nodata outside the region). Its file equals the one written from
// the grid gathered whole, for block sizes that do not divide the rows and in every format.
TEST_F(RoundTripTest, GridOutputByBlocksOfRowsEqualsTheWholeGridWritten) {
  Decompose(11, 9);
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  object_.rank = Rank();
  object_.size = size;
  GridRegistry registry;
  object_.registry = &registry;
  const HeldRows held = Rank() == 0 ? HeldRows{1, 9} : layout_.held_rows();
  // Cells this process does not own hold values of their own, which no file may show.
  GridMatrix zone = Grid(held.first, held.last, [&](int r, int c) {
    return layout_.regions[r][c] > kNodataGridWriter ? 1.0 : kNodataGridWriter;
  });
  GridMatrix local = Grid(held.first, held.last, [&](int r, int c) {
    return layout_.regions[r][c] == Rank() ? r * 100 + c / 8.0 : -r - Rank();
  });
  object_.RegisterGrid(1, "zone.asc", zone.get(), nullptr, 0, "zone", 0, held.first, held.last);
  // (netCDF slices take the same rows, column by column; its writer keeps one file per run.)
  const struct {
    bool ascii, dbl, netcdf;
    int block_rows;
  } forms[] = {{true, false, false, 2},
               {false, true, false, 4},
               {false, false, false, 5},
               {true, false, false, 0}};
  int n = 0;
  for (const auto& form : forms) {
    const std::string name = "out.asc";
    const fs::path whole_dir = shared_ / ("whole" + std::to_string(n));
    const fs::path block_dir = shared_ / ("blocks" + std::to_string(n++));
    if (Rank() == 0) fs::create_directories(whole_dir), fs::create_directories(block_dir);
    object_.write_ascii = form.ascii;
    object_.write_double = form.dbl;
    object_.write_netcdf = form.netcdf;
    object_.output_block_rows = form.block_rows;
    object_.output_directory = block_dir.string() + "/";
    object_.RegisterGrid(2, name, local.get(), nullptr, 0, "out", 1, held.first, held.last);
    object_.WriteGridOutput(2, 1, false);
    object_.output_directory = whole_dir.string() + "/";
    GridMatrix whole = MPIGatherGridCopy(diag_, &layout_, local.get());
    if (Rank() == 0) {
      if (!whole) {  // one process: the region's cells only
        whole = Grid(1, 9, [&](int r, int c) {
          return layout_.regions[r][c] == 0 ? local[r][c] : kNodataGridWriter;
        });
      }
      object_.WriteGrid(name, whole.get(), form.ascii, form.dbl, form.netcdf);
      for (const auto& entry : fs::directory_iterator(whole_dir)) {
        const fs::path file = entry.path().filename();
        EXPECT_EQ(test::ReadFile(block_dir / file), test::ReadFile(whole_dir / file))
            << file << " in blocks of " << form.block_rows;
      }
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }
}

}  // namespace
}  // namespace velorn

// The grid reader over 1, 2, 3 and 4 processes: every form reaches the owners of its cells (and
// the halo cells), files with their own nodata value, grids of another geometry resampled onto
// the model grid with hand-computed values, hole filling into a registered grid, GIF and netCDF
// input, the real DEMs of the reference data, and errors that end on every process with the
// same code instead of a hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "core/modelobject.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "grids/grid_formats.h"
#include "grids/mpi_layout.h"
#include "grids/netcdf_grid_writer.h"
#include "setup/mpi_regions.h"
#include "tests/grids/gif_test_encoder.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using ::testing::HasSubstr;
constexpr double N = -9999.0;
using CellValue = std::function<double(int, int)>;

using test::AsciiGrid;
using test::Rank;
using test::Size;

// Values that "%g" writes without loss and a float holds exactly.
double Value(int r, int c) {
  return r * 100 + c + 0.25;
}

template <class T>
std::string BinaryGrid(int ncols, int nrows, double xll, double yll, double cellsize,
                       const CellValue& value) {
  std::vector<T> data = {static_cast<T>(ncols),
                         static_cast<T>(nrows),
                         static_cast<T>(xll),
                         static_cast<T>(yll),
                         static_cast<T>(cellsize),
                         static_cast<T>(N),
                         0,
                         0,
                         0,
                         0,
                         0,
                         0};
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) data.push_back(static_cast<T>(value(r, c)));
  return {reinterpret_cast<const char*>(data.data()), data.size() * sizeof(T)};
}

class ReaderMpiTest : public test::DiagTest {
 protected:
  ReaderMpiTest() : DiagTest(test::TempDir::Shared()) {
    previous_sleep_ = SetOpenRetrySleep([](int) {});
  }
  ~ReaderMpiTest() override { SetOpenRetrySleep(previous_sleep_); }

  // The model grid and its decomposition; the domain has holes unless `full`.
  void Setup(int ncols, int nrows, double xll, double yll, double cellsize, bool full) {
    RegionGrids grids;
    if (Rank() == 0) {
      zone_ = GridMatrix(diag_, 1, nrows, ncols, nrows);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
          zone_[r][c] = !full && ((r + 2 * c) % 7 == 0 || (r == nrows && c == 1)) ? N : 1;
      grids.zone = zone_.get();
      registry_.Register(diag_, 1, "zone.asc", zone_.get(), nullptr, 0, "zone", 0, 1, nrows, ncols,
                         nrows);
    }
    layout_ = DecomposeRegions(diag_, RegionGeometry{ncols, nrows, N}, grids, 1.0).layout;
    object_.SetModuleName("reader test");
    test::SetGeometry(object_, ncols, nrows, xll, yll, cellsize, N);
    object_.mpi = &layout_;
    object_.registry = &registry_;
    object_.first_local_row = layout_.first_row;
    object_.last_local_row = layout_.last_row;
  }

  // Process 0 writes the file in the shared directory; every process gets its path.
  std::string Put(const std::string& name, const std::string& content) {
    if (Rank() == 0) test::WriteFile(dir_ / name, content);
    MPI_Barrier(MPI_COMM_WORLD);
    return dir_ / name;
  }

  // Reads on every process; the thrown code or 0.
  int Read(const std::string& path, double**& grid, int fill_mode, bool allocate, int keep_whole,
           bool with_halo) {
    return test::ThrownCode(
        [&] {
          object_.ReadGrid(path, grid, fill_mode, allocate, false, true, keep_whole, false,
                           with_halo, 0.0);
        },
        0);
  }

  bool Own(int r, int c) const {
    return r >= layout_.first_row && r <= layout_.last_row && layout_.regions[r][c] == Rank();
  }
  bool Halo(int r, int c) const {
    const HeldRows held = layout_.held_rows();
    return r >= held.first && r <= held.last && layout_.halo[r][c] > N;
  }

  // Own cells (and halo cells with halo rows) hold `expected`; with `whole` process 0 holds
  // every cell of the domain. (Cells outside the domain may take a neighbour's value in a halo
  // exchange, whose strips reach over gaps.)
  void ExpectCells(double** grid, const CellValue& expected, bool with_halo, bool whole,
                   const std::string& what) {
    ASSERT_NE(grid, nullptr) << what;
    for (int r = 1; r <= object_.nrows; ++r)
      for (int c = 1; c <= object_.ncols; ++c) {
        const bool root_whole = whole && Rank() == 0 && (!with_halo || zone_[r][c] != N);
        if (!root_whole && !Own(r, c) && !(with_halo && Halo(r, c))) continue;
        ASSERT_EQ(grid[r][c], expected(r, c)) << what << " at " << r << "," << c;
      }
  }

  GridRegistry registry_;
  GridMatrix zone_;
  MpiLayout layout_;
  modelobject object_{&diag_, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr};
  OpenRetrySleep previous_sleep_;
};

TEST_F(ReaderMpiTest, EveryFormReachesTheOwnersAndTheHalo) {
  Setup(9, 13, 1000, 2000, 50, false);
  const std::string files[3] = {
      Put("g.asc", AsciiGrid(9, 13, 1000, 2000, 50, N, Value)),
      Put("g.dbl", BinaryGrid<double>(9, 13, 1000, 2000, 50, Value)),
      Put("g.flt", BinaryGrid<float>(9, 13, 1000, 2000, 50, Value)),
  };
  for (const std::string& file : files) {
    for (const bool halo : {false, true}) {
      for (const int keep_whole : {0, 1}) {
        double** grid = nullptr;
        ASSERT_EQ(Read(file, grid, 0, true, keep_whole, halo), 0) << file;
        const std::string what = file + (halo ? " halo" : "") + (keep_whole ? " whole" : "");
        ExpectCells(grid, Value, halo, keep_whole == 1, what);
        // A regular binary grid is read by each process straight into its own rows, so the
        // cells of those rows outside its region hold file values, not nodata.
        const bool binary = file != files[0];
        if (binary && keep_whole == 0 && Rank() != 0) {
          for (int r = layout_.first_row; r <= layout_.last_row; ++r)
            for (int c = 1; c <= 9; ++c) ASSERT_EQ(grid[r][c], Value(r, c)) << what;
        }
        FreeMatrix(grid);
      }
    }
  }
  EXPECT_EQ(object_.grid_header[0], 9);
  EXPECT_EQ(object_.grid_header[4], 50);
}

// The periodic re-reading of a standard grid: into the registered matrix (process 0 whole, the
// others their rows with halo rows), holes of the domain filled from neighbours.
TEST_F(ReaderMpiTest, ReadsIntoTheCallersMatrixAndFillsHoles) {
  Setup(8, 11, 0, 0, 10, false);
  const auto with_hole = [](int r, int c) { return r == 6 && c == 3 ? N : Value(r, c); };
  const std::string file = Put("holes.asc", AsciiGrid(8, 11, 0, 0, 10, N, with_hole));
  const HeldRows held = Rank() == 0 ? HeldRows{1, 11} : layout_.held_rows();
  GridMatrix target(diag_, held.first, held.last, 8, 11);
  for (int r = held.first; r <= held.last; ++r) std::fill(target[r], target[r] + 9, N);
  double** grid = target.get();
  {
    test::ScopedCurrentDir cd(dir_.path());  // the fill log goes to modell_0.log
    ASSERT_EQ(Read(file, grid, 1, false, 1, true), 0);
  }
  EXPECT_EQ(grid, target.get());
  // The search finds row 5, column 3 first (one row straight above).
  const auto filled = [&](int r, int c) {
    if (r == 6 && c == 3) return Value(5, 3);
    return (Rank() == 0 && zone_[r][c] == N) ? N : Value(r, c);
  };
  ExpectCells(grid, filled, true, true, "filled");
  if (Rank() == 0) {
    EXPECT_THAT(screen_.str(), HasSubstr("1 nodata values replaced!"));
    EXPECT_THAT(test::ReadFile(dir_ / "modell_0.log"),
                HasSubstr("y: 6 x: 3  in " + file + " -9999.000000 replaced by 503.250000!\n"));
  }
}

TEST_F(ReaderMpiTest, FilesOwnNodataValuesBecomeTheModelsNodata) {
  Setup(6, 7, 0, 0, 1, true);
  for (const double own : {-1.0, -99999.0, 0.0}) {
    const auto value = [own](int r, int c) { return (r + c) % 5 == 0 ? own : Value(r, c); };
    const auto expected = [](int r, int c) { return (r + c) % 5 == 0 ? N : Value(r, c); };
    const std::string file = Put("own.asc", AsciiGrid(6, 7, 0, 0, 1, own, value));
    double** grid = nullptr;
    ASSERT_EQ(Read(file, grid, 0, true, 1, false), 0);
    ExpectCells(grid, expected, false, true, "nodata " + std::to_string(own));
    FreeMatrix(grid);
    EXPECT_EQ(object_.grid_header[5], own);
    // Filling sees those cells as holes, too.
    grid = nullptr;
    {
      test::ScopedCurrentDir cd(dir_.path());
      ASSERT_EQ(Read(file, grid, 2, true, 1, false), 0);
    }
    ExpectCells(
        grid, [](int r, int c) { return (r + c) % 5 == 0 ? 0.0 : Value(r, c); }, false, true,
        "filled");
    FreeMatrix(grid);
  }
}

// A 2 x 2 file of cell size 2 on a 4 x 4 model grid of cell size 1: each target centre lies a
// quarter or three quarters between the source centres, or beyond them (edge values).
TEST_F(ReaderMpiTest, ResamplesAnotherGeometryBilinearly) {
  Setup(4, 4, 0, 0, 1, true);
  const auto source = [](int r, int c) { return r == 1 ? 10.0 * c : 20.0 + 10.0 * c; };
  const double expected[4][4] = {
      {10, 12.5, 17.5, 20}, {15, 17.5, 22.5, 25}, {25, 27.5, 32.5, 35}, {30, 32.5, 37.5, 40}};
  const auto hand = [&](int r, int c) { return expected[r - 1][c - 1]; };
  for (const std::string name : {"coarse.asc", "coarse.dbl"}) {
    const std::string file =
        Put(name, name == std::string("coarse.asc") ? AsciiGrid(2, 2, 0, 0, 2, N, source)
                                                    : BinaryGrid<double>(2, 2, 0, 0, 2, source));
    double** grid = nullptr;
    ASSERT_EQ(Read(file, grid, 0, true, 1, false), 0);
    ExpectCells(grid, hand, false, true, name);
    FreeMatrix(grid);
  }
  // A corner of 0.5 is used as it is (centres at 1.5 and 3.5), not floored to 0.
  const std::string shifted = Put("shifted.asc", AsciiGrid(2, 2, 0.5, 0, 2, N, source));
  double** grid = nullptr;
  ASSERT_EQ(Read(shifted, grid, 0, true, 1, false), 0);
  ExpectCells(
      grid, [&](int r, int c) { return hand(r, 1) + (c == 3   ? 5.0
                                                     : c == 4 ? 10.0
                                                              : 0.0); }, false,
      true, "shifted");
  FreeMatrix(grid);
  // The file's nodata cell (-1 at row 1, column 2) makes every target cell that leans on it
  // nodata instead of blending -1 into its neighbours.
  const auto holed = [&](int r, int c) { return r == 1 && c == 2 ? -1.0 : source(r, c); };
  const std::string with_nodata = Put("holed.asc", AsciiGrid(2, 2, 0, 0, 2, -1, holed));
  ASSERT_EQ(Read(with_nodata, grid, 0, true, 1, false), 0);
  ExpectCells(
      grid, [&](int r, int c) { return r < 4 && c > 1 ? N : hand(r, c); }, false, true, "holed");
  FreeMatrix(grid);
  // A file that covers one cell of the basin gives every cell its value, and says so.
  const std::string corner = Put("corner.asc", AsciiGrid(1, 1, 0, 0, 1, N, source));
  ASSERT_EQ(Read(corner, grid, 0, true, 1, false), 0);
  ExpectCells(
      grid, [](int, int) { return 10.0; }, false, true, "corner");
  FreeMatrix(grid);
  EXPECT_TRUE(Rank() != 0 ||
              Contains(screen_.str(), ": 15 of the 16 cells of the basin lie beyond"));
}

// The resampling knows -9999 as its nodata value. A model whose nodata value is another (taken
// from a zone grid exported with -32768 or -1) gets its own value in every resampled nodata
// cell, the file's nodata cells are never blended in as data, and a resampled value that
// happens to equal the file's nodata value stays a value.
TEST_F(ReaderMpiTest, ResampledGridsCarryTheModelsNodata) {
  Setup(4, 4, 100, 100, 1, true);
  // The 2 x 2 source of ResamplesAnotherGeometryBilinearly with nodata at row 1, column 2.
  const auto holed = [](int r, int c) { return r == 1 ? (c == 2 ? N : 10.0) : 20.0 + 10.0 * c; };
  const double hand[4][4] = {{10, 0, 0, 0}, {15, 0, 0, 0}, {25, 0, 0, 0}, {30, 32.5, 37.5, 40}};
  const std::string file = Put("holed9999.asc", AsciiGrid(2, 2, 100, 100, 2, N, holed));
  // The same as an image: pixel 255 is nodata.
  const std::string gif = Put("holed.gif", test::EncodeGif(test::GifPicture{2, 2, {0, 255, 0, 0}}));
  // And as a netCDF slice (columns outer, top row first) with a missing value.
  if (Rank() == 0) {
    NetcdfGridWriter writer(diag_);
    const std::vector<double> slice = {10, 30, N, 40};
    writer.WriteGrid(true, slice.data(), nullptr, dir_ / "holed.nc", "v", 2, 2, N);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  for (const double model_nodata : {-32768.0, -1.0}) {
    object_.nodata = model_nodata;
    double** grid = nullptr;
    ASSERT_EQ(Read(file, grid, 0, true, 1, false), 0);
    ExpectCells(
        grid, [&](int r, int c) { return r < 4 && c > 1 ? model_nodata : hand[r - 1][c - 1]; },
        false, true, "model nodata " + std::to_string(model_nodata));
    FreeMatrix(grid);
    object_.SetInputGridGeometry(nullptr, 100, 100, 2);
    ASSERT_EQ(Read(gif, grid, 0, true, 1, false), 0);
    ExpectCells(
        grid, [&](int r, int c) { return r < 4 && c > 1 ? model_nodata : 0.0; }, false, true,
        "image, model nodata " + std::to_string(model_nodata));
    FreeMatrix(grid);
    object_.SetInputGridGeometry(nullptr, 101, 101, 2);  // the centre of the first cell
    ASSERT_EQ(Read(dir_ / "holed.nc<v>0", grid, 0, true, 1, false), 0);
    ExpectCells(
        grid, [&](int r, int c) { return r < 4 && c > 1 ? model_nodata : hand[r - 1][c - 1]; },
        false, true, "netCDF, model nodata " + std::to_string(model_nodata));
    FreeMatrix(grid);
    object_.SetInputGridGeometry(nullptr, 0, 0, 0);
  }
  object_.nodata = N;
  // Header nodata -1: the values -1.5 and 0.5 blend to exactly -1 in column 2.
  const std::string blend =
      Put("blend.asc",
          AsciiGrid(2, 2, 100, 100, 2, -1, [](int, int c) { return c == 1 ? -1.5 : 0.5; }));
  double** grid = nullptr;
  ASSERT_EQ(Read(blend, grid, 0, true, 1, false), 0);
  ExpectCells(
      grid,
      [](int, int c) {
        return std::vector<double>{-1.5, -1.0, 0.0, 0.5}[c - 1];
      },
      false, true, "blend");
  FreeMatrix(grid);
}

TEST_F(ReaderMpiTest, GifImagesAndNetcdfSlices) {
  Setup(3, 2, 255000, -160000, 1000, true);
  const test::GifPicture picture{3, 2, {0, 100, 127, 128, 251, 255}};
  const std::string gif = Put("radar.gif", test::EncodeGif(picture));
  double** grid = nullptr;
  ASSERT_EQ(Read(gif, grid, 0, true, 1, false), 0);
  const auto pixel = [](int r, int c) {
    const double v = std::vector<double>{0, 100, 127, 128, 251, 255}[(r - 1) * 3 + (c - 1)];
    if (v == 0) return 0.0;
    if (v > 250) return N;
    return 8.916787e-05 * std::exp(v * 0.0767528404);
  };
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c)
      if (Rank() == 0 || Own(r, c)) {
        EXPECT_NEAR(grid[r][c], pixel(r, c), 1e-12) << r << "," << c;
      }
  if (Rank() == 0) {
    EXPECT_EQ(object_.input_x, 255000);  // the default input geometry is kept
  }
  FreeMatrix(grid);

  // netCDF: a slice of the model's size (input geometry 9999), named relative to the input
  // directory.
  if (Rank() == 0) {
    NetcdfGridWriter writer(diag_);
    const std::vector<double> slice = {1, 4, 2, 5, 3, 6};  // column-major, top row first
    writer.WriteGrid(true, slice.data(), nullptr, dir_ / "in.nc", "v", 2, 3, N);
    writer.WriteGrid(true, slice.data(), nullptr, dir_ / "wide.nc", "v", 1, 6, N);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  object_.input_directory = dir_.path().string() + "/";
  object_.SetInputGridGeometry(nullptr, 9999, 9999, 9999);
  ASSERT_EQ(Read("in.nc<v>0", grid, 0, true, 1, false), 0);
  ExpectCells(
      grid, [](int r, int c) { return (r - 1) * 3.0 + c; }, false, true, "netCDF");
  FreeMatrix(grid);
  EXPECT_EQ(Read("wide.nc<v>0", grid, 0, true, 1, false), 22);
  if (Rank() == 0) {
    EXPECT_THAT(screen_.str(), HasSubstr("please define xllcorner"));
  }
  // Without an input geometry (any reader but method 9's) the message says where netCDF is read.
  object_.SetInputGridGeometry(nullptr, 0, 0, 0);
  EXPECT_EQ(Read("in.nc<v>0", grid, 0, true, 1, false), 22);
  if (Rank() == 0) {
    EXPECT_THAT(screen_.str(), HasSubstr("netCDF files are read only as the grids of "
                                         "meteorological interpolation method 9"));
  }
}

// The real DEMs, read on a model grid of their own geometry, against an independent parse.
TEST_F(ReaderMpiTest, RealDemsReadCorrectly) {
  struct Dem {
    const char* file;
    double file_nodata;
  };
  const Dem dems[] = {{"srtm-dem-esri-ascii/SRTMGL3_40.09_-105.56_40.21_-105.44.asc", 0},
                      {"srtm-dem-esri-ascii/hugo_site.asc", N},
                      {"srtm-dem-esri-ascii/4_x_3.asc", N},
                      {"srtm-dem-esri-ascii/4_x_3_no_nodata_value.asc", N}};
  for (const Dem& dem : dems) {
    VELORN_REQUIRE_REFDATA(path, dem.file);
    std::ifstream in(path);
    std::string key;
    double ncols = 0, nrows = 0, xll = 0, yll = 0, cellsize = 0, nodata = N;
    in >> key >> ncols >> key >> nrows >> key >> xll >> key >> yll >> key >> cellsize;
    if (std::string(dem.file).find("no_nodata") == std::string::npos) in >> key >> nodata;
    ASSERT_EQ(nodata, dem.file_nodata) << dem.file;
    std::vector<double> cells;
    for (double v; in >> v;) cells.push_back(v);
    ASSERT_EQ(cells.size(), static_cast<std::size_t>(ncols * nrows)) << dem.file;
    Setup(static_cast<int>(ncols), static_cast<int>(nrows), xll, yll, cellsize, true);
    const auto expected = [&](int r, int c) {
      const double v = cells[static_cast<std::size_t>((r - 1) * ncols + (c - 1))];
      return v == nodata ? N : v;
    };
    double** grid = nullptr;
    ASSERT_EQ(Read(path, grid, 0, true, 1, false), 0) << dem.file;
    ExpectCells(grid, expected, false, true, dem.file);
    FreeMatrix(grid);
    EXPECT_EQ(object_.grid_header[0], ncols);
    EXPECT_EQ(object_.grid_header[2], std::floor(xll));
  }
}

// The model's own single-precision copy of a geographic DEM: its float header holds another
// cell size than the model's double, and the grid must still read back cell by cell, not
// resampled.
TEST_F(ReaderMpiTest, SinglePrecisionCopyOfAGeographicDemReadsBackUnchanged) {
  VELORN_REQUIRE_REFDATA(path, "srtm-dem-esri-ascii/SRTMGL3_40.09_-105.56_40.21_-105.44.asc");
  const AsciiHeaderResult header = ParseAsciiHeader(test::ReadFile(path));
  ASSERT_EQ(header.failed_pair, 0);
  const GridHeader6& h = header.values;
  Setup(static_cast<int>(h[0]), static_cast<int>(h[1]), h[2], h[3], h[4], true);
  double** dem = nullptr;
  ASSERT_EQ(Read(path, dem, 0, true, 1, false), 0);
  const std::string copy = dir_ / "dem.flt";
  if (Rank() == 0) object_.WriteGrid(copy, dem, false, false, false);
  MPI_Barrier(MPI_COMM_WORLD);
  double** back = nullptr;
  ASSERT_EQ(Read(copy, back, 0, true, 0, false), 0);
  int changed = 0;
  for (int r = layout_.first_row; r <= layout_.last_row; ++r)
    for (int c = 1; c <= object_.ncols; ++c)
      if (Own(r, c) && back[r][c] != (dem[r] != nullptr ? dem[r][c] : back[r][c])) ++changed;
  EXPECT_EQ(changed, 0);
  FreeMatrix(back);
  FreeMatrix(dem);
}

TEST_F(ReaderMpiTest, ErrorsEndOnEveryProcessWithTheSameCode) {
  Setup(5, 6, 0, 0, 1, true);
  double** grid = nullptr;
  EXPECT_EQ(Read(dir_ / "absent.asc", grid, 0, true, 0, true), 21);
  const std::string truncated = Put("cut.asc", AsciiGrid(5, 6, 0, 0, 1, N, Value).substr(0, 150));
  EXPECT_EQ(Read(truncated, grid, 0, true, 0, true), 22);
  // A grid of another geometry that lies 1000 km beside the model area covers none of its cells.
  const std::string far = Put("far.asc", AsciiGrid(2, 3, 1e6, 0, 2, N, Value));
  EXPECT_EQ(Read(far, grid, 0, true, 0, true), 22);
  if (Rank() == 0) {
    EXPECT_THAT(screen_.str(), HasSubstr("it covers x 1000000 to 1000004, y 0 to 6"));
  }
  const std::string good = Put("good.dbl", BinaryGrid<double>(5, 6, 0, 0, 1, Value));
  // A binary file with a value or a byte more than its header describes is no such grid.
  for (const std::string& more : {std::string(8, '\0'), std::string(3, '\0')}) {
    const std::string longer = Put("longer.dbl", BinaryGrid<double>(5, 6, 0, 0, 1, Value) + more);
    EXPECT_EQ(Read(longer, grid, 0, true, 0, true), 22);
  }
  EXPECT_TRUE(Rank() != 0 || Contains(screen_.str(),
                                      "holds 30 values and 3 bytes after its "
                                      "header, its header asks for 6 rows of 5)"));
  // Filling needs the reference grid, which only process 0 reads: all stop with code 33.
  GridRegistry empty;
  object_.registry = &empty;
  EXPECT_EQ(Read(good, grid, 1, true, 0, false), 33);
  // A caller's matrix without one of its rows on the last process: 22 everywhere.
  GridMatrix target;
  if (Rank() == Size() - 1)
    target = GridMatrix(diag_, layout_.first_row + 1, layout_.last_row, 5, 6);
  else
    target = GridMatrix(diag_, layout_.first_row, layout_.last_row, 5, 6);
  grid = target.get();
  EXPECT_EQ(Read(good, grid, 0, false, 0, false), 22);
  EXPECT_EQ(grid, target.get());
}

// A grid read from a folder with a state manifest: a state grid that no manifest names, one
// whose bytes are not those listed and one of an earlier run end on every process with code 71;
// a start grid (start heads, start concentrations) is refused as well when a manifest names it,
// and read, with a WARNING, when none does (the user's own).
TEST_F(ReaderMpiTest, StateGridsOfAManifestsFolder) {
  Setup(5, 6, 0, 0, 1, true);
  if (Rank() == 0) std::filesystem::create_directories(dir_ / "state");
  const std::string grid_text = AsciiGrid(5, 6, 0, 0, 1, N, Value);
  const std::string listed = Put("state/listed.asc", grid_text);
  const std::string changed = Put("state/changed.asc", grid_text);
  const std::string earlier = Put("state/earlier.asc", grid_text);
  const std::string own = Put("state/own.asc", grid_text);
  if (Rank() == 0) {
    uint64_t hash = 0, size = 0;
    ASSERT_TRUE(HashFile(listed, hash, size));
    char line[64];
    std::snprintf(line, sizeof line, "%016llx %llu ", static_cast<unsigned long long>(hash),
                  static_cast<unsigned long long>(size));
    test::WriteFile(dir_ / (std::string("state/") + kStateManifestName),
                    std::string("velorn state manifest\ndate 2019 1 25 0 step 1440\n"
                                "status complete\nrun of the test\nfile ") +
                        line + "listed.asc\nfile " + line +
                        "changed.asc\nearlier earlier.asc\nend 3\n");
    test::WriteFile(changed, AsciiGrid(5, 6, 0, 0, 1, N, [](int r, int c) { return r + c; }));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  ExamineStateManifest(dir_ / "state");
  const struct {
    std::string path;
    StateGridKind kind;
    int code;
  } reads[] = {{listed, StateGridKind::kState, 0},   {listed, StateGridKind::kStartGrid, 0},
               {changed, StateGridKind::kState, 71}, {changed, StateGridKind::kStartGrid, 71},
               {earlier, StateGridKind::kState, 71}, {earlier, StateGridKind::kStartGrid, 71},
               {own, StateGridKind::kState, 71},     {own, StateGridKind::kStartGrid, 0}};
  for (const auto& read : reads) {
    SCOPED_TRACE(read.path + (read.kind == StateGridKind::kState ? " as state" : " as start"));
    double** grid = nullptr;
    {
      const StateGridRead of_state(read.kind);
      EXPECT_EQ(Read(read.path, grid, 0, true, 0, false), read.code);
    }
    if (read.code == 0) ExpectCells(grid, Value, false, false, read.path);
    FreeMatrix(grid);
  }
  if (Rank() == 0) {
    EXPECT_TRUE(ScreenHas("own.asc is not listed in the state manifest "));
    EXPECT_TRUE(
        ScreenHas("it is read as a start grid of the user's, not as part of the stored "
                  "state of the run of the test"));
    EXPECT_FALSE(ScreenHas("listed.asc is not listed"));
  }
  // The other tests read without a manifest.
  ExamineStateManifest(dir_ / "absent");
}

}  // namespace
}  // namespace velorn

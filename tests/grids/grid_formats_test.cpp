// Grid file formats and the reader's handling of bad input on one process: recognition from the
// first bytes, the ASCII header and cell parsers, header checks, the regular-geometry test,
// header numbers that read back exactly, hole filling, and every malformed file ending in its
// FATAL entry and code (never a crash or a silently wrong grid).
#include "grids/grid_formats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <tuple>
#include <vector>

#include "core/matrix.h"
#include "core/modelobject.h"
#include "grids/hole_filling.h"
#include "tests/grids/gif_test_encoder.h"
#include "tests/support/test_helpers.h"
#include "tests/support/velorn_runner.h"

namespace velorn {
namespace {

using ::testing::HasSubstr;
constexpr double N = -9999.0;

std::vector<unsigned char> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

template <class T>
std::vector<unsigned char> BinaryHeader(T nodata, std::size_t total_bytes) {
  std::vector<unsigned char> bytes(total_bytes, 0);
  const T values[12] = {3, 2, 0, 0, 1, nodata, 0, 0, 0, 0, 0, 0};
  std::memcpy(bytes.data(), values, std::min(sizeof values, total_bytes));
  return bytes;
}

GridFileType Detect(const std::vector<unsigned char>& bytes) {
  return DetectGridFileType(bytes.data(), std::min(bytes.size(), kGridLeadBytes));
}

TEST(GridFormatDetection, RecognisesEachFormFromItsLeadingBytesOnly) {
  EXPECT_EQ(Detect(Bytes(std::string("CDF\x01rest", 8))), kGridNetcdf);
  EXPECT_EQ(Detect(Bytes("\x89HDF\r\n\x1a\n")), kGridNetcdf);
  EXPECT_EQ(Detect(Bytes("ncols 3\nnrows 2\n")), kGridAscii);
  EXPECT_EQ(Detect(Bytes("NCOLS 3\n")), kGridAscii);
  // Editors that save UTF-8 put a byte-order mark before the text.
  EXPECT_EQ(Detect(Bytes("\xEF\xBB\xBFncols 3\n")), kGridAscii);
  EXPECT_EQ(Detect(Bytes("GIF89a\x02\x00")), kGridGif);
  EXPECT_EQ(Detect(BinaryHeader<double>(N, 96)), kGridBinaryDouble);
  EXPECT_EQ(Detect(BinaryHeader<float>(N, 48)), kGridBinarySingle);
  // Text that merely contains "CDF" or "HDF" is no netCDF file (a substring search that
  // answers 0 for "absent" took every such file for one).
  EXPECT_EQ(Detect(Bytes("just some text, no grid\n")), kGridUnknown);
  EXPECT_EQ(Detect(Bytes("xCDF and HDF inside")), kGridUnknown);
  EXPECT_EQ(Detect({}), kGridUnknown);
  // A binary grid needs its whole header and exactly -9999 as value 6.
  EXPECT_EQ(Detect(BinaryHeader<double>(N, 95)), kGridUnknown);
  EXPECT_EQ(Detect(BinaryHeader<float>(N, 47)), kGridUnknown);
  EXPECT_EQ(Detect(BinaryHeader<double>(-9999.5, 96)), kGridUnknown);
  EXPECT_EQ(DecodeBinaryHeader(BinaryHeader<float>(N, 48).data(), false)[5], N);
}

// A name that says a form other than the file's is said (a state written as ASCII under the
// ".dbl" and ".stk" names a binary state would have); a name that says none, or the same, is not.
TEST(GridFormatDetection, ANameOfAnotherFormIsSaid) {
  const GridFileType forms[] = {kGridAscii, kGridBinaryDouble, kGridBinarySingle, kGridNetcdf};
  const std::pair<const char*, std::vector<GridFileType>> names[] = {
      {"out/theta.asc", {kGridAscii}},
      {"out/theta.DBL", {kGridBinaryDouble}},
      {"theta.flt", {kGridBinarySingle}},
      {"./qunten.stk", {kGridBinaryDouble, kGridBinarySingle}},
      {"dem.grd", {kGridAscii, kGridBinaryDouble, kGridBinarySingle, kGridNetcdf}},
      {"a.dbl/dem", {kGridAscii, kGridBinaryDouble, kGridBinarySingle, kGridNetcdf}}};
  for (const auto& [name, agreeing] : names)
    for (const GridFileType form : forms) {
      const bool agrees = std::find(agreeing.begin(), agreeing.end(), form) != agreeing.end();
      const std::string said = FormNameDisagreement(name, form);
      EXPECT_EQ(said.empty(), agrees) << name << " " << form << ": " << said;
      if (!agrees) {
        EXPECT_NE(said.find(std::string("the file ") + name + " holds "), said.npos);
      }
    }
  EXPECT_EQ(FormNameDisagreement("hh.stk", kGridAscii),
            "the file hh.stk holds ASCII values under a name of binary stacks (.stk): it is read "
            "as what it holds");
}

TEST(AsciiHeader, ReadsFloatFormattedNumbersAndAnyKeyCase) {
  const std::string text =
      "ncols         3\nnrows         4\nxllcorner     1.\nyllcorner     2.\n"
      "cellsize      10.\nNODATA_value  -9999\n0. 1. 2.\n";
  const AsciiHeaderResult header = ParseAsciiHeader(text);
  ASSERT_EQ(header.failed_pair, 0) << header.reason;
  EXPECT_EQ(header.values, (GridHeader6{3, 4, 1, 2, 10, N}));
  EXPECT_EQ(text.substr(header.data_offset, 4), "\n0. ");
  const AsciiHeaderResult marked = ParseAsciiHeader("\xEF\xBB\xBF" + text);
  ASSERT_EQ(marked.failed_pair, 0) << marked.reason;
  EXPECT_EQ(marked.values, header.values);
  EXPECT_EQ(marked.data_offset, header.data_offset + 3);
}

TEST(AsciiHeader, MissingNodataLineDefaultsAndCentresBecomeCorners) {
  const AsciiHeaderResult plain =
      ParseAsciiHeader("NCOLS 3\nNROWS 4\nXLLCORNER 1\nYLLCORNER 2\nCELLSIZE 10\n0 1 2\n");
  ASSERT_EQ(plain.failed_pair, 0) << plain.reason;
  EXPECT_EQ(plain.values[5], kAsciiDefaultNodata);
  const AsciiHeaderResult centred = ParseAsciiHeader(
      "ncols 2\nnrows 2\nxllcenter 105\nyllcenter 205\ncellsize 10\nnodata_value -1\n1 2 3 4");
  ASSERT_EQ(centred.failed_pair, 0) << centred.reason;
  EXPECT_EQ(centred.values[2], 100.0);
  EXPECT_EQ(centred.values[3], 200.0);
  EXPECT_EQ(centred.values[5], -1.0);
}

TEST(AsciiHeader, NamesThePairThatFails) {
  EXPECT_EQ(ParseAsciiHeader("ncols 3\nncolumns 2\n").failed_pair, 2);
  EXPECT_EQ(ParseAsciiHeader("ncols 3\nnrows 2\nncols 4\n").failed_pair, 3);
  EXPECT_EQ(ParseAsciiHeader("").reason, "no ncols");
}

TEST(AsciiCells, ReadsRowsAndPointsAtTheFirstBadCell) {
  test::CapturedDiag d;
  GridMatrix grid(d.diag, 1, 2, 3, 2);
  const std::string good = " 1 +2 3e1\r\n-4.5\t.5 -9999 \n\n";
  AsciiCellResult result = ParseAsciiCells(good, 0, 2, 3, grid.get());
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(grid[1][2], 2.0);
  EXPECT_EQ(grid[1][3], 30.0);
  EXPECT_EQ(grid[2][1], -4.5);
  EXPECT_EQ(grid[2][3], N);

  // Failures the reader tests below do not reach: the cell a decimal comma or "nan" stands in,
  // and values left over after the last row; the check without a target agrees.
  result = ParseAsciiCells("1 2,5 3\n4 5 6", 0, 2, 3, grid.get());
  EXPECT_EQ(std::pair(result.row, result.col), std::pair(int64_t{1}, int64_t{2}));
  result = ParseAsciiCells("1 2 3\n4 nan 6", 0, 2, 3, nullptr);
  EXPECT_EQ(std::pair(result.row, result.col), std::pair(int64_t{2}, int64_t{2}));
  // A cell is read as every other number is (core/number_reader.h): "+-1" is none.
  result = ParseAsciiCells("1 2 3\n4 5 +-1", 0, 2, 3, nullptr);
  EXPECT_EQ(std::pair(result.row, result.col), std::pair(int64_t{2}, int64_t{3}));
  EXPECT_TRUE(ParseAsciiCells("1 2 3\n4 5 6 7", 0, 2, 3, nullptr).trailing);
}

// Text that arrives in pieces of 1 to 5 bytes through a buffer of 8 bytes, so that words are cut
// at every place: the same cells and failures as the text in memory, the file's nodata value
// (-1) replaced (by -7) as it is read, and a word longer than the buffer failing at its cell.
TEST(AsciiCells, TextInPiecesReadsAsTheTextInMemory) {
  test::CapturedDiag d;
  struct Case {
    std::string text;
    int64_t row, col;  // the failing cell, 0: read
    bool trailing;
  };
  const Case cases[] = {{" 1 +2 3e1\r\n-4.5\t-1 -9999 \n\n", 0, 0, false},
                        {"1 2 3\n4 5", 2, 3, false},
                        {"1 2 3\n4 nan 6", 2, 2, false},
                        {"1 2 3\n4 5 6 7", 2, 3, true},
                        {"1 2 3\n4 5 6 123456789", 2, 3, true},
                        {"1 2 3\n4 1.000000000 6", 2, 2, false}};
  for (const Case& c : cases) {
    for (std::size_t piece = 1; piece <= 5; ++piece) {
      GridMatrix grid(d.diag, 1, 2, 3, 2);
      std::size_t at = 2;  // behind the start
      const AsciiTextSource more = [&](char* to, std::size_t size) {
        const std::size_t n = std::min({size, piece, c.text.size() - at});
        c.text.copy(to, n, at);
        at += n;
        return n;
      };
      const AsciiCellResult result =
          ParseAsciiCellStream(c.text.substr(0, 2), more, 2, 3, grid.get(), -1, -7, 8);
      EXPECT_EQ(std::tuple(result.ok, result.row, result.col, result.trailing),
                std::tuple(c.row == 0, c.row, c.col, c.trailing))
          << c.text << " in pieces of " << piece;
      if (c.row == 0) {
        EXPECT_EQ(grid[1][3], 30.0);
        EXPECT_EQ(grid[2][1], -4.5);
        EXPECT_EQ(grid[2][2], -7.0);
        EXPECT_EQ(grid[2][3], -9999.0);
      }
    }
  }
}

TEST(GridHeaderChecks, RefusesSizesThatAreNoCellCounts) {
  EXPECT_EQ(CheckGridHeader({3, 4, 0, 0, 10, N}), "");
  EXPECT_THAT(CheckGridHeader({-5, 4, 0, 0, 10, N}), HasSubstr("ncols"));
  EXPECT_THAT(CheckGridHeader({2.5, 4, 0, 0, 10, N}), HasSubstr("ncols"));
  EXPECT_THAT(CheckGridHeader({3, 1e12, 0, 0, 10, N}), HasSubstr("nrows"));
  EXPECT_THAT(CheckGridHeader({3, 4, 0, 0, 0, N}), HasSubstr("cellsize"));
}

TEST(GridGeometryTest, RegularWhenSizesWholeCornersAndCellSizeAgree) {
  const GridGeometry model{4, 3, 3500, 7000, 100, N};
  EXPECT_TRUE(IsRegularGrid({4, 3, 3500.5, 7000.9, 100, N}, model));
  // The file's own nodata value does not matter: its cells are mapped onto the model's.
  EXPECT_TRUE(IsRegularGrid({4, 3, 3500, 7000, 100, -1}, model));
  EXPECT_FALSE(IsRegularGrid({4, 3, 3501, 7000, 100, N}, model));
  EXPECT_FALSE(IsRegularGrid({4, 3, 3500, 7000, 50, N}, model));
  EXPECT_FALSE(IsRegularGrid({5, 3, 3500, 7000, 100, N}, model));
}

TEST(GridGeometryTest, SinglePrecisionHeadersAreComparedAsFloats) {
  // A geographic cell size (3 arc-seconds) is no float: the float header of a grid that the
  // model wrote differs from the model's double, and is still the model's grid.
  const double cs = 0.000833333333;
  const GridGeometry model{144, 144, -105.560416666684, 40.090416666671, cs, N};
  const auto as_float = [](double v) { return static_cast<double>(static_cast<float>(v)); };
  const GridHeader6 header{144, 144, as_float(model.xll), as_float(model.yll), as_float(cs), N};
  ASSERT_NE(header[4], cs);
  EXPECT_TRUE(IsRegularGrid(header, model, true));
  EXPECT_FALSE(IsRegularGrid(header, model, false));
  EXPECT_FALSE(IsRegularGrid({144, 144, -106, 40, as_float(cs * 2), N}, model, true));
  // A corner beyond every integer type is compared without conversion.
  EXPECT_FALSE(IsRegularGrid({144, 144, -1.7e308, 40, cs, N}, model));
}

TEST(HeaderNumbers, KeepTheFixedFormUnlessItLosesDigits) {
  EXPECT_EQ(FormatHeaderNumber(3500), "3500.000000");
  EXPECT_EQ(FormatHeaderNumber(-9999), "-9999.000000");
  for (double value : {0.000833333333, -105.560416666684, 40.090416666671, 0.1, 1e-9}) {
    const std::string text = FormatHeaderNumber(value);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
  EXPECT_EQ(FormatAsciiHeader({3, 2, 0.5, -7, 1000, N}),
            "ncols\t3\nnrows\t2\nxllcorner\t0.500000\nyllcorner\t-7.000000\n"
            "cellsize\t1000.000000\nnodata_value\t-9999.000000\n");
}

// ---- Hole filling ------------------------------------------------------------------------------

class HoleFillingTest : public test::DiagTest {
 protected:
  GridMatrix Grid(int rows, int cols, double value) {
    return test::FilledGrid(diag_, rows, cols, value);
  }
  int Fill(GridMatrix& grid, GridMatrix& reference, const HoleFilling& how, int64_t* holes) {
    return test::ThrownCode(
        [&] {
          *holes = FillNodataHoles(diag_, nullptr, "g.asc", grid.get(), reference.get(),
                                   static_cast<int32_t>(grid.last_row()),
                                   static_cast<int32_t>(grid.ncols()), N, how);
        },
        0);
  }
};

TEST_F(HoleFillingTest, SearchVisitsTheCellStraightAboveFirstAtEachStep) {
  GridMatrix grid = Grid(9, 9, N);
  grid[2][5] = 7;  // three rows above the hole at (5, 5)
  grid[8][1] = 9;  // reached at k = 3 too, but later
  double value = 0;
  ASSERT_TRUE(FindNeighbourValue(grid.get(), 9, 9, 5, 5, N, value));
  EXPECT_EQ(value, 7);
  // In row i the columns j-1..j+1 come before row i+1 (columns j-2..j+2).
  GridMatrix near = Grid(5, 5, N);
  near[4][1] = 1;
  near[3][4] = 2;
  ASSERT_TRUE(FindNeighbourValue(near.get(), 5, 5, 3, 3, N, value));
  EXPECT_EQ(value, 2);
}

TEST_F(HoleFillingTest, StrictFillTakesNeighboursAndFailsOnHolesTooBig) {
  GridMatrix reference = Grid(13, 3, 1);
  GridMatrix grid = Grid(13, 3, N);
  grid[1][1] = grid[1][2] = grid[1][3] = 5;  // the only values: 12 rows above the hole
  for (int r = 2; r <= 13; ++r) reference[r][1] = reference[r][3] = N;
  for (int r = 2; r <= 12; ++r) reference[r][2] = N;
  int64_t holes = 0;
  EXPECT_EQ(Fill(grid, reference, {1, true, 0}, &holes), kHoleTooBigCode);
  EXPECT_THAT(screen_.str(), HasSubstr("In g.asc is a too big hole at x/y = 2/13!"));
  // Within reach the value is taken, holes outside the domain stay nodata.
  grid[11][2] = 4;
  ASSERT_EQ(Fill(grid, reference, {1, true, 0}, &holes), 0);
  EXPECT_EQ(holes, 1);
  EXPECT_EQ(grid[13][2], 4);
  EXPECT_EQ(grid[12][2], N);
  EXPECT_THAT(screen_.str(), HasSubstr("y: 13 x: 2in g.asc: -9999 replaced by 4"));
}

TEST_F(HoleFillingTest, FillValueAndCellsOutsideTheDomain) {
  GridMatrix reference = Grid(2, 3, 1);
  reference[1][1] = N;
  GridMatrix grid = Grid(2, 3, 3);
  int64_t holes = 0;
  // No hole: even the cell outside the domain keeps its value.
  ASSERT_EQ(Fill(grid, reference, {2, false, 0.5}, &holes), 0);
  EXPECT_EQ(holes, 0);
  EXPECT_EQ(grid[1][1], 3);
  // One hole: it gets the fill value (mode 2, and mode 1 without strictness), and the cell
  // outside the domain becomes nodata.
  for (const HoleFilling how : {HoleFilling{2, true, 0.5}, HoleFilling{1, false, 0.5}}) {
    grid[2][2] = N;
    grid[1][1] = 3;
    ASSERT_EQ(Fill(grid, reference, how, &holes), 0);
    EXPECT_EQ(holes, 1);
    EXPECT_EQ(grid[2][2], 0.5);
    EXPECT_EQ(grid[1][1], N);
    EXPECT_EQ(grid[2][3], 3);
  }
}

// ---- Bad input through the reader ---------------------------------------------------------------

class BadInputTest : public test::DiagTest {
 protected:
  BadInputTest() {
    object_.SetModuleName("reader test");
    object_.ncols = 3;
    object_.nrows = 2;
    object_.cellsize = 10;
    object_.nodata = N;
    object_.first_local_row = 1;
    object_.last_local_row = 2;
    previous_sleep_ = SetOpenRetrySleep([this](int ms) { waits_.push_back(ms); });
  }
  ~BadInputTest() override { SetOpenRetrySleep(previous_sleep_); }

  // Reads `name` from the test directory; the thrown code, or 0. The grid is freed.
  int Read(const std::string& name, int fill_mode = 0) {
    double** grid = nullptr;
    const int code = test::ThrownCode(
        [&] {
          object_.ReadGrid(dir_ / name, grid, fill_mode, true, true, true, 0, false, false, 0.0);
        },
        0);
    FreeMatrix(grid);
    return code;
  }
  void Write(const std::string& name, const std::string& content) {
    test::WriteFile(dir_ / name, content);
  }
  template <class T>
  void WriteBinary(const std::string& name, std::size_t values) {
    std::vector<T> data(12 + values, 1);
    const T header[12] = {3, 2, 0, 0, 10, static_cast<T>(N), 0, 0, 0, 0, 0, 0};
    std::copy(header, header + 12, data.begin());
    std::string bytes(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(T));
    Write(name, bytes);
  }

  modelobject object_{&diag_, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr};
  OpenRetrySleep previous_sleep_;
  std::vector<int> waits_;
};

constexpr const char* kHeader3x2 =
    "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n";

TEST_F(BadInputTest, MissingFileIsTriedSixTimesWithoutRealWaits) {
  EXPECT_EQ(Read("absent.asc"), 21);
  EXPECT_EQ(waits_, std::vector<int>(5, 200));
  const std::string screen = screen_.str();
  // The retries are warnings; only the last failure is FATAL.
  const std::string file = test::ReadFile(diag_.file_name());
  const std::string name = dir_ / "absent.asc";
  for (int left = 5; left >= 1; --left)
    EXPECT_THAT(file,
                HasSubstr(test::DiagnosticsLine(kLevelWarning, "error opening " + name +
                                                                   ": No such file or directory"
                                                                   ". Will try again in 200 ms... "
                                                                   "(retriesleft = " +
                                                                   std::to_string(left) + ")")));
  EXPECT_THAT(file, ::testing::Not(HasSubstr("level=\"0\" description= \"error opening")));
  // The system's reason is named.
  EXPECT_THAT(screen, HasSubstr("still error opening " + (dir_ / "absent.asc") +
                                ": No such file or directory - no retry."));
}

void CountInterrupt(int) {}

TEST_F(BadInputTest, SigintIsHeldBackWhileTheFileIsOpenedAndRestoredAfterAFailure) {
  struct sigaction mine {};
  mine.sa_handler = CountInterrupt;
  sigemptyset(&mine.sa_mask);
  struct sigaction before {};
  sigaction(SIGINT, &mine, &before);
  std::vector<bool> ignored;  // neither the caller's handler nor the default action
  SetOpenRetrySleep([&](int) {
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    ignored.push_back(now.sa_handler != &CountInterrupt && now.sa_handler != SIG_DFL);
  });
  EXPECT_EQ(Read("absent.asc"), 21);
  struct sigaction after {};
  sigaction(SIGINT, &before, &after);
  EXPECT_EQ(ignored, std::vector<bool>(5, true));
  EXPECT_EQ(after.sa_handler, &CountInterrupt);
}

TEST_F(BadInputTest, DirectoryAndEmptyFileAreRefused) {
  std::filesystem::create_directory(dir_ / "folder.asc");
  EXPECT_EQ(Read("folder.asc"), 21);
  EXPECT_TRUE(waits_.empty());
  Write("empty.asc", "");
  EXPECT_EQ(Read("empty.asc"), 22);
  EXPECT_THAT(screen_.str(), HasSubstr("could not recognise file format (neither ascii, nor "
                                       "single, double, or GIF) for " +
                                       (dir_ / "empty.asc")));
}

TEST_F(BadInputTest, MalformedAsciiFilesEndInTheirMessage) {
  struct Case {
    const char* name;
    std::string content;
    const char* message;
  };
  const Case cases[] = {
      {"truncated.asc", std::string(kHeader3x2) + "1 2 3\n4 5", "in ASCII-Format in row 2, col 3"},
      {"text.asc", std::string(kHeader3x2) + "1 2 3\n4 five 6\n",
       "in ASCII-Format in row 2, col 2"},
      {"extra.asc", std::string(kHeader3x2) + "1 2 3 4\n5 6 7 8\n", "more values than 2 rows"},
      {"nokey.asc", "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\n1 2 3\n4 5 6\n",
       "error reading ascii value #5 from"},
      {"badkey.asc", "ncols 3\nnrows two\n", "error reading ascii value #2 from"},
      {"negative.asc", "ncols -3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 10\n1\n",
       "invalid header in grid file"},
      {"huge.asc", "ncols 100000\nnrows 100000\nxllcorner 0\nyllcorner 0\ncellsize 10\n1 2\n",
       "in ASCII-Format in row 1, col 3"},
  };
  for (const Case& c : cases) {
    Write(c.name, c.content);
    EXPECT_EQ(Read(c.name), 22) << c.name;
    EXPECT_THAT(screen_.str(), HasSubstr(c.message)) << c.name;
  }
}

TEST_F(BadInputTest, ShortBinaryFiles) {
  // Shorter than its header: not a binary grid at all.
  Write("stub.bin", std::string(40, '\0'));
  EXPECT_EQ(Read("stub.bin"), 22);
  EXPECT_THAT(screen_.str(), HasSubstr("could not recognise file format"));
  // A header, but fewer values than it announces.
  WriteBinary<double>("short.dbl", 5);
  EXPECT_EQ(Read("short.dbl"), 22);
  EXPECT_THAT(screen_.str(), HasSubstr("error reading double grid " + (dir_ / "short.dbl")));
  WriteBinary<float>("short.flt", 5);
  EXPECT_EQ(Read("short.flt", 1), 22);
  WriteBinary<float>("whole.flt", 6);
  EXPECT_EQ(Read("whole.flt"), 0);
}

// A netCDF-4 file of a few kilobytes declaring a time x y x x variable of the given size, with
// nothing written (compressed chunks of fill values).
void WriteHugeNetcdf(const std::string& path, std::size_t rows, std::size_t cols) {
  int file = 0, dims[3] = {}, var = 0;
  ASSERT_EQ(nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, &file), NC_NOERR);
  nc_def_dim(file, "time", 1, &dims[0]);
  nc_def_dim(file, "y", rows, &dims[1]);
  nc_def_dim(file, "x", cols, &dims[2]);
  nc_def_var(file, "v", NC_FLOAT, 3, dims, &var);
  const std::size_t chunks[3] = {1, 1000, 1000};
  nc_def_var_chunking(file, var, NC_CHUNKED, chunks);
  nc_def_var_deflate(file, var, 0, 1, 1);
  ASSERT_EQ(nc_close(file), NC_NOERR);
}

// Headers that ask for far more than the file holds: each fails with its reader's entry before
// anything of that size is allocated, and no size computation overflows.
TEST_F(BadInputTest, OversizedHeadersFailBeforeAllocating) {
  const double largest = 2147483647.0;
  const double huge_double[12] = {largest, largest, 0, 0, 10, N, 0, 0, 0, 0, 0, 0};
  Write("huge.dbl", std::string(reinterpret_cast<const char*>(huge_double), sizeof huge_double) +
                        std::string(32, '\0'));  // 128 bytes
  Write("huge.gif", test::GifHeader("89a", 65535, 65535, -1) +
                        std::string("\x2C\0\0\0\0\xFF\xFF\xFF\xFF\0\x02\x00\x3B", 13));
  WriteHugeNetcdf(dir_ / "huge.nc", 200000, 200000);
  Write("far.asc",
        "ncols 3\nnrows 2\nxllcorner -1.7e308\nyllcorner 0\ncellsize 10\n1 2 3\n4 5 6\n");
  struct Case {
    const char* name;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"huge.dbl", 22, "error reading (irregular) float  grid " + (dir_ / "huge.dbl")},
      {"huge.gif", 22, "cannot be filled by the"},
      // A netCDF slice outside interpolation method 9 is refused before its sizes are looked at.
      {"huge.nc<v>0", 22, "netCDF grid " + (dir_ / "huge.nc") + "<v>0 cannot be read here"},
      // A corner far beside the model area: no cell of the file lies over the model's.
      {"far.asc", 22, "it covers x -1.7e+308 to -1.7e+308, y 0 to 20, none of the model grid"},
  };
  for (const Case& c : cases) {
    screen_.str("");
    EXPECT_EQ(Read(c.name), c.code) << c.name;
    EXPECT_THAT(screen_.str(), HasSubstr(c.message)) << c.name;
  }
  EXPECT_LE(std::filesystem::file_size(dir_ / "huge.nc"), 100000u);
}

TEST_F(BadInputTest, FillingWithoutReferenceGridFailsClearly) {
  Write("ok.asc", std::string(kHeader3x2) + "1 2 3\n4 -9999 6\n");
  EXPECT_EQ(Read("ok.asc", 1), 33);  // no registry at all
  GridRegistry registry;
  object_.registry = &registry;
  EXPECT_EQ(Read("ok.asc", 2), 33);  // entry 1 not registered yet
  EXPECT_THAT(screen_.str(), HasSubstr("reference grid"));
}

}  // namespace
}  // namespace velorn

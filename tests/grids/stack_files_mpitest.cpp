// Stack files on 1 to 4 processes over a basin with holes: binary stacks (double and single)
// written by all processes through MPI-IO must be exactly the file that one process writes,
// cell for cell at the offsets of the file layout, with nodata outside the domain; ASCII stacks
// pass through process 0; both read back into every process's own cells. Bad files fail with
// the same code on every process, and dated stack names never overwrite each other.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <netcdf>
#include <sstream>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/modelobject.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataStackFiles = -9999.0;
constexpr int kRows = 17;
constexpr int kColsStackFiles = 21;
constexpr int kLevels = 3;  // levels 0..3: four values per cell
constexpr double kXll = 4500000.0;
constexpr double kYll = 5200000.0;
constexpr double kCell = 100.0;

using test::Rank;
using test::ThrownCode;

// A value exact in single precision and in "%lg".
double V(int r, int c, int k) {
  return r * 100.0 + c + k * 0.25;
}

bool Hole(int r, int c) {
  if (r == 7) return c % 2 == 0;  // a row of single cells between holes
  return (r * 3 + c * 5) % 11 == 0 || (c < 4 && r > 13) || (r < 3 && c > 17);
}

template <class T>
void Append(std::string& bytes, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  bytes.append(raw, sizeof(T));
}

// The binary stack file of V over the domain and nodata elsewhere, built from the file layout
// alone: twelve header values, then per row, per column, levels 0..L.
template <class T>
std::string ExpectedBinary() {
  std::string bytes;
  const double header[12] = {
      kColsStackFiles, kRows, kXll, kYll, kCell, kNodataStackFiles, 0, 0, 0, 0, 0, kLevels};
  for (double h : header) Append<T>(bytes, static_cast<T>(h));
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kColsStackFiles; ++c)
      for (int k = 0; k <= kLevels; ++k)
        Append<T>(bytes, static_cast<T>(Hole(r, c) ? kNodataStackFiles : V(r, c, k)));
  return bytes;
}

// Keeps the grids that the write-code output hands to the grid writers on process 0.
class RecordingObject : public modelobject {
 public:
  using modelobject::modelobject;
  void WriteGrid(const std::string& name, double** grid, bool, bool, bool) override {
    written[name] = Copy(grid);
  }
  void WriteGridMasked(const std::string& name, double** grid, bool, bool, bool) override {
    written[name] = Copy(grid);
  }
  void WriteGridRows(const std::string& name, const std::function<double*(int32_t)>& rows, double**,
                     bool, bool, bool, bool) override {
    std::vector<double> values;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c) values.push_back(rows(r)[c]);
    written[name] = values;
  }
  std::map<std::string, std::vector<double>> written;  // rows 1..17 x columns 1..21

 private:
  static std::vector<double> Copy(double** grid) {
    std::vector<double> values;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c) values.push_back(grid[r][c]);
    return values;
  }
};

struct StackFiles : ::testing::Test, test::CapturedDiag {
  StackFiles() : CapturedDiag(test::TempDir::Shared()) {}

  GridRegistry registry;
  MpiLayout layout;
  GridMatrix zone;
  GridMatrix elevation;
  RecordingObject object{&diag,
                         "run.ctl",
                         0,
                         false,
                         true,
                         false,
                         dir.path().string() + "/",
                         dir.path().string() + "/",
                         &layout,
                         0,
                         nullptr};

  void SetUp() override {
    zone = GridMatrix(diag, 1, kRows, kColsStackFiles, kRows);
    elevation = GridMatrix(diag, 1, kRows, kColsStackFiles, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c) {
        zone[r][c] = Hole(r, c) ? kNodataStackFiles : 1 + (c > 10);
        elevation[r][c] = 300.0 - r;
      }
    const RegionGeometry geometry{kColsStackFiles, kRows, kNodataStackFiles};
    const RegionGrids grids =
        Rank() == 0 ? RegionGrids{zone.get(), elevation.get(), nullptr} : RegionGrids{};
    layout = std::move(DecomposeRegions(diag, geometry, grids, 1.0).layout);
    object.SetModuleName("unsatzon");
    object.registry = &registry;
    object.ncols = kColsStackFiles;
    object.nrows = kRows;
    object.xll = kXll;
    object.yll = kYll;
    object.cellsize = kCell;
    object.nodata = kNodataStackFiles;
    object.first_local_row = layout.first_row;
    object.last_local_row = layout.last_row;
    object.RegisterGrid(1, "zone.asc", zone.get(), nullptr, 0, "zone", 0, 1, kRows);
    RegisterMpiGrids(diag, registry, layout);
  }

  bool Own(int r, int c) const {
    return r >= layout.first_row && r <= layout.last_row && layout.regions[r][c] == Rank();
  }
  // This process's rows, with V in its own cells and junk elsewhere (never to be written).
  StackMatrix LocalStack() {
    StackMatrix stack(diag, layout.first_row, layout.last_row, kColsStackFiles, kLevels, kRows);
    for (int r = layout.first_row; r <= layout.last_row; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c)
        for (int k = 0; k <= kLevels; ++k) stack[r][c][k] = Own(r, c) ? V(r, c, k) : 5.5;
    return stack;
  }
  // Every own cell of a stack read back holds V.
  void ExpectOwnCells(double*** stack) {
    for (int r = layout.first_row; r <= layout.last_row; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c)
        for (int k = 0; k <= kLevels && Own(r, c); ++k)
          ASSERT_EQ(stack[r][c][k], V(r, c, k)) << r << "," << c;
  }
  std::string Path(const std::string& name) const { return dir / name; }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }
};

TEST_F(StackFiles, BinaryStacksAreTheSameFileOnAnyNumberOfProcessesAndReadBack) {
  StackMatrix stack = LocalStack();
  object.WriteStack("theta_d.stk", stack.get(), kLevels, false, true, false);
  object.WriteStack("theta_f.stk", stack.get(), kLevels, false, false, false);
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() == 0) {
    const std::string doubles = test::ReadFile(Path("theta_d.stk"));
    EXPECT_EQ(doubles.size(), (kColsStackFiles * kRows * (kLevels + 1) + 12) * 8u);
    EXPECT_TRUE(doubles == ExpectedBinary<double>()) << "double stack differs from the layout";
    EXPECT_TRUE(test::ReadFile(Path("theta_f.stk")) == ExpectedBinary<float>())
        << "single stack differs from the layout";
  }
  for (const char* name : {"theta_d.stk", "theta_f.stk"}) {
    double*** read = nullptr;
    EXPECT_EQ(object.ReadStack(name, read, false), kLevels);
    ExpectOwnCells(read);
    Free3dMatrix(read);
  }
}

TEST_F(StackFiles, AnOlderLongerFileIsCutToTheStackSize) {
  if (Rank() == 0) test::WriteFile(Path("old.stk"), std::string(100000, 'x'));
  MPI_Barrier(MPI_COMM_WORLD);
  StackMatrix stack = LocalStack();
  object.WriteStack("old.stk", stack.get(), kLevels, false, true, false);
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() == 0) {
    EXPECT_TRUE(test::ReadFile(Path("old.stk")) == ExpectedBinary<double>());
  }
}

TEST_F(StackFiles, WholeOnRootGivesProcessZeroEveryRow) {
  StackMatrix stack = LocalStack();
  object.WriteStack("whole.stk", stack.get(), kLevels, false, true, false);
  double*** read = nullptr;
  ASSERT_EQ(object.ReadStack("whole.stk", read, true), kLevels);
  if (Rank() == 0) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c)
        ASSERT_EQ(read[r][c][2], Hole(r, c) ? kNodataStackFiles : V(r, c, 2)) << r << "," << c;
  } else {
    ExpectOwnCells(read);
  }
  Free3dMatrix(read);
}

TEST_F(StackFiles, AsciiStackOutputIsGatheredAndReadsBackWithNodataInForeignCells) {
  object.write_ascii = true;
  StackMatrix stack = LocalStack();
  const int index = registry.FirstFreeIndex();
  object.RegisterGrid(index, "theta.stk", nullptr, stack.get(), kLevels, "theta", 1,
                      layout.first_row, layout.last_row);
  object.WriteStackOutput(index);
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() == 0) {
    std::istringstream text(test::ReadFile(Path("theta.stk")));
    std::string line;
    std::getline(text, line);
    EXPECT_EQ(line, "stack_ncols\t21.000000");
    for (int i = 0; i < 10; ++i) std::getline(text, line);
    EXPECT_EQ(line, "average\t0.000000");
    std::getline(text, line);
    EXPECT_EQ(line, "numlevels\t3.000000");
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c)
        for (int k = 0; k <= kLevels; ++k) {
          ASSERT_TRUE(std::getline(text, line));
          char expected[32];
          std::snprintf(expected, sizeof expected, "%lg",
                        Hole(r, c) ? kNodataStackFiles : V(r, c, k));
          ASSERT_EQ(line, expected) << r << "," << c << "," << k;
        }
    EXPECT_FALSE(std::getline(text, line));
  }
  double*** read = nullptr;
  ASSERT_EQ(object.ReadStack("theta.stk", read, false), kLevels);
  ExpectOwnCells(read);
  if (Rank() != 0) {
    for (int r = layout.first_row; r <= layout.last_row; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c)
        if (!Own(r, c)) {
          ASSERT_EQ(read[r][c][kLevels], kNodataStackFiles) << r << "," << c;
        }
  }
  Free3dMatrix(read);
}

TEST_F(StackFiles, AsciiStacksOfGeographicGridsReadBack) {
  object.cellsize = 1.0 / 120;  // "%lf" would give 0.008333, another cell size
  object.xll = 7.123456789;
  object.write_ascii = true;
  StackMatrix stack = LocalStack();
  const int index = registry.FirstFreeIndex();
  object.RegisterGrid(index, "geo.stk", nullptr, stack.get(), kLevels, "geo", 1, layout.first_row,
                      layout.last_row);
  object.WriteStackOutput(index);
  double*** read = nullptr;
  EXPECT_EQ(object.ReadStack("geo.stk", read, false), kLevels);
  ExpectOwnCells(read);
  Free3dMatrix(read);
}

// Binary stacks of a geographic grid: the single-precision header holds the cell size as a
// float and still matches the model; a real mismatch names both sizes with all their digits.
TEST_F(StackFiles, BinaryStacksOfGeographicGridsReadBackAndMismatchesShowTheirDigits) {
  object.cellsize = 0.000833333333;  // 3 arc-seconds, as the SRTM DEM gives it
  object.xll = -105.560416666684;
  StackMatrix stack = LocalStack();
  for (const bool dbl : {false, true}) {
    const std::string name = dbl ? "geo_dbl.stk" : "geo_flt.stk";
    object.WriteStack(name, stack.get(), kLevels, false, dbl, false);
    double*** read = nullptr;
    EXPECT_EQ(ThrownCode([&] { object.ReadStack(name, read, false); }, 0), 0) << name;
    ExpectOwnCells(read);
    Free3dMatrix(read);
  }
  object.cellsize = 0.0008333333333;
  double*** read = nullptr;
  EXPECT_EQ(ThrownCode([&] { object.ReadStack("geo_dbl.stk", read, false); }), 24);
  if (Rank() == 0) {
    EXPECT_NE(test::ReadFile(diag.file_name()).find("0.0008333333333 0.000833333333"),
              std::string::npos);
  }
}

TEST_F(StackFiles, BadFilesFailWithTheSameCodeOnEveryProcess) {
  StackMatrix stack = LocalStack();
  object.WriteStack("good.stk", stack.get(), kLevels, false, true, false);
  if (Rank() == 0) {
    const std::string good = test::ReadFile(Path("good.stk"));
    test::WriteFile(Path("short.stk"), good.substr(0, good.size() - 8));
    std::string coarse = good;
    const double cell = 50.0;
    std::memcpy(coarse.data() + 4 * 8, &cell, 8);
    test::WriteFile(Path("coarse.stk"), coarse);
    test::WriteFile(Path("junk.stk"), std::string(200, '\1'));
    test::WriteFile(Path("tiny.stk"), "stac");
    std::string text =
        "stack_ncols 21\nnrows 17\nxll 4500000\nyll 5200000\ncs 100\n"
        "nodata -9999\ncnt 0\nmin 0\nmax 0\nsum 0\naverage 0\nnumlevels 0\n";
    std::string rest;
    for (int value = 4; value <= 21 * 17; ++value) rest += "0\n";
    test::WriteFile(Path("text_bad.stk"), text + "1\n2\nx3\n" + rest);
    test::WriteFile(Path("text_short.stk"), text + "1\n2\n");
    std::string negative = good;
    const double levels = -2.0;
    std::memcpy(negative.data() + 11 * 8, &levels, 8);
    test::WriteFile(Path("negative.stk"), negative);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const std::pair<const char*, int> cases[] = {
      {"missing.stk", 21}, {"short.stk", 22},    {"coarse.stk", 24},     {"junk.stk", 22},
      {"tiny.stk", 22},    {"text_bad.stk", 22}, {"text_short.stk", 22}, {"negative.stk", 22}};
  for (const auto& [name, code] : cases) {
    double*** read = nullptr;
    EXPECT_EQ(ThrownCode([&] { object.ReadStack(name, read, false); }), code) << name;
    EXPECT_EQ(read, nullptr) << name;
  }
  if (Rank() == 0) {
    const std::string xml = test::ReadFile(diag.file_name());
    EXPECT_NE(xml.find("coarse.stk has not the specified grid measures (in unsatzon)"),
              std::string::npos);
    EXPECT_NE(xml.find("100 50"), std::string::npos) << "cell sizes side by side";
    EXPECT_NE(xml.find("text_bad.stkat row 1, column 3, level 0"), std::string::npos);
    // A file is announced as being read only once it has been opened.
    EXPECT_NE(xml.find("error opening " + Path("missing.stk")), std::string::npos);
    EXPECT_EQ(xml.find("reading " + Path("missing.stk")), std::string::npos);
    EXPECT_NE(xml.find("reading " + Path("short.stk") + " for unsatzon..."), std::string::npos);
  }
  // A binary stack whose directory does not exist cannot be created: code 26 everywhere.
  EXPECT_EQ(ThrownCode([&] {
              object.WriteStack("no/such/dir/x.stk", stack.get(), kLevels, false, true, false);
            }),
            26);
}

TEST_F(StackFiles, DatedStackNamesFollowTheUnitsDigitAndNeverCollide) {
  StackMatrix moisture = LocalStack();
  StackMatrix temperature = LocalStack();
  StackMatrix ice = LocalStack();
  auto add = [&](const char* name, StackMatrix& data, const char* id, int code) {
    const int index = registry.FirstFreeIndex();
    object.RegisterGrid(index, name, nullptr, data.get(), kLevels, id, code, layout.first_row,
                        layout.last_row);
    return index;
  };
  const int soil = add("soil_moisture.stk", moisture, "theta", 2);
  object.SetEndDate(2019, 3, 2, 24);
  object.step_date = ModelDate{2019, 3, 1, 24};
  object.WriteStackOutput(soil);
  object.WriteStackOutput(soil);
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() == 0) {
    EXPECT_TRUE(Exists("soil_20190301.024"));  // the stem is cut to four characters
    EXPECT_TRUE(Exists("soil_20190301.024_001"));
    EXPECT_FALSE(Exists("soil_moisture.stk"));
  }
  // A second stack with the same four letters: both keep their whole stems.
  const int temp = add("soil_temperature.stk", temperature, "tsoil", 5);
  const int frozen = add("ice.stk", ice, "ice", 6);  // units 6 writes no stack
  object.step_date = ModelDate{2019, 3, 2, 24};      // the end of the run
  for (int index : {soil, temp, frozen}) object.WriteStackOutput(index);
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() == 0) {
    EXPECT_TRUE(Exists("soil_moisture_20190302.024"));
    EXPECT_TRUE(Exists("soil_temperature_20190302.024"));
    EXPECT_FALSE(Exists("soil_20190302.024"));
    EXPECT_TRUE(Exists("soil_moisture.stk"));  // and once more under the file name at the end
    EXPECT_TRUE(Exists("soil_temperature.stk"));
    EXPECT_FALSE(Exists("ice.stk"));
    EXPECT_FALSE(Exists("ice_20190302.024"));
    EXPECT_TRUE(test::ReadFile(Path("soil_moisture.stk")) == ExpectedBinary<double>());
  }
}

// Grids and their companions reach process 0 whole: every domain cell from its owner, nodata
// outside the domain, whatever the number of processes.
TEST_F(StackFiles, GridOutputGathersTheGridAndItsCompanionsToProcessZero) {
  const HeldRows held = Rank() == 0 ? HeldRows{1, kRows} : layout.held_rows();
  GridMatrix grid(diag, held.first, held.last, kColsStackFiles, kRows);
  for (int r = held.first; r <= held.last; ++r)
    for (int c = 1; c <= kColsStackFiles; ++c) grid[r][c] = Own(r, c) ? V(r, c, 1) : 7.5;
  const int index = registry.FirstFreeIndex();
  object.RegisterGrid(index, "out.asc", grid.get(), nullptr, 0, "out", 332, held.first,
                      held.last);  // dated grid, monthly sum, minimum and maximum
  object.SetEndDate(2019, 3, 31, 24);
  for (int day : {30, 31}) {
    object.step_date = {2019, 3, day, 24};
    object.WriteGridOutput(index, 1, false);
  }
  if (Rank() != 0) {
    EXPECT_TRUE(object.written.empty());
    return;
  }
  for (const char* name : {"out_20190331.024", "out.asc", "out_201903.sum", "out.min", "out.max"}) {
    ASSERT_EQ(object.written.count(name), 1u) << name;
    const std::vector<double>& values = object.written[name];
    const double factor = std::string(name) == "out_201903.sum" ? 2.0 : 1.0;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kColsStackFiles; ++c)
        ASSERT_EQ(values[(r - 1) * kColsStackFiles + c - 1],
                  Hole(r, c) ? kNodataStackFiles : factor * V(r, c, 1))
            << name << " " << r << "," << c;
  }
}

// netCDF stacks: every level is the next time slice; a second output appends L + 1 more.
TEST_F(StackFiles, NetcdfStackOutputAppendsOneSlicePerLevel) {
  object.write_netcdf = true;
  StackMatrix stack = LocalStack();
  const int index = registry.FirstFreeIndex();
  object.RegisterGrid(index, "soil.stk", nullptr, stack.get(), kLevels, "soil", 1, layout.first_row,
                      layout.last_row);
  object.WriteStackOutput(index);
  object.WriteStackOutput(index);
  MPI_Barrier(MPI_COMM_WORLD);
  if (Rank() != 0) return;
  netCDF::NcFile file(Path("soil.stk.nc"), netCDF::NcFile::read);
  netCDF::NcVar var = file.getVar("soil");
  ASSERT_EQ(file.getDim("t").getSize(), 2u * (kLevels + 1));
  std::vector<double> slice(kColsStackFiles * kRows);
  var.getVar({kLevels + 2, 0, 0}, {1, kColsStackFiles, kRows},
             slice.data());  // level 1, second output
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kColsStackFiles; ++c)
      ASSERT_EQ(slice[(c - 1) * kRows + r - 1], Hole(r, c) ? kNodataStackFiles : V(r, c, 1))
          << r << "," << c;
}

}  // namespace
}  // namespace velorn

// Our grids as another program sees them: `gdalinfo -stats` (GDAL's Arc/Info ASCII Grid driver,
// or the VRT scripts/grid-vrt writes beside the other forms) must find the size, the upper-left
// origin, the cell size, the nodata value and the statistics of the valid cells that we wrote.
// Skipped, with the reason, where gdalinfo is not installed (Debian package gdal-bin).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/matrix.h"
#include "core/modelobject.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double kNodataGdalCheck = -9999.0;

bool GdalinfoInstalled() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/gdalinfo").c_str(), X_OK) == 0) return true;
  return false;
}

std::string Gdalinfo(const std::string& file) {
  std::string output;
  FILE* pipe = popen(("gdalinfo -stats '" + file + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    output.append(buffer, n);
  pclose(pipe);
  return output;
}

// The numbers after `key` on its line of gdalinfo's output ("Origin = (" gives both
// coordinates).
std::vector<double> NumbersAfter(const std::string& output, const std::string& key) {
  const std::size_t at = output.find(key);
  if (at == std::string::npos) return {};
  const std::size_t end = output.find('\n', at);
  const std::string line = output.substr(at + key.size(), end - at - key.size());
  std::vector<double> numbers;
  const char* p = line.c_str();
  while (*p != '\0') {
    char* next = nullptr;
    const double value = std::strtod(p, &next);
    if (next == p) {
      ++p;
    } else {
      numbers.push_back(value);
      p = next;
    }
  }
  return numbers;
}

class GdalCheckTest : public test::DiagTest {
 protected:
  GdalCheckTest() { object_.SetModuleName("gdal check"); }
  void SetUp() override {
    if (!GdalinfoInstalled()) GTEST_SKIP() << "gdalinfo not found (Debian package gdal-bin)";
  }
  void Geometry(int ncols, int nrows, double xll, double yll, double cellsize) {
    test::SetGeometry(object_, ncols, nrows, xll, yll, cellsize, kNodataGdalCheck);
  }
  modelobject object_{&diag_, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr};
};

TEST_F(GdalCheckTest, GdalReadsSizeGeoreferenceNodataAndStatistics) {
  Geometry(5, 4, 3500, 7000, 100);
  GridMatrix grid(diag_, 1, 4, 5, 4);
  std::vector<double> valid;
  for (int r = 1; r <= 4; ++r)
    for (int c = 1; c <= 5; ++c) {
      grid[r][c] = (r + c) % 4 == 0 ? kNodataGdalCheck : 0.5 * r * r + c;
      if (grid[r][c] != kNodataGdalCheck) valid.push_back(grid[r][c]);
    }
  // Rows 3-4 not held: nodata for GDAL as well.
  GridMatrix half(diag_, 1, 2, 5, 4);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 5; ++c) half[r][c] = grid[r][c];
  std::vector<double> half_valid;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 5; ++c)
      if (grid[r][c] != kNodataGdalCheck) half_valid.push_back(grid[r][c]);

  for (const auto& [name, matrix, cells] :
       {std::tuple{"dem.asc", grid.get(), valid}, std::tuple{"half.asc", half.get(), half_valid}}) {
    const std::string file = dir_ / name;
    object_.WriteGrid(file, matrix, true, false, false);
    const std::string info = Gdalinfo(file);
    ASSERT_NE(info.find("Driver: AAIGrid"), std::string::npos) << info;
    EXPECT_EQ(NumbersAfter(info, "Size is"), (std::vector<double>{5, 4})) << info;
    EXPECT_EQ(NumbersAfter(info, "Origin = ("), (std::vector<double>{3500, 7400})) << info;
    EXPECT_EQ(NumbersAfter(info, "Pixel Size = ("), (std::vector<double>{100, -100})) << info;
    EXPECT_EQ(NumbersAfter(info, "NoData Value="), (std::vector<double>{kNodataGdalCheck})) << info;

    double sum = 0, squares = 0;
    for (double v : cells) sum += v;
    const double mean = sum / static_cast<double>(cells.size());
    for (double v : cells) squares += (v - mean) * (v - mean);
    const double deviation = std::sqrt(squares / static_cast<double>(cells.size()));
    const auto stat = [&](const char* key) {
      const std::vector<double> numbers = NumbersAfter(info, key);
      return numbers.empty() ? NAN : numbers[0];
    };
    EXPECT_DOUBLE_EQ(stat("STATISTICS_MINIMUM="), *std::min_element(cells.begin(), cells.end()));
    EXPECT_DOUBLE_EQ(stat("STATISTICS_MAXIMUM="), *std::max_element(cells.begin(), cells.end()));
    EXPECT_NEAR(stat("STATISTICS_MEAN="), mean, 1e-9) << info;
    EXPECT_NEAR(stat("STATISTICS_STDDEV="), deviation, 1e-9) << info;
  }
}

TEST_F(GdalCheckTest, GeographicCornerAndCellSizeKeepTheirDigits) {
  Geometry(3, 2, -105.560416666684, 40.090416666671, 0.000833333333);
  GridMatrix grid(diag_, 1, 2, 3, 2);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) grid[r][c] = 2500 + r * 10 + c;
  const std::string file = dir_ / "geo.asc";
  object_.WriteGrid(file, grid.get(), true, false, false);
  const std::string info = Gdalinfo(file);
  const std::vector<double> origin = NumbersAfter(info, "Origin = (");
  const std::vector<double> pixel = NumbersAfter(info, "Pixel Size = (");
  ASSERT_EQ(origin.size(), 2u) << info;
  ASSERT_EQ(pixel.size(), 2u) << info;
  EXPECT_NEAR(origin[0], -105.560416666684, 1e-12);
  EXPECT_NEAR(origin[1], 40.090416666671 + 2 * 0.000833333333, 1e-12);
  EXPECT_NEAR(pixel[0], 0.000833333333, 1e-15);
}

// scripts/grid-vrt makes every form the model writes readable by GDAL: binary grids and stacks of
// doubles and floats, ASCII stacks and netCDF grids and stacks (an ASCII grid GDAL reads as it
// is). GDAL finds the size, the georeference, the nodata value, one band per level or slice
// (level 0 first) and in each band the values of that level.
TEST_F(GdalCheckTest, GridVrtOpensEveryGridAndStackForm) {
  constexpr int kLevelsVrt = 2;
  Geometry(5, 4, 3500, 7000, 100);
  object_.first_local_row = 1;
  object_.last_local_row = 4;
  const auto value = [](int r, int c, int k) {
    return (r + c) % 4 == 0 ? kNodataGdalCheck : 100.0 * k + 10.0 * r + c + 0.25;
  };
  GridMatrix grid(diag_, 1, 4, 5, 4);
  StackMatrix stack(diag_, 1, 4, 5, kLevelsVrt, 4);
  for (int r = 1; r <= 4; ++r)
    for (int c = 1; c <= 5; ++c) {
      grid[r][c] = value(r, c, 0);
      for (int k = 0; k <= kLevelsVrt; ++k) stack[r][c][k] = value(r, c, k);
    }
  struct Form {
    const char* name;
    bool stack, ascii, dbl, netcdf;
  };
  for (const Form& form :
       {Form{"g.asc", false, true, false, false}, Form{"g.dbl", false, false, true, false},
        Form{"g.flt", false, false, false, false}, Form{"s.stk", true, false, true, false},
        Form{"s.flt", true, false, false, false}, Form{"s.txt", true, true, false, false},
        Form{"g", false, false, false, true}, Form{"s", true, false, true, true}}) {
    std::string file = dir_ / form.name;
    SCOPED_TRACE(file);
    if (form.stack)
      object_.WriteStack(file, stack.get(), kLevelsVrt, form.ascii, form.dbl, form.netcdf);
    else
      object_.WriteGrid(file, grid.get(), form.ascii, form.dbl, form.netcdf);
    if (form.netcdf) file += ".nc";
    const char* source = std::getenv("VELORN_SOURCE_DIR");
    const std::string script = std::string(source != nullptr ? source : ".") + "/scripts/grid-vrt";
    ASSERT_EQ(std::system((script + " '" + file + "' > /dev/null").c_str()), 0);
    const std::string info = Gdalinfo(form.ascii && !form.stack ? file : file + ".vrt");
    EXPECT_EQ(NumbersAfter(info, "Size is"), (std::vector<double>{5, 4})) << info;
    EXPECT_EQ(NumbersAfter(info, "Origin = ("), (std::vector<double>{3500, 7400})) << info;
    EXPECT_EQ(NumbersAfter(info, "Pixel Size = ("), (std::vector<double>{100, -100})) << info;
    const int bands = form.stack ? kLevelsVrt + 1 : 1;
    std::size_t at = 0;
    for (int k = 0; k < bands; ++k) {
      at = info.find("Band " + std::to_string(k + 1) + " ", at);
      ASSERT_NE(at, std::string::npos) << info;
      const std::string band = info.substr(at);
      EXPECT_EQ(NumbersAfter(band, "NoData Value="), (std::vector<double>{kNodataGdalCheck}));
      // Value 10 r + c + 0.25 + 100 k: the lowest valid cell is (1, 1), the highest (4, 5).
      EXPECT_EQ(NumbersAfter(band, "STATISTICS_MINIMUM="), (std::vector<double>{11.25 + 100 * k}));
      EXPECT_EQ(NumbersAfter(band, "STATISTICS_MAXIMUM="), (std::vector<double>{45.25 + 100 * k}));
    }
    EXPECT_EQ(info.find("Band " + std::to_string(bands + 1) + " "), std::string::npos) << info;
  }
}

}  // namespace
}  // namespace velorn

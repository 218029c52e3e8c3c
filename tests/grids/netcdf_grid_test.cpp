// Tests of the netCDF grid files: name derivation, files written by NetcdfGridWriter read back
// by NetcdfGridReader, foreign layouts written here with the netCDF C++ API, and the failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <netcdf>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "grids/netcdf_grid_reader.h"
#include "grids/netcdf_grid_writer.h"
#include "grids/netcdf_names.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using netCDF::NcDim;
using netCDF::NcFile;
using netCDF::NcVar;
using Values = std::vector<double>;

using test::ThrownCode;

// Distinct values per cell and slice k.
Values SliceValues(int rows, int columns, int k) {
  Values v(static_cast<std::size_t>(rows * columns));
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = 1000.0 * k + 0.25 * i - 3.0;
  return v;
}

class NetcdfGridTest : public ::testing::Test, public test::CapturedDiag {
 protected:
  // The grid the reader gives for "file<variable>index" (any text for `index`).
  Values Read(const std::string& file, const std::string& variable, const std::string& index,
              int* rows = nullptr, int* columns = nullptr) {
    std::string input = file + "<" + variable + ">" + index;
    Values values;
    int r = -1, c = -1;
    reader.ReadGrid(values, input, r, c);
    EXPECT_EQ(input, file);  // cut to the file name
    if (rows) *rows = r;
    if (columns) *columns = c;
    return values;
  }
  int ReadCode(std::string input) {
    Values values;
    int rows = 0, columns = 0;
    return ThrownCode([&] { reader.ReadGrid(values, input, rows, columns); });
  }
  void Write(const std::string& file, const std::string& variable, const Values& v, int rows,
             int columns) {
    writer.WriteGrid(true, v.data(), nullptr, file, variable, rows, columns, -9999.0);
  }

  NetcdfGridWriter writer{diag};
  NetcdfGridReader reader{diag};
};

TEST(NetcdfNames, FileAndVariableNames) {
  std::string out;
  MakeNetcdfFileName(out, "out/temp.asc");
  EXPECT_EQ(out, "out/temp.asc.nc");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"out/tsoil_20190101.001", "tsoil"},
      {"/data/out/temp.asc", "temp"},
      {"out/q_down.asc", "q"},
      {"/temp", "temp"},
      {"C:\\run\\out/x\\snow_depth.asc", "snow"},
      // Names that would clash with a coordinate variable keep their "_" part, or get "_grid"
      // when the base name itself is a coordinate name.
      {"out/x_wind.asc", "x_wind"},
      {"out/t_2m_2019.asc", "t_2m_2019"},
      {"out/lat.asc", "lat_grid"},
      {"out/y", "y_grid"},
      {"out/_private.asc", "_private"},
      {"out/X_wind.asc", "X"}};
  for (const auto& [name, expected] : cases) {
    StripNetcdfVariableName(out, name);
    EXPECT_EQ(out, expected) << name;
  }
}

TEST_F(NetcdfGridTest, SlicesAndStackLevelsReadBackInDoubleAndFloat) {
  const int rows = 4, columns = 3;
  writer.SetGeoReference(1000.0, 2000.0, 50.0);
  for (int k = 0; k < 3; ++k) {  // three output times of a grid, a stack of two levels each
    const Values d = SliceValues(rows, columns, k);
    std::vector<float> f(d.begin(), d.end());
    f[0] = 0.1f * (k + 1);  // not exact in double: read back in single precision
    Write(dir / "d.asc.nc", "d", d, rows, columns);
    writer.WriteGrid(false, nullptr, f.data(), dir / "f.asc.nc", "f", rows, columns, -9999.0);
    for (int level = 0; level < 2; ++level)
      Write(dir / "s.nc", "s", SliceValues(2, 2, 10 * k + level), 2, 2);
  }
  for (int k = 0; k < 3; ++k) {
    int r = 0, c = 0;
    EXPECT_EQ(Read(dir / "d.asc.nc", "d", std::to_string(k), &r, &c),
              SliceValues(rows, columns, k));
    EXPECT_EQ(r, rows);
    EXPECT_EQ(c, columns);
    Values expected = SliceValues(rows, columns, k);
    expected[0] = static_cast<double>(0.1f * (k + 1));
    EXPECT_EQ(Read(dir / "f.asc.nc", "f", std::to_string(k)), expected);
    for (int level = 0; level < 2; ++level)
      EXPECT_EQ(Read(dir / "s.nc", "s", std::to_string(2 * k + level)),
                SliceValues(2, 2, 10 * k + level));
  }
  NcFile file(dir / "d.asc.nc", NcFile::read);
  Values t(3), x(columns), y(rows);
  file.getVar("t").getVar(t.data());
  file.getVar("x").getVar(x.data());
  file.getVar("y").getVar(y.data());
  EXPECT_EQ(t, (Values{0, 1, 2}));
  EXPECT_EQ(x, (Values{1000, 1050, 1100}));
  EXPECT_EQ(y, (Values{2150, 2100, 2050, 2000}));
  EXPECT_EQ(file.getVar("d").getType().getId(), NC_DOUBLE);
  EXPECT_EQ(NcFile(dir / "f.asc.nc", NcFile::read).getVar("f").getType().getId(), NC_FLOAT);
}

TEST_F(NetcdfGridTest, FirstWriteOfARunReplacesTheFileLaterWritesAppend) {
  const std::string path = dir / "run.nc";
  test::WriteFile(path, "not a netCDF file");
  for (int run = 0; run < 2; ++run) {
    NetcdfGridWriter run_writer(diag);  // one writer per run
    for (int k = 0; k < 2; ++k)
      run_writer.WriteGrid(true, SliceValues(2, 2, k).data(), nullptr, path, "q", 2, 2, -1.0);
    EXPECT_EQ(NcFile(path, NcFile::read).getDim("t").getSize(), 2u) << "run " << run;
  }
}

TEST_F(NetcdfGridTest, WriteFailuresGiveCode26) {
  const Values v = SliceValues(3, 2, 0);
  const std::string bad = dir / "missing-dir/out.nc";
  EXPECT_EQ(ThrownCode([&] { Write(bad, "v", v, 2, 2); }), 26);
  EXPECT_TRUE(ScreenHas("error creating " + bad + " for writing in netCDF: "));
  EXPECT_TRUE(writer.HasFile(bad));  // remembered before the file was created
  // A later grid of another size under the same name must not land beside the cells.
  const std::string path = dir / "size.nc";
  Write(path, "v", v, 2, 2);
  EXPECT_EQ(ThrownCode([&] { Write(path, "v", v, 3, 2); }), 26);
  EXPECT_EQ(ThrownCode([&] { Write(path, "w", v, 0, 2); }), 26);
  EXPECT_EQ(ThrownCode([&] { writer.WriteGrid(false, v.data(), nullptr, path, "w", 2, 2, -1); }),
            26);
}

// Output of a shell command; false when it failed.
bool RunCommand(const std::string& command, std::string& output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  char chunk[4096];
  std::size_t n = 0;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  return pclose(pipe) == 0;
}

TEST_F(NetcdfGridTest, HeaderOfWrittenFileAsNcdumpShowsIt) {
  std::string ignored;
  if (!RunCommand("command -v ncdump", ignored)) GTEST_SKIP() << "ncdump (netcdf-bin) not found";
  const Values v = SliceValues(2, 3, 0), lat(6, 47.5), lon(6, 11.25);
  const std::vector<float> f(v.begin(), v.end());
  writer.SetLatitudeGrid(lat.data());
  writer.SetLongitudeGrid(lon.data());
  writer.WriteGrid(false, nullptr, f.data(), dir / "h.nc", "temp", 2, 3, -9999.0);
  std::string header;
  ASSERT_TRUE(RunCommand("ncdump -hs '" + (dir / "h.nc") + "'", header)) << header;
  // Dimensions, then variables in definition order, each with its attributes.
  const std::vector<std::string> ordered = {"x = 3 ;",
                                            "y = 2 ;",
                                            "t = UNLIMITED ; // (1 currently)",
                                            "double x(x) ;",
                                            "x:units = \"m East of reference point\" ;",
                                            "x:_DeflateLevel = 9 ;",
                                            "double y(y) ;",
                                            "y:units = \"m North of reference point\" ;",
                                            "y:_DeflateLevel = 9 ;",
                                            "double t(t) ;",
                                            "double lat(x, y) ;",
                                            "lat:units = \"degrees north\" ;",
                                            "lat:_DeflateLevel = 9 ;",
                                            "double lon(x, y) ;",
                                            "lon:units = \"degrees east\" ;",
                                            "lon:_DeflateLevel = 9 ;",
                                            "float temp(t, x, y) ;",
                                            "temp:missing_value = -9999. ;",
                                            "temp:_DeflateLevel = 9 ;",
                                            ":_Format = \"netCDF-4\" ;"};
  std::size_t at = 0;
  for (const auto& item : ordered) {
    const auto found = header.find(item, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << item << "\n" << header;
    at = found + item.size();
  }
  // "t" is neither compressed nor has attributes; no variable uses the shuffle filter.
  EXPECT_EQ(header.find("\tt:_DeflateLevel"), std::string::npos);
  EXPECT_EQ(header.find("\tt:units"), std::string::npos);
  EXPECT_EQ(header.find("_Shuffle"), std::string::npos);
}

// A foreign file: the coordinate variable "y" (unless empty) and one short variable "v" over
// (time, a, b) with "_FillValue" -32767, "missing_value" -32000 and optional packing.
void WriteForeignFile(const std::string& path, const std::vector<std::string>& dims,
                      std::size_t a_size, std::size_t b_size, const Values& y,
                      const std::vector<short>& packed, double scale = 0.0, double offset = 0.0) {
  NcFile file(path, NcFile::replace, NcFile::nc4);
  const NcDim t = file.addDim(dims[0]);
  const NcDim a = file.addDim(dims[1], a_size);
  const NcDim b = file.addDim(dims[2], b_size);
  if (!y.empty()) file.addVar("y", netCDF::ncDouble, dims[1] == "y" ? a : b).putVar(y.data());
  NcVar var = file.addVar("v", netCDF::ncShort, {t, a, b});
  if (scale != 0.0) {
    var.putAtt("scale_factor", netCDF::ncDouble, scale);
    var.putAtt("add_offset", netCDF::ncDouble, offset);
  }
  var.putAtt("_FillValue", netCDF::ncShort, short{-32767});
  var.putAtt("missing_value", netCDF::ncShort, short{-32000});
  var.putVar({0, 0, 0}, {1, a_size, b_size}, packed.data());
}

// 3 rows stored south to north, 2 columns, packed, with fill and missing values. Grid axes
// named like "nx" and "ny" (their names contain "x" and "y", as the sizes are found) are placed
// by those names as well, so such a file is neither transposed nor refused.
TEST_F(NetcdfGridTest, PackedTimeYXFilesWithRowsSouthToNorth) {
  struct Case {
    const char* name;
    std::vector<std::string> dimensions;
    std::size_t first_size, second_size;
    Values y;
    std::vector<short> packed;
  };
  const Case cases[] = {
      {"tyx.nc", {"time", "y", "x"}, 3, 2, {5000, 6000, 7000}, {10, 11, 20, -32767, 30, -32000}},
      {"nynx.nc", {"time", "ny", "nx"}, 3, 2, {}, {10, 11, 20, -32767, 30, -32000}},
      // The same grid stored columns outer.
      {"nxny.nc", {"time", "nx", "ny"}, 2, 3, {}, {10, 20, 30, 11, -32767, -32000}},
  };
  // Columns outer, north row first; fill and missing values become nodata, not 273.15 - 3276.7.
  const Values expected = {276.15, 275.15, 274.15, -9999.0, -9999.0, 274.25};
  for (const Case& c : cases) {
    WriteForeignFile(dir / c.name, c.dimensions, c.first_size, c.second_size, c.y, c.packed, 0.1,
                     273.15);
    int rows = 0, columns = 0;
    const Values v = Read(dir / c.name, "v", "0", &rows, &columns);
    EXPECT_EQ(rows, 3) << c.name;
    EXPECT_EQ(columns, 2) << c.name;
    ASSERT_EQ(v.size(), expected.size()) << c.name;
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(v[i], expected[i], 1e-9) << c.name << i;
  }
}

// Only the window the caller chooses is read, in every layout; a file of a few kilobytes that
// declares 20000 x 20000 cells is read in part, or refused, without allocating its size.
TEST_F(NetcdfGridTest, OnlyTheChosenWindowOfASliceIsRead) {
  const std::vector<std::pair<const char*, std::vector<std::string>>> layouts = {
      {"tyx.nc", {"time", "y", "x"}}, {"nxny.nc", {"time", "nx", "ny"}}};
  for (const auto& [name, dimensions] : layouts) {
    const bool x_second = dimensions[1] == "nx";
    WriteForeignFile(dir / name, dimensions, x_second ? 2 : 3, x_second ? 3 : 2,
                     x_second ? Values{} : Values{5000, 6000, 7000},
                     x_second ? std::vector<short>{10, 20, 30, 11, -32767, -32000}
                              : std::vector<short>{10, 11, 20, -32767, 30, -32000},
                     0.1, 273.15);
    std::string input = (dir / name) + "<v>0";
    Values v;
    int rows = 0, columns = 0;
    reader.ReadGrid(v, input, rows, columns, -9999.0, [](int r, int c) {
      EXPECT_EQ(r, 3);
      EXPECT_EQ(c, 2);
      return SliceWindow{2, 2, 2, 1};  // rows 2 and 3 of column 2
    });
    EXPECT_EQ(rows, 2) << name;
    EXPECT_EQ(columns, 1) << name;
    ASSERT_EQ(v.size(), 2u) << name;
    EXPECT_EQ(v[0], -9999.0) << name;
    EXPECT_NEAR(v[1], 274.25, 1e-9) << name;
  }

  const std::string huge = dir / "huge.nc";
  {
    NcFile file(huge, NcFile::replace, NcFile::nc4);
    const NcDim t = file.addDim("time");
    NcVar var =
        file.addVar("v", netCDF::ncFloat, {t, file.addDim("y", 20000), file.addDim("x", 20000)});
    var.setCompression(true, true, 9);
    // Without a "y" variable rows run south to north: the last stored row is the top one.
    const std::vector<float> one{1.5f};
    var.putVar({0, 19999, 0}, {1, 1, 1}, one.data());
  }
  ASSERT_LT(std::filesystem::file_size(huge), 1u << 20);
  std::string input = huge + "<v>0";
  Values v;
  int rows = 0, columns = 0;
  reader.ReadGrid(v, input, rows, columns, -9999.0, [](int, int) {
    return SliceWindow{1, 1, 3, 3};
  });
  ASSERT_EQ(v.size(), 9u);
  EXPECT_EQ(v[0], 1.5);
  EXPECT_EQ(v[8], -9999.0);
  input = huge + "<v>0";
  EXPECT_EQ(ThrownCode([&] {
              reader.ReadGrid(v, input, rows, columns, -9999.0, [&](int, int) -> SliceWindow {
                ThrowFatal(diag, 22, "FATAL: not the model grid");
              });
            }),
            22);
}

TEST_F(NetcdfGridTest, RowOrderFollowsTheRealCoordinateValues) {
  // One column over (t, x, y); rows of geographic grids differ by less than a degree.
  const std::vector<std::pair<Values, bool>> cases = {
      {{47.3, 47.2, 47.1}, false},  {{47.1, 47.2, 47.3}, true},     {{0.4, 0.0, -0.4}, false},
      {{-0.4, 0.0, 0.4}, true},     {{47.05, 46.95, 46.85}, false}, {{5.2e6, 5.1e6, 5.0e6}, false},
      {{5.0e6, 5.1e6, 5.2e6}, true}};
  int n = 0;
  for (const auto& [y, south_to_north] : cases) {
    const std::string path = dir / ("geo" + std::to_string(n++) + ".nc");
    WriteForeignFile(path, {"t", "x", "y"}, 1, 3, y, {1, 2, 3});
    EXPECT_EQ(Read(path, "v", "0"), (south_to_north ? Values{3, 2, 1} : Values{1, 2, 3}))
        << "y = " << y[0] << ", " << y[1];
  }
  // One row: nothing to reorder. No variable "y": rows run south to north.
  WriteForeignFile(dir / "one.nc", {"t", "x", "y"}, 2, 1, {47.5}, {4, 5});
  EXPECT_EQ(Read(dir / "one.nc", "v", "0"), (Values{4, 5}));
  WriteForeignFile(dir / "none.nc", {"time", "y", "x"}, 2, 2, {}, {1, 2, 3, 4});
  EXPECT_EQ(Read(dir / "none.nc", "v", "0"), (Values{3, 1, 4, 2}));
}

TEST_F(NetcdfGridTest, MissingValuesOfDoubleFilesBecomeTheCallersNodata) {
  const std::string path = dir / "miss.nc";
  {
    NcFile file(path, NcFile::replace, NcFile::nc4);
    const NcDim t = file.addDim("t"), x = file.addDim("x", 2), y = file.addDim("y", 1);
    NcVar var = file.addVar("v", netCDF::ncDouble, {t, x, y});
    var.putAtt("missing_value", netCDF::ncDouble, -9999.0);
    var.putAtt("scale_factor", netCDF::ncDouble, 2.0);
    const double values[2] = {-9999.0, 4.0};
    var.putVar({0, 0, 0}, {1, 2, 1}, values);
    // Slice 0 of "w" is never written: it holds the library's default fill value.
    const float w_values[2] = {1.5f, 2.5f};
    file.addVar("w", netCDF::ncFloat, {t, x, y}).putVar({1, 0, 0}, {1, 2, 1}, w_values);
  }
  std::string input = path + "<v>0";
  Values v;
  int rows = 0, columns = 0;
  reader.ReadGrid(v, input, rows, columns, -1.0);
  EXPECT_EQ(v, (Values{-1.0, 8.0}));
  EXPECT_EQ(Read(path, "w", "0"), (Values{-9999.0, -9999.0}));
  EXPECT_EQ(Read(path, "w", "1"), (Values{1.5, 2.5}));
}

TEST_F(NetcdfGridTest, InputNamesAreParsed) {
  const std::string path = dir / "n.nc";
  for (int k = 0; k < 13; ++k) Write(path, "temp", SliceValues(1, 2, k), 1, 2);
  EXPECT_EQ(Read(path, "temp", "0"), SliceValues(1, 2, 0));
  EXPECT_EQ(Read(path, "temp", ""), SliceValues(1, 2, 0));
  EXPECT_EQ(Read(path, "temp", "12abc"), SliceValues(1, 2, 12));
  for (const std::string& input : {path, std::string("<temp>0"), path + "<temp", path + ">t<1"})
    EXPECT_EQ(ReadCode(input), 50) << input;
  EXPECT_TRUE(ScreenHas("Give netcdf input files as filename<varname>timestep."));
  // Indexes past the last slice, also those beyond the range of an int, are failures.
  for (const char* index : {"13", "9999999999", "-1"})
    EXPECT_EQ(ReadCode(path + "<temp>" + index), 26) << index;
}

TEST_F(NetcdfGridTest, MissingFileOrVariableGivesCode26) {
  const std::string path = dir / "r.nc";
  Write(path, "temp", SliceValues(2, 2, 0), 2, 2);
  EXPECT_EQ(ReadCode(dir / "absent.nc<temp>0"), 26);
  EXPECT_TRUE(ScreenHas("exception occured when reading from netCDF file " + (dir / "absent.nc") +
                        ". Internal message is: "));
  EXPECT_EQ(reader.open_file_count(), 0u);
  EXPECT_EQ(ReadCode(path + "<>3"), 26);
  EXPECT_TRUE(ScreenHas("No variable name given for reading from netCDF."));
  EXPECT_EQ(ReadCode(path + "<rain>0"), 26);
  EXPECT_TRUE(ScreenHas("cannot find variable rain in file " + path + " for reading from netCDF."));
  EXPECT_EQ(ReadCode(path + "<x>0"), 26);  // one dimension: not a grid variable
}

TEST_F(NetcdfGridTest, AtMost200FilesAreKeptOpen) {
  const Values values = SliceValues(1, 1, 0);
  Write(dir / "f0.nc", "v", values, 1, 1);
  for (int i = 1; i <= 200; ++i)
    std::filesystem::copy_file(dir / "f0.nc", dir / test::Numbered("f", i, ".nc"));
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(Read(dir / test::Numbered("f", i, ".nc"), "v", "0"), values) << i;
  EXPECT_EQ(Read(dir / "f0.nc", "v", "0"), values);  // an open file never counts again
  EXPECT_EQ(ReadCode(dir / "f200.nc<v>0"), 1100);
  EXPECT_TRUE(ScreenHas("more than 200 different netCDF files can not be hold open"));
  EXPECT_EQ(reader.open_file_count(), 200u);
  EXPECT_EQ(Read(dir / "f199.nc", "v", "0"), values);
}

}  // namespace
}  // namespace velorn

// A year of daily mean temperatures of De Bilt (KNMI station 260, 1990) and a second, synthetic
// station 3.25 K colder, interpolated onto 9 x 6 cells of 1000 m split over the processes. Every
// own cell of every step must equal the plain formula evaluated here cell by cell, whatever the
// number of processes and threads: inverse-distance weights 1/s (s the squared distance, 0
// counted as 1), the nearest station, and IDW in coordinates turned by 30 degrees with the x
// offsets scaled by 0.6. The altitude and mesh methods (regressions on the station altitudes,
// the lapse rate from the nearest station, bilinear and spline meshes of nine stations) must
// give every own cell the value of the same run on the whole basin held by one process.
// Response units: the cells of a unit take its master's value, also from another process.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <sstream>

#include "meteo/meteo_interpolator.h"
#include "setup/response_units.h"
#include "tests/support/meteo_fixture.h"

namespace velorn {
namespace {

constexpr int kRowsMeteoInterpolator = 9;
constexpr int kCols = 6;
const double kSx[3] = {0, 1500, 5500};
const double kSy[3] = {0, 7500, 1500};

int FirstRow() {
  return 1 + test::Rank() * kRowsMeteoInterpolator / test::Size();
}
int LastRow() {
  return (test::Rank() + 1) * kRowsMeteoInterpolator / test::Size();
}

class YearOfStations : public test::MeteoTest {
 protected:
  YearOfStations() : MeteoTest(kRowsMeteoInterpolator, kCols, FirstRow(), LastRow()) {
    SetOwners([](int) { return test::Rank(); });
  }

  // "1990 M D 24 v1 v2 ..." from the KNMI rows of 1990 (TG in 0.1 degC; blank: missing): station
  // i reports TG + offsets[i].
  std::vector<std::string> Records(const std::string& path, const std::vector<double>& offsets) {
    std::ifstream in(path);
    std::vector<std::string> records;
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("  260,1990", 0) != 0) continue;
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string f; std::getline(split, f, ',');) fields.push_back(f);
      const std::string date = fields[1];
      const bool blank = fields[11].find_first_not_of(' ') == std::string::npos;
      std::ostringstream r;
      r << "1990 " << std::stoi(date.substr(4, 2)) << " " << std::stoi(date.substr(6, 2)) << " 24";
      for (double offset : offsets)
        r << " " << (blank ? -9999 : std::stod(fields[11]) / 10.0 + offset);
      records.push_back(r.str());
    }
    return records;
  }
};

// The same basin held whole by this process with every cell its own: the run of one process.
class WholeBasin : public test::MeteoTest {
 public:
  WholeBasin() : MeteoTest(kRowsMeteoInterpolator, kCols) {
    SetOwners([](int) { return test::Rank(); });
  }
  void TestBody() override {}
  using MeteoTest::registry_;
  using MeteoTest::setup_;
  using MeteoTest::WriteControlFile;
};

// Runs the interpolator `name` of the control file of `setup` through 1990 as the application
// does; `each` sees it after every step. Returns the number of steps.
template <class Each>
int RunYear(const SubModelSetup& setup, GridRegistry& registry, const std::string& name,
            Each each) {
  int status = 0;
  meteointerpol m(setup, name, registry.FirstFreeIndex(), {1990, 1, 1, 24}, {1990, 12, 31, 24},
                  status);
  m.SetTimeStepHours(24);
  int steps = 0;
  while (!m.IsEndOfData()) {
    int64_t h, d, mo, y;
    m.GetDate(h, d, mo, y);
    m.ComputeStationRegression(0, 1);
    m.InterpolateStep(h, d, mo, y);
    each(m);
    m.AdvanceRecords();
    ++steps;
  }
  m.ReleaseMemory();
  return steps;
}

// The value the cell must hold: plain loops over the two stations.
double Expected(int method, double x, double y, const double* v) {
  if (method == 4) {
    double best = 1e20, value = -10000;
    for (int i = 1; i <= 2; ++i) {
      const double s = (kSx[i] - x) * (kSx[i] - x) + (kSy[i] - y) * (kSy[i] - y);
      if (v[i] > -9999 && best >= s) best = s, value = v[i];
    }
    return value;
  }
  const double theta = method == 1 ? 0.0 : 30 * kDegreesToRadians;
  const double ratio = method == 1 ? 1.0 : 0.6;
  double xr = x, yr = y;
  if (method != 1) RotatePoint(x, y, 0, 0, theta, xr, yr);
  double sw = 0, swv = 0;
  for (int i = 1; i <= 2; ++i) {
    if (v[i] <= -9999) continue;
    double sx = kSx[i], sy = kSy[i];
    if (method != 1) RotatePoint(kSx[i], kSy[i], 0, 0, theta, sx, sy);
    double s = (ratio * (sx - xr)) * (ratio * (sx - xr)) + (sy - yr) * (sy - yr);
    if (s == 0) s = 1;
    sw += 1 / s;
    swv += (1 / s) * v[i];
  }
  return sw == 0 ? -10000 : swv / sw;
}

TEST_F(YearOfStations, GridsEqualThePlainFormulaOrTheWholeBasinOnEveryProcess) {
  VELORN_REQUIRE_REFDATA(knmi, "knmi-debilt-daily/etmgeg_260.txt");
  const std::string stations = WriteStations("debilt.txt", {2, 500}, {kSx[1], kSx[2]},
                                             {kSy[1], kSy[2]}, Records(knmi, {0, -3.25}));
  // Nine stations on a 3 x 3 mesh of 2500 m by 3500 m over the basin.
  const std::string mesh =
      WriteStations("mesh.txt", {10, 60, 120, 200, 260, 330, 400, 480, 560},
                    {500, 3000, 5500, 500, 3000, 5500, 500, 3000, 5500},
                    {1000, 1000, 1000, 4500, 4500, 4500, 8000, 8000, 8000},
                    Records(knmi, {0, -1, -2.5, 0.5, -0.75, -3, 1, -0.25, -1.5}));
  struct Case {
    const char* name;
    int method;
    double slope;
    double ratio;
    const std::string& station_line;
    const char* parameter_line;
    bool formula;  // against Expected, else against the whole basin
  };
  const Case cases[] = {
      {"idw", 1, 0, 1, stations, "none", true},
      {"nearest", 4, 0, 1, stations, "none", true},
      {"turned", 1, 30, 0.6, stations, "none", true},
      // Inversions at 250 m and 600 m, clusters narrower than 100 m; method 11 with an upper
      // lapse rate and the two stations on either side of the lower inversion.
      {"regression", 10, 0, 1, mesh, "250 600 50 0 100", false},
      {"regression_idw", 11, 0, 1, stations, "250 600 50 0 100 -0.004", false},
      {"lapse_rate", 12, 0, 1, mesh, "-0.0065 300 0.002 P-type", false},
      {"bilinear", 5, 0, 1, mesh, "none", false},
      {"spline", 7, 0, 1, mesh, "none", false},
  };
  std::string sections;
  for (const Case& c : cases) {
    test::SectionSpec s;
    s.method = c.method;
    s.station_line = c.station_line;
    s.parameter_line = c.parameter_line;
    s.slope = c.slope;
    s.ratio = c.ratio;
    s.fraction = 0.5;
    sections += Section(c.name, s);
  }
  WriteControlFile(sections);
  WholeBasin whole;
  whole.WriteControlFile(sections);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> reference;
    if (!c.formula)
      RunYear(whole.setup_, whole.registry_, c.name, [&](meteointerpol& m) {
        for (int r = 1; r <= kRowsMeteoInterpolator; ++r)
          for (int col = 1; col <= kCols; ++col) reference.push_back(m.result.get()[r][col]);
      });
    long mismatches = 0, missing = 0;
    std::size_t step = 0;
    double sum_at_station = 0;
    const int steps = RunYear(setup_, registry_, c.name, [&](meteointerpol& m) {
      const double* v = m.station_files[0].values.data();
      for (int r = FirstRow(); r <= LastRow(); ++r)
        for (int col = 1; col <= kCols; ++col) {
          const double value = m.result.get()[r][col];
          const std::size_t at = step * kRowsMeteoInterpolator * kCols +
                                 static_cast<std::size_t>((r - 1) * kCols + col - 1);
          const double expected = c.formula ? Expected(c.method == 1 && c.ratio < 1 ? 2 : c.method,
                                                       x_[r][col] + 500, y_[r][col] + 500, v)
                                            : reference.at(at);
          mismatches += value != expected;
          missing += value < -9999 || value == setup_.nodata;
        }
      if (FirstRow() <= 2 && 2 <= LastRow()) sum_at_station += m.result.get()[2][2] - v[1];
      ++step;
    });
    EXPECT_EQ(steps, 365);
    EXPECT_EQ(mismatches, 0);
    // De Bilt reports on 365 days of 1990.
    EXPECT_EQ(missing, 0);
    // The station's own cell follows the station within the other one's small weight.
    if (c.method == 1 && c.ratio == 1) {
      EXPECT_LT(std::fabs(sum_at_station) / 365, 0.01);
    }
  }
}

// A point value (as the precipitation correction asks for at its stations) comes from the
// station data alone: every process gives the value of the whole basin held by one process,
// wherever the point lies. Methods 6 and 8 take the gradient file times the point's altitude.
TEST_F(YearOfStations, PointValuesAreTheSameOnEveryProcess) {
  const std::vector<double> alt = {10, 60, 120, 200, 260, 330, 400, 480, 560};
  const std::vector<double> xs = {500, 3000, 5500, 500, 3000, 5500, 500, 3000, 5500};
  const std::vector<double> ys = {1000, 1000, 1000, 4500, 4500, 4500, 8000, 8000, 8000};
  const std::string values =
      WriteStations("values.txt", alt, xs, ys, {"1990 1 1 24 2 3.5 1 4 2.5 6 0.5 3 1.5"});
  const std::string gradients = WriteStations(
      "gradients.txt", alt, xs, ys,
      {"1990 1 1 24 -0.006 -0.005 -0.007 -0.004 -0.006 -0.0065 -0.005 -0.006 -0.003"});
  const std::string both = values + "\n" + gradients;
  const std::vector<std::pair<const char*, int>> cases = {
      {"bilinear", 5}, {"bilinear_gradient", 6}, {"spline", 7}, {"spline_gradient", 8}};
  std::string sections;
  for (const auto& [name, method] : cases) {
    test::SectionSpec s;
    s.method = method;
    s.station_line = method == 6 || method == 8 ? both : values;
    sections += Section(name, s);
  }
  WriteControlFile(sections);
  WholeBasin whole;
  whole.WriteControlFile(sections);
  const std::array<double, 3> points[] = {
      {1200, 2300, 150}, {4800, 7700, 420}, {300, 8900, 50}, {5900, 100, 600}, {3000, 4500, 260}};
  std::vector<double> buffer(10);
  for (const auto& [name, method] : cases) {
    SCOPED_TRACE(name);
    int status = 0;
    const ModelDate start{1990, 1, 1, 24}, end{1990, 1, 1, 24};
    meteointerpol split(setup_, name, registry_.FirstFreeIndex(), start, end, status);
    meteointerpol one(whole.setup_, name, whole.registry_.FirstFreeIndex(), start, end, status);
    for (const auto& [x, y, z] : points) {
      const double value = split.InterpolateAtPoint(x, y, z, buffer.data());
      EXPECT_EQ(value, one.InterpolateAtPoint(x, y, z, buffer.data())) << x << ", " << y;
      EXPECT_GT(value, -9999.0) << x << ", " << y;
    }
  }
}

// Units of the columns with their masters in row 1 (on process 0): every cell of column c takes
// the IDW value of cell (1, c); the cell of no unit keeps nodata.
TEST_F(YearOfStations, ResponseUnitsTakeTheirMastersValueFromAnyProcess) {
  const std::string stations =
      WriteStations("two.txt", {2, 500}, {kSx[1], kSx[2]}, {kSy[1], kSy[2]},
                    {"1990 1 1 24 4.5 -1", "1990 1 2 24 7 3.25"});
  std::vector<HruRecord> table = EmptyHruTable();
  for (int c = 1; c <= kCols; ++c)
    table.push_back(HruRecord{static_cast<uint64_t>(c), "", 1, c, 0});
  GridMatrix units(diag_, FirstRow(), LastRow(), kCols, kRowsMeteoInterpolator);
  GridMatrix masters(diag_, FirstRow(), LastRow(), kCols, kRowsMeteoInterpolator);
  for (int r = FirstRow(); r <= LastRow(); ++r)
    for (int c = 1; c <= kCols; ++c) {
      units[r][c] = r == kRowsMeteoInterpolator && c == 1 ? setup_.nodata : c;
      masters[r][c] = r == 1 ? c : setup_.nodata;
    }
  Register("", units.get(), "HydrologicResponseUnits");
  Register("", masters.get(), "MasterHydrologicResponseUnits");
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &table;
  test::SectionSpec s;
  s.station_line = stations;
  WriteControlFile(Section("units", s));
  long mismatches = 0;
  const int steps = RunYear(setup_, registry_, "units", [&](meteointerpol& m) {
    const double* v = m.station_files[0].values.data();
    for (int r = FirstRow(); r <= LastRow(); ++r)
      for (int c = 1; c <= kCols; ++c) {
        const double master =
            Expected(1, (c - 0.5) * 1000.0, (kRowsMeteoInterpolator - 0.5) * 1000.0, v);
        mismatches += m.result.get()[r][c] !=
                      (r == kRowsMeteoInterpolator && c == 1 ? setup_.nodata : master);
      }
  });
  EXPECT_EQ(steps, 2);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace velorn

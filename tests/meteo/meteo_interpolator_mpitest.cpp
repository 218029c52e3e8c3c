// A year of daily mean temperatures of De Bilt (KNMI station 260, 1990) and a second, synthetic
// station 3.25 K colder, interpolated onto 9 x 6 cells of 1000 m split over the processes. Every
// own cell of every step must equal the plain formula evaluated here cell by cell, whatever the
// number of processes and threads: inverse-distance weights 1/s (s the squared distance, 0
// counted as 1), the nearest station, and IDW in coordinates turned by 30 degrees with the x
// offsets scaled by 0.6.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "meteo/meteo_interpolator.h"
#include "tests/support/meteo_fixture.h"

namespace velorn {
namespace {

constexpr int kRows = 9;
constexpr int kCols = 6;
const double kSx[3] = {0, 1500, 5500};
const double kSy[3] = {0, 7500, 1500};

int FirstRow() {
  return 1 + test::Rank() * kRows / test::Size();
}
int LastRow() {
  return (test::Rank() + 1) * kRows / test::Size();
}

class YearOfStations : public test::MeteoTest {
 protected:
  YearOfStations() : MeteoTest(kRows, kCols, FirstRow(), LastRow()) {
    SetOwners([](int) { return test::Rank(); });
  }

  // "1990 M D 24 v1 v2" records from the KNMI rows of 1990 (TG in 0.1 degC; blank: missing).
  std::vector<std::string> Records(const std::string& path) {
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
      const double tg = blank ? -9999 : std::stod(fields[11]) / 10.0;
      std::ostringstream r;
      r << "1990 " << std::stoi(date.substr(4, 2)) << " " << std::stoi(date.substr(6, 2)) << " 24 "
        << tg << " " << (blank ? -9999 : tg - 3.25);
      records.push_back(r.str());
    }
    return records;
  }
};

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

TEST_F(YearOfStations, GridsEqualThePlainFormulaOnEveryProcess) {
  VELORN_REQUIRE_REFDATA(knmi, "knmi-debilt-daily/etmgeg_260.txt");
  const std::vector<std::string> records = Records(knmi);
  ASSERT_EQ(records.size(), 365u);
  const std::string stations =
      WriteStations("debilt.txt", {2, 500}, {kSx[1], kSx[2]}, {kSy[1], kSy[2]}, records);
  struct Case {
    const char* name;
    int method;
    double slope;
    double ratio;
  };
  const Case cases[] = {{"idw", 1, 0, 1}, {"nearest", 4, 0, 1}, {"turned", 1, 30, 0.6}};
  std::string sections;
  for (const Case& c : cases) {
    test::SectionSpec s;
    s.method = c.method;
    s.station_line = stations;
    s.slope = c.slope;
    s.ratio = c.ratio;
    sections += Section(c.name, s);
  }
  WriteControlFile(sections);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int status = 0;
    meteointerpol m(setup_, c.name, registry_.FirstFreeIndex(), {1990, 1, 1, 24},
                    {1990, 12, 31, 24}, status);
    m.SetTimeStepHours(24);
    int steps = 0;
    long mismatches = 0;
    double sum_at_station = 0;
    while (!m.IsEndOfData()) {
      int64_t h, d, mo, y;
      m.GetDate(h, d, mo, y);
      m.InterpolateStep(h, d, mo, y);
      const double* v = m.station_files[0].values.data();
      for (int r = FirstRow(); r <= LastRow(); ++r)
        for (int col = 1; col <= kCols; ++col) {
          const double expected =
              Expected(c.method == 1 && c.ratio < 1 ? 2 : c.method, x_[r][col], y_[r][col], v);
          mismatches += m.result.get()[r][col] != expected;
        }
      if (FirstRow() <= 2 && 2 <= LastRow()) sum_at_station += m.result.get()[2][2] - v[1];
      m.AdvanceRecords();
      ++steps;
    }
    EXPECT_EQ(steps, 365);
    EXPECT_EQ(mismatches, 0);
    // The station's own cell follows the station within the other one's small weight.
    EXPECT_LT(std::fabs(sum_at_station) / 365, 0.01);
    m.ReleaseMemory();
  }
}

}  // namespace
}  // namespace velorn

// Precipitation correction: the factor, the samples along altitude, the refit of the
// regression lines against fits computed here, and degenerate zones that must terminate.
#include "meteo/precipitation_correction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/error_code.h"
#include "tests/support/meteo_fixture.h"

namespace velorn {
namespace {

constexpr double kNodataPrecipitationCorrection = 9999;

TEST(PrecipitationCorrectionTest, FactorIsLinearInWindAndSnowAtTheThreshold) {
  const CatchCorrection k{0.5, 1.05, 0.02, 1.2, 0.1};
  struct Case {
    double T, W, expected;
  };
  const Case cases[] = {{0.6, 3, 1.05 + 0.06},  // rain
                        {0.5, 3, 1.2 + 0.3},    // T == GT: snow
                        {-8, 0, 1.2},           // calm snow
                        {20, 10, 1.05 + 0.2}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(CorrectionFactor(k, c.T, c.W), c.expected);
  const CatchCorrection plus_ten{0, 1.1, 0, 1.1, 0};
  for (double wind : {0.0, 4.0, 25.0}) EXPECT_DOUBLE_EQ(CorrectionFactor(plus_ten, 3, wind), 1.1);
}

TEST(PrecipitationCorrectionTest, SamplesCoverTheRanges) {
  struct Case {
    std::vector<double> samples;
    std::size_t count;
    double first, last;
  };
  const Case cases[] = {
      {LineSamples(1000), 11, 0, 1000},
      {LineSamples(0.3), 11, 0, 0.3},  // rounding must not lose the last sample
      {LineSamples(0), 1, 0, 0},       // a zero range still ends
      {UpperLineSamples(1000, 3000), 11, 1000, 3000},
      {UpperLineSamples(2000, 3000), 21, 2000, 4000},         // up to twice the boundary
      {UpperLineSamples(1000, 1000.0001), 1001, 1000, 2000},  // bounded count, whole range
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.samples.size(), c.count);
    EXPECT_DOUBLE_EQ(c.samples.front(), c.first);
    EXPECT_NEAR(c.samples.back(), c.last, 1e-9);
  }
  EXPECT_TRUE(LineSamples(-10).empty());
}

// The refit against the least-squares line of the corrected samples, computed here with
// centred sums.
TEST(PrecipitationCorrectionTest, RefitIsTheLeastSquaresLineOfTheCorrectedLine) {
  auto growing = [](double h) { return 1.0 + 2e-4 * h; };
  const std::vector<double> heights = LineSamples(1500);
  double B = 0.8, A = 0.0012;
  double mh = 0, mp = 0;
  for (double h : heights) mh += h / 11, mp += (A * h + B) * growing(h) / 11;
  double shh = 0, shp = 0;
  for (double h : heights)
    shh += (h - mh) * (h - mh), shp += (h - mh) * ((A * h + B) * growing(h) - mp);
  RefitLine(B, A, heights, growing);
  EXPECT_NEAR(A, shp / shh, 1e-15);
  EXPECT_NEAR(B, mp - shp / shh * mh, 1e-12);

  // Samples at one altitude fix no slope: the line is scaled by the factor there.
  double b = 2.0, a = 0.001;
  RefitLine(b, a, {0.0}, [](double) { return 1.25; });
  EXPECT_DOUBLE_EQ(b, 2.5);
  EXPECT_DOUBLE_EQ(a, 0.00125);
}

double At(const RegressionZoneParameters& z, double h) {
  return EvaluateRegressionZone(z, 0, 0, h, kNodataPrecipitationCorrection, -9999);
}

// A constant factor multiplies the whole zone, whatever its form; flat lines included.
TEST(PrecipitationCorrectionTest, ConstantFactorScalesEveryRange) {
  auto zone = [](double ZL, double ZU, std::array<double, 4> B, std::array<double, 4> A) {
    RegressionZoneParameters z = MissingRegressionZone(-kNodataPrecipitationCorrection - 1);
    z.ZL = ZL, z.ZU = ZU, z.B = B, z.A = A;
    return z;
  };
  // Three ranges: the middle line joins line 1 at ZL and line 3 at ZU.
  RegressionZoneParameters three = zone(500, 1500, {0, 1.0, 0, 3.0}, {0, 0.002, 0, 0.0});
  three.A[2] = (three.B[3] + three.A[3] * 1500 - (three.B[1] + three.A[1] * 500)) / 1000;
  three.B[2] = three.B[1] + three.A[1] * 500 - three.A[2] * 500;
  const RegressionZoneParameters cases[] = {
      three, zone(0, 800, {0, 1.0, 1.0, -0.6}, {0, 0, 0.001, 0.003}),  // two ranges crossing at 800
      zone(0, 0, {0, 2.0, 2.0, 2.0}, {0, 0, 0.0, 0.0}),                // one station: ZU = L = 0
  };
  for (const RegressionZoneParameters& original : cases) {
    RegressionZoneParameters corrected = original;
    CorrectRegressionLines(corrected, 3000, kNodataPrecipitationCorrection,
                           [](double) { return 1.3; });
    for (double h : {0.0, 250.0, 500.0, 799.0, 1000.0, 1700.0, 2900.0})
      EXPECT_NEAR(At(corrected, h), 1.3 * At(original, h), 1e-9) << h;
  }
  // A zone without lines stays as it is.
  RegressionZoneParameters missing = MissingRegressionZone(-kNodataPrecipitationCorrection - 1);
  CorrectRegressionLines(missing, 3000, kNodataPrecipitationCorrection, [](double) { return 1.3; });
  EXPECT_DOUBLE_EQ(missing.B[2], -kNodataPrecipitationCorrection - 1);
}

}  // namespace
}  // namespace velorn

namespace velorn::test {
namespace {

class PrecipitationCorrectionModelTest : public MeteoTest {
 protected:
  static std::string Section(int do_it) {
    return "[precipitation_correction]\n" + std::to_string(do_it) +
           "\n0.0\n1.1\n0.0\n1.5\n0.1\n";  // GT KR AR KS AS
  }
};

// Grid mode: a precipitation grid that nobody rewrites is corrected from its own value at every
// step, never compounded; a rewritten cell is corrected once; T == GT is snow.
TEST_F(PrecipitationCorrectionModelTest, GridModeCorrectsFreshValuesOnly) {
  GridMatrix p = FilledGrid(diag_, 3, 4, 2.0), t = FilledGrid(diag_, 3, 4, 5.0),
             w = FilledGrid(diag_, 3, 4, 4.0);
  t[3][1] = 0.0;    // snow
  p[2][2] = -9999;  // missing precipitation stays
  Register("", p.get(), "precipitation");
  Register("", t.get(), "temperature");
  Register("", w.get(), "wind_speed");
  WriteControlFile(Section(1));
  int32_t error = -1;
  precicorrclass corr(setup_, error, {nullptr}, {""}, 1);
  ASSERT_EQ(error, 0);
  EXPECT_TRUE(corr.grid_mode);
  for (int step = 0; step < 3; ++step) corr.CorrectGrid();
  EXPECT_DOUBLE_EQ(p[1][1], 2.0 * 1.1);
  EXPECT_DOUBLE_EQ(p[3][1], 2.0 * (1.5 + 0.4));
  EXPECT_DOUBLE_EQ(p[2][2], -9999);
  p[1][1] = 3.0;  // a new value read from the file of the next date
  registry_[registry_.Find("precipitation", 0)].dated_file_name = "p_2000010224";
  corr.CorrectGrid();
  EXPECT_DOUBLE_EQ(p[1][1], 3.0 * 1.1);

  WriteControlFile(Section(0));
  precicorrclass off(setup_, error, {nullptr}, {""}, 1);
  off.CorrectGrid();
  EXPECT_DOUBLE_EQ(p[1][1], 3.0 * 1.1);
  WriteControlFile("[precipitation_correction]\n1\n0.0\nx\n");
  precicorrclass bad(setup_, error, {nullptr}, {""}, 1);
  EXPECT_EQ(error, kControlFileErrorCode);
}

// An interpolated grid is new in every step, whatever its values: 2.0 then 3.0 of snow (factor
// 1.5 at T == GT) give 3.0 then 4.5. In station mode, factors that differ between the stations
// make a record of equal values uneven.
TEST_F(PrecipitationCorrectionModelTest, EveryNewValueIsCorrectedOnce) {
  GridMatrix t = FilledGrid(diag_, 3, 4, 0.0);
  const std::vector<std::string> two_days = {"2000 1 1 24 2 2", "2000 1 2 24 3 3"};
  SectionSpec s;
  s.station_line = WriteStations("p.txt", {100, 300}, {500, 3500}, {2500, 500}, two_days);
  const ModelDate start{2000, 1, 1, 24}, end{2000, 1, 2, 24};
  auto p = Make("precipitation", MeteoTest::Section("precipitation", s) + Section(1), start, end);
  Register("", t.get(), "temperature");
  int32_t error = -1;
  precicorrclass corr(setup_, error, {nullptr, p.get()}, {"", "precipitation"}, 1);
  ASSERT_TRUE(corr.grid_mode);
  for (double expected : {3.0, 4.5}) {
    p->InterpolateStep(24, p->current.day, 1, 2000);
    corr.CorrectGrid();
    EXPECT_DOUBLE_EQ(p->result.get()[2][2], expected);
    p->AdvanceRecords();
  }

  // Station mode: -5 degC at the first station (snow, 1.5), +5 at the second (rain, 1.1).
  registry_[registry_.Find("temperature", 0)].identifier = "old temperature";
  s.station_line = WriteStations("t.txt", {100, 300}, {500, 3500}, {2500, 500},
                                 {"2000 1 1 24 -5 5", "2000 1 2 24 -5 5"});
  auto temperature =
      Make("temperature", MeteoTest::Section("temperature", s) + Section(1), start, end);
  p->RewindInputs();
  p->AdvanceRecords();
  precicorrclass stations(setup_, error, {nullptr, p.get(), temperature.get()},
                          {"", "precipitation", "temperature"}, 1);
  ASSERT_FALSE(stations.grid_mode);
  stations.CorrectStationValues();
  p->InterpolateStep(24, 1, 1, 2000);
  EXPECT_NEAR(p->result.get()[1][1], 3.0, 1e-6);
  EXPECT_NEAR(p->result.get()[3][4], 2.2, 1e-6);
}

// Station mode with method 10: the regression lines are refitted, so with only a rain factor
// every cell grows by 10 %.
TEST_F(PrecipitationCorrectionModelTest, StationModeCorrectsTheRegression) {
  SectionSpec s;
  s.method = 10;
  s.parameter_line = "0 3000 0 0 0";
  s.station_line = WriteStations("p.txt", {100, 300, 500}, {500, 1500, 2500}, {500, 1500, 2500},
                                 {"2000 1 1 24 1 2 4", "2000 1 2 24 1 2 4"});
  auto p = Make("precipitation", MeteoTest::Section("precipitation", s) + Section(1),
                ModelDate{2000, 1, 1, 24}, ModelDate{2000, 1, 2, 24});
  int32_t error = -1;
  precicorrclass corr(setup_, error, {nullptr, p.get()}, {"", "precipitation"}, 1);
  ASSERT_EQ(error, 0);
  ASSERT_FALSE(corr.grid_mode);
  corr.SetParameter(3000);
  p->ComputeStationRegression(0, 1);
  const double before = p->EvaluateRegression(1, 1, 0, 0, 250);
  corr.CorrectStationValues();
  EXPECT_NEAR(p->EvaluateRegression(1, 1, 0, 0, 250), 1.1 * before, 1e-9);
  EXPECT_NEAR(before, 7.0 / 3 + 0.0075 * (250 - 300), 1e-9);

  // Without the interpolator the registered result grid is corrected in grid mode.
  precicorrclass grid(setup_, error, {nullptr}, {""}, 1);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(grid.grid_mode);
}

}  // namespace
}  // namespace velorn::test

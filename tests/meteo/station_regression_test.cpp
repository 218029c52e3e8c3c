// Altitude regression from station values: lines against an independent least-squares fit,
// boundaries, constant fields, the residual plane, regions and the lapse-rate kernel.
#include "meteo/station_regression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double N = 9999;
constexpr double M = -N - 1;
constexpr double kGridNodata = -9999;

// Stations with 1-based arrays.
struct Stations {
  explicit Stations(const std::vector<std::array<double, 4>>& rows) {  // h, v, x, y
    for (const auto& r : rows)
      h.push_back(r[0]), v.push_back(r[1]), x.push_back(r[2]), y.push_back(r[3]);
  }
  RegressionStations View() const {
    return {static_cast<int>(h.size()) - 1, v.data(), h.data(), x.data(), y.data()};
  }
  std::vector<double> h{0}, v{0}, x{0}, y{0};
};

// Least-squares line through (h, v) by the centred normal equations.
std::pair<double, double> FitLine(const std::vector<std::pair<double, double>>& p) {
  double mh = 0, mv = 0;
  for (auto [h, v] : p) mh += h / p.size(), mv += v / p.size();
  double shh = 0, shv = 0;
  for (auto [h, v] : p) shh += (h - mh) * (h - mh), shv += (h - mh) * (v - mv);
  const double slope = shv / shh;
  return {mv - slope * mh, slope};  // intercept, slope
}

double Eval(const RegressionZoneParameters& z, double h, double x = 0, double y = 0) {
  return EvaluateRegressionZone(z, x, y, h, N, kGridNodata);
}

TEST(Determinant3Test, MatchesCofactorExpansion) {
  const double cases[][3][3] = {{{2, 0, 1}, {1, 3, 2}, {1, 1, 1}},
                                {{4, -2, 7}, {0.5, 3, -1}, {2, 8, 5}},
                                {{1, 2, 3}, {2, 4, 6}, {0, 1, 5}}};  // columns a, b, c
  for (const auto& m : cases) {
    const double a[4] = {0, m[0][0], m[0][1], m[0][2]}, b[4] = {0, m[1][0], m[1][1], m[1][2]},
                 c[4] = {0, m[2][0], m[2][1], m[2][2]};
    // Expansion along the first row of the matrix whose columns are a, b, c.
    const double expected = a[1] * (b[2] * c[3] - c[2] * b[3]) -
                            b[1] * (a[2] * c[3] - c[2] * a[3]) + c[1] * (a[2] * b[3] - b[2] * a[3]);
    EXPECT_NEAR(Determinant3(a, b, c), expected, 1e-12);
  }
}

// Scattered lower and upper stations: each range fits its own least-squares line.
TEST(StationRegressionTest, LinesCrossInsideOrOutsideTheInversions) {
  const Stations s({{100, 10.3, 0, 0},
                    {200, 8.8, 0, 0},
                    {300, 8.1, 0, 0},
                    {450, 6.2, 0, 0},
                    {800, 5.1, 0, 0},
                    {1000, 5.8, 0, 0},
                    {1200, 7.2, 0, 0}});
  const auto [b1, a1] = FitLine({{100, 10.3}, {200, 8.8}, {300, 8.1}, {450, 6.2}});
  const auto [b2, a2] = FitLine({{800, 5.1}, {1000, 5.8}, {1200, 7.2}});
  const double crossing = (b2 - b1) / (a1 - a2);
  ASSERT_GT(crossing, 600);
  ASSERT_LT(crossing, 700);

  // Crossing within [L - tol, U + tol]: two ranges meeting there, constant below altitude 0.
  const RegressionZoneParameters two = ComputeRegressionZone(s.View(), {500, 1500, 100, 0, 0}, N);
  EXPECT_DOUBLE_EQ(two.ZL, 0);
  EXPECT_NEAR(two.ZU, crossing, 1e-9);
  EXPECT_NEAR(Eval(two, -50), b1, 1e-9);
  EXPECT_NEAR(Eval(two, 400), b1 + a1 * 400, 1e-9);
  EXPECT_NEAR(Eval(two, 1100), b2 + a2 * 1100, 1e-9);
  EXPECT_LE(two.c0, -N);  // no plane: all stations on one point in x, y

  // Crossing above U + tol: three ranges, boundaries L and U, the middle line joins them.
  const RegressionZoneParameters three = ComputeRegressionZone(s.View(), {500, 550, 10, 0, 0}, N);
  EXPECT_DOUBLE_EQ(three.ZL, 500);
  EXPECT_DOUBLE_EQ(three.ZU, 550);
  EXPECT_NEAR(Eval(three, 300), b1 + a1 * 300, 1e-9);
  EXPECT_NEAR(Eval(three, 500), b1 + a1 * 500, 1e-9);
  EXPECT_NEAR(Eval(three, 550), b2 + a2 * 550, 1e-9);
  EXPECT_NEAR(Eval(three, 525), 0.5 * (b1 + a1 * 500 + b2 + a2 * 550), 1e-9);
  EXPECT_NEAR(Eval(three, 900), b2 + a2 * 900, 1e-9);

  // A fixed lapse rate above U replaces the upper line from its value at U on.
  const RegressionZoneParameters fixed =
      ComputeRegressionZone(s.View(), {500, 550, 10, 0, 0, -0.0065}, N);
  EXPECT_NEAR(Eval(fixed, 1550), b2 + a2 * 550 - 0.0065 * 1000, 1e-9);
}

// Degenerate station sets give missing or constant fields, never an infinite value.
TEST(StationRegressionTest, FewStationsGiveMissingOrConstantFields) {
  struct Case {
    const char* what;
    std::vector<std::array<double, 4>> stations;
    double cluster_range;
    double expected_low, expected_high;  // at altitude 10 and 2500
  };
  const Case cases[] = {
      {"all missing", {{100, -10000, 0, 0}, {900, -99999, 0, 0}}, 100, M, M},
      {"one usable station", {{700, 4.5, 0, 0}, {900, -10000, 0, 0}}, 100, 4.5, 4.5},
      {"one station below L", {{300, 2.0, 0, 0}}, 100, 2.0, 2.0},
      {"two stations within the cluster range",
       {{480, 3.0, 0, 0}, {520, 5.0, 0, 0}},
       100,
       4.0,
       4.0},
      {"stations at one altitude, no cluster range",
       {{800, 3.0, 0, 0}, {800, 5.0, 0, 0}},
       0,
       4.0,
       4.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Stations s(c.stations);
    const RegressionZoneParameters z =
        ComputeRegressionZone(s.View(), {500, 1500, 100, 0, c.cluster_range}, N);
    EXPECT_DOUBLE_EQ(Eval(z, 10), c.expected_low);
    EXPECT_DOUBLE_EQ(Eval(z, 2500), c.expected_high);
  }
}

// Two clusters (500/700 m and, by the overlap rule, 700/1100 m) collapse to their mean points
// (600 m, 4.5) and (900 m, 2.5); the ranges lie 1100 - 600 m apart, beyond the cluster range,
// so both take the line through the two points: 8.5 - h / 150.
TEST(StationRegressionTest, CollapsedClustersKeepTheirHighestAltitude) {
  const Stations s({{500, 5, 0, 0}, {700, 4, 0, 0}, {1100, 1, 0, 0}});
  const RegressionZoneParameters z = ComputeRegressionZone(s.View(), {800, 1500, 100, 0, 450}, N);
  for (double h : {300.0, 750.0, 1200.0}) EXPECT_NEAR(Eval(z, h), 8.5 - h / 150, 1e-12) << h;
}

// A single lower station exactly at L fixes no slope: the lower range keeps its value and the
// upper range its own line, and the field stays finite. (The missing station next above L
// keeps the upper stations out of the lower range.)
TEST(StationRegressionTest, SingleLowerStationAtTheInversion) {
  const Stations s({{500, 6.0, 0, 0}, {700, -10000, 0, 0}, {900, 4.0, 0, 0}, {1300, 2.0, 0, 0}});
  const RegressionZoneParameters z = ComputeRegressionZone(s.View(), {500, 2000, 600, 0, 0}, N);
  // Upper line 8.5 - 0.005 h meets the constant 6 at h = 500.
  EXPECT_NEAR(z.ZU, 500, 1e-9);
  EXPECT_NEAR(Eval(z, 200), 6.0, 1e-9);
  EXPECT_NEAR(Eval(z, 1100), 8.5 - 0.005 * 1100, 1e-9);
  for (double h : {-10.0, 0.0, 500.0, 3000.0}) EXPECT_TRUE(std::isfinite(Eval(z, h)));
}

// With four stations or more the residual plane restores what the altitude lines miss.
TEST(StationRegressionTest, ResidualPlaneFromFourStations) {
  // Altitudes uncorrelated with x and y: the line takes the altitude part exactly, the plane
  // the rest.
  auto truth = [](double h, double x, double y) { return 12 - 0.006 * h + 0.002 * x - 0.001 * y; };
  std::vector<std::array<double, 4>> rows;
  for (auto [x, y, h] :
       {std::array<double, 3>{0, 0, 100}, {1000, 0, 200}, {0, 1000, 200}, {1000, 1000, 100}})
    rows.push_back({h, truth(h, x, y), x, y});
  const RegressionSettings all_low{5000, 6000, 0, 0, 0};
  const RegressionZoneParameters four = ComputeRegressionZone(Stations(rows).View(), all_low, N);
  ASSERT_GT(four.c0, -N);
  EXPECT_NEAR(Eval(four, 150, 500, 500), truth(150, 500, 500), 1e-9);
  EXPECT_NEAR(Eval(four, 180, 250, 800), truth(180, 250, 800), 1e-9);
  // A missing coordinate leaves the plane out.
  EXPECT_NEAR(EvaluateRegressionZone(four, kGridNodata, 500, 150, N, kGridNodata),
              truth(150, 500, 500) - (four.c0 + four.cx * 500 + four.cy * 500) + four.B[1], 1e-9);

  rows.pop_back();
  EXPECT_LE(ComputeRegressionZone(Stations(rows).View(), all_low, N).c0, -N);
  // Four stations on one straight line determine no plane.
  const Stations line({{100, 5, 0, 0}, {200, 4, 100, 200}, {150, 6, 200, 400}, {300, 3, 300, 600}});
  const RegressionZoneParameters collinear = ComputeRegressionZone(line.View(), all_low, N);
  EXPECT_LE(collinear.c0, -N);
  EXPECT_TRUE(std::isfinite(Eval(collinear, 170, 50, 900)));
}

// Regions blend the zones of up to three region grids; a cell in no region takes the codes and
// weights of the nearest representative; a code without a zone gives M.
TEST(StationRegressionTest, RegionsBlendTheirZones) {
  test::CapturedDiag d;
  RegressionZoneParameters flat = MissingRegressionZone(M);
  flat.ZL = 0, flat.ZU = 1e6, flat.B = {0, 1, 1, 1}, flat.A = {0, 0, 0, 0};
  RegressionZoneParameters sloped = flat;
  sloped.B = {0, 10, 10, 10}, sloped.A = {0, 0.01, 0.01, 0.01};
  const std::vector<RegressionZoneParameters> zones{{}, flat, sloped};
  GridMatrix g1 = test::MakeGrid(d.diag, {{10, 20, 0, 30}});
  GridMatrix g2 = test::MakeGrid(d.diag, {{20, 10, 0, 20}});
  GridMatrix w1 = test::MakeGrid(d.diag, {{0.75, 1, 0, 1}});
  GridMatrix w2 = test::MakeGrid(d.diag, {{0.25, 0, 0, 0}});
  const std::vector<int32_t> zone_of_code(31, 0);
  std::vector<int32_t> codes = zone_of_code;
  codes[10] = 1, codes[20] = 2;
  RegressionRegions regions;
  regions.region = {nullptr, g1.get(), g2.get(), nullptr};
  regions.weight = {nullptr, w1.get(), w2.get(), nullptr};
  regions.zone_of_code = codes.data();
  regions.highest_code = 30;
  regions.count = 2;
  regions.representatives.resize(3);
  regions.representatives[1] = {1, 1, 0, 0, {0, 10, 0, 0}, {0, 1, 0, 0}};
  regions.representatives[2] = {1, 2, 0, 5000, {0, 20, 0, 0}, {0, 1, 0, 0}};
  auto at = [&](int column, double x) {
    return EvaluateRegressionRegions(zones, regions, 1, column, x, 0, 100, N, kGridNodata);
  };
  EXPECT_DOUBLE_EQ(at(1, 0), 0.75 * 1 + 0.25 * (10 + 0.01 * 100));
  EXPECT_DOUBLE_EQ(at(2, 0), 11);
  EXPECT_DOUBLE_EQ(at(3, 4000), 11);  // no region: representative 2 is nearer
  EXPECT_DOUBLE_EQ(at(3, 1000), 1);
  EXPECT_DOUBLE_EQ(at(4, 0), M);  // code 30 has no zone
  regions.count = 0;
  EXPECT_DOUBLE_EQ(at(1, 0), 0);
}

// Method 12: nearest usable station (earlier wins a tie) moved along the lapse rates.
TEST(StationRegressionTest, LapseRateFromNearestStation) {
  const Stations s(
      {{1000, 5.0, 0, 0}, {200, 9.0, 200, 0}, {400, -10000, 99, 0}, {0, 0.0, 5000, 0}});
  struct Case {
    double x, z;
    LapseRateSettings settings;
    double expected;
  };
  const Case cases[] = {
      {100, 1500, {-0.006}, 5.0 - 0.006 * 500},                            // tie: station 1
      {180, 500, {-0.006}, 9.0 - 0.006 * 300},                             // station 3 missing
      {180, 1200, {-0.006, 800, 0.002}, 9.0 - 0.006 * 600 + 0.002 * 400},  // crosses hi upwards
      {180, 600, {-0.006, 800, 0.002}, 9.0 - 0.006 * 400},
      {0, 1200, {-0.006, 800, 0.002}, 5.0 + 0.002 * 200},               // station above hi
      {0, 500, {-0.006, 800, 0.002}, 5.0 - 0.002 * 200 + 0.006 * 300},  // and cell below
      {5000, 900, {-0.006, -9999, -9999, true}, 0.0},                   // dry P-type station
      {5000, 900, {-0.006}, -0.006 * 900},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(LapseRateFromNearestStation(s.View(), c.settings, N, c.x, 0, c.z), c.expected,
                1e-12)
        << c.x << " " << c.z;
  const Stations none({{100, -10000, 0, 0}});
  EXPECT_DOUBLE_EQ(LapseRateFromNearestStation(none.View(), {}, N, 0, 0, 0), M);
}

}  // namespace
}  // namespace velorn

// Distance kernels against hand computations: IDW weights, radii, nearest station, rotation,
// station spacing and mesh orientation.
#include "meteo/distance_methods.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace velorn {
namespace {

// Stations at (0,0)=1, (4,0)=4, (1,3)=7; seen from (1,0): distances 1, 3, 3.
const std::vector<double> kX = {0, 0, 4, 1};
const std::vector<double> kY = {0, 0, 0, 3};

StationPoints Three(const std::vector<double>& v) {
  return StationPoints{3, kX.data(), kY.data(), v.data()};
}

TEST(DistanceMethods, IdwMatchesHandComputations) {
  const std::vector<double> v = {0, 1, 4, 7};
  struct Case {
    double power;
    double expected;
  };
  // weights 1, w, w for w = 3^-p: (1 + 11 w) / (1 + 2 w)
  const Case cases[] = {{2.0, 20.0 / 11.0}, {1.0, 2.8}, {3.0, 38.0 / 29.0}, {0.5, 0}};
  for (const Case& c : cases) {
    IdwSettings s{IdwMode(c.power), c.power, IdwComparisonDistance(c.power, 100), 9999, 1};
    std::vector<double> w(4);
    const double w3 = std::pow(3.0, -c.power);
    const double expected = c.expected != 0 ? c.expected : (1 + 11 * w3) / (1 + 2 * w3);
    EXPECT_NEAR(InverseDistanceWeight(Three(v), s, w.data(), 1, 0), expected, 1e-12) << c.power;
    EXPECT_NEAR(w[2], w3, 1e-15);
  }
  // Two stations, one on the point: its weight is 1, the other at distance 5 still counts.
  const std::vector<double> two = {0, 10, 20};
  const std::vector<double> x2 = {0, 0, 3}, y2 = {0, 0, 4};
  IdwSettings s{2000, 2.0, 1e12, 9999, 1};
  std::vector<double> w(3);
  EXPECT_NEAR(
      InverseDistanceWeight(StationPoints{2, x2.data(), y2.data(), two.data()}, s, w.data(), 0, 0),
      (10 + 20 / 25.0) / (1 + 1 / 25.0), 1e-12);
}

TEST(DistanceMethods, RadiusMissingStationsAndAnisotropy) {
  const std::vector<double> x = {0, 0}, y = {0, 10001};
  const std::vector<double> v = {0, 5};
  const StationPoints one{1, x.data(), y.data(), v.data()};
  std::vector<double> w(2);
  struct Case {
    double power;
    double radius;
    double expected;
  };
  const Case cases[] = {
      {2.0, 10000, -10000},     // 10001 beyond 10000, compared as squares
      {2.0, 10001, 5},          // on the radius counts
      {2.0005, 10000, -10000},  // the fast path squares the radius here too
      {2.0005, 10002, 5},       // (an unsquared radius would admit nothing below 100 m)
      {1.0, 10000, -10000},    {1.5, 10001, 5},
  };
  for (const Case& c : cases) {
    IdwSettings s{IdwMode(c.power), c.power, IdwComparisonDistance(c.power, c.radius), 9999, 1};
    EXPECT_EQ(InverseDistanceWeight(one, s, w.data(), 0, 0), c.expected)
        << c.power << " " << c.radius;
  }
  // The system-wide marker -9999 is missing with nodata 9999: weight 0.
  const std::vector<double> missing = {0, 1, -9999, 7};
  IdwSettings s{2000, 2.0, 1e12, 9999, 1};
  std::vector<double> w3(4);
  EXPECT_NEAR(InverseDistanceWeight(Three(missing), s, w3.data(), 1, 0),
              (1 + 7 / 9.0) / (1 + 1 / 9.0), 1e-12);
  EXPECT_EQ(w3[2], 0.0);
  // Anisotropic: x offsets halved, so (4,0) is at distance 1.5 from (1,0) instead of 3.
  s.ratio = 0.5;
  const std::vector<double> values = {0, 1, 4, 7};
  const double w2 = 1 / 2.25;  // (0,0) at 0.5^2 weighs 4, (1,3) at 9 weighs 1/9
  EXPECT_NEAR(InverseDistanceWeightAnisotropic(Three(values), s, w3.data(), 1, 0),
              (1 / 0.25 + 4 * w2 + 7 * 1 / 9.0) / (1 / 0.25 + w2 + 1 / 9.0), 1e-12);
}

TEST(DistanceMethods, NearestStationBoxesAndFlags) {
  const std::vector<double> x = {0, 0, 2, 1}, y = {0, 0, 0, 5};
  const std::vector<double> v = {0, 10, 20, -10000};
  std::vector<double> d(4, -1);
  // (1,0) lies as far from station 1 as from 2: the later one wins; station 3 is missing.
  EXPECT_EQ(NearestStation(StationPoints{3, x.data(), y.data(), v.data()}, 9999, d.data(), 1, 0),
            20);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(d[3], -1);
  const StationPoints p{3, x.data(), y.data(), v.data()};
  EXPECT_EQ(FindStationInBox(p, 0, 0, 1, 3, -1, 1), 2);
  EXPECT_EQ(FindStationInBox(p, 0, 0, 0, 3, 0, 1), 0);  // strict bounds
  const int flags[] = {9, 0, 0, 1};
  EXPECT_EQ(AnyStationUnassigned(flags, 2), 0);
  EXPECT_EQ(AnyStationUnassigned(flags, 3), 1);
  EXPECT_EQ(AnyStationUnassigned(flags, 0), 0);
}

TEST(DistanceMethods, RotationSpacingAndMeshOrientation) {
  double xr = 0, yr = 0;
  RotatePoint(10, 20, 10, 10, kHalfPi, xr, yr);  // (0, 10) from the origin turned by -90°
  EXPECT_NEAR(xr, 20, 1e-9);
  EXPECT_NEAR(yr, 10, 1e-9);

  // Mesh of 4 x 3 stations, 1000 m along the rows and 1500 m across, turned by 20°.
  for (double turn : {20.0, 0.0}) {
    std::vector<double> x(1), y(1);
    const double t = turn * kDegreesToRadians;
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 4; ++i) {
        x.push_back(1000.0 * i * std::cos(t) - 1500.0 * j * std::sin(t));
        y.push_back(1000.0 * i * std::sin(t) + 1500.0 * j * std::cos(t));
      }
    const MeshOrientation m = DetectMeshOrientation(12, x.data(), y.data());
    EXPECT_NEAR(m.theta_degrees, turn, 1e-6);
    EXPECT_EQ(m.ratio, turn == 0 ? 1.0 : 0.995);
    if (turn == 0) {
      const StationSpacing s = AverageStationSpacing(12, x.data(), y.data());
      EXPECT_DOUBLE_EQ(s.horizontal, 1000);  // 9 stations with an eastern neighbour
      EXPECT_DOUBLE_EQ(s.vertical, 1500);    // 8 with a northern one
    }
  }
  const double lone[] = {0, 5};
  EXPECT_EQ(AverageStationSpacing(1, lone, lone).horizontal, -9999);
}

}  // namespace
}  // namespace velorn

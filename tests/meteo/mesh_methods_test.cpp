// Mesh methods: corners from each side of the nearest station, bilinear values of a bilinear
// field, fall-backs, and the arrangement of a 3 x 4 mesh.
#include "meteo/mesh_methods.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace velorn {
namespace {

constexpr double kNodataMeshMethods = 9999;

// Twelve stations 1000 m apart: columns x = 0..3000, rows y = 0..2000.
struct Mesh {
  Mesh() {
    for (double yy : {0.0, 1000.0, 2000.0})
      for (double xx : {0.0, 1000.0, 2000.0, 3000.0}) {
        x.push_back(xx + (yy == 1000 ? 40.0 : 0.0));  // a little irregular
        y.push_back(yy);
        v.push_back(Field(x.back(), yy));
      }
  }
  static double Field(double px, double py) { return 3 + 0.002 * px + 0.001 * py + 1e-6 * px * py; }
  int Count() const { return static_cast<int>(x.size()) - 1; }
  // The first station strictly inside the box.
  BoxSearch Box() const {
    return [this](double px, double py, double x0, double x1, double y0, double y1) {
      for (int i = 1; i <= Count(); ++i)
        if (x[i] > px + x0 && x[i] < px + x1 && y[i] > py + y0 && y[i] < py + y1) return i;
      return 0;
    };
  }
  int At(double px, double py) const {
    for (int i = 1; i <= Count(); ++i)
      if (std::abs(x[i] - px) < 100 && y[i] == py) return i;
    return 0;
  }
  std::vector<double> x{0}, y{0}, v{0};
};

// Cells nearest to a station on each of its four sides find the same four corners.
TEST(MeshMethodsTest, CornersFromEverySideGiveTheBilinearValue) {
  const Mesh m;
  struct Case {
    double px, py;
  };
  for (const Case& c : {Case{1400, 600}, Case{1600, 600}, Case{1600, 400}, Case{1400, 400}}) {
    SCOPED_TRACE(c.px + c.py / 1e4);
    const MeshCorners k =
        ChooseCorners(m.Count(), m.x.data(), m.y.data(), 1000, 1000, c.px, c.py, m.Box());
    EXPECT_EQ(k.A, m.At(2000, 1000));
    EXPECT_EQ(k.B, m.At(1000, 1000));
    EXPECT_EQ(k.C, m.At(1000, 0));
    EXPECT_EQ(k.D, m.At(2000, 0));
  }
  // On a rectangle the kernel reproduces a bilinear field exactly.
  std::vector<double> x{0, 2000, 1000, 1000, 2000}, y{0, 1000, 1000, 0, 0}, v{0};
  for (int i = 1; i <= 4; ++i) v.push_back(Mesh::Field(x[i], y[i]));
  const MeshCorners rect{1, 2, 3, 4};
  for (auto [px, py] : {std::pair{1400.0, 600.0}, {1000.0, 1000.0}, {1999.0, 1.0}})
    EXPECT_NEAR(BilinearValue(rect, x.data(), y.data(), v.data(), kNodataMeshMethods, px, py,
                              [] { return -1.0; }),
                Mesh::Field(px, py), 1e-12);
}

TEST(MeshMethodsTest, MissingCornersFallBack) {
  std::vector<double> x{0, 2000, 1000, 1000, 2000, 0}, y{0, 1000, 1000, 0, 0, 0};
  std::vector<double> v{0, 1, 2, 3, 4, 7.5};
  auto idw = [] { return 42.0; };
  struct Case {
    MeshCorners corners;
    double value_of_3;
    double expected;
  };
  const Case cases[] = {{{1, 2, 3, 4}, -10000, 42.0},  // missing value
                        {{1, 2, 0, 4}, 3, 42.0},       // corner without station
                        {{5, 5, 5, 5}, 3, 7.5},        // one station on all corners
                        {{0, 0, 0, 0}, 3, 42.0},
                        {{1, 1, 3, 4}, 3, 42.0}};  // no width
  for (const Case& c : cases) {
    v[3] = c.value_of_3;
    EXPECT_DOUBLE_EQ(
        BilinearValue(c.corners, x.data(), y.data(), v.data(), kNodataMeshMethods, 1500, 500, idw),
        c.expected);
  }
}

TEST(MeshMethodsTest, StationsFormColumnsOfEqualLength) {
  Mesh m;
  const auto columns = ArrangeMesh(m.Count(), m.x.data(), m.y.data(), 1000, 1000, m.Box());
  ASSERT_EQ(columns.size(), 4u);
  for (std::size_t c = 0; c < 4; ++c) {
    ASSERT_EQ(columns[c].size(), 3u);
    EXPECT_EQ(columns[c][0], m.At(1000.0 * c, 2000));  // north first
    EXPECT_EQ(columns[c][2], m.At(1000.0 * c, 0));
  }
  // Without the north-east station one column is short: no mesh.
  m.x.pop_back(), m.y.pop_back();
  EXPECT_TRUE(ArrangeMesh(m.Count(), m.x.data(), m.y.data(), 1000, 1000, m.Box()).empty());
}

}  // namespace
}  // namespace velorn

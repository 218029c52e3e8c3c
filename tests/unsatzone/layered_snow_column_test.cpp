// Restructuring of the layered snow pack: water conserved through removal, split and merge
// (random packs), liquid beyond the holding capacity released at the freezing-curve
// temperature, the heat-capacity-weighted temperature of a merge, density and water content
// never above 1, and the edge cases of an absent lowest layer and a thin top after a removal.
#include "unsatzone/layered_snow_column.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace velorn {
namespace {

class SnowColumn : public ::testing::Test {
 protected:
  void Make(int M) {
    M_ = M;
    for (auto* v : {&thick_, &theta_, &sat_, &liquid_, &temp_}) v->assign(M, 0.0);
    for (auto* v : {&swes_, &swel_, &dens_}) v->assign(M + 1, 0.0);
    sat_.assign(M, 0.9);
    p_.standardThickness.assign(M + 1, 0.1);
    p_.maxDensity.assign(M + 1, 400);
    p_.a.assign(M + 1, 5.0);
    p_.b.assign(M + 1, 2.0);
    p_.c.assign(M + 1, 1.0);
    arrays_ = {swes_.data(), swel_.data(), dens_.data(), Col(thick_),
               Col(theta_),  Col(sat_),    Col(liquid_), Col(temp_)};
  }
  double* Col(std::vector<double>& v) { return v.data() + M_ - 1; }
  // Layer j (1 = top) with `water` mm in `h` m, liquid fraction f, temperature t.
  void Layer(int j, double water, double h, double f, double t) {
    const int c = j - 1;
    thick_[c] = h;
    theta_[c] = water / (1000 * h);
    liquid_[c] = f;
    temp_[c] = t;
    dens_[j] = theta_[c];
    swes_[j] = water * (1 - f);
    swel_[j] = water * f;
  }
  void Absent(int j) {
    thick_[j - 1] = theta_[j - 1] = temp_[j - 1] = dens_[j] = kAbsentSnow;
    swes_[j] = swel_[j] = 0;
  }
  double Water() const {
    double w = 0;
    for (int j = 1; j <= M_; ++j)
      if (theta_[j - 1] >= 0) w += theta_[j - 1] * 1000 * thick_[j - 1];
    return w;
  }
  double Stored() const {
    double w = 0;
    for (int j = 1; j <= M_; ++j) w += swes_[j] + swel_[j];
    return w;
  }
  double Run() { return RestructureSnowLayers(arrays_, M_, p_); }

  int M_ = 0;
  std::vector<double> thick_, theta_, sat_, liquid_, temp_, swes_, swel_, dens_;
  SnowLayerParameters p_;
  SnowColumnArrays arrays_;
};

// Random packs with layers of every kind (almost no ice, very wet, thin, absent at the top),
// every fourth of a snow type denser than water, every fifth with layers denser than water: the water in the layers plus the water
// released equals the water before; water content and density stay within 0..1.
TEST_F(SnowColumn, RandomPacksConserveWater) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(0, 1);
  for (int trial = 0; trial < 500; ++trial) {
    Make(5);
    if (trial % 4 == 0) p_.maxDensity.assign(6, 1500);
    const int top = static_cast<int>(u(rng) * 3) + 1;
    for (int j = 1; j < top; ++j) Absent(j);
    for (int j = top; j <= 5; ++j) {
      const double h = u(rng) < 0.3 ? 0.005 + 0.01 * u(rng) : 0.02 + 0.3 * u(rng);
      // Every fifth pack has layers up to 1.2 times as dense as water: the thickness of its
      // water, the least they take, must leave a water content of 1 to the last bit.
      const double densest = trial % 5 == 0 ? 1.2 : 0.85;
      const double water =
          u(rng) < 0.15 ? 0.06 * u(rng) : h * 1000 * (0.05 + (densest - 0.05) * u(rng));
      Layer(j, water, h, u(rng) < 0.5 ? 0.4 * u(rng) : 0.95 * u(rng), -5 * u(rng));
    }
    const double before = Water();
    const double released = Run();
    EXPECT_GE(released, 0);
    EXPECT_NEAR(Stored() + released, before, 1e-9 * before) << trial;
    EXPECT_NEAR(Water(), Stored(), 1e-9 * before) << trial;
    for (int j = 1; j <= 5; ++j) {
      EXPECT_LE(theta_[j - 1], 1.0);
      EXPECT_LE(dens_[j], 1.0);
      EXPECT_LE(swel_[j], p_.holdingCapacity * swes_[j] + 1e-12);
    }
  }
}

// 30 mm with 40 % liquid: ice 18 mm holds 1.8 mm; 10.2 mm leave; the layer takes the
// temperature at which its curve (c = 1: f = 1 / (1 + (1.22 a |T|)^b)) leaves 1.8 / 19.8.
TEST_F(SnowColumn, LiquidBeyondHoldingCapacityIsReleased) {
  Make(1);
  p_.standardThickness[1] = 0.5;
  Layer(1, 30, 0.2, 0.4, -0.1);
  EXPECT_NEAR(Run(), 12 - 1.8, 1e-12);
  const double f = 1.8 / 19.8;
  EXPECT_NEAR(liquid_[0], f, 1e-12);
  EXPECT_NEAR(1 / (1 + std::pow(1.22 * 5 * std::fabs(temp_[0]), 2.0)), f, 1e-12);
  EXPECT_NEAR(thick_[0], 0.2 * 19.8 / 30, 1e-12);
}

// A lower layer with 0.05 mm of ice leaves with its liquid (and the ice, as water); the layer above
// moves down and the top, no thicker than the standard thickness, is cleared. A thicker one is
// split, water and thickness conserved.
TEST_F(SnowColumn, RemovalShiftsTheLayersAboveDown) {
  Make(3);
  p_.holdingCapacity = 1.0;
  Layer(1, 20, 0.08, 0.0, -3);
  Layer(2, 10, 0.05, 0.0, -2);
  p_.maxDensity.assign(4, 100);    // no compaction
  Layer(3, 0.1, 0.01, 0.5, 0);     // 0.05 mm ice
  EXPECT_NEAR(Run(), 0.1, 1e-12);  // liquid and the trace of ice
  EXPECT_EQ(thick_[0], kAbsentSnow);
  EXPECT_NEAR(swes_[3], 10, 1e-12);
  EXPECT_NEAR(swes_[2], 20, 1e-12);
  EXPECT_EQ(temp_[1], -3);

  Make(3);
  p_.holdingCapacity = 1.0;
  p_.maxDensity.assign(4, 100);  // no compaction
  Layer(1, 40, 0.25, 0.0, -3);
  Layer(2, 10, 0.1, 0.0, -2);
  Layer(3, 0.04, 0.01, 0.0, 0);
  EXPECT_NEAR(Run(), 0.04, 1e-12);
  EXPECT_NEAR(thick_[0], 0.15, 1e-12);
  EXPECT_NEAR(thick_[1], 0.10, 1e-12);
  EXPECT_NEAR(swes_[1], 24, 1e-12);
  EXPECT_NEAR(swes_[2], 16, 1e-12);
  EXPECT_NEAR(swes_[3], 10, 1e-12);
}

// A lowest layer compacted below a quarter of its standard thickness absorbs the layer above:
// temperature = heat-capacity-weighted mean, water summed.
TEST_F(SnowColumn, ThinLayerMergesWithHeatCapacityWeights) {
  Make(2);
  p_.holdingCapacity = 1.0;
  p_.maxDensity.assign(3, 500);
  p_.standardThickness.assign(3, 0.1);
  Layer(1, 5, 0.04, 0.2, -4);  // 4 mm ice, 1 mm liquid
  Layer(2, 10, 0.1, 0.0, -1);  // density 0.1 < 0.8 x 0.5: compacted to 0.02 m < 0.025 m
  EXPECT_NEAR(Run(), 0, 1e-12);
  const double ci = 2090, cw = 4187;
  const double expected = (10 * ci * -1 + (4 * ci + cw) * -4) / (14 * ci + cw);
  EXPECT_NEAR(temp_[1], expected, 1e-12);
  EXPECT_NEAR(swes_[2] + swel_[2], 15, 1e-12);
  EXPECT_NEAR(thick_[1], 0.06, 1e-12);
  EXPECT_EQ(theta_[0], kAbsentSnow);
}

// Without a lowest layer the pack is not compacted.
TEST_F(SnowColumn, AbsentLowestLayerSkipsCompaction) {
  Make(2);
  p_.maxDensity.assign(3, 500);
  Layer(1, 10, 0.1, 0.0, -1);
  Absent(2);
  Run();
  EXPECT_EQ(thick_[0], 0.1);
  EXPECT_EQ(theta_[1], kAbsentSnow);
}

}  // namespace
}  // namespace velorn

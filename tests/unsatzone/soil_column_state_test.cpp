// The initial state of a soil column against independent numbers: geodetic levels by hand, the
// water contents of a hydrostatic column against the van Genuchten curve of Carsel and Parrish's
// loam and sand, the heads of the unsaturated layers at the water table, the layer index of the
// water table, the groundwater scan, the drain layer and the per-layer constants.
#include "unsatzone/soil_column_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

// van Genuchten (1980): theta at suction psi (m).
double VanGenuchten(double theta_sat, double theta_res, double alpha, double n, double psi) {
  return theta_res +
         (theta_sat - theta_res) * std::pow(1.0 + std::pow(alpha * psi, n), -(1.0 - 1.0 / n));
}

class SoilColumn : public test::SoilColumnTest {
 protected:
  std::vector<double> Levels(const SoilRecord& soil, double surface) const {
    std::vector<double> geodetic(5);
    GeodeticHeads(soil, 4, surface, geodetic.data());
    return geodetic;
  }
};

// Every unsaturated layer has the head of the water table and the water content of the
// van Genuchten curve at its height above it (within the tables' interpolation error).
TEST_F(SoilColumn, ColdStartIsHydrostatic) {
  struct Case {
    int soil;
    double alpha, n, theta_res;
    int g;
    double tolerance;
  };
  for (const Case& k : {Case{1, 3.6, 1.56, 0.078, 2, 0.004}, Case{1, 3.6, 1.56, 0.078, 4, 0.004},
                        Case{2, 14.5, 2.68, 0.045, 3, 0.02}, Case{2, 14.5, 2.68, 0.045, 0, 0}}) {
    const SoilRecord& soil = soils_[k.soil];
    const std::vector<double> geodetic = Levels(soil, 1000.0);
    std::vector<double> theta(5), heads(5);
    HydrostaticTheta(soil, 4, geodetic.data(), k.g, theta.data());
    HydraulicHeads(soil, 4, geodetic.data(), theta.data(), heads.data());
    const double table = k.g < 4 ? 999.75 - 0.5 * k.g : 998.0;  // centre of layer g + 1
    EXPECT_DOUBLE_EQ(theta[0], 0.43);
    EXPECT_DOUBLE_EQ(heads[0], 1000.0);
    for (int layer = 1; layer <= 4; ++layer) {
      const double centre = 999.75 - 0.5 * (layer - 1);
      if (layer <= k.g) {
        EXPECT_NEAR(theta[layer], VanGenuchten(0.43, k.theta_res, k.alpha, k.n, centre - table),
                    k.tolerance)
            << "soil " << k.soil << " g " << k.g << " layer " << layer;
        EXPECT_NEAR(heads[layer], table, 1e-9) << "soil " << k.soil << " layer " << layer;
      } else {
        EXPECT_DOUBLE_EQ(theta[layer], 0.43);
        EXPECT_DOUBLE_EQ(heads[layer], centre);
      }
    }
  }
}

TEST_F(SoilColumn, WaterTableLayerFromIniGwLevelAndFromDistance) {
  // floor(3 / ini) + 1.4999, truncated and capped at the four layers.
  for (const auto& [ini, g] :
       {std::pair{1.0, 4}, {2.0, 2}, {3.0, 2}, {4.0, 1}, {100.0, 1}, {0.5, 4}, {1e-300, 4}})
    EXPECT_EQ(ColdStartLastUnsaturatedLayer(4, ini), g) << ini;
  const std::vector<double> geodetic = Levels(soils_[1], 1000.0);
  for (const auto& [distance, g] : {std::pair{0.0, 0}, {-1.2, 2}, {-1.0, 1}, {-5.0, 4}})
    EXPECT_EQ(LastUnsaturatedLayerAtDistance(geodetic.data(), 4, distance), g) << distance;
}

// Six layers of 0.5 m; the scan runs from layer 5 up to layer 1.
TEST_F(SoilColumn, GroundwaterScanFindsTheBlockAboveTheProfileBottom) {
  const SoilRecord soil = test::ParsedLoam(diag_, "", "6", "0.5");
  std::vector<double> geodetic(7);
  GeodeticHeads(soil, 6, 100.0, geodetic.data());
  const double s = 0.43, u = 0.3;
  struct Case {
    const char* name;
    std::vector<double> theta;
    int level;
    double theta_at_level, distance;
  };
  for (const Case& k : {
           Case{"no block", {s, u, u, u, u, u, u}, 0, u, -3.0},
           Case{"one block", {s, u, u, u, u, s, s}, 5, u, -2.0},
           Case{"perched block ignored", {s, u, s, u, u, s, s}, 5, u, -2.0},
           Case{"passes a saturated bottom", {s, u, s, u, u, u, s}, 2, u, -0.5},
           Case{"whole profile", {s, s, s, s, s, s, s}, 1, s, 0.0},
       }) {
    const GroundwaterScan scan = ScanGroundwater(soil, 6, geodetic.data(), k.theta.data());
    EXPECT_EQ(scan.level, k.level) << k.name;
    EXPECT_DOUBLE_EQ(scan.theta_at_level, k.theta_at_level) << k.name;
    EXPECT_DOUBLE_EQ(scan.distance, k.distance) << k.name;
  }
}

TEST_F(SoilColumn, DrainLayerAtBelowAndBeyondTheProfile) {
  const std::vector<double> geodetic = Levels(soils_[1], 1000.0);
  for (const auto& [depth, layer] :
       {std::pair{0.01, 0}, {0.0, 0}, {1.0, 2}, {1.005, 2}, {1.2, 3}, {2.0, 4}, {5.0, 4}})
    EXPECT_EQ(DrainageLayer(geodetic.data(), 4, depth), layer) << depth;
}

TEST_F(SoilColumn, FluxesBoundaryTemperatureAndLayerConstants) {
  EXPECT_NEAR(LayerFlux(1e-5, 0.0, 1.0, 0.1, 0.1), 1e-4, 1e-18);  // upward, towards h = 1
  EXPECT_EQ(LayerFlux(1e-5, 2.0, 2.0, 0.1, 0.3), 0.0);
  EXPECT_NEAR(LowerBoundaryTemperature(12.0, -0.007, 1500.0), 1.5, 1e-12);
  for (int k = 1; k <= 4; ++k) {
    soils_[1].DryThermalConduct[k] = 0.58;
    soils_[2].DryThermalConduct[k] = 0.58;
  }
  const SoilLayerConstants c = ComputeSoilLayerConstants(soils_.data(), 2, 4, true, 0.5562);
  // 3.45 m is a point of the tables: the curve's own value.
  EXPECT_NEAR(c.field_capacity[c.At(1, 3)], VanGenuchten(0.43, 0.078, 3.6, 1.56, 3.45), 1e-12);
  EXPECT_NEAR(c.field_capacity[c.At(2, 1)], VanGenuchten(0.43, 0.045, 14.5, 2.68, 3.45), 1e-12);
  // Saturated unfrozen conductivity 0.58^0.57 * 0.5562^0.43 = 0.5697 (by hand).
  EXPECT_NEAR(c.solids_power[c.At(1, 2)] * c.water_power[c.At(1, 2)], 0.5697, 1e-4);
  EXPECT_EQ(ComputeSoilLayerConstants(soils_.data(), 2, 4, false, 0.5562).solids_power[c.At(1, 2)],
            0.0);
}

}  // namespace
}  // namespace velorn

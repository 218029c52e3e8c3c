// Infiltration against Chow, Maidment and Mays (1988), Applied Hydrology, Example 4.4.1, and
// the Mein-Larson time to ponding by hand; macropores, root weights against the triangular root
// distribution, the uptake stress factor, root extraction, depth averages, the drainable pore
// volume and the recharge of the saturated zone.
#include "unsatzone/soil_column_sources.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "tests/support/soil_column_work.h"
#include "unsatzone/soil_water_step.h"

namespace velorn {
namespace {

// Silt loam of Example 4.4.1 (Rawls et al. 1983): psi 16.7 cm, Ks 0.65 cm/h, theta_e 0.486,
// initial effective saturation 0.30, so delta theta = 0.340. Amounts in mm, one sub-step = 1 h.
constexpr double kPsi = 167.0, kKs = 6.5, kThetaE = 0.486, kStep = 3.6e6;

// Implicit Green-Ampt: F - F0 - psi dtheta ln((psi dtheta + F) / (psi dtheta + F0)) = K t,
// solved by fixed-point iteration (Chow et al. 1988, eqs. 4.4.12 and 4.4.21).
double GreenAmpt(double k, double psi_dtheta, double t, double f0) {
  double f = std::max(k * t + f0, 1e-3);
  for (int i = 0; i < 200; ++i)
    f = f0 + k * t + psi_dtheta * std::log((psi_dtheta + f) / (psi_dtheta + f0));
  return f;
}

class ColumnSources : public test::SoilColumnWork {
 protected:
  // The silt loam in `layers` layers of 0.5 m at effective saturation `se`.
  void LoadSiltLoam(int layers, double se, const std::string& extra = "") {
    Load(test::VanGenuchtenKeys(kThetaE, 0.02, 2.0, 1.41, kKs / 3.6e6, layers) +
             FormatText(" suction = %g;", kPsi) + extra,
         se * kThetaE);
  }
  InfiltrationResult Infiltrate(double input, double& flag, double step = kStep) {
    return ComputeInfiltration(soil_, soil_.layers, A(W::kTheta), 2.0, 0, input, step, flag);
  }
};

// Ponded from the start of the hour: the explicit form gives F = 30.6 mm, the implicit
// Green-Ampt equation 31.7 mm (Chow et al. 1988: F = 3.17 cm after 1 h); they agree within 4 %.
TEST_F(ColumnSources, GreenAmptMatchesChowExample441) {
  LoadSiltLoam(4, 0.3);
  double flag = 1;
  const InfiltrationResult r = Infiltrate(200.0, flag);
  EXPECT_NEAR(r.infiltrated, 30.6, 0.05);
  EXPECT_NEAR(r.excess, 200.0 - r.infiltrated, 1e-12);
  const double implicit = GreenAmpt(kKs, kPsi * 0.340, 1.0, 0.0);
  EXPECT_NEAR(implicit, 31.7, 0.05);
  EXPECT_LT(std::fabs(r.infiltrated - implicit) / implicit, 0.04);
  EXPECT_EQ(flag, 1);
}

// Rain of 40 mm/h on the dry silt loam ponds after tp = psi dtheta / (i (i / Ks - 1)) = 0.2754 h
// (Mein and Larson 1973); the infiltration of the hour agrees with the implicit Green-Ampt
// equation from the ponding point within 4 %. Rain of 20 mm/h would pond after 1.37 h: no
// excess, and the flag is cleared.
TEST_F(ColumnSources, TimeToPondingByHand) {
  LoadSiltLoam(4, 0.3);
  const double psi_dtheta = kPsi * 0.340;
  const double tp = psi_dtheta / (40.0 * (40.0 / kKs - 1.0));
  EXPECT_NEAR(tp, 0.2754, 1e-4);
  double flag = 0;
  const InfiltrationResult r = Infiltrate(40.0, flag);
  const double fp = 40.0 * tp;
  EXPECT_LT(std::fabs(r.infiltrated - GreenAmpt(kKs, psi_dtheta, 1.0 - tp, fp)) / r.infiltrated,
            0.04);
  EXPECT_EQ(flag, 1);
  flag = 1;
  const InfiltrationResult below = Infiltrate(5.0, flag);  // below Ks: all infiltrates
  EXPECT_EQ(below.infiltrated, 5.0);
  EXPECT_EQ(flag, 0);
  flag = 0;
  EXPECT_EQ(Infiltrate(20.0, flag).excess, 0.0);  // ts = 1.37 > 1
  EXPECT_EQ(flag, 0);
}

// Input below the capacity is stored up to M = 1000 (1 - S) theta_sat; the excess sets the
// flag. The deficit takes theta_sat of layer 2, or of layer 1 in a one-layer soil.
TEST_F(ColumnSources, StorableAmountSetsTheSaturationFlag) {
  struct Case {
    int layers;
    double se, input, infiltrated, flag;
  };
  for (const Case& c : {Case{4, 0.99, 6.0, 1000 * 0.01 * kThetaE, 1}, Case{4, 0.99, 4.0, 4.0, 0},
                        Case{1, 0.99, 6.0, 1000 * 0.01 * kThetaE, 1}, Case{1, 0.5, 6.0, 6.0, 0}}) {
    LoadSiltLoam(c.layers, c.se);
    double flag = -1;
    const InfiltrationResult r = Infiltrate(c.input, flag);
    EXPECT_NEAR(r.infiltrated, c.infiltrated, 1e-9) << c.layers << " " << c.input;
    EXPECT_NEAR(r.excess, c.input - c.infiltrated, 1e-9);
    EXPECT_EQ(flag, c.flag);
  }
  // Layer 2 holds more at saturation than layer 1: its theta_sat sets the deficit (an
  // infiltration capacity far above the input keeps Green-Ampt out).
  LoadSiltLoam(2, 0.99);
  soil_.theta_sat[2] = 0.6;
  const double s = 0.5 * (0.99 + 0.99 * kThetaE / 0.6);
  double flag = 0;
  EXPECT_NEAR(Infiltrate(200.0, flag, 1e12).infiltrated, 1000 * (1 - s) * 0.6, 1e-6);
}

// Macropores: nothing up to the threshold; the deepest layer above MacroDepth fills first and no
// layer rises above saturation.
TEST_F(ColumnSources, MacroporesFillDeepestLayersFirst) {
  LoadLoam(4, 0.1, 0.3, " PMacroThresh = 1; MacroCapacity = 360; MacroDepth = 0.3;");
  std::vector<double> inflow(5, 0.0);
  double input = 0;  // mm/ms
  auto take = [&](double mm_per_h) {
    input = mm_per_h / 3.6e6;
    return ComputeMacroporeInfiltration(soil_, 4, A(W::kThetaSat), A(W::kDz), A(W::kTheta),
                                        inflow.data(), input, 3.6e6);
  };
  EXPECT_EQ(take(1.0), 0.0);
  EXPECT_EQ(input, 1.0 / 3.6e6);
  // 6 mm above the threshold: layer 3 (centre 0.25 m) has room for 13 mm and takes it all.
  EXPECT_NEAR(take(7.0), 6.0, 1e-9);
  EXPECT_NEAR(A(W::kTheta)[3], 0.36, 1e-12);
  EXPECT_EQ(A(W::kTheta)[2], 0.3);
  EXPECT_NEAR(input, 1.0 / 3.6e6, 1e-18);
  // A flood fills layers 3, 2 and 1 to saturation; layer 4 lies below MacroDepth.
  EXPECT_NEAR(take(300.0), 7.0 + 13.0 + 13.0, 1e-9);
  for (int k = 1; k <= 3; ++k) EXPECT_DOUBLE_EQ(A(W::kTheta)[k], 0.43);
  EXPECT_EQ(A(W::kTheta)[4], 0.3);
}

// With shape 0 the weights are the integrals of the triangular root density 2 / Rd (1 - z / Rd)
// over each layer's part of the root zone, and they sum to 1.
TEST_F(ColumnSources, RootWeightsFollowTheTriangularDistribution) {
  const std::vector<double> dz = {0, 0.1, 0.2, 0.3, 0.4};
  for (double rd : {0.05, 0.45, 0.6, 1.0}) {
    std::vector<double> w(5);
    const int count = RootWeights(dz.data(), 4, rd, 0.0, w.data());
    const double depth = std::max(rd, 0.1);
    auto integral = [&](double a, double b) {
      return 2.0 / depth * ((b - a) - (b * b - a * a) / (2 * depth));
    };
    double upper = 0, sum = 0;
    for (int k = 1; k <= 4; ++k) {
      const double lower = std::min(upper + dz[k], depth);
      const double expected = upper < depth ? integral(upper, lower) : 0.0;
      EXPECT_NEAR(w[k], expected, 1e-12) << rd << " " << k;
      sum += w[k];
      upper += dz[k];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    EXPECT_EQ(count, rd <= 0.1 ? 1 : rd <= 0.3 ? 2 : rd <= 0.6 ? 3 : 4);
  }
}

// The uptake factor is 0 at theta_res, linear up to the threshold, 1 until the wet fraction of
// saturation and falls linearly to the wet value at saturation. The threshold is the content at
// the stress suction, or (2 theta_fc + theta_sat) / 3 when field capacity lies above it.
TEST_F(ColumnSources, UptakeStressFactor) {
  struct Case {
    double theta, expected;
  };
  for (const Case& c : {Case{0.05, 0.0}, Case{0.10, 0.0}, Case{0.15, 0.5}, Case{0.20, 1.0},
                        Case{0.36, 1.0}, Case{0.38, 0.75}, Case{0.40, 0.5}})
    EXPECT_NEAR(UptakeFactor(c.theta, 0.10, 0.20, 0.40, 0.9, 0.5), c.expected, 1e-12) << c.theta;
  LoadLoam(2, 0.5, 0.3);
  EXPECT_DOUBLE_EQ(StressThreshold(soil_, 1, 100.0, fc_[1]), (2 * fc_[1] + 0.43) / 3);
  EXPECT_DOUBLE_EQ(StressThreshold(soil_, 1, 1.0, fc_[1]), soil_.GetTheta(1, 1.0));
}

// Transpiration of 1 mm and 0.5 mm of evaporation demand from a loam of four layers of 0.1 m
// rooted to 0.4 m. Wet enough everywhere: every layer gives its root weight's share, and layer 1
// the evaporation share 1 - ((0.43 - 0.3) / 0.43)^2. Layer 1 at theta_res: its share moves to
// layer 2 (less than twice layer 2's weight); with the layer limit at 1 it stays unmet and
// adds to the evaporation demand, which layer 1 cannot meet.
TEST_F(ColumnSources, EvapotranspirationByHand) {
  LoadLoam(4, 0.1, 0.3);
  RootUptakeSettings s;
  s.rootDepth = 0.4;
  s.stressSuction = 10.0;  // content about 0.11, below field capacity 0.163
  s.wetFraction = 0.95;
  s.wetFactor = 0.5;
  s.layerLimit = 4;
  s.potentialRate = 1.0 / 3.6e6;
  s.stepLength = 3.6e6;
  s.evaporationDemand = 0.5;
  s.evaporationDepth = 0.05;
  std::vector<double> w(5), uptake(5), total(5, 0.0), evaporation(5);
  std::vector<double> expected_w(5);
  RootWeights(A(W::kDz), 4, 0.4, 0.0, expected_w.data());
  auto run = [&] {
    return DistributeEvapotranspiration(soil_, fc_.data(), 4, A(W::kDz), A(W::kThetaSat),
                                        A(W::kThetaRes), A(W::kTheta), s, w.data(), uptake.data(),
                                        total.data(), evaporation.data());
  };
  EXPECT_EQ(run(), 0.0);
  for (int k = 1; k <= 4; ++k) EXPECT_NEAR(uptake[k], expected_w[k], 1e-12);
  const double dry = (0.43 - 0.3) / 0.43;
  EXPECT_NEAR(evaporation[1], 0.5 * (1 - dry * dry), 1e-12);
  EXPECT_EQ(evaporation[0], evaporation[1]);

  A(W::kTheta)[1] = 0.078;
  EXPECT_EQ(run(), 0.0);
  EXPECT_EQ(uptake[1], 0.0);
  EXPECT_NEAR(uptake[2], expected_w[1] + expected_w[2], 1e-12);
  EXPECT_EQ(evaporation[1], 0.0);  // nothing above theta_res

  s.layerLimit = 1;
  EXPECT_NEAR(run(), expected_w[1], 1e-12);
  EXPECT_NEAR(uptake[2], expected_w[2], 1e-12);
  EXPECT_NEAR(total[2], 3 * expected_w[2] + expected_w[1], 1e-12);  // the three runs
}

// Depth averages of a column of layers 0.1, 0.2, 0.3 and 0.4 m, and its drainable pore volume.
TEST_F(ColumnSources, AverageOverDepth) {
  Load(test::VanGenuchtenKeys(0.4, 0.05, 3.6, 1.56, 1e-5, 4, 0.25) + "", 0.2);
  soil_.thickness = {0.1, 0.1, 0.2, 0.3, 0.4};
  const double* theta = A(W::kTheta);  // theta_sat / 2 everywhere
  struct Case {
    int mode;
    double top, bottom, expected;
  };
  for (const Case& c :
       {Case{0, 0.0, 1.0, 0.5}, Case{0, 0.05, 0.77, 0.5}, Case{0, 0.0, 9999, 0.5},
        Case{1, 0.0, 9999, 0.2}, Case{1, 0.0, 5.0, 0.2}, Case{1, 0.1, 0.6, 0.1},
        Case{1, 0.12, 0.28, 0.2 * 0.16}, Case{0, 0.12, 0.28, 0.5}, Case{1, 0.3, 0.3, 0.0},
        Case{0, 0.0, 0.0, -9999}, Case{1, 0.2, -1.0, -9999}, Case{0, 1.0, 1.0, 1.0}})
    EXPECT_NEAR(AverageOverDepth(soil_, 4, theta, c.mode, c.top, c.bottom, -9999), c.expected, 1e-8)
        << c.mode << " " << c.top << " " << c.bottom;
  // Mean water content of the root zone: roots inside layer 1, across layers, below the column.
  const double contents[] = {0, 0.1, 0.3, 0.2, 0.4};
  for (const auto& [roots, expected] : std::initializer_list<std::pair<double, double>>{
           {0.05, 0.1}, {0.15, (0.01 + 0.015) / 0.15}, {0.0, 0.1}, {5.0, 0.29}})
    EXPECT_NEAR(RootZoneTheta(soil_, 4, contents, roots), expected, 1e-12) << roots;
  // Drainable pores of layers 2 and 3 (the table in layer 2, the last layer never counts).
  EXPECT_NEAR(DrainablePoreVolume(soil_, fc_.data(), 2, 4),
              1000 * (0.2 * (0.4 - fc_[2]) + 0.3 * (0.4 - fc_[3])), 1e-9);
}

// The water the saturated zone gains when its table moves, by hand for a loam of four layers of
// 0.5 m under 100 m (boundaries 99.5, 99, 98.5, 98): a rise inside layer 2 fills the pores
// between the old and the new table, a fall across a boundary drains them, a rise across one
// fills them; base flow, groundwater exchange and river terms add their amounts.
TEST_F(ColumnSources, GroundwaterRechargeByHand) {
  struct Case {
    TableMove move;
    double theta2, theta0_3, theta3, expected;
  };
  const std::vector<double> exchange = {0.002, 0, 0, 0, 0};
  TableMove rise{false, 2, 2, 99.1, 99.3, 600, 0, 0, false, 0, 0};
  TableMove fell{false, 2, 3, 99.2, 98.9, 600, 0, 0, false, 0, 0};
  TableMove rose{false, 3, 2, 98.9, 99.2, 600, 0, 0, false, 0, 0};
  TableMove coupled{true, 2, 3, 0, 0, 600, 3.6e6, 0, false, 0, 0};
  TableMove sums{false, 2, 2, 99.1, 99.1, 600, 1000, 0.001, true, 0.0002, 0.0005};
  for (const Case& c : {Case{rise, 0.40, 0.43, 0.43, 0.2 * (0.43 - 0.33) * 1000},
                        Case{fell, 0.40, 0.43, 0.41, -0.2 * 0.03 * 1000 - 0.5 * 0.02 * 1000},
                        Case{rose, 0.40, 0.41, 0.43, 0.02 * 0.5 * 1000 + 0.2 * 0.03 * 1000},
                        Case{coupled, 0.40, 0.43, 0.43, 3.6},
                        Case{sums, 0.40, 0.43, 0.43, 1000 * (0.001 + 0.002 + 0.0005 - 0.0002)}}) {
    LoadLoam(4, 0.5, 0.43);
    A(W::kTheta0)[2] = 0.35;  // (0.5 x 0.35 - 0.1 x 0.43) / 0.4 = 0.33 above the old table
    A(W::kTheta)[2] = c.theta2;
    A(W::kTheta0)[3] = c.theta0_3;
    A(W::kTheta)[3] = c.theta3;
    A(W::kQ)[2] = -1e-6;
    EXPECT_NEAR(ComputeGroundwaterRecharge(ws_, soil_, c.move, exchange.data()), c.expected, 1e-9)
        << c.move.oldLayer << " " << c.move.newLayer;
  }
  // The old layer is the one that held the table at the start (on a boundary: the layer below),
  // wherever the exchange and the iteration moved it: 1 above the surface, 4 below the column.
  const double z[] = {100, 99.5, 99, 98.5, 98};
  for (const auto& [head, layer] : {std::pair{99.2, 2}, {99.0, 3}, {100.5, 1}, {97.0, 4}})
    EXPECT_EQ(TableLayer(z, 4, head), layer) << head;
}

}  // namespace
}  // namespace velorn

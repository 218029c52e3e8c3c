// The column numerics of one iteration: gravity flow at unit gradient, the conductivity ratio
// limit, interflow and tile drainage by hand, the flux limiter's room rule and its 51-round
// bisection (run out, or stopped inside), the thaw-depth cap of infiltration, and the water balance
// of every iteration of random columns that drive the content limiter into its wet and dry cases.
#include "unsatzone/soil_column_fluxes.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "tests/support/soil_column_work.h"

namespace velorn {
namespace {

class ColumnFluxes : public test::SoilColumnWork {
 protected:
  // One iteration with inflow `infiltration` (m/s) at the top; counts the layers that the
  // fluxes alone would bring above saturation (`wet_`) or below theta_res (`dry_`).
  void Iterate(int iteration, double infiltration, double dt, int* clamped = nullptr) {
    ComputeHydraulicHeads(ws_, cell_, iteration);
    ComputeLayerFluxes(ws_, cell_, infiltration, dt, nullptr, totals_);
    const double* q = A(W::kQ);
    for (int k = 1; k <= ActiveRangeLowest(ws_, cell_, ColumnOperation::kContents); ++k) {
      const double raw =
          (q[k] - q[k - 1] - A(W::kExtraction)[k]) * dt / A(W::kDz)[k] + A(W::kTheta0)[k];
      wet_ += raw > A(W::kThetaSat)[k];
      dry_ += raw < A(W::kThetaRes)[k];
    }
    LimitLayerContents(ws_, cell_, kContentLimiterSweeps, dt, totals_);
    int mean_count = 0;
    UpdateLayerMoisture(ws_, cell_, iteration + 1, dt, mean_count, clamped);
  }
  FluxTotals totals_;
  int wet_ = 0, dry_ = 0;
};

// Uniform water content: equal suctions, so gravity alone drives the water down at unit
// gradient and q = -K(theta) through every interface (harmonic mean near the table and the
// larger conductivity above it both give K for equal layers).
TEST_F(ColumnFluxes, UniformSuctionDrainsAtUnitGradient) {
  for (double theta : {0.2, 0.3, 0.43}) {
    LoadLoam(6, 0.2, theta);
    const double k = 2.89e-6 * soil_.GetRelativeConductivity(1, theta, 1.0);
    A(W::kQ)[6] = -k;  // the caller's flux below the column
    ComputeHydraulicHeads(ws_, cell_, 0);
    A(W::kHead)[6] = A(W::kHead)[5] - 0.2;  // the caller's head of the lowest layer
    ComputeLayerFluxes(ws_, cell_, k, 3600, nullptr, totals_);
    EXPECT_DOUBLE_EQ(A(W::kQ)[0], -k);
    for (int i = 1; i <= 5; ++i) EXPECT_NEAR(A(W::kQ)[i], -k, 1e-12 * k) << theta << " " << i;
  }
}

// The head of a layer takes the mean of the suctions at the start of the step (kept from the
// first iteration) and at the iteration's mean content: h = z_centre - (psi(theta0) +
// psi(theta_mean)) / 2.
TEST_F(ColumnFluxes, HeadCentresTheSuctionInTime) {
  LoadLoam(3, 0.2, 0.3);
  A(W::kTheta0)[2] = 0.25;
  A(W::kThetaMean)[2] = 0.35;
  const double centre = kSurface - 0.3;
  const double start = soil_.GetSuction(2, 0.25);
  for (int iteration : {0, 1}) {
    ComputeHydraulicHeads(ws_, cell_, iteration);
    EXPECT_NEAR(A(W::kHead)[2], centre - 0.5 * (start + soil_.GetSuction(2, 0.35)), 1e-12)
        << iteration;
    A(W::kTheta0)[2] = 0.2;  // a later iteration keeps the start's suction
  }
  EXPECT_GT(start, soil_.GetSuction(2, 0.35));
}

// A wet layer over a dry one: the relative conductivities are brought within the soil's
// maxratio before the thickness-weighted harmonic mean.
TEST_F(ColumnFluxes, RatioLimitBoundsTheConductivityContrast) {
  for (double ratio : {10.0, 1000.0}) {
    LoadLoam(2, 0.1, 0.4, FormatText(" maxratio = %g;", ratio));
    A(W::kTheta0)[2] = A(W::kThetaMean)[2] = 0.12;
    ComputeHydraulicHeads(ws_, cell_, 0);
    ComputeLayerFluxes(ws_, cell_, 0.0, 1e-6, nullptr, totals_);
    const double ru = soil_.GetRelativeConductivity(1, 0.4, 1.0);
    const double rl = std::max(soil_.GetRelativeConductivity(2, 0.12, 1.0), ru / ratio);
    const double kmean = 2 * ru * rl * 2.89e-6 / (ru + rl);  // equal thicknesses
    const double head_gap = A(W::kHead)[1] - A(W::kHead)[2];
    EXPECT_NEAR(A(W::kQ)[1], -head_gap * kmean / 0.1, 1e-9 * std::fabs(A(W::kQ)[1])) << ratio;
  }
}

// Interflow leaves a layer only above the table, while its suction is below field capacity and
// its conductivity exceeds the one below: r Ks dz d, capped by the water above field capacity.
TEST_F(ColumnFluxes, InterflowAndTileDrainageByHand) {
  struct Case {
    double theta;
    double ks_below;  // ksat of layers 2 and 3 (layer 1: 1e-5)
    int gw_layer;
    int drain_layer;
  };
  const double dt = 600, d = 0.05, dz = 0.3, ks = 1e-5, l = 20, cell = 100;
  for (const Case& c : {Case{0.40, 1e-6, 3, -1}, Case{0.40, 1e-5, 3, -1}, Case{0.40, 1e-6, 1, -1},
                        Case{0.15, 1e-6, 3, -1}, Case{0.40, 1e-6, 3, 1}, Case{0.40, 1e-5, 3, 1},
                        Case{0.25, 2e-5, 3, 1}}) {
    LoadLoam(3, dz, c.theta);
    soil_.ksat = {ks, ks, c.ks_below, c.ks_below};
    cell_.gwLayer = c.gw_layer;
    cell_.drainageDensity = d;
    cell_.drainageLayer = c.drain_layer;
    cell_.drainDistance = l;
    ComputeHydraulicHeads(ws_, cell_, 0);
    ComputeLayerFluxes(ws_, cell_, 0.0, dt, nullptr, totals_);
    // Above the table and wetter than field capacity (suction below 3.45 m).
    const bool active = c.gw_layer > 1 && c.theta > fc_[1];
    const double r = soil_.GetRelativeConductivity(1, c.theta, 1.0);
    const double qmax = std::max(0.0, (c.theta - fc_[1]) * dz / dt);
    const double inter = active && c.ks_below < ks ? r * ks * dz * d : 0.0;
    const double drain =
        active && c.drain_layer == 1 ? std::min(qmax, 2 * r * ks * dz / l * cell / l) : 0.0;
    EXPECT_NEAR(A(W::kExtraction)[1], std::min(inter + drain, qmax), 1e-15) << c.theta;
    EXPECT_NEAR(totals_.drainage, drain, 1e-15) << c.theta;
  }
}

// The flux into a nearly saturated layer is cut to the room the layer has (and to 0 when the
// room would not be the cause); heads equal on both sides never start the bisection.
TEST_F(ColumnFluxes, FluxLimiterRoomRule) {
  const double dt = 100;
  struct Case {
    double q, inflow_above, expected;
  };
  // room = 0.1 (0.43 - 0.42) / 100 = 1e-5
  for (const Case& c : {Case{1e-3, 0.0, 1e-5}, Case{5e-6, -2e-5, 0.0}, Case{5e-6, 0.0, 5e-6}}) {
    LoadLoam(3, 0.1, 0.42);
    A(W::kQ)[0] = c.inflow_above;
    A(W::kHead)[1] = A(W::kHead)[2] = 99.0;
    EXPECT_NEAR(LimitInterfaceFlux(ws_, cell_, 1, c.q, dt), c.expected, 1e-18) << c.q;
  }
}

// A dry layer over a wet one whose heads point downward: any flux keeps the predicted gradient
// reversed, so the bisection halves flux and extraction in all 51 rounds and stops.
TEST_F(ColumnFluxes, BisectionEndsAfterFiftyOneRounds) {
  LoadLoam(3, 0.1, 0.43);
  A(W::kTheta0)[1] = 0.09;
  A(W::kHead)[1] = 99.95;
  A(W::kHead)[2] = 99.85;
  A(W::kExtraction)[1] = 1e-8;
  const double q0 = -1e-6;
  const double q = LimitInterfaceFlux(ws_, cell_, 1, q0, 60);
  EXPECT_DOUBLE_EQ(q, q0 * std::ldexp(1.0, -kFluxBisectionRounds));
  EXPECT_DOUBLE_EQ(A(W::kExtraction)[1], 1e-8 * std::ldexp(1.0, -kFluxBisectionRounds));
}

// Two equal layers draining fast enough to reverse the gradient in one step, which no flux near
// 0 does: the bisection stops inside, where the predicted heads are within 1 mm (not at the end
// point that a gradient reversed at every flux gives).
TEST_F(ColumnFluxes, BisectionStopsWhereTheGradientJustHolds) {
  LoadLoam(3, 0.1, 0.3);
  A(W::kHead)[1] = 99.95;
  A(W::kHead)[2] = 99.85;
  const double q0 = -1e-4, dt = 60;
  const double q = LimitInterfaceFlux(ws_, cell_, 1, q0, dt);
  EXPECT_LT(q0, q);
  EXPECT_LT(q, q0 * std::ldexp(1.0, -20));
  const double* z = A(W::kZBound);
  const double hu = 0.5 * (z[0] + z[1]) - soil_.GetSuction(1, 0.3 + q * dt / 0.1);
  const double hl = 0.5 * (z[1] + z[2]) - soil_.GetSuction(2, 0.3 - q * dt / 0.1);
  EXPECT_LE(std::fabs(hl - hu), 0.001);
}

// The limiter keeps its last bisection per boundary: the same inputs again give the stored
// result, and a change of any one input bisects anew, as a fresh workspace does (same bits).
TEST_F(ColumnFluxes, RepeatedBisectionGivesTheSameBits) {
  const double q0 = -1e-4, dt = 60;
  struct Case {
    const char* input;
    W::Array array;
    int layer;
    double value;
  };
  auto limit = [&](const Case* change) {
    A(W::kHead)[1] = 99.95;
    A(W::kHead)[2] = 99.85;
    A(W::kExtraction)[1] = 1e-7;
    if (change != nullptr) A(change->array)[change->layer] = change->value;
    return LimitInterfaceFlux(ws_, cell_, 1, q0, dt);
  };
  for (const Case& c :
       {Case{"flux below", W::kQ, 2, -2e-5}, Case{"content", W::kTheta0, 2, 0.31},
        Case{"head", W::kHead, 2, 99.96}, Case{"extraction", W::kExtraction, 2, 1e-7},
        Case{"upper extraction", W::kExtraction, 1, 2e-7},
        Case{"upper content", W::kTheta0, 1, 0.29}}) {
    LoadLoam(3, 0.1, 0.3);
    const double first = limit(nullptr);
    const double first_extraction = A(W::kExtraction)[1];
    const double again = limit(nullptr);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(again), std::bit_cast<std::uint64_t>(first));
    EXPECT_EQ(A(W::kExtraction)[1], first_extraction);
    const double changed = limit(&c);
    const double changed_extraction = A(W::kExtraction)[1];
    LoadLoam(3, 0.1, 0.3);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(changed), std::bit_cast<std::uint64_t>(limit(&c)))
        << c.input;
    EXPECT_EQ(changed_extraction, A(W::kExtraction)[1]) << c.input;
    EXPECT_TRUE(changed != first || changed_extraction != first_extraction) << c.input;
  }
}

// Below the permafrost thaw depth the soil conducts the reduced conductivity; a thaw depth inside
// layer 1 caps the infiltration at it.
TEST_F(ColumnFluxes, ThawDepthInsideLayerOneCapsInfiltration) {
  struct Case {
    double thaw_depth, expected_top;
  };
  for (const Case& c : {Case{0.05, -1e-8}, Case{0.15, -2e-6}, Case{-1, -2e-6}}) {
    LoadLoam(3, 0.1, 0.3);
    cell_.thawDepth = c.thaw_depth;
    cell_.reducedKsat = 1e-8;
    ComputeHydraulicHeads(ws_, cell_, 0);
    ComputeLayerFluxes(ws_, cell_, 2e-6, 600, nullptr, totals_);
    EXPECT_DOUBLE_EQ(A(W::kQ)[0], c.expected_top) << c.thaw_depth;
    if (c.thaw_depth >= 0) {
      EXPECT_DOUBLE_EQ(A(W::kKs)[3], 1e-8);
    }
  }
}

// Two dry snow layers over wet soil: the gradient points up into the snow, but no water rises
// from the soil into the snow; inside the snow pack the flux is computed.
TEST_F(ColumnFluxes, NoWaterRisesIntoTheSnow) {
  LoadLoam(3, 0.1, 0.42);
  SoilRecord snow;
  snow.ParseEntry(diag_, test::SoilBlock(test::VanGenuchtenKeys(0.6, 0.01, 10, 2, 1e-4, 2, 0.2), 9),
                  "MultipleHorizons");
  ws_.Resize(2, 3);
  LoadSoilLayers(ws_, soil_, kSurface);
  for (int k = -1; k <= 3; ++k) {
    if (k <= 0) A(W::kDz)[k] = 0.2;
    for (auto a : {W::kTheta0, W::kTheta, W::kThetaMean}) A(a)[k] = k <= 0 ? 0.1 - 0.05 * k : 0.42;
  }
  A(W::kZBound)[-1] = kSurface + 0.2;
  A(W::kZBound)[-2] = kSurface + 0.4;
  cell_.snow = &snow;
  cell_.i0 = -2;
  ComputeHydraulicHeads(ws_, cell_, 0);
  ComputeLayerFluxes(ws_, cell_, 0.0, 60, nullptr, totals_);
  EXPECT_GT(A(W::kHead)[1], A(W::kHead)[0]);
  EXPECT_EQ(A(W::kQ)[0], 0.0);
  EXPECT_NE(A(W::kQ)[-1], 0.0);
}

// Every iteration moves water only through the boundaries, extractions and river terms:
// sum (theta - theta0) dz = (q_bottom - q_top - sum extraction) dt over the updated layers, for
// random columns with heavy rain or strong drainage that bring layers over saturation or below
// theta_res before the content limiter. Only the [0, 1] clamp of the update may break it; the
// test counts how often that happens.
TEST_F(ColumnFluxes, EveryIterationConservesWater) {
  std::mt19937 random(33);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int iterations = 0, clamped_iterations = 0;
  for (int column = 0; column < 300; ++column) {
    const int n = 3 + static_cast<int>(unit(random) * 8);
    LoadLoam(n, 0.05 + 0.3 * unit(random), 0.2);
    soil_.ksat.assign(soil_.ksat.size(), 1e-6 + 5e-5 * unit(random));
    for (int k = 1; k <= n; ++k) {
      const double t = 0.078 + (0.43 - 0.078) * unit(random);
      A(W::kTheta0)[k] = A(W::kTheta)[k] = A(W::kThetaMean)[k] = t;
    }
    cell_.gwLayer = n;
    cell_.drainageDensity = 0.1 * unit(random);
    A(W::kQ)[n] = -2e-5 * unit(random);
    const double dt = 60 + 3600 * unit(random);
    const double rain = unit(random) < 0.5 ? 1e-4 * unit(random) : -1e-6 * unit(random);
    for (int iteration = 0; iteration < 6; ++iteration) {
      int clamped = 0;
      Iterate(iteration, rain, dt, &clamped);
      const int lowest = ActiveRangeLowest(ws_, cell_, ColumnOperation::kMoisture);
      double stored = 0, moved = A(W::kQ)[lowest] - A(W::kQ)[0];
      for (int k = 1; k <= lowest; ++k) {
        stored += (A(W::kTheta)[k] - A(W::kTheta0)[k]) * A(W::kDz)[k];
        moved -= A(W::kExtraction)[k];
      }
      ++iterations;
      if (clamped > 0) {
        ++clamped_iterations;
        continue;
      }
      ASSERT_NEAR(stored, moved * dt, 1e-12) << column << " " << iteration;
    }
  }
  RecordProperty("clamped_iterations", clamped_iterations);
  RecordProperty("wet_layers", wet_);
  RecordProperty("dry_layers", dry_);
  EXPECT_EQ(clamped_iterations, 0) << "of " << iterations;
  EXPECT_GT(wet_, 100);
  EXPECT_GT(dry_, 100);
}

}  // namespace
}  // namespace velorn

// Solute tracers in the groundwater model: the upwind mixing of one cell by hand, a two-cell
// aquifer by hand (flow between two fixed heads, decay by half per sub-step), and the tracer
// mass of a two-layer aquifer with leakage, which changes per sub-step only by its decay.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/tracer_bookkeeping.h"
#include "lateral/groundwater_physics.h"
#include "tests/lateral/groundwater_fixture.h"

namespace velorn {
namespace {

TEST(GroundwaterTransport, MixesInflowsUpwindAndKeepsOutflowsAtTheOwnConcentration) {
  // 10 m3 at 2; 4 m3 in from the north at 5, 3 m3 out to the east, 1 m3 in from above at 1:
  // (20 + 20 - 6 + 1) / (10 + 4 - 3 + 1).
  const double q[6] = {4, -3, 0, 0, 1, 0};
  const double upwind[6] = {5, 7, 9, 9, 1, 9};
  EXPECT_DOUBLE_EQ(TransportedConcentration(10, 2, q, upwind), 35.0 / 12.0);
  const double drained[6] = {0, -10, 0, 0, 0, 0};
  EXPECT_EQ(TransportedConcentration(10, 2, drained, upwind), 0.0);
}

class GroundwaterTracers : public test::GroundwaterTest {
 protected:
  GroundwaterTracers(int rows, int cols) : GroundwaterTest(rows, cols, 10.0) {}
  // Tracer 1, decaying by half per hour when `half_hour` (half-life 1/24 day).
  void SetupTracer(bool decaying) {
    tracers_[1].name = "cl_";
    tracers_[1].gwini = 1.0;
    if (decaying) {
      tracers_[1].radioactive = 1;
      tracers_[1].half_time = 1.0 / 24.0;
    }
    int32_t error = -1;
    model_->SetupTracers(error, 1, tracers_.data(), records_.data(), kZoneStatisticsCapacity);
    ASSERT_EQ(error, 0) << screen_.str();
  }
  double** Conc(int l) {
    return Grid("concstor_tracer_1_layer_" + std::to_string(l) + "_groundwater_flow");
  }
  std::vector<TracerDefinition> tracers_ = std::vector<TracerDefinition>(2);
  std::vector<ZoneStatisticsRecord> records_ =
      std::vector<ZoneStatisticsRecord>(kZoneStatisticsCapacity + 1);
};

class TwoCells : public GroundwaterTracers {
 protected:
  TwoCells() : GroundwaterTracers(1, 2) {}
};

TEST_F(TwoCells, CarryTheUpstreamConcentrationAndDecayByHalf) {
  // Layer 2 (top 97.5 m, 10 m thick, T = 1e-3 m2/s, S = 0.2) between fixed heads 121 and 120 m:
  // Q = 1 m / 10 m x 1e-3 x 10 m x 3600 s = 3.6 m3 per sub-step from cell 1 to cell 2, each cell
  // storing V = 0.2 x 100 m2 x 10 m = 200 m3.
  AddInputs(2, 20.0, 1e-4, 0.2);
  G("gw_boundary_fix_h_2")[1][1] = 121;
  G("gw_boundary_fix_h_2")[1][2] = 120;
  ASSERT_EQ(Make(Section(1, 2, 1.0, 1, "0 0", "0", 50, 1e-9)), 0) << screen_.str();
  SetupTracer(true);
  Conc(2)[1][2] = 0;
  // A half-life of one hour with the half-life constant 1.442695041111 (1 / ln 2).
  const double f = std::exp(-1.0 / 1.442695041111);
  Run(1);
  EXPECT_NEAR(Conc(2)[1][1], f, 1e-12);
  EXPECT_NEAR(Conc(2)[1][2], 3.6 * f / 203.6, 1e-12);
  EXPECT_NEAR(Conc(1)[1][1], f, 1e-12);  // no flow in layer 1
  EXPECT_NEAR(Grid("concflux_tracer_1_groundwater_flow")[1][2], f, 1e-12);
  Run(1);
  // Cell 2 now holds 200 m3 at 3.6 f / 203.6 (decayed once more) and receives 3.6 m3 at f^2.
  const double c2 = 3.6 * f / 203.6 * f;
  EXPECT_NEAR(Conc(2)[1][2], (200 * c2 + 3.6 * f * f) / 203.6, 1e-12);
}

class Aquifer : public GroundwaterTracers {
 protected:
  Aquifer() : GroundwaterTracers(5, 6) {}
};

TEST_F(Aquifer, TracerMassChangesPerSubStepOnlyByDecay) {
  AddInputs(2, -0.5, 1e-4, 0.05);
  for (int r = 1; r <= 5; ++r) {
    for (int c = 1; c <= 6; ++c) {
      G("groundwater_distance")[r][c] = -0.3 - 0.1 * c;
      G("gw_kolmation_1")[r][c] = 2e-6;
      G("gw_k_x_2")[r][c] = 1e-4 * (1 + 0.5 * std::sin(r + 2 * c));
    }
    G("gw_boundary_fix_h_2")[r][1] = 98.5;
  }
  G("zones")[3][4] = N;
  ASSERT_EQ(Make(Section(1, 2, 1.3, 1, "0 0", "0", 50, 1e-6)), 0) << screen_.str();
  SetupTracer(true);
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 6; ++c)
      for (int l = 1; l <= 2; ++l)
        if (G("zones")[r][c] != N) Conc(l)[r][c] = 1 + 0.5 * std::cos(r * c + l);
  for (int step = 1; step <= 4; ++step) {
    Run(1);
    double start = 0, end = 0, decayed = 0, leak = 0;
    for (int l = 1; l <= 2; ++l) {
      const GwTracerLayer& layer = model_->gw_tracers[1].layers[l];
      start += layer.mass_start;
      end += layer.mass_end;
      decayed += layer.decayed;
      leak += l == 1 ? layer.mass_end - layer.mass_start : layer.mass_start - layer.mass_end;
    }
    // Half decays, the rest moves: each layer's gain is the other's loss.
    EXPECT_NEAR(decayed, start, 1e-9 * start) << step;
    EXPECT_NEAR(end, start, 1e-12 * start) << step;
    EXPECT_GT(std::abs(leak), 0.0) << step;
    EXPECT_EQ(Conc(1)[3][4], N);
    EXPECT_EQ(Conc(2)[3][4], N);
  }
}

}  // namespace
}  // namespace velorn

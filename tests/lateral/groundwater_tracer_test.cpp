// Solute tracers in the groundwater model: the upwind move of one cell by hand (a table: plain
// mixing, a cell whose outflow exceeds its water, a dry cell fed by a limited one), two cells
// between fixed heads by hand (the boundary passes the solute on, decay by half per sub-step),
// and a two-layer aquifer with leakage whose tracer mass changes per sub-step only by decay and
// its boundary, with every concentration within the range it started in.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/tracer_bookkeeping.h"
#include "lateral/groundwater_physics.h"
#include "tests/lateral/groundwater_fixture.h"

namespace velorn {
namespace {

TEST(GroundwaterTransport, MovesSoluteUpwindAndNoCellGivesMoreThanItHolds) {
  struct Case {
    const char* what;
    double water, mass, outflow_scale;
    double q[6], upwind_scale[6], upwind_carried[6];
    double water_after, mass_after;
  };
  const Case cases[] = {
      // 10 m3 at 2; 4 m3 in from the north at 5, 3 m3 out to the east, 1 m3 in from above at 1.
      {"mixing", 10, 20, 1, {4, -3, 0, 0, 1, 0}, {1, 1, 1, 1, 1, 1}, {5, 7, 9, 9, 1, 9}, 12, 35},
      // 30 m3 would leave 10 m3 at 2: a third of each outflow goes, all the cell held; 4 m3 come
      // in at 5, so the cell ends at 5, within its sources (not (20 - 60 + 20) / (10 - 30 + 4)).
      {"limited",
       10,
       20,
       1.0 / 3,
       {4, -30, 0, 0, 0, 0},
       {1, 1, 1, 1, 1, 1},
       {5, 0, 0, 0, 0, 0},
       4,
       20},
      // A dry cell takes 2 m3 from a neighbour that feeds half its outflow at 4: 1 m3 and 4.
      {"dry", 0, 0, 0, {0, 0, 2, 0, 0, 0}, {1, 1, 0.5, 1, 1, 1}, {0, 0, 2, 0, 0, 0}, 1, 4},
      // A cell that gives all its 1200 m3 at 10 to the north and south keeps nothing (the
      // differences left 1.8e-12 of solute without water, which the next inflow concentrated).
      {"emptied",
       1200,
       12000,
       1200 / (381.407 + 2074.82),
       {-381.407, 0, -2074.82, 0, 0, 0},
       {1, 1, 1, 1, 1, 1},
       {0, 0, 0, 0, 0, 0},
       0,
       0},
  };
  EXPECT_DOUBLE_EQ(OutflowScale(10, 30), 1.0 / 3);
  EXPECT_EQ(OutflowScale(0, 3), 0.0);
  EXPECT_EQ(OutflowScale(5, 0), 1.0);
  for (const Case& k : cases) {
    const SoluteCell after = MoveSolute(SoluteCell{k.water, k.mass, k.outflow_scale}, k.q,
                                        k.upwind_scale, k.upwind_carried);
    EXPECT_NEAR(after.water, k.water_after, 1e-12) << k.what;
    EXPECT_NEAR(after.mass, k.mass_after, 1e-12) << k.what;
  }
}

class GroundwaterTracers : public test::GroundwaterTest {
 protected:
  GroundwaterTracers(int rows, int cols) : GroundwaterTest(rows, cols, 10.0) {}
  // Tracer 1, decaying by half per hour when `decaying` (half-life 1/24 day); an evaporating
  // tracer's grids hold concentrations, another's the stored amounts.
  void SetupTracer(bool decaying, bool evaporating = true) {
    tracers_[1].name = "cl_";
    tracers_[1].gwini = 1.0;
    tracers_[1].evaporating = evaporating ? 1 : 0;
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

TEST_F(TwoCells, PassTheSoluteThroughTheBoundaryAndDecayByHalf) {
  // Layer 2 (top 97.5 m, 10 m thick, T = 1e-3 m2/s, S = 0.2) between fixed heads 121 and 120 m:
  // Q = 1 m / 10 m x 1e-3 x 10 m x 3600 s = 3.6 m3 per sub-step from cell 1 to cell 2, each cell
  // storing V = 0.2 x 100 m2 x 10 m = 200 m3. Both cells are the boundary: they keep their
  // concentrations, and the 3.6 m3 carry solute in at cell 1 and out at cell 2.
  AddInputs(2, 20.0, 1e-4, 0.2);
  G("gw_boundary_fix_h_2")[1][1] = 121;
  G("gw_boundary_fix_h_2")[1][2] = 120;
  ASSERT_EQ(Make(Section(1, 2, 1.0, 1, "0 0", "0", 50, 1e-9)), 0) << screen_.str();
  SetupTracer(true);
  Conc(2)[1][2] = 0;
  // A half-life of one hour with the half-life constant 1.442695041111 (1 / ln 2).
  const double f = std::exp(-1.0 / 1.442695041111);
  double** left = Grid("concleft_tracer_1_groundwater_flow");
  Run(1);
  EXPECT_NEAR(Conc(2)[1][1], f, 1e-12);
  EXPECT_EQ(Conc(2)[1][2], 0.0);
  EXPECT_NEAR(Conc(1)[1][1], f, 1e-12);  // no flow in layer 1
  EXPECT_NEAR(Grid("concflux_tracer_1_groundwater_flow")[1][2], f, 1e-12);
  // 3.6 m3 at f over 100 m2: 36 f mm x concentration out at cell 2, in at cell 1.
  EXPECT_NEAR(left[1][2], 36 * f, 1e-9);
  EXPECT_NEAR(left[1][1], -36 * f, 1e-9);
  Run(1);
  EXPECT_NEAR(Conc(2)[1][1], f * f, 1e-12);
  EXPECT_NEAR(left[1][2], 36 * (f + f * f), 1e-9);
}

TEST_F(TwoCells, StoreTheAmountOfANonEvaporatingTracerAndTakeTheSoilsSolute) {
  // gwini x S x b x 1000 mm: 1 x 0.2 x 10 m x 1000 in layer 2 (confined), 0.2 x 2.5 m in layer 1.
  AddInputs(2, 20.0, 1e-4, 0.2);
  // The soil column of cell 1 gave its aquifer 10 mm of water with 30 mm x concentration; that
  // of cell 2 took back 120 mm at 100, -12000 mm x concentration (below the nodata value: it
  // was taken for none, and the aquifer kept the solute of the water it gave).
  Add("solute_to_groundwater_1", N)[1][1] = 30;
  G("solute_to_groundwater_1")[1][2] = -12000;
  G("baseflow")[1][1] = 10;
  ASSERT_EQ(Make(Section(1, 2, 1.0, 1, "0 0", "0", 50, 1e-9)), 0) << screen_.str();
  SetupTracer(false, false);
  EXPECT_NEAR(Conc(2)[1][1], 2000, 1e-9);
  EXPECT_NEAR(Conc(1)[1][2], 500, 1e-9);
  EXPECT_NEAR(Grid("concflux_tracer_1_groundwater_flow")[1][2], 1, 1e-12);
  Conc(1)[1][2] = 50000;  // 500 mm at 100
  G("baseflow")[1][2] = -120;
  Run(1);
  // Layer 1 (no flow, 50 m3 of water on 100 m2) takes 3 m3 x concentration in 1 m3 at cell 1
  // and gives 1200 at cell 2 with 12 m3.
  EXPECT_NEAR(model_->gw_tracers[1].layers[1].exchanged, 3 - 1200, 1e-9);
  EXPECT_NEAR(Conc(1)[1][1], 530, 1e-9);
  EXPECT_NEAR(Conc(1)[1][2], 38000, 1e-9);
  EXPECT_NEAR(Grid("concflux_tracer_1_groundwater_flow")[1][1], 53.0 / 51.0, 1e-12);
  EXPECT_NEAR(Grid("concflux_tracer_1_groundwater_flow")[1][2], 100, 1e-9);
}

class Aquifer : public GroundwaterTracers {
 protected:
  Aquifer() : GroundwaterTracers(5, 6) {}
};

TEST_F(Aquifer, TracerMassChangesPerSubStepOnlyByDecayAndTheBoundary) {
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
  const double f = std::exp(-1.0 / 1.442695041111);
  for (int step = 1; step <= 4; ++step) {
    Run(1);
    double start = 0, end = 0, decayed = 0, leak = 0, left = 0;
    for (int l = 1; l <= 2; ++l) {
      const GwTracerLayer& layer = model_->gw_tracers[1].layers[l];
      start += layer.mass_start;
      end += layer.mass_end;
      decayed += layer.decayed;
      left += layer.left;
      leak += l == 1 ? layer.mass_end - layer.mass_start : layer.mass_start - layer.mass_end;
    }
    // Half decays, the rest moves: each layer's gain is the other's loss or the boundary's.
    EXPECT_NEAR(decayed, 0.5 * start, 1e-9 * start) << step;
    EXPECT_NEAR(end, start - decayed - left, 1e-12 * start) << step;
    EXPECT_NE(left, 0.0) << step;
    EXPECT_GT(std::abs(leak), 0.0) << step;
    EXPECT_EQ(Conc(1)[3][4], N);
    EXPECT_EQ(Conc(2)[3][4], N);
    // Sources between 0.5 and 1.5, halved per step: no concentration beyond 1.5 f^step.
    for (int r = 1; r <= 5; ++r)
      for (int c = 1; c <= 6; ++c)
        for (int l = 1; l <= 2; ++l)
          if (G("zones")[r][c] != N) {
            EXPECT_GE(Conc(l)[r][c], 0.0);
            EXPECT_LE(Conc(l)[r][c], 1.5 * std::pow(f, step) + 1e-12) << r << c << l;
          }
  }
}

}  // namespace
}  // namespace velorn

// Solute tracers in the groundwater model: the upwind move of one cell by hand (a table: plain
// mixing, a cell whose outflow exceeds its water, a dry cell fed by a limited one), two cells
// between fixed heads by hand (the boundary passes the solute on, decay by half per sub-step),
// a two-layer aquifer with leakage whose tracer mass changes per sub-step only by decay and
// its boundary, with every concentration within the range it started in, and a warm start of
// that aquifer from its grids that continues the run bit for bit (a state without the carrier
// water starts from the stored water with a WARNING; a hole in it is bad input).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
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
  // Two layers with leakage, an uneven conductivity and a fixed-head column, so that the water
  // that carries the solute parts from the water the heads store.
  void AddAquifer() {
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
  }
};

TEST_F(Aquifer, TracerMassChangesPerSubStepOnlyByDecayAndTheBoundary) {
  AddAquifer();
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

// The state as binary doubles after two sub-steps, then two more: a warm start from it gives
// the same grids, for a tracer whose grids hold concentrations and one whose hold amounts, and
// the water account's store of the deeper layers continues.
TEST_F(Aquifer, AWarmStartFromItsGridsContinuesTheRun) {
  test::ScopedCurrentDir here(dir_.path());
  setup_.input_directory = "state/";
  setup_.output_directory = "state/";
  std::filesystem::create_directories("state");
  const std::vector<std::string> state = {"gw_head_1",
                                          "gw_head_old_1",
                                          "gw_head_2",
                                          "gw_head_old_2",
                                          "gw_solute_water_1",
                                          "gw_solute_water_2",
                                          "concstor_tracer_1_layer_1_groundwater_flow",
                                          "concstor_tracer_1_layer_2_groundwater_flow",
                                          "concleft_tracer_1_groundwater_flow",
                                          "groundwater_storage"};
  const std::vector<std::string> compared = {"concstor_tracer_1_layer_1_groundwater_flow",
                                             "concstor_tracer_1_layer_2_groundwater_flow",
                                             "concleft_tracer_1_groundwater_flow",
                                             "concflux_tracer_1_groundwater_flow",
                                             "gw_solute_water_1",
                                             "gw_solute_water_2",
                                             "groundwater_storage"};
  std::string warm = Section(1, 2, 1.3, 1, "0 0", "0", 50, 1e-6);
  warm.replace(warm.find("0 grid read"), 1, "1");
  // Rows 1..5, columns 1..6 of a grid, row after row.
  const auto cells = [](double** grid) {
    std::vector<double> values;
    for (int r = 1; r <= 5; ++r) values.insert(values.end(), grid[r] + 1, grid[r] + 7);
    return values;
  };
  // The soil zone reads its base flow back.
  std::vector<double> baseflow;
  const auto read_baseflow = [&] {
    for (int r = 1; r <= 5; ++r)
      std::copy_n(baseflow.begin() + 6 * (r - 1), 6, G("baseflow")[r] + 1);
  };
  std::vector<std::vector<double>> straight;
  for (const bool evaporating : {true, false}) {
    SCOPED_TRACE(evaporating);
    Reset();
    AddAquifer();
    ASSERT_EQ(Make(Section(1, 2, 1.3, 1, "0 0", "0", 50, 1e-6)), 0) << screen_.str();
    SetupTracer(false, evaporating);
    Run(2);
    for (const std::string& id : state) {
      const int index = registry_.FindIdentifier(id);
      model_->WriteGrid(*registry_[index].file_name, Grid(id), false, true, false);
    }
    baseflow = cells(G("baseflow"));
    Run(2);
    straight.clear();
    for (const std::string& id : compared) straight.push_back(cells(Grid(id)));
    Reset();
    AddAquifer();
    read_baseflow();
    ASSERT_EQ(Make(warm), 0) << screen_.str();
    SetupTracer(false, evaporating);
    EXPECT_FALSE(ScreenHas("WARNING"));
    Run(2);
    for (std::size_t i = 0; i < compared.size(); ++i)
      EXPECT_EQ(cells(Grid(compared[i])), straight[i]) << compared[i];
  }
  // A state without the carrier water starts from the water the heads store.
  std::filesystem::rename("state/head2_solute_water.asc", "state/kept.asc");
  Reset();
  AddAquifer();
  read_baseflow();
  ASSERT_EQ(Make(warm), 0) << screen_.str();
  SetupTracer(false, false);
  EXPECT_TRUE(ScreenHas("no grid state/head2_solute_water.asc of the water")) << screen_.str();
  // The water the heads store is not what carried the solute in the run.
  Run(2);
  EXPECT_NE(cells(Grid(compared[0])), straight[0]);
  // A basin cell without water is bad input.
  std::filesystem::rename("state/kept.asc", "state/head2_solute_water.asc");
  test::WriteFile(
      "state/head1_solute_water.asc",
      test::AsciiGrid(6, 5, 0, 0, 10, N, [](int r, int c) { return r == 2 && c == 5 ? N : 40.0; }));
  Reset();
  AddAquifer();
  ASSERT_EQ(Make(warm), 0) << screen_.str();
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers_.data(), records_.data(), kZoneStatisticsCapacity);
  EXPECT_EQ(error, kGridFormatCode);
  EXPECT_TRUE(ScreenHas("the grid state/head1_solute_water.asc holds -9999 at row 2, column 5"))
      << screen_.str();
}

}  // namespace
}  // namespace velorn

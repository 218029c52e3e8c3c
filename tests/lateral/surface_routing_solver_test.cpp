// The surface-routing solver on small basins: water is conserved to round-off by every method
// over many inner steps and sub-steps (storage carried between calls, with the concentration of
// its runoff), a flat pond stays still, method 5 on a tilted plane follows the kinematic-wave
// solution (rising limb, equilibrium discharge i L, depth profile, drainage after the rain), the
// direction and velocity rules of single cells, and the head iteration's rules and its stop on a
// head that is not finite.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "core/error_code.h"
#include "core/tracer_bookkeeping.h"
#include "lateral/surface_flow_formulas.h"
#include "tests/lateral/surface_routing_harness.h"

namespace velorn::test {
namespace {

// A V-shaped catchment of 7 x 7 cells tilted to the south, its channel in the middle column.
class SurfaceCatchment : public SurfaceBasin {
 protected:
  SurfaceCatchment() : SurfaceBasin(7, 7) {
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 7; ++c) {
        G("[elevation_model]")[r][c] = 100 + 0.5 * std::abs(c - 4) + 0.2 * (7 - r);
        if (c == 4) Channel(r, c);
      }
  }
};

TEST_F(SurfaceCatchment, EveryMethodConservesWaterOverSubStepsAndSteps) {
  for (int method = 1; method <= 6; ++method) {
    Start(0, 0, 0, Section(method, "10", "10", "300"));
    double put_in = 0, delivered = 0;
    const double runoff[] = {4.0, 0.0, 12.5, 0.25, 0.0, 0.0};
    for (double q : runoff) {
      delivered += Route(q);
      put_in += q * 49;
      EXPECT_GT(model_->inner_steps, 1) << method;
      // Storage carried to the next sub-step plus what reached the channels is what came in.
      EXPECT_NEAR(Storage() + delivered, put_in, 1e-11 * put_in) << method;
    }
    EXPECT_GT(delivered, 0.5 * put_in) << method;
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 7; ++c) EXPECT_GE(G("SurfStorSiltingUp")[r][c], 0) << method;
    Release();
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 7; ++c) G("SurfStorSiltingUp")[r][c] = G("directflow")[r][c] = 0;
  }
}

// Runoff of one concentration keeps it in every store and in what reaches the channels, also
// where the water left on the surface by one call mixes with the runoff of the next (every
// method, the head iteration too).
TEST_F(SurfaceCatchment, ARunoffConcentrationStaysWithTheWaterCarriedBetweenCalls) {
  Add("_CONC_QD_1_", Fill(0));
  Add("_CONC_QI_1_", Fill(0));
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "cl_";
  tracers[1].half_time = -9999;
  for (int method = 1; method <= 6; ++method) {
    Start(0, 0, 0, Section(method, "10", "10", "300"));
    int32_t error = 0;
    model_->SetupTracers(error, 1, tracers.data(), nullptr, 0);
    ASSERT_EQ(error, 0);
    double carried = 0;
    for (double q : {4.0, 0.0, 12.5}) {
      for (int r = 1; r <= 7; ++r)
        for (int c = 1; c <= 7; ++c) G("_CONC_QD_1_")[r][c] = 10;
      Route(q);
      for (int r = 1; r <= 7; ++r)
        for (int c = 1; c <= 7; ++c) {
          if (G("SurfStorSiltingUp")[r][c] > 0) {
            EXPECT_NEAR(model_->tracer_surface_grids[1][r][c], 10, 1e-9) << method;
          }
          if (model_->ChannelCell(r, c) && G("directflow")[r][c] > 0) {
            EXPECT_NEAR(G("_CONC_QD_1_")[r][c], 10, 1e-9) << method;
          }
        }
      carried += Storage();
    }
    EXPECT_GT(carried, 0) << method;  // water was carried between the calls
    Release();
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 7; ++c) G("SurfStorSiltingUp")[r][c] = G("directflow")[r][c] = 0;
  }
}

TEST_F(SurfaceCatchment, ChannelWaterEntersTheFirstFlowTimeZoneOfItsSubbasin) {
  Start(0, 0, 0, Section(4, "10", "10", "300"));
  model_->BeginStep(0, 1, 6, 2001);
  const double delivered = Route(6.0);
  model_->FinishStep();  // the step's entries reach the records
  // Every own cell counts once; channel cells add their water, interflow is 0.
  const ZoneRecord& zone = model_->zoneFZT_QD[0][1][1];
  EXPECT_EQ(zone[0], 49);
  EXPECT_EQ(zone[4], 49);
  EXPECT_NEAR(zone[1], delivered, 1e-12);
}

class SurfacePond : public SurfaceBasin {
 protected:
  SurfacePond() : SurfaceBasin(5, 5) {}
};

TEST_F(SurfacePond, AFlatPondStaysStill) {
  for (int method : {3, 4, 5, 6}) {
    Start(0, 0, 0, Section(method, "10", "10", "300"));
    Route(20.0);
    Route(0.0);
    for (int r = 1; r <= 5; ++r)
      for (int c = 1; c <= 5; ++c) EXPECT_NEAR(G("SurfStorSiltingUp")[r][c], 20.0, 1e-9) << method;
    // Nothing moves: the agreed step is the longest allowed.
    EXPECT_EQ(model_->inner_dt, 300) << method;
    EXPECT_EQ(model_->inner_steps, 2) << method;
    // The stable step is the shortest crossing time L / |v| of a counted direction: methods 1-5
    // count the moving directions with a share above 0.0001, method 6 every moving direction.
    model_->stack_data[kSurfVelocity][3][3][5] = 0.4;  // 10 m / 0.4 m/s = 25 s
    model_->stack_data[kSurfWeights][3][3][5] = 0.5;
    model_->stack_data[kSurfVelocity][2][4][3] = -0.8;  // 12.5 s, share 0.00005
    model_->stack_data[kSurfWeights][2][4][3] = 0.00005;
    EXPECT_EQ(model_->ComputeStableTimeStep(0), method == 6 ? 12.5 : 25) << method;
    Release();
    for (int r = 1; r <= 5; ++r)
      for (int c = 1; c <= 5; ++c) G("SurfStorSiltingUp")[r][c] = 0;
  }
}

TEST_F(SurfacePond, DirectionsOfSingleCells) {
  Start(0, 0, 0, Section(4, "10", "10", "300"));
  double slope = 1, aspect = 1;
  int type = 0;
  // A flat interior cell: slope 0, aspect 0; its weights follow the drops.
  model_->ComputeFlowDirection(3, 3, slope, aspect, type);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(slope, 0);
  EXPECT_EQ(aspect, 0);
  G("[elevation_model]")[3][4] = 99.0;  // east lower
  model_->ComputeFlowDirection(3, 3, slope, aspect, type);
  model_->ComputeFlowWeights(3, 3, type, 0, slope, aspect);
  EXPECT_EQ(aspect, 90);
  EXPECT_EQ(model_->stack_data[kSurfWeights][3][3][3], 1);
  // North tied with exactly one other direction keeps aspect 0.
  G("[elevation_model]")[3][4] = 100.0;
  G("[elevation_model]")[2][3] = G("[elevation_model]")[3][2] = 99.0;
  model_->ComputeFlowDirection(3, 3, slope, aspect, type);
  EXPECT_EQ(aspect, 0);
  EXPECT_EQ(slope, 0.1);
  // East higher: towards the west (270); north higher: towards the south (180).
  G("[elevation_model]")[2][3] = G("[elevation_model]")[3][2] = 100.0;
  for (int c = 1; c <= 5; ++c) G("[elevation_model]")[3][c] = 100 + 0.1 * c;
  G("[elevation_model]")[2][3] = G("[elevation_model]")[4][3] = 100.3;
  G("[elevation_model]")[2][2] = G("[elevation_model]")[4][2] = 100.2;
  G("[elevation_model]")[2][4] = G("[elevation_model]")[4][4] = 100.4;
  model_->ComputeFlowDirection(3, 3, slope, aspect, type);
  EXPECT_EQ(aspect, 270);
  Release();
}

TEST_F(SurfacePond, DryCellsDoNotMoveAndStoredVelocitiesRestart) {
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 5; ++c) G("[elevation_model]")[r][c] = 100 - 0.1 * r;
  Start(0, 0, 0, Section(4, "10", "10", "300"));
  double slope = 0, aspect = 0;
  int type = 0;
  model_->ComputeFlowDirection(3, 3, slope, aspect, type);
  model_->ComputeFlowWeights(3, 3, type, 0, slope, aspect);
  ASSERT_EQ(model_->stack_data[kSurfWeights][3][3][5], 1);
  model_->ComputeVelocities(3, 3, 0, 0, type);  // dry: every velocity and discharge 0
  for (int k = 0; k <= 8; ++k) EXPECT_EQ(model_->stack_data[kSurfFluxes][3][3][k], 0) << k;
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(model_->stack_data[kSurfVelocity][3][3][k], 0) << k;
  // Wet, one search pass: the first trial is the restart velocity 0.1 m/s, so the depth used is
  // Qlim / 0.1 / L and v = K_ST r^(2/3) sqrt(S).
  Head()[3][3] = 0.01;
  Release();
  SurfaceSection s = Section(4, "10", "10", "300");
  s.velocity_steps = "1";
  Start(0, 0, 0, s);
  Head()[3][3] = 0.01;
  model_->ComputeFlowDirection(3, 3, slope, aspect, type);
  model_->ComputeFlowWeights(3, 3, type, 0, slope, aspect);
  model_->ComputeVelocities(3, 3, 0, 0, type);
  // The southern surface lies below the cell's terrain: S = (H_c - H_S) / L = 0.11 / 10.
  const double q1 = 100 * 0.01 / 300, q2 = 2 * 100 * 0.11 / 300;
  const double r = std::min(q1, q2) / 0.1 / 10;
  const double sqrt_s = std::sqrt(0.011);
  EXPECT_NEAR(model_->stack_data[kSurfVelocity][3][3][5], 25 * std::pow(r, 0.66667) * sqrt_s,
              1e-12);
  Release();
}

// A plane of 20 cells of 10 m (L = 200 m, slope 0.01) draining into a channel cell below.
class SurfacePlane : public SurfaceBasin {
 protected:
  static constexpr int kRows = 21;
  SurfacePlane() : SurfaceBasin(kRows, 1) {
    for (int r = 1; r <= kRows; ++r) G("[elevation_model]")[r][1] = 100 - 0.1 * r;
    Channel(kRows, 1);
    landuse_[1] = LanduseRecord();
    landuse_[1].ParseEntry(
        diag_,
        "1 bare method VariableDayCount { RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45;"
        " Albedo = 0.25 0.20 0.25; rsc = 80 60 80; LAI = 1 4 1; Z0 = 0.02 0.1 0.02;"
        " VCF = 0.5 0.9 0.5; RootDepth = 0.2 0.5 0.2; AltDep = 0 0.01 0; JulDays = 1 180 366;"
        " SR_K_ST = 10; }",
        "VariableDayCount");
  }
};

TEST_F(SurfacePlane, Method5FollowsTheKinematicWave) {
  // Sub-steps of 60 s, inner steps of at most 5 s; the cap L / (20 s) = 0.5 m/s never binds.
  Start(0, 0, 0, Section(5, "1", "1", "5"));
  const double i = 50.0 / 1000 / 3600;  // 50 mm/h in m/s
  const double length = 200, alpha = 10 * std::sqrt(0.01), t = 60;
  const double t_e = std::pow(length / (alpha * std::pow(i, 2.0 / 3)), 0.6);  // 2106 s
  // Discharge per unit width of the plane's outlet; the channel cell's own rain is taken off.
  const auto outlet = [&](double delivered) {
    return (delivered / 1000 * 100 - i * t * 100) / t / 10;
  };
  double put_in = 0, delivered = 0, fitted = 0;
  int fits = 0;
  for (int step = 1; step <= 75; ++step) {
    const double d = Route(i * t * 1000);
    put_in += i * t * 1000 * kRows;
    delivered += d;
    const double time = step * t;
    // Rising limb: the rain of a sub-step arrives at its start, so the outlet depth is i t at
    // the sub-step's end and q = alpha (i t)^(5/3).
    if (time <= 0.8 * t_e) {
      const double expected = alpha * std::pow(i * time, 5.0 / 3);
      EXPECT_NEAR(outlet(d), expected, 0.05 * expected) << time;
    }
    if (time >= 0.3 * t_e && time <= 0.7 * t_e) {
      fitted += outlet(d) / std::pow(i * time, 5.0 / 3);
      ++fits;
    }
    // Numerical diffusion rounds the arrival of the wave from the ridge; then equilibrium.
    if (time >= 1.6 * t_e) {
      EXPECT_NEAR(outlet(d), i * length, 0.005 * i * length) << time;
    }
  }
  // The time to equilibrium of the rising limb's coefficient: t_e = (L / (a i^(2/3)))^(3/5).
  const double a = fitted / fits;
  EXPECT_NEAR(std::pow(length / (a * std::pow(i, 2.0 / 3)), 0.6), t_e, 0.02 * t_e);
  // The equilibrium depth profile h(x) = (i x / alpha)^(3/5) at the lower edge of each cell, as
  // the mean over a sub-step: the end of the sub-step lies half a sub-step's rain below it. (The
  // last cell drains over the channel's lower surface, more steeply.)
  for (int r = 3; r < kRows - 1; ++r) {
    const double h = std::pow(i * 10 * r / alpha, 0.6);
    EXPECT_NEAR(G("SurfStorSiltingUp")[r][1] / 1000 + i * t / 2, h, 0.02 * h) << r;
  }
  // After the rain the plane drains into the channel.
  for (int step = 0; step < 240; ++step) delivered += Route(0);
  EXPECT_LT(Storage(), 0.01 * put_in);
  EXPECT_NEAR(Storage() + delivered, put_in, 1e-11 * put_in);
}

TEST_F(SurfacePlane, HeadIterationDoesNotDependOnTheMinimumSubTimeStep) {
  // Steady rain of 50 mm/h on the plane, sub-steps of 600 s: whatever the shortest allowed inner
  // step, the plane reaches equilibrium (outflow = rain) and the two runs deliver alike.
  const double rain = 50.0 / 6, sub_step_rain = rain * kRows;
  std::vector<std::vector<double>> runs;
  for (const char* minimum : {"60", "1"}) {
    Start(0, 0, 0, Section(6, "10", minimum, "300"));
    runs.emplace_back();
    double put_in = 0, delivered = 0;
    for (int step = 0; step < 18; ++step) {
      runs.back().push_back(Route(rain));
      put_in += sub_step_rain;
      delivered += runs.back().back();
    }
    EXPECT_NEAR(runs.back().back(), sub_step_rain, 0.01 * sub_step_rain) << minimum;
    EXPECT_NEAR(Storage() + delivered, put_in, 1e-11 * put_in) << minimum;
    Release();
    for (int r = 1; r <= kRows; ++r) G("SurfStorSiltingUp")[r][1] = G("directflow")[r][1] = 0;
  }
  for (std::size_t k = 0; k < runs[0].size(); ++k)
    EXPECT_NEAR(runs[1][k], runs[0][k], 0.01 * sub_step_rain) << k;
}

TEST_F(SurfaceCatchment, HeadIterationStaysWithinTheInitialSurfaceAndDrainsToChannels) {
  Start(0, 0, 0, Section(6, "10", "10", "300"));
  Route(10.0);
  double highest = 0;
  for (int r = 1; r <= 7; ++r)
    for (int c = 1; c <= 7; ++c) highest = std::max(highest, G("[elevation_model]")[r][c] + 0.01);
  for (int r = 1; r <= 7; ++r)
    for (int c = 1; c <= 7; ++c) {
      EXPECT_GE(Head()[r][c], G("[elevation_model]")[r][c]);
      EXPECT_LE(Head()[r][c], highest);
    }
  // The cells beside the channel lost water to it, the channel cells hold none.
  EXPECT_LT(G("SurfStorSiltingUp")[4][3], 10.0);
  EXPECT_EQ(G("SurfStorSiltingUp")[4][4], 0.0);
  EXPECT_GT(G("directflow")[4][4], 0.0);
  // Faces: the east face of a cell beside the channel conducts, and the sweep at a step limit of
  // one pass ends without error.
  EXPECT_GT(model_->grid_data[kSurfRoughnessX][4][3], 0.0);
  Release();
  SurfaceSection s = Section(6, "10", "10", "300");
  s.velocity_steps = "1";
  s.velocity_error = "0";
  Start(0, 0, 0, s);
  EXPECT_NO_THROW(Route(10.0));
}

TEST_F(SurfacePond, ACellWithoutConductingFacesKeepsItsHead) {
  Start(0, 0, 0, Section(6, "10", "10", "300"));
  Route(0.0);
  Head()[3][3] = model_->grid_data[kSurfHeadOld][3][3] = 100.05;
  model_->grid_data[kSurfManning][3][3] = 0;  // wet, but it conducts nothing; its rim is dry
  model_->BeginHeadIteration();
  for (int k = 1; k <= 5; ++k) model_->IterateHead(k, 10);
  EXPECT_EQ(Head()[3][3], 100.05);
  EXPECT_EQ(model_->grid_data[kSurfRoughnessX][3][3], 0);
  EXPECT_EQ(model_->grid_data[kSurfRoughnessX][3][2], 0);
  // With its flow coefficient back, the water spreads to the rim.
  model_->grid_data[kSurfManning][3][3] = 25;
  model_->BeginHeadIteration();
  model_->IterateHead(1, 10);
  EXPECT_LT(Head()[3][3], 100.05);
  EXPECT_GT(Head()[3][4], 100.0);
}

TEST_F(SurfacePond, FlowControl3BlocksSubbasinBorders) {
  zone_table_.resize(3);
  zone_table_[1] = ZoneRecord{{10, 10, 1, 0.4, 10}};
  zone_table_[2] = ZoneRecord{{15, 15, 2, 0.6, 15}};
  zone_code_index_ = {0, 1, 2};
  setup_.zone_code_index = zone_code_index_.data();
  setup_.zone_table = zone_table_.data();
  setup_.zone_count = 2;
  setup_.highest_zone_code = 2;
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 5; ++c) G("zonegrid")[r][c] = c <= 2 ? 1 : 2;
  SurfaceSection s = Section(6, "10", "10", "300");
  s.flow_control = 3;
  Start(0, 0, 0, s);
  Route(5.0);
  model_->BeginHeadIteration();
  for (int r = 1; r <= 5; ++r) {
    EXPECT_GT(model_->grid_data[kSurfRoughnessX][r][1], 0) << r;
    EXPECT_EQ(model_->grid_data[kSurfRoughnessX][r][2], 0) << r;  // the border
    EXPECT_GT(model_->grid_data[kSurfRoughnessX][r][3], 0) << r;
  }
}

TEST_F(SurfaceCatchment, AHeadThatIsNotFiniteIsDumpedAndStopsTheRun) {
  Start(0, 0, 0, Section(6, "10", "10", "300"));
  Route(10.0);
  for (bool close : {false, true}) {
    std::filesystem::remove_all(dir_.path() / "dumps");
    std::filesystem::create_directories(dir_.path() / "dumps");
    model_->output_directory = (dir_.path() / "dumps").string() + "/";
    model_->SetDumpOptions(true, close, false, 1);
    model_->dump_count = 0;
    model_->head_failure = {};
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= 7; ++c)
        Head()[r][c] = model_->grid_data[kSurfHeadOld][r][c] = G("[elevation_model]")[r][c] + 0.01;
    model_->BeginHeadIteration();
    model_->grid_data[kSurfHeadOld][2][2] = NAN;
    model_->grid_data[kSurfHeadOld][3][6] = INFINITY;
    model_->IterateHead(1, 10);
    // Both heads failed (and neighbours of the other colour that read them): every failure
    // counts, the limit of one dump wrote one file, and the first cell is reported.
    EXPECT_GE(model_->dump_count, 2);
    ASSERT_TRUE(model_->head_failure.found);
    EXPECT_EQ(model_->head_failure.row, 2);
    EXPECT_EQ(model_->head_failure.column, 2);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path() / "dumps")) {
      ++files;
      EXPECT_EQ(entry.file_size(), 472u);
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.rfind("surfrout_dump_row_", 0) == 0) << name;
      EXPECT_TRUE(name.find("_iteration_1_2001060100.dmp") != std::string::npos) << name;
      std::vector<double> v(59);
      std::FILE* f = std::fopen(entry.path().c_str(), "rb");
      ASSERT_EQ(std::fread(v.data(), sizeof(double), 59, f), 59u);
      std::fclose(f);
      long row = 0, column = 0;
      ASSERT_EQ(std::sscanf(name.c_str(), "surfrout_dump_row_%ld_col_%ld", &row, &column), 2);
      EXPECT_EQ(v[0], 10);                                       // dt
      EXPECT_EQ(v[1], G("[elevation_model]")[row][column]);      // z of the cell
      EXPECT_EQ(v[9], G("[elevation_model]")[row][column - 1]);  // elevation stencil, west
      EXPECT_EQ(v[30],
                Head()[row][column] == v[35] ? v[30] : G("[elevation_model]")[row][column] + 0.01);
      EXPECT_FALSE(std::isfinite(v[35]));  // the new head
      EXPECT_EQ(v[51], 10);                // dx
    }
    EXPECT_EQ(files, 1);
    try {
      model_->StopOnHeadFailure();
      ADD_FAILURE() << "no stop";
    } catch (const ErrorCode& e) {
      EXPECT_EQ(e.code, 199);
    }
    EXPECT_TRUE(
        ScreenHas(close ? "-closeAfterDump active" : "cell (row 2, column 2) is not finite"));
  }
}

}  // namespace
}  // namespace velorn::test

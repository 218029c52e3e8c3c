// The soil-water sub-step on the fixture basin (eight cells, loam and sand in four layers of
// 0.5 m): the water balance of every cell and sub-step on wet and dry inputs with ponding and
// both methods, a column at rest in hydrostatic equilibrium, glaciated cells, the snow runoff
// share at its 10 mm threshold, ponding bounded by its maximum, the inner-step counts of
// method 3 by hand, and the iteration log (its line, and its failure ending the run with code 5
// from inside the row loop).
#include "unsatzone/soil_water_step.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/nodata.h"
#include "tables/landuse_record.h"
#include "tests/support/soil_column_fixture.h"
#include "unsatzone/soil_column_state.h"

namespace velorn {
namespace {

using M = unsatzonmodellklasse;

class SoilWaterStep : public test::SoilColumnTest {
 protected:
  SoilWaterStep() {
    landuse_[0].SetCode(1);
    landuse_[1].ParseEntry(diag_,
                           "1 grass method VariableDayCount {RootDist = 1.0; TReduWet = 0.95; "
                           "HReduDry = 3.45; LimitReduWet = 0.9; Albedo = 0.25 0.25; rsc = 80 80; "
                           "LAI = 2 2; Z0 = 0.02 0.02; VCF = 0.8 0.8; RootDepth = 0.6 0.6; "
                           "AltDep = 0 0; JulDays = 1 366;}",
                           "VariableDayCount");
    setup_.landuse_table = landuse_.data();
    Add("throughfall0", Fill(0.0));
    Add("max_ponding_storage", Fill(10.0));
  }
  // Builds the model with `section_`, its water input `input` (mm per step).
  void Build(const Rows& input) {
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) grids_["throughfall0"][r][c] = input[r - 1][c - 1];
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    model_->LinkWaterInputGrid(false);
  }
  // Water of a cell: the contents of its layers and the pond, mm.
  double Storage(int r, int c) const {
    const SoilRecord& soil = SoilOf(r, c);
    double water = 1000.0 * ColumnSoilWater(soil, soil.layers, model_->Stack(M::kTheta)[r][c]);
    if (double** pond = model_->Grid(M::kPondingStorage)) water += pond[r][c];
    return water;
  }
  // Water that left a cell in the last sub-step, mm (the evapotranspiration grids accumulate).
  double Outflow(int r, int c, double et_before) const {
    double out = model_->Grid(M::kDirectflow)[r][c] + model_->Grid(M::kInterflow)[r][c] +
                 model_->Grid(M::kBaseflow)[r][c] + Evapotranspiration(r, c) - et_before;
    if (double** drain = model_->Grid(M::kDrainageFlow)) out += drain[r][c];
    return out;
  }
  double Evapotranspiration(int r, int c) const {
    return grids_.at("real_transpiration1")[r][c] + grids_.at("real_evaporation")[r][c];
  }
  // Runs `steps` sub-steps and checks the balance of every cell after each.
  void RunAndCheckBalance(int steps, const Rows& input, double tolerance) {
    for (int step = 0; step < steps; ++step) {
      double before[3][5], et[3][5];
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          before[r][c] = Storage(r, c);
          et[r][c] = Evapotranspiration(r, c);
        }
      model_->ComputeSoilColumns(model_->first_local_row);
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) {
          const double in = input[r - 1][c - 1];
          const double change = Storage(r, c) - before[r][c];
          EXPECT_NEAR(change, in - Outflow(r, c, et[r][c]), tolerance)
              << "cell " << r << "," << c << " sub-step " << step;
        }
    }
  }
  test::UnsatSection section_;
  std::vector<LanduseRecord> landuse_ = std::vector<LanduseRecord>(2);
};

// Every cell and sub-step: change of storage = input - direct runoff - interflow - base flow -
// transpiration - soil evaporation, on dry, moist and flooded cells, without and with ponding.
TEST_F(SoilWaterStep, WaterBalanceOfEveryCellAndSubStepCloses) {
  const Rows input = {{0, 2, 20, 80}, {0.5, 150, 5, 40}};
  for (int method : {2, 3})
    for (int pond : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "method " << method << " pond " << pond);
      section_.method = method;
      section_.pond = pond;
      Build(input);
      RunAndCheckBalance(6, input, 1e-8);
      if (pond == 1) {
        for (int r = 1; r <= 2; ++r)
          for (int c = 1; c <= 4; ++c)
            EXPECT_LE(model_->Grid(M::kPondingStorage)[r][c], 10.0 + 1e-12);
      }
    }
}

// A flat column in hydrostatic equilibrium (the cold start) without input, evapotranspiration
// or base flow stays as it is: no flux, no runoff, the same contents.
TEST_F(SoilWaterStep, ColumnAtRestStaysAtRest) {
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      grids_["slope_angle"][r][c] = 0;
      grids_["pot_transpiration1"][r][c] = 0;
      grids_["potential_evaporation"][r][c] = 0;
    }
  section_.parameters[4] = "0 0";  // no base flow
  Build(Fill(0.0));
  double*** theta = model_->Stack(M::kTheta);
  std::vector<double> start;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) start.insert(start.end(), theta[r][c] + 1, theta[r][c] + 5);
  for (int step = 0; step < 3; ++step) model_->ComputeSoilColumns(model_->first_local_row);
  std::size_t i = 0;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      for (int k = 1; k <= 4; ++k) {
        EXPECT_NEAR(theta[r][c][k], start[i++], 1e-7) << r << "," << c << " layer " << k;
        EXPECT_NEAR(model_->Stack(M::kQDown)[r][c][k], 0.0, 1e-12);
      }
      EXPECT_EQ(model_->Grid(M::kDirectflow)[r][c], 0.0);
      EXPECT_EQ(model_->Grid(M::kInterflow)[r][c], 0.0);
      EXPECT_EQ(model_->Grid(M::kBaseflow)[r][c], 0.0);
    }
}

// A cell wholly under glacier gives 0 in every output and keeps its column; a share of 0.3 is
// computed like a cell without glacier (the zone sums weigh it).
TEST_F(SoilWaterStep, GlaciatedCellGivesZerosAndKeepsItsColumn) {
  Add("ice_firn", {{1.0, 0.3, 0, 0}, {0, 0, 0, 0}});
  Build(Fill(20.0));
  double*** theta = model_->Stack(M::kTheta);
  const std::vector<double> before(theta[1][1], theta[1][1] + 5);
  model_->ComputeSoilColumns(model_->first_local_row);
  for (M::OwnGrid g : {M::kDirectflow, M::kInterflow, M::kBaseflow, M::kPercolation,
                       M::kGroundwaterRecharge, M::kTotalInfiltration, M::kInfiltrationExcess})
    EXPECT_EQ(model_->Grid(g)[1][1], 0.0) << g;
  EXPECT_EQ(grids_["real_transpiration1"][1][1], 0.0);
  EXPECT_EQ(std::vector<double>(theta[1][1], theta[1][1] + 5), before);
  EXPECT_GT(model_->Grid(M::kTotalInfiltration)[1][2], 0.0);
}

// Above 10 mm of solid snow a share of the input (SnowRunoff_fraction 0.1) runs off at once;
// at 10 mm none does. The loam cells take the rest of 2 mm whole.
TEST_F(SoilWaterStep, SnowRunoffShareStartsAboveTenMillimetres) {
  EXPECT_EQ(SnowRunoffShare(10.0, 2.0, 0.1), 0.0);
  EXPECT_DOUBLE_EQ(SnowRunoffShare(10.01, 2.0, 0.1), 0.2);
  EXPECT_EQ(SnowRunoffShare(50.0, 0.0, 0.1), 0.0);
  Add("snowstorage_solid", {{10.0, 10.01, 0, 0}, {0, 0, 0, 0}});
  Build(Fill(2.0));
  model_->ComputeSoilColumns(model_->first_local_row);
  EXPECT_EQ(model_->Grid(M::kDirectflow)[1][1], 0.0);
  EXPECT_NEAR(model_->Grid(M::kDirectflow)[1][2], 0.2, 1e-12);
  EXPECT_NEAR(model_->Grid(M::kTotalInfiltration)[1][2], 1.8, 1e-12);
}

// Method 2 takes one inner step; method 3 divides the sub-step by the shortest travel time
// thickness / K through the layers above the table: K = k_sat with input (sand: 0.5 m /
// 8.25e-5 m/s = 6060.6 s, so 15 steps in a day), k_r(theta) k_sat without (Mualem-van
// Genuchten k_r by its closed form), never shorter than the given minimum.
TEST_F(SoilWaterStep, InnerStepCountsOfTheMethods) {
  const SoilRecord& sand = soils_[2];
  std::vector<double> theta(5, 0.2);
  EXPECT_EQ(InnerStepCount(2, sand, theta.data(), 0, 4, true, 86400, 0), 1);
  EXPECT_EQ(InnerStepCount(3, sand, theta.data(), 0, 4, true, 86400, 0), 15);
  EXPECT_EQ(InnerStepCount(3, sand, theta.data(), 0, 4, true, 86400, 10000), 9);
  // Without input: Se = (0.2 - 0.045) / (0.43 - 0.045), m = 1 - 1 / 2.68.
  const double se = (0.2 - 0.045) / (0.43 - 0.045), m = 1 - 1 / 2.68;
  const double kr = std::sqrt(se) * std::pow(1 - std::pow(1 - std::pow(se, 1 / m), m), 2);
  const double expected = 86400 * kr * 8.25e-5 / 0.5;
  EXPECT_NEAR(InnerStepCount(3, sand, theta.data(), 0, 4, false, 86400, 0), std::ceil(expected),
              std::max(1.0, 0.05 * expected));
  // The layers at and below the groundwater level do not count.
  EXPECT_EQ(InnerStepCount(3, sand, theta.data(), 0, 1, true, 86400, 0), 1);
}

// More than 100 iterations on process 0 write one line per inner step into "modell_0.log"; a
// log that cannot be opened ends the run with code 5 from inside the row loop.
TEST_F(SoilWaterStep, IterationLogLineAndItsFailure) {
  section_.after = "[unsatzon_tuning]\nmax_error = 0\nmax_iterations = 105\n";
  Build(Fill(20.0));
  model_->step_date = ModelDate{2019, 3, 7, 13};
  std::filesystem::remove("modell_0.log");
  model_->ComputeSoilColumns(model_->first_local_row);
  const std::string log = test::ReadFile("modell_0.log");
  EXPECT_NE(log.find(" 7. 3., 13 h r=  1, c=  1 : ziter=105, max_err = "), std::string::npos)
      << log;
  EXPECT_EQ(model_->iterationLogLines, 8);
  std::filesystem::remove("modell_0.log");
  std::filesystem::create_directory("modell_0.log");
  EXPECT_EQ(test::ThrownCode([&] { model_->ComputeSoilColumns(model_->first_local_row); }), 5);
  EXPECT_TRUE(ScreenHas("error opening log-file modell_0.log"));
}

}  // namespace
}  // namespace velorn

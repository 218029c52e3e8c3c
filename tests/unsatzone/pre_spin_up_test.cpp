// The pre-spin-up of soil temperatures on the unsaturated zone: 73 daily steps at -5 °C (a fifth
// of a year) give 365 freezing degree days and a TTOP of -5 °C (permafrost) with the geothermal
// rise below 1 m; the accumulation grids are gone afterwards; without heat transfer the run ends
// with code 1040.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/soil_column_fixture.h"
#include "unsatzone/pre_spin_up_formulas.h"

namespace velorn {
namespace {

class PreSpinUpRun : public test::SoilColumnTest {
 protected:
  PreSpinUpRun() {
    Add("temperature", Fill(-5.0));
    setup_.min_to_int_end = 1440;
    section_.interval = 1440;
    section_.after = test::HeatSection();
  }
  test::UnsatSection section_;
};

TEST_F(PreSpinUpRun, FrostGivesPermafrost) {
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  for (int day = 0; day < 73; ++day) EXPECT_EQ(model_->AccumulatePreSpinUpTemperatures(0), 24);
  EXPECT_GT(registry_.FindIdentifier("FreezingDegreeDays"), 0);
  EXPECT_DOUBLE_EQ(registry_[registry_.FindIdentifier("FreezingDegreeDays")].grid[1][2], 365);
  model_->SetPreSpinUpSoilTemperatures();
  for (const char* grid :
       {"FreezingDegreeDays", "thawingDegreeDays", "DailyTemperature", "AnnualTemperature"})
    EXPECT_EQ(registry_.FindIdentifier(grid), 0) << grid;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "FreezingDegreeDays_000"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Soil_Temperature_Stack"));
  EXPECT_EQ(model_->temperatureStackPending, 0);
  // Four layers of 0.5 m: 1 m after two layers (the reference depth), TTOP there; above it the
  // line to the air, below it the rise through frozen soil.
  double*** T = model_->Stack(unsatzonmodellklasse::kSoilTemperature);
  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  const SoilRecord& soil = SoilOf(1, 2);
  EXPECT_NEAR(T[1][2][2], -5.0, 1e-12);
  EXPECT_NEAR(T[1][2][0], -5.0, 1e-12);
  EXPECT_NEAR(T[1][2][1], -5.0, 1e-12);
  const double lambda = PreSpinUpConductivity(soil.theta_sat[3], theta[1][2][3], 0.58, 2.33);
  EXPECT_NEAR(T[1][2][3] - T[1][2][2], 0.5 * 0.06 / lambda, 1e-12);
}

TEST_F(PreSpinUpRun, NeedsHeatTransfer) {
  section_.after.clear();
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(test::ThrownCode([&] { model_->AccumulatePreSpinUpTemperatures(0); }, 0), 1040);
  EXPECT_TRUE(ScreenHas("This is required for pre-SpinUp!"));
}

}  // namespace
}  // namespace velorn

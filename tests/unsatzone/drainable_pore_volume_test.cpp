// "Max_Pumping" of a cold-started basin with irrigation: the pores between saturation and field
// capacity below the table of every cell; nothing without irrigation.
#include <gtest/gtest.h>

#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

class DrainablePores : public test::SoilColumnTest {};

TEST_F(DrainablePores, MaxPumpingHoldsThePoresBelowTheTable) {
  IrrigationTable table;
  table.count = 1;
  table.records.resize(2);
  irrigation_ = &table;
  Add("irrigation_codes", Fill(1.0));
  ASSERT_EQ(Make(test::UnsatSection().Text()), 0) << screen_.str();
  model_->ComputeDrainablePoreVolume();
  double** pumping = model_->Grid(unsatzonmodellklasse::kMaxPumping);
  // ini_gw_level 2: the table in layer 3 of four layers of 0.5 m, so layer 3 alone counts.
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c)
      EXPECT_NEAR(pumping[r][c], 1000 * 0.5 * (0.43 - SoilOf(r, c).GetTheta(3, 3.45)), 1e-9);
  Release();
  irrigation_ = nullptr;
  ASSERT_EQ(Make(test::UnsatSection().Text()), 0) << screen_.str();
  model_->ComputeDrainablePoreVolume();  // without irrigation: nothing to do
  Release();
}

}  // namespace
}  // namespace velorn

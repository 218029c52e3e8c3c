// The irrigation step on 1, 2 and 3 processes: each process computes the cells of its own rows,
// and the supply of subbasins whose cells lie on several processes is the same to the last bit
// as on one process.
#include <gtest/gtest.h>

#include "tests/routing/irrigation_harness.h"

namespace velorn::test {
namespace {

// Subbasins 1 and 2 span all three rows, 3 the lower two. Dated and soil-moisture types with
// rivers that meet a part of the demand: every amount is a hand value on every process count.
TEST_F(IrrigationTest, AmountsAndSupplyDoNotDependOnTheProcessCount) {
  SplitRows();
  SetCodes({{1, 1, 3, 2}, {1, 3, 3, 1}, {2, 3, 1, 3}});
  maxirrig_[0] = {0, 0.25, 0.5, 20.0};
  Start();
  model_->RunStep(0, 1, 5, 2001);
  // Subbasin 1: cells 1.25, 1.25, 1.25 (surface) and 2 (groundwater): mean surface 0.9375 with
  // 0.25 mm of river: factor 0.25 / 0.9375. Subbasin 2: 3.125, 2 (groundwater), 3.125, 3.125:
  // mean 2.34375, river 0.5. Subbasin 3: 3.125, 1.25, 1.25, 3.125: mean 2.1875, covered.
  const double factor[] = {0, 0.25 / 0.9375, 0.5 / 2.34375, 1.0};
  double** amounts = Grid("irrigation_amounts");
  for (long r = setup_.first_local_row; r <= setup_.last_local_row; ++r) {
    for (int c = 1; c <= 4; ++c) {
      const int z = static_cast<int>(Grid("zones")[r][c]);
      const int code = static_cast<int>(Grid("irrigation_codes")[r][c]);
      const double demand = code == 1 ? 1.25 : code == 3 ? 3.125 : 2.0;
      const double expected = code == 2 ? demand : demand * factor[z];
      EXPECT_DOUBLE_EQ(amounts[r][c], expected) << r << " " << c;
      EXPECT_DOUBLE_EQ(Grid("precipitation")[r][c], 1.0 + expected) << r << " " << c;
    }
  }
  if (Rank() != 0) return;
  const ZoneRecord* demand = model_->GetSurfaceWaterDemand();
  EXPECT_DOUBLE_EQ(demand[1][1] / demand[1][4], 0.25);
  EXPECT_DOUBLE_EQ(demand[2][1] / demand[2][4], 0.5);
  EXPECT_DOUBLE_EQ(demand[3][1] / demand[3][4], 2.1875);
  // 3 gave its own demand and the volumes of 1 and 2 passing through it.
  EXPECT_DOUBLE_EQ(maxirrig_[0][3], 20.0 - 0.25 - 0.5 - 2.1875);
}

}  // namespace
}  // namespace velorn::test

// Grid stack: capacity per step length, the day's window of means, a single grid.
#include "evaporation/grid_stack.h"

#include <gtest/gtest.h>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

TEST(GridStack, HoldsOneDayOfStepsAndAtLeastOneGrid) {
  struct Case {
    double minutes;
    int32_t count;
  };
  // Steps longer than a day keep the current grid instead of none.
  for (const Case c : {Case{60, 24}, Case{1440, 1}, Case{7, 205}, Case{2880, 1}, Case{100, 14}})
    EXPECT_EQ(GridStackCapacity(c.minutes), c.count) << c.minutes;
}

class GridStackTest : public test::DiagTest {
 protected:
  GridMatrix Grid(double value) {
    GridMatrix grid(diag_, 2, 3, 4, 5);  // rows 2..3 of 5, 4 columns
    for (int r = 2; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) grid[r][c] = value + c;
    return grid;
  }
};

TEST_F(GridStackTest, MeansTheLastPushesOnly) {
  GridStack stack(24, 2, 3, 5, 4);
  EXPECT_DOUBLE_EQ(stack.GetMean(2, 1), 0.0);
  EXPECT_EQ(stack.Push(Grid(7)), 1);
  EXPECT_DOUBLE_EQ(stack.GetMean(3, 2), 9.0);  // a single grid is its own mean
  for (int k = 2; k <= 25; ++k) stack.Push(Grid(k));
  // The 25th push frees the first: mean of 2..25 = 13.5, plus the column.
  EXPECT_EQ(stack.count(), 24);
  EXPECT_DOUBLE_EQ(stack.GetMean(2, 3), 16.5);
  GridStack day(0, 2, 3, 5, 4);  // steps over a day: one grid is kept
  day.Push(Grid(1));
  day.Push(Grid(5));
  EXPECT_DOUBLE_EQ(day.GetMean(2, 1), 6.0);
  GridMatrix other(diag_, 1, 3, 4, 5);
  EXPECT_THROW(stack.Push(std::move(other)), std::invalid_argument);
}

}  // namespace
}  // namespace velorn

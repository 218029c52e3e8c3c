// Running statistics of weighted values and linear interpolation.
#include "core/running_statistics.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velorn {
namespace {

RunningStatistics Fed(std::initializer_list<std::pair<double, double>> values) {
  RunningStatistics s;
  s.Reset(-9999);
  for (const auto& [v, w] : values) s.Add(v, w);
  return s;
}

TEST(RunningStatistics, UnitWeights) {
  const RunningStatistics s = Fed({{5, 1}, {3, 1}, {8, 1}});
  EXPECT_EQ(s.count, 3);
  EXPECT_EQ(s.minimum, 3);
  EXPECT_EQ(s.maximum, 8);
  EXPECT_EQ(s.sum, 16);
  EXPECT_DOUBLE_EQ(s.Mean(), 16.0 / 3);
  // Sample variance of 5, 3, 8: (98 - 256/3) / 2 = 19/3.
  EXPECT_NEAR(s.StandardDeviation(), std::sqrt(19.0 / 3), 1e-12);
  EXPECT_NEAR(s.StandardDeviation(), 2.5166, 1e-4);
}

TEST(RunningStatistics, NodataMarginAndTooFewValues) {
  const RunningStatistics s = Fed({{-9999, 1}, {-9998.5, 1}, {-9997, 1}});
  EXPECT_EQ(s.count, 1);
  EXPECT_EQ(s.minimum, -9997);
  EXPECT_EQ(s.Mean(), -9997);
  EXPECT_EQ(s.StandardDeviation(), -9999);  // count 2 or less
  EXPECT_EQ(Fed({{1, 1}, {2, 1}}).StandardDeviation(), -9999);
  const RunningStatistics none = Fed({});
  EXPECT_EQ(none.Mean(), -9999);
  EXPECT_EQ(none.minimum, 0);
  EXPECT_EQ(none.maximum, 0);
}

TEST(RunningStatistics, WeightsOtherThanOneStillGiveTheExtremes) {
  // The weight sum passes 1 without ever equalling it: the first value starts the extremes.
  const RunningStatistics s = Fed({{5, 0.4}, {8, 0.7}});
  EXPECT_EQ(s.minimum, 5);
  EXPECT_EQ(s.maximum, 8);
  EXPECT_DOUBLE_EQ(s.Mean(), (5 * 0.4 + 8 * 0.7) / 1.1);
  // Negative values below the reset 0 are found as well.
  const RunningStatistics n = Fed({{-2, 0.5}, {-7, 0.5}, {-4, 0.25}});
  EXPECT_EQ(n.minimum, -7);
  EXPECT_EQ(n.maximum, -2);
}

TEST(RunningStatistics, EqualValuesHaveNoSpread) {
  RunningStatistics s;
  s.Reset(-9999);
  for (int i = 0; i < 5; ++i) s.Add(2, 1);
  EXPECT_EQ(s.StandardDeviation(), 0.0);
  // Five values of 0.7: rounding leaves the variance at about -1.1e-16, which must not come out
  // as a negative spread.
  RunningStatistics r;
  r.Reset(-9999);
  for (int i = 0; i < 5; ++i) r.Add(0.7, 1);
  ASSERT_LT(r.sum_of_squares - r.sum * r.sum / r.count, 0.0);
  EXPECT_EQ(r.StandardDeviation(), 0.0);
  r.Reset(-1);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.nodata, -1);
}

TEST(InterpolateLinear, InsideOutsideAndDegenerate) {
  EXPECT_EQ(InterpolateLinear(0, 10, 10, 20, 5), 15);
  EXPECT_EQ(InterpolateLinear(3, 7, 3, 9, 100), 7);
  EXPECT_EQ(InterpolateLinear(0, 10, 10, 20, 20), 30);
  EXPECT_EQ(InterpolateLinear(0, 10, 10, 20, -10), 0);
}

}  // namespace
}  // namespace velorn

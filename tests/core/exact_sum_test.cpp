// Exact sums: values of term lists whose plain double sums round wrongly, and the same value in
// any order and when the terms are split into parts that are packed and added digit by digit
// (as the processes' sums are combined).
#include "core/exact_sum.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/zone_entry_sums.h"

namespace velorn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr double kHuge = std::numeric_limits<double>::max();

double SumOf(const std::vector<double>& terms) {
  ExactSum sum;
  for (double t : terms) sum.Add(t);
  return sum.Value();
}

// The terms split in `parts` round-robin parts, packed, added element-wise and unpacked.
double SplitSumOf(const std::vector<double>& terms, int parts) {
  std::vector<ExactSum> sums(static_cast<std::size_t>(parts));
  for (std::size_t i = 0; i < terms.size(); ++i) sums[i % sums.size()].Add(terms[i]);
  int lo = ExactSum::kDigits;
  int hi = -1;
  for (ExactSum& s : sums) {
    s.Normalize();
    lo = std::min(lo, s.lowest_digit());
    hi = std::max(hi, s.highest_digit());
  }
  std::vector<int64_t> total;
  for (const ExactSum& s : sums) {
    std::vector<int64_t> packed;
    s.Pack(lo, hi, packed);
    if (total.empty()) total.assign(packed.size(), 0);
    for (std::size_t k = 0; k < packed.size(); ++k) total[k] += packed[k];
  }
  ExactSum combined;
  combined.Unpack(lo, hi, total.data());
  return combined.Value();
}

// The terms as the entries of one record in one step (core/zone_entry_sums.h), which keeps
// only a few digits until a term falls outside them.
double EntrySumOf(const std::vector<double>& terms) {
  ZoneEntrySums sums;
  sums.Resize(1);
  for (double t : terms) sums.Add(0, 0.0, t, 0.0);
  const std::vector<ZoneEntrySums::Total>& totals = sums.Finish(nullptr, MPI_COMM_SELF);
  return totals.empty() ? 0.0 : totals[0].value[1];
}

void ExpectSame(double expected, double actual, const char* what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << what;
  } else {
    EXPECT_EQ(expected, actual) << what;
  }
}

TEST(ExactSum, ValueIndependentOfOrderAndSplit) {
  struct Case {
    const char* name;
    std::vector<double> terms;
    double expected;
  };
  const std::vector<double> tenths(10, 0.1);  // a plain sum gives 0.9999999999999999
  std::vector<double> thirds;
  for (int i = 0; i < 3000; ++i) thirds.push_back(i % 2 == 0 ? 1.0 / 3.0 : 2.0 / 3.0);
  const Case cases[] = {
      {"empty", {}, 0.0},
      {"cancellation of large terms", {1e16, 0.1, -1e16}, 0.1},
      {"ten tenths", tenths, 1.0},
      {"1500 pairs of thirds", thirds, 1500.0},
      {"negative", {-2.5, -0.25}, -2.75},
      {"below the last place", {1.0, -1e-30}, 1.0},
      {"subnormals", {kTiny, kTiny, kTiny}, 3 * kTiny},
      {"largest doubles cancel", {kHuge, 1.0, -kHuge}, 1.0},
      {"overflow", {kHuge, kHuge}, kInf},
      {"infinity", {kInf, 1.0}, kInf},
      {"minus infinity", {2.0, -kInf}, -kInf},
      {"both infinities", {kInf, -kInf}, kNan},
      {"NaN", {1.0, kNan, 2.0}, kNan},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectSame(c.expected, SumOf(c.terms), "in order");
    std::vector<double> reversed(c.terms.rbegin(), c.terms.rend());
    ExpectSame(c.expected, SumOf(reversed), "reversed");
    for (int parts : {2, 3}) ExpectSame(c.expected, SplitSumOf(c.terms, parts), "split");
    ExpectSame(c.expected, EntrySumOf(c.terms), "entries of one record and step");
  }
}

TEST(ExactSum, ResetForgetsEverything) {
  ExactSum sum;
  sum.Add(1e300);
  sum.Add(kNan);
  sum.Add(1e-300);
  sum.Reset();
  sum.Add(0.5);
  EXPECT_EQ(sum.Value(), 0.5);
}

}  // namespace
}  // namespace velorn

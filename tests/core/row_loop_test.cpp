// The row-loop helper: every index once, the first error carried out of the region once.
#include "core/row_loop.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <vector>

#include "core/error_code.h"
#include "core/row_sums.h"

namespace velorn {
namespace {

class RowLoop : public ::testing::Test {
 protected:
  void SetUp() override { omp_set_num_threads(4); }
};

TEST_F(RowLoop, RunsEveryIndexOnceAndNothingForAnEmptyRange) {
  std::vector<std::atomic<int>> hits(1001);
  ForEachRow(1, 1000, [&](long r) { hits[r]++; });
  for (long r = 1; r <= 1000; ++r) ASSERT_EQ(hits[r], 1) << r;
  EXPECT_EQ(hits[0], 0);
  int empty_calls = 0;
  ForEachRow(5, 4, [&](long) { ++empty_calls; });
  EXPECT_EQ(empty_calls, 0);
}

TEST_F(RowLoop, RethrowsTheFirstErrorOnceAfterTheRegion) {
  struct Case {
    const char* name;
    std::function<void(long)> body;
    int expected_code;  // -1: a std::runtime_error, -2: an unknown exception
  };
  const std::vector<Case> cases = {
      {"one failing row",
       [](long r) {
         if (r == 377) throw ErrorCode{63};
       },
       63},
      {"every row fails", [](long) { throw ErrorCode{17}; }, 17},
      {"standard exception",
       [](long r) {
         if (r == 2) throw std::runtime_error("x");
       },
       -1},
      {"unknown exception",
       [](long r) {
         if (r == 999) throw 5;
       },
       -2},
  };
  for (const Case& c : cases) {
    int caught = 0;
    int code = 0;
    try {
      ForEachRow(1, 1000, c.body);
    } catch (const ErrorCode& e) {
      ++caught;
      code = e.code;
    } catch (const std::runtime_error&) {
      ++caught;
      code = -1;
    } catch (...) {
      ++caught;
      code = -2;
    }
    EXPECT_EQ(caught, 1) << c.name;
    EXPECT_EQ(code, c.expected_code) << c.name;
  }
}

TEST_F(RowLoop, NestedLoopsWork) {
  std::atomic<long> sum{0};
  ForEachRow(1, 10, [&](long r) { ForEachRow(1, 10, [&](long c) { sum += r * c; }); });
  EXPECT_EQ(sum, 55 * 55);
}

// Sums over rows on four threads, and inside another row loop, give every row's terms exactly
// once: 0.1 per row lost nothing to rounding, and the counts of two sums stay apart.
TEST_F(RowLoop, ExactSumsOverRowsMergeTheThreads) {
  auto body = [](long r, ExactSum* sums) {
    sums[0].Add(0.1);
    sums[1].Add(static_cast<double>(r));
  };
  const std::vector<ExactSum> sums = ExactSumsOverRows(1, 1000, 2, body);
  ExactSum tenth;
  for (int k = 0; k < 1000; ++k) tenth.Add(0.1);
  EXPECT_EQ(sums[0].Value(), tenth.Value());
  EXPECT_EQ(sums[1].Value(), 500500.0);
  std::vector<double> nested(3);
  ForEachRow(0, 2, [&](long k) { nested[k] = ExactSumsOverRows(1, 100, 2, body)[1].Value(); });
  EXPECT_EQ(nested, std::vector<double>(3, 5050.0));
}

}  // namespace
}  // namespace velorn

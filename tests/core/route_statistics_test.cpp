// Tests of the routing statistics table: goodness of fit against Nash-Sutcliffe efficiencies
// computed here from the series, the four fit blocks of the file, the header with the
// observed-runoff record, and routing rows without a total column.
#include "core/route_statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_helpers.h"
#include "tests/support/zone_table.h"

namespace velorn {
namespace {

struct Series {
  std::vector<double> observed;
  std::vector<double> simulated;
};

GoodnessOfFitSums SumsOf(const Series& s) {
  GoodnessOfFitSums sums;
  for (std::size_t i = 0; i < s.observed.size(); ++i) sums.Add(s.simulated[i], s.observed[i]);
  return sums;
}

// Efficiency 1 - sum (s - o)^2 / sum (o - mean o)^2 of observed 1, 2, 3, 4 and simulated
// 1.5, 2, 2.5, 4.5: 1 - 0.75 / 5 = 0.85; with the mean error 0.125 removed from the errors,
// 1 - (0.75 - 4 x 0.125^2) / 5 = 0.8625.
const Series kWorked = {{1, 2, 3, 4}, {1.5, 2, 2.5, 4.5}};

TEST(GoodnessOfFit, MatchesHandComputedEfficienciesAndRefusesTooFewOrConstantObservations) {
  struct Case {
    Series series;
    double r_square, coefficient_of_variation;
  };
  const std::vector<Case> cases = {
      {kWorked, 0.85, 0.8625},
      {{{1, 2}, {1, 2}}, kUndefinedFit, kUndefinedFit},        // two pairs compare nothing
      {{{3, 3, 3}, {2, 3, 4}}, kUndefinedFit, kUndefinedFit},  // observations without variance
      // The same of a value no double holds: its squares summed left round-off for a variance.
      {{{0.3, 0.3, 0.3, 0.3, 0.3}, {0.2, 0.3, 0.4, 0.1, 0.3}}, kUndefinedFit, kUndefinedFit},
      // Far from 0 the variance of the departures keeps its digits: 1 - 0.75 / 5 as above.
      {{{1e8 + 1, 1e8 + 2, 1e8 + 3, 1e8 + 4}, {1e8 + 1.5, 1e8 + 2, 1e8 + 2.5, 1e8 + 4.5}},
       0.85,
       0.8625},
      {{{1, 2, 3}, {1, 2, 3}}, 1.0, 1.0},  // a perfect simulation
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(GoodnessOfFit(SumsOf(c.series), false), c.r_square, 1e-12);
    EXPECT_NEAR(GoodnessOfFit(SumsOf(c.series), true), c.coefficient_of_variation, 1e-12);
  }
}

class RouteStatisticsTest : public test::DiagTest {
 protected:
  std::unique_ptr<routstatistic> Table(int precision, const std::vector<double>& header = {}) {
    records_ = test::MakeZoneTable({3, 7}, {0.4, 0.6});
    name_ = dir_ / "q.txt";
    list_ = {0};
    int error = -1;
    auto table = std::make_unique<routstatistic>(error, &diag_, nullptr, 1, 1, records_.data(),
                                                 header.empty() ? nullptr : header.data(), 2, 2001,
                                                 precision, name_, "", 0, list_.data());
    EXPECT_EQ(error, 0);
    return table;
  }
  std::vector<std::string> Lines() { return test::SplitLines(test::ReadFile(name_)); }

  std::vector<ZoneRecord> records_;
  std::string name_;
  std::vector<int> list_;
};

TEST_F(RouteStatisticsTest, FitBlocksHoldMeasuresPerLagAndZone) {
  // Zone 1 at lag 0 has the worked series; everything else is empty (undefined).
  GoodnessOfFitTable linear(kGoodnessOfFitLags, std::vector<GoodnessOfFitSums>(3));
  linear[10][1] = SumsOf(kWorked);
  GoodnessOfFitTable logarithmic = linear;
  struct Case {
    int precision;
    std::string lag0_values, empty_values;  // zone 1 at lag 0 and an undefined pair of zones
  };
  const std::vector<Case> cases = {
      {5, "\t0.8500\t-9999.0000", "\t-9999.0000\t-9999.0000"},
      {99, "\t0.85\t-9999", "\t-9999\t-9999"},
      {0, "\t1\t-9999", "\t-9999\t-9999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.precision);
    auto table = Table(c.precision);
    table->WriteHeader("routing", "Q", nullptr, 0);
    table->WriteGoodnessOfFit(linear, logarithmic);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u + 4u * 22u);
    for (int block = 0; block < 4; ++block) EXPECT_EQ(lines[3 + 22 * block], std::string(22, '-'));
    EXPECT_EQ(lines[4], "lin. R-square\t-10" + c.empty_values);
    EXPECT_EQ(lines[14], "LIN. R-SQUARE\t0" + c.lag0_values);
    EXPECT_EQ(lines[15], "lin. R-square\t1" + c.empty_values);
    EXPECT_EQ(lines[26 + 10], "LOG. R-SQUARE\t0" + c.lag0_values);
    EXPECT_EQ(lines[48 + 10].substr(0, 15), "COEFF.VAR.LIN\t0");
    EXPECT_EQ(lines[90], "coeff.var.log\t10" + c.empty_values);
    EXPECT_EQ(records_[1][0], 1.0);
    EXPECT_NEAR(records_[1][1], 0.8625, 1e-12);
    EXPECT_EQ(records_[2][1], kUndefinedFit);
  }
  auto table = Table(3);
  GoodnessOfFitTable short_table(20, std::vector<GoodnessOfFitSums>(3));
  EXPECT_EQ(test::ThrownCode([&] { table->WriteGoodnessOfFit(short_table, logarithmic); }),
            kZoneIndexCode);
}

TEST_F(RouteStatisticsTest, HeaderAndRowsHaveNoTotalAndTheObservedRecordFollows) {
  std::vector<ZoneStatisticsRecord> registry(kZoneStatisticsCapacity + 1);
  auto table = Table(3, {0, 12.5, 30});
  EXPECT_EQ(table->WriteHeader("routing", "Q", registry.data(), kZoneStatisticsCapacity), 1);
  EXPECT_STREQ(registry[0].internal_name, "routing_submodel:Q");
  EXPECT_EQ(registry[0].columns, 2);
  EXPECT_STREQ(registry[1].internal_name, "observed Runoff");
  EXPECT_EQ(registry[1].current_values, table->observed_values());
  // Zone 3: two values 2 and 4 of weight 1; zone 7: nothing.
  table->ResetZoneSums();
  table->AddValue(1, 1, 1, 2.0, 1.0);
  table->AddValue(1, 1, 1, 4.0, 1.0);
  table->CollectRoutingStep(2000, 1, 1, 0);
  table->ReleaseMemory();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"YY\tMM\tDD\tHH\t\"3\"\t\"7\"", "routing_submodel:Q",
                                               "--\t--\t--\t--\t12.5000000\t30.0000000",
                                               "2000\t 1\t 1\t 0\t3.000\t0.000"}));
}

}  // namespace
}  // namespace velorn

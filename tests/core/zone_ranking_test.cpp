// Zone ranking of a whole grid: weight sums and shares of relative cell areas, and the refused
// grids (order, index, rounding and counts: soil_zone_ranking_mpitest.cpp).
#include "core/zone_ranking.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr double N = -9999;

class ZoneRankingTest : public test::DiagTest {
 protected:
  ZoneCellRanking Rank(const std::vector<std::vector<double>>& rows, const double* const* weights) {
    GridMatrix grid = test::MakeGrid(diag_, rows);
    std::vector<ColumnRange> ranges(rows.size() + 1);
    for (std::size_t r = 1; r <= rows.size(); ++r)
      ranges[r] = ColumnRange{1, static_cast<int32_t>(rows[0].size())};
    return RankZoneCells(diag_, grid.get(), weights, ranges.data(),
                         static_cast<int32_t>(rows.size()), N, 100, "soilzones.asc", "snow_model");
  }
};

TEST_F(ZoneRankingTest, RelativeCellAreasWeighTheSumsAndShares) {
  // Weights below 1 in every zone: their sum (0.9) must neither be truncated nor report the
  // grid as empty.
  GridMatrix weights = test::MakeGrid(diag_, {{0.2, 0.3, 0.4}});
  const ZoneCellRanking ranking = Rank({{1, 1, 4}}, weights.get());
  ASSERT_EQ(ranking.count, 2);
  EXPECT_NEAR(ranking.table[1][0], 0.5, 1e-12);
  EXPECT_NEAR(ranking.table[1][4], 0.5, 1e-12);
  EXPECT_EQ(ranking.table[1][1], 2);
  EXPECT_NEAR(ranking.table[1][3], 0.5 / 0.9, 1e-12);
  EXPECT_NEAR(ranking.table[2][3], 0.4 / 0.9, 1e-12);
  EXPECT_NEAR(ranking.table[0][3], 100 * 100 * 0.9 / 1e6, 1e-12);
}

TEST_F(ZoneRankingTest, RefusesCodesOutOfRangeTooManyZonesAndEmptyGrids) {
  std::vector<double> distinct_16001(16001), distinct_10001(10001);
  for (std::size_t i = 0; i < distinct_16001.size(); ++i) distinct_16001[i] = double(i);
  for (std::size_t i = 0; i < distinct_10001.size(); ++i) distinct_10001[i] = double(i);
  const struct {
    std::vector<std::vector<double>> rows;
    int code;
    const char* message;
  } cases[] = {
      {{{1, 32767.6}}, kZoneCodeRangeCode, "wrong zone index in soilzones.asc!"},
      {{{1, -0.6}}, kZoneCodeRangeCode, "Zones have to range from 0 to 32767!"},
      {{distinct_16001}, kTooManyZonesCode, "too much zones in soilzones.asc, (max. 16000!)"},
      {{distinct_10001},
       kTooManyZonesCode,
       "too much subbasins (10001) in snow_model (max. "
       "10000). Ende!"},
      {{{N, N}, {N, N}}, kNoDataCellCode, "all cells in soilzones.asc are NODATA!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(test::ThrownCode([&] { Rank(c.rows, nullptr); }), c.code) << c.message;
    EXPECT_TRUE(ScreenHas(c.message)) << c.message;
  }
  // The limits themselves pass: code 32767 (32767.4 rounds down), code 0 from -0.4.
  const ZoneCellRanking edge = Rank({{32767.4, -0.4}}, nullptr);
  EXPECT_EQ(edge.highest, 32767);
  EXPECT_EQ(edge.table[1][2], 0);
}

}  // namespace
}  // namespace velorn

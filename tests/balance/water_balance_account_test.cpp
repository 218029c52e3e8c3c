// The water-balance account's bookkeeping: periods per calendar year (a spin-up repetition that
// comes back to a year opens a period of its own) and the run, storage changes from the stores
// before the first step, the residual, and a table that writes round-off without a sign.
#include "balance/water_balance_account.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velorn {
namespace {

// One index (the basin only): a bucket that takes `p` (and `aligned`, the layered snow's
// alignment, `units`, what response-unit members gained beyond their masters, `lake`, what the
// lake step put on the ponding, `assimilated`, what data assimilation set into the stores, and
// `external`, what an imposed external water table filled into the columns), loses `e` and `q`,
// and holds the rest.
std::vector<WaterBalanceValues> Step(double p, double e, double q, double soil, double aligned = 0,
                                     double units = 0, double lake = 0, double assimilated = 0,
                                     double external = 0) {
  WaterBalanceValues v;
  v.flux[kBalancePrecipitation] = p;
  v.flux[kBalanceSnowAlignment] = aligned;
  v.flux[kBalanceResponseUnits] = units;
  v.flux[kBalanceLakeExchange] = lake;
  v.flux[kBalanceAssimilation] = assimilated;
  v.flux[kBalanceExternalTable] = external;
  v.flux[kBalanceSoilEvaporation] = e;
  v.flux[kBalanceRunoff] = q;
  v.store[kBalanceSoil] = soil;
  return {v, v};
}

TEST(WaterBalanceAccount, PeriodsPerYearAndRunCloseAndSeeALeak) {
  WaterBalanceAccount account({7});
  account.Start(Step(0, 0, 0, 100));
  // 2019: +10 - 3 - 2 = +5; 2020: +4 - 1 - 1 = +2, then a leak of 0.5 mm; 2019 again (spin-up),
  // with 0.25 mm aligned into the snow, 0.5 mm lost by the members of response units, 0.75 mm
  // the lake step put on the ponding and 2 mm of a snow survey, then an external table imposed
  // on two days that fills 2 mm into the columns and drains 0.5 mm.
  account.AddStep(2019, Step(10, 3, 2, 105));
  account.AddStep(2020, Step(4, 1, 1, 107));
  account.AddStep(2020, Step(0, 0, 0, 106.5));
  account.AddStep(2019, Step(1.5, 0, 1, 109.5, 0.25, -0.5, 0.75, 2));
  account.AddStep(2019, Step(0, 0, 0, 111.5, 0, 0, 0, 0, 2));
  account.AddStep(2019, Step(0, 0, 0, 111, 0, 0, 0, 0, -0.5));
  const auto& years = account.Years();
  ASSERT_EQ(years.size(), 3u);
  EXPECT_EQ(years[2].year, 2019);
  EXPECT_DOUBLE_EQ(WaterBalanceAccount::StorageChange(years[1], 1, kBalanceSoil), 1.5);
  EXPECT_DOUBLE_EQ(WaterBalanceAccount::Residual(years[0], 1), 0.0);
  EXPECT_DOUBLE_EQ(WaterBalanceAccount::Residual(years[1], 1), 0.5);
  EXPECT_DOUBLE_EQ(WaterBalanceAccount::Residual(years[2], 0), 0.0);
  EXPECT_DOUBLE_EQ(WaterBalanceAccount::Residual(account.Run(), 1), 0.5);
  EXPECT_DOUBLE_EQ(account.Run().sums[1].flux[kBalancePrecipitation], 15.5);
  EXPECT_DOUBLE_EQ(years[2].sums[0].flux[kBalanceExternalTable], 1.5);
  EXPECT_EQ(account.Steps(), 6);
  // Rows per period: the subbasin, then the basin; a tiny negative residual has no sign.
  WaterBalanceAccount tiny({7});
  tiny.Start(Step(0, 0, 0, 0));
  tiny.AddStep(2019, Step(1, 0, 0, 1 + 1e-12));
  const std::string table = tiny.Table();
  EXPECT_NE(table.find("2019\t7\t1.000000\t"), std::string::npos) << table;
  EXPECT_NE(table.find("run\tbasin\t1.000000\t"), std::string::npos) << table;
  EXPECT_EQ(table.find("-0.000000000"), std::string::npos) << table;
  EXPECT_NE(table.find("\t0.000000000\n"), std::string::npos) << table;
  EXPECT_NE(table.find("groundwater_pumping\texternal_table\tice_melt"), std::string::npos);
}

}  // namespace
}  // namespace velorn

// The snow model's set-up on 1, 2 and 3 processes: the subbasin glacier shares are the same
// on every process and for every process count, process 0 holds the slide grids and the
// storages over all rows while the others hold their own rows, and a fault that process 0
// alone finds ends the construction on every process with its code.
#include <gtest/gtest.h>

#include "core/error_code.h"
#include "core/matrix.h"
#include "tests/support/snow_test.h"

namespace velorn {
namespace {

using test::GlacierSection;
using test::SnowSection;
using test::SnowTest;
constexpr double N = -9999;

TEST_F(SnowTest, SharesAndGridsDoNotDependOnTheProcessCount) {
  SplitRows();
  for (int i = 1; i <= 4; ++i) Add("slidefraction" + std::to_string(i), Fill(0.25));
  Add("slope_angle", {{20, 55, 60, N}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("ice_firn", {{1.3, 0.4, -0.2, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  SnowSection slide;
  slide.method = 8;
  const int64_t live = LiveMatrixCount();
  ASSERT_EQ(Make(Section(slide) + IceFirn(GlacierSection{})), 0);
  ASSERT_EQ(model_->glacier_shares.size(), 3u);
  const GlacierShareRecord expected[3] = {{false, 0, 0}, {true, 1.4, 3.6}, {false, 0, 6}};
  for (int i = 0; i <= 2; ++i) {
    const GlacierShareRecord& share = model_->glacier_shares[i];
    EXPECT_EQ(share.hasGlacier, expected[i].hasGlacier) << i;
    EXPECT_DOUBLE_EQ(share.glacierized, expected[i].glacierized) << i;
    EXPECT_DOUBLE_EQ(share.nonGlacierized, expected[i].nonGlacierized) << i;
  }
  const bool root = test::Rank() == 0;
  const int first = root ? 1 : setup_.first_local_row;
  const int last = root ? 3 : setup_.last_local_row;
  const GridEntry& solid = registry_[registry_.FindIdentifier("snowstorage_solid")];
  EXPECT_EQ(solid.first_row, first);
  EXPECT_EQ(solid.last_row, last);
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= 4; ++c) EXPECT_EQ(solid.grid[r][c], r == 3 && c == 1 ? N : 0.0);
  const GridEntry& outflow = registry_[registry_.FindIdentifier("snowcover_outflow")];
  EXPECT_EQ(outflow.first_row, setup_.first_local_row);
  EXPECT_EQ(outflow.last_row, setup_.last_local_row);
  EXPECT_EQ(registry_.FindIdentifier("max_deposition") > 0, root);
  EXPECT_EQ(registry_.FindIdentifier("elev_order_row") > 0, root);
  EXPECT_GT(registry_.FindIdentifier("deposition"), 0);
  if (root) {
    EXPECT_NEAR(Registered("max_deposition")[1][1], 0.6364, 5e-5);
  }
  Release();
  EXPECT_EQ(LiveMatrixCount(), live);
  EXPECT_EQ(registry_.FindIdentifier("snowstorage_solid"), 0);
}

TEST_F(SnowTest, AFaultFoundOnProcessZeroEndsEveryProcess) {
  SplitRows();
  Add("GlacierizedCells", {{1, 0.5, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("GlacierCodes", {{7, N, N, N}, {N, N, N, N}, {N, N, N, N}});
  GlacierSection dynamic;
  dynamic.method = 12;
  Add("global_radiation", Fill(100));
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), kGlacierSetupCode);
  // With the codes complete every process gets as far as the glacier list.
  grids_["GlacierCodes"][1][2] = 7;
  EXPECT_EQ(Make(Section(SnowSection{}) + IceFirn(dynamic)), 0);
  EXPECT_TRUE(model_->wholeGridOnRoot);
  const GridEntry& firn = registry_[registry_.FindIdentifier("firn_WE_stack")];
  EXPECT_EQ(firn.first_row, test::Rank() == 0 ? 1 : setup_.first_local_row);
  EXPECT_EQ(firn.level_count, 3);
}

}  // namespace
}  // namespace velorn

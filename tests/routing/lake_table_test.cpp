// The level-volume table of a lake: row counts of the published spacing, volumes of a bowl of
// hand-chosen cells against hand-summed prisms, level and volume as inverses on the rows, and
// the refusals (tops that differ, no cells, no depth), with a lake below sea level.
#include "routing/lake_table.h"

#include <gtest/gtest.h>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

struct LakeTableTest : test::DiagTest {};

TEST_F(LakeTableTest, RowCounts) {
  EXPECT_EQ(LakeRows(2.5).rows(), 251);  // 250 rows of 1 cm and the bottom row
  EXPECT_EQ(LakeRows(20.0).rows(), 400 + 500 + 120 + 1);
  EXPECT_EQ(LakeRows(0.001).rows(), 2);  // at least one row above the bottom
}

// Cells at 100, 100.5 and 101 m with a common top of 102 m on 10 m cells (100 m² each).
TEST_F(LakeTableTest, BowlVolumesAreTheSummedPrisms) {
  const std::vector<LakeCell> bowl = {
      {1, 1, 100.0, 2000}, {1, 2, 100.5, 1500}, {2, 1, 101.0, 1000}};
  const LakeVolumeTable t = BuildLakeVolumeTable(bowl, 10.0, 3, diag_);
  ASSERT_EQ(t.rows(), LakeRows(2.0).rows());
  EXPECT_DOUBLE_EQ(t.level[0], 102.0);
  EXPECT_DOUBLE_EQ(t.volume[0], 100 * (2 + 1.5 + 1));
  EXPECT_NEAR(t.level[100], 101.0, 1e-12);
  EXPECT_NEAR(t.volume[100], 100 * (1 + 0.5), 1e-9);
  EXPECT_NEAR(t.volume[150], 100 * 0.5, 1e-9);  // 100.5 m: only the deepest cell
  EXPECT_EQ(t.level.back(), 100.0);
  EXPECT_EQ(t.volume.back(), 0.0);
  // Level and volume are inverses on the rows; the ends.
  for (int32_t r = 0; r + 1 < t.rows(); ++r)
    EXPECT_NEAR(GetLevelForVolume(t, GetVolumeForLevel(t, t.level[r])), t.level[r], 1e-9) << r;
  EXPECT_DOUBLE_EQ(GetLevelForVolume(t, 0.0), 100.0);
  EXPECT_DOUBLE_EQ(GetVolumeForLevel(t, 102.0), 450.0);
  // Between rows 100 and 101 (101 m and 100.99 m) two cells are wet: 2 m³ per cm.
  EXPECT_NEAR(GetVolumeForLevel(t, 100.995), 150 - 1.0, 1e-9);
  // Above the top the first segment is extended (three cells wet: 300 m³ per m).
  EXPECT_NEAR(GetVolumeForLevel(t, 102.5), 450 + 150, 1e-6);
}

TEST_F(LakeTableTest, LakeBelowSeaLevelAndRefusals) {
  const LakeVolumeTable low =
      BuildLakeVolumeTable({{1, 1, -5.0, 2000}, {1, 2, -4.5, 1500}}, 10.0, 4, diag_);
  EXPECT_DOUBLE_EQ(low.level[0], -3.0);
  EXPECT_DOUBLE_EQ(low.volume[0], 100 * (2 + 1.5));
  // Tops 0.005 m apart are one lake; 0.02 m apart stop the run.
  EXPECT_EQ(test::ThrownCode([&] {
              BuildLakeVolumeTable({{1, 1, 100.0, 2000}, {1, 2, 100.005, 2000}}, 10.0, 5, diag_);
            }),
            -1);
  EXPECT_EQ(test::ThrownCode([&] {
              BuildLakeVolumeTable({{1, 1, 100.0, 2000}, {4, 7, 100.02, 2000}}, 10.0, 5, diag_);
            }),
            kLakeTopCode);
  EXPECT_TRUE(ScreenHas("Value at row 4, col 7 is 100.02"));
  EXPECT_EQ(test::ThrownCode([&] { BuildLakeVolumeTable({}, 10.0, 6, diag_); }), kLakeTopCode);
  EXPECT_TRUE(ScreenHas("lake 6 has no cell"));
  // A flat lake without ponding storage has no volume range (its levels would be NaN).
  EXPECT_EQ(test::ThrownCode([&] {
              BuildLakeVolumeTable({{1, 1, 100.0, 0}, {1, 2, 100.0, 0}}, 10.0, 7, diag_);
            }),
            kLakeTopCode);
  EXPECT_TRUE(ScreenHas("lake 7 has no volume"));
}

}  // namespace
}  // namespace velorn

// Lake cells of the soil zone: what each start does to a lake cell in the two methods, and the
// set-up of a model with a lake grid (cold start): ponded, saturated columns down to the layer
// above the deepest, the elevation lowered by the deepest pond with method 2, and the refusals.
#include "unsatzone/lake_cells.h"

#include <gtest/gtest.h>

#include "core/error_code.h"
#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

TEST(LakeCells, SetupRules) {
  // Cold start: every lake cell. Modes 1 and 3 read the columns and the irrigation amounts
  // back: none is saturated or cleared. Mode 2 rebuilds the columns: the thresholds decide.
  // Method 2 flattens every lake cell on every start, so that a warm start flattens what the
  // start before it did. A negative mode changes nothing.
  struct Case {
    int method, storage_mode;
    double pond;
    bool saturate, flatten;
  } cases[] = {{1, 0, 0.0, true, false},    {2, 0, 0.0, true, true},    {1, 1, 50.0, false, false},
               {2, 1, 0.0, false, true},    {2, 3, 50.0, false, true},  {1, 2, 1.0, false, false},
               {1, 2, 1.01, true, false},   {2, 2, 0.3, false, true},   {2, 2, 0.31, true, true},
               {1, -1, 50.0, false, false}, {2, -1, 50.0, false, false}};
  for (const Case& c : cases) {
    const LakeCellSetup rule = LakeCellRule(c.method, c.storage_mode, c.pond);
    EXPECT_EQ(rule.saturate, c.saturate) << c.method << " " << c.storage_mode << " " << c.pond;
    EXPECT_EQ(rule.flatten, c.flatten) << c.method << " " << c.storage_mode << " " << c.pond;
    EXPECT_EQ(rule.clear_irrigation, c.saturate && c.method == 2) << c.method << c.storage_mode;
  }
  const std::vector<double> sat = {0, 0.4, 0.41, 0.42};
  double theta[4] = {9, 0.1, 0.2, 0.3};
  SaturateLakeColumn(sat, 3, theta);
  EXPECT_EQ(theta[0], 9);
  EXPECT_EQ(theta[1], 0.4);
  EXPECT_EQ(theta[2], 0.41);
  EXPECT_EQ(theta[3], 0.3);  // the deepest layer keeps its water
}

class LakeModel : public test::SoilColumnTest {
 protected:
  LakeModel() {
    Add("max_ponding_storage", Fill(200.0));
    section_.pond = 1;
  }
  void AddLakes() { Add("lake_codes", {{0, N, 3, N}, {N, N, N, 1}}); }
  double Value(const char* identifier, int r, int c) {
    return registry_[registry_.FindIdentifier(identifier)].grid[r][c];
  }
  test::UnsatSection section_;
};

// Without a lake grid the section is not read, whatever it says.
TEST_F(LakeModel, WithoutLakeGridNothingChanges) {
  section_.after = "[lake_model]\n1\n3\n";
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(model_->lakeSwitch, 0);
  EXPECT_EQ(Value("dem", 1, 1), 1500);
}

TEST_F(LakeModel, RefusesWithoutPondOrWithABadMethod) {
  AddLakes();
  section_.after = "[lake_model]\n1\n3\n";
  EXPECT_EQ(Make(section_.Text()), kLakeSetupCode);
  EXPECT_TRUE(ScreenHas("Allowed values are 1 (no change of grids) or 2"));
  section_.after = "[lake_model]\n1\n1\n";
  section_.pond = 0;
  EXPECT_EQ(Make(section_.Text()), kLakeSetupCode);
  EXPECT_TRUE(ScreenHas("pond_use must be set in "));
}

TEST_F(LakeModel, LakeCellsStartSaturatedAndMethodTwoLowersThem) {
  AddLakes();
  for (const int method : {1, 2}) {  // method 1 changes no grid of the test
    SCOPED_TRACE(method);
    section_.after = "[lake_model]\n1\n" + std::to_string(method) + "\n";
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    EXPECT_EQ(model_->lakeSwitch, 1);
    double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
    for (auto [r, c, lake] : {std::tuple{1, 1, true}, {1, 3, true}, {2, 4, true}, {1, 2, false}}) {
      const SoilRecord& soil = SoilOf(r, c);
      EXPECT_EQ(Value("groundwater_distance", r, c) == 0, lake) << r << c;
      EXPECT_EQ(Value("groundwater_level", r, c) == 1, lake) << r << c;
      EXPECT_EQ(theta[r][c][1] == soil.theta_sat[1], lake) << r << c;
      // The deepest layer keeps the cold start's water (saturated below the table anyway).
      EXPECT_DOUBLE_EQ(theta[r][c][4], 0.43);
      const double ground = elevation_[r - 1][c - 1];
      EXPECT_DOUBLE_EQ(Value("dem", r, c), method == 2 && lake ? ground - 0.2 : ground);
      EXPECT_DOUBLE_EQ(Value("slope_angle", r, c), method == 2 && lake ? 0.0 : 30.0);
    }
  }
}

}  // namespace
}  // namespace velorn

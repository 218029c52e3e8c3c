// Regional superposition: entity blocks, hand-computed region blends, region pairs by region
// count, re-registered inputs and the failures of the section.
#include "meteo/superposition.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/error_code.h"
#include "tests/support/submodel_fixture.h"

namespace velorn {
namespace {

constexpr double kNodataSuperposition = -9999;

// A 2 x 3 grid: cell (1,1) outside the zones. Regions 10 (rank 1) and 20 (rank 2); pair 1
// holds region 10 with weight 0.7 in row 1 and region 20 with weight 1 in row 2; pair 2 holds
// region 20 with weight 0.3 in row 1 and nodata in row 2; pair 3 is nodata everywhere.
class Superposition : public test::SubModelTest {
 protected:
  Superposition() : test::SubModelTest(2, 3) {
    Add("zones", {{kNodataSuperposition, 1, 1}, {1, 1, 1}});
    Add("regression_regions", {{10, 10, 10}, {20, 20, 20}});
    Add("regression_weights1", {{0.7, 0.7, 0.7}, {1, 1, 1}});
    Add("regression_regions2",
        {{20, 20, 20}, {kNodataSuperposition, kNodataSuperposition, kNodataSuperposition}});
    Add("regression_weights2", {{0.3, 0.3, 0.3}, {0, 0, 0}});
    Add("regression_regions3",
        {{kNodataSuperposition, kNodataSuperposition, kNodataSuperposition},
         {kNodataSuperposition, kNodataSuperposition, kNodataSuperposition}});
    Add("regression_weights3", {{0, 0, 0}, {0, 0, 0}});
    Add("a", {{10, 10, 10}, {10, 10, 10}});
    Add("b", {{2, 2, 2}, {2, 2, 2}});
    ranking_[10] = 1;
    ranking_[20] = 2;
  }
  ~Superposition() override {
    if (model_) model_->ReleaseMemory();
  }

  int Add(const std::string& name, const std::vector<std::vector<double>>& rows) {
    grids_.push_back(test::MakeGrid(diag_, rows));
    const int index = registry_.FirstFreeIndex();
    registry_.Register(diag_, index, name + ".asc", grids_.back().get(), nullptr, 0, name, 0, 1, 2,
                       3, 2);
    return index;
  }

  // Constructs the sub-model on `entities` (the text after the opening values); returns the
  // code of a failure or 0.
  int Make(const std::string& entities, int32_t regions = 2) {
    WriteControlFile("[RegionalSuperposition]\n1 flow control parameter for\n60 time interval\n" +
                     entities);
    return test::ThrownCode(
        [&] {
          model_ = std::make_unique<RegionalSuperposition>(setup_, statistics_, 200, regions,
                                                           ranking_.data(), 20);
        },
        0);
  }

  static std::string Entity(const std::string& name, const std::string& inputs) {
    return name + " {\n" + inputs + " outputgrid = " + name +
           ".asc; writecode = 0;\n outputtable = " + name + ".txt; statcode = 0;\n}\n";
  }

  double** Output(const std::string& name) { return registry_[registry_.Find(name, 0)].grid; }

  std::vector<GridMatrix> grids_;
  std::vector<int32_t> ranking_ = std::vector<int32_t>(21, 0);
  ZoneStatisticsRecord statistics_[200];
  std::unique_ptr<RegionalSuperposition> model_;
};

TEST_F(Superposition, BlendsTheRegionsOfEveryPairByHand) {
  // Row 1: a (1.0 * 0.7 + 3.0 * 0.3) + b (0.5 * 0.7 + 0 * 0.3) = 10 * 1.6 + 2 * 0.35 = 16.7.
  // Row 2: region 20 alone: a 3.0 + b 0 = 30. Lists may spread over lines, with tabs and
  // commas; an entity without inputs gives 0.
  ASSERT_EQ(Make("NumberOfEntities = 2;\n" +
                 Entity("blend",
                        " entityinputgrid = a;\n regions = 10,\n\t20;\n"
                        " weights = 1.0 3.0;\n entityinputgrid = b; regions = 10 20;"
                        " weights = 0.5,\n 0;\n") +
                 Entity("empty", "")),
            0);
  ASSERT_EQ(model_->entities.size(), 2u);
  model_->RunStep(1, 2, 3, 2001);
  model_->WriteOutput();
  double** blend = Output("blend");
  double** empty = Output("empty");
  EXPECT_EQ(blend[1][1], kNodataSuperposition);
  EXPECT_EQ(empty[1][1], kNodataSuperposition);
  for (int c = 2; c <= 3; ++c) EXPECT_NEAR(blend[1][c], 16.7, 1e-12);
  for (int c = 1; c <= 3; ++c) {
    EXPECT_NEAR(blend[2][c], 30, 1e-12);
    EXPECT_EQ(empty[2][c], 0.0);
  }
}

TEST_F(Superposition, UsesOnlyThePairsOfTheRegionCount) {
  // With one region only pair 1 counts: 10 * 2 * 0.7 in row 1 (region 10 has rank 1).
  ranking_[20] = 0;
  ASSERT_EQ(Make("NumberOfEntities = 1;\n" +
                     Entity("one", "entityinputgrid = a; regions = 10; weights = 2;\n"),
                 1),
            0);
  for (int c = 1; c <= 3; ++c) registry_[registry_.Find("regression_regions", 0)].grid[2][c] = 10;
  model_->RunStep(1, 2, 3, 2001);
  EXPECT_NEAR(Output("one")[1][2], 14, 1e-12);
  EXPECT_NEAR(Output("one")[2][1], 20, 1e-12);  // region 10 with weight 1
}

TEST_F(Superposition, NoEntitiesLeaveAnActiveModelThatDoesNothing) {
  ASSERT_EQ(Make("NumberOfEntities = 0;\n"), 0);
  EXPECT_EQ(model_->GetFlowControl(), 1);
  EXPECT_TRUE(model_->entities.empty());
  model_->RunStep(1, 2, 3, 2001);
  model_->WriteOutput();
}

TEST_F(Superposition, FollowsAnInputThatIsRegisteredAgain) {
  ASSERT_EQ(Make("NumberOfEntities = 1;\n" +
                 Entity("s", "entityinputgrid = a; regions = 10 20; weights = 1 1;\n")),
            0);
  model_->RunStep(1, 2, 3, 2001);
  EXPECT_NEAR(Output("s")[2][2], 10, 1e-12);
  // The monthly scenario grid pattern: freed and registered anew under the same index.
  const int a = registry_.Find("a", 0);
  GridMatrix fresh = test::FilledGrid(diag_, 2, 3, 4.0);
  registry_.Unregister(a);
  registry_.Register(diag_, a, "a.asc", fresh.get(), nullptr, 0, "a", 0, 1, 2, 3, 2);
  grids_[7] = GridMatrix();  // the old data are gone
  model_->RunStep(2, 2, 3, 2001);
  EXPECT_NEAR(Output("s")[2][2], 4, 1e-12);
}

TEST_F(Superposition, ACellWhoseRegionHasNoRankIsFatal) {
  ASSERT_EQ(Make("NumberOfEntities = 1;\n" +
                 Entity("s", "entityinputgrid = a; regions = 10 20; weights = 1 1;\n")),
            0);
  registry_[registry_.Find("regression_regions", 0)].grid[2][3] = 15;
  EXPECT_EQ(test::ThrownCode([&] { model_->RunStep(1, 2, 3, 2001); }), kSuperpositionRegionCode);
  EXPECT_TRUE(ScreenHas("the region code 15 of cell (row 2, column 3) has no region"));
}

TEST_F(Superposition, FaultsOfTheSectionEndInTheirCodes) {
  const std::string input = "entityinputgrid = a; ";
  struct Case {
    std::string text;
    int code;
    std::string message;
  } cases[] = {
      {"Entities = 1;\n", 133,
       "could not read \"NumberOfEntities\" keyword in section "
       "[RegionalSuperposition]"},
      {"NumberOfEntities = x;\n", 133, "could not read \"NumberOfEntities\""},
      {"NumberOfEntities = 1;\n" + Entity("e", input + "regions = 10 20 30; weights = 1 1;"), 134,
       "The number of regions here (3) does not equal the number of\nregions in the "
       "regiongrid (2)"},
      {"NumberOfEntities = 1;\n" + Entity("e", input + "regions = 20 10; weights = 1 1;"), 134,
       "region on position 1 in the region list should have value 10\nbut was read as 20"},
      {"NumberOfEntities = 1;\n" + Entity("e", input + "regions = 10 15; weights = 1 1;"), 134,
       "region on position 2 was read as 15\nThere is now region"},
      {"NumberOfEntities = 1;\n" + Entity("e", input + "regions = 10 20; weights = 1;"), 135,
       "The number of regions (2) does not equal the number of weights (1)"},
      {"NumberOfEntities = 1;\n" + Entity("e", input + "regions = 10 20; weights = 1 x;"), 135,
       "\"x\" is no number"},
      {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = nowhere; regions = 10 20;"),
       kGridMissingCode, "nowhere"},
      {"NumberOfEntities = 1;\ne {entityinputgrid = a; regions = 10 20; weights = 1 1;\n"
       "outputgrid = e.asc; writecode = 0; statcode = 0;}\n",
       133, "could not read \"outputtable\" keyword"},
      {"NumberOfEntities = 2;\n" + Entity("e", "") + "f { outputgrid = f.asc;\n", 134,
       "the control file ends inside entity 2 of 2"},
  };
  for (const Case& c : cases) {
    screen_.str("");
    EXPECT_EQ(Make(c.text), c.code) << c.text;
    EXPECT_TRUE(ScreenHas(c.message)) << c.text << "\n" << screen_.str();
    model_.reset();
  }
}

}  // namespace
}  // namespace velorn

// The soil model's zone ranking on several processes: every process receives the same table,
// index and counts, and a refused grid ends the ranking on every process with the same code.
#include <gtest/gtest.h>

#include <vector>

#include "core/error_code.h"
#include "core/submodel.h"
#include "core/zone_ranking.h"
#include "tests/support/submodel_fixture.h"

namespace velorn {
namespace {

constexpr double N = -9999;

class SoilZoneRanking : public test::SubModelTest {
 protected:
  SoilZoneRanking() : SubModelTest(2, 4) { setup_.cellsize = 100; }

  // A model with the soil zone grid registered (held whole by every process).
  void RankGrid(const std::vector<std::vector<double>>& rows) {
    grid_ = test::MakeGrid(diag_, rows);
    registry_.Register(diag_, 1, "zones.asc", grid_.get(), nullptr, 0, "zonegrid", 0, 1, 2, 4, 2);
    registry_.Register(diag_, 2, "soilzones.asc", grid_.get(), nullptr, 0, "zonegrid_soilmodel", 0,
                       1, 2, 4, 2);
    WriteControlFile("[unsatzon_model]\n1 flow\n60 min\n");
    model_ = std::make_unique<teilmodellklasse>(setup_, "unsatzon_model");
    model_->RankSoilModelZones(data_, table_, index_, count_, highest_);
  }

  GridMatrix grid_;
  std::unique_ptr<teilmodellklasse> model_;
  double** data_ = nullptr;
  std::vector<ZoneRecord> table_;
  std::vector<int32_t> index_;
  int32_t count_ = -1;
  int32_t highest_ = -1;
};

TEST_F(SoilZoneRanking, EveryProcessGetsTheSameTables) {
  RankGrid({{7, 2.4, N, 5}, {5, 7, 7, 1.6}});  // 2.4 and 1.6 are both zone 2
  EXPECT_EQ(data_, grid_.get());
  ASSERT_EQ(count_, 3);
  EXPECT_EQ(highest_, 7);
  EXPECT_EQ(index_, (std::vector<int32_t>{0, 0, 1, 0, 0, 2, 0, 3}));
  const double expected[][5] = {
      {0, 0, 1, 100 * 100 * 7 / 1e6, 0},
      {2, 2, 2, 2 / 7.0, 2},
      {2, 2, 5, 2 / 7.0, 2},
      {3, 3, 7, 3 / 7.0, 3},
  };
  ASSERT_EQ(table_.size(), 4u);
  for (int i = 0; i <= 3; ++i)
    for (int f = 0; f < 5; ++f) EXPECT_NEAR(table_[i][f], expected[i][f], 1e-12) << i << "," << f;
}

TEST_F(SoilZoneRanking, ARefusedGridFailsOnEveryProcess) {
  EXPECT_EQ(test::ThrownCode([&] { RankGrid({{N, N, N, N}, {N, N, N, N}}); }), kNoDataCellCode);
  EXPECT_EQ(test::ThrownCode([&] {
              RankGrid({{1, 2, 40000, 3}, {N, N, N, N}});
            }),
            kZoneCodeRangeCode);
}

}  // namespace
}  // namespace velorn

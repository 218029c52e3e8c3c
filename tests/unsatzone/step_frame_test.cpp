// The soil zone's step frame on the fixture basin (eight subbasins of one cell each): the
// runoff set-up and its accessors, the initial base flow and total runoff, the storage section
// of the model's own file, the imposed groundwater table over the grid, and the glacier runoff
// that the snow model stores in the total runoff.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/nodata.h"
#include "tests/support/soil_column_fixture.h"
#include "unsatzone/storage_content_file.h"

namespace velorn {
namespace {

class StepFrame : public test::SoilColumnTest {
 protected:
  void Build() {
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    model_->SetupRunoff(1);
  }
  test::UnsatSection section_;
};

TEST_F(StepFrame, InitialBaseFlowIsTheExponentialStoreAndQgItsSubbasinMean) {
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(test::ThrownCode([&] { model_->GetTotalRunoff(); }), 57);
  EXPECT_TRUE(ScreenHas("Qg not initialized (may be, tracer module not linked?"));
  model_->SetupRunoff(1);
  double** qg = model_->GetTotalRunoff();
  double** base = model_->Grid(unsatzonmodellklasse::kBaseflow);
  double** distance = model_->Grid(unsatzonmodellklasse::kGroundwaterDistance);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      const int s = static_cast<int>(zones_[r - 1][c - 1]);
      // kelsqlat 0.4 is stored as 1 / 0.4; Q0 0.01.
      EXPECT_DOUBLE_EQ(base[r][c], 0.01 * std::exp(distance[r][c] * 2.5));
      EXPECT_DOUBLE_EQ(qg[0][s], base[r][c]);
    }
  EXPECT_EQ(model_->GetDirectRunoff()[1][3], 0.0);
  EXPECT_EQ(model_->GetReinfiltrationRecords(), nullptr);
}

TEST_F(StepFrame, WaterInputIsTheSnowOutflowWhenSnowRunsAfterInterception) {
  Build();
  EXPECT_EQ(test::ThrownCode([&] { model_->LinkWaterInputGrid(true); }), 33);
  Add("throughfall0", Fill(1.0));
  GridMatrix& snow = Add("snowcover_outflow", Fill(2.0));
  model_->LinkWaterInputGrid(true);
  EXPECT_EQ(model_->water_input, snow.get());
}

TEST_F(StepFrame, SubbasinWithoutWeightStartsAtZeroNotNaN) {
  Add("RelCellArea", {{0, 1, 1, 1}, {1, 1, 1, 1}});
  Build();
  EXPECT_EQ(model_->GetTotalRunoff()[0][1], 0.0);
  EXPECT_GT(model_->GetTotalRunoff()[0][2], 0.0);
}

TEST_F(StepFrame, StepsAndStorageSectionOfTheModelsOwnFile) {
  Build();
  model_->groundwaterModelActive = 0;
  for (int step = 0; step < 3; ++step) {
    model_->BeginStep(step, 7, 12, 2026);
    model_->runoff.AddCellRunoff(0, 2, 1, 1.0, 0.5, 1, 0, 1);
    model_->FinishStep();
  }
  // kelsqd 2 h: e = exp(-0.5) per hourly step.
  const double e = std::exp(-0.5);
  EXPECT_NEAR(model_->runoff.QDd[0][2], (1 - e) * (1 + e + e * e), 1e-12);
  model_->WriteStorageState(false);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "storage_0"));
  const double stored = model_->runoff.QDd[0][2];
  model_->runoff.QDd[0][2] = 0;
  EXPECT_EQ(test::ThrownCode([&] { model_->ReadStorageState(); }, 0), 0);
  EXPECT_NEAR(model_->runoff.QDd[0][2], stored, 1e-6);
  model_->kelsqi[3] = 1;  // the control file now says otherwise
  EXPECT_EQ(test::ThrownCode([&] { model_->ReadStorageState(); }, 0), kStorageFileContentCode);
}

TEST_F(StepFrame, ImposedTableOverTheGrid) {
  Build();
  double** given = model_->Grid(unsatzonmodellklasse::kGwTableExtern);
  double** balance = model_->Grid(unsatzonmodellklasse::kBalance);
  double** distance = model_->Grid(unsatzonmodellklasse::kGroundwaterDistance);
  double** base = model_->Grid(unsatzonmodellklasse::kBaseflow);
  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  double*** heads = model_->Stack(unsatzonmodellklasse::kGeodeticHeads);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) given[r][c] = distance[r][c] + heads[r][c][0];  // unchanged
  given[1][2] = N;                                                               // nodata
  given[2][3] = heads[2][3][0] + 500;  // a partner's table 500 m above the ground
  const double theta_kept = theta[1][2][1];
  const double base_kept = base[1][2];
  model_->ApplyExternalGroundwaterTable();
  EXPECT_TRUE(
      ScreenHas("the groundwater table given in GWTableExtern lies above the "
                "ground surface in 1 cell(s), by up to 500 m (the first at row 2, column "
                "3): their soil columns are saturated up to the surface"));
  EXPECT_EQ(balance[1][1], 0.0);
  EXPECT_EQ(base[1][1], 0.0);
  EXPECT_EQ(balance[1][2], 0.0);
  EXPECT_EQ(theta[1][2][1], theta_kept);
  EXPECT_EQ(base[1][2], base_kept);
}

TEST(GlacierRunoff, OnlySubbasinsWithTheSnowModelsFlagKeepItsRunoff) {
  RunoffConcentration runoff;
  runoff.Allocate(2, 0);
  runoff.maxzeit = {0, 1, 1};
  for (auto* b : {&runoff.zoneFZT_QD, &runoff.zoneFZT_QI})
    for (int s = 1; s <= 2; ++s) (*b)[0][s].assign(2, ZoneRecord{});
  std::vector<ZoneRecord> qb(3);
  RunoffConcentration::StepTables tables;
  tables.qb = &qb;
  const std::vector<double> k{0, 60, 60}, rel{0, 1, 1};
  const uint8_t glacier[3] = {0, 1, 0};
  for (int step = 0; step < 3; ++step) {
    runoff.Qg[0][1] = 2.0;  // what the snow model's end of step wrote for its glacier subbasin
    runoff.BeginStep();
    for (int s = 1; s <= 2; ++s) runoff.AddCellRunoff(0, s, 1, 1.0, 0, 1, 0, 1);
    runoff.FinishStep(tables, k, k, rel, glacier, true, 60, MPI_COMM_SELF);
  }
  EXPECT_DOUBLE_EQ(runoff.Qg[0][1], 3.0);  // glacier runoff + soil runoff
  EXPECT_DOUBLE_EQ(runoff.Qg[0][2], 1.0);  // no growth from step to step
}

}  // namespace
}  // namespace velorn

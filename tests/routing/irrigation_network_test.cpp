// Irrigation from the rivers of a routing network: what the cells receive from surface water is
// what leaves the rivers, step by step, at the sources and at the stretch outlets.
#include <gtest/gtest.h>

#include <map>

#include "routing/irrigation_model.h"
#include "tests/routing/routing_model_fixture.h"

namespace velorn::test {
namespace {

// 11 and 12 drain into 13; 13 and 14 (a list channel without members) into 15. One cell per
// subbasin, each irrigated with 0.2 mm per hourly step from the rivers.
class IrrigationNetworkTest : public RoutingModelTest {
 protected:
  IrrigationNetworkTest() {
    ranges_.assign(2, ColumnRange{1, 5});
    setup_.column_ranges = ranges_.data();
    setup_.ncols = 5;
    setup_.nrows = 1;
    setup_.last_local_row = 1;
    Add("zones", {11, 12, 13, 14, 15});
    Add("precipitation", {0, 0, 0, 0, 0});
    Add("irrigation_codes", {1, 1, 1, 1, 1});
    for (const char* name : {"Max_Pumping", "irrigation_amounts", "SB_1_grid", "SBLOW_grid",
                             "SBHIGH_grid", "ETR2ETP", "root_depth1"})
      Add(name, {0, 0, 0, 0, 0});
    table_.count = 1;
    table_.records.resize(2);
    table_.records[1].method = kIrrigationByTable;
    table_.records[1].origin = kIrrigationFromSurfaceWater;
    for (int day = 1; day <= 3; ++day) table_.records[1].AddEntry(1, day, 4.8);
  }
  ~IrrigationNetworkTest() override {
    if (irrigation_) irrigation_->ReleaseMemory();
  }
  void Add(const std::string& name, const std::vector<double>& row) {
    grids_[name] = MakeGrid(diag_, {row});
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, 1, 5, 1);
  }

  // Water in mm · km² of the step's runoff of all subbasins.
  double RunoffVolume() const {
    double volume = 0;
    for (std::size_t k = 1; k < runoff_[0].size(); ++k) volume += runoff_[0][k] * zones_[k][3];
    return volume;
  }

  IrrigationTable table_;
  std::map<std::string, GridMatrix> grids_;
  std::unique_ptr<irrigationclass> irrigation_;
};

TEST_F(IrrigationNetworkTest, SurfaceIrrigationLeavesTheRivers) {
  WriteFile(setup_.control_file_name,
            "[output_interval]\n24\n0\n0\n0\n[routing_model]\n1\n60\n" + Header("1 1000 50 3") +
                "TG 13 (A=60, f=1) OL 11 " + ChannelValues(2, 8000, 10) + " OL 12 " +
                ChannelValues(3, 12000, 20) + "\nTG 15 (A=150, f=1) OL 13 " +
                ChannelValues(4, 20000, 60) + "\nSUMTRIB 14 " + ChannelValues(1, 5000, 40) +
                "\nend of descriptions\n[irrigation]\n1\n60\nirr_gw.sta 0\nirr_sw.sta 0\n");
  int32_t error = -1;
  irrigation_ = std::make_unique<irrigationclass>(error, setup_, &table_);
  ASSERT_EQ(error, 0) << screen_.str();
  irrigation_->SetupTracers(error, 0, nullptr, nullptr, 0);
  SetPulse(0);
  auto routing = Start();
  ASSERT_TRUE(routing);
  routing->SetIrrigationDemand(irrigation_->GetSurfaceWaterDemand());
  irrigation_->SetMaxIrrigationArrays(routing->GetMaxIrrigation(),
                                      routing->GetMaxIrrigationFromReservoirs());
  irrigation_->SetRoutingTargets(&routing->GetRoutingTargets()->target);
  irrigation_->SetAbfrelTable(routing->GetAbfrelTable());

  const double stored_before = routing->ChannelStorage();
  double in = 0, out = 0, irrigated = 0;
  double** amounts = grids_["irrigation_amounts"].get();
  for (int n = 0; n < 60; ++n) {
    SetPulse(n);
    in += RunoffVolume();
    irrigation_->RunStep(n % 24, 1 + n / 24, 1, 2001);
    for (int k = 1; k <= 5; ++k) irrigated += amounts[1][k] * zones_[k][3];  // mm · km²
    Step(*routing, n);
    out += routing->Flows()[0][5] * 150.0;
  }
  const double stored_after = routing->ChannelStorage();
  // The first step finds no river water recorded yet; afterwards every demand is met.
  EXPECT_NEAR(irrigated, 59 * 0.2 * 150.0, 1e-9 * irrigated);
  EXPECT_NEAR(in - irrigated, out + stored_after - stored_before, 1e-9 * in);
  EXPECT_NEAR(grids_["precipitation"].get()[1][3], 59 * 0.2, 1e-12);
}

}  // namespace
}  // namespace velorn::test

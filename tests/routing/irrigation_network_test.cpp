// Irrigation from the rivers of a routing network: what the cells receive from surface water is
// what leaves the rivers, step by step, at the sources and at the stretch outlets.
#include <gtest/gtest.h>

#include <algorithm>
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

  // Builds both models over the network `outlet13` (the description of 13's stretch, with its
  // reservoir items) and runs `steps` hourly steps, every cell asking for `daily` mm a day; returns
  // the water irrigated, in mm · km², and checks the balance of the network: runoff = irrigation
  // + outflow + stored water - the irrigation water the rivers still owe.
  double RunNetwork(const std::string& outlet13, const std::string& rules, double daily = 4.8,
                    int steps = 60) {
    for (int day = 1; day <= 3; ++day) table_.records[1].AddEntry(1, day, daily);
    WriteFile(setup_.control_file_name,
              "[output_interval]\n24\n0\n0\n0\n[routing_model]\n1\n60\n" + Header("1 1000 50 3") +
                  outlet13 + "\nTG 15 (A=150, f=1) OL 13 " + ChannelValues(4, 20000, 60) +
                  "\nSUMTRIB 14 " + ChannelValues(1, 5000, 40) +
                  "\nend of descriptions\n[irrigation]\n1\n60\nirr_gw.sta 0\nirr_sw.sta 0\n" +
                  rules);
    int32_t error = -1;
    irrigation_ = std::make_unique<irrigationclass>(error, setup_, &table_);
    EXPECT_EQ(error, 0) << screen_.str();
    irrigation_->SetupTracers(error, 0, nullptr, nullptr, 0);
    SetPulse(0);
    routing_ = Start();
    if (!routing_) return 0;
    routing_->SetIrrigationDemand(irrigation_->GetSurfaceWaterDemand());
    irrigation_->SetMaxIrrigationArrays(routing_->GetMaxIrrigation(),
                                        routing_->GetMaxIrrigationFromReservoirs());
    irrigation_->SetRoutingTargets(&routing_->GetRoutingTargets()->target);
    irrigation_->SetAbfrelTable(routing_->GetAbfrelTable());

    const double stored_before = Stored();
    double in = 0, out = 0, irrigated = 0;
    double** amounts = grids_["irrigation_amounts"].get();
    for (int n = 0; n < steps; ++n) {
      SetPulse(n);
      in += RunoffVolume();
      irrigation_->RunStep(n % 24, 1 + n / 24, 1, 2001);
      for (int k = 1; k <= 5; ++k) irrigated += amounts[1][k] * zones_[k][3];  // mm · km²
      Step(*routing_, n);
      out += routing_->Flows()[0][5] * 150.0;
    }
    double owed = 0;
    for (int k = 1; k <= 5; ++k) {
      EXPECT_GE(routing_->IrrigationOwed()[k], 0.0);
      owed += routing_->IrrigationOwed()[k] * zones_[k][3];
    }
    EXPECT_NEAR(in - irrigated, out + Stored() - stored_before - owed, 1e-9 * in);
    return irrigated;
  }
  // Channel and reservoir water in mm · km² (1 mm over 1 km² is 1000 m³).
  double Stored() const {
    double water = routing_->ChannelStorage();
    for (int32_t k = 1; k <= routing_->Stretch(1).ReservoirCount(); ++k)
      water += routing_->Stretch(1).Reservoir(k).volume() / 1000.0;
    return water;
  }

  IrrigationTable table_;
  std::map<std::string, GridMatrix> grids_;
  std::unique_ptr<irrigationclass> irrigation_;
  std::unique_ptr<abflussmodellklasse> routing_;
};

const char* const kStretch13 = "TG 13 (A=60, f=1) OL 11 ";

TEST_F(IrrigationNetworkTest, SurfaceIrrigationLeavesTheRivers) {
  const double irrigated = RunNetwork(
      kStretch13 + ChannelValues(2, 8000, 10) + " OL 12 " + ChannelValues(3, 12000, 20), "");
  // The first step finds no river water recorded yet; afterwards every demand is met.
  EXPECT_NEAR(irrigated, 59 * 0.2 * 150.0, 1e-9 * irrigated);
  EXPECT_NEAR(grids_["precipitation"].get()[1][3], 59 * 0.2, 1e-12);
}

// Cells asking for 2 mm an hour for three days, more than the rivers carry once the pulse has
// passed: the amounts served from the previous step's river water are taken from the rivers as
// far as they carry water in the step, and the rest later (the outlets were cut at 0: water
// appeared); once the cells ask no more, the rivers have paid what they owed.
TEST_F(IrrigationNetworkTest, RiversGiveNoMoreThanTheyCarry) {
  const double irrigated =
      RunNetwork(kStretch13 + ChannelValues(2, 8000, 10) + " OL 12 " + ChannelValues(3, 12000, 20),
                 "", 48, 80);
  ASSERT_TRUE(routing_);
  EXPECT_LT(irrigated, 71 * 2.0 * 150.0);
  for (int k = 1; k <= 5; ++k) {
    EXPECT_GE(routing_->Flows()[0][k], 0.0) << k;
    EXPECT_EQ(routing_->IrrigationOwed()[k], 0.0) << k;
  }
}

// What the rivers owe at the end of a run, and the river water they offered, go on in a warm
// start exactly; a state file written without them starts them at 0, one whose block does not
// fit the network ends with 71.
TEST_F(IrrigationNetworkTest, WarmStartKeepsWhatTheRiversOwe) {
  // After 10 steps of 2 mm an hour the rivers owe water.
  RunNetwork(kStretch13 + ChannelValues(2, 8000, 10) + " OL 12 " + ChannelValues(3, 12000, 20), "",
             48, 10);
  ASSERT_TRUE(routing_);
  const std::vector<double> owed = routing_->IrrigationOwed();
  ASSERT_GT(*std::max_element(owed.begin(), owed.end()), 0.0);
  // A headwater's offer to the next step is its water of the step less what it owes.
  for (int k = 1; k <= 2; ++k)
    EXPECT_DOUBLE_EQ((*routing_->GetMaxIrrigation())[0][k], std::max(0.0, runoff_[0][k] - owed[k]))
        << k;
  const std::string name = "state.txt";
  routing_->ReadStorageState(&name, 0);
  routing_->WriteStorageState();
  const std::string text = ReadFile(dir_ / name);
  const auto warm_from = [&](const std::string& file, const std::string& content) {
    WriteFile(dir_ / file, content);
    SetPulse(0);
    auto warm = Start();
    if (!warm) return warm;
    warm->SetIrrigationDemand(irrigation_->GetSurfaceWaterDemand());
    warm->ReadStorageState(&file, 1);
    return warm;
  };
  {
    auto warm = warm_from(name, text);
    ASSERT_TRUE(warm);
    EXPECT_EQ(warm->IrrigationOwed(), owed);
    EXPECT_EQ(*warm->GetMaxIrrigation(), *routing_->GetMaxIrrigation());
    EXPECT_EQ(*warm->GetMaxIrrigationFromReservoirs(), *routing_->GetMaxIrrigationFromReservoirs());
  }
  const std::size_t block = text.rfind('\n', text.find("(irrigation: subbasins")) + 1;
  {
    auto older = warm_from("older.txt", text.substr(0, block) + "\n");
    ASSERT_TRUE(older);
    EXPECT_EQ(older->IrrigationOwed(), std::vector<double>(owed.size(), 0.0));
  }
  std::string other = text;
  other.replace(block, 1, "4");  // 5 subbasins in the block's first line
  EXPECT_EQ(ThrownCode([&] { warm_from("other.txt", other); }), kRoutingStorageContentCode);
}

// A reservoir at the outlet of 13 serves 13's demand (0.2 mm over its 30 km² per step, 6000 m³)
// from its volume, which it offers after each step; its balance books the draw and stays closed.
TEST_F(IrrigationNetworkTest, ReservoirServesItsSubbasin) {
  const double irrigated =
      RunNetwork(kStretch13 + ChannelValues(2, 8000, 10) + " OL 12 " + ChannelValues(3, 12000, 20) +
                     "\nSP 1 file = r1.txt V0 = 1e6 C0 = 0 0 0 0 0 0 0 0 0",
                 "[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 100\n\n");
  ASSERT_TRUE(routing_);
  EXPECT_NEAR(irrigated, 59 * 0.2 * 150.0, 1e-9 * irrigated);
  const SP_class& r = routing_->Stretch(1).Reservoir(1);
  EXPECT_NEAR(r.balance().m3[kIrrig], 0.2 * 30 * 1000.0, 1e-9);
  EXPECT_NEAR(routing_->GetMaxIrrigationFromReservoirs()->at(0)[3], r.volume() / 30e3, 1e-12);
}

}  // namespace
}  // namespace velorn::test

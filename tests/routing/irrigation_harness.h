// Fixture of the irrigation model tests: a 3 x 4 grid of three subbasins of four cells each
// (1 km² cells; 1 and 2 drain into 3), the grids of the unsaturated zone, an irrigation table
// of three types and the routing model's arrays that the tests fill by hand.
//
//   zones  1 1 2 2      types: 1 dated, surface water (30 mm on 1 May)
//          1 2 3 3             2 dated, groundwater (120 mm on 1 May, pumping 2 mm)
//          1 2 3 3             3 soil moisture, surface water
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "routing/irrigation_model.h"
#include "tests/support/submodel_fixture.h"
#include "tests/support/test_mpi.h"

namespace velorn::test {

class IrrigationTest : public SubModelTest {
 protected:
  using Rows = std::vector<std::vector<double>>;
  static constexpr int32_t kSubbasins = 3;

  IrrigationTest() : SubModelTest(3, 4) {
    zone_code_index_ = {0, 1, 2, 3};
    zone_table_.assign(kSubbasins + 1, ZoneRecord{});
    zone_table_[0][3] = 1.0;
    for (int z = 1; z <= kSubbasins; ++z) zone_table_[z] = ZoneRecord{{4, 4, 1.0 * z, 4.0, 4}};
    setup_.zone_code_index = zone_code_index_.data();
    setup_.zone_table = zone_table_.data();
    setup_.zone_count = setup_.highest_zone_code = kSubbasins;
    Add("zones", {{1, 1, 2, 2}, {1, 2, 3, 3}, {1, 2, 3, 3}});
    Add("precipitation", Fill(1.0));
    Add("irrigation_codes", Fill(1));
    Add("Max_Pumping", Fill(2.0));
    Add("irrigation_amounts", Fill(0.0));
    Add("SB_1_grid", Fill(0.2));
    Add("SBLOW_grid", Fill(0.25));
    Add("SBHIGH_grid", Fill(0.35));
    Add("ETR2ETP", Fill(1.0));
    Add("root_depth1", Fill(0.5));
    table_.count = 3;
    table_.records.resize(4);
    const int32_t methods[] = {0, kIrrigationByTable, kIrrigationByTable, kIrrigationBySuction};
    const int32_t origins[] = {0, kIrrigationFromSurfaceWater, kIrrigationFromGroundwater,
                               kIrrigationFromSurfaceWater};
    for (int k = 1; k <= 3; ++k) {
      table_.records[k].code = k;
      table_.records[k].method = methods[k];
      table_.records[k].origin = origins[k];
    }
    table_.records[1].AddEntry(5, 1, 30.0);
    table_.records[2].AddEntry(5, 1, 120.0);
    maxirrig_.assign(1, std::vector<double>(kSubbasins + 1, 100.0));
    reservoirs_.assign(1, std::vector<double>(kSubbasins + 1, 0.0));
    targets_ = {0, 3, 3, 0};
    abfrel_.area = {1, 4, 4, 4};
    abfrel_.divisor = {1, 1, 1, 1};
  }
  ~IrrigationTest() override {
    if (model_) model_->ReleaseMemory();
  }

  static Rows Fill(double value) { return Rows(3, std::vector<double>(4, value)); }
  void Add(const std::string& name, const Rows& rows) {
    grids_[name] = MakeGrid(diag_, rows);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, 3, 4, 3);
  }
  double** Grid(const std::string& name) { return grids_[name].get(); }
  void SetCodes(const Rows& rows) {
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) Grid("irrigation_codes")[r][c] = rows[r - 1][c - 1];
  }
  // This process's rows of the 3 rows (all of them on one process).
  void SplitRows() {
    setup_.first_local_row = 1 + 3 * Rank() / Size();
    setup_.last_local_row = 3 * (Rank() + 1) / Size();
  }

  // Construction; returns its error.
  int Make(const std::string& statistics = "irr_gw.sta 0\nirr_sw.sta 0\n") {
    WriteControlFile("[irrigation]\n1 switch\n60 time interval\n" + statistics);
    int32_t error = -1;
    model_ = std::make_unique<irrigationclass>(error, setup_, &table_);
    return error;
  }
  // Construction, tracers and every hand-over of the routing model's arrays.
  void Start() {
    ASSERT_EQ(Make(), 0) << screen_.str();
    int32_t error = -1;
    model_->SetupTracers(error, 0, nullptr, nullptr, 0);
    ASSERT_EQ(error, 0);
    model_->SetReinfiltrationRecords(records_.empty() ? nullptr : records_.data());
    model_->LinkSoilTracerGrids();
    model_->SetMaxIrrigationArrays(&maxirrig_, &reservoirs_);
    model_->SetRoutingTargets(&targets_);
    model_->SetAbfrelTable(&abfrel_);
  }

  IrrigationTable table_;
  std::map<std::string, GridMatrix> grids_;
  std::vector<std::vector<double>> maxirrig_, reservoirs_;
  std::vector<int32_t> targets_;
  AbfrelTable abfrel_;
  std::vector<ReinfiltrationRecord> records_;
  std::unique_ptr<irrigationclass> model_;
};

}  // namespace velorn::test

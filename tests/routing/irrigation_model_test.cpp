// Irrigation model: the hand-overs without routing, the cell amounts by type and origin
// against hand-computed values, the water input, and the surface-water supply of a subbasin
// chain whose rivers cannot meet the demand (the water balance of rivers, reservoirs and cells).
#include <gtest/gtest.h>

#include <functional>

#include "core/error_code.h"
#include "core/tracer_bookkeeping.h"
#include "setup/tracer_definitions.h"
#include "tests/routing/irrigation_harness.h"

namespace velorn::test {
namespace {

TEST_F(IrrigationTest, HandOversWithoutRoutingEndWithCode60) {
  ASSERT_EQ(Make(), 0) << screen_.str();
  struct Case {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[&] { model_->SetMaxIrrigationArrays(nullptr, &reservoirs_); },
       "(Adress of array maxirrig[] is NULL"},
      {[&] { model_->SetMaxIrrigationArrays(&maxirrig_, nullptr); },
       "(Adress of array maxirrigFromReservoirs[] is NULL"},
      {[&] { model_->SetRoutingTargets(nullptr); }, "(Adress of array routing-target is NULL)"},
      {[&] { model_->SetAbfrelTable(nullptr); }, "(Adress of array abfrel is NULL)"},
  };
  for (const Case& c : cases) {
    screen_.str("");
    EXPECT_EQ(CodeOf(c.call), kIrrigationRoutingCode) << c.message;
    EXPECT_TRUE(ScreenHas("if irrigation is modelled, also routing has to be modelled!"));
    EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
  }
  // A statistics line without its code, and a missing grid of the soil zone.
  model_->ReleaseMemory();
  EXPECT_EQ(Make("irr_gw.sta\n"), 17);
  registry_.Unregister(registry_.FindIdentifier("SBHIGH_grid"));
  model_->ReleaseMemory();
  EXPECT_EQ(Make(), 33);
  model_.reset();
}

// Hourly steps of 1 and 2 May with rivers that can spare everything.
TEST_F(IrrigationTest, AmountsByTypeAndOriginAreAddedToThePrecipitation) {
  SetCodes({{1, 2, 0, 3}, {1, 2, 3, 3}, {-9999, 7, 3, 3}});
  Start();
  // 30 mm/day over 24 steps; 120 mm/day is 5 mm per step, limited to the pumping of 2 mm;
  // (HIGH − SB) · root depth · 1000 / 24 = (0.35 − 0.2) · 0.5 · 1000 / 24; codes 0, nodata and
  // 7 (no such type) get 0.
  const double expected_may1[] = {1.25, 2.0, 0.0, 3.125};
  const double expected_may2[] = {0.0, 0.0, 0.0, 3.125};
  for (int day = 1; day <= 2; ++day) {
    for (int hour = 0; hour < 2; ++hour) {
      for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 4; ++c) Grid("precipitation")[r][c] = 1.0;
      model_->RunStep(hour, day, 5, 2001);
      const double* expected = day == 1 ? expected_may1 : expected_may2;
      for (int c = 1; c <= 4; ++c) {
        EXPECT_DOUBLE_EQ(Grid("irrigation_amounts")[1][c], expected[c - 1]) << day << " " << c;
        EXPECT_DOUBLE_EQ(Grid("precipitation")[1][c], 1.0 + expected[c - 1]) << day << " " << c;
      }
      EXPECT_EQ(Grid("irrigation_amounts")[3][1], 0.0);
      EXPECT_EQ(Grid("irrigation_amounts")[3][2], 0.0);
    }
  }
  // Subbasin 1 (cells (1,1), (1,2), (2,1), (3,1)): on 1 May two surface cells of 1.25 mm, the
  // groundwater cell and the nodata-code cell count with 0: a surface demand of 2.5 over 4.
  model_->RunStep(0, 1, 5, 2001);
  const ZoneRecord* demand = model_->GetSurfaceWaterDemand();
  EXPECT_DOUBLE_EQ(demand[1][1], 2.5);
  EXPECT_DOUBLE_EQ(demand[1][4], 4.0);
  // The soil moisture reaches the upper threshold: the running amount stops.
  for (int c = 1; c <= 4; ++c) Grid("SB_1_grid")[1][c] = 0.35;
  model_->RunStep(1, 2, 5, 2001);
  EXPECT_EQ(Grid("irrigation_amounts")[1][4], 0.0);
}

// All cells of type 1 (1.25 mm). Rivers: 0.5, 2 and 10 mm spare in subbasins 1, 2, 3; the
// reservoirs of subbasin 2 supply 0.25 mm. Upstream first, each demand taken from the own river
// and debited downstream: 1 gets 0.5 of 1.25 (factor 0.4), 2 gets 0.25 + 1.0, 3 gets 1.25 of
// the 10 − (0.5 + 1.0) left.
TEST_F(IrrigationTest, ShortageScalesSurfaceCellsAndBalancesRiversAndReservoirs) {
  Add("RelCellArea", Fill(1.0));  // weights of 1: the balance below in plain cell counts
  SetCodes({{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}});
  maxirrig_[0] = {0, 0.5, 2.0, 10.0};
  reservoirs_[0] = {0, 0.0, 0.25, 0.0};
  records_.assign(kSubbasins + 1, ReinfiltrationRecord{});
  for (int z = 1; z <= kSubbasins; ++z) {
    records_[z].stretchNumber = 1;
    records_[z].channelArea = 1.0;
    records_[z].offeredWater = 50.0;
  }
  Start();
  model_->RunStep(0, 1, 5, 2001);
  double** amounts = Grid("irrigation_amounts");
  const double per_subbasin[] = {0, 0.5, 1.25, 1.25};
  double cells = 0;
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 4; ++c) {
      const int z = static_cast<int>(Grid("zones")[r][c]);
      EXPECT_DOUBLE_EQ(amounts[r][c], per_subbasin[z]) << r << c;
      EXPECT_DOUBLE_EQ(Grid("precipitation")[r][c], 1.0 + per_subbasin[z]);
      cells += amounts[r][c];  // mm · km² (1 km² cells)
    }
  }
  EXPECT_TRUE(model_->LastSupply().shortage);
  EXPECT_NEAR(model_->LastSupply().factor[1], 0.4, 1e-15);
  // Reservoirs give what they supplied, the rivers what is left; the river water taken plus
  // the reservoir water equals what reached the cells.
  EXPECT_DOUBLE_EQ(reservoirs_[0][2], 0.25);
  const double left[] = {0, 0.0, 1.0, 7.25};
  double river_taken = 0;
  for (int z = 1; z <= 3; ++z) EXPECT_DOUBLE_EQ(maxirrig_[0][z], left[z]) << z;
  river_taken = (0.5 + 1.0 + 1.25) * 4.0;
  EXPECT_DOUBLE_EQ(cells, river_taken + 0.25 * 4.0);
  // The demand the routing model takes from the rivers: the served means over 4 cells.
  const ZoneRecord* demand = model_->GetSurfaceWaterDemand();
  for (int z = 1; z <= 3; ++z) EXPECT_DOUBLE_EQ(demand[z][1] / demand[z][4], per_subbasin[z]);
  // The river water offered to the soil falls by the volumes passing each subbasin:
  // mm · km² / (dt · 0.06) m³/s; 3 receives the water of 1 and 2 and its own.
  const double to_flow = 1.0 / (60 * 0.06);
  EXPECT_NEAR(records_[1].offeredWater, 50.0 - 2.0 * to_flow, 1e-12);
  EXPECT_NEAR(records_[2].offeredWater, 50.0 - 4.0 * to_flow, 1e-12);
  EXPECT_NEAR(records_[3].offeredWater, 50.0 - 11.0 * to_flow, 1e-12);
}

// The irrigation water carries the concentration of where it comes from: the pumped water's for
// groundwater, river water for surface water, mixed with the precipitation's by volume.
TEST_F(IrrigationTest, TracersMixTheInputWithTheSourceOfTheIrrigationWater) {
  SetCodes({{1, 2, 0, 1}, {1, 2, 0, 1}, {1, 2, 0, 1}});
  Add("concflux_tracer_1_input", Fill(2.0));
  Add("concpump_tracer_1_unsatzon_model", Fill(10.0));
  maxirrig_.push_back({0, 6.0, 6.0, 6.0});
  ASSERT_EQ(Make(), 0) << screen_.str();
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "no3";
  tracers[1].max_conc = 1e9;
  std::vector<ZoneStatisticsRecord> statistics(kZoneStatisticsCapacity + 1);
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers.data(), statistics.data(), kZoneStatisticsCapacity);
  ASSERT_EQ(error, 0) << screen_.str();
  model_->LinkSoilTracerGrids();
  model_->SetMaxIrrigationArrays(&maxirrig_, &reservoirs_);
  model_->SetRoutingTargets(&targets_);
  model_->SetAbfrelTable(&abfrel_);
  model_->RunStep(0, 1, 5, 2001);
  double** out = registry_[registry_.FindIdentifier("concflux_tracer_1_irrigation")].grid;
  for (int r = 1; r <= 3; ++r) {
    EXPECT_DOUBLE_EQ(out[r][1], (2.0 * 1.0 + 6.0 * 1.25) / 2.25);  // river water
    EXPECT_DOUBLE_EQ(out[r][2], (2.0 * 1.0 + 10.0 * 2.0) / 3.0);   // pumped water
    EXPECT_DOUBLE_EQ(out[r][3], 2.0);                              // no irrigation
  }
  model_->ReleaseTracers();
}

}  // namespace
}  // namespace velorn::test

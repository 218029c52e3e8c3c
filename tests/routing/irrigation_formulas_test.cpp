// Irrigation amounts per cell against hand-computed values, and the surface-water supply of a
// chain of subbasins: shares, factors, the debit of river water downstream and its balance.
#include "routing/irrigation_formulas.h"

#include <gtest/gtest.h>

namespace velorn::test {
namespace {

IrrigationRecord Type(int32_t method) {
  IrrigationRecord r;
  r.method = method;
  r.min_etr_etp = 0.5;
  return r;
}

TEST(IrrigationDemand, DatedAmounts) {
  IrrigationRecord r = Type(kIrrigationByTable);
  r.AddEntry(5, 1, 30);
  EXPECT_DOUBLE_EQ(IrrigationDemand(r, {}, 5, 1, 60), 1.25);
  EXPECT_DOUBLE_EQ(IrrigationDemand(r, {}, 5, 2, 60), 0.0);
  EXPECT_DOUBLE_EQ(IrrigationDemand(r, {}, 5, 1, 1440), 30.0);
}

TEST(IrrigationDemand, SoilMoistureAndEtRatioThresholds) {
  const IrrigationRecord suction = Type(kIrrigationBySuction);
  const IrrigationRecord ratio = Type(kIrrigationByEtRatio);
  struct Case {
    const char* name;
    const IrrigationRecord& type;
    IrrigationCell cell;
    double dt, expected;
  } cases[] = {
      // (HIGH − SB) · root depth · 1000: (0.35 − 0.2) · 0.5 · 1000 = 75 mm per day.
      {"dry, daily", suction, {0.2, 0.25, 0.35, 1, 0.5, 0}, 1440, 75},
      {"between, daily", suction, {0.3, 0.25, 0.35, 1, 0.5, 75}, 1440, 0},
      {"dry, hourly", suction, {0.2, 0.25, 0.35, 1, 0.5, 0}, 60, 3.125},
      {"dry, running", suction, {0.2, 0.25, 0.35, 1, 0.5, 2}, 60, 2},
      {"between, hourly", suction, {0.3, 0.25, 0.35, 1, 0.5, 3.125}, 60, 3.125},
      {"at HIGH, hourly", suction, {0.35, 0.25, 0.35, 1, 0.5, 3.125}, 60, 0},
      // ETR/ETP 0.4 below the type's 0.5: (0.35 − 0.3) · 1 · 1000 = 50 mm per day.
      {"ratio low", ratio, {0.3, 0.25, 0.35, 0.4, 1.0, 0}, 1440, 50},
      {"ratio high", ratio, {0.3, 0.25, 0.35, 0.6, 1.0, 0}, 1440, 0},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(IrrigationDemand(c.type, c.cell, 7, 1, c.dt), c.expected, 1e-12) << c.name;
  EXPECT_DOUBLE_EQ(IrrigationDemand(Type(5), {0, 0, 0, 0, 0, 4}, 7, 1, 60), 4.0);
  EXPECT_DOUBLE_EQ(LimitToPumping(5, 2), 2);
  EXPECT_DOUBLE_EQ(LimitToPumping(1, 2), 1);
}

// Subbasins 1 → 2 → 3 (10, 20, 30 km²).
SurfaceSupplyInput Chain() {
  SurfaceSupplyInput in;
  in.demand = {0, 4, 2, 1};
  in.reservoirs = {0, 0, 1, 0};
  in.rivers = {0, 1, 5, 10};
  in.area = {0, 10, 20, 30};
  in.target = {0, 2, 3, 0};
  in.dt = 60;
  return in;
}

TEST(SurfaceSupply, SharesFactorsAndDownstreamDebit) {
  const SurfaceSupplyInput in = Chain();
  std::vector<ReinfiltrationRecord> records(4);
  for (int z = 1; z <= 3; ++z) {
    records[z].stretchNumber = 1;
    records[z].channelArea = 5;
    records[z].offeredWater = 15;
  }
  const SurfaceSupply s = ServeSurfaceDemand(in, records.data());
  // 1: no reservoir, 1 mm of river water for 4 mm; 2: 1 mm from the reservoir, 1 from the river;
  // 3: all from the river.
  EXPECT_DOUBLE_EQ(s.factor[1], 0.25);
  EXPECT_DOUBLE_EQ(s.factor[2], 1.0);
  EXPECT_DOUBLE_EQ(s.factor[3], 1.0);
  EXPECT_TRUE(s.shortage);
  // River water left: 1 took 10 mm·km² from 1, 2 and 3; 2 took 20 from 2 and 3; 3 took 30.
  EXPECT_NEAR(s.rivers_left[1], 0.0, 1e-12);
  EXPECT_NEAR(s.rivers_left[2], 5 - 0.5 - 1, 1e-12);
  EXPECT_NEAR(s.rivers_left[3], 10 - 1.0 / 3 - 2.0 / 3 - 1, 1e-12);
  // Offered discharge: mm · km² / (dt · 0.06) m³/s taken at the subbasin and downstream.
  EXPECT_NEAR(records[1].offeredWater, 15 - 10 / 3.6, 1e-12);
  EXPECT_NEAR(records[1].riverValues[0], 60 * (15 - 10 / 3.6) / 5 * 0.06, 1e-12);
  EXPECT_NEAR(records[2].offeredWater, 15 - 30 / 3.6, 1e-12);
  EXPECT_DOUBLE_EQ(records[3].offeredWater, 0.0);  // 15 − 60 / 3.6 < 0
  EXPECT_DOUBLE_EQ(records[3].riverValues[0], 0.0);
  // What is served never exceeds what reservoirs and rivers offered.
  for (int z = 1; z <= 3; ++z) {
    EXPECT_LE(s.reservoir_share[z], in.reservoirs[z]);
    EXPECT_LE(s.river_share[z], in.rivers[z]);
    EXPECT_NEAR(s.factor[z] * in.demand[z], s.reservoir_share[z] + s.river_share[z], 1e-12);
  }
}

TEST(SurfaceSupply, ReservoirsCoveringTheDemandAndNoDemand) {
  SurfaceSupplyInput in = Chain();
  in.reservoirs = {0, 4, 2, 1};
  SurfaceSupply s = ServeSurfaceDemand(in, nullptr);
  EXPECT_FALSE(s.shortage);
  EXPECT_EQ(s.rivers_left, in.rivers);
  in.demand = {0, 0, 0, 0};
  in.reservoirs = {0, 0, 0, 0};
  s = ServeSurfaceDemand(in, nullptr);
  EXPECT_FALSE(s.shortage);
  EXPECT_EQ(s.factor, (std::vector<double>{1, 1, 1, 1}));
}

TEST(SurfaceSupply, DemandCarriedDownTheNetwork) {
  // Mean 6 / 2 = 3 mm less 1 mm from reservoirs; no count: 0; reservoirs above the demand: 0.
  EXPECT_EQ(UncoveredDemand({0, 6, 5, 1}, {0, 2, 0, 1}, {0, 1, 0, 3}),
            (std::vector<double>{0, 2, 0, 0}));
  // 1 → 2 → 3; 2 and 3 are stretch outlets. 1 lacks 0.5 mm (a negative flow over its 10 km²),
  // 2 asks for 2 mm.
  const std::vector<int32_t> list = {0, 1, 2, 0};
  const std::vector<int32_t> target = {0, 2, 3, 0};
  const std::vector<char> outlet = {0, 0, 1, 1};
  const std::vector<double> demand = {0, 4, 2, 1};
  const double flows[4] = {0, -0.5, 3, 3};
  const std::vector<double> abfrel = {1, 10, 20, 30};
  std::vector<double> c =
      AccumulateDemand(list, target, outlet, demand, flows, abfrel, {0, 10, 20, 30});
  EXPECT_NEAR(c[1], 0.0, 1e-15);
  EXPECT_NEAR(c[2], 0.5 * 10 / 20, 1e-15);
  EXPECT_NEAR(c[3], 0.5 * 10 / 30 + 2.0 * 20 / 30, 1e-15);
  // A subbasin without area neither contributes nor receives (no division by 0).
  c = AccumulateDemand(list, target, outlet, demand, flows, abfrel, {0, 0, 0, 30});
  EXPECT_EQ(c, (std::vector<double>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace velorn::test

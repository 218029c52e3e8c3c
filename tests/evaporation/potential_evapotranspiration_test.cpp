// The potential step: night steps, the single-layer methods, the energy passed down the
// vegetation layers, temperature grids left unchanged, response units.
#include <gtest/gtest.h>

#include <cmath>

#include "evaporation/evaporation_physics.h"
#include "evaporation/evapotranspiration.h"
#include "setup/response_units.h"
#include "tables/landuse_multilayer.h"
#include "tests/support/evaporation_fixture.h"

namespace velorn {
namespace {

class PotentialStep : public test::EvaporationTest {
 protected:
  PotentialStep() : test::EvaporationTest(1, 2) {
    setup_.latitude = 52.1;
    setup_.longitude = 5.2;
    setup_.reference_meridian = 15;
    AddLayer(1, test::LayerValues());
  }
};

// An hourly step at 2 h has no daylight: no solar sub-interval is formed (no 0/0 length) and
// no table entry of an earlier daytime step is read.
TEST_F(PotentialStep, NightStepsUseNoSolarTable) {
  AddPenmanMonteithInputs(15, 0.7, 2, 0);
  test::EvapSection section;
  section.interval = 60;
  auto model = Make(section);
  radiation_[1][1] = radiation_[1][2] = 500;
  model->ComputePotentialEvapotranspiration(13, 15, 6, 2001);
  ASSERT_GT(model->sub_interval_count, 0);
  EXPECT_GT(model->cloudiness[1][1], 0);
  EXPECT_LT(model->cloudiness[1][1], 0.997);  // some sun: the relative radiation is above 0
  radiation_[1][1] = radiation_[1][2] = 0;
  model->ComputePotentialEvapotranspiration(2, 15, 6, 2001);
  EXPECT_EQ(model->sub_interval_count, 0);
  EXPECT_DOUBLE_EQ(model->daylight_fraction, 0);
  EXPECT_DOUBLE_EQ(model->cloudiness[1][1], 0.997);
  EXPECT_DOUBLE_EQ(model->corrected_radiation[1][1], 0);
  for (int i = 0; i <= 1; ++i) {
    EXPECT_TRUE(std::isfinite(model->pot_transpiration[i][1][1]));
    EXPECT_GE(model->pot_transpiration[i][1][1], 0);
  }
  EXPECT_TRUE(std::isfinite(model->potential_evaporation[1][1]));
}

TEST_F(PotentialStep, SingleLayerMethodsGiveTheirDailyValues) {
  AddPenmanMonteithInputs(15, 0.7, 2, 3000);
  AddGrid("temperature_14", 40);
  AddGrid("air_humidity_14", 0);
  struct Case {
    int method;
    double expected;  // mm/d
    double cloudiness;
  } const cases[] = {
      // Haude at 40 degC in dry air reaches its cap of 7 mm/d.
      {4, 7.0, 0.5},
      // Wendling by hand: (3000 * 0.36 * (1.1 - 0.23) + 93) * 37 / (150 * 138).
      {3, 1032.6 * 37 / 20700, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    test::EvapSection section;
    section.method = c.method;
    auto model = Make(section);
    model->ComputePotentialEvapotranspiration(24, 15, 6, 2001);
    EXPECT_NEAR(model->pot_transpiration[1][1][1], c.expected, 1e-9);
    EXPECT_DOUBLE_EQ(model->pot_transpiration[0][1][1], model->pot_transpiration[1][1][1]);
    EXPECT_DOUBLE_EQ(model->pot_interception[1][1][1], model->pot_transpiration[1][1][1]);
    EXPECT_DOUBLE_EQ(model->potential_evaporation[1][1], 0);  // full coverage
    if (c.cloudiness > 0) {
      EXPECT_DOUBLE_EQ(model->cloudiness[1][1], c.cloudiness);
      EXPECT_DOUBLE_EQ(model->corrected_radiation[1][1], 0);
    }
    model->ReleaseMemory();
  }
}

// Hamon on the equator at the equinox (12 h of daylight) at 20 degC: 2.85 mm/d (see the
// formula tests), times the land use's factor 1.
TEST_F(PotentialStep, HamonAtTheEquinox) {
  setup_.latitude = 0;
  setup_.longitude = 15;
  temperature_ = AddGrid("temperature", 20);
  test::EvapSection section;
  section.method = 2;
  auto model = Make(section);
  model->ComputePotentialEvapotranspiration(24, 21, 3, 2001);
  EXPECT_NEAR(model->daylight_fraction, 0.5, 0.01);
  EXPECT_NEAR(model->pot_transpiration[1][1][1], 2.85, 0.06);
  EXPECT_DOUBLE_EQ(model->cloudiness[1][1], 0.5);
}

// Monthly Hamon factors hold on the 15th; up to it a day runs from the previous month's value at
// day -15, after it towards the next month's at month length + 16 (December before January).
TEST_F(PotentialStep, HamonFactorsBetweenTheMonths) {
  temperature_ = AddGrid("temperature", 20);
  test::EvapSection section;
  section.method = 2;
  section.pec = "0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0 1.1 1.2";
  auto model = Make(section);
  struct Case {
    int day, month;
    double factor;
  } const cases[] = {{15, 3, 0.3},
                     {1, 3, (2 + 16 / 30.0) / 10},
                     {31, 3, (3 + 15 / 31.0) / 10},
                     {1, 1, (12 - 11 * 16 / 30.0) / 10},
                     {31, 12, (12 - 11 * 15 / 31.0) / 10}};
  for (const Case& c : cases) {
    model->ComputePotentialEvapotranspiration(24, c.day, c.month, 2001);
    EXPECT_NEAR(model->hamon_factor_of_day, c.factor, 1e-12) << c.day << "." << c.month;
  }
}

// Penman-Monteith over two layers in net-radiation mode: each layer of LAI ln 2 / 0.3 and full
// coverage absorbs half of the energy that reaches it, so the second layer gets a quarter of
// the energy of the first layer's remainder; roughness 3 m gives ra = 25 / (1 + 0.54 u).
TEST_F(PotentialStep, SecondLayerGetsOnlyTheUnabsorbedEnergy) {
  std::vector<MultilayerLanduseRecord> table(2);
  table[0].code = 1;
  table[1].LayerCount = 2;
  setup_.multilayer_landuse_table = table.data();
  test::LayerValues layer;
  layer.lai = std::log(2.0) / 0.3;
  layer.roughness = 3;
  AddLayer(2, layer);
  registry_[registry_.Find("leaf_area_index1", 0)].grid[1][1] = layer.lai;
  registry_[registry_.Find("RoughnessLength1", 0)].grid[1][1] = 3;
  AddGrid("landuse", 1);
  AddPenmanMonteithInputs(16.9, 0.7, 2, 0);
  AddGrid("net_radiation", 2.0 * LatentHeat(16.9));  // 2 mm of energy in the step
  auto model = Make();
  ASSERT_TRUE(model->net_radiation_mode);
  double soil = 0, interception = 0, ra = 0, night = 0, day = 0;
  model->ComputeCellEvaporation(16.9, 1.0, 1, 1, 1, 1, soil, interception, ra, night, day, 0, 0, 0);
  EXPECT_NEAR(day, 1.0, 1e-12);
  EXPECT_DOUBLE_EQ(ra, 25.0 / 2.08);
  model->ComputeCellEvaporation(16.9, 1.0, 2, 1, 1, 1, soil, interception, ra, night, day, 0, 0,
                                layer.lai);
  EXPECT_NEAR(day, 0.5, 1e-12);
  EXPECT_GT(soil, 0);  // the bottom layer passes the rest to the soil
  // A part of a quarter of the step gets a quarter of the step's net radiation.
  model->ComputeCellEvaporation(16.9, 0.25, 1, 1, 1, 1, soil, interception, ra, night, day, 0, 0,
                                0);
  EXPECT_NEAR(day, 0.25, 1e-12);
}

// Long Penman-Monteith steps shift day and night temperatures by the amplitude into the shared
// grids, which the snow model reads. Amplitude 4 K at sea level, radiation far above clear sky
// (r = 1), day fraction 0.6, annual term 0.1 cos(2 pi 182 / 365) on 1 July: the day grid gains
// 4 (0.6 + a), the night grid loses 4 (0.4 - a). Grids written afresh give the same step again.
TEST_F(PotentialStep, DayNightSplitShiftsTheTemperatureGrids) {
  AddPenmanMonteithInputs(18, 0.6, 3, 1e5);
  double** night = registry_[registry_.Find("temperature_night", 0)].grid;
  auto model = Make();
  const double a = 0.1 * std::cos(2 * 3.141592653589793 * 182 / 365);
  std::vector<double> results;
  for (int repeat = 0; repeat < 3; ++repeat) {
    temperature_[1][1] = night[1][1] = 18;
    model->ComputePotentialEvapotranspiration(24, 1, 7, 2001);
    results.push_back(model->pot_transpiration[0][1][1]);
    EXPECT_NEAR(temperature_[1][1], 18 + 4 * (0.6 + a), 1e-9);
    EXPECT_NEAR(night[1][1], 18 - 4 * (0.4 - a), 1e-9);
  }
  EXPECT_GT(results[0], 1.0);
  // The day of year follows the step's own year (2000 is a leap year), whatever February the
  // settings hold for the end year.
  model->ComputePotentialEvapotranspiration(24, 1, 3, 2000);
  EXPECT_EQ(model->day_of_year, 61);
  EXPECT_DOUBLE_EQ(results[1], results[0]);
  EXPECT_DOUBLE_EQ(results[2], results[0]);
}

// With response units only the master cell is computed; the other cell of the unit copies it.
TEST_F(PotentialStep, ResponseUnitsCopyTheirMasterCell) {
  AddPenmanMonteithInputs(18, 0.6, 3, 4000);
  temperature_[1][2] = 5;
  AddGrid("HydrologicResponseUnits", 1);
  double** master = AddGrid("MasterHydrologicResponseUnits", 1);
  master[1][2] = -9999;
  std::vector<HruRecord> units = EmptyHruTable();
  units.push_back(HruRecord{1, "", 1, 1, 0});
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &units;
  auto model = Make();
  model->ComputePotentialEvapotranspiration(24, 1, 7, 2001);
  EXPECT_GT(model->pot_transpiration[0][1][1], 0);
  EXPECT_DOUBLE_EQ(model->pot_transpiration[0][1][2], model->pot_transpiration[0][1][1]);
  EXPECT_DOUBLE_EQ(model->potential_evaporation[1][2], model->potential_evaporation[1][1]);
}

}  // namespace
}  // namespace velorn

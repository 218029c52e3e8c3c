// The snow time step on the fixture's grid: the water balance of every cell and step, the
// outflow of a ripe pack, snow age and albedo, permafrost thaw, static glacier melt with the
// glacier storages handed to the soil runoff, and the storage section of the state file.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "core/error_code.h"
#include "core/matrix.h"
#include "setup/response_units.h"
#include "setup/tracer_definitions.h"
#include "tests/support/snow_test.h"

namespace velorn {
namespace {

using test::GlacierSection;
using test::SnowSection;

class SnowStepTest : public test::SnowTest {
 protected:
  SnowStepTest() {
    for (const char* name :
         {"precipitation", "temperature", "temperature_night", "snow_evaporation", "wind_speed",
          "air_humidity", "cloudiness", "AspectCorrectedGlobalRadiation"})
      Add(name, Fill(0));
  }
  // The model of `text` with its inputs linked; `minutes` replaces the hourly step.
  void Start(std::string text, int minutes = 60) {
    const std::size_t at = text.find("60 time interval");
    text.replace(at, 2, std::to_string(minutes));
    ASSERT_EQ(Make(text), 0) << screen_.str();
    model_->SetCanopySnowInputs(false);
  }
  void Step(int day = 15, int month = 1) {
    model_->RunSnowStep(12, day, month, 2001);
    model_->FinishStep(12, day, month, 2001);
  }
  double& At(const char* grid, int r = 1, int c = 1) { return Registered(grid)[r][c]; }
  // One tracer, carried at most at 100 (after Start; its rain grid added before it). The model
  // keeps the definitions: they live as long as the fixture.
  void StartTracer() {
    tracers_.assign(2, TracerDefinition{});
    tracers_[1].max_conc = 100;
    int32_t error = -1;
    model_->SetupTracers(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0);
  }
  std::vector<TracerDefinition> tracers_;
  // The soil model's three snow layers, empty, registered once.
  void AddLayers() {
    if (!stacks_.empty()) {
      model_->SetLayeredSnowModel(true, std::vector<SnowLayerLimits>(4, {100, 0.05}), 0);
      return;
    }
    for (const std::string name : {"SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid",
                                   "SnowLayerThickness", "SnowDensity"}) {
      stacks_.emplace_back(diag_, 1, 3, 4, 3, 3);
      const bool empty = name == "SnowLayerThickness" || name == "SnowDensity";
      for (int r = 1; r <= 3; ++r)
        for (int c = 0; c <= 4; ++c)
          for (int k = 0; k <= 3; ++k) stacks_.back()[r][c][k] = empty ? N : 0;
      registry_.Register(diag_, registry_.FirstFreeIndex(), name, nullptr, stacks_.back().get(), 3,
                         name, 0, 1, 3, 4, 3);
    }
    Add("upperIndexSnow", Fill(4));
    model_->SetLayeredSnowModel(true, std::vector<SnowLayerLimits>(4, {100, 0.05}), 0);
  }
  std::vector<StackMatrix> stacks_;
  void SetAll(const char* grid, double value) {
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) Registered(grid)[r][c] = value;
  }
};

// Every cell and step: precipitation after deposition = outflow + change of the pack + what the
// pack lost to the air, for index and energy-balance methods, hourly and daily (night and day
// calls), under random weather.
TEST_F(SnowStepTest, WaterBalanceOfEveryCellAndStep) {
  Add("deposition_index", Fill(0.3));
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int method : {1, 3, 5, 11}) {
    for (int minutes : {60, 1440}) {
      SCOPED_TRACE(std::to_string(method) + " / " + std::to_string(minutes));
      SnowSection section;
      section.method = method;
      Start(Section(section), minutes);
      double** solid = Registered("snowstorage_solid");
      double** liquid = Registered("snowstorage_liquid");
      for (int step = 0; step < 100; ++step) {
        double before[4][5] = {};
        for (int r = 1; r <= 3; ++r) {
          for (int c = 1; c <= 4; ++c) {
            const double cold = step % 100 < 50 ? -12 : 0;  // a cold spell, then a thaw
            At("temperature", r, c) = cold + 8 * unit(random);
            At("temperature_night", r, c) = At("temperature", r, c) - 3;
            At("precipitation", r, c) = unit(random) < 0.4 ? 6 * unit(random) : 0;
            At("snow_evaporation", r, c) = 0;
            At("wind_speed", r, c) = 5 * unit(random);
            At("air_humidity", r, c) = 0.3 + 0.7 * unit(random);
            At("cloudiness", r, c) = unit(random);
            At("AspectCorrectedGlobalRadiation", r, c) = 300 * unit(random) * minutes / 60;
            before[r][c] = solid[r][c] + liquid[r][c];
          }
        }
        Step(1 + step % 28, 1 + step / 28 % 12);
        for (int r = 1; r <= 3; ++r) {
          for (int c = 1; c <= 4; ++c) {
            if (r == 3 && c == 1) continue;  // outside the zones
            const double out = At("snowcover_outflow", r, c) + At("snow_evaporation", r, c);
            EXPECT_NEAR(At("precipitation", r, c), out + solid[r][c] + liquid[r][c] - before[r][c],
                        1e-9)
                << "step " << step << " cell " << r << "," << c;
            EXPECT_GE(solid[r][c], 0);
            EXPECT_LE(liquid[r][c], 0.1 * solid[r][c] + 1e-12);
          }
        }
      }
    }
  }
}

// A ripe pack (liquid = CWH * solid) at 0 °C, snow share 0.75: the rain beyond the holding
// capacity of the new snow leaves as outflow, none of it as melt; with melt (3 °C, all rain) the
// melt-only outflow is the whole outflow.
TEST_F(SnowStepTest, RipePackPassesRainAndMeltOutflowTakesAll) {
  Start(Section(SnowSection{}));
  At("snowstorage_solid") = 100;
  At("snowstorage_liquid") = 10;
  At("precipitation") = 10;
  At("temperature") = 0;
  Step();
  EXPECT_DOUBLE_EQ(At("snowstorage_solid"), 107.5);
  EXPECT_DOUBLE_EQ(At("snowcover_outflow"), 12.5 - 10.75);
  EXPECT_EQ(At("melt_from_snowcover"), 0.0);
  At("temperature") = 3;
  Step();
  const double melt = 3.0 * 3 / 24;
  EXPECT_DOUBLE_EQ(At("snowstorage_solid"), 107.5 - melt);
  EXPECT_NEAR(At("snowcover_outflow"), 10.75 + 10 + melt - 0.1 * (107.5 - melt), 1e-12);
  EXPECT_DOUBLE_EQ(At("melt_from_snowcover"), At("snowcover_outflow"));
}

// Fresh snow above 1 mm (not 1 mm itself) on a pack above 5 mm resets the age and gives
// ALBsnow_max; a day later at -5 °C the albedo has decayed with k = -0.12; a pack of at most
// 5 mm after the step takes the land's albedo (the fixture's 0.7 before the step).
TEST_F(SnowStepTest, SnowAgeAndAlbedo) {
  Start(Section(SnowSection{}));
  At("snowstorage_solid") = 50;
  At("snow_age") = 4;
  At("precipitation") = 3;
  At("temperature") = -5;
  Step();
  EXPECT_EQ(At("snow_age"), 0.0);
  EXPECT_DOUBLE_EQ(At("albedo"), 0.9);
  At("precipitation") = 0;
  for (int i = 0; i < 24; ++i) Step();
  EXPECT_NEAR(At("snow_age"), 1.0, 1e-12);
  EXPECT_NEAR(At("albedo"), 0.45 + std::exp(-0.12) * 0.45, 1e-12);
  EXPECT_NEAR(At("days_snow"), 1 / 24.0, 1e-15);
  At("precipitation") = 1.0;  // exactly 1 mm is no fresh snow: the pack ages on
  Step();
  EXPECT_NEAR(At("snow_age"), 1.0 + 1 / 24.0, 1e-12);
  At("precipitation") = 0;
  At("albedo", 2, 2) = 0.7;
  At("snowstorage_solid", 2, 2) = 5;
  At("temperature", 2, 2) = -5;
  Step();
  EXPECT_DOUBLE_EQ(At("albedo", 2, 2), 0.7);
  EXPECT_EQ(At("days_snow", 2, 2), 0.0);
}

// Thaw depth alpha * sqrt(snow-free days) (alpha 0.05 m/sqrt(d)); a snow cover shorter than 10
// days keeps it, a longer one resets it; the root depth is never deeper than the thaw depth.
TEST_F(SnowStepTest, PermafrostThaw) {
  Add("ThawCoeffPermaFrost", Fill(0.05));
  Add("PermafrostThawDepth", Fill(0));
  Add("root_depth1", Fill(2.0));
  Start(Section(SnowSection{}) + Permafrost(1), 1440);
  At("temperature") = At("temperature_night") = 10;
  for (int day = 0; day < 16; ++day) Step();
  EXPECT_NEAR(At("PermafrostThawDepth"), 0.2, 1e-12);
  EXPECT_NEAR(At("root_depth1"), 0.05, 1e-12);  // lowered on the first snow-free day
  At("temperature") = At("temperature_night") = -10;
  At("snowstorage_solid") = 50;
  for (int day = 0; day < 9; ++day) Step();
  EXPECT_NEAR(At("PermafrostThawDepth"), 0.2, 1e-12);
  Step();
  EXPECT_EQ(At("PermafrostThawDepth"), 0.0);
  EXPECT_EQ(At("root_depth1"), 0.0);
}

// Static glacier (DDFsnow 2, DDFice 3, DDFfirn 4 mm/(°C d), 6 °C, hourly): the ice and firn melt
// start in the step in which the snow on them is gone, less that step's snow melt (0.5 mm).
// The glacier storages of subbasin 1 (one cell of share 0.3 among 5, ice 0.75 mm per step)
// converge to Qg = Iice = 0.75 * 0.3 / 5; subbasin 2 has no glacier and keeps its runoff.
TEST_F(SnowStepTest, StaticGlacierMeltAndStorages) {
  Add("ice_firn", {{1, 2, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Start(Section(SnowSection{}) + IceFirn(GlacierSection{}));
  std::vector<double> water(3, -1.0), tracer(3, -1.0);
  double* runoff[2] = {water.data(), tracer.data()};
  ASSERT_TRUE(model_->SetQg(runoff));
  SetAll("temperature", 6);
  At("snowstorage_solid", 1, 1) = At("snow_storage_total", 1, 1) = 1;
  At("snowstorage_solid", 1, 2) = At("snow_storage_total", 1, 2) = 1;
  const double q0 = model_->Qsnow_els[1];
  Step();
  EXPECT_EQ(At("melt_from_ice", 1, 1), 0.0);
  // The soil zone takes no water from a cell of share 1: its pack's outflow (melt and rain)
  // leaves through the snow-on-ice storage, Isnow = the outflow of both cells over 5 cells.
  const double outflow = At("snowcover_outflow", 1, 1) + At("snowcover_outflow", 1, 2);
  const GlacierShareRecord& record = model_->glacier_shares[1];
  const double fg = record.glacierized / (record.glacierized + record.nonGlacierized);
  EXPECT_GT(outflow, 0.0);
  const double e = std::exp(-1 / model_->ksnow_els);
  EXPECT_NEAR(model_->Qsnow_els[1] * fg, e * q0 * fg + (1 - e) * outflow / 5, 1e-12);
  Step();
  EXPECT_DOUBLE_EQ(At("melt_from_ice", 1, 1), 0.75 - 0.5);
  EXPECT_DOUBLE_EQ(At("melt_from_firn", 1, 2), 1.0 - 0.5);
  Step();
  EXPECT_DOUBLE_EQ(At("melt_from_ice", 1, 1), 0.75);
  // Now only an ice cell of share 0.3 in subbasin 1.
  Registered("ice_firn")[1][1] = 0.3;
  Registered("ice_firn")[1][2] = 0;
  model_->glacier_shares[1] = GlacierShareRecord{true, 0.3, 4.7};
  for (int i = 0; i < 600; ++i) Step();
  EXPECT_NEAR(water[1], 0.75 * 0.3 / 5, 1e-6);
  EXPECT_NEAR(model_->Qice_els[1], 0.75, 1e-6);
  // A subbasin without glacier gets none (the soil zone's runoff joins that 0).
  EXPECT_EQ(water[2], 0.0);
  // A share of 0 empties the storages in one step.
  model_->glacier_shares[1] = GlacierShareRecord{true, 0, 5};
  Step();
  EXPECT_EQ(model_->Qice_els[1], 0.0);
  EXPECT_EQ(water[1], 0.0);
}

// Dynamic glacier 7 (method 11, cells of 1 km², 6 °C, hourly): (1,1) fully glacierized without
// firn melts 0.75 mm of ice times debrisScaling 0.6 (no debris grid), 0.45 mm; on (1,2), half
// glacierized with three firn layers of 50 mm, the glacier part's 0.2 mm of snow melts first, then
// firn (1 mm less that 0.2 mm) from the youngest layer. The mass balance sums the melt. A mass
// balance M of (1,1) then brings the volume to V1 = 28.5·A1^1.36 on the evaluation step: the area
// becomes A1 through (1,1), the only cell of the lowest band; the firn layers move down one with
// this year's (empty) snow as the youngest, the oldest leaves; the subbasin share and the reference
// mass balance follow.
TEST_F(SnowStepTest, DynamicGlacierStepAndAnnualUpdate) {
  Add("GlacierizedCells", {{1, 0.5, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("GlacierCodes", {{7, 7, N, N}, {N, N, N, N}, {N, N, N, N}});
  GlacierSection dynamic;
  dynamic.method = 11;
  Start(Section(SnowSection{}) + IceFirn(dynamic));
  SetAll("temperature", 6);
  At("SolidSnowStorage_onGlacier", 1, 2) = At("TotalSnowStorage_onGlacier", 1, 2) = 0.2;
  model_->debrisScaling = 0.6;
  Step();
  EXPECT_DOUBLE_EQ(At("melt_from_ice", 1, 1), 0.45);
  EXPECT_DOUBLE_EQ(At("SnowMelt_onGlacier", 1, 2), 0.2);
  EXPECT_DOUBLE_EQ(At("melt_from_firn", 1, 2), 0.8);
  EXPECT_EQ(At("melt_from_ice", 1, 2), 0.0);
  EXPECT_DOUBLE_EQ(model_->firn_WE_stack[1][2][1], 49.2);
  EXPECT_DOUBLE_EQ(At("firn_WE_stack", 1, 2), 149.2);
  EXPECT_DOUBLE_EQ(At("GlacierMassBalance", 1, 1), -0.45);
  EXPECT_DOUBLE_EQ(At("GlacierMassBalance", 1, 2), -1.0);

  // The evaluation step (30 September, last step), from the glacier as it started: shrinking
  // to 1.25 km², and growing to 1.75 km², which band 0's full cell (1,1) cannot take, so the
  // glacier grows into its bare neighbour (2,1), which then takes the quarter cell. The volume
  // change is Σ cell²·g·ΔM / 0.85 over the year's balances: with E = 170 mm of snow above the
  // 1500 mm limit on (1,2) (g = 0.5) the balance there grows by E, the volume by 0.5·E/850 and
  // the glacier part of the cell takes (1 - g)/g·E as its youngest firn layer.
  struct Case {
    double area, g11, g21, code21, balance11, balance12, excess12;
  };
  for (const Case& k : {Case{1.25, 0.75, 0, N, 1.2, 0.2, 0}, Case{1.75, 1, 0.25, 7, 1, 0, 0},
                        Case{1.25, 0.75, 0, N, 1.2, 0.2, 170}}) {
    SCOPED_TRACE(k.area);
    grids_["GlacierizedCells"][1][1] = 1;
    grids_["GlacierizedCells"][1][2] = 0.5;
    grids_["GlacierizedCells"][2][1] = 0;
    grids_["GlacierCodes"][2][1] = N;
    Start(Section(SnowSection{}) + IceFirn(dynamic));
    SetAll("temperature", -5);
    const double V0 = 28.5 * std::pow(1.5, 1.36), V1 = 28.5 * std::pow(k.area, 1.36);
    // A cell of 1 km² gains M / 850 10⁶ m³ of ice.
    const double M = (V1 - V0) * 850 - 0.5 * k.excess12;
    At("GlacierMassBalance", 1, 1) = M;
    At("snow_storage_total", 1, 2) = At("snowstorage_solid", 1, 2) = 1500 + k.excess12;
    model_->time_shift = 0.5;
    model_->RunSnowStep(23, 30, 9, 2001);
    model_->FinishStep(23, 30, 9, 2001);
    EXPECT_NEAR(At("GlacierizedCells", 1, 1), k.g11, 1e-9);
    EXPECT_EQ(At("GlacierizedCells", 1, 2), 0.5);
    EXPECT_NEAR(At("GlacierizedCells", 2, 1), k.g21, 1e-9);
    EXPECT_EQ(At("GlacierCodes", 2, 1), k.code21);
    const GlacierRecord& glacier = model_->glacier_list.at(0);
    EXPECT_NEAR(glacier.oldArea, k.area, 1e-12);
    EXPECT_NEAR(glacier.oldVolume, V1, 1e-9);
    // The mass balance of a lost quarter cell is spread: Σ g·M keeps its value M.
    EXPECT_NEAR(At("GlacierMassBalance", 1, 1), k.balance11 * M, 1e-9);
    EXPECT_NEAR(At("GlacierMassBalance", 1, 2), k.balance12 * M + k.excess12, 1e-9);
    EXPECT_NEAR(k.g11 * At("GlacierMassBalance", 1, 1) + 0.5 * At("GlacierMassBalance", 1, 2),
                M + 0.5 * k.excess12, 1e-9);
    EXPECT_EQ(At("OldGlacierMassBalance", 1, 1), At("GlacierMassBalance", 1, 1));
    const std::vector<double> layers(model_->firn_WE_stack[1][2], model_->firn_WE_stack[1][2] + 4);
    EXPECT_EQ(layers, (std::vector<double>{100 + k.excess12, k.excess12, 50, 50}));
    EXPECT_NEAR(model_->glacier_shares[1].glacierized, k.area, 1e-12);
    EXPECT_NEAR(model_->glacier_shares[1].nonGlacierized, 5 - k.area, 1e-12);
  }
}

// Snow on a dynamic glacier cell (g = 0.5) by glacier method: 10 mm at -5 °C (all snow) fall
// on both parts of the cell, the glacier part's storages take them and its mass balance grows by
// them; at 6 °C the glacier part's pack melts (0.5 mm by degree-days with method 11, by the snow
// method with 13), and what leaves it as "SnowMelt_onGlacier" leaves the mass balance.
TEST_F(SnowStepTest, SnowOnBothPartsOfADynamicGlacierCell) {
  Add("GlacierizedCells", {{0.5, 0, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("GlacierCodes", {{3, N, N, N}, {N, N, N, N}, {N, N, N, N}});
  Add("global_radiation", Fill(0));
  for (int method : {11, 12, 13}) {
    SCOPED_TRACE(method);
    GlacierSection dynamic;
    dynamic.method = method;
    Start(Section(SnowSection{}) + IceFirn(dynamic));
    SetAll("temperature", -5);
    SetAll("precipitation", 10);
    Step();
    EXPECT_DOUBLE_EQ(At("snowstorage_solid"), 10.0);
    EXPECT_DOUBLE_EQ(At("SolidSnowStorage_onGlacier"), 10.0);
    EXPECT_DOUBLE_EQ(At("TotalSnowStorage_onGlacier"), 10.0);
    EXPECT_DOUBLE_EQ(At("GlacierMassBalance"), 10.0);
    if (method == 12) continue;
    SetAll("temperature", 6);
    SetAll("precipitation", 0);
    Step();
    EXPECT_GT(At("LiquidSnowStorage_onGlacier"), 0.0);
    if (method == 11) {
      EXPECT_DOUBLE_EQ(At("LiquidSnowStorage_onGlacier"), 0.5);
    }
    EXPECT_DOUBLE_EQ(At("TotalSnowStorage_onGlacier") + At("SnowMelt_onGlacier"), 10.0);
    EXPECT_DOUBLE_EQ(At("GlacierMassBalance"), 10.0 - At("SnowMelt_onGlacier"));
  }
}

// Response units: (1,2) belongs to the unit of master (1,1) and takes, besides the snow storages,
// the master's glacier state after the step (6 °C, glacier 7 as above): the on-glacier storages
// (0, not its own 30 mm), the mass balance of 0.75 mm of ice melt and every firn level (none
// below the firn line at 1800 m, not its own three layers of 50 mm), and the tracers' solute
// of the pack and of the glacier part with them.
TEST_F(SnowStepTest, ResponseUnitCellsTakeTheGlacierStateOfTheirMaster) {
  Add("GlacierizedCells", {{1, 0.5, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("GlacierCodes", {{7, 7, N, N}, {N, N, N, N}, {N, N, N, N}});
  Add("HydrologicResponseUnits", {{1, 1, 2, 3}, {4, 5, 6, 7}, {N, 8, 9, 10}});
  Add("MasterHydrologicResponseUnits", {{1, N, 1, 1}, {1, 1, 1, 1}, {N, 1, 1, 1}});
  std::vector<HruRecord> units = EmptyHruTable();
  units.push_back(HruRecord{1, "", 1, 1, 0});
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &units;
  GlacierSection dynamic;
  dynamic.method = 11;
  Add("concflux_tracer_1_input", Fill(2.0));
  Start(Section(SnowSection{}) + IceFirn(dynamic));
  StartTracer();
  SetAll("temperature", 6);
  At("SolidSnowStorage_onGlacier", 1, 2) = At("TotalSnowStorage_onGlacier", 1, 2) = 30;
  At("concstor_tracer_1_firn", 1, 2) = 30;
  At("concstor_tracer_1_snow_model", 1, 2) = 7;
  ASSERT_EQ(model_->firn_WE_stack[1][2][0], 150.0);
  Step();
  EXPECT_DOUBLE_EQ(At("GlacierMassBalance", 1, 2), -0.75);
  EXPECT_EQ(At("TotalSnowStorage_onGlacier", 1, 2), 0.0);
  for (const char* grid : {"SolidSnowStorage_onGlacier", "LiquidSnowStorage_onGlacier",
                           "SnowMelt_onGlacier", "firn_WE_stack", "concstor_tracer_1_firn",
                           "concstor_tracer_1_snow_model", "concflux_tracer_1_snow_model"})
    EXPECT_EQ(At(grid, 1, 2), At(grid, 1, 1)) << grid;
  for (int k = 0; k <= 3; ++k)
    EXPECT_EQ(model_->firn_WE_stack[1][2][k], model_->firn_WE_stack[1][1][k]) << k;
}

// Three cells of row 1 with snow above an empty layer: with at most 2 dump files two are
// written and the DEBUG entry comes once; with -closeAfterDump the first ends the step (199).
TEST_F(SnowStepTest, DumpFilesOfLayersOutOfOrder) {
  Start(Section(SnowSection{}));
  AddLayers();
  for (int c = 1; c <= 3; ++c) stacks_[0][1][c][1] = 5;
  const auto home = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  model_->SetDumpOptions(1, 0, 0, 2);
  Step();
  EXPECT_TRUE(std::filesystem::exists("MPI_0_swes(1)_dump_row_1_col_1_2001011512.dmp"));
  EXPECT_TRUE(std::filesystem::exists("MPI_0_swes(1)_dump_row_1_col_2_2001011512.dmp"));
  EXPECT_FALSE(std::filesystem::exists("MPI_0_swes(1)_dump_row_1_col_3_2001011512.dmp"));
  EXPECT_EQ(std::filesystem::file_size("MPI_0_swes(1)_dump_row_1_col_1_2001011512.dmp"),
            (4 * 4 + 1 + 6 + 1 + 2) * 8 + 16u);
  const std::string screen = screen_.str();
  EXPECT_EQ(screen.find("maxDumpFiles=2"), screen.rfind("maxDumpFiles=2"));
  EXPECT_NE(screen.find("maxDumpFiles=2"), std::string::npos);
  Start(Section(SnowSection{}));
  AddLayers();
  for (int c = 1; c <= 3; ++c) stacks_[0][1][c][1] = 0;
  stacks_[0][2][2][1] = 5;
  model_->SetDumpOptions(1, 1, 0, 0);
  try {
    model_->RunSnowStep(12, 16, 1, 2001);
    ADD_FAILURE() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 199);
  }
  EXPECT_TRUE(std::filesystem::exists("MPI_0_swes(1)_dump_row_2_col_2_2001011612.dmp"));
  std::filesystem::current_path(home);
}

// A tracer that stays with the water: the pack gains P * c_in; the outflow takes the pack's share
// of outflow in outflow plus storage, at most max_conc per mm, and the flux grid holds its
// concentration. Snow falls (all of it stays), then rain on a ripe pack drains; on a cell of
// glacier (column 2) as well.
TEST_F(SnowStepTest, TracerMassFollowsTheWater) {
  Add("ice_firn", {{0, 1, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Start(Section(SnowSection{}) + IceFirn(GlacierSection{}));
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "cl_";
  tracers[1].max_conc = 100;
  Add("concflux_tracer_1_input", Fill(2.0));
  std::vector<ZoneStatisticsRecord> statistics(kZoneStatisticsCapacity);
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers.data(), statistics.data(), kZoneStatisticsCapacity);
  ASSERT_EQ(error, 0);
  double** pack = Registered("concstor_tracer_1_snow_model");
  double** flux = Registered("concflux_tracer_1_snow_model");
  ASSERT_NE(pack, nullptr);
  SetAll("precipitation", 10);
  SetAll("temperature", -5);
  Step();
  for (int c = 1; c <= 2; ++c) {
    EXPECT_DOUBLE_EQ(pack[1][c], 20.0);
    EXPECT_EQ(flux[1][c], 0.0);
  }
  SetAll("temperature", 5);
  Step();
  for (int c = 1; c <= 2; ++c) {
    const double outflow = At("snowcover_outflow", 1, c);
    const double volume = outflow + At("snowstorage_solid", 1, c) + At("snowstorage_liquid", 1, c);
    ASSERT_GT(outflow, 0);
    EXPECT_NEAR(flux[1][c], 40.0 / volume, 1e-12) << c;
    EXPECT_NEAR(pack[1][c], 40.0 - 40.0 * outflow / volume, 1e-12) << c;
  }
  model_->ReleaseTracers();
}

// Solute on the glacier part of (1,2) (g = 0.5, firn 3 x 50 mm holding 30 units, glacier 7 as
// above, 6 °C): 0.2 mm of rain at concentration 2 brings 0.4, the pack drains it all, then 1 mm
// of firn melt takes 30 / 150; in = held + out: 30.4 = 29.8 + 0.6. The storages (made
// instantaneous) give the runoff 0.6 * 0.5 over the water 0.75 (ice of (1,1)) + 1.2 * 0.5. On
// the evaluation step the oldest firn layer (50 of 149 mm) takes its share into the ice.
TEST_F(SnowStepTest, TracerOnTheGlacierPartOfADynamicCell) {
  Add("GlacierizedCells", {{1, 0.5, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Add("GlacierCodes", {{7, 7, N, N}, {N, N, N, N}, {N, N, N, N}});
  Add("concflux_tracer_1_input", Fill(2.0));
  GlacierSection dynamic;
  dynamic.method = 11;
  Start(Section(SnowSection{}) + IceFirn(dynamic));
  StartTracer();
  std::vector<double> water(3, 0.0), tracer(3, 0.0);
  double* runoff[2] = {water.data(), tracer.data()};
  ASSERT_TRUE(model_->SetQg(runoff));
  model_->kice_els = model_->kfirn_els = model_->ksnow_els = 1e-4;
  At("concstor_tracer_1_firn", 1, 2) = 30;
  SetAll("temperature", 6);
  SetAll("precipitation", 0);
  At("precipitation", 1, 2) = 0.2;
  Step();
  ASSERT_DOUBLE_EQ(At("SnowMelt_onGlacier", 1, 2) + At("melt_from_firn", 1, 2), 1.2);
  EXPECT_DOUBLE_EQ(At("concstor_tracer_1_firn", 1, 2), 29.8);
  EXPECT_NEAR(tracer[1], 0.6 * 0.5 / (0.75 + 1.2 * 0.5), 1e-12);
  // The storage file keeps the storages' concentrations at every digit; a file without them
  // reads with a WARNING (that water starts free of the tracer).
  const std::string path = (dir_.path() / "state_0").string();
  model_->ReadStorageState("state_0", 1);
  model_->WriteStorageState(false);
  const std::string stored = test::ReadFile(path);
  const std::size_t kept = stored.find("1 (number of tracers in the glacier storages)\n1 1 ");
  ASSERT_NE(kept, std::string::npos);
  for (const std::string& text : {stored.substr(0, kept) + "\n", stored}) {
    test::WriteFile(path, text);
    model_->ReadStorageState("state_0", 1);
    model_->WriteStorageState(false);
  }
  EXPECT_TRUE(ScreenHas("keeps no tracer concentrations of the glacier storages"));
  EXPECT_EQ(test::ReadFile(path), stored);
  SetAll("temperature", -5);
  At("precipitation", 1, 2) = 0;
  model_->time_shift = 0.5;
  model_->RunSnowStep(23, 30, 9, 2001);
  model_->FinishStep(23, 30, 9, 2001);
  EXPECT_NEAR(At("concstor_tracer_1_ice", 1, 2), 29.8 * 50 / 149, 1e-12);
  EXPECT_NEAR(At("concstor_tracer_1_firn", 1, 2), 29.8 * 99 / 149, 1e-12);
  EXPECT_DOUBLE_EQ(At("glacier_young_ice", 1, 2), 50);  // state: its melt carries that solute
  model_->ReleaseTracers();
}

// With the soil model's layered pack on, snowfall fills the layers, melt leaves them and goes to
// level 0 of the liquid stack, and the end of the step aligns the layers with the solid storage.
// The same within the step on a static ice cell (1, 2), whose snow melts by DDFsnow 2 mm/(°C d):
// 5 °C for an hour melt 0.625 mm off glacier, 5 * 2 / 24 mm on it.
TEST_F(SnowStepTest, LayeredSnowFollowsThePack) {
  Add("ice_firn", {{0, 1, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Start(Section(SnowSection{}) + IceFirn(GlacierSection{}));
  AddLayers();
  SetAll("precipitation", 10);
  SetAll("temperature", -5);
  model_->RunSnowStep(12, 15, 1, 2001);
  const struct {
    int column;
    double melt;
  } cells[] = {{1, 0.625}, {2, 5 * 2.0 / 24}};
  for (const auto& cell : cells) EXPECT_NEAR(stacks_[0][1][cell.column][0], 10, 1e-12);
  EXPECT_NEAR(stacks_[3][1][1][3], 0.1, 1e-12);  // density of the bottom layer, relative
  model_->FinishStep(12, 15, 1, 2001);
  SetAll("precipitation", 0);
  SetAll("temperature", 5);
  model_->RunSnowStep(12, 15, 1, 2001);
  for (const auto& cell : cells) {
    SCOPED_TRACE(cell.column);
    EXPECT_NEAR(stacks_[0][1][cell.column][0], 10 - cell.melt, 1e-12);
    EXPECT_NEAR(stacks_[1][1][cell.column][0], cell.melt, 1e-12);
  }
  At("snowstorage_solid") += 2;
  model_->FinishStep(12, 15, 1, 2001);
  EXPECT_NEAR(stacks_[0][1][1][0], At("snowstorage_solid"), 1e-12);
}

// A daily step with a cold night (all snow) and a warm day (all rain, and melt): the layered
// pack and the water handed to the soil keep the precipitation, P = rain + the pack's gain +
// the melt handed over, so "rain_fraction" is the rain of both parts of the step (not the day's
// split of the whole precipitation, which the soil under a layered pack would take twice).
TEST_F(SnowStepTest, LayeredChainKeepsTheRainOfNightAndDay) {
  Start(Section(SnowSection{}), 1440);
  AddLayers();
  At("precipitation") = 10;
  At("temperature_night") = -10;
  At("temperature") = 10;
  Step();
  const double rain = At("rain_fraction");
  EXPECT_GT(rain, 0.5);
  EXPECT_LT(rain, 9.5);
  EXPECT_NEAR(rain + stacks_[0][1][1][0] + stacks_[1][1][1][0], 10, 1e-12);
}

// The storage section: a round trip with every digit; missing file or section: warnings and
// cold start; another subbasin count: code 71; modes 2 and 4 neither read nor write; an
// unwritable file: an ERROR entry.
TEST_F(SnowStepTest, StorageSection) {
  Add("ice_firn", {{1, 0, 0, 0}, {0, 0, 0, 0}, {N, 0, 0, 0}});
  Start(Section(SnowSection{}) + IceFirn(GlacierSection{}));
  const std::string file = "state_0";
  const std::string path = (dir_.path() / file).string();
  model_->ReadStorageState(file, 1);
  EXPECT_TRUE(ScreenHas("error opening storage content file"));
  EXPECT_TRUE(ScreenHas("glacier model will be run with cold start initialization values"));
  EXPECT_EQ(model_->Qice_els[1], 5.0);
  model_->Qice_els = {0, 1.2345678, 2.5};
  model_->Qfirn_els = {0, 3.25, 0};
  model_->Qsnow_els = {0, 0.0000004, 7};
  model_->WriteStorageState(false);
  const std::string rounded =
      "[snow_model]\n2 (number of subasins)\n"
      "1\t1.234568(TG code and Qice_slr value)\n1\t3.250000(TG code and Qfirn_slr value)\n"
      "1\t0.000000(TG code and Qsnow_slr value)\n2\t2.500000(TG code and Qice_slr value)\n"
      "2\t0.000000(TG code and Qfirn_slr value)\n2\t7.000000(TG code and Qsnow_slr value)\n\n";
  EXPECT_EQ(test::ReadFile(path),
            "[snow_model]\n2 (number of subasins)\n"
            "1\t1.234568(TG code and Qice_slr value) 1.2345678\n"
            "1\t3.250000(TG code and Qfirn_slr value) 3.25\n"
            "1\t0.000000(TG code and Qsnow_slr value) 3.9999999999999998e-07\n"
            "2\t2.500000(TG code and Qice_slr value) 2.5\n"
            "2\t0.000000(TG code and Qfirn_slr value) 0\n"
            "2\t7.000000(TG code and Qsnow_slr value) 7\n\n");
  // Every digit comes back; a file without them (or with digits that do not round to the six
  // decimals) gives the six decimals.
  model_->Qice_els = {0, 0, 0};
  model_->ReadStorageState(file, 1);
  EXPECT_EQ(model_->Qice_els[1], 1.2345678);
  EXPECT_EQ(model_->Qsnow_els[1], 0.0000004);
  EXPECT_EQ(model_->Qsnow_els[2], 7.0);
  for (const std::string& text :
       {rounded, std::string(rounded).replace(rounded.find("value)\n"), 7, "value) 1.3\n")}) {
    test::WriteFile(path, text);
    model_->ReadStorageState(file, 1);
    EXPECT_EQ(model_->Qice_els[1], 1.234568);
  }
  test::WriteFile(path, "[unsatzon_model]\n1\n");
  model_->ReadStorageState(file, 1);
  EXPECT_TRUE(ScreenHas("[snow_model] not found in storage content file"));
  test::WriteFile(path, "[snow_model]\n3 (number of subasins)\n");
  try {
    model_->ReadStorageState(file, 1);
    ADD_FAILURE() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 71);
  }
  EXPECT_TRUE(ScreenHas("error in storage file content reading number of subbasins"));
  // Modes 2 and 4 read nothing (the section above is refused when read), but the run's end
  // writes the section that a warm start continues from.
  for (int mode : {2, 4}) {
    test::WriteFile(path, "[snow_model]\n3 (number of subasins)\n");
    model_->ReadStorageState(file, mode);
    model_->WriteStorageState(false);
    EXPECT_TRUE(test::ReadFile(path).starts_with("[snow_model]\n2 (number of subasins)\n")) << mode;
  }
  model_->ReadStorageState("no_such_folder/state_0", 0);
  EXPECT_EQ(test::ThrownCode([&] { model_->WriteStorageState(true); }), kWriteErrorCode);
  EXPECT_TRUE(ScreenHas("no_such_folder/state_0: No such file or directory"));
  // One value compared: within 1e-5 relative it passes, a 0 in the file takes only 0.
  test::WriteFile(path, "2.0 2.00001 0 0");
  std::FILE* values = std::fopen(path.c_str(), "r");
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(model_->ReadStorageValue(values, 2.000015, "a"), 1);
  EXPECT_EQ(model_->ReadStorageValue(values, 2.0, "b"), 1);
  EXPECT_EQ(model_->ReadStorageValue(values, 0.0, "c"), 1);
  try {
    model_->ReadStorageValue(values, 1e-12, "zero in the file");
    ADD_FAILURE() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 71);
  }
  EXPECT_TRUE(ScreenHas("error in storage file content reading zero in the file"));
  EXPECT_EQ(model_->ReadStorageValue(values, 0.0, "end"), 0);
  std::fclose(values);
  test::WriteFile(path, "3.0");
  values = std::fopen(path.c_str(), "r");
  EXPECT_THROW(model_->ReadStorageValue(values, 3.0001, "relative 3e-5"), ErrorCode);
  std::fclose(values);
}

}  // namespace
}  // namespace velorn

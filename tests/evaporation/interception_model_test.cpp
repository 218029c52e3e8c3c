// Interception model: section failures, the water balance of every cell with glacier shares,
// saved storages and statistics files, two layers with a bare upper layer, tracer masses,
// response units, the canopy snow coupling and the energy balance without snow on the ground.
#include <gtest/gtest.h>

#include <cmath>

#include "core/error_code.h"
#include "core/tracer_bookkeeping.h"
#include "evaporation/canopy_snow.h"
#include "setup/response_units.h"
#include "setup/tracer_definitions.h"
#include "tests/support/interception_test.h"

namespace velorn {
namespace {

using test::InterceptionTest;
constexpr double N = -9999;

TEST_F(InterceptionTest, RefusesBadSectionsWithTheirCodes) {
  struct Case {
    int method;
    std::string canopy;
    bool snow_albedo;
    int code;
    const char* message;  // as the screen shows it, without "FATAL: "
  };
  const Case cases[] = {
      {13, "", true, kInterceptionMethodCode,
       "method 13 is not supported in interception model (use one of 1, 2, 11, 12, 21, "
       "22, 31, 32)"},
      {21, "1.0\n0.1\n0.0\n", true, 17, nullptr},
      {22, "1.0\n0.1\n-2\n", true, 17, nullptr},
      {21, "-1.0\n0.1\n1.0\n", true, 17, "minimum LAI of the snow canopy model for"},
      {31, "1.0\n0.1\n1.0\n", false, kCanopyBalanceSnowGridCode,
       "Albedo not available in advanced snow interception model with canopy energy "
       "balance (should be available when an extended snow model is used)"},
  };
  AddRainInputs(1, Fill(1), Fill(2), Fill(0.5));
  AddMeteoInputs(-5);
  for (const Case& c : cases) {
    if (!c.snow_albedo) Add("snow_storage_total", Fill(0));
    if (model_) model_->ReleaseMemory();
    EXPECT_EQ(Make(Section(c.method, c.canopy)), c.code) << c.method;
    if (c.message != nullptr) {
      EXPECT_TRUE(ScreenHas(c.message)) << c.method;
    }
  }
  EXPECT_TRUE(ScreenHas("LAI scaling factor for the snow canopy model must be above 0"));
  // The canopy snow model's ten output items, each with one item short: reading stops at the
  // item after the last one given, and the message names that item.
  const char* const items[] = {"sub-canopy temperature",
                               "sub-canopy relative humidity",
                               "sub-canopy shortwave radiation",
                               "sub-canopy windspeed",
                               "snow canopy load",
                               "snow canopy age",
                               "snow canopy albedo",
                               "snow canopy sublimation",
                               "snow canopy unload (snow)",
                               "snow canopy liquid water output"};
  for (int given = 0; given < 10; ++given) {
    // Section(21) without the canopy lines ends with the ten triples (three lines each).
    std::string section = Section(21, "");
    for (int line = 0; line < 3 * (10 - given); ++line)
      section.erase(section.rfind('\n', section.size() - 2) + 1);
    section += "1.0\n0.1\n1.0\n";
    model_->ReleaseMemory();
    screen_.str("");
    EXPECT_EQ(Make(section), 17) << given;
    EXPECT_TRUE(ScreenHas(std::string("write code ") + items[given] +
                          " grid for ; interception_model \"0.1\" is not a whole number"))
        << given << screen_.str();
  }
}

TEST_F(InterceptionTest, OneLayerBalancesEveryCellAndPassesPrecipitationOnGlaciers) {
  // Glacier shares: none, whole, nearly whole (computed, then zeroed), half.
  Add("GlacierizedCells", {{0, 0, 1, 0.999995}, {0.5, 0, 0, 0}});
  AddRainInputs(1, {{N, 1, 1, 1}, {2, 2, 1, 1}}, Fill(2.0), {{1, 1, 1, 1}, {0.5, 1, 0, 0.25}});
  // The saved storages of the total and of layer 1 are read at construction.
  const Rows saved{{N, 0.1, 0.2, 0.3}, {0.4, 0.5, 0, 0.1}};
  WriteGridFile("si.asc", saved);
  WriteGridFile("si_Layer_1.asc", saved);
  readgrid_ = 1;
  statistics_code_ = 2001;  // every zone, every step
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  EXPECT_EQ(model_->GetMethod(), 12);
  EXPECT_EQ(Grid("interception_storage0")[2][1], 0.4);
  EXPECT_EQ(Grid("interception_storage1")[1][4], 0.3);
  double** p = Grid("precipitation");
  for (int step = 0; step < 3; ++step) {
    std::vector<double> before;
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) before.push_back(Grid("interception_storage0")[r][c]);
    model_->RunStep(step, 1, 6, 2001);
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 4; ++c) {
        const double s = Grid("interception_storage0")[r][c];
        const double e = Grid("interception_evaporation0")[r][c];
        const double t = Grid("throughfall0")[r][c];
        if (r == 1 && c == 1) {
          EXPECT_EQ(e, N);
          EXPECT_EQ(t, N);
          continue;
        }
        if (r == 1 && c >= 3) {  // wholly glacierized: the precipitation reaches the snow
          EXPECT_EQ(t, p[r][c]);
          EXPECT_EQ(s + e, 0.0);
          continue;
        }
        const double ds = s - before[static_cast<std::size_t>((r - 1) * 4 + c - 1)];
        EXPECT_NEAR(p[r][c], ds + e + t, 1e-12) << r << "," << c;
        EXPECT_EQ(Grid("throughfall1")[r][c], t);
        EXPECT_EQ(Grid("pot_transpiration0")[r][c], Grid("pot_transpiration1")[r][c]);
      }
    }
  }
  // Capacities: land use 1 has none of its own, 2 LAI * 0.2 = 0.4; land use 2 has 0.5 per
  // unit of leaf area, 2 * 0.5 = 1.0. Cell (1,2): cover 1, P 2, rule 2 evaporates 0.2 per step.
  EXPECT_NEAR(Grid("interception_storage0")[1][2], 0.4 - 0.2, 1e-12);
  // The transpiration grid (not renewed here) gives up 0.2, then the remaining 0.1.
  EXPECT_DOUBLE_EQ(Grid("pot_transpiration1")[1][2], 0.0);
  EXPECT_NEAR(Grid("interception_storage0")[2][2], 1.0 - 0.2, 1e-12);
  // A statistics file per output and layer: its header, then one row per step.
  model_->FlushBuffers();
  for (const auto& [file, name] : {std::pair{"si.sta", "interception_storage_in_mm_layer_0_"},
                                   std::pair{"tf_Layer_1.sta", "throughfall_in_mm_layer_1_"}}) {
    const std::vector<std::string> lines = StatisticsLines(file);
    ASSERT_EQ(lines.size(), 6u) << file;
    EXPECT_EQ(lines[0], "YY\tMM\tDD\tHH\t\"1\"\ttot_average");
    EXPECT_EQ(lines[1], std::string("interception_model_submodel:") + name);
    EXPECT_EQ(lines[5].rfind("2001\t 6\t 1\t 2\t", 0), 0u) << lines[5];
  }
}

TEST_F(InterceptionTest, TwoLayersPassWaterThroughABareUpperLayer) {
  std::vector<MultilayerLanduseRecord> table(2);
  table[0].code = 1;
  table[1].LayerCount = 2;
  setup_.multilayer_landuse_table = table.data();
  AddRainInputs(2, Fill(1), Fill(2.0), Fill(0.5));
  // No tree layer in row 2: its land use is nodata.
  for (int c = 1; c <= 4; ++c) grids_["landuse1"][2][c] = N;
  ASSERT_EQ(Make(Section(11)), 0) << screen_.str();
  model_->RunStep(0, 1, 6, 2001);
  double** p = Grid("precipitation");
  for (int r = 1; r <= 2; ++r) {
    for (int c = 2; c <= 4; ++c) {
      const double e = Grid("interception_evaporation0")[r][c];
      const double s = Grid("interception_storage0")[r][c];
      const double t = Grid("throughfall0")[r][c];
      EXPECT_NEAR(p[r][c], s + e + t, 1e-12) << r << "," << c;
      EXPECT_NEAR(e,
                  Grid("interception_evaporation1")[r][c] + Grid("interception_evaporation2")[r][c],
                  1e-12);
      EXPECT_NEAR(Grid("pot_transpiration0")[r][c], 0.3 - e, 1e-12);  // rule 1
    }
  }
  // Row 2: the lower layer receives the whole precipitation: 8 mm, half covered, capacity 0.4.
  EXPECT_EQ(Grid("throughfall1")[2][3], 8.0);
  EXPECT_NEAR(Grid("throughfall2")[2][3], 4.0 + 3.6, 1e-12);
}

TEST_F(InterceptionTest, TracerMassesMoveWithTheWaterAndAreConserved) {
  // Capacity 2 * 0.5 = 1 mm in every cell, interception evaporation 0.2 mm per step (method 12).
  AddRainInputs(1, Fill(2), Fill(2.0), {{1, 1, 1, 1}, {0.5, 1, 0, 0.25}});
  Add("concflux_tracer_1_input", {{N, 1, 1, 1}, {4, 2, 1, 3}});
  Add("GlacierizedCells", {{0, 0, 1, 0}, {0, 0, 0, 0}});  // passes its input on in full
  statistics_code_ = 2001;
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "cl_";
  tracers[1].radioactive = 1;
  tracers[1].half_time = 1.0 / 24.0;  // one step of 60 minutes: half of the mass decays
  tracers[1].statcode = 2001;
  tracers[1].statext = "sta";
  tracers[1].gridext = "grd";
  std::vector<ZoneStatisticsRecord> records(kZoneStatisticsCapacity + 1);
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers.data(), records.data(), kZoneStatisticsCapacity);
  ASSERT_EQ(error, 0) << screen_.str();

  // Row 2 by hand over two steps: P = 1, 3, 8, 4 mm, cover 0.5, 1, 0, 0.25, input
  // concentration 4, 2, 1, 3; stored mass and throughfall concentration after each step. What
  // the leaves keep after the throughfall decays (half of it), what leaves them does not.
  struct Case {
    int column;
    double mass[2], flux[2];
  };
  const Case cases[] = {
      // 0.5 mm stored at 4, no overflow, half of 2 left; then 1 + 2, halved.
      {1, {1.0, 1.5}, {4.0, 4.0}},
      // 6 in 3 mm, 2 mm overflow take 2/3 of it; then 1 + 6 in 3.8 mm, 2.8 mm overflow.
      {2, {1.0, 3.5 / 3.8}, {2.0, 7.0 / 3.8}},
      // Nothing covered: all passes at the input concentration.
      {3, {0.0, 0.0}, {1.0, 1.0}},
      // Filled exactly to 1 mm; then 1.5 + 3 in 1.8 mm, the 0.8 mm overflow takes 2 of 4.5,
      // which joins 3 mm at 3 passing beside the canopy.
      {4, {1.5, 1.25}, {3.0, 11.0 / 3.8}},
  };
  double** mass = Grid("concstor_tracer_1_interception_model");
  double** flux = Grid("concflux_tracer_1_interception_model");
  double** input = Grid("concflux_tracer_1_input");
  double** p = Grid("precipitation");
  for (int step = 0; step < 2; ++step) {
    double before[3][5] = {};
    for (int r = 1; r <= 2; ++r)
      for (int c = 3 - r; c <= 4; ++c) before[r][c] = mass[r][c];
    model_->RunStep(step, 1, 6, 2001);
    for (const Case& k : cases) {
      EXPECT_NEAR(mass[2][k.column], k.mass[step], 1e-9) << k.column << " step " << step;
      EXPECT_NEAR(flux[2][k.column], k.flux[step], 1e-9) << k.column << " step " << step;
    }
    // Input = what the leaves keep before its decay less what they held + mass leaving with the
    // throughfall, which has not decayed; the zone balance counts every cell once with its
    // stored mass.
    double stored = 0.0;
    for (int r = 1; r <= 2; ++r) {
      for (int c = 3 - r; c <= 4; ++c) {
        const double leaving = flux[r][c] * Grid("throughfall0")[r][c];
        EXPECT_NEAR(input[r][c] * p[r][c], 2.0 * mass[r][c] - before[r][c] + leaving, 1e-9);
        stored += mass[r][c];
      }
    }
    EXPECT_EQ(flux[1][4], 0.0);  // no throughfall, no concentration
    const ZoneRecord& balance = model_->tracer_blocks[1].balance_table[1];
    EXPECT_EQ(balance[0], 7.0);
    EXPECT_NEAR(balance[1], stored, 1e-9);
  }
}

// Two layers (method 11, cover 0.5) and one layer under canopy snow (method 21, LAI 3 in row
// 2, -5 then +5 C): per cell and step the input's water and solute are the change of what the
// layers and the canopy snow hold plus what evaporates and what reaches the ground with the
// throughfall and the canopy's solid output. By hand at (2,2) (capacity 0.6 mm), P = 3 mm at 2,
// then clean: each layer keeps 1.2; then the 1.2 mm overflow of 1.8 takes 0.8 off layer 1,
// layer 2 holds 1.6 in 1.65 mm, and its 1.05 mm overflow take their share. With
// `leaves_fall` row 2's leaf area drops below the minimum under the first step's snow load: the
// whole load falls with its solute as solid output in the second step.
class InterceptionTracerTest : public InterceptionTest {
 protected:
  void TwoSteps(int method, bool leaves_fall = false) {
    std::vector<MultilayerLanduseRecord> table(2);
    table[0].code = 1;
    table[1].LayerCount = 2;
    if (method == 11) setup_.multilayer_landuse_table = table.data();
    AddRainInputs(method == 11 ? 2 : 1, Fill(1), {{2, 2, 2, 2}, {3, 3, 3, 3}}, Fill(0.5));
    AddMeteoInputs(-5.0);
    double** input = Add("concflux_tracer_1_input", {{N, 1, 1, 1}, {4, 2, 1, 3}}).get();
    ASSERT_EQ(Make(Section(method)), 0) << screen_.str();
    model_->transition_half_width = 1.0;
    std::vector<TracerDefinition> tracers(2);
    std::vector<ZoneStatisticsRecord> records(kZoneStatisticsCapacity + 1);
    int32_t error = -1;
    model_->SetupTracers(error, 1, tracers.data(), records.data(), kZoneStatisticsCapacity);
    ASSERT_EQ(error, 0) << screen_.str();
    double** held = Grid("concstor_tracer_1_interception_model");
    double** flux = Grid("concflux_tracer_1_interception_model");
    const double by_hand[2][2] = {{2.4, 2.0},
                                  {0.4 + 1.6 * 0.6 / 1.65, (0.4 + 1.6 * 1.05 / 1.65) / 2.4}};
    double** stored = Grid("interception_storage0");
    double** load = Grid("Snow_canopy_load");
    for (int step = 0; step < 2; ++step) {
      GridMatrix before = test::MakeGrid(diag_, Fill(0));
      GridMatrix water_before = test::MakeGrid(diag_, Fill(0));
      GridMatrix load_before = test::MakeGrid(diag_, Fill(0));
      for (int r = 1; r <= 2; ++r)
        for (int c = 3 - r; c <= 4; ++c) {
          before[r][c] = held[r][c];
          water_before[r][c] = stored[r][c];
          if (load) load_before[r][c] = load[r][c];
        }
      model_->RunStep(step, 1, 1, 2001);
      double** solid = Grid("Snow_canopy_unload_solid");
      for (int r = 1; r <= 2; ++r)
        for (int c = 3 - r; c <= 4; ++c) {
          const double ground = Grid("throughfall0")[r][c] + (solid ? solid[r][c] : 0);
          EXPECT_NEAR(input[r][c] * Grid("precipitation")[r][c],
                      held[r][c] - before[r][c] + flux[r][c] * ground, 1e-12)
              << r << "," << c << " step " << step;
          // The leaves' water (the cell totals) and the canopy's snow, each in its own grids.
          const double canopy =
              load ? load[r][c] - load_before[r][c] + Grid("Snow_canopy_sublim")[r][c] : 0.0;
          EXPECT_NEAR(Grid("precipitation")[r][c],
                      stored[r][c] - water_before[r][c] + Grid("interception_evaporation0")[r][c] +
                          canopy + ground,
                      1e-12)
              << r << "," << c << " step " << step;
          if (leaves_fall && step == 1 && r == 2) {
            EXPECT_GT(load_before[r][c], 0.0) << c;
            EXPECT_EQ(solid[r][c], load_before[r][c]) << c;
            EXPECT_EQ(load[r][c], 0.0) << c;
          }
        }
      if (method == 11) {
        EXPECT_NEAR(held[2][2], by_hand[step][0], 1e-12);
        EXPECT_NEAR(flux[2][2], by_hand[step][1], 1e-12);
      } else if (step == 0) {
        EXPECT_GT(held[2][2], 0.0) << "held by the canopy snow";
      }
      input[2][2] = 0.0;
      for (int c = 1; c <= 4; ++c) Grid("temperature")[2][c] = 5.0;
      if (leaves_fall)
        for (int c = 1; c <= 4; ++c) Grid("leaf_area_index1")[2][c] = 0.5;
    }
  }
};

TEST_F(InterceptionTracerTest, TwoLayers) {
  TwoSteps(11);
}
TEST_F(InterceptionTracerTest, CanopySnow) {
  TwoSteps(21);
}
TEST_F(InterceptionTracerTest, CanopySnowUnderLeavesFallingBelowTheMinimum) {
  TwoSteps(21, true);
}

// Without snow model, irrigation or input grid of a concentration the tracers still run: the
// water input carries none, and what is stored only decays.
TEST_F(InterceptionTest, TracersRunWithoutAnInputConcentration) {
  AddRainInputs(1, Fill(2), Fill(2.0), Fill(1.0));
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "cl_";
  std::vector<ZoneStatisticsRecord> records(kZoneStatisticsCapacity + 1);
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers.data(), records.data(), kZoneStatisticsCapacity);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_TRUE(ScreenHas("the water input carries none of tracer 1"));
  model_->RunStep(0, 1, 6, 2001);
  EXPECT_EQ(Grid("concstor_tracer_1_interception_model")[2][2], 0.0);
  EXPECT_GT(Grid("interception_storage0")[2][2], 0.0);
}

TEST_F(InterceptionTest, ResponseUnitCellsCarryTheirMastersResults) {
  std::vector<HruRecord> units(3);
  units[1] = HruRecord{1, "", 1, 2, 0};
  units[2] = HruRecord{2, "", 1, 4, 0};
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &units;
  AddRainInputs(1, Fill(2), Fill(2.0), Fill(1.0));
  Add("HydrologicResponseUnits", {{N, 1, 1, 2}, {1, 2, 2, 2}});
  Add("MasterHydrologicResponseUnits", {{N, 1, N, 2}, {N, N, N, N}});
  // The interpolation leaves the other cells of a unit without precipitation.
  GridMatrix& p = grids_["precipitation"];
  p[1][3] = p[2][1] = p[2][2] = p[2][3] = p[2][4] = N;
  p[1][4] = 4.0;
  statistics_code_ = 2001;
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  model_->RunStep(0, 1, 6, 2001);
  // Capacity 1 mm, cover 1, 0.2 mm evaporated: unit 1 (P 2) passes 1 mm, unit 2 (P 4) 3 mm.
  for (int r = 1; r <= 2; ++r) {
    for (int c = 3 - r; c <= 4; ++c) {
      const bool first_unit = grids_["HydrologicResponseUnits"][r][c] == 1;
      EXPECT_NEAR(Grid("throughfall0")[r][c], first_unit ? 1.0 : 3.0, 1e-12) << r << "," << c;
      EXPECT_NEAR(Grid("interception_storage0")[r][c], 0.8, 1e-12) << r << "," << c;
      EXPECT_NEAR(Grid("pot_transpiration0")[r][c], 0.3 - 0.2, 1e-12) << r << "," << c;
    }
  }
  // The zone mean counts every cell with its master's values: (3 * 1 + 4 * 3) / 7.
  model_->FlushBuffers();
  const std::vector<std::string> lines = StatisticsLines("tf.sta");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[3].find("\t2.1429\t2.1429"), std::string::npos) << lines[3];

  // A master that is not computed, and a unit missing from the table, end the step.
  struct Failure {
    int row, column;   // unit 1's master in the table
    double cell_unit;  // unit of cell (2,1)
    const char* message;
  };
  for (const Failure& f : {Failure{1, 1, 1, "master cell (row 1, column 1) of response unit 1"},
                           Failure{1, 2, 7, "response unit 7 of cell (row 2, column 1)"}}) {
    units[1].row = f.row;
    units[1].column = f.column;
    grids_["HydrologicResponseUnits"][2][1] = f.cell_unit;
    int code = 0;
    try {
      model_->RunStep(1, 1, 6, 2001);
    } catch (const ErrorCode& failure) {
      code = failure.code;
    }
    EXPECT_EQ(code, kResponseUnitMasterCode) << f.message;
    EXPECT_TRUE(ScreenHas(f.message)) << screen_.str();
  }
}

TEST_F(InterceptionTest, CanopySnowFeedsTheRainInterception) {
  // LAI 1 in row 1 equals the minimum (no canopy model); LAI 3 in row 2 runs it at -5 C. Cell
  // (2,1) is half glacier, where no canopy holds snow.
  Add("GlacierizedCells", {{0, 0, 0, 0}, {0.5, 0, 0, 0}});
  AddRainInputs(1, Fill(2), {{1, 1, 1, 1}, {3, 3, 3, 3}}, Fill(1.0));
  AddMeteoInputs(-5.0);
  statistics_code_ = 2001;
  ASSERT_EQ(Make(Section(21)), 0) << screen_.str();
  model_->threshold_temperature = 0.0;
  model_->transition_half_width = 1.0;
  model_->RunStep(0, 1, 1, 2001);
  model_->RunStep(0, 1, 1, 2001);  // the same date: no second temperature grid
  EXPECT_EQ(model_->temperature_stack->count(), 1);
  double** p = Grid("precipitation");
  for (int c = 2; c <= 4; ++c) {
    EXPECT_EQ(Grid("Snow_canopy_unload_liquid")[1][c], p[1][c]);
    EXPECT_EQ(Grid("Snow_canopy_albedo")[1][c], 0.2);
    EXPECT_EQ(Grid("Snow_canopy_temperature")[1][c], -5.0);
  }
  for (int c = 1; c <= 4; ++c) {
    // All snow at -5 C: part of it stays in the canopy, nothing liquid reaches the storage.
    EXPECT_GT(Grid("Snow_canopy_load")[2][c], 0.0);
    EXPECT_EQ(Grid("Snow_canopy_unload_liquid")[2][c], 0.0);
    EXPECT_EQ(Grid("throughfall0")[2][c], 0.0);
  }
  model_->RunStep(1, 1, 1, 2001);
  EXPECT_EQ(model_->temperature_stack->count(), 2);
  // The load table is mm over the zone's seven cells, the glacier half holding none.
  double load = 0;
  for (int c = 1; c <= 4; ++c) load += (c == 1 ? 0.5 : 1.0) * Grid("Snow_canopy_load")[2][c];
  model_->FlushBuffers();
  const std::vector<std::string> lines = StatisticsLines("scl.sta");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_NEAR(std::stod(lines.back().substr(lines.back().rfind('\t') + 1)), load / 7, 1e-4)
      << lines.back();
}

TEST_F(InterceptionTest, EnergyBalanceWaitsForSnowOnTheGround) {
  // Cell (1, 2) has too little leaf area for the canopy model: its canopy temperature is the
  // air temperature in kelvin all the same.
  AddRainInputs(1, Fill(2), {{3, 1, 3, 3}, {3, 3, 3, 3}}, Fill(1.0));
  AddMeteoInputs(-5.0);
  AddSnowInputs(0.0);
  for (int c = 1; c <= 4; ++c) grids_["snow_storage_total"][2][c] = 20.0;
  ASSERT_EQ(Make(Section(31)), 0) << screen_.str();
  model_->RunStep(0, 1, 1, 2001);
  EXPECT_EQ(Grid("Snow_canopy_temperature")[1][2], -5.0);
  for (int c = 2; c <= 4; ++c) {
    const double sub_canopy = Grid("Snow_canopy_temperature")[1][c] + 273.16;
    EXPECT_NEAR(Grid("CEB_canopy_temperature")[1][c], sub_canopy, 1e-12);
    EXPECT_NEAR(Grid("CEB_canopy_temperature_old")[1][c], sub_canopy, 1e-12);
    EXPECT_EQ(Grid("CEB_canopy_energy_balance")[1][c], 0.0);
  }
  for (int c = 1; c <= 4; ++c) {
    EXPECT_LT(std::fabs(Grid("CEB_canopy_energy_balance")[2][c]), 1.0);
    EXPECT_NEAR(Grid("CEB_dummy")[2][c], Grid("CEB_canopy_temperature")[2][c] - 268.16, 1e-9);
  }
}

}  // namespace
}  // namespace velorn

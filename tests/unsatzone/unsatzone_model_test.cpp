// The unsaturated zone built from its sections on one process: a complete [unsatzon_model] read
// value by value, the refusals of the section, [unsatzon_tuning] with either line end, the heat
// transfer section, [permafrost], the grids it registers, the cold and the warm start, the
// single-point files and the start-up log.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <tuple>

#include "core/error_code.h"
#include "core/string_helpers.h"
#include "tests/support/soil_column_fixture.h"
#include "unsatzone/subbasin_block.h"

namespace velorn {
namespace {

class UnsatModel : public test::SoilColumnTest {
 protected:
  UnsatModel() { setup_.write_ascii = true; }
  // The groundwater grids of a stored state, as ASCII grids a warm start reads.
  void WriteGroundwaterGrids() {
    for (const auto& [grid, name] :
         {std::pair{unsatzonmodellklasse::kGroundwaterDistance, "gwstand.asc"},
          {unsatzonmodellklasse::kGroundwaterLevel, "gwlevel.asc"},
          {unsatzonmodellklasse::kThetaInGwLevel, "gwtheta.asc"},
          {unsatzonmodellklasse::kBaseflow, "deltagw.asc"}})
      model_->WriteGrid(name, model_->Grid(grid), true, false, false);
  }
  double** Registered(const std::string& identifier, int flag = 0) {
    const int index =
        flag == 0 ? registry_.FindIdentifier(identifier) : registry_.Find(identifier, flag);
    return index > 0 ? registry_[index].grid : nullptr;
  }
  test::UnsatSection section_;
};

TEST_F(UnsatModel, ReadsTheCompleteSectionValueByValue) {
  section_.method = 3;
  section_.interaction = 1;
  section_.pond = section_.drainage = section_.clay = 1;
  section_.k_sat_clay = 2.5e-7;
  section_.statistics_code = 2001;
  section_.control_point = "2 3";
  section_.codes = "1 3 8";
  section_.parameters = {"1 2 0.0005", "4 5 6", "7 8 9", "-1 2 4", "0.1 0.2 0.3", "0.4 0.5 0.6"};
  for (const char* grid :
       {"max_ponding_storage", "drainage_depth", "drainage_distance", "clay_depth"})
    Add(grid, Fill(1.0));
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  const unsatzonmodellklasse& m = *model_;
  EXPECT_EQ(m.method, 3);
  EXPECT_EQ(m.surfaceWaterInteraction, 1);
  EXPECT_EQ(m.pondParameter + m.drainageParameter + m.clayParameter, 3);
  EXPECT_DOUBLE_EQ(m.kSatClay, 2.5e-7);
  EXPECT_DOUBLE_EQ(m.iniGwLevel, 2.0);
  EXPECT_EQ(m.statistics_pairs[unsatzonmodellklasse::kStatQDRAIN].name, "qdrain.sta");
  EXPECT_EQ(m.statistics_pairs[unsatzonmodellklasse::kStatINFILT].code, 2001);
  EXPECT_EQ(m.grid_pairs[unsatzonmodellklasse::kPairIRRIG].name, "irrig.asc");
  EXPECT_EQ(m.controlRow, 2);
  EXPECT_EQ(m.controlCol, 3);
  EXPECT_EQ(m.single_point_files[unsatzonmodellklasse::kInterflowFile], dir_ / "interflow.txt");
  const std::vector<double> kelsqd{0, 60, 60, 120, 120, 120, 120, 120, 0.06};
  EXPECT_EQ(m.kelsqd, kelsqd);
  EXPECT_DOUBLE_EQ(m.baseflowInverseRecession[8], 0.25);
  EXPECT_EQ(m.storageFileName, "storage_0");
  EXPECT_DOUBLE_EQ(m.dParameterMinStep, 30.0);
  EXPECT_EQ(m.substeps_grid_pair.name, "substeps.asc");
  EXPECT_EQ(m.optionTag, "+srf1+dr,+cl,+po,");
  EXPECT_EQ(m.layerCount, 4);
  EXPECT_EQ(*model_->GetStorageFileName(), "storage_0");
  EXPECT_EQ(model_->GetDirectRunoffRecessionConstants(), m.kelsqd.data());
  // Every grid is registered with the rows it holds; the optional ones exist as switched.
  for (const char* id : {"number_of_substeps", "drainage_level", "drainage_flow", "ponding_storage",
                         "tangens_beta", "q_downext"}) {
    const int index = registry_.FindIdentifier(id);
    ASSERT_GT(index, 0) << id;
    EXPECT_EQ(registry_[index].first_row, m.grid_first_row);
    EXPECT_EQ(registry_[index].last_row, m.grid_last_row);
  }
  EXPECT_NEAR(Registered("tangens_beta")[1][1], 30 * 3.141592653 / 180, 1e-12);
  for (const char* stack : {"theta", "hydraulic_heads", "geodetic_heads", "q_down"})
    EXPECT_EQ(registry_[registry_.FindIdentifier(stack)].level_count, 4) << stack;
  EXPECT_TRUE(test::ReadFile(dir_ / "qdrain.sta").find("drainage discharge") != std::string::npos);
}

TEST_F(UnsatModel, RefusesABadSection) {
  struct Case {
    const char* name;
    std::function<void(test::UnsatSection&)> change;
    int code;
  };
  for (const Case& k : {
           Case{"control point 0 0", [](auto&) {}, 0},
           Case{"row 0 column 3", [](auto& s) { s.control_point = "0 3"; }, 0},
           Case{"row -1", [](auto& s) { s.control_point = "-1 2"; }, kControlPointRowCode},
           Case{"row beyond", [](auto& s) { s.control_point = "3 2"; }, kControlPointRowCode},
           Case{"column beyond", [](auto& s) { s.control_point = "1 5"; }, kControlPointColumnCode},
           // The subbasin block is not read: its garbage would be code 10.
           Case{"method 1", [](auto& s) { s.method = 1, s.codes = "x"; }, kSoilMethodCode},
           Case{"unreadable code", [](auto& s) { s.codes = "x"; }, kSubbasinBlockCode},
           Case{"ini_gw_level 0", [](auto& s) { s.ini_gw_level = 0; }, kControlFileErrorCode},
           Case{"ini_gw_level below 0", [](auto& s) { s.ini_gw_level = -2; },
                kControlFileErrorCode},
           // Values outside their ranges.
           Case{"clay k_sat 1e308", [](auto& s) { s.clay = 1, s.k_sat_clay = 1e308; },
                kControlFileErrorCode},
           Case{"clay off, its k_sat unused", [](auto& s) { s.k_sat_clay = -1; }, 0},
           Case{"interaction 3", [](auto& s) { s.interaction = 3; }, kControlFileErrorCode},
           Case{"pond 2", [](auto& s) { s.pond = 2; }, kControlFileErrorCode},
           Case{"drainage -1", [](auto& s) { s.drainage = -1; }, kControlFileErrorCode},
           Case{"clay 2", [](auto& s) { s.clay = 2; }, kControlFileErrorCode},
           Case{"QB-Red.Faktor -1", [](auto& s) { s.parameters[4] = "0.01 -1"; },
                kControlFileErrorCode},
           Case{"max_error -1", [](auto& s) { s.after = "[unsatzon_tuning]\nmax_error = -1\n"; },
                kControlFileErrorCode},
           Case{"max_iterations 1e308",
                [](auto& s) { s.after = "[unsatzon_tuning]\nmax_iterations = 1e308\n"; },
                kControlFileErrorCode},
       }) {
    test::UnsatSection section;
    k.change(section);
    EXPECT_EQ(Make(section.Text()), k.code) << k.name;
  }
  // A value missing at the end of the section.
  std::string text = section_.Text();
  EXPECT_EQ(Make(text.substr(0, text.rfind("storage"))), kControlFileErrorCode);
  EXPECT_TRUE(ScreenHas("name of the storage content file"));
}

TEST_F(UnsatModel, TuningWithEitherLineEndUpToTheNextSection) {
  for (const auto& [tuning, error, iterations] : {
           std::tuple<std::string, double, double>{
               "[unsatzon_tuning]\nmax_error = 1e-7\n  max_iterations = 50\n", 1e-7, 50},
           {"[unsatzon_tuning]\r\nmax_iterations=20\r\nmax_error= 2e-6\r\n", 2e-6, 20},
           {"[unsatzon_tuning]\n[other]\nmax_error = 1\nmax_iterations = 7\n", 1e-5, 100},
       }) {
    section_.after = tuning;
    ASSERT_EQ(Make(section_.Text()), 0) << tuning;
    EXPECT_DOUBLE_EQ(model_->max_error, error) << tuning;
    EXPECT_DOUBLE_EQ(model_->max_iterations, iterations) << tuning;
  }
}

TEST_F(UnsatModel, WithoutHeatTransferTheDefaultsStay) {
  for (const char* heat : {"", "[heat_transfer]\n0\n"}) {
    section_.after = heat;
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    EXPECT_FALSE(model_->IsHeatTransferActive());
    EXPECT_EQ(registry_.FindIdentifier("Soil_Temperature_Stack"), 0);
    EXPECT_EQ(registry_.FindIdentifier("T_Lower_Boundary_Condition"), 0);
    EXPECT_DOUBLE_EQ(model_->dTModLapseRate, -0.007);
    EXPECT_DOUBLE_EQ(model_->dTModLongestStep, 1800);
    EXPECT_LT(soils_[1].DryDensity[1], 0);
  }
}

TEST_F(UnsatModel, HeatTransferSetUp) {
  section_.after = test::HeatSection();
  EXPECT_EQ(Make(section_.Text()), kGridMissingCode);  // air temperature
  EXPECT_EQ(registry_.FindIdentifier("theta"), 0);     // a failed model leaves no entry
  Add("temperature", Fill(0.0));
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_TRUE(model_->IsHeatTransferActive());
  // The cell at 1500 m: 12.0 - 0.007 * 1500 = 1.5 degrees C.
  EXPECT_NEAR(Registered("T_Lower_Boundary_Condition")[1][1], 1.5, 1e-12);
  EXPECT_NEAR(Registered("T_Lower_Boundary_Condition")[2][4], 12.0 - 0.007 * 800, 1e-12);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "T_Lower_Boundary_Condition_000"));
  EXPECT_EQ(model_->temperatureStackPending, 1);
  EXPECT_GT(registry_.FindIdentifier("Soil_SE_Stack"), 0);
  EXPECT_GT(registry_.FindIdentifier("ThawDepthTMod"), 0);
  EXPECT_EQ(registry_.FindIdentifier("frozenSoilInGroundwater"), 0);
  for (const SoilRecord* soil : {&soils_[1], &soils_[2]}) {
    EXPECT_EQ(soil->DryHeatCapacity[3], 800);
    EXPECT_EQ(soil->DryDensity[3], 1500);
    EXPECT_EQ(soil->DryThermalConduct[3], 0.58);
    EXPECT_EQ(soil->KMinFrozenSoil, 1e-10);
  }
  // Values no soil can have end the set-up naming the value.
  for (const auto& [from, to, message] :
       {std::tuple{"\n60.000000\n", "\n0\n", "dTModShortestStep (0) must be greater than 0"},
        {"\n0.58\n", "\n-0.58\n", "dTModLamDrySoil (-0.58) must be greater than 0"},
        {"\n4187\n", "\n0\n", "dTModCWater (0) must be greater than 0"},
        {"\n800\n", "\n-800\n", "dTModCDrySoil (-800) must be greater than 0"},
        {"\n334000\n", "\n1e308\n", "dTModLatHeat (1e+308) must be at most 1e+07"},
        {"\n12.0\n", "\n1e308\n", "dTModLowBoundBase (degC) in "},
        {"\n1.0\n1.0\ntemper", "\n1.0\n-2\ntemper", "dTModNFactorThawing in "}}) {
    std::string heat = test::HeatSection();
    heat.replace(heat.find(from), std::string(from).size(), to);
    section_.after = heat;
    EXPECT_EQ(Make(section_.Text()), kControlFileErrorCode) << message;
    EXPECT_TRUE(ScreenHas(message)) << screen_.str();
  }
}

TEST_F(UnsatModel, PermafrostConductivityWithTheSnowModelsGrids) {
  for (const char* grid : {"PermafrostThawDepth", "SnowFreeDaysGrid", "ThawCoeffPermaFrost"})
    Add(grid, Fill(0.0));
  EXPECT_EQ(Make(section_.Text()), kControlFileErrorCode);  // [permafrost] is required
  section_.after = "[permafrost]\n1\n0.5\n0.7\nthaw.sta 0\n3e-8 reduced k_sat\n";
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_DOUBLE_EQ(model_->reducedKsatPermafrost, 3e-8);
  section_.after = "[permafrost]\n1\n0.5\n0.7\nthaw.sta 0\n-3e-8 reduced k_sat\n";
  EXPECT_EQ(Make(section_.Text()), kControlFileErrorCode);
  EXPECT_TRUE(
      ScreenHas("reduced k_sat (in m/s) for unsatzon_model is -3e-08, it must lie within "
                "0 to 10"));
}

TEST_F(UnsatModel, SwitchedOffRegistersNothing) {
  const int free_before = registry_.FirstFreeIndex();
  section_.flow = 0;
  ASSERT_EQ(Make(section_.Text()), 0);
  EXPECT_EQ(registry_.FirstFreeIndex(), free_before);
  EXPECT_EQ(model_->GetStorageFileName(), nullptr);
  EXPECT_EQ(model_->GetInterflowRecessionConstants(), nullptr);
}

// With irrigation the thresholds start at the rule's suctions in layer 2; with the groundwater
// model's conductivities and heat transfer the frozen-soil grid exists.
TEST_F(UnsatModel, IrrigationAndGroundwaterGrids) {
  IrrigationTable table;
  table.count = 1;
  table.records.resize(2);
  table.records[1].method = kIrrigationBySuction;
  table.records[1].psi_dry = 20.0;
  table.records[1].psi_wet = 0.5;
  irrigation_ = &table;
  for (const char* grid : {"irrigation_codes", "gw_k_x_1", "gw_k_y_1", "temperature"})
    Add(grid, Fill(1.0));
  section_.after = test::HeatSection();
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(model_->optionTag, "+ir,");
  // The first step's irrigation rules see the root zone's water as it starts (layers 1 and 2).
  double** start = model_->Stack(unsatzonmodellklasse::kTheta)[1];
  EXPECT_DOUBLE_EQ(Registered("SB_1_grid")[1][1], (start[1][1] + start[1][2]) / 2);
  EXPECT_DOUBLE_EQ(Registered("SBLOW_grid")[2][2], soils_[2].GetTheta(2, 20.0));
  EXPECT_DOUBLE_EQ(Registered("SBHIGH_grid")[2][1], soils_[1].GetTheta(2, 0.5));
  EXPECT_DOUBLE_EQ(Registered("ETR2ETP")[1][3], 1.0);
  // The root zone (two layers of soil 1) starts with its mean water content and, for dynamic
  // phenology, the suction of layer 1 at its mean relative saturation.
  double** theta = model_->Stack(unsatzonmodellklasse::kTheta)[1];  // row 1
  EXPECT_DOUBLE_EQ(Registered("SB_1_grid")[1][1], (theta[1][1] + theta[1][2]) / 2);
  const SoilRecord& soil = soils_[1];
  const double saturation = (theta[1][1] / soil.theta_sat[1] + theta[1][2] / soil.theta_sat[2]) / 2;
  EXPECT_NEAR(Registered("MeanThetaInRootZone")[1][1],
              soil.GetSuction(1, saturation * soil.theta_sat[1]), 1e-12);
  EXPECT_NE(Registered("frozenSoilInGroundwater"), nullptr);
  Release();
}

// ini_gw_level 2: g = 2, the water table in the centre of layer 3 (1.25 m deep).
TEST_F(UnsatModel, ColdStartFillsEveryColumnAndTheGroundwaterGrids) {
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  double*** geodetic = model_->Stack(unsatzonmodellklasse::kGeodeticHeads);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 4; ++c) {
      const double surface = elevation_[r - 1][c - 1];
      EXPECT_DOUBLE_EQ(geodetic[r][c][4], surface - 2.0);
      EXPECT_DOUBLE_EQ(SoilOf(r, c).GetTheta(1, 1.0), theta[r][c][1]);
      EXPECT_DOUBLE_EQ(theta[r][c][3], 0.43);
      EXPECT_EQ(Registered("groundwater_level")[r][c], 3);
      EXPECT_DOUBLE_EQ(Registered("groundwater_distance")[r][c], -1.0);
      EXPECT_DOUBLE_EQ(Registered("Theta_in_GWLEVEL")[r][c], theta[r][c][2]);
    }
  }
  // Storage mode 2 with the water table at the surface: every layer is saturated.
  test::WriteFile(dir_ / "gwstand.asc",
                  test::AsciiGrid(4, 2, 0, 0, 1000, -9999, [](int, int) { return 0.0; }));
  section_.storage_mode = 2;
  section_.ini_gw_level = 0;  // not used in mode 2
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  theta = model_->Stack(unsatzonmodellklasse::kTheta);
  for (int k = 0; k <= 4; ++k) EXPECT_DOUBLE_EQ(theta[2][3][k], 0.43) << k;
  EXPECT_DOUBLE_EQ(Registered("groundwater_distance")[2][3], 0.0);
  // A water table 1e6 m from the surface is no basin's.
  test::WriteFile(dir_ / "gwstand.asc", test::AsciiGrid(4, 2, 0, 0, 1000, -9999, [](int r, int c) {
                    return r == 2 && c == 3 ? -1e6 : 0.0;
                  }));
  EXPECT_EQ(Make(section_.Text()), kGridFormatCode);
  EXPECT_TRUE(
      ScreenHas("grid gwstand.asc: the cell at row 2, column 3 holds -1e+06, outside "
                "-20000 to 0 m (below the surface)"))
      << screen_.str();
}

// A basin whose soils differ in their layer counts: each column uses its own soil's layers (the
// cold start, the groundwater scan and the logs read the 2-layer sand's arrays at 2 layers, not
// at the 4 of the loam, which ran past them).
TEST_F(UnsatModel, ColdStartOfSoilsWithFewerLayersThanTheStacks) {
  soils_[2] = SoilRecord();
  soils_[2].ParseEntry(
      diag_,
      test::SoilBlock(test::VanGenuchtenKeys(0.43, 0.045, 14.5, 2.68, 8.25e-5, 2), 2, "sand"),
      "MultipleHorizons");
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 4; ++c) {
      const SoilRecord& soil = SoilOf(r, c);
      for (int k = 1; k <= std::min(4, soil.layers); ++k) {
        EXPECT_GT(theta[r][c][k], 0.0) << r << " " << c << " " << k;
        EXPECT_LE(theta[r][c][k], 0.43) << r << " " << c << " " << k;
      }
    }
  }
}

// A warm start takes the stacks and grids from the files a cold start wrote; the soil
// temperatures read are kept for the first step.
TEST_F(UnsatModel, WarmStartReadsTheStateAndKeepsTheTemperatures) {
  Add("temperature", Fill(0.0));
  section_.after = test::HeatSection();
  Registered("dem")[2][3] = 1299.93;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  double*** temperature = model_->Stack(unsatzonmodellklasse::kSoilTemperature);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) temperature[r][c][2] = r + 0.1 * c;
  const double theta_before = model_->Stack(unsatzonmodellklasse::kTheta)[2][2][1];
  const auto write_stack = [&](unsatzonmodellklasse::OwnStack stack, const char* name, int n) {
    model_->WriteStack(name, model_->Stack(stack), n, true, false, false);
  };
  write_stack(unsatzonmodellklasse::kTheta, "theta.stk", 4);
  write_stack(unsatzonmodellklasse::kHydraulicHeads, "hh.stk", 4);
  write_stack(unsatzonmodellklasse::kSoilTemperature, "temper.stk", 4);
  // The layer boundaries in single precision (1299.93 m reads back as 1299.930054): the
  // columns are the soil table's again, bit for bit.
  double*** boundaries = model_->Stack(unsatzonmodellklasse::kGeodeticHeads);
  const std::vector<double> built(boundaries[2][3], boundaries[2][3] + 5);
  model_->WriteStack("hgeo.stk", boundaries, 4, false, false, false);
  WriteGroundwaterGrids();
  section_.storage_mode = 1;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  boundaries = model_->Stack(unsatzonmodellklasse::kGeodeticHeads);
  EXPECT_EQ(std::vector<double>(boundaries[2][3], boundaries[2][3] + 5), built);
  EXPECT_EQ(model_->temperatureStackPending, 0);
  EXPECT_DOUBLE_EQ(model_->Stack(unsatzonmodellklasse::kSoilTemperature)[2][3][2], 2.3);
  EXPECT_NEAR(model_->Stack(unsatzonmodellklasse::kTheta)[2][2][1], theta_before, 1e-6);  // ASCII
  EXPECT_EQ(Registered("groundwater_level")[1][4], 3);
  // A theta stack of N - 1 levels.
  model_->WriteStack("theta.stk", model_->Stack(unsatzonmodellklasse::kTheta), 3, true, false,
                     false);
  EXPECT_EQ(Make(section_.Text()), kStackLevelCode);
  EXPECT_TRUE(
      ScreenHas("wrong number of levels in stack theta.stk (there are 3 level, it must "
                "be 4"));
  // Values no soil column holds, refused where the state is read: a water content above 1, then
  // a groundwater level that is no layer index (it is taken as an int).
  section_.storage_mode = 0;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  double*** theta = model_->Stack(unsatzonmodellklasse::kTheta);
  const double kept = theta[2][2][1];
  theta[2][2][1] = 1.5;
  write_stack(unsatzonmodellklasse::kTheta, "theta.stk", 4);
  theta[2][2][1] = kept;
  model_->Grid(unsatzonmodellklasse::kGroundwaterLevel)[1][4] = 1e308;
  model_->WriteGrid("gwlevel.asc", model_->Grid(unsatzonmodellklasse::kGroundwaterLevel), true,
                    false, false);
  section_.storage_mode = 1;
  EXPECT_EQ(Make(section_.Text()), kGridFormatCode);
  EXPECT_TRUE(
      ScreenHas("stack theta.stk: level 1 of the cell at row 2, column 2 holds 1.5, "
                "outside 0 to 1"))
      << screen_.str();
  section_.storage_mode = 0;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  write_stack(unsatzonmodellklasse::kTheta, "theta.stk", 4);
  section_.storage_mode = 1;
  EXPECT_EQ(Make(section_.Text()), kGridFormatCode);
  EXPECT_TRUE(
      ScreenHas("grid gwlevel.asc: the cell at row 1, column 4 holds 1e+308, outside 0 "
                "to 5 (layer index)"))
      << screen_.str();
}

// A stored water table below the soil column (2 m deep) is refused, except in a column no step
// has computed since a start from the groundwater distance: that start keeps the table it read
// and leaves the groundwater level at 0 (a cell a glacier covers whole, one an evaluation has
// just uncovered and the members of a unit with such a master keep it until their next step).
// A glacier share alone takes no table below the column.
TEST_F(UnsatModel, StoredTableBelowTheColumnOnlyWhereNoStepComputedIt) {
  using M = unsatzonmodellklasse;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  model_->Grid(M::kGroundwaterDistance)[2][3] = -3.0;
  model_->WriteGrid("gwstand.asc", model_->Grid(M::kGroundwaterDistance), true, false, false);
  section_.storage_mode = 2;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(Registered("groundwater_level")[2][3], 0);
  const auto write_state = [&] {
    for (const auto& [stack, name] : {std::pair{M::kTheta, "theta.stk"},
                                      {M::kGeodeticHeads, "hgeo.stk"},
                                      {M::kHydraulicHeads, "hh.stk"}})
      model_->WriteStack(name, model_->Stack(stack), 4, true, false, false);
    WriteGroundwaterGrids();
  };
  write_state();
  section_.storage_mode = 1;
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_DOUBLE_EQ(Registered("groundwater_distance")[2][3], -3.0);
  // The same table in a column a step has computed (its level a layer), with a glacier share.
  Rows ice = Fill(0.0);
  ice[1][2] = 0.25;
  Add("ice_firn", ice);
  model_->Grid(M::kGroundwaterLevel)[2][3] = 4;
  write_state();
  EXPECT_EQ(Make(section_.Text()), kGridFormatCode);
  EXPECT_TRUE(
      ScreenHas("grid gwstand.asc: the cell at row 2, column 3 holds -3 m, below the "
                "bottom of the cell's soil column"))
      << screen_.str();
}

TEST_F(UnsatModel, SinglePointFilesAndStartUpLog) {
  section_.control_point = "1 2";
  ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
  EXPECT_EQ(test::ReadFile(dir_ / "hhyd.txt"), "YY\tMM\tDD\tHH\thhyd[1][2][1]\t[2]\t[3]\t[4]\t\n");
  EXPECT_EQ(test::ReadFile(dir_ / "etr.txt"),
            "YY\tMM\tDD\tHH\tetr[1][2](etr[0] is evaporation from first layer)[0]\t[1]\t[2]\t[3]"
            "\t[4]\t\n");
  EXPECT_NE(test::ReadFile(dir_ / "other.txt").find("\tAlbedo\tRSE\tLAI_1\tVCF_1\t"),
            std::string::npos);
  // Loam at (1, 2): layers 1 and 2 at 1.0 m and 0.5 m above the water table, 3 and 4 saturated.
  const double water = (soils_[1].GetTheta(1, 1.0) + soils_[1].GetTheta(2, 0.5) + 0.86) * 0.5;
  const std::string log = test::ReadFile(dir_ / "modell_0.log");
  EXPECT_NE(log.find(FormatText("soil water content (for control point r=1 c=2) at model-start: "
                                "%lf mm\n",
                                water * 1000)),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("mean soil water content for partly or completely glacierized cells at "
                     "model-start: 0.000000 m^3/m^2\n"),
            std::string::npos);
  // Another control point and no control point leave no files behind.
  std::filesystem::remove(dir_ / "hhyd.txt");
  section_.control_point = "0 3";
  ASSERT_EQ(Make(section_.Text()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "hhyd.txt"));
}

}  // namespace
}  // namespace velorn

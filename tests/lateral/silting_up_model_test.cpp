// Silting-up model: the section (method line, subbasin list, expression block), the water and
// tracer balance of every cell, tillage, user formulas against the built-in ones, a parser
// error raised inside the row loop, and a soil without sand.
#include "lateral/silting_up_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>

#include "core/error_code.h"
#include "core/tracer_bookkeeping.h"
#include "setup/tracer_definitions.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"
#include "tests/support/submodel_fixture.h"

namespace velorn {
namespace {

using Rows = std::vector<std::vector<double>>;

TEST(SiltingUpExpressions, ReadsTheBlockOrRefusesItWithItsCode) {
  struct Case {
    const char* text;
    std::vector<std::string> statements;
    int code;
  };
  const Case cases[] = {
      {"SiltingUpExpressions { X=1; Y=2; Z=3 }\n", {"X=1", "Y=2"}, 0},
      {"note\nSiltingUpExpressions\n \n{ W = P * 2 ;\n V = 3; } rest\n", {"W=P*2", "V=3"}, 0},
      {"SiltingUpExpressions { X = 1 }\nSiltingUpExpressions {Y=2;}\n", {"Y=2"}, 0},
      {"SiltingUpExpressions\nX = 1;\n", {}, kExpressionOpenBraceCode},
      {"SiltingUpExpressions { X = 1;\nY = 2;\n", {}, kExpressionCloseBraceCode},
      {"\nSiltingUpExpressions { X = 1; }\n", {}, kExpressionBlockCode},
      {"note\n", {}, kExpressionBlockCode},
  };
  for (const Case& c : cases) {
    std::ostringstream screen;
    test::TempDir dir;
    DiagnosticStream diag(dir / "d.xml", kLevelDebug, screen);
    ControlFileReader file;
    file.OpenText(c.text);
    std::vector<std::string> statements;
    EXPECT_EQ(CodeOf([&] { statements = ReadSiltingUpExpressions(diag, file, "run.ctl"); }), c.code)
        << c.text;
    EXPECT_EQ(statements, c.statements) << c.text;
  }
}

// A 2 x 4 grid of eight subbasins (codes 1..8, one cell each); land use 1 is tilled on days 100
// and 300, land use 2 is never tilled; soil 1 a loam, 2 a sand, 3 (code 33) holds no sand.
class SiltingUpTest : public test::SubModelTest {
 protected:
  static constexpr double N = -9999;
  SiltingUpTest() : SubModelTest(2, 4) {
    zone_code_index_ = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    zone_table_.assign(9, ZoneRecord{});
    for (int z = 1; z <= 8; ++z) zone_table_[z] = ZoneRecord{{1, 1, 1.0 * z, 0.125, 1}};
    setup_.zone_code_index = zone_code_index_.data();
    setup_.zone_table = zone_table_.data();
    setup_.zone_count = setup_.highest_zone_code = 8;
    Add("zones", {{1, 2, 3, 4}, {5, 6, 7, 8}});
    Add("[elevation_model]", Fill(500));
    Add("landuse1", {{1, 1, 1, 1}, {1, 1, 2, 1}});
    Add("vegetation_coverage_degree1", Fill(0.2));
    Add("soil_types", {{1, 1, 2, 2}, {1, 2, 1, 3}});
    Add("SurfStorSiltingUp", Fill(0.0));
    Add("precipitation", {{0, 0.04, 5, 30}, {12, 80, 20, 20}});
    const std::string keys =
        "RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45; Albedo = 0.2 0.2; rsc = 80 80; "
        "LAI = 1 1; Z0 = 0.02 0.02; VCF = 0.5 0.5; RootDepth = 0.2 0.2; AltDep = 0 0; "
        "JulDays = 1 366; SR_ResidCovrg = 0.1 0.3;";
    landuse_[0].SetCode(2);
    landuse_[1].ParseEntry(diag_,
                           "1 crop method VariableDayCount {" + keys + " SoilTillage = 100 300;}",
                           "VariableDayCount");
    landuse_[2].ParseEntry(diag_, "2 grass method VariableDayCount {" + keys + "}",
                           "VariableDayCount");
    const double grains[4][3] = {{}, {0.4, 0.4, 0.2}, {0.8, 0.1, 0.1}, {0.0, 0.5, 0.5}};
    soil_[0].code = 3;
    for (int s = 1; s <= 3; ++s) {
      soil_[s].code = s == 3 ? 33 : s;
      soil_[s].sand = grains[s][0];
      soil_[s].silt = grains[s][1];
      soil_[s].clay = grains[s][2];
      const double builtin[] = {0, 65.0, 12.2, 0.52, -0.64, 0.013, -1.03, 0.7, -0.19};
      for (int k = 1; k <= 8; ++k) soil_[s].SU_PAR[k] = builtin[k];
    }
    setup_.landuse_table = landuse_.data();
    setup_.soil_table = soil_.data();
  }
  ~SiltingUpTest() override {
    if (model_) model_->ReleaseMemory();
  }
  static Rows Fill(double value) { return Rows(2, std::vector<double>(4, value)); }
  void Add(const std::string& name, const Rows& rows) {
    grids_[name] = test::MakeGrid(diag_, rows);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, 2, 4, 2);
  }
  double** Grid(const std::string& id) { return registry_[registry_.FindIdentifier(id)].grid; }

  static std::string Section(const std::string& method, const std::string& rest) {
    return "[SiltingUpModel]\n1 flow control\n60 time interval\n" + method +
           "sdisp.sta 0\nqdsu.sta 0\nsdisp.asc\n0\nrp.asc\n0\nekin.asc\n0\ntsbb.asc\n0\n"
           "qdsu.asc\n0\n" +
           rest;
  }
  int Make(const std::string& text) {
    if (model_) model_->ReleaseMemory();
    WriteControlFile(text);
    int32_t error = -1;
    model_ = std::make_unique<siltingupclass>(error, setup_);
    if (error == 0) model_->SelectWaterInput(0);
    return error;
  }

  std::map<std::string, GridMatrix> grids_;
  std::vector<LanduseRecord> landuse_ = std::vector<LanduseRecord>(3);
  std::vector<SoilRecord> soil_ = std::vector<SoilRecord>(4);
  std::unique_ptr<siltingupclass> model_;
};

// Method 2 with the built-in values, and method 3 with statements that restate the formulas.
const char* const kMethod2 =
    "1 8\n0.4 0.3\n0 readgrid\n65\n12.2\n0.52\n-0.64\n0.013\n-1.03\n0.7\n-0.19\n";
const char* const kMethod3 =
    "1 8\n0.4 0.3\n0 readgrid\nSiltingUpExpressions {\n"
    " W = (P > 0.05) * ((P < 76.2) * (11.89 + 8.73 * log10(P + (P <= 0.05))) + (P >= 76.2) * "
    "28.33);\n Y = B * K^C * (100 * L)^D; X = A;\n"
    " Z = (O > 0) * E * (100 * L)^F * K^G * (O + (O <= 0))^H;\n"
    " V = ((X - Y) * exp(-Z * Q) + Y) * R / 60; }\n";

TEST_F(SiltingUpTest, ReadsTheSectionOrRefusesItWithItsCode) {
  struct Case {
    std::string method, rest;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"", "1 8\n0.4 0.3\n0\n", 0, nullptr},
      {"7 method\n", "1 8\n0.4 0.3\n0\n", 0, "method 7 of SiltingUpModel is not 1, 2"},
      {"1\n", "1 9\n0.4 0.3\n0\n", 10, "error! there is no code 9 (from "},
      {"1\n", "1 3 8\n0.4 0.3\n", 10, "error reading RainPause[8] for SiltingUpModel"},
      {"1\n", "1 8\n0.4 0.3\n", 10, "error reading readgrid-Parameter for SiltingUpModel"},
      {"2\n", "1 8\n0.4 0.3\n0\n65\n", 17, "parameter B for method 2 (I_inf) "},
      {"3\n", "1 8\n0.4 0.3\n0\n", kExpressionBlockCode, "no SiltingUpExpressios found"},
      // Values outside their ranges.
      {"1\n", "1 8\n0.4 -1\n0\n", 10,
       "RainPause[8] for SiltingUpModel is -1, it must lie within 0 to 366 days"},
      {"2\n", "1 8\n0.4 0.3\n0\n-65\n12.2\n0.52\n-0.64\n0.013\n-1.03\n0.7\n-0.19\n", 17,
       "parameter A for method 2 (I_0) for SiltingUpModel is -65, it must lie within 0 to 20000"},
      {"2\n", "1 8\n0.4 0.3\n0\n65\n12.2\n0.52\n-0.64\n0.013\n-1.03\n0.7\n1e308\n", 17,
       "parameter H for method 2 (C_v) for SiltingUpModel is 1e+308, it must lie within -10 to "
       "10"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Make(Section(c.method, c.rest)), c.code) << c.method << c.rest;
    if (c.message != nullptr) {
      EXPECT_TRUE(ScreenHas(c.message)) << c.message;
    }
  }
  // The line without a number was the SDISP line: method 1, subbasins 1..7 take 0.4.
  ASSERT_EQ(Make(Section("", "1 8\n0.4 0.3\n0\n")), 0);
  EXPECT_EQ(model_->method, 1);
  const std::vector<double> pauses{0, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.3};
  EXPECT_EQ(model_->minimum_rain_pause, pauses);
  // Method 3: the statement holding "V=" (also as in "XV=") starts the second group.
  ASSERT_EQ(Make(Section("3\n", "1 8\n.4 .3\n0\nSiltingUpExpressions {W=1; XV=3; V=XV;}\n")), 0);
  EXPECT_EQ(model_->expressions, (std::vector<std::string>{"W=1", "XV=3", "V=XV"}));
  model_->RunStep(0, 20, 5, 2001);
  EXPECT_EQ(model_->grids[siltingupclass::kDirectRunoff][1][3], 5.0 - 3.0);
  // The glacier model excludes silting-up.
  model_->ReleaseMemory();
  model_.reset();
  Add("GlacierCodes", Fill(0));
  EXPECT_EQ(Make(Section("", "1 8\n0.4 0.3\n0\n")), kSiltingUpGlacierCode);
}

TEST_F(SiltingUpTest, BalancesWaterAndTracersInEveryCellAndStep) {
  Add("SurfaceRoutingWeights", Fill(1));  // the surface storage is carried between steps
  Add("concflux_tracer_1_input", Fill(2.0));
  Add("concstor_tracer_1_SurfaceRoutingModel", Fill(3.0));  // the surface water's
  ASSERT_EQ(Make(Section("", "1 8\n0.4 0.3\n0\n")), 0) << screen_.str();
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "no3";
  tracers[1].max_conc = 1e9;
  std::vector<ZoneStatisticsRecord> records(kZoneStatisticsCapacity + 1);
  int32_t error = -1;
  model_->SetupTracers(error, 1, tracers.data(), records.data(), kZoneStatisticsCapacity);
  ASSERT_EQ(error, 0) << screen_.str();
  double** input = Grid("precipitation");
  double** storage = Grid("SurfStorSiltingUp");
  double** mass = Grid("concstor_tracer_1_SiltingUpModel");
  double** flux = Grid("concflux_tracer_1_SiltingUpModel");
  const Rows rain{{0, 0.04, 5, 30}, {12, 80, 20, 20}};
  // Tillage on day 100 (10 April), then 40 days later; the rain ends on the last step.
  const int days[][2] = {{10, 4}, {20, 5}, {21, 5}};
  for (int step = 0; step < 3; ++step) {
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 4; ++c) {
        input[r][c] = step == 2 ? 0.0 : rain[r - 1][c - 1];
        storage[r][c] = 0.5;
      }
    }
    model_->RunStep(0, days[step][0], days[step][1], 2001);
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 4; ++c) {
        const double w_in = step == 2 ? 0.0 : rain[r - 1][c - 1];
        const double runoff = model_->grids[siltingupclass::kDirectRunoff][r][c];
        EXPECT_NEAR(w_in + 0.5, input[r][c] + runoff + storage[r][c], 1e-12) << r << c;
        EXPECT_EQ(storage[r][c], 0.0);
        // The solute of the surface water and the input leaves with the runoff or stays with
        // the water input (the last step's went on with its water).
        EXPECT_NEAR(3.0 * 0.5 + 2.0 * w_in, mass[r][c] + flux[r][c] * runoff, 1e-9);
        const double tsbb = model_->grids[siltingupclass::kTillageAge][r][c];
        if (r == 2 && c == 3) {  // grass: never tilled, never sealed
          EXPECT_EQ(tsbb, 0.0);
          EXPECT_EQ(runoff, 0.0);
          EXPECT_EQ(model_->grids[siltingupclass::kKineticEnergy][r][c], 0.0);
        } else {
          EXPECT_EQ(tsbb, step == 0 ? 0.3 : 40.0 + step - 1) << r << c;
        }
      }
    }
    // Dry cells (0.04 mm/h counts as dry) lengthen their rain pause.
    EXPECT_EQ(model_->grids[siltingupclass::kRainPause][1][2], (step + 1) / 24.0);
    EXPECT_EQ(model_->grids[siltingupclass::kRainPause][2][1], step == 2 ? 1.0 / 24.0 : 0.0);
  }
  // Heavy rain on the sealing loam runs off; the rain after tillage raised its energy.
  EXPECT_GT(model_->grids[siltingupclass::kKineticEnergy][2][2], 0.0);
}

TEST_F(SiltingUpTest, UserFormulasRestatingTheBuiltInOnesGiveTheSameGrids) {
  const std::vector<double> rain_steps{1.0, 1.0, 0.0, 0.5};
  std::vector<std::vector<double>> results[2];
  const char* const sections[] = {kMethod2, kMethod3};
  for (int m = 0; m < 2; ++m) {
    ASSERT_EQ(Make(Section(m == 0 ? "2\n" : "3\n", sections[m])), 0) << screen_.str();
    double** input = Grid("precipitation");
    const Rows rain{{0, 0.04, 5, 30}, {12, 80, 20, 20}};
    for (std::size_t step = 0; step < rain_steps.size(); ++step) {
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c) input[r][c] = rain[r - 1][c - 1] * rain_steps[step];
      model_->RunStep(0, 20 + static_cast<int>(step), 5, 2001);
      std::vector<double> values;
      for (const GridMatrix& grid : model_->grids)
        for (int r = 1; r <= 2; ++r)
          for (int c = 1; c <= 4; ++c) values.push_back(grid[r][c]);
      results[m].push_back(values);
    }
  }
  for (std::size_t step = 0; step < rain_steps.size(); ++step)
    for (std::size_t i = 0; i < results[0][step].size(); ++i)
      EXPECT_NEAR(results[1][step][i], results[0][step][i],
                  1e-12 * (1 + std::fabs(results[0][step][i])))
          << "step " << step << " value " << i;
  // Some cells sealed, so the comparison covered the runoff formula.
  EXPECT_GT(results[0].back()[siltingupclass::kDirectRunoff * 8 + 5], 0.0);
}

TEST_F(SiltingUpTest, AParserErrorInOneRowEndsTheStepWithItsCode) {
  // "%" by 0 only in the cell with 80 mm/h (row 2): the error leaves the row loop once.
  ASSERT_EQ(Make(Section("3\n", "1 8\n.4 .3\n0\nSiltingUpExpressions { Z = 1 % (P < 50); }\n")), 0);
  EXPECT_EQ(CodeOf([&] { model_->RunStep(0, 20, 5, 2001); }), kExpressionParseCode);
  EXPECT_TRUE(
      ScreenHas("in instance SiltingUpModel\nexpression Z=1%(P<50) could not be parsed "
                "correctly. Parser message: Error: Division by zero in operator %"));
}

TEST_F(SiltingUpTest, ACapacityThatIsNotANumberOrNegativeIsReportedOnce) {
  const std::pair<const char*, const char*> cases[] = {
      {"V=SQRT(-1);", "V=SQRT(-1) is not a number"},
      {"V=0/0;", "V=0/0 is not a number"},
      {"XV=2; V=-XV;", "V=-XV is negative (-2) on 20.5.2001 0 h (row "}};
  for (const auto& [statements, warning] : cases) {
    screen_.str("");
    ASSERT_EQ(Make(Section("3\n", std::string("1 8\n.4 .3\n0\nSiltingUpExpressions {W=1; ") +
                                      statements + "}\n")),
              0);
    model_->RunStep(0, 20, 5, 2001);
    model_->RunStep(0, 21, 5, 2001);
    const std::string screen = screen_.str();
    const std::size_t at = screen.find(std::string("capacity V of the statement ") + warning);
    EXPECT_NE(at, std::string::npos) << screen;
    EXPECT_EQ(screen.find("capacity V", at + 1), std::string::npos) << screen;  // once
  }
}

TEST_F(SiltingUpTest, SoilWithoutSandNeitherSealsNorYieldsNaN) {
  ASSERT_EQ(Make(Section("", "1 8\n0.4 0.3\n0\n")), 0);
  EXPECT_TRUE(ScreenHas("SiltingUpModel: the soils 33 hold no sand"));
  model_->RunStep(0, 20, 5, 2001);
  EXPECT_EQ(model_->grids[siltingupclass::kDirectRunoff][2][4], 0.0);
  EXPECT_EQ(model_->grids[siltingupclass::kDisposition][2][4], 0.0);
  EXPECT_EQ(Grid("precipitation")[2][4], 20.0);
  EXPECT_GT(model_->grids[siltingupclass::kDirectRunoff][2][2], 0.0);  // the loam seals
}

}  // namespace
}  // namespace velorn

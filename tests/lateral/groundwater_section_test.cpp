// Reading of [groundwater_flow], [groundwater_tuning] and the lake part, the set-up of layer 1,
// the guards of the solvers against cells without storage, and the control point file.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/error_code.h"
#include "tests/lateral/groundwater_fixture.h"

namespace velorn {
namespace {

using test::GroundwaterTest;

class GroundwaterSection : public GroundwaterTest {
 protected:
  GroundwaterSection() : GroundwaterTest(3, 3, 100.0) {}
  std::string ControlFile() { return dir_ / "control.txt"; }
};

struct PondCase {
  const char* name;
  const char* line;
  bool ponding_grid;
  const char* info;
  bool used;
};

TEST_F(GroundwaterSection, UsePondFlagLineInItsThreeForms) {
  const PondCase cases[] = {
      {"one with grid", "1 ponds", true,
       "in modul groundwater_flow: Use-Pond-Flag is 1\n POND-Grid was found --> PONDs will "
       "be used in GW-Model",
       true},
      {"one without grid", "1", false,
       "in modul groundwater_flow: Use-Pond-Flag is 1\n POND-Grid was not found --> no "
       "PONDs will be used in GW-Model",
       false},
      // The comment after '0' is skipped, not taken as the first heads file name.
      {"zero with comment", "0 comment.asc", false,
       "in modul groundwater_flow: Use-Pond-Flag is 0; --> no PONDs will be used in GW-Model",
       false},
  };
  for (const PondCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    AddInputs(1, -1.0, 1e-4, 0.1);
    if (c.ponding_grid) Add("ponding_storage", 0);
    ASSERT_EQ(Make(Section(1, 1, 1.5, 1, "0 0", c.line)), 0) << screen_.str();
    EXPECT_TRUE(ScreenHas(c.info)) << screen_.str();
    EXPECT_EQ(model_->use_ponding, c.used);
    EXPECT_EQ(*registry_[registry_.FindIdentifier("gw_head_1")].file_name, "head1.asc");
  }
  // Without the flag line the heads block follows directly.
  Reset();
  AddInputs(1, -1.0, 1e-4, 0.1);
  std::string text = Section(1, 1);
  text.erase(text.find("0 no ponds\n"), 11);
  ASSERT_EQ(Make(text), 0) << screen_.str();
  EXPECT_TRUE(ScreenHas("no POND-Grid will be used because Use-Pond-Flag is not present"));
  EXPECT_EQ(*registry_[registry_.FindIdentifier("gw_head_1")].file_name, "head1.asc");
}

TEST_F(GroundwaterSection, ControlCellIsNoneOrInsideTheGrid) {
  AddInputs(1, -1.0, 1e-4, 0.1);
  ASSERT_EQ(Make(Section(1, 1)), 0);
  EXPECT_FALSE(std::filesystem::exists(ControlFile()));
  model_->ReleaseMemory();
  model_.reset();
  // Row and column: one of them 0 alone is no cell (column 0 used to pass as a valid column).
  EXPECT_EQ(Make(Section(1, 1, 1.5, 1, "2 0")), kGwControlColumnCode);
  EXPECT_EQ(Make(Section(1, 1, 1.5, 1, "0 2")), kGwControlRowCode);
  EXPECT_EQ(Make(Section(1, 1, 1.5, 1, "4 1")), kGwControlRowCode);
  EXPECT_EQ(Make(Section(1, 1, 1.5, 1, "1 4")), kGwControlColumnCode);
  // A malformed value ends in the control-file FATAL.
  std::string text = Section(1, 1);
  text.replace(text.find("20000 maxiter"), 5, "many");
  EXPECT_EQ(Make(text), kControlFileErrorCode);
}

// Values no aquifer or solver can have, in the section or in a basin cell of a grid of layer 1
// or 2: each ends with its code and names the value, the grid or key and the range.
TEST_F(GroundwaterSection, RefusesValuesNoAquiferCanHold) {
  struct Case {
    const char* grid;  // "" for a value of the section
    double value;
    std::string section;
    const char* message;
    int code;
  };
  const Case cases[] = {
      {"", 0, Section(1, 2, 3.0), "sor-parameter in groundwater_flow is 3, it must lie below 2",
       kControlFileErrorCode},
      {"", 0, Section(1, 2, 1.5, 1, "0 0", "0 no ponds", 0),
       "maxiter in groundwater_flow is 0, it must lie within 1 to 1e+07", kControlFileErrorCode},
      {"", 0, Section(1, 2, 1.5, 1, "0 0", "0 no ponds", 20, -0.001),
       "maxerror_allowed in groundwater_flow is -0.001, it must lie above 0",
       kControlFileErrorCode},
      {"gw_boundary_fix_q_1", -1, Section(1, 2),
       "grid gw_boundary_fix_q_1: the cell at row 2, column 3 holds -1, outside -0.00555556 to "
       "0.00555556 m/s",
       kGridFormatCode},
      {"gw_k_x_2", 1e308, Section(1, 2), "grid gw_k_x_2: the cell at row 2, column 3 holds 1e+308",
       kGridFormatCode},
      {"gw_k_y_1", -1e-4, Section(1, 2), "outside 0 to 10 m/s", kGridFormatCode},
      {"aquifer_thickness_2", -10, Section(1, 2), "grid aquifer_thickness_2: the cell at row 2",
       kGridFormatCode},
      {"aquifer_thickness_2", 1e308, Section(1, 2), "holds 1e+308, outside 0 to 20000 m",
       kGridFormatCode},
      {"gw_storage_coeff_2", -0.1, Section(1, 2), "holds -0.1, outside 0 to 1", kGridFormatCode},
      {"gw_kolmation_1", 1e308, Section(1, 2), "grid gw_kolmation_1: the cell at row 2",
       kGridFormatCode},
      {"gw_kolmation_1", -1e-6, Section(1, 2), "holds -1e-06, outside 0 to 1 1/s", kGridFormatCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.grid) + " " + c.message);
    Reset();
    AddInputs(2, -1.0, 1e-4, 0.1);
    if (*c.grid != '\0') G(c.grid)[2][3] = c.value;
    EXPECT_EQ(Make(c.section), c.code);
    EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
  }
  // Layer 1's thickness is the soil profile's: its grid only marks the cells.
  Reset();
  AddInputs(2, -1.0, 1e-4, 0.1);
  G("aquifer_thickness_1")[2][3] = -5;
  EXPECT_EQ(Make(Section(1, 2)), 0) << screen_.str();
}

TEST_F(GroundwaterSection, OneLayerNeedsNoLeakageGridAndLayerOneIsTheSoilProfile) {
  AddInputs(1, -1.0, 1e-4, 0.1);
  G("soil_types")[3][3] = 7;  // no entry of the soil table
  ASSERT_EQ(Make(Section(1, 1)), 0) << screen_.str();
  EXPECT_EQ(G("aquifer_thickness_1")[1][1], kProfile);  // 10 m given, the profile is 2.5 m
  EXPECT_EQ(G("aquifer_thickness_1")[3][3], N);
  EXPECT_EQ(Grid("aquifer_upper_limit1")[2][2], kElevation);
  EXPECT_EQ(Head(1, 2, 2), kElevation - 1.0);
}

// Relative directories as a user's control file gives them: the start heads come from the state
// directory, the grids and the control point file go once into the output directory.
TEST_F(GroundwaterSection, StartHeadsAreReadFromTheHeadsFiles) {
  test::ScopedCurrentDir here(dir_.path());
  setup_.input_directory = "./state/";
  setup_.output_directory = "output/";
  std::filesystem::create_directories("state");
  std::filesystem::create_directories("output");
  AddInputs(1, -1.0, 1e-4, 0.1);
  const auto heads = [](double base) {
    return test::AsciiGrid(3, 3, 0, 0, 100, -9999,
                           [base](int r, int c) { return base + r + 0.1 * c; });
  };
  test::WriteFile("state/head1.asc", heads(90));
  test::WriteFile("state/head1_old.asc", heads(80));
  std::string text = Section(1, 1, 1.5, 1, "2 2");
  text.replace(text.find("0 grid read"), 1, "1");
  text.replace(text.find("head1.asc\n0\n"), 12, "head1.asc\n1\n");  // written every step
  ASSERT_EQ(Make(text), 0) << screen_.str();
  EXPECT_DOUBLE_EQ(Head(1, 2, 3), 92.3);
  EXPECT_DOUBLE_EQ(Grid("gw_head_old_1")[3][1], 83.1);
  model_->WriteGridOutput(registry_.FindIdentifier("gw_head_1"), 1, false);
  EXPECT_TRUE(std::filesystem::exists("output/head1.asc")) << screen_.str();
  EXPECT_TRUE(std::filesystem::exists("output/control.txt"));
  EXPECT_FALSE(std::filesystem::exists("output/output"));
  // A heads file without a value at a cell of the basin is bad input.
  Reset();
  AddInputs(1, -1.0, 1e-4, 0.1);
  test::WriteFile("state/head1.asc", test::AsciiGrid(3, 3, 0, 0, 100, -9999, [](int r, int c) {
                    return r == 2 && c == 2 ? -9999.0 : 90.0;
                  }));
  EXPECT_EQ(Make(text), 22);
  EXPECT_NE(screen_.str().find("hold no value at row 2, column 2"), std::string::npos);
}

TEST_F(GroundwaterSection, TuningIsReadWithEitherLineEnd) {
  const std::pair<const char*, double> cases[] = {
      {"\n[groundwater_tuning]\n  frozenDepthScaling = 0.5\n", 0.5},
      {"\r\n[groundwater_tuning]\r\n\tfrozenDepthScaling = 0.25\r\n\r\n", 0.25},
      {"\n[groundwater_tuning]\n\nfrozenDepthScaling = 0.5\n", 1.0},  // ended by the empty line
      {"\n", 1.0},
  };
  for (const auto& [tuning, expected] : cases) {
    Reset();
    AddInputs(1, -1.0, 1e-4, 0.1);
    ASSERT_EQ(Make(Section(1, 1) + tuning), 0) << screen_.str();
    EXPECT_EQ(model_->frozen_depth_scaling, expected) << tuning;
  }
  Reset();
  AddInputs(1, -1.0, 1e-4, 0.1);
  EXPECT_EQ(Make(Section(1, 1) + "\n[groundwater_tuning]\nfrozenDepthScaling = -1\n"),
            kControlFileErrorCode);
  EXPECT_TRUE(
      ScreenHas("frozenDepthScaling of [groundwater_tuning] for groundwater_flow is -1, it "
                "must lie within 0 to 1000"));
}

TEST_F(GroundwaterSection, LakesNeedThePondFlag) {
  AddInputs(1, -1.0, 1e-4, 0.1);
  ASSERT_EQ(Make(Section(1, 1)), 0);
  EXPECT_TRUE(
      ScreenHas("no LAKE-grid was found in groundwater_flow\nLake modelling is "
                "switched off for groundwater_flow.\n"));
  model_->ReleaseMemory();
  model_.reset();
  Add("lake_codes", 1);
  EXPECT_EQ(Make(Section(1, 1) + "[lake_model]\n0 flow control\n"), 0);
  model_->ReleaseMemory();
  model_.reset();
  EXPECT_EQ(Make(Section(1, 1) + "[lake_model]\n1 flow control\n1 method\n"), kGwLakeCode);
  Add("ponding_storage", 0);
  EXPECT_EQ(Make(Section(1, 1, 1.5, 1, "0 0", "1") + "[lake_model]\n1 flow control\n3 method\n"),
            kGwLakeCode);
}

TEST_F(GroundwaterSection, ExplicitSchemeRefusesACellWithoutStorage) {
  AddInputs(1, -1.0, 1e-4, 0.1);
  G("gw_storage_coeff_1")[2][3] = 0;
  EXPECT_EQ(Make(Section(1, 1, 1.0, 0.0)), kControlFileErrorCode);
  EXPECT_TRUE(ScreenHas("gw_storage_coeff_1 is 0 at row 2, column 3"));
}

TEST_F(GroundwaterSection, IsolatedCellsWithoutStorageKeepTheirHeadsAndTakeTheirInflowOnce) {
  for (int method : {1, 2}) {
    SCOPED_TRACE(method);
    Reset();
    AddInputs(2, 20.0, 1e-4, 0.1);
    // Cell (2, 2) of layer 2 is cut off by glacier all around it.
    GridMatrix& glacier = Add("GlacierizedCells", 1);
    glacier[2][2] = 0;
    G("gw_storage_coeff_2")[2][2] = method == 1 ? 0.0 : 0.1;
    G("gw_boundary_fix_q_2")[2][2] = 1e-6;
    ASSERT_EQ(Make(Section(method, 2)), 0) << screen_.str();
    Run(1);
    const double expected = method == 1 ? 120.0 : 120.0 + 1e-6 * 3600 / 0.1;
    EXPECT_NEAR(Head(2, 2, 2), expected, 1e-12);
  }
}

TEST_F(GroundwaterSection, ControlPointRowsMarkTheGridEdgeAndAreWrittenOnce) {
  AddInputs(1, -1.0, 1e-4, 0.1);
  ASSERT_EQ(Make(Section(1, 1, 1.5, 1, "1 1")), 0) << screen_.str();
  EXPECT_EQ(test::ReadFile(ControlFile()),
            "YY\tMM\tDD\tHH\tcontrol_point_fluxes[1][1][lr: 1, 1]\t[lr: 1, 2]\t[lr: 1, 3]\t"
            "[lr: 1, 4]\t[lr: 1, up]\t[lr: 1, down]\t\n");
  model_->SetInitialised(1);
  model_->FlushBuffers();  // nothing buffered: the file stays as it is
  EXPECT_EQ(test::SplitLines(test::ReadFile(ControlFile())).size(), 1u);
  Run(2);
  model_->FlushBuffers();
  model_->SetInitialised(0);
  model_->ReleaseMemory();
  model_.reset();
  const auto lines = test::SplitLines(test::ReadFile(ControlFile()));
  ASSERT_EQ(lines.size(), 3u);
  // Head, north (edge), east, south, west (edge), baseflow (none: the water table is level).
  const std::string row = lines[1];
  EXPECT_EQ(row.substr(0, row.rfind('\t')), "2001\t6\t1\t1\t99\t-8888\t99\t99\t-8888");
  EXPECT_NEAR(std::stod(row.substr(row.rfind('\t') + 1)), 0.0, 1e-15);
}

}  // namespace
}  // namespace velorn

// The settings object: construction with its error out-parameter, compilation of a control
// file with symbols used in [model_time], hand-out of the settings and release.
#include "setup/defaultini.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"
#include "version.h"

namespace velorn {
namespace {

class DefaultiniTest : public test::DiagTest {
 protected:
  std::unique_ptr<defaultini> Make(int32_t variant) {
    auto settings = std::make_unique<defaultini>(error_, &diag_, dir_ / "run.ctl", nullptr, 200,
                                                 variant, &registry_pointer_);
    EXPECT_EQ(error_, 0);
    return settings;
  }

  GridRegistry registry_;
  GridRegistry* registry_pointer_ = &registry_;
  int32_t error_ = -1;
};

TEST_F(DefaultiniTest, ConstructionWritesTheBannerAndSetsInitialValues) {
  auto settings = Make(2);
  std::string stamp = VELORN_BUILD_TIME;
  stamp.replace(stamp.find(' '), 1, ", ");
  EXPECT_TRUE(ScreenHas("file defltuzr, compiled at " + stamp + "\n")) << screen_.str();
  EXPECT_EQ(settings->module_name, "defaults");
  EXPECT_EQ(settings->registry, &registry_);
  EXPECT_EQ(settings->control_file_name, dir_ / "run.ctl");
  EXPECT_EQ(settings->model_variant, 2);
  EXPECT_EQ(settings->statistics_capacity, 200);
  EXPECT_EQ(settings->setup_step, 0);
  EXPECT_EQ(settings->coupling_wait_interval, 100);
  EXPECT_EQ(settings->coupling_interval_kind, 'I');
  EXPECT_EQ(settings->substep_count, 1);
  EXPECT_EQ(settings->landuse_layers.size(), 1u);
  EXPECT_EQ(settings->irrigation_table, nullptr);
}

TEST(CaptureErrorCode, CodesOfTheConstructorOutParameter) {
  EXPECT_EQ(CaptureErrorCode([] {}), 0);
  EXPECT_EQ(CaptureErrorCode([] { throw ErrorCode{81}; }), 81);
  EXPECT_EQ(CaptureErrorCode([] { throw std::runtime_error("disk"); }), 103);
  EXPECT_EQ(CaptureErrorCode([] { throw 5; }), 103);
}

TEST_F(DefaultiniTest, SymbolsOfTheControlFileReachModelTime) {
  test::WriteFile(dir_ / "run.ctl",
                  "# model time from symbols\n"
                  "$set $first_year = 1999\n"
                  "$set $last_year = 2001\n"
                  "$set $daily = 24\n"
                  "[model_time]\n"
                  "$daily start hour\n1\n1\n$first_year # start year\n"
                  "$daily\n31\n12\n$last_year\n");
  auto settings = Make(2);
  std::string compiled;
  settings->CompileControlFileSymbols(dir_ / "run.ctl", compiled);
  EXPECT_EQ(compiled, dir_ / "run.ctl.$$$");
  EXPECT_EQ(settings->compiled_control_file_name, compiled);
  EXPECT_EQ(settings->control_file_name, compiled);
  EXPECT_TRUE(ScreenHas("compiling symbols in control file " + (dir_ / "run.ctl")));

  settings->control_file = std::make_unique<ControlFileReader>();
  ASSERT_TRUE(settings->control_file->Open(compiled));
  settings->ReadModelTime();
  EXPECT_EQ(settings->start_date, (ModelDate{1999, 1, 1, 24}));
  EXPECT_EQ(settings->end_date, (ModelDate{2001, 12, 31, 24}));
  EXPECT_EQ(settings->month_lengths[1], 28);

  // An undefined symbol stops the compilation with code 17.
  test::WriteFile(dir_ / "bad.ctl", "[model_time]\n$start\n");
  try {
    settings->CompileControlFileSymbols(dir_ / "bad.ctl", compiled);
    ADD_FAILURE() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 17);
  }
}

TEST_F(DefaultiniTest, HandOutCopiesSettingsAndSharesTables) {
  const std::string irrigation = "[irrigation]\n1\n[irrigation_table]\n1\n3 rice 3 1 10 5\n";
  for (const int32_t variant : {2, 3}) {
    auto settings = Make(variant);
    settings->control_file = std::make_unique<ControlFileReader>();
    settings->control_file->OpenText(irrigation);
    settings->ReadIrrigationSections(variant);
    ASSERT_NE(settings->irrigation_table, nullptr);
    settings->compiled_control_file_name = "run.ctl.$$$";
    settings->output_settings.output_control = 24;
    settings->output_settings.min_to_int_end = 1440;
    settings->output_settings.meteo_count = 1;
    settings->output_settings.meteo_names = {"", "temperature"};
    settings->output_settings.output_list_count = 1;
    settings->output_settings.output_list_codes = {0, 7};
    settings->output_settings.write_netcdf = true;
    settings->output_settings.default_output_directory = "out/";
    settings->ncols = 12;
    settings->nrows = 9;
    settings->first_local_row = 4;
    settings->last_local_row = 6;
    settings->cellsize = 25;
    settings->nodata = -9999;
    settings->start_date = {2000, 1, 1, 0};
    settings->end_date = {2000, 12, 31, 23};
    settings->registered_grid_count = 5;

    ModelSettings handed;
    EXPECT_EQ(settings->GetModelSettings(handed), 0);
    EXPECT_EQ(handed.compiled_control_file_name, "run.ctl.$$$");
    EXPECT_TRUE(settings->compiled_control_file_name.empty());
    EXPECT_EQ(handed.output_control, 24);
    EXPECT_DOUBLE_EQ(handed.min_to_int_end, 1440);
    EXPECT_EQ(handed.meteo_names, settings->output_settings.meteo_names);
    ASSERT_EQ(handed.output_list_codes, settings->output_settings.output_list_codes.data());
    EXPECT_EQ(handed.output_list_codes[1], 7);
    EXPECT_TRUE(handed.write_netcdf);
    EXPECT_FALSE(handed.write_ascii);
    EXPECT_EQ(handed.default_output_directory, "out/");
    EXPECT_TRUE(handed.initial_state_directory.empty());
    EXPECT_EQ(handed.ncols, 12);
    EXPECT_EQ(handed.first_local_row, 4);
    EXPECT_EQ(handed.last_local_row, 6);
    EXPECT_DOUBLE_EQ(handed.cellsize, 25);
    EXPECT_EQ(handed.end_date, (ModelDate{2000, 12, 31, 23}));
    EXPECT_EQ(handed.registered_grid_count, 5);
    EXPECT_EQ(handed.mpi_layout, &settings->decomposition.layout);
    // The irrigation table is handed out for model variant 2 only, though read for 3 too.
    EXPECT_EQ(handed.irrigation_table, variant == 2 ? settings->irrigation_table.get() : nullptr);
    settings->ReleaseMemory();
  }
}

TEST_F(DefaultiniTest, ReleaseFreesItsGridsAndNothingBeyond) {
  auto settings = Make(2);
  settings->ncols = 3;
  settings->nrows = 2;
  GridMatrix foreign(diag_, 1, 2, 3, 0);
  const int64_t live_before = LiveMatrixCount();
  for (int index = 1; index <= 4; ++index) {
    double** grid = AllocateMatrix(diag_, 1, 2, 1, 3, 0);
    settings->RegisterGrid(index, "grid" + std::to_string(index), grid, nullptr, 0,
                           "id" + std::to_string(index), 10, 1, 2);
  }
  registry_[3].statistics_file_name = "stat3.txt";
  // Entry 5 belongs to another model: beyond the two grids the settings object counts.
  settings->RegisterGrid(5, "foreign", foreign.get(), nullptr, 0, "foreign", 0, 1, 2);
  settings->registered_grid_count = 2;
  EXPECT_EQ(LiveMatrixCount(), live_before + 8);  // four grids with their period companions

  settings->ReleaseMemory();
  EXPECT_EQ(LiveMatrixCount(), live_before);
  for (int index = 1; index <= 4; ++index) {
    EXPECT_TRUE(registry_[index].IsFree()) << index;
    EXPECT_EQ(registry_[index].grid, nullptr);
  }
  EXPECT_FALSE(registry_[3].statistics_file_name.has_value());
  EXPECT_TRUE(registry_[5].HasIdentifier("foreign"));
  EXPECT_EQ(registry_[5].grid, foreign.get());
  EXPECT_TRUE(ScreenHas("deleting module defaults\n"));
  EXPECT_EQ(settings->module_name, "");
  settings->UnregisterGrid(5);
}

}  // namespace
}  // namespace velorn

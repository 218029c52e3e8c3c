// Sub-model base: reading the opening values of a section (on, off, absent, unreadable), the
// time-interval check, stored shared values (lakes off with response units), the step hook's
// DEBUG lines and the fpe report.
#include "core/submodel.h"

#include <gtest/gtest.h>

#include <string>

#include "core/error_code.h"
#include "tests/support/submodel_fixture.h"
#include "tests/support/velorn_runner.h"

namespace velorn {
namespace {

using test::ThrownCode;

// The smallest sub-model: the base plus the one value it reads from its own section.
class TestModel : public teilmodellklasse {
 public:
  TestModel(const SubModelSetup& setup, bool required = false)
      : teilmodellklasse(setup, "test_model", 2, required) {
    if (GetFlowControl() == 0) return;
    ReadValue(*control_file, own_value, "own value in ");
    control_file->Close();
  }
  int own_value = -1;
};

class SubModelBase : public test::SubModelTest {
 protected:
  // FATAL entries in the diagnostics file so far.
  std::size_t FatalCount() const {
    const std::string file = test::ReadFile(diag_.file_name());
    std::size_t count = 0;
    for (std::size_t at = file.find("level=\"0\""); at != std::string::npos;
         at = file.find("level=\"0\"", at + 1))
      ++count;
    return count;
  }
};

struct SectionCase {
  const char* name;
  std::string text;
  double min_to_int_end;
  bool required;
  int code;         // thrown code, -1 none
  int flow;         // flow control after construction
  int own_value;    // what the derived model read, -1 nothing
  bool file_open;   // control file left open by the base
  bool fatal_line;  // some FATAL entry written
};

TEST_F(SubModelBase, ReadsTheOpeningValuesOfItsSection) {
  const std::string other = "[other]\n1 flow\n60 interval\n";
  const SectionCase cases[] = {
      {"on", other + "[test_model]\n1 flow\n1440 min\n7 own\n", 1440, false, -1, 1, 7, false,
       false},
      {"off", "[test_model]\n0 flow\n60 min\n7 own\n", 0, false, -1, 0, -1, false, false},
      {"absent, optional", other, 0, false, -1, 0, -1, false, false},
      {"absent, required", other, 0, true, kControlFileErrorCode, 0, -1, true, true},
      {"unreadable flow", "[test_model]\nx flow\n60 min\n", 0, false, kControlFileErrorCode, 0, -1,
       true, true},
      {"interval one minute short", "[test_model]\n1 flow\n59 min\n", 60, false, kTimeIntervalCode,
       1, -1, true, true},
      {"interval equal", "[test_model]\n1 flow\n60 min\n3 own\n", 60, false, -1, 1, 3, false,
       false},
      {"interval zero", "[test_model]\n1 flow\n0 min\n", 0, false, kTimeIntervalCode, 1, -1, true,
       true},
      {"interval negative", "[test_model]\n0 flow\n-60 min\n", 0, false, kTimeIntervalCode, 0, -1,
       true, true},
      // Longer than a year: 1e20 minutes would make day loops of 1e17 passes.
      {"interval 1e20", "[test_model]\n1 flow\n1e20 min\n", 0, false, kTimeIntervalCode, 1, -1,
       true, true},
      {"interval 2147483648", "[test_model]\n1 flow\n2147483648\n", 0, false, kTimeIntervalCode, 1,
       -1, true, true},
      {"interval a year", "[test_model]\n1 flow\n527040 min\n3 own\n", 0, false, -1, 1, 3, false,
       false},
  };
  for (const SectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteControlFile(c.text);
    setup_.min_to_int_end = c.min_to_int_end;
    const std::size_t fatal_before = FatalCount();
    std::unique_ptr<TestModel> model;
    EXPECT_EQ(ThrownCode([&] { model = std::make_unique<TestModel>(setup_, c.required); }), c.code);
    EXPECT_EQ(FatalCount() > fatal_before, c.fatal_line);
    if (!model) continue;
    // An optional section that is absent is named in a WARNING.
    EXPECT_EQ(ScreenHas("the control file has no section [test_model]: test_model is switched "
                        "off."),
              c.text == other);
    screen_.str("");
    EXPECT_EQ(model->GetFlowControl(), c.flow);
    EXPECT_EQ(model->own_value, c.own_value);
    EXPECT_EQ(model->control_file->is_open(), c.file_open);
    EXPECT_EQ(model->GetSubStepCount(), 2);
  }
}

TEST_F(SubModelBase, ReportsFailuresWithTheirMessages) {
  setup_.control_file_name = dir_ / "missing.ctl";
  EXPECT_EQ(ThrownCode([&] { TestModel model(setup_); }), kControlFileOpenCode);
  EXPECT_TRUE(ScreenHas("error opening " + setup_.control_file_name));

  setup_.control_file_name = dir_ / "run.ctl.$$$";
  WriteControlFile("[test_model]\n1 flow\n59 min\n");
  setup_.min_to_int_end = 60;
  EXPECT_EQ(ThrownCode([&] { TestModel model(setup_); }), kTimeIntervalCode);
  EXPECT_TRUE(
      ScreenHas("\n-------- error --------\n\nthe time step 59 minutes as given in the "
                "section for the module test_model \nis shorter than the parameter "
                "min_to_int_end with 60 minutes\n"));
}

TEST_F(SubModelBase, StoresTheSharedValuesAndTheStepLength) {
  GridMatrix weights = test::FilledGrid(diag_, 3, 4, 1.0);
  registry_.Register(diag_, 1, "zones.asc", weights.get(), nullptr, 0, "zonegrid", 0, 1, 3, 4, 3);
  registry_.Register(diag_, 2, "w.asc", weights.get(), nullptr, 0, "RelCellArea", 0, 1, 3, 4, 3);
  std::vector<int32_t> list = {0, 1};
  setup_.output_list_count = 1;
  setup_.output_list_codes = list.data();
  setup_.latitude = 47.5;
  WriteControlFile("[test_model]\n1 flow\n59.9 min\n5 own\n");
  TestModel model(setup_);
  EXPECT_EQ(model.GetTimeInterval(), 59);
  EXPECT_DOUBLE_EQ(model.steps_per_day, 1440.0 / 59.9);
  EXPECT_EQ(list[0], 1);  // the count goes into element 0
  EXPECT_EQ(model.zone_grid, weights.get());
  EXPECT_EQ(model.relative_cell_area, weights.get());
  EXPECT_EQ(model.end_key, ModelTimeKey(2001, 12, 31, 24));
  EXPECT_EQ(model.latitude, 47.5);
  EXPECT_EQ(model.solar_constants[3], -3.2);  // January
  EXPECT_EQ(model.module_name, "test_model");
  EXPECT_TRUE(ScreenHas("initializing module test_model"));
  // Lakes stay on without response units, and go off with them, saying so.
  int32_t lakes = 1;
  model.SwitchLakesOffForResponseUnits(lakes);
  EXPECT_EQ(lakes, 1);
  setup_.response_unit_switch = 1;
  TestModel units(setup_);
  units.SwitchLakesOffForResponseUnits(lakes);
  EXPECT_EQ(lakes, 0);
  EXPECT_NE(test::ReadFile(diag_.file_name()).find("test_model: hydrologic response units are on"),
            std::string::npos);
}

struct StepCase {
  int report_interval;
  double min_to_int_end;
  int64_t hour;
  bool logged;
};

TEST_F(SubModelBase, RunStepLogsAtMultiplesOfTheReportInterval) {
  const StepCase cases[] = {
      {24, 0, 0, true},    {24, 0, 24, true}, {24, 0, 12, false}, {24, 720, 12, true},
      {24, 720, 0, false}, {1, 0, 7, true},   {0, 0, 7, true},    {-3, 0, 5, true},
      {6, 60, 5, true},    {6, 90, 5, true},  {6, 90, 4, false},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.report_interval << " " << c.min_to_int_end << " " << c.hour);
    WriteControlFile("[test_model]\n1 flow\n1440 min\n0 own\n");
    setup_.report_interval = c.report_interval;
    setup_.min_to_int_end = c.min_to_int_end;
    TestModel model(setup_);
    const std::size_t before = screen_.str().size();
    model.RunStep(c.hour, 3, 7, 2001);
    EXPECT_EQ(model.step_date, (ModelDate{2001, 7, 3, c.hour}));
    const std::string line =
        "          test_model 3.7.2001 " + std::to_string(c.hour) + ". h (time of meteo data)";
    EXPECT_EQ(screen_.str().find(line, before) != std::string::npos, c.logged);
  }
  // An interval of 48 hours on daily steps reports every second day, counted from the start.
  setup_.report_interval = 48;
  setup_.min_to_int_end = 0;
  setup_.start_date = {2001, 7, 1, 0};
  TestModel model(setup_);
  for (int day = 1; day <= 4; ++day) {
    const std::size_t before = screen_.str().size();
    model.RunStep(24, day, 7, 2001);
    EXPECT_EQ(screen_.str().size() > before, day % 2 == 0) << day;
  }
}

TEST_F(SubModelBase, ReportsOneFpePerSignal) {
  WriteControlFile("[test_model]\n0 flow\n60 min\n");
  TestModel model(setup_);
  const int states[][2] = {
      {kFpeSignalled, kFpeReported}, {kFpeReported, kFpeNone}, {kFpeNone, kFpeNone}};
  for (const auto& s : states) {
    model.fpe_state = s[0];
    const std::size_t before = screen_.str().size();
    model.ReportFpe(1, 2, 3, 4, 0.5, 1.5, 2.5, 3.5, 4.5);
    EXPECT_EQ(model.fpe_state, s[1]);
    EXPECT_EQ(screen_.str().find("fpe in i1: 1, i2: 2, i3: 3, i4: 4\na1: 0.5 a2: 1.5 a3: 2.5 "
                                 "a4: 3.5 a5: 4.5",
                                 before) != std::string::npos,
              s[0] == kFpeSignalled);
  }
}

}  // namespace
}  // namespace velorn

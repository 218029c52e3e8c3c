// Model-object base: construction, end date, process log, directory prefixes, registry access
// with its reports, the units-8 output hook and release.
#include "core/modelobject.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::ThrownCode;

// Records the output calls that registration makes.
class RecordingObject : public modelobject {
 public:
  using modelobject::modelobject;
  void WriteGridOutput(int index, int mpiMode, bool gridOnly) override {
    calls.push_back({index, mpiMode, gridOnly ? 1 : 0});
  }
  std::vector<std::array<int, 3>> calls;
};

struct ObjectFixture : ::testing::Test, test::CapturedDiag {
  GridRegistry registry;
  RecordingObject object{&diag, "run.ctl.$$$", 0,       true, false,  true,
                         "in/", "out/",        nullptr, 0,    nullptr};

  void SetUp() override {
    object.SetModuleName("snow_model");
    object.registry = &registry;
    object.ncols = 4;
    object.nrows = 3;
  }
};

TEST_F(ObjectFixture, ConstructionKeepsArgumentsAndDefaults) {
  EXPECT_EQ(object.control_file_name, "run.ctl.$$$");
  EXPECT_TRUE(object.write_ascii);
  EXPECT_FALSE(object.write_double);
  EXPECT_TRUE(object.write_netcdf);
  EXPECT_EQ(object.input_directory, "in/");
  EXPECT_EQ(object.output_directory, "out/");
  const int rank = test::Rank();
  EXPECT_EQ(object.rank, rank);
  EXPECT_EQ(object.month_lengths[1], 28);
  EXPECT_EQ(object.key_weights[1], 7750);
  EXPECT_EQ(object.gif_limit, 127);
  EXPECT_EQ(object.control_file, nullptr);
  EXPECT_EQ(ThrownCode([&] {
              modelobject long_name(&diag, std::string(2401, 'c'), 0, false, false, false, "", "",
                                    nullptr, 0, nullptr);
            }),
            1);
  modelobject plain;
  EXPECT_EQ(plain.size, 1);
}

TEST_F(ObjectFixture, EndDateKey) {
  object.SetEndDate(2000, 12, 31, 24);
  EXPECT_EQ(object.end_key, 2000 * 93000 + 12 * 7750 + 31 * 250 + 24);
  EXPECT_EQ(object.end_date, (ModelDate{2000, 12, 31, 24}));
  EXPECT_GT(ModelTimeKey(2001, 1, 1, 0), object.end_key);
  object.min_to_int_end = 60;
  object.time_shift = 1;
  EXPECT_EQ(object.GetTimeShiftHours(), 1);
  object.SetReportInterval(24);
  EXPECT_EQ(object.GetReportInterval(), 24);
}

TEST_F(ObjectFixture, LogIsWrittenByProcessZeroOnly) {
  test::ScopedCurrentDir here(dir.path());
  object.rank = 0;
  object.WriteLog(0, "first line");
  object.WriteLog(0, "second line");
  const std::string log = test::ReadFile("modell_0.log");
  // ctime form: "Www Mmm dd hh:mm:ss yyyy\n", then ": " and the text.
  EXPECT_NE(log.find("\n: first line\n"), std::string::npos);
  EXPECT_NE(log.find("\n: second line\n"), std::string::npos);
  EXPECT_EQ(log.find(':'), 13u);  // the first colon is that of the time
  object.rank = 2;
  object.WriteLog(0, "from two");
  EXPECT_FALSE(std::filesystem::exists("modell_2.log"));
  EXPECT_EQ(test::ReadFile("modell_0.log"), log);
}

TEST_F(ObjectFixture, PrefixDirectory) {
  std::string a = "a.grd", b = "data/a.grd", c = "/abs/a.grd", d = "~/a.grd";
  for (std::string* name : {&a, &b, &c, &d}) object.PrefixDirectory("out/", *name);
  EXPECT_EQ(a, "out/a.grd");
  EXPECT_EQ(b, "out/data/a.grd");
  EXPECT_EQ(c, "/abs/a.grd");
  EXPECT_EQ(d, "~/a.grd");
  std::string e = "a.grd";
  object.PrefixDirectory("", e);
  EXPECT_EQ(e, "a.grd");
  // A result longer than a file name may be is refused, the name stays as it was.
  std::string f(2396, 'n');
  EXPECT_EQ(ThrownCode([&] { object.PrefixDirectory("out/x", f); }), 1);
  EXPECT_EQ(f.size(), 2396u);
  object.PrefixDirectory("out/", f);
  EXPECT_EQ(f.size(), 2400u);
}

TEST_F(ObjectFixture, RequireGridReportsTheMissingGridAndModule) {
  object.RegisterGrid(1, "zones.asc", nullptr, nullptr, 0, "zones", 0, 1, 3);
  object.RegisterGrid(2, "t.asc", nullptr, nullptr, 0, "temperature", 0, 1, 3);
  EXPECT_EQ(object.RequireGrid("temperature"), 2);
  EXPECT_EQ(ThrownCode([&] { object.RequireGrid("precipitation"); }), 33);
  EXPECT_NE(screen.str().find("precipitation not found in memory,\nThese data are needed within "
                              "snow_model \nif they are interpolated data"),
            std::string::npos);
  EXPECT_EQ(object.RequireOneOfThreeGrids("a", "temperature", "zones"), 2);
  EXPECT_EQ(object.RequireOneOfFourGrids("a", "b", "zones", "temperature"), 1);
  EXPECT_EQ(ThrownCode([&] { object.RequireOneOfThreeGrids("a", "b", "c"); }), 33);
  EXPECT_NE(screen.str().find("Wether a, b or c \nwhere found in memory,"), std::string::npos);
  EXPECT_EQ(ThrownCode([&] { object.RequireOneOfFourGrids("a", "b", "c", "d"); }), 33);
  EXPECT_NE(screen.str().find("interpolatior for\na, b, c or d in the control file,"),
            std::string::npos);
  // FindGrid with flag 0 needs grid data; these entries have none.
  EXPECT_EQ(object.FindGrid("temperature", 0), 0);
  EXPECT_EQ(object.FindGrid("temperature", 1), 2);
}

TEST_F(ObjectFixture, UnitsDigitEightWritesAtRegistration) {
  GridMatrix grid(diag, 1, 3, 4, 0);
  object.RegisterGrid(1, "a.asc", grid.get(), nullptr, 0, "a", 1, 1, 3);
  object.RegisterGrid(2, "b.asc", grid.get(), nullptr, 0, "b", 18, 1, 3);
  ASSERT_EQ(object.calls.size(), 1u);
  EXPECT_EQ(object.calls[0], (std::array<int, 3>{2, 1, 0}));
  EXPECT_TRUE(registry[2].period_grid);
  object.UnregisterGrid(2);
  EXPECT_EQ(object.FindGrid("b", 0), 0);
  EXPECT_EQ(ThrownCode([&] { object.RegisterGrid(1000, "c", nullptr, nullptr, 0, "c", 0, 1, 3); }),
            12);
}

TEST_F(ObjectFixture, StatisticsAndRelease) {
  object.ResetStatistics(-9999);
  object.AddToStatistics(5, 0.4);
  object.AddToStatistics(8, 0.7);
  double count, minimum, maximum, sum, mean, sd;
  object.GetStatistics(count, minimum, maximum, sum, mean, sd);
  EXPECT_DOUBLE_EQ(count, 1.1);
  EXPECT_EQ(minimum, 5);
  EXPECT_EQ(maximum, 8);
  EXPECT_EQ(sd, -9999);
  EXPECT_EQ(object.InterpolateLinear(0, 10, 10, 20, 5), 15);

  object.SetInitialised(1);
  EXPECT_EQ(object.initialised, 1);
  object.ReleaseMemory();
  EXPECT_NE(DiagFile().find("level=\"4\" description= \"deleting module snow_model\"/>"),
            std::string::npos);
  EXPECT_TRUE(object.module_name.empty());
  EXPECT_TRUE(object.control_file_name.empty());
  object.registry = nullptr;
  EXPECT_THROW(object.FindGrid("x", 0), std::logic_error);
}

}  // namespace
}  // namespace velorn

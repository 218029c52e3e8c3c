// KNMI daily values to station tables: units converted as worked out by hand, records of other
// years left out, blank fields missing, and faulty files refused; the example's files are the
// generator's output.
#include "tools/station_series.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velorn::tools {
namespace {

const std::string kHeader =
    "SOURCE: ROYAL NETHERLANDS METEOROLOGICAL INSTITUTE (KNMI)\n"
    "YYYYMMDD  = Date\n\n"
    "# STN,YYYYMMDD,   FG,   TG,   Q,   SP,   RH,   UG\n\n";

TEST(KnmiDaily, ConvertsTheUnitsOfOneYear) {
  const std::string text = kHeader +
                           "  260,20181231,   50,   10,  100,   20,   30,   90\n"
                           "  260,20190101,   36,   46,  388,   61,   -1,   86\n"
                           "  260,20190102,   33,  -12,     ,    0,   25,  100\n";
  const auto days = ReadKnmiDaily(text, 2019);
  ASSERT_EQ(days.size(), 2u);
  struct Case {
    double DailyWeather::*field;
    double first, second;
  } cases[] = {
      {&DailyWeather::wind_speed, 3.6, 3.3},
      {&DailyWeather::temperature, 4.6, -1.2},
      {&DailyWeather::radiation, 1077.7777777777778, kMissingValue},  // 388 J/cm2 = 3880000 J/m2
      {&DailyWeather::sunshine, 0.61, 0.0},
      {&DailyWeather::precipitation, 0.0, 2.5},  // -1: less than 0.05 mm
      {&DailyWeather::humidity, 0.86, 1.0},
  };
  for (const Case& k : cases) {
    EXPECT_DOUBLE_EQ(days[0].*k.field, k.first);
    EXPECT_DOUBLE_EQ(days[1].*k.field, k.second);
  }
  EXPECT_EQ(days[1].year * 10000 + days[1].month * 100 + days[1].day, 20190102);
}

TEST(KnmiDaily, RefusesFilesItCannotRead) {
  const std::string cases[] = {
      "260,20190101,36\n",                                               // no title line
      kHeader + "  260,20190101,   3x,   46,  388,   61,   -1,   86\n",  // not a number
      kHeader + "  260,20190101,   36,   46\n",                          // columns missing
      kHeader + "  260,20180101,   36,   46,  388,   61,   -1,   86\n",  // no record of 2019
  };
  for (const std::string& text : cases)
    EXPECT_THROW(ReadKnmiDaily(text, 2019), std::runtime_error) << text;
}

TEST(StationTable, HoldsTheHeaderTheInterpolatorReadsAndOneRecordPerDay) {
  std::vector<DailyWeather> days(2);
  days[0] = {2019, 1, 1, 4.6};
  days[1] = {2019, 1, 2, kMissingValue};
  const StationTable table{"De Bilt temperature", 2415.9, 7999, 7271, "%.1f"};
  EXPECT_EQ(FormatStationTable(table, days, &DailyWeather::temperature),
            "De Bilt temperature\n"
            "station altitude in m 2415.9\n"
            "station x in m 7999.0\n"
            "station y in m 7271.0\n"
            "YYYY MM DD HH DeBilt\n"
            "2019 01 01 00 4.6\n"
            "2019 01 02 00 -9999\n");
}

// The shipped example is what the generator makes of the files in its source folder.
TEST(ExampleBasin, TheGeneratorReproducesTheShippedFiles) {
  const char* generator = std::getenv("VELORN_EXAMPLE_GENERATOR");
  const char* source = std::getenv("VELORN_SOURCE_DIR");
  if (generator == nullptr || source == nullptr) GTEST_SKIP() << "generator or source not given";
  namespace fs = std::filesystem;
  const fs::path example = fs::path(source) / "examples" / "front-range";
  const fs::path out = fs::temp_directory_path() / ("velorn-example-" + std::to_string(::getpid()));
  const std::string command =
      std::string(generator) + " --dem '" +
      (example / "source/SRTMGL3_40.09_-105.56_40.21_-105.44.asc").string() + "' --knmi '" +
      (example / "source/etmgeg_260_2019.txt").string() + "' --year 2019 --out '" + out.string() +
      "' > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  auto read = [](const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    if (!entry.is_regular_file()) continue;
    const fs::path relative = fs::relative(entry.path(), out);
    EXPECT_EQ(read(entry.path()), read(example / relative)) << relative;
    ++files;
  }
  EXPECT_EQ(files, 17);  // eleven grids and six station tables
  fs::remove_all(out);
}

}  // namespace
}  // namespace velorn::tools

// Output settings: [output_interval] with its keyword block, [output_list], [coordinates],
// [meteo_data_count], [meteo_names] and [soil_surface_groundwater_substeps], with their
// messages and codes.
#include <gtest/gtest.h>

#include "core/error_code.h"
#include "setup/defaultini.h"
#include "tests/support/settings_test.h"

namespace velorn {
namespace {

const std::string kInterval =
    "[output_interval]\n24 output control\n0 no-station warning\n7 third value\n"
    "1440 min_to_int_end\nWriteAsciiGrids = 1\nInitialStateDirectory = /data/state/\n"
    "   DefaultOutputDirectory = out/\n\n";
const std::string kList = "[output_list]\n3\n101 first zone\n205\n300\n";
const std::string kCoordinates = "[coordinates]\n47.5 lat\n8.25 lon\n15 meridian\n-1 shift\n";
const std::string kMeteo = "[meteo_data_count]\n2\n[meteo_names]\ntemperature T\nprecipitation\n";

class OutputSettingsTest : public test::SettingsTest {
 protected:
  // Writes the compiled file and reads it; returns the code thrown (0 on success).
  int Read(const std::string& text) {
    test::WriteFile(file_, text);
    screen_.str("");
    return test::ThrownCode([&] { settings_.ReadOutputSettings(file_); }, 0);
  }

  int Substeps(const std::string& text, int32_t& count) {
    test::WriteFile(file_, text);
    settings_.control_file_name = file_;
    return test::ThrownCode([&] { count = settings_.ReadSoilSurfaceGroundwaterSubsteps(); }, 0);
  }

  const OutputSettings& out() const { return settings_.output_settings; }

  std::string file_ = dir_ / "run.ctl.$$$";
};

TEST_F(OutputSettingsTest, ReadsAllFiveSections) {
  ASSERT_EQ(Read(kInterval + kList + kCoordinates + kMeteo), 0) << screen_.str();
  EXPECT_EQ(out().output_control, 24);
  EXPECT_EQ(out().no_station_warning, 0);
  EXPECT_EQ(out().third_output_value, 7);
  EXPECT_DOUBLE_EQ(out().min_to_int_end, 1440);
  EXPECT_TRUE(out().write_ascii);
  EXPECT_FALSE(out().write_double);
  EXPECT_FALSE(out().write_netcdf);
  EXPECT_EQ(out().initial_state_directory, "/data/state/");
  EXPECT_EQ(out().default_output_directory, "out/");
  EXPECT_EQ(out().output_list_count, 3);
  EXPECT_EQ(out().output_list_codes, (std::vector<int32_t>{0, 101, 205, 300}));
  EXPECT_EQ(settings_.output_list_count, 3);
  ASSERT_NE(settings_.output_list_codes, nullptr);
  EXPECT_EQ(settings_.output_list_codes[3], 300);
  EXPECT_DOUBLE_EQ(out().latitude, 47.5);
  EXPECT_DOUBLE_EQ(out().longitude, 8.25);
  EXPECT_DOUBLE_EQ(out().reference_meridian, 15);
  EXPECT_DOUBLE_EQ(out().time_shift, -1);
  EXPECT_EQ(out().meteo_count, 2);
  EXPECT_EQ(out().meteo_names, (std::vector<std::string>{"", "temperature", "precipitation"}));
  // The reader leaves no control file behind.
  EXPECT_EQ(settings_.control_file, nullptr);
}

TEST_F(OutputSettingsTest, WarningSwitchAndTimeShiftAreNormalised) {
  const std::string rest = kList + kCoordinates + kMeteo;
  for (const auto& [line, expected] : {std::pair{"5", 1}, {"-1", 1}, {"1", 1}, {"0", 0}}) {
    ASSERT_EQ(Read(std::string("[output_interval]\n1\n") + line + "\n0\n-60\n\n" + rest), 0);
    EXPECT_EQ(out().no_station_warning, expected) << line;
    EXPECT_DOUBLE_EQ(out().min_to_int_end, 0);
    EXPECT_TRUE(
        ScreenHas("min_to_int_end (fourth value of [output_interval]) is -60 minutes; a "
                  "shift before the hour of the data is taken as 0"));
  }
  // An unreadable second value keeps the preset 0.
  ASSERT_EQ(Read("[output_interval]\n1\nnone\n0\n60\n\n" + rest), 0);
  EXPECT_EQ(out().no_station_warning, 0);
  EXPECT_DOUBLE_EQ(out().min_to_int_end, 60);
}

TEST_F(OutputSettingsTest, KeywordLinesTakeTheFirstKeywordAndStopAtTheBlockEnd) {
  const std::string head = "[output_interval]\n1\n0\n0\n0\n";
  const std::string rest = kList + kCoordinates + kMeteo;
  ASSERT_EQ(Read(head + "WriteDoubleGrids = 1\n\n" + rest), 0);
  EXPECT_FALSE(out().write_ascii);
  EXPECT_TRUE(out().write_double);
  EXPECT_FALSE(out().write_netcdf);

  // Only the first keyword of the list counts, whatever stands first on the line.
  ASSERT_EQ(Read(head + "WriteNetcdfGrids WriteAsciiGrids = 1\n\n" + rest), 0);
  EXPECT_TRUE(out().write_ascii);
  EXPECT_FALSE(out().write_netcdf);

  // Lines without a keyword are skipped; a keyword after the empty line has no effect, and a
  // WARNING says so.
  ASSERT_EQ(Read(head + "\t some note\nWriteNetcdfGrids = 1\n \t\nWriteDoubleGrids = 1\n" + rest),
            0);
  EXPECT_TRUE(out().write_netcdf);
  EXPECT_FALSE(out().write_double);
  EXPECT_TRUE(
      ScreenHas("WriteDoubleGrids in [output_interval] is ignored: it follows "
                "the blank line that ends the keyword block."));

  // Without the empty line the block ends at the next section header: a keyword further down
  // (here in a later section) is not taken.
  ASSERT_EQ(Read(head + "WriteAsciiGrids = 0\n" + kList + kCoordinates + kMeteo +
                 "[notes]\nDefaultOutputDirectory = /elsewhere/\n"),
            0);
  EXPECT_TRUE(out().default_output_directory.empty());
  EXPECT_EQ(out().output_list_count, 3);

  // The block may also end with the file. A folder named without its "/" is that folder.
  ASSERT_EQ(Read(kList + kCoordinates + kMeteo + head + "DefaultOutputDirectory = /o"), 0);
  EXPECT_EQ(out().default_output_directory, "/o/");

  // A misspelt key is named, not skipped without a word.
  ASSERT_EQ(Read(head + "DefaultOutputDirectroy = out\nWriteDoubleGrid = 1\n\n" + rest), 0);
  for (const char* key : {"DefaultOutputDirectroy", "WriteDoubleGrid"})
    EXPECT_TRUE(ScreenHas(std::string("[output_interval]: no model reads the key \"") + key +
                          "\"; check its spelling"))
        << screen_.str();
}

TEST_F(OutputSettingsTest, BadKeywordValuesAndMissingValuesAreFatal) {
  const std::string rest = kList + kCoordinates + kMeteo;
  EXPECT_EQ(Read("[output_interval]\n1\n0\n0\n0\nWriteAsciiGrids = yes\n\n" + rest), 17);
  EXPECT_TRUE(
      ScreenHas("error in control file, value of WriteAsciiGrids in [output_interval] is "
                "\"yes\", it must be 0 (off) or 1 (on)"))
      << screen_.str();
  EXPECT_EQ(Read("[output_interval]\n1\n0\n0\n0\nInitialStateDirectory\n\n" + rest), 17);
  // A folder with a blank in its name would be cut at the blank without a word.
  EXPECT_EQ(Read("[output_interval]\n1\n0\n0\n0\nDefaultOutputDirectory = my out/ \r\n\n" + rest),
            17);
  EXPECT_TRUE(
      ScreenHas("error in control file, value of DefaultOutputDirectory in [output_interval] is "
                "\"my out/\", it must be one folder name without blanks (the value ends at its "
                "first blank, which would name the folder \"my/\")"))
      << screen_.str();
  // Blanks around the name and a line end of two characters are no part of it.
  ASSERT_EQ(Read("[output_interval]\n1\n0\n0\n0\nInitialStateDirectory =  in \r\n\n" + rest), 0);
  EXPECT_EQ(out().initial_state_directory, "in/");

  EXPECT_EQ(Read("[output_interval]\nhourly\n0\n0\n0\n\n" + rest), 17);
  EXPECT_TRUE(ScreenHas("error in control file, output control; not found!\n")) << screen_.str();
  // A missing fourth value would let the keyword line be read in its place.
  EXPECT_EQ(Read("[output_interval]\n1\n0\n0\nWriteAsciiGrids = 1\n\n" + rest), 17);
  EXPECT_EQ(Read(rest), 17);
  EXPECT_TRUE(ScreenHas("error in control file, [output_interval]; (EOF)not found!"));
}

TEST_F(OutputSettingsTest, OutputListOrderCountsAndMessages) {
  const std::string before = kInterval;
  const std::string after = kCoordinates + kMeteo;
  EXPECT_EQ(Read(before + "[output_list]\n3\n3\n5\n5\n" + after), 97);
  EXPECT_TRUE(
      ScreenHas("\nError in control file: order of subbasin codes in output_list!\n"
                "if output should be written for a specified set of subbasins,\n"
                "(specified by a statcode of 5 for averaging in time or 6 for summing in time)\n"
                "than the codes has to be arranged in ascendend order\n.look in [output_list]\n"))
      << screen_.str();
  EXPECT_EQ(Read(before + "[output_list]\n2\n7\n2\n" + after), 97);

  // One code needs no order; the first code may follow the count directly.
  ASSERT_EQ(Read(before + "[output_list]\n1 42 the only zone\n" + after), 0);
  EXPECT_EQ(out().output_list_codes, (std::vector<int32_t>{0, 42}));

  ASSERT_EQ(Read(before + "[output_list]\n0\n" + after), 0);
  EXPECT_EQ(out().output_list_count, 0);
  EXPECT_TRUE(out().output_list_codes.empty());
  EXPECT_EQ(settings_.output_list_codes, nullptr);

  EXPECT_EQ(Read(before + "[output_list]\nall\n" + after), 17);
  EXPECT_TRUE(ScreenHas("number of subbasins in output list; not found!")) << screen_.str();
  EXPECT_EQ(Read(before + "[output_list]\n2\n7\n" + after), 17);
  EXPECT_TRUE(ScreenHas("codes in output-list; not found!")) << screen_.str();
}

TEST_F(OutputSettingsTest, CoordinatesAndMeteoNamesAreRequired) {
  const std::string before = kInterval + kList;
  EXPECT_EQ(Read(before + "[coordinates]\n47\nEast\n15\n1\n" + kMeteo), 17);
  EXPECT_TRUE(ScreenHas("error in control file, geographic longitude; not found!"));
  EXPECT_EQ(Read(before + "[coordinates]\n47\n8\n15\n" + kMeteo), 17);
  EXPECT_TRUE(ScreenHas("time shift of data time to lokal time; not found!")) << screen_.str();

  const std::string head = before + kCoordinates;
  EXPECT_EQ(Read(head + "[meteo_data_count]\ntwo\n[meteo_names]\nT\n"), 17);
  EXPECT_TRUE(ScreenHas("number of meteorological variables; not found!"));
  EXPECT_EQ(Read(head + "[meteo_data_count]\n-1\n[meteo_names]\n"), 17);
  EXPECT_EQ(Read(head + "[meteo_data_count]\n1\n"), 17);
  EXPECT_TRUE(ScreenHas("[meteo_names]; (EOF)not found!"));
  // A list shorter than its count runs into the next section.
  EXPECT_EQ(Read(head + "[meteo_data_count]\n3\n[meteo_names]\nT\nP\n[zone_grid]\nz.asc\n"), 17);
  EXPECT_TRUE(ScreenHas("name of meteorological variable 3 in [meteo_names]; not found!"));
  EXPECT_EQ(Read(head + "[meteo_data_count]\n1\n[meteo_names]\n" + std::string(201, 'x') + "\n"),
            17);
  EXPECT_TRUE(ScreenHas("name of meteorological variable 1 in [meteo_names] is longer than 200"));
  ASSERT_EQ(Read(head + "[meteo_data_count]\n0\n[meteo_names]\n"), 0);
  EXPECT_EQ(out().meteo_names.size(), 1u);
}

TEST_F(OutputSettingsTest, ValuesOutsideTheirRangeAreRefusedWhereTheyAreRead) {
  const std::string interval_tail = "0\n7\n1440\n\n";
  const std::pair<std::string, std::string> cases[] = {
      {"[output_interval]\n0\n" + interval_tail + kList + kCoordinates + kMeteo,
       "output control (report interval in hours) in [output_interval] is 0"},
      {"[output_interval]\n24\n0\n7\nnan\n\n" + kList + kCoordinates + kMeteo,
       "min_to_int_end (fourth value of [output_interval]); \"nan\" is not a finite number"},
      {"[output_interval]\n24\n0\n7\n1e20\n\n" + kList + kCoordinates + kMeteo,
       "min_to_int_end (fourth value of [output_interval]) is 1e+20, it must be at most 527040"},
      {kInterval + "[output_list]\n-1\n" + kCoordinates + kMeteo,
       "number of subbasins in [output_list] is -1, it must be 0 or more"},
      {kInterval + "[output_list]\n2000000000\n1\n" + kCoordinates + kMeteo,
       "number of subbasins in [output_list] is 2000000000, but the rest of the file holds only"},
      {"[output_interval]\n24\n0\n7\n0\nWriteDoubleGrids = 2\n\n" + kList + kCoordinates + kMeteo,
       "value of WriteDoubleGrids in [output_interval] is \"2\", it must be 0 (off) or 1 (on)"},
      {kInterval + kList + "[coordinates]\n40,16\n8\n15\n1\n" + kMeteo,
       "geographic latitude; \"40,16\" is no number: a number must be followed by a blank"},
      {kInterval + kList + "[coordinates]\n91\n8\n15\n1\n" + kMeteo,
       "geographic latitude in [coordinates] is 91, it must be -90 to 90 degrees"},
      {kInterval + kList + "[coordinates]\nnan\n8\n15\n1\n" + kMeteo,
       "geographic latitude; \"nan\" is not a finite number"},
      {kInterval + kList + "[coordinates]\n47\n1e308\n15\n1\n" + kMeteo,
       "geographic longitude in [coordinates] is 1e+308, it must be -360 to 360 degrees"},
      {kInterval + kList + "[coordinates]\n47\n8\n-400\n1\n" + kMeteo,
       "reference meridian in [coordinates] is -400"},
      {kInterval + kList + "[coordinates]\n47\n8\n15\n25\n" + kMeteo,
       "time shift in [coordinates] is 25, it must be -24 to 24 hours"},
      {kInterval + kList + kCoordinates + "[meteo_data_count]\n2000000000\n[meteo_names]\nT\n",
       "number of meteorological variables in [meteo_data_count] is 2000000000, but"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(Read(text), 17) << message;
    EXPECT_TRUE(ScreenHas(message)) << screen_.str();
  }
  int32_t count = 0;
  for (const char* substeps : {"0", "86401", "1e9"})
    EXPECT_EQ(
        Substeps(std::string("[soil_surface_groundwater_substeps]\n") + substeps + "\n", count), 17)
        << substeps;
}

TEST_F(OutputSettingsTest, MissingFileIsCode28) {
  screen_.str("");
  try {
    settings_.ReadOutputSettings(dir_ / "absent.$$$");
    ADD_FAILURE() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 28);
  }
  EXPECT_TRUE(ScreenHas("Error opening " + (dir_ / "absent.$$$"))) << screen_.str();
  settings_.control_file_name = dir_ / "absent.$$$";
  try {
    settings_.ReadSoilSurfaceGroundwaterSubsteps();
    ADD_FAILURE() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 28);
  }
}

TEST_F(OutputSettingsTest, SubstepsDefaultToOneAndMustBeAPositiveNumber) {
  int32_t count = 0;
  ASSERT_EQ(Substeps(kInterval, count), 0);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(Substeps(kInterval + "[soil_surface_groundwater_substeps]\n4 sub-steps\n", count), 0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(settings_.substep_count, 4);

  screen_.str("");
  EXPECT_EQ(Substeps("[soil_surface_groundwater_substeps]\nfour\n", count), 17);
  EXPECT_TRUE(
      ScreenHas("error in control file, sub step counter from "
                "[soil_surface_groundwater_substeps] not found; not found!"))
      << screen_.str();
  EXPECT_EQ(Substeps("[soil_surface_groundwater_substeps]\n0\n", count), 17);

  // The reader keeps a control file that the set-up holds open.
  settings_.control_file = std::make_unique<ControlFileReader>();
  settings_.control_file->OpenText("[model_time]\n");
  ASSERT_EQ(Substeps(kInterval, count), 0);
  ASSERT_NE(settings_.control_file, nullptr);
  EXPECT_EQ(settings_.control_file->path(), "(text)");
}

}  // namespace
}  // namespace velorn

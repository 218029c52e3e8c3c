// The subbasin block of [unsatzon_model] on zones with codes 1..8: which zone takes the values
// of which given code, the unit conversions, and the refusals (code 10).
#include "unsatzone/subbasin_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "tests/support/test_helpers.h"
#include "tests/support/zone_table.h"

namespace velorn {
namespace {

class SubbasinBlock : public test::DiagTest {
 protected:
  SubbasinParameters Read(const std::string& text) {
    ControlFileReader file;
    file.OpenText(text);
    return ReadSubbasinBlock(diag_, file, zones_, index_, 8, 8, "unsatzon_model",
                             "[unsatzon_model]");
  }
  int Code(const std::string& text) {
    return test::ThrownCode([&] { Read(text); });
  }
  std::vector<ZoneRecord> zones_ = test::MakeZoneTable({1, 2, 3, 4, 5, 6, 7, 8});
  std::vector<int32_t> index_ = {0, 1, 2, 3, 4, 5, 6, 7, 8};
};

// Lines of `values` given codes: kelsqd = 11, 12, 13 h by column, the rest by column too (the
// snow runoff share 0.61, 0.62, 0.63).
std::string Block(const std::string& codes, int values) {
  std::string text = codes + "  codes\n";
  for (int line = 1; line <= 6; ++line) {
    for (int v = 1; v <= values; ++v)
      text += (line == 6 ? "0." : "") + std::to_string(line * 10 + v) + " ";
    text += " comment\n";
  }
  return text;
}

TEST_F(SubbasinBlock, ZonesTakeTheValuesOfTheGivenCodeBeforeThem) {
  struct Case {
    const char* codes;
    std::vector<int> column;  // per zone 1..8: the column whose values it takes
  };
  for (const Case& k :
       {Case{"1 3 8", {1, 1, 2, 2, 2, 2, 2, 3}},
        // The first zone is taken as given whether the second or a later zone
        // starts the line: no zone is left without parameters.
        Case{"3 8", {1, 1, 2, 2, 2, 2, 2, 3}}, Case{"2 8", {1, 2, 2, 2, 2, 2, 2, 3}},
        Case{"1 8", {1, 1, 1, 1, 1, 1, 1, 2}}}) {
    const SubbasinParameters p = Read(Block(k.codes, 3));
    for (int z = 1; z <= 8; ++z) {
      const int column = k.column[z - 1];
      EXPECT_DOUBLE_EQ(p.codes[z], z);
      EXPECT_DOUBLE_EQ(p.kelsqd[z], (10 + column) * 60.0) << k.codes << " zone " << z;
      EXPECT_DOUBLE_EQ(p.kelsqi[z], (20 + column) * 60.0) << k.codes << " zone " << z;
      EXPECT_DOUBLE_EQ(p.drainage_density[z], 30 + column) << k.codes << " zone " << z;
      EXPECT_DOUBLE_EQ(p.inverse_recession[z], 1.0 / (40 + column)) << k.codes << " zone " << z;
      EXPECT_DOUBLE_EQ(p.max_baseflow[z], 50 + column) << k.codes << " zone " << z;
      EXPECT_DOUBLE_EQ(p.snow_runoff_fraction[z], 0.6 + 0.01 * column) << k.codes << " zone " << z;
    }
  }
}

TEST_F(SubbasinBlock, RecessionConstantsInMinutes) {
  for (const auto& [hours, minutes] : {std::pair{0.0005, 0.06}, {2.0, 120.0}, {0.001, 0.06}})
    EXPECT_DOUBLE_EQ(RecessionMinutes(hours), minutes) << hours;
  for (const auto& [kelsqlat, inverse] : {std::pair{-1.0, 0.0}, {0.0, 0.0}, {4.0, 0.25}})
    EXPECT_DOUBLE_EQ(InverseRecession(kelsqlat), inverse) << kelsqlat;
}

TEST_F(SubbasinBlock, RefusesWhatCannotBeRead) {
  // A value no subbasin can have, in the second column (zone 8): code 17.
  const auto with = [](const char* good, const char* bad) {
    std::string text = Block("1 8", 2);
    return text.replace(text.find(good), std::string(good).size(), bad);
  };
  for (const auto& [text, message] : {
           std::pair<std::string, const char*>{
               with("52", "-1"),
               "QB-Red.Faktor[8] for unsatzon_model is -1, it must lie within 0 "
               "to 10000"},
           {with("52", "-2147483649"), "QB-Red.Faktor[8] for unsatzon_model is -2.14748e+09"},
           {with("12", "-1"), "kelsqd[8] for unsatzon_model is -1, it must lie within 0 to 1e+06"},
           {with("22", "1e308"), "kelsqi[8] for unsatzon_model is 1e+308"},
           {with("32", "-14"), "channel network density[8] for unsatzon_model is -14"},
           {with("0.62", "1.5"),
            "SnowRunoff_fraction[8] for unsatzon_model is 1.5, it must lie "
            "within 0 to 1"},
       }) {
    EXPECT_EQ(Code(text), kControlFileErrorCode) << text;
    EXPECT_TRUE(ScreenHas(message)) << message;
  }
  for (const auto& [text, message] : {
           std::pair<std::string, const char*>{"1 x 8\n", "error reading code[1]"},
           {"1 9\n", "error! there is no code 9 (from [unsatzon_model])"},
           {"0 8\n", "error! there is no code 0"},
           {"4 3 8\n", "codes must be given in ascending order"},
           // The line ends before the largest code.
           {"1 5\n",
            "error reading code[5] for unsatzon_model\nthe code line must end with the highest "
            "subbasin code of the zone grid, 8 (its codes: 1, 2, 3, 4, 5, 6, 7 and 8)"},
           {Block("1 8", 2).replace(Block("1 8", 2).find("51 52"), 5, "51"),
            "error reading QB-Red.Faktor[8]"},
           // Zone 1 needs its own column.
           {Block("3 8", 2),
            "error reading kelsqd[8] for unsatzon_model\neach parameter line needs 3 values, one "
            "per subbasin code given (the zone grid's lowest subbasin code 1 lies below the first "
            "code 3 of the code line and takes values of its own); the zone grid holds 8 "
            "subbasins (its codes: 1, 2, 3, 4, 5, 6, 7 and 8)"},
       }) {
    EXPECT_EQ(Code(text), kSubbasinBlockCode) << text;
    EXPECT_TRUE(ScreenHas(message)) << message;
  }
}

}  // namespace
}  // namespace velorn

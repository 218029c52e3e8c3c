// Data-assimilation rules: the blocks of the section (leading white space, one-line rules,
// options), their keys, the velorn and bafu list files with records before the start, between
// two steps and skipped rows, and the snow split with and without glacier weighing.
#include "routing/data_assimilation_rules.h"

#include <gtest/gtest.h>

#include "core/error_code.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

struct AssimilationRulesTest : test::DiagTest {
  std::vector<std::string> Blocks(const std::string& text, int32_t count) {
    file_.OpenText(text);
    return ReadAssimilationBlocks(file_, count, diag_);
  }
  std::string List(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    test::WriteFile(path, text);
    return path;
  }
  ControlFileReader file_;
};

TEST_F(AssimilationRulesTest, BlocksAndKeys) {
  const std::vector<std::string> blocks = Blocks(
      "\n  grid { grid-ID = snow_storage_total; listfilename = g.txt; }\n"
      "reservoir {\n lake-ID = 3; listfilename = l.txt;\n options {\n  format = bafu;\n"
      "  skiprows = 2;\n }\n}\n  grid {grid-ID = x; listfilename = y; options { "
      "split-into-liquid-and-solid = true; default-liquid-percentage = 30; } }\n",
      3);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(AssimilationKindOf(blocks[0], diag_), AssimilationKind::kGrid);
  EXPECT_EQ(AssimilationKindOf(blocks[1], diag_), AssimilationKind::kReservoir);
  const GridRuleSettings g = ReadGridRule(blocks[0], diag_);
  EXPECT_EQ(g.grid_id, "snow_storage_total");
  EXPECT_EQ(g.list_file, "g.txt");
  EXPECT_FALSE(g.split);
  const ReservoirRuleSettings r = ReadReservoirRule(blocks[1], diag_);
  EXPECT_EQ(r.lake_id, 3);
  EXPECT_TRUE(r.bafu);
  EXPECT_EQ(r.skiprows, 2);
  const GridRuleSettings split = ReadGridRule(blocks[2], diag_);
  EXPECT_TRUE(split.split);
  EXPECT_FALSE(split.weigh);
  EXPECT_EQ(split.liquid_percentage, 30.0);
  // A liquid share above 100 % would leave a negative solid one.
  std::string too_wet = blocks[2];
  too_wet.replace(too_wet.find("= 30"), 4, "= 150");
  EXPECT_EQ(test::ThrownCode([&] { ReadGridRule(too_wet, diag_); }), kControlFileErrorCode);
  EXPECT_TRUE(
      ScreenHas("rule of grid x: default-liquid-percentage is 150, it must lie within 0 "
                "to 100"));
  // Without options: velorn, no skipped rows.
  const ReservoirRuleSettings plain = ReadReservoirRule("reservoir { lake-ID = 4; }", diag_);
  EXPECT_FALSE(plain.bafu);
  EXPECT_EQ(plain.skiprows, 0);
  EXPECT_EQ(test::ThrownCode([&] {
              ReadReservoirRule("reservoir { lake-ID = 4; options { format = csv; } }", diag_);
            }),
            kAssimilationReservoirCode);
  EXPECT_EQ(test::ThrownCode([&] { AssimilationKindOf("\n lakes { }\n", diag_); }), 17);
  EXPECT_TRUE(ScreenHas("not: lakes { }"));
  EXPECT_EQ(test::ThrownCode([&] { Blocks("grid {\n grid-ID = a;\n", 1); }), 17);
}

// Hourly steps from 2001-01-02 0h: the records of 1 January and of 2 January 0h30 (no step) are
// passed over, 1h and 3h apply; skiprows 2 drops the record after an applied one.
TEST_F(AssimilationRulesTest, VelornListAcrossTheSteps) {
  const std::string path =
      List("levels.txt",
           "a comment line\n1 1 1 1 1\n2 2 2 2 2\n3 3 3 3 3\nh h h h word\n"
           "2001 1 1 0 400.5\n2001 1 2 1 401.0\n2001 1 2 2 401.5\n2001 1 2 3 402.0\n"
           "2019000000000000 1 3 0 403.0\n");
  AssimilationList list;
  ASSERT_TRUE(list.Open(path, false, false));
  AssimilationRecord record;
  bool valid = list.Next(record);
  EXPECT_FALSE(AdvanceToStep(list, record, valid, ModelDate{2001, 1, 2, 0}, diag_));
  EXPECT_TRUE(ScreenHas("the record of 1.1.2001 0h in " + path));
  ASSERT_TRUE(AdvanceToStep(list, record, valid, ModelDate{2001, 1, 2, 1}, diag_));
  EXPECT_EQ(record.level, 401.0);
  // skiprows 2: the end of the record's line, then the record of 2h.
  list.SkipRestOfLine();
  list.SkipRestOfLine();
  valid = list.Next(record);
  EXPECT_FALSE(AdvanceToStep(list, record, valid, ModelDate{2001, 1, 2, 2}, diag_));
  ASSERT_TRUE(AdvanceToStep(list, record, valid, ModelDate{2001, 1, 2, 3}, diag_));
  EXPECT_EQ(record.level, 402.0);
  EXPECT_FALSE(list.Next(record));  // a year outside the calendar ends the list
  EXPECT_FALSE(AssimilationList().Open(dir_ / "none.txt", false, true));
}

TEST_F(AssimilationRulesTest, BafuList) {
  const std::string row = "                      2001 05 14 06    412.345\n";
  AssimilationList bafu;
  ASSERT_TRUE(bafu.Open(List("bafu.txt", "h1\nh2\nh3\n" + row), true, false));
  AssimilationRecord record;
  ASSERT_TRUE(bafu.Next(record));
  EXPECT_EQ(record.date, (ModelDate{2001, 5, 14, 6}));
  EXPECT_EQ(record.level, 412.345);
  EXPECT_FALSE(bafu.Next(record));
}

// A new value of 100 mm: by the default 30 % without solid storage, by the cell's 1:3 with it;
// the glacier share decides which storages keep it.
TEST_F(AssimilationRulesTest, SnowSplitAndGlacierWeighing) {
  SnowShares s = SplitSnowValue(100, 5, 0, 30);
  EXPECT_DOUBLE_EQ(s.liquid, 30);
  EXPECT_DOUBLE_EQ(s.solid, 70);
  s = SplitSnowValue(100, 1, 3, 30);
  EXPECT_DOUBLE_EQ(s.liquid, 25);
  EXPECT_DOUBLE_EQ(s.solid, 75);
  struct Case {
    double share;
    SnowCell expected;
  };
  for (const Case& c : {Case{1.0, {0, 0, 50, 50, 100}}, Case{0.0, {25, 75, 0, 0, 0}},
                        Case{0.5, {25, 75, 50, 50, 100}}}) {
    SnowCell cell{1, 3, 2, 2, 4};
    AssimilateSnowCell(cell, 100, 30, true, c.share);
    EXPECT_DOUBLE_EQ(cell.liquid, c.expected.liquid) << c.share;
    EXPECT_DOUBLE_EQ(cell.solid, c.expected.solid) << c.share;
    EXPECT_DOUBLE_EQ(cell.glacier_liquid, c.expected.glacier_liquid) << c.share;
    EXPECT_DOUBLE_EQ(cell.glacier_solid, c.expected.glacier_solid) << c.share;
    EXPECT_DOUBLE_EQ(cell.glacier_total, c.expected.glacier_total) << c.share;
  }
  SnowCell plain{1, 3, 2, 2, 4};
  AssimilateSnowCell(plain, 100, 30, false, 1.0);
  EXPECT_DOUBLE_EQ(plain.liquid, 25);
  EXPECT_DOUBLE_EQ(plain.glacier_total, 4);
}

}  // namespace
}  // namespace velorn

// Tracer definitions: names, keyword values, every message of a tracer line (code 56), and the
// reader of [substance_transport] with its count, duplicates and limits.
#include "setup/tracer_definitions.h"

#include <gtest/gtest.h>

#include "core/error_code.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

const std::string kLine =
    "NO3 non_radioactive evaporating min_conc = 0.5 max_conc = 50 mg/l soilini = 1 gwini = 2 "
    "statcode = 5 gridcode = 1 path = out/ statext = .sta gridext = .grd";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

class TracerLineTest : public test::DiagTest {
 protected:
  // Parses `line` as tracer 1 of 3; returns the code and leaves the screen text in `shown`.
  int Parse(const std::string& line, TracerDefinition& definition) {
    screen_.str("");
    const int code =
        test::ThrownCode([&] { ParseTracerKeywords(diag_, line, 1, 3, definition); }, 0);
    shown = screen_.str();
    return code;
  }

  // The line fails with code 56 and exactly this message (as the screen shows it).
  void ExpectMessage(const std::string& line, const std::string& message) {
    TracerDefinition definition;
    EXPECT_EQ(Parse(line, definition), 56) << line;
    EXPECT_EQ(shown, message + "\n(mpi-rank  0) ") << line;
  }

  std::string shown;
};

TEST(TracerName, FirstThreeCharactersLowerCasePadded) {
  EXPECT_EQ(TracerName("NO3 x"), "no3");
  EXPECT_EQ(TracerName("  no3x radioactive"), "no3");
  EXPECT_EQ(TracerName("Cl non_radioactive"), "cl_");
  EXPECT_EQ(TracerName("\tH"), "h__");
  EXPECT_EQ(TracerName(""), "___");
}

TEST_F(TracerLineTest, ReadsEveryKeywordInAnyOrder) {
  TracerDefinition d;
  ASSERT_EQ(Parse(kLine, d), 0) << shown;
  EXPECT_EQ(d.radioactive, 0);
  EXPECT_DOUBLE_EQ(d.half_time, -9999);
  EXPECT_EQ(d.evaporating, 1);
  EXPECT_DOUBLE_EQ(d.min_conc, 0.5);
  EXPECT_DOUBLE_EQ(d.max_conc, 50);
  EXPECT_DOUBLE_EQ(d.soilini, 1);
  EXPECT_DOUBLE_EQ(d.gwini, 2);
  EXPECT_EQ(d.statcode, 5);
  EXPECT_EQ(d.gridcode, 1);
  EXPECT_EQ(d.path, "out/");
  EXPECT_EQ(d.statext, ".sta");
  EXPECT_EQ(d.gridext, ".grd");
  EXPECT_DOUBLE_EQ(d.decay_factor, 0);

  TracerDefinition r;
  ASSERT_EQ(Parse("H3 gridext = .g path = p/ statext = .s gridcode = 2 statcode = 6 gwini = 3 "
                  "soilini = 4 min_conc = 0 non_evaporating radioactive half_time = 12.3 d "
                  "max_conc = 5",
                  r),
            0)
      << shown;
  EXPECT_EQ(r.radioactive, 1);
  EXPECT_DOUBLE_EQ(r.half_time, 12.3);
  EXPECT_EQ(r.evaporating, 0);
  EXPECT_DOUBLE_EQ(r.max_conc, 5);  // ends the line: unit kg/kg
  EXPECT_EQ(r.gridcode, 2);

  // A half-life of 0 days is accepted; the unit may stand against the number.
  ASSERT_EQ(Parse(Replace(kLine, "non_radioactive", "radioactive half_time = 0d"), r), 0) << shown;
  EXPECT_DOUBLE_EQ(r.half_time, 0);
  // An unreadable max_conc is 0 (unit kg/kg); the other units are accepted.
  ASSERT_EQ(Parse(Replace(kLine, "50 mg/l", "high"), r), 0) << shown;
  EXPECT_DOUBLE_EQ(r.max_conc, 0);
  for (const char* unit : {"g/l", "kg/kg", "Kg/Kg"}) {
    EXPECT_EQ(Parse(Replace(kLine, "mg/l", unit), r), 0) << unit;
  }
}

TEST_F(TracerLineTest, RadioactivityMessages) {
  const std::string need =
      "error reading parameters for tracer 1:\n need a key word \"radioactive\" or "
      "\"non_radioactive\"\n(may be, the number of tracers (3) is wrong?\n";
  ExpectMessage(Replace(kLine, "non_radioactive ", ""), need);
  ExpectMessage(Replace(kLine, "non_radioactive", "radioactive"),
                "error in tracer_info_table tracer 1: need a \"half_time = xxxx d\" sequence!");
  ExpectMessage(Replace(kLine, "non_radioactive", "radioactive") + " half_time 12 d",
                "error reading half_time for tracer 1: no \"half_time =\" found!");
  ExpectMessage(Replace(kLine, "non_radioactive", "radioactive") + " half_time = 12",
                "error reading half_time for tracer 1");
  ExpectMessage(Replace(kLine, "non_radioactive", "radioactive half_time = 12 days"),
                "error reading half_time for tracer 1: no \"d\" for measure found!");
  ExpectMessage(Replace(kLine, "non_radioactive", "radioactive half_time = -1 d"),
                "error in half_time for tracer 1: must be greater than 0!");
  ExpectMessage(Replace(kLine, "evaporating ", ""),
                "error reading parameters for tracer 1:\n need a key word \"evaporating\" or "
                "\"non_evaporating\"\n(may be, the number of tracers (3) is wrong?");
}

TEST_F(TracerLineTest, ConcentrationMessages) {
  for (const char* keyword : {"min_conc", "max_conc", "soilini", "gwini"}) {
    const std::string line = Replace(kLine, std::string(keyword) + " =", "x =");
    ExpectMessage(line, std::string("error reading parameters for tracer 1:\nneed a key word \"") +
                            keyword + " = xxxx\"");
  }
  // Without "=" after the keyword (the keyword moved to the end of the line).
  for (const char* keyword : {"min_conc", "max_conc", "soilini", "gwini"}) {
    const std::string line = Replace(kLine, std::string(keyword) + " =", "x =") + " " + keyword;
    ExpectMessage(line, std::string("error reading ") + keyword + " for tracer 1: no \"" + keyword +
                            " =\" found!");
  }
  ExpectMessage(Replace(kLine, "min_conc = 0.5", "min_conc = low"),
                "error reading min_conc for tracer 1");
  ExpectMessage(Replace(kLine, "soilini = 1", "soilini = a"),
                "error reading soilini for tracer 1!");
  ExpectMessage(Replace(kLine, "gwini = 2", "gwini = b"), "error reading gwini for tracer 1!");
  // The word behind the number is its unit, so a following keyword is a wrong measure.
  ExpectMessage(Replace(kLine, "50 mg/l", "5"),
                "error reading max_conc for tracer 1:\nwrong measure (only mg/l, g/l or kg/kg "
                "resp. no measure are allowed!)\nread here: soilini");
}

TEST_F(TracerLineTest, CodeAndTextMessages) {
  for (const char* keyword : {"statcode", "gridcode", "path", "statext", "gridext"}) {
    ExpectMessage(Replace(kLine, std::string(keyword) + " =", std::string(keyword) + "="),
                  std::string("error reading ") + keyword + " for tracer 1:\nneed a key word \"" +
                      keyword + " = xxxx\"");
  }
  ExpectMessage(Replace(kLine, "statcode = 5", "statcode = five"),
                "error reading statcode for tracer 1!");
  ExpectMessage(Replace(kLine, "gridcode = 1", "gridcode = x"),
                "error reading gridcode for tracer 1!");
  ExpectMessage(Replace(kLine, "statext = .sta gridext = .grd", "gridext = .grd statext ="),
                "error reading statext for tracer 1!");
  TracerDefinition d;
  EXPECT_EQ(Parse(Replace(kLine, "path = out/", "path = " + std::string(300, 'p')), d), 56);
  EXPECT_NE(shown.find("error reading path for tracer 1: longer than 299 characters"),
            std::string::npos);
  EXPECT_EQ(Parse(Replace(kLine, "path = out/", "path = " + std::string(299, 'p')), d), 0);
}

class TracerSectionTest : public test::DiagTest {
 protected:
  // Writes a compiled file holding `section` and constructs the reader on it.
  std::unique_ptr<tracer_ini_class> Construct(const std::string& section) {
    test::WriteFile(file_, "[model_time]\n1\n" + section + "\n[next]\n");
    screen_.str("");
    auto reader = std::make_unique<tracer_ini_class>(error, &diag_, file_, 0, count, table, false,
                                                     false, false, "", "", nullptr, 0, nullptr);
    return reader;
  }

  std::string Lines(int n) const {
    std::string lines;
    for (int i = 0; i < n; ++i) lines += test::Numbered("T", i) + Replace(kLine, "NO3", "") + "\n";
    return lines;
  }

  std::string file_ = dir_ / "run.ctl.$$$";
  int32_t error = -1;
  int32_t count = -1;
  TracerDefinition* table = reinterpret_cast<TracerDefinition*>(1);
};

TEST_F(TracerSectionTest, ReadsTheTableAndHandsItOut) {
  auto reader = Construct("[substance_transport]\n2 tracers\n" + kLine + "\nCl" +
                          Replace(kLine, "NO3", "") + "\n");
  ASSERT_EQ(error, 0) << screen_.str();
  ASSERT_EQ(count, 2);
  ASSERT_EQ(table, reader->tracers.data());
  EXPECT_EQ(table[1].name, "no3");
  EXPECT_EQ(table[2].name, "cl_");
  EXPECT_EQ(table[2].gridext, ".grd");
  EXPECT_EQ(reader->module_name, "tracer_ini");
  EXPECT_TRUE(ScreenHas("reading parameters for tracer 2 ...\n")) << screen_.str();
  EXPECT_TRUE(ScreenHas("done.\n"));
  EXPECT_EQ(reader->control_file, nullptr);
  reader->ReleaseMemory();
  EXPECT_TRUE(reader->tracers.empty());
  EXPECT_TRUE(ScreenHas("deleting module tracer_ini"));

  // An extension that names another form than the written one (binary floats here) takes the
  // written one's; a warm start reads the state under the one given too.
  reader = Construct("[substance_transport]\n1\n" +
                     Replace(kLine, "gridext = .grd", "gridext = asc") + "\n");
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(table[1].gridext, "flt");
  EXPECT_EQ(table[1].older_gridext, "asc");
  EXPECT_TRUE(ScreenHas("the grids of tracer no3 are named \".flt\", not \".asc\""))
      << screen_.str();

  for (const char* zero : {"0", "-3"}) {
    reader = Construct(std::string("[substance_transport]\n") + zero + "\n");
    EXPECT_EQ(error, 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(table, nullptr);
  }
}

TEST_F(TracerSectionTest, CountIsDecimalAndAtMostNine) {
  auto reader = Construct("[substance_transport]\n08\n" + Lines(8));
  EXPECT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(count, 8);
  reader = Construct("[substance_transport]\n010\n" + Lines(10));
  EXPECT_EQ(error, 58);
  EXPECT_TRUE(
      ScreenHas("not more than 9 tracer species are allowed at one time (they need a very "
                "lot of memory!)\n"));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(table, nullptr);
  reader = Construct("[substance_transport]\n9\n" + Lines(9));
  EXPECT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(count, 9);
}

TEST_F(TracerSectionTest, DuplicatesShortListsAndMissingPartsSetTheErrorCode) {
  auto reader =
      Construct("[substance_transport]\n2\n" + kLine + "\n" + Replace(kLine, "NO3", "no3x") + "\n");
  EXPECT_EQ(error, 59);
  EXPECT_TRUE(
      ScreenHas("\n----------- ERROR in substance_transport ---------\n\nsubstance #2 "
                "and substance #1 have the same\nfirst 3 chars (lowercase) in its name "
                "(no3 <-> no3)\n\n--------------------------------------------------\n"))
      << screen_.str();

  // Two announced, one given: the next section header is taken for tracer 2.
  reader = Construct("[substance_transport]\n2\n" + kLine + "\n");
  EXPECT_EQ(error, 56);
  EXPECT_TRUE(
      ScreenHas("error reading parameters for tracer 2:\n need a key word "
                "\"radioactive\" or \"non_radioactive\"\n(may be, the number of tracers "
                "(2) is wrong?\n"));
  EXPECT_EQ(count, 0);

  reader = Construct("[substance]\n1\n");
  EXPECT_EQ(error, 17);
  EXPECT_TRUE(ScreenHas("error in control file, [substance_transport]; (EOF)not found!"));
  reader = Construct("[substance_transport]\nnone\n");
  EXPECT_EQ(error, 17);
  EXPECT_TRUE(ScreenHas("error in control file,  number of tracers in ; tracer_ininot found!"));

  reader = std::make_unique<tracer_ini_class>(error, &diag_, dir_ / "absent.$$$", 0, count, table,
                                              false, false, false, "", "", nullptr, 0, nullptr);
  EXPECT_EQ(error, 28);
  EXPECT_TRUE(ScreenHas("error opening " + (dir_ / "absent.$$$")));
  reader =
      std::make_unique<tracer_ini_class>(error, &diag_, std::string(2401, 'c'), 0, count, table,
                                         false, false, false, "", "", nullptr, 0, nullptr);
  EXPECT_EQ(error, 1);
}

}  // namespace
}  // namespace velorn

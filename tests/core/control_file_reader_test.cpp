// Control-file readers: section search, positional values with comments, and every report.
#include "core/control_file_reader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/modelobject.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::ThrownCode;

// A model object named snow_model reading `text` as its control file.
struct ReaderFixture : ::testing::Test, test::CapturedDiag {
  modelobject object{&diag, "run.ctl", 0, true, false, false, "", "", nullptr, 0, nullptr};

  void UseText(const std::string& text) {
    object.SetModuleName("snow_model");
    object.control_file = std::make_unique<ControlFileReader>();
    object.control_file->OpenText(text);
  }
};

TEST_F(ReaderFixture, FindSectionComparesTheFirstWordOfEachLine) {
  UseText(
      "# [snow_model] in a comment\n"
      "other [snow_model]\n"
      "   [snow_model] the section starts here\n"
      "7\n"
      "[snow_model]\n"
      "8\n");
  EXPECT_EQ(object.FindSection("[snow_model]", 1), 1);
  int value = 0;
  object.ReadValue(*object.control_file, value, "value in ");
  EXPECT_EQ(value, 7);  // the first match from the top counts
  EXPECT_EQ(object.FindSection("[Snow_Model]", 0), 0);
  EXPECT_EQ(object.FindSection("[snow", 0), 0);
}

TEST_F(ReaderFixture, HeaderOnTheLastLineIsFoundWithOrWithoutLineEnd) {
  UseText("1\n[last]");
  EXPECT_EQ(object.FindSection("[last]", 1), 1);
  UseText("1\n[last]\n");
  EXPECT_EQ(object.FindSection("[last]", 1), 1);
  EXPECT_TRUE(object.control_file->AtEnd());
}

TEST_F(ReaderFixture, MissingSectionIsFatalOnlyWhenAsked) {
  UseText("[a]\n1\n");
  EXPECT_EQ(object.FindSection("[b]", 0), 0);
  EXPECT_EQ(ThrownCode([&] { object.FindSection("[b]", 1); }), 17);
  EXPECT_TRUE(HasEntry(0, "error in control file, [b]; (EOF)not found!"));
  object.control_file.reset();
  EXPECT_EQ(object.FindSection("[a]", 0), 0);
}

TEST_F(ReaderFixture, OverlongLineIsOneLineWithoutPhantomHeader) {
  // 2400 characters of comment, then a word that would start a phantom line if the line were
  // cut after 2400 characters.
  UseText("x" + std::string(2399, ' ') + "[phantom] rest\n[real]\n5\n");
  EXPECT_EQ(object.FindSection("[phantom]", 0), 0);
  EXPECT_EQ(object.FindSection("[real]", 1), 1);
  // The same file opened from disk gets one warning about the long line.
  test::WriteFile(dir / "long.ctl", "x" + std::string(2400, 'y') + "\n[real]\n");
  ControlFileReader file;
  ASSERT_TRUE(file.Open(dir / "long.ctl", &diag));
  EXPECT_NE(DiagFile().find("level=\"2\" description= \"line 1 of control file"),
            std::string::npos);
  EXPECT_TRUE(file.FindHeader("[real]"));
  EXPECT_FALSE(file.Open(dir / "absent.ctl"));
  // A directory cannot be read as a control file; it must not open as an empty one.
  std::filesystem::create_directory(dir / "folder.ctl");
  EXPECT_FALSE(file.Open(dir / "folder.ctl"));
  EXPECT_FALSE(file.is_open());
}

TEST_F(ReaderFixture, ValuesAreReadPositionallyAndCommentsDiscarded) {
  UseText(
      "[snow_model]\n"
      "12 flow control parameter for snow_model\n"
      "12\tabc\n"
      "\n"
      "   -3.5e2 degrees\n"
      "tmp/out.asc  output grid\n"
      "2000000000000 a long count\n");
  ASSERT_EQ(object.FindSection("[snow_model]", 1), 1);
  ControlFileReader& file = *object.control_file;
  int i = 0;
  long l = 0;
  double x = 0;
  std::string word, rest;
  EXPECT_EQ(object.ReadValue(file, i, "flow control parameter for ", &rest), 1);
  EXPECT_EQ(i, 12);
  EXPECT_EQ(rest, " flow control parameter for snow_model");
  object.ReadValue(file, i, "second ");
  EXPECT_EQ(i, 12);
  object.ReadValue(file, x, "third ");  // blank lines are skipped
  EXPECT_EQ(x, -350.0);
  object.ReadValue(file, word, "name ");
  EXPECT_EQ(word, "tmp/out.asc");
  object.ReadValue(file, l, "count ");
  EXPECT_EQ(l, 2000000000000L);
  EXPECT_TRUE(file.AtEnd());
}

TEST_F(ReaderFixture, UnreadableValueReportsTheNextWord) {
  UseText("[snow_model]\nsnow 12\n2147483648\n");
  object.FindSection("[snow_model]", 1);
  int i = 0;
  EXPECT_EQ(
      ThrownCode([&] { object.ReadValue(*object.control_file, i, "flow control parameter for "); }),
      17);
  EXPECT_TRUE(HasEntry(4, "--&gt; In .;  Next line in Velorn control file: "));
  EXPECT_TRUE(HasEntry(4, "snow"));
  EXPECT_TRUE(
      HasEntry(0, "error in control file, flow control parameter for ; snow_modelnot found!"));
  // A number too large for its type is not read as something else.
  object.control_file->SkipRestOfLine();
  EXPECT_EQ(ThrownCode([&] { object.ReadValue(*object.control_file, i, "big "); }), 17);
  // Words that look like numbers but are none are named as such, whichever reader failed.
  UseText("[snow_model]\nnan\n-inf\n1e999\n");
  object.FindSection("[snow_model]", 1);
  double x = 0;
  EXPECT_EQ(ThrownCode([&] { object.ReadValue(*object.control_file, x, "min_to_int_end "); }), 17);
  EXPECT_TRUE(HasEntry(
      0,
      "error in control file, min_to_int_end ; snow_model &quot;nan&quot; is not a finite number"))
      << DiagFile();
  object.control_file->SkipRestOfLine();
  EXPECT_FALSE(object.control_file->Read(x));
  EXPECT_EQ(ThrownCode([&] { object.ReportControlFileError("geographic latitude", ""); }), 17);
  EXPECT_TRUE(HasEntry(
      0, "error in control file, geographic latitude; &quot;-inf&quot; is not a finite number"));
  // A number written onto other characters is refused, not read as its front; so is a
  // fraction for a whole number.
  const std::string glued_rule =
      " is no number: a number must be followed by a blank or the end of the line (a decimal "
      "comma, or a unit written onto the number, is not read)";
  const std::pair<std::string, std::string> glued[] = {
      {"40,16", "&quot;40,16&quot;" + glued_rule},
      {"2.5", "&quot;2.5&quot; is not a whole number"}};
  for (const auto& [word, message] : glued) {
    UseText("[snow_model]\n" + word + " comment\n");
    object.FindSection("[snow_model]", 1);
    EXPECT_EQ(ThrownCode([&] { object.ReadValue(*object.control_file, i, "count "); }), 17);
    EXPECT_TRUE(HasEntry(0, "error in control file, count ; snow_model " + message)) << DiagFile();
  }
  // At the end of the file the report has an empty word.
  UseText("[snow_model]\n");
  object.FindSection("[snow_model]", 1);
  EXPECT_EQ(ThrownCode([&] { object.ReadValue(*object.control_file, i, "end "); }), 17);
}

TEST_F(ReaderFixture, TwoValuesOnOneLine) {
  UseText("[s]\n3 4.5 limits of the method\nname 7\n9\n10\n");
  object.FindSection("[s]", 1);
  int a = 0;
  double b = 0;
  EXPECT_EQ(object.ReadTwoValues(*object.control_file, a, b, "limits "), 2);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4.5);
  std::string name;
  EXPECT_EQ(object.ReadTwoValues(*object.control_file, name, a, "pair "), 2);
  EXPECT_EQ(name, "name");
  EXPECT_EQ(a, 7);
  UseText("[s]\n3 comment\n");
  object.FindSection("[s]", 1);
  EXPECT_EQ(ThrownCode([&] { object.ReadTwoValues(*object.control_file, a, a, "pair of "); }), 17);
  EXPECT_TRUE(HasEntry(0, "error in control file, pair of ; snow_modelnot found!"));
  EXPECT_EQ(DiagFile().find("Next line"), std::string::npos);
}

TEST_F(ReaderFixture, WriteAndReadErrors) {
  UseText("");
  EXPECT_EQ(ThrownCode([&] { object.ReportWriteError("out/a.asc", 3); }), 18);
  EXPECT_TRUE(HasEntry(0, "write error out/a.asc ! (3)"));
  EXPECT_EQ(ThrownCode([&] { object.ReportReadError("in/b.asc", 4); }), 19);
  EXPECT_TRUE(HasEntry(0, "read error in/b.asc ! (4)"));
}

// A number is its whole word, whichever reader asks: a word that only begins as a number (a
// decimal comma, a unit written onto it, a trailing letter) is refused and leaves the position,
// and a scan of a line's numbers stops there with the word named. In item lists a separator
// after the number ends its word; a comma before a digit does not.
TEST(ScanValue, ReadsWholeWordsOnly) {
  struct Case {
    const char* text;
    bool item_list;  // the routing descriptions' separators
    bool read;
    double value;  // read: the value; refused: the position left
  };
  const Case cases[] = {
      {"nan", false, false, 0},       {"-nan", false, false, 0},     {"inf", false, false, 0},
      {"-Infinity", false, false, 0}, {"1e309", false, false, 0},    {"-1e309", false, false, 0},
      {"nanometre", false, false, 0}, {"1e308", false, true, 1e308}, {"1e-400", false, true, 0},
      {"+2.5", false, true, 2.5},     {"1,5", false, false, 0},      {"0.2mm", false, false, 0},
      {"3e", false, false, 0},        {"12O", false, false, 0},      {"0x10", false, false, 0},
      {"-0,0065", false, false, 0},   {"1,0", false, false, 0},      {"0,05", true, false, 0},
      {"0.05,", true, true, 0.05},    {"1)", true, true, 1},         {"10000, V0", true, true, 1e4},
      {"42;x", false, false, 0},      {"42;x", true, true, 42}};
  for (const Case& c : cases) {
    std::size_t pos = 0;
    double value = 0;
    EXPECT_EQ(ScanValue(c.text, pos, value, c.item_list ? kItemSeparators : ""), c.read) << c.text;
    EXPECT_EQ(c.read ? value : static_cast<double>(pos), c.value) << c.text;
    // Where the scan stopped, the word is named when it was meant as a number.
    const std::string stop = NumberLikeWordAt(c.text, pos, c.item_list ? kItemSeparators : "");
    EXPECT_EQ(!stop.empty(), !c.read && !NumberProblem(c.text).empty()) << c.text;
  }
  // Whole numbers: a fraction or a number beyond the type is none.
  std::size_t pos = 0;
  int i = 0;
  EXPECT_FALSE(ScanValue("2.5", pos, i));
  EXPECT_FALSE(ScanValue("2147483648", pos, i));
  EXPECT_TRUE(ScanValue(" -7 word", pos, i));
  EXPECT_EQ(i, -7);
  std::string w;
  EXPECT_TRUE(ScanValue(" -7 word", pos, w));
  EXPECT_EQ(w, "word");
}

TEST(ControlFileOpen, OnlyRegularFilesAreControlFiles) {
  test::TempDir dir;
  test::WriteFile(dir / "run.ctl", "[s]\n1 2\n3\n");
  ControlFileReader file;
  ASSERT_TRUE(file.Open(dir / "run.ctl"));
  EXPECT_EQ(file.WordsLeft(), 4u);
  file.FindHeader("[s]");
  int value = 0;
  file.Read(value);
  EXPECT_EQ(file.WordsLeft(), 2u);
  for (const std::string& path : {dir.path().string(), std::string("/dev/zero")})
    EXPECT_FALSE(file.Open(path)) << path;
}

}  // namespace
}  // namespace velorn

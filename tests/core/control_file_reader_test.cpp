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
      "error in control file, min_to_int_end ; snow_model&quot;nan&quot; is not a finite number"))
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
    EXPECT_TRUE(HasEntry(0, "error in control file, count ; snow_model" + message)) << DiagFile();
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

TEST(ScanValue, ReadsTheLeadingNumberOrWord) {
  std::size_t pos = 0;
  int i = 0;
  double x = 0;
  std::string w;
  const std::string text = " = 42;x  1.5e-3mm  word";
  pos = 3;
  EXPECT_TRUE(ScanValue(text, pos, i));
  EXPECT_EQ(i, 42);
  EXPECT_EQ(pos, 5u);
  EXPECT_FALSE(ScanValue(text, pos, i));  // ";x" is no number
  EXPECT_EQ(pos, 5u);
  pos = 7;
  EXPECT_TRUE(ScanValue(text, pos, x));
  EXPECT_EQ(x, 1.5e-3);
  EXPECT_TRUE(ScanValue(text, pos, w));
  EXPECT_EQ(w, "mm");
  EXPECT_TRUE(ScanValue(text, pos, w));
  EXPECT_EQ(w, "word");
  EXPECT_FALSE(ScanValue(text, pos, w));
}

TEST(ScanValue, RefusesNumbersThatAreNotFinite) {
  struct Case {
    const char* text;
    bool read;
    double value;
  };
  const Case cases[] = {{"nan", false, 0},       {"-nan", false, 0},     {"inf", false, 0},
                        {"-Infinity", false, 0}, {"1e309", false, 0},    {"-1e309", false, 0},
                        {"nanometre", false, 0}, {"1e308", true, 1e308}, {"1e-400", true, 0},
                        {"-0.5mm", true, -0.5}};
  for (const Case& c : cases) {
    std::size_t pos = 0;
    double value = 0;
    EXPECT_EQ(ScanValue(c.text, pos, value), c.read) << c.text;
    EXPECT_EQ(c.read ? value : static_cast<double>(pos), c.value) << c.text;
  }
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

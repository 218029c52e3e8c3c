// Tests of the diagnostics stream: the exact lines of the XML file, the screen, levels and
// threshold, escaping, file names and the fallbacks when the file cannot be opened.
#include "core/diagnostic_stream.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"
#include "tests/support/velorn_runner.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScopedCurrentDir;
using test::SplitLines;
using test::TempDir;
using test::ValidateDiagnostics;

// The entry lines between the start line and the finishing line.
std::vector<std::string> EntryLines(const std::string& file) {
  std::vector<std::string> lines = SplitLines(file);
  if (lines.size() < 7) return {};
  return std::vector<std::string>(lines.begin() + 5, lines.end() - 2);
}

// True for the start or finishing line: level 3, "Velorn <word> at " and a local time stamp
// such as 2019-09-01T14:05:09.
bool IsStampLine(const std::string& line, const std::string& word) {
  const std::string head = "\t<line level=\"3\" description= \"Velorn " + word + " at ";
  const std::string shape = "dddd-dd-ddTdd:dd:dd";
  if (line.size() != head.size() + shape.size() + 3 || line.compare(0, head.size(), head) != 0)
    return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = line[head.size() + i];
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[i])
      return false;
  }
  return line.compare(head.size() + shape.size(), 3, "\"/>") == 0;
}

std::string Line(int level, const std::string& description) {
  return test::DiagnosticsLine(level, description);
}

// A stream on a fresh file with the screen captured; `Finish` destroys it and returns the file.
class StreamFixture : public ::testing::Test {
 protected:
  void Start(int threshold, const std::string& name = "run.xml") {
    diag_ = std::make_unique<DiagnosticStream>(dir_ / name, threshold, screen_);
  }
  std::string Finish() {
    const std::string path = diag_->file_name();
    diag_.reset();
    return ReadFile(path);
  }
  TempDir dir_;
  std::ostringstream screen_;
  std::unique_ptr<DiagnosticStream> diag_;
};

TEST_F(StreamFixture, WritesHeaderStartAndFinishAroundMixedPieces) {
  Start(kLevelDebug);
  *diag_ << "WARNING: value " << 3 << " is above " << 2.5 << "[end-entry]";
  *diag_ << "INFO: width" << std::setw(5) << 42L << " third " << 1.0 / 3.0 << "[end-entry]";
  const std::vector<std::string> lines = SplitLines(Finish());

  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "<?xml version='1.0' encoding='UTF-8'?>");
  EXPECT_EQ(lines[1], "<Diag version=\"1.2\" xmlns=\"http://www.wldelft.nl/fews/PI\" ");
  EXPECT_EQ(lines[2], "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" ");
  EXPECT_EQ(lines[3],
            "xsi:schemaLocation=\"http://www.wldelft.nl/fews/PI "
            "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd\">");
  EXPECT_TRUE(IsStampLine(lines[4], "start")) << lines[4];
  EXPECT_EQ(lines[5], Line(2, "value 3 is above 2.5"));
  EXPECT_EQ(lines[6], Line(3, "width   42 third 0.333333"));
  EXPECT_TRUE(IsStampLine(lines[7], "finished")) << lines[7];
  EXPECT_EQ(lines[8], "</Diag>");
  EXPECT_EQ(screen_.str(),
            "value 3 is above 2.5\n(mpi-rank  0) width   42 third 0.333333\n(mpi-rank  0) ");
}

TEST_F(StreamFixture, EscapesTheFileAndLeavesTheScreenAlone) {
  Start(kLevelDebug);
  const std::string text = "INFO: a & b < c > d 'e' \"f\"\nnext-----x\r\ty ---";
  *diag_ << text << '<' << "[end-entry]";
  const std::string screen = screen_.str();
  // A line break where the line already breaks (the entry's start, after a blank) adds no ";",
  // whichever piece it stands in.
  *diag_ << "FATAL: error opening \n" << "output/eip_Layer_1.stat" << "[end-entry]";
  *diag_ << "FATAL: \nerror opening nowhere/t.txt\n" << "[end-entry]";
  *diag_ << "FATAL: read" << "\n\nagain" << "[end-entry]";
  const std::vector<std::string> lines = EntryLines(Finish());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            Line(3, "a &amp; b &lt; c &gt; d &apos;e&apos; &quot;f&quot;;next--x; y --&lt;"));
  EXPECT_EQ(screen, text.substr(6) + "<\n(mpi-rank  0) ");
  EXPECT_EQ(lines[1], Line(0, "error opening output/eip_Layer_1.stat"));
  EXPECT_EQ(lines[2], Line(0, "error opening nowhere/t.txt;"));
  EXPECT_EQ(lines[3], Line(0, "read;;again"));
}

TEST_F(StreamFixture, LevelComesFromPrefixAtPositionZeroOnly) {
  Start(kLevelDebug);
  *diag_ << "INFO: first "
         << "WARNING: second"
         << "[end-entry]";
  *diag_ << "text with FATAL: inside"
         << "[end-entry]";
  *diag_ << 7 << " cells"
         << "[end-entry]";
  *diag_ << std::setw(3) << 1 << "[end-entry]";
  *diag_ << "[end-entry]";
  const std::vector<std::string> lines = EntryLines(Finish());
  const std::vector<std::string> expected = {
      Line(3, "first "),  Line(2, "second"), Line(4, "text with FATAL: inside"),
      Line(4, "7 cells"), Line(4, "  1"),    Line(4, "")};
  EXPECT_EQ(lines, expected);
  // On the screen a prefix in a later piece does not break the line.
  EXPECT_EQ(screen_.str().substr(0, 27), "first second\n(mpi-rank  0) ");
}

TEST_F(StreamFixture, ThresholdKeepsTheFileAndNeverTheScreen) {
  Start(kLevelWarning);
  *diag_ << "FATAL: f"
         << "[end-entry]";
  *diag_ << "ERROR: e"
         << "[end-entry]";
  *diag_ << "WARNING: w " << 1 << "[end-entry]";
  *diag_ << "INFO: i " << 2 << "[end-entry]";
  *diag_ << "DEBUG: d"
         << "[end-entry]";
  *diag_ << 5 << " numbers first"
         << "[end-entry]";
  *diag_ << "plain"
         << "[end-entry]";
  const std::vector<std::string> lines = EntryLines(Finish());
  const std::vector<std::string> expected = {Line(0, "f"), Line(1, "e"), Line(2, "w 1")};
  EXPECT_EQ(lines, expected);
  EXPECT_NE(screen_.str().find("i 2\n"), std::string::npos);
  EXPECT_NE(screen_.str().find("5 numbers first\n"), std::string::npos);
  EXPECT_NE(screen_.str().find("plain\n"), std::string::npos);
}

TEST_F(StreamFixture, SkipEntriesReachOnlyTheScreenAndCloseAnOpenLine) {
  Start(kLevelDebug);
  *diag_ << "SKIP: \nchoose one of the above options: "
         << "[end-entry]";
  *diag_ << "INFO: waiting for "
         << "sync.txt";
  *diag_ << "SKIP: menu in the middle"
         << "[end-entry]";
  *diag_ << "INFO: after"
         << "[end-entry]";
  const std::string file = Finish();
  const std::vector<std::string> expected = {Line(3, "waiting for sync.txt"), Line(3, "after")};
  EXPECT_EQ(EntryLines(file), expected);
  EXPECT_NE(screen_.str().find("\nchoose one of the above options: \n"), std::string::npos);
  EXPECT_NE(screen_.str().find("menu in the middle"), std::string::npos);
}

TEST_F(StreamFixture, EndMarkerIsCutWhereItStands) {
  Start(kLevelDebug);
  *diag_ << "INFO: before[end-entry] after";
  *diag_ << "INFO: next[end-entry]";
  const std::vector<std::string> expected = {Line(3, "before after"), Line(3, "next")};
  EXPECT_EQ(EntryLines(Finish()), expected);
  EXPECT_EQ(screen_.str(), "before after\n(mpi-rank  0) next\n(mpi-rank  0) ");
}

TEST_F(StreamFixture, EntryLeftOpenIsClosedAtDestruction) {
  Start(kLevelDebug);
  *diag_ << "ERROR: never ended " << 9;
  const std::vector<std::string> lines = SplitLines(Finish());
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], Line(1, "never ended 9"));
  EXPECT_EQ(lines[7], "</Diag>");
}

// The file declares UTF-8. Names and words echoed from Latin-1 control files or station tables
// must not make it unreadable: valid UTF-8 passes unchanged, any other byte is taken as Latin-1.
TEST_F(StreamFixture, BytesThatAreNoUtf8AreWrittenAsLatin1) {
  Start(kLevelDebug);
  const std::string text =
      "WARNING: station Z\xfcrich, Z\xc3\xbcrich, \xe2\x82\xac, \xf0\x9f\x8c\xa7, cut \xc3, "
      "overlong \xc0\xaf, surrogate \xed\xa0\x80, not a character \xef\xbf\xbf";
  *diag_ << text << '\xb0' << "[end-entry]";
  const std::string path = diag_->file_name();
  const std::vector<std::string> lines = EntryLines(Finish());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            Line(2,
                 "station Z\xc3\xbcrich, Z\xc3\xbcrich, \xe2\x82\xac, \xf0\x9f\x8c\xa7, cut "
                 "\xc3\x83, overlong \xc3\x80\xc2\xaf, surrogate \xc3\xad\xc2\xa0\xc2\x80, not a "
                 "character \xc3\xaf\xc2\xbf\xc2\xbf\xc2\xb0"));
  // The screen shows the bytes as they came.
  EXPECT_EQ(screen_.str(), text.substr(9) + "\xb0\n(mpi-rank  0) ");
  VELORN_REQUIRE_REFDATA(schema, "pi-diag-schema/pi_diag.xsd");
  EXPECT_EQ(ValidateDiagnostics(path, schema), "");
}

TEST_F(StreamFixture, EveryKindOfEntryValidatesAgainstTheSchema) {
  VELORN_REQUIRE_REFDATA(schema, "pi-diag-schema/pi_diag.xsd");
  Start(kLevelDebug);
  *diag_ << "FATAL: <tag> & \"quoted\" 'single' \x01\x1f\r\n-- ---"
         << "[end-entry]";
  *diag_ << "INFO: open "
         << "WARNING: second"
         << "[end-entry]";
  *diag_ << "INFO: cut by a menu ";
  *diag_ << "SKIP: menu"
         << "[end-entry]";
  *diag_ << 1.5 << '&' << static_cast<const void*>(nullptr) << "[end-entry]";
  *diag_ << "DEBUG: left open";
  const std::string path = diag_->file_name();
  diag_.reset();
  EXPECT_EQ(ValidateDiagnostics(path, schema), "");
}

// Entries written by many threads of one row loop arrive whole, in the file and on the screen;
// a FATAL entry of one row arrives once, with its code.
TEST_F(StreamFixture, EntriesFromManyThreadsArriveWhole) {
  Start(kLevelDebug);
  omp_set_num_threads(8);
  constexpr long kRows = 400;
  ForEachRow(1, kRows, [&](long r) {
    *diag_ << "WARNING: row " << r << " of " << kRows << ", " << std::setw(4) << r % 7 << " pieces"
           << '!' << "[end-entry]";
  });
  const int code = test::ThrownCode([&] {
    ForEachRow(1, kRows, [&](long r) {
      if (r == 123) ThrowFatal(*diag_, 41, "FATAL: row ", r, " failed");
    });
  });
  EXPECT_EQ(code, 41);
  const std::vector<std::string> lines = EntryLines(Finish());
  std::vector<std::string> expected;
  for (long r = 1; r <= kRows; ++r) {
    char text[64];
    std::snprintf(text, sizeof text, "row %ld of %ld, %4ld pieces!", r, kRows, r % 7);
    expected.push_back(Line(2, text));
  }
  ASSERT_EQ(lines.size(), kRows + 1);
  std::vector<std::string> warnings(lines.begin(), lines.begin() + kRows);
  std::sort(warnings.begin(), warnings.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(warnings, expected);
  EXPECT_EQ(lines[kRows], Line(0, "row 123 failed"));
  std::size_t screen_lines = 0;
  for (const std::string& line : SplitLines(screen_.str())) {
    if (line.find(" of 400, ") == std::string::npos) continue;
    ++screen_lines;
    EXPECT_NE(line.find(" pieces!"), std::string::npos) << line;
  }
  EXPECT_EQ(screen_lines, kRows);
}

TEST(DiagnosticStreamFileName, RankIsInsertedBeforeTheExtension) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  std::ostringstream screen;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "Velorn_Diag_0.xml"}, {"run.xml", "run_0.xml"},   {"a.b.c", "a.b_0.xml"},
      {"diag", "diag_0.xml"},    {"./diag", "./diag_0.xml"}, {"sub.d/x", "sub.d/x_0.xml"}};
  fs::create_directory("sub.d");
  for (const auto& [requested, expected] : cases) {
    DiagnosticStream diag(requested, kLevelDebug, screen);
    EXPECT_EQ(diag.file_name(), expected) << requested;
    EXPECT_TRUE(fs::exists(expected)) << expected;
  }
  EXPECT_EQ(screen.str(), "");
}

TEST(DiagnosticStreamFallback, UnopenableFileFallsBackToTheWorkingDirectory) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  std::ostringstream screen;
  {
    DiagnosticStream diag("missing/run.xml", kLevelDebug, screen);
    EXPECT_EQ(diag.file_name(), "Velorn_Diag.xml");
    diag << "INFO: kept"
         << "[end-entry]";
  }
  EXPECT_EQ(screen.str(),
            "(mpi-rank  0) \n ----- Warning -----\n error opening diagnostics output file "
            "missing/run_0.xml\n(mpi-rank  0) \nusing default name Velorn_Diag.xml in actual "
            "working directory\n -------------------\n\n\nkept\n(mpi-rank  0) ");
  const std::vector<std::string> expected = {Line(3, "kept")};
  EXPECT_EQ(EntryLines(ReadFile("Velorn_Diag.xml")), expected);
}

TEST(DiagnosticStreamFallback, FailingFallbackThrows320) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  // Directories in place of the files make both opens fail, also for root.
  fs::create_directory("Velorn_Diag.xml");
  fs::create_directory("Velorn_Diag_0.xml");
  std::ostringstream screen;
  try {
    DiagnosticStream diag("missing/run.xml", kLevelDebug, screen);
    FAIL() << "no error code";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 320);
  }
  EXPECT_NE(screen.str().find("(mpi-rank  0) Error opening diagnostics output file "
                              "Velorn_Diag.xml\n"),
            std::string::npos)
      << screen.str();
  // The stream without arguments gives up at once.
  try {
    DiagnosticStream diag;
    FAIL() << "no error code";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 320);
  }
}

}  // namespace
}  // namespace velorn

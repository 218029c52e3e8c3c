// Control-file compilation: compiled files of whole control files against golden files, the
// exact texts of the messages, and every way a control file can stop the compilation.
#include "setup/control_file_compiler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/error_code.h"
#include "tests/support/test_files.h"

namespace velorn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const std::string kRule(59, '-');

struct Outcome {
  int code = 0;
  std::string compiled;  // the compiled file, when the compilation succeeded
  std::string screen;    // what process 0 showed
  std::string xml;       // the diagnostics file
};

class ControlFileCompilerTest : public ::testing::Test {
 protected:
  Outcome Compile(const std::string& text) {
    WriteFile(dir_ / "run.ctl", text);
    return CompileFile(dir_ / "run.ctl");
  }

  Outcome CompileFile(const std::string& path) {
    Outcome outcome;
    std::ostringstream screen;
    {
      DiagnosticStream diag(dir_ / "diag.xml", 4, screen);
      try {
        EXPECT_EQ(ControlFileCompiler(diag).CompileControlFileSymbols(path), path + ".$$$");
      } catch (const ErrorCode& error) {
        outcome.code = error.code;
      }
    }
    outcome.screen = screen.str();
    outcome.xml = ReadFile(dir_ / "diag_0.xml");
    if (outcome.code == 0) outcome.compiled = ReadFile(path + ".$$$");
    return outcome;
  }

  // The framed message about the control file as the screen shows it.
  static std::string Framed(const std::string& body) {
    return "\n" + kRule + "\npossible error in control file!\n" + body + "\n\n" + kRule + "\n";
  }

  static size_t Count(const std::string& text, const std::string& pattern) {
    size_t n = 0;
    for (size_t pos = text.find(pattern); pos != std::string::npos;
         pos = text.find(pattern, pos + 1))
      ++n;
    return n;
  }

  TempDir dir_;
};

TEST_F(ControlFileCompilerTest, CompiledFilesMatchGoldenFiles) {
  const fs::path data = fs::path(__FILE__).parent_path() / "data";
  for (const char* name : {"plain.ctl", "symbols.ctl", "no_final_newline.ctl"}) {
    SCOPED_TRACE(name);
    fs::copy_file(data / name, dir_.path() / name);
    Outcome outcome = CompileFile(dir_ / name);
    ASSERT_EQ(outcome.code, 0) << outcome.screen;
    EXPECT_EQ(outcome.compiled, ReadFile((data / (std::string(name) + ".expected")).string()));
    EXPECT_NE(
        outcome.screen.find(std::string("compiling symbols in control file ") + (dir_ / name)),
        std::string::npos);
  }
}

TEST_F(ControlFileCompilerTest, FaultsOfTheFileAreNamedWithTheirLine) {
  Outcome outcome = Compile("[a]\n# $b is never defined\nx = $b # comment\n");
  EXPECT_EQ(outcome.code, 17);
  EXPECT_NE(outcome.screen.find(Framed("undefined symbol at line 3:\n x = $b\n")),
            std::string::npos)
      << outcome.screen;
  EXPECT_NE(outcome.xml.find("<line level=\"0\""), std::string::npos);

  // In a definition, the value is shown; a symbol of a later line is undefined there.
  outcome = Compile("$set $a = $b///x\n$set $b = /p\n");
  EXPECT_EQ(outcome.code, 17);
  EXPECT_NE(outcome.screen.find(Framed("undefined symbol at line 1:\n$b///x")), std::string::npos);

  // A reference runs to the next white space: ',' and ')' stay part of it. A "$settings" path
  // is an ordinary line whose reference is looked up, not copied through.
  for (const char* text : {"$set $a = 1\nx = $a,\n", "$set $a = 1\nx = f($a)\n",
                           "dir = /home/$settings//x\n", "$setx $a = 1\n"})
    EXPECT_EQ(Compile(text).code, 17) << text;
  // Line ends of CR alone and control characters are named, not the sections they hide.
  const std::pair<std::string, std::string> characters[] = {
      {"[model_time]\r24\r1\r", "line 1 of control file " + (dir_ / "run.ctl") +
                                    " ends its lines with a carriage return alone"},
      {"[a]\n1\n[model_time]" + std::string(1, '\0') + "\n24\n",
       "line 3 of control file " + (dir_ / "run.ctl") +
           " holds the control character NUL at column 13; a control file holds text only"},
      {"[a]\nx = 1\x01\n", "holds the control character 0x01 at column 6"},
  };
  for (const auto& [text, message] : characters) {
    outcome = Compile(text);
    EXPECT_EQ(outcome.code, 17);
    EXPECT_NE(outcome.screen.find(message), std::string::npos) << outcome.screen;
  }
  // Windows line ends, and control characters inside a comment, are fine.
  EXPECT_EQ(Compile("[a]\r\n1\r\n# \x01 a comment\n").code, 0);
  // A section given twice is refused, naming both lines of the control file; a header that no
  // model knows is named in a WARNING (the section of a meteorological variable is known).
  const std::string name = dir_ / "run.ctl";
  outcome = Compile("[snow_model]\n1\n# the second copy\n\n  [snow_model]\n0\n");
  EXPECT_EQ(outcome.code, 17);
  EXPECT_NE(outcome.screen.find("the section [snow_model] stands twice in " + name +
                                ", in lines 1 and 5; the model would read only the first"),
            std::string::npos)
      << outcome.screen;
  outcome = Compile("[meteo_names]\ntemperature\n[temperature]\n1\n[snow_modell]\n1\n");
  EXPECT_EQ(outcome.code, 0);
  EXPECT_NE(outcome.screen.find("the section [snow_modell] in line 5 of " + name +
                                " is read by no model: check its spelling"),
            std::string::npos)
      << outcome.screen;
  EXPECT_EQ(Count(outcome.screen, "is read by no model"), 1u) << outcome.screen;
}

TEST_F(ControlFileCompilerTest, SelfReferenceStopsInsteadOfGrowing) {
  for (const char* text : {"$set $a = $a\n", "$set $a = $a//x\n", "$set $a = pre$a;\n"}) {
    Outcome outcome = Compile(text);
    EXPECT_EQ(outcome.code, 17) << text;
    EXPECT_NE(outcome.screen.find("symbol $a refers to itself at line 1:"), std::string::npos)
        << outcome.screen;
  }
  // A symbol redefined from its own earlier value is no self-reference: the first value wins.
  EXPECT_EQ(Compile("$set $a = 1\n$set $a = $a\nx = $a\n").compiled, "x = 1\n");
  // Two symbols that name each other: the first one's value uses a later symbol.
  EXPECT_EQ(Compile("$set $a = $b\n$set $b = $a\nx = $a\n").code, 17);
}

TEST_F(ControlFileCompilerTest, CycleThroughValuesIsReported) {
  std::ostringstream screen;
  DiagnosticStream diag(dir_ / "diag.xml", 4, screen);
  ControlFileCompiler compiler(diag);
  SymbolTable table{{"$a", "$b", "$c"}, {"$b//1", "x$c", "$a"}};
  std::string line = " v = $a\n";
  try {
    compiler.SubstituteSymbols(line, 9, table);
    ADD_FAILURE() << "cycle not detected: " << line;
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 17);
  }
  EXPECT_NE(screen.str().find("symbol $a refers to itself at line 9:"), std::string::npos)
      << screen.str();

  // The same symbol used again next to its own value, or nested twice, is no cycle.
  SymbolTable nested{{"$p", "$q"}, {"$q//s", "/r"}};
  line = " $p $q $p;\n";
  EXPECT_EQ(compiler.SubstituteSymbols(line, 1, nested), " /rs /r /rs;\n");
}

TEST_F(ControlFileCompilerTest, DuplicatePathValuesGiveInfoWarnings) {
  Outcome outcome = Compile(
      "$set $a = /p/q\n$set $b = /p/q\n$set $c = /p/q\n$set $n = 10\n$set $m = 10\n"
      "$set $i = -inf\n$set $j = -inf\n$set $e =\n$set $f =\n");
  ASSERT_EQ(outcome.code, 0);
  // One note per repeated value, naming its first two symbols.
  EXPECT_EQ(Count(outcome.screen, "content of symbol"), 1u) << outcome.screen;
  const std::string warning =
      "\n------------------------ WARNING --------------------------"
      "\npossible error in control file!\ncontent of symbol $a is the "
      "same as symbol $b, \n (which is: /p/q).\nthis may lead to "
      "collusions!\n" +
      kRule + "\n";
  EXPECT_NE(outcome.screen.find(warning), std::string::npos) << outcome.screen;
  EXPECT_EQ(Count(outcome.xml, "<line level=\"3\""), 3u);  // start, finish and the warning
  EXPECT_EQ(outcome.compiled, "");
}

TEST_F(ControlFileCompilerTest, LimitsEndWithFatalInsteadOfTruncating) {
  const std::string long_text(300, 'x');
  EXPECT_EQ(Compile("$set $" + long_text.substr(1) + " = 1\n").code, 17);  // name of 300
  EXPECT_EQ(Compile("$set $a = " + long_text + "\n").code, 17);            // value of 300
  EXPECT_EQ(Compile("$set $a = " + long_text.substr(1) + "\nx = $a\n").code, 0);
  EXPECT_EQ(Compile("$set $a " + std::string(100, '=') + " 1\n").code, 17);  // third word
  // A value that grows past 299 characters through its references.
  EXPECT_EQ(Compile("$set $a = " + long_text.substr(150) + "\n$set $b = $a;$a\n").code, 17);

  std::string symbols;
  for (int i = 1; i <= 2000; ++i) symbols += "$set $s" + std::to_string(i) + " = " + "1\n";
  EXPECT_EQ(Compile(symbols + "x = $s2000\n").compiled, "x = 1\n");
  EXPECT_EQ(Compile(symbols + "$set $s2001 = 1\n").code, 17);
}

TEST_F(ControlFileCompilerTest, LongLinesAreCheckedWhole) {
  // 2399 characters is the longest line; a longer one is not split into several lines.
  const std::string longest = "k = " + std::string(2395, 'v');
  EXPECT_EQ(Compile(longest + "\n").compiled, longest + "\n");
  Outcome outcome = Compile("a = 1\n" + longest + "v\n");
  EXPECT_EQ(outcome.code, 17);
  EXPECT_NE(outcome.screen.find("line 2 of control file"), std::string::npos) << outcome.screen;
  // Substitution may not make a line longer than 2400 characters (with the front blank).
  std::string value(299, 'w');
  std::string line = "k =";
  while (line.size() + 3 < 2399) line += " $w";
  EXPECT_EQ(Compile("$set $w = " + value + "\n" + line + "\n").code, 17);
}

TEST_F(ControlFileCompilerTest, FileErrorsGiveTheirCodes) {
  Outcome missing = CompileFile(dir_ / "absent.ctl");
  EXPECT_EQ(missing.code, 28);
  EXPECT_NE(missing.screen.find("error opening " + (dir_ / "absent.ctl")), std::string::npos);

  // The compiled file cannot be created where a directory of its name stands.
  fs::create_directory(dir_.path() / "run.ctl.$$$");
  Outcome blocked = Compile("a = 1\n");
  EXPECT_EQ(blocked.code, 28);
  EXPECT_NE(blocked.screen.find("error opening " + (dir_ / "run.ctl.$$$")), std::string::npos);

  // A directory or a device given as control file is no file to compile (/dev/zero would be
  // read until memory runs out).
  EXPECT_EQ(CompileFile(dir_.path().string()).code, 28);
  const Outcome device = CompileFile("/dev/zero");
  EXPECT_EQ(device.code, 28);
  EXPECT_NE(device.screen.find("/dev/zero - it is not a regular file"), std::string::npos);

  // A sparse file of 20 GB is refused by its size, before anything is read.
  const fs::path sparse = dir_.path() / "sparse.ctl";
  std::ofstream(sparse).put('[');
  fs::resize_file(sparse, 20ull << 30);
  const Outcome huge = CompileFile(sparse.string());
  EXPECT_EQ(huge.code, 28);
  EXPECT_NE(huge.screen.find("holds 21474836480 bytes, more than a control file can hold"),
            std::string::npos)
      << huge.screen;
}

TEST_F(ControlFileCompilerTest, CommentsDoNotCountAndRepeatedValuesAreNotedOnce) {
  // A comment is dropped, so its length does not matter.
  const std::string comment(3000, 'c');
  EXPECT_EQ(Compile("#" + comment + "\nk = 1 #" + comment + "\n").compiled, "k = 1\n");
  // 2000 symbols of one value: one note, not one per pair of symbols.
  std::string symbols;
  for (int i = 1; i <= 2000; ++i) symbols += "$set $s" + std::to_string(i) + " = /same/path\n";
  const Outcome outcome = Compile(symbols);
  ASSERT_EQ(outcome.code, 0);
  EXPECT_EQ(Count(outcome.xml, "content of symbol"), 1u);
  EXPECT_NE(outcome.screen.find("content of symbol $s1 is the same as symbol $s2,"),
            std::string::npos);
}

TEST_F(ControlFileCompilerTest, CompileOnRankZeroGivesTheCompiledName) {
  const std::string name = dir_ / "run.ctl";
  WriteFile(name, "$set $d = /x/\nf = $d//y\n");
  std::ostringstream screen;
  DiagnosticStream diag(dir_ / "diag.xml", 4, screen);
  EXPECT_EQ(CompileOnRankZero(diag, name), name + ".$$$");
  EXPECT_EQ(ReadFile(name + ".$$$"), "f = /x/y\n");
  EXPECT_EQ(CompiledControlFileName("a.b"), "a.b.$$$");
}

}  // namespace
}  // namespace velorn

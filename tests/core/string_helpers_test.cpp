// Tests of the text helpers: tokenizing with quotes and delimiter runs, substring position and
// presence, cutting and upper-casing.
#include "core/string_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velorn {
namespace {

using Tokens = std::vector<std::string>;

Tokens Split(const std::string& text, const std::string& delimiters, bool keep = false) {
  Tokens tokens;
  Tokenize(text, delimiters, tokens, keep);
  return tokens;
}

TEST(Tokenize, DelimiterRunsAndQuotes) {
  struct Case {
    const char* name;
    std::string text, delimiters;
    bool keep;
    Tokens tokens;
  };
  const Case cases[] = {
      {"a run of delimiters separates once", "a,,b", ",", false, {"a", "b"}},
      {"mixed delimiters at both ends", "  a \t b  ", " \t", false, {"a", "b"}},
      {"the flag keeps a trailing empty token", "a,", ",", true, {"a", ""}},
      {"no trailing empty token without it", "a,", ",", false, {"a"}},
      {"delimiters only", ",,", ",", false, {}},
      {"one delimiter kept", ",", ",", true, {"", ""}},
      {"empty text", "", ",", true, {}},
      {"quoted text stays one token with its quotes",
       "name = \"a b, c\" 3",
       " ,=",
       false,
       {"name", "\"a b, c\"", "3"}},
      {"a quote after one backslash does not close",
       R"("say \"hi\" now" x)",
       " ",
       false,
       {R"("say \"hi\" now")", "x"}},
      {"a quote after two backslashes closes", R"("dir\\" x)", " ", false, {R"("dir\\")", "x"}},
      {"quotes among the delimiters do not group", "\"a b\"", " \"", false, {"a", "b"}},
      {"character after a closing quote is not lost",
       "\"a b\"c d",
       " ",
       false,
       {"\"a b\"", "c", "d"}},
      {"quoted tokens between delimiters", "\"a\",\"b\"", ",", false, {"\"a\"", "\"b\""}},
      {"unclosed quote runs to the end",
       "x \"open quote here",
       " ",
       false,
       {"x", "\"open quote here"}},
      {"unclosed quote alone, no duplicates", "\"ab", " ", false, {"\"ab"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.text, c.delimiters, c.keep), c.tokens) << c.name;
}

TEST(Tokenize, AppendsToTheListAndReturnsItsSize) {
  Tokens tokens = {"kept"};
  EXPECT_EQ(Tokenize("x y", " ", tokens), 3);
  EXPECT_EQ(tokens, (Tokens{"kept", "x", "y"}));
  EXPECT_EQ(Tokenize("   ", " ", tokens), 3);
}

TEST(SubstringPosition, AbsentAndAtTheStartBothGiveZeroContainsTellsThemApart) {
  EXPECT_EQ(SubstringPosition("abcabc", "ca"), 2);
  EXPECT_EQ(SubstringPosition("abc", "ab"), 0);
  EXPECT_EQ(SubstringPosition("abc", "x"), 0);
  EXPECT_TRUE(Contains("-dumpmode:5", "-dumpmode"));
  EXPECT_TRUE(Contains("x-dumpmode", "-dumpmode"));
  EXPECT_FALSE(Contains("-dump", "-dumpmode"));
}

TEST(CutSubstring, KeepsLengthPlusOneCharactersClampedToTheText) {
  std::string text = "abcdef";
  EXPECT_EQ(CutSubstring(text, 1, 2), "bcd");
  EXPECT_EQ(text, "bcd");
  text = "abcdef";
  EXPECT_EQ(CutSubstring(text, 4, 10), "ef");
  text = "abcdef";
  EXPECT_EQ(CutSubstring(text, 9, 1), "");
  text = "abcdef";
  EXPECT_EQ(CutSubstring(text, -1, 2), "abcdef");
  EXPECT_EQ(CutSubstring(text, 1, -2), "abcdef");
}

TEST(ToUpperCopy, OnlyLettersAToZChange) {
  const std::string text = "info-3 Ä\xe4z";
  EXPECT_EQ(ToUpperCopy(text), "INFO-3 Ä\xe4Z");
  EXPECT_EQ(text, "info-3 Ä\xe4z");
}

TEST(FormatText, WritesPrintfFormsOfAnyLength) {
  const std::string long_name(3000, 'a');
  EXPECT_EQ(FormatText("%s.$$$", long_name.c_str()), long_name + ".$$$");
  EXPECT_EQ(FormatText("%.*lf", 6, -9999.0), "-9999.000000");
  EXPECT_EQ(FormatText("%.*s_%04ld", 2, "prec", 19L), "pr_0019");
  EXPECT_EQ(FormatText("%s", ""), "");
}

// The names a message offers for a misspelt one: near ones first, far ones not at all.
TEST(NearestNames, OffersTheNearOnesInOrder) {
  const std::vector<std::string> ids = {
      "temperature", "theta", "throughfall0", "Theta", "precipitation", "theta", "hh"};
  struct Case {
    const char* word;
    std::vector<std::string> nearest;
  } const cases[] = {
      {"Theta", {"theta", "Theta"}},        // case counts for nothing: both at 0
      {"thetta", {"theta", "Theta"}},       // one letter too many
      {"temprature", {"temperature"}},      // one missing
      {"percipitaion", {"precipitation"}},  // three apart in a long word
      {"wind", {}},                         // nothing near
      {"h", {"hh"}},                        // short words: at most 2 apart
      {"", {"hh"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(NearestNames(c.word, ids, 3), c.nearest);
  }
  EXPECT_EQ(NearestNames("theta", ids, 1), std::vector<std::string>{"theta"});
}

// A grid name says the form it is written in: an extension that names a form (any case) takes
// the written one's, every other extension stays as given. netCDF files add ".nc" to an ASCII
// grid's name.
TEST(GridFormExtension, NamesTheWrittenForm) {
  struct Case {
    const char* given;
    bool ascii, doubles, netcdf;
    const char* written;
  } const cases[] = {
      {"asc", false, true, false, "dbl"},   // binary doubles are not "asc"
      {"asc", false, false, false, "flt"},  // nor binary floats
      {"ASC", false, true, false, "dbl"},
      {"asc", true, true, false, "asc"},  // ASCII wins over doubles, as the writer decides
      {"asc", false, true, true, "asc"},  // netCDF adds ".nc"
      {"dbl", true, false, false, "asc"},
      {"dbl", false, true, false, "dbl"},
      {"Dbl", false, true, false, "Dbl"},  // the form written: as given
      {"grd", false, true, false, "grd"},  // no form named: as given
      {"", false, true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(ExtensionOfWrittenForm(c.given, c.ascii, c.doubles, c.netcdf), c.written);
  }
  EXPECT_EQ(GridFormExtension(false, true, false), "dbl");
  EXPECT_EQ(GridFormExtension(true, false, false), "asc");
}

}  // namespace
}  // namespace velorn

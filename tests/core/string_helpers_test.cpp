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

TEST(Tokenize, DelimiterRunsSeparateOnceAndTheFlagKeepsATrailingEmptyToken) {
  EXPECT_EQ(Split("a,,b", ","), (Tokens{"a", "b"}));
  EXPECT_EQ(Split("  a \t b  ", " \t"), (Tokens{"a", "b"}));
  EXPECT_EQ(Split("a,", ",", true), (Tokens{"a", ""}));
  EXPECT_EQ(Split("a,", ","), (Tokens{"a"}));
  EXPECT_EQ(Split(",,", ","), Tokens{});
  EXPECT_EQ(Split(",", ",", true), (Tokens{"", ""}));
  EXPECT_EQ(Split("", ",", true), Tokens{});
}

TEST(Tokenize, AppendsToTheListAndReturnsItsSize) {
  Tokens tokens = {"kept"};
  EXPECT_EQ(Tokenize("x y", " ", tokens), 3);
  EXPECT_EQ(tokens, (Tokens{"kept", "x", "y"}));
  EXPECT_EQ(Tokenize("   ", " ", tokens), 3);
}

TEST(Tokenize, QuotedTextStaysOneTokenWithItsQuotes) {
  EXPECT_EQ(Split("name = \"a b, c\" 3", " ,="), (Tokens{"name", "\"a b, c\"", "3"}));
  // A quote after one backslash does not close; after two it does.
  EXPECT_EQ(Split(R"("say \"hi\" now" x)", " "), (Tokens{R"("say \"hi\" now")", "x"}));
  EXPECT_EQ(Split(R"("dir\\" x)", " "), (Tokens{R"("dir\\")", "x"}));
  // With the quote among the delimiters quotes do not group.
  EXPECT_EQ(Split("\"a b\"", " \""), (Tokens{"a", "b"}));
}

TEST(Tokenize, CharacterAfterAClosingQuoteIsNotLost) {
  EXPECT_EQ(Split("\"a b\"c d", " "), (Tokens{"\"a b\"", "c", "d"}));
  EXPECT_EQ(Split("\"a\",\"b\"", ","), (Tokens{"\"a\"", "\"b\""}));
}

TEST(Tokenize, UnclosedQuoteRunsToTheEndWithoutDuplicates) {
  EXPECT_EQ(Split("x \"open quote here", " "), (Tokens{"x", "\"open quote here"}));
  EXPECT_EQ(Split("\"ab", " "), (Tokens{"\"ab"}));
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

}  // namespace
}  // namespace velorn

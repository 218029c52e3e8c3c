// Tests of the text helpers: tokenizing with quotes and delimiter runs, substring position and
// presence, cutting and upper-casing.
#include "core/string_helpers.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/zone_entry_sums.h"

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

// The writers' numbers: "%g" for grids and tables, "%.17g" for the doubles of state files.
TEST(AppendGeneral, WritesPrintfsTextByteForByte) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                -9999.0,
                                1e-5,
                                123456.0,
                                1234567.0,
                                0.0001,
                                0.00001,
                                9.999995e-5,
                                999999.5,
                                1e300,
                                -1e-300,
                                4.9e-324,
                                1.7976931348623157e308,
                                2.5,
                                0.125,
                                100.0,
                                1e6,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN(),
                                -std::numeric_limits<double>::quiet_NaN()};
  // Many values of every magnitude and sign, including the halfway cases of six digits.
  uint64_t state = 88172645463325252ull;
  for (int i = 0; i < 200000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const double mantissa = static_cast<double>(state % 20000001) / 1000.0 - 10000.0;
    values.push_back(std::ldexp(mantissa, static_cast<int>(state >> 40) % 120 - 60));
    values.push_back(static_cast<double>(static_cast<int64_t>(state % 2000001) - 1000000) / 8.0);
  }
  // Every bit pattern alike: subnormals, the halfway cases of 17 digits, NaNs with payloads.
  for (int i = 0; i < 200000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    values.push_back(std::bit_cast<double>(state));
  }
  // Whole numbers up to and beyond the digits of each precision.
  for (double whole = 1; whole < 1e19; whole *= 10)
    for (const double value : {whole - 1, whole, whole + 1, -whole, 9007199254740993.0 * whole})
      values.push_back(value);
  // The neighbours of powers of ten, where the digit count and the form change.
  for (int exponent = -310; exponent <= 308; ++exponent) {
    const double power = std::pow(10.0, exponent);
    values.push_back(power);
    values.push_back(std::nextafter(power, 0.0));
    values.push_back(-std::nextafter(power, INFINITY));
  }
  for (const double value : values) {
    for (const int precision : {6, 17, 1, 16}) {
      std::string text = "x";
      AppendGeneral(text, value, precision);
      char expected[64];
      std::snprintf(expected, sizeof expected, "x%.*g", precision, value);
      ASSERT_EQ(text, expected) << std::hexfloat << value << " precision " << precision;
    }
  }
}

// The flow-time records of a storage content file: the lines printf wrote before, byte for byte.
TEST(AppendGeneral, FlowTimeRecordsAreThePrintfLines) {
  const std::vector<ZoneRecord> qd = {
      {}, {{3, 0.1, 1, 1.0 / 3, 2.5e-300}}, {{-0.0, 1e17, 2, 0, -7}}};
  const std::vector<ZoneRecord> qi = {{}, {{40, 123.456, 1, 0.5, 1e300}}, {{0, -1e-5, 2, 1, 12}}};
  std::string expected;
  for (std::size_t z = 1; z <= 2; ++z)
    for (const auto* records : {&qd, &qi}) {
      const ZoneRecord& r = (*records)[z];
      expected += FormatText(
          "%.17g %.17g %.17g %.17g %.17g (zoneFZT_%s.n/.sx/.zonenwert/.rel/.RelCellSum)\n", r[0],
          r[1], r[2], r[3], r[4], records == &qd ? "QD" : "QI");
    }
  std::string text;
  AppendFlowTimeRecords(text, qd, qi, 2);
  EXPECT_EQ(text, expected);
}

}  // namespace
}  // namespace velorn

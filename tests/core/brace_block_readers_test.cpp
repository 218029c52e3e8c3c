// Tests of the brace-block readers: whole-key lookup, typed value reading, absent keys that keep
// the target, unreadable values and texts without a block refused with code 17, block cutting.
#include "core/brace_block_readers.h"

#include <gtest/gtest.h>

#include <string>

#include "core/error_code.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

class BraceBlockReaders : public test::DiagTest {};

struct KeyCase {
  const char* text;
  const char* key;
  bool found;
  const char* value_text;
};

TEST_F(BraceBlockReaders, KeysMatchAsWholeWordsFollowedByAnEqualsSign) {
  const KeyCase cases[] = {
      {"a = 1; b = 2;", "b", true, " 2"},
      {"abc = 3;", "a", false, ""},            // part of a longer word
      {"xa = 3;", "a", false, ""},             // end of a longer word
      {"abc = 3; a = 4;", "a", true, " 4"},    // the whole word later on
      {"a 5; b = 2;", "a", false, ""},         // no "=" after the key
      {"entity a {a = 7;}", "a", true, " 7"},  // a word without "=" is skipped
      {"{a=8}", "a", true, "8}"},              // no ";": the value runs to the end
      {"", "a", false, ""},
      {"a = 1;", "", false, ""},
  };
  for (const KeyCase& c : cases) {
    std::string value_text;
    EXPECT_EQ(FindKeyValueText(c.text, c.key, value_text), c.found) << c.text << " / " << c.key;
    if (c.found) {
      EXPECT_EQ(value_text, c.value_text) << c.text;
    }
  }
}

TEST_F(BraceBlockReaders, ValuesAreReadAsFromATextStreamAndAbsentKeysKeepTheTarget) {
  const std::string text = "n = 42; x = -1.5e-3; name = gauge 7; depth = 12 mm; ";
  int n = -1;
  double x = 0;
  std::string name = "unset";
  EXPECT_TRUE(ParseIntValue(diag_, text, "n", n));
  EXPECT_EQ(n, 42);
  EXPECT_TRUE(ParseDoubleValue(diag_, text, "x", x));
  EXPECT_DOUBLE_EQ(x, -1.5e-3);
  EXPECT_TRUE(ParseStringValue(diag_, text, "name", name));
  EXPECT_EQ(name, "gauge");  // one word
  EXPECT_TRUE(ParseIntValue(diag_, text, "depth", n));
  EXPECT_EQ(n, 12);  // a note may follow the number after a blank

  EXPECT_FALSE(ParseIntValue(diag_, text, "missing", n) || ParseDoubleValue(diag_, text, "xx", x) ||
               ParseStringValue(diag_, text, "na", name));
  EXPECT_EQ(n, 12);  // absent keys keep the targets
  EXPECT_DOUBLE_EQ(x, -1.5e-3);
  EXPECT_EQ(name, "gauge");
}

TEST_F(BraceBlockReaders, UnreadableValuesAreFatalAndKeepTheTarget) {
  // A number written onto other characters is none ("12mm", a decimal comma).
  const char* texts[] = {
      "v = ;", "v = abc;", "v = 99999999999;", "v =", "v = nan;", "v = 12mm;", "v = 40,16;"};
  for (const char* text : texts) {
    int n = 3;
    double x = 3;
    EXPECT_EQ(test::ThrownCode([&] { ParseIntValue(diag_, text, "v", n); }), kControlFileErrorCode)
        << text;
    EXPECT_EQ(n, 3) << text;
    if (std::string(text) != "v = 99999999999;") {
      EXPECT_EQ(test::ThrownCode([&] { ParseDoubleValue(diag_, text, "v", x); }),
                kControlFileErrorCode)
          << text;
    }
  }
  std::string word = "kept";
  EXPECT_EQ(test::ThrownCode([&] { ParseStringValue(diag_, "v =  ;", "v", word); }),
            kControlFileErrorCode);
  EXPECT_EQ(word, "kept");
  EXPECT_TRUE(ScreenHas("the value of v is no word"));
}

struct BlockCase {
  const char* text;
  const char* block;
  const char* rest;
};

TEST_F(BraceBlockReaders, BlocksRunThroughTheirClosingBraceAndTheTextKeepsWhatFollows) {
  const BlockCase cases[] = {
      {"x {k = 1;} y {m = 2;}", "k = 1;}", " y {m = 2;}"},
      {" y {m = 2;}", "m = 2;}", ""},
      {"{}", "}", ""},
      {"a {b {c} d}", "b {c}", " d}"},
      {"open {k = 1;", "k = 1;", ""},  // unclosed: to the end, nothing left
      {"} x {k}", "k}", ""},           // a stray brace before the block is dropped with it
  };
  for (const BlockCase& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(ExtractBracedBlock(diag_, text), c.block) << c.text;
    EXPECT_EQ(text, c.rest) << c.text;
  }
  for (const char* text : {"", "k = 1;}", "no block"}) {
    std::string rest = text;
    EXPECT_EQ(test::ThrownCode([&] { ExtractBracedBlock(diag_, rest); }), kControlFileErrorCode);
    EXPECT_EQ(rest, text);
  }
}

}  // namespace
}  // namespace velorn

// The one way a number written by a user is read: the control file, station files, grids,
// stacks, tables and state files all convert their numbers here.
//
// A number is a whole word: it ends where its word ends. "1,5" (a decimal comma), "0.2mm" (a
// unit written onto it), "3e" and "12O" are no numbers, whatever their front would read as;
// the caller refuses them with its own code and a message that names the word. Numbers are
// read with std::from_chars, so the locale never changes what a file means: plain decimal and
// exponent forms, a leading '+' allowed, no hexadecimal, no "nan" or "inf", nothing beyond the
// range of the type.
//
//   double lapse = 0;
//   if (!ReadNumber(word, lapse)) ...FATAL naming the word, NumberProblem(word)...
//
// A word runs from its first character to the next blank; in the item lists of the routing
// descriptions (`kItemSeparators`) also to a ',', ';', '(', ')', '&' or '=', except that a comma
// followed by a digit stays in the word: "0,05" is one (refused) word, "0.05," is 0.05 and its
// separator.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace velorn {

// The characters that end a word in an item list besides white space.
inline constexpr std::string_view kItemSeparators = ",;()&=";

// White space between words (line ends included).
inline bool IsNumberBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// End of the word that starts at `start` (see above; `separators` empty: blanks only).
std::size_t WordEnd(std::string_view text, std::size_t start, std::string_view separators = {});

// True when the whole of `word` is a number of the type; `value` is set only then.
bool ReadNumber(std::string_view word, double& value);
bool ReadNumber(std::string_view word, float& value);
bool ReadNumber(std::string_view word, int& value);
bool ReadNumber(std::string_view word, long& value);
bool ReadNumber(std::string_view word, long long& value);

// Reads the next blank-separated word of `file` (at most 255 characters; a character of
// `separators` ends it as well and stays unread) and converts the whole of it: the state files'
// values read one by one. False at the end of the file or when the word is no number of the
// type (the word is consumed either way).
bool ReadNumber(std::FILE* file, double& value, std::string_view separators = {});
bool ReadNumber(std::FILE* file, int& value, std::string_view separators = {});

// True when `word` begins as a number does (a digit, or a sign or point before one): a word that
// a user meant as a number, so that its refusal must be named rather than taken for a comment.
bool BeginsLikeNumber(std::string_view word);

// Why `word`, which a ReadNumber refused, is no value, for a message ("is not a whole number",
// "is no number: ..."); empty when it does not begin like a number at all.
std::string NumberProblem(std::string_view word);

// The numbers read, listed for the fuzz harness: when the environment variable
// VELORN_NUMBER_TRACE names a file (read once), every word a ReadNumber is given is appended to
// it as a line "<process id>\t<source>\t<word>\t<1 taken, 0 refused>", the source being the
// file named by the innermost NumberSource of the thread (the open file itself for the readers
// of a FILE*). The harness takes the fields to damage from this list. Off, it costs a test of
// a flag.
bool TracingNumbers();

// While it lives, the numbers read on this thread are traced as read from `name`.
class NumberSource {
 public:
  explicit NumberSource(std::string_view name);
  ~NumberSource();
  NumberSource(const NumberSource&) = delete;
  NumberSource& operator=(const NumberSource&) = delete;

 private:
  std::string previous_;
  bool set_ = false;
};

}  // namespace velorn

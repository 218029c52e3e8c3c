// The lexical rules of the silting-up formulas' language, shared by the text parser
// (expression_parser.cpp) and the compiler of the same statements (expression_program.cpp):
// limits, constants, error kinds and character classes. Both must read a statement alike, so
// they take these from here.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace velorn::expression_language {

inline constexpr std::size_t kMaxStatementLength = 255;
inline constexpr std::size_t kMaxTokenLength = 31;
inline constexpr std::size_t kMaxNameLength = 30;
// The largest n whose factorial a double holds (171! overflows).
inline constexpr int kMaxFactorial = 170;

inline constexpr double kEuler = 2.718281828459045;
inline constexpr double kPi = 3.141592653589793;

// Error kinds.
inline constexpr int kSyntaxErrorInPart = 1;
inline constexpr int kParenthesisMissing = 3;
inline constexpr int kEmptyExpression = 4;
inline constexpr int kUnexpectedPart = 5;
inline constexpr int kUnexpectedEnd = 6;
inline constexpr int kValueExpected = 7;
inline constexpr int kUnknownOperator = 101;
inline constexpr int kUnknownFunction = 102;
inline constexpr int kUnknownVariable = 103;
inline constexpr int kTooLong = 200;
inline constexpr int kIntegerExpected = 400;
inline constexpr int kIntegerOutOfRange = 401;
inline constexpr int kDivisionByZero = 402;

inline constexpr const char* kOperatorChars = "&|<>=+/*%^!";
inline constexpr const char* kNumberChars = "0123456789.";

inline bool IsOneOf(char c, const char* set) {
  return c != '\0' && std::strchr(set, c) != nullptr;
}
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
inline bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
inline char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
// End of the number word that starts at `start` (a digit or a point): its digits and points, an
// exponent with its sign, and every letter, digit, '_' or point glued to them. A number ends where
// its word ends, so "1.5.2", "1.5x" and "3e" are words that no number reads whole, never the
// number at their front.
inline std::size_t NumberWordEnd(const std::string& text, std::size_t start) {
  const std::size_t n = text.size();
  std::size_t end = start;
  while (end < n && IsOneOf(text[end], kNumberChars)) ++end;
  if (end < n && (text[end] == 'E' || text[end] == 'e')) {
    ++end;
    if (end < n && (text[end] == '+' || text[end] == '-')) ++end;
  }
  while (end < n && (IsLetter(text[end]) || IsDigit(text[end]) || text[end] == '.')) ++end;
  return end;
}

inline std::string UpperName(const std::string& name) {
  std::string upper = name;
  for (char& c : upper) c = Upper(c);
  return upper;
}

}  // namespace velorn::expression_language

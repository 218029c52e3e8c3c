// The whole-word number reader (see number_reader.h).
#include "core/number_reader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>

namespace velorn {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The word without a leading '+' (from_chars takes none), or an empty view when the '+' is
// followed by another sign.
std::string_view WithoutPlus(std::string_view word) {
  if (word.empty() || word.front() != '+') return word;
  word.remove_prefix(1);
  if (!word.empty() && (word.front() == '+' || word.front() == '-')) return {};
  return word;
}

template <class T>
bool ReadWhole(std::string_view word, T& value) {
  word = WithoutPlus(word);
  if (word.empty()) return false;
  const char* const end = word.data() + word.size();
  T read{};
  const auto [next, error] = std::from_chars(word.data(), end, read);
  if (next != end) return false;
  if constexpr (std::is_floating_point_v<T>) {
    // A number too small for the type ("1e-400") is read as what it rounds to, 0 or a
    // denormal; one too large stays refused below.
    if (error == std::errc::result_out_of_range)
      read = static_cast<T>(std::strtod(std::string(word).c_str(), nullptr));
    else if (error != std::errc())
      return false;
  } else if (error != std::errc()) {
    return false;
  }
  if constexpr (std::is_floating_point_v<T>)
    if (!std::isfinite(read)) return false;
  value = read;
  return true;
}

template <class T>
bool ReadFileWord(std::FILE* file, T& value, std::string_view separators) {
  std::string word;
  int c = std::fgetc(file);
  while (c != EOF && IsNumberBlank(static_cast<char>(c))) c = std::fgetc(file);
  while (c != EOF && !IsNumberBlank(static_cast<char>(c)) &&
         separators.find(static_cast<char>(c)) == std::string_view::npos && word.size() < 256) {
    word.push_back(static_cast<char>(c));
    c = std::fgetc(file);
  }
  if (c != EOF) std::ungetc(c, file);
  return ReadWhole(word, value);
}

}  // namespace

bool ReadNumber(std::FILE* file, double& value, std::string_view separators) {
  return ReadFileWord(file, value, separators);
}
bool ReadNumber(std::FILE* file, int& value, std::string_view separators) {
  return ReadFileWord(file, value, separators);
}

std::size_t WordEnd(std::string_view text, std::size_t start, std::string_view separators) {
  std::size_t end = start;
  while (end < text.size() && !IsNumberBlank(text[end])) {
    const char c = text[end];
    if (separators.find(c) != std::string_view::npos &&
        !(c == ',' && end + 1 < text.size() && IsDigit(text[end + 1])))
      break;
    ++end;
  }
  return end;
}

bool ReadNumber(std::string_view word, double& value) {
  return ReadWhole(word, value);
}
bool ReadNumber(std::string_view word, float& value) {
  return ReadWhole(word, value);
}
bool ReadNumber(std::string_view word, int& value) {
  return ReadWhole(word, value);
}
bool ReadNumber(std::string_view word, long& value) {
  return ReadWhole(word, value);
}
bool ReadNumber(std::string_view word, long long& value) {
  return ReadWhole(word, value);
}

bool BeginsLikeNumber(std::string_view word) {
  std::size_t at = 0;
  if (at < word.size() && (word[at] == '+' || word[at] == '-')) ++at;
  if (at < word.size() && word[at] == '.') ++at;
  return at < word.size() && IsDigit(word[at]);
}

std::string NumberProblem(std::string_view word) {
  std::string_view bare = word;
  if (!bare.empty() && (bare.front() == '+' || bare.front() == '-')) bare.remove_prefix(1);
  std::string lower(bare);
  for (char& c : lower) c = static_cast<char>(c | 0x20);
  if (lower == "nan" || lower == "inf" || lower == "infinity") return "is not a finite number";
  if (!BeginsLikeNumber(word)) return std::string();
  double value = 0;
  if (!ReadNumber(word, value)) {
    // A number written whole but beyond the range of a double ("1e999") is read as infinite.
    const std::string_view digits = WithoutPlus(word);
    const char* const end = digits.data() + digits.size();
    const auto [next, error] = std::from_chars(digits.data(), end, value);
    if (next == end && error == std::errc::result_out_of_range) return "is not a finite number";
    return "is no number: a number must be followed by a blank or the end of the line (a "
           "decimal comma, or a unit written onto the number, is not read)";
  }
  if (value != std::floor(value)) return "is not a whole number";
  if (std::fabs(value) > static_cast<double>(std::numeric_limits<int>::max()))
    return "lies outside the range of a whole number";
  return "must be a whole number written in digits";
}

}  // namespace velorn

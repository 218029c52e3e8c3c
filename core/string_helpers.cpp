// Text helpers: tokenizer with quoted tokens, substring position, cut, upper-case copy, printf
// into a string, the names nearest a misspelt one and the extensions of the grid forms.
#include "core/string_helpers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace velorn {
namespace {

// End of the quoted token that opens at `open` (the offset of its closing quote), or npos.
std::size_t ClosingQuote(const std::string& text, std::size_t open) {
  std::size_t at = text.find('"', open + 1);
  while (at != std::string::npos) {
    const bool escaped = text[at - 1] == '\\' && !(at >= open + 3 && text[at - 2] == '\\');
    if (!escaped) return at;
    at = text.find('"', at + 1);
  }
  return std::string::npos;
}

}  // namespace

int Tokenize(const std::string& text, const std::string& delimiters,
             std::vector<std::string>& tokens, bool keep_trailing_empty) {
  const bool quotes_group = delimiters.find('"') == std::string::npos;
  std::size_t pos = text.find_first_not_of(delimiters);
  if (pos == std::string::npos) {
    if (!keep_trailing_empty) return static_cast<int>(tokens.size());
    pos = text.find_first_of(delimiters);
  }
  while (pos < text.size()) {
    std::size_t next;  // where the search for the next token starts
    if (quotes_group && text[pos] == '"') {
      const std::size_t close = ClosingQuote(text, pos);
      if (close == std::string::npos) {
        // An unclosed quote takes the rest of the line; nothing is read twice.
        tokens.push_back(text.substr(pos));
        next = text.size();
      } else {
        tokens.push_back(text.substr(pos, close - pos + 1));
        next = close + 1;
      }
    } else {
      std::size_t end = text.find_first_of(delimiters, pos);
      if (end == std::string::npos) end = text.size();
      tokens.push_back(text.substr(pos, end - pos));
      next = end + 1;
    }
    pos = next < text.size() ? text.find_first_not_of(delimiters, next) : std::string::npos;
  }
  if (keep_trailing_empty && !text.empty() && delimiters.find(text.back()) != std::string::npos) {
    tokens.emplace_back();
  }
  return static_cast<int>(tokens.size());
}

int SubstringPosition(const std::string& text, const std::string& pattern) {
  const std::size_t at = text.find(pattern);
  return at == std::string::npos ? 0 : static_cast<int>(at);
}

bool Contains(const std::string& text, const std::string& pattern) {
  return text.find(pattern) != std::string::npos;
}

std::string& CutSubstring(std::string& text, int start, int length) {
  if (start < 0 || length < 0) return text;
  const std::size_t first = static_cast<std::size_t>(start);
  if (first >= text.size()) {
    text.clear();
    return text;
  }
  const std::size_t kept = static_cast<std::size_t>(length) + 1;
  text = text.substr(first, kept);
  return text;
}

std::string ToUpperCopy(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

std::string GridFormExtension(bool ascii, bool doubles, bool netcdf) {
  if (netcdf || ascii) return "asc";
  return doubles ? "dbl" : "flt";
}

std::string ExtensionOfWrittenForm(const std::string& extension, bool ascii, bool doubles,
                                   bool netcdf) {
  std::string lower = extension;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower != "asc" && lower != "dbl" && lower != "flt") return extension;
  const std::string written = GridFormExtension(ascii, doubles, netcdf);
  return lower == written ? extension : written;
}

namespace {

char LowerCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t EditDistance(const std::string& a, const std::string& b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1, 0));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i)
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t change = LowerCase(a[i - 1]) == LowerCase(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && LowerCase(a[i - 1]) == LowerCase(b[j - 2]) &&
          LowerCase(a[i - 2]) == LowerCase(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[n][m];
}

std::vector<std::string> NearestNames(const std::string& word,
                                      const std::vector<std::string>& candidates,
                                      std::size_t count) {
  std::vector<std::pair<std::size_t, std::size_t>> near;  // distance, candidate index
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const std::string& name = candidates[k];
    bool seen = false;
    for (std::size_t j = 0; j < k && !seen; ++j) seen = candidates[j] == name;
    if (seen || name.empty()) continue;
    const std::size_t limit = std::max<std::size_t>(2, std::max(word.size(), name.size()) / 3);
    const std::size_t distance = EditDistance(word, name);
    if (distance <= limit) near.emplace_back(distance, k);
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> names;
  for (std::size_t i = 0; i < near.size() && names.size() < count; ++i)
    names.push_back(candidates[near[i].second]);
  return names;
}

void AppendGeneral(std::string& text, double value, int precision) {
  // 17 digits, a sign, a point and an exponent of three digits fit; so does "-nan".
  char buffer[40];
  // A whole number of at most `precision` digits is printed as its digits, the way of counts,
  // codes and zone numbers; an integer conversion writes them faster than the general one.
  static constexpr double kPowersOfTen[] = {1e0, 1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,
                                            1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17};
  if (precision >= 1 && precision <= 17 && std::fabs(value) < kPowersOfTen[precision] &&
      value == std::trunc(value) && value != 0) {
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    text.append(buffer, end);
    return;
  }
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
  if (error == std::errc()) {
    text.append(buffer, end);
    return;
  }
  text += FormatText("%.*g", precision, value);  // more digits than the buffer holds
}

}  // namespace velorn

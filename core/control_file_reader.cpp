// ControlFileReader: line storage, cursor movement and the typed value scanners.
#include "core/control_file_reader.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <type_traits>
#include <utility>

#include "core/diagnostic_stream.h"

namespace velorn {
namespace {

// White space of formatted input (line ends are never inside a stored line).
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::size_t SkipBlanks(std::string_view text, std::size_t pos) {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  return pos;
}

// The word starting at `pos` (up to the next white space), copied so that the C conversions
// see a terminated string of bounded length.
std::string WordAt(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && !IsSpace(text[end])) ++end;
  return std::string(text.substr(pos, end - pos));
}

template <class T>
bool ScanInteger(std::string_view text, std::size_t& pos, T& value) {
  const std::size_t start = SkipBlanks(text, pos);
  const std::string word = WordAt(text, start);
  if (word.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(word.c_str(), &end, 10);
  if (end == word.c_str() || errno == ERANGE) return false;
  if (parsed < static_cast<long long>(std::numeric_limits<T>::min()) ||
      parsed > static_cast<long long>(std::numeric_limits<T>::max())) {
    return false;
  }
  value = static_cast<T>(parsed);
  pos = start + static_cast<std::size_t>(end - word.c_str());
  return true;
}

// The held compiled text of the running run: its name and content.
struct HeldText {
  const HeldControlText* holder = nullptr;
  std::string name;
  std::string text;
};
HeldText& Held() {
  static HeldText held;
  return held;
}

}  // namespace

void HeldControlText::Hold(const std::string& name, std::string text) {
  Held() = HeldText{this, name, std::move(text)};
}

void HeldControlText::Release() {
  if (Held().holder == this) Held() = HeldText{};
}

bool ScanValue(std::string_view text, std::size_t& pos, int& value) {
  return ScanInteger(text, pos, value);
}

bool ScanValue(std::string_view text, std::size_t& pos, long& value) {
  return ScanInteger(text, pos, value);
}

bool ScanValue(std::string_view text, std::size_t& pos, double& value) {
  const std::size_t start = SkipBlanks(text, pos);
  const std::string word = WordAt(text, start);
  if (word.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(word.c_str(), &end);
  // "nan", "inf" and numbers beyond the range of a double (read as infinite) are no values:
  // they would pass every range check of the callers.
  if (end == word.c_str() || !std::isfinite(parsed)) return false;
  value = parsed;
  pos = start + static_cast<std::size_t>(end - word.c_str());
  return true;
}

bool DecimalCommaAt(std::string_view text, std::size_t pos) {
  return pos + 1 < text.size() && text[pos] == ',' &&
         std::isdigit(static_cast<unsigned char>(text[pos + 1])) != 0;
}

bool IsNonFiniteNumber(const std::string& word) {
  char* end = nullptr;
  const double parsed = std::strtod(word.c_str(), &end);
  return end != word.c_str() && !std::isfinite(parsed);
}

std::string WhyNoNumber(const std::string& word) {
  char* end = nullptr;
  const double parsed = std::strtod(word.c_str(), &end);
  if (end == word.c_str()) return std::string();
  if (*end != '\0')
    return "is no number: a number must be followed by a blank or the end of the line (a "
           "decimal comma, or a unit written onto the number, is not read)";
  if (!std::isfinite(parsed)) return "is not a finite number";
  if (parsed != std::floor(parsed)) return "is not a whole number";
  if (std::fabs(parsed) > static_cast<double>(std::numeric_limits<int>::max()))
    return "lies outside the range of a whole number";
  return "must be a whole number written in digits";
}

bool ScanValue(std::string_view text, std::size_t& pos, std::string& word) {
  const std::size_t start = SkipBlanks(text, pos);
  std::string found = WordAt(text, start);
  if (found.empty()) return false;
  pos = start + found.size();
  word = std::move(found);
  return true;
}

bool ControlFileReader::Open(const std::string& path, DiagnosticStream* diag) {
  Close();
  if (!path.empty() && path == Held().name) {
    OpenText(Held().text);
  } else {
    // Only a regular file is a control file: a directory opens as a stream that yields
    // nothing, and a device such as /dev/zero would be read until memory runs out.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxControlFileBytes) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return false;
    OpenText(content.str());
  }
  path_ = path;
  if (diag != nullptr) {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].size() <= kMaxControlLineLength) continue;
      *diag << "WARNING: line " << static_cast<unsigned long>(i + 1) << " of control file " << path
            << " is longer than " << static_cast<unsigned long>(kMaxControlLineLength)
            << " characters[end-entry]";
    }
  }
  return true;
}

void ControlFileReader::OpenText(std::string_view text) {
  lines_.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines_.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  path_ = "(text)";
  cursor_ = Position{};
  open_ = true;
}

void ControlFileReader::Close() {
  lines_.clear();
  cursor_ = Position{};
  path_.clear();
  open_ = false;
}

bool ControlFileReader::SkipSpace() {
  while (cursor_.line < lines_.size()) {
    const std::string& line = lines_[cursor_.line];
    cursor_.column = SkipBlanks(line, cursor_.column);
    if (cursor_.column < line.size()) return true;
    ++cursor_.line;
    cursor_.column = 0;
  }
  cursor_.column = 0;
  return false;
}

bool ControlFileReader::AtEnd() {
  const Position saved = cursor_;
  const bool at_end = !SkipSpace();
  cursor_ = saved;
  return at_end;
}

bool ControlFileReader::FindHeader(const std::string& header) {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::size_t pos = 0;
    std::string first;
    if (ScanValue(lines_[i], pos, first) && first == header) {
      cursor_ = Position{i + 1, 0};
      return true;
    }
  }
  cursor_ = Position{lines_.size(), 0};
  return false;
}

template <class T>
bool ControlFileReader::ReadTyped(T& value) {
  if (!SkipSpace()) return false;
  const std::string& line = lines_[cursor_.line];
  std::size_t pos = cursor_.column;
  T read{};
  if (!ScanValue(line, pos, read)) return false;
  // A number ends where its word ends: the front of "40,16" (a decimal comma) or of "3mm" is
  // another value than the one meant.
  if constexpr (!std::is_same_v<T, std::string>)
    if (pos < line.size() && !IsSpace(line[pos])) return false;
  cursor_.column = pos;
  value = std::move(read);
  return true;
}

bool ControlFileReader::Read(int& value) {
  return ReadTyped(value);
}
bool ControlFileReader::Read(long& value) {
  return ReadTyped(value);
}
bool ControlFileReader::Read(double& value) {
  return ReadTyped(value);
}
bool ControlFileReader::Read(std::string& word) {
  return ReadTyped(word);
}

std::size_t ControlFileReader::WordsLeft() const {
  std::size_t words = 0;
  for (std::size_t i = cursor_.line; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    std::size_t pos = i == cursor_.line ? cursor_.column : 0;
    for (;;) {
      pos = SkipBlanks(line, pos);
      if (pos >= line.size()) break;
      ++words;
      while (pos < line.size() && !IsSpace(line[pos])) ++pos;
    }
  }
  return words;
}

std::string ControlFileReader::RestOfLine() {
  if (cursor_.line >= lines_.size()) return std::string();
  const std::string& line = lines_[cursor_.line];
  std::string rest = cursor_.column < line.size() ? line.substr(cursor_.column) : std::string();
  ++cursor_.line;
  cursor_.column = 0;
  return rest;
}

}  // namespace velorn

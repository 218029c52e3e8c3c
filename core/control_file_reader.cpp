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
#include "core/number_reader.h"

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

template <class T>
bool ScanNumber(std::string_view text, std::size_t& pos, T& value, std::string_view separators) {
  const std::size_t start = SkipBlanks(text, pos);
  const std::size_t end = WordEnd(text, start, separators);
  if (end == start || !ReadNumber(text.substr(start, end - start), value)) return false;
  pos = end;
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

bool ScanValue(std::string_view text, std::size_t& pos, int& value, std::string_view separators) {
  return ScanNumber(text, pos, value, separators);
}

bool ScanValue(std::string_view text, std::size_t& pos, long& value, std::string_view separators) {
  return ScanNumber(text, pos, value, separators);
}

bool ScanValue(std::string_view text, std::size_t& pos, double& value,
               std::string_view separators) {
  return ScanNumber(text, pos, value, separators);
}

bool ScanValue(std::string_view text, std::size_t& pos, std::string& word,
               std::string_view separators) {
  const std::size_t start = SkipBlanks(text, pos);
  const std::size_t end = WordEnd(text, start, separators);
  if (end == start) return false;
  word = std::string(text.substr(start, end - start));
  pos = end;
  return true;
}

std::string NumberLikeWordAt(std::string_view text, std::size_t pos, std::string_view separators) {
  const std::size_t start = SkipBlanks(text, pos);
  const std::string_view word = text.substr(start, WordEnd(text, start, separators) - start);
  double value = 0;
  if (ReadNumber(word, value) || NumberProblem(word).empty()) return std::string();
  return std::string(word);
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
  source_.emplace(path);
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
  source_.reset();
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

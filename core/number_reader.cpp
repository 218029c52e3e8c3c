// The whole-word number reader (see number_reader.h).
#include "core/number_reader.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
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

// The trace file (see TracingNumbers), opened at the first number read; null when off.
std::FILE* TraceFile() {
  static std::FILE* const file = [] {
    const char* name = std::getenv("VELORN_NUMBER_TRACE");
    return name != nullptr && *name != '\0' ? std::fopen(name, "a") : nullptr;
  }();
  return file;
}

std::string& SourceName() {
  thread_local std::string name = "-";
  return name;
}

std::mutex& TraceMutex() {
  static std::mutex mutex;
  return mutex;
}

// The source named last on any thread: that of the worker threads a reader starts.
std::string& LastSource() {
  static std::string name = "-";
  return name;
}

void Trace(std::string_view source, std::string_view word, bool taken) {
  const std::lock_guard<std::mutex> lock(TraceMutex());
  std::string line = std::to_string(getpid()) + "\t";
  line.append(source == "-" ? std::string_view(LastSource()) : source).append("\t");
  for (const char c : word) line.push_back(c == '\t' || c == '\n' ? ' ' : c);
  line.append(taken ? "\t1\n" : "\t0\n");
  std::fputs(line.c_str(), TraceFile());
  std::fflush(TraceFile());
}

template <class T>
bool ReadWhole(std::string_view word, T& value);

template <class T>
bool ReadTraced(std::string_view word, T& value) {
  const bool taken = ReadWhole(word, value);
  if (TraceFile() != nullptr) Trace(SourceName(), word, taken);
  return taken;
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
  const bool taken = ReadWhole(word, value);
  if (TraceFile() != nullptr) {
    // The open file's own name.
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(file));
    const ssize_t size = readlink(link.c_str(), path, sizeof path - 1);
    Trace(size > 0 ? std::string_view(path, static_cast<std::size_t>(size)) : SourceName(), word,
          taken);
  }
  return taken;
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
  return ReadTraced(word, value);
}
bool ReadNumber(std::string_view word, float& value) {
  return ReadTraced(word, value);
}
bool ReadNumber(std::string_view word, int& value) {
  return ReadTraced(word, value);
}
bool ReadNumber(std::string_view word, long& value) {
  return ReadTraced(word, value);
}
bool ReadNumber(std::string_view word, long long& value) {
  return ReadTraced(word, value);
}

bool TracingNumbers() {
  return TraceFile() != nullptr;
}

NumberSource::NumberSource(std::string_view name) {
  if (!TracingNumbers()) return;
  previous_ = SourceName();
  SourceName() = std::string(name);
  const std::lock_guard<std::mutex> lock(TraceMutex());
  LastSource() = std::string(name);
  set_ = true;
}

NumberSource::~NumberSource() {
  if (set_) SourceName() = previous_;
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
  if (!ReadWhole(word, value)) {
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

// Key lookup and value extraction of the brace-block syntax, and the block cutter.
#include "core/brace_block_readers.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <type_traits>

#include "core/error_code.h"
#include "core/number_reader.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// True when the key may start after this character: a blank or the end of a previous entry or
// the opening of a block.
bool IsKeyBoundary(char c) {
  return IsBlank(c) || c == ';' || c == '{' || c == '}';
}

bool IsKeyChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
}

// The KeyUse objects alive on this thread.
thread_local std::vector<KeyUse*> g_key_uses;

// Reads one value of type T from the start of `value_text` as a text stream does; a failed
// read, and a number followed directly by other characters, is a FATAL entry naming the key.
template <class T>
T ReadValue(DiagnosticStream& diag, const std::string& key, const std::string& value_text,
            const char* kind) {
  T value{};
  std::size_t start = 0;
  while (start < value_text.size() && IsNumberBlank(value_text[start])) ++start;
  const std::string_view word =
      std::string_view(value_text).substr(start, WordEnd(value_text, start) - start);
  bool read = !word.empty();
  if constexpr (std::is_same_v<T, std::string>)
    value = std::string(word);
  else
    read = read && ReadNumber(word, value);
  if (!read) {
    ThrowFatal(diag, kControlFileErrorCode, "FATAL: error in control file, the value of ", key,
               " is no ", kind, ": \"", value_text, "\"");
  }
  return value;
}

template <class T>
bool ParseValue(DiagnosticStream& diag, const std::string& text, const std::string& key, T& value,
                const char* kind) {
  std::string value_text;
  if (!FindKeyValueText(text, key, value_text)) return false;
  value = ReadValue<T>(diag, key, value_text, kind);
  return true;
}

}  // namespace

std::string NearestWord(const std::string& word, const std::vector<std::string>& words) {
  // Names are short; a longer word is no misspelling of any of them.
  constexpr std::size_t kLongestCompared = 200;
  if (word.empty() || word.size() > kLongestCompared) return {};
  const std::size_t allowed = word.size() > 4 ? 2 : 1;
  std::string nearest;
  std::size_t best = allowed + 1;
  for (const std::string& candidate : words) {
    if (candidate == word || candidate.size() > kLongestCompared) continue;
    const std::size_t distance = EditDistance(word, candidate);
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

std::string StandInKey(const std::string& text, const std::string& key,
                       const std::vector<std::string>& known) {
  std::vector<std::string> unknown;
  for (std::string& entry : KeysOfEntries(text))
    if (std::find(known.begin(), known.end(), entry) == known.end())
      unknown.push_back(std::move(entry));
  return NearestWord(key, unknown);
}

std::string StandInNote(const std::string& text, const std::string& key,
                        const std::vector<std::string>& known) {
  const std::string stand_in = StandInKey(text, key, known);
  return stand_in.empty() ? std::string() : "; \"" + stand_in + "\" stands in its place";
}

bool FindKeyValueText(const std::string& text, const std::string& key, std::string& value_text) {
  if (key.empty()) return false;
  for (KeyUse* use : g_key_uses) use->Note(key);
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    if (at > 0 && !IsKeyBoundary(text[at - 1])) continue;
    std::size_t pos = at + key.size();
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') continue;
    const std::size_t begin = pos + 1;
    const std::size_t end = text.find(';', begin);
    value_text = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    return true;
  }
  return false;
}

bool ParseIntValue(DiagnosticStream& diag, const std::string& text, const std::string& key,
                   int& value) {
  return ParseValue(diag, text, key, value, "integer");
}

bool ParseDoubleValue(DiagnosticStream& diag, const std::string& text, const std::string& key,
                      double& value) {
  return ParseValue(diag, text, key, value, "number");
}

bool ParseStringValue(DiagnosticStream& diag, const std::string& text, const std::string& key,
                      std::string& value) {
  return ParseValue(diag, text, key, value, "word");
}

std::vector<std::string> KeysOfEntries(const std::string& text) {
  std::vector<std::string> keys;
  for (std::size_t equals = text.find('='); equals != std::string::npos;
       equals = text.find('=', equals + 1)) {
    std::size_t end = equals;
    while (end > 0 && IsBlank(text[end - 1])) --end;
    std::size_t begin = end;
    while (begin > 0 && IsKeyChar(text[begin - 1])) --begin;
    if (begin == end || (begin > 0 && !IsKeyBoundary(text[begin - 1]))) continue;
    std::string key = text.substr(begin, end - begin);
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(std::move(key));
  }
  return keys;
}

KeyUse::KeyUse() {
  g_key_uses.push_back(this);
}

KeyUse::~KeyUse() {
  g_key_uses.erase(std::find(g_key_uses.begin(), g_key_uses.end(), this));
}

void KeyUse::Note(const std::string& key) {
  if (std::find(asked_.begin(), asked_.end(), key) == asked_.end()) asked_.push_back(key);
}

void KeyUse::WarnAboutUnreadKeys(DiagnosticStream& diag, const std::string& block,
                                 const std::string& where) const {
  for (const std::string& key : KeysOfEntries(block)) {
    if (std::find(asked_.begin(), asked_.end(), key) != asked_.end()) continue;
    diag << "WARNING: " << where << ": no model reads the key \"" << key
         << "\"; check its spelling (the entry is ignored)[end-entry]";
  }
}

std::string ExtractBracedBlock(DiagnosticStream& diag, std::string& text) {
  const std::size_t open = text.find('{');
  if (open == std::string::npos) {
    ThrowFatal(diag, kControlFileErrorCode,
               "FATAL: error in control file, no block in braces \"{\" in \"", text, "\"");
  }
  const std::size_t close = text.find('}', open);
  if (close == std::string::npos) {
    std::string block = text.substr(open + 1);
    text.clear();
    return block;
  }
  std::string block = text.substr(open + 1, close - open);
  text.erase(0, close + 1);
  return block;
}

}  // namespace velorn

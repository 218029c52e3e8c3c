// Item keywords and values of the routing descriptions (see routing_descriptions.h).
#include "routing/routing_descriptions.h"

#include <cctype>

#include "core/control_file_reader.h"

namespace velorn {
namespace {

bool IsWordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The keyword at `pos` stands alone and its number follows.
bool IsItemKeywordAt(std::string_view text, std::size_t pos, std::string_view keyword) {
  if (text.compare(pos, keyword.size(), keyword) != 0) return false;
  if (pos > 0 && IsWordCharacter(text[pos - 1])) return false;
  std::size_t at = pos + keyword.size();
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  return at < text.size() && IsDigit(text[at]);
}

}  // namespace

std::size_t FindItemKeyword(std::string_view text, std::string_view keyword, std::size_t from) {
  for (std::size_t at = text.find(keyword, from); at != std::string_view::npos;
       at = text.find(keyword, at + 1)) {
    if (IsItemKeywordAt(text, at, keyword)) return at;
  }
  return std::string_view::npos;
}

int32_t CountItemKeyword(std::string_view text, std::string_view keyword) {
  int32_t count = 0;
  for (std::size_t at = FindItemKeyword(text, keyword, 0); at != std::string_view::npos;
       at = FindItemKeyword(text, keyword, at + 1))
    ++count;
  return count;
}

bool HasAnyItemKeyword(std::string_view text) {
  for (std::string_view keyword : {kOutletKeyword, kTributaryKeyword, kListKeyword, kInflowKeyword,
                                   kAbstractionKeyword, kReservoirKeyword})
    if (FindItemKeyword(text, keyword, 0) != std::string_view::npos) return true;
  return false;
}

std::string_view KeywordWithoutNumber(std::string_view text) {
  for (std::string_view keyword : {kOutletKeyword, kTributaryKeyword, kListKeyword, kInflowKeyword,
                                   kAbstractionKeyword, kReservoirKeyword})
    for (std::size_t at = text.find(keyword); at != std::string_view::npos;
         at = text.find(keyword, at + 1)) {
      const std::size_t after = at + keyword.size();
      const bool word = (at == 0 || !IsWordCharacter(text[at - 1])) &&
                        (after >= text.size() || !IsWordCharacter(text[after]));
      if (word && !IsItemKeywordAt(text, at, keyword)) return keyword;
    }
  return {};
}

DescriptionCounts& DescriptionCounts::operator+=(const DescriptionCounts& other) {
  tributaries += other.tributaries;
  members += other.members;
  lists += other.lists;
  inflows += other.inflows;
  abstractions += other.abstractions;
  reservoirs += other.reservoirs;
  return *this;
}

DescriptionCounts CountItems(std::string_view text) {
  DescriptionCounts counts;
  counts.tributaries = CountItemKeyword(text, kTributaryKeyword);
  for (char c : text)
    if (c == '&') ++counts.members;
  counts.lists = CountItemKeyword(text, kListKeyword);
  counts.inflows = CountItemKeyword(text, kInflowKeyword);
  counts.abstractions = CountItemKeyword(text, kAbstractionKeyword);
  counts.reservoirs = CountItemKeyword(text, kReservoirKeyword);
  return counts;
}

bool ReadItemCode(std::string_view text, std::size_t& pos, int32_t& code) {
  std::size_t at = pos;
  while (at < text.size() && std::isalpha(static_cast<unsigned char>(text[at])) != 0) ++at;
  int value = 0;
  if (!ScanValue(text, at, value, kItemSeparators)) return false;
  code = value;
  pos = at;
  return true;
}

bool ReadValueAfterEquals(std::string_view text, std::size_t& pos, double& value) {
  const std::size_t equals = text.find('=', pos);
  if (equals == std::string_view::npos) return false;
  std::size_t at = equals + 1;
  if (!ScanValue(text, at, value, kItemSeparators)) return false;
  pos = at;
  return true;
}

bool ReadWordAfterEquals(std::string_view text, std::size_t& pos, std::string& word) {
  const std::size_t equals = text.find('=', pos);
  if (equals == std::string_view::npos) return false;
  std::size_t at = equals + 1;
  if (!ScanValue(text, at, word)) return false;
  pos = at;
  return true;
}

std::string_view NameBeforeEquals(std::string_view text, std::size_t pos) {
  const std::size_t equals = text.find('=', pos);
  if (equals == std::string_view::npos) return {};
  std::size_t end = equals;
  while (end > pos && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  std::size_t begin = end;
  while (begin > pos &&
         (std::isalnum(static_cast<unsigned char>(text[begin - 1])) != 0 || text[begin - 1] == '_'))
    --begin;
  return text.substr(begin, end - begin);
}

bool NameFitsPlace(std::string_view name, std::string_view expected) {
  if (name.empty()) return true;
  if (name.size() != expected.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) !=
        std::tolower(static_cast<unsigned char>(expected[i])))
      return false;
  return true;
}

std::vector<int32_t> ReadListMembers(std::string_view text, std::size_t pos) {
  std::vector<int32_t> members;
  std::size_t end = text.find_first_of(" \t(k", pos);
  if (end == std::string_view::npos) end = text.size();
  for (std::size_t at = text.find('&', pos); at < end; at = text.find('&', at + 1)) {
    std::size_t next = at + 1;
    int value = 0;
    members.push_back(ScanValue(text, next, value, kItemSeparators) ? value : 0);
  }
  return members;
}

}  // namespace velorn

// Reading of the routing descriptions of [routing_model]: the item keywords of a description
// line, their counts, and the values of one item.
//
// A description names its outlet subbasin ("TG <code>") and its items: tributary channels
// ("OL <code>"), channels of the combined runoff of a list of subbasins ("SUMTRIB 12&13&14"),
// inflow channels ("ZL <code> = <mode> ..."), abstractions ("AL <code>") and reservoirs
// ("SP <code>"). A keyword counts only as a whole item keyword: not preceded by a letter, digit
// or '_', and followed (after blanks) by its number, so that file names such as "TOTAL.txt" or
// "SPREE.txt" never change the counts or the joining of lines. Values of an item stand after
// the next '=' each; any other text between them is ignored.
//
// Pure functions on text; the routing model (routing/routing_model.h) reports their failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velorn {

inline constexpr std::string_view kOutletKeyword = "TG";
inline constexpr std::string_view kTributaryKeyword = "OL";
inline constexpr std::string_view kListKeyword = "SUMTRIB";
inline constexpr std::string_view kInflowKeyword = "ZL";
inline constexpr std::string_view kAbstractionKeyword = "AL";
inline constexpr std::string_view kReservoirKeyword = "SP";
// At most this many members follow the code of one list channel.
inline constexpr std::size_t kMaxListMembers = 9;

// Position of the first whole item keyword at or after `from`; npos when there is none.
std::size_t FindItemKeyword(std::string_view text, std::string_view keyword, std::size_t from);
int32_t CountItemKeyword(std::string_view text, std::string_view keyword);
// True when the line holds any item keyword (TG, OL, SUMTRIB, ZL, AL or SP).
bool HasAnyItemKeyword(std::string_view text);
// The first item keyword of `text` that stands as a word of its own but is not followed by its
// number ("TG nan", "OL x"); empty when there is none. Such an item would otherwise not count,
// and its subbasin would silently drop out of the routing.
std::string_view KeywordWithoutNumber(std::string_view text);

// The counts of one description (or of all of them).
struct DescriptionCounts {
  int32_t tributaries = 0;   // OL
  int32_t members = 0;       // '&'
  int32_t lists = 0;         // SUMTRIB
  int32_t inflows = 0;       // ZL
  int32_t abstractions = 0;  // AL
  int32_t reservoirs = 0;    // SP
  DescriptionCounts& operator+=(const DescriptionCounts& other);
};
DescriptionCounts CountItems(std::string_view text);

// The whole number behind the keyword found at `pos`; `pos` moves behind it. False when none.
bool ReadItemCode(std::string_view text, std::size_t& pos, int32_t& code);
// The value after the next '=' from `pos`; `pos` moves behind it. False when there is no '='
// or no value of the type behind it.
bool ReadValueAfterEquals(std::string_view text, std::size_t& pos, double& value);
bool ReadWordAfterEquals(std::string_view text, std::size_t& pos, std::string& word);
// The name written right before the next '=' from `pos` (letters, digits and '_', blanks
// between it and the '=' allowed, nothing before `pos`): the comment that names a value. Empty
// when the '=' has no name or there is no '='.
std::string_view NameBeforeEquals(std::string_view text, std::size_t pos);
// True when a value's name is absent or is `expected` (in any case): the values are taken by
// their place, so a name that is another one's ("Mv=10, Mh=20") misleads the reader.
bool NameFitsPlace(std::string_view name, std::string_view expected);
// The member codes of a list channel: from `pos` (just behind the channel's code) up to the
// first blank, '(' or 'k', every '&' followed by a number. A '&' without a number behind it
// gives a member 0 (no subbasin), which the caller refuses.
std::vector<int32_t> ReadListMembers(std::string_view text, std::size_t pos);

}  // namespace velorn

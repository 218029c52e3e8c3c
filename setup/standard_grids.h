// Standard grids: the definition lines of [standard_grids] and the calendar of their periodic
// re-reading, as pure functions of their inputs.
//
// The settings object (defaultini::ReadStandardGrids, standard_grids.cpp) reads each line of
// [standard_grids] with ParseStandardGridLine and copies the definition into the GridEntry of
// the grid; defaultini::ReadPeriodicGrids asks AdvancePeriod at every time step whether the
// entry's dated file is due. No MPI, no registry, no diagnostics here.
//
// A line reads: file name, identifier, optionally the fill code as third word (the old style),
// then keyword entries in any order, each a keyword standing as a whole word, '=' and its
// values: fillcode = 0 readcode = 1 defaultValue = 0 writecode = 0 outname = name
// statfile = name statcode = 0 periodicity = N letters K persistent = 0|1 steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/model_date.h"

namespace velorn {

struct GridEntry;

// Last watched value of an entry before its first periodic call.
inline constexpr int32_t kUnwatchedValue = 9999;

struct StandardGridLine {
  std::string file_name;
  std::string identifier;
  std::optional<int32_t> fill_code;  // absent: neither the third word nor "fillcode"
  int32_t read_code = 1;
  double default_value = 0;
  int32_t write_code = 0;
  std::optional<std::string> output_name;
  std::optional<std::string> statistics_file;
  int32_t statistics_code = 0;
  int32_t period_count = -1;  // N of "periodicity"; -1: none
  std::optional<std::string> period_letters;
  int32_t step_number = -1;  // K of "periodicity"
  bool persistent = true;
  int32_t persistence_steps = 0;
};

enum class GridLineError {
  kNone,
  kNameOrIdentifier,  // fewer than two words
  kKeywordValue,      // a keyword whose values cannot be read (see `bad_keyword`)
};

struct GridLineResult {
  GridLineError error = GridLineError::kNone;
  std::string bad_keyword;
};

// Parses one definition line (without its line end). A missing fill code is no error here:
// `fill_code` stays empty and the caller reports it. "persistent" counts only together with
// "periodicity".
GridLineResult ParseStandardGridLine(std::string_view line, StandardGridLine& definition);

// Offset of the first value of `keyword` in `text`: the keyword must stand as a whole word
// (not inside another word or file name) and be followed, after blanks, by '='; the offset is
// the one behind the '='. Absent: std::string_view::npos.
std::size_t KeywordValueOffset(std::string_view text, std::string_view keyword);

// The date value that the period letters watch: 'H' or 'D' the hour, else 'M' the day, else
// 'Y' the month; none of them: nothing.
std::optional<int64_t> WatchedDateValue(std::string_view letters, const ModelDate& date);

// One time step of the period counters of `entry` (letters, N and K from its definition): a
// watched value above the last one is the next step of the period, a value below it starts a
// new period at step 1. Returns true when the dated file is due (period N, step K); the
// counters are then set to 0.
bool AdvancePeriod(GridEntry& entry, const ModelDate& date);

// "<file name>_YYYYMMDDHH" ("%s_%04ld%02ld%02ld%02ld").
std::string DatedGridFileName(const std::string& file_name, const ModelDate& date);

}  // namespace velorn

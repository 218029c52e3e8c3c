// Irrigation types: the annual calendar, the schedules in words and the readers of
// [irrigation] and [irrigation_table] (defaultini).
#include "setup/irrigation_tables.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/model_date.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// A common year: the irrigation calendar has no leap day.
constexpr int64_t kCalendarYear = 2001;
constexpr int64_t kCalendarDays = 365;
// A leap year: the longest February that a table row may name.
constexpr int64_t kLeapYear = 2000;
// The fewest values of an entry of [irrigation_table] (code, name, method, origin) and of a row
// of a date table (a row that lacks values has its own message).
constexpr std::size_t kLeastIrrigationEntryValues = 4;
constexpr std::size_t kDateTableRowValues = 1;

// Reads a value at `pos` of `text`; false when `pos` lies beyond the text or nothing readable
// stands there.
template <class T>
bool ReadAt(const std::string& text, std::size_t pos, T& value) {
  if (pos >= text.size()) return false;
  return ScanValue(text, pos, value);
}

// Reads two values at `pos`, the second behind the first.
template <class T>
bool ReadPairAt(const std::string& text, std::size_t pos, T& first, T& second) {
  if (pos >= text.size() || !ScanValue(text, pos, first)) return false;
  return ScanValue(text, pos, second);
}

// One schedule as read from its words.
struct Schedule {
  MonthDay start;
  MonthDay end;
  double first_amount = 0;
  double last_amount = 0;
  bool has_end = false;  // "to" form; otherwise `repeats` entries ("times" form)
  int repeats = 0;
  long interval = 0;
};

// Offsets in days from the start of every entry of a schedule.
std::vector<int64_t> EntryOffsets(const Schedule& s) {
  std::vector<int64_t> offsets;
  if (!s.has_end) {
    // Dates repeat every year, so only the part of the interval beyond whole years moves them;
    // taking it first keeps the offsets small for intervals of any length.
    const int64_t step = s.interval % kCalendarDays;
    for (int k = 0; k < s.repeats; ++k) offsets.push_back(int64_t{k} * step);
    return offsets;
  }
  // A start in the end month after the end day has its start entry only; any other end lies
  // within the year that follows the start (across the end of the year when it comes first).
  int64_t span = 0;
  if (!(s.start.month == s.end.month && s.start.day > s.end.day)) {
    span = (AnnualDayOfYear(s.end) - AnnualDayOfYear(s.start) + kCalendarDays) % kCalendarDays;
  }
  for (int64_t offset = 0; offset <= span; offset += s.interval) offsets.push_back(offset);
  return offsets;
}

// Appends the entries of one schedule and interpolates its amounts linearly from the first to
// the last (a single entry holds the last amount).
void AppendSchedule(const Schedule& s, IrrigationRecord& record) {
  const std::vector<int64_t> offsets = EntryOffsets(s);
  const int64_t f = record.table_count + 1;
  const int64_t m = record.table_count + static_cast<int64_t>(offsets.size());
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const MonthDay date = AddAnnualDays(s.start, offsets[k]);
    const int64_t index = f + static_cast<int64_t>(k);
    double amount = s.last_amount;
    if (index == f && m != f) {
      amount = s.first_amount;
    } else if (index != m) {
      const double span = static_cast<double>(m - f);
      amount = static_cast<double>(index - f) / span * s.last_amount +
               static_cast<double>(m - index) / span * s.first_amount;
    }
    record.AddEntry(date.month, date.day, amount);
  }
}

// Position of `word` in `text` at or after `from` where it stands as a word of its own (no
// letter right before or after it, so "to" is not found in "tomato"), or npos. Digits may
// touch it: "5mm" holds "mm".
std::size_t FindWord(const std::string& text, const std::string& word, std::size_t from) {
  const auto is_letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t at = text.find(word, from); at != std::string::npos;
       at = text.find(word, at + 1)) {
    const bool starts = at == 0 || !is_letter(text[at - 1]);
    const std::size_t behind = at + word.size();
    if (starts && (behind >= text.size() || !is_letter(text[behind]))) return at;
  }
  return std::string::npos;
}

// True when nothing but "day" or "days" and the separators ';', ',' and '.' follow `pos`.
bool OnlyDaysBehind(const std::string& text, std::size_t pos) {
  std::istringstream words(text.substr(std::min(pos, text.size())));
  for (std::string word; words >> word;) {
    const std::size_t first = word.find_first_not_of(";,.");
    if (first == std::string::npos) continue;
    const std::size_t last = word.find_last_not_of(";,.");
    const std::string bare = word.substr(first, last - first + 1);
    if (bare != "day" && bare != "days") return false;
  }
  return true;
}

// Reads the schedule of `text`, which begins with "starting from" and ends before the next
// one. The form is decided by the words behind the first "with": a schedule that holds both
// "to" and "times" there, or words other than "days" behind its interval, is ambiguous.
ScheduleError ReadSchedule(const std::string& text, Schedule& s) {
  const std::size_t npos = std::string::npos;
  if (FindWord(text, "to", 0) == npos && FindWord(text, "times", 0) == npos)
    return ScheduleError::kRule;
  int month = 0;
  int day = 0;
  if (!ReadPairAt(text, 14, month, day)) return ScheduleError::kRule;
  s.start = ClampMonthDay(month, day);

  const std::size_t with = FindWord(text, "with", 0);
  if (with == npos) return ScheduleError::kRule;
  if (!ReadAt(text, with + 5, s.first_amount)) return ScheduleError::kRule;

  const std::size_t to = FindWord(text, "to", with);
  const std::size_t times = FindWord(text, "times", with);
  if (to == npos && times == npos) return ScheduleError::kNoFormAfterWith;
  if (to != npos && times != npos) return ScheduleError::kAmbiguous;
  std::size_t every = npos;
  if (to != npos) {
    s.has_end = true;
    if (!ReadPairAt(text, to + 3, month, day)) return ScheduleError::kRule;
    s.end = ClampMonthDay(month, day);
    const std::size_t with_last = FindWord(text, "with", to);
    if (with_last == npos || !ReadAt(text, with_last + 5, s.last_amount))
      return ScheduleError::kRule;
    every = FindWord(text, "every", with_last);
  } else {
    s.last_amount = s.first_amount;
    const std::size_t mm = FindWord(text, "mm", with);
    if (mm == npos || !ReadAt(text, mm + 3, s.repeats)) return ScheduleError::kRule;
    every = FindWord(text, "every", mm);
  }
  std::size_t behind = every + 6;
  if (every == npos || behind >= text.size() || !ScanValue(text, behind, s.interval))
    return ScheduleError::kRule;
  if (!OnlyDaysBehind(text, behind)) return ScheduleError::kAmbiguous;
  if (s.interval < 1) return ScheduleError::kCountOrInterval;
  if (!s.has_end && (s.repeats < 1 || s.repeats > kMaxScheduleRepeats))
    return ScheduleError::kCountOrInterval;
  return ScheduleError::kNone;
}

}  // namespace

void IrrigationRecord::AddEntry(int64_t month, int64_t day, double amount) {
  months.push_back(month);
  days.push_back(day);
  amounts.push_back(amount);
  ++table_count;
}

int AnnualMonthLength(int64_t month) {
  return DaysInMonth(kCalendarYear, month);
}

MonthDay ClampMonthDay(int64_t month, int64_t day) {
  MonthDay date;
  date.month = std::clamp<int64_t>(month, 1, 12);
  date.day = std::clamp<int64_t>(day, 1, AnnualMonthLength(date.month));
  return date;
}

int64_t AnnualDayOfYear(const MonthDay& date) {
  int64_t day = date.day;
  for (int64_t month = 1; month < date.month; ++month) day += AnnualMonthLength(month);
  return day;
}

MonthDay AddAnnualDays(const MonthDay& date, int64_t days) {
  int64_t day_of_year = (AnnualDayOfYear(date) - 1 + days) % kCalendarDays + 1;
  MonthDay result;
  result.month = 1;
  while (day_of_year > AnnualMonthLength(result.month)) {
    day_of_year -= AnnualMonthLength(result.month);
    ++result.month;
  }
  result.day = day_of_year;
  return result;
}

ScheduleError ParseIrrigationSchedules(const std::string& text, IrrigationRecord& record) {
  constexpr const char* kStart = "starting from";
  std::size_t from = text.find(kStart);
  if (from == std::string::npos) return ScheduleError::kRule;
  // Every schedule is read from its own part of the text, up to the next "starting from", so
  // no keyword of one schedule is taken for another's; all of them take the form of the first.
  std::vector<Schedule> schedules;
  while (from != std::string::npos) {
    const std::size_t next = text.find(kStart, from + 1);
    Schedule schedule;
    const ScheduleError error =
        ReadSchedule(text.substr(from, next == std::string::npos ? next : next - from), schedule);
    if (error != ScheduleError::kNone) return error;
    if (!schedules.empty() && schedule.has_end != schedules.front().has_end)
      return ScheduleError::kMixed;
    schedules.push_back(schedule);
    from = next;
  }
  for (const Schedule& schedule : schedules) AppendSchedule(schedule, record);
  return ScheduleError::kNone;
}

// --- defaultini readers ----------------------------------------------------------------------

void defaultini::ReadIrrigationSections(int32_t variant) {
  if (variant < 2) return;
  ReadIrrigationTable();
}

void defaultini::ReadIrrigationTable() {
  FindSection("[irrigation]", 1);
  ReadValue(*control_file, irrigation_switch, "irrigation switch in ");
  if (irrigation_switch == 0) return;
  irrigation_flag = 1;

  FindSection("[irrigation_table]", 1);
  int count = 0;
  ReadValue(*control_file, count, "number of irrigation types in ");
  if (count < 0) ReportControlFileError("number of irrigation types (0 or more) in ", module_name);
  // Every entry takes at least four values (code, name, method, origin): a count that the rest
  // of the file cannot hold is refused before the table is allocated.
  if (static_cast<std::size_t>(count) > control_file->WordsLeft() / kLeastIrrigationEntryValues)
    ThrowFatal(Diag(), kControlFileErrorCode,
               "FATAL: error in control file, number of irrigation types in [irrigation_table] is ",
               count, ", but the rest of the file holds only ",
               static_cast<unsigned long>(control_file->WordsLeft()), " values");
  auto table = std::make_unique<IrrigationTable>();
  table->count = count;
  table->records = AllocateArray<IrrigationRecord>(static_cast<std::size_t>(count) + 1, 1);
  table->records[0].code = count;
  std::map<int32_t, int32_t> entry_of_code;
  for (int32_t entry = 1; entry <= count; ++entry) {
    table->records[entry] = ReadIrrigationEntry(entry);
    const auto [first, inserted] = entry_of_code.emplace(table->records[entry].code, entry);
    if (!inserted)
      ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry, ": the code ",
                 table->records[entry].code, " is given to entry ", first->second, " already\n");
  }
  irrigation_table = std::move(table);
}

IrrigationRecord defaultini::ReadIrrigationEntry(int32_t entry) {
  ControlFileReader& file = *control_file;
  IrrigationRecord record;
  record.code = entry;
  const bool head_read = file.Read(record.code) && file.Read(record.name) &&
                         file.Read(record.method) && file.Read(record.origin);
  if (!head_read || record.method < kIrrigationByTable || record.method > kIrrigationByEtRatio) {
    ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry,
               ": code, name, method, or origin could not be read correctly\n");
  }
  if (record.name.size() > kMaxIrrigationNameLength) {
    ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry, ": the name ",
               record.name, " is longer than ",
               static_cast<unsigned long>(kMaxIrrigationNameLength), " characters\n");
  }
  if (record.method == kIrrigationByEtRatio) {
    if (!file.Read(record.min_etr_etp)) {
      ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry,
                 ": min(ETR/ETP) could not be read correctly\n");
    }
    record.psi_dry = 20.0;
    record.psi_wet = 3.45;
    return record;
  }
  if (!file.Read(record.psi_dry) || !file.Read(record.psi_wet)) {
    ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry,
               ": psi_dry or psi_wet could not be read correctly\n");
  }
  if (record.method == kIrrigationByTable) ReadIrrigationDateTable(record, entry);
  if (record.method != kIrrigationBySchedule) return record;

  std::string text = file.RestOfLine();
  const ScheduleError error = ParseIrrigationSchedules(text, record);
  // The messages name the schedules as written, without the blanks around them.
  text.erase(0, text.find_first_not_of(" \t\r"));
  text.erase(text.find_last_not_of(" \t\r") + 1);
  switch (error) {
    case ScheduleError::kNone:
      return record;
    case ScheduleError::kNoFormAfterWith:
      Diag() << "FATAL: none of the keywords \"to\" or \"times\" could be found!\n"
             << "[end-entry]";
      break;
    case ScheduleError::kCountOrInterval:
      Diag() << "FATAL: for irrigation code " << entry
             << ": the interval must be 1 day or more and the repeat count 1 to "
             << kMaxScheduleRepeats << "\n"
             << "[end-entry]";
      break;
    case ScheduleError::kMixed:
      Diag() << "FATAL: for irrigation code " << entry << ": the schedules \"" << text
             << "\" mix the forms with \"to\" and with \"times\"\n"
             << "[end-entry]";
      break;
    case ScheduleError::kAmbiguous:
      Diag() << "FATAL: for irrigation code " << entry << ": the schedules \"" << text
             << "\" are ambiguous: a schedule holds both \"to\" and \"times\", or words "
                "behind its interval\n"
             << "[end-entry]";
      break;
    case ScheduleError::kRule:
      break;
  }
  ReportIrrigationRuleError(entry);
  return record;  // not reached: the report throws
}

void defaultini::ReadIrrigationDateTable(IrrigationRecord& record, int32_t entry) {
  ControlFileReader& file = *control_file;
  int count = 0;
  // A count beyond the values left in the file is no table count.
  if (!file.Read(count) || count < 0 ||
      static_cast<std::size_t>(count) > file.WordsLeft() / kDateTableRowValues) {
    ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry,
               ": tabcnt could not be read correctly\n");
  }
  for (int i = 1; i <= count; ++i) {
    long month = 0;
    long day = 0;
    double amount = 0;
    if (!file.Read(month) || !file.Read(day) || !file.Read(amount)) {
      ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry, " month[", i,
                 "] or day[", i, "] or amount[", i, "] could not be read\n");
    }
    // A row recurs every year: its day must exist in the month in some year (29 February
    // irrigates in leap years).
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(kLeapYear, month)) {
      ThrowFatal(Diag(), kIrrigationErrorCode, "FATAL: for irrigation code ", entry, " month[", i,
                 "] ", month, " and day[", i, "] ", day, " are no date of the year\n");
    }
    record.AddEntry(month, day, amount);
  }
}

void defaultini::ReportIrrigationRuleError(int32_t entry) {
  ThrowFatal(
      Diag(), kIrrigationErrorCode, "FATAL: irrigation description for irrigation type ", entry,
      " is wrong ",
      "there are 4 possible ways to define irrigation rules:\n"
      "two schedule variants:\n"
      "1.: \"starting from MM DD with XX mm to MM DD with YY mm every ZZ day\"\n"
      "2.: \"starting from MM DD with XX mm AA times every ZZ days\"\n"
      " where MM and DD are Month and day, XX is the first irrigation amount \n"
      " per irrigation event in mm/day, ZZ is the time step (e.g. every 4 days..),\n"
      " YY is the last irrigation amount in mm/day (it is linearly interpolated)\n"
      " and AA is a repeat counter (only in the secound format).\n"
      " The model recognises both formats by the different formats by analysing the\n"
      " key-words \"starting from\", \"to\" and \"times\"\n"
      " note: there may be defined multiple irrigation schemes in one row,\n"
      " but they have to be of the same type (1. or 2.) \n"
      " and they have to be seperated by a semicolon (;)\n"
      " 3.: irrigation control by demand (1): suction (psi) for start and end of irrigation must "
      "be provided\n"
      " 4.: irrigation control by demand (2): ratio between ETR and ETP for irrigation start must "
      "be provided\n");
}

}  // namespace velorn

// Irrigation types: the annual calendar, the schedules in words and the readers of
// [irrigation] and [irrigation_table] (defaultini).
#include "setup/irrigation_tables.h"

#include <algorithm>

#include "core/control_file_reader.h"
#include "core/model_date.h"
#include "core/string_helpers.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// A common year: the irrigation calendar has no leap day.
constexpr int64_t kCalendarYear = 2001;
constexpr int64_t kCalendarDays = 365;

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

// Reads the schedule that begins at `from` ("starting from") in `text` and returns the
// position behind its "every", or the error.
ScheduleError ReadSchedule(const std::string& text, std::size_t from, Schedule& s,
                           std::size_t& next) {
  if (text.find("to", from) == std::string::npos && text.find("times", from) == std::string::npos)
    return ScheduleError::kRule;
  int month = 0;
  int day = 0;
  if (!ReadPairAt(text, from + 14, month, day)) return ScheduleError::kRule;
  s.start = ClampMonthDay(month, day);

  const std::size_t with = text.find("with", from);
  if (with == std::string::npos) return ScheduleError::kRule;
  const std::string rest = text.substr(with);
  if (!ReadAt(rest, 5, s.first_amount)) return ScheduleError::kRule;

  const std::size_t to = rest.find("to");
  std::size_t every = std::string::npos;
  if (to != std::string::npos) {
    s.has_end = true;
    if (!ReadPairAt(rest, to + 3, month, day)) return ScheduleError::kRule;
    s.end = ClampMonthDay(month, day);
    const std::size_t with_last = rest.find("with", to);
    if (with_last == std::string::npos || !ReadAt(rest, with_last + 5, s.last_amount))
      return ScheduleError::kRule;
    every = rest.find("every", with_last);
  } else {
    if (rest.find("times") == std::string::npos) return ScheduleError::kNoFormAfterWith;
    s.last_amount = s.first_amount;
    const std::size_t mm = rest.find("mm");
    if (mm == std::string::npos || !ReadAt(rest, mm + 3, s.repeats)) return ScheduleError::kRule;
    every = rest.find("every", mm);
  }
  if (every == std::string::npos || !ReadAt(rest, every + 6, s.interval))
    return ScheduleError::kRule;
  if (s.interval < 1) return ScheduleError::kCountOrInterval;
  if (!s.has_end && (s.repeats < 1 || s.repeats > kMaxScheduleRepeats))
    return ScheduleError::kCountOrInterval;
  next = with + every + 5;
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
  std::size_t pos = 0;
  int schedules = 0;
  for (;;) {
    const std::size_t from = text.find("starting from", pos);
    if (from == std::string::npos) break;
    Schedule schedule;
    std::size_t next = 0;
    const ScheduleError error = ReadSchedule(text, from, schedule, next);
    if (error != ScheduleError::kNone) return error;
    AppendSchedule(schedule, record);
    ++schedules;
    pos = next;
  }
  return schedules > 0 ? ScheduleError::kNone : ScheduleError::kRule;
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
  auto table = std::make_unique<IrrigationTable>();
  table->count = count;
  table->records = AllocateArray<IrrigationRecord>(static_cast<std::size_t>(count) + 1, 1);
  table->records[0].code = count;
  for (int32_t entry = 1; entry <= count; ++entry)
    table->records[entry] = ReadIrrigationEntry(entry);
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

  const std::string text = file.RestOfLine();
  switch (ParseIrrigationSchedules(text, record)) {
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
    case ScheduleError::kRule:
      break;
  }
  ReportIrrigationRuleError(entry);
  return record;  // not reached: the report throws
}

void defaultini::ReadIrrigationDateTable(IrrigationRecord& record, int32_t entry) {
  ControlFileReader& file = *control_file;
  int count = 0;
  if (!file.Read(count) || count < 0) {
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

// External coupling: the settings of [ExternalCoupling] and the file formats of the exchange.
//
// Another program runs in step with the model and exchanges grids with it through files. It
// writes grids and then a semaphore file; the model (its application's time loop) waits for the
// semaphore file, reads the grids into registered grids (defaultini::ExchangeExternalGrids),
// and at the end of each coupling interval writes its own grids and zone statistics
// (defaultini::WriteExternalGrids) and then a semaphore file for the other program. Between
// interval ends defaultini::AccumulateExternalGrids adds the grids and statistics written as
// "Sum", "Mean" or "SumTotal...".
//
// The settings object owns one CouplingSettings (defaultini::coupling), filled in set-up step 22
// (GetCouplingParameters), linked to the grids and statistics once every sub-model exists
// (LinkExternalGrids). The operations live in setup/coupling_settings.cpp (reading, linking,
// pure helpers) and setup/coupling_exchange.cpp (the file side of each exchange). Waiting for
// the semaphore file and writing the one for the other program belong to the time loop.
//
// The helpers below are pure (no MPI, no registry) so that names, codes and statistics texts
// can be tested on their own. Limits: names of at most 2400 characters, write codes of at most
// 49.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "core/matrix.h"

namespace velorn {

struct ZoneStatisticsRecord;
class defaultini;

// Codes of the coupling: an external grid cannot be read or the semaphore file not deleted; an
// external grid cannot be renamed or deleted; a name that links to no grid to read, grid to
// write or statistic; an entry of the section cannot be read.
inline constexpr int kCouplingReadCode = 1001;
inline constexpr int kCouplingRenameCode = 1002;
inline constexpr int kCouplingReadGridMissingCode = 1003;
inline constexpr int kCouplingWriteGridMissingCode = 1004;
inline constexpr int kCouplingStatisticMissingCode = 1005;
inline constexpr int kCouplingEntryCode = 10;
inline constexpr int kCouplingOpenCode = 14;
// Longest write code and name of an entry.
inline constexpr std::size_t kMaxCouplingWriteCodeLength = 49;
inline constexpr std::size_t kMaxCouplingNameLength = 2400;
// The internal name of a grid to read that the unsaturated zone takes its groundwater table from.
inline constexpr const char* kExternalGroundwaterTable = "GWTableExtern";

// How a write code treats the steps of an interval.
enum class CouplingWriteKind {
  kCurrent,   // any other code: the current value at the interval end
  kSum,       // "Sum": the sum over the interval, then 0
  kMean,      // "Mean": the mean over the interval, then 0
  kSumTotal,  // codes beginning with "SumTotal": the sum since the start of the run
};
CouplingWriteKind CouplingWriteKindOf(const std::string& write_code);
inline bool Accumulates(CouplingWriteKind kind) {
  return kind != CouplingWriteKind::kCurrent;
}

// The dated end-of-period files a "SumTotal" code asks for.
struct SumTotalPeriods {
  bool day = false;    // "SumTotal_D..."
  bool month = false;  // "SumTotal_M", "SumTotal_MY", "SumTotal_DM", "SumTotal_DMY"
  bool year = false;   // "SumTotal_Y", "SumTotal_MY", "SumTotal_DMY"
};
SumTotalPeriods SumTotalPeriodsOf(const std::string& write_code);

// "<dir>SumTotal_EndOf_Day_YYYY_MM_DD_<file>" and the month and year forms; <dir> is the
// external name up to and including its last '/'.
std::string EndOfDayFileName(const std::string& external_name, int year, int month, int day);
std::string EndOfMonthFileName(const std::string& external_name, int year, int month);
std::string EndOfYearFileName(const std::string& external_name, int year);
// The name an external grid with rename code 1 is given: "name_YYYY_MM_DD_HH_<ticks>".
std::string RenamedExternalGridName(const std::string& name, int64_t year, int64_t month,
                                    int64_t day, int64_t hour, std::clock_t ticks);

// Index of the in-use record among the first `capacity` of `records` whose name (blanks read as
// '_') contains `name`, -1 when none. A record whose whole name, or whose statistic part (after
// the first ':'), is `name` goes before the first record that merely contains it. `containing`
// (may be null) receives the number of records whose name contains `name` when the link rests
// on containment alone, else 0.
int FindStatisticRecord(const ZoneStatisticsRecord* records, int32_t capacity,
                        const std::string& name, int* containing = nullptr);

// The text of a statistics file at an interval end. Adds the current values to the zone sums
// (the record's second values) for the accumulating kinds and sets the sums of "Sum" and "Mean"
// to 0 after use. `accumulated_steps` counts this step.
std::string CouplingStatisticsText(ZoneStatisticsRecord& record, CouplingWriteKind kind,
                                   int32_t accumulated_steps, int32_t zone_count, int32_t year,
                                   int32_t month, int32_t day, int32_t hour);

// Sets an accumulation grid (rows 1..nrows) to 0 on the valid own cells of `settings` (zone
// grid valid, within the row's column range, owned by this process) and to nodata elsewhere.
void ResetAccumulationGrid(const defaultini& settings, double** grid);

struct ExternalReadGrid {
  std::string external_name;
  std::string internal_name;
  int32_t fill_code = 0;
  int32_t rename_code = 0;  // 1 rename, 0 delete, other: keep
  int linked_index = 0;     // registry entry of the internal grid
  double** linked_grid = nullptr;
};

struct ExternalWriteGrid {
  std::string external_name;
  std::string internal_name;
  std::string write_code;
  CouplingWriteKind kind = CouplingWriteKind::kCurrent;
  GridMatrix accumulation;  // rows 1..nrows for the accumulating kinds
  int linked_index = 0;
  double** linked_grid = nullptr;
};

struct ExternalStatistic {
  std::string external_name;
  std::string internal_name;
  std::string write_code;
  CouplingWriteKind kind = CouplingWriteKind::kCurrent;
  ZoneStatisticsRecord* linked = nullptr;  // process 0 only
};

struct CouplingSettings {
  int32_t mode = 0;  // 1: active
  std::string semaphore_file;
  int32_t external_time_step = 0;  // minutes
  std::vector<ExternalReadGrid> read_grids;
  std::vector<ExternalWriteGrid> write_grids;
  std::vector<ExternalStatistic> statistics;
  std::string external_semaphore_file;
  std::string external_semaphore_content;
  int32_t accumulated_steps = 0;
};

}  // namespace velorn

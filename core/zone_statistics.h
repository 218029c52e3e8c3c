// zonalstatistic: the per-zone (sub-basin) statistics table of one model variable, and the
// ZoneStatisticsRecord through which every table describes itself to the rest of the run.
//
// A table is a tab-separated text file: three header lines (column zone codes, the name
// "<sub-model>_submodel:<statistic>", the zones' area shares), then one row per output interval
// with the date (year, month, day, hour), one value per zone column and, last, the weighted
// mean over all zones ("tot_average"). Its statistics code (from the control file) sets what
// it holds: a code of 1000 or less leaves the table inactive (every operation does nothing);
// otherwise mode = code / 1000 and interval = code % 1000 steps:
//   mode 1 / 3: total only,          mean / sum of the step means over the interval
//   mode 2 / 4: every zone + total,  mean / sum of the step means over the interval
//   mode 5 / 6: listed zones + total, mean / sum of the step means over the interval
// The listed codes (the [output_list]) must stand in ascending order of the zone codes.
//
// Callers: every sub-model keeps tables for its output variables, the settings object keeps
// them for the standard grids, the tracer bookkeeping one per tracer. Per run:
//
//   int error = 0;
//   zonalstatistic table(error, &diag, rel_cell_area, nrows, ncols, records, zone_count,
//                        statcode, precision, file_name, output_directory, list_count, list);
//   if (error) throw ErrorCode{error};
//   table.WriteHeader("snow_model", "snow_storage_in_mm___", registry, capacity);
//   per step:  table.ResetZoneSums();
//              table.AddValue(r, c, zone_index, value, 1.0);      // every own cell, one thread
//              table.CollectStep(year, month, day, hour, 1);       // all processes (reduction)
//   at Ctrl-C choice 3: table.FlushBuffers();  at the end: table.ReleaseMemory();
//
// The zone records (0..zone count) stay the caller's: the table uses their fields [0] count,
// [1] weighted value sum and [4] weight sum as step sums and reads [2] zone code and [3] area
// share. AddValue also keeps the three step sums exactly (ExactSum), and CollectStep writes
// them into the records; with a reduce flag above 0 it first adds the sums of all processes
// onto process 0 (collective), so a table is the same for every process count. Only process 0
// buffers rows and writes the file. Rows are buffered in 2 MiB
// (8 bytes per value and 32 per row) and appended when the buffer is full, at FlushBuffers and
// at ReleaseMemory; SIGINT is ignored while the file is written. The buffer is reserved on
// process 0 only and its pages are touched as rows are buffered.
//
// AddValue may be called from the body of a ForEachRow loop, on every thread: each thread adds
// to exact sums of its own (made at its first value), which CollectStep merges into the step
// sums; exact sums merge without changing the result, so a table is the same for every thread
// count. Only the calling (master) thread also adds to the records' fields directly; they are
// overwritten from the exact sums at CollectStep. The table holds no lock. One level of
// parallel regions is assumed (OpenMP's default); ResetZoneSums and CollectStep run outside.
//
// Failures: the constructor never throws, it sets its error out-parameter (17 for a statistics
// code or output list that does not fit the zone table, 1 when memory runs out) after the
// "FATAL: " entry and the creator throws it. A file that cannot be opened throws 15, one that
// cannot be written 18, one that cannot be closed 16, a zone index outside the table 125.
#pragma once

#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/zone_types.h"

namespace velorn {

class DiagnosticStream;

// Bytes of the row buffer of a table, counting 8 per value and 32 per row.
inline constexpr int64_t kZoneStatisticsBufferBytes = 2097152;
// Records of the ZoneStatisticsRegistry that the tables may use.
inline constexpr int32_t kZoneStatisticsCapacity = 200;
// Codes of the zone statistics files: open and close failures.
inline constexpr int kZoneTableOpenCode = 15;
inline constexpr int kZoneTableCloseCode = 16;
// A zone index outside 0..zone count reached a table.
inline constexpr int kZoneIndexCode = 125;
// Memory for the interval sums could not be had.
inline constexpr int kZoneStatisticsMemoryCode = 1;
// Precision from which values are written with "%.6g" instead of fixed decimals.
inline constexpr int32_t kSignificantDigitsPrecision = 99;

// One record of the ZoneStatisticsRegistry (ten 8-byte fields): a table's last row date, its
// column count and its live arrays (index 1..columns). A record whose current values are null
// is free. The pointers stay valid until the table's ReleaseMemory.
struct ZoneStatisticsRecord {
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  int64_t hour = 0;
  int64_t columns = 0;
  double* current_values = nullptr;
  double* second_values = nullptr;
  double* area_shares = nullptr;
  const char* internal_name = nullptr;
  int64_t* zone_codes = nullptr;

  bool InUse() const { return current_values != nullptr; }
};
static_assert(sizeof(ZoneStatisticsRecord) == 10 * 8, "a registry record holds ten 8-byte fields");

// Mode and interval of an active statistics code; mode 0 for an inactive one.
struct StatisticsCode {
  int32_t mode = 0;
  int32_t interval = 0;
};
StatisticsCode SplitStatisticsCode(int32_t code);

// Value columns of a table including the total: 2 for modes 1 and 3 (only the total carries a
// value), zone count + 1 for modes 2 and 4, listed count + 1 for modes 5 and 6.
int64_t StatisticsColumns(int32_t mode, int32_t zone_count, int32_t listed_count);
// Rows the 2 MiB buffer holds for `columns` value columns (at least 1).
int64_t StatisticsBufferRows(int64_t columns);

// Appends "\t" and `value` as the tables print it: `precision` fixed decimals below 99,
// otherwise "%.6g".
void AppendStatisticsValue(std::string& text, int32_t precision, double value);

class zonalstatistic {
 public:
  // `error` receives 0 or the code of a failure (after its FATAL entry). `weight_grid` (may be
  // null) holds per-cell weights ("RelCellArea") for rows 1..nrows that this process holds;
  // `zone_records` the records 0..zone_count. `file_name` is prefixed in place with
  // `output_directory` (empty: none) unless it begins with '/' or '~'. `listed_codes` holds
  // codes 1..listed_count (index 0 unused; may be null).
  zonalstatistic(int& error, DiagnosticStream* diag, double** weight_grid, int32_t nrows,
                 int32_t ncols, ZoneRecord* zone_records, int32_t zone_count, int32_t write_code,
                 int32_t precision, std::string& file_name, const std::string& output_directory,
                 int32_t listed_count, const int32_t* listed_codes);
  virtual ~zonalstatistic();
  zonalstatistic(const zonalstatistic&) = delete;
  zonalstatistic& operator=(const zonalstatistic&) = delete;

  // Opens the file with an fopen mode ("wt" header, "a+" rows); failure throws 15.
  virtual void OpenFile(const char* mode);
  // Closes the file if open; failure throws 16.
  virtual void CloseFile();
  // Appends the buffered rows to the file and empties the buffer (process 0; no-op without
  // rows).
  virtual void FlushBuffers();
  // Adds `value` with weight `weight` to zone `zone` (0..zone count); the cell's weight-grid
  // value scales both sums when it is above -9999. Not virtual: it runs per cell.
  void AddValue(int64_t row, int64_t column, int64_t zone, double value, double weight) {
    if (!active_) return;
    if (zone < 0 || zone > zone_count_) RefuseZoneIndex(zone);
    AddToRecord(zone, row, column, value, weight);
  }
  // Counts the step and zeroes fields [0], [1] and [4] of records 0..zone count and every
  // thread's sums.
  virtual void ResetZoneSums();
  // Ends a step: with `reduce` above 0 first sums the records of all processes onto process 0
  // (collective); then process 0 adds the step to the interval and buffers a row when the
  // interval is complete.
  virtual void CollectStep(int64_t year, int64_t month, int64_t day, int64_t hour, int32_t reduce);
  // CollectStep for several tables (null and inactive ones skipped) with one reduction for all
  // of them: two collectives per call instead of two per table, the same rows. Every process
  // passes the same tables in the same order.
  static void CollectSteps(std::span<zonalstatistic* const> tables, int64_t year, int64_t month,
                           int64_t day, int64_t hour, int32_t reduce);
  // Ends a step whose records the caller has written itself (complete on process 0, as a
  // sub-model's runoff per zone): the records are taken as they stand, without step sums or
  // reduction. Not collective.
  virtual void CollectWrittenStep(int64_t year, int64_t month, int64_t day, int64_t hour);
  // Process 0: writes the three header lines (replacing the file) and enters the table in the
  // first free registry record below `capacity`. Returns that record's index (0 when none was
  // free), -1 on other processes and for an inactive table.
  virtual int WriteHeader(const std::string& sub_model, const std::string& statistic,
                          ZoneStatisticsRecord* registry, int32_t capacity);
  // Flushes pending rows and frees the buffers; the zone records stay the caller's.
  virtual void ReleaseMemory();

  bool active() const { return active_; }
  bool constructed() const { return constructed_; }
  int32_t mode() const { return mode_; }
  int32_t interval() const { return interval_; }
  int64_t columns() const { return columns_; }
  int64_t capacity() const { return capacity_; }
  int64_t rows_buffered() const { return rows_buffered_; }
  const std::string& file_name() const { return file_name_; }
  const std::string& internal_name() const { return internal_name_; }
  // Values of the last produced row, index 1..columns.
  const std::vector<double>& current_values() const { return current_values_; }

 protected:
  // Whether a step's zone values get a total column and how a zone value is formed.
  enum class RowKind { kZonal, kRouting };

  // Steps after the reduction: interval sums, zone values, total, row, flush at capacity.
  void CollectRecords(int64_t year, int64_t month, int64_t day, int64_t hour, RowKind kind);
  // Number of zone columns (without the total): 0 for modes 1 and 3.
  int64_t ZoneColumns() const;
  // Zone index of zone column k (1..ZoneColumns()).
  int32_t ZoneOfColumn(int64_t k) const;
  // Stores the zone codes and area shares of the columns; the total column gets share 1.0.
  void FillColumnDescriptions();
  // The registry record of this table: its last date, columns, values, shares, name and codes.
  ZoneStatisticsRecord OwnRecord();
  // First registry record from `from` below `capacity` that is free, or -1.
  static int FreeRecord(const ZoneStatisticsRecord* registry, int32_t capacity, int from);
  // Header line 1 ("YY\tMM\tDD\tHH" and the quoted zone codes of the columns), without its end.
  std::string CodeHeaderLine() const;
  // Writes `text` to the open file; a short write throws 18.
  void WriteText(const std::string& text);
  // One WARNING per table for the first row (date: year, month, day, hour) with a value that
  // is no finite number.
  void WarnOfNonFiniteValues(const int64_t* date, const double* row);
  [[noreturn]] void RefuseZoneIndex(int64_t zone) const;
  // Fields [0], [1] and [4] of `record` and the exact step sums of `zone` take a value as
  // AddValue describes.
  void AddToRecord(int64_t zone, int64_t row, int64_t column, double value, double weight) {
    const int slot = ThreadSlot();
    double weighted_value = value * weight;
    double weight_sum = weight;
    if (weight_grid_ != nullptr && row >= 1 && row <= nrows_ && column >= 1 && column <= ncols_ &&
        weight_grid_[row] != nullptr && weight_grid_[row][column] > weight_nodata_) {
      const double cell_weight = weight_grid_[row][column];
      weighted_value = value * cell_weight * weight;
      weight_sum = weight * cell_weight;
    }
    ExactSum* sums = nullptr;
    if (slot == 0) {
      double* record = zone_records_[zone].field;
      record[0] += weight;
      record[1] += weighted_value;
      record[4] += weight_sum;
      sums = &step_sums_[static_cast<std::size_t>(zone) * 3];
    } else {
      sums = &ThreadSums(slot)[static_cast<std::size_t>(zone) * 3];
    }
    sums[0].Add(weight);
    sums[1].Add(weighted_value);
    sums[2].Add(weight_sum);
  }
  DiagnosticStream& Diag() const { return *diag_; }

  bool constructed_ = false;
  bool active_ = false;
  bool warned_non_finite_ = false;
  DiagnosticStream* diag_ = nullptr;
  ZoneRecord* zone_records_ = nullptr;
  double** weight_grid_ = nullptr;
  int32_t nrows_ = 0;
  int32_t ncols_ = 0;
  double weight_nodata_ = -9999.0;
  int32_t zone_count_ = 0;
  int32_t precision_ = 0;
  int32_t mode_ = 0;
  int32_t interval_ = 0;
  int32_t listed_count_ = 0;
  std::vector<int32_t> listed_codes_;  // 1..listed count
  std::vector<int32_t> listed_zones_;  // zone index of every listed code, 1..listed count
  std::string file_name_;
  std::string internal_name_;
  std::FILE* file_ = nullptr;

  // Row buffer: per buffered row its date and columns_ + 1 values (index 1..columns).
  int64_t columns_ = 0;
  int64_t capacity_ = 0;
  int64_t rows_buffered_ = 0;
  int64_t column_index_ = 0;
  std::vector<int64_t> row_dates_;  // four per row: year, month, day, hour
  std::vector<double> row_values_;

  int64_t last_date_[4] = {0, 0, 0, 0};
  std::vector<double> current_values_;  // 0..columns
  std::vector<double> second_values_;
  std::vector<double> area_shares_;
  std::vector<int64_t> zone_codes_;
  uint32_t step_counter_ = 0;
  // Sums carried over the steps of an interval (interval 2 or more), records 0..zone count.
  std::vector<double> interval_counts_;
  std::vector<double> interval_values_;
  std::vector<double> interval_weights_;
  // Exact step sums of fields [0], [1] and [4] of records 0..zone count (three per record):
  // CollectStep turns them into the records, so the rows do not depend on how the cells were
  // split between processes.
  std::vector<ExactSum> step_sums_;
  // The step sums of threads 1.. of a parallel loop, as step_sums_ (empty until the thread's
  // first value); thread_used_ marks the threads that added since the last reset.
  std::vector<std::vector<ExactSum>> thread_sums_;
  std::vector<char> thread_used_;

 private:
  // Sums the exact step sums over the processes onto process 0 (with `over_processes`) and
  // writes them into fields [0], [1] and [4] of the records (collective when reducing).
  void StoreStepSums(bool over_processes);
  // Makes a slot for every thread that the next parallel loop can have.
  void PrepareThreadSums();
  // Merges every thread's step sums into step_sums_ and clears them.
  void MergeThreadSums();
  // Thread `slot`'s sums, made at its first use (by that thread only).
  std::vector<ExactSum>& ThreadSums(int slot);
  // The number of the calling thread in the innermost parallel team of more than one thread,
  // 0 outside parallel regions.
  static int ThreadSlot() {
    for (int level = omp_get_level(); level >= 1; --level)
      if (omp_get_team_size(level) > 1) return omp_get_ancestor_thread_num(level);
    return 0;
  }
};

}  // namespace velorn

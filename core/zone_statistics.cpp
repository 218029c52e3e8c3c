// zonalstatistic: construction, per-step accumulation, row buffer, header and file output.
#include "core/zone_statistics.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

// The fopen mode without the text flag 't', which POSIX does not know.
std::string PosixMode(const char* mode) {
  std::string posix(mode);
  posix.erase(std::remove(posix.begin(), posix.end(), 't'), posix.end());
  return posix;
}

}  // namespace

StatisticsCode SplitStatisticsCode(int32_t code) {
  if (code <= 1000) return {};
  return {code / 1000, code % 1000};
}

int64_t StatisticsColumns(int32_t mode, int32_t zone_count, int32_t listed_count) {
  switch (mode) {
    case 2:
    case 4:
      return int64_t{zone_count} + 1;
    case 5:
    case 6:
      return int64_t{listed_count} + 1;
    default:
      return 2;
  }
}

int64_t StatisticsBufferRows(int64_t columns) {
  return std::max<int64_t>(1, kZoneStatisticsBufferBytes / (8 * columns + 32));
}

void AppendStatisticsValue(std::string& text, int32_t precision, double value) {
  if (precision < kSignificantDigitsPrecision) {
    text += FormatText("\t%.*f", precision, value);
  } else {
    text += FormatText("\t%.6g", value);
  }
}

// ---- Construction ----------------------------------------------------------------------------

zonalstatistic::zonalstatistic(int& error, DiagnosticStream* diag, double** weight_grid,
                               int32_t nrows, int32_t ncols, ZoneRecord* zone_records,
                               int32_t zone_count, int32_t write_code, int32_t precision,
                               std::string& file_name, const std::string& output_directory,
                               int32_t listed_count, const int32_t* listed_codes)
    : diag_(diag),
      zone_records_(zone_records),
      weight_grid_(weight_grid),
      nrows_(nrows),
      ncols_(ncols),
      zone_count_(zone_records != nullptr ? std::max(zone_count, 0) : 0),
      precision_(precision) {
  error = 0;
  const StatisticsCode code = SplitStatisticsCode(write_code);
  mode_ = code.mode;
  interval_ = code.interval;
  if (mode_ == 0) return;  // inactive: every operation does nothing
  try {
    if (mode_ > 6 || interval_ < 1) {
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: statistics code ", write_code,
                 " of the table ", file_name,
                 ": the mode (code / 1000) must be 1 to 6 and the interval (code mod 1000) "
                 "1 or more");
    }
    listed_count_ = listed_codes != nullptr ? std::clamp(listed_count, 0, zone_count_) : 0;
    listed_codes_.assign(static_cast<std::size_t>(listed_count_) + 1, 0);
    for (int32_t i = 1; i <= listed_count_; ++i) listed_codes_[i] = listed_codes[i];
    if (!output_directory.empty() &&
        (file_name.empty() || (file_name[0] != '/' && file_name[0] != '~'))) {
      file_name = output_directory + file_name;
    }
    file_name_ = file_name;

    // Listed code i is searched from the zone after the match of code i - 1 on, so the list
    // must follow the ascending zone table; a code out of order is not found and refused.
    listed_zones_.assign(static_cast<std::size_t>(listed_count_) + 1, 0);
    int32_t next_zone = 1;
    for (int32_t i = 1; i <= listed_count_; ++i) {
      int32_t zone = next_zone;
      while (zone <= zone_count_ &&
             static_cast<int64_t>(zone_records_[zone][2]) != listed_codes_[i])
        ++zone;
      if (zone > zone_count_) {
        ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: ",
                   "\n\n ------ error ------\n\n there is a code in the output list which no zone "
                   "exists for (",
                   listed_codes_[i], ")");
      }
      listed_zones_[i] = zone;
      next_zone = zone + 1;
    }

    columns_ = StatisticsColumns(mode_, zone_count_, listed_count_);
    capacity_ = StatisticsBufferRows(columns_);
    const auto width = static_cast<std::size_t>(columns_) + 1;
    // Only process 0 buffers rows. The buffer is reserved, not filled: a row's pages become
    // resident when the row is buffered, so a table that writes few rows holds little of it.
    if (diag_ == nullptr || diag_->rank() == 0) {
      row_values_.reserve(static_cast<std::size_t>(capacity_) * width);
      row_dates_.reserve(static_cast<std::size_t>(capacity_) * 4);
    }
    current_values_.assign(width, 0.0);
    second_values_.assign(width, 0.0);
    area_shares_.assign(width, 0.0);
    zone_codes_.assign(width, 0);
    FillColumnDescriptions();
    for (int32_t z = 0; z <= zone_count_; ++z) {
      zone_records_[z][0] = zone_records_[z][1] = zone_records_[z][4] = 0.0;
    }
  } catch (const ErrorCode& failure) {
    error = failure.code;
    return;
  } catch (const std::bad_alloc&) {
    Diag() << "FATAL: no free memory in zonalstatistik::zonalstatistik "
           << "[end-entry]";
    error = kZoneStatisticsMemoryCode;
    return;
  }
  try {
    step_sums_.assign(static_cast<std::size_t>(zone_count_ + 1) * 3, ExactSum{});
    PrepareThreadSums();
  } catch (const std::bad_alloc&) {
    Diag() << "FATAL: no free memory in zonalstatistik::zonalstatistik "
           << "[end-entry]";
    error = kZoneStatisticsMemoryCode;
    return;
  }
  if (interval_ >= 2) {
    try {
      const auto records = static_cast<std::size_t>(zone_count_) + 1;
      interval_counts_.assign(records, 0.0);
      interval_values_.assign(records, 0.0);
      interval_weights_.assign(records, 0.0);
    } catch (const std::bad_alloc&) {
      Diag() << "FATAL: no free memory in zonalstatistik::zonalstatistik "
             << "[end-entry]";
      error = kZoneStatisticsMemoryCode;
      return;
    }
  }
  active_ = true;
  constructed_ = true;
}

zonalstatistic::~zonalstatistic() {
  if (file_ != nullptr) std::fclose(file_);
}

int64_t zonalstatistic::ZoneColumns() const {
  if (mode_ == 2 || mode_ == 4) return zone_count_;
  if (mode_ == 5 || mode_ == 6) return listed_count_;
  return 0;
}

int32_t zonalstatistic::ZoneOfColumn(int64_t k) const {
  return (mode_ == 5 || mode_ == 6) ? listed_zones_[static_cast<std::size_t>(k)]
                                    : static_cast<int32_t>(k);
}

void zonalstatistic::FillColumnDescriptions() {
  const int64_t zone_columns = ZoneColumns();
  for (int64_t k = 1; k <= zone_columns; ++k) {
    const ZoneRecord& record = zone_records_[ZoneOfColumn(k)];
    zone_codes_[static_cast<std::size_t>(k)] = static_cast<int64_t>(record[2]);
    area_shares_[static_cast<std::size_t>(k)] = record[3];
  }
  if (zone_columns + 1 <= columns_) area_shares_[static_cast<std::size_t>(zone_columns) + 1] = 1.0;
}

void zonalstatistic::RefuseZoneIndex(int64_t zone) const {
  ThrowFatal(Diag(), kZoneIndexCode, "FATAL: zone index ", static_cast<long long>(zone),
             " lies outside the zone table (0 to ", zone_count_, ") of the statistics table ",
             file_name_);
}

// ---- Per step --------------------------------------------------------------------------------

void zonalstatistic::ResetZoneSums() {
  if (!active_) return;
  ++step_counter_;
  for (int32_t z = 0; z <= zone_count_; ++z) {
    zone_records_[z][0] = zone_records_[z][1] = zone_records_[z][4] = 0.0;
  }
  for (ExactSum& sum : step_sums_) sum.Reset();
  for (std::size_t t = 0; t < thread_sums_.size(); ++t) {
    if (!thread_used_[t]) continue;
    thread_used_[t] = 0;
    for (ExactSum& sum : thread_sums_[t]) sum.Reset();
  }
  PrepareThreadSums();
}

void zonalstatistic::PrepareThreadSums() {
  // Room for the threads of the next parallel loops (resized here, outside any region).
  const auto threads = static_cast<std::size_t>(std::max(omp_get_max_threads(), 1));
  if (thread_sums_.size() < threads) {
    thread_sums_.resize(threads);
    thread_used_.resize(threads, 0);
  }
}

std::vector<ExactSum>& zonalstatistic::ThreadSums(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= thread_sums_.size()) {
    ThrowFatal(Diag(), kZoneIndexCode, "FATAL: zone statistics ", internal_name_, ": thread ", slot,
               " adds values, but the table was reset for ", thread_sums_.size(), " threads");
  }
  std::vector<ExactSum>& sums = thread_sums_[static_cast<std::size_t>(slot)];
  if (sums.empty()) sums.resize(step_sums_.size());
  thread_used_[static_cast<std::size_t>(slot)] = 1;
  return sums;
}

void zonalstatistic::MergeThreadSums() {
  for (std::size_t t = 0; t < thread_sums_.size(); ++t) {
    if (!thread_used_[t]) continue;
    thread_used_[t] = 0;
    std::vector<ExactSum>& sums = thread_sums_[t];
    for (std::size_t k = 0; k < sums.size(); ++k) {
      step_sums_[k].Merge(sums[k]);
      sums[k].Reset();
    }
  }
}

void zonalstatistic::StoreStepSums(bool over_processes) {
  MergeThreadSums();
  if (over_processes) ReduceExactSumsToRoot(step_sums_);
  for (int32_t z = 0; z <= zone_count_; ++z) {
    const ExactSum* sums = &step_sums_[static_cast<std::size_t>(z) * 3];
    zone_records_[z][0] = sums[0].Value();
    zone_records_[z][1] = sums[1].Value();
    zone_records_[z][4] = sums[2].Value();
  }
}

void zonalstatistic::CollectStep(int64_t year, int64_t month, int64_t day, int64_t hour,
                                 int32_t reduce) {
  if (!active_) return;
  StoreStepSums(reduce > 0);
  // Only process 0 holds complete sums (after the reduction) and writes the file.
  if (Diag().rank() != 0) return;
  CollectRecords(year, month, day, hour, RowKind::kZonal);
}

void zonalstatistic::CollectSteps(std::span<zonalstatistic* const> tables, int64_t year,
                                  int64_t month, int64_t day, int64_t hour, int32_t reduce) {
  std::vector<zonalstatistic*> active;
  for (zonalstatistic* table : tables)
    if (table != nullptr && table->active_) active.push_back(table);
  if (active.empty()) return;
  if (reduce > 0) {
    // The step sums of all tables side by side, reduced together, handed back.
    std::vector<ExactSum> all;
    for (zonalstatistic* table : active) {
      table->MergeThreadSums();
      all.insert(all.end(), table->step_sums_.begin(), table->step_sums_.end());
    }
    ReduceExactSumsToRoot(all);
    auto next = all.begin();
    for (zonalstatistic* table : active) {
      std::copy(next, next + static_cast<std::ptrdiff_t>(table->step_sums_.size()),
                table->step_sums_.begin());
      next += static_cast<std::ptrdiff_t>(table->step_sums_.size());
    }
  }
  for (zonalstatistic* table : active) {
    table->StoreStepSums(false);
    if (table->Diag().rank() == 0) table->CollectRecords(year, month, day, hour, RowKind::kZonal);
  }
}

void zonalstatistic::CollectWrittenStep(int64_t year, int64_t month, int64_t day, int64_t hour) {
  if (!active_ || Diag().rank() != 0) return;
  CollectRecords(year, month, day, hour, RowKind::kZonal);
}

void zonalstatistic::CollectRecords(int64_t year, int64_t month, int64_t day, int64_t hour,
                                    RowKind kind) {
  const bool sum_of_means = mode_ == 3 || mode_ == 4 || mode_ == 6;
  const bool keeps_sums = interval_ >= 2;
  if (keeps_sums) {
    for (int32_t z = 0; z <= zone_count_; ++z) {
      ZoneRecord& record = zone_records_[z];
      record[1] += interval_values_[z];
      if (!sum_of_means) {
        record[0] += interval_counts_[z];
        record[4] += interval_weights_[z];
      }
    }
  }

  const bool due = step_counter_ == static_cast<uint32_t>(interval_);
  double* row = nullptr;
  if (due) {
    const int64_t slot = rows_buffered_++;
    column_index_ = 0;
    row_values_.resize(static_cast<std::size_t>(rows_buffered_ * (columns_ + 1)), 0.0);
    row_dates_.resize(static_cast<std::size_t>(rows_buffered_ * 4), 0);
    row = &row_values_[static_cast<std::size_t>(slot * (columns_ + 1))];
    int64_t* date = &row_dates_[static_cast<std::size_t>(slot * 4)];
    date[0] = last_date_[0] = year;
    date[1] = last_date_[1] = month;
    date[2] = last_date_[2] = day;
    date[3] = last_date_[3] = hour;
  }
  auto append = [&](double value) {
    ++column_index_;
    row[column_index_] = value;
    current_values_[static_cast<std::size_t>(column_index_)] = value;
  };

  const bool every_zone = mode_ == 2 || mode_ == 4;
  const bool listed = mode_ == 5 || mode_ == 6;
  double total_values = 0;
  double total_weights = 0;
  for (int32_t z = 1; z <= zone_count_; ++z) {
    const ZoneRecord& record = zone_records_[z];
    // A zone whose weights sum to 0 (no cell, or cells of weight 0) has the value 0.
    double value = 0;
    if (record[0] > 0 && record[4] != 0) {
      value = kind == RowKind::kRouting ? (record[1] / record[0]) * (record[0] / record[4])
                                        : record[1] / record[4];
    }
    total_values += record[1];
    total_weights += record[4];
    if (!due) continue;
    if (every_zone || (listed && column_index_ < listed_count_ &&
                       listed_zones_[static_cast<std::size_t>(column_index_) + 1] == z)) {
      append(value);
    }
  }

  if (keeps_sums) {
    for (int32_t z = 0; z <= zone_count_; ++z) {
      interval_values_[z] = zone_records_[z][1];
      interval_counts_[z] = zone_records_[z][0];
      interval_weights_[z] = zone_records_[z][4];
    }
  }
  if (!due) return;
  if (kind == RowKind::kZonal) append(total_weights > 0 ? total_values / total_weights : 0.0);
  if (keeps_sums) {
    std::fill(interval_values_.begin(), interval_values_.end(), 0.0);
    std::fill(interval_counts_.begin(), interval_counts_.end(), 0.0);
    std::fill(interval_weights_.begin(), interval_weights_.end(), 0.0);
  }
  step_counter_ = 0;
  if (rows_buffered_ >= capacity_) FlushBuffers();
}

// ---- Files -----------------------------------------------------------------------------------

void zonalstatistic::OpenFile(const char* mode) {
  if (file_ != nullptr) CloseFile();
  file_ = OpenOutputFile(file_name_, PosixMode(mode).c_str());
  if (file_ == nullptr) {
    ThrowFatal(Diag(), kZoneTableOpenCode, "FATAL: error opening \n", file_name_,
               SystemReason(errno));
  }
}

void zonalstatistic::CloseFile() {
  if (file_ == nullptr) return;
  // What stdio still buffers goes out first: a full disk often shows only here, and it is a
  // failed write (the rows are lost), not a failed close.
  errno = 0;
  if (std::fflush(file_) != 0) {
    const int error = ErrnoOrIo();
    std::fclose(file_);
    file_ = nullptr;
    ThrowFatal(Diag(), kWriteErrorCode, "FATAL: cannot write to ", file_name_, SystemReason(error));
  }
  const int error = CloseChecked(file_);
  file_ = nullptr;
  if (error != 0)
    ThrowFatal(Diag(), kZoneTableCloseCode, "FATAL: cannot close ", file_name_,
               SystemReason(error));
}

void zonalstatistic::WriteText(const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file_) == text.size()) return;
  const int error = errno;
  std::fclose(file_);
  file_ = nullptr;
  ThrowFatal(Diag(), kWriteErrorCode, "FATAL: cannot write to ", file_name_, SystemReason(error));
}

std::string zonalstatistic::CodeHeaderLine() const {
  std::string line = "YY\tMM\tDD\tHH";
  const int64_t zone_columns = ZoneColumns();
  for (int64_t k = 1; k <= zone_columns; ++k) {
    line += FormatText("\t\"%.0lf\"", zone_records_[ZoneOfColumn(k)][2]);
  }
  return line;
}

int zonalstatistic::FreeRecord(const ZoneStatisticsRecord* registry, int32_t capacity, int from) {
  if (registry == nullptr) return -1;
  for (int i = from; i < capacity; ++i) {
    if (!registry[i].InUse()) return i;
  }
  return -1;
}

void zonalstatistic::FlushBuffers() {
  if (!active_ || rows_buffered_ == 0) return;
  SigintIgnoredScope no_interrupt;
  OpenFile("a+");
  std::string text;
  text.reserve(static_cast<std::size_t>(rows_buffered_ * (column_index_ * 12 + 16)));
  for (int64_t r = 0; r < rows_buffered_; ++r) {
    const int64_t* date = &row_dates_[static_cast<std::size_t>(r * 4)];
    text +=
        FormatText("%2ld\t%2ld\t%2ld\t%2ld", static_cast<long>(date[0]), static_cast<long>(date[1]),
                   static_cast<long>(date[2]), static_cast<long>(date[3]));
    const double* row = &row_values_[static_cast<std::size_t>(r * (columns_ + 1))];
    for (int64_t k = 1; k <= column_index_; ++k) AppendStatisticsValue(text, precision_, row[k]);
    WarnOfNonFiniteValues(date, row);
    text += '\n';
  }
  WriteText(text);
  CloseFile();
  // One entry once the rows are on disk; a failure above writes its own FATAL entry.
  Diag() << "write " << file_name_ << "("
         << static_cast<long long>((8 * column_index_ + 32) * rows_buffered_) << " of "
         << static_cast<long long>(kZoneStatisticsBufferBytes) << " buffer-bytes)"
         << "[end-entry]";
  rows_buffered_ = 0;
  column_index_ = 0;
  row_values_.clear();  // keeps the reserved capacity
  row_dates_.clear();
}

// A table row with NaN or an infinite value is written as it is, but the first one of the table
// with a WARNING naming the table and the step: a run must not end "successfully" with such
// values unnoticed.
void zonalstatistic::WarnOfNonFiniteValues(const int64_t* date, const double* row) {
  if (warned_non_finite_) return;
  for (int64_t k = 1; k <= column_index_; ++k) {
    if (std::isfinite(row[k])) continue;
    warned_non_finite_ = true;
    Diag() << "WARNING: the zone statistics " << file_name_ << " (" << internal_name_ << ") hold "
           << FormatText("%g", row[k]) << ", no finite number, in column " << k << " of the step "
           << date[2] << "." << date[1] << "." << date[0] << " " << date[3]
           << ". h (reported once per table)[end-entry]";
    return;
  }
}

ZoneStatisticsRecord zonalstatistic::OwnRecord() {
  return {last_date_[0],
          last_date_[1],
          last_date_[2],
          last_date_[3],
          columns_,
          current_values_.data(),
          second_values_.data(),
          area_shares_.data(),
          internal_name_.c_str(),
          zone_codes_.data()};
}

int zonalstatistic::WriteHeader(const std::string& sub_model, const std::string& statistic,
                                ZoneStatisticsRecord* registry, int32_t capacity) {
  if (!active_ || Diag().rank() != 0) return -1;
  SigintIgnoredScope no_interrupt;
  std::fill(second_values_.begin(), second_values_.end(), 0.0);
  OpenFile("wt");
  internal_name_ = sub_model + "_submodel:" + statistic;
  const int used = FreeRecord(registry, capacity, 0);
  if (used >= 0) {
    registry[used] = OwnRecord();
  }
  std::string text = CodeHeaderLine() + "\ttot_average\n" + internal_name_ + "\n--\t--\t--\t--";
  const int64_t zone_columns = ZoneColumns();
  for (int64_t k = 1; k <= zone_columns; ++k) {
    text += FormatText("\t%.7lf", area_shares_[static_cast<std::size_t>(k)]);
  }
  text += "\t1.0000\n";
  WriteText(text);
  CloseFile();
  return std::max(used, 0);
}

void zonalstatistic::ReleaseMemory() {
  if (!active_) return;
  if (rows_buffered_ > 0 && constructed_) FlushBuffers();
  CloseFile();
  active_ = false;
  row_values_ = {};
  row_dates_ = {};
  current_values_ = {};
  second_values_ = {};
  area_shares_ = {};
  zone_codes_ = {};
  listed_zones_ = {};
  interval_counts_ = {};
  interval_values_ = {};
  interval_weights_ = {};
}

}  // namespace velorn

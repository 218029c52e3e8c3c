// routstatistic: routing rows without total, observed-runoff description, goodness of fit.
#include "core/route_statistics.h"

#include <algorithm>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/signals.h"
#include "core/string_helpers.h"

namespace velorn {

double GoodnessOfFit(const GoodnessOfFitSums& sums, bool coefficient_of_variation) {
  const double n = sums.count;
  const double m = sums.observed_count;
  if (n <= 2 || m <= 2) return kUndefinedFit;
  const double variance =
      (sums.observed_square_sum - sums.observed_sum * sums.observed_sum / m) / (m - 1);
  if (variance == 0) return kUndefinedFit;
  const double error =
      coefficient_of_variation
          ? (sums.squared_error_sum - sums.error_sum * sums.error_sum / n) / (n - 1)
          : sums.squared_error_sum / (n - 1);
  if (error == 0) return 1.0;
  return 1.0 - error / variance;
}

routstatistic::routstatistic(int& error, DiagnosticStream* diag, double** weight_grid,
                             int32_t nrows, int32_t ncols, ZoneRecord* zone_records,
                             const double* header_values, int32_t zone_count, int32_t write_code,
                             int32_t precision, std::string& file_name,
                             const std::string& output_directory, int32_t listed_count,
                             const int32_t* listed_codes)
    : zonalstatistic(error, diag, weight_grid, nrows, ncols, zone_records, zone_count, write_code,
                     precision, file_name, output_directory, listed_count, listed_codes) {
  if (!active_) return;
  --columns_;  // no total column
  const auto width = static_cast<std::size_t>(columns_) + 1;
  const auto zones = static_cast<std::size_t>(zone_count_) + 1;
  try {
    header_values_.assign(zones, 0.0);
    if (header_values != nullptr)
      std::copy(header_values, header_values + zones, header_values_.begin());
    observed_values_.assign(width, 0.0);
    observed_second_values_.assign(width, 0.0);
    observed_area_shares_.assign(area_shares_.begin(), area_shares_.begin() + width);
  } catch (const std::bad_alloc&) {
    Diag() << "FATAL: no free memory in zonalstatistik::zonalstatistik "
           << "[end-entry]";
    error = kZoneStatisticsMemoryCode;
    active_ = false;
    constructed_ = false;
  }
}

int routstatistic::WriteHeader(const std::string& sub_model, const std::string& statistic,
                               ZoneStatisticsRecord* registry, int32_t capacity) {
  if (!active_) return 0;
  SigintIgnoredScope no_interrupt;
  std::fill(second_values_.begin(), second_values_.end(), 0.0);
  OpenFile("wt");
  internal_name_ = sub_model + "_submodel:" + statistic;
  int observed = 0;
  const int own = FreeRecord(registry, capacity, 0);
  if (own >= 0) {
    registry[own] = OwnRecord();
    if (own + 1 < capacity && !registry[own + 1].InUse()) {
      observed = own + 1;
      registry[observed] = {observed_date_[0],
                            observed_date_[1],
                            observed_date_[2],
                            observed_date_[3],
                            columns_,
                            observed_values_.data(),
                            observed_second_values_.data(),
                            observed_area_shares_.data(),
                            observed_name_.c_str(),
                            zone_codes_.data()};
    }
  }
  std::string text = CodeHeaderLine() + "\n" + internal_name_ + "\n--\t--\t--\t--";
  const int64_t zone_columns = ZoneColumns();
  for (int64_t k = 1; k <= zone_columns; ++k) {
    text += FormatText("\t%.7lf", header_values_[static_cast<std::size_t>(ZoneOfColumn(k))]);
  }
  text += "\n";
  WriteText(text);
  CloseFile();
  return observed;
}

void routstatistic::CollectRoutingStep(int64_t year, int64_t month, int64_t day, int64_t hour) {
  if (!active_) return;
  CollectRecords(year, month, day, hour, RowKind::kRouting);
  std::copy(std::begin(last_date_), std::end(last_date_), std::begin(observed_date_));
}

void routstatistic::AppendFitBlock(std::string& text, const char* label, const char* lag0_label,
                                   const GoodnessOfFitTable& table, bool coefficient_of_variation) {
  // Fit measures print with one decimal fewer than the rows, or as the rows at "%.6g".
  const int32_t precision =
      precision_ < kSignificantDigitsPrecision ? std::max(precision_ - 1, 0) : precision_;
  const int64_t zone_columns = ZoneColumns();
  text += "----------------------\n";
  for (int lag_index = 0; lag_index < kGoodnessOfFitLags; ++lag_index) {
    const int lag = lag_index - kGoodnessOfFitMaxLag;
    text += FormatText("%s\t%d", lag == 0 ? lag0_label : label, lag);
    const auto& lag_sums = table[static_cast<std::size_t>(lag_index)];
    for (int64_t k = 1; k <= zone_columns; ++k) {
      const double measure = GoodnessOfFit(lag_sums[static_cast<std::size_t>(ZoneOfColumn(k))],
                                           coefficient_of_variation);
      AppendStatisticsValue(text, precision, measure);
    }
    text += "\n";
  }
}

void routstatistic::WriteGoodnessOfFit(const GoodnessOfFitTable& linear,
                                       const GoodnessOfFitTable& logarithmic) {
  if (!active_) return;
  const auto zones = static_cast<std::size_t>(zone_count_) + 1;
  for (const GoodnessOfFitTable* table : {&linear, &logarithmic}) {
    const bool complete =
        table->size() >= static_cast<std::size_t>(kGoodnessOfFitLags) &&
        std::all_of(table->begin(), table->begin() + kGoodnessOfFitLags,
                    [&](const std::vector<GoodnessOfFitSums>& lag) { return lag.size() >= zones; });
    if (!complete) {
      ThrowFatal(Diag(), kZoneIndexCode, "FATAL: the goodness-of-fit tables of ", file_name_,
                 " do not cover 21 lags and ", zone_count_, " zones");
    }
  }
  FlushBuffers();
  SigintIgnoredScope no_interrupt;
  OpenFile("a+");
  std::string text;
  AppendFitBlock(text, "lin. R-square", "LIN. R-SQUARE", linear, false);
  AppendFitBlock(text, "log. R-square", "LOG. R-SQUARE", logarithmic, false);
  AppendFitBlock(text, "coeff.var.lin", "COEFF.VAR.LIN", linear, true);
  AppendFitBlock(text, "coeff.var.log", "COEFF.VAR.LOG", logarithmic, true);
  const auto& lag0 = linear[kGoodnessOfFitMaxLag];
  for (int32_t z = 1; z <= zone_count_; ++z) {
    zone_records_[z][0] = 1;
    zone_records_[z][1] = GoodnessOfFit(lag0[static_cast<std::size_t>(z)], true);
  }
  WriteText(text);
  CloseFile();
}

void routstatistic::ReleaseMemory() {
  if (!active_) return;
  observed_values_ = {};
  observed_second_values_ = {};
  observed_area_shares_ = {};
  header_values_ = {};
  zonalstatistic::ReleaseMemory();
}

}  // namespace velorn

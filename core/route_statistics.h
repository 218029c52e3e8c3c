// routstatistic: the zone statistics table of the discharge routing, with observed-runoff
// columns and the goodness-of-fit tables of simulated against observed discharge.
//
// A `zonalstatistic` (core/zone_statistics.h) whose rows have no total column: the routing
// model holds complete per-zone sums on the process that calls it, so CollectRoutingStep does
// no reduction and the table writes from whichever process calls it. Its header's third line
// carries per-zone values given to the constructor (catchment areas, say) instead of the area
// shares, and WriteHeader also enters the observed-runoff description ("observed Runoff") in
// the registry record after the table's own, so that coupled programs find the observed values
// (observed_values(), index 1..columns, filled by the routing model).
//
// WriteGoodnessOfFit appends, for the lags -10..+10 steps, four blocks of measures per zone
// column: linear and logarithmic R-square (Nash-Sutcliffe efficiency), linear and logarithmic
// coefficient of variation (the same with the mean error removed). A measure that cannot be
// formed (2 or fewer simulated or observed values, observations without variance) is written
// as -9999, never as a perfect 1.
//
// Caller: the discharge routing (one table per routing model).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/zone_statistics.h"

namespace velorn {

// Lags -10..+10 of the goodness-of-fit tables, stored at lag index 0..20.
inline constexpr int kGoodnessOfFitLags = 21;
inline constexpr int kGoodnessOfFitMaxLag = 10;
// Written for a measure that cannot be formed.
inline constexpr double kUndefinedFit = -9999.0;

// Sums over the steps of one zone and lag: simulated minus observed errors and the observed
// values themselves. The observed values are summed as departures from the first one (`shift`):
// the variance then comes from small numbers, and a constant series has the variance 0 exactly
// (sums of the values themselves leave the round-off of their squares, which turned a constant
// series into a measure of 1e15).
struct GoodnessOfFitSums {
  double count = 0;                // n: pairs compared
  double error_sum = 0;            // sum of (simulated - observed)
  double squared_error_sum = 0;    // sum of (simulated - observed)^2
  double observed_count = 0;       // m: observations
  double observed_sum = 0;         // sum of (observed - shift)
  double observed_square_sum = 0;  // sum of (observed - shift)^2
  double shift = 0;                // the first observation

  // Adds the pair of one step.
  void Add(double simulated, double observed) {
    if (observed_count == 0) shift = observed;
    const double error = simulated - observed, departure = observed - shift;
    count += 1;
    error_sum += error;
    squared_error_sum += error * error;
    observed_count += 1;
    observed_sum += departure;
    observed_square_sum += departure * departure;
  }
};

// Per lag index 0..20, per zone index 0..zone count.
using GoodnessOfFitTable = std::vector<std::vector<GoodnessOfFitSums>>;

// 1 - E / V with V the variance of the observations and E the mean squared error (R-square)
// or the error variance (coefficient of variation, the mean error removed); kUndefinedFit
// when n <= 2, m <= 2 or V = 0.
double GoodnessOfFit(const GoodnessOfFitSums& sums, bool coefficient_of_variation);

class routstatistic : public zonalstatistic {
 public:
  // The arguments of zonalstatistic, with `header_values` (index 1..zone count, may be null for
  // zeros): the per-zone values of the header's third line.
  routstatistic(int& error, DiagnosticStream* diag, double** weight_grid, int32_t nrows,
                int32_t ncols, ZoneRecord* zone_records, const double* header_values,
                int32_t zone_count, int32_t write_code, int32_t precision, std::string& file_name,
                const std::string& output_directory, int32_t listed_count,
                const int32_t* listed_codes);

  // Writes the header on the calling process and enters the table and, in the record after
  // it when that one is free, the observed-runoff description. Returns the description's
  // record index, 0 when it was not entered or the table is inactive.
  int WriteHeader(const std::string& sub_model, const std::string& statistic,
                  ZoneStatisticsRecord* registry, int32_t capacity) override;
  void ReleaseMemory() override;
  // Appends the four goodness-of-fit blocks (after flushing the rows). The zone records of the
  // zones receive [0] = 1 and [1] = the linear coefficient of variation at lag 0. Tables
  // smaller than 21 lags x (zone count + 1) zones are refused with code 125.
  virtual void WriteGoodnessOfFit(const GoodnessOfFitTable& linear,
                                  const GoodnessOfFitTable& logarithmic);
  // Ends a step without reduction: zone values ([1] / [0]) x ([0] / [4]), no total column.
  virtual void CollectRoutingStep(int64_t year, int64_t month, int64_t day, int64_t hour);

  // Observed values of the zone columns, index 1..columns (filled by the routing model).
  double* observed_values() { return observed_values_.data(); }
  const std::string& observed_name() const { return observed_name_; }

 private:
  // Appends one block of 21 lag lines of measures.
  void AppendFitBlock(std::string& text, const char* label, const char* lag0_label,
                      const GoodnessOfFitTable& table, bool coefficient_of_variation);

  std::vector<double> header_values_;  // 0..zone count
  int64_t observed_date_[4] = {0, 0, 0, 0};
  std::vector<double> observed_values_;
  std::vector<double> observed_second_values_;
  std::vector<double> observed_area_shares_;
  std::string observed_name_ = "observed Runoff";
};

}  // namespace velorn

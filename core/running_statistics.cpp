// Running statistics of weighted values and linear interpolation.
#include "core/running_statistics.h"

#include <cmath>

#include "core/nodata.h"

namespace velorn {

void RunningStatistics::Reset(double nodata_value) {
  *this = RunningStatistics{};
  nodata = nodata_value;
}

void RunningStatistics::Add(double value, double weight) {
  if (!IsAboveNodataPlusOne(value, nodata)) return;
  count += weight;
  sum += value * weight;
  sum_of_squares += value * value * weight;
  // The first counted value starts minimum and maximum, so that weights other than 1 (cell
  // areas) still give the true extremes rather than extremes measured against 0.
  if (!has_value) {
    minimum = value;
    maximum = value;
    has_value = true;
  } else if (value < minimum) {
    minimum = value;
  } else if (value > maximum) {
    maximum = value;
  }
}

double RunningStatistics::Mean() const {
  return count > 0 ? sum / count : kNodata;
}

double RunningStatistics::StandardDeviation() const {
  if (count <= 2) return kNodata;
  const double variance = (sum_of_squares - sum * sum / count) / (count - 1);
  // Rounding can leave a tiny negative variance for equal values; their spread is 0.
  return variance > 0 ? std::sqrt(variance) : 0.0;
}

double InterpolateLinear(double x0, double y0, double x1, double y1, double x) {
  const double span = x1 - x0;
  if (span == 0) return y0;
  return (x - x0) / span * y1 + (x1 - x) / span * y0;
}

}  // namespace velorn

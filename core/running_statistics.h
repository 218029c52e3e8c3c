// RunningStatistics: one running statistic of weighted values, and linear interpolation.
//
// Every model object carries one (modelobject::ResetStatistics / AddToStatistics /
// GetStatistics forward to it): the grid and stack writers feed it every cell they write and put
// count, minimum, maximum, sum, mean and standard deviation into their file headers; sub-models
// use it for their own summaries. Values at or below nodata + 1 are ignored. The count is the
// sum of the weights. Minimum and maximum start from the first counted value, whatever its
// weight. Mean and standard deviation are -9999 when there are too few values (count 0, or
// count 2 or less for the sample standard deviation).
//
// Not thread-safe: values are added from one thread.
#pragma once

namespace velorn {

struct RunningStatistics {
  double count = 0;  // sum of the weights
  double minimum = 0;
  double maximum = 0;
  double sum = 0;             // sum of value x weight
  double sum_of_squares = 0;  // sum of value x value x weight
  double nodata = 0;
  bool has_value = false;  // minimum and maximum hold a counted value

  // Stores nodata and sets everything else to 0.
  void Reset(double nodata_value);
  // Adds one value with its weight; ignored unless value > nodata + 1.
  void Add(double value, double weight);
  // Mean, or -9999 when the count is not above 0.
  double Mean() const;
  // Sample standard deviation when the count is above 2 (0 when rounding leaves a variance at or
  // below 0), else -9999.
  double StandardDeviation() const;
};

// The line through (x0, y0) and (x1, y1) at x, extrapolating outside x0..x1; y0 when x1 == x0.
double InterpolateLinear(double x0, double y0, double x1, double y1, double x);

}  // namespace velorn

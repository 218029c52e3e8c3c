// Nodata and missing-value tests, each named once.
//
// Grids carry a nodata value in their geometry (-9999 in practice) and time series mark missing
// values with -9999. Different parts of the model test for them in different ways, and those
// differences change results at the edges, so each form has one name here and every caller uses
// the form its own rules ask for. All predicates are constexpr and allocation-free, for use in
// the per-cell loops.
#pragma once

namespace velorn {

// The nodata / missing value of grids and time series.
inline constexpr double kNodata = -9999.0;

// The cell holds exactly the nodata value.
constexpr bool IsNodata(double value, double nodata) {
  return value == nodata;
}

// The cell holds a value other than the nodata value.
constexpr bool IsNotNodata(double value, double nodata) {
  return value != nodata;
}

// The value lies above the nodata value (a domain cell, a valid reference-grid cell).
constexpr bool IsAboveNodata(double value, double nodata) {
  return value > nodata;
}

// The value lies more than 1 above the nodata value (counted by the running statistics: with
// nodata -9999, -9997 counts and -9998.5 does not).
constexpr bool IsAboveNodataPlusOne(double value, double nodata) {
  return value > nodata + 1;
}

// A time-series or grid value at or below -9999 is missing.
constexpr bool IsMissing(double value) {
  return value <= kNodata;
}

// A value above -9998 is valid data (the tolerant test of station values).
constexpr bool IsAboveMinus9998(double value) {
  return value > -9998.0;
}

// A value above -9998.9 is valid data (the tight tolerant test).
constexpr bool IsAboveMinus9998_9(double value) {
  return value > -9998.9;
}

}  // namespace velorn

// LanduseCurveValues: one seasonal parameter of a land-use layer at a model's own step date,
// evaluated once per land-use curve and looked up per cell.
//
// The land-use parameter grids group the cells of fixed-calendar entries into curves (layer,
// entry, altitude-shifted fixpoint days) and fill their grids once a day. A model that needs a
// parameter at its own step's date (the snow model's land albedo) evaluates it here: Evaluate
// once before its cell loop, then Value per cell. A cell of a curve takes its curve's value;
// any other cell (dynamic phenology, an altitude changed since set-up, no curves at all)
// evaluates its own through the caller's cache of shifted days. Both give bit for bit what the
// record's Get<Parameter> gives the cell, without an allocation per cell.
//
// Threads: Evaluate on the calling thread; Value from many threads, each with its own cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/model_date.h"
#include "tables/landuse_parameter_grids.h"
#include "tables/landuse_record.h"

namespace velorn {

class LanduseCurveValues {
 public:
  LanduseCurveValues(LanduseSeries series, int layer) : series_(series), layer_(layer) {}

  // The value of every curve of the layer at `date`. A curve whose entry has no values of the
  // series is left to its cells, which fail as each cell's own evaluation does.
  void Evaluate(DiagnosticStream& diag, const LanduseRecord* table,
                const LanduseParameterGrids* grids, const ModelDate& date) {
    date_ = date;
    grids_ = table != nullptr ? grids : nullptr;
    const std::size_t count = grids_ != nullptr ? grids_->curves.size() : 0;
    values_.assign(count, 0.0);
    known_.assign(count, 0);
    for (std::size_t k = 0; k < count; ++k) {
      const LanduseCurve& curve = grids_->curves[k];
      const LanduseRecord& record = table[curve.entry];
      const int n = record.GetFixpointCount();
      if (curve.layer != layer_ || n < 1 ||
          record.GetSeries(series_).size() < static_cast<std::size_t>(n) + 1)
        continue;
      values_[k] = record.EvaluateAtDate(diag, series_, Day(), Month(), Year(), layer_, curve.row,
                                         curve.col, curve.altitude, &days_);
      known_[k] = 1;
    }
  }

  // The value of own cell (r, c) whose entry is table[entry], at `altitude`.
  double Value(DiagnosticStream& diag, const LanduseRecord* table, long r, long c, int entry,
               double altitude, ShiftedDaysCache& days) const {
    if (grids_ != nullptr) {
      if (const LanduseCurve* curve = CurveOfCell(*grids_, layer_, r, c, entry, altitude)) {
        const auto k = static_cast<std::size_t>(curve - grids_->curves.data());
        if (k < known_.size() && known_[k] != 0) return values_[k];
      }
    }
    return table[entry].EvaluateAtDate(diag, series_, Day(), Month(), Year(), layer_, r, c,
                                       altitude, &days);
  }

 private:
  int Day() const { return static_cast<int>(date_.day); }
  int Month() const { return static_cast<int>(date_.month); }
  int Year() const { return static_cast<int>(date_.year); }

  LanduseSeries series_;
  int layer_;
  ModelDate date_;
  const LanduseParameterGrids* grids_ = nullptr;
  std::vector<double> values_;  // per curve
  std::vector<uint8_t> known_;  // 0: the curve's cells evaluate on their own
  ShiftedDaysCache days_;       // scratch of Evaluate
};

}  // namespace velorn

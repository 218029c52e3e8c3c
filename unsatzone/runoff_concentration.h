// Runoff concentration of the soil zone: the flow-time zones that delay each cell's direct
// runoff and interflow on their way to the subbasin outlet, the single linear storage per
// subbasin and component behind them, and the per-subbasin runoff arrays that the other models
// take over by pointer (direct runoff QD/QDd, interflow QI/QIi, base flow QBb, total runoff Qg).
//
// Owned by the unsaturated zone (one object per run); the frame of its time step calls
// SetupZones once, BeginStep before the sub-steps, AddCellRunoff from the sub-step body (one
// call per cell and sub-step, under the caller's lock when threads share a subbasin) and
// FinishStep after them. Indexes: tracer t = 0..T (0 = water), subbasin s = 1..n (0 unused),
// zone z = 0..maxzeit[s] (record z holds the water that reaches the outlet after z - 1 more
// steps; record 0 is unused).
//
// Records are ZoneRecords: [0] count of contributions, [1] sum of contributions (mm x weight x
// sub-steps), [2] zone number, [3] share of the subbasin's cells in the zone, [4] weight sum.
// A tracer's records sum the solute the water carries (concentration x mm x weight x
// sub-steps): the concentration that reaches the outlet is the tracer's [1] over the water's
// [1], so the storages mix solute mass with the water that holds it.
//
// Sums over processes: the records live on process 0 as plain doubles (the other processes hold
// none of their water). A process enters its own cells' runoff into exact sums per record
// (core/zone_entry_sums.h); FinishStep combines them over the processes in one exchange with the
// step's base flow, and process 0 adds each record's total of the step to the record. Every
// record is thus the same sequence of the same doubles on any split of the cells. The
// storage-content file keeps the records; after a warm start, whatever records other processes
// read are added exactly to process 0's at the first step. Limits: values computed from the
// records are valid on process 0 only (FinishStep), or on every process (SetupZones,
// InitialTotalRunoff).
#pragma once

#include <mpi.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/exact_sum.h"
#include "core/zone_entry_sums.h"
#include "core/zone_types.h"

namespace velorn {

// Code of a subbasin without any counted cell, and of an empty first zone.
inline constexpr int kFlowTimesNodataCode = 6;
inline constexpr int kFirstZoneEmptyCode = 61;

// The zone of a flow time in seconds for a step of `interval_minutes`: ceil(t / 60 / interval).
// A flow time of 0, a negative one or nodata gives 0 (no valid zone).
int32_t FlowTimeZone(double seconds, double interval_minutes, double nodata);

// Factor of the linear storage for one step: exp(-interval / k) (both in minutes), 0 when
// surface routing takes over the storage.
double StorageFactor(double interval_minutes, double k_minutes, bool surface_routing);

// Outflow of a linear storage after one step of constant inflow: (1 - e) inflow + e previous.
inline double LinearStorageOutflow(double inflow, double previous, double e) {
  return inflow * (1.0 - e) + e * previous;
}

// Base flow of a cell at the start of a run without groundwater model: the exponential store
// q = maxBaseflow exp(distance / kelsqlat) (distance negative below the surface).
inline double InitialBaseflow(double max_baseflow, double distance, double inverse_recession) {
  return max_baseflow * std::exp(distance * inverse_recession);
}

// One own cell of the flow-time set-up.
struct FlowTimeCell {
  int32_t subbasin = 0;  // zone index 1..n
  double seconds = 0;    // flow time (ignored without a flow-time grid)
  double weight = 1;     // "RelCellArea" or 1
  int32_t row = 0, column = 0;
};

class RunoffConcentration {
 public:
  using Buffer = std::vector<std::vector<std::vector<ZoneRecord>>>;  // [t][s][z]
  using Array = std::vector<std::vector<double>>;                    // [t][s]

  // Per subbasin parameters and the table rows the step writes into (each n + 1 records).
  struct StepTables {
    std::vector<ZoneRecord>* qd = nullptr;
    std::vector<ZoneRecord>* qi = nullptr;
    std::vector<ZoneRecord>* qb = nullptr;  // also the accumulator of cell base flow
    std::vector<ZoneRecord>* qg = nullptr;
  };

  // Empty arrays for `subbasins` subbasins and `tracers` tracers.
  void Allocate(int32_t subbasins, int32_t tracers);

  // Builds the zones of every subbasin from the own cells of this process (collective).
  // `cells` receives the zone of each cell (written back by the caller into the flow-time
  // grid). Cells whose flow time gives no valid zone (0, negative, nodata) count in zone 1; the
  // first one is named in one WARNING with `grid_name`. The pipeline starts full of weights as
  // `substeps` sub-steps add them in one step, so the first steps neither lose nor create
  // water. `codes` are the subbasin codes 1..n; process 0 writes the distribution to `log`.
  // Without a flow-time grid (`with_grid` false) every subbasin has one zone. A zone's share
  // (`rel`) is its part of the subbasin's weights, summed exactly over the processes.
  std::vector<int32_t> SetupZones(DiagnosticStream& diag, const std::vector<FlowTimeCell>& cells,
                                  bool with_grid, const std::string& grid_name,
                                  double interval_minutes, int32_t substeps,
                                  const std::vector<double>& codes, const std::string& log_name,
                                  double nodata, MPI_Comm comm = MPI_COMM_WORLD);

  // Moves every buffer by one zone towards the outlet (fields 0, 1 and 4; 2 and 3 stay).
  void BeginStep();

  // One cell's contribution of one sub-step to zone `zone` of subbasin `s` (tracer `t`):
  // runoff in mm of the sub-step, weight w, glacier share g, `substeps` per step. It reaches the
  // record at FinishStep.
  void AddCellRunoff(int32_t t, int32_t s, int32_t zone, double direct, double inter, double w,
                     double g, int32_t substeps);
  // One cell's base flow of the step for subbasin `s`, as its record in the base-flow table
  // takes it: fields [0], [1] and [4] grow by `count`, `flow` and `weight`.
  void AddCellBaseflow(int32_t s, double count, double flow, double weight);
  // The records were read (each process its own storage-content file): the next FinishStep adds
  // every process's records to process 0's first.
  void RecordsRead() { records_read_ = true; }

  // Sums the step's entries and base flow exactly over the processes in one exchange and adds
  // the entries to process 0's records; on process 0 forms QD, QI through their storages, QBb
  // and Qg per subbasin and writes the rows of the four tables. `rel` is the zone table's share per
  // subbasin (1..n); `glacier` is the snow model's flag per subbasin (null: none), whose
  // subbasins keep the glacier runoff the snow model stored in Qg[0] this step and add to it.
  void FinishStep(const StepTables& tables, const std::vector<double>& kelsqd,
                  const std::vector<double>& kelsqi, const std::vector<double>& rel,
                  const uint8_t* glacier, bool surface_routing, double interval_minutes,
                  MPI_Comm comm = MPI_COMM_WORLD);

  int32_t subbasins() const { return n_; }
  int32_t tracers() const { return tracers_; }

  std::vector<double> maxzeit;  // zones per subbasin (1..n)
  // Per subbasin (1..n), set by SetupZones: the most a record can count (cells, or their
  // weights where those are larger, times the sub-steps of a step) and the most its weight
  // sum can hold (the weights times the sub-steps). A record collects each cell at most once
  // per sub-step on its way to the outlet, so no record the model writes holds more.
  std::vector<double> count_capacity, weight_capacity;
  Buffer zoneFZT_QD, zoneFZT_QI;
  Array Qg, QD, QDd, QI, QIi, QBb;

 private:
  // Numbers the records of both buffers, all tracers and subbasins for the entries (buffer-major,
  // then tracer, subbasin and zone), from the buffers' sizes.
  void NumberRecords();
  std::size_t Line(int b, int32_t t, int32_t s) const {
    return (static_cast<std::size_t>(b) * (static_cast<std::size_t>(tracers_) + 1) +
            static_cast<std::size_t>(t)) *
               (static_cast<std::size_t>(n_) + 1) +
           static_cast<std::size_t>(s);
  }
  std::size_t Key(int b, int32_t t, int32_t s, int32_t z) const {
    return key_offset_[Line(b, t, s)] + static_cast<std::size_t>(z);
  }
  // The record of a key.
  ZoneRecord& RecordOfKey(std::size_t key);
  // Adds every process's records to process 0's and clears them on the others (collective).
  void GatherRecords(MPI_Comm comm);

  int32_t n_ = 0;
  int32_t tracers_ = 0;
  ZoneEntrySums entries_;                // the step's entries of the own cells
  std::vector<std::size_t> key_offset_;  // first key of each buffer, tracer and subbasin
  std::vector<ExactSum> base_exact_;     // the step's base flow, 3 per subbasin 0..n
  bool records_read_ = false;            // this process read records from its storage-content file
  bool first_step_ = true;
};

// Qg[0][s] at the start of a run: the weighted mean base flow of the subbasin's cells over all
// processes (per subbasin the exact sums of this process's cells: of q x w and of w), summed
// exactly over the processes, so the same double on any split of the cells; 0 for a subbasin
// whose weights sum to 0. Collective; every process gets the result.
std::vector<double> InitialTotalRunoff(const std::vector<ExactSum>& weighted_sums,
                                       const std::vector<ExactSum>& weight_sums,
                                       MPI_Comm comm = MPI_COMM_WORLD);

}  // namespace velorn

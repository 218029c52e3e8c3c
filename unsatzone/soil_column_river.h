// Water exchange between the soil column of a cell and the river in that cell: a losing river
// (table at or below the bed) infiltrates into the layers from the bed down to the table and up
// to the water surface, limited by the water the routing record still offers; a gaining river
// (table above the bed) draws the drainable water of the layers between table and bed.
//
// Called by ComputeLayerFluxes (unsatzone/soil_column_fluxes.h) in every iteration of a river
// cell, from the OpenMP threads of the cell loop. The record of the cell's subbasin is shared by
// all its river cells: its offer is read and the cell's take booked inside one unnamed OpenMP
// critical section, and a cell's take replaces its take of the previous iteration of the same
// inner step, so that the takes of all cells together never exceed the offer. Each change of the
// booked take also goes, term by term, into the record's exact twin (RiverCell::exactTake).
// Which cell gets a river's last water depends on the order of the takes: in a run the cells of
// a link are all visited by one process, in one row (unsatzone/soil_halo.h) and so by one thread,
// from the highest cell down, whatever the number of processes and threads.
//
// Units of the record (written by discharge routing): offeredWater is the discharge offered,
// m³/s; channelLength holds the mean flow velocity of the channel, m/s; reinfiltrated is the
// water taken in the time step as a mean rate over the step, m³/s (routing turns it into mm per
// step). Inside the column the exchange is a rate in m/s per layer.
#pragma once

#include <cstdint>
#include <vector>

#include "core/exact_sum.h"
#include "unsatzone/reinfiltration_record.h"
#include "unsatzone/soil_column_workspace.h"

namespace velorn {

struct FluxTotals;

// The river of one cell and its share of the routing record.
struct RiverCell {
  double depth = 0;      // river depth below the surface, m
  double width = 0;      // m
  double kolmation = 0;  // leakage coefficient of the bed, 1/s
  int linkCode = 0;      // river link (> 0: the cell takes water from `record`)
  bool lake = false;     // a lake cell that the exchange skips
  ReinfiltrationRecord* record = nullptr;
  ExactSum* exactTake = nullptr;  // exact twin of record->reinfiltrated (null: none kept)
  int substep = 1;                // current sub-step of the time step, 1..substeps
  int substeps = 1;               // sub-steps per time step
  double stepSeconds = 0;         // length of the model time step, s
  double cellTake = 0;  // this cell's booked take of the current inner step (m³/s, step mean)
  double* tracerConc = nullptr;  // receives the river water's tracer concentrations
  int tracers = 0;
};

// Water depth in the river, m: offered discharge / mean velocity / width (0 when either is not
// positive). A depth whatever the units of the pair, as long as they match.
double RiverWaterDepth(const ReinfiltrationRecord& record, double width);

// River water (m³/s, a mean over the time step) still on offer up to the end of sub-step
// `substep` of `substeps`: each sub-step adds its share of the offered discharge, and what the
// cells took in the step so far is subtracted. At most 0 when the takes used up the offer.
double RiverWaterStillOffered(const ReinfiltrationRecord& record, int substep, int substeps);

// Index of the routing record of river link `code`: the code must be a subbasin code of the
// zone-code table (`zone_index`: code -> index, 0 or less when the code has no subbasin) whose
// index lies in 1..`zone_count`. Returns 0 for a code without a routing record.
int RiverRecordIndex(int code, const std::vector<int32_t>& zone_index, int32_t zone_count);

// Fills riverIn / riverOut of layers 1..N and the totals' riverIn / riverOut (m/s) for a river
// cell (cell.interaction >= 1), booking a losing river's take into the record. `dt`: the length
// of the inner step, s.
void ComputeRiverReinfiltration(SoilColumnWorkspace& ws, const ColumnCell& cell, RiverCell& river,
                                double dt, FluxTotals& totals);

// Replaces the cell's booked take of the current inner step with the take at `rate` (m/s over the
// cell) after the iteration, when the content limiter lowered the river infiltration. Enters the
// same critical section. Start each inner step with river.cellTake = 0.
void BookRiverTake(RiverCell& river, double rate, double cellSize, double dt);

}  // namespace velorn

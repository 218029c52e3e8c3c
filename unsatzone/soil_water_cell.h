// SoilWaterScratch: what one thread of the soil-water sub-step works in besides the column's
// SoilColumnWorkspace: the exchange with the groundwater per layer, root weights, uptake and
// evaporation per layer, the macropore inflow, and the demand and achieved transpiration per
// vegetation layer. One per thread (thread_local in the row loop), prepared once per row and
// reused for every cell of it; it grows only when a row needs more room.
//
// Used by unsatzone/soil_water_step.cpp (row loop) and unsatzone/soil_water_cell.cpp (cell body).
#pragma once

#include <vector>

#include "unsatzone/column_snapshot.h"
#include "unsatzone/layered_snow_state.h"
#include "unsatzone/soil_column_workspace.h"
#include "unsatzone/soil_heat_coupling.h"
#include "unsatzone/solute_lanes.h"

namespace velorn {

struct SoilWaterScratch {
  SoilColumnWorkspace ws;
  SoilHeatWorkspace hs;  // heat transfer on: temperatures and heat arrays of the column
  CellHeat heat;
  SnowLayerBuffers snow;            // layered snow on: the snow layers 1..M of the cell
  std::vector<double> source;       // 0..N: gain from the groundwater (m/s); [0] surface outflow
  std::vector<double> weights;      // 0..N root weights
  std::vector<double> uptake;       // 0..N uptake of one vegetation layer, mm
  std::vector<double> uptakeTotal;  // 0..N uptake of all vegetation layers, mm
  std::vector<double> evaporation;  // 0..N soil evaporation, mm; [0] the total
  // 0..N water the inner step took out: [0] soil evaporation, [k] root uptake of layer k, mm
  std::vector<double> extracted;
  std::vector<double> inflow;       // 0..N macropore inflow, m/s
  std::vector<double> demand;       // 0..L transpiration demand of the inner step, mm
  std::vector<double> achieved;     // 0..L achieved transpiration of the inner step, mm
  std::vector<double> achievedSum;  // 0..L achieved transpiration of the sub-step, mm
  std::vector<char> valid;          // 1..L: the vegetation layer has a land-use code
  std::vector<double> thetaBefore;  // 0..N contents after the uptake, before the exchange
  // 0..N share of the inner step's macropore water that the uptake and evaporation left in
  // each layer (they take the layer's water, the macropores' included, alike)
  std::vector<double> inflowKept;
  // Stress thresholds of the cell's soil per vegetation layer j = 1..L and for the soil
  // evaporation (j = L + 1), layers 1..N at [j * (N + 1) + k]; NaN until first needed.
  std::vector<double> thresholds;
  // Root weights of the cell per vegetation layer j = 1..L and for the soil evaporation
  // (j = L + 1), layers 1..N at [j * (N + 1) + k]; [j * (N + 1)] NaN until first needed.
  std::vector<double> rootWeights;
  // Tracers: the layers' masses 0..N (mass = concentration x water in mm) of tracer t = 1..T
  // side by side, at [k * SoluteLaneStride(T) + t - 1] (the lanes MoveSoluteLanes moves together).
  std::vector<double> tracerMass;
  // Per tracer t = 1..T: the sub-step's solute in interflow, in direct runoff and in the base
  // flow the exchange took, the solute held at the surface, the solute the streams drew and the
  // solute the water from the groundwater model brought.
  std::vector<double> tracerInter, tracerDirect, tracerBase, tracerSurface, tracerRiver,
      tracerReturned, tracerHanded;
  // Per tracer: 1 where the water input brings its solute at the input's concentration, 0 where
  // the step put the solute of its source on the surface already (under a layered pack).
  std::vector<double> tracerInputWeight;
  // Per tracer: the concentration of the cell's water input in the step, of its silting-up
  // runoff and of the water the groundwater model gives (the same in every inner step).
  std::vector<double> tracerInputConc, tracerSiltingConc, tracerAquiferConc;
  // Per tracer of an inner step: the solute arriving at the surface and the surface's water
  // gone into the soil, the pack and the roots (for the surface's mix after the transport).
  std::vector<double> tracerArrived, tracerGone;
  // Per lane t - 1 (SoluteLaneStride(T) of them, an idle lane 0, decay 1): the tracer's decay
  // over one inner step of the cell, 1 for an evaporating tracer, and of an inner step the
  // concentrations of the surface's mix, of the infiltrating water and of the aquifer's water,
  // and what left the column.
  std::vector<double> laneDecay, laneEvaporating, laneMix, laneInput, laneAquifer;
  std::vector<SoluteOutflows> laneOut;
  SoluteWater soluteWater;         // the column's water for the tracers' transport
  SoluteLanes soluteLanes;         // the tracers of the column in the transport
  std::vector<double> soluteWork;  // the solute transport's room (10 (N + 2))
  // "-dumpmode": the column at the start of the inner step and, for a dump, after it; the
  // temperatures -M..N as the heat steps of the inner step left them (the heat test's values:
  // the snow restructuring after them moves and resets snow temperatures by its own rules).
  ColumnSnapshot dumpSnapshot, dumpNow;
  std::vector<double> heatResult;

  // Room for N soil layers and L vegetation layers.
  void Prepare(int layers, int vegetation_layers) {
    const auto n = static_cast<std::size_t>(layers) + 2;
    for (std::vector<double>* v : {&source, &weights, &uptake, &uptakeTotal, &evaporation,
                                   &extracted, &inflow, &inflowKept, &thetaBefore})
      if (v->size() < n) v->resize(n);
    if (soluteWork.size() < 10 * n) soluteWork.resize(10 * n);
    const auto l = static_cast<std::size_t>(vegetation_layers) + 1;
    demand.assign(l, 0.0);
    achieved.assign(l, 0.0);
    achievedSum.assign(l, 0.0);
    valid.assign(l, 0);
  }
};

}  // namespace velorn

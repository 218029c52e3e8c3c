// The water numerics of one soil column in one iteration of the soil-water sub-step: hydraulic
// heads, fluxes across the layer boundaries with interflow and tile drainage, the flux limiter
// of one boundary, the limiter of the layer contents and the moisture update with its
// convergence measure.
//
// Called by the per-cell body of the soil-water sub-step, in this order per iteration:
// ComputeHydraulicHeads, ComputeLayerFluxes, LimitLayerContents, UpdateLayerMoisture (the
// iteration number is 0 for the first head computation and 1 for the first update). Every
// function works on one cell's SoilColumnWorkspace and reads the soil entry through ColumnCell;
// none allocates, none touches the registry or MPI. The river exchange called by the fluxes
// enters one OpenMP critical section (unsatzone/soil_column_river.h).
//
// Active range: each operation computes the layers i0 + 1 down to a lowest layer that depends on
// the groundwater layer and on the layers with river exchange (ActiveRangeLowest); layers below
// keep what the caller set, so a deep saturated column costs nothing. Layer N never gets a head
// and no flux below layer N is computed.
#pragma once

#include <algorithm>

#include "unsatzone/soil_column_workspace.h"

namespace velorn {

struct RiverCell;

// Suction (m) beyond which a layer gives no interflow: field capacity.
inline constexpr double kInterflowSuctionLimit = 3.45;
// Rounds of the flux limiter's bisection.
inline constexpr int kFluxBisectionRounds = 51;
// Sweeps of the content limiter per iteration.
inline constexpr int kContentLimiterSweeps = 10;

// The operations whose active range ActiveRangeLowest gives.
enum class ColumnOperation { kMoisture, kHeads, kFluxes, kContents };

// Last layer reached from `start` while the next layer exchanges water with the river.
int ScanRiverLayers(const SoilColumnWorkspace& ws, int start);

// Lowest layer that `operation` computes in the cell (every operation asks in every iteration).
inline int ActiveRangeLowest(const SoilColumnWorkspace& ws, const ColumnCell& cell,
                             ColumnOperation operation) {
  const int n = ws.N;
  // A cell without a river exchanges no water with one (its river arrays stay 0): no scan.
  const auto scan = [&](int start) { return cell.riverOn ? ScanRiverLayers(ws, start) : start; };
  switch (operation) {
    case ColumnOperation::kMoisture:
      return std::min(scan(std::max(cell.gwLayer, cell.lowerBound)) + 2, n);
    case ColumnOperation::kHeads:
      return std::min(scan(std::max(cell.gwLayer, cell.lowerBound)) + 2, n - 1);
    case ColumnOperation::kFluxes:
      return std::min(scan(std::max(cell.gwLayer + 1, cell.lowerBound)), n - 1);
    case ColumnOperation::kContents:
      return std::min(scan(std::max(cell.gwLayer + 3, cell.lowerBound)) + 2, n);
  }
  return n;
}

// Time-centred heads of the active layers; in iteration 0 also the start suctions.
void ComputeHydraulicHeads(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration);

// What ComputeLayerFluxes returns besides the arrays (rates, m/s).
struct FluxTotals {
  double drainage = 0;  // tile drainage of the cell
  double riverIn = 0;   // river infiltration into the column
  double riverOut = 0;  // exfiltration from the column into the river
};

// Fluxes of the active boundaries, interflow and tile drainage, then the flux limiter on every
// soil boundary. `infiltration` enters the top (m/s, positive downward); `river` is null when
// the cell exchanges no water with a river. `dt` is the length of the (inner) step, s.
void ComputeLayerFluxes(SoilColumnWorkspace& ws, const ColumnCell& cell, double infiltration,
                        double dt, RiverCell* river, FluxTotals& totals);

// The flux `q` through the lower boundary of layer i, corrected so that it neither over-fills
// layer i nor reverses the head gradient between i and i + 1 by more than 1 mm (bisection of at
// most 51 rounds). May change extraction[i] along with the flux.
double LimitInterfaceFlux(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double q,
                          double dt);
// The predicted content of a layer and its suction, carried from one boundary to the next one
// down by the limiter pass of ComputeLayerFluxes (layer below -M: none).
struct PredictedSuction {
  int layer = -1000000;
  double theta = 0;
  double suction = 0;
};
double LimitInterfaceFlux(SoilColumnWorkspace& ws, const ColumnCell& cell, int i, double q,
                          double dt, PredictedSuction& carried);

// Corrects the fluxes, extractions and river terms of layers whose trial content would rise
// above saturation or fall below the residual content; at most `sweeps` sweeps from the lowest
// active layer up. `totals` carries the cell's river totals, which the corrections lower.
// Returns the number of sweeps made.
int LimitLayerContents(SoilColumnWorkspace& ws, const ColumnCell& cell, int sweeps, double dt,
                       FluxTotals& totals);

// New water contents of the active layers (clamped to [0, 1]) and their running mean; returns
// the largest absolute change of a content (0 for an empty range). `meanCount` receives the
// number of iterates in the running mean. `clamped`, when given, counts the layers clamped.
// Right after LimitLayerContents it takes the limiter's last trials where they hold (the same
// numbers the update would compute).
double UpdateLayerMoisture(SoilColumnWorkspace& ws, const ColumnCell& cell, int iteration,
                           double dt, int& meanCount, int* clamped = nullptr);

}  // namespace velorn

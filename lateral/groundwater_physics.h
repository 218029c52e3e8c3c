// The cell formulas of the groundwater model (lateral/groundwater_model.h): leakage between two
// layers, face transmissivities, the time-weighted point update of the head iteration, the
// adaptive relaxation factor, the tridiagonal solve of the row-implicit pass and the per-cell
// water balance residual.
//
// Pure functions of their arguments: no registry, no MPI, no allocation in the per-cell forms,
// so the model's sweeps call them per cell from any thread and the tests check them against
// hand-computed numbers. The two of the sweep's inner loop are inline. Units: heads and thicknesses
// in m, conductivities in m/s, transmissivities in m2/s, cell sizes in m, time in s, flux densities
// in m/s.
#pragma once

namespace velorn {

// Leakage of one layer pair (m/s, positive into the upper layer) from the upper head `hu`, the
// lower head `hd`, the top of the lower layer `lower_top` and the leakage coefficient (1/s). The
// head difference is clamped to -1..1 m; while the upper head stands above the lower one and
// the lower head lies below its own top, water leaks downward only as far as the upper head
// reaches below that top.
double LeakageRate(double hu, double hd, double lower_top, double coefficient);

// A cell's saturated transmissivity along one direction: thickness x conductivity when the
// head stands 0.01 m or more above the layer top (confined), else (head - top + reduced
// thickness) x conductivity (unconfined; negative when the cell is dry).
double CellTransmissivity(double head, double top, double thickness, double reduced_thickness,
                          double conductivity, bool confined_by_strict_test);

// One side of a face as the face rule sees it.
struct FaceSide {
  double value;         // the side's transmissivity (<= 0: dry)
  double head;          // its head
  double conductivity;  // its conductivity along the face normal
  double glacier;       // its glacier share
};

// Transmissivity of the face between two cells: a dry side (value <= 0) takes the wet side's
// value when water runs from the wet side into it (wet head higher, the dry side conducts and is
// free of glacier); what stays dry counts as 0; the harmonic mean 2an/(a+n) of what is left, 0
// when both are 0.
double FaceTransmissivity(FaceSide own, FaceSide neighbour);

// Inputs of the time-weighted update of one free cell (SOR iteration).
struct CellUpdate {
  double area;            // A = dx dy
  double dt;              // sub-step length, s
  double alpha;           // time weight: 0 explicit, 1 implicit
  double storage;         // storage coefficient S
  double source;          // Q, m/s into the cell
  double head;            // h, current iterate
  double head_start;      // h0, head at the start of the sub-step
  double conductance[4];  // Ck of the faces north, south, west, east
  double neighbour[4];    // Hk: (1 - alpha) h0k + alpha hk of those neighbours
};

// The head h* that the implicit balance of the cell asks for:
// [A (Q + S h0/dt) + sum Ck Hk - (1 - alpha) sum C h0] / (alpha sum C + A S / dt).
// A denominator of 0 (an isolated cell, or the explicit scheme, without storage) leaves nothing
// to solve: the current head is returned unchanged.
inline double ImplicitCellHead(const CellUpdate& cell) {
  double sum_c = 0;
  double sum_ch = 0;
  for (int k = 0; k < 4; ++k) {
    sum_c += cell.conductance[k];
    sum_ch += cell.conductance[k] * cell.neighbour[k];
  }
  const double denominator = cell.alpha * sum_c + cell.area * cell.storage / cell.dt;
  if (denominator == 0) return cell.head;
  return (cell.area * (cell.source + cell.storage * cell.head_start / cell.dt) + sum_ch -
          (1.0 - cell.alpha) * sum_c * cell.head_start) /
         denominator;
}

// Relaxation factor of the adaptive scheme from the new target h*, the current head and the
// previous iterate: (h* - h) / (h - hp) + 1, replaced by 1 when it is not above 0 or when h
// equals hp, and at most 2.
inline double AdaptiveRelaxation(double target, double head, double previous) {
  if (previous == head) return 1.0;
  double omega = (target - head) / (head - previous) + 1.0;
  if (omega <= 0) omega = 1.0;
  return omega < 2.0 ? omega : 2.0;
}

// Solves the tridiagonal system a_i x_{i-1} + b_i x_i + c_i x_{i+1} = d_i, i = 0..n-1, by the
// Thomas algorithm (a_0 and c_{n-1} are ignored). `c` and `d` are overwritten; the solution
// lands in `d`. Every b_i must be non-zero and the system diagonally dominant, as the row pass
// guarantees (storage makes b_i strictly dominant; a run holds no cell with b_i = 0).
void SolveTridiagonal(const double* a, const double* b, double* c, double* d, int n);

// Drop of a layer's head when `pumped` m of water leave a cell of storage coefficient `storage`
// whose layer holds the saturated thickness `saturated` m: pumped / storage, at most the
// thickness (no more water than the layer holds); 0 without pumping, storage or water.
inline double PumpedHeadDrop(double pumped, double storage, double saturated) {
  if (!(pumped > 0) || !(storage > 0) || !(saturated > 0)) return 0.0;
  const double drop = pumped / storage;
  return drop < saturated ? drop : saturated;
}

// Per-cell balance residual of a sub-step (mm): storage change of the layer minus the net volume
// that entered through the faces and by leakage, per area: ((h - h0) S - inflow / A) x 1000.
double BalanceResidual(double head, double head_start, double storage, double inflow_volume,
                       double area);

// Share (0..1) of its outflows that a cell can feed in a sub-step: all of them while it holds at
// least the water that leaves (`water` and `outflow` in m3), else what it holds over what would
// leave; 0 for a cell without water. Every outflowing face of the cell carries this share of
// its volume, so no cell gives more water or solute than it holds.
inline double OutflowScale(double water, double outflow) {
  if (!(outflow > 0)) return 1.0;
  if (!(water > 0)) return 0.0;
  return outflow > water ? water / outflow : 1.0;
}

// Solute and water of one cell of one layer over a sub-step.
struct SoluteCell {
  double water;  // m3 at the start
  double mass;   // solute, m3 x concentration, at the start
  double scale;  // OutflowScale of the cell
};

// Moves the solute of one cell with the face volumes q[k] of the sub-step (m3, positive into
// the cell; north, east, south, west, above, below): an outflowing face takes `scale` x its
// volume at the cell's concentration (mass / water), an inflowing one brings its volume times
// the upwind cell's scale (`upwind_scale[k]`) of water and its volume times `upwind_carried[k]`
// (the upwind cell's scale x concentration) of solute. The result holds the water and the
// solute after the sub-step; its concentration lies between the smallest and the largest of
// the cell's and the inflows' concentrations, and neither value turns negative. `drawn` (m3, at
// least 0) is what a fixed outflow asks of the cell: it leaves as an outflowing face does (the
// cell's scale of it, at the cell's concentration) but reaches no cell; `*left` receives its
// solute.
SoluteCell MoveSolute(SoluteCell cell, const double q[6], const double upwind_scale[6],
                      const double upwind_carried[6], double drawn = 0.0, double* left = nullptr);

}  // namespace velorn

// Pure formulas of the surface-routing solver: the agreed inner time step, the aspect of a water
// surface, the three-way split of an outflow, the capped kinematic velocity, the flow resistance
// of sheet flow and crop stems, and the face conductance, effective neighbour head and exchange
// between subbasins of the head iteration.
//
// Callers: surfaceroutingclass (lateral/surface_routing_explicit.cpp, surface_routing_head.cpp,
// surface_routing_solver.cpp) per cell or per call; the tests check them against closed forms and
// hand-computed numbers. No registry, no MPI, no state.
#pragma once

#include <cstdint>
#include <vector>

namespace velorn {

// Degrees per radian as the direction rules write it.
inline constexpr double kSurfaceDegrees = 57.29577951307855;

// The inner time step of a sub-step of T seconds from the stable limit agreed over all processes:
// T / (trunc(T / limit) + 1), raised to `minimum` or lowered to `maximum`; `count` is
// trunc(T / dt) + 1 (used only for the recompute mark).
struct InnerTimeStep {
  double dt = 0;
  int64_t count = 0;
};
InnerTimeStep FitInnerTimeStep(double t, double stable_limit, double minimum, double maximum);

// Aspect (degrees clockwise from north, the direction the surface falls towards) of a surface with
// the central differences dzdx = (H_E - H_W) / 2cs and dzdy = (H_N - H_S) / 2cs.
double SurfaceAspect(double dzdx, double dzdy);

// Shares of the main direction and its two neighbours (anticlockwise, clockwise) for an aspect
// deviating by `deviation` degrees from the main direction (negative: anticlockwise); the side
// the aspect leans towards takes the larger share; shares below 0.0001 are 0, the three sum to 1.
struct ThreeWayShares {
  double main = 0, anticlockwise = 0, clockwise = 0;
};
ThreeWayShares SplitOutflow(double deviation);

// Velocity of method 5: 10 h^0.66667 sqrt(S), capped at L / (20 minimum sub time step).
double CappedKinematicVelocity(double depth, double sqrt_slope, double length,
                               double minimum_sub_time_step);

// What the flow resistance of a cell takes from its land use and the settings.
struct RoughnessParameters {
  int32_t cultivation = 3;                          // 1 sheet flow, 2 crop stems, other: K_ST
  double k_st = 0;                                  // K_ST, m^(1/3)/s
  double coeff1[3] = {0, 0, 0};                     // a, b, c below a Reynolds number of 20000
  double coeff2[3] = {0, 0, 0};                     // a, b, c from 20000
  double stem_diameter = 0;                         // m
  double crop_distance_x = 0, crop_distance_y = 0;  // m
  double c_wr = 0;                                  // drag coefficient above Re_D 10000
  double anl_error = 0;                             // m
  int32_t anl_steps = 0;
  double minimum_depth = 0;  // m, below it crops add no drag
};
// Strickler coefficient k_st for a trial velocity v (m/s), depth r (m), residue coverage and the
// square root s of the surface slope. Without flow (v or r not positive) it is K_ST.
double FlowResistance(const RoughnessParameters& p, double v, double r, double coverage, double s);
// Drag coefficient of a crop stem at the stem Reynolds number re_d (C_WR from 10000).
double StemDragCoefficient(double re_d, double c_wr);
// The drag of crop stems that enters the resistance (0 without crops standing in the flow).
double StemDrag(const RoughnessParameters& p, double v, double r, double s);

// Conductance of a face between two sides a and b: 2ab / (a + b), 0 when a + b is not positive.
double FaceConductance(double a, double b);

// Head that a cell of head hc and terrain zc sees of a straight neighbour of head hn and terrain
// zn: its own head beyond the grid, its terrain for a channel neighbour, hc + (hn - zn) below the
// neighbour's terrain, else max(zc, hn).
double EffectiveNeighbourHead(double hc, double zc, double hn, double zn, bool outside,
                              bool channel);

// What the subbasins passed each other over their borders in one inner step of the head
// iteration, from each one's net loss of surface water (mm summed over its cells; negative: it
// gained; index 0 unused). The water a subbasin gained came from those that lost, each giving in
// proportion to its loss; where the losses do not cover the gains, all of them are given.
// Positive: given, negative: received.
std::vector<double> SubbasinExchange(const std::vector<double>& net_loss);

}  // namespace velorn

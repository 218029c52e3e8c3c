// Pure formulas of the surface routing model: the fit of the solver's sub-step limits, the plan
// curvature of a 3 x 3 elevation neighbourhood, the linear storage of a subbasin outlet and the
// tracer mix of the total runoff.
//
// Callers: surfaceroutingclass (lateral/surface_routing_model.h) per cell or per subbasin; the
// tests check them against closed forms. No registry, no MPI, no state.
#pragma once

namespace velorn {

// A sub-step limit fitted to a whole fraction of the sub-step of `substep_seconds`: T / k with
// k = trunc(T / limit) computed in doubles (no integer overflow for tiny limits). A limit that is
// larger than T, zero, negative or not a number becomes T.
double FitSubStepLimit(double limit, double substep_seconds);

// Plan curvature (Zevenbergen and Thorne) of the centre of a 3 x 3 neighbourhood z[row][col]
// of cell size `cell_size`; z[0] is the row to the north (rows grow southwards). Any cell equal
// to `nodata` gives `nodata`; a neighbourhood without gradient gives 0.
double PlanCurvature(const double z[3][3], double cell_size, double nodata);

// One step of a linear storage of recession constant `k` (minutes) over a step of `d` minutes:
// e = exp(-d / k); the outflow becomes inflow (1 - e) + e previous outflow. k <= 0 passes the
// inflow through.
double OutletRecessionFactor(double d, double k);
double LinearStorageStep(double inflow, double previous_outflow, double e);

// Concentration of the mix of three flows: (q1 c1 + q2 c2 + q3 c3) / (q1 + q2 + q3), 0 when the
// flows sum to 0 or less.
double MixThreeConcentrations(double q1, double c1, double q2, double c2, double q3, double c3);

}  // namespace velorn

// Unsaturated zone: the layered snow pack of one cell as layers 1-M..0 of its soil column. The
// cell body of the soil-water sub-step loads the pack from the snow stacks (LoadSnowLayers),
// settles it before and after each water iteration (SettleSnowPack: restructuring, the released
// water back into the pack as far as its pores take it, the rest as snow outflow) and writes
// it back at the end of the cell (StoreSnowLayers). Only the cell's own elements are touched.
#include <algorithm>

#include "unsatzone/unsatzone_model.h"

namespace velorn {

using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;
using S = LayeredSnowState;

namespace {
// Column index of snow layer j (1 = top) of M.
inline int Col(int j, int M) {
  return j - M;
}
}  // namespace

int SnowTopIndex(const SoilColumnWorkspace& ws) {
  int i = 0;
  while (i > -ws.M && ws[W::kDz][i] > 0) --i;
  return i;
}

int unsatzonmodellklasse::LoadSnowLayers(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs,
                                         SnowLayerBuffers& b, long r, long c) {
  LayeredSnowState& s = layered_snow;
  const int M = s.M;
  const SoilRecord& type = s.types[1];
  b.Prepare(M);
  double upper = M + 1;
  double* dz = ws[W::kDz];
  double* z = ws[W::kZBound];
  for (int j = M; j >= 1; --j) {
    const int i = Col(j, M);
    double swes = s.stacks[S::kSolid][r][c][j];
    double swel = s.stacks[S::kLiquid][r][c][j];
    double density = s.stacks[S::kDensity][r][c][j];
    double thickness = s.stacks[S::kThickness][r][c][j];
    double temperature = s.stacks[S::kTemperature][r][c][j];
    ws[W::kThetaSat][i] = type.theta_sat[j];
    ws[W::kThetaRes][i] = type.theta_res[j];
    if (swes > 0) {
      upper = j;
      if (density <= -9999) density = type.DryDensity[j] / 1000.0;
      if (thickness <= -9999) thickness = (swes + swel) / density / 1000.0;
      if (temperature <= -9999) temperature = std::min(0.0, hs[H::kTemper][i + 1]);
      dz[i] = thickness;
      // A layer as dense as water holds a water content of 1, not what round-off makes of it.
      ws[W::kTheta0][i] = ws[W::kTheta][i] = std::min(1.0, (swes + swel) / (thickness * 1000.0));
      ws[W::kLiquid][i] = swel / (swes + swel);
    } else {
      density = thickness = temperature = kAbsentSnow;
      dz[i] = kAbsentSnow;
      ws[W::kTheta0][i] = ws[W::kTheta][i] = kAbsentSnow;
      ws[W::kLiquid][i] = 0;
    }
    z[i - 1] = z[i] + std::max(0.0, dz[i]);
    hs[H::kTemper][i] = temperature;
    b.swes[j] = swes;
    b.swel[j] = swel;
    b.density[j] = density;
    ws[W::kHead][i] = s.stacks[S::kHeads][r][c][j];
    ws[W::kQ][i] = s.stacks[S::kFlux][r][c][j];
  }
  s.upper_index.get()[r][c] = upper;
  return SnowTopIndex(ws);
}

double unsatzonmodellklasse::SettleSnowPack(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs,
                                            SnowLayerBuffers& b, const SnowLayerParameters& p,
                                            long r, long c, int& i0) {
  LayeredSnowState& s = layered_snow;
  const int M = s.M;
  SnowColumnArrays arrays{b.swes.data(), b.swel.data(),    b.density.data(), ws[W::kDz],
                          ws[W::kTheta], ws[W::kThetaSat], ws[W::kLiquid],   hs[H::kTemper]};
  double released = RestructureSnowLayers(arrays, M, p);
  // The released water stays in the uppermost layers as far as their pores take it.
  i0 = SnowTopIndex(ws);
  for (int i = i0 + 1; i <= std::min(0, i0 + 2) && released > 0; ++i) {
    double* theta = ws[W::kTheta];
    const double room = std::max(0.0, (ws[W::kThetaSat][i] - theta[i]) * ws[W::kDz][i] * 1000.0);
    const double taken = std::min(room, released);
    theta[i] += taken / (ws[W::kDz][i] * 1000.0);
    const int j = i + M;
    b.swel[j] += taken;
    ws[W::kLiquid][i] = b.swel[j] / (b.swel[j] + b.swes[j]);
    released -= taken;
  }
  // The layers' new thicknesses, and their contents as the start of the next iteration.
  for (int i = 0; i > -M; --i) {
    ws[W::kZBound][i - 1] = ws[W::kZBound][i] + std::max(0.0, ws[W::kDz][i]);
    ws[W::kTheta0][i] = ws[W::kTheta][i];
  }
  s.stacks[S::kSolid][r][c][0] = 0;
  s.stacks[S::kLiquid][r][c][0] = 0;
  s.upper_index.get()[r][c] = i0 + 1 + M;
  return std::max(0.0, released);
}

void unsatzonmodellklasse::StoreSnowLayers(const SoilColumnWorkspace& ws,
                                           const SoilHeatWorkspace& hs, const SnowLayerBuffers& b,
                                           long r, long c) {
  LayeredSnowState& s = layered_snow;
  const int M = s.M;
  // Level 0 of the solid stack holds the pack's sum, which the snow model compares with its
  // own pack at the end of the step: left at 0, the snow model would add its whole pack again.
  double& sum = s.stacks[S::kSolid][r][c][0];
  sum = 0;
  for (int j = 1; j <= M; ++j) {
    const int i = Col(j, M);
    sum += b.swes[j];
    s.stacks[S::kSolid][r][c][j] = b.swes[j];
    s.stacks[S::kLiquid][r][c][j] = b.swel[j];
    s.stacks[S::kDensity][r][c][j] = b.density[j];
    s.stacks[S::kThickness][r][c][j] = ws[W::kDz][i];
    s.stacks[S::kTheta][r][c][j] = ws[W::kTheta][i];
    s.stacks[S::kHeads][r][c][j] = ws[W::kHead][i];
    s.stacks[S::kGeodetic][r][c][j - 1] = ws[W::kZBound][i - 1];
    s.stacks[S::kFlux][r][c][j] = ws[W::kQ][i];
    s.stacks[S::kTemperature][r][c][j] = hs[H::kTemper][i];
  }
}

}  // namespace velorn

// Unsaturated zone: the heat of one cell in the soil-water sub-step. The cell body calls
// PrepareCellHeat once before its inner water steps (temperatures from the stack, properties,
// n-factor, boundaries, trial pass and n_h), RunCellHeatSteps r times per inner step, and
// FinishCellHeat at the end of the cell (thaw depth, frozen soil below the groundwater table,
// colmation of the first aquifer, temperatures and liquid fractions back into their stacks).
// Each call touches only the cell's own elements of the grids and stacks.
#include <cmath>

#include "core/nodata.h"
#include "tables/landuse_record.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

using W = SoilColumnWorkspace;
using H = SoilHeatWorkspace;

HeatParameters unsatzonmodellklasse::HeatParametersOfRun() const {
  HeatParameters p;
  p.method = heatMethod;
  p.lamWater = dTModLamWat;
  p.lamIce = dTModLamIce;
  p.latentHeat = dTModLatHeat;
  p.rhoWater = dTModRhoWater;
  p.cWater = dTModCWater;
  p.cIce0 = dTModCIce0;
  p.cIce20 = dTModCIce20;
  return p;
}

void unsatzonmodellklasse::PrepareHeatTables() {
  const int count = soil_table[0].code;
  thaw_thresholds.assign(static_cast<std::size_t>(count) + 1, {});
  for (int s = 1; s <= count; ++s)
    thaw_thresholds[s] = ThawThresholds(soil_table[s], dTModSEForStat);
}

ColumnCell unsatzonmodellklasse::HeatCell(long r, long c, int i0) const {
  ColumnCell cell;
  cell.soil = &CellSoil(r, c);
  cell.i0 = i0;
  if (layered_snow.M > 0) cell.snow = &layered_snow.types[1];
  cell.liquidFraction = true;
  return cell;
}

double unsatzonmodellklasse::BottomTemperature(const SoilHeatWorkspace& hs, const W& ws, long r,
                                               long c) const {
  const int N = ws.N;
  const double flux = links.lower_boundary_flux != nullptr ? links.lower_boundary_flux[r][c] : 0.0;
  return LowerBoundaryValue(lowerBoundaryType == 1, links.lower_boundary_temperature[r][c], flux,
                            hs[H::kTemper][N], ws[W::kDz][N], hs[H::kLambda][N]);
}

void unsatzonmodellklasse::PrepareCellHeat(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, long r,
                                           long c, double substep_seconds, CellHeat& h) {
  const int N = ws.N;
  const int type = static_cast<int>(links.soil_types[r][c]);
  const int M = ws.M;
  const ColumnCell cell = HeatCell(r, c, h.i0);
  // A caller with a snow pack sizes hs itself and loads the snow temperatures first.
  if (hs.M != M || hs.N != N) hs.Resize(M, N);
  LoadHeatLayers(hs, *cell.soil, soil_constants, type, 0);
  if (cell.snow != nullptr) LoadHeatLayers(hs, *cell.snow, layered_snow.constants, 1, -M);
  const double* stored = stacks[kSoilTemperature][r][c];
  for (int k = 1; k <= N; ++k) {
    hs[H::kTemper][k] = stored[k];
    ws[W::kTheta][k] = ws[W::kTheta0][k];
  }
  const HeatParameters p = HeatParametersOfRun();
  UpdateThermalProperties(ws, hs, cell, p);

  // n-factor of the first vegetation layer's land use; the air is the upper boundary.
  const double air = links.air_temperature[r][c];
  double at_date = -10000, freezing = -10000, thawing = -10000;
  const int count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
  const double code =
      links.landuse.size() > 1 && links.landuse[1] != nullptr ? links.landuse[1][r][c] : nodata;
  const int use = IsAboveNodata(code, nodata) ? static_cast<int>(code) : 0;
  if (use >= 1 && use <= count) {
    const LanduseRecord& record = landuse_table[use];
    at_date =
        record.GetNFactor(Diag(), static_cast<int>(step_date.day),
                          static_cast<int>(step_date.month), static_cast<int>(step_date.year));
    freezing = record.GetNfFreezing();
    thawing = record.GetNfThawing();
  }
  h.airTemperature = air;
  h.upper.temperature = air;
  h.upper.nFactor =
      ChooseNFactor(at_date, freezing, thawing, air, dTModNFactorFreezing, dTModNFactorThawing);
  h.boundary.lower = BottomTemperature(hs, ws, r, c);
  const int i0 = h.i0;
  if (i0 < 0 && layered_snow.energyBalance != nullptr) {
    // Under a layered snow pack the snow model's energy balance decides the boundary.
    const int top = i0 + 1;
    SnowSurface s;
    s.energyBalance = layered_snow.energyBalance[r][c];
    s.surfaceKelvin = layered_snow.surftemp != nullptr ? layered_snow.surftemp[r][c] : 273.16;
    s.dtSeconds = substep_seconds;
    s.thickness = ws[W::kDz][top];
    s.waterContent = ws[W::kTheta][top];
    s.liquidFraction = ws[W::kLiquid][top];
    s.temperature = hs[H::kTemper][top];
    s.conductivity = hs[H::kLambda][top];
    s.heatCapacity = hs[H::kHeatCap][top];
    s.secondLayer = top + 1 <= 0;
    if (s.secondLayer) {
      s.temperature2 = hs[H::kTemper][top + 1];
      s.heatCapacity2 = hs[H::kHeatCap][top + 1];
    }
    h.upper = SnowUpperBoundary(s, air, dTModNFactorFreezing, dTModNFactorThawing);
  }
  const bool snow = i0 < 0 || (links.snow_solid != nullptr && links.snow_solid[r][c] > 0);
  h.boundary.water = snow ? 0.0 : air;

  const double trial =
      TrialTopChange(ws, hs, i0, h.boundary.lower, h.upper, std::lround(substep_seconds));
  h.steps = HeatStepCount(trial, air, hs[H::kTemper][i0 + 1], substep_seconds, dTModShortestStep,
                          dTModLongestStep);
  h.perWaterStep = 1;
}

void unsatzonmodellklasse::RunCellHeatSteps(SoilColumnWorkspace& ws, SoilHeatWorkspace& hs, long r,
                                            long c, const CellHeat& h, double dt,
                                            const double* inflow) {
  const int N = ws.N;
  const ColumnCell cell = HeatCell(r, c, h.i0);
  const HeatParameters p = HeatParametersOfRun();
  for (int k = 1; k <= N; ++k) {
    ws[W::kTheta][k] = ws[W::kTheta0][k];
    hs[H::kWaterExchange][k] = inflow != nullptr ? inflow[k] : 0.0;
  }
  HeatBoundary boundary = h.boundary;
  for (int s = 0; s < h.perWaterStep; ++s) {
    if (lowerBoundaryType == 1) boundary.lower = BottomTemperature(hs, ws, r, c);
    RunHeatStep(ws, hs, cell, p, h.upper, boundary, dt);
  }
}

void unsatzonmodellklasse::FinishCellHeat(const SoilColumnWorkspace& ws,
                                          const SoilHeatWorkspace& hs, long r, long c) {
  const int N = ws.N;
  const int type = static_cast<int>(links.soil_types[r][c]);
  const double* threshold = thaw_thresholds[static_cast<std::size_t>(type)].data();
  const double* T = hs[H::kTemper];
  const double depth = ThawDepth(ws, T, threshold, links.lower_boundary_temperature[r][c]);
  if (double** thaw = Grid(kThawDepth)) thaw[r][c] = depth;
  if (double** frozen = Grid(kFrozenSoilInGroundwater);
      frozen != nullptr && groundwaterModelActive != 0) {
    const double table = ws[W::kZBound][0] + Grid(kGroundwaterDistance)[r][c];
    frozen[r][c] = FrozenThicknessBelowTable(ws, T, threshold, depth, table);
  }
  if (links.colmation != nullptr) {
    const bool bottom_frozen = !(T[N] > threshold[N]);
    links.colmation[r][c] =
        bottom_frozen ? links.colmation_frozen[r][c] : links.colmation_unfrozen[r][c];
  }
  double* temperature = stacks[kSoilTemperature][r][c];
  double* liquid = stacks[kSoilSE][r][c];
  for (int k = 1; k <= N; ++k) {
    temperature[k] = T[k];
    liquid[k] = ws[W::kLiquid][k];
  }
}

}  // namespace velorn

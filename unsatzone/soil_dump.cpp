// Dump and repair of a soil column (unsatzone/soil_dump.h).
#include "unsatzone/soil_dump.h"

#include <algorithm>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/string_helpers.h"
#include "unsatzone/column_snapshot.h"
#include "unsatzone/soil_column_workspace.h"
#include "unsatzone/soil_water_cell.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {
namespace {

constexpr double kEmpty = -9998.9;  // at or below: an empty layer
constexpr double kTolerance = 0.001;
constexpr double kTemperatureLimit = 70.0;

// Reference temperatures of layer i: a top layer (i == top) compares with its start value, the
// surface and the layer below; any other with its own start value and both neighbours. The
// bottom layer's neighbour below is the lower boundary: without it a bottom layer that warms or
// cools towards the boundary temperature would fail the test in every step.
std::vector<double> References(const ColumnTemperatures& h, int i, int top, int N) {
  std::vector<double> refs;
  if (i == top) {
    refs = {h.start[i], h.surface};
  } else {
    refs = {h.start[i], h.start[i - 1], h.current[i - 1]};
  }
  if (i < N) {
    refs.push_back(h.start[i + 1]);
    refs.push_back(h.current[i + 1]);
  } else if (h.hasLower) {
    refs.push_back(h.lower);
  }
  return refs;
}

bool OutsideReferences(double t, const std::vector<double>& refs) {
  const auto [low, high] = std::minmax_element(refs.begin(), refs.end());
  return t > *high + kTolerance || t < *low - kTolerance;
}

}  // namespace

DumpReasons TestColumnStep(double baseflow, const double* theta, const double* theta_sat, int M,
                           int N, const ColumnTemperatures* heat) {
  DumpReasons r;
  r.baseflow = baseflow < -10 || baseflow > 10;
  for (int i = 1 - M; i <= N && r.theta == kNoDumpLayer; ++i)
    if ((theta[i] < 0 && theta[i] > kEmpty) || theta[i] > theta_sat[i] + kTolerance) r.theta = i;
  for (int i = 2 - M; i <= 0 && r.snowGap == kNoDumpLayer; ++i)
    if (theta[i - 1] > 0 && theta[i] <= kEmpty) r.snowGap = i;
  if (heat != nullptr)
    for (int i = 1 - M; i <= N && r.heat == kNoDumpLayer; ++i) {
      const double t = heat->current[i];
      if (i <= heat->i0 || t <= kEmpty) continue;  // above the column's top, or empty
      if (t < -kTemperatureLimit || t > kTemperatureLimit ||
          OutsideReferences(t, References(*heat, i, heat->i0 + 1, N)))
        r.heat = i;
    }
  return r;
}

std::string DumpFileName(int rank, const DumpReasons& reasons, long row, long column, int step,
                         int64_t year, int64_t month, int64_t day, int64_t hour) {
  std::string name = FormatText("MPI_%d_", rank);
  if (reasons.heat != kNoDumpLayer) name += FormatText("heat(%d)_", reasons.heat);
  if (reasons.theta != kNoDumpLayer) name += FormatText("theta(%d)_", reasons.theta);
  if (reasons.baseflow) name += "dgw_";
  if (reasons.snowGap != kNoDumpLayer) name += FormatText("thetasnow(%d)_", reasons.snowGap);
  return name + FormatText("dump_row_%ld_col_%ld_substep_%d_%lld%02lld%02lld%02lld.dmp", row,
                           column, step, static_cast<long long>(year),
                           static_cast<long long>(month), static_cast<long long>(day),
                           static_cast<long long>(hour));
}

void RepairColumnStep(const DumpReasons& reasons, double& baseflow, double* theta,
                      const double* theta_sat, int N, double* temperature,
                      const ColumnTemperatures* heat) {
  if (reasons.baseflow) baseflow = baseflow < -10 ? -10 : 10;
  if (reasons.theta != kNoDumpLayer)
    for (int i = 1; i <= N; ++i) {
      if (theta[i] < 0) theta[i] = 0;
      if (theta[i] > theta_sat[i] + kTolerance) theta[i] = theta_sat[i];
    }
  if (reasons.heat == kNoDumpLayer || heat == nullptr || temperature == nullptr) return;
  for (int i = 1; i <= N; ++i) {
    double& t = temperature[i];
    if (t <= kEmpty) continue;
    if (t < -kTemperatureLimit || t > kTemperatureLimit) {
      t = std::clamp(t, -kTemperatureLimit, kTemperatureLimit);
      continue;
    }
    const std::vector<double> refs = References(*heat, i, 1, N);
    const auto [low, high] = std::minmax_element(refs.begin(), refs.end());
    if (t > *high + kTolerance) t = *high;
    if (t < *low - kTolerance) t = *low;
  }
}

DumpEvent CountDumpEvent(std::atomic<int64_t>& count, int64_t max_files) {
  const int64_t before = count.fetch_add(1);
  DumpEvent event;
  event.writeFiles = max_files == 0 || before < max_files;
  if (max_files > 0) event.message = before + 1 < max_files ? 1 : before + 1 == max_files ? 2 : 0;
  return event;
}

void WriteRepairMessage(DiagnosticStream& diag, int message) {
  if (message == 0) return;
  diag << "DEBUG: \n ---- command line option -repairAfterDump active! --------\n"
       << "setting the misbehaving parameter back to what is expected of it :-)"
       << (message == 2 ? "\n continuing from now on without that message..." : "")
       << "[end-entry]";
}

void CloseAfterDump(DiagnosticStream& diag) {
  ThrowFatal(diag, kCloseAfterDumpCode,
             "FATAL: \n\n -------- command line option -closeAfterDump active! "
             "---------------------------------------------\n\n",
             " a dumpfile has been written and Velorn aborts now.\n",
             "-------------------------------------------------------------\n\n");
}

void unsatzonmodellklasse::TakeColumnSnapshot(SoilWaterScratch& scratch, long r, long c,
                                              const InnerStep& step) {
  ColumnSnapshot& s = scratch.dumpSnapshot;
  const SoilColumnWorkspace& ws = scratch.ws;
  const bool heat = heatTransferSwitch > 0 && step.heat != nullptr;
  const bool snow = layeredSnowSwitch > 0 && ws.M > 0;
  CaptureColumnArrays(ws, heat ? &scratch.hs : nullptr, nullptr, snow ? &scratch.snow : nullptr, s);
  const int L = landuse_layers;
  s.L = L;
  // The deepest layer that gave water to the roots in the inner step before (none at the first).
  s.rootLayers = 0;
  if (step.step > 1)
    for (int k = 1; k <= ws.N; ++k)
      if (scratch.uptakeTotal[static_cast<std::size_t>(k)] > 0) s.rootLayers = k;
  // The time-centred suction of the lowest layer at the last head computation.
  s.scratchSuction = ws[SoilColumnWorkspace::kScratch][ws.N];
  s.inputRate = 0;  // set by the cell body once the step's input is known
  double** base = Grid(kBaseflow);
  s.baseflow = base != nullptr ? base[r][c] : 0.0;
  const auto value = [r, c](double** grid) { return grid != nullptr ? grid[r][c] : 0.0; };
  s.transpiration.assign(static_cast<std::size_t>(L) + 1, 0.0);
  for (int j = 0; j <= L && j < static_cast<int>(links.pot_transpiration.size()); ++j)
    s.transpiration[static_cast<std::size_t>(j)] = value(links.pot_transpiration[j]);
  s.landuse.assign(static_cast<std::size_t>(L), 0.0);
  for (int j = 1; j <= L && j < static_cast<int>(links.landuse.size()); ++j)
    s.landuse[static_cast<std::size_t>(j - 1)] = value(links.landuse[j]);
  s.soilCode = static_cast<int32_t>(links.soil_types[r][c]);
  s.date = {static_cast<int32_t>(step_date.hour), static_cast<int32_t>(step_date.day),
            static_cast<int32_t>(step_date.month), static_cast<int32_t>(step_date.year)};
  s.innerSteps = step.innerSteps;
  s.innerStepLength = step.innerStepLength;
  s.i0 = step.i0;
  if (snow)
    s.snowCell = {value(layered_snow.upper_index.get()), value(layered_snow.snowstorage_solid),
                  value(layered_snow.snowstorage_liquid), value(layered_snow.snow_storage_total)};
  if (heat) {
    const CellHeat& h = *step.heat;
    s.heatStepLength = step.substepSeconds / h.steps;
    s.heatSteps = h.steps;
    s.heatPerWaterStep = h.perWaterStep;
    s.surfaceInput = value(links.air_temperature);
    s.surfaceTemperature = h.upper.temperature;
  }
}

void unsatzonmodellklasse::CheckInnerStep(SoilWaterScratch& scratch, long row, long column,
                                          const InnerStep& step) {
  using W = SoilColumnWorkspace;
  SoilColumnWorkspace& ws = scratch.ws;
  const ColumnSnapshot& dump = scratch.dumpSnapshot;
  const int N = ws.N;
  double** grid = Grid(kBaseflow);
  double baseflow = grid != nullptr ? grid[row][column] : 0.0;
  // With heat transfer the temperatures the heat steps left against those at the step's start
  // (the snow restructuring after the heat steps puts a layer that held liquid beyond its
  // capacity on its freezing curve and moves or merges layers: no bound of conduction covers
  // that). The repair sets the soil layers, which the restructuring leaves alone.
  ColumnTemperatures temperatures;
  const ColumnTemperatures* heat = nullptr;
  double* temperature = nullptr;
  if (dump.heat) {
    temperature = scratch.hs[SoilHeatWorkspace::kTemper];
    const bool stepped = scratch.heatResult.size() == static_cast<std::size_t>(ws.M + N + 1);
    temperatures.current = stepped ? scratch.heatResult.data() + ws.M : temperature;
    temperatures.start = dump.heatLayers[6].data() + dump.M;
    temperatures.i0 = step.heat->i0;
    temperatures.surface = step.heat->upper.nFactor * step.heat->upper.temperature;
    temperatures.hasLower = true;
    temperatures.lower = step.heat->boundary.lower;
    heat = &temperatures;
  }
  const DumpReasons reasons =
      TestColumnStep(baseflow, ws[W::kTheta], ws[W::kThetaSat], ws.M, N, heat);
  if (!reasons.Any()) return;
  const DumpEvent event = CountDumpEvent(dumpEvents, maxDumpFiles);
  if (event.writeFiles) {
    ColumnSnapshot& now = scratch.dumpNow;
    CaptureColumnArrays(ws, dump.heat ? &scratch.hs : nullptr, dump.heatLayers[6].data() + dump.M,
                        dump.layeredSnow ? &scratch.snow : nullptr, now);
    now.surfaceTemperature = dump.surfaceTemperature;
    WriteDumpFiles(Diag(),
                   DumpFileName(rank, reasons, row, column, step.step, step_date.year,
                                step_date.month, step_date.day, step_date.hour),
                   now, dump);
  }
  if (closeAfterDump != 0) CloseAfterDump(Diag());
  if (repairAfterDump == 0) return;
  RepairColumnStep(reasons, baseflow, ws[W::kTheta], ws[W::kThetaSat], N, temperature, heat);
  if (grid != nullptr) grid[row][column] = baseflow;
  WriteRepairMessage(Diag(), event.message);
}

}  // namespace velorn

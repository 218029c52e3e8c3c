// The snow model's time step before the soil sub-steps: the seasonal factors, then per own cell
// the albedo, the snow balance of ComputeSnowCell (twice, night and day, for steps longer than
// 720 minutes), the melt and the water holding of the pack, or on a static glacier cell the
// degree-day snow, ice and firn melt, and after both the snow days, age, albedo and the
// permafrost thaw. Also the links of the step's input grids and the lake switch.
//
// The evapotranspiration model takes the snow evaporation it books out of "snowstorage_solid"
// before this step; the step does not take it again. Sublimation computed here (energy-balance
// methods) leaves the pack and is written to "snow_evaporation" (the sum of the step's calls).
#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/model_date.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "snow/snow_formulas.h"
#include "snow/snow_model.h"
#include "snow/snow_setup_formulas.h"
#include "tables/landuse_record.h"

namespace velorn {
namespace {

// Pack limits (mm) of the albedo before and after the melt, of a snow day and of fresh snow.
constexpr double kAlbedoPackBefore = 2.5;
constexpr double kAlbedoPackAfter = 5.0;
constexpr double kFreshSnowInput = 1.0;

bool IndexMethodWithoutWind(int32_t method) {
  return method == 1 || method == 8 || method == 9 || method == 10;
}

}  // namespace

void schneemodellklasse::SetCanopySnowInputs(bool interception_before_snow) {
  if (GetFlowControl() == 0) return;
  interceptionBeforeSnow = interception_before_snow;
  if (water_input != nullptr) return;
  water_input =
      LinkData(interception_before_snow
                   ? RequireOneOfThreeGrids("throughfall0", "precipitation", "!!_no_entry_!!")
                   : RequireGrid("precipitation"));
  precipitation = LinkData(RequireGrid("precipitation"));
  glacier_input =
      interception_before_snow && IsDynamicGlacierMethod(glacierMethod) && glacier_cells != nullptr
          ? precipitation
          : water_input;
  canopy_unload = OptionalGrid("Snow_canopy_unload_solid");
  canopy_long_wave = OptionalGrid("Snow_canopy_IR_radiation");
  if (!IndexMethodWithoutWind(method))
    wind = LinkData(RequireOneOfThreeGrids("Snow_canopy_wind", "wind_speed", "!!_no_entry_!!"));
  if (IsEnergyBalanceSnowMethod(method)) {
    humidity = LinkData(RequireOneOfThreeGrids("Snow_canopy_rh", "air_humidity", "!!_no_entry_!!"));
    radiation = LinkData(RequireOneOfThreeGrids("Snow_canopy_rad", "AspectCorrectedGlobalRadiation",
                                                "!!_no_entry_!!"));
  }
  temperature = LinkData(RequireOneOfFourGrids("Snow_canopy_temperature", "corr_temperature",
                                               "temperature", "temperature_14"));
}

void schneemodellklasse::ReadLakeSection(const std::string& section_name) {
  if (GetFlowControl() == 0) return;
  if (FindGrid("lake_codes", 0) == 0) {
    Diag() << "INFO: no LAKE-grid was found in " << module_name << "\n"
           << "Lake modelling is switched off for " << module_name << "."
           << "[end-entry]";
    return;
  }
  OpenSection(section_name);
  ReadValue(*control_file, lake_flag, "flow control parameter for ");
  control_file->Close();
  SwitchLakesOffForResponseUnits(lake_flag);
  if (lake_flag == 0) return;
  lake_codes = OptionalGrid("lake_codes");
  ponding = OptionalGrid("ponding_storage");
  if (ponding == nullptr) ponding = OptionalGrid("ponding_storage_top");
  if (ponding == nullptr) {
    ThrowFatal(Diag(), kControlFileOpenCode,
               "FATAL: \n\n=======================================\n!!!! ERROR !!!! \n\n"
               "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
               "\nboth grids as well as the MAXPOND grid must be present."
               "\n\n=======================================\n");
  }
  // A lake holds its water over the whole of each of its cells: the glacier part of a cell
  // would hold part of it in no store. So no glacier lies on a lake's cell (nor starts or grows
  // there at the yearly evaluation).
  if (glacier_cells == nullptr) return;
  const char* grid = IsDynamicGlacierMethod(glacierMethod) ? "GlacierizedCells" : "ice_firn";
  AgreeOnFailure(Diag(), [&] {
    for (long r = first_local_row; r <= last_local_row; ++r)
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (IsNodata(zone_grid[r][c], nodata) || !LakeCell(r, c) ||
            !GlacierShareOfCell(glacier_cells[r][c]).has_glacier)
          continue;
        ThrowFatal(Diag(), kGlacierSetupCode, "FATAL: the cell at row ", r, ", column ", c,
                   " of lake ", lake_codes[r][c], " holds a glacier (", grid, " ",
                   glacier_cells[r][c],
                   "): a lake holds its water over the whole of its cells, which no glacier "
                   "shares");
      }
  });
}

void schneemodellklasse::SetLayeredSnowModel(bool on, const std::vector<SnowLayerLimits>& limits,
                                             double fresh_snow_offset) {
  if (GetFlowControl() == 0) return;
  layeredSnowActive = on;
  if (!on) return;
  auto stack = [&](const char* identifier) {
    const GridEntry& entry = (*registry)[RequireGrid(identifier)];
    snow_layers = entry.level_count;
    return entry.stack;
  };
  layer_solid = stack("SnowWaterEquivalentSolid");
  layer_liquid = stack("SnowWaterEquivalentLiquid");
  layer_thickness = stack("SnowLayerThickness");
  layer_density = stack("SnowDensity");
  if (heatTransferActive) layer_temperature = stack("Temperature_Stack_Snow");
  upper_snow_index = RequiredGrid("upperIndexSnow");
  layer_alignment = MakeGrid(GridPlan{"layered_snow_alignment"});
  layer_ice_of_step_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  for (long r = first_local_row; r <= last_local_row; ++r)
    std::fill(layer_ice_of_step_[r] + 1, layer_ice_of_step_[r] + ncols + 1, nodata);
  if (IsSlideSnowMethod(method))
    slide_pack_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  snow_layer_limits = limits;
  snow_layer_limits.resize(static_cast<std::size_t>(snow_layers) + 1);
  dTOffsetFreshSnow = fresh_snow_offset;
}

void schneemodellklasse::UpdateLayeredSnow(long r, long c, int g, double w, double amount,
                                           double T) {
  if (g == 1 || !layeredSnowActive || layer_solid == nullptr) return;
  LayeredSnowCell cell = LayeredCell(r, c);
  UpdateLayeredSnowCell(cell, snow_layers, snow_layer_limits, w, amount, T, dTOffsetFreshSnow);
  upper_snow_index[r][c] = cell.top;
}

LayeredSnowCell schneemodellklasse::LayeredCell(long r, long c) const {
  return LayeredSnowCell{layer_solid[r][c],
                         layer_liquid[r][c],
                         layer_thickness[r][c],
                         layer_density[r][c],
                         layer_temperature != nullptr ? layer_temperature[r][c] : nullptr,
                         upper_snow_index[r][c]};
}

const char* schneemodellklasse::GlacierShareIdentifier() const {
  if (glacier_cells == nullptr) return nullptr;
  return IsDynamicGlacierMethod(glacierMethod) ? "GlacierizedCells" : "ice_firn";
}

double** schneemodellklasse::GetSolidSnowStorage() {
  return GetFlowControl() != 0 ? OwnData("snowstorage_solid") : nullptr;
}

bool schneemodellklasse::SetRadiationCorrectionGrid(double** correction) {
  if (GetFlowControl() == 0) return false;
  radiation_correction = correction;
  return true;
}

bool schneemodellklasse::SetQg(double** runoff) {
  if (GetFlowControl() == 0) return false;
  Qg = runoff;
  initialised = 1;
  return true;
}

void schneemodellklasse::ResolveStepGrids() {
  step_.solid = OwnData("snowstorage_solid");
  step_.liquid = OwnData("snowstorage_liquid");
  step_.total = OwnData("snow_storage_total");
  step_.days = OwnData("days_snow");
  step_.age = OwnData("snow_age");
  step_.snowfall = OwnData("snow_fraction");
  step_.rain = OwnData("rain_fraction");
  step_.outflow = OwnData("snowcover_outflow");
  if (!own_outflow_ && outflow_taken_below_ && glacier_cells != nullptr &&
      !IsDynamicGlacierMethod(glacierMethod))
    own_outflow_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  step_.melt = OwnData("melt_from_snowcover");
  step_.snowtemp = OwnData("snowtemp");
  step_.surftemp = OwnData("surftemp");
  step_.balance = OwnData("EnergyBalance");
  step_.input_mass = OwnData("input_mass");
  step_.mobile_mass = OwnData("mobile_mass");
  step_.deposition = OwnData("deposition");
  step_.firn_melt = OwnData("melt_from_firn");
  step_.ice_melt = OwnData("melt_from_ice");
  step_.glacier_old = OwnData("GlacierizedCellsOld");
  step_.snow_free_days = OwnData("SnowFreeDaysGrid");
  step_.snow_cover_days = OwnData("SnowCoverDaysGrid");
  step_.glacier_solid = OwnData("SolidSnowStorage_onGlacier");
  step_.glacier_liquid = OwnData("LiquidSnowStorage_onGlacier");
  step_.glacier_total = OwnData("TotalSnowStorage_onGlacier");
  step_.glacier_melt = OwnData("SnowMelt_onGlacier");
  step_.glacier_evaporation = OwnData("SnowEvaporation_onGlacier");
  step_.glacier_snowtemp = OwnData("snowtemp_onGlacier");
  step_.glacier_surftemp = OwnData("surftemp_onGlacier");
  step_.glacier_balance = OwnData("EnergyBalance_onGlacier");
  step_.firn = OwnData("firn_WE_stack");
  step_.mass_balance = OwnData("GlacierMassBalance");
}

bool schneemodellklasse::OwnsCell(long row, long column) const {
  if (zone_grid == nullptr || IsNodata(zone_grid[row][column], nodata)) return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

bool schneemodellklasse::TakesCell(long row, long column) const {
  return OwnsCell(row, column) && (master_response_units == nullptr ||
                                   IsNotNodata(master_response_units[row][column], nodata));
}

void schneemodellklasse::RunSnowStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  const ModelDate before = step_date;
  teilmodellklasse::RunStep(hour, day, month, year);
  if (GetFlowControl() == 0) return;
  const int64_t hours = before.year > 0 ? HoursBetween(before, step_date) : 0;
  step_pace_hours = hours > 0 ? static_cast<double>(hours) : 0.0;
  if (water_input == nullptr) SetCanopySnowInputs(interceptionBeforeSnow);
  const int doy = DayOfYear(static_cast<int>(day), static_cast<int>(month), month_lengths);
  RMF = SeasonalFactor(RMFmean, RMFamplitude, doy);
  snowRadiationFactor = SeasonalFactor(Asnow_mean, Asnow_amplitude, doy);
  iceRadiationFactor = SeasonalFactor(Aice_mean, Aice_amplitude, doy);
  DaylightFraction();
  for (Table* table : AllTables())
    if (table->table) table->table->ResetZoneSums();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->ResetZoneSums();
  ResolveStepGrids();
  if (evapotranspirationModelActive == 0 && IsEnergyBalanceSnowMethod(method) &&
      snow_evaporation != nullptr)
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
        if (OwnsCell(r, c)) snow_evaporation[r][c] = 0;
    });
  cell_settings_ = SnowCellSettings{method,
                                    transzone,
                                    T0R,
                                    T0,
                                    CRFR,
                                    C0,
                                    C1,
                                    C2,
                                    LWINcorr,
                                    LWOUTcorr,
                                    EnBalScaling,
                                    RMF,
                                    time_interval,
                                    steps_per_day,
                                    heatTransferActive,
                                    layeredSnowActive,
                                    nodata};
  land_albedo_.Evaluate(*diag, landuse_table, landuse_curves_, step_date);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    ShiftedDaysCache days;
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      // Every own cell's glacier share before the step, also a response unit member's that
      // takes its master's snow: the soil zone books a change of the share in this step only.
      if (step_.glacier_old != nullptr && glacier_cells != nullptr && OwnsCell(r, c))
        step_.glacier_old[r][c] = glacier_cells[r][c];
      // The step's deposition starts at nothing in every own cell: a glacier cell of degree-day
      // snow and a response unit's member deposit none, also after a step in which the cell
      // deposited (before a glacier covered part of it, or before it became a member).
      if (deposited_ && OwnsCell(r, c)) deposited_[r][c] = 0;
      if (!TakesCell(r, c)) continue;
      StepCell(r, c, days);
      if (layer_ice_of_step_) layer_ice_of_step_[r][c] = LayeredIce(r, c);
    }
  });
}

double schneemodellklasse::LandAlbedo(long row, long column, ShiftedDaysCache& days) const {
  const int32_t count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
  const double code = landuse[1] != nullptr ? landuse[1][row][column] : nodata;
  const int32_t index = static_cast<int32_t>(code);
  if (!IsAboveNodata(code, nodata) || index < 1 || index > count) return albedo[row][column];
  return land_albedo_.Value(*diag, landuse_table, row, column, index, elevation[row][column], days);
}

// The cell's inputs of the step for ComputeSnowCell.
SnowCellInput schneemodellklasse::CellInput(long r, long c) const {
  SnowCellInput in;
  in.P = water_input[r][c];
  in.unload = canopy_unload != nullptr ? canopy_unload[r][c] : 0.0;
  if (wind != nullptr) in.wind = wind[r][c];
  if (humidity != nullptr) in.humidity = humidity[r][c];
  if (radiation != nullptr) in.radiation = radiation[r][c];
  if (cloudiness != nullptr) in.cloudiness = cloudiness[r][c];
  in.albedo = albedo[r][c];
  in.elevation = elevation[r][c];
  if (vapor_pressure != nullptr) in.vapour = vapor_pressure[r][c];
  if (deposition_index != nullptr) in.deposition = deposition_index[r][c];
  if (radiation_correction != nullptr) in.correction = radiation_correction[r][c];
  if (surfacetemperature != nullptr) {
    in.has_surface_grid = true;
    in.surface_given = surfacetemperature[r][c];
  }
  if (canopy_long_wave != nullptr) in.long_wave = canopy_long_wave[r][c];
  in.lake = lake_flag != 0 && lake_codes != nullptr && lake_codes[r][c] > 0 && ponding != nullptr &&
            ponding[r][c] > 0;
  return in;
}

// One own cell of the step.
void schneemodellklasse::StepCell(long r, long c, ShiftedDaysCache& days) {
  StepGrids& g = step_;
  const double T = temperature[r][c];
  g.outflow[r][c] = 0;
  g.melt[r][c] = 0;
  if (layeredSnowActive) {
    layer_liquid[r][c][0] = 0;
    if (snow_evaporation != nullptr && snow_evaporation[r][c] > 0)
      UpdateLayeredSnow(r, c, 0, 1.0, -snow_evaporation[r][c], T);
  }
  const double land = LandAlbedo(r, c, days);
  albedo[r][c] = SnowAlbedo(g.solid[r][c] + g.liquid[r][c], kAlbedoPackBefore, g.age[r][c], T,
                            ALBsnow_min, ALBsnow_max, land);
  double share = 0;
  if (glacier_cells != nullptr) {
    g.firn_melt[r][c] = 0;
    g.ice_melt[r][c] = 0;
    const double value = glacier_cells[r][c];
    share = IsAboveNodata(value, nodata) ? std::clamp(value, 0.0, 1.0) : 0.0;
  }
  if (step_.glacier_melt != nullptr) step_.glacier_melt[r][c] = 0;
  if (!(share > 0)) ClearGlacierTracerOutflow(r, c);
  if (share > 0 && IsDynamicGlacierMethod(glacierMethod)) {
    DynamicGlacierCell(r, c);
  } else if (share > 0) {
    GlacierCell(r, c, share);
  } else {
    const bool energy = IsEnergyBalanceSnowMethod(method);
    SnowCellInput in = CellInput(r, c);
    const double P = in.P;
    // The snow the canopy unloads comes with the throughfall's concentration.
    TracerInput(r, c, P + in.unload, g.solid[r][c] + g.liquid[r][c]);
    SnowCellState st;
    st.solid = g.solid[r][c];
    st.liquid = g.liquid[r][c];
    if (energy) {
      st.snow_temperature = g.snowtemp[r][c];
      st.surface_temperature = g.surftemp[r][c];
      if (g.balance != nullptr) st.balance = g.balance[r][c];
    }
    double melt = 0, deposited = 0, sublimation = 0, rain = 0, condensed = 0;
    bool sublimated = false;
    auto call = [&](double air, double w) {
      in.T = air;
      melt += ComputeSnowCell(cell_settings_, in, w, 0, st);
      rain += w * st.rain;
      if (st.layered_added > 0) UpdateLayeredSnow(r, c, 0, 1.0, st.layered_added, air);
      if (st.layered_removed > 0) UpdateLayeredSnow(r, c, 0, 1.0, -st.layered_removed, air);
      deposited += st.deposited;
      if (st.sublimation != 0) {
        sublimation += st.sublimation;
        condensed += std::max(0.0, -st.sublimation);
        sublimated = true;
      }
    };
    CallsOfStep(r, c, call);
    // Deposition raises the step's precipitation once, by the snow the calls deposited (not
    // the leaves' throughfall, which the water account does not take as its input).
    if (deposited != 0) precipitation[r][c] += deposited;
    if (deposited_) deposited_[r][c] = deposited;
    g.snowfall[r][c] = st.snowfall;
    // The rain the pack took over the step: with a night and a day call, the rain of each part
    // (not the day's split of the whole precipitation). The soil under a layered pack takes it.
    g.rain[r][c] = rain;
    // A melt form may turn negative just above the threshold (rain-on-snow in air drier than
    // 6.11 hPa of vapour pressure): refreezing, which the layers' heat does under layered snow.
    // Only the pack's liquid water can refreeze; the rest of a negative melt freezes nothing.
    const double m =
        std::min(st.solid, layeredSnowActive && heatTransferActive ? std::max(melt, 0.0)
                                                                   : std::max(melt, -st.liquid));
    st.liquid += m;
    st.solid -= m;
    if (st.liquid > CWH * st.solid) {
      const double excess = st.liquid - CWH * st.solid;
      g.outflow[r][c] = excess;
      if (m > 0) g.melt[r][c] = excess;
      st.liquid = CWH * st.solid;
    }
    g.solid[r][c] = st.solid;
    g.liquid[r][c] = st.liquid;
    if (layeredSnowActive && m > 0) HandOverLayeredMelt(r, c, m, T);
    // The water the pack condensed out of the air and the snow the deposition index added bring
    // none of the tracers: they dilute an evaporating tracer's concentration (the others' masses
    // stay as they are).
    const double unmixed = condensed + std::max(0.0, deposited);
    if (const double water = st.solid + st.liquid + g.outflow[r][c]; unmixed > 0 && water > 0)
      for (int32_t t = 1; t <= tracer_count; ++t)
        if (tracer_definitions[t].evaporating == 1)
          tracer_blocks[t].concentration.get()[r][c] *= std::max(0.0, water - unmixed) / water;
    TracerOutflow(r, c, g.outflow[r][c], st.solid + st.liquid);
    if (energy) {
      g.snowtemp[r][c] = st.snow_temperature;
      g.surftemp[r][c] = st.surface_temperature;
      if (g.balance != nullptr) g.balance[r][c] = st.balance;
      if (sublimated && snow_evaporation != nullptr) snow_evaporation[r][c] = sublimation;
    }
    // A cell without glacier keeps no snow on a glacier part.
    for (double** part : {g.glacier_solid, g.glacier_liquid})
      if (part != nullptr) part[r][c] = 0;
  }
  if (own_outflow_) own_outflow_[r][c] = g.outflow[r][c];
  AfterCell(r, c, land);
}

// Tracers of the pack and the step's input: the input's solute (a mass for a tracer that stays
// with the water, a mixed concentration for an evaporating one).
void schneemodellklasse::TracerInput(long r, long c, double input, double pack) {
  for (int32_t t = 1; t <= tracer_count; ++t) {
    const TracerDefinition& tracer = tracer_definitions[t];
    TracerBlock& block = tracer_blocks[t];
    double& stored = block.concentration.get()[r][c];
    if (!(input > 0)) continue;
    const double incoming = LinkData(tracer_input_index_[static_cast<std::size_t>(t)])[r][c];
    stored = PackSoluteAfterInput(stored, tracer.evaporating == 1, pack, input, incoming);
  }
}

// Solute leaving with the outflow: at most the outflow's maximum concentration, else the pack's
// share of the outflow in outflow plus storage; the flux grid takes the outflow concentration.
// Then what the pack keeps decays over the step: the outflow decays where it goes, in the soil's
// step, so that no solute decays twice in one step.
void schneemodellklasse::TracerOutflow(long r, long c, double outflow, double pack) {
  for (int32_t t = 1; t <= tracer_count; ++t) {
    const TracerDefinition& tracer = tracer_definitions[t];
    TracerBlock& block = tracer_blocks[t];
    double& stored = block.concentration.get()[r][c];
    double& flux = block.flux.get()[r][c];
    if (tracer.evaporating == 1) {
      flux = stored;
    } else {
      const double removed = PackSoluteOutflow(stored, outflow, pack, tracer.max_conc);
      stored -= removed;
      flux = outflow > 0 ? removed / outflow : 0.0;
    }
    if (tracer.radioactive == 1) stored *= block.decay_factor;
  }
}

// A static glacier cell (glacier grid 1: ice, 2: firn): degree-day snow on the glacier (handed to
// the layered pack like the snow of a cell without glacier), then ice or firn melt once the snow
// is gone, less the snow melt of the same step.
void schneemodellklasse::GlacierCell(long r, long c, double share) {
  static_cast<void>(share);
  StepGrids& g = step_;
  const double T = temperature[r][c];
  const double P = water_input[r][c];
  const double f = SnowShare(T, T0R, transzone);
  g.snowfall[r][c] = f * P;
  g.rain[r][c] = (1.0 - f) * P;
  // The glacier's pack melts by degree days: it has no temperatures of an energy balance (a warm
  // start reads them with the melting point where the state holds none).
  for (double** grid : {g.snowtemp, g.surftemp})
    if (grid != nullptr) grid[r][c] = nodata;
  // The layered pack of the soil zone takes the snowfall and gives up the melt, as off glacier.
  if (f * P > 0) UpdateLayeredSnow(r, c, 0, 1.0, f * P, T);
  // The pack on the glacier keeps and releases its tracers as any pack does.
  TracerInput(r, c, P, g.solid[r][c] + g.liquid[r][c]);
  double solid = g.solid[r][c] + f * P;
  double liquid = g.liquid[r][c] + (1.0 - f) * P;
  const double R = glacier_radiation != nullptr ? glacier_radiation[r][c] : 0.0;
  const double warm = T > T0 ? T - T0 : 0.0;
  const bool radiative = glacierMethod == 2 || glacierMethod == 12;
  double melt = 0;
  if (warm > 0 && g.total[r][c] > 0)
    melt = radiative ? (MF / steps_per_day + snowRadiationFactor * R) * warm
                     : warm * DDFsnow / steps_per_day;
  const double m = std::min(solid, melt);
  liquid += m;
  solid -= m;
  if (liquid > CWH * solid) {
    const double excess = liquid - CWH * solid;
    g.outflow[r][c] = excess;
    if (m > 0) g.melt[r][c] = excess;
    liquid = CWH * solid;
  }
  g.solid[r][c] = solid;
  g.liquid[r][c] = liquid;
  if (layeredSnowActive && m > 0) HandOverLayeredMelt(r, c, m, T);
  TracerOutflow(r, c, g.outflow[r][c], solid + liquid);
  if (warm <= 0 || solid > 0) return;
  const double d = DebrisFactor(r, c);
  const double kind = glacier_cells[r][c];
  if (kind >= 2.0) {
    const double rate = radiative ? (MF / steps_per_day + snowRadiationFactor * R) * warm
                                  : warm * DDFfirn / steps_per_day;
    g.firn_melt[r][c] += std::max(0.0, rate - m);
  } else {
    const double rate = radiative ? d * (MF / steps_per_day + iceRadiationFactor * R) * warm
                                  : d * DDFice * warm / steps_per_day;
    g.ice_melt[r][c] = std::max(0.0, rate - m);
  }
}

// After both branches: snow days, snow age and albedo, total storage, permafrost thaw.
void schneemodellklasse::AfterCell(long r, long c, double land) {
  StepGrids& g = step_;
  const double pack = g.solid[r][c] + g.liquid[r][c];
  const double T = temperature[r][c];
  g.days[r][c] = pack > kAlbedoPackAfter ? 1.0 / steps_per_day : 0.0;
  if (T > T0R + transzone || water_input[r][c] <= kFreshSnowInput || pack <= kAlbedoPackAfter)
    g.age[r][c] += 1.0 / steps_per_day;
  else
    g.age[r][c] = 0;
  albedo[r][c] = SnowAlbedo(pack, kAlbedoPackAfter, g.age[r][c], T, ALBsnow_min, ALBsnow_max, land);
  g.total[r][c] = pack;
  if (g.glacier_total != nullptr)
    g.glacier_total[r][c] = g.glacier_solid[r][c] + g.glacier_liquid[r][c];
  CheckLayeredDump(r, c);
  if (g.snow_free_days == nullptr) return;
  double& free_days = g.snow_free_days[r][c];
  double& cover_days = g.snow_cover_days[r][c];
  if (pack <= Max_SWE_SnowFree) {
    cover_days = 0;
    free_days += 1.0 / steps_per_day;
  } else {
    cover_days += 1.0 / steps_per_day;
    if (cover_days >= Min_Snow_Age_Refreeze) {
      free_days = 0;
      thaw_depth[r][c] = 0;
    }
  }
  if (free_days > 0) thaw_depth[r][c] = ThawDepth(thaw_coefficient[r][c], free_days);
  if (root_depth == nullptr) return;
  if (root_depth[r][c] > thaw_depth[r][c]) root_depth[r][c] = thaw_depth[r][c];
  if (lowered_root_depth != nullptr) lowered_root_depth[r][c] = root_depth[r][c];
}

}  // namespace velorn

// Interception model step: the cells of this process with rain interception, canopy snow and
// tracers, then the statistics and the grid output.
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "evaporation/canopy_snow.h"
#include "evaporation/interception_model.h"
#include "evaporation/interception_water.h"
#include "setup/code_checks.h"
#include "setup/response_units.h"
#include "setup/tracer_definitions.h"
#include "tables/landuse_record.h"

namespace velorn {
namespace {

// Glacier shares from which a cell counts as wholly glacierized.
constexpr double kWholeGlacier = 0.99999;
constexpr double kCelsiusToKelvin = 273.16;

}  // namespace

// Per row: the layers of the cell being computed, with the storage before the step's input.
struct interzeptionsmodellklasse::CellWork {
  std::vector<InterceptionLayer> layers;
  std::vector<double> storage_before;  // per layer, for the tracers
  double glacier = 0;
  // The canopy snow's split of the water input (mm): snowfall and rain, the snow it took and
  // the snow it unloaded as liquid and as solid, its load after the step. `canopy_ran`: false
  // where the canopy model did not run (the whole input passed as liquid); `dropped`: then the
  // load the canopy held before, which fell to the snow cover as solid output.
  bool canopy_ran = false;
  double snowfall = 0, rainfall = 0, intercepted = 0, liquid_unload = 0, solid_unload = 0, load = 0,
         dropped = 0;
};

bool interzeptionsmodellklasse::OwnCell(long row, long column) const {
  if (zone_grid == nullptr || IsNodata(zone_grid[row][column], nodata)) return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

// Own cells, and with response units only their masters.
bool interzeptionsmodellklasse::Computed(long row, long column) const {
  if (!OwnCell(row, column)) return false;
  double** masters = Data(master_unit_index_);
  return masters == nullptr || IsNotNodata(masters[row][column], nodata);
}

// Every grid that holds a result of the cell computation.
std::vector<double**> interzeptionsmodellklasse::ResultGrids() const {
  std::vector<double**> grids;
  for (int32_t i = 0; i <= layer_count; ++i) {
    grids.push_back(storage[i].get());
    grids.push_back(evaporation[i].get());
    grids.push_back(throughfall[i].get());
    grids.push_back(Data(transpiration_index_[i]));
  }
  if (canopy_snow)
    for (const GridMatrix& grid : canopy_grids) grids.push_back(grid.get());
  if (energy_balance)
    for (const GridMatrix& grid : balance_grids) grids.push_back(grid.get());
  for (int32_t t = 1; t <= tracer_count; ++t) {
    grids.push_back(tracer_blocks[t].concentration.get());
    grids.push_back(tracer_blocks[t].flux.get());
    if (leaf_tracers_.size() <= static_cast<std::size_t>(t)) continue;
    for (const GridMatrix& layer : leaf_tracers_[t].owned) grids.push_back(layer.get());
    if (leaf_tracers_[t].canopy) grids.push_back(leaf_tracers_[t].canopy.get());
  }
  return grids;
}

// Every result grid of the masters, then their glacier share and water input (the other cells
// of a unit count with them in the statistics), from whichever process computed the master.
UnitResults interzeptionsmodellklasse::ShareMasterResults() const {
  static const std::vector<HruRecord> no_units = EmptyHruTable();
  const std::vector<double**> grids = ResultGrids();
  double** input = Data(water_input_index_);
  return ShareUnitResults(
      response_unit_table != nullptr ? *response_unit_table : no_units, grids.size() + 2,
      first_local_row, last_local_row, column_ranges,
      [&](long r, long c) { return Computed(r, c); },
      [&](long r, long c, double* out) {
        for (double** grid : grids) *out++ = grid[r][c];
        out[0] = GlacierShare(r, c);
        out[1] = input[r][c];
      });
}

// Cells of a response unit other than its master take the master's results.
void interzeptionsmodellklasse::CopyFromMasters(const UnitResults& masters) {
  const std::vector<double**> grids = ResultGrids();
  double** units = Data(response_unit_index_);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || Computed(r, c)) continue;
      const double* values = masters.Require(*diag, module_name, units[r][c], r, c);
      for (double** grid : grids) grid[r][c] = *values++;
    }
  });
}

void interzeptionsmodellklasse::UseGlacierShareGrid(const char* identifier) {
  if (GetFlowControl() == 0 || identifier == nullptr) return;
  if (const int index = FindGrid(identifier, 0)) glacier_index_ = index;
}

double interzeptionsmodellklasse::GlacierShare(long row, long column) const {
  double** glacier = Data(glacier_index_);
  if (glacier == nullptr) return 0.0;
  return std::clamp(glacier[row][column], 0.0, 1.0);
}

std::vector<interzeptionsmodellklasse::Table*> interzeptionsmodellklasse::AllTables() {
  std::vector<Table*> tables;
  for (auto& layer : layer_tables_)
    for (Table& table : layer) tables.push_back(&table);
  for (Table& table : canopy_tables_)
    if (table.table) tables.push_back(&table);
  for (Table& table : balance_tables_)
    if (table.table) tables.push_back(&table);
  return tables;
}

void interzeptionsmodellklasse::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  ComputeStep(hour, day, month, year);
  FinishStep();
}

void interzeptionsmodellklasse::ComputeStep(int64_t hour, int64_t day, int64_t month,
                                            int64_t year) {
  if (GetFlowControl() == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  for (Table* table : AllTables()) table->table->ResetZoneSums();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->ResetZoneSums();
  if (canopy_snow) PushTemperature();
  ComputeRows();
  if (Data(master_unit_index_) != nullptr) {
    const UnitResults masters = ShareMasterResults();
    CopyFromMasters(masters);
    AddStatistics(&masters);
  } else {
    AddStatistics(nullptr);
  }
}

void interzeptionsmodellklasse::PushTemperature() {
  const std::array<int64_t, 4> date{step_date.hour, step_date.day, step_date.month, step_date.year};
  if (date == last_push_date) return;
  double** temperature = Data(temperature_index_);
  GridMatrix copy(*diag, first_local_row, last_local_row, ncols, nrows);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c)
      if (owner_grid == nullptr || owner_grid[r][c] == static_cast<double>(rank))
        copy[r][c] = temperature[r][c];
  });
  temperature_stack->Push(std::move(copy));
  last_push_date = date;
}

void interzeptionsmodellklasse::ComputeRows() {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    CellWork work;
    work.layers.resize(static_cast<std::size_t>(layer_count));
    work.storage_before.resize(static_cast<std::size_t>(layer_count));
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (Computed(r, c)) {
        ComputeCell(work, r, c);
        continue;
      }
      for (int32_t i = 0; i <= layer_count; ++i) {
        evaporation[i][r][c] = nodata;
        throughfall[i][r][c] = nodata;
      }
    }
  });
}

void interzeptionsmodellklasse::ComputeCell(CellWork& work, long row, long column) {
  const double input = Data(water_input_index_)[row][column];
  work.glacier = GlacierShare(row, column);
  if (work.glacier >= 1.0) {
    if (canopy_snow) SkipCanopy(row, column, input, false);
    ZeroGlacierCell(row, column, input);
    if (tracer_count > 0) PassGlacierTracers(row, column, input, nullptr);
    return;
  }
  double rain = input;
  work.canopy_ran = false;
  work.dropped = 0.0;
  if (canopy_snow) {
    double leaf_area = 0.0;
    double roughness = 0.0;
    for (int32_t i = 1; i <= layer_count; ++i) {
      leaf_area += Data(layer_inputs_[i].leaf_area)[row][column];
      roughness = std::max(roughness, Data(layer_inputs_[i].roughness)[row][column]);
    }
    if (leaf_area > minimum_leaf_area && roughness > minimum_roughness) {
      rain = RunCanopy(work, row, column, input);
    } else {
      // Leaves that fell below the minimum (or a roughness that did) cannot hold the snow they
      // carried: it falls to the snow cover in this step.
      work.dropped = SkipCanopy(row, column, input, true);
    }
  }

  const int32_t rule = method % 10;
  const int32_t landuse_count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
  for (int32_t i = 1; i <= layer_count; ++i) {
    InterceptionLayer& layer = work.layers[static_cast<std::size_t>(i - 1)];
    const LayerInputs& in = layer_inputs_[i];
    const double code = Data(in.landuse)[row][column];
    layer = InterceptionLayer{};
    layer.vegetated = IsAboveNodata(code, nodata);
    layer.storage = storage[i][row][column];
    layer.potential_transpiration = Data(transpiration_index_[i])[row][column];
    layer.potential_interception = Data(interception_potential_index_[i])[row][column];
    if (!layer.vegetated) continue;
    const int32_t index = static_cast<int32_t>(code);
    double capacity_per_leaf_area = -1.0;
    if (landuse_table != nullptr) {
      if (index < 1 || index > landuse_count) {
        ThrowFatal(*diag, kUnknownLanduseCode, "FATAL: land use ", code, " in grid ",
                   FormatText("landuse%d", i), " (row ", row, ", column ", column,
                   ")\nis not present in the land use table in the control file");
      }
      capacity_per_leaf_area = landuse_table[index].GetIntercepCap();
    }
    layer.cover = Data(in.cover)[row][column];
    layer.capacity = InterceptionCapacity(capacity_per_leaf_area, Data(in.leaf_area)[row][column],
                                          maximum_water_thickness);
  }
  for (int32_t i = 0; i < layer_count; ++i)
    work.storage_before[static_cast<std::size_t>(i)] =
        work.layers[static_cast<std::size_t>(i)].storage;
  const InterceptionTotals totals = InterceptLayers(rain, rule, work.layers.data(), layer_count);

  for (int32_t i = 1; i <= layer_count; ++i) {
    const InterceptionLayer& layer = work.layers[static_cast<std::size_t>(i - 1)];
    storage[i][row][column] = layer.storage;
    evaporation[i][row][column] = layer.evaporation;
    throughfall[i][row][column] = layer.throughfall;
    Data(transpiration_index_[i])[row][column] = layer.potential_transpiration;
  }
  double& total_transpiration = Data(transpiration_index_[0])[row][column];
  if (layer_count == 1) {
    total_transpiration = work.layers[0].potential_transpiration;
  } else {
    total_transpiration -= totals.transpiration_reduction;
  }
  // Tracers move as masses with the water: the tracer definitions carry no mixing property
  // and no transfer factor, so an overflow takes the stored mass in proportion to the water
  // it removes from the filled storage, which never moves more than is stored.
  if (tracer_count > 0) CarryTracers(row, column, work, input);
  // The cell's totals are the sums of the layers' (the leaves' water); the canopy's snow load
  // and its sublimation have grids and tables of their own; the water balance books the
  // sublimation as a term of its own, the total real evapotranspiration leaves it out.
  storage[0][row][column] = totals.storage;
  evaporation[0][row][column] = totals.evaporation;
  throughfall[0][row][column] = totals.throughfall;
  if (work.glacier >= kWholeGlacier) {
    ZeroGlacierCell(row, column, input);
    if (tracer_count > 0) PassGlacierTracers(row, column, input, &work);
  }
}

// A wholly glacierized cell holds and evaporates nothing: the water input reaches the ground
// (and, with interception before snow, the snow model) in full.
void interzeptionsmodellklasse::ZeroGlacierCell(long row, long column, double input) {
  for (int32_t i = 0; i <= layer_count; ++i) {
    storage[i][row][column] = 0.0;
    evaporation[i][row][column] = 0.0;
    throughfall[i][row][column] = input;
  }
}

double interzeptionsmodellklasse::RunCanopy(CellWork& work, long row, long column, double input) {
  using namespace canopy;
  CanopySnowState s;
  const double air_temperature = Data(temperature_index_)[row][column];
  s[kAirTemperature] = air_temperature + kCelsiusToKelvin;
  s[kMeanTemperature] = temperature_stack->GetMean(row, column) + kCelsiusToKelvin;
  s[kTemperatureOffset] = std::clamp((s[kMeanTemperature] - kCelsiusToKelvin) / 3.0, -2.0, 2.0);
  s[kHumidity] = Data(humidity_index_)[row][column] * 100.0;
  s[kPrecipitation] = input;
  s[kShortwave] = Data(radiation_index_)[row][column];
  s[kWind] = Data(wind_index_)[row][column];
  s[kCloudiness] = Data(cloudiness_index_)[row][column];
  s[kTimeStep] = 60.0 * time_interval;
  s[kElevation] = Data(elevation_index_)[row][column];
  double leaf_area = 0.0;
  for (int32_t i = 1; i <= layer_count; ++i) {
    const LayerInputs& in = layer_inputs_[i];
    leaf_area += Data(in.leaf_area)[row][column];
    const double canopy_resistance = Data(in.canopy_resistance)[row][column];
    const double interception_resistance = Data(in.interception_resistance)[row][column];
    const double roughness = Data(in.roughness)[row][column];
    s[kCanopyResistance] =
        i == 1 ? canopy_resistance : std::min(s[kCanopyResistance], canopy_resistance);
    s[kInterceptionResistance] =
        i == 1 ? interception_resistance
               : std::min(s[kInterceptionResistance], interception_resistance);
    s[kRoughnessLength] = i == 1 ? roughness : std::max(s[kRoughnessLength], roughness);
  }
  s[kLeafAreaIndex] = leaf_area * leaf_area_scaling;
  const double previous_albedo = canopy_grids[kCanopyAlbedo][row][column];
  s[kAlbedo] = previous_albedo;
  s[kLoadBefore] = canopy_grids[kCanopyLoad][row][column];
  s[kAge] = canopy_grids[kCanopyAge][row][column];
  SplitRainSnow(s[kSnowfall], s[kRainfall], air_temperature, threshold_temperature,
                transition_half_width, input);
  work.snowfall = s[kSnowfall];
  work.rainfall = s[kRainfall];
  CanopySnowStep(s);
  work.canopy_ran = true;
  work.liquid_unload = s[kLiquidUnload];
  work.solid_unload = s[kSolidUnload];
  work.load = s[kLoad];
  // Snow below the canopy = unloaded snow + the snowfall it did not take.
  work.intercepted = work.snowfall + work.solid_unload - s[kSnowfall];

  if (energy_balance) {
    s[kSnowSurfaceTemperature] = Data(surface_temperature_index_)[row][column];
    s[kGroundAlbedo] = Data(snow_albedo_index_)[row][column];
    s[kBalanceRadiation] = Data(radiation_index_)[row][column];
    s[kCanopyAlbedo] = previous_albedo;
    s[kCanopyTemperature] = s[kAirTemperature] + 0.5;
    const double old = balance_grids[kBalanceTemperatureOld][row][column];
    s[kPreviousCanopyTemperature] = old == 0.0 ? s[kAirTemperature] + 0.5 : old;
    if (Data(snow_storage_index_)[row][column] > 0.0) {
      CanopyTemperature(s);
      balance_grids[kBalanceResidual][row][column] = s[kResidual];
      balance_grids[kBalanceTemperature][row][column] = s[kCanopyTemperature];
      balance_grids[kBalanceTemperatureOld][row][column] = s[kCanopyTemperature];
      balance_grids[kBalanceDifference][row][column] = s[kTemperatureDifference];
    } else {
      balance_grids[kBalanceResidual][row][column] = 0.0;
      balance_grids[kBalanceTemperature][row][column] = s[kAirTemperature];
      balance_grids[kBalanceTemperatureOld][row][column] = s[kAirTemperature];
      balance_grids[kBalanceDifference][row][column] = 0.0;
    }
  }

  canopy_grids[kCanopyLiquidOutput][row][column] = s[kRainfall];
  canopy_grids[kCanopySolidOutput][row][column] = s[kSnowfall];
  canopy_grids[kCanopyTemperatureGrid][row][column] = s[kAirTemperature] - kCelsiusToKelvin;
  canopy_grids[kCanopyHumidity][row][column] = s[kHumidity] / 100.0;
  canopy_grids[kCanopyRadiation][row][column] = s[kShortwave];
  canopy_grids[kCanopyWind][row][column] = s[kWind];
  canopy_grids[kCanopyLongwave][row][column] = s[kLongwave];
  canopy_grids[kCanopyAlbedo][row][column] = s[kAlbedo];
  canopy_grids[kCanopyLoad][row][column] = s[kLoad];
  canopy_grids[kCanopyAge][row][column] = s[kAge];
  canopy_grids[kCanopySublimation][row][column] = s[kSublimation];
  return s[kRainfall];
}

double interzeptionsmodellklasse::SkipCanopy(long row, long column, double input, bool drop_load) {
  const double air_temperature = Data(temperature_index_)[row][column];
  const double load = drop_load ? canopy_grids[kCanopyLoad][row][column] : 0.0;
  canopy_grids[kCanopyLiquidOutput][row][column] = input;
  canopy_grids[kCanopySolidOutput][row][column] = load;
  canopy_grids[kCanopyTemperatureGrid][row][column] = air_temperature;
  canopy_grids[kCanopyHumidity][row][column] = Data(humidity_index_)[row][column];
  canopy_grids[kCanopyRadiation][row][column] = Data(radiation_index_)[row][column];
  canopy_grids[kCanopyWind][row][column] = Data(wind_index_)[row][column];
  canopy_grids[kCanopyLongwave][row][column] = 0.0;
  canopy_grids[kCanopyAlbedo][row][column] = 0.2;
  canopy_grids[kCanopyLoad][row][column] = 0.0;
  canopy_grids[kCanopyAge][row][column] = 0.0;
  canopy_grids[kCanopySublimation][row][column] = 0.0;
  if (energy_balance) {
    balance_grids[kBalanceResidual][row][column] = 0.0;
    balance_grids[kBalanceTemperature][row][column] = air_temperature + kCelsiusToKelvin;
    balance_grids[kBalanceTemperatureOld][row][column] = air_temperature + kCelsiusToKelvin;
    balance_grids[kBalanceDifference][row][column] = 0.0;
  }
  return load;
}

// The solute of a wholly glacierized cell's water input, with what the leaves and the canopy
// snow held, leaves with the throughfall, which is the whole input (and decays where it goes);
// without input the leaves keep it, and it decays there.
void interzeptionsmodellklasse::PassGlacierTracers(long row, long column, double input,
                                                   const CellWork* carried) {
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    LeafTracer& leaves = leaf_tracers_[static_cast<std::size_t>(t)];
    double& flux = block.flux.get()[row][column];
    double solute = LeafSolute(t, row, column);
    if (carried != nullptr) {
      solute += flux * GroundWater(*carried);
    } else {
      if (tracer_input_index_[t] > 0) solute += Data(tracer_input_index_[t])[row][column] * input;
    }
    const bool passed = input > 0.0;
    // What the leaves keep decays over the step; what passes decays where it goes.
    if (!passed && carried == nullptr && tracer_definitions[t].radioactive != 0)
      solute *= block.decay_factor;
    for (int32_t i = 1; i <= layer_count; ++i) leaves.layers[i][row][column] = 0.0;
    if (leaves.canopy) leaves.canopy[row][column] = 0.0;
    leaves.layers[1][row][column] = passed ? 0.0 : solute;
    block.concentration.get()[row][column] = passed ? 0.0 : solute;
    flux = passed ? solute / input : 0.0;
  }
}

// The water reaching the ground: the lowest layer's throughfall and the canopy's solid output
// (the snow it let through and unloaded, or the load it dropped).
double interzeptionsmodellklasse::GroundWater(const CellWork& work) {
  const double solid =
      work.canopy_ran ? work.snowfall - work.intercepted + work.solid_unload : work.dropped;
  return work.layers.back().throughfall + solid;
}

double interzeptionsmodellklasse::LeafSolute(int32_t t, long row, long column) const {
  const LeafTracer& leaves = leaf_tracers_[static_cast<std::size_t>(t)];
  double sum = leaves.canopy ? leaves.canopy[row][column] : 0.0;
  for (int32_t i = 1; i <= layer_count; ++i) sum += leaves.layers[i][row][column];
  return sum;
}

// Tracer masses of the canopy snow and of every layer's storage: the input concentration enters
// with the water; the canopy snow keeps the solute of the snow it takes and unloads its mean
// concentration; on each layer the covered part of the water reaching it is stored, and an
// overflow carries its proportional share of the stored mass on. A layer without vegetation
// lets the solute it held fall with the water it held. Solute without water stays in place.
// A radioactive tracer decays with what the canopy snow and each layer keep after their outflow:
// what they let go decays where it goes, in the same step, so that no solute decays twice.
void interzeptionsmodellklasse::CarryTracers(long row, long column, const CellWork& work,
                                             double input) {
  const double unloaded = work.liquid_unload + work.solid_unload;
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    LeafTracer& leaves = leaf_tracers_[static_cast<std::size_t>(t)];
    const bool decays = tracer_definitions[t].radioactive != 0;
    const double concentration =
        tracer_input_index_[t] > 0 ? Data(tracer_input_index_[t])[row][column] : 0.0;
    // What reaches the first layer with the liquid water, and the ground with the solid.
    double down = concentration * input;
    double solid_solute = 0.0;
    if (leaves.canopy) {
      double& held = leaves.canopy[row][column];
      if (work.canopy_ran) {
        held += concentration * work.intercepted;
        const double before_unload = work.load + unloaded;
        const double unload = unloaded > 0.0 && before_unload > 0.0
                                  ? held * std::min(unloaded / before_unload, 1.0)
                                  : 0.0;
        held -= unload;
        down = concentration * work.rainfall +
               (unloaded > 0.0 ? unload * work.liquid_unload / unloaded : 0.0);
        solid_solute = concentration * (work.snowfall - work.intercepted) +
                       (unloaded > 0.0 ? unload * work.solid_unload / unloaded : 0.0);
      } else if (work.dropped > 0.0) {
        solid_solute = held;  // the dropped load takes its solute to the snow cover
        held = 0.0;
      } else if (input > 0.0) {
        down += held;  // solute without snow goes with the whole input
        held = 0.0;
      }
      if (decays) held *= block.decay_factor;
    }
    double total = leaves.canopy ? leaves.canopy[row][column] : 0.0;
    for (int32_t i = 1; i <= layer_count; ++i) {
      const InterceptionLayer& layer = work.layers[static_cast<std::size_t>(i - 1)];
      double& mass = leaves.layers[i][row][column];
      if (!layer.vegetated) {
        if (layer.throughfall > 0.0) {
          down += mass;
          mass = 0.0;
        }
        if (decays) mass *= block.decay_factor;
        total += mass;
        continue;
      }
      // Without canopy snow the top layer takes the input's own concentration.
      const double in = i == 1 && !leaves.canopy ? concentration
                        : layer.input > 0.0      ? down / layer.input
                                                 : 0.0;
      const double stored_input = layer.cover * layer.input;
      const double filled = work.storage_before[static_cast<std::size_t>(i - 1)] + stored_input;
      double flux = in * ((1.0 - layer.cover) * layer.input);
      mass += in * stored_input;
      if (layer.overflow > 0.0 && filled > 0.0) {
        const double moved = mass * layer.overflow / filled;
        mass -= moved;
        flux += moved;
      }
      if (decays) mass *= block.decay_factor;
      down = flux;
      total += mass;
    }
    if (leaves.layers[1] != block.concentration.get())
      block.concentration.get()[row][column] = total;
    const double ground = GroundWater(work);
    block.flux.get()[row][column] = ground > 0.0 ? (down + solid_solute) / ground : 0.0;
  }
}

// The statistics of the step's fluxes of every own cell, weighted by its share without glacier;
// the glacier share adds nothing evaporated and the whole water input as the water reaching the
// ground, and nothing to the canopy's amounts (its sublimation and unloading), so that every
// amount table is mm over the whole area, as the water balance counts it. A cell of a response
// unit counts with its master's values and input, weighed by its own glacier share (the water
// balance weighs each cell's canopy so). The threads of the row loop add to exact sums of their
// own, so the order does not matter.
void interzeptionsmodellklasse::AddStatistics(const UnitResults* masters) {
  double** input = Data(water_input_index_);
  double** units = Data(response_unit_index_);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const double glacier = GlacierShare(r, c);
      double cell_input = input[r][c];
      if (masters != nullptr && !Computed(r, c)) {
        const double* values = masters->Require(*diag, module_name, units[r][c], r, c);
        cell_input = values[masters->width() - 1];
      }
      const int32_t zone = zone_code_index[static_cast<int32_t>(zone_grid[r][c])];
      const double weight = 1.0 - glacier;
      for (int32_t i = 0; i <= layer_count; ++i) {
        std::array<Table, 3>& tables = layer_tables_[i];
        if (weight > 0.0) {
          tables[0].table->AddValue(r, c, zone, evaporation[i][r][c], weight);
          tables[2].table->AddValue(r, c, zone, throughfall[i][r][c], weight);
        }
        if (glacier > 0.0) {
          tables[0].table->AddValue(r, c, zone, 0.0, glacier);
          tables[2].table->AddValue(r, c, zone, i == 0 ? cell_input : 0.0, glacier);
        }
      }
      for (int g = 0; g < kCanopyGridCount; ++g) {
        if (!canopy_tables_[g].table || IsCanopyState(g)) continue;
        if (weight > 0.0)
          canopy_tables_[g].table->AddValue(r, c, zone, canopy_grids[g][r][c], weight);
        if (glacier > 0.0 && IsCanopyAmount(g))
          canopy_tables_[g].table->AddValue(r, c, zone, 0.0, glacier);
      }
      if (weight > 0.0) {
        for (int g = 0; g < kBalanceGridCount; ++g)
          if (balance_tables_[g].table)
            balance_tables_[g].table->AddValue(r, c, zone, balance_grids[g][r][c], weight);
      }
      for (int32_t t = 1; t <= tracer_count; ++t) {
        zonalstatistic* table = tracer_blocks[t].statistics.get();
        if (table == nullptr) continue;
        if (weight > 0.0)
          table->AddValue(r, c, zone, tracer_blocks[t].concentration.get()[r][c], weight);
        if (glacier > 0.0) table->AddValue(r, c, zone, 0.0, glacier);
      }
    }
  });
}

// The statistics of what the canopy holds at the end of the step, with the glacier shares then:
// the water of the leaves of every layer and the canopy's snow load (nothing over the glacier
// share), its age and albedo (over the glacier-free part). A member of a response unit holds its
// master's state, copied in the step.
void interzeptionsmodellklasse::AddStateStatistics() {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const double glacier = GlacierShare(r, c);
      const double weight = 1.0 - glacier;
      const int32_t zone = zone_code_index[static_cast<int32_t>(zone_grid[r][c])];
      for (int32_t i = 0; i <= layer_count; ++i) {
        zonalstatistic& table = *layer_tables_[i][1].table;
        if (weight > 0.0) table.AddValue(r, c, zone, storage[i][r][c], weight);
        if (glacier > 0.0) table.AddValue(r, c, zone, 0.0, glacier);
      }
      for (int g = 0; g < kCanopyGridCount; ++g) {
        if (!canopy_tables_[g].table || !IsCanopyState(g)) continue;
        if (weight > 0.0)
          canopy_tables_[g].table->AddValue(r, c, zone, canopy_grids[g][r][c], weight);
        if (glacier > 0.0 && IsCanopyAmount(g))
          canopy_tables_[g].table->AddValue(r, c, zone, 0.0, glacier);
      }
    }
  });
}

void interzeptionsmodellklasse::FinishStep() {
  if (GetFlowControl() == 0) return;
  AddStateStatistics();
  const ModelDate& d = step_date;
  // All tables of the step in one reduction.
  std::vector<zonalstatistic*> tables;
  for (int32_t i = 0; i <= layer_count; ++i)
    for (Table& table : layer_tables_[i]) tables.push_back(table.table.get());
  for (int g = 0; canopy_snow && g < kCanopyGridCount; ++g)
    tables.push_back(canopy_tables_[g].table.get());
  for (int g = 0; energy_balance && g < kBalanceGridCount; ++g)
    tables.push_back(balance_tables_[g].table.get());
  for (int32_t t = 1; t <= tracer_count; ++t) tables.push_back(tracer_blocks[t].statistics.get());
  zonalstatistic::CollectSteps(tables, d.year, d.month, d.day, d.hour, 1);
  for (int32_t i = 0; i <= layer_count; ++i) {
    WriteGridOutput(evaporation_index_[i], 1, false);
    WriteGridOutput(storage_index_[i], 1, false);
    WriteGridOutput(throughfall_index_[i], 1, false);
  }
  if (canopy_snow) {
    for (int g = 0; g < kCanopyGridCount; ++g) {
      WriteGridOutput(canopy_index_[g], 1, false);
    }
    WriteTemperatureHistory();
  }
  if (energy_balance) {
    for (int g = 0; g < kBalanceGridCount; ++g) {
      WriteGridOutput(balance_index_[g], 1, false);
    }
  }
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    if (block.concentration_index > 0) WriteGridOutput(block.concentration_index, 1, false);
    if (leaf_tracers_.size() > static_cast<std::size_t>(t))
      for (int index : leaf_tracers_[t].indexes) WriteGridOutput(index, 1, false);
  }
}

}  // namespace velorn

// Unsaturated zone: [LayeredSnowModel], the snow types of [LayeredSnowProperties] and the snow
// stacks that put the snow pack as layers 1-M..0 on top of every soil column.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "unsatzone/snow_temperature_profile.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {

using S = LayeredSnowState;

constexpr const char* kStackIdentifiers[S::kStackCount] = {"SnowWaterEquivalentSolid",
                                                           "SnowWaterEquivalentLiquid",
                                                           "Temperature_Stack_Snow",
                                                           "theta_Snow",
                                                           "hydraulic_heads_Snow",
                                                           "geodetic_height_Snow",
                                                           "q_down_Snow",
                                                           "SnowLayerThickness",
                                                           "SnowDensity"};
constexpr const char* kOutputLabels[S::kOutputCount][2] = {
    {"name of the SWES-stack in ", "Writecode swes-stack in "},
    {"name of the SWEL-stack in ", "Writecode swel-stack in "},
    {"name of the temperSnow-stack in ", "Writecode temperSnow-stack in "},
    {"name of the thetaSnow-stack in ", "Writecode thetaSnow-stack in "},
    {"name of the hhydSnow-stack in ", "Writecode hhydSnow-stack in "},
    {"name of the hgeoSnow-stack in ", "Writecode hgeoSnow-stack in "},
    {"name of the quSnow-stack in ", "Writecode quSnow-stack in "},
    {"name of the thickSnow-stack in ", "Writecode thickSnow-stack in "},
    {"name of the densSnow-stack in ", "Writecode densSnow-stack in "},
    {"name of the upperIndexSnow_grid in ", "Writecode upperIndexSnow_writegrid in "}};

}  // namespace

SnowLayerParameters RestructureParameters(const LayeredSnowState& s, double factor, double c_ice,
                                          double c_water) {
  SnowLayerParameters p;
  const SoilRecord& type = s.types[1];
  const auto n = static_cast<std::size_t>(s.M) + 1;
  p.standardThickness.assign(n, 0.0);
  p.maxDensity.assign(n, 0.0);
  p.a.assign(n, 0.0);
  p.b.assign(n, 0.0);
  p.c.assign(n, 0.0);
  for (int j = 1; j <= s.M; ++j) {
    p.standardThickness[j] = type.thickness[j];
    p.maxDensity[j] = type.DryDensity[j];
    p.a[j] = type.alpha[j];
    p.b[j] = type.Par_n[j];
    p.c[j] = type.Par_m[j];
  }
  p.holdingCapacity = s.holdingCapacity;
  p.factor = factor;
  p.cIce = c_ice;
  p.cWater = c_water;
  return p;
}

std::vector<SnowLayerLimits> unsatzonmodellklasse::LayeredSnowLimits() const {
  std::vector<SnowLayerLimits> limits;
  if (layeredSnowSwitch <= 0) return limits;
  const SoilRecord& type = layered_snow.types[1];
  limits.resize(static_cast<std::size_t>(layered_snow.M) + 1);
  for (int j = 1; j <= layered_snow.M; ++j)
    limits[j] = SnowLayerLimits{type.DryDensity[j], type.thickness[j]};
  return limits;
}

int32_t unsatzonmodellklasse::ReadLayeredSnowModel() {
  layeredSnowSwitch = 0;
  if (!FindSection("[LayeredSnowModel]", 0)) return 0;
  ControlFileReader& file = *control_file;
  ReadValue(file, layeredSnowSwitch, "");
  if (layeredSnowSwitch <= 0) return layeredSnowSwitch;
  if (heatTransferSwitch <= 0) {
    // A FATAL entry (its text, which begins with "ERROR:", shows as it is): the cause of the end
    // of the run, kept at any -diaglevel.
    ThrowFatal(Diag(), kLayeredSnowWithoutHeatCode,
               "FATAL: ERROR:\n-----------------\n Error in model configuration: when using "
               "[LayeredSnowModel], [heat_transfer] must be used as well.\n",
               "It is currently not implemented to rout water through the snow without "
               "accounting\n",
               "for the temperature of the snow pack. So you need to either switch heat_transfer "
               "on or LayeredSnowModel off\n-----------------\n");
  }
  LayeredSnowState& s = layered_snow;
  ReadValue(file, s.method, " method of layered snow model ");
  ReadValue(file, s.maxDensity[0], " dLayeredSnowMaxDensity");
  ReadValue(file, s.maxDensity[1], " dLayeredSnowMaxDensity");
  ReadValue(file, dTOffsetFreshSnow, " dTOffsetFreshSnow");
  ReadValue(file, s.drainageDensity, " dDrainageDensitiySnow");
  ReadValue(file, s.holdingCapacity, " dWaterHoldingCapacity");
  ReadValue(file, s.seSnow, " dSEeffectiveness");
  ReadValue(file, s.seSoil, " dSEeffectivenessSoil");
  for (int k = 0; k < S::kOutputCount; ++k) {
    ReadValue(file, s.outputs[k].name, kOutputLabels[k][0]);
    ReadValue(file, s.outputs[k].code, kOutputLabels[k][1]);
  }
  // Read and kept, used by no operation (the restructuring compacts to the density of the
  // snow type): any density up to water's, 0 as the default.
  RequireRange(s.maxDensity[0], 0.0, 1000.0, " dLayeredSnowMaxDensity in ");
  RequireRange(s.maxDensity[1], 0.0, 1000.0, " dLayeredSnowMaxDensity (second) in ");
  RequireRange(dTOffsetFreshSnow, -50, 50, " dTOffsetFreshSnow in ");
  RequireRange(s.drainageDensity, 0, 1000, " dDrainageDensitiySnow in ");
  RequireRange(s.holdingCapacity, 0, 1, " dWaterHoldingCapacity in ");
  RequireRange(s.seSnow, 0, 1, " dSEeffectiveness in ");
  RequireRange(s.seSoil, 0, 1, " dSEeffectivenessSoil in ");
  return layeredSnowSwitch;
}

void unsatzonmodellklasse::ReadLayeredSnowProperties() {
  FindSection("[LayeredSnowProperties]", 1);
  ControlFileReader& file = *control_file;
  int count = 0;
  ReadValue(file, count, "number of snow types in ");
  if (count < 1) ReportControlFileError("number of snow types (1 or more) in ", module_name);
  std::vector<SoilRecord>& types = layered_snow.types;
  types.clear();
  types.emplace_back(count);
  for (int i = 1; i <= count; ++i) {
    SoilRecord type(i);
    std::string text = file.AtEnd() ? std::string() : file.RestOfLine();
    while (text.find_first_not_of(" \t\r") == std::string::npos && !file.AtEnd())
      text = file.RestOfLine();
    if (!Contains(text, "MultipleHorizons") && !Contains(text, "method") && !Contains(text, "{")) {
      ThrowFatal(Diag(), kSnowTypeEntryCode,
                 "FATAL: entries in [LayeredSnowProperties] must use the MultipleHorizons syntax, "
                 "i.e. no very-old-style soil table entries are allowed here\n\n");
    }
    while (!Contains(text, "}")) {
      if (file.AtEnd()) {
        ThrowFatal(Diag(), kSoilBlockErrorCode, "FATAL: [LayeredSnowProperties] entry ", i,
                   ": no closing \"}\" before the end of the control file\n", text);
      }
      text += '\n';
      text += file.RestOfLine();
    }
    // An entry opened by a line with "{" alone carries neither code, name nor method: it is
    // snow type i in the MultipleHorizons syntax.
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && text[first] == '{')
      text = std::to_string(i) + " snow" + std::to_string(i) + " method MultipleHorizons " + text;
    type.ParseEntry(Diag(), text, "MultipleHorizons");
    if (i >= 2 && type.layers != types[i - 1].layers) {
      ThrowFatal(Diag(), kSnowTypeEntryCode,
                 "FATAL: the numbers of snow layers has to be equal for all snow types\n(here: "
                 "snow type ",
                 type.code, ": ", type.layers, " layers, but snow type ", types[i - 1].code, ": ",
                 types[i - 1].layers, " layers)\n\n");
    }
    types.push_back(std::move(type));
  }
  for (int i = 1; i <= count; ++i) {
    SoilRecord& type = types[i];
    for (int k = 1; k <= type.layers; ++k) {
      if (type.DryHeatCapacity[k] < 0) type.DryHeatCapacity[k] = dTModCDrySoil;
      if (type.DryDensity[k] < 0) type.DryDensity[k] = dTModRhoDrySoil;
      if (type.DryThermalConduct[k] < 0) type.DryThermalConduct[k] = dTModLamDrySoil;
    }
    if (type.KMinFrozenSoil < 0) {
      type.KMinFrozenSoil = dTModKmin;
      if (dTModKmin > 0) type.LogKMinFrozenSoil = std::log(dTModKmin);
    }
    for (int k = 1; k <= type.layers; ++k) type.BuildFreezingTables(k, dTModFactor);
  }
  layeredSnowProperties = types.data();
}

void unsatzonmodellklasse::CreateLayeredSnowGrids() {
  LayeredSnowState& s = layered_snow;
  const std::pair<double**&, const char*> optional[] = {
      {s.surftemp, "surftemp"},
      {s.surftemp_onGlacier, "surftemp_onGlacier"},
      {s.energyBalance, "EnergyBalance"},
      {s.energyBalance_onGlacier, "EnergyBalance_onGlacier"},
      {s.rain_fraction, "rain_fraction"},
      {s.snowstorage_solid, "snowstorage_solid"},
      {s.snowstorage_liquid, "snowstorage_liquid"},
      {s.snow_storage_total, "snow_storage_total"},
      {s.melt_from_snowcover, "melt_from_snowcover"},
      {s.snowcover_outflow, "snowcover_outflow"}};
  for (const auto& [link, identifier] : optional) link = Optional(identifier);

  const int count = s.types[0].code;
  s.M = 0;
  for (int i = 1; i <= count; ++i) s.M = std::max(s.M, s.types[i].layers);
  s.types[0].layers = s.M;
  s.constants = ComputeSoilLayerConstants(s.types.data(), count, s.M, true, dTModLamWat);
  const int M = s.M;
  for (int k = 0; k < S::kStackCount; ++k)
    s.stacks[k] = StackMatrix(Diag(), grid_first_row, grid_last_row, ncols, M, nrows);
  s.upper_index = NewGrid();
  const bool warm_start = storageMode == 1 || storageMode == 3;
  InitialiseSnowStacks(warm_start);
  if (warm_start) {
    for (S::Stack k : {S::kTheta, S::kGeodetic, S::kHeads, S::kSolid, S::kLiquid, S::kThickness,
                       S::kDensity, S::kTemperature})
      ReadSnowStackFile(k);
    // The layers' water fluxes of the last step are state as well: the heat the water carries
    // (heat methods from 12) moves with them in the first inner step. A state written without
    // them starts them at 0, as a cold start does.
    std::string stored = s.outputs[S::kFlux].name;
    PrefixDirectory(input_directory, stored);
    if (ExistsOnRoot(stored)) {
      ReadSnowStackFile(S::kFlux);
      CheckStackCells(Diag(), stored, s.stacks[S::kFlux].get(), M, soil_zone_grid, column_ranges,
                      first_local_row, last_local_row, nodata, -kFastestFlow, kFastestFlow, "m/s",
                      BasinNodata::Refused(owner_grid, rank));
    } else {
      Diag() << "WARNING: no stack " << stored
             << " of the snow layers' water fluxes: they start at 0, as at a cold start"
             << "[end-entry]";
    }
    s.temperaturePending = false;
    // The upper snow index follows the pack read, as after the first step of a straight run
    // (cells whose pack no step touches keep it to the end).
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
        if (OwnCell(r, c))
          s.upper_index.get()[r][c] = UpperSnowIndex(s.stacks[S::kSolid].get()[r][c], M);
    });
  }
  for (int k = 0; k < S::kStackCount; ++k) {
    s.stack_index[k] = NextFreeIndex();
    RegisterGrid(s.stack_index[k], s.outputs[k].name, nullptr, s.stacks[k].get(), M,
                 kStackIdentifiers[k], s.outputs[k].code, grid_first_row, grid_last_row);
  }
  s.upper_index_entry = NextFreeIndex();
  RegisterGrid(s.upper_index_entry, s.outputs[S::kStackCount].name, s.upper_index.get(), nullptr, 0,
               "upperIndexSnow", s.outputs[S::kStackCount].code, grid_first_row, grid_last_row);
}

// A fresh pack: nodata outside the own cells; in own cells the geometry of snow type 1 above
// the soil surface at its residual water content, no water, thickness and density unknown
// until the solver fills them, and the temperatures set by the first step with heat transfer.
void unsatzonmodellklasse::InitialiseSnowStacks(bool warm_start) {
  LayeredSnowState& s = layered_snow;
  const int M = s.M;
  const SoilRecord& type = s.types[1];
  double*** soil_geodetic = stacks[kGeodeticHeads].get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      const bool own = OwnCell(r, c);
      s.upper_index.get()[r][c] = own ? M : nodata;
      for (int k = 0; k < S::kStackCount; ++k) {
        double* level = s.stacks[k].get()[r][c];
        const bool keep_nodata =
            !own || k == S::kThickness || k == S::kDensity || k == S::kTemperature;
        std::fill(level, level + M + 1, keep_nodata ? nodata : 0.0);
      }
      if (!own || warm_start) continue;
      double* geodetic = s.stacks[S::kGeodetic].get()[r][c];
      double* theta = s.stacks[S::kTheta].get()[r][c];
      double* heads = s.stacks[S::kHeads].get()[r][c];
      geodetic[M] = soil_geodetic[r][c][0];
      for (int j = M - 1; j >= 0; --j) geodetic[j] = geodetic[j + 1] + type.thickness[j + 1];
      for (int j = 1; j <= M; ++j) theta[j] = type.theta_res[j];
      for (int j = M; j >= 1; --j)
        heads[j] = 0.5 * (geodetic[j - 1] + geodetic[j]) - type.GetSuction(j, theta[j]);
      heads[0] = heads[1] + 0.5 * type.thickness[1];
    }
  });
  s.temperaturePending = true;
}

// The snow of every own cell (its solid water per layer) gets temperatures between the soil's
// top layer and the air by depth, at most 0 degC; the upper snow index follows the unbroken run
// of snow layers from the soil up (M + 1: no snow). Runs after the first soil temperatures.
void unsatzonmodellklasse::InitialiseSnowTemperatures() {
  LayeredSnowState& s = layered_snow;
  s.temperaturePending = false;
  double*** soil_temperature = Stack(kSoilTemperature);
  double** air = links.air_temperature;
  if (soil_temperature == nullptr || air == nullptr) return;
  const int M = s.M;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      double* temperature = s.stacks[S::kTemperature].get()[r][c];
      if (!OwnCell(r, c)) {
        std::fill(temperature + 1, temperature + M + 1, nodata);
        continue;
      }
      s.upper_index.get()[r][c] = InitialSnowTemperatures(
          s.stacks[S::kSolid].get()[r][c], s.stacks[S::kGeodetic].get()[r][c],
          s.stacks[S::kThickness].get()[r][c], M, soil_temperature[r][c][1], air[r][c], nodata,
          temperature);
    }
  });
}

void unsatzonmodellklasse::ReadSnowStackFile(int stack) {
  LayeredSnowState& s = layered_snow;
  const std::string& name = s.outputs[stack].name;
  double*** read = nullptr;
  const int levels = ReadStack(name, read, false);
  if (levels != s.M) {
    velorn::Free3dMatrix(read);
    ThrowFatal(Diag(), kStackLevelCode, "FATAL: wrong number of levels in stack ", name,
               " (there are ", levels, " level, it must be ", s.M);
  }
  double*** target = s.stacks[stack].get();
  for (long r = first_local_row; r <= last_local_row; ++r) {
    if (read[r] == nullptr) continue;
    for (long c = 1; c <= ncols; ++c) std::copy(read[r][c], read[r][c] + s.M + 1, target[r][c]);
  }
  velorn::Free3dMatrix(read);
}

void unsatzonmodellklasse::UnregisterLayeredSnow() {
  LayeredSnowState& s = layered_snow;
  for (int& index : s.stack_index) {
    if (index > 0) UnregisterGrid(index);
    index = 0;
  }
  if (s.upper_index_entry > 0) UnregisterGrid(s.upper_index_entry);
  s.upper_index_entry = 0;
}

}  // namespace velorn

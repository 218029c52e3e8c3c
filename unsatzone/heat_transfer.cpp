// Unsaturated zone: [heat_transfer], the grids and stacks that exist only with heat transfer,
// the lower boundary temperature and the thermal completion of the soil table.
#include <cmath>
#include <cstdio>
#include <string>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/row_loop.h"
#include "core/value_ranges.h"
#include "tables/soil_record.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void unsatzonmodellklasse::ReadHeatTransferSection() {
  if (!FindSection("[heat_transfer]", 0)) return;
  ControlFileReader& file = *control_file;
  ReadValue(file, heatTransferSwitch, "");
  if (heatTransferSwitch <= 0) return;
  ReadValue(file, heatMethod, " method of heat transfer modelling ");
  int discarded = 0;
  ReadValue(file, discarded, "");
  ReadValue(file, discarded, "");
  const std::pair<double*, const char*> parameters[] = {
      {&dTModLowBoundBase, " dTModLowBoundBase "},
      {&dTModLapseRate, " dTModLapseRate "},
      {&dTModCDrySoil, " dTModCDrySoil "},
      {&dTModRhoDrySoil, " dTModRhoDrySoil "},
      {&dTModLamDrySoil, " dTModLamDrySoil "},
      {&dTModKmin, " dTModKmin "},
      {&dTModLamWat, " dTModLamWat "},
      {&dTModLamIce, " dTModLamIce "},
      {&dTModCWater, " dTModCWater "},
      {&dTModCIce20, " dTModCIce20 "},
      {&dTModCIce0, " dTModCIce0 "},
      {&dTModLatHeat, " dTModLatHeat "},
      {&dTModRhoWater, " dTModRhoWater "},
      {&dTModFactor, " dTModFactor "},
      {&dTModSEForStat, " dTModSEForStat "},
      {&dTModShortestStep, " dTModShortestStep "},
      {&dTModLongestStep, " dTModLongestStep "},
      {&dTModNFactorFreezing, " dTModNFactorFreezing "},
      {&dTModNFactorThawing, " dTModNFactorThawing "}};
  for (const auto& [target, label] : parameters) ReadValue(file, *target, label);
  CheckHeatTransferValues();
  ReadValue(file, single_point_files[kTemperatureFile],
            "Name of the temperature-file for the control point location in ");
  ReadTwoValues(file, statistics_pairs[kStatTemper].name, statistics_pairs[kStatTemper].code,
                "name of the temperstatfiles in ");
  ReadValue(file, temper_stack_pair.name, "name of the temper-stacks in ");
  ReadValue(file, temper_stack_pair.code, "Writecode temper in ");
  ReadValue(file, thaw_depth_pair.name, "name of the thawdepth-grid (heat-tr.mod.) in ");
  ReadValue(file, thaw_depth_pair.code, "Writecode thawdepth (heat-tr.mod.) in ");
  ReadValue(file, se_stack_pair.name, "name of the SE-stack (heat-tr.mod.) in ");
  ReadValue(file, se_stack_pair.code, "Writecode SE-stack (heat-tr.mod.) in ");
  PrefixDirectory(output_directory, single_point_files[kTemperatureFile]);
}

// The reader refuses values that are no finite number; the densities, heat capacities,
// conductivities, the latent heat, the freezing curve's scale and the bounds of the internal step
// (which the heat solution searches between) must be above 0: a zero or negative one divides the
// heat budget by 0 or turns the temperatures' direction, NaN in every table. Each has an upper
// bound far beyond any soil, water or ice (a capacity of 1e308 J/(kg K) freezes every
// temperature), and the boundary, threshold and n-factor values lie in what a soil can have.
void unsatzonmodellklasse::CheckHeatTransferValues() {
  struct Positive {
    double value;
    const char* name;
    double highest;
  };
  const Positive positive[] = {{dTModCDrySoil, "dTModCDrySoil", 1e5},
                               {dTModRhoDrySoil, "dTModRhoDrySoil", 1e4},
                               {dTModLamDrySoil, "dTModLamDrySoil", 100},
                               {dTModKmin, "dTModKmin", kHighestConductivity},
                               {dTModLamWat, "dTModLamWat", 100},
                               {dTModLamIce, "dTModLamIce", 100},
                               {dTModCWater, "dTModCWater", 1e5},
                               {dTModCIce20, "dTModCIce20", 1e5},
                               {dTModCIce0, "dTModCIce0", 1e5},
                               {dTModLatHeat, "dTModLatHeat", 1e7},
                               {dTModRhoWater, "dTModRhoWater", 1e4},
                               {dTModFactor, "dTModFactor", 1000},
                               {dTModShortestStep, "dTModShortestStep", 1e6},
                               {dTModLongestStep, "dTModLongestStep", 1e6}};
  for (const auto& [value, name, highest] : positive) {
    if (!(value > 0)) {
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: error in control file, [heat_transfer]: ", name, " (", value,
                 ") must be greater than 0");
    }
    if (value > highest) {
      ThrowFatal(Diag(), kControlFileErrorCode,
                 "FATAL: error in control file, [heat_transfer]: ", name, " (", value,
                 ") must be at most ", highest);
    }
  }
  RequireRange(dTModLowBoundBase, -50, 50, "dTModLowBoundBase (degC) in ");
  RequireRange(dTModLapseRate, -1, 1, "dTModLapseRate (degC/m) in ");
  RequireRange(dTModSEForStat, 0, 1, "dTModSEForStat in ");
  RequireRange(dTModNFactorFreezing, 0, 10, "dTModNFactorFreezing in ");
  RequireRange(dTModNFactorThawing, 0, 10, "dTModNFactorThawing in ");
}

// Runs after the soil-water grids exist: the lower boundary needs the surface elevations.
void unsatzonmodellklasse::CreateHeatGrids() {
  thaw_depth_records.assign(soil_zones.size(), ZoneRecord{});
  for (std::size_t z = 0; z < soil_zones.size(); ++z) {
    thaw_depth_records[z][2] = soil_zones[z][2];
    thaw_depth_records[z][3] = soil_zones[z][3];
  }
  links.air_temperature = Required("temperature");
  double** lower_boundary = Optional("T_Lower_Boundary_Condition");
  if (lower_boundary != nullptr) lower_boundary = Required("T_Lower_Boundary_Condition");
  links.lower_boundary_flux = Optional("HeatFlux_Lower_Boundary_Condition");
  lowerBoundaryType = links.lower_boundary_flux != nullptr ? 1 : 0;
  MakeTable(statistics[kStatTemper], statistics_pairs[kStatTemper], "soil thaw depth [m] ", 5,
            thaw_depth_records);

  if (lower_boundary == nullptr) {
    MakeGrid(kLowerBoundaryTemperature, "T_Lower_Boundary_Condition", "T_Lower_Boundary_Condition",
             0, 0.0);
    double** grid = grids[kLowerBoundaryTemperature].get();
    double*** geodetic = stacks[kGeodeticHeads].get();
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (!OwnCell(r, c)) continue;
        grid[r][c] = LowerBoundaryTemperature(dTModLowBoundBase, dTModLapseRate, geodetic[r][c][0]);
      }
    });
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%.03d", rank);
    WriteGrid(std::string("T_Lower_Boundary_Condition") + suffix, grid, write_ascii, write_double,
              write_netcdf);
    lower_boundary = grid;
  }
  links.lower_boundary_temperature = lower_boundary;

  MakeStack(kSoilTemperature, temper_stack_pair.name, "Soil_Temperature_Stack",
            temper_stack_pair.code);
  const bool warm_start = storageMode == 1 || storageMode == 3;
  if (warm_start) ReadStackFile(kSoilTemperature, temper_stack_pair.name);
  // A fresh stack is filled by the first step; a stack read from its file keeps its values.
  temperatureStackPending = warm_start ? 0 : 1;
  MakeStack(kSoilSE, se_stack_pair.name, "Soil_SE_Stack", se_stack_pair.code);
  // The liquid fractions of the last step bound the first step's inner steps: a warm start
  // continues the run exactly only with them (a state written without them starts them as a
  // cold start does).
  if (warm_start) {
    std::string stored = se_stack_pair.name;
    PrefixDirectory(input_directory, stored);
    if (ExistsOnRoot(stored))
      ReadStackFile(kSoilSE, se_stack_pair.name);
    else
      Diag() << "WARNING: no stack " << stored
             << " of the liquid fractions: the first step starts them as a cold start does"
             << "[end-entry]";
  }
  // With the heat the water carries (methods from 12) the first inner step of a step moves it
  // with the water fluxes of the sub-step before: a warm start continues the run exactly only
  // with those of the last step (a state written without them starts them at 0, as a cold start
  // does).
  if (warm_start && heatMethod >= 12) {
    const std::string& name = grid_pairs[kPairQUnten].name;
    std::string stored = name;
    PrefixDirectory(input_directory, stored);
    if (ExistsOnRoot(stored)) {
      ReadStackFile(kQDown, name);
      AgreeOnFailure(Diag(), [&] {
        CheckStackCells(Diag(), name, stacks[kQDown].get(), layerCount, soil_zone_grid,
                        column_ranges, first_local_row, last_local_row, nodata, -kFastestFlow,
                        kFastestFlow, "m/s", BasinNodata::Refused(owner_grid, rank));
      });
    } else {
      Diag() << "WARNING: no stack " << stored
             << " of the water fluxes: the first step's heat moves with none, as at a cold start"
             << "[end-entry]";
    }
  }

  if (Optional("gw_k_x_1") != nullptr && Optional("gw_k_y_1") != nullptr)
    MakeGrid(kFrozenSoilInGroundwater, "frozenSoilInGroundwater", "frozenSoilInGroundwater", 0,
             0.0);
  if (Optional("gw_1_colmation_frozen") != nullptr) {
    links.colmation_frozen = Required("gw_1_colmation_frozen");
    links.colmation_unfrozen = Required("gw_1_colmation_unfrozen");
    links.colmation = Required("gw_kolmation_1");
  }
  MakeGrid(kThawDepth, thaw_depth_pair.name, "ThawDepthTMod", thaw_depth_pair.code, 0.0);
}

// Thermal defaults for soil layers without their own values, then the freezing tables.
void unsatzonmodellklasse::CompleteSoilTable() {
  const int count = soil_table[0].code;
  for (int s = 1; s <= count; ++s) {
    SoilRecord& soil = soil_table[s];
    for (int k = 1; k <= soil.layers; ++k) {
      if (soil.DryDensity[k] < 0) soil.DryDensity[k] = dTModRhoDrySoil;
      if (soil.DryHeatCapacity[k] < 0) soil.DryHeatCapacity[k] = dTModCDrySoil;
      if (soil.DryThermalConduct[k] < 0) soil.DryThermalConduct[k] = dTModLamDrySoil;
    }
    if (soil.KMinFrozenSoil < 0) {
      soil.KMinFrozenSoil = dTModKmin;
      if (dTModKmin > 0) soil.LogKMinFrozenSoil = std::log(dTModKmin);
    }
    for (int k = 1; k <= soil.layers; ++k) soil.BuildFreezingTables(k, dTModFactor);
  }
}

}  // namespace velorn

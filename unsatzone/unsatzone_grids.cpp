// Unsaturated zone: links to the grids of the other models, the zone statistics tables, the
// layer count, the grids and stacks of the model and the initial state of every soil column.
#include <algorithm>
#include <cmath>
#include <optional>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "tables/soil_record.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {
namespace {

constexpr const char* kNoFlowTimesText =
    "INFO: \n------------------------------------------------------------------------\n\nWarning! "
    "There was no flow travel time grid for surface runoff read in\nAll surface runoof will be "
    "routed immediately to the outlet of the sub-basin\n(except the effects of a linear "
    "reservoir).\nA flow travel time grid may be created by KESTRIN, writing the\nflow travel "
    "times for each grid cell to the sub basins outlet in secounds\nwhich are reclassified into "
    "model time steps in Velorn.\n\n--------------------------------------------------------------"
    "----------\n";

// The name of the immobilised-water table: "_immo" before the last "." of the SB_2_ name.
std::string ImmobilisedName(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name + "_immo";
  return name.substr(0, dot) + "_immo" + name.substr(dot);
}

}  // namespace

void unsatzonmodellklasse::LinkForeignGrids() {
  const auto layered = [&](const char* base, int from, std::vector<double**>& target) {
    target.assign(static_cast<std::size_t>(landuse_layers) + 1, nullptr);
    for (int i = from; i <= landuse_layers; ++i) target[i] = Required(FormatText("%s%d", base, i));
  };
  layered("landuse", 1, links.landuse);
  layered("root_depth", 1, links.root_depth);
  layered("vegetation_coverage_degree", 1, links.vegetation_cover);
  layered("leaf_area_index", 1, links.leaf_area);
  layered("SurfaceCanopyResistance", 1, links.canopy_resistance);
  layered("SurfaceIntercepResistance", 1, links.intercept_resistance);
  layered("RoughnessLength", 1, links.roughness);
  layered("pot_transpiration", 0, links.pot_transpiration);
  layered("real_transpiration", 0, links.real_transpiration);
  links.evaporation_resistance = Required("SurfaceEvaporationResistance");
  links.albedo = Required("albedo");
  links.potential_evaporation = Required("potential_evaporation");
  links.real_evaporation = Required("real_evaporation");
  links.slope_angle = Required("slope_angle");
  links.soil_types = Required("soil_types");
  links.elevation = Data(2);
  links.gw_storage_coefficient = Optional("gw_storage_coeff_1");
  links.gw_k_x = Optional("gw_k_x_1");
  links.gw_k_y = Optional("gw_k_y_1");
  if (pondParameter == 1) links.max_ponding_storage = Required("max_ponding_storage");
  if (drainageParameter == 1) {
    links.drainage_depth = Required("drainage_depth");
    links.drainage_distance = Required("drainage_distance");
  }
  if (clayParameter == 1) links.clay_depth = Required("clay_depth");
  links.snow_solid = Optional("snowstorage_solid");
  links.flow_times = Optional("flow_times");
  if (links.flow_times == nullptr) Diag() << kNoFlowTimesText << "[end-entry]";
  if (irrigation_configured) links.irrigation_codes = Required("irrigation_codes");
  links.direct_runoff_silting = Optional("DirectRunoffSiltingUp");
  links.surface_storage_silting = Optional("SurfStorSiltingUp");
  links.ice_firn = Optional("ice_firn");
  links.glacierized_cells = Optional("GlacierizedCells");
  links.glacier_share =
      links.glacierized_cells != nullptr ? links.glacierized_cells : links.ice_firn;
  links.glacierized_cells_old = Optional("GlacierizedCellsOld");
  links.glacier_mass_balance = Optional("GlacierMassBalance");
  if (response_unit_switch != 0) {
    links.response_units = Optional("HydrologicResponseUnits");
    links.master_response_units = Optional("MasterHydrologicResponseUnits");
  }
}

void unsatzonmodellklasse::CreateStatisticsTables() {
  struct Table {
    StatisticsPair pair;
    const char* title;
    int32_t precision;
    bool made;
  };
  const Table tables[] = {
      {kStatGWSTAND, "groundwater level [m below surface] (GWSTAND)", 5, true},
      {kStatGWN, "groundwater recharge per zone [mm] (GWN)", 5, true},
      {kStatSB1, "rel. soil moisture 0..root depth per zone ", 5, true},
      {kStatSB2, "abs. soil moisture 0..profile depth per zone ", 5, true},
      {kStatROOT, "root depth [mm per zone] ", 5, true},
      {kStatINFEX, "Infiltration excess [mm per zone]  ", 5, true},
      {kStatQD, "direct discharge [mm per Zone] (QD)", 6, true},
      {kStatQI, "Interflow [mm per zone]", 6, true},
      {kStatQB, "base flow [mm per Zone]", 6, true},
      {kStatQg, "total runoff [mm per zone] (sum of QB, QI und QD)", 6, true},
      {kStatMACRO, "macropore_infiltration_per_zone_[mm] ", 6, true},
      {kStatINFILT, "total_infiltration_per_zone_[mm] ", 6, true},
      {kStatQDRAIN, "drainage discharge [mm per zone] (QDRAIN)", 5, drainageParameter == 1},
      {kStatPOND, "ponding water storage content [mm per zone]  ", 5, pondParameter == 1},
      {kStatSUBSTEPS, "Number_of_Substeps_per_Time_Step[-] ", 6, method == 3},
  };
  for (const Table& t : tables)
    if (t.made)
      MakeTable(statistics[t.pair], statistics_pairs[t.pair], t.title, t.precision, soil_zones);
  if (links.glacier_mass_balance != nullptr) {
    const OutputPair immobilised{ImmobilisedName(statistics_pairs[kStatSB2].name),
                                 statistics_pairs[kStatSB2].code};
    MakeTable(immobilised_statistics, immobilised,
              "immobilised or mobilised soil water by glacier resizing 0..profile depth per zone ",
              5, soil_zones);
  }
}

void unsatzonmodellklasse::DetermineLayerCount() {
  const int count = soil_table[0].code;
  int layers = 0;
  for (int s = 1; s <= count; ++s) layers = std::max(layers, soil_table[s].layers);
  layerCount = layers;
  soil_table[0].layers = layers;
  if (registry->FirstFreeIndex() >= kRefusedGridIndex) NextFreeIndex();
}

void unsatzonmodellklasse::CreateGridsAndStacks() {
  const auto& p = grid_pairs;
  MakeGrid(kGroundwaterDistance, p[kPairGWSTAND].name, "groundwater_distance", p[kPairGWSTAND].code,
           0.0);
  if (pondParameter == 1)
    MakeGrid(kPondingStorage, p[kPairPOND].name, "ponding_storage", p[kPairPOND].code, 0.0);
  MakeStack(kGeodeticHeads, p[kPairHGeo].name, "geodetic_heads", p[kPairHGeo].code);
  MakeStack(kTheta, p[kPairTheta].name, "theta", p[kPairTheta].code);
  MakeStack(kHydraulicHeads, p[kPairHH].name, "hydraulic_heads", p[kPairHH].code);
  MakeGrid(kBaseflow, p[kPairDELTAGW].name, "baseflow", p[kPairDELTAGW].code, 0.0);
  MakeGrid(kGroundwaterLevel, p[kPairGWLEVEL].name, "groundwater_level", p[kPairGWLEVEL].code, 0.0);
  MakeGrid(kThetaInGwLevel, p[kPairGWTheta].name, "Theta_in_GWLEVEL", p[kPairGWTheta].code, 0.0);
  MakeStack(kQDown, p[kPairQUnten].name, "q_down", p[kPairQUnten].code);
  const std::string q_down_ext = FormatText("%s%s", "q_down", "ext");
  MakeGrid(kQDownExt, q_down_ext, q_down_ext, 0, 0.0);
  MakeGrid(kSoilMoistureRoot, p[kPairSB05].name, "SB_1_grid", p[kPairSB05].code, 0.0);
  MakeGrid(kMeanThetaInRootZone, "MeanThetaInRootZone", "MeanThetaInRootZone", 0, 0.0);
  MakeGrid(kGwTableExtern, "GWTableExtern", "GWTableExtern", 0, 0.0);
  MakeGrid(kBalance, "Balance", "Balance", 0, 0.0);
  MakeGrid(kTangensBeta, "tangens_beta", "tangens_beta", 0, 0.0);
  double** slope = links.slope_angle;
  double** tangens = grids[kTangensBeta].get();
  const double radians = solar_constants[0] / 180.0;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (OwnCell(r, c)) tangens[r][c] = slope[r][c] * radians;
  });
  MakeGrid(kSoilMoistureProfile, p[kPairSB1].name, "SB_2_grid", p[kPairSB1].code, 0.0);
  MakeGrid(kMacroporeInfiltration, p[kPairMacro].name, "macropore_infiltration", p[kPairMacro].code,
           0.0);
  if (method == 3)
    MakeGrid(kNumberOfSubsteps, substeps_grid_pair.name, "number_of_substeps",
             substeps_grid_pair.code, 0.0);
  MakeGrid(kRootGrid, p[kPairWURZ].name, "ROOTgrid", p[kPairWURZ].code, 0.0);
  MakeGrid(kGroundwaterRecharge, p[kPairGWN].name, "groundwater_recharge", p[kPairGWN].code, 0.0);
  MakeGrid(kCapillaryUprise, p[kPairUprise].name, "Capillar_Uprise", p[kPairUprise].code, 0.0);
  MakeGrid(kPercolation, p[kPairPercol].name, "Percolation", p[kPairPercol].code, 0.0);
  MakeGrid(kDirectflow, p[kPairQD].name, "directflow", p[kPairQD].code, 0.0);
  MakeGrid(kInterflow, p[kPairQI].name, "interflow", p[kPairQI].code, 0.0);
  MakeGrid(kInfiltrationExcess, p[kPairINFEX].name, "infiltration_excess", p[kPairINFEX].code, 0.0);
  MakeGrid(kTotalInfiltration, "total_infiltration", "total_infiltration", 0, 0.0);
  MakeGrid(kInfiltrationSaturation, p[kPairSatt].name, "infiltration_saturation", p[kPairSatt].code,
           0.0);
  if (drainageParameter == 1) {
    MakeGrid(kDrainageFlow, p[kPairQDRAIN].name, "drainage_flow", p[kPairQDRAIN].code, 0.0);
    MakeGrid(kDrainageLevel, "drainage_level", "drainage_level", 0, 0.0);
  }
}

void unsatzonmodellklasse::SetInitialState() {
  double*** q_down = stacks[kQDown].get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (OwnCell(r, c)) std::fill(q_down[r][c] + 1, q_down[r][c] + layerCount + 1, 0.0);
  });
  if (storageMode == 1 || storageMode == 3) {
    ReadStoredState();
  } else {
    if (storageMode == 2) {
      ReadGridFile(kGroundwaterDistance, grid_pairs[kPairGWSTAND].name, false);
      if (pondParameter == 1) ReadGridFile(kPondingStorage, grid_pairs[kPairPOND].name, false);
      CheckStoredState(false);
    }
    SetColdStartState();
    ScanGroundwaterGrids();
  }
  if (drainageParameter == 1) SetDrainageLevel();
}

void unsatzonmodellklasse::ReadStoredState() {
  ReadStackFile(kTheta, grid_pairs[kPairTheta].name);
  ReadStackFile(kGeodeticHeads, grid_pairs[kPairHGeo].name);
  ReadStackFile(kHydraulicHeads, grid_pairs[kPairHH].name);
  ReadGridFile(kGroundwaterDistance, grid_pairs[kPairGWSTAND].name);
  ReadGridFile(kGroundwaterLevel, grid_pairs[kPairGWLEVEL].name);
  ReadGridFile(kThetaInGwLevel, grid_pairs[kPairGWTheta].name);
  ReadGridFile(kBaseflow, grid_pairs[kPairDELTAGW].name);
  if (pondParameter == 1) ReadGridFile(kPondingStorage, grid_pairs[kPairPOND].name);
  CheckStoredState(true);
  RebuildLayerBoundaries();
}

// The layer boundaries are the cell's column as this run builds it: its surface, then the
// layers' thicknesses down. A stored column within the digits a state keeps of it (single
// precision keeps a quarter of a millimetre at 3000 m) is that column, rebuilt exactly: the
// boundaries' rounding would move the water table off the boundary it lies on and make the
// layers thicker or thinner than the soil table says. Other columns (a response unit's member
// carries its master's) stay as read; a state of doubles holds the built column.
int unsatzonmodellklasse::StoredColumnOff(long r, long c, double& expected) const {
  const SoilRecord& soil = CellSoil(r, c);
  const double* z = stacks[kGeodeticHeads][r][c];
  const double tolerance = 1e-5 * std::max(1.0, std::fabs(links.elevation[r][c]));
  expected = links.elevation[r][c];
  if (!(std::fabs(z[0] - expected) <= tolerance)) return 0;
  for (int k = 1; k <= CellLayers(soil); ++k) {
    expected = z[k - 1] - soil.thickness[k];
    if (!(std::fabs(z[k] - expected) <= tolerance)) return k;
  }
  return -1;
}

void unsatzonmodellklasse::RebuildLayerBoundaries() {
  double*** geodetic = stacks[kGeodeticHeads].get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      double expected = 0;
      if (!OwnCell(r, c) || StoredColumnOff(r, c, expected) >= 0) continue;
      const SoilRecord& soil = CellSoil(r, c);
      GeodeticHeads(soil, CellLayers(soil), links.elevation[r][c], geodetic[r][c]);
    }
  });
}

// The stored state over the soil zone's cells, against what the model writes there: water
// contents are shares of the volume, heads within what a soil column can carry, the layer
// boundaries on the Earth's surface or below it, the groundwater level a layer index of the
// column (it is taken as an int), base flow and pond within any water column; nodata marks the
// cells outside the zone. The groundwater distance lies at or below the surface (a table above
// the ground is none the column holds: its water would run off at once) and, in a stored state,
// not below the bottom of the cell's column, except in a column no step has computed since a
// start from the groundwater distance: that start keeps the table it reads, also below the
// column, for the first step's base flow, and leaves the groundwater level at 0 where it finds
// no saturated layer, while every step puts the level at a layer (1..N) and the table within
// the column. Such a column is that of a cell a glacier has covered whole since the start (also
// once an evaluation has uncovered it, until its next step) or of a response unit's member whose
// master is such a cell. A response unit's member is not computed: it carries its master's
// column, table depth included, which may lie below its own shallower soil, and the check at the
// master holds for it. Without `whole` only the groundwater distance and the pond, which a
// start from the groundwater distance reads. Each process checks its own rows; a failure on one
// ends every process.
void unsatzonmodellklasse::CheckStoredState(bool whole) {
  AgreeOnFailure(Diag(), [&] { CheckOwnStoredState(whole); });
}

// A stored water content above its layer's saturated content by more than this is refused: the
// column's own test of a step (soil_dump.cpp) allows the same.
constexpr double kSaturationTolerance = 0.001;

void unsatzonmodellklasse::CheckOwnStoredState(bool whole) {
  const long first = first_local_row, last = last_local_row;
  const auto stack = [&](OwnStack s, int pair, double low, double high, const char* unit) {
    CheckStackCells(Diag(), grid_pairs[pair].name, stacks[s].get(), layerCount, soil_zone_grid,
                    column_ranges, first, last, nodata, low, high, unit,
                    BasinNodata::Refused(owner_grid, rank));
  };
  const auto grid = [&](OwnGrid g, int pair, double low, double high, const char* unit) {
    CheckGridCells(Diag(), grid_pairs[pair].name, grids[g].get(), soil_zone_grid, column_ranges,
                   first, last, nodata, low, high, unit, BasinNodata::Refused(owner_grid, rank));
  };
  const double water_column = kLargestRelief * 1000.0;  // mm
  grid(kGroundwaterDistance, kPairGWSTAND, -kLargestRelief, 0, "m (below the surface)");
  if (pondParameter == 1) grid(kPondingStorage, kPairPOND, 0, water_column, "mm");
  if (!whole) return;
  stack(kTheta, kPairTheta, 0, 1, "");
  stack(kHydraulicHeads, kPairHH, -kLargestSoilHead, kLargestSoilHead, "m");
  stack(kGeodeticHeads, kPairHGeo, kLowestElevation - kLargestRelief, kHighestElevation,
        "m a.s.l.");
  grid(kGroundwaterLevel, kPairGWLEVEL, 0, layerCount + 1, "(layer index)");
  const CellOutside fraction = FirstCellOutside(
      grids[kGroundwaterLevel].get(), soil_zone_grid, column_ranges, first, last, nodata,
      [&](double level) { return level == nodata || level == std::floor(level); });
  if (fraction.found)
    ThrowFatal(Diag(), kGridFormatCode, "FATAL: grid ", grid_pairs[kPairGWLEVEL].name,
               ": the cell at row ", fraction.row, ", column ", fraction.col, " holds ",
               fraction.value, ", no layer index (a whole number)");
  grid(kThetaInGwLevel, kPairGWTheta, 0, 1, "");
  grid(kBaseflow, kPairDELTAGW, -water_column, water_column, "mm");
  double** level = grids[kGroundwaterLevel].get();
  const CellOutside deep = FirstCellOutsideAt(
      grids[kGroundwaterDistance].get(), soil_zone_grid, column_ranges, first, last, nodata,
      [&](long r, long c, double distance) {
        if (distance == nodata || !OwnCell(r, c) || level[r][c] == 0 || UnitMember(r, c))
          return true;
        const SoilRecord& soil = CellSoil(r, c);
        double depth = 0;
        for (int k = 1; k <= CellLayers(soil); ++k) depth += soil.thickness[k];
        return distance >= -depth * (1 + 1e-5);
      });
  if (deep.found)
    ThrowFatal(Diag(), kGridFormatCode, "FATAL: grid ", grid_pairs[kPairGWSTAND].name,
               ": the cell at row ", deep.row, ", column ", deep.col, " holds ", deep.value,
               " m, below the bottom of the cell's soil column");
  // With hydrologic response units a cell carries the column of its unit's master cell.
  if (response_unit_switch != 0) return;
  // Each layer's water content at most its soil's saturated content, with the tolerance of the
  // column's own test: more water than the pores hold entered no account (its excess left the
  // water balance with a residual).
  double*** contents = stacks[kTheta].get();
  const auto oversaturated = [&](long r, long c) {
    const SoilRecord& soil = CellSoil(r, c);
    for (int k = 1; k <= CellLayers(soil); ++k)
      if (!(contents[r][c][k] <= soil.theta_sat[k] + kSaturationTolerance)) return k;
    return 0;
  };
  const CellOutside wet = FirstCellOutsideAt(
      links.elevation, soil_zone_grid, column_ranges, first, last, nodata,
      [&](long r, long c, double) { return !OwnCell(r, c) || oversaturated(r, c) == 0; });
  if (wet.found) {
    const int k = oversaturated(wet.row, wet.col);
    ThrowFatal(Diag(), kGridFormatCode, "FATAL: stack ", grid_pairs[kPairTheta].name, ": level ", k,
               " of the cell at row ", wet.row, ", column ", wet.col, " holds ",
               contents[wet.row][wet.col][k], ", above the saturated water content ",
               CellSoil(wet.row, wet.col).theta_sat[k], " of the cell's soil");
  }
  // The layer boundaries are the cell's column as this run builds it (to the digits a state
  // keeps); the first level off them.
  double*** boundaries = stacks[kGeodeticHeads].get();
  const CellOutside off =
      FirstCellOutsideAt(links.elevation, soil_zone_grid, column_ranges, first, last, nodata,
                         [&](long r, long c, double) {
                           double expected = 0;
                           return !OwnCell(r, c) || StoredColumnOff(r, c, expected) < 0;
                         });
  if (off.found) {
    double expected = 0;
    const int k = StoredColumnOff(off.row, off.col, expected);
    ThrowFatal(Diag(), kGridFormatCode, "FATAL: stack ", grid_pairs[kPairHGeo].name, ": level ", k,
               " of the cell at row ", off.row, ", column ", off.col, " holds ",
               boundaries[off.row][off.col][k],
               ", where the cell's soil column has its layer "
               "boundary at ",
               expected, " m a.s.l.");
  }
}

void unsatzonmodellklasse::SetColdStartState() {
  double*** geodetic = stacks[kGeodeticHeads].get();
  double*** theta = stacks[kTheta].get();
  double*** heads = stacks[kHydraulicHeads].get();
  double** distance = grids[kGroundwaterDistance].get();
  double** elevation = links.elevation;
  const int n = layerCount;
  const int cold_g = storageMode == 2 ? 0 : ColdStartLastUnsaturatedLayer(n, iniGwLevel);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!ZoneCell(r, c)) {
        std::fill(heads[r][c] + 1, heads[r][c] + n + 1, nodata);
        continue;
      }
      if (!OwnCell(r, c)) continue;
      const SoilRecord& soil = CellSoil(r, c);
      const int layers = CellLayers(soil);
      GeodeticHeads(soil, layers, elevation[r][c], geodetic[r][c]);
      const int g = storageMode == 2
                        ? LastUnsaturatedLayerAtDistance(geodetic[r][c], layers, distance[r][c])
                        : std::min(cold_g, layers);
      HydrostaticTheta(soil, layers, geodetic[r][c], g, theta[r][c]);
      HydraulicHeads(soil, layers, geodetic[r][c], theta[r][c], heads[r][c]);
    }
  });
}

void unsatzonmodellklasse::ScanGroundwaterGrids() {
  double*** geodetic = stacks[kGeodeticHeads].get();
  double*** theta = stacks[kTheta].get();
  double** distance = grids[kGroundwaterDistance].get();
  double** level = grids[kGroundwaterLevel].get();
  double** theta_at_level = grids[kThetaInGwLevel].get();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const SoilRecord& soil = CellSoil(r, c);
      const GroundwaterScan scan =
          ScanGroundwater(soil, CellLayers(soil), geodetic[r][c], theta[r][c]);
      theta_at_level[r][c] = scan.theta_at_level;
      if (scan.level > 0) level[r][c] = scan.level;
      // Storage mode 2 keeps the distance read from its file.
      if (storageMode != 2) distance[r][c] = scan.distance;
    }
  });
}

void unsatzonmodellklasse::SetDrainageLevel() {
  double*** geodetic = stacks[kGeodeticHeads].get();
  double** level = grids[kDrainageLevel].get();
  double** depth = links.drainage_depth;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (OwnCell(r, c))
        level[r][c] = DrainageLayer(geodetic[r][c], CellLayers(CellSoil(r, c)), depth[r][c]);
  });
}

void unsatzonmodellklasse::ReadStackFile(OwnStack stack, const std::string& name) {
  double*** read = nullptr;
  const int levels = ReadStack(name, read, false);
  if (levels != layerCount) {
    velorn::Free3dMatrix(read);
    ThrowFatal(Diag(), kStackLevelCode, "FATAL: wrong number of levels in stack ", name,
               " (there are ", levels, " level, it must be ", layerCount);
  }
  double*** target = stacks[stack].get();
  for (long r = first_local_row; r <= last_local_row; ++r) {
    if (read[r] == nullptr) continue;
    for (long c = 1; c <= ncols; ++c)
      std::copy(read[r][c], read[r][c] + layerCount + 1, target[r][c]);
  }
  velorn::Free3dMatrix(read);
}

void unsatzonmodellklasse::ReadGridFile(OwnGrid grid, const std::string& name, bool state) {
  double** read = nullptr;
  std::optional<StateGridRead> of_state;
  if (state) of_state.emplace();
  ReadGrid(name, read, 0, true, true, false, 0, false, false, 0.0);
  double** target = grids[grid].get();
  for (long r = first_local_row; r <= last_local_row; ++r)
    if (read[r] != nullptr) std::copy(read[r], read[r] + ncols + 1, target[r]);
  velorn::FreeMatrix(read);
}

}  // namespace velorn

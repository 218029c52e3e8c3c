// Construction of the surface routing model: the section, the sub-step limits, the input grids,
// the own grids and stacks, the statistics tables and the plan curvature.
#include "lateral/surface_routing_model.h"

#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "grids/mpi_layout.h"
#include "lateral/surface_routing_formulas.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"
#include "version.h"

namespace velorn {

namespace {
constexpr const char* kInternalNames[kSurfStatCount] = {
    "Direct_Discharge_Surface_Routing", "Interflow_Surface_Routing", "Baseflow_Surface_Routing",
    "Total_Runoff_Surface_Routing", "Surface_Storage_in_SurfaceRouting_Module"};
constexpr int32_t kPrecisions[kSurfStatCount] = {5, 5, 5, 6, 6};
}  // namespace

surfaceroutingclass::surfaceroutingclass(const SubModelSetup& setup, int32_t sub_step_count)
    : teilmodellklasse(setup, "SurfaceRoutingModel", sub_step_count, true) {
  grid_index.fill(0);
  try {
    Construct();
  } catch (const ErrorCode& error) {
    construction_error = error.code;
  } catch (...) {
    construction_error = kForeignConstructionCode;
  }
}

surfaceroutingclass::~surfaceroutingclass() {
  if (storage_file != nullptr) std::fclose(storage_file);
}

void surfaceroutingclass::Construct() {
  if (owner_grid == nullptr) {
    if (const int regions = FindGrid("MPIRegions", 0)) owner_grid = (*registry)[regions].grid;
    if (const int helper = FindGrid("MPIHelper", 0)) strip_table = (*registry)[helper].grid;
  }
  if (GetFlowControl() == 0) return;
  const std::string stamp = VELORN_BUILD_TIME;
  const std::size_t blank = stamp.find(' ');
  Diag() << "file surfrout, compiled at " << stamp.substr(0, blank) << ", "
         << (blank == std::string::npos ? std::string() : stamp.substr(blank + 1)) << "[end-entry]";
  if (response_unit_switch != 0) {
    // Runs on hydrologic response units have no grid to route over.
    flow_control = 0;
    control_file->Close();
    return;
  }
  // Static glaciers ("ice_firn") are refused too: the glacier runoff joins the soil zone's
  // runoff, which surface routing replaces as discharge routing's input, so it never reached the
  // channels.
  if (FindGrid("GlacierizedCells", 0) != 0 || FindGrid("GlacierCodes", 0) != 0 ||
      FindGrid("ice_firn", 0) != 0) {
    ThrowFatal(Diag(), kSurfaceGlacierCode,
               "FATAL: error: Surface routing module cannot be used when glacier model is active. "
               "Remove grids for glacier codes and glaciated cell fractions from the grid list");
  }
  elevation = (*registry)[2].grid;
  int32_t layers = 1;
  if (multilayer_landuse_table != nullptr && multilayer_landuse_table[0].code > 0)
    layers = std::max(1, multilayer_landuse_table[1].LayerCount);
  landuse_layers.assign(static_cast<std::size_t>(layers) + 1, nullptr);
  coverage_layers.assign(static_cast<std::size_t>(layers) + 1, nullptr);
  for (int32_t i = 1; i <= layers; ++i)
    landuse_layers[i] = (*registry)[RequireGrid(FormatText("landuse%d", i))].grid;
  for (int32_t i = 1; i <= layers; ++i)
    coverage_layers[i] =
        (*registry)[RequireGrid(FormatText("vegetation_coverage_degree%d", i))].grid;
  soil_types = (*registry)[RequireGrid("soil_types")].grid;
  silting_storage = (*registry)[RequireGrid("SurfStorSiltingUp")].grid;
  ReadSection();
  SetUpGrids();
  SetUpStatistics();
  LinkInputGrids();
  for (auto& table : balance_records) table.assign(zone_table, zone_table + zone_count + 1);
  for (auto& table : balance_records)
    for (ZoneRecord& record : table) record[0] = record[1] = 0;
  substep_values.assign(static_cast<std::size_t>(zone_count) + 1, 0.0);
  SetInitialised(1);
}

void surfaceroutingclass::ReadSection() {
  ControlFileReader& file = *control_file;
  ReadValue(file, method, "method for flowpath-calculation ");
  if (method < 1 || method > 6) {
    ThrowFatal(Diag(), kSurfaceMethodCode,
               "FATAL: \n-----------------error------------\ninvalid method (", method,
               ") read for ", module_name, "\n");
  }
  static const char* const kStatLabels[4] = {
      "name of the statistics for direct runoff from surface routing (QDSR) ",
      "name of the statistics for interflow from surface routing (QISR) ",
      "name of the statistics for baseflow from surface routing (QBSR) ",
      "name of the statistics for total runoff from surface routing (QGSR) "};
  for (int s = 0; s < 4; ++s)
    ReadTwoValues(file, statistics_names[s], statistics_codes[s], kStatLabels[s]);
  ReadValue(file, velocity_stack_name, "name of the surface-routing-velocity-stack, ");
  ReadValue(file, velocity_write_code, "Writegrid for surface-routing-velocity-stack, ");
  ReadValue(file, fluxes_stack_name, "name of the surface-routing-fluxes-stack, ");
  ReadValue(file, fluxes_write_code, "Writegrid for surface-routing-fluxes-stack, ");
  ReadValue(file, anl_error, "maximum iteration error for A_NL [m] in ");
  ReadValue(file, anl_steps, "maximum iteration steps for A_NL in ");
  ReadValue(file, velocity_error, "maximum iteration error [m/s] for velocity in ");
  ReadValue(file, velocity_steps, "maximum iteration steps for velocity in ");
  ReadValue(file, minimum_sub_time_step, "minimum sub time step [s] in ");
  ReadValue(file, maximum_sub_time_step, "maximum sub time step [s] in ");
  ReadValue(file, minimum_flow_depth,
            "minimum flow depth to take into account the roughness of the crops [m] in ");
  ReadValue(file, concentration_factor, "Concentration factor [1/1] in ");
  CheckIterationValues();
  FitSubStepLimits();
  ReadValue(file, storage_read_control, "read control parameter for storage grids for ");
  // 1: the tracers' concentration in the water on the surface is read back from the grids a run
  // wrote at its end (the water itself is the grid "SurfStorSiltingUp", read with its own code).
  grid_read_parameter = storage_read_control == 1 ? 1 : 0;
  // The last line is optional: without a name and a code the table stays inactive.
  std::string name;
  int code = 0;
  if (file.Read(name) && file.Read(code)) {
    statistics_names[kStatStorage] = name;
    statistics_codes[kStatStorage] = code;
  } else {
    statistics_names[kStatStorage].clear();
    statistics_codes[kStatStorage] = 0;
  }
  file.Close();
}

// Each iteration runs per cell and inner step: its tolerance lies at or above 0 and its passes
// are bounded, so that no tolerance nor count can stall a run.
void surfaceroutingclass::CheckIterationValues() {
  constexpr double kMostPasses = 10000;
  RequireRange(anl_error, 0, kLargestRelief, "maximum iteration error for A_NL [m] in ");
  RequireRange(anl_steps, 0, kMostPasses, "maximum iteration steps for A_NL in ");
  RequireRange(velocity_error, 0, kFastestFlow, "maximum iteration error [m/s] for velocity in ");
  RequireRange(velocity_steps, 0, kMostPasses, "maximum iteration steps for velocity in ");
  RequireRange(minimum_flow_depth, 0, kLargestRelief,
               "minimum flow depth to take into account the roughness of the crops [m] in ");
  RequireRange(concentration_factor, 0, 1000, "Concentration factor [1/1] in ");
}

void surfaceroutingclass::FitSubStepLimits() {
  const double t = time_interval / sub_step_count * 60.0;
  const double longest = FitSubStepLimit(maximum_sub_time_step, t);
  if (longest != maximum_sub_time_step) {
    Diag() << "INFO: longest allowed subtimestep changed from " << maximum_sub_time_step << " to "
           << longest << ". Must be integer fraction of time step in seconds.[end-entry]";
    maximum_sub_time_step = longest;
  }
  const double shortest = FitSubStepLimit(minimum_sub_time_step, t);
  if (shortest != minimum_sub_time_step) {
    Diag() << "WARNING: shortest allowed subtimestep changed from " << minimum_sub_time_step
           << " to " << shortest
           << ". Must be integer fraction of time step in seconds.[end-entry]";
    minimum_sub_time_step = shortest;
  }
}

void surfaceroutingclass::LinkInputGrids() {
  directflow = (*registry)[RequireGrid("directflow")].grid;
  interflow = (*registry)[RequireGrid("interflow")].grid;
  river_depth = (*registry)[RequireGrid("river_depth")].grid;
  river_width = (*registry)[RequireGrid("river_width")].grid;
  river_links = (*registry)[RequireGrid("river_links")].grid;
  CheckChannelGrids(Diag(), river_width, river_depth, zone_grid, column_ranges, first_local_row,
                    last_local_row, nodata);
  if (const int index = FindGrid("flow_times", 0)) {
    flow_times = (*registry)[index].grid;
    const GridEntry& entry = (*registry)[index];
    flow_times_file = entry.file_name ? *entry.file_name : std::string("flow_times");
  }
  if (FindGrid("RelCellArea", 0) != 0) {
    cell_size_x = (*registry)[RequireGrid("CellSizeX")].grid;
    cell_size_y = (*registry)[RequireGrid("CellSizeY")].grid;
  }
}

bool surfaceroutingclass::OwnCell(int64_t row, int64_t column) const {
  if (zone_grid == nullptr || zone_grid[row] == nullptr || IsNodata(zone_grid[row][column], nodata))
    return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

int32_t surfaceroutingclass::ZoneIndexOf(int64_t row, int64_t column) const {
  return zone_code_index[static_cast<int64_t>(zone_grid[row][column])];
}

int surfaceroutingclass::NextFreeIndex() {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode,
               "FATAL: no free grid anymore, allowed number of grids is ", kRefusedGridIndex, "!");
  return index;
}

void surfaceroutingclass::FillGrid(double** grid, double own, double other) const {
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) grid[r][c] = OwnCell(r, c) ? own : other;
  });
}

int surfaceroutingclass::RegisterOwnGrid(int index, SurfaceGrid which,
                                         const std::string& identifier, bool halo, double own,
                                         double other) {
  const int32_t first = halo ? held_first_row : first_local_row;
  const int32_t last = halo ? held_last_row : last_local_row;
  own_grids.emplace_back(Diag(), first, last, ncols, nrows);
  double** grid = own_grids.back().get();
  grid_data[which] = grid;
  grid_index[which] = index;
  RegisterGrid(index, "", grid, nullptr, 0, identifier, 0, first, last);
  FillGrid(grid, own, other);
  return index + 1;
}

int surfaceroutingclass::RegisterOwnStack(int index, SurfaceGrid which,
                                          const std::string& identifier,
                                          const std::string& file_name, int32_t write_code,
                                          bool halo, int levels, double other) {
  const int32_t first = halo ? held_first_row : first_local_row;
  const int32_t last = halo ? held_last_row : last_local_row;
  own_stacks.emplace_back(Diag(), first, last, ncols, kSurfaceStackLevels, nrows);
  own_grids.emplace_back(Diag(), first, last, ncols, nrows);
  double*** stack = own_stacks.back().get();
  stack_data[which] = stack;
  grid_data[which] = own_grids.back().get();
  grid_index[which] = index;
  RegisterGrid(index, file_name, grid_data[which], stack, kSurfaceStackLevels, identifier,
               write_code, first, last);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      const double value = OwnCell(r, c) ? 0.0 : other;
      for (int level = 0; level <= levels; ++level) stack[r][c][level] = value;
    }
  });
  return index + 1;
}

double surfaceroutingclass::ManningCoefficient(int64_t row, int64_t column) const {
  for (std::size_t layer = landuse_layers.size() - 1; layer >= 1; --layer) {
    const int32_t code = static_cast<int32_t>(landuse_layers[layer][row][column]);
    if (code == -9999) continue;
    const int32_t count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
    if (code < 1 || code > count)
      ThrowFatal(Diag(), kSurfaceNoLanduseCode, "FATAL: land use ", code, " in grid ",
                 FormatText("landuse%d", static_cast<int>(layer)), " (row ", row, ", column ",
                 column, ")\nis not present in the land use table in the control file");
    return landuse_table[code].GetK_ST();
  }
  ThrowFatal(Diag(), kSurfaceNoLanduseCode, "FATAL: cell (row ", row, ", column ", column,
             ") of the surface routing model has no land use in any land-use layer");
}

void surfaceroutingclass::SetUpGrids() {
  const HeldRows held = HeldRowsOf(first_local_row, last_local_row, nrows);
  held_first_row = held.first;
  held_last_row = held.last;
  int index = NextFreeIndex();
  index = RegisterOwnStack(index, kSurfVelocity, "SurfaceRoutingVelocity", velocity_stack_name,
                           velocity_write_code, true, 9, nodata);
  index = RegisterOwnStack(index, kSurfFluxes, "SurfaceRoutingFluxes", fluxes_stack_name,
                           fluxes_write_code, true, 9, nodata);
  MPIExchangeStackHalo(grid_index[kSurfFluxes], 0, stack_data[kSurfFluxes]);
  index = RegisterOwnStack(index, kSurfWeights, "SurfaceRoutingWeights", "", 0, false, 7, nodata);
  const struct {
    SurfaceGrid which;
    const char* identifier;
    double own, other;
  } plain[] = {{kSurfHead, "SurfaceRoutingHead", 0.0, nodata},
               {kSurfHeadOld, "SurfaceRoutingHeadOld", 0.0, nodata},
               {kSurfRoughnessX, "SurfaceRoutingRoughnessX", 10.0, 0.0},
               {kSurfRoughnessY, "SurfaceRoutingRoughnessY", 10.0, 0.0},
               {kSurfManning, "SurfaceRoutingManningCoeff", 0.0, 0.0}};
  for (const auto& g : plain) {
    index = RegisterOwnGrid(index, g.which, g.identifier, true, g.own, g.other);
    if (g.which == kSurfManning) {
      double** manning = grid_data[kSurfManning];
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c)
          if (OwnCell(r, c)) manning[r][c] = ManningCoefficient(r, c);
      });
    }
    MPIExchangeGridHalo(grid_index[g.which], grid_data[g.which]);
  }
  const struct {
    SurfaceGrid which;
    const char* identifier;
    bool halo;
    double own, other;
  } found_or_made[] = {{kSurfPlanCurvature, "Plancurvature", true, 0.0, nodata},
                       {kSurfInflow, "SurfaceRoutingQIn", false, 0.0, nodata},
                       {kSurfOutflow, "SurfaceRoutingQOut", false, 0.0, nodata},
                       {kSurfCriticalShear, "CriticalShearStress", false, 0.9, nodata}};
  for (const auto& g : found_or_made) {
    if (const int found = FindGrid(g.identifier, 0)) {
      grid_index[g.which] = -found;
      grid_data[g.which] = (*registry)[found].grid;
      continue;
    }
    index = RegisterOwnGrid(index, g.which, g.identifier, g.halo, g.own, g.other);
    if (g.which == kSurfPlanCurvature) {
      ComputePlanCurvature();
      MPIExchangeGridHalo(grid_index[g.which], grid_data[g.which]);
    }
  }
}

void surfaceroutingclass::ComputePlanCurvature() {
  double** curvature = grid_data[kSurfPlanCurvature];
  if (curvature == nullptr || elevation == nullptr) return;
  const auto have = [&](long r) { return r >= 1 && r <= nrows && elevation[r] != nullptr; };
  // Every held row is computed, so the fill of a strip's border sees what one process would see.
  const long first = std::max<long>(held_first_row, 2);
  const long last = std::min<long>(held_last_row, nrows - 1);
  for (long r = held_first_row; r <= held_last_row; ++r)
    for (long c = 1; c <= ncols; ++c) curvature[r][c] = nodata;
  ForEachRow(first, last, [&](long r) {
    if (!have(r - 1) || !have(r) || !have(r + 1)) return;
    for (long c = 2; c <= ncols - 1; ++c) {
      double z[3][3];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) z[i][j] = elevation[r - 1 + i][c - 1 + j];
      curvature[r][c] = PlanCurvature(z, cellsize, nodata);
    }
  });
  // The fill is sequential: cells filled earlier count as valid for later ones.
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = 1; c <= ncols; ++c)
      if (IsNotNodata(elevation[r][c], nodata) &&
          (owner_grid == nullptr || owner_grid[r][c] == static_cast<double>(rank)) &&
          curvature[r][c] == nodata)
        FillFromNeighbours(r, c, curvature);
}

void surfaceroutingclass::FillFromNeighbours(int64_t row, int64_t column, double** matrix) {
  double sum = 0;
  int count = 0;
  for (int64_t r = row - 1; r <= row + 1; ++r) {
    if (r < 1 || r > nrows || matrix[r] == nullptr) continue;
    for (int64_t c = column - 1; c <= column + 1; ++c) {
      if (c < 1 || c > ncols || (r == row && c == column)) continue;
      if (matrix[r][c] == nodata) continue;
      sum += matrix[r][c];
      ++count;
    }
  }
  if (count > 0) matrix[row][column] = sum / count;
}

void surfaceroutingclass::SetUpStatistics() {
  for (int s = 0; s < kSurfStatCount; ++s) {
    statistics_records[s].assign(zone_table, zone_table + zone_count + 1);
    for (ZoneRecord& record : statistics_records[s]) record[0] = record[1] = 0;
    int error = 0;
    statistics[s] = std::make_unique<zonalstatistic>(
        error, diag, relative_cell_area, nrows, ncols, statistics_records[s].data(), zone_count,
        statistics_codes[s], kPrecisions[s], statistics_names[s], output_directory,
        output_list_count, output_list_codes);
    if (error != 0) throw ErrorCode{error};
    statistics[s]->WriteHeader(module_name, kInternalNames[s], zone_statistics,
                               zone_statistics_capacity);
  }
}

}  // namespace velorn

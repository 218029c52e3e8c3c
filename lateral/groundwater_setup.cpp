// gwflowclass set-up: the section [groundwater_flow] and [groundwater_tuning], the input grids,
// layer 1's thickness from the soil profile, the working grids of every layer, the start heads
// and the control point file.
//
// Codes: 8 and 9 (control cell outside the grid, or only one of row and column 0), 11 (closing),
// 12 (no free registry entry), 17 (a value of the section, or alpha 0 without storage), 28
// (reopening the control file), 33 (a grid missing), 62 (control point file).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "grids/mpi_layout.h"
#include "lateral/groundwater_model.h"
#include "tables/soil_record.h"

namespace velorn {
namespace {

// ("name.asc", "_old") -> "name_old.asc"; ("name", "_old") -> "name_old".
std::string SuffixedFileName(const std::string& name, const char* suffix) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

}  // namespace

gwflowclass::gwflowclass(int32_t& error, const SubModelSetup& setup)
    : teilmodellklasse(setup, "groundwater_flow") {
  error = 0;
  if (GetFlowControl() == 0) return;
  if (response_unit_switch != 0) {
    // The groundwater flow is a cell-to-cell model: with response units it stays off, and so
    // needs none of the soil zone's grids.
    flow_control = 0;
    control_file->Close();
    Diag() << "WARNING: " << module_name
           << ": hydrologic response units are on, so the groundwater model is switched off "
              "although [groundwater_flow] switches it on"
           << "[end-entry]";
    return;
  }
  if (owner_grid == nullptr) {
    if (const int regions = registry->FindIdentifier("MPIRegions"))
      owner_grid = (*registry)[regions].grid;
    if (const int helper = registry->FindIdentifier("MPIHelper"))
      strip_table = (*registry)[helper].grid;
  }
  Diag() << "file gwflow, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  ReadSection();
  ReadTuning();
  TakeGrids();
  CheckAquiferGrids();
  SetLayerOneThickness();
  SetStartHeads();
  MakeWorkingGrids();
  CheckFixedHeads();
  CheckExplicitStorage();
  cell_width = cellsize;
  cell_height = cellsize;
  CreateControlPointFile();
  MakeAccountGrids();
  initialised = 0;
  ReadLakeSection("[lake_model]");
}

void gwflowclass::ReadSection() {
  ControlFileReader& file = *control_file;
  ReadValue(file, method, "method in ");
  ReadValue(file, maxiter, "maxiter in ");
  ReadValue(file, maxerror_allowed, "maxerror_allowed in ");
  ReadValue(file, alpha, "alpha in ");
  ReadValue(file, sor_parameter, "sor-parameter in ");
  adaptive = sor_parameter <= 0;
  CheckSolverValues();
  ReadValue(file, grid_read_parameter, "grid read parameter in ");
  ReadValue(file, layer_count, "number of layers in ");
  if (layer_count < 1 || layer_count > 9) {
    // The layer number takes one digit in the tracer file names.
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: in modul ", module_name,
               ":\nnumber of layers (", layer_count, ") must be between 1 and 9");
  }
  if (alpha < 0 || alpha > 1) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: in modul ", module_name, ":\nalpha (", alpha,
               ") must be between 0 and 1");
  }
  ReadTwoValues(file, control_row, control_column,
                "control_row/column for control point fluxes in ");
  ReadValue(file, control_point_file, "name of the control point file  ");
  PrefixDirectory(output_directory, control_point_file);
  // Row and column are both 0 (no control point) or both inside the grid.
  if (control_row < 0 || control_row > nrows || (control_row == 0 && control_column != 0)) {
    ThrowFatal(Diag(), kGwControlRowCode, "FATAL: in modul ", module_name, ":\n", "row index (",
               control_row, ") for output-cell must be between ", 1, " and ", nrows,
               " (Input as row col) or 0 0 ");
  }
  if (control_column < 0 || control_column > ncols || (control_row > 0 && control_column == 0)) {
    ThrowFatal(Diag(), kGwControlColumnCode, "FATAL: in modul ", module_name, ":\n",
               "column index (", control_column, ") for output-cell must be between ", 1, " and ",
               ncols, " (Input as row col) ");
  }
  ReadPondFlag();
  layers.clear();
  layers.resize(static_cast<std::size_t>(layer_count) + 1);
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    ReadValue(file, layer.heads_name, "name of grid with hydraulic heads in ");
    ReadValue(file, layer.heads_code, "Writegrid (hydraulic heads) in ");
    ReadValue(file, layer.tx_name, "name of grid with x-transmissivities in ");
    ReadValue(file, layer.tx_code, "Writegrid x-transmissivities in ");
    ReadValue(file, layer.ty_name, "name of grid with y-transmissivities in ");
    ReadValue(file, layer.ty_code, "Writegrid y-transmissivities in ");
    ReadValue(file, layer.balance_name, "name of grid with balances in ");
    ReadValue(file, layer.balance_code, "Writegrid balances in ");
    // The grid names stay bare: the grid writer puts the output directory in front of them
    // and the reader of the start heads the state directory.
  }
  control_file->Close();
}

// One character at the start of the line after the control point file name: '1' ponding
// wanted, '0' none; either way the rest of that line is a comment. Any other character means
// the flag is absent and the line is read as the first heads file name.
void gwflowclass::ReadPondFlag() {
  ControlFileReader& file = *control_file;
  const ControlFileReader::Position start = file.Tell();
  const std::string line = file.RestOfLine();
  const char flag = line.empty() ? '\n' : line[0];
  if (flag == '1') {
    pond_flag = 1;
    ponding_index = registry->FindIdentifier("ponding_storage");
    use_ponding = ponding_index > 0;
    if (use_ponding) {
      ponding = (*registry)[ponding_index].grid;
      Diag() << "INFO: in modul " << module_name << ": Use-Pond-Flag is " << 1
             << "\n POND-Grid was found --> PONDs will be used in GW-Model[end-entry]";
    } else {
      Diag() << "INFO: in modul " << module_name << ": Use-Pond-Flag is " << 1
             << "\n POND-Grid was not found --> no PONDs will be used in GW-Model[end-entry]";
    }
  } else if (flag == '0') {
    pond_flag = 0;
    Diag() << "INFO: in modul " << module_name << ": Use-Pond-Flag is " << 0
           << "; --> no PONDs will be used in GW-Model[end-entry]";
  } else {
    file.Seek(start);
    Diag() << "INFO: in modul " << module_name
           << ": no POND-Grid will be used because Use-Pond-Flag is not present[end-entry]";
  }
}

// [groundwater_tuning]: lines up to an empty line (blank, with or without a carriage return),
// the next section or the end of the file; "frozenDepthScaling = <value>".
void gwflowclass::ReadTuning() {
  ControlFileReader file;
  if (!file.Open(control_file_name, diag)) {
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  }
  if (!file.FindHeader("[groundwater_tuning]")) return;
  while (true) {
    const std::size_t before = file.Tell().line;
    std::string line = file.RestOfLine();
    if (file.Tell().line == before) break;  // end of the file
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) break;  // an empty line ends the section
    line.erase(0, first);
    if (line[0] == '[') break;
    if (!Contains(line, "frozenDepthScaling")) continue;
    const std::size_t equals = line.find('=');
    std::size_t pos = equals == std::string::npos ? line.size() : equals + 1;
    double value = 0;
    if (!ScanValue(line, pos, value)) {
      ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: in modul ", module_name,
                 ": [groundwater_tuning] holds no number for frozenDepthScaling: ", line);
    }
    RequireRange(value, 0, 1000, "frozenDepthScaling of [groundwater_tuning] for ");
    frozen_depth_scaling = value;
  }
}

// Sweeps stop after maxiter (1 to kMostSweeps) or once no head changes by more than
// maxerror_allowed (above 0, at most any relief); over-relaxation diverges from a factor of 2 on.
void gwflowclass::CheckSolverValues() {
  RequireRange(maxiter, 1, kMostSweeps, "maxiter in ");
  if (!(maxerror_allowed > 0 && maxerror_allowed <= kLargestRelief)) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, maxerror_allowed in ",
               module_name, " is ", FormatText("%g", maxerror_allowed),
               ", it must lie above 0 and at most ", FormatText("%g", kLargestRelief), " m");
  }
  if (!(sor_parameter < 2)) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, sor-parameter in ",
               module_name, " is ", FormatText("%g", sor_parameter),
               ", it must lie below 2 (0 or below: an adaptive factor)");
  }
}

// The aquifer grids over the basin cells: thickness of the layers below the soil profile up to
// any relief, conductivities up to the fastest karst, storage coefficients as shares of the
// volume, leakage coefficients up to 1/s (a clogging layer of the fastest conductivity 10 m
// thick) and fixed inflows up to the largest rate water enters or leaves a surface; nodata
// passes where the model reads it as "none".
void gwflowclass::CheckAquiferGrids() {
  const double fastest_inflow = kHighestWaterRate / 3.6e6;  // m/s
  const auto check = [&](const char* name, int l, double** grid, double low, double high,
                         const char* unit) {
    CheckGridCells(Diag(), FormatText("%s%d", name, l), grid, zone_grid, column_ranges,
                   first_local_row, last_local_row, nodata, low, high, unit,
                   BasinNodata::Allowed());
  };
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    if (l > 1) check("aquifer_thickness_", l, layer.thickness, 0, kLargestRelief, "m");
    check("gw_k_x_", l, layer.kx, 0, kHighestConductivity, "m/s");
    check("gw_k_y_", l, layer.ky, 0, kHighestConductivity, "m/s");
    check("gw_storage_coeff_", l, layer.storage, 0, 1, "");
    check("gw_boundary_fix_q_", l, layer.fixed_inflow, -fastest_inflow, fastest_inflow, "m/s");
    if (l < layer_count) check("gw_kolmation_", l, layer.kolmation, 0, 1, "1/s");
  }
}

void gwflowclass::TakeGrids() {
  const auto data = [&](int index) { return index > 0 ? (*registry)[index].grid : nullptr; };
  // Every look-up goes by identifier over all named entries: the soil zone and the models after
  // it register their grids behind stacks, where a search for grids only stops.
  for (const char* name : {"groundwater_distance", "groundwater_recharge", "baseflow"}) {
    if (registry->FindIdentifier(name) == 0) {
      ThrowFatal(Diag(), kGridMissingCode, "FATAL: in modul ", module_name, ": the grid ", name,
                 " is not in memory: the unsaturated-zone model ([unsatzon_model]) provides it, "
                 "or it must be given as a grid of its own");
    }
  }
  elevation_index = RequireGrid("[elevation_model]");
  elevation = data(elevation_index);
  RequireGrid("groundwater_recharge");
  distance_index = RequireGrid("groundwater_distance");
  groundwater_distance = data(distance_index);
  soil_types = data(RequireGrid("soil_types"));
  baseflow_index = RequireGrid("baseflow");
  baseflow = data(baseflow_index);
  if (relative_cell_area != nullptr) {
    cell_size_x = data(RequireGrid("CellSizeX"));
    cell_size_y = data(RequireGrid("CellSizeY"));
  }
  if (const int g = registry->FindIdentifier("GlacierizedCells")) {
    glacier = data(g);
  } else if (const int ice = registry->FindIdentifier("ice_firn")) {
    glacier = data(ice);
  }
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    layer.thickness_index = RequireGrid(FormatText("aquifer_thickness_%d", l));
    layer.thickness = data(layer.thickness_index);
    layer.kx = data(RequireGrid(FormatText("gw_k_x_%d", l)));
    layer.ky = data(RequireGrid(FormatText("gw_k_y_%d", l)));
    layer.storage = data(RequireGrid(FormatText("gw_storage_coeff_%d", l)));
    layer.fixed_head = data(RequireGrid(FormatText("gw_boundary_fix_h_%d", l)));
    layer.fixed_inflow = data(RequireGrid(FormatText("gw_boundary_fix_q_%d", l)));
    if (l < layer_count) layer.kolmation = data(RequireGrid(FormatText("gw_kolmation_%d", l)));
  }
  if (registry->FindIdentifier("PermafrostThawDepth") > 0 &&
      registry->FindIdentifier("SnowFreeDaysGrid") > 0 &&
      registry->FindIdentifier("ThawCoeffPermaFrost") > 0) {
    thaw_index = registry->FindIdentifier("PermafrostThawDepth");
    thaw_depth = data(thaw_index);
  } else if (registry->FindIdentifier("ThawDepthTMod") > 0) {
    thaw_index = registry->FindIdentifier("ThawDepthTMod");
    thaw_depth = data(thaw_index);
    frozen_index = RequireGrid("frozenSoilInGroundwater");
    frozen_soil = data(frozen_index);
  }
  if (registry->FindIdentifier("SurfStorSiltingUp") > 0 &&
      registry->FindIdentifier("DirectRunoffSiltingUp") == 0)
    silting_storage = data(registry->FindIdentifier("SurfStorSiltingUp"));
}

// Layer 1 is the soil profile: its thickness is the profile depth of the cell's soil type.
void gwflowclass::SetLayerOneThickness() {
  double** thickness = layers[1].thickness;
  const int32_t soil_count = soil_table != nullptr ? soil_table[0].code : 0;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = 1; c <= ncols; ++c) {
      if (!Owns(r, c) || !ValidReference(r, c)) continue;
      const auto s = static_cast<long>(soil_types[r][c]);
      const bool valid =
          thickness[r][c] > nodata && soil_types[r][c] > nodata && s >= 1 && s <= soil_count;
      thickness[r][c] = valid ? soil_table[s].TotalDepth : nodata;
    }
  });
  MPIExchangeGridHalo(layers[1].thickness_index, nullptr);
}

double gwflowclass::StartHead(long r, long c) const {
  const double distance = groundwater_distance[r][c];
  double h = elevation[r][c] + distance;
  if (std::fabs(distance) < 0.001) {
    if (use_ponding) {
      h += ponding[r][c] / 1000.0;
    } else if (silting_storage != nullptr && silting_storage[r][c] > 0) {
      h += silting_storage[r][c] / 1000.0;
    }
  }
  return h;
}

int64_t gwflowclass::HeldFirst() const {
  return HeldRowsOf(first_local_row, last_local_row, nrows).first;
}
int64_t gwflowclass::HeldLast() const {
  return HeldRowsOf(first_local_row, last_local_row, nrows).last;
}

GridMatrix gwflowclass::NewHeldGrid() const {
  GridMatrix grid(*diag, HeldFirst(), HeldLast(), ncols, nrows);
  for (int64_t r = HeldFirst(); r <= HeldLast(); ++r)
    std::fill(grid[r], grid[r] + ncols + 1, nodata);
  return grid;
}

GridMatrix gwflowclass::NewOwnGrid() const {
  GridMatrix grid(*diag, first_local_row, last_local_row, ncols, nrows);
  for (int64_t r = first_local_row; r <= last_local_row; ++r)
    std::fill(grid[r], grid[r] + ncols + 1, nodata);
  return grid;
}

int gwflowclass::RegisterNext(const std::string& file_name, double** grid,
                              const std::string& identifier, int32_t write_code, bool held) {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex) {
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid (gridmaxanzahl must be larger than ",
               kRefusedGridIndex, ")!\n");
  }
  RegisterGrid(index, file_name, grid, nullptr, 0, identifier, write_code,
               held ? HeldFirst() : first_local_row, held ? HeldLast() : last_local_row);
  return index;
}

void gwflowclass::SetStartHeads() {
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    layer.head = NewHeldGrid();
    layer.head_old = NewHeldGrid();
    const std::string old_name = SuffixedFileName(layer.heads_name, "_old");
    layer.solute_water_name = SuffixedFileName(layer.heads_name, "_solute_water");
    if (l == 1) account_storage_name = SuffixedFileName(layer.heads_name, "_account_storage");
    if (grid_read_parameter == 1) {
      double** head = layer.head.get();
      double** head_old = layer.head_old.get();
      const StateGridRead start(StateGridKind::kStartGrid);
      ReadGrid(layer.heads_name, head, 0, false, true, false, 0, false, true, 0.0);
      ReadGrid(old_name, head_old, 0, false, true, false, 0, false, true, 0.0);
      // A cell of the basin needs a head: nodata would enter the sweeps as a head of -9999 m.
      for (long r = first_local_row; r <= last_local_row; ++r)
        for (long c = 1; c <= ncols; ++c)
          if (Owns(r, c) && ValidReference(r, c) &&
              (IsNodata(head[r][c], nodata) || IsNodata(head_old[r][c], nodata)))
            ThrowFatal(Diag(), kGridFormatCode, "FATAL: in modul ", module_name,
                       ": the start heads of layer ", l, " (", layer.heads_name, " or ", old_name,
                       ") hold no value at row ", r, ", column ", c, ", a cell of the basin");
    } else {
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = 1; c <= ncols; ++c) {
          if (!Owns(r, c) || !ValidReference(r, c)) continue;
          layer.head[r][c] = StartHead(r, c);
          layer.head_old[r][c] = layer.head[r][c];
        }
      });
    }
    layer.head_index = RegisterNext(layer.heads_name, layer.head.get(), FormatText("gw_head_%d", l),
                                    layer.heads_code, true);
    MPIExchangeGridHalo(layer.head_index, nullptr);
    layer.head_old_index = RegisterNext(old_name, layer.head_old.get(),
                                        FormatText("gw_head_old_%d", l), layer.heads_code, true);
    MPIExchangeGridHalo(layer.head_old_index, nullptr);
  }
}

void gwflowclass::MakeWorkingGrids() {
  for (int l = 1; l <= layer_count; ++l) {
    GwLayer& layer = layers[l];
    layer.head_old_old = NewHeldGrid();
    layer.previous = NewOwnGrid();
    for (GridMatrix* grid :
         {&layer.tx, &layer.ty, &layer.flow_x, &layer.flow_y, &layer.upper_limit})
      *grid = NewHeldGrid();
    layer.balance = NewOwnGrid();
    layer.leakage = NewOwnGrid();
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c) || !ValidReference(r, c)) continue;
        layer.head_old_old[r][c] = layer.head[r][c];
        layer.previous[r][c] = layer.head[r][c];
        // A first value for the output before the first sub-step recomputes it.
        layer.tx[r][c] = (layer.thickness[r][c] + groundwater_distance[r][c]) * layer.kx[r][c];
        layer.ty[r][c] = (layer.thickness[r][c] + groundwater_distance[r][c]) * layer.ky[r][c];
        for (GridMatrix* grid : {&layer.flow_x, &layer.flow_y, &layer.balance, &layer.leakage})
          (*grid)[r][c] = 0;
        layer.upper_limit[r][c] =
            l == 1 ? elevation[r][c]
                   : layers[l - 1].upper_limit[r][c] - layers[l - 1].thickness[r][c];
      }
    });
    const auto id = [l](const char* prefix) { return FormatText("%s%d", prefix, l); };
    layer.head_old_old_index = RegisterNext(id("gw_head_old_old_"), layer.head_old_old.get(),
                                            id("gw_head_old_old_"), 0, true);
    layer.tx_index = RegisterNext(id("gw_transmissivity_x_"), layer.tx.get(),
                                  id("gw_transmissivity_x_"), 0, true);
    layer.ty_index = RegisterNext(id("gw_transmissivity_y_"), layer.ty.get(),
                                  id("gw_transmissivity_y_"), 0, true);
    layer.flow_x_index =
        RegisterNext(layer.tx_name, layer.flow_x.get(), id("gw_flow_x_"), layer.tx_code, true);
    layer.flow_y_index =
        RegisterNext(layer.ty_name, layer.flow_y.get(), id("gw_flow_y_"), layer.ty_code, true);
    layer.balance_index = RegisterNext(layer.balance_name, layer.balance.get(), id("gw_balance"),
                                       layer.balance_code, false);
    layer.leakage_index =
        RegisterNext(id("gw_leakage_"), layer.leakage.get(), id("gw_leakage_"), 0, false);
    layer.upper_limit_index = RegisterNext(id("aquifer_upper_limit"), layer.upper_limit.get(),
                                           id("aquifer_upper_limit"), 0, true);
    for (int index : {layer.head_old_old_index, layer.tx_index, layer.ty_index, layer.flow_x_index,
                      layer.flow_y_index, layer.upper_limit_index})
      MPIExchangeGridHalo(index, nullptr);
  }
  outflow_share = NewHeldGrid();
  for (int64_t r = HeldFirst(); r <= HeldLast(); ++r)
    std::fill(outflow_share[r], outflow_share[r] + ncols + 1, 1.0);
  outflow_share_index =
      RegisterNext("gw_outflow_share_1", outflow_share.get(), "gw_outflow_share_1", 0, true);
}

// The explicit scheme (alpha 0) divides by the storage term alone: every active cell needs a
// storage coefficient above 0 in its layer and in layer 1 (which serves a layer below its top).
void gwflowclass::CheckExplicitStorage() {
  if (alpha != 0 || method != 1) return;
  for (int l = 1; l <= layer_count; ++l) {
    for (long r = first_local_row; r <= last_local_row; ++r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c) || !ValidReference(r, c) || GlacierShare(r, c) >= 1) continue;
        for (int k : {l, 1}) {
          if (layers[k].storage[r][c] > 0) continue;
          ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: in modul ", module_name,
                     ": alpha 0 (explicit scheme) needs a storage coefficient above 0 on every "
                     "active cell, but gw_storage_coeff_",
                     k, " is ", layers[k].storage[r][c], " at row ", r, ", column ", c);
        }
      }
    }
  }
}

// A fixed head below the bottom of its layer would drain water the layer cannot hold, and the
// account of the boundary would no longer close: refused at set-up, naming the cell.
void gwflowclass::CheckFixedHeads() {
  for (int l = 1; l <= layer_count; ++l) {
    const GwLayer& layer = layers[l];
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (long c = 1; c <= ncols; ++c) {
        if (!Owns(r, c) || !ValidReference(r, c)) continue;
        const double head = layer.fixed_head[r][c];
        if (head == nodata) continue;
        const double bottom = layer.upper_limit[r][c] - layer.thickness[r][c];
        if (head >= bottom && head <= kHighestElevation) continue;
        ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: in modul ", module_name,
                   ": gw_boundary_fix_h_", l, " at row ", r, ", column ", c, " is ", head,
                   " m, outside its layer (bottom ", bottom,
                   " m a.s.l.): a fixed head must lie between the bottom of its layer and ",
                   kHighestElevation, " m a.s.l.");
      }
    });
  }
}

double gwflowclass::GlacierShare(long r, long c) const {
  if (glacier == nullptr || glacier[r] == nullptr) return 0;
  return std::clamp(glacier[r][c], 0.0, 1.0);
}

void gwflowclass::CreateControlPointFile() {
  if (control_row < 1) return;
  owns_control_cell = control_row >= first_local_row && control_row <= last_local_row &&
                      Owns(control_row, control_column) &&
                      (owner_grid == nullptr || owner_grid[control_row] != nullptr);
  if (!owns_control_cell) return;
  const int64_t record_bytes = (6 * layer_count + 1) * 8 + 32;
  control_capacity = std::max<int64_t>(1, kGwControlBufferBytes / record_bytes);
  control_buffer.assign(static_cast<std::size_t>(control_capacity), GwControlRecord{});
  for (GwControlRecord& record : control_buffer)
    record.values.assign(static_cast<std::size_t>(6 * layer_count + 1), 0.0);
  errno = 0;
  std::FILE* file = OpenOutputFile(control_point_file, "w");
  if (file == nullptr) {
    ThrowFatal(Diag(), kGwControlPointFileCode,
               "FATAL: error opening file for gw-fluxes (single point) ", control_point_file,
               SystemReason(ErrnoOrIo()), "\n-> check disk space or user rights\n");
  }
  std::string header =
      FormatText("YY\tMM\tDD\tHH\tcontrol_point_fluxes[%d][%d]", control_row, control_column);
  for (int l = 1; l <= layer_count; ++l) {
    header += FormatText(
        "[lr: %d, 1]\t[lr: %d, 2]\t[lr: %d, 3]\t[lr: %d, 4]\t[lr: %d, up]\t"
        "[lr: %d, down]\t",
        l, l, l, l, l, l);
  }
  header += "\n";
  CheckedFile checked(Diag(), kGwControlPointFileCode, control_point_file, file);
  checked.Write(header);
  checked.Close();
}

}  // namespace velorn

// Lake cells of the soil zone (unsatzone/lake_cells.h).
#include "unsatzone/lake_cells.h"

#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "tables/soil_record.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

LakeCellSetup LakeCellRule(int32_t method, int32_t storage_mode, double ponding_mm) {
  if (storage_mode < 0) return {};
  // Method 2 flattens every lake cell on every start: a warm start cannot tell which cells the
  // start that began the run flattened, so the rule may not depend on the pond of that start.
  const bool flatten = method == 2;
  if (storage_mode == 1 || storage_mode == 3) return {false, flatten, false};
  const bool saturate = storage_mode == 0 || ponding_mm > (method == 1 ? 1.0 : 0.3);
  return {saturate, flatten, saturate && method == 2};
}

void SaturateLakeColumn(const std::vector<double>& theta_sat, int layers, double* theta) {
  for (int i = 1; i < layers && i < static_cast<int>(theta_sat.size()); ++i)
    theta[i] = theta_sat[i];
}

void unsatzonmodellklasse::SetupLake(const std::string& header) {
  const int lake_entry = registry->FindIdentifier("lake_codes");
  if (lake_entry <= 0) {
    Diag() << "INFO: no LAKE-grid was found in " << module_name << "\n"
           << "Lake modelling is switched off for " << module_name << "."
           << "[end-entry]";
    return;
  }
  ReopenControlFile();
  // The file is closed on every path out of here.
  struct CloseAtEnd {
    ControlFileReader& file;
    ~CloseAtEnd() { file.Close(); }
  } close_at_end{*control_file};
  FindSection(header, 1);
  ReadValue(*control_file, lakeSwitch, "flow control parameter for ");
  SwitchLakesOffForResponseUnits(lakeSwitch);
  if (lakeSwitch == 0) return;
  if (pondParameter == 0)
    ThrowFatal(Diag(), kLakeSetupCode,
               "ERROR:\n\n=======================================\n!!!! ERROR !!!! \n\n"
               "Error in initialization method for ",
               header, ".\npond_use must be set in ", module_name, "\nfor using the ", header,
               "\n\n=======================================\n");
  ReadValue(*control_file, lakeInitMethod, "initialization method for ");
  lake_codes = Data(lake_entry);
  if (lakeInitMethod != 1 && lakeInitMethod != 2)
    ThrowFatal(Diag(), kLakeSetupCode,
               "FATAL: \n\n=======================================\n!!!! ERROR !!!! \n\n "
               "Error in initialization method for ",
               header,
               ".\nAllowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
               "In either case, theta_soil will be set to saturation,\n"
               "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n"
               "will be set to 0.",
               "\n\n=======================================\n");
  PrepareLakeCells();
}

void unsatzonmodellklasse::PrepareLakeCells() {
  double** ponding = Grid(kPondingStorage);
  double** max_ponding = links.max_ponding_storage;
  double** distance = Grid(kGroundwaterDistance);
  double** level = Grid(kGroundwaterLevel);
  double** drainage = links.drainage_depth != nullptr ? Grid(kDrainageLevel) : nullptr;
  double** irrigation = Grid(kIrrigationAmounts);
  double** slope = links.slope_angle;
  double** elevation = links.elevation;
  double*** theta = Stack(kTheta);
  const bool lower = lakeInitMethod == 2;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || !(lake_codes[r][c] >= 0)) continue;
      const double pond = ponding != nullptr ? ponding[r][c] : 0.0;
      const LakeCellSetup rule = LakeCellRule(lakeInitMethod, storageMode, pond);
      if (rule.flatten) {
        if (drainage != nullptr) drainage[r][c] = -1;
        if (slope != nullptr) slope[r][c] = 0;
      }
      if (rule.clear_irrigation && irrigation != nullptr) irrigation[r][c] = 0;
      if (rule.saturate) {
        distance[r][c] = 0;
        level[r][c] = 1;
        const SoilRecord& soil = CellSoil(r, c);
        SaturateLakeColumn(soil.theta_sat, CellLayers(soil), theta[r][c]);
      }
      // The lake surface lies the deepest pond below the ground.
      if (lower && elevation != nullptr && max_ponding != nullptr)
        elevation[r][c] -= max_ponding[r][c] / 1000.0;
    }
  });
  // Process 0 holds the whole DEM, and every process holds the rows beside its own: the
  // neighbours' lake cells must be lowered there too, or the surface routing takes their old
  // ground as its neighbour's on one process count and the lowered one on another.
  if (lower && elevation != nullptr) {
    MPIGatherGrid(2, elevation);
    MPIExchangeGridHalo(2, elevation);
  }
}

}  // namespace velorn

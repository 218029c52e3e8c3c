// defaultini::RunSetupStep: the set-up of a run as a fixed sequence of steps, one per call.
//
// The application calls RunSetupStep until it reports completion. Steps 0-5 compile the control
// file and read the global sections and tables; step 6 reads the zone grid and the elevation
// model on process 0, shares the geometry and decomposes the domain; step 7 ranks the zones and
// hands every process its rows of the zone, elevation and river-link grids; step 8 distributes
// the standard and variable grids; steps 9-20 derive the remaining set-up grids; step 22 reads
// the coupling settings; the closing call ends the set-up. Every process runs every step, and
// the steps meet in the same collective operations in the same order. A thrown code leaves the
// step counter at the failing step.
#include <mpi.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "setup/control_file_compiler.h"
#include "setup/defaultini.h"

namespace velorn {

// The output directory of [output_interval] is made with its parents, as users expect of a
// directory they name: process 0 creates it, and every process learns whether that worked.
void defaultini::CreateOutputDirectory(const std::string& directory) {
  int rank_here = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_here);
  int failed = 0;
  if (rank_here == 0 && !directory.empty()) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
      failed = 1;
      Diag() << "FATAL: error creating the output directory " << directory << " ("
             << error.message() << ")[end-entry]";
    }
  }
  MPI_Bcast(&failed, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (failed != 0) throw ErrorCode{kOutputCreateCode};
}

int32_t defaultini::RunSetupStep(uint8_t& done) {
  if (setup_step > 22) {
    control_file.reset();
    setup_complete = 1;
    done = 1;
    return 0;
  }
  const int32_t step = setup_step;
  RunStep(step);
  // Step 15 moves the counter to 16 itself, before its work.
  if (step != 15) ++setup_step;
  return 0;
}

void defaultini::RunStep(int32_t step) {
  const auto progress = [&](const char* message) { Diag() << message << "[end-entry]"; };
  switch (step) {
    case 0: {
      // Process 0 compiles the control file and every process holds the compiled text in
      // memory under the compiled file's name: the run reads only its own compilation, even
      // when another run of the same control file (from another folder) writes that file
      // meanwhile. The file is written for the user only once the run holds the lock of its
      // output folder, so a run refused there leaves the running run's copy alone.
      // (A process started with another control file than process 0, a test's device for
      // processes whose data differ, reads that file's compiled form from its disk.)
      const bool zero = Diag().rank() == 0;
      const std::string compiled = CompiledControlFileName(control_file_name);
      const std::string text = CompileAndShare(Diag(), control_file_name);
      std::string zero_name = control_file_name;
      BroadcastText(zero_name);
      if (zero_name == control_file_name) compiled_text.Hold(compiled, text);
      if (zero) ReadOutputSettings(compiled);
      CreateOutputDirectory(zero ? output_settings.default_output_directory : std::string());
      if (zero) {
        // Two runs writing into one folder would interleave every table: keep a second one out.
        output_lock.Take(Diag(), output_settings.default_output_directory);
        WriteCompiledFile(Diag(), compiled, text);
      }
      MPI_Barrier(MPI_COMM_WORLD);
      if (!zero) ReadOutputSettings(compiled);
      // The settings object writes its own grids (derived grids, the owner grid) in the
      // output form and directory of [output_interval].
      min_to_int_end = output_settings.min_to_int_end;
      time_shift = min_to_int_end / 60.0;
      write_ascii = output_settings.write_ascii;
      write_double = output_settings.write_double;
      write_netcdf = output_settings.write_netcdf;
      output_directory = output_settings.default_output_directory;
      // From here on every reader of the object works on the compiled file.
      compiled_control_file_name = compiled;
      control_file_name = compiled;
      break;
    }
    case 1:
      // Before the set-up writes anything: the manifest of the state a warm start would read.
      ExamineStateManifest(output_settings.initial_state_directory);
      control_file = std::make_unique<ControlFileReader>();
      if (!control_file->Open(control_file_name, &Diag()))
        ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
      ReadStandardGrids();
      break;
    case 2:
      ReadModelTime();
      SetRunStartDate(start_date);
      end_key = end_date.year * key_weights[0] + end_date.month * key_weights[1] +
                end_date.day * key_weights[2] + end_date.hour * key_weights[3];
      break;
    case 3:
      ReadMultilayerLanduseTable(model_variant);
      ReadLanduseTable(model_variant);
      break;
    case 4:
      ReadSoilTable(model_variant);
      break;
    case 5:
      irrigation_flag = 0;
      ReadIrrigationSections(model_variant);
      ReadRadiationCorrectionSwitch();
      control_file.reset();
      break;
    case 6:
      ReadZoneAndElevation();
      break;
    case 7:
      DistributeZoneAndElevation();
      break;
    case 8:
      DistributeStandardGrids();
      Diag() << "before reading variable grids" << rank << "[end-entry]";
      MPI_Barrier(MPI_COMM_WORLD);
      ReadVariableGrids();
      break;
    case 9: {
      const int area = FindGrid("RelCellArea", 0);
      relative_cell_area = area > 0 ? (*registry)[area].grid : nullptr;
      break;
    }
    case 10:
      CheckCellSizes();
      // The zone areas of step 7 counted every cell alike; with the relative cell areas known
      // now, the zones are ranked again with them as weights.
      RankZones(*registry, relative_cell_area, ncols, nrows, nodata);
      break;
    case 11:
      CreateCoordinateGrids();
      break;
    case 12:
      elevation_data = (*registry)[2].grid;
      maximum_elevation = GlobalGridMaximum(2);
      break;
    case 13:
      SetUpLanduseLayers();
      break;
    case 14:
      // A "landuse" grid exists exactly when step 13 gave it one layer or more.
      if (landuse_layer_count > 0) {
        progress("generateMultiLayerParameterGrids...");
        generateMultiLayerParameterGrids(landuse_layer_count);
        progress("...ok");
      }
      break;
    case 15:
      setup_step = 16;
      if (irrigation_flag != 0) {
        progress("check_irrig_Codes");
        CheckIrrigationCodes(FindGrid("irrigation_codes", 0));
        progress("...ok");
      }
      break;
    case 16:
      progress("check_SOIL_Codes...");
      check_SOIL_Codes(FindGrid("soil_types", 0));
      progress("...ok");
      break;
    case 17:
      if (model_variant == 1) {
        progress("make_nFK_kWert_and_Na...");
        make_nFK_kWert_and_Na();
        progress("...ok");
      }
      break;
    case 18:
      progress("make_Slope_and_Aspect...");
      make_Slope_and_Aspect();
      progress("...ok");
      break;
    case 19:
      progress("check_ice_firn_grid...");
      check_ice_firn_grid();
      progress("...ok");
      break;
    case 20:
      progress("MakeRegionWeightGrids...");
      MakeRegionWeightGrids();
      progress("...ok");
      break;
    case 21:
      break;
    case 22:
      progress("GetCouplingParameters...");
      GetCouplingParameters();
      progress("...ok");
      break;
    default:
      break;
  }
}

// Step 6: the geometry from the zone grid's header, shared by all processes; process 0 reads
// the zone grid, the elevation model and the river links whole; then the decomposition.
void defaultini::ReadZoneAndElevation() {
  zone_data = elevation_data = nullptr;
  if (rank == 0) ReadZoneGridHeader(ncols, nrows, xll, yll, cellsize, nodata);
  int32_t sizes[2] = {ncols, nrows};
  double corner[4] = {xll, yll, cellsize, nodata};
  MPI_Bcast(sizes, 2, MPI_INT32_T, 0, MPI_COMM_WORLD);
  MPI_Bcast(corner, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  ncols = sizes[0], nrows = sizes[1];
  xll = corner[0], yll = corner[1], cellsize = corner[2], nodata = corner[3];

  if (rank == 0) {
    const int links = FindGrid("river_links", 1);
    for (int index : {1, 2, links}) {
      if (index <= 0) continue;
      GridEntry& entry = (*registry)[index];
      const std::string file_name = entry.file_name.value_or("");
      const std::string identifier = entry.identifier.value_or("");
      // The zone grid is the reference of every fill: it is read without one, and registered
      // before any other grid is read, so that their fills find it.
      const int fill = index == 1 ? 0 : entry.fill_code;
      double** grid = nullptr;
      ReadGrid(file_name, grid, fill, true, true, false, 1, true, false, entry.default_value);
      RegisterGrid(index, file_name, grid, nullptr, 0, identifier, entry.write_code, 1, nrows);
    }
    zone_data = (*registry)[1].grid;
    elevation_data = (*registry)[2].grid;
  }
  CheckZoneAndElevation();
  DecomposeMpiRegions();
  owner_grid = decomposition.layout.regions.get();
  strip_table = decomposition.layout.helper.get();
}

// Step 7: zones ranked, the owner grid written, and every process given its rows of the zone,
// elevation and river-link grids.
void defaultini::DistributeZoneAndElevation() {
  RankZones(*registry, relative_cell_area, ncols, nrows, nodata);
  if (rank == 0)
    WriteGrid(FormatText("MPIRegions_%d", 0), owner_grid, write_ascii, write_double, write_netcdf);
  const int links = FindGrid("river_links", 1);
  const HeldRows held = LocalRowRange();
  for (int index : {1, 2, links}) {
    if (index <= 0) continue;
    if (rank != 0) {
      GridEntry& entry = (*registry)[index];
      const std::string identifier = entry.identifier.value_or("");
      GridMatrix grid(Diag(), held.first, held.last, ncols, nrows);
      for (int32_t r = held.first; r <= held.last; ++r)
        for (int32_t c = 0; c <= ncols; ++c) grid[r][c] = nodata;
      RegisterGrid(index, identifier, grid.get(), nullptr, 0, identifier, entry.write_code,
                   held.first, held.last);
      grid.release();
    }
    MPIScatterGrid(index, nullptr);
    MPIExchangeGridHalo(index, nullptr);
  }
  zone_data = (*registry)[1].grid;
  elevation_data = (*registry)[2].grid;
}

// Process 0, on the whole grids it read: the zone grid needs a cell above its nodata value (the
// cells the decomposition shares out), and every cell of the basin an elevation on Earth: a
// nodata cell or a value like -1e6 m would enter the lapse rates, the slopes and the heads as a
// number. Every process leaves with process 0's code.
void defaultini::CheckZoneAndElevation() {
  int code = 0;
  if (rank == 0) {
    code = CodeOf([&] {
      const std::string zones = (*registry)[1].file_name.value_or("");
      const std::vector<ColumnRange> every(static_cast<std::size_t>(nrows) + 1,
                                           ColumnRange{1, ncols});
      // The first cell above nodata (no cell is masked: NaN equals no value).
      const CellOutside subbasin = FirstCellOutside(zone_data, zone_data, every.data(), 1, nrows,
                                                    std::numeric_limits<double>::quiet_NaN(),
                                                    [&](double z) { return z <= nodata; });
      if (!subbasin.found)
        ThrowFatal(Diag(), kGridFormatCode, "FATAL: the zone grid ", zones,
                   " holds no subbasin cell: every cell is at or below its nodata value ", nodata);
      const CellOutside cell =
          FirstCellOutside(elevation_data, zone_data, every.data(), 1, nrows, nodata,
                           [&](double z) { return z != nodata && IsEarthElevation(z); });
      if (cell.found)
        ThrowFatal(Diag(), kGridFormatCode, "FATAL: [elevation_model] ",
                   (*registry)[2].file_name.value_or(""), ": the cell at row ", cell.row,
                   ", column ", cell.col, " of the basin holds ", cell.value,
                   ", no elevation on Earth (", kLowestElevation, " to ", kHighestElevation,
                   " m a.s.l.)");
    });
  }
  code = BroadcastCodeFromRoot(code);
  if (code != 0) throw ErrorCode{code};
}

// Step 13: the land-use codes checked, then the layer list: the layer grids of the multilayer
// table, or the "landuse" grid itself as the one layer "landuse1".
void defaultini::SetUpLanduseLayers() {
  const int landuse = FindGrid("landuse", 0);
  CheckLanduseCodes(landuse);
  if (landuse == 0) {
    landuse_layers.clear();
    landuse_layer_count = 0;
    return;
  }
  if (!multilayer_landuse_records.empty()) {
    CreateLanduseLayerGrids();
    return;
  }
  double** grid = (*registry)[landuse].grid;
  landuse_layers.assign(2, grid);
  (*registry)[landuse].identifier = FormatText("%s1", "landuse");
  landuse_layer_count = 1;
}

}  // namespace velorn

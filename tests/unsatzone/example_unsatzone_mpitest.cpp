// The unsaturated zone built on the shipped example basin (a copy of its control file with the
// soil zones as a standard grid and [unsatzon_model] added) after the whole stepwise set-up, on
// 1, 2 and 3 processes: each process fills exactly the columns it owns, as the column functions
// give them; the glacier shares and the start-up soil water means are those of the grid files
// on every process count; one process, the owner of the control cell, writes its files.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/string_helpers.h"
#include "core/zone_statistics.h"
#include "setup/defaultini.h"
#include "setup/model_settings.h"
#include "tests/support/grid_files.h"
#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

// The application's hand-out of the settings to a sub-model, for the fields the model reads.
SubModelSetup SetupOf(const ModelSettings& s, DiagnosticStream& diag, GridRegistry& registry,
                      std::vector<ZoneStatisticsRecord>& statistics) {
  SubModelSetup setup;
  static_cast<ModelGridGeometry&>(setup) = s;
  setup.diag = &diag;
  setup.control_file_name = s.compiled_control_file_name;
  setup.min_to_int_end = s.min_to_int_end;
  setup.registry = &registry;
  setup.zone_statistics = statistics.data();
  setup.zone_statistics_capacity = kZoneStatisticsCapacity;
  setup.zone_code_index = s.zone_code_index;
  setup.zone_table = s.zone_table;
  setup.column_ranges = s.column_ranges;
  setup.zone_count = s.zone_count;
  setup.highest_zone_code = s.highest_zone_code;
  setup.end_date = s.end_date;
  setup.output_directory = s.default_output_directory;
  setup.mpi = s.mpi_layout;
  setup.soil_table = s.soil_table;
  setup.landuse_table = s.landuse_table;
  setup.multilayer_landuse_table = s.multilayer_landuse_table;
  return setup;
}

TEST(ExampleUnsatzone, BuildsTheSameStateOnEveryProcessCount) {
  test::CapturedDiag d(test::TempDir::Shared());
  const std::string control = (d.dir.path() / "front-range.ctl").string();
  const auto zones = test::GridCells(test::ExampleDir() / "zones.asc");
  const auto dem = test::GridCells(test::ExampleDir() / "dem.asc");
  const auto soil = test::GridCells(test::ExampleDir() / "soil.asc");
  // The control point: the first cell of subbasin 4; glacier on subbasins 2 (half) and 3.
  const long ncols = 65;
  const long first4 = std::find(zones.begin(), zones.end(), 4.0) - zones.begin();
  const long control_row = first4 / ncols + 1, control_col = first4 % ncols + 1;
  const auto ice_of = [](double zone) { return zone == 2 ? 0.5 : zone == 3 ? 1.25 : 0.0; };
  if (test::Rank() == 0) {
    test::CopyExample(d.dir.path());
    std::string text = test::ReadFile(control);
    // The example reads the subbasins as the soil model's zone grid already.
    ASSERT_NE(text.find("zones.asc zonegrid_soilmodel 0\n"), std::string::npos);
    test::UnsatSection section;
    section.interval = 1440;
    section.codes = "1 5";
    section.control_point = FormatText("%ld %ld", control_row, control_col);
    // The test's own section replaces the example's.
    const std::size_t from = text.find("[unsatzon_model]");
    ASSERT_NE(from, std::string::npos);
    text.erase(from, text.find("\n[", from) + 1 - from);
    test::WriteFile(control, text + "\n" + section.Text());
  }
  MPI_Barrier(MPI_COMM_WORLD);
  test::ScopedCurrentDir cd(d.dir.path());

  GridRegistry registry;
  GridRegistry* registry_pointer = &registry;
  int32_t error = -1;
  defaultini settings(error, &d.diag, control, nullptr, 200, 2, &registry_pointer);
  ASSERT_EQ(error, 0);
  uint8_t done = 0;
  for (int calls = 0; done == 0 && calls < 30; ++calls)
    ASSERT_EQ(test::ThrownCode([&] { settings.RunSetupStep(done); }, 0), 0) << d.screen.str();
  ModelSettings s;
  settings.GetModelSettings(s);
  ASSERT_EQ(s.ncols, ncols);
  // Stand-ins for the grids of the evapotranspiration and snow models.
  GridMatrix ones = test::FilledGrid(d.diag, s.nrows, s.ncols, 1.0);
  GridMatrix ice = test::FilledGrid(d.diag, s.nrows, s.ncols, 0.0);
  for (std::size_t i = 0; i < zones.size(); ++i)
    ice[i / ncols + 1][i % ncols + 1] = ice_of(zones[i]);
  const auto add = [&](const char* name, double** data) {
    registry.Register(d.diag, registry.FirstFreeIndex(), name, data, nullptr, 0, name, 0, 1,
                      s.nrows, s.ncols, s.nrows);
  };
  for (const char* name :
       {"pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
        "SurfaceEvaporationResistance", "potential_evaporation", "real_evaporation"})
    add(name, ones.get());
  add("ice_firn", ice.get());
  std::vector<ZoneStatisticsRecord> statistics(kZoneStatisticsCapacity);
  const SubModelSetup setup = SetupOf(s, d.diag, registry, statistics);
  std::unique_ptr<unsatzonmodellklasse> model;
  ASSERT_EQ(
      test::ThrownCode([&] { model = std::make_unique<unsatzonmodellklasse>(error, setup); }, 0), 0)
      << d.screen.str();
  ASSERT_EQ(model->layerCount, 8);

  // Every column from the files: elevation, soil code (= record) and zone of each cell; the
  // sums of water and weight of all cells, their unglacierised and their glacierised shares.
  const int g = ColdStartLastUnsaturatedLayer(8, 2.0);
  double sums[6] = {};
  std::vector<double> glacierized(6), non_glacierized(6);
  int own_cells = 0, cells = 0;
  double*** theta = model->Stack(unsatzonmodellklasse::kTheta);
  for (std::size_t i = 0; i < zones.size(); ++i) {
    if (zones[i] == -9999) continue;
    const SoilRecord& record = s.soil_table[static_cast<int>(soil[i])];
    std::vector<double> geodetic(9), column(9);
    GeodeticHeads(record, 8, dem[i], geodetic.data());
    HydrostaticTheta(record, 8, geodetic.data(), g, column.data());
    const double water = ColumnSoilWater(record, 8, column.data());
    const double share = std::min(1.0, ice_of(zones[i]));
    const double terms[6] = {water, 1, water * (1 - share), 1 - share, water * share, share};
    for (int t = 0; t < 6; ++t) sums[t] += terms[t];
    glacierized[static_cast<int>(zones[i])] += share;
    non_glacierized[static_cast<int>(zones[i])] += 1 - share;
    ++cells;
    const long r = static_cast<long>(i) / ncols + 1, c = static_cast<long>(i) % ncols + 1;
    if (!model->OwnCell(r, c)) continue;
    ++own_cells;
    for (int k = 0; k <= 8; ++k) EXPECT_EQ(theta[r][c][k], column[k]) << r << "," << c;
  }
  MPI_Allreduce(MPI_IN_PLACE, &own_cells, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_EQ(own_cells, cells);
  // The same glacier shares on every process.
  for (int z = 1; z <= 5; ++z) {
    EXPECT_EQ(model->glacier_shares[z].hasGlacier, z == 2 || z == 3) << z;
    EXPECT_DOUBLE_EQ(model->glacier_shares[z].glacierized, glacierized[z]) << z;
    EXPECT_DOUBLE_EQ(model->glacier_shares[z].nonGlacierized, non_glacierized[z]) << z;
  }
  // One process writes the single-point files and the control point's line.
  int owners = model->single_point_owner ? 1 : 0;
  EXPECT_EQ(model->single_point_owner, model->OwnCell(control_row, control_col));
  MPI_Allreduce(MPI_IN_PLACE, &owners, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_EQ(owners, 1);
  MPI_Barrier(MPI_COMM_WORLD);
  if (test::Rank() == 0) {
    EXPECT_TRUE(std::filesystem::exists("output/hhyd.txt"));
    const std::string means = FormatText(
        "mean soil water content for all cells at model-start: %lf m^3/m^2\n"
        "mean soil water content for unglacierized or only partly unglacierized cells at "
        "model-start: %lf m^3/m^2\n"
        "mean soil water content for partly or completely glacierized cells at model-start: %lf "
        "m^3/m^2\n",
        sums[0] / sums[1], sums[2] / sums[3], sums[4] / sums[5]);
    EXPECT_NE(test::ReadFile("modell_0.log").find(means), std::string::npos) << means;
  }
  model->ReleaseMemory();
  MPI_Barrier(MPI_COMM_WORLD);
  settings.ReleaseMemory();
}

}  // namespace
}  // namespace velorn

// The unsaturated zone built on the shipped example basin (a copy of its control file with the
// soil zones as a standard grid and [unsatzon_model] added) after the whole stepwise set-up, on
// every process count: each process fills the columns it owns as the column functions give
// them, and the mean start-up soil water of all cells is the same as from the grid files.
#include <gtest/gtest.h>
#include <mpi.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/string_helpers.h"
#include "core/zone_statistics.h"
#include "setup/defaultini.h"
#include "setup/model_settings.h"
#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

// The cell values of an ASCII grid file in file order (header skipped).
std::vector<double> Cells(const std::string& path) {
  std::istringstream in(test::ReadFile(path));
  std::string key;
  double value = 0;
  for (int i = 0; i < 6; ++i) in >> key >> value;
  std::vector<double> cells;
  while (in >> value) cells.push_back(value);
  return cells;
}

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
  if (test::Rank() == 0) {
    test::CopyExample(d.dir.path());
    std::string text = test::ReadFile(control);
    const std::string grids = "[standard_grids]\n4\n";
    ASSERT_NE(text.find(grids), std::string::npos);
    text.replace(text.find(grids), grids.size(),
                 "[standard_grids]\n5\nzones.asc zonegrid_soilmodel 0\n");
    test::UnsatSection section;
    section.interval = 1440;
    section.codes = "1 5";
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
  // Stand-ins for the grids of the evapotranspiration model.
  GridMatrix ones = test::FilledGrid(d.diag, s.nrows, s.ncols, 1.0);
  for (const char* name :
       {"pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
        "SurfaceEvaporationResistance", "potential_evaporation", "real_evaporation"})
    registry.Register(d.diag, registry.FirstFreeIndex(), name, ones.get(), nullptr, 0, name, 0, 1,
                      s.nrows, s.ncols, s.nrows);
  std::vector<ZoneStatisticsRecord> statistics(kZoneStatisticsCapacity);
  const SubModelSetup setup = SetupOf(s, d.diag, registry, statistics);
  std::unique_ptr<unsatzonmodellklasse> model;
  ASSERT_EQ(
      test::ThrownCode([&] { model = std::make_unique<unsatzonmodellklasse>(error, setup); }, 0), 0)
      << d.screen.str();
  ASSERT_EQ(model->layerCount, 8);

  // Every column from the files: elevation, soil code (= record) and zone of each cell.
  const auto zones = Cells(test::ExampleDir() / "zones.asc");
  const auto dem = Cells(test::ExampleDir() / "dem.asc");
  const auto soil = Cells(test::ExampleDir() / "soil.asc");
  const int g = ColdStartLastUnsaturatedLayer(8, 2.0);
  double water = 0;
  int cells = 0, own_cells = 0;
  double*** theta = model->Stack(unsatzonmodellklasse::kTheta);
  for (std::size_t i = 0; i < zones.size(); ++i) {
    if (zones[i] == -9999) continue;
    const SoilRecord& record = s.soil_table[static_cast<int>(soil[i])];
    std::vector<double> geodetic(9), column(9);
    GeodeticHeads(record, 8, dem[i], geodetic.data());
    HydrostaticTheta(record, 8, geodetic.data(), g, column.data());
    water += ColumnSoilWater(record, 8, column.data());
    ++cells;
    const long r = static_cast<long>(i) / s.ncols + 1, c = static_cast<long>(i) % s.ncols + 1;
    if (!model->OwnCell(r, c)) continue;
    ++own_cells;
    for (int k = 0; k <= 8; ++k) EXPECT_EQ(theta[r][c][k], column[k]) << r << "," << c;
  }
  MPI_Allreduce(MPI_IN_PLACE, &own_cells, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_EQ(own_cells, cells);
  if (test::Rank() == 0) {
    EXPECT_NE(test::ReadFile("modell_0.log")
                  .find(FormatText("mean soil water content for all cells at model-start: %lf "
                                   "m^3/m^2\n",
                                   water / cells)),
              std::string::npos);
  }
  model->ReleaseMemory();
  MPI_Barrier(MPI_COMM_WORLD);
  settings.ReleaseMemory();
}

}  // namespace
}  // namespace velorn

// The evapotranspiration model with response units whose cells lie on other processes than
// their master: on 1, 2 and 3 processes every own cell carries the potentials and the snow
// evaporation of its unit's master, as when one process computes every cell.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "evaporation/evapotranspiration.h"
#include "setup/response_units.h"
#include "tests/support/evaporation_fixture.h"
#include "tests/support/test_mpi.h"

namespace velorn {
namespace {

constexpr double kNodataEvapotranspirationUnits = -9999;

class UnitsAcrossProcesses : public test::EvaporationTest {
 protected:
  UnitsAcrossProcesses() : test::EvaporationTest(2, 4) {
    setup_.latitude = 52.1;
    AddLayer(1, test::LayerValues());
  }
};

TEST_F(UnitsAcrossProcesses, CellsCarryTheirMastersValues) {
  AddPenmanMonteithInputs(15, 0.7, 2, 3000);
  // Units 1..3 with their masters first in scan order, each master with its own weather.
  const int unit_of[3][5] = {{}, {0, 1, 1, 2, 2}, {0, 1, 2, 3, 3}};
  const int master_of[4][2] = {{}, {1, 1}, {1, 3}, {2, 3}};
  std::vector<HruRecord> table = EmptyHruTable();
  double** units = AddGrid("HydrologicResponseUnits", kNodataEvapotranspirationUnits);
  double** masters = AddGrid("MasterHydrologicResponseUnits", kNodataEvapotranspirationUnits);
  double** night = registry_[registry_.FindIdentifier("temperature_night")].grid;
  for (int id = 1; id <= 3; ++id) {
    const int r = master_of[id][0], c = master_of[id][1];
    table.push_back(HruRecord{static_cast<uint64_t>(id), "", r, c, 0});
    masters[r][c] = id;
    temperature_[r][c] = night[r][c] = 5.0 * id;
    radiation_[r][c] = 1000.0 * id;
  }
  double** snow = AddGrid("snowstorage_solid", 0);
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &table;
  auto model = Make();
  ASSERT_TRUE(model->SetSolidSnowStorage(snow));
  double** owners = registry_[registry_.FindIdentifier("MPIRegions")].grid;
  const std::vector<double**> results = {
      model->pot_interception[0].get(), model->pot_interception[1].get(),
      model->corrected_radiation.get(), model->snow_evaporation.get(), snow};
  // One step with the owners `owner(r, c)`, every unit with more snow than it can evaporate;
  // the results at the own cells (nodata elsewhere).
  auto run = [&](auto owner) {
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) {
        units[r][c] = unit_of[r][c];
        owners[r][c] = owner(r, c);
        snow[r][c] = 10.0 * unit_of[r][c];
      }
    // The step shifts the temperature grids by the day/night amplitude: fresh weather each run.
    for (int id = 1; id <= 3; ++id)
      temperature_[master_of[id][0]][master_of[id][1]] = night[master_of[id][0]][master_of[id][1]] =
          5.0 * id;
    model->ComputePotentialEvapotranspiration(24, 15, 6, 2001);
    model->ComputeSnowEvaporation(24, 15, 6, 2001);
    std::vector<std::array<std::array<double, 5>, 3>> values(results.size());
    for (std::size_t k = 0; k < results.size(); ++k)
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c)
          values[k][r][c] =
              owners[r][c] == test::Rank() ? results[k][r][c] : kNodataEvapotranspirationUnits;
    return values;
  };
  // Every cell on this process, as with one process, gives the reference.
  const auto reference = run([](int, int) { return test::Rank(); });
  const auto split = run([](int r, int c) { return (r * 4 + c) % test::Size(); });
  for (std::size_t k = 0; k < results.size(); ++k) {
    const auto& grid = reference[k];
    // The units differ, so a cell that took another unit's values would show.
    EXPECT_NE(grid[1][1], grid[1][3]) << k;
    EXPECT_NE(grid[1][3], grid[2][3]) << k;
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) {
        const int* master = master_of[unit_of[r][c]];
        EXPECT_EQ(grid[r][c], grid[master[0]][master[1]]) << k << ": " << r << "," << c;
        if ((r * 4 + c) % test::Size() == test::Rank()) {
          EXPECT_EQ(split[k][r][c], grid[r][c]) << k << ": " << r << "," << c;
        }
      }
  }
}

}  // namespace
}  // namespace velorn

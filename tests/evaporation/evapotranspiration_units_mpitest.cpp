// The evapotranspiration model with response units whose cells lie on other processes than
// their master: on 1, 2 and 3 processes every own cell carries the potentials and the snow
// evaporation of its unit's master, as when one process computes every cell.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "evaporation/evapotranspiration.h"
#include "setup/response_units.h"
#include "tests/support/evaporation_fixture.h"
#include "tests/support/test_mpi.h"

namespace velorn {
namespace {

constexpr double N = -9999;

class UnitsAcrossProcesses : public test::EvaporationTest {
 protected:
  UnitsAcrossProcesses() : test::EvaporationTest(2, 4) {
    setup_.latitude = 52.1;
    setup_.longitude = 5.2;
    setup_.reference_meridian = 15;
    AddLayer(1, test::LayerValues());
  }
  double** Registered(const std::string& identifier) {
    return registry_[registry_.FindIdentifier(identifier)].grid;
  }
};

TEST_F(UnitsAcrossProcesses, CellsCarryTheirMastersValues) {
  AddPenmanMonteithInputs(15, 0.7, 2, 3000);
  // Units 1..3, masters first in scan order, each with its own temperature.
  const double unit_ids[2][4] = {{1, 1, 2, 2}, {1, 2, 3, 3}};
  const std::array<std::array<int, 2>, 4> master_cell = {{{0, 0}, {1, 1}, {1, 3}, {2, 3}}};
  std::vector<HruRecord> table = EmptyHruTable();
  for (uint64_t id = 1; id <= 3; ++id)
    table.push_back(HruRecord{id, "", master_cell[id][0], master_cell[id][1], 0});
  double** units = AddGrid("HydrologicResponseUnits", N);
  double** masters = AddGrid("MasterHydrologicResponseUnits", N);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) units[r][c] = unit_ids[r - 1][c - 1];
  for (int id = 1; id <= 3; ++id) {
    const auto [r, c] = master_cell[static_cast<std::size_t>(id)];
    masters[r][c] = id;
    temperature_[r][c] = 5.0 * id;
    radiation_[r][c] = 1000.0 * id;
    Registered("temperature_night")[r][c] = 5.0 * id;
  }
  double** snow = AddGrid("snowstorage_solid", 0);
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &table;
  auto model = Make();
  ASSERT_TRUE(model->SetSolidSnowStorage(snow));

  double** owners = Registered("MPIRegions");
  const std::map<std::string, double**> results = {
      {"pot_transpiration0", model->pot_transpiration[0].get()},
      {"pot_interception1", model->pot_interception[1].get()},
      {"corrected_radiation", model->corrected_radiation.get()},
      {"snow_evaporation", model->snow_evaporation.get()},
      {"snowstorage_solid", snow}};
  // One step with the owners of `owner(r, c)`, every unit's snow more than it can evaporate;
  // the results of every cell (nodata where not own).
  auto run = [&](auto owner) {
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) {
        owners[r][c] = owner(r, c);
        snow[r][c] = 10.0 * unit_ids[r - 1][c - 1];
      }
    model->ComputePotentialEvapotranspiration(24, 15, 6, 2001);
    model->ComputeSnowEvaporation(24, 15, 6, 2001);
    std::map<std::string, std::array<std::array<double, 5>, 3>> values;
    for (const auto& [name, grid] : results)
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 4; ++c)
          values[name][r][c] = owners[r][c] == test::Rank() ? grid[r][c] : N;
    return values;
  };
  // Every cell on this process, as with one process: the reference.
  const auto reference = run([](int, int) { return test::Rank(); });
  const auto split = run([](int r, int c) { return (r * 4 + c) % test::Size(); });
  for (const auto& [name, grid] : reference) {
    // The units differ, so a cell that took another unit's values would show.
    EXPECT_NE(grid[1][1], grid[1][3]) << name;
    EXPECT_NE(grid[1][3], grid[2][3]) << name;
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) {
        const auto [mr, mc] = master_cell[static_cast<std::size_t>(unit_ids[r - 1][c - 1])];
        EXPECT_EQ(grid[r][c], grid[mr][mc]) << name << " " << r << "," << c;
        if ((r * 4 + c) % test::Size() == test::Rank()) {
          EXPECT_EQ(split.at(name)[r][c], grid[r][c]) << name << " " << r << "," << c;
        }
      }
  }
}

}  // namespace
}  // namespace velorn

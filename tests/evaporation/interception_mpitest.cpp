// The interception model on 1, 2 and 3 processes: every process computes the cells it owns
// ("MPIRegions"), leaves the others alone, and the cell values and their sums are those of the
// cell formulas, whatever the number of processes. With response units the master of a unit
// may lie on another process than the unit's other cells: they still carry its results.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>

#include "evaporation/interception_water.h"
#include "setup/response_units.h"
#include "tests/support/interception_test.h"

namespace velorn {
namespace {

using test::InterceptionTest;
constexpr double N = -9999;

struct LayoutCase {
  const char* name;
  bool by_rows;  // owners by row strips, else scattered cell by cell
  bool units;
};

void PrintTo(const LayoutCase& layout, std::ostream* out) {
  *out << layout.name;
}

class ProcessLayouts : public InterceptionTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(ProcessLayouts, CellsAndSumsDoNotDependOnTheProcessCount) {
  const LayoutCase& layout = GetParam();
  const int size = test::Size();
  // Units 1 to 3 with their masters first in scan order; each spans two or three owners when
  // more than one process runs.
  const Rows unit_ids = {{N, 1, 1, 2}, {1, 2, 3, 3}};
  const Rows master_ids = {{N, 1, N, 2}, {N, N, 3, N}};
  std::vector<HruRecord> table = EmptyHruTable();
  for (const auto& [id, r, c] : {std::array<int, 3>{1, 1, 2}, {2, 1, 4}, {3, 2, 3}})
    table.push_back(HruRecord{static_cast<uint64_t>(id), "", r, c, 0});
  Rows owners(2, std::vector<double>(4));
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c)
      owners[r - 1][c - 1] = layout.by_rows ? (r - 1) % size : (r * 4 + c) % size;
  Add("MPIRegions", owners);
  Add("GlacierizedCells", {{0, 0.3, 1, 0}, {0, 0, 0.999995, 0}});
  AddRainInputs(1, {{N, 1, 1, 2}, {2, 2, 1, N}}, Fill(2.0), {{1, 1, 1, 1}, {0.5, 1, 0.8, 0.25}});
  setup_.response_unit_switch = layout.units ? 1 : 0;
  setup_.response_unit_table = layout.units ? &table : nullptr;
  if (layout.units) {
    Add("HydrologicResponseUnits", unit_ids);
    Add("MasterHydrologicResponseUnits", master_ids);
  }
  statistics_code_ = 2001;
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  // The cell whose computation a cell carries: its unit's master, or itself.
  auto source = [&](int r, int c) {
    if (!layout.units) return std::array<int, 2>{r, c};
    const HruRecord& unit = table[static_cast<std::size_t>(unit_ids[r - 1][c - 1])];
    return std::array<int, 2>{unit.row, unit.column};
  };
  // Reference storage per cell from the cell formulas, capacities by hand (0.4 or 1.0).
  double storage[3][5] = {};
  std::vector<double> zone_means;
  double own_sum = 0, reference_sum = 0;
  for (int step = 0; step < 3; ++step) {
    model_->RunStep(step, 2, 6, 2001);
    double throughfall[3][5] = {};
    double weighted = 0;
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 4; ++c) {
        if (r == 1 && c == 1) continue;
        const double p = Grid("precipitation")[r][c];
        const double glacier = grids_["GlacierizedCells"][r][c];
        InterceptionLayer layer;
        layer.vegetated = grids_["landuse1"][r][c] != N;
        layer.cover = grids_["vegetation_coverage_degree1"][r][c];
        layer.capacity = grids_["landuse1"][r][c] == 2 ? 1.0 : 0.4;
        layer.storage = storage[r][c];
        layer.potential_interception = 0.2;
        layer.potential_transpiration = 1.0;
        const InterceptionTotals t = InterceptLayers(p, 2, &layer, 1);
        storage[r][c] = glacier >= 0.99999 ? 0.0 : layer.storage;
        throughfall[r][c] = glacier >= 0.99999 ? p : t.throughfall;
      }
    }
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 4; ++c) {
        if (r == 1 && c == 1) continue;
        const auto [sr, sc] = source(r, c);
        // A cell counts with its source's throughfall on its own share without glacier and the
        // source's whole input on its own glacier share.
        const double glacier = std::min(1.0, grids_["GlacierizedCells"][r][c]);
        weighted += (1 - glacier) * throughfall[sr][sc] + glacier * Grid("precipitation")[sr][sc];
        const double expected = throughfall[sr][sc];
        reference_sum += expected;
        if (owners[r - 1][c - 1] == test::Rank()) {
          EXPECT_NEAR(Grid("throughfall0")[r][c], expected, 1e-12) << r << "," << c;
          EXPECT_NEAR(Grid("interception_storage0")[r][c], storage[sr][sc], 1e-12);
          own_sum += Grid("throughfall0")[r][c];
        } else {
          EXPECT_EQ(Grid("throughfall0")[r][c], N) << r << "," << c;
        }
      }
    }
    zone_means.push_back(weighted / 7);
  }
  double total = 0;
  MPI_Allreduce(&own_sum, &total, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_NEAR(total, reference_sum, 1e-12);
  // The zone means of the throughfall statistics (four decimals) on process 0.
  model_->FlushBuffers();
  if (test::Rank() != 0) return;
  const std::vector<std::string> lines = StatisticsLines("tf.sta");
  ASSERT_EQ(lines.size(), 6u);
  for (std::size_t step = 0; step < 3; ++step) {
    const std::string& line = lines[3 + step];
    EXPECT_NEAR(std::stod(line.substr(line.rfind('\t') + 1)), zone_means[step], 1e-4) << line;
  }
}

INSTANTIATE_TEST_SUITE_P(Interception, ProcessLayouts,
                         ::testing::Values(LayoutCase{"ScatteredOwners", false, false},
                                           LayoutCase{"UnitsAcrossScatteredOwners", false, true},
                                           LayoutCase{"UnitsAcrossRowStrips", true, true}),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace velorn

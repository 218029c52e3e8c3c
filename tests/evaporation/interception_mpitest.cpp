// The interception model on 1, 2 and 3 processes: every process computes the cells it owns
// ("MPIRegions"), leaves the others alone, and the cell values and their sums are those of the
// cell formulas, whatever the number of processes.
#include <gtest/gtest.h>
#include <mpi.h>

#include "evaporation/interception_water.h"
#include "tests/support/interception_test.h"

namespace velorn {
namespace {

using test::InterceptionTest;
constexpr double N = -9999;

TEST_F(InterceptionTest, CellsAndSumsDoNotDependOnTheProcessCount) {
  const int size = test::Size();
  Rows owners(2, std::vector<double>(4));
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) owners[r - 1][c - 1] = (r * 4 + c) % size;
  Add("MPIRegions", owners);
  Add("GlacierizedCells", {{0, 0.3, 1, 0}, {0, 0, 0.999995, 0}});
  AddRainInputs(1, {{N, 1, 1, 2}, {2, 2, 1, N}}, Fill(2.0), {{1, 1, 1, 1}, {0.5, 1, 0.8, 0.25}});
  ASSERT_EQ(Make(Section(12)), 0) << screen_.str();
  // Reference storage per cell from the cell formulas, capacities by hand (0.4 or 1.0).
  double storage[3][5] = {};
  double own_sum = 0, reference_sum = 0;
  for (int step = 0; step < 3; ++step) {
    model_->RunStep(step, 2, 6, 2001);
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
        const double expected = glacier >= 0.99999 ? p : t.throughfall;
        reference_sum += expected;
        if (owners[r - 1][c - 1] == test::Rank()) {
          EXPECT_NEAR(Grid("throughfall0")[r][c], expected, 1e-12) << r << "," << c;
          EXPECT_NEAR(Grid("interception_storage0")[r][c], storage[r][c], 1e-12);
          own_sum += Grid("throughfall0")[r][c];
        } else {
          EXPECT_EQ(Grid("throughfall0")[r][c], N) << r << "," << c;
        }
      }
    }
  }
  double total = 0;
  MPI_Allreduce(&own_sum, &total, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_NEAR(total, reference_sum, 1e-12);
}

}  // namespace
}  // namespace velorn

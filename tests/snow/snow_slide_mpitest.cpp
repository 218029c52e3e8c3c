// The snow model's end of step with a slide method on 1, 2 and 3 processes: process 0 gathers
// the storages, moves the snow over the whole grid and hands every process its rows back, so
// every process's own cells hold what one pass over the whole grid gives.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/matrix.h"
#include "grids/mpi_layout.h"
#include "setup/mpi_regions.h"
#include "snow/snow_setup_formulas.h"
#include "snow/snow_slide.h"
#include "tests/support/snow_test.h"

namespace velorn {
namespace {

using test::SnowSection;
using test::SnowTest;
constexpr double kNodataSnowSlide = -9999;

TEST_F(SnowTest, SlidesGiveTheWholeGridPassOnEveryProcessCount) {
  const bool root = test::Rank() == 0;
  const RegionGrids whole_grids =
      root ? RegionGrids{grids_["zonegrid"].get(), grids_["[elevation_model]"].get(), nullptr}
           : RegionGrids{};
  MpiLayout layout =
      std::move(DecomposeRegions(diag_, {4, 3, kNodataSnowSlide}, whole_grids, 1.0).layout);
  RegisterMpiGrids(diag_, registry_, layout);
  setup_.mpi = &layout;
  setup_.first_local_row = layout.first_row;
  setup_.last_local_row = layout.last_row;
  Add("slidefraction1",
      {{0.1, 0.2, 0.3, 0.4}, {0.5, 0.1, 0.2, 0.3}, {kNodataSnowSlide, 0.4, 0.5, 0.1}});
  Add("slidefraction2", Fill(0.25));
  Add("slidefraction3",
      {{0.3, 0.1, 0.0, 0.2}, {0.0, 0.6, 0.1, 0.2}, {kNodataSnowSlide, 0.1, 0.3, 0.3}});
  Add("slidefraction4", Fill(0.5));
  Add("slope_angle", {{40, 35, 60, 45}, {31, 10, 50, 40}, {kNodataSnowSlide, 33, 20, 45}});
  SnowSection slide;
  slide.method = 8;
  slide.bounds = "55\n2\n30\n0.2\n1\n1\n";
  ASSERT_EQ(Make(Section(slide)), 0) << screen_.str();
  // The storages over every row a process holds, and the same whole grids for the expectation.
  const char* packs[3] = {"snow_storage_total", "snowstorage_liquid", "snowstorage_solid"};
  std::vector<GridMatrix> expected;
  for (int k = 0; k < 6; ++k) expected.emplace_back(diag_, 1, 3, 4, 3);
  const GridEntry& total = registry_[registry_.FindIdentifier(packs[0])];
  for (int r = 1; r <= 3; ++r) {
    for (int c = 0; c <= 4; ++c) {
      const bool inside = c > 0 && !(r == 3 && c == 1);
      const double S = inside ? 10.0 * r + c : kNodataSnowSlide;
      const double values[3] = {S, inside ? 0.1 * S : kNodataSnowSlide,
                                inside ? 0.9 * S : kNodataSnowSlide};
      for (int k = 0; k < 3; ++k) {
        expected[k][r][c] = values[k];
        if (r >= total.first_row && r <= total.last_row) Registered(packs[k])[r][c] = values[k];
      }
    }
  }
  GridMatrix capacity(diag_, 1, 3, 4, 3), order_row(diag_, 1, 3, 4, 3),
      order_col(diag_, 1, 3, 4, 3);
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c)
      capacity[r][c] = DepositionCapacity(grids_["slope_angle"][r][c], 55, 2, kNodataSnowSlide);
  FillElevationOrder(grids_["zonegrid"].get(), grids_["[elevation_model]"].get(), 3, 4,
                     kNodataSnowSlide, order_row.get(), order_col.get());
  SlideGrids whole;
  whole.zone = grids_["zonegrid"].get();
  whole.order_row = order_row.get();
  whole.order_col = order_col.get();
  whole.slope = grids_["slope_angle"].get();
  for (int i = 1; i <= 4; ++i)
    whole.fraction[i] = grids_["slidefraction" + std::to_string(i)].get();
  whole.max_deposition = capacity.get();
  whole.input_mass = expected[3].get();
  whole.mobile_mass = expected[4].get();
  whole.deposition = expected[5].get();
  whole.pack = {expected[0].get(), expected[1].get(), expected[2].get()};
  const std::vector<ColumnRange> ranges(4, ColumnRange{1, 4});
  RedistributeSnow(whole, SlideSettings{30, 0.2, kNodataSnowSlide}, 3, 4, ranges.data());

  model_->FinishStep(12, 15, 1, 2001);
  const char* grids[6] = {packs[0], packs[1], packs[2], "input_mass", "mobile_mass", "deposition"};
  double moved = 0;
  double** owner = Registered("MPIRegions");
  for (int r = setup_.first_local_row; r <= setup_.last_local_row; ++r) {
    for (int c = 1; c <= 4; ++c) {
      if (owner[r][c] != test::Rank()) continue;
      for (int k = 0; k < 6; ++k)
        EXPECT_EQ(Registered(grids[k])[r][c], expected[k][r][c])
            << grids[k] << " " << r << "," << c;
      if (!(r == 3 && c == 1)) moved += expected[3][r][c];
    }
  }
  // Every process's cells moved snow (each holds a steep cell), so the scatter was not idle.
  EXPECT_GT(moved, 0);
}

}  // namespace
}  // namespace velorn

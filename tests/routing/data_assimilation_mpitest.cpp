// The data-assimilation model on 1, 2 and 3 processes: a grid rule replaces a registered grid at
// its listed step and divides the new value into liquid and solid snow storage, the same on
// every process; a reservoir rule without lake grids stops the construction with code 33; with
// them it sets the lake's level, volume and ponding, and every process holds the same ponding.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "grids/mpi_layout.h"
#include "routing/data_assimilation.h"
#include "setup/mpi_regions.h"
#include "tests/support/submodel_fixture.h"
#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"
#include "tests/support/test_mpi.h"

namespace velorn {
namespace {

constexpr int kCols = 4;
constexpr int kRows = 6;

// The survey has no value at row 2, column 3.
double NewValue(int r, int c) {
  return r == 2 && c == 3 ? -9999 : 10.0 * r + c;
}

class AssimilationMpiTest : public test::SubModelTest {
 protected:
  AssimilationMpiTest() : SubModelTest(kRows, kCols) {
    for (GridMatrix* g : {&zone_, &target_, &liquid_, &solid_})
      *g = GridMatrix(diag_, 1, kRows, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        zone_[r][c] = 1;
        target_[r][c] = 4;
        liquid_[r][c] = 1;
        solid_[r][c] = c % 2 == 1 ? 3 : 0;  // odd columns 1:3, even ones no solid snow
      }
    RegionGrids grids;
    grids.zone = zone_.get();
    layout_ = DecomposeRegions(diag_, RegionGeometry{kCols, kRows, -9999}, grids, 1.0).layout;
    registry_.Register(diag_, 1, "zone.asc", zone_.get(), nullptr, 0, "zone", 0, 1, kRows, kCols,
                       kRows);
    registry_.Register(diag_, 2, "", target_.get(), nullptr, 0, "swe", 0, 1, kRows, kCols, kRows);
    registry_.Register(diag_, 3, "", liquid_.get(), nullptr, 0, "snowstorage_liquid", 0, 1, kRows,
                       kCols, kRows);
    registry_.Register(diag_, 4, "", solid_.get(), nullptr, 0, "snowstorage_solid", 0, 1, kRows,
                       kCols, kRows);
    setup_.first_local_row = layout_.first_row;
    setup_.last_local_row = layout_.last_row;
    setup_.mpi = &layout_;
    setup_.start_date = ModelDate{2001, 1, 1, 0};
    setup_.end_date = ModelDate{2001, 1, 2, 0};
  }
  // Every process writes its own copy in its own directory.
  void Put(const std::string& name, const std::string& text) { test::WriteFile(dir_ / name, text); }
  bool Own(int r, int c) const {
    return r >= layout_.first_row && r <= layout_.last_row && layout_.regions[r][c] == test::Rank();
  }

  GridMatrix zone_, target_, liquid_, solid_;
  MpiLayout layout_;
};

TEST_F(AssimilationMpiTest, GridRuleWithSnowSplit) {
  Put("g1.asc", test::AsciiGrid(kCols, kRows, 0, 0, 1000, -9999, NewValue));
  Put("list.txt",
      "grids\n1 1 1 1 1 2 2 2 2 2 3 3 3 3 3 h h h h w\n2000 12 31 0 old.asc\n"
      "2001 1 1 5 " +
          (dir_ / "g1.asc") + "\n2001 1 1 6 " + (dir_ / "far.asc") + "\n2001 1 1 7 " +
          (dir_ / "minus.asc") + "\n2001 1 1 8 " + (dir_ / "huge.asc") + "\n");
  Put("minus.asc", test::AsciiGrid(kCols, kRows, 0, 0, 1000, -9999,
                                   [](int r, int c) { return r == 5 && c == 1 ? -5.0 : 0.0; }));
  Put("huge.asc", test::AsciiGrid(kCols, kRows, 0, 0, 1000, -9999,
                                  [](int r, int c) { return r == 2 && c == 3 ? 1e308 : 0.0; }));
  // The same survey 100 km east of the basin.
  Put("far.asc", test::AsciiGrid(kCols, kRows, 100000, 0, 1000, -9999, NewValue));
  WriteControlFile("[data_assimilation]\n1\n60\n1\n\n  grid {\n grid-ID = swe; listfilename = " +
                   (dir_ / "list.txt") +
                   ";\n options { split-into-liquid-and-solid = true;"
                   " default-liquid-percentage = 20; }\n}\n");
  int32_t error = -1;
  data_assimilation model(setup_, error, {}, nullptr);
  ASSERT_EQ(error, 0) << screen_.str();
  EXPECT_EQ(model.RuleCount(), 1);
  model.RunStep(4, 1, 1, 2001);
  EXPECT_EQ(liquid_[layout_.first_row][1], 1.0);  // no record for 4h
  model.RunStep(5, 1, 1, 2001);
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      if (!Own(r, c)) continue;
      const double g = NewValue(r, c);
      if (g == -9999) {  // a cell without a value keeps the model's
        EXPECT_EQ(target_[r][c], 4);
        EXPECT_EQ(liquid_[r][c], 1);
        EXPECT_EQ(solid_[r][c], 3);
        continue;
      }
      ASSERT_EQ(target_[r][c], g) << r << "," << c;
      EXPECT_DOUBLE_EQ(liquid_[r][c], c % 2 == 1 ? 0.25 * g : 0.2 * g) << r << "," << c;
      EXPECT_DOUBLE_EQ(solid_[r][c], c % 2 == 1 ? 0.75 * g : 0.8 * g) << r << "," << c;
    }
  try {
    model.RunStep(6, 1, 1, 2001);
    ADD_FAILURE() << "a grid beside the basin was taken";
  } catch (const ErrorCode& e) {
    EXPECT_EQ(e.code, kAssimilationCoverageCode);
  }
  if (test::Rank() == 0) {
    EXPECT_TRUE(ScreenHas("covers x 100000 to 104000")) << screen_.str();
  }
  // Negative snow, or a pack of 1e308 mm, ends the step on every process, whichever holds the
  // cell.
  for (const int hour : {7, 8}) {
    try {
      model.RunStep(hour, 1, 1, 2001);
      ADD_FAILURE() << "the survey of " << hour << "h was taken";
    } catch (const ErrorCode& e) {
      EXPECT_EQ(e.code, kAssimilationValueCode);
    }
  }
  model.ReleaseMemory();
}

// Lake 1 on column 2, one cell per row at 100, 100.2, ..., 101 m with the top at 102 m, on 10 m
// cells. The listed level 100.95 m wets rows 1..5: 100·(0.95 + 0.75 + 0.55 + 0.35 + 0.15) m³.
TEST_F(AssimilationMpiTest, ReservoirRuleSetsTheLakeOnEveryProcess) {
  GridMatrix ponding(diag_, 1, kRows, kCols, kRows), codes(diag_, 1, kRows, kCols, kRows);
  std::vector<LakeCell> cells;
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      ponding[r][c] = 0;
      codes[r][c] = c == 2 ? 1 : -9999;
      if (c == 2) cells.push_back({r, c, 100 + 0.2 * (r - 1), (102 - 100 - 0.2 * (r - 1)) * 1000});
    }
  registry_.Register(diag_, 5, "", ponding.get(), nullptr, 0, "ponding_storage", 0, 1, kRows, kCols,
                     kRows);
  registry_.Register(diag_, 6, "", codes.get(), nullptr, 0, "lake_codes", 0, 1, kRows, kCols,
                     kRows);
  std::vector<int64_t> counts(static_cast<std::size_t>(test::Size()), 0);
  for (int r = 1; r <= kRows; ++r)
    if (Own(r, 2)) ++counts[static_cast<std::size_t>(test::Rank())];
  MPI_Allreduce(MPI_IN_PLACE, counts.data(), test::Size(), MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
  SP_class lake;
  LakeGrids grids;
  grids.ponding = ponding.get();
  std::vector<SP_class*> reservoirs;
  if (test::Rank() == 0) {
    lake.Initialise(ReservoirSetup{.diag = &diag_, .output_directory = dir_.path().string() + "/"});
    lake.ReadParameters("SP 1 file = l.txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0", 2);
    lake.BindLake(cells, 10.0, &grids, false);
    reservoirs.push_back(&lake);
  }
  Put("levels.txt",
      "levels\n1 1 1 1 1 2 2 2 2 2 3 3 3 3 3 h h h h w\n2001 1 1 3 -9999\n2001 1 1 5 100.95\n"
      "2001 1 1 6 102.5\n2001 1 1 7 nan\n2001 1 1 8 99\n2001 1 1 9 1e308\n");
  WriteControlFile("[data_assimilation]\n1\n60\n1\nreservoir { lake-ID = 1; listfilename = " +
                   (dir_ / "levels.txt") + "; }\n");
  int32_t error = -1;
  data_assimilation model(setup_, error, reservoirs, counts.data());
  ASSERT_EQ(error, 0) << screen_.str();
  model.RunStep(3, 1, 1, 2001);  // a level at nodata changes nothing
  for (int r = 1; r <= kRows; ++r)
    if (Own(r, 2)) {
      EXPECT_EQ(ponding[r][2], 0.0);
    }
  model.RunStep(5, 1, 1, 2001);
  for (int r = 1; r <= kRows; ++r)
    if (Own(r, 2)) {
      EXPECT_NEAR(ponding[r][2], std::max(0.0, 950 - 200.0 * (r - 1)), 1e-9) << r;
    }
  if (test::Rank() == 0) {
    EXPECT_NEAR(lake.volume(), 100 * (0.95 + 0.75 + 0.55 + 0.35 + 0.15), 1e-9);
    EXPECT_EQ(lake.level(), 100.95);
  }
  // Above the top (102 m) every cell is wet: the volume grows by 6 cells of 100 m² per metre,
  // 100·(6·102.5 − 603) m³. A level that is no number changes nothing.
  model.RunStep(6, 1, 1, 2001);
  model.RunStep(7, 1, 1, 2001);
  for (int r = 1; r <= kRows; ++r)
    if (Own(r, 2)) {
      EXPECT_NEAR(ponding[r][2], 2500 - 200.0 * (r - 1), 1e-9) << r;
    }
  if (test::Rank() == 0) {
    EXPECT_NEAR(lake.volume(), 1200, 1e-9);
    EXPECT_EQ(lake.level(), 102.5);
  }
  // A level below the lowest cell (a negative volume) or above any summit ends the step on
  // every process.
  for (const auto& [hour, text] :
       {std::pair{8, "level 99 m of lake 1 on 1.1.2001 8h"}, {9, "level 1e+308 m"}}) {
    try {
      model.RunStep(hour, 1, 1, 2001);
      ADD_FAILURE() << text;
    } catch (const ErrorCode& e) {
      EXPECT_EQ(e.code, kAssimilationLevelCode) << text;
    }
    if (test::Rank() == 0) {
      EXPECT_TRUE(ScreenHas(text)) << screen_.str();
    }
  }
  if (test::Rank() == 0) {
    EXPECT_EQ(lake.level(), 102.5);
  }
  model.ReleaseMemory();
}

// Snow on glaciers apart from the rest of a cell is kept by dynamic glaciers alone: the weighing
// by the glacierized fraction without them is refused saying so.
TEST_F(AssimilationMpiTest, WeighingByTheGlacierizedFractionNeedsDynamicGlaciers) {
  WriteControlFile(
      "[data_assimilation]\n1\n60\n1\ngrid { grid-ID = swe; listfilename = l.txt; "
      "options { split-into-liquid-and-solid = true; default-liquid-percentage = 20; "
      "weighing-by-glacierized-fraction = true; } }\n");
  int32_t error = -1;
  data_assimilation model(setup_, error, {}, nullptr);
  EXPECT_EQ(error, 1214);
  if (test::Rank() == 0) {
    EXPECT_TRUE(ScreenHas("needs dynamic glaciers (glacier methods 11 to 13)")) << screen_.str();
  }
}

TEST_F(AssimilationMpiTest, ReservoirRuleNeedsTheLakeGrids) {
  WriteControlFile(
      "[data_assimilation]\n1\n60\n1\nreservoir { lake-ID = 1; listfilename = l.txt; }\n");
  int32_t error = -1;
  data_assimilation model(setup_, error, {}, nullptr);
  EXPECT_EQ(error, 33);
}

}  // namespace
}  // namespace velorn

// The region decomposition as a step of the settings object: grids taken from the registry,
// river links only when [unsatzon_model] asks for re-infiltration, the three decomposition
// grids registered and the process's rows and layout set.
#include <gtest/gtest.h>
#include <mpi.h>

#include <memory>
#include <string>

#include "setup/defaultini.h"
#include "setup/mpi_regions.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int32_t kRowsRegionSetup = 6;
constexpr int32_t kColsRegionSetup = 5;
constexpr double kNodata = -9999;

using test::Rank;

// Runs the step for a control file whose [unsatzon_model] has the given re-infiltration mode,
// on a basin whose zone grid has a hole and whose column 3 is one river link.
class RegionSetup {
 public:
  explicit RegionSetup(int reinfiltration_mode)
      : RegionSetup("[unsatzon_model]\n1\n60\n0\n" + std::to_string(reinfiltration_mode) +
                        " re-infiltration\n",
                    true) {
    settings_->DecomposeMpiRegions();
  }
  // The same basin and control file text, without running the step; the grid "river_links"
  // is registered only when asked for.
  RegionSetup(const std::string& control_text, bool register_links) : d_(test::TempDir::Shared()) {
    const std::string control = d_.dir / "run.ctl";
    if (Rank() == 0) {
      test::WriteFile(control, control_text);
      test::WriteFile(d_.dir / kSpeedFactorFile, "1.0\n");
    }
    MPI_Barrier(MPI_COMM_WORLD);
    cd_ = std::make_unique<test::ScopedCurrentDir>(d_.dir.path());

    registry_pointer_ = &registry_;
    int32_t error = -1;
    settings_ =
        std::make_unique<defaultini>(error, &d_.diag, control, nullptr, 200, 2, &registry_pointer_);
    EXPECT_EQ(error, 0);
    std::string compiled;
    settings_->CompileControlFileSymbols(control, compiled);
    settings_->ncols = kColsRegionSetup;
    settings_->nrows = kRowsRegionSetup;
    settings_->nodata = kNodata;

    // Process 0 holds every row of the zone, elevation and river-link grids.
    if (Rank() == 0) {
      zone_ = GridMatrix(d_.diag, 1, kRowsRegionSetup, kColsRegionSetup, kRowsRegionSetup);
      elevation_ = GridMatrix(d_.diag, 1, kRowsRegionSetup, kColsRegionSetup, kRowsRegionSetup);
      links_ = GridMatrix(d_.diag, 1, kRowsRegionSetup, kColsRegionSetup, kRowsRegionSetup);
      for (int32_t r = 1; r <= kRowsRegionSetup; ++r)
        for (int32_t c = 1; c <= kColsRegionSetup; ++c) {
          zone_[r][c] = (r == 2 && c == 2) ? kNodata : 1;
          elevation_[r][c] = 100.0 - r;
          links_[r][c] = c == 3 ? 7 : 0;
        }
      settings_->RegisterGrid(1, "zone.asc", zone_.get(), nullptr, 0, "zone", 0, 1,
                              kRowsRegionSetup);
      settings_->RegisterGrid(2, "dem.asc", elevation_.get(), nullptr, 0, "elevation", 0, 1,
                              kRowsRegionSetup);
      if (register_links)
        settings_->RegisterGrid(3, "links.asc", links_.get(), nullptr, 0, "river_links", 0, 1,
                                kRowsRegionSetup);
    }
  }
  ~RegionSetup() { settings_->ReleaseMemory(); }

  defaultini& settings() { return *settings_; }
  const MpiLayout& layout() { return settings_->decomposition.layout; }
  test::CapturedDiag& diag() { return d_; }

 private:
  test::CapturedDiag d_;
  std::unique_ptr<test::ScopedCurrentDir> cd_;
  GridRegistry registry_;
  GridRegistry* registry_pointer_ = nullptr;
  std::unique_ptr<defaultini> settings_;
  GridMatrix zone_, elevation_, links_;
};

TEST(RegionSetup, RegistersTheDecompositionAndSetsTheOwnRows) {
  RegionSetup setup(0);
  defaultini& settings = setup.settings();
  EXPECT_EQ(settings.mpi, &setup.layout());
  EXPECT_EQ(settings.first_local_row, setup.layout().first_row);
  EXPECT_EQ(settings.last_local_row, setup.layout().last_row);

  const int regions = settings.FindGrid("MPIRegions", 1);
  ASSERT_GT(regions, 0);
  EXPECT_EQ(settings.FindGrid("MPIHelper", 1), regions + 1);
  EXPECT_EQ(settings.FindGrid("MPIHalo", 1), regions + 2);
  EXPECT_EQ((*settings.registry)[regions].grid, setup.layout().regions.get());
  EXPECT_EQ((*settings.registry)[regions].units_digit, 0);  // never written

  // Every domain cell (all but the hole) is owned once, and every process's own cells lie in
  // its own rows.
  int64_t total = 0;
  for (int p = 0; p < setup.layout().size; ++p) total += setup.layout().cell_counts[p];
  EXPECT_EQ(total, kRowsRegionSetup * kColsRegionSetup - 1);
  const MpiLayout& layout = setup.layout();
  const HeldRows held = Rank() == 0 ? HeldRows{1, kRowsRegionSetup} : layout.held_rows();
  for (int32_t r = held.first; r <= held.last; ++r)
    for (int32_t c = 1; c <= kColsRegionSetup; ++c)
      if (layout.regions[r][c] == Rank()) {
        EXPECT_GE(r, layout.first_row) << "cell " << r << "," << c;
        EXPECT_LE(r, layout.last_row) << "cell " << r << "," << c;
      }
  // Without re-infiltration the river-link grid is not used.
  EXPECT_TRUE(settings.decomposition.river_links.links.empty());
}

TEST(RegionSetup, KeepsRiverLinksWholeWhenReinfiltrationAsksForThem) {
  RegionSetup setup(2);
  const auto& links = setup.settings().decomposition.river_links.links;
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0]->GetCells().size(), static_cast<std::size_t>(kRowsRegionSetup));
}

// [unsatzon_model] is read whenever it exists, with or without the grid "river_links": a
// section that lacks the re-infiltration value is a control-file error. The check fails on
// process 0 while the others wait in the decomposition (the top level aborts them), so it runs
// on one process only.
TEST(RegionSetup, ReinfiltrationValueMissingIsCode17EvenWithoutRiverLinks) {
  if (test::Size() > 1) GTEST_SKIP() << "process 0 fails alone in a collective phase";
  RegionSetup setup("[unsatzon_model]\n0\n60\n1\n", false);
  EXPECT_EQ(test::ThrownCode([&] { setup.settings().DecomposeMpiRegions(); }), 17);
  EXPECT_TRUE(setup.diag().ScreenHas(
      "error in control file, looking for re-infiltration parameter in [unsatzon_model]; "));
  // Without the section there is nothing to read.
  RegionSetup other("[other]\n1\n", false);
  other.settings().DecomposeMpiRegions();
  EXPECT_TRUE(other.settings().decomposition.river_links.links.empty());
}

}  // namespace
}  // namespace velorn

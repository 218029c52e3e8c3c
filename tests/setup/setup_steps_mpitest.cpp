// The whole stepwise set-up of a small basin on every process count: the steps run to the
// closing call with their progress messages, the owner grid is written, and the derived grids
// hold values worked out here independently of the number of processes (regular corners and
// sizes, the angle and direction of the tilted elevation plane, the linear blend of two
// regions); afterwards the release frees every grid the set-up allocated.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <sstream>

#include "core/string_helpers.h"
#include "setup/defaultini.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

constexpr int kColsSetupSteps = 12;
constexpr int kRowsSetupSteps = 10;
constexpr double kCs = 100, kXll = 1000, kYll = 2000, kNodataSetupSteps = -9999;
constexpr double kSlope = 20, kAspect = 135;  // degrees; the plane falls towards south-east

bool InZone(int r, int c) {
  return !(r == 1 && c <= 2) && !(r == kRowsSetupSteps && c == kColsSetupSteps);
}

double Elevation(int r, int c) {
  const double x = (c - 1) * kCs, y = (kRowsSetupSteps - r) * kCs, rad = std::numbers::pi / 180;
  return 2000 -
         std::tan(kSlope * rad) * (x * std::sin(kAspect * rad) + y * std::cos(kAspect * rad));
}

std::string AsciiGrid(double (*value)(int, int)) {
  return test::AsciiGrid(kColsSetupSteps, kRowsSetupSteps, kXll, kYll, kCs, kNodataSetupSteps,
                         value);
}

// The values of an ASCII grid file, rows 1..nrows, columns 1..ncols (header skipped).
std::vector<std::vector<double>> ReadAscii(const std::string& path) {
  std::istringstream in(test::ReadFile(path));
  std::string key;
  double header[6] = {};
  for (double& h : header) in >> key >> h;
  std::vector<std::vector<double>> rows(
      kRowsSetupSteps + 1, std::vector<double>(kColsSetupSteps + 1, kNodataSetupSteps));
  for (int r = 1; r <= kRowsSetupSteps; ++r)
    for (int c = 1; c <= kColsSetupSteps; ++c) in >> rows[r][c];
  return rows;
}

// Optional parts of the basin: land-use and soil tables with their code grids (and "albedo",
// which the land-use parameter grids need), a multilayer land-use table, relative cell areas.
struct Extras {
  int variant = 2;
  bool landuse = false;
  bool multilayer = false;
  bool weighted = false;
};

// Land-use entries with constant parameters: only the root depth (0.4 m, 1.2 m) matters here.
std::string LanduseEntry(int code, const char* name, const char* root_depth) {
  return std::to_string(code) + " " + name +
         " method VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 4;\n"
         "JulDays = 1 366; Albedo = 0.2 0.2; rsc = 80 80; LAI = 2 2; Z0 = 0.1 0.1; VCF = 1 1;\n"
         "RootDepth = " +
         root_depth + " " + root_depth + "; AltDep = 0 0; }\n";
}

// Soils as one-line entries of model variant 1: code, name, FCap, mSB, ksat_topmodel, suction.
struct Soil {
  int code;
  double fcap, msb, ksat;
};
constexpr Soil kSoils[] = {{11, 20, 30, 2e-5}, {12, 30, 45, 5e-6}};

double SoilCode(int r, int) {
  return r <= 4 ? kSoils[0].code : kSoils[1].code;
}
double LanduseCode(int, int c) {
  return c <= 6 ? 10 : 20;
}
double MultilayerCode(int, int c) {
  return c <= 6 ? 1 : 2;
}
double RelativeArea(int, int c) {
  return c <= 6 ? 0.5 : 1.5;
}

std::string ControlFile(const std::string& dir, const Extras& x) {
  std::string grids = "$d//regions.asc regression_regions 0\n";
  int count = 1;
  if (x.weighted) {
    grids += "$d//rca.asc RelCellArea 0\n";
    count += 1;
  }
  if (x.landuse) {
    grids +=
        "$d//landuse.asc landuse 0\n$d//soil.asc soil_types 0\n"
        "albedo albedo fillcode = 0 readcode = 0 defaultValue = 0.2\n";
    count += 3;
  }
  std::string tables = "[landuse_table]\n0\n[soil_table]\n0\n";
  if (x.landuse) {
    tables = "[landuse_table]\n2\n" + LanduseEntry(10, "meadow", "0.4") +
             LanduseEntry(20, "forest", "1.2") + "[soil_table]\n2\n";
    for (const Soil& s : kSoils)
      tables += FormatText("%d soil%d %g %g %g 300\n", s.code, s.code, s.fcap, s.msb, s.ksat);
  }
  if (x.multilayer)
    tables +=
        "[multilayer_landuse]\n2\n1 meadow_under_forest { Landuse_Layers = 10, 20; }\n"
        "2 forest { Landuse_Layers = 20, -9999; }\n";
  return "$set $d = " + dir +
         "/\n[output_interval]\n1\n0\n0\n0\nWriteAsciiGrids = 1\nWriteDoubleGrids = 0\n"
         "WriteNetcdfGrids = 0\nInitialStateDirectory = $d\nDefaultOutputDirectory = "
         "$d//out/run/\n\n"
         "[output_list]\n0\n[coordinates]\n47.5\n8.5\n15.0\n0.0\n[meteo_data_count]\n1\n"
         "[meteo_names]\ntemperature\n[zone_grid]\n$d//zone.asc\n[elevation_model]\n$d//dem.asc\n"
         "[standard_grids]\n" +
         std::to_string(count) + "\n" + grids + "[model_time]\n24\n1\n1\n2019\n24\n31\n12\n2019\n" +
         tables +
         "[irrigation]\n0\n[radiation_correction]\n0\n1440\n[variable_grids]\n0\n"
         "[region_transition_distance]\n250\n[substance_transport]\n0\n"
         "[SpinUp]\n1\n0\n2\n1\nelevation_model 100 linear\n";
}

class SetupRun : public ::testing::Test {
 protected:
  // Writes the control file and grids of the basin with `extras` and constructs the settings
  // object of that model variant.
  void Prepare(const Extras& extras) {
    if (test::Rank() == 0) {
      // The output directory and its parent do not exist: the set-up creates them.
      test::WriteFile(d_.dir / "run.ctl", ControlFile(d_.dir.path().string(), extras));
      test::WriteFile(d_.dir / "MpiSpeedFactor.dat", "1.0\n");
      test::WriteFile(d_.dir / "zone.asc", AsciiGrid([](int r, int c) {
                        return InZone(r, c) ? 1.0 + (r > 5) : kNodataSetupSteps;
                      }));
      test::WriteFile(d_.dir / "dem.asc", AsciiGrid(Elevation));
      test::WriteFile(d_.dir / "regions.asc",
                      AsciiGrid([](int, int c) { return c <= 6 ? 1.0 : 2.0; }));
      test::WriteFile(d_.dir / "rca.asc", AsciiGrid(RelativeArea));
      test::WriteFile(d_.dir / "soil.asc", AsciiGrid(SoilCode));
      test::WriteFile(d_.dir / "landuse.asc",
                      AsciiGrid(extras.multilayer ? MultilayerCode : LanduseCode));
    }
    MPI_Barrier(MPI_COMM_WORLD);
    int32_t error = -1;
    settings_ = std::make_unique<defaultini>(error, &d_.diag, d_.dir / "run.ctl", nullptr, 200,
                                             extras.variant, &registry_pointer_);
    ASSERT_EQ(error, 0);
  }

  // Runs the set-up steps until the closing call; the number of calls.
  int RunSetup() {
    uint8_t done = 0;
    int calls = 0;
    while (done == 0 && calls < 30) {
      if (settings_->RunSetupStep(done) != 0) break;
      ++calls;
    }
    return calls;
  }

  // The value of `identifier` at (r, c) on this process.
  double At(const char* identifier, int r, int c) {
    const int index = registry_.FindIdentifier(identifier);
    return index > 0 ? registry_[index].grid[r][c] : std::nan("");
  }
  bool Owns(int r, int c) {
    return r >= settings_->first_local_row && r <= settings_->last_local_row &&
           At("MPIRegions", r, c) == test::Rank();
  }

  test::CapturedDiag d_{test::TempDir::Shared()};
  GridRegistry registry_;
  GridRegistry* registry_pointer_ = &registry_;
  std::unique_ptr<defaultini> settings_;
};

TEST_F(SetupRun, StepsCompleteWithDerivedGridsIndependentOfTheProcessCount) {
  test::ScopedCurrentDir cd(d_.dir.path());
  const int64_t live_before = LiveMatrixCount();
  Prepare(Extras{});
  EXPECT_EQ(RunSetup(), 24);  // steps 0..22 and the closing call
  EXPECT_EQ(settings_->setup_complete, 1);
  double highest = kNodataSetupSteps;
  for (int r = 1; r <= kRowsSetupSteps; ++r)
    for (int c = 1; c <= kColsSetupSteps; ++c)
      if (InZone(r, c)) highest = std::max(highest, Elevation(r, c));
  EXPECT_NEAR(settings_->GetMaximumElevation(), highest, 1e-9);
  EXPECT_EQ(settings_->region_count, 2);
  MPI_Barrier(MPI_COMM_WORLD);

  if (test::Rank() == 0) {
    for (const char* message :
         {"check_SOIL_Codes...", "make_Slope_and_Aspect...", "check_ice_firn_grid...",
          "MakeRegionWeightGrids...", "GetCouplingParameters..."})
      EXPECT_TRUE(d_.ScreenHas(message)) << message;
    EXPECT_FALSE(d_.ScreenHas("make_nFK_kWert_and_Na..."));  // variant 2
    const auto owner = ReadAscii(d_.dir / "out/run/MPIRegions_0");
    const std::string dir = d_.dir.path().string() + "/";
    const auto rca = ReadAscii(dir + "zone.$rca"), csx = ReadAscii(dir + "zone.$csx");
    const auto cx = ReadAscii(dir + "zone.$cx"), cy = ReadAscii(dir + "zone.$cy");
    const auto slope = ReadAscii(dir + "dem.$sl"), aspect = ReadAscii(dir + "dem.$ex");
    const auto w1 = ReadAscii(dir + "regions.$w1"), w2 = ReadAscii(dir + "regions.$w2");
    const auto r2 = ReadAscii(dir + "regions.$r2");
    // Transition radius 2.5 cells across the border between columns 6 and 7.
    const double own_weight[kColsSetupSteps + 1] = {0, 1, 1, 1, 1, 0.9, 0.7, 0.7, 0.9, 1, 1, 1, 1};
    for (int r = 1; r <= kRowsSetupSteps; ++r)
      for (int c = 1; c <= kColsSetupSteps; ++c) {
        SCOPED_TRACE(testing::Message() << "row " << r << ", column " << c);
        if (!InZone(r, c)) {
          for (const auto* g : {&owner, &rca, &cx, &slope, &w1})
            EXPECT_EQ((*g)[r][c], kNodataSetupSteps);
          continue;
        }
        EXPECT_GE(owner[r][c], 0);
        EXPECT_LT(owner[r][c], test::Size());
        EXPECT_EQ(rca[r][c], 1);
        EXPECT_EQ(csx[r][c], kCs);
        EXPECT_EQ(cx[r][c], kXll + (c - 1) * kCs);
        EXPECT_EQ(cy[r][c], kYll + (kRowsSetupSteps - r) * kCs);
        EXPECT_NEAR(slope[r][c], kSlope, 1e-4);
        EXPECT_NEAR(aspect[r][c], kAspect, 1e-4);
        EXPECT_NEAR(w1[r][c], own_weight[c], 1e-9);
        EXPECT_NEAR(w2[r][c], 1 - own_weight[c], 1e-9);
        EXPECT_EQ(r2[r][c], own_weight[c] < 1 ? (c <= 6 ? 2 : 1) : 0);
      }
  }
  MPI_Barrier(MPI_COMM_WORLD);

  // Response units of the elevation in classes of 100 m, numbered in scan order over the
  // whole basin, the same on every process.
  int32_t spin_up = 0, pre_spin_up = -1, repeat = 0;
  std::vector<HruRecord> units;
  // The set-up's grids fill the entries 3 .. 2 + the grid counter without a gap; the two grids of
  // the units follow them and are counted, so the standard grid output and the release reach
  // them and nothing registered later (a sub-model's grids start at the next free entry).
  const int first_free = registry_.FirstFreeIndex();
  EXPECT_EQ(2 + settings_->registered_grid_count, first_free - 1);
  settings_->CreateHydrologicResponseUnits(spin_up, pre_spin_up, repeat, units);
  EXPECT_EQ(registry_.FindIdentifier("HydrologicResponseUnits"), first_free);
  EXPECT_EQ(registry_.FindIdentifier("MasterHydrologicResponseUnits"), first_free + 1);
  EXPECT_EQ(registry_.FirstFreeIndex(), first_free + 2);
  EXPECT_EQ(
      StandardGridOutputRange(settings_->registered_grid_count, settings_->first_variable_entry)
          .last,
      first_free + 1);
  EXPECT_EQ(spin_up, 1);
  EXPECT_EQ(pre_spin_up, 0);
  EXPECT_EQ(repeat, 2);
  std::vector<std::string> keys{""};
  std::vector<std::vector<double>> expected_ids(
      kRowsSetupSteps + 1, std::vector<double>(kColsSetupSteps + 1, kNodataSetupSteps));
  for (int r = 1; r <= kRowsSetupSteps; ++r)
    for (int c = 1; c <= kColsSetupSteps; ++c) {
      if (!InZone(r, c)) continue;
      char key[32];
      std::snprintf(key, sizeof key, "%04d'", static_cast<int>(std::floor(Elevation(r, c) / 100)));
      auto it = std::find(keys.begin(), keys.end(), key);
      if (it == keys.end()) it = keys.insert(keys.end(), key);
      expected_ids[r][c] = static_cast<double>(it - keys.begin());
    }
  ASSERT_EQ(units.size(), keys.size());
  for (std::size_t i = 1; i < units.size(); ++i) {
    EXPECT_EQ(units[i].id, i);
    EXPECT_EQ(units[i].key, keys[i]);
    EXPECT_EQ(expected_ids[units[i].row][units[i].column], static_cast<double>(i));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (test::Rank() == 0) {
    EXPECT_EQ(ReadAscii(d_.dir / "out/run/All_HydrologicResponseUnits"), expected_ids);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  settings_->ReleaseMemory();
  EXPECT_EQ(LiveMatrixCount(), live_before);
}

// Model variant 1 with land-use and soil tables, with and without a multilayer table: steps
// 13 and 14 build the land-use layers and their parameter grids, step 16 turns the soil codes
// into table indexes and step 17 derives the soil parameter grids from them and from the root
// depth of layer 1: 10 × FCap × root depth, ksat_topmodel and mSB / 100.
class SetupRunWithTables : public SetupRun, public ::testing::WithParamInterface<bool> {};

TEST_P(SetupRunWithTables, LanduseLayersAndSoilParameterGrids) {
  const bool multilayer = GetParam();
  test::ScopedCurrentDir cd(d_.dir.path());
  const int64_t live_before = LiveMatrixCount();
  Prepare(Extras{1, true, multilayer, false});
  ASSERT_EQ(RunSetup(), 24);
  EXPECT_EQ(settings_->landuse_layer_count, multilayer ? 2 : 1);
  // Own cells and, through the halo, their neighbours hold the available soil moisture.
  const auto near_own = [&](int r, int c) {
    for (int rr = std::max(r - 1, 1); rr <= std::min(r + 1, kRowsSetupSteps); ++rr)
      for (int cc = std::max(c - 1, 1); cc <= std::min(c + 1, kColsSetupSteps); ++cc)
        if (Owns(rr, cc)) return true;
    return false;
  };
  for (int r = 1; r <= kRowsSetupSteps; ++r)
    for (int c = 1; c <= kColsSetupSteps; ++c) {
      if (!InZone(r, c) || !near_own(r, c)) continue;
      SCOPED_TRACE(testing::Message() << "row " << r << ", column " << c);
      const double fcap = kSoils[r <= 4 ? 0 : 1].fcap;
      EXPECT_NEAR(At("available_soil_moisture", r, c), (c <= 6 ? 0.4 : 1.2) * fcap * 10, 1e-12);
      if (!Owns(r, c)) continue;
      EXPECT_EQ(At("soil_types", r, c), r <= 4 ? 1 : 2);
      EXPECT_EQ(At("root_depth1", r, c), c <= 6 ? 0.4 : 1.2);
      if (multilayer) {
        EXPECT_EQ(At("root_depth2", r, c), c <= 6 ? 1.2 : kNodataSetupSteps);
      }
    }
  MPI_Barrier(MPI_COMM_WORLD);
  if (test::Rank() == 0) {
    for (const char* message : {"generateMultiLayerParameterGrids...", "make_nFK_kWert_and_Na..."})
      EXPECT_TRUE(d_.ScreenHas(message)) << message;
    const std::string dir = d_.dir.path().string() + "/";
    const auto fk = ReadAscii(dir + "soil.$fk"), k = ReadAscii(dir + "soil.$k");
    const auto na = ReadAscii(dir + "soil.$na");
    for (int r = 1; r <= kRowsSetupSteps; ++r)
      for (int c = 1; c <= kColsSetupSteps; ++c) {
        SCOPED_TRACE(testing::Message() << "row " << r << ", column " << c);
        if (!InZone(r, c)) {
          EXPECT_EQ(fk[r][c], kNodataSetupSteps);
          continue;
        }
        const Soil& soil = kSoils[r <= 4 ? 0 : 1];
        EXPECT_NEAR(fk[r][c], (c <= 6 ? 0.4 : 1.2) * soil.fcap * 10, 1e-9);
        EXPECT_NEAR(k[r][c], soil.ksat, 1e-15);
        EXPECT_NEAR(na[r][c], soil.msb / 100, 1e-12);
      }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  settings_->ReleaseMemory();
  EXPECT_EQ(LiveMatrixCount(), live_before);
}

INSTANTIATE_TEST_SUITE_P(OneAndTwoLayers, SetupRunWithTables, ::testing::Bool());

// With a grid of relative cell areas the zones are ranked a second time, weighted by it: 0.5 in
// columns 1-6 and 1.5 in columns 7-12. Zone 1 (rows 1-5 without two cells of row 1):
// 4 × 0.5 + 6 × 1.5 + 4 × 12 = 59; zone 2 (rows 6-10 without the last cell): 48 + 3 + 7.5 = 58.5.
TEST_F(SetupRun, ZonesRankedAgainWithTheRelativeCellAreas) {
  test::ScopedCurrentDir cd(d_.dir.path());
  Prepare(Extras{2, false, false, true});
  ASSERT_EQ(RunSetup(), 24);
  ASSERT_EQ(settings_->zone_count, 2);
  const double area[] = {0, 59, 58.5}, cells[] = {0, 58, 59}, total = 117.5;
  for (int z = 1; z <= 2; ++z) {
    EXPECT_EQ(settings_->zone_table[z][0], area[z]) << z;
    EXPECT_EQ(settings_->zone_table[z][1], cells[z]) << z;
    EXPECT_NEAR(settings_->zone_table[z][3], area[z] / total, 1e-15) << z;
  }
  EXPECT_NEAR(settings_->zone_table[0][3], total * kCs * kCs / 1e6, 1e-12);
  MPI_Barrier(MPI_COMM_WORLD);
  if (test::Rank() == 0) {
    const auto csx = ReadAscii(d_.dir.path().string() + "/zone.$csx");
    for (int r = 1; r <= kRowsSetupSteps; ++r)
      for (int c = 1; c <= kColsSetupSteps; ++c)
        if (InZone(r, c)) {
          EXPECT_NEAR(csx[r][c], kCs * std::sqrt(RelativeArea(r, c)), 1e-3);  // six digits
        }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  settings_->ReleaseMemory();
}

}  // namespace
}  // namespace velorn

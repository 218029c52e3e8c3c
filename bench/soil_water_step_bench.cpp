// Column-steps per second of the soil-water sub-step (unsatzonmodellklasse::ComputeSoilColumns)
// on a generated basin, on 1 and on all threads, against two limits: 1.65e5 column-steps per
// second per thread (a water-only Picard solver with van Genuchten closed forms, three pow per
// layer, 3.7 iterations per step, N = 20, measured on an 8-core EPYC) and a plain loop that
// reads and writes the same grids and stacks of every cell (the memory floor). Also the
// iterations per inner step and the share of the serial zone sums (AddZoneSums) in a sub-step;
// and the rate on one thread with "-dumpmode" on, when no column fails its tests, against off.
//
// Usage: soil_water_step_bench [side (100)] [layers (20)] [sub-steps (24)] [threads (8)]
// One process. The basin: `side` x `side` cells in eight subbasins (row bands), a surface
// sloping from 2000 m to 1000 m at 5 degrees, one soil: Carsel and Parrish's loam in `layers`
// layers of 0.1 m, or with 8 layers the example basin's loam (3 x 0.1 m, 5 x 0.3 m); hourly
// sub-steps (method 2) of a moist profile (cold start at ini_gw_level 2) under 0.2 mm of water
// input and 0.1 mm of potential transpiration per hour, no heat transfer.
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/diagnostic_stream.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/row_loop.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"
#include "unsatzone/unsatzone_model.h"

namespace {

using namespace velorn;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int Run(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 100;
  const int layers = argc > 2 ? std::atoi(argv[2]) : 20;
  const int substeps = argc > 3 ? std::atoi(argv[3]) : 24;
  const int threads = argc > 4 ? std::atoi(argv[4]) : 8;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/velorn-soilstep-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string directory = pattern;
  std::ofstream(directory + "/run.ctl") << bench::UnsatzoneControlFile();
  fs::current_path(directory);

  std::ostringstream screen;
  DiagnosticStream diag(directory + "/diag.xml", kLevelInfo, screen);
  GridMatrix zones(diag, 1, side, side, side), dem(diag, 1, side, side, side);
  GridMatrix ones(diag, 1, side, side, side), slope(diag, 1, side, side, side);
  GridMatrix input(diag, 1, side, side, side), demand(diag, 1, side, side, side);
  GridMatrix roots(diag, 1, side, side, side);
  std::vector<GridMatrix> sinks;
  for (int r = 1; r <= side; ++r)
    for (int c = 1; c <= side; ++c) {
      zones[r][c] = 1 + (r - 1) * 8 / side;
      dem[r][c] = 2000.0 - 1000.0 * (r + c) / (2.0 * side);
      ones[r][c] = 1.0;
      slope[r][c] = 5.0;
      input[r][c] = 0.2 * substeps;   // mm per step: 0.2 mm per hourly sub-step
      demand[r][c] = 0.1 * substeps;  // likewise
      roots[r][c] = 0.6;
    }
  GridRegistry registry;
  const auto add = [&](const char* name, double** data) {
    registry.Register(diag, registry.FirstFreeIndex(), name, data, nullptr, 0, name, 0, 1, side,
                      side, side);
  };
  add("zones", zones.get());
  add("dem", dem.get());
  add("zonegrid_soilmodel", zones.get());
  add("soil_types", ones.get());
  add("slope_angle", slope.get());
  add("landuse1", ones.get());
  add("root_depth1", roots.get());
  add("throughfall0", input.get());
  add("pot_transpiration1", demand.get());
  add("potential_evaporation", demand.get());
  for (const char* name :
       {"vegetation_coverage_degree1", "leaf_area_index1", "SurfaceCanopyResistance1",
        "SurfaceIntercepResistance1", "RoughnessLength1", "pot_transpiration0",
        "real_transpiration0", "real_transpiration1", "SurfaceEvaporationResistance", "albedo",
        "real_evaporation"}) {
    sinks.emplace_back(diag, 1, side, side, side);
    add(name, sinks.back().get());
  }

  std::vector<SoilRecord> soils(2);
  soils[0] = SoilRecord(1);
  const std::string loam =
      "ksat = 2.89e-6; theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; "
      "Par_n = 1.56; ";
  soils[1].ParseEntry(
      diag,
      layers == 8
          ? "1 loam method MultipleHorizons { layers = 3 5; " + loam + "thickness = 0.1 0.3; }"
          : "1 loam method MultipleHorizons { layers = " + std::to_string(layers) + "; " + loam +
                "thickness = 0.1; }",
      "MultipleHorizons");
  std::vector<LanduseRecord> landuse(2);
  landuse[0].SetCode(1);
  landuse[1].ParseEntry(diag,
                        "1 grass method VariableDayCount {RootDist = 1.0; TReduWet = 0.95; "
                        "HReduDry = 3.45; LimitReduWet = 0.9; Albedo = 0.25 0.25; rsc = 80 80; "
                        "LAI = 2 2; Z0 = 0.02 0.02; VCF = 0.8 0.8; RootDepth = 0.6 0.6; "
                        "AltDep = 0 0; JulDays = 1 366;}",
                        "VariableDayCount");
  std::vector<ZoneRecord> zone_table;
  std::vector<ColumnRange> columns;
  std::vector<int32_t> code_index{0, 1};
  SubModelSetup setup;
  bench::SquareOneZoneSetup(setup, side, 100.0, zone_table, columns);
  setup.diag = &diag;
  setup.control_file_name = directory + "/run.ctl";
  setup.registry = &registry;
  setup.zone_code_index = code_index.data();
  setup.soil_table = soils.data();
  setup.landuse_table = landuse.data();
  int32_t error = 0;
  auto model = std::make_unique<unsatzonmodellklasse>(error, setup);
  if (error != 0) {
    std::fprintf(stderr, "construction failed (%d):\n%s\n", error, screen.str().c_str());
    return 1;
  }
  model->SetSubStepCount(substeps);
  model->SetupRunoff(0);
  model->LinkWaterInputGrid(false);
  model->BeginStep(1, 1, 1, 2001);  // the zone sums' records of the step
  const long cells = static_cast<long>(side) * side;

  std::printf("soil-water sub-step: %d x %d cells, %d layers, %d sub-steps per step\n", side, side,
              layers, substeps);
  std::printf(
      "| threads | column-steps/s | per thread | vs 1.65e5/thread | iterations per "
      "inner step | plain loop column-steps/s | zone sums share |\n|---|---|---|---|---|"
      "---|---|\n");
  for (const int t : {1, threads}) {
    omp_set_num_threads(t);
    model->ComputeSoilColumns(1);  // warm-up
    model->innerStepCount = 0;
    model->iterationCount = 0;
    double cell_time = 0, sums_time = 0;
    const int rounds = substeps;
    for (int k = 0; k < rounds; ++k) {
      auto start = Clock::now();
      model->ComputeSoilColumns(1);
      cell_time += Seconds(start);
      start = Clock::now();
      model->AddZoneSums();
      sums_time += Seconds(start);
    }
    // The memory floor: read and write the stacks and write the grids of every cell.
    double*** theta = model->Stack(unsatzonmodellklasse::kTheta);
    double*** head = model->Stack(unsatzonmodellklasse::kHydraulicHeads);
    double*** q = model->Stack(unsatzonmodellklasse::kQDown);
    double*** z = model->Stack(unsatzonmodellklasse::kGeodeticHeads);
    std::vector<double**> written;
    for (auto g :
         {unsatzonmodellklasse::kDirectflow, unsatzonmodellklasse::kInterflow,
          unsatzonmodellklasse::kBaseflow, unsatzonmodellklasse::kPercolation,
          unsatzonmodellklasse::kCapillaryUprise, unsatzonmodellklasse::kGroundwaterRecharge,
          unsatzonmodellklasse::kTotalInfiltration, unsatzonmodellklasse::kInfiltrationExcess,
          unsatzonmodellklasse::kMacroporeInfiltration, unsatzonmodellklasse::kSoilMoistureRoot,
          unsatzonmodellklasse::kSoilMoistureProfile, unsatzonmodellklasse::kRootGrid,
          unsatzonmodellklasse::kGroundwaterDistance, unsatzonmodellklasse::kGroundwaterLevel})
      written.push_back(model->Grid(g));
    const int n = model->layerCount;
    auto start = Clock::now();
    for (int k = 0; k < rounds; ++k)
      ForEachRow(1, side, [&](long r) {
        double column[4][64];
        for (long c = 1; c <= side; ++c) {
          const double w = input[r][c] + demand[r][c] + roots[r][c];
          for (int l = 0; l <= n; ++l) {
            column[0][l] = theta[r][c][l] + w;
            column[1][l] = head[r][c][l];
            column[2][l] = q[r][c][l];
            column[3][l] = z[r][c][l];
          }
          for (int l = 0; l <= n; ++l) {
            theta[r][c][l] = column[0][l] - w;
            head[r][c][l] = column[1][l] + column[3][l] * 0.0;
            q[r][c][l] = column[2][l];
          }
          for (double** g : written) g[r][c] += 0.0 * w;
        }
      });
    const double floor_time = Seconds(start);
    const double rate = cells * static_cast<double>(rounds) / cell_time;
    std::printf("| %d | %.3g | %.3g | %.2f | %.2f | %.3g | %.1f %% |\n", t, rate, rate / t,
                rate / t / 1.65e5,
                static_cast<double>(model->iterationCount) /
                    static_cast<double>(std::max<int64_t>(1, model->innerStepCount)),
                cells * static_cast<double>(rounds) / floor_time,
                100.0 * sums_time / (sums_time + cell_time));
  }
  // "-dumpmode" when no column fails its tests (one thread): the snapshot of every inner step
  // and the tests after it, against the same sub-steps without them.
  omp_set_num_threads(1);
  double dump_rate[2] = {0, 0};
  for (const int dump : {0, 1}) {
    model->SetDumpMode(dump != 0, false, false, 0);
    const auto start = Clock::now();
    for (int k = 0; k < substeps; ++k) model->ComputeSoilColumns(1);
    dump_rate[dump] = cells * static_cast<double>(substeps) / Seconds(start);
  }
  std::printf("-dumpmode on 1 thread: %.3g column-steps/s, off: %.3g (on/off %.2f; %lld events)\n",
              dump_rate[1], dump_rate[0], dump_rate[1] / dump_rate[0],
              static_cast<long long>(model->dumpEvents.load()));
  model->ReleaseMemory();
  fs::current_path("/");
  fs::remove_all(directory);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return velorn::bench::BenchMain(argc, argv, "soil_water_step_bench", Run);
}

// Whole runs of the shipped example basin (examples/front-range/) as scripts/run-example runs
// it: the year as shipped (degree-day snow, soil water), variants of January to March without
// the soil zone (Hamon instead of Penman-Monteith, snow by its energy balance, interception
// before snow, snow sliding off slopes), April with ponding on the soil, and January to March
// with frozen soil (heat transfer), also after a temperature pre-spin-up, four days of January
// with a layered snow pack on the frozen soil and four with river-link cells computed by the
// process of their link, eight days of April with lakes in the soil zone, nine days of May and
// June with a lake of discharge routing, and five days of April
// with tile drains, with hydrologic response units and with a groundwater table handed over by
// an external model, on 1 process with 2 threads and on 3 processes (the variants without the
// soil zone on 2 as well). Each run is a test of its own: every output file must equal the
// reviewed files in tests/runs/expected/front-range/<variant>/ (the grids, written as binary
// doubles, through the ASCII text of their values), so the outputs of every process
// count are the same (MPIRegions_0, which describes the decomposition itself, the files of one
// process's share and the soil zone's storage content files, one per process, are left out).
// VELORN_UPDATE_EXPECTED=1 writes the outputs of one process there instead, for a deliberate
// change of the results, to be reviewed (--gtest_filter=FrontRange/ExampleVariant.*/year_on_1
// picks one variant). A malformed copy of each kind of input (a control-file section, a grid, a
// station table) must end in its FATAL entry and code, with a valid diagnostics file, and a run
// refused in its set-up leave the files an earlier run left in its output folder as they were. A
// run split in two, the second part a warm start from the state the first stored, must end as
// the whole; a warm start from a state with a value the model never writes, or from the state of
// a run killed while writing it, is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/glacier_example.h"
#include "tests/support/grid_files.h"
#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

// Replaces `from` by `to` in an input file of the example copy; the text must be there, so a
// change of the example shows up here instead of a variant that silently runs the original.
struct Edit {
  const char* file;
  std::string from;
  std::string to;
};

void ApplyEdits(const fs::path& dir, const std::vector<Edit>& edits) {
  for (const Edit& edit : edits) {
    const std::string path = (dir / edit.file).string();
    std::string text = ReadFile(path);
    const std::size_t at = text.find(edit.from);
    ASSERT_NE(at, std::string::npos) << edit.file << " holds no \"" << edit.from << "\"";
    text.replace(at, edit.from.size(), edit.to);
    WriteFile(path, text);
  }
}

// What an external groundwater model hands over at every exchange: a water table 1 m below the
// surface of every cell ("gw_table.asc", geodetic height in m) and the synchronisation file that
// tells the run to go on.
void WriteExternalTable(const fs::path& dir) {
  const Dem dem = ReadDem(dir);
  std::ostringstream out;
  out << dem.header;
  for (int r = 0; r < dem.nrows; ++r) {
    for (int c = 0; c < dem.ncols; ++c) {
      const double z = dem.z[static_cast<std::size_t>(r * dem.ncols + c)];
      out << (c > 0 ? " " : "") << (z > -9999 ? z - 1.0 : -9999.0);
    }
    out << "\n";
  }
  WriteFile((dir / "gw_table.asc").string(), out.str());
  WriteFile((dir / "sync.txt").string(), "Command=Continue;\n");
}

// The irrigation variant (examples/front-range/front-range-irrigation.ctl) in place of
// front-range.ctl, with its irrigation grid: its abstraction writes "ditch.txt".
void UseIrrigationVariant(const fs::path& dir) {
  const fs::path example = ExampleDir();
  fs::copy_file(example / "front-range-irrigation.ctl", dir / "front-range.ctl",
                fs::copy_options::overwrite_existing);
  fs::copy_file(example / "irrigation.asc", dir / "irrigation.asc",
                fs::copy_options::overwrite_existing);
}

// A station file that is a folder.
void MakeWindSpeedAFolder(const fs::path& dir) {
  fs::remove(dir / "stations/wind_speed.txt");
  fs::create_directory(dir / "stations/wind_speed.txt");
}

// The lake variant as shipped (examples/front-range/front-range-lake.ctl, April to September):
// its control file in place of front-range.ctl, with its lake grids, its synthetic lake levels
// and its synthetic snow survey.
void UseLakeVariant(const fs::path& dir) {
  const fs::path example = ExampleDir();
  fs::copy_file(example / "front-range-lake.ctl", dir / "front-range.ctl",
                fs::copy_options::overwrite_existing);
  for (const char* file : {"lake_codes.asc", "lake_ponding_max.asc", "lake_levels.txt",
                           "snow_survey.asc", "snow_survey_list.txt"})
    fs::copy_file(example / file, dir / file, fs::copy_options::overwrite_existing);
}

// The lake variant with a static glacier ("ice_firn.asc", code 1) on the first cell of its lake.
void UseLakeVariantWithAGlacierOnTheLake(const fs::path& dir) {
  UseLakeVariant(dir);
  const std::vector<std::string> lines = SplitLines(ReadFile((dir / "lake_codes.asc").string()));
  std::string ice;
  bool placed = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i < 6) {
      ice += lines[i] + "\n";
      continue;
    }
    std::istringstream values(lines[i]);
    for (double code = 0; values >> code;) {
      ice += code > 0 && !placed ? "1 " : code > -9999 ? "0 " : "-9999 ";
      placed = placed || code > 0;
    }
    ice += "\n";
  }
  WriteFile((dir / "ice_firn.asc").string(), ice);
  std::string control = ReadFile((dir / "front-range.ctl").string());
  control.replace(control.find("[standard_grids]\n6\n"), 19,
                  "[ice_firn]\n1\n3\n4\n2\n1\n0.1\n0.2\n0.1\n0.2\n10\n20\n5\n0\n0\n0\nfirn.asc\n0\n"
                  "qfirn.stat 2001\nice.asc\n0\nqice.stat 2001\nqglac.txt 2001\n\n"
                  "[standard_grids]\n7\nice_firn.asc ice_firn 0\n");
  WriteFile((dir / "front-range.ctl").string(), control);
}

// The groundwater variant as shipped (examples/front-range/front-range-groundwater.ctl), with its
// fixed heads and stream channels.
void UseGroundwaterVariant(const fs::path& dir) {
  const fs::path example = ExampleDir();
  fs::copy_file(example / "front-range-groundwater.ctl", dir / "front-range.ctl",
                fs::copy_options::overwrite_existing);
  for (const char* file : {"gw_boundary_fix_h_1.asc", "river_width.asc", "river_depth.asc"})
    fs::copy_file(example / file, dir / file, fs::copy_options::overwrite_existing);
}

// The silting-up variant as shipped (examples/front-range/front-range-silting.ctl).
void UseSiltingVariant(const fs::path& dir) {
  fs::copy_file(ExampleDir() / "front-range-silting.ctl", dir / "front-range.ctl",
                fs::copy_options::overwrite_existing);
}

RunResult RunExample(const TempDir& dir, int processes, const std::vector<Edit>& edits,
                     bool slides = false, int threads = 0,
                     const std::vector<std::string>& options = {},
                     void (*prepare)(const fs::path&) = nullptr, bool partner = false,
                     const std::vector<std::string>& environment = {},
                     std::function<void(int)> while_running = {}) {
  CopyExample(dir.path());
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  if (slides) WriteSlideFractions(dir.path());
  if (prepare != nullptr) prepare(dir.path());
  ApplyEdits(dir.path(), edits);
  RunOptions run;
  run.processes = processes;
  run.directory = dir.path().string();
  // Two threads on one process; one thread per process otherwise: threads that spin-wait
  // beside busy-polling MPI processes make a run many times slower on a shared machine.
  if (threads == 0) threads = processes == 1 ? 2 : 1;
  run.environment = {"OMP_NUM_THREADS=" + std::to_string(threads)};
  run.environment.insert(run.environment.end(), environment.begin(), environment.end());
  run.while_running = std::move(while_running);
  // The year with soil water takes about a minute of one core on an idle machine.
  run.timeout_seconds = 600;
  std::vector<std::string> arguments = {"front-range.ctl"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  // The coupled program: it answers every step's "to_partner.txt" with the synchronisation
  // file (the table file stays) until the run writes that it is done.
  if (partner)
    run.while_running = [&dir](int) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
      while (!fs::exists(dir / "to_partner.txt_Done") &&
             std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(dir / "to_partner.txt")) {
          fs::remove(dir / "to_partner.txt");
          WriteFileWhole(dir / "sync.txt", "Command=Continue;\n");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
  return RunVelorn(run, arguments);
}

std::vector<std::string> Names(const std::map<std::string, std::string>& files) {
  std::vector<std::string> names;
  for (const auto& [name, text] : files) names.push_back(name);
  return names;
}

const std::string kModelEnd =
    "0          # end: hour, day, month, year (the last daily step, 31 December 2019)\n31\n12\n";
const std::string kDegreeDay = "1          # method 1: degree-day (temperature index)";
const std::string kColdStart =
    "0          # the pack starts empty (1: read from the storage grids above)\n";
// The lines of the energy-balance methods after the storage switch.
const std::string kEnergyBalanceLines =
    "snowtemp.asc\n0\nsnowtemp.stat 2001\nsurftemp.asc\n0\nsurftemp.stat 2001\n"
    "inputmass.asc\n0\ninputmass.stat 0\nmobilemass.asc\n0\nmobilemass.stat 0\n"
    "deposition.asc\n0\ndeposition.stat 0\n55\n1\n30\n0.01\n1\n1\n1.0\n";
// The same for a slide method: the slide grids written, snow slides off slopes of 15 degrees
// and more, 5 % of the pack per step, flat cells take up to 20 mm.
const std::string kSlideLines =
    "snowtemp.asc\n0\nsnowtemp.stat 0\nsurftemp.asc\n0\nsurftemp.stat 0\n"
    "inputmass.asc\n0\ninputmass.stat 2001\nmobilemass.asc\n0\nmobilemass.stat 2001\n"
    "deposition.asc\n0\ndeposition.stat 2001\n55\n20\n15\n0.05\n1\n1\n1.0\n";
const std::string kInterceptionMethod =
    "2          # method: evaporation at the potential interception evaporation, the potential\n"
    "           # transpiration reduced by the same amount";
// Discharge routing switched off (it takes its runoff from the soil zone: with the soil zone off
// routing would end with code 43).
const Edit kRoutingOff = {"front-range.ctl", "[routing_model]\n1          # on",
                          "[routing_model]\n0          # off"};
// The soil zone switched off, and ponding on with a pond of up to 15 mm in every cell.
const Edit kSoilOff = {"front-range.ctl", "[unsatzon_model]\n1          # on",
                       "[unsatzon_model]\n0          # off"};
const std::vector<Edit> kPonding = {
    {"front-range.ctl", "0          # no ponding: water the soil cannot take runs off at once",
     "1          # ponding"},
    {"front-range.ctl", "[variable_grids]\n0\n",
     "[variable_grids]\n1\nponding_max.asc max_ponding_storage 0 15\n0\n0\n"},
    {"front-range.ctl", "pond.stat 0\n", "pond.stat 2001\n"}};
// Heat transfer and frozen soil in the soil columns.
const Edit kHeatOn = {"front-range.ctl", kSectionsEnd, kHeatTransfer + kSectionsEnd};
// A layered snow pack of three layers on the soil columns (with heat transfer).
const Edit kLayeredSnowOn = {"front-range.ctl", kSectionsEnd, kLayeredSnow + kSectionsEnd};
const std::string kPenmanMonteith =
    "1          # method 1: Penman-Monteith per vegetation layer, day and night apart";

// Hydrologic response units (spin-up switch 2: one pass) of land use, soil type and 100 m
// elevation bands.
const Edit kResponseUnits = {"front-range.ctl", "[SpinUp]\n0 ",
                             "[SpinUp]\n2\n0\n1\n3\nlanduse1 1 linear\nsoil_types 1 linear\n"
                             "elevation_model 100 linear\n# "};

const Edit kStartInApril = {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
                            "0          # start\n1\n4\n"};

// Ponding as above from 1 April to the day `last_day` of April.
std::vector<Edit> PondingInApril(const std::string& last_day) {
  std::vector<Edit> edits = {
      {"front-range.ctl", kModelEnd, "0\n" + last_day + "\n4\n"},
      {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
       "0          # start\n1\n4\n"}};
  edits.insert(edits.end(), kPonding.begin(), kPonding.end());
  return edits;
}

// The year writes the grids the hydrologist's checks read (tests/runs/water_balance_test.cpp):
// monthly sums of the snow days and of the snow storage, the minimum over the run of the snow
// and interception stores and the minimum and maximum of the root zone's water content, and
// the water content of every layer of the summit cell (row 27, column 15) at every daily step.
const std::vector<Edit> kYearChecks = {
    {"front-range.ctl", "snowdays.dbl   # days with snow cover\n0\n",
     "snowdays.dbl   # days with snow cover\n30\n"},
    {"front-range.ctl", "snowstorage.dbl   # total snow storage grid\n0\n",
     "snowstorage.dbl   # total snow storage grid\n30\n"},
    {"front-range.ctl", "snowsolid.dbl  # solid snow storage (mm water equivalent)\n0\n",
     "snowsolid.dbl  # solid snow storage (mm water equivalent)\n100\n"},
    {"front-range.ctl", "snowliquid.dbl # liquid water in the pack (mm)\n0\n",
     "snowliquid.dbl # liquid water in the pack (mm)\n100\n"},
    {"front-range.ctl", "interception_storage.dbl\n0\n", "interception_storage.dbl\n100\n"},
    {"front-range.ctl", "\nsb1.dbl\n0\n", "\nsb1.dbl\n300\n"},
    {"front-range.ctl", "0 0        # no control point", "27 15      # control point"}};

struct Variant {
  const char* name;
  std::vector<Edit> edits;
  // The runs with soil water cost most: 1 and 3 processes show the identity.
  std::vector<int> processes = {1, 3};
  bool slides = false;
  void (*prepare)(const fs::path&) = nullptr;  // writes further input files
  bool partner = false;                        // a coupled program answers every step
};
const std::vector<Variant>& Variants() {
  static const std::vector<Variant> variants = {
      {"year", kYearChecks},
      // The quarters vary the models above the soil; the soil zone runs in the year and in
      // the April with ponding.
      {"hamon-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kPenmanMonteith, "2          # method 2: Hamon"},
        kSoilOff,
        kRoutingOff},
       {1, 2, 3}},
      // Snow by its energy balance, January to March.
      {"energy-balance-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kDegreeDay, "5"},
        {"front-range.ctl", kColdStart, kColdStart + kEnergyBalanceLines},
        kSoilOff,
        kRoutingOff},
       {1, 2, 3}},
      // Interception before snow (method 12): the snow model takes the throughfall.
      {"interception-before-snow-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kInterceptionMethod, "12"},
        kSoilOff,
        kRoutingOff},
       {1, 2, 3}},
      // Degree-day snow sliding off slopes of 15 degrees and more, January to March.
      {"slide-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        {"front-range.ctl", kDegreeDay, "8"},
        {"front-range.ctl", kColdStart, kColdStart + kSlideLines},
        {"front-range.ctl", "[standard_grids]\n5\n",
         "[standard_grids]\n9\nslidefraction1.asc slidefraction1 0\n"
         "slidefraction2.asc slidefraction2 0\nslidefraction3.asc slidefraction3 0\n"
         "slidefraction4.asc slidefraction4 0\n"},
        kSoilOff,
        kRoutingOff},
       {1, 2, 3},
       true},
      // Ponding of up to 15 mm on the soil, April.
      {"soil-ponding-april", PondingInApril("30")},
      // Frozen soil, January to March; and the same after a temperature pre-spin-up over the
      // quarter, which sets the first soil temperatures from its degree days.
      {"soil-heat-quarter", {{"front-range.ctl", kModelEnd, "0\n31\n3\n"}, kHeatOn}, {1, 3}},
      // A snow pack in layers on the frozen soil, 16 to 19 January (a snowfall of 8 mm), with
      // its ice stack and the grid of its top layer.
      {"layered-snow-january",
       {{"front-range.ctl", kModelEnd, "0\n19\n1\n"},
        {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
         "0          # start\n16\n1\n"},
        kHeatOn,
        kLayeredSnowOn,
        {"front-range.ctl", "swes.stk\n0\n", "swes.stk\n1\n"},
        {"front-range.ctl", "upper.asc\n0\n", "upper.asc\n1\n"}}},
      // Snow held in the forest canopy (interception method 22), 1 to 22 January: the canopy's
      // load and its sublimation are the canopy's own, the interception tables the leaves'.
      {"canopy-snow-january",
       {{"front-range.ctl", kModelEnd, "0\n22\n1\n"},
        {"front-range.ctl", kInterceptionMethod, "22"},
        {"front-range.ctl",
         "0          # the storages start empty (1: read from the grids above)\n",
         "0\n" + kCanopyGrids + "0.5\n0.01\n1.0\n"},
        kRoutingOff}},
      // The layered pack on the frozen soil under response units (as in April below) and snow
      // method 3 (whose refreezing the layers' heat does), 1 January to 9 February, when the
      // layers have melted.
      {"layered-snow-units-winter",
       {{"front-range.ctl", kModelEnd, "0\n9\n2\n"},
        {"front-range.ctl", kDegreeDay, "3"},
        kHeatOn,
        kLayeredSnowOn,
        kResponseUnits,
        kRoutingOff}},
      // The cells of every river link computed by the process of its link (interaction
      // parameter 2): on 3 processes the links cross the strips, 16 to 19 January.
      {"soil-river-links-january",
       {{"front-range.ctl", kModelEnd, "0\n19\n1\n"},
        {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
         "0          # start\n16\n1\n"},
        {"front-range.ctl", "0          # no exchange with river water", "2"}}},
      // The river cells as lakes of the soil zone (method 2: flattened, lowered by their pond
      // of up to 15 mm), 1 to 8 April, without discharge routing (its lakes need lake tables).
      {"soil-lake-april",
       [] {
         std::vector<Edit> edits = PondingInApril("8");
         edits.push_back({"front-range.ctl", "[standard_grids]\n5\n",
                          "[standard_grids]\n6\nriver_links.asc lake_codes 0\n"});
         edits.push_back({"front-range.ctl", kSectionsEnd,
                          "[lake_model]\n1\n2\n0.08\n0.001\n\n" + kSectionsEnd});
         edits.push_back(kRoutingOff);
         return edits;
       }()},
      // The shipped lake variant cut to 27 May - 4 June: a lake above the outlet as reservoir
      // SP 5 of subbasin 5 with discharge routing. It starts from the water the soil zone ponds
      // on its cells (readgrids 1), releases by the winter rule to 31 May and the summer rule
      // from 1 June, and is set to the listed levels of 28 May and 4 June; the snow survey of
      // 28 May replaces the snow storages (data assimilation). Its balance file and
      // level-volume table are outputs.
      {"lake-routing-june",
       {{"front-range.ctl", "0          # start: hour, day, month, year\n1\n4\n",
         "0          # start\n27\n5\n"},
        {"front-range.ctl",
         "0          # end: hour, day, month, year (the last daily step, 30 September "
         "2019)\n30\n9\n",
         "0\n4\n6\n"}},
       {1, 2, 3},
       false,
       UseLakeVariant},
      {"soil-heat-pre-spin-up-quarter",
       {{"front-range.ctl", kModelEnd, "0\n31\n3\n"},
        kHeatOn,
        {"front-range.ctl", "[SpinUp]\n0 ",
         "[SpinUp]\n1\n1\n1\n1\nelevation_model 10 linear\n# "}}},
      // Tile drains 0.8 m deep and 20 m apart in every cell, 1 to 5 April.
      {"soil-drainage-april",
       {{"front-range.ctl", kModelEnd, "0\n5\n4\n"},
        kStartInApril,
        {"front-range.ctl", "0          # no tile drainage", "1          # tile drains"},
        {"front-range.ctl", "[standard_grids]\n5\n",
         "[standard_grids]\n7\ndrainage_depth drainage_depth 0 readcode=0 defaultValue=0.8\n"
         "drainage_distance drainage_distance 0 readcode=0 defaultValue=20\n"},
        {"front-range.ctl", "qdrain.stat 0 ", "qdrain.stat 2001"}}},
      // Hydrologic response units (spin-up switch 2: one pass) of land use, soil type and 100 m
      // elevation bands: each unit's cells take the state of its master cell, 1 to 5 April.
      {"soil-response-units-april",
       {{"front-range.ctl", kModelEnd, "0\n5\n4\n"}, kStartInApril, kResponseUnits}},
      // A groundwater table 1 m below the surface handed over by an external model through the
      // coupling files at the start of every day, 1 to 5 April: each exchange fills the columns
      // up to it or drains them down to it again (the account books the water it moves).
      {"soil-external-table-april",
       {{"front-range.ctl", kModelEnd, "0\n5\n4\n"},
        kStartInApril,
        {"front-range.ctl", "[ExternalCoupling]\n0 ",
         "[ExternalCoupling]\n1\n./sync.txt\n10\nD\n1440\n1\ngw_table.asc GWTableExtern 0 2\n"
         "0\n0\n./to_partner.txt\nCommand=Continue;\n# "}},
       {1, 3},
       false,
       WriteExternalTable,
       true},
  };
  return variants;
}

// One run of a variant on a number of processes, a test of its own so that CTest runs them side
// by side: its outputs must equal the reviewed files, so the outputs of every process count are
// the same. VELORN_UPDATE_EXPECTED=1 writes the outputs of one process there instead.
struct VariantRun {
  std::size_t variant;
  int processes;
};

void PrintTo(const VariantRun& run, std::ostream* out) {
  *out << Variants()[run.variant].name << " on " << run.processes;
}

// Under the sanitizers a run costs ten times as much: there each variant runs on its largest
// process count only, which meets every code path of the smaller ones and the exchanges besides.
// The identity across process counts is the normal build's test.
std::vector<VariantRun> AllVariantRuns() {
  std::vector<VariantRun> runs;
  for (std::size_t v = 0; v < Variants().size(); ++v) {
    const std::vector<int>& counts = Variants()[v].processes;
    if (VELORN_SANITIZED_BUILD) {
      runs.push_back({v, *std::max_element(counts.begin(), counts.end())});
      continue;
    }
    for (const int processes : counts) runs.push_back({v, processes});
  }
  return runs;
}

class ExampleVariant : public ::testing::TestWithParam<VariantRun> {};

TEST_P(ExampleVariant, OutputsAreAsReviewed) {
  const Variant& variant = Variants()[GetParam().variant];
  const int processes = GetParam().processes;
  const bool update = std::getenv("VELORN_UPDATE_EXPECTED") != nullptr;
  if (update && processes != 1) GTEST_SKIP() << "the expected files come from one process";
  const fs::path expected_dir =
      ExampleDir().parent_path().parent_path() / "tests/runs/expected/front-range" / variant.name;
  TempDir dir;
  const RunResult result = RunExample(dir, processes, variant.edits, variant.slides, 0, {},
                                      variant.prepare, variant.partner);
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  ASSERT_NE(result.diag.find(DiagnosticsLine(4, "reached end of simulation sucessfully")),
            std::string::npos);
  auto outputs = OutputFiles(dir.path() / "output");
  // The soil zone's storage content files hold each process's own state; the channel tables
  // ("wq_table.*") follow from the routing descriptions alone and have tests of their own.
  std::erase_if(outputs, [](const auto& file) {
    return file.first.starts_with("soilstorage_") || file.first.starts_with("wq_table.");
  });
  // The example writes its grids and stacks as binary doubles; the reviewed files hold them as
  // the ASCII text of the same values, which a reviewer can read.
  for (auto& [name, bytes] : outputs)
    if (IsBinaryGridFile(bytes)) bytes = AsciiGridText(ParseGridFile(bytes, name));
  if (update) {
    fs::remove_all(expected_dir);
    fs::create_directories(expected_dir);
    for (const auto& [name, text] : outputs) WriteFile((expected_dir / name).string(), text);
    std::cout << "wrote " << expected_dir.string() << "\n";
    return;
  }
  const auto expected = OutputFiles(expected_dir);
  ASSERT_EQ(Names(outputs), Names(expected));
  for (const auto& [name, text] : outputs) {
    EXPECT_TRUE(text == expected.at(name)) << name << " differs from " << expected_dir.string();
  }
}

INSTANTIATE_TEST_SUITE_P(FrontRange, ExampleVariant, ::testing::ValuesIn(AllVariantRuns()),
                         [](const ::testing::TestParamInfo<VariantRun>& info) {
                           std::string name = Variants()[info.param.variant].name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + "_on_" + std::to_string(info.param.processes);
                         });

// The zone statistics are summed inside the threads' row loops: every table of January on one
// process is the same with one thread and with four.
TEST(ExampleRun, StatisticsTablesAreTheSameOnOneAndFourThreads) {
  // A week holds every table's rows from every thread; longer only costs time.
  const std::vector<Edit> week = {{"front-range.ctl", kModelEnd, "0\n7\n1\n"}};
  std::map<std::string, std::string> tables[2];
  for (const int k : {0, 1}) {
    TempDir dir;
    const RunResult result = RunExample(dir, 1, week, false, k == 0 ? 1 : 4);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    for (const auto& [name, text] : OutputFiles(dir.path() / "output"))
      if (name.ends_with(".stat")) tables[k][name] = text;
  }
  ASSERT_GE(tables[0].size(), 10u);
  ASSERT_EQ(Names(tables[1]), Names(tables[0]));
  for (const auto& [name, text] : tables[1]) EXPECT_TRUE(text == tables[0].at(name)) << name;
}

// The dump files ("*.dmp" and their "*.dmp_asc" twins) of a run's working directory, named
// without the rank that wrote them ("MPI_<rank>_").
std::map<std::string, std::string> DumpFiles(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".dmp") != std::string::npos)
      files[name.substr(name.find('_', 4) + 1)] = ReadFile(entry.path().string());
  }
  return files;
}

// "-dumpmode" in the layered snow of 16 and 17 January: the implicit heat solution passes the heat
// test (of what the heat steps left, before the snow restructuring); with the explicit one,
// where the snow falls on the frozen soil,
// some inner steps fail the temperature test. Every dump file is the same on one process and on
// three; each binary file holds the 48 items of a column of 3 snow and 8 soil layers (12 column
// values) with one vegetation layer: 4 + 3·8 + 2·8 + 21·12·8 + 8 + 4·4·8 + 4·8 + 4 + 8 + 4·4 +
// 2·8 + 4 + 2·8 + 4 + 2·8 = 2304 bytes. With "-dumpmode:2 -repairAfterDump" two files and
// two repair entries; with "-dumpmode:2 -closeAfterDump" the run ends with code 199 and its FATAL
// entry after the first dump.
TEST(ExampleRun, DumpFilesOfTheLayeredSnowWithRepairAndClose) {
  std::vector<Edit> days = {
      {"front-range.ctl", kModelEnd, "0\n17\n1\n"},
      {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
       "0          # start\n16\n1\n"},
      kHeatOn,
      kLayeredSnowOn};
  TempDir implicit;
  ASSERT_EQ(RunExample(implicit, 1, days, false, 0, {"-dumpmode"}).exit_status, 0);
  EXPECT_TRUE(DumpFiles(implicit.path()).empty());
  days.push_back({"front-range.ctl", "11         # method 11: implicit", "1"});
  // Under the sanitizers on 3 processes only (as the variants).
  std::vector<std::map<std::string, std::string>> dumps;
  for (const int processes : {1, 3}) {
    if (VELORN_SANITIZED_BUILD && processes == 1) continue;
    TempDir dir;
    const RunResult result = RunExample(dir, processes, days, false, 0, {"-dumpmode"});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    dumps.push_back(DumpFiles(dir.path()));
  }
  ASSERT_GE(dumps[0].size(), 20u);
  ASSERT_EQ(Names(dumps.back()), Names(dumps[0]));
  for (const auto& [name, bytes] : dumps[0]) {
    EXPECT_TRUE(bytes == dumps.back().at(name)) << name;
    if (name.ends_with(".dmp")) {
      EXPECT_EQ(bytes.size(), 2304u) << name;
      EXPECT_TRUE(dumps[0].contains(name + "_asc")) << name;
    }
  }
  // With "-dumpmode:2 -repairAfterDump" (one thread) two events write files and a DEBUG entry
  // each, the second saying that later ones go without it; the run goes on to its end.
  {
    TempDir dir;
    const RunResult result =
        RunExample(dir, 1, days, false, 1, {"-dumpmode:2", "-repairAfterDump"});
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(DumpFiles(dir.path()).size(), 4u);
    // The entries in the diagnostics file: the message, then the message with its last words.
    const std::string entry = "command line option -repairAfterDump active!";
    const std::string last = "continuing from now on without that message";
    std::vector<std::size_t> at;
    for (std::size_t p = result.diag.find(entry); p != std::string::npos;
         p = result.diag.find(entry, p + 1))
      at.push_back(p);
    ASSERT_EQ(at.size(), 2u) << result.diag;
    const std::size_t continuing = result.diag.find(last);
    ASSERT_NE(continuing, std::string::npos);
    EXPECT_GT(continuing, at[1]);
  }
  TempDir dir;
  const RunResult result = RunExample(dir, 1, days, false, 1, {"-dumpmode:2", "-closeAfterDump"});
  EXPECT_EQ(result.exit_status, 199) << result.Describe();
  EXPECT_EQ(DumpFiles(dir.path()).size(), 2u);
  EXPECT_NE(result.diag.find("command line option -closeAfterDump active!"), std::string::npos);
  EXPECT_NE(result.diag.find(DiagnosticsLine(0, "Exception 199 caught at top level!")),
            std::string::npos)
      << result.diag;
  if (const auto schema = RefData("pi-diag-schema/pi_diag.xsd")) {
    EXPECT_EQ(ValidateDiagnostics((dir.path() / "Velorn_Diag_0.xml").string(), *schema), "");
  }
}

// An empty layered pack is no pack: from 1 to 3 July the soil under layered snow computes as with
// heat transfer alone (with dSEeffectivenessSoil 0, as without layered snow): every table.
TEST(ExampleRun, EmptyLayeredSnowIsTheSoilColumnWithHeatTransfer) {
  std::vector<Edit> edits = {
      {"front-range.ctl", kModelEnd, "0\n3\n7\n"},
      {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
       "0          # start\n1\n7\n"},
      kHeatOn};
  TempDir heat, layered;
  ASSERT_EQ(RunExample(heat, 1, edits).exit_status, 0);
  edits.insert(edits.end(), {kLayeredSnowOn, {"front-range.ctl", "0.5\n0.4\n", "0.5\n0\n"}});
  ASSERT_EQ(RunExample(layered, 1, edits).exit_status, 0);
  EXPECT_EQ(OutputFiles(layered.path() / "output"), OutputFiles(heat.path() / "output"));
}

// "con" at 10 in the rain, "eva" evaporating at 10 in the soil water, grids written at the end.
const std::string kTracerLine =
    " non_radioactive min_conc = 0 max_conc = 1000 mg/l statcode = 2001 gridcode = 3 path = ./ "
    "statext = sta gridext = asc";
const std::vector<Edit> kTracerEdits = {
    {"front-range.ctl", "0          # no solute tracers",
     "2\ncon non_evaporating soilini = 0 gwini = 0" + kTracerLine +
         "\neva evaporating soilini = 10 gwini = 10" + kTracerLine},
    {"front-range.ctl", "[variable_grids]\n0\n",
     "[variable_grids]\n2\ncin concflux_tracer_1_input 0 10\n0\n0\n"
     "ein concflux_tracer_2_input 0 0\n0\n0\n"}};

// The state a warm start reads: every model's storage grids written at the end of the run (as
// binary doubles, exact, as the example writes its grids), and the storage switches of the
// snow, interception and soil models.
std::vector<Edit> StoredStateEdits(bool warm) {
  std::vector<Edit> edits;
  for (const char* line : kStateLines)
    edits.push_back({"front-range.ctl", line + std::string("\n0\n"), line + std::string("\n3\n")});
  if (warm)
    for (const char* line : kStateReadSwitches) edits.push_back({"front-range.ctl", line, "1"});
  return edits;
}

// A warm start from the state stored at the end of 25 January (a snow pack of 2.3 mm that melts
// the next day, water on the leaves) continues the run as if it had not stopped: 26 and 27
// January give the same table rows as the run of 24 to 27 January, and the same state at the
// end, bit for bit (a warm start on 4 processes from the state of 3 is refused, named by process
// 0). On 3 processes: each process stores its own runoff concentration. With
// tracers (1) the tracers' tables and grids do too, also with snow held in the canopy (2) and
// on dynamic glaciers (3: their firn, packs, mass balances and solute stored and read back).
class WarmStart : public ::testing::TestWithParam<int> {};
TEST_P(WarmStart, ContinuesTheRunBitForBit) {
  const auto period = [](const char* first_day, const char* last_day, bool warm) {
    std::string canopy;
    for (int i = 0; i < 10; ++i) canopy += "canopy" + std::to_string(i) + ".asc\n3\nc.sta 0\n";
    std::vector<Edit> edits = {{"front-range.ctl", "from the grids above)\n\n",
                                "from the grids above)\n" + canopy + "0.5\n0.01\n1.0\n\n"},
                               {"front-range.ctl", "2          # method: evaporation", "22 #"}};
    edits.resize(GetParam() == 2 ? 2 : 0);
    // Dynamic glaciers with their glacier storages (3): the firn stack, the glacier parts'
    // packs and mass balances stored at the end and read back; melting from -8 degC, so that
    // the glacier storages hold water (written with six decimals only, they gave another
    // runoff concentration after the warm start).
    if (GetParam() == 3) {
      for (const auto& [from, to] : GlacierEdits()) edits.push_back({"front-range.ctl", from, to});
      for (const char* grid :
           {"firn.stk", "gmb.asc", "gmbold.asc", "og1.asc", "og2.asc", "og3.asc"})
        edits.push_back({"front-range.ctl", std::string("\n") + grid + "\n0\n",
                         std::string("\n") + grid + "\n3\n"});
      if (warm) edits.push_back({"front-range.ctl", "\n0\n3 2500 0.5\n", "\n1\n3 2500 0.5\n"});
      edits.push_back({"front-range.ctl", "0.0        # T0: melt", "-8.0 # T0: melt"});
    }
    for (const Edit& edit : StoredStateEdits(warm)) edits.push_back(edit);
    if (GetParam() > 0) edits.insert(edits.end(), kTracerEdits.begin(), kTracerEdits.end());
    edits.push_back({"front-range.ctl", kModelEnd, std::string("0\n") + last_day + "\n1\n"});
    edits.push_back({"front-range.ctl", "0          # start: hour, day, month, year\n1\n",
                     std::string("0          # start\n") + first_day + "\n"});
    return edits;
  };
  TempDir whole, first, second;
  for (const auto& [dir, edits] : {std::pair{&whole, period("24", "27", false)},
                                   std::pair{&first, period("24", "25", false)}}) {
    const RunResult result =
        RunExample(*dir, 3, edits, false, 0, {}, GetParam() == 3 ? WriteGlacierGrids : nullptr);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
  }
  // The second part runs in a directory that holds the first part's outputs as its initial
  // state (InitialStateDirectory is the run directory).
  for (const auto& entry : fs::directory_iterator(first.path() / "output"))
    fs::copy_file(entry.path(), second.path() / entry.path().filename());
  const RunResult result = RunExample(second, 3, period("26", "27", true), false, 0, {},
                                      GetParam() == 3 ? WriteGlacierGrids : nullptr);
  ASSERT_EQ(result.exit_status, 0) << result.Describe();

  const auto whole_outputs = OutputFiles(whole.path() / "output");
  const auto second_outputs = OutputFiles(second.path() / "output");
  int tables = 0, states = 0;
  for (const auto& [name, text] : second_outputs) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(whole_outputs.contains(name));
    const std::string& all = whole_outputs.at(name);
    if (name.ends_with(".stat") || name.ends_with(".sta")) {
      // The rows of 26 and 27 January close the whole run's table.
      const std::size_t rows = text.find("\n2019\t 1\t26\t");
      ASSERT_NE(rows, std::string::npos);
      EXPECT_TRUE(all.ends_with(text.substr(rows)));
      ++tables;
    } else if (!name.ends_with(".txt") && !name.starts_with("soilstorage_")) {
      EXPECT_TRUE(text == all);
      ++states;
    }
  }
  EXPECT_GE(tables, 20);
  EXPECT_GE(states, 14);
  // Every model's state went to the output directory, none into the initial state's.
  EXPECT_NE(ReadFile((first.path() / "output/soilstorage_0").string()).find("[snow_model]"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(first.path() / "soilstorage_0"));
  if (GetParam() == 3) {
    // The glacier storages' section missing from one process's file is refused naming it (that
    // process alone started them cold); missing from every file, they start cold with a WARNING.
    fs::remove(second.path() / "velorn_state.txt");
    for (const int lacking : {2, 0, 1}) {
      const fs::path file = second.path() / ("soilstorage_" + std::to_string(lacking));
      std::string text = ReadFile(file.string());
      text.replace(text.find("[snow_model]"), 12, "[glaciers_of_old]");
      WriteFile(file.string(), text);
      const RunResult lacks =
          RunExample(second, 3, period("26", "27", true), false, 0, {}, WriteGlacierGrids);
      if (lacking != 1) {
        EXPECT_EQ(lacks.exit_status, 71) << lacks.Describe();
        EXPECT_NE(lacks.diag.find(file.filename().string() + " holds no section [snow_model]"),
                  std::string::npos)
            << lacks.Describe();
      } else {
        EXPECT_EQ(lacks.exit_status, 0) << lacks.Describe();
        EXPECT_NE(lacks.diag.find("glacier model will be run with cold start"), std::string::npos);
      }
    }
  }
  if (GetParam() != 0) return;
  // The state of 3 processes on 4: process 0 names the fourth's missing storage content file.
  const RunResult more = RunExample(second, 4, period("26", "27", true));
  EXPECT_EQ(more.exit_status, 64) << more.Describe();
  EXPECT_NE(more.diag.find(DiagnosticsLine(0,
                                           "error opening storage content file "
                                           "./soilstorage_3: No such file or directory (on "
                                           "mpi-rank 3)")),
            std::string::npos)
      << more.Describe();
}
INSTANTIATE_TEST_SUITE_P(ExampleRun, WarmStart, ::testing::Values(0, 1, 2, 3));

// A lake that starts from V0 (readgrids 0) or from the ponding water on its cells (1) takes on a
// warm start the volume the storage file restores: binding the lake wrote V0's level, or took the
// stored ponding grid (written before the lake's last step), and without the restored level the
// first step read that water back as the lake's volume. The lake's balance rows of the second
// half equal those of the run as a whole, with Err 0.
class WarmStartedLake : public ::testing::TestWithParam<const char*> {};
TEST_P(WarmStartedLake, KeepsItsStoredVolume) {
  const auto period = [](const char* first_day, const char* last_day, bool warm) {
    std::vector<Edit> edits = StoredStateEdits(warm);
    edits.push_back({"front-range.ctl", "pond.dbl\n0\n", "pond.dbl\n3\n"});
    edits.push_back({"front-range.ctl", "[lake_model]\n1\n1\n0.08\n0.001\n1\n",
                     std::string("[lake_model]\n1\n1\n0.08\n0.001\n") + GetParam() + "\n"});
    edits.push_back({"front-range.ctl", "0          # start: hour, day, month, year\n1\n4\n",
                     std::string("0          # start\n") + first_day + "\n5\n"});
    edits.push_back({"front-range.ctl",
                     "0          # end: hour, day, month, year (the last daily step, 30 September "
                     "2019)\n30\n9\n",
                     std::string("0\n") + last_day + "\n5\n"});
    return edits;
  };
  TempDir whole, first, second;
  for (const auto& [dir, edits] : {std::pair{&whole, period("27", "30", false)},
                                   std::pair{&first, period("27", "28", false)}}) {
    const RunResult result = RunExample(*dir, 3, edits, false, 0, {}, UseLakeVariant);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
  }
  for (const auto& entry : fs::directory_iterator(first.path() / "output"))
    fs::copy_file(entry.path(), second.path() / entry.path().filename());
  const RunResult result =
      RunExample(second, 3, period("29", "30", true), false, 0, {}, UseLakeVariant);
  ASSERT_EQ(result.exit_status, 0) << result.Describe();
  const std::string all = ReadFile((whole.path() / "output/lake5.txt").string());
  const std::string part = ReadFile((second.path() / "output/lake5.txt").string());
  const std::size_t rows = part.find("\n2019\t 5\t29\t");
  ASSERT_NE(rows, std::string::npos);
  EXPECT_TRUE(all.ends_with(part.substr(rows))) << part.substr(rows) << "\nwhole run:\n" << all;
}
INSTANTIATE_TEST_SUITE_P(ExampleRun, WarmStartedLake, ::testing::Values("0", "1"));

// The state a warm start reads, every value checked against what the model writes there: the
// example's state of 24-25 January is written once as binary doubles on kPlantProcesses
// processes, then nan, inf, a value below what the model writes there and ten times the largest
// it writes (for the numbers of the storage content files -1 and 1e300, beyond every bound of the
// file) are planted into each value of it: a basin cell (level 1 of a stack) of every state grid
// and stack of the manifest, and every kind of number of the storage content files (each line
// and position once); a value within those bounds that the cell cannot hold (a water content
// above its soil's saturation); and the grids' nodata value in a basin cell. The warm start of
// 26-27 January either refuses each, naming the file and the value it read, or does not read it
// at all (its tables are those of the clean warm start).
// Each process checks the cells of its own strip and reads its own storage content file, and a
// process that refuses one writes its own FATAL entry (process 0 into the diagnostics, the others
// on their standard error). So one run plants a different kind of value in the share of each
// process (its strip's first basin cell of the grid, the same number of its own storage content
// file) and shows up to one refusal per process; a kind that no entry of the run named (a process
// stopped before it reached that check) is planted again in the next run, until each was named
// or the run read none of those left.
// Also: a run over that state killed while it writes its storage content file leaves a state of
// two runs, which the warm start refuses.
constexpr int kPlantProcesses = 4;

struct StateRange {
  const char* file;
  double lowest, largest;    // what the model writes there
  double beyond_cell = NAN;  // within them, but more than the cell can hold (the fifth kind)
};
const StateRange kStateRanges[] = {{"theta.stk", 0, 1, 0.99},
                                   {"hh.stk", -1e6, 1e6},
                                   {"hgeo.stk", -31000, 9000},
                                   {"gwstand.dbl", -20000, 0},
                                   {"gwtheta.dbl", 0, 1},
                                   {"gwlevel.dbl", 0, 9},
                                   {"deltagw.dbl", -2e7, 2e7},
                                   {"snowsolid.dbl", 0, 1e5},
                                   {"snowliquid.dbl", 0, 1e5},
                                   {"snowstorage.dbl", 0, 1e5},
                                   {"snowdays.dbl", 0, 1},
                                   {"snowage.dbl", 0, 3.66e6},
                                   {"snowalbedo.dbl", 0, 1},
                                   {"interception_storage.dbl", 0, 1e5},
                                   {"interception_storage_Layer_1.dbl", 0, 1e5}};
constexpr int kPlantKinds = 6;

// One value of the state: a grid's basin cell (byte offset of the double) or a number of a text
// file ([begin, end) of its characters); an empty file name where a process has no such value.
struct StateValue {
  std::string file;
  std::size_t begin = 0, end = 0;
  bool binary = false;
};

// A place of the state: a grid, or a kind of number of the storage content files, with its value
// in the share of each process.
struct StateSlot {
  std::string name;
  std::vector<StateValue> of_process;
};

std::vector<Edit> StatePeriod(const char* first_day, const char* last_day, bool warm) {
  std::vector<Edit> edits = StoredStateEdits(warm);
  edits.push_back({"front-range.ctl", kModelEnd, std::string("0\n") + last_day + "\n1\n"});
  edits.push_back({"front-range.ctl", "0          # start: hour, day, month, year\n1\n",
                   std::string("0          # start\n") + first_day + "\n"});
  return edits;
}

// The numbers of a storage content file by their kind: their line's comment (digits left out)
// and their position on the line (the third and later count as one).
std::map<std::string, StateValue> StorageNumbers(const std::string& name,
                                                 const std::string& bytes) {
  std::map<std::string, StateValue> numbers;
  std::size_t start = 0;
  for (const std::string& text : SplitLines(bytes)) {
    const std::size_t comment = std::min(text.find('('), text.size());
    std::string kind = text.substr(comment);
    std::erase_if(kind, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    int position = 0;
    for (std::size_t i = 0; i < comment; ++position) {
      const std::size_t from = text.find_first_not_of(" \t", i);
      if (from >= comment) break;
      i = std::min(text.find_first_of(" \t", from), comment);
      const std::string word = text.substr(from, i - from);
      char* number_end = nullptr;
      std::strtod(word.c_str(), &number_end);
      if (*number_end != '\0') continue;  // a section's name
      numbers.try_emplace(kind + "#" + std::to_string(std::min(position, 2)),
                          StateValue{name, start + from, start + i, false});
    }
    start += text.size() + 1;
  }
  return numbers;
}

// The state, its places and the tables of the clean warm start, made once per test process.
struct PlantedState {
  TempDir run;
  std::vector<StateSlot> slots;
  std::map<std::string, std::string> tables;

  PlantedState() {
    EXPECT_EQ(RunExample(run, kPlantProcesses, StatePeriod("24", "25", false)).exit_status, 0);
    // The process of every cell, in the order of the grid files' cells.
    const GridFile owners = ReadGridFile((run.path() / "output/MPIRegions_0").string());
    std::map<std::string, std::vector<StateValue>> storage;  // kind: value per process
    for (const std::string& line : SplitLines(ReadFile(run / "output/velorn_state.txt"))) {
      if (line.rfind("file ", 0) != 0) continue;
      const std::string name = line.substr(line.rfind(' ') + 1);
      const std::string bytes = ReadFile((run.path() / "output" / name).string());
      if (IsBinaryGridFile(bytes)) {
        const GridFile grid = ParseGridFile(bytes, name);
        StateSlot slot{name, std::vector<StateValue>(kPlantProcesses)};
        for (std::size_t cell = 0; cell < owners.values.size(); ++cell) {
          const double owner = owners.values[cell];
          const std::size_t first = cell * grid.levels;
          if (!(owner >= 0 && owner < kPlantProcesses) || first >= grid.values.size() ||
              grid.values[first] == grid.geometry.nodata)
            continue;
          StateValue& value = slot.of_process[static_cast<std::size_t>(owner)];
          if (!value.file.empty()) continue;
          const std::size_t at =
              bytes.size() - 8 * (grid.values.size() - first - (grid.levels > 1));
          value = {name, at, at + 8, true};
        }
        slots.push_back(slot);
      } else if (name.starts_with("soilstorage_")) {
        const auto process = static_cast<std::size_t>(std::stoi(name.substr(12)));
        if (process >= static_cast<std::size_t>(kPlantProcesses)) continue;
        for (const auto& [kind, value] : StorageNumbers(name, bytes)) {
          auto& values = storage[kind];
          values.resize(kPlantProcesses);
          values[process] = value;
        }
      }
    }
    for (auto& [kind, values] : storage) slots.push_back({"soilstorage_*: " + kind, values});
    // The places that fewer processes hold take more runs (their kinds in turn): first, so that
    // the slices deal them out evenly.
    const auto holders = [](const StateSlot& slot) {
      return std::count_if(slot.of_process.begin(), slot.of_process.end(),
                           [](const StateValue& value) { return !value.file.empty(); });
    };
    std::stable_sort(slots.begin(), slots.end(), [&](const StateSlot& a, const StateSlot& b) {
      return holders(a) < holders(b);
    });
    TempDir warm;
    for (const auto& entry : fs::directory_iterator(run.path() / "output"))
      fs::copy_file(entry.path(), warm.path() / entry.path().filename());
    EXPECT_EQ(RunExample(warm, kPlantProcesses, StatePeriod("26", "27", true)).exit_status, 0);
    tables = OutputFiles(warm.path() / "output");
    std::erase_if(tables, [](const auto& file) { return !file.first.ends_with(".stat"); });
  }
};

PlantedState& State() {
  static PlantedState state;
  return state;
}

// The lines of the FATAL entries of a diagnostics text.
std::vector<std::string> FatalLines(const std::string& diag) {
  std::vector<std::string> lines = SplitLines(diag);
  std::erase_if(lines, [](const std::string& l) { return l.find("level=\"0\"") == l.npos; });
  return lines;
}

// A value planted into the share of one process: the file, where, and the texts its FATAL entry
// may give it in.
struct PlantedValue {
  int kind = 0;
  StateValue where;
  std::vector<std::string> named;
};

// Plants the value of `kind` at `value` into the bytes of its file; returns the planted value,
// or kind -1 where the kind does not apply to the value.
PlantedValue Plant(std::string& bytes, const StateValue& value, int kind) {
  StateRange range{"", 0, 1e30};
  for (const StateRange& r : kStateRanges)
    if (value.file == r.file) range = r;
  if (kind == 4 && (!value.binary || std::isnan(range.beyond_cell))) return {-1, value, {}};
  if (kind == 5 && !value.binary) return {-1, value, {}};
  PlantedValue planted{kind, value, {}};
  if (value.binary) {
    const double below = range.lowest < 0 ? 10 * range.lowest : -1.0;
    const double above = range.largest > 0 ? 10 * range.largest : range.largest + 1;
    const double example_nodata = -9999.0;
    const double values[] = {std::nan(""), INFINITY,          below,
                             above,        range.beyond_cell, example_nodata};
    std::memcpy(&bytes[value.begin], &values[kind], 8);
    std::ostringstream text;
    text << values[kind];
    planted.named.push_back(text.str());
  } else {
    const char* values[] = {"nan", "inf", "-1", "1e300"};
    bytes.replace(value.begin, value.end - value.begin, values[kind]);
    std::ostringstream text;
    text << std::strtod(values[kind], nullptr);
    planted.named = {values[kind], text.str()};
  }
  return planted;
}

// The entries the processes other than 0 wrote on their standard error, one text per process:
// each of their lines begins with "(mpi-rank  N) ", and the lines of two processes may meet
// within a line.
std::vector<std::string> EntriesOfOtherProcesses(const std::string& err) {
  std::map<int, std::string> texts;
  const std::string tag = "(mpi-rank";
  for (std::size_t at = err.find(tag); at != std::string::npos;) {
    const std::size_t close = err.find(')', at);
    if (close == std::string::npos) break;
    const int rank = std::atoi(err.c_str() + at + tag.size());
    const std::size_t next = err.find(tag, close);
    texts[rank] += err.substr(close + 1, next == std::string::npos ? next : next - close - 1);
    at = next;
  }
  std::vector<std::string> entries;
  for (const auto& [rank, text] : texts) entries.push_back(text);
  return entries;
}

// True when `line` holds `number` as a number of its own (not as part of a longer one).
bool HoldsNumber(const std::string& line, const std::string& number) {
  const auto digit_or_letter = [](char c) { return std::isalnum(static_cast<unsigned char>(c)); };
  for (std::size_t at = line.find(number); at != std::string::npos;
       at = line.find(number, at + 1)) {
    const std::size_t end = at + number.size();
    const bool starts = at == 0 || !(digit_or_letter(line[at - 1]) || line[at - 1] == '.' ||
                                     line[at - 1] == '-' || line[at - 1] == '+');
    // A full stop after the number ends the sentence; one before a digit continues the number.
    const bool ends =
        end == line.size() ||
        !(digit_or_letter(line[end]) || (line[end] == '.' && end + 1 < line.size() &&
                                         std::isdigit(static_cast<unsigned char>(line[end + 1]))));
    if (starts && ends) return true;
  }
  return false;
}

constexpr int kPlantSlices = 12;
// slice; -1 killed while writing the state, -2 folder edits, -3 a state over a
// state of more processes, -4 a "Finish" of the coupled program
class StatePlanting : public ::testing::TestWithParam<int> {};

// A warm start (a cold one without `warm`) from the planted state's folder after `edit` (of the
// folder's files) ends with `code` and, when it fails, a first FATAL line holding `cause`; a warm
// start that succeeds on the 26th gives the tables of the clean warm start, and a run holds
// `warning` (when given) in a WARNING.
struct FolderEdit {
  const char* name;
  std::function<void(const fs::path&)> edit;
  int code;
  std::string cause;
  std::string warning = {};
  const char* first_day = "26";
  bool warm = true;
};

void ReplaceInFile(const fs::path& file, const std::string& from, const std::string& to) {
  std::string text = ReadFile(file.string());
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << file << ": " << from;
  text.replace(at, from.size(), to);
  WriteFile(file.string(), text);
}

std::string WithoutLine(const std::string& text, const std::string& start) {
  std::string kept;
  for (const std::string& line : SplitLines(text))
    if (!line.starts_with(start)) kept += line + "\n";
  return kept;
}

const FolderEdit kFolderEdits[] = {
    {"manifest with carriage returns",
     [](const fs::path& dir) {
       std::string text;
       for (const std::string& line : SplitLines(ReadFile(dir / "velorn_state.txt")))
         text += line + "\r\n";
       WriteFile(dir / "velorn_state.txt", text);
     },
     0, ""},
    {"manifest of another first line",
     [](const fs::path& dir) { ReplaceInFile(dir / "velorn_state.txt", "velorn", "Velorn"); }, 71,
     "the state manifest ./velorn_state.txt cannot be read: its first line is not "},
    {"manifest of another first line, a cold start (which reads no state)",
     [](const fs::path& dir) { ReplaceInFile(dir / "velorn_state.txt", "velorn", "Velorn"); }, 0,
     "", "", "26", false},
    {"manifest cut short",
     [](const fs::path& dir) {
       const std::string text = ReadFile(dir / "velorn_state.txt");
       WriteFile(dir / "velorn_state.txt", text.substr(0, text.rfind("\nfile ") + 1));
     },
     71, "cannot be read: it is cut short (its last line "},
    {"manifest cut in a line",
     [](const fs::path& dir) {
       const std::string text = ReadFile(dir / "velorn_state.txt");
       WriteFile(dir / "velorn_state.txt", text.substr(0, text.rfind("\nfile ") + 12));
     },
     71, "(a listed file) cannot be read"},
    {"manifest cut after the word of its run line",
     [](const fs::path& dir) {
       const std::string text = ReadFile(dir / "velorn_state.txt");
       WriteFile(dir / "velorn_state.txt", text.substr(0, text.find("\nrun") + 4));
     },
     71, "cannot be read: it is cut short (its last line "},
    // A count is a whole word: "12O" is no 12.
    {"manifest whose count has a letter glued on",
     [](const fs::path& dir) {
       const std::string text = ReadFile(dir / "velorn_state.txt");
       WriteFile(dir / "velorn_state.txt", text.substr(0, text.size() - 1) + "O\n");
     },
     71, "(its last line) cannot be read"},
    // Refused by its size before it is read into memory.
    {"manifest of 17 MiB",
     [](const fs::path& dir) {
       WriteFile(dir / "velorn_state.txt",
                 ReadFile(dir / "velorn_state.txt") + std::string(17 << 20, '#'));
     },
     71, "bytes, more than a manifest of any state (16777216)"},
    {"manifest without its file lines",
     [](const fs::path& dir) {
       WriteFile(dir / "velorn_state.txt", WithoutLine(ReadFile(dir / "velorn_state.txt"), "file"));
     },
     71, "where its last line counts"},
    {"manifest of an older version",
     [](const fs::path& dir) {
       const std::string text = WithoutLine(ReadFile(dir / "velorn_state.txt"), "date");
       WriteFile(dir / "velorn_state.txt", WithoutLine(text, "end"));
     },
     0, "", "was written by an older version and does not say the model date of its state"},
    {"one byte of a listed file",
     [](const fs::path& dir) {
       std::string text = ReadFile(dir / "soilstorage_0");
       const std::size_t digit = text.find_first_of("123456789", text.size() / 2);
       text[digit] = text[digit] == '9' ? '8' : static_cast<char>(text[digit] + 1);
       WriteFile(dir / "soilstorage_0", text);
     },
     71, "the state file ./soilstorage_0 is not the file the run"},
    {"warm start on another date", [](const fs::path&) {}, 0, "",
     "but this run starts on 27.1.2019 0. h, not with the step after it", "27"},
};

TEST_P(StatePlanting, IsRefusedNamingWhatItRead) {
  const PlantedState& state = State();
  if (GetParam() == -2) {
    for (const FolderEdit& c : kFolderEdits) {
      SCOPED_TRACE(c.name);
      TempDir warm;
      for (const auto& entry : fs::directory_iterator(state.run.path() / "output"))
        fs::copy_file(entry.path(), warm.path() / entry.path().filename());
      c.edit(warm.path());
      const RunResult result =
          RunExample(warm, kPlantProcesses, StatePeriod(c.first_day, "27", c.warm));
      EXPECT_EQ(result.exit_status, c.code) << result.Describe();
      if (c.code != 0) {
        const std::vector<std::string> fatal = FatalLines(result.diag);
        EXPECT_FALSE(fatal.empty()) << result.diag;
        if (!fatal.empty()) {
          EXPECT_NE(fatal.front().find(c.cause), std::string::npos) << fatal.front();
        }
        continue;
      }
      if (!c.warning.empty()) {
        EXPECT_NE(result.diag.find(c.warning), std::string::npos) << result.diag;
      } else {
        EXPECT_EQ(result.diag.find("not with the step after it"), std::string::npos);
      }
      auto tables = OutputFiles(warm.path() / "output");
      std::erase_if(tables, [](const auto& file) { return !file.first.ends_with(".stat"); });
      if (c.warm && std::string(c.first_day) == "26") {
        EXPECT_TRUE(tables == state.tables);
      }
    }
    return;
  }
  if (GetParam() == -3) {
    // A state of three processes, then one of two written over it: the third process's
    // storage content file is of the earlier run, which a warm start on two refuses as such
    // (the manifest is read before the process count is blamed).
    TempDir over, warm;
    ASSERT_EQ(RunExample(over, 3, StatePeriod("24", "25", false)).exit_status, 0);
    const RunResult two = RunExample(over, 2, StatePeriod("24", "25", false));
    ASSERT_EQ(two.exit_status, 0) << two.Describe();
    EXPECT_NE(ReadFile(over / "output/velorn_state.txt").find("\nearlier soilstorage_2\n"),
              std::string::npos);
    for (const auto& entry : fs::directory_iterator(over.path() / "output"))
      fs::copy_file(entry.path(), warm.path() / entry.path().filename());
    const RunResult result = RunExample(warm, 2, StatePeriod("26", "27", true));
    EXPECT_EQ(result.exit_status, 71) << result.Describe();
    const std::vector<std::string> fatal = FatalLines(result.diag);
    ASSERT_FALSE(fatal.empty()) << result.diag;
    EXPECT_NE(fatal.front().find("the state file ./soilstorage_2 is not of the run"),
              std::string::npos)
        << fatal.front();
    EXPECT_NE(fatal.front().find("an earlier run wrote it"), std::string::npos) << fatal.front();
    // A cold start from a table depth of the user's (storage mode 2) read from that folder: an
    // input beside the state, no part of it, read whatever the manifest lists.
    GridFile depth = ReadGridFile((ExampleDir() / "zones.asc").string());
    for (double& g : depth.values) g = g < -9998 ? -9999 : -2.0;
    WriteFile(warm / "start_table.asc", AsciiGridText(depth));
    // 26 and 27 January, cold started.
    const std::vector<Edit> window = {
        {"front-range.ctl", kModelEnd, "0\n27\n1\n"},
        {"front-range.ctl", "0          # start: hour, day, month, year\n1\n",
         "0          # start\n26\n"}};
    std::vector<Edit> table = window;
    table.push_back({"front-range.ctl", "gwstand.dbl\n0\n", "start_table.asc\n0\n"});
    table.push_back({"front-range.ctl", kStateReadSwitches[2], "2"});
    const RunResult cold = RunExample(warm, 2, table);
    EXPECT_EQ(cold.exit_status, 0) << cold.Describe();
    // Silting-up grids of the user's, read by the switch that also reads a stored state's: read
    // with a WARNING where no manifest names them; one the manifest lists that changed since the
    // run wrote it is refused.
    for (double& g : depth.values) g = g < -9998 ? -9999 : 0.0;
    for (const char* grid : {"sdisp.dbl", "rainpause.dbl", "ekin.dbl", "tsbb.dbl"})
      WriteFile(warm / grid, AsciiGridText(depth));
    std::vector<Edit> silting = window;
    silting.push_back({"front-range.ctl",
                       "0          # the grids start at 0 (1: read from the files above)", "1"});
    const RunResult own = RunExample(warm, 2, silting, false, 0, {}, UseSiltingVariant);
    EXPECT_EQ(own.exit_status, 0) << own.Describe();
    EXPECT_NE(own.diag.find("sdisp.dbl is not listed in the state manifest ./velorn_state.txt: it "
                            "is read as a start grid of the user&apos;s, not as part of the "
                            "stored state of the run process "),
              std::string::npos)
        << own.diag;
    std::string manifest = ReadFile(warm / "velorn_state.txt");
    const std::size_t end = manifest.rfind("end ");
    manifest = manifest.substr(0, end) + "file 0123456789abcdef 1 sdisp.dbl\nend " +
               std::to_string(std::stoi(manifest.substr(end + 4)) + 1) + "\n";
    WriteFile(warm / "velorn_state.txt", manifest);
    const RunResult changed = RunExample(warm, 2, silting, false, 0, {}, UseSiltingVariant);
    EXPECT_EQ(changed.exit_status, 71) << changed.Describe();
    const std::vector<std::string> refused = FatalLines(changed.diag);
    ASSERT_FALSE(refused.empty()) << changed.diag;
    EXPECT_NE(refused.front().find("the state file ./sdisp.dbl is not the file the run"),
              std::string::npos)
        << refused.front();
    return;
  }
  if (GetParam() == -4) {
    // The coupled program says "Finish" at the start of 25 January in a run to 27 January: that
    // step ends the run (99), and every model writes the state the run ending on the 25th
    // writes, byte for byte (on 2 processes each its own storage content file), all listed in
    // a complete manifest.
    for (const int processes : {1, 2}) {
      SCOPED_TRACE(std::to_string(processes) + " processes");
      TempDir finished;
      std::vector<Edit> edits = StatePeriod("24", "27", false);
      edits.push_back({"front-range.ctl", "[ExternalCoupling]\n0 ",
                       "[ExternalCoupling]\n1\n./sync.txt\n10\nI\n1440\n0\n0\n0\n./"
                       "to_partner.txt\nCommand=Continue;\n# "});
      const fs::path sync = finished.path() / "sync.txt";
      const fs::path to_partner = finished.path() / "to_partner.txt";
      const RunResult result = RunExample(
          finished, processes, edits, false, 0, {},
          [](const fs::path& dir) {
            WriteFile((dir / "sync.txt").string(), "Command=Continue;\n");
          },
          false, {},
          [&](int) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
            while (!fs::exists(finished.path() / "to_partner.txt_Done") &&
                   std::chrono::steady_clock::now() < deadline) {
              if (fs::exists(to_partner)) {
                fs::remove(to_partner);
                WriteFileWhole(sync.string(), "Command=Finish;\n");
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
          });
      EXPECT_EQ(result.exit_status, 99) << result.Describe();
      const std::string manifest = ReadFile(finished / "output/velorn_state.txt");
      EXPECT_NE(manifest.find("\nstatus complete\n"), std::string::npos) << manifest;
      for (int rank = 0; rank < processes; ++rank)
        EXPECT_NE(manifest.find(" soilstorage_" + std::to_string(rank) + "\n"), std::string::npos)
            << manifest;
      int files = 0;
      for (const std::string& line : SplitLines(ReadFile(state.run / "output/velorn_state.txt"))) {
        const std::string name = line.substr(line.rfind(' ') + 1);
        // The storage content files are one per process, and the planted state is of
        // kPlantProcesses: each of this run's is listed above.
        if (!line.starts_with("file ") || name.starts_with("soilstorage_")) continue;
        SCOPED_TRACE(name);
        ++files;
        EXPECT_NE(manifest.find(line + "\n"), std::string::npos) << manifest;
        ASSERT_TRUE(fs::exists(finished.path() / "output" / name));
        EXPECT_TRUE(ReadFile(finished / ("output/" + name)) ==
                    ReadFile(state.run / ("output/" + name)));
      }
      EXPECT_GE(files, 13);
    }
    return;
  }
  if (GetParam() < 0) {
    // Killed as it writes the storage content file: the grids are of this run, the file of the
    // earlier one; the manifest still says incomplete.
    TempDir over, warm;
    fs::copy(state.run.path() / "output", over.path() / "output", fs::copy_options::recursive);
    const RunResult killed = RunExample(
        over, kPlantProcesses, StatePeriod("24", "25", false), false, 0, {}, nullptr, false,
        {"LD_PRELOAD=" + std::string(std::getenv("VELORN_FULL_DISK_SHIM")),
         "VELORN_FULL_DISK_NAME=soilstorage_0", "VELORN_FULL_DISK_FROM=0",
         "VELORN_FULL_DISK_KILL=1", "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
    ASSERT_NE(killed.exit_status, 0) << killed.Describe();
    for (const auto& entry : fs::directory_iterator(over.path() / "output"))
      fs::copy_file(entry.path(), warm.path() / entry.path().filename());
    const RunResult result = RunExample(warm, kPlantProcesses, StatePeriod("26", "27", true));
    EXPECT_EQ(result.exit_status, 71) << result.Describe();
    const std::vector<std::string> fatal = FatalLines(result.diag);
    ASSERT_FALSE(fatal.empty()) << result.diag;
    EXPECT_NE(fatal.front().find("is incomplete: its manifest ./velorn_state.txt"),
              std::string::npos)
        << fatal.front();
    return;
  }
  for (std::size_t v = static_cast<std::size_t>(GetParam()); v < state.slots.size();
       v += kPlantSlices) {
    const StateSlot& slot = state.slots[v];
    std::vector<int> pending(kPlantKinds);
    std::iota(pending.begin(), pending.end(), 0);
    while (!pending.empty()) {
      TempDir warm;
      for (const auto& entry : fs::directory_iterator(state.run.path() / "output"))
        fs::copy_file(entry.path(), warm.path() / entry.path().filename());
      // The planted files no longer are the ones the run wrote: without the manifest they are
      // read as a state of old, so that the values themselves are what the run meets.
      fs::remove(warm.path() / "velorn_state.txt");
      // The pending kinds in turn into the shares of the processes that hold the value.
      std::vector<PlantedValue> planted;
      std::vector<int> later;
      std::size_t process = 0;
      for (const int kind : pending) {
        while (process < slot.of_process.size() && slot.of_process[process].file.empty()) ++process;
        if (process == slot.of_process.size()) {
          later.push_back(kind);
          continue;
        }
        const StateValue& value = slot.of_process[process];
        std::string bytes = ReadFile(warm / value.file);
        PlantedValue plant = Plant(bytes, value, kind);
        if (plant.kind < 0) continue;
        WriteFile(warm / value.file, bytes);
        planted.push_back(plant);
        ++process;
      }
      if (planted.empty()) break;
      std::string trace = slot.name + ":";
      for (const PlantedValue& p : planted)
        trace += " " + p.named.front() + " (" + p.where.file + " at " +
                 std::to_string(p.where.begin) + ")";
      SCOPED_TRACE(trace);
      const RunResult result = RunExample(warm, kPlantProcesses, StatePeriod("26", "27", true));
      if (result.exit_status == 0) {
        auto tables = OutputFiles(warm.path() / "output");
        std::erase_if(tables, [](const auto& file) { return !file.first.ends_with(".stat"); });
        EXPECT_TRUE(tables == state.tables) << "read without a message";
        pending = later;
        continue;
      }
      // The FATAL entries of every process: each names the file and the value it read, the
      // value planted there (the longest of the texts it holds, so "-1e+07" is not "1e+07").
      std::vector<std::string> fatal = FatalLines(result.diag);
      for (const std::string& entries : EntriesOfOtherProcesses(result.err))
        fatal.push_back(entries);
      ASSERT_FALSE(fatal.empty()) << result.Describe();
      std::set<std::size_t> named;
      for (const std::string& cause : fatal) {
        std::size_t best = planted.size(), longest = 0;
        for (std::size_t i = 0; i < planted.size(); ++i) {
          if (cause.find(planted[i].where.file) == std::string::npos) continue;
          for (const std::string& text : planted[i].named)
            if (text.size() > longest && HoldsNumber(cause, text)) {
              best = i;
              longest = text.size();
            }
        }
        if (best < planted.size()) named.insert(best);
      }
      ASSERT_FALSE(named.empty()) << "no FATAL entry names a planted value:\n" << result.Describe();
      for (std::size_t i = 0; i < planted.size(); ++i)
        if (!named.contains(i)) later.push_back(planted[i].kind);
      pending = later;
    }
  }
}
INSTANTIATE_TEST_SUITE_P(ExampleRun, StatePlanting, ::testing::Range(-4, kPlantSlices));

// The worked warm start the example ships (front-range-first-half.ctl, then
// front-range-second-half.ctl, a warm start from the state the first writes into first-half/),
// split on 14 January and ending on 28 January: every row of both halves' tables is the row of
// the same day in the reviewed tables of the straight year, on 2 processes as on 1. Storage
// content files another run left in the working folder (with another date of the land-use
// parameters) are no part of the state: the warm start reads its own, in first-half/.
TEST(ExampleRun, ShippedWarmStartContinuesTheYear) {
  TempDir dir;
  fs::copy(ExampleDir(), dir.path(), fs::copy_options::recursive);
  WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
  for (const char* stray : {"soilstorage_0", "soilstorage_1"})
    WriteFile(dir / stray, "[landuse_parameters]\n2019 6 30 24 (another run's date)\n");
  ApplyEdits(
      dir.path(),
      {{"front-range-first-half.ctl", "30 June 2019)\n30\n6\n", "14 January)\n14\n1\n"},
       {"front-range-second-half.ctl", "1 July 2019)\n1\n7\n", "15 January)\n15\n1\n"},
       {"front-range-second-half.ctl", "31 December 2019)\n31\n12\n", "28 January)\n28\n1\n"}});
  for (const char* control : {"front-range-first-half.ctl", "front-range-second-half.ctl"}) {
    RunOptions run;
    run.processes = 2;
    run.directory = dir.path().string();
    run.environment = {"OMP_NUM_THREADS=1"};
    const RunResult result = RunVelorn(run, {control});
    ASSERT_EQ(result.exit_status, 0) << control << result.Describe();
    EXPECT_EQ(result.diag.find("no section [landuse_parameters]"), std::string::npos) << control;
  }
  const fs::path year =
      ExampleDir().parent_path().parent_path() / "tests/runs/expected/front-range/year";
  int tables = 0, rows = 0;
  for (const char* half : {"first-half", "second-half"}) {
    for (const auto& [name, text] : OutputFiles(dir.path() / half)) {
      if (!name.ends_with(".stat")) continue;
      SCOPED_TRACE(std::string(half) + "/" + name);
      std::map<std::string, std::string> expected;  // the year's rows by their date
      for (const std::string& line : SplitLines(ReadFile(year / name)))
        if (line.starts_with("2019\t")) expected[line.substr(0, 14)] = line;
      ++tables;
      for (const std::string& line : SplitLines(text)) {
        if (!line.starts_with("2019\t")) continue;
        ++rows;
        EXPECT_EQ(line, expected[line.substr(0, 14)]);
      }
    }
  }
  EXPECT_GE(tables, 2 * 30);
  EXPECT_GE(rows, 28 * 30);
}

// The long tables of runs below are dealt out over slices, each a test of its own, so that the
// shards of the whole-model runs take them side by side.
constexpr int kCaseSlices = 4;
bool InSlice(std::size_t index, int slice) {
  return static_cast<int>(index % kCaseSlices) == slice;
}

class MalformedInputs : public ::testing::TestWithParam<int> {};

TEST_P(MalformedInputs, EndInTheirFatalEntryAndCode) {
  struct Case {
    const char* name;
    Edit edit;
    std::string entry;  // description of the FATAL entry (WARNING for code 0) in the diagnostics
    int code;
    Edit more = {"", "", ""};                    // a second edit where the file is named
    void (*prepare)(const fs::path&) = nullptr;  // the variant, front-range.ctl without
    // Values checked on each process's own rows reach process 0's diagnostics file on one.
    int processes = 2;
  };
  const std::string temperature = ReadFile((ExampleDir() / "stations/temperature.txt").string());
  const std::string after_10_january = temperature.substr(temperature.find("2019 01 11 00"));
  const Case cases[] = {
      // One station file shorter than the others: the run ends with its last record, as a run
      // whose data all end early, and keeps its rows.
      {"temperature file ending on 10 January",
       {"stations/temperature.txt", after_10_january, ""},
       "the input file ./stations/temperature.txt of temperature ends with the record of "
       "10.1.2019 0. h, before the data of precipitation, wind_speed, air_humidity, "
       "global_radiation, sunshine_duration; the run ends with that step",
       0},
      {"control-file section short of values",
       {"front-range.ctl", "1.10       # KS: snow factor at calm\n", ""},
       "error in control file, Anstieg Schnee fuer ; precipitation_correctionnot found!",
       17},
      {"grid header with more rows than the file",
       {"dem.asc", "nrows\t49", "nrows\t60"},
       "error reading ascii grid dem.asc in ASCII-Format in row 50, col 1",
       22},
      {"station table without the x coordinates",
       {"stations/temperature.txt", "station x in m 7999.0", "station x in m"},
       "station file ./stations/temperature.txt of temperature: lines 2 to 4 must hold 4 "
       "leading columns and the altitude, x and y of every station",
       1051},
      {"station record short of a value",
       {"stations/precipitation.txt", "2019 01 26 00 4.1", "2019 01 26 00"},
       "line 31 of ./stations/precipitation.txt holds fewer than 1 station values: &quot;2019 01 "
       "26 00&quot;",
       1051},
      // Values that look like numbers but are none, or that no integer arithmetic may meet.
      {"station value nan",
       {"stations/precipitation.txt", "2019 01 26 00 4.1", "2019 01 26 00 nan"},
       "line 31 of ./stations/precipitation.txt: station 1: &quot;nan&quot; is not a finite "
       "number",
       1051},
      {"station date cut short",
       {"stations/temperature.txt", "2019 01 26 00 7.2", "2019 01 26"},
       "line 31 of ./stations/temperature.txt holds no date of the calendar (year month day "
       "hour): &quot;2019 01 26&quot;",
       1051},
      // A damaged date before the run's start is refused as one after it, not passed over.
      {"station date damaged before the start",
       {"stations/temperature.txt", "2019 01 01 00 7.7", "2019 01O 01 00 7.7"},
       "line 6 of ./stations/temperature.txt holds no date of the calendar (year month day "
       "hour): &quot;2019 01O 01 00 7.7&quot;",
       1051,
       {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n",
        "0          # start: hour, day, month, year\n2\n1\n"}},
      {"station year beyond the calendar",
       {"stations/precipitation.txt", "2019 01 26 00 4.1", "9223372036854775807 01 26 00 4.1"},
       "line 31 of ./stations/precipitation.txt holds no date of the calendar (year month day "
       "hour): &quot;9223372036854775807 01 26 00 4.1&quot;",
       1051},
      {"station far away",
       {"stations/temperature.txt", "station x in m 7999.0", "station x in m -1e30"},
       "station file ./stations/temperature.txt of temperature: station 1 lies at x -1e+30, y "
       "7271, farther than 1e9 m from the origin of the coordinates",
       1051},
      {"latitude inf",
       {"front-range.ctl", "40.16      # latitude", "inf        # latitude"},
       "error in control file, geographic latitude; &quot;inf&quot; is not a finite number",
       17},
      {"min_to_int_end nan",
       {"front-range.ctl", "1440       # minutes from", "nan        # minutes from"},
       "error in control file, min_to_int_end (fourth value of [output_interval]); "
       "&quot;nan&quot; is not a finite number",
       17},
      {"nodata value 1e10",
       {"front-range.ctl", "temperature.stat 2001\n9999", "temperature.stat 2001\n1e10"},
       "error in control file, nodata value in temperature is 1e+10, it must lie within "
       "-2.14748e+09 to 2.14748e+09",
       17},
      {"IDW weight -1e30",
       {"front-range.ctl", "temperature.stat 2001\n9999\n2.0",
        "temperature.stat 2001\n9999\n-1e30"},
       "error in control file, idw-weight in temperature is -1e+30, it must lie within 0 to 100",
       17},
      {"station radius -1e308",
       {"front-range.ctl", "temperature.stat 2001\n9999\n2.0\n0.0\n50000",
        "temperature.stat 2001\n9999\n2.0\n0.0\n-1e308"},
       "error in control file, maximum distance in temperature is -1e+308, it must lie within 0 "
       "to 1e+308",
       17},
      {"Julian day -2147483648",
       {"front-range.ctl", "JulDays = 1 130 180 270 366;", "JulDays = 1 -2147483648 180 270 366;"},
       "parameter &quot;JulDays&quot; of land use 10: the day -2147483648 lies outside -366 to 366",
       29},
      {"AltDep 1e30",
       {"front-range.ctl", "AltDep = 0 0 0 0 0;", "AltDep = 0 1e30 0 0 0;"},
       "parameter &quot;AltDep&quot; of land use 10: value 2 (1e+30 days per m) lies outside -1 "
       "to 1",
       29},
      {"radiation correction every 1e20 minutes",
       {"front-range.ctl", "1440       # time step (minutes)\n2 ", "1e20       # time step\n2 "},
       "the time step 1e+20 minutes as given in the section for the module radiation_correction "
       "is longer than a year (527040 minutes)",
       63},
      {"radiation temperature scaling 1e5",
       {"front-range.ctl", "1.0        # scaling of the temperature", "1e5        # scaling"},
       "error in control file, scaling factor for Tkorr for radiation_correction is 100000, it "
       "must lie within -100 to 100",
       17},
      {"rain factor 1e308",
       {"front-range.ctl", "1.02       # KR", "1e308      # KR"},
       "error in control file, Konstante Regen fuer precipitation_correction is 1e+308, it must "
       "lie within 0 to 10",
       17},
      {"evapotranspiration line given twice",
       {"front-range.ctl", "0.7 0.1    # atmospheric transmissivity: yearly mean and amplitude\n",
        "0.7 0.1\n0.7 0.1\n"},
       "error in control file, monthly temperature amplitude (K) for evapotranspiration is 3000, "
       "it must lie within 0 to 50",
       17},
      // Values no basin can have, refused where they are read.
      {"elevation -1e6 m",
       {"dem.asc", "2844.8", "-1e6"},
       "[elevation_model] dem.asc: the cell at row 3, column 40 of the basin holds -1e+06, no "
       "elevation on Earth (-11000 to 9000 m a.s.l.)",
       22},
      // The cells outside the basin (-9999) hold no code when the header's nodata is another.
      {"zone grid whose nodata value is not that of its outside cells",
       {"zones.asc", "nodata_value\t-9999.000000", "nodata_value\t-1e6"},
       "invalid zone code in zones.asc!; (codes has to be between 0 and 32767)!",
       3},
      // Refusals of the set-up that once emptied the tables an earlier run left.
      {"routing description of a subbasin no zone holds",
       {"front-range.ctl", "TG 5 (A=14.09", "TG 9 (A=14.09"},
       "there is no subbasin with code 9",
       41},
      {"station file missing",
       {"front-range.ctl", "stations/wind_speed.txt", "stations/wind.txt"},
       "error opening ./stations/wind.txt: No such file or directory",
       49},
      {"start date the stations lack",
       {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n2019",
        "0          # start\n1\n1\n2018"},
       "file ./stations/temperature.txt dosnt contain date 1.1.2018, hour 0(feof)!;Its records "
       "begin on 1.1.2019, hour 0.",
       51},
      {"routing half on",
       {"front-range.ctl", "[routing_model]\n1          # on", "[routing_model]\n-1"},
       "error in control file, [routing_model]: the flow control parameter -1 must be 0 (off) or "
       "above",
       17},
      {"fixed head 1000 m a.s.l., far below its layer",
       {"gw_boundary_fix_h_1.asc", "2615.39", "1000"},
       "in modul groundwater_flow: gw_boundary_fix_h_1 at row 18, column 43 is 1000 m, outside "
       "its layer (bottom 2614.5 m a.s.l.): a fixed head must lie between the bottom of its "
       "layer and 9000 m a.s.l.",
       17,
       {"", "", ""},
       UseGroundwaterVariant,
       1},
      {"groundwater at 2-day steps beside a daily soil zone",
       {"front-range.ctl", "1440       # time interval (minutes)", "2880 # time interval"},
       "error in control file, the time interval of groundwater_flow (2880 minutes) differs from "
       "that of unsatzon_model (1440 minutes); they exchange their water every step, so both "
       "must have the step of the run",
       17,
       {"", "", ""},
       UseGroundwaterVariant,
       1},
      {"river width 1e308 m",
       {"river_width.asc", " 1.2 1.1 ", " 1e308 1.1 "},
       "grid river_width: the cell at row 18, column 43 holds 1e+308, outside 0 to 100000 m",
       22,
       {"", "", ""},
       UseGroundwaterVariant,
       1},
      {"area divisor 1e308",
       {"front-range.ctl", "TG 5 (A=14.09, f=1)", "TG 5 (A=14.09, f=1e308)"},
       "routing description 2 (TG 5): the area divisor f is 1e+308, it must lie within 1e-06 to "
       "1e+06",
       17},
      {"channel of 1e11 m",
       {"front-range.ctl", "I=0.069, L=924, A=7.54", "I=0.069, L=1e11, A=7.54"},
       "routing: channel 1 of the stretch of subbasin 5 (source 4) takes 8.32169e+06 h at its "
       "smallest discharge, more than a year (8784 h); check its length, slope, widths and "
       "Manning coefficients",
       17},
      {"zone code 0.5, subbasin 0 of the zone grid and 1 of the soil zone",
       {"zones.asc", " 1 ", " 0.5 "},
       "discharge routing takes the runoff of 6 subbasins of the zone grid, but the soil zone "
       "computes 5 subbasins of &quot;zonegrid_soilmodel&quot; with other codes: check both "
       "grids for codes that are no whole numbers",
       22},
      // A key that no model reads is named; so is a value that the limits replace.
      {"land-use key misspelt",
       {"front-range.ctl", "IntercepCap = 0.2;", "IntercepCapp = 0.2;"},
       "[landuse_table], land use 10: no model reads the key &quot;IntercepCapp&quot;; check its "
       "spelling (the entry is ignored)",
       0},
      // A unit written onto a value of a land-use entry fails the whole entry, as every failure
      // inside it (code 29, not the 17 of a section's value).
      {"land-use value with its unit written onto it",
       {"front-range.ctl", "IntercepCap = 0.2;", "IntercepCap = 0.2mm;"},
       "error in control file, the value of IntercepCap is no number: &quot; 0.2mm&quot;",
       29},
      {"temperature 200 degC",
       {"stations/temperature.txt", "2019 01 26 00 7.2", "2019 01 26 00 200"},
       "line 31 of ./stations/temperature.txt: station 1 of temperature holds 200, it must lie "
       "within -100 to 100 degC; the upper limit of [temperature] replaces it by 50 (later "
       "readings of temperature outside that range are not reported)",
       0},
      // Messages that name the cause.
      {"temperature days swapped",
       {"stations/temperature.txt", "2019 01 11 00 6.8\n2019 01 12 00 7.6\n",
        "2019 01 12 00 7.6\n2019 01 11 00 6.8\n"},
       "line 17 of ./stations/temperature.txt (temperature): the record of 11.1.2019 0. h follows "
       "that of 12.1.2019 0. h; the records of a station file follow one another in time (a "
       "record doubled, or two swapped?)",
       52},
      {"temperature day missing",
       {"stations/temperature.txt", "2019 01 11 00 6.8\n", ""},
       "the dates of the meteorological files disagree: temperature (./stations/temperature.txt) "
       "is at 12.1.2019 0. h, precipitation (./stations/precipitation.txt) at 11.1.2019 0. h: "
       "temperature (./stations/temperature.txt) has no record of 11.1.2019 0. h (a record "
       "missing there, or one too many in the other file)",
       52},
      {"station file that is a folder",
       {"front-range.ctl", "", ""},
       "error opening ./stations/wind_speed.txt of wind_speed - it is a directory, not a station "
       "file",
       49,
       {"", "", ""},
       MakeWindSpeedAFolder},
      {"lake ponding maximum 1e308 mm",
       {"lake_ponding_max.asc", " 900 ", " 1e308 "},
       "lake 5 is 1e+305 m deep (top 1e+305 m a.s.l., lowest cell 2426.1 m a.s.l.), more than "
       "any relief on Earth: check its cells&apos; maximum ponding storage (mm) and elevations",
       213,
       {"lake_ponding_max.asc", " 4500 5900 ", " 1e308 1e308 "},
       UseLakeVariant},
      // A lake holds its water over the whole of its cells: a glacier part would keep some of it
      // in no store (a dynamic glacier that started on three lake cells left 11.1 mm of the
      // lake's exchange out of subbasin 5's account in two days).
      {"glacier on a lake cell",
       {"front-range.ctl", "", ""},
       "the cell at row 22, column 61 of lake 5 holds a glacier (ice_firn 1): a lake holds its "
       "water over the whole of its cells, which no glacier shares (on mpi-rank 1)",
       80,
       {"", "", ""},
       UseLakeVariantWithAGlacierOnTheLake},
  };
  const auto schema = RefData("pi-diag-schema/pi_diag.xsd");
  // The output folder holds the files of an earlier run (every name the example's runs write).
  std::vector<std::string> earlier = {"soilstorage_0",    "soilstorage_1", "MPIRegions_0",
                                      "velorn_state.txt", "lake5.txt",     "W_V_Table_05.dat"};
  for (const auto& entry : fs::directory_iterator(ExampleDir().parent_path().parent_path() /
                                                  "tests/runs/expected/front-range/year"))
    earlier.push_back(entry.path().filename().string());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (!InSlice(i, GetParam())) continue;
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directories(dir.path() / "output");
    for (const std::string& name : earlier)
      WriteFile((dir.path() / "output" / name).string(), "an earlier run's " + name + "\n");
    // The station tables are read as the time loop reaches their lines: without the soil zone
    // and routing the run gets there in a fraction of the time.
    std::vector<Edit> edits = {c.edit};
    if (*c.more.file != '\0') edits.push_back(c.more);
    if (c.code == 1051 || c.code == 0) edits.insert(edits.end(), {kSoilOff, kRoutingOff});
    const RunResult result = RunExample(dir, c.processes, edits, false, 0, {}, c.prepare);
    // A run refused in its set-up leaves every file of the earlier run as it was.
    if (c.code != 0 && result.diag.find(DiagnosticsLine(4, "end of initialization reached...")) ==
                           std::string::npos) {
      for (const std::string& name : earlier)
        EXPECT_EQ(ReadFile((dir.path() / "output" / name).string()),
                  "an earlier run's " + name + "\n")
            << name;
      for (const auto& entry : fs::directory_iterator(dir.path() / "output"))
        EXPECT_FALSE(entry.path().string().ends_with(".velorn-kept")) << entry.path();
    }
    EXPECT_EQ(result.exit_status, c.code & 0xff) << result.Describe();
    EXPECT_NE(result.diag.find(DiagnosticsLine(c.code == 0 ? 2 : 0, c.entry)), std::string::npos)
        << result.diag;
    if (c.code == 0) {
      EXPECT_NE(result.diag.find("reached end of simulation sucessfully"), std::string::npos);
    }
    if (c.code == 0 && c.edit.to.empty()) {
      // The rows up to the last record of the short file, and none after it.
      const std::string table = ReadFile((dir.path() / "output/temperature.stat").string());
      EXPECT_NE(table.find("\n2019\t 1\t10\t 0\t"), std::string::npos) << table;
      EXPECT_EQ(table.find("\n2019\t 1\t11\t"), std::string::npos) << table;
    } else if (c.code != 0) {
      EXPECT_NE(result.diag.find(DiagnosticsLine(
                    0, "Exception " + std::to_string(c.code) + " caught at top level!")),
                std::string::npos)
          << result.diag;
    }
    if (schema) {
      EXPECT_EQ(ValidateDiagnostics((dir.path() / "Velorn_Diag_0.xml").string(), *schema), "");
    }
  }
}
INSTANTIATE_TEST_SUITE_P(ExampleRun, MalformedInputs, ::testing::Range(0, kCaseSlices));

// A disk that fills up under one output at a time (tests/runs/full_disk_shim.cpp: every write
// to the file fails, or every write once its header is there) ends the run with the FATAL entry
// that names the file and the system's reason, on whichever process writes it, with the file's
// code and never with the success line: the balance, lake, abstraction, channel and storage
// files, a table, the point file, a grid and a stack. A run killed in March keeps the rows of
// January and February on disk and leaves no lock in its output folder.
class FullDisk : public ::testing::TestWithParam<int> {};

TEST_P(FullDisk, UnderAnyOutputOrAKillKeepsWhatWasComputedAndNamesTheFile) {
  const std::vector<Edit> lake = {
      {"front-range.ctl", "0          # start: hour, day, month, year\n1\n4\n",
       "0          # start\n27\n5\n"},
      {"front-range.ctl",
       "0          # end: hour, day, month, year (the last daily step, 30 September 2019)\n30\n9\n",
       "0\n29\n5\n"}};
  const std::vector<Edit> irrigation = {
      {"front-range.ctl", "0          # start: hour, day, month, year\n1\n1\n2019\n",
       "0          # start\n1\n7\n2019\n"},
      {"front-range.ctl", kModelEnd, "0\n3\n7\n"}};
  struct Case {
    const char* file;  // the output on the full disk; null: the run is killed instead
    const char* from;  // bytes the file holds before its writes fail
    bool irrigation;
    int code;
    const char* at_end = nullptr;  // the control-file line of a stack written at the end
  };
  const Case cases[] = {
      {"water_balance.txt", "0", false, 18},
      {"lake5.txt", "1", false, 18},
      {"W_V_Table_05.dat", "0", false, 18},
      {"soilstorage_0", "0", false, 18},
      {"soilstorage_1", "0", false, 18},
      {"wq_table.001", "0", false, 18},
      {"qg.stat", "1", false, 18},
      {"points.txt", "1", false, 18},
      {"ditch.txt", "1", true, 18},
      {"modell_0.log", "1", false, 18},
      {"dem.$ex", "200", false, 18},
      {"theta.stk", "500", false, 18, "theta.stk  # water content per layer\n"},
      {"velorn_state.txt.*", "0", false, 18},  // the manifest's temporary
      {nullptr, "", false, 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (!InSlice(i, GetParam())) continue;
    const Case& c = cases[i];
    SCOPED_TRACE(c.file == nullptr ? "killed" : c.file);
    TempDir dir;
    if (c.file == nullptr) {
      const fs::path diag = dir.path() / "Velorn_Diag_0.xml";
      // mpirun passes SIGTERM on and kills its processes hard one second later (Open MPI's
      // default), before a process on a loaded machine may have run its handler: given time,
      // the handler's giving up of the lock is what is tested, not the scheduler.
      const RunResult result = RunExample(
          dir, 2, {}, false, 0, {}, nullptr, false, {"OMPI_MCA_odls_base_sigkill_timeout=30"},
          [&diag](int mpirun) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
            while ((!fs::exists(diag) ||
                    ReadFile(diag.string()).find("temperature 1.3.2019") == std::string::npos) &&
                   std::chrono::steady_clock::now() < deadline)
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            kill(mpirun, SIGTERM);
          });
      EXPECT_NE(result.exit_status, 0) << result.Describe();
      for (const char* table : {"qg.stat", "temperature.stat"})
        EXPECT_NE(ReadFile((dir.path() / "output" / table).string()).find("2019\t 2\t28\t 0\t"),
                  std::string::npos)
            << table;
      EXPECT_NE(ReadFile((dir.path() / "output/points.txt").string()).find("\n2019\t2\t28\t0\t"),
                std::string::npos);
      // The killed run gave up the lock of its output folder.
      EXPECT_FALSE(fs::exists(dir.path() / "output/velorn.lock"));
      continue;
    }
    std::vector<Edit> edits = c.irrigation ? irrigation : lake;
    if (c.at_end != nullptr)
      edits.push_back(
          {"front-range.ctl", c.at_end + std::string("0\n"), c.at_end + std::string("3\n")});
    const RunResult result = RunExample(
        dir, 2, edits, false, 0, {}, c.irrigation ? UseIrrigationVariant : UseLakeVariant, false,
        {"LD_PRELOAD=" + std::string(std::getenv("VELORN_FULL_DISK_SHIM")),
         "VELORN_FULL_DISK_NAME=" + std::string(c.file),
         "VELORN_FULL_DISK_FROM=" + std::string(c.from),
         "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
    EXPECT_EQ(result.exit_status, c.code) << result.Describe();
    const std::string reported = result.diag + result.err;
    // The last line that names the file, its FATAL entry, gives the system's reason.
    // (The process log lies in the working directory, every other file in the output folder.)
    std::string named =
        std::string(c.file) == "modell_0.log" ? c.file : "output/" + std::string(c.file);
    if (named.ends_with('*')) named.pop_back();
    const std::size_t at = reported.rfind(named);
    ASSERT_NE(at, std::string::npos) << result.Describe();
    const std::string line = reported.substr(at, reported.find('\n', at) - at);
    EXPECT_NE(line.find(": No space left on device"), std::string::npos) << line;
    EXPECT_EQ(result.diag.find("reached end of simulation sucessfully"), std::string::npos);
    // No half-written temporary stays beside the file it was to replace.
    for (const auto& entry : fs::directory_iterator(dir.path() / "output"))
      EXPECT_FALSE(entry.path().filename().string().starts_with("velorn_state.txt."))
          << entry.path();
  }
}
INSTANTIATE_TEST_SUITE_P(ExampleRun, FullDisk, ::testing::Range(0, kCaseSlices));

// A run killed inside the open of a file can leave Open MPI's shared-file-pointer semaphore of
// that file's base name (/dev/shm/sem.OMPIO_<name>) taken, host-wide. A later run that writes a
// stack of that name, in another folder, ends as it should and writes it: no lock outside the
// run folder's own is taken. (The stack gets a name of its own, so no other run on the host
// meets the planted semaphore, which is released after.)
TEST(ExampleRun, ASemaphoreLeftTakenOnTheHostStopsNoRun) {
  TempDir dir;
  const std::string stack =
      "qunten-" + std::to_string(getpid()) + "-" + dir.path().filename().string() + ".stk";
  const std::string name = "/OMPIO_" + stack;
  sem_t* taken = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 0);
  ASSERT_NE(taken, SEM_FAILED) << name << ": " << std::strerror(errno);
  const std::unique_ptr<sem_t, std::function<void(sem_t*)>> release(taken, [&name](sem_t* held) {
    sem_close(held);
    sem_unlink(name.c_str());
  });
  // A run that waits at the open is ended by RunExample's time limit.
  const RunResult result = RunExample(
      dir, 2,
      {{"front-range.ctl", kModelEnd, "0\n3\n1\n"},
       {"front-range.ctl", "qunten.stk # flux through the lower boundary of each layer\n0\n",
        stack + "\n3\n"}});
  EXPECT_EQ(result.exit_status, 0) << result.Describe();
  EXPECT_GT(fs::file_size(dir.path() / "output" / stack), 0u);
}

// Every example block of docs/control-file.md that is a complete section (a fenced block that
// begins with a section header and leaves nothing out with "...") holds when followed: put in
// place of its sections in the first example control file that has them all, the example runs
// three days on one process and succeeds, with no section or key that no model reads, and the
// files its blocks name ("filename = ...;") are written.
TEST(ControlFileDocs, EveryCompleteSectionOfTheExamplesRuns) {
  const fs::path source = ExampleDir().parent_path().parent_path();
  std::vector<std::vector<std::string>> blocks;
  bool fenced = false;
  for (const std::string& line : SplitLines(ReadFile(source / "docs/control-file.md"))) {
    if (line.starts_with("```")) {
      fenced = !fenced;
      if (fenced) blocks.emplace_back();
      continue;
    }
    if (fenced) blocks.back().push_back(line);
  }
  const auto is_header = [](const std::string& line) {
    return line.size() > 2 && line.front() == '[' && line.back() == ']';
  };
  std::vector<fs::path> controls = {ExampleDir() / "front-range.ctl"};
  for (const auto& entry : fs::directory_iterator(ExampleDir()))
    if (entry.path().extension() == ".ctl" && entry.path() != controls[0])
      controls.push_back(entry.path());
  std::sort(controls.begin() + 1, controls.end());
  int complete = 0;
  for (const std::vector<std::string>& block : blocks) {
    if (block.empty() || !is_header(block.front()) ||
        std::any_of(block.begin(), block.end(),
                    [](const std::string& line) { return line.find("...") != std::string::npos; }))
      continue;
    ++complete;
    SCOPED_TRACE(block.front());
    // The block's sections, each from its header to the next.
    std::vector<std::pair<std::string, std::string>> sections;
    std::vector<std::string> files;
    for (const std::string& line : block) {
      if (is_header(line)) sections.emplace_back(line, "");
      sections.back().second += line + "\n";
      const std::size_t at = line.find("filename = ");
      if (at != std::string::npos)
        files.push_back(line.substr(at + 11, line.find(';', at) - at - 11));
    }
    std::string text;
    for (const fs::path& control : controls) {
      text = ReadFile(control.string());
      if (std::all_of(sections.begin(), sections.end(), [&](const auto& section) {
            return text.find("\n" + section.first + "\n") != std::string::npos;
          }))
        break;
      text.clear();
    }
    ASSERT_FALSE(text.empty()) << "no example control file has every section of the block";
    for (const auto& [header, body] : sections) {
      const std::size_t from = text.find("\n" + header + "\n") + 1;
      std::size_t to = text.find("\n[", from);
      to = to == std::string::npos ? text.size() : to + 1;
      text.replace(from, to - from, body + "\n");
    }
    // Three days from the start: the end's day is the start's day + 2 of the start's month.
    const std::vector<std::string> lines = SplitLines(text);
    std::size_t start = 0, end = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find("# start:") != std::string::npos) start = i;
      if (lines[i].find("# end:") != std::string::npos) end = i;
    }
    ASSERT_TRUE(start > 0 && end > start + 3 && end + 2 < lines.size());
    std::string timed;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string line = lines[i];
      if (i == end + 1) line = std::to_string(std::stoi(lines[start + 1]) + 2);
      if (i == end + 2) line = lines[start + 2];
      timed += line + "\n";
    }
    TempDir dir;
    for (const auto& entry : fs::directory_iterator(ExampleDir()))
      if (entry.path().filename() != "source")
        fs::copy(entry.path(), dir / entry.path().filename().string(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::create_directories(dir / "output");
    WriteFile(dir / "MpiSpeedFactor.dat", "1.0\n");
    WriteFile(dir / "front-range.ctl", timed);
    const RunResult result = RunExampleControl(dir.path().string(), 1);
    ASSERT_EQ(result.exit_status, 0) << result.Describe();
    EXPECT_EQ(result.diag.find("is read by no model"), std::string::npos) << result.diag;
    EXPECT_EQ(result.diag.find("no model reads the key"), std::string::npos) << result.diag;
    for (const std::string& file : files)
      EXPECT_GT(SplitLines(ReadFile(dir.path() / "output" / file)).size(), 2u) << file;
  }
  // The blocks of [routing_model], [abstraction_rule_abstraction_1], [abstraction_rule_reservoir_5]
  // and [special_output] at least: a block that loses its header would leave this test.
  EXPECT_GE(complete, 4);
}

}  // namespace
}  // namespace velorn::test

// The option matrix: generated whole runs of the example basin (examples/front-range/), each a
// combination of options that no shipped variant switches on, over a window of a few days to a
// few weeks chosen so that its options act (snow on the ground, a glacier evaluation, the
// irrigation season, a lake's assimilation day). Every run carries two tracers: "con",
// non-evaporating, at 10 in the rain, and "eva", evaporating, at 10 in the soil water and the
// aquifer and absent from the rain (the leaves keep an evaporating tracer as well, so only
// without it in the rain does no store rise above 10). Each combination runs on 1, 2 and 3
// processes (under the sanitizers on 3 only) and must show
//   - the same output files on every process count (the decomposition's own files aside), and
//     for the rows that ask for it with several threads per process on 2 and 3 processes;
//   - the model's own account ("water_balance.txt") closed: a residual of at most 1e-6 mm in
//     every subbasin, no source term that only mends the books ("snow_alignment") above the
//     table's rounding and the groundwater solution's imbalance within its tolerance;
//   - where the tables show every store (snow cover, leaves, soil profile), an outside account
//     from the tables alone: precipitation = real evapotranspiration + runoff + the change of
//     the stores, within the tables' rounding;
//   - the mass of "con": what the rain brought (10 x the precipitation less the irrigation water)
//     and the bookings of irrigation, the lakes and data assimilation brought is in the stores at
//     the end (grids written at the end; a lake of the routing by its balance file) or has left
//     with the runoff (runoff x concentration per report interval; the runoff storages made
//     instantaneous), within 1e-6 of the input, and so does the rain's and the assimilation's
//     along the whole path (the water on the surface, the channels, the reservoirs and lakes,
//     what left the basin); what the rivers and reservoirs gave irrigation is what the cells
//     received and what is still on its way;
//   - no concentration below 0 anywhere, and none of "eva" above 10, its only source's, in any
//     store or in what leaves one (upwind transport only thins it out), the balance files of
//     reservoirs and lakes and the abstractions' files included;
//   - for the rows that ask for it, a warm start halfway from state written as binary doubles
//     that continues the straight run: the same table rows for the second half and the same
//     state at the end, bit for bit.
// A row whose combination does not close yet carries the reason in `pending` and is skipped with
// it. CTest runs the rows as shards of their own ("option_matrix_tests_N", tests/CMakeLists.txt);
// `--gtest_filter=*/<row name>` runs one row; VELORN_MATRIX_PENDING=1 runs the pending rows too
// (to see whether a mend lets them close).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/glacier_example.h"
#include "tests/support/grid_files.h"
#include "tests/support/run_outputs.h"
#include "tests/support/test_files.h"
#include "tests/support/velorn_runner.h"
#include "tests/support/water_balance_table.h"

namespace velorn::test {
namespace {

namespace fs = std::filesystem;

using Edits = std::vector<std::pair<std::string, std::string>>;

// A day of 2019.
struct Day {
  int day, month;
};

// A window of days of 2019, the first and the last.
struct Window {
  Day first, last;
};
// The windows of several rows: a week of late January with snowfall and melt, the first days of
// the year (the glaciers' evaluation on the second), the wet days of early and mid March.
constexpr Window kLateJanuary = {{20, 1}, {27, 1}}, kFourJanuaryDays = {{20, 1}, {23, 1}},
                 kMidJanuary = {{16, 1}, {23, 1}}, kNewYear = {{1, 1}, {5, 1}},
                 kEarlyMarch = {{1, 3}, {10, 3}}, kWetMarch = {{10, 3}, {19, 3}};

struct Combination {
  const char* name;
  const char* variant = "";  // the example's control file the copy starts from
  Edits edits = {};          // applied in order to the copy (each text must be there)
  // Every model's step and the report interval in minutes; a shorter step than a day reads
  // station tables with a record per step.
  int step = 1440;
  Window window;
  // A table that shows the options act: some value of it is not 0.
  const char* acts = nullptr;
  // The daily tables of every store, for the outside account; none: the row has stores that no
  // table shows (glacier parts, the aquifer, lakes of the routing, the layered pack).
  std::vector<std::string> stores = {};
  // Grids that hold the rain's tracer at the end besides the snow cover, the leaves and the
  // soil (the aquifer's layers, what left through fixed heads).
  std::vector<std::string> tracer_stores = {};
  bool glaciers = false;  // the glacier parts weigh their cells' stores by g
  bool warm = false;      // a warm start halfway must continue the straight run
  // A section of the storage content files that process 1's file lacks in a second warm start:
  // refused naming it (that process alone started cold).
  const char* section_of_all = nullptr;
  bool mass = true;               // the rain's tracer closes from the stores named above
  bool soil = true;               // the soil zone runs (without it there is no account to close)
  bool tracers = true;            // the rain carries its tracers (off: set mass = false too)
  const char* pending = nullptr;  // why the row does not close yet (skipped with this)
  // OpenMP threads of each process on 2 and 3 processes (1 process runs with one): their files
  // must equal the single thread's.
  int threads = 1;
};

const std::string kStandardGrids = "[standard_grids]\n5\n";
const std::string kInterception =
    "2          # method: evaporation at the potential interception evaporation";
const std::string kDegreeDay = "1          # method 1: degree-day (temperature index)";
// The switch of dynamic glaciers that reads their state grids (after the snow-on-ice table).
const std::string kGlacierColdStart = "qsnowglac.stat 2001\n0\n";
const std::string kSnowColdStart =
    "0          # the pack starts empty (1: read from the storage grids above)\n";
const std::string kInterceptionColdStart =
    "0          # the storages start empty (1: read from the grids above)\n";

// Snow held in the canopy (interception method 22); `code` is the canopy grids' write code,
// `least_leaf_area` the leaf area the canopy needs to hold snow. The canopy's load (the fifth
// output) has its daily table, a store of its own.
Edits CanopySnow(int code = 0, const std::string& least_leaf_area = "0.5") {
  std::string canopy;
  for (int i = 0; i < 10; ++i)
    canopy += "canopy" + std::to_string(i) + ".asc\n" + std::to_string(code) + "\n" +
              (i == 4 ? "canopy_load.stat 2001\n" : "c.sta 0\n");
  return {{kInterception, "22 # method"},
          {kInterceptionColdStart,
           kInterceptionColdStart + canopy + least_leaf_area + "\n0.01\n1.0\n"}};
}

// Every land use as two vegetation layers: itself over the meadow (the meadow over grass).
const Edits kLeafLayers = {
    {"[landuse_table]\n",
     "[multilayer_landuse]\n4\n10 meadow2 { Landuse_Layers = 10, 40; k_extinct = 0.3; "
     "LAI_scale = 10; }\n20 montane2 { Landuse_Layers = 20, 10; k_extinct = 0.3; LAI_scale = 10; "
     "}\n30 subalpine2 { Landuse_Layers = 30, 10; k_extinct = 0.3; LAI_scale = 10; }\n"
     "40 grass2 { Landuse_Layers = 40, 10; k_extinct = 0.3; LAI_scale = 10; }\n\n"
     "[landuse_table]\n"}};

// The lines of the energy-balance snow methods after the pack's storage switch.
const std::string kEnergyBalanceLines =
    "snowtemp.asc\n0\nsnowtemp.stat 0\nsurftemp.asc\n0\nsurftemp.stat 0\n"
    "inputmass.asc\n0\ninputmass.stat 0\nmobilemass.asc\n0\nmobilemass.stat 0\n"
    "deposition.asc\n0\ndeposition.stat 0\n55\n1\n30\n0.01\n1\n1\n1.0\n";

// Degree-day snow sliding off slopes of 15 degrees and more (method 8) to the lower neighbours
// of the slide fractions.
const Edits kSlides = {
    {kDegreeDay, "8 # method"},
    {kSnowColdStart,
     kSnowColdStart +
         "snowtemp.asc\n0\nsnowtemp.stat 0\nsurftemp.asc\n0\nsurftemp.stat 0\n"
         "inputmass.asc\n0\ninputmass.stat 2001\nmobilemass.asc\n0\nmobilemass.stat 2001\n"
         "deposition.asc\n0\ndeposition.stat 2001\n55\n20\n15\n0.05\n1\n1\n1.0\n"},
    {kStandardGrids,
     "[standard_grids]\n9\nslidefraction1.asc slidefraction1 0\n"
     "slidefraction2.asc slidefraction2 0\nslidefraction3.asc slidefraction3 0\n"
     "slidefraction4.asc slidefraction4 0\n"}};

const Edits kHeat = {{kSectionsEnd, kHeatTransfer + kSectionsEnd}};
const Edits kLayered = {{kSectionsEnd, kHeatTransfer + kLayeredSnow + kSectionsEnd}};

// The glacier melt's linear storages pass their water on within the step.
const std::pair<std::string, std::string> kInstantGlacierStorages = {
    "0.2\n10\n20\n5\n", "0.2\n0.0001\n0.0001\n0.0001\n"};

// Dynamic glaciers (method 11) evaluated on the window's second day; `day` and `month` of that.
Edits DynamicGlaciers(const std::string& day, const std::string& month) {
  Edits edits = GlacierEdits();
  edits.push_back({"\n2 1\n28.5", "\n" + day + " " + month + "\n28.5"});
  edits.push_back(kInstantGlacierStorages);
  // The shares after a yearly evaluation weigh the stores at the end; a warm start reads them
  // and the codes.
  edits.push_back({"glacier_fraction.asc GlacierizedCells 0\n",
                   "glacier_fraction.asc GlacierizedCells 0 writecode = 3 "
                   "outname = glacier_fraction_end.asc\n"});
  edits.push_back({"glacier_codes.asc GlacierCodes 0\n",
                   "glacier_codes.asc GlacierCodes 0 writecode = 3 "
                   "outname = glacier_codes_end.asc\n"});
  return edits;
}

// Static glaciers (method 1): the ice and firn grid "ice_firn" (ice where the dynamic rows have a
// whole glacier cell, firn where they have a fifth).
const Edits kStaticGlaciers = {
    {kStandardGrids, "[standard_grids]\n6\nice_firn.asc ice_firn 0\n"},
    {kSectionsEnd,
     "[ice_firn]\n1\n3\n4\n2\n1\n0.1\n0.2\n0.1\n0.2\n0.0001\n0.0001\n0.0001\n0\n0\n0\n"
     "firn.asc\n0\nqfirn.stat 2001\nice.asc\n0\nqice.stat 2001\nqglac.txt 2001\n\n" +
         kSectionsEnd}};

// Response units (spin-up switch 2) of land use, soil type and 100 m elevation bands.
const Edits kResponseUnits = {{"[SpinUp]\n0 ",
                               "[SpinUp]\n2\n0\n1\n3\nlanduse1 1 linear\nsoil_types 1 "
                               "linear\nelevation_model 100 linear\n# "}};

// The groundwater variant's streams losing water to the soil columns once routing offers it.
const Edits kLosingStreams = {
    {"1          # exchange with river water", "2          # exchange with river water"},
    {"2          # ini_gw_level", "1          # ini_gw_level"},
    {"gwin.stat 0", "gwin.stat 2001"}};

// The groundwater variant's method and layer-1 conductivity.
Edits Groundwater(const std::string& method, const std::string& conductivity) {
  return {{"1          # method: successive over-relaxation", method + " # method"},
          {"gw_k_x_1 gw_k_x_1 0 readcode=0 defaultValue=1.2e-5",
           "gw_k_x_1 gw_k_x_1 0 readcode=0 defaultValue=" + conductivity},
          {"gw_k_y_1 gw_k_y_1 0 readcode=0 defaultValue=1.2e-5",
           "gw_k_y_1 gw_k_y_1 0 readcode=0 defaultValue=" + conductivity}};
}
// The soil zone's lakes (method 2) on the cells of "lake_codes.asc", with ponding of up to
// "lake_ponding_max.asc"; discharge routing off (its lakes need lake tables). `grids`: the
// variant's line of the standard grids' count.
Edits SoilLakes(const std::string& grids, int count) {
  return {
      {grids, "[standard_grids]\n" + std::to_string(count + 2) +
                  "\nlake_codes.asc lake_codes 0\nlake_ponding_max.asc max_ponding_storage 0\n"},
      {"0          # no ponding: water the soil cannot take runs off at once", "1 # ponding"},
      {"pond.stat 0", "pond.stat 2001"},
      {"[routing_model]\n1          # on", "[routing_model]\n0 # off"},
      {kSectionsEnd, "[lake_model]\n1\n2\n0.08\n0.001\n\n" + kSectionsEnd}};
}

// The snow survey of 28 May (snow_survey.asc) set into the snow model's pack, divided into its
// liquid and solid storages.
const Edits kSnowSurvey = {
    {kSectionsEnd,
     "[data_assimilation]\n1\n1440\n1\ngrid {\n  grid-ID = snow_storage_total;\n"
     "  listfilename = snow_survey_list.txt;\n"
     "  options { split-into-liquid-and-solid = true; default-liquid-percentage = 5; }\n}\n\n" +
         kSectionsEnd}};
// A lake of discharge routing (reservoir SP 5 of the basin's outlet, the lake variant's rule) on
// the cells of "lake_codes.asc", with ponding of up to "lake_ponding_max.asc".
Edits RoutingLake(const std::string& grids, int count) {
  return {
      {grids, "[standard_grids]\n" + std::to_string(count + 2) +
                  "\nlake_codes.asc lake_codes 0\nlake_ponding_max.asc max_ponding_storage 0\n"},
      {"0          # no ponding: water the soil cannot take runs off at once", "1 # ponding"},
      {"pond.stat 0", "pond.stat 2001"},
      {"A=5.83)\nend of the routing descriptions",
       "A=5.83)\nSP 5 file = lake5.txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0\nend of the routing "
       "descriptions"},
      {kSectionsEnd,
       "[lake_model]\n1\n1\n0.08\n0.001\n1\n\n[abstraction_rule_reservoir_5]\n"
       "2 1 365\n0 0 0\n113000 2 2\n\n" +
           kSectionsEnd}};
}

// The stores of the soil zone's models that the tables show: snow cover, leaves, soil profile.
const std::vector<std::string> kTabledStores = {"snowstorage.stat", "interception_storage.stat",
                                                "sb2.stat"};
const std::vector<std::string> kCanopyStores = {"snowstorage.stat", "interception_storage.stat",
                                                "canopy_load.stat", "sb2.stat"};

const std::vector<std::string> kAquifer = {"con1grou.asc", "con2grou.asc", "conoutgrou.asc"};

// Every model's step and the report interval set to `minutes`; the run ends with the last step
// of its last day.
Edits Steps(int minutes) {
  return {{"24         # report interval", std::to_string(minutes / 60) + " #"},
          {"1440       # minutes from the hour", std::to_string(minutes) + " #"},
          {"1440       # time step", std::to_string(minutes) + " #"},
          {"0          # end: hour", std::to_string(24 - minutes / 60) + " # end: hour"}};
}

// Spin-up switch 1: the window twice, with the response units above.
const Edits kSpinUpPasses = {{"[SpinUp]\n0 ",
                              "[SpinUp]\n1\n0\n2\n3\nlanduse1 1 linear\nsoil_types 1 "
                              "linear\nelevation_model 100 linear\n# "}};

// Irrigation of the meadows (method 3) by `origin` (1 groundwater, 2 rivers) in a variant without
// it; `grids`: the variant's line of the standard grids' count.
Edits Irrigation(const std::string& grids, int count, int origin) {
  return {{grids, "[standard_grids]\n" + std::to_string(count + 1) +
                      "\nirrigation.asc irrigation_codes 0\n"},
          {"[irrigation]\n0          # no irrigation",
           "[irrigation]\n1\n1440\nirr_gw.stat 2001\nirr_sw.stat 2001\n\n[irrigation_table]\n1\n"
           "12 meadow 3 " +
               std::to_string(origin) + " 1 0.33"}};
}

// Silting-up (method 3, the built-in formulas as statements with the soils' parameters) of the
// meadow, tilled on days 60 and 280, on soils with the grain sizes
// of the silting variant, in front of the soil zone; the infiltration capacity starts at 0.5 and
// falls towards 0.2 mm an hour, so that the days of the wet spell of early June seal.
const std::string kSealingParameters =
    "  SU_PAR01 = 0.5; SU_PAR02 = 0.2; SU_PAR03 = 0.52; SU_PAR04 = -0.64;\n"
    "  SU_PAR05 = 0.05; SU_PAR06 = -1.03; SU_PAR07 = 0.7; SU_PAR08 = -0.19;\n";
const Edits kSiltingUp = {
    {"IntercepCap = 0.2;\n  JulDays = 1 130 180 270 366;\n",
     "IntercepCap = 0.2;\n  JulDays = 1 130 180 270 366;\n  SoilTillage = 60 280; SR_ResidCovrg = "
     "0.3 0.1 0.05 0.2 0.3;\n"},
    {"thickness = 0.1 0.3;\n",
     "thickness = 0.1 0.3;\n  GrainSizeDist = 0.40 0.40 0.20 0 0 0 0;\n" + kSealingParameters},
    {"thickness = 0.1 0.2;\n",
     "thickness = 0.1 0.2;\n  GrainSizeDist = 0.65 0.25 0.10 0 0 0 0;\n" + kSealingParameters},
    {"thickness = 0.1 0.1;\n",
     "thickness = 0.1 0.1;\n  GrainSizeDist = 0.82 0.12 0.06 0 0 0 0;\n" + kSealingParameters},
    {"[variable_grids]\n2\n",
     "[variable_grids]\n3\nsurface_storage.asc SurfStorSiltingUp 0 0\n0\n0\n"},
    {kSectionsEnd,
     "[SiltingUpModel]\n1\n1440\n3\nsdisp.stat 0\nqdsu.stat 2001\nsdisp.asc\n0\nrainpause.asc\n0\n"
     "ekin.asc\n0\ntsbb.asc\n0\nqdsu.asc\n0\n1 5\n2.0 2.0\n0\nSiltingUpExpressions {\n"
     "  W = (P > 0.05) * ((P < 76.2) * (11.89 + 8.73 * log10(P + (P <= 0.05))) + (P >= 76.2) * "
     "28.33);\n  Y = B * K^C * (100 * L)^D;\n  X = A;\n"
     "  Z = (O > 0) * E * (100 * L)^F * K^G * (O + (O <= 0))^H;\n"
     "  V = ((X - Y) * exp(-Z * Q) + Y) * R / 60;\n}\n\n" +
         kSectionsEnd}};

Edits Joined(std::initializer_list<Edits> parts) {
  Edits all;
  for (const Edits& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<Combination>& Matrix() {
  static const std::vector<Combination> rows = {
      {.name = "degree_day_january",
       .window = kLateJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "interception_1",
       .edits = {{kInterception, "1 # method"}},
       .window = kLateJanuary,
       .acts = "interception_storage.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "interception_12_before_snow",
       .edits = {{kInterception, "12 # method"}},
       .window = kLateJanuary,
       .acts = "interception_storage.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "interception_22_canopy_snow",
       .edits = CanopySnow(),
       .window = kLateJanuary,
       .acts = "canopy_load.stat",
       .stores = kCanopyStores},
      // The subalpine forest's leaf area (4.3 on day 270, 4.0 on day 366) falls below 4.133
      // from the 19th to the 20th of November, while its canopy holds the snow of the 19th.
      {.name = "interception_22_leaves_fall",
       .edits = CanopySnow(0, "4.133"),
       .window = {{17, 11}, {21, 11}},
       .acts = "canopy_load.stat",
       .stores = kCanopyStores},
      {.name = "interception_22_leaf_layers",
       .edits = Joined({CanopySnow(), kLeafLayers}),
       .window = kLateJanuary,
       .acts = "interception_evaporation_Layer_2.stat",
       .stores = kCanopyStores},
      {.name = "interception_2_leaf_layers",
       .edits = kLeafLayers,
       .window = kLateJanuary,
       .acts = "interception_evaporation_Layer_2.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "snow_method_2",
       .edits = {{kDegreeDay, "2 # method"}},
       .window = kLateJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "snow_method_3",
       .edits = {{kDegreeDay, "3 # method"}},
       .window = kLateJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "snow_energy_balance",
       .edits = {{kDegreeDay, "5 # method"},
                 {kSnowColdStart, kSnowColdStart + kEnergyBalanceLines}},
       .window = kLateJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "layered_snow",
       .edits = kLayered,
       .window = kMidJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores},
      {.name = "layered_snow_four_days",
       .edits = kLayered,
       .window = kFourJanuaryDays,
       .acts = "snowstorage.stat",
       .stores = kTabledStores},
      {.name = "layered_snow_method_3",
       .edits = Joined({kLayered, {{kDegreeDay, "3 # method"}}}),
       .window = kMidJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores},
      {.name = "heat_and_frost",
       .edits = kHeat,
       .window = {{16, 1}, {25, 1}},
       .acts = "thaw.stat",
       .stores = kTabledStores,
       .warm = true},
      {.name = "static_glaciers",
       .edits = kStaticGlaciers,
       .window = kNewYear,
       .acts = "qice.stat",
       .warm = true},
      // The warm start halfway starts from the shares and the codes the evaluation left, written
      // as doubles.
      {.name = "dynamic_glaciers_evaluated",
       .edits = DynamicGlaciers("2", "1"),
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true,
       .warm = true},
      {.name = "response_units",
       .edits = kResponseUnits,
       .window = {{1, 4}, {5, 4}},
       .acts = "qg.stat",
       .stores = kTabledStores,
       .warm = true},
      // Two months on response units: the members' base flow carries the master's solute.
      {.name = "response_units_spring",
       .edits = kResponseUnits,
       .window = {{1, 3}, {30, 4}},
       .acts = "qg.stat"},
      // Snow on response units: the tables of the snow model must show the snow the cells hold.
      {.name = "response_units_with_snow",
       .edits = kResponseUnits,
       .window = kFourJanuaryDays,
       .acts = "snowfall.stat",
       .stores = kTabledStores},
      {.name = "spin_up_passes",
       .edits = kSpinUpPasses,
       .window = kFourJanuaryDays,
       .acts = "snowstorage.stat"},
      {.name = "steps_3_hourly",
       .step = 180,
       .window = kFourJanuaryDays,
       .acts = "snowstorage.stat",
       .stores = kTabledStores},
      {.name = "steps_3_hourly_warm_start",
       .step = 180,
       .window = kFourJanuaryDays,
       .acts = "snowstorage.stat",
       .warm = true},
      {.name = "steps_hourly",
       .step = 60,
       .window = {{22, 1}, {23, 1}},
       .acts = "snowstorage.stat",
       .stores = kTabledStores},
      {.name = "groundwater_warm_start",
       .variant = "front-range-groundwater.ctl",
       .window = kEarlyMarch,
       .acts = "qb.stat",
       .tracer_stores = kAquifer,
       .warm = true},
      {.name = "groundwater_method_1_fast",
       .variant = "front-range-groundwater.ctl",
       .edits = Groundwater("1", "1e-2"),
       .window = kEarlyMarch,
       .acts = "qb.stat",
       .tracer_stores = kAquifer},
      // Losing streams (interaction 2, the table started below the beds) take river water
      // from the routing records of their links; tracers cannot be combined with them.
      {.name = "groundwater_losing_streams",
       .variant = "front-range-groundwater.ctl",
       .edits = kLosingStreams,
       .window = kEarlyMarch,
       .acts = "gwin.stat",
       .warm = true,
       .mass = false,
       .tracers = false,
       .threads = 2},
      {.name = "groundwater_method_2_fast",
       .variant = "front-range-groundwater.ctl",
       .edits = Groundwater("2", "1e-2"),
       .window = kEarlyMarch,
       .acts = "qb.stat",
       .tracer_stores = kAquifer},
      // Cells at the surface give the soil columns more than 1 m of water a day back.
      {.name = "groundwater_method_2_very_fast",
       .variant = "front-range-groundwater.ctl",
       .edits = Groundwater("2", "1e-1"),
       .window = {{1, 3}, {4, 3}},
       .acts = "qb.stat",
       .tracer_stores = kAquifer},
      {.name = "lake_assimilation_day",
       .variant = "front-range-lake.ctl",
       .window = {{26, 5}, {2, 6}},
       .acts = "pond.stat",
       .warm = true},
      {.name = "lake_without_assimilation",
       .variant = "front-range-lake.ctl",
       .edits = {{"[data_assimilation]\n1", "[data_assimilation]\n0"}},
       .window = {{1, 4}, {10, 4}},
       .acts = "pond.stat",
       .warm = true},
      {.name = "surface_routing",
       .variant = "front-range-surface-routing.ctl",
       .window = kWetMarch,
       .acts = "surfstor.stat"},
      // The water on the surface and the runoff storages (their recession constants as shipped)
      // carry over the halves.
      {.name = "surface_routing_warm_start",
       .variant = "front-range-surface-routing.ctl",
       .edits = {{"SurfStorSiltingUp 0 0\n0 ", "SurfStorSiltingUp 0 0\n3 "},
                 {"0.0001 0.0001 # kelsqd", "12 12 # kelsqd"},
                 {"0.0001 0.0001 # kelsqi", "48 48 # kelsqi"}},
       .window = kWetMarch,
       .acts = "surfstor.stat",
       .warm = true,
       .section_of_all = "[SurfaceRoutingModel]",
       .mass = false},
      {.name = "silting_up",
       .variant = "front-range-silting.ctl",
       .window = {{1, 5}, {10, 5}},
       .mass = false,
       .soil = false},
      {.name = "irrigation_from_rivers",
       .variant = "front-range-irrigation.ctl",
       .window = {{1, 7}, {31, 7}},
       .acts = "irr_sw.stat"},
      // The halves split where the rivers owe irrigation water; the root zone's water content
      // and the running amounts the rules look at are written at the end.
      {.name = "irrigation_from_rivers_warm_start",
       .variant = "front-range-irrigation.ctl",
       .edits = {{"\nsb1.dbl\n0", "\nsb1.dbl\n3"}, {"irrig.dbl\n0", "irrig.dbl\n3"}},
       .window = {{22, 7}, {7, 8}},
       .acts = "irr_sw.stat",
       .warm = true},
      {.name = "irrigation_from_groundwater",
       .variant = "front-range-irrigation.ctl",
       .edits = {{"12 meadow 3 2 1 0.33", "12 meadow 3 1 1 0.33"}},
       .window = {{24, 7}, {2, 8}},
       .acts = "irr_gw.stat"},
      // The evaluation falls in the second half of a warm-started window: the state read at the
      // warm start (firn, mass balances, the packs on the glacier, the water of the glacier
      // melt's linear storages, kept here) continues the straight run through the evaluation.
      // The storages hold the tracer over the report intervals: no mass check.
      {.name = "dynamic_glaciers_evaluated_after_warm_start",
       .edits = Joined(
           {DynamicGlaciers("4", "1"), {{"0.2\n0.0001\n0.0001\n0.0001\n", "0.2\n10\n20\n5\n"}}}),
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true,
       .warm = true,
       .mass = false},
      // Dynamic glaciers with the static glaciers' grid registered as well: every model weighs a
      // cell by the dynamic glaciers' share.
      {.name = "dynamic_glaciers_beside_ice_firn_grid",
       .edits =
           Joined({DynamicGlaciers("2", "1"),
                   {{"[standard_grids]\n7\n", "[standard_grids]\n8\nice_firn.asc ice_firn 0\n"}}}),
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true},
      // Sub-daily steps irrigate until the root zone is back at its upper threshold.
      {.name = "irrigation_3_hourly",
       .variant = "front-range-irrigation.ctl",
       .step = 180,
       .window = {{1, 7}, {27, 7}},
       .acts = "irr_sw.stat"},
      // Pairs that act on one store.
      {.name = "dynamic_glaciers_with_response_units",
       .edits = Joined({DynamicGlaciers("2", "1"), kResponseUnits}),
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true},
      {.name = "static_glaciers_with_response_units",
       .edits = Joined({kStaticGlaciers, kResponseUnits}),
       .window = kNewYear,
       .acts = "qice.stat"},
      {.name = "dynamic_glaciers_with_canopy_snow",
       .edits = Joined({DynamicGlaciers("2", "1"), CanopySnow()}),
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true},
      {.name = "dynamic_glaciers_with_layered_snow",
       .edits = Joined({DynamicGlaciers("2", "1"), kLayered}),
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true},
      // Snow on the ground at the evaluation: the excess above 0.5 mm of the glacier-free part's
      // pack (its ice and its water) moves onto the glacier part, out of the layers.
      {.name = "dynamic_glaciers_with_layered_snow_excess",
       .edits = Joined({DynamicGlaciers("20", "1"), kLayered, {{"\n5 0.3\n", "\n0.5 0.3\n"}}}),
       .window = kMidJanuary,
       .acts = "gmb1.stat",
       .glaciers = true},
      {.name = "lakes_with_groundwater",
       .variant = "front-range-groundwater.ctl",
       .edits = Joined({SoilLakes("[standard_grids]\n21\n", 21),
                        {{"0          # no ponding water on the start heads", "1 # ponding"}}}),
       .window = kEarlyMarch,
       .acts = "pond.stat",
       .tracer_stores = kAquifer},
      {.name = "lakes_with_groundwater_warm_start",
       .variant = "front-range-groundwater.ctl",
       .edits = Joined({SoilLakes("[standard_grids]\n21\n", 21),
                        {{"0          # no ponding water on the start heads", "1 # ponding"}}}),
       .window = kEarlyMarch,
       .acts = "pond.stat",
       .tracer_stores = kAquifer,
       .warm = true},
      {.name = "canopy_snow_with_response_units",
       .edits = Joined({CanopySnow(), kResponseUnits}),
       .window = kLateJanuary,
       .acts = "snowstorage.stat"},
      {.name = "static_glaciers_with_canopy_snow",
       .edits = Joined({kStaticGlaciers, CanopySnow()}),
       .window = kNewYear,
       .acts = "qice.stat"},
      {.name = "groundwater_method_2_losing_streams",
       .variant = "front-range-groundwater.ctl",
       .edits = Joined({Groundwater("2", "1e-3"), kLosingStreams}),
       .window = kEarlyMarch,
       .acts = "gwin.stat",
       .warm = true,
       .mass = false,
       .tracers = false},
      {.name = "layered_snow_hourly",
       .edits = kLayered,
       .step = 60,
       .window = {{22, 1}, {23, 1}},
       .acts = "snowstorage.stat"},
      // The aquifer at the soil zone's sub-daily step (its section has a line of its own).
      {.name = "groundwater_3_hourly",
       .variant = "front-range-groundwater.ctl",
       .edits = {{"1440       # time interval (minutes)", "180 #"}},
       .step = 180,
       .window = {{1, 3}, {3, 3}},
       .acts = "qb.stat",
       .tracer_stores = kAquifer},
      {.name = "lakes_with_surface_routing",
       .variant = "front-range-surface-routing.ctl",
       .edits = SoilLakes("[standard_grids]\n7\n", 7),
       .window = kWetMarch,
       .acts = "pond.stat"},
      {.name = "layered_snow_warm_start",
       .edits = Joined({kStaticGlaciers, kLayered}),
       .window = kNewYear,
       .acts = "qice.stat",
       .warm = true},
      {.name = "static_glaciers_with_layered_snow",
       .edits = Joined({kStaticGlaciers, kLayered}),
       .window = kNewYear,
       .acts = "qice.stat"},
      // The survey's snow melts into the soil from the layers on the survey day.
      {.name = "layered_snow_survey",
       .edits = Joined({kLayered, kSnowSurvey}),
       .window = {{26, 5}, {30, 5}},
       .acts = "snowstorage.stat"},
      // Snow slides between the layers of the cells of a subbasin.
      {.name = "layered_snow_slides",
       .edits = Joined({kSlides, kLayered}),
       .window = kLateJanuary,
       .acts = "deposition.stat",
       .stores = kTabledStores},
      // The members' layers take their master's snow by the alignment, which they book as their
      // master's (its own alignment, none here).
      {.name = "layered_snow_with_response_units",
       .edits = Joined({kLayered, kResponseUnits}),
       .window = kMidJanuary,
       .acts = "snowstorage.stat"},
      // Heat carried by the soil water: the first step of the second half moves it with the
      // water fluxes of the first half's last step.
      {.name = "heat_method_12_warm_start",
       .edits = {{kSectionsEnd, kHeatTransfer + kSectionsEnd},
                 {"11         # method 11: implicit", "12 # method"}},
       .window = {{16, 1}, {25, 1}},
       .acts = "thaw.stat",
       .stores = kTabledStores,
       .warm = true},
      // The canopy's mean temperature of the last day carries over the halves.
      {.name = "canopy_snow_hourly_warm_start",
       .edits = CanopySnow(3),
       .step = 60,
       .window = {{22, 1}, {23, 1}},
       .acts = "interception_storage.stat",
       .stores = kCanopyStores,
       .warm = true},
      // The glacier cells keep no snow temperatures, also after the warm start.
      {.name = "snow_energy_balance_with_static_glaciers_warm_start",
       .edits = Joined(
           {kStaticGlaciers,
            {{kDegreeDay, "5 # method"}, {kSnowColdStart, kSnowColdStart + kEnergyBalanceLines}}}),
       .window = kNewYear,
       .acts = "qice.stat",
       .warm = true},
      // Permafrost without heat transfer: the thaw depth and the counts of snow-free and
      // snow-covered days carry over the halves.
      {.name = "permafrost_warm_start",
       .edits = {{kStandardGrids,
                  "[standard_grids]\n7\npermafrost_thaw.asc PermafrostThawDepth 0 writecode = 3 "
                  "outname = permafrost_thaw_end.asc\nthaw_coefficient ThawCoeffPermaFrost 0 "
                  "readcode = 0 defaultValue = 0.05\n"},
                 {kSectionsEnd,
                  "[permafrost]\n1\n5\n2\nthawdepth.stat 2001\n1e-9\n\n" + kSectionsEnd}},
       .window = {{1, 4}, {10, 4}},
       .acts = "thawdepth.stat",
       .stores = kTabledStores,
       .warm = true},
      // The snow layers' water fluxes carry over the halves.
      {.name = "layered_snow_mid_january_warm_start",
       .edits = kLayered,
       .window = kMidJanuary,
       .acts = "snowstorage.stat",
       .stores = kTabledStores,
       .warm = true},
      // Response units switch the lakes off, saying so in every model that reads [lake_model].
      {.name = "lakes_with_response_units",
       .variant = "front-range-lake.ctl",
       .edits = kResponseUnits,
       .window = {{1, 4}, {5, 4}},
       .acts = "qg.stat"},
      // Forty days of response units of land use and elevation bands over dynamic glaciers: members
      // of other glacier shares than their master's copy its firn.
      {.name = "dynamic_glaciers_with_response_units_by_land_use_and_elevation",
       .edits = Joined({DynamicGlaciers("2", "1"),
                        {{"[SpinUp]\n0 ",
                          "[SpinUp]\n2\n0\n1\n2\nlanduse1 1 linear\n"
                          "elevation_model 100 linear\n# "}}}),
       .window = {{1, 1}, {9, 2}},
       .acts = "gmb1.stat",
       .glaciers = true},
      // The evaluation at the last 3-hour step of its day in the second half of a warm start, with
      // the glacier melt's storages holding water over the halves.
      {.name = "dynamic_glaciers_3_hourly_evaluated_after_warm_start",
       .edits = Joined(
           {DynamicGlaciers("4", "1"), {{"0.2\n0.0001\n0.0001\n0.0001\n", "0.2\n10\n20\n5\n"}}}),
       .step = 180,
       .window = kNewYear,
       .acts = "gmb1.stat",
       .glaciers = true,
       .warm = true},
      // The window ends while the canopy holds the snow of the 22nd to 25th: its load is in the
      // load table alone, not in the leaves' storage table as well.
      {.name = "canopy_snow_held_at_the_end",
       .edits = CanopySnow(),
       .window = {{20, 1}, {25, 1}},
       .acts = "canopy_load.stat",
       .stores = kCanopyStores},
      // The meadows of subbasin 4 take the water of the reservoir at its outlet, at the
      // reservoir's concentration (it starts free of the tracers).
      {.name = "irrigation_from_a_reservoir",
       .variant = "front-range-irrigation.ctl",
       .edits = {{"A=5.61)\n",
                  "A=5.61)\nSP 4 file = reservoir4.txt V0 = 50000 C0 = 0 0 0 0 0 0 0 0 0\n"},
                 {kSectionsEnd,
                  "[abstraction_rule_reservoir_4]\n2 1 365\n0 0 0\n100000 1 1\n\n" + kSectionsEnd}},
       .window = {{20, 7}, {31, 7}},
       .acts = "irr_sw.stat"},
      // The meadows dry out by the 26th; the first rain after the dry spell, on the 27th: the
      // river water the meadows took from the dry step's offer leaves the rivers in the rainy
      // step, at its concentration.
      {.name = "irrigation_from_rivers_first_rain",
       .variant = "front-range-irrigation.ctl",
       .window = {{1, 7}, {27, 7}},
       .acts = "irr_sw.stat"},
      // 40 mm a day for three days, far more than the rivers carry: they owe it, their offers
      // to the next days are lowered by their debts, and they pay them back; the halves split
      // after the first day, where they owe.
      {.name = "irrigation_beyond_the_rivers",
       .variant = "front-range-irrigation.ctl",
       .edits = {{"12 meadow 3 2 1 0.33", "12 meadow 1 2 1 0.33 3\n7 25 40\n7 26 40\n7 27 40"}},
       .window = {{23, 7}, {28, 7}},
       .acts = "irr_sw.stat",
       .warm = true},
      // The aquifer feeds the lake through the soil below its cells.
      {.name = "routing_lake_with_groundwater",
       .variant = "front-range-groundwater.ctl",
       .edits = Joined({RoutingLake("[standard_grids]\n21\n", 21),
                        {{"0          # no ponding water on the start heads", "1 # ponding"}}}),
       .window = {{1, 7}, {6, 7}},
       .acts = "pond.stat",
       .tracer_stores = kAquifer},
      // Sealing runoff in front of the soil zone carries the surface water's concentration.
      {.name = "silting_up_with_the_soil_zone",
       .edits = kSiltingUp,
       .window = {{3, 6}, {6, 6}},
       .acts = "qdsu.stat",
       .stores = kTabledStores},

      // The pumped water leaves the aquifer's layer 1 with the solute the cells receive.
      {.name = "irrigation_from_the_aquifer",
       .variant = "front-range-groundwater.ctl",
       .edits = Irrigation("[standard_grids]\n21\n", 21, 1),
       .window = {{20, 7}, {29, 7}},
       .acts = "irr_gw.stat",
       .tracer_stores = kAquifer},
  };
  return rows;
}

// ---- Preparing and running a combination ------------------------------------------------------

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << "the control file holds no \"" << from << "\"";
  text.replace(at, from.size(), to);
}

// The two lines after the line holding `key` (the day and the month of a date) become `day`.
void SetDate(std::string& text, const std::string& key, Day day) {
  const std::size_t first = text.find('\n', text.find(key)) + 1;
  const std::size_t after = text.find('\n', text.find('\n', first) + 1) + 1;
  text.replace(first, after - first,
               std::to_string(day.day) + "\n" + std::to_string(day.month) + "\n");
}

// The write code on the line after each state grid or stack becomes 3 (written at the end).
void WriteStateAtEnd(std::string& text) {
  for (const char* name : {"theta.stk",       "hh.stk",
                           "hgeo.stk",        "qunten.stk",
                           "gwstand.dbl",     "gwtheta.dbl",
                           "gwlevel.dbl",     "deltagw.dbl",
                           "snowsolid.dbl",   "snowliquid.dbl",
                           "snowstorage.dbl", "snowdays.dbl",
                           "snowage.dbl",     "interception_storage.dbl",
                           "temper.stk",      "se.stk",
                           "pond.dbl",        "gwhead1.dbl",
                           "gwhead2.dbl",     "snowtemp.asc",
                           "surftemp.asc",    "swes.stk",
                           "swel.stk",        "tsnow.stk",
                           "thsnow.stk",      "hhsnow.stk",
                           "hgsnow.stk",      "qusnow.stk",
                           "thick.stk",       "dens.stk",
                           "upper.asc",       "firn.stk",
                           "gmb.asc",         "gmbold.asc",
                           "og1.asc",         "og2.asc",
                           "og3.asc"}) {
    const std::size_t at = text.find(std::string("\n") + name);
    if (at == std::string::npos) continue;
    const std::size_t code = text.find('\n', at + 1) + 1;
    if (text.compare(code, 2, "0\n") == 0) text[code] = '3';
  }
}

// The example's daily station tables rewritten with a record per step of `minutes`: the amounts
// of a day (precipitation in mm, global radiation in Wh/m2) shared out equally over its steps,
// the other variables (means and shares) held through the day.
void WriteStepStations(const fs::path& dir, int minutes) {
  const int steps = 1440 / minutes;
  for (const auto& entry : fs::directory_iterator(dir / "stations")) {
    const std::string name = entry.path().filename().string();
    const bool amount = name == "precipitation.txt" || name == "global_radiation.txt";
    const std::vector<std::string> lines = SplitLines(ReadFile(entry.path().string()));
    std::ostringstream out;
    out.precision(17);
    for (std::size_t n = 0; n < lines.size(); ++n) {
      if (n < 5) {
        out << lines[n] << "\n";
        continue;
      }
      std::istringstream fields(lines[n]);
      std::string year, month, day, hour;
      fields >> year >> month >> day >> hour;
      std::vector<double> values;
      for (double value = 0; fields >> value;) values.push_back(value);
      for (int k = 0; k < steps; ++k) {
        out << year << ' ' << month << ' ' << day << ' ' << k * minutes / 60;
        for (const double value : values) out << ' ' << (amount ? value / steps : value);
        out << '\n';
      }
    }
    WriteFile(entry.path().string(), out.str());
  }
}

// The days of a window, the first and the last included.
int Days(const Window& window) {
  return (window.last.month == window.first.month ? 0 : 31) + window.last.day - window.first.day +
         1;
}

enum class Part { kWhole, kFirstHalf, kSecondHalf };

// The copy of the example for `row` in `dir`, its window cut to `part`, its state written as
// doubles at the end when the row is warm-started, read at the start for the second half.
std::string Prepare(const Combination& row, const fs::path& dir, Part part) {
  const std::string control = CopyExample(dir);
  WriteFile((dir / "MpiSpeedFactor.dat").string(), "1.0\n");
  for (const char* file : {"gw_boundary_fix_h_1.asc", "river_width.asc", "river_depth.asc",
                           "lake_codes.asc", "lake_ponding_max.asc", "lake_levels.txt",
                           "snow_survey.asc", "snow_survey_list.txt", "irrigation.asc"})
    fs::copy_file(ExampleDir() / file, dir / file, fs::copy_options::overwrite_existing);
  {
    WriteGlacierGrids(dir);
    // The static glaciers' ice (1) and firn (2) where the dynamic rows have glacier shares, and
    // a thaw depth of permafrost of 0 m in every basin cell.
    const std::string codes = ReadFile((dir / "glacier_fraction.asc").string());
    std::istringstream in(codes);
    std::ostringstream out, thaw;
    std::string line;
    for (int n = 0; std::getline(in, line); ++n) {
      if (n < 6) {
        out << line << "\n";
        thaw << line << "\n";
        continue;
      }
      const double g = std::stod(line);
      out << (g < -9998 ? -9999 : g >= 1 ? 1 : g > 0 ? 2 : 0) << "\n";
      thaw << (g < -9998 ? -9999 : 0) << "\n";
    }
    WriteFile((dir / "ice_firn.asc").string(), out.str());
    WriteFile((dir / "permafrost_thaw.asc").string(), thaw.str());
  }
  WriteSlideFractions(dir);
  if (row.step < 1440) WriteStepStations(dir, row.step);
  std::string text =
      ReadFile((row.variant[0] == '\0' ? fs::path(control) : ExampleDir() / row.variant).string());
  if (row.tracers) {
    const auto [tracers, declared] = AddRainTracers(text);
    Replace(text, tracers, declared);
  }
  // The runoff storages pass their water on within the step: what leaves a subbasin is its
  // runoff times the runoff's concentration.
  if (row.soil) {
    Replace(text, "12 12      # kelsqd", "0.0001 0.0001 # kelsqd");
    Replace(text, "48 48      # kelsqi", "0.0001 0.0001 # kelsqi");
  }
  Edits edits = row.edits;
  if (row.step != 1440) {
    const Edits steps = Steps(row.step);
    edits.insert(edits.end(), steps.begin(), steps.end());
  }
  for (const auto& [from, to] : edits) {
    Replace(text, from, to);
    // A model step applies to every model.
    for (std::size_t at = text.find(from); from.starts_with("1440 ") && at != std::string::npos;
         at = text.find(from))
      text.replace(at, from.size(), to);
  }
  // The water on the surface written at the end: its tracers' grids hold its concentrations.
  const std::size_t surface = text.find("\nsurface_storage.dbl SurfStorSiltingUp");
  if (surface != std::string::npos) {
    const std::size_t code = text.find('\n', surface + 1) + 1;
    if (text.compare(code, 2, "0 ") == 0) text[code] = '3';
  }
  // The halves split the window after its middle day.
  const int days = Days(row.window) - 1;
  Day middle = {row.window.first.day + days / 2, row.window.first.month};
  if (middle.day > 31) middle = {middle.day - 31, middle.month + 1};
  Day after = {middle.day + 1, middle.month};
  SetDate(text, "# start:", part == Part::kSecondHalf ? after : row.window.first);
  SetDate(text, "# end:", part == Part::kFirstHalf ? middle : row.window.last);
  if (row.warm) {
    // A warm start continues exactly from state written as binary doubles, as the example
    // writes its grids.
    EXPECT_NE(text.find("WriteAsciiGrids = 0\nWriteDoubleGrids = 1"), std::string::npos)
        << "the example's control file writes its grids in another form than binary doubles";
    WriteStateAtEnd(text);
    if (part == Part::kSecondHalf) {
      for (const std::string& cold :
           {kSnowColdStart, kInterceptionColdStart,
            std::string("0          # cold start (1: read the stacks and grids named above)"),
            std::string("0          # start heads at the surface"),
            std::string("0          # created with 0 in the basin cells, not read"),
            std::string("0          # storage grids not read")}) {
        const std::size_t at = text.find(cold);
        if (at != std::string::npos) text[at] = '1';
      }
      // Dynamic glaciers read their firn, mass balances and storages on the glacier, and their
      // shares and codes as a yearly evaluation in the first half left them.
      const std::size_t glaciers = text.find(kGlacierColdStart);
      if (glaciers != std::string::npos) text[glaciers + kGlacierColdStart.size() - 2] = '1';
      for (const std::string name : {"glacier_fraction", "glacier_codes", "permafrost_thaw"}) {
        const std::size_t at = text.find("\n" + name + ".asc ");
        if (at != std::string::npos) text.insert(at + 1 + name.size(), "_end");
      }
    }
  }
  WriteFile(control, text);
  return control;
}

// ---- Reading the outputs ---------------------------------------------------------------------

// The basin's value of row `name` of a booking file written at the end (0 without the file).
double Booked(const std::string& path, const std::string& name) {
  if (!fs::exists(path)) return 0.0;
  for (const std::string& line : SplitLines(ReadFile(path)))
    if (line.starts_with(name + "\t")) return std::stod(line.substr(line.rfind('\t') + 1));
  return 0.0;
}

// The last row of a balance file of a reservoir or lake (its values from the date on).
std::vector<double> LastBalanceRow(const std::string& path) {
  std::vector<double> last;
  for (const std::string& line : SplitLines(ReadFile(path)))
    if (std::isdigit(static_cast<unsigned char>(line[0])) != 0) {
      std::istringstream fields(line);
      last.assign(std::istream_iterator<double>(fields), std::istream_iterator<double>());
    }
  return last;
}

// The rain's tracer "con" found at the end over what the rain and the bookings brought: `soil`,
// the soil zone's account (its stores and what left them as runoff; a share near 1 when it
// closes); `handed`, across the border of the rivers and reservoirs, what they gave up for
// irrigation less what the cells received and what is still on its way, over the input (near
// 0); `path`, along the whole path the water takes (the stores, the channels, the reservoirs
// and lakes, what left the basin and what the rivers gave irrigation beyond what the cells
// received) over the rain's and the assimilation's solute (near 1). Every term is a booking the
// run writes or a table or grid of the stores.
struct TracerShares {
  double soil = 0, handed = 0, path = 0;
};

// "con" beyond the cells' stores at the end, mm x concentration over the basin: on the surface,
// in the channels, in every reservoir and lake not `counted` already (value 6 x value 34 of its
// balance file's last row) and what left the basin; without routing, the soil zone's `runoff`.
double WholePathBeyondTheStores(const std::string& out, const std::map<long, bool>& counted,
                                double cells, double cell_area, double runoff) {
  if (!fs::exists(out + "routing_solute.txt")) return runoff;
  double beyond = 0;
  if (fs::exists(out + "conSurfa.asc")) {
    const std::vector<double> water = GridCells(out + "surface_storage.dbl");
    const std::vector<double> concentration = GridCells(out + "conSurfa.asc");
    for (std::size_t i = 0; i < water.size(); ++i)
      if (water[i] > -9999) beyond += water[i] * concentration.at(i) / cells;
  }
  const auto channels = ZoneTableRows(out + "conchann.sta");
  for (std::size_t s = 0; s < 5 && channels.size() > 1; ++s)
    beyond += channels[0][s] * channels.back()[s];
  for (const auto& entry : fs::directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    const bool lake = name.starts_with("lake") && name.ends_with(".txt") &&
                      counted.contains(std::atol(name.c_str() + 4));
    if (lake || !ReadFile(entry.path().string()).starts_with("YY\tMM\tDD\tHH\tW[m]")) continue;
    const std::vector<double> last = LastBalanceRow(entry.path().string());
    if (last.size() > 34) beyond += last[6] * last[34] * 1000.0 / cell_area / cells;
  }
  return beyond + Booked(out + "routing_solute.txt", "con_outlet") +
         Booked(out + "routing_solute.txt", "con_abstracted");
}

TracerShares ConservativeShares(const Combination& row, const std::string& out) {
  const auto zones = GridCells(out + "../zones.asc");
  const double cells = static_cast<double>(
      std::count_if(zones.begin(), zones.end(), [](double z) { return z > -9999; }));
  // The shares at the end (written as doubles when the row is warm-started).
  std::vector<double> glacier;
  if (row.glaciers)
    glacier =
        GridCells(out + (fs::exists(out + "glacier_fraction_end.asc") ? "glacier_fraction_end.asc"
                                                                      : "../glacier_fraction.asc"));
  // Each store's sum over the cells, weighed by the cell's glacier-free part (1 - g) or its
  // glacier part (g).
  const auto weighed = [&](const std::string& name, bool glacier_part) {
    if (!fs::exists(out + name)) return 0.0;
    std::size_t levels = 0;
    const std::vector<double> values = GridValues(out + name, levels);
    double sum = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double g = glacier.empty() ? 0.0 : std::clamp(glacier[i / levels], 0.0, 1.0);
      sum += values[i] * (glacier_part ? g : 1.0 - g);
    }
    return sum / cells;
  };
  const GridFile grid = ReadGridFile(out + "../zones.asc");
  const double cell_area = grid.geometry.cellsize * grid.geometry.cellsize;  // m²
  double found = 0;
  for (const char* store : {"consnow_.asc", "coninter.asc", "conunsat.asc"})
    found += weighed(store, false);
  // A lake of the routing (the ponding of its cells) by its balance file "lake<id>.txt": the
  // soil writes its grids before the routing's last lake step. Its last volume (value 6 of a
  // row) times its concentration of "con" (value 34), over the cells, instead of the surface
  // level of its cells; only where the soil zone runs its lakes (response units switch them off,
  // and the lake's storage is then a reservoir's whose cells are soil columns like any other).
  std::map<long, bool> counted;
  if (fs::exists(out + "../lake_codes.asc") && fs::exists(out + "lake_exchange_solute.txt")) {
    const auto lakes = GridCells(out + "../lake_codes.asc");
    std::size_t levels = 0;
    const std::vector<double> soil = GridValues(out + "conunsat.asc", levels);
    for (std::size_t i = 0; i < lakes.size(); ++i) {
      const long id = std::lround(lakes[i]);
      const std::string balance = out + "lake" + std::to_string(id) + ".txt";
      if (!(lakes[i] > 0) || !fs::exists(balance)) continue;
      found -= soil.at(i * levels) / cells;
      if (counted[id]) continue;
      counted[id] = true;
      const std::vector<double> last = LastBalanceRow(balance);
      if (last.size() > 34) found += last[6] * last[34] * 1000.0 / cell_area / cells;
    }
  }
  if (row.glaciers)
    for (const char* store : {"consnowg.asc", "confirn_.asc", "conice__.asc"})
      found += weighed(store, true);
  for (const std::string& store : row.tracer_stores) found += weighed(store, false);
  // The glacier storages' solute (their table per subbasin), what a yearly evaluation moved
  // out of the soil and the leaves under grown glacier parts and what the copies of response
  // units gave their members (their bookings, per basin).
  double evaluated = 0;
  if (row.glaciers) {
    const auto held = ZoneTableRows(out + "conglsto.sta");
    for (std::size_t s = 0; s < 5 && held.size() > 1; ++s) found += held[0][s] * held.back()[s];
  }
  for (const char* booking : {"glacier_evaluation_solute.txt", "response_unit_solute.txt"})
    evaluated += Booked(out + booking, "con");
  double runoff_solute = 0;
  const auto runoff = ZoneTableRows(out + "qg.stat");
  const auto concentration = ZoneTableRows(out + "conunsat.sta");
  EXPECT_EQ(runoff.size(), concentration.size()) << "a concentration per runoff row";
  for (std::size_t d = 1; d < runoff.size() && d < concentration.size(); ++d)
    for (std::size_t s = 0; s < 5; ++s)
      runoff_solute += runoff[0][s] * runoff[d][s] * concentration[d][s];
  // The precipitation holds the irrigation water; the surface water brings its own solute, what
  // the lakes and data assimilation moved is booked.
  const std::string irrigation = out + "irrigation_solute.txt";
  const double rain = ReadAccount(ReadFile(out + "water_balance.txt")).back().precipitation -
                      Booked(irrigation, "groundwater") - Booked(irrigation, "surface_water");
  const double assimilated = Booked(out + "assimilation_solute.txt", "con");
  const double brought =
      Booked(irrigation, "con") + Booked(out + "lake_exchange_solute.txt", "con") + assimilated;
  TracerShares shares;
  shares.soil = (found + runoff_solute - evaluated) / (10 * rain + brought);
  shares.path =
      (found - evaluated + WholePathBeyondTheStores(out, counted, cells, cell_area, runoff_solute) +
       Booked(irrigation, "con_pending")) /
      (10 * rain + assimilated);
  shares.handed = (Booked(out + "routing_solute.txt", "con_irrigation") -
                   Booked(irrigation, "con") - Booked(irrigation, "con_pending")) /
                  (10 * rain + brought);
  return shares;
}

// The outside account from the tables alone, per subbasin column: precipitation - real
// evapotranspiration - runoff over the reports after the first, less the change of the stores
// from the first report to the last (the tables hold the stores at the end of each report).
std::vector<double> OutsideResiduals(const std::string& out,
                                     const std::vector<std::string>& stores) {
  const auto precipitation = ZoneTableRows(out + "precipitation.stat");
  const auto evaporation = ZoneTableRows(out + "etr.stat");
  const auto runoff = ZoneTableRows(out + "qg.stat");
  std::vector<double> residuals(5, 0.0);
  for (std::size_t d = 2; d < precipitation.size(); ++d)
    for (std::size_t s = 0; s < 5; ++s)
      residuals[s] += precipitation[d][s] - evaporation.at(d)[s] - runoff.at(d)[s];
  for (const std::string& store : stores) {
    const auto content = ZoneTableRows(out + store);
    for (std::size_t s = 0; s < 5; ++s) residuals[s] -= content.back()[s] - content.at(1)[s];
  }
  return residuals;
}

// The outputs that must agree between runs: every file but the decomposition's own, the soil
// zone's per-process state files and the channel tables, which follow from the routing
// descriptions alone.
std::map<std::string, std::string> Outputs(const fs::path& dir) {
  auto files = OutputFiles(dir / "output");
  std::erase_if(files, [](const auto& file) {
    return file.first.starts_with("soilstorage_") || file.first.starts_with("wq_table.");
  });
  return files;
}

// ---- The test --------------------------------------------------------------------------------

class OptionMatrix : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OptionMatrix, ClosesItsAccountsOnAnyProcessCount) {
  const Combination& row = Matrix()[GetParam()];
  if (row.pending != nullptr && std::getenv("VELORN_MATRIX_PENDING") == nullptr)
    GTEST_SKIP() << row.pending;
  // Under the sanitizers on 3 processes only: the normal build compares the process counts, this
  // one looks for memory faults in each combination.
  std::vector<TempDir> dirs(VELORN_SANITIZED_BUILD ? 1 : 3);
  for (int processes = VELORN_SANITIZED_BUILD ? 3 : 1; processes <= 3; ++processes) {
    const fs::path& dir =
        dirs[VELORN_SANITIZED_BUILD ? 0 : static_cast<std::size_t>(processes - 1)].path();
    Prepare(row, dir, Part::kWhole);
    const RunResult result =
        RunExampleControl(dir.string(), processes, processes == 1 ? 1 : row.threads);
    ASSERT_EQ(result.exit_status, 0) << processes << " processes\n" << result.Describe();
    EXPECT_EQ(result.Describe().find("differs from the step of the meteorological data"),
              std::string::npos)
        << result.Describe();
  }
  const auto outputs = Outputs(dirs[0].path());
  for (std::size_t other = 1; other < dirs.size(); ++other) {
    const auto files = Outputs(dirs[other].path());
    for (const auto& [name, text] : outputs) {
      ASSERT_TRUE(files.contains(name)) << name << " missing on " << other + 1 << " processes";
      EXPECT_TRUE(files.at(name) == text) << name << " differs on " << other + 1 << " processes";
    }
  }

  const std::string out = (dirs[0].path() / "output/").string();
  if (row.acts != nullptr) {
    double largest = 0;
    const auto table = ZoneTableRows(out + row.acts);
    for (std::size_t d = 1; d < table.size(); ++d)  // row 0: the area shares
      for (const double value : table[d]) largest = std::max(largest, std::abs(value));
    EXPECT_GT(largest, 0.0) << row.acts << ": the options do not act in the window";
  }
  if (row.step < 1440) {
    EXPECT_EQ(ZoneTableRows(out + "qg.stat").size(), 1 + Days(row.window) * 1440 / row.step)
        << "a row per step";
  }
  if (!row.soil) return;
  const std::string account = ReadFile(out + "water_balance.txt");
  const std::vector<AccountRow> rows = ReadAccount(account);
  ASSERT_FALSE(rows.empty()) << account;
  for (const AccountRow& entry : rows) {
    SCOPED_TRACE(entry.period + " " + entry.subbasin);
    EXPECT_LE(std::abs(entry.residual), 1e-6);
    EXPECT_LE(std::abs(entry.alignment), 1e-6) << "snow_alignment";
  }
  // The groundwater solution's imbalance is a source of the books only: it stays within what the
  // solver's tolerance (1e-5 m of head on a storage coefficient) leaves, far below 1e-3 mm.
  for (const std::string& line : SplitLines(account))
    if (line.starts_with("period")) {
      std::istringstream names(line);
      std::vector<std::string> columns;
      for (std::string name; names >> name;) columns.push_back(name);
      const auto at = std::find(columns.begin(), columns.end(), "groundwater_iteration");
      for (const std::string& data : SplitLines(account)) {
        std::istringstream fields(data);
        std::vector<std::string> values;
        for (std::string v; fields >> v;) values.push_back(v);
        if (at == columns.end() || values.size() != columns.size() || data == line) continue;
        EXPECT_LE(std::abs(std::stod(values[at - columns.begin()])), 1e-3) << data;
      }
    }

  // The tables round to 3 to 6 digits: a thousandth of a mm for the stores, 1e-5 mm a day for
  // the fluxes.
  if (!row.stores.empty()) {
    const std::vector<double> outside = OutsideResiduals(out, row.stores);
    const double days = static_cast<double>(ZoneTableRows(out + "qg.stat").size());
    for (std::size_t s = 0; s < outside.size(); ++s)
      EXPECT_NEAR(outside[s], 0.0, 2e-3 + 3e-5 * days) << "outside account of subbasin " << s + 1;
  }
  if (row.mass) {
    const TracerShares shares = ConservativeShares(row, out);
    EXPECT_NEAR(shares.soil, 1.0, 1e-6) << "the rain's tracer in the soil zone";
    EXPECT_NEAR(shares.handed, 0.0, 1e-6) << "the rain's tracer the rivers gave irrigation";
    EXPECT_NEAR(shares.path, 1.0, 1e-6) << "the rain's tracer along the whole path";
  }
  for (const auto& [name, text] : outputs) {
    const bool con = name.starts_with("con"), eva = name.starts_with("eva");
    // What left the aquifer through its fixed heads is an amount, negative where they fed it;
    // "evap.stat" and "evar.stat" are the model's evaporation tables, not the tracer's.
    if ((!con && !eva) || name.find("outgrou") != std::string::npos || name.ends_with(".stat"))
      continue;
    std::size_t levels = 0;
    const bool table = name.ends_with(".sta");
    std::vector<double> values;
    if (table) {
      for (const auto& r : ZoneTableRows(out + name))
        values.insert(values.end(), r.begin(), r.end());
    } else {
      values = GridValues(out + name, levels);
    }
    if (values.empty()) continue;
    // Round-off of a store emptied to nothing aside; the snow pack gives exactly what it holds.
    EXPECT_GE(*std::min_element(values.begin(), values.end()),
              name.starts_with("consnow_") ? 0.0 : -1e-12)
        << name;
    // The channels' tables hold amounts.
    if (eva && name.find("chann") == std::string::npos) {
      EXPECT_LE(*std::max_element(values.begin(), values.end()), 10.0 + 1e-9) << name;
    }
  }
  // The concentrations of the reservoirs' and lakes' balance files (values 34 and 35 of a row)
  // and of the abstractions' files (values 5 and 6).
  for (const auto& [name, text] : outputs) {
    const std::vector<std::string> lines = SplitLines(text);
    const bool balance = text.starts_with("YY\tMM\tDD\tHH\tW[m]");
    if (!balance && (lines.size() < 2 || !lines[1].starts_with("abstraction_"))) continue;
    for (const std::string& line : lines) {
      if (std::isdigit(static_cast<unsigned char>(line[0])) == 0) continue;
      std::istringstream fields(line);
      const std::vector<double> values(std::istream_iterator<double>(fields),
                                       (std::istream_iterator<double>()));
      const std::size_t at = balance ? 34 : 5;
      if (values.size() < at + 2) continue;
      EXPECT_GE(values[at], -1e-12) << name << ": " << line;
      EXPECT_LE(values[at + 1], 10.0 + 1e-9) << name << ": " << line;
    }
  }

  if (!row.warm) return;
  TempDir first, second;
  Prepare(row, first.path(), Part::kFirstHalf);
  const RunResult first_half = RunExampleControl(first.path().string(), 2);
  ASSERT_EQ(first_half.exit_status, 0) << first_half.Describe();
  Prepare(row, second.path(), Part::kSecondHalf);
  // The second half reads the first half's outputs as its initial state (the run directory).
  for (const auto& entry : fs::directory_iterator(first.path() / "output"))
    if (!fs::exists(second.path() / entry.path().filename()))
      fs::copy_file(entry.path(), second.path() / entry.path().filename());
  const RunResult second_half = RunExampleControl(second.path().string(), 2);
  ASSERT_EQ(second_half.exit_status, 0) << second_half.Describe();
  int states = 0;
  for (const auto& [name, text] : Outputs(second.path())) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(outputs.contains(name));
    const std::string& whole = outputs.at(name);
    if (name.ends_with(".stat") || name.ends_with(".sta")) {
      // The second half's report rows end the straight run's table.
      const std::vector<std::string> lines = SplitLines(text);
      std::size_t header = 0;
      while (header < lines.size() && !std::isdigit(static_cast<unsigned char>(lines[header][0])))
        ++header;
      if (header == lines.size()) continue;
      const std::size_t rows_at = text.find(lines[header]);
      const std::string rows = text.substr(rows_at);
      EXPECT_TRUE(whole.ends_with(rows))
          << rows << "straight run:\n"
          << whole.substr(whole.size() - std::min(whole.size(), rows.size()));
    } else if (!name.ends_with(".txt") && !name.ends_with(".dat")) {
      EXPECT_TRUE(text == whole);
      ++states;
    }
  }
  EXPECT_GE(states, 10);
  if (row.section_of_all == nullptr) return;
  fs::remove(second.path() / "velorn_state.txt");
  std::string state = ReadFile(second / "soilstorage_1");
  ASSERT_NE(state.find(row.section_of_all), std::string::npos);
  state.replace(state.find(row.section_of_all), std::strlen(row.section_of_all), "[of_old]");
  WriteFile(second / "soilstorage_1", state);
  const RunResult lacking = RunExampleControl(second.path().string(), 2);
  EXPECT_EQ(lacking.exit_status, 71) << lacking.Describe();
  EXPECT_NE(lacking.diag.find("soilstorage_1 holds no section " + std::string(row.section_of_all)),
            std::string::npos)
      << lacking.Describe();
}

INSTANTIATE_TEST_SUITE_P(FrontRange, OptionMatrix,
                         ::testing::Range<std::size_t>(0, Matrix().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return std::string(Matrix()[info.param].name);
                         });

}  // namespace
}  // namespace velorn::test

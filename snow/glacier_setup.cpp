// The glacier and permafrost parts of the snow model's construction: the [ice_firn] section
// with its checks, the per-subbasin linear storages, the glacier tables, the subbasin glacier
// shares (computed on process 0 and broadcast, so identical everywhere), the glacier grids with
// the firn stack of the dynamic methods, and the [permafrost] section with its day counts.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/value_ranges.h"
#include "snow/snow_formulas.h"
#include "snow/snow_model.h"
#include "snow/snow_setup_formulas.h"

namespace velorn {
namespace {

constexpr int32_t kGlacierMeltPrecision = 5;
constexpr int32_t kFirnPrecision = 4;
constexpr int32_t kGlacierSnowPrecision = 3;
constexpr int32_t kThawDepthPrecision = 4;
constexpr const char* kFatalHead = "FATAL: \n-----------Fatal Error:----------\n";
constexpr const char* kFatalBlockHead = "FATAL: \n------------- Fatal Error: -------------\n";

bool IsGlacierMethod(int32_t method) {
  return method == 1 || method == 2 || IsDynamicGlacierMethod(method);
}

// Identifiers of the seven on-glacier grids, in the order of their section entries.
constexpr const char* kOnGlacierNames[7] = {
    "SolidSnowStorage_onGlacier", "LiquidSnowStorage_onGlacier", "TotalSnowStorage_onGlacier",
    "SnowMelt_onGlacier",         "surftemp_onGlacier",          "snowtemp_onGlacier",
    "SnowEvaporation_onGlacier"};
constexpr const char* kOnGlacierEntries[7][2] = {
    {"name of the snow storage grid (solid fraction of WE, glacierized fraction of cell) for ",
     "write code for snow storage grid (solid fraction of WE, glacierized fraction of cell) in "},
    {"name of the snow storage grid (liquid fraction of WE, glacierized fraction of cell) for ",
     "write code for snow storage grid (liquid fraction of WE, glacierized fraction of cell) in "},
    {"name of the snow storage grid (total on glacierized fraction of cell) for ",
     "write code for snow storage grid (total on glacierized fraction of cell) in "},
    {"name of the snow snow melt grid (incl. rain, total on glacierized fraction of cell) for ",
     "write code for snow melt grid (incl. rain, total on glacierized fraction of cell) in "},
    {"name of the snow surface temperature grid (incl. rain, total on glacierized fraction of "
     "cell) for ",
     "write code for snow surface temperature  (incl. rain, total on glacierized fraction of "
     "cell) in "},
    {"name of the snow temperature grid (incl. rain, total on glacierized fraction of cell) for ",
     "write code for snow temperature grid (incl. rain, total on glacierized fraction of cell) "
     "in "},
    {"name of the snow evaporation grid (incl. rain, total on glacierized fraction of cell) for ",
     "write code for snow evaporation grid (incl. rain, total on glacierized fraction of cell) "
     "in "}};

}  // namespace

void schneemodellklasse::OpenSection(const std::string& section) {
  if (!control_file->Open(control_file_name, diag)) {
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: cannot open ", control_file_name);
  }
  FindSection(section, 1);
}

// ---- [ice_firn] -------------------------------------------------------------------------------

void schneemodellklasse::SetUpGlacier() {
  OpenSection("[ice_firn]");
  ReadValue(*control_file, glacierMethod, "Glacier-Method for ");
  if (!IsGlacierMethod(glacierMethod)) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalHead,
               "Method for glacier melt must be 1(resp 11 for dynamic model; t-index)\n or 2 "
               "(resp. 12 for dynamic model; t-index with correction by radiation) or 13 "
               "(dynamic glaciers with T-Index for ice and firn and the melt method used for "
               "snow as in the snow model)");
  }
  debris = OptionalGrid("debris_on_glaciers");
  if (!IsDynamicGlacierMethod(glacierMethod)) {
    glacier_cells = RequiredGrid("ice_firn");
  } else {
    wholeGridOnRoot = true;
    if (rank == 0) {
      gridRowFirst = 1;
      gridRowLast = nrows;
    }
    glacier_cells = RequiredGrid("GlacierizedCells");
    glacier_codes = RequiredGrid("GlacierCodes");
    CheckDynamicGlacierGrids();
  }
  ReadGlacierSection();
  if (IsDynamicGlacierMethod(glacierMethod)) ReadDynamicGlacierSection();
  control_file->Close();
  CreateGlacierTables();
  const SeasonalRange ice = SeasonalRangeOf(Aice_min, Aice_max);
  const SeasonalRange snow = SeasonalRangeOf(Asnow_min, Asnow_max);
  Aice_mean = ice.mean;
  Aice_amplitude = ice.amplitude;
  Asnow_mean = snow.mean;
  Asnow_amplitude = snow.amplitude;
  if (glacierMethod == 2 || glacierMethod == 12 || glacierMethod == 13)
    glacier_radiation =
        LinkData(RequireOneOfThreeGrids("global_radiation", "Ieff_max", "!!_no_entry_!!"));
  ComputeGlacierShares();
  if (IsDynamicGlacierMethod(glacierMethod)) {
    glacier_tables_.resize(glacier_tables_.size() + 3);
    Table* added = &glacier_tables_[glacier_tables_.size() - 3];
    const ZoneRecord* zones = soil_zone_table.data();
    MakeTable(added[0], firn_stack_output, kFirnPrecision, "WE_in_firn_[mm_per_subbasin]", zones,
              soil_zone_count);
    MakeTable(added[1], mass_balance_output, kGlacierMeltPrecision,
              "glacier_mass_balance_[mm_per_subbasin]", zones, soil_zone_count);
    MakeTable(added[2], mass_balance_statistics2, kGlacierMeltPrecision,
              "glacier_mass_balance_[mm_GlacierPartOfSubbasin]", zones, soil_zone_count);
  }
}

void schneemodellklasse::ReadGlacierSection() {
  ControlFileReader& f = *control_file;
  const std::pair<double*, const char*> values[] = {
      {&DDFice, "DDFice  for "},      {&DDFfirn, "DDFfirn for "},
      {&DDFsnow, "DDFsnow for "},     {&MF, "MF  for "},
      {&Aice_min, "Aice_min for "},   {&Aice_max, "Aice_max for "},
      {&Asnow_min, "Asnow_min for "}, {&Asnow_max, "Asnow_max for "},
      {&kice_els, "kice_els for "},   {&kfirn_els, "kfirn_els "},
      {&ksnow_els, "ksnow_els for "}};
  for (const auto& [field, description] : values) ReadValue(f, *field, description);
  for (const auto& [field, description] : values) {
    // Melt factors and radiation coefficients of 0 or more; a recession constant of 0 (the
    // storage releases all at once) to a million steps (it keeps e^(-1/k) of its content each
    // step; a negative one would grow it).
    const bool recession = field == &kice_els || field == &kfirn_els || field == &ksnow_els;
    RequireRange(*field, 0, recession ? kLongestGlacierRecession : 100, description);
  }
  const std::size_t subbasins = static_cast<std::size_t>(soil_zone_count) + 1;
  for (std::vector<double>* array :
       {&Qice_els, &Qfirn_els, &Qsnow_els, &ice_melt_input, &firn_melt_input, &snow_melt_input})
    array->assign(subbasins, 0.0);
  double initial[3] = {0, 0, 0};
  ReadValue(f, initial[0], "initial Qice_els for ");
  ReadValue(f, initial[1], "initial Qfirn_els ");
  ReadValue(f, initial[2], "initial Qsnow_els for ");
  RequireRange(initial[0], 0, kLargestSnowWaterEquivalent, "initial Qice_els for ");
  RequireRange(initial[1], 0, kLargestSnowWaterEquivalent, "initial Qfirn_els for ");
  RequireRange(initial[2], 0, kLargestSnowWaterEquivalent, "initial Qsnow_els for ");
  for (std::size_t i = 1; i < subbasins; ++i) {
    Qice_els[i] = initial[0];
    Qfirn_els[i] = initial[1];
    Qsnow_els[i] = initial[2];
  }
  ReadOutput(firn_melt_output, "name of the firn grid for ", "write code for firn grid for ",
             "name of the qfirn-statistic-file for ");
  ReadOutput(ice_melt_output, "name of the ice grid for ", "write code for ice grid for ",
             "name of the qice-statistic-file for ");
  ReadTwoValues(f, total_melt_statistics.statistics_name, total_melt_statistics.statistics_code,
                "name of the qglac-statistic-file for ");
  if (IsDynamicGlacierMethod(glacierMethod)) return;
  // The static methods keep the snow melt on glaciers in a table named after the total's.
  const std::optional<std::string> name = SnowOnIceTableName(total_melt_statistics.statistics_name);
  if (!name) {
    ThrowFatal(Diag(), kSnowOnIceTableNameCode, "FATAL: the name of the qglac-statistic-file ",
               total_melt_statistics.statistics_name,
               " has no extension; the snow melt on glaciers is written to a table named after "
               "it, which needs a name of the form <name>.<extension> (such as qglac.txt)");
  }
  snow_on_ice_statistics.statistics_name = *name;
  snow_on_ice_statistics.statistics_code = total_melt_statistics.statistics_code;
}

void schneemodellklasse::ReadDynamicGlacierSection() {
  ControlFileReader& f = *control_file;
  ReadTwoValues(f, snow_on_ice_statistics.statistics_name, snow_on_ice_statistics.statistics_code,
                "name of the qSnowOnGlac-statistic-file for ");
  ReadValue(f, readGlacierGrids, "read grid parameter for glacier model ");
  if (!(f.Read(firn_levels) && f.Read(firn_base) && f.Read(deltafirnper100m))) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalBlockHead,
               "Could not read the three parameters firn_levels (int),\n",
               "firn_base (double), and deltafirnper100m (double)  \n",
               "for dynamic glacier modelling ");
  }
  f.SkipRestOfLine();
  // The firn stack holds levels 1..firn_levels below its total.
  if (firn_levels < 1) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalBlockHead, "firn_levels must be 1 or more, read ",
               firn_levels);
  }
  RequireRange(firn_base, kLowestElevation, kHighestElevation, "firn_base (m) for ");
  RequireRange(deltafirnper100m, -1000, 1000, "deltafirnper100m (mm/m) for ");
  if (!(f.Read(GMBEvalDay) && f.Read(GMBEvalMonth))) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalBlockHead,
               "Could not read the two parameters GMBEvalDay (int 1...31)\n",
               "and GMBEvalMonth (int 1..12) for dynamic glacier modelling ");
  }
  f.SkipRestOfLine();
  // The yearly evaluation runs on the last step of that day: a date that no year has (month 13,
  // 31 April) would never run it; 29 February runs it in leap years only.
  static constexpr int32_t kEvalMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (GMBEvalMonth < 1 || GMBEvalMonth > 12 || GMBEvalDay < 1 ||
      GMBEvalDay > kEvalMonthDays[GMBEvalMonth - 1]) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalBlockHead, "GMBEvalDay ", GMBEvalDay,
               " and GMBEvalMonth ", GMBEvalMonth,
               " name no date of any year (month 1..12, day 1 to the month's last, 29 in "
               "February): the yearly glacier evaluation would not run");
  }
  if (GMBEvalMonth == 2 && GMBEvalDay == 29)
    Diag() << "WARNING: GMBEvalDay 29 and GMBEvalMonth 2 name 29 February: the yearly glacier "
              "evaluation runs in leap years only[end-entry]";
  if (!(f.Read(VAscaling) && f.Read(VAexponent) && f.Read(numElevBands) &&
        f.Read(extraWeightFactorBand0))) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalBlockHead,
               "Could not read the four parameters VAscaling, VAexponent, numElevBands and "
               "extraWeightFactorBand0\n",
               "for Volume-Area-Relation in dynamic glacier modelling ");
  }
  f.SkipRestOfLine();
  // The area follows from the volume as (volume / VAscaling)^(1 / VAexponent), and the bands
  // divide the glacier's elevation range: none of them may be 0.
  RequireRange(VAscaling, 1e-6, 1e6, "VAscaling for ");
  RequireRange(VAexponent, 0.1, 10, "VAexponent for ");
  RequireRange(numElevBands, 1, 10000, "numElevBands for ");
  RequireRange(extraWeightFactorBand0, 0, 10000, "extraWeightFactorBand0 for ");
  ReadOutput(firn_stack_output, "name of the firn stack for ", "write code for the firn stack in ",
             "name of the firn-statistic-file for ");
  ReadValue(f, mass_balance_output.grid_name, "name of the glacier mass balance grid for ");
  ReadValue(f, mass_balance_output.write_code, "write code for glacier mass balance grid in ");
  ReadValue(f, old_mass_balance_output.grid_name,
            "name of the glacier mass balance grid (old reference) for ");
  ReadValue(f, old_mass_balance_output.write_code,
            "write code for glacier mass balance grid (old reference) in ");
  ReadTwoValues(f, mass_balance_output.statistics_name, mass_balance_output.statistics_code,
                "name of the glacier mass balance statistics file (1) for ");
  ReadTwoValues(f, mass_balance_statistics2.statistics_name,
                mass_balance_statistics2.statistics_code,
                "name of the glacier mass balance statistics file (2) for ");
  ReadValue(f, debrisScaling,
            "global debris scaling factor (requirede when using a debris_on_glaciers grid) ");
  RequireRange(debrisScaling, 0, 100, "global debris scaling factor for ");
  ReadTwoValues(f, glacier_snow_statistics.statistics_name, glacier_snow_statistics.statistics_code,
                "name of the snow statistics for snow on glacier for ");
  for (int g = 0; g < 7; ++g) {
    ReadValue(f, on_glacier_outputs[g].grid_name, kOnGlacierEntries[g][0]);
    ReadValue(f, on_glacier_outputs[g].write_code, kOnGlacierEntries[g][1]);
  }
  double pack = 0, share = 0;
  if (f.Read(pack) && f.Read(share)) {
    maxSnowPackToCreateGlacier = pack;
    relSizeNewGlacier = share;
  } else {
    Diag() << "WARNING: \n------------- warning: -------------\n"
           << "Could not read the two optional parameters maxSnowPackToCreateGlacier (double),\n"
           << "and relSizeNewGlacier (double) for dynamic glacier modelling that will be used for "
              "creating new glaciers\n"
           << "Setting default values of 1000 and 0.25, i.e. 1000 mm SWE will rmain on a cell "
              "that is partly glacierized already, the rest is put into the glacier.\n"
           << "For cells with no existing glacier, the amount > 1000 will be used to create a "
              "glacier that encompasses 25% of the cell"
           << "[end-entry]";
  }
  f.SkipRestOfLine();
  // The annual update divides the excess snow by this share of a new glacier cell.
  if (!(relSizeNewGlacier > 0 && relSizeNewGlacier <= 1)) {
    ThrowFatal(Diag(), kGlacierSetupCode, kFatalBlockHead,
               "relSizeNewGlacier (share of a cell covered by a new glacier) must lie in (0, 1], "
               "read ",
               relSizeNewGlacier);
  }
}

// Process 0: every glacierized cell carries a glacier code, and there is glacier to model.
void schneemodellklasse::CheckDynamicGlacierGrids() {
  OnRootForAll([&] {
    for (const char* name : {"GlacierizedCells", "GlacierCodes", "zonegrid_soilmodel"})
      RequireWholeOnRoot(FindGrid(name, 0), "the check of the dynamic glaciers");
    bool glacierized = false;
    bool coded = false;
    for (int32_t r = gridRowFirst; r <= gridRowLast; ++r) {
      for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        if (glacier_cells[r][c] > 0) {
          glacierized = true;
          if (IsNodata(glacier_codes[r][c], nodata)) {
            ThrowFatal(Diag(), kGlacierSetupCode, kFatalHead,
                       "There is a cell in the GlacierizedCells-grid having no valid value in \n",
                       "GlacierCodes", " (must be an integer ID for each separate glacier) at row ",
                       r, " and col ", c);
          }
        }
        if (IsNodata(soil_zone_grid[r][c], nodata)) continue;
        // Codes become integers (the glacier list, the areas): a value no integer can hold
        // would turn into another glacier's code.
        if (!IsNodata(glacier_codes[r][c], nodata) && !FitsInteger<int32_t>(glacier_codes[r][c])) {
          ThrowFatal(Diag(), kGlacierSetupCode, kFatalHead,
                     "GlacierCodes holds no integer glacier code at row ", r, " and col ", c, ": ",
                     glacier_codes[r][c]);
        }
        if (glacier_codes[r][c] > 0) coded = true;
      }
    }
    if (!glacierized) {
      ThrowFatal(Diag(), kGlacierSetupCode, kFatalHead,
                 "There are no glacierized cells in GlacierizedCells-grid (all nodata or equal to "
                 "0)!");
    }
    if (!coded) {
      const GridEntry& codes = (*registry)[FindGrid("GlacierCodes", 0)];
      ThrowFatal(Diag(), kGlacierSetupCode, "FATAL: \n----------- Fatal Error: ----------\nThe ",
                 "GlacierCodes", " grid (", codes.file_name.value_or(""),
                 ")contains nodata values only. \n",
                 "Dynamic glacier modelling will not be possible without \n",
                 "distinct glacier codes for each glacier");
    }
  });
}

void schneemodellklasse::CreateGlacierTables() {
  const ZoneRecord* soil = soil_zone_table.data();
  glacier_tables_.resize(5);
  MakeTable(glacier_tables_[0], firn_melt_output, kGlacierMeltPrecision,
            "glacier_melt_from_firn_areas__", soil, soil_zone_count);
  MakeTable(glacier_tables_[1], ice_melt_output, kGlacierMeltPrecision,
            "glacier_melt_from_ice_areas__", soil, soil_zone_count);
  MakeTable(glacier_tables_[2], snow_on_ice_statistics, kGlacierMeltPrecision,
            "snow_melt_from_ice_areas__", soil, soil_zone_count);
  MakeTable(glacier_tables_[3], total_melt_statistics, kGlacierMeltPrecision,
            "glacier_melt_total(firn+ice)__", soil, soil_zone_count);
  MakeTable(glacier_tables_[4], glacier_snow_statistics, kGlacierSnowPrecision,
            "snow_storage_in_mm_WITHOUT_GLACIERS_", zone_table, zone_count);
  OutputSetting storages = total_melt_statistics;
  storages.statistics_name = GlacierStorageTableName(total_melt_statistics.statistics_name);
  MakeTable(glacier_storage_water_table_, storages, kGlacierMeltPrecision,
            "water_in_the_glacier_storages_[mm_per_subbasin]", soil, soil_zone_count);
}

// Process 0 sums the shares over the whole grid in row order, then broadcasts them, so every
// process holds the same records whatever the number of processes.
void schneemodellklasse::ComputeGlacierShares() {
  glacier_shares.assign(static_cast<std::size_t>(soil_zone_count) + 1, GlacierShareRecord{});
  OnRootForAll([&] {
    RequireWholeOnRoot(FindGrid("zonegrid_soilmodel", 0), "the glacier share of the subbasins");
    RequireWholeOnRoot(
        FindGrid(IsDynamicGlacierMethod(glacierMethod) ? "GlacierizedCells" : "ice_firn", 0),
        "the glacier share of the subbasins");
    for (int32_t r = 1; r <= nrows; ++r) {
      for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
        const double zone = soil_zone_grid[r][c];
        if (!IsAboveNodata(zone, nodata)) continue;
        const long code = static_cast<long>(std::floor(zone + 0.5));
        if (code < 0 || code > soil_zone_highest) continue;
        const int32_t subbasin = soil_zone_index[static_cast<std::size_t>(code)];
        const CellGlacierShare share = GlacierShareOfCell(glacier_cells[r][c]);
        GlacierShareRecord& record = glacier_shares[static_cast<std::size_t>(subbasin)];
        record.glacierized += share.glacierized;
        record.nonGlacierized += share.non_glacierized;
        record.hasGlacier = record.hasGlacier || share.has_glacier;
      }
    }
  });
  static_assert(offsetof(GlacierShareRecord, hasGlacier) == 0 &&
                    offsetof(GlacierShareRecord, glacierized) == 8 &&
                    offsetof(GlacierShareRecord, nonGlacierized) == 16 &&
                    sizeof(GlacierShareRecord) == 24,
                "GlacierShareRecord must match FlagAndTwoDoublesType");
  BroadcastFlagAndTwoDoubles(glacier_shares.data(), static_cast<int>(glacier_shares.size()));
}

void schneemodellklasse::RecountGlacierShares() {
  // The flags are the same on every process, so the kept ones need no broadcast of their own.
  const std::vector<GlacierShareRecord> previous = glacier_shares;
  ComputeGlacierShares();
  for (std::size_t i = 0; i < previous.size() && i < glacier_shares.size(); ++i) {
    glacier_shares[i].hasGlacier = glacier_shares[i].hasGlacier || previous[i].hasGlacier;
  }
}

// ---- Glacier grids ----------------------------------------------------------------------------

void schneemodellklasse::CreateGlacierGrids() {
  for (const auto& [identifier, output] :
       {std::pair<const char*, const OutputSetting*>{"melt_from_firn", &firn_melt_output},
        {"melt_from_ice", &ice_melt_output}}) {
    GridPlan plan{identifier, output};
    plan.rows = Rows::kOwn;
    plan.start = Start::kZeroInSoilZones;
    MakeGrid(plan);
  }
  if (!IsDynamicGlacierMethod(glacierMethod)) return;
  const bool read = readGlacierGrids == 1;
  CreateFirnStack();
  GridPlan balance{"GlacierMassBalance", &mass_balance_output};
  balance.start = Start::kZeroInSoilZones;
  balance.read = read;
  double** current = MakeGrid(balance);
  balance.identifier = "OldGlacierMassBalance";
  balance.output = &old_mass_balance_output;
  double** old = MakeGrid(balance);
  if (read) {
    // Each grid takes the other's value where a file leaves it empty.
    for (int32_t r = gridRowFirst; r <= gridRowLast; ++r) {
      for (int32_t c = 1; c <= ncols; ++c) {
        if (IsNodata(current[r][c], nodata) && IsNotNodata(old[r][c], nodata))
          current[r][c] = old[r][c];
        if (IsNodata(old[r][c], nodata) && IsNotNodata(current[r][c], nodata))
          old[r][c] = current[r][c];
      }
    }
  }
  const bool energy = IsEnergyBalanceSnowMethod(method);
  for (int g : {0, 1, 2, 4, 5}) {
    const bool temperature = g == 4 || g == 5;
    if (temperature && !energy) continue;
    GridPlan plan{kOnGlacierNames[g], &on_glacier_outputs[g]};
    plan.start = Start::kZeroInSoilZones;
    plan.read = read;
    plan.read_local_rows = temperature;
    if (temperature)
      SetSnowTemperatureRange(plan);
    else
      SetSnowPackRange(plan);
    // The temperatures start at 0, which the pack's energy balance takes as "none yet", as it
    // takes nodata; they stay so where the glacier part's pack never formed (and always under
    // methods 11 and 12, which keep no on-glacier energy balance). A state keeps both as read.
    plan.read_zero_unset = temperature;
    MakeGrid(plan);
  }
  if (energy) {
    GridPlan plan{"EnergyBalance_onGlacier"};
    plan.file_name = "EnergyBalance_onGlacier";
    plan.start = Start::kZeroInSoilZones;
    MakeGrid(plan);
  }
  for (const auto& [identifier, source] :
       {std::pair<const char*, double**>{"GlacierizedCellsOld", glacier_cells},
        {"GlacierCodesOld", glacier_codes}}) {
    GridPlan plan{identifier};
    plan.file_name = identifier;
    plan.start = Start::kZero;
    const bool made = registry->FindIdentifier(identifier) == 0;
    double** copy = MakeGrid(plan);
    for (int32_t r = gridRowFirst; r <= gridRowLast && made; ++r)
      std::copy(source[r], source[r] + ncols + 1, copy[r]);
  }
  for (int g : {3, 6}) {
    GridPlan plan{kOnGlacierNames[g], &on_glacier_outputs[g]};
    plan.rows = Rows::kOwn;
    plan.start = Start::kZeroInSoilZones;
    MakeGrid(plan);
  }
}

void schneemodellklasse::CreateFirnStack() {
  const std::string identifier = "firn_WE_stack";
  if (const int existing = registry->Find(identifier, 1)) {
    firn_WE_stack = (*registry)[existing].stack;
    firn_levels = (*registry)[existing].level_count;
    own_grids.push_back(OwnGrid{identifier, GridMatrix(), LinkData(existing), existing, true});
    return;
  }
  StackMatrix stack;
  if (readGlacierGrids == 1) {
    double*** read = nullptr;
    const int levels = ReadStack(firn_stack_output.grid_name, read, true);
    // The reader's stack is copied into one this object owns over the same rows.
    firn_levels = levels;
    stack = StackMatrix(*diag, gridRowFirst, gridRowLast, ncols, firn_levels, nrows);
    for (int32_t r = gridRowFirst; r <= gridRowLast; ++r)
      for (int32_t c = 1; c <= ncols; ++c)
        std::copy(read[r][c], read[r][c] + firn_levels + 1, stack[r][c]);
    velorn::Free3dMatrix(read);
  } else {
    stack = StackMatrix(*diag, gridRowFirst, gridRowLast, ncols, firn_levels, nrows);
    for (int32_t r = gridRowFirst; r <= gridRowLast; ++r) {
      for (int32_t c = 1; c <= ncols; ++c) {
        double* levels = stack[r][c];
        if (IsNodata(soil_zone_grid[r][c], nodata) || !(glacier_cells[r][c] > 0)) {
          std::fill(levels, levels + firn_levels + 1, nodata);
          continue;
        }
        const double level = FirnStartLevel(elevation[r][c], firn_base, deltafirnper100m);
        levels[0] = 0;
        for (int32_t k = 1; k <= firn_levels; ++k) {
          levels[k] = level;
          levels[0] += level;
        }
      }
    }
  }
  GridMatrix total(*diag, gridRowFirst, gridRowLast, ncols, nrows);
  for (int32_t r = gridRowFirst; r <= gridRowLast; ++r)
    for (int32_t c = 1; c <= ncols; ++c) total[r][c] = stack[r][c][0];
  const int index = NextFreeIndex();
  RegisterGrid(index, firn_stack_output.grid_name, total.get(), stack.get(), firn_levels,
               identifier, firn_stack_output.write_code, gridRowFirst, gridRowLast);
  firn_WE_stack = stack.get();
  firn_stack_data_ = std::move(stack);
  double** grid = total.get();
  own_grids.push_back(OwnGrid{identifier, std::move(total), grid, index, false});
}

// ---- [permafrost] -----------------------------------------------------------------------------

// The counts of snow-free and snow-covered days carry the thaw depth from step to step: they are
// written as state grids with the pack's storage grids (their write code, the fixed names
// "snowfreedays.<form>" and "snowcoverdays.<form>", ".asc" in earlier versions) and read back
// where those are read back, so that a warm start continues the thaw exactly. A state without
// them starts the counts at 0, as before. The root depth of land-use layer 1 is lowered in place
// to the thaw depth of every step until the land-use parameters are evaluated again at the end
// of the day: within a day it keeps the shallowest thaw depth since then, which the counts alone
// do not give. It is written beside them ("permafrostroots.<form>") and a warm start within a
// day lowers the re-evaluated root depth to it; a state without it lowers it to the thaw depth
// of the counts alone.
void schneemodellklasse::SetUpPermafrost() {
  permafrost_days_read_ = readStorageGrids == 1;
  for (const auto& [identifier, stem] :
       {std::pair<const char*, const char*>{"SnowFreeDaysGrid", "snowfreedays"},
        {"SnowCoverDaysGrid", "snowcoverdays"}}) {
    GridPlan plan{identifier};
    plan.file_name = FixedGridName(stem);
    plan.older_file_name = std::string(stem) + ".asc";
    double** grid = MakeStateGrid(plan, "the permafrost's day counts: they start at 0");
    permafrost_days_read_ = permafrost_days_read_ && plan.read;
    if (plan.read)
      AgreeOnFailure(Diag(), [&] {
        CheckGridCells(Diag(), plan.read_name, grid, zone_grid, column_ranges, first_local_row,
                       last_local_row, nodata, 0.0, 1e6, "(days)",
                       BasinNodata::Refused(owner_grid, rank));
      });
  }
  GridPlan roots{"PermafrostRootDepth"};
  roots.file_name = FixedGridName("permafrostroots");
  lowered_root_depth = MakeStateGrid(
      roots, "the root depth the thaw left within the day: the thaw depth of the counts limits it");
  lowered_root_depth_read_ = permafrost_days_read_ && roots.read;
  if (roots.read)
    AgreeOnFailure(Diag(), [&] {
      CheckGridCells(Diag(), roots.read_name, lowered_root_depth, zone_grid, column_ranges,
                     first_local_row, last_local_row, nodata, 0.0, kLargestRelief, "m",
                     BasinNodata::Allowed());
    });
  thaw_coefficient = RequiredGrid("ThawCoeffPermaFrost");
  thaw_depth = RequiredGrid("PermafrostThawDepth");
  root_depth = RequiredGrid("root_depth1");
  OpenSection("[permafrost]");
  ControlFileReader& f = *control_file;
  ReadValue(f, permafrostMethod, "Permafrost-Method for ");
  if (permafrostMethod != 1) {
    ThrowFatal(Diag(), kGlacierSetupCode,
               "FATAL: method for permafrost melt must be 1 (alpha*sqrt(time))");
  }
  ReadValue(f, Min_Snow_Age_Refreeze, "Min_Snow_Age_Refreeze for ");
  ReadValue(f, Max_SWE_SnowFree, "Max_SWE_SnowFree for ");
  ReadTwoValues(f, thaw_depth_statistics.statistics_name, thaw_depth_statistics.statistics_code,
                "name of thaw depth statistics file ");
  ReadValue(f, reducedKsat, "reduced k_sat (in m/s)");
  RequireRange(Min_Snow_Age_Refreeze, 0, 36500, "Min_Snow_Age_Refreeze (days) for ");
  RequireRange(Max_SWE_SnowFree, 0, kLargestSnowWaterEquivalent, "Max_SWE_SnowFree for ");
  RequireRange(reducedKsat, 0, kHighestConductivity, "reduced k_sat (m/s) for ");
  MakeTable(thaw_depth_table_, thaw_depth_statistics, kThawDepthPrecision, "thaw_depth_in_m_",
            zone_table, zone_count);
  control_file->Close();
}

void schneemodellklasse::ContinuePermafrostThaw() {
  if (GetFlowControl() == 0 || !permafrost_days_read_ || thaw_depth == nullptr) return;
  double** free_days = OwnData("SnowFreeDaysGrid");
  double** cover_days = OwnData("SnowCoverDaysGrid");
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!TakesCell(r, c)) continue;
      // As the step leaves it: from the snow-free days, 0 after a cover long enough to refreeze,
      // else the depth the run started with.
      if (free_days[r][c] > 0)
        thaw_depth[r][c] = ThawDepth(thaw_coefficient[r][c], free_days[r][c]);
      else if (cover_days[r][c] >= Min_Snow_Age_Refreeze)
        thaw_depth[r][c] = 0;
      if (root_depth == nullptr) continue;
      // (A cell without land use holds nodata there and keeps its root depth.)
      const double lowered = lowered_root_depth_read_ ? lowered_root_depth[r][c] : nodata;
      if (IsAboveNodata(lowered, nodata) && root_depth[r][c] > lowered) root_depth[r][c] = lowered;
      if (root_depth[r][c] > thaw_depth[r][c]) root_depth[r][c] = thaw_depth[r][c];
    }
  });
}

}  // namespace velorn

// Snow model construction: the [snow_model] section in its order with its bounds, the links to
// other models' grids, the zone statistics tables, the own grids (linked when already
// registered) and, for the slide methods, the deposition capacity and the elevation order on
// process 0. The glacier and permafrost parts are in snow/glacier_setup.cpp, the hand-over
// operations and the release in snow/snow_release.cpp.
#include "snow/snow_model.h"

#include <algorithm>
#include <exception>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "snow/snow_setup_formulas.h"
#include "snow/snow_slide.h"
#include "tables/landuse_multilayer.h"
#include "version.h"

namespace velorn {
namespace {

// Time intervals above this (minutes) use the night temperature.
constexpr double kNightTemperatureInterval = 720.0;
// Precision of the snow outflow tables and of the other snow tables.
constexpr int32_t kOutflowPrecision = 4;
constexpr int32_t kSnowPrecision = 3;
// The state grid of the albedo the pack leaves to the next step: its name without the
// extension, which says the form grids are written in, and the name earlier versions gave it.
constexpr const char* kAlbedoStateStem = "snowalbedo";
constexpr const char* kAlbedoStateOlderName = "snowalbedo.asc";

}  // namespace

bool IsEnergyBalanceSnowMethod(int32_t method) {
  return method == 5 || method == 6 || method == 7 || method == 11;
}
bool IsSlideSnowMethod(int32_t method) {
  return (method >= 6 && method <= 9) || method == 12 || method == 14;
}
bool UsesDepositionIndex(int32_t method) {
  return method == 7 || method == 9 || method == 10 || method == 11 || method == 13 || method == 14;
}
bool IsDynamicGlacierMethod(int32_t glacier_method) {
  return glacier_method >= 11 && glacier_method <= 13;
}

schneemodellklasse::schneemodellklasse(int32_t& error, const SubModelSetup& setup,
                                       const std::string& section_name)
    : teilmodellklasse(setup, section_name) {
  error = 0;
  if (GetFlowControl() == 0) return;
  try {
    const std::string stamp = VELORN_BUILD_TIME;
    const std::size_t blank = stamp.find(' ');
    Diag() << "file snowmod, compiled at " << stamp.substr(0, blank) << ", "
           << (blank == std::string::npos ? std::string() : stamp.substr(blank + 1))
           << "[end-entry]";
    gridRowFirst = first_local_row;
    gridRowLast = last_local_row;
    elevation = (*registry)[2].grid;
    RankSoilModelZones(soil_zone_grid, soil_zone_table, soil_zone_index, soil_zone_count,
                       soil_zone_highest);
    LinkBaseGrids();
    ReadSection();
    CreateSnowTables();
    const SeasonalRange melt = SeasonalRangeOf(RMFMIN, RMFMAX);
    RMFamplitude = melt.amplitude;
    RMFmean = melt.mean;
    albedo = RequiredGrid("albedo");
    snow_evaporation = OptionalGrid("snow_evaporation");
    for (int32_t i = 1; i <= landuse_layers; ++i)
      landuse[i] = RequiredGrid(FormatText("landuse%d", i));
    const bool glacier = FindGrid("ice_firn", 0) > 0 || FindGrid("GlacierizedCells", 0) > 0;
    if (glacier) SetUpGlacier();
    LinkMethodGrids();
    CreateSnowGrids();
    LinkAlbedoState();
    if (glacier) {
      CreateGlacierGrids();
      if (IsDynamicGlacierMethod(glacierMethod)) BuildGlacierList();
    }
    if (FindGrid("ThawCoeffPermaFrost", 0) > 0 && FindGrid("PermafrostThawDepth", 0) > 0)
      SetUpPermafrost();
    CheckThresholds();
    initialised = 0;
    if (response_unit_switch != 0) {
      response_units = RequiredGrid("HydrologicResponseUnits");
      master_response_units = RequiredGrid("MasterHydrologicResponseUnits");
    }
  } catch (const ErrorCode& failure) {
    error = failure.code;
  } catch (const std::exception& failure) {
    Diag() << "FATAL: " << module_name << ": " << failure.what() << "[end-entry]";
    error = kForeignConstructionCode;
  } catch (...) {
    error = kForeignConstructionCode;
  }
}

schneemodellklasse::~schneemodellklasse() = default;

// ---- Links ------------------------------------------------------------------------------------

double** schneemodellklasse::LinkData(int index) const {
  return index > 0 ? (*registry)[index].grid : nullptr;
}

double** schneemodellklasse::OptionalGrid(const std::string& identifier) {
  return LinkData(FindGrid(identifier, 0));
}

double** schneemodellklasse::RequiredGrid(const std::string& identifier) {
  return LinkData(RequireGrid(identifier));
}

void schneemodellklasse::LinkBaseGrids() {
  if (owner_grid == nullptr) {
    owner_grid = OptionalGrid("MPIRegions");
    strip_table = OptionalGrid("MPIHelper");
  }
  if (multilayer_landuse_table != nullptr && multilayer_landuse_table[0].code > 0)
    landuse_layers = std::max(1, multilayer_landuse_table[1].LayerCount);
  landuse.assign(static_cast<std::size_t>(landuse_layers) + 1, nullptr);
}

void schneemodellklasse::LinkMethodGrids() {
  if (method == 4) vapor_pressure = RequiredGrid("vapor_pressure");
  // The radiation correction keeps a night temperature of its own where it steps longer than
  // 720 minutes; stepping shorter (this model at a longer interval of its own), the night
  // temperature is the temperature grid itself (CallsOfStep).
  if (time_interval > kNightTemperatureInterval)
    temperature_night = OptionalGrid("temperature_night");
  if (IsSlideSnowMethod(method)) {
    for (int i = 1; i <= 4; ++i) slidefraction[i] = RequiredGrid(FormatText("slidefraction%d", i));
    slope_angle = RequiredGrid("slope_angle");
  }
  if (UsesDepositionIndex(method)) {
    deposition_index = RequiredGrid("deposition_index");
    deposited_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  }
  if (IsEnergyBalanceSnowMethod(method)) {
    cloudiness = RequiredGrid("cloudiness");
    surfacetemperature = OptionalGrid("surfacetemperature");
    if (snow_evaporation == nullptr) {
      own_snow_evaporation_ = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
      snow_evaporation = own_snow_evaporation_.get();
    }
  }
}

// ---- [snow_model] -----------------------------------------------------------------------------

void schneemodellklasse::ReadOutput(OutputSetting& output, const char* name_description,
                                    const char* code_description,
                                    const char* statistics_description) {
  ControlFileReader& f = *control_file;
  if (name_description != nullptr) ReadValue(f, output.grid_name, name_description);
  if (code_description != nullptr) ReadValue(f, output.write_code, code_description);
  if (statistics_description != nullptr)
    ReadTwoValues(f, output.statistics_name, output.statistics_code, statistics_description);
}

void schneemodellklasse::ReadSection() {
  ControlFileReader& f = *control_file;
  ReadValue(f, method, "method for ");
  // Every melt method is a number from 1 to 14; any other would leave the snow cover unchanged.
  if (method < 1 || method > 14) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: snow model method ", method,
               " is not one of the methods 1 to 14");
  }
  const std::pair<double*, const char*> values[] = {{&transzone, "transzone for "},
                                                    {&T0R, "T0R for "},
                                                    {&T0, "T0 for "},
                                                    {&CWH, "CWH for "},
                                                    {&CRFR, "CRFR for "},
                                                    {&C0, "C0 for "},
                                                    {&C1, "C1 for "},
                                                    {&C2, "C2 for "},
                                                    {&z0, "z0 for "},
                                                    {&RMFMIN, "RMFMIN for "},
                                                    {&RMFMAX, "RMFMAX for "},
                                                    {&ALBsnow_min, "ALBsnow_min for "},
                                                    {&ALBsnow_max, "ALBsnow_max for "}};
  for (const auto& [field, description] : values) ReadValue(f, *field, description);
  CheckSectionRanges();
  ReadOutput(rain_output, "Name of the rain-grid for ", "Writegrid of rain-grid for ",
             "Name of the rain statistics for ");
  ReadOutput(snow_output, "Name of the snow grid for ", "Writegrid of the snow grid for ",
             "Name of the snow statistics for ");
  ReadOutput(days_output, "Name of the snowdays grid for ", "Writegrid of the snowdays grid for ",
             "Name of the snowdays statistics for ");
  ReadOutput(age_output, "Name of the snow age grid for ", "Writegrid of the snow age grid for ",
             "Name of the snow age statistics for ");
  ReadOutput(albedo_statistics, nullptr, nullptr, "name of the albedo statistics for ");
  ReadOutput(outflow_output, "Name of the snow outflow grid for ",
             "Writegrid of the snow outflow grid for ", "Name of the snow outflow statistics for ");
  ReadOutput(melt_output, "Name of the snow melt only outflow grid for ",
             "Writegrid of the snow melt only outflow grid for ",
             "Name of the snow melt only outflow statistics for ");
  ReadOutput(solid_output, "Name of the snow storage grids for ",
             "Writegrid of the snow storage grids for ", nullptr);
  ReadOutput(liquid_output, "Name of the liquid storage grids for ",
             "Writegrid of the liquid storage grids for ", nullptr);
  ReadOutput(total_output, nullptr, nullptr, "Name of the total snow storage statistics for ");
  ReadOutput(total_output, "name of the total snow storage grid for ",
             "Writegrid of the total snow storage grid for ", nullptr);
  ReadValue(f, readStorageGrids, "readgrid forr storage grids for ");
  // The tracer grids of the pack (and of the glacier parts) are read back with its storages.
  grid_read_parameter = readStorageGrids == 1 ? 1 : 0;
  if (IsSlideSnowMethod(method) && rank == 0) {
    wholeGridOnRoot = true;
    gridRowFirst = 1;
    gridRowLast = nrows;
  }
  if (method >= 5) ReadExtendedSection();
  control_file->Close();
}

void schneemodellklasse::ReadExtendedSection() {
  ControlFileReader& f = *control_file;
  const std::string line = f.RestOfLine();
  std::size_t pos = 0;
  // With its line end the line must hold at least 3 characters, and a word.
  if (line.size() + 1 < 3 || !ScanValue(line, pos, snowtemp_output.grid_name)) {
    ThrowFatal(Diag(), kSnowExtendedLineCode,
               "FATAL: cannot read additional parameters for snow model methods 5 to 11 from ",
               control_file_name);
  }
  ReadValue(f, snowtemp_output.write_code, "Writegrid of the snow pack temperature grid for ");
  ReadOutput(snowtemp_output, nullptr, nullptr,
             "Name of the snow pack temperature statistics for ");
  ReadOutput(surftemp_output, "Name of the snow surface temperature grid for ",
             "Writegrid of the snow surface temperature grid for ",
             "Name of the snow surface temperature statistics for ");
  ReadOutput(input_mass_output, "Name of the input mass grid for ",
             "Writegrid of the input mass grid for ", "Name of the input mass statistics for ");
  ReadOutput(mobile_mass_output, "Name of the mobile mass grid for ",
             "Writegrid of the mobile mass grid for ", "Name of the mobile mass statistics for ");
  ReadOutput(deposition_output, "Name of the deposition grid for ",
             "Writegrid of the deposition grid for ", "Name of the deposition statistics for ");

  ReadValue(f, maxDepositionSlope, "maximum slope for deposition for ");
  if (maxDepositionSlope < 0 || maxDepositionSlope > 90) {
    ThrowFatal(Diag(), kMaxDepositionSlopeCode,
               "FATAL: maxDepositionSlope not within parameter bounds of [0...90] Here: ",
               maxDepositionSlope);
  }
  ReadValue(f, maxDepositionFactor, "maximum deposition factor for ");
  if (maxDepositionFactor <= 0) {
    ThrowFatal(Diag(), kMaxDepositionFactorCode,
               "FATAL: maxDepositionFactor not within parameter bounds of (0...inf). Here: ",
               maxDepositionFactor);
  }
  ReadValue(f, minSlideSlope, "minimum slope for slides for ");
  if (minSlideSlope < 0 || minSlideSlope > 90) {
    ThrowFatal(
        Diag(), kMinSlideSlopeCode,
        "FATAL: minSlideSlope not within parameter bounds of [0...90]. Here: ", minSlideSlope);
  }
  ReadValue(f, slideMassFrac, "slide mass fraction for ");
  if (slideMassFrac <= 0 || slideMassFrac > 1) {
    ThrowFatal(
        Diag(), kSlideSettingCode,
        "FATAL: slideMassFrac not within parameter bounds of (0...1.0]. Here: ", slideMassFrac);
  }
  ReadValue(f, LWINcorr, "incoming long wave radiation correction factor for ");
  if (LWINcorr <= 0 || LWINcorr > 3) {
    ThrowFatal(Diag(), kSlideSettingCode,
               "FATAL: incoming long wave radiation correction factor LWINcorr not within "
               "parameter bounds of (0...3.0]. Here: ",
               LWINcorr);
  }
  ReadValue(f, LWOUTcorr, "outgoing long wave radiation correction factor for ");
  if (LWOUTcorr <= 0 || LWOUTcorr > 3) {
    ThrowFatal(Diag(), kSlideSettingCode,
               "FATAL: outgoing long wave radiation correction factor LWOUTcorr not within "
               "parameter bounds of (0...3.0]. Here: ",
               LWOUTcorr);
  }
  double scaling = 0;
  if (f.Read(scaling)) {
    RequireRange(scaling, 0, 10, "EnBalScaling for ");
    EnBalScaling = scaling;
  } else {
    Diag() << "WARNING: \n------------- warning: -------------\n"
           << "Could not read the optional parameter EnBalScaling (double),\n"
           << "for snow melt methods with energy baöance that will be used for scaling the "
              "energy balance (i.e. affect melt rates)\n"
           << "Setting default values of 1.0"
           << "[end-entry]";
  }
  f.SkipRestOfLine();
}

// What a snow pack can have: thresholds near 0 degC, a liquid share and albedos of 0 to 1,
// melt and refreezing factors of 0 or more, and a roughness length above 0 (the wind profile
// divides by its logarithm).
void schneemodellklasse::CheckSectionRanges() {
  RequireRange(transzone, 0, 20, "transzone for ");
  RequireRange(T0R, -20, 20, "T0R for ");
  RequireRange(T0, -20, 20, "T0 for ");
  RequireRange(CWH, 0, 1, "CWH for ");
  RequireRange(CRFR, 0, 10, "CRFR for ");
  RequireRange(C0, 0, 100, "C0 for ");
  RequireRange(C1, 0, 100, "C1 for ");
  RequireRange(C2, 0, 100, "C2 for ");
  RequireRange(z0, 1e-6, 10, "z0 for ");
  RequireRange(RMFMIN, 0, 100, "RMFMIN for ");
  RequireRange(RMFMAX, 0, 100, "RMFMAX for ");
  RequireRange(ALBsnow_min, 0, 1, "ALBsnow_min for ");
  RequireRange(ALBsnow_max, 0, 1, "ALBsnow_max for ");
}

void schneemodellklasse::CheckThresholds() {
  if (!(T0R < T0)) return;
  Diag() << "ERROR: \n-----------------------------------------------------------------------\n"
         << "   T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)  \n"
         << "   because these thresholds are contradicting each other, T0R was set to T0!       "
            "             \n"
         << "-----------------------------------------------------------------------"
         << "[end-entry]";
  T0R = T0;
}

// ---- Tables -----------------------------------------------------------------------------------

void schneemodellklasse::MakeTable(Table& table, const OutputSetting& output, int32_t precision,
                                   const std::string& title, const ZoneRecord* zones,
                                   int32_t zones_count) {
  table.records.assign(static_cast<std::size_t>(zones_count) + 1, ZoneRecord{});
  for (int32_t z = 0; z <= zones_count && zones != nullptr; ++z)
    for (int f = 2; f < 5; ++f) table.records[z][f] = zones[z][f];
  int error = 0;
  std::string file_name = output.statistics_name;
  table.table = std::make_unique<zonalstatistic>(
      error, diag, relative_cell_area, nrows, ncols, table.records.data(), zones_count,
      output.statistics_code, precision, file_name, output_directory, output_list_count,
      output_list_codes);
  if (error != 0) throw ErrorCode{error};
  table.table->WriteHeader(module_name, title, zone_statistics, zone_statistics_capacity);
}

void schneemodellklasse::CreateSnowTables() {
  struct Plan {
    const OutputSetting* output;
    int32_t precision;
    const char* title;
  };
  std::vector<Plan> plans = {
      {&outflow_output, kOutflowPrecision, "snow_melt_(effective_outflow_from_snow_cover)___"},
      {&melt_output, kOutflowPrecision, "snow_melt_only(effective_outflow_from_snow_cover)___"},
      {&total_output, kSnowPrecision, "snow_storage_in_mm___"},
      {&days_output, kSnowPrecision, "snow_days____"},
      {&age_output, kSnowPrecision, "snow_age____"},
      {&snow_output, kSnowPrecision, "p_snow____"},
      {&rain_output, kSnowPrecision, "p_rain____"},
      {&albedo_statistics, kSnowPrecision, "albedo____"}};
  if (IsEnergyBalanceSnowMethod(method)) {
    plans.push_back({&snowtemp_output, kSnowPrecision, "snowtemp____"});
    plans.push_back({&surftemp_output, kSnowPrecision, "surftemp____"});
  }
  if (IsSlideSnowMethod(method)) {
    plans.push_back({&input_mass_output, kSnowPrecision, "input_mass____"});
    plans.push_back({&mobile_mass_output, kSnowPrecision, "mobile_mass____"});
    plans.push_back({&deposition_output, kSnowPrecision, "deposition____"});
  }
  snow_tables_.resize(plans.size());
  for (std::size_t i = 0; i < plans.size(); ++i)
    MakeTable(snow_tables_[i], *plans[i].output, plans[i].precision, plans[i].title, zone_table,
              zone_count);
}

// ---- Own grids --------------------------------------------------------------------------------

int schneemodellklasse::NextFreeIndex() {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex) {
    ThrowFatal(Diag(), kRegistryFullCode,
               "FATAL: no free grid left. Please contact the author to set the number of "
               "available grids to a larger number ",
               kRefusedGridIndex);
  }
  return index;
}

double** schneemodellklasse::MakeGrid(const GridPlan& plan) {
  if (const int existing = registry->FindIdentifier(plan.identifier)) {
    own_grids.push_back(OwnGrid{plan.identifier, GridMatrix(), LinkData(existing), existing, true});
    return own_grids.back().grid;
  }
  const std::string& file_name = plan.output != nullptr ? plan.output->grid_name : plan.file_name;
  const int32_t write_code = plan.output != nullptr ? plan.output->write_code : plan.write_code;
  int64_t first = first_local_row;
  int64_t last = last_local_row;
  if (plan.rows == Rows::kAll) {
    first = 1;
    last = nrows;
  } else if (plan.rows == Rows::kSnow && !(plan.read && plan.read_local_rows)) {
    first = gridRowFirst;
    last = gridRowLast;
  }
  GridMatrix data(*diag, first, last, ncols, nrows);
  for (int64_t r = first; r <= last; ++r) {
    for (int32_t c = 0; c <= ncols; ++c) {
      bool inside = true;
      if (plan.start == Start::kZeroInside)
        inside = zone_grid == nullptr || IsNotNodata(zone_grid[r][c], nodata);
      if (plan.start == Start::kZeroInSoilZones) inside = IsNotNodata(soil_zone_grid[r][c], nodata);
      if (plan.start == Start::kNodata) inside = false;
      data[r][c] = inside ? 0.0 : nodata;
    }
  }
  if (plan.read) {
    // Every process passes the same whole-grid flag, so all take the same reading path.
    const bool whole = plan.rows == Rows::kSnow && !plan.read_local_rows &&
                       (IsSlideSnowMethod(method) || IsDynamicGlacierMethod(glacierMethod));
    double** target = data.get();
    const std::string& read_name = plan.read_name.empty() ? file_name : plan.read_name;
    const StateGridRead state;
    ReadGrid(read_name, target, 0, false, false, false, whole ? 1 : 0, false, false, 0);
    // A grid that starts at 0 over its cells holds a value in each of them at every step's end;
    // one that starts at nodata keeps nodata where its store is none, and one whose 0 stands
    // for "none yet" takes nodata so as well.
    const bool soil_zones = plan.start == Start::kZeroInSoilZones;
    const BasinNodata basin_nodata = plan.start == Start::kNodata || plan.read_zero_unset
                                         ? BasinNodata::Allowed()
                                         : BasinNodata::Refused(owner_grid, rank);
    AgreeOnFailure(Diag(), [&] {
      CheckGridCells(Diag(), read_name, target, soil_zones ? soil_zone_grid : zone_grid,
                     column_ranges, first_local_row, last_local_row, nodata, plan.read_low,
                     plan.read_high, plan.read_unit, basin_nodata, plan.read_zero_unset);
    });
  }
  const int index = NextFreeIndex();
  RegisterGrid(index, file_name, data.get(), nullptr, 0, plan.identifier, write_code, first, last);
  double** grid = data.get();
  own_grids.push_back(OwnGrid{plan.identifier, std::move(data), grid, index, false});
  return grid;
}

double** schneemodellklasse::MakeStateGrid(GridPlan& plan, const char* what) {
  plan.rows = Rows::kOwn;
  plan.write_code = solid_output.write_code % 10;
  if (readStorageGrids == 1 && registry->FindIdentifier(plan.identifier) == 0) {
    plan.read_name = StateFileToRead(plan.file_name, plan.older_file_name);
    std::string stored = plan.read_name;
    PrefixDirectory(input_directory, stored);
    plan.read = ExistsOnRoot(stored);
    if (!plan.read) Diag() << "WARNING: no grid " << stored << " of " << what << "[end-entry]";
  }
  return MakeGrid(plan);
}

void schneemodellklasse::SetSnowPackRange(GridPlan& plan) {
  plan.read_low = 0;
  plan.read_high = kLargestSnowWaterEquivalent;
  plan.read_unit = "mm";
}

// Snow and its surface on Earth: from -100 degC (colder than any snow surface measured) to 100
// degC above the melting point, which the pack's energy balance never reaches.
void schneemodellklasse::SetSnowTemperatureRange(GridPlan& plan) {
  plan.read_low = kMeltingPointKelvin - 100;
  plan.read_high = kMeltingPointKelvin + 100;
  plan.read_unit = "K";
}

void schneemodellklasse::CreateSnowGrids() {
  const bool read = readStorageGrids == 1;
  for (const auto& [identifier, output] :
       {std::pair<const char*, const OutputSetting*>{"snowstorage_solid", &solid_output},
        {"snowstorage_liquid", &liquid_output},
        {"snow_storage_total", &total_output}}) {
    GridPlan plan{identifier, output};
    plan.read = read;
    SetSnowPackRange(plan);
    MakeGrid(plan);
  }
  for (const auto& [identifier, output] :
       {std::pair<const char*, const OutputSetting*>{"days_snow", &days_output},
        {"snow_age", &age_output}}) {
    GridPlan plan{identifier, output};
    plan.read = read;
    plan.read_local_rows = true;
    // The days of a step with snow cover (at most the step: the model's own interval, which may
    // be longer than a day), the days since the last snowfall.
    const bool age = identifier == std::string("snow_age");
    plan.read_low = 0;
    plan.read_high = age ? kLongestSnowAge : std::max(1.0, time_interval / 1440.0);
    plan.read_unit = "days";
    MakeGrid(plan);
  }
  if (IsEnergyBalanceSnowMethod(method)) {
    for (const auto& [identifier, output] :
         {std::pair<const char*, const OutputSetting*>{"snowtemp", &snowtemp_output},
          {"surftemp", &surftemp_output}}) {
      GridPlan plan{identifier, output};
      plan.start = Start::kNodata;
      plan.read = read;
      plan.read_local_rows = true;
      SetSnowTemperatureRange(plan);
      // Nodata stays as read: the pack's balance takes it as no temperature yet and starts from
      // the air's, as the run that wrote it would have (a pack that snow slides or drifts into
      // after the balance has none).
      MakeGrid(plan);
    }
    GridPlan balance{"EnergyBalance"};
    balance.file_name = "EnergyBalance";
    balance.start = Start::kZero;
    MakeGrid(balance);
  }
  if (IsSlideSnowMethod(method)) {
    BuildSlideOrder();
    for (const auto& [identifier, output] :
         {std::pair<const char*, const OutputSetting*>{"input_mass", &input_mass_output},
          {"mobile_mass", &mobile_mass_output},
          {"deposition", &deposition_output}}) {
      MakeGrid(GridPlan(identifier, output));
    }
  }
  for (const auto& [identifier, output] :
       {std::pair<const char*, const OutputSetting*>{"snow_fraction", &snow_output},
        {"rain_fraction", &rain_output},
        {"snowcover_outflow", &outflow_output},
        {"melt_from_snowcover", &melt_output}}) {
    GridPlan plan{identifier, output};
    plan.rows = Rows::kOwn;
    MakeGrid(plan);
  }
}

// The albedo the pack leaves at the end of a step is the albedo the next step's
// evapotranspiration takes: it is written as a state grid with the pack's storage grids (their
// write code, the fixed name "snowalbedo.<form>": "snowalbedo.dbl" with binary doubles) and read
// back where they are read back (also as "snowalbedo.asc", the name earlier versions gave it in
// every form). A state without it keeps the albedo of the land-use table, as before.
void schneemodellklasse::LinkAlbedoState() {
  const int index = NextFreeIndex();
  const std::string name = FixedGridName(kAlbedoStateStem);
  RegisterGrid(index, name, albedo, nullptr, 0, "snow_albedo_state", solid_output.write_code % 10,
               first_local_row, last_local_row);
  own_grids.push_back(OwnGrid{"snow_albedo_state", GridMatrix(), albedo, index, false});
  if (readStorageGrids != 1) return;
  const std::string file = StateFileToRead(name, kAlbedoStateOlderName);
  std::string stored = file;
  PrefixDirectory(input_directory, stored);
  if (!ExistsOnRoot(stored)) {
    Diag() << "WARNING: no grid " << stored
           << " of the snow albedo: the first step takes the albedo of the land-use table"
           << "[end-entry]";
    return;
  }
  const StateGridRead state;
  ReadGrid(file, albedo, 0, false, false, false, 0, false, false, 0.0);
  AgreeOnFailure(Diag(), [&] {
    CheckGridCells(Diag(), stored, albedo, zone_grid, column_ranges, first_local_row,
                   last_local_row, nodata, 0.0, 1.0, "(an albedo)",
                   BasinNodata::Refused(owner_grid, rank));
  });
  albedo_state_read = true;
}

void schneemodellklasse::OnRootForAll(const std::function<void()>& step) {
  int status = rank == 0 ? CodeOf(step) : 0;
  status = BroadcastCodeFromRoot(status);
  if (status != 0) throw ErrorCode{status};
}

void schneemodellklasse::RequireWholeOnRoot(int index, const char* purpose) {
  const GridEntry& entry = (*registry)[index];
  if (entry.first_row > 1 || entry.last_row < nrows) {
    ThrowFatal(Diag(), kGridMissingCode, "FATAL: the grid ", entry.identifier.value_or(""),
               " is not held whole on process 0, as ", purpose, " needs it");
  }
}

// Process 0: the deposition capacity of every cell and the order of the slide pass. Both walk
// the whole grid, so the zone grid, the elevation and the slope must be held whole here.
void schneemodellklasse::BuildSlideOrder() {
  OnRootForAll([&] {
    for (int index : {1, 2, registry->FindIdentifier("slope_angle")})
      RequireWholeOnRoot(index, "the lateral snow redistribution");
    for (int i = 1; i <= 4; ++i)
      RequireWholeOnRoot(registry->FindIdentifier(FormatText("slidefraction%d", i)),
                         "the lateral snow redistribution");
    GridPlan capacity{"max_deposition"};
    capacity.rows = Rows::kAll;
    capacity.start = Start::kNodata;
    const bool made = registry->FindIdentifier("max_deposition") == 0;
    double** max_deposition = MakeGrid(capacity);
    for (int32_t r = 1; r <= nrows && made; ++r) {
      for (int32_t c = 1; c <= ncols; ++c) {
        if (IsNodata(zone_grid[r][c], nodata)) continue;
        max_deposition[r][c] =
            DepositionCapacity(slope_angle[r][c], maxDepositionSlope, maxDepositionFactor, nodata);
      }
    }
    std::array<double**, 2> order_grids{};
    const char* names[2] = {"elev_order_row", "elev_order_col"};
    for (int g = 0; g < 2; ++g) {
      GridMatrix data(*diag, 1, nrows, ncols, nrows);
      const int index = NextFreeIndex();
      RegisterGrid(index, "", data.get(), nullptr, 0, names[g], 0, 1, nrows);
      order_grids[g] = data.get();
      own_grids.push_back(OwnGrid{names[g], std::move(data), order_grids[g], index, false});
    }
    FillElevationOrder(zone_grid, elevation, static_cast<int32_t>(nrows),
                       static_cast<int32_t>(ncols), nodata, order_grids[0], order_grids[1]);
  });
}

// ---- Look-up ----------------------------------------------------------------------------------

const schneemodellklasse::OwnGrid* schneemodellklasse::FindOwnGrid(
    const std::string& identifier) const {
  for (const OwnGrid& grid : own_grids)
    if (grid.identifier == identifier) return &grid;
  return nullptr;
}

double** schneemodellklasse::OwnData(const std::string& identifier) const {
  const OwnGrid* grid = FindOwnGrid(identifier);
  return grid != nullptr ? grid->grid : nullptr;
}

}  // namespace velorn

// Construction of a model run: registries, settings and set-up, tracer definitions and the
// sub-models in their fixed order, the dump options and the links between the models.
#include "app/application.h"

#include <mpi.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

#include "balance/water_balance.h"
#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/string_helpers.h"
#include "evaporation/evapotranspiration.h"
#include "evaporation/interception_model.h"
#include "grids/special_output.h"
#include "lateral/groundwater_model.h"
#include "lateral/silting_up_model.h"
#include "lateral/surface_routing_model.h"
#include "meteo/meteo_interpolator.h"
#include "meteo/precipitation_correction.h"
#include "meteo/radiation_correction.h"
#include "meteo/superposition.h"
#include "routing/data_assimilation.h"
#include "routing/irrigation_model.h"
#include "routing/routing_model.h"
#include "setup/defaultini.h"
#include "setup/tracer_definitions.h"
#include "snow/snow_model.h"
#include "unsatzone/unsatzone_model.h"
#include "version.h"

namespace velorn {
namespace {

// The value the dump-option entry reports for the language standard, as it always has.
constexpr long kReportedLanguageStandard = 201103;

// Throws `code` when a constructor's error out-parameter reports a failure.
void CheckError(int32_t error) {
  if (error != 0) throw ErrorCode{error};
}

// The maximum of "-dumpmode:<text>": leading blanks, then at least one digit; the reading stops
// at the first other character. Negative when the text is no valid maximum.
long DumpMaximum(const std::string& text) {
  std::size_t at = text.find_first_not_of(" \t");
  if (at == std::string::npos || text[at] < '0' || text[at] > '9') return -1;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + at, &end, 10);
  if (errno == ERANGE || value > INT_MAX) return -1;
  return value;
}

}  // namespace

int32_t SectionSwitch(const std::string& control_file, const std::string& section) {
  ControlFileReader file;
  if (!file.Open(control_file)) return 0;
  if (!file.FindHeader("[" + section + "]")) return 0;
  int value = 1;
  return file.Read(value) ? value : 1;
}

DumpOptions ReadDumpOptions(DiagnosticStream& diag, const std::vector<std::string>& args) {
  DumpOptions options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (Contains(arg, "-dumpmode")) {
      options.on = true;
      const std::size_t colon = arg.find(':');
      if (colon == std::string::npos) continue;
      const long maximum = DumpMaximum(arg.substr(colon + 1));
      if (maximum < 0) {
        ThrowFatal(diag, kDumpModeCode,
                   "FATAL: Error in argument list: invalid number of max dumpfiles given in "
                   "argument ",
                   arg);
      }
      options.maximum = static_cast<int32_t>(maximum);
      diag << "INFO: max dumpfiles given in argument " << arg << " read as " << maximum
           << "(__cplusplus defined as " << kReportedLanguageStandard << ")"
           << "[end-entry]";
    } else if (Contains(arg, "-closeAfterDump")) {
      options.close = true;
    } else if (Contains(arg, "-repairAfterDump")) {
      options.repair = true;
    }
  }
  return options;
}

ModellApplication::ModellApplication(DiagnosticStream& diag, int argc, char** argv, int index)
    : memory_handling(&diag), stream(diag) {
  try {
    Construct(argc, argv, index);
  } catch (const ErrorCode&) {
    stream << "FATAL: exceptions in ModellApplication::init() caught!"
           << "[end-entry]";
    throw;
  }
}

ModellApplication::~ModellApplication() = default;

void ModellApplication::Construct(int argc, char** argv, int index) {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const std::string stamp = VELORN_BUILD_TIME;
  const std::size_t blank = stamp.find(' ');
  stream << "file "
         << "modapuzr"
         << ", compiled at " << stamp.substr(0, blank) << ", "
         << (blank == std::string::npos ? std::string() : stamp.substr(blank + 1)) << "[end-entry]";
  control_file_name = argv[index] != nullptr ? argv[index] : "";

  try {
    grid_registry = std::make_unique<GridRegistry>();
  } catch (const std::bad_alloc&) {
    ThrowFatal(stream, kRegistryTextCode, "FATAL: no free memory for creating grids ");
  }
  grid_registry_pointer = grid_registry.get();
  zone_statistics_registry.assign(kZoneStatisticsCapacity + 1, ZoneStatisticsRecord{});

  CreateSettings();
  // Process 0's whole set-up grids are cut to its rows before the sub-models allocate theirs.
  settings_object->TrimSetUpGrids();
  CreateInterpolators();

  int32_t error = 0;
  tracer_definitions = std::make_unique<tracer_ini_class>(
      error, &stream, compiled_control_file_name, 0, tracer_count, tracer_table,
      settings.write_ascii, settings.write_double, settings.write_netcdf,
      settings.initial_state_directory, settings.default_output_directory, settings.mpi_layout,
      spin_up_switch, &response_units);
  CheckError(error);
  tracer_definitions->SetInitialised(1);

  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  CreateSubModels(args);

  settings_object->LinkExternalGrids(zone_statistics_registry.data(), kZoneStatisticsCapacity);
  // The land use's stacks last: a grid search ends at the first stack.
  settings_object->RegisterLanduseStacks();
  stream << "end of initialization reached..."
         << "[end-entry]";
  initialised = 1;
}

void ModellApplication::CreateSettings() {
  int32_t error = 0;
  settings_object = std::make_unique<defaultini>(
      error, &stream, control_file_name, zone_statistics_registry.data(), kZoneStatisticsCapacity,
      kModelVariant, &grid_registry_pointer);
  CheckError(error);
  uint8_t done = 0;
  while (done == 0) settings_object->RunSetupStep(done);
  settings_object->CreateStandardGridStatistics();
  CopySettings();
  settings_object->SetInitialised(1);
  settings_object->CreateHydrologicResponseUnits(spin_up_switch, do_temperature_pre_spin_up,
                                                 repeat_count, response_units);
  FillSubModelSetup();
}

void ModellApplication::CopySettings() {
  settings_object->GetModelSettings(settings);
  compiled_control_file_name = settings.compiled_control_file_name;
  min_to_int_end = settings.min_to_int_end;
  meteo_count = settings.meteo_count;
  variable_names = settings.meteo_names;
  coupling_interval = settings_object->GetCouplingInterval();
}

void ModellApplication::FillSubModelSetup() {
  static_cast<ModelGridGeometry&>(setup) = settings;
  setup.diag = &stream;
  setup.control_file_name = compiled_control_file_name;
  setup.report_interval = settings.output_control;
  setup.min_to_int_end = min_to_int_end;
  setup.output_list_count = settings.output_list_count;
  setup.output_list_codes = settings.output_list_codes;
  setup.registry = grid_registry.get();
  setup.zone_statistics = zone_statistics_registry.data();
  setup.zone_statistics_capacity = kZoneStatisticsCapacity;
  setup.zone_code_index = settings.zone_code_index;
  setup.zone_table = settings.zone_table;
  setup.column_ranges = settings.column_ranges;
  setup.zone_count = settings.zone_count;
  setup.highest_zone_code = settings.highest_zone_code;
  setup.start_date = settings.start_date;
  setup.end_date = settings.end_date;
  setup.latitude = settings.latitude;
  setup.longitude = settings.longitude;
  setup.reference_meridian = settings.reference_meridian;
  setup.coordinates_time_shift = settings.time_shift;
  setup.write_ascii = settings.write_ascii;
  setup.write_double = settings.write_double;
  setup.write_netcdf = settings.write_netcdf;
  setup.input_directory = settings.initial_state_directory;
  setup.output_directory = settings.default_output_directory;
  setup.mpi = settings.mpi_layout;
  setup.response_unit_switch = spin_up_switch;
  setup.response_unit_table = &response_units;
  setup.landuse_table = settings.landuse_table;
  setup.soil_table = settings.soil_table;
  setup.multilayer_landuse_table = settings.multilayer_landuse_table;
}

// One interpolator per meteorological variable, each with its result grid at the first free
// registry entry below the last one.
void ModellApplication::CreateInterpolators() {
  interpolators.clear();
  interpolators.resize(static_cast<std::size_t>(meteo_count) + 1);
  for (int32_t j = 1; j <= meteo_count; ++j) {
    const int free_entry = grid_registry->FirstFreeIndex();
    if (free_entry > kLastGridIndex) {
      ThrowFatal(stream, kRegistryFullCode, "FATAL: no more free grids in memeory, (max. ",
                 kLastGridIndex + 1, ")!");
    }
    const std::string& name = variable_names[static_cast<std::size_t>(j)];
    int status = 0;
    auto made = std::make_unique<meteointerpol>(setup, name, free_entry, settings.start_date,
                                                settings.end_date, status);
    CheckError(status);
    made->SetNoStationWarning(settings.no_station_warning);
    made->SetTimeStepHours(min_to_int_end / 60.0);
    if (Contains(name, "irrigation_amounts")) made->SetNoStationWarning(0);
    made->SetInitialised(1);
    interpolators[static_cast<std::size_t>(j)] = std::move(made);
  }
  for (int32_t j = 2; j <= meteo_count; ++j)
    interpolators[static_cast<std::size_t>(j)]->SetDateSource(
        interpolators[1]->name + " (" + interpolators[1]->DatingFileName() + ")");
}

// Table rows a to q: the models of this build in their place, the others refused when on.
void ModellApplication::CreateSubModels(const std::vector<std::string>& args) {
  int32_t error = 0;
  superposition = std::make_unique<RegionalSuperposition>(
      setup, zone_statistics_registry.data(), kZoneStatisticsCapacity, settings.region_count,
      settings.region_code_index, settings.highest_region_code);
  std::vector<meteointerpol*> interpolator_list;
  for (const auto& interpolator : interpolators) interpolator_list.push_back(interpolator.get());
  precipitation_correction = std::make_unique<precicorrclass>(setup, error, interpolator_list,
                                                              variable_names, meteo_count);
  CheckError(error);
  precipitation_correction->SetParameter(settings_object->GetMaximumElevation());
  precipitation_correction->SetGridMadeEveryStep(superposition->MakesGrid("precipitation"));
  precipitation_correction->SetInitialised(1);
  radiation_correction = std::make_unique<expokorrklasse>(error, setup);
  CheckError(error);
  radiation_correction->SetInitialised(1);
  evapotranspiration =
      std::make_unique<verdunstungsmodellklasse>(setup, "evapotranspiration", error);
  CheckError(error);
  evapotranspiration->SetRadiationCorrection(radiation_correction->GetCorrectionGrid());
  snow = std::make_unique<schneemodellklasse>(error, setup);
  CheckError(error);
  snow->evapotranspirationModelActive = evapotranspiration->GetFlowControl() != 0 ? 1 : 0;
  snow->SetRadiationCorrectionGrid(radiation_correction->GetCorrectionGrid());
  snow->SetLanduseCurves(settings_object->landuse_grids.get());
  evapotranspiration->SetSolidSnowStorage(snow->GetSolidSnowStorage());
  evapotranspiration->SetSnowMethod(snow->GetMethod());
  evapotranspiration->SetInitialised(1);
  interception = std::make_unique<interzeptionsmodellklasse>(error, setup);
  CheckError(error);
  // The canopy's snow load unloads onto the snow cover and melts into it: without the snow model
  // (switched off, or its section absent) that water would never reach the ground.
  if (interception->GetFlowControl() != 0 && interception->canopy_snow &&
      snow->GetFlowControl() == 0) {
    ThrowFatal(stream, kCanopyBalanceSnowGridCode,
               "FATAL: the canopy's snow (interception methods 21 to 32) needs the snow model: its "
               "unloaded snow and melt go to the snow cover (switch [snow_model] on)");
  }
  // Above 10 the interception runs before the snow model and takes the snow model's rain/snow
  // threshold and transition half-width; the snow model then takes the throughfall as input.
  interception_method = interception->GetMethod();
  interception_before_snow = interception_method > 10 ? 1 : 0;
  if (interception_before_snow != 0 && snow->GetMethod() != 0) {
    interception->threshold_temperature = snow->T0R;
    interception->transition_half_width = snow->transzone;
  }
  snow->SetCanopySnowInputs(interception_before_snow != 0);
  silting_up = std::make_unique<siltingupclass>(error, setup);
  CheckError(error);
  silting_up->SelectWaterInput(interception_before_snow);
  if (silting_up->TakesSnowOutflow()) snow->KeepOutflowForGlaciers();
  sub_steps = settings_object->ReadSoilSurfaceGroundwaterSubsteps();
  unsatzone =
      std::make_unique<unsatzonmodellklasse>(error, setup, settings_object->irrigation_table.get());
  CheckError(error);
  unsatzone->evapotranspirationModelActive = evapotranspiration->GetFlowControl() != 0 ? 1 : 0;
  // The snow model feeds the snow layers with snowfall, rain and melt every step: without it
  // (switched off, or its section absent) the water input would never reach the soil.
  if (unsatzone->GetFlowControl() != 0 && unsatzone->IsLayeredSnowActive() &&
      snow->GetFlowControl() == 0) {
    ThrowFatal(stream, kLayeredSnowWithoutSnowModelCode,
               "FATAL: ERROR:\n-----------------\n Error in model configuration: when using "
               "[LayeredSnowModel], [snow_model] must be used as well.\n",
               "The snow model feeds the snow layers with snowfall, rain and melt; without it "
               "the water input would never reach the soil.\n",
               "So you need to either switch snow_model on or LayeredSnowModel off\n"
               "-----------------\n");
  }
  unsatzone->SetSubStepCount(sub_steps);
  unsatzone->ComputeDrainablePoreVolume();
  unsatzone->LinkWaterInputGrid(interception_before_snow != 0);
  if (silting_up->GetFlowControl() != 0)
    unsatzone->silted_input_change = silting_up->input_change.get();
  dump = ReadDumpOptions(stream, args);
  unsatzone->SetDumpMode(dump.on, dump.close, dump.repair, dump.maximum);
  evapotranspiration->ReadLakeSection("[lake_model]");
  snow->ReadLakeSection("[lake_model]");
  LinkSoilAndSnow();
  snow->SetDumpOptions(dump.on ? 1 : 0, dump.close ? 1 : 0, dump.repair ? 1 : 0,
                       static_cast<uint64_t>(dump.maximum));
  CreateSurfaceRouting();
  // Irrigation reads the unsaturated zone's grids and adds its water to the precipitation. A
  // section that only switches it off ("[irrigation]" and 0, as the settings object reads it)
  // makes no model.
  if (SectionSwitch(compiled_control_file_name, "irrigation") != 0) {
    irrigation = std::make_unique<irrigationclass>(error, setup, settings.irrigation_table);
    CheckError(error);
    irrigation->SetupTracers(error, tracer_count, tracer_table, zone_statistics_registry.data(),
                             kZoneStatisticsCapacity);
    CheckError(error);
  }
  // Groundwater flow: it takes "groundwater_distance", "groundwater_recharge" and "baseflow" from
  // the unsaturated zone, or from grids of their own; it refuses to start without them. The
  // unsaturated zone's runoff and re-infiltration arrays are handed over once that model runs.
  groundwater = std::make_unique<gwflowclass>(error, setup);
  CheckError(error);
  unsatzone->groundwaterModelActive = groundwater->GetFlowControl() > 0 ? 1 : 0;
  // The soil zone and the aquifer exchange a step's recharge and base flow: each scales its
  // rates to its own step, so two steps would leave water that neither books.
  if (unsatzone->groundwaterModelActive != 0 && unsatzone->GetFlowControl() != 0 &&
      groundwater->GetTimeInterval() != unsatzone->GetTimeInterval()) {
    ThrowFatal(stream, kControlFileErrorCode, "FATAL: error in control file, the time interval of ",
               groundwater->module_name, " (", groundwater->GetTimeInterval(),
               " minutes) differs from that of ", unsatzone->module_name, " (",
               unsatzone->GetTimeInterval(),
               " minutes); they exchange their water every step, so both must have the step of "
               "the run");
  }
  groundwater->SetSubStepCount(sub_steps);
  evapotranspiration->SetSubStepCount(sub_steps);
  ShareGlacierGrid();
  // The tracers of the model that takes the precipitation first, so that the next finds its
  // outflow's concentration.
  const auto setup_tracers = [&](teilmodellklasse& model) {
    model.SetupTracers(error, tracer_count, tracer_table, zone_statistics_registry.data(),
                       kZoneStatisticsCapacity);
    CheckError(error);
  };
  if (interception_before_snow != 0) setup_tracers(*interception);
  setup_tracers(*snow);
  if (interception_before_snow == 0) setup_tracers(*interception);
  interception->SetInitialised(1);
  CreateRouting();
  silting_up->SetupTracers(error, tracer_count, tracer_table, zone_statistics_registry.data(),
                           kZoneStatisticsCapacity);
  CheckError(error);
  silting_up->SetInitialised(1);
  groundwater->SetupTracers(error, tracer_count, tracer_table, zone_statistics_registry.data(),
                            kZoneStatisticsCapacity);
  CheckError(error);
  unsatzone->SetupTracers(error, tracer_count, tracer_table, zone_statistics_registry.data(),
                          kZoneStatisticsCapacity);
  CheckError(error);
  unsatzone->SetInitialised(1);
  if (surface_routing) {
    surface_routing->SetupTracers(error, tracer_count, tracer_table,
                                  zone_statistics_registry.data(), kZoneStatisticsCapacity);
    CheckError(error);
    surface_routing->SetInitialised(1);
  }
  HandOverSoilRunoff();
  special_output = std::make_unique<SpecialOutputClass>(setup, error, sub_steps);
  CheckError(error);
  // Data assimilation comes last: it takes the routing model's reservoirs.
  std::vector<SP_class*> reservoirs;
  routing->CollectReservoirs(reservoirs);
  assimilation =
      std::make_unique<data_assimilation>(setup, error, reservoirs, routing->LakeCellCounts());
  CheckError(error);
  assimilation->SetPondingScatter([model = routing.get()] { model->ScatterLakeState(); });
  assimilation->SetSnowSurvey([model = snow.get()](double** cells, bool solid, bool liquid) {
    model->TakeSurveyedSnow(cells, solid, liquid);
  });
  assimilation->SetInitialised(1);
  // River-link cells of the soil zone move to the process of their link (interaction above 1).
  unsatzone->prepareMPIReinfiltration(settings_object->decomposition.river_links);
  // The water-balance account of the soil zone's subbasins (a diagnostic of our own).
  water_balance = std::make_unique<WaterBalance>(
      stream, WaterBalance::Models{unsatzone.get(), evapotranspiration.get(), interception.get(),
                                   snow.get(), irrigation.get(), routing.get(), silting_up.get()});
  if (!water_balance->Active()) water_balance.reset();
}

void ModellApplication::CreateRouting() {
  int32_t error = 0;
  SubModelSetup routing_setup = setup;
  routing_setup.end_date = settings.start_date;
  // The unsaturated zone's storage mode (0 when it is off: nothing is read).
  const int32_t storage_mode = unsatzone->GetFlowControl() != 0 ? unsatzone->GetStorageMode() : 0;
  routing = std::make_unique<abflussmodellklasse>(error, routing_setup, tracer_count, tracer_table,
                                                  storage_mode);
  CheckError(error);
}

// Discharge routing takes one runoff per subbasin of the zone grid from the soil zone's
// subbasins of "zonegrid_soilmodel": both must be the same codes in the same order. They part
// where the two rankings read a cell differently (0.5: the integer part 0 for the zone grid,
// rounded to 1 for the soil zone), and routing would read past the soil zone's runoff.
void ModellApplication::CheckRoutedSubbasins() {
  const std::vector<ZoneRecord>& soil = unsatzone->soil_zones;
  const int32_t count = routing->zone_count;
  bool same = static_cast<int32_t>(soil.size()) == count + 1 && routing->zone_table != nullptr;
  for (int32_t z = 1; same && z <= count; ++z) same = soil[z][2] == routing->zone_table[z][2];
  if (same) return;
  ThrowFatal(stream, kGridFormatCode, "FATAL: discharge routing takes the runoff of ", count,
             " subbasins of the zone grid, but the soil zone computes ",
             soil.empty() ? 0 : soil.size() - 1,
             " subbasins of \"zonegrid_soilmodel\" with other codes: check both grids for codes "
             "that are no whole numbers");
}

// Rows n-o of the construction: the soil zone's runoff goes to routing (without the soil zone
// routing that is on ends with code 43), its records and runoff to the groundwater model, its
// runoff and storage file to the snow model.
void ModellApplication::HandOverSoilRunoff() {
  const bool soil_on = unsatzone->GetFlowControl() != 0;
  int32_t storage_mode = soil_on ? unsatzone->GetStorageMode() : 0;
  double** runoff = soil_on ? unsatzone->GetTotalRunoff() : nullptr;
  ReinfiltrationRecord* records = unsatzone->GetReinfiltrationRecords();
  const std::string* storage_file = unsatzone->GetStorageFileName();
  double** routed = runoff;
  LinkSurfaceRouting(routed, storage_file, storage_mode);
  if (routing->GetFlowControl() > 0 && soil_on) CheckRoutedSubbasins();
  if (routing->GetFlowControl() > 0) routing->SetQg(routed);
  routing->SetupLakes();
  if (routing->GetFlowControl() > 0) {
    routing->InitialiseRouting();
    routing->SetIrrigationDemand(irrigation ? irrigation->GetSurfaceWaterDemand() : nullptr);
    groundwater->SetReinfiltrationRecords(records);
    routing->SetReinfiltrationRecords(records);
    routing->ReadStorageState(storage_file, storage_mode);
    routing->SetInitialised(1);
  }
  routing->ApplyRestoredLakeLevels();
  LinkIrrigation(records, runoff);
  groundwater->SetQg(runoff != nullptr ? runoff[0] : nullptr);
  groundwater->SetInitialised(1);
  // Without the soil zone the glacier storages and the date of the land-use parameters still
  // carry a run on: they go to storage content files of the run's own, read when the run
  // continues a state (a model reads its state), the glacier storages with the snow model's.
  int32_t snow_mode = storage_mode;
  if (!soil_on) {
    own_storage_file = FormatText("velorn_storage_%03d", rank);
    storage_file = &own_storage_file;
    storage_mode = ReadsState() ? 1 : 0;
    snow_mode = snow->GetFlowControl() != 0 && snow->grid_read_parameter == 1 ? 1 : 0;
  }
  if (snow->GetFlowControl() != 0) {
    if (soil_on) snow->SetQg(runoff);
    // Each process reads its own storage content file; one that fails ends every process.
    AgreeOnFailure(stream, [&] {
      snow->ReadStorageState(storage_file != nullptr ? *storage_file : std::string(), snow_mode);
    });
    snow->SetInitialised(1);
  }
  // A warm start continues with the land-use parameters the stored run had at its end (the
  // snow model's albedo state, when read, stays).
  if ((storage_mode == 1 || storage_mode == 3) && storage_file != nullptr)
    settings_object->ContinueLanduseParameters(
        *storage_file, snow->GetFlowControl() != 0 && snow->albedo_state_read);
  snow->ContinuePermafrostThaw();
}

bool ModellApplication::ReadsState() {
  for (teilmodellklasse* model :
       std::initializer_list<teilmodellklasse*>{snow.get(), interception.get(), groundwater.get(),
                                                surface_routing.get(), silting_up.get()})
    if (model != nullptr && model->GetFlowControl() != 0 && model->grid_read_parameter == 1)
      return true;
  return false;
}

// Irrigation takes the soil zone's records and runoff and the routing model's arrays (process 0
// holds them; irrigation that is on without routing ends there with code 60).
void ModellApplication::LinkIrrigation(ReinfiltrationRecord* records, double** runoff) {
  if (!irrigation) return;
  irrigation->SetReinfiltrationRecords(records);
  irrigation->SetQg(runoff);
  irrigation->LinkSoilTracerGrids();
  irrigation->SetMaxIrrigationArrays(routing->GetMaxIrrigation(),
                                     routing->GetMaxIrrigationFromReservoirs(),
                                     routing->GetIrrigationSolute());
  const RoutingTargets* targets = routing->GetRoutingTargets();
  irrigation->SetRoutingTargets(targets != nullptr ? &targets->target : nullptr);
  irrigation->SetAbfrelTable(routing->GetAbfrelTable());
  irrigation->SetInitialised(1);
}

// Surface routing, when its section is on: constructed with the sub-step count and the dump
// options; it takes the direct runoff the unsaturated zone leaves in "directflow".
void ModellApplication::CreateSurfaceRouting() {
  if (SectionSwitch(compiled_control_file_name, "SurfaceRoutingModel") == 0) return;
  surface_routing = std::make_unique<surfaceroutingclass>(setup, sub_steps);
  CheckError(surface_routing->ConstructionError());
  surface_routing->SetDumpOptions(dump.on, dump.close, dump.repair, dump.maximum);
}

// With surface routing on, the unsaturated zone hands it baseflow and recession constants, it
// reads its storage section, and discharge routing takes its total runoff.
void ModellApplication::LinkSurfaceRouting(double**& runoff, const std::string* storage_file,
                                           int32_t mode) {
  if (!surface_routing || surface_routing->GetFlowControl() <= 0) return;
  surface_routing->SetBaseflow(unsatzone->GetBaseflow());
  surface_routing->SetDirectRunoffRecessionConstants(
      unsatzone->GetDirectRunoffRecessionConstants());
  surface_routing->SetInterflowRecessionConstants(unsatzone->GetInterflowRecessionConstants());
  // Each process reads its own storage content file; one that fails ends every process.
  AgreeOnFailure(stream, [&] {
    surface_routing->ReadStorageState(storage_file != nullptr ? *storage_file : std::string(),
                                      mode);
  });
  unsatzone->SetSurfaceRoutingActive(true);
  runoff = surface_routing->GetQg();
}

void ModellApplication::ShareGlacierGrid() {
  // The soil zone, interception and evapotranspiration leave a cell's glacier share to the
  // glacier part of the snow model; without the snow model that share's water would vanish.
  if (snow->GetFlowControl() == 0) {
    for (const char* name : {"ice_firn", "GlacierizedCells"}) {
      if (grid_registry->FindIdentifier(name) == 0) continue;
      ThrowFatal(stream, kGlacierSetupCode, "FATAL: error in control file, the grid \"", name,
                 "\" gives cells a glacier share, but [snow_model] is switched off: the glaciers "
                 "melt and store their water only in the snow model; switch it on or remove the "
                 "glacier grids from [standard_grids]");
    }
  }
  const char* identifier = snow->GlacierShareIdentifier();
  const int index = identifier != nullptr ? grid_registry->FindIdentifier(identifier) : 0;
  if (index == 0) return;
  double** share = (*grid_registry)[index].grid;
  if (evapotranspiration->GetFlowControl() != 0) evapotranspiration->glacier_fraction = share;
  if (groundwater->GetFlowControl() != 0) groundwater->glacier = share;
  interception->UseGlacierShareGrid(identifier);
  unsatzone->UseGlacierShareGrid(identifier);
}

void ModellApplication::LinkSoilAndSnow() {
  snow->SetHeatTransferActive(unsatzone->IsHeatTransferActive());
  // The snow model fills the soil columns' snow layers up to their limits.
  snow->SetLayeredSnowModel(unsatzone->IsLayeredSnowActive(), unsatzone->LayeredSnowLimits(),
                            unsatzone->GetFreshSnowTemperatureOffset());
}

std::clock_t ModellApplication::WaitClockTicks(std::clock_t ticks) {
  const std::clock_t start = std::clock();
  std::clock_t now = start;
  while (now - start < ticks) now = std::clock();
  return now;
}

std::unique_ptr<RunnableApplication> MakeModellApplication(DiagnosticStream& diag, int argc,
                                                           char** argv, int index) {
  return std::make_unique<ModellApplication>(diag, argc, argv, index);
}

}  // namespace velorn

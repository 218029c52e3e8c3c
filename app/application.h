// ModellApplication: one model run of one control file, from construction to shut-down.
//
// `main` (core/program_entry.h) builds one application per control file through
// MakeModellApplication, installs the signal handlers, calls run and ClearMemory and deletes it.
// The constructor (app/application.cpp) builds the two registries, the settings object with
// its stepwise set-up, the tracer definitions and the sub-models of this build in their fixed
// order, and wires them together. `run` (app/application_loop.cpp) is the time loop with its
// spin-up and pre-spin-up; the Ctrl-C menu, the control requests and the external coupling of
// each step live in app/application_steering.cpp (pieces in app/application_control.h);
// ClearMemory (app/application_shutdown.cpp) flushes, releases and deletes everything.
//
// Sub-models of this build: one meteorological interpolator per variable of [meteo_names],
// regional superposition, precipitation correction, radiation correction, evapotranspiration,
// snow, interception, silting-up, the unsaturated soil zone (with river links and lakes),
// surface routing, irrigation (which needs the soil zone's grids and
// discharge routing), groundwater flow, discharge routing (which ends with code 43 when it is on
// without the soil zone, which hands it runoff), data assimilation and special output. Without
// meteorological variables the date of every step is -9999 and a pass of the loop is one step;
// with them the first interpolator gives the date
// and the loop ends when every interpolator has reached the end of its data.
//
// Processes: every process builds the same objects and runs the same calls in the same order;
// the control state and the end of the time range are combined over all processes, so no process
// can leave the loop alone. Only process 0 reads the console and the synchronisation file and
// writes the semaphore files.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application_control.h"
#include "core/grid_registry.h"
#include "core/memory_handling.h"
#include "core/program_entry.h"
#include "core/state_manifest.h"
#include "core/submodel_setup.h"
#include "core/zone_statistics.h"
#include "setup/model_settings.h"
#include "setup/response_units.h"

namespace velorn {

class defaultini;
class tracer_ini_class;
struct TracerDefinition;
class RegionalSuperposition;
class expokorrklasse;
class SpecialOutputClass;
class meteointerpol;
class precicorrclass;
class verdunstungsmodellklasse;
class WaterBalance;
class interzeptionsmodellklasse;
class abflussmodellklasse;
class siltingupclass;
class irrigationclass;
struct ReinfiltrationRecord;
class gwflowclass;
class schneemodellklasse;
class data_assimilation;
class unsatzonmodellklasse;
class surfaceroutingclass;
class teilmodellklasse;

// Invalid maximum in "-dumpmode:".
inline constexpr int kDumpModeCode = 1061;
// Pre-spin-up without a first meteorological variable "temperature".
inline constexpr int kPreSpinUpTemperatureCode = 1035;
// Model variant of the settings object: land-use tables with root distribution, irrigation.
inline constexpr int32_t kModelVariant = 2;

// The first value of "[<section>]" in `control_file` (the switch of a sub-model): 0 when the
// file has no such section; 1 when the value is missing or no number, so that a section that
// cannot be read is never taken for "off".
int32_t SectionSwitch(const std::string& control_file, const std::string& section);

// The dump options of the command line.
struct DumpOptions {
  bool on = false;
  bool close = false;
  bool repair = false;
  int32_t maximum = 0;
};
// Reads "-dumpmode[:n]", "-closeAfterDump" and "-repairAfterDump" from args[1..]; writes the
// INFO entry of a maximum. A maximum without digits, with a sign or above the largest int is
// FATAL (kDumpModeCode).
DumpOptions ReadDumpOptions(DiagnosticStream& diag, const std::vector<std::string>& args);

class ModellApplication : public memory_handling, public RunnableApplication {
 public:
  // Builds the run of control file argv[index]; failures are thrown as ErrorCode after
  // "FATAL: exceptions in ModellApplication::init() caught!".
  ModellApplication(DiagnosticStream& diag, int argc, char** argv, int index);
  ~ModellApplication() override;

  // The time loop; returns the control state (0 normal end, 99 finished early).
  int run() override;
  // Flushes every buffer, releases and deletes every object of the run.
  void ClearMemory() override;
  // Busy-waits until the processor clock has advanced by `ticks`; returns the last reading.
  virtual std::clock_t WaitClockTicks(std::clock_t ticks);
  // Process 0: waits for the synchronisation file (see WaitForSynchronisationFile); 98 on a
  // stop chosen while waiting, after its FATAL entry.
  virtual int WaitForFile(const std::string& name, long interval_ms);
  // Process 0: the semaphore files; failures are reported as WARNING entries.
  void WriteSemaphoreFile(const std::string& name, const std::string& content);
  void WriteFinishSemaphore(const std::string& name);
  // Temperature pre-spin-up over the whole time range (called by run).
  void RunPreSpinUp();

  // Where process 0 reads the answers of the menus (standard input unless a test sets it).
  std::istream* console = &std::cin;

  // --- Fields ------------------------------------------------------------------------------------
  DiagnosticStream& stream;
  int initialised = 0;
  int rank = 0;
  CouplingDate previous_coupling;
  // The coupled program asked for the stop without saving (not the Ctrl-C menu).
  bool stop_by_partner = false;
  // The control state all processes agreed on last (HandleControlRequest).
  int agreed_control_state = 0;
  bool step_lengths_checked = false;
  ModelDate previous_step{};  // the date of the step done last (year 0: none yet)
  char coupling_interval = 'I';
  std::string control_file_name;
  std::string compiled_control_file_name;
  ModelSettings settings;
  SubModelSetup setup;
  double min_to_int_end = 0;
  int32_t meteo_count = 0;
  std::vector<std::string> variable_names;  // 1..meteo_count
  int16_t end_flag = 0;
  int32_t interception_method = 0;
  uint8_t interception_before_snow = 0;
  int64_t current_day = 0;
  int64_t current_month = 0;
  int64_t current_hour = 0;
  int64_t current_year = 0;
  int32_t sub_steps = 1;
  DumpOptions dump;
  // The manifest of the state this run writes: marked from the last step, finished at the end.
  std::optional<StateManifestWriter> state_manifest;
  std::unique_ptr<GridRegistry> grid_registry;
  GridRegistry* grid_registry_pointer = nullptr;
  std::vector<ZoneStatisticsRecord> zone_statistics_registry;
  int32_t spin_up_switch = 0;
  int32_t do_temperature_pre_spin_up = 0;
  int32_t repeat_count = 0;
  std::vector<HruRecord> response_units;
  int32_t tracer_count = 0;
  TracerDefinition* tracer_table = nullptr;

  std::unique_ptr<defaultini> settings_object;
  // Interpolators 1..meteo_count; element 0 stays empty.
  std::vector<std::unique_ptr<meteointerpol>> interpolators;
  std::unique_ptr<tracer_ini_class> tracer_definitions;
  std::unique_ptr<RegionalSuperposition> superposition;
  std::unique_ptr<precicorrclass> precipitation_correction;
  std::unique_ptr<expokorrklasse> radiation_correction;
  std::unique_ptr<verdunstungsmodellklasse> evapotranspiration;
  std::unique_ptr<interzeptionsmodellklasse> interception;
  std::unique_ptr<abflussmodellklasse> routing;
  std::unique_ptr<siltingupclass> silting_up;
  std::unique_ptr<irrigationclass> irrigation;
  std::unique_ptr<gwflowclass> groundwater;
  std::unique_ptr<schneemodellklasse> snow;
  std::unique_ptr<unsatzonmodellklasse> unsatzone;
  std::unique_ptr<surfaceroutingclass> surface_routing;  // null when its section is off
  std::unique_ptr<SpecialOutputClass> special_output;
  std::unique_ptr<data_assimilation> assimilation;
  std::unique_ptr<WaterBalance> water_balance;  // null when the soil zone is off
  // Without the soil zone, whose storage content file keeps them otherwise: this process's
  // storage content file of the glacier storages and the date of the land-use parameters,
  // "velorn_storage_<rank in three digits>" (empty until the soil zone's hand-overs).
  std::string own_storage_file;

 private:
  // Construction steps.
  void Construct(int argc, char** argv, int index);
  void CreateSettings();
  void CopySettings();
  void FillSubModelSetup();
  void CreateInterpolators();
  // The sub-models in the order of the run: the one place where a sub-model joins the
  // construction.
  void CreateSubModels(const std::vector<std::string>& args);
  // The soil zone's hand-overs to the snow model, before the tracer set-up.
  void LinkSoilAndSnow();
  // Every model weighs a cell's glacier part by the grid of glacier shares the glacier model
  // runs on: with both "ice_firn" and "GlacierizedCells" registered, each would otherwise take
  // the first it finds.
  void ShareGlacierGrid();
  // The soil zone's runoff arrays, records and storage file to the models that are on.
  // Irrigation's hand-overs: the soil zone's records and runoff, the routing model's arrays.
  void LinkIrrigation(ReinfiltrationRecord* records, double** runoff);
  void HandOverSoilRunoff();
  // True when a model that is on starts from the state it reads (its grid read switch).
  bool ReadsState();
  void CheckRoutedSubbasins();
  // The soil zone's end of step with the snow model's glacier flags.
  void FinishSoilStep();
  // Row o and the routing links: construction, runoff, lakes, initialisation, storage state.
  void CreateRouting();
  void CreateSurfaceRouting();
  void LinkSurfaceRouting(double**& runoff, const std::string* storage_file, int32_t mode);
  // Time loop steps (app/application_loop.cpp).
  int RunLoop();
  void TakeCurrentDate();
  // One time step: every call of the step, in the order of the run.
  void RunTimeStep();
  void CheckStepLengths(const ModelDate& step, const ModelDate& next);
  // The sub-models that scale their rates to an interval of their own (null where not made).
  std::array<teilmodellklasse*, 12> IntervalModels();
  // Every interpolator moves to its next record.
  void AdvanceInputs();
  // After the last step of a month: writes the completed rows of every table (the flush list of
  // the interrupt menu).
  void FlushAtMonthEnd();
  // True when the time range is exhausted on every process: on each, some interpolator (only
  // the first with `first_only`) has passed the end of its data.
  bool EndOfDataEverywhere(bool first_only = false);
  // WARNING naming each input that ended while others go on, with the date of its last record.
  void ReportShortInputs(std::size_t last);
  // The step length the periodic grids and the land-use parameters are given, in minutes.
  double StepMinutes();
  // Marks the state of the output folder incomplete: the step of the current date writes it.
  void StartStateManifest();
  // WARNING when the data ended before the last step of the model time range.
  void ReportEarlyEndOfData();
  // Steering (app/application_steering.cpp).
  void PollInterrupt();
  // Carries out the control state the processes last agreed on (at the poll, or after the
  // wait for the coupled program), never the live one: an interrupt that reaches one process
  // after the poll waits for the next poll there, instead of ending that process's time range
  // alone (its end-of-run writes would wait for ever for the others). `pre_spin_up`: the lists
  // of the pre-spin-up (no data assimilation).
  void HandleControlRequest(bool pre_spin_up);
  void SetEndDateToCurrent(bool pre_spin_up);
  void FlushDuringRun(bool pre_spin_up);
  [[noreturn]] void StopWithoutSaving();
  void CouplingAtStepStart();
  // `run_may_end`: false at the end of a spin-up pass that another pass follows.
  void CouplingAtStepEnd(bool run_may_end);
  CouplingDate CurrentDate() const;
  // Shut-down steps (app/application_shutdown.cpp).
  void FlushAtEnd();
  void MarkNotInitialised();
  void ReleaseModels();
  void DeleteObjects();
};

// The factory of the program: one ModellApplication per control file.
std::unique_ptr<RunnableApplication> MakeModellApplication(DiagnosticStream& diag, int argc,
                                                           char** argv, int index);

}  // namespace velorn

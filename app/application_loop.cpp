// The time loop of a run: spin-up repetitions, the pre-spin-up, and the calls of one time step
// in their fixed order.
#include <mpi.h>

#include <vector>

#include "app/application.h"
#include "balance/water_balance.h"
#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/output_files.h"
#include "core/signals.h"
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
#include "snow/snow_model.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {
namespace {

// Date parts of a step without meteorological input.
constexpr int64_t kNoDate = -9999;
// Step length handed to the periodic grids while the evapotranspiration model is off: one day.
constexpr double kDayMinutes = 1440;

// The interpolation methods whose regression is fitted to the stations in every step.
bool FitsStationRegression(const meteointerpol& interpolator) {
  return interpolator.method == 10 || interpolator.method == 11;
}

}  // namespace

int ModellApplication::run() {
  try {
    return RunResultOfControlState(RunLoop());
  } catch (const ErrorCode&) {
    stream << "FATAL: Exception in Modellapplication::run() caught!"
           << "[end-entry]";
    throw;
  }
}

int ModellApplication::RunLoop() {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (spin_up_switch > 0) {
    if (do_temperature_pre_spin_up > 0) RunPreSpinUp();
    // A finish chosen during the pre-spin-up ends the run: the main passes would otherwise run
    // over a time range cut to the pre-spin-up's date.
    if (repeat_count < 1 || ControlState() == kStateFinishSetUp) {
      end_flag = 1;
      return ControlState();
    }
  }
  if (end_flag != 0) return ControlState();
  int repetition = 1;
  while (true) {
    PollInterrupt();
    TakeCurrentDate();
    // The water account starts before the run's opening exchange: the water that an external
    // table puts into the soil columns then is booked as at every later exchange (it was taken
    // for part of the starting store, and a warm start's halves lacked it).
    if (water_balance) water_balance->BeforeStep();
    if (settings_object->IsCouplingActive()) CouplingAtStepStart();
    HandleControlRequest(false);
    // The step that reaches the end of the model time writes the state grids: from here on the
    // state in the output folder is marked incomplete until the end of the run has written it.
    // The processes agree on the step (a process whose data ended early keeps its last date).
    // A finish asked for (Ctrl-C choice 1, the coupling's "Finish") makes this step the last.
    if (!state_manifest) {
      std::vector<double> at_end = {ModelTimeKey(current_year, current_month, current_day,
                                                 current_hour) >= ModelTimeKey(setup.end_date) ||
                                            ControlState() == kStateFinishSetUp
                                        ? 1.0
                                        : 0.0};
      AllReduceMaximum(at_end);
      if (at_end[0] != 0) StartStateManifest();
    }
    const ModelDate step_date{current_year, current_month, current_day, current_hour};
    RunTimeStep();
    previous_step = step_date;
    // The first step is done: the files of an earlier run that the set-up replaced go.
    EndOfSetUp();
    FlushAtMonthEnd();
    // A finish asked for in this pass ends the run instead of starting the next repetition.
    const bool repeats = spin_up_switch == 1 && end_flag == 1 && repeat_count > repetition &&
                         ControlState() != kStateFinishSetUp;
    if (settings_object->IsCouplingActive()) CouplingAtStepEnd(!repeats);
    if (end_flag == 1) ReportEarlyEndOfData();
    if (spin_up_switch == 1 && end_flag == 1) {
      if (!repeats) return ControlState();
      stream << "INFO: SpinUp reached end of defined time range for run #" << repetition
             << ", resetting inputs and starting again now (repetition " << repetition + 1 << " of "
             << repeat_count << ")"
             << "[end-entry]";
      end_flag = 0;
      BeginOutputPass();
      for (std::size_t j = 1; j < interpolators.size(); ++j) {
        interpolators[j]->RewindInputs();
        interpolators[j]->AdvanceRecords();
      }
      // The observations the run assimilates, the routing's inflow and abstraction files are
      // inputs of the pass as well.
      assimilation->RewindLists();
      routing->RewindInputs();
      // The dates start again: the next pass opens with an exchange, as the first did, and so
      // waits for the partner's reply to the end of this pass.
      previous_coupling = CouplingDate{};
      ++repetition;
      continue;
    }
    if (end_flag != 0) return ControlState();
  }
}

// Interpolates the temperature alone over the whole time range, then rewinds it.
void ModellApplication::RunPreSpinUp() {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  bool temperature_later = false;
  for (std::size_t j = 2; j < interpolators.size(); ++j)
    temperature_later = temperature_later || interpolators[j]->name == "temperature";
  if (temperature_later) {
    ThrowFatal(stream, kPreSpinUpTemperatureCode,
               "FATAL: the temperature is interpolated, but it is not the first name in "
               "[meteo_names]: the pre-SpinUp interpolates the first variable alone, so the "
               "temperature must come first there.");
  }
  if (meteo_count < 1 || interpolators.size() < 2 || interpolators[1]->name != "temperature") {
    ThrowFatal(stream, kPreSpinUpTemperatureCode,
               "FATAL: temperature interpolation not found. This is required for pre-SpinUp! "
               "(no regions should be used for pre-SpinUp)");
  }
  meteointerpol& temperature = *interpolators[1];
  // The soil zone sums the degree days of the pre-spin-up and sets its soil temperatures from
  // them (it needs [heat_transfer]: code 1040).
  const bool soil_pre_spin_up = unsatzone != nullptr && unsatzone->GetFlowControl() != 0;
  while (end_flag == 0) {
    PollInterrupt();
    HandleControlRequest(true);
    temperature.GetDate(current_hour, current_day, current_month, current_year);
    if (FitsStationRegression(temperature)) temperature.ComputeStationRegression(0, meteo_count);
    if (static_cast<double>(current_hour) + min_to_int_end / 60.0 == 24.0) {
      stream << "temperature pre-SpinUp " << current_day << "." << current_month << "."
             << current_year << " " << current_hour << ". h "
             << "[end-entry]";
    }
    temperature.InterpolateStep(current_hour, current_day, current_month, current_year);
    temperature.WriteResultGrid();
    if (soil_pre_spin_up) unsatzone->AccumulatePreSpinUpTemperatures(current_hour);
    temperature.AdvanceRecords();
    if (EndOfDataEverywhere(true)) end_flag = 1;
  }
  stream << "INFO: pre-SpinUp reached end of defined time range. Soil-temperatures are going to "
            "be set now."
         << "[end-entry]";
  if (soil_pre_spin_up) unsatzone->SetPreSpinUpSoilTemperatures();
  end_flag = 0;
  temperature.RewindInputs();
  temperature.AdvanceRecords();
}

// The rows of a month reach the disk when its last step is done, so that a run that fails or
// is killed keeps what it computed and no table holds more than a month in memory. Every
// process sees the same dates and flushes at the same step.
void ModellApplication::FlushAtMonthEnd() {
  if (end_flag != 0 || interpolators.size() < 2) return;
  int64_t h = 0, d = 0, m = 0, y = 0;
  interpolators[1]->GetDate(h, d, m, y);
  if (m == current_month && y == current_year) return;
  FlushDuringRun(false);
}

void ModellApplication::TakeCurrentDate() {
  if (meteo_count > 0 && interpolators.size() > 1) {
    interpolators[1]->GetDate(current_hour, current_day, current_month, current_year);
    return;
  }
  current_hour = kNoDate;
  current_day = kNoDate;
  current_month = kNoDate;
  current_year = kNoDate;
}

// One time step, every call in the order of the run: the one place where a sub-model joins the
// step (its flush and release go to app/application_shutdown.cpp and app/application_steering.cpp).
// Models that this build does not contain have no call here.
void ModellApplication::RunTimeStep() {
  // A diagnostics file that no longer takes lines (a full disk) ends the run at the next step.
  stream.RequireWritten();
  const int64_t h = current_hour;
  const int64_t d = current_day;
  const int64_t m = current_month;
  const int64_t y = current_year;
  if (water_balance) water_balance->BeforeStep();
  // Interpolation: the station regressions, the precipitation correction around the
  // interpolation and the regional superposition.
  for (std::size_t j = 1; j < interpolators.size(); ++j) {
    if (FitsStationRegression(*interpolators[j]))
      interpolators[j]->ComputeStationRegression(0, meteo_count);
  }
  const bool superposition_active = superposition->GetFlowControl() != 0;
  if (!superposition_active) precipitation_correction->CorrectStationValues();
  for (std::size_t j = 1; j < interpolators.size(); ++j)
    interpolators[j]->InterpolateStep(h, d, m, y);
  superposition->RunStep(h, d, m, y);
  if (superposition_active || precipitation_correction->grid_mode)
    precipitation_correction->CorrectGrid();
  // Periodic grids, land-use parameters and the interpolated grids' output.
  const double minutes = StepMinutes();
  settings_object->ReadPeriodicGrids(h, d, m, y);
  settings_object->UpdateLanduseParameterGrids(h, d, m, y, minutes);
  for (std::size_t j = 1; j < interpolators.size(); ++j) interpolators[j]->WriteResultGrid();
  superposition->WriteOutput();
  // What the assimilation sets into the stores (a lake level, a snow survey) is the account's
  // input "assimilation"; the lake exchange books the lake step alone.
  routing->StartLakeExchange();
  const bool assimilating = water_balance && assimilation->GetFlowControl() != 0;
  if (assimilating) water_balance->BeforeAssimilation();
  assimilation->RunStep(h, d, m, y);
  if (assimilating) water_balance->AfterAssimilation();
  // Radiation, evapotranspiration and interception.
  radiation_correction->RunStep(h, d, m, y);
  evapotranspiration->ComputePotentialEvapotranspiration(h, d, m, y);
  if (irrigation) irrigation->RunStep(h, d, m, y);
  evapotranspiration->ComputeSnowEvaporation(h, d, m, y);
  // An interception method above 10 runs before snow (the snow model takes the throughfall).
  // The interception's tables of what the canopy holds take the glacier shares at the end of
  // the step, after the snow model's yearly glacier evaluation (FinishStep below).
  if (interception_before_snow != 0) {
    interception->ComputeStep(h, d, m, y);
    snow->RunSnowStep(h, d, m, y);
  } else {
    snow->RunSnowStep(h, d, m, y);
    interception->ComputeStep(h, d, m, y);
  }
  // The soil surface: silting-up first, then the real evapotranspiration.
  silting_up->RunStep(h, d, m, y);
  unsatzone->BeginStep(static_cast<int32_t>(h), static_cast<int32_t>(d), static_cast<int32_t>(m),
                       static_cast<int32_t>(y));
  if (surface_routing) surface_routing->BeginStep(h, d, m, y);
  evapotranspiration->BeginRealEvapotranspirationStep(h, d, m, y);
  groundwater->BeginStep(h, d, m, y);
  // The sub-steps of the soil, surface and groundwater models (the unsaturated zone's count).
  for (int k = 1; k <= sub_steps; ++k) {
    unsatzone->RunStep(h, d, m, y);
    if (surface_routing) surface_routing->RunStep(h, d, m, y);
    evapotranspiration->RunSubStep(h, d, m, y);
    groundwater->RunStep(h, d, m, y);
    special_output->RunStep(h, d, m, y, true, k);
  }
  snow->FinishStep(h, d, m, y);
  interception->FinishStep();
  unsatzone->ComputeDrainablePoreVolume();
  FinishSoilStep();
  if (surface_routing) surface_routing->FinishStep();
  evapotranspiration->FinishStep(h, d, m, y);
  groundwater->FinishStep();
  // Routing is the last model of the step: it takes the runoff the step produced.
  routing->RunStep(h, d, m, y);
  if (water_balance) water_balance->AfterStep(y);
  // Outputs of the step.
  settings_object->WriteStandardGrids(h, d, m, y);
  settings_object->WriteVariableGrids(h, d, m, y);
  settings_object->ResetStandardGridStatistics();
  settings_object->AccumulateStandardGridStatistics();
  settings_object->WriteStandardGridStatistics(h, d, m, y);
  special_output->RunStep(h, d, m, y, false, 0);
  AdvanceInputs();
  end_flag = EndOfDataEverywhere() ? 1 : 0;
  if (!step_lengths_checked && end_flag == 0 && interpolators.size() > 1) {
    step_lengths_checked = true;
    ModelDate next;
    interpolators[1]->GetDate(next.hour, next.day, next.month, next.year);
    CheckStepLengths(ModelDate{y, m, d, h}, next);
  }
}

// The soil zone's end of step: its runoff joins the glacier runoff that the snow model put into
// Qg of its glacierized subbasins.
void ModellApplication::FinishSoilStep() {
  if (unsatzone->GetFlowControl() == 0) return;
  std::vector<uint8_t> glacier(snow->glacier_shares.size(), 0);
  for (std::size_t i = 0; i < glacier.size(); ++i)
    glacier[i] = snow->GetFlowControl() != 0 && snow->glacier_shares[i].hasGlacier ? 1 : 0;
  unsatzone->FinishStep(glacier.empty() ? nullptr : glacier.data());
}

// Every sub-model scales its rates to its own time step, which the model steps through at the
// pace of the meteorological records: a step of another length (evapotranspiration at 2880
// minutes on daily data doubles it) is named once, after the first step.
void ModellApplication::CheckStepLengths(const ModelDate& step, const ModelDate& next) {
  const int64_t minutes = HoursBetween(step, next) * 60;
  if (minutes <= 0) return;
  for (teilmodellklasse* model : IntervalModels()) {
    if (model == nullptr || model->GetFlowControl() == 0 || model->GetTimeInterval() == minutes)
      continue;
    stream << "WARNING: the time step of " << model->module_name << " (" << model->GetTimeInterval()
           << " minutes) differs from the step of the meteorological "
           << "data (" << minutes << " minutes, from " << step.day << "." << step.month << "."
           << step.year << " " << step.hour << ". h to " << next.day << "." << next.month << "."
           << next.year << " " << next.hour << ". h); its rates per step assume its own step"
           << "[end-entry]";
  }
}

void ModellApplication::StartStateManifest() {
  // The step is the time from the step before, as the data give it (a run of one step, or the
  // first of a spin-up pass: the step length of the models).
  const ModelDate now{current_year, current_month, current_day, current_hour};
  const int64_t hours = previous_step.year > 0 ? HoursBetween(previous_step, now) : 0;
  state_manifest.emplace(stream, settings.default_output_directory, now,
                         hours > 0 ? 60.0 * static_cast<double>(hours) : StepMinutes());
}

// The evapotranspiration model's interval; without it the shortest interval of the sub-models
// that run (each steps at the data's pace, some at a multiple of it), and a day without any.
// Counting a day for each step of a sub-daily run without the evapotranspiration model gave
// the phenology's daily mean more minutes than a day has, which a warm start then refused.
std::array<teilmodellklasse*, 12> ModellApplication::IntervalModels() {
  return {radiation_correction.get(),
          superposition.get(),
          evapotranspiration.get(),
          interception.get(),
          snow.get(),
          unsatzone.get(),
          groundwater.get(),
          routing.get(),
          irrigation.get(),
          silting_up.get(),
          surface_routing.get(),
          special_output.get()};
}

double ModellApplication::StepMinutes() {
  if (evapotranspiration->GetFlowControl() != 0) return evapotranspiration->GetTimeInterval();
  double minutes = 0;
  for (teilmodellklasse* model : IntervalModels())
    if (model != nullptr && model->GetFlowControl() != 0 && model->GetTimeInterval() > 0 &&
        (minutes == 0 || model->GetTimeInterval() < minutes))
      minutes = model->GetTimeInterval();
  return minutes > 0 ? minutes : kDayMinutes;
}

void ModellApplication::AdvanceInputs() {
  for (std::size_t j = 1; j < interpolators.size(); ++j) interpolators[j]->AdvanceRecords();
}

bool ModellApplication::EndOfDataEverywhere(bool first_only) {
  // The data of a process end with the input that ends first: its next step would have no value
  // of that input. A process whose data go on keeps every process in the loop: all decide alike,
  // so none can wait in a collective call that the others have left. Without meteorological
  // input every pass is a single step.
  const std::size_t last =
      first_only ? std::min<std::size_t>(interpolators.size(), 2) : interpolators.size();
  bool ended = false, going = false;
  for (std::size_t j = 1; j < last; ++j)
    (interpolators[j]->IsEndOfData() != 0 ? ended : going) = true;
  int going_on = going && !ended ? 1 : 0;
  int any_going_on = 0;
  MPI_Allreduce(&going_on, &any_going_on, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (any_going_on == 0 && ended && going) ReportShortInputs(last);
  return any_going_on == 0;
}

void ModellApplication::ReportShortInputs(std::size_t last) {
  std::string going_on;
  for (std::size_t j = 1; j < last; ++j)
    if (interpolators[j]->IsEndOfData() == 0)
      going_on += (going_on.empty() ? "" : ", ") + interpolators[j]->name;
  for (std::size_t j = 1; j < last; ++j) {
    const meteointerpol& input = *interpolators[j];
    if (input.IsEndOfData() == 0) continue;
    int64_t h = 0, d = 0, m = 0, y = 0;
    input.GetDate(h, d, m, y);
    stream << "WARNING: the input file " << input.DatingFileName() << " of " << input.name
           << " ends with the record of " << d << "." << m << "." << y << " " << h
           << ". h, before the data of " << going_on << "; the run ends with that step"
           << "[end-entry]";
  }
}

void ModellApplication::ReportEarlyEndOfData() {
  if (meteo_count < 1 || ControlState() == kStateFinishSetUp) return;
  const ModelDate last{current_year, current_month, current_day, current_hour};
  const ModelDate& end = settings.end_date;
  if (ModelTimeKey(last) >= ModelTimeKey(end)) return;
  stream << "WARNING: the meteorological data end with the step of " << last.day << "."
         << last.month << "." << last.year << " " << last.hour
         << ". h, before the end of the model time range (" << end.day << "." << end.month << "."
         << end.year << " " << end.hour << ". h); the run ends there"
         << "[end-entry]";
}

}  // namespace velorn

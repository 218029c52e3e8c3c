// The time loop of a run: spin-up repetitions, the pre-spin-up, and the calls of one time step
// in their fixed order.
#include <mpi.h>

#include "core/application.h"
#include "core/error_code.h"
#include "core/signals.h"
#include "grids/special_output.h"
#include "meteo/radiation_correction.h"
#include "meteo/superposition.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// Date parts of a step without meteorological input.
constexpr int64_t kNoDate = -9999;
// Step length handed to the periodic grids while no evapotranspiration model sets it: one day.
constexpr double kDayMinutes = 1440;

}  // namespace

int ModellApplication::run() {
  try {
    return RunLoop();
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
    if (repeat_count < 1) {
      end_flag = 1;
      return ControlState();
    }
  }
  if (end_flag != 0) return ControlState();
  int repetition = 1;
  while (true) {
    PollInterrupt();
    TakeCurrentDate();
    if (settings_object->IsCouplingActive()) CouplingAtStepStart();
    HandleControlRequest(false);
    RunTimeStep();
    // A finish asked for in this pass ends the run instead of starting the next repetition.
    const bool repeats = spin_up_switch == 1 && end_flag == 1 && repeat_count > repetition &&
                         ControlState() != kStateFinishSetUp;
    if (settings_object->IsCouplingActive()) CouplingAtStepEnd(!repeats);
    if (spin_up_switch == 1 && end_flag == 1) {
      if (!repeats) return ControlState();
      stream << "INFO: SpinUp reached end of defined time range for run #" << repetition
             << ", resetting inputs and starting again now (repetition " << repetition + 1 << " of "
             << repeat_count << ")"
             << "[end-entry]";
      end_flag = 0;
      ++repetition;
      continue;
    }
    if (end_flag != 0) return ControlState();
  }
}

void ModellApplication::RunPreSpinUp() {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // The pre-spin-up interpolates the first meteorological variable, which must be the
  // temperature; without meteorological variables there is none.
  if (meteo_count < 1 || variable_names.size() < 2 || variable_names[1] != "temperature") {
    ThrowFatal(stream, kPreSpinUpTemperatureCode,
               "FATAL: temperature interpolation not found. This is required for pre-SpinUp! "
               "(no regions should be used for pre-SpinUp)");
  }
}

void ModellApplication::TakeCurrentDate() {
  current_hour = kNoDate;
  current_day = kNoDate;
  current_month = kNoDate;
  current_year = kNoDate;
}

// Steps 1 to 19 of a time step; models that this build does not contain have no call here.
void ModellApplication::RunTimeStep() {
  const int64_t h = current_hour;
  const int64_t d = current_day;
  const int64_t m = current_month;
  const int64_t y = current_year;
  superposition->RunStep(h, d, m, y);
  settings_object->ReadPeriodicGrids(h, d, m, y);
  settings_object->UpdateLanduseParameterGrids(h, d, m, y, kDayMinutes);
  superposition->WriteOutput();
  radiation_correction->RunStep(h, d, m, y);
  RunSubSteps();
  WriteStepOutputs();
  end_flag = EndOfDataEverywhere() ? 1 : 0;
}

void ModellApplication::RunSubSteps() {
  // The sub-step count of the soil, surface and groundwater models (the unsaturated zone's).
  for (int k = 1; k <= sub_steps; ++k) {
    special_output->RunStep(current_hour, current_day, current_month, current_year, true, k);
  }
}

void ModellApplication::WriteStepOutputs() {
  const int64_t h = current_hour;
  const int64_t d = current_day;
  const int64_t m = current_month;
  const int64_t y = current_year;
  settings_object->WriteStandardGrids(h, d, m, y);
  settings_object->WriteVariableGrids(h, d, m, y);
  settings_object->ResetStandardGridStatistics();
  settings_object->AccumulateStandardGridStatistics();
  settings_object->WriteStandardGridStatistics(h, d, m, y);
  special_output->RunStep(h, d, m, y, false, 0);
}

bool ModellApplication::EndOfDataEverywhere() {
  // A process whose inputs go on keeps every process in the loop: all decide alike, so none
  // can wait in a collective call that the others have left. Without meteorological input every
  // pass is a single step.
  int going_on = 0;
  int any_going_on = 0;
  MPI_Allreduce(&going_on, &any_going_on, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return any_going_on == 0;
}

}  // namespace velorn

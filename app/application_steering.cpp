// Steering of a running model: the Ctrl-C poll and menu, the control requests (finish, stop,
// flush), the waiting for the synchronisation file and the external coupling of each step.
#include <mpi.h>

#include <cstdlib>
#include <ctime>

#include "app/application.h"
#include "core/error_code.h"
#include "core/signals.h"
#include "evaporation/evapotranspiration.h"
#include "evaporation/interception_model.h"
#include "grids/special_output.h"
#include "lateral/groundwater_model.h"
#include "lateral/silting_up_model.h"
#include "lateral/surface_routing_model.h"
#include "meteo/meteo_interpolator.h"
#include "meteo/radiation_correction.h"
#include "meteo/superposition.h"
#include "routing/data_assimilation.h"
#include "routing/irrigation_model.h"
#include "routing/routing_model.h"
#include "setup/defaultini.h"
#include "snow/snow_model.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void ModellApplication::PollInterrupt() {
  agreed_control_state = PollControlState(stream, console);
}

void ModellApplication::HandleControlRequest(bool pre_spin_up) {
  const int state = agreed_control_state;
  agreed_control_state = kStateRunOn;
  if (state <= kStateRunOn) return;
  switch (state) {
    case kStateFinish:
      SetEndDateToCurrent(pre_spin_up);
      SetControlState(kStateFinishSetUp);
      break;
    case kStateStopWithoutSaving:
      StopWithoutSaving();
    case kStateFlushAndGoOn:
      FlushDuringRun(pre_spin_up);
      SetControlState(kStateRunOn);
      break;
    default:
      SetControlState(kStateRunOn);
      break;
  }
  EnableInterruptHandler();
}

// The time range ends with the current record: every model takes it as its end date.
void ModellApplication::SetEndDateToCurrent(bool pre_spin_up) {
  for (std::size_t j = 1; j < interpolators.size(); ++j) interpolators[j]->SetEndDateToCurrent();
  // The date of the current record comes from the first interpolator; a run without one has
  // the date of its single step.
  if (interpolators.size() > 1)
    interpolators[1]->GetDate(current_hour, current_day, current_month, current_year);
  const int64_t y = current_year;
  const int64_t m = current_month;
  const int64_t d = current_day;
  const int64_t h = current_hour;
  radiation_correction->SetEndDate(y, m, d, h);
  superposition->SetEndDate(y, m, d, h);
  evapotranspiration->SetEndDate(y, m, d, h);
  snow->SetEndDate(y, m, d, h);
  interception->SetEndDate(y, m, d, h);
  silting_up->SetEndDate(y, m, d, h);
  // Every model ends its time range here, so each writes its state at the end of this step.
  if (irrigation) irrigation->SetEndDate(y, m, d, h);
  if (unsatzone) unsatzone->SetEndDate(y, m, d, h);
  if (surface_routing) surface_routing->SetEndDate(y, m, d, h);
  groundwater->SetEndDate(y, m, d, h);
  if (routing) routing->SetEndDate(y, m, d, h);
  settings_object->SetEndDate(y, m, d, h);
  special_output->SetEndDate(y, m, d, h);
  // The pre-spin-up leaves data assimilation out.
  if (!pre_spin_up && assimilation) assimilation->SetEndDate(y, m, d, h);
}

// The flush list of a Ctrl-C choice 3 or "SaveAndContinue".
void ModellApplication::FlushDuringRun(bool pre_spin_up) {
  for (std::size_t j = 1; j < interpolators.size(); ++j) interpolators[j]->FlushBuffers();
  superposition->FlushBuffers();
  evapotranspiration->FlushBuffers();
  snow->FlushBuffers();
  interception->FlushBuffers();
  routing->FlushBuffers();
  silting_up->FlushBuffers();
  if (irrigation) irrigation->FlushBuffers();
  if (unsatzone) unsatzone->FlushBuffers();
  if (surface_routing) surface_routing->FlushBuffers();
  groundwater->FlushBuffers();
  settings_object->FlushStandardGridStatistics();
  special_output->FlushBuffers();
  static_cast<void>(pre_spin_up);
}

void ModellApplication::StopWithoutSaving() {
  if (stop_by_partner)
    stream << "WARNING: program stopped without saving by the command StopWithoutSaving of the "
              "coupled program (file "
           << settings_object->GetSemaphoreFileName() << ")!"
           << "[end-entry]";
  else
    stream << "WARNING: program manually killed by pressing Ctrl-C and selecting 2!"
           << "[end-entry]";
  stream.FlushScreen();
  // Every process ends here alike, without saving anything: the program entry closes the
  // diagnostics and ends with the code.
  throw RunStopped{kUserStopCode};
}

CouplingDate ModellApplication::CurrentDate() const {
  return CouplingDate{current_hour, current_day, current_month, current_year};
}

void ModellApplication::CouplingAtStepStart() {
  coupling_interval = settings_object->GetCouplingInterval();
  if (!CouplingDue(coupling_interval, previous_coupling, CurrentDate(), false, false)) return;
  if (rank == 0) {
    const int before = ControlState();
    const int found = WaitForFile(settings_object->GetSemaphoreFileName(),
                                  static_cast<long>(settings_object->GetWaitInterval()));
    stop_by_partner = found != 0 && before != kStateStopWithoutSaving &&
                      ControlState() == kStateStopWithoutSaving;
  }
  MPI_Barrier(MPI_COMM_WORLD);
  SetControlState(CombineControlState(ControlState()));
  agreed_control_state = ControlState();
  // Stopped in the waiting menu: there is no file to exchange; the stop follows at once.
  if (ControlState() == kStateStopWithoutSaving) return;
  previous_coupling = CurrentDate();
  settings_object->ExchangeExternalGrids(current_year, current_month, current_day, current_hour);
  if (settings_object->HasExternalGroundwaterTable()) {
    unsatzone->ApplyExternalGroundwaterTable();
    unsatzone->externalTableApplied = true;
  }
}

void ModellApplication::CouplingAtStepEnd(bool run_may_end) {
  // The interpolators have moved on: the date is that of the next record.
  TakeCurrentDate();
  coupling_interval = settings_object->GetCouplingInterval();
  const CouplingDate now = CurrentDate();
  if (!CouplingDue(coupling_interval, previous_coupling, now, true, end_flag != 0)) {
    settings_object->AccumulateExternalGrids();
    return;
  }
  const bool ended = end_flag != 0;
  settings_object->WriteExternalGrids(
      static_cast<int32_t>(now.hour), static_cast<int32_t>(now.day),
      static_cast<int32_t>(now.month), static_cast<int32_t>(now.year),
      ended || now.hour != previous_coupling.hour, ended || now.day != previous_coupling.day,
      ended || now.month != previous_coupling.month, ended || now.year != previous_coupling.year);
  if (rank == 0) {
    const std::string name = settings_object->GetExternalSemaphoreFileName();
    // The end of a spin-up pass that is followed by another is no end of the run: the partner
    // gets the content of an interval end and the run waits for it again.
    if (ended && run_may_end) {
      WriteFinishSemaphore(name);
      WriteFinishSemaphore(name + "_Done");
    } else {
      WriteSemaphoreFile(name, settings_object->GetExternalSemaphoreContent());
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

int ModellApplication::WaitForFile(const std::string& name, long interval_ms) {
  SynchronisationWait wait;
  wait.console = console;
  wait.sleep = [](const PollPause& pause) {
    timespec request{pause.seconds, pause.nanoseconds};
    if (pause.seconds > 0 || pause.nanoseconds > 0) nanosleep(&request, nullptr);
  };
  wait.enable_interrupts = [] { EnableInterruptHandler(); };
  try {
    return WaitForSynchronisationFile(stream, name, interval_ms, wait);
  } catch (const ErrorCode&) {
    stream << "FATAL: Exception in Modellapplication::WaitForFile() caught!"
           << "[end-entry]";
    throw;
  }
}

void ModellApplication::WriteSemaphoreFile(const std::string& name, const std::string& content) {
  velorn::WriteSemaphoreFile(stream, name, content);
}

void ModellApplication::WriteFinishSemaphore(const std::string& name) {
  velorn::WriteSemaphoreFile(stream, name, kFinishCommand);
}

}  // namespace velorn

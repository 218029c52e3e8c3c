// Shut-down of a run: flush every buffer, release the tracer data and the models, delete every
// object in a fixed order and free the registries.
#include <mpi.h>

#include "app/application.h"
#include "balance/water_balance.h"
#include "core/error_code.h"
#include "core/output_files.h"
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

namespace velorn {

void ModellApplication::ClearMemory() {
  try {
    // The outputs are written completely before the run reports success: the tables and the
    // point files here, the water balance, lake and storage files in the release. A write that
    // fails (a full disk) on any process ends the run with its FATAL entry instead; the
    // barrier keeps process 0 from reporting success before every process has written.
    // The state goes to the output folder between the marks of its manifest: a run that ends
    // before the second leaves its state marked incomplete (core/state_manifest.h).
    // The mark was set when the last step began, whose grids are state too.
    if (initialised != 0) {
      if (!state_manifest) StartStateManifest();
      FlushAtEnd();
    } else {
      MarkNotInitialised();
    }
    variable_names.clear();
    ReleaseModels();
    if (state_manifest) state_manifest->Finish();
    state_manifest.reset();
    MPI_Barrier(MPI_COMM_WORLD);
    stream.RequireWritten();
    stream << "reached end of simulation sucessfully"
           << "[end-entry]";
    stream << "o.k.\n"
           << "[end-entry]";
    stream << "deleting modules..."
           << "[end-entry]";
    DeleteObjects();
  } catch (const ErrorCode&) {
    stream << "FATAL: Exception in Modellapplication::ClearMemory() caught!"
           << "[end-entry]";
    throw;
  }
}

// The flush list of the end of a run.
void ModellApplication::FlushAtEnd() {
  for (std::size_t j = 1; j < interpolators.size(); ++j)
    if (interpolators[j]) interpolators[j]->FlushBuffers();
  if (superposition) superposition->FlushBuffers();
  if (evapotranspiration) evapotranspiration->FlushBuffers();
  if (snow) snow->FlushBuffers();
  if (interception) interception->FlushBuffers();
  if (routing) routing->FlushBuffers();
  if (silting_up) silting_up->FlushBuffers();
  if (irrigation) irrigation->FlushBuffers();
  if (unsatzone) unsatzone->FlushBuffers();
  if (surface_routing) surface_routing->FlushBuffers();
  if (groundwater) groundwater->FlushBuffers();
  // Flushed: the release must not write the control point records a second time.
  if (groundwater) groundwater->SetInitialised(0);
  if (special_output) special_output->FlushBuffers();
  if (settings_object) settings_object->FlushStandardGridStatistics();
}

// Construction did not finish: nothing is flushed, every object is marked not initialised.
void ModellApplication::MarkNotInitialised() {
  for (std::size_t j = 1; j < interpolators.size(); ++j)
    if (interpolators[j]) interpolators[j]->SetInitialised(0);
  if (superposition) superposition->SetInitialised(0);
  if (evapotranspiration) evapotranspiration->SetInitialised(0);
  if (snow) snow->SetInitialised(0);
  if (interception) interception->SetInitialised(0);
  if (routing) routing->SetInitialised(0);
  if (silting_up) silting_up->SetInitialised(0);
  if (irrigation) irrigation->SetInitialised(0);
  if (unsatzone) unsatzone->SetInitialised(0);
  if (surface_routing) surface_routing->SetInitialised(0);
  if (groundwater) groundwater->SetInitialised(0);
  if (radiation_correction) radiation_correction->SetInitialised(0);
  if (precipitation_correction) precipitation_correction->SetInitialised(0);
  if (tracer_definitions) tracer_definitions->SetInitialised(0);
  if (special_output) special_output->SetInitialised(0);
  if (settings_object) settings_object->SetInitialised(0);
}

void ModellApplication::ReleaseModels() {
  if (water_balance) water_balance->Finish(settings.default_output_directory);
  for (std::size_t j = interpolators.size(); j-- > 1;)
    if (interpolators[j]) interpolators[j]->ReleaseMemory();
  if (groundwater) groundwater->ReleaseTracers();
  if (snow) snow->ReleaseTracers();
  if (interception) interception->ReleaseTracers();
  if (silting_up) silting_up->ReleaseTracers();
  if (irrigation) irrigation->ReleaseTracers();
  if (superposition) superposition->ReleaseTracers();
  if (assimilation) assimilation->ReleaseMemory();
  // Routing first: it creates the storage file that the soil and surface models append to.
  const bool routing_active = routing && routing->GetFlowControl() != 0;
  if (routing) routing->ReleaseMemory();
  // The soil zone appends its storage section to the file that the routing model wrote, the
  // settings object the date of the land-use parameters. Without the soil zone the run's own
  // file is created anew here (it replaces the state of an earlier run in the output folder)
  // and takes that date; the snow model appends the glacier storages to either.
  const bool soil_active = unsatzone && unsatzone->GetFlowControl() != 0;
  const std::string* storage_file =
      soil_active ? unsatzone->GetStorageFileName() : &own_storage_file;
  const std::string storage_name =
      storage_file != nullptr && initialised != 0 ? *storage_file : std::string();
  if (unsatzone) unsatzone->FinishRun(routing_active);
  if (!soil_active && !storage_name.empty())
    WriteWholeFile(stream, kWriteErrorCode, settings.default_output_directory + storage_name, "");
  if (!storage_name.empty() && settings_object)
    settings_object->AppendLanduseEvaluationDate(storage_name);
  // Surface routing appends its section when routing or the soil zone wrote the file.
  if (surface_routing) surface_routing->ReleaseArrays(routing_active || soil_active);
  if (silting_up) silting_up->ReleaseMemory();
  if (irrigation) irrigation->ReleaseMemory();
  if (groundwater) groundwater->ReleaseMemory();
  if (interception) interception->ReleaseMemory();
  if (snow) snow->ReleaseMemory();
  if (evapotranspiration) evapotranspiration->ReleaseMemory();
  if (radiation_correction) radiation_correction->ReleaseMemory();
  if (superposition) superposition->ReleaseMemory();
  if (precipitation_correction) precipitation_correction->ReleaseMemory();
  if (tracer_definitions) tracer_definitions->ReleaseMemory();
  tracer_table = nullptr;
  tracer_count = 0;
  if (special_output) special_output->ReleaseMemory();
  if (settings_object) settings_object->ReleaseMemory();
}

// The settings object goes last: the others point into its tables. The registries are freed
// after every object, so that no destructor finds them gone.
void ModellApplication::DeleteObjects() {
  while (interpolators.size() > 1) interpolators.pop_back();
  interpolators.clear();
  meteo_count = 0;
  tracer_definitions.reset();
  assimilation.reset();
  water_balance.reset();
  routing.reset();
  irrigation.reset();
  silting_up.reset();
  groundwater.reset();
  surface_routing.reset();
  unsatzone.reset();
  interception.reset();
  snow.reset();
  evapotranspiration.reset();
  radiation_correction.reset();
  superposition.reset();
  precipitation_correction.reset();
  special_output.reset();
  settings_object.reset();
  zone_statistics_registry.clear();
  zone_statistics_registry.shrink_to_fit();
  response_units.clear();
  grid_registry_pointer = nullptr;
  grid_registry.reset();
}

}  // namespace velorn

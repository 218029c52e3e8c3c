// gwflowclass: the lake part of the control file, the step bracket, grid output, the buffered
// control point file, coupling setters and release.
//
// Codes: 28 (control file, or lakes without "ponding_storage"), 214 (lakes without
// Use-Pond-Flag 1, invalid lake method), 11 (closing), 65 (control point file).
#include <cerrno>
#include <cstdio>

#include "core/error_code.h"
#include "core/output_files.h"
#include "core/signals.h"
#include "core/string_helpers.h"
#include "lateral/groundwater_model.h"

namespace velorn {

void gwflowclass::ReadLakeSection(const std::string& header) {
  if (GetFlowControl() == 0) return;
  if (registry->FindIdentifier("lake_codes") == 0) {
    Diag() << "INFO: no LAKE-grid was found in " << module_name << "\n"
           << "Lake modelling is switched off for " << module_name << ".\n"
           << "[end-entry]";
    return;
  }
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, diag))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  FindSection(header, 1);
  ReadValue(*control_file, lake_flow_control, "flow control parameter for ");
  SwitchLakesOffForResponseUnits(lake_flow_control);
  if (lake_flow_control == 0) {
    control_file->Close();
    return;
  }
  if (pond_flag != 1) {
    ThrowFatal(Diag(), kGwLakeCode,
               "FATAL: \n=======================================\n!!!! ERROR !!!! \n\n",
               "Error in initialization method for ", header, ".\n", "pond_use must be set in ",
               module_name, "\n", "for using the ", header,
               "\n\n=======================================\n");
  }
  ReadValue(*control_file, lake_method, "initialization method for ");
  control_file->Close();
  if (registry->FindIdentifier("ponding_storage") == 0) {
    ThrowFatal(Diag(), kControlFileOpenCode,
               "FATAL: \n=======================================\n!!!! ERROR !!!! \n\n",
               "\nLAKE-grid was found, but no POND-Grid. For using lakes,",
               "\nboth grids must be present.", "\n\n=======================================\n");
  }
  if (lake_method != 1 && lake_method != 2) {
    ThrowFatal(Diag(), kGwLakeCode,
               "FATAL: \n=======================================\n!!!! ERROR !!!! \n\n ",
               "Error in initialization method for ", header, ".\n", "Lake initialization method (",
               lake_method, ") not valid.\n",
               "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n",
               "In either case, theta_soil will be set to saturation,\n",
               "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n",
               "will be set to 0.", "\n\n=======================================\n");
  }
}

void gwflowclass::BeginStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  ResetAccountStep();
}

void gwflowclass::FinishStep() {
  if (GetFlowControl() == 0) return;
  WriteGridOutput(baseflow_index, 1, false);
  WriteGridOutput(account_storage_index, 1, false);
  for (int l = 1; l <= layer_count; ++l) {
    const GwLayer& layer = layers[l];
    for (int index : {layer.head_index, layer.head_old_index, layer.flow_x_index,
                      layer.flow_y_index, layer.balance_index})
      WriteGridOutput(index, 1, false);
  }
  FinishTracerStep();
}

int32_t gwflowclass::SetQg(double* runoff) {
  if (GetFlowControl() != 0) qg = runoff;
  return flow_control;
}

int32_t gwflowclass::SetReinfiltrationRecords(void* records) {
  if (GetFlowControl() != 0) reinfiltration_records = records;
  return flow_control;
}

void gwflowclass::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  for (GwTracer& tracer : gw_tracers)
    for (GwTracerLayer& layer : tracer.layers)
      if (layer.statistics) layer.statistics->FlushBuffers();
  if (control_row >= 1) WriteControlPointFluxes(control_point_file, control_count, control_buffer);
}

void gwflowclass::WriteControlPointFluxes(const std::string& name, int64_t& count,
                                          std::vector<GwControlRecord>& buffer) {
  if (count == 0) return;
  SigintIgnoredScope no_interrupt;
  Diag() << "write " << name;
  errno = 0;
  std::FILE* file = OpenOutputFile(name, "a+");
  if (file == nullptr)
    ThrowFatal(Diag(), kGwControlPointWriteCode, "FATAL: error opening file ", name,
               SystemReason(ErrnoOrIo()));
  std::string text;
  for (int64_t i = 0; i < count; ++i) {
    const GwControlRecord& record = buffer[static_cast<std::size_t>(i)];
    text += FormatText("%ld\t%ld\t%ld\t%ld", record.date[0], record.date[1], record.date[2],
                       record.date[3]);
    for (int l = 1; l <= layer_count; ++l) {
      const double* v = &record.values[static_cast<std::size_t>(6 * (l - 1) + 1)];
      text += FormatText("\t%g\t%g\t%g\t%g\t%g\t%g", v[0], v[1], v[2], v[3], v[4], v[5]);
    }
    text += "\n";
  }
  CheckedFile out(Diag(), kGwControlPointWriteCode, name, file);
  out.Write(text);
  out.Close();
  const int64_t bytes = ((6 * layer_count + 1) * 8 + 32) * count;
  Diag() << "(" << bytes << " of " << kGwControlBufferBytes << " buffer-bytes)"
         << "[end-entry]";
  count = 0;
}

void gwflowclass::ReleaseMemory() {
  if (GetFlowControl() != 0) {
    // Records still buffered are written here only while the application has not flushed them.
    if (control_row > 0 && initialised != 0)
      WriteControlPointFluxes(control_point_file, control_count, control_buffer);
    control_buffer.clear();
    for (int l = 1; l <= layer_count; ++l) {
      GwLayer& layer = layers[static_cast<std::size_t>(l)];
      for (int index : {layer.head_index, layer.head_old_index, layer.head_old_old_index,
                        layer.tx_index, layer.ty_index, layer.flow_x_index, layer.flow_y_index,
                        layer.balance_index, layer.leakage_index, layer.upper_limit_index})
        if (index > 0) UnregisterGrid(index);
    }
    layers.clear();
  }
  modelobject::ReleaseMemory();
}

}  // namespace velorn

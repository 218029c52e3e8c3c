// The soil zone's section "[unsatzon_model]" of the storage content file: the state of the
// runoff concentration (flow-time-zone buffers and linear-storage outflows of the water and
// every tracer) kept for a warm start, with the per-subbasin parameters for checking only.
//
// Written at the end of a run into the process's own file (the name ends in "_<rank>"), appended
// after the routing model's section or created anew; read during the second-stage set-up of a
// run in storage mode 1, after the zones have been sized. The reader finds the section by the
// text "unsatzon_model" anywhere in a line, so the order of the sections does not matter.
// The parameters are printed with "%g" (checked to a relative 1e-5), the buffers and storages
// with 17 significant digits, which read back to the same doubles: a warm start continues the
// translation and the storages exactly.
//
// Failures: a file that cannot be read is code 64, a missing section or any stored value that
// does not agree with this run (subbasins, codes, parameters, tracer count, zone counts, five
// fields per record) is code 71. A file that cannot be written would lose the state: the writer
// ends the run with code 18 and a FATAL entry naming the file and the system's reason.
#pragma once

#include <string>
#include <vector>

#include "core/diagnostic_stream.h"
#include "unsatzone/runoff_concentration.h"

namespace velorn {

inline constexpr int kStorageFileOpenCode = 64;
inline constexpr int kStorageFileContentCode = 71;

// The per-subbasin parameters of the section (1..n), in the order of its lines.
struct StorageParameters {
  const std::vector<double>* codes = nullptr;
  const std::vector<double>* kelsqd = nullptr;
  const std::vector<double>* kelsqi = nullptr;
  const std::vector<double>* drainage_density = nullptr;
  const std::vector<double>* inverse_recession = nullptr;
  const std::vector<double>* max_baseflow = nullptr;
  const std::vector<double>* snow_runoff_fraction = nullptr;
  int32_t substeps = 1;  // sub-steps of a step (the stored water sums count each of them)
};

// True when a stored value agrees with the control file's: relative difference of at most 1e-5
// for a stored value other than 0, exact equality for a stored 0; NaN never agrees.
bool StoredValueAgrees(double stored, double control);

// Writes the section (appending when `append`, else creating the file); a file that cannot be
// opened or written ends the run (FATAL 18 naming it with the system's reason).
void WriteStorageSection(DiagnosticStream& diag, const std::string& path, bool append,
                         const RunoffConcentration& runoff, const StorageParameters& parameters);

// The files of a warm start are "<base>_<rank>", one per process. What they hold per process are
// its parts of the subbasins' runoff on its way (added up over the processes as it arrives), no
// value of a cell: the files of a run with the same process count read back to the same sums
// whatever cells each process held. A file "<base>_<size>" means the state was written by more
// processes, whose parts beyond this run's last rank would be lost: FATAL 71 naming it.
void RefuseStorageFilesOfMoreProcesses(DiagnosticStream& diag, const std::string& base_path,
                                       int size);

// Reads the section into the buffers (records 1..maxzeit) and storages of `runoff`, whose zones
// must already be sized; checks every stored parameter against this run's.
void ReadStorageSection(DiagnosticStream& diag, const std::string& path,
                        RunoffConcentration& runoff, const StorageParameters& parameters);

}  // namespace velorn

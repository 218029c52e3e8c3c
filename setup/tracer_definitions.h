// Solute tracers of [substance_transport]: TracerDefinition and its reader tracer_ini_class.
//
// The application constructs one tracer_ini_class per run after the interpolators; it reads the
// section from the compiled control file and hands out the tracer count and the table (indexed
// 1..count, entry 0 unused), which the application passes to the tracer set-up of the
// sub-models. The table stays owned by the object until its release.
//
// Section layout: a count line (decimal integer, at most 9; 0 or less means no tracers), then
// one line per tracer: a name (its first 3 characters, lower case, padded with "_") and keyword
// entries in any order, for example
//   NO3 non_radioactive evaporating min_conc = 0 max_conc = 50 mg/l soilini = 1 gwini = 2
//       statcode = 5 gridcode = 1 path = out/ statext = .sta gridext = .grd
// A keyword is found anywhere in the line (its first occurrence counts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/modelobject.h"
#include "core/tracer_bookkeeping.h"  // TracerDefinition

namespace velorn {

inline constexpr int32_t kMaxTracers = 9;
inline constexpr int kTooManyTracersCode = 58;
inline constexpr int kDuplicateTracerCode = 59;
inline constexpr int kTracerParameterCode = 56;
// Longest text of "path =", "statext =" and "gridext =".
inline constexpr std::size_t kMaxTracerTextLength = 299;

// The tracer name of a line: its first word cut to 3 characters, A-Z lowered, padded with "_".
std::string TracerName(const std::string& line);

// Reads the keywords of tracer `tracer` (1-based) of `count` from its line into `definition`;
// a missing or bad value writes its "FATAL: " entry and throws code 56.
void ParseTracerKeywords(DiagnosticStream& diag, const std::string& line, int32_t tracer,
                         int32_t count, TracerDefinition& definition);

class tracer_ini_class : public modelobject {
 public:
  // Reads [substance_transport] from `control_file_name` (the compiled file). Never throws:
  // a failure sets `error_code` (103 for an exception that is not an error code). On success
  // `tracer_count` and `tracer_table` receive the count and the table (0 and null without
  // tracers). The remaining arguments are those of the model-object base.
  tracer_ini_class(int32_t& error_code, DiagnosticStream* diag_stream,
                   const std::string& control_file_name_arg, int32_t unused, int32_t& tracer_count,
                   TracerDefinition*& tracer_table, bool write_ascii_arg, bool write_double_arg,
                   bool write_netcdf_arg, const std::string& input_directory_arg,
                   const std::string& output_directory_arg, MpiLayout* mpi_arg,
                   int32_t response_unit_switch_arg,
                   std::vector<HruRecord>* response_unit_table_arg);

  // Frees the table, then the model-object release.
  void ReleaseMemory() override;

  int32_t count = 0;
  std::vector<TracerDefinition> tracers;  // 0..count; empty without tracers

 private:
  void ReadTracers();
  void TakeWrittenGridForm(TracerDefinition& definition);
};

}  // namespace velorn

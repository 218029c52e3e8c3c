// The subbasin block of [unsatzon_model]: one line of subbasin codes and six lines of runoff
// parameters per given code, spread over every subbasin (zone) of the soil model's zone table.
//
// Read by the constructor of the unsaturated zone (unsatzone/unsatzone_section.cpp) from the
// open control file; unit-tested on a text. Layout (codes 1..8, three given codes):
//
//   1   3   8         codes: ascending, ending with the largest zone code
//   3   3   3         kelsqd (h): direct-runoff recession constant
//   8   8   8         kelsqi (h): interflow recession constant
//   14  14  14        channel network density
//   0.4 0.4 0.4       kelsqlat: base-flow recession constant
//   0.01 0.01 0.01    QB-Red.Faktor: largest base flow
//   0.1 0.1 0.1       SnowRunoff_fraction
//
// A zone without a code of its own takes the parameters of the given code before it. When the
// first code is not the first zone's, the first zone is taken as given with its own code (and
// its values as the first column), whether the second or a later zone's code comes first, so
// no zone is left without parameters. Every line must hold its values: a code line ending before
// the largest code, or a parameter line with fewer values than given codes, ends the run with
// the error and help text of the block (code 10) instead of reading on into the next line.
//
// Conversions: kelsqd and kelsqi are hours, stored in minutes (values below 0.001 h become
// 0.06 min); kelsqlat is stored as its inverse (0 or less gives 0: no base-flow recession).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/zone_types.h"

namespace velorn {

class ControlFileReader;
class DiagnosticStream;

// Code of every fault of the subbasin block.
inline constexpr int kSubbasinBlockCode = 10;

// Per zone index 1..n (element 0 unused).
struct SubbasinParameters {
  std::vector<double> codes;   // zone code
  std::vector<double> kelsqd;  // minutes
  std::vector<double> kelsqi;  // minutes
  std::vector<double> drainage_density;
  std::vector<double> inverse_recession;  // 1 / kelsqlat
  std::vector<double> max_baseflow;       // "QB-Red.Faktor"
  std::vector<double> snow_runoff_fraction;
};

// A recession constant in hours as minutes.
double RecessionMinutes(double hours);
// 1 / kelsqlat, 0 for kelsqlat 0 or below.
double InverseRecession(double kelsqlat);

// The zone table is records 0..count with the zone code in field 2; `code_index` maps codes
// 0..highest to zone indexes (0: no zone). `module` and `section` name the model in messages.
SubbasinParameters ReadSubbasinBlock(DiagnosticStream& diag, ControlFileReader& file,
                                     const std::vector<ZoneRecord>& zones,
                                     const std::vector<int32_t>& code_index, int32_t count,
                                     int32_t highest, const std::string& module,
                                     const std::string& section);

}  // namespace velorn

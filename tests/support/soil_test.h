// Soil records for the tests of the soil table and its look-ups: a block entry built from the
// required keys of one soil plus any further keys, parsed into a record.
//
// Header only; used by tests/tables/. The default soil is the loam of Carsel and Parrish (1988):
// theta_sat 0.43, theta_res 0.078, alpha 3.6 1/m, n 1.56.
#pragma once

#include <string>

#include "core/diagnostic_stream.h"
#include "tables/soil_record.h"

namespace velorn::test {

// "<code> <name> method MultipleHorizons {" + keys + "}" as one block entry.
inline std::string SoilBlock(const std::string& keys, int code = 7,
                             const std::string& name = "loam") {
  return std::to_string(code) + " " + name + " method MultipleHorizons {\n" + keys + "\n}";
}

inline std::string LoamKeys(const std::string& layers = "1", const std::string& thickness = "0.5") {
  return "layers = " + layers + "; ksat = 2.89e-6; theta_sat = 0.43; theta_res = 0.078;\n" +
         "alpha = 3.6; Par_n = 1.56; thickness = " + thickness + ";";
}

// The record of a block entry with the loam's keys followed by `extra_keys`.
inline SoilRecord ParsedLoam(DiagnosticStream& diag, const std::string& extra_keys = "",
                             const std::string& layers = "1",
                             const std::string& thickness = "0.5") {
  SoilRecord record;
  record.ParseEntry(diag, SoilBlock(LoamKeys(layers, thickness) + "\n" + extra_keys),
                    "MultipleHorizons");
  return record;
}

}  // namespace velorn::test

// The subbasin block of [unsatzon_model]: codes, gaps and the six parameter lines.
#include "unsatzone/subbasin_block.h"

#include <array>
#include <cstddef>

#include "core/control_file_reader.h"
#include "core/error_code.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"

namespace velorn {
namespace {

constexpr const char* kHelpText =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first "
    "AND the last subbasin code have\nto be specified with all their parameters like this:\n(if "
    "the smallest code is 1 and the largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01"
    "\t0.01\n0.1\t0.1\n..\t..\nThen, to all subcatchments with zone-codes ranging from 1 to 7 "
    "the \nparameters of subbasin 1 will be assigned!";
// The longest recession constant (h, about a century) and the largest channel network density
// (1/m) and base flow at the surface (mm per step) a subbasin can have.
constexpr double kLongestRecession = 1e6;
constexpr double kDensestChannels = 1e6;
constexpr double kLargestBaseflow = 1e4;
constexpr double kUnbounded = 1e308;

constexpr const char* kErrorHead = "FATAL: \n-----------------error------------\n";

// The next line that holds more than white space (empty at the end of the file).
std::string NextLine(ControlFileReader& file) {
  while (!file.AtEnd()) {
    std::string line = file.RestOfLine();
    if (line.find_first_not_of(" \t\r") != std::string::npos) return line;
  }
  return {};
}

// "its codes: 1, 2, 5 and 99" (at most 20 of them, then "...").
std::string ZoneCodes(const std::vector<ZoneRecord>& zones, int32_t count) {
  std::string text = "its codes: ";
  for (int32_t z = 1; z <= count; ++z) {
    if (z > 20) return text + ", ...";
    text += (z == 1       ? ""
             : z == count ? " and "
                          : ", ") +
            std::to_string(static_cast<int>(zones[z][2]));
  }
  return text;
}

}  // namespace

double RecessionMinutes(double hours) {
  return hours < 0.001 ? 0.06 : hours * 60.0;
}

double InverseRecession(double kelsqlat) {
  return kelsqlat > 0.0 ? 1.0 / kelsqlat : 0.0;
}

SubbasinParameters ReadSubbasinBlock(DiagnosticStream& diag, ControlFileReader& file,
                                     const std::vector<ZoneRecord>& zones,
                                     const std::vector<int32_t>& code_index, int32_t count,
                                     int32_t highest, const std::string& module,
                                     const std::string& section) {
  const std::size_t size = static_cast<std::size_t>(count) + 1;
  SubbasinParameters p;
  for (std::vector<double>* array :
       {&p.codes, &p.kelsqd, &p.kelsqi, &p.drainage_density, &p.inverse_recession, &p.max_baseflow,
        &p.snow_runoff_fraction})
    array->assign(size, 0.0);
  const auto zone_code = [&](int32_t z) { return static_cast<int>(zones[z][2]); };

  // The code line: given zone indexes in ascending order.
  std::vector<int32_t> given;
  const std::string code_line = NextLine(file);
  std::size_t pos = 0;
  int previous_code = 0;
  int32_t previous_index = 1;  // before the first code, the first zone counts as previous
  bool first_zone_added = false;
  int code = 0;
  while (code < highest) {
    if (!ScanValue(code_line, pos, code)) {
      ThrowFatal(diag, kSubbasinBlockCode, kErrorHead, "error reading code[", previous_code,
                 "] for ", module,
                 "\nthe code line must end with the highest subbasin code of "
                 "the zone grid, ",
                 highest, " (", ZoneCodes(zones, count), ")", kHelpText);
    }
    const int32_t index = code >= 1 && code <= highest ? code_index[code] : 0;
    if (index < 1) {
      ThrowFatal(diag, kSubbasinBlockCode, kErrorHead, "error! there is no code ", code, " (from ",
                 section, ") for a subbasin in ", module, kHelpText);
    }
    if (!given.empty() && index <= previous_index) {
      ThrowFatal(diag, kSubbasinBlockCode, kErrorHead, "error! the code ", code, " (from ", section,
                 ") does not follow the code ", previous_code,
                 ": codes must be given in ascending order in ", module, kHelpText);
    }
    if (given.empty() && index > 1) {
      given.push_back(1);  // the first zone takes its own values
      first_zone_added = true;
    }
    given.push_back(index);
    previous_index = index;
    previous_code = code;
  }

  // Six parameter lines, one value per given code on each.
  // kelsqlat of 0 or below means no fall with depth: any number will do.
  struct Line {
    const char* name;
    std::vector<double>* target;
    double (*convert)(double);
    double low, high;
  };
  const std::array<Line, 6> lines{{
      {"kelsqd[", &p.kelsqd, RecessionMinutes, 0, kLongestRecession},
      {"kelsqi[", &p.kelsqi, RecessionMinutes, 0, kLongestRecession},
      {"channel network density[", &p.drainage_density, nullptr, 0, kDensestChannels},
      {"kelsqlat[", &p.inverse_recession, InverseRecession, -kUnbounded, kUnbounded},
      {"QB-Red.Faktor[", &p.max_baseflow, nullptr, 0, kLargestBaseflow},
      {"SnowRunoff_fraction[", &p.snow_runoff_fraction, nullptr, 0, 1},
  }};
  for (const Line& line : lines) {
    const std::string text = NextLine(file);
    std::size_t at = 0;
    for (int32_t z : given) {
      double value = 0;
      if (!ScanValue(text, at, value)) {
        const char* end = line.target == &p.max_baseflow ? "\n" : "";
        // The zone grid's lowest subbasin below the first code of the code line takes values
        // of its own: a code 0 in the zone grid asks for one more column.
        const std::string own =
            first_zone_added ? FormatText(
                                   " (the zone grid's lowest subbasin code %d lies below the first "
                                   "code %d of the code line and takes values of its own)",
                                   zone_code(1), zone_code(given[1]))
                             : std::string();
        ThrowFatal(diag, kSubbasinBlockCode, kErrorHead, "error reading ", line.name, zone_code(z),
                   "] for ", module, "\neach parameter line needs ", given.size(),
                   " values, one per subbasin code given", own, "; the zone grid holds ", count,
                   " subbasins (", ZoneCodes(zones, count), ")", kHelpText, end);
      }
      RequireControlRange(diag, value, line.low, line.high,
                          std::string(line.name) + std::to_string(zone_code(z)) + "] for ", module);
      (*line.target)[z] = line.convert != nullptr ? line.convert(value) : value;
    }
    // Zones without a code of their own copy the zone before them.
    std::size_t next = 0;
    for (int32_t z = 1; z <= count; ++z) {
      if (next < given.size() && given[next] == z) {
        ++next;
      } else if (z > 1) {
        (*line.target)[z] = (*line.target)[z - 1];
      }
    }
  }
  for (int32_t z = 1; z <= count; ++z) p.codes[z] = zone_code(z);
  return p;
}

}  // namespace velorn

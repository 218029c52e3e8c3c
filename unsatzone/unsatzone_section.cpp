// Unsaturated zone: reading of [unsatzon_model] (values one per line, in their order), of the
// optional [unsatzon_tuning] and of the reduced permafrost conductivity of [permafrost].
#include <cstdio>

#include "core/error_code.h"
#include "core/value_ranges.h"
#include "unsatzone/subbasin_block.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {
namespace {

// Labels of the statistics pairs, in the order of the section.
constexpr const char* kStatisticsLabels[] = {
    "name of the QDRAINstatfiles in ", "name of the GWSTANDstatfiles in ",
    "name of the GWNstatfiles in ",    "name of the SB_1_statfiles in ",
    "name of the SB_2_statfiles in ",  "name of the ROOTstatfiles in ",
    "name of the INFEXstatfiles in ",  "name of the PONDstatfiles in ",
    "name of the QDstatfiles in ",     "name of the QIstatfiles in ",
    "name of the QBstatfiles in ",     "name of the Qgstatfiles in ",
    "name of the GWINstatfiles in ",   "name of the GWEXstatfiles in ",
    "name of the MACROstatfiles in ",  "name of the INFILTstatfiles in "};

// Labels of the grid pairs (name line, write-code line), in the order of the section.
constexpr const char* kGridLabels[][2] = {
    {"name of the SB05-Grids in ", "Writegrid SB05-Grid in   "},
    {"name of the SB1_-Grids in ", "Writegrid SB1_-Grid in   "},
    {"name of the WURZ-Grids in ", "Writegrid WURZ-Grid in   "},
    {"name of the Theta_stacks in ", "Writecode Theta in "},
    {"name of the hh-stacks in ", "Writecode hh in "},
    {"name of the hgeo-stacks in ", "Writecode hgeo  in "},
    {"name of the q_unten-stacks in ", "Writecode qunten in "},
    {"name of the GWSTAND-Grids in ", "Writegrid GWSTAND-Grid in   "},
    {"name of the GWtheta-Grids in ", "Writegrid GWtheta-Grid in   "},
    {"name of the GWN-Grids in ", "Writegrid GWN-Grid in   "},
    {"name of the GWLEVEL-Grids in ", "Writegrid GWLEVEL-Grid in   "},
    {"name of the QDRAIN-Grids in ", "Writegrid QDRAIN-Grid in   "},
    {"name of the saturation grid in ", "Writegrid Satt-Merker in "},
    {"name of the infiltration excess grid in ", "Writegrid INFEX in "},
    {"name of the QD-Grids in ", "Writegrid QD-Grid in   "},
    {"name of the QI-Grids in ", "Writegrid QI-Grid in   "},
    {"name of the DELTAGW-Grids in ", "Writegrid DELTAGW-Grid in   "},
    {"name of the GWIN-Grids in ", "Writegrid GWIN-Grid in   "},
    {"name of the GWEX-Grids in ", "Writegrid GWEX-Grid in   "},
    {"name of the POND-Grids in ", "Writegrid POND-Grid in   "},
    {"name of the GWN-Uprise-Grids in ", "Writegrid GWN-Uprise-Grid in   "},
    {"name of the GWN-PERCOL-Grids in ", "Writegrid GWN-PERCOL-Grid in   "},
    {"name of MACROPORE-Infiltration-Grids for ", "Writegrid MACROPORE-Infiltration-Grid in   "},
    {"name of the IRRIG-Grids in ", "Writegrid IRRIG-Grid in   "}};
static_assert(sizeof(kGridLabels) / sizeof(kGridLabels[0]) == unsatzonmodellklasse::kGridPairCount);

// Labels of the single-point file names, in the order of the section.
constexpr std::pair<unsatzonmodellklasse::SinglePoint, const char*> kSinglePointLabels[] = {
    {unsatzonmodellklasse::kQBottom, "Name of the Qbottom-file in "},
    {unsatzonmodellklasse::kThetaFile, "Name of the Theta-file in "},
    {unsatzonmodellklasse::kHhyd, "Name of the hhyd-file in "},
    {unsatzonmodellklasse::kOtherdata, "Name of the Otherdata file in "},
    {unsatzonmodellklasse::kEtrDetail, "Name of the etr-detail file in "},
    {unsatzonmodellklasse::kInterflowFile, "Name of the interflow file in "}};

// The tuning key's value: the number after the first "=" of the line (unchanged without one);
// the position of the word that is no number otherwise, npos when it was read or is absent.
std::size_t ReadTuningValue(const std::string& line, double& target) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return std::string::npos;
  std::size_t pos = equals + 1;
  double value = 0;
  if (!ScanValue(line, pos, value)) return pos;
  target = value;
  return std::string::npos;
}

}  // namespace

void unsatzonmodellklasse::ReadModelSection() {
  ControlFileReader& file = *control_file;
  ReadValue(file, method, " methode of ");
  ReadValue(file, surfaceWaterInteraction, " surface water interaction parameter of ");
  ReadValue(file, pondParameter, " pond parameter of ");
  ReadValue(file, drainageParameter, " drainage parameter of ");
  ReadValue(file, clayParameter, " clay parameter ");
  // The switches have no meaning outside these values (an interaction of 3 would keep the cells
  // of a river link apart while they share its river's offer).
  RequireRange(surfaceWaterInteraction, 0, 2, " surface water interaction parameter of ");
  RequireRange(pondParameter, 0, 1, " pond parameter of ");
  RequireRange(drainageParameter, 0, 1, " drainage parameter of ");
  RequireRange(clayParameter, 0, 1, " clay parameter of ");
  ReadValue(file, kSatClay, " k_sat. for clay  ");
  if (clayParameter == 1) RequireRange(kSatClay, 0, kHighestConductivity, " k_sat. for clay  ");
  ReadValue(file, iniGwLevel, " ini_gw_level  ");
  for (int s = kStatQDRAIN; s <= kStatINFILT; ++s)
    ReadTwoValues(file, statistics_pairs[s].name, statistics_pairs[s].code, kStatisticsLabels[s]);
  ReadGridPairs();
  ReadTwoValues(file, controlRow, controlCol, "control_row/column for control point in ");
  ReadSinglePointNames();
  ValidateControlPoint();
  if (method != 2 && method != 3) {
    ThrowFatal(Diag(), kSoilMethodCode, "FATAL: in modul ", module_name, ":\n", "invalid method (",
               method, ")\n",
               "possible values are:\n 2 for Finite Differences with fixed timestep\n 3 for "
               "Finite Differences with dynamically calculated timestep\n");
  }
  SubbasinParameters block =
      ReadSubbasinBlock(Diag(), file, soil_zones, soil_zone_index, soil_zone_count,
                        soil_zone_highest, module_name, "[" + module_name + "]");
  subbasinCodes = std::move(block.codes);
  kelsqd = std::move(block.kelsqd);
  kelsqi = std::move(block.kelsqi);
  drainageDensity = std::move(block.drainage_density);
  baseflowInverseRecession = std::move(block.inverse_recession);
  maxBaseflow = std::move(block.max_baseflow);
  snowRunoffFraction = std::move(block.snow_runoff_fraction);
  ReadStorageItems();
}

void unsatzonmodellklasse::ReadGridPairs() {
  for (int g = 0; g < kGridPairCount; ++g) {
    ReadValue(*control_file, grid_pairs[g].name, kGridLabels[g][0]);
    ReadValue(*control_file, grid_pairs[g].code, kGridLabels[g][1]);
  }
}

void unsatzonmodellklasse::ReadSinglePointNames() {
  for (const auto& [file, label] : kSinglePointLabels) {
    ReadValue(*control_file, single_point_files[file], label);
    PrefixDirectory(output_directory, single_point_files[file]);
  }
}

void unsatzonmodellklasse::ValidateControlPoint() {
  if (controlRow < 0 || controlRow > nrows) {
    ThrowFatal(Diag(), kControlPointRowCode, "FATAL: in modul ", module_name, ":\n", "row index (",
               controlRow, ") for output-cell must be between ", 1, " and ", nrows,
               " (Input as row col) or 0 0 ");
  }
  if (controlCol < 0 || controlCol > ncols) {
    ThrowFatal(Diag(), kControlPointColumnCode, "FATAL: in modul ", module_name, ":\n",
               "column index (", controlCol, ") for output-cell must be between ", 1, " and ",
               ncols, " (Input as row col) ");
  }
}

void unsatzonmodellklasse::ReadStorageItems() {
  ControlFileReader& file = *control_file;
  ReadValue(file, storageMode, "read control parameter for storage grids for ");
  std::string name;
  ReadValue(file, name, "name of the storage content file ");
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "_%d", rank);
  storageFileName = name + suffix;
  // The cold start divides by ini_gw_level: zero or a negative value has no layer index.
  if (storageMode != 1 && storageMode != 2 && storageMode != 3 && !(iniGwLevel > 0)) {
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: error in control file, ", module_name,
               ": ini_gw_level (", iniGwLevel, ") must be greater than 0 for storage mode ",
               storageMode, " (the initial soil water is computed from it)");
  }
  if (method != 3) return;
  ReadValue(file, dParameterMinStep, "minimum dynamic time step in secounds ");
  ReadTwoValues(file, statistics_pairs[kStatSUBSTEPS].name, statistics_pairs[kStatSUBSTEPS].code,
                "name of the SUBSTEPSstatfiles in ");
  ReadValue(file, substeps_grid_pair.name, "name of SUBSTEPS-Grids for ");
  ReadValue(file, substeps_grid_pair.code, "Writegrid SUBSTEPS-Grid in   ");
}

// [unsatzon_tuning]: "max_error = <value>" and "max_iterations = <value>" lines up to the end of
// the file or the next section header, with LF or CR LF line ends.
void unsatzonmodellklasse::ReadTuningSection() {
  if (!FindSection("[unsatzon_tuning]", 0)) return;
  ControlFileReader& file = *control_file;
  while (!file.AtEnd()) {
    std::string line = file.RestOfLine();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    line.erase(0, start);
    if (line[0] == '[') break;
    std::size_t refused = std::string::npos;
    if (line.find("max_error") != std::string::npos) {
      refused = ReadTuningValue(line, max_error);
    } else if (line.find("max_iterations") != std::string::npos) {
      refused = ReadTuningValue(line, max_iterations);
    }
    if (refused != std::string::npos) RefuseNumberLikeWord(line, refused, "[unsatzon_tuning] for ");
  }
  // Water contents change by shares of the volume; the count is taken as an int.
  RequireRange(max_error, 0, 1, "max_error of [unsatzon_tuning] for ");
  RequireRange(max_iterations, 1, 1e6, "max_iterations of [unsatzon_tuning] for ");
}

void unsatzonmodellklasse::ReadPermafrost() {
  FindSection("[permafrost]", 1);
  ControlFileReader& file = *control_file;
  int skipped_int = 0;
  double skipped_double = 0;
  std::string skipped_name;
  ReadValue(file, skipped_int, "first value of [permafrost] for ");
  ReadValue(file, skipped_double, "second value of [permafrost] for ");
  ReadValue(file, skipped_double, "third value of [permafrost] for ");
  ReadTwoValues(file, skipped_name, skipped_int, "fourth value of [permafrost] for ");
  ReadValue(file, reducedKsatPermafrost, "reduced k_sat (in m/s)");
  RequireRange(reducedKsatPermafrost, 0, kHighestConductivity, "reduced k_sat (in m/s) for ");
}

}  // namespace velorn

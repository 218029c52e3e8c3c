// Construction of the evapotranspiration model: the section's values in their order and their
// checks, the input grids and the availability mask, the own grids with their zone statistics,
// the physical constants, the lake section, the hand-overs and release.
#include <cmath>
#include <exception>
#include <new>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/string_helpers.h"
#include "evaporation/evaporation_physics.h"
#include "evaporation/evapotranspiration.h"
#include "tables/landuse_multilayer.h"
#include "version.h"

namespace velorn {
namespace {

const char* const kRule =
    "\n\n-----------------------------------------------------------------------\n";
const char* const kModelErrorHead =
    "FATAL: \n---------------------- error in evapotranspiration model ------------------- \n";

// True when the line holds nothing but white space.
bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

std::string LayerFileName(const std::string& name, int layer) {
  const std::size_t dot = name.rfind('.');
  const int stem = static_cast<int>(dot == std::string::npos ? name.size() : dot);
  const char* extension = dot == std::string::npos ? "" : name.c_str() + dot;
  return FormatText("%.*s_Layer_%d%s", stem, name.c_str(), layer, extension);
}

verdunstungsmodellklasse::verdunstungsmodellklasse(const SubModelSetup& setup,
                                                   const std::string& section_name, int32_t& error)
    : teilmodellklasse(setup, section_name) {
  error = 0;
  if (GetFlowControl() == 0) return;
  try {
    Diag() << "file "
           << "etpetr"
           << ", compiled at " << VELORN_BUILD_TIME << "[end-entry]";
    if (owner_grid == nullptr) {
      if (const int i = FindGrid("MPIRegions", 0)) owner_grid = (*registry)[i].grid;
      if (const int i = FindGrid("MPIHelper", 0)) strip_table = (*registry)[i].grid;
    }
    if (multilayer_landuse_table != nullptr && multilayer_landuse_table[0].code > 0)
      layer_count = std::max(1, multilayer_landuse_table[1].LayerCount);
    for (auto* layers : {&landuse, &leaf_area_index, &root_depth, &vegetation_coverage,
                         &canopy_resistance, &interception_resistance, &roughness_length})
      layers->assign(layer_count + 1, nullptr);
    ReadSection();
    CheckSettings();
    FindInputGrids();
    CreateOutputGrids();
    CreateStatistics();
    for (std::size_t i = 0; i < kPhysicalConstants.size(); ++i)
      physical_constants[i] = kPhysicalConstants[i];
    longwave_factor = kStefanBoltzmann * time_interval / 60.0;
  } catch (const ErrorCode& failure) {
    error = failure.code;
  } catch (...) {
    error = kConstructorOtherFailure;
  }
}

verdunstungsmodellklasse::~verdunstungsmodellklasse() = default;

// ---- Section ----------------------------------------------------------------------------------

void verdunstungsmodellklasse::ReadMonthlyLine(std::array<double, 14>& values,
                                               const char* parameter, const char* method_name) {
  std::string line;
  do {
    line = control_file->RestOfLine();
  } while (IsBlank(line) && !control_file->AtEnd());
  std::size_t pos = 0;
  int count = 0;
  for (double value = 0; count < 12 && ScanValue(line, pos, value); ++count)
    values[count + 1] = value;
  if (count < 12)
    ThrowFatal(Diag(), kEvapMonthlyValuesCode, kModelErrorHead,
               "there have to be 12 (monthly) values for the ", parameter, "-parameter for \n",
               method_name, "-evaporation in the control file.\n", kRule + 1);
  values[0] = values[12];
  values[13] = values[1];
}

void verdunstungsmodellklasse::ReadOutputSetting(EvapOutputSetting& output, const char* name_label,
                                                 const char* code_label,
                                                 const char* statistics_label) {
  ReadValue(*control_file, output.grid_name, name_label);
  ReadValue(*control_file, output.write_code, code_label);
  ReadTwoValues(*control_file, output.statistics_name, output.statistics_code, statistics_label);
}

void verdunstungsmodellklasse::ReadSection() {
  ControlFileReader& file = *control_file;
  ReadValue(file, method, "Methode fuer ");
  if (method > 1 && layer_count > 1)
    ThrowFatal(Diag(), kEvapLayersCode, kModelErrorHead,
               "\nModelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\n"
               "for unlayered Vegetation. Actual parameters: method: ",
               method, ", number of layers: ", layer_count, kRule);
  ReadMonthlyLine(PEC, "PEC", "HAMON");
  ReadMonthlyLine(fh, "fh", "HAUDE");
  ReadValue(file, fk, "fk - Coastfactor (WENDLING) for");
  ReadOutputSetting(etp_output, "Name of the ETP-Grids for ", "Writegrid ETP for ",
                    "Name of ETP-stat.file for ");
  ReadOutputSetting(etr_output, "Name of the ETR-Grids for ", "Writegrid ETR for    ",
                    "Name of the ETR-stat.file for ");
  ReadOutputSetting(evap_potential_output, "Name of the evaporation_potential-grid for ",
                    "Writegrid EVAP for    ", "Name of the evaporation_potential-stat.files for ");
  ReadOutputSetting(evap_real_output, "Name of the evaporation_real grid for ",
                    "Writegrid evaporation real for    ",
                    "Name of the evaporation_real-stat.files for ");
  ReadOutputSetting(snow_evap_output, "Name of the snow evaporation grid for ",
                    "Writegrid snow evaporation for    ",
                    "Name of the evaporation_real-stat.files for ");
  ReadOutputSetting(eip_output, "Name of the EIP-Grids for ", "Writegrid ETP for ",
                    "Name of EIP-stat.file for ");
  ReadTwoValues(file, radiation_statistics_name, radiation_statistics_code,
                "Name of the RGEX-stat.file for ");
  auto read_numbers = [&](double* values, int count, const char* label) {
    for (int i = 0; i < count; ++i)
      if (!file.Read(values[i])) ReportControlFileError(label, module_name);
    file.SkipRestOfLine();
  };
  read_numbers(CS.data(), 4, "coefficients of global radiation from sunshine duration for ");
  read_numbers(C.data(), 4, "coefficients of sunshine duration from global radiation for ");
  double transmissivity_values[2] = {0, 0};
  read_numbers(transmissivity_values, 2, "atmospheric transmissivity (mean, amplitude) for ");
  transmissivity_mean = transmissivity_values[0];
  transmissivity_amplitude = transmissivity_values[1];
  read_numbers(&amplitude_scale_height, 1, "scale height of the temperature amplitude for ");
  ReadMonthlyAmplitudes();
  {
    std::string line = file.RestOfLine();
    std::size_t pos = 0;
    const bool read =
        ScanValue(line, pos, amplitude_fraction_day) && ScanValue(line, pos, annual_variability);
    RefuseNumberLikeWord(line, pos, "fraction for temperature amplitude for day/night",
                         kEvapSectionValueCode);
    if (!read)
      ThrowFatal(Diag(), kEvapSectionValueCode,
                 "FATAL: error reading fraction for temperature amplitude for day/night\n",
                 "or the annual variability\n");
    amplitude_fraction_night = 1.0 - amplitude_fraction_day;
  }
  ReadClosingLines();
  file.Close();
  CheckSectionRanges();
}

// Every value of the section within its physical range: a line left out or given twice shifts
// the values that follow into the wrong places, which these checks catch before a step
// computes NaN or absurd values from them.
void verdunstungsmodellklasse::CheckSectionRanges() {
  for (int m = 1; m <= 12; ++m) {
    RequireRange(PEC[m], 0, 10, "monthly HAMON factor for ");
    RequireRange(fh[m], 0, 10, "monthly HAUDE factor for ");
    RequireRange(temperature_amplitude[m], 0, 50, "monthly temperature amplitude (K) for ");
  }
  RequireRange(fk, 0, 10, "fk - Coastfactor (WENDLING) for");
  // The radiation coefficients, the transmissivity and the day fraction have their own checks
  // in CheckSettings.
  RequireRange(amplitude_scale_height, 1, 1e5, "scale height of the temperature amplitude for ");
  RequireRange(annual_variability, -1, 1, "annual variability of the day fraction for ");
  RequireRange(HamonCorrectionOpenWater, 0, 10, "HamonCorrectionOpenWater for ");
}

// Twelve monthly temperature amplitudes, one per line or several on a line; whatever follows
// the numbers of a line is a comment.
void verdunstungsmodellklasse::ReadMonthlyAmplitudes() {
  int count = 0;
  while (count < 12) {
    if (control_file->AtEnd())
      ReportControlFileError("monthly temperature amplitudes for ", module_name);
    const std::string line = control_file->RestOfLine();
    std::size_t pos = 0;
    const int before = count;
    for (double value = 0; count < 12 && ScanValue(line, pos, value); ++count)
      temperature_amplitude[count + 1] = value;
    RefuseNumberLikeWord(line, pos, "monthly temperature amplitudes for ");
    if (count == before && !IsBlank(line))
      ReportControlFileError("monthly temperature amplitudes for ", module_name);
  }
  temperature_amplitude[0] = temperature_amplitude[12];
  temperature_amplitude[13] = temperature_amplitude[1];
}

// The optional cloudiness statistics line and the optional HamonCorrectionOpenWater line. A
// section header or the Hamon line in place of the cloudiness line leaves its defaults.
void verdunstungsmodellklasse::ReadClosingLines() {
  const std::string key = "HamonCorrectionOpenWater";
  std::string line = control_file->AtEnd() ? std::string() : control_file->RestOfLine();
  const auto first = line.find_first_not_of(" \t");
  const bool header = first != std::string::npos && line[first] == '[';
  if (line.size() >= 3 && !header && !Contains(line, key)) {
    std::size_t pos = 0;
    if (!ScanValue(line, pos, cloudiness_statistics_name) ||
        !ScanValue(line, pos, cloudiness_statistics_code)) {
      RefuseNumberLikeWord(line, pos, "Name of the cloudiness-stat.file for ");
      ReportControlFileError("Name of the cloudiness-stat.file for ", module_name);
    }
    line = control_file->AtEnd() ? std::string() : control_file->RestOfLine();
  }
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return;
  const std::size_t equal = line.find('=', at + key.size());
  if (equal == std::string::npos) return;
  std::size_t pos = equal + 1;
  if (!ScanValue(line, pos, HamonCorrectionOpenWater)) {
    RefuseNumberLikeWord(line, pos, "HamonCorrectionOpenWater for ");
    ReportControlFileError("HamonCorrectionOpenWater for ", module_name);
  }
}

void verdunstungsmodellklasse::CheckSettings() {
  if (method > 1 && time_interval < 1440)
    Diag() << "WARNING: \n---------------------- error in evapotranspiration model "
              "------------------- \n\nModelling evapotranspiration after HAMON, WENDLING or "
              "HAUDE should only be used\nfor daily time steps or larger. The actual time step is "
              "less than 1440 min.\nactual parameters: method: "
           << method << ", timestep: " << time_interval << " minutes" << kRule << "[end-entry]";
  if (amplitude_fraction_day < 0 || amplitude_fraction_day > 1)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: \n---------------------------- error in control file --------------------"
               "\n\nThe splitting of the temperature amplitude between day and night\nhas to be "
               "done in a way that the fraction for the bright day is between 0..1\nread: "
               "amplitude_fraction_day: ",
               amplitude_fraction_day, kRule);
  if (CS[0] < 0.05)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: fraction of diffuse radiation is too small: ", CS[0],
               " (should be 0.05 ... 0.5)\n");
  if (CS[0] > 0.5)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: fraction of diffuse radiation is too large: ", CS[0],
               " (should be 0.05 ... 0.5)\n");
  const double sum = CS[0] + CS[1] + CS[2] + CS[3];
  if (std::fabs(sum - 1.0) > 0.01)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: die Koeffizienten fuer die Modellierung der Globalstrahlung muessen in "
               "ihrer Summe 1 ergeben\n",
               " derzeitige Summe: ", CS[0], " + ", CS[1], " + ", CS[2], " + ", CS[3], " = ", sum);
  // The clear-sky sum raises the transmissivity to powers: it must stay within (0, 1] all year.
  if (transmissivity_mean - std::fabs(transmissivity_amplitude) <= 0 ||
      transmissivity_mean + std::fabs(transmissivity_amplitude) > 1)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: atmospheric transmissivity out of range (0 ... 1]: mean ",
               transmissivity_mean, ", amplitude ", transmissivity_amplitude);
  const int limit_result = SunshineLowerLimit(C, radiation_lower_limit);
  if (limit_result == 1)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: The coefficients for sunshine duration modelling are wrong!\nThere must be "
               "at minimum a linear relationship\nbetween radiation and sunshine duration\nCS[0]=",
               C[0], ", CS[1]=", C[1], ", CS[2]=", C[2], ", CS[3]=", C[3], "\n\n");
  if (limit_result == 2)
    ThrowFatal(Diag(), kEvapSectionValueCode,
               "FATAL: \n----------------------------!! Error !! -----------------------\nThe "
               "coefficients for sunshine duration modelling are wrong!\nNo null point (root) was "
               "found between 0 and 1!\nCS[0]=",
               C[0], ", CS[1]=", C[1], ", CS[2]=", C[2], ", CS[3]=", C[3],
               "\n\nuse e.g.: CS[0]=0.072, CS[1]=-0.808, CS[2]=1.749, CS[3]=-0.239\n"
               "----------------------------------------------------------------");
}

// ---- Input grids ------------------------------------------------------------------------------

void verdunstungsmodellklasse::ProbeInputGrids() {
  auto probe = [&](const char* name, int32_t bit, double*** target) {
    const int i = FindGrid(name, 0);
    if (i == 0) return false;
    availability |= bit;
    if (target != nullptr) *target = (*registry)[i].grid;
    return true;
  };
  auto probe_radiation = [&] {
    if (probe("net_radiation", kHasRadiation, &radiation))
      net_radiation_mode = true;
    else
      probe("global_radiation", kHasRadiation, &radiation);
    probe("sunshine_duration", kHasSunshine, &sunshine);
  };
  switch (method) {
    case 1:
      probe("air_pressure", kHasAirPressure, &air_pressure);
      probe("landuse0", kHasLanduse0, nullptr);
      probe("wind_speed", kHasWind, &wind_speed);
      probe("air_humidity", kHasHumidity, &humidity);
      probe("vapor_pressure", kHasVapourPressure, &vapour_pressure);
      probe_radiation();
      probe("landuse0", kHasLanduse0, nullptr);
      break;
    case 2:
      probe("landuse0", kHasLanduse0, nullptr);
      break;
    case 3:
      probe_radiation();
      probe("landuse0", kHasLanduse0, nullptr);
      break;
    case 4:
      probe("landuse0", kHasLanduse0, nullptr);
      probe("air_humidity_14", kHasHumidity, &humidity);
      probe("vapor_pressure_14", kHasVapourPressure, &vapour_pressure);
      probe("temperature_14", kHasTemperature14, nullptr);
      break;
    default:
      break;
  }
}

void verdunstungsmodellklasse::FindInputGrids() {
  ProbeInputGrids();
  if (!(availability & (kHasSunshine | kHasRadiation)) && method != 2 && method != 4)
    ThrowFatal(
        Diag(), kEvapInputMissingCode,
        "FATAL: --------------------------- ERROR ----------------------------------------\n",
        "Evapotranspiration requires at least one of the following entities\n",
        "erlative sunshine duration (SSD, in 1/1)  or global radiation  (RG, in Wh/m^2).\n",
        "or net radiation (RN, in Wh/m^2) (either RG or RN!)\n",
        "-------------------------------------------------------------------\n");
  if (!(availability & (kHasHumidity | kHasVapourPressure)) && (method == 1 || method == 4))
    ThrowFatal(
        Diag(), kEvapInputMissingCode,
        "FATAL: ---------------------------- ERROR ---------------------------------------\n",
        "Evapotranspiration requires at least one of the following entities\n",
        "vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1).\n",
        "-------------------------------------------------------------------\n");
  auto grid = [&](const std::string& name) { return (*registry)[RequireGrid(name)].grid; };
  for (int i = 1; i <= layer_count; ++i) {
    const std::string n = std::to_string(i);
    landuse[i] = grid("landuse" + n);
    leaf_area_index[i] = grid("leaf_area_index" + n);
    root_depth[i] = grid("root_depth" + n);
    vegetation_coverage[i] = grid("vegetation_coverage_degree" + n);
    canopy_resistance[i] = grid("SurfaceCanopyResistance" + n);
    interception_resistance[i] = grid("SurfaceIntercepResistance" + n);
    roughness_length[i] = grid("RoughnessLength" + n);
  }
  if (layer_count > 1) landuse[0] = grid("landuse");
  if (method == 4)
    temperature = grid("temperature_14");
  else
    temperature =
        (*registry)[RequireOneOfThreeGrids("corr_temperature", "temperature", "temperature")].grid;
  // The radiation correction keeps a night temperature of its own where it steps longer than
  // 720 minutes; stepping shorter (this model at a longer interval of its own), the night
  // temperature is the temperature grid itself.
  const int night = method == 1 && time_interval > 720 ? FindGrid("temperature_night", 0) : 0;
  temperature_night = night > 0 ? (*registry)[night].grid : temperature;
  elevation = grid("[elevation_model]");
  if (method == 1) {
    wind_speed = grid("wind_speed");
    evaporation_resistance = grid("SurfaceEvaporationResistance");
  }
  if (method == 1 || method == 3) albedo = grid("albedo");
  if (const int i = FindGrid("GlacierizedCells", 0))
    glacier_fraction = (*registry)[i].grid;
  else if (const int j = FindGrid("ice_firn", 0))
    glacier_fraction = (*registry)[j].grid;
  if (response_unit_switch != 0) {
    response_units = grid("HydrologicResponseUnits");
    master_response_units = grid("MasterHydrologicResponseUnits");
  }
}

// ---- Own grids and statistics -----------------------------------------------------------------

GridMatrix verdunstungsmodellklasse::NewGrid() {
  return GridMatrix(Diag(), first_local_row, last_local_row, ncols, nrows);
}

int verdunstungsmodellklasse::Register(double** data, const std::string& file_name,
                                       const std::string& identifier, int32_t write_code) {
  const int index = registry->FirstFreeIndex();
  if (index >= kRefusedGridIndex)
    ThrowFatal(Diag(), kRegistryFullCode, "FATAL: no free grid left of ", identifier);
  RegisterGrid(index, file_name, data, nullptr, 0, identifier, write_code, first_local_row,
               last_local_row);
  registered.push_back(index);
  return index;
}

void verdunstungsmodellklasse::CreateOutputGrids() {
  const int n = layer_count;
  for (auto* layers : {&pot_transpiration, &real_transpiration, &pot_interception}) {
    layers->clear();
    for (int i = 0; i <= n; ++i) layers->push_back(NewGrid());
  }
  pot_transpiration_index.assign(n + 1, 0);
  real_transpiration_index.assign(n + 1, 0);
  pot_interception_index.assign(n + 1, 0);
  auto layer_name = [](const std::string& name, int i) {
    return i == 0 ? name : LayerFileName(name, i);
  };
  for (int i = 0; i <= n; ++i) {
    const std::string number = std::to_string(i);
    pot_transpiration_index[i] =
        Register(pot_transpiration[i].get(), layer_name(etp_output.grid_name, i),
                 "pot_transpiration" + number, etp_output.write_code);
    real_transpiration_index[i] =
        Register(real_transpiration[i].get(), layer_name(etr_output.grid_name, i),
                 "real_transpiration" + number, etr_output.write_code);
    pot_interception_index[i] =
        Register(pot_interception[i].get(), layer_name(eip_output.grid_name, i),
                 "potential_InterceptionEvap" + number, eip_output.write_code);
  }
  potential_evaporation = NewGrid();
  real_evaporation = NewGrid();
  snow_evaporation = NewGrid();
  corrected_radiation = NewGrid();
  cloudiness = NewGrid();
  ssd_temp = NewGrid();
  potential_evaporation_index =
      Register(potential_evaporation.get(), evap_potential_output.grid_name,
               "potential_evaporation", evap_potential_output.write_code);
  real_evaporation_index = Register(real_evaporation.get(), evap_real_output.grid_name,
                                    "real_evaporation", evap_real_output.write_code);
  snow_evaporation_index = Register(snow_evaporation.get(), snow_evap_output.grid_name,
                                    "snow_evaporation", snow_evap_output.write_code);
  Register(corrected_radiation.get(), "correctedradiation", "AspectCorrectedGlobalRadiation", 0);
  Register(cloudiness.get(), "cloudiness", "cloudiness", 0);
  Register(ssd_temp.get(), "SSDTemp", "SSDTemp", 0);
}

void verdunstungsmodellklasse::NewStatistics(EvapStatistics& stats, const std::string& file_name,
                                             int32_t code, const std::string& title) {
  stats.records.assign(zone_table, zone_table + zone_count + 1);
  std::string name = file_name;
  int error = 0;
  stats.table = std::make_unique<zonalstatistic>(
      error, &Diag(), relative_cell_area, nrows, ncols, stats.records.data(), zone_count, code,
      kSignificantDigitsPrecision, name, output_directory, output_list_count, output_list_codes);
  if (error != 0) throw ErrorCode{error};
  stats.table->WriteHeader(module_name, title, zone_statistics, zone_statistics_capacity);
}

void verdunstungsmodellklasse::CreateStatistics() {
  static const char* const kMethodTags[] = {"(unknown_method)_", "(Penman/Monteith)_", "(HAMON)_",
                                            "(WENDLING)_", "(HAUDE)_"};
  const char* tag = kMethodTags[(method >= 1 && method <= 4) ? method : 0];
  const int n = layer_count;
  pot_transpiration_stats.resize(n + 1);
  pot_interception_stats.resize(n + 1);
  real_et_stats.resize(n + 1);
  auto layer_name = [](const std::string& name, int i) {
    return i == 0 ? name : LayerFileName(name, i);
  };
  for (int i = 0; i <= n; ++i) {
    const std::string number = std::to_string(i);
    NewStatistics(pot_transpiration_stats[i], layer_name(etp_output.statistics_name, i),
                  etp_output.statistics_code, "pot_transpiration" + number + tag);
    NewStatistics(pot_interception_stats[i], layer_name(eip_output.statistics_name, i),
                  eip_output.statistics_code, "potential_InterceptionEvap" + number + "_");
    NewStatistics(real_et_stats[i], layer_name(etr_output.statistics_name, i),
                  etr_output.statistics_code,
                  i == 0 ? "total_Evapotranspiration_as_sum_of_ETR1..n_EI1..n_EVAR_and_EVRS_"
                         : "real_transpiration" + number);
  }
  NewStatistics(potential_evaporation_stats, evap_potential_output.statistics_name,
                evap_potential_output.statistics_code, "potential_evaporation_in_mm_");
  NewStatistics(real_evaporation_stats, evap_real_output.statistics_name,
                evap_real_output.statistics_code, "real_evaporation_in_mm_");
  NewStatistics(snow_evaporation_stats, snow_evap_output.statistics_name,
                snow_evap_output.statistics_code, "snow_evaporation_in_mm_");
  NewStatistics(radiation_stats, radiation_statistics_name, radiation_statistics_code,
                "Global_Radiation_corrected_by_Exposition_");
  NewStatistics(cloudiness_stats, cloudiness_statistics_name, cloudiness_statistics_code,
                "cloudiness");
}

// ---- Lake section and hand-overs --------------------------------------------------------------

void verdunstungsmodellklasse::ReadLakeSection(const std::string& section) {
  if (flow_control == 0) return;
  const int lake_index = FindGrid("lake_codes", 0);
  if (lake_index == 0) {
    Diag() << "INFO: no LAKE-grid was found in " << module_name << "\n"
           << "Lake modelling is switched off for " << module_name << ".\n"
           << "[end-entry]";
    return;
  }
  control_file = std::make_unique<ControlFileReader>();
  if (!control_file->Open(control_file_name, &Diag()))
    ThrowFatal(Diag(), kControlFileOpenCode, "FATAL: error opening ", control_file_name);
  FindSection(section, 1);
  ReadValue(*control_file, lake_flow_control, "flow control parameter for ");
  SwitchLakesOffForResponseUnits(lake_flow_control);
  if (lake_flow_control != 0) {
    ReadValue(*control_file, lake_init_method, "initialization method for ");
    ReadValue(*control_file, Albedo_OpenWater, "Albedo_OpenWater for ");
    ReadValue(*control_file, z0_OpenWater, "z0_OpenWater for ");
    // The wind profile over open water takes ln(z / z0): a roughness of 0 or less has none.
    RequireRange(Albedo_OpenWater, 0, 1, "Albedo_OpenWater for ");
    RequireRange(z0_OpenWater, 1e-6, 10, "z0_OpenWater for ");
    lake_codes = (*registry)[RequireGrid("lake_codes")].grid;
    int pond = FindGrid("ponding_storage", 0);
    if (pond == 0) pond = FindGrid("ponding_storage_top", 0);
    if (pond == 0)
      ThrowFatal(Diag(), kLakePondMissingCode, "FATAL: \n=======================================\n",
                 "!!!! ERROR !!!! \n\n",
                 "\nLAKE-grid was found, but no POND-Grid. For using lakes,",
                 "\nboth grids as well as the MAXPOND grid must be present.",
                 "\n\n=======================================\n");
    ponding = (*registry)[pond].grid;
    if (lake_init_method != 1 && lake_init_method != 2)
      ThrowFatal(Diag(), kLakeInitMethodCode, "FATAL: \n=======================================\n",
                 "!!!! ERROR !!!! \n\n ", "Error in initialization method for ", section, ".\n",
                 "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n",
                 "In either case, theta_soil will be set to saturated, if the cell is marked as "
                 "lake and POND is > 0.",
                 "\n\n=======================================\n");
  }
  control_file->Close();
}

int verdunstungsmodellklasse::FetchSoilGrids() {
  if (flow_control == 0) return 0;
  soil_storage = (*registry)[RequireGrid("soil_storage")].grid;
  soil_capacity = (*registry)[RequireGrid("available_soil_moisture")].grid;
  return 1;
}

int verdunstungsmodellklasse::SetSolidSnowStorage(double** snow_storage) {
  if (flow_control != 0) solid_snow_storage = snow_storage;
  return flow_control != 0;
}

int verdunstungsmodellklasse::SetRadiationCorrection(double** correction) {
  if (flow_control != 0) radiation_correction = correction;
  return flow_control != 0;
}

int verdunstungsmodellklasse::SolveQuadratic(double p, double q, double& x1, double& x2) {
  return SolveQuadraticRoots(p, q, x1, x2);
}

double verdunstungsmodellklasse::SaturationVaporPressure(double t) {
  return velorn::SaturationVaporPressure(t);
}

void verdunstungsmodellklasse::SetupTracers(int32_t& error, int32_t count,
                                            TracerDefinition* definitions,
                                            ZoneStatisticsRecord* statistics_registry,
                                            int32_t capacity) {
  teilmodellklasse::SetupTracers(error, count, definitions, statistics_registry, capacity);
}

void verdunstungsmodellklasse::ReleaseTracers() {
  teilmodellklasse::ReleaseTracers();
}

void verdunstungsmodellklasse::FlushBuffers() {
  if (flow_control == 0) return;
  for (auto* layers : {&pot_transpiration_stats, &pot_interception_stats, &real_et_stats})
    for (EvapStatistics& stats : *layers)
      if (stats.table) stats.table->FlushBuffers();
  for (EvapStatistics* stats : {&potential_evaporation_stats, &real_evaporation_stats,
                                &snow_evaporation_stats, &radiation_stats, &cloudiness_stats})
    if (stats->table) stats->table->FlushBuffers();
}

void verdunstungsmodellklasse::ReleaseMemory() {
  for (auto* layers : {&pot_transpiration_stats, &pot_interception_stats, &real_et_stats}) {
    for (EvapStatistics& stats : *layers)
      if (stats.table) stats.table->ReleaseMemory();
    layers->clear();
  }
  for (EvapStatistics* stats : {&potential_evaporation_stats, &real_evaporation_stats,
                                &snow_evaporation_stats, &radiation_stats, &cloudiness_stats}) {
    if (stats->table) stats->table->ReleaseMemory();
    stats->table.reset();
  }
  if (registry != nullptr)
    for (int index : registered) UnregisterGrid(index);
  registered.clear();
  for (auto* layers : {&pot_transpiration, &real_transpiration, &pot_interception}) layers->clear();
  for (GridMatrix* grid : {&potential_evaporation, &real_evaporation, &snow_evaporation,
                           &corrected_radiation, &cloudiness, &ssd_temp})
    *grid = GridMatrix();
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn

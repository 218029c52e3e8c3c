// Silting-up model: construction from the section, the subbasin list and the expression block,
// grids and tables; tracer set-up, water input, flush and release. The step is in
// lateral/silting_up_step.cpp.
#include "lateral/silting_up_model.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/row_loop.h"
#include "core/state_manifest.h"
#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "core/value_ranges.h"
#include "setup/tracer_definitions.h"
#include "tables/landuse_multilayer.h"
#include "tables/soil_record.h"
#include "version.h"

namespace velorn {
namespace {

constexpr int32_t kTablePrecision = 4;
const char* const kGridIdentifiers[siltingupclass::kGridCount] = {
    "SiltingUpDisposition", "RainPause", "KineticEnergy", "TimeSinceLastSoilTillage",
    "DirectRunoffSiltingUp"};
const char* const kGridDescriptions[siltingupclass::kGridCount] = {
    "silting-up-disposition-grid, ", "RAINPAUSE-grid, ", "EKIN-grid, ", "TSBB-grid, ",
    "QDSU-grid, "};
const char* const kKeyword = "SiltingUpExpressions";

const char* const kGroupExplanation =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first "
    "AND the last subbasin code have\nto be specified with all their parameters like this:\n(if "
    "the smallest code is 1 and the largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0."
    "01\t0.01\n0.1\t0.1\n..\t..\nThen, to all subcatchments with zone-codes ranging from 1 to 7 "
    "the \nparameters of subbasin 1 will be assigned!";
const char* const kErrorBanner = "FATAL: \n-----------------error------------\n";

bool IsBlankText(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

std::string WithoutWhiteSpace(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

// The statements of the block text between "{" and "}"; none when it holds no ";".
std::vector<std::string> SplitStatements(const std::string& block) {
  std::vector<std::string> statements;
  std::size_t start = 0;
  for (std::size_t end = block.find(';'); end != std::string::npos; end = block.find(';', start)) {
    std::string statement = WithoutWhiteSpace(block.substr(start, end - start));
    if (!statement.empty()) statements.push_back(std::move(statement));
    start = end + 1;
  }
  return statements;
}

}  // namespace

std::vector<std::string> ReadSiltingUpExpressions(DiagnosticStream& diag, ControlFileReader& file,
                                                  const std::string& control_file_name) {
  for (;;) {
    if (file.AtEnd()) break;
    std::string line = file.RestOfLine();
    if (IsBlankText(line)) break;
    const std::size_t keyword = line.find_first_not_of(" \t");
    if (line.compare(keyword, std::string(kKeyword).size(), kKeyword) != 0) continue;
    // The opening brace, on the keyword's line or after blank lines.
    std::string text = line.substr(keyword + std::string(kKeyword).size());
    std::size_t open = text.find('{');
    while (open == std::string::npos) {
      if (!IsBlankText(text) || file.AtEnd()) {
        ThrowFatal(diag, kExpressionOpenBraceCode,
                   "FATAL: error looking for opening bracket \"{\" after \"SiltingUpExpressions\" "
                   "in control file \"",
                   control_file_name, "\"");
      }
      text = file.RestOfLine();
      open = text.find('{');
    }
    std::string block = text.substr(open + 1);
    while (block.find('}') == std::string::npos) {
      if (file.AtEnd()) {
        ThrowFatal(diag, kExpressionCloseBraceCode,
                   "FATAL: error looking for closing bracket \"}\" after \"SiltingUpExpressions\" "
                   "in control file \"",
                   control_file_name, "\"");
      }
      block += '\n';
      block += file.RestOfLine();
    }
    std::vector<std::string> statements = SplitStatements(block.substr(0, block.find('}')));
    if (!statements.empty()) return statements;
  }
  ThrowFatal(diag, kExpressionBlockCode,
             "FATAL: no SiltingUpExpressios found (at least X, Y and Z must be initialized) in "
             "control file \"",
             control_file_name, "\"");
}

std::vector<double> SpreadSubbasinValues(const std::vector<bool>& listed,
                                         const std::vector<double>& values) {
  std::vector<double> spread(listed.size(), 0.0);
  std::size_t next = 0;
  for (std::size_t z = 1; z < listed.size(); ++z)
    spread[z] = listed[z] && next < values.size() ? values[next++] : spread[z - 1];
  return spread;
}

siltingupclass::siltingupclass(int32_t& error, const SubModelSetup& setup)
    : teilmodellklasse(setup, "SiltingUpModel") {
  error = 0;
  if (GetFlowControl() == 0) return;
  error = CaptureErrorCode([&] {
    const std::string stamp = VELORN_BUILD_TIME;
    Diag() << "file siltingup, compiled at " << stamp << "[end-entry]";
    LookUpGrids();
    ReadSection();
    MakeTable(disposition_table_, disposition_table_output_, "Silting_up_disposition_");
    MakeTable(runoff_table_, runoff_table_output_, "Direct_Discharge_Silting_Up");
    CreateGrids();
    if (method != 3) WarnAboutSoilsWithoutSand();
  });
}

double** siltingupclass::Data(int index) const {
  return index > 0 ? (*registry)[index].grid : nullptr;
}

void siltingupclass::LookUpGrids() {
  if (owner_grid == nullptr) {
    if (const int regions = FindGrid("MPIRegions", 0)) owner_grid = Data(regions);
    if (const int helper = FindGrid("MPIHelper", 0)) strip_table = Data(helper);
  }
  if (FindGrid("GlacierizedCells", 0) != 0 || FindGrid("GlacierCodes", 0) != 0) {
    ThrowFatal(Diag(), kSiltingUpGlacierCode,
               "FATAL: error: Silting-Up module cannot be used when glacier model is active. "
               "Remove grids for glacier codes and glaciated cell fractions from the grid list");
  }
  elevation_index_ = RequireGrid("[elevation_model]");
  if (multilayer_landuse_table != nullptr && multilayer_landuse_table[0].code > 0)
    layer_count = std::max(1, multilayer_landuse_table[1].LayerCount);
  landuse_index_.assign(static_cast<std::size_t>(layer_count) + 1, 0);
  cover_index_.assign(static_cast<std::size_t>(layer_count) + 1, 0);
  for (int32_t k = 1; k <= layer_count; ++k) {
    landuse_index_[k] = RequireGrid(FormatText("landuse%d", k));
    cover_index_[k] = RequireGrid(FormatText("vegetation_coverage_degree%d", k));
  }
  soil_index_ = RequireGrid("soil_types");
  storage_index_ = RequireGrid("SurfStorSiltingUp");
  if (response_unit_switch != 0) {
    response_unit_index_ = RequireGrid("HydrologicResponseUnits");
    master_unit_index_ = RequireGrid("MasterHydrologicResponseUnits");
  }
}

void siltingupclass::ReadSection() {
  ControlFileReader& file = *control_file;
  // The method line; a line without a number leaves method 1 and is the SDISP line.
  method = 1;
  if (file.Read(method)) file.SkipRestOfLine();
  ReadTwoValues(file, disposition_table_output_.name, disposition_table_output_.code,
                "name of the statistics for silting disposition SDISP ");
  ReadTwoValues(file, runoff_table_output_.name, runoff_table_output_.code,
                "name of the statistics for direct runoff from silting up model (QDSU) ");
  for (int g = 0; g < kGridCount; ++g) {
    ReadValue(file, outputs_[g].name, std::string("name of the ") + kGridDescriptions[g]);
    ReadValue(file, outputs_[g].code, std::string("Writegrid for ") + kGridDescriptions[g]);
  }
  ReadSubbasinList();
  if (!file.Read(grid_read_parameter)) {
    ThrowFatal(Diag(), kSiltingUpListCode, kErrorBanner, "error reading readgrid-Parameter for ",
               module_name,
               "\npossible reason: parameter missing or a linefeed \nbefore the end of the "
               "parameter block");
  }
  file.SkipRestOfLine();
  if (method == 2) {
    double* values[] = {&parameters.A, &parameters.B, &parameters.C, &parameters.D,
                        &parameters.E, &parameters.F, &parameters.G, &parameters.H};
    const char* const descriptions[] = {
        "parameter A for method 2 (I_0) ",   "parameter B for method 2 (I_inf) ",
        "parameter C for method 2 (I_inf) ", "parameter D for method 2 (I_inf) ",
        "parameter E for method 2 (C_v) ",   "parameter F for method 2 (C_v) ",
        "parameter G for method 2 (C_v) ",   "parameter H for method 2 (C_v) "};
    // Rates and coefficients lie at or above 0, exponents within ±10 (the grain diameter in µm
    // and the sand percentage raised to them stay finite).
    const double low[] = {0, 0, -10, -10, 0, -10, -10, -10};
    const double high[] = {kHighestWaterRate, kHighestWaterRate, 10, 10, 1e6, 10, 10, 10};
    for (int i = 0; i < 8; ++i) {
      ReadValue(file, *values[i], descriptions[i]);
      RequireRange(*values[i], low[i], high[i], descriptions[i] + std::string("for "));
    }
  } else if (method == 3) {
    expressions = ReadSiltingUpExpressions(Diag(), file, control_file_name);
    second_group_ = expressions.size();
    for (std::size_t i = 0; i < expressions.size() && second_group_ == expressions.size(); ++i)
      if (expressions[i].find("V=") != std::string::npos) second_group_ = i;
    CompileExpressions();
  } else if (method != 1) {
    Diag() << "WARNING: method " << method << " of " << module_name
           << " is not 1, 2 or 3; the built-in formulas and parameters of method 1 are used"
           << "[end-entry]";
  }
  file.Close();
}

// Codes up to the largest zone code, then one minimum rain pause per listed subbasin.
void siltingupclass::ReadSubbasinList() {
  ControlFileReader& file = *control_file;
  std::vector<bool> listed(static_cast<std::size_t>(zone_count) + 1, false);
  int code = 0;
  int listed_count = 0;
  int first_code = -1;
  while (code != highest_zone_code) {
    if (!file.Read(code)) {
      ThrowFatal(Diag(), kSiltingUpListCode, kErrorBanner, "error reading code[", code, "] for ",
                 module_name, kGroupExplanation);
    }
    const int32_t zone = code >= 1 && code <= highest_zone_code ? zone_code_index[code] : 0;
    if (zone < 1 || zone > zone_count) {
      ThrowFatal(Diag(), kSiltingUpListCode, kErrorBanner, "error! there is no code ", code,
                 " (from ", control_file_name, ") for a subbasin in ", module_name,
                 kGroupExplanation);
    }
    if (first_code < 0) first_code = code;
    if (!listed[zone]) ++listed_count;
    listed[zone] = true;
  }
  file.SkipRestOfLine();
  // The smallest subbasin always reads a value of its own.
  if (zone_count >= 1 && !listed[1]) {
    listed[1] = true;
    ++listed_count;
  }
  std::vector<double> values;
  for (int32_t z = 1; z <= zone_count; ++z) {
    if (!listed[z]) continue;
    double value = 0;
    if (!file.Read(value)) {
      ThrowFatal(Diag(), kSiltingUpListCode, kErrorBanner, "error reading RainPause[", z, "] for ",
                 module_name, " (minimum rainpause)", kGroupExplanation);
    }
    // A pause in days of the year.
    if (!(value >= 0 && value <= 366)) {
      ThrowFatal(Diag(), kSiltingUpListCode, kErrorBanner, "RainPause[", z, "] for ", module_name,
                 " is ", value, ", it must lie within 0 to 366 days", kGroupExplanation);
    }
    values.push_back(value);
  }
  file.SkipRestOfLine();
  minimum_rain_pause = SpreadSubbasinValues(listed, values);
}

void siltingupclass::MakeTable(Table& table, const Output& output, const std::string& header) {
  table.table = MakeZoneTable(table.records, output.name, output.code, kTablePrecision, header);
}

void siltingupclass::CreateGrids() {
  const int first = registry->FirstFreeIndex();
  if (first + kGridCount - 1 >= kRefusedGridIndex) {
    ThrowFatal(Diag(), kRegistryFullCode,
               "FATAL: no free grid left, allowed number of grids is (contact the author)",
               kRefusedGridIndex, "!");
  }
  for (int g = 0; g < kGridCount; ++g) {
    grids[g] = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
    ForEachRow(first_local_row, last_local_row, [&](long r) {
      for (int32_t c = 1; c <= ncols; ++c)
        grids[g][r][c] = zone_grid != nullptr && IsNodata(zone_grid[r][c], nodata) ? nodata : 0.0;
    });
    if (grid_read_parameter == 1 && g != kDirectRunoff) {
      double** data = grids[g].get();
      const StateGridRead start(StateGridKind::kStartGrid);
      ReadGrid(outputs_[g].name, data, 0, false, true, false, 0, false, false, 0.0);
    }
    grid_index[g] = first + g;
    RegisterGrid(grid_index[g], outputs_[g].name, grids[g].get(), nullptr, 0, kGridIdentifiers[g],
                 outputs_[g].code, first_local_row, last_local_row);
  }
  // Allocated as zeros: no water returns before the first step.
  surface_return = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
  input_change = GridMatrix(*diag, first_local_row, last_local_row, ncols, nrows);
}

// Soils whose sand fraction puts the built-in formulas out of range (a soil without sand
// raises 0 to a negative power): their cells will not silt up.
void siltingupclass::WarnAboutSoilsWithoutSand() {
  if (soil_table == nullptr) return;
  std::string codes;
  for (int i = 1; i <= soil_table[0].code; ++i) {
    const SoilRecord& soil = soil_table[i];
    const GrainSizes grains{soil.sand,    soil.silt,    soil.clay,   soil.stones1,
                            soil.stones2, soil.stones3, soil.stones4};
    const double dg = GeometricMeanDiameter(grains);
    if (std::isfinite(FinalInfiltrationRate(parameters, dg, soil.sand)) &&
        std::isfinite(SiltingDisposition(parameters, dg, soil.sand, 1.0)))
      continue;
    codes += (codes.empty() ? "" : ", ") + std::to_string(soil.code);
  }
  if (codes.empty()) return;
  Diag() << "WARNING: " << module_name << ": the soils " << codes
         << " hold no sand; the infiltration capacity of their cells is undefined, so they do "
            "not silt up (no direct runoff)"
         << "[end-entry]";
}

void siltingupclass::SelectWaterInput(uint8_t interception_before_snow_arg) {
  if (GetFlowControl() == 0 || water_input_index_ != 0) return;
  interception_before_snow = interception_before_snow_arg;
  water_input_index_ =
      interception_before_snow != 0
          ? RequireOneOfThreeGrids("snowcover_outflow", "throughfall0", "precipitation")
          : RequireOneOfThreeGrids("throughfall0", "snowcover_outflow", "precipitation");
}

void siltingupclass::SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                                  ZoneStatisticsRecord* statistics_registry, int32_t capacity) {
  SetupTracersThen(error, count, definitions, statistics_registry, capacity, [&] {
    tracer_input_index_.assign(static_cast<std::size_t>(tracer_count) + 1, 0);
    for (int32_t t = 1; t <= tracer_count; ++t) {
      // The concentration of the water input: from the model that delivered the water (the
      // last one above the soil first, as the water input itself), an irrigation or an input
      // grid; without any of them the water carries no tracer.
      tracer_input_index_[t] =
          interception_before_snow != 0
              ? FindTracerInput(t, {"snow_model", "interception_model", "irrigation", "input"})
              : FindTracerInput(t, {"interception_model", "snow_model", "irrigation", "input"});
    }
  });
}

void siltingupclass::ReleaseTracers() {
  if (GetFlowControl() == 0) return;
  teilmodellklasse::ReleaseTracers();
}

void siltingupclass::FlushBuffers() {
  if (GetFlowControl() == 0) return;
  disposition_table_.table->FlushBuffers();
  runoff_table_.table->FlushBuffers();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->FlushBuffers();
}

void siltingupclass::ReleaseMemory() {
  if (GetFlowControl() != 0) {
    minimum_rain_pause.clear();
    for (Table* table : {&disposition_table_, &runoff_table_}) {
      if (table->table) table->table->ReleaseMemory();
      table->table.reset();
      table->records.clear();
    }
    // Registered last, released first, so that the registry keeps no holes.
    for (int g = kGridCount - 1; g >= 0; --g) {
      if (grid_index[g] > 0) UnregisterGrid(grid_index[g]);
      grid_index[g] = 0;
      grids[g] = GridMatrix();
    }
    surface_return = GridMatrix();
    input_change = GridMatrix();
    landuse_index_.clear();
    cover_index_.clear();
    expressions.clear();
    program_ = ExpressionProgram();
  }
  teilmodellklasse::ReleaseMemory();
}

}  // namespace velorn

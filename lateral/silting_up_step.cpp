// Silting-up model step: every own cell (rain energy, capacity, water balance, tracers) in the
// row loop, then the response-unit copies, the statistics and the grid output.
#include <algorithm>
#include <cmath>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "core/tracer_bookkeeping.h"
#include "lateral/silting_up_model.h"
#include "setup/code_checks.h"
#include "setup/response_units.h"
#include "setup/tracer_definitions.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"

namespace velorn {

// What one cell brings to the formulas.
struct siltingupclass::CellInputs {
  bool tilled = false;
  double tsbb = 0;   // days since the last tillage
  double cover = 0;  // residue plus vegetation, at most 1
  GrainSizes grains;
  double dg = 0;
  const SoilRecord* soil = nullptr;
};

bool siltingupclass::OwnCell(long row, long column) const {
  if (zone_grid == nullptr || IsNodata(zone_grid[row][column], nodata)) return false;
  return owner_grid == nullptr || owner_grid[row][column] == static_cast<double>(rank);
}

bool siltingupclass::Computed(long row, long column) const {
  if (!OwnCell(row, column)) return false;
  double** masters = Data(master_unit_index_);
  return masters == nullptr || IsNotNodata(masters[row][column], nodata);
}

void siltingupclass::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (GetFlowControl() == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  if (!surface_routing_looked_up) {
    // The weights are a stack: a look-up that stops at the first stack entry never finds them,
    // and the water surface routing left on the surface would be cleared every step.
    surface_routing_present = FindGrid("SurfaceRoutingWeights", 1) != 0;
    surface_routing_looked_up = true;
    // The concentrations of the water surface routing left on the surface.
    surface_concentration_.assign(static_cast<std::size_t>(std::max(tracer_count, 0)) + 1, nullptr);
    for (int32_t t = 1; t <= tracer_count && surface_routing_present; ++t)
      surface_concentration_[static_cast<std::size_t>(t)] =
          Data(FindGrid(FormatText("concstor_tracer_%d_SurfaceRoutingModel", t), 1));
  }
  disposition_table_.table->ResetZoneSums();
  runoff_table_.table->ResetZoneSums();
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_blocks[t].statistics) tracer_blocks[t].statistics->ResetZoneSums();
  ForEachRow(first_local_row, last_local_row, [&](long r) { ComputeCellRows(r); });
  if (Data(master_unit_index_) != nullptr) {
    static const std::vector<HruRecord> no_units = EmptyHruTable();
    const std::vector<double**> result = ResultGrids();
    const UnitResults masters = ShareUnitResults(
        response_unit_table != nullptr ? *response_unit_table : no_units, result.size(),
        first_local_row, last_local_row, column_ranges,
        [&](long r, long c) { return Computed(r, c); },
        [&](long r, long c, double* out) {
          for (double** grid : result) *out++ = grid[r][c];
        });
    CopyFromMasters(masters);
  }
  AddStatistics();
  FinishStep();
}

void siltingupclass::ComputeCellRows(long row) {
  const ColumnRange columns = column_ranges[row];
  if (method != 3) {
    for (long c = columns.first; c <= columns.last; ++c)
      if (Computed(row, c)) ComputeCell(row, c, nullptr);
    return;
  }
  // One frame of slots per row, emptied before every cell.
  ExpressionProgram::Frame frame = program_.NewFrame();
  for (long c = columns.first; c <= columns.last; ++c) {
    if (!Computed(row, c)) continue;
    frame.Clear();
    ComputeCell(row, c, &frame);
  }
}

void siltingupclass::GatherInputs(long row, long column, CellInputs& in) const {
  if (!IsAboveNodata(Data(landuse_index_[1])[row][column], nodata)) return;  // nothing to till
  const int landuse_count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
  auto record = [&](int layer) -> const LanduseRecord& {
    const double value = Data(landuse_index_[layer])[row][column];
    const int index = static_cast<int>(value);
    if (index < 1 || index > landuse_count) {
      ThrowFatal(*diag, kUnknownLanduseCode, "FATAL: land use ", value, " in grid landuse", layer,
                 " (row ", row, ", column ", column,
                 ")\nis not present in the land use table in the control file");
    }
    return landuse_table[index];
  };
  const LanduseRecord& landuse = record(1);
  int top = layer_count;
  while (top > 1 && !IsAboveNodata(Data(landuse_index_[top])[row][column], nodata)) --top;
  const ModelDate& d = step_date;
  const int day_of_year = record(top).GetDayOfYear(
      static_cast<int>(d.day), static_cast<int>(d.month), static_cast<int>(d.year));
  int count = 0;
  const int* days = nullptr;
  landuse.GetSoilTillage(count, days);
  in.tilled = HasTillage(count, days);
  in.tsbb = TillageAge(day_of_year, count, days);

  const double soil_value = Data(soil_index_)[row][column];
  const int soil_count = soil_table != nullptr ? soil_table[0].code : 0;
  const int soil_index = static_cast<int>(soil_value);
  if (!IsAboveNodata(soil_value, nodata) || soil_index < 1 || soil_index > soil_count) {
    ThrowFatal(*diag, kUnknownSoilCode, "FATAL: soil type ", soil_value, " (row ", row, ", column ",
               column, ") is not present in the soil table in the control file");
  }
  in.soil = &soil_table[soil_index];
  in.grains = GrainSizes{in.soil->sand,    in.soil->silt,    in.soil->clay,   in.soil->stones1,
                         in.soil->stones2, in.soil->stones3, in.soil->stones4};
  in.dg = GeometricMeanDiameter(in.grains);
  // The cover only weakens the rain energy of a tilled cell.
  if (in.tsbb > 0.0) {
    const double residue = landuse.GetResidueCoverage(
        *diag, static_cast<int>(d.day), static_cast<int>(d.month), static_cast<int>(d.year), 1, row,
        column, Data(elevation_index_)[row][column]);
    in.cover = std::min(1.0, residue + Data(cover_index_[top])[row][column]);
  }
}

void siltingupclass::CompileExpressions() {
  const char* const names[] = {"A", "B", "C", "D", "E", "F", "G", "H", "I",
                               "J", "K", "L", "M", "N", "O", "P", "Q", "R"};
  for (std::size_t k = 0; k < input_slots_.size(); ++k) input_slots_[k] = program_.Slot(names[k]);
  disposition_slot_ = program_.Slot("Z");
  energy_slot_ = program_.Slot("W");
  capacity_slot_ = program_.Slot("V");
  for (const std::string& statement : expressions) program_.Add(statement);
}

void siltingupclass::EvaluateStatements(ExpressionProgram::Frame& frame, std::size_t first,
                                        std::size_t last) const {
  for (std::size_t i = first; i < last; ++i) {
    const std::string* error = program_.Evaluate(i, frame);
    if (error == nullptr) continue;
    ThrowFatal(*diag, kExpressionParseCode,
               "FATAL: \n-----------------error------------\nin "
               "instance ",
               module_name, "\nexpression ", expressions[i],
               " could not be parsed correctly. Parser message: ", *error);
  }
}

void siltingupclass::ComputeCell(long row, long column, ExpressionProgram::Frame* frame) {
  const double minutes = time_interval;
  double** input_grid = Data(water_input_index_);
  double& storage = Data(storage_index_)[row][column];
  if (!surface_routing_present) storage = 0.0;
  surface_return[row][column] = storage;
  const double water_input = input_grid[row][column];
  // The solute the store held went on with the water of the last step; the water on the surface
  // (only with surface routing) brings its own.
  ClearStoredSolute(row, column);
  MixTracerInput(row, column, water_input, storage);

  CellInputs in;
  GatherInputs(row, column, in);
  const double intensity = water_input / (minutes / 60.0);
  double& rain_pause = grids[kRainPause][row][column];
  rain_pause = intensity > kDryIntensity ? 0.0 : rain_pause + minutes / 1440.0;

  double& kinetic_energy = grids[kKineticEnergy][row][column];
  double energy = 0, final_rate = 0, initial_rate = 0, disposition = 0;
  if (frame == nullptr) {
    energy = RainEnergy(intensity);
    final_rate = FinalInfiltrationRate(parameters, in.dg, in.grains.sand);
    initial_rate = parameters.A;
    disposition = SiltingDisposition(parameters, in.dg, in.grains.sand, in.tsbb);
  } else {
    // A..J the soil's parameters, K..R the cell's values.
    for (std::size_t k = 0; k < 10; ++k)
      frame->Set(input_slots_[k], in.soil != nullptr ? in.soil->SU_PAR[k + 1] : 0.0);
    const double values[] = {in.dg,   in.grains.sand, in.grains.clay, in.grains.silt,
                             in.tsbb, intensity,      kinetic_energy, minutes};
    for (std::size_t k = 0; k < 8; ++k) frame->Set(input_slots_[10 + k], values[k]);
    EvaluateStatements(*frame, 0, second_group_);
    frame->Get(disposition_slot_, disposition);
    frame->Get(energy_slot_, energy);
  }
  const int zone = zone_code_index[static_cast<int>(zone_grid[row][column])];
  kinetic_energy =
      UpdateKineticEnergy(kinetic_energy, StepKineticEnergy(intensity, energy, in.cover, minutes),
                          in.tsbb, rain_pause, minimum_rain_pause[zone]);
  double capacity = 0;
  if (frame == nullptr) {
    capacity = InfiltrationCapacity(initial_rate, final_rate, disposition, kinetic_energy, minutes);
  } else {
    frame->Set(input_slots_[16], kinetic_energy);
    EvaluateStatements(*frame, second_group_, expressions.size());
    frame->Get(capacity_slot_, capacity);
    if (!(capacity >= 0)) WarnAboutCapacity(row, column, capacity);
  }
  // A soil without sand has no defined capacity and disposition: it does not seal.
  if (!std::isfinite(capacity)) capacity = std::nan("");
  const SurfaceWater out = SplitSurfaceWater(water_input, storage, capacity, in.tilled);
  input_grid[row][column] = out.water_input;
  input_change[row][column] = out.water_input - water_input;
  grids[kDirectRunoff][row][column] = out.runoff;
  grids[kTillageAge][row][column] = in.tsbb;
  grids[kDisposition][row][column] = std::isfinite(disposition) ? disposition : 0.0;
  if (!std::isfinite(kinetic_energy)) kinetic_energy = 0.0;
  // The tracers leave with the water on the surface (input and storage), then the storage is
  // empty: its water now stands in the water input or in the runoff.
  CarryTracerRunoff(row, column, out.runoff, water_input + storage);
  storage = out.storage;
}

void siltingupclass::WarnAboutCapacity(long row, long column, double capacity) {
  if (capacity_warned_.exchange(true)) return;
  // The statement that gave V its value: the last one assigning it.
  std::string statement = expressions[second_group_];
  for (std::size_t i = second_group_; i < expressions.size(); ++i)
    if (expressions[i].rfind("V=", 0) == 0) statement = expressions[i];
  const ModelDate& d = step_date;
  *diag << "WARNING: " << module_name << ": the infiltration capacity V of the statement "
        << statement << " is " << (std::isnan(capacity) ? "not a number" : "negative") << " ("
        << capacity << ") on " << d.day << "." << d.month << "." << d.year << " " << d.hour
        << " h (row " << row << ", column " << column
        << "): " << (std::isnan(capacity) ? "the cell does not seal" : "the cell takes up no water")
        << "; later such values are not reported"
        << "[end-entry]";
}

void siltingupclass::MixTracerInput(long row, long column, double water_input, double storage) {
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    double& stored = block.concentration.get()[row][column];
    // The water on the surface brings its solute (surface routing keeps its concentration): the
    // store holds that water's solute, of an evaporating tracer its concentration.
    if (double** surface = surface_concentration_[static_cast<std::size_t>(t)]) {
      const double c = IsAboveNodata(surface[row][column], nodata) ? surface[row][column] : 0.0;
      stored = tracer_definitions[t].evaporating != 0 ? c : c * storage;
    }
    if (tracer_definitions[t].radioactive == 1) stored *= block.decay_factor;
    if (!(water_input > 0.0)) continue;
    const double input =
        tracer_input_index_[t] > 0 ? Data(tracer_input_index_[t])[row][column] : 0.0;
    if (tracer_definitions[t].evaporating != 0) {
      stored = MixConcentration(stored, input, storage, water_input);
    } else {
      stored += water_input * input;
    }
  }
}

void siltingupclass::ClearStoredSolute(long row, long column) {
  for (int32_t t = 1; t <= tracer_count; ++t)
    if (tracer_definitions[t].evaporating == 0)
      tracer_blocks[t].concentration.get()[row][column] = 0.0;
}

// The runoff of sealed soil is a share of the water on the surface (`water`, the step's input
// and the storage): it carries that share of the surface's solute, at most at the tracer's
// highest concentration. (Taking the share the water on the surface holds of water and runoff
// together sent nearly all the solute off with a small runoff, at many times the rain's
// concentration.)
void siltingupclass::CarryTracerRunoff(long row, long column, double runoff, double water) {
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    double& stored = block.concentration.get()[row][column];
    double& flux = block.flux.get()[row][column];
    if (!(runoff > 0.0)) {
      flux = 0.0;
    } else if (tracer_definitions[t].evaporating != 0) {
      flux = stored;
    } else {
      // Runoff that takes the last of the water takes all its solute, above max_conc too.
      const double leaving = !(water > 0.0)   ? 0.0
                             : runoff >= water ? stored
                                               : std::min(runoff * tracer_definitions[t].max_conc,
                                                          stored * runoff / water);
      stored -= leaving;
      flux = leaving / runoff;
    }
  }
}

// Every grid a response unit's cells take from their master.
std::vector<double**> siltingupclass::ResultGrids() const {
  std::vector<double**> result{Data(storage_index_), Data(water_input_index_), surface_return.get(),
                               input_change.get()};
  for (const GridMatrix& grid : grids) result.push_back(grid.get());
  return result;
}

void siltingupclass::CopyFromMasters(const UnitResults& masters) {
  const std::vector<double**> result = ResultGrids();
  double** units = Data(response_unit_index_);
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c) || Computed(r, c)) continue;
      const double* values = masters.Require(*diag, module_name, units[r][c], r, c);
      for (double** grid : result) grid[r][c] = *values++;
    }
  });
}

// One thread adds, in row order (the tables hold no lock).
void siltingupclass::AddStatistics() {
  for (int32_t r = first_local_row; r <= last_local_row; ++r) {
    for (int32_t c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int32_t zone = zone_code_index[static_cast<int32_t>(zone_grid[r][c])];
      const double runoff = grids[kDirectRunoff][r][c];
      disposition_table_.table->AddValue(r, c, zone, grids[kDisposition][r][c], 1.0);
      runoff_table_.table->AddValue(r, c, zone, runoff, 1.0);
      for (int32_t t = 1; t <= tracer_count; ++t) {
        zonalstatistic* table = tracer_blocks[t].statistics.get();
        if (table != nullptr)
          table->AddValue(r, c, zone, tracer_blocks[t].flux.get()[r][c], runoff);
      }
    }
  }
}

void siltingupclass::FinishStep() {
  const ModelDate& d = step_date;
  disposition_table_.table->CollectStep(d.year, d.month, d.day, d.hour, 1);
  runoff_table_.table->CollectStep(d.year, d.month, d.day, d.hour, 1);
  for (int g = 0; g < kGridCount; ++g) WriteGridOutput(grid_index[g], 1, false);
  for (int32_t t = 1; t <= tracer_count; ++t) {
    TracerBlock& block = tracer_blocks[t];
    if (block.statistics) block.statistics->CollectStep(d.year, d.month, d.day, d.hour, 1);
    if (block.flux_index > 0) WriteGridOutput(block.flux_index, 1, false);
    // The solute on the surface is state: a warm start reads it back (grid read parameter 1).
    if (block.concentration_index > 0) WriteGridOutput(block.concentration_index, 1, false);
  }
}

}  // namespace velorn

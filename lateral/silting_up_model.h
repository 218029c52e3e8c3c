// siltingupclass: the silting-up sub-model, section "[SiltingUpModel]".
//
// Rain sealing ("silting-up") of bare, tilled soil. Per step and cell it accumulates the kinetic
// energy of the rain since the last rain pause, lowers the infiltration capacity of the soil
// surface with it and turns the water that cannot infiltrate into direct runoff of sealed soil
// ("DirectRunoffSiltingUp", QDSU). The rest stays in the water-input grid (changed in place) for
// the soil model; the surface storage "SurfStorSiltingUp" is emptied into the two. Methods 1 and
// 2 use the built-in formulas (lateral/silting_up_formulas.h) with the parameters A..H (built-in,
// or read for method 2); method 3 evaluates the user's statements of the block
// `SiltingUpExpressions { ...; }`, compiled once at set-up into an ExpressionProgram
// (lateral/expression_program.h, the language of lateral/expression_parser.h) whose variables
// are bound to slots; each grid row evaluates it on its own frame of slots, emptied per cell.
//
// Section, after the flow control and time interval of the sub-model base:
//   method (1, 2, 3; a line without a number means 1 and is the next item), the SDISP and QDSU
//   statistics lines ("name code"), name and write code of the five grids, the subbasin list of
//   minimum rain pauses (codes, then one value per listed code), the readgrid flag, then for
//   method 2 the eight parameters A..H, for method 3 the expression block.
// See docs/control-file.md, [SiltingUpModel].
//
// The application constructs it after the interception model and before the soil model, calls
// SelectWaterInput, SetupTracers, then RunStep in every step (after snow and interception,
// first of the soil-surface calls), FlushBuffers at Ctrl-C choice 3 and at the end, then
// ReleaseTracers and ReleaseMemory. With flow control 0 every operation returns at once.
//
// Limits: it cannot run with the glacier model (code 2). RunStep, the statistics and the grid
// output are collective (every process calls them); the cell loop makes no MPI call. With
// response units only master cells are computed, the others copy their master.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
#include "core/zone_statistics.h"
#include "lateral/expression_program.h"
#include "lateral/silting_up_formulas.h"

namespace velorn {

class UnitResults;

// Codes of the section: the subbasin list, rain pauses or readgrid flag; the expression block
// without "{", without "}", or missing; a statement the parser rejects during a step.
inline constexpr int kSiltingUpListCode = 10;
inline constexpr int kSiltingUpGlacierCode = 2;
inline constexpr int kExpressionOpenBraceCode = 400;
inline constexpr int kExpressionCloseBraceCode = 401;
inline constexpr int kExpressionBlockCode = 402;
inline constexpr int kExpressionParseCode = 403;

// The statements of a `SiltingUpExpressions` block read from `file` at its cursor: every line
// is tried until one begins with the keyword; the block runs from "{" to "}", is cut at each ";"
// (text after the last one is dropped) and every statement loses its white space. A block
// without ";" counts as not found. Codes 400 (no "{"), 401 (no "}"), 402 (no block).
std::vector<std::string> ReadSiltingUpExpressions(DiagnosticStream& diag, ControlFileReader& file,
                                                  const std::string& control_file_name);

// Per-subbasin values from a subbasin list: `listed` holds, per zone index 1..n, whether the
// zone's code was listed; listed zones take the next value, the others copy index - 1.
std::vector<double> SpreadSubbasinValues(const std::vector<bool>& listed,
                                         const std::vector<double>& values);

class siltingupclass : public teilmodellklasse {
 public:
  // The five grids, in registry order.
  enum OwnGrid { kDisposition, kRainPause, kKineticEnergy, kTillageAge, kDirectRunoff, kGridCount };

  // `error` receives 0 or the code of a failure of the sub-model's own set-up (103 for an
  // exception without one); failures of the base constructor are thrown as ErrorCode.
  siltingupclass(int32_t& error, const SubModelSetup& setup);

  void ReleaseMemory() override;
  // The base tracer set-up, then the input concentration grid of every tracer. Never throws.
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  // One time step (hour of the data, day, month, year). Collective.
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void FlushBuffers();
  // Chooses the water input once: with interception before snow "snowcover_outflow",
  // "throughfall0", "precipitation", else "throughfall0", "snowcover_outflow", "precipitation"
  // (the first registered; none is FATAL 33).
  virtual void SelectWaterInput(uint8_t interception_before_snow);
  // The water input is the snow cover's outflow, which this model leaves less its runoff.
  bool TakesSnowOutflow() {
    return GetFlowControl() != 0 && water_input_index_ != 0 &&
           water_input_index_ == FindGrid("snowcover_outflow", 0);
  }

  // The per-row worker of RunStep: every own cell of `row`.
  void ComputeCellRows(long row);

  // --- Settings --------------------------------------------------------------------------------
  int32_t method = 1;
  SiltingUpParameters parameters;
  std::vector<std::string> expressions;
  std::vector<double> minimum_rain_pause;  // per zone index 1..n, days
  int32_t layer_count = 1;
  uint8_t interception_before_snow = 0;
  bool surface_routing_present = false;
  bool surface_routing_looked_up = false;

  // --- Grids -----------------------------------------------------------------------------------
  std::array<GridMatrix, kGridCount> grids;
  std::array<int, kGridCount> grid_index{};
  // Per step: the water that surface routing left on the surface and that the step took into
  // the water input and the runoff (mm; 0 without surface routing). Not registered: the water
  // account books it as the surface's return to the soil.
  GridMatrix surface_return;
  // Per step: what the step changed of the water input (mm): the surface's water it took in less
  // the sealing runoff. The soil zone under a layered pack takes its input from the pack, not from
  // the input grid, and adds this change.
  GridMatrix input_change;

 private:
  struct Output {
    std::string name;
    int32_t code = 0;
  };
  struct Table {
    std::vector<ZoneRecord> records;
    std::unique_ptr<zonalstatistic> table;
  };
  struct CellInputs;

  void ReadSection();
  void ReadSubbasinList();
  void LookUpGrids();
  void MakeTable(Table& table, const Output& output, const std::string& header);
  void CreateGrids();
  void WarnAboutSoilsWithoutSand();
  double** Data(int index) const;
  bool OwnCell(long row, long column) const;
  bool Computed(long row, long column) const;
  // The cell's land use, cover, soil, tillage and rain; false for a cell that cannot seal.
  void GatherInputs(long row, long column, CellInputs& in) const;
  // `frame`: the row's slots for method 3, else null.
  void ComputeCell(long row, long column, ExpressionProgram::Frame* frame);
  void MixTracerInput(long row, long column, double water_input, double storage);
  void ClearStoredSolute(long row, long column);
  void CarryTracerRunoff(long row, long column, double runoff, double water);
  // Compiles the statements and binds the slots of the model's variables (method 3).
  void CompileExpressions();
  // Evaluates statements [first, last) of the list; a failure is FATAL 403.
  void EvaluateStatements(ExpressionProgram::Frame& frame, std::size_t first,
                          std::size_t last) const;
  // One WARNING per run for a user's capacity that is not a number or negative (which act as no
  // sealing and as no infiltration): it names the statement, the step and the cell.
  void WarnAboutCapacity(long row, long column, double capacity);
  std::vector<double**> ResultGrids() const;
  void CopyFromMasters(const UnitResults& masters);
  void AddStatistics();
  void FinishStep();

  std::array<Output, kGridCount> outputs_;
  Output disposition_table_output_, runoff_table_output_;
  Table disposition_table_, runoff_table_;
  std::size_t second_group_ = 0;  // index of the first statement holding "V="
  // Method 3: the compiled statements (index i is expressions[i]) and the slots of the inputs
  // A..R and of the results Z (disposition), W (rain energy) and V (capacity).
  ExpressionProgram program_;
  std::array<int, 18> input_slots_{};
  int disposition_slot_ = 0, energy_slot_ = 0, capacity_slot_ = 0;
  std::atomic<bool> capacity_warned_{false};
  int elevation_index_ = 0;
  int water_input_index_ = 0;
  int soil_index_ = 0;
  int storage_index_ = 0;
  std::vector<int> landuse_index_;  // 1..L
  std::vector<int> cover_index_;    // 1..L
  int response_unit_index_ = 0, master_unit_index_ = 0;
  std::vector<int> tracer_input_index_;  // 1..tracer count
  // 1..tracer count: surface routing's concentration of the water on the surface, or null.
  std::vector<double**> surface_concentration_;
};

}  // namespace velorn

// interzeptionsmodellklasse: the interception sub-model, section "[interception_model]".
//
// Per time step and cell it fills an interception storage for every vegetation layer, passes
// the rest on as throughfall to the layer below and finally to the ground ("throughfall0"),
// and empties the storage by evaporation taken from the potential values of the
// evapotranspiration model (evaporation/interception_water.h holds the cell formulas). The
// method is a two-digit code: the tens digit says where the water comes from and what runs
// before the rain interception, the units digit the evaporation rule (1: limited by the
// potential transpiration; 2: the potential interception evaporation).
//   1, 2    after the snow model; input "snowcover_outflow" (else "precipitation")
//   11, 12  before the snow model; input "precipitation"
//   21, 22  as 11, 12 with snow held in the canopy (evaporation/canopy_snow.h): its liquid
//           output is what the rain interception receives
//   31, 32  as 21, 22 with the canopy energy balance where snow lies on the ground
// Layer grids are registered as base name + layer number, 0 for the cell total:
// "interception_storage%d", "interception_evaporation%d", "throughfall%d"; the canopy grids as
// "Snow_canopy_*" and "CEB_*". The cell totals (layer 0) are the sums of the layers: the
// leaves' water. With canopy snow the canopy's load and its sublimation are in their own grids
// and tables ("Snow_canopy_load", "Snow_canopy_sublim"), so that no quantity stands in two
// tables a sum would add; the total real evapotranspiration leaves the sublimation out, the
// water balance books it as a term of its own and adds the load to the leaves' water.
//
// The application constructs it after the snow model, reads GetMethod (above 10: interception
// before snow, and it copies the snow model's threshold temperature and transition half-width
// into `threshold_temperature` and `transition_half_width`), calls SetupTracers, ComputeStep
// once per step and FinishStep after the snow model's step has finished (RunStep does both),
// FlushBuffers at Ctrl-C choice 3 and at the end, then ReleaseTracers and ReleaseMemory. With flow
// control 0 every operation returns at once.
//
// With hydrologic response units only the master cells are computed; every other own cell of a
// unit then takes all results of its master (the table of setup/response_units.h gives the
// master's row and column), and the statistics count it with the master's values, glacier
// share and water input. The master may lie on another process: one reduction per step shares
// the results of every master (core/response_unit_results.h).
//
// Tracers move as masses with the water: per layer, and in the canopy snow, the solute held
// (the tracer block's concentration grid holds their sum per cell; with one layer and no
// canopy snow it is the layer's own); the flux grid holds the concentration of the water
// reaching the ground, the throughfall with the canopy's solid output.
// RunStep, the grid output and the statistics are collective: every process calls them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/response_unit_results.h"
#include "core/submodel.h"
#include "core/zone_statistics.h"
#include "evaporation/evapotranspiration.h"
#include "evaporation/grid_stack.h"

namespace velorn {

// An interception method other than 1, 2, 11, 12, 21, 22, 31, 32.
inline constexpr int kInterceptionMethodCode = 1161;
// Methods 31 and 32 without the snow model's "albedo", "snow_storage_total" or "surftemp".
inline constexpr int kCanopyBalanceSnowGridCode = 1160;
// The state stack of the air temperatures of the last day (steps shorter than a day).
inline constexpr const char* kTemperatureHistoryName = "canopytemperatures.stk";

class interzeptionsmodellklasse : public teilmodellklasse {
 public:
  // A grid output and its zone statistics as configured in the section, and one zone statistics
  // table with the zone records it sums into: the same as the evapotranspiration model's.
  using OutputSetting = EvapOutputSetting;
  using Table = EvapStatistics;
  // The canopy grids, in the order of their statistics tables; the longwave grid has none.
  enum CanopyGrid {
    kCanopyLoad,
    kCanopyAge,
    kCanopyAlbedo,
    kCanopySublimation,
    kCanopySolidOutput,
    kCanopyLiquidOutput,
    kCanopyTemperatureGrid,
    kCanopyHumidity,
    kCanopyRadiation,
    kCanopyWind,
    kCanopyLongwave,
    kCanopyGridCount
  };
  // The canopy grids that hold water (mm): over a glacier share they hold none.
  static constexpr bool IsCanopyAmount(int grid) {
    return grid == kCanopyLoad || grid == kCanopySublimation || grid == kCanopySolidOutput ||
           grid == kCanopyLiquidOutput;
  }
  // The canopy grids of what the canopy holds at the end of a step (the rest are the step's).
  static constexpr bool IsCanopyState(int grid) {
    return grid == kCanopyLoad || grid == kCanopyAge || grid == kCanopyAlbedo;
  }
  // The energy balance grids, in table order.
  enum BalanceGrid {
    kBalanceResidual,
    kBalanceTemperature,
    kBalanceTemperatureOld,
    kBalanceDifference,
    kBalanceGridCount
  };

  // `error` receives 0 or the code of a failure of the sub-model's own set-up (103 for an
  // exception without one); failures of the base constructor are thrown as ErrorCode.
  interzeptionsmodellklasse(int32_t& error, const SubModelSetup& setup);

  // The method when active, else 0.
  virtual int32_t GetMethod();
  // The base tracer set-up, then the input concentration grid of every tracer. Never throws.
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  // One time step (hour of the data, day, month, year): ComputeStep, then FinishStep. Collective.
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // The step's water and the statistics of its fluxes, under the glacier shares of the step.
  // Collective.
  void ComputeStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  // The statistics of what the canopy holds at the end of the step, under the glacier shares
  // then (a yearly glacier evaluation at the end of the snow model's step changes them after
  // ComputeStep, and the water balance weighs the stores with them), then the step's rows of
  // every table and the grid outputs. Collective.
  void FinishStep();
  // Writes the buffered rows of every statistics table.
  virtual void FlushBuffers();
  void ReleaseMemory() override;
  // Weighs a cell's glacier part by the grid of glacier shares with this identifier (the glacier
  // model's), when registered.
  void UseGlacierShareGrid(const char* identifier);

  // --- Settings --------------------------------------------------------------------------------
  int32_t method = 0;
  bool canopy_snow = false;     // methods 21 and above
  bool energy_balance = false;  // methods 31 and above
  OutputSetting throughfall_output;
  OutputSetting evaporation_output;
  OutputSetting storage_output;
  double maximum_water_thickness = 0;  // mm per unit of leaf area index
  std::array<OutputSetting, kCanopyGridCount> canopy_outputs;
  std::array<OutputSetting, kBalanceGridCount> balance_outputs;
  double minimum_leaf_area = 0;
  double minimum_roughness = 0;
  double leaf_area_scaling = 1;
  // Copied in by the application from the snow model (degrees Celsius).
  double threshold_temperature = 0;
  double transition_half_width = 0;
  int32_t layer_count = 1;

  // --- Grids (layers 0..n) ---------------------------------------------------------------------
  std::vector<GridMatrix> storage;
  std::vector<GridMatrix> evaporation;
  std::vector<GridMatrix> throughfall;
  std::array<GridMatrix, kCanopyGridCount> canopy_grids;
  std::array<GridMatrix, kBalanceGridCount> balance_grids;
  std::unique_ptr<GridStack> temperature_stack;
  std::array<int64_t, 4> last_push_date{-1, -1, -1, -1};  // hour, day, month, year
  // With steps shorter than a day, the temperatures the stack holds as a state stack: level k
  // the k-th oldest (nodata beyond the count held), level 0 the count (registry entry 0: none).
  StackMatrix temperature_history;
  GridMatrix temperature_count;
  int temperature_history_index = 0;

 private:
  // Registry indexes of the grids looked up (0: absent) and registered.
  struct LayerInputs {
    int landuse = 0, leaf_area = 0, cover = 0, roughness = 0;
    int canopy_resistance = 0, interception_resistance = 0;
  };
  struct CellWork;

  void ReadSettings();
  void ReadOutput(OutputSetting& output, const std::string& label, const std::string& what);
  void LookUpGrids();
  GridMatrix NewGrid(double inside) const;
  int RegisterNext(const std::string& file_name, double** grid, const std::string& identifier,
                   int32_t write_code);
  void CreateLayerGrids();
  void CreateCanopyGrids();
  void MakeTable(Table& table, const OutputSetting& output, const std::string& header);
  // Reads a state grid and refuses a cell outside [low, high] (what the model writes there).
  void ReadState(const std::string& name, GridMatrix& grid, double low, double high,
                 const char* unit);
  double** Data(int index) const;
  bool OwnCell(long row, long column) const;
  bool Computed(long row, long column) const;
  std::vector<double**> ResultGrids() const;
  UnitResults ShareMasterResults() const;
  void CopyFromMasters(const UnitResults& masters);
  void PushTemperature();
  // The state stack of the temperatures of the last day (sub-daily steps): registered with the
  // canopy load's write code and, where the canopy grids are read back, read back when there.
  void LinkTemperatureHistory();
  // The held temperatures into the state stack, which is written when its code says.
  void WriteTemperatureHistory();
  void ComputeRows();
  void ComputeCell(CellWork& work, long row, long column);
  // The canopy snow of one cell; returns the liquid output (the rain interception's input).
  double RunCanopy(CellWork& work, long row, long column, double input);
  // A cell without the canopy model passes its whole input on as liquid; with `drop_load` the
  // snow the canopy still held falls to the snow cover as solid output. Returns that load (mm).
  double SkipCanopy(long row, long column, double input, bool drop_load);
  // The solute of the canopy snow (with `work`'s split of the input), then of every layer, to
  // the flux grid's concentration of the water reaching the ground.
  void CarryTracers(long row, long column, const CellWork& work, double input);
  void ZeroGlacierCell(long row, long column, double input);
  // On a wholly glacierized cell the tracers pass with the whole water input; `carried`: the
  // cell's work when CarryTracers has moved them already, else null.
  void PassGlacierTracers(long row, long column, double input, const CellWork* carried);
  double GlacierShare(long row, long column) const;
  void AddStatistics(const UnitResults* masters);
  void AddStateStatistics();
  std::vector<Table*> AllTables();

  std::vector<LayerInputs> layer_inputs_;  // 1..n
  std::vector<int> transpiration_index_;   // 0..n
  std::vector<int> interception_potential_index_;
  std::vector<int> storage_index_, evaporation_index_, throughfall_index_;
  std::array<int, kCanopyGridCount> canopy_index_{};
  std::array<int, kBalanceGridCount> balance_index_{};
  int water_input_index_ = 0;
  int elevation_index_ = 0;
  int glacier_index_ = 0;
  int response_unit_index_ = 0, master_unit_index_ = 0;  // 0: no response units
  int temperature_index_ = 0;
  int radiation_index_ = 0, wind_index_ = 0, humidity_index_ = 0, cloudiness_index_ = 0;
  int snow_albedo_index_ = 0, snow_storage_index_ = 0, surface_temperature_index_ = 0;
  std::vector<int> tracer_input_index_;  // 1..tracer count
  // Per tracer (1..count) the solute on layers 1..n and in the canopy snow (mass per cell
  // area); the layers' grids are `owned`, or with one layer and no canopy snow the block's.
  struct LeafTracer {
    std::vector<double**> layers;
    std::vector<GridMatrix> owned;
    GridMatrix canopy;
    std::vector<int> indexes;  // registry entries of the layers' and the canopy's grids
  };
  std::vector<LeafTracer> leaf_tracers_;
  void SetupLeafTracers();
  bool StoredLeafTracers(const std::vector<std::string>& files);
  static double GroundWater(const CellWork& work);
  // Sum of a cell's solute on the layers and in the canopy snow.
  double LeafSolute(int32_t tracer, long row, long column) const;
  std::vector<std::array<Table, 3>> layer_tables_;  // evaporation, storage, throughfall
  std::array<Table, kCanopyGridCount> canopy_tables_;
  std::array<Table, kBalanceGridCount> balance_tables_;
};

}  // namespace velorn

// surfaceroutingclass: the surface routing sub-model's frame. It reads [SurfaceRoutingModel],
// registers the solver's grids and stacks, builds per subbasin the delay lines of flow-travel-
// time zones for direct runoff and interflow, passes what reaches the outlet through one linear
// storage each, adds the baseflow of the unsaturated zone and hands the total runoff `Qg` to
// discharge routing. It keeps its state in a [SurfaceRoutingModel] section of the unsaturated
// zone's storage content file (one file per process).
//
// Files: surface_routing_model.cpp (construction, grids, plan curvature),
// surface_routing_frame.cpp (tracers, flow-time zones, step frame, release),
// surface_routing_state.cpp (storage section, dump options), surface_routing_solver.cpp (the
// sub-step RunStep: start transfer, inner steps with the agreed time step, zone records, closing
// pass into the flow-time zones), surface_routing_explicit.cpp (methods 1-5: directions, weights,
// velocities, storage balance), surface_routing_head.cpp (method 6: head iteration, dumps).
//
// Life cycle, called by the application: construct (ConstructionError() non-zero: stop) ->
// SetDumpOptions -> SetupTracers -> SetInitialised(1) -> SetBaseflow,
// SetDirectRunoffRecessionConstants, SetInterflowRecessionConstants, ReadStorageState ->
// per step BeginStep, RunStep per sub-step, FinishStep -> FlushBuffers -> ReleaseArrays(append).
// Every operation returns at once when the model is off (flow control 0).
//
// MPI: construction, SetupTracers, RunStep, FinishStep and ReleaseArrays are collective; RunStep
// makes the same collectives on every process (halo rounds, the agreed time step, the record
// sums, the head iteration's maximum), also on a process without own cells. Qg is valid on
// process 0; its record sums are combined exactly, so Qg does not depend on the process count.
// The flow-time records live on process 0 as plain doubles; each step's entries of the cells go
// into exact sums per record (zone_entries, core/zone_entry_sums.h) that FinishStep combines over
// the processes once and adds to process 0's records, and the zone weights of the set-up are
// summed exactly, so the records are the same doubles on any split of the cells.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/exact_sum.h"
#include "core/matrix.h"
#include "core/submodel.h"
#include "core/zone_entry_sums.h"
#include "core/zone_statistics.h"
#include "core/zone_types.h"

namespace velorn {

// Codes of the surface routing model.
inline constexpr int kSurfaceGlacierCode = 2;
inline constexpr int kSurfaceFlowTimeCellsCode = 6;
inline constexpr int kSurfaceMethodCode = 10;
inline constexpr int kSurfaceQgMissingCode = 57;
inline constexpr int kSurfaceFirstZoneCode = 61;
inline constexpr int kSurfaceStorageMismatchCode = 71;
// A valid cell whose land-use layers hold no land use.
inline constexpr int kSurfaceNoLanduseCode = 31;  // as an unknown land-use code
// Level count of the velocity, fluxes and weights stacks (entries 0..10 per cell).
inline constexpr int32_t kSurfaceStackLevels = 10;

// Registry indices kept by the model (negative: a grid found, not made, by it).
enum SurfaceGrid {
  kSurfVelocity,
  kSurfFluxes,
  kSurfHead,
  kSurfHeadOld,
  kSurfRoughnessX,
  kSurfRoughnessY,
  kSurfManning,
  kSurfPlanCurvature,
  kSurfWeights,
  kSurfInflow,
  kSurfOutflow,
  kSurfCriticalShear,
  kSurfGridCount
};

// Statistics tables in the order of their construction.
enum SurfaceStatistic { kStatQD, kStatQI, kStatQB, kStatQG, kStatStorage, kSurfStatCount };

class surfaceroutingclass : public teilmodellklasse {
 public:
  // Reads the section and sets up grids and statistics; an absent section throws 17, any later
  // failure is kept in ConstructionError() (103 for a failure without a code).
  surfaceroutingclass(const SubModelSetup& setup, int32_t sub_step_count);
  ~surfaceroutingclass() override;
  int32_t ConstructionError() const { return construction_error; }

  // --- Construction helpers ----------------------------------------------------------------
  // Replaces the cell's value by the mean of its valid neighbours inside the grid.
  virtual void FillFromNeighbours(int64_t row, int64_t column, double** matrix);
  // Fills the plan-curvature grid from the elevation (own cells filled from neighbours).
  virtual void ComputePlanCurvature();

  // --- Frame (surface_routing_frame.cpp) -----------------------------------------------------
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void ComputeFlowTimeZones();
  virtual void BeginStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void FinishStep();
  virtual void ReleaseArrays(bool append);
  virtual void FlushBuffers();
  // The total runoff per tracer index and subbasin; null when off; FATAL 57 when not set up.
  virtual double** GetQg();
  virtual int32_t SetBaseflow(double** baseflow);
  virtual int32_t SetInterflow(double** interflow);
  virtual int32_t SetDirectRunoff(double** direct_runoff);
  virtual int32_t SetDirectRunoffRecessionConstants(double* constants);
  virtual int32_t SetInterflowRecessionConstants(double* constants);
  // Enters runoff of one cell into zone j of subbasin z (tracer index k): `sx` += value,
  // `n` and `RelCellSum` += weight; j outside 0..maxzeit is refused (code 125).
  void AddToFlowTimeZone(std::vector<std::vector<std::vector<ZoneRecord>>>& records, int k, int z,
                         int j, double value, double weight);

  // --- Solver (surface_routing_solver.cpp, _explicit.cpp, _head.cpp) ------------------------
  // Per cell, methods 1-5: type 1 channel, 2 interior, 3 other cell.
  virtual void ComputeFlowDirection(int64_t row, int64_t column, double& slope, double& aspect,
                                    int& type);
  virtual void ComputeFlowWeights(int64_t row, int64_t column, int& type, int64_t index,
                                  double slope, double aspect);
  virtual void ComputeVelocities(int64_t row, int64_t column, int64_t index, int64_t mark,
                                 int type);
  // Local stability limit: the smallest cell size / |v| of the own cells (1e36 without flow).
  virtual double ComputeStableTimeStep(int unused);
  virtual void UpdateStorage(double dt, int64_t row, int64_t column);
  virtual double ComputeRoughness(double v, double r, double coverage, double s, int64_t row,
                                  int64_t column, int32_t landuse, int32_t cultivation);
  // Method 6. IterateHead runs one red-black sweep (collective: a halo round between the
  // colours) and returns the largest head change; a head that is not finite is kept in
  // `head_failure` and stops the run in StopOnHeadFailure (collective, code 199).
  virtual void BeginHeadIteration();
  virtual double IterateHead(int64_t k, double dt);
  virtual void FinishHeadIteration();
  void StopOnHeadFailure();
  // Area of a cell (m2): its own extents with "RelCellArea", else the cell size squared.
  double CellArea(int64_t row, int64_t column) const;
  // Both river values > 0.
  bool ChannelCell(int64_t row, int64_t column) const;

  struct HeadFailure {
    bool found = false;
    int64_t row = 0, column = 0;
    double value = 0;
  };
  HeadFailure head_failure;
  int64_t dump_count = 0;
  int64_t call_count = 0;
  std::array<int64_t, 4> call_date{};  // year, month, day, hour of the last call
  int64_t inner_count = 0;
  int64_t recompute_mark = 0;
  int64_t inner_index = 0;
  double inner_dt = 0;                // s
  double previous_dt = 0;             // s, dt' of the storage pass
  int64_t inner_steps = 0;            // inner steps of the last call
  std::vector<ExactSum> record_sums;  // fields 1 and 2 of records A, B, C per zone

  // --- State file and dump options (surface_routing_state.cpp) -------------------------------
  virtual void ReadStorageState(const std::string& file_name, int32_t storage_mode);
  virtual void WriteStorageState(bool append);
  [[noreturn]] virtual void CompareStorageValue(const std::string& description, double actual,
                                                double in_file);
  virtual int ReadStorageValue(double expected, const std::string& description);
  virtual void SetDumpOptions(bool dump, bool close_after_dump, bool repair_after_dump,
                              int64_t maximum_dump_files);

  // --- Settings --------------------------------------------------------------------------------
  int32_t construction_error = 0;
  int32_t method = 0;
  double minimum_sub_time_step = 0;  // s
  double maximum_sub_time_step = 0;  // s
  double anl_error = 0;              // m
  int32_t anl_steps = 0;
  double velocity_error = 0;  // m/s
  int32_t velocity_steps = 0;
  double minimum_flow_depth = 0;  // m
  double concentration_factor = 1.0;
  int32_t storage_read_control = 0;
  std::array<std::string, kSurfStatCount> statistics_names;
  std::array<int32_t, kSurfStatCount> statistics_codes{};
  std::string velocity_stack_name, fluxes_stack_name;
  int32_t velocity_write_code = 0, fluxes_write_code = 0;
  bool dump_mode = false, close_after_dump = false, repair_after_dump = false;
  int64_t maximum_dump_files = 0;

  // --- Grids -----------------------------------------------------------------------------------
  double** elevation = nullptr;
  double** owner_grid = nullptr;   // "MPIRegions" (null: every zone cell is own)
  double** strip_table = nullptr;  // "MPIHelper"
  std::vector<double**> landuse_layers, coverage_layers;  // 1..L
  double** soil_types = nullptr;
  double** silting_storage = nullptr;
  double** directflow = nullptr;
  double** interflow = nullptr;
  double** river_depth = nullptr;
  double** river_width = nullptr;
  double** river_links = nullptr;
  double** flow_times = nullptr;  // null without "flow_times"
  std::string flow_times_file;
  double** cell_size_x = nullptr;
  double** cell_size_y = nullptr;
  std::array<int, kSurfGridCount> grid_index{};  // negative: found in the registry
  std::array<double**, kSurfGridCount> grid_data{};
  std::array<double***, kSurfGridCount> stack_data{};
  std::vector<GridMatrix> own_grids;
  std::vector<StackMatrix> own_stacks;
  int32_t held_first_row = 0, held_last_row = 0;

  // --- Per subbasin ----------------------------------------------------------------------------
  std::array<std::vector<ZoneRecord>, kSurfStatCount> statistics_records;
  std::array<std::unique_ptr<zonalstatistic>, kSurfStatCount> statistics;
  std::array<std::vector<ZoneRecord>, 3> balance_records;
  std::vector<double> substep_values;
  std::vector<double> maxzeit;  // 1..zones
  // [tracer index][subbasin][zone 0..maxzeit]
  std::vector<std::vector<std::vector<ZoneRecord>>> zoneFZT_QD, zoneFZT_QI;
  // The step's entries of the own cells, and the first key of each line, tracer index and
  // subbasin (line-major, then tracer index, then subbasin).
  ZoneEntrySums zone_entries;
  std::vector<std::size_t> zone_key_offset;
  bool zone_records_read = false;  // this process read records from its state file
  bool zone_first_step = true;
  // [tracer index][subbasin 0..zones]
  std::vector<std::vector<double>> own_Qg, own_QD, own_QDd, own_QI, own_QIi;
  std::vector<double*> Qg, QD, QDd, QI, QIi;
  double** QBb = nullptr;
  double* kelsqd = nullptr;  // minutes
  double* kelsqi = nullptr;
  // Per tracer 1..count: "_CONC_QD_<i>_", "_CONC_QI_<i>_", surface concentration grids.
  std::vector<double**> tracer_qd_grids, tracer_qi_grids, tracer_surface_grids;
  std::vector<int> tracer_surface_index;  // -1: found (the silting-up model's)
  std::vector<GridMatrix> tracer_surface_own;
  // Per tracer 1..count: the concentrations at the start of an explicit storage pass, at which
  // the inflows from the neighbours mix (the pass updates the concentrations cell by cell).
  std::vector<GridMatrix> tracer_start_concentration;
  // Method 6, per subbasin (tracer_count + 1 entries each): the water it hands to its channels and
  // to its cells that gained in the inner step, then the concentration of each tracer in that
  // water.
  std::vector<double> head_pools;
  // Method 6, per subbasin (index 0 unused): the water (mm summed over its cells) it gave over its
  // borders in the inner step, negative where it received.
  std::vector<double> head_exchange;
  int32_t surface_from_silting = 0;
  std::string storage_file_name;

 protected:
  bool OwnCell(int64_t row, int64_t column) const;
  int32_t ZoneIndexOf(int64_t row, int64_t column) const;
  int32_t Zones() const { return zone_count; }

 private:
  void Construct();
  void ReadSection();
  void CheckIterationValues();
  void FitSubStepLimits();
  void LinkInputGrids();
  void SetUpGrids();
  void SetUpStatistics();
  int NextFreeIndex();
  double ManningCoefficient(int64_t row, int64_t column) const;
  void FillGrid(double** grid, double own, double other) const;
  int RegisterOwnGrid(int index, SurfaceGrid which, const std::string& identifier, bool halo,
                      double own, double other);
  int RegisterOwnStack(int index, SurfaceGrid which, const std::string& identifier,
                       const std::string& file_name, int32_t write_code, bool halo, int levels,
                       double other);
  void FinishOutlet(std::vector<std::vector<std::vector<ZoneRecord>>>& records,
                    std::vector<double*>& inflow, std::vector<double*>& storage,
                    const double* constants, SurfaceStatistic statistic, int z);
  // The entry of one cell into record j of line b (0 QD, 1 QI), tracer index k, subbasin z: it
  // reaches the record at FinishStep.
  void EnterZone(int b, std::size_t k, std::size_t z, std::size_t j, double count, double value,
                 double weight) {
    zone_entries.Add(zone_key_offset[(static_cast<std::size_t>(b) * zoneFZT_QD.size() + k) *
                                         zoneFZT_QD[0].size() +
                                     z] +
                         j,
                     count, value, weight);
  }
  // Numbers the records of both lines (line-major, then tracer index, subbasin and zone) for
  // the entries, from their sizes.
  void NumberZoneRecords();
  // Adds the step's entries of all processes to process 0's records (collective); at the first
  // step after a warm start first the records that other processes read.
  void AddZoneEntries();
  void WriteFlowTimeLog();
  std::FILE* storage_file = nullptr;
  bool released = false;
  void SkipLine();
  void CloseStorageFile();
  // Solver steps (surface_routing_solver.cpp).
  void StartTransfer();
  void RunInnerStep(double t, bool first);
  void AgreeTimeStep(double t);
  // Method 6: the heads of the own cells back to the start of the inner step (halo exchanged).
  void RestartHeads();
  void SumRecords(int which);
  void ReduceRecords();
  void ExchangeHeadsAndFluxes();
  void ClosingPass();
  void ExplicitFlowPass(double dt);
  void ExplicitStoragePass(double dt);
  void LimitOutflow(int64_t row, int64_t column, double dt);
  void HeadStoragePass(double dt);
  // Method 6: per subbasin, the water its cells lost in the inner step and the concentration of
  // each tracer in it (collective: an exact sum over the processes).
  void MixHeadPools();
  void RunHeadIteration(double dt);
  // Land use of a cell: the first layer from the last one down that holds a code.
  int32_t LanduseCodeOf(int64_t row, int64_t column) const;
  bool Inside(int64_t row, int64_t column) const;
  bool InsideForBalance(int64_t row, int64_t column) const;
  void WriteHeadDump(int64_t row, int64_t column, int64_t k, const double* values) const;
  double SweepCell(int64_t row, int64_t column, int64_t k, double dt);
};

}  // namespace velorn

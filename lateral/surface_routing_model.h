// surfaceroutingclass: the surface routing sub-model's frame. It reads [SurfaceRoutingModel],
// registers the solver's grids and stacks, builds per subbasin the delay lines of flow-travel-
// time zones for direct runoff and interflow, passes what reaches the outlet through one linear
// storage each, adds the baseflow of the unsaturated zone and hands the total runoff `Qg` to
// discharge routing. It keeps its state in a [SurfaceRoutingModel] section of the unsaturated
// zone's storage content file (one file per process).
//
// Files: surface_routing_model.cpp (construction, grids, plan curvature),
// surface_routing_frame.cpp (tracers, flow-time zones, step frame, release),
// surface_routing_state.cpp (storage section, dump options). The sub-step solver that fills the
// zone records from "directflow" and "interflow" (RunStep) is not part of this frame: RunStep
// here does nothing, and a caller (the solver or a test) enters runoff with AddToFlowTimeZone.
//
// Life cycle, called by the application: construct (ConstructionError() non-zero: stop) ->
// SetDumpOptions -> SetupTracers -> SetInitialised(1) -> SetBaseflow,
// SetDirectRunoffRecessionConstants, SetInterflowRecessionConstants, ReadStorageState ->
// per step BeginStep, RunStep per sub-step, FinishStep -> FlushBuffers -> ReleaseArrays(append).
// Every operation returns at once when the model is off (flow control 0).
//
// MPI: construction, SetupTracers, FinishStep and ReleaseArrays are collective. Qg is valid on
// process 0; its record sums are combined exactly, so Qg does not depend on the process count
// when each process's own sums do not.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
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
  int32_t surface_from_silting = 0;
  std::string storage_file_name;

 protected:
  bool OwnCell(int64_t row, int64_t column) const;
  int32_t ZoneIndexOf(int64_t row, int64_t column) const;
  int32_t Zones() const { return zone_count; }

 private:
  void Construct();
  void ReadSection();
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
  void ReduceOutletRecords();
  void WriteFlowTimeLog();
  std::FILE* storage_file = nullptr;
  bool released = false;
  void SkipLine();
  void CloseStorageFile();
};

}  // namespace velorn

// gwflowclass: the saturated groundwater flow sub-model, section "[groundwater_flow]".
//
// The aquifer is a stack of N horizontal layers over the model grid. In each layer water moves
// between the four direct neighbours of a cell through face transmissivities (2-D Darcy flow);
// neighbouring layers exchange water by leakage. Layer 1's thickness is the soil profile depth
// of the cell's soil type, and at the start of every sub-step its head is set from the water
// table that the unsaturated-zone model keeps in "groundwater_distance"; the release from
// storage of layer 1 goes back as "baseflow". Irrigation water pumped from groundwater (the soil
// zone's "irrigation_from_groundwater") leaves layer 1 first, at most what it holds, and the
// soil column gives it with the base flow; with tracers it takes the solute the irrigation gave
// the cells with it (the soil zone's "concpump_tracer_<t>_unsatzon_model"). Heads are
// solved per layer either by successive over-relaxation of a time-weighted scheme (method 1) or by
// one row-implicit pass (method 2).
//
// Files: set-up and section reading (lateral/groundwater_setup.cpp), the sub-step
// (lateral/groundwater_step.cpp, cell formulas in lateral/groundwater_physics.h), lakes,
// output, control point file and release (lateral/groundwater_output.cpp).
//
// Called by the application: construction; SetupTracers and SetInitialised(1);
// SetReinfiltrationRecords and SetQg with the unsaturated zone's arrays. Per time step:
// BeginStep before the sub-step loop, RunStep once per sub-step, FinishStep after it.
// FlushBuffers on Ctrl-C choice 3 and at the end; then SetInitialised(0), ReleaseTracers and
// ReleaseMemory. With flow control 0 every operation returns at once.
//
// Processes and threads: method 1 sweeps every layer in red-black order (cells with an even
// row + column sum first, then the others) with a halo exchange between the two colours, so a
// cell only ever reads neighbours of the other colour that are final for the half-sweep: the
// heads do not depend on the number of threads or processes. The stopping test is agreed over
// all processes. Method 2 solves along rows; a row split between processes is solved whole by
// every process that holds part of it, from the cell equations of all of them.
//
// Tracers (lateral/groundwater_tracers.cpp): every solute tracer has a solute mass per layer
// and cell, and each layer and cell a volume of water that carries it (set from the stored
// water at a cold start, then changed by the same volumes that move the solute); the
// concentration is the one over the other. The layer grids of the tracers and of the water
// are the state: every sub-step ends with the solute the grids hold, and a warm start reads
// them back (grid read parameter 1), so it continues the run that wrote them. Per sub-step: the
// soil column's exchange of the sub-step before enters layer 1 (the solute of the water the column
// gave to the aquifer, less what the water it took back carried), the radioactive part decays, and
// every face and leakage volume carries the upwind cell's concentration, each cell's outflows
// scaled down to the water it holds. A fixed-head cell is the aquifer's boundary: its concentration
// stays, what flows into it has left the aquifer and what flows out of it came from outside; a
// negative fixed inflow takes solute with its water, a positive one brings water without solute. So
// the solute of the aquifer changes only by the soil's exchange, decay and what crossed the
// boundary, and no concentration leaves the range of its sources.
//
// Limits: RunStep, FinishStep and the set-up are collective.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "core/submodel.h"
#include "core/zone_statistics.h"

namespace velorn {

// Codes of the set-up.
inline constexpr int kGwControlRowCode = 8;
inline constexpr int kGwControlColumnCode = 9;
inline constexpr int kGwControlPointFileCode = 62;
inline constexpr int kGwControlPointWriteCode = 65;
inline constexpr int kGwLakeCode = 214;

// Control point buffer size in bytes, and the record of one step at the control cell.
inline constexpr int64_t kGwControlBufferBytes = 2097152;
struct GwControlRecord {
  std::array<long, 4> date{};  // year, month, day, hour
  std::vector<double> values;  // 6N + 1 values, element 0 unused
};

// One solute tracer in one layer: its registered grid "concstor_tracer_<t>_layer_<l>_<module>"
// (the stored amount, concentration x water in mm over the cell, of a non-evaporating tracer;
// the concentration of an evaporating one; own rows valid), the solute of the running sub-step
// (m3 x concentration, own rows), the concentration its outflows carry times their scale (held
// rows), its zone statistics, and the sums of the sub-step over the own cells (m3 x
// concentration): `mass_start` before decay, `decayed`, `exchanged` from the soil columns into
// the layer after it (at a fixed head it passes the boundary at once), `left` through the
// boundary (net) and `mass_end` after the transport.
struct GwTracerLayer {
  std::vector<ZoneRecord> balance_table;
  std::unique_ptr<zonalstatistic> statistics;
  std::string statistics_file_name, grid_file_name;
  GridMatrix concentration, mass, carried;
  int concentration_index = 0;
  double mass_start = 0, decayed = 0, left = 0, mass_end = 0, exchanged = 0;
};
struct GwTracer {
  std::vector<GwTracerLayer> layers;  // 1..layer count
  // Concentration of the water layer 1 hands back to the soil column in the next sub-step (the
  // solute held over the larger of the water held and the water handed back), registered.
  GridMatrix flux;
  int flux_index = 0;
  // Solute that left the aquifer through its boundary since the start, mm x concentration over
  // the cell ("concleft_tracer_<t>_<module>", written with the tracer's grid code).
  GridMatrix left;
  std::string left_name;
  int left_index = 0;
  double decay_factor = 1.0;  // per sub-step of this model; 1 for a stable tracer
};

// The grids of one layer: inputs from the registry and the model's working grids.
struct GwLayer {
  // Inputs (registry data).
  double** thickness = nullptr;
  double** kx = nullptr;
  double** ky = nullptr;
  double** storage = nullptr;
  double** fixed_head = nullptr;
  double** fixed_inflow = nullptr;
  double** kolmation = nullptr;  // layers 1..N-1
  int thickness_index = 0;
  // Working grids: held rows (own rows and one halo row on each side) or own rows.
  GridMatrix head, head_old, head_old_old, previous;  // previous: own rows, not registered
  GridMatrix tx, ty, flow_x, flow_y;
  GridMatrix balance, leakage;  // own rows
  GridMatrix upper_limit;
  // Transport: the water that carries the tracers (m3, own rows; registered with the heads'
  // write code as `solute_water_name`, the heads' name with "_solute_water" before the
  // extension) and the share of its outflows a cell feeds in the sub-step (held rows).
  GridMatrix solute_water, outflow_scale;
  std::string solute_water_name;
  int solute_water_index = 0;
  int head_index = 0, head_old_index = 0, head_old_old_index = 0;
  int tx_index = 0, ty_index = 0, flow_x_index = 0, flow_y_index = 0;
  int balance_index = 0, leakage_index = 0, upper_limit_index = 0;
  // Section values.
  std::string heads_name, tx_name, ty_name, balance_name;
  int32_t heads_code = 0, tx_code = 0, ty_code = 0, balance_code = 0;
};

class gwflowclass : public teilmodellklasse {
 public:
  // Reads the section and sets the model up; `error` is set to 0, failures are thrown as
  // ErrorCode after their FATAL entry (codes in the file header of groundwater_setup.cpp).
  gwflowclass(int32_t& error, const SubModelSetup& setup);

  void ReleaseMemory() override;
  void SetSubStepCount(int32_t count) override { sub_step_count = count; }
  void SetupTracers(int32_t& error, int32_t count, TracerDefinition* definitions,
                    ZoneStatisticsRecord* statistics_registry, int32_t capacity) override;
  void ReleaseTracers() override;
  // One sub-step (the date comes from BeginStep). Collective.
  void RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  void RunStep() { RunStep(step_date.hour, step_date.day, step_date.month, step_date.year); }

  void ReadLakeSection(const std::string& header);
  void ComputeTransmissivities();
  // Appends the buffered records to the file and sets the count to 0 (nothing without records).
  void WriteControlPointFluxes(const std::string& name, int64_t& count,
                               std::vector<GwControlRecord>& buffer);
  void ComputeFlows();
  // One red-black sweep of layer l (1-based); the largest change. Collective (halo exchange).
  double IterateHeadsSOR(int l);
  // Per cell of a row, what the row-implicit pass needs of it: whether it is a free cell, the
  // coefficients and right side of its equation, what it holds for its row neighbours when
  // drained (below 0: what it lacks), layer 1's bottom and whether it can drain there, its head
  // (known neighbours).
  enum RunField {
    kRunFlag,
    kRunA,
    kRunB,
    kRunC,
    kRunD,
    kRunHeld,
    kRunBottom,
    kRunPinnable,
    kRunHead,
    kRunFields
  };
  // Per run being solved: the cells held at layer 1's bottom and, for each, the head the
  // solution gave it when it fell below the bottom (`sunk`) and its row neighbours' heads in
  // that solution (`left_head`, `right_head`; a known head beyond the run's end alike).
  struct RunRow {
    std::vector<char> pinned;
    std::vector<double> sunk, left_head, right_head;
    // What each pinned cell passes to its left and right neighbour (pass units): what it holds
    // and what pinned neighbours passed to it; `passed` ends with what it keeps (below 0: what
    // its sources took beyond what it held).
    std::vector<double> to_left, to_right, passed;
    std::vector<std::size_t> order;  // scratch: the pinned cells, deepest fall last
  };
  bool RowNeighbourUsable(long r, long c, long rn, long cn) const;
  // Layer 1's shares of the exchange across rows in the row-implicit pass (collective).
  void LimitRowExchange();
  void CellEquation(int l, long r, long c, double* cell) const;
  void RunFaceVolumes(const double* cells, long first, std::size_t m, const RunRow& row,
                      const std::vector<double>& h, long r, double* east) const;
  static bool AssembleRun(const double* cells, long first, std::size_t m, RunRow& row,
                          std::vector<double>& a, std::vector<double>& b, std::vector<double>& cc,
                          std::vector<double>& d);
  void ShareSplitRows(std::vector<double>& split, std::vector<double>& table, std::size_t width);
  // One row-implicit pass of layer l; the largest change.
  double IterateHeadsOnce(int l);
  // Cells of the own rows whose change reversed its sign between the last two sub-steps by
  // more than maxerror_allowed; their summed and largest |h - h0| are kept in the object.
  double CountOscillations(double** h, double** h0, double** h00);
  void BeginStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  void FinishStep();
  int32_t SetQg(double* runoff);
  int32_t SetReinfiltrationRecords(void* records);
  void FlushBuffers();

  // --- Settings ------------------------------------------------------------------------------
  int32_t method = 1;
  // The most sweeps per layer and sub-step a run may ask for.
  static constexpr double kMostSweeps = 1e7;
  int32_t maxiter = 1;
  double maxerror_allowed = 0.001;
  double alpha = 1;
  double sor_parameter = 1;
  bool adaptive = false;
  int32_t layer_count = 1;
  int32_t control_row = 0;
  int32_t control_column = 0;
  std::string control_point_file;
  int32_t pond_flag = -1;  // '1' 1, '0' 0, absent -1
  bool use_ponding = false;
  double frozen_depth_scaling = 1.0;
  double cell_width = 0, cell_height = 0;
  int32_t lake_flow_control = 0;
  int32_t lake_method = 0;

  // --- State of the last sweep and oscillation count ------------------------------------------
  double factor_sum = 0, factor_count = 0;
  double oscillation_sum = 0, oscillation_max = 0;
  int32_t iteration = 0;
  double last_change = 0;
  bool unconverged_warned = false;  // a layer's sweeps once ended at maxiter above the error

  std::vector<GwLayer> layers;       // 1..layer_count (element 0 unused)
  std::vector<GwTracer> gw_tracers;  // 1..tracer_count (element 0 unused)

  // Registry data of the shared grids (null when absent).
  double** elevation = nullptr;
  double** groundwater_distance = nullptr;
  double** soil_types = nullptr;
  double** baseflow = nullptr;
  double** cell_size_x = nullptr;
  double** cell_size_y = nullptr;
  double** glacier = nullptr;
  double** ponding = nullptr;
  double** thaw_depth = nullptr;
  double** frozen_soil = nullptr;
  double** silting_storage = nullptr;
  // The soil zone's groundwater irrigation (mm per sub-step), withdrawn from layer 1.
  double** pumped = nullptr;
  // The soil zone's "baseflow_unpaid": what a column could not give of layer 1's last release
  // (mm of its sub-step). The faces carried that water away, so the release after the sub-step
  // asks for it again, and the column owes it until it holds the water.
  double** unpaid = nullptr;
  double Unpaid(long r, long c) const {
    return unpaid != nullptr && unpaid[r][c] > nodata ? unpaid[r][c] : 0.0;
  }
  int elevation_index = 0, distance_index = 0, baseflow_index = 0, ponding_index = 0;
  int thaw_index = 0, frozen_index = 0;

  // Control point buffer (only on the owner of the control cell).
  std::vector<GwControlRecord> control_buffer;
  int64_t control_count = 0;
  int64_t control_capacity = 0;
  bool owns_control_cell = false;

  // The aquifer in the water-balance account, mm over the cell, own rows (lateral/
  // groundwater_account.cpp): layers 2..N's water since the start of the run a warm start
  // continues ("groundwater_storage"), and per step the water the fixed heads and the fixed
  // inflows gave ("groundwater_boundary"), the net face flow into the cell over every layer
  // ("groundwater_lateral") and what the head solution stored beyond its face flows, as its
  // sweeps stop at the tolerance ("groundwater_iteration"). Layer 1's change is the base flow,
  // which the soil column gives.
  // With losing streams, the water the streams gave the soil columns in the step, summed over
  // the soil zone's sub-steps ("groundwater_river_infiltration").
  // Water pumped for irrigation from layer 1, summed over the step ("groundwater_pumping", < 0).
  GridMatrix account_storage, account_boundary, account_lateral, account_iteration, account_river,
      account_pumping;
  // The store is part of the state (layer 1's heads' name with "_account_storage" before the
  // extension, their write code): a warm start continues it, so that what a later change of a
  // cell's glacier share books of it is the same as in the run the warm start continues.
  std::string account_storage_name;
  int account_storage_index = 0;
  // Water pumped from layer 1 in the running sub-step, mm (own rows).
  GridMatrix pumped_water;
  // Per layer, the water the row-implicit pass moved into each cell of the own rows through its
  // east face in the running sub-step, m³ (what the account books for the faces along a row).
  std::vector<GridMatrix> pass_east;
  // Share (0..1) of layer 1's face conductances that carries water out of a cell in the running
  // sub-step (held rows). Layer 1 is the soil column's saturated zone, whose water ends at the
  // layer's bottom: when the implicit head of a cell would fall below that bottom, the sweep
  // lowers the share of its outflowing faces until the cell gives exactly what it holds. A face
  // takes the share of the cell the water leaves, so both cells see the same face flow.
  GridMatrix outflow_share;
  int outflow_share_index = 0;

  // Coupling references of the unsaturated zone (kept, not read).
  double* qg = nullptr;
  void* reinfiltration_records = nullptr;

 private:
  // Set-up steps (lateral/groundwater_setup.cpp).
  void ReadSection();
  void ReadPondFlag();
  void ReadTuning();
  void TakeGrids();
  void CheckSolverValues();
  void CheckAquiferGrids();
  void SetLayerOneThickness();
  void SetStartHeads();
  void MakeWorkingGrids();
  void CheckExplicitStorage();
  void CheckFixedHeads();
  void CreateControlPointFile();
  void MakeAccountGrids();
  int RegisterNext(const std::string& file_name, double** grid, const std::string& identifier,
                   int32_t write_code, bool held);
  GridMatrix NewHeldGrid() const;
  GridMatrix NewOwnGrid() const;

  // Sub-step pieces (lateral/groundwater_step.cpp).
  void ComputeLeakage();
  void ShiftStartHeads();
  double StartHead(long r, long c) const;
  double PumpedDrop(long r, long c, double head) const;
  void ExchangeLayerHeads(GwLayer& layer);
  void SolveLayer(int l);
  void ComputeBaseflow();
  void ComputeBalance(int l);
  void MarkInvalidHeads(int l);
  void RecordControlPoint();
  void ResetAccountStep();
  void AccountSubStep();
  // Face volumes of the sub-step (m3, into the cell): north, east, south, west, above, below.
  void FaceVolumes(int l, long r, long c, double q[6]) const;
  double StoredVolume(int l, long r, long c) const;
  // Outflow share of the face between (r, c) at head `h` and a neighbour of share `share_n` at
  // head `hn`: layer 1's faces take the share of the higher cell; 1 in the other layers.
  double FaceShare(int l, long r, long c, double h, double hn, double share_n) const {
    if (l != 1) return 1.0;
    return hn < h ? outflow_share[r][c] : share_n;
  }

  // Tracer pieces (lateral/groundwater_tracers.cpp).
  void SetupTracerLayer(int t, int l);
  void SetupSoluteWater();
  void BeginTracerSubStep();
  void TakeSoluteFromGrids();
  void TakePumpedSolute();
  void TakeSoilExchange(int t);
  void DecayTracers();
  void TransportTracers();
  void ScaleOutflows(int l);
  void TransportLayer(int t, int l);
  void StoreTracers();
  void SetReturnConcentrations();
  void ReadTracerState(int t);
  void CheckTracerState(const std::string& name, double** grid, bool volume);
  void FinishTracerStep();
  // Mass (m3 x concentration) of the registered grid's value `stored` and back.
  double MassOf(int t, int l, long r, long c, double stored) const;
  double StoredOf(int t, int l, long r, long c, double mass) const;
  bool TransportCell(long r, long c) const {
    return Owns(r, c) && ValidReference(r, c) && GlacierShare(r, c) < 1;
  }
  std::vector<int32_t> tracer_zone_index;  // zone code -> record of the zone table
  bool tracer_mass_running = false;        // the solute grids were taken in at a sub-step
  void SweepColour(int l, int colour, std::vector<double>& row_max, std::vector<double>& row_sum,
                   std::vector<double>& row_count);

 public:
  // Cell tests (inline: they run per cell).
  bool Owns(long r, long c) const {
    return owner_grid == nullptr || owner_grid[r] == nullptr || owner_grid[r][c] == rank;
  }
  bool ValidReference(long r, long c) const { return zone_grid[r][c] > nodata; }
  double GlacierShare(long r, long c) const;
  double Dx(long r, long c) const { return cell_size_x != nullptr ? cell_size_x[r][c] : cellsize; }
  double Dy(long r, long c) const { return cell_size_y != nullptr ? cell_size_y[r][c] : cellsize; }
  int64_t HeldFirst() const;
  int64_t HeldLast() const;
  double SubStepSeconds() const { return 60.0 * time_interval / sub_step_count; }
};

}  // namespace velorn

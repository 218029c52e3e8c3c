// Region decomposition: which MPI process owns which cell of the model domain.
//
// The settings object calls DecomposeRegions once per run, on every process at the same point
// of the set-up, after process 0 has read the zone grid, the elevation model and (when used) the
// grid "river_links". Cells of the domain (zone value above nodata) are handed out row by row,
// column by column, from the highest rank downward, each process getting a share weighted by
// its speed; every river link goes whole to one computing process. The result is the MpiLayout
// of each process (owner grid "MPIRegions", strip table "MPIHelper", halo grid "MPIHalo", row
// ranges, cell counts, halo send and receive lists) and the river links of every process.
//
// The steps that need no communication are pure functions (PlanRegions on process 0,
// BuildLocalTables per process), so the decomposition for any number of processes can be
// computed and checked on one. Speeds come from "MpiSpeedFactor.dat" in the working directory
// or from a timer that the caller can replace (tests never time anything).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "grids/mpi_layout.h"
#include "setup/river_link.h"
#include "tables/soil_record.h"

namespace velorn {

class DiagnosticStream;
class GridRegistry;

inline constexpr const char* kSpeedFactorFile = "MpiSpeedFactor.dat";

// The fixed workload that measures a process without a speed-factor file: 30 repetitions of
// one OpenMP loop over three 1000 x 1000 matrices; returns the summed wall time in seconds.
double TimeStandardWorkload();
using ProcessTimer = std::function<double()>;

// The time of this process (smaller is faster): the first number of "MpiSpeedFactor.dat" in
// the working directory, else the timer's result, reported as "MPI wtime: ".
double ReadProcessTime(DiagnosticStream& diag, int rank,
                       const ProcessTimer& timer = TimeStandardWorkload);

// The fourth value of [unsatzon_model] in the compiled control file (the re-infiltration
// mode; river links are used when it is 2), or 0 when the section is absent. A missing value is
// a control-file error (code 17) reported with the module name; the file not opened is code 28.
int ReadReinfiltrationMode(DiagnosticStream& diag, const std::string& compiled_file,
                           const std::string& module_name);

// The settings of [unsatzon_model] the decomposition needs: whether the sub-model is on (first
// value), its time step in minutes (second), the soil method (third) and the re-infiltration
// mode (fourth); all 0 when the section is absent.
struct UnsatzoneHead {
  int on = 0;
  double step_minutes = 0.0;
  int method = 0;
  int reinfiltration = 0;
};
UnsatzoneHead ReadUnsatzoneHead(DiagnosticStream& diag, const std::string& compiled_file,
                                const std::string& module_name);

// Work of a cell outside its soil column, in inner soil steps of one layer.
inline constexpr double kCellWorkOutsideSoil = 17.0;

// A flat cell drains nothing sideways (the interflow follows the slope's tangent): its column
// stays wetter and each inner step costs more, the more the faster its soil passes water. Below
// a slope tangent of kFlatCellTangent the inner steps weigh more, in full on level ground: by
// kFlatCellExtraWorkPerStep for each inner step a day of the column's fastest layer, at most by
// kFlatCellExtraWorkLimit (the most that was measured).
inline constexpr double kFlatCellTangent = 0.1;
inline constexpr double kFlatCellExtraWorkPerStep = 0.0175;
inline constexpr double kFlatCellExtraWorkLimit = 0.6;

// The expected work of one basin cell per day: 1 without a soil column (soil null); else 17
// plus, summed over the column's layers, the inner water steps a day that each layer alone would
// take (method 3: a wetting layer at its saturated conductivity, in steps of `step_seconds`;
// method 2: one a step), those steps weighed more on a cell flatter than a tangent of 0.1
// (`slope_degrees`, the slope angle; a value outside 0..90 degrees counts as steep).
// Measured per cell on the example tiled ten times per side in January (one process, the soil
// step timed per column, the other sub-models added per cell): on sloping cells a column-day of
// loam, sandy loam and loamy sand costs 9.8, 15 and 44 µs, 0.2 to 0.3 µs per unit of weight; on
// level cells (the tiling leaves 64 % of them level) the steps of loamy sand cost 1.6 times as
// much, of sandy loam 1.2 times, of loam the same: 1 + 0.0175 x the fastest layer's 35, 11 and
// 3 steps a day. The instructions of the soil step on 8 processes (bench/mpi_critical_path) put
// a cell of loamy sand at 3.98 times one of sandy loam over the tiled example's mix of slopes;
// a single extra share for every soil (0.3) weighed it 3.3 times, and the strips holding the
// most loamy sand did 3 to 4 % more work than the mean.
double CellWorkWeight(int method, const SoilRecord* soil, double step_seconds,
                      double slope_degrees);

struct RegionGeometry {
  int32_t ncols = 0;
  int32_t nrows = 0;
  double nodata = -9999.0;
};

// Grids read by process 0, holding every row; null elsewhere. river_links is null when river
// links are not used (grid not registered, or re-infiltration mode other than 2).
struct RegionGrids {
  double** zone = nullptr;
  double** elevation = nullptr;
  double** river_links = nullptr;
  // The expected work of each cell (CellWorkWeight), or null when every cell counts alike.
  double** work = nullptr;
};

// Normalised weights from the processes' times: 1 / time, or 1 for a time of 0 or below.
std::vector<double> SpeedWeights(const std::vector<double>& times);

// The decomposition as process 0 computes it, for any number of processes.
struct RegionPlan {
  std::vector<double> weights;
  std::vector<int64_t> quotas;  // regular cells per process, after the river links were taken
  double mean_work = 1.0;       // mean work of a regular cell: a quota of q cells is q x it
  int64_t regular_cells = 0;
  int64_t river_cells = 0;
  GridMatrix owner;                 // every row; nodata outside the domain
  std::vector<int32_t> first_rows;  // own rows per process; (1, 0) for a process without cells
  std::vector<int32_t> last_rows;
  std::vector<int64_t> cell_counts;  // size + 1 entries
  std::vector<std::unique_ptr<RiverLink>> links;
};

// Census, river links, quotas and the assignment pass; writes the decomposition messages.
RegionPlan PlanRegions(DiagnosticStream& diag, const RegionGeometry& geometry,
                       const RegionGrids& grids, const std::vector<double>& times);

// Given a layout with rank, size, geometry, own rows and the owner grid over the rows it
// holds, allocates and fills the strip table and the halo grid and builds the receive list.
void BuildLocalTables(DiagnosticStream& diag, MpiLayout& layout);

// The layout of process `rank` as it follows from a plan, with the receive list but no send
// list (which comes from the peers' receive lists, see SendListFromPeers).
MpiLayout LayoutFromPlan(DiagnosticStream& diag, const RegionGeometry& geometry,
                         const RegionPlan& plan, int rank);

// The send list of `rank` given every process's receive list: the records that name it as
// peer, taken from the peers in ascending rank order, each addressed back to its sender.
std::vector<MpiStripRecord> SendListFromPeers(
    const std::vector<std::vector<MpiStripRecord>>& receive_lists, int rank);

struct RegionDecomposition {
  MpiLayout layout;
  RiverLinkSet river_links;
};

// The whole decomposition, collective over MPI_COMM_WORLD: every process passes its own time
// (ReadProcessTime); process 0 also passes the grids.
RegionDecomposition DecomposeRegions(DiagnosticStream& diag, const RegionGeometry& geometry,
                                     const RegionGrids& grids, double process_time);

// Registers the three decomposition grids at the first free registry entry and the two after
// it: "MPIRegions", "MPIHelper", "MPIHalo", empty file name, write code 0 (never written), over
// the rows the layout holds (all rows on process 0). Returns the index of "MPIRegions". No room
// for all three: FATAL, code 12 (no free entry at all: "FATAL: when trying to create
// MPI-Regions: ..."; too few: the registry's own refusal of index 1000).
int RegisterMpiGrids(DiagnosticStream& diag, GridRegistry& registry, const MpiLayout& layout);

}  // namespace velorn

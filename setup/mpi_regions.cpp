#include "setup/mpi_regions.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>
#include <utility>

#include "core/control_file_reader.h"
#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/row_loop.h"
#include "tables/soil_inner_steps.h"

namespace velorn {

namespace {

// A cell of the zone grid's domain: its value lies above the nodata value.
bool InDomain(double value, double nodata) {
  return value > nodata;
}

// A cell of the owner grid that a process owns: its value is a rank. The owner grid marks the
// cells outside the domain with the nodata value, which is never a rank (the run's nodata value
// lies at or below -9999), but the test does not depend on that.
bool IsOwned(double owner) {
  return owner >= 0;
}

// A cell of the domain is regular unless river links are used and its river-link value is
// above 0. The census and the assignment pass both use this one rule, so the quotas (which
// count regular cells) are spent on exactly the cells they were computed from.
bool IsRegularCell(const RegionGrids& grids, int32_t row, int32_t col) {
  return grids.river_links == nullptr || grids.river_links[row][col] <= 0.0;
}

void FillGrid(GridMatrix& grid, int64_t first_row, int64_t last_row, int64_t ncols, double value) {
  for (int64_t row = first_row; row <= last_row; ++row)
    std::fill(grid[row], grid[row] + ncols + 1, value);
}

// ---- Process 0: census, links, quotas, assignment -------------------------------------------

// The link code of a river cell: its value truncated to an int32; a value beyond that range
// is reported and taken as the largest code instead of overflowing.
int32_t LinkCode(DiagnosticStream& diag, double value, int32_t row, int32_t col) {
  constexpr double kLargest = std::numeric_limits<int32_t>::max();
  if (value < kLargest) return static_cast<int32_t>(value);
  diag << "WARNING: river link code " << value << " in row " << row << ", column " << col
       << " is too large; taken as " << static_cast<long long>(kLargest) << "[end-entry]";
  return std::numeric_limits<int32_t>::max();
}

std::vector<RiverLinkCell> TakeCensus(DiagnosticStream& diag, const RegionGeometry& geometry,
                                      const RegionGrids& grids, RegionPlan& plan) {
  std::vector<RiverLinkCell> river;
  for (int32_t row = 1; row <= geometry.nrows; ++row) {
    for (int32_t col = 1; col <= geometry.ncols; ++col) {
      if (!InDomain(grids.zone[row][col], geometry.nodata)) continue;
      if (IsRegularCell(grids, row, col)) {
        ++plan.regular_cells;
        continue;
      }
      RiverLinkCell cell;
      cell.row = row;
      cell.col = col;
      cell.link_code = LinkCode(diag, grids.river_links[row][col], row, col);
      cell.elevation = grids.elevation != nullptr ? grids.elevation[row][col] : 0.0;
      river.push_back(cell);
    }
  }
  plan.river_cells = static_cast<int64_t>(river.size());
  if (grids.work != nullptr && plan.regular_cells > 0) {
    double work = 0.0;
    for (int32_t row = 1; row <= geometry.nrows; ++row)
      for (int32_t col = 1; col <= geometry.ncols; ++col)
        if (InDomain(grids.zone[row][col], geometry.nodata) && IsRegularCell(grids, row, col))
          work += grids.work[row][col];
    plan.mean_work = work / static_cast<double>(plan.regular_cells);
    diag << "MPI mean work of a regular cell: " << plan.mean_work << "[end-entry]";
  }
  diag << "MPI regular cells: " << static_cast<long long>(plan.regular_cells)
       << "\nMPI river cells: " << static_cast<long long>(plan.river_cells) << "[end-entry]";
  return river;
}

// One turn per process from rank 0 upward: a weighted share of all cells, less the cells of
// the river links the process computes (every process takes at least the next link while any
// remain, more while a regular cell is left for it).
void AssignQuotas(DiagnosticStream& diag, RegionPlan& plan, int size) {
  const int64_t total = plan.regular_cells + plan.river_cells;
  plan.quotas.assign(static_cast<std::size_t>(size), 0);
  std::size_t next_link = 0;
  int64_t quotas_given = 0;
  int64_t river_given = 0;
  for (int i = 0; i < size; ++i) {
    int64_t quota = i < size - 1 ? static_cast<int64_t>(std::floor(
                                       static_cast<double>(total) * plan.weights[i] + 0.4999))
                                 : total - quotas_given - river_given;
    std::vector<const RiverLink*> taken;
    int64_t link_cells = 0;
    auto take = [&](RiverLink& link) {
      quota -= link.cell_count();
      link.AssignTo(i);
      if (quota < 1) quota = 1;
      link_cells += link.cell_count();
      river_given += link.cell_count();
      taken.push_back(&link);
    };
    if (next_link < plan.links.size()) {
      take(*plan.links[next_link++]);
      while (next_link < plan.links.size() && quota - plan.links[next_link]->cell_count() >= 1)
        take(*plan.links[next_link++]);
    }
    plan.quotas[static_cast<std::size_t>(i)] = quota;
    quotas_given += quota;
    diag << "MPI num cells: " << static_cast<long long>(quota) << " for instance: " << i
         << "[end-entry]";
    for (const RiverLink* link : taken)
      diag << " + link cells: " << link->cell_count() << " for river link " << link->code()
           << "[end-entry]";
    if (link_cells > 0)
      diag << "        total: " << static_cast<long long>(quota + link_cells) << " for instance "
           << i << "[end-entry]";
  }
}

// Hands out the domain cells in row-major order from the highest rank downward. A process
// whose quota is spent (or was 0 or below from the start) gets no further cell; process 0
// takes whatever is left. Each process's last row is the row of the last cell it received.
void AssignCells(const RegionGeometry& geometry, const RegionGrids& grids, RegionPlan& plan,
                 int size) {
  // Quotas count mean cells; a cell spends its own work. With equal work every cell spends
  // exactly the mean, which gives the plain cell counts.
  std::vector<double> remaining(plan.quotas.size());
  for (std::size_t p = 0; p < remaining.size(); ++p)
    remaining[p] = static_cast<double>(plan.quotas[p]) * plan.mean_work;
  plan.first_rows.assign(static_cast<std::size_t>(size), -1);
  plan.last_rows.assign(static_cast<std::size_t>(size), -1);
  int current = size - 1;
  for (int32_t row = 1; row <= geometry.nrows; ++row) {
    for (int32_t col = 1; col <= geometry.ncols; ++col) {
      if (!InDomain(grids.zone[row][col], geometry.nodata)) continue;
      while (current > 0 && remaining[static_cast<std::size_t>(current)] <= 0) --current;
      const auto p = static_cast<std::size_t>(current);
      if (plan.first_rows[p] == -1) plan.first_rows[p] = row;
      plan.last_rows[p] = row;
      plan.owner[row][col] = current;
      if (IsRegularCell(grids, row, col))
        remaining[p] -= grids.work != nullptr ? grids.work[row][col] : 1.0;
    }
  }
  for (int p = 0; p < size; ++p) {
    if (plan.first_rows[static_cast<std::size_t>(p)] != -1) continue;
    plan.first_rows[static_cast<std::size_t>(p)] = 1;  // no cell: the empty row range 1..0
    plan.last_rows[static_cast<std::size_t>(p)] = 0;
  }
}

std::vector<int64_t> CountOwnedCells(const RegionGeometry& geometry, double** owner, int size) {
  std::vector<int64_t> counts(static_cast<std::size_t>(size) + 1, 0);
  for (int32_t row = 1; row <= geometry.nrows; ++row)
    for (int32_t col = 1; col <= geometry.ncols; ++col) {
      const double value = owner[row][col];
      if (IsOwned(value) && value < size) ++counts[static_cast<std::size_t>(value)];
    }
  return counts;
}

// ---- Every process: strip table, halo grid, receive list ------------------------------------

// The runs of one row of the strip table: index 0 and the pairs from index 1.
struct StripRow {
  int32_t row = 0;
  double lead = 0.0;
  std::vector<std::pair<double, double>> pairs;
};

// Process 0's form, every row: the nodata cells before the first domain cell, then one
// (owner, count) pair per run of equal owners, a run of cells outside the domain after a domain
// cell counting as a run of nodata.
std::vector<StripRow> CollectProcessZeroStrips(const MpiLayout& layout) {
  std::vector<StripRow> rows;
  for (int32_t row = 1; row <= layout.nrows; ++row) {
    const double* owner = layout.regions[row];
    auto value_at = [&](int32_t col) { return IsOwned(owner[col]) ? owner[col] : layout.nodata; };
    StripRow strips{row, 0.0, {}};
    int32_t col = 1;
    while (col <= layout.ncols && !IsOwned(owner[col])) ++col;
    strips.lead = col - 1;
    while (col <= layout.ncols) {
      const double value = value_at(col);
      const int32_t start = col;
      while (col <= layout.ncols && value_at(col) == value) ++col;
      strips.pairs.emplace_back(value, col - start);
    }
    rows.push_back(std::move(strips));
  }
  return rows;
}

// The form of the other processes, own rows only: one (first column, count) pair per run of
// own cells.
std::vector<StripRow> CollectOwnStrips(const MpiLayout& layout) {
  const double own = layout.rank;
  std::vector<StripRow> rows;
  for (int32_t row = layout.first_row; row <= layout.last_row; ++row) {
    const double* owner = layout.regions[row];
    StripRow strips{row, 0.0, {}};
    for (int32_t col = 1; col <= layout.ncols;) {
      if (owner[col] != own) {
        ++col;
        continue;
      }
      const int32_t start = col;
      while (col <= layout.ncols && owner[col] == own) ++col;
      strips.pairs.emplace_back(start, col - start);
    }
    rows.push_back(std::move(strips));
  }
  return rows;
}

// Sizes the table from the rows' runs before writing them: a row holds (ncols - 2) / 2 pairs
// and the end mark, or more when a row has more runs (holes between cells), so no legitimate
// decomposition overflows it.
void WriteStripTable(DiagnosticStream& diag, MpiLayout& layout, const HeldRows& held,
                     const std::vector<StripRow>& rows) {
  std::size_t most = 0;
  for (const StripRow& strips : rows) most = std::max(most, strips.pairs.size());
  layout.strip_pairs = std::max<int32_t>(static_cast<int32_t>(most), (layout.ncols - 2) / 2);
  layout.strip_pairs = std::max<int32_t>(layout.strip_pairs, 0);
  const int64_t last_index = std::max<int64_t>(layout.ncols, 2 * int64_t{layout.strip_pairs} + 2);
  layout.helper = GridMatrix(diag, held.first, held.last, last_index, layout.nrows);
  for (const StripRow& strips : rows) {
    double* table = layout.helper[strips.row];
    table[0] = strips.lead;
    for (std::size_t k = 0; k < strips.pairs.size(); ++k) {
      table[2 * k + 1] = strips.pairs[k].first;
      table[2 * k + 2] = strips.pairs[k].second;
    }
  }
}

void FillHalo(MpiLayout& layout) {
  const double own = layout.rank;
  for (int32_t row = layout.first_row; row <= layout.last_row; ++row) {
    for (int32_t col = 1; col <= layout.ncols; ++col) {
      if (layout.regions[row][col] != own) continue;
      const int32_t r0 = row > 1 ? row - 1 : row;
      const int32_t r1 = row < layout.nrows ? row + 1 : row;
      const int32_t c0 = col > 1 ? col - 1 : col;
      const int32_t c1 = col < layout.ncols ? col + 1 : col;
      for (int32_t r = r0; r <= r1; ++r)
        for (int32_t c = c0; c <= c1; ++c) {
          const double value = layout.regions[r][c];
          if (value != own && IsOwned(value)) layout.halo[r][c] = value;
        }
    }
  }
}

// Runs of halo cells per row and peer: a strip holds the neighbouring cells of one peer, and
// a gap (a cell that is no halo cell, or a cell of another owner) ends it.
void BuildReceiveList(MpiLayout& layout) {
  layout.receive_list.clear();
  const HeldRows held = layout.held_rows();
  for (int32_t row = held.first; row <= held.last; ++row) {
    double previous_halo = -1.0;
    double previous_owner = -1.0;
    for (int32_t col = 1; col <= layout.ncols; ++col) {
      const double h = layout.halo[row][col];
      if (h < 0) {
        previous_halo = previous_owner = -1.0;
        continue;
      }
      const double g = layout.regions[row][col];
      const auto peer = static_cast<int32_t>(h);
      auto& list = layout.receive_list;
      // A strip holds only halo cells of one peer: after a gap a new strip begins, so the
      // exchange never writes over the cells in between (own cells among them).
      if (h == previous_halo && g == previous_owner) {
        ++list.back().count;
      } else {
        list.push_back(MpiStripRecord{row, col, 1, peer});
      }
      previous_halo = h;
      previous_owner = g;
    }
  }
}

}  // namespace

// ---- Speeds ----------------------------------------------------------------------------------

double TimeStandardWorkload() {
  constexpr int kSide = 1000;
  constexpr int kRepetitions = 30;
  std::vector<double> a(static_cast<std::size_t>(kSide) * kSide);
  std::vector<double> b(a.size());
  std::vector<double> c(a.size());
  double sum = 0.0;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    const double start = MPI_Wtime();
    ForEachRow(1, kSide, [&](long i) {
      for (long j = 1; j <= kSide; ++j) {
        const std::size_t at = static_cast<std::size_t>(i - 1) * kSide + (j - 1);
        a[at] = std::cos(static_cast<double>(i + j));
        b[at] = std::sin(static_cast<double>(i + j));
        c[at] = std::atan(b[at] * a[at]);
      }
    });
    sum += MPI_Wtime() - start;
  }
  volatile double sink = c[c.size() / 2];
  (void)sink;
  return sum;
}

double ReadProcessTime(DiagnosticStream& diag, int rank, const ProcessTimer& timer) {
  {
    std::ifstream file(kSpeedFactorFile);
    double time = 0.0;
    if (file && (file >> time)) return time;
  }
  const double time = timer();
  diag << "MPI wtime: " << time << "for instance: " << rank << "[end-entry]";
  return time;
}

UnsatzoneHead ReadUnsatzoneHead(DiagnosticStream& diag, const std::string& compiled_file,
                                const std::string& module_name) {
  ControlFileReader file;
  if (!file.Open(compiled_file)) {
    ThrowFatal(diag, kControlFileOpenCode, "FATAL: Error opening ", compiled_file);
  }
  UnsatzoneHead head;
  if (!file.FindHeader("[unsatzon_model]")) return head;
  // The first four value lines of the section; each line's comment is skipped.
  int values[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    const bool read = k == 1 ? file.Read(head.step_minutes) : file.Read(values[k]);
    if (!read) {
      ThrowFatal(diag, kControlFileErrorCode, "FATAL: error in control file, ",
                 "looking for re-infiltration parameter in [unsatzon_model]", "; ", module_name,
                 "not found!");
    }
    if (k < 3) file.SkipRestOfLine();
  }
  head.on = values[0];
  head.method = values[2];
  head.reinfiltration = values[3];
  return head;
}

int ReadReinfiltrationMode(DiagnosticStream& diag, const std::string& compiled_file,
                           const std::string& module_name) {
  return ReadUnsatzoneHead(diag, compiled_file, module_name).reinfiltration;
}

double CellWorkWeight(int method, const SoilRecord* soil, double step_seconds,
                      double slope_degrees) {
  if (soil == nullptr) return 1.0;
  const int layers = std::max(soil->layers, 0);
  if (!(step_seconds > 0)) return kCellWorkOutsideSoil + layers;
  // Each layer on its own (from layer i - 1 up to level i + 1: layer i alone), wetting.
  double steps_per_step = 0.0;
  double fastest = 0.0;
  for (int i = 1; i <= layers; ++i) {
    const double steps =
        InnerStepCount(method, *soil, nullptr, i - 1, i + 1.0, true, step_seconds, 0.0);
    steps_per_step += steps;
    fastest = std::max(fastest, steps);
  }
  const double steps_per_day = std::ceil(86400.0 / step_seconds);
  // An angle outside 0..90 degrees (nodata, NaN) counts as steep.
  const bool angle = slope_degrees >= 0.0 && slope_degrees <= 90.0;
  const double tangent = angle ? std::tan(slope_degrees * std::numbers::pi / 180.0) : 0.0;
  const double flatness = angle ? std::max(0.0, 1.0 - tangent / kFlatCellTangent) : 0.0;
  const double extra =
      std::min(kFlatCellExtraWorkPerStep * steps_per_day * fastest, kFlatCellExtraWorkLimit);
  return kCellWorkOutsideSoil + steps_per_day * steps_per_step * (1.0 + extra * flatness);
}

std::vector<double> SpeedWeights(const std::vector<double>& times) {
  std::vector<double> weights(times.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < times.size(); ++i) {
    weights[i] = times[i] > 0.0 ? 1.0 / times[i] : 1.0;
    sum += weights[i];
  }
  for (double& weight : weights) weight /= sum;
  return weights;
}

// ---- Plan ------------------------------------------------------------------------------------

RegionPlan PlanRegions(DiagnosticStream& diag, const RegionGeometry& geometry,
                       const RegionGrids& grids, const std::vector<double>& times) {
  const int size = static_cast<int>(times.size());
  RegionPlan plan;
  plan.weights = SpeedWeights(times);
  for (int i = 0; i < size; ++i)
    diag << "MPI performance weight: " << plan.weights[static_cast<std::size_t>(i)]
         << " for instance: " << i << "[end-entry]";
  plan.owner = GridMatrix(diag, 1, geometry.nrows, geometry.ncols, geometry.nrows);
  FillGrid(plan.owner, 1, geometry.nrows, geometry.ncols, geometry.nodata);
  plan.links = GroupRiverLinks(TakeCensus(diag, geometry, grids, plan));
  AssignQuotas(diag, plan, size);
  AssignCells(geometry, grids, plan, size);
  for (auto& link : plan.links) link->LocateCells(plan.owner.get());
  plan.cell_counts = CountOwnedCells(geometry, plan.owner.get(), size);
  return plan;
}

// ---- Per-process tables ----------------------------------------------------------------------

void BuildLocalTables(DiagnosticStream& diag, MpiLayout& layout) {
  const HeldRows held = layout.rank == 0 ? HeldRows{1, layout.nrows} : layout.held_rows();
  WriteStripTable(diag, layout, held,
                  layout.rank == 0 ? CollectProcessZeroStrips(layout) : CollectOwnStrips(layout));
  layout.halo = GridMatrix(diag, held.first, held.last, layout.ncols, layout.nrows);
  FillGrid(layout.halo, held.first, held.last, layout.ncols, layout.nodata);
  FillHalo(layout);
  BuildReceiveList(layout);
}

MpiLayout LayoutFromPlan(DiagnosticStream& diag, const RegionGeometry& geometry,
                         const RegionPlan& plan, int rank) {
  MpiLayout layout;
  layout.rank = rank;
  layout.size = static_cast<int>(plan.first_rows.size());
  layout.ncols = geometry.ncols;
  layout.nrows = geometry.nrows;
  layout.nodata = geometry.nodata;
  layout.first_rows = plan.first_rows;
  layout.last_rows = plan.last_rows;
  layout.first_row = plan.first_rows[static_cast<std::size_t>(rank)];
  layout.last_row = plan.last_rows[static_cast<std::size_t>(rank)];
  layout.cell_counts = plan.cell_counts;
  const HeldRows held = rank == 0 ? HeldRows{1, geometry.nrows} : layout.held_rows();
  layout.regions = GridMatrix(diag, held.first, held.last, geometry.ncols, geometry.nrows);
  for (int32_t row = held.first; row <= held.last; ++row)
    std::copy(plan.owner[row], plan.owner[row] + geometry.ncols + 1, layout.regions[row]);
  BuildLocalTables(diag, layout);
  return layout;
}

std::vector<MpiStripRecord> SendListFromPeers(
    const std::vector<std::vector<MpiStripRecord>>& receive_lists, int rank) {
  std::vector<MpiStripRecord> sends;
  for (std::size_t peer = 0; peer < receive_lists.size(); ++peer) {
    if (static_cast<int>(peer) == rank) continue;
    for (const MpiStripRecord& record : receive_lists[peer])
      if (record.peer == rank)
        sends.push_back(
            MpiStripRecord{record.row, record.first_col, record.count, static_cast<int32_t>(peer)});
  }
  return sends;
}

// ---- The collective decomposition ------------------------------------------------------------

namespace {

std::vector<double> GatherTimes(DiagnosticStream& diag, int rank, int size, double own_time) {
  std::vector<double> times(static_cast<std::size_t>(size), 0.0);
  if (rank != 0) {
    MPI_Send(&own_time, 1, MPI_DOUBLE, 0, rank, MPI_COMM_WORLD);
    return times;
  }
  times[0] = own_time;
  for (int i = 1; i < size; ++i)
    MPI_Recv(&times[static_cast<std::size_t>(i)], 1, MPI_DOUBLE, i, i, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
  for (int i = 0; i < size; ++i)
    diag << "received MPI wtime: " << times[static_cast<std::size_t>(i)] << " for instance: " << i
         << "[end-entry]";
  return times;
}

void BroadcastLinks(DiagnosticStream& diag, int rank, RiverLinkSet& set) {
  int link_count = static_cast<int>(set.links.size());
  MPI_Bcast(&link_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
  diag << "After broadcasting numLinks: " << link_count << " for instance: " << rank
       << "[end-entry]";
  std::vector<unsigned char> bytes;
  for (int l = 0; l < link_count; ++l) {
    int cell_count = rank == 0 ? set.links[static_cast<std::size_t>(l)]->cell_count() : 0;
    MPI_Bcast(&cell_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    bytes.assign(static_cast<std::size_t>(cell_count) * kRiverLinkCellBytes, 0);
    if (rank == 0) {
      const auto& cells = set.links[static_cast<std::size_t>(l)]->GetCells();
      for (std::size_t i = 0; i < cells.size(); ++i) {
        const RiverLinkCellBytes packed = PackRiverLinkCell(cells[i]);
        std::copy(packed.begin(), packed.end(), bytes.begin() + i * kRiverLinkCellBytes);
      }
    }
    MPI_Bcast(bytes.data(), static_cast<int>(bytes.size()), MPI_BYTE, 0, MPI_COMM_WORLD);
    if (rank == 0 || cell_count == 0) continue;
    std::vector<RiverLinkCell> cells(static_cast<std::size_t>(cell_count));
    for (std::size_t i = 0; i < cells.size(); ++i)
      cells[i] = UnpackRiverLinkCell(bytes.data() + i * kRiverLinkCellBytes);
    auto link = std::make_unique<RiverLink>(cells.front().link_code, cells.front().computing);
    link->SetCells(std::move(cells));
    set.links.push_back(std::move(link));
  }
}

void DistributeOwnerRows(DiagnosticStream& diag, MpiLayout& layout) {
  if (layout.rank == 0) {
    for (int j = 1; j < layout.size; ++j) {
      const HeldRows held = HeldRowsOf(layout.first_rows[static_cast<std::size_t>(j)],
                                       layout.last_rows[static_cast<std::size_t>(j)], layout.nrows);
      for (int32_t row = held.first; row <= held.last; ++row)
        MPI_Send(layout.regions[row] + 1, layout.ncols, MPI_DOUBLE, j, row, MPI_COMM_WORLD);
    }
    return;
  }
  const HeldRows held = layout.held_rows();
  layout.regions = GridMatrix(diag, held.first, held.last, layout.ncols, layout.nrows);
  FillGrid(layout.regions, held.first, held.last, layout.ncols, layout.nodata);
  for (int32_t row = held.first; row <= held.last; ++row)
    MPI_Recv(layout.regions[row] + 1, layout.ncols, MPI_DOUBLE, 0, row, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
}

// Tells every peer how many strips this process reads from it, and learns which of its own
// strips each peer reads: the send list.
void ExchangeStripLists(MpiLayout& layout) {
  std::vector<int> records_per_peer(static_cast<std::size_t>(layout.size), 0);
  for (const MpiStripRecord& record : layout.receive_list)
    ++records_per_peer[static_cast<std::size_t>(record.peer)];
  std::vector<int> peers;
  for (int p = 0; p < layout.size; ++p)
    if (records_per_peer[static_cast<std::size_t>(p)] > 0) peers.push_back(p);

  std::vector<std::array<int, 2>> sent(peers.size());
  std::vector<std::array<int, 2>> received(peers.size());
  std::vector<MPI_Request> requests(2 * peers.size());
  for (std::size_t i = 0; i < peers.size(); ++i) {
    sent[i] = {peers[i], records_per_peer[static_cast<std::size_t>(peers[i])]};
    MPI_Isend(sent[i].data(), 2, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests[2 * i]);
    MPI_Irecv(received[i].data(), 2, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests[2 * i + 1]);
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);

  std::vector<MpiStripRecord> outgoing = layout.receive_list;
  for (MpiStripRecord& record : outgoing) record.peer = layout.rank;
  std::size_t wanted = 0;
  for (const auto& pair : received) wanted += static_cast<std::size_t>(std::max(pair[1], 0));
  std::vector<MpiStripRecord> incoming(wanted);
  requests.assign(outgoing.size() + wanted, MPI_REQUEST_NULL);
  std::size_t r = 0;
  for (std::size_t i = 0; i < outgoing.size(); ++i)
    MPI_Isend(&outgoing[i], 4, MPI_INT32_T, layout.receive_list[i].peer, 0, MPI_COMM_WORLD,
              &requests[r++]);
  std::size_t slot = 0;
  for (std::size_t i = 0; i < peers.size(); ++i)
    for (int k = 0; k < received[i][1]; ++k)
      MPI_Irecv(&incoming[slot++], 4, MPI_INT32_T, peers[i], 0, MPI_COMM_WORLD, &requests[r++]);
  MPI_Waitall(static_cast<int>(r), requests.data(), MPI_STATUSES_IGNORE);
  layout.send_list = std::move(incoming);
}

}  // namespace

RegionDecomposition DecomposeRegions(DiagnosticStream& diag, const RegionGeometry& geometry,
                                     const RegionGrids& grids, double process_time) {
  RegionDecomposition result;
  MpiLayout& layout = result.layout;
  MPI_Comm_rank(MPI_COMM_WORLD, &layout.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &layout.size);
  layout.ncols = geometry.ncols;
  layout.nrows = geometry.nrows;
  layout.nodata = geometry.nodata;
  const auto size = static_cast<std::size_t>(layout.size);

  const std::vector<double> times = GatherTimes(diag, layout.rank, layout.size, process_time);
  RegionPlan plan;
  if (layout.rank == 0) {
    plan = PlanRegions(diag, geometry, grids, times);
    result.river_links.links = std::move(plan.links);
    layout.regions = std::move(plan.owner);
    layout.first_rows = plan.first_rows;
    layout.last_rows = plan.last_rows;
    layout.cell_counts = plan.cell_counts;
  } else {
    layout.first_rows.assign(size, 0);
    layout.last_rows.assign(size, 0);
    layout.cell_counts.assign(size + 1, 0);
  }

  BroadcastLinks(diag, layout.rank, result.river_links);
  MPI_Barrier(MPI_COMM_WORLD);
  SortLinkCellsByProcess(result.river_links, layout.rank, layout.size);
  MPI_Barrier(MPI_COMM_WORLD);

  MPI_Bcast(layout.first_rows.data(), layout.size, MPI_INT32_T, 0, MPI_COMM_WORLD);
  MPI_Bcast(layout.last_rows.data(), layout.size, MPI_INT32_T, 0, MPI_COMM_WORLD);
  layout.first_row = layout.first_rows[static_cast<std::size_t>(layout.rank)];
  layout.last_row = layout.last_rows[static_cast<std::size_t>(layout.rank)];
  DistributeOwnerRows(diag, layout);
  BuildLocalTables(diag, layout);
  MPI_Bcast(layout.cell_counts.data(), layout.size + 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
  ExchangeStripLists(layout);
  layout.ReserveRequests();
  return result;
}

int RegisterMpiGrids(DiagnosticStream& diag, GridRegistry& registry, const MpiLayout& layout) {
  const int first = registry.FirstFreeIndex();
  // No free entry at all is reported here; a free entry too close to the end fails when the
  // registry refuses the index 1000 for the second or third grid.
  if (first >= kRefusedGridIndex)
    ThrowFatal(
        diag, kRegistryFullCode,
        "FATAL: when trying to create MPI-Regions: no free grid found in memory (at position ",
        kRefusedGridIndex, ")");
  const HeldRows held = layout.rank == 0 ? HeldRows{1, layout.nrows} : layout.held_rows();
  const char* identifiers[3] = {"MPIRegions", "MPIHelper", "MPIHalo"};
  double** data[3] = {layout.regions.get(), layout.helper.get(), layout.halo.get()};
  for (int i = 0; i < 3; ++i)
    registry.Register(diag, first + i, "", data[i], nullptr, 0, identifiers[i], 0, held.first,
                      held.last, layout.ncols, layout.nrows);
  return first;
}

}  // namespace velorn

// External coupling: the file side of each exchange. Reading the other program's grids at the
// start of an interval, accumulating between interval ends, and writing grids, dated totals and
// statistics texts at an interval end.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/error_code.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/signals.h"
#include "core/zone_statistics.h"
#include "grids/mpi_layout.h"
#include "setup/coupling.h"
#include "setup/defaultini.h"

namespace velorn {
namespace {

// Which cells of this process take part in the accumulation: the zone grid is valid there, the
// cell lies in its row's column range and the region grid names this process. Without a region
// grid (before the decomposition) a single process owns every cell.
class OwnCells {
 public:
  explicit OwnCells(const defaultini& s)
      : zone_(s.registry != nullptr ? (*s.registry)[1].grid : nullptr),
        regions_(s.mpi != nullptr ? s.mpi->regions.get() : nullptr),
        ranges_(s.column_ranges),
        rank_(s.rank),
        single_(s.size == 1),
        nodata_(s.nodata) {}

  bool Valid(int64_t r, int64_t c) const {
    if (zone_ == nullptr || zone_[r] == nullptr || !IsAboveNodata(zone_[r][c], nodata_))
      return false;
    if (ranges_ != nullptr && (c < ranges_[r].first || c > ranges_[r].last)) return false;
    if (regions_ == nullptr) return single_;
    return regions_[r] != nullptr && static_cast<int>(regions_[r][c]) == rank_;
  }

 private:
  double** zone_;
  double** regions_;
  const ColumnRange* ranges_;
  int rank_;
  bool single_;
  double nodata_;
};

// Rows of the linked grid's registered range that both grids hold.
template <class Cell>
void ForLinkedCells(const defaultini& s, const ExternalWriteGrid& entry, Cell&& cell) {
  const GridEntry& linked = (*s.registry)[entry.linked_index];
  const int64_t first = std::max<int64_t>(linked.first_row, 1);
  const int64_t last = std::min<int64_t>(linked.last_row, s.nrows);
  const OwnCells own(s);
  double** sum = entry.accumulation.get();
  ForEachRow(first, last, [&](long r) {
    if (sum[r] == nullptr || entry.linked_grid[r] == nullptr) return;
    for (int64_t c = 1; c <= s.ncols; ++c) {
      if (own.Valid(r, c))
        cell(sum[r][c], entry.linked_grid[r][c]);
      else
        sum[r][c] = s.nodata;
    }
  });
}

void AddLinkedGrid(const defaultini& s, const ExternalWriteGrid& entry) {
  ForLinkedCells(s, entry, [](double& sum, double value) { sum += value; });
}

void DivideBySteps(const defaultini& s, const ExternalWriteGrid& entry, int32_t steps) {
  if (steps <= 0) return;
  ForLinkedCells(s, entry, [steps](double& sum, double) { sum /= steps; });
}

}  // namespace

// The linked grid's own cells, nodata elsewhere: what a grid written as it is ("Current") shows
// the partner, the same on every process count (outside the basin, too).
GridMatrix OwnCellsCopy(const defaultini& s, const ExternalWriteGrid& entry) {
  const GridEntry& linked = (*s.registry)[entry.linked_index];
  const int64_t first = std::max<int64_t>(linked.first_row, 1);
  const int64_t last = std::min<int64_t>(linked.last_row, s.nrows);
  GridMatrix copy(*s.diag, first, last, s.ncols, s.nrows);
  const OwnCells own(s);
  ForEachRow(first, last, [&](long r) {
    for (int64_t c = 1; c <= s.ncols; ++c)
      copy[r][c] =
          own.Valid(r, c) && entry.linked_grid[r] != nullptr ? entry.linked_grid[r][c] : s.nodata;
  });
  return copy;
}

void ResetAccumulationGrid(const defaultini& settings, double** grid) {
  const OwnCells own(settings);
  ForEachRow(1, settings.nrows, [&](long r) {
    if (grid[r] == nullptr) return;
    for (int64_t c = 1; c <= settings.ncols; ++c)
      grid[r][c] = own.Valid(r, c) ? 0.0 : settings.nodata;
  });
}

// Each grid is read into a buffer of its own and copied into the rows the linked grid holds, so
// a grid registered over this process's rows only is never written through a missing row.
void defaultini::ExchangeExternalGrids(int64_t year, int64_t month, int64_t day, int64_t hour) {
  for (const ExternalReadGrid& entry : coupling.read_grids) {
    double** buffer = nullptr;
    try {
      ReadGrid(entry.external_name, buffer, entry.fill_code, true, true, true, 1, false, true, 0);
    } catch (const ErrorCode&) {
      ThrowFatal(Diag(), kCouplingReadCode, "FATAL: error reading external grid ",
                 entry.external_name);
    }
    for (int64_t r = 1; r <= nrows; ++r)
      if (buffer[r] != nullptr && entry.linked_grid != nullptr && entry.linked_grid[r] != nullptr)
        std::copy(buffer[r] + 1, buffer[r] + ncols + 1, entry.linked_grid[r] + 1);
    velorn::FreeMatrix(buffer);
    EnableInterruptHandler();
  }
  if (rank != 0) return;
  for (const ExternalReadGrid& entry : coupling.read_grids) {
    if (entry.rename_code == 1) {
      const std::string renamed =
          RenamedExternalGridName(entry.external_name, year, month, day, hour, std::clock());
      errno = 0;
      if (std::rename(entry.external_name.c_str(), renamed.c_str()) != 0)
        ThrowFatal(Diag(), kCouplingRenameCode, "FATAL: error renaming external grid ",
                   entry.external_name, " nach ", renamed, SystemReason(ErrnoOrIo()));
    } else if (entry.rename_code == 0) {
      errno = 0;
      if (std::remove(entry.external_name.c_str()) != 0)
        ThrowFatal(Diag(), kCouplingRenameCode, "FATAL: error deleting external grid ",
                   entry.external_name, SystemReason(ErrnoOrIo()));
    }
  }
  if (std::remove(coupling.semaphore_file.c_str()) == 0) return;
  // The other program may still hold the file: one more try after 100 clock ticks.
  const std::clock_t start = std::clock();
  while (std::clock() - start < 100) {
  }
  errno = 0;
  if (std::remove(coupling.semaphore_file.c_str()) != 0)
    ThrowFatal(Diag(), kCouplingReadCode, "FATAL: error deleting semaphore file ",
               coupling.semaphore_file, SystemReason(ErrnoOrIo()));
}

void defaultini::AccumulateExternalGrids() {
  for (const ExternalWriteGrid& entry : coupling.write_grids)
    if (entry.linked_grid != nullptr && Accumulates(entry.kind)) AddLinkedGrid(*this, entry);
  for (const ExternalStatistic& entry : coupling.statistics) {
    if (entry.linked == nullptr || !Accumulates(entry.kind)) continue;
    ZoneStatisticsRecord& record = *entry.linked;
    for (int64_t j = 1; j <= record.columns - 1; ++j)
      record.second_values[j] += record.current_values[j];
  }
  ++coupling.accumulated_steps;
}

void defaultini::WriteExternalGrids(int32_t hour, int32_t day, int32_t month, int32_t year,
                                    bool /*hour_ended*/, bool day_ended, bool month_ended,
                                    bool year_ended) {
  ++coupling.accumulated_steps;
  for (ExternalWriteGrid& entry : coupling.write_grids) {
    if (entry.linked_grid == nullptr) continue;  // not linked yet: nothing to write
    if (Accumulates(entry.kind)) AddLinkedGrid(*this, entry);
    if (entry.kind == CouplingWriteKind::kMean)
      DivideBySteps(*this, entry, coupling.accumulated_steps);
    GridMatrix own_cells;
    if (!Accumulates(entry.kind)) own_cells = OwnCellsCopy(*this, entry);
    double** grid = Accumulates(entry.kind) ? entry.accumulation.get() : own_cells.get();
    // With several processes process 0 writes the gathered copy.
    GridMatrix gathered = MPIGatherGridCopy(0, grid);
    if (gathered) grid = gathered.get();
    if (rank == 0) {
      WriteGrid(entry.external_name, grid, write_ascii, write_double, write_netcdf);
      if (entry.kind == CouplingWriteKind::kSumTotal) {
        const SumTotalPeriods periods = SumTotalPeriodsOf(entry.write_code);
        if (day_ended && periods.day)
          WriteGrid(EndOfDayFileName(entry.external_name, year, month, day), grid, write_ascii,
                    write_double, write_netcdf);
        if (month_ended && periods.month)
          WriteGrid(EndOfMonthFileName(entry.external_name, year, month), grid, write_ascii,
                    write_double, write_netcdf);
        if (year_ended && periods.year)
          WriteGrid(EndOfYearFileName(entry.external_name, year), grid, write_ascii, write_double,
                    write_netcdf);
      }
    }
    if (entry.kind == CouplingWriteKind::kSum || entry.kind == CouplingWriteKind::kMean)
      ResetAccumulationGrid(*this, entry.accumulation.get());
  }
  if (rank == 0) {
    for (ExternalStatistic& entry : coupling.statistics) {
      if (entry.linked == nullptr) continue;
      const std::string text =
          CouplingStatisticsText(*entry.linked, entry.kind, coupling.accumulated_steps, zone_count,
                                 year, month, day, hour);
      errno = 0;
      std::FILE* file = std::fopen(entry.external_name.c_str(), "w");
      if (file == nullptr)
        ThrowFatal(Diag(), kOutputCreateCode, "FATAL: error opening ", entry.external_name,
                   SystemReason(ErrnoOrIo()));
      const int error = WriteAndClose(file, text);
      if (error != 0)
        ThrowFatal(Diag(), kWriteErrorCode, "FATAL: write error ", entry.external_name, " ! (",
                   kWriteErrorCode, ")", SystemReason(error));
    }
  }
  coupling.accumulated_steps = 0;
}

}  // namespace velorn

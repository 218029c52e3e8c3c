#include "grids/mpi_exchange.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"

namespace velorn {

namespace {

constexpr int kCodeStrips = 120;
constexpr int kCodeZoneValueCount = 121;
constexpr int kCodeNoLevelCount = 1010;

// How a strip overflow is worded: the grid operations and the stack scatter say "in row", the
// stack gathers "(in row ...)".
enum class OverflowText { kInRow, kParenthesised };

[[noreturn]] void ThrowStripOverflow(DiagnosticStream& diag, OverflowText text, int32_t row) {
  if (text == OverflowText::kInRow)
    ThrowFatal(diag, kCodeStrips,
               "FATAL: MPI-Regions: to much strips to be stored in a grid row in row ", row);
  ThrowFatal(diag, kCodeStrips,
             "FATAL: MPI-Regions: to much strips to be stored in a grid row (in row ", row, ")");
}

// Walks process 0's strips of one row from the row's first domain column: fn(owner, first
// column, count) for each strip, the start advancing over every strip. The list ends at the
// first pair whose count is 0 or less; the end mark must lie within the table row.
template <class Fn>
void ForEachStripOfRow(DiagnosticStream& diag, const MpiLayout& layout, int32_t row,
                       OverflowText text, Fn&& fn) {
  const double* table = layout.helper[row];
  auto start = static_cast<int32_t>(table[0]) + 1;
  for (int32_t k = 0;; ++k) {
    if (k > layout.strip_pairs) ThrowStripOverflow(diag, text, row);
    const auto count = static_cast<int32_t>(table[2 * k + 2]);
    if (count <= 0) break;
    fn(table[2 * k + 1], start, count);
    start += count;
  }
}

// Walks the own strips of one row on a process other than 0: fn(first column, count). The list
// ends at the first pair whose first column is 0 or less.
template <class Fn>
void ForEachOwnStrip(DiagnosticStream& diag, const MpiLayout& layout, int32_t row,
                     OverflowText text, Fn&& fn) {
  const double* table = layout.helper[row];
  for (int32_t k = 0;; ++k) {
    if (k > layout.strip_pairs) ThrowStripOverflow(diag, text, row);
    const auto start = static_cast<int32_t>(table[2 * k + 1]);
    if (start <= 0) break;
    fn(start, static_cast<int32_t>(table[2 * k + 2]));
  }
}

bool Active(const MpiLayout* layout) {
  return layout != nullptr && layout->distributed();
}

// Moves the strips of a grid or stack: cell(row, col) is the address of the cell's first
// value and `width` the doubles per cell (the cells of a row are contiguous). `to_owners`
// scatters, otherwise gathers.
// Process 0 moves the strips of rows first..last only (all rows by default).
template <class Cell>
void MoveStrips(DiagnosticStream& diag, const MpiLayout& layout, Cell&& cell, int width,
                bool to_owners, OverflowText text, int32_t first = 1, int32_t last = -1) {
  if (layout.rank == 0) {
    if (last < 0) last = layout.nrows;
    for (int32_t row = first; row <= last; ++row) {
      ForEachStripOfRow(diag, layout, row, text, [&](double owner, int32_t start, int32_t count) {
        if (owner <= 0) return;
        double* data = cell(row, start);
        const int peer = static_cast<int>(owner);
        if (to_owners)
          MPI_Send(data, count * width, MPI_DOUBLE, peer, row, MPI_COMM_WORLD);
        else
          MPI_Recv(data, count * width, MPI_DOUBLE, peer, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      });
    }
    return;
  }
  for (int32_t row = layout.first_row; row <= layout.last_row; ++row) {
    ForEachOwnStrip(diag, layout, row, text, [&](int32_t start, int32_t count) {
      double* data = cell(row, start);
      if (to_owners)
        MPI_Recv(data, count * width, MPI_DOUBLE, 0, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      else
        MPI_Send(data, count * width, MPI_DOUBLE, 0, row, MPI_COMM_WORLD);
    });
  }
}

auto GridCells(double** grid) {
  return [grid](int32_t row, int32_t col) { return grid[row] + col; };
}
auto StackCells(double*** stack) {
  return [stack](int32_t row, int32_t col) { return stack[row][col]; };
}

// Local scratch when no layout is given.
std::vector<double>& StagingOf(MpiLayout* layout, std::vector<double>& fallback) {
  return layout != nullptr ? layout->staging : fallback;
}

int WorldSize() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

int WorldRank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

// Calls fn(row, col, owner) for every masked cell of the rows this process walks: every row on
// process 0, the own rows elsewhere (a process's cells never lie outside its own rows).
template <class Fn>
void ForEachMaskedCell(const MpiLayout& layout, double** mask, Fn&& fn) {
  const int32_t first = layout.rank == 0 ? 1 : layout.first_row;
  const int32_t last = layout.rank == 0 ? layout.nrows : layout.last_row;
  for (int32_t row = first; row <= last; ++row)
    for (int32_t col = 1; col <= layout.ncols; ++col)
      if (mask[row][col] > layout.nodata) fn(row, col, layout.regions[row][col]);
}

// Number of masked cells per owner that this process sees (process 0: of every owner; others:
// their own), checked against the caller's counts before anything is sent.
std::vector<int64_t> CountMaskedCells(DiagnosticStream& diag, const MpiLayout& layout,
                                      double** mask, std::span<const int64_t> counts) {
  std::vector<int64_t> found(static_cast<std::size_t>(layout.size), 0);
  ForEachMaskedCell(layout, mask, [&](int32_t, int32_t, double owner) {
    if (owner >= 0 && owner < layout.size) ++found[static_cast<std::size_t>(owner)];
  });
  for (int r = 1; r < layout.size; ++r) {
    if (layout.rank != 0 && r != layout.rank) continue;
    const auto at = static_cast<std::size_t>(r);
    const int64_t given = at < counts.size() ? counts[at] : -1;
    if (found[at] != given)
      ThrowFatal(diag, kCodeZoneValueCount, "FATAL: MPI zone values: process ", r, " owns ",
                 static_cast<long long>(found[at]), " masked cells, but the cell count is ",
                 static_cast<long long>(given));
  }
  return found;
}

}  // namespace

// ---- Scatter and gather ----------------------------------------------------------------------

void MPIScatterGrid(DiagnosticStream& diag, const MpiLayout* layout, double** grid) {
  if (!Active(layout) || grid == nullptr) return;
  MoveStrips(diag, *layout, GridCells(grid), 1, true, OverflowText::kInRow);
}

void MPIGatherGrid(DiagnosticStream& diag, const MpiLayout* layout, double** grid) {
  if (!Active(layout) || grid == nullptr) return;
  MoveStrips(diag, *layout, GridCells(grid), 1, false, OverflowText::kInRow);
}

GridMatrix MPIGatherGridCopy(DiagnosticStream& diag, const MpiLayout* layout, double** grid) {
  if (!Active(layout) || grid == nullptr) return {};
  if (layout->rank != 0) {
    MoveStrips(diag, *layout, GridCells(grid), 1, false, OverflowText::kInRow);
    return {};
  }
  GridMatrix copy(diag, 1, layout->nrows, layout->ncols, layout->nrows);
  for (int32_t row = 1; row <= layout->nrows; ++row)
    for (int32_t col = 1; col <= layout->ncols; ++col)
      copy[row][col] = layout->regions[row][col] == 0.0 ? grid[row][col] : layout->nodata;
  MoveStrips(diag, *layout, GridCells(copy.get()), 1, false, OverflowText::kInRow);
  return copy;
}

void MPIGatherGridBlock(DiagnosticStream& diag, const MpiLayout& layout, double** grid,
                        int32_t first, int32_t last, double* block) {
  const int64_t row_length = static_cast<int64_t>(layout.ncols) + 1;
  auto cell = [&](int32_t row, int32_t col) { return block + (row - first) * row_length + col; };
  for (int32_t row = first; row <= last; ++row)
    for (int32_t col = 1; col <= layout.ncols; ++col)
      *cell(row, col) = layout.regions[row][col] == 0.0 ? grid[row][col] : layout.nodata;
  MoveStrips(diag, layout, cell, 1, false, OverflowText::kInRow, first, last);
}

void MPIBroadcastGridRows(const MpiLayout* layout, double** grid, int32_t first, int32_t last) {
  if (!Active(layout) || grid == nullptr) return;
  const int64_t row_length = static_cast<int64_t>(layout->ncols) + 1;
  // One message per run of rows that lie next to each other in memory, within MPI's int count.
  const int64_t most_rows = std::max<int64_t>(1, std::numeric_limits<int>::max() / row_length);
  for (int32_t start = first; start <= last;) {
    int32_t end = start;
    while (end < last && end - start + 1 < most_rows && grid[end + 1] == grid[end] + row_length)
      ++end;
    MPI_Bcast(grid[start], static_cast<int>((end - start + 1) * row_length), MPI_DOUBLE, 0,
              MPI_COMM_WORLD);
    start = end + 1;
  }
}

void MPIScatterStack(DiagnosticStream& diag, const MpiLayout* layout, double*** stack, int levels,
                     const std::string& identifier) {
  if (!Active(layout) || stack == nullptr) return;
  if (!identifier.empty())
    diag << "re-distributing stack " << identifier << " for mpi-rank " << layout->rank
         << "[end-entry]";
  else if (levels == 0)
    ThrowFatal(diag, kCodeNoLevelCount,
               "FATAL: no level-count given as (optional) parameter to MPIScatterStack. Please "
               "report to the author.");
  MoveStrips(diag, *layout, StackCells(stack), levels + 1, true, OverflowText::kInRow);
}

void MPIGatherStack(DiagnosticStream& diag, const MpiLayout* layout, double*** stack, int levels,
                    const std::string& identifier) {
  if (!Active(layout) || stack == nullptr) return;
  diag << "synchronising stack " << identifier << " for mpi-rank " << layout->rank << "[end-entry]";
  MoveStrips(diag, *layout, StackCells(stack), levels + 1, false, OverflowText::kParenthesised);
}

StackMatrix MPIGatherStackCopy(DiagnosticStream& diag, const MpiLayout* layout, double*** stack,
                               int levels, const std::string& identifier) {
  if (!Active(layout) || stack == nullptr) return {};
  diag << "synchronising stack " << identifier << " for mpi-rank " << layout->rank << "[end-entry]";
  if (layout->rank != 0) {
    MoveStrips(diag, *layout, StackCells(stack), levels + 1, false, OverflowText::kParenthesised);
    return {};
  }
  StackMatrix copy(diag, 1, layout->nrows, layout->ncols, levels, layout->nrows);
  for (int32_t row = 1; row <= layout->nrows; ++row)
    for (int32_t col = 1; col <= layout->ncols; ++col) {
      const bool own = layout->regions[row][col] == 0.0;
      for (int level = 0; level <= levels; ++level)
        copy[row][col][level] = own ? stack[row][col][level] : layout->nodata;
    }
  MoveStrips(diag, *layout, StackCells(copy.get()), levels + 1, false,
             OverflowText::kParenthesised);
  return copy;
}

// ---- Halo exchange ---------------------------------------------------------------------------

namespace {

// Makes room for `more` requests after the pending ones; pending handles are kept as they are.
MPI_Request* RequestSlots(MpiLayout& layout, std::size_t more) {
  const std::size_t needed = static_cast<std::size_t>(layout.pending_requests) + more;
  if (layout.requests.size() < needed) layout.requests.resize(needed, MPI_REQUEST_NULL);
  return layout.requests.data() + layout.pending_requests;
}

// Posts one message per record of `list`, of count x width doubles from the record's first
// cell; returns the number of requests written to `slots`.
template <class Cell>
int PostRecords(const std::vector<MpiStripRecord>& list, Cell&& cell, int width, bool receive,
                bool tag_by_row, MPI_Request* slots) {
  int posted = 0;
  for (const MpiStripRecord& record : list) {
    double* data = cell(record.row, record.first_col);
    const int tag = tag_by_row ? record.row : 0;
    if (receive)
      MPI_Irecv(data, record.count * width, MPI_DOUBLE, record.peer, tag, MPI_COMM_WORLD,
                &slots[posted++]);
    else
      MPI_Isend(data, record.count * width, MPI_DOUBLE, record.peer, tag, MPI_COMM_WORLD,
                &slots[posted++]);
  }
  return posted;
}

bool HaloActive(const MpiLayout* layout) {
  return layout != nullptr && layout->size > 1;
}

}  // namespace

void MPIPostHaloReceives(MpiLayout* layout, double** grid) {
  if (!HaloActive(layout) || grid == nullptr) return;
  MPI_Request* slots = RequestSlots(*layout, layout->receive_list.size());
  layout->pending_requests +=
      PostRecords(layout->receive_list, GridCells(grid), 1, true, true, slots);
}

void MPIPostHaloSends(MpiLayout* layout, double** grid) {
  if (!HaloActive(layout) || grid == nullptr) return;
  MPI_Request* slots = RequestSlots(*layout, layout->send_list.size());
  layout->pending_requests +=
      PostRecords(layout->send_list, GridCells(grid), 1, false, true, slots);
}

void MPIWaitHalo(MpiLayout* layout) {
  if (layout == nullptr || layout->pending_requests == 0) return;
  MPI_Waitall(layout->pending_requests, layout->requests.data(), MPI_STATUSES_IGNORE);
  layout->pending_requests = 0;
}

void MPIExchangeGridHalo(MpiLayout* layout, double** grid) {
  if (!HaloActive(layout) || grid == nullptr) return;
  MPI_Request* slots =
      RequestSlots(*layout, layout->receive_list.size() + layout->send_list.size());
  int posted = PostRecords(layout->receive_list, GridCells(grid), 1, true, true, slots);
  posted += PostRecords(layout->send_list, GridCells(grid), 1, false, true, slots + posted);
  MPI_Waitall(posted, slots, MPI_STATUSES_IGNORE);
}

void MPIExchangeStackHalo(MpiLayout* layout, double*** stack, int levels) {
  if (!HaloActive(layout) || stack == nullptr) return;
  MPI_Request* slots =
      RequestSlots(*layout, layout->receive_list.size() + layout->send_list.size());
  int posted = PostRecords(layout->send_list, StackCells(stack), levels + 1, false, false, slots);
  posted +=
      PostRecords(layout->receive_list, StackCells(stack), levels + 1, true, false, slots + posted);
  MPI_Waitall(posted, slots, MPI_STATUSES_IGNORE);
}

// ---- Buffers of doubles to and from peers ------------------------------------------------------

void MPIExchangePeerBuffers(std::span<const PeerBuffer> sends,
                            std::span<const PeerBuffer> receives) {
  std::vector<MPI_Request> requests;
  requests.reserve(sends.size() + receives.size());
  for (const PeerBuffer& b : sends) {
    if (b.count <= 0) continue;
    requests.emplace_back();
    MPI_Isend(b.data, static_cast<int>(b.count), MPI_DOUBLE, b.peer, 0, MPI_COMM_WORLD,
              &requests.back());
  }
  for (const PeerBuffer& b : receives) {
    if (b.count <= 0) continue;
    requests.emplace_back();
    MPI_Irecv(b.data, static_cast<int>(b.count), MPI_DOUBLE, b.peer, 0, MPI_COMM_WORLD,
              &requests.back());
  }
  if (!requests.empty())
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

// ---- Zone records ----------------------------------------------------------------------------

void MPIReduceRecords(MpiLayout* layout, double* records, int last, bool keep) {
  const int size = layout != nullptr ? layout->size : WorldSize();
  if (size < 2 || records == nullptr || last < 0) return;
  const int rank = layout != nullptr ? layout->rank : WorldRank();
  const int count = last + 1;
  // MPI may combine the records in any order, so the fields that the sum leaves alone (2 and 3,
  // and 4 without keep) could come back from another process's records: process 0 keeps its own.
  constexpr int kKept[3] = {2, 3, 4};
  std::vector<double> local;
  std::vector<double>& saved = StagingOf(layout, local);
  saved.resize(static_cast<std::size_t>(count) * 3);
  for (int i = 0; i < count; ++i)
    for (int f = 0; f < 3; ++f)
      saved[static_cast<std::size_t>(i * 3 + f)] = records[i * kZoneRecordFields + kKept[f]];
  if (rank == 0)
    MPI_Reduce(MPI_IN_PLACE, records, count, ZoneRecordType(), AddZoneRecordsOp(), 0,
               MPI_COMM_WORLD);
  else
    MPI_Reduce(records, nullptr, count, ZoneRecordType(), AddZoneRecordsOp(), 0, MPI_COMM_WORLD);
  if (rank != 0) return;
  const int restored = keep ? 2 : 3;
  for (int i = 0; i < count; ++i)
    for (int f = 0; f < restored; ++f)
      records[i * kZoneRecordFields + kKept[f]] = saved[static_cast<std::size_t>(i * 3 + f)];
}

void MPIBroadcastRecords(MpiLayout* layout, double* records, int last) {
  const int size = layout != nullptr ? layout->size : WorldSize();
  if (size < 2 || records == nullptr || last < 0) return;
  constexpr int kCarried[3] = {0, 1, 4};
  const int count = last + 1;
  std::vector<double> local;
  std::vector<double>& buffer = StagingOf(layout, local);
  buffer.resize(static_cast<std::size_t>(count) * 3);
  for (int i = 0; i < count; ++i)
    for (int f = 0; f < 3; ++f)
      buffer[static_cast<std::size_t>(i * 3 + f)] = records[i * kZoneRecordFields + kCarried[f]];
  // The buffer holds three doubles per record, and exactly that much is broadcast.
  MPI_Bcast(buffer.data(), count * 3, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  for (int i = 0; i < count; ++i)
    for (int f = 0; f < 3; ++f)
      records[i * kZoneRecordFields + kCarried[f]] = buffer[static_cast<std::size_t>(i * 3 + f)];
}

// ---- Packed values of masked cells -----------------------------------------------------------

void MPIGatherZoneValues(DiagnosticStream& diag, MpiLayout* layout, double** values, double** mask,
                         std::span<const int64_t> counts, double** target) {
  if (layout == nullptr || layout->size < 2 || !layout->regions || values == nullptr ||
      mask == nullptr)
    return;
  const std::vector<int64_t> found = CountMaskedCells(diag, *layout, mask, counts);
  const int rank = layout->rank;
  if (rank != 0) {
    std::vector<double>& buffer = layout->staging;
    buffer.clear();
    ForEachMaskedCell(*layout, mask, [&](int32_t row, int32_t col, double owner) {
      if (owner == rank) buffer.push_back(values[row][col]);
    });
    MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, rank, MPI_COMM_WORLD);
    return;
  }
  auto& buffers = layout->peer_staging;
  buffers.resize(static_cast<std::size_t>(layout->size));
  for (int r = 1; r < layout->size; ++r) {
    auto& buffer = buffers[static_cast<std::size_t>(r)];
    buffer.resize(static_cast<std::size_t>(found[static_cast<std::size_t>(r)]));
    MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, r, r, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
  }
  std::vector<std::size_t> next(static_cast<std::size_t>(layout->size), 0);
  ForEachMaskedCell(*layout, mask, [&](int32_t row, int32_t col, double owner) {
    if (owner > 0 && owner < layout->size) {
      const auto r = static_cast<std::size_t>(owner);
      (target != nullptr ? target : values)[row][col] = buffers[r][next[r]++];
    } else if (owner == 0 && target != nullptr) {
      target[row][col] = values[row][col];
    }
  });
}

void MPIScatterZoneValues(DiagnosticStream& diag, MpiLayout* layout, double** values, double** mask,
                          std::span<const int64_t> counts) {
  if (layout == nullptr || layout->size < 2 || !layout->regions || values == nullptr ||
      mask == nullptr)
    return;
  const std::vector<int64_t> found = CountMaskedCells(diag, *layout, mask, counts);
  const int rank = layout->rank;
  if (rank == 0) {
    auto& buffers = layout->peer_staging;
    buffers.resize(static_cast<std::size_t>(layout->size));
    for (auto& buffer : buffers) buffer.clear();
    ForEachMaskedCell(*layout, mask, [&](int32_t row, int32_t col, double owner) {
      if (owner > 0 && owner < layout->size)
        buffers[static_cast<std::size_t>(owner)].push_back(values[row][col]);
    });
    for (int r = 1; r < layout->size; ++r) {
      const auto& buffer = buffers[static_cast<std::size_t>(r)];
      MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, r, r, MPI_COMM_WORLD);
    }
    return;
  }
  std::vector<double>& buffer = layout->staging;
  buffer.resize(static_cast<std::size_t>(found[static_cast<std::size_t>(rank)]));
  MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, rank, MPI_COMM_WORLD,
           MPI_STATUS_IGNORE);
  std::size_t next = 0;
  ForEachMaskedCell(*layout, mask, [&](int32_t row, int32_t col, double owner) {
    if (owner == rank) values[row][col] = buffer[next++];
  });
}

}  // namespace velorn

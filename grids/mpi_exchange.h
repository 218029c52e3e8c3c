// Moving grid data between MPI processes along the region decomposition.
//
// Grids are read and written whole by process 0; these operations move them between process 0
// and the owners of their cells (scatter and gather along the row strips of the strip table),
// exchange the cells along region borders between neighbours before neighbour operations
// (halo exchange, non-blocking), combine five-double zone records over all processes, and move
// the values of a masked set of cells in packed form. The model-object operations of the same
// names resolve a registry entry to its data and call these.
//
// Every operation is collective in effect: all processes call it in the same order, from the
// main thread, never inside an OpenMP region. With one process, or without a layout, each
// returns without an MPI call (the gather copies return an empty matrix). Strips go straight
// from and into the grid rows; only the packed zone values and the record broadcast are staged.
//
// The record datatype and the record sum operation come from core/mpi_operations.h.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "core/matrix.h"
#include "core/mpi_operations.h"
#include "grids/mpi_layout.h"

namespace velorn {

class DiagnosticStream;

// ---- Scatter and gather along the strips ----------------------------------------------------

// Process 0's strips of the grid to their owners; every other process receives its own strips.
void MPIScatterGrid(DiagnosticStream& diag, const MpiLayout* layout, double** grid);
// The owners' strips into process 0's grid.
void MPIGatherGrid(DiagnosticStream& diag, const MpiLayout* layout, double** grid);
// As MPIGatherGrid, into a fresh whole grid on process 0 (process 0's own cells copied from the
// grid, nodata outside every region); an empty matrix on the other processes.
GridMatrix MPIGatherGridCopy(DiagnosticStream& diag, const MpiLayout* layout, double** grid);
// Process 0's part of a gather by blocks of rows: rows first..last as MPIGatherGridCopy makes
// them (own cells from `grid`, the other processes' strips received, nodata elsewhere) into
// `block`, where grid row first + k starts at block + k * (ncols + 1) (column 0 unused). The
// other processes call MPIGatherGrid once, which sends all their strips; process 0 calls this
// for consecutive blocks until it has received every row, so it never holds the whole grid.
void MPIGatherGridBlock(DiagnosticStream& diag, const MpiLayout& layout, double** grid,
                        int32_t first, int32_t last, double* block);

// Rows first..last of process 0's grid to every process's grid (each holding those rows), in
// messages of contiguous rows: a whole copy of a grid that never changes, made once.
void MPIBroadcastGridRows(const MpiLayout* layout, double** grid, int32_t first, int32_t last);

// Stack forms: each strip carries all levels 0..levels of its cells. `identifier` is the name of
// the registered stack, empty when the stack is not a registry entry; without it the level
// count must not be 0 (code 1010).
void MPIScatterStack(DiagnosticStream& diag, const MpiLayout* layout, double*** stack, int levels,
                     const std::string& identifier);
void MPIGatherStack(DiagnosticStream& diag, const MpiLayout* layout, double*** stack, int levels,
                    const std::string& identifier);
StackMatrix MPIGatherStackCopy(DiagnosticStream& diag, const MpiLayout* layout, double*** stack,
                               int levels, const std::string& identifier);

// ---- Halo exchange ---------------------------------------------------------------------------

// Split form, so a model can compute while the messages travel: post the receives, post the
// sends, then wait. Requests posted and not yet waited for are kept, never dropped.
void MPIPostHaloReceives(MpiLayout* layout, double** grid);
void MPIPostHaloSends(MpiLayout* layout, double** grid);
void MPIWaitHalo(MpiLayout* layout);
// One-call forms.
void MPIExchangeGridHalo(MpiLayout* layout, double** grid);
void MPIExchangeStackHalo(MpiLayout* layout, double*** stack, int levels);

// ---- Buffers of doubles to and from peers ------------------------------------------------------

// One buffer of doubles for one peer process (a process may name itself).
struct PeerBuffer {
  int peer = 0;
  double* data = nullptr;
  int64_t count = 0;  // doubles; an empty buffer posts no message
};
// Posts a non-blocking send of every send buffer, then a non-blocking receive into every receive
// buffer (tag 0, MPI_COMM_WORLD), and waits for all of them once; nothing is posted for empty
// buffers and nothing waited for when nothing was posted. Each pair of processes must exchange
// at most one message per direction in one call (messages are matched by peer and tag only).
void MPIExchangePeerBuffers(std::span<const PeerBuffer> sends,
                            std::span<const PeerBuffer> receives);

// ---- Zone records ----------------------------------------------------------------------------

// Sums fields 0, 1 and 4 of records 0..last of all processes onto process 0. Unless `keep`,
// process 0's field 4 is restored afterwards, so only fields 0 and 1 are summed there.
void MPIReduceRecords(MpiLayout* layout, double* records, int last, bool keep);
// Fields 0, 1 and 4 of records 0..last from process 0 to all; fields 2 and 3 are untouched.
void MPIBroadcastRecords(MpiLayout* layout, double* records, int last);

// Typed forms for a record struct of five doubles (the zone table).
template <class Record>
void MPIReduceRecords(MpiLayout* layout, Record* records, int last, bool keep) {
  static_assert(sizeof(Record) == kZoneRecordFields * sizeof(double) &&
                std::is_standard_layout_v<Record> && std::is_trivially_copyable_v<Record>);
  MPIReduceRecords(layout, reinterpret_cast<double*>(records), last, keep);
}
template <class Record>
void MPIBroadcastRecords(MpiLayout* layout, Record* records, int last) {
  static_assert(sizeof(Record) == kZoneRecordFields * sizeof(double) &&
                std::is_standard_layout_v<Record> && std::is_trivially_copyable_v<Record>);
  MPIBroadcastRecords(layout, reinterpret_cast<double*>(records), last);
}

// ---- Packed values of masked cells -----------------------------------------------------------

// Cells are taken in row-major order where the mask is above nodata; counts[r] must be the
// number of such cells that process r owns (a mismatch is code 121). Process 0 holds every
// row of the three grids, every other process at least its own rows.
//
// Gather: every process sends the values of its masked cells to process 0, which writes them
// into `target` when one is given (with its own masked cells copied too), else into `values`.
void MPIGatherZoneValues(DiagnosticStream& diag, MpiLayout* layout, double** values, double** mask,
                         std::span<const int64_t> counts, double** target);
// Scatter: process 0 sends every process the values of the masked cells it owns.
void MPIScatterZoneValues(DiagnosticStream& diag, MpiLayout* layout, double** values, double** mask,
                          std::span<const int64_t> counts);

}  // namespace velorn

// MpiLayout: everything one MPI process knows of the region decomposition.
//
// The region decomposition (setup/mpi_regions.h) fills one MpiLayout per process; the settings
// object owns it and every model object keeps a pointer to it (`modelobject::mpi`). The grid
// exchange (grids/mpi_exchange.h) reads the owner grid, the strip table and the halo lists from
// it and keeps its request storage and staging buffers in it, so an exchange allocates nothing
// once the storage has grown to the size of the lists.
//
// Limits: one layout per run and per process; the grids hold global, 1-based rows: all rows on
// process 0 (but "MPIHalo" after the set-up), the own rows with one halo row on each side
// elsewhere. A process that owns no cell has the empty row range first_row = 1, last_row = 0.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <type_traits>
#include <vector>

#include "core/matrix.h"

namespace velorn {

// One strip of a grid row exchanged between two processes: four int32 in this order, as they
// travel between processes during the set-up of the halo lists.
struct MpiStripRecord {
  int32_t row = 0;
  int32_t first_col = 0;
  int32_t count = 0;
  int32_t peer = 0;
};
static_assert(sizeof(MpiStripRecord) == 4 * sizeof(int32_t));
static_assert(std::is_standard_layout_v<MpiStripRecord>);

// Held row range of the decomposition grids of a process with own rows first..last: one halo
// row on each side inside the grid. An empty range (first > last) holds row first only.
struct HeldRows {
  int32_t first = 1;
  int32_t last = 0;
};
inline HeldRows HeldRowsOf(int32_t first_row, int32_t last_row, int32_t nrows) {
  HeldRows held{first_row, last_row};
  if (held.first > 1) --held.first;
  if (held.last < nrows) ++held.last;
  if (held.last > nrows) held.last = nrows;
  return held;
}

struct MpiLayout {
  int rank = 0;
  int size = 1;
  int32_t ncols = 0;
  int32_t nrows = 0;
  double nodata = -9999.0;

  // Own rows: the first and last grid row that hold a cell of this process (1, 0 when none).
  int32_t first_row = 1;
  int32_t last_row = 0;
  // Own rows of every process, indexed by rank (the same on all processes).
  std::vector<int32_t> first_rows;
  std::vector<int32_t> last_rows;
  // Number of domain cells owned by each process, size + 1 entries, the same on all processes.
  std::vector<int64_t> cell_counts;

  // "MPIRegions": owner rank of every cell as a double, nodata outside the domain.
  GridMatrix regions;
  // "MPIHelper": per row the strips (runs of one owner) as pairs of doubles from index 1, in
  // process 0's form (owner, count; index 0 the nodata cells before the first domain cell) on
  // process 0 and in the own form (first column, count) elsewhere. Each row has room for
  // strip_pairs pairs plus the end mark: at least the (ncols - 2) / 2 pairs of a row of ncols + 1
  // elements, more when a row of the decomposition has more runs.
  GridMatrix helper;
  int32_t strip_pairs = 0;
  // "MPIHalo": per cell next to an own cell and owned by another process, that process's rank;
  // nodata elsewhere. Process 0 keeps only its own rows with halo of it after the set-up.
  GridMatrix halo;

  // Strips of halo cells that this process receives, and of own cells that it sends.
  std::vector<MpiStripRecord> receive_list;
  std::vector<MpiStripRecord> send_list;

  // Request storage of the halo exchanges: sized from the two lists when the layout is built
  // and grown if a caller posts more; pending_requests counts the posted, unfinished ones of
  // the split exchange.
  std::vector<MPI_Request> requests;
  int pending_requests = 0;
  // Staging buffers of the packed zone-value exchanges and the record broadcast.
  std::vector<double> staging;
  std::vector<std::vector<double>> peer_staging;

  bool distributed() const { return size > 1 && regions && helper; }
  HeldRows held_rows() const { return HeldRowsOf(first_row, last_row, nrows); }
  // Sizes the request storage for one exchange of both lists.
  void ReserveRequests() {
    requests.assign(receive_list.size() + send_list.size(), MPI_REQUEST_NULL);
    pending_requests = 0;
  }
};

}  // namespace velorn

// River-link cells on the process that computes their link: the soil zone's "row 0".
//
// The cells of one river link share the water the river offers in a sub-step, so one process
// computes all of them (the region decomposition, setup/mpi_regions.h, assigns every link to a
// computing process), although they may lie in rows of other processes. Before the soil-water
// cell loop every process sends the values of its link cells to the computing processes; these
// unpack them into a row of their own (row 0: one column per cell, in link order) and let the
// row pointer just above their first own row point at it, so the ordinary row loop visits the
// link cells as one more row. After the loop the values travel back into their true cells.
//
// CellValueList is the fixed list of arrays whose values travel (pure: packing and row-0
// mapping, no MPI). RiverLinkHalo owns row 0, the buffers and the exchange; it is made once
// by unsatzonmodellklasse::prepareMPIReinfiltration (unsatzone/soil_halo.cpp) and used by the
// soil-water sub-step when the interaction parameter is above 1. Every operation runs on the
// main thread, outside OpenMP regions; MPI only through grids/mpi_exchange.h.
//
// Limits: the list is fixed when the halo is made (arrays made or freed later never change the
// buffer sizes); an array enters the list once, however many links point at it, so mapping and
// restoring a row pointer can never leave it pointing at row 0.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.h"
#include "core/zone_types.h"
#include "grids/mpi_exchange.h"
#include "setup/river_link.h"

namespace velorn {

class DiagnosticStream;

class CellValueList {
 public:
  // Appends a grid (one value per cell) or a stack (levels + 1 values per cell); null or an
  // array already listed is skipped.
  void AddGrid(double** grid);
  void AddStack(double*** stack, int64_t levels);
  int64_t GridCount() const { return static_cast<int64_t>(grids_.size()); }
  int64_t StackCount() const { return static_cast<int64_t>(stacks_.size()); }
  // Doubles one cell contributes to a buffer: grids + (levels + 1) per stack.
  int64_t ValueCount() const;
  // The values of cell (row, column) of every array in list order from buffer[offset] on;
  // returns the next free index. Unpack is the inverse.
  int64_t Pack(long row, long column, double* buffer, int64_t offset) const;
  int64_t Unpack(long row, long column, const double* buffer, int64_t offset) const;
  // Packs the cells of a list in order.
  int64_t PackCells(const RiverLinkCellList& cells, double* buffer, int64_t offset) const;

  // Row 0 of every array for n cells (n > 0), zero-filled; owned by the list.
  void AllocateRow0(DiagnosticStream& diag, int64_t n);
  bool HasRow0() const { return row0_cells_ > 0; }
  int64_t Row0Cells() const { return row0_cells_; }
  // Points row `row` of every array at its row 0 and sets the row's column range to
  // [0, n - 1] (the saved pointers and range are put back by RestoreRow). Nothing without row 0.
  void MapRow0(long row, ColumnRange* ranges);
  void RestoreRow(ColumnRange* ranges);
  long MappedRow() const { return mapped_row_; }

 private:
  struct Stack {
    double*** data;
    int64_t levels;
  };
  std::vector<double**> grids_;
  std::vector<Stack> stacks_;
  std::vector<GridMatrix> row0_grids_;
  std::vector<StackMatrix> row0_stacks_;
  std::vector<double*> saved_grid_rows_;
  std::vector<double**> saved_stack_rows_;
  ColumnRange saved_range_{};
  int64_t row0_cells_ = 0;
  long mapped_row_ = -1;
};

class RiverLinkHalo {
 public:
  // Fixes the exchange of process `rank` for the arrays of `list`: the cells it receives (those
  // of the links it computes), row 0 and the buffers; `first_row` is its first own row.
  RiverLinkHalo(DiagnosticStream& diag, CellValueList list, const RiverLinkSet& links, int rank,
                long first_row, ColumnRange* ranges);
  // Forward: packs the own link cells, exchanges, unpacks into row 0 and maps it onto the row
  // above the first own row. Collective.
  void ExchangeForward();
  // Backward: packs row 0, restores the row, exchanges, unpacks into the own cells. Collective.
  void ExchangeBack();
  // Fills every send buffer and every receive buffer with a mark (a trial round trip checks
  // that the values come back from the cells, not from stale buffers).
  void MarkBuffers(double send_mark, double receive_mark);
  // Puts back a row still mapped (a cell loop that ended with an error).
  void RestoreRow() { list_.RestoreRow(ranges_); }
  const CellValueList& list() const { return list_; }
  // The row the cell loop starts at: the row above the first own row while row 0 is mapped.
  long FirstLoopRow() const { return list_.MappedRow() >= 0 ? list_.MappedRow() : first_row_; }
  long MappedRow() const { return list_.MappedRow(); }
  // True when the cells of some link travel: own cells of a link are then not computed in place.
  bool LinksExchanged() const { return links_exchanged_; }

 private:
  // Walks the cells of the links this process computes: f(column k, home rank).
  template <class F>
  void ForEachComputedCell(F&& f) const;
  CellValueList list_;
  const RiverLinkSet* links_;
  int rank_;
  long first_row_;
  ColumnRange* ranges_;
  bool links_exchanged_ = false;
  std::vector<std::vector<double>> send_buffers_;     // per computing process
  std::vector<std::vector<double>> receive_buffers_;  // per home process
  std::vector<PeerBuffer> sends_, receives_;
};

}  // namespace velorn

// River links: the chains of river cells that the region decomposition keeps whole on one
// process, and the forms in which their cells travel between processes.
//
// The decomposition (setup/mpi_regions.h) builds the links on process 0 from the cells of the
// grid "river_links", gives every link a computing process, broadcasts them and hands every
// process a RiverLinkSet; the settings object keeps the set until its release, and the soil
// model reads it to move link cells to the computing process. A link is never empty: it is
// created with its first cell.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velorn {

struct RiverLinkCell {
  int32_t row = 0;
  int32_t col = 0;
  int32_t link_code = 0;
  int32_t owner = 0;      // process that owns the cell's location in the owner grid
  int32_t computing = 0;  // process to which the whole link is assigned
  double elevation = 0.0;
  int32_t position = 0;  // 0 for the highest cell of the link, counting downstream
};

// Broadcast form of a cell: 32 bytes, native byte order: row, column, link code, owner,
// computing process, position (int32 each at offsets 0..20), elevation (double at 24).
inline constexpr std::size_t kRiverLinkCellBytes = 32;
using RiverLinkCellBytes = std::array<unsigned char, kRiverLinkCellBytes>;
RiverLinkCellBytes PackRiverLinkCell(const RiverLinkCell& cell);
RiverLinkCell UnpackRiverLinkCell(const unsigned char* bytes);

class RiverLink {
 public:
  RiverLink(int32_t code, int32_t computing) : code_(code), computing_(computing) {}
  virtual ~RiverLink() = default;

  // Drops the cells held and takes the given ones (the cell count follows them).
  virtual void SetCells(std::vector<RiverLinkCell> cells);
  virtual const std::vector<RiverLinkCell>& GetCells() const { return cells_; }
  virtual const RiverLinkCell& GetLastCell() const { return cells_.back(); }
  // Appends a copy of the cell; the cell count grows by one.
  virtual void AddCell(const RiverLinkCell& cell);

  int32_t code() const { return code_; }
  int32_t computing() const { return computing_; }
  int32_t cell_count() const { return cell_count_; }
  // Assigns the link and each of its cells to a computing process.
  void AssignTo(int32_t process);
  // Sets each cell's owner from the owner grid and its position from its index.
  void LocateCells(double** owner_grid);

 private:
  int32_t code_ = 0;
  int32_t computing_ = 0;
  int32_t cell_count_ = 0;
  std::vector<RiverLinkCell> cells_;
};

using RiverLinkCellList = std::vector<RiverLinkCell>;

// What every process keeps of the river links after the decomposition.
struct RiverLinkSet {
  std::vector<std::unique_ptr<RiverLink>> links;
  // Indexed by computing process: the cells of this process's region that belong to links
  // computed by that process, in link order.
  std::vector<RiverLinkCellList> own_cells_by_computing;
  // Indexed by owner: the cells of the links this process computes that lie in that owner's
  // region, in link order.
  std::vector<RiverLinkCellList> computed_cells_by_owner;
};

// Groups the census list of river cells into links: cells sorted by link code, then by
// elevation from the highest (equal keys keep their row-major order), one link per code, and
// the links sorted by cell count, largest first (equal counts keep code order). The links keep
// computing process 0 until assigned.
std::vector<std::unique_ptr<RiverLink>> GroupRiverLinks(std::vector<RiverLinkCell> cells);

// Fills the two per-process cell lists of a set whose links are complete.
void SortLinkCellsByProcess(RiverLinkSet& set, int rank, int size);

}  // namespace velorn

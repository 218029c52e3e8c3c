#include "setup/river_link.h"

#include <algorithm>
#include <cstring>

namespace velorn {

namespace {
constexpr std::size_t kOffsetRow = 0;
constexpr std::size_t kOffsetCol = 4;
constexpr std::size_t kOffsetCode = 8;
constexpr std::size_t kOffsetOwner = 12;
constexpr std::size_t kOffsetComputing = 16;
constexpr std::size_t kOffsetPosition = 20;
constexpr std::size_t kOffsetElevation = 24;
}  // namespace

RiverLinkCellBytes PackRiverLinkCell(const RiverLinkCell& cell) {
  RiverLinkCellBytes bytes{};
  std::memcpy(bytes.data() + kOffsetRow, &cell.row, sizeof(int32_t));
  std::memcpy(bytes.data() + kOffsetCol, &cell.col, sizeof(int32_t));
  std::memcpy(bytes.data() + kOffsetCode, &cell.link_code, sizeof(int32_t));
  std::memcpy(bytes.data() + kOffsetOwner, &cell.owner, sizeof(int32_t));
  std::memcpy(bytes.data() + kOffsetComputing, &cell.computing, sizeof(int32_t));
  std::memcpy(bytes.data() + kOffsetPosition, &cell.position, sizeof(int32_t));
  std::memcpy(bytes.data() + kOffsetElevation, &cell.elevation, sizeof(double));
  return bytes;
}

RiverLinkCell UnpackRiverLinkCell(const unsigned char* bytes) {
  RiverLinkCell cell;
  std::memcpy(&cell.row, bytes + kOffsetRow, sizeof(int32_t));
  std::memcpy(&cell.col, bytes + kOffsetCol, sizeof(int32_t));
  std::memcpy(&cell.link_code, bytes + kOffsetCode, sizeof(int32_t));
  std::memcpy(&cell.owner, bytes + kOffsetOwner, sizeof(int32_t));
  std::memcpy(&cell.computing, bytes + kOffsetComputing, sizeof(int32_t));
  std::memcpy(&cell.position, bytes + kOffsetPosition, sizeof(int32_t));
  std::memcpy(&cell.elevation, bytes + kOffsetElevation, sizeof(double));
  return cell;
}

void RiverLink::SetCells(std::vector<RiverLinkCell> cells) {
  cells_ = std::move(cells);
  cell_count_ = static_cast<int32_t>(cells_.size());
}

void RiverLink::AddCell(const RiverLinkCell& cell) {
  cells_.push_back(cell);
  ++cell_count_;
}

void RiverLink::AssignTo(int32_t process) {
  computing_ = process;
  for (RiverLinkCell& cell : cells_) cell.computing = process;
}

void RiverLink::LocateCells(double** owner_grid) {
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    RiverLinkCell& cell = cells_[i];
    cell.owner = static_cast<int32_t>(owner_grid[cell.row][cell.col]);
    cell.position = static_cast<int32_t>(i);
  }
}

std::vector<std::unique_ptr<RiverLink>> GroupRiverLinks(std::vector<RiverLinkCell> cells) {
  std::stable_sort(cells.begin(), cells.end(), [](const RiverLinkCell& a, const RiverLinkCell& b) {
    if (a.link_code != b.link_code) return a.link_code < b.link_code;
    return a.elevation > b.elevation;
  });
  std::vector<std::unique_ptr<RiverLink>> links;
  for (const RiverLinkCell& cell : cells) {
    if (links.empty() || links.back()->code() != cell.link_code)
      links.push_back(std::make_unique<RiverLink>(cell.link_code, 0));
    links.back()->AddCell(cell);
  }
  std::stable_sort(links.begin(), links.end(),
                   [](const std::unique_ptr<RiverLink>& a, const std::unique_ptr<RiverLink>& b) {
                     return a->cell_count() > b->cell_count();
                   });
  return links;
}

void SortLinkCellsByProcess(RiverLinkSet& set, int rank, int size) {
  set.own_cells_by_computing.assign(static_cast<std::size_t>(size), {});
  set.computed_cells_by_owner.assign(static_cast<std::size_t>(size), {});
  for (const auto& link : set.links) {
    for (const RiverLinkCell& cell : link->GetCells()) {
      if (cell.owner == rank && cell.computing >= 0 && cell.computing < size)
        set.own_cells_by_computing[static_cast<std::size_t>(cell.computing)].push_back(cell);
      if (cell.computing == rank && cell.owner >= 0 && cell.owner < size)
        set.computed_cells_by_owner[static_cast<std::size_t>(cell.owner)].push_back(cell);
    }
  }
}

}  // namespace velorn

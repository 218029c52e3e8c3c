// Row 0 of the soil zone's arrays and the exchange of river-link cells (unsatzone/soil_halo.h),
// and the model operations that make and use it.
#include "unsatzone/soil_halo.h"

#include <algorithm>
#include <utility>

#include "core/diagnostic_stream.h"
#include "core/error_code.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

// --- CellValueList -------------------------------------------------------------------------------

void CellValueList::AddGrid(double** grid) {
  if (grid == nullptr || std::find(grids_.begin(), grids_.end(), grid) != grids_.end()) return;
  grids_.push_back(grid);
}

void CellValueList::AddStack(double*** stack, int64_t levels) {
  if (stack == nullptr) return;
  for (const Stack& s : stacks_)
    if (s.data == stack) return;
  stacks_.push_back({stack, levels});
}

int64_t CellValueList::ValueCount() const {
  int64_t count = GridCount();
  for (const Stack& s : stacks_) count += s.levels + 1;
  return count;
}

int64_t CellValueList::Pack(long row, long column, double* buffer, int64_t offset) const {
  for (double** g : grids_) buffer[offset++] = g[row][column];
  for (const Stack& s : stacks_) {
    const double* cell = s.data[row][column];
    std::copy(cell, cell + s.levels + 1, buffer + offset);
    offset += s.levels + 1;
  }
  return offset;
}

int64_t CellValueList::Unpack(long row, long column, const double* buffer, int64_t offset) const {
  for (double** g : grids_) g[row][column] = buffer[offset++];
  for (const Stack& s : stacks_) {
    std::copy(buffer + offset, buffer + offset + s.levels + 1, s.data[row][column]);
    offset += s.levels + 1;
  }
  return offset;
}

int64_t CellValueList::PackCells(const RiverLinkCellList& cells, double* buffer,
                                 int64_t offset) const {
  for (const RiverLinkCell& cell : cells) offset = Pack(cell.row, cell.col, buffer, offset);
  return offset;
}

void CellValueList::AllocateRow0(DiagnosticStream& diag, int64_t n) {
  row0_cells_ = n;
  // Columns 0..n-1 of a one-row array (row 0).
  for (std::size_t i = 0; i < grids_.size(); ++i) row0_grids_.emplace_back(diag, 0, 0, n - 1, 0);
  for (const Stack& s : stacks_) row0_stacks_.emplace_back(diag, 0, 0, n - 1, s.levels, 0);
  saved_grid_rows_.assign(grids_.size(), nullptr);
  saved_stack_rows_.assign(stacks_.size(), nullptr);
}

void CellValueList::MapRow0(long row, ColumnRange* ranges) {
  if (row0_cells_ == 0 || mapped_row_ >= 0) return;
  for (std::size_t i = 0; i < grids_.size(); ++i) {
    saved_grid_rows_[i] = grids_[i][row];
    grids_[i][row] = row0_grids_[i][0];
  }
  for (std::size_t i = 0; i < stacks_.size(); ++i) {
    saved_stack_rows_[i] = stacks_[i].data[row];
    stacks_[i].data[row] = row0_stacks_[i][0];
  }
  saved_range_ = ranges[row];
  ranges[row] = ColumnRange{0, static_cast<int32_t>(row0_cells_ - 1)};
  mapped_row_ = row;
}

void CellValueList::RestoreRow(ColumnRange* ranges) {
  if (mapped_row_ < 0) return;
  for (std::size_t i = 0; i < grids_.size(); ++i) grids_[i][mapped_row_] = saved_grid_rows_[i];
  for (std::size_t i = 0; i < stacks_.size(); ++i)
    stacks_[i].data[mapped_row_] = saved_stack_rows_[i];
  ranges[mapped_row_] = saved_range_;
  mapped_row_ = -1;
}

// --- RiverLinkHalo -------------------------------------------------------------------------------

RiverLinkHalo::RiverLinkHalo(DiagnosticStream& diag, CellValueList list, const RiverLinkSet& links,
                             int rank, long first_row, ColumnRange* ranges)
    : list_(std::move(list)), links_(&links), rank_(rank), first_row_(first_row), ranges_(ranges) {
  links_exchanged_ = !links.links.empty();
  const int64_t values = list_.ValueCount();
  int64_t n = 0;
  for (std::size_t p = 0; p < links.computed_cells_by_owner.size(); ++p) {
    const RiverLinkCellList& cells = links.computed_cells_by_owner[p];
    n += static_cast<int64_t>(cells.size());
    receive_buffers_.emplace_back(cells.size() * static_cast<std::size_t>(values));
    if (!cells.empty())
      receives_.push_back({cells.front().owner, receive_buffers_.back().data(),
                           static_cast<int64_t>(receive_buffers_.back().size())});
  }
  for (const RiverLinkCellList& cells : links.own_cells_by_computing) {
    send_buffers_.emplace_back(cells.size() * static_cast<std::size_t>(values));
    if (!cells.empty())
      sends_.push_back({cells.front().computing, send_buffers_.back().data(),
                        static_cast<int64_t>(send_buffers_.back().size())});
  }
  if (n > 0) list_.AllocateRow0(diag, n);
}

template <class F>
void RiverLinkHalo::ForEachComputedCell(F&& f) const {
  long k = 0;
  for (const auto& link : links_->links) {
    if (link->computing() != rank_) continue;
    for (const RiverLinkCell& cell : link->GetCells()) f(k++, cell.owner);
  }
}

void RiverLinkHalo::ExchangeForward() {
  if (!links_exchanged_) return;
  for (std::size_t p = 0; p < send_buffers_.size(); ++p)
    list_.PackCells(links_->own_cells_by_computing[p], send_buffers_[p].data(), 0);
  MPIExchangePeerBuffers(sends_, receives_);
  list_.MapRow0(first_row_ - 1, ranges_);
  const long row = list_.MappedRow();
  std::vector<int64_t> offsets(receive_buffers_.size(), 0);
  ForEachComputedCell([&](long k, int32_t home) {
    const auto h = static_cast<std::size_t>(home);
    offsets[h] = list_.Unpack(row, k, receive_buffers_[h].data(), offsets[h]);
  });
}

void RiverLinkHalo::ExchangeBack() {
  if (!links_exchanged_) return;
  const long row = list_.MappedRow();
  std::vector<int64_t> offsets(receive_buffers_.size(), 0);
  if (row >= 0)
    ForEachComputedCell([&](long k, int32_t home) {
      const auto h = static_cast<std::size_t>(home);
      offsets[h] = list_.Pack(row, k, receive_buffers_[h].data(), offsets[h]);
    });
  list_.RestoreRow(ranges_);
  // The receive buffers go back to their home processes, into the send buffers.
  MPIExchangePeerBuffers(receives_, sends_);
  for (std::size_t p = 0; p < send_buffers_.size(); ++p) {
    int64_t offset = 0;
    for (const RiverLinkCell& cell : links_->own_cells_by_computing[p])
      offset = list_.Unpack(cell.row, cell.col, send_buffers_[p].data(), offset);
  }
}

void RiverLinkHalo::MarkBuffers(double send_mark, double receive_mark) {
  for (auto& b : send_buffers_) std::fill(b.begin(), b.end(), send_mark);
  for (auto& b : receive_buffers_) std::fill(b.begin(), b.end(), receive_mark);
}

// --- The model's operations ----------------------------------------------------------------------

unsatzonmodellklasse::~unsatzonmodellklasse() = default;

CellValueList unsatzonmodellklasse::ExchangedArrays() {
  CellValueList list;
  // Every grid the cell body reads or writes, whoever made it: the other models' grids first,
  // then the model's own grids and stacks, then the layered snow pack.
  const Links& l = links;
  for (double** g : {l.albedo,
                     l.clay_depth,
                     Grid(kBaseflow),
                     l.drainage_distance,
                     l.drainage_depth,
                     Grid(kDrainageLevel),
                     layered_snow.energyBalance,
                     layered_snow.energyBalance_onGlacier,
                     Grid(kEtrToEtp),
                     l.potential_evaporation,
                     l.real_evaporation,
                     l.flow_times,
                     l.colmation,
                     l.colmation_frozen,
                     l.colmation_unfrozen,
                     l.ice_firn,
                     l.glacierized_cells,
                     l.glacierized_cells_old,
                     l.glacier_mass_balance,
                     l.permafrost_thaw_depth,
                     l.response_units,
                     l.master_response_units,
                     l.irrigation_codes,
                     kolmation,
                     Optional("lake_codes"),
                     l.max_ponding_storage,
                     owner_grid,
                     water_input,
                     silted_input_change,
                     layered_snow.rain_fraction,
                     l.direct_runoff_silting,
                     l.surface_storage_silting,
                     l.lower_boundary_flux,
                     layered_snow.melt_from_snowcover,
                     layered_snow.snowcover_outflow,
                     river_depth,
                     river_links,
                     river_link_cells,
                     river_width,
                     l.evaporation_resistance,
                     Optional("RelCellArea"),
                     l.gw_storage_coefficient,
                     gw_storage_coefficient_1,
                     l.gw_k_x,
                     l.gw_k_y,
                     layered_snow.snowstorage_liquid,
                     l.slope_angle,
                     l.snow_solid,
                     l.soil_types,
                     layered_snow.snowstorage_solid,
                     layered_snow.snow_storage_total,
                     layered_snow.surftemp,
                     layered_snow.surftemp_onGlacier,
                     l.air_temperature,
                     l.lower_boundary_temperature,
                     l.elevation,
                     aquifer_thickness,
                     layered_snow.upper_index.get(),
                     soil_zone_grid})
    list.AddGrid(g);
  for (const std::vector<double**>* layers :
       {&l.pot_transpiration, &l.real_transpiration, &l.landuse, &l.vegetation_cover, &l.root_depth,
        &l.leaf_area, &l.canopy_resistance, &l.intercept_resistance, &l.roughness})
    for (double** g : *layers) list.AddGrid(g);
  for (const GridMatrix& g : grids) list.AddGrid(g.get());
  for (const StackMatrix& s : stacks) list.AddStack(s.get(), s.levels());
  for (const StackMatrix& s : layered_snow.stacks) list.AddStack(s.get(), s.levels());
  return list;
}

int64_t unsatzonmodellklasse::prepareMPIReinfiltration(const RiverLinkSet& river_link_set) {
  if (GetFlowControl() == 0 || surfaceWaterInteraction < 2) return 0;
  river_link_cells = Optional("river_links");
  river_halo = std::make_unique<RiverLinkHalo>(Diag(), ExchangedArrays(), river_link_set, rank,
                                               first_local_row, column_ranges);
  if (river_halo->list().HasRow0() && tracerCount > 0) {
    Diag() << "FATAL: prepareMPIReinfiltration() doesn't allow tracers yet"
           << "[end-entry]";
    throw ErrorCode{kRiverLinkTracerCode};
  }
  // A trial round trip: every cell gets its own values back.
  river_halo->ExchangeForward();
  river_halo->MarkBuffers(-987654321.0, 123456789.0);
  river_halo->ExchangeBack();
  return river_halo->list().ValueCount();
}

void unsatzonmodellklasse::ExchangeHaloRows() {
  if (river_halo) river_halo->ExchangeForward();
}

void unsatzonmodellklasse::ExchangeHaloRowsBack() {
  if (!river_halo) return;
  river_halo->ExchangeBack();
  averageReinfiltrationOverSubsteps();
}

// The cells book their takes as shares of the step's mean rate (m³/s), summed over the
// sub-steps so far, and the offer still open is read against that sum: the step's mean is the sum
// after the last sub-step, so it is copied, neither divided by the sub-step count again nor reset.
void unsatzonmodellklasse::averageReinfiltrationOverSubsteps() {
  for (ReinfiltrationRecord& record : reinfiltration_records)
    record.reinfiltratedStep = record.reinfiltrated;
}

}  // namespace velorn

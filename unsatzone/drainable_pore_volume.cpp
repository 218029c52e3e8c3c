// The drainable pore volume of every own cell into "Max_Pumping", which irrigation reads as the
// water it may pump from the soil's saturated zone.
#include <algorithm>
#include <cmath>

#include "core/row_loop.h"
#include "unsatzone/soil_column_sources.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void unsatzonmodellklasse::ComputeDrainablePoreVolume() {
  double** out = grids[kMaxPumping].get();
  double** level = grids[kGroundwaterLevel].get();
  if (GetFlowControl() == 0 || !irrigation_configured || out == nullptr || level == nullptr) return;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) {
        out[r][c] = nodata;
        continue;
      }
      const SoilRecord& soil = CellSoil(r, c);  // checks the soil type
      const int type = static_cast<int>(links.soil_types[r][c]);
      const double* fc = &soil_constants.field_capacity[soil_constants.At(type, 0)];
      out[r][c] = DrainablePoreVolume(soil, fc, static_cast<int>(std::trunc(level[r][c])),
                                      std::min(layerCount, soil.layers));
    }
  });
}

}  // namespace velorn

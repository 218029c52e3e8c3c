// The outputs of the soil zone's step end (see unsatzone_model.h, CollectStepTables and
// WriteStepGrids): the zone statistics rows of the step and the grids and stacks by their write
// codes, in the order in which the files have always been written (the layered snow pack's last).
//
// The tables of direct runoff, interflow, base flow and total runoff show what leaves the
// subbasins' linear storages, not a mean of the cells: FinishStep writes their records on
// process 0 and they are taken as they stand. Every other table sums its cells of all processes.
#include "unsatzone/unsatzone_model.h"

namespace velorn {

void unsatzonmodellklasse::CollectStepTables() {
  const ModelDate& d = step_date;
  const auto collect = [&](zonalstatistic* table) {
    if (table != nullptr) table->CollectStep(d.year, d.month, d.day, d.hour, 1);
  };
  const auto written = [&](zonalstatistic* table) {
    if (table != nullptr) table->CollectWrittenStep(d.year, d.month, d.day, d.hour);
  };
  const auto table = [&](StatisticsPair pair) { return statistics[pair].table.get(); };
  for (StatisticsPair pair : {kStatGWSTAND, kStatGWN, kStatINFILT, kStatMACRO})
    collect(table(pair));
  if (method == 3) collect(table(kStatSUBSTEPS));
  collect(table(kStatSB1));
  collect(table(kStatSB2));
  collect(immobilised_statistics.table.get());
  collect(table(kStatROOT));
  collect(table(kStatINFEX));
  for (StatisticsPair pair : {kStatQD, kStatQI, kStatQB}) written(table(pair));
  if (groundwaterModelActive != 0) {
    collect(table(kStatGWIN));
    collect(table(kStatGWEX));
  }
  written(table(kStatQg));
  collect(table(kStatQDRAIN));
  collect(table(kStatPOND));
  if (heatTransferSwitch >= 1 && heatMethod >= 1) collect(table(kStatTemper));
}

void unsatzonmodellklasse::WriteStepGrids() {
  const auto grid = [&](OwnGrid g) {
    if (grid_index[g] > 0) WriteGridOutput(grid_index[g], 1, false);
  };
  const auto stack = [&](OwnStack s) {
    if (stack_index[s] > 0) WriteStackOutput(stack_index[s]);
  };
  for (OwnGrid g : {kSoilMoistureRoot, kSoilMoistureProfile, kRootGrid}) grid(g);
  for (OwnStack s : {kTheta, kHydraulicHeads, kGeodeticHeads, kQDown}) stack(s);
  for (OwnGrid g :
       {kGroundwaterDistance, kThetaInGwLevel, kGroundwaterRecharge, kMacroporeInfiltration})
    grid(g);
  if (method == 3) grid(kNumberOfSubsteps);
  for (OwnGrid g : {kCapillaryUprise, kPercolation, kGroundwaterLevel, kInfiltrationExcess,
                    kInfiltrationSaturation, kDirectflow, kInterflow, kBaseflow})
    grid(g);
  if (groundwaterModelActive != 0) {
    grid(kRiverInfiltration);
    grid(kRiverExfiltration);
  }
  grid(kPondingStorage);
  grid(kDrainageFlow);
  // What the next step's irrigation rules read: written after the step that computed it.
  grid(kEtrToEtp);
  if (heatTransferSwitch >= 1 && heatMethod >= 1) {
    stack(kSoilTemperature);
    stack(kSoilSE);
    grid(kThawDepth);
  }
  // The layered snow pack: its stacks in the order of [LayeredSnowModel], then the grid of the
  // uppermost layer.
  if (layeredSnowSwitch > 0 && layered_snow.M > 0) {
    for (const int index : layered_snow.stack_index)
      if (index > 0) WriteStackOutput(index);
    if (layered_snow.upper_index_entry > 0)
      WriteGridOutput(layered_snow.upper_index_entry, 1, false);
  }
}

}  // namespace velorn

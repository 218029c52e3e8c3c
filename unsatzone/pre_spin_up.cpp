// Unsaturated zone: the pre-spin-up of soil temperatures. The application's pre-spin-up loop
// feeds the air temperature step by step (AccumulatePreSpinUpTemperatures); at its end the soil
// temperature profile of every own cell is set from the degree days and the mean air
// temperature (SetPreSpinUpSoilTemperatures), and the four accumulation grids are freed.
#include <cmath>

#include "core/error_code.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "grids/mpi_exchange.h"
#include "tables/landuse_record.h"
#include "unsatzone/pre_spin_up_formulas.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {

namespace {
constexpr const char* kPreSpinUpIdentifiers[4] = {"FreezingDegreeDays", "thawingDegreeDays",
                                                  "DailyTemperature", "AnnualTemperature"};
enum { kFreezing, kThawing, kDaily, kAnnual };
constexpr int kPreSpinUpCode = 1040;
}  // namespace

int64_t unsatzonmodellklasse::AccumulatePreSpinUpTemperatures(int64_t hour) {
  if (links.air_temperature == nullptr || heatTransferSwitch <= 0) {
    ThrowFatal(Diag(), kPreSpinUpCode,
               "FATAL: heat transfer model not active in unsatzon_model. This is required for "
               "pre-SpinUp!");
  }
  if (pre_spin_up_index[0] == 0) {
    for (int k = 0; k < 4; ++k) {
      pre_spin_up_grids[k] = NewGrid();
      Fill(pre_spin_up_grids[k].get(), 0.0);
      pre_spin_up_index[k] = NextFreeIndex();
      RegisterGrid(pre_spin_up_index[k], kPreSpinUpIdentifiers[k], pre_spin_up_grids[k].get(),
                   nullptr, 0, kPreSpinUpIdentifiers[k], 0, grid_first_row, grid_last_row);
    }
  }
  ++preSpinUpStepCount;
  ++preSpinUpDayStepCount;
  const int64_t end_hour = hour + static_cast<int64_t>(std::trunc(min_to_int_end / 60.0));
  const bool day_ends = end_hour == 24;
  double** freezing = pre_spin_up_grids[kFreezing].get();
  double** thawing = pre_spin_up_grids[kThawing].get();
  double** daily = pre_spin_up_grids[kDaily].get();
  double** annual = pre_spin_up_grids[kAnnual].get();
  double** air = links.air_temperature;
  const double day_steps = preSpinUpDayStepCount;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      daily[r][c] += air[r][c];
      annual[r][c] += air[r][c];
      if (!day_ends) continue;
      AddDegreeDay(daily[r][c] / day_steps, thawing[r][c], freezing[r][c]);
      daily[r][c] = 0;
    }
  });
  if (day_ends) preSpinUpDayStepCount = 0;
  return end_hour;
}

void unsatzonmodellklasse::SetPreSpinUpSoilTemperatures() {
  if (pre_spin_up_index[0] == 0) return;  // no pre-spin-up step ran
  const double years = preSpinUpStepCount * min_to_int_end / 525600.0;
  double** freezing = pre_spin_up_grids[kFreezing].get();
  double** thawing = pre_spin_up_grids[kThawing].get();
  double** annual = pre_spin_up_grids[kAnnual].get();
  double*** temperature = stacks[kSoilTemperature].get();
  double*** theta = stacks[kTheta].get();
  double*** geodetic = stacks[kGeodeticHeads].get();
  const int landuse_count = landuse_table != nullptr ? landuse_table[0].GetCode() : 0;
  const double steps = preSpinUpStepCount;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      annual[r][c] /= steps;
      PreSpinUpCell cell;
      cell.theta = theta[r][c];
      cell.geodetic = geodetic[r][c];
      cell.meanAir = annual[r][c];
      cell.thawing = thawing[r][c];
      cell.freezing = freezing[r][c];
      cell.years = years;
      cell.nFreezing = dTModNFactorFreezing;
      cell.nThawing = dTModNFactorThawing;
      const int landuse = links.landuse.size() > 1 && links.landuse[1] != nullptr
                              ? static_cast<int>(links.landuse[1][r][c])
                              : 0;
      if (landuse >= 1 && landuse <= landuse_count) {
        const LanduseRecord& record = landuse_table[landuse];
        if (!(record.GetNfFreezing() < -9999.0)) cell.nFreezing = record.GetNfFreezing();
        if (!(record.GetNfThawing() < -9999.0)) cell.nThawing = record.GetNfThawing();
      }
      if (links.lower_boundary_flux != nullptr) cell.flux = links.lower_boundary_flux[r][c];
      cell.lamWater = dTModLamWat;
      cell.lamIce = dTModLamIce;
      PreSpinUpProfile(CellSoil(r, c), cell, temperature[r][c]);
    }
  });
  // Each process writes its own rows of the grids, so each its own file ("_000" for process 0).
  const std::string suffix = FormatText("_%03d", rank);
  for (int k : {kFreezing, kThawing, kAnnual})
    WriteGrid(kPreSpinUpIdentifiers[k] + suffix, pre_spin_up_grids[k].get(), write_ascii,
              write_double, write_netcdf);
  // The stack is one file of every cell: a binary stack is written by all processes at once
  // (each its own cells), so they must name the same file; ASCII and netCDF stacks are written
  // by process 0, from the stack gathered there as for the stacks' write codes.
  StackMatrix gathered;
  if (size >= 2 && (write_ascii || write_netcdf))
    gathered =
        velorn::MPIGatherStackCopy(Diag(), mpi, temperature, layerCount, "Soil_Temperature_Stack");
  WriteStack("Soil_Temperature_Stack", gathered ? gathered.get() : temperature, layerCount,
             write_ascii, write_double, write_netcdf);
  ReleasePreSpinUpGrids();
  // The first step of the run keeps this profile.
  temperatureStackPending = 0;
}

void unsatzonmodellklasse::ReleasePreSpinUpGrids() {
  for (int k = 0; k < 4; ++k) {
    if (pre_spin_up_index[k] > 0) UnregisterGrid(pre_spin_up_index[k]);
    pre_spin_up_index[k] = 0;
    pre_spin_up_grids[k] = GridMatrix();
  }
}

}  // namespace velorn

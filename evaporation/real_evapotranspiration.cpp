// Snow evaporation out of the potentials, the real-evapotranspiration step (opening, end with
// sums, glacier weighting, statistics and output) and the bucket reduction of the
// evapotranspiration model.
#include <algorithm>

#include "core/nodata.h"
#include "core/row_loop.h"
#include "evaporation/evapotranspiration.h"

namespace velorn {
namespace {

bool ComputesSublimationItself(int32_t snow_method) {
  return snow_method == 5 || snow_method == 6 || snow_method == 7 || snow_method == 11;
}

// Serves `demand` from `store` (both mm): the amount moves into `booked` and leaves both.
void ServeFromStore(double& store, double& demand, double& booked) {
  const double amount = std::max(0.0, std::min(store, demand));
  booked += amount;
  store -= amount;
  demand -= amount;
}

}  // namespace

// ---- Snow evaporation -------------------------------------------------------------------------

void verdunstungsmodellklasse::ComputeSnowEvaporation(int64_t hour, int64_t day, int64_t month,
                                                      int64_t year) {
  if (flow_control == 0 || solid_snow_storage == nullptr) return;
  StoreDate(hour, day, month, year);
  Announce("snow_evaporation", false);
  if (!glacier_grids_looked_up) {
    glacier_grids_looked_up = true;
    const int evaporation_index = FindGrid("SnowEvaporation_onGlacier", 0);
    const int total_index = FindGrid("TotalSnowStorage_onGlacier", 0);
    const int solid_index = FindGrid("SolidSnowStorage_onGlacier", 0);
    if (evaporation_index != 0 && total_index != 0 && solid_index != 0) {
      glacier_snow_evaporation = (*registry)[evaporation_index].grid;
      glacier_snow_storage = (*registry)[solid_index].grid;
    }
  }
  snow_evaporation_stats.table->ResetZoneSums();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (IsComputedCell(r, c)) SnowEvaporationCell(r, c);
  });
  std::vector<double**> results;
  for (int i = 0; i <= layer_count; ++i) {
    results.push_back(pot_transpiration[i].get());
    results.push_back(pot_interception[i].get());
  }
  results.push_back(potential_evaporation.get());
  results.push_back(snow_evaporation.get());
  results.push_back(solid_snow_storage);
  if (glacier_snow_evaporation != nullptr) {
    results.push_back(glacier_snow_evaporation);
    results.push_back(glacier_snow_storage);
  }
  CopyFromMasters(results);
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      if (IsOwnCell(r, c))
        snow_evaporation_stats.table->AddValue(r, c, ZoneIndex(r, c), snow_evaporation[r][c], 1);
  CollectAndReset(snow_evaporation_stats);
  WriteGridOutput(snow_evaporation_index, 1, false);
}

// The snow evaporation of one cell is served from its potentials, top layer first, then soil
// evaporation. What is booked leaves the snow model's solid storage here (and the glacier's snow
// storage for the glacier part), so the water balance of the snow cover holds.
void verdunstungsmodellklasse::SnowEvaporationCell(long r, long c) {
  double store = solid_snow_storage[r][c];
  if (ComputesSublimationItself(snow_method)) {
    if (store > 0) {
      for (int i = 1; i <= layer_count; ++i)
        if (IsNotNodata(landuse[i][r][c], nodata)) pot_transpiration[i][r][c] = 0;
      potential_evaporation[r][c] = 0;
      pot_transpiration[0][r][c] = 0;
    }
    return;
  }
  snow_evaporation[r][c] = 0;
  if (glacier_snow_evaporation != nullptr) glacier_snow_evaporation[r][c] = 0;
  const double glacier = GlacierShare(r, c);
  if (glacier < 1 && store > 0) {
    double booked = 0;
    for (int i = 1; i <= layer_count; ++i)
      if (IsNotNodata(landuse[i][r][c], nodata))
        ServeFromStore(store, pot_transpiration[i][r][c], booked);
    ServeFromStore(store, potential_evaporation[r][c], booked);
    // The layer-0 total (transpiration of every layer plus soil evaporation) loses it as well.
    pot_transpiration[0][r][c] -= booked;
    snow_evaporation[r][c] = booked;
    solid_snow_storage[r][c] = store;
  }
  if (glacier > 0 && glacier_snow_evaporation != nullptr) {
    double glacier_store = glacier_snow_storage[r][c];
    double booked = 0;
    for (int i = 1; i <= layer_count && glacier_store > 0; ++i)
      if (IsNotNodata(landuse[i][r][c], nodata)) {
        double demand = pot_transpiration[i][r][c];
        ServeFromStore(glacier_store, demand, booked);
      }
    double demand = potential_evaporation[r][c];
    ServeFromStore(glacier_store, demand, booked);
    glacier_snow_evaporation[r][c] = booked;
    glacier_snow_storage[r][c] = glacier_store;
  }
}

// ---- Real evapotranspiration step -------------------------------------------------------------

void verdunstungsmodellklasse::ResetRealStatistics() {
  Announce("real evapotranspir.", true);
  if (interception_evaporation == nullptr)
    if (const int i = FindGrid("interception_evaporation0", 0)) {
      interception_evaporation = (*registry)[i].grid;
      if (const int s = FindGrid("Snow_canopy_sublim", 0)) canopy_sublimation = (*registry)[s].grid;
    }
  for (EvapStatistics& stats : real_et_stats) stats.table->ResetZoneSums();
  real_evaporation_stats.table->ResetZoneSums();
}

void verdunstungsmodellklasse::BeginRealEvapotranspirationStep(int64_t hour, int64_t day,
                                                               int64_t month, int64_t year) {
  if (flow_control == 0) return;
  StoreDate(hour, day, month, year);
  ResetRealStatistics();
  if (glacier_fraction == nullptr) return;
  if (!step_glacier_share) step_glacier_share = NewGrid();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
      step_glacier_share[r][c] = GlacierShare(r, c);
  });
}

double verdunstungsmodellklasse::StepGlacierShare(long r, long c) const {
  return step_glacier_share ? step_glacier_share[r][c] : GlacierShare(r, c);
}

void verdunstungsmodellklasse::FinishStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flow_control == 0) return;
  StoreDate(hour, day, month, year);
  // Each thread adds to exact sums of its own: the tables do not depend on the thread count.
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const int zone = ZoneIndex(r, c);
      const double glacier = StepGlacierShare(r, c);
      const double weight = 1.0 - glacier;
      double transpiration_sum = 0;
      for (int i = 1; i <= layer_count; ++i) {
        const double value =
            IsNotNodata(landuse[i][r][c], nodata) ? real_transpiration[i][r][c] : 0.0;
        transpiration_sum += value;
        real_et_stats[i].table->AddValue(r, c, zone, value, weight);
        real_et_stats[i].table->AddValue(r, c, zone, 0.0, glacier);
      }
      double& total = real_transpiration[0][r][c];
      if (interception_evaporation == nullptr)
        total += snow_evaporation[r][c];
      else
        total = InterceptionEvaporation(r, c) + snow_evaporation[r][c] + real_evaporation[r][c] +
                transpiration_sum;
      const double glacier_part = glacier_snow_evaporation != nullptr
                                      ? glacier_snow_evaporation[r][c]
                                      : snow_evaporation[r][c];
      real_et_stats[0].table->AddValue(r, c, zone, total * weight + glacier * glacier_part, 1);
      real_evaporation_stats.table->AddValue(r, c, zone, real_evaporation[r][c], weight);
      real_evaporation_stats.table->AddValue(r, c, zone, 0.0, glacier);
    }
  });
  std::vector<EvapStatistics*> all;
  for (EvapStatistics& stats : real_et_stats) all.push_back(&stats);
  all.push_back(&real_evaporation_stats);
  CollectAll(all);
  for (int i = 0; i <= layer_count; ++i) WriteGridOutput(real_transpiration_index[i], 1, false);
  WriteGridOutput(real_evaporation_index, 1, false);
}

// ---- Bucket -----------------------------------------------------------------------------------

void verdunstungsmodellklasse::ComputeRealEvapotranspiration(int64_t hour, int64_t day,
                                                             int64_t month, int64_t year) {
  if (flow_control == 0) return;
  StoreDate(hour, day, month, year);
  if (soil_storage == nullptr || soil_capacity == nullptr) FetchSoilGrids();
  ResetRealStatistics();
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (IsOwnCell(r, c)) {
        BucketCell(r, c);
        continue;
      }
      for (int i = 0; i <= layer_count; ++i) real_transpiration[i][r][c] = nodata;
    }
  });
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const double glacier = GlacierShare(r, c);
      if (glacier >= 1) continue;
      const int zone = ZoneIndex(r, c);
      for (int i = 0; i <= layer_count; ++i) {
        const bool valid = i == 0 || IsNotNodata(landuse[i][r][c], nodata);
        real_et_stats[i].table->AddValue(r, c, zone, valid ? real_transpiration[i][r][c] : 0.0,
                                         1.0 - glacier);
        real_et_stats[i].table->AddValue(r, c, zone, 0.0, glacier);
      }
      real_evaporation_stats.table->AddValue(r, c, zone, real_evaporation[r][c], 1.0 - glacier);
      real_evaporation_stats.table->AddValue(r, c, zone, 0.0, glacier);
    }
  for (EvapStatistics& stats : real_et_stats) CollectAndReset(stats);
  CollectAndReset(real_evaporation_stats);
  for (int i = 0; i <= layer_count; ++i) WriteGridOutput(real_transpiration_index[i], 1, false);
  WriteGridOutput(real_evaporation_index, 1, false);
}

// One cell of the bucket: transpiration reduced below 60 % relative soil storage, soil
// evaporation once per cell, both limited by the storage; lake cells with ponding take the
// transpiration from the ponding and have no soil evaporation.
void verdunstungsmodellklasse::BucketCell(long r, long c) {
  if (GlacierShare(r, c) >= 1) return;
  const double capacity = soil_capacity[r][c];
  const double relative = capacity > 0 ? soil_storage[r][c] : 1.0;
  const bool lake = lake_codes != nullptr && ponding != nullptr &&
                    IsNotNodata(lake_codes[r][c], nodata) && ponding[r][c] > 1;
  // Takes `amount` from the soil storage; without a storage capacity nothing limits it.
  auto abstract = [&](double amount) {
    if (capacity <= 0) return amount;
    soil_storage[r][c] -= amount / capacity;
    if (soil_storage[r][c] < 0) {
      amount += soil_storage[r][c] * capacity;
      soil_storage[r][c] = 0;
    }
    return amount;
  };
  double& total = real_transpiration[0][r][c];
  total = 0;
  bool vegetated = false;
  for (int i = 1; i <= layer_count; ++i) {
    if (IsNodata(landuse[i][r][c], nodata)) {
      real_transpiration[i][r][c] = 0;
      continue;
    }
    vegetated = true;
    double& potential = pot_transpiration[i][r][c];
    double actual = 0;
    if (lake) {
      actual = std::max(0.0, std::min(potential, ponding[r][c]));
      ponding[r][c] -= actual;
      potential -= actual;
    } else {
      actual = abstract(relative < 0.6 ? potential * relative / 0.6 : potential);
    }
    real_transpiration[i][r][c] += actual;
    total += real_transpiration[i][r][c];
  }
  if (vegetated && !lake) real_evaporation[r][c] += abstract(potential_evaporation[r][c]);
  total += InterceptionEvaporation(r, c) + snow_evaporation[r][c] + real_evaporation[r][c];
}

}  // namespace velorn

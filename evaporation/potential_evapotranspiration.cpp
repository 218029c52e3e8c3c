// The potential step of the evapotranspiration model: step preparation (day of year, daylight,
// solar table, transmissivity, sunshine bookkeeping, temperature amplitude), per-cell radiation,
// sunshine and cloudiness, the four methods, response-unit copies, statistics and output.
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "core/model_date.h"
#include "core/nodata.h"
#include "core/response_unit_results.h"
#include "core/row_loop.h"
#include "evaporation/evaporation_physics.h"
#include "evaporation/evapotranspiration.h"
#include "setup/response_units.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"

namespace velorn {

// ---- Shared helpers of the step operations ----------------------------------------------------

bool verdunstungsmodellklasse::IsOwnCell(long r, long c) const {
  if (IsNodata(zone_grid[r][c], nodata)) return false;
  return owner_grid == nullptr || owner_grid[r][c] == rank;
}

bool verdunstungsmodellklasse::IsComputedCell(long r, long c) const {
  if (!IsOwnCell(r, c)) return false;
  return response_unit_switch == 0 || master_response_units == nullptr ||
         IsNotNodata(master_response_units[r][c], nodata);
}

int verdunstungsmodellklasse::ZoneIndex(long r, long c) const {
  return zone_code_index[static_cast<int>(zone_grid[r][c])];
}

bool verdunstungsmodellklasse::IsLakeCell(long r, long c) const {
  return lake_codes != nullptr && ponding != nullptr && lake_codes[r][c] > 0 && ponding[r][c] > 0;
}

double verdunstungsmodellklasse::GlacierShare(long r, long c) const {
  if (glacier_fraction == nullptr) return 0.0;
  return std::clamp(glacier_fraction[r][c], 0.0, 1.0);
}

void verdunstungsmodellklasse::CopyFromMasters(const std::vector<double**>& grids) {
  if (response_unit_switch == 0 || master_response_units == nullptr) return;
  static const std::vector<HruRecord> no_units = EmptyHruTable();
  const UnitResults masters = ShareUnitResults(
      response_unit_table != nullptr ? *response_unit_table : no_units, grids.size(),
      first_local_row, last_local_row, column_ranges,
      [&](long r, long c) { return IsComputedCell(r, c); },
      [&](long r, long c, double* out) {
        for (double** grid : grids) *out++ = grid[r][c];
      });
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsOwnCell(r, c) || IsNotNodata(master_response_units[r][c], nodata)) continue;
      const double* values = masters.Require(Diag(), module_name, response_units[r][c], r, c);
      for (double** grid : grids) grid[r][c] = *values++;
    }
  });
}

void verdunstungsmodellklasse::StoreDate(int64_t hour, int64_t day, int64_t month, int64_t year) {
  step_date = ModelDate{year, month, day, hour};
}

void verdunstungsmodellklasse::Announce(const char* title, bool outside_parallel_only) {
  if (outside_parallel_only && omp_in_parallel()) return;
  const int64_t hour = step_date.hour;
  if (!ReportDue(report_interval, start_date, step_date, time_shift)) return;
  Diag() << "INFO: " << title << " " << static_cast<long long>(step_date.day) << "."
         << static_cast<long long>(step_date.month) << "." << static_cast<long long>(step_date.year)
         << " " << static_cast<long long>(hour) << ". h "
         << "(time of meteo data)"
         << "[end-entry]";
}

void verdunstungsmodellklasse::CollectAndReset(EvapStatistics& stats) {
  if (stats.table)
    stats.table->CollectStep(step_date.year, step_date.month, step_date.day, step_date.hour, 1);
}

void verdunstungsmodellklasse::CollectAll(const std::vector<EvapStatistics*>& all) {
  std::vector<zonalstatistic*> tables;
  tables.reserve(all.size());
  for (EvapStatistics* stats : all) tables.push_back(stats->table.get());
  zonalstatistic::CollectSteps(tables, step_date.year, step_date.month, step_date.day,
                               step_date.hour, 1);
}

// ---- Step preparation -------------------------------------------------------------------------

// The sine of the sun's elevation in the middle of every daylight sub-interval of the step. A
// step without daylight has no sub-interval (and no table to read).
void verdunstungsmodellklasse::PrepareSolarTable() {
  sub_interval_count = 0;
  sub_interval_length = 0;
  const double daylight_hours = time_interval / 60.0 * daylight_fraction;
  const int count = std::min(24, static_cast<int>(std::ceil(daylight_hours - 0.001)));
  if (count <= 0) return;
  sub_interval_count = count;
  sub_interval_length = daylight_hours / count;
  const double step_hours = time_interval > 1440.0 ? 24.0 : time_interval / 60.0;
  const double start =
      static_cast<double>(step_date.hour) + time_shift - step_hours + dark_before_sunrise;
  for (int i = 1; i <= count; ++i) {
    double azimuth = 0, elevation_angle = 0;
    SolarPosition(static_cast<int>(step_date.day), static_cast<int>(step_date.month), latitude,
                  longitude, start + (i - 0.5) * sub_interval_length, azimuth, elevation_angle);
    solar_sine[i] = std::sin(elevation_angle);
  }
}

void verdunstungsmodellklasse::ComputePotentialEvapotranspiration(int64_t hour, int64_t day,
                                                                  int64_t month, int64_t year) {
  if (flow_control == 0) return;
  StoreDate(hour, day, month, year);
  Announce("pot. evaptranspir.", false);
  // Day of year from the month lengths of the step's own year.
  const bool valid_month = month >= 1 && month <= 12;
  day_of_year = static_cast<int>(day);
  for (int64_t m = 1; valid_month && m < month; ++m) day_of_year += DaysInMonth(year, m);
  const int month_length = valid_month ? DaysInMonth(year, month) : 30;
  for (int i = 0; i <= layer_count; ++i) {
    pot_transpiration_stats[i].table->ResetZoneSums();
    pot_interception_stats[i].table->ResetZoneSums();
  }
  for (EvapStatistics* stats : {&potential_evaporation_stats, &radiation_stats, &cloudiness_stats})
    stats->table->ResetZoneSums();
  DaylightFraction();

  skip_radiation = method == 2 || method == 4;
  sub_interval_count = 0;
  if (!skip_radiation && valid_month) {
    if (radiation == nullptr || sunshine == nullptr) PrepareSolarTable();
    transmissivity = DailyTransmissivity(transmissivity_mean, transmissivity_amplitude,
                                         static_cast<int>(day), static_cast<int>(month));
  }
  if (time_interval < 720) {
    if (daylight_fraction > 0.05 && !day_begun) {
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
          if (IsComputedCell(r, c)) ssd_temp[r][c] = 0;
      });
      daytime_steps = 1;
      day_begun = true;
    } else if (daylight_fraction > 0.05) {
      ++daytime_steps;
    } else if (day_begun) {
      ForEachRow(first_local_row, last_local_row, [&](long r) {
        for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c)
          if (IsComputedCell(r, c))
            ssd_temp[r][c] = daytime_steps > 0 ? ssd_temp[r][c] / daytime_steps : 0.5;
      });
      day_begun = false;
    }
  }
  const double d = static_cast<double>(day);
  const auto m = static_cast<std::size_t>(valid_month ? month : 1);
  if (method == 1 && time_interval > 720) {
    amplitude_of_day = d <= 15 ? InterpolateLinear(-15.5, temperature_amplitude[m - 1], 15,
                                                   temperature_amplitude[m], d)
                               : InterpolateLinear(16, temperature_amplitude[m], month_length + 15,
                                                   temperature_amplitude[m + 1], d);
    annual_term = annual_variability * std::cos(2.0 * 3.141592653589793 * day_of_year / 365.0);
  }
  if (method == 2)
    hamon_factor_of_day = d <= 15 ? InterpolateLinear(-15, PEC[m - 1], 15, PEC[m], d)
                                  : InterpolateLinear(16, PEC[m], month_length + 16, PEC[m + 1], d);

  ForEachRow(first_local_row, last_local_row, [&](long r) { PotentialRow(r); });
  std::vector<double**> results;
  for (int i = 0; i <= layer_count; ++i) {
    results.push_back(pot_transpiration[i].get());
    results.push_back(pot_interception[i].get());
  }
  for (const GridMatrix* grid : {&potential_evaporation, &corrected_radiation, &cloudiness})
    results.push_back(grid->get());
  CopyFromMasters(results);
  PotentialStatisticsAndOutput();
}

// ---- Per cell ---------------------------------------------------------------------------------

void verdunstungsmodellklasse::PotentialRow(long r) {
  const double minutes = time_interval;
  const double radiation_cap = 1260.0 * minutes / 60.0 * daylight_fraction;
  for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
    if (!IsComputedCell(r, c)) {
      // A response unit's member starts its step's real evapotranspiration at 0 as a master
      // does: the end of the step adds the snow evaporation to it, which would otherwise run
      // on as a sum where no soil zone and no leaves set it anew.
      const bool member = IsOwnCell(r, c);
      for (int i = 0; i <= layer_count; ++i) {
        pot_transpiration[i][r][c] = nodata;
        pot_interception[i][r][c] = nodata;
        if (member) real_transpiration[i][r][c] = 0;
      }
      potential_evaporation[r][c] = nodata;
      continue;
    }
    const double t = temperature[r][c];
    double s = 0, relative = 0, corrected = 0, net_shortwave = 0, cloud = 0.5, cell_albedo = 0;
    if (!skip_radiation) {
      const double p =
          air_pressure != nullptr ? air_pressure[r][c] : AirPressure(elevation[r][c], t);
      double clear_sky = 0;
      const bool night = sub_interval_count == 0 || solar_sine[sub_interval_count / 2 + 1] <= 0.017;
      if ((radiation != nullptr && sunshine != nullptr) || night) {
        if (sunshine != nullptr) {
          s = sunshine[r][c];
          relative = Cubic(CS, s);
        }
      } else {
        clear_sky = ClearSkyRadiation(solar_sine.data(), sub_interval_count, sub_interval_length,
                                      transmissivity, p);
        if (sunshine != nullptr) {
          s = sunshine[r][c];
          relative = Cubic(CS, s);
        } else if (clear_sky > 0) {
          relative = std::clamp(radiation[r][c] / clear_sky, 0.0, 1.0);
          s = relative <= radiation_lower_limit ? 0.0 : std::clamp(Cubic(C, relative), 0.0, 1.0);
        }
      }
      if (radiation == nullptr) {
        corrected = radiation_correction != nullptr
                        ? (CS[0] + radiation_correction[r][c] * (Cubic(CS, s) - CS[0])) * clear_sky
                        : relative * clear_sky;
      } else {
        corrected = radiation[r][c];
        if (radiation_correction != nullptr) {
          corrected *= (1.0 - CS[0]) * s * (radiation_correction[r][c] - 1.0) + 1.0;
          radiation[r][c] = corrected;
        }
      }
      ssd_temp[r][c] += s;
      corrected = std::min(corrected, radiation_cap);
      cell_albedo = albedo != nullptr ? albedo[r][c] : 0.0;
      if (IsLakeCell(r, c)) cell_albedo = Albedo_OpenWater;
      net_shortwave = (1.0 - cell_albedo) * corrected;
      cloud = Cloudiness(relative);
    } else {
      s = ssd_temp[r][c];
    }
    corrected_radiation[r][c] = corrected;
    cloudiness[r][c] = cloud;
    potential_evaporation[r][c] = 0;
    real_evaporation[r][c] = 0;
    snow_evaporation[r][c] = 0;
    if (method == 1)
      PenmanMonteithCell(r, c, s, relative, net_shortwave);
    else
      SingleLayerCell(r, c, corrected, cell_albedo);
  }
}

void verdunstungsmodellklasse::PenmanMonteithCell(long r, long c, double s, double relative,
                                                  double net_shortwave) {
  // Day and night temperatures of the cell; for long steps shifted by the day/night amplitude.
  // The shift goes into the shared grids, where the snow model splits its melt between day and
  // night; the meteorological models write them afresh every step.
  double t_day = temperature[r][c];
  double t_night = temperature_night[r][c];
  if (time_interval > 720) {
    const double amplitude =
        amplitude_of_day * std::exp(-elevation[r][c] / amplitude_scale_height) * relative;
    t_day += (amplitude_fraction_day + annual_term) * amplitude;
    t_night -= (amplitude_fraction_night - annual_term) * amplitude;
    temperature[r][c] = t_day;
    if (temperature_night != temperature) temperature_night[r][c] = t_night;
  }
  pot_transpiration[0][r][c] = 0;
  real_transpiration[0][r][c] = 0;
  pot_interception[0][r][c] = 0;
  double lai_above = 0, ra = 0, night_energy = 0, day_energy = 0, soil_total = 0;
  for (int i = 1; i <= layer_count; ++i) {
    if (IsNodata(landuse[i][r][c], nodata)) {
      pot_transpiration[i][r][c] = 0;
      pot_interception[i][r][c] = 0;
      continue;
    }
    if (i >= 2) lai_above += std::max(0.0, leaf_area_index[i - 1][r][c]);
    double soil_night = 0, ei_night = 0, tr_night = 0, soil_day = 0, ei_day = 0, tr_day = 0;
    if (night_fraction >= 0.01)
      tr_night = verdunstungsmodellklasse::ComputeCellEvaporation(
          t_night, night_fraction, i, r, c, 0, soil_night, ei_night, ra, night_energy, day_energy,
          s, net_shortwave, lai_above);
    if (daylight_fraction >= 0.01)
      tr_day = verdunstungsmodellklasse::ComputeCellEvaporation(
          t_day, daylight_fraction, i, r, c, 1, soil_day, ei_day, ra, night_energy, day_energy, s,
          net_shortwave, lai_above);
    pot_transpiration[i][r][c] = std::max(0.0, tr_day + tr_night);
    pot_interception[i][r][c] = std::max(0.0, ei_day + ei_night);
    soil_total += soil_night + soil_day;
    real_transpiration[i][r][c] = 0;
    pot_transpiration[0][r][c] += pot_transpiration[i][r][c];
    pot_interception[0][r][c] += pot_interception[i][r][c];
  }
  potential_evaporation[r][c] = soil_total;
  pot_transpiration[0][r][c] += soil_total;
}

double verdunstungsmodellklasse::ComputeCellEvaporation(double t, double f, int layer, int row,
                                                        int col, int part, double& soil_evaporation,
                                                        double& interception_evap, double& ra,
                                                        double& night_energy, double& day_energy,
                                                        double s, double net_shortwave,
                                                        double lai_above) {
  const long r = row, c = col;
  double lai = leaf_area_index[layer][r][c];
  double vc = vegetation_coverage[layer][r][c];
  double rsc = canopy_resistance[layer][r][c];
  double z0 = roughness_length[layer][r][c];
  const double ri = interception_resistance[layer][r][c];
  const bool bottom = layer_count == 1 || layer == layer_count ||
                      IsNodata(leaf_area_index[layer + 1][r][c], nodata);
  const bool open_water = bottom && IsLakeCell(r, c);
  if (open_water) {
    lai = vc = rsc = 0;
    z0 = z0_OpenWater;
  }
  const double p = air_pressure != nullptr ? air_pressure[r][c] : AirPressure(elevation[r][c], t);
  const double es = velorn::SaturationVaporPressure(t);
  const double e = vapour_pressure != nullptr ? vapour_pressure[r][c] : es * humidity[r][c];
  const double slope_ratio = SaturationSlope(t) / PsychrometricConstant(p, t);
  const double latent = LatentHeat(t);
  double extinction = 0.3, resistance_increment = 10.0;
  if (layer_count > 1 && multilayer_landuse_table != nullptr) {
    const MultilayerLanduseRecord& record =
        multilayer_landuse_table[static_cast<int>(landuse[0][r][c])];
    extinction = record.k_extinct;
    resistance_increment = record.LAI_scale;
  }
  // Energy reaching the layer: the whole part's net radiation at the top, below it what the
  // layers above left over.
  double& remaining = part == 0 ? night_energy : day_energy;
  double net;
  if (layer == 1) {
    if (net_radiation_mode) {
      net = f * radiation[r][c] / latent;
    } else {
      const double loss = LongwaveLoss(f, longwave_factor, t, e, s, CS[0]);
      net = part == 1 ? 0.9 * (net_shortwave - loss) / latent : -loss / latent;
    }
  } else {
    net = remaining;
  }
  const double absorbed = net * vc * (1.0 - std::exp(-extinction * lai));
  remaining = std::max(0.0, net - absorbed);

  if (layer == 1) ra = AerodynamicResistance(z0, wind_speed[r][c]);
  const double ra_layer = layer == 1 ? ra : resistance_increment * lai_above + ra;
  const double rs = CanopyResistance(lai, vc, rsc, part == 1 || open_water);
  const double vapour = VapourDeficitTerm(f, time_interval, es, e, t, ra_layer);
  if (open_water) {
    soil_evaporation = 0;
    interception_evap = 0;
    return CombinationEvaporation(slope_ratio, absorbed + remaining, vapour, rs, ra_layer);
  }
  interception_evap = CombinationEvaporation(slope_ratio, absorbed, vapour, ri, ra_layer);
  soil_evaporation = bottom ? CombinationEvaporation(slope_ratio, remaining, vapour,
                                                     evaporation_resistance[r][c], ra_layer)
                            : 0.0;
  return CombinationEvaporation(slope_ratio, absorbed, vapour, rs, ra_layer);
}

// Hamon, Wendling and Haude: one value for the cell, in layer 0 and layer 1.
void verdunstungsmodellklasse::SingleLayerCell(long r, long c, double corrected,
                                               double cell_albedo) {
  const double t = temperature[r][c];
  double etp = 0;
  if (method == 2) {
    etp = HamonEvaporation(t, hamon_factor_of_day, daylight_fraction, time_interval);
    double factor = 1.0;
    if (landuse_table != nullptr && IsNotNodata(landuse[1][r][c], nodata))
      factor = landuse_table[static_cast<int>(landuse[1][r][c])].GetETPHamonFactor();
    const bool open_water = lake_codes != nullptr && ponding != nullptr && ponding[r][c] > 5 &&
                            IsNotNodata(lake_codes[r][c], nodata);
    etp *= (factor == 1.0 && open_water) ? HamonCorrectionOpenWater : factor;
  } else if (method == 3) {
    etp = WendlingEvaporation(corrected, cell_albedo, fk, t, time_interval);
  } else if (method == 4) {
    double deficit = 0;
    if (humidity != nullptr) {
      deficit = 1.0 - humidity[r][c];
    } else {
      const double q = vapour_pressure[r][c] / HaudeSaturation(t);
      deficit = q < 0 ? 1.0 : (q > 1 ? 0.0 : 1.0 - q);
    }
    const auto m = static_cast<std::size_t>(std::clamp<int64_t>(step_date.month, 1, 12));
    etp = HaudeEvaporation(t, fh[m], deficit, time_interval);
  }
  etp = std::max(0.0, etp);
  for (int i = 0; i <= 1; ++i) {
    pot_transpiration[i][r][c] = etp;
    pot_interception[i][r][c] = etp;
    real_transpiration[i][r][c] = 0;
  }
  potential_evaporation[r][c] = (1.0 - vegetation_coverage[1][r][c]) * etp;
}

// ---- After the loop ---------------------------------------------------------------------------

void verdunstungsmodellklasse::PotentialStatisticsAndOutput() {
  for (long r = first_local_row; r <= last_local_row; ++r)
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const int zone = ZoneIndex(r, c);
      for (int i = 1; i <= layer_count; ++i) {
        const bool valid = IsNotNodata(landuse[i][r][c], nodata);
        pot_transpiration_stats[i].table->AddValue(r, c, zone,
                                                   valid ? pot_transpiration[i][r][c] : 0.0, 1);
        pot_interception_stats[i].table->AddValue(r, c, zone,
                                                  valid ? pot_interception[i][r][c] : 0.0, 1);
      }
      pot_transpiration_stats[0].table->AddValue(r, c, zone, pot_transpiration[0][r][c], 1);
      pot_interception_stats[0].table->AddValue(r, c, zone, pot_interception[0][r][c], 1);
      potential_evaporation_stats.table->AddValue(r, c, zone, potential_evaporation[r][c], 1);
      radiation_stats.table->AddValue(r, c, zone, corrected_radiation[r][c], 1);
      cloudiness_stats.table->AddValue(r, c, zone, cloudiness[r][c], 1);
    }
  std::vector<EvapStatistics*> all;
  for (int i = 0; i <= layer_count; ++i) {
    all.push_back(&pot_transpiration_stats[i]);
    all.push_back(&pot_interception_stats[i]);
  }
  for (EvapStatistics* stats : {&potential_evaporation_stats, &radiation_stats, &cloudiness_stats})
    all.push_back(stats);
  CollectAll(all);
  for (int i = 0; i <= layer_count; ++i) {
    WriteGridOutput(pot_transpiration_index[i], 1, false);
    WriteGridOutput(pot_interception_index[i], 1, false);
  }
  WriteGridOutput(potential_evaporation_index, 1, false);
}

}  // namespace velorn

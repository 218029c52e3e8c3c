// Dump files of the layered snow pack: a cell whose layers are out of order (solid snow above an
// empty layer, or liquid water in a layer without solid snow) writes its state as raw values
// into "MPI_<rank>_[swes(i)_][swel(j)_]dump_row_<r>_col_<c>_<YYYYMMDDHH>.dmp" in the working
// directory, at most `maxDumpFiles` files per process (0: no limit). With -closeAfterDump the
// first anomalous cell ends the run (code 199), through the row loop's error channel.
//
// Content, in the machine's byte order: the four layer stacks (levels 0..n) and the top index;
// "snow_evaporation", the solid, liquid and total storage, the temperature, the albedo; the
// land-use grids; the elevation and the water input; the glacier fraction (with a glacier grid);
// for the energy-balance methods the snow and surface temperature, the energy balance, humidity,
// cloudiness and radiation; with lakes the lake code and the ponding; for methods with wind the
// wind; the radiation correction (when handed over); then hour, day, month and year as 4-byte
// integers. Values a build does not hold are written as nodata.
#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

#include "core/error_code.h"
#include "core/output_files.h"
#include "core/string_helpers.h"
#include "snow/snow_model.h"

namespace velorn {
namespace {

constexpr int kCloseAfterDumpCode = 199;

}  // namespace

void schneemodellklasse::CheckLayeredDump(long r, long c) {
  const int n = snow_layers;
  if (!dumpMode || !layeredSnowActive || layer_solid == nullptr || n < 2) return;
  const double* solid = layer_solid[r][c];
  const double* liquid = layer_liquid[r][c];
  int swes = 0, swel = 0;
  for (int i = 1; i < n && swes == 0; ++i)
    if (solid[i] > 0 && solid[i + 1] <= 0) swes = i;
  for (int j = 1; j < n && swel == 0; ++j)
    if (liquid[j] > 0 && solid[j] <= 0) swel = j;
  if (swes == 0 && swel == 0) return;
  std::lock_guard<std::mutex> lock(dump_mutex_);
  if (maxDumpFiles == 0 || dump_count_ < maxDumpFiles) WriteLayeredDump(r, c, swes, swel);
  ++dump_count_;
  if (closeAfterDump) {
    ThrowFatal(Diag(), kCloseAfterDumpCode,
               "FATAL: \n\n -------- Snowm odel: command line option -closeAfterDump active! "
               "---------------------------------------------\n\n",
               " a dumpfile has been written and Velorn aborts now.\n",
               "-------------------------------------------------------------\n\n");
  }
  if (dump_count_ < maxDumpFiles && repairAfterDump) {
    Diag() << "DEBUG: \n ---- Snow model: command line option -repairAfterDump active! --------\n"
           << "nothing to here"
           << "[end-entry]";
  } else if (dump_count_ == maxDumpFiles) {
    Diag() << "DEBUG: \n ---- Snow model: command line option -dumpmode:<maxDumpFiles> with "
              "maxDumpFiles="
           << dump_count_ << " active! --------\n"
           << "\n " << dump_count_
           << " has now be written. Continuing from now on without writing dump files for this "
              "instance and MPI-rank..."
           << "[end-entry]";
  }
}

void schneemodellklasse::WriteLayeredDump(long r, long c, int swes, int swel) {
  const ModelDate& d = step_date;
  std::string name = FormatText("MPI_%d_", rank);
  if (swes > 0) name += FormatText("swes(%d)_", swes);
  if (swel > 0) name += FormatText("swel(%d)_", swel);
  name += FormatText("dump_row_%ld_col_%ld_%lld%02lld%02lld%02lld.dmp", r, c,
                     static_cast<long long>(d.year), static_cast<long long>(d.month),
                     static_cast<long long>(d.day), static_cast<long long>(d.hour));
  std::vector<double> values;
  const int n = snow_layers;
  for (double*** stack : {layer_solid, layer_liquid, layer_thickness, layer_density})
    values.insert(values.end(), stack[r][c], stack[r][c] + n + 1);
  values.push_back(upper_snow_index[r][c]);
  auto value = [&](double** grid) { values.push_back(grid != nullptr ? grid[r][c] : nodata); };
  for (double** grid :
       {snow_evaporation, step_.solid, step_.liquid, step_.total, temperature, albedo})
    value(grid);
  for (int32_t i = 1; i <= landuse_layers; ++i) value(landuse[static_cast<std::size_t>(i)]);
  value(elevation);
  value(water_input);
  if (glacier_cells != nullptr) value(glacier_cells);
  if (IsEnergyBalanceSnowMethod(method))
    for (double** grid :
         {step_.snowtemp, step_.surftemp, step_.balance, humidity, cloudiness, radiation})
      value(grid);
  if (lake_flag != 0) {
    value(lake_codes);
    value(ponding);
  }
  if (wind != nullptr) value(wind);
  if (radiation_correction != nullptr) value(radiation_correction);
  const int32_t date[4] = {static_cast<int32_t>(d.hour), static_cast<int32_t>(d.day),
                           static_cast<int32_t>(d.month), static_cast<int32_t>(d.year)};
  std::string bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
  bytes.append(reinterpret_cast<const char*>(date), sizeof(date));
  WriteWholeFile(Diag(), kWriteErrorCode, name, bytes, "wb");
}

}  // namespace velorn

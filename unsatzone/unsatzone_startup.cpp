// Unsaturated zone: the irrigation grids, the single-point files of the control point, the
// glacier shares per subbasin and the start-up lines of the per-process log.
//
// Sums over cells that several processes share (glacier shares, mean soil water) are kept
// exactly (core/exact_sum.h) and combined on process 0, so they are the same for every number
// of processes.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include "core/error_code.h"
#include "core/exact_sum.h"
#include "core/mpi_operations.h"
#include "core/nodata.h"
#include "core/output_files.h"
#include "core/row_loop.h"
#include "core/string_helpers.h"
#include "core/value_ranges.h"
#include "setup/irrigation_tables.h"
#include "snow/snow_setup_formulas.h"
#include "tables/landuse_record.h"
#include "tables/soil_record.h"
#include "unsatzone/single_point_writer.h"
#include "unsatzone/soil_column_sources.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn {
namespace {

// Sums every ExactSum over all processes onto process 0 (collective; others keep their own).
void ReduceExactSums(std::vector<ExactSum>& sums) {
  std::vector<int64_t> packed;
  constexpr int kLast = ExactSum::kDigits - 1;
  for (ExactSum& sum : sums) {
    sum.Normalize();
    sum.Pack(0, kLast, packed);
  }
  ReduceSumsToRoot(packed);
  const std::size_t stride = ExactSum::kDigits + ExactSum::kSpecials;
  for (std::size_t i = 0; i < sums.size(); ++i) sums[i].Unpack(0, kLast, &packed[i * stride]);
}

}  // namespace

void unsatzonmodellklasse::CreateIrrigationGrids() {
  MakeGrid(kIrrigationAmounts, grid_pairs[kPairIRRIG].name, "irrigation_amounts",
           grid_pairs[kPairIRRIG].code, 0.0);
  // The soil zone's own record of the groundwater irrigation: "irrigation_amounts" is the
  // irrigation model's running amount and stays its own.
  MakeGrid(kGroundwaterIrrigation, "irrigation_from_groundwater", "irrigation_from_groundwater", 0,
           0.0);
  MakeGrid(kMaxPumping, "Max_Pumping", "Max_Pumping", 0, 0.0);
  MakeGrid(kSoilMoistureLow, "SBLOW_grid", "SBLOW_grid", 0, 0.0);
  MakeGrid(kSoilMoistureHigh, "SBHIGH_grid", "SBHIGH_grid", 0, 0.0);
  // The ratio of real to potential transpiration the soil zone leaves for the next step's
  // irrigation rules (method 4 starts below the type's ratio): written at the end with the
  // running amounts, as it carries over to the step after them.
  const bool own_ratio = Optional("ETR2ETP") == nullptr;
  if (own_ratio)
    MakeGrid(kEtrToEtp, EtrToEtpFileName(), "ETR2ETP", grid_pairs[kPairIRRIG].code, 1.0);
  double** codes = links.irrigation_codes;
  double** low = grids[kSoilMoistureLow].get();
  double** high = grids[kSoilMoistureHigh].get();
  double** mean = grids[kMeanThetaInRootZone].get();
  double*** theta = stacks[kTheta].get();
  double** root_zone = grids[kSoilMoistureRoot].get();
  const int layer = std::min(2, layerCount);
  const int rules = irrigation_table->count;
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const SoilRecord& soil = CellSoil(r, c);
      const double roots = links.root_depth[1][r][c];
      mean[r][c] = RootZoneSuction(soil, CellLayers(soil), theta[r][c], roots, nodata);
      // The first step's irrigation rules see the root zone as it starts, not an empty one
      // (which would ask for a fill from dry on a wet soil).
      root_zone[r][c] = RootZoneTheta(soil, CellLayers(soil), theta[r][c], roots);
      // Tested before the cast: cells without irrigation may hold any value (-1e308 too).
      if (!(codes[r][c] >= 1 && codes[r][c] < rules + 1.0)) continue;
      const int code = static_cast<int>(codes[r][c]);
      const IrrigationRecord& rule = irrigation_table->records[code];
      double psi_dry = rule.psi_dry;
      const int landuse = static_cast<int>(links.landuse[1][r][c]);
      if (rule.method != kIrrigationBySuction && landuse_table != nullptr && landuse >= 1)
        psi_dry = landuse_table[landuse].GetHReduDry();
      low[r][c] = soil.GetTheta(layer, psi_dry);
      high[r][c] = soil.GetTheta(layer, rule.psi_wet);
    }
  });
  // The irrigation rules of a step look at the root zone's water content and the running
  // amounts and the ratio of real to potential transpiration the step before left: a warm start
  // takes them from the grids written at the end, so that it continues the run exactly (without
  // them the first step sees them as a cold start does: the root zone's water as it starts, no
  // running amount and a ratio of 1).
  if (storageMode == 1 || storageMode == 3) {
    const double water_column = kLargestRelief * 1000.0;  // mm
    ReadStoredGridIfThere(kSoilMoistureRoot, grid_pairs[kPairSB05].name, 0.0, 1.0, "");
    ReadStoredGridIfThere(kIrrigationAmounts, grid_pairs[kPairIRRIG].name, -water_column,
                          water_column, "mm");
    // Any finite ratio: real over potential transpiration as the soil zone computed it.
    if (own_ratio)
      ReadStoredGridIfThere(kEtrToEtp, EtrToEtpFileName(), std::numeric_limits<double>::lowest(),
                            std::numeric_limits<double>::max(), "");
  }
}

std::string unsatzonmodellklasse::EtrToEtpFileName() const {
  const std::string& name = grid_pairs[kPairIRRIG].name;
  const std::size_t slash = name.find_last_of("/\\");
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return name + "_etr_to_etp";
  return name.substr(0, dot) + "_etr_to_etp" + name.substr(dot);
}

void unsatzonmodellklasse::ReadStoredGridIfThere(OwnGrid grid, const std::string& name, double low,
                                                 double high, const char* unit) {
  std::string stored = name;
  PrefixDirectory(input_directory, stored);
  if (!ExistsOnRoot(stored)) {
    Diag() << "WARNING: no grid " << stored
           << " of the last step: the first step of irrigation starts it as a cold start does"
           << "[end-entry]";
    return;
  }
  ReadGridFile(grid, name);
  AgreeOnFailure(Diag(), [&] {
    CheckGridCells(Diag(), name, grids[grid].get(), soil_zone_grid, column_ranges, first_local_row,
                   last_local_row, nodata, low, high, unit, BasinNodata::Refused(owner_grid, rank));
  });
}

void unsatzonmodellklasse::WriteSinglePointHeader(SinglePoint file, const std::string& header,
                                                  const std::string& message) {
  const std::string& name = single_point_files[file];
  errno = 0;
  std::FILE* out = OpenOutputFile(name, "w");
  if (out == nullptr)
    ThrowFatal(Diag(), kSinglePointFileCode, message, "\n", name, SystemReason(ErrnoOrIo()));
  CheckedFile checked(Diag(), kSinglePointFileCode, name, out);
  checked.Write(header);
  checked.Close();
}

void unsatzonmodellklasse::CreateSinglePointFiles() {
  const long r = controlRow, c = controlCol;
  single_point_owner = r > 0 && c > 0 && r >= first_local_row && r <= last_local_row &&
                       (owner_grid == nullptr || owner_grid[r][c] == static_cast<double>(rank));
  if (!single_point_owner) return;
  single_point_buffer_rows =
      std::max<int64_t>(1, kSinglePointBufferBytes / SinglePointRowBytes(layerCount));
  const auto layered = [&](const char* title, int from, const char* note = "") {
    std::string text =
        FormatText("YY\tMM\tDD\tHH\t%s[%d][%d]%s", title, controlRow, controlCol, note);
    for (int k = from; k <= layerCount; ++k) text += FormatText("[%d]\t", k);
    return text + "\n";
  };
  const auto failure = [](const char* what) {
    return std::string("FATAL: error opening file for ") + what +
           " \n-> check disk space or user rights";
  };
  WriteSinglePointHeader(kHhyd, layered("hhyd", 1), failure("hydraulic head (single point)"));
  std::string other =
      FormatText("YY\tMM\tDD\tHH\totherdata[%d][%d]", controlRow, controlCol) +
      "QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\tMACR\tQDRAIN\tACT_POND\tINFEX\t"
      "GWST\tGWLEVEL\tROOT" +
      "\tAlbedo\tRSE";
  for (int i = 1; i <= landuse_layers; ++i)
    other += FormatText("\tLAI_%d\tVCF_%d\tRSC_%d\tRSI_%d\tROOT_%d\tZ0_%d", i, i, i, i, i, i);
  WriteSinglePointHeader(kOtherdata, other + "\n", failure("other detail data (single point)"));
  WriteSinglePointHeader(kThetaFile, layered("theta", 1), failure("soil theta (single point)"));
  WriteSinglePointHeader(kQBottom, layered("q_bottom", 1),
                         "FATAL: error opening file " + single_point_files[kQBottom] +
                             " for vertical fluxes (single point) \n-> check disk space or user "
                             "rights");
  WriteSinglePointHeader(kEtrDetail, layered("etr", 0, "(etr[0] is evaporation from first layer)"),
                         failure("transpiration/evaporation per layer (single point)"));
  WriteSinglePointHeader(kInterflowFile, layered("interflow_per_layer", 1),
                         failure("interflow (single point)"));
  if (heatTransferSwitch > 0)
    WriteSinglePointHeader(kTemperatureFile, layered("temper", 1),
                           failure("soil temperatures (single point details)"));
}

void unsatzonmodellklasse::FormGlacierShares() {
  if (links.ice_firn == nullptr) return;
  const std::size_t zones = static_cast<std::size_t>(soil_zone_count) + 1;
  std::vector<ExactSum> sums(2 * zones);  // glacierised, unglacierised per zone
  std::vector<int64_t> flags(zones, 0);
  double** ice = links.ice_firn;
  for (long r = first_local_row; r <= last_local_row; ++r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const long code = std::lround(std::floor(soil_zone_grid[r][c] + 0.5));
      if (code < 0 || code > soil_zone_highest) continue;
      const std::size_t z = static_cast<std::size_t>(soil_zone_index[code]);
      const CellGlacierShare share = GlacierShareOfCell(ice[r][c]);
      if (share.has_glacier) flags[z] = 1;
      sums[2 * z].Add(share.glacierized);
      sums[2 * z + 1].Add(share.non_glacierized);
    }
  }
  ReduceExactSums(sums);
  ReduceSumsToRoot(flags);
  glacier_shares.assign(zones, GlacierShareRecord{});
  for (std::size_t z = 0; z < zones; ++z)
    glacier_shares[z] =
        GlacierShareRecord{flags[z] > 0, sums[2 * z].Value(), sums[2 * z + 1].Value()};
  BroadcastFlagAndTwoDoubles(glacier_shares.data(), static_cast<int>(zones));
}

void unsatzonmodellklasse::WriteStartUpLog() {
  double*** theta = stacks[kTheta].get();
  const std::string name = FormatText("modell_%d.log", rank);
  if (single_point_owner) {
    const SoilRecord& soil = CellSoil(controlRow, controlCol);
    const double mm =
        ColumnSoilWater(soil, CellLayers(soil), theta[controlRow][controlCol]) * 1000.0;
    AppendChecked(Diag(), kWriteErrorCode, name,
                  FormatText("soil water content (for control point r=%d c=%d) at model-start: "
                             "%lf mm\n",
                             controlRow, controlCol, mm));
  }
  // Sums of water and weight: all cells, the unglacierised and the glacierised shares.
  std::vector<ExactSum> sums(6);
  double** ice = links.ice_firn;
  for (long r = first_local_row; r <= last_local_row; ++r) {
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (!OwnCell(r, c)) continue;
      const SoilRecord& soil = CellSoil(r, c);
      const double water = ColumnSoilWater(soil, CellLayers(soil), theta[r][c]);
      const double share = ice != nullptr ? GlacierShareOfCell(ice[r][c]).glacierized : 0.0;
      sums[0].Add(water);
      sums[1].Add(1.0);
      sums[2].Add(water * (1.0 - share));
      sums[3].Add(1.0 - share);
      sums[4].Add(water * share);
      sums[5].Add(share);
    }
  }
  ReduceExactSums(sums);
  if (rank != 0) return;
  const auto mean = [&](int i) {
    const double weight = sums[i + 1].Value();
    return weight > 0 ? sums[i].Value() / weight : 0.0;
  };
  AppendChecked(
      Diag(), kWriteErrorCode, name,
      FormatText("mean soil water content for all cells at model-start: %lf m^3/m^2\n", mean(0)) +
          FormatText("mean soil water content for unglacierized or only partly unglacierized "
                     "cells at model-start: %lf m^3/m^2\n",
                     mean(2)) +
          FormatText("mean soil water content for partly or completely glacierized cells at "
                     "model-start: %lf m^3/m^2\n",
                     mean(4)));
}

}  // namespace velorn

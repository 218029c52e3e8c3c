// The data-assimilation model and its two rules (see data_assimilation.h).
#include "routing/data_assimilation.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/error_code.h"
#include "core/grid_registry.h"
#include "core/matrix.h"
#include "core/mpi_operations.h"
#include "core/row_loop.h"
#include "core/value_ranges.h"

namespace velorn {
namespace {

constexpr const char* kHead =
    "FATAL: \n---------------------- error in data assimilation model ------------------- \n";
constexpr const char* kRule =
    "\n-----------------------------------------------------------------------\n";

}  // namespace

data_assimilation::data_assimilation(const SubModelSetup& setup, int32_t& error,
                                     std::vector<SP_class*> reservoirs, const int64_t* lake_cells)
    : teilmodellklasse(setup, "data_assimilation"),
      reservoirs_(std::move(reservoirs)),
      lake_cells_(lake_cells),
      start_(setup.start_date) {
  error = CaptureErrorCode([&] { Construct(); });
}

void data_assimilation::Construct() {
  if (flow_control == 0) return;
  FindBasinExtent();
  ControlFileReader file;
  const std::string header = "[data_assimilation]";
  if (!file.Open(control_file_name) || !file.FindHeader(header))
    ReportControlFileError(header, "(EOF)");
  int skipped_int = 0;
  double skipped_double = 0;
  int count = 0;
  ReadValue(file, skipped_int, "flow control parameter for ");
  ReadValue(file, skipped_double, "time interval for ");
  ReadValue(file, count, "number of data-assimilation rules ");
  if (count < 0 || static_cast<std::size_t>(count) > file.WordsLeft())
    ThrowFatal(Diag(), kControlFileErrorCode, "FATAL: [data_assimilation]: ", count,
               " rules announced, the section cannot hold them");
  for (const std::string& block : ReadAssimilationBlocks(file, count, Diag())) {
    if (AssimilationKindOf(block, Diag()) == AssimilationKind::kGrid) {
      rules_.push_back(std::make_unique<data_assimilation_grid_entity>(*this, block));
      continue;
    }
    if (ponding_index_ == 0) {
      ponding_index_ = RequireGrid("ponding_storage");
      lake_codes_index_ = RequireGrid("lake_codes");
    }
    if (rank == 0)
      rules_.push_back(
          std::make_unique<data_assimilation_reservoir_entity>(*this, block, reservoirs_));
  }
}

void data_assimilation::StartList(AssimilationList& list, AssimilationRecord& record, bool& valid,
                                  const std::string& name, bool bafu, bool grid,
                                  const std::string& what) {
  errno = 0;
  if (!list.Open(name, bafu, grid))
    ThrowFatal(Diag(), kAssimilationListOpenCode, kHead, "error opening input list file ", name,
               SystemReason(ErrnoOrIo()), what, kRule);
  valid = list.Next(record);
  if (!grid && !valid)
    ThrowFatal(Diag(), kAssimilationDateCode, kHead, "error reading datetime format in ", name,
               what, kRule);
  // Records before the start of the run are never applied.
  const int64_t start = ModelTimeKey(start_);
  while (valid && ModelTimeKey(record.date) < start) valid = list.Next(record);
}

void data_assimilation::FindBasinExtent() {
  // Per own row the first and last column of a basin cell (0 and -1 without one).
  const int64_t rows = std::max<int64_t>(last_local_row - first_local_row + 1, 0);
  std::vector<std::array<double, 2>> columns(static_cast<std::size_t>(rows), {0.0, -1.0});
  ForEachRow(first_local_row, last_local_row, [&](long r) {
    auto& [first, last] = columns[static_cast<std::size_t>(r - first_local_row)];
    for (long c = column_ranges[r].first; c <= column_ranges[r].last; ++c) {
      if (zone_grid[r][c] == nodata) continue;
      if (first == 0) first = static_cast<double>(c);
      last = static_cast<double>(c);
    }
  });
  // Negated minima and maxima of the rows and columns, reduced over all processes.
  std::vector<double> bounds(4, -std::numeric_limits<double>::max());
  for (int64_t i = 0; i < rows; ++i) {
    const auto [first, last] = columns[static_cast<std::size_t>(i)];
    if (last < first) continue;
    const double row = static_cast<double>(first_local_row + i);
    bounds = {std::max(bounds[0], -row), std::max(bounds[1], row), std::max(bounds[2], -first),
              std::max(bounds[3], last)};
  }
  AllReduceMaximum(bounds);
  if (bounds[1] < 1) return;  // no basin cell: nothing to cover
  basin_extent_ = {xll + (-bounds[2] - 1) * cellsize, xll + bounds[3] * cellsize,
                   yll + (nrows - bounds[1]) * cellsize, yll + (nrows + bounds[0] + 1) * cellsize};
}

void data_assimilation::RunStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flow_control == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  // A reservoir rule that fails on process 0 waits until every process has passed the grid
  // rules' collective reads; then the step ends with its code on every process.
  int code = 0;
  for (auto& rule : rules_) {
    if (rule->Collective())
      rule->Apply(hour, day, month, year);
    else if (code == 0)
      code = CodeOf([&] { rule->Apply(hour, day, month, year); });
  }
  if (ponding_index_ != 0) code = BroadcastCodeFromRoot(code);
  if (code != 0) throw ErrorCode{code};
  if (ponding_index_ == 0 || lake_codes_index_ == 0 || lake_cells_ == nullptr) return;
  if (scatter_)
    scatter_();
  else if (size > 1)
    MPIScatterZoneValues(ponding_index_, lake_codes_index_, lake_cells_);
}

void data_assimilation::RewindLists() {
  // As in the step: a reservoir rule's failure on process 0 reaches every process.
  int code = 0;
  for (auto& rule : rules_) {
    if (rule->Collective())
      rule->Rewind();
    else if (code == 0)
      code = CodeOf([&] { rule->Rewind(); });
  }
  if (ponding_index_ != 0) code = BroadcastCodeFromRoot(code);
  if (code != 0) throw ErrorCode{code};
}

void data_assimilation::ReleaseMemory() {
  rules_.clear();
  modelobject::ReleaseMemory();
}

// --- Grid rule --------------------------------------------------------------------------------

data_assimilation_grid_entity::data_assimilation_grid_entity(data_assimilation& owner,
                                                             const std::string& block)
    : owner_(owner), settings_(ReadGridRule(block, owner.Diag())) {
  auto require = [&](const std::string& name, int code, bool glacier) {
    const int index = owner_.FindGrid(name, 0);
    if (index > 0) return index;
    ThrowFatal(owner_.Diag(), code, kHead, "entity ", name,
               " not available as grid in the actual model configuration\n",
               glacier ? "the weighing by the glacierized fraction needs dynamic glaciers "
                         "(glacier methods 11 to 13), which keep the snow on the glaciers apart; "
                         "without them set \"weighing-by-glacierized-fraction\" to false "
                       : "",
               kRule);
  };
  target_ = require(settings_.grid_id, 1210, false);
  // The snow model's own storages the rule sets: both with the split, else the one it names
  // (under layered snow its layers take what the rule sets there).
  const int solid = owner_.FindGrid("snowstorage_solid", 0),
            liquid = owner_.FindGrid("snowstorage_liquid", 0);
  sets_solid_ = settings_.split || (solid > 0 && target_ == solid);
  sets_liquid_ = settings_.split || (liquid > 0 && target_ == liquid);
  if (settings_.split) {
    liquid_ = require("snowstorage_liquid", 1211, false);
    solid_ = require("snowstorage_solid", 1212, false);
    if (settings_.weigh) {
      glacier_total_ = require("TotalSnowStorage_onGlacier", 1214, true);
      glacier_solid_ = require("SolidSnowStorage_onGlacier", 1215, true);
      glacier_liquid_ = require("LiquidSnowStorage_onGlacier", 1216, true);
      glacierized_ = require("GlacierizedCells", 1214, true);
    }
  }
  Rewind();
}

void data_assimilation_grid_entity::Rewind() {
  list_ = AssimilationList();
  owner_.StartList(list_, record_, valid_, settings_.list_file, false, true,
                   " for grid-type data assimilation in entity " + settings_.grid_id);
}

void data_assimilation_grid_entity::Apply(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (!AdvanceToStep(list_, record_, valid_, ModelDate{year, month, day, hour}, owner_.Diag()))
    return;
  // Read beside the target: the file's nodata cells must not overwrite the model's values.
  GridMatrix values(owner_.Diag(), owner_.first_local_row, owner_.last_local_row, owner_.ncols,
                    owner_.nrows);
  double** rows = values.get();
  // The coverage of the basin's cells is checked here, with this model's code.
  owner_.refuse_grid_beside_model = false;
  const int read = CodeOf(
      [&] { owner_.ReadGrid(record_.file, rows, 0, false, true, false, 0, false, false, 0.0); });
  owner_.refuse_grid_beside_model = true;
  if (read != 0) throw ErrorCode{read};
  CheckCoverage(record_.file);
  const bool snow = sets_solid_ || sets_liquid_;
  if (snow) CheckSnowValues(record_.file, rows);
  Replace(rows);
  if (snow && owner_.snow_survey_) owner_.snow_survey_(rows, sets_solid_, sets_liquid_);
  valid_ = list_.Next(record_);
}

void data_assimilation_grid_entity::CheckCoverage(const std::string& file) const {
  const std::array<double, 12>& h = owner_.grid_header;
  const std::array<double, 4>& basin = owner_.basin_extent_;
  const std::array<double, 4> grid = {h[2], h[2] + h[0] * h[4], h[3], h[3] + h[1] * h[4]};
  if (basin[1] <= basin[0]) return;
  // The header's corner is floored to whole metres when it is read: a metre of tolerance.
  const double slack = 1.0;
  if (grid[0] <= basin[0] + slack && grid[1] >= basin[1] - slack && grid[2] <= basin[2] + slack &&
      grid[3] >= basin[3] - slack)
    return;
  ThrowFatal(owner_.Diag(), kAssimilationCoverageCode, kHead, "the grid ", file, " for entity ",
             settings_.grid_id, " covers x ", grid[0], " to ", grid[1], ", y ", grid[2], " to ",
             grid[3], ", but the basin's cells lie at x ", basin[0], " to ", basin[1], ", y ",
             basin[2], " to ", basin[3], kRule);
}

void data_assimilation_grid_entity::CheckSnowValues(const std::string& file,
                                                    double** values) const {
  const CellOutside cell = FirstCellOutside(
      values, owner_.zone_grid, owner_.column_ranges, owner_.first_local_row, owner_.last_local_row,
      owner_.nodata,
      [&](double g) { return g == owner_.nodata || (g >= 0 && g <= kLargestSnowWaterEquivalent); });
  // Every process learns of a failure on any: the grid rule runs on all of them.
  std::vector<double> failed = {cell.found ? 1.0 : 0.0};
  AllReduceMaximum(failed);
  if (cell.found)
    ThrowFatal(owner_.Diag(), kAssimilationValueCode, kHead, "the grid ", file, " for entity ",
               settings_.grid_id, " holds ", cell.value, " at row ", cell.row, ", column ",
               cell.col, ": a snow water equivalent lies within 0 to ", kLargestSnowWaterEquivalent,
               " mm", kRule);
  if (failed[0] > 0) throw ErrorCode{kAssimilationValueCode};
}

void data_assimilation_grid_entity::Replace(double** values) {
  GridRegistry& registry = *owner_.registry;
  double** grid = registry[target_].grid;
  const double nodata = owner_.nodata;
  const bool split = settings_.split, weigh = split && settings_.weigh;
  double** liquid = split ? registry[liquid_].grid : nullptr;
  double** solid = split ? registry[solid_].grid : nullptr;
  double** gt = weigh ? registry[glacier_total_].grid : nullptr;
  double** gs = weigh ? registry[glacier_solid_].grid : nullptr;
  double** gl = weigh ? registry[glacier_liquid_].grid : nullptr;
  double** share = weigh ? registry[glacierized_].grid : nullptr;
  ForEachRow(owner_.first_local_row, owner_.last_local_row, [&](long r) {
    for (long c = 1; c <= owner_.ncols; ++c) {
      if (values[r][c] == nodata) continue;
      grid[r][c] = values[r][c];
      if (!split || c < owner_.column_ranges[r].first || c > owner_.column_ranges[r].last ||
          owner_.zone_grid[r][c] == nodata)
        continue;
      if (owner_.owner_grid != nullptr &&
          static_cast<int32_t>(owner_.owner_grid[r][c]) != owner_.rank)
        continue;
      SnowCell cell{liquid[r][c], solid[r][c], weigh ? gl[r][c] : 0, weigh ? gs[r][c] : 0,
                    weigh ? gt[r][c] : 0};
      AssimilateSnowCell(cell, grid[r][c], settings_.liquid_percentage, weigh,
                         weigh ? share[r][c] : 0.0);
      liquid[r][c] = cell.liquid;
      solid[r][c] = cell.solid;
      if (!weigh) continue;
      gl[r][c] = cell.glacier_liquid;
      gs[r][c] = cell.glacier_solid;
      gt[r][c] = cell.glacier_total;
    }
  });
}

// --- Reservoir rule ---------------------------------------------------------------------------

data_assimilation_reservoir_entity::data_assimilation_reservoir_entity(
    data_assimilation& owner, const std::string& block, const std::vector<SP_class*>& reservoirs)
    : owner_(owner), settings_(ReadReservoirRule(block, owner.Diag())) {
  for (SP_class* r : reservoirs)
    if (r->id() == settings_.lake_id) {
      reservoir_ = r;
      break;
    }
  if (reservoir_ == nullptr)
    ThrowFatal(owner_.Diag(), kAssimilationReservoirCode, kHead, "reservoir ", settings_.lake_id,
               " as defined for data assimilation not found in the actual model configuration",
               kRule);
  Rewind();
}

void data_assimilation_reservoir_entity::Rewind() {
  list_ = AssimilationList();
  owner_.StartList(
      list_, record_, valid_, settings_.list_file, settings_.bafu, false,
      " for reservoir-type data assimilation for reservoir " + std::to_string(settings_.lake_id));
}

void data_assimilation_reservoir_entity::Apply(int64_t hour, int64_t day, int64_t month,
                                               int64_t year) {
  if (!AdvanceToStep(list_, record_, valid_, ModelDate{year, month, day, hour}, owner_.Diag()))
    return;
  const LakeVolumeTable& table = reservoir_->lake_table();
  const double level = record_.level;
  // A level that is no number, or at or below nodata, changes nothing; above the lake's top the
  // table's first segment extends it. A level below the lake's lowest cell would give a
  // negative volume, and one above any summit no lake has: both are refused.
  if (level > owner_.nodata) {
    const double volume = reservoir_->GetVolumeForLevel(level);
    if (!(volume >= 0) || !(level <= kHighestElevation))
      ThrowFatal(owner_.Diag(), kAssimilationLevelCode, kHead, "level ", level, " m of lake ",
                 settings_.lake_id, " on ", day, ".", month, ".", year, " ", hour, "h in ",
                 list_.name(), " lies below the lake's lowest cell or above ", kHighestElevation,
                 " m a.s.l. (lowest cell ", table.rows() > 0 ? table.level.back() : 0.0,
                 " m a.s.l.)", kRule);
    reservoir_->ApplyLakeLevel(volume);
    reservoir_->set_volume(volume);
    reservoir_->set_level(record_.level);
  }
  for (int n = 0; n < settings_.skiprows; ++n) list_.SkipRestOfLine();
  valid_ = list_.Next(record_);
}

}  // namespace velorn

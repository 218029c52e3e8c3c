// SpecialOutputEntity: the points of one registered grid or stack, located once at
// construction, and their values in each collection call; the list readers of the section.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/brace_block_readers.h"
#include "core/error_code.h"
#include "core/nodata.h"
#include "core/number_reader.h"
#include "core/string_helpers.h"
#include "grids/special_output.h"

namespace velorn {
namespace {

// Identifier pieces of the fluxes that are summed over the sub-steps of a step.
constexpr const char* kSummedIdentifiers[] = {
    "baseflow",
    "irrigation_amounts",
    "macropore_infiltration",
    "groundwater_recharge",
    "Capillar_Uprise",
    "Percolation",
    "DirectRunoffSiltingUp",
    "directflow",
    "interflow",
    "infiltration_excess",
    "total_infiltration",
    "drainage_flow",
    "river_infiltration",
    "river_exfiltration",
    "q_down",
    "SurfaceRoutingFluxes",
    "SurfaceRoutingHead",
    "SurfaceRoutingQIn",
    "SurfaceRoutingQOut",
    "gw_flow_x_",
    "gw_flow_y_",
    "gw_leakage_",
};

// The value text of the last `key =` entry of `text` at a key boundary. Scanning from the end,
// the first position at which FindKeyValueText (first entry from there on) finds an entry is
// the last entry of the text.
bool LastKeyValueText(const std::string& text, const std::string& key, std::string& value_text) {
  if (key.empty()) return false;
  for (std::size_t at = text.rfind(key); at != std::string::npos;
       at = at == 0 ? std::string::npos : text.rfind(key, at - 1)) {
    const std::size_t from = at == 0 ? 0 : at - 1;
    if (FindKeyValueText(text.substr(from), key, value_text)) return true;
  }
  return false;
}

// The pieces of the list of `key`, each converted by `convert`; a piece that is no number of
// the type is FATAL (17).
template <class T, class Convert>
int ParseList(DiagnosticStream& diag, const std::string& text, const std::string& key,
              std::vector<T>& values, Convert convert) {
  values.clear();
  std::string value_text;
  if (!LastKeyValueText(text, key, value_text)) return 0;
  std::vector<std::string> pieces;
  Tokenize(value_text, "\t ;,\r\n", pieces);
  for (const std::string& piece : pieces) {
    if (piece.empty()) continue;
    T value{};
    if (!convert(piece, value))
      ThrowFatal(diag, kControlFileErrorCode,
                 "FATAL: Error in section [special_output]: the value \"", piece, "\" of ", key,
                 " is no number");
    values.push_back(value);
  }
  return static_cast<int>(values.size());
}

}  // namespace

bool SummedOverSubSteps(const std::string& identifier) {
  for (const char* piece : kSummedIdentifiers)
    if (Contains(identifier, piece)) return true;
  return false;
}

int ParseDoubleList(DiagnosticStream& diag, const std::string& text, const std::string& key,
                    std::vector<double>& values) {
  return ParseList(diag, text, key, values,
                   [](const std::string& piece, double& v) { return ReadNumber(piece, v); });
}

int ParseIntList(DiagnosticStream& diag, const std::string& text, const std::string& key,
                 std::vector<int32_t>& values) {
  return ParseList(diag, text, key, values,
                   [](const std::string& piece, int32_t& v) { return ReadNumber(piece, v); });
}

SpecialOutputEntity::SpecialOutputEntity(SpecialOutputFile* file, DiagnosticStream* diag,
                                         const std::string& text, GridRegistry* registry,
                                         const SpecialOutputGeometry& geometry,
                                         int32_t sub_step_count)
    : diag_(diag),
      geometry_(geometry),
      registry_(registry),
      file_(file),
      sub_step_count_(sub_step_count) {
  ParseStringValue(*diag_, text, "ID", id_);
  ParseStringValue(*diag_, text, "Symbol", symbol_);
  ParseDoubleList(*diag_, text, "Xcoords", x_coordinates_);
  ParseDoubleList(*diag_, text, "Ycoords", y_coordinates_);
  ParseIntList(*diag_, text, "Level", levels_);
  if (x_coordinates_.size() != y_coordinates_.size())
    ThrowFatal(*diag_, kSpecialOutputCoordinateCountCode,
               "FATAL: Error in section [special_output]: count of X coordinates dos not match "
               "the number of Y coordinates for entity ",
               id_);
  point_count_ = static_cast<int32_t>(x_coordinates_.size());
  if (!levels_.empty() && levels_.size() != x_coordinates_.size())
    ThrowFatal(*diag_, kSpecialOutputLevelCode,
               "FATAL: Error in section [special_output]: number of levels dos not match the "
               "number of X and Y coordinates for entity ",
               id_, ". EIther each point has a level or none has.");
  // Levels count from 0; a negative one would index before the cell's levels.
  for (std::size_t p = 0; p < levels_.size(); ++p)
    if (levels_[p] < 0)
      ThrowFatal(*diag_, kSpecialOutputLevelCode,
                 "FATAL: Error in section [special_output]: level ", levels_[p],
                 ", defined as point ", static_cast<int>(p), " for entity ", id_,
                 ", is negative; levels count from 0.");
  LocatePoints();
  grid_index_ = FindGridIndex(id_);
  if (grid_index_ < 1 && diag_->rank() == 0)
    *diag_ << "WARNING: [special_output]: no grid or stack has the ID " << id_ << "; its "
           << point_count_ << " column(s) in " << file_->file_name() << " hold -9999"
           << NearestIdentifiers() << "[end-entry]";
  summed_over_sub_steps_ = sub_step_count_ >= 2 && SummedOverSubSteps(id_);
}

// A point on the east edge of a cell belongs to that cell, one on the south edge too; a point
// on the west or north border of the grid lies outside. Coordinates that are no finite number
// fail the range test as well.
void SpecialOutputEntity::LocatePoints() {
  const SpecialOutputGeometry& g = geometry_;
  for (int p = 0; p < point_count_; ++p) {
    const double column = std::ceil((x_coordinates_[p] - g.xll) / g.cellsize);
    if (!(column >= 1 && column <= g.ncols))
      ThrowFatal(*diag_, kSpecialOutputOutsideCode,
                 "FATAL: Error in section [special_output]: x-coordinate ", x_coordinates_[p],
                 ", defined as point ", p, " for entity ", id_,
                 ", is located outside the actual grid.");
    point_columns_.push_back(static_cast<int32_t>(column));
  }
  for (int p = 0; p < point_count_; ++p) {
    const double row = g.nrows - std::floor((y_coordinates_[p] - g.yll) / g.cellsize);
    if (!(row >= 1 && row <= g.nrows))
      ThrowFatal(*diag_, kSpecialOutputOutsideCode,
                 "FATAL: Error in section [special_output]: y-coordinate ", y_coordinates_[p],
                 ", defined as point ", p, " for entity ", id_,
                 ", is located outside the actual grid.");
    point_rows_.push_back(static_cast<int32_t>(row));
  }
}

int SpecialOutputEntity::FindGridIndex(const std::string& identifier) const {
  if (registry_ == nullptr) return 0;
  for (int i = 1; i <= kLastGridIndex; ++i) {
    const GridEntry& entry = (*registry_)[i];
    if (entry.grid == nullptr && entry.stack == nullptr) return 0;
    if (entry.HasIdentifier(identifier)) return i;
  }
  return 0;
}

// " (nearest IDs: a, b, c)" of the registered grids and stacks, or "" when none is near.
std::string SpecialOutputEntity::NearestIdentifiers() const {
  if (registry_ == nullptr) return {};
  std::vector<std::string> identifiers;
  for (int i = 1; i <= kLastGridIndex; ++i) {
    const GridEntry& entry = (*registry_)[i];
    if (entry.grid == nullptr && entry.stack == nullptr) break;
    if (entry.identifier) identifiers.push_back(*entry.identifier);
  }
  const std::vector<std::string> near = NearestNames(id_, identifiers, 3);
  std::string text;
  for (const std::string& name : near) text += (text.empty() ? " (nearest IDs: " : ", ") + name;
  return text.empty() ? text : text + ")";
}

double SpecialOutputEntity::PointValue(int p) const {
  if (grid_index_ < 1) return kNodata;
  const int32_t r = point_rows_[p];
  const int32_t c = point_columns_[p];
  const SpecialOutputClass& owner = *file_->owner();
  // Without the grid of owner processes (a run before its regions exist) a single process owns
  // every cell.
  if (double** owners = owner.OwnerGrid(); owners != nullptr) {
    if (owners[r] == nullptr || static_cast<int>(owners[r][c]) != owner.rank) return kNodata;
  } else if (owner.size != 1) {
    return kNodata;
  }
  if (r < file_->first_row() || r > file_->last_row()) return kNodata;
  const GridEntry& entry = (*registry_)[grid_index_];
  if (entry.stack != nullptr && !levels_.empty()) {
    if (entry.stack[r] == nullptr || levels_[p] > entry.level_count) return kNodata;
    return entry.stack[r][c][levels_[p]];
  }
  if (entry.grid == nullptr || entry.grid[r] == nullptr) return kNodata;
  return entry.grid[r][c];
}

int SpecialOutputEntity::CollectValues(double* values, int value_index, bool sub_step_call,
                                       int sub_step) {
  const bool visited = summed_over_sub_steps_ ? sub_step_call : !sub_step_call;
  if (!visited) return value_index + point_count_;
  for (int p = 0; p < point_count_; ++p, ++value_index) {
    const double value = PointValue(p);
    double& stored = values[value_index];
    if (!sub_step_call || sub_step <= 1) {
      stored = value;
    } else if (IsMissing(value) || IsMissing(stored)) {
      stored = kNodata;  // a step with a missing sub-step has no sum
    } else {
      stored += value;
    }
  }
  return value_index;
}

std::string SpecialOutputEntity::CellHeader() const {
  std::string text;
  for (int p = 0; p < point_count_; ++p) {
    text += FormatText("\t%s/%d/%d", symbol_.c_str(), point_columns_[p], point_rows_[p]);
    if (!levels_.empty()) text += FormatText("/%d", levels_[p]);
  }
  return text;
}

std::string SpecialOutputEntity::CoordinateHeader() const {
  std::string text;
  for (int p = 0; p < point_count_; ++p) {
    text += FormatText("\t%s/%lg/%lg", symbol_.c_str(), x_coordinates_[p], y_coordinates_[p]);
    if (!levels_.empty()) text += FormatText("/%d", levels_[p]);
  }
  return text;
}

}  // namespace velorn

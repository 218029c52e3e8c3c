// Hydrologic response units as pure functions of whole grids (see response_units.h).
#include "setup/response_units.h"

#include <cmath>
#include <unordered_map>

#include "core/nodata.h"
#include "core/string_helpers.h"

namespace velorn {
namespace {

// The ids of the keys seen so far, with the table they index.
class UnitNumbering {
 public:
  explicit UnitNumbering(std::vector<HruRecord>& table) : table_(table) {
    for (std::size_t i = 1; i < table_.size(); ++i) ids_.emplace(table_[i].key, table_[i].id);
  }
  // The id of `key`; a new key makes a unit with this cell as master (`is_new` set).
  uint64_t IdOf(const std::string& key, int32_t row, int32_t col, bool& is_new) {
    const auto [it, inserted] = ids_.try_emplace(key, table_.size());
    is_new = inserted;
    if (inserted) table_.push_back(HruRecord{it->second, key, row, col, 0});
    return it->second;
  }

 private:
  std::vector<HruRecord>& table_;
  std::unordered_map<std::string, uint64_t> ids_;
};

}  // namespace

std::vector<HruRecord> EmptyHruTable() {
  return std::vector<HruRecord>(1);
}

double HruClass(double value, const HruDefinition& definition) {
  double v = value;
  if (definition.spacing.find("sqrt") != std::string::npos) v = std::sqrt(std::fabs(value));
  return std::floor(v / definition.class_width);
}

std::string HruKeyPart(double hru_class) {
  return FormatText("%04.0lf'", hru_class);
}

HruClassFailure BuildUnitsFromDefinitions(const HruGrids& g,
                                          const std::vector<HruDefinition>& definitions,
                                          std::vector<HruRecord>& table) {
  UnitNumbering numbering(table);
  for (int32_t r = 1; r <= g.nrows; ++r) {
    for (int32_t c = 1; c <= g.ncols; ++c) g.units[r][c] = g.masters[r][c] = g.nodata;
    for (int32_t c = std::max(g.ranges[r].first, 1); c <= g.ranges[r].last; ++c) {
      if (definitions.empty() || IsNodata(g.zone[r][c], g.nodata)) continue;
      std::string key;
      for (const HruDefinition& definition : definitions) {
        const double value = definition.grid[r][c];
        if (IsNodata(value, g.nodata)) break;
        const double hru_class = HruClass(value, definition);
        if (hru_class > kMaxHruClass) return {r, c, hru_class, definition.identifier};
        key += HruKeyPart(hru_class);
      }
      if (key.empty()) continue;
      bool is_new = false;
      const auto id = static_cast<double>(numbering.IdOf(key, r, c, is_new));
      g.units[r][c] = id;
      if (is_new) g.masters[r][c] = id;
    }
  }
  return {};
}

void BuildUnitsFromGrid(const HruGrids& g, std::vector<HruRecord>& table) {
  UnitNumbering numbering(table);
  for (int32_t r = 1; r <= g.nrows; ++r) {
    for (int32_t c = 1; c <= g.ncols; ++c) g.masters[r][c] = g.nodata;
    for (int32_t c = std::max(g.ranges[r].first, 1); c <= g.ranges[r].last; ++c) {
      bool is_new = false;
      const auto id =
          static_cast<double>(numbering.IdOf(FormatText("%0.lf", g.units[r][c]), r, c, is_new));
      g.units[r][c] = id;
      if (is_new) g.masters[r][c] = id;
    }
  }
}

}  // namespace velorn

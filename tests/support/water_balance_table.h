// The water-balance table "water_balance.txt" read back for whole-model tests: its rows by the
// names of its header, and the closing test of a row. Used by tests/runs/.
#pragma once

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace velorn::test {

// Rows of the account, by the names of its header: period, subbasin, the fluxes, the storage
// changes ("dS_..."), the residual.
struct AccountRow {
  std::string period, subbasin;
  double precipitation = 0;
  double assimilation = 0;     // what data assimilation set into the stores
  double alignment = 0;        // what the end of the step added to the layered snow pack
  double evaporation = 0;      // E_interception + E_snow + E_soil + transpiration (etr.stat's)
  std::vector<double> stores;  // every dS column
  double residual = 0;
};

inline std::vector<AccountRow> ReadAccount(const std::string& text) {
  std::istringstream table(text);
  std::string line;
  std::vector<std::string> names;
  std::vector<AccountRow> rows;
  while (std::getline(table, line)) {
    std::istringstream in(line);
    if (line.starts_with("period")) {
      for (std::string name; in >> name;) names.push_back(name);
      continue;
    }
    AccountRow row;
    if (names.size() < 4 || !(in >> row.period >> row.subbasin)) continue;
    std::size_t k = 2;
    for (double value; k < names.size() && in >> value; ++k) {
      if (names[k] == "precipitation") row.precipitation = value;
      if (names[k] == "assimilation") row.assimilation = value;
      if (names[k] == "snow_alignment") row.alignment = value;
      // The canopy's sublimation stands beside the total real evapotranspiration.
      if ((names[k].starts_with("E_") && names[k] != "E_canopy_sublimation") ||
          names[k] == "transpiration")
        row.evaporation += value;
      if (names[k].starts_with("dS_")) row.stores.push_back(value);
      if (names[k] == "residual") row.residual = value;
    }
    if (k == names.size()) rows.push_back(row);
  }
  return rows;
}

// The account closes when the residual stays within 1e-9 of the precipitation.
inline bool Closes(double residual, double precipitation) {
  return std::abs(residual) <= 1e-9 * precipitation;
}

}  // namespace velorn::test

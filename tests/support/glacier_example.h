// Dynamic glaciers (degree-day method 11) on the example basin's highest cells, for whole-model
// tests (tests/runs/): the glacier grids and the [ice_firn] section with the edits that put
// them into the example's control file.
#pragma once

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/test_files.h"

namespace velorn::test {

// An ASCII grid of the example: its six header lines and its cells.
struct ExampleGrid {
  std::string header;
  std::vector<double> cells;
};

inline ExampleGrid ReadExampleGrid(const std::filesystem::path& path) {
  std::istringstream in(ReadFile(path.string()));
  ExampleGrid grid;
  int ncols = 0, nrows = 0;
  for (int line = 0; line < 6; ++line) {
    std::string text, key;
    std::getline(in, text);
    grid.header += text + "\n";
    std::istringstream fields(text);
    if (line == 0) fields >> key >> ncols;
    if (line == 1) fields >> key >> nrows;
  }
  grid.cells.resize(static_cast<std::size_t>(ncols * nrows));
  for (double& value : grid.cells) in >> value;
  return grid;
}

inline void WriteExampleGrid(const std::filesystem::path& path, const ExampleGrid& grid) {
  std::ostringstream out;
  out << grid.header;
  for (double value : grid.cells) out << value << "\n";
  WriteFile(path.string(), out.str());
}

// Writes "glacier_fraction.asc" and "glacier_codes.asc" into `dir`: cells above the 90th
// percentile of the example's elevations are glacier, those above the 80th a fifth glacier;
// each glacier carries the code of its subbasin.
inline void WriteGlacierGrids(const std::filesystem::path& dir) {
  const ExampleGrid dem = ReadExampleGrid(ExampleDir() / "dem.asc");
  const ExampleGrid zones = ReadExampleGrid(ExampleDir() / "zones.asc");
  std::vector<double> heights;
  for (std::size_t i = 0; i < dem.cells.size(); ++i)
    if (dem.cells[i] > -9999 && zones.cells[i] > -9999) heights.push_back(dem.cells[i]);
  std::sort(heights.begin(), heights.end());
  const double p80 = heights[heights.size() * 8 / 10], p90 = heights[heights.size() * 9 / 10];
  ExampleGrid fraction = dem, codes = dem;
  for (std::size_t i = 0; i < dem.cells.size(); ++i) {
    const bool basin = dem.cells[i] > -9999 && zones.cells[i] > -9999;
    const double g = !basin ? -9999 : dem.cells[i] >= p90 ? 1.0 : dem.cells[i] >= p80 ? 0.2 : 0.0;
    fraction.cells[i] = g;
    codes.cells[i] = g > 0 ? zones.cells[i] : -9999;
  }
  WriteExampleGrid(dir / "glacier_fraction.asc", fraction);
  WriteExampleGrid(dir / "glacier_codes.asc", codes);
}

// Method 11; the evaluation on 2 January; a pack above 5 mm starts a glacier cell.
inline const std::string kIceFirn =
    "[ice_firn]\n11\n3\n4\n2\n1\n0.1\n0.2\n0.1\n0.2\n10\n20\n5\n0\n0\n0\n"
    "firn.asc\n0\nqfirn.stat 2001\nice.asc\n0\nqice.stat 2001\nqglac.stat 2001\n"
    "qsnowglac.stat 2001\n0\n3 2500 0.5\n2 1\n28.5 1.36 4 1\nfirn.stk\n0\nfirnwe.stat 2001\n"
    "gmb.asc\n0\ngmbold.asc\n0\ngmb1.stat 2001\ngmb2.stat 2001\n1.0\nsnowglac.stat 2001\n"
    "og1.asc\n0\nog2.asc\n0\nog3.asc\n0\nog4.asc\n0\nog5.asc\n0\nog6.asc\n0\nog7.asc\n0\n"
    "5 0.3\n\n";

// The edits (from, to) of the example's control file that read the glacier grids and add
// [ice_firn].
inline std::vector<std::pair<std::string, std::string>> GlacierEdits() {
  return {{"[standard_grids]\n5\n",
           "[standard_grids]\n7\nglacier_fraction.asc GlacierizedCells 0\n"
           "glacier_codes.asc GlacierCodes 0\n"},
          {kSectionsEnd, kIceFirn + kSectionsEnd}};
}

}  // namespace velorn::test

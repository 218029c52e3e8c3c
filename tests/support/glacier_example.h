// Grids that whole-model tests (tests/runs/) add to the example basin: dynamic glaciers
// (degree-day method 11) on its highest cells, with the edits of the example's control file that
// read them and add the [ice_firn] section, and the slide fractions of the snow slide methods.
#pragma once

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/example_sections.h"
#include "tests/support/grid_files.h"
#include "tests/support/test_files.h"

namespace velorn::test {

// Writes "glacier_fraction.asc" and "glacier_codes.asc" into `dir`: cells above the 90th
// percentile of the example's elevations are glacier, those above the 80th a fifth glacier;
// each glacier carries the code of its subbasin.
inline void WriteGlacierGrids(const std::filesystem::path& dir) {
  const std::string dem_file = ReadFile((ExampleDir() / "dem.asc").string());
  std::size_t header_end = 0;
  for (int line = 0; line < 6; ++line) header_end = dem_file.find('\n', header_end) + 1;
  const std::vector<double> dem = GridCells((ExampleDir() / "dem.asc").string());
  const std::vector<double> zones = GridCells((ExampleDir() / "zones.asc").string());
  std::vector<double> heights;
  for (std::size_t i = 0; i < dem.size(); ++i)
    if (dem[i] > -9999 && zones[i] > -9999) heights.push_back(dem[i]);
  std::sort(heights.begin(), heights.end());
  const double p80 = heights[heights.size() * 8 / 10], p90 = heights[heights.size() * 9 / 10];
  std::ostringstream fraction, codes;
  fraction << dem_file.substr(0, header_end);
  codes << dem_file.substr(0, header_end);
  for (std::size_t i = 0; i < dem.size(); ++i) {
    const bool basin = dem[i] > -9999 && zones[i] > -9999;
    const double g = !basin ? -9999 : dem[i] >= p90 ? 1.0 : dem[i] >= p80 ? 0.2 : 0.0;
    fraction << g << "\n";
    codes << (g > 0 ? zones[i] : -9999) << "\n";
  }
  WriteFile((dir / "glacier_fraction.asc").string(), fraction.str());
  WriteFile((dir / "glacier_codes.asc").string(), codes.str());
}

// Method 11; the evaluation on 2 January; a pack above 5 mm starts a glacier cell. The edits
// (from, to) of the example's control file that read the glacier grids and add it.
inline std::vector<std::pair<std::string, std::string>> GlacierEdits() {
  const std::string ice_firn =
      "[ice_firn]\n11\n3\n4\n2\n1\n0.1\n0.2\n0.1\n0.2\n10\n20\n5\n0\n0\n0\n"
      "firn.asc\n0\nqfirn.stat 2001\nice.asc\n0\nqice.stat 2001\nqglac.stat 2001\n"
      "qsnowglac.stat 2001\n0\n3 2500 0.5\n2 1\n28.5 1.36 4 1\nfirn.stk\n0\nfirnwe.stat 2001\n"
      "gmb.asc\n0\ngmbold.asc\n0\ngmb1.stat 2001\ngmb2.stat 2001\n1.0\nsnowglac.stat 2001\n"
      "og1.asc\n0\nog2.asc\n0\nog3.asc\n0\nog4.asc\n0\nog5.asc\n0\nog6.asc\n0\nog7.asc\n0\n"
      "5 0.3\n\n";
  return {{"[standard_grids]\n5\n",
           "[standard_grids]\n7\nglacier_fraction.asc GlacierizedCells 0\n"
           "glacier_codes.asc GlacierCodes 0\n"},
          {kSectionsEnd, ice_firn + kSectionsEnd}};
}

// The example's elevation grid: its six header lines and its values, row 1 first.
struct Dem {
  std::string header;
  int ncols = 0, nrows = 0;
  std::vector<double> z;
};

inline Dem ReadDem(const std::filesystem::path& dir) {
  std::istringstream in(ReadFile((dir / "dem.asc").string()));
  Dem dem;
  std::string key;
  for (int line = 0; line < 6; ++line) {
    std::string text;
    std::getline(in, text);
    dem.header += text + "\n";
    if (line < 2) {
      std::istringstream values(text);
      values >> key >> (line == 0 ? dem.ncols : dem.nrows);
    }
  }
  dem.z.resize(static_cast<std::size_t>(dem.nrows * dem.ncols));
  for (double& value : dem.z) in >> value;
  return dem;
}

// The four slide-fraction grids of the example: each cell sends its sliding snow to its lower
// neighbours (previous row, previous column, next column, next row) in proportion to the drop.
inline void WriteSlideFractions(const std::filesystem::path& dir) {
  const Dem dem = ReadDem(dir);
  const int nrows = dem.nrows, ncols = dem.ncols;
  const std::vector<double>& z = dem.z;
  const int dr[4] = {-1, 0, 0, 1}, dc[4] = {0, -1, 1, 0};
  for (int k = 0; k < 4; ++k) {
    std::ostringstream out;
    out << dem.header;
    for (int r = 0; r < nrows; ++r) {
      for (int c = 0; c < ncols; ++c) {
        const int nr = r + dr[k], nc = c + dc[k];
        double drop = 0;
        if (nr >= 0 && nr < nrows && nc >= 0 && nc < ncols && z[nr * ncols + nc] > -9999)
          drop = std::max(z[r * ncols + c] - z[nr * ncols + nc], 0.0);
        out << (c > 0 ? " " : "") << drop;
      }
      out << "\n";
    }
    WriteFile((dir / ("slidefraction" + std::to_string(k + 1) + ".asc")).string(), out.str());
  }
}

}  // namespace velorn::test

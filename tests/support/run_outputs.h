// The values of a run's output grids, stacks and zone statistics tables, read back for
// whole-model tests (tests/runs/): the tracer runs and the option matrix.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/grid_files.h"
#include "tests/support/test_files.h"

namespace velorn::test {

// The values of a grid or stack file in any form the model writes (grid_files.h), nodata as 0;
// `levels` receives the values per cell.
// `signed_amounts`: a grid of signed amounts (the solute that left through fixed heads, far
// below -9999 where a boundary fed the aquifer much): only the file's nodata value is nodata.
inline std::vector<double> GridValues(const std::string& path, std::size_t& levels,
                                      bool signed_amounts = false) {
  GridFile grid = ReadGridFile(path);
  levels = grid.levels;
  const double nodata = grid.geometry.nodata;
  for (double& value : grid.values)
    if (signed_amounts ? value == nodata : value <= -9999) value = 0.0;
  return std::move(grid.values);
}

// A number of an output as the model printed it: subnormal values too (a store drained over
// hundreds of steps), which std::stod refuses as out of range; text that is no number throws.
inline double ReadDouble(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) throw std::invalid_argument("no number in \"" + text + "\"");
  return value;
}

// The five subbasin columns of a zone statistics table of the example (with or without the
// basin mean): row 0 their area shares, then one row per report.
inline std::vector<std::vector<double>> ZoneTableRows(const std::string& path) {
  std::vector<std::vector<double>> rows;
  for (const std::string& line : SplitLines(ReadFile(path))) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.size() < 9 || words[4].starts_with('"') ||
        !(words[0] == "--" || std::isdigit(static_cast<unsigned char>(words[0][0])) != 0))
      continue;
    rows.emplace_back();
    for (int s = 4; s < 9; ++s) rows.back().push_back(ReadDouble(words[s]));
  }
  return rows;
}

}  // namespace velorn::test

// The values of a run's output grids, stacks and zone statistics tables, read back for
// whole-model tests (tests/runs/): the tracer runs and the option matrix.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace velorn::test {

// The values of a grid or stack file after its header, nodata as 0: an ASCII grid or stack (its
// header words skipped, "numlevels" giving the levels), or a binary one of doubles (twelve
// header values, the columns and rows first). `levels` receives the values per cell.
inline std::vector<double> GridValues(const std::string& path, std::size_t& levels) {
  const std::string file = ReadFile(path);
  std::vector<double> cells;
  levels = 1;
  if (!file.empty() && std::isalpha(static_cast<unsigned char>(file[0])) == 0) {
    std::vector<double> binary(file.size() / sizeof(double));
    std::copy(file.begin(), file.begin() + static_cast<long>(binary.size() * sizeof(double)),
              reinterpret_cast<char*>(binary.data()));
    if (binary.size() <= 12) return cells;
    const double cell_count = binary[0] * binary[1];
    if (cell_count > 0)
      levels = static_cast<std::size_t>(static_cast<double>(binary.size() - 12) / cell_count);
    for (std::size_t i = 12; i < binary.size(); ++i)
      cells.push_back(binary[i] <= -9999 ? 0.0 : binary[i]);
    return cells;
  }
  std::istringstream in(file);
  for (std::string word; in >> word;) {
    double value = 0;
    if (std::isalpha(static_cast<unsigned char>(word[0])) != 0) {
      if (in >> value && word == "numlevels") levels = static_cast<std::size_t>(value) + 1;
      continue;
    }
    value = std::stod(word);
    cells.push_back(value <= -9999 ? 0.0 : value);
  }
  return cells;
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
    for (int s = 4; s < 9; ++s) rows.back().push_back(std::stod(words[s]));
  }
  return rows;
}

}  // namespace velorn::test

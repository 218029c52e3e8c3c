// Test fixture with a settings object ready for the land-use parameter grids: a land-use table
// read from a control-file text, a small model grid whose registry holds the zone grid, the
// elevation model, "albedo", "temperature" and the land-use code grids of one or two layers.
//
// Used by the tests of setup/landuse_parameter_grids.cpp and dynamic phenology. Build() sets
// every process's rows to the whole grid unless a row range is given; the grids created by the
// settings object are freed at the end of each test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/grid_registry.h"
#include "core/matrix.h"
#include "setup/defaultini.h"
#include "tests/support/settings_test.h"

namespace velorn::test {

class LanduseGridsTest : public SettingsTest {
 protected:
  using Rows = std::vector<std::vector<double>>;

  // Reads `table` ([landuse_table] section) into the settings object; the code thrown or 0.
  int ReadTable(const std::string& table) {
    settings_.control_file = std::make_unique<ControlFileReader>();
    settings_.control_file->OpenText(table);
    return ThrownCode([&] { settings_.ReadLanduseTable(2); }, 0);
  }

  // Registers the input grids for `codes` (table indexes, nodata = -9999) of layer 1 and, when
  // given, layer 2, with the elevation `altitude` everywhere, and sets the model time start.
  void Build(const Rows& codes, double altitude, const ModelDate& start, const Rows& layer2 = {},
             long first_row = 1, long last_row = 0) {
    const int rows = static_cast<int>(codes.size());
    const int cols = static_cast<int>(codes.front().size());
    settings_.ncols = cols;
    settings_.nrows = rows;
    settings_.nodata = -9999.0;
    settings_.first_local_row = static_cast<int32_t>(first_row);
    settings_.last_local_row = static_cast<int32_t>(last_row > 0 ? last_row : rows);
    settings_.start_date = start;
    Add("zone", FilledGrid(diag_, rows, cols, 1.0));
    Add("dem", FilledGrid(diag_, rows, cols, altitude));
    Add("albedo", FilledGrid(diag_, rows, cols, 0.0));
    Add("temperature", FilledGrid(diag_, rows, cols, 0.0));
    Add("landuse", MakeGrid(diag_, codes));
    settings_.landuse_layers = {grid("landuse"), grid("landuse")};
    if (!layer2.empty()) {
      Add("landuse2", MakeGrid(diag_, layer2));
      settings_.landuse_layers.push_back(grid("landuse2"));
    }
  }

  double** grid(const std::string& name) {
    const int index = registry_.FindIdentifier(name);
    return index > 0 ? registry_[index].grid : nullptr;
  }
  double*** stack(const std::string& name) {
    const int index = registry_.FindIdentifier(name);
    return index > 0 ? registry_[index].stack : nullptr;
  }
  void SetTemperature(double value) {
    double** t = grid("temperature");
    if (t == nullptr) return;
    for (int r = 1; r <= settings_.nrows; ++r)
      for (int c = 1; c <= settings_.ncols; ++c) t[r][c] = value;
  }
  // One call of the per-step update.
  void Step(const ModelDate& date, double minutes) {
    settings_.UpdateLanduseParameterGrids(date.hour, date.day, date.month, date.year, minutes);
  }

  void TearDown() override {
    for (int index = static_cast<int>(owned_.size()) + 1; index <= kLastGridIndex; ++index) {
      GridEntry& entry = registry_[index];
      if (entry.IsFree()) break;
      FreeMatrix(entry.grid);
      Free3dMatrix(entry.stack);
      entry.grid = nullptr;
      entry.stack = nullptr;
    }
  }

 private:
  void Add(const std::string& name, GridMatrix matrix) {
    const int index = registry_.FirstFreeIndex();
    registry_.Register(diag_, index, name, matrix.get(), nullptr, 0, name, 0, 1, settings_.nrows,
                       settings_.ncols, settings_.nrows);
    owned_.push_back(std::move(matrix));
  }
  std::vector<GridMatrix> owned_;
};

}  // namespace velorn::test

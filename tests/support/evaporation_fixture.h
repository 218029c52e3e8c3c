// Test fixture of the evapotranspiration model: the sub-model fixture plus an [evapotranspiration]
// section built from a few options, and the grids the model reads (zone grid, elevation, owner
// grid, land-use parameter grids per layer, meteorological grids) registered with constant
// values that a test may change cell by cell.
//
// Used by the tests in tests/evaporation/. One process; every cell belongs to process 0.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "evaporation/evapotranspiration.h"
#include "tests/support/submodel_fixture.h"

namespace velorn::test {

// Values of the land-use parameter grids of one vegetation layer.
struct LayerValues {
  double landuse = 1;
  double lai = 2.88;
  double coverage = 1;
  double canopy_resistance = 70;
  double interception_resistance = 0;
  double roughness = 0.015;
  double root_depth = 0.5;
};

// What the [evapotranspiration] section says; the defaults make a valid Penman-Monteith section.
struct EvapSection {
  int method = 1;
  int interval = 1440;
  std::string pec = "1 1 1 1 1 1 1 1 1 1 1 1";
  std::string fh = "0.2 0.2 0.21 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.2 0.2";
  std::string cs = "0.25 0.75 0 0";
  std::string c = "0.072 -0.808 1.749 -0.239";
  std::string transmissivity = "0.7 0.1";
  std::string amplitudes = "4 4 4 4 4 4 4 4 4 4 4 4";
  std::string day_fraction = "0.6 0.1";
  std::string closing = "cloud.stat 0\nHamonCorrectionOpenWater = 1.0\n";
  int statistics_code = 0;
};

class EvaporationTest : public SubModelTest {
 protected:
  explicit EvaporationTest(int rows = 1, int cols = 1)
      : SubModelTest(rows, cols), rows_(rows), cols_(cols) {
    AddGrid("zonegrid", 1);
    AddGrid("[elevation_model]", 0);
    AddGrid("MPIRegions", 0);
  }

  static std::string Section(const EvapSection& s) {
    std::string text = "[evapotranspiration]\n1 flow\n" + std::to_string(s.interval) + " min\n" +
                       std::to_string(s.method) + " method\n" + s.pec + "\n" + s.fh + "\n1.0 fk\n";
    const std::string code = std::to_string(s.statistics_code);
    for (const char* name : {"etp", "etr", "evap", "evar", "snowevap", "eip"})
      text += std::string(name) + ".asc\n0\n" + name + ".stat " + code + "\n";
    text += "rgex.stat " + code + "\n" + s.cs + "\n" + s.c + "\n" + s.transmissivity + "\n3000\n" +
            s.amplitudes + "\n" + s.day_fraction + "\n" + s.closing;
    return text;
  }

  // Registers a grid of this fixture's size with every cell set to `value`.
  double** AddGrid(const std::string& identifier, double value) {
    grids_.push_back(FilledGrid(diag_, rows_, cols_, value));
    registry_.Register(diag_, registry_.FirstFreeIndex(), identifier + ".asc", grids_.back().get(),
                       nullptr, 0, identifier, 0, 1, rows_, cols_, rows_);
    return grids_.back().get();
  }

  void AddLayer(int layer, const LayerValues& v) {
    const std::string n = std::to_string(layer);
    AddGrid("landuse" + n, v.landuse);
    AddGrid("leaf_area_index" + n, v.lai);
    AddGrid("root_depth" + n, v.root_depth);
    AddGrid("vegetation_coverage_degree" + n, v.coverage);
    AddGrid("SurfaceCanopyResistance" + n, v.canopy_resistance);
    AddGrid("SurfaceIntercepResistance" + n, v.interception_resistance);
    AddGrid("RoughnessLength" + n, v.roughness);
  }

  // The grids of a Penman-Monteith run: temperature (also the night temperature), humidity,
  // wind, global radiation, albedo and soil surface resistance.
  void AddPenmanMonteithInputs(double t, double humidity, double wind, double radiation) {
    temperature_ = AddGrid("temperature", t);
    AddGrid("temperature_night", t);
    AddGrid("air_humidity", humidity);
    AddGrid("wind_speed", wind);
    radiation_ = AddGrid("global_radiation", radiation);
    AddGrid("albedo", 0.23);
    AddGrid("SurfaceEvaporationResistance", 150);
  }

  std::unique_ptr<verdunstungsmodellklasse> Make(const EvapSection& section, int& error) {
    WriteControlFile(Section(section));
    return std::make_unique<verdunstungsmodellklasse>(setup_, "evapotranspiration", error);
  }

  // A model that must construct without error.
  std::unique_ptr<verdunstungsmodellklasse> Make(const EvapSection& section = EvapSection()) {
    int error = -1;
    auto model = Make(section, error);
    EXPECT_EQ(error, 0);
    return model;
  }

  int rows_;
  int cols_;
  std::vector<GridMatrix> grids_;
  double** temperature_ = nullptr;
  double** radiation_ = nullptr;
};

}  // namespace velorn::test

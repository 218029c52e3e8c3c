// Test fixture of the interception model: a 2 x 4 grid (cell (1,1) outside the zones), the
// land-use records 1 (no interception capacity of its own) and 2 (0.5 mm per unit of leaf
// area), the stand-in grids of the evapotranspiration, meteorological and snow models that the
// interception model looks up, and the text of its section; input and output files live in the
// fixture's directory.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "evaporation/interception_model.h"
#include "tables/landuse_multilayer.h"
#include "tables/landuse_record.h"
#include "tests/support/submodel_fixture.h"

namespace velorn::test {

class InterceptionTest : public SubModelTest {
 protected:
  static constexpr double N = -9999;
  using Rows = std::vector<std::vector<double>>;

  InterceptionTest() : SubModelTest(2, 4) {
    Add("zones", {{N, 1, 1, 1}, {1, 1, 1, 1}});
    Add("[elevation_model]", Fill(500));
    const std::string keys =
        "RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45;\n"
        "Albedo = 0.25 0.20 0.25; rsc = 80 60 80; LAI = 1 4 1; Z0 = 0.02 0.1 0.02;\n"
        "VCF = 0.5 0.9 0.5; RootDepth = 0.2 0.5 0.2; AltDep = 0 0.01 0; JulDays = 1 180 366;";
    landuse_[0].SetCode(2);
    landuse_[1].ParseEntry(diag_, "1 grass method VariableDayCount {" + keys + "}",
                           "VariableDayCount");
    landuse_[2].ParseEntry(diag_,
                           "2 forest method VariableDayCount {" + keys + " IntercepCap = 0.5; }",
                           "VariableDayCount");
    setup_.landuse_table = landuse_.data();
    setup_.input_directory = dir_.path().string() + "/";
    setup_.output_directory = dir_.path().string() + "/";
  }
  ~InterceptionTest() override {
    if (model_) model_->ReleaseMemory();
  }

  GridMatrix& Add(const std::string& name, const Rows& rows) {
    grids_[name] = MakeGrid(diag_, rows);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, 2, 4, 2);
    return grids_[name];
  }
  static Rows Fill(double value) { return Rows(2, std::vector<double>(4, value)); }

  // The grids of `layers` vegetation layers, the evapotranspiration and the precipitation.
  void AddRainInputs(int layers, const Rows& landuse, const Rows& leaf_area, const Rows& cover) {
    for (int i = 1; i <= layers; ++i) {
      const std::string n = std::to_string(i);
      Add("landuse" + n, landuse);
      Add("leaf_area_index" + n, leaf_area);
      Add("vegetation_coverage_degree" + n, cover);
      Add("RoughnessLength" + n, Fill(1.0));
      Add("SurfaceCanopyResistance" + n, Fill(80.0 + i));
      Add("SurfaceIntercepResistance" + n, Fill(20.0 + i));
    }
    for (int i = 0; i <= layers; ++i) {
      const std::string n = std::to_string(i);
      Add("pot_transpiration" + n, Fill(0.3));
      Add("potential_InterceptionEvap" + n, Fill(0.2));
      Add("real_transpiration" + n, Fill(0.0));
    }
    Add("precipitation", {{N, 2.0, 5.0, 0.0}, {1.0, 3.0, 8.0, 4.0}});
  }
  void AddMeteoInputs(double temperature) {
    Add("temperature", Fill(temperature));
    Add("AspectCorrectedGlobalRadiation", Fill(150.0));
    Add("wind_speed", Fill(2.0));
    Add("air_humidity", Fill(0.8));
    Add("cloudiness", Fill(0.5));
  }
  void AddSnowInputs(double snow) {
    Add("albedo", Fill(0.8));
    Add("snow_storage_total", Fill(snow));
    Add("surftemp", Fill(270.0));
  }
  std::string Triple(const std::string& name) const {
    return name + ".asc\n0\n" + name + ".sta " + std::to_string(statistics_code_) + "\n";
  }
  // The section for `method`; `canopy` holds the minimum LAI, minimum z0 and scaling lines.
  std::string Section(int method, const std::string& canopy = "1.0\n0.1\n1.0\n") {
    std::string text = "[interception_model]\n1 flow control\n60 time interval\n" +
                       std::to_string(method) + " method\n" + Triple("tf") + Triple("ei") +
                       Triple("si") + "0.2 maximum water layer\n" + std::to_string(readgrid_) +
                       " readgrid\n";
    if (method > 20) {
      for (const char* name :
           {"sct", "scrh", "scrad", "scw", "scl", "sca", "scalb", "scsub", "scsolid", "scliq"})
        text += Triple(name);
      text += canopy;
    }
    if (method > 30)
      for (const char* name : {"ceb", "cebt", "cebto", "cebd"}) text += Triple(name);
    return text;
  }
  int Make(const std::string& section) {
    WriteControlFile(section);
    int32_t error = -1;
    model_ = std::make_unique<interzeptionsmodellklasse>(error, setup_);
    return error;
  }
  double** Grid(const std::string& identifier) {
    const int index = registry_.FindIdentifier(identifier);
    return index > 0 ? registry_[index].grid : nullptr;
  }

  // An ASCII grid file of the fixture's 2 x 4 geometry in the input directory.
  void WriteGridFile(const std::string& name, const Rows& rows) {
    WriteFile(dir_ / name,
              AsciiGrid(4, 2, 0, 0, 1000, -9999, [&](int r, int c) { return rows[r - 1][c - 1]; }));
  }
  // The lines of a statistics file in the output directory.
  std::vector<std::string> StatisticsLines(const std::string& name) {
    return SplitLines(ReadFile(dir_ / name));
  }

  int readgrid_ = 0;         // the section's readgrid flag
  int statistics_code_ = 0;  // the statistics code of every output
  std::map<std::string, GridMatrix> grids_;
  std::vector<LanduseRecord> landuse_ = std::vector<LanduseRecord>(3);
  std::unique_ptr<interzeptionsmodellklasse> model_;
};

}  // namespace velorn::test

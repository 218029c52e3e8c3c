// Test fixture of the soil zone: a 2 x 4 basin of eight subbasins (codes 1..8, row by row), a
// soil table of two soils of Carsel and Parrish (1988) with four layers of 0.5 m each (1 loam:
// theta_sat 0.43, theta_res 0.078, alpha 3.6 1/m, n 1.56; 2 sand: 0.43, 0.045, 14.5 1/m, 2.68),
// the grids of the other models that the unsaturated zone looks up (one land-use layer), and a
// builder of the [unsatzon_model] section whose values a test changes field by field.
//
// Used by the tests of the unsaturated zone (set-up, column numerics, sub-step, heat). The
// grids are whole; a test that spreads the cells over processes adds "MPIRegions". Files (control
// file, grids, stacks, statistics, logs) live in the fixture's own directory, which is also the
// current directory while the fixture lives.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/string_helpers.h"
#include "setup/irrigation_tables.h"
#include "tables/soil_record.h"
#include "tests/support/soil_test.h"
#include "tests/support/submodel_fixture.h"
#include "unsatzone/unsatzone_model.h"

namespace velorn::test {

// Keys of a soil of `layers` equal layers from its van Genuchten parameters.
inline std::string VanGenuchtenKeys(double theta_sat, double theta_res, double alpha, double n,
                                    double ksat, int layers = 4, double thickness = 0.5) {
  return FormatText(
      "layers = %d; ksat = %.17g; theta_sat = %.17g; theta_res = %.17g; alpha = %.17g; "
      "Par_n = %.17g; thickness = %.17g;",
      layers, ksat, theta_sat, theta_res, alpha, n, thickness);
}

// The [unsatzon_model] section with every value the model reads, one per line.
struct UnsatSection {
  int flow = 1;
  int interval = 60;  // minutes
  int method = 2;
  int interaction = 0, pond = 0, drainage = 0, clay = 0;
  double k_sat_clay = 1e-8;
  double ini_gw_level = 2;
  int statistics_code = 0;
  std::string control_point = "0 0";
  std::string codes = "1 8";
  std::vector<std::string> parameters = {"2 2", "8 8", "14 14", "0.4 0.4", "0.01 0.01", "0.1 0.1"};
  int storage_mode = 0;
  std::string after;  // further sections

  std::string Text() const {
    std::string t = "[unsatzon_model]\n" + std::to_string(flow) + " flow control\n" +
                    std::to_string(interval) + " interval\n";
    for (int v : {method, interaction, pond, drainage, clay}) t += std::to_string(v) + "\n";
    t += FormatText("%.17g\n%.17g\n", k_sat_clay, ini_gw_level);
    for (const char* s : {"qdrain", "gwstand", "gwn", "sb1", "sb2", "root", "infex", "pond", "qd",
                          "qi", "qb", "qg", "gwin", "gwex", "macro", "infilt"})
      t += std::string(s) + ".sta " + std::to_string(statistics_code) + "\n";
    for (const char* g :
         {"sb05.asc",   "sb1.asc",     "wurz.asc",    "theta.stk",  "hh.stk",      "hgeo.stk",
          "qunten.stk", "gwstand.asc", "gwtheta.asc", "gwn.asc",    "gwlevel.asc", "qdrain.asc",
          "satt.asc",   "infex.asc",   "qd.asc",      "qi.asc",     "deltagw.asc", "gwin.asc",
          "gwex.asc",   "pond.asc",    "uprise.asc",  "percol.asc", "macro.asc",   "irrig.asc"})
      t += std::string(g) + "\n0\n";
    t += control_point + " control point\n";
    for (const char* f :
         {"qbottom.txt", "theta.txt", "hhyd.txt", "other.txt", "etr.txt", "interflow.txt"})
      t += std::string(f) + "\n";
    t += codes + "\n";
    for (const std::string& line : parameters) t += line + "\n";
    t += std::to_string(storage_mode) + "\nstorage\n";
    if (method == 3) t += "30\nsubsteps.sta 0\nsubsteps.asc\n0\n";
    return t + after;
  }
};

// [heat_transfer] switched on with its defaults and the given shortest step.
inline std::string HeatSection(double shortest_step = 60) {
  std::string t = "[heat_transfer]\n1\n1 method\n0\n0\n12.0\n-0.007\n800\n1500\n0.58\n1e-10\n";
  t += "0.5562\n2.33\n4187\n1940\n2090\n334000\n1000\n1.22\n0.5\n" + std::to_string(shortest_step) +
       "\n1800\n1.0\n1.0\n";
  return t + "temper.txt\ntemper.sta 0\ntemper.stk\n0\nthaw.asc\n0\nse.stk\n0\n";
}

class SoilColumnTest : public SubModelTest {
 protected:
  static constexpr double N = -9999;
  using Rows = std::vector<std::vector<double>>;

  SoilColumnTest() : SubModelTest(2, 4), cwd_(dir_.path()) {
    soils_[0] = SoilRecord(2);
    soils_[1].ParseEntry(diag_, SoilBlock(VanGenuchtenKeys(0.43, 0.078, 3.6, 1.56, 2.89e-6), 1),
                         "MultipleHorizons");
    soils_[2].ParseEntry(diag_,
                         SoilBlock(VanGenuchtenKeys(0.43, 0.045, 14.5, 2.68, 8.25e-5), 2, "sand"),
                         "MultipleHorizons");
    setup_.soil_table = soils_.data();
    setup_.input_directory = dir_.path().string() + "/";
    setup_.output_directory = dir_.path().string() + "/";
    Add("zones", zones_);
    Add("dem", elevation_);
    Add("zonegrid_soilmodel", zones_);
    Add("soil_types", soil_types_);
    for (const char* name :
         {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1",
          "SurfaceCanopyResistance1", "SurfaceIntercepResistance1", "RoughnessLength1",
          "pot_transpiration0", "pot_transpiration1", "real_transpiration0", "real_transpiration1",
          "SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation"})
      Add(name, Fill(1.0));
    Add("slope_angle", Fill(30.0));
  }
  ~SoilColumnTest() override { Release(); }

  GridMatrix& Add(const std::string& name, const Rows& rows) {
    grids_[name] = MakeGrid(diag_, rows);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, 2, 4, 2);
    return grids_[name];
  }
  static Rows Fill(double value) { return Rows(2, std::vector<double>(4, value)); }
  // Constructs the model from `text`; the code it throws, 0 when it succeeds.
  int Make(const std::string& text) {
    Release();
    WriteControlFile(text);
    return ThrownCode(
        [&] {
          int32_t error = -1;
          model_ = std::make_unique<unsatzonmodellklasse>(error, setup_, irrigation_);
        },
        0);
  }
  void Release() {
    if (model_ && model_->GetFlowControl() != 0) model_->ReleaseMemory();
    model_.reset();
  }
  const SoilRecord& SoilOf(int r, int c) const {
    return soils_[static_cast<int>(soil_types_[r - 1][c - 1])];
  }

  ScopedCurrentDir cwd_;
  Rows zones_ = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  Rows elevation_ = {{1500, 1400, 1300, 1200}, {1100, 1000, 900, 800}};
  Rows soil_types_ = {{1, 1, 2, 2}, {1, 2, 1, 2}};
  std::vector<SoilRecord> soils_ = std::vector<SoilRecord>(3);
  const IrrigationTable* irrigation_ = nullptr;
  std::map<std::string, GridMatrix> grids_;
  std::unique_ptr<unsatzonmodellklasse> model_;
};

}  // namespace velorn::test

// Test fixture of the groundwater model: a rows x cols grid of one zone with the grids the model
// takes from the registry (elevation 100 m, a water table `distance` m from the surface, one
// soil type with a 2.5 m profile), per layer a thickness, conductivities, storage coefficient and
// empty fixed-head and fixed-inflow grids, and the text of the section.
//
// Every grid is held whole on every process; the MPI tests pass a decomposition layout in
// `setup_.mpi` and register its grids before Make.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/string_helpers.h"
#include "lateral/groundwater_model.h"
#include "tables/soil_record.h"
#include "tests/support/soil_test.h"
#include "tests/support/submodel_fixture.h"

namespace velorn::test {

class GroundwaterTest : public SubModelTest {
 protected:
  static constexpr double N = -9999;
  static constexpr double kElevation = 100;
  static constexpr double kProfile = 2.5;  // m, the soil's profile depth: layer 1's thickness

  GroundwaterTest(int rows, int cols, double cellsize) : SubModelTest(rows, cols) {
    rows_ = rows;
    cols_ = cols;
    setup_.cellsize = cellsize;
    soils_[0].code = 1;
    soils_[1] = ParsedLoam(diag_, "", "1", "2.5");
    setup_.soil_table = soils_.data();
    setup_.output_directory = dir_.path().string() + "/";
  }
  ~GroundwaterTest() override {
    if (model_) model_->ReleaseTracers();
    if (model_) model_->ReleaseMemory();
  }

  GridMatrix& Add(const std::string& name, double value) {
    grids_[name] = FilledGrid(diag_, rows_, cols_, value);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, rows_, cols_, rows_);
    return grids_[name];
  }
  // The shared grids and `layers` layers of thickness 10 m (layer 1: whatever is given, the
  // model sets the profile depth), conductivity k, storage coefficient s, no leakage.
  void AddInputs(int layers, double distance, double k, double s) {
    Add("zones", 1);
    Add("[elevation_model]", kElevation);
    Add("groundwater_recharge", 0);
    Add("groundwater_distance", distance);
    Add("soil_types", 1);
    Add("baseflow", 0);
    for (int l = 1; l <= layers; ++l) {
      const std::string n = std::to_string(l);
      Add("aquifer_thickness_" + n, 10);
      Add("gw_k_x_" + n, k);
      Add("gw_k_y_" + n, k);
      Add("gw_storage_coeff_" + n, s);
      Add("gw_boundary_fix_h_" + n, N);
      Add("gw_boundary_fix_q_" + n, N);
      if (l < layers) Add("gw_kolmation_" + n, 0);
    }
  }
  double** G(const std::string& name) { return grids_[name].get(); }
  // Releases the model and empties the registry and the grids, for the next case of a table.
  void Reset() {
    if (model_) model_->ReleaseTracers();
    if (model_) model_->ReleaseMemory();
    model_.reset();
    for (int i = 1; i <= kLastGridIndex; ++i)
      if (!registry_[i].IsFree()) registry_.Unregister(i);
    grids_.clear();
    screen_.str("");
  }
  double** Grid(const std::string& identifier) {
    return registry_[registry_.FindIdentifier(identifier)].grid;
  }

  // The section: method, maxiter, maxerror, alpha, sor-parameter, layers, control cell, pond
  // line and one block of names per layer.
  std::string Section(int method, int layers, double sor = 1.5, double alpha = 1,
                      const std::string& control = "0 0", const std::string& pond = "0 no ponds",
                      int maxiter = 20000, double maxerror = 1e-10) const {
    std::string text = "[groundwater_flow]\n1 flow control\n60 time interval\n" +
                       std::to_string(method) + " method\n" + std::to_string(maxiter) +
                       " maxiter\n" + FormatText("%.17g", maxerror) + " maxerror\n" +
                       FormatText("%.17g", alpha) + " alpha\n" + FormatText("%.17g", sor) +
                       " sor\n0 grid read\n" + std::to_string(layers) + " layers\n" + control +
                       " control cell\ncontrol.txt control file\n" + pond + "\n";
    for (int l = 1; l <= layers; ++l) {
      const std::string n = std::to_string(l);
      text += "head" + n + ".asc\n0\ntx" + n + ".asc\n0\nty" + n + ".asc\n0\nbal" + n + ".asc\n0\n";
    }
    return text;
  }
  int Make(const std::string& text, int sub_steps = 1) {
    WriteControlFile(text);
    int32_t error = -1;
    error = ThrownCode(
        [&] {
          model_ = std::make_unique<gwflowclass>(error, setup_);
          model_->SetSubStepCount(sub_steps);
        },
        0);
    return error;
  }
  // `count` sub-steps of the model.
  void Run(int count) {
    for (int k = 0; k < count; ++k) model_->RunStep(1, 1, 6, 2001);
  }
  double Head(int layer, int r, int c) { return Grid("gw_head_" + std::to_string(layer))[r][c]; }

  int rows_ = 0;
  int cols_ = 0;
  std::map<std::string, GridMatrix> grids_;
  std::vector<SoilRecord> soils_ = std::vector<SoilRecord>(2);
  std::unique_ptr<gwflowclass> model_;
};

}  // namespace velorn::test

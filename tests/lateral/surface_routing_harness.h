// Test harness of the surface routing model: a rows x cols grid (3 x 3 by default) of one subbasin,
// the required grids registered whole on every process (zone grid and elevation as entries 1 and
// 2), land use 1 with K_ST 25, the section built from a few options, the unsaturated zone's
// hand-overs, and runoff entered as the sub-step solver enters it. Used by
// tests/lateral/surface_routing_*_test.cpp and
// *_mpitest.cpp.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lateral/surface_routing_model.h"
#include "tables/landuse_record.h"
#include "tests/support/submodel_fixture.h"
#include "tests/support/test_mpi.h"

namespace velorn::test {

struct SurfaceSection {
  int method = 1;
  std::string minimum = "60";
  std::string maximum = "600";
  std::string last_line = "storage.sta 0\n";
  int statistics_code = 0;
  int flow_control = 1;
  std::string interval = "60";           // minutes
  std::string velocity_error = "0.001";  // m/s
  std::string velocity_steps = "10";
  std::string anl = "0.001\n10\n";               // A_NL iteration: error (m), steps
  std::string depth_and_factor = "0.01\n1.0\n";  // minimum flow depth (m), concentration factor
};

class SurfaceRoutingTest : public SubModelTest {
 protected:
  using Rows = std::vector<std::vector<double>>;

  explicit SurfaceRoutingTest(int rows = 3, int cols = 3)
      : SubModelTest(rows, cols), rows_(rows), cols_(cols) {
    setup_.input_directory = dir_.path().string() + "/";
    setup_.output_directory = dir_.path().string() + "/";
    landuse_[0].SetCode(1);
    landuse_[1].ParseEntry(
        diag_,
        "1 grass method VariableDayCount { RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45;"
        " Albedo = 0.25 0.20 0.25; rsc = 80 60 80; LAI = 1 4 1; Z0 = 0.02 0.1 0.02;"
        " VCF = 0.5 0.9 0.5; RootDepth = 0.2 0.5 0.2; AltDep = 0 0.01 0; JulDays = 1 180 366;"
        " SR_K_ST = 25; }",
        "VariableDayCount");
    setup_.landuse_table = landuse_.data();
    Add("zonegrid", Fill(1));
    Add("[elevation_model]", Fill(100));
  }
  ~SurfaceRoutingTest() override { Release(); }

  void Release() {
    if (model_) model_->ReleaseArrays(false);
    model_.reset();
  }
  // One strip of the 3 rows per process, in rank order.
  void SplitRows() {
    const int size = Size(), rank = Rank();
    setup_.first_local_row = 1 + rows_ * rank / size;
    setup_.last_local_row = rows_ * (rank + 1) / size;
  }
  void Add(const std::string& name, const Rows& rows) {
    grids_[name] = MakeGrid(diag_, rows);
    registry_.Register(diag_, registry_.FirstFreeIndex(), name + ".asc", grids_[name].get(),
                       nullptr, 0, name, 0, 1, rows_, cols_, rows_);
  }
  // The input grids the model requires, after the two first entries.
  void AddInputs() {
    for (const char* name :
         {"landuse1", "vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp",
          "directflow", "interflow", "river_depth", "river_width", "river_links"})
      Add(name, Fill(std::string(name) == "landuse1" ? 1 : 0));
  }
  Rows Fill(double value) const { return Rows(rows_, std::vector<double>(cols_, value)); }
  double** G(const std::string& name) { return grids_.at(name).get(); }

  static std::string Section(const SurfaceSection& s) {
    const std::string code = " " + std::to_string(s.statistics_code) + "\n";
    return "[SurfaceRoutingModel]\n" + std::to_string(s.flow_control) +
           " flow control parameter for\n" + s.interval + " time interval for\n" +
           std::to_string(s.method) + " method for flowpath-calculation\nqd.sta" + code + "qi.sta" +
           code + "qb.sta" + code + "qg.sta" + code + "velocity.stk\n0\nfluxes.stk\n0\n" + s.anl +
           s.velocity_error + "\n" + s.velocity_steps + "\n" + s.minimum +
           " minimum sub time step\n" + s.maximum + " maximum sub time step\n" +
           s.depth_and_factor + "0 read control\n" + s.last_line;
  }
  // Constructs the model; returns its construction error.
  int Make(const SurfaceSection& s = {}) {
    Release();
    WriteControlFile(Section(s));
    model_ = std::make_unique<surfaceroutingclass>(setup_, 1);
    return model_->ConstructionError();
  }
  // Construction, tracer set-up and the hand-overs of a run.
  void Start(double kelsqd = 0, double kelsqi = 0, double baseflow = 0,
             const SurfaceSection& section = {}) {
    ASSERT_EQ(Make(section), 0) << screen_.str();
    int32_t error = 0;
    model_->SetupTracers(error, 0, nullptr, nullptr, 0);
    ASSERT_EQ(error, 0);
    model_->SetInitialised(1);
    kelsqd_.assign(2, kelsqd);
    kelsqi_.assign(2, kelsqi);
    baseflow_.assign(2, baseflow);
    // The base flow's water, then a concentration list per tracer (a test runs at most three):
    // none, so the base flow carries no solute.
    baseflow_lists_ = {baseflow_.data(), nullptr, nullptr, nullptr};
    model_->SetBaseflow(baseflow_lists_.data());
    model_->SetDirectRunoffRecessionConstants(kelsqd_.data());
    model_->SetInterflowRecessionConstants(kelsqi_.data());
  }
  // Enters `runoff` of every own cell into its flow time zone (1 without "flow_times"), as the
  // solver does in one sub-step, for direct runoff and interflow alike.
  void EnterRunoff(double runoff) {
    for (long r = setup_.first_local_row; r <= setup_.last_local_row; ++r)
      for (long c = 1; c <= 3; ++c) {
        const double t = model_->flow_times != nullptr ? model_->flow_times[r][c] : 1;
        if (t < 0) continue;
        model_->AddToFlowTimeZone(model_->zoneFZT_QD, 0, 1, static_cast<int>(t), runoff, 1);
        model_->AddToFlowTimeZone(model_->zoneFZT_QI, 0, 1, static_cast<int>(t), runoff, 1);
      }
  }
  void Step(double runoff) {
    model_->BeginStep(1, 1, 1, 2001);
    EnterRunoff(runoff);
    model_->FinishStep();
  }

  int rows_ = 3, cols_ = 3;
  std::vector<LanduseRecord> landuse_ = std::vector<LanduseRecord>(2);
  std::map<std::string, GridMatrix> grids_;
  std::unique_ptr<surfaceroutingclass> model_;
  std::vector<double> kelsqd_, kelsqi_, baseflow_;
  std::vector<double*> baseflow_lists_;
};

// A basin of rows x cols cells of 10 m, grids set by the test before Start.
class SurfaceBasin : public SurfaceRoutingTest {
 protected:
  SurfaceBasin(int rows, int cols) : SurfaceRoutingTest(rows, cols) {
    setup_.cellsize = 10;
    AddInputs();
  }
  void Channel(int r, int c) { G("river_depth")[r][c] = G("river_width")[r][c] = 1; }
  SurfaceSection Section(int method, const std::string& interval, const std::string& minimum,
                         const std::string& maximum) const {
    SurfaceSection s;
    s.method = method;
    s.interval = interval;
    s.minimum = minimum;
    s.maximum = maximum;
    return s;
  }
  // One sub-step with `runoff` mm of new direct runoff on every cell; returns the water that
  // reached channel cells (mm summed over cells).
  double Route(double runoff) {
    for (int r = 1; r <= rows_; ++r)
      for (int c = 1; c <= cols_; ++c) G("directflow")[r][c] = runoff;
    model_->RunStep(0, 1, 6, 2001);
    return ChannelWater();
  }
  double ChannelWater() {
    double sum = 0;
    for (int r = 1; r <= rows_; ++r)
      for (int c = 1; c <= cols_; ++c)
        if (model_->ChannelCell(r, c)) sum += G("directflow")[r][c];
    return sum;
  }
  double Storage() {
    double sum = 0;
    for (int r = 1; r <= rows_; ++r)
      for (int c = 1; c <= cols_; ++c) sum += G("SurfStorSiltingUp")[r][c];
    return sum;
  }
  double** Head() { return model_->grid_data[kSurfHead]; }
};

}  // namespace velorn::test

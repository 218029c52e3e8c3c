// The step frame of the surface routing model: flow-travel-time zones, delay lines, linear
// storages and total runoff, and the storage section of the state file.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "core/error_code.h"
#include "core/tracer_bookkeeping.h"
#include "tests/lateral/surface_routing_harness.h"
#include "tests/support/test_files.h"

namespace velorn::test {
namespace {

class SurfaceFrameTest : public SurfaceRoutingTest {
 protected:
  SurfaceFrameTest() : previous_(std::filesystem::current_path()) {
    AddInputs();
    std::filesystem::current_path(dir_.path());  // the process log "modell_0.log"
  }
  ~SurfaceFrameTest() override {
    Release();
    std::filesystem::current_path(previous_);
  }
  std::filesystem::path previous_;
  std::string Log() const { return ReadText(dir_ / "modell_0.log"); }
  static std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  const ZoneRecord& Zone(int j) const { return model_->zoneFZT_QD[0][1][j]; }
};

TEST_F(SurfaceFrameTest, FlowTimeZonesGiveSharesAndDelayTheRunoff) {
  Add("flow_times", {{1, 1, 2}, {2, 2, 3}, {3, 3, 3}});
  Start();
  ASSERT_EQ(model_->maxzeit[1], 3);
  EXPECT_DOUBLE_EQ(Zone(1)[3], 2.0 / 9);
  EXPECT_DOUBLE_EQ(Zone(2)[3], 3.0 / 9);
  EXPECT_DOUBLE_EQ(Zone(3)[3], 4.0 / 9);
  EXPECT_EQ(Zone(3)[2], 3);
  EXPECT_NE(Log().find("TG\t   1\t(  3\tZonen):\t0.222\t0.333\t0.444\n"), std::string::npos);
  // One unit entered in zone 3 reaches it at the end of the step and record 1 two steps later.
  model_->BeginStep(1, 1, 1, 2001);
  model_->AddToFlowTimeZone(model_->zoneFZT_QD, 0, 1, 3, 1.0, 1.0);
  EXPECT_EQ(Zone(3)[1], 0.0);
  model_->FinishStep();
  EXPECT_EQ(Zone(3)[1], 1.0);
  model_->BeginStep(2, 1, 1, 2001);
  EXPECT_EQ(Zone(1)[1], 0.0);
  EXPECT_EQ(Zone(2)[1], 1.0);
  model_->FinishStep();
  model_->BeginStep(3, 1, 1, 2001);
  EXPECT_EQ(Zone(1)[1], 1.0);
  EXPECT_EQ(Zone(3)[1], 0.0);
}

TEST_F(SurfaceFrameTest, ConstantRunoffReachesTheOutletUndilutedFromTheFirstStep) {
  Add("flow_times", {{1, 1, 2}, {2, 2, 3}, {3, 3, 3}});
  Start(/*kelsqd=*/0, /*kelsqi=*/0, /*baseflow=*/0.25);
  for (int step = 1; step <= 4; ++step) {
    Step(2.0);
    EXPECT_EQ(model_->QD[0][1], 2.0) << step;
    EXPECT_EQ(model_->Qg[0][1], 4.25) << step;  // QDd + QIi + QBb with k = 0
  }
}

TEST_F(SurfaceFrameTest, UnusableFlowTimesAndEmptyZones) {
  // Nodata and negative flow times belong to no zone and are reported once.
  Add("flow_times", {{1, -9999, 2}, {2, -3, 2}, {1, 1, 1}});
  Start();
  EXPECT_TRUE(ScreenHas("2 cells of flow_times.asc hold no flow travel time"));
  EXPECT_DOUBLE_EQ(Zone(1)[3], 4.0 / 7);
  Release();
  double** t = grids_["flow_times"].get();
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 3; ++c) t[r][c] = 0.5;  // all in record 0: maxzeit 0
  ASSERT_EQ(Make(), 0);
  int32_t error = 0;
  const auto set_up = [&] { model_->SetupTracers(error, 0, nullptr, nullptr, 0); };
  EXPECT_EQ(CodeOf(set_up), kSurfaceFlowTimeCellsCode);
  EXPECT_TRUE(ScreenHas("all cells in flow_times.asc, subbasin 1 are NODATA!"));
  grids_["flow_times"].get()[3][3] = 2;  // zone 2 only: the first zone is empty
  ASSERT_EQ(Make(), 0);
  EXPECT_EQ(CodeOf(set_up), kSurfaceFirstZoneCode);
}

TEST_F(SurfaceFrameTest, StoragesFollowTheLinearReservoirAndEmptyOutletsGiveZero) {
  Start(/*kelsqd=*/120, /*kelsqi=*/0, /*baseflow=*/0.5);
  EXPECT_NE(Log().find("flow time distribution will not be calculated (no flow time grid "
                       "provided)\n"),
            std::string::npos);
  const double e = std::exp(-60.0 / 120);
  for (int n = 1; n <= 5; ++n) {
    Step(3.0);
    EXPECT_NEAR(model_->QDd[0][1], 3.0 * (1 - std::pow(e, n)), 1e-12) << n;
    EXPECT_EQ(model_->QIi[0][1], 3.0);
    EXPECT_DOUBLE_EQ(model_->Qg[0][1], model_->QDd[0][1] + 3.0 + 0.5);
  }
  // A step in which no cell enters runoff: no weight at the outlet gives 0, not NaN.
  model_->BeginStep(1, 1, 1, 2001);
  model_->FinishStep();
  EXPECT_EQ(model_->QD[0][1], 0.0);
  EXPECT_FALSE(std::isnan(model_->Qg[0][1]));
}

TEST_F(SurfaceFrameTest, TotalRunoffMixesTheTracerConcentrationsOfItsThreeFlows) {
  Add("_CONC_QD_1_", Fill(5));
  Add("_CONC_QI_1_", Fill(1));
  std::vector<TracerDefinition> tracers(2);
  tracers[1].name = "cl_";
  tracers[1].half_time = -9999;
  ASSERT_EQ(Make(), 0);
  int32_t error = 0;
  model_->SetupTracers(error, 1, tracers.data(), nullptr, 0);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(model_->surface_from_silting, 0);  // its own surface concentration grid
  std::vector<double> kelsq(2, 0.0), base{0, 0.5}, base_conc{0, 3};
  std::vector<double*> baseflow{base.data(), base_conc.data()};
  model_->SetBaseflow(baseflow.data());
  model_->SetDirectRunoffRecessionConstants(kelsq.data());
  model_->SetInterflowRecessionConstants(kelsq.data());
  model_->BeginStep(1, 1, 1, 2001);
  EnterRunoff(2.0);  // water: 2 per cell; the tracer: its mass c q with weight q
  for (int cell = 0; cell < 9; ++cell) {
    model_->AddToFlowTimeZone(model_->zoneFZT_QD, 1, 1, 1, 5 * 2.0, 2.0);
    model_->AddToFlowTimeZone(model_->zoneFZT_QI, 1, 1, 1, 1 * 2.0, 2.0);
  }
  model_->FinishStep();
  EXPECT_EQ(model_->QDd[1][1], 5.0);
  EXPECT_EQ(model_->Qg[0][1], 4.5);
  EXPECT_DOUBLE_EQ(model_->Qg[1][1], (0.5 * 3 + 2 * 1 + 2 * 5) / 4.5);
  Release();
  EXPECT_EQ(registry_.FindIdentifier("concstor_tracer_1_SiltingUpModel"), 0);
}

TEST_F(SurfaceFrameTest, StateSectionRoundTripAndChecks) {
  Add("flow_times", {{1, 1, 2}, {2, 2, 2}, {2, 2, 2}});
  Start(60, 60);
  Step(1.0 / 3);
  model_->AddToFlowTimeZone(model_->zoneFZT_QD, 0, 1, 2, 0.5, 1);
  model_->ReadStorageState("state_0", 0);  // mode 0 reads nothing, keeps the name
  WriteFile(dir_ / "state_0", "[unsatzone]\nother section\n");
  model_->WriteStorageState(true);
  // QD = 1/3 passes a storage with e = exp(-1): QDd = (1 - e) / 3 = 0.2107068...
  const std::string text = ReadText(dir_ / "state_0");
  EXPECT_TRUE(
      text.starts_with("[unsatzone]\nother section\n[SurfaceRoutingModel]\n1 (number of subasins)\n"
                       "0 (number of tracers)\n0 (0=runoff, 1...9 = tracers)\n"
                       "1 2 (zone 1 and maxzeit)\n"
                       "2 0.66666666666666"))
      << text;
  EXPECT_TRUE(text.ends_with(" (QIi[0][1])\n\n")) << text;
  EXPECT_DOUBLE_EQ(model_->QDd[0][1], (1 - std::exp(-1.0)) / 3);
  // A warm start continues from the state exactly: every value reads back to the same double.
  auto first = std::move(model_);
  Start(60, 60);
  model_->ReadStorageState("state_0", 1);
  for (int j = 1; j <= 2; ++j)
    for (int f = 0; f < 5; ++f) {
      EXPECT_EQ(model_->zoneFZT_QD[0][1][j][f], first->zoneFZT_QD[0][1][j][f]);
      EXPECT_EQ(model_->zoneFZT_QI[0][1][j][f], first->zoneFZT_QI[0][1][j][f]);
    }
  EXPECT_EQ(model_->QDd[0][1], first->QDd[0][1]);
  EXPECT_EQ(model_->QIi[0][1], first->QIi[0][1]);
  for (surfaceroutingclass* m : {model_.get(), first.get()}) {
    m->BeginStep(1, 1, 1, 2001);
    m->FinishStep();
  }
  EXPECT_EQ(model_->Qg[0][1], first->Qg[0][1]);
  // A file written with six significant digits still reads, to those digits.
  WriteFile(dir_ / "state_2",
            "[SurfaceRoutingModel]\n1 (number of subasins)\n0 (number of tracers)\n"
            "0 (0=runoff, 1...9 = tracers)\n1 2 (zone 1 and maxzeit)\n"
            "2 0.666667 1 0.222222 2 (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
            "2 0.666667 1 0.222222 2 (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
            "8 2.83333 2 0.777778 8 (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
            "7 2.33333 2 0.777778 7 (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n"
            "0.210707 (QDd[0][1])\n0.210707 (QIi[0][1])\n\n");
  {
    auto exact = std::move(model_);
    Start(60, 60);
    model_->ReadStorageState("state_2", 1);
    EXPECT_EQ(model_->zoneFZT_QD[0][1][2][1], 2.83333);
    EXPECT_EQ(model_->QDd[0][1], 0.210707);
    model_->ReleaseArrays(false);
    model_ = std::move(exact);
  }
  first->ReleaseArrays(false);  // create: replaces the file
  const std::string created = ReadText(dir_ / "state_0");
  EXPECT_EQ(created.find("[SurfaceRoutingModel]"), 0u);
  // A changed zone count, and a value that cannot be read (a word, a decimal comma, a unit
  // written onto it: none is taken as the number before it), stop the warm start with 71.
  const std::pair<const char*, const char*> faults[] = {
      {"reading maxzeit of actual subbasin", ""},
      {"reading QDd", "x"},
      {"reading QDd", "0,5"},
      {"reading QDd", "0.5mm"}};
  for (const auto& [message, word] : faults) {
    std::string changed = created;
    if (*word != '\0') {
      const std::size_t end = changed.find(" (QDd");
      const std::size_t begin = changed.rfind('\n', end) + 1;
      changed.replace(begin, end - begin, word);
    } else {
      changed.replace(changed.find("1 2 (zone"), 3, "1 3");
    }
    Start(60, 60);  // after the release of the last model, which writes its section
    WriteFile(dir_ / "state_1", changed);
    EXPECT_EQ(CodeOf([&] { model_->ReadStorageState("state_1", 3); }), kSurfaceStorageMismatchCode);
    EXPECT_TRUE(ScreenHas(message)) << message;
  }
  Start();
  model_->ReadStorageState("missing", 1);
  EXPECT_TRUE(ScreenHas("error opening storage content file"));
  ASSERT_EQ(Make(), 0);  // Qg asked for before the tracer set-up
  EXPECT_THROW(model_->GetQg(), ErrorCode);
  EXPECT_TRUE(ScreenHas("Qg (surface routing) not initialized"));
}

}  // namespace
}  // namespace velorn::test

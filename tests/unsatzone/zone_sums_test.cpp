// The end of the soil zone's sub-step and of its run on the fixture basin (eight subbasins of
// one cell each, hourly steps, kelsqd 2 h): glacier shares in the zone sums and the tables of
// the storage outflows, the flow-time zone of a cell with surface routing, response units, the
// tracer set-up and a tracer's mass through the flow-time zones and the storage, the end-of-run
// lines and what a never-initialised model leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/string_helpers.h"
#include "core/tracer_bookkeeping.h"
#include "setup/response_units.h"
#include "tests/support/soil_column_fixture.h"

namespace velorn {
namespace {

using M = unsatzonmodellklasse;

class ZoneSums : public test::SoilColumnTest {
 protected:
  void Build(int tracers = 0) {
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    int32_t error = -1;
    model_->SetupTracers(error, tracers, definitions_.data(), nullptr, 0);
    ASSERT_EQ(error, 0) << screen_.str();
  }
  // Four subbasins of two cells each, the first cell of each in zone 1, the second in zone 3.
  void TwoCellSubbasinsWithFlowTimes() {
    section_.codes = "1 4";
    double** zones = grids_["zonegrid_soilmodel"].get();
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) zones[r][c] = 2 * (r - 1) + (c + 1) / 2;
    GridMatrix& flow =
        grids_.count("flow_times") ? grids_["flow_times"] : Add("flow_times", Fill(0));
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) flow.get()[r][c] = c % 2 == 1 ? 3600.0 : 3 * 3600.0;
  }
  void Set(M::OwnGrid grid, double value) {
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) model_->Grid(grid)[r][c] = value;
  }
  double** Registered(const std::string& identifier) {
    const int index = registry_.FindIdentifier(identifier);
    return index > 0 ? registry_[index].grid : nullptr;
  }
  double*** RegisteredStack(const std::string& identifier) {
    const int index = registry_.FindIdentifier(identifier);
    return index > 0 ? registry_[index].stack : nullptr;
  }
  TracerDefinition Tracer(const std::string& name, int evaporating) {
    TracerDefinition d;
    d.name = name;
    d.evaporating = evaporating;
    d.soilini = 5;
    d.gwini = 2;
    d.half_time = -9999;
    d.path = dir_.path().string() + "/";
    d.statext = "sta";
    d.gridext = "stk";
    return d;
  }
  // Lines of the log of process 0 that contain `text`.
  std::vector<std::string> LogLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(test::ReadFile(dir_.path() / "modell_0.log"));
    for (std::string line; std::getline(in, line);)
      if (line.find(text) != std::string::npos) lines.push_back(line);
    return lines;
  }
  test::UnsatSection section_;
  std::vector<TracerDefinition> definitions_ = std::vector<TracerDefinition>(1);
};

// A glacier share 0.3 enters with weight 0.7 and its values and with 0.3 and nothing; 1.7 counts
// as a whole glacier. The tables of the storage outflows show what FinishStep formed.
TEST_F(ZoneSums, GlacierShareWeighsTheCellAndTablesShowTheStorageOutflow) {
  section_.statistics_code = 2001;
  Add("ice_firn", {{0, 0.3, 1.7, 0}, {0, 0, 0, -0.2}});
  Build();
  model_->BeginStep(1, 7, 12, 2026);
  Set(M::kDirectflow, 2.0);
  Set(M::kInterflow, 1.0);
  Set(M::kSoilMoistureRoot, 0.5);
  model_->AddZoneSums();
  const auto& sb1 = model_->statistics[M::kStatSB1].records;
  for (int s : {1, 2, 3}) {
    EXPECT_DOUBLE_EQ(sb1[s][0], 1.0);
    EXPECT_DOUBLE_EQ(sb1[s][4], 1.0);
  }
  EXPECT_DOUBLE_EQ(sb1[1][1], 0.5);
  EXPECT_DOUBLE_EQ(sb1[2][1], 0.35);
  EXPECT_DOUBLE_EQ(sb1[3][1], 0.0);

  const double base = model_->Grid(M::kBaseflow)[1][2];
  model_->FinishStep();
  // The step's entries reach the flow-time records at the end of the step.
  const auto& qd = model_->runoff.zoneFZT_QD[0];
  EXPECT_DOUBLE_EQ(qd[1][1][1], 2.0);
  EXPECT_DOUBLE_EQ(qd[2][1][1], 1.4);
  EXPECT_DOUBLE_EQ(qd[3][1][1], 0.0);
  EXPECT_DOUBLE_EQ(qd[8][1][1], 2.0);  // -0.2: no glacier
  for (int s : {1, 2, 3}) {
    EXPECT_DOUBLE_EQ(qd[s][1][0], 1.0);
    EXPECT_DOUBLE_EQ(qd[s][1][4], 1.0);
  }
  const double e = std::exp(-0.5);
  const RunoffConcentration& q = model_->runoff;
  EXPECT_NEAR(q.QDd[0][2], 1.4 * (1 - e), 1e-15);
  EXPECT_NEAR(q.QBb[0][2], 0.7 * base, 1e-15);
  // The rows hold the subbasins' outflows (column s), not sums of cells.
  EXPECT_DOUBLE_EQ(model_->statistics[M::kStatQD].table->current_values()[2], q.QDd[0][2]);
  EXPECT_DOUBLE_EQ(model_->statistics[M::kStatQB].table->current_values()[2], q.QBb[0][2]);
  EXPECT_DOUBLE_EQ(model_->statistics[M::kStatQg].table->current_values()[2], q.Qg[0][2]);
  EXPECT_DOUBLE_EQ(q.Qg[0][2], q.QDd[0][2] + q.QIi[0][2] + q.QBb[0][2]);
  EXPECT_DOUBLE_EQ(model_->statistics[M::kStatSB1].table->current_values()[2], 0.35);
}

TEST_F(ZoneSums, SurfaceRoutingPutsEveryCellInTheFirstZone) {
  for (bool routing : {false, true}) {
    TwoCellSubbasinsWithFlowTimes();
    ASSERT_EQ(Make(section_.Text()), 0) << screen_.str();
    model_->SetSurfaceRoutingActive(routing);
    int32_t error = -1;
    model_->SetupTracers(error, 0, nullptr, nullptr, 0);
    ASSERT_EQ(error, 0) << screen_.str();
    model_->BeginStep(1, 7, 12, 2026);
    Set(M::kDirectflow, 1.0);
    model_->AddZoneSums();
    model_->FinishStep();
    const auto& buffer = model_->runoff.zoneFZT_QD[0][4];
    EXPECT_DOUBLE_EQ(buffer[1][1], routing ? 2.0 : 1.0);
    EXPECT_DOUBLE_EQ(buffer[3][1], routing ? 0.0 : 1.0);
  }
}

TEST_F(ZoneSums, ResponseUnitMembersEqualTheirMaster) {
  Add("HydrologicResponseUnits", {{1, 1, 2, 2}, {1, 1, 2, 2}});
  Add("MasterHydrologicResponseUnits", {{1, N, 1, N}, {N, N, N, N}});
  std::vector<HruRecord> units = EmptyHruTable();
  units.push_back(HruRecord{1, "", 1, 1, 0});
  units.push_back(HruRecord{2, "", 1, 3, 0});
  setup_.response_unit_switch = 1;
  setup_.response_unit_table = &units;
  Build();
  double*** theta = model_->Stack(M::kTheta);
  double** direct = model_->Grid(M::kDirectflow);
  for (int k = 1; k <= 4; ++k) {
    theta[1][1][k] = 0.1 * k;
    theta[1][3][k] = 0.05 * k;
  }
  direct[1][1] = 5;
  direct[1][3] = 7;
  model_->CopyResponseUnitStates();
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      const int master = c <= 2 ? 1 : 3;
      EXPECT_EQ(direct[r][c], direct[1][master]) << r << " " << c;
      for (int k = 1; k <= 4; ++k) EXPECT_EQ(theta[r][c][k], theta[1][master][k]);
    }
}

TEST_F(ZoneSums, TracerStacksStartFromTheDefinitions) {
  TracerDefinition mass = Tracer("no3", 0);
  mass.radioactive = 1;
  mass.half_time = 1;  // day
  definitions_ = {TracerDefinition{}, Tracer("cl_", 1), mass};
  Build(2);
  double*** concentration = RegisteredStack("concstor_tracer_1_unsatzon_model");
  double*** masses = RegisteredStack("concstor_tracer_2_unsatzon_model");
  ASSERT_NE(concentration, nullptr);
  ASSERT_NE(masses, nullptr);
  double*** theta = model_->Stack(M::kTheta);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) {
      const int g = static_cast<int>(model_->Grid(M::kGroundwaterLevel)[r][c]);
      for (int k = 1; k <= 4; ++k) {
        const double initial = k < g ? 5.0 : 2.0;
        EXPECT_EQ(concentration[r][c][k], initial);
        EXPECT_DOUBLE_EQ(masses[r][c][k], initial * 1000 * theta[r][c][k] * 0.5);
      }
      // The top grid starts with the groundwater layer's concentration.
      EXPECT_DOUBLE_EQ(Registered("concstor_tracer_2_unsatzon_model")[r][c], 2.0);
    }
  EXPECT_NE(Registered("_CONC_QD_1_"), nullptr);
  EXPECT_NE(Registered("_CONC_QI_2_"), nullptr);
  // Half-life one day, hourly sub-steps: 0.5^(1/24) per sub-step.
  EXPECT_NEAR(model_->soil_tracers[2].decay, 0.9715319, 1e-7);
  EXPECT_EQ(model_->soil_tracers[1].decay, 1.0);
  EXPECT_EQ(model_->GetTotalRunoff()[2][1], 2.0);  // base flow carries the groundwater's
  model_->ReleaseTracers();
  EXPECT_EQ(registry_.FindIdentifier("concstor_tracer_1_unsatzon_model"), 0);
  EXPECT_EQ(registry_.FindIdentifier("_CONC_QD_1_"), 0);
  EXPECT_EQ(test::ThrownCode([&] { model_->GetTotalRunoff(); }), 57);
}

// Solute entering a subbasin in zones 1 and 3 leaves its storage with the water that carries
// it: the arriving concentration is the entering one, and the mass over the run is the mass put
// in (subbasin means: 2 mm of 4, then 6 mm of 1).
TEST_F(ZoneSums, TracerMassPassesTheFlowTimeZonesAndTheStorage) {
  TwoCellSubbasinsWithFlowTimes();
  definitions_ = {TracerDefinition{}, Tracer("cl_", 1)};
  Build(1);
  double** concentration = Registered("_CONC_QD_1_");
  const RunoffConcentration& q = model_->runoff;
  double mass = 0, water = 0;
  for (int step = 1; step <= 80; ++step) {
    model_->BeginStep(step % 24, 7, 12, 2026);
    // Step 1: 2 mm of concentration 4; step 2: 6 mm of concentration 1; then nothing.
    const double direct = step == 1 ? 2.0 : step == 2 ? 6.0 : 0.0;
    Set(M::kDirectflow, direct);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 4; ++c) concentration[r][c] = step == 1 ? 4.0 : 1.0;
    model_->AddZoneSums();
    model_->FinishStep();
    if (step == 3 || step == 4) {
      EXPECT_DOUBLE_EQ(q.QD[1][1], step == 3 ? 4.0 : 1.0);
    }
    mass += q.QDd[0][1] * q.QDd[1][1];
    water += q.QDd[0][1];
  }
  EXPECT_NEAR(water, 8.0, 1e-12);
  EXPECT_NEAR(mass, 2 * 4.0 + 6 * 1.0, 1e-12);
}

// Without weights and with "ice_firn" 1.7 at one cell: the unglacierized mean is the other
// cells' column water over all eight, the glacierized one that cell's pore volume over eight.
TEST_F(ZoneSums, EndOfRunLinesAreTheMeanColumnWater) {
  section_.control_point = "1 2";
  Add("ice_firn", {{0, 0, 1.7, 0}, {0, 0, 0, -0.2}});
  Build();
  model_->SetInitialised(1);
  double*** theta = model_->Stack(M::kTheta);
  double free_water = 0;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c)
      for (int k = 1; k <= 4; ++k)
        if (r != 1 || c != 3) free_water += theta[r][c][k] * 0.5;
  double control = 0;
  for (int k = 1; k <= 4; ++k) control += theta[1][2][k] * 500;
  const double pores = 4 * 0.43 * 0.5;
  model_->FinishRun(false);
  model_.reset();
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "storage_0"));
  const auto lines = LogLines("model-end");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], FormatText("(mpi_rank 0) soil water content (control point r=1 c=2) at "
                                 "model-end: %lf mm",
                                 control));
  EXPECT_NE(lines[1].find(FormatText(": %lf m^3", free_water / 8 + pores / 8)), std::string::npos);
  EXPECT_NE(lines[2].find(FormatText(": %lf m^3", free_water / 8)), std::string::npos);
  EXPECT_NE(lines[3].find(FormatText(": %lf m^3", pores / 8)), std::string::npos);
  EXPECT_EQ(registry_.FindIdentifier("theta"), 0);
}

TEST_F(ZoneSums, NeverInitialisedModelWritesNothingButReleasesItsData) {
  Build();
  model_->FinishRun(true);
  model_.reset();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "storage_0"));
  EXPECT_TRUE(LogLines("model-end").empty());
  EXPECT_EQ(registry_.FindIdentifier("theta"), 0);
  EXPECT_EQ(registry_.FindIdentifier("directflow"), 0);
}

// A log that cannot be opened is an ERROR entry; the rest of the shut-down still runs.
TEST_F(ZoneSums, UnopenableLogEndsTheRunAfterTheShutDown) {
  Build();
  model_->SetInitialised(1);
  std::filesystem::remove(dir_.path() / "modell_0.log");
  std::filesystem::create_directory(dir_.path() / "modell_0.log");
  EXPECT_EQ(test::ThrownCode([&] { model_->FinishRun(false); }, 0), kWriteErrorCode);
  model_.reset();
  EXPECT_TRUE(ScreenHas("cannot open modell_0.log: Is a directory"));
  EXPECT_EQ(registry_.FindIdentifier("theta"), 0);
}

}  // namespace
}  // namespace velorn

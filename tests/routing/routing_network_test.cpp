// Steps of small river networks through the routing model: the water balance of the network,
// the discharge unit, the initialisation passes, the goodness of fit against observed
// discharges and the storage file (warm start, refusals).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "tests/routing/routing_model_fixture.h"

namespace velorn::test {
namespace {

// 11 and 12 drain into 13; 13 and (as a list channel without members) 14 drain into 15. Listed
// upstream first.
std::string NetworkChain() {
  return "TG 13 (A=60, f=1) OL 11 " + ChannelValues(2, 8000, 10) + " OL 12 " +
         ChannelValues(3, 12000, 20) + "\nTG 15 (A=150, f=1) OL 13 " + ChannelValues(4, 20000, 60) +
         "\nSUMTRIB 14 " + ChannelValues(1, 5000, 40) + "\n";
}

class RoutingNetworkTest : public RoutingModelTest {
 protected:
  // Water in mm · km² of step n: the runoff of all subbasins.
  double RunoffVolume() const {
    double volume = 0;
    for (std::size_t k = 1; k < runoff_[0].size(); ++k) volume += runoff_[0][k] * zones_[k][3];
    return volume;
  }
  std::string StatePath() const { return dir_ / "state.txt"; }
};

TEST_F(RoutingNetworkTest, NetworkConservesWater) {
  Write(Header("1 1000 50 3"), NetworkChain());
  SetPulse(0);
  auto model = Start();
  ASSERT_TRUE(model);
  const double stored_before = model->ChannelStorage();
  double in = 0;
  double out = 0;
  for (int n = 0; n < 60; ++n) {
    SetPulse(n);
    in += RunoffVolume();
    Step(*model, n);
    out += model->Flows()[0][5] * 150.0;  // mm over A / f = 150 km² at the basin outlet
  }
  const double stored_after = model->ChannelStorage();
  EXPECT_GT(stored_after, 0.0);
  EXPECT_NEAR(in, out + stored_after - stored_before, 1e-9 * in);
  // The water left the basin: a downstream stretch saw its tributaries' routed water.
  EXPECT_GT(out, 0.5 * in);
}

TEST_F(RoutingNetworkTest, DischargeInCubicMetresPerSecond) {
  Write(Header(), "TG 13 (A=60, f=2) OL 11 " + ChannelValues(1, 3000, 10) + "\n", 1);
  runoff_[0] = {0, 1.5, 2.5, 3.5, 0.5, 0.25};
  auto model = Start();
  ASSERT_TRUE(model);
  Step(*model, 0);
  double** flows = model->Flows();
  EXPECT_EQ(model->Unit(), 1);
  // mm per step · km² · 16.6666667 / dt, divided by f at a stretch outlet.
  EXPECT_DOUBLE_EQ(model->OutputDischarge(2), 2.5 * 20 * 16.6666667 / 60);
  // The stretch of 13 covers 11 and 13: 40 km².
  EXPECT_DOUBLE_EQ(model->OutputDischarge(3), flows[0][3] * 40 * 16.6666667 / 60 / 2);
}

TEST_F(RoutingNetworkTest, InitialisationPassesCoverTheTravelTimes) {
  Write(Header(), NetworkChain());
  auto model = Start();
  ASSERT_TRUE(model);
  // The slowest row of each channel (the smallest discharge): length / velocity, in whole hours.
  double hours = 0;
  for (int32_t n = 1; n <= model->StretchCount(); ++n) {
    int32_t largest = 0;
    for (int32_t i = 1; i <= model->Stretch(n).ItemCount(); ++i) {
      const ChannelRecord& r = model->Stretch(n).Channel(i);
      const double length = model->Stretch(n).Parameters(i).length;
      largest = std::max(largest, static_cast<int32_t>(length / r.v[r.rows + 1] / 3600.0));
    }
    hours += largest;
  }
  const int passes = std::max(1, static_cast<int>(std::ceil(hours * 60 / 60)));
  EXPECT_GT(passes, 1);
  EXPECT_TRUE(
      ScreenHas("routing the initialization discharges (" + std::to_string(passes) + " times)"));
  screen_.str("");
  auto read_state = Start(1);
  EXPECT_FALSE(ScreenHas("routing the initialization discharges"));
}

TEST_F(RoutingNetworkTest, ObservedSeriesTwoStepsLateFitsAtLagTwo) {
  Write(Header(), NetworkChain());
  constexpr int kSteps = 40;
  SetPulse(0);
  auto first = Start();
  ASSERT_TRUE(first);
  const std::vector<double> simulated = RunPulse(*first, 0, kSteps, 5);  // unit 0: as output
  first.reset();
  // Row i holds the simulated value of step i - 2; the file runs past the last step.
  std::string text = "YY MM DD HH Q\n";
  for (int i = 0; i < kSteps + 12; ++i) {
    char row[128];
    const double value = i >= 2 && i - 2 < kSteps ? simulated[i - 2] : 1.0;
    std::snprintf(row, sizeof row, "2001 1 %d %d %.17g\n", 1 + i / 24, i % 24, value);
    text += row;
  }
  WriteFile(dir_ / "qobs.txt", text);
  Write(Header("1 1000 50 2", dir_ / "qobs.txt", "1\n15 1\n"), NetworkChain());
  SetPulse(0);
  auto model = Start();
  ASSERT_TRUE(model);
  RunPulse(*model, 0, kSteps, 5);
  const int lag_two = kGoodnessOfFitMaxLag + 2;
  for (const GoodnessOfFitTable* table : {&model->LinearFit(), &model->LogarithmicFit()}) {
    const GoodnessOfFitSums& sums = (*table)[lag_two][5];
    EXPECT_EQ(sums.count, kSteps);
    EXPECT_NEAR(sums.squared_error_sum, 0.0, 1e-20);
    EXPECT_DOUBLE_EQ(GoodnessOfFit(sums, false), 1.0);
    EXPECT_LT(GoodnessOfFit((*table)[kGoodnessOfFitMaxLag][5], false), 1.0);
  }
  EXPECT_EQ(model->LinearFit()[lag_two][1].count, 0);  // subbasin 11 has no column
}

// With flow control 2 an observed discharge, in the routed discharge's unit, takes the simulated
// one's place at its gauge, at the outlet of 13 (a stretch's outlet) or of 11 (a subbasin no
// stretch routes, whose runoff it replaces): the stretches below route it on, and what it put in
// or took out is booked, so the network's water closes with it. The statistics table keeps what
// was routed to the gauge (the run without substitution's), and step n takes the record of its
// own date (row n of the file, 3 + n / 10).
TEST_F(RoutingNetworkTest, ObservedDischargeTakesTheSimulatedPlaceBelowItsGauge) {
  std::string text = "YY MM DD HH Q\n";
  for (int i = 0; i < 40; ++i)
    text += "2001 1 " + std::to_string(1 + i / 24) + " " + std::to_string(i % 24) + " " +
            std::to_string(3.0 + 0.1 * i) + "\n";
  WriteFile(dir_ / "qobs.txt", text);
  Tracers(1);
  constexpr int kSteps = 30;  // the file's rows reach ten steps beyond
  for (const int gauge : {13, 11})
    for (const int unit : {0, 1}) {
      SCOPED_TRACE("gauge " + std::to_string(gauge) + ", unit " + std::to_string(unit));
      const std::string header =
          Header("1 1000 50 2", dir_ / "qobs.txt", "1\n" + std::to_string(gauge) + " 1\n");
      std::vector<double> routed;  // without substitution, at the gauge
      Write(header, NetworkChain(), unit, 1);
      SetPulse(0);
      auto plain = Start();
      ASSERT_TRUE(plain);
      for (int n = 0; n < kSteps; ++n) {
        SetPulse(n);
        Step(*plain, n);
        routed.push_back(plain->OutputDischarge(gauge - 10));
      }
      plain.reset();
      Write(header, NetworkChain(), unit, 2);
      SetPulse(0);
      auto model = Start();
      ASSERT_TRUE(model);
      // Water (tracer 0) and solute held in the channels (mm (x concentration) x km²).
      const auto stored = [&](int32_t tr) {
        return model->ChannelSolute(1, tr) + model->ChannelSolute(2, tr);
      };
      // The stretches of 13 and 15 book over their outlets' 60 and 150 km².
      const auto booked = [&](int32_t tr) {
        return model->Stretch(1).ObservedChange(tr) * 60.0 +
               model->Stretch(2).ObservedChange(tr) * 150.0;
      };
      const double water_before = stored(0), solute_before = stored(1);
      double in = 0, out = 0, solute_in = 0, solute_out = 0;
      for (int n = 0; n < kSteps; ++n) {
        SetPulse(n);
        in += RunoffVolume();
        for (std::size_t k = 1; k < runoff_[0].size(); ++k)
          solute_in += runoff_[0][k] * runoff_[1][k] * zones_[k][3];
        Step(*model, n);
        out += model->Flows()[0][5] * 150.0;
        solute_out += model->Flows()[0][5] * model->Flows()[1][5] * 150.0;
        EXPECT_NEAR(model->OutputDischarge(gauge - 10), routed[n], 1e-12 * routed[n] + 1e-15)
            << "step " << n;
        // At 13, in mm per step: the channels below take the observation of the step's date.
        if (gauge == 13 && unit == 0) {
          EXPECT_NEAR(model->Flows()[0][3], 3.0 + 0.1 * n, 1e-12) << "step " << n;
        }
      }
      EXPECT_NE(booked(0), 0.0);
      EXPECT_NEAR(in + booked(0), out + stored(0) - water_before, 1e-9 * in);
      EXPECT_NEAR(solute_in + booked(1), solute_out + stored(1) - solute_before, 1e-9 * solute_in);
    }
}

TEST_F(RoutingNetworkTest, EndOfTheObservedFileStopsTheComparison) {
  std::string text = "YY MM DD HH Q\n";
  for (int i = 0; i < 15; ++i) text += "2001 1 1 " + std::to_string(i) + " 2.5\n";
  WriteFile(dir_ / "qobs.txt", text);
  Write(Header("1 1000 50 2", dir_ / "qobs.txt", "1\n15 1\n"), NetworkChain());
  auto model = Start();
  ASSERT_TRUE(model);
  RunPulse(*model, 0, 20, 5);
  auto count = [&](const std::string& entry) {
    int n = 0;
    const std::string all = screen_.str();
    for (std::size_t at = all.find(entry); at != std::string::npos; at = all.find(entry, at + 1))
      ++n;
    return n;
  };
  // The window reads ten rows ahead: the last record (14 h) enters it in step 4, which says
  // once that the file ends. Every step up to 14 h is compared with its own record; the five
  // after it report the missing date. Ten steps ahead, only steps 0..4 have a record.
  EXPECT_EQ(count("end of discharge file reached!"), 1);
  EXPECT_EQ(count("h not found (end of discharge file at 1.1.2001, 14h)"), 5);
  EXPECT_TRUE(ScreenHas("observed runoff: actual date 1.1.2001 15h not found"));
  EXPECT_EQ(model->LinearFit()[kGoodnessOfFitMaxLag][5].count, 15);
  EXPECT_EQ(model->LinearFit()[2 * kGoodnessOfFitMaxLag][5].count, 5);
  EXPECT_EQ(model->LinearFit()[0][5].count, 15);
}

TEST_F(RoutingNetworkTest, WarmStartContinuesTheRun) {
  // An inflow channel of its own geometry into 14, which drains into 15: its state must survive
  // the storage file, and with a tracer the concentrations of every channel's storages.
  Write(Header("1 1000 50 3"), "TG 14 (A=40, f=1) ZL 1 = constant 0.4 " +
                                   ChannelValues(2, 15000, 5) + "\n" + NetworkChain());
  constexpr int kHalf = 12;
  Tracers(1);
  SetPulse(0);
  auto model = Start();
  ASSERT_TRUE(model);
  const std::vector<double> cold = RunPulse(*model, 0, 2 * kHalf, 5);
  const std::string name = "state.txt";
  std::vector<double> inflow_outflow;
  {
    SetPulse(0);
    model = Start();
    ASSERT_TRUE(model);
    RunPulse(*model, 0, kHalf, 5);
    model->ReadStorageState(&name, 0);  // holds the name, reads nothing
    model->SetInitialised(1);
    inflow_outflow = model->Stretch(1).Channel(1).outflow;
    model->ReleaseMemory();  // writes the state
  }
  ASSERT_TRUE(std::filesystem::exists(StatePath()));
  SetPulse(kHalf);
  auto warm = Start(1);
  ASSERT_TRUE(warm);
  warm->ReadStorageState(&name, 1);
  // The inflow channel's sections come back from its own block.
  const std::vector<double>& restored = warm->Stretch(1).Channel(1).outflow;
  ASSERT_EQ(restored.size(), inflow_outflow.size());
  EXPECT_EQ(restored, inflow_outflow);
  // The state keeps every digit: the continued run (water and tracer) is the cold one.
  const std::vector<double> continued = RunPulse(*warm, kHalf, 2 * kHalf, 5);
  for (std::size_t i = 0; i < continued.size(); ++i)
    EXPECT_EQ(continued[i], cold[continued.size() + i]) << "value " << i;
}

TEST_F(RoutingNetworkTest, StorageFileRefusals) {
  Write(Header("1 1000 50 2"), NetworkChain());
  Tracers(1);
  const std::string name = "state.txt";
  {
    auto model = Start();
    ASSERT_TRUE(model);
    model->SetInitialised(1);
    model->ReleaseMemory();  // no name held: the default file in the output directory
  }
  const std::string written = ReadFile(dir_ / kDefaultStorageFile);
  EXPECT_EQ(written.rfind("[routing_model]\n13 (routing subbasin with tributaries 11 12\n", 0), 0u);
  std::filesystem::rename(dir_ / kDefaultStorageFile, StatePath());
  // As a writer that kept no concentrations of the channel storages left it.
  std::string older;
  for (const std::string& line : SplitLines(written))
    if (line.find("Cmix") == std::string::npos) older += line + "\n";
  EXPECT_LT(older.size(), written.size());
  WriteFile(dir_ / "older.txt", older);
  // As a writer that kept no schedule of the sections left it, and a schedule past the history.
  std::string unscheduled, beyond;
  for (const std::string& line : SplitLines(written)) {
    const bool schedule = line.find("last_and_storage") != std::string::npos;
    if (!schedule) unscheduled += line + "\n";
    beyond += (schedule ? "99999" + line.substr(line.find(' ')) : line) + "\n";
  }
  EXPECT_LT(unscheduled.size(), written.size());
  WriteFile(dir_ / "unscheduled.txt", unscheduled);
  WriteFile(dir_ / "beyond.txt", beyond);

  // Modes 0, 2 and 4 read nothing, not even a missing file.
  const std::string missing = "missing.txt";
  for (int mode : {0, 2, 4}) {
    auto model = Start(1);
    EXPECT_EQ(ThrownCode([&] { model->ReadStorageState(&missing, mode); }), -1) << mode;
  }
  struct Case {
    const char* name;
    std::string limits;
    std::string file;
    int32_t tracers;
    int code;
  };
  WriteFile(dir_ / "other.txt", "[unsatzon_model]\n1 2 3\n");
  const Case cases[] = {
      {"missing file", "1 1000 50 2", missing, 1, kRoutingStorageOpenCode},
      {"no routing section", "1 1000 50 2", "other.txt", 1, kRoutingStorageContentCode},
      {"other time splitting", "1 1000 50 3", name, 1, kRoutingStorageContentCode},
      {"other table intervals", "1 1000 20 2", name, 1, kRoutingStorageContentCode},
      {"more tracers", "1 1000 50 2", name, 2, kRoutingStorageContentCode},
      {"same network", "1 1000 50 2", name, 1, -1},
      {"written before the storages' concentrations were kept", "1 1000 50 2", "older.txt", 1, -1},
      {"written before the sections' schedule was kept", "1 1000 50 2", "unscheduled.txt", 1, -1},
      {"a scheduled position past the history", "1 1000 50 2", "beyond.txt", 1,
       kRoutingStorageContentCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(Header(c.limits), NetworkChain());
    Tracers(c.tracers);
    auto model = Start(1);
    ASSERT_TRUE(model);
    screen_.str("");
    EXPECT_EQ(ThrownCode([&] { model->ReadStorageState(&c.file, 1); }), c.code) << screen_.str();
    const bool older_file = c.file == "older.txt";
    EXPECT_EQ(ScreenHas("keeps no tracer concentrations of the channel storages"), older_file);
    const std::vector<double>& mixed = model->Stretch(1).Channel(1).mixed.back();
    EXPECT_TRUE(!older_file || *std::max_element(mixed.begin(), mixed.end()) == 0.0);
  }
}

TEST_F(RoutingNetworkTest, InternalInflowWithoutAbstractionIsRefused) {
  Write(Header(), "TG 13 (A=60, f=1) ZL 1 = intern " + ChannelValues(1, 3000, 5) + "\n");
  int32_t error = 0;
  auto model = Build(error);
  ASSERT_EQ(error, 0) << screen_.str();
  model->SetQg(RunoffRows());
  EXPECT_EQ(ThrownCode([&] { model->InitialiseRouting(); }), kRoutingInternalInflowCode);
  EXPECT_TRUE(ScreenHas("Internal Inflow ZL 1 has no conenction to an internal abstraction."));
}

}  // namespace
}  // namespace velorn::test

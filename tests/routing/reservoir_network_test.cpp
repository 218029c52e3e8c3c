// Reservoirs in a river network through the routing model: two reservoirs in a chain at the
// outlet of a stretch keep the water balance of the network, and a warm start from the storage
// file continues the run, every reservoir with its own state, running-mean list and the water
// it received through a hydraulic connection.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/routing/routing_model_fixture.h"

namespace velorn::test {
namespace {

// 11 and 12 drain into 13, whose outlet holds two reservoirs (the second with a running mean of
// three hours); 13 and 14 drain into 15.
std::string Network() {
  const std::string c0 = " C0 = 0 0 0 0 0 0 0 0 0";
  return "TG 13 (A=60, f=1) OL 11 " + ChannelValues(2, 8000, 10) + " OL 12 " +
         ChannelValues(3, 12000, 20) + "\nSP 1 file = r1.txt V0 = 4e5" + c0 +
         "\nSP 2 file = r2.txt V0 = 2e5" + c0 + " UseRunningAvg = 3\nTG 15 (A=150, f=1) OL 13 " +
         ChannelValues(4, 20000, 60) + "\nSUMTRIB 14 " + ChannelValues(1, 5000, 40) + "\n";
}

const char* const kRules =
    "[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 100\n\n"
    "[abstraction_rule_reservoir_2]\n3\n0 0\n1e5 0.5\n1e7 50\n\n";

class ReservoirNetworkTest : public RoutingModelTest {
 protected:
  void WriteNetwork() {
    Write(Header("1 1000 50 3"), Network());
    std::ofstream(setup_.control_file_name, std::ios::app) << kRules;
  }
  double RunoffVolume() const {
    double volume = 0;
    for (std::size_t k = 1; k < runoff_[0].size(); ++k) volume += runoff_[0][k] * zones_[k][3];
    return volume;
  }
  // Reservoir water in mm · km² (1 mm over 1 km² is 1000 m³).
  static double ReservoirWater(abflussmodellklasse& model) {
    return (model.Stretch(1).Reservoir(1).volume() + model.Stretch(1).Reservoir(2).volume()) /
           1000.0;
  }
};

TEST_F(ReservoirNetworkTest, ChainOfTwoReservoirsConservesWater) {
  WriteNetwork();
  SetPulse(0);
  auto model = Start();
  ASSERT_TRUE(model);
  ASSERT_EQ(model->Stretch(1).ReservoirCount(), 2);
  const double stored_before = model->ChannelStorage() + ReservoirWater(*model);
  double in = 0;
  double out = 0;
  for (int n = 0; n < 60; ++n) {
    SetPulse(n);
    in += RunoffVolume();
    Step(*model, n);
    out += model->Flows()[0][5] * 150.0;
    SP_class& first = model->Stretch(1).Reservoir(1);
    SP_class& second = model->Stretch(1).Reservoir(2);
    // The second reservoir receives what the first releases.
    EXPECT_NEAR(second.balance().m3s[kQin], first.outflow(), 1e-8 * first.outflow());
  }
  const double stored_after = model->ChannelStorage() + ReservoirWater(*model);
  EXPECT_NEAR(in, out + stored_after - stored_before, 1e-7 * in);
  EXPECT_GT(model->Stretch(1).Reservoir(1).outflow(), 0.0);
  model->FlushBuffers();
  // The balance file of reservoir 1: two header blocks, then a row per real step.
  std::ifstream file(dir_ / "r1.txt");
  int lines = 0;
  for (std::string line; std::getline(file, line);) ++lines;
  EXPECT_EQ(lines, 3 + 60);
}

// Two table reservoirs in one stretch with a running-mean list: the list ends its line in the
// storage file, so the second reservoir reads its own state.
TEST_F(ReservoirNetworkTest, WarmStartRestoresEveryReservoir) {
  WriteNetwork();
  constexpr int kHalf = 12;
  SetPulse(0);
  auto model = Start();
  ASSERT_TRUE(model);
  const std::vector<double> cold = RunPulse(*model, 0, 2 * kHalf, 5);
  const double cold_v1 = model->Stretch(1).Reservoir(1).volume();
  const double cold_v2 = model->Stretch(1).Reservoir(2).volume();
  const std::string name = "state.txt";
  std::deque<double> list;
  double v2 = 0;
  {
    SetPulse(0);
    model = Start();
    ASSERT_TRUE(model);
    RunPulse(*model, 0, kHalf, 5);
    model->ReadStorageState(&name, 0);
    model->SetInitialised(1);
    list = model->Stretch(1).Reservoir(2).history();
    v2 = model->Stretch(1).Reservoir(2).volume();
    model->ReleaseMemory();
  }
  ASSERT_EQ(list.size(), 3u);
  SetPulse(kHalf);
  auto warm = Start(1);
  ASSERT_TRUE(warm);
  warm->ReadStorageState(&name, 1);
  SP_class& second = warm->Stretch(1).Reservoir(2);
  EXPECT_EQ(second.volume(), v2);
  EXPECT_EQ(second.history(), list);
  const std::vector<double> continued = RunPulse(*warm, kHalf, 2 * kHalf, 5);
  for (int n = kHalf; n < 2 * kHalf; ++n) EXPECT_EQ(continued[n - kHalf], cold[n]) << "step " << n;
  EXPECT_EQ(warm->Stretch(1).Reservoir(1).volume(), cold_v1);
  EXPECT_EQ(warm->Stretch(1).Reservoir(2).volume(), cold_v2);
}

// The storage file as an older writer left it: every number with six significant digits.
std::string WithSixDigits(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      char* end = nullptr;
      const double v = std::strtod(word.c_str(), &end);
      char shorter[32];
      std::snprintf(shorter, sizeof shorter, "%g", v);
      out += (end != word.c_str() && *end == '\0' ? std::string(shorter) : word) + ' ';
    }
    out += '\n';
  }
  return out;
}

// Reservoir 2 (of the later stretch 15) drains through a channel into reservoir 1 (of stretch
// 13, which has already stepped): the water stays received in 1 until its next step books it in
// Qin. The storage file keeps every value exactly: the warm state is the written one, read back
// and written again the file is the same, and the warm run books the same Qin as the cold one.
// A file with six digits still reads, within 1e-5.
TEST_F(ReservoirNetworkTest, StorageFileKeepsWaterReceivedThroughAConnection) {
  const std::string c0 = " C0 = 0 0 0 0 0 0 0 0 0";
  Write(Header("1 1000 50 3"), "TG 13 (A=60, f=1) OL 11 " + ChannelValues(2, 8000, 10) +
                                   "\nSP 1 file = r1.txt V0 = 1e6" + c0 +
                                   "\nTG 15 (A=150, f=1) OL 13 " + ChannelValues(4, 20000, 60) +
                                   "\nSP 2 file = r2.txt V0 = 2e6" + c0 + "\n");
  std::ofstream(setup_.control_file_name, std::ios::app)
      << "[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 1\n\n[abstraction_rule_reservoir_2]\n0\n"
         "HydraulicConnection { TargetReservoir = 1; ChannelWidth = 5; ChannelBottom = 100; "
         "ChannelLength = 1000; RoughnessCoeff = 30 }\n\n";
  const LakeVolumeTable metre{{110.0, 100.0}, {1.0e7, 0.0}};  // 10⁶ m³ per metre above 100 m
  auto start = [&](int32_t readgrids) {
    auto model = Start(readgrids);
    for (int32_t n = 1; model && n <= 2; ++n) {
      SP_class& r = model->Stretch(n).Reservoir(1);
      r.SetLakeTable(metre);
      r.ApplyLakeLevel(r.volume());
    }
    return model;
  };
  constexpr int kSteps = 3;
  const std::string name = "state.txt";
  SetPulse(0);
  auto cold = start(0);
  ASSERT_TRUE(cold);
  RunPulse(*cold, 0, kSteps, 5);
  const double received = cold->Stretch(1).Reservoir(1).received();
  ASSERT_GT(received, 1000.0);  // 102 m over 101 m: about 10 m³/s for an hour
  cold->ReadStorageState(&name, 0);
  cold->SetInitialised(1);
  cold->WriteStorageState();
  const std::string written = test::ReadFile(dir_ / name);
  std::vector<std::vector<double>> states;
  for (int32_t n = 1; n <= 2; ++n) states.push_back(cold->Stretch(n).Reservoir(1).state());
  RunPulse(*cold, kSteps, kSteps + 1, 5);
  const double cold_qin = cold->Stretch(1).Reservoir(1).balance().m3[kQin];

  SetPulse(kSteps);
  auto warm = start(1);
  ASSERT_TRUE(warm);
  warm->ReadStorageState(&name, 1);
  for (int32_t n = 1; n <= 2; ++n) EXPECT_EQ(warm->Stretch(n).Reservoir(1).state(), states[n - 1]);
  EXPECT_EQ(warm->Stretch(1).Reservoir(1).received(), received);
  EXPECT_EQ(warm->Stretch(2).Reservoir(1).received(), 0.0);
  warm->SetInitialised(1);
  warm->WriteStorageState();
  EXPECT_EQ(test::ReadFile(dir_ / name), written);
  RunPulse(*warm, kSteps, kSteps + 1, 5);
  EXPECT_EQ(warm->Stretch(1).Reservoir(1).balance().m3[kQin], cold_qin);
  EXPECT_GT(cold_qin, received);

  test::WriteFile(dir_ / name, WithSixDigits(written));
  SetPulse(kSteps);
  auto older = start(1);
  ASSERT_TRUE(older);
  older->ReadStorageState(&name, 1);
  const double volume = states[0][0];
  EXPECT_NE(older->Stretch(1).Reservoir(1).volume(), volume);
  EXPECT_NEAR(older->Stretch(1).Reservoir(1).volume(), volume, 1e-5 * volume);
}

}  // namespace
}  // namespace velorn::test

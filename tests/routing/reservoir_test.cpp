// A reservoir on its own: the SP item, the step balance, the operating rules against
// hand-computed and analytical numbers, the hydraulic connection against the Manning-Strickler
// discharge, the rule and item refusals, and the balance file.
#include "routing/reservoir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <tuple>

#include "tests/support/test_files.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

class ReservoirTest : public test::DiagTest {
 protected:
  ReservoirTest() : tracers_(10) {
    for (int i = 1; i <= 9; ++i) tracers_[i].name = "t" + std::to_string(i) + "_";
    abstractions_.resize(1);
    // Flow rows of ten tracers at subbasin index 1: no inflow mixes nothing in.
    for (auto& row : flow_rows_) row.assign(2, 0.0);
    for (int tr = 0; tr < 10; ++tr) flow_pointers_[tr] = flow_rows_[tr].data();
    flows_ = flow_pointers_;
  }
  // A reservoir read from `item` (the text from "SP") with the rule section `rules`.
  SP_class& Make(const std::string& item, const std::string& rules, int32_t ntr = 0) {
    reservoir_ = SP_class{};
    reservoir_.Initialise(ReservoirSetup{.diag = &diag_,
                                         .tracers = tracers_.data(),
                                         .ntr = ntr,
                                         .subbasin_code = 3,
                                         .subbasin_index = 1,
                                         .output_directory = dir_.path().string() + "/"});
    reservoir_.ReadParameters(item, 2);
    if (!rules.empty()) {
      file_.OpenText(rules);
      reservoir_.ReadReservoirRules(file_);
    }
    return reservoir_;
  }
  static std::string Item(double v0, const std::string& extra = "") {
    std::ostringstream s;
    s << "SP 7 file = res7.txt V0 = " << v0 << " C0 = 1 2 3 4 5 6 7 8 9 " << extra;
    return s.str();
  }
  // One table period: volumes C with outflows T.
  static std::string Table(const std::string& rows, const std::string& keys = "") {
    return "[abstraction_rule_reservoir_7]\n" + rows + keys + "\n";
  }
  void Step(double inflow, double dt, int32_t year = 2001, double irrigation = 0,
            double abstraction = 0) {
    reservoir_.RunStep(inflow, dt, irrigation, abstraction, flows_, nullptr, abstractions_, 0, year,
                       year > 0 ? 5 : 0, 14, 12);
  }

  std::vector<TracerDefinition> tracers_;
  std::vector<AL_class> abstractions_;
  std::vector<double> flow_rows_[10];
  double* flow_pointers_[10] = {};
  double** flows_ = nullptr;
  ControlFileReader file_;
  SP_class reservoir_;
};

const std::string kRuleExample = "3\n0 0\n1000 1\n2000 3\n";

TEST_F(ReservoirTest, ItemValuesAndDefaults) {
  SP_class& r =
      Make(Item(1500) + " SP 8 file = b.txt V0 = 1 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 10", "", 3);
  EXPECT_EQ(r.id(), 7);
  EXPECT_EQ(r.volume(), 1500);
  // C0 always carries nine values; three tracers take the first three.
  EXPECT_EQ(r.concentration(1), 1);
  EXPECT_EQ(r.concentration(3), 3);
  // The optional keys of the next item stay with it.
  EXPECT_EQ(r.dTmin(), 60.0);
  EXPECT_EQ(r.UseRunningAvg(), 0);
  EXPECT_EQ(r.file_name(), dir_.path().string() + "/res7.txt");
  EXPECT_EQ(r.buffer_rows(), 2097152 / ((3 + 35) * 8));
  SP_class& own = Make(Item(5, "dTmin = 30 UseRunningAvg = 3"), "");
  EXPECT_EQ(own.dTmin(), 30.0);
  EXPECT_EQ(own.UseRunningAvg(), 3);
  // Written in the routing line's own form, a separator ends the file name (named in a
  // WARNING) and the values.
  SP_class& listed =
      Make("SP 4 (file = pond.txt, V0 = 10000, C0 = 0, 0, 0, 0, 0, 0, 0, 0, 0, dTmin = 30)", "");
  EXPECT_EQ(listed.file_name(), dir_.path().string() + "/pond.txt");
  EXPECT_EQ(listed.volume(), 10000);
  EXPECT_EQ(listed.dTmin(), 30.0);
  EXPECT_TRUE(ScreenHas("the file name \"pond.txt,\" ends at its ','")) << screen_.str();
  struct Case {
    std::string item;
    std::string message;
  };
  for (const Case& c :
       {Case{"SP 4 V0 = 1 C0 = 0 0 0 0 0 0 0 0 0", "no \"file =\" found!"},
        Case{"SP 4 file = a C0 = 0 0 0 0 0 0 0 0 0", "no \"V0 =\" found!"},
        Case{"SP 4 file = a V0 = 1 AL 2 C0 = 0", "no \"C0 =\" found!"},
        Case{"SP 4 file = a V0 = 1 C0 = 0 0 0", "value 4 cannot be read"},
        Case{"SP 4 file = a V0 = 1,5 C0 = 0 0 0 0 0 0 0 0 0", "\"V0 =\" \"1,5\" is no number"},
        Case{"SP 4 file = a V0 = 1 C0 = 0 0 0,5 0 0 0 0 0 0", "\"C0 =\" \"0,5\" is no number"},
        // Values no reservoir has: its volume or mass would overflow, the count
        // of its inner steps leave the integers.
        Case{"SP 4 file = a V0 = 1e308 C0 = 0 0 0 0 0 0 0 0 0",
             "\"V0 =\" is 1e+308, it must lie within 0 to 1e+14 m3"},
        Case{"SP 4 file = a V0 = 1 C0 = 0 0 0 0 0 0 0 0 -1e308",
             "\"C0 =\" is -1e+308, it must lie within -1000 to 1e+06"},
        Case{"SP 4 file = a V0 = 1 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 1e-300",
             "\"dTmin =\" is 1e-300, it must lie within 1 to 3.16224e+07 s"},
        Case{"SP 4 file = a V0 = 1 C0 = 0 0 0 0 0 0 0 0 0 UseRunningAvg = 2147483647",
             "\"UseRunningAvg =\" is 2.14748e+09, it must lie within 0 to 87840 h"}}) {
    EXPECT_EQ(test::ThrownCode([&] { Make(c.item, ""); }), kReservoirItemCode) << c.item;
    EXPECT_TRUE(ScreenHas("for reservoir 4: ")) << screen_.str();
    EXPECT_TRUE(ScreenHas(c.message)) << c.item;
  }
}

// Irrigation, then abstraction, take at most the volume there is; the balance books what they
// took, so V_end = V_start − Irrig − Abstr still holds.
TEST_F(ReservoirTest, WithdrawalsNeverExceedTheVolume) {
  SP_class& r = Make(Item(500), Table("2\n0 0\n2.0e6 10\n"));
  Step(0.0, 60, 2001, 800.0, 100.0);
  EXPECT_EQ(r.volume(), 0.0);
  EXPECT_EQ(r.balance().m3[kIrrig], 500.0);
  EXPECT_EQ(r.balance().m3[kAbstr], 0.0);
  Make(Item(500), Table("2\n0 0\n2.0e6 10\n"));
  Step(0.0, 60, 2001, 300.0, 400.0);
  EXPECT_EQ(r.balance().m3[kIrrig], 300.0);
  EXPECT_EQ(r.balance().m3[kAbstr], 200.0);
}

// V_end = V_start − Irrig − Abstr + Qin·s − Qout·s, with Err, dV and every mm column 0.
TEST_F(ReservoirTest, BalanceOfAReservoirThatIsNoLake) {
  SP_class& r = Make(Item(1.0e6), Table("2\n0 0\n2.0e6 10\n"));
  const double dt = 60;
  const double s = 3600;
  double v = r.volume();
  for (int n = 0; n < 24; ++n) {
    const double qin = 2.0 + n % 5;
    Step(qin, dt, 2001, 100.0 * (n % 3), 50.0);
    const ReservoirBalance& b = r.balance();
    EXPECT_DOUBLE_EQ(b.m3[kQin], qin * s);
    EXPECT_NEAR(r.volume(), v - b.m3[kIrrig] - b.m3[kAbstr] + b.m3[kQin] - b.m3[kQout], 1e-9 * v);
    EXPECT_EQ(b.m3s[kQout], r.outflow());
    EXPECT_DOUBLE_EQ(b.m3s[kQin], qin);
    for (int q = 0; q < kQuantities; ++q) EXPECT_EQ(b.mm[q], 0.0);
    EXPECT_EQ(b.m3[kErr], 0.0);
    EXPECT_EQ(b.m3[kDV], 0.0);
    EXPECT_EQ(b.area, 0.0);
    v = r.volume();
  }
}

TEST_F(ReservoirTest, InitialisationPassOnlyWithdraws) {
  SP_class& r = Make(Item(1000), Table(kRuleExample));
  Step(5.0, 60, 0, 100, 50);
  EXPECT_DOUBLE_EQ(r.volume(), 850);
}

// The example rule: C = 0, 1000, 2000, T = 0, 1, 3. At V = 1500 the first inner step of 60 s
// releases 1 + 500·0.002 = 2 m³/s and leaves v = 1380.
TEST_F(ReservoirTest, RuleTableByHand) {
  SP_class& r = Make(Item(1500), Table(kRuleExample));
  Step(0.0, 1.0);  // one inner step
  EXPECT_DOUBLE_EQ(r.outflow(), 2.0);
  EXPECT_DOUBLE_EQ(r.volume(), 1380);
  // An hour: 60 inner steps; above 1000 m³ v_n = 500 + 1000·0.88^n (n ≤ 5), then v·0.94 per step
  // once below 1000, starting from the sixth step's v = 1027.7347 − 60·(1 + 27.7347·0.002).
  Make(Item(1500), Table(kRuleExample));
  Step(0.0, 60.0);
  const double v5 = 500 + 1000 * std::pow(0.88, 5);
  const double v6 = v5 - 60 * (1 + (v5 - 1000) * 0.002);
  const double v60 = v6 * std::pow(0.94, 54);
  EXPECT_NEAR(r.volume(), v60, 1e-9);
  EXPECT_NEAR(r.outflow(), (1500 - v60) / 3600, 1e-12);
  // At or below C[1] nothing; above the top class a reservoir passes its inflow.
  Make(Item(1500), Table("2\n2000 0\n3000 5\n"));
  Step(0.0, 60.0);
  EXPECT_EQ(r.outflow(), 0.0);
  Make(Item(5000), Table(kRuleExample));
  Step(3.0, 60.0);
  EXPECT_NEAR(r.outflow(), 3.0, 1e-12);
  EXPECT_NEAR(r.volume(), 5000, 1e-8);
  // A step shorter than dTmin has no inner step and releases nothing.
  Make(Item(1500, "dTmin = 7200"), Table(kRuleExample));
  Step(0.0, 60.0);
  EXPECT_EQ(r.outflow(), 0.0);
  // TargetCap caps the release.
  Make(Item(1e5), Table("2\n0 2\n1e6 2\n", "TargetCap = 0.5\n"));
  Step(0.0, 60.0);
  EXPECT_NEAR(r.outflow(), 0.5, 1e-12);
  // 14 May (day 134) between the period days 91 and 274: w = 43 / 183 of period 2. By volume,
  // the two periods give 2 and 5 m³/s at 1500 m³. By outflow, 1 m³/s at 1000 and 500 m³, 3 m³/s
  // at 2000 and 1000 m³: the blended volume t = 1000 − 500 w and slope 0.002 (1 + w) give
  // 1 + 0.002 (1 + w) (1500 − t) = 1 + (1 + w)².
  const double w = 43.0 / 183;
  Make(Item(1500), Table("3 91 274\n0 0 0\n1000 1 3\n2000 3 7\n"));
  Step(0.0, 1.0);
  EXPECT_NEAR(r.outflow(), (1 - w) * 2 + w * 5, 1e-12);
  Make(Item(1500), Table("3 91 274\n0 0 0\n1 1000 500\n3 2000 1000\n", "TableIndex = Flow\n"));
  Step(0.0, 1.0);
  EXPECT_NEAR(r.outflow(), 1 + (1 + w) * (1 + w), 1e-12);
}

// A storage-proportional rule r = k·v is a linear reservoir: with inflow I the inner steps give
// v_n = I/k + (v_0 − I/k)·(1 − k·Δ)^n, close to the analytical I/k + (v_0 − I/k)·e^(−k·t).
TEST_F(ReservoirTest, ProportionalRuleIsALinearReservoir) {
  const double k = 1.0e-5;
  std::ostringstream rule;
  rule << "2\n0 0\n1e9 " << k * 1e9 << "\n";
  SP_class& r = Make(Item(2.0e6), Table(rule.str()));
  const double inflow = 3.0;
  const double steady = inflow / k;
  for (int n = 1; n <= 48; ++n) {
    Step(inflow, 60.0);
    const double t = 3600.0 * n;
    const double discrete = steady + (2.0e6 - steady) * std::pow(1 - k * 60, 60 * n);
    // The inner steps release k·(v + I·Δ) after adding the inflow.
    EXPECT_NEAR(r.volume(), discrete, 1e-3 * std::abs(2.0e6 - steady)) << n;
    EXPECT_NEAR(r.volume(), steady + (2.0e6 - steady) * std::exp(-k * t),
                2e-3 * std::abs(2.0e6 - steady))
        << n;
  }
}

TEST_F(ReservoirTest, VolumeBelowOneStepOfOutflowEmptiesTheReservoir) {
  SP_class& r = Make(Item(100), Table("2\n0 0\n1000 1000\n"));
  Step(0.0, 60.0);
  EXPECT_NEAR(r.outflow() * 3600, 100, 1e-9);
  EXPECT_NEAR(r.volume(), 0.0, 1e-9);
}

// Weekday windows: 14 May 2001 was a Monday (1). Without hours WeekDays never releases; −1
// releases whatever the hours say.
TEST_F(ReservoirTest, WeekdaysAndHours) {
  struct Case {
    std::string keys;
    bool releases;
  };
  for (const Case& c :
       {Case{"WeekDays = 1\n", false}, Case{"WeekDays = -1\nstart_hour = 20\n", true},
        Case{"WeekDays = 1\nstart_hour = 10\nstop_hour = 14\n", true},
        Case{"WeekDays = 1\nstart_hour = 13\nstop_hour = 23\n", false}}) {
    SP_class& r = Make(Item(1500), Table(kRuleExample, c.keys));
    Step(0.0, 60.0);
    EXPECT_EQ(r.outflow() > 0.0, c.releases) << c.keys;
  }
}

// Manning-Strickler for B = 5 m, L = 1000 m, kst = 30: depth 2 m over a slope of 0.001 gives
// a = 10 m², R = 10/9 m, Q = 30·10·(10/9)^(2/3)·√0.001 = 10.1772 m³/s.
TEST_F(ReservoirTest, ConnectionFlowIsTheStricklerDischarge) {
  const HydraulicConnection c{2, 5.0, 100.0, 1000.0, 30.0};
  EXPECT_NEAR(ConnectionFlow(c, 102.0, 101.0), 10.1772, 1e-4);   // y = h − zb, S = (h − ht)/L
  EXPECT_NEAR(ConnectionFlow(c, 101.0, 102.0), -10.1772, 1e-4);  // into the reservoir
  EXPECT_NEAR(ConnectionFlow(c, 102.0, 99.0), 30 * 10 * 1.072766 * std::sqrt(0.002), 1e-3);
  EXPECT_NEAR(ConnectionFlow(c, 98.0, 102.0), -30 * 10 * 1.072766 * std::sqrt(0.002), 1e-3);
  EXPECT_EQ(ConnectionFlow(c, 99.0, 98.0), 0.0);  // both below the bottom
  EXPECT_EQ(ConnectionFlow(c, 101.0, 101.0), 0.0);
}

TEST_F(ReservoirTest, ConnectionSectionsAndTheirRefusals) {
  const std::string block =
      "[abstraction_rule_reservoir_7]\n0\nHydraulicConnection {\nTargetReservoir = 9;\n"
      "ChannelWidth = 5; ChannelBottom = 100.5\nChannelLength = 1000;\nRoughnessCoeff = 30 }\n";
  SP_class& r = Make(Item(1000), block);
  ASSERT_TRUE(r.connected());
  EXPECT_EQ(r.connection().target, 9);
  EXPECT_EQ(r.connection().bottom, 100.5);
  EXPECT_EQ(r.connection().strickler, 30);
  // The target must exist once every reservoir is registered.
  ReservoirMap map;
  r.SetReservoirLinks(&map);
  EXPECT_EQ(test::ThrownCode([&] { r.CheckConnectionTarget(); }), kReservoirConnectionCode);
  EXPECT_TRUE(ScreenHas("names TargetReservoir 9, which no SP item defines"));
  std::map<int32_t, bool> bypass;
  r.SetBypassSet(&bypass);
  EXPECT_TRUE(bypass.at(1));

  EXPECT_EQ(test::ThrownCode([&] {
              Make(Item(1),
                   "[abstraction_rule_reservoir_7]\n0\nHydraulicConnection {\n"
                   "TargetReservoir = 9;\n");
            }),
            kReservoirConnectionCode);
  EXPECT_TRUE(ScreenHas("the block ends without \"}\""));
  EXPECT_EQ(test::ThrownCode([&] {
              Make(Item(1),
                   "[abstraction_rule_reservoir_7]\n0\nHydraulicConnection { "
                   "TargetReservoir = 9; ChannelWidth = 5; }\n");
            }),
            kReservoirConnectionCode);
  EXPECT_TRUE(ScreenHas("some values could not be read"));
  // Values no channel between reservoirs has.
  for (const auto& [from, to, message] : {
           std::tuple<const char*, const char*, const char*>{
               "ChannelBottom = 100.5", "ChannelBottom = 1e308",
               "HydraulicConnection of SP 7: ChannelBottom is 1e+308, it must lie within -11000 "
               "to 9000 m a.s.l."},
           {"RoughnessCoeff = 30", "RoughnessCoeff = 0", "RoughnessCoeff is 0, it must lie"},
           {"ChannelWidth = 5", "ChannelWidth = 1e9", "ChannelWidth is 1e+09"},
           {"TargetReservoir = 9", "TargetReservoir = 1e308", "TargetReservoir is 1e+308"},
           {"TargetReservoir = 9", "TargetReservoir = 9.5", "TargetReservoir is 9.5"},
       }) {
    std::string text = block;
    text.replace(text.find(from), std::string(from).size(), to);
    EXPECT_EQ(test::ThrownCode([&] { Make(Item(1), text); }), kReservoirConnectionCode) << to;
    EXPECT_TRUE(ScreenHas(message)) << screen_.str();
  }
  EXPECT_EQ(test::ThrownCode([&] { Make(Item(1), "[abstraction_rule_reservoir_8]\n1\n0 0\n"); }),
            34);
  // Period days that do not increase are refused like the abstraction rules'.
  EXPECT_EQ(test::ThrownCode([&] { Make(Item(1), Table("2 100 100\n0 0 0\n10 1 1\n")); }), 17);
}

// Reservoir 7 drains to or draws from reservoir 9 through the channel of the test above
// (B = 5 m, zb = 100 m, L = 1000 m, kst = 30): one metre of head over a depth of 2 m moves
// 10.1772 m³/s. Both hold 10⁶ m³ per metre above 100 m (no lake cells, so no area: the levels
// stay put over the inner steps). The moved water arrives in reservoir 9 and is booked there as
// inflow; none goes down the river; the pair's summed volume changes only by 7's inflow.
TEST_F(ReservoirTest, ConnectedReservoirsKeepTheirSummedVolume) {
  const std::string link =
      "[abstraction_rule_reservoir_7]\n0\nHydraulicConnection { TargetReservoir = 9; "
      "ChannelWidth = 5; ChannelBottom = 100; ChannelLength = 1000; RoughnessCoeff = 30 }\n";
  const LakeVolumeTable metre{{110.0, 100.0}, {1.0e7, 0.0}};
  struct Case {
    double v7, v9, dt, inflow;
    LakeVolumeTable table9;
    double moved;  // m³ from 7 into 9
  };
  for (const Case& c : {
           Case{2.0e6, 1.0e6, 1.0, 2.0, metre, 60.0 * 10.1772},   // 102 m over 101 m
           Case{1.0e6, 2.0e6, 1.0, 0.0, metre, -60.0 * 10.1772},  // 101 m under 102 m
           // 9 stands at 102 m with only 10⁴ m³: it gives what it holds, not 3600 s · 10.18.
           Case{1.0e6, 1.0e4, 60.0, 0.0, {{110.0, 101.99}, {8.01e6, 0.0}}, -1.0e4},
       }) {
    SP_class& r7 = Make(Item(c.v7), link);
    SP_class r9;
    r9.Initialise(ReservoirSetup{.diag = &diag_, .tracers = tracers_.data(), .subbasin_index = 1});
    r9.ReadParameters(
        "SP 9 file = res9.txt V0 = " + std::to_string(c.v9) + " C0 = 0 0 0 0 0 0 0 0 0", 2);
    ControlFileReader rules9;
    rules9.OpenText("[abstraction_rule_reservoir_9]\n2\n0 0\n2.0e7 0\n");
    r9.ReadReservoirRules(rules9);
    ReservoirMap map;
    r7.SetReservoirLinks(&map);
    r9.SetReservoirLinks(&map);
    r7.SetLakeTable(metre);
    r9.SetLakeTable(c.table9);
    r7.ApplyLakeLevel(r7.volume());
    r9.ApplyLakeLevel(r9.volume());
    Step(c.inflow, c.dt);
    EXPECT_NEAR(r9.volume(), c.v9 + c.moved, 0.01);
    EXPECT_EQ(r7.RiverOutflow(), 0.0);
    EXPECT_NEAR(r7.balance().m3[kQout], c.moved, 0.01);
    r9.RunStep(0.0, c.dt, 0, 0, flows_, nullptr, abstractions_, 0, 2001, 5, 14, 12);
    EXPECT_NEAR(r9.balance().m3[kQin], c.moved, 0.01);
    EXPECT_NEAR(r7.volume() + r9.volume(), c.v7 + c.v9 + 60.0 * c.dt * c.inflow, 1e-6);
  }
}

TEST_F(ReservoirTest, BalanceFileHeaderAndRows) {
  SP_class& r = Make(Item(1500), Table(kRuleExample), 2);
  r.WriteOutputHeader();
  Step(0.0, 1.0);
  r.AppendOutputRow(2001, 5, 14, 12);
  r.FlushBuffers(1);
  r.FlushBuffers(1);  // nothing left: the file stays as it is
  std::ifstream in(r.file_name());
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line.substr(0, 20), "YY\tMM\tDD\tHH\tW[m]\tA[m");
  EXPECT_EQ(line.substr(line.size() - 16), "Err[m3s]\tt1_\tt2_");
  std::getline(in, line);
  EXPECT_EQ(line, "reservoir_7");
  std::getline(in, line);
  std::getline(in, line);
  // Date, W, A, V, Qin (3), Qout: 120 m³, 0 mm, 2 m³/s, ..., then both concentrations.
  EXPECT_EQ(line.rfind("2001\t 5\t14\t12\t0\t0\t1380\t0\t0\t0\t120\t0\t2\t0\t0\t0\t0", 0), 0u)
      << line;
  EXPECT_EQ(line.substr(line.size() - 4), "\t1\t2");
  EXPECT_FALSE(std::getline(in, line));
}

}  // namespace
}  // namespace velorn

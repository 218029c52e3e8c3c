// Abstractions in small river networks: the water balance of external abstractions (what leaves
// the river is written to the abstraction files), the hand-over of an internal abstraction to
// the inflow of another stretch, and the pairing of internal abstractions with inflows.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "routing/routing_formulas.h"
#include "tests/routing/routing_model_fixture.h"

namespace velorn::test {
namespace {

class AbstractionNetworkTest : public RoutingModelTest {
 protected:
  void AppendSection(const std::string& text) {
    std::ofstream(setup_.control_file_name, std::ios::app) << text;
  }
  // Sum of the m³/s column of an abstraction file.
  double FileSum(const std::string& name) {
    std::ifstream in(dir_ / name);
    std::string line;
    for (int i = 0; i < 3; ++i) std::getline(in, line);
    double sum = 0;
    double y, m, d, h, q;
    while (in >> y >> m >> d >> h >> q) sum += q;
    return sum;
  }
  // Runoff of subbasins 11 and 13 (indices 1 and 3) in mm · km².
  double StretchRunoff() const { return runoff_[0][1] * 10 + runoff_[0][3] * 30; }
};

TEST_F(AbstractionNetworkTest, ExternalAbstractionsBalanceTheStretch) {
  Write(Header("1 1000 50 3"), "TG 13 (A=40, f=1) OL 11 " + ChannelValues(2, 8000, 10) +
                                   " AL 1 = extern fixed.txt 0.05 0.25 0.3 mm\n"
                                   "AL 2 = extern_with_rule rule.txt\n");
  AppendSection("[abstraction_rule_abstraction_2]\n2\n0 0\n10 5\n\n");
  SetPulse(0);
  auto model = Start();
  ASSERT_TRUE(model);
  routingclass& stretch = model->Stretch(1);
  const double stored_before = model->ChannelStorage();
  double in = 0, out = 0, abstracted = 0;
  for (int n = 0; n < 40; ++n) {
    SetPulse(n);
    in += StretchRunoff();
    Step(*model, n);
    const double left = model->Flows()[0][3];
    const double taken = stretch.GetIrrigationAbstraction();
    // Fixed rule: a quarter of the excess over 0.05 mm, at most 0.3 mm; the rule: half the
    // discharge in m³/s up to 10 m³/s, then 5 m³/s, at most what is left.
    const double q = left + taken;
    const double fixed = FixedRuleAmount(q, 0, 0.05, 0.25, 0.3);
    const double x = DepthToDischarge(q, 40, 60);
    const double rule = std::min(q - fixed, DischargeToDepth(x > 10 ? 5 : 0.5 * x, 40, 60));
    EXPECT_NEAR(taken, fixed + rule, 1e-12 * q) << n;
    out += left * 40;
    abstracted += taken * 40;
  }
  model->FlushBuffers();
  EXPECT_GT(abstracted, 0.1 * in);
  EXPECT_NEAR(in, out + abstracted + model->ChannelStorage() - stored_before, 1e-9 * in);
  // The files hold the abstracted water in m³/s per step.
  const double written = (FileSum("fixed.txt") + FileSum("rule.txt")) * 60 / 16.6666667;
  EXPECT_NEAR(written, abstracted, 1e-5 * abstracted);
}

TEST_F(AbstractionNetworkTest, InternalAbstractionArrivesAtTheInflow) {
  Write(Header("1 1000 50 2"), "TG 13 (A=40, f=1) OL 11 " + ChannelValues(2, 8000, 10) +
                                   " AL 1 = intern_with_rule\n"
                                   "TG 15 (A=150, f=1) OL 14 " +
                                   ChannelValues(1, 5000, 40) + " ZL 1 = intern " +
                                   ChannelValues(1, 3000, 5) + "\n");
  // Half the discharge; the description after the abstracting one is still read.
  AppendSection("[abstraction_rule_abstraction_1]\n2\n0 0\n100 50\n");
  auto model = Start();
  ASSERT_TRUE(model);
  for (int n = 0; n < 12; ++n) {
    SetPulse(n);
    Step(*model, n);
    const double taken = model->Stretch(1).GetIrrigationAbstraction();  // mm over 40 km²
    const double arrived = model->Flows()[0][5 + 1];                    // mm over 5 km²
    EXPECT_GT(taken, 0.0);
    EXPECT_NEAR(arrived * 5, taken * 40, 1e-8 * taken * 40) << n;
  }
}

TEST_F(AbstractionNetworkTest, InternalPairsAreChecked) {
  const std::string ol11 = "OL 11 " + ChannelValues(2, 8000, 10);
  const std::string zl = " ZL 1 = intern " + ChannelValues(1, 3000, 5);
  const std::string al = " AL 1 = intern 0 0.5 100 mm";
  struct Case {
    const char* name;
    std::string descriptions;
    int code;
    const char* message;
  } cases[] = {
      {"two abstractions",
       "TG 13 (A=40, f=1) " + ol11 + al + "\nTG 14 (A=40, f=1) OL 12 " +
           ChannelValues(1, 3000, 20) + al + "\nTG 15 (A=150, f=1) OL 13 " +
           ChannelValues(1, 3000, 40) + zl + "\n",
       kRoutingAbstractionTwiceCode, "Inflow 1 is already connected to an internal abstraction."},
      {"same stretch", "TG 13 (A=40, f=1) " + ol11 + zl + al + "\n", kRoutingAbstractionSameCode,
       "are both defined for the same routing-subbasin TG 13"},
      {"receiver listed first",
       "TG 15 (A=150, f=1) OL 14 " + ChannelValues(1, 3000, 40) + zl + "\nTG 13 (A=40, f=1) " +
           ol11 + al + "\n",
       kRoutingSubbasinCode, "list the abstracting description first"},
      {"abstraction without inflow", "TG 13 (A=40, f=1) " + ol11 + " AL 2 = intern 0 1 9 mm\n",
       kRoutingAbstractionUnlinkedCode,
       "Internal abstraction AL 2 is not connected to any internal inflow."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    screen_.str("");
    Write(Header(), c.descriptions);
    int32_t error = 0;
    auto model = Build(error);
    ASSERT_EQ(error, 0) << screen_.str();
    model->SetQg(RunoffRows());
    EXPECT_EQ(ThrownCode([&] { model->InitialiseRouting(); }), c.code);
    EXPECT_TRUE(ScreenHas(c.message)) << screen_.str();
  }
}

}  // namespace
}  // namespace velorn::test

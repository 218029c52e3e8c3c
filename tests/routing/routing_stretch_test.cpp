// A routing stretch driven by a harness: linear-storage and Nash-cascade responses (pure
// translation among them), growing and shrinking delays, the water balance of a whole stretch, the
// area check, observed substitution and dry list channels.
#include <gtest/gtest.h>

#include <cmath>

#include "routing/routing_formulas.h"
#include "tests/routing/stretch_harness.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::DeepChannel;
using test::StretchHarness;

// The table of the channel at a length of 1 m: its travel times per metre.
ChannelRecord UnitTable(ChannelParameters p) {
  p.length = 1.0;
  ChannelRecord r;
  BuildChannelTable(p, 60, 1, 1.0, 0, r);
  return r;
}

struct StretchTest : test::DiagTest {};

// One section without translation, outflow Q0 = 10 and then a constant input I = 2:
// Q(t) = Q0·e^(−t/k) + I·(1 − e^(−t/k)) at the ends of the sub-steps, whatever their length.
TEST_F(StretchTest, LinearStorageFollowsTheAnalyticalResponse) {
  struct Case {
    double dt;
    int32_t nsub;
    double k;  // hours; the sub-step is always k / 5 long
  };
  for (const Case& c : {Case{60, 1, 5}, Case{1440, 1, 120}, Case{1440, 24, 5}}) {
    SCOPED_TRACE(c.dt * 100 + c.nsub);
    StretchHarness h(diag_, {0, 1.0, 1.0}, 1, 1, 0, 0, c.nsub, c.dt);
    h.Channel(1, 2, DeepChannel(c.k, 1.0, 1.0, 1, 1, 1));
    ASSERT_EQ(h.stretch->Channel(1).delay[1], 0);
    h.flows()[0][2] = 10;
    h.Start();
    auto analytic = [](int n) { return 10 * std::exp(-n / 5.0) + 2 * (1 - std::exp(-n / 5.0)); };
    std::vector<double> outflows;
    double mean = 0;
    for (int step = 1; step <= 5; ++step) {
      const double result = h.Step({{1, 0.0}, {2, 2.0}});
      mean = 0;
      for (int32_t j = 1; j <= c.nsub; ++j) {
        outflows.push_back(h.stretch->Channel(1).Outflow(1, j));
        mean += outflows.back() / c.nsub;
      }
      EXPECT_NEAR(result, 0.5 * mean, 1e-12);  // the tributary is half of the stretch
    }
    EXPECT_NEAR(outflows[0], 8.549846, 1e-6);
    EXPECT_NEAR(outflows[4], 4.943036, 1e-6);
    for (std::size_t n = 0; n < outflows.size(); ++n)
      EXPECT_NEAR(outflows[n], analytic(static_cast<int>(n) + 1), 1e-12);
  }
}

// Three sections of equal factor k and a pulse small enough to stay in table row 1: the
// response is the negative-binomial series C(i+2, 2)·(1−k)³·kⁱ, i sub-steps after the three
// section delays (a pure shift when k is 0), and with one-minute sub-steps it is the Nash
// cascade n = 3, k = 2 h (peak 0.1353 per hour at 4 h).
TEST_F(StretchTest, SectionsFormANashCascade) {
  for (auto [k_hours, nsub] : {std::pair{2.0, 1}, {2.0, 4}, {2.0, 60}, {0.0, 4}}) {
    SCOPED_TRACE(nsub);
    ChannelParameters p = DeepChannel(k_hours, 1.0, 1.0, 1, 1000, 3);
    const ChannelRecord unit = UnitTable(p);
    p.length = 2.5 / (unit.tt[1] - unit.tt[4]);  // three sections
    StretchHarness h(diag_, {0, 1.0, 1.0}, 1, 1, 0, 0, nsub, 60);
    h.Channel(1, 2, p);
    const ChannelRecord& r = h.stretch->Channel(1);
    ASSERT_EQ(r.SectionCount(), 3);
    h.Start();
    const double pulse = 0.01;
    const double k = h.stretch->Parameters(1).factor_mean;
    const int32_t shift = 3 * r.delay[1];
    double peak = 0, peak_time = 0;
    for (int step = 1; step <= 16; ++step) {
      for (int32_t j = 1; j <= nsub; ++j) h.subflows()[0][j][2] = 0.0;
      if (step == 1) h.subflows()[0][1][2] = pulse;
      h.stretch->RouteStep(2001, 1, 1, step);
      for (int32_t j = 1; j <= nsub; ++j) {
        const int i = (step - 1) * nsub + j - 1 - shift;
        const double expected =
            i < 0 ? 0.0 : (i + 1.0) * (i + 2.0) / 2 * std::pow(1 - k, 3) * std::pow(k, i);
        const double out = r.Outflow(1, j) / pulse;
        ASSERT_NEAR(out, expected, 1e-12) << "step " << step << " sub-step " << j;
        if (out * nsub > peak) {
          peak = out * nsub;  // per hour
          peak_time = static_cast<double>(i) / nsub;
        }
      }
    }
    if (nsub == 60) {
      EXPECT_NEAR(peak, std::exp(-2.0), 0.01 * std::exp(-2.0));
      EXPECT_NEAR(peak_time, 4.0, 0.05);
    }
  }
}

// Rows of 1 (small flows, 1.5 h) and 0 sub-steps of delay (above qmax, 0.6 h): a growing delay
// fills the gap with the smaller of the last scheduled value and the new inflow, taken from the
// section storage as far as it holds that water (an empty storage leaves the gap dry, and no
// storage falls below 0); a shrinking one moves the smaller of scheduled and new water into it.
TEST_F(StretchTest, GrowingAndShrinkingDelays) {
  StretchHarness h(diag_, {0, 1.0, 1.0}, 1, 1, 0, 0, 1, 60);
  ChannelParameters p = DeepChannel(0, 1.0, 1.0, 10, 100, 1);
  p.length = 1.5 / UnitTable(p).tt[1];
  h.Channel(1, 2, p);
  const ChannelRecord& r = h.stretch->Channel(1);
  ASSERT_EQ(r.SectionCount(), 1);
  ASSERT_EQ(r.delay[1], 1);
  ASSERT_EQ(r.delay[2], 0);
  const double a = 0.1, b = 1.0;  // 27.8 and 278 l/s/km²
  h.flows()[0][2] = b;
  h.Start();
  const double inputs[] = {a, b, a, a, b};
  const double outputs[] = {0, b, a, a, b};
  const double storage[] = {0, a, 0, 0, a};
  for (int step = 0; step < 5; ++step) {
    h.Step({{2, inputs[step]}});
    EXPECT_NEAR(r.Outflow(1, 1), outputs[step], 1e-15) << step;
    EXPECT_NEAR(r.storage[0][1], storage[step], 1e-15) << step;
  }
  // Sub-steps of 10 min: the delay grows from 3 to 9 sub-steps when the flow drops; the six
  // positions of the gap would take a each out of the storage, which holds nothing.
  StretchHarness fine(diag_, {0, 1.0, 1.0}, 1, 1, 0, 0, 6, 60);
  fine.Channel(1, 2, p);
  const ChannelRecord& f = fine.stretch->Channel(1);
  ASSERT_EQ(f.SectionCount(), 1);
  ASSERT_EQ(f.delay[1], 9);
  ASSERT_EQ(f.delay[2], 3);
  fine.flows()[0][2] = b;
  fine.Start();
  fine.Step({{2, b}});
  EXPECT_NEAR(f.storage[0][1], 0.0, 1e-15);
  fine.Step({{2, a}});
  EXPECT_NEAR(f.storage[0][1], 0.0, 1e-15);
}

// Storage constants of 2 h (mean channel) and 0.5 h (flood plain), sub-steps of 30 min: in the
// first step above bank-full the inflow splits by the flood-plain share fl of the step's largest
// flow, and the water the mean channel held behind the step before's outflow O (km / (1 − km)·O)
// leaves by that split as well (the share changes, the water held stays); the second sub-step
// carries by fl. What came in less what left is what the storages gained.
TEST_F(StretchTest, FloodPlainShareOfTheFirstSubStepAboveBankfull) {
  StretchHarness h(diag_, {0, 1.0, 1.0}, 1, 1, 0, 0, 2, 60);
  ChannelParameters p = DeepChannel(2.0, 1.0, 1.0, 1, 3000, 6);
  p.k_flood = 0.5;
  p.bankfull_depth = 0.3;
  p.width_mean = 3;
  h.Channel(1, 2, p);
  const ChannelRecord& r = h.stretch->Channel(1);
  const double small = 0.5, large = 30;
  const int32_t row = h.stretch->LookupWQRow(1, large);
  ASSERT_EQ(r.share[h.stretch->LookupWQRow(1, small)], 0.0);
  ASSERT_GT(r.share[row], 0.1);
  ASSERT_EQ(r.delay[row], 0);
  h.flows()[0][2] = small;
  h.Start();
  h.Step({{1, 0.0}, {2, small}});
  const double before = r.Outflow(1, 2);
  const double held = h.stretch->StoredWater();
  h.Step({{1, 0.0}, {2, large}});
  const double fl = r.share[row], km = std::exp(-0.25), kf = std::exp(-1.0);
  EXPECT_NEAR(h.stretch->Parameters(1).factor_mean, km, 1e-12);
  EXPECT_NEAR(h.stretch->Parameters(1).factor_flood, kf, 1e-12);
  const double in = (1 - fl) * (1 - km) + fl * (1 - kf);
  const double first = in * (large + km / (1 - km) * before);
  EXPECT_NEAR(r.Outflow(1, 1), first, 1e-12);
  EXPECT_NEAR(r.Outflow(1, 2), in * large + ((1 - fl) * km + fl * kf) * first, 1e-12);
  EXPECT_NEAR(h.stretch->OutletFactor(1) * large - h.flows()[0][1], h.stretch->StoredWater() - held,
              1e-12 * large);
}

// Σ inflow = Σ outflow + change of the stored water, over steps of changing inflow through a
// tributary, a list channel, a constant inflow channel and the own runoff; delays change with
// the flows, and one channel overflows its banks (the flood plain's storage constant a quarter of
// the mean channel's, so the water held changes its factor with the share). A tracer's
// solute closes the same way, through the section storages' gaps and overlaps too.
TEST_F(StretchTest, StretchConservesWater) {
  StretchHarness h(diag_, {0, 2.0, 3.0, 1.5, 2.5}, 1, 1, 1, 1, 3, 60, 1);
  ChannelParameters tributary = DeepChannel(1.5, 1.0, 3.0, 20, 2000, 8);
  tributary.length = 3.2 / (UnitTable(tributary).tt[1] - UnitTable(tributary).tt[9]);
  ChannelParameters overflowing = DeepChannel(4.0, 8000, 4.0, 1, 3000, 6);
  overflowing.bankfull_depth = 0.3;
  overflowing.width_mean = 3;
  overflowing.k_flood = 1.0;
  h.Channel(1, 2, tributary);
  h.Channel(2, 3, overflowing, {4});
  h.Channel(3, 1, DeepChannel(0.5, 3000, 0.8, 1, 1000, 5));
  h.stretch->SetInflow(1, 1, kInflowConstant, "", 0, 0, 2001, 1, 1, 0, 0.4);
  for (int32_t t = 1; t <= 4; ++t) h.flows()[0][t] = 0.3 * t;
  h.Start();
  const int32_t zl = h.nsb + 1;
  const double zl_value = h.flows()[0][zl];
  EXPECT_NEAR(zl_value, DischargeToDepth(0.4, 0.8, 60), 1e-15);
  const double start = h.stretch->StoredWater();
  const double start_solute = h.stretch->StoredSolute(1);
  EXPECT_GT(start, 0.0);

  double in = 0, out = 0, parked = 0, solute_in = 0, solute_out = 0;
  for (int step = 1; step <= 80; ++step) {
    for (int32_t j = 1; j <= 3; ++j) {
      const double wave = std::max(0.0, std::sin(step * 0.37 + j) * 4.0);
      const double q[] = {0, 0.2 * wave, wave * wave, 0.5 * wave, step % 7 == 0 ? 30.0 : 0.0};
      const double c = 2.0 + std::sin(step * 0.5);  // of all water entering in the step
      for (int32_t t = 1; t <= 4; ++t) h.subflows()[0][j][t] = q[t];
      h.subflows()[0][j][zl] = zl_value;
      for (int32_t t = 1; t <= zl; ++t) h.subflows()[1][j][t] = c;
      const double entering = (h.stretch->Weight(0) * q[1] + h.stretch->OutletFactor(1) * q[2] +
                               h.stretch->OutletFactor(2) * (1.5 * q[3] + 2.5 * q[4]) / 4.0 +
                               h.stretch->OutletFactor(3) * zl_value) /
                              3;
      in += entering;
      solute_in += entering * c;
    }
    h.stretch->RouteStep(2001, 1, 1, step);
    out += h.flows()[0][1];
    solute_out += h.flows()[0][1] * h.flows()[1][1];
    const ChannelRecord& r = h.stretch->Channel(1);
    for (int32_t s = 1; s <= r.SectionCount(); ++s)
      parked = std::max(parked, std::fabs(r.storage[0][s]));
  }
  EXPECT_GT(parked, 0.01);  // gaps and overlaps did occur
  EXPECT_GT(h.stretch->Channel(2).sections, 1.0);
  EXPECT_NEAR(in, out + h.stretch->StoredWater() - start, 1e-10 * in);
  EXPECT_NEAR(solute_in, solute_out + h.stretch->StoredSolute(1) - start_solute, 1e-10 * solute_in);
}

TEST_F(StretchTest, AreaCheckWeightsAndRefusal) {
  StretchHarness h(diag_, {0, 2.0, 3.0, 4.0, 1.0}, 1, 1, 1, 0, 1, 60);
  h.Channel(1, 2, DeepChannel(1, 100, 3, 1, 1000, 2));
  h.Channel(2, 3, DeepChannel(1, 100, 5, 1, 1000, 2), {4});
  h.abfrel.area[0] = 1.3;  // zone-table units of 1.3 km²
  h.stretch->CheckArea();  // the description's area is the sum, 10 km²
  EXPECT_DOUBLE_EQ(h.stretch->Weight(0), 0.2);
  EXPECT_DOUBLE_EQ(h.stretch->Weight(1), 0.3);
  EXPECT_DOUBLE_EQ(h.stretch->Weight(2), 0.5);  // own subbasin 3 and member 4
  EXPECT_DOUBLE_EQ(h.abfrel.area[1], 10.0);
  EXPECT_DOUBLE_EQ(h.stretch->Area(), 13.0);
  EXPECT_TRUE(ScreenHas("Basin 1: area in contr.file: 10 <-> zone-grid 13 (adjusted"));

  for (double factor : {1.0, 0.0}) {
    StretchHarness dry(diag_, {0, 0.0, 0.0}, 1, 1, 0, 0, 1, 60);
    dry.Channel(1, 2, DeepChannel(1, 100, 3, 1, 1000, 2));
    dry.abfrel.area[0] = factor;
    if (factor == 0.0) dry.abfrel.area = {0.0, 1.0, 1.0};
    EXPECT_EQ(test::ThrownCode([&] { dry.stretch->CheckArea(); }), 17) << factor;
  }
  EXPECT_TRUE(ScreenHas("the stretch of subbasin 1 has an area of 0"));
}

TEST_F(StretchTest, ConstructionReportsItsFailure) {
  StretchHarness h(diag_, {0, 1.0}, 1, -3, 0, 0, 1, 60);
  EXPECT_EQ(h.error, 1);
  EXPECT_TRUE(ScreenHas("routing: memory allocation error 0"));
}

// Observed discharges replace the water of a subbasin's history, never its tracer
// concentrations; a missing observation leaves the simulated runoff (here of a list member).
TEST_F(StretchTest, ObservedSubstitutionReplacesWaterOnly) {
  StretchHarness h(diag_, {0, 1.0, 1.0, 1.0, 1.0}, 1, 1, 1, 0, 2, 60, 1, 2);
  h.Channel(1, 2, DeepChannel(1, 100, 1, 1, 1000, 2));
  h.Channel(2, 3, DeepChannel(1, 100, 1, 1, 1000, 2), {4});
  h.flows()[0][2] = 3.0;
  h.flows()[1][2] = 0.4;
  double observed[] = {0, 7.5, -9999};
  const int32_t columns[] = {0, 0, 1, 0, 2};
  h.Start(observed, columns);
  const int32_t length = h.stretch->Channel(1).history_length + 2;
  for (int32_t k = 1; k <= length; ++k) {
    EXPECT_EQ(h.tables.history()[0][2][k], 7.5);
    EXPECT_EQ(h.tables.history()[1][2][k], 0.4);
  }
  h.Step({{1, 0.0}, {2, 2.0}, {3, 2.0}, {4, 1.0}});
  EXPECT_EQ(h.subflows()[0][1][3], 1.5);  // the list mean of 2 and 1 mm
}

// A tracer mixes by volume with the water the linear storage holds (the start water filled by
// initialisation passes): a flood carrying solute, then clear water, delivers all it brought
// (what 200 steps leave held is below round-off); a constant concentration leaves unchanged.
TEST_F(StretchTest, TracerKeepsItsMassThroughTheStorages) {
  for (const double constant : {0.0, 3.0}) {
    StretchHarness h(diag_, {0, 1.0, 1.0}, 1, 1, 0, 0, 2, 60, 1);
    h.Channel(1, 2, DeepChannel(0.4, 2000, 1.0, 1, 1000, 4));
    h.flows()[0][2] = 1.0;
    h.flows()[1][2] = h.subflows()[1][1][2] = h.subflows()[1][2][2] = constant;
    h.Start();
    for (int pass = 0; pass < 30; ++pass) h.Step({{1, 0.0}, {2, 1.0}}, 0);
    double entered = 0, left = 0;
    for (int step = 1; step <= 200; ++step) {
      const double q = step <= 2 ? 10.0 * step : 1.0 + std::sin(step);
      const double c = constant > 0 ? constant : step <= 2 ? 5.0 : 0.0;
      h.subflows()[1][1][2] = h.subflows()[1][2][2] = c;
      entered += q * c;
      h.Step({{1, 0.0}, {2, q}});
      left += 2 * h.flows()[0][1] * h.flows()[1][1];  // the tributary is half of the stretch
      EXPECT_NEAR(h.flows()[1][1], constant > 0 ? constant : h.flows()[1][1], 1e-12) << step;
    }
    EXPECT_NEAR(left, constant > 0 ? left : entered, 1e-10 * entered) << constant;
  }
}

// A list channel (and an outlet) without water keeps tracer values of 0.
TEST_F(StretchTest, DryListChannelKeepsTracersAtZero) {
  StretchHarness h(diag_, {0, 1.0, 1.0, 1.0}, 1, 0, 1, 0, 2, 60, 1);
  h.Channel(1, 2, DeepChannel(1, 100, 2, 1, 1000, 2), {3});
  h.Start();
  for (int32_t j = 1; j <= 2; ++j) h.subflows()[1][j][3] = 5.0;
  h.Step({{1, 0.0}, {2, 0.0}, {3, 0.0}});
  for (int32_t j = 1; j <= 2; ++j) EXPECT_EQ(h.subflows()[1][j][2], 0.0);
  EXPECT_EQ(h.flows()[1][1], 0.0);
}

}  // namespace
}  // namespace velorn

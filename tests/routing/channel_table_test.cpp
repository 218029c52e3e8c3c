// The water-level/discharge table of a channel: rows below and above bank-full, the row look-up
// of the table's own discharges, a channel that cannot be routed, and the table file.
#include "routing/channel_table.h"

#include <gtest/gtest.h>

#include <cmath>

#include "routing/routing_formulas.h"
#include "tests/routing/stretch_harness.h"
#include "tests/support/test_helpers.h"

namespace velorn {
namespace {

using test::DeepChannel;

TEST(ChannelTableTest, BelowBankfullHasNoFloodPlainAndLooksUpItsOwnRows) {
  ChannelParameters p = DeepChannel(0.0, 2000, 50, 1, 1000, 6);
  ChannelRecord r;
  BuildChannelTable(p, 60, 4, 1.0, 0, r);
  ASSERT_EQ(r.rows, 6);
  EXPECT_DOUBLE_EQ(p.factor_mean, std::exp(-0.25 / 0.01));  // k 0 counts as 0.01 h
  EXPECT_NEAR(r.q[7], 1000, 1e-9);
  EXPECT_NEAR(r.q[1], 1, 1e-9);
  for (int32_t row = 1; row <= 7; ++row) {
    SCOPED_TRACE(row);
    EXPECT_EQ(r.share[row], 0.0);
    EXPECT_EQ(r.vf[row], 0.0);
    EXPECT_EQ(r.hf[row], 0.0);
    EXPECT_EQ(TableRow(r.qmm[row], 60, p.qmin, p.log_step, 7), row);
    if (row > 1) {
      EXPECT_LE(r.delay[row], r.delay[row - 1]);  // faster at higher discharge
    }
  }
  // Sections: the spread of the section travel times is at most one step.
  EXPECT_LE((r.tt[1] - r.tt[7]) / r.sections, 1.0);
  EXPECT_GT((r.tt[1] - r.tt[7]) / (r.sections - 1), 1.0);
  EXPECT_EQ(r.history_length, static_cast<int32_t>((4 + r.delay[1]) * r.sections));
}

// Channels whose bank-full iteration, moving discharge back into the mean channel, would take
// more from the flood plain than it carries (a negative flood-plain discharge and share).
TEST(ChannelTableTest, BankfullSplitKeepsBothPartsPositive) {
  struct Case {
    double bm, bf, depth, mm, mf, slope, q_total;
  };
  for (const Case& c :
       {Case{7.6, 816.9, 8.5, 6, 48, 7e-5, 6.03}, Case{23.8, 541.4, 0.8, 55, 18, 2e-5, 3.98},
        Case{10.4, 12.6, 6.9, 43, 2, 1e-5, 20.7}, Case{2, 50, 0.2, 25, 10, 1e-3, 80}}) {
    SCOPED_TRACE(c.q_total);
    ChannelParameters p{1,       1,    c.bm,      c.bf, c.depth, c.mm, c.mf,
                        c.slope, 1000, c.q_total, 10,   1000,    4};
    ChannelRecord r;
    BuildChannelTable(p, 60, 1, 1.0, 0, r);
    EXPECT_EQ(FirstUnsoundRow(r), 0);
    for (int32_t row = 1; row <= 5; ++row) {
      EXPECT_GE(r.share[row], 0.0);
      EXPECT_LE(r.share[row], 1.0);
      EXPECT_GE(r.vf[row], 0.0);
      EXPECT_GT(r.v[row], 0.0);
    }
  }
}

struct TableFileTest : test::DiagTest {
  // Stretch of subbasin 1 with one tributary channel from subbasin 2.
  test::StretchHarness h{diag_, {0, 1.0, 26.7409}, 1, 1, 0, 0, 1, 60};
};

TEST_F(TableFileTest, ChannelWithoutVelocityIsRefused) {
  ChannelParameters p = DeepChannel(1, 1000, 1e6, 1, 1e308, 2);
  EXPECT_EQ(test::ThrownCode([&] { h.Channel(1, 2, p); }), 17);
  EXPECT_TRUE(ScreenHas("channel 1 of the stretch of subbasin 1 (source 2)"));
  EXPECT_TRUE(ScreenHas("in row 1 of"));
}

// One row of 1000 l/s/km² over 26.7409 km²: 26.7409 m³/s, which a 10 m wide channel with
// n = 0.03 and slope 0.001 carries at 2.00 m and 1.34 m/s (Manning-Strickler); 5000 m take
// 1.04 h, one hourly step of delay; the row is repeated (qmin = qmax).
TEST_F(TableFileTest, TableFileAsWrittenByHand) {
  ChannelParameters p = DeepChannel(2, 5000, 26.7409, 1000, 1000, 1);
  p.k_flood = 0;
  p.manning_mean = 1 / 0.03;
  p.bankfull_depth = 10;
  h.Channel(1, 2, p);
  h.stretch->CheckArea();
  {
    test::ScopedCurrentDir in_dir(dir_.path());
    h.stretch->WriteWQTable();
  }
  const std::string expected =
      "waterlevel-discharge-table for the channel of subbasin 2 to the outlet of subbasin 1\n"
      "input parameters from the control file:\n"
      "------------------------------------------\n"
      "storage constant mean channel [h] :    2.00\n"
      "storage constant flood plain [h]  :    0.01\n"
      "width of the mean channel [m]     :   10.00\n"
      "width of flood plains  [m]        :   50.00\n"
      "depth of mean channel  [m]        :   10.00\n"
      "Manning-coef. mean chan[m^(1/3)/s]:   33.33\n"
      "Manning-ceof. flood pl.[m^(1/3)/s]:   20.00\n"
      "slope angle            [1/1]      :  0.0010\n"
      "channel length         [m]        :  5000.0\n"
      "catchment area         [km^2]     :   26.74\n"
      "min. " VELORN_SPECIFIC_ABBREVIATION
      " discharge   [l/s/km^2] :  1000.0\n"
      "max. " VELORN_SPECIFIC_ABBREVIATION
      " discharge   [l/s/km^2] :  1000.0\n"
      "intervals for w-q-table[-]        :       2\n"
      "sub-intervals (time)   [-]        :       1  \n"
      "number of sub-channels            :       1\n"
      "total number of storage elements  :       3  \n"
      "-------------------------------------------------------------------------------\n"
      "  #    q      q       Q     dm    df     v      vm     vf     t   delta   Qm/Q \n"
      "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   [1/1]\n"
      "-------------------------------------------------------------------------------\n"
      "  1  3.600 1000.0   26.74   2.00  0.00  1.34   1.34   0.00   1.04    1   0.000\n"
      "  2  3.600 1000.0   26.74   2.00  0.00  1.34   1.34   0.00   1.04    1   0.000\n";
  EXPECT_EQ(test::ReadFile(dir_ / "wq_table.002"), expected);
}

}  // namespace
}  // namespace velorn

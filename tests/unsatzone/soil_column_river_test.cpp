// The exchange between a soil column and its river: the depth of the offered water, a table at
// the bed (losing), a gaining river drawing from the layers between table and bed, and eight
// threads taking from one record that never give out more than it offers, with an exact twin of
// the record's sum that holds the cells' last takes exactly.
#include "unsatzone/soil_column_river.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/soil_column_work.h"
#include "unsatzone/soil_column_fluxes.h"

namespace velorn {
namespace {

class ColumnRiver : public test::SoilColumnWork {
 protected:
  // Loam of 4 layers of 0.5 m at theta 0.4 under a surface at 100 m; a river 1 m deep (its bed
  // at 99 m, in layer 2), 4 m wide, with the table at `z_gw` in layer `gw_layer`.
  void Setup(double z_gw, int gw_layer, double kolmation) {
    LoadLoam(4, 0.5, 0.4);
    cell_.riverOn = true;
    cell_.interaction = 2;
    cell_.zGw = z_gw;
    cell_.gwLayer = gw_layer;
    for (int k = 1; k <= 4; ++k) A(W::kHead)[k] = z_gw;
    river_.depth = 1.0;
    river_.width = 4.0;
    river_.kolmation = kolmation;
    river_.linkCode = 1;
    river_.record = &record_;
    river_.stepSeconds = 3600;
    river_.substeps = 2;
    record_.offeredWater = 0.01;  // m³/s
    record_.channelLength = 0.5;  // mean velocity, m/s
  }
  ReinfiltrationRecord record_;
  RiverCell river_;
  FluxTotals totals_;
  ExactSum twin_;  // the record's exact twin, for the tests that keep one
};

TEST_F(ColumnRiver, WaterDepthIsDischargeOverVelocityAndWidth) {
  record_.offeredWater = 2.0;
  record_.channelLength = 0.5;
  EXPECT_DOUBLE_EQ(RiverWaterDepth(record_, 4.0), 1.0);
  record_.channelLength = 0;
  EXPECT_EQ(RiverWaterDepth(record_, 4.0), 0.0);
  record_.offeredWater = 0.3;
  record_.reinfiltrated = 0.1;
  EXPECT_NEAR(RiverWaterStillOffered(record_, 1, 3), 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(RiverWaterStillOffered(record_, 3, 3), 0.2);
}

// The table exactly at the bed: a losing river, whose water enters the bed layer and the layers
// down to the table.
TEST_F(ColumnRiver, TableAtTheBedIsLosing) {
  Setup(99.0, 2, 1e-6);
  ComputeRiverReinfiltration(ws_, cell_, river_, 1800, totals_);
  // P = width kolmation (zb + w - ha) cellsize, w = 0.01 / 0.5 / 4 = 0.005 m, ha = 99 m
  const double p = 4 * 1e-6 * 0.005 * 100;
  EXPECT_EQ(totals_.riverOut, 0.0);
  EXPECT_NEAR(totals_.riverIn, p / 1e4, 1e-18);
  EXPECT_NEAR(A(W::kRiverIn)[2], p / 1e4, 1e-18);
  EXPECT_NEAR(record_.reinfiltrated, p * 0.5, 1e-18);  // half of the step
  // The content limiter halved the inflow: the final booking replaces the iteration's take.
  BookRiverTake(river_, totals_.riverIn / 2, 100, 1800);
  EXPECT_NEAR(record_.reinfiltrated, p * 0.5 / 2, 1e-18);
}

// The exact twin of the record holds exactly the cell's last booked take, whatever it replaced
// (a take of 0.7 replaced by 0.1: the record's running sum is 0.09999999999999998).
TEST_F(ColumnRiver, ExactTwinHoldsTheLastTakeExactly) {
  Setup(99.0, 2, 1e-6);
  river_.exactTake = &twin_;
  river_.stepSeconds = 1;
  for (const double take : {0.7, 0.1}) BookRiverTake(river_, take, 1, 1);
  EXPECT_EQ(twin_.Value(), 0.1);
  EXPECT_EQ(river_.cellTake, 0.1);
  EXPECT_NEAR(record_.reinfiltrated, 0.1, 1e-16);
  ComputeRiverReinfiltration(ws_, cell_, river_, 1800, totals_);
  EXPECT_EQ(twin_.Value(), river_.cellTake);
}

// A losing river by hand (table below the bed, the river 0.005 m deep over its bed at 99 m, one
// inner step of half the hour): the bed's leakage P = width kolmation (zb + w - ha) cellsize goes
// into the layers from the bed down to the table, limited by what they hold and by the offer of
// the first sub-step (0.005 m³/s of the step's mean, so at most 0.01 m³/s over half the step).
// Interaction 1 and a cell without a link take nothing.
TEST_F(ColumnRiver, LosingRiverTakesTheLeakageUpToRoomAndOffer) {
  struct Case {
    const char* name;
    double z_gw, head_bed, kolmation, theta;
    int interaction, link;
    double p;  // expected take, m³/s (< 0: the room of layers 2..4)
  };
  const double dt = 1800;
  for (const Case& c : {Case{"deep table", 98.0, 98.5, 1e-5, 0.4, 2, 1, 4e-5 * 0.505 * 100},
                        Case{"offer limits", 98.0, 98.5, 1e-3, 0.4, 2, 1, 0.01},
                        Case{"room limits", 98.0, 98.5, 1e-3, 0.4299, 3, 1, -1},
                        Case{"interaction 1", 98.0, 98.5, 1e-3, 0.4, 1, 1, 0},
                        Case{"no link", 98.0, 98.5, 1e-3, 0.4, 2, 0, 0}}) {
    SCOPED_TRACE(c.name);
    record_ = ReinfiltrationRecord{};
    totals_ = FluxTotals{};
    river_ = RiverCell{};
    Setup(c.z_gw, c.z_gw < 99 ? 4 : 2, c.kolmation);
    for (int k = 1; k <= 4; ++k) A(W::kTheta0)[k] = A(W::kThetaMean)[k] = c.theta;
    A(W::kHead)[2] = c.head_bed;
    cell_.interaction = c.interaction;
    river_.linkCode = c.link;
    ComputeRiverReinfiltration(ws_, cell_, river_, dt, totals_);
    const double room = (A(W::kThetaSat)[2] - c.theta) * 0.5 / dt;
    const double p = c.p >= 0 ? c.p : 3 * room * 1e4;
    EXPECT_NEAR(totals_.riverIn, p / 1e4, 1e-12 * p) << c.name;
    EXPECT_EQ(totals_.riverOut, 0.0);
    double layers = 0;
    for (int k = 1; k <= 4; ++k) layers += A(W::kRiverIn)[k];
    EXPECT_NEAR(layers, totals_.riverIn, 1e-20);
    EXPECT_EQ(A(W::kRiverIn)[1], 0.0);
    if (c.p < 0) {
      EXPECT_NEAR(A(W::kRiverIn)[4], room, 1e-20);
    }
    EXPECT_NEAR(record_.reinfiltrated, p * 0.5, 1e-12 * p);  // its share of the step's mean
  }
}

// A gaining river takes the drainable water (above field capacity) of the layers between the
// table and the bed, down from the table, at most the bed's leakage.
TEST_F(ColumnRiver, GainingRiverDrawsFromTheLayersAsListed) {
  const double dt = 3600;
  struct Case {
    double z_gw;
    int gw_layer;
    double kolmation;
    std::vector<double> out;  // expected riverOut of layers 1..4 in units of rho / dt
  };
  const double rho = 0.4 - 0.0;  // field capacity subtracted below
  for (const Case& c : {Case{99.75, 1, 1.0, {0.25, 0.5, 0, 0}}, Case{99.2, 2, 1.0, {0, 0.2, 0, 0}},
                        Case{99.75, 1, 1e-9, {}}}) {
    Setup(c.z_gw, c.gw_layer, c.kolmation);
    ComputeRiverReinfiltration(ws_, cell_, river_, dt, totals_);
    const double drainable = (rho - fc_[c.gw_layer]) / dt;
    const double e = 4 * c.kolmation * (c.z_gw - 99.0) / 100;
    EXPECT_EQ(totals_.riverIn, 0.0);
    double sum = 0;
    for (int k = 1; k <= 4; ++k) {
      const double expected =
          c.out.empty() ? (k == c.gw_layer ? e : 0.0) : c.out[k - 1] * drainable;
      EXPECT_NEAR(A(W::kRiverOut)[k], expected, 1e-15) << c.z_gw << " " << k;
      sum += A(W::kRiverOut)[k];
    }
    EXPECT_NEAR(totals_.riverOut, sum, 1e-16);
    EXPECT_EQ(record_.reinfiltrated, 0.0);
  }
}

// 800 river cells of one subbasin on eight threads, each iterating three times in its inner
// step, all asking far more than the river offers: together they take exactly the offer of the
// sub-step and never more, and each cell's booked take is the water its layers received. The
// second sub-step takes the second half.
TEST_F(ColumnRiver, EightThreadsNeverTakeMoreThanOffered) {
  Setup(98.0, 4, 1e-5);
  A(W::kHead)[2] = 98.5;
  const double dt = 1800;     // one inner step per sub-step
  river_.exactTake = &twin_;  // every cell's bookings, in whatever order the threads come
  ExactSum takes;             // the cells' last takes of the sub-steps so far, added in cell order
  for (int substep = 1; substep <= 2; ++substep) {
    std::vector<double> taken(800, 0.0);
    std::vector<double> booked(800, 0.0);
#pragma omp parallel for num_threads(8) schedule(dynamic, 4)
    for (int c = 0; c < 800; ++c) {
      SoilColumnWorkspace ws = ws_;
      RiverCell river = river_;
      river.substep = substep;
      FluxTotals totals;
      for (int iteration = 0; iteration < 3; ++iteration)
        ComputeRiverReinfiltration(ws, cell_, river, dt, totals);
      double layers = 0;
      for (int k = 1; k <= 4; ++k) layers += ws[W::kRiverIn][k];
      EXPECT_NEAR(layers, totals.riverIn, 1e-18);
      taken[static_cast<std::size_t>(c)] = totals.riverIn * 1e4 * 0.5;
      EXPECT_NEAR(river.cellTake, taken[static_cast<std::size_t>(c)], 1e-18);
      booked[static_cast<std::size_t>(c)] = river.cellTake;
    }
    double sum = 0;
    for (double t : taken) sum += t;
    for (double t : booked) takes.Add(t);
    EXPECT_EQ(twin_.Value(), takes.Value());
    EXPECT_LE(record_.reinfiltrated, 0.005 * substep * (1 + 1e-12));
    EXPECT_NEAR(record_.reinfiltrated, 0.005 * substep, 1e-12);
    EXPECT_NEAR(sum, 0.005, 1e-12);
  }
}

}  // namespace
}  // namespace velorn

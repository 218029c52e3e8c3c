// Column operations of the soil zone's step frame on hand columns: an imposed groundwater table
// (water booked against water stored), the upwind solute transport (solute mass conserved,
// dry layers export nothing, decay) and the single-point rows.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "tests/support/test_helpers.h"
#include "unsatzone/external_groundwater_table.h"
#include "unsatzone/single_point_writer.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/solute_transport.h"

namespace velorn {
namespace {

// Four layers of 0.5 m below a surface at 10 m: H = 10, 9.5, 9, 8.5, 8.
struct CoupledColumn {
  std::vector<double> theta{0, 0.30, 0.30, 0.43, 0.43};
  std::vector<double> heads{10, 9.5, 9, 8.5, 8};
  std::vector<double> sat{0, 0.43, 0.43, 0.43, 0.43};
  std::vector<double> fc{0, 0.25, 0.25, 0.25, 0.25};
  std::vector<double> dz{0, 0.5, 0.5, 0.5, 0.5};
  SoilColumnView View() {
    return {theta.data(), heads.data(), sat.data(), fc.data(), dz.data(), 4};
  }
  double Water() const { return std::accumulate(theta.begin() + 1, theta.end(), 0.0) * 0.5 * 1000; }
};

TEST(ExternalTable, EqualTableMovesNothing) {
  CoupledColumn col;  // table at the bottom of layer 2: 9 m, distance -1 m, level 3
  const ExternalTableResult r = ApplyExternalTable(col.View(), -1.0, 3, 9.0);
  EXPECT_EQ(r.balance_mm, 0.0);
  EXPECT_EQ(r.level, 3);
  EXPECT_EQ(col.theta[2], 0.30);
}

TEST(ExternalTable, RisingAcrossTwoLayersBooksTheWaterStored) {
  CoupledColumn col;
  const double before = col.Water();
  // From the top of layer 3 (9 m) to the top of layer 1 (10 m): layers 2 and 1 fill.
  const ExternalTableResult r = ApplyExternalTable(col.View(), -1.0, 3, 10.0);
  EXPECT_DOUBLE_EQ(r.balance_mm, 2 * (0.43 - 0.30) * 0.5 * 1000);
  EXPECT_EQ(r.level, 1);
  EXPECT_DOUBLE_EQ(col.theta[1], 0.43);
  EXPECT_DOUBLE_EQ(col.theta[2], 0.43);
  EXPECT_NEAR(col.Water() - before, r.balance_mm, 1e-9);
}

TEST(ExternalTable, TableAboveTheSurfaceNeverOversaturates) {
  CoupledColumn col;
  col.theta = {0, 0.30, 0.43, 0.43, 0.43};
  const double before = col.Water();
  // Table in layer 1 (9.7 m) rising 2 m above the surface: the layer takes what it has room for.
  const ExternalTableResult r = ApplyExternalTable(col.View(), -0.3, 1, 12.0);
  EXPECT_LE(col.theta[1], 0.43);
  EXPECT_DOUBLE_EQ(r.balance_mm, (0.43 - 0.30) * 0.5 * 1000);
  EXPECT_NEAR(col.Water() - before, r.balance_mm, 1e-9);
}

TEST(ExternalTable, TableBelowTheProfileDrainsToFieldCapacity) {
  CoupledColumn col;
  col.theta = {0, 0.43, 0.43, 0.43, 0.43};
  // Table at the surface (level 1), imposed 5 m below the bottom.
  const ExternalTableResult r = ApplyExternalTable(col.View(), 0.0, 1, 3.0);
  EXPECT_EQ(r.table, 8.0);  // written back as the profile bottom
  EXPECT_EQ(r.level, 4);
  for (int k = 1; k <= 4; ++k) EXPECT_NEAR(col.theta[k], 0.25, 1e-12) << k;
  EXPECT_NEAR(r.balance_mm, -4 * 0.18 * 0.5 * 1000, 1e-9);
}

// Level 0: a start that found no saturated layer, its table 5 m below the column. A table
// given below the column leaves the column as it is, at its bottom; one given in layer 2 fills
// it from the bottom up (layers 4 and 3 whole, layer 2 to 9.25 m), not the top layer.
TEST(ExternalTable, ColumnWithoutSaturatedLayerFillsFromTheBottom) {
  for (const double given : {7.0, 9.25}) {
    CoupledColumn col;
    col.theta = {0, 0.30, 0.30, 0.30, 0.30};
    const ExternalTableResult r = ApplyExternalTable(col.View(), -5.0, 0, given);
    EXPECT_EQ(r.table, std::max(given, 8.0));
    EXPECT_EQ(r.level, given < 8 ? 4 : 2);
    EXPECT_NEAR(r.balance_mm, given < 8 ? 0.0 : 0.13 * 1.25 * 1000, 1e-9);
    EXPECT_EQ(col.theta[1], 0.30);
  }
}

TEST(StepStart, FirstSoilTemperaturesRunFromTheAirToTheLowerBoundary) {
  // Layer centres at 0.25, 0.75, 1.25, 1.75 m of 2 m: f = 1/8, 3/8, 5/8, 7/8.
  CoupledColumn col;
  std::vector<double> t(5);
  InitialSoilTemperatures(col.heads.data(), 4, 8.0, 0.0, t.data());
  EXPECT_EQ(t, (std::vector<double>{8, 1, 3, 5, 7}));
}

// A column of three layers, water falling through it; no decay, no river.
struct SoluteColumn {
  std::vector<double> theta0{0, 0.3, 0.3, 0.3}, theta{0, 0.3, 0.3, 0.3}, dz{0, 0.2, 0.3, 0.5};
  std::vector<double> q{-2e-6, -1.5e-6, -1e-6, -0.5e-6};  // downward, m/s
  std::vector<double> extraction{0, 1e-7, 2e-7, 0};
  std::vector<double> c{0, 4, 2, 1}, previous{0, 0, 0, 0};
  SoluteWater Water() {
    SoluteWater w;
    w.theta0 = theta0.data();
    w.theta = theta.data();
    w.dz = dz.data();
    w.q = q.data();
    w.extraction = extraction.data();
    w.first = 1;
    w.last = 3;
    w.dt = 3600;
    return w;
  }
  double Mass(const std::vector<double>& th, const std::vector<double>& conc) const {
    double m = 0;
    for (int k = 1; k <= 3; ++k) m += th[k] * dz[k] * 1000 * conc[k];
    return m;
  }
};

TEST(SoluteTransport, MassIsConservedPerColumn) {
  SoluteColumn col;
  // A stream draws 1e-7 m/s from layer 2; the aquifer gives layer 3 3e-7 m/s at 6.
  const std::vector<double> river_out{0, 0, 1e-7, 0}, aquifer_in{0, 0, 0, 3e-7};
  // The water balance of the sub-step sets theta.
  for (int k = 1; k <= 3; ++k)
    col.theta[k] = col.theta0[k] +
                   (-col.q[k - 1] + col.q[k] - col.extraction[k] - river_out[k] + aquifer_in[k]) *
                       3600 / col.dz[k];
  SoluteTracer tracer;
  tracer.input_concentration = 3;
  tracer.aquifer_concentration = 6;
  SoluteWater w = col.Water();
  w.river_out = river_out.data();
  w.aquifer_in = aquifer_in.data();
  const double before = col.Mass(col.theta0, col.c);
  const SoluteOutflows out =
      ComputeSoluteTransport(w, tracer, col.c.data(), col.previous.data(), nullptr);
  const double inflow = 2e-6 * 3600 * 1000 * 3;
  EXPECT_NEAR(out.returned, 3e-7 * 3600 * 1000 * 6, 1e-12);
  EXPECT_NEAR(out.river, 1e-7 * 3600 * 1000 * 2, 1e-12);  // at layer 2's start concentration
  EXPECT_NEAR(before + inflow + out.returned,
              col.Mass(col.theta, col.c) + out.extracted + out.bottom + out.river, 1e-9);
  EXPECT_EQ(col.previous[1], 4);
  // Upwind: layer 3 exports its own start concentration.
  EXPECT_NEAR(out.bottom, 0.5e-6 * 3600 * 1000 * 1, 1e-12);
}

TEST(SoluteTransport, DryLayerExportsNothingAndOutflowIsScaled) {
  SoluteColumn col;
  col.theta0[1] = 0.000001;  // 0.0002 mm of water
  col.theta[1] = 0.1;
  SoluteTracer tracer;
  const double before = col.Mass(col.theta0, col.c);
  const SoluteOutflows out =
      ComputeSoluteTransport(col.Water(), tracer, col.c.data(), col.previous.data(), nullptr);
  EXPECT_NEAR(out.extracted, 2e-7 * 3600 * 1000 * 2, 1e-12);  // only layer 2 extracts
  EXPECT_NEAR(before, col.Mass(col.theta, col.c) + out.extracted + out.bottom, 1e-9);
  // A layer asked for more water than it holds gives at most its solute.
  SoluteColumn drained;
  drained.q = {0, -1e-3, -1e-6, -1e-6};  // layer 1 would lose 3.6 m in the hour
  drained.theta = {0, 0.0, 0.3, 0.3};
  ComputeSoluteTransport(drained.Water(), tracer, drained.c.data(), drained.previous.data(),
                         nullptr);
  EXPECT_GE(drained.c[2], 0.0);
  EXPECT_EQ(drained.c[1], 0.0);
}

TEST(SoluteTransport, WaterPassingThroughALayerCarriesItsSolute) {
  // Layer 2 holds 30 mm; in the hour 90 mm enter it from above, 60 mm leave it downward and
  // 30 mm as interflow: three times its content passes through while its water stays. All the
  // water carries 10: every layer keeps 10 (scaled down to 30 mm, its export would leave
  // 900 of solute in 30 mm of water, a concentration of 30).
  SoluteColumn col;
  col.theta0 = col.theta = {0, 0.3, 0.1, 0.3};
  const double r = 1.0 / 3600 / 1000;  // m/s for 1 mm in the hour
  col.q = {-90 * r, -90 * r, -60 * r, -60 * r};
  col.extraction = {0, 0, 30 * r, 0};
  col.c = {0, 10, 10, 10};
  SoluteTracer tracer;
  tracer.input_concentration = 10;
  EXPECT_EQ(SoluteTransportParts(col.Water()), 3);
  SoluteColumn shared = col;
  const SoluteOutflows out =
      ComputeSoluteTransport(col.Water(), tracer, col.c.data(), col.previous.data(), nullptr);
  for (int k = 1; k <= 3; ++k) EXPECT_NEAR(col.c[k], 10, 1e-12) << k;
  EXPECT_NEAR(out.extracted, 30 * 10, 1e-9);
  EXPECT_NEAR(out.bottom, 60 * 10, 1e-9);
  // The split and the rates counted once for every tracer, in the caller's work space: the
  // same values to the bit.
  std::vector<double> rates(5), work(15);
  SoluteWater w = shared.Water();
  w.parts = SoluteTransportParts(w, rates.data());
  w.leaving = rates.data();
  w.work = work.data();
  const SoluteOutflows same =
      ComputeSoluteTransport(w, tracer, shared.c.data(), shared.previous.data(), nullptr);
  EXPECT_EQ(shared.c, col.c);
  EXPECT_EQ(same.extracted, out.extracted);
  EXPECT_EQ(same.bottom, out.bottom);
  // And with the layers' water and the first part's shares prepared once for every tracer; and
  // as a model cell hands its column in (every extraction array given, here zeros, no river
  // inflow, no copy of the start concentrations), which runs a build of its own.
  SoluteColumn prepared = col;
  prepared.c = {0, 4, 7, 1};
  SoluteColumn unprepared = prepared;
  SoluteColumn cellular = prepared;
  std::vector<double> room(35), cell_room(35);
  const std::vector<double> zeros(4, 0.0);
  SoluteWater p = prepared.Water();
  PrepareSoluteWater(p, room.data());
  p.work = room.data() + 20;
  SoluteWater cw = cellular.Water();
  cw.uptake = cw.river_out = cw.aquifer_in = zeros.data();
  PrepareSoluteWater(cw, cell_room.data());
  cw.work = cell_room.data() + 20;
  for (int step = 0; step < 2; ++step) {
    const SoluteOutflows a =
        ComputeSoluteTransport(p, tracer, prepared.c.data(), prepared.previous.data(), nullptr);
    const SoluteOutflows b = ComputeSoluteTransport(unprepared.Water(), tracer, unprepared.c.data(),
                                                    unprepared.previous.data(), nullptr);
    const SoluteOutflows d =
        ComputeSoluteTransport(cw, tracer, cellular.c.data(), nullptr, nullptr);
    EXPECT_EQ(prepared.c, unprepared.c);
    EXPECT_EQ(cellular.c, unprepared.c);
    for (const SoluteOutflows* x : {&a, &d}) {
      EXPECT_EQ(x->extracted, b.extracted);
      EXPECT_EQ(x->bottom, b.bottom);
      EXPECT_EQ(x->top, b.top);
    }
  }
  // A layer all but emptied (to 0.003 mm) while water passes through it: the parts stop at
  // their limit and the column's solute is still kept.
  SoluteColumn drained;
  drained.theta0 = {0, 0.3, 0.1, 0.3};
  drained.theta = {0, 0.3, 1e-5, 0.3};
  const double through = 90 + 30 - 0.003;
  drained.q = {-90 * r, -90 * r, -through * r, -through * r};
  drained.extraction = {0, 0, 0, 0};
  EXPECT_EQ(SoluteTransportParts(drained.Water()), kMaxSoluteParts);
  const double before = drained.Mass(drained.theta0, drained.c);
  const SoluteOutflows left = ComputeSoluteTransport(drained.Water(), tracer, drained.c.data(),
                                                     drained.previous.data(), nullptr);
  EXPECT_NEAR(before + 90 * 10, drained.Mass(drained.theta, drained.c) + left.bottom, 1e-9);
}

TEST(SoluteTransport, MixesTheSaturatedLayersWithTheAquifer) {
  SoluteColumn col;
  col.q = {0, 0, 0, 0};
  col.extraction = {0, 0, 0, 0};
  SoluteWater w = col.Water();
  w.groundwater_layer = 2;
  w.aquifer_water = 150;  // mm
  double aquifer = 0;
  SoluteTracer tracer;
  const double before = col.Mass(col.theta0, col.c);
  ComputeSoluteTransport(w, tracer, col.c.data(), col.previous.data(), &aquifer);
  const double mix = (0.3 * 300 * 2 + 0.3 * 500 * 1) / (0.3 * 300 + 0.3 * 500 + 150);
  EXPECT_NEAR(col.c[2], mix, 1e-12);
  EXPECT_NEAR(col.c[3], mix, 1e-12);
  EXPECT_NEAR(aquifer, mix, 1e-12);
  EXPECT_NEAR(before, col.Mass(col.theta, col.c) + 150 * aquifer, 1e-9);
}

TEST(SoluteTransport, DecayPerSubstep) {
  // Half-life 1 d, hourly sub-steps of a daily step.
  const double f = DecayFactorPerSubstep(1.0, 1440, 24);
  EXPECT_NEAR(f, 0.9715319, 1e-7);
  EXPECT_NEAR(std::pow(f, 24), 0.5, 1e-9);
  SoluteColumn col;
  col.q = {0, 0, 0, 0};
  col.extraction = {0, 0, 0, 0};
  SoluteTracer tracer;
  tracer.decay_factor = f;
  ComputeSoluteTransport(col.Water(), tracer, col.c.data(), col.previous.data(), nullptr);
  EXPECT_NEAR(col.c[1], 4 * f, 1e-12);
}

class PointWriter : public test::DiagTest {};

TEST_F(PointWriter, RowsHoldTheDateAndTheLayersAndEmptyBuffersWriteNothing) {
  const std::string file = (dir_.path() / "point.txt").string();
  SinglePointBuffer buffer(3);
  EXPECT_EQ(buffer.capacity(), 2097152 / ((3 + 1) * 8 + 32));
  WriteSinglePointBuffer(diag_, file, buffer, 1, 0);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(ScreenHas("write "));
  const double levels[4] = {9, 0.25, 0.5, 1e-7};
  buffer.Append({2026, 12, 7, 15}, levels);
  buffer.Append({2026, 12, 7, 16}, levels);
  WriteSinglePointBuffer(diag_, file, buffer, 1, 0);
  EXPECT_EQ(buffer.count, 0);
  EXPECT_TRUE(ScreenHas("(128 of 2097152 buffer-bytes)"));
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "2026\t12\t7\t15\t0.25\t0.5\t1e-07");
  const std::string unwritable = (dir_.path() / "none" / "p.txt").string();
  buffer.Append({2026, 12, 7, 17}, levels);
  EXPECT_EQ(test::ThrownCode([&] { WriteSinglePointBuffer(diag_, unwritable, buffer, 1, 2); }),
            kPointFileCode);
}

}  // namespace
}  // namespace velorn

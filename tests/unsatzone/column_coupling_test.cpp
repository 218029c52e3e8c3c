// Column operations of the soil zone's step frame on hand columns: an imposed groundwater table
// (water booked against water stored), the upwind solute transport (solute mass conserved,
// dry layers export nothing, decay) and the single-point rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/support/test_helpers.h"
#include "unsatzone/external_groundwater_table.h"
#include "unsatzone/single_point_writer.h"
#include "unsatzone/soil_column_state.h"
#include "unsatzone/solute_lanes.h"
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

  // The same fall in a column whose table lies above its water (a grid rule set it, or no step
  // computed the column): each layer gives what it holds above its residual content, no more.
  col.theta = {0, 0.10, 0.10, 0.10, 0.10};
  const double before = col.Water();
  const std::vector<double> residual{0, 0.05, 0.05, 0.05, 0.05};
  SoilColumnView view = col.View();
  view.theta_res = residual.data();
  const ExternalTableResult dry = ApplyExternalTable(view, 0.0, 1, 3.0);
  for (int k = 1; k <= 4; ++k) EXPECT_EQ(col.theta[k], 0.05) << k;
  EXPECT_NEAR(dry.balance_mm, -4 * 0.05 * 0.5 * 1000, 1e-9);
  EXPECT_NEAR(col.Water() - before, dry.balance_mm, 1e-9);
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

// The same bits, -0 told from +0 and NaN equal to itself.
bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Drawn columns (1 to 6 layers, 1 to 4 tracers; steps of one part and of many, dry and filling
// layers, water rising and falling, exchange both ways, a saturated zone or none): the tracers
// moved together by MoveSoluteLanes, with the exchange or with its two arrays, end with the bits
// of each tracer moved alone as the cell body moved it (the macropores' solute added, the masses
// through their concentrations and ComputeSoluteTransport), outflows included.
TEST(SoluteTransport, TracersMovedTogetherMoveAsEachAlone) {
  std::mt19937 random(85);
  std::uniform_real_distribution<double> u(0, 1);
  const auto draw = [&](double low, double high, double zero_share) {
    return u(random) < zero_share ? 0.0 : low + (high - low) * u(random);
  };
  int one_part = 0, parts = 0;
  for (int n = 0; n < 400; ++n) {
    const int N = 1 + n % 6, T = 1 + n / 6 % 4, stride = SoluteLaneStride(T);
    const auto size = static_cast<std::size_t>(N + 2);
    const double scale = n % 3 == 0 ? 1e-5 : 1e-7;  // m/s; the larger splits the step
    SoluteColumn col;
    for (std::vector<double>* v : {&col.theta0, &col.theta, &col.dz, &col.q, &col.extraction})
      v->assign(size, 0.0);
    std::vector<double> river_out(size), exchange(size), inflow(size), kept(size);
    for (std::size_t k = 1; k < size - 1; ++k) {
      col.theta0[k] = draw(1e-7, 0.45, 0.05);
      col.theta[k] = draw(1e-7, 0.45, 0.05);
      col.dz[k] = draw(0.05, 0.5, 0);
      col.extraction[k] = draw(-scale, scale, 0.5);
      river_out[k] = draw(0, scale, 0.7);
      exchange[k] = draw(-scale, scale, 0.4);
      inflow[k] = draw(0, scale, 0.5);
      kept[k] = u(random) < 0.6 ? 1.0 : u(random);
    }
    for (std::size_t k = 0; k < size - 1; ++k) col.q[k] = draw(-scale, scale, 0.2);
    std::vector<double> uptake(size), aquifer_in(size);
    for (std::size_t k = 0; k < size; ++k) {
      uptake[k] = std::max(0.0, -exchange[k]);
      aquifer_in[k] = std::max(0.0, exchange[k]);
    }
    SoluteWater w = col.Water();
    w.river_out = river_out.data();
    w.last = N;
    w.groundwater_layer = static_cast<int32_t>(n % (N + 2));
    w.dt = 600 + 3000 * u(random);
    std::vector<double> mix(stride, 0.0), keeps(stride, 0.0), input(stride, 0.0),
        aquifer(stride, 0.0), decay(stride, 1.0), mass(size * stride, 0.0);
    for (int t = 0; t < T; ++t) {
      mix[t] = draw(0, 20, 0.3);
      keeps[t] = u(random) < 0.5 ? 1.0 : 0.0;
      input[t] = draw(0, 20, 0.3);
      aquifer[t] = draw(0, 20, 0.3);
      decay[t] = u(random) < 0.5 ? 1.0 : 0.9 + 0.1 * u(random);
      for (int k = 1; k <= N; ++k) mass[k * stride + t] = draw(0, 50, 0.3);
    }
    // Each tracer alone.
    std::vector<double> alone = mass, conc(size), room(7 * size);
    std::vector<SoluteOutflows> alone_out(T);
    SoluteWater single = w;
    single.uptake = uptake.data();
    single.aquifer_in = aquifer_in.data();
    single.work = room.data() + 4 * size;
    PrepareSoluteWater(single, room.data());
    (single.parts == 1 ? one_part : parts) += 1;
    for (int t = 0; t < T; ++t) {
      for (int k = 1; k <= N; ++k) {
        double& m = alone[k * stride + t];
        m += mix[t] * inflow[k] * (w.dt * 1000) * (keeps[t] != 0 ? kept[k] : 1.0);
        conc[k] = single.start_water[k] > 0 ? m / single.start_water[k] : 0.0;
      }
      SoluteTracer settings;
      settings.input_concentration = input[t];
      settings.aquifer_concentration = aquifer[t];
      settings.decay_factor = decay[t];
      alone_out[t] = ComputeSoluteTransport(single, settings, conc.data(), nullptr, nullptr);
      for (int k = 1; k <= N; ++k)
        alone[k * stride + t] = conc[k] * col.theta[k] * col.dz[k] * 1000.0;
    }
    // Together, with the exchange and with its arrays.
    for (const bool with_exchange : {true, false}) {
      std::vector<double> together = mass, work(10 * size);
      std::vector<SoluteOutflows> out(stride);
      SoluteLanes lanes;
      lanes.count = T;
      lanes.mass = together.data();
      lanes.mix = mix.data();
      lanes.keeps = keeps.data();
      lanes.input_concentration = input.data();
      lanes.aquifer_concentration = aquifer.data();
      lanes.decay_factor = decay.data();
      lanes.inflow = inflow.data();
      lanes.kept = kept.data();
      lanes.factor = w.dt * 1000;
      lanes.out = out.data();
      SoluteWater v = w;
      if (with_exchange) {
        lanes.exchange = exchange.data();
      } else {
        v.uptake = uptake.data();
        v.aquifer_in = aquifer_in.data();
      }
      MoveSoluteLanes(v, work.data(), lanes);
      EXPECT_TRUE(SameBits(together, alone)) << "draw " << n << ", exchange " << with_exchange;
      for (int t = 0; t < T; ++t) {
        const SoluteOutflows& a = alone_out[t];
        const SoluteOutflows& b = out[t];
        EXPECT_TRUE(SameBits({a.extracted, a.uptake, a.river, a.bottom, a.top, a.returned},
                             {b.extracted, b.uptake, b.river, b.bottom, b.top, b.returned}))
            << "draw " << n << ", tracer " << t;
      }
    }
  }
  EXPECT_GT(one_part, 100);
  EXPECT_GT(parts, 20);
  // The comparison tells a sign of zero and a last bit.
  EXPECT_FALSE(SameBits({0.0}, {-0.0}));
  EXPECT_FALSE(SameBits({1.0}, {std::nextafter(1.0, 2.0)}));
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
